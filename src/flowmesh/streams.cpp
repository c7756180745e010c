#include "flowmesh/streams.h"

#include <algorithm>
#include <cstring>

#include "core/handle.h"
#include "core/names.h"
#include "core/pool.h"
#include "core/random.h"
#include "flowmesh/datagram.h"
#include "flowmesh/names.h"

namespace {

constexpr uint32_t kTableFirst[2] = {0, FLOWMESH_STREAM_FIRST_ID};
constexpr uint32_t kTableCount[2] = {FLOWMESH_STREAM_FIRST_ID, 65536 - FLOWMESH_STREAM_FIRST_ID};

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

// Initial sequence numbers lie in 1..2^29 so that a reliable stream's
// numbers stay far from the wrap for any realistic transfer.
uint64_t draw_initial_sequence()
{
    const uint64_t v = core_random_u64() % 0x20000001ull;
    return v == 0 ? 1 : v;
}

void id_key(uint16_t id, CoreName *key)
{
    memset(key, 0, sizeof(*key));
    flowmesh_put_be16(key->key, id);
}

// Hands a batch of routed records to the entry's transport. The manager is
// acquired by handle: the queue may outlive a manager on its way out.
int stream_queue_consumer(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    const uint64_t manager_handle = reinterpret_cast<uintptr_t>(user[0]);
    auto *manager = static_cast<FlowmeshStreamManager *>(core_handle_acquire(network_table(), manager_handle));
    if (manager == nullptr) return CORE_ERR;
    const uint16_t id = static_cast<uint16_t>(entries[0].type);
    FlowmeshStreamEntry *entry = flowmesh_stream_find(manager, id, 1);
    if (entry != nullptr) {
        flowmesh_transport_receive(entry->transport.load(), entry->kind, entries, *count);
        flowmesh_stream_release(manager, id);
    }
    // The queue's own user slot keeps the manager alive only by handle; a
    // release that drops the last reference means the manager is going.
    const uint64_t left = core_handle_release(network_table(), manager_handle);
    return left == 0 ? CORE_ERR : CORE_OK;
}

struct EntryArgs {
    uint64_t manager;
};

int entry_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *entry = reinterpret_cast<FlowmeshStreamEntry *>(item);
    const auto *args = static_cast<const EntryArgs *>(arg);
    CoreQueueConfig qc = {};
    qc.batch = FLOWMESH_ROUTE_CHUNK;
    qc.pause_ms = 100;
    core_name_format(&qc.executor, "%s", FLOWMESH_MANAGER_EXECUTOR);
    core_name_format(&qc.pool, "%s", FLOWMESH_MANAGER_POOL);
    qc.consumer = stream_queue_consumer;
    qc.user[0] = reinterpret_cast<void *>(static_cast<uintptr_t>(args->manager));
    entry->manager = args->manager;
    entry->queue = core_queue_create(&qc);
    return entry->queue == nullptr ? 1 : 0;
}

void entry_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *entry = reinterpret_cast<FlowmeshStreamEntry *>(item);
    core_queue_destroy(&entry->queue);
    const uint64_t transport = entry->transport.exchange(0);
    if (transport != 0) core_handle_release(network_table(), transport);
}

void manager_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *m = static_cast<FlowmeshStreamManager *>(object);
    for (CoreStore *&table : m->tables) core_store_destroy(&table);
    core_aes_destroy(&m->header_key);
}

