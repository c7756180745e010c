// What both modes of the test node share: JSON lines on stdout, written
// whole from any thread, and the text forms of addresses and bytes.
#pragma once

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/sha256.h"
#include "core/udp.h"

namespace testnode {

inline std::mutex g_out;

// One line, written whole: callbacks print from several threads.
inline void emit(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void emit(const char *format, ...)
{
    std::lock_guard<std::mutex> guard(g_out);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

inline std::string address_text(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

inline std::string hex_of(const uint8_t *bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// The first `bytes` bytes of the data's SHA-256, as hex.
inline std::string sha_hex(const void *data, size_t length, size_t bytes)
{
    CoreSha256 sha;
    uint8_t digest[CORE_SHA256_DIGEST_SIZE];
    core_sha256_init(&sha);
    core_sha256_update(&sha, data, length);
    core_sha256_final(&sha, digest);
    return hex_of(digest, bytes < sizeof(digest) ? bytes : sizeof(digest));
}

inline bool parse_endpoint(const char *text, CoreUdpAddr *out)
{
    char host[64];
    unsigned port = 0;
    if (sscanf(text, "%63[^:]:%u", host, &port) != 2 || port == 0 || port > 65535) return false;
    if (inet_pton(AF_INET, host, &out->address) != 1) return false;
    out->port = htons(static_cast<uint16_t>(port));
    return true;
}

}  // namespace testnode
