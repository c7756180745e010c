#include "engine/receive.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/topic.h"
#include "core/video.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/peer_streams.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/session.h"

namespace {

// Chunk sizes asked of the network library for a stream this node receives.
constexpr uint64_t kAudioChunk = 65536;
constexpr uint64_t kVideoChunk = 4194304;
// Rate-control words of the answer.
constexpr uint32_t kRateReliable = 4;  // audio or video on a reliable stream
constexpr uint32_t kRateAdaptive = 1;  // video on a media-rate stream
constexpr uint32_t kMinFrameRate[2] = {6, 1};
constexpr uint32_t kAudioFrameRate[2] = {50, 1};
constexpr uint32_t kDefaultVideoRate[2] = {60, 1};

bool same_key(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

EngineReceiveService *service_of(const uint64_t user[2])
{
    return reinterpret_cast<EngineReceiveService *>(static_cast<uintptr_t>(user[0]));
}

uint32_t read_u32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t read_u64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

void frame_free(EngineReceivedFrame *frame)
{
    if (frame == nullptr) return;
    free(frame->sample.data);
    free(frame);
}

// A frame with its own copy of the entry's data; NULL when memory is short.
EngineReceivedFrame *frame_make(const EngineFrameEntry &entry)
{
    void *block = nullptr;
    if (posix_memalign(&block, 64, sizeof(EngineReceivedFrame)) != 0) return nullptr;
    auto *frame = static_cast<EngineReceivedFrame *>(block);
    memset(frame, 0, sizeof(*frame));
    void *data = nullptr;
    // A zero-size frame still gets a block, so a sample's data is never NULL.
    if (posix_memalign(&data, 64, entry.size != 0 ? entry.size : 1) != 0) {
        free(frame);
        return nullptr;
    }
    if (entry.size != 0) memcpy(data, entry.data, entry.size);
    frame->sequence = entry.sequence;
    frame->link.key = &frame->sequence;
    frame->link.value = frame;
    frame->sample.pts = entry.pts;
    frame->sample.dts = entry.dts;
    frame->sample.duration = entry.duration;
    engine_frame_flags_from_wire(entry.frameFlags, &frame->sample.flags, &frame->sample.orientation);
    frame->sample.data = static_cast<uint8_t *>(data);
    frame->sample.size = entry.size;
    frame->sample.next = nullptr;
    return frame;
}

EngineReceivedFrame *frame_of(CoreTreeNode *node) { return static_cast<EngineReceivedFrame *>(node->value); }

// The live session entry of that name with a reader reference, or NULL.
EngineReceiveSession *find_session(EngineReceiveService *service, const CoreName &name)
{
    return reinterpret_cast<EngineReceiveSession *>(core_store_lookup(service->sessions, name.key));
}

// Whether this node opened the stream: then it is the send service's,
// not one the peer sends here, whatever its media bits say.
bool opened_here(const CoreName &session, const CoreName &stream)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return false;
    bool here = false;
    if (FlowmeshSession *s = flowmesh_session_find(core, &session)) {
        if (FlowmeshSessionStream *st = flowmesh_session_stream_find(s, &stream)) {
            here = (st->flags.load() & FLOWMESH_SSTREAM_OPENED_HERE) != 0;
            core_store_unref(s->streams);
        }
        core_store_unref(core->sessions);
    }
    flowmesh_core_release(core);
    return here;
}

void post_stream_event(uint32_t code, const EngineReceiveStream *stream)
{
    EngineReceiveStreamEvent event = {};
    event.channel = stream->binderChannel;
    event.peerNode = stream->peerNodeId;
    event.session = stream->sessionName;
    event.stream = stream->streamName;
    event.value = stream->openValue;
    engine_post_event(code, &event, sizeof(event));
}

void stream_opened(EngineReceiveService *service, EngineReceiveSession *session, const FlowmeshStreamStateEvent *e)
{
    const CoreName &stream_name = e->kind.stream_name;
    if (opened_here(e->session, stream_name)) return;
    EngineReceiveStreamArgs args = {};
    bool closed_binding = false;
    core_store_lock(service->sessions);
    closed_binding = !(session->flags & ENGINE_RECEIVE_ARMED) && same_key(e->owner, session->bindSequenceId);
    args.binderChannel = session->binderChannel;
    core_store_unlock(service->sessions);
    if (closed_binding) {
        // A stream of a binding whose close command came first: nobody
        // would play it.
        flowmesh_stream_close(&e->session, &stream_name);
        return;
    }
    args.service = service;
    args.peerNodeId = session->peerNodeId;
    args.sessionName = e->session;
    args.streamWord = e->kind.kind;
    args.mediaFlags = e->kind.class_word;
    args.streamName = stream_name;
    args.openValue = e->key_kind;
    CoreStoreItem *item = nullptr;
    const CoreResult r = core_store_insert(session->streams, &stream_name, &e->session, &args, &item, 1);
    if (r != CORE_OK && r != CORE_EXISTS) {
        flowmesh_stream_close(&e->session, &stream_name);
        return;
    }
    auto *stream = reinterpret_cast<EngineReceiveStream *>(item);
    engine_receiver_adopt_stream(stream->receiver, &e->instance);
    post_stream_event(ENGINE_EVT_RECEIVE_STREAM_OPENED, stream);
    core_store_unref(session->streams);
}

void stream_closed(EngineReceiveSession *session, const FlowmeshStreamStateEvent *e)
{
    const CoreName &stream_name = e->kind.stream_name;
    CoreStoreItem *item = core_store_lookup(session->streams, stream_name.key);
    if (item == nullptr) return;
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        flowmesh_session_close_stream(core, &e->session, &stream_name, FLOWMESH_CLOSE_HIDE);
        flowmesh_core_release(core);
    }
    core_store_remove(session->streams, stream_name.key);
    core_store_unref(session->streams);
}

