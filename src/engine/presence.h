// The presence service: the node's presence on the network.
//
// It owns the network library's core (made at creation, destroyed with
// the service, so destroying it ends all networking), and it alone starts
// and stops the network: its presence task, which going online schedules
// and which re-arms itself every 500 to 1200 ms, registers the network
// callbacks, runs the announce cycle of the peer table (engine/peers.h),
// restarts the network when adapters change and applies the node's own
// status (online, away, busy start the network; offline stops it). It
// reports the presence state (ENGINE_EVT_PRESENCE_STATE, on change), the
// adapters the library reports and the peer events, and carries out the
// node commands ENGINE_CMD_NODE_PROPERTY to ENGINE_CMD_UNBLOCK_NODE.
//
// Threads: the task on CORE_DEFAULT_EXECUTOR; the command and event
// subscribers on their topics' consumers; the status callback on the
// network library's event thread; create, go online, go offline and
// destroy on the engine's command consumer (or a test's thread). Requests
// and counters that several of them touch are atomic; `appliedStatus` and
// the network state belong to the task. Functions return CoreResult codes
// as stated.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "engine/config.h"
#include "engine/peers.h"

struct CorePool;
struct CoreQueue;
struct CoreStore;

// EnginePresenceService.runWord
enum : uint32_t {
    ENGINE_PRESENCE_IDLE = 0,
    ENGINE_PRESENCE_STARTING = 2,  // going online: the next run registers the callbacks
    ENGINE_PRESENCE_RUNNING = 3,
};

// Indices of the own status (engine_status_value_index).
enum : uint32_t {
    ENGINE_STATUS_INDEX_ONLINE = 0,
    ENGINE_STATUS_INDEX_AWAY = 1,
    ENGINE_STATUS_INDEX_BUSY = 2,
    ENGINE_STATUS_INDEX_OFFLINE = 3,
};

// The task's period: 500 ms plus a random 0..700.
#define ENGINE_PRESENCE_PERIOD_MIN_MS 500u
#define ENGINE_PRESENCE_PERIOD_SPREAD 701u
// Going to the offline status lets the status broadcast leave first.
#define ENGINE_PRESENCE_OFFLINE_PAUSE_MS 300u
// A message that could not be handed to the session yet is offered again.
#define ENGINE_PRESENCE_RESEND_MS 500u

struct EnginePresenceService {
    std::atomic<uint32_t> restartRequests;  // network restarts asked for
    std::atomic<uint32_t> changes;          // peer changes since the last cycle
    CoreName commandTopic;
    CoreName eventTopic;
    std::atomic<uint64_t> presenceTask;
    std::atomic<uint32_t> presenceState;  // last posted ENGINE_PRESENCE_* state; 0 before the first
    CoreStore *peers;                     // EnginePresencePeer items
    uint32_t appliedStatus;               // ENGINE_STATUS_INDEX_*; the task's alone
    uint64_t commandSubscription;
    uint64_t eventSubscription;
    uint32_t requiredStreams;  // ENGINE_PEER_STREAM_* bits a ready peer has open
    EngineNetworkSetup config;
    std::atomic<uint32_t> runWord;
    CorePool *pool;          // CORE_DEFAULT_POOL: messages and received properties
    CoreQueue *statusQueue;  // requested status indices, u32 each, newest last
    CoreName executorName;   // CORE_DEFAULT_EXECUTOR
    // Registrations of the four network callbacks; the task makes them and
    // destruction removes them.
    uint64_t sessionToken;
    uint64_t statusToken;
    uint64_t stateToken;
    uint64_t dataToken;
    bool coreMade;  // this service created the network core
    // ENGINE_CMD_DISCOVERY_MODE's announce mode, applied by the task when
    // it next starts the network; 0 for none.
    std::atomic<uint32_t> requestedAnnounceMode;
    std::atomic<uint64_t> droppedMessages;  // received presence messages refused
};

// The index of a status value text (exact bytes and length), or -1.
int32_t engine_status_value_index(const void *value, uint64_t length);

// A new service for the network configuration `setup`: it must have a role
// bit and the discovery or the direct bit in its flag word, and a
// system name, user id and node key. Posts ENGINE_EVT_PRESENCE_STATE 1,
// creates the network core, subscribes to both topics and queues the
// node's own status, which the sealed property list must hold. NULL when
// any of it fails (what was made is undone) or no engine node runs. The
// RSA key in the configuration stays the caller's and must outlive the
// service.
EnginePresenceService *engine_presence_create(const EngineNetworkSetup *setup);

// Cancels the task, removes the subscriptions and callbacks, destroys the
// network core, the peers and the queue, frees the service and clears
// *service. NULL and a cleared pointer are ignored.
void engine_presence_destroy(EnginePresenceService **service);

// Going online: run word 2 and the presence task scheduled 500 to 1200 ms
// ahead. The task id, or 0 when scheduling failed (nothing changes) or the
// task exists already.
uint64_t engine_presence_go_online(EnginePresenceService *service);

// Going offline: cancels the task (waiting while it runs), run word 0,
// presence state 1, and tells the network library to stop; the stop runs
// on the library's side. The own status that was applied is requested
// again, so going online later starts the network anew. CORE_OK, or
// CORE_ERR_INVALID without a service.
CoreResult engine_presence_go_offline(EnginePresenceService *service);

// CORE_DONE when `state` is the last posted one; else posts
// ENGINE_EVT_PRESENCE_STATE and returns CORE_OK (CORE_ERR when the post
// fails).
CoreResult engine_presence_set_state(EnginePresenceService *service, uint32_t state);

// Queues the status of a value text for the task. CORE_OK, or CORE_ERR for
// a text that is none of the four status values.
CoreResult engine_presence_request_status(EnginePresenceService *service, const void *value, uint64_t length);

// The presence task (user[0]: the service).
int engine_presence_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *, void **user);

// One run of the task's work for run word 3, without the re-arm: the
// announce cycle when anything changed, a pending network restart, one
// requested status.
void engine_presence_run(EnginePresenceService *service);

// Command topic subscriber (user[0]: the service): the node commands.
CoreResult engine_presence_on_command(const CoreQueueEntry *message, void **user);

// Network status callback (table 1): restart requests and adapter events.
int engine_presence_on_status(void *record, FlowmeshStreamAnswer *answer);
