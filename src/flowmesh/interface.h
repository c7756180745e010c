// The network library's face toward the engine: the configuration record,
// the stream parameter block, the seven event tables with their callback
// sets and event records, and the operations that register, post and fan
// events out.
//
// The event table set (one per core) owns seven stores of registered
// callback sets and one event pipe whose consumer thread delivers the
// session, status, stream-state and statistics events in posting order.
// Stream data (table 2) and transport events (table 4) are fanned out
// directly by the threads that own those reports, and table 6 is asked
// synchronously while a peer's open request is handled. Any thread may
// register, unregister or post; callbacks run with no library lock held, so
// a callback may unregister itself or post further events.
//
// Registration returns a token (the lowest free number from 1) or 0 on
// failure; the other operations return CoreResult codes as stated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/adapters.h"
#include "core/names.h"
#include "core/result.h"
#include "flowmesh/names.h"

struct CorePipe;
struct CoreStore;
typedef struct evp_pkey_st EVP_PKEY;

#define FLOWMESH_ADAPTER_SLOTS 16

// The number every node sends in its first hello message; the engine reads
// it as the peer's protocol version.
#define FLOWMESH_PEER_VALUE 4u

// FlowmeshConfig.flags
enum : uint32_t {
    FLOWMESH_ROLE_IDENTITY = 0x01,   // accepts identity blocks
    FLOWMESH_ROLE_KEY = 0x02,        // accepts key messages
    FLOWMESH_MODE_DIRECT = 0x04,     // direct mode with the STUN client
    FLOWMESH_MODE_LAN = 0x08,        // broadcast discovery
    FLOWMESH_IGNORE_OWN = 0x10,      // ignore identity blocks from the own address
    FLOWMESH_FIXED_ADAPTERS = 0x20,  // use the adapter records as given
};

// FlowmeshConfig.key_options
enum : uint32_t {
    FLOWMESH_KEYS_128 = 0x01,
    FLOWMESH_KEYS_256 = 0x02,
};

// Smallest non-zero size of the two optional reliable pools.
#define FLOWMESH_MIN_POOL_SIZE 2048ULL

// The configuration the engine fills; the core keeps a copy made at
// creation. Words the library does not read are kept so the record stays
// the engine's.
struct FlowmeshConfig {
    uint16_t base_port;    // data sockets and the eight discovery ports
    uint16_t second_port;  // second port of the per-adapter engine
    uint32_t stun_address;  // network byte order
    uint16_t stun_port;     // host order, like base_port
    CoreName system_name;  // only nodes with the same system name meet
    CoreName user_id;
    CoreName node_id;
    int32_t adapter_index;  // -1: choose adapters by `adapters`
    CoreNetAdapter adapters[FLOWMESH_ADAPTER_SLOTS];  // allow-list; only id text counts
    uint32_t key_options;   // FLOWMESH_KEYS_*
    uint32_t unread_word0;
    uint32_t flags;         // FLOWMESH_ROLE_*, FLOWMESH_MODE_*, ...
    uint32_t peer_mode;
    uint32_t announce_mode;  // 1, 2 or 3
    uint32_t unread_word1;
    uint64_t reliable_pool_size;        // 0, or at least 2048
    uint64_t reliable_queue_pool_size;  // 0, or at least 2048
    uint64_t engine_words[6];  // carried for the engine
    uint32_t engine_word6;
    uint64_t engine_word7;
    EVP_PKEY *rsa_key;  // NULL: each adapter instance makes its own
};

enum FlowmeshEventTable : uint32_t {
    FLOWMESH_EVENTS_SESSION = 0,
    FLOWMESH_EVENTS_STATUS = 1,
    FLOWMESH_EVENTS_STREAM_DATA = 2,
    FLOWMESH_EVENTS_STREAM_STATE = 3,
    FLOWMESH_EVENTS_TRANSPORT = 4,
    FLOWMESH_EVENTS_STREAM_STATS = 5,
    FLOWMESH_EVENTS_STREAM_REQUEST = 6,
};
#define FLOWMESH_EVENT_TABLES 7

