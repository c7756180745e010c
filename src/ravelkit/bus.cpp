#include "ravelkit/bus.h"

#include <gst/video/videooverlay.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/log.h"
#include "core/notify.h"
#include "engine/node.h"

namespace
{

const char *const kLog = "ravelkit.bus";

// How long the stopper waits for the thread to leave its loop before it
// gives up and lets the join decide; each wait repeats the quit.
const uint64_t kQuitWaitMs = CORE_THREAD_JOIN_TIMEOUT_MS;
const auto kQuitRetry = std::chrono::milliseconds(20);

const char *const kOrientations[] = {"rotate-0", "rotate-90", "rotate-180", "rotate-270"};

void mark_finished(RavkBusThread *record)
{
    std::lock_guard<std::mutex> guard(record->lock);
    record->finished = true;
    record->finished_changed.notify_all();
}

int bus_thread_main(void **args)
{
    RavkBusThread *record = static_cast<RavkBusThread *>(args[0]);
    GMainLoop *loop = nullptr;
    {
        std::lock_guard<std::mutex> guard(record->lock);
        if (!record->stopping) {
            // The default context: the watch is dispatched wherever that
            // context is iterated, the application's GTK loop included.
            record->loop = g_main_loop_new(nullptr, FALSE);
            record->bus = gst_element_get_bus(record->pipeline->element);
            if (record->loop != nullptr && record->bus != nullptr)
                record->watch = gst_bus_add_watch(record->bus, ravk_bus_message_handler, record);
            if (record->watch != 0) loop = g_main_loop_ref(record->loop);
        }
    }
    if (loop != nullptr) {
        g_main_loop_run(loop);
        g_main_loop_unref(loop);
    }
    mark_finished(record);
    return 0;
}

int64_t signed_time(GstClockTime time) { return GST_CLOCK_TIME_IS_VALID(time) ? static_cast<int64_t>(time) : -1; }

uint32_t state_number(GstState state)
{
    return state >= GST_STATE_NULL && state <= GST_STATE_PLAYING ? static_cast<uint32_t>(state) : 0;
}

}  // namespace

uint32_t ravk_orientation_from_text(const char *text)
{
    if (text == nullptr) return RAVK_ORIENT_NONE;
    for (uint32_t k = 0; k < 4; ++k)
        if (strcmp(text, kOrientations[k]) == 0) return RAVK_ORIENT_0 + k;
    return RAVK_ORIENT_NONE;
}

const char *ravk_orientation_text(uint32_t orientation)
{
    if (orientation < RAVK_ORIENT_0 || orientation > RAVK_ORIENT_270) return nullptr;
    return kOrientations[orientation - RAVK_ORIENT_0];
}

RavkBusThread *ravk_bus_thread_start(RavkNode *pipeline, RavkBusCallback callback, void *const user[2])
{
    if (pipeline == nullptr || pipeline->element == nullptr) return nullptr;
    RavkBusThread *record = new (std::nothrow) RavkBusThread();
    if (record == nullptr) return nullptr;
    record->callback = callback;
    record->pipeline = pipeline;
    if (user != nullptr) {
        record->user[0] = user[0];
        record->user[1] = user[1];
    }
    record->thread = core_thread_start(bus_thread_main, record, nullptr, "ravk-bus");
    if (record->thread == nullptr) {
        delete record;
        return nullptr;
    }
    return record;
}

void ravk_bus_thread_stop(RavkBusThread **pointer)
{
    if (pointer == nullptr || *pointer == nullptr) return;
    RavkBusThread *record = *pointer;
    *pointer = nullptr;
    {
        std::unique_lock<std::mutex> guard(record->lock);
        record->stopping = true;
        const uint64_t deadline = core_clock_mono_ms() + kQuitWaitMs;
        while (!record->finished && core_clock_mono_ms() < deadline) {
            if (record->loop != nullptr) g_main_loop_quit(record->loop);
            record->finished_changed.wait_for(guard, kQuitRetry);
        }
    }
    if (core_thread_join(&record->thread) != 0) {
        core_log(CORE_LOG_ERROR, kLog, "bus thread of '%s' did not stop; its record is kept",
                 record->pipeline->element_name);
        return;
    }
    if (record->watch != 0) {
        gst_bus_remove_watch(record->bus);
        record->watch = 0;
    }
    if (record->bus != nullptr) gst_object_unref(record->bus);
    if (record->loop != nullptr) g_main_loop_unref(record->loop);
    delete record;
}