// Removes every stream entry of the session (each fini posts its close).
void remove_streams(CoreStore *streams)
{
    for (CoreStoreItem *item = core_store_next(streams, nullptr, 1); item != nullptr;
         item = core_store_next(streams, item, 1)) {
        // Read under the lock: a close event may re-key it meanwhile.
        core_store_lock(streams);
        const CoreName key = item->key;
        core_store_unlock(streams);
        core_store_remove(streams, key.key);
    }
}

}  // namespace

// ---- wire form ----

int engine_sequence_compare(const void *a, const void *b)
{
    const uint64_t x = *static_cast<const uint64_t *>(a);
    const uint64_t y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

uint32_t engine_frame_flags_to_wire(uint32_t flags, uint32_t tag)
{
    uint32_t wire = flags & (RAVK_SAMPLE_DISCONT | RAVK_SAMPLE_PTS | 0x10u | 0x20u);
    if (flags & RAVK_SAMPLE_KEY) wire |= ENGINE_FRAME_KEY;
    if (flags & 0x4u) wire |= ENGINE_FRAME_CARRIED;
    if (tag >= 1 && tag <= 4) wire |= ENGINE_FRAME_TAGGED | (tag - 1) << ENGINE_FRAME_TAG_SHIFT;
    return wire;
}

void engine_frame_flags_from_wire(uint32_t wire, uint32_t *flags, uint32_t *tag)
{
    uint32_t f = wire & (ENGINE_FRAME_DISCONT | ENGINE_FRAME_PTS | 0x10u | 0x20u);
    if (wire & ENGINE_FRAME_KEY) f |= RAVK_SAMPLE_KEY;
    if (wire & ENGINE_FRAME_CARRIED) f |= 0x4u;
    if (flags != nullptr) *flags = f;
    if (tag != nullptr) *tag = (wire & ENGINE_FRAME_TAGGED) ? ((wire >> ENGINE_FRAME_TAG_SHIFT) & 3u) + 1 : 0;
}

CoreResult engine_frame_entry_read(const void *data, uint64_t length, uint64_t *offset, EngineFrameEntry *entry)
{
    if (offset == nullptr || entry == nullptr || (data == nullptr && length > 0)) return CORE_ERR;
    if (*offset >= length) return CORE_DONE;
    const uint64_t left = length - *offset;
    // Every field is read only once the bytes for it are known to be there.
    if (left < ENGINE_FRAME_ENTRY_HEAD) return CORE_ERR;
    const uint8_t *p = static_cast<const uint8_t *>(data) + *offset;
    const uint32_t record_length = read_u32(p);
    if (record_length < ENGINE_FRAME_ENTRY_HEAD || record_length > left) return CORE_ERR;
    entry->recordLength = record_length;
    entry->formatWord = read_u32(p + 4);
    entry->frameFlags = read_u32(p + 8);
    entry->sequence = read_u64(p + 12);
    entry->pts = static_cast<int64_t>(read_u64(p + 20));
    entry->dts = static_cast<int64_t>(read_u64(p + 28));
    entry->duration = static_cast<int64_t>(read_u64(p + 36));
    memcpy(entry->channelKey, p + 44, CORE_NAME_KEY_SIZE);
    entry->data = p + ENGINE_FRAME_ENTRY_HEAD;
    entry->size = record_length - ENGINE_FRAME_ENTRY_HEAD;
    *offset += record_length;
    return CORE_OK;
}

// ---- reassembly and delivery ----

void engine_receive_reorder_clear(EngineReceiveStream *stream)
{
    if (stream == nullptr || stream->reorder == nullptr) return;
    while (CoreTreeNode *node = core_tree_first(stream->reorder)) {
        core_tree_erase(stream->reorder, node);
        frame_free(frame_of(node));
    }
}

CoreResult engine_receive_deliver(EngineReceiveService *service, EngineReceiveStream *stream,
                                  const EngineFrameBatch *batch)
{
    CoreTree *tree = stream->reorder;
    // Late and duplicate frames are of no use any more.
    while (CoreTreeNode *node = core_tree_first(tree)) {
        if (stream->nextSequence == 0 || frame_of(node)->sequence >= stream->nextSequence) break;
        core_tree_erase(tree, node);
        frame_free(frame_of(node));
    }

    RavkSample *first = nullptr;
    RavkSample *last = nullptr;
    uint64_t total = 0;
    uint64_t taken = 0;
    for (CoreTreeNode *node = core_tree_first(tree); node != nullptr; node = core_tree_next(tree, node)) {
        EngineReceivedFrame *frame = frame_of(node);
        bool gap = false;
        if (stream->nextSequence == 0) {
            gap = true;  // the first frame of the stream
        } else if (frame->sequence != stream->nextSequence) {
            if (taken != 0 || tree->count < ENGINE_REORDER_SKIP_THRESHOLD) break;
            gap = true;  // waited long enough: the missing frames are given up
        }
        if (gap) frame->sample.flags |= RAVK_SAMPLE_DISCONT;
        frame->sample.next = nullptr;
        if (last != nullptr)
            last->next = &frame->sample;
        else
            first = &frame->sample;
        last = &frame->sample;
        total += frame->sample.size;
        stream->nextSequence = frame->sequence + 1;
        taken++;
    }
    if (taken == 0) return CORE_DONE;

    uint64_t length = total;
    const CoreResult result =
        core_notify(&service->controlService, ENGINE_CTL_PUSH_FRAMES, batch, sizeof(*batch), first, &length);
    // The handler has copied what it keeps; the chain is the first `taken`
    // frames of the tree.
    for (uint64_t i = 0; i < taken; ++i) {
        CoreTreeNode *node = core_tree_first(tree);
        core_tree_erase(tree, node);
        frame_free(frame_of(node));
    }
    return result;
}

CoreResult engine_receive_assemble(EngineReceiveService *service, EngineReceiveSession *session,
                                   EngineReceiveStream *stream, const void *data, uint64_t length)
{
    if (service == nullptr || session == nullptr || stream == nullptr || stream->reorder == nullptr) return CORE_ERR;
    EngineFrameBatch batch = {};
    if (stream->mediaFlags & 0x1u)
        batch.media = ENGINE_FRAME_MEDIA_AUDIO;
    else if (stream->mediaFlags & 0x2u)
        batch.media = ENGINE_FRAME_MEDIA_VIDEO;
    else
        return CORE_ERR;
    // The entries' own copies: their keys change when they are removed.
    batch.session = stream->sessionName;
    batch.stream = stream->streamName;

    uint64_t offset = 0;
    uint64_t counted = 0;
    bool first = true;
    for (;;) {
        EngineFrameEntry entry;
        const CoreResult read = engine_frame_entry_read(data, length, &offset, &entry);
        if (read == CORE_DONE) break;
        if (read != CORE_OK) {
            service->malformedMessages.fetch_add(1);
            core_log(CORE_LOG_WARN, "engine", "receive %s: unreadable frame message dropped at byte %llu",
                     stream->streamName.text, static_cast<unsigned long long>(offset));
            return CORE_ERR;
        }
        if (first) {
            // The later entries of a message carry the same channel.
            memcpy(batch.channel.key, entry.channelKey, CORE_NAME_KEY_SIZE);
            core_name_make(&batch.channel);
            first = false;
        }
        EngineReceivedFrame *frame = frame_make(entry);
        if (frame == nullptr) return CORE_ERR;
        if (core_tree_insert(stream->reorder, &frame->link) == nullptr) {
            frame_free(frame);  // that frame is waiting already
            continue;
        }
        const CoreResult delivered = engine_receive_deliver(service, stream, &batch);
        if (delivered < 0) return delivered;
        counted += entry.size;
    }
    const CoreResult result = engine_receive_deliver(service, stream, &batch);
    if (result >= 0) stream->bytesReceived.fetch_add(counted);
    return result;
}

int engine_receive_on_data(const CoreName *session_name, const CoreName *stream_name, const void *data,
                           uint64_t length, void *user)
{
    auto *service = static_cast<EngineReceiveService *>(user);
    if (service == nullptr || session_name == nullptr || stream_name == nullptr) return 0;
    EngineReceiveSession *session = find_session(service, *session_name);
    if (session == nullptr) return -1;
    auto *stream = reinterpret_cast<EngineReceiveStream *>(core_store_lookup(session->streams, stream_name->key));
    if (stream != nullptr) {
        engine_receive_assemble(service, session, stream, data, length);
        core_store_unref(session->streams);
    }
    core_store_unref(service->sessions);
    return 0;
}

int engine_receive_stats_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *,
                              void **user)
{
    auto *stream = static_cast<EngineReceiveStream *>(user[0]);
    EngineReceiveStatsEvent event = {};
    event.channel = stream->binderChannel;
    event.session = stream->sessionName;
    event.stream = stream->streamName;
    event.bits = stream->bytesReceived.exchange(0) * 8;
    engine_post_event(ENGINE_EVT_RECEIVE_STATS, &event, sizeof(event));
    core_executor_trigger(executor, task, ENGINE_RECEIVE_STATS_PERIOD_MS);
    return CORE_OK;
}

