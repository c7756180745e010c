#include "engine/send.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/queue.h"
#include "core/tlv.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/peer_streams.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/session.h"

namespace {

// Items of one entry, and of a message's frame around its entries.
constexpr uint64_t kEntryItems = 10;
constexpr uint64_t kFrameItems = 3;

bool same_key(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

// An item's key, read under its store's lock: a removal on another thread
// gives the item a fresh key.
CoreName key_of(CoreStore *store, const CoreStoreItem *item)
{
    core_store_lock(store);
    const CoreName key = item->key;
    core_store_unlock(store);
    return key;
}

EngineSendService *service_of(const uint64_t user[2])
{
    return reinterpret_cast<EngineSendService *>(static_cast<uintptr_t>(user[0]));
}

CoreHandleTable *streams_table() { return core_handle_tables[CORE_HANDLES_STREAMS]; }

uint32_t rate_control_of(const EngineSendService *service, const EngineProfileRequest &profile)
{
    return (service->sendRoles & service->bindingRole.load()) != 0 ? profile.rateControl : 0;
}

void unregister_feedback(uint64_t token)
{
    if (token == 0) return;
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_TRANSPORT, token);
        flowmesh_core_release(core);
    }
}

void post_stream_event(uint32_t code, const EngineSendStream *stream, uint32_t value)
{
    EngineSendStreamEvent event = {};
    event.channel = stream->binderChannel;
    event.peerNode = stream->peerNodeId;
    event.session = stream->sessionName;
    event.slot = stream->slotName;
    event.stream = stream->profile.streamName;
    event.value = value;
    engine_post_event(code, &event, sizeof(event));
}

// The network stream of a profile. The engine's profile words map onto the
// library's parameter block in order: the byte rate sizes the send buffer,
// the chunk size the second buffer, the queue depth rides as the
// transport's word; the ceiling is the pacing rate, the audio reserve the
// shortest retransmission time-out, and the two frame rates are the
// nominal and the peak rate.
FlowmeshStreamParams stream_params(const EngineSendService *service, const EngineProfileRequest &profile,
                                   const CoreName &channel)
{
    FlowmeshStreamParams p = {};
    p.send_buffer = profile.byteRate;
    p.receive_buffer = profile.chunkSize;
    p.word = profile.queueDepth;
    p.flags = rate_control_of(service, profile);
    p.owner_name = channel;
    p.kind.kind = profile.roleWord & 0xFFu;
    p.kind.class_word = profile.mediaFlags;
    p.kind.stream_name = profile.streamName;
    p.rate = profile.bitrateCeiling;
    p.min_bitrate = profile.minBitrate;
    p.max_bitrate = profile.maxBitrate;
    p.min_rto_ms = profile.audioReserve;
    p.max_rto_ms = profile.reserved;
    memcpy(p.frame_rate, profile.minFrameRate, sizeof(p.frame_rate));
    memcpy(p.second_frame_rate, profile.frameRate, sizeof(p.second_frame_rate));
    return p;
}

// The sessions an add or remove command names: the one of that session
// name, or every session of the peer. Each is handed to fn under a reader
// reference; fn returns false to stop.
template <typename Fn>
void for_sessions(EngineSendService *service, const CoreName *peer, const CoreName *session, Fn fn)
{
    if (peer != nullptr) {
        for (CoreStoreItem *item = core_store_next(service->sessions, nullptr, 1); item != nullptr;
             item = core_store_next(service->sessions, item, 1)) {
            auto *entry = reinterpret_cast<EngineSendSession *>(item);
            if (!same_key(entry->peerNodeId, *peer)) continue;
            if (!fn(entry)) {
                core_store_unref(service->sessions);
                return;
            }
        }
        return;
    }
    if (CoreStoreItem *item = core_store_lookup(service->sessions, session->key)) {
        fn(reinterpret_cast<EngineSendSession *>(item));
        core_store_unref(service->sessions);
    }
}

