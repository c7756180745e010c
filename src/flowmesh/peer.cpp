// The peer store of an adapter instance: peers keyed by data address, each
// with the queue that carries its datagrams to the datagram callback.
#include "flowmesh/peer.h"

#include <cstring>
#include <new>

#include "core/log.h"
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

int peer_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(*user);
    auto *init = static_cast<const FlowmeshPeerInit *>(arg);
    auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
    new (&peer->flags) std::atomic<uint32_t>(0);
    peer->key_receiver = init->key_receiver;
    peer->identity = init->identity;
    peer->user_id = init->user_id;
    peer->broadcast_identity = init->broadcast_identity;
    peer->announced = init->announced;
    peer->data_address = init->data_address;
    peer->instance = instance;

    CoreQueueConfig config = {};
    config.batch = FLOWMESH_PEER_QUEUE_BATCH;
    config.pause_ms = 100;
    config.executor = instance->executor;
    config.pool = instance->pool_names[1];
    config.consumer = peer_queue_consumer;
    config.user[0] = instance;
    peer->queue = core_queue_create(&config);
    return peer->queue != nullptr ? 0 : -1;
}

void peer_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
    core_queue_destroy(&peer->queue);
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

CoreResult flowmesh_peer_insert(FlowmeshAdapterInstance *instance, const FlowmeshPeerInit *init)
{
    if (instance == nullptr || init == nullptr || instance->peers == nullptr) return CORE_ERR;
    if (!(instance->state.load() & FLOWMESH_INSTANCE_RUNNING)) return CORE_ERR;
    CoreName key;
    flowmesh_peer_key(&init->data_address, &key);
    CoreResult result = core_store_insert(instance->peers, &key, nullptr, const_cast<FlowmeshPeerInit *>(init),
                                          nullptr, 0);
    if (result < 0) core_log(CORE_LOG_WARN, kModule, "a peer could not be inserted (%s)", core_result_name(result));
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

CoreResult flowmesh_peer_drop(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer)
{
    if (instance == nullptr || peer == nullptr || instance->peers == nullptr) return CORE_ERR_NOT_FOUND;
    CoreName key;
    flowmesh_peer_key(&peer->data_address, &key);
    return core_store_remove(instance->peers, key.key);
}
