#include "flowmesh/netcrypto/identity.h"

#include <atomic>
#include <cstring>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include "core/crypto.h"
#include "core/sha256.h"
#include "core/system.h"
#include "flowmesh/netcrypto/key_material.h"

static_assert(NETCRYPTO_BLOCK_SIGNATURE_OFFSET + NETCRYPTO_RSA_SIZE == NETCRYPTO_BLOCK_KEY_OFFSET &&
                  NETCRYPTO_BLOCK_KEY_OFFSET + NETCRYPTO_BLOCK_KEY_SIZE == NETCRYPTO_IDENTITY_BLOCK_SIZE,
              "signature and key fill the block");
static_assert(NETCRYPTO_SEED_ENTRIES == 32, "the cursor wraps with the u32 counter only for a power of two");

namespace {

inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Keys the block cannot carry are refused before any operation on them: a
// bigger modulus would recover and decrypt into pieces the fixed fields
// cannot hold, a smaller one would make the signature field lie.
bool is_rsa2048(EVP_PKEY *key)
{
    return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) == NETCRYPTO_RSA_BITS &&
           EVP_PKEY_get_size(key) == NETCRYPTO_RSA_SIZE;
}

bool has_private_half(EVP_PKEY *key)
{
    BIGNUM *d = nullptr;
    const bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d) == 1 && d != nullptr;
    BN_clear_free(d);
    return ok;
}

CoreUdpAddr placeholder_address()
{
    CoreUdpAddr address;
    address.address = NETCRYPTO_PLACEHOLDER_IPV4;
    address.port = NETCRYPTO_PLACEHOLDER_PORT;
    return address;
}

}  // namespace

int netcrypto_seed_index_take(void)
{
    return core_identity_seed_index_take();
}

CoreResult netcrypto_check_own_key(EVP_PKEY *key)
{
    return is_rsa2048(key) && has_private_half(key) ? CORE_OK : CORE_ERR_INVALID;
}

void netcrypto_node_identity(const CoreUdpAddr *address, const uint8_t *seed_entry, const CoreName *user_id,
                             uint8_t out[NETCRYPTO_IDENTITY_SIZE])
{
    memcpy(out, &address->address, 4);
    memcpy(out + 4, &address->port, 2);
    memcpy(out + 6, seed_entry, NETCRYPTO_SEED_ENTRY_SIZE);
    memcpy(out + 12, netcrypto_key_material()->identity_constant, NETCRYPTO_IDENTITY_CONSTANT_SIZE);
    for (int i = 0; i < 16; ++i) out[16 + i] = user_id->key[i] ^ user_id->key[16 + i];
}

void netcrypto_identity_hash(const uint8_t identity[NETCRYPTO_IDENTITY_SIZE], const CoreName *system_name,
                             uint8_t out[NETCRYPTO_IDENTITY_SIZE])
{
    CoreSha256 context;
    core_sha256_init(&context);
    core_sha256_update(&context, identity, NETCRYPTO_IDENTITY_SIZE);
    core_sha256_update(&context, system_name->key, CORE_NAME_KEY_SIZE);
    core_sha256_final(&context, out);
}

CoreResult netcrypto_derive_identity(const CoreUdpAddr *address, int seed_index, const CoreName *user_id,
                                     const CoreName *system_name, CoreName *identity, CoreName *identity_hash)
{
    if (address == nullptr || user_id == nullptr || identity == nullptr) return CORE_ERR;
    if (seed_index < 0 || seed_index >= NETCRYPTO_SEED_ENTRIES) return CORE_ERR;
    if (identity_hash != nullptr && system_name == nullptr) return CORE_ERR;
    memset(identity, 0, sizeof(*identity));
    netcrypto_node_identity(address, netcrypto_key_material()->seed_table[seed_index], user_id, identity->key);
    core_name_make(identity);
    if (identity_hash != nullptr) {
        memset(identity_hash, 0, sizeof(*identity_hash));
        netcrypto_identity_hash(identity->key, system_name, identity_hash->key);
        core_name_make(identity_hash);
    }
    return CORE_OK;
}