// Adds a sender for every profile of the slot. CORE_OK added, CORE_DONE no
// profile matched, CORE_ERR an insertion failed.
CoreResult streams_add(EngineSendService *service, EngineSendSession *session, const EngineMediaDesc *desc)
{
    CoreResult result = CORE_DONE;
    for (CoreStoreItem *item = core_store_next(service->profiles, nullptr, 1); item != nullptr;
         item = core_store_next(service->profiles, item, 1)) {
        auto *stored = reinterpret_cast<EngineSendProfile *>(item);
        EngineSendStreamArgs args = {};
        core_store_lock(service->profiles);
        const bool match = same_key(stored->header.ref, desc->bindSequence);
        args.profile = stored->profile;
        core_store_unlock(service->profiles);
        if (!match) continue;
        args.service = service;
        args.binderChannel = desc->channel;
        args.peerNodeId = session->peerNodeId;
        args.sessionName = key_of(service->sessions, &session->header);
        args.slotName = desc->bindSequence;
        const CoreResult r = core_store_insert(session->senders, &args.profile.streamName, &args.sessionName,
                                               &args, nullptr, 0);
        if (r != CORE_OK) {
            core_log(CORE_LOG_WARN, "engine", "send: no sender for %s on %s (%d)", args.profile.streamName.text,
                     args.sessionName.text, r);
            core_store_unref(service->profiles);
            return CORE_ERR;
        }
        result = CORE_OK;
    }
    return result;
}

}  // namespace

uint64_t engine_frame_message_size(uint64_t n)
{
    if (core_tlv_check(n, CORE_TLV_BLOB) != CORE_OK) return n;
    return n + ENGINE_FRAME_MESSAGE_OVERHEAD;
}

// ---- profiles ----

int engine_send_profile_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    if (arg == nullptr) return -1;
    memcpy(&reinterpret_cast<EngineSendProfile *>(item)->profile, arg, sizeof(EngineProfileRequest));
    return 0;
}

CoreResult engine_send_profile_store(EngineSendService *service, const EngineProfileRequest *profile,
                                     const CoreName *slot)
{
    if (service == nullptr || profile == nullptr || slot == nullptr) return CORE_ERR;
    CoreStoreItem *item = nullptr;
    const CoreResult r = core_store_insert(service->profiles, &profile->streamName, slot,
                                           const_cast<EngineProfileRequest *>(profile), &item, 1);
    if (r != CORE_OK && r != CORE_EXISTS) return CORE_ERR;
    core_store_lock(service->profiles);
    memcpy(&reinterpret_cast<EngineSendProfile *>(item)->profile, profile, sizeof(EngineProfileRequest));
    // A stream that moved to another slot is found under its new one.
    item->ref = *slot;
    core_store_unlock(service->profiles);
    core_store_unref(service->profiles);
    return CORE_OK;
}

// ---- sessions and senders ----

int engine_send_session_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *session = reinterpret_cast<EngineSendSession *>(item);
    if (arg != nullptr) session->peerNodeId = *static_cast<const CoreName *>(arg);
    CoreStoreConfig config = {};
    config.item_size = sizeof(EngineSendStream);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = engine_send_stream_init;
    config.destroy = engine_send_stream_fini;
    config.pool = core_name_of(CORE_DEFAULT_POOL);
    config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    config.user = *user;
    session->senders = core_store_create(&config);
    return session->senders != nullptr ? 0 : -1;
}

