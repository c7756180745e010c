#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/names.h"

namespace {

TEST(CoreName, TextMasksUnprintableBytesAndHexShowsAll)
{
    CoreName n = {};
    n.key[0] = 'a';
    n.key[1] = 0x01;
    n.key[2] = 0x80;
    n.key[3] = 'z';
    core_name_make(&n);
    EXPECT_STREQ(n.text, "a??z");
    EXPECT_EQ(std::string(n.hex).substr(0, 8), "6101807A");
    EXPECT_EQ(strlen(n.hex), 64u);

    CoreName leading_zero = {};
    leading_zero.key[1] = 'x';
    core_name_make(&leading_zero);
    EXPECT_STREQ(leading_zero.text, "");
    EXPECT_EQ(strlen(leading_zero.hex), 64u);
    EXPECT_EQ(std::string(leading_zero.hex).substr(0, 4), "0078");
}

TEST(CoreName, FormatCutsToThirtyTwoBytes)
{
    CoreName n;
    core_name_format(&n, "%s", "0123456789012345678901234567890123456789");  // 40 characters
    EXPECT_EQ(memcmp(n.key, "01234567890123456789012345678901", 32), 0);
    EXPECT_EQ(std::string(n.text), "01234567890123456789012345678901");

    uint8_t key[32];
    memset(key, 0xAA, sizeof(key));
    core_key_format(key, "stream.%08X", 0x12u);
    EXPECT_EQ(core_name_cmp_str(key, "stream.00000012"), 0);
}

TEST(CoreName, FromU64IsBigEndian)
{
    CoreName n;
    core_name_from_u64(&n, 0x0102030405060708ull);
    const uint8_t expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(n.key, expected, 8), 0);
    for (int i = 8; i < 32; ++i) EXPECT_EQ(n.key[i], 0);
    EXPECT_FALSE(core_name_is_empty(&n));
    CoreName empty = {};
    EXPECT_TRUE(core_name_is_empty(&empty));
}

TEST(CoreName, CmpStr)
{
    uint8_t key[32] = {};
    memcpy(key, "0123456789ABCDEF0123456789ABCDEF", 32);
    EXPECT_EQ(core_name_cmp_str(key, "0123456789ABCDEF0123456789ABCDEF"), 0);
    EXPECT_EQ(core_name_cmp_str(key, "0123456789ABCDEF0123456789ABCDEFX"), -1);  // 33 characters
    EXPECT_NE(core_name_cmp_str(key, "0123"), 0);
}

TEST(CoreName, HexToBytes)
{
    struct Case {
        const char *text;
        uint8_t first[3];
    } cases[] = {
        {"ABC", {0xAB, 0x0C, 0x00}},
        {"", {0, 0, 0}},
        {"zz12", {0x00, 0x12, 0x00}},  // a non-digit counts as 0
        {"ff00ee", {0xFF, 0x00, 0xEE}},
    };
    for (const Case &c : cases) {
        uint8_t out[32];
        memset(out, 0x55, sizeof(out));
        core_hex_to_bytes(out, c.text);
        EXPECT_EQ(memcmp(out, c.first, 3), 0) << c.text;
        for (int i = 3; i < 32; ++i) EXPECT_EQ(out[i], 0) << c.text;
    }
    // 65 digits: only the first 64 count.
    std::string long_text(64, 'F');
    long_text += "1";
    uint8_t out[32];
    core_hex_to_bytes(out, long_text.c_str());
    for (uint8_t b : out) EXPECT_EQ(b, 0xFF);
}

TEST(CoreName, ToHexRespectsBufferSize)
{
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
    char small[7];
    core_name_to_hex(key, small, sizeof(small));
    EXPECT_STREQ(small, "000102");
    char full[65];
    core_name_to_hex(key, full, sizeof(full));
    EXPECT_EQ(std::string(full).substr(56), "1C1D1E1F");
}

