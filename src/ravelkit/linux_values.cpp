#include "ravelkit/linux_values.h"

#include "core/values.h"

const RavkFrameworkValue ravk_linux_values[] = {
    // Capture: converters and scalers prefer the libyuv element, then the
    // generic GStreamer ones; the preview sinks are those of playback.
    {"frmwrk.vid.prov.proc", 0, RAVK_BACKEND_LIBYUV},
    {"frmwrk.vid.prov.proc", 1, RAVK_BACKEND_GSTREAMER},
    {"frmwrk.vid.prov.pipe", 0, RAVK_BACKEND_X11},
    {"frmwrk.aud.prov.pipe", 0, RAVK_AUDIO_BACKEND_PULSE},
    // Playback into an X11 window (ximagesink) and PulseAudio.
    {"frmwrk.vid.cons.proc", 0, RAVK_BACKEND_LIBYUV},
    {"frmwrk.vid.cons.proc", 1, RAVK_BACKEND_GSTREAMER},
    {"frmwrk.vid.cons.pipe", 0, RAVK_BACKEND_X11},
    {"frmwrk.aud.cons.pipe", 0, RAVK_AUDIO_BACKEND_PULSE},
    // The libyuv element crops, mirrors and rotates; the generic chain has
    // videocrop and videoflip. ximagesink leaves orientation to the chain.
    {"frmwrk.vid.ftrs", RAVK_BACKEND_LIBYUV, RAVK_VIDEO_FEATURE_CROP | RAVK_VIDEO_FEATURE_FLIP},
    {"frmwrk.vid.ftrs", RAVK_BACKEND_GSTREAMER, RAVK_VIDEO_FEATURE_CROP | RAVK_VIDEO_FEATURE_FLIP},
    {"frmwrk.vid.ftrs", RAVK_BACKEND_X11, 0},
    {nullptr, 0, 0},
};

int ravk_linux_values_publish(void)
{
    CoreValueList *list = core_process_valuelist(1);
    if (list == nullptr) return -1;
    for (const RavkFrameworkValue *v = ravk_linux_values; v->name != nullptr; ++v)
        if (core_valuelist_put(list, v->name, v->index, 0, &v->value, sizeof(v->value)) != 0) return -1;
    return 0;
}
