#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "services/digest.h"

namespace {

std::string core_hex(const std::vector<uint8_t> &data)
{
    CoreSha256 context;
    core_sha256_init(&context);
    core_sha256_update(&context, data.data(), data.size());
    uint8_t digest[CORE_SHA256_DIGEST_SIZE];
    core_sha256_final(&context, digest);
    std::string text;
    char two[3];
    for (uint8_t byte : digest) {
        snprintf(two, sizeof(two), "%02X", byte);
        text += two;
    }
    return text;
}

}  // namespace

TEST(PkSha256, KnownDigests)
{
    PkSha256Holder holder;
    ASSERT_EQ(0, pk_sha256_new(&holder));
    EXPECT_EQ("E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", pk_sha256_hex(&holder));

    ASSERT_EQ(0, pk_sha256_new(&holder));
    ASSERT_EQ(0, pk_sha256_update(&holder, "abc", 3));
    const std::string abc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    EXPECT_EQ(abc, pk_sha256_hex(&holder));
    EXPECT_EQ(abc, pk_sha256_hex(&holder));  // finishing leaves the context usable
}

TEST(PkSha256, ChunkedInputMatchesOneShot)
{
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 131 + (i >> 7));
    PkSha256Holder holder;
    ASSERT_EQ(0, pk_sha256_new(&holder));
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 1000 + 1)
        ASSERT_EQ(0, pk_sha256_update(&holder, data.data() + at, std::min(step, data.size() - at)));
    EXPECT_EQ(core_hex(data), pk_sha256_hex(&holder));
}

TEST(PkSha256, HolderLifecycle)
{
    PkSha256Holder holder;
    pk_sha256_free(&holder);  // empty: nothing happens
    EXPECT_EQ(nullptr, holder.context);
    EXPECT_EQ(-1, pk_sha256_update(&holder, "x", 1));
    EXPECT_EQ("", pk_sha256_hex(&holder));

    // A second new replaces the fed context with a fresh one.
    ASSERT_EQ(0, pk_sha256_new(&holder));
    ASSERT_EQ(0, pk_sha256_update(&holder, "abc", 3));
    ASSERT_EQ(0, pk_sha256_new(&holder));
    EXPECT_EQ(core_hex({}), pk_sha256_hex(&holder));
    pk_sha256_free(&holder);
    EXPECT_EQ(nullptr, holder.context);
}
