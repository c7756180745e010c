#include "core/base64.h"

#include <cstddef>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t value_of(char c)
{
    if (c >= 'A' && c <= 'Z') return uint32_t(c - 'A');
    if (c >= 'a' && c <= 'z') return uint32_t(c - 'a' + 26);
    if (c >= '0' && c <= '9') return uint32_t(c - '0' + 52);
    if (c == '+' || c == '-' || c == '.') return 62;
    if (c == '/' || c == '_' || c == ',') return 63;
    return 0;
}

}  // namespace

char *core_base64_encode(const void *bytes, uint64_t length, uint64_t *out_length)
{
    if (out_length != nullptr) *out_length = 0;
    uint64_t groups = length / 3 + (length % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4) return nullptr;
    uint64_t size = groups * 4;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (text == nullptr) return nullptr;

    const uint8_t *in = static_cast<const uint8_t *>(bytes);
    char *out = text;
    uint64_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    if (i < length) {
        bool two = i + 1 < length;
        uint32_t v = (uint32_t(in[i]) << 16) | (two ? uint32_t(in[i + 1]) << 8 : 0);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = two ? kAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
    *out = '\0';
    if (out_length != nullptr) *out_length = size;
    return text;
}

uint8_t *core_base64_decode(const char *text, uint64_t length, uint64_t *out_length)
{
    if (out_length != nullptr) *out_length = 0;
    if (text == nullptr) length = 0;
    // The last group is partial when it is short or padded; its bytes come
    // from the characters that are really there, so a text of 4n + 1
    // characters never makes us read past its end.
    bool partial = length != 0 && (length % 4 != 0 || text[length - 1] == '=');
    uint64_t full = length / 4 + (length % 4 != 0) - (partial ? 1 : 0);
    uint64_t tail = length - full * 4;  // characters of the partial group, 0 to 4
    uint64_t size = full * 3 + (tail >= 2 ? 2 : 0);
    uint8_t *bytes = static_cast<uint8_t *>(malloc(static_cast<size_t>(size) + 1));
    if (bytes == nullptr) return nullptr;

    uint8_t *out = bytes;
    const char *in = text;
    for (uint64_t g = 0; g < full; ++g, in += 4) {
        uint32_t v = (value_of(in[0]) << 18) | (value_of(in[1]) << 12) | (value_of(in[2]) << 6) | value_of(in[3]);
        *out++ = uint8_t(v >> 16);
        *out++ = uint8_t(v >> 8);
        *out++ = uint8_t(v);
    }
    if (tail >= 2) {
        uint32_t v = (value_of(in[0]) << 18) | (value_of(in[1]) << 12);
        *out++ = uint8_t(v >> 16);
        if (tail >= 3 && in[2] != '=') {
            v |= value_of(in[2]) << 6;
            *out++ = uint8_t(v >> 8);
        }
    }
    *out = '\0';
    if (out_length != nullptr) *out_length = static_cast<uint64_t>(out - bytes);
    return bytes;
}
