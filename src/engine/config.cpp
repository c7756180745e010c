#include "engine/config.h"

#include <cstring>

uint32_t engine_config_network_flags(uint32_t networkFlags)
{
    constexpr uint32_t kept = ENGINE_NET_ROLE_IDENTITY | ENGINE_NET_ROLE_KEY | ENGINE_NET_IGNORE_OWN |
                              ENGINE_NET_FIXED_ADAPTERS;
    static_assert(kept == (static_cast<uint32_t>(FLOWMESH_ROLE_IDENTITY) | FLOWMESH_ROLE_KEY | FLOWMESH_IGNORE_OWN |
                           FLOWMESH_FIXED_ADAPTERS),
                  "the kept bits mean the same in both words");
    uint32_t flags = networkFlags & kept;
    if (networkFlags & ENGINE_NET_LAN_DISCOVERY) flags |= FLOWMESH_MODE_LAN;
    if (networkFlags & ENGINE_NET_DIRECT) flags |= FLOWMESH_MODE_DIRECT;
    return flags;
}

CoreResult engine_config_network(const EngineConfig *config, EVP_PKEY *rsaKey, EngineNetworkSetup *out)
{
    if (config == nullptr || out == nullptr) return CORE_ERR_INVALID;
    memset(out, 0, sizeof(*out));
    memcpy(&out->network, &config->network, sizeof(config->network));
    // A link word that came in with the record would point into another
    // process's memory; the library reads the adapter records as values.
    for (CoreNetAdapter &adapter : out->network.adapters) adapter.next = nullptr;
    out->network.flags = engine_config_network_flags(config->networkFlags);
    out->network.peer_mode = config->nodeKind == ENGINE_NODE_PLAIN ? 2 : 1;
    out->network.announce_mode = config->networkMode == 1 || config->networkMode == 3 ? config->networkMode : 2;
    out->network.reliable_pool_size = config->networkPoolSizes[0];
    out->network.reliable_queue_pool_size = config->networkPoolSizes[1];
    out->network.rsa_key = rsaKey;
    out->servicesMode = config->servicesMode;
    return CORE_OK;
}
