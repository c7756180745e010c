// Node identities and identity blocks of the handshake.
//
// An adapter instance proves itself with a node identity made from an
// address, an entry of the identity seed table and its user id, hashed
// with its system name, and with a signed 558-byte identity block that
// carries that hash, its masked user id, its key options and its RSA-2048
// public key. This module owns the identity and block formats: it derives
// and checks identities, builds and verifies blocks, and holds the process-
// wide cursor into the seed table. The peer store, the events and the
// sockets are the engine's; what a verified block yields is handed back in
// a NetcryptoPeerIdentity for the engine to keep.
//
// Everything but netcrypto_seed_index_take is a function of its arguments
// and the fixed key material; the discovery loops and instance executors of
// all instances call them at once. A NetcryptoNode is filled at instance
// start and only read afterwards. Results: CORE_OK; CORE_DONE where an input
// is this node's own and is to be ignored; CORE_ERR_INVALID for a configured
// key this format cannot carry; CORE_ERR for any refused input, wrong
// length or library failure. Nothing is read before its length is checked.
#pragma once

#include <cstdint>
#include <openssl/evp.h>

#include "core/names.h"
#include "core/result.h"
#include "core/udp.h"

// The block's fixed layout holds exactly one 2048-bit modulus.
#define NETCRYPTO_RSA_BITS 2048
#define NETCRYPTO_RSA_SIZE 256

#define NETCRYPTO_IDENTITY_SIZE 32
#define NETCRYPTO_IDENTITY_BLOCK_SIZE 558
#define NETCRYPTO_BLOCK_SIGNATURE_OFFSET 32
#define NETCRYPTO_BLOCK_KEY_OFFSET 288
#define NETCRYPTO_BLOCK_KEY_SIZE 270
#define NETCRYPTO_SIGNED_PART_SIZE 72
// The signed part's leading length word, and the range a reader tolerates.
#define NETCRYPTO_SIGNED_LENGTH_WORD 32
#define NETCRYPTO_SIGNED_LENGTH_LAST 47

// The address the direct form's identities are made for: a node in direct
// mode does not know which of its addresses the peer will see.
#define NETCRYPTO_PLACEHOLDER_IPV4 0xFFFFFFFFu
#define NETCRYPTO_PLACEHOLDER_PORT 0xFFFFu

// key_options bits carried in blocks (FLOWMESH_KEYS_128, FLOWMESH_KEYS_256).
#define NETCRYPTO_KEYS_128 0x01u
#define NETCRYPTO_KEYS_256 0x02u

// Which exchange a block or key message belongs to: the discovery form
// (LAN discovery, identities made for real addresses, broadcast identities
// in bytes 0..31) or the direct form (a connect to a given address,
// identities made for the placeholder address, zero bytes 0..31).
enum NetcryptoForm : uint32_t {
    NETCRYPTO_DISCOVERY = 0,
    NETCRYPTO_DIRECT = 1,
};

// What an adapter instance proves itself with. Filled once at instance
// start (see netcrypto_check_own_key and netcrypto_derive_identity), then
// shared read-only by the instance's threads.
struct NetcryptoNode {
    CoreName system_name;  // only the key counts
    CoreName user_id;
    uint32_t key_options;  // NETCRYPTO_KEYS_* offered by this node
    bool ignore_own_address;  // FLOWMESH_IGNORE_OWN: blocks from adapter_ipv4 are ignored
    uint32_t adapter_ipv4;    // network order
    EVP_PKEY *key;            // RSA-2048 pair; borrowed, read-only after start
    uint8_t broadcast_identity[NETCRYPTO_IDENTITY_SIZE];  // zero outside LAN discovery
    CoreName first_identity;        // adapter address and data port
    CoreName first_identity_hash;
    CoreName second_identity;       // placeholder address; zero outside direct mode
    CoreName second_identity_hash;
};

// The signed part of an identity block, decoded; the user id unmasked.
struct NetcryptoSignedPart {
    uint8_t identity_hash[NETCRYPTO_IDENTITY_SIZE];
    uint8_t user_id[NETCRYPTO_IDENTITY_SIZE];
    uint32_t key_options;
};

// What a verified identity block tells about its sender.
struct NetcryptoPeerIdentity {
    CoreName identity;  // the sender's node identity (see netcrypto_verify_identity)
    CoreName user_id;   // unmasked
    uint8_t broadcast_identity[NETCRYPTO_IDENTITY_SIZE];  // block bytes 0..31
    uint32_t key_options;
    EVP_PKEY *public_key;  // owned; netcrypto_peer_identity_clear frees it
};

