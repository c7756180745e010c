// The engine manager: the one object through which the core runs the
// network. It checks a configuration, picks the usable adapters, owns one
// adapter instance per adapter (plus, in direct mode, one on the
// any-address) in its instance store, watches the adapters from a monitor
// thread and reports when the network goes away or comes back, and offers
// the operations the core applies to all instances at once.
//
// The engine is an object of handle table CORE_HANDLES_NETWORK. Every
// operation takes the engine's handle and acquires it for the call; the
// monitor thread holds a reference while it runs, so an owner stops the
// engine (flowmesh_engine_stop, which joins the monitor) before releasing
// the creator's reference; flowmesh_engine_close does both. The core's
// state machine, the monitor, the housekeeping task (CORE_DEFAULT_EXECUTOR),
// stream transports sending through flowmesh_engine_send and the node tool
// call in from their own threads.
//
// Results: create returns the handle or 0; the operations return CoreResult
// codes as stated, CORE_ERR (-100) for an unknown engine handle.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/adapters.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/thread.h"
#include "core/udp.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/transport.h"

struct CoreHandleTable;
struct CorePipe;
struct CoreStore;
struct CoreStoreItem;
struct FlowmeshAdapterInstance;

// Codes of the status callback.
enum FlowmeshEngineEvent : uint32_t {
    FLOWMESH_ENGINE_ADAPTER_STARTED = 0,  // CoreNetAdapter with the bound address and port
    FLOWMESH_ENGINE_ADAPTER_STOPPED = 1,  // the same record
    FLOWMESH_ENGINE_LINK_DOWN = 3,        // no data
    FLOWMESH_ENGINE_LINK_UP = 4,          // no data
};

// Status and peer callbacks. `reporter` is the reporting instance's first
// node identity (an empty name for reports of the engine itself). For peer
// reports a non-zero answer refuses the peer; status answers are ignored.
typedef int (*FlowmeshReportFn)(const CoreName *reporter, uint32_t code, uint32_t value, const void *data,
                                uint64_t length, void *user);
// One batch of received datagram records of one peer (name: the peer's
// identity; type, flags: its IPv4 and port; data: 32-byte packet head then
// the datagram; length: datagram + 32). Valid during the call only.
typedef int (*FlowmeshDatagramFn)(const CoreQueueEntry *records, uint64_t count, void *user, uint64_t zero);

// What the engine is made from; copied whole into the engine and into
// every instance.
struct FlowmeshEngineConfig {
    FlowmeshConfig configuration;
    FlowmeshReportFn status;
    FlowmeshReportFn peer;
    FlowmeshDatagramFn datagram;
    void *user;           // last argument of the three callbacks
    uint64_t core_value;  // carried, not read
};

// Key of the extra instance of direct mode with role bit 1; also its
// adapter record's id and description.
#define FLOWMESH_DIRECT_INSTANCE "7C1E0B52D4F04A0E9E3A56C1B8D2F417"

// Direct-mode connect states (the connect machine is direct.h's).
enum : int32_t {
    FLOWMESH_CONNECT_IDLE = 0,
    FLOWMESH_CONNECT_PREPARING = 1,  // a connect is choosing its instance
    FLOWMESH_CONNECT_REQUESTED = 2,  // taken; the connector starts it at its next slot
    FLOWMESH_CONNECT_CONNECTING = 3,
    FLOWMESH_CONNECT_CONNECTED = 4,
};

// An endpoint in one word, for endpoints that one thread writes while
// others read them.
inline uint64_t flowmesh_endpoint_pack(const CoreUdpAddr &address)
{
    return static_cast<uint64_t>(address.address) << 16 | address.port;
}
inline CoreUdpAddr flowmesh_endpoint_unpack(uint64_t word)
{
    return {static_cast<uint32_t>(word >> 16), static_cast<uint16_t>(word)};
}

struct FlowmeshEngine {
    std::atomic<int32_t> connect_state;
    uint64_t handle;
    CoreStore *instances;  // FlowmeshInstanceItem, keyed by adapter id
    uint64_t housekeeping_task;
    CorePipe *manager_pipe;
    CoreName executor;  // CORE_DEFAULT_EXECUTOR
    FlowmeshEngineConfig config;
    CoreThreadRecord *connector;  // direct mode (direct.h)
    CoreThreadRecord *monitor;    // not with a fixed adapter list
    std::atomic<uint64_t> connect_target;  // flowmesh_endpoint_pack
    std::atomic<uint32_t> running;
    std::atomic<uint64_t> monitor_passes;  // completed checks, for tests and the node tool
};