enum FlowmeshStreamKind : uint32_t {
    FLOWMESH_STREAM_PACED = 1,
    FLOWMESH_STREAM_MEDIA = 2,
    FLOWMESH_STREAM_RELIABLE = 3,
};

enum FlowmeshSessionState : uint32_t {
    FLOWMESH_SESSION_UP = 0,
    FLOWMESH_SESSION_DOWN = 1,
    FLOWMESH_SESSION_UNREACHABLE = 2,
};

enum FlowmeshStreamState : uint32_t {
    FLOWMESH_STREAM_ACCEPTED = 0,
    FLOWMESH_STREAM_OPENED = 1,
    FLOWMESH_STREAM_ENDED = 2,
    FLOWMESH_STREAM_CLOSED = 3,
};

enum FlowmeshStatusCode : uint32_t {
    FLOWMESH_STATUS_NETWORK_CHANGED = 0,  // u32 reason
    FLOWMESH_STATUS_ADAPTER_ADDED = 1,    // CoreNetAdapter
    FLOWMESH_STATUS_ADAPTER_REMOVED = 2,  // CoreNetAdapter
    FLOWMESH_STATUS_ADAPTER_LOST = 3,     // CoreNetAdapter
    FLOWMESH_STATUS_STATE = 4,            // u32 network state: 0 stopped, 2 started
};

// Payload of FLOWMESH_STATUS_NETWORK_CHANGED.
enum : uint32_t {
    FLOWMESH_CHANGE_ENGINE = 0,          // the engine manager lost the network
    FLOWMESH_CHANGE_ADAPTERS = 1,        // adapters came or went, or one was allowed
    FLOWMESH_CHANGE_ADAPTER_REMOVED = 2, // an adapter left the allow-list
};

// Buffer sizes a table-6 answer starts from, and the range it is held to.
#define FLOWMESH_ANSWER_BUFFER 0x8000ULL
#define FLOWMESH_ANSWER_BUFFER_MIN 2048ULL
#define FLOWMESH_ANSWER_BUFFER_MAX 0x2000000ULL

// A stream's kind, the opener's class word (subscribers match on it) and
// its stream name.
struct FlowmeshKindBlock {
    uint32_t kind;  // FlowmeshStreamKind
    uint32_t class_word;
    CoreName stream_name;
};

// The parameter block of a stream.
struct FlowmeshStreamParams {
    uint64_t send_buffer;
    uint64_t receive_buffer;
    uint64_t word;   // handed to the transport as its user pointer
    uint32_t flags;  // the transport gets the low byte shifted left by one
    CoreName owner_name;
    FlowmeshKindBlock kind;
    uint64_t id_value;  // low u32: redundancy copies; high u32: redundancy period
    uint64_t rate;      // pacing, bits per second
    uint64_t min_bitrate;
    uint64_t max_bitrate;
    uint64_t min_rto_ms;  // 0 gives 1000
    uint64_t max_rto_ms;  // 0 gives 10000
    uint32_t frame_rate[2];         // numerator, denominator
    uint32_t second_frame_rate[2];  // numerator, denominator
};

// What a table-6 subscriber fills in when it accepts a stream.
struct FlowmeshStreamAnswer {
    uint64_t send_buffer;     // preset FLOWMESH_ANSWER_BUFFER
    uint64_t receive_buffer;  // preset FLOWMESH_ANSWER_BUFFER
    uint64_t word;
    uint32_t flags;
    uint32_t kind_bits;
    uint64_t id_value;
    uint64_t rate;
    uint64_t min_bitrate;
    uint64_t max_bitrate;
    uint64_t min_rto_ms;
    uint64_t max_rto_ms;
    uint32_t frame_rate[2];
    uint32_t second_frame_rate[2];
    CoreName owner_name;
};

