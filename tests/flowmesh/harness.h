// Two-endpoint test harness of the network library on real UDP sockets on
// 127.0.0.1, and a seeded impairment relay to put between the endpoints.
//
// An endpoint owns one socket and one receive thread. The thread reads
// datagrams into 1472-byte buffers (32-byte packet head, then the
// datagram) and hands them to the endpoint's sink in batches of up to 64
// received-datagram records laid out as the adapter engine makes them
// (type: sender IPv4, flags: sender port, length: datagram + 32, data: head
// then datagram) or, when the endpoint has a session key, as the stream
// routing makes them (type: destination stream id, flags: source stream
// id; datagrams too short for a header are dropped and counted). Records
// and buffers are valid during the sink call only. Any thread may send
// through flowmesh_harness_send, which has the shape of a transport's send
// function.
//
// The relay owns two sockets, one facing each endpoint, and one thread.
// It forwards what arrives on one side out of the other, deciding loss,
// duplication and reordering per datagram from a seeded generator per
// direction, so the same seed and the same arrivals give the same counts;
// delay with jitter and a rate limit only change when datagrams leave. It
// stops on its own after max_ms or once max_datagrams have arrived, so a
// test that goes wrong cannot keep traffic going.
//
// Functions return NULL / false / -1 on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/crypto.h"
#include "core/queue.h"
#include "core/udp.h"
#include "flowmesh/transport.h"

// ---- endpoint ----

typedef void (*FlowmeshHarnessSink)(const CoreQueueEntry *records, uint64_t count, void *user);

struct FlowmeshHarnessCounters {
    uint64_t received;       // datagrams read from the socket
    uint64_t delivered;      // records handed to the sink
    uint64_t dropped_short;  // routed mode: fewer than 32 bytes
    uint64_t sent;           // datagrams sent
    uint64_t send_failed;
};

struct FlowmeshHarnessEndpoint;

// An endpoint bound to 127.0.0.1 on a free port, socket buffers raised to
// 4 MB. `header_key` NULL gives adapter-engine records, else routed ones
// (the key stays the caller's and must outlive the endpoint). `sink` may be
// NULL: the endpoint then only counts.
FlowmeshHarnessEndpoint *flowmesh_harness_endpoint_create(CoreAesKey *header_key, FlowmeshHarnessSink sink,
                                                          void *user);
// Stops the thread, closes the socket, clears *endpoint. NULL is ignored.
void flowmesh_harness_endpoint_destroy(FlowmeshHarnessEndpoint **endpoint);
// Bound address and port, network order.
CoreUdpAddr flowmesh_harness_endpoint_address(const FlowmeshHarnessEndpoint *endpoint);
// The receive buffer the kernel really granted, in bytes.
uint64_t flowmesh_harness_endpoint_rcvbuf(const FlowmeshHarnessEndpoint *endpoint);
FlowmeshHarnessCounters flowmesh_harness_endpoint_counters(const FlowmeshHarnessEndpoint *endpoint);

// Transport send function: the first 8 bytes of `context` hold the
// sending FlowmeshHarnessEndpoint *. Each record goes to {type, flags}.
// 0, or -1 when a send failed (the rest of the batch is still tried).
int flowmesh_harness_send(uint16_t peer_id, const CoreQueueEntry *records, uint64_t count, void *context);

// Sends one datagram from the endpoint to `to`. 0 or -1.
int flowmesh_harness_send_to(FlowmeshHarnessEndpoint *endpoint, CoreUdpAddr to, const void *data, uint64_t length);

// ---- relay ----

struct FlowmeshRelayConfig {
    uint64_t seed;
    double loss;       // probability 0..1 that a datagram is dropped
    double duplicate;  // probability that a forwarded datagram goes twice
    double reorder;    // probability that a datagram is held back behind the next one
    uint32_t delay_us;   // every datagram waits this long ...
    uint32_t jitter_us;  // ... plus 0..jitter_us, uniform
    uint64_t rate_bps;   // 0: no limit; else bits per second per direction
    uint64_t max_datagrams;  // arrivals after this many are dropped (counted as over_bound)
    uint32_t max_ms;         // the relay stops forwarding after this long
};

struct FlowmeshRelayCounters {
    uint64_t received;    // datagrams that arrived
    uint64_t forwarded;   // datagrams sent on, duplicates included
    uint64_t lost;        // dropped by the loss draw
    uint64_t duplicated;  // extra copies made
    uint64_t reordered;   // datagrams held back behind a later one
    uint64_t over_bound;  // dropped: past max_datagrams or max_ms, too long, or queue full
    uint64_t pending;     // waiting to leave
};

struct FlowmeshRelay;

// A relay between `a` and `b` (endpoints' addresses). NULL on failure.
FlowmeshRelay *flowmesh_relay_create(const FlowmeshRelayConfig *config, CoreUdpAddr a, CoreUdpAddr b);
void flowmesh_relay_destroy(FlowmeshRelay **relay);
// Where endpoint a sends to reach b (side 0), and where b sends to reach a
// (side 1).
CoreUdpAddr flowmesh_relay_address(const FlowmeshRelay *relay, int side);
// Both directions summed (direction -1) or one (0: a to b, 1: b to a).
FlowmeshRelayCounters flowmesh_relay_counters(const FlowmeshRelay *relay, int direction);

// Polls `done` every millisecond until it holds or `timeout_ms` passes.
bool flowmesh_harness_wait(const std::function<bool()> &done, uint32_t timeout_ms);

// Parameters of a test stream of `kind` from `local` to `peer`: 64 KiB
// buffers, the usual time-outs, the kind's flag set, and fixed keys (a
// 16-byte header key, a 32-byte payload key) that both ends share. Suites
// change what their case needs.
FlowmeshTransportParams flowmesh_harness_stream_params(uint8_t kind, uint16_t local, uint16_t peer);

// `length` bytes of a repeatable pattern drawn from `seed`.
std::vector<uint8_t> flowmesh_harness_pattern(uint64_t length, uint32_t seed);
