// SHA-256 (FIPS 180-4) of the base runtime, and the codec identity built on it.
//
// The hash is our own so that a codec's identity, which the service classes
// and the codecs settings file key evaluated codecs by, never depends on the
// cryptographic library being present or initialised. A context belongs to
// one thread at a time; the functions hold no shared state and cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"

#define CORE_SHA256_DIGEST_SIZE 32
#define CORE_SHA256_BLOCK_SIZE 64

struct CoreSha256 {
    uint8_t block[CORE_SHA256_BLOCK_SIZE];
    uint32_t used;      // bytes waiting in block
    uint64_t bits;      // message length so far
    uint32_t state[8];
};

// Starts a hash with the initial values of FIPS 180-4.
void core_sha256_init(CoreSha256 *context);

// Adds `length` bytes of the message.
void core_sha256_update(CoreSha256 *context, const void *data, size_t length);

// Compresses one 64-byte block into the state (the FIPS 180-4 round
// function); the buffered bytes and the length are left alone.
void core_sha256_transform(CoreSha256 *context, const uint8_t block[CORE_SHA256_BLOCK_SIZE]);

// Pads (0x80, zeros, the bit length big-endian) and writes the digest, state
// words big-endian. The context must be initialised again before reuse.
void core_sha256_final(CoreSha256 *context, uint8_t digest[CORE_SHA256_DIGEST_SIZE]);

// The identity of a codec descriptor: SHA-256 over the seed as four bytes
// least significant first (left out when -1), the descriptor's first 20
// bytes, the i32 device number at byte 20 as stored (left out when -1) and
// the codec name at byte 24 up to its terminator (at most 256 bytes, the
// size of the field). The digest is out's key; text and hex are completed.
// Returns out.
CoreName *core_sha256_name(const void *descriptor, int32_t seed, CoreName *out);
