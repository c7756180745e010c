#include "core/names.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/clock.h"
#include "core/random.h"

namespace {

const char *const kSeqPrefixes[] = {
    CORE_SEQ_SSN, CORE_SEQ_OPS, CORE_SEQ_HST, CORE_SEQ_MSG,
    CORE_SEQ_FTR, CORE_SEQ_BND, CORE_SEQ_UIN, CORE_SEQ_GRL,
};

// The printable copy: control bytes and bytes from 127 up become '?', zero
// stays zero so the text ends where the key's text ends.
void printable_copy(const uint8_t *key, char out[CORE_NAME_KEY_SIZE + 1])
{
    for (int i = 0; i < CORE_NAME_KEY_SIZE; ++i) {
        uint8_t b = key[i];
        out[i] = (b == 0) ? '\0' : (b < 32 || b >= 127) ? '?' : static_cast<char>(b);
    }
    out[CORE_NAME_KEY_SIZE] = '\0';
}

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void format_into_key(uint8_t key[CORE_NAME_KEY_SIZE], const char *format, va_list args)
{
    char buffer[66];
    int length = vsnprintf(buffer, sizeof(buffer), format, args);
    memset(key, 0, CORE_NAME_KEY_SIZE);
    if (length <= 0) return;
    size_t used = static_cast<size_t>(length) < sizeof(buffer) ? static_cast<size_t>(length) : sizeof(buffer) - 1;
    memcpy(key, buffer, used < CORE_NAME_KEY_SIZE ? used : CORE_NAME_KEY_SIZE);
}

// The counter, the clock read and the result are taken under one lock:
// two threads must never be handed the same number, and a later call must
// never get a smaller one, since posted messages and binding sessions are
// told apart by these numbers.
struct SeqState {
    std::mutex lock;
    uint64_t counter = 0;
    uint64_t base = 0;
    bool seeded = false;
};

SeqState &seq_state()
{
    static SeqState state;
    return state;
}

}  // namespace

CoreName *core_name_make(CoreName *name)
{
    if (name == nullptr) return nullptr;
    printable_copy(name->key, name->text);
    memset(name->text + CORE_NAME_KEY_SIZE, 0, sizeof(name->text) - CORE_NAME_KEY_SIZE);
    memset(name->hex, 0, sizeof(name->hex));
    core_name_to_hex(name->key, name->hex, sizeof(name->hex));
    return name;
}

CoreName *core_name_format(CoreName *name, const char *format, ...)
{
    memset(name, 0, sizeof(*name));
    va_list args;
    va_start(args, format);
    format_into_key(name->key, format, args);
    va_end(args);
    return core_name_make(name);
}

CoreName core_name_of(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return name;
}

uint8_t *core_key_format(uint8_t key[CORE_NAME_KEY_SIZE], const char *format, ...)
{
    va_list args;
    va_start(args, format);
    format_into_key(key, format, args);
    va_end(args);
    return key;
}

CoreName *core_name_from_u64(CoreName *name, uint64_t value)
{
    memset(name, 0, sizeof(*name));
    for (int i = 0; i < 8; ++i) name->key[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
    return core_name_make(name);
}

bool core_name_is_empty(const CoreName *name)
{
    for (uint8_t b : name->key)
        if (b != 0) return false;
    return true;
}

int core_compare_key32(const uint8_t *a, const uint8_t *b)
{
    return memcmp(a, b, CORE_NAME_KEY_SIZE);
}

char *core_name_to_hex(const uint8_t *key, char *out, size_t size)
{
    if (out == nullptr || size == 0) return out;
    memset(out, 0, size);
    size_t bytes = size / 2 < CORE_NAME_KEY_SIZE ? size / 2 : CORE_NAME_KEY_SIZE;
    static const char digits[] = "0123456789ABCDEF";
    size_t pos = 0;
    for (size_t i = 0; i < bytes && pos + 2 < size; ++i) {
        out[pos++] = digits[key[i] >> 4];
        out[pos++] = digits[key[i] & 15];
    }
    return out;
}

uint8_t *core_hex_to_bytes(uint8_t out[CORE_NAME_KEY_SIZE], const char *text)
{
    memset(out, 0, CORE_NAME_KEY_SIZE);
    if (text == nullptr) return out;
    for (size_t i = 0; i < 64 && text[i] != '\0'; ++i) {
        int v = hex_digit_value(text[i]);
        if (v < 0) v = 0;
        uint8_t &b = out[i / 2];
        if (i % 2 == 0)
            b = static_cast<uint8_t>(v);
        else
            b = static_cast<uint8_t>((b << 4) | v);
    }
    return out;
}

CoreResult core_name_parse_hex(uint64_t *out, const uint8_t *key, uint32_t offset, uint32_t count)
{
    if (offset > CORE_NAME_KEY_SIZE || count > CORE_NAME_KEY_SIZE - offset) return CORE_FAIL;
    char text[CORE_NAME_KEY_SIZE + 1];
    printable_copy(key, text);
    const char *digits = text + offset;
    if (count == 0 || digits[0] == '\0') return CORE_FAIL;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int v = hex_digit_value(digits[i]);
        if (v < 0) break;
        // A 24-digit field can hold more than 64 bits; a silently wrapped
        // number would name some other message.
        if (value >> 60) return CORE_FAIL;
        value = (value << 4) | static_cast<uint64_t>(v);
    }
    *out = value;
    return CORE_OK;
}

int core_name_cmp_str(const uint8_t *key, const char *s)
{
    size_t length = strnlen(s, CORE_NAME_KEY_SIZE + 1);
    if (length > CORE_NAME_KEY_SIZE) return -1;
    uint8_t padded[CORE_NAME_KEY_SIZE] = {};
    memcpy(padded, s, length);
    return memcmp(key, padded, CORE_NAME_KEY_SIZE);
}

uint8_t *core_xor32(uint8_t *a, const uint8_t *b)
{
    uint8_t copy[CORE_NAME_KEY_SIZE];
    memcpy(copy, b, sizeof(copy));
    for (int i = 0; i < CORE_NAME_KEY_SIZE; ++i) a[i] ^= copy[i];
    return a;
}

void core_reverse32(uint8_t *buffer)
{
    for (int i = 0; i < CORE_NAME_KEY_SIZE / 2; ++i) {
        uint8_t t = buffer[i];
        buffer[i] = buffer[CORE_NAME_KEY_SIZE - 1 - i];
        buffer[CORE_NAME_KEY_SIZE - 1 - i] = t;
    }
}

void core_seq_reset(void)
{
    SeqState &s = seq_state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.base = core_random_u64() & 0xFFFFFFFFu;
    s.seeded = true;
}

uint64_t core_seq_next(void)
{
    SeqState &s = seq_state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.seeded) {
        s.base = core_random_u64() & 0xFFFFFFFFu;
        s.seeded = true;
    }
    uint64_t value = s.counter + core_clock_mono_ns() / 1000000 + s.base + 1;
    s.counter++;
    return value;
}

CoreName *core_seq_name(CoreName *name, const char *prefix, uint64_t *value_out)
{
    uint64_t value = core_seq_next();
    if (value_out != nullptr) *value_out = value;
    return core_name_format(name, "%s%016llx", prefix, static_cast<unsigned long long>(value));
}

CoreResult core_seq_parse(uint64_t *out, const CoreName *name)
{
    for (const char *prefix : kSeqPrefixes)
        if (memcmp(name->key, prefix, 8) == 0) return core_name_parse_hex(out, name->key, 8, 24);
    return CORE_FAIL;
}
