// Packet queues and reassembly lists of the stream transports.
//
// Each stream keeps its pending data in pools of its own, so that one
// stream cannot exhaust another's memory:
//   - the reliable stream's send queue: a control list (acknowledgements,
//     resend requests, window and handshake controls) and a byte queue of
//     chunks, from which the next packet to send is taken;
//   - the reliable stream's receive record, whose free memory is the
//     receive window it advertises;
//   - the reassembly list in which the paced and media-rate streams collect
//     the datagrams of one message or frame.
//
// Threads: the control list is written by a reliable stream's receive path
// and its sender task, the chunk list by its send operation and sender
// task; each list has its own lock and pools lock themselves. A reassembly
// list belongs to one transport's receive path and has no lock.
//
// Creation returns NULL on failure. Other results are given per function.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/sync.h"
#include "flowmesh/datagram.h"

// A chunk of bytes the application handed to a reliable stream.
struct FlowmeshChunk {
    FlowmeshChunk *prev;
    FlowmeshChunk *next;
    uint8_t *bytes;  // in the byte queue's data pool
    uint64_t length;
    uint64_t id;
};

struct FlowmeshByteQueue {
    uint64_t next_id;  // id of the next pushed chunk; never 0
    uint16_t local_id;
    FlowmeshChunk *first;  // oldest
    FlowmeshChunk *last;
    FlowmeshChunk *cursor;  // the chunk found last: searches start here
    CoreLock lock;          // guards the chunk list, cursor and bytes_queued
    CoreName shared_name;   // empty when the data pool is our own
    CorePool *data_pool;
    CorePool *entry_pool;
    uint64_t bytes_queued;
    double factor;  // share of the free data bytes a push may take
};

// One control record of the reliable stream.
struct FlowmeshControl {
    FlowmeshControl *prev;  // both NULL while not in the list
    FlowmeshControl *next;
    uint16_t type;  // header flags
    uint32_t value32;
    uint64_t value64;
};

// One packet to send: its plain header and what it carries.
struct FlowmeshPacketNode {
    FlowmeshPacketNode *prev;
    FlowmeshPacketNode *next;
    uint8_t header[FLOWMESH_HEADER_SIZE];
    uint64_t deadline;
    uint64_t first_send;
    uint8_t retransmitted;
    uint64_t chunk_id;         // 0: none
    FlowmeshControl *control;  // or NULL
    uint64_t payload_length;
    const uint8_t *payload;  // the chunk's bytes, still owned by the byte queue
};

struct FlowmeshSendQueue {
    uint32_t option_bit9;
    uint16_t local_id;
    uint32_t initiator;
    CorePool *node_pool;  // reference on FLOWMESH_STREAM_POOL
    FlowmeshByteQueue *bytes;
    uint64_t next_chunk_id;  // starts at 1, never 0
    uint64_t sending_id;     // chunk being sent; 0: none
    uint32_t taken_any;      // a chunk was taken once
    FlowmeshControl controls;  // head sentinel
    CoreLock control_lock;
};

struct FlowmeshRecvPool {
    CorePool *data_pool;  // own pool, or the shared receive pool
    CorePool *node_pool;  // reference on FLOWMESH_STREAM_POOL
    CoreName shared_name; // empty when the data pool is our own
    double factor;
};

// The smallest window a receiver advertises: one full datagram always fits.
#define FLOWMESH_MIN_WINDOW 1441

struct FlowmeshReassemblyNode {
    FlowmeshReassemblyNode *prev;
    FlowmeshReassemblyNode *next;
    uint64_t sequence;
    uint64_t index;  // within the message or frame (paced: 0)
    uint64_t length;
    uint8_t *payload;  // private copy
};

struct FlowmeshReassembly {
    FlowmeshReassemblyNode nodes;  // head sentinel, sequence order
    uint64_t key;       // message or frame number; 0: free
    uint64_t expected;  // paced: total bytes; media: chunk count
    uint64_t bytes;
    uint64_t datagrams;
    uint64_t report_limit;  // 0: no limit
    uint64_t reports;
};

// ---- byte queue ----