// The session block of a session event. Its size is part of the posted
// session record.
struct FlowmeshSessionInfo {
    uint32_t state;     // FlowmeshSessionState
    uint32_t key_role;  // 1: this node uses the stream keys the peer makes
    uint32_t peer_address;  // network byte order
    uint16_t peer_port;
    uint32_t peer_value;  // from the peer's hello; 0 before it arrived
    uint64_t peer_stamp;
    uint64_t local_stamp;
    uint32_t peer_mode;  // 2 when the peer's mode is 2, else 1
};
static_assert(sizeof(FlowmeshSessionInfo) == 48, "the posted session record carries 48 bytes of info");

// Records delivered to callbacks. Each ends with the two user words of
// the set it is delivered to; pointers in them are valid during the call
// only.

struct FlowmeshSessionEvent {  // table 0
    CoreName session;
    CoreName peer;
    CoreName peer_node;  // empty until the peer's node id arrived
    uint32_t zero;
    const FlowmeshSessionInfo *info;
    uint64_t user[2];
};

struct FlowmeshStatusEvent {  // table 1; the payload's size follows from the code
    uint32_t code;  // FlowmeshStatusCode
    const void *payload;
    uint64_t user[2];
};

struct FlowmeshStreamEvent {  // table 2
    CoreName session;
    CoreName instance;
    CoreName owner;
    CoreName stream;
    const void *data;
    uint64_t length;
    uint64_t user[2];
};

struct FlowmeshStreamStateEvent {  // table 3
    CoreName session;
    CoreName instance;
    CoreName owner;
    uint32_t state;     // FlowmeshStreamState
    uint32_t key_kind;  // the stream's peer key kind, masked with 3
    FlowmeshKindBlock kind;
    uint64_t user[2];
};

struct FlowmeshTransportEvent {  // table 4
    CoreName session;
    CoreName instance;
    CoreName owner;
    CoreName stream;
    uint64_t bitrate;
    int32_t quality;
    uint64_t user[2];
};

struct FlowmeshStreamStatsEvent {  // table 5
    CoreName session;
    CoreName instance;
    CoreName owner;
    CoreName stream;
    uint64_t acknowledged;  // bytes, running total
    uint64_t delivered;     // bytes, running total
    uint64_t user[2];
};

struct FlowmeshStreamRequest {  // table 6
    CoreName session;
    CoreName instance;
    CoreName owner;  // always empty: an accepting subscriber names the owner
    FlowmeshKindBlock kind;
    uint64_t user[2];
};

// `record` is the table's event record; `answer` is set for table 6 only.
// The result counts only in table 6: above 0 accepts the stream.
typedef int (*FlowmeshCallbackFn)(void *record, FlowmeshStreamAnswer *answer);

struct FlowmeshCallbacks {
    FlowmeshCallbackFn callback;
    uint64_t user[2];
};

// Posting kinds: the type of a message on the event pipe.
enum : uint32_t {
    FLOWMESH_POST_SESSION = 0,       // -> table 0
    FLOWMESH_POST_SERVICE_DATA = 1,  // -> table 2
    FLOWMESH_POST_STATUS = 2,        // -> table 1
    FLOWMESH_POST_STREAM_STATE = 3,  // -> table 3
    FLOWMESH_POST_STREAM_STATS = 4,  // -> table 5
};

struct FlowmeshEventTableSet {
    CoreStore *tables[FLOWMESH_EVENT_TABLES];  // entries hold a copy of a FlowmeshCallbacks
    CorePipe *pipe;  // the event pipe, own consumer thread
};

// ---- the core's public operations (each acquires the process's core) ----

// 0; -91 when a reliable pool size is 1 to 2047; -100 when a core exists
// already or anything cannot be made.
CoreResult flowmesh_core_create(const FlowmeshConfig *config);

