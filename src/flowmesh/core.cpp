// The core object: creation, teardown, the network state machine, the
// status-report and command pipes.
#include "flowmesh/core.h"

#include <cstring>
#include <mutex>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/store.h"
#include "flowmesh/access.h"
#include "flowmesh/engine.h"
#include "flowmesh/session.h"

std::atomic<uint64_t> flowmesh_core_handle{0};

namespace {

const char kModule[] = "flowmesh";

// Serialises creators: the existence check and the publication must not
// interleave between two threads.
std::mutex g_create_mutex;

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

std::atomic<const FlowmeshEngineOps *> g_engine_ops{&flowmesh_engine_ops};
FlowmeshEngineOps g_installed_ops;

// ---- fixed names, pools and executors ----

struct PoolSpec {
    const char *name;
    uint64_t size;
    uint64_t granule;
};

// Indexed like FlowmeshCore.pools; the reliable sizes come from the
// configuration.
const PoolSpec kPools[FLOWMESH_POOL_COUNT] = {
    {FLOWMESH_STREAM_POOL, 0x400000, 128},  {FLOWMESH_MANAGER_POOL, 0x200000, 128},
    {FLOWMESH_CORE_POOL, 0x400000, 32},     {FLOWMESH_SERVICE_POOL, 0x400000, 64},
    {FLOWMESH_RELIABLE_POOL, 0, 64},        {FLOWMESH_RELIABLE_QUEUE_POOL, 0, 64},
};

const char *const kExecutors[3] = {FLOWMESH_SERVICE_EXECUTOR, FLOWMESH_STREAM_EXECUTOR, FLOWMESH_MANAGER_EXECUTOR};

CoreName *pool_name(FlowmeshCore *core, uint32_t pool) { return &core->names[FLOWMESH_NAME_POOL_FIRST + pool]; }

bool make_executor(FlowmeshCore *core, uint32_t index)
{
    if (core_executor_create(&core->names[index]) != 0) return false;
    core->executors_made |= 1u << index;
    return true;
}

bool make_pool(FlowmeshCore *core, uint32_t index, uint64_t size)
{
    CorePoolConfig config = {};
    config.size = size;
    config.granule = kPools[index].granule;
    config.flags = CORE_POOL_ARENA;
    CorePool *pool = core_pool_create(&config);
    if (pool == nullptr) return false;
    if (core_pool_register(pool_name(core, index), pool) != CORE_OK) {
        core_pool_destroy(&pool);
        return false;
    }
    core->pools[index] = pool;
    return true;
}

// Waits until an engine handle's record has left the table. The waiting
// thread holds the core (same table), so core_handle_wait_freed would
// return at once; a start right after the stop must not find the previous
// engine still holding its sockets.
void wait_engine_freed(uint64_t handle)
{
    CoreHandleTable *table = network_table();
    if (table == nullptr) return;
    for (;;) {
        bool gone;
        {
            CoreLockGuard guard(&table->lock);
            gone = core_tree_find(table->records, &handle) == nullptr;
        }
        if (gone) return;
        core_poll_sleep();
    }
}

bool begin_change(FlowmeshCore *core)
{
    uint32_t flags = core->flags.load();
    do {
        if (flags & FLOWMESH_CORE_CHANGING) return false;
    } while (!core->flags.compare_exchange_weak(flags, flags | FLOWMESH_CORE_CHANGING));
    return true;
}

void end_change(FlowmeshCore *core) { core->flags.fetch_and(~FLOWMESH_CORE_CHANGING); }

void post_state(FlowmeshCore *core, uint32_t state)
{
    flowmesh_post_event(core->events, FLOWMESH_STATUS_STATE, &state, sizeof(state));
}

CoreResult start_network(FlowmeshCore *core)
{
    // Starting over a running engine would drop its handle and leave its
    // threads and sockets running: the caller stops first.
    if (core->state.load() == FLOWMESH_NETWORK_STARTED) return CORE_ERR_BUSY;
    FlowmeshConfig *snapshot = new (std::nothrow) FlowmeshConfig;
    if (snapshot == nullptr) return CORE_ERR;
    *snapshot = core->config;
    flowmesh_core_snapshot_adapters(core, snapshot);
    const FlowmeshEngineOps *ops = g_engine_ops.load();
    const uint64_t engine = ops->start(core, snapshot);
    delete snapshot;
    if (engine == 0) return CORE_ERR;
    core->engine = engine;
    core->state.store(FLOWMESH_NETWORK_STARTED);
    post_state(core, FLOWMESH_NETWORK_STARTED);
    return CORE_OK;
}

void stop_network(FlowmeshCore *core)
{
    if (core->state.load() == FLOWMESH_NETWORK_STOPPED && core->engine.load() == 0) return;
    core->state.store(FLOWMESH_NETWORK_STOPPED);
    post_state(core, FLOWMESH_NETWORK_STOPPED);
    flowmesh_core_sessions_stop(core);
    const uint64_t engine = core->engine.exchange(0);
    CoreHandleTable *table = network_table();
    void *object = core_handle_acquire(table, engine);
    if (object == nullptr) return;
    g_engine_ops.load()->stop(core, object);
    core_handle_release(table, engine);  // the acquisition
    core_handle_release(table, engine);  // the creation reference
    wait_engine_freed(engine);
    // Reports the engine made before it went may have become sessions
    // after the first pass.
    flowmesh_core_sessions_stop(core);
}

// ---- pipes ----

int status_report_handler(CoreQueueEntry *entry, void **user)
{
    auto *core = static_cast<FlowmeshCore *>(user[0]);
    uint32_t reason;
    switch (entry->type) {
    case FLOWMESH_REPORT_ADAPTER_ADDED:
    case FLOWMESH_REPORT_ADAPTER_REMOVED:
    case FLOWMESH_REPORT_ADAPTER_LOST: {
        if (entry->data == nullptr || entry->length < sizeof(CoreNetAdapter)) break;
        CoreNetAdapter adapter;
        memcpy(&adapter, entry->data, sizeof(adapter));
        adapter.next = nullptr;
        flowmesh_post_event(core->events, FLOWMESH_STATUS_ADAPTER_ADDED + entry->type, &adapter, sizeof(adapter));
        break;
    }
    case FLOWMESH_REPORT_NETWORK_LOST:
        reason = FLOWMESH_CHANGE_ENGINE;
        flowmesh_post_event(core->events, FLOWMESH_STATUS_NETWORK_CHANGED, &reason, sizeof(reason));
        break;
    case FLOWMESH_REPORT_NETWORK_BACK:
    case FLOWMESH_REPORT_ADAPTERS_CHANGED:
        reason = FLOWMESH_CHANGE_ADAPTERS;
        flowmesh_post_event(core->events, FLOWMESH_STATUS_NETWORK_CHANGED, &reason, sizeof(reason));
        break;
    default: break;
    }
    return CORE_OK;
}

// An empty message of type 0 stops the network. The core is acquired by
// handle like any other caller's: the pipe is destroyed by the core's
// teardown, which cannot run while this handler holds a reference.
int command_handler(CoreQueueEntry *entry, void **user)
{
    if (entry->type != 0 || entry->length != 0) return CORE_OK;
    const uint64_t handle = reinterpret_cast<uintptr_t>(user[0]);
    auto *core = static_cast<FlowmeshCore *>(core_handle_acquire(network_table(), handle));
    if (core == nullptr) return CORE_OK;
    CoreResult result = flowmesh_core_change_state(core, FLOWMESH_NETWORK_STOPPED);
    core_handle_release(network_table(), handle);
    // A concurrent change (a start, say) finishes first; the stop still
    // applies after it.
    return result == CORE_ERR_BUSY ? CORE_AGAIN : CORE_OK;
}

CorePipe *make_pipe(FlowmeshCore *core, CorePipeFn fn, void *user)
{
    CorePipeConfig config = {};
    config.pool = *pool_name(core, FLOWMESH_POOL_CORE);
    config.fn = fn;
    config.user[0] = user;
    return core_pipe_create(&config);
}

// ---- teardown ----

// Frees what the core holds, in the reverse order of creation. Also
// cleans up after a creation that failed half-way.
void teardown(FlowmeshCore *core)
{
    stop_network(core);
    core_pipe_destroy(&core->commands);
    flowmesh_sessions_destroy(core);
    core_store_destroy(&core->deny);
    for (CorePipe *&pipe : core->pipes) core_pipe_destroy(&pipe);
    flowmesh_event_tables_destroy(&core->events);
    for (uint32_t i = 0; i < 3; ++i)
        if (core->executors_made & (1u << i)) core_executor_destroy(&core->names[i]);
    core->executors_made = 0;
    for (uint32_t i = 0; i < FLOWMESH_POOL_COUNT; ++i) {
        if (core->pools[i] == nullptr) continue;
        core_pool_unregister(pool_name(core, i));
        core_pool_destroy(&core->pools[i]);
    }
}

void core_destroy(CoreHandleTable *, void *object, uint64_t handle)
{
    auto *core = static_cast<FlowmeshCore *>(object);
    teardown(core);
    uint64_t expected = handle;
    flowmesh_core_handle.compare_exchange_strong(expected, 0);
    core->~FlowmeshCore();
}

// The fixed names, the executors, pools, event tables, deny store and
// pipes, in that order.
bool make_parts(FlowmeshCore *core)
{
    for (uint32_t i = 0; i < 3; ++i) core_name_format(&core->names[i], "%s", kExecutors[i]);
    for (uint32_t i = 0; i < FLOWMESH_POOL_COUNT; ++i)
        core_name_format(pool_name(core, i), "%s", kPools[i].name);
    const CoreName *service = &core->names[FLOWMESH_NAME_SERVICE_EXECUTOR];

    if (!make_executor(core, FLOWMESH_NAME_SERVICE_EXECUTOR)) return false;
    if (!make_pool(core, FLOWMESH_POOL_CORE, kPools[FLOWMESH_POOL_CORE].size)) return false;
    if (!make_pool(core, FLOWMESH_POOL_SERVICE, kPools[FLOWMESH_POOL_SERVICE].size)) return false;
    if (core->config.reliable_pool_size != 0 &&
        !make_pool(core, FLOWMESH_POOL_RELIABLE, core->config.reliable_pool_size))
        return false;
    if (core->config.reliable_queue_pool_size != 0 &&
        !make_pool(core, FLOWMESH_POOL_RELIABLE_QUEUE, core->config.reliable_queue_pool_size))
        return false;
    core->events = flowmesh_event_tables_create(service, pool_name(core, FLOWMESH_POOL_CORE));
    if (core->events == nullptr) return false;
    if (!make_executor(core, FLOWMESH_NAME_STREAM_EXECUTOR)) return false;
    if (!make_pool(core, FLOWMESH_POOL_STREAM, kPools[FLOWMESH_POOL_STREAM].size)) return false;
    if (!make_executor(core, FLOWMESH_NAME_MANAGER_EXECUTOR)) return false;
    if (!make_pool(core, FLOWMESH_POOL_MANAGER, kPools[FLOWMESH_POOL_MANAGER].size)) return false;
    if (flowmesh_sessions_create(core) != CORE_OK) return false;
    core->deny = flowmesh_deny_store_create(service);
    if (core->deny == nullptr) return false;
    core->pipes[FLOWMESH_PIPE_STATUS] = make_pipe(core, status_report_handler, core);
    if (core->pipes[FLOWMESH_PIPE_STATUS] == nullptr) return false;
    core->commands = make_pipe(core, command_handler, reinterpret_cast<void *>(static_cast<uintptr_t>(core->handle)));
    return core->commands != nullptr;
}

bool pool_size_valid(uint64_t size) { return size == 0 || size >= FLOWMESH_MIN_POOL_SIZE; }

}  // namespace

