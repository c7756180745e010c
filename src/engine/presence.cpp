#include "engine/presence.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/random.h"
#include "core/store.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "flowmesh/access.h"
#include "flowmesh/core.h"
#include "flowmesh/direct.h"
#include "flowmesh/engine.h"
#include "flowmesh/instance.h"
#include "flowmesh/session.h"

namespace {

const char kModule[] = "presence";

constexpr const char *kStatusValues[] = {ENGINE_STATUS_ONLINE, ENGINE_STATUS_AWAY, ENGINE_STATUS_BUSY,
                                         ENGINE_STATUS_OFFLINE};

int64_t next_period_ms()
{
    return ENGINE_PRESENCE_PERIOD_MIN_MS + static_cast<int64_t>(core_random_u64() % ENGINE_PRESENCE_PERIOD_SPREAD);
}

uint64_t user_word(EnginePresenceService *service) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(service)); }

// ---- callbacks of the network core ----

// Registers each of the four callbacks not registered yet. True when all
// four are.
bool register_callbacks(EnginePresenceService *service)
{
    const uint64_t user = user_word(service);
    if (service->sessionToken == 0) {
        const FlowmeshCallbacks set = {engine_presence_on_session, {user, 0}};
        service->sessionToken = flowmesh_register_session_callbacks(&set);
    }
    if (service->statusToken == 0) {
        // The status table has no registration function of its own.
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            const FlowmeshCallbacks set = {engine_presence_on_status, {user, 0}};
            service->statusToken = flowmesh_register_callbacks(core->events, FLOWMESH_EVENTS_STATUS, &set);
            flowmesh_core_release(core);
        }
    }
    if (service->stateToken == 0) {
        const FlowmeshCallbacks set = {engine_presence_on_stream_state, {user, 0}};
        service->stateToken = flowmesh_register_state_callbacks(&set);
    }
    if (service->dataToken == 0) {
        const FlowmeshCallbacks set = {engine_presence_on_data, {user, 0}};
        service->dataToken = flowmesh_register_data_callbacks(&set);
    }
    return service->sessionToken != 0 && service->statusToken != 0 && service->stateToken != 0 &&
           service->dataToken != 0;
}

void unregister_callbacks(EnginePresenceService *service)
{
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        if (service->statusToken != 0) flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_STATUS, service->statusToken);
        if (service->sessionToken != 0)
            flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, service->sessionToken);
        flowmesh_core_release(core);
    }
    if (service->stateToken != 0) flowmesh_unregister_state_callbacks(service->stateToken);
    if (service->dataToken != 0) flowmesh_unregister_data_callbacks(service->dataToken);
    service->statusToken = service->sessionToken = service->stateToken = service->dataToken = 0;
}

// ---- the network, from the task alone ----

// The announce mode a discovery-mode command asked for goes into the
// core's configuration just before a start: the core copies its
// configuration only when it starts the network, and only this task starts
// it, so nothing reads the word while it changes.
void apply_announce_mode(EnginePresenceService *service)
{
    const uint32_t mode = service->requestedAnnounceMode.exchange(0);
    if (mode == 0) return;
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        core->config.announce_mode = mode;
        flowmesh_core_release(core);
    }
}

CoreResult start_network(EnginePresenceService *service)
{
    apply_announce_mode(service);
    return flowmesh_set_state(FLOWMESH_NETWORK_STARTED);
}

void cycle_if_changed(EnginePresenceService *service)
{
    if (service->changes.exchange(0) != 0) service->changes.fetch_add(engine_presence_cycle(service));
}

bool pop_status(EnginePresenceService *service, uint32_t *status)
{
    CoreQueueRecord *record = core_queue_pop(service->statusQueue);
    if (record == nullptr) return false;
    const CoreQueueEntry entry = core_queue_record_entry(record);
    const bool ok = entry.data != nullptr && entry.length == sizeof(uint32_t);
    if (ok) memcpy(status, entry.data, sizeof(uint32_t));
    core_queue_record_free(service->statusQueue, &record);
    return ok && *status <= ENGINE_STATUS_INDEX_OFFLINE;
}

