// The network core: the one object per process through which the engine
// runs the network. It owns the configuration copy, the adapter allow-list
// and the deny list, the event table set, the library's executors and
// pools, the status-report and command pipes, and the handle of the network
// engine made by the last start. Sessions and their streams hang off it too;
// they arrive with their own module, and the functions marked as session
// seams below are where they plug in.
//
// The core lives in handle table CORE_HANDLES_NETWORK; its handle is
// published in flowmesh_core_handle once everything is made. Any thread
// acquires it with flowmesh_core_acquire for the length of one operation.
// State changes are serialised by one bit of the core's flag word, and the
// destroy callback (on the handle table's executor, when the creator's
// reference goes) stops the network and frees everything. Functions return
// CoreResult codes as stated.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"
#include "core/udp.h"
#include "flowmesh/interface.h"

struct CorePipe;
struct CorePool;
struct CoreStore;
struct FlowmeshCore;

// FlowmeshCore.flags
enum : uint32_t {
    FLOWMESH_CORE_READY = 0x1,
    FLOWMESH_CORE_CHANGING = 0x2,  // a state change runs
};

// FlowmeshCore.state
enum : int32_t {
    FLOWMESH_NETWORK_STOPPED = 0,
    FLOWMESH_NETWORK_STARTED = 2,
};

// Indices of FlowmeshCore.pools and the pools' names.
enum : uint32_t {
    FLOWMESH_POOL_STREAM = 0,
    FLOWMESH_POOL_MANAGER = 1,
    FLOWMESH_POOL_CORE = 2,
    FLOWMESH_POOL_SERVICE = 3,
    FLOWMESH_POOL_RELIABLE = 4,
    FLOWMESH_POOL_RELIABLE_QUEUE = 5,
    FLOWMESH_POOL_COUNT = 6,
};

// Indices of FlowmeshCore.names: the three executors, then the pools in
// the order above.
enum : uint32_t {
    FLOWMESH_NAME_SERVICE_EXECUTOR = 0,
    FLOWMESH_NAME_STREAM_EXECUTOR = 1,
    FLOWMESH_NAME_MANAGER_EXECUTOR = 2,
    FLOWMESH_NAME_POOL_FIRST = 3,
    FLOWMESH_NAME_COUNT = 9,
};

// The core's pipes. Transport reports, peer reports, stream data and
// service data are the sessions' (flowmesh/session.h).
enum : uint32_t {
    FLOWMESH_PIPE_TRANSPORT = 0,
    FLOWMESH_PIPE_STATUS = 1,
    FLOWMESH_PIPE_PEER = 2,
    FLOWMESH_PIPE_STREAM_DATA = 3,
    FLOWMESH_PIPE_SERVICE_DATA = 4,
    FLOWMESH_PIPE_COUNT = 5,
};

// Status reports of the engine manager that the status-report pipe turns
// into status events.
enum : uint32_t {
    FLOWMESH_REPORT_ADAPTER_ADDED = 0,    // CoreNetAdapter
    FLOWMESH_REPORT_ADAPTER_REMOVED = 1,  // CoreNetAdapter
    FLOWMESH_REPORT_ADAPTER_LOST = 2,     // CoreNetAdapter
    FLOWMESH_REPORT_NETWORK_LOST = 3,
    FLOWMESH_REPORT_NETWORK_BACK = 4,
    FLOWMESH_REPORT_ADAPTERS_CHANGED = 5,
};

