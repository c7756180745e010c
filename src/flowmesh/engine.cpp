// The engine manager: configuration rules, creation and teardown, the
// adapter monitor, housekeeping, the operations over all instances, and
// the engine operations the core installs.
#include "flowmesh/engine.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/store.h"
#include "flowmesh/access.h"
#include "flowmesh/direct.h"
#include "flowmesh/discovery.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"
#include "flowmesh/session.h"

namespace {

const char kModule[] = "flowmesh.engine";

constexpr FlowmeshEngineTiming kDefaultTiming = {3000, 100, 5000, 20};

std::atomic<uint32_t> g_monitor_period_ms{kDefaultTiming.monitor_period_ms};
std::atomic<uint32_t> g_monitor_step_ms{kDefaultTiming.monitor_step_ms};
std::atomic<uint32_t> g_housekeeping_ms{kDefaultTiming.housekeeping_ms};
std::atomic<uint32_t> g_dispatch_tick_ms{kDefaultTiming.dispatch_tick_ms};

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

FlowmeshEngine *acquire(uint64_t handle)
{
    CoreHandleTable *table = network_table();
    if (table == nullptr || handle == 0) return nullptr;
    return static_cast<FlowmeshEngine *>(core_handle_acquire(table, handle));
}

uint64_t release(uint64_t handle) { return core_handle_release(network_table(), handle); }

bool allow_list_empty(const FlowmeshConfig *config)
{
    for (const CoreNetAdapter &record : config->adapters)
        if (record.id[0] != '\0') return false;
    return true;
}

// ---- monitor ----

// Whether the adapters of this namespace still offer one this engine may
// use. Every instance asks the same question: a lost network is reported
// by each of them.
bool adapter_present(const FlowmeshConfig *config)
{
    CoreNetAdapter *chain = nullptr;
    if (core_net_adapters(&chain, flowmesh_engine_required_flags(config)) != CORE_OK) return false;
    bool present = false;
    uint32_t position = 0;
    for (CoreNetAdapter *a = chain; a != nullptr && !present; a = a->next, ++position)
        present = flowmesh_adapter_accept(config, position, a->id);
    core_net_adapters_free(&chain);
    return present;
}

int adapter_monitor(void **args)
{
    const uint64_t handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(args[0]));
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return 0;
    const uint32_t period = g_monitor_period_ms.load();
    const uint32_t step = g_monitor_step_ms.load();
    // Across all instances and checks: no event for the first finding, one
    // LINK_UP when the network returns, LINK_DOWN per instance while gone.
    bool first_check = true;
    bool present_before = false;
    uint64_t due = core_clock_mono_ms() + period;
    while (engine->running.load()) {
        core_sleep_ms(step);
        if (!engine->running.load() || core_clock_mono_ms() < due) continue;
        due = core_clock_mono_ms() + period;
        for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
             item = core_store_next(engine->instances, item, 1)) {
            FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
            if (instance == nullptr) continue;
            const bool present = adapter_present(&instance->config.configuration);
            if (!present) {
                flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_DOWN, nullptr, 0);
                first_check = false;
                present_before = false;
            } else if (first_check) {
                first_check = false;
                present_before = true;
            } else if (!present_before) {
                flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_UP, nullptr, 0);
                present_before = true;
            }
        }
        engine->monitor_passes.fetch_add(1);
    }
    release(handle);
    return 0;
}

// ---- housekeeping ----

bool name_is_zero(const uint8_t *key)
{
    for (int i = 0; i < CORE_NAME_KEY_SIZE; ++i)
        if (key[i] != 0) return false;
    return true;
}

// Collects the discovery datagrams no instance accepted and removes every
// instance whose own announcement they carry: another instance of this
// engine heard it on the same segment, so that adapter is served twice.
void housekeeping_pass(FlowmeshEngine *engine)
{
    CoreStore *instances = engine->instances;
    for (CoreStoreItem *item = core_store_first(instances); item != nullptr;
         item = core_store_next(instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance == nullptr || instance->unmatched == nullptr) continue;
        for (;;) {
            CoreQueueEntry entry;
            uint64_t one = 1;
            if (!core_queue_peek(instance->unmatched->queue, &entry, &one) || one == 0) break;
            CoreIoVec vec = {entry.length, entry.data};
            if (core_queue_post(engine->manager_pipe->queue, &entry.name, entry.type, entry.flags, &vec, 1) != 0)
                break;
            CoreQueueRecord *record = core_queue_pop(instance->unmatched->queue);
            core_queue_record_free(instance->unmatched->queue, &record);
        }
    }
    while (CoreQueueRecord *record = core_queue_pop(engine->manager_pipe->queue)) {
        const CoreQueueEntry entry = core_queue_record_entry(record);
        if (!name_is_zero(entry.name.key)) {
            for (CoreStoreItem *item = core_store_first(instances); item != nullptr;
                 item = core_store_next(instances, item, 1)) {
                FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
                if (instance != nullptr &&
                    memcmp(instance->node.broadcast_identity, entry.name.key, CORE_NAME_KEY_SIZE) == 0)
                    core_store_remove(instances, item->key.key);
            }
        }
        core_queue_record_free(engine->manager_pipe->queue, &record);
    }
}

