// The peer store of an adapter instance, as far as the data path needs it.
//
// A peer is keyed by its data address and owns the queue through which its
// received datagrams reach the datagram callback (a consumer task on the
// instance executor, batches of up to 1024). The dispatch consumer looks a
// sender up here; the engine's confirm and disconnect operations mark
// peers. The handshake module makes peers from identity blocks and key
// messages, reports them through the peer callback and expires them; until
// it lands, peers are inserted directly (the node tool's "peer" command and
// the tests do this), with no report.
//
// Stores follow the lookup protocol of core/store.h: find returns a peer
// with a reader reference of the instance's peer store that the caller
// gives back with flowmesh_peer_release. Results are CoreResult codes.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "core/udp.h"

struct FlowmeshAdapterInstance;

// FlowmeshPeer.flags
enum : uint32_t {
    FLOWMESH_PEER_READY_REPORTED = 0x01,
    FLOWMESH_PEER_KEY_TO_SEND = 0x02,
    FLOWMESH_PEER_APPEARING = 0x04,
    FLOWMESH_PEER_CONFIRMED = 0x08,
    FLOWMESH_PEER_CLOSING = 0x10,
};

#define FLOWMESH_PEER_QUEUE_BATCH 1024

struct FlowmeshPeer {
    CoreStoreItem header;
    std::atomic<uint32_t> flags;  // constructed by flowmesh_peer_init
    uint32_t key_receiver;
    CoreName identity;
    CoreName user_id;
    CoreName broadcast_identity;
    CoreUdpAddr announced;
    CoreUdpAddr data_address;  // the store key
    CoreQueue *queue;
    FlowmeshAdapterInstance *instance;
};

// What a peer is made from.
struct FlowmeshPeerInit {
    CoreName identity;
    CoreName user_id;
    CoreName broadcast_identity;
    CoreUdpAddr announced;
    CoreUdpAddr data_address;
    uint32_t key_receiver;
};

// The store key of a data address: IPv4 then port, network order, then
// zero bytes.
void flowmesh_peer_key(const CoreUdpAddr *address, CoreName *key);

// The instance's peer store (explicit keys, tree index, reclaimed on
// CORE_DEFAULT_EXECUTOR). NULL on failure.
CoreStore *flowmesh_peer_store_create(FlowmeshAdapterInstance *instance);

// Inserts a peer. CORE_OK; CORE_EXISTS when one holds the address;
// CORE_ERR when its queue cannot be made or the instance is not running.
CoreResult flowmesh_peer_insert(FlowmeshAdapterInstance *instance, const FlowmeshPeerInit *init);

// The live peer at `address` with a reader reference, or NULL.
FlowmeshPeer *flowmesh_peer_find(FlowmeshAdapterInstance *instance, const CoreUdpAddr *address);
// The first live peer with this identity, with a reader reference, or NULL.
FlowmeshPeer *flowmesh_peer_find_by_identity(FlowmeshAdapterInstance *instance,
                                             const uint8_t identity[CORE_NAME_KEY_SIZE]);
void flowmesh_peer_release(FlowmeshAdapterInstance *instance);

// Removes the peer from the store (its queue goes when it is reclaimed).
// CORE_OK or CORE_ERR_NOT_FOUND.
CoreResult flowmesh_peer_drop(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer);
