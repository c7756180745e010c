// The peer relay store: the raw presence and bind events turned into one
// ordered stream of events per peer node.
//
// Presence reports peers address by address (found, lost, changed,
// property) and the binding side reports bind progress per channel. The
// interface builds its list of remote nodes from the relayed events alone,
// so it must see a node before anything about it: ready first, then the
// properties and bindings that waited for it, then that an address is
// online. The store keeps one entry per peer node (keyed by its node id)
// with a pull-only queue of relayed events not yet posted, and one entry
// per address (keyed by the session name) inside it.
//
// The store is made when the engine starts with a new node key and lives
// until the engine is destroyed; going offline empties it. Relaying runs on
// the event topic's consumer thread, one event at a time, so events of one
// peer keep their order; going offline runs on the command topic's consumer
// and walks the same stores, whose locks and reader references keep the two
// apart. Results: CORE_OK, CORE_ERR (-100).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "engine/node.h"

// Flags of a peer entry and an address entry.
enum : uint32_t {
    ENGINE_RELAY_READY = 0x1,   // peer: ENGINE_EVT_NODE_READY was posted
    ENGINE_RELAY_ONLINE = 0x1,  // address: ENGINE_EVT_NODE_ONLINE was posted
};

struct EngineRelayAddress {
    CoreStoreItem header;  // key: the session name
    std::atomic<uint32_t> flags;
    EnginePeerRecord record;
};

struct EngineRelayPeer {
    CoreStoreItem header;  // key: the peer's node id
    std::atomic<uint32_t> flags;
    EnginePeerRecord record;  // the record that made the entry
    CoreQueue *queue;         // relayed events waiting for the peer to be ready
    CoreStore *addresses;     // EngineRelayAddress items
};

struct EngineRelayStore {
    CoreStore *peers;  // EngineRelayPeer items
    uint64_t subscription;
    CoreName eventTopic;
    uint64_t created_ms;  // monotonic
    CoreName nodeKey;     // the node key of the start that made the store
};

// Payload of ENGINE_EVT_NODE_READY and ENGINE_EVT_NODE_REMOVED: the peer's
// node id and its name in the network library.
struct EngineRelayNodeNames {
    CoreName nodeId;
    CoreName peerName;
};
static_assert(sizeof(EngineRelayNodeNames) == 272, "node ready and removed carry 272 bytes");

// Header of ENGINE_EVT_NODE_FIELD_CHANGED; `length` value bytes follow.
struct EngineRelayFieldChange {
    CoreName nodeId;
    CoreName name;
    uint64_t length;
};
static_assert(sizeof(EngineRelayFieldChange) == 280, "field change header is 280 bytes");

// Makes and publishes the store, subscribed to the event topic of the
// running engine node. CORE_ERR when a store exists, no node runs, or a
// step fails (what was made is undone).
CoreResult engine_relay_create(const CoreName *nodeKey);

// Unsubscribes and destroys the published store; nothing when none exists.
// Must not run on the event topic's consumer.
void engine_relay_destroy(void);

// The published store, or NULL.
EngineRelayStore *engine_relay_store(void);

// The event topic's subscriber (user[0]: the store).
CoreResult engine_relay_on_event(const CoreQueueEntry *message, void **user);

// Going offline: every address is reported offline (if it was online) and
// removed, then every peer reported removed (if it was ready) and removed.
void engine_relay_drop_all(void);

// Events dropped because they were shorter than their record or could not
// be queued.
uint64_t engine_relay_refused_count(void);
