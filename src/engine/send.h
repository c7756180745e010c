// The send service: the streamer half of the media path.
//
// For every established peer session it keeps the senders of the streams
// this node sends to that peer; each sender entry owns one network stream,
// opened with the values of the stream's send profile, and one sender
// object (engine/peer_streams.h) that paces frame messages into it. The
// engine hands the service the send profiles and every encoded sample
// chain through ENGINE_NODE_SERVICE, and starts and stops a profile slot's
// senders for a binding with commands. Each chain leaves as frame messages
// of at most ENGINE_FRAME_ENTRIES_MAX entries (engine/receive.h has the
// layout); a sender whose queue is over its limit drops the message, the
// stream remembers the gap, and the next message that leaves carries the
// discontinuity bit. Stream opening and closing, the bits queued every
// 200 ms and the network library's rate feedback are posted on
// ENGINE_EVENT_TOPIC.
//
// Threads: the node-service handler on the thread that forwards the
// capture pipeline's samples (one pipeline feeds one stream, so one
// stream's sends never overlap); the command subscriber on the command
// topic's consumer; the network callbacks on the network library's
// threads; the statistics tasks on ENGINE_SEND_EXECUTOR. Entries are used
// under reader references; a profile's bytes change only under the
// profiles store's lock. Create returns the service or NULL; the rest
// CoreResult codes as stated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "engine/profile_request.h"
#include "engine/receive.h"
#include "engine/records.h"

struct CoreQueueEntry;
struct FlowmeshStreamAnswer;

#define ENGINE_SEND_EXECUTOR "8D3F0B6E2A7C41D9B5E8147C0F2A6D93"
#define ENGINE_SEND_STATS_PERIOD_MS 200
// Pause of a sender whose stream took only part of a message.
#define ENGINE_SEND_RETRY_PAUSE_MS 100
// A frame message carrying one sample of n bytes is n + this on the wire:
// 13 item heads of 5 bytes and 76 bytes of fixed values.
#define ENGINE_FRAME_MESSAGE_OVERHEAD 141u

// EngineSendService.sendRoles and bindingRole.
enum : uint32_t {
    ENGINE_SEND_ROLE_REQUESTER = 0x1,  // rate control when this node asked for the binding
    ENGINE_SEND_ROLE_ANSWERER = 0x2,   // ... when it accepted it
};

// EngineSendStream.state
enum : uint32_t {
    ENGINE_SEND_FAILED = 0x1,  // the last send failed or was dropped
};

// ENGINE_EVT_SEND_STATS and ENGINE_EVT_SEND_FEEDBACK.
struct EngineSendStatsEvent {
    CoreName channel;
    CoreName session;
    CoreName stream;
    uint64_t bits;  // stats: bits queued in the period; feedback: the bit rate asked for
    int32_t step;   // stats: -1; feedback: the ladder step, -1 none
};
static_assert(sizeof(EngineSendStatsEvent) == 424 && offsetof(EngineSendStatsEvent, bits) == 408 &&
                  offsetof(EngineSendStatsEvent, step) == 416,
              "send statistics event is 424 bytes");

// ENGINE_EVT_SEND_STREAM_OPENED and ENGINE_EVT_SEND_STREAM_CLOSED.
struct EngineSendStreamEvent {
    CoreName channel;
    CoreName peerNode;
    CoreName session;
    CoreName slot;
    CoreName stream;
    uint32_t value;  // opened: the u32 of the stream-state event; closed: 0
};
static_assert(sizeof(EngineSendStreamEvent) == 684 && offsetof(EngineSendStreamEvent, value) == 680,
              "send stream event is 684 bytes");

struct EngineSendService {
    uint32_t sendRoles;                 // ENGINE_SEND_ROLE_*
    std::atomic<uint32_t> bindingRole;  // 1 after a bind request, 2 after an accept; 0 before
    CoreName executorName;
    CoreName nodeService;
    CoreName commandTopic;
    CoreStore *sessions;  // EngineSendSession items
    CoreStore *profiles;  // EngineSendProfile items
    uint64_t requestToken;
    uint64_t sessionToken;
    uint64_t stateToken;
    uint64_t nodeSubscription;
    uint64_t commandSubscription;
    bool executorMade;
};

// Entry of `sessions`, keyed by the network session's name. `senders`
// comes first: the store's shared destroy callback destroys it.
struct EngineSendSession {
    CoreStoreItem header;
    CoreStore *senders;  // EngineSendStream items
    CoreName peerNodeId;
};

