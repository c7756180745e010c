// Base64 of the settings files' binary values.
//
// Encoding is RFC 4648 with "+" and "/" and "=" padding, no line breaks.
// Decoding is lenient, because settings files are edited by hand and older
// writers used the URL-safe characters: nothing is validated, "-" and "."
// count as "+", "_" and "," as "/", any other character outside the alphabet
// as "A", and a missing padding is tolerated. Any thread may call these;
// they hold no state. Both return a new buffer from malloc that the caller
// frees with free(), or NULL only when memory is short.
#pragma once

#include <cstdint>

// 4 x ceil(length / 3) characters in *out_length, followed by a terminator
// the length does not count.
char *core_base64_encode(const void *bytes, uint64_t length, uint64_t *out_length);

// The decoded bytes, their count in *out_length, followed by a terminator
// the count does not count. Full groups of four characters give three
// bytes; a last group that is short or ends in "=" gives one byte from its
// first two characters and a second when a third character exists and is
// not "="; a lone last character gives nothing. Empty text gives an empty
// buffer.
uint8_t *core_base64_decode(const char *text, uint64_t length, uint64_t *out_length);