int housekeeping(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *, void **user)
{
    const uint64_t handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user[0]));
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return CORE_DONE;
    housekeeping_pass(engine);
    core_executor_trigger(executor, task, g_housekeeping_ms.load());
    release(handle);
    return CORE_OK;
}

// ---- create and destroy ----

void engine_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *engine = static_cast<FlowmeshEngine *>(object);
    flowmesh_engine_stop(engine);
    if (engine->housekeeping_task != 0) {
        CoreExecutor *executor = core_executor_find(&engine->executor);
        if (executor != nullptr) {
            core_executor_cancel(executor, engine->housekeeping_task, 1);
            core_executor_release(executor);
        }
        engine->housekeeping_task = 0;
    }
    core_pipe_destroy(&engine->manager_pipe);
    if (engine->instances != nullptr) core_store_destroy(&engine->instances);
    engine->~FlowmeshEngine();
}

// The usable adapters in list order: the allow-list records themselves
// with a fixed list, else the namespace's adapters. False when they cannot
// be read.
bool adapter_list(const FlowmeshConfig *config, std::vector<CoreNetAdapter> *out)
{
    const uint32_t required = flowmesh_engine_required_flags(config);
    if (config->flags & FLOWMESH_FIXED_ADAPTERS) {
        for (const CoreNetAdapter &record : config->adapters)
            if ((record.flags & required) == required) out->push_back(record);
        return true;
    }
    CoreNetAdapter *chain = nullptr;
    if (core_net_adapters(&chain, required) != CORE_OK) return false;
    for (CoreNetAdapter *a = chain; a != nullptr; a = a->next) out->push_back(*a);
    core_net_adapters_free(&chain);
    return true;
}

bool insert_instance(FlowmeshEngine *engine, const CoreNetAdapter &adapter, const char *key_text)
{
    auto *init = new (std::nothrow) FlowmeshInstanceInit{};
    if (init == nullptr) return false;
    init->adapter = adapter;
    init->adapter.next = nullptr;
    init->config = engine->config;
    CoreName key;
    core_name_format(&key, "%.32s", key_text);
    const CoreResult result = core_store_insert(engine->instances, &key, nullptr, init, nullptr, 0);
    delete init;
    return result >= 0;
}

bool engine_build(FlowmeshEngine *engine)
{
    const FlowmeshConfig &config = engine->config.configuration;
    CorePipeConfig pipe = {};
    core_name_format(&pipe.pool, "%s", CORE_DEFAULT_POOL);
    pipe.executor = engine->executor;
    engine->manager_pipe = core_pipe_create(&pipe);
    if (engine->manager_pipe == nullptr) return false;
    CoreTaskCallback callback = {housekeeping, {reinterpret_cast<void *>(static_cast<uintptr_t>(engine->handle)), nullptr}};
    engine->housekeeping_task =
        core_executor_schedule(&engine->executor, nullptr, nullptr, g_housekeeping_ms.load(), &callback);
    if (engine->housekeeping_task == 0) return false;

    CoreStoreConfig store = {};
    store.item_size = sizeof(FlowmeshInstanceItem);
    store.key_kind = CORE_KEY_EXPLICIT;
    store.create = flowmesh_adapter_start;
    store.destroy = flowmesh_adapter_destroy;
    store.executor = engine->executor;
    store.flags = CORE_STORE_TREE;
    store.user = reinterpret_cast<void *>(static_cast<uintptr_t>(engine->handle));
    engine->instances = core_store_create(&store);
    if (engine->instances == nullptr) return false;

    std::vector<CoreNetAdapter> adapters;
    if (!adapter_list(&config, &adapters)) return false;
    for (uint32_t position = 0; position < adapters.size(); ++position) {
        const CoreNetAdapter &adapter = adapters[position];
        if (!flowmesh_adapter_accept(&config, position, adapter.id)) continue;
        if (!insert_instance(engine, adapter, adapter.id)) return false;
    }
    if ((config.flags & FLOWMESH_MODE_DIRECT) && (config.flags & FLOWMESH_ROLE_KEY)) {
        CoreNetAdapter direct = {};
        snprintf(direct.id, sizeof(direct.id), "%s", FLOWMESH_DIRECT_INSTANCE);
        snprintf(direct.description, sizeof(direct.description), "%s", FLOWMESH_DIRECT_INSTANCE);
        if (!insert_instance(engine, direct, FLOWMESH_DIRECT_INSTANCE)) return false;
    }
    core_store_lock(engine->instances);
    const uint32_t live = engine->instances->live;
    core_store_unlock(engine->instances);
    if (live == 0) {
        core_log(CORE_LOG_WARN, kModule, "no usable adapter");
        return false;
    }

    engine->running.store(1);
    if (!(config.flags & FLOWMESH_FIXED_ADAPTERS)) {
        engine->monitor = core_thread_start(adapter_monitor, reinterpret_cast<void *>(static_cast<uintptr_t>(engine->handle)),
                                            nullptr, "fm-monitor");
        if (engine->monitor == nullptr) return false;
    }
    if (config.flags & FLOWMESH_MODE_DIRECT) {
        engine->connector = core_thread_start(flowmesh_direct_connector,
                                              reinterpret_cast<void *>(static_cast<uintptr_t>(engine->handle)), nullptr,
                                              "fm-connector");
        if (engine->connector == nullptr) return false;
    }
    return true;
}

