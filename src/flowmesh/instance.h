// One adapter instance: everything that touches one adapter's sockets.
//
// An instance owns four UDP data sockets that share one port
// (SO_REUSEPORT: the kernel keeps each sender on one socket, so a sender's
// datagrams stay in order), the discovery socket in LAN discovery mode, its
// node identities and RSA key, its peer store, two pools, its executor and
// channels, and the threads that move datagrams: four receive threads read
// batches (recvmmsg) into one 256-slot ring; a dispatcher, woken at 32
// waiting datagrams or by a timer tick, moves the ring into the dispatch
// channel; the dispatch consumer (a task on the instance executor) sorts a
// batch stably by sender and posts each sender's run to its peer's queue,
// whose consumer hands it to the datagram callback. Sends leave through the
// data sockets in rotation. In LAN discovery mode the discovery module
// (discovery.h) adds the listen socket, the discovered-node store and three
// threads; the handshake (handshake.h) makes the peers, and in direct mode
// the dispatch consumer offers it datagrams from senders without a peer.
//
// The engine's instance store creates an instance (flowmesh_adapter_start,
// its create callback, under the store's lock) and destroys it
// (flowmesh_adapter_stop, then the free, on the store's reclaim task). The
// state word is the only stop signal: the receive threads test the running
// bit at least every 10 ms, the discovery threads every 250 ms, and the
// stop wakes the dispatcher. Datagrams from
// the network never end a thread: over-long, empty and surplus datagrams
// are dropped and counted. Functions return CoreResult codes as stated.
#pragma once

#include <atomic>
#include <cstdint>
#include <openssl/evp.h>

#include "core/adapters.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "core/sync.h"
#include "core/thread.h"
#include "core/udp.h"
#include "flowmesh/datagram.h"
#include "flowmesh/engine.h"
#include "flowmesh/netcrypto/identity.h"

struct CoreTimer;
struct FlowmeshStunClient;

// Name formats of the instance's executor and pools; the instance's bound
// address and data port make them unique.
#define FLOWMESH_ADAPTER_EXECUTOR_NAME "fm.adapter.%08X.%04X"
#define FLOWMESH_ADAPTER_SEND_POOL_NAME "fm.send.%08X.%04X"
#define FLOWMESH_ADAPTER_RECEIVE_POOL_NAME "fm.recv.%08X.%04X"

#define FLOWMESH_DATA_SOCKETS 4
#define FLOWMESH_RING_SLOTS 256
// Waiting datagrams that wake the dispatcher before its tick.
#define FLOWMESH_RING_WAKE 32
#define FLOWMESH_RECEIVE_BATCH 64
#define FLOWMESH_SORT_RECORDS 512
#define FLOWMESH_DATA_BUFFER_BYTES 0x200000
#define FLOWMESH_DISCOVERY_BUFFER_BYTES 0x10000
#define FLOWMESH_BROADCAST_TARGETS 8

// FlowmeshAdapterInstance.state
enum : uint32_t {
    FLOWMESH_INSTANCE_STARTED = 0x1,
    FLOWMESH_INSTANCE_RUNNING = 0x2,
    FLOWMESH_INSTANCE_SEND_IDENTITY = 0x4,
    FLOWMESH_INSTANCE_SEND_KEYS = 0x8,
};

// Counters of the data path; monotonic, read at any time.
struct FlowmeshInstanceCounters {
    uint64_t received;           // datagrams read from the data sockets
    uint64_t dropped_oversized;  // longer than 1440 bytes
    uint64_t dropped_empty;      // zero-length
    uint64_t dropped_ring_full;  // arrived while the ring held 256
    uint64_t dropped_queue;      // the dispatch channel refused a batch
    uint64_t dispatched;         // records posted to the dispatch channel
    uint64_t routed;             // records posted to a peer's queue
    uint64_t unrouted;           // records whose sender has no peer
    uint64_t sent;               // through the data sockets (announcements: FlowmeshDiscoveryCounters)
    uint64_t send_tolerated;     // send errors skipped (would block, no buffers, host down/unreachable, EPERM)
    uint64_t send_refused;       // records longer than 1440 bytes, not sent
    uint64_t receive_failures;   // receive threads ended by a hard socket error
};

