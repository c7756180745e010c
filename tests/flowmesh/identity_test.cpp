// Node identities and identity blocks: what a node proves itself with and
// how a receiver decides to believe it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <thread>

#include "core/system.h"
#include "flowmesh/netcrypto/identity.h"
#include "flowmesh/netcrypto/key_material.h"
#include "netcrypto_support.h"

using namespace netcrypto_test;

namespace {

// The seed cursor lives in the runtime; the suite runs with it started.
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override { core_system_stop(); }
};
const auto *g_runtime = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

const NodeSetup kSetupA{"198.51.100.10", 60149, "user-one", "veltrana.test", 3, 4};
const NodeSetup kSetupB{"198.51.100.11", 60149, "user-two", "veltrana.test", 3, 9};

// A block around arbitrary signed bytes, signed and keyed with `key`:
// what a peer with any key and any intent can send.
Bytes craft_block(EVP_PKEY *key, const uint8_t *broadcast, const Bytes &signed_bytes)
{
    Bytes block(NETCRYPTO_IDENTITY_BLOCK_SIZE, 0);
    if (broadcast != nullptr) memcpy(block.data(), broadcast, 32);
    Bytes signature(1024);
    uint64_t n = signature.size();
    if (core_rsa_sign(key, signature.data(), &n, signed_bytes.data(), signed_bytes.size()) != CORE_OK) return {};
    memcpy(block.data() + 32, signature.data(), std::min<uint64_t>(n, 256));
    Bytes der(600);
    uint64_t der_length = der.size();
    if (core_rsa_public_to_der(key, der.data(), &der_length) != CORE_OK || der_length > 270) return {};
    memcpy(block.data() + 288, der.data(), der_length);
    return block;
}

Bytes signed_part_of(const NetcryptoNode &node)
{
    NetcryptoSignedPart part;
    memcpy(part.identity_hash, node.first_identity_hash.key, 32);
    memcpy(part.user_id, node.user_id.key, 32);
    part.key_options = node.key_options;
    Bytes out(NETCRYPTO_SIGNED_PART_SIZE);
    netcrypto_signed_part_encode(&part, out.data());
    return out;
}

Bytes sign_block(const NetcryptoNode &node, NetcryptoForm form)
{
    Bytes block(NETCRYPTO_IDENTITY_BLOCK_SIZE);
    if (netcrypto_sign_identity(&node, form, block.data()) != CORE_OK) return {};
    return block;
}

TEST(SeedIndex, EveryEntryTakenOnceAroundTheTableAcrossThreads)
{
    const int first = netcrypto_seed_index_take();
    ASSERT_GE(first, 0);
    ASSERT_LT(first, 32);
    EXPECT_EQ(netcrypto_seed_index_take(), (first + 1) % 32) << "each take advances by one";

    // 8 threads x 320 takes = 80 rounds of the table: an atomic cursor hands
    // every entry out exactly 80 times; a plain read and write would hand
    // some out twice and skip others.
    std::array<std::atomic<int>, 32> counts{};
    std::vector<std::thread> threads;
    std::atomic<bool> bad{false};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 320; ++i) {
                const int index = netcrypto_seed_index_take();
                if (index < 0 || index > 31) {
                    bad = true;
                    return;
                }
                counts[static_cast<size_t>(index)].fetch_add(1);
            }
        });
    for (auto &thread : threads) thread.join();
    ASSERT_FALSE(bad);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(counts[static_cast<size_t>(i)].load(), 80) << "entry " << i;

    core_system_stop();
    EXPECT_EQ(netcrypto_seed_index_take(), -1) << "no cursor while the runtime is stopped";
    ASSERT_EQ(core_system_start(0), CORE_OK);
}