uint64_t ms_or_default(uint32_t value, uint32_t fallback) { return value != 0 ? value : fallback; }

// ---- the core's engine operations ----

int core_status(const CoreName *, uint32_t code, uint32_t, const void *data, uint64_t length, void *user)
{
    const uint64_t core = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user));
    uint32_t report;
    switch (code) {
    case FLOWMESH_ENGINE_ADAPTER_STARTED: report = FLOWMESH_REPORT_ADAPTER_ADDED; break;
    case FLOWMESH_ENGINE_ADAPTER_STOPPED: report = FLOWMESH_REPORT_ADAPTER_REMOVED; break;
    case FLOWMESH_ENGINE_LINK_DOWN: report = FLOWMESH_REPORT_NETWORK_LOST; break;
    case FLOWMESH_ENGINE_LINK_UP: report = FLOWMESH_REPORT_NETWORK_BACK; break;
    default: return 0;
    }
    flowmesh_core_status_report(core, report, data, length);
    return 0;
}

// Peers become sessions (flowmesh/session.h): admission, the session made
// when a peer is ready, the routing of its datagrams.
int core_peer(const CoreName *reporter, uint32_t code, uint32_t value, const void *data, uint64_t length, void *user)
{
    return flowmesh_core_peer_report(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user)), reporter, code, value,
                                     data, length);
}

int core_datagram(const CoreQueueEntry *records, uint64_t count, void *user, uint64_t)
{
    flowmesh_core_datagrams(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user)), records, count);
    return 0;
}

uint64_t ops_start(FlowmeshCore *core, const FlowmeshConfig *config)
{
    auto *engine_config = new (std::nothrow) FlowmeshEngineConfig{};
    if (engine_config == nullptr) return 0;
    engine_config->configuration = *config;
    engine_config->status = core_status;
    engine_config->peer = core_peer;
    engine_config->datagram = core_datagram;
    engine_config->user = reinterpret_cast<void *>(static_cast<uintptr_t>(core->handle));
    engine_config->core_value = core->handle;
    const uint64_t handle = flowmesh_engine_create(engine_config);
    delete engine_config;
    return handle;
}

void ops_stop(FlowmeshCore *, void *engine) { flowmesh_engine_stop(static_cast<FlowmeshEngine *>(engine)); }

}  // namespace

const FlowmeshEngineOps flowmesh_engine_ops = {ops_start, ops_stop, flowmesh_engine_confirm_peer,
                                               flowmesh_engine_disconnect, flowmesh_engine_drop_peer};

void flowmesh_engine_drop_peer(uint64_t handle, const uint8_t identity[CORE_NAME_KEY_SIZE])
{
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return;
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance == nullptr) continue;
        FlowmeshPeer *peer = flowmesh_peer_find_by_identity(instance, identity);
        if (peer == nullptr) continue;
        flowmesh_peer_drop(instance, peer);
        flowmesh_peer_release(instance);
        core_store_unref(engine->instances);  // the walk's reference
        break;
    }
    release(handle);
}

// ---- configuration rules ----

