// Sessions: one per peer the engine manager has connected, each with its
// service stream "p2p.svc.strm" (id 0, reliable) carrying control messages
// (flowmesh/control.h) and a store of named streams whose transports the
// session's stream manager (flowmesh/streams.h) routes by id.
//
// The core's session store holds FlowmeshSession items keyed by the session
// name (the peer's identity as the engine manager reported it). A session
// owns a writer channel (control messages leave one at a time onto the
// service stream), a TLV reader channel (received control records are
// handled one at a time), both as tasks of FLOWMESH_SERVICE_EXECUTOR, and a
// store of FlowmeshSessionStream items keyed by stream name.
//
// Four pipes of the core join the status-report pipe here: transport
// reports, peer reports, stream data and service data, each with its own
// consumer thread. Engine-manager callbacks and transport callbacks only
// post to them (apart from the admission checks of peer reports), so no
// network thread ever waits on session work.
//
// Threads: the engine's operations below come from any thread; flag words
// are atomic and every state change is one test-and-set, so each event and
// each close message happens once. Entries are used under a reader
// reference of their store; deletion only marks them, and the store's
// reclaimer runs the destructors once no reference remains. Results are
// CoreResult codes as stated.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "flowmesh/interface.h"
#include "flowmesh/transport.h"

struct CoreChannel;
struct FlowmeshCore;
struct FlowmeshTlvChannel;
struct FlowmeshTlvRecord;

// FlowmeshSession.flags
enum : uint32_t {
    FLOWMESH_SESSION_UP_POSTED = 0x1,
    FLOWMESH_SESSION_CLOSING = 0x2,  // a close message was sent or received
};

// FlowmeshSessionStream.flags
enum : uint32_t {
    FLOWMESH_SSTREAM_ACCEPTED = 0x01,
    FLOWMESH_SSTREAM_OPENED = 0x02,
    FLOWMESH_SSTREAM_ENDED = 0x04,
    FLOWMESH_SSTREAM_CLOSED = 0x08,
    FLOWMESH_SSTREAM_CLOSE_REQUESTED = 0x10,
    FLOWMESH_SSTREAM_HIDDEN = 0x20,
    FLOWMESH_SSTREAM_FINISH_REQUESTED = 0x40,
    FLOWMESH_SSTREAM_OPENED_HERE = 0x80,  // this node sent an open request for it
};

// Modes of flowmesh_session_close_stream.
enum : uint32_t {
    FLOWMESH_CLOSE_NOW = 0,     // close the transport
    FLOWMESH_CLOSE_HIDE = 1,    // forget the name, leave the transport
    FLOWMESH_CLOSE_FINISH = 2,  // finish after the queued data
};

struct FlowmeshSession {
    CoreStoreItem header;  // key and second name: the session name
    std::atomic<uint32_t> flags;
    CoreName name;
    CoreName peer;      // the peer's user id
    CoreName reporter;  // identity of the adapter instance that reported it
    uint32_t peer_address;  // network order
    uint16_t peer_port;     // network order
    uint32_t endpoint_address;
    uint16_t endpoint_port;
    uint32_t key_role;  // 1: this node uses the stream keys the peer makes
    uint64_t core;      // the core's handle
    uint64_t manager;   // stream manager handle
    CoreStore *streams;
    std::atomic<uint64_t> message_counter;
    CoreChannel *writer;
    FlowmeshTlvChannel *reader;
    uint64_t send_progress;  // the writer consumer's alone
    // Held from a stream entry's insertion to its open request or reply
    // being queued, so that on the wire a node's request for a stream
    // always precedes its reply for it.
    std::mutex open_lock;
    FlowmeshKeyBlob session_key;
    uint64_t created_ms;                    // monotonic
    std::atomic<uint64_t> service_open_ms;  // when the service stream opened; 0 before
    // The peer's facts arrive on the reader channel and are read by
    // whichever thread posts a session event.
    std::mutex facts_lock;
    uint32_t peer_value;
    uint32_t peer_mode;  // 1, or 2 when the peer's established message says so
    uint64_t local_stamp;
    uint64_t peer_stamp;
    CoreName peer_node;
};