// ---- store items ----

int engine_receive_session_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *service = static_cast<EngineReceiveService *>(*user);
    auto *session = reinterpret_cast<EngineReceiveSession *>(item);
    if (arg != nullptr) session->peerNodeId = *static_cast<const CoreName *>(arg);
    session->flags = 0;
    CoreStoreConfig config = {};
    config.item_size = sizeof(EngineReceiveStream);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = engine_receive_stream_init;
    config.destroy = engine_receive_stream_fini;
    config.pool = core_name_of(CORE_DEFAULT_POOL);
    config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    config.user = service;
    session->streams = core_store_create(&config);
    return session->streams != nullptr ? 0 : -1;
}

void engine_receive_session_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *session = reinterpret_cast<EngineReceiveSession *>(item);
    if (session->streams != nullptr) core_store_destroy(&session->streams);
}

int engine_receive_stream_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *stream = reinterpret_cast<EngineReceiveStream *>(item);
    const auto *args = static_cast<const EngineReceiveStreamArgs *>(arg);
    if (args == nullptr || args->service == nullptr) return -1;
    EngineReceiveService *service = args->service;
    stream->service = service;
    stream->binderChannel = args->binderChannel;
    stream->peerNodeId = args->peerNodeId;
    stream->sessionName = args->sessionName;
    stream->streamWord = args->streamWord;
    stream->mediaFlags = args->mediaFlags;
    stream->streamName = args->streamName;
    stream->openValue = args->openValue;
    stream->nextSequence = 0;
    stream->bytesReceived.store(0);

    const CoreTreeConfig tree = {{}, engine_sequence_compare};
    stream->reorder = core_tree_create(&tree);
    if (stream->reorder == nullptr) return -1;

    EngineReceiverConfig rc = {};
    rc.onRecord = engine_receive_on_data;
    rc.user = service;
    rc.executor = service->executorName;
    rc.pool = service->poolName;
    rc.session = args->sessionName;
    rc.stream = args->streamName;
    stream->receiver = engine_receiver_create(&rc);

    if (stream->receiver != 0) {
        CoreTaskCallback callback = {engine_receive_stats_task, {stream, nullptr}};
        stream->statsTask = core_executor_schedule(&service->executorName, &stream->streamName, &stream->sessionName,
                                                   ENGINE_RECEIVE_STATS_PERIOD_MS, &callback);
    }
    if (stream->receiver == 0 || stream->statsTask == 0) {
        // Not waited for: this runs on a network thread, inside the walk
        // that the receiver's unregistration waits for.
        if (stream->receiver != 0) core_handle_release(core_handle_tables[CORE_HANDLES_STREAMS], stream->receiver);
        stream->receiver = 0;
        core_tree_destroy(&stream->reorder);
        return -1;
    }
    stream->live = 1;
    return 0;
}