// A byte queue of `capacity` bytes, drawing on FLOWMESH_RELIABLE_QUEUE_POOL
// when `use_shared` is set and that pool exists. NULL for capacity 0 or
// when a pool cannot be made.
FlowmeshByteQueue *flowmesh_bytequeue_create(uint64_t capacity, int use_shared, uint16_t local_id);
// Frees every chunk and both pools (or gives the shared one back); clears
// *queue. NULL is ignored.
void flowmesh_bytequeue_destroy(FlowmeshByteQueue **queue);
// A new, unlinked chunk holding a copy of the bytes, or NULL when the data
// pool's free bytes x factor are fewer than `length` or memory is short.
FlowmeshChunk *flowmesh_bytequeue_push(FlowmeshByteQueue *queue, const void *bytes, uint64_t length);
// Appends a pushed chunk under the queue's lock and counts its bytes.
void flowmesh_bytequeue_append(FlowmeshByteQueue *queue, FlowmeshChunk *chunk);
// Free bytes of the data pool (4294967295 for a pool without a bound).
uint64_t flowmesh_bytequeue_free(const FlowmeshByteQueue *queue);

// ---- send queue ----

// A send queue with a byte queue of `capacity` bytes. Needs
// FLOWMESH_STREAM_POOL in the pool registry; NULL otherwise or on failure.
FlowmeshSendQueue *flowmesh_sendq_create(uint64_t capacity, int use_shared, uint16_t local_id, uint32_t initiator,
                                         uint32_t option_bit9);
// Frees every control entry, the byte queue, the pool reference; clears
// *queue. Packets still out must have been released. NULL is ignored.
void flowmesh_sendq_destroy(FlowmeshSendQueue **queue);
// Queues a control record. An acknowledgement replaces the values of one
// already waiting, since only the latest acknowledgement means anything.
// CORE_OK, or CORE_ERR when no node can be had.
CoreResult flowmesh_sendq_post_control(FlowmeshSendQueue *queue, uint16_t type, uint32_t value32, uint64_t value64);
// The next packet: a waiting control (an acknowledgement first, then a
// resend request, then any typed entry, then the first) and the chunk
// being sent or the next one. CORE_OK with *packet; CORE_DONE when there is
// nothing to send; CORE_ERR for a chunk above 65535 bytes or no memory
// (the control entry then stays queued).
CoreResult flowmesh_sendq_next_packet(FlowmeshSendQueue *queue, FlowmeshPacketNode **packet);
// Frees the packet, its control entry and, when it carries one, its chunk;
// clears *packet. NULL is ignored.
void flowmesh_sendq_release_packet(FlowmeshSendQueue *queue, FlowmeshPacketNode **packet);
// Control entries waiting.
uint64_t flowmesh_sendq_control_count(FlowmeshSendQueue *queue);

// ---- receive record ----

// A receive record whose own data pool holds `size` bytes, or which draws
// on FLOWMESH_RELIABLE_POOL when `use_shared` is set and that pool exists.
// Needs FLOWMESH_STREAM_POOL; NULL otherwise or on failure.
FlowmeshRecvPool *flowmesh_recvpool_create(uint64_t size, int use_shared);
// Free receive window in bytes, never below FLOWMESH_MIN_WINDOW: a shared
// pool's free bytes are split among the records using it.
uint64_t flowmesh_recvpool_window(const FlowmeshRecvPool *record);
// Gives the shared pool back or destroys the own one, drops the node pool
// reference; clears *record. NULL is ignored.
void flowmesh_recvpool_destroy(FlowmeshRecvPool **record);

// ---- reassembly list ----

// An empty list (key 0) with the given report limit.
void flowmesh_reassembly_init(FlowmeshReassembly *list, uint64_t report_limit);
// Stores a private copy in sequence order. 0 when stored or a duplicate
// (nothing stored), -1 when memory is short.
int flowmesh_reassembly_insert(FlowmeshReassembly *list, const void *payload, uint64_t length, uint64_t sequence,
                               uint64_t index);
// Sequence number of the message's or frame's first datagram, 0 when empty.
uint64_t flowmesh_reassembly_first_seq(const FlowmeshReassembly *list);
// Posts one {first missing, count} range per gap to `loss` (and the tail up
// to the frame's end with `include_tail`). Ranges posted; 0 when the
// report limit is reached; -1 when a post fails.
int flowmesh_reassembly_find_gaps(FlowmeshReassembly *list, CoreQueue *loss, int include_tail);
// Frees every node; key, expected, counts and reports made become 0.
void flowmesh_reassembly_clear(FlowmeshReassembly *list);
// The range a loss message carries.
void flowmesh_loss_range(const CoreQueueEntry *message, uint64_t *first, uint64_t *count);