// Layout and hash recomputed by hand, with libcrypto's SHA-256.
TEST(Identity, LayoutHashAndCheck)
{
    const CoreUdpAddr at = address("198.51.100.20", 60149);
    const CoreName user = name("0123456789abcdefFEDCBA9876543210");
    const CoreName system = name("veltrana.test");
    CoreName identity, hash;
    ASSERT_EQ(netcrypto_derive_identity(&at, 5, &user, &system, &identity, &hash), CORE_OK);

    const NetcryptoKeyMaterial *m = netcrypto_key_material();
    uint8_t expected[32] = {198, 51, 100, 20, 0xEA, 0xF5};
    memcpy(expected + 6, m->seed_table[5], 6);
    memcpy(expected + 12, m->identity_constant, 4);
    for (int i = 0; i < 16; ++i) expected[16 + i] = user.key[i] ^ user.key[16 + i];
    EXPECT_EQ(to_hex(identity.key, 32), to_hex(expected, 32));
    uint8_t hashed[64], digest[32];
    memcpy(hashed, expected, 32);
    memcpy(hashed + 32, system.key, 32);
    unsigned int digest_length = 0;
    EVP_Digest(hashed, sizeof(hashed), digest, &digest_length, EVP_sha256(), nullptr);
    EXPECT_EQ(to_hex(hash.key, 32), to_hex(digest, 32));

    EXPECT_EQ(netcrypto_derive_identity(&at, 32, &user, &system, &identity, nullptr), CORE_ERR);
    EXPECT_EQ(netcrypto_derive_identity(&at, -1, &user, &system, &identity, nullptr), CORE_ERR);

    const struct {
        const char *purpose;
        CoreUdpAddr at;
        const char *system;
        const char *user;
        CoreResult result;
    } checks[] = {
        {"the same address, system and user", at, "veltrana.test", "0123456789abcdefFEDCBA9876543210", CORE_OK},
        {"another port", address("198.51.100.20", 60150), "veltrana.test", "0123456789abcdefFEDCBA9876543210",
         CORE_ERR},
        {"another address", address("198.51.100.21", 60149), "veltrana.test", "0123456789abcdefFEDCBA9876543210",
         CORE_ERR},
        {"another system", at, "other.system", "0123456789abcdefFEDCBA9876543210", CORE_ERR},
        {"another user", at, "veltrana.test", "0123456789abcdefFEDCBA9876543211", CORE_ERR},
    };
    for (const auto &c : checks) {
        const CoreName check_system = name(c.system), check_user = name(c.user);
        CoreName found;
        int entry = -1;
        EXPECT_EQ(netcrypto_check_identity(&c.at, &check_system, hash.key, &check_user, &found, &entry), c.result)
            << c.purpose;
        if (c.result == CORE_OK) {
            EXPECT_EQ(entry, 5) << c.purpose;
            EXPECT_EQ(to_hex(found.key, 32), to_hex(identity.key, 32)) << c.purpose;
        }
    }
}

TEST(ConfiguredKey, OnlyA2048BitPairIsUsed)
{
    EVP_PKEY *small = rsa_key_of_bits(1024);
    ASSERT_NE(small, nullptr);
    // The public half alone, as a peer's block carries it.
    Bytes der(270);
    uint64_t der_length = der.size();
    ASSERT_EQ(core_rsa_public_to_der(shared_key(0), der.data(), &der_length), CORE_OK);
    EVP_PKEY *public_only = core_rsa_public_from_der(der.data(), der_length);
    ASSERT_NE(public_only, nullptr);

    const struct {
        const char *purpose;
        EVP_PKEY *key;
        CoreResult result;
    } cases[] = {
        {"RSA-2048 pair", shared_key(0), CORE_OK},
        {"RSA-1024 pair", small, CORE_ERR_INVALID},
        {"public half only", public_only, CORE_ERR_INVALID},
        {"no key", nullptr, CORE_ERR_INVALID},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(netcrypto_check_own_key(c.key), c.result) << c.purpose;
        NetcryptoNode node = make_node(c.key, kSetupA);
        uint8_t block[NETCRYPTO_IDENTITY_BLOCK_SIZE];
        EXPECT_EQ(netcrypto_sign_identity(&node, NETCRYPTO_DISCOVERY, block), c.result) << c.purpose;
    }
    EVP_PKEY_free(small);
    EVP_PKEY_free(public_only);
}