int engine_send_stream_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *stream = reinterpret_cast<EngineSendStream *>(item);
    const auto *args = static_cast<const EngineSendStreamArgs *>(arg);
    if (args == nullptr || args->service == nullptr) return -1;
    EngineSendService *service = args->service;
    stream->service = service;
    stream->profile = args->profile;
    stream->binderChannel = args->binderChannel;
    stream->peerNodeId = args->peerNodeId;
    stream->sessionName = args->sessionName;
    stream->slotName = args->slotName;
    stream->bytesSent.store(0);
    stream->state.store(0);

    // The sender listens before the stream is asked for, so that it cannot
    // miss the open event.
    EngineSenderConfig sc = {};
    sc.queueLimit = stream->profile.queueStart;
    sc.poolSize = stream->profile.byteRate;
    sc.retryPause = ENGINE_SEND_RETRY_PAUSE_MS;
    sc.executor = service->executorName;
    sc.pool = core_name_of(CORE_DEFAULT_POOL);
    sc.session = stream->sessionName;
    sc.stream = stream->profile.streamName;
    stream->sender = engine_sender_create(&sc);
    bool opened = false;
    if (stream->sender != 0) {
        const FlowmeshStreamParams params = stream_params(service, stream->profile, stream->binderChannel);
        opened = flowmesh_session_open_stream(&stream->sessionName, &params) >= 0;
    }
    if (opened) {
        CoreTaskCallback callback = {engine_send_stats_task, {stream, nullptr}};
        stream->statsTask = core_executor_schedule(&service->executorName, &stream->profile.streamName,
                                                   &stream->sessionName, ENGINE_SEND_STATS_PERIOD_MS, &callback);
    }
    if (stream->statsTask != 0) {
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            const FlowmeshCallbacks feedback = {engine_send_on_feedback, {reinterpret_cast<uintptr_t>(stream), 0}};
            stream->feedbackToken = flowmesh_register_callbacks(core->events, FLOWMESH_EVENTS_TRANSPORT, &feedback);
            flowmesh_core_release(core);
        }
    }
    if (stream->feedbackToken == 0) {
        core_executor_cancel_named(&service->executorName, stream->statsTask, 1);
        stream->statsTask = 0;
        if (opened) flowmesh_stream_close(&stream->sessionName, &stream->profile.streamName);
        if (stream->sender != 0) core_handle_release(streams_table(), stream->sender);
        stream->sender = 0;
        return -1;
    }
    stream->live = 1;
    return 0;
}

void engine_send_stream_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *stream = reinterpret_cast<EngineSendStream *>(item);
    if (!stream->live) return;
    stream->live = 0;
    unregister_feedback(stream->feedbackToken);
    stream->feedbackToken = 0;
    core_executor_cancel_named(&stream->service->executorName, stream->statsTask, 1);
    stream->statsTask = 0;
    flowmesh_stream_close(&stream->sessionName, &stream->profile.streamName);
    core_handle_release(streams_table(), stream->sender);
    core_handle_wait_freed(streams_table(), stream->sender);
    stream->sender = 0;
    post_stream_event(ENGINE_EVT_SEND_STREAM_CLOSED, stream, 0);
}

CoreResult engine_send_stream_add(EngineSendService *service, const EngineMediaDesc *desc)
{
    if (service == nullptr || desc == nullptr || core_name_is_empty(&desc->channel)) return CORE_ERR_INVALID;
    const bool by_peer = !core_name_is_empty(&desc->peerNode);
    if (!by_peer && core_name_is_empty(&desc->session)) return CORE_ERR_INVALID;
    bool found = false;
    CoreResult result = CORE_DONE;
    for_sessions(service, by_peer ? &desc->peerNode : nullptr, &desc->session, [&](EngineSendSession *session) {
        found = true;
        const CoreResult r = streams_add(service, session, desc);
        if (r == CORE_OK) result = CORE_OK;
        if (r < 0) {
            result = r;
            return false;
        }
        return true;
    });
    return found ? result : CORE_ERR_REFUSED;
}

void engine_send_stream_remove(EngineSendService *service, const EngineMediaDesc *desc)
{
    if (service == nullptr || desc == nullptr) return;
    const bool by_peer = !core_name_is_empty(&desc->peerNode);
    if (!by_peer && core_name_is_empty(&desc->session)) return;
    if (core_name_is_empty(&desc->channel)) return;
    for_sessions(service, by_peer ? &desc->peerNode : nullptr, &desc->session, [&](EngineSendSession *session) {
        for (CoreStoreItem *item = core_store_next(session->senders, nullptr, 1); item != nullptr;
             item = core_store_next(session->senders, item, 1)) {
            auto *stream = reinterpret_cast<EngineSendStream *>(item);
            if (same_key(stream->slotName, desc->bindSequence) && same_key(stream->binderChannel, desc->channel))
                core_store_remove(session->senders, key_of(session->senders, item).key);
        }
        return true;
    });
}