struct FlowmeshSessionStream {
    CoreStoreItem header;  // key: the stream name (random once hidden); second name: the session name
    std::atomic<uint32_t> flags;
    uint16_t stream_id;
    FlowmeshStreamParams params;
    FlowmeshKeyBlob own_key;
    FlowmeshKeyBlob peer_key;  // written on the reader channel before the transport exists
    std::atomic<uint32_t> peer_key_kind;
    CoreName instance;
    uint64_t manager;
    std::atomic<uint64_t> acknowledged;
    std::atomic<uint64_t> delivered;
};

// ---- the core's side (core.cpp calls these) ----

// The session store and the four session pipes of a new core. CORE_OK or
// CORE_ERR.
CoreResult flowmesh_sessions_create(FlowmeshCore *core);
// Stops the session pipes, then deletes and frees every session.
void flowmesh_sessions_destroy(FlowmeshCore *core);

// Engine-manager callbacks, with the core's handle as context.
int flowmesh_core_peer_report(uint64_t core_handle, const CoreName *reporter, uint32_t code, uint32_t value,
                              const void *data, uint64_t length);
void flowmesh_core_datagrams(uint64_t core_handle, const CoreQueueEntry *records, uint64_t count);

// ---- the engine's operations (each acquires the process's core) ----

// Opens a stream on a live session: makes its entry and key and queues the
// open request. 0; -100 for "p2p.svc.strm", an unknown session, a session
// key kind other than 1 or 2, or an entry that cannot be made; the
// encoder's result when the request cannot be queued.
CoreResult flowmesh_session_open_stream(const CoreName *session, const FlowmeshStreamParams *params);

// Sends on a stream (the service stream: as a forward message). *length in:
// bytes offered, out: bytes taken. 0 sent or queued; 1 unknown session or
// stream, or no room on the service stream's writer (length 0); negative on
// failure.
CoreResult flowmesh_session_send(const CoreName *session, const CoreName *stream, uint32_t flags, const void *data,
                                 uint64_t *length);

// Mode 0 of flowmesh_session_close_stream on the process's core.
void flowmesh_stream_close(const CoreName *session, const CoreName *stream);
void flowmesh_session_close_stream(FlowmeshCore *core, const CoreName *session, const CoreName *stream, uint32_t mode);

// Closes every stream's transport. 0 found, 1 unknown session.
CoreResult flowmesh_session_close_streams(const CoreName *session);

// Sends a close message to every session with that peer address and port
// (network order) and asks the engine manager to drop the peer. The engine
// manager's result: 0, -92 when dropping by address is not its mode, -100.
CoreResult flowmesh_disconnect_address(uint32_t address, uint16_t port);

// ---- control messages (the reader channel's handler and the hello) ----

// Sends the hello trio on a session whose service stream opened. 0, or the
// result of the first message that could not be queued.
CoreResult flowmesh_session_hello(FlowmeshCore *core, FlowmeshSession *session);

// Handles one received control record. Below 0 deletes the session.
CoreResult flowmesh_session_on_message(FlowmeshCore *core, FlowmeshSession *session, const FlowmeshTlvRecord *record);

// ---- lookups for the engine, tools and tests ----

// The live session of that name with a reader reference of core->sessions,
// or NULL. Give it back with core_store_unref(core->sessions).
FlowmeshSession *flowmesh_session_find(FlowmeshCore *core, const CoreName *name);
// The live stream of that name with a reader reference of session->streams.
FlowmeshSessionStream *flowmesh_session_stream_find(FlowmeshSession *session, const CoreName *name);

// Test seam: the send function given to every session's transports (NULL:
// the engine manager's). Set while no session exists.
void flowmesh_sessions_test_set_send(FlowmeshTransportSendFn fn);
