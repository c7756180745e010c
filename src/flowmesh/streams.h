// Stream tables of one session: stream ids, the transports behind them and
// the routing of the session's received datagrams to the stream of their
// destination id.
//
// A FlowmeshStreamManager belongs to one session, which holds its handle in
// CORE_HANDLES_NETWORK. It keeps the session key (and the header cipher made
// from it) and two stores of FlowmeshStreamEntry: table 0 holds the ids 0 to
// 255 (the service stream takes id 0), table 1 the ids 256 to 65535. Ids are
// handed out round-robin within their table, so an id just given up is the
// last to come back and a peer's late datagrams of a closed stream find no
// transport. Each entry has its own receive queue, drained on
// FLOWMESH_MANAGER_EXECUTOR into its transport, so a slow stream does not
// hold up the others.
//
// Any thread may create entries, build transports and route; routing runs
// on the core's datagram callback thread. Functions return CoreResult codes
// as stated; the manager's creation returns a handle or 0.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/crypto.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "flowmesh/transport.h"

#define FLOWMESH_STREAM_TABLE_SERVICE 0
#define FLOWMESH_STREAM_TABLE_STREAMS 1
#define FLOWMESH_STREAM_FIRST_ID 256u
// Records routed per pass, and so at most per post to one stream's queue.
#define FLOWMESH_ROUTE_CHUNK 256u

// What a session hands its stream manager: its names, the peer's address,
// the session key and the transport callbacks with their contexts.
struct FlowmeshStreamManagerConfig {
    CoreName session;
    CoreName origin;        // the peer's name, handed to transports
    uint32_t peer_address;  // network order
    uint16_t peer_port;     // network order
    FlowmeshKeyBlob session_key;
    FlowmeshTransportEventFn event_fn;
    FlowmeshTransportDataFn data_fn;
    FlowmeshTransportSendFn send_fn;
    uint8_t event_context[FLOWMESH_CONTEXT_BYTES];
    uint8_t data_context[FLOWMESH_CONTEXT_BYTES];
    uint8_t send_context[FLOWMESH_CONTEXT_BYTES];
};

struct FlowmeshStreamManager {
    uint64_t handle;
    CoreStore *tables[2];
    uint32_t cursor[2];  // next id offset to try, per table; under the table's lock
    std::atomic<uint64_t> next_initial_sequence;
    FlowmeshStreamManagerConfig config;
    CoreAesKey *header_key;
    std::atomic<uint64_t> dropped;     // records that could not be routed
    std::atomic<uint64_t> malformed;   // of them: too short or misaligned to hold a header
};

struct FlowmeshStreamEntry {
    CoreStoreItem header;
    std::atomic<uint64_t> transport;  // 0 until built; set once, by whichever build wins
    uint16_t local_id;
    uint16_t peer_id;    // the local id until the transport is built
    uint64_t initial_sequence;
    CoreQueue *queue;
    uint8_t kind;        // 0 for the service stream's entry before its transport
    uint64_t value;      // low u32: redundancy copies; high u32: their period
    uint64_t manager;    // handle of the owning manager
};

// What a transport is built from, beyond what the manager and entry hold.
struct FlowmeshStreamConnect {
    uint64_t send_buffer;
    uint64_t receive_buffer;
    uint64_t paced_rate;
    uint64_t min_bitrate;
    uint64_t max_bitrate;
    uint64_t min_rto_ms;  // 0: 1000
    uint64_t max_rto_ms;  // 0: 10000
    uint16_t local_id;
    uint16_t peer_id;
    void *user;
    uint32_t options;     // the initiator bit is added by connect
    uint16_t local_flags;
    uint16_t peer_flags;
    const uint32_t *frame_rate;       // {numerator, denominator} or NULL
    const uint32_t *peak_frame_rate;  // or NULL
    const FlowmeshKeyBlob *stream_key;
    uint32_t table;       // FLOWMESH_STREAM_TABLE_*
};

// A new manager's handle, or 0 when the session key has kind 0, no AES key
// can be made from it, or a table cannot be made.
uint64_t flowmesh_stream_manager_create(const FlowmeshStreamManagerConfig *config);

// The table of a stream id.
uint32_t flowmesh_stream_table_of(uint16_t id);

// A new entry in `table` with the next free id round-robin from the last
// one handed out there. CORE_OK with *id_out; CORE_ERR (-100) when the
// table is full, the manager unknown or the receive queue cannot be made.
CoreResult flowmesh_stream_entry_create(FlowmeshStreamManager *manager, uint8_t kind, const uint64_t *value,
                                        uint16_t *id_out, uint32_t table);

// The live entry of `id` with a reader reference of the calling thread, or
// NULL (also when only_with_transport is set and it has none). Give the
// reference back with flowmesh_stream_release.
FlowmeshStreamEntry *flowmesh_stream_find(FlowmeshStreamManager *manager, uint16_t id, uint32_t only_with_transport);
void flowmesh_stream_release(FlowmeshStreamManager *manager, uint16_t id);

// Marks the entry of `id` deleted; its transport goes with the entry.
// CORE_OK or CORE_ERR_NOT_FOUND. The id stays taken until the entry is
// reclaimed.
CoreResult flowmesh_stream_remove(FlowmeshStreamManager *manager, uint16_t id);

// Builds and starts the transport of the entry of `p->local_id`: connect
// for the side that opened the stream (initiator), accept for the side
// that answered. The transport's start result; CORE_DONE (1) when the entry
// does not exist or has a transport already (nothing is built);
// CORE_ERR (-100) when the transport cannot be made.
CoreResult flowmesh_stream_connect(FlowmeshStreamManager *manager, const FlowmeshStreamConnect *p);
CoreResult flowmesh_stream_accept(FlowmeshStreamManager *manager, const FlowmeshStreamConnect *p);

// Routes one peer's batch of received records (data: the 32-byte packet
// head, then the datagram) to the receive queues of their streams,
// FLOWMESH_ROUTE_CHUNK at a time. Records too short to hold a header or
// whose datagram is not a whole number of cipher blocks are dropped before
// decryption; records for an id without a transport are dropped. Each
// stream's records keep their arrival order. Returns the records posted.
uint64_t flowmesh_route_session_datagrams(FlowmeshStreamManager *manager, const CoreQueueEntry *records,
                                          uint64_t count);