// ---- sending ----

CoreResult engine_send_frame_message(EngineSendService *, EngineSendStream *stream, const EngineFrameBatch *batch,
                                     const RavkSample *first)
{
    // A chain is sent whole or not at all when one of its samples is empty.
    uint64_t samples = 0;
    for (const RavkSample *s = first; s != nullptr; s = s->next, ++samples) {
        if (s->data == nullptr || s->size == 0) {
            stream->state.fetch_or(ENGINE_SEND_FAILED);
            return CORE_ERR;
        }
    }
    if (samples == 0) {
        stream->state.fetch_or(ENGINE_SEND_FAILED);
        return CORE_ERR;
    }
    auto *sender = static_cast<EngineSender *>(core_handle_acquire(streams_table(), stream->sender));
    if (sender == nullptr) return CORE_ERR;

    struct EntryValues {
        uint32_t recordLength;
        uint32_t formatWord;
        uint32_t frameFlags;
        uint64_t sequence;
        uint64_t pts;
        uint64_t dts;
        uint64_t duration;
    };
    const uint64_t per_message = samples < ENGINE_FRAME_ENTRIES_MAX ? samples : ENGINE_FRAME_ENTRIES_MAX;
    std::vector<EntryValues> values(per_message);
    std::vector<CoreTlvItem> items(per_message * kEntryItems + kFrameItems);
    const bool video = (stream->profile.mediaFlags & 0x2u) != 0;
    const uint64_t sequence = sender->sequence.load();
    uint32_t gap = stream->state.load() & ENGINE_SEND_FAILED;

    CoreResult result = CORE_OK;
    uint64_t queued = 0;
    uint64_t queued_bytes = 0;
    const RavkSample *s = first;
    while (s != nullptr) {
        uint64_t n = 0;
        uint64_t bytes = 0;
        uint32_t last_flags = 0;
        items[n++] = {CORE_TLV_LIST_BEGIN, 0, nullptr};
        for (uint64_t i = 0; i < per_message && s != nullptr; ++i, s = s->next) {
            EntryValues &v = values[i];
            v.recordLength = static_cast<uint32_t>(s->size + ENGINE_FRAME_ENTRY_HEAD);
            v.formatWord = 1;
            v.frameFlags = engine_frame_flags_to_wire(s->flags, s->orientation) | gap;
            // Each entry its own number: the receiver keeps one frame per
            // number.
            v.sequence = sequence + queued + i;
            v.pts = static_cast<uint64_t>(s->pts);
            v.dts = static_cast<uint64_t>(s->dts);
            v.duration = static_cast<uint64_t>(s->duration);
            items[n++] = {CORE_TLV_ENTRY, 0, nullptr};
            items[n++] = {CORE_TLV_U32, 4, &v.recordLength};
            items[n++] = {CORE_TLV_U32, 4, &v.formatWord};
            items[n++] = {CORE_TLV_U32, 4, &v.frameFlags};
            items[n++] = {CORE_TLV_U64, 8, &v.sequence};
            items[n++] = {CORE_TLV_U64, 8, &v.pts};
            items[n++] = {CORE_TLV_U64, 8, &v.dts};
            items[n++] = {CORE_TLV_U64, 8, &v.duration};
            items[n++] = {CORE_TLV_ID, CORE_NAME_KEY_SIZE, batch->channel.key};
            items[n++] = {CORE_TLV_BLOB, s->size, s->data};
            bytes += s->size;
            last_flags = v.frameFlags;
        }
        items[n++] = {CORE_TLV_LIST_END, 0, nullptr};
        items[n++] = {CORE_TLV_END, 0, nullptr};
        const uint64_t entries = (n - kFrameItems) / kEntryItems;
        const uint32_t type = video && (last_flags & ENGINE_FRAME_KEY) ? 1u : 0u;
        CoreResult r = engine_stream_send_tlv(stream->sender, 0, type, items.data(), n);
        if (r == CORE_ERR_NO_SPACE) r = CORE_DONE;
        if (r != CORE_OK) {
            stream->state.fetch_or(ENGINE_SEND_FAILED);
            result = r;
            break;
        }
        queued += entries;
        queued_bytes += bytes;
        gap = 0;  // the gap has been announced
    }
    // Numbers of entries that left are used up; a dropped message's are
    // not, so the next message reuses them and the receiver sees no hole
    // other than the one the discontinuity bit announces.
    sender->sequence.fetch_add(queued);
    stream->bytesSent.fetch_add(queued_bytes);
    if (result == CORE_OK) stream->state.fetch_and(~ENGINE_SEND_FAILED);
    core_handle_release(streams_table(), stream->sender);
    return result;
}