struct FlowmeshAdapterInstance {
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> send_rotation;
    // Direct mode: the one address this instance connects to or answers
    // (flowmesh_endpoint_pack; 0 unset). Set by a connect or the first
    // accepted identity block, cleared when that peer is dropped, read by
    // senders.
    std::atomic<uint64_t> direct_target;
    NetcryptoNode node;  // identities, hashes, broadcast identity, key
    CoreUdpSocket *data[FLOWMESH_DATA_SOCKETS];
    CoreUdpSocket *discovery;
    CoreUdpSocket *listen;  // LAN discovery; NULL when none of the eight ports was free
    uint16_t listen_port;   // network order; 0 without a listen socket
    CorePipe *small_pipe;
    CorePipe *large_pipe;
    CoreName executor;
    bool executor_made;
    CoreUdpAddr broadcast_targets[FLOWMESH_BROADCAST_TARGETS];
    CoreUdpAddr discovery_address;
    CoreNetAdapter adapter;  // address and port: the data sockets' bound address
    FlowmeshEngineConfig config;
    uint64_t engine;  // handle, for the discovery readers
    CoreStore *peers;
    CoreStore *discovered;  // FlowmeshDiscoveredNode, LAN discovery only (discovery.h)
    // Work space of the dispatch consumer: sender keys in arrival order
    // and sorted, and the records gathered in sorted order.
    struct SortKey {
        uint64_t sender;  // IPv4 and port, so that integer order is byte order
        uint32_t index;
    } *sort_keys[2];
    CoreQueueEntry *sort_records;
    CoreThreadRecord *receivers[FLOWMESH_DATA_SOCKETS];
    CoreThreadRecord *dispatcher;
    CoreThreadRecord *discovery_loop;  // LAN discovery (discovery.h)
    CoreThreadRecord *discovery_reader;
    CoreThreadRecord *listen_reader;
    CoreTimer *dispatch_timer;
    CoreEvent ring_event;
    CoreLock ring_lock;
    CoreQueueEntry *ring_a;  // guarded by ring_lock
    CoreQueueEntry *ring_b;  // the dispatcher's alone
    uint8_t *ring_buffers;   // 2 x 256 x 1472: ring A's, then ring B's
    std::atomic<uint64_t> ring_count;
    CorePool *send_pool;
    CorePool *receive_pool;
    CoreName pool_names[2];  // send, receive
    bool pools_registered[2];
    CoreQueue *send_channel;
    CoreQueue *dispatch_channel;
    CorePipe *unmatched;
    CoreQueue *discovery_channel;
    uint8_t discovery_block[NETCRYPTO_IDENTITY_BLOCK_SIZE];
    uint64_t discovery_block_length;
    uint8_t direct_block[NETCRYPTO_IDENTITY_BLOCK_SIZE];
    uint64_t direct_block_length;
    FlowmeshStunClient *stun;  // direct mode with a STUN server (stun.h)
    EVP_PKEY *rsa_key;
    bool rsa_key_owned;
    bool abandoned;  // a thread outlived its join: the memory must stay
    uint32_t receive_buffer_bytes;  // what the kernel granted the data sockets

    // Counters (FlowmeshInstanceCounters, field by field).
    std::atomic<uint64_t> received, dropped_oversized, dropped_empty, dropped_ring_full, dropped_queue,
        dispatched, routed, unrouted, sent, send_tolerated, send_refused, receive_failures;
    // Counters of discovery and the handshake (FlowmeshDiscoveryCounters).
    std::atomic<uint64_t> announcements_sent, announcements_accepted, announcements_refused, unknown_sender, pipe_full,
        identity_blocks_sent, identity_blocks_refused, key_messages_sent, key_messages_refused, expiry_passes,
        nodes_expired, peers_expired;
    // Test seam: while set, the dispatcher leaves the ring alone.
    std::atomic<bool> hold_dispatch;
};

// The instance store's item: the instance lives on the heap so that its
// locks and atomics are constructed objects, not zeroed store memory.
struct FlowmeshInstanceItem {
    CoreStoreItem header;
    FlowmeshAdapterInstance *instance;
};

// What the engine inserts an instance with.
struct FlowmeshInstanceInit {
    CoreNetAdapter adapter;
    FlowmeshEngineConfig config;
};

// Create and destroy callbacks of the engine's instance store. Start:
// 0, or -1 when a step fails (the store then runs the destroy callback,
// which undoes what was made). `user` points at the engine's handle.
int flowmesh_adapter_start(CoreStore *store, CoreStoreItem *item, void *init, void **user);
void flowmesh_adapter_destroy(CoreStore *store, CoreStoreItem *item, void **user);

// The stop sequence: ADAPTER_STOPPED (once), clear running, join the
// threads, close the sockets, free the channels, stores, executor, pools
// and rings. Idempotent; the instance memory stays.
void flowmesh_adapter_stop(FlowmeshAdapterInstance *instance);

// Raises a status event with the instance's first identity as reporter.
void flowmesh_instance_report(FlowmeshAdapterInstance *instance, uint32_t code, const void *data, uint64_t length);

// Sends `count` records through data socket `socket` (0..3; -1: the
// discovery socket), each to its own {type, flags} or, with `to`, all to
// `to`. Tolerated errors skip a record; any other raises LINK_DOWN and
// ends the batch. 0, or -100 after such an error.
CoreResult flowmesh_send_batch(FlowmeshAdapterInstance *instance, int socket, const CoreQueueEntry *records,
                               uint64_t count, const CoreUdpAddr *to);

// The data socket of the next send: rotation + 1 modulo 4, advanced.
int flowmesh_instance_next_socket(FlowmeshAdapterInstance *instance);

// Whether a failed send with this errno is skipped rather than taken as a
// lost link: would block, no buffer space, host down or unreachable, and
// EPERM (a local firewall rule dropping output must not restart the
// network).
bool flowmesh_send_error_tolerated(int error);

// Receives up to `n` datagrams into `messages` (prepared by the caller,
// capacity 1440 each): looks without waiting, and when nothing is ready
// waits once up to `timeout_ns` (negative: no limit). CORE_OK with
// *count set; CORE_DONE when nothing arrived; CORE_ERR on a hard socket
// error. Datagrams longer than the capacity are reported with MSG_TRUNC in
// their flags, for the caller to drop.
struct mmsghdr;
CoreResult flowmesh_receive_batch(int fd, mmsghdr *messages, uint32_t n, int64_t timeout_ns, uint32_t *count);

FlowmeshInstanceCounters flowmesh_instance_counters(const FlowmeshAdapterInstance *instance);

// Test seam: hold the dispatcher (datagrams pile up in the ring) or let it
// go on.
void flowmesh_instance_test_hold_dispatch(FlowmeshAdapterInstance *instance, bool hold);