CoreResult queue_status(EnginePresenceService *service, uint32_t status)
{
    const CoreIoVec vec = {sizeof(status), &status};
    return core_queue_post(service->statusQueue, nullptr, 0, 0, &vec, 1) == 0 ? CORE_OK : CORE_ERR;
}

// ---- node commands ----

// {u32 IPv4, u16 port} as six bytes, both in the library's byte order.
bool read_endpoint(const CoreQueueEntry *message, CoreUdpAddr *out)
{
    if (message->data == nullptr || message->length < 6) return false;
    const auto *p = static_cast<const uint8_t *>(message->data);
    memcpy(&out->address, p, 4);
    memcpy(&out->port, p + 4, 2);
    return true;
}

bool read_adapter(const CoreQueueEntry *message, CoreNetAdapter *out)
{
    if (message->data == nullptr || message->length < sizeof(CoreNetAdapter)) return false;
    memcpy(out, message->data, sizeof(CoreNetAdapter));
    out->next = nullptr;
    return true;
}

void post_restart_reason(FlowmeshCore *core, uint32_t reason)
{
    flowmesh_post_event(core->events, FLOWMESH_STATUS_NETWORK_CHANGED, &reason, sizeof(reason));
}

void on_node_property(EnginePresenceService *service, const CoreQueueEntry *message)
{
    if (message->data == nullptr || message->length < sizeof(EngineNodeProperty)) return;
    EngineNodeProperty header;
    memcpy(&header, message->data, sizeof(header));
    if (header.length > message->length - sizeof(header)) return;
    const uint8_t *value = static_cast<const uint8_t *>(message->data) + sizeof(header);
    // Peers refuse a property that breaks its rule; it is not sent at all.
    if (engine_node_property_check(header.name.key, value, header.length) != CORE_OK) return;
    if (core_name_cmp_str(header.name.key, ENGINE_PROP_STATUS) == 0 &&
        engine_presence_request_status(service, value, header.length) != CORE_OK)
        return;
    for (CoreStoreItem *item = core_store_next(service->peers, nullptr, 1); item != nullptr;
         item = core_store_next(service->peers, item, 1)) {
        engine_presence_queue_property(service, reinterpret_cast<EnginePresencePeer *>(item), header.name.key, value,
                                       header.length);
    }
}

void refresh_peers(EnginePresenceService *service)
{
    for (CoreStoreItem *item = core_store_next(service->peers, nullptr, 1); item != nullptr;
         item = core_store_next(service->peers, item, 1)) {
        reinterpret_cast<EnginePresencePeer *>(item)->flags.fetch_and(~ENGINE_PEER_FOUND);
        service->changes.fetch_add(1);
    }
}

void add_adapter(FlowmeshCore *core, const CoreNetAdapter &adapter)
{
    // A record without an id would read as a free slot.
    if (adapter.id[0] == '\0') return;
    bool added = false;
    {
        CoreLockGuard guard(&core->allow_lock);
        for (CoreNetAdapter &slot : core->allow_list) {
            if (slot.id[0] != '\0') continue;
            slot = adapter;
            added = true;
            break;
        }
    }
    if (added) post_restart_reason(core, FLOWMESH_CHANGE_ADAPTERS);
}

// Every running adapter instance reported back through the library's status
// path, as an adapter-lost status.
void report_adapters(FlowmeshCore *core)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    const uint64_t handle = core->engine.load();
    auto *engine = static_cast<FlowmeshEngine *>(handle != 0 ? core_handle_acquire(table, handle) : nullptr);
    if (engine == nullptr) return;
    for (CoreStoreItem *item = core_store_next(engine->instances, nullptr, 1); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance == nullptr) continue;
        CoreNetAdapter record = instance->adapter;
        if (record.address.address == 0 && record.address.port == 0) continue;
        record.next = nullptr;
        flowmesh_core_status_report(core->handle, FLOWMESH_REPORT_ADAPTER_LOST, &record, sizeof(record));
    }
    core_handle_release(table, handle);
}

