// Framework start-up: brings the multimedia framework up inside a running
// base runtime and takes its per-session state down again.
//
// Owns the pipeline event channel, the once-per-process GStreamer start
// (GStreamer itself, the plug-ins the pipelines need, loaded by plug-in name
// from the registry, and the framework's two own elements, registered
// statically), the codec registration and ranking of each session, and
// libyuv's processor-feature detection. GStreamer is never de-initialised,
// so the once-per-process part survives a session's end; it counts as done
// only once every step of it succeeded, so a start that failed (a plug-in
// missing) is tried in full again by the next call.
//
// ravk_init and ravk_shutdown run on the thread that starts and ends the
// engine's media session, after core_system_start and before the device
// enumerator or any pipeline exists; they must not run concurrently with
// each other or with readers of the codec lists. ravk_init returns 0 or -1
// and logs the reason of a failure; ravk_shutdown cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ravelkit/codecs.h"

// Notify channel on which capture and playback pipelines publish their
// pipeline events.
#define RAVK_PIPELINE_CHANNEL "4645423A75865EE6809AF5C1086912BE"

// The plug-ins ravk_init loads, in loading order, by plug-in name.
extern const char *const ravk_plugin_table[];
extern const size_t ravk_plugin_count;

// Creates RAVK_PIPELINE_CHANNEL (an existing one is kept), starts GStreamer
// once per process with every plug-in of ravk_plugin_table and the
// "liverate" and "libyuv" elements, registers and ranks the codecs this
// machine offers under the size profile (0, 1 or 2) and detects libyuv's
// processor features. GStreamer may have been initialised by the caller
// before; the plug-ins and the own elements are then added to it. 0 when
// the framework is up; -1 when the channel cannot be made, GStreamer does
// not start, a plug-in is missing or does not load, an own element is
// refused, the profile is out of range or codec registration fails. A
// failure leaves GStreamer initialised and the codec lists as the call
// found them.
int ravk_init(RavkCodecProfile profile);

// Loads every plug-in of ravk_plugin_table into the default registry. 0, or
// -1 at the first plug-in that is not installed or does not load (the later
// ones are not tried). Needs GStreamer initialised.
int ravk_load_plugins(void);

// Ends a session's framework state: removes RAVK_PIPELINE_CHANNEL, empties
// the four codec lists and drops the conversion context of
// ravk_frame_convert. GStreamer, its plug-ins and the own elements stay, so
// ravk_init may be called again. Harmless when nothing was started.
void ravk_shutdown(void);
