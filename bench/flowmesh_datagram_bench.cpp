// Sealing and opening full stream datagrams (32-byte header under the
// session key, 1408 payload bytes under the stream key) against what the
// bare cipher costs for the same 1440 bytes: a bare EVP AES-ECB context,
// which is what `openssl speed -evp aes-128-ecb` measures. The gap between
// the two is our framing, padding and checks; a seal plus an open should
// stay under a microsecond.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <openssl/evp.h>
#include <vector>

#include "flowmesh/datagram.h"

namespace {

const EVP_CIPHER *ecb(int64_t bits) { return bits == 128 ? EVP_aes_128_ecb() : EVP_aes_256_ecb(); }

struct Keys {
    CoreAesKey *header;
    CoreAesKey *payload;
    explicit Keys(uint64_t bytes)
    {
        uint8_t h[32] = {9, 8, 7}, p[32] = {1, 2, 3};
        header = core_aes_create(h, bytes);
        payload = core_aes_create(p, bytes);
    }
    ~Keys()
    {
        core_aes_destroy(&header);
        core_aes_destroy(&payload);
    }
};

// One seal and one open of a 1440-byte datagram per iteration.
void BM_DatagramSealOpen(benchmark::State &state)
{
    Keys keys(static_cast<uint64_t>(state.range(0)) / 8);
    const FlowmeshOpenRules rules = {2, 1, FLOWMESH_FLAG_SET_RELIABLE, FLOWMESH_FLAG_SET_RELIABLE};
    std::vector<uint8_t> payload(FLOWMESH_PAYLOAD_MAX, 0x5A), out(FLOWMESH_PAYLOAD_MAX);
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
    uint64_t sequence = 0;
    for (auto _ : state) {
        FlowmeshPacketHeader header = {};
        header.sequence = ++sequence;
        header.destination = 2;
        uint64_t wire_length = 0, n = 0;
        flowmesh_datagram_seal(keys.header, keys.payload, &header, 1, payload.data(), payload.size(), wire,
                               &wire_length);
        if (flowmesh_datagram_open(keys.header, keys.payload, &rules, wire, wire_length, &header, out.data(), &n) !=
            CORE_OK) {
            state.SkipWithError("a sealed datagram did not open");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FLOWMESH_DATAGRAM_MAX * 2));
}
BENCHMARK(BM_DatagramSealOpen)->Arg(128)->Arg(256);

// The reference: encrypt and decrypt the same 1440 bytes with bare EVP
// contexts, nothing else.
void BM_EvpEcbEncryptDecrypt(benchmark::State &state)
{
    uint8_t key[32] = {1, 2, 3};
    EVP_CIPHER_CTX *encrypt = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *decrypt = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(encrypt, ecb(state.range(0)), nullptr, key, nullptr);
    EVP_DecryptInit_ex(decrypt, ecb(state.range(0)), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(encrypt, 0);
    EVP_CIPHER_CTX_set_padding(decrypt, 0);
    std::vector<uint8_t> block(FLOWMESH_DATAGRAM_MAX, 0x5A);
    for (auto _ : state) {
        int written = 0;
        EVP_EncryptUpdate(encrypt, block.data(), &written, block.data(), static_cast<int>(block.size()));
        EVP_DecryptUpdate(decrypt, block.data(), &written, block.data(), static_cast<int>(block.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FLOWMESH_DATAGRAM_MAX * 2));
    EVP_CIPHER_CTX_free(encrypt);
    EVP_CIPHER_CTX_free(decrypt);
}
BENCHMARK(BM_EvpEcbEncryptDecrypt)->Arg(128)->Arg(256);

}  // namespace