// The block's three fields as other tools read them: the key field with
// `openssl rsa -RSAPublicKey_in`, the signature with `pkeyutl -verifyrecover`.
TEST(IdentityBlock, LayoutReadByOpenssl)
{
    if (!openssl_available()) GTEST_SKIP() << "openssl command not available";
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const Bytes block = sign_block(a, NETCRYPTO_DISCOVERY);
    ASSERT_EQ(block.size(), 558u);
    EXPECT_EQ(to_hex(block.data(), 32), to_hex(a.broadcast_identity, 32));

    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    ASSERT_TRUE(write_file(dir.file("key.der"), block.data() + 288, 270));
    ASSERT_TRUE(write_file(dir.file("signature"), block.data() + 32, 256));
    int status = 0;
    const std::string modulus =
        run("openssl rsa -RSAPublicKey_in -inform DER -in " + dir.file("key.der") + " -noout -modulus", &status);
    ASSERT_EQ(status, 0) << modulus;
    BIGNUM *n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(a.key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
    char *n_hex = BN_bn2hex(n);
    EXPECT_EQ(modulus, "Modulus=" + std::string(n_hex) + "\n");
    OPENSSL_free(n_hex);
    BN_free(n);

    run("openssl rsa -RSAPublicKey_in -inform DER -in " + dir.file("key.der") + " -pubout -out " +
            dir.file("key.pem") + " 2>&1",
        &status);
    ASSERT_EQ(status, 0);
    const std::string command = "openssl pkeyutl -verifyrecover -pubin -inkey " + dir.file("key.pem") +
                                " -pkeyopt rsa_padding_mode:pkcs1 -in " + dir.file("signature") + " -out " +
                                dir.file("part");
    ASSERT_EQ(system(command.c_str()), 0) << command;
    const Bytes part = read_file(dir.file("part"));
    ASSERT_EQ(part.size(), 72u);
    uint8_t masked[32];
    memcpy(masked, a.user_id.key, 32);
    core_xor32(masked, netcrypto_key_material()->first_mask);
    EXPECT_EQ(to_hex(part.data(), 4), "00000020");
    EXPECT_EQ(to_hex(part.data() + 4, 32), to_hex(a.first_identity_hash.key, 32));
    EXPECT_EQ(to_hex(part.data() + 36, 32), to_hex(masked, 32));
    EXPECT_EQ(to_hex(part.data() + 68, 4), "00000003");
}

// B judges blocks that claim to come from A. One row per way a block can be
// wrong; the valid rows show the check does not refuse everything.
TEST(IdentityBlock, MutationTable)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    NetcryptoNode b = make_node(shared_key(1), kSetupB);
    NodeSetup foreign_setup = kSetupA;
    foreign_setup.system = "other.system";
    const NetcryptoNode foreign = make_node(shared_key(0), foreign_setup);
    const CoreUdpAddr from_a = data_address(kSetupA);

    const Bytes valid = sign_block(a, NETCRYPTO_DISCOVERY);
    ASSERT_FALSE(valid.empty());
    Bytes longer = valid;
    longer.push_back(0);
    Bytes flipped_signature = valid;
    flipped_signature[32 + 100] ^= 0x01;
    Bytes flipped_key = valid;
    flipped_key[288 + 40] ^= 0x01;  // inside the modulus
    Bytes zero_key = valid;
    std::fill(zero_key.begin() + 288, zero_key.end(), 0);

    auto with = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
        Bytes part = signed_part_of(a);
        std::copy(bytes.begin(), bytes.end(), part.begin() + long(offset));
        return craft_block(a.key, a.broadcast_identity, part);
    };
    auto resized = [&](size_t size) {
        Bytes part = signed_part_of(a);
        part.resize(size, 0);
        return craft_block(a.key, a.broadcast_identity, part);
    };
    // A 1024-bit key whose two 128-byte signatures fill the signature field:
    // "size divides 256" would let it through and recover 184 bytes into a
    // 72-byte part.
    EVP_PKEY *small = rsa_key_of_bits(1024);
    ASSERT_NE(small, nullptr);
    Bytes two_pieces = signed_part_of(a);
    two_pieces.resize(72 + 112, 0x41);
    const Bytes small_key_block = craft_block(small, a.broadcast_identity, two_pieces);
    ASSERT_FALSE(small_key_block.empty());
    // The same key with a valid 72-byte part and a second piece that
    // recovers to nothing: only the key size tells this block apart.
    Bytes small_exact = craft_block(small, a.broadcast_identity, signed_part_of(a));
    ASSERT_FALSE(small_exact.empty());
    {
        EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_pkey(nullptr, small, nullptr);
        size_t n = 128;
        ASSERT_EQ(EVP_PKEY_sign_init(context), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING), 1);
        const uint8_t nothing = 0;
        ASSERT_EQ(EVP_PKEY_sign(context, small_exact.data() + 32 + 128, &n, &nothing, 0), 1);
        ASSERT_EQ(n, 128u);
        EVP_PKEY_CTX_free(context);
    }
    NetcryptoNode b_ignoring = b;
    b_ignoring.ignore_own_address = true;
    b_ignoring.adapter_ipv4 = from_a.address;

    const struct {
        const char *purpose;
        Bytes block;
        uint64_t length;
        CoreUdpAddr source;
        const NetcryptoNode *receiver;
        CoreResult result;
    } cases[] = {
        {"A's block from A's data address", valid, 558, from_a, &b, CORE_OK},
        {"557 bytes", valid, 557, from_a, &b, CORE_ERR},
        {"559 bytes", longer, 559, from_a, &b, CORE_ERR},
        {"empty", valid, 0, from_a, &b, CORE_ERR},
        {"a flipped signature byte", flipped_signature, 558, from_a, &b, CORE_ERR},
        {"a flipped modulus byte", flipped_key, 558, from_a, &b, CORE_ERR},
        {"no key at all", zero_key, 558, from_a, &b, CORE_ERR},
        {"options without 16-byte keys, validly signed", with(68, {0, 0, 0, 2}), 558, from_a, &b, CORE_ERR},
        {"options 1 only", with(68, {0, 0, 0, 1}), 558, from_a, &b, CORE_OK},
        {"length word 31", with(0, {0, 0, 0, 31}), 558, from_a, &b, CORE_ERR},
        {"length word 47 is tolerated", with(0, {0, 0, 0, 47}), 558, from_a, &b, CORE_OK},
        {"length word 48", with(0, {0, 0, 0, 48}), 558, from_a, &b, CORE_ERR},
        {"signed part of 71 bytes", resized(71), 558, from_a, &b, CORE_ERR},
        {"signed part of 73 bytes", resized(73), 558, from_a, &b, CORE_ERR},
        {"signed part of 240 bytes", resized(240), 558, from_a, &b, CORE_ERR},
        {"a 1024-bit key with two pieces", small_key_block, 558, from_a, &b, CORE_ERR},
        {"a 1024-bit key with a valid part", small_exact, 558, from_a, &b, CORE_ERR},
        {"a claim made for another port", valid, 558, address(kSetupA.ipv4, 60150), &b, CORE_ERR},
        {"a claim made for another address", valid, 558, data_address(kSetupB), &b, CORE_ERR},
        {"another system name", sign_block(foreign, NETCRYPTO_DISCOVERY), 558, from_a, &b, CORE_ERR},
        {"the direct block checked as a discovery block", sign_block(a, NETCRYPTO_DIRECT), 558, from_a, &b,
         CORE_ERR},
        {"our own block back", sign_block(b, NETCRYPTO_DISCOVERY), 558, data_address(kSetupB), &b, CORE_DONE},
        {"any block from our own address when told to ignore it", flipped_signature, 558, from_a, &b_ignoring,
         CORE_DONE},
    };
    for (const auto &c : cases) {
        ASSERT_GE(c.block.size(), c.length) << c.purpose;
        // An exact-size copy: a read past the length is a sanitizer report.
        const Bytes exact(c.block.begin(), c.block.begin() + long(c.length));
        NetcryptoPeerIdentity peer;
        EXPECT_EQ(netcrypto_verify_identity(c.receiver, NETCRYPTO_DISCOVERY, &c.source, exact.data(), exact.size(),
                                            &peer),
                  c.result)
            << c.purpose;
        if (c.result != CORE_OK) {
            EXPECT_EQ(peer.public_key, nullptr) << c.purpose;
        }
        netcrypto_peer_identity_clear(&peer);
    }
    EVP_PKEY_free(small);
}