CoreResult engine_send_frames(EngineSendService *service, const EngineFrameBatch *batch, const RavkSample *first)
{
    if (service == nullptr || batch == nullptr) return CORE_ERR_INVALID;
    auto *session = reinterpret_cast<EngineSendSession *>(core_store_lookup(service->sessions, batch->session.key));
    if (session == nullptr) return CORE_ERR_NOT_FOUND;
    CoreResult result = CORE_ERR_NOT_FOUND;
    if (CoreStoreItem *item = core_store_lookup(session->senders, batch->stream.key)) {
        result = engine_send_frame_message(service, reinterpret_cast<EngineSendStream *>(item), batch, first);
        core_store_unref(session->senders);
    }
    core_store_unref(service->sessions);
    return result;
}

int engine_send_stats_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *, void **user)
{
    auto *stream = static_cast<EngineSendStream *>(user[0]);
    EngineSendStatsEvent event = {};
    event.channel = stream->binderChannel;
    event.session = stream->sessionName;
    event.stream = stream->profile.streamName;
    event.bits = stream->bytesSent.exchange(0) * 8;
    event.step = -1;
    engine_post_event(ENGINE_EVT_SEND_STATS, &event, sizeof(event));
    core_executor_trigger(executor, task, ENGINE_SEND_STATS_PERIOD_MS);
    return CORE_OK;
}

// ---- handlers ----

CoreResult engine_send_on_node_service(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                                       void **user)
{
    auto *service = static_cast<EngineSendService *>(user[0]);
    if (code == ENGINE_SVC_SEND_FRAMES) {
        if (in == nullptr || in_len < sizeof(EngineFrameBatch)) return CORE_ERR_INVALID;
        EngineFrameBatch batch;
        memcpy(&batch, in, sizeof(batch));
        return engine_send_frames(service, &batch, static_cast<const RavkSample *>(out));
    }
    if (code == ENGINE_SVC_SEND_PROFILE) {
        if (in == nullptr || in_len < sizeof(EngineProfileRequest) || out == nullptr ||
            (out_len != nullptr && *out_len < sizeof(EngineMediaDesc)))
            return CORE_ERR_INVALID;
        EngineProfileRequest profile;
        memcpy(&profile, in, sizeof(profile));
        EngineMediaDesc desc;
        memcpy(&desc, out, sizeof(desc));
        return engine_send_profile_store(service, &profile, &desc.bindSequence);
    }
    return CORE_NOT_MINE;
}

CoreResult engine_send_on_command(const CoreQueueEntry *message, void **user)
{
    auto *service = static_cast<EngineSendService *>(user[0]);
    if (service == nullptr || message == nullptr) return CORE_OK;
    switch (message->type) {
    case ENGINE_MSG_BIND_REQUEST: service->bindingRole.store(ENGINE_SEND_ROLE_REQUESTER); break;
    case ENGINE_MSG_BIND_ACCEPT: service->bindingRole.store(ENGINE_SEND_ROLE_ANSWERER); break;
    case ENGINE_CMD_SEND_STREAM_ADD:
    case ENGINE_CMD_SEND_STREAM_REMOVE: {
        if (message->data == nullptr || message->length < sizeof(EngineMediaDesc)) {
            core_log(CORE_LOG_WARN, "engine", "send: command 0x%X with %llu bytes ignored", message->type,
                     static_cast<unsigned long long>(message->length));
            break;
        }
        EngineMediaDesc desc;
        memcpy(&desc, message->data, sizeof(desc));
        if (message->type == ENGINE_CMD_SEND_STREAM_REMOVE) {
            engine_send_stream_remove(service, &desc);
            break;
        }
        const CoreResult r = engine_send_stream_add(service, &desc);
        if (r < 0) core_log(CORE_LOG_WARN, "engine", "send: adding %s's streams failed (%d)", desc.channel.text, r);
        break;
    }
    default: break;
    }
    return CORE_OK;
}