FlowmeshCore *flowmesh_core_acquire(void)
{
    const uint64_t handle = flowmesh_core_handle.load();
    CoreHandleTable *table = network_table();
    if (handle == 0 || table == nullptr) return nullptr;
    auto *core = static_cast<FlowmeshCore *>(core_handle_acquire(table, handle));
    if (core == nullptr) return nullptr;
    if (!(core->flags.load() & FLOWMESH_CORE_READY)) {
        core_handle_release(table, handle);
        return nullptr;
    }
    return core;
}

void flowmesh_core_release(FlowmeshCore *core)
{
    if (core != nullptr) core_handle_release(network_table(), core->handle);
}

CoreResult flowmesh_core_build(const FlowmeshConfig *config)
{
    if (config == nullptr) return CORE_ERR_INVALID;
    std::lock_guard<std::mutex> guard(g_create_mutex);
    if (flowmesh_core_handle.load() != 0) return CORE_ERR;
    if (!pool_size_valid(config->reliable_pool_size) || !pool_size_valid(config->reliable_queue_pool_size))
        return CORE_ERR_INVALID;
    CoreHandleTable *table = network_table();
    if (table == nullptr) return CORE_ERR;
    void *object = nullptr;
    const uint64_t handle = core_handle_create(table, sizeof(FlowmeshCore), core_destroy, &object);
    if (handle == 0) return CORE_ERR;
    auto *core = new (object) FlowmeshCore{};
    core->handle = handle;
    core->config = *config;
    for (uint32_t i = 0; i < FLOWMESH_ADAPTER_SLOTS; ++i) {
        core->allow_list[i] = config->adapters[i];
        core->allow_list[i].next = nullptr;
    }
    if (!make_parts(core)) {
        core_log(CORE_LOG_ERROR, kModule, "the network core cannot be made");
        // The destroy callback tears down what was made; wait for it so that
        // a retry finds the fixed names free.
        core_handle_release(table, handle);
        wait_engine_freed(handle);
        return CORE_ERR;
    }
    core->flags.fetch_or(FLOWMESH_CORE_READY);
    flowmesh_core_handle.store(handle);
    return CORE_OK;
}

