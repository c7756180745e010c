#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/crypto.h"
#include "core/random.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t *bytes, size_t n)
{
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof(two), "%02x", bytes[i]);
        s += two;
    }
    return s;
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// A scratch folder for files handed to the openssl command; removed with
// everything in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/veltrana-crypto-XXXXXX";
        if (mkdtemp(name) != nullptr) path = name;
    }
    ~TempDir()
    {
        if (!path.empty()) system(("rm -rf " + path).c_str());
    }
    std::string file(const char *leaf) const { return path + "/" + leaf; }
};

bool write_file(const std::string &path, const uint8_t *data, size_t n)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

Bytes read_file(const std::string &path)
{
    Bytes out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), f)) > 0;) out.insert(out.end(), chunk, chunk + got);
    fclose(f);
    return out;
}

bool openssl_available() { return system("openssl version >/dev/null 2>&1") == 0; }

// FIPS-197 Appendix C: the same plaintext under the three key sizes.
TEST(Aes, Fips197AppendixC)
{
    const Bytes plain = from_hex("00112233445566778899aabbccddeeff");
    const struct {
        const char *key;
        const char *cipher;
    } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto &c : cases) {
        Bytes key = from_hex(c.key);
        CoreAesKey *aes = core_aes_create(key.data(), key.size());
        ASSERT_NE(aes, nullptr) << key.size();
        // Three blocks, so a loop that handles only the first block shows.
        Bytes in;
        for (int i = 0; i < 3; ++i) in.insert(in.end(), plain.begin(), plain.end());
        Bytes out(in.size());
        ASSERT_EQ(core_aes_encrypt(aes, out.data(), in.data(), in.size()), CORE_OK);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(to_hex(out.data() + 16 * i, 16), c.cipher) << key.size();

        Bytes same = out;  // in place
        ASSERT_EQ(core_aes_decrypt(aes, same.data(), same.data(), same.size()), CORE_OK);
        EXPECT_EQ(same, in) << key.size();
        core_aes_destroy(&aes);
        EXPECT_EQ(aes, nullptr);
    }
}

TEST(Aes, MatchesOpensslEncOnRandomData)
{
    if (!openssl_available()) GTEST_SKIP() << "openssl command not available";
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    for (size_t key_size : {16u, 24u, 32u}) {
        Bytes key = random_bytes(key_size, static_cast<uint32_t>(key_size));
        Bytes in = random_bytes(1440, 99);
        ASSERT_TRUE(write_file(dir.file("in"), in.data(), in.size()));
        std::string command = "openssl enc -aes-" + std::to_string(key_size * 8) + "-ecb -nopad -K " +
                              to_hex(key.data(), key.size()) + " -in " + dir.file("in") + " -out " + dir.file("out");
        ASSERT_EQ(system(command.c_str()), 0) << command;

        CoreAesKey *aes = core_aes_create(key.data(), key.size());
        ASSERT_NE(aes, nullptr);
        Bytes out(in.size());
        ASSERT_EQ(core_aes_encrypt(aes, out.data(), in.data(), in.size()), CORE_OK);
        EXPECT_EQ(out, read_file(dir.file("out"))) << key_size;
        core_aes_destroy(&aes);
    }
}

TEST(Aes, RefusesBadKeyAndDataLengths)
{
    uint8_t key[40] = {};
    for (uint64_t n : {0u, 15u, 20u, 40u}) EXPECT_EQ(core_aes_create(key, n), nullptr) << n;

    CoreAesKey *aes = core_aes_create(key, 16);
    ASSERT_NE(aes, nullptr);
    uint8_t in[48] = {};
    uint8_t out[48];
    memset(out, 0x5A, sizeof(out));
    EXPECT_EQ(core_aes_encrypt(aes, out, in, 33), CORE_ERR);
    EXPECT_EQ(core_aes_decrypt(aes, out, in, 17), CORE_ERR);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A) << "a refused length wrote output";
    EXPECT_EQ(core_aes_encrypt(aes, out, in, 0), CORE_OK);
    EXPECT_EQ(core_aes_encrypt(nullptr, out, in, 16), CORE_ERR);
    core_aes_destroy(&aes);
    core_aes_destroy(&aes);  // cleared pointer: nothing to do
}

// One key sealing and opening datagrams on several threads at once, more
// threads than the key keeps idle contexts for. Any sharing of a cipher
// context shows as wrong bytes or, under ThreadSanitizer, as a race.
TEST(Aes, OneKeySharedByManyThreads)
{
    Bytes key = random_bytes(32, 5);
    CoreAesKey *aes = core_aes_create(key.data(), key.size());
    ASSERT_NE(aes, nullptr);
    const Bytes plain = random_bytes(1440, 6);
    Bytes expected(plain.size());
    ASSERT_EQ(core_aes_encrypt(aes, expected.data(), plain.data(), plain.size()), CORE_OK);

    std::vector<std::thread> threads;
    std::vector<int> failures(12, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            Bytes buffer(plain.size());
            for (int i = 0; i < 300; ++i) {
                if (core_aes_encrypt(aes, buffer.data(), plain.data(), plain.size()) != CORE_OK || buffer != expected)
                    ++failures[t];
                if (core_aes_decrypt(aes, buffer.data(), buffer.data(), buffer.size()) != CORE_OK || buffer != plain)
                    ++failures[t];
            }
        });
    }
    for (auto &t : threads) t.join();
    for (size_t t = 0; t < failures.size(); ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    core_aes_destroy(&aes);
}