// Takes the seed-table index for the next identity and advances the
// process-wide cursor by one, from 31 back to 0, atomically: instances of
// several adapters may start at once. The cursor starts where system start
// put core_identity_seed_index. -1 while the runtime is stopped.
int netcrypto_seed_index_take(void);

// CORE_OK when `key` is an RSA key of exactly 2048 bits with its private
// half, the only kind the block layout carries; else CORE_ERR_INVALID.
CoreResult netcrypto_check_own_key(EVP_PKEY *key);

// The 32-byte node identity: IPv4 and port as in `address` (network
// order), the seed entry, the identity constant, then user id bytes 0..15
// XOR bytes 16..31.
void netcrypto_node_identity(const CoreUdpAddr *address, const uint8_t *seed_entry, const CoreName *user_id,
                             uint8_t out[NETCRYPTO_IDENTITY_SIZE]);

// SHA-256 of the identity followed by the 32 key bytes of the system name.
void netcrypto_identity_hash(const uint8_t identity[NETCRYPTO_IDENTITY_SIZE], const CoreName *system_name,
                             uint8_t out[NETCRYPTO_IDENTITY_SIZE]);

// The identity for `address` with seed entry `seed_index` (0..31, usually
// netcrypto_seed_index_take()), and its hash when `identity_hash` is not
// NULL. CORE_ERR for an index outside the table.
CoreResult netcrypto_derive_identity(const CoreUdpAddr *address, int seed_index, const CoreName *user_id,
                                     const CoreName *system_name, CoreName *identity, CoreName *identity_hash);

// Searches the seed table, in order, for the entry whose identity for
// `address` hashes to `claimed_hash`. CORE_OK with the identity (and the
// entry's index when `seed_index` is not NULL); CORE_ERR when none does.
// The process-wide cursor is not touched.
CoreResult netcrypto_check_identity(const CoreUdpAddr *address, const CoreName *system_name,
                                    const uint8_t claimed_hash[NETCRYPTO_IDENTITY_SIZE], const CoreName *user_id,
                                    CoreName *identity, int *seed_index);

// The 72 signed bytes: length word 32, identity hash, user id XOR the first
// mask, key options bits 0 and 1; numbers big-endian.
void netcrypto_signed_part_encode(const NetcryptoSignedPart *part, uint8_t out[NETCRYPTO_SIGNED_PART_SIZE]);

// Reads a recovered signed part. It must be exactly 72 bytes, its length
// word 32 to 47 and its key options must offer 16-byte keys (bit 0); else
// CORE_ERR and `part` is left alone.
CoreResult netcrypto_signed_part_decode(NetcryptoSignedPart *part, const uint8_t *in, uint64_t length);

// Builds this node's block of `form`: the discovery form carries the first
// identity hash and the broadcast identity, the direct form the second
// identity hash and zero bytes 0..31. CORE_ERR_INVALID when the node's key
// is not a 2048-bit pair; CORE_ERR when signing or encoding fails.
CoreResult netcrypto_sign_identity(const NetcryptoNode *node, NetcryptoForm form,
                                   uint8_t block[NETCRYPTO_IDENTITY_BLOCK_SIZE]);

// The format half of verification: length 558, a public key of exactly 2048
// bits in the key field, a signature that recovers to a valid signed part.
// On CORE_OK *public_key is the sender's key (free with EVP_PKEY_free); on
// CORE_ERR nothing is allocated.
CoreResult netcrypto_open_identity_block(const uint8_t *block, uint64_t length, NetcryptoSignedPart *part,
                                         EVP_PKEY **public_key);

// Verifies a block received from `source`:
//   CORE_DONE when `node` ignores its own address and `source` carries it,
//   or when the block carries this node's first identity hash (its own
//   block come back);
//   CORE_ERR when the block does not open (see above) or its claimed hash
//   is not an identity of this system for the sender: in the discovery form
//   made for `source`, in the direct form for the placeholder address;
//   CORE_OK with `peer` filled otherwise. In the direct form the peer's
//   identity is then derived for `source` with the next seed index.
// The caller owns peer->public_key after CORE_OK and must clear `peer`.
CoreResult netcrypto_verify_identity(const NetcryptoNode *node, NetcryptoForm form, const CoreUdpAddr *source,
                                     const uint8_t *block, uint64_t length, NetcryptoPeerIdentity *peer);

// Frees the peer's public key and zeroes the record. NULL is ignored.
void netcrypto_peer_identity_clear(NetcryptoPeerIdentity *peer);

// Discovery form: this node makes and sends the session key when its first
// identity is greater, bytewise, than the peer's identity.
bool netcrypto_is_key_sender(const NetcryptoNode *node, const CoreName *peer_identity);
