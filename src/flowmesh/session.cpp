// Sessions, their streams, the session pipes and the control messages.
#include "flowmesh/session.h"

#include <openssl/crypto.h>

#include <cstring>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/store.h"
#include "flowmesh/access.h"
#include "flowmesh/control.h"
#include "flowmesh/core.h"
#include "flowmesh/engine.h"
#include "flowmesh/media.h"
#include "flowmesh/paced.h"
#include "flowmesh/peer.h"
#include "flowmesh/reliable.h"
#include "flowmesh/service.h"
#include "flowmesh/streams.h"

namespace {

const char kModule[] = "flowmesh";

constexpr uint64_t kStreamDataPool = 0x400000;  // the stream-data pipe's private pool
constexpr uint64_t kServiceBuffer = 0x8000;
constexpr uint64_t kServiceSendBuffer = 0x10000;
constexpr uint64_t kServiceReceiveBuffer = 8192;

std::atomic<FlowmeshTransportSendFn> g_send_fn{nullptr};

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

// A core by its handle, for callbacks that outlive no core: NULL once the
// core's teardown has begun.
FlowmeshCore *acquire_core(uint64_t handle)
{
    CoreHandleTable *table = network_table();
    if (handle == 0 || table == nullptr) return nullptr;
    auto *core = static_cast<FlowmeshCore *>(core_handle_acquire(table, handle));
    if (core != nullptr && !(core->flags.load() & FLOWMESH_CORE_READY)) {
        core_handle_release(table, handle);
        return nullptr;
    }
    return core;
}
void release_core(FlowmeshCore *core) { core_handle_release(network_table(), core->handle); }

FlowmeshStreamManager *acquire_manager(uint64_t handle)
{
    return handle == 0 ? nullptr : static_cast<FlowmeshStreamManager *>(core_handle_acquire(network_table(), handle));
}
void release_manager(uint64_t handle) { core_handle_release(network_table(), handle); }

bool test_and_set(std::atomic<uint32_t> &flags, uint32_t bit) { return (flags.fetch_or(bit) & bit) == 0; }

bool is_service_name(const CoreName *name)
{
    CoreName service;
    core_name_format(&service, "%s", FLOWMESH_SERVICE_STREAM);
    return memcmp(name->key, service.key, CORE_NAME_KEY_SIZE) == 0;
}

uint32_t flag_set_of(uint32_t kind) { return flowmesh_control_flag_set(kind & 0xFF); }

// Marks a store item deleted under the key it has now (hidden items have a
// random one).
void mark_deleted(CoreStore *store, CoreStoreItem *item)
{
    CoreName key;
    core_store_lock(store);
    key = item->key;
    core_store_unlock(store);
    core_store_remove_keep_key(store, key.key);
}

// Gives the item a fresh random key: lookups by name stop finding it.
void hide(CoreStore *store, FlowmeshSessionStream *stream)
{
    if (test_and_set(stream->flags, FLOWMESH_SSTREAM_HIDDEN)) core_store_rekey(store, &stream->header);
}

// ---- events ----

void post_session_event(FlowmeshCore *core, FlowmeshSession *s, uint32_t state)
{
    FlowmeshSessionInfo info = {};
    CoreName node;
    {
        std::lock_guard<std::mutex> guard(s->facts_lock);
        info.peer_value = s->peer_value;
        info.peer_stamp = s->peer_stamp;
        info.local_stamp = s->local_stamp;
        info.peer_mode = s->peer_mode;
        node = s->peer_node;
    }
    info.state = state;
    info.key_role = s->key_role;
    info.peer_address = s->peer_address;
    info.peer_port = s->peer_port;
    flowmesh_post_session_event(core->events, &s->name, &s->peer, &node, &info);
}

// The down event, once per up event.
void post_down(FlowmeshCore *core, FlowmeshSession *s)
{
    if (s->flags.fetch_and(~FLOWMESH_SESSION_UP_POSTED) & FLOWMESH_SESSION_UP_POSTED)
        post_session_event(core, s, FLOWMESH_SESSION_DOWN);
}

void post_stream_state(FlowmeshCore *core, FlowmeshSession *s, FlowmeshSessionStream *stream, uint32_t state)
{
    flowmesh_post_stream_state(core->events, &s->name, &stream->instance, &stream->params.owner_name,
                               &stream->params.kind, stream->peer_key_kind.load() & 3, state);
}

void post_closed_once(FlowmeshCore *core, FlowmeshSession *s, FlowmeshSessionStream *stream)
{
    if ((stream->flags.load() & FLOWMESH_SSTREAM_OPENED) && test_and_set(stream->flags, FLOWMESH_SSTREAM_CLOSED))
        post_stream_state(core, s, stream, FLOWMESH_STREAM_CLOSED);
}

// ---- stream entries ----

struct StreamInit {
    const FlowmeshStreamParams *params;
    const FlowmeshKeyBlob *own_key;
    const FlowmeshKeyBlob *peer_key;
    const CoreName *instance;
    bool service;
};

int stream_create(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *session = static_cast<FlowmeshSession *>(*user);
    const auto *init = static_cast<const StreamInit *>(arg);
    auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
    const CoreStoreItem saved = *item;
    new (stream) FlowmeshSessionStream();
    *item = saved;
    stream->params = *init->params;
    stream->own_key = *init->own_key;
    stream->peer_key = *init->peer_key;
    stream->peer_key_kind.store(init->peer_key->kind);
    stream->instance = *init->instance;
    FlowmeshStreamManager *manager = acquire_manager(session->manager);
    if (manager == nullptr) return 1;
    const uint64_t value = init->params->id_value;
    const CoreResult r =
        flowmesh_stream_entry_create(manager, static_cast<uint8_t>(init->params->kind.kind), &value, &stream->stream_id,
                                     init->service ? FLOWMESH_STREAM_TABLE_SERVICE : FLOWMESH_STREAM_TABLE_STREAMS);
    release_manager(session->manager);
    if (r != CORE_OK) return 1;
    // Set only with an id: the destructor gives back what was taken.
    stream->manager = session->manager;
    return 0;
}

void stream_destroy(CoreStore *, CoreStoreItem *item, void **user)
{
    auto *session = static_cast<FlowmeshSession *>(*user);
    auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
    // A refused creation never got an id (and never opened).
    if (stream->manager != 0) {
        if (FlowmeshCore *core = acquire_core(session->core)) {
            post_closed_once(core, session, stream);
            release_core(core);
        }
        if (FlowmeshStreamManager *manager = acquire_manager(stream->manager)) {
            if (flowmesh_stream_find(manager, stream->stream_id, 0) != nullptr) {
                flowmesh_stream_release(manager, stream->stream_id);
                flowmesh_stream_remove(manager, stream->stream_id);
            }
            release_manager(stream->manager);
        }
    }
    OPENSSL_cleanse(&stream->own_key, sizeof(stream->own_key));
    OPENSSL_cleanse(&stream->peer_key, sizeof(stream->peer_key));
    stream->~FlowmeshSessionStream();
}

// Finds a live stream of the session by local id, with a reader reference.
FlowmeshSessionStream *stream_by_id(FlowmeshSession *s, uint16_t id)
{
    for (CoreStoreItem *item = core_store_next(s->streams, nullptr, 1); item != nullptr;
         item = core_store_next(s->streams, item, 1)) {
        auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
        if (stream->stream_id == id) return stream;  // the walk's reference stays with the caller
    }
    return nullptr;
}

// The transport handle and kind of a stream id, or 0.
uint64_t transport_of(uint64_t manager_handle, uint16_t id, uint8_t *kind)
{
    FlowmeshStreamManager *manager = acquire_manager(manager_handle);
    if (manager == nullptr) return 0;
    uint64_t transport = 0;
    if (FlowmeshStreamEntry *entry = flowmesh_stream_find(manager, id, 1)) {
        transport = entry->transport.load();
        *kind = entry->kind;
        // Keep the transport alive past the entry's reference.
        if (core_handle_acquire(network_table(), transport) == nullptr) transport = 0;
        flowmesh_stream_release(manager, id);
    }
    release_manager(manager_handle);
    return transport;
}

// ---- sessions ----

// Sessions and streams are both found by name and reclaimed on the service
// executor.
CoreStore *make_named_store(uint64_t item_size, CoreStoreCreateFn create, CoreStoreDestroyFn destroy, void *user)
{
    CoreStoreConfig sc = {};
    sc.item_size = item_size;
    sc.key_kind = CORE_KEY_EXPLICIT;
    sc.create = create;
    sc.destroy = destroy;
    core_name_format(&sc.executor, "%s", FLOWMESH_SERVICE_EXECUTOR);
    sc.flags = CORE_STORE_TREE;
    sc.user = user;
    return core_store_create(&sc);
}

struct SessionInit {
    const FlowmeshPeerReadyRecord *record;
    const CoreName *reporter;
    uint32_t key_role;
    FlowmeshCore *core;
};

int tlv_message_handler(CoreQueueEntry *entry, void **user);
int writer_handler(CoreQueueEntry *entry, void **user);
int transport_event(uint16_t id, uint32_t code, const CoreName *, const CoreName *session, const void *data,
                    uint64_t length, void *context);
int transport_data(uint16_t id, const CoreName *session, const void *data, uint64_t length, void *context);

int send_through_engine(uint16_t peer_id, const CoreQueueEntry *records, uint64_t count, void *context)
{
    FlowmeshTransportSendFn fn = g_send_fn.load();
    return fn != nullptr ? fn(peer_id, records, count, context) : flowmesh_engine_send(peer_id, records, count, context);
}

int session_create(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    const auto *init = static_cast<const SessionInit *>(arg);
    FlowmeshCore *core = init->core;
    auto *s = reinterpret_cast<FlowmeshSession *>(item);
    const CoreStoreItem saved = *item;
    new (s) FlowmeshSession();
    *item = saved;
    const FlowmeshPeerRecord &peer = init->record->peer;
    s->name = peer.identity;
    s->peer = peer.user_id;
    s->reporter = *init->reporter;
    s->peer_address = peer.address;
    s->peer_port = peer.port;
    // The engine reports no second endpoint of its own; the data address
    // is where this peer is reached.
    s->endpoint_address = peer.address;
    s->endpoint_port = peer.port;
    s->key_role = init->key_role;
    s->core = core->handle;
    s->session_key = init->record->key;
    s->peer_mode = 1;
    s->created_ms = core_clock_mono_ms();

    if (peer.address != 0 || peer.port != 0) {
        FlowmeshStreamManagerConfig mc = {};
        mc.session = s->name;
        mc.origin = s->reporter;
        mc.peer_address = s->peer_address;
        mc.peer_port = s->peer_port;
        mc.session_key = s->session_key;
        mc.event_fn = transport_event;
        mc.data_fn = transport_data;
        mc.send_fn = send_through_engine;
        memcpy(mc.event_context, &core->handle, sizeof(core->handle));
        memcpy(mc.data_context, &core->handle, sizeof(core->handle));
        FlowmeshEngineContext ec = {network_table(), core->engine.load()};
        memcpy(mc.send_context, &ec, sizeof(ec));
        s->manager = flowmesh_stream_manager_create(&mc);
        if (s->manager == 0) return 1;
    }

    CoreChannelConfig wc = {};
    core_name_format(&wc.executor, "%s", FLOWMESH_SERVICE_EXECUTOR);
    core_name_format(&wc.pool, "%s", FLOWMESH_SERVICE_POOL);
    wc.fn = writer_handler;
    wc.user[0] = core;
    s->writer = core_channel_create(&wc);
    FlowmeshTlvChannelConfig rc = {};
    core_name_format(&rc.executor, "%s", FLOWMESH_SERVICE_EXECUTOR);
    core_name_format(&rc.pool, "%s", FLOWMESH_SERVICE_POOL);
    rc.callback = tlv_message_handler;
    rc.user[0] = core;
    s->reader = flowmesh_channel_create(&rc);
    s->streams = make_named_store(sizeof(FlowmeshSessionStream), stream_create, stream_destroy, s);
    return s->writer != nullptr && s->reader != nullptr && s->streams != nullptr ? 0 : 1;
}

// The engine's session hooks, where the engine in force has them.
void tell_engine_drop(FlowmeshCore *core, const FlowmeshSession *s)
{
    const FlowmeshEngineOps *ops = flowmesh_core_engine_ops();
    const uint64_t engine = core->engine.load();
    if (engine != 0 && ops->drop_peer != nullptr) ops->drop_peer(engine, s->name.key);
}

void session_destroy(CoreStore *, CoreStoreItem *item, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(*user);
    auto *s = reinterpret_cast<FlowmeshSession *>(item);
    if (s->core != 0) {
        // The engine forgets the peer, so a later meeting starts afresh.
        tell_engine_drop(core, s);
        // Streams go first: their closed events come before the down event.
        if (s->streams != nullptr) core_store_destroy(&s->streams);
        post_down(core, s);
    }
    if (s->manager != 0) release_manager(s->manager);
    core_channel_destroy(&s->writer);
    flowmesh_channel_destroy(&s->reader);
    OPENSSL_cleanse(&s->session_key, sizeof(s->session_key));
    s->~FlowmeshSession();
}

void mark_session_deleted(FlowmeshCore *core, FlowmeshSession *s) { mark_deleted(core->sessions, &s->header); }

// The service stream of a new session, and its transport at once: the side
// that made the session key connects, the other accepts.
CoreResult open_service_stream(FlowmeshCore *core, FlowmeshSession *s)
{
    FlowmeshStreamParams p = {};
    p.send_buffer = kServiceBuffer;
    p.receive_buffer = kServiceBuffer;
    p.kind.kind = FLOWMESH_STREAM_RELIABLE;
    core_name_format(&p.kind.stream_name, "%s", FLOWMESH_SERVICE_STREAM);
    CoreName instance;
    flowmesh_core_instance_name(core, &instance);
    StreamInit init = {&p, &s->session_key, &s->session_key, &instance, true};
    CoreStoreItem *item = nullptr;
    if (core_store_insert(s->streams, &p.kind.stream_name, &s->name, &init, &item, 0) != CORE_OK) return CORE_ERR;
    const uint16_t id = reinterpret_cast<FlowmeshSessionStream *>(item)->stream_id;
    FlowmeshStreamManager *manager = acquire_manager(s->manager);
    if (manager == nullptr) return CORE_ERR;
    FlowmeshStreamConnect c = {};
    c.send_buffer = kServiceSendBuffer;
    c.receive_buffer = kServiceReceiveBuffer;
    c.local_id = id;
    c.peer_id = id;
    c.local_flags = static_cast<uint16_t>(flowmesh_control_flag_set(FLOWMESH_STREAM_RELIABLE));
    c.stream_key = &s->session_key;
    c.table = FLOWMESH_STREAM_TABLE_SERVICE;
    const CoreResult r = s->key_role == 0 ? flowmesh_stream_connect(manager, &c) : flowmesh_stream_accept(manager, &c);
    release_manager(s->manager);
    return r < 0 ? r : CORE_OK;
}

// ---- pipe helpers ----

CorePipe *make_pipe(FlowmeshCore *core, CorePipeFn fn, const char *pool, uint64_t size)
{
    CorePipeConfig config = {};
    if (pool != nullptr) core_name_format(&config.pool, "%s", pool);
    config.pool_size = size;
    config.fn = fn;
    config.user[0] = core;
    return core_pipe_create(&config);
}

int post_copy(CorePipe *pipe, const CoreName *name, uint32_t type, uint32_t flags, const void *data, uint64_t length)
{
    if (pipe == nullptr || (length != 0 && data == nullptr)) return -1;
    CoreIoVec vec = {length, data};
    return core_queue_post(pipe->queue, name, type, flags, &vec, length != 0 ? 1 : 0);
}

// ---- transport callbacks ----

int transport_event(uint16_t id, uint32_t code, const CoreName *, const CoreName *session, const void *data,
                    uint64_t length, void *context)
{
    uint64_t handle;
    memcpy(&handle, context, sizeof(handle));
    FlowmeshCore *core = acquire_core(handle);
    if (core == nullptr) return -1;
    const int r = post_copy(core->pipes[FLOWMESH_PIPE_TRANSPORT], session, id, code, data, length);
    release_core(core);
    return r;
}

int transport_data(uint16_t id, const CoreName *session, const void *data, uint64_t length, void *context)
{
    uint64_t handle;
    memcpy(&handle, context, sizeof(handle));
    FlowmeshCore *core = acquire_core(handle);
    if (core == nullptr) return -1;
    const int r = post_copy(core->pipes[FLOWMESH_PIPE_STREAM_DATA], session, id, 0, data, length);
    release_core(core);
    return r;
}

// Whether the stream-data pipe still holds data of this stream.
bool data_pending(FlowmeshCore *core, const CoreName *session, uint16_t id)
{
    CoreQueue *queue = core->pipes[FLOWMESH_PIPE_STREAM_DATA]->queue;
    uint64_t count = core_queue_count(queue);
    if (count == 0) return false;
    std::vector<CoreQueueEntry> entries(count);
    if (!core_queue_peek(queue, entries.data(), &count)) return false;
    for (uint64_t i = 0; i < count; ++i)
        if (entries[i].type == id && memcmp(entries[i].name.key, session->key, CORE_NAME_KEY_SIZE) == 0) return true;
    return false;
}

uint64_t read_u64(const CoreQueueEntry *entry)
{
    uint64_t v = 0;
    if (entry->data != nullptr && entry->length >= sizeof(v)) memcpy(&v, entry->data, sizeof(v));
    return v;
}

int transport_report_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    FlowmeshSession *s = flowmesh_session_find(core, &entry->name);
    if (s == nullptr) return CORE_OK;
    const uint16_t id = static_cast<uint16_t>(entry->type);
    const uint32_t code = entry->flags;
    int result = CORE_OK;
    if (id == 0 && code == FLOWMESH_TRANSPORT_OPEN) {
        s->service_open_ms.store(core_clock_mono_ms());
        flowmesh_session_hello(core, s);
    } else if (id == 0 && code == FLOWMESH_TRANSPORT_CLOSING) {
        for (CoreStoreItem *item = core_store_next(s->streams, nullptr, 1); item != nullptr;
             item = core_store_next(s->streams, item, 1))
            post_closed_once(core, s, reinterpret_cast<FlowmeshSessionStream *>(item));
        post_down(core, s);
    } else if (id == 0 && (code == FLOWMESH_TRANSPORT_CLOSED || code == FLOWMESH_TRANSPORT_FAILED)) {
        mark_session_deleted(core, s);
    } else if (id == 0 && code == FLOWMESH_TRANSPORT_DRAINED && (s->flags.load() & FLOWMESH_SESSION_CLOSING)) {
        // The close message this node sent has arrived.
        mark_session_deleted(core, s);
    } else if (FlowmeshSessionStream *stream = stream_by_id(s, id)) {
        switch (code) {
        case FLOWMESH_TRANSPORT_QUALITY: {
            FlowmeshTransportEvent event = {};
            event.session = s->name;
            event.instance = stream->instance;
            event.owner = stream->params.owner_name;
            event.stream = stream->params.kind.stream_name;
            if (entry->data != nullptr && entry->length >= 16) {
                memcpy(&event.quality, entry->data, sizeof(event.quality));
                memcpy(&event.bitrate, static_cast<const uint8_t *>(entry->data) + 8, sizeof(event.bitrate));
            }
            flowmesh_fan_transport(core->events, &event);
            break;
        }
        case FLOWMESH_TRANSPORT_ACKED:
        case FLOWMESH_TRANSPORT_DELIVERED: {
            (code == FLOWMESH_TRANSPORT_ACKED ? stream->acknowledged : stream->delivered).fetch_add(read_u64(entry));
            flowmesh_post_stream_stats(core->events, &s->name, &stream->instance, &stream->params.owner_name,
                                       &stream->params.kind.stream_name, stream->acknowledged.load(),
                                       stream->delivered.load());
            break;
        }
        case FLOWMESH_TRANSPORT_DRAINED:
            hide(s->streams, stream);
            if ((stream->flags.load() & FLOWMESH_SSTREAM_OPENED) && test_and_set(stream->flags, FLOWMESH_SSTREAM_ENDED))
                post_stream_state(core, s, stream, FLOWMESH_STREAM_ENDED);
            break;
        case FLOWMESH_TRANSPORT_OPEN:
            if (test_and_set(stream->flags, FLOWMESH_SSTREAM_OPENED)) post_stream_state(core, s, stream, FLOWMESH_STREAM_OPENED);
            break;
        case FLOWMESH_TRANSPORT_CLOSING:
            // Received data goes to the engine before the stream is reported
            // closed.
            if (data_pending(core, &s->name, id)) {
                result = CORE_AGAIN;
                break;
            }
            hide(s->streams, stream);
            post_closed_once(core, s, stream);
            break;
        case FLOWMESH_TRANSPORT_CLOSED:
        case FLOWMESH_TRANSPORT_FAILED:
            hide(s->streams, stream);
            mark_deleted(s->streams, &stream->header);
            break;
        default: break;
        }
        core_store_unref(s->streams);
    }
    core_store_unref(core->sessions);
    return result;
}

