#include "engine/relay.h"

#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/log.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/records.h"

namespace {

constexpr const char *kModule = "relay";

std::atomic<EngineRelayStore *> g_store{nullptr};

// Events the store could not take (too short, or no memory), for tests and
// diagnostics.
std::atomic<uint64_t> g_refused{0};

CoreStoreConfig store_config(uint64_t item_size, CoreStoreCreateFn create, CoreStoreDestroyFn destroy)
{
    CoreStoreConfig sc = {};
    sc.item_size = item_size;
    sc.key_kind = CORE_KEY_EXPLICIT;
    sc.create = create;
    sc.destroy = destroy;
    core_name_format(&sc.pool, "%s", CORE_DEFAULT_POOL);
    core_name_format(&sc.executor, "%s", CORE_DEFAULT_EXECUTOR);
    sc.flags = CORE_STORE_TREE;
    return sc;
}

int address_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *a = reinterpret_cast<EngineRelayAddress *>(item);
    a->flags.store(0);
    memcpy(&a->record, arg, sizeof(a->record));
    return 0;
}

int peer_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *p = reinterpret_cast<EngineRelayPeer *>(item);
    p->flags.store(0);
    memcpy(&p->record, arg, sizeof(p->record));
    // Pull-only: only a flush on the event topic's consumer takes messages.
    CoreQueueConfig qc = {};
    qc.batch = 1;
    qc.pause_ms = 100;
    core_name_format(&qc.pool, "%s", CORE_DEFAULT_POOL);
    p->queue = core_queue_create(&qc);
    if (p->queue == nullptr) return 1;
    CoreStoreConfig sc = store_config(sizeof(EngineRelayAddress), address_init, nullptr);
    p->addresses = core_store_create(&sc);
    if (p->addresses == nullptr) {
        core_queue_destroy(&p->queue);
        return 1;
    }
    return 0;
}

void peer_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *p = reinterpret_cast<EngineRelayPeer *>(item);
    if (p->addresses != nullptr) core_store_destroy(&p->addresses);
    if (p->queue != nullptr) core_queue_destroy(&p->queue);
}

void post(uint32_t code, const void *data, uint64_t length)
{
    if (engine_post_event(code, data, length) == 0)
        core_log(CORE_LOG_WARN, kModule, "relayed event 0x%04X could not be posted", code);
}

// Posts every queued message of the peer, oldest first.
void flush(EngineRelayPeer *p)
{
    while (CoreQueueRecord *record = core_queue_pop(p->queue)) {
        const CoreQueueEntry entry = core_queue_record_entry(record);
        post(entry.type, entry.data, entry.length);
        core_queue_record_free(p->queue, &record);
    }
}

void enqueue(EngineRelayPeer *p, uint32_t code, const CoreIoVec *vecs, uint64_t count)
{
    if (core_queue_post(p->queue, nullptr, code, 0, vecs, count) != 0) {
        g_refused.fetch_add(1);
        core_log(CORE_LOG_WARN, kModule, "relayed event 0x%04X lost: no memory", code);
        return;
    }
    if (p->flags.load() & ENGINE_RELAY_READY) flush(p);
}

EngineRelayNodeNames node_names(const EngineRelayPeer *p)
{
    EngineRelayNodeNames names;
    names.nodeId = p->record.nodeId;
    names.peerName = p->record.peerName;
    return names;
}

void address_drop(EngineRelayAddress *a)
{
    if (a->flags.fetch_and(~ENGINE_RELAY_ONLINE) & ENGINE_RELAY_ONLINE)
        post(ENGINE_EVT_NODE_OFFLINE, &a->record, sizeof(a->record));
}

// Reports the peer removed if it was ready, and removes it.
void peer_drop(EngineRelayStore *store, EngineRelayPeer *p)
{
    if (p->flags.fetch_and(~ENGINE_RELAY_READY) & ENGINE_RELAY_READY) {
        const EngineRelayNodeNames names = node_names(p);
        post(ENGINE_EVT_NODE_REMOVED, &names, sizeof(names));
    }
    core_store_remove(store->peers, p->header.key.key);
}

