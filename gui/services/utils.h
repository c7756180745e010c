// Text, system and URL utilities of the service classes: splitting and
// case-mapping text, checking a user-chosen name, describing the machine
// (current display mode, processor texts for the user agent), removing a
// URL's scheme and opening a web address in the user's browser, UTF-8 to
// UTF-16 conversion, hexadecimal text and the text form of a video mode.
//
// None of them keeps state or throws on ordinary input; all may be called
// from any thread. pk_display_mode_current opens its own X connection, so it
// does not touch the toolkit's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A video mode; the layout of the engine's CoreVideoMode. Complete when no
// field is 0 or 0xFFFFFFFF.
struct PkVideoMode {
    uint32_t width;
    uint32_t height;
    uint32_t rateNumerator;
    uint32_t rateDenominator;
};

static_assert(sizeof(PkVideoMode) == 16, "PkVideoMode travels as 16 raw bytes");

// The pieces between separators, empty ones included: "a,,b" gives "a", "",
// "b"; "" gives one empty piece. An empty separator gives the whole text.
std::vector<std::string> pk_split(const std::string &text, const std::string &separator);

// Each byte through tolower of the current C locale.
std::string pk_to_lower(const std::string &text);

// 6 to 32 bytes, each one of the characters a name may hold (letters,
// digits, the space and " _+-(){}[]<>!@#$^&*=.,:;|").
bool pk_is_valid_name(const std::string &text);

// The current mode of the primary display (through XRandR); 3840x2160 at
// 60/1 when it cannot be read, as without a display.
PkVideoMode pk_display_mode_current();

// The processor's 12-character vendor identification when it is one of the
// known vendors; otherwise, and off x86, empty.
std::string pk_cpu_vendor_text();

// "AMD64", and with details "/vendor/brand/N CPU", for the user agent.
std::string pk_cpu_architecture_text(bool withDetails);

// The URL without a leading "http://" or "https://".
std::string pk_url_strip_scheme(const std::string &url);

// The address pk_open_url hands to the system: "http://" is put in front
// when the text names neither scheme. Empty (refused) when the result does
// not begin with a web scheme, has nothing after it, or holds bytes that are
// not printable ASCII, so that no file, program or other scheme can be
// opened through it.
std::string pk_open_url_target(const std::string &url);

// Opens pk_open_url_target(url) with the user's default handler for its
// scheme. False when refused or when the system could not launch a handler.
bool pk_open_url(const std::string &url);

// UTF-16 of a UTF-8 text; each ill-formed sequence becomes one U+FFFD.
std::u16string pk_utf8_to_wide(const std::string &text);

// The unsigned number a hexadecimal input stream reads from the text
// (leading blanks skipped, "1F" and "0x1F" are 31); 0 when none can be read.
uint64_t pk_hex_to_number(const std::string &text);

// "1920x1080@60 Hz" -> {1920, 1080, 60, 1}; the zero mode unless all four
// fields come out complete.
PkVideoMode pk_video_mode_from_text(const std::string &text);

// "1920x1080", with rate "1920x1080@59 Hz" (the rate as a truncated integer;
// the numerator alone when the denominator is 0).
std::string pk_video_mode_to_text(const PkVideoMode &mode, bool withRate);

// appId/appVersion, then " (first; second; third)" with the empty parts
// after the first left out, and no comment when all three are empty.
std::string pk_web_user_agent(const std::string &appId, const std::string &appVersion, const std::string &first,
                              const std::string &second, const std::string &third);