// ---- stream data ----

int stream_data_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    if (entry->type == 0) {
        // The service stream's bytes go to the session's reader; a full
        // service pipe holds this one back rather than lose control data.
        CoreIoVec vec = {entry->length, entry->data};
        return core_queue_post(core->pipes[FLOWMESH_PIPE_SERVICE_DATA]->queue, &entry->name, 0, 0, &vec,
                               entry->length != 0 ? 1 : 0) == 0
                   ? CORE_OK
                   : CORE_AGAIN;
    }
    FlowmeshSession *s = flowmesh_session_find(core, &entry->name);
    if (s == nullptr) return CORE_OK;
    if (FlowmeshSessionStream *stream = stream_by_id(s, static_cast<uint16_t>(entry->type))) {
        FlowmeshStreamEvent event = {};
        event.session = s->name;
        event.instance = stream->instance;
        event.owner = stream->params.owner_name;
        event.stream = stream->params.kind.stream_name;
        event.data = entry->data;
        event.length = entry->length;
        flowmesh_fan_stream_data(core->events, &event);
        core_store_unref(s->streams);
    }
    core_store_unref(core->sessions);
    return CORE_OK;
}

int service_data_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    FlowmeshSession *s = flowmesh_session_find(core, &entry->name);
    if (s == nullptr) return CORE_OK;
    if (flowmesh_tlv_reader_feed(s->reader, entry) != CORE_OK) {
        core_log(CORE_LOG_WARN, kModule, "a session sent unreadable control data; it is dropped");
        mark_session_deleted(core, s);
    } else {
        // Decoded records wait in the same pool as undecoded bytes: when
        // it runs low the reader's consumer drains before it is starved.
        CorePool *pool = core->pools[FLOWMESH_POOL_SERVICE];
        bool low = false;
        if (pool != nullptr && pool->size != 0) {
            CoreLockGuard guard(&pool->lock);
            low = pool->size - pool->in_use < pool->size / 8;
        }
        if (low) core_queue_wake(s->reader->queue);
    }
    core_store_unref(core->sessions);
    return CORE_OK;
}

