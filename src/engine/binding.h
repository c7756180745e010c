// The binding service: the engine's half of the binding protocol.
//
// It keeps one peer entry per network session that the network library
// reports established, opens the binding stream "p2p.bnd.strm" on it with a
// sender and a receiver (engine/peer_streams.h), stores the stream tables
// that the negotiation publishes per binder channel (service-wide, or for
// the peers a description names), and turns the engine's six binding
// messages (ENGINE_MSG_BIND_REQUEST .. ENGINE_MSG_BROADCAST_CLOSE) into
// codec offers to the peers (engine/codec_offer.h). A bind request is
// repeated once a second until the peer answers or 60 seconds pass. Offers
// that arrive are judged by their length and handed, one at a time, to the
// binding protocol's rules (the onOffer handler given at creation).
//
// Threads: the session and stream-request callbacks run on the network
// library's threads and only touch the peer store; the command-topic
// subscriber and the receivers post to the service's queue, whose consumer
// (on CORE_DEFAULT_EXECUTOR) runs every binding message and received offer
// one at a time, in arrival order; request tasks run on CORE_DEFAULT_EXECUTOR
// workers beside it; node-service requests run on their caller's thread.
// Every store guards itself; an item found while it is being deleted counts
// as absent. Control requests to the engine are made only while an engine
// node runs. Create returns the service or NULL; the callbacks return what
// their caller expects; everything else returns a CoreResult code.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "engine/codec_offer.h"
#include "engine/records.h"

struct CoreQueue;
struct CoreQueueEntry;
struct FlowmeshStreamAnswer;

// The engine session's control service (also named by the parts that
// answer it; all spell the same key).
#ifndef ENGINE_CONTROL_SERVICE
#define ENGINE_CONTROL_SERVICE "0781A815A943C8CE7A6629B17DF54062"
#endif

// A bind request goes out at once and then this often ...
#define ENGINE_BINDING_REQUEST_PERIOD_MS 1000
// ... until the peer answers or this long after the request.
#define ENGINE_BINDING_REQUEST_DEADLINE_MS 60000
// After an unbind or reject, requests of that bind sequence id are ignored
// this long.
#define ENGINE_BINDING_ANSWERED_HOLD_MS 90000
// The binding stream's parameters: byte rate and chunk size, and the media
// flags (0x10: neither audio nor video) by which the request of the peer's
// end is told from a media stream.
#define ENGINE_BINDING_STREAM_BYTES 32768u
#define ENGINE_BINDING_STREAM_FLAGS 0x10u
#define ENGINE_BINDING_RETRY_PAUSE_MS 100
// Bound of each peer's reader pool: a record is collected there until its
// END, so a peer that never ends one fails its own record, not the process.
// The largest table a node publishes takes well under a tenth of it.
#define ENGINE_BINDING_READER_POOL_SIZE (4u << 20)

// Types of the messages on the service's queue.
enum : uint32_t {
    ENGINE_BINDING_QUEUE_COMMAND = 0,  // flags: the command code; data: an EngineBindRecord
    ENGINE_BINDING_QUEUE_RECORD = 1,   // name: the session; data: a received offer record
};

// Data of ENGINE_EVT_BIND_STREAM_OPENED and ENGINE_EVT_BIND_STREAM_CLOSED.
struct EngineBindStreamEvent {
    CoreName session;
    CoreName peerNode;
    CoreName stream;  // "p2p.bnd.strm"
};
static_assert(sizeof(EngineBindStreamEvent) == 408, "bind stream event travels as 408 raw bytes");

struct EngineBindingService;
struct EngineBindingPeer;

// The binding protocol's handling of one received offer, on the queue
// consumer. `record` holds `length` bytes, at least the header; the peer
// entry is held for the call.
typedef CoreResult (*EngineBindingOfferFn)(EngineBindingService *service, EngineBindingPeer *peer,
                                           const EngineCodecOffer *record, uint64_t length);

struct EngineBindingParams {
    uint32_t binderDirection;  // ENGINE_DIRECTION_*; 0 refuses the creation
    uint32_t sendRoles;
    uint32_t receiveRoles;
    uint32_t p2pClass;        // sizeClass of offers on p2p channels
    uint32_t videoSizeClass;  // sizeClass of offers on p2m channels
    EngineBindingOfferFn onOffer;  // NULL: received offers are dropped
};

