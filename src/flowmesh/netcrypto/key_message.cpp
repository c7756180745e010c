#include "flowmesh/netcrypto/key_message.h"

#include <cstring>
#include <openssl/crypto.h>

#include "core/crypto.h"
#include "core/sha256.h"
#include "flowmesh/netcrypto/key_material.h"

static_assert(NETCRYPTO_KEY_CIPHER_OFFSET + NETCRYPTO_RSA_SIZE == NETCRYPTO_KEY_MESSAGE_SIZE,
              "one OAEP block fills the message");
static_assert(NETCRYPTO_KEY_PLAIN_MAX <= NETCRYPTO_RSA_SIZE - CORE_RSA_CHUNK_MARGIN,
              "the plaintext goes into a single OAEP block");

namespace {

const uint8_t kZeroIdentity[NETCRYPTO_IDENTITY_SIZE] = {};

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

// In the direct form neither side has a broadcast identity; both sides use
// zeros so they agree on the check value whatever their instance holds.
const uint8_t *own_broadcast(const NetcryptoNode *node, NetcryptoForm form)
{
    return form == NETCRYPTO_DIRECT ? kZeroIdentity : node->broadcast_identity;
}

uint64_t key_length_of(uint32_t kind)
{
    switch (kind) {
    case NETCRYPTO_KEY_KIND_AES128: return 16;
    case NETCRYPTO_KEY_KIND_AES256: return 32;
    default: return 0;
    }
}

}  // namespace

uint32_t netcrypto_key_kind(uint32_t own_options, uint32_t peer_options)
{
    return (own_options & peer_options & NETCRYPTO_KEYS_256) != 0 ? NETCRYPTO_KEY_KIND_AES256
                                                                   : NETCRYPTO_KEY_KIND_AES128;
}

CoreResult netcrypto_make_session_key(uint32_t own_options, uint32_t peer_options, NetcryptoSessionKey *key)
{
    if (key == nullptr) return CORE_ERR;
    memset(key, 0, sizeof(*key));
    key->kind = netcrypto_key_kind(own_options, peer_options);
    key->length = key_length_of(key->kind);
    if (core_random_key(key->key, key->length) != CORE_OK) {
        OPENSSL_cleanse(key, sizeof(*key));
        return CORE_ERR;
    }
    return CORE_OK;
}

void netcrypto_check_value(const uint8_t sender_broadcast[NETCRYPTO_IDENTITY_SIZE],
                           const uint8_t receiver_broadcast[NETCRYPTO_IDENTITY_SIZE],
                           uint8_t out[NETCRYPTO_IDENTITY_SIZE])
{
    uint8_t t[NETCRYPTO_IDENTITY_SIZE];
    memcpy(t, sender_broadcast, sizeof(t));
    core_reverse32(t);
    core_xor32(t, receiver_broadcast);
    core_xor32(t, netcrypto_key_material()->second_mask);
    CoreSha256 context;
    core_sha256_init(&context);
    core_sha256_update(&context, t, sizeof(t));
    core_sha256_update(&context, netcrypto_key_material()->key_salt, NETCRYPTO_SALT_SIZE);
    core_sha256_final(&context, out);
}

CoreResult netcrypto_key_plaintext_encode(const NetcryptoNode *node, NetcryptoForm form,
                                          const uint8_t receiver_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                          const NetcryptoSessionKey *key, uint8_t *out, uint64_t *length)
{
    if (length == nullptr) return CORE_ERR;
    const uint64_t capacity = *length;
    *length = 0;
    if (node == nullptr || key == nullptr || out == nullptr) return CORE_ERR;
    const uint64_t n = key_length_of(key->kind);
    if (n == 0 || key->length != n || capacity < NETCRYPTO_KEY_PLAIN_HEAD + n) return CORE_ERR;
    if (form == NETCRYPTO_DISCOVERY && receiver_broadcast == nullptr) return CORE_ERR;

    const CoreName &hash = form == NETCRYPTO_DIRECT ? node->second_identity_hash : node->first_identity_hash;
    put_be32(out, NETCRYPTO_KEY_LENGTH_WORD);
    memcpy(out + 4, hash.key, NETCRYPTO_IDENTITY_SIZE);
    memcpy(out + 36, node->user_id.key, NETCRYPTO_IDENTITY_SIZE);
    core_xor32(out + 36, netcrypto_key_material()->first_mask);
    netcrypto_check_value(own_broadcast(node, form), form == NETCRYPTO_DIRECT ? kZeroIdentity : receiver_broadcast,
                          out + 68);
    put_be32(out + 100, key->kind);
    memcpy(out + NETCRYPTO_KEY_PLAIN_HEAD, key->key, n);
    *length = NETCRYPTO_KEY_PLAIN_HEAD + n;
    return CORE_OK;
}