class Rsa : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key_ = core_rsa_generate(); }
    static void TearDownTestSuite()
    {
        EVP_PKEY_free(key_);
        key_ = nullptr;
    }
    static EVP_PKEY *key_;
};
EVP_PKEY *Rsa::key_ = nullptr;

TEST_F(Rsa, GeneratesA2048BitKeyWithExponent65537)
{
    ASSERT_NE(key_, nullptr);
    EXPECT_EQ(EVP_PKEY_get_base_id(key_), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(key_), 2048);
    BIGNUM *e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_RSA_E, &e), 1);
    EXPECT_EQ(BN_get_word(e), 65537u);
    BN_free(e);
}

TEST_F(Rsa, OutputSizeAndCapacity)
{
    ASSERT_NE(key_, nullptr);
    const struct {
        const char *purpose;
        uint64_t input;
        uint64_t capacity;
        CoreResult result;
        uint64_t written;
    } cases[] = {
        {"two full chunks need exactly 512 bytes", 416, 512, CORE_OK, 512},
        {"one byte short of room", 416, 511, CORE_ERR, 0},
        {"a shorter last chunk still makes a whole block", 300, 600, CORE_OK, 512},
        {"one chunk", 208, 256, CORE_OK, 256},
        {"one byte over a chunk needs a second block", 209, 256, CORE_ERR, 0},
        {"empty input writes nothing", 0, 0, CORE_OK, 0},
    };
    Bytes in = random_bytes(416, 1);
    for (const auto &c : cases) {
        Bytes out(c.capacity + 1, 0xA5);
        uint64_t length = c.capacity;
        EXPECT_EQ(core_rsa_encrypt(key_, out.data(), &length, in.data(), c.input), c.result) << c.purpose;
        EXPECT_EQ(length, c.written) << c.purpose;
        EXPECT_EQ(out[c.capacity], 0xA5) << c.purpose << ": wrote past the capacity";
    }
}

// Each 256-byte block must open with a standard OAEP decryption (SHA-1,
// MGF1-SHA-1 are the command's defaults) to its 208-byte chunk of input.
TEST_F(Rsa, EachBlockDecryptsWithOpensslPkeyutl)
{
    ASSERT_NE(key_, nullptr);
    if (!openssl_available()) GTEST_SKIP() << "openssl command not available";
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    FILE *pem = fopen(dir.file("key.pem").c_str(), "w");
    ASSERT_NE(pem, nullptr);
    ASSERT_EQ(PEM_write_PrivateKey(pem, key_, nullptr, nullptr, 0, nullptr, nullptr), 1);
    fclose(pem);

    const Bytes in = random_bytes(500, 2);  // chunks of 208, 208 and 84 bytes
    Bytes out(3 * 256);
    uint64_t length = out.size();
    ASSERT_EQ(core_rsa_encrypt(key_, out.data(), &length, in.data(), in.size()), CORE_OK);
    ASSERT_EQ(length, 768u);
    for (size_t block = 0; block < 3; ++block) {
        ASSERT_TRUE(write_file(dir.file("block"), out.data() + 256 * block, 256));
        std::string command = "openssl pkeyutl -decrypt -inkey " + dir.file("key.pem") +
                              " -pkeyopt rsa_padding_mode:oaep -in " + dir.file("block") + " -out " + dir.file("plain");
        ASSERT_EQ(system(command.c_str()), 0) << command;
        size_t start = 208 * block;
        size_t n = std::min<size_t>(208, in.size() - start);
        EXPECT_EQ(read_file(dir.file("plain")), Bytes(in.begin() + static_cast<long>(start),
                                                      in.begin() + static_cast<long>(start + n)))
            << "block " << block;
    }
}

