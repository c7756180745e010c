// The fixed key material of the handshake: the discovery and key salt
// tables, the two XOR masks, the seed constant and the ten further seed
// bytes of announcements, the identity constant and the identity seed table.
//
// Two nodes recognise each other only when every byte here is the same on
// both, so nothing is random: each table is SHA-256 in counter mode over a
// fixed label and the table's name (docs/protocol.md gives the recipe, and a
// test pins each table's hash). The material is made on first use and is
// read-only afterwards; any thread may call these functions, which cannot
// fail.
#pragma once

#include <cstddef>
#include <cstdint>

#define NETCRYPTO_SALT_SIZE 4096
#define NETCRYPTO_MASK_SIZE 32
#define NETCRYPTO_SEED_CONSTANT_SIZE 16
#define NETCRYPTO_SEED_BYTES_SIZE 10
#define NETCRYPTO_IDENTITY_CONSTANT_SIZE 4
#define NETCRYPTO_SEED_ENTRIES 32
#define NETCRYPTO_SEED_ENTRY_SIZE 6

// What every table is derived from; changing it makes a new network.
#define NETCRYPTO_KEY_MATERIAL_LABEL "veltrana key material v1"

struct NetcryptoKeyMaterial {
    uint8_t discovery_salt[NETCRYPTO_SALT_SIZE];  // announcements
    uint8_t key_salt[NETCRYPTO_SALT_SIZE];        // key message check values
    uint8_t first_mask[NETCRYPTO_MASK_SIZE];      // user ids in blocks and key messages
    uint8_t second_mask[NETCRYPTO_MASK_SIZE];     // check values
    uint8_t seed_constant[NETCRYPTO_SEED_CONSTANT_SIZE];
    uint8_t seed_bytes[NETCRYPTO_SEED_BYTES_SIZE];
    uint8_t identity_constant[NETCRYPTO_IDENTITY_CONSTANT_SIZE];
    uint8_t seed_table[NETCRYPTO_SEED_ENTRIES][NETCRYPTO_SEED_ENTRY_SIZE];
};

// One table by the name it is derived under, for export and tests.
struct NetcryptoKeyTable {
    const char *name;
    const uint8_t *bytes;
    size_t size;
};

#define NETCRYPTO_KEY_TABLES 8

// The material, made once per process.
const NetcryptoKeyMaterial *netcrypto_key_material(void);

// The eight tables in a fixed order, each with its derivation name.
const NetcryptoKeyTable *netcrypto_key_tables(void);

// Fills `out` with SHA-256(label 0x00 name 0x00 counter) for counter =
// 0, 1, 2 ... (u32 big-endian), cut to `size` bytes: the recipe of every
// table above.
void netcrypto_derive_table(const char *name, uint8_t *out, size_t size);
