// Event tables: registration, posting, dispatch and the table-6 merge.
// The core-level operations that acquire the process's core sit at the end.
#include "flowmesh/interface.h"

#include <cstdlib>
#include <cstring>

#include "core/queue.h"
#include "core/store.h"
#include "flowmesh/core.h"

namespace {


// Entries of a table's store: the store owns the item, the item owns an
// aligned copy of the registered set.
struct TableEntry {
    CoreStoreItem header;
    FlowmeshCallbacks *set;
};

int entry_create(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    void *block = nullptr;
    if (posix_memalign(&block, 64, sizeof(FlowmeshCallbacks)) != 0) return -1;
    memcpy(block, arg, sizeof(FlowmeshCallbacks));
    reinterpret_cast<TableEntry *>(item)->set = static_cast<FlowmeshCallbacks *>(block);
    return 0;
}

void entry_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *entry = reinterpret_cast<TableEntry *>(item);
    free(entry->set);
    entry->set = nullptr;
}

// Calls every set of a table in token order. One reader reference is held
// for the whole walk: an unregistration on another thread waits for it, and
// an entry removed during the walk is freed only afterwards. `deliver`
// fills the set's user words into the record and makes the call.
template <typename Deliver>
void fan_out(FlowmeshEventTableSet *set, uint32_t table, Deliver deliver)
{
    if (set == nullptr || table >= FLOWMESH_EVENT_TABLES || set->tables[table] == nullptr) return;
    CoreStore *store = set->tables[table];
    for (CoreStoreItem *item = core_store_next(store, nullptr, 1); item != nullptr;
         item = core_store_next(store, item, 1)) {
        const FlowmeshCallbacks *callbacks = reinterpret_cast<TableEntry *>(item)->set;
        if (callbacks != nullptr && callbacks->callback != nullptr) deliver(*callbacks);
    }
}

template <typename Record>
void fan_record(FlowmeshEventTableSet *set, uint32_t table, Record *record)
{
    fan_out(set, table, [record](const FlowmeshCallbacks &callbacks) {
        record->user[0] = callbacks.user[0];
        record->user[1] = callbacks.user[1];
        callbacks.callback(record, nullptr);
    });
}

// ---- posted records ----
// The event pipe carries self-contained records so that nothing a poster
// points at has to outlive the post. Variable parts follow their header;
// the dispatcher checks every length against the message it was handed.

struct PostedSession {
    CoreName session;
    CoreName peer;
    CoreName peer_node;
    uint32_t zero;
    uint64_t info_length;
    FlowmeshSessionInfo info;
};

struct PostedData {
    CoreName session;
    CoreName instance;
    CoreName owner;
    CoreName stream;
    uint64_t length;
    // data bytes follow
};

struct PostedStatus {
    uint32_t code;
    uint64_t length;
    // payload bytes follow
};

struct PostedState {
    CoreName session;
    CoreName instance;
    CoreName owner;
    FlowmeshKindBlock kind;
    uint32_t key_kind;
    uint32_t state;
};

struct PostedStats {
    CoreName session;
    CoreName instance;
    CoreName owner;
    CoreName stream;
    uint64_t counter1;
    uint64_t counter2;
};

CoreName name_or_empty(const CoreName *name)
{
    CoreName copy = {};
    if (name != nullptr) copy = *name;
    return copy;
}

CoreResult post(FlowmeshEventTableSet *set, uint32_t kind, const void *head, uint64_t head_length,
                const void *tail, uint64_t tail_length)
{
    if (set == nullptr || set->pipe == nullptr) return CORE_ERR;
    CoreIoVec vecs[2] = {{head_length, head}, {tail_length, tail}};
    CoreName name;
    core_seq_name(&name, CORE_SEQ_OPS, nullptr);
    return core_queue_post(set->pipe->queue, &name, kind, 0, vecs, 2) == 0 ? CORE_OK : CORE_ERR;
}

