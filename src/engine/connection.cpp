#include "engine/connection.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/store.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/evaluation.h"
#include "engine/formats.h"
#include "engine/names.h"
#include "engine/negotiation.h"
#include "engine/node.h"
#include "engine/offer_tables.h"
#include "engine/profiles.h"
#include "engine/provider.h"
#include "engine/receive.h"
#include "engine/session.h"
#include "ravelkit/devices.h"
#include "ravelkit/node.h"

namespace {

// Teardown tasks scheduled and not yet started, with the handle of the
// record each was given. A task claims its entry when it starts; whoever
// cancels a task that never started frees the record instead.
std::mutex g_pendingLock;
std::unordered_map<uint64_t, uint64_t> g_pending;

CoreHandleTable *records_table() { return core_handle_tables[CORE_HANDLES_STATUS]; }

bool same_key(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

void post_event(uint32_t code, const EngineBindRecord &record) { engine_post_event(code, &record, sizeof(record)); }
void post_command(uint32_t code, const EngineBindRecord &record)
{
    engine_post_command(code, &record, sizeof(record));
}

void post_message(uint32_t code, const char *text)
{
    EngineMessageText message;
    memset(&message, 0, sizeof(message));
    snprintf(message.text, sizeof(message.text), "%s", text);
    engine_post_event(code, &message, sizeof(message));
}

// The bind record at the head of a set, its source name terminated
// whatever the caller's bytes held.
EngineBindRecord record_of(const EngineStreamSet *set, uint32_t kind)
{
    EngineBindRecord record;
    engine_bind_record_from_stream_set(&record, set);
    record.kind = kind;
    record.sourceName[ENGINE_SOURCE_NAME_SIZE - 1] = '\0';
    return record;
}

EngineSessionParams params_of(EngineSession *session)
{
    EngineSessionParams params;
    core_lock(session->lock);
    params = session->params;
    core_unlock(session->lock);
    return params;
}

int32_t binder_mode_of(const CoreName *channel)
{
    if (engine_p2p_binder_index(channel) != ENGINE_BINDER_INDEX_NONE) return ENGINE_BINDER_P2P;
    if (engine_p2m_binder_index(channel) != ENGINE_BINDER_INDEX_NONE) return ENGINE_BINDER_P2M;
    return -1;
}

void free_block(void *block)
{
    if (block == nullptr) return;
    if (EngineNode *node = engine_node_running()) core_pool_free(node->pool, &block);
}

// Runs fn on the live channel under the table's lock; false when the
// channel is missing or being removed.
template <typename Fn>
bool with_channel(EngineBinderTable *table, const CoreName &name, Fn fn)
{
    if (table == nullptr || table->channels == nullptr) return false;
    CoreStoreItem *item = core_store_lookup(table->channels, name.key);
    if (item == nullptr) return false;
    bool live = false;
    core_lock(&table->lock);
    core_store_lock(table->channels);
    live = (item->state & CORE_ITEM_DELETED) == 0;
    core_store_unlock(table->channels);
    if (live) fn(reinterpret_cast<EngineBinderChannel *>(item));
    core_unlock(&table->lock);
    core_store_unref(table->channels);
    return live;
}

// Keeps a copy of the peer's request with the channel, replacing one kept
// before. False when the channel is missing or the copy cannot be made.
bool store_request(EngineBinderTable *table, const EngineStreamSet *set)
{
    EngineStreamSet *copy = engine_stream_set_clone(set);
    if (copy == nullptr) return false;
    const bool stored = with_channel(table, set->desc.channel, [&](EngineBinderChannel *channel) {
        free_block(channel->streamSet);
        channel->streamSet = copy;
        copy = nullptr;
    });
    free_block(copy);
    return stored;
}

// A copy of the request kept with the channel, or NULL.
EngineStreamSet *stored_request(EngineBinderTable *table, const CoreName &channel)
{
    EngineStreamSet *copy = nullptr;
    with_channel(table, channel, [&](EngineBinderChannel *c) {
        if (c->streamSet != nullptr) copy = engine_stream_set_clone(c->streamSet);
    });
    return copy;
}

void drop_stored_request(EngineBinderTable *table, const CoreName &channel)
{
    with_channel(table, channel, [&](EngineBinderChannel *c) {
        free_block(c->streamSet);
        c->streamSet = nullptr;
    });
}

// Makes the capture objects of every profile slot, unless a capture runs
// already. CORE_OK made; CORE_DONE a slot's stream has one already; the
// failure of a creation.
CoreResult create_captures(EngineMediaProvider *provider)
{
    if (provider == nullptr || provider->profiles == nullptr) return CORE_OK;
    CoreResult result = CORE_OK;
    for (CoreStoreItem *item = core_store_next(provider->profiles, nullptr, 1); item != nullptr;
         item = core_store_next(provider->profiles, item, 1)) {
        auto *profile = reinterpret_cast<EngineProfile *>(item);
        bool running = false;
        for (CoreStoreItem *s = core_store_next(profile->streams, nullptr, 1); s != nullptr;
             s = core_store_next(profile->streams, s, 1)) {
            if (reinterpret_cast<EngineProviderStream *>(s)->capture.load() != 0) {
                running = true;
                core_store_unref(profile->streams);
                break;
            }
        }
        result = running ? CORE_DONE : engine_provider_create_captures(provider, profile);
        if (result != CORE_OK) {
            core_store_unref(provider->profiles);
            break;
        }
    }
    return result;
}

// Playback of the received streams: consumers for the answer's streams,
// decoders ready for the first push.
CoreResult start_playback(EngineDisplay *display)
{
    if (display == nullptr) return CORE_ERR;
    const CoreResult result = engine_consumer_setup(display, nullptr);
    if (result < 0) return result;
    return engine_display_start_decoder(display, nullptr);
}

// Reads one keyed block of the registry's selected device. CORE_DONE when
// no device is selected or the registry is empty; CORE_ERR for a missing
// device or a failed read.
CoreResult read_selected_block(RavkDeviceList *list, uint32_t id, void *out, uint64_t size, bool current)
{
    if (list == nullptr) return CORE_DONE;
    CoreName selected;
    if (ravk_device_list_get_selected(list, &selected) != 0) return CORE_ERR;
    const CoreName none = core_name_of(NONE_ID);
    core_lock(&list->lock);
    const uint64_t count = list->devices != nullptr ? list->count : 0;
    core_unlock(&list->lock);
    if (same_key(selected, none) || count == 0) return CORE_DONE;
    const uint64_t handle = ravk_device_list_find(list, &selected, 0);
    if (handle == 0) return CORE_ERR;
    if (current) return ravk_device_get_info(handle, out, size) == 0 ? CORE_OK : CORE_ERR;
    CoreHandleTable *devices = core_handle_tables[CORE_HANDLES_DEVICES];
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices, handle));
    if (node == nullptr) return CORE_ERR;
    RavkSourceDescriptor *desc = ravk_device_node_desc(node, -1);
    const bool read = desc != nullptr && node->ops.get_attribute != nullptr &&
                      node->ops.get_attribute(desc, id, out, size) == 0;
    core_handle_release(devices, handle);
    return read ? CORE_OK : CORE_ERR;
}

