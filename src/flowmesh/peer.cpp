// The peer store of an adapter instance: peers keyed by data address, each
// with the queue that carries its datagrams to the datagram callback, and
// the peer reports.
#include "flowmesh/peer.h"

#include <cstring>
#include <new>
#include <openssl/crypto.h>

#include "core/clock.h"
#include "core/log.h"
#include "flowmesh/discovery.h"
#include "flowmesh/instance.h"

namespace {

const char kModule[] = "flowmesh.peer";

// Hands one peer's batch to the datagram callback. The batch leaves the
// queue whatever the callback answers: a datagram is delivered once.
int peer_queue_consumer(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(user[0]);
    const FlowmeshEngineConfig &config = instance->config;
    if (config.datagram != nullptr && *count > 0) config.datagram(entries, *count, config.user, 0);
    return CORE_OK;
}

FlowmeshPeerRecord record_of(const FlowmeshPeer *peer)
{
    FlowmeshPeerRecord record;
    memset(&record, 0, sizeof(record));
    record.identity = peer->identity;
    record.user_id = peer->user_id;
    record.address = peer->data_address.address;
    record.port = peer->data_address.port;
    return record;
}

int peer_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(*user);
    auto *init = static_cast<const FlowmeshPeerInit *>(arg);
    auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
    new (&peer->flags) std::atomic<uint32_t>(FLOWMESH_PEER_APPEARING);
    peer->key_receiver = init->key_receiver;
    peer->identity = init->identity;
    peer->user_id = init->user_id;
    peer->broadcast_identity = init->broadcast_identity;
    peer->announced = init->announced;
    peer->data_address = init->data_address;
    peer->session_key = init->session_key;
    memcpy(peer->discovery_key_message, init->discovery_key_message, sizeof(peer->discovery_key_message));
    peer->discovery_key_message_length = init->discovery_key_message_length;
    memcpy(peer->direct_key_message, init->direct_key_message, sizeof(peer->direct_key_message));
    peer->direct_key_message_length = init->direct_key_message_length;
    peer->instance = instance;

    const FlowmeshPeerRecord record = record_of(peer);
    if (flowmesh_peer_report(instance, FLOWMESH_PEER_APPEARED, peer->key_receiver, &record, sizeof(record)) != 0)
        return -1;
    peer->flags.store(0);

    CoreQueueConfig config = {};
    config.batch = FLOWMESH_PEER_QUEUE_BATCH;
    config.pause_ms = 100;
    config.executor = instance->executor;
    config.pool = instance->pool_names[1];
    config.consumer = peer_queue_consumer;
    config.user[0] = instance;
    peer->queue = core_queue_create(&config);
    if (peer->queue == nullptr) return -1;
    // The key sender has its key now; a peer seeded without one is never
    // reported ready.
    if (peer->key_receiver == 0 && peer->session_key.length != 0 &&
        flowmesh_peer_report_ready(instance, peer) != CORE_OK)
        return -1;
    const uint64_t now = core_clock_mono_ms();
    peer->expiry_ms = now + FLOWMESH_PEER_EXPIRY_MS;
    peer->direct_deadline_ms = now + FLOWMESH_PEER_DIRECT_DEADLINE_MS;
    peer->made = true;
    return 0;
}

void peer_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
    // The node's discovery entry goes with its peer, so that its next
    // announcement starts a fresh handshake. A refused peer leaves the
    // entry alone: the node is still on the network.
    if (peer->made) flowmesh_discovery_forget(peer->instance, peer->broadcast_identity.key);
    core_queue_destroy(&peer->queue);
    OPENSSL_cleanse(&peer->session_key, sizeof(peer->session_key));
}

}  // namespace

void flowmesh_peer_key(const CoreUdpAddr *address, CoreName *key)
{
    memset(key->key, 0, sizeof(key->key));
    memcpy(key->key, &address->address, 4);
    memcpy(key->key + 4, &address->port, 2);
    core_name_make(key);
}

