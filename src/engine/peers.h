// The presence service's peer table and the presence messages two nodes
// exchange on each session's service stream "p2p.svc.strm".
//
// Every network session is one EnginePresencePeer in the service's `peers`
// store, keyed by the session name. A peer collects what the other node
// tells it (its profile properties, the end of them, its ready marker) and
// which of the service streams are open; the announce cycle turns that
// into the engine events found, ready, changed, property and lost, in that
// order for each peer. Outgoing presence messages wait in the peer's
// `outgoing` list and leave one at a time from the peer's send task.
//
// Threads: the network callbacks (session, stream state, stream data) run
// on the network library's event thread, the event subscriber on the event
// topic's consumer, the cycle on the presence task and the send tasks on
// CORE_DEFAULT_EXECUTOR. Entries are used under a reader reference of the
// store, or (send tasks) between their creation and their fini, which
// cancels the task and waits for it; `flags` and the service's `changes`
// are atomic, the two lists each have their own lock held only to link or
// unlink. Only the cycle changes `phase`.
//
// The message codec is pure and reads nothing past the bytes it is given:
// a message whose length field, kind or size does not hold together is
// refused with CORE_ERR_INVALID and counted by the service. Other
// functions return CoreResult codes or counts as stated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"
#include "core/sync.h"
#include "engine/node.h"
#include "flowmesh/interface.h"

struct EnginePresenceService;

// EnginePresencePeer.flags
enum : uint32_t {
    ENGINE_PEER_FOUND = 0x1,
    ENGINE_PEER_ANNOUNCED = 0x2,
    ENGINE_PEER_PROPERTIES_RECEIVED = 0x4,
    ENGINE_PEER_READY_RECEIVED = 0x8,
    ENGINE_PEER_STREAM_BIND = 0x10000,      // "p2p.bnd.strm" open
    ENGINE_PEER_STREAM_MESSAGES = 0x20000,  // "p2p.msg.strm" open
    ENGINE_PEER_STREAM_FILES = 0x40000,     // "p2p.ftr.strm" open
};

#define ENGINE_STREAM_BIND "p2p.bnd.strm"
#define ENGINE_STREAM_MESSAGES "p2p.msg.strm"
#define ENGINE_STREAM_FILES "p2p.ftr.strm"

// EnginePresencePeer.phase
enum : uint32_t {
    ENGINE_PEER_NEW = 0,
    ENGINE_PEER_JOINING = 1,
    ENGINE_PEER_ESTABLISHED = 2,
    ENGINE_PEER_GONE = 3,
};

// A peer that is not ready this long after its session came up is dropped
// without ever being reported.
#define ENGINE_PEER_DEADLINE_MS 30000u

// Kinds of presence messages.
enum : uint32_t {
    ENGINE_PRESENCE_PROPERTY = 0,
    ENGINE_PRESENCE_END_OF_PROPERTIES = 0x3F000,
    ENGINE_PRESENCE_READY = 0x80000,
};

// Sizes of presence messages: u32 length, u32 kind, then either the
// property's 32-byte name key and its value or a u32 zero.
#define ENGINE_PRESENCE_PROPERTY_HEAD 40u
#define ENGINE_PRESENCE_MARKER_SIZE 12u
#define ENGINE_PRESENCE_PROPERTY_MAX (ENGINE_PRESENCE_PROPERTY_HEAD + ENGINE_PROP_VALUE_MAX)
#define ENGINE_PRESENCE_AVATAR_MAX (ENGINE_PRESENCE_PROPERTY_HEAD + ENGINE_PROP_AVATAR_MAX)

// Data of ENGINE_EVT_PEER_READY.
struct EnginePeerReady {
    EnginePeerRecord record;
    uint32_t zero;
    uint64_t peerWord;      // the value the peer sent with its identity
    uint64_t identityTime;  // time of the peer's identity
};
static_assert(sizeof(EnginePeerReady) == 440, "the ready event carries 440 bytes");
static_assert(offsetof(EnginePeerReady, peerWord) == 424, "");

// A received presence message; name and value point into the parsed bytes.
struct EnginePresenceMessage {
    uint32_t length;  // the length field: bytes of the message
    uint32_t kind;
    const uint8_t *nameKey;  // property: the 32-byte key of its name
    const uint8_t *value;    // property: its value
    uint32_t valueLength;
};

// One queued presence message (outgoing) or received property (inbound, an
// EngineNodeProperty header and its value): a list node and its bytes in
// one block of the service's pool.
struct EnginePresenceItem {
    EnginePresenceItem *next;
    uint64_t length;
    uint8_t *data;  // the bytes after this node
};

struct EnginePresenceList {
    CoreLock lock;
    EnginePresenceItem *first;
    EnginePresenceItem *last;
};