void engine_receive_stream_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *stream = reinterpret_cast<EngineReceiveStream *>(item);
    if (!stream->live) return;
    stream->live = 0;
    flowmesh_stream_close(&stream->sessionName, &stream->streamName);
    core_executor_cancel_named(&stream->service->executorName, stream->statsTask, 1);
    stream->statsTask = 0;
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_STREAMS];
    core_handle_release(table, stream->receiver);
    core_handle_wait_freed(table, stream->receiver);
    stream->receiver = 0;
    engine_receive_reorder_clear(stream);
    core_tree_destroy(&stream->reorder);
    post_stream_event(ENGINE_EVT_RECEIVE_STREAM_CLOSED, stream);
}

// ---- network callbacks ----

int engine_receive_on_session(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshSessionEvent *>(record);
    EngineReceiveService *service = service_of(e->user);
    if (service == nullptr || e->zero != 0 || e->info == nullptr) return 0;
    if (e->info->state == FLOWMESH_SESSION_UP) {
        CoreStoreItem *item = nullptr;
        const CoreResult r = core_store_insert(service->sessions, &e->session, nullptr,
                                               const_cast<CoreName *>(&e->peer_node), &item, 0);
        if (r != CORE_OK && r != CORE_EXISTS)
            core_log(CORE_LOG_WARN, "engine", "receive: no entry for session %s (%d)", e->session.text, r);
    } else if (e->info->state == FLOWMESH_SESSION_DOWN) {
        // A fresh key frees the name at once: the same peer may be back
        // before the old entry's streams have been torn down.
        core_store_remove(service->sessions, e->session.key);
    }
    return 0;
}

