// Codec descriptors: the fixed-layout records of the four codec lists.
//
// The multimedia framework fills one descriptor per codec implementation the
// machine offers; the engine and the service classes copy them out of the
// lists by index, copy them whole between processes and key stored
// evaluation results by a hash over their leading bytes. That is why every
// field sits at a pinned offset: a compiler, a field added in the middle or
// a change of width must not move anything. Descriptors are plain values
// with no shared state; the one helper below is pure and safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/video.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "codec descriptors are little-endian records copied byte for byte");

enum RavkCodecDirection : uint32_t {
    RAVK_CODEC_ENCODER = 1,
    RAVK_CODEC_DECODER = 2,
};

enum RavkCodecAccel : uint32_t {
    RAVK_ACCEL_NONE = 0,  // the no-codec entry at the head of each list
    RAVK_ACCEL_SOFTWARE = 1,
    RAVK_ACCEL_HARDWARE = 2,
};

enum RavkCodecClass : uint32_t {
    RAVK_CODEC_CLASS_NONE = 0,
    RAVK_CODEC_CLASS_PLATFORM = 1,
    RAVK_CODEC_CLASS_PORTABLE = 2,
};

// byte_order value of little-endian samples ("LE" in texts).
#define RAVK_AUDIO_BYTE_ORDER_LE 0x4C45u

// One audio sample format as it sits inside an audio descriptor.
struct RavkAudioFormat {
    uint32_t rate;  // Hz
    uint8_t channels;
    uint8_t bits_per_sample;
    uint16_t byte_order;  // RAVK_AUDIO_BYTE_ORDER_LE, anything else big-endian
    char sample_type;     // 'S' signed, 'U' unsigned, 'F' float
    uint8_t reserved[3];
};

#define CORE_CODEC_TEXT_SIZE 256

struct CoreVideoCodecDesc {
    uint32_t direction;     // RavkCodecDirection; selects the list
    uint32_t acceleration;  // RavkCodecAccel
    uint32_t codec_class;   // RavkCodecClass
    uint32_t input;         // FourCC: raw format an encoder takes, codec a decoder takes
    uint32_t output;        // FourCC: codec an encoder gives, raw format a decoder gives
    int32_t device_number;  // -1: the implementation has none
    char codec_name[CORE_CODEC_TEXT_SIZE];
    char family[CORE_CODEC_TEXT_SIZE];
    char element_name[CORE_CODEC_TEXT_SIZE];  // scratch for composed element names
    uint64_t backend;            // RavkVideoBackend in the low 32 bits
    uint64_t implementation_id;  // 0: chosen from codec, backend and acceleration
    uint64_t profile_set;
    uint64_t coding_options;
    CoreVideoMode minimum_mode;
    CoreVideoMode maximum_mode;
    // Written by the engine's codec evaluation; zero at registration. A
    // non-zero (or complete, for modes) value overrides the one above.
    uint64_t evaluated_profile_set;
    uint64_t evaluated_coding_options;
    CoreVideoMode evaluated_minimum;
    CoreVideoMode evaluated_maximum;
    uint32_t alignment_width;
    uint32_t alignment_height;
};

struct CoreAudioCodecDesc {
    uint32_t direction;
    uint32_t acceleration;
    uint32_t codec_class;
    uint32_t input;
    uint32_t output;
    int32_t device_number;
    char codec_name[CORE_CODEC_TEXT_SIZE];
    char family[CORE_CODEC_TEXT_SIZE];
    char element_name[CORE_CODEC_TEXT_SIZE];
    uint64_t backend;            // RavkAudioBackend in the low 32 bits
    uint64_t implementation_id;  // RavkAudioImpl
    uint64_t profile_set;
    uint64_t coding_options;
    RavkAudioFormat minimum_format;
    RavkAudioFormat maximum_format;
    uint64_t evaluated_profile_set;
    uint64_t evaluated_coding_options;
    RavkAudioFormat evaluated_minimum;
    RavkAudioFormat evaluated_maximum;
};

static_assert(sizeof(RavkAudioFormat) == 12);
static_assert(offsetof(RavkAudioFormat, rate) == 0);
static_assert(offsetof(RavkAudioFormat, channels) == 4);
static_assert(offsetof(RavkAudioFormat, bits_per_sample) == 5);
static_assert(offsetof(RavkAudioFormat, byte_order) == 6);
static_assert(offsetof(RavkAudioFormat, sample_type) == 8);
static_assert(offsetof(RavkAudioFormat, reserved) == 9);