const char *final_task_name(uint32_t code)
{
    switch (code) {
    case ENGINE_CTL_PEER_BUSY: return ENGINE_TASK_PEER_BUSY;
    case ENGINE_CTL_PEER_REJECT: return ENGINE_TASK_PEER_REJECT;
    default: return ENGINE_TASK_UNBIND;
    }
}

bool set_fits(const void *in, uint64_t in_len)
{
    if (in == nullptr || in_len < sizeof(EngineStreamSet)) return false;
    uint64_t count = 0;
    memcpy(&count, static_cast<const uint8_t *>(in) + offsetof(EngineStreamSet, count), sizeof(count));
    const uint64_t size = engine_stream_set_size(count);
    return size != 0 && size <= in_len;
}

}  // namespace

// ---- the teardown task ----

void engine_cancel_delayed_task(EngineSession *session)
{
    if (session == nullptr) return;
    const uint64_t task = session->delayedTask.exchange(0);
    if (task == 0) return;
    core_executor_cancel_named(&session->executor, task, 1);
    uint64_t handle = 0;
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        auto found = g_pending.find(task);
        if (found != g_pending.end()) {
            handle = found->second;
            g_pending.erase(found);
        }
    }
    // Cancelled before it ran: its record would otherwise never be freed.
    if (handle != 0) core_handle_release(records_table(), handle);
}