int engine_receive_on_stream_state(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
    EngineReceiveService *service = service_of(e->user);
    if (service == nullptr) return 0;
    const bool media = (e->kind.class_word & 0x3u) != 0;
    if (!(e->state == FLOWMESH_STREAM_OPENED && media) && e->state != FLOWMESH_STREAM_CLOSED) return 0;
    EngineReceiveSession *session = find_session(service, e->session);
    if (session == nullptr) return 0;
    if (e->state == FLOWMESH_STREAM_OPENED)
        stream_opened(service, session, e);
    else
        stream_closed(session, e);
    core_store_unref(service->sessions);
    return 0;
}

int engine_receive_on_stream_request(void *record, FlowmeshStreamAnswer *answer)
{
    auto *request = static_cast<FlowmeshStreamRequest *>(record);
    EngineReceiveService *service = service_of(request->user);
    if (service == nullptr || answer == nullptr) return 0;
    EngineReceiveSession *session = find_session(service, request->session);
    if (session == nullptr) return -1;
    core_store_lock(service->sessions);
    const CoreName bind_sequence = session->bindSequenceId;
    core_store_unlock(service->sessions);
    core_store_unref(service->sessions);

    const uint32_t media = request->kind.class_word;
    if (media & 0x1u) {
        answer->receive_buffer = kAudioChunk;
        if (service->audioSinkParam == 3) answer->flags = kRateReliable;
        answer->owner_name = bind_sequence;
        memcpy(answer->frame_rate, kMinFrameRate, sizeof(kMinFrameRate));
        memcpy(answer->second_frame_rate, kAudioFrameRate, sizeof(kAudioFrameRate));
    }
    // After the audio values, so that a stream with both bits gets these.
    if (media & 0x2u) {
        answer->receive_buffer = kVideoChunk;
        if (service->videoSinkParam == 3)
            answer->flags = kRateReliable;
        else if (service->videoSinkParam == 2)
            answer->flags = kRateAdaptive;
        answer->owner_name = bind_sequence;
        memcpy(answer->frame_rate, kMinFrameRate, sizeof(kMinFrameRate));
        CoreVideoMode mode = {};
        uint64_t mode_length = sizeof(mode);
        if (core_notify(&service->controlService, ENGINE_CTL_GET_VIDEO_MODE, nullptr, 0, &mode, &mode_length) ==
            CORE_OK) {
            answer->second_frame_rate[0] = mode.rate_num;
            answer->second_frame_rate[1] = mode.rate_den;
        } else {
            memcpy(answer->second_frame_rate, kDefaultVideoRate, sizeof(kDefaultVideoRate));
        }
    }
    return (media & 0x3u) != 0 ? 1 : 0;
}