// Deletes every deny entry `matches` picks.
template <typename Match>
void unblock(FlowmeshCore *core, Match matches)
{
    if (core->deny == nullptr) return;
    for (CoreStoreItem *item = core_store_next(core->deny, nullptr, 1); item != nullptr;
         item = core_store_next(core->deny, item, 1)) {
        const FlowmeshDenyEntry &entry = reinterpret_cast<FlowmeshDenyItem *>(item)->entry;
        if (!matches(entry)) continue;
        core_store_lock(core->deny);
        if (!(item->state & CORE_ITEM_DELETED)) core_store_remove(core->deny, item->key.key);
        core_store_unlock(core->deny);
    }
}

void on_network_command(EnginePresenceService *service, FlowmeshCore *core, const CoreQueueEntry *message)
{
    CoreUdpAddr endpoint = {};
    CoreNetAdapter adapter;
    switch (message->type) {
    case ENGINE_CMD_ADAPTER_ADD:
        if (read_adapter(message, &adapter)) add_adapter(core, adapter);
        break;
    case ENGINE_CMD_ADAPTER_REMOVE:
        if (read_adapter(message, &adapter) && flowmesh_core_remove_adapter(core, &adapter) == CORE_OK)
            post_restart_reason(core, FLOWMESH_CHANGE_ADAPTER_REMOVED);
        break;
    case ENGINE_CMD_PEER_CONNECT:
        if (read_endpoint(message, &endpoint)) flowmesh_engine_connect(core->engine.load(), &endpoint);
        break;
    case ENGINE_CMD_PEER_DISCONNECT:
        if (read_endpoint(message, &endpoint)) flowmesh_disconnect_address(endpoint.address, endpoint.port);
        break;
    case ENGINE_CMD_ADAPTERS_REPORT: report_adapters(core); break;
    case ENGINE_CMD_DISCOVERY_MODE: {
        uint32_t mode = 0;
        if (message->data == nullptr || message->length < sizeof(mode)) break;
        memcpy(&mode, message->data, sizeof(mode));
        if (mode == 0) break;
        // Takes effect with the restart it asks for.
        service->requestedAnnounceMode.store(mode);
        service->restartRequests.fetch_add(1);
        break;
    }
    case ENGINE_CMD_BLOCK_ENDPOINT:
        if (read_endpoint(message, &endpoint)) flowmesh_block_endpoint(&endpoint);
        break;
    case ENGINE_CMD_BLOCK_ADDRESS:
        if (read_endpoint(message, &endpoint)) flowmesh_block_address(&endpoint);
        break;
    // An all-zero key would match every entry of the other kinds, whose
    // unused fields are zero; it names nothing and removes nothing.
    case ENGINE_CMD_UNBLOCK_ENDPOINT:
        if (read_endpoint(message, &endpoint) && (endpoint.address != 0 || endpoint.port != 0))
            unblock(core, [&](const FlowmeshDenyEntry &e) {
                return e.endpoint_address == endpoint.address && e.endpoint_port == endpoint.port;
            });
        break;
    case ENGINE_CMD_UNBLOCK_ADDRESS:
        if (read_endpoint(message, &endpoint) && (endpoint.address != 0 || endpoint.port != 0))
            unblock(core, [&](const FlowmeshDenyEntry &e) {
                return e.address == endpoint.address && e.port == endpoint.port;
            });
        break;
    case ENGINE_CMD_BLOCK_NODE:
    case ENGINE_CMD_UNBLOCK_NODE: {
        if (message->data == nullptr || message->length < CORE_NAME_KEY_SIZE) break;
        CoreName node = {};
        memcpy(node.key, message->data, CORE_NAME_KEY_SIZE);
        core_name_make(&node);
        if (core_name_is_empty(&node)) break;
        if (message->type == ENGINE_CMD_BLOCK_NODE)
            flowmesh_block_node(&node);
        else
            unblock(core, [&](const FlowmeshDenyEntry &e) {
                return memcmp(e.node_id.key, node.key, CORE_NAME_KEY_SIZE) == 0;
            });
        break;
    }
    default: break;
    }
}

void cancel_task(EnginePresenceService *service)
{
    const uint64_t task = service->presenceTask.exchange(0);
    core_executor_cancel_named(&service->executorName, task, 1);
}

}  // namespace