EngineRelayPeer *find_peer(EngineRelayStore *store, const CoreName &node)
{
    return reinterpret_cast<EngineRelayPeer *>(core_store_lookup(store->peers, node.key));
}

// Event payloads arrive as raw bytes from any part of the engine; a record
// shorter than its layout is dropped rather than read past its end.
template <typename T>
bool read_record(const CoreQueueEntry *message, T *out)
{
    if (message->data == nullptr || message->length < sizeof(T)) {
        g_refused.fetch_add(1);
        return false;
    }
    memcpy(out, message->data, sizeof(T));
    return true;
}

void on_bind_event(EngineRelayStore *store, const CoreQueueEntry *message)
{
    EngineBindRecord in;
    if (!read_record(message, &in)) return;
    EngineRelayPeer *p = find_peer(store, in.desc.peerNode);
    if (p == nullptr) return;
    // Rebuilt field by field so that whatever the poster left between the
    // fields does not travel on to the interface.
    EngineBindRecord out;
    memset(&out, 0, sizeof(out));
    out.kind = in.kind;
    engine_media_desc_make(&out.desc, &in.desc.channel, &in.desc.peerNode, &in.desc.session,
                           &in.desc.bindSequence);
    memcpy(out.sourceName, in.sourceName, strnlen(in.sourceName, sizeof(in.sourceName) - 1));
    const CoreIoVec vec = {sizeof(out), &out};
    enqueue(p, engine_relayed_bind_code(message->type), &vec, 1);
    core_store_unref(store->peers);
}

void on_peer_found(EngineRelayStore *store, const CoreQueueEntry *message)
{
    EnginePeerRecord record;
    if (!read_record(message, &record)) return;
    CoreStoreItem *item = nullptr;
    const CoreResult r = core_store_insert(store->peers, &record.nodeId, nullptr, &record, &item, 1);
    if (r != CORE_OK && r != CORE_EXISTS) {
        g_refused.fetch_add(1);
        core_log(CORE_LOG_WARN, kModule, "peer entry could not be made (%d)", r);
        return;
    }
    auto *p = reinterpret_cast<EngineRelayPeer *>(item);
    CoreStoreItem *address = nullptr;
    const CoreResult a = core_store_insert(p->addresses, &record.sessionName, nullptr, &record, &address, 0);
    if (a != CORE_OK && a != CORE_EXISTS) g_refused.fetch_add(1);
    core_store_unref(store->peers);
}

void on_peer_lost(EngineRelayStore *store, const CoreQueueEntry *message)
{
    EnginePeerRecord record;
    if (!read_record(message, &record)) return;
    EngineRelayPeer *p = find_peer(store, record.nodeId);
    if (p == nullptr) return;
    core_store_lock(p->addresses);
    const uint32_t addresses = p->addresses->live;
    core_store_unlock(p->addresses);
    auto *a = reinterpret_cast<EngineRelayAddress *>(core_store_lookup(p->addresses, record.sessionName.key));
    if (a != nullptr) {
        address_drop(a);
        core_store_remove(p->addresses, a->header.key.key);
        core_store_unref(p->addresses);
        if (addresses == 1) peer_drop(store, p);
    }
    core_store_unref(store->peers);
}

void on_peer_property(EngineRelayStore *store, const CoreQueueEntry *message)
{
    EngineNodeProperty in;
    if (!read_record(message, &in)) return;
    if (in.length > message->length - sizeof(in)) {
        g_refused.fetch_add(1);
        return;
    }
    EngineRelayPeer *p = find_peer(store, in.record.nodeId);
    if (p == nullptr) return;
    EngineRelayFieldChange header;
    memset(&header, 0, sizeof(header));
    header.nodeId = in.record.nodeId;
    header.name = in.name;
    header.length = in.length;
    const CoreIoVec vecs[2] = {{sizeof(header), &header},
                               {in.length, static_cast<const uint8_t *>(message->data) + sizeof(in)}};
    enqueue(p, ENGINE_EVT_NODE_FIELD_CHANGED, vecs, 2);
    core_store_unref(store->peers);
}