// ---- peer reports ----

int peer_report_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    if (entry->type == FLOWMESH_PEER_GONE) {
        FlowmeshSessionInfo info = {};
        info.state = FLOWMESH_SESSION_UNREACHABLE;
        if (entry->data != nullptr && entry->length >= 6) {
            memcpy(&info.peer_address, entry->data, 4);
            memcpy(&info.peer_port, static_cast<const uint8_t *>(entry->data) + 4, 2);
        }
        CoreName empty = {};
        flowmesh_post_session_event(core->events, &empty, &empty, &empty, &info);
        return CORE_OK;
    }
    if (entry->type != FLOWMESH_PEER_READY || entry->data == nullptr ||
        entry->length < sizeof(FlowmeshPeerReadyRecord))
        return CORE_OK;
    FlowmeshPeerReadyRecord record;
    memcpy(&record, entry->data, sizeof(record));
    SessionInit init = {&record, &entry->name, entry->flags != 0 ? 1u : 0u, core};
    CoreStoreItem *item = nullptr;
    CoreResult r;
    {
        CoreLockGuard guard(&core->session_lock);
        if (core->state.load() != FLOWMESH_NETWORK_STARTED) {
            OPENSSL_cleanse(&record, sizeof(record));
            return CORE_OK;
        }
        r = core_store_insert(core->sessions, &record.peer.identity, &record.peer.identity, &init, &item, 1);
    }
    OPENSSL_cleanse(&record, sizeof(record));
    // The previous session of this peer is still being freed: the new one
    // waits for its name rather than being lost.
    if (r == CORE_ERR_DELETING) return CORE_AGAIN;
    if (r != CORE_OK) {
        if (r == CORE_EXISTS) core_store_unref(core->sessions);
        return CORE_OK;
    }
    auto *s = reinterpret_cast<FlowmeshSession *>(item);
    if (s->manager == 0 || open_service_stream(core, s) != CORE_OK) {
        core_log(CORE_LOG_WARN, kModule, "a session's service stream cannot be made; the session is dropped");
        mark_session_deleted(core, s);
    }
    core_store_unref(core->sessions);
    return CORE_OK;
}

