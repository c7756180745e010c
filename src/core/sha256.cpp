#include "core/sha256.h"

#include <cstring>

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Bytes of the codec name field; a name without a terminator inside it is
// cut there rather than read past the descriptor.
constexpr size_t kCodecNameField = 256;

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace

void core_sha256_init(CoreSha256 *context)
{
    memset(context, 0, sizeof(*context));
    memcpy(context->state, kInitialState, sizeof(kInitialState));
}

void core_sha256_transform(CoreSha256 *context, const uint8_t block[CORE_SHA256_BLOCK_SIZE])
{
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = context->state[0], b = context->state[1], c = context->state[2], d = context->state[3];
    uint32_t e = context->state[4], f = context->state[5], g = context->state[6], h = context->state[7];
    for (int t = 0; t < 64; ++t) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[t] + w[t];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
    context->state[4] += e;
    context->state[5] += f;
    context->state[6] += g;
    context->state[7] += h;
}

void core_sha256_update(CoreSha256 *context, const void *data, size_t length)
{
    if (length == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    context->bits += uint64_t(length) * 8;
    if (context->used > 0) {
        size_t take = CORE_SHA256_BLOCK_SIZE - context->used;
        if (take > length) take = length;
        memcpy(context->block + context->used, p, take);
        context->used += static_cast<uint32_t>(take);
        p += take;
        length -= take;
        if (context->used < CORE_SHA256_BLOCK_SIZE) return;
        core_sha256_transform(context, context->block);
        context->used = 0;
    }
    // Whole blocks straight from the input, without copying them.
    for (; length >= CORE_SHA256_BLOCK_SIZE; p += CORE_SHA256_BLOCK_SIZE, length -= CORE_SHA256_BLOCK_SIZE)
        core_sha256_transform(context, p);
    memcpy(context->block, p, length);
    context->used = static_cast<uint32_t>(length);
}

void core_sha256_final(CoreSha256 *context, uint8_t digest[CORE_SHA256_DIGEST_SIZE])
{
    uint64_t bits = context->bits;
    context->block[context->used++] = 0x80;
    if (context->used > CORE_SHA256_BLOCK_SIZE - 8) {
        memset(context->block + context->used, 0, CORE_SHA256_BLOCK_SIZE - context->used);
        core_sha256_transform(context, context->block);
        context->used = 0;
    }
    memset(context->block + context->used, 0, CORE_SHA256_BLOCK_SIZE - 8 - context->used);
    for (int i = 0; i < 8; ++i) context->block[CORE_SHA256_BLOCK_SIZE - 1 - i] = uint8_t(bits >> (8 * i));
    core_sha256_transform(context, context->block);
    for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, context->state[i]);
}

CoreName *core_sha256_name(const void *descriptor, int32_t seed, CoreName *out)
{
    const uint8_t *head = static_cast<const uint8_t *>(descriptor);
    CoreSha256 context;
    core_sha256_init(&context);
    if (seed != -1) {
        uint32_t s = static_cast<uint32_t>(seed);
        const uint8_t bytes[4] = {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16), uint8_t(s >> 24)};
        core_sha256_update(&context, bytes, sizeof(bytes));
    }
    core_sha256_update(&context, head, 20);
    int32_t device;
    memcpy(&device, head + 20, sizeof(device));
    if (device != -1) core_sha256_update(&context, head + 20, 4);
    const char *name = reinterpret_cast<const char *>(head + 24);
    core_sha256_update(&context, name, strnlen(name, kCodecNameField));

    memset(out, 0, sizeof(*out));
    core_sha256_final(&context, out->key);
    return core_name_make(out);
}
