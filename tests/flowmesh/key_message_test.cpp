// Key messages: the session key sealed to the receiver, and everything a
// receiver refuses before it takes a key.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/system.h"
#include "flowmesh/netcrypto/key_material.h"
#include "flowmesh/netcrypto/key_message.h"
#include "netcrypto_support.h"

using namespace netcrypto_test;

namespace {

// The direct form takes seed entries from the runtime's cursor.
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override { core_system_stop(); }
};
const auto *g_runtime = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

const NodeSetup kSetupA{"198.51.100.10", 60149, "user-one", "veltrana.test", 3, 4};
const NodeSetup kSetupB{"198.51.100.11", 60149, "user-two", "veltrana.test", 3, 9};

NetcryptoSessionKey fixed_key(uint32_t kind)
{
    NetcryptoSessionKey key;
    memset(&key, 0, sizeof(key));
    key.kind = kind;
    key.length = kind == NETCRYPTO_KEY_KIND_AES256 ? 32 : 16;
    for (uint64_t i = 0; i < key.length; ++i) key.key[i] = static_cast<uint8_t>(0xC0 + i);
    return key;
}

TEST(KeyKind, BothSidesMustOffer32ByteKeys)
{
    const struct {
        uint32_t own, peer, kind;
        uint64_t length;
    } cases[] = {
        {3, 3, NETCRYPTO_KEY_KIND_AES256, 32},
        {3, 1, NETCRYPTO_KEY_KIND_AES128, 16},
        {1, 3, NETCRYPTO_KEY_KIND_AES128, 16},
        {1, 1, NETCRYPTO_KEY_KIND_AES128, 16},
        {2, 3, NETCRYPTO_KEY_KIND_AES256, 32},
    };
    for (const auto &c : cases) {
        NetcryptoSessionKey a, b;
        ASSERT_EQ(netcrypto_make_session_key(c.own, c.peer, &a), CORE_OK);
        ASSERT_EQ(netcrypto_make_session_key(c.own, c.peer, &b), CORE_OK);
        EXPECT_EQ(a.kind, c.kind) << c.own << "/" << c.peer;
        EXPECT_EQ(a.length, c.length) << c.own << "/" << c.peer;
        EXPECT_NE(memcmp(a.key, b.key, a.length), 0) << "fresh keys";
        EXPECT_EQ(std::count(a.key + a.length, a.key + 32, 0), long(32 - a.length)) << "nothing past the key";
    }
}

// A seals for B in both forms and kinds; B opens and learns who sent it.
TEST(KeyMessage, RoundTripBothFormsAndKinds)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    const CoreUdpAddr from_a = data_address(kSetupA);
    for (NetcryptoForm form : {NETCRYPTO_DISCOVERY, NETCRYPTO_DIRECT}) {
        for (uint32_t kind : {NETCRYPTO_KEY_KIND_AES128, NETCRYPTO_KEY_KIND_AES256}) {
            const NetcryptoSessionKey key = fixed_key(kind);
            uint8_t message[NETCRYPTO_KEY_MESSAGE_SIZE];
            ASSERT_EQ(netcrypto_build_key_message(&a, form, b.key, b.broadcast_identity, &key, message), CORE_OK);
            if (form == NETCRYPTO_DISCOVERY) {
                EXPECT_EQ(to_hex(message, 32), to_hex(a.broadcast_identity, 32));
            } else {
                EXPECT_EQ(std::count(message, message + 32, 0), 32);
            }
            NetcryptoKeySender sender;
            ASSERT_EQ(netcrypto_open_key_message(&b, form, &from_a, message, sizeof(message), &sender), CORE_OK)
                << form << "/" << kind;
            EXPECT_EQ(sender.key.kind, kind);
            EXPECT_EQ(sender.key.length, key.length);
            EXPECT_EQ(to_hex(sender.key.key, 32), to_hex(key.key, 32));
            EXPECT_EQ(to_hex(sender.user_id.key, 32), to_hex(a.user_id.key, 32));
            if (form == NETCRYPTO_DISCOVERY) {
                EXPECT_EQ(to_hex(sender.identity.key, 32), to_hex(a.first_identity.key, 32));
            } else {
                // Made by B for the source, as for a direct identity block.
                EXPECT_EQ(to_hex(sender.identity.key, 6), to_hex(reinterpret_cast<const uint8_t *>(&from_a), 6));
            }
        }
    }
    // Only to a key the format carries.
    EVP_PKEY *small = rsa_key_of_bits(1024);
    const NetcryptoSessionKey key = fixed_key(NETCRYPTO_KEY_KIND_AES128);
    uint8_t message[NETCRYPTO_KEY_MESSAGE_SIZE];
    EXPECT_EQ(netcrypto_build_key_message(&a, NETCRYPTO_DISCOVERY, small, b.broadcast_identity, &key, message),
              CORE_ERR);
    EVP_PKEY_free(small);
}