// ---- control messages ----

CoreResult send_control(FlowmeshSession *s, FlowmeshControlMessage *m)
{
    m->sequence = s->message_counter.fetch_add(1) + 1;
    return flowmesh_control_send(s->writer, &s->name, m);
}

// The code of an encoded control message: the value of its second item.
uint32_t control_code_of(const CoreQueueEntry *entry)
{
    constexpr uint64_t kCodeAt = 14;
    if (entry->data == nullptr || entry->length < kCodeAt + 4) return 0;
    const auto *p = static_cast<const uint8_t *>(entry->data) + kCodeAt;
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Writes one encoded control message onto the service stream.
int writer_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    if (core->state.load() != FLOWMESH_NETWORK_STARTED) return CORE_OK;
    FlowmeshSession *s = flowmesh_session_find(core, &entry->name);
    if (s == nullptr) return CORE_AGAIN;
    uint8_t kind = 0;
    const uint64_t transport = transport_of(s->manager, 0, &kind);
    int result = CORE_AGAIN;
    if (transport != 0) {
        if (s->send_progress > entry->length) s->send_progress = 0;
        uint64_t length = entry->length - s->send_progress;
        const CoreResult r = flowmesh_transport_send(transport, kind, 0,
                                                     static_cast<const uint8_t *>(entry->data) + s->send_progress, &length);
        if (r < 0) {
            core_log(CORE_LOG_WARN, kModule, "a session's service stream refused control data (%s)", core_result_name(r));
            result = CORE_ERR;
        } else {
            s->send_progress += length;
            if (s->send_progress >= entry->length) {
                s->send_progress = 0;
                result = CORE_OK;
                // After a close the service stream finishes; once the
                // peer has it all, the session goes (report 3).
                if (control_code_of(entry) == FLOWMESH_CTL_CLOSE) flowmesh_transport_finish(transport, kind);
            }
        }
        core_handle_release(network_table(), transport);
    }
    core_store_unref(core->sessions);
    return result;
}