struct FlowmeshCore {
    std::atomic<uint64_t> instance_counter;  // last number used for an instance name
    std::atomic<int32_t> state;              // FLOWMESH_NETWORK_*
    std::atomic<uint32_t> flags;             // FLOWMESH_CORE_*
    CoreNetAdapter allow_list[FLOWMESH_ADAPTER_SLOTS];  // guarded by allow_lock
    CoreLock allow_lock;
    std::atomic<uint64_t> engine;  // engine manager handle of the last start; 0 while stopped
    uint64_t handle;  // the core's own handle
    FlowmeshEventTableSet *events;
    FlowmeshConfig config;
    CoreName names[FLOWMESH_NAME_COUNT];
    CorePool *pools[FLOWMESH_POOL_COUNT];
    CoreStore *sessions;  // FlowmeshSession items (flowmesh/session.h)
    // Held while a session is made and while the network stop clears the
    // sessions, so that no session outlives a stop.
    CoreLock session_lock;
    CoreStore *deny;      // FlowmeshDenyEntry items
    CorePipe *pipes[FLOWMESH_PIPE_COUNT];
    // Commands from the engine: an empty message of type 0 stops the
    // network. Consumed on its own thread.
    CorePipe *commands;
    uint32_t executors_made;  // bit i: executor names[i] was created here
};

// The process's core handle; 0 while no core is published.
extern std::atomic<uint64_t> flowmesh_core_handle;

// The published, ready core with one handle reference, or NULL.
FlowmeshCore *flowmesh_core_acquire(void);
// Gives back a reference from flowmesh_core_acquire. NULL is ignored.
void flowmesh_core_release(FlowmeshCore *core);

// Makes and publishes the core (flowmesh_core_create). 0; -91 for a
// reliable pool size of 1 to 2047; -100 when a core is published already,
// the runtime is not started, or anything cannot be made (what was made is
// torn down again).
CoreResult flowmesh_core_build(const FlowmeshConfig *config);

// Releases the creator's reference of the published core and waits until
// its teardown has run. For the engine's shut-down and for tests; must be
// called from a thread that holds no reference to the core.
void flowmesh_core_destroy(void);

// Starts (2) or stops (0) the network of an acquired core. 0; -79 when
// another change runs or when starting a started network; -100 when the
// engine cannot be made. Stopping a stopped network is a no-op (0).
CoreResult flowmesh_core_change_state(FlowmeshCore *core, int state);

// Next instance name ("%016llX" of the incremented counter).
CoreName *flowmesh_core_instance_name(FlowmeshCore *core, CoreName *out);

// ---- the network engine seam ----
// Start and stop of the engine manager (flowmesh/engine.h installs its
// operations by default); tests put a fake engine in their place.

struct FlowmeshEngineOps {
    // Makes the engine for a configuration snapshot (its adapter list is
    // the allow-list's). Its handle in CORE_HANDLES_NETWORK, or 0.
    uint64_t (*start)(FlowmeshCore *core, const FlowmeshConfig *config);
    // Tells the acquired engine to stop and joins its threads; the core
    // then drops its references and waits until the object is freed.
    void (*stop)(FlowmeshCore *core, void *engine);
    // What sessions tell the engine, by its handle; NULL: nothing is told.
    // A session is established with the peer of that identity; a session
    // closed on request; a finished session's peer is to be forgotten.
    CoreResult (*confirm_peer)(uint64_t engine, const uint8_t identity[CORE_NAME_KEY_SIZE]);
    CoreResult (*disconnect)(uint64_t engine, const CoreUdpAddr *address);
    void (*drop_peer)(uint64_t engine, const uint8_t identity[CORE_NAME_KEY_SIZE]);
};

// The engine operations in force.
const FlowmeshEngineOps *flowmesh_core_engine_ops(void);

// Installs the engine operations used by later starts; NULL restores the
// engine manager's. Set while no state change runs.
void flowmesh_core_set_engine_ops(const FlowmeshEngineOps *ops);

// The engine manager's status report callback: posts the report to the
// status-report pipe of the core with that handle. No result.
void flowmesh_core_status_report(uint64_t core_handle, uint32_t report, const void *data, uint64_t length);

// ---- sessions (flowmesh/session.cpp) ----

// Network stop: posts the down event of every session reported up and
// deletes every session.
void flowmesh_core_sessions_stop(FlowmeshCore *core);

struct FlowmeshDenyEntry;
// A new deny entry: deletes every live session it matches.
void flowmesh_core_sessions_deny(FlowmeshCore *core, const FlowmeshDenyEntry *entry);