CoreResult netcrypto_check_identity(const CoreUdpAddr *address, const CoreName *system_name,
                                    const uint8_t claimed_hash[NETCRYPTO_IDENTITY_SIZE], const CoreName *user_id,
                                    CoreName *identity, int *seed_index)
{
    if (address == nullptr || system_name == nullptr || claimed_hash == nullptr || user_id == nullptr ||
        identity == nullptr)
        return CORE_ERR;
    const NetcryptoKeyMaterial *material = netcrypto_key_material();
    for (int i = 0; i < NETCRYPTO_SEED_ENTRIES; ++i) {
        uint8_t candidate[NETCRYPTO_IDENTITY_SIZE];
        uint8_t hash[NETCRYPTO_IDENTITY_SIZE];
        netcrypto_node_identity(address, material->seed_table[i], user_id, candidate);
        netcrypto_identity_hash(candidate, system_name, hash);
        if (memcmp(hash, claimed_hash, NETCRYPTO_IDENTITY_SIZE) != 0) continue;
        memset(identity, 0, sizeof(*identity));
        memcpy(identity->key, candidate, NETCRYPTO_IDENTITY_SIZE);
        core_name_make(identity);
        if (seed_index != nullptr) *seed_index = i;
        return CORE_OK;
    }
    return CORE_ERR;
}

void netcrypto_signed_part_encode(const NetcryptoSignedPart *part, uint8_t out[NETCRYPTO_SIGNED_PART_SIZE])
{
    put_be32(out, NETCRYPTO_SIGNED_LENGTH_WORD);
    memcpy(out + 4, part->identity_hash, NETCRYPTO_IDENTITY_SIZE);
    memcpy(out + 36, part->user_id, NETCRYPTO_IDENTITY_SIZE);
    core_xor32(out + 36, netcrypto_key_material()->first_mask);
    put_be32(out + 68, part->key_options & (NETCRYPTO_KEYS_128 | NETCRYPTO_KEYS_256));
}

CoreResult netcrypto_signed_part_decode(NetcryptoSignedPart *part, const uint8_t *in, uint64_t length)
{
    if (part == nullptr || in == nullptr || length != NETCRYPTO_SIGNED_PART_SIZE) return CORE_ERR;
    const uint32_t length_word = get_be32(in);
    const uint32_t options = get_be32(in + 68);
    if (length_word < NETCRYPTO_SIGNED_LENGTH_WORD || length_word > NETCRYPTO_SIGNED_LENGTH_LAST) return CORE_ERR;
    if ((options & NETCRYPTO_KEYS_128) == 0) return CORE_ERR;
    memcpy(part->identity_hash, in + 4, NETCRYPTO_IDENTITY_SIZE);
    memcpy(part->user_id, in + 36, NETCRYPTO_IDENTITY_SIZE);
    core_xor32(part->user_id, netcrypto_key_material()->first_mask);
    part->key_options = options;
    return CORE_OK;
}