int32_t engine_status_value_index(const void *value, uint64_t length)
{
    if (value == nullptr) return -1;
    for (int32_t i = 0; i < 4; ++i) {
        if (length == strlen(kStatusValues[i]) && memcmp(value, kStatusValues[i], length) == 0) return i;
    }
    return -1;
}

EnginePresenceService *engine_presence_create(const EngineNetworkSetup *setup)
{
    if (setup == nullptr) return nullptr;
    const FlowmeshConfig &network = setup->network;
    if (!(network.flags & (FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY)) ||
        !(network.flags & (FLOWMESH_MODE_DIRECT | FLOWMESH_MODE_LAN)) || core_name_is_empty(&network.system_name) ||
        core_name_is_empty(&network.user_id) || core_name_is_empty(&network.node_id))
        return nullptr;
    EngineNode *node = engine_node_running();
    if (node == nullptr) return nullptr;

    void *memory = nullptr;
    if (posix_memalign(&memory, 64, sizeof(EnginePresenceService)) != 0) return nullptr;
    memset(memory, 0, sizeof(EnginePresenceService));
    auto *service = new (memory) EnginePresenceService{};
    service->config = *setup;
    core_name_format(&service->commandTopic, "%s", ENGINE_COMMAND_TOPIC);
    core_name_format(&service->eventTopic, "%s", ENGINE_EVENT_TOPIC);
    core_name_format(&service->executorName, "%s", CORE_DEFAULT_EXECUTOR);
    service->appliedStatus = ENGINE_STATUS_INDEX_OFFLINE;
    if (setup->servicesMode & ENGINE_SERVICES_BINDING) service->requiredStreams |= ENGINE_PEER_STREAM_BIND;
    if (setup->servicesMode & ENGINE_SERVICES_MESSAGES) service->requiredStreams |= ENGINE_PEER_STREAM_MESSAGES;
    if (setup->servicesMode & ENGINE_SERVICES_FILES) service->requiredStreams |= ENGINE_PEER_STREAM_FILES;

    bool ok = true;
    CoreName pool_name;
    core_name_format(&pool_name, "%s", CORE_DEFAULT_POOL);
    service->pool = core_pool_get(&pool_name, 0);
    ok = service->pool != nullptr;
    if (ok) {
        CoreQueueConfig queue = {};
        queue.batch = 1;
        queue.pool = pool_name;
        service->statusQueue = core_queue_create(&queue);
        service->peers = engine_presence_peers_create(service);
        ok = service->statusQueue != nullptr && service->peers != nullptr;
    }
    if (ok) {
        service->runWord.store(ENGINE_PRESENCE_IDLE);
        engine_presence_set_state(service, ENGINE_PRESENCE_OFFLINE);
        service->coreMade = flowmesh_core_create(&setup->network) == CORE_OK;
        ok = service->coreMade;
        if (!ok) core_log(CORE_LOG_ERROR, kModule, "the network core was not made");
    }
    if (ok) {
        CoreTopicSubscription command = {engine_presence_on_command, {service, nullptr}};
        CoreTopicSubscription event = {engine_presence_on_event, {service, nullptr}};
        service->commandSubscription = core_topic_subscribe(&service->commandTopic, &command);
        service->eventSubscription = core_topic_subscribe(&service->eventTopic, &event);
        ok = service->commandSubscription != 0 && service->eventSubscription != 0;
    }
    if (ok) {
        // The longest status text and one byte more: anything longer is no
        // status, and is refused below without being read whole.
        uint8_t value[ENGINE_PROP_VALUE_MAX + 1];
        uint64_t length = 0;
        CoreName key;
        core_name_format(&key, "%s", ENGINE_PROP_STATUS);
        bool sealed;
        {
            CoreLockGuard guard(node->lock);
            sealed = node->sealed != 0;
        }
        ok = sealed && engine_node_property_get(node, key.key, value, sizeof(value), &length) == CORE_OK &&
             length <= sizeof(value) && engine_presence_request_status(service, value, length) == CORE_OK;
        if (!ok) core_log(CORE_LOG_ERROR, kModule, "the node's own status is missing or unknown");
    }
    if (!ok) {
        engine_presence_destroy(&service);
        return nullptr;
    }
    return service;
}