int tlv_message_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    if (core->state.load() != FLOWMESH_NETWORK_STARTED) return CORE_OK;
    FlowmeshSession *s = flowmesh_session_find(core, &entry->name);
    if (s == nullptr) return CORE_OK;
    FlowmeshTlvRecord record;
    CoreResult r = flowmesh_tlv_record_of(entry, &record);
    if (r == CORE_OK) r = flowmesh_session_on_message(core, s, &record);
    if (r < 0) {
        core_log(CORE_LOG_INFO, kModule, "a control message ended its session (%s)", core_result_name(r));
        mark_session_deleted(core, s);
    }
    core_store_unref(core->sessions);
    return CORE_OK;
}

CoreResult make_stream_key(const FlowmeshSession *s, FlowmeshKeyBlob *key)
{
    const uint32_t length = flowmesh_control_key_length(s->session_key.kind);
    if (length == 0) return CORE_ERR;
    memset(key, 0, sizeof(*key));
    key->kind = s->session_key.kind;
    key->length = length;
    return core_random_key(key->key, length);
}

// Builds the transport of a stream whose ids and keys are known.
CoreResult build_transport(FlowmeshSession *s, FlowmeshSessionStream *stream, uint16_t peer_id, uint16_t peer_flags,
                           bool connect)
{
    FlowmeshStreamManager *manager = acquire_manager(s->manager);
    if (manager == nullptr) return CORE_ERR;
    const FlowmeshStreamParams &p = stream->params;
    FlowmeshStreamConnect c = {};
    c.send_buffer = p.send_buffer;
    c.receive_buffer = p.receive_buffer;
    c.paced_rate = p.rate;
    c.min_bitrate = p.min_bitrate;
    c.max_bitrate = p.max_bitrate;
    c.min_rto_ms = p.min_rto_ms;
    c.max_rto_ms = p.max_rto_ms;
    c.local_id = stream->stream_id;
    c.peer_id = peer_id;
    c.user = reinterpret_cast<void *>(static_cast<uintptr_t>(p.word));
    c.options = (p.flags & 0xFF) << 1;
    c.local_flags = static_cast<uint16_t>(flag_set_of(p.kind.kind));
    c.peer_flags = peer_flags;
    c.frame_rate = p.frame_rate;
    c.peak_frame_rate = p.second_frame_rate;
    c.stream_key = s->key_role == 1 ? &stream->peer_key : &stream->own_key;
    c.table = FLOWMESH_STREAM_TABLE_STREAMS;
    const CoreResult r = connect ? flowmesh_stream_connect(manager, &c) : flowmesh_stream_accept(manager, &c);
    release_manager(s->manager);
    return r;
}

void set_peer_key(FlowmeshSessionStream *stream, uint32_t kind, const uint8_t *key, uint32_t length)
{
    memset(&stream->peer_key, 0, sizeof(stream->peer_key));
    stream->peer_key.kind = kind;
    stream->peer_key.length = length;
    memcpy(stream->peer_key.key, key, length);
    stream->peer_key_kind.store(kind);
}

// A stream the peer opens.
CoreResult on_open_request(FlowmeshCore *core, FlowmeshSession *s, const FlowmeshControlMessage &m)
{
    // Stream keys are as long as the session key's kind says; a request
    // whose key is of another kind cannot be the peer of this session.
    if (m.key_kind != s->session_key.kind) return CORE_ERR;
    FlowmeshStreamParams p = {};
    p.kind.kind = m.kind;
    p.kind.class_word = m.class_word;
    memcpy(p.kind.stream_name.key, m.stream_name, CORE_NAME_KEY_SIZE);
    core_name_make(&p.kind.stream_name);
    p.send_buffer = FLOWMESH_ANSWER_BUFFER;
    p.receive_buffer = FLOWMESH_ANSWER_BUFFER;
    CoreName instance;
    flowmesh_core_instance_name(core, &instance);
    FlowmeshStreamRequest request = {};
    request.session = s->name;
    request.instance = instance;
    request.kind = p.kind;
    flowmesh_fan_stream_request(core->events, &request, &p);
    // The peer's kind block stays the stream's, whatever a subscriber added.
    p.kind.kind = (p.kind.kind & ~0xFFu) | (m.kind & 0xFF);

    FlowmeshKeyBlob own;
    if (make_stream_key(s, &own) != CORE_OK) return CORE_ERR;
    FlowmeshKeyBlob peer = {};
    peer.kind = m.key_kind;
    peer.length = m.key_length;
    memcpy(peer.key, m.key, m.key_length);
    StreamInit init = {&p, &own, &peer, &instance, false};
    CoreStoreItem *item = nullptr;
    std::lock_guard<std::mutex> guard(s->open_lock);
    CoreResult r = core_store_insert(s->streams, &p.kind.stream_name, &s->name, &init, &item, 1);
    OPENSSL_cleanse(&own, sizeof(own));
    OPENSSL_cleanse(&peer, sizeof(peer));
    if (r != CORE_OK && r != CORE_EXISTS) return CORE_ERR;
    auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
    // Both nodes opened this stream: the peer's key replaces the copy.
    if (r == CORE_EXISTS) set_peer_key(stream, m.key_kind, m.key, m.key_length);

    // When both nodes opened the stream, each answers the other's request
    // and neither reply can tell its receiver who connects: the side whose
    // key role is 0 connects, the other accepts. (Its own request went out
    // before this reply, so the peer always meets the request first.)
    const bool both = r == CORE_EXISTS && (stream->flags.load() & FLOWMESH_SSTREAM_OPENED_HERE);
    const uint16_t opener_flags = static_cast<uint16_t>(m.argument);
    r = build_transport(s, stream, m.stream_id, opener_flags, both && s->key_role == 0);
    if (r >= 0) {
        FlowmeshControlMessage reply = {};
        reply.code = FLOWMESH_CTL_OPEN_STREAM_REPLY;
        reply.argument = flag_set_of(stream->params.kind.kind);
        reply.stream_id = stream->stream_id;
        reply.opener_id = m.stream_id;
        reply.key_kind = stream->own_key.kind;
        reply.key_length = static_cast<uint32_t>(stream->own_key.length);
        reply.key = stream->own_key.key;
        r = send_control(s, &reply);
        if (r == CORE_OK && test_and_set(stream->flags, FLOWMESH_SSTREAM_ACCEPTED))
            post_stream_state(core, s, stream, FLOWMESH_STREAM_ACCEPTED);
    }
    core_store_unref(s->streams);
    return r < 0 ? r : CORE_OK;
}