// 2 starts the network engine, 0 stops it. 0; -85 for 1; -91 for any other
// value; -79 while another change runs or when the network is started
// already (stop first); -100 without a ready core or when the engine cannot
// be made. Stopping a stopped network does nothing and returns 0.
CoreResult flowmesh_set_state(int state);

// Tokens for tables 0, 2, 3 and 6; 0 on failure (no core, NULL set).
uint64_t flowmesh_register_session_callbacks(const FlowmeshCallbacks *callbacks);
uint64_t flowmesh_register_data_callbacks(const FlowmeshCallbacks *callbacks);
uint64_t flowmesh_register_state_callbacks(const FlowmeshCallbacks *callbacks);
uint64_t flowmesh_register_request_callbacks(const FlowmeshCallbacks *callbacks);

void flowmesh_unregister_data_callbacks(uint64_t token);
void flowmesh_unregister_state_callbacks(uint64_t token);
void flowmesh_unregister_request_callbacks(uint64_t token);

// ---- operations on an event table set held by the caller ----

// Makes the seven stores (reclaimed on `executor`) and the event pipe
// (drawing from `pool`). NULL on failure. Both names must stay registered
// until the set is destroyed.
FlowmeshEventTableSet *flowmesh_event_tables_create(const CoreName *executor, const CoreName *pool);

// Stops the pipe (queued events are dropped), destroys the stores and the
// set, and clears *set. NULL and a cleared pointer are ignored.
void flowmesh_event_tables_destroy(FlowmeshEventTableSet **set);

// Registers a copy of `callbacks` in any table (tables 1 and 4 have no
// core-level function). The token, or 0.
uint64_t flowmesh_register_callbacks(FlowmeshEventTableSet *set, uint32_t table,
                                     const FlowmeshCallbacks *callbacks);

// Removes the token from the table; nothing for an unknown token, 0 or a
// table above 6. On return no call to that set runs on another thread and
// none will start; from inside a callback of the same table it returns at
// once (the running walk ends first on this thread).
void flowmesh_unregister_callbacks(FlowmeshEventTableSet *set, uint32_t table, uint64_t token);

// Posts a status event to table 1. 0; -91 when the payload is shorter than
// the code's record (a u32 for codes 0 and 4, a CoreNetAdapter for 1 to 3);
// -100 for a NULL set or a failed post.
CoreResult flowmesh_post_event(FlowmeshEventTableSet *set, uint32_t code, const void *payload,
                               uint64_t length);

// Posting kinds 0, 1, 3 and 4, delivered in posting order with status
// events. 0, or -100 for a NULL set or a failed post.
CoreResult flowmesh_post_session_event(FlowmeshEventTableSet *set, const CoreName *session,
                                       const CoreName *peer, const CoreName *peer_node,
                                       const FlowmeshSessionInfo *info);
CoreResult flowmesh_post_service_data(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const CoreName *stream, const void *data, uint64_t length);
CoreResult flowmesh_post_stream_state(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const FlowmeshKindBlock *kind, uint32_t key_kind, uint32_t state);
CoreResult flowmesh_post_stream_stats(FlowmeshEventTableSet *set, const CoreName *session,
                                      const CoreName *instance, const CoreName *owner,
                                      const CoreName *stream, uint64_t acknowledged, uint64_t delivered);

// Direct fan-out on the calling thread: `record` is delivered to every set
// of the table with that set's user words (the record's own are
// overwritten). For tables 2 and 4, whose reports are not posted.
void flowmesh_fan_stream_data(FlowmeshEventTableSet *set, FlowmeshStreamEvent *record);
void flowmesh_fan_transport(FlowmeshEventTableSet *set, FlowmeshTransportEvent *record);

// Asks every table-6 set about a stream the peer opens and merges the
// accepting answers into `params` (which holds the peer's request).
// Returns how many sets accepted.
uint32_t flowmesh_fan_stream_request(FlowmeshEventTableSet *set, const FlowmeshStreamRequest *request,
                                     FlowmeshStreamParams *params);
