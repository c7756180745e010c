// The reliable windowed stream (stream kind 3): an ordered, loss-free byte
// stream between two sessions over sealed datagrams.
//
// A stream owns its send queue and receive memory (packet_queue.h), its
// packets in flight, the packets it received out of order, and two tasks
// on FLOWMESH_STREAM_EXECUTOR: the sender task, which sends, retransmits,
// acknowledges and keeps the deadlines, and, on a session's service stream
// (local id 0) only, the keep-alive task. Opening is a three-way handshake
// (connect, accept, acknowledgement); closing sends a finish carrying the
// close reason and walks the closing states on their deadlines.
//
// Threads: operations (connect, accept, close, finish, send) come from any
// thread of the network library; the receive path from the stream
// routing's single consumer (one batch at a time per stream: a per-stream
// lock serialises callers, and the data function runs under it, so it must
// not feed this stream's receive); the tasks from the executor's workers.
// Each holds a handle reference while it works. The state word is one
// atomic that only moves forward; what the receive path hands the sender
// (acknowledged mark, peer window, requests) is atomic or behind a small
// lock.
//
// The kind plugs into the transport factory (transport.h): results are
// those of the transport operations: CORE_OK, CORE_DONE (1) for "nothing
// taken" or "already closing", CORE_ERR_STATE (-92) for a handshake call
// out of turn, CORE_ERR (-100) when a task cannot be woken.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "flowmesh/transport.h"

// Close reasons, the u32 value of a finish datagram.
enum FlowmeshCloseReason : uint32_t {
    FLOWMESH_CLOSE_APPLICATION = 0,
    FLOWMESH_CLOSE_PEER_FIN = 1,
    FLOWMESH_CLOSE_SEQUENCE_LIMIT = 2,
    FLOWMESH_CLOSE_OPENING_TIMEOUT = 3,
    FLOWMESH_CLOSE_IDLE_TIMEOUT = 4,
    FLOWMESH_CLOSE_FINISHED = 5,
    FLOWMESH_CLOSE_NONE = 0xFFFFFFFF,
};

// States, the top four bits of the state word.
enum FlowmeshReliableState : uint32_t {
    FLOWMESH_RELIABLE_CREATED = 1,
    FLOWMESH_RELIABLE_OPENING = 2,    // SYN sent or awaited
    FLOWMESH_RELIABLE_HANDSHAKE = 3,  // the peer's SYN or SYN-ACK arrived
    FLOWMESH_RELIABLE_ESTABLISHED = 4,
    FLOWMESH_RELIABLE_CLOSING = 5,  // FIN queued
    FLOWMESH_RELIABLE_FIN_SENT = 6,
    FLOWMESH_RELIABLE_FIN_ACKED = 7,  // or the closing deadline passed
    FLOWMESH_RELIABLE_CLOSED = 8,
};

// Option bits of the transport parameters this kind reads.
#define FLOWMESH_RELIABLE_OPT_INITIATOR 0x00000001u
#define FLOWMESH_RELIABLE_OPT_REFUSE 0x00000002u
#define FLOWMESH_RELIABLE_OPT_ACK_EVERY_PASS 0x00000008u
#define FLOWMESH_RELIABLE_OPT_SHARED_RECEIVE 0x00000020u
#define FLOWMESH_RELIABLE_OPT_SHARED_QUEUE 0x00000040u
#define FLOWMESH_RELIABLE_OPT_REPORT_ACKED 0x00000100u
#define FLOWMESH_RELIABLE_OPT_REPORT_DELIVERED 0x80000000u

// Received bytes reach the data function in pieces of at most this many.
#define FLOWMESH_RELIABLE_DELIVERY_MAX 368640u  // 256 x 1440
// Resend-one requests a receiver keeps outstanding at once.
#define FLOWMESH_RELIABLE_RESEND_PENDING_MAX 16u

// What a stream has seen, for tests and statistics. A snapshot of relaxed
// counters: fields may be a moment apart.
struct FlowmeshReliableCounters {
    uint32_t state;              // FlowmeshReliableState
    uint32_t close_reason;       // the reason this side closed with, or FLOWMESH_CLOSE_NONE
    uint32_t peer_close_reason;  // the reason in the peer's finish, or FLOWMESH_CLOSE_NONE
    uint64_t dropped;            // received datagrams refused or out of the window
    uint64_t duplicates;         // received datagrams already held or delivered
    uint64_t retransmissions;    // all of them, handshake included
    uint64_t handshake_retransmissions;
    uint64_t resend_requests;     // resend-one requests queued
    uint64_t resend_pending;      // of those, outstanding now
    uint64_t resend_pending_max;  // the most outstanding at once
    uint64_t go_backs;            // go-back requests queued
    uint64_t bytes_delivered;     // to the data function
    uint64_t congestion_window;   // bytes
    int64_t round_trip_ms;        // smoothed; -1 before the first sample
};

// Installs kind 3 in the transport factory. Idempotent; CORE_OK.
CoreResult flowmesh_reliable_register(void);

// The kind-3 branch of flowmesh_transport_create: the handle, or 0 when
// option bit 1 is set, the initial sequence number is 0 or not below the
// sequence limit, FLOWMESH_STREAM_POOL or FLOWMESH_STREAM_EXECUTOR is
// missing, or memory is short. The stream starts in state 1 with its
// tasks parked.
uint64_t flowmesh_reliable_create(const FlowmeshTransportParams *params);

// Starts closing with `reason`: from states 1 to 4, state 5 and a finish
// queued (CORE_OK; CORE_ERR when it cannot be queued); later CORE_DONE.
CoreResult flowmesh_reliable_close(uint64_t handle, uint32_t reason);

// Takes what fits of `data` (*length in, bytes taken out) while
// established: CORE_OK when something was taken, CORE_DONE when nothing
// was (not established, or the send queue full), CORE_ERR when the sender
// task cannot be woken.
CoreResult flowmesh_reliable_enqueue(uint64_t handle, const void *data, uint64_t *length);

// Opens and processes each received record, delivers what is in order and
// asks for what is missing. A record that does not open or fails the
// header rules is dropped and counted; the batch goes on. CORE_OK, or
// CORE_ERR for an unknown handle or when the sender task cannot be woken.
CoreResult flowmesh_reliable_receive_batch(uint64_t handle, const CoreQueueEntry *records, uint64_t count);

// A snapshot of the stream's counters. CORE_OK, or CORE_ERR for an unknown
// handle or another kind's transport.
CoreResult flowmesh_reliable_counters(uint64_t handle, FlowmeshReliableCounters *out);