CoreResult netcrypto_build_key_message(const NetcryptoNode *node, NetcryptoForm form, EVP_PKEY *peer_key,
                                       const uint8_t peer_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                       const NetcryptoSessionKey *key,
                                       uint8_t message[NETCRYPTO_KEY_MESSAGE_SIZE])
{
    if (node == nullptr || message == nullptr) return CORE_ERR;
    if (peer_key == nullptr || EVP_PKEY_get_base_id(peer_key) != EVP_PKEY_RSA ||
        EVP_PKEY_get_size(peer_key) != NETCRYPTO_RSA_SIZE)
        return CORE_ERR;
    uint8_t plaintext[NETCRYPTO_KEY_PLAIN_MAX];
    uint64_t plaintext_length = sizeof(plaintext);
    if (netcrypto_key_plaintext_encode(node, form, peer_broadcast, key, plaintext, &plaintext_length) != CORE_OK)
        return CORE_ERR;
    memset(message, 0, NETCRYPTO_KEY_MESSAGE_SIZE);
    memcpy(message, own_broadcast(node, form), NETCRYPTO_IDENTITY_SIZE);
    uint64_t cipher_length = NETCRYPTO_RSA_SIZE;
    const CoreResult result = core_rsa_encrypt(peer_key, message + NETCRYPTO_KEY_CIPHER_OFFSET, &cipher_length,
                                               plaintext, plaintext_length);
    OPENSSL_cleanse(plaintext, sizeof(plaintext));
    if (result != CORE_OK || cipher_length != NETCRYPTO_RSA_SIZE) {
        memset(message, 0, NETCRYPTO_KEY_MESSAGE_SIZE);
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult netcrypto_read_key_message(const NetcryptoNode *node, NetcryptoForm form,
                                      const uint8_t sender_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                      const CoreUdpAddr *source, const uint8_t *plaintext, uint64_t length,
                                      NetcryptoKeySender *sender)
{
    if (node == nullptr || sender_broadcast == nullptr || source == nullptr || sender == nullptr) return CORE_ERR;
    memset(sender, 0, sizeof(*sender));
    // The length decides which fields exist; it is settled before any is read.
    if (plaintext == nullptr || (length != NETCRYPTO_KEY_PLAIN_HEAD + 16 && length != NETCRYPTO_KEY_PLAIN_HEAD + 32))
        return CORE_ERR;
    const uint32_t length_word = get_be32(plaintext);
    if (length_word < NETCRYPTO_KEY_LENGTH_WORD || length_word > NETCRYPTO_KEY_LENGTH_LAST) return CORE_ERR;
    const uint8_t *claimed_hash = plaintext + 4;
    if (memcmp(claimed_hash, node->first_identity_hash.key, NETCRYPTO_IDENTITY_SIZE) == 0) return CORE_DONE;
    const uint32_t kind = get_be32(plaintext + 100);
    const uint64_t key_length = key_length_of(kind);
    if (key_length == 0 || NETCRYPTO_KEY_PLAIN_HEAD + key_length != length) return CORE_ERR;

    CoreName user_id;
    memset(&user_id, 0, sizeof(user_id));
    memcpy(user_id.key, plaintext + 36, NETCRYPTO_IDENTITY_SIZE);
    core_xor32(user_id.key, netcrypto_key_material()->first_mask);
    core_name_make(&user_id);

    CoreUdpAddr claimed_for = *source;
    if (form == NETCRYPTO_DIRECT) {
        claimed_for.address = NETCRYPTO_PLACEHOLDER_IPV4;
        claimed_for.port = NETCRYPTO_PLACEHOLDER_PORT;
    }
    CoreName identity;
    if (netcrypto_check_identity(&claimed_for, &node->system_name, claimed_hash, &user_id, &identity, nullptr) !=
        CORE_OK)
        return CORE_ERR;

    uint8_t check[NETCRYPTO_IDENTITY_SIZE];
    netcrypto_check_value(sender_broadcast, own_broadcast(node, form), check);
    if (memcmp(check, plaintext + 68, NETCRYPTO_IDENTITY_SIZE) != 0) return CORE_ERR;

    // Last, so a refused message does not move the process-wide cursor.
    if (form == NETCRYPTO_DIRECT &&
        netcrypto_derive_identity(source, netcrypto_seed_index_take(), &user_id, &node->system_name, &identity,
                                  nullptr) != CORE_OK)
        return CORE_ERR;

    sender->identity = identity;
    sender->user_id = user_id;
    sender->key.kind = kind;
    sender->key.length = key_length;
    memcpy(sender->key.key, plaintext + NETCRYPTO_KEY_PLAIN_HEAD, key_length);
    return CORE_OK;
}

CoreResult netcrypto_open_key_message(const NetcryptoNode *node, NetcryptoForm form, const CoreUdpAddr *source,
                                      const uint8_t *message, uint64_t length, NetcryptoKeySender *sender)
{
    if (sender != nullptr) memset(sender, 0, sizeof(*sender));
    if (node == nullptr || source == nullptr || sender == nullptr) return CORE_ERR;
    if (message == nullptr || length != NETCRYPTO_KEY_MESSAGE_SIZE) return CORE_ERR;
    if (netcrypto_check_own_key(node->key) != CORE_OK) return CORE_ERR;
    uint8_t plaintext[NETCRYPTO_RSA_SIZE];
    uint64_t plaintext_length = sizeof(plaintext);
    CoreResult result = core_rsa_decrypt(node->key, plaintext, &plaintext_length,
                                         message + NETCRYPTO_KEY_CIPHER_OFFSET, NETCRYPTO_RSA_SIZE);
    if (result == CORE_OK)
        result = netcrypto_read_key_message(node, form, message, source, plaintext, plaintext_length, sender);
    OPENSSL_cleanse(plaintext, sizeof(plaintext));
    return result == CORE_OK || result == CORE_DONE ? result : CORE_ERR;
}
