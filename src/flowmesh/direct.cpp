// The connect operation, the connector thread and the key-message gate of
// direct mode.
#include "flowmesh/direct.h"

#include <cstring>

#include "core/clock.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/store.h"
#include "flowmesh/engine.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"

namespace {

const char kModule[] = "flowmesh.direct";

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

// The engine itself reports, so the reporter is the empty name.
void report_gone(FlowmeshEngine *engine, const CoreUdpAddr &target)
{
    if (engine->config.peer == nullptr) return;
    uint8_t gone[6];
    memcpy(gone, &target.address, 4);
    memcpy(gone + 4, &target.port, 2);
    const CoreName none = {};
    engine->config.peer(&none, FLOWMESH_PEER_GONE, 0, gone, sizeof(gone), engine->config.user);
}

bool subnet_holds(const FlowmeshAdapterInstance *instance, const CoreUdpAddr &target)
{
    const uint32_t address = instance->adapter.address.address;
    const uint32_t mask = instance->adapter.mask.address;
    return address != 0 && mask != 0 && (address & mask) == (target.address & mask);
}

// The first instance whose subnet holds the target, else the direct
// instance; with a reader reference of the instance store, or NULL.
FlowmeshAdapterInstance *instance_for_target(FlowmeshEngine *engine, const CoreUdpAddr &target)
{
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance != nullptr && subnet_holds(instance, target)) return instance;  // the walk's reference
    }
    return flowmesh_engine_direct_instance(engine);
}

CoreResult post_to(FlowmeshAdapterInstance *instance, const CoreUdpAddr &to, const uint8_t *data, uint64_t length)
{
    const CoreIoVec vec = {length, data};
    return core_queue_post(instance->send_channel, nullptr, to.address, to.port, &vec, 1) == 0 ? CORE_OK : CORE_ERR;
}

// The connecting side's slot. `deadline` is the thread's own.
void connect_slot(FlowmeshEngine *engine, uint64_t now, uint64_t *deadline)
{
    int32_t state = engine->connect_state.load();
    if (state == FLOWMESH_CONNECT_REQUESTED) {
        if (!engine->connect_state.compare_exchange_strong(state, FLOWMESH_CONNECT_CONNECTING)) return;
        *deadline = now + FLOWMESH_CONNECT_DEADLINE_MS;
        state = FLOWMESH_CONNECT_CONNECTING;
    }
    if (state != FLOWMESH_CONNECT_CONNECTING) return;
    const CoreUdpAddr target = flowmesh_endpoint_unpack(engine->connect_target.load());
    FlowmeshAdapterInstance *instance = instance_for_target(engine, target);
    bool found = false;
    if (instance != nullptr) {
        if (flowmesh_peer_find(instance, &target) != nullptr) {
            found = true;
            flowmesh_peer_release(instance);
        } else if (now < *deadline && post_to(instance, target, instance->direct_block,
                                               instance->direct_block_length) == CORE_OK) {
            instance->identity_blocks_sent.fetch_add(1);
        }
        core_store_unref(engine->instances);
    }
    // A disconnect meanwhile wins: only a state still connecting moves on.
    int32_t expected = FLOWMESH_CONNECT_CONNECTING;
    if (found) {
        engine->connect_state.compare_exchange_strong(expected, FLOWMESH_CONNECT_CONNECTED);
    } else if (now >= *deadline &&
               engine->connect_state.compare_exchange_strong(expected, FLOWMESH_CONNECT_IDLE)) {
        core_log(CORE_LOG_INFO, kModule, "no answer from the connect target within %u ms",
                 FLOWMESH_CONNECT_DEADLINE_MS);
        report_gone(engine, target);
    }
}

