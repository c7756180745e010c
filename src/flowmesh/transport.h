// The stream transport interface: the parameter record a transport is
// made from, the factory with its clamps, and the six operations through
// which the session layer drives a transport of any kind.
//
// A transport is an object of the network handle table
// (CORE_HANDLES_NETWORK). The stream table entry that made it holds its
// creator reference; every operation below acquires the object for its
// whole run, so it cannot be freed underneath, and the kind's destroy runs
// on the table's executor once the last reference is gone. Operations may
// come from any thread of the network library; the three stream kinds
// (paced, media-rate, reliable) bring their own locking and threads and
// plug in through FlowmeshTransportKind.
//
// Results: create returns the handle or 0; operations return the kind's
// result, or CORE_ERR (-100) for an unknown handle or a kind byte that is
// not the transport's.
#pragma once

#include <cstdint>

#include "core/crypto.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "flowmesh/datagram.h"
#include "flowmesh/interface.h"

// A session or stream key: kind 1 AES-128 (16 bytes), kind 2 AES-256
// (32 bytes).
#define FLOWMESH_KEY_BLOB_BYTES 1024
struct FlowmeshKeyBlob {
    uint32_t kind;
    uint64_t length;
    uint8_t key[FLOWMESH_KEY_BLOB_BYTES];  // the rest zero
};

// Stream events of a transport (the code argument of the event function).
enum FlowmeshTransportEventCode : uint32_t {
    FLOWMESH_TRANSPORT_QUALITY = 0,    // media-rate: {i32 level, u32 0, u64 bitrate}
    FLOWMESH_TRANSPORT_ACKED = 1,      // reliable: u64 bytes newly acknowledged
    FLOWMESH_TRANSPORT_DELIVERED = 2,  // reliable: u64 bytes delivered in one pass
    FLOWMESH_TRANSPORT_DRAINED = 3,    // reliable: send queue empty after finish
    FLOWMESH_TRANSPORT_OPEN = 4,
    FLOWMESH_TRANSPORT_FIN_SENT = 5,
    FLOWMESH_TRANSPORT_CLOSING = 6,
    FLOWMESH_TRANSPORT_CLOSED = 7,
    FLOWMESH_TRANSPORT_FAILED = 0x100,  // reported once
};

// Non-zero means failure.
typedef int (*FlowmeshTransportEventFn)(uint16_t local_id, uint32_t code, const CoreName *origin,
                                        const CoreName *session, const void *data, uint64_t length, void *context);
// Non-zero makes a reliable transport stop delivering for this pass.
typedef int (*FlowmeshTransportDataFn)(uint16_t local_id, const CoreName *session, const void *data,
                                       uint64_t length, void *context);
// Sends a batch of datagram records (name: session, type: peer IPv4,
// flags: peer port, both network order; length: wire length; data: the
// sealed datagram). Non-zero means the batch failed.
typedef int (*FlowmeshTransportSendFn)(uint16_t peer_id, const CoreQueueEntry *records, uint64_t count,
                                       void *context);

#define FLOWMESH_CONTEXT_BYTES 16

// What a transport is made from; the factory keeps a copy for the
// transport's lifetime.
struct FlowmeshTransportParams {
    FlowmeshTransportEventFn event_fn;
    FlowmeshTransportDataFn data_fn;
    FlowmeshTransportSendFn send_fn;
    uint8_t event_context[FLOWMESH_CONTEXT_BYTES];  // passed by address
    uint8_t data_context[FLOWMESH_CONTEXT_BYTES];
    uint8_t send_context[FLOWMESH_CONTEXT_BYTES];
    CoreName origin;   // given with the session's creation
    CoreName session;  // the session's key in the core's session store
    uint16_t local_id;  // host order
    uint16_t peer_id;   // host order
    void *user;         // carried, not read
    uint64_t initial_sequence;  // reliable: first sequence number sent
    uint64_t sequence_limit;    // reliable: 2^64 - 0x10000
    uint64_t send_buffer;       // bytes
    uint64_t receive_buffer;    // bytes
    uint32_t kind;              // FlowmeshStreamKind in the low byte
    uint32_t options;           // bit 0 initiator; bits 1..: the request's option byte << 1
    uint32_t peer_address;      // network order
    uint16_t peer_port;         // network order
    uint64_t handshake_ms;
    uint64_t min_rto_ms;
    uint64_t max_rto_ms;
    FlowmeshKeyBlob header_key;   // session key
    FlowmeshKeyBlob payload_key;  // stream key
    uint32_t redundancy_copies;
    uint32_t redundancy_period;
    uint64_t paced_rate;   // bits per second, 0: no pacing
    uint64_t min_bitrate;  // bits per second
    uint64_t max_bitrate;  // bits per second, 0: no bounds
    uint32_t frame_rate[2];       // numerator, denominator; unset: 6 per second
    uint32_t peak_frame_rate[2];  // unset: 30 per second
    uint16_t local_flags;  // FLOWMESH_FLAG_SET_* of this kind
    uint16_t peer_flags;   // 0: not known
};