CoreResult engine_schedule_teardown(EngineSession *session, const EngineBindRecord *record, const char *taskName)
{
    if (session == nullptr || record == nullptr || records_table() == nullptr) return CORE_ERR;
    void *object = nullptr;
    const uint64_t handle = core_handle_create(records_table(), sizeof(EngineBindRecord), nullptr, &object);
    if (handle == 0 || object == nullptr) return CORE_ERR;
    memcpy(object, record, sizeof(EngineBindRecord));

    CoreName name;
    memset(&name, 0, sizeof(name));
    if (taskName != nullptr) name = core_name_of(taskName);
    const CoreTaskCallback callback = {engine_on_delayed_task,
                                       {session, reinterpret_cast<void *>(static_cast<uintptr_t>(handle))}};
    // Parked until its id is known everywhere, then made due at once.
    const uint64_t task = core_executor_schedule(&session->executor, &name, &record->desc.channel, CORE_DUE_NEVER,
                                                 &callback);
    if (task == 0) {
        core_handle_release(records_table(), handle);
        return CORE_ERR;
    }
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        g_pending[task] = handle;
    }
    // Only one teardown is pending per session: the one before is cancelled
    // and its final event is not posted.
    const uint64_t previous = session->delayedTask.exchange(task);
    if (previous != 0) {
        core_executor_cancel_named(&session->executor, previous, 1);
        uint64_t old = 0;
        {
            std::lock_guard<std::mutex> guard(g_pendingLock);
            auto found = g_pending.find(previous);
            if (found != g_pending.end()) {
                old = found->second;
                g_pending.erase(found);
            }
        }
        if (old != 0) core_handle_release(records_table(), old);
    }
    core_executor_trigger(&session->executor, task, 0);
    return CORE_OK;
}

int engine_on_delayed_task(const CoreName *, uint64_t task, const CoreName *name1, const CoreName *, void **user)
{
    auto *session = static_cast<EngineSession *>(user[0]);
    const auto handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user[1]));
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        // An entry that is gone was claimed by a cancel: the record is not ours.
        if (g_pending.erase(task) == 0) return CORE_DONE;
    }
    EngineBindRecord record;
    void *object = core_handle_acquire(records_table(), handle);
    if (object == nullptr) {
        core_handle_release(records_table(), handle);
        return CORE_DONE;
    }
    memcpy(&record, object, sizeof(record));
    core_handle_release(records_table(), handle);

    EngineBinderTable *table = session->binderTable;
    const bool p2p = table != nullptr && table->kind.load() == ENGINE_BINDER_P2P;
    if (p2p) {
        engine_provider_drain(session->provider);
        engine_display_drain(session->display, nullptr);
        engine_eval_reset_timing(session->evaluation);
    }
    const uint32_t sending = engine_binder_send_count(table, &record.desc.channel);
    const uint32_t receiving = engine_binder_receive_count(table, &record.desc.channel);
    if (sending > 0) {
        engine_provider_withdraw_streams(session->provider, &record.desc);
        if (receiving > 0) engine_post_receive_close(&record.desc);
    } else if (receiving > 0) {
        engine_post_receive_close(&record.desc);
    } else {
        // Nothing runs: the stream-closed events that would release the
        // channel later will not come.
        engine_binder_release(table, &record.desc);
        if (p2p) engine_binder_close_all(table);
    }

    if (name1 != nullptr) {
        if (same_key(*name1, core_name_of(ENGINE_TASK_UNBIND)))
            post_event(ENGINE_EVT_BIND_CLOSED, record);
        else if (same_key(*name1, core_name_of(ENGINE_TASK_PEER_BUSY)))
            post_event(ENGINE_EVT_BIND_BUSY, record);
        else if (same_key(*name1, core_name_of(ENGINE_TASK_PEER_REJECT)))
            post_event(ENGINE_EVT_BIND_FAILED, record);
    }
    // The creator's reference: the last one, which frees the copy.
    core_handle_release(records_table(), handle);
    uint64_t own = task;
    session->delayedTask.compare_exchange_strong(own, 0);
    return CORE_DONE;
}

// ---- connect and disconnect ----

