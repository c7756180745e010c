// Which adapters the node may run on and which peers it refuses.
//
// The allow-list is the core's 16 adapter slots, read and written only
// under the core's allow-list lock; used slots stay contiguous from slot 0
// and a slot is free when its id text is empty. The engine adds entries
// itself and this module removes them and hands a snapshot to each start.
// The deny list is a store of FlowmeshDenyEntry items, each naming one key:
// an address (any port when the port is 0), an endpoint, or a node id.
// Blocking inserts an entry and drops matching sessions at once; admission
// of a new peer (engine-manager threads) and the node-id check (session
// executor) walk the list concurrently with blocking and unblocking.
//
// Results are CoreResult codes: 0 done or admitted; -1 not found or
// denied; -81 a denied node id; -91 an empty key; -100 no core or no entry.
#pragma once

#include <cstdint>

#include "core/adapters.h"
#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "core/udp.h"
#include "flowmesh/interface.h"

struct FlowmeshCore;

// Payload of a deny store item. Addresses and ports in network byte order;
// 0 means "not used" (a port of 0 with an address: every port).
struct FlowmeshDenyEntry {
    uint32_t address;
    uint16_t port;
    uint32_t endpoint_address;
    uint16_t endpoint_port;
    CoreName node_id;  // all zero: not used
};

struct FlowmeshDenyItem {
    CoreStoreItem header;
    FlowmeshDenyEntry entry;
};

// The deny store of a core: generated 32-bit keys, reclaimed on `executor`.
// NULL on failure.
CoreStore *flowmesh_deny_store_create(const CoreName *executor);

// Empties the slot whose id text equals the record's exactly and closes
// the gap, keeping the order of the rest. 0, or -1 when no slot has that
// name (or an argument is NULL).
CoreResult flowmesh_core_remove_adapter(FlowmeshCore *core, const CoreNetAdapter *adapter);

// Copies the 16 slots into config->adapters with each copy's link word
// cleared.
void flowmesh_core_snapshot_adapters(FlowmeshCore *core, FlowmeshConfig *config);

// Deny-list entries on the process's core; matching sessions are dropped.
// 0; -91 for an all-zero key; -100 without a core or when the entry cannot
// be made.
CoreResult flowmesh_block_endpoint(const CoreUdpAddr *endpoint);
CoreResult flowmesh_block_address(const CoreUdpAddr *address);
CoreResult flowmesh_block_node(const CoreName *node_id);

// Whether the deny list lets a newly reported peer (its data address and
// its endpoint) get a session: 0 admitted, -1 denied. Entries that name
// only a node id never deny here.
CoreResult flowmesh_core_admit_peer(FlowmeshCore *core, const CoreUdpAddr *peer, const CoreUdpAddr *endpoint);

// Whether the node id a peer sent is denied: 0, or -81 (the session is then
// deleted before it is reported up).
CoreResult flowmesh_core_check_node(FlowmeshCore *core, const uint8_t node_id[CORE_NAME_KEY_SIZE]);

// 1 when a session with this peer address, endpoint and node id is
// dropped by the entry (the block-time rule), else 0. For the sessions
// module's walk.
int flowmesh_deny_matches_session(const FlowmeshDenyEntry *entry, const CoreUdpAddr *peer,
                                  const CoreUdpAddr *endpoint, const CoreName *peer_node);
