// The handshake's RSA work beside libcrypto's own: identity verifications
// (key decode, signature recovery, identity search) against a bare
// EVP verify-recover, and key-message openings (OAEP decryption, plaintext
// checks) against a bare EVP OAEP decryption, the operations `openssl
// speed rsa2048` times. The gap is what our checks cost on top of the RSA
// operation; each block received costs one verification, each key message
// one opening, neither on the data path.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "core/crypto.h"
#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/identity.h"
#include "flowmesh/netcrypto/key_message.h"

namespace {

CoreUdpAddr address(const char *ipv4, uint16_t port)
{
    CoreUdpAddr a;
    inet_pton(AF_INET, ipv4, &a.address);
    a.port = htons(port);
    return a;
}

NetcryptoNode make_node(EVP_PKEY *key, const char *ipv4, const char *user, int seed)
{
    NetcryptoNode node;
    memset(&node, 0, sizeof(node));
    core_name_format(&node.system_name, "%s", "veltrana.bench");
    core_name_format(&node.user_id, "%s", user);
    node.key_options = NETCRYPTO_KEYS_128 | NETCRYPTO_KEYS_256;
    node.key = key;
    const CoreUdpAddr data = address(ipv4, 60149);
    netcrypto_derive_identity(&data, seed, &node.user_id, &node.system_name, &node.first_identity,
                              &node.first_identity_hash);
    const CoreUdpAddr discovery = address(ipv4, 60150);
    netcrypto_broadcast_identity(&discovery, node.broadcast_identity);
    return node;
}

// The worst case of the identity search: the sender's entry is the last.
struct Pair {
    NetcryptoNode a = make_node(core_rsa_generate(), "10.9.0.1", "bench-user-a", 31);
    NetcryptoNode b = make_node(core_rsa_generate(), "10.9.0.2", "bench-user-b", 7);
    CoreUdpAddr from_a = address("10.9.0.1", 60149);
    uint8_t block[NETCRYPTO_IDENTITY_BLOCK_SIZE];
    uint8_t message[NETCRYPTO_KEY_MESSAGE_SIZE];
    Pair()
    {
        netcrypto_sign_identity(&a, NETCRYPTO_DISCOVERY, block);
        NetcryptoSessionKey key;
        netcrypto_make_session_key(3, 3, &key);
        netcrypto_build_key_message(&a, NETCRYPTO_DISCOVERY, b.key, b.broadcast_identity, &key, message);
    }
};

Pair &pair()
{
    static Pair made;
    return made;
}

void BM_IdentityVerifyOurs(benchmark::State &state)
{
    Pair &p = pair();
    for (auto _ : state) {
        NetcryptoPeerIdentity peer;
        if (netcrypto_verify_identity(&p.b, NETCRYPTO_DISCOVERY, &p.from_a, p.block, sizeof(p.block), &peer) !=
            CORE_OK)
            state.SkipWithError("block refused");
        netcrypto_peer_identity_clear(&peer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IdentityVerifyOurs);

void BM_RsaVerifyRecoverEvp(benchmark::State &state)
{
    Pair &p = pair();
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_pkey(nullptr, p.a.key, nullptr);
    EVP_PKEY_verify_recover_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
    uint8_t out[256];
    for (auto _ : state) {
        size_t n = sizeof(out);
        if (EVP_PKEY_verify_recover(context, out, &n, p.block + 32, 256) != 1) state.SkipWithError("recover");
        benchmark::DoNotOptimize(out);
    }
    EVP_PKEY_CTX_free(context);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RsaVerifyRecoverEvp);

void BM_KeyMessageOpenOurs(benchmark::State &state)
{
    Pair &p = pair();
    for (auto _ : state) {
        NetcryptoKeySender sender;
        if (netcrypto_open_key_message(&p.b, NETCRYPTO_DISCOVERY, &p.from_a, p.message, sizeof(p.message), &sender) !=
            CORE_OK)
            state.SkipWithError("message refused");
        benchmark::DoNotOptimize(sender);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeyMessageOpenOurs);

void BM_RsaDecryptOaepEvp(benchmark::State &state)
{
    Pair &p = pair();
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_pkey(nullptr, p.b.key, nullptr);
    EVP_PKEY_decrypt_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING);
    EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha1());
    EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha1());
    uint8_t out[256];
    for (auto _ : state) {
        size_t n = sizeof(out);
        if (EVP_PKEY_decrypt(context, out, &n, p.message + 32, 256) != 1) state.SkipWithError("decrypt");
        benchmark::DoNotOptimize(out);
    }
    EVP_PKEY_CTX_free(context);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RsaDecryptOaepEvp);

// Announcements are checked by recomputing one SHA-256 over 4128 bytes.
void BM_AnnouncementCheck(benchmark::State &state)
{
    Pair &p = pair();
    const CoreUdpAddr source = address("10.9.0.1", 60150);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            netcrypto_check_announcement(p.b.broadcast_identity, &source, p.a.broadcast_identity, 32));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnnouncementCheck);

}  // namespace