void dispatch_session(FlowmeshEventTableSet *set, const CoreQueueEntry *entry)
{
    if (entry->length != sizeof(PostedSession)) return;
    PostedSession posted;
    memcpy(&posted, entry->data, sizeof(posted));
    if (posted.info_length != sizeof(FlowmeshSessionInfo)) return;
    FlowmeshSessionEvent event = {};
    event.session = posted.session;
    event.peer = posted.peer;
    event.peer_node = posted.peer_node;
    event.zero = 0;
    event.info = &posted.info;
    fan_record(set, FLOWMESH_EVENTS_SESSION, &event);
}

void dispatch_service_data(FlowmeshEventTableSet *set, const CoreQueueEntry *entry)
{
    if (entry->length < sizeof(PostedData)) return;
    PostedData posted;
    memcpy(&posted, entry->data, sizeof(posted));
    if (posted.length != entry->length - sizeof(PostedData)) return;
    FlowmeshStreamEvent event = {};
    event.session = posted.session;
    event.instance = posted.instance;
    event.owner = posted.owner;
    event.stream = posted.stream;
    event.data = static_cast<const uint8_t *>(entry->data) + sizeof(PostedData);
    event.length = posted.length;
    fan_record(set, FLOWMESH_EVENTS_STREAM_DATA, &event);
}

void dispatch_status(FlowmeshEventTableSet *set, const CoreQueueEntry *entry)
{
    if (entry->length < sizeof(PostedStatus)) return;
    PostedStatus posted;
    memcpy(&posted, entry->data, sizeof(posted));
    if (posted.length != entry->length - sizeof(PostedStatus)) return;
    // Subscribers read the payload as the code's record (a CoreNetAdapter
    // holds a pointer), so it gets a block of its own with malloc's
    // alignment rather than its place inside the queued message.
    void *payload = malloc(posted.length != 0 ? posted.length : 1);
    if (payload == nullptr) return;
    memcpy(payload, static_cast<const uint8_t *>(entry->data) + sizeof(PostedStatus), posted.length);
    FlowmeshStatusEvent event = {};
    event.code = posted.code;
    event.payload = payload;
    fan_record(set, FLOWMESH_EVENTS_STATUS, &event);
    free(payload);
}

void dispatch_state(FlowmeshEventTableSet *set, const CoreQueueEntry *entry)
{
    if (entry->length != sizeof(PostedState)) return;
    PostedState posted;
    memcpy(&posted, entry->data, sizeof(posted));
    FlowmeshStreamStateEvent event = {};
    event.session = posted.session;
    event.instance = posted.instance;
    event.owner = posted.owner;
    event.state = posted.state;
    event.key_kind = posted.key_kind & 3;
    event.kind = posted.kind;
    fan_record(set, FLOWMESH_EVENTS_STREAM_STATE, &event);
}

void dispatch_stats(FlowmeshEventTableSet *set, const CoreQueueEntry *entry)
{
    if (entry->length != sizeof(PostedStats)) return;
    PostedStats posted;
    memcpy(&posted, entry->data, sizeof(posted));
    FlowmeshStreamStatsEvent event = {};
    event.session = posted.session;
    event.instance = posted.instance;
    event.owner = posted.owner;
    event.stream = posted.stream;
    event.acknowledged = posted.counter1;
    event.delivered = posted.counter2;
    fan_record(set, FLOWMESH_EVENTS_STREAM_STATS, &event);
}

// The event pipe's consumer. A malformed record is dropped: stopping the
// pipe would silence every later event.
int dispatch(CoreQueueEntry *entry, void **user)
{
    auto *set = static_cast<FlowmeshEventTableSet *>(user[0]);
    if (entry->length != 0 && entry->data == nullptr) return CORE_OK;
    switch (entry->type) {
    case FLOWMESH_POST_SESSION: dispatch_session(set, entry); break;
    case FLOWMESH_POST_SERVICE_DATA: dispatch_service_data(set, entry); break;
    case FLOWMESH_POST_STATUS: dispatch_status(set, entry); break;
    case FLOWMESH_POST_STREAM_STATE: dispatch_state(set, entry); break;
    case FLOWMESH_POST_STREAM_STATS: dispatch_stats(set, entry); break;
    default: break;
    }
    return CORE_OK;
}

