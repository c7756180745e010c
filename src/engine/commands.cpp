// Interface commands: what the interface asks of a started engine on the
// command topic, run one at a time on the topic's consumer. Outcomes go
// back only as events.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/handle.h"
#include "core/log.h"
#include "core/queue.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/connection.h"
#include "engine/display.h"
#include "engine/engine.h"
#include "engine/evaluation.h"
#include "engine/node.h"
#include "engine/picture.h"
#include "engine/provider.h"
#include "engine/session.h"
#include "ravelkit/provider.h"

namespace {

constexpr const char *kModule = "commands";

std::atomic<uint64_t> g_refused{0};

// Events of this handler are posted only while an engine context exists.
void post_event(uint32_t code, const void *data, uint64_t length)
{
    if (engine_context_current() != nullptr) engine_post_event(code, data, length);
}

void post_message(uint32_t event, uint32_t code, int32_t result, const char *text)
{
    EngineMessageText message;
    memset(&message, 0, sizeof(message));
    message.code = code;
    message.result = result;
    snprintf(message.text, sizeof(message.text), "%s.", text);
    post_event(event, &message, sizeof(message));
}

// The command's record, copied out of the topic's bytes; false (and
// counted) when the data is shorter than the record.
template <typename Record>
bool read_record(const CoreQueueEntry *message, Record *out)
{
    if (message->data == nullptr || message->length < sizeof(Record)) {
        g_refused.fetch_add(1);
        core_log(CORE_LOG_WARN, kModule, "command 0x%X with %llu bytes dropped (%zu expected)", message->type,
                 static_cast<unsigned long long>(message->length), sizeof(Record));
        return false;
    }
    memcpy(out, message->data, sizeof(Record));
    return true;
}

void on_connect(EngineSession *session, const EngineBindRecord &record)
{
    EngineBinderTable *table = session->binderTable;
    if (table == nullptr) return;
    if (table->open.load() == 0) {
        const CoreResult opened = engine_binder_open(table, ENGINE_BINDER_P2P, record.kind, &record.desc, nullptr, nullptr);
        if (opened < 0) {
            core_log(CORE_LOG_WARN, kModule, "connect: the binder table did not open (%d)", opened);
            return;
        }
    }
    if (engine_connect(session, &record) < 0) {
        // The disconnect puts the channel into closing and schedules the
        // teardown, so no half-made binding stays behind.
        engine_disconnect(session, &record);
        post_message(ENGINE_EVT_STREAMER_ERROR, 0, 0, ENGINE_TEXT_CONNECTION_FAILED);
    }
}

void on_broadcast_start(EngineSession *session, const EngineBroadcastCommand &command)
{
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, &command.channel, nullptr, nullptr, &command.bindSequence);
    const CoreResult result = engine_broadcast_start(session, &desc);
    if (result < 0)
        post_message(ENGINE_EVT_MESSAGE, ENGINE_CMD_BROADCAST_START, result, "Failed on start broadcast");
    else
        post_event(ENGINE_EVT_BROADCAST_STARTED, &command, sizeof(command));
}

void on_broadcast_stop(EngineSession *session, const EngineBroadcastCommand &command)
{
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = ENGINE_BIND_KIND_REQUESTER;
    record.desc.bindSequence = command.bindSequence;
    if (EngineCapability *capability = engine_capability_current())
        core_name_format(&record.desc.channel, "p2m.bnd.%08X.chnl", capability->p2mChannelCount);
    // The binding service tells the viewers.
    engine_post_command(ENGINE_MSG_BROADCAST_CLOSE, &record, sizeof(record));
    if (session->provider != nullptr) engine_provider_drain(session->provider);
    engine_eval_reset_timing(session->evaluation);
    if (session->binderTable != nullptr) engine_binder_close_all(session->binderTable);
    post_event(ENGINE_EVT_BROADCAST_STOPPED, &command, sizeof(command));
}

void on_bitrate_policy(uint32_t policy)
{
    EngineCapability *capability = engine_capability_current();
    if (capability == nullptr) return;
    CoreLockGuard guard(&capability->lock);
    capability->bitratePolicy = policy;
}

// Pausing stops the capture objects of the provider's first profile slot
// from publishing samples; their pipelines keep running.
void on_pause_sending(EngineSession *session, uint32_t paused)
{
    EngineMediaProvider *provider = session->provider;
    if (provider == nullptr || provider->profiles == nullptr) return;
    CoreStoreItem *first = core_store_first(provider->profiles);
    if (first == nullptr) return;
    CoreStore *streams = reinterpret_cast<EngineProfile *>(first)->streams;
    for (CoreStoreItem *s = core_store_first(streams); s != nullptr; s = core_store_next(streams, s, 1)) {
        const uint64_t handle = reinterpret_cast<EngineProviderStream *>(s)->capture.load();
        if (handle == 0) continue;
        CoreHandleTable *pipelines = core_handle_tables[CORE_HANDLES_PIPELINES];
        auto *capture = static_cast<RavkProvider *>(core_handle_acquire(pipelines, handle));
        if (capture == nullptr) continue;
        if (capture->role == RAVK_ROLE_PROVIDER) capture->enabled.store(paused == 0 ? 1 : 0);
        core_handle_release(pipelines, handle);
    }
    // The walk over the slots holds the first reference; give it back.
    core_store_unref(provider->profiles);
}

