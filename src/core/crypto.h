// RSA, AES and key wrappers of the engine side over libcrypto (OpenSSL 3).
//
// Node identities use RSA-2048 keys (EVP_PKEY, freed with EVP_PKEY_free):
// identity blocks are signed with raw PKCS#1 v1.5 and carry the public key
// as DER RSAPublicKey; key exchange encrypts with RSA-OAEP (SHA-1,
// MGF1-SHA-1) in 208-byte chunks; every datagram header and payload is
// sealed with AES-ECB. The RSA functions that open blocks (recover,
// decrypt) take bytes from peers and never write past the caller's
// capacity.
//
// Engine, reader and stream threads call these at the same time. An RSA key
// may be shared by all of them: each call makes its own context. A
// CoreAesKey may be shared by any number of threads: libcrypto's cipher
// contexts are not thread-safe, so the key keeps a small set of them and
// lends each call its own.
//
// Results: CORE_OK, or CORE_ERR for any failure, wrong length or argument.
#pragma once

#include <cstdint>
#include <openssl/evp.h>

#include "core/result.h"

#define CORE_RSA_BITS 2048
#define CORE_RSA_EXPONENT 65537
// Input bytes per OAEP block below the modulus size (208 for 2048 bits).
#define CORE_RSA_CHUNK_MARGIN 48
#define CORE_AES_BLOCK 16

// A new RSA-2048 key pair with public exponent 65537, or NULL.
EVP_PKEY *core_rsa_generate(void);

// Encrypts `input` in chunks of (modulus size - 48) bytes, the last one
// possibly shorter, each to one modulus-sized OAEP block, back to back in
// `output`. *output_length is the capacity in and the bytes written out;
// CORE_ERR with *output_length 0 when the capacity is below chunks x modulus
// size or a chunk fails. An empty input writes nothing and gives CORE_OK.
CoreResult core_rsa_encrypt(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length);

// Signs `input` with the private key in pieces of (modulus size - 16) bytes,
// the last one possibly shorter, each to one modulus-sized block with
// PKCS#1 v1.5 type-1 padding and no digest wrapping (the raw private-key
// operation `openssl pkeyutl -verifyrecover` undoes). Capacity rules as for
// core_rsa_encrypt.
CoreResult core_rsa_sign(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                         uint64_t input_length);

// The inverse of core_rsa_sign with the public key: `input` must be whole
// modulus-sized blocks; the recovered pieces go back to back into `output`.
// *output_length is the capacity in and the bytes recovered out; CORE_ERR
// with *output_length 0 when a block does not verify, the input is not whole
// blocks or the recovered bytes would pass the capacity. Nothing is written
// past the capacity whatever the blocks hold.
CoreResult core_rsa_recover(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length);

// The inverse of core_rsa_encrypt with the private key (OAEP, SHA-1 and
// MGF1-SHA-1): the same block and capacity rules as core_rsa_recover.
CoreResult core_rsa_decrypt(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length);

// The public half as DER RSAPublicKey (PKCS#1: modulus and exponent), 270
// bytes for a 2048-bit key with exponent 65537. Capacity rules as above.
CoreResult core_rsa_public_to_der(EVP_PKEY *key, uint8_t *output, uint64_t *output_length);

// A public key from DER RSAPublicKey at the start of `input` (bytes after
// the encoding are ignored); NULL when it does not decode. Free with
// EVP_PKEY_free.
EVP_PKEY *core_rsa_public_from_der(const uint8_t *input, uint64_t input_length);

struct CoreAesKey;

// A key for a 16-, 24- or 32-byte AES key; NULL for any other length or
// when memory or the library fails.
CoreAesKey *core_aes_create(const uint8_t *key, uint64_t key_length);

// Frees the key and its cipher contexts and clears *key. No call may be
// using it. NULL is ignored.
void core_aes_destroy(CoreAesKey **key);

// Each 16-byte block of `input` enciphered on its own (ECB) into `output`,
// which may be the same buffer. CORE_ERR, writing nothing, when `length`
// is not a multiple of 16.
CoreResult core_aes_encrypt(CoreAesKey *key, uint8_t *output, const uint8_t *input, uint64_t length);

// The inverse of core_aes_encrypt, with the same rules.
CoreResult core_aes_decrypt(CoreAesKey *key, uint8_t *output, const uint8_t *input, uint64_t length);

// Fills `buffer` with a fresh 16-, 24- or 32-byte key from the library's
// cryptographic generator. CORE_ERR for other lengths or when the generator
// fails; the buffer then holds no usable key.
CoreResult core_random_key(uint8_t *buffer, uint64_t length);
