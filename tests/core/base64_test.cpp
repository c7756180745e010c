#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/base64.h"

namespace {

// The text handed to the decoder lives in an allocation of exactly its
// length, so AddressSanitizer catches a read past its end.
std::string decode(const std::string &text)
{
    std::vector<char> exact(text.begin(), text.end());
    uint64_t n = 12345;
    uint8_t *bytes = core_base64_decode(exact.data(), exact.size(), &n);
    EXPECT_NE(bytes, nullptr);
    if (bytes == nullptr) return "<null>";
    EXPECT_EQ(bytes[n], 0) << "terminator";
    std::string out(reinterpret_cast<char *>(bytes), n);
    free(bytes);
    return out;
}

std::string encode(const std::string &bytes)
{
    std::vector<char> exact(bytes.begin(), bytes.end());
    uint64_t n = 12345;
    char *text = core_base64_encode(exact.data(), exact.size(), &n);
    EXPECT_NE(text, nullptr);
    if (text == nullptr) return "<null>";
    std::string out(text, n);
    free(text);
    return out;
}

TEST(Base64, Rfc4648VectorsBothWays)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
    };
    for (const auto &[bytes, text] : cases) {
        EXPECT_EQ(encode(bytes), text);
        EXPECT_EQ(decode(text), bytes) << text;
    }
}

TEST(Base64, LenientDecoding)
{
    const struct {
        const char *purpose;
        std::string text;
        std::string bytes;
    } cases[] = {
        {"padding left out", "YWI", "ab"},
        {"one byte, padding left out", "YQ", "a"},
        {"one padding character of two", "YQ=", "a"},
        {"a lone last character gives nothing", "YWJjZ", "abc"},
        {"a lone character alone gives nothing", "Z", ""},
        {"a lone '=' after full groups", "YWJj=", "abc"},
        {"URL-safe and legacy characters decode like + and /", "-_.,", std::string("\xfb\xff\xbf", 3)},
        {"the same with the standard characters", "+/+/", std::string("\xfb\xff\xbf", 3)},
        {"characters outside the alphabet count as A", "Y*Jj", std::string("`\x02" "c", 3)},
        {"the third character '=' ends the last group", "YQ==", "a"},
    };
    for (const auto &c : cases) EXPECT_EQ(decode(c.text), c.bytes) << c.purpose;
}

TEST(Base64, EncodeMatchesCoreutilsAndRoundTrips)
{
    char dir[] = "/tmp/veltrana-b64-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/in";
    std::mt19937 rng(42);
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 57u, 58u, 59u, 1000u, 4096u, 65537u}) {
        std::string bytes(n, '\0');
        for (char &b : bytes) b = static_cast<char>(rng());
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, n, f);
        fclose(f);

        FILE *p = popen(("base64 -w0 " + path).c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string expected;
        char chunk[4096];
        for (size_t got; (got = fread(chunk, 1, sizeof(chunk), p)) > 0;) expected.append(chunk, got);
        int status = pclose(p);
        if (status != 0) {
            unlink(path.c_str());
            rmdir(dir);
            GTEST_SKIP() << "base64 (coreutils) is not available";
        }
        std::string text = encode(bytes);
        EXPECT_EQ(text, expected) << n;
        EXPECT_EQ(text.size(), 4 * ((n + 2) / 3)) << n;
        EXPECT_EQ(decode(text), bytes) << n;
    }
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