// Bytes a status payload must hold so that subscribers, who are not told
// its length, can read the code's record.
uint64_t status_payload_size(uint32_t code)
{
    switch (code) {
    case FLOWMESH_STATUS_NETWORK_CHANGED:
    case FLOWMESH_STATUS_STATE: return sizeof(uint32_t);
    case FLOWMESH_STATUS_ADAPTER_ADDED:
    case FLOWMESH_STATUS_ADAPTER_REMOVED:
    case FLOWMESH_STATUS_ADAPTER_LOST: return sizeof(CoreNetAdapter);
    default: return 0;
    }
}

uint64_t clamp_buffer(uint64_t size)
{
    if (size < FLOWMESH_ANSWER_BUFFER_MIN) return FLOWMESH_ANSWER_BUFFER_MIN;
    if (size > FLOWMESH_ANSWER_BUFFER_MAX) return FLOWMESH_ANSWER_BUFFER_MAX;
    return size;
}

void preset_answer(FlowmeshStreamAnswer *answer)
{
    memset(answer, 0, sizeof(*answer));
    answer->send_buffer = FLOWMESH_ANSWER_BUFFER;
    answer->receive_buffer = FLOWMESH_ANSWER_BUFFER;
}

}  // namespace

FlowmeshEventTableSet *flowmesh_event_tables_create(const CoreName *executor, const CoreName *pool)
{
    if (executor == nullptr || pool == nullptr) return nullptr;
    auto *set = static_cast<FlowmeshEventTableSet *>(calloc(1, sizeof(FlowmeshEventTableSet)));
    if (set == nullptr) return nullptr;
    for (uint32_t t = 0; t < FLOWMESH_EVENT_TABLES; ++t) {
        CoreStoreConfig config = {};
        config.item_size = sizeof(TableEntry);
        config.key_kind = CORE_KEY_U64;
        config.key_first = 1;
        config.key_count = (1ULL << 63) - 1;
        config.create = entry_create;
        config.destroy = entry_destroy;
        config.executor = *executor;
        set->tables[t] = core_store_create(&config);
        if (set->tables[t] == nullptr) {
            flowmesh_event_tables_destroy(&set);
            return nullptr;
        }
    }
    CorePipeConfig pipe = {};
    pipe.pool = *pool;
    pipe.fn = dispatch;
    pipe.user[0] = set;
    set->pipe = core_pipe_create(&pipe);
    if (set->pipe == nullptr) {
        flowmesh_event_tables_destroy(&set);
        return nullptr;
    }
    return set;
}

void flowmesh_event_tables_destroy(FlowmeshEventTableSet **set)
{
    if (set == nullptr || *set == nullptr) return;
    FlowmeshEventTableSet *s = *set;
    *set = nullptr;
    // The pipe goes first: its thread is the one walking the tables.
    core_pipe_destroy(&s->pipe);
    for (CoreStore *&table : s->tables) core_store_destroy(&table);
    free(s);
}

uint64_t flowmesh_register_callbacks(FlowmeshEventTableSet *set, uint32_t table,
                                     const FlowmeshCallbacks *callbacks)
{
    if (set == nullptr || callbacks == nullptr || table >= FLOWMESH_EVENT_TABLES) return 0;
    CoreStore *store = set->tables[table];
    if (store == nullptr) return 0;
    CoreStoreItem *item = nullptr;
    // Without a reference taken the entry could be unregistered and freed
    // by another thread before its key is read.
    if (core_store_insert(store, nullptr, nullptr, const_cast<FlowmeshCallbacks *>(callbacks), &item, 1) !=
        CORE_OK)
        return 0;
    uint64_t token = 0;
    for (int i = 0; i < 8; ++i) token = (token << 8) | item->key.key[i];
    core_store_lock(store);
    core_store_release(store);
    core_store_unlock(store);
    return token;
}