void engine_presence_destroy(EnginePresenceService **pservice)
{
    if (pservice == nullptr || *pservice == nullptr) return;
    EnginePresenceService *service = *pservice;
    *pservice = nullptr;
    cancel_task(service);
    if (service->commandSubscription != 0) core_topic_unsubscribe(&service->commandTopic, service->commandSubscription);
    if (service->eventSubscription != 0) core_topic_unsubscribe(&service->eventTopic, service->eventSubscription);
    unregister_callbacks(service);
    if (service->coreMade) flowmesh_core_destroy();
    if (service->peers != nullptr) core_store_destroy(&service->peers);
    if (service->statusQueue != nullptr) core_queue_destroy(&service->statusQueue);
    if (service->pool != nullptr) core_pool_release(service->pool);
    service->~EnginePresenceService();
    free(service);
}

uint64_t engine_presence_go_online(EnginePresenceService *service)
{
    if (service == nullptr || service->presenceTask.load() != 0) return 0;
    service->runWord.store(ENGINE_PRESENCE_STARTING);
    CoreTaskCallback callback = {engine_presence_task, {service, nullptr}};
    const uint64_t task = core_executor_schedule(&service->executorName, nullptr, nullptr, next_period_ms(), &callback);
    if (task == 0) {
        service->runWord.store(ENGINE_PRESENCE_IDLE);
        return 0;
    }
    service->presenceTask.store(task);
    return task;
}

CoreResult engine_presence_go_offline(EnginePresenceService *service)
{
    if (service == nullptr) return CORE_ERR_INVALID;
    cancel_task(service);
    service->runWord.store(ENGINE_PRESENCE_IDLE);
    engine_presence_set_state(service, ENGINE_PRESENCE_OFFLINE);
    // The network stops below, so a later go-online must start it again:
    // the status that was applied becomes a request again, ahead of any
    // newer ones. The task is cancelled, so nothing else reads the queue.
    const uint32_t applied = service->appliedStatus;
    service->appliedStatus = ENGINE_STATUS_INDEX_OFFLINE;
    if (applied != ENGINE_STATUS_INDEX_OFFLINE) {
        std::vector<uint32_t> newer;
        uint32_t status;
        while (pop_status(service, &status)) newer.push_back(status);
        queue_status(service, applied);
        for (uint32_t s : newer) queue_status(service, s);
    }
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        if (core->commands != nullptr) core_queue_post(core->commands->queue, nullptr, 0, 0, nullptr, 0);
        flowmesh_core_release(core);
    }
    return CORE_OK;
}

CoreResult engine_presence_set_state(EnginePresenceService *service, uint32_t state)
{
    if (service == nullptr) return CORE_ERR_INVALID;
    if (service->presenceState.exchange(state) == state) return CORE_DONE;
    return engine_post_event(ENGINE_EVT_PRESENCE_STATE, &state, sizeof(state)) != 0 ? CORE_OK : CORE_ERR;
}

CoreResult engine_presence_request_status(EnginePresenceService *service, const void *value, uint64_t length)
{
    if (service == nullptr) return CORE_ERR_INVALID;
    const int32_t index = engine_status_value_index(value, length);
    if (index < 0) return CORE_ERR;
    return queue_status(service, static_cast<uint32_t>(index));
}