// The plaintext as B reads it after decryption: one row per way it can be
// wrong. Each row's bytes are an exact-size copy, so a read before the
// length check is a sanitizer report.
TEST(KeyMessage, PlaintextMutationTable)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    NodeSetup foreign_setup = kSetupA;
    foreign_setup.system = "other.system";
    const NetcryptoNode foreign = make_node(shared_key(0), foreign_setup);
    const CoreUdpAddr from_a = data_address(kSetupA);

    auto plaintext = [&](const NetcryptoNode &sender, uint32_t kind, std::function<void(Bytes &)> change) {
        const NetcryptoSessionKey key = fixed_key(kind);
        Bytes out(NETCRYPTO_KEY_PLAIN_MAX);
        uint64_t length = out.size();
        netcrypto_key_plaintext_encode(&sender, NETCRYPTO_DISCOVERY, b.broadcast_identity, &key, out.data(), &length);
        out.resize(length);
        if (change) change(out);
        return out;
    };
    auto set_word = [](size_t offset, uint32_t value) {
        return [=](Bytes &p) {
            p[offset] = uint8_t(value >> 24);
            p[offset + 1] = uint8_t(value >> 16);
            p[offset + 2] = uint8_t(value >> 8);
            p[offset + 3] = uint8_t(value);
        };
    };
    auto resize = [](size_t size) { return [=](Bytes &p) { p.resize(size, 0); }; };
    uint8_t other_broadcast[32];
    memcpy(other_broadcast, a.broadcast_identity, 32);
    other_broadcast[0] ^= 1;

    const struct {
        const char *purpose;
        Bytes plaintext;
        const uint8_t *sender_broadcast;
        CoreUdpAddr source;
        CoreResult result;
    } cases[] = {
        {"120 bytes of kind 1", plaintext(a, 1, nullptr), a.broadcast_identity, from_a, CORE_OK},
        {"136 bytes of kind 2", plaintext(a, 2, nullptr), a.broadcast_identity, from_a, CORE_OK},
        {"120 bytes claiming kind 2", plaintext(a, 1, set_word(100, 2)), a.broadcast_identity, from_a, CORE_ERR},
        {"136 bytes claiming kind 1", plaintext(a, 2, set_word(100, 1)), a.broadcast_identity, from_a, CORE_ERR},
        {"kind 3", plaintext(a, 2, set_word(100, 3)), a.broadcast_identity, from_a, CORE_ERR},
        {"119 bytes", plaintext(a, 1, resize(119)), a.broadcast_identity, from_a, CORE_ERR},
        {"121 bytes", plaintext(a, 1, resize(121)), a.broadcast_identity, from_a, CORE_ERR},
        {"137 bytes", plaintext(a, 2, resize(137)), a.broadcast_identity, from_a, CORE_ERR},
        {"144 bytes, as the length word says", plaintext(a, 2, resize(144)), a.broadcast_identity, from_a, CORE_ERR},
        {"3 bytes", plaintext(a, 1, resize(3)), a.broadcast_identity, from_a, CORE_ERR},
        {"nothing", plaintext(a, 1, resize(0)), a.broadcast_identity, from_a, CORE_ERR},
        {"length word 143", plaintext(a, 1, set_word(0, 143)), a.broadcast_identity, from_a, CORE_ERR},
        {"length word 159 is tolerated", plaintext(a, 1, set_word(0, 159)), a.broadcast_identity, from_a, CORE_OK},
        {"length word 160", plaintext(a, 1, set_word(0, 160)), a.broadcast_identity, from_a, CORE_ERR},
        {"a bad check value", plaintext(a, 1, [](Bytes &p) { p[68] ^= 1; }), a.broadcast_identity, from_a,
         CORE_ERR},
        {"made for another receiver", plaintext(a, 1, nullptr), other_broadcast, from_a, CORE_ERR},
        {"a claim made for another address", plaintext(a, 1, nullptr), a.broadcast_identity, data_address(kSetupB),
         CORE_ERR},
        {"another system name", plaintext(foreign, 1, nullptr), a.broadcast_identity, from_a, CORE_ERR},
        {"a masked user id changed", plaintext(a, 1, [](Bytes &p) { p[40] ^= 1; }), a.broadcast_identity, from_a,
         CORE_ERR},
        {"our own message back", plaintext(b, 1, nullptr), a.broadcast_identity, data_address(kSetupB), CORE_DONE},
    };
    for (const auto &c : cases) {
        const Bytes exact(c.plaintext.begin(), c.plaintext.end());
        NetcryptoKeySender sender;
        EXPECT_EQ(netcrypto_read_key_message(&b, NETCRYPTO_DISCOVERY, c.sender_broadcast, &c.source, exact.data(),
                                             exact.size(), &sender),
                  c.result)
            << c.purpose;
        if (c.result != CORE_OK) {
            EXPECT_EQ(sender.key.length, 0u) << c.purpose << ": a key leaked out";
        }
    }
}

