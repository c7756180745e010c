// Key messages: the session key a key sender makes, sealed with RSA-OAEP
// to the receiver's public key in a 288-byte datagram.
//
// The plaintext carries the sender's identity hash and masked user id, so
// the receiver can check who made the key, and a check value made from both
// nodes' broadcast identities and the key salt table, so a message cannot
// be replayed between other pairs of nodes. This module owns the plaintext
// and the message format: it chooses the key kind, makes the key, builds
// and encrypts messages, decrypts and reads them. When to send, resend or
// accept one is the engine's. Functions of their arguments and the fixed
// key material (netcrypto_seed_index_take aside, in the direct form), called
// by the discovery loops and instance executors of all instances at once.
// Results as in identity.h: CORE_OK, CORE_DONE for this node's own message,
// CORE_ERR for any refused input or library failure.
#pragma once

#include <cstdint>
#include <openssl/evp.h>

#include "core/names.h"
#include "core/result.h"
#include "core/udp.h"
#include "flowmesh/netcrypto/identity.h"

#define NETCRYPTO_KEY_MESSAGE_SIZE 288
#define NETCRYPTO_KEY_CIPHER_OFFSET 32
// Plaintext: a 104-byte head, then the 16- or 32-byte key.
#define NETCRYPTO_KEY_PLAIN_HEAD 104
#define NETCRYPTO_KEY_PLAIN_MAX (NETCRYPTO_KEY_PLAIN_HEAD + 32)
// The plaintext's leading length word, and the range a reader tolerates.
#define NETCRYPTO_KEY_LENGTH_WORD 144
#define NETCRYPTO_KEY_LENGTH_LAST 159

// Key kinds, the values of the key blob's kind (FLOWMESH_KEY_AES128/256).
#define NETCRYPTO_KEY_KIND_AES128 1u
#define NETCRYPTO_KEY_KIND_AES256 2u

// A session key as agreed; the engine copies it into its key blob.
struct NetcryptoSessionKey {
    uint32_t kind;    // NETCRYPTO_KEY_KIND_*
    uint64_t length;  // 16 or 32
    uint8_t key[32];
};

// What a read key message tells about its sender.
struct NetcryptoKeySender {
    CoreName identity;  // discovery form: found by the check; direct: derived for the source
    CoreName user_id;   // unmasked
    NetcryptoSessionKey key;
};

// AES-256 only when both nodes offer 32-byte keys (bit 1), else AES-128.
uint32_t netcrypto_key_kind(uint32_t own_options, uint32_t peer_options);

// A fresh key of the kind above from the cryptographic generator.
CoreResult netcrypto_make_session_key(uint32_t own_options, uint32_t peer_options, NetcryptoSessionKey *key);

// SHA-256 of T followed by the key salt table, where T = the sender's
// broadcast identity reversed XOR the receiver's XOR the second mask.
void netcrypto_check_value(const uint8_t sender_broadcast[NETCRYPTO_IDENTITY_SIZE],
                           const uint8_t receiver_broadcast[NETCRYPTO_IDENTITY_SIZE],
                           uint8_t out[NETCRYPTO_IDENTITY_SIZE]);

// The plaintext this node sends in `form` to a receiver with broadcast
// identity `receiver_broadcast` (zero in the direct form, whatever is
// passed). *length is the capacity in (at least 104 + key length) and the
// plaintext length out. CORE_ERR for a key that is not 16 or 32 bytes of
// its kind.
CoreResult netcrypto_key_plaintext_encode(const NetcryptoNode *node, NetcryptoForm form,
                                          const uint8_t receiver_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                          const NetcryptoSessionKey *key, uint8_t *out, uint64_t *length);

// The 288-byte message: this node's broadcast identity (zero in the direct
// form), then the plaintext encrypted to `peer_key`, which must be a 2048-
// bit key. CORE_ERR otherwise or when encryption fails.
CoreResult netcrypto_build_key_message(const NetcryptoNode *node, NetcryptoForm form, EVP_PKEY *peer_key,
                                       const uint8_t peer_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                       const NetcryptoSessionKey *key,
                                       uint8_t message[NETCRYPTO_KEY_MESSAGE_SIZE]);

// Reads a decrypted plaintext from `source`, whose sender put
// `sender_broadcast` into bytes 0..31. The length must be 120 or 136 before
// anything is read; then the length word 144 to 159; this node's own first
// identity hash gives CORE_DONE; the kind must match the length (1 with
// 120, 2 with 136); the claimed hash must be an identity of this system
// (for `source` in the discovery form, the placeholder address in the
// direct form); the check value must match. CORE_OK with `sender` filled.
CoreResult netcrypto_read_key_message(const NetcryptoNode *node, NetcryptoForm form,
                                      const uint8_t sender_broadcast[NETCRYPTO_IDENTITY_SIZE],
                                      const CoreUdpAddr *source, const uint8_t *plaintext, uint64_t length,
                                      NetcryptoKeySender *sender);

// Length 288, decryption with this node's key, then the read above with
// bytes 0..31 as the sender's broadcast identity. In the discovery form the
// caller has already matched those bytes to its peer.
CoreResult netcrypto_open_key_message(const NetcryptoNode *node, NetcryptoForm form, const CoreUdpAddr *source,
                                      const uint8_t *message, uint64_t length, NetcryptoKeySender *sender);
