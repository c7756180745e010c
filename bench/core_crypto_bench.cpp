// Datagram sealing with our AES wrapper against a bare EVP context (what
// `openssl speed -evp aes-128-ecb` measures), and our SHA-256 against
// libcrypto's. Every datagram passes through the AES wrapper twice (header
// and payload), so its cost per 1440-byte block is the figure to watch.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <openssl/evp.h>
#include <vector>

#include "core/crypto.h"
#include "core/sha256.h"

namespace {

constexpr size_t kDatagram = 1440;

const EVP_CIPHER *ecb(int64_t bits) { return bits == 128 ? EVP_aes_128_ecb() : EVP_aes_256_ecb(); }

// Shared by all threads of a run, as a session key is.
CoreAesKey *g_key = nullptr;

void BM_AesSealOurs(benchmark::State &state)
{
    const uint64_t key_bytes = static_cast<uint64_t>(state.range(0)) / 8;
    if (state.thread_index() == 0) {
        uint8_t key[32] = {1, 2, 3};
        g_key = core_aes_create(key, key_bytes);
    }
    std::vector<uint8_t> block(kDatagram, 0x5A);
    for (auto _ : state) {
        core_aes_encrypt(g_key, block.data(), block.data(), block.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDatagram));
    if (state.thread_index() == 0) core_aes_destroy(&g_key);
}
BENCHMARK(BM_AesSealOurs)->Arg(128)->Arg(256)->ThreadRange(1, 4);

void BM_AesSealEvp(benchmark::State &state)
{
    uint8_t key[32] = {1, 2, 3};
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, ecb(state.range(0)), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    std::vector<uint8_t> block(kDatagram, 0x5A);
    for (auto _ : state) {
        int written = 0;
        EVP_EncryptUpdate(context, block.data(), &written, block.data(), static_cast<int>(block.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDatagram));
    EVP_CIPHER_CTX_free(context);
}
BENCHMARK(BM_AesSealEvp)->Arg(128)->Arg(256)->ThreadRange(1, 4);

void BM_Sha256Ours(benchmark::State &state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
    uint8_t digest[CORE_SHA256_DIGEST_SIZE];
    for (auto _ : state) {
        CoreSha256 context;
        core_sha256_init(&context);
        core_sha256_update(&context, data.data(), data.size());
        core_sha256_final(&context, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256Ours)->Arg(64)->Arg(kDatagram)->Arg(65536);

void BM_Sha256Evp(benchmark::State &state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
    uint8_t digest[EVP_MAX_MD_SIZE];
    const EVP_MD *sha256 = EVP_sha256();
    for (auto _ : state) {
        unsigned length = 0;
        EVP_Digest(data.data(), data.size(), digest, &length, sha256, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256Evp)->Arg(64)->Arg(kDatagram)->Arg(65536);

}  // namespace