void on_peer_changed(EngineRelayStore *store, const CoreQueueEntry *message)
{
    EnginePeerRecord record;
    if (!read_record(message, &record)) return;
    EngineRelayPeer *p = find_peer(store, record.nodeId);
    if (p == nullptr) return;
    if (!(p->flags.fetch_or(ENGINE_RELAY_READY) & ENGINE_RELAY_READY)) {
        const EngineRelayNodeNames names = node_names(p);
        post(ENGINE_EVT_NODE_READY, &names, sizeof(names));
    }
    auto *a = reinterpret_cast<EngineRelayAddress *>(core_store_lookup(p->addresses, record.sessionName.key));
    if (a != nullptr) {
        flush(p);
        if (!(a->flags.fetch_or(ENGINE_RELAY_ONLINE) & ENGINE_RELAY_ONLINE))
            post(ENGINE_EVT_NODE_ONLINE, &a->record, sizeof(a->record));
        core_store_unref(p->addresses);
    }
    core_store_unref(store->peers);
}

}  // namespace

CoreResult engine_relay_create(const CoreName *nodeKey)
{
    if (g_store.load() != nullptr || engine_node_running() == nullptr) return CORE_ERR;
    const uint64_t now_ms = core_clock_mono_ms();
    auto *store = new (std::nothrow) EngineRelayStore();
    if (store == nullptr) return CORE_ERR;
    core_name_format(&store->eventTopic, "%s", ENGINE_EVENT_TOPIC);
    store->created_ms = now_ms;
    if (nodeKey != nullptr) store->nodeKey = *nodeKey;
    CoreStoreConfig sc = store_config(sizeof(EngineRelayPeer), peer_init, peer_fini);
    store->peers = core_store_create(&sc);
    if (store->peers != nullptr) {
        CoreTopicSubscription subscription = {engine_relay_on_event, {store, nullptr}};
        store->subscription = core_topic_subscribe(&store->eventTopic, &subscription);
    }
    EngineRelayStore *expected = nullptr;
    if (store->subscription == 0 || !g_store.compare_exchange_strong(expected, store)) {
        if (store->subscription != 0) core_topic_unsubscribe(&store->eventTopic, store->subscription);
        if (store->peers != nullptr) core_store_destroy(&store->peers);
        delete store;
        return CORE_ERR;
    }
    return CORE_OK;
}

void engine_relay_destroy(void)
{
    EngineRelayStore *store = g_store.exchange(nullptr);
    if (store == nullptr) return;
    // Unsubscribing waits for a delivery in progress, so no handler still
    // uses the peer store when it goes.
    core_topic_unsubscribe(&store->eventTopic, store->subscription);
    core_store_destroy(&store->peers);
    delete store;
}

EngineRelayStore *engine_relay_store(void) { return g_store.load(); }

CoreResult engine_relay_on_event(const CoreQueueEntry *message, void **user)
{
    auto *store = static_cast<EngineRelayStore *>(user[0]);
    if (store == nullptr || message == nullptr) return CORE_OK;
    const uint32_t code = message->type;
    if (engine_relayed_bind_code(code) != 0) {
        on_bind_event(store, message);
    } else if (code == ENGINE_EVT_PEER_FOUND) {
        on_peer_found(store, message);
    } else if (code == ENGINE_EVT_PEER_LOST) {
        on_peer_lost(store, message);
    } else if (code == ENGINE_EVT_PEER_PROPERTY) {
        on_peer_property(store, message);
    } else if (code == ENGINE_EVT_PEER_CHANGED) {
        on_peer_changed(store, message);
    }
    return CORE_OK;
}

void engine_relay_drop_all(void)
{
    EngineRelayStore *store = g_store.load();
    if (store == nullptr) return;
    for (CoreStoreItem *item = core_store_next(store->peers, nullptr, 1); item != nullptr;
         item = core_store_next(store->peers, item, 1)) {
        auto *p = reinterpret_cast<EngineRelayPeer *>(item);
        for (CoreStoreItem *it = core_store_next(p->addresses, nullptr, 1); it != nullptr;
             it = core_store_next(p->addresses, it, 1)) {
            auto *a = reinterpret_cast<EngineRelayAddress *>(it);
            address_drop(a);
            core_store_remove(p->addresses, a->header.key.key);
        }
        peer_drop(store, p);
    }
}

uint64_t engine_relay_refused_count(void) { return g_refused.load(); }