CoreResult build(FlowmeshStreamManager *m, const FlowmeshStreamConnect *p, bool initiator)
{
    if (m == nullptr || p == nullptr || p->table > 1 || p->stream_key == nullptr) return CORE_ERR;
    FlowmeshStreamEntry *entry = flowmesh_stream_find(m, p->local_id, 0);
    if (entry == nullptr) return CORE_DONE;
    CoreStore *table = m->tables[flowmesh_stream_table_of(p->local_id)];
    core_store_lock(table);
    entry->peer_id = p->peer_id;
    core_store_unlock(table);
    if (entry->transport.load() != 0) {
        flowmesh_stream_release(m, p->local_id);
        return CORE_DONE;
    }

    FlowmeshTransportParams tp = {};
    const FlowmeshStreamManagerConfig &c = m->config;
    tp.event_fn = c.event_fn;
    tp.data_fn = c.data_fn;
    tp.send_fn = c.send_fn;
    memcpy(tp.event_context, c.event_context, FLOWMESH_CONTEXT_BYTES);
    memcpy(tp.data_context, c.data_context, FLOWMESH_CONTEXT_BYTES);
    memcpy(tp.send_context, c.send_context, FLOWMESH_CONTEXT_BYTES);
    tp.origin = c.origin;
    tp.session = c.session;
    tp.peer_address = c.peer_address;
    tp.peer_port = c.peer_port;
    tp.local_id = p->local_id;
    tp.peer_id = p->peer_id;
    tp.initial_sequence = entry->initial_sequence;
    tp.sequence_limit = 0ull - 0x10000ull;
    tp.send_buffer = p->send_buffer;
    tp.receive_buffer = p->receive_buffer;
    tp.kind = entry->kind;
    tp.options = p->options | (initiator ? 1u : 0u);
    tp.handshake_ms = 250;
    tp.min_rto_ms = p->min_rto_ms != 0 ? p->min_rto_ms : 1000;
    tp.max_rto_ms = p->max_rto_ms != 0 ? p->max_rto_ms : 10000;
    tp.header_key = c.session_key;
    tp.payload_key = *p->stream_key;
    tp.redundancy_copies = static_cast<uint32_t>(entry->value);
    tp.redundancy_period = static_cast<uint32_t>(entry->value >> 32);
    tp.paced_rate = p->paced_rate;
    tp.min_bitrate = p->min_bitrate;
    tp.max_bitrate = p->max_bitrate;
    tp.local_flags = p->local_flags;
    tp.peer_flags = p->peer_flags;
    tp.user = p->user;
    if (p->frame_rate != nullptr) memcpy(tp.frame_rate, p->frame_rate, sizeof(tp.frame_rate));
    if (p->peak_frame_rate != nullptr) memcpy(tp.peak_frame_rate, p->peak_frame_rate, sizeof(tp.peak_frame_rate));

    const uint64_t transport = flowmesh_transport_create(&tp);
    if (transport == 0) {
        flowmesh_stream_release(m, p->local_id);
        return CORE_ERR;
    }
    // Both nodes may open the same stream at once, so a request and a
    // reply can build for one entry together: one transport is kept.
    uint64_t none = 0;
    if (!entry->transport.compare_exchange_strong(none, transport)) {
        core_handle_release(network_table(), transport);
        flowmesh_stream_release(m, p->local_id);
        return CORE_DONE;
    }
    const CoreResult r = initiator ? flowmesh_transport_connect(transport, entry->kind)
                                   : flowmesh_transport_accept(transport, entry->kind);
    flowmesh_stream_release(m, p->local_id);
    return r;
}

}  // namespace

uint32_t flowmesh_stream_table_of(uint16_t id)
{
    return id < FLOWMESH_STREAM_FIRST_ID ? FLOWMESH_STREAM_TABLE_SERVICE : FLOWMESH_STREAM_TABLE_STREAMS;
}

uint64_t flowmesh_stream_manager_create(const FlowmeshStreamManagerConfig *config)
{
    if (config == nullptr || config->session_key.kind == 0 || network_table() == nullptr) return 0;
    if (config->session_key.length > FLOWMESH_KEY_BLOB_BYTES) return 0;
    FlowmeshStreamManager *m = nullptr;
    const uint64_t handle =
        core_handle_create(network_table(), sizeof(FlowmeshStreamManager), manager_destroy, reinterpret_cast<void **>(&m));
    if (handle == 0) return 0;
    m->handle = handle;
    m->config = *config;
    m->next_initial_sequence.store(draw_initial_sequence());
    m->header_key = core_aes_create(config->session_key.key, config->session_key.length);
    bool ok = m->header_key != nullptr;
    for (uint32_t t = 0; ok && t < 2; ++t) {
        CoreStoreConfig sc = {};
        sc.item_size = sizeof(FlowmeshStreamEntry);
        // Ids are chosen here, round-robin, so the store takes them as
        // explicit keys: a generated lowest-free id would come back at once.
        sc.key_kind = CORE_KEY_EXPLICIT;
        sc.create = entry_init;
        sc.destroy = entry_destroy;
        core_name_format(&sc.executor, "%s", CORE_DEFAULT_EXECUTOR);
        sc.flags = CORE_STORE_TREE;
        m->tables[t] = core_store_create(&sc);
        ok = m->tables[t] != nullptr;
    }
    if (!ok) {
        core_handle_release(network_table(), handle);
        return 0;
    }
    return handle;
}

CoreResult flowmesh_stream_entry_create(FlowmeshStreamManager *manager, uint8_t kind, const uint64_t *value,
                                        uint16_t *id_out, uint32_t table)
{
    if (manager == nullptr || id_out == nullptr || table > 1) return CORE_ERR;
    CoreStore *store = manager->tables[table];
    EntryArgs args = {manager->handle};
    CoreResult result = CORE_ERR;
    core_store_lock(store);
    for (uint32_t tried = 0; tried < kTableCount[table]; ++tried) {
        const uint32_t offset = manager->cursor[table];
        manager->cursor[table] = (offset + 1) % kTableCount[table];
        const uint16_t id = static_cast<uint16_t>(kTableFirst[table] + offset);
        CoreName key;
        id_key(id, &key);
        CoreStoreItem *item = nullptr;
        const CoreResult r = core_store_insert(store, &key, nullptr, &args, &item, 0);
        if (r == CORE_EXISTS || r == CORE_ERR_DELETING) continue;
        if (r != CORE_OK) break;
        auto *entry = reinterpret_cast<FlowmeshStreamEntry *>(item);
        entry->local_id = id;
        entry->peer_id = id;
        entry->initial_sequence = manager->next_initial_sequence.exchange(draw_initial_sequence());
        entry->kind = kind;
        entry->value = value != nullptr ? *value : 0;
        *id_out = id;
        result = CORE_OK;
        break;
    }
    core_store_unlock(store);
    return result;
}