// The answering side's slot: the key message again to every direct-form
// peer the core has not confirmed, until its deadline drops it.
void key_slot(FlowmeshEngine *engine, uint64_t now)
{
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        if (instance == nullptr || instance->peers == nullptr) continue;
        for (CoreStoreItem *p = core_store_first(instance->peers); p != nullptr;
             p = core_store_next(instance->peers, p, 1)) {
            auto *peer = reinterpret_cast<FlowmeshPeer *>(p);
            if (peer->direct_key_message_length == 0 || (peer->flags.load() & FLOWMESH_PEER_CONFIRMED)) continue;
            if (now >= peer->direct_deadline_ms) {
                flowmesh_peer_drop(instance, peer);
            } else if (post_to(instance, peer->data_address, peer->direct_key_message,
                               peer->direct_key_message_length) == CORE_OK) {
                instance->key_messages_sent.fetch_add(1);
            }
        }
    }
}

}  // namespace

CoreResult flowmesh_engine_connect(uint64_t handle, const CoreUdpAddr *target)
{
    CoreHandleTable *table = network_table();
    auto *engine = static_cast<FlowmeshEngine *>(table != nullptr && handle != 0 ? core_handle_acquire(table, handle)
                                                                                 : nullptr);
    if (engine == nullptr) return CORE_ERR;
    const uint32_t flags = engine->config.configuration.flags;
    if (!(flags & FLOWMESH_MODE_DIRECT) || !(flags & FLOWMESH_ROLE_KEY) || target == nullptr) {
        core_handle_release(table, handle);
        return target == nullptr ? CORE_ERR_INVALID : CORE_ERR_STATE;
    }
    int32_t idle = FLOWMESH_CONNECT_IDLE;
    if (!engine->connect_state.compare_exchange_strong(idle, FLOWMESH_CONNECT_PREPARING)) {
        report_gone(engine, *target);
        core_handle_release(table, handle);
        return CORE_ERR_BUSY;
    }
    // A session to this address that is ending must not be mistaken for
    // the answer to this connect.
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(item);
        FlowmeshPeer *peer = instance != nullptr ? flowmesh_peer_find(instance, target) : nullptr;
        if (peer == nullptr) continue;
        if (peer->flags.load() & FLOWMESH_PEER_CLOSING) flowmesh_peer_drop(instance, peer);
        flowmesh_peer_release(instance);
    }
    CoreResult result = CORE_ERR;
    if (FlowmeshAdapterInstance *instance = instance_for_target(engine, *target)) {
        uint64_t unset = 0;
        instance->direct_target.compare_exchange_strong(unset, flowmesh_endpoint_pack(*target));
        core_store_unref(engine->instances);
        engine->connect_target.store(flowmesh_endpoint_pack(*target));
        int32_t preparing = FLOWMESH_CONNECT_PREPARING;
        if (engine->connect_state.compare_exchange_strong(preparing, FLOWMESH_CONNECT_REQUESTED)) result = CORE_OK;
    }
    // Without an instance the state stays preparing until a disconnect.
    if (result != CORE_OK) report_gone(engine, *target);
    core_handle_release(table, handle);
    return result;
}

int flowmesh_direct_connector(void **args)
{
    const uint64_t handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(args[0]));
    CoreHandleTable *table = network_table();
    auto *engine = static_cast<FlowmeshEngine *>(table != nullptr ? core_handle_acquire(table, handle) : nullptr);
    if (engine == nullptr) return 0;
    uint64_t deadline = 0;
    uint64_t next_slot = core_clock_mono_ms() + FLOWMESH_CONNECT_SLOT_MS;
    while (engine->running.load()) {
        const uint64_t now = core_clock_mono_ms();
        if (now >= next_slot) {
            next_slot = now + FLOWMESH_CONNECT_SLOT_MS;
            connect_slot(engine, now, &deadline);
            key_slot(engine, now);
        }
        core_sleep_ms(FLOWMESH_CONNECTOR_STEP_MS);
    }
    core_handle_release(table, handle);
    return 0;
}

bool flowmesh_direct_expects_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source)
{
    CoreHandleTable *table = network_table();
    auto *engine = static_cast<FlowmeshEngine *>(table != nullptr ? core_handle_acquire(table, instance->engine)
                                                                  : nullptr);
    if (engine == nullptr) return false;
    const bool expected = engine->connect_state.load() == FLOWMESH_CONNECT_CONNECTING &&
                          engine->connect_target.load() == flowmesh_endpoint_pack(*source);
    core_handle_release(table, instance->engine);
    return expected;
}