CoreResult engine_connect(EngineSession *session, const EngineBindRecord *record)
{
    if (session == nullptr || record == nullptr) return CORE_ERR;
    uint32_t message = 0;
    if (record->kind == ENGINE_BIND_KIND_REQUESTER)
        message = ENGINE_MSG_BIND_REQUEST;
    else if (record->kind == ENGINE_BIND_KIND_ANSWERER)
        message = ENGINE_MSG_BIND_ACCEPT;
    else
        return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    EngineMediaProvider *provider = session->provider;
    if (!engine_binder_is_usable(table, &record->desc.channel)) {
        post_event(ENGINE_EVT_BIND_FAILED, *record);
        return CORE_DONE;
    }

    EngineBindRecord copy = *record;
    if (core_name_is_empty(&copy.desc.session)) engine_binder_get_session_id(table, &copy.desc.channel, &copy.desc.session);
    CoreResult result =
        engine_binder_source_name(table, provider != nullptr ? provider->audioSources : nullptr,
                                  provider != nullptr ? provider->videoSources : nullptr, copy.kind, copy.sourceName);
    if (result < 0) return result;

    if (copy.kind == ENGINE_BIND_KIND_REQUESTER) {
        result = engine_binder_begin(table, &copy.desc);
        if (result < 0) return result;
        // The same binding is connecting already: asking again would
        // restart its request.
        if (result == CORE_EXISTS) return CORE_EXISTS;
        result = engine_negotiate(session, ENGINE_ROLE_REQUESTER, &copy.desc, nullptr, ENGINE_HOW_OFFER_ONLY);
        if (result < 0) return result;
    } else {
        EngineStreamSet *request = stored_request(table, copy.desc.channel);
        if (request == nullptr) return CORE_ERR;
        result = engine_negotiate(session, ENGINE_ROLE_ANSWERER, &copy.desc, request, ENGINE_HOW_ANSWER);
        if (result >= 0) result = create_captures(provider);
        free_block(request);
        drop_stored_request(table, copy.desc.channel);
        if (result < 0) return result;
    }

    EngineReceiveRecord receive;
    memset(&receive, 0, sizeof(receive));
    receive.channel = copy.desc.channel;
    receive.peerNode = copy.desc.peerNode;
    receive.bindSequence = copy.desc.bindSequence;
    engine_post_command(ENGINE_CMD_RECEIVE_OPEN, &receive, sizeof(receive));
    post_command(message, copy);
    return CORE_OK;
}

