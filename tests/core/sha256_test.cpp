#include <gtest/gtest.h>

#include <cstring>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <vector>

#include "core/names.h"
#include "core/sha256.h"

namespace {

std::string hex(const uint8_t *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string ours(const void *data, size_t n)
{
    CoreSha256 c;
    core_sha256_init(&c);
    core_sha256_update(&c, data, n);
    uint8_t digest[32];
    core_sha256_final(&c, digest);
    return hex(digest, 32);
}

std::string reference(const void *data, size_t n)
{
    uint8_t digest[32];
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(data, n, digest, &len, EVP_sha256(), nullptr), 1);
    return hex(digest, 32);
}

TEST(Sha256, Fips180Vectors)
{
    struct Case {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case &c : cases) EXPECT_EQ(ours(c.message.data(), c.message.size()), c.digest) << c.message.size();
}

// Every length around the padding boundaries (55/56/64 bytes and their
// multiples), fed whole and in uneven pieces so that the block buffer is
// filled from several updates.
TEST(Sha256, MatchesLibraryForLengthsUpTo300InAnySplit)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(300);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    for (size_t n = 0; n <= data.size(); ++n) {
        std::vector<uint8_t> exact(data.begin(), data.begin() + static_cast<long>(n));
        std::string expected = reference(exact.data(), n);
        EXPECT_EQ(ours(exact.data(), n), expected) << n;

        CoreSha256 c;
        core_sha256_init(&c);
        for (size_t at = 0; at < n;) {
            size_t piece = std::min<size_t>(n - at, rng() % 70);
            core_sha256_update(&c, exact.data() + at, piece);
            at += piece;
        }
        uint8_t digest[32];
        core_sha256_final(&c, digest);
        EXPECT_EQ(hex(digest, 32), expected) << "split " << n;
    }
}

// The descriptor head is laid out as direction, acceleration, class, input
// and output FourCC, device number, then the codec name.
struct DescriptorHead {
    uint32_t words[5];
    int32_t device;
    char name[256];
    char family[256];  // follows the name; must not be hashed
};

TEST(Sha256, NameHashesSeedHeadDeviceAndText)
{
    DescriptorHead d = {};
    d.words[0] = 1;
    d.words[1] = 2;
    d.words[3] = 0x3231564E;  // "NV12"
    d.words[4] = 0x34363248;  // "H264"
    strcpy(d.name, "h264enc");
    strcpy(d.family, "Libav");

    struct Case {
        const char *purpose;
        int32_t seed;
        int32_t device;
        std::vector<uint8_t> prefix;  // before the head
        bool device_hashed;
    } cases[] = {
        {"no seed, no device: only the 20 head bytes and the text", -1, -1, {}, false},
        {"seed least significant byte first", 0x01020304, -1, {4, 3, 2, 1}, false},
        {"device number as stored", -1, 7, {}, true},
        {"both", 0, 255, {0, 0, 0, 0}, true},
    };
    for (const Case &c : cases) {
        d.device = c.device;
        std::vector<uint8_t> bytes = c.prefix;
        const uint8_t *raw = reinterpret_cast<const uint8_t *>(&d);
        bytes.insert(bytes.end(), raw, raw + 20);
        if (c.device_hashed) bytes.insert(bytes.end(), raw + 20, raw + 24);
        bytes.insert(bytes.end(), d.name, d.name + strlen(d.name));

        CoreName name;
        memset(&name, 0xEE, sizeof(name));
        core_sha256_name(&d, c.seed, &name);
        EXPECT_EQ(hex(name.key, 32), reference(bytes.data(), bytes.size())) << c.purpose;
        CoreName made = name;
        core_name_make(&made);
        EXPECT_STREQ(name.hex, made.hex) << c.purpose;
        EXPECT_STREQ(name.text, made.text) << c.purpose;
    }
}

// A name field without a terminator is hashed up to the end of the field,
// never into the next one.
TEST(Sha256, NameStopsAtTheEndOfTheNameField)
{
    DescriptorHead d = {};
    d.device = -1;
    memset(d.name, 'n', sizeof(d.name));
    strcpy(d.family, "Libvpx");
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(&d), reinterpret_cast<const uint8_t *>(&d) + 20);
    bytes.insert(bytes.end(), d.name, d.name + sizeof(d.name));
    CoreName name;
    core_sha256_name(&d, -1, &name);
    EXPECT_EQ(hex(name.key, 32), reference(bytes.data(), bytes.size()));
}

}  // namespace
