// The peer store of an adapter instance: one FlowmeshPeer per node this
// instance shares (or is agreeing) a session key with.
//
// A peer is keyed by its data address and owns the queue through which its
// received datagrams reach the datagram callback (a consumer task on the
// instance executor, batches of up to 1024). The handshake (handshake.h)
// inserts peers after a verified identity block or key message; the store's
// create callback reports the peer as appeared and, on the key-sending
// side, ready, through the peer callback of the engine configuration. The
// dispatch consumer looks senders up here; the discovery loop expires
// unconfirmed peers and resends key messages; the engine's confirm and
// disconnect operations mark peers. Tests and the node tool may also insert
// peers without a key (no ready report is made for them).
//
// Stores follow the lookup protocol of core/store.h: find returns a peer
// with a reader reference of the instance's peer store that the caller
// gives back with flowmesh_peer_release. The create callback runs under the
// store's lock, so the peer callback must not call back into this store on
// that thread. Flags are one atomic word; a peer is dropped (and reported
// gone) at most once. Results are CoreResult codes.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "core/udp.h"
#include "flowmesh/netcrypto/key_message.h"
#include "flowmesh/transport.h"

struct FlowmeshAdapterInstance;

// FlowmeshPeer.flags
enum : uint32_t {
    FLOWMESH_PEER_READY_REPORTED = 0x01,
    FLOWMESH_PEER_KEY_TO_SEND = 0x02,  // the discovery key message is due again
    FLOWMESH_PEER_APPEARING = 0x04,
    FLOWMESH_PEER_CONFIRMED = 0x08,
    FLOWMESH_PEER_CLOSING = 0x10,
    FLOWMESH_PEER_DROPPED = 0x20,  // the one drop happened; later drops do nothing
};

// Codes of the peer callback (FlowmeshEngineConfig.peer).
enum FlowmeshPeerEvent : uint32_t {
    FLOWMESH_PEER_OFFERED = 0,   // value 0; data: the peer's identity (CoreName); non-zero refuses
    FLOWMESH_PEER_APPEARED = 1,  // value: key-receiver flag; FlowmeshPeerRecord; non-zero refuses
    FLOWMESH_PEER_READY = 2,     // value: key-receiver flag; FlowmeshPeerReadyRecord; non-zero drops
    FLOWMESH_PEER_GONE = 3,      // value 0; data: 6 bytes, IPv4 then port (network order); answer ignored
};

#define FLOWMESH_PEER_QUEUE_BATCH 1024
// An unconfirmed peer lives this long; a direct-form peer this long before
// the connector gives up on it.
#define FLOWMESH_PEER_EXPIRY_MS 60000
#define FLOWMESH_PEER_DIRECT_DEADLINE_MS 10000

#pragma pack(push, 1)
// What the peer callback is told about a peer.
struct FlowmeshPeerRecord {
    CoreName identity;
    CoreName user_id;
    uint32_t address;  // data address, network order
    uint16_t port;
    uint8_t reserved[6];
};
#pragma pack(pop)

struct FlowmeshPeerReadyRecord {
    FlowmeshPeerRecord peer;
    FlowmeshKeyBlob key;
};

struct FlowmeshPeer {
    CoreStoreItem header;
    std::atomic<uint32_t> flags;  // constructed by the create callback
    uint32_t key_receiver;        // 1: the peer made the key; 0: this side did
    CoreName identity;
    CoreName user_id;
    CoreName broadcast_identity;  // bytes 0..31 of its identity block or key message
    CoreUdpAddr announced;        // discovery form: its discovery socket; direct form: the data address
    CoreUdpAddr data_address;     // the store key
    FlowmeshKeyBlob session_key;
    CoreQueue *queue;
    FlowmeshAdapterInstance *instance;
    // The discovery loop's alone.
    uint64_t resend_count;
    uint64_t next_resend_ms;
    // Read-only once the peer is in the store.
    uint8_t discovery_key_message[NETCRYPTO_KEY_MESSAGE_SIZE];
    uint64_t discovery_key_message_length;
    uint8_t direct_key_message[NETCRYPTO_KEY_MESSAGE_SIZE];
    uint64_t direct_key_message_length;
    uint64_t expiry_ms;           // creation + 60 s
    uint64_t direct_deadline_ms;  // creation + 10 s
    bool made;                    // the create callback succeeded
};

// What a peer is made from. The key sender's key message is built before
// the peer exists, so that no field of a visible peer is written but its
// atomic flags and the discovery loop's resend bookkeeping.
struct FlowmeshPeerInit {
    CoreName identity;
    CoreName user_id;
    CoreName broadcast_identity;
    CoreUdpAddr announced;
    CoreUdpAddr data_address;
    uint32_t key_receiver;
    FlowmeshKeyBlob session_key;  // empty on the key-receiving side
    uint8_t discovery_key_message[NETCRYPTO_KEY_MESSAGE_SIZE];
    uint64_t discovery_key_message_length;
    uint8_t direct_key_message[NETCRYPTO_KEY_MESSAGE_SIZE];
    uint64_t direct_key_message_length;
};

// The store key of a data address: IPv4 then port, network order, then
// zero bytes.
void flowmesh_peer_key(const CoreUdpAddr *address, CoreName *key);

// The instance's peer store (explicit keys, tree index, reclaimed on
// CORE_DEFAULT_EXECUTOR). NULL on failure.
CoreStore *flowmesh_peer_store_create(FlowmeshAdapterInstance *instance);

// Inserts a peer: APPEARED is reported, then (key sender with a key) READY;
// a refusal of either leaves no peer. CORE_OK with the peer under a reader
// reference in *out when `out` is not NULL; CORE_EXISTS when one holds the
// address; CORE_ERR when a report refused it, its queue cannot be made or
// the instance is not running.
CoreResult flowmesh_peer_insert(FlowmeshAdapterInstance *instance, const FlowmeshPeerInit *init,
                                FlowmeshPeer **out = nullptr);

// The live peer at `address` with a reader reference, or NULL.
FlowmeshPeer *flowmesh_peer_find(FlowmeshAdapterInstance *instance, const CoreUdpAddr *address);
// The first live peer with this identity, with a reader reference, or NULL.
FlowmeshPeer *flowmesh_peer_find_by_identity(FlowmeshAdapterInstance *instance,
                                             const uint8_t identity[CORE_NAME_KEY_SIZE]);
void flowmesh_peer_release(FlowmeshAdapterInstance *instance);

// Reports READY once (later calls: CORE_OK, nothing reported). CORE_OK, or
// CORE_ERR when the callback answered non-zero.
CoreResult flowmesh_peer_report_ready(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer);

// Calls the peer callback with the instance's first identity as reporter;
// its answer (0 without a callback).
int flowmesh_peer_report(FlowmeshAdapterInstance *instance, uint32_t code, uint32_t value, const void *data,
                         uint64_t length);

// Removes the peer from the store at once (its address is free for a new
// peer; its queue goes when it is reclaimed). An unconfirmed peer is
// reported GONE; a confirmed one loses its mark silently, the core knowing
// its session ends. Clears the instance's direct target when it is the
// peer's address. The first drop of a peer: CORE_OK; later ones and an
// unknown peer: CORE_ERR_NOT_FOUND.
CoreResult flowmesh_peer_drop(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer);