int engine_send_on_session(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshSessionEvent *>(record);
    EngineSendService *service = service_of(e->user);
    if (service == nullptr || e->zero != 0 || e->info == nullptr) return 0;
    if (e->info->state == FLOWMESH_SESSION_UP) {
        const CoreResult r = core_store_insert(service->sessions, &e->session, nullptr,
                                               const_cast<CoreName *>(&e->peer_node), nullptr, 0);
        if (r != CORE_OK && r != CORE_EXISTS)
            core_log(CORE_LOG_WARN, "engine", "send: no entry for session %s (%d)", e->session.text, r);
    } else if (e->info->state == FLOWMESH_SESSION_DOWN) {
        // A fresh key frees the name at once for the peer's next session.
        core_store_remove(service->sessions, e->session.key);
    }
    return 0;
}

int engine_send_on_stream_state(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
    EngineSendService *service = service_of(e->user);
    if (service == nullptr) return 0;
    if (e->state != FLOWMESH_STREAM_OPENED && e->state != FLOWMESH_STREAM_CLOSED) return 0;
    auto *session = reinterpret_cast<EngineSendSession *>(core_store_lookup(service->sessions, e->session.key));
    if (session == nullptr) return 0;
    if (e->state == FLOWMESH_STREAM_OPENED) {
        if (CoreStoreItem *item = core_store_lookup(session->senders, e->kind.stream_name.key)) {
            post_stream_event(ENGINE_EVT_SEND_STREAM_OPENED, reinterpret_cast<EngineSendStream *>(item), e->key_kind);
            core_store_unref(session->senders);
        }
    } else {
        core_store_remove(session->senders, e->kind.stream_name.key);
    }
    core_store_unref(service->sessions);
    return 0;
}

int engine_send_on_stream_request(void *record, FlowmeshStreamAnswer *answer)
{
    auto *request = static_cast<FlowmeshStreamRequest *>(record);
    EngineSendService *service = service_of(request->user);
    if (service == nullptr || answer == nullptr || (request->kind.class_word & 0x3u) == 0) return 0;
    CoreStoreItem *item = core_store_lookup(service->profiles, request->kind.stream_name.key);
    if (item == nullptr) return 0;
    core_store_lock(service->profiles);
    const EngineProfileRequest profile = reinterpret_cast<EngineSendProfile *>(item)->profile;
    core_store_unlock(service->profiles);
    core_store_unref(service->profiles);
    answer->send_buffer = profile.byteRate;
    answer->receive_buffer = profile.chunkSize;
    answer->word = profile.queueDepth;
    answer->flags = rate_control_of(service, profile);
    answer->rate = profile.bitrateCeiling;
    answer->min_bitrate = profile.minBitrate;
    answer->max_bitrate = profile.maxBitrate;
    memcpy(answer->frame_rate, profile.minFrameRate, sizeof(answer->frame_rate));
    memcpy(answer->second_frame_rate, profile.frameRate, sizeof(answer->second_frame_rate));
    return 1;
}

int engine_send_on_feedback(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshTransportEvent *>(record);
    auto *stream = reinterpret_cast<EngineSendStream *>(static_cast<uintptr_t>(e->user[0]));
    if (stream == nullptr) return 0;
    // Every sender sees every stream's reports; only its own count, and a
    // stream of one name may run to several peers.
    if (!same_key(e->stream, stream->profile.streamName) || !same_key(e->session, stream->sessionName)) return 0;
    EngineSendStatsEvent event = {};
    event.channel = stream->binderChannel;
    event.session = e->session;
    event.stream = e->stream;
    event.bits = e->bitrate;
    event.step = e->quality;
    engine_post_event(ENGINE_EVT_SEND_FEEDBACK, &event, sizeof(event));
    return 0;
}