struct EnginePresencePeer {
    CoreStoreItem header;  // key and second name: the session name
    std::atomic<uint32_t> flags;
    EnginePeerRecord record;
    uint64_t peerWord;
    uint64_t identityTime;
    uint32_t phase;     // the cycle's alone
    uint64_t deadline;  // monotonic ms by which the peer must be ready
    EnginePresenceList outgoing;
    EnginePresenceList inbound;
    uint64_t sendTask;  // parked until triggered
    EnginePresenceService *service;
};

// ---- presence messages ----

// Bytes of a message of `kind` with a value of `valueLength` bytes (kind
// 0), or of a marker.
uint64_t engine_presence_message_size(uint32_t kind, uint64_t valueLength);

// Writes one message into `out`. The number of bytes written, or 0 when
// `capacity` is too small, the kind is unknown, or a property lacks its
// name or breaks its length rule (at most 256 value bytes, 131072 for
// "node.avatar.field").
uint64_t engine_presence_message_write(uint32_t kind, const uint8_t nameKey[CORE_NAME_KEY_SIZE], const void *value,
                                       uint64_t valueLength, uint8_t *out, uint64_t capacity);

// Reads one received message of `size` bytes. CORE_OK with *out filled;
// CORE_NOT_MINE for a message of an unknown kind whose length field is
// sound (ignored by the receiver); CORE_ERR_INVALID when fewer than 8
// bytes arrived, the length field claims more than arrived, a marker is not
// 12 bytes long, or a property is shorter than 40 bytes or longer than its
// name allows. Bytes past the length field are not read.
CoreResult engine_presence_message_parse(const void *data, uint64_t size, EnginePresenceMessage *out);

// ---- the peer table ----

// The peer store of a service: items of EnginePresencePeer keyed by
// session name, reclaimed on the service's executor. NULL on failure.
CoreStore *engine_presence_peers_create(EnginePresenceService *service);

// Whether the peer is ready: found, its properties received and every
// stream bit the service requires open.
bool engine_presence_peer_ready(const EnginePresenceService *service, const EnginePresencePeer *peer);

// A list node with room for `size` bytes from the service's pool, or NULL.
EnginePresenceItem *engine_presence_message_alloc(EnginePresenceService *service, uint64_t size);
void engine_presence_message_free(EnginePresenceService *service, EnginePresenceItem *item);

// Appends a property message (name key, value) to the peer's outgoing list
// and triggers its send task. CORE_OK; CORE_ERR_INVALID for a property that
// breaks its rule; CORE_ERR when memory is short.
CoreResult engine_presence_queue_property(EnginePresenceService *service, EnginePresencePeer *peer,
                                          const uint8_t nameKey[CORE_NAME_KEY_SIZE], const void *value,
                                          uint64_t valueLength);

// Queues one property message per property of the engine node (when its
// list is sealed), then the end-of-properties marker, and triggers the
// send task. CORE_OK, or CORE_ERR when memory is short (nothing queued).
CoreResult engine_presence_send_full_state(EnginePresenceService *service, EnginePresencePeer *peer);

// Takes a received property message: an EngineNodeProperty with the
// peer's record goes to `inbound` and `changes` grows.
CoreResult engine_presence_on_property(EnginePresenceService *service, EnginePresencePeer *peer,
                                       const EnginePresenceMessage *message);

// Posts every received property as ENGINE_EVT_PEER_PROPERTY, oldest first;
// a status "status.offline.value" clears `found`.
void engine_presence_deliver_properties(EnginePresenceService *service, EnginePresencePeer *peer);

// Clears `announced`; posts ENGINE_EVT_PEER_LOST when it was set. 1 when
// the peer had not been announced, else 0.
int engine_presence_peer_lost(EnginePresenceService *service, EnginePresencePeer *peer);

// Sets or clears a stream bit of the session's peer for a stream name of
// the three the service follows; other names change nothing.
void engine_presence_stream_opened(EnginePresenceService *service, const CoreName *session, const CoreName *stream);
void engine_presence_stream_closed(EnginePresenceService *service, const CoreName *session, const CoreName *stream);

// One pass of the announce cycle over every live peer. The number of peers
// still moving (not settled in the established phase).
uint32_t engine_presence_cycle(EnginePresenceService *service);

// ---- callbacks; user[0] of each record is the service ----

// Network session events (table 0): up makes a peer and sends it the full
// state, down loses and removes it, state 2 posts ENGINE_EVT_LOCAL_ENDPOINT.
int engine_presence_on_session(void *record, FlowmeshStreamAnswer *answer);
// Stream-state events (table 3): an opened stream sets its bit.
int engine_presence_on_stream_state(void *record, FlowmeshStreamAnswer *answer);
// Stream data (table 2): presence messages of "p2p.svc.strm".
int engine_presence_on_data(void *record, FlowmeshStreamAnswer *answer);
// Event topic subscriber (user[0]: the service): closed binding streams.
CoreResult engine_presence_on_event(const CoreQueueEntry *message, void **user);

// The per-peer send task (user: the service, the peer).
int engine_presence_peer_send_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *,
                                   void **user);
