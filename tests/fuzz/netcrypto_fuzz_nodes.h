// The two nodes both handshake fuzz targets play with: A sends, B judges.
// Fixed settings, so committed seeds stay valid; B's RSA key and A's are made
// at start-up, and A's key signs what the fuzzer proposes as a signed part.
#pragma once

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "core/crypto.h"
#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/identity.h"

namespace netcrypto_fuzz {

inline void require(bool ok)
{
    if (!ok) abort();
}

inline CoreUdpAddr address(const char *ipv4, uint16_t port)
{
    CoreUdpAddr a;
    inet_pton(AF_INET, ipv4, &a.address);
    a.port = htons(port);
    return a;
}

// Node at ipv4:60149 with seed entry `seed`, discovery socket one port up.
inline NetcryptoNode make_node(EVP_PKEY *key, const char *ipv4, const char *user, int seed)
{
    NetcryptoNode node;
    memset(&node, 0, sizeof(node));
    core_name_format(&node.system_name, "%s", "veltrana.fuzz");
    core_name_format(&node.user_id, "%s", user);
    node.key_options = NETCRYPTO_KEYS_128 | NETCRYPTO_KEYS_256;
    node.key = key;
    const CoreUdpAddr data = address(ipv4, 60149);
    node.adapter_ipv4 = data.address;
    require(netcrypto_derive_identity(&data, seed, &node.user_id, &node.system_name, &node.first_identity,
                                      &node.first_identity_hash) == CORE_OK);
    CoreUdpAddr placeholder;
    placeholder.address = NETCRYPTO_PLACEHOLDER_IPV4;
    placeholder.port = NETCRYPTO_PLACEHOLDER_PORT;
    require(netcrypto_derive_identity(&placeholder, (seed + 1) % 32, &node.user_id, &node.system_name,
                                      &node.second_identity, &node.second_identity_hash) == CORE_OK);
    const CoreUdpAddr discovery = address(ipv4, 60150);
    netcrypto_broadcast_identity(&discovery, node.broadcast_identity);
    return node;
}

struct Nodes {
    NetcryptoNode a;
    NetcryptoNode b;
    CoreUdpAddr from_a;
};

inline const Nodes &nodes()
{
    static const Nodes made = [] {
        Nodes n;
        n.a = make_node(core_rsa_generate(), "10.9.0.1", "fuzz-user-a", 3);
        n.b = make_node(core_rsa_generate(), "10.9.0.2", "fuzz-user-b", 7);
        require(n.a.key != nullptr && n.b.key != nullptr);
        n.from_a = address("10.9.0.1", 60149);
        return n;
    }();
    return made;
}

}  // namespace netcrypto_fuzz
