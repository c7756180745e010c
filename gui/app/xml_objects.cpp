#include "app/xml_objects.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "core/base64.h"
#include "core/names.h"
#include "services/texts.h"

namespace {

// The text form of a value lives here between data() calls; one buffer per
// class and thread, so two threads never share a pointer into it.
const uint8_t *text_buffer(std::string &buffer, std::string text)
{
    buffer = std::move(text);
    return reinterpret_cast<const uint8_t *>(buffer.data());
}

// The stored choice: `text` when it is one of `choices`, else `fallback`.
template <size_t N>
std::string choose(const std::string &text, const std::array<std::string_view, N> &choices, std::string_view fallback)
{
    for (std::string_view choice : choices)
        if (text == choice) return text;
    return std::string(fallback);
}

template <size_t N>
int index_of(const std::array<std::string_view, N> &choices, std::string_view wanted)
{
    for (size_t i = 0; i < N; ++i)
        if (choices[i] == wanted) return static_cast<int>(i);
    return N == 0 ? 0 : static_cast<int>(N - 1);
}

// Display order of the resolution profiles: best first. The shared constant
// lists them the other way round.
std::vector<std::string> reversed(const std::array<std::string_view, 7> &choices)
{
    std::vector<std::string> out;
    for (auto it = choices.rbegin(); it != choices.rend(); ++it) out.emplace_back(*it);
    return out;
}

template <size_t N>
std::vector<std::string> as_list(const std::array<std::string_view, N> &choices)
{
    return std::vector<std::string>(choices.begin(), choices.end());
}

}  // namespace

// ---- boolean, number, uuid ----

std::string PkXMLBooleanObject::toString() const
{
    return value ? "YES" : "NO";
}

const uint8_t *PkXMLBooleanObject::data() const
{
    return reinterpret_cast<const uint8_t *>(&value);
}

void PkXMLBooleanObject::fromString(const std::string &text)
{
    value = text == "YES";
}

std::string PkXMLNumberObject::toString() const
{
    return std::to_string(value);
}

void PkXMLNumberObject::fromString(const std::string &text)
{
    // strtoll stops at an embedded zero just as at any other non-digit.
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long long parsed = strtoll(begin, &end, 10);
    if (end == begin) throw std::invalid_argument("invalid stoll argument");
    if (errno == ERANGE) throw std::out_of_range("stoll argument out of range");
    value = parsed;
}

std::string PkXMLUUIDObject::toString() const
{
    return pk_bytes_to_hex(value);
}

const uint8_t *PkXMLUUIDObject::data() const
{
    thread_local std::string buffer;
    return text_buffer(buffer, toString());
}

void PkXMLUUIDObject::fromString(const std::string &text)
{
    core_hex_to_bytes(value.key, text.c_str());
}

// ---- audio format, video mode ----

std::string PkXMLDimensionObject::toString() const
{
    // The no-format value must write the empty text, which keeps its leaf
    // out of the file; the shared formatter would write "0".
    const bool none = value.rate == 0 && value.channels == 0 && value.bits == 0 && value.byteOrder == 0 &&
                      value.sampleType == 0;
    return none ? std::string() : pk_audio_format_to_text(value);
}

const uint8_t *PkXMLDimensionObject::data() const
{
    thread_local std::string buffer;
    return text_buffer(buffer, toString());
}

void PkXMLDimensionObject::fromString(const std::string &text)
{
    value = pk_audio_format_from_text(text);
}

std::string PkXMLResolutionObject::toString() const
{
    return pk_video_mode_to_text(value, true);
}

const uint8_t *PkXMLResolutionObject::data() const
{
    thread_local std::string buffer;
    return text_buffer(buffer, toString());
}

void PkXMLResolutionObject::fromString(const std::string &text)
{
    value = pk_video_mode_from_text(text);
}

// ---- choices ----

void PkXMLResolutionProfileObject::fromString(const std::string &text)
{
    value = choose(text, PkConstants::kResolutionProfiles, PkConstants::kResolutionDefault);
}

std::vector<std::string> PkXMLResolutionProfileObject::values()
{
    return reversed(PkConstants::kResolutionProfiles);
}

void PkXMLBitratePolicyObject::fromString(const std::string &text)
{
    value = choose(text, PkConstants::kBitratePolicies, PkConstants::kBitrateDefault);
}

std::vector<std::string> PkXMLBitratePolicyObject::values()
{
    return as_list(PkConstants::kBitratePolicies);
}

int PkXMLBitratePolicyObject::defaultIndex()
{
    return index_of(PkConstants::kBitratePolicies, PkConstants::kBitrateDefault);
}

void PkXMLPlaybackObject::fromString(const std::string &text)
{
    value = choose(text, PkConstants::kPlaybackDelays, PkConstants::kPlaybackDelayDefault);
}

std::vector<std::string> PkXMLPlaybackObject::values()
{
    return as_list(PkConstants::kPlaybackDelays);
}

int PkXMLPlaybackObject::defaultIndex()
{
    return index_of(PkConstants::kPlaybackDelays, PkConstants::kPlaybackDelayDefault);
}

// ---- bytes ----

std::string PkXMLDataObject::toString() const
{
    if (value.empty()) return std::string();
    uint64_t length = 0;
    char *text = core_base64_encode(value.data(), value.size(), &length);
    if (text == nullptr) return std::string();
    std::string out(text, length);
    free(text);
    return out;
}

void PkXMLDataObject::fromString(const std::string &text)
{
    if (text.empty()) return;
    uint64_t length = 0;
    uint8_t *bytes = core_base64_decode(text.data(), text.size(), &length);
    if (bytes == nullptr) return;
    value.assign(bytes, bytes + length);
    free(bytes);
}