CoreStore *flowmesh_peer_store_create(FlowmeshAdapterInstance *instance)
{
    CoreStoreConfig config = {};
    config.item_size = sizeof(FlowmeshPeer);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = peer_init;
    config.destroy = peer_destroy;
    core_name_format(&config.executor, "%s", CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    config.user = instance;
    return core_store_create(&config);
}

CoreResult flowmesh_peer_insert(FlowmeshAdapterInstance *instance, const FlowmeshPeerInit *init, FlowmeshPeer **out)
{
    if (out != nullptr) *out = nullptr;
    if (instance == nullptr || init == nullptr || instance->peers == nullptr) return CORE_ERR;
    if (!(instance->state.load() & FLOWMESH_INSTANCE_RUNNING)) return CORE_ERR;
    CoreName key;
    flowmesh_peer_key(&init->data_address, &key);
    CoreStoreItem *item = nullptr;
    CoreResult result = core_store_insert(instance->peers, &key, nullptr, const_cast<FlowmeshPeerInit *>(init),
                                          out != nullptr ? &item : nullptr, out != nullptr ? 1 : 0);
    if (result < 0) core_log(CORE_LOG_INFO, kModule, "a peer was not inserted (%s)", core_result_name(result));
    if (out != nullptr && result == CORE_OK) {
        *out = reinterpret_cast<FlowmeshPeer *>(item);
    } else if (out != nullptr && result == CORE_EXISTS) {
        core_store_unref(instance->peers);
    }
    return result == CORE_OK || result == CORE_EXISTS ? result : CORE_ERR;
}

FlowmeshPeer *flowmesh_peer_find(FlowmeshAdapterInstance *instance, const CoreUdpAddr *address)
{
    if (instance == nullptr || instance->peers == nullptr || address == nullptr) return nullptr;
    CoreName key;
    flowmesh_peer_key(address, &key);
    return reinterpret_cast<FlowmeshPeer *>(core_store_lookup(instance->peers, key.key));
}

FlowmeshPeer *flowmesh_peer_find_by_identity(FlowmeshAdapterInstance *instance,
                                             const uint8_t identity[CORE_NAME_KEY_SIZE])
{
    if (instance == nullptr || instance->peers == nullptr || identity == nullptr) return nullptr;
    for (CoreStoreItem *item = core_store_first(instance->peers); item != nullptr;
         item = core_store_next(instance->peers, item, 1)) {
        auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
        // The walk's reference becomes the caller's.
        if (core_compare_key32(peer->identity.key, identity) == 0) return peer;
    }
    return nullptr;
}

void flowmesh_peer_release(FlowmeshAdapterInstance *instance)
{
    if (instance != nullptr && instance->peers != nullptr) core_store_unref(instance->peers);
}

int flowmesh_peer_report(FlowmeshAdapterInstance *instance, uint32_t code, uint32_t value, const void *data,
                         uint64_t length)
{
    const FlowmeshEngineConfig &config = instance->config;
    if (config.peer == nullptr) return 0;
    return config.peer(&instance->node.first_identity, code, value, data, length, config.user);
}

CoreResult flowmesh_peer_report_ready(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer)
{
    if (instance == nullptr || peer == nullptr) return CORE_ERR;
    if (peer->flags.fetch_or(FLOWMESH_PEER_READY_REPORTED) & FLOWMESH_PEER_READY_REPORTED) return CORE_OK;
    auto *ready = new (std::nothrow) FlowmeshPeerReadyRecord{};
    if (ready == nullptr) return CORE_ERR;
    ready->peer = record_of(peer);
    ready->key = peer->session_key;
    const int answer = flowmesh_peer_report(instance, FLOWMESH_PEER_READY, peer->key_receiver, ready, sizeof(*ready));
    OPENSSL_cleanse(ready, sizeof(*ready));
    delete ready;
    return answer == 0 ? CORE_OK : CORE_ERR;
}

CoreResult flowmesh_peer_drop(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer)
{
    if (instance == nullptr || peer == nullptr || instance->peers == nullptr) return CORE_ERR_NOT_FOUND;
    const uint32_t flags = peer->flags.fetch_or(FLOWMESH_PEER_DROPPED);
    if (flags & FLOWMESH_PEER_DROPPED) return CORE_ERR_NOT_FOUND;
    // A connect may set the target meanwhile: only this peer's is cleared.
    uint64_t target = flowmesh_endpoint_pack(peer->data_address);
    if (instance->config.configuration.flags & FLOWMESH_MODE_DIRECT)
        instance->direct_target.compare_exchange_strong(target, 0);
    if (flags & FLOWMESH_PEER_CONFIRMED) {
        peer->flags.fetch_and(~FLOWMESH_PEER_CONFIRMED);
    } else {
        uint8_t gone[6];
        memcpy(gone, &peer->data_address.address, 4);
        memcpy(gone + 4, &peer->data_address.port, 2);
        flowmesh_peer_report(instance, FLOWMESH_PEER_GONE, 0, gone, sizeof(gone));
    }
    CoreName key;
    flowmesh_peer_key(&peer->data_address, &key);
    return core_store_remove(instance->peers, key.key);
}