CoreResult flowmesh_engine_check_config(const FlowmeshConfig *config)
{
    if (config == nullptr) return CORE_ERR_INVALID;
    const bool lan = config->flags & FLOWMESH_MODE_LAN;
    const bool direct = config->flags & FLOWMESH_MODE_DIRECT;
    if (lan == direct) return CORE_ERR_INVALID;
    if (!(config->flags & (FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY))) return CORE_ERR_INVALID;
    // The eight discovery ports base_port + 0..7 must all be real ports.
    if (lan && (config->base_port < 1024 || config->base_port > 65535 - 7)) return CORE_ERR_INVALID;
    if (config->second_port != 0 && config->second_port < 1024) return CORE_ERR_INVALID;
    return CORE_OK;
}

uint32_t flowmesh_engine_required_flags(const FlowmeshConfig *config)
{
    uint32_t required = CORE_ADAPTER_HAS_IPV4;
    bool loopback = config->adapter_index != -1;
    for (const CoreNetAdapter &record : config->adapters)
        if (record.id[0] != '\0' && (record.flags & CORE_ADAPTER_LOOPBACK)) loopback = true;
    if (loopback) required |= CORE_ADAPTER_LOOPBACK;
    if (config->flags & FLOWMESH_MODE_LAN) required |= CORE_ADAPTER_LAN;
    if (config->flags & FLOWMESH_MODE_DIRECT) required &= ~CORE_ADAPTER_LAN;
    return required;
}

bool flowmesh_adapter_accept(const FlowmeshConfig *config, uint32_t position, const char *id)
{
    if (config->adapter_index != -1) return position == static_cast<uint32_t>(config->adapter_index);
    if (allow_list_empty(config)) return true;
    // An adapter without an id would match every allow-list entry.
    const size_t length = strnlen(id, sizeof(CoreNetAdapter::id));
    if (length == 0) return false;
    for (const CoreNetAdapter &record : config->adapters)
        if (record.id[0] != '\0' && strncmp(record.id, id, length) == 0) return true;
    return false;
}

// ---- engine ----

uint64_t flowmesh_engine_create(const FlowmeshEngineConfig *config)
{
    if (config == nullptr || flowmesh_engine_check_config(&config->configuration) != CORE_OK) return 0;
    CoreHandleTable *table = network_table();
    if (table == nullptr) return 0;
    void *object = nullptr;
    const uint64_t handle = core_handle_create(table, sizeof(FlowmeshEngine), engine_destroy, &object);
    if (handle == 0) return 0;
    auto *engine = new (object) FlowmeshEngine{};
    engine->handle = handle;
    engine->config = *config;
    core_name_format(&engine->executor, "%s", CORE_DEFAULT_EXECUTOR);
    if (engine_build(engine)) return handle;
    flowmesh_engine_stop(engine);
    core_handle_release(table, handle);
    core_handle_wait_freed(table, handle);
    return 0;
}

void flowmesh_engine_stop(FlowmeshEngine *engine)
{
    if (engine == nullptr) return;
    engine->running.store(0);
    // Two stops may race (the core's and a destroy): one of them joins.
    CoreThreadRecord *monitor = __atomic_exchange_n(&engine->monitor, nullptr, __ATOMIC_ACQ_REL);
    if (monitor != nullptr) core_thread_join(&monitor);
    CoreThreadRecord *connector = __atomic_exchange_n(&engine->connector, nullptr, __ATOMIC_ACQ_REL);
    if (connector != nullptr) core_thread_join(&connector);
}

void flowmesh_engine_close(uint64_t handle)
{
    CoreHandleTable *table = network_table();
    if (table == nullptr || handle == 0) return;
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return;
    flowmesh_engine_stop(engine);
    release(handle);
    release(handle);  // the creator's reference
    core_handle_wait_freed(table, handle);
}

FlowmeshAdapterInstance *flowmesh_engine_instance_of(CoreStoreItem *item)
{
    return item != nullptr ? reinterpret_cast<FlowmeshInstanceItem *>(item)->instance : nullptr;
}

FlowmeshAdapterInstance *flowmesh_engine_direct_instance(FlowmeshEngine *engine)
{
    if (engine == nullptr || engine->instances == nullptr) return nullptr;
    CoreName key;
    core_name_format(&key, "%s", FLOWMESH_DIRECT_INSTANCE);
    CoreStoreItem *item = core_store_lookup(engine->instances, key.key);
    FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
    if (item != nullptr && instance == nullptr) core_store_unref(engine->instances);
    return instance;
}

FlowmeshAdapterInstance *flowmesh_engine_instance_for_peer(FlowmeshEngine *engine, const CoreUdpAddr *address)
{
    if (engine == nullptr || engine->instances == nullptr || address == nullptr) return nullptr;
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        FlowmeshPeer *peer = instance != nullptr ? flowmesh_peer_find(instance, address) : nullptr;
        if (peer == nullptr) continue;
        flowmesh_peer_release(instance);
        return instance;  // the walk's reference is the caller's
    }
    return nullptr;
}