// ---- commands ----

CoreResult engine_receive_on_command(const CoreQueueEntry *message, void **user)
{
    auto *service = static_cast<EngineReceiveService *>(user[0]);
    if (service == nullptr || message == nullptr) return CORE_OK;
    if (message->type != ENGINE_CMD_RECEIVE_OPEN && message->type != ENGINE_CMD_RECEIVE_CLOSE) return CORE_OK;
    if (message->data == nullptr || message->length < sizeof(EngineReceiveRecord)) {
        core_log(CORE_LOG_WARN, "engine", "receive: command 0x%X with %llu bytes ignored", message->type,
                 static_cast<unsigned long long>(message->length));
        return CORE_OK;
    }
    EngineReceiveRecord record;
    memcpy(&record, message->data, sizeof(record));
    for (CoreStoreItem *item = core_store_next(service->sessions, nullptr, 1); item != nullptr;
         item = core_store_next(service->sessions, item, 1)) {
        auto *session = reinterpret_cast<EngineReceiveSession *>(item);
        if (!same_key(session->peerNodeId, record.peerNode)) continue;
        if (message->type == ENGINE_CMD_RECEIVE_OPEN) {
            core_store_lock(service->sessions);
            session->binderChannel = record.channel;
            session->bindSequenceId = record.bindSequence;
            session->flags |= ENGINE_RECEIVE_ARMED;
            core_store_unlock(service->sessions);
            continue;
        }
        core_store_lock(service->sessions);
        const bool ours = same_key(session->binderChannel, record.channel);
        core_store_unlock(service->sessions);
        if (!ours) continue;
        remove_streams(session->streams);
        core_store_lock(service->sessions);
        memset(&session->binderChannel, 0, sizeof(session->binderChannel));
        session->flags &= ~ENGINE_RECEIVE_ARMED;
        core_store_unlock(service->sessions);
    }
    return CORE_OK;
}