CoreResult engine_disconnect(EngineSession *session, const EngineBindRecord *record)
{
    if (session == nullptr || record == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    EngineBindRecord copy = *record;
    if (core_name_is_empty(&copy.desc.session)) engine_binder_get_session_id(table, &copy.desc.channel, &copy.desc.session);
    if (copy.kind == ENGINE_BIND_KIND_NONE && table != nullptr) copy.kind = table->role.load();

    const CoreResult closing = engine_binder_set_closing(table, &copy.desc);
    if (closing != CORE_OK) return closing;
    post_command(ENGINE_MSG_UNBIND, copy);
    post_event(ENGINE_EVT_BIND_CLOSING, copy);
    return engine_schedule_teardown(session, &copy, ENGINE_TASK_UNBIND) == CORE_OK ? CORE_OK : CORE_ERR;
}

int engine_disconnect_channel(const CoreName *channel, const CoreName *, void *user)
{
    auto *session = static_cast<EngineSession *>(user);
    if (session == nullptr || channel == nullptr) return 0;
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = ENGINE_BIND_KIND_NONE;
    record.desc.channel = *channel;
    engine_binder_get_peer_node(session->binderTable, channel, &record.desc.peerNode);
    engine_binder_get_session_id(session->binderTable, channel, &record.desc.session);
    engine_binder_get_bind_seq(session->binderTable, channel, &record.desc.bindSequence);
    engine_disconnect(session, &record);
    return 0;
}

// ---- broadcast ----

CoreResult engine_broadcast_start(EngineSession *session, const EngineMediaDesc *desc)
{
    EngineCapability *capability = engine_capability_current();
    if (session == nullptr || desc == nullptr || capability == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    EngineMediaProvider *provider = session->provider;
    RavkDeviceList *audioSources = provider != nullptr ? provider->audioSources : nullptr;
    RavkDeviceList *videoSources = provider != nullptr ? provider->videoSources : nullptr;

    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = ENGINE_BIND_KIND_ANSWERER;
    record.desc = *desc;
    CoreResult result = engine_binder_source_name(table, audioSources, videoSources, 1, record.sourceName);
    if (result < 0) return result;

    EngineAudioFormat audio;
    CoreVideoMode video;
    EngineAudioFormat audioNow;
    CoreVideoMode videoNow;
    memset(&audio, 0, sizeof(audio));
    memset(&video, 0, sizeof(video));
    memset(&audioNow, 0, sizeof(audioNow));
    memset(&videoNow, 0, sizeof(videoNow));
    if (read_selected_block(audioSources, RAVK_ATTR_AUDIO_FORMAT, &audio, sizeof(audio), false) < 0) return CORE_ERR;
    if (read_selected_block(videoSources, RAVK_ATTR_VIDEO_MODE, &video, sizeof(video), false) < 0) return CORE_ERR;
    // The current formats may be missing; zeros stand for them.
    if (read_selected_block(audioSources, 0, &audioNow, sizeof(audioNow), true) < 0) memset(&audioNow, 0, sizeof(audioNow));
    if (read_selected_block(videoSources, 0, &videoNow, sizeof(videoNow), true) < 0) memset(&videoNow, 0, sizeof(videoNow));

    core_lock(&capability->lock);
    capability->audioFormat = audio;
    core_unlock(&capability->lock);
    CoreVideoMode profile;
    memset(&profile, 0, sizeof(profile));
    // The device's own mode is the source; a mode it was set to is the request.
    engine_broadcast_profile_make(capability, &video, &videoNow, &profile);

    result = engine_binder_open(table, ENGINE_BINDER_P2M, ENGINE_BIND_KIND_ANSWERER, nullptr, &audio, &profile);
    if (result < 0) return result;

    core_name_format(&record.desc.channel, "p2m.bnd.%08X.chnl", capability->p2mChannelCount);
    result = engine_negotiate(session, ENGINE_ROLE_ANSWERER, &record.desc, nullptr, ENGINE_HOW_OFFER_ONLY);
    if (result < 0) {
        engine_binder_close_all(table);
        return CORE_ERR;
    }
    post_command(ENGINE_MSG_BROADCAST_OPEN, record);
    return result;
}

// ---- peer requests ----

CoreResult engine_on_peer_request(EngineSession *session, const EngineStreamSet *set)
{
    if (session == nullptr || set == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    const int32_t mode = binder_mode_of(&set->desc.channel);
    if (engine_eval_running(session->evaluation)) return CORE_ERR_BUSY;

    const EngineBindRecord record = record_of(set, ENGINE_BIND_KIND_ANSWERER);
    if (!engine_binder_is_usable(table, &record.desc.channel)) {
        post_command(ENGINE_MSG_BIND_REJECT, record);
        return CORE_DONE;
    }
    CoreResult result = engine_binder_open(table, mode, ENGINE_BIND_KIND_ANSWERER, &record.desc, nullptr, nullptr);
    if (result < 0) return result;
    result = engine_binder_begin(table, &record.desc);
    if (result == CORE_ERR_BUSY) return result;
    if (result == CORE_EXISTS) return CORE_DONE;  // a repeat of the request in progress
    if (result < 0) {
        engine_binder_close_all(table);
        return result;
    }
    if (!store_request(table, set)) {
        engine_binder_close_all(table);
        return CORE_ERR;
    }

    if (params_of(session).autoAccept) {
        result = engine_connect(session, &record);
        if (result < 0) {
            engine_disconnect(session, &record);
            char text[ENGINE_MESSAGE_TEXT_SIZE];
            snprintf(text, sizeof(text), "%s.", ENGINE_TEXT_CONNECTION_FAILED);
            post_message(ENGINE_EVT_STREAMER_ERROR, text);
            if (result != CORE_ERR_BUSY) engine_binder_close_all(table);
            return result;
        }
    }
    post_event(ENGINE_EVT_BIND_OPENED, record);
    return CORE_OK;
}

CoreResult engine_on_peer_accept(EngineSession *session, const EngineStreamSet *set)
{
    if (session == nullptr || set == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    if (table == nullptr) return CORE_ERR;
    bool idle = false;
    if (table->open.load() != 0)
        with_channel(table, set->desc.channel,
                     [&](EngineBinderChannel *channel) { idle = channel->state == ENGINE_CHANNEL_IDLE; });
    if (idle) return CORE_ERR;

    CoreResult result = engine_negotiate(session, ENGINE_ROLE_REQUESTER, &set->desc, set, ENGINE_HOW_ADOPT);
    if (result < 0) return result;
    const EngineSessionParams params = params_of(session);
    if (params.receiveRoles & ENGINE_ROLE_REQUESTER) {
        result = start_playback(session->display);
        if (result < 0) return result;
    }
    if (params.sendRoles & ENGINE_ROLE_REQUESTER) engine_provider_announce_streams(session->provider, &set->desc);
    const EngineBindRecord record = record_of(set, ENGINE_BIND_KIND_REQUESTER);
    result = engine_binder_set_bound(table, record.sourceName, &record.desc);
    if (result != CORE_OK) return result;
    post_event(ENGINE_EVT_BIND_STATE, record);
    return CORE_OK;
}

CoreResult engine_on_peer_ready(EngineSession *session, const EngineStreamSet *set)
{
    if (session == nullptr || set == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    if (!engine_binder_matches(table, &set->desc)) return CORE_ERR;
    const EngineSessionParams params = params_of(session);
    if (params.receiveRoles & ENGINE_ROLE_ANSWERER) {
        const CoreResult result = start_playback(session->display);
        if (result < 0) return result;
    }
    if (params.sendRoles & ENGINE_ROLE_ANSWERER) engine_provider_announce_streams(session->provider, &set->desc);
    const EngineBindRecord record = record_of(set, ENGINE_BIND_KIND_ANSWERER);
    const CoreResult result = engine_binder_set_bound(table, record.sourceName, &record.desc);
    if (result != CORE_OK) return result;
    post_event(ENGINE_EVT_BIND_STATE, record);
    return CORE_OK;
}

CoreResult engine_on_peer_end(EngineSession *session, uint32_t code, const EngineBindRecord *record)
{
    if (session == nullptr || record == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    if (!engine_binder_matches(table, &record->desc)) return CORE_DONE;
    if (engine_binder_set_closing(table, &record->desc) != CORE_OK) return CORE_OK;
    post_event(ENGINE_EVT_BIND_CLOSING, *record);
    return engine_schedule_teardown(session, record, final_task_name(code)) == CORE_OK ? CORE_OK : CORE_ERR;
}

CoreResult engine_on_peer_update(EngineSession *session, const EngineStreamSet *set)
{
    if (session == nullptr || set == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    if (!engine_binder_has_session(table, &set->desc.channel, set->desc.session.key)) return CORE_DONE;
    CoreResult result = CORE_DONE;
    for (uint64_t i = 0; i < set->count; ++i) {
        if (table->kind.load() != ENGINE_BINDER_P2P) break;
        const EngineStreamRecord &record = set->records[i];
        uint32_t rate[2] = {0, 0};
        if (!engine_props_get2(rate, &record.props, 0x1600)) continue;
        const RavkFraction fraction = {rate[0], rate[1]};
        result = engine_provider_cap_framerate(session->provider, &record.streamName, &fraction);
    }
    return result;
}

CoreResult engine_on_broadcast_join(EngineSession *, const EngineBindRecord *record)
{
    if (record == nullptr) return CORE_ERR;
    post_event(ENGINE_EVT_CHANNEL_BOUND, *record);
    return CORE_OK;
}

CoreResult engine_on_broadcast_leave(EngineSession *session, const EngineBindRecord *record)
{
    if (session == nullptr || record == nullptr) return CORE_ERR;
    EngineBinderTable *table = session->binderTable;
    CoreResult result = CORE_OK;
    if (table != nullptr && table->kind.load() == ENGINE_BINDER_P2P &&
        engine_binder_set_closing(table, &record->desc) == CORE_OK) {
        post_event(ENGINE_EVT_BIND_CLOSING, *record);
        if (engine_schedule_teardown(session, record, nullptr) != CORE_OK) result = CORE_ERR;
    }
    post_event(ENGINE_EVT_CHANNELS_CLEARED, *record);
    return result;
}

CoreResult engine_on_version_mismatch(EngineSession *, const EngineBindRecord *)
{
    char text[ENGINE_MESSAGE_TEXT_SIZE];
    snprintf(text, sizeof(text), "%s. %s.", ENGINE_TEXT_VERSIONS_INCOMPATIBLE, ENGINE_TEXT_PLEASE_UPDATE);
    post_message(ENGINE_EVT_MESSAGE, text);
    return CORE_OK;
}

// ---- send profiles ----

CoreResult engine_send_profile_requests(EngineSession *session, const CoreName *channel)
{
    EngineCapability *capability = engine_capability_current();
    if (session == nullptr || channel == nullptr || capability == nullptr || engine_node_running() == nullptr)
        return CORE_ERR;
    const int32_t mode = binder_mode_of(channel);
    EngineStreamTable *offer = engine_capability_table_clone(capability, ENGINE_CAPABILITY_OFFER);
    if (offer == nullptr) return CORE_ERR;
    CoreVideoMode sendMode;
    const uint64_t stored = engine_capability_slot_read(capability, ENGINE_SLOT_VIDEO_SEND, &sendMode, sizeof(sendMode));
    if (stored == 0 || stored > sizeof(sendMode)) memset(&sendMode, 0, sizeof(sendMode));
    const bool combined = params_of(session).combinedProfile != 0;
    const CoreName service = core_name_of(ENGINE_NODE_SERVICE);

    CoreResult result = CORE_DONE;
    for (uint64_t i = 0; i < offer->count; ++i) {
        const EngineStreamRecord &record = offer->records[i];
        if (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) continue;
        EngineProfileRequest request;
        result = engine_profile_request_make(capability, record.mediaFlags, record.roleWord, &record.streamName,
                                             &sendMode, mode, &request);
        if (result < 0) break;
        EngineMediaDesc desc;
        memset(&desc, 0, sizeof(desc));
        desc.channel = *channel;
        if (combined)
            desc.bindSequence = core_name_of(ENGINE_PROFILE_SLOT_COMBINED);
        else if (record.mediaFlags & ENGINE_MEDIA_AUDIO)
            desc.bindSequence = core_name_of(ENGINE_PROFILE_SLOT_AUDIO);
        else if (record.mediaFlags & ENGINE_MEDIA_VIDEO)
            desc.bindSequence = core_name_of(ENGINE_PROFILE_SLOT_VIDEO);
        uint64_t length = sizeof(desc);
        result = core_notify(&service, ENGINE_SVC_SEND_PROFILE, &request, sizeof(request), &desc, &length);
        if (result < 0) break;
    }
    free_block(offer);
    return result;
}

// ---- the control requests ----

CoreResult engine_on_connection_request(EngineSession *session, uint32_t code, const void *in, uint64_t in_len,
                                        void *, uint64_t *)
{
    if (code < ENGINE_CTL_VERSION_MISMATCH || code > ENGINE_CTL_PEER_UNBIND) return CORE_NOT_MINE;
    if (session == nullptr) return CORE_ERR;
    const bool takesSet = code == ENGINE_CTL_PEER_REQUEST || code == ENGINE_CTL_PEER_ACCEPT ||
                          code == ENGINE_CTL_PEER_READY || code == ENGINE_CTL_PEER_UPDATE;
    if (takesSet) {
        // The count is the caller's word: a set shorter than it claims
        // would have the records read past its end.
        if (!set_fits(in, in_len)) {
            core_log(CORE_LOG_WARN, "engine", "connection: request 0x%X with a set of %llu bytes refused", code,
                     static_cast<unsigned long long>(in_len));
            return CORE_ERR_INVALID;
        }
    } else if (in == nullptr || in_len < sizeof(EngineBindRecord)) {
        return CORE_ERR_INVALID;
    }
    const auto *set = static_cast<const EngineStreamSet *>(in);
    EngineBindRecord record;
    if (!takesSet) {
        memcpy(&record, in, sizeof(record));
        record.sourceName[ENGINE_SOURCE_NAME_SIZE - 1] = '\0';
    }
    switch (code) {
    case ENGINE_CTL_VERSION_MISMATCH: return engine_on_version_mismatch(session, &record);
    case ENGINE_CTL_PEER_REQUEST: return engine_on_peer_request(session, set);
    case ENGINE_CTL_PEER_ACCEPT: return engine_on_peer_accept(session, set);
    case ENGINE_CTL_PEER_READY: return engine_on_peer_ready(session, set);
    case ENGINE_CTL_PEER_UPDATE: return engine_on_peer_update(session, set);
    case ENGINE_CTL_BROADCAST_JOIN: return engine_on_broadcast_join(session, &record);
    case ENGINE_CTL_BROADCAST_LEAVE: return engine_on_broadcast_leave(session, &record);
    default: return engine_on_peer_end(session, code, &record);  // busy, reject, unbind
    }
}