// The peer's answer to a stream this node opened.
CoreResult on_open_reply(FlowmeshSession *s, const FlowmeshControlMessage &m)
{
    FlowmeshSessionStream *stream = stream_by_id(s, m.opener_id);
    if (stream == nullptr) return CORE_DONE;
    CoreResult r = CORE_ERR;
    if (m.key_kind == s->session_key.kind) {
        if (s->key_role == 1) set_peer_key(stream, m.key_kind, m.key, m.key_length);
        r = build_transport(s, stream, m.stream_id, static_cast<uint16_t>(m.argument), true);
    }
    core_store_unref(s->streams);
    return r;
}

}  // namespace

// ---- the core's side ----

CoreResult flowmesh_sessions_create(FlowmeshCore *core)
{
    // Each stream kind's module is installed before the first stream of
    // that kind can be opened.
    if (flowmesh_paced_register() != CORE_OK || flowmesh_media_register() != CORE_OK ||
        flowmesh_reliable_register() != CORE_OK)
        return CORE_ERR;
    core->sessions = make_named_store(sizeof(FlowmeshSession), session_create, session_destroy, core);
    if (core->sessions == nullptr) return CORE_ERR;
    core->pipes[FLOWMESH_PIPE_TRANSPORT] = make_pipe(core, transport_report_handler, FLOWMESH_CORE_POOL, 0);
    core->pipes[FLOWMESH_PIPE_PEER] = make_pipe(core, peer_report_handler, FLOWMESH_CORE_POOL, 0);
    core->pipes[FLOWMESH_PIPE_STREAM_DATA] = make_pipe(core, stream_data_handler, nullptr, kStreamDataPool);
    core->pipes[FLOWMESH_PIPE_SERVICE_DATA] = make_pipe(core, service_data_handler, FLOWMESH_SERVICE_POOL, 0);
    for (uint32_t i : {FLOWMESH_PIPE_TRANSPORT, FLOWMESH_PIPE_PEER, FLOWMESH_PIPE_STREAM_DATA, FLOWMESH_PIPE_SERVICE_DATA})
        if (core->pipes[i] == nullptr) return CORE_ERR;
    return CORE_OK;
}

void flowmesh_sessions_destroy(FlowmeshCore *core)
{
    // Handlers look sessions up: they stop before the store goes.
    for (uint32_t i : {FLOWMESH_PIPE_PEER, FLOWMESH_PIPE_TRANSPORT, FLOWMESH_PIPE_STREAM_DATA, FLOWMESH_PIPE_SERVICE_DATA})
        core_pipe_destroy(&core->pipes[i]);
    if (core->sessions != nullptr) core_store_destroy(&core->sessions);
}

void flowmesh_core_sessions_stop(FlowmeshCore *core)
{
    if (core == nullptr || core->sessions == nullptr) return;
    CoreLockGuard guard(&core->session_lock);
    for (CoreStoreItem *item = core_store_next(core->sessions, nullptr, 1); item != nullptr;
         item = core_store_next(core->sessions, item, 1)) {
        auto *s = reinterpret_cast<FlowmeshSession *>(item);
        post_down(core, s);
        core_store_remove(core->sessions, item->key.key);
    }
}

void flowmesh_core_sessions_deny(FlowmeshCore *core, const FlowmeshDenyEntry *entry)
{
    if (core == nullptr || core->sessions == nullptr || entry == nullptr) return;
    for (CoreStoreItem *item = core_store_next(core->sessions, nullptr, 1); item != nullptr;
         item = core_store_next(core->sessions, item, 1)) {
        auto *s = reinterpret_cast<FlowmeshSession *>(item);
        const CoreUdpAddr peer = {s->peer_address, s->peer_port};
        const CoreUdpAddr endpoint = {s->endpoint_address, s->endpoint_port};
        CoreName node;
        {
            std::lock_guard<std::mutex> guard(s->facts_lock);
            node = s->peer_node;
        }
        if (flowmesh_deny_matches_session(entry, &peer, &endpoint, &node)) core_store_remove(core->sessions, item->key.key);
    }
}

int flowmesh_core_peer_report(uint64_t core_handle, const CoreName *reporter, uint32_t code, uint32_t value,
                              const void *data, uint64_t length)
{
    FlowmeshCore *core = acquire_core(core_handle);
    if (core == nullptr) return -1;
    int answer = 0;
    switch (code) {
    case FLOWMESH_PEER_OFFERED:
        if (data != nullptr && length >= sizeof(CoreName)) {
            CoreStoreItem *item = core_store_lookup(core->sessions, static_cast<const CoreName *>(data)->key);
            if (item != nullptr) {
                answer = 1;
                core_store_unref(core->sessions);
            }
        }
        break;
    case FLOWMESH_PEER_APPEARED: {
        if (data == nullptr || length < sizeof(FlowmeshPeerRecord)) break;
        FlowmeshPeerRecord record;
        memcpy(&record, data, sizeof(record));
        // A closing session of this address makes way for the new meeting.
        for (CoreStoreItem *item = core_store_next(core->sessions, nullptr, 1); item != nullptr;
             item = core_store_next(core->sessions, item, 1)) {
            auto *s = reinterpret_cast<FlowmeshSession *>(item);
            if (s->peer_address == record.address && s->peer_port == record.port &&
                (s->flags.load() & FLOWMESH_SESSION_CLOSING))
                core_store_remove(core->sessions, item->key.key);
        }
        CoreStoreItem *existing = core_store_lookup(core->sessions, record.identity.key);
        if (existing != nullptr) {
            core_store_unref(core->sessions);
            answer = -1;
            break;
        }
        const CoreUdpAddr address = {record.address, record.port};
        answer = flowmesh_core_admit_peer(core, &address, &address) == CORE_OK ? 0 : -1;
        break;
    }
    case FLOWMESH_PEER_READY: {
        if (data == nullptr || length < sizeof(FlowmeshPeerReadyRecord)) {
            answer = -1;
            break;
        }
        const auto *record = static_cast<const FlowmeshPeerReadyRecord *>(data);
        CoreStoreItem *existing = core_store_lookup(core->sessions, record->peer.identity.key);
        if (existing != nullptr) {
            core_store_unref(core->sessions);
            answer = -1;
            break;
        }
        answer = post_copy(core->pipes[FLOWMESH_PIPE_PEER], reporter, code, value, data, length) == 0 ? 0 : -1;
        break;
    }
    default:
        post_copy(core->pipes[FLOWMESH_PIPE_PEER], reporter, code, value, data, length);
        break;
    }
    release_core(core);
    return answer;
}