// ---- the service ----

EngineSendService *engine_send_service_create(uint32_t sendRoles)
{
    void *block = nullptr;
    if (posix_memalign(&block, 64, sizeof(EngineSendService)) != 0) return nullptr;
    memset(block, 0, sizeof(EngineSendService));
    auto *service = new (block) EngineSendService();
    service->sendRoles = sendRoles;
    service->executorName = core_name_of(ENGINE_SEND_EXECUTOR);
    service->nodeService = core_name_of(ENGINE_NODE_SERVICE);
    service->commandTopic = core_name_of(ENGINE_COMMAND_TOPIC);

    bool ok = core_executor_create(&service->executorName) == 0;
    service->executorMade = ok;
    if (ok) {
        CoreExecutor *executor = core_executor_find(&service->executorName);
        ok = executor != nullptr && core_executor_worker_count(executor) >= 1;
        if (executor != nullptr) core_executor_release(executor);
    }
    if (ok) {
        CoreStoreConfig config = {};
        config.item_size = sizeof(EngineSendSession);
        config.key_kind = CORE_KEY_EXPLICIT;
        config.create = engine_send_session_init;
        config.destroy = core_substore_fini_cb;
        config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        config.flags = CORE_STORE_TREE;
        config.user = service;
        service->sessions = core_store_create(&config);
        CoreStoreConfig profiles = {};
        profiles.item_size = sizeof(EngineSendProfile);
        profiles.key_kind = CORE_KEY_EXPLICIT;
        profiles.create = engine_send_profile_init;
        profiles.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        profiles.flags = CORE_STORE_TREE;
        service->profiles = core_store_create(&profiles);
        ok = service->sessions != nullptr && service->profiles != nullptr;
    }
    if (ok) {
        const uint64_t self = reinterpret_cast<uintptr_t>(service);
        const FlowmeshCallbacks request = {engine_send_on_stream_request, {self, 0}};
        service->requestToken = flowmesh_register_request_callbacks(&request);
        const FlowmeshCallbacks session = {engine_send_on_session, {self, 0}};
        service->sessionToken = flowmesh_register_session_callbacks(&session);
        const FlowmeshCallbacks state = {engine_send_on_stream_state, {self, 0}};
        service->stateToken = flowmesh_register_state_callbacks(&state);
        ok = service->requestToken != 0 && service->sessionToken != 0 && service->stateToken != 0;
    }
    if (ok) {
        const CoreNotifySubscription node = {engine_send_on_node_service, {service, nullptr}};
        service->nodeSubscription = core_notify_subscribe(&service->nodeService, &node);
        const CoreTopicSubscription command = {engine_send_on_command, {service, nullptr}};
        service->commandSubscription = core_topic_subscribe(&service->commandTopic, &command);
        ok = service->nodeSubscription != 0 && service->commandSubscription != 0;
    }
    if (!ok) engine_send_service_destroy(&service);
    return service;
}

void engine_send_service_destroy(EngineSendService **pointer)
{
    if (pointer == nullptr || *pointer == nullptr) return;
    EngineSendService *service = *pointer;
    *pointer = nullptr;
    if (service->nodeSubscription != 0) core_notify_unsubscribe(&service->nodeService, service->nodeSubscription);
    if (service->commandSubscription != 0) core_topic_unsubscribe(&service->commandTopic, service->commandSubscription);
    if (service->requestToken != 0) flowmesh_unregister_request_callbacks(service->requestToken);
    if (service->sessionToken != 0) {
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, service->sessionToken);
            flowmesh_core_release(core);
        }
    }
    if (service->stateToken != 0) flowmesh_unregister_state_callbacks(service->stateToken);
    if (service->profiles != nullptr) core_store_destroy(&service->profiles);
    if (service->sessions != nullptr) core_store_destroy(&service->sessions);
    if (service->executorMade) core_executor_destroy(&service->executorName);
    service->~EngineSendService();
    free(service);
}