// ---- the service ----

EngineReceiveService *engine_receive_service_create(uint32_t audioSinkParam, uint32_t videoSinkParam)
{
    void *block = nullptr;
    if (posix_memalign(&block, 64, sizeof(EngineReceiveService)) != 0) return nullptr;
    memset(block, 0, sizeof(EngineReceiveService));
    auto *service = new (block) EngineReceiveService();
    service->audioSinkParam = audioSinkParam;
    service->videoSinkParam = videoSinkParam;
    service->controlService = core_name_of(ENGINE_CONTROL_SERVICE);
    service->commandTopic = core_name_of(ENGINE_COMMAND_TOPIC);
    service->executorName = core_name_of(ENGINE_RECEIVE_EXECUTOR);
    service->poolName = core_name_of(ENGINE_RECEIVE_POOL);

    bool ok = core_executor_create(&service->executorName) == 0;
    service->executorMade = ok;
    if (ok) {
        CoreExecutor *executor = core_executor_find(&service->executorName);
        ok = executor != nullptr && core_executor_worker_count(executor) >= 1;
        if (executor != nullptr) core_executor_release(executor);
    }
    if (ok) {
        const CorePoolConfig pc = {0, 32, 0};
        service->pool = core_pool_create(&pc);
        ok = service->pool != nullptr && core_pool_register(&service->poolName, service->pool) == CORE_OK;
        service->poolRegistered = ok;
    }
    if (ok) {
        CoreStoreConfig config = {};
        config.item_size = sizeof(EngineReceiveSession);
        config.key_kind = CORE_KEY_EXPLICIT;
        config.create = engine_receive_session_init;
        config.destroy = engine_receive_session_fini;
        config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        config.flags = CORE_STORE_TREE;
        config.user = service;
        service->sessions = core_store_create(&config);
        ok = service->sessions != nullptr;
    }
    if (ok) {
        const uint64_t self = reinterpret_cast<uintptr_t>(service);
        const FlowmeshCallbacks request = {engine_receive_on_stream_request, {self, 0}};
        service->requestToken = flowmesh_register_request_callbacks(&request);
        const FlowmeshCallbacks state = {engine_receive_on_stream_state, {self, 0}};
        service->stateToken = flowmesh_register_state_callbacks(&state);
        const FlowmeshCallbacks session = {engine_receive_on_session, {self, 0}};
        service->sessionToken = flowmesh_register_session_callbacks(&session);
        ok = service->requestToken != 0 && service->stateToken != 0 && service->sessionToken != 0;
    }
    if (ok) {
        const CoreTopicSubscription subscription = {engine_receive_on_command, {service, nullptr}};
        service->commandSubscription = core_topic_subscribe(&service->commandTopic, &subscription);
        ok = service->commandSubscription != 0;
    }
    if (!ok) engine_receive_service_destroy(&service);
    return service;
}

void engine_receive_service_destroy(EngineReceiveService **pointer)
{
    if (pointer == nullptr || *pointer == nullptr) return;
    EngineReceiveService *service = *pointer;
    *pointer = nullptr;
    if (service->commandSubscription != 0) core_topic_unsubscribe(&service->commandTopic, service->commandSubscription);
    if (service->requestToken != 0) flowmesh_unregister_request_callbacks(service->requestToken);
    if (service->stateToken != 0) flowmesh_unregister_state_callbacks(service->stateToken);
    if (service->sessionToken != 0) {
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, service->sessionToken);
            flowmesh_core_release(core);
        }
    }
    if (service->sessions != nullptr) core_store_destroy(&service->sessions);
    if (service->poolRegistered) core_pool_unregister(&service->poolName);
    if (service->pool != nullptr) core_pool_destroy(&service->pool);
    if (service->executorMade) core_executor_destroy(&service->executorName);
    service->~EngineReceiveService();
    free(service);
}