void on_capture_flag(EngineSession *session, uint32_t code, uint32_t value)
{
    EngineMediaProvider *provider = session->provider;
    if (provider == nullptr) return;
    CoreLockGuard guard(&provider->lock);
    if (code == ENGINE_CMD_SET_SHOW_CURSOR)
        provider->config.showCursor = value;
    else
        provider->config.showClicks = value;
}

void on_picture(EngineSession *session, const CoreQueueEntry *message)
{
    EngineDisplay *display = session->display;
    if (display == nullptr) return;
    const void *data = message->data;
    const uint64_t length = data != nullptr ? message->length : 0;
    // The picture operations check the request lengths themselves; their
    // results have no one to go to.
    switch (message->type) {
    case ENGINE_CMD_SET_BRIGHTNESS: engine_display_set_brightness(display, data, length); break;
    case ENGINE_CMD_SET_CONTRAST: engine_display_set_contrast(display, data, length); break;
    case ENGINE_CMD_SET_SATURATION: engine_display_set_saturation(display, data, length); break;
    case ENGINE_CMD_SET_HUE: engine_display_set_hue(display, data, length); break;
    case ENGINE_CMD_SET_SCALE: engine_display_set_scale(display, data, length); break;
    case ENGINE_CMD_SET_ASPECT: engine_display_set_aspect(display, data, length); break;
    case ENGINE_CMD_SET_WINDOW: engine_display_set_window(display, data, length); break;
    case ENGINE_CMD_EXPOSE: engine_display_expose(display); break;
    default: break;
    }
}

}  // namespace

CoreResult engine_on_ui_command(const CoreQueueEntry *message, void **user)
{
    auto *session = static_cast<EngineSession *>(user != nullptr ? user[0] : nullptr);
    if (session == nullptr || message == nullptr) return CORE_OK;
    switch (message->type) {
    case ENGINE_CMD_CONNECT: {
        EngineBindRecord record;
        if (read_record(message, &record)) on_connect(session, record);
        break;
    }
    case ENGINE_CMD_DISCONNECT: {
        EngineBindRecord record;
        if (read_record(message, &record)) engine_disconnect(session, &record);
        break;
    }
    case ENGINE_CMD_STOP_PREVIEW:
        if (session->provider != nullptr) engine_provider_stop_previews(session->provider);
        break;
    case ENGINE_CMD_BROADCAST_START: {
        EngineBroadcastCommand command;
        if (read_record(message, &command)) on_broadcast_start(session, command);
        break;
    }
    case ENGINE_CMD_BROADCAST_STOP: {
        EngineBroadcastCommand command;
        if (read_record(message, &command)) on_broadcast_stop(session, command);
        break;
    }
    case ENGINE_CMD_SET_PLAYBACK_LATENCY: {
        EnginePlaybackLatency latency;
        if (read_record(message, &latency) && session->display != nullptr)
            engine_display_set_playback_delay(session->display, latency.medium, latency.delay);
        break;
    }
    case ENGINE_CMD_SET_BITRATE_POLICY: {
        uint32_t policy;
        if (read_record(message, &policy)) on_bitrate_policy(policy);
        break;
    }
    case ENGINE_CMD_PAUSE_SENDING: {
        EngineCommandFlag flag;
        if (read_record(message, &flag)) on_pause_sending(session, flag.value);
        break;
    }
    case ENGINE_CMD_SET_SHOW_CURSOR:
    case ENGINE_CMD_SET_SHOW_CLICKS: {
        EngineCommandFlag flag;
        if (read_record(message, &flag)) on_capture_flag(session, message->type, flag.value);
        break;
    }
    case ENGINE_CMD_SET_BRIGHTNESS:
    case ENGINE_CMD_SET_CONTRAST:
    case ENGINE_CMD_SET_SATURATION:
    case ENGINE_CMD_SET_HUE:
    case ENGINE_CMD_SET_SCALE:
    case ENGINE_CMD_SET_ASPECT:
    case ENGINE_CMD_SET_WINDOW:
    case ENGINE_CMD_EXPOSE: on_picture(session, message); break;
    case ENGINE_CMD_EVAL_START: {
        EngineEvalRequest request;
        if (read_record(message, &request)) engine_eval_start(session->evaluation, &request);
        break;
    }
    case ENGINE_CMD_EVAL_STOP: engine_eval_stop(session->evaluation); break;
    default: break;
    }
    return CORE_OK;
}

uint64_t engine_ui_commands_refused(void) { return g_refused.load(); }