struct EngineBindingService {
    CoreName executor;        // CORE_DEFAULT_EXECUTOR
    CoreName commandTopic;    // ENGINE_COMMAND_TOPIC
    CoreName controlService;  // ENGINE_CONTROL_SERVICE
    CoreName nodeService;     // ENGINE_NODE_SERVICE
    CoreStore *peers;         // EngineBindingPeer by session; second name: peer node id
    uint32_t binderDirection;
    uint32_t sendRoles;
    uint32_t receiveRoles;
    uint32_t p2pClass;
    uint32_t videoSizeClass;
    CoreStore *offers;   // service-wide EngineBindingOffer by channel (broadcast tables)
    CoreStore *answers;  // service-wide EngineBindingOffer by channel
    uint64_t requestToken;
    uint64_t sessionToken;
    uint64_t commandKey;
    uint64_t nodeServiceKey;
    CoreQueue *queue;  // guarded by queueLock against the service's destruction
    EngineBindingOfferFn onOffer;
    std::mutex queueLock;
    std::atomic<uint64_t> offersDropped;    // received records too short to be an offer, or unqueued
    std::atomic<uint64_t> commandsDropped;  // binding messages too short or unqueued
};

// Store item of `peers`. The names are copies made when the entry is
// created; they stay what they were even while the entry is being deleted.
struct EngineBindingPeer {
    CoreStoreItem header;
    CoreStore *answered;   // EngineBindingMark by bind sequence id: bindings the peer asked for
    CoreStore *requested;  // EngineBindingMark by bind sequence id: bindings asked of the peer
    CoreStore *offers;     // EngineBindingOffer by channel: offer tables for this peer
    CoreStore *answers;    // EngineBindingOffer by channel: answer tables for this peer
    uint64_t sender;       // CORE_HANDLES_STREAMS handle on "p2p.bnd.strm"
    uint64_t receiver;
    std::atomic<uint32_t> peerVersion;  // the protocol version reported with the session
    CoreName session;
    CoreName peerNode;
    EngineBindingService *service;
    uint32_t opened;  // ENGINE_EVT_BIND_STREAM_OPENED was posted
};

// Store item of `answered` and `requested`; the insert argument is the
// binding's EngineMediaDesc, which the mark keeps.
struct EngineBindingMark {
    CoreStoreItem header;
    EngineMediaDesc desc;
    std::atomic<uint64_t> expiresAt;  // monotonic ms; 0: none
};

// Store item of the offer and answer stores. `table` is the item's own
// clone, fixed for its life; desc, sourceName and deadline change under
// the owning store's lock.
struct EngineBindingOffer {
    CoreStoreItem header;
    EngineStreamTable *table;  // from the node pool
    EngineMediaDesc desc;
    std::atomic<uint64_t> requestTask;  // id on CORE_DEFAULT_EXECUTOR; 0: none
    char sourceName[ENGINE_SOURCE_NAME_SIZE];
    uint64_t deadline;  // monotonic ms
};

// A new service: stores, node-service subscription, network registrations,
// command subscription and queue, in that order. NULL when params is NULL,
// binderDirection is 0 or a step fails (what was made is undone).
EngineBindingService *engine_binding_service_create(const EngineBindingParams *params);

// Unsubscribes from the command topic and the node service, removes both
// network registrations, destroys the queue (queued messages are dropped),
// then the peer entries (each posts ENGINE_EVT_BIND_STREAM_CLOSED and stops
// its request tasks) and both service-wide stores, frees the service and
// clears *service. NULL and a cleared pointer are ignored.
void engine_binding_service_destroy(EngineBindingService **service);

// ---- callbacks ----

// Network session events (user[0]: the service): an established session
// gets a peer entry and its binding stream; a closed one makes
// ENGINE_CTL_PEER_UNBIND for every mark (answered ones with kind 2 first,
// then requested ones with kind 1) and loses its entry. Always 0.
int engine_binding_on_session(void *record, FlowmeshStreamAnswer *answer);

// Incoming stream requests: 1 with the answer filled for the peer's end of
// a binding stream (media flag 0x10 set, bits 8-15 clear), else 0.
int engine_binding_on_stream_request(void *record, FlowmeshStreamAnswer *answer);

// The receivers' record callback (user: the service): queues the record
// under the session's name. 0 when it was queued or dropped; 1 keeps it
// with the receiver for its next pass (the queue could not take it).
int engine_binding_on_stream_data(const CoreName *session, const CoreName *stream, const void *data,
                                  uint64_t length, void *user);

// Command topic subscriber (user[0]: the service): queues the six binding
// messages. Always CORE_OK.
CoreResult engine_binding_on_command(const CoreQueueEntry *message, void **user);

// The queue's consumer (user[0]: the service), one message per call; the
// message is consumed in every case. A bind request or accept that fails
// (non-zero) is reported with engine_notify_unbind.
int engine_binding_on_message(CoreQueueEntry *entries, uint64_t *count, void **user);

