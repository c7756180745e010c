// Object names, sequence names and the bytewise helpers around them.
//
// Every engine-side object (topic, channel, pool, executor, store item,
// stream, session) is addressed by a CoreName: a 32-byte key compared
// bytewise, with a printable copy and an upper-case hex form that are always
// derived from the key by core_name_make. Names are plain values with no
// shared state; any thread may use these functions. Only the process sequence
// behind core_seq_next is shared, and it is safe to call from every thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result.h"

#define CORE_NAME_KEY_SIZE 32

struct CoreName {
    uint8_t key[CORE_NAME_KEY_SIZE];
    char text[36];  // printable copy of the key, zero-terminated
    char hex[68];   // 64 upper-case hex digits, zero-terminated
};

typedef CoreName CoreSeqName;

// Fixed names of the base runtime: the ASCII text is the key.
#define CORE_DEFAULT_POOL "FB9C1ED7936E4D8FB1F4F53DC59DA1E8"
#define CORE_DEFAULT_EXECUTOR "411536FE82A54279BBE6B8203A621711"
#define CORE_SETTINGS_POOL "85353239E4BB4A7AB4BA5186655314FB"

// Sequence-name prefixes, in the order core_seq_parse tests them.
#define CORE_SEQ_SSN "ssn.seq."
#define CORE_SEQ_OPS "ops.seq."
#define CORE_SEQ_HST "hst.seq."
#define CORE_SEQ_MSG "msg.seq."
#define CORE_SEQ_FTR "ftr.seq."
#define CORE_SEQ_BND "bnd.seq."
#define CORE_SEQ_UIN "uin.seq."
#define CORE_SEQ_GRL "grl.seq."

// Fills text and hex from the key. Returns name; NULL is ignored.
CoreName *core_name_make(CoreName *name);

// printf into the key (cut to 32 bytes, rest zero), then core_name_make.
CoreName *core_name_format(CoreName *name, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The name whose key is `text` (cut to 32 bytes, rest zero), by value:
// fixed names and names from constants.
CoreName core_name_of(const char *text);

// The same formatting into a bare 32-byte key; no text or hex.
uint8_t *core_key_format(uint8_t key[CORE_NAME_KEY_SIZE], const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Key = value as 8 bytes big-endian followed by 24 zero bytes.
CoreName *core_name_from_u64(CoreName *name, uint64_t value);

// True when all 32 key bytes are zero ("no pool", "no executor").
bool core_name_is_empty(const CoreName *name);

// Bytewise comparison of two 32-byte keys: <0, 0, >0.
int core_compare_key32(const uint8_t *a, const uint8_t *b);

// "%02X" of min(size / 2, 32) key bytes while room for the terminator
// remains. Returns out.
char *core_name_to_hex(const uint8_t *key, char *out, size_t size);

// Hex text (at most 64 digits) to 32 bytes; non-digits count as 0, an odd
// count leaves the last digit in the low nibble.
uint8_t *core_hex_to_bytes(uint8_t out[CORE_NAME_KEY_SIZE], const char *text);

// Reads `count` hex digits of the key's printable copy from `offset`.
// CORE_FAIL when the range leaves the key, when the first character is zero,
// or when the digits do not fit in 64 bits; else CORE_OK.
CoreResult core_name_parse_hex(uint64_t *out, const uint8_t *key, uint32_t offset, uint32_t count);

// 0 when the key equals s zero-padded to 32 bytes; -1 when s is longer than
// 32 bytes; otherwise the sign of the bytewise difference.
int core_name_cmp_str(const uint8_t *key, const char *s);

// a ^= b over 32 bytes (overlap allowed). Returns a.
uint8_t *core_xor32(uint8_t *a, const uint8_t *b);

// Reverses 32 bytes in place.
void core_reverse32(uint8_t *buffer);

// Next process sequence value. Values are unique and strictly increasing
// across all threads of the process.
uint64_t core_seq_next(void);

// Chooses a new random base for the sequence (system start does this).
void core_seq_reset(void);

// A new sequence name: prefix (8 characters) + 16 lower-case hex digits of
// core_seq_next. Returns name; *value_out receives the number when not NULL.
CoreName *core_seq_name(CoreName *name, const char *prefix, uint64_t *value_out);

// When the key starts with one of the eight prefixes, parses the number after
// it; else CORE_FAIL.
CoreResult core_seq_parse(uint64_t *out, const CoreName *name);