void flowmesh_core_destroy(void)
{
    const uint64_t handle = flowmesh_core_handle.load();
    CoreHandleTable *table = network_table();
    if (handle == 0 || table == nullptr) return;
    core_handle_release(table, handle);
    core_handle_wait_freed(table, handle);
}

CoreResult flowmesh_core_change_state(FlowmeshCore *core, int state)
{
    if (core == nullptr) return CORE_ERR;
    if (state != FLOWMESH_NETWORK_STOPPED && state != FLOWMESH_NETWORK_STARTED) return CORE_ERR_INVALID;
    if (!begin_change(core)) return CORE_ERR_BUSY;
    CoreResult result = CORE_OK;
    if (state == FLOWMESH_NETWORK_STARTED)
        result = start_network(core);
    else
        stop_network(core);
    end_change(core);
    return result;
}

CoreName *flowmesh_core_instance_name(FlowmeshCore *core, CoreName *out)
{
    if (core == nullptr || out == nullptr) return out;
    const uint64_t n = core->instance_counter.fetch_add(1) + 1;
    return core_name_format(out, "%016llX", static_cast<unsigned long long>(n));
}

const FlowmeshEngineOps *flowmesh_core_engine_ops(void) { return g_engine_ops.load(); }

void flowmesh_core_set_engine_ops(const FlowmeshEngineOps *ops)
{
    if (ops == nullptr || ops->start == nullptr || ops->stop == nullptr) {
        g_engine_ops.store(&flowmesh_engine_ops);
        return;
    }
    g_installed_ops = *ops;
    g_engine_ops.store(&g_installed_ops);
}

void flowmesh_core_status_report(uint64_t core_handle, uint32_t report, const void *data, uint64_t length)
{
    CoreHandleTable *table = network_table();
    auto *core = static_cast<FlowmeshCore *>(core_handle_acquire(table, core_handle));
    if (core == nullptr) return;
    CorePipe *pipe = core->pipes[FLOWMESH_PIPE_STATUS];
    if (pipe != nullptr && (length == 0 || data != nullptr)) {
        CoreIoVec vec = {length, data};
        core_queue_post(pipe->queue, nullptr, report, 0, &vec, 1);
    }
    core_handle_release(table, core_handle);
}