CoreResult netcrypto_sign_identity(const NetcryptoNode *node, NetcryptoForm form,
                                   uint8_t block[NETCRYPTO_IDENTITY_BLOCK_SIZE])
{
    if (node == nullptr || block == nullptr) return CORE_ERR;
    if (netcrypto_check_own_key(node->key) != CORE_OK) return CORE_ERR_INVALID;

    NetcryptoSignedPart part;
    const CoreName &hash = form == NETCRYPTO_DIRECT ? node->second_identity_hash : node->first_identity_hash;
    memcpy(part.identity_hash, hash.key, NETCRYPTO_IDENTITY_SIZE);
    memcpy(part.user_id, node->user_id.key, NETCRYPTO_IDENTITY_SIZE);
    part.key_options = node->key_options;
    uint8_t signed_part[NETCRYPTO_SIGNED_PART_SIZE];
    netcrypto_signed_part_encode(&part, signed_part);

    memset(block, 0, NETCRYPTO_IDENTITY_BLOCK_SIZE);
    if (form == NETCRYPTO_DISCOVERY) memcpy(block, node->broadcast_identity, NETCRYPTO_IDENTITY_SIZE);
    uint64_t signature_length = NETCRYPTO_RSA_SIZE;
    uint64_t key_length = NETCRYPTO_BLOCK_KEY_SIZE;
    // A block without its key could never be verified; better none at all.
    if (core_rsa_sign(node->key, block + NETCRYPTO_BLOCK_SIGNATURE_OFFSET, &signature_length, signed_part,
                      sizeof(signed_part)) != CORE_OK ||
        signature_length != NETCRYPTO_RSA_SIZE ||
        core_rsa_public_to_der(node->key, block + NETCRYPTO_BLOCK_KEY_OFFSET, &key_length) != CORE_OK) {
        memset(block, 0, NETCRYPTO_IDENTITY_BLOCK_SIZE);
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult netcrypto_open_identity_block(const uint8_t *block, uint64_t length, NetcryptoSignedPart *part,
                                         EVP_PKEY **public_key)
{
    if (public_key != nullptr) *public_key = nullptr;
    if (block == nullptr || part == nullptr || length != NETCRYPTO_IDENTITY_BLOCK_SIZE) return CORE_ERR;
    EVP_PKEY *key = core_rsa_public_from_der(block + NETCRYPTO_BLOCK_KEY_OFFSET, NETCRYPTO_BLOCK_KEY_SIZE);
    if (!is_rsa2048(key)) {
        EVP_PKEY_free(key);
        return CORE_ERR;
    }
    // Room for any piece one block can recover; the decode then insists on
    // exactly 72 bytes before it reads a field.
    uint8_t recovered[NETCRYPTO_RSA_SIZE];
    uint64_t recovered_length = sizeof(recovered);
    if (core_rsa_recover(key, recovered, &recovered_length, block + NETCRYPTO_BLOCK_SIGNATURE_OFFSET,
                         NETCRYPTO_RSA_SIZE) != CORE_OK ||
        netcrypto_signed_part_decode(part, recovered, recovered_length) != CORE_OK) {
        EVP_PKEY_free(key);
        return CORE_ERR;
    }
    if (public_key != nullptr) {
        *public_key = key;
    } else {
        EVP_PKEY_free(key);
    }
    return CORE_OK;
}

CoreResult netcrypto_verify_identity(const NetcryptoNode *node, NetcryptoForm form, const CoreUdpAddr *source,
                                     const uint8_t *block, uint64_t length, NetcryptoPeerIdentity *peer)
{
    if (node == nullptr || source == nullptr || peer == nullptr) return CORE_ERR;
    memset(peer, 0, sizeof(*peer));
    if (block == nullptr || length != NETCRYPTO_IDENTITY_BLOCK_SIZE) return CORE_ERR;
    if (node->ignore_own_address && (source->address != 0 || source->port != 0) &&
        source->address == node->adapter_ipv4)
        return CORE_DONE;

    NetcryptoSignedPart part;
    EVP_PKEY *key = nullptr;
    if (netcrypto_open_identity_block(block, length, &part, &key) != CORE_OK) return CORE_ERR;
    if (memcmp(part.identity_hash, node->first_identity_hash.key, NETCRYPTO_IDENTITY_SIZE) == 0) {
        EVP_PKEY_free(key);
        return CORE_DONE;
    }

    CoreName user_id;
    memset(&user_id, 0, sizeof(user_id));
    memcpy(user_id.key, part.user_id, NETCRYPTO_IDENTITY_SIZE);
    core_name_make(&user_id);
    const CoreUdpAddr claimed_for = form == NETCRYPTO_DIRECT ? placeholder_address() : *source;
    CoreName identity;
    CoreResult result =
        netcrypto_check_identity(&claimed_for, &node->system_name, part.identity_hash, &user_id, &identity, nullptr);
    // The direct form's claim only shows the sender belongs to this system;
    // the peer is known here by an identity made for the address it sends
    // from.
    if (result == CORE_OK && form == NETCRYPTO_DIRECT)
        result = netcrypto_derive_identity(source, netcrypto_seed_index_take(), &user_id, &node->system_name,
                                           &identity, nullptr);
    if (result != CORE_OK) {
        EVP_PKEY_free(key);
        return CORE_ERR;
    }
    peer->identity = identity;
    peer->user_id = user_id;
    memcpy(peer->broadcast_identity, block, NETCRYPTO_IDENTITY_SIZE);
    peer->key_options = part.key_options;
    peer->public_key = key;
    return CORE_OK;
}

void netcrypto_peer_identity_clear(NetcryptoPeerIdentity *peer)
{
    if (peer == nullptr) return;
    EVP_PKEY_free(peer->public_key);
    memset(peer, 0, sizeof(*peer));
}

bool netcrypto_is_key_sender(const NetcryptoNode *node, const CoreName *peer_identity)
{
    return core_compare_key32(node->first_identity.key, peer_identity->key) > 0;
}