void flowmesh_unregister_callbacks(FlowmeshEventTableSet *set, uint32_t table, uint64_t token)
{
    if (set == nullptr || table >= FLOWMESH_EVENT_TABLES || token == 0) return;
    CoreStore *store = set->tables[table];
    if (store == nullptr) return;
    CoreName key;
    core_name_from_u64(&key, token);
    if (core_store_remove(store, key.key) != CORE_OK) return;
    core_store_wait_idle(store);
}

CoreResult flowmesh_post_event(FlowmeshEventTableSet *set, uint32_t code, const void *payload,
                               uint64_t length)
{
    if (set == nullptr) return CORE_ERR;
    if (length < status_payload_size(code) || (length != 0 && payload == nullptr)) return CORE_ERR_INVALID;
    PostedStatus head = {};
    head.code = code;
    head.length = length;
    return post(set, FLOWMESH_POST_STATUS, &head, sizeof(head), payload, length);
}

CoreResult flowmesh_post_session_event(FlowmeshEventTableSet *set, const CoreName *session,
                                       const CoreName *peer, const CoreName *peer_node,
                                       const FlowmeshSessionInfo *info)
{
    if (info == nullptr) return CORE_ERR;
    PostedSession posted = {};
    posted.session = name_or_empty(session);
    posted.peer = name_or_empty(peer);
    posted.peer_node = name_or_empty(peer_node);
    posted.info_length = sizeof(FlowmeshSessionInfo);
    posted.info = *info;
    return post(set, FLOWMESH_POST_SESSION, &posted, sizeof(posted), nullptr, 0);
}

CoreResult flowmesh_post_service_data(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const CoreName *stream, const void *data, uint64_t length)
{
    if (length != 0 && data == nullptr) return CORE_ERR;
    PostedData posted = {};
    posted.session = name_or_empty(session);
    posted.instance = name_or_empty(instance);
    posted.owner = name_or_empty(owner);
    posted.stream = name_or_empty(stream);
    posted.length = length;
    return post(set, FLOWMESH_POST_SERVICE_DATA, &posted, sizeof(posted), data, length);
}

CoreResult flowmesh_post_stream_state(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const FlowmeshKindBlock *kind, uint32_t key_kind, uint32_t state)
{
    PostedState posted = {};
    posted.session = name_or_empty(session);
    posted.instance = name_or_empty(instance);
    posted.owner = name_or_empty(owner);
    if (kind != nullptr) posted.kind = *kind;
    posted.key_kind = key_kind;
    posted.state = state;
    return post(set, FLOWMESH_POST_STREAM_STATE, &posted, sizeof(posted), nullptr, 0);
}

CoreResult flowmesh_post_stream_stats(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const CoreName *stream, uint64_t acknowledged, uint64_t delivered)
{
    PostedStats posted = {};
    posted.session = name_or_empty(session);
    posted.instance = name_or_empty(instance);
    posted.owner = name_or_empty(owner);
    posted.stream = name_or_empty(stream);
    posted.counter1 = acknowledged;
    posted.counter2 = delivered;
    return post(set, FLOWMESH_POST_STREAM_STATS, &posted, sizeof(posted), nullptr, 0);
}

void flowmesh_fan_stream_data(FlowmeshEventTableSet *set, FlowmeshStreamEvent *record)
{
    if (record != nullptr) fan_record(set, FLOWMESH_EVENTS_STREAM_DATA, record);
}

void flowmesh_fan_transport(FlowmeshEventTableSet *set, FlowmeshTransportEvent *record)
{
    if (record != nullptr) fan_record(set, FLOWMESH_EVENTS_TRANSPORT, record);
}

