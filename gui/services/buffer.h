// The value container of the service classes and the audio sample format
// with its text form.
//
// A PkBuffer carries one message through the service classes: a request of
// the engine facade, an engine event wrapped by the event pump, or a
// payload kept by the node configuration. One thread fills it before it is
// shared; afterwards every holder of a shared reference only reads it, so
// it needs no lock.
//
// PkAudioFormat is the 12-byte audio format that engine records carry as
// raw bytes. pk_audio_format_from_text and pk_audio_format_to_text convert
// it to and from the form the settings files store ("S16LE@48000:2"); they
// hold no state and may be called from any thread. A text that does not
// describe a usable format parses to the all-zero format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define PK_BUFFER_ID_SIZE 32

// The two-character byte-order constants 'LE' and 'BE' as engine records
// store them.
#define PK_BYTE_ORDER_LE 0x4C45
#define PK_BYTE_ORDER_BE 0x4245

class PkBuffer {
public:
    PkBuffer();
    // An engine message: the key of its sequence name, code, flag word and
    // payload. A null id leaves the id zero; a null payload is empty.
    PkBuffer(const uint8_t *messageId, int32_t code, int32_t flags, const void *payload, size_t length);
    explicit PkBuffer(const std::vector<uint8_t> &payload);
    PkBuffer(const PkBuffer &other);
    PkBuffer &operator=(const PkBuffer &other) = default;
    virtual ~PkBuffer();

    uint8_t id[PK_BUFFER_ID_SIZE];  // zero when not from the engine
    int32_t code;
    int32_t flags;
    std::vector<uint8_t> data;
};

struct PkAudioFormat {
    uint32_t rate;         // samples per second; 0 = unset
    uint8_t channels;      // 0 = unset
    uint8_t bits;          // bits per sample
    uint16_t byteOrder;    // PK_BYTE_ORDER_LE, PK_BYTE_ORDER_BE, 0 = unset
    char sampleType;       // 'S', 'U', 'F'; 0 = unset
    uint8_t reserved[3];   // zero: the record travels as raw bytes
};

static_assert(sizeof(PkAudioFormat) == 12, "PkAudioFormat travels as 12 raw bytes");
static_assert(offsetof(PkAudioFormat, channels) == 4 && offsetof(PkAudioFormat, bits) == 5 &&
                  offsetof(PkAudioFormat, byteOrder) == 6 && offsetof(PkAudioFormat, sampleType) == 8,
              "PkAudioFormat has the byte layout of the engine's audio format");

// Parses "S16LE@48000:2", "U8@8000:1", "F32LE@44100:2"; the all-zero format
// when the text has no usable bits, rate or channel count.
PkAudioFormat pk_audio_format_from_text(const std::string &text);

// The text form above; at most 31 characters. Rate and channels are left out
// when unset, the byte order when there are 8 bits or fewer.
std::string pk_audio_format_to_text(const PkAudioFormat &format);