// Entry of `profiles`: key the profile's stream name, second name its slot.
struct EngineSendProfile {
    CoreStoreItem header;
    EngineProfileRequest profile;
};

// Entry of a session's `senders`, keyed by the stream's name.
struct EngineSendStream {
    CoreStoreItem header;
    std::atomic<uint64_t> bytesSent;  // data bytes queued since the last statistics run
    EngineProfileRequest profile;
    CoreName binderChannel;
    CoreName peerNodeId;
    CoreName sessionName;
    CoreName slotName;
    std::atomic<uint32_t> state;  // ENGINE_SEND_FAILED
    uint64_t sender;              // handle in CORE_HANDLES_STREAMS; its first field is the sequence counter
    uint64_t statsTask;
    uint64_t feedbackToken;  // in the network core's transport table
    EngineSendService *service;
    uint32_t live;  // set once the entry is complete; its fini undoes only such entries
};

// The create argument of a sender entry.
struct EngineSendStreamArgs {
    EngineSendService *service;
    EngineProfileRequest profile;
    CoreName binderChannel;
    CoreName peerNodeId;
    CoreName sessionName;
    CoreName slotName;
};

// A new service; NULL when any step fails (what was made is undone) or an
// executor of that name exists already.
EngineSendService *engine_send_service_create(uint32_t sendRoles);

// Unsubscribes and unregisters, removes every profile, session and sender
// (each sender posts its close event), destroys the executor, frees the
// service and clears *service. NULL and a cleared pointer are ignored.
void engine_send_service_destroy(EngineSendService **service);

// ENGINE_NODE_SERVICE handler (user[0]: the service); CORE_NOT_MINE for
// codes other than ENGINE_SVC_SEND_FRAMES and ENGINE_SVC_SEND_PROFILE.
CoreResult engine_send_on_node_service(uint32_t code, const void *in, uint64_t in_len, void *out,
                                       uint64_t *out_len, void **user);

// Command topic subscriber (user[0]: the service).
CoreResult engine_send_on_command(const CoreQueueEntry *message, void **user);

// Network-library callbacks; user[0] of the record is the service, for the
// feedback callback the sender entry.
int engine_send_on_session(void *record, FlowmeshStreamAnswer *answer);
int engine_send_on_stream_state(void *record, FlowmeshStreamAnswer *answer);
// 1 with the stored profile's values for a media stream that has one; 0
// for any other request.
int engine_send_on_stream_request(void *record, FlowmeshStreamAnswer *answer);
int engine_send_on_feedback(void *record, FlowmeshStreamAnswer *answer);

// Stores or replaces the profile of its stream under the slot name.
// CORE_OK, or CORE_ERR when the entry cannot be made.
CoreResult engine_send_profile_store(EngineSendService *service, const EngineProfileRequest *profile,
                                     const CoreName *slot);

// ENGINE_CMD_SEND_STREAM_ADD: desc's names are binder channel, peer node,
// session and profile slot. CORE_OK a sender was added; CORE_DONE no
// profile of the slot; CORE_ERR_INVALID no channel, or neither peer nor
// session; CORE_ERR_REFUSED no such session; CORE_ERR a sender could not
// be made or exists already.
CoreResult engine_send_stream_add(EngineSendService *service, const EngineMediaDesc *desc);

// ENGINE_CMD_SEND_STREAM_REMOVE: removes the slot's senders of the channel
// from every session of the peer (or the named session when no peer is
// given).
void engine_send_stream_remove(EngineSendService *service, const EngineMediaDesc *desc);

// Sends a chain on the stream named by the batch. CORE_OK queued; CORE_DONE
// dropped (the sender's queue over its limit, or out of room);
// CORE_ERR_NOT_FOUND no such session or stream; CORE_ERR a sample without
// data; else the sender's error.
CoreResult engine_send_frames(EngineSendService *service, const EngineFrameBatch *batch, const RavkSample *first);
CoreResult engine_send_frame_message(EngineSendService *service, EngineSendStream *stream,
                                     const EngineFrameBatch *batch, const RavkSample *first);

// The wire size of a frame message with one sample of n bytes: n + 141;
// n itself when n is more than a TLV blob may hold.
uint64_t engine_frame_message_size(uint64_t n);

// The statistics task (user[0]: the sender entry).
int engine_send_stats_task(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                           void **user);

// Store item callbacks.
int engine_send_session_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
int engine_send_profile_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
int engine_send_stream_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_send_stream_fini(CoreStore *store, CoreStoreItem *item, void **user);