// What a transport's send context holds for flowmesh_engine_send.
struct FlowmeshEngineContext {
    CoreHandleTable *table;
    uint64_t engine;
};
static_assert(sizeof(FlowmeshEngineContext) <= FLOWMESH_CONTEXT_BYTES,
              "a send context carries the table and the engine handle");

// ---- configuration rules (pure) ----

// CORE_OK, or CORE_ERR_INVALID when the engine refuses the configuration:
// LAN discovery with a base port below 1024, a second port of 1..1023,
// both or neither of direct mode and LAN discovery, no role bit.
CoreResult flowmesh_engine_check_config(const FlowmeshConfig *config);

// The adapter flags every usable adapter must have: an IPv4 address, the
// loopback flag when an adapter index is given or an allow-list record
// names a loopback adapter, the LAN flag in LAN discovery mode.
uint32_t flowmesh_engine_required_flags(const FlowmeshConfig *config);

// Whether the adapter at `position` of the list, with id text `id`, may
// get an instance: exactly the indexed one when adapter_index is not -1;
// every one when the allow-list is empty; else one whose id text some
// allow-list record begins with.
bool flowmesh_adapter_accept(const FlowmeshConfig *config, uint32_t position, const char *id);

// ---- the engine ----

// A running engine for `config`, its handle; 0 when the configuration is
// refused, no adapter is accepted, an instance cannot start or a thread
// cannot be made (nothing stays behind).
uint64_t flowmesh_engine_create(const FlowmeshEngineConfig *config);

// Clears running and joins the monitor (and, in direct mode, the
// connector). Idempotent; the instances keep running until the engine is
// freed.
void flowmesh_engine_stop(FlowmeshEngine *engine);

// Stops the engine, drops the creator's reference and waits until the
// engine and its instances are gone. From a thread holding no reference.
void flowmesh_engine_close(uint64_t handle);

// Marks the peer with this identity confirmed in the first instance that
// has it. 0 found, 1 none, -100 unknown engine.
CoreResult flowmesh_engine_confirm_peer(uint64_t handle, const uint8_t identity[CORE_NAME_KEY_SIZE]);

// Direct mode with role bit 1: resets the connect state and marks every
// peer with that data address closing, in every instance. 0; -92 in another
// mode; -100 unknown engine.
CoreResult flowmesh_engine_disconnect(uint64_t handle, const CoreUdpAddr *address);

// Drops the peer with this identity from the first instance that has it
// (a session with it ended). Nothing for an unknown engine or peer.
void flowmesh_engine_drop_peer(uint64_t handle, const uint8_t identity[CORE_NAME_KEY_SIZE]);

// The transport send function: every record goes to the destination of the
// first, through the next data socket of the instance that has a peer at
// that address (or, in direct mode, whose direct target it is). `context`
// points at a FlowmeshEngineContext. 0, or -1 for an empty batch, a zero
// destination, no instance, a failed send or an engine that went away.
int flowmesh_engine_send(uint16_t peer_id, const CoreQueueEntry *records, uint64_t count, void *context);

// The direct instance with a reader reference of the instance store, or
// NULL; give it back with core_store_unref(engine->instances).
FlowmeshAdapterInstance *flowmesh_engine_direct_instance(FlowmeshEngine *engine);

// The first instance with a peer at this data address, with a reader
// reference of the instance store held for the caller, or NULL.
FlowmeshAdapterInstance *flowmesh_engine_instance_for_peer(FlowmeshEngine *engine, const CoreUdpAddr *address);

// The instance of an item of engine->instances.
FlowmeshAdapterInstance *flowmesh_engine_instance_of(CoreStoreItem *item);

// ---- the core's engine operations ----

// What core.cpp installs: start builds a FlowmeshEngineConfig around the
// snapshot with the core's callbacks and creates the engine; stop is
// flowmesh_engine_stop; the session hooks are confirm, disconnect and
// drop_peer above.
extern const FlowmeshEngineOps flowmesh_engine_ops;

// ---- test seams ----

// Intervals of the engine and its instances; a 0 field keeps its default.
// Affects engines and instances created afterwards.
struct FlowmeshEngineTiming {
    uint32_t monitor_period_ms;  // 3000: adapter checks
    uint32_t monitor_step_ms;    // 100: looks at the running flag
    uint32_t housekeeping_ms;    // 5000
    uint32_t dispatch_tick_ms;   // 20: the dispatcher's timer
};
void flowmesh_engine_test_set_timing(const FlowmeshEngineTiming *timing);  // NULL restores the defaults
FlowmeshEngineTiming flowmesh_engine_timing(void);
