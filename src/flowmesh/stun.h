// The STUN probe of a direct-mode instance: the classic Binding Request
// tests of RFC 3489 against a configured server, and what their answers
// teach (mapped, XOR-mapped and changed addresses, the server's name). The
// library keeps the results and reads none of them.
//
// The pure half builds requests, walks a response's attributes and applies
// a response to the probe state; the state has no lock of its own. The
// client (one per direct-mode instance with a server configured) owns two
// sockets and two threads: a prober that sends every pending test each
// 250 ms for at most 5 s, and a receiver that waits on both sockets (250 ms
// at a time) and applies what comes back until the client is destroyed. The client's lock serialises the two over the
// state. Instance start and stop create and destroy it.
//
// Results: CORE_OK for a response read or applied; CORE_ERR_INVALID (-91)
// for one refused (too short or long, a length field that disagrees with
// the datagram, an attribute running past the end, an address attribute
// shorter than 8 bytes, or a transaction id this probe never issued). A
// refused response changes nothing but the refusal counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/result.h"
#include "core/sync.h"
#include "core/thread.h"
#include "core/udp.h"

#define FLOWMESH_STUN_TESTS 5
#define FLOWMESH_STUN_REQUEST_BYTES 28
#define FLOWMESH_STUN_HEADER_BYTES 20
#define FLOWMESH_STUN_BUFFER_BYTES 2048
#define FLOWMESH_STUN_ID_BYTES 16
// Ids are redrawn after every send, so an answer to an earlier pass still
// has to be recognised: the last few of each test are kept.
#define FLOWMESH_STUN_IDS_KEPT 8
#define FLOWMESH_STUN_SERVER_TEXT 256

// Change flags of the CHANGE-REQUEST attribute.
enum : uint32_t {
    FLOWMESH_STUN_CHANGE_PORT = 2,
    FLOWMESH_STUN_CHANGE_IP = 4,
};

// FlowmeshStunResponse.seen: which attributes the walk read.
enum : uint32_t {
    FLOWMESH_STUN_SEEN_MAPPED = 0x01,
    FLOWMESH_STUN_SEEN_SOURCE = 0x02,
    FLOWMESH_STUN_SEEN_CHANGED = 0x04,
    FLOWMESH_STUN_SEEN_XOR_MAPPED = 0x08,
    FLOWMESH_STUN_SEEN_SERVER = 0x10,
};

// One test: its tag (byte 0 of every id it issues), where it goes, and the
// ids of its last sends. Test index 0..4 stands for tests 1..5.
struct FlowmeshStunTest {
    bool pending;
    uint8_t tag;
    uint32_t change_flags;
    int socket;  // 0 or 1
    CoreUdpAddr destination;
    uint8_t request[FLOWMESH_STUN_REQUEST_BYTES];  // with the current id
    uint8_t ids[FLOWMESH_STUN_IDS_KEPT][FLOWMESH_STUN_ID_BYTES];
    uint32_t ids_issued;
};

// What a response's attribute walk found; addresses as received (network
// order, the XOR-mapped one not un-XORed).
struct FlowmeshStunResponse {
    uint8_t transaction[FLOWMESH_STUN_ID_BYTES];
    uint32_t seen;
    CoreUdpAddr mapped, source, changed, xor_mapped;
    char server[FLOWMESH_STUN_SERVER_TEXT];
};

struct FlowmeshStunState {
    int32_t pending;  // tests 2 to 5 still without an answer
    CoreUdpAddr server;
    CoreUdpAddr mapped, xor_mapped, changed;  // from the answer to test 1
    char server_text[FLOWMESH_STUN_SERVER_TEXT];
    FlowmeshStunTest tests[FLOWMESH_STUN_TESTS];
    uint64_t answered;  // responses applied
    uint64_t refused;   // responses dropped
};

// The 28-byte Binding Request: type 1, length 8, the 16-byte id (its byte
// 0 replaced by `tag`), then CHANGE-REQUEST with `change_flags`.
void flowmesh_stun_build_request(uint8_t out[FLOWMESH_STUN_REQUEST_BYTES], uint8_t tag, uint32_t change_flags,
                                 const uint8_t id[FLOWMESH_STUN_ID_BYTES]);

// Walks a response of `length` bytes into *out. CORE_OK or
// CORE_ERR_INVALID. Attributes advance by their length rounded up to 4;
// unknown types, non-IPv4 addresses and an over-long SERVER text are
// skipped.
CoreResult flowmesh_stun_parse(const uint8_t *data, uint64_t length, FlowmeshStunResponse *out);

// The five tests against `server`, tests 1 to 3 pending, pending count 4;
// `random` supplies 16 bytes per call for the first ids.
void flowmesh_stun_state_init(FlowmeshStunState *state, const CoreUdpAddr *server,
                              void (*random)(uint8_t *bytes, uint64_t length));

// Gives test `index` a fresh id (tag kept) after a send and remembers it.
void flowmesh_stun_redraw(FlowmeshStunState *state, int index, const uint8_t id[FLOWMESH_STUN_ID_BYTES]);

// Applies a response: it must parse and carry an id one of the tests
// issued. The first answer to test 1 keeps the mapped addresses when its
// SOURCE-ADDRESS is the server, and with a changed address arms tests 4
// and 5; an answer to a pending test 2 to 5 clears it and lowers the
// pending count once.
CoreResult flowmesh_stun_apply(FlowmeshStunState *state, const uint8_t *data, uint64_t length);

// ---- the client ----

#define FLOWMESH_STUN_PASS_MS 250
#define FLOWMESH_STUN_PROBE_MS 5000

struct FlowmeshStunAddresses {
    CoreUdpAddr server;  // network order
    CoreUdpAddr local;   // the instance's adapter address; its port is not used
};

struct FlowmeshStunClient {
    std::atomic<uint32_t> running;
    std::atomic<uint32_t> passes;  // sending passes made
    CoreLock lock;                 // guards state
    FlowmeshStunState state;
    CoreUdpSocket *sockets[2];
    CoreUdpAddr bound[2];
    CoreUdpAddr local;
    CoreThreadRecord *prober;
    CoreThreadRecord *receiver;
};

// The client with both threads running, or NULL (nothing stays behind).
FlowmeshStunClient *flowmesh_stun_create(const FlowmeshStunAddresses *addresses);

// Stops the threads, closes the sockets and frees the client; clears
// *client. NULL and a cleared pointer are ignored.
void flowmesh_stun_destroy(FlowmeshStunClient **client);

// A copy of the probe state, taken under the client's lock.
FlowmeshStunState flowmesh_stun_results(FlowmeshStunClient *client);