TEST(IdentityBlock, WhatBTakesFromAVerifiedBlock)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    const CoreUdpAddr from_a = data_address(kSetupA);
    const Bytes block = sign_block(a, NETCRYPTO_DISCOVERY);
    NetcryptoPeerIdentity peer;
    ASSERT_EQ(netcrypto_verify_identity(&b, NETCRYPTO_DISCOVERY, &from_a, block.data(), block.size(), &peer), CORE_OK);
    EXPECT_EQ(to_hex(peer.identity.key, 32), to_hex(a.first_identity.key, 32));
    EXPECT_STREQ(peer.identity.hex, a.first_identity.hex) << "a complete name";
    EXPECT_EQ(to_hex(peer.user_id.key, 32), to_hex(a.user_id.key, 32));
    EXPECT_EQ(to_hex(peer.broadcast_identity, 32), to_hex(a.broadcast_identity, 32));
    EXPECT_EQ(peer.key_options, 3u);
    EXPECT_EQ(EVP_PKEY_eq(peer.public_key, a.key), 1);
    // Exactly one side of a pair makes the key.
    EXPECT_NE(netcrypto_is_key_sender(&b, &peer.identity), netcrypto_is_key_sender(&a, &b.first_identity));
    netcrypto_peer_identity_clear(&peer);
    EXPECT_EQ(peer.public_key, nullptr);
}