static_assert(sizeof(CoreVideoMode) == 16);

static_assert(sizeof(CoreVideoCodecDesc) == 912);
static_assert(offsetof(CoreVideoCodecDesc, direction) == 0);
static_assert(offsetof(CoreVideoCodecDesc, acceleration) == 4);
static_assert(offsetof(CoreVideoCodecDesc, codec_class) == 8);
static_assert(offsetof(CoreVideoCodecDesc, input) == 12);
static_assert(offsetof(CoreVideoCodecDesc, output) == 16);
static_assert(offsetof(CoreVideoCodecDesc, device_number) == 20);
static_assert(offsetof(CoreVideoCodecDesc, codec_name) == 24);
static_assert(offsetof(CoreVideoCodecDesc, family) == 280);
static_assert(offsetof(CoreVideoCodecDesc, element_name) == 536);
static_assert(offsetof(CoreVideoCodecDesc, backend) == 792);
static_assert(offsetof(CoreVideoCodecDesc, implementation_id) == 800);
static_assert(offsetof(CoreVideoCodecDesc, profile_set) == 808);
static_assert(offsetof(CoreVideoCodecDesc, coding_options) == 816);
static_assert(offsetof(CoreVideoCodecDesc, minimum_mode) == 824);
static_assert(offsetof(CoreVideoCodecDesc, maximum_mode) == 840);
static_assert(offsetof(CoreVideoCodecDesc, evaluated_profile_set) == 856);
static_assert(offsetof(CoreVideoCodecDesc, evaluated_coding_options) == 864);
static_assert(offsetof(CoreVideoCodecDesc, evaluated_minimum) == 872);
static_assert(offsetof(CoreVideoCodecDesc, evaluated_maximum) == 888);
static_assert(offsetof(CoreVideoCodecDesc, alignment_width) == 904);
static_assert(offsetof(CoreVideoCodecDesc, alignment_height) == 908);

static_assert(sizeof(CoreAudioCodecDesc) == 888);
static_assert(offsetof(CoreAudioCodecDesc, direction) == 0);
static_assert(offsetof(CoreAudioCodecDesc, acceleration) == 4);
static_assert(offsetof(CoreAudioCodecDesc, codec_class) == 8);
static_assert(offsetof(CoreAudioCodecDesc, input) == 12);
static_assert(offsetof(CoreAudioCodecDesc, output) == 16);
static_assert(offsetof(CoreAudioCodecDesc, device_number) == 20);
static_assert(offsetof(CoreAudioCodecDesc, codec_name) == 24);
static_assert(offsetof(CoreAudioCodecDesc, family) == 280);
static_assert(offsetof(CoreAudioCodecDesc, element_name) == 536);
static_assert(offsetof(CoreAudioCodecDesc, backend) == 792);
static_assert(offsetof(CoreAudioCodecDesc, implementation_id) == 800);
static_assert(offsetof(CoreAudioCodecDesc, profile_set) == 808);
static_assert(offsetof(CoreAudioCodecDesc, coding_options) == 816);
static_assert(offsetof(CoreAudioCodecDesc, minimum_format) == 824);
static_assert(offsetof(CoreAudioCodecDesc, maximum_format) == 836);
static_assert(offsetof(CoreAudioCodecDesc, evaluated_profile_set) == 848);
static_assert(offsetof(CoreAudioCodecDesc, evaluated_coding_options) == 856);
static_assert(offsetof(CoreAudioCodecDesc, evaluated_minimum) == 864);
static_assert(offsetof(CoreAudioCodecDesc, evaluated_maximum) == 876);

// 0 when the evaluation fixed exactly one mode (evaluated minimum and
// maximum both complete and equal); else 1.
static inline int core_video_desc_modes_differ(const CoreVideoCodecDesc *desc)
{
    const bool fixed = core_video_mode_complete(&desc->evaluated_minimum) &&
                       core_video_mode_complete(&desc->evaluated_maximum) &&
                       core_video_mode_equal(&desc->evaluated_minimum, &desc->evaluated_maximum);
    return fixed ? 0 : 1;
}
