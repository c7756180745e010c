#include "flowmesh/netcrypto/announce.h"

#include <cstring>

#include "core/sha256.h"
#include "flowmesh/netcrypto/key_material.h"

static_assert(4 + 2 + NETCRYPTO_SEED_BYTES_SIZE + NETCRYPTO_SEED_CONSTANT_SIZE == NETCRYPTO_ANNOUNCE_SEED_SIZE,
              "the announcement seed is one 32-byte piece");

void netcrypto_broadcast_identity(const CoreUdpAddr *address, uint8_t out[NETCRYPTO_ANNOUNCEMENT_SIZE])
{
    const NetcryptoKeyMaterial *material = netcrypto_key_material();
    uint8_t seed[NETCRYPTO_ANNOUNCE_SEED_SIZE];
    // Both fields are already in network order: their memory is the wire.
    memcpy(seed, &address->address, 4);
    memcpy(seed + 4, &address->port, 2);
    memcpy(seed + 6, material->seed_bytes, NETCRYPTO_SEED_BYTES_SIZE);
    memcpy(seed + 6 + NETCRYPTO_SEED_BYTES_SIZE, material->seed_constant, NETCRYPTO_SEED_CONSTANT_SIZE);
    CoreSha256 context;
    core_sha256_init(&context);
    core_sha256_update(&context, seed, sizeof(seed));
    core_sha256_update(&context, material->discovery_salt, NETCRYPTO_SALT_SIZE);
    core_sha256_final(&context, out);
}

CoreResult netcrypto_check_announcement(const uint8_t own[NETCRYPTO_ANNOUNCEMENT_SIZE], const CoreUdpAddr *source,
                                        const uint8_t *data, uint64_t length)
{
    if (data == nullptr || source == nullptr || length != NETCRYPTO_ANNOUNCEMENT_SIZE) return CORE_ERR;
    if (own != nullptr && memcmp(data, own, NETCRYPTO_ANNOUNCEMENT_SIZE) == 0) return CORE_DONE;
    uint8_t expected[NETCRYPTO_ANNOUNCEMENT_SIZE];
    netcrypto_broadcast_identity(source, expected);
    return memcmp(expected, data, NETCRYPTO_ANNOUNCEMENT_SIZE) == 0 ? CORE_OK : CORE_ERR;
}
