#include "flowmesh/netcrypto/key_material.h"

#include <cstring>

#include "core/sha256.h"

namespace {

// The names are part of the recipe: renaming one changes its table.
NetcryptoKeyMaterial make_material()
{
    NetcryptoKeyMaterial m;
    netcrypto_derive_table("discovery salt", m.discovery_salt, sizeof(m.discovery_salt));
    netcrypto_derive_table("key salt", m.key_salt, sizeof(m.key_salt));
    netcrypto_derive_table("first mask", m.first_mask, sizeof(m.first_mask));
    netcrypto_derive_table("second mask", m.second_mask, sizeof(m.second_mask));
    netcrypto_derive_table("seed constant", m.seed_constant, sizeof(m.seed_constant));
    netcrypto_derive_table("seed bytes", m.seed_bytes, sizeof(m.seed_bytes));
    netcrypto_derive_table("identity constant", m.identity_constant, sizeof(m.identity_constant));
    netcrypto_derive_table("identity seeds", &m.seed_table[0][0], sizeof(m.seed_table));
    return m;
}

}  // namespace

void netcrypto_derive_table(const char *name, uint8_t *out, size_t size)
{
    static const char kLabel[] = NETCRYPTO_KEY_MATERIAL_LABEL;
    for (uint32_t counter = 0; size > 0; ++counter) {
        const uint8_t zero = 0;
        const uint8_t be[4] = {uint8_t(counter >> 24), uint8_t(counter >> 16), uint8_t(counter >> 8),
                               uint8_t(counter)};
        CoreSha256 context;
        core_sha256_init(&context);
        core_sha256_update(&context, kLabel, sizeof(kLabel) - 1);
        core_sha256_update(&context, &zero, 1);
        core_sha256_update(&context, name, strlen(name));
        core_sha256_update(&context, &zero, 1);
        core_sha256_update(&context, be, sizeof(be));
        uint8_t digest[CORE_SHA256_DIGEST_SIZE];
        core_sha256_final(&context, digest);
        const size_t n = size < sizeof(digest) ? size : sizeof(digest);
        memcpy(out, digest, n);
        out += n;
        size -= n;
    }
}

const NetcryptoKeyMaterial *netcrypto_key_material(void)
{
    // A function-local static: made by the first caller, the others wait.
    static const NetcryptoKeyMaterial material = make_material();
    return &material;
}

const NetcryptoKeyTable *netcrypto_key_tables(void)
{
    static const NetcryptoKeyTable tables[NETCRYPTO_KEY_TABLES] = {
        {"discovery salt", netcrypto_key_material()->discovery_salt, NETCRYPTO_SALT_SIZE},
        {"key salt", netcrypto_key_material()->key_salt, NETCRYPTO_SALT_SIZE},
        {"first mask", netcrypto_key_material()->first_mask, NETCRYPTO_MASK_SIZE},
        {"second mask", netcrypto_key_material()->second_mask, NETCRYPTO_MASK_SIZE},
        {"seed constant", netcrypto_key_material()->seed_constant, NETCRYPTO_SEED_CONSTANT_SIZE},
        {"seed bytes", netcrypto_key_material()->seed_bytes, NETCRYPTO_SEED_BYTES_SIZE},
        {"identity constant", netcrypto_key_material()->identity_constant, NETCRYPTO_IDENTITY_CONSTANT_SIZE},
        {"identity seeds", &netcrypto_key_material()->seed_table[0][0],
         NETCRYPTO_SEED_ENTRIES * NETCRYPTO_SEED_ENTRY_SIZE},
    };
    return tables;
}