FlowmeshStreamEntry *flowmesh_stream_find(FlowmeshStreamManager *manager, uint16_t id, uint32_t only_with_transport)
{
    if (manager == nullptr) return nullptr;
    CoreStore *store = manager->tables[flowmesh_stream_table_of(id)];
    CoreName key;
    id_key(id, &key);
    auto *entry = reinterpret_cast<FlowmeshStreamEntry *>(core_store_lookup(store, key.key));
    if (entry != nullptr && only_with_transport != 0 && entry->transport.load() == 0) {
        core_store_unref(store);
        return nullptr;
    }
    return entry;
}

void flowmesh_stream_release(FlowmeshStreamManager *manager, uint16_t id)
{
    if (manager == nullptr) return;
    core_store_unref(manager->tables[flowmesh_stream_table_of(id)]);
}

CoreResult flowmesh_stream_remove(FlowmeshStreamManager *manager, uint16_t id)
{
    if (manager == nullptr) return CORE_ERR_NOT_FOUND;
    CoreName key;
    id_key(id, &key);
    return core_store_remove_keep_key(manager->tables[flowmesh_stream_table_of(id)], key.key);
}

CoreResult flowmesh_stream_connect(FlowmeshStreamManager *manager, const FlowmeshStreamConnect *p)
{
    return build(manager, p, true);
}

CoreResult flowmesh_stream_accept(FlowmeshStreamManager *manager, const FlowmeshStreamConnect *p)
{
    return build(manager, p, false);
}

uint64_t flowmesh_route_session_datagrams(FlowmeshStreamManager *manager, const CoreQueueEntry *records, uint64_t count)
{
    if (manager == nullptr || records == nullptr) return 0;
    uint64_t posted = 0;
    CoreQueueEntry work[FLOWMESH_ROUTE_CHUNK];
    for (uint64_t at = 0; at < count; at += FLOWMESH_ROUTE_CHUNK) {
        const uint64_t chunk = std::min<uint64_t>(FLOWMESH_ROUTE_CHUNK, count - at);
        uint64_t n = 0;
        for (uint64_t i = 0; i < chunk; ++i) {
            const CoreQueueEntry &r = records[at + i];
            // A datagram is a header and whole cipher blocks; anything else
            // cannot be ours, and reading a header from it would overrun.
            const bool sound = r.data != nullptr && r.length >= FLOWMESH_RECORD_HEAD + FLOWMESH_HEADER_SIZE &&
                               r.length <= FLOWMESH_RECORD_BUFFER &&
                               (r.length - FLOWMESH_RECORD_HEAD) % CORE_AES_BLOCK == 0;
            uint16_t destination = 0, source = 0;
            if (!sound || flowmesh_datagram_ids(manager->header_key,
                                                static_cast<const uint8_t *>(r.data) + FLOWMESH_RECORD_HEAD,
                                                r.length - FLOWMESH_RECORD_HEAD, &destination, &source) != CORE_OK) {
                manager->malformed.fetch_add(1);
                manager->dropped.fetch_add(1);
                continue;
            }
            CoreQueueEntry &w = work[n++];
            w = CoreQueueEntry{};
            w.type = destination;
            w.flags = source;
            w.length = r.length;
            w.data = r.data;
        }
        // Stable, so each stream's records keep their arrival order: the
        // reliable and media receivers count a reordering as loss.
        std::stable_sort(work, work + n,
                         [](const CoreQueueEntry &a, const CoreQueueEntry &b) { return a.type < b.type; });
        for (uint64_t run = 0; run < n;) {
            uint64_t end = run + 1;
            while (end < n && work[end].type == work[run].type) ++end;
            const uint16_t id = static_cast<uint16_t>(work[run].type);
            FlowmeshStreamEntry *entry = flowmesh_stream_find(manager, id, 1);
            if (entry != nullptr && core_queue_post_batch(entry->queue, work + run, end - run) == 0)
                posted += end - run;
            else
                manager->dropped.fetch_add(end - run);
            if (entry != nullptr) flowmesh_stream_release(manager, id);
            run = end;
        }
    }
    return posted;
}