// Bounds the factory holds the parameters to.
#define FLOWMESH_BUFFER_MAX 0x2000000ULL  // 32 MiB
#define FLOWMESH_BUFFER_MIN 1440ULL
#define FLOWMESH_HANDSHAKE_MIN_MS 100ULL
#define FLOWMESH_HANDSHAKE_MAX_MS 1000ULL
#define FLOWMESH_RTO_MIN_MS 10ULL
#define FLOWMESH_RTO_CAP_MS 2010ULL           // paced and media-rate
#define FLOWMESH_RTO_CAP_RELIABLE_MS 8010ULL  // reliable

struct FlowmeshTransportKind;

// The part every transport object begins with; a kind's object follows it.
struct FlowmeshTransport {
    uint64_t handle;
    FlowmeshTransportParams params;
    uint64_t created_ms;  // core_clock_mono_ns in ms
    uint32_t initiator;   // option bit 0: the data of most events
    CoreAesKey *header_key;
    CoreAesKey *payload_key;
    const FlowmeshTransportKind *ops;
};

// What a stream kind supplies. `build` runs once the common part exists;
// `destroy` runs once on the handle table's executor, also after a failed
// build, and frees only what the kind made. Operations get the object
// under a reference.
struct FlowmeshTransportKind {
    uint64_t object_size;  // at least sizeof(FlowmeshTransport)
    CoreResult (*build)(FlowmeshTransport *transport);
    void (*destroy)(FlowmeshTransport *transport);
    CoreResult (*connect)(FlowmeshTransport *transport);
    CoreResult (*accept)(FlowmeshTransport *transport);
    CoreResult (*close)(FlowmeshTransport *transport);
    CoreResult (*finish)(FlowmeshTransport *transport);
    CoreResult (*send)(FlowmeshTransport *transport, uint8_t type, const void *data, uint64_t *length);
    CoreResult (*receive)(FlowmeshTransport *transport, const CoreQueueEntry *records, uint64_t count);
};

// Installs the operations of kind 1, 2 or 3 (NULL removes them); each stream
// kind's module is installed before the first stream of that kind is
// opened. CORE_ERR_INVALID for another kind.
CoreResult flowmesh_transport_kind_set(uint32_t kind, const FlowmeshTransportKind *ops);

// Applies the factory's bounds in place: buffers above 32 MiB refused,
// below 1440 raised; handshake interval held to 100..1000 ms; minimum
// time-out at least 10 ms; maximum time-out capped by kind. CORE_OK, or
// CORE_ERR_INVALID when a buffer is too large, the kind is not 1..3, or
// the time-outs leave no range (minimum not below maximum).
CoreResult flowmesh_transport_params_clamp(FlowmeshTransportParams *params);

// A new transport of params->kind; its handle, or 0 when the parameters
// are refused, the kind is not installed, a key blob makes no AES key, or
// the kind cannot build.
uint64_t flowmesh_transport_create(const FlowmeshTransportParams *params);

CoreResult flowmesh_transport_connect(uint64_t handle, uint8_t kind);
CoreResult flowmesh_transport_accept(uint64_t handle, uint8_t kind);
CoreResult flowmesh_transport_close(uint64_t handle, uint8_t kind);
CoreResult flowmesh_transport_finish(uint64_t handle, uint8_t kind);
// *length: bytes offered in, bytes taken out.
CoreResult flowmesh_transport_send(uint64_t handle, uint8_t kind, uint8_t type, const void *data, uint64_t *length);
// Received datagram records as routed (type: destination id, flags: source
// id, data: the 32-byte packet head and the datagram).
CoreResult flowmesh_transport_receive(uint64_t handle, uint8_t kind, const CoreQueueEntry *records, uint64_t count);

// ---- helpers of the stream kinds ----

// Reports a stream event through the parameters' event function with the
// transport's names and context. The function's result, or 0 without one.
int flowmesh_transport_event(FlowmeshTransport *transport, uint32_t code, const void *data, uint64_t length);

// Seals one datagram with the transport's keys and ids into `out` (1440
// bytes) and fills `record` as a send descriptor for it. CORE_OK or
// CORE_ERR (payload above 1408 bytes).
CoreResult flowmesh_transport_seal(FlowmeshTransport *transport, FlowmeshPacketHeader *header, const void *payload,
                                   uint64_t payload_length, uint8_t *out, CoreQueueEntry *record);

// Opens a received record for this transport (destination, check and flag
// rules from the parameters). See flowmesh_datagram_open.
CoreResult flowmesh_transport_open(FlowmeshTransport *transport, const CoreQueueEntry *record,
                                   FlowmeshPacketHeader *header, uint8_t *payload, uint64_t *payload_length);