TEST(CoreName, XorAndReverse)
{
    uint8_t a[32], b[32];
    for (int i = 0; i < 32; ++i) {
        a[i] = static_cast<uint8_t>(i);
        b[i] = 0xFF;
    }
    core_xor32(a, b);
    EXPECT_EQ(a[0], 0xFF);
    EXPECT_EQ(a[31], 0xE0);
    core_xor32(a, a);  // overlapping: the whole buffer becomes zero
    for (uint8_t v : a) EXPECT_EQ(v, 0);

    for (int i = 0; i < 32; ++i) a[i] = static_cast<uint8_t>(i);
    core_reverse32(a);
    EXPECT_EQ(a[0], 31);
    EXPECT_EQ(a[31], 0);
}

TEST(CoreName, ParseHexRanges)
{
    CoreName n;
    core_name_format(&n, "ops.seq.%016llx", 0xABCull);
    uint64_t out = 0;
    struct Case {
        uint32_t offset, count;
        CoreResult result;
    } cases[] = {
        {8, 24, CORE_OK},
        {33, 0, CORE_FAIL},   // offset past the key
        {20, 13, CORE_FAIL},  // range past the key
        {24, 8, CORE_FAIL},   // starts on a zero byte
    };
    for (const Case &c : cases) EXPECT_EQ(core_name_parse_hex(&out, n.key, c.offset, c.count), c.result);
    ASSERT_EQ(core_name_parse_hex(&out, n.key, 8, 24), CORE_OK);
    EXPECT_EQ(out, 0xABCull);

    // 24 hex digits do not fit in 64 bits: refused rather than wrapped.
    core_name_format(&n, "ops.seq.%s", "ffffffffffffffffffffffff");
    EXPECT_EQ(core_name_parse_hex(&out, n.key, 8, 24), CORE_FAIL);
}

TEST(CoreSeq, ParseRecognisesTheEightPrefixes)
{
    const char *prefixes[] = {CORE_SEQ_SSN, CORE_SEQ_OPS, CORE_SEQ_HST, CORE_SEQ_MSG,
                              CORE_SEQ_FTR, CORE_SEQ_BND, CORE_SEQ_UIN, CORE_SEQ_GRL};
    for (const char *p : prefixes) {
        CoreName n;
        core_name_format(&n, "%s%016llx", p, 0x1234ull);
        uint64_t out = 0;
        EXPECT_EQ(core_seq_parse(&out, &n), CORE_OK) << p;
        EXPECT_EQ(out, 0x1234u) << p;
    }
    CoreName n;
    core_name_format(&n, "ops.seq.00000000000000ff");
    uint64_t out = 0;
    EXPECT_EQ(core_seq_parse(&out, &n), CORE_OK);
    EXPECT_EQ(out, 255u);

    core_name_format(&n, "xyz.seq.00000000000000ff");
    EXPECT_EQ(core_seq_parse(&out, &n), CORE_FAIL);
}

TEST(CoreSeq, ConsecutiveValuesOnOneThread)
{
    // Within one millisecond two values differ by exactly one; across a
    // millisecond boundary by more. Either way they increase.
    uint64_t a = core_seq_next();
    uint64_t b = core_seq_next();
    EXPECT_GE(b, a + 1);
    CoreName n;
    uint64_t value = 0;
    core_seq_name(&n, CORE_SEQ_BND, &value);
    uint64_t parsed = 0;
    ASSERT_EQ(core_seq_parse(&parsed, &n), CORE_OK);
    EXPECT_EQ(parsed, value);
    EXPECT_GT(value, b);
}

TEST(CoreResultName, KnownAndUnknown)
{
    EXPECT_STREQ(core_result_name(CORE_ERR_NOT_FOUND), "CORE_ERR_NOT_FOUND");
    EXPECT_STREQ(core_result_name(-3), "CORE_RESULT_UNKNOWN");
}

}  // namespace