// In direct mode the answering side knows its peer's address before any
// peer exists: its direct target.
static FlowmeshAdapterInstance *instance_for_direct_target(FlowmeshEngine *engine, const CoreUdpAddr *address)
{
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance != nullptr && instance->direct_target.load() == flowmesh_endpoint_pack(*address))
            return instance;
    }
    return nullptr;
}

int flowmesh_engine_send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
{
    if (records == nullptr || count == 0 || context == nullptr) return -1;
    const CoreUdpAddr destination = {records[0].type, static_cast<uint16_t>(records[0].flags)};
    if (destination.address == 0 && destination.port == 0) return -1;
    const auto *target = static_cast<const FlowmeshEngineContext *>(context);
    if (target->table == nullptr) return -1;
    auto *engine = static_cast<FlowmeshEngine *>(core_handle_acquire(target->table, target->engine));
    if (engine == nullptr) return -1;
    FlowmeshAdapterInstance *instance = flowmesh_engine_instance_for_peer(engine, &destination);
    if (instance == nullptr && (engine->config.configuration.flags & FLOWMESH_MODE_DIRECT))
        instance = instance_for_direct_target(engine, &destination);
    CoreResult result = CORE_ERR;
    if (instance != nullptr) {
        result = flowmesh_send_batch(instance, flowmesh_instance_next_socket(instance), records, count, &destination);
        core_store_unref(engine->instances);
    }
    const uint64_t remaining = core_handle_release(target->table, target->engine);
    return result == CORE_OK && remaining != 0 ? 0 : -1;
}

CoreResult flowmesh_engine_confirm_peer(uint64_t handle, const uint8_t identity[CORE_NAME_KEY_SIZE])
{
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return CORE_ERR;
    CoreResult result = CORE_DONE;
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        FlowmeshPeer *peer = instance != nullptr ? flowmesh_peer_find_by_identity(instance, identity) : nullptr;
        if (peer == nullptr) continue;
        // A connected node gets no more identity blocks or unicast
        // announcements, and neither it nor its peer expires.
        if (instance->config.configuration.flags & FLOWMESH_MODE_LAN)
            flowmesh_discovery_mark_connected(instance, peer->broadcast_identity.key);
        peer->flags.fetch_or(FLOWMESH_PEER_CONFIRMED);
        flowmesh_peer_release(instance);
        core_store_unref(engine->instances);  // leaving the walk early
        result = CORE_OK;
        break;
    }
    release(handle);
    return result;
}

CoreResult flowmesh_engine_disconnect(uint64_t handle, const CoreUdpAddr *address)
{
    FlowmeshEngine *engine = acquire(handle);
    if (engine == nullptr) return CORE_ERR;
    const uint32_t flags = engine->config.configuration.flags;
    if (!(flags & FLOWMESH_MODE_DIRECT) || !(flags & FLOWMESH_ROLE_KEY) || address == nullptr) {
        release(handle);
        return address == nullptr ? CORE_ERR_INVALID : CORE_ERR_STATE;
    }
    engine->connect_state.store(FLOWMESH_CONNECT_IDLE);
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        FlowmeshPeer *peer = instance != nullptr ? flowmesh_peer_find(instance, address) : nullptr;
        if (peer == nullptr) continue;
        peer->flags.fetch_or(FLOWMESH_PEER_CLOSING);
        flowmesh_peer_release(instance);
    }
    release(handle);
    return CORE_OK;
}

// ---- test seams ----

void flowmesh_engine_test_set_timing(const FlowmeshEngineTiming *timing)
{
    const FlowmeshEngineTiming t = timing != nullptr ? *timing : kDefaultTiming;
    g_monitor_period_ms.store(ms_or_default(t.monitor_period_ms, kDefaultTiming.monitor_period_ms));
    g_monitor_step_ms.store(ms_or_default(t.monitor_step_ms, kDefaultTiming.monitor_step_ms));
    g_housekeeping_ms.store(ms_or_default(t.housekeeping_ms, kDefaultTiming.housekeeping_ms));
    g_dispatch_tick_ms.store(ms_or_default(t.dispatch_tick_ms, kDefaultTiming.dispatch_tick_ms));
}

FlowmeshEngineTiming flowmesh_engine_timing(void)
{
    return {g_monitor_period_ms.load(), g_monitor_step_ms.load(), g_housekeeping_ms.load(), g_dispatch_tick_ms.load()};
}