// ENGINE_NODE_SERVICE handler (user[0]: the service). in: an
// EngineStreamTable of in_len bytes; out: the binding's EngineMediaDesc,
// read only, *out_len at least 544. ENGINE_SVC_SET_OFFER and
// ENGINE_SVC_SET_ANSWER replace the channel's table (service-wide when
// both session and peer node are empty, else in every matching peer):
// CORE_OK, CORE_ERR when an insert fails. ENGINE_SVC_UPDATE_STREAMS sends
// ENGINE_OFFER_UPDATE to the matching peers: CORE_OK, CORE_ERR for a
// channel of neither kind, no session and peer node, or a failed send.
// CORE_ERR_INVALID for a table whose count does not fit in_len or a
// missing description. CORE_NOT_MINE for every other code.
CoreResult engine_binding_on_node_request(uint32_t code, const void *in, uint64_t in_len, void *out,
                                          uint64_t *out_len, void **user);

// ---- binding messages (on the queue consumer) ----

// ENGINE_MSG_BIND_REQUEST: marks the binding requested with every matching
// peer and starts a request task for each that holds an offer table for
// the channel. CORE_OK when a task was started, CORE_DONE when none;
// CORE_ERR_INVALID for an empty channel or neither session nor peer node;
// CORE_ERR for a channel of neither kind or a node that may not request.
CoreResult engine_binding_request(EngineBindingService *service, const EngineBindRecord *record);

// ENGINE_MSG_BIND_ACCEPT: ENGINE_OFFER_ACCEPT with the stored answer table
// to every matching peer that has one. CORE_OK when a send succeeded, else
// the last send's result, CORE_DONE when nothing was sent;
// CORE_ERR_INVALID for an empty channel; CORE_ERR for a channel of neither
// kind or an empty session or peer node.
CoreResult engine_binding_accept(EngineBindingService *service, const EngineBindRecord *record);

// ENGINE_MSG_UNBIND and ENGINE_MSG_BIND_REJECT: for each matching peer
// engine_binding_peer_release, then ENGINE_OFFER_UNBIND or
// ENGINE_OFFER_REJECT. Results as the accept; CORE_ERR_INVALID for an
// empty channel or neither session nor peer node.
CoreResult engine_binding_unbind(EngineBindingService *service, const EngineBindRecord *record);
CoreResult engine_binding_reject(EngineBindingService *service, const EngineBindRecord *record);

// ENGINE_MSG_BROADCAST_OPEN: ENGINE_OFFER_BROADCAST_OPEN with the
// service-wide offer table to every matching peer (empty names match
// every peer). CORE_DONE when no service-wide offer exists for the
// channel; otherwise as the accept. ENGINE_MSG_BROADCAST_CLOSE sends
// ENGINE_OFFER_BROADCAST_CLOSE without a table and needs no stored offer.
CoreResult engine_binding_broadcast_open(EngineBindingService *service, const EngineBindRecord *record);
CoreResult engine_binding_broadcast_close(EngineBindingService *service, const EngineBindRecord *record);

// The request task (names: session and channel; user[0]: the service).
// Each pass sends ENGINE_OFFER_REQUEST with the peer's offer table; once
// the deadline has passed, a successful pass also reports the binding
// failed (ENGINE_CTL_PEER_UNBIND, kind 0), sends ENGINE_OFFER_UNBIND and
// ends. A failed send ends it; a missing entry or offer ends it with
// CORE_ERR. Otherwise it runs again ENGINE_BINDING_REQUEST_PERIOD_MS later.
int engine_binding_request_task(const CoreName *executor, uint64_t task, const CoreName *session,
                                const CoreName *channel, void **user);

// ---- helpers shared with the binding protocol ----

// The sizeClass of offers on `channel`: p2pClass on a p2p channel,
// videoSizeClass on a p2m one. CORE_OK, or CORE_ERR for a channel of
// neither kind.
CoreResult engine_binding_size_class(const EngineBindingService *service, const CoreName *channel, uint32_t *out);

// With insert: toggles the requested mark of desc's bind sequence id (an
// existing mark is removed: CORE_DONE; a missing one is inserted with desc:
// CORE_OK). Without: removes it (CORE_OK, or CORE_ERR_NOT_FOUND). CORE_ERR
// when the insert fails.
CoreResult engine_binding_requested_mark(EngineBindingPeer *peer, const EngineMediaDesc *desc, int insert);

// Stops the channel's request task of this peer, waiting for a pass that
// runs. CORE_OK when a task was stopped, CORE_DONE when none ran.
CoreResult engine_binding_cancel_request(EngineBindingPeer *peer, const CoreName *channel);

// What ending a binding with a peer clears: removes the requested mark of
// desc's bind sequence id, arms the answered mark to expire
// ENGINE_BINDING_ANSWERED_HOLD_MS from now when it has no expiry yet, and
// stops the channel's request task.
void engine_binding_peer_release(EngineBindingPeer *peer, const EngineMediaDesc *desc);

// Whether the peer entry matches desc's session and peer node; an empty
// name matches every entry.
bool engine_binding_peer_matches(const EngineBindingPeer *peer, const EngineMediaDesc *desc);

// Store callbacks of a peer entry (user: the service).
int engine_binding_peer_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_binding_peer_fini(CoreStore *store, CoreStoreItem *item, void **user);