// The direct form: the claim is made for the placeholder address, so any
// source passes it, and B names the peer by an identity of its own making
// for the address the block came from.
TEST(IdentityBlock, DirectForm)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    const Bytes direct = sign_block(a, NETCRYPTO_DIRECT);
    ASSERT_FALSE(direct.empty());
    EXPECT_EQ(std::count(direct.begin(), direct.begin() + 32, 0), 32) << "no broadcast identity";

    const CoreUdpAddr source = address("10.1.2.3", 40000);
    NetcryptoPeerIdentity peer;
    ASSERT_EQ(netcrypto_verify_identity(&b, NETCRYPTO_DIRECT, &source, direct.data(), direct.size(), &peer), CORE_OK);
    int entry = -1;
    CoreName again;
    uint8_t hash[32];
    netcrypto_identity_hash(peer.identity.key, &b.system_name, hash);
    ASSERT_EQ(netcrypto_check_identity(&source, &b.system_name, hash, &a.user_id, &again, &entry), CORE_OK)
        << "the identity is one of this system's for the source";
    netcrypto_peer_identity_clear(&peer);

    const Bytes discovery = sign_block(a, NETCRYPTO_DISCOVERY);
    EXPECT_EQ(netcrypto_verify_identity(&b, NETCRYPTO_DIRECT, &source, discovery.data(), discovery.size(), &peer),
              CORE_ERR)
        << "a discovery block is no direct block";
    netcrypto_peer_identity_clear(&peer);
}

}  // namespace
