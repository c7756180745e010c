// Tagged property lists: the formats, limits, alignments, feature sets and
// scores that every stream record carries.
//
// A list is 64 packed entries of {u16 tag, i64 value}; it travels byte for
// byte inside stream tables, stream sets and codec offers, so its layout is
// part of the protocol between nodes. Used entries sit at the front; the
// number in use is the run of non-zero tags from entry 0. A group is a run of
// consecutive tags holding one value (a video mode is four tags, an audio
// format five). The functions work on caller-owned lists, keep no state and
// may be called from any thread; a list shared between threads is the
// caller's to guard. Appends return the next free index or -1; readers and
// writers return a bool.
#pragma once

#include <cstddef>
#include <cstdint>

#define ENGINE_PROPS_COUNT 64
// The value of an entry that holds nothing.
#define ENGINE_PROP_UNSET INT64_MIN

// The engine's audio format; the service classes' audio format has the same
// 12 bytes.
struct EngineAudioFormat {
    uint32_t rate;
    uint8_t channels;
    uint8_t bits;
    uint16_t byteOrder;  // ENGINE_BYTE_ORDER_LE for little-endian, anything else big-endian
    uint8_t sampleType;  // 'S' signed, 'U' unsigned, 'F' float
    uint8_t reserved[3];
};
static_assert(sizeof(EngineAudioFormat) == 12, "audio format travels as 12 raw bytes");
static_assert(offsetof(EngineAudioFormat, byteOrder) == 6 && offsetof(EngineAudioFormat, sampleType) == 8,
              "audio format field offsets");

// The letters "LE" read as a little-endian u16.
#define ENGINE_BYTE_ORDER_LE 0x4C45

// Packed, so `value` is unaligned: read and assign it by value; a pointer or
// reference to it is a misaligned access.
#pragma pack(push, 1)
struct EnginePropEntry {
    uint16_t tag;   // 0: free
    int64_t value;  // ENGINE_PROP_UNSET: no value
};
#pragma pack(pop)

struct EngineProps {
    EnginePropEntry entries[ENGINE_PROPS_COUNT];
};
static_assert(sizeof(EnginePropEntry) == 10, "property entries are packed to 10 bytes");
static_assert(sizeof(EngineProps) == 640, "a property list travels as 640 raw bytes");

// Group kinds of engine_props_add_video (0-17) and engine_props_add_audio
// (18-27), in the order of their first tags below.
enum : int {
    ENGINE_PROPS_RECEIVE_MODE = 0,        // 0x1000, video mode
    ENGINE_PROPS_SEND_MODE = 1,           // 0x1400, video mode
    ENGINE_PROPS_VIDEO_ENCODE_SCORE = 2,  // 0x1500, single
    ENGINE_PROPS_VIDEO_DECODE_SCORE = 3,  // 0x1501, single
    ENGINE_PROPS_STREAM_UPDATE = 4,       // 0x1600, pair
    ENGINE_PROPS_ENCODER_MAX_MODE = 5,    // 0x1800, video mode (plain records)
    ENGINE_PROPS_ENCODER_ALIGN = 6,       // 0x1820, pair
    ENGINE_PROPS_CODEC_ENCODER_MIN_MODE = 7,   // 0x1840, video mode
    ENGINE_PROPS_CODEC_ENCODER_MAX_MODE = 8,   // 0x1880, video mode
    ENGINE_PROPS_DECODER_MAX_MODE = 9,    // 0x1C00, video mode (plain records)
    ENGINE_PROPS_DECODER_ALIGN = 10,      // 0x1C20, pair
    ENGINE_PROPS_CODEC_DECODER_MIN_MODE = 11,  // 0x1C40, video mode
    ENGINE_PROPS_CODEC_DECODER_MAX_MODE = 12,  // 0x1C80, video mode
    ENGINE_PROPS_DISPLAY_MODE = 13,       // 0x1D00, video mode
    ENGINE_PROPS_ENCODER_FEATURES_A = 14, // 0x1E80, single
    ENGINE_PROPS_DECODER_FEATURES_A = 15, // 0x1E00, single
    ENGINE_PROPS_ENCODER_FEATURES_B = 16, // 0x1F80, single
    ENGINE_PROPS_DECODER_FEATURES_B = 17, // 0x1F00, single
    ENGINE_PROPS_RECEIVE_FORMAT = 18,     // 0x2000, audio format
    ENGINE_PROPS_SEND_FORMAT = 19,        // 0x2400, audio format
    ENGINE_PROPS_AUDIO_ENCODE_SCORE = 20, // 0x2500, single
    ENGINE_PROPS_AUDIO_DECODE_SCORE = 21, // 0x2501, single
    ENGINE_PROPS_ENCODER_MAX_FORMAT = 22, // 0x2800, audio format (plain records)
    ENGINE_PROPS_CODEC_ENCODER_MIN_FORMAT = 23,  // 0x2840, audio format
    ENGINE_PROPS_CODEC_ENCODER_MAX_FORMAT = 24,  // 0x2880, audio format
    ENGINE_PROPS_DECODER_MAX_FORMAT = 25, // 0x2C00, audio format (plain records)
    ENGINE_PROPS_CODEC_DECODER_MIN_FORMAT = 26,  // 0x2C40, audio format
    ENGINE_PROPS_CODEC_DECODER_MAX_FORMAT = 27,  // 0x2C80, audio format
};

// Every entry free (tag 0, value unset). Returns props.
EngineProps *engine_props_init(EngineProps *props);

// Number of used entries: the run of non-zero tags from entry 0.
int engine_props_count(const EngineProps *props);

// Appends the used entries of source after those of destination. NULL, with
// nothing written, when either list is full or both together hold more than
// 64 entries; otherwise destination. The two may be the same list.
EngineProps *engine_props_append(EngineProps *destination, const EngineProps *source);

// Writes the group of `kind` at entries index, index + 1, ... and returns the
// index after it. Value shapes: a video mode is four u32 (16 bytes), a pair
// two u32 (8 bytes), a single an 8-byte value, an audio format an
// EngineAudioFormat (12 bytes). A mode, pair or format of another length is
// written as zero members; a single of 1, 2 or 4 bytes is zero-extended, of
// any other length written as unset. An index that leaves 0..63 before the
// group is complete returns -1 (members already written stay), so passing
// the result on to the next append stops the whole record at the first
// failure. A kind outside the function's range returns index unchanged.
int engine_props_add_video(EngineProps *props, const void *value, uint64_t length, int kind, int index);
int engine_props_add_audio(EngineProps *props, const void *value, uint64_t length, int kind, int index);

// Read the group starting at `tag`: each member is the first entry with its
// tag. A member missing or unset: false, out untouched. Otherwise every
// member is stored and the result says whether the values are usable: no
// value 0 or 0xFFFFFFFF for get4 and get2; a valid format (rate neither 0
// nor 0xFFFFFFFF, channels and bits neither 0 nor 255) for the audio reader.
bool engine_props_get4(uint32_t out[4], const EngineProps *props, uint16_t tag);
bool engine_props_get2(uint32_t out[2], const EngineProps *props, uint16_t tag);
bool engine_props_get_audio_format(EngineAudioFormat *out, const EngineProps *props, uint16_t tag);

// Overwrite the values of an existing group member by member; the first
// member not found ends with false and the members before it stay changed.
// No entry is ever added.
bool engine_props_put4(EngineProps *props, const uint32_t values[4], uint16_t tag);
bool engine_props_put_audio_format(EngineProps *props, const EngineAudioFormat *format, uint16_t tag);
