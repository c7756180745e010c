#include "ravelkit/init.h"

#include <gst/gst.h>
#include <libyuv/cpu_id.h>

#include <cstdlib>
#include <mutex>

#include "core/log.h"
#include "core/notify.h"
#include "ravelkit/frame.h"
#include "ravelkit/gst/gstlibyuv.h"
#include "ravelkit/gst/gstliverate.h"

// Every element the pipelines of this platform make lives in one of these.
// Loading them up front turns a missing package into a failed start with its
// name, instead of a pipeline that cannot be built later in the session.
const char *const ravk_plugin_table[] = {
    "coreelements", "app",        "audioconvert", "audioresample",     "rawparse",        "opus",
    "opusparse",    "videobox",   "videofilter",  "videoconvertscale", "videoparsersbad", "ximagesink",
    "pulseaudio",   "vpx",        "ximagesrc",    "libav",             "audiotestsrc",    "videotestsrc",
};
const size_t ravk_plugin_count = sizeof ravk_plugin_table / sizeof ravk_plugin_table[0];

namespace {

// The once-per-process start. Its flag is set only after every step of it
// succeeded: a start that failed halfway is repeated in full by the next
// ravk_init, and each step is safe to repeat.
std::mutex g_start_lock;
bool g_started = false;

void log_gerror(const char *what, GError *error)
{
    core_log(CORE_LOG_ERROR, "ravk", "%s: %s", what, error != nullptr ? error->message : "no reason given");
    if (error != nullptr) g_error_free(error);
}

// Why a plug-in did not load: not in the registry at all (package not
// installed, not on the plug-in path, or a file the registry scan refused)
// or in it but refused by the loader now.
void log_plugin_failure(GstRegistry *registry, const char *name)
{
    GstPlugin *known = gst_registry_find_plugin(registry, name);
    if (known == nullptr) {
        core_log(CORE_LOG_ERROR, "ravk",
                 "GStreamer plug-in '%s' is missing (no loadable file on the plug-in path); the framework cannot "
                 "start",
                 name);
        return;
    }
    core_log(CORE_LOG_ERROR, "ravk", "GStreamer plug-in '%s' (%s) does not load; the framework cannot start", name,
             gst_plugin_get_filename(known) != nullptr ? gst_plugin_get_filename(known) : "no file");
    gst_object_unref(known);
}

int start_gstreamer_once()
{
    std::lock_guard<std::mutex> guard(g_start_lock);
    if (g_started) return 0;

    if (!gst_is_initialized()) {
        // The framework reports through the engine's log; GStreamer's own
        // debug output would bury it. A caller that started GStreamer
        // itself keeps its own settings.
        setenv("GST_DEBUG", "0", 1);
        GError *error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            log_gerror("GStreamer does not start", error);
            return -1;
        }
    }
    if (ravk_load_plugins() != 0) return -1;
    // The elements register whatever initialised GStreamer: a caller that
    // started it first still finds them afterwards.
    if (!gst_plugin_liverate_register()) {
        core_log(CORE_LOG_ERROR, "ravk", "GStreamer refused the \"liverate\" element");
        return -1;
    }
    if (!gst_plugin_libyuv_register()) {
        core_log(CORE_LOG_ERROR, "ravk", "GStreamer refused the \"libyuv\" element");
        return -1;
    }
    g_started = true;
    return 0;
}

}  // namespace

int ravk_load_plugins(void)
{
    if (!gst_is_initialized()) return -1;
    GstRegistry *registry = gst_registry_get();
    for (size_t i = 0; i < ravk_plugin_count; i++) {
        // Loading by name resolves the file through the registry, so the
        // plug-in path (system folders, GST_PLUGIN_PATH) decides where it
        // comes from. A plug-in loaded before is returned at once.
        GstPlugin *plugin = gst_plugin_load_by_name(ravk_plugin_table[i]);
        if (plugin == nullptr) {
            log_plugin_failure(registry, ravk_plugin_table[i]);
            return -1;
        }
        gst_object_unref(plugin);
    }
    return 0;
}

int ravk_init(RavkCodecProfile profile)
{
    if (core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL) != CORE_OK) {
        core_log(CORE_LOG_ERROR, "ravk", "cannot create the pipeline event channel");
        return -1;
    }
    if (start_gstreamer_once() != 0) return -1;
    if (profile > RAVK_CODEC_PROFILE_SMALL) {
        core_log(CORE_LOG_ERROR, "ravk", "size profile %u is not 0, 1 or 2", profile);
        return -1;
    }
    if (ravk_codecs_register(profile) != 0) {
        core_log(CORE_LOG_ERROR, "ravk", "codec registration failed");
        return -1;
    }
    // Detection runs once and libyuv keeps the result, so the conversions
    // pick their optimised routines without testing on the first frame.
    libyuv::InitCpuFlags();
    return 0;
}

void ravk_shutdown(void)
{
    core_notify_channel_remove(RAVK_PIPELINE_CHANNEL);
    ravk_codec_lists_clear();
    ravk_frame_convert_reset();
}