// Sign, recover and decrypt: block rules and capacities. A recovered or
// decrypted block comes from a peer, so no outcome may write past the
// capacity the caller gave.
TEST_F(Rsa, SignRecoverDecryptBlocksAndCapacity)
{
    ASSERT_NE(key_, nullptr);
    const Bytes part = random_bytes(300, 3);
    Bytes signature(512);
    uint64_t signature_length = signature.size();
    // 300 bytes sign in pieces of 240 and 60: two blocks.
    ASSERT_EQ(core_rsa_sign(key_, signature.data(), &signature_length, part.data(), part.size()), CORE_OK);
    ASSERT_EQ(signature_length, 512u);
    Bytes short_room(256);
    uint64_t short_length = short_room.size();
    EXPECT_EQ(core_rsa_sign(key_, short_room.data(), &short_length, part.data(), part.size()), CORE_ERR);
    EXPECT_EQ(short_length, 0u);

    Bytes cipher(256);
    uint64_t cipher_length = cipher.size();
    ASSERT_EQ(core_rsa_encrypt(key_, cipher.data(), &cipher_length, part.data(), 136), CORE_OK);
    Bytes flipped = signature;
    flipped[100] ^= 0x01;

    using Op = CoreResult (*)(EVP_PKEY *, uint8_t *, uint64_t *, const uint8_t *, uint64_t);
    const struct {
        const char *purpose;
        Op op;
        const Bytes *input;
        uint64_t input_length;
        uint64_t capacity;
        CoreResult result;
        uint64_t written;
    } cases[] = {
        {"both signed pieces come back in order", core_rsa_recover, &signature, 512, 300, CORE_OK, 300},
        {"one byte short of the recovered total", core_rsa_recover, &signature, 512, 299, CORE_ERR, 0},
        {"a part of a block is refused", core_rsa_recover, &signature, 255, 300, CORE_ERR, 0},
        {"a block and a byte are refused", core_rsa_recover, &signature, 257, 300, CORE_ERR, 0},
        {"a flipped signature byte does not verify", core_rsa_recover, &flipped, 512, 300, CORE_ERR, 0},
        {"the OAEP block opens to its plaintext", core_rsa_decrypt, &cipher, 256, 136, CORE_OK, 136},
        {"plaintext one byte over the capacity", core_rsa_decrypt, &cipher, 256, 135, CORE_ERR, 0},
        {"a signature is no OAEP block", core_rsa_decrypt, &signature, 256, 256, CORE_ERR, 0},
        {"empty input opens to nothing", core_rsa_decrypt, &cipher, 0, 0, CORE_OK, 0},
    };
    for (const auto &c : cases) {
        Bytes out(c.capacity + 1, 0xA5);
        uint64_t length = c.capacity;
        EXPECT_EQ(c.op(key_, out.data(), &length, c.input->data(), c.input_length), c.result) << c.purpose;
        EXPECT_EQ(length, c.written) << c.purpose;
        EXPECT_EQ(out[c.capacity], 0xA5) << c.purpose << ": wrote past the capacity";
        if (c.result == CORE_OK) {
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + long(c.written), part.begin())) << c.purpose;
        }
    }
}

TEST_F(Rsa, PublicKeyDerRoundTripAndRefusals)
{
    ASSERT_NE(key_, nullptr);
    Bytes der(270);
    uint64_t length = der.size() - 1;
    EXPECT_EQ(core_rsa_public_to_der(key_, der.data(), &length), CORE_ERR) << "269 bytes of room";
    length = der.size();
    ASSERT_EQ(core_rsa_public_to_der(key_, der.data(), &length), CORE_OK);
    ASSERT_EQ(length, 270u);
    EXPECT_EQ(der[0], 0x30) << "a SEQUENCE of modulus and exponent";

    Bytes padded = der;
    padded.resize(300, 0);
    EVP_PKEY *back = core_rsa_public_from_der(padded.data(), padded.size());
    ASSERT_NE(back, nullptr) << "bytes after the encoding are ignored";
    EXPECT_EQ(EVP_PKEY_eq(back, key_), 1);
    EVP_PKEY_free(back);

    Bytes bad_tag = der;
    bad_tag[0] = 0x31;
    for (const auto &[purpose, bytes, n] : {std::tuple{"cut short", &der, uint64_t(269)},
                                           std::tuple{"wrong outer tag", &bad_tag, uint64_t(270)},
                                           std::tuple{"nothing", &der, uint64_t(0)}}) {
        EVP_PKEY *key = core_rsa_public_from_der(bytes->data(), n);
        EXPECT_EQ(key, nullptr) << purpose;
        EVP_PKEY_free(key);
    }
}

int constant_rand(void *) { return 0x1234; }

TEST(RandomKey, LengthsAndSource)
{
    uint8_t buffer[33];
    for (uint64_t n : {0u, 8u, 20u, 33u}) EXPECT_EQ(core_random_key(buffer, n), CORE_ERR) << n;

    // Keys must not come from the per-thread generator: with it stuck on one
    // value, two keys still differ.
    core_rand_set_hook(constant_rand, nullptr);
    for (uint64_t n : {16u, 24u, 32u}) {
        uint8_t a[32] = {}, b[32] = {};
        EXPECT_EQ(core_random_key(a, n), CORE_OK) << n;
        EXPECT_EQ(core_random_key(b, n), CORE_OK) << n;
        EXPECT_NE(memcmp(a, b, n), 0) << n;
        uint8_t zero[32] = {};
        EXPECT_NE(memcmp(a, zero, n), 0) << n;
    }
    core_rand_set_hook(nullptr, nullptr);
}

}  // namespace