uint32_t flowmesh_fan_stream_request(FlowmeshEventTableSet *set, const FlowmeshStreamRequest *request,
                                     FlowmeshStreamParams *params)
{
    if (request == nullptr || params == nullptr) return 0;
    FlowmeshStreamParams result = {};
    result.send_buffer = FLOWMESH_ANSWER_BUFFER;
    result.receive_buffer = FLOWMESH_ANSWER_BUFFER;
    result.flags = params->flags;
    result.kind = params->kind;
    result.id_value = params->id_value;
    result.owner_name = params->owner_name;
    uint32_t accepted = 0;
    FlowmeshStreamRequest delivered = *request;
    fan_out(set, FLOWMESH_EVENTS_STREAM_REQUEST, [&](const FlowmeshCallbacks &callbacks) {
        FlowmeshStreamAnswer answer;
        preset_answer(&answer);
        delivered.user[0] = callbacks.user[0];
        delivered.user[1] = callbacks.user[1];
        // Only a positive answer accepts: a subscriber answering -1 (say,
        // for a session it does not know) must not wipe out the answer of
        // one that accepted before it.
        if (callbacks.callback(&delivered, &answer) <= 0) return;
        ++accepted;
        result.send_buffer = clamp_buffer(answer.send_buffer);
        result.receive_buffer = clamp_buffer(answer.receive_buffer);
        result.word = answer.word;
        result.id_value = answer.id_value;
        result.rate = answer.rate;
        result.min_bitrate = answer.min_bitrate;
        result.max_bitrate = answer.max_bitrate;
        result.min_rto_ms = answer.min_rto_ms;
        result.max_rto_ms = answer.max_rto_ms;
        memcpy(result.frame_rate, answer.frame_rate, sizeof(result.frame_rate));
        memcpy(result.second_frame_rate, answer.second_frame_rate, sizeof(result.second_frame_rate));
        result.flags |= answer.flags;
        result.kind.kind |= answer.kind_bits;
        if (core_name_is_empty(&result.owner_name)) result.owner_name = answer.owner_name;
    });
    *params = result;
    return accepted;
}

// ---- operations on the process's core ----

namespace {

uint64_t register_in(uint32_t table, const FlowmeshCallbacks *callbacks)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return 0;
    uint64_t token = flowmesh_register_callbacks(core->events, table, callbacks);
    flowmesh_core_release(core);
    return token;
}

void unregister_in(uint32_t table, uint64_t token)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return;
    flowmesh_unregister_callbacks(core->events, table, token);
    flowmesh_core_release(core);
}

}  // namespace

uint64_t flowmesh_register_session_callbacks(const FlowmeshCallbacks *callbacks)
{
    return register_in(FLOWMESH_EVENTS_SESSION, callbacks);
}

uint64_t flowmesh_register_data_callbacks(const FlowmeshCallbacks *callbacks)
{
    return register_in(FLOWMESH_EVENTS_STREAM_DATA, callbacks);
}

uint64_t flowmesh_register_state_callbacks(const FlowmeshCallbacks *callbacks)
{
    return register_in(FLOWMESH_EVENTS_STREAM_STATE, callbacks);
}

uint64_t flowmesh_register_request_callbacks(const FlowmeshCallbacks *callbacks)
{
    return register_in(FLOWMESH_EVENTS_STREAM_REQUEST, callbacks);
}

void flowmesh_unregister_data_callbacks(uint64_t token) { unregister_in(FLOWMESH_EVENTS_STREAM_DATA, token); }

void flowmesh_unregister_state_callbacks(uint64_t token) { unregister_in(FLOWMESH_EVENTS_STREAM_STATE, token); }

void flowmesh_unregister_request_callbacks(uint64_t token)
{
    unregister_in(FLOWMESH_EVENTS_STREAM_REQUEST, token);
}

CoreResult flowmesh_core_create(const FlowmeshConfig *config) { return flowmesh_core_build(config); }

CoreResult flowmesh_set_state(int state)
{
    if (state == 1) return CORE_ERR_UNSUPPORTED;
    if (state != 0 && state != 2) return CORE_ERR_INVALID;
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    CoreResult result = flowmesh_core_change_state(core, state);
    flowmesh_core_release(core);
    return result;
}