TEST(KeyMessage, SealedMessageRefusals)
{
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    const NetcryptoNode c = make_node(shared_key(2), NodeSetup{"198.51.100.12", 60149, "user-three", "veltrana.test",
                                                              3, 1});
    const CoreUdpAddr from_a = data_address(kSetupA);
    const NetcryptoSessionKey key = fixed_key(NETCRYPTO_KEY_KIND_AES256);
    Bytes valid(NETCRYPTO_KEY_MESSAGE_SIZE + 1);
    ASSERT_EQ(netcrypto_build_key_message(&a, NETCRYPTO_DISCOVERY, b.key, b.broadcast_identity, &key, valid.data()),
              CORE_OK);
    Bytes flipped_cipher = valid;
    flipped_cipher[200] ^= 0x10;
    Bytes other_broadcast = valid;
    other_broadcast[5] ^= 0x10;
    Bytes to_c(NETCRYPTO_KEY_MESSAGE_SIZE);
    ASSERT_EQ(netcrypto_build_key_message(&a, NETCRYPTO_DISCOVERY, c.key, b.broadcast_identity, &key, to_c.data()),
              CORE_OK);

    const struct {
        const char *purpose;
        const Bytes *message;
        uint64_t length;
        CoreResult result;
    } cases[] = {
        {"288 bytes", &valid, 288, CORE_OK},
        {"287 bytes", &valid, 287, CORE_ERR},
        {"289 bytes", &valid, 289, CORE_ERR},
        {"a flipped ciphertext byte", &flipped_cipher, 288, CORE_ERR},
        {"sealed to another node's key", &to_c, 288, CORE_ERR},
        {"bytes 0..31 of another sender", &other_broadcast, 288, CORE_ERR},
    };
    for (const auto &row : cases) {
        const Bytes exact(row.message->begin(), row.message->begin() + long(row.length));
        NetcryptoKeySender sender;
        EXPECT_EQ(netcrypto_open_key_message(&b, NETCRYPTO_DISCOVERY, &from_a, exact.data(), exact.size(), &sender),
                  row.result)
            << row.purpose;
    }
}

// A message sealed by `openssl pkeyutl -encrypt` (OAEP with its SHA-1
// defaults) around a plaintext of ours is accepted.
TEST(KeyMessage, AcceptsOpensslPkeyutlEncryption)
{
    if (!openssl_available()) GTEST_SKIP() << "openssl command not available";
    const NetcryptoNode a = make_node(shared_key(0), kSetupA);
    const NetcryptoNode b = make_node(shared_key(1), kSetupB);
    const NetcryptoSessionKey key = fixed_key(NETCRYPTO_KEY_KIND_AES256);
    uint8_t plaintext[NETCRYPTO_KEY_PLAIN_MAX];
    uint64_t plaintext_length = sizeof(plaintext);
    ASSERT_EQ(netcrypto_key_plaintext_encode(&a, NETCRYPTO_DISCOVERY, b.broadcast_identity, &key, plaintext,
                                             &plaintext_length),
              CORE_OK);
    ASSERT_EQ(plaintext_length, 136u);

    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    ASSERT_TRUE(write_public_pem(dir.file("b.pem"), b.key));
    ASSERT_TRUE(write_file(dir.file("plain"), plaintext, plaintext_length));
    const std::string command = "openssl pkeyutl -encrypt -pubin -inkey " + dir.file("b.pem") +
                                " -pkeyopt rsa_padding_mode:oaep -in " + dir.file("plain") + " -out " +
                                dir.file("cipher");
    ASSERT_EQ(system(command.c_str()), 0) << command;
    const Bytes cipher = read_file(dir.file("cipher"));
    ASSERT_EQ(cipher.size(), 256u);
    Bytes message(a.broadcast_identity, a.broadcast_identity + 32);
    message.insert(message.end(), cipher.begin(), cipher.end());

    const CoreUdpAddr from_a = data_address(kSetupA);
    NetcryptoKeySender sender;
    ASSERT_EQ(netcrypto_open_key_message(&b, NETCRYPTO_DISCOVERY, &from_a, message.data(), message.size(), &sender),
              CORE_OK);
    EXPECT_EQ(sender.key.kind, NETCRYPTO_KEY_KIND_AES256);
    EXPECT_EQ(to_hex(sender.key.key, 32), to_hex(key.key, 32));
    EXPECT_EQ(to_hex(sender.identity.key, 32), to_hex(a.first_identity.key, 32));
}

}  // namespace
