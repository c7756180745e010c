// The framework values of the Linux desktop: which backends the capture and
// playback pipelines use (X11 capture and ximagesink for video, PulseAudio
// for audio, the libyuv element or the generic converters for processing)
// and the feature words of the processing backends. The application shell
// publishes them into value list 1 at start-up; tests and tools publish them
// the same way.
//
// Any thread may read the table; ravk_linux_values_publish returns 0, or
// -1 when value list 1 is missing or an entry cannot be stored.
#pragma once

#include <cstdint>

#include "ravelkit/elements.h"

// Feature-word bits of "frmwrk.vid.ftrs".
enum : uint32_t {
    RAVK_VIDEO_FEATURE_SINK_ORIENTS = 4,  // the sink applies orientation itself
    RAVK_VIDEO_FEATURE_CROP = 16,         // the backend crops (else a raw parser reinterprets)
    RAVK_VIDEO_FEATURE_FLIP = 64,         // the backend flips and rotates
};

struct RavkFrameworkValue {
    const char *name;
    uint32_t index;
    uint32_t value;
};

// The table, ended by an entry with a NULL name.
extern const RavkFrameworkValue ravk_linux_values[];

int ravk_linux_values_publish(void);