void flowmesh_core_datagrams(uint64_t core_handle, const CoreQueueEntry *records, uint64_t count)
{
    if (records == nullptr || count == 0) return;
    FlowmeshCore *core = acquire_core(core_handle);
    if (core == nullptr) return;
    if (FlowmeshSession *s = flowmesh_session_find(core, &records[0].name)) {
        if (FlowmeshStreamManager *manager = acquire_manager(s->manager)) {
            flowmesh_route_session_datagrams(manager, records, count);
            release_manager(s->manager);
        }
        core_store_unref(core->sessions);
    }
    release_core(core);
}

// ---- lookups ----

FlowmeshSession *flowmesh_session_find(FlowmeshCore *core, const CoreName *name)
{
    if (core == nullptr || core->sessions == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<FlowmeshSession *>(core_store_lookup(core->sessions, name->key));
}

FlowmeshSessionStream *flowmesh_session_stream_find(FlowmeshSession *session, const CoreName *name)
{
    if (session == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<FlowmeshSessionStream *>(core_store_lookup(session->streams, name->key));
}

void flowmesh_sessions_test_set_send(FlowmeshTransportSendFn fn) { g_send_fn.store(fn); }

// ---- control messages ----

CoreResult flowmesh_session_hello(FlowmeshCore *core, FlowmeshSession *s)
{
    FlowmeshControlMessage m = {};
    m.code = FLOWMESH_CTL_PEER_VALUE;
    // The engine refuses peers below its protocol version by this number.
    m.peer_value = FLOWMESH_PEER_VALUE;
    CoreResult r = send_control(s, &m);
    if (r != CORE_OK) return r;
    m = FlowmeshControlMessage{};
    m.code = FLOWMESH_CTL_IDENTITY;
    m.stamp = core_seq_next();
    memcpy(m.node_id, core->config.node_id.key, CORE_NAME_KEY_SIZE);
    r = send_control(s, &m);
    if (r != CORE_OK) return r;
    m = FlowmeshControlMessage{};
    m.code = FLOWMESH_CTL_ESTABLISHED;
    m.argument = core->config.peer_mode == 2 ? 1 : 0;
    r = send_control(s, &m);
    if (r != CORE_OK) return r;
    const FlowmeshEngineOps *ops = flowmesh_core_engine_ops();
    const uint64_t engine = core->engine.load();
    if (engine != 0 && ops->confirm_peer != nullptr) ops->confirm_peer(engine, s->name.key);
    return CORE_OK;
}

CoreResult flowmesh_session_on_message(FlowmeshCore *core, FlowmeshSession *s, const FlowmeshTlvRecord *record)
{
    FlowmeshControlMessage m = {};
    if (flowmesh_control_parse(record, &m) != CORE_OK) {
        core_log(CORE_LOG_WARN, kModule, "a control message does not fit its code's layout");
        return CORE_ERR;
    }
    switch (m.code) {
    case FLOWMESH_CTL_PEER_VALUE: {
        std::lock_guard<std::mutex> guard(s->facts_lock);
        s->peer_value = m.peer_value;
        return CORE_OK;
    }
    case FLOWMESH_CTL_FORWARD: {
        CoreName service;
        core_name_format(&service, "%s", FLOWMESH_SERVICE_STREAM);
        FlowmeshSessionStream *stream = flowmesh_session_stream_find(s, &service);
        if (stream == nullptr) return CORE_OK;
        flowmesh_post_service_data(core->events, &s->name, &stream->instance, &stream->params.owner_name,
                                   &stream->params.kind.stream_name, m.payload, m.payload_length);
        core_store_unref(s->streams);
        return CORE_OK;
    }
    case FLOWMESH_CTL_IDENTITY: {
        {
            std::lock_guard<std::mutex> guard(s->facts_lock);
            memcpy(s->peer_node.key, m.node_id, CORE_NAME_KEY_SIZE);
            core_name_make(&s->peer_node);
            s->peer_stamp = m.stamp;
            s->local_stamp = core_seq_next();
        }
        if (flowmesh_core_check_node(core, m.node_id) == CORE_OK) return CORE_OK;
        // A refused peer is told so, or its side of the session, idle after
        // the hello, would wait for a peer that is gone. The session goes
        // once the close has been delivered or the stream gives up.
        if (test_and_set(s->flags, FLOWMESH_SESSION_CLOSING)) {
            FlowmeshControlMessage close = {};
            close.code = FLOWMESH_CTL_CLOSE;
            if (send_control(s, &close) != CORE_OK) return CORE_ERR_REFUSED;
        }
        return CORE_OK;
    }
    case FLOWMESH_CTL_CLOSE:
        if (test_and_set(s->flags, FLOWMESH_SESSION_CLOSING)) {
            const FlowmeshEngineOps *ops = flowmesh_core_engine_ops();
            const uint64_t engine = core->engine.load();
            const CoreUdpAddr address = {s->peer_address, s->peer_port};
            if (engine != 0 && ops->disconnect != nullptr) ops->disconnect(engine, &address);
        }
        // Also when this side's own close is on its way: both sides closed,
        // and waiting for the finish of a peer that is finishing too only
        // keeps the session until the stream gives up.
        mark_session_deleted(core, s);
        return CORE_OK;
    case FLOWMESH_CTL_ESTABLISHED: {
        {
            std::lock_guard<std::mutex> guard(s->facts_lock);
            s->peer_mode = (m.argument & 1) + 1;
        }
        // A session refused or closing never comes up.
        if (!(s->flags.load() & FLOWMESH_SESSION_CLOSING) && test_and_set(s->flags, FLOWMESH_SESSION_UP_POSTED))
            post_session_event(core, s, FLOWMESH_SESSION_UP);
        return CORE_OK;
    }
    case FLOWMESH_CTL_OPEN_STREAM: return on_open_request(core, s, m);
    case FLOWMESH_CTL_OPEN_STREAM_REPLY: return on_open_reply(s, m);
    default: return CORE_OK;
    }
}

// ---- the engine's operations ----

CoreResult flowmesh_session_open_stream(const CoreName *session, const FlowmeshStreamParams *params)
{
    if (session == nullptr || params == nullptr || is_service_name(&params->kind.stream_name)) return CORE_ERR;
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    FlowmeshSession *s = flowmesh_session_find(core, session);
    if (s != nullptr) {
        FlowmeshKeyBlob own;
        if (make_stream_key(s, &own) == CORE_OK) {
            CoreName instance;
            flowmesh_core_instance_name(core, &instance);
            StreamInit init = {params, &own, &own, &instance, false};
            CoreStoreItem *item = nullptr;
            std::lock_guard<std::mutex> guard(s->open_lock);
            const CoreResult r = core_store_insert(s->streams, &params->kind.stream_name, &s->name, &init, &item, 1);
            if (r == CORE_OK || r == CORE_EXISTS) {
                auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
                stream->flags.fetch_or(FLOWMESH_SSTREAM_OPENED_HERE);
                FlowmeshControlMessage m = {};
                m.code = FLOWMESH_CTL_OPEN_STREAM;
                m.argument = flag_set_of(stream->params.kind.kind);
                m.stream_id = stream->stream_id;
                m.kind = stream->params.kind.kind;
                m.class_word = stream->params.kind.class_word;
                memcpy(m.stream_name, stream->params.kind.stream_name.key, CORE_NAME_KEY_SIZE);
                m.key_kind = stream->own_key.kind;
                m.key_length = static_cast<uint32_t>(stream->own_key.length);
                m.key = stream->own_key.key;
                result = send_control(s, &m);
                if (result != CORE_OK && r == CORE_OK) mark_deleted(s->streams, item);
                core_store_unref(s->streams);
            }
        }
        OPENSSL_cleanse(&own, sizeof(own));
        core_store_unref(core->sessions);
    }
    flowmesh_core_release(core);
    return result;
}

CoreResult flowmesh_session_send(const CoreName *session, const CoreName *stream_name, uint32_t flags,
                                 const void *data, uint64_t *length)
{
    if (session == nullptr || stream_name == nullptr || length == nullptr) return CORE_ERR_INVALID;
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    CoreResult result = CORE_DONE;
    FlowmeshSession *s = flowmesh_session_find(core, session);
    if (s != nullptr) {
        FlowmeshSessionStream *stream = flowmesh_session_stream_find(s, stream_name);
        if (stream != nullptr) {
            if (is_service_name(stream_name)) {
                FlowmeshControlMessage m = {};
                m.code = FLOWMESH_CTL_FORWARD;
                m.payload = static_cast<const uint8_t *>(data);
                m.payload_length = *length > FLOWMESH_CONTROL_FORWARD_MAX ? FLOWMESH_CONTROL_FORWARD_MAX + 1
                                                                           : static_cast<uint32_t>(*length);
                result = send_control(s, &m);
                if (result == CORE_ERR_NO_SPACE) result = CORE_DONE;
                if (result != CORE_OK) *length = 0;
            } else {
                uint8_t kind = 0;
                const uint64_t transport = transport_of(s->manager, stream->stream_id, &kind);
                if (transport == 0) {
                    result = CORE_DONE;
                } else {
                    result = flowmesh_transport_send(transport, kind, static_cast<uint8_t>(flags), data, length);
                    core_handle_release(network_table(), transport);
                }
            }
            core_store_unref(s->streams);
        }
        core_store_unref(core->sessions);
    }
    flowmesh_core_release(core);
    return result;
}

void flowmesh_session_close_stream(FlowmeshCore *core, const CoreName *session, const CoreName *stream_name,
                                   uint32_t mode)
{
    if (core == nullptr || session == nullptr || stream_name == nullptr || mode > FLOWMESH_CLOSE_FINISH) return;
    FlowmeshSession *s = flowmesh_session_find(core, session);
    if (s == nullptr) return;
    FlowmeshSessionStream *stream = flowmesh_session_stream_find(s, stream_name);
    if (stream != nullptr) {
        static const uint32_t kBit[3] = {FLOWMESH_SSTREAM_CLOSE_REQUESTED, FLOWMESH_SSTREAM_HIDDEN,
                                         FLOWMESH_SSTREAM_FINISH_REQUESTED};
        const bool first = mode == FLOWMESH_CLOSE_HIDE ? !(stream->flags.load() & FLOWMESH_SSTREAM_HIDDEN)
                                                        : test_and_set(stream->flags, kBit[mode]);
        if (first) {
            hide(s->streams, stream);
            if (mode != FLOWMESH_CLOSE_HIDE) {
                uint8_t kind = 0;
                const uint64_t transport = transport_of(s->manager, stream->stream_id, &kind);
                const CoreResult r = transport == 0 ? CORE_ERR
                                     : mode == FLOWMESH_CLOSE_NOW ? flowmesh_transport_close(transport, kind)
                                                                  : flowmesh_transport_finish(transport, kind);
                if (transport != 0) core_handle_release(network_table(), transport);
                if (r < 0) mark_deleted(s->streams, &stream->header);
            }
        }
        core_store_unref(s->streams);
    }
    core_store_unref(core->sessions);
}

void flowmesh_stream_close(const CoreName *session, const CoreName *stream)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return;
    flowmesh_session_close_stream(core, session, stream, FLOWMESH_CLOSE_NOW);
    flowmesh_core_release(core);
}

CoreResult flowmesh_session_close_streams(const CoreName *session)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    FlowmeshSession *s = flowmesh_session_find(core, session);
    if (s == nullptr) {
        flowmesh_core_release(core);
        return CORE_DONE;
    }
    for (CoreStoreItem *item = core_store_next(s->streams, nullptr, 1); item != nullptr;
         item = core_store_next(s->streams, item, 1)) {
        auto *stream = reinterpret_cast<FlowmeshSessionStream *>(item);
        uint8_t kind = 0;
        const uint64_t transport = transport_of(s->manager, stream->stream_id, &kind);
        const CoreResult r = transport == 0 ? CORE_ERR : flowmesh_transport_close(transport, kind);
        if (transport != 0) core_handle_release(network_table(), transport);
        if (r < 0) mark_deleted(s->streams, item);
    }
    core_store_unref(core->sessions);
    flowmesh_core_release(core);
    return CORE_OK;
}

CoreResult flowmesh_disconnect_address(uint32_t address, uint16_t port)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    for (CoreStoreItem *item = core_store_next(core->sessions, nullptr, 1); item != nullptr;
         item = core_store_next(core->sessions, item, 1)) {
        auto *s = reinterpret_cast<FlowmeshSession *>(item);
        if (s->peer_address != address || s->peer_port != port) continue;
        if (!test_and_set(s->flags, FLOWMESH_SESSION_CLOSING)) continue;
        FlowmeshControlMessage m = {};
        m.code = FLOWMESH_CTL_CLOSE;
        send_control(s, &m);
    }
    const FlowmeshEngineOps *ops = flowmesh_core_engine_ops();
    const uint64_t engine = core->engine.load();
    const CoreUdpAddr target = {address, port};
    const CoreResult r = engine == 0 ? CORE_ERR_STATE
                         : ops->disconnect != nullptr ? ops->disconnect(engine, &target)
                                                      : CORE_OK;
    flowmesh_core_release(core);
    return r;
}