gboolean ravk_bus_message_handler(GstBus *, GstMessage *message, gpointer data)
{
    RavkBusThread *record = static_cast<RavkBusThread *>(data);
    if (record == nullptr || record->bus == nullptr || record->callback == nullptr) return FALSE;

    char source_name[RAVK_BUS_SOURCE_NAME_SIZE];
    snprintf(source_name, sizeof(source_name), "%s",
             GST_MESSAGE_SRC_NAME(message) ? GST_MESSAGE_SRC_NAME(message) : "");
    char text[RAVK_BUS_TEXT_SIZE];
    snprintf(text, sizeof(text), "message '%s' from '%s'", GST_MESSAGE_TYPE_NAME(message), source_name);

    RavkBusMessage out = {RAVK_BUS_OTHER, GST_MESSAGE_SRC(message), text, source_name, nullptr};
    RavkQosInfo qos = {};
    RavkBusStateChange states = {};
    uint32_t orientation = 0;
    int32_t percent = 0;
    uint32_t zero = 0;

    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR:
    case GST_MESSAGE_WARNING: {
        GError *error = nullptr;
        gchar *debug = nullptr;
        const bool is_error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        if (is_error)
            gst_message_parse_error(message, &error, &debug);
        else
            gst_message_parse_warning(message, &error, &debug);
        snprintf(text, sizeof(text), "%s received from element '%s': %s, debugging information: %s",
                 is_error ? "failed" : "warning", source_name, error && error->message ? error->message : "none",
                 debug ? debug : "none");
        out.code = is_error ? RAVK_BUS_ERROR : RAVK_BUS_WARNING;
        if (error != nullptr) g_error_free(error);
        g_free(debug);
        break;
    }
    case GST_MESSAGE_EOS: out.code = RAVK_BUS_EOS; break;
    case GST_MESSAGE_QOS: {
        gboolean live = FALSE;
        guint64 running = 0, stream = 0, timestamp = 0, duration = 0, processed = 0, dropped = 0;
        GstFormat format = GST_FORMAT_UNDEFINED;
        gst_message_parse_qos(message, &live, &running, &stream, &timestamp, &duration);
        gst_message_parse_qos_values(message, &qos.jitter, &qos.proportion, &qos.quality);
        gst_message_parse_qos_stats(message, &format, &processed, &dropped);
        qos.live = live ? 1 : 0;
        qos.running_time = signed_time(running);
        qos.stream_time = signed_time(stream);
        qos.timestamp = signed_time(timestamp);
        qos.duration = signed_time(duration);
        qos.format = static_cast<uint32_t>(format);
        qos.processed = processed;
        qos.dropped = dropped;
        out.code = RAVK_BUS_QOS;
        out.text = nullptr;
        out.payload = &qos;
        break;
    }
    case GST_MESSAGE_STATE_CHANGED: {
        GstState old_state = GST_STATE_VOID_PENDING, new_state = GST_STATE_VOID_PENDING;
        gst_message_parse_state_changed(message, &old_state, &new_state, nullptr);
        states = {state_number(old_state), state_number(new_state)};
        snprintf(text, sizeof(text), "state changed element '%s' from '%s' to '%s'", source_name,
                 gst_element_state_get_name(old_state), gst_element_state_get_name(new_state));
        out.code = RAVK_BUS_STATE_CHANGED;
        out.payload = &states;
        break;
    }
    case GST_MESSAGE_TAG: {
        GstTagList *tags = nullptr;
        gst_message_parse_tag(message, &tags);
        gchar *value = nullptr;
        if (tags != nullptr && gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &value)) {
            orientation = ravk_orientation_from_text(value);
            snprintf(text, sizeof(text), "TAG rotation '%s'", value);
            out.code = RAVK_BUS_TAG;
            out.payload = &orientation;
        }
        g_free(value);
        if (tags != nullptr) gst_tag_list_unref(tags);
        break;
    }
    case GST_MESSAGE_BUFFERING:
        gst_message_parse_buffering(message, &percent);
        out.code = RAVK_BUS_BUFFERING;
        out.payload = &percent;
        break;
    case GST_MESSAGE_CLOCK_LOST: out.code = RAVK_BUS_CLOCK_LOST; break;
    case GST_MESSAGE_LATENCY: out.code = RAVK_BUS_LATENCY; break;
    case GST_MESSAGE_NEED_CONTEXT:
        out.code = RAVK_BUS_NEED_CONTEXT;
        out.payload = &zero;
        break;
    case GST_MESSAGE_ELEMENT:
        if (!gst_is_video_overlay_prepare_window_handle_message(message)) return TRUE;
        out.code = RAVK_BUS_WINDOW_HANDLE;
        break;
    case GST_MESSAGE_STREAM_STATUS: return TRUE;
    default: break;  // RESET_TIME among them: handed on as "other"
    }
    record->callback(record, &out, record->user);
    return TRUE;
}

int32_t ravk_pipeline_event_post(const CoreName *channel, uint32_t code, const void *in, uint64_t in_len, void *out,
                                 uint64_t *out_len)
{
    if (engine_node_running() == nullptr) return CORE_ERR;
    return core_notify(channel, code, in, in_len, out, out_len);
}

CoreName *ravk_pipeline_channel_name(CoreName *out)
{
    if (out == nullptr) return nullptr;
    memset(out, 0, sizeof(*out));
    memcpy(out->key, RAVK_PIPELINE_CHANNEL, CORE_NAME_KEY_SIZE);
    return core_name_make(out);
}