void engine_presence_run(EnginePresenceService *service)
{
    cycle_if_changed(service);

    const uint32_t restarts = service->restartRequests.load();
    if (restarts != 0) {
        if (service->appliedStatus == ENGINE_STATUS_INDEX_OFFLINE) {
            service->restartRequests.fetch_sub(restarts);
        } else {
            flowmesh_set_state(FLOWMESH_NETWORK_STOPPED);
            cycle_if_changed(service);
            if (start_network(service) == CORE_OK) {
                engine_presence_set_state(service, ENGINE_PRESENCE_ONLINE);
                // Requests that came in during the restart stay for the next run.
                service->restartRequests.fetch_sub(restarts);
            } else {
                engine_presence_set_state(service, ENGINE_PRESENCE_START_FAILED);
            }
        }
    }

    uint32_t status;
    if (!pop_status(service, &status) || status == service->appliedStatus) return;
    if (status == ENGINE_STATUS_INDEX_OFFLINE) {
        core_sleep_ms(ENGINE_PRESENCE_OFFLINE_PAUSE_MS);
        engine_presence_set_state(service, ENGINE_PRESENCE_OFFLINE);
        flowmesh_set_state(FLOWMESH_NETWORK_STOPPED);
        service->restartRequests.store(0);
    } else if (service->appliedStatus == ENGINE_STATUS_INDEX_OFFLINE) {
        if (start_network(service) == CORE_OK) {
            engine_presence_set_state(service, ENGINE_PRESENCE_ONLINE);
        } else {
            engine_presence_set_state(service, ENGINE_PRESENCE_START_FAILED);
            service->restartRequests.fetch_add(1);
        }
    }
    service->appliedStatus = status;
}

int engine_presence_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *, void **user)
{
    auto *service = static_cast<EnginePresenceService *>(user[0]);
    switch (service->runWord.load()) {
    case ENGINE_PRESENCE_STARTING:
        if (register_callbacks(service)) service->runWord.store(ENGINE_PRESENCE_RUNNING);
        break;
    case ENGINE_PRESENCE_RUNNING: engine_presence_run(service); break;
    default: break;
    }
    core_executor_trigger(executor, task, next_period_ms());
    return CORE_OK;
}

CoreResult engine_presence_on_command(const CoreQueueEntry *message, void **user)
{
    auto *service = static_cast<EnginePresenceService *>(user[0]);
    if (service == nullptr || message == nullptr) return CORE_OK;
    if (message->type < ENGINE_CMD_NODE_PROPERTY || message->type > ENGINE_CMD_UNBLOCK_NODE) return CORE_OK;
    if (message->length != 0 && message->data == nullptr) return CORE_OK;
    switch (message->type) {
    case ENGINE_CMD_NODE_PROPERTY: on_node_property(service, message); return CORE_OK;
    case ENGINE_CMD_PRESENCE_QUERY: {
        const uint32_t state = service->presenceState.load();
        engine_post_event(ENGINE_EVT_PRESENCE_STATE, &state, sizeof(state));
        return CORE_OK;
    }
    case ENGINE_CMD_PRESENCE_REFRESH: refresh_peers(service); return CORE_OK;
    default: break;
    }
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_OK;
    on_network_command(service, core, message);
    flowmesh_core_release(core);
    return CORE_OK;
}

int engine_presence_on_status(void *record, FlowmeshStreamAnswer *)
{
    const auto *event = static_cast<const FlowmeshStatusEvent *>(record);
    auto *service = reinterpret_cast<EnginePresenceService *>(static_cast<uintptr_t>(event->user[0]));
    if (service == nullptr || event->payload == nullptr) return 0;
    switch (event->code) {
    case FLOWMESH_STATUS_NETWORK_CHANGED: {
        uint32_t reason;
        memcpy(&reason, event->payload, sizeof(reason));
        if (reason <= FLOWMESH_CHANGE_ADAPTER_REMOVED) service->restartRequests.fetch_add(1);
        return 0;
    }
    case FLOWMESH_STATUS_ADAPTER_ADDED:
    case FLOWMESH_STATUS_ADAPTER_REMOVED:
    case FLOWMESH_STATUS_ADAPTER_LOST: {
        static_assert(ENGINE_EVT_ADAPTER_REMOVED == ENGINE_EVT_ADAPTER_ADDED + 1 &&
                          ENGINE_EVT_ADAPTER_LOST == ENGINE_EVT_ADAPTER_ADDED + 2,
                      "adapter events follow the status codes");
        CoreNetAdapter adapter;
        memcpy(&adapter, event->payload, sizeof(adapter));
        adapter.next = nullptr;
        engine_post_event(ENGINE_EVT_ADAPTER_ADDED + (event->code - FLOWMESH_STATUS_ADAPTER_ADDED), &adapter,
                          sizeof(adapter));
        return 0;
    }
    default: return 0;
    }
}
