#include "services/buffer.h"

#include <cstring>
#include <limits>

PkBuffer::PkBuffer() : id{}, code(0), flags(0) {}

PkBuffer::PkBuffer(const uint8_t *messageId, int32_t code, int32_t flags, const void *payload, size_t length)
    : id{}, code(code), flags(flags)
{
    if (messageId != nullptr) memcpy(id, messageId, sizeof(id));
    if (payload != nullptr && length > 0) {
        const auto *bytes = static_cast<const uint8_t *>(payload);
        data.assign(bytes, bytes + length);
    }
}

PkBuffer::PkBuffer(const std::vector<uint8_t> &payload) : id{}, code(0), flags(0), data(payload) {}

PkBuffer::PkBuffer(const PkBuffer &other) : code(other.code), flags(other.flags), data(other.data)
{
    memcpy(id, other.id, sizeof(id));
}

PkBuffer::~PkBuffer() = default;

namespace {

const char *const kDigits = "0123456789";

// The digit run starting at `start`, as a number that saturates at `limit`:
// a value too large for its field then reads as the field's "invalid" value
// instead of wrapping into a plausible one (S272 is not 16-bit audio).
uint64_t read_digit_run(const std::string &text, size_t start, size_t *end, uint64_t limit)
{
    uint64_t value = 0;
    size_t i = start;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + uint64_t(text[i] - '0');
        if (value > limit) value = limit;
    }
    *end = i;
    return value;
}

}  // namespace

PkAudioFormat pk_audio_format_from_text(const std::string &text)
{
    PkAudioFormat format{};
    const PkAudioFormat invalid{};
    if (text.size() < 2) return invalid;

    if (text[0] == 'S' || text[0] == 'U' || text[0] == 'F') format.sampleType = text[0];

    const size_t length = text.size();
    size_t cursor = length;
    size_t digit = text.find_first_of(kDigits);
    if (digit != std::string::npos)
        format.bits = uint8_t(read_digit_run(text, digit, &cursor, std::numeric_limits<uint8_t>::max()));

    // Eight bits or fewer have no byte order; "LE" wins over "BE" wherever
    // both appear.
    if (format.bits >= 9) {
        const size_t le = text.find("LE", cursor);
        const size_t be = text.find("BE", cursor);
        if (le != std::string::npos) {
            format.byteOrder = PK_BYTE_ORDER_LE;
            cursor = le;
        } else if (be != std::string::npos) {
            format.byteOrder = PK_BYTE_ORDER_BE;
            cursor = be;
        }
    }

    if (cursor < length) {
        bool channelsFollow = true;
        const size_t at = text.find('@', cursor);
        if (at != std::string::npos) {
            digit = text.find_first_of(kDigits, at + 1);
            if (digit == std::string::npos) {
                channelsFollow = false;
            } else {
                format.rate = uint32_t(read_digit_run(text, digit, &cursor, std::numeric_limits<uint32_t>::max()));
                if (cursor >= length) channelsFollow = false;
            }
        }
        if (channelsFollow) {
            const size_t colon = text.find(':', cursor);
            if (colon != std::string::npos) {
                digit = text.find_first_of(kDigits, colon + 1);
                size_t end = 0;
                if (digit != std::string::npos)
                    format.channels = uint8_t(read_digit_run(text, digit, &end, std::numeric_limits<uint8_t>::max()));
            }
        }
    }

    if (format.rate == 0 || format.rate == 0xFFFFFFFF || format.channels == 0 || format.channels == 0xFF ||
        format.bits == 0 || format.bits == 0xFF)
        return invalid;
    return format;
}

std::string pk_audio_format_to_text(const PkAudioFormat &format)
{
    std::string text;
    // An unset sample type writes nothing rather than a zero byte inside the
    // text.
    if (format.sampleType != 0) text += format.sampleType;
    text += std::to_string(format.bits);
    if (format.bits > 8) text += format.byteOrder == PK_BYTE_ORDER_LE ? "LE" : "BE";
    if (format.rate != 0) text += "@" + std::to_string(format.rate);
    if (format.channels != 0) text += ":" + std::to_string(format.channels);
    return text;
}
