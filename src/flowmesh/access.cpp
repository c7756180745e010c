// Allow-list slots and the deny store.
#include "flowmesh/access.h"

#include <cstring>

#include "flowmesh/core.h"

namespace {

bool slot_used(const CoreNetAdapter &slot) { return slot.id[0] != '\0'; }

// Id texts equal byte for byte up to the terminator; a text filling all
// 64 bytes has none, so the comparison stops at the field's end.
bool same_id(const CoreNetAdapter &a, const CoreNetAdapter &b) { return strncmp(a.id, b.id, sizeof(a.id)) == 0; }

int deny_create(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    reinterpret_cast<FlowmeshDenyItem *>(item)->entry = *static_cast<const FlowmeshDenyEntry *>(arg);
    return 0;
}

bool same_endpoint(uint32_t a_address, uint16_t a_port, const CoreUdpAddr &b)
{
    return a_address == b.address && a_port == b.port;
}

CoreResult block(const FlowmeshDenyEntry &entry)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    CoreStoreItem *item = nullptr;
    if (core->deny != nullptr &&
        core_store_insert(core->deny, nullptr, nullptr, const_cast<FlowmeshDenyEntry *>(&entry), &item, 0) == CORE_OK) {
        flowmesh_core_sessions_deny(core, &entry);
        result = CORE_OK;
    }
    flowmesh_core_release(core);
    return result;
}

}  // namespace

CoreStore *flowmesh_deny_store_create(const CoreName *executor)
{
    if (executor == nullptr) return nullptr;
    CoreStoreConfig config = {};
    config.item_size = sizeof(FlowmeshDenyItem);
    config.key_kind = CORE_KEY_U32;
    config.key_first = 1;
    config.key_count = 0xFFFFFFFFULL;
    config.create = deny_create;
    config.executor = *executor;
    return core_store_create(&config);
}

CoreResult flowmesh_core_remove_adapter(FlowmeshCore *core, const CoreNetAdapter *adapter)
{
    if (core == nullptr || adapter == nullptr) return CORE_FAIL;
    CoreLockGuard guard(&core->allow_lock);
    CoreNetAdapter *slots = core->allow_list;
    uint32_t found = FLOWMESH_ADAPTER_SLOTS;
    for (uint32_t i = 0; i < FLOWMESH_ADAPTER_SLOTS; ++i) {
        if (slot_used(slots[i]) && same_id(slots[i], *adapter)) {
            found = i;
            break;
        }
    }
    if (found == FLOWMESH_ADAPTER_SLOTS) return CORE_FAIL;
    memset(&slots[found], 0, sizeof(slots[found]));
    uint32_t free_slot = 0;
    for (uint32_t i = 0; i < FLOWMESH_ADAPTER_SLOTS; ++i) {
        if (!slot_used(slots[i])) continue;
        if (i != free_slot) {
            slots[free_slot] = slots[i];
            memset(&slots[i], 0, sizeof(slots[i]));
        }
        ++free_slot;
    }
    return CORE_OK;
}

void flowmesh_core_snapshot_adapters(FlowmeshCore *core, FlowmeshConfig *config)
{
    if (core == nullptr || config == nullptr) return;
    CoreLockGuard guard(&core->allow_lock);
    for (uint32_t i = 0; i < FLOWMESH_ADAPTER_SLOTS; ++i) {
        config->adapters[i] = core->allow_list[i];
        // The link word points into the engine's chain; a copy must not.
        config->adapters[i].next = nullptr;
    }
}

CoreResult flowmesh_block_endpoint(const CoreUdpAddr *endpoint)
{
    if (endpoint == nullptr || (endpoint->address == 0 && endpoint->port == 0)) return CORE_ERR_INVALID;
    FlowmeshDenyEntry entry = {};
    entry.endpoint_address = endpoint->address;
    entry.endpoint_port = endpoint->port;
    return block(entry);
}

CoreResult flowmesh_block_address(const CoreUdpAddr *address)
{
    if (address == nullptr || (address->address == 0 && address->port == 0)) return CORE_ERR_INVALID;
    FlowmeshDenyEntry entry = {};
    entry.address = address->address;
    entry.port = address->port;
    return block(entry);
}

CoreResult flowmesh_block_node(const CoreName *node_id)
{
    if (node_id == nullptr || core_name_is_empty(node_id)) return CORE_ERR_INVALID;
    FlowmeshDenyEntry entry = {};
    memcpy(entry.node_id.key, node_id->key, CORE_NAME_KEY_SIZE);
    core_name_make(&entry.node_id);
    return block(entry);
}

CoreResult flowmesh_core_admit_peer(FlowmeshCore *core, const CoreUdpAddr *peer, const CoreUdpAddr *endpoint)
{
    if (core == nullptr || core->deny == nullptr || peer == nullptr) return CORE_OK;
    const CoreUdpAddr no_endpoint = {};
    const CoreUdpAddr &ep = endpoint != nullptr ? *endpoint : no_endpoint;
    const bool report_has_endpoint = ep.address != 0 || ep.port != 0;
    CoreResult result = CORE_OK;
    for (CoreStoreItem *item = core_store_next(core->deny, nullptr, 1); item != nullptr;
         item = core_store_next(core->deny, item, 1)) {
        const FlowmeshDenyEntry &e = reinterpret_cast<FlowmeshDenyItem *>(item)->entry;
        bool denied = false;
        if ((e.endpoint_address != 0 || e.endpoint_port != 0) && report_has_endpoint)
            denied = same_endpoint(e.endpoint_address, e.endpoint_port, ep);
        if (!denied && e.address != 0) {
            denied = e.port != 0 ? same_endpoint(e.address, e.port, *peer) : e.address == peer->address;
        }
        if (denied) {
            result = CORE_FAIL;
            // Leaving the walk early: drop the walk's reference ourselves.
            core_store_lock(core->deny);
            core_store_release(core->deny);
            core_store_unlock(core->deny);
            break;
        }
    }
    return result;
}

CoreResult flowmesh_core_check_node(FlowmeshCore *core, const uint8_t node_id[CORE_NAME_KEY_SIZE])
{
    if (core == nullptr || core->deny == nullptr || node_id == nullptr) return CORE_OK;
    CoreResult result = CORE_OK;
    for (CoreStoreItem *item = core_store_next(core->deny, nullptr, 1); item != nullptr;
         item = core_store_next(core->deny, item, 1)) {
        const FlowmeshDenyEntry &e = reinterpret_cast<FlowmeshDenyItem *>(item)->entry;
        if (!core_name_is_empty(&e.node_id) && core_compare_key32(e.node_id.key, node_id) == 0) {
            result = CORE_ERR_REFUSED;
            core_store_lock(core->deny);
            core_store_release(core->deny);
            core_store_unlock(core->deny);
            break;
        }
    }
    return result;
}

int flowmesh_deny_matches_session(const FlowmeshDenyEntry *entry, const CoreUdpAddr *peer,
                                  const CoreUdpAddr *endpoint, const CoreName *peer_node)
{
    if (entry == nullptr) return 0;
    if ((entry->endpoint_address != 0 || entry->endpoint_port != 0) && endpoint != nullptr)
        return same_endpoint(entry->endpoint_address, entry->endpoint_port, *endpoint);
    if (entry->address != 0 && peer != nullptr)
        return entry->port != 0 ? same_endpoint(entry->address, entry->port, *peer)
                                : entry->address == peer->address;
    if (!core_name_is_empty(&entry->node_id) && peer_node != nullptr)
        return core_compare_key32(entry->node_id.key, peer_node->key) == 0;
    return 0;
}
