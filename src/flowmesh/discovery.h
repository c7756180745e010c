// LAN discovery of an adapter instance: the listen socket, the discovered-
// node store, and the three threads that announce this node and learn the
// nodes that announce themselves on the adapter's subnet.
//
// Announcements (32 bytes, announce.h) leave the discovery socket for the
// eight broadcast targets at the announce mode's interval, and, once a node
// has been known for 5 s, also for that node's discovery socket. Each
// announcement a receiver can recompute from its source address makes or
// flags a FlowmeshDiscoveredNode; every flagged node not yet connected is
// sent this node's discovery identity block, which starts the handshake
// (handshake.h). Identity blocks and key messages come back to the
// discovery socket and are handed to the handshake.
//
// Threads, per instance in LAN discovery mode, all ending within 250 ms of
// the running bit's clear: the listen reader (listen socket -> the small
// pipes of every instance of the engine whose subnet holds the sender), the
// discovery reader (discovery socket -> small or large pipe) and the
// discovery loop, which alone drains the pipes, runs the handshake of the
// discovery form, announces, expires nodes and unconfirmed peers and
// resends key messages. They meet only in the two pipes and the discovery
// store (its own lock and reader references). The engine's confirm and the
// peer store's destroy callback also reach the store through
// flowmesh_discovery_mark_connected and flowmesh_discovery_forget. Every
// datagram from the network is length-checked; refused ones are counted.
// Functions return CoreResult codes as stated.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/result.h"
#include "core/store.h"
#include "core/udp.h"
#include "flowmesh/netcrypto/announce.h"

struct FlowmeshAdapterInstance;

// FlowmeshDiscoveredNode.flags
enum : uint32_t {
    FLOWMESH_NODE_SEND_IDENTITY = 0x1,  // an announcement asks for our identity block
    FLOWMESH_NODE_CONNECTED = 0x2,      // its peer is confirmed: no more blocks or unicast announcements
};

#define FLOWMESH_DISCOVERY_MAX_NODES 65536
#define FLOWMESH_NODE_EXPIRY_MS 60000
// From then on a known node also gets announcements sent to it directly,
// for segments that drop broadcasts.
#define FLOWMESH_NODE_UNICAST_MS 5000
#define FLOWMESH_EXPIRY_PASS_MS 30000
#define FLOWMESH_DRAIN_MS 200
#define FLOWMESH_KEY_PASS_MS 500
#define FLOWMESH_DISCOVERY_LOOP_MS 100
#define FLOWMESH_DISCOVERY_WAIT_MS 250

// Item of an instance's discovery store, keyed by the node's announcement.
struct FlowmeshDiscoveredNode {
    CoreStoreItem header;
    std::atomic<uint32_t> flags;
    CoreUdpAddr address;   // the node's discovery socket, network order
    uint64_t expiry_ms;    // creation + 60 s; an announcement does not extend it
    uint64_t unicast_ms;   // creation + 5 s
};

// Counters of the discovery path; monotonic, read at any time.
struct FlowmeshDiscoveryCounters {
    uint64_t announcements_sent;      // left the discovery socket
    uint64_t announcements_accepted;  // new or known foreign nodes
    uint64_t announcements_refused;   // wrong length, or not recomputable from the source
    uint64_t unknown_sender;          // large datagrams whose first 32 bytes name no known node
    uint64_t pipe_full;               // a reader could not queue a datagram, or the store was full
    uint64_t identity_blocks_sent;
    uint64_t identity_blocks_refused;
    uint64_t key_messages_sent;
    uint64_t key_messages_refused;
    uint64_t expiry_passes;
    uint64_t nodes_expired;
    uint64_t peers_expired;
};

// The milliseconds to the next announcement for `announce_mode` and a
// random value `r`: mode 1 500 to 1500, mode 2 1000 to 3000, mode 3 1500 to
// 5000 in steps of 10; any other mode 500.
uint32_t flowmesh_announce_interval_ms(uint32_t announce_mode, uint64_t r);

// Start step of LAN mode: the discovery store and the listen socket on the
// first of base_port + 0..7 that binds (none: listen port 0, and no
// unicast announcements). false when the store or a socket cannot be made.
bool flowmesh_discovery_open(FlowmeshAdapterInstance *instance);

// Starts the discovery loop and the two readers. false when one cannot be
// started (the instance's stop joins those that did).
bool flowmesh_discovery_start(FlowmeshAdapterInstance *instance);

// Joins the three threads; for the instance's stop, after the running bit
// is cleared. Idempotent.
void flowmesh_discovery_stop(FlowmeshAdapterInstance *instance);

// Judges a datagram from `source` as an announcement. CORE_OK: a foreign
// node, now in the store and flagged for our identity block; CORE_DONE: our
// own announcement; CORE_ERR: any other length, bytes that are not the
// identity of `source`, or a failed insert.
CoreResult flowmesh_discovery_on_announce(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                          const uint8_t *data, uint64_t length);

// Queues `announcement` on the discovery channel for `target`, or, with
// NULL, for the eight broadcast targets (stopping at the first post that
// fails). The last post's result: CORE_OK or CORE_ERR.
CoreResult flowmesh_announce(FlowmeshAdapterInstance *instance, const CoreUdpAddr *target,
                             const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE]);

// The live node with this announcement, with a reader reference of the
// discovery store (give it back with flowmesh_discovery_release), or NULL.
FlowmeshDiscoveredNode *flowmesh_discovery_find(FlowmeshAdapterInstance *instance,
                                                const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE]);
void flowmesh_discovery_release(FlowmeshAdapterInstance *instance);

// Marks the node connected (the engine's confirm); removes it (its peer
// went). Both do nothing for an unknown node or outside LAN mode.
void flowmesh_discovery_mark_connected(FlowmeshAdapterInstance *instance,
                                       const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE]);
void flowmesh_discovery_forget(FlowmeshAdapterInstance *instance,
                               const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE]);

// Live nodes in the store.
uint32_t flowmesh_discovery_count(FlowmeshAdapterInstance *instance);

FlowmeshDiscoveryCounters flowmesh_discovery_counters(const FlowmeshAdapterInstance *instance);
