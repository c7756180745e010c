// Value copies of the engine's codec descriptors, as the media controls, the
// codec evaluation and the settings dialog hold them, and the few operations
// the interface needs on them: display names of a codec's FourCCs, the uuid
// text under which an evaluated codec is stored, the check whether a stored
// evaluation still leaves a usable encoder, and the evaluated encoder limits.
//
// PkAudioCodecDesc and PkVideoCodecDesc are the engine's descriptors byte for
// byte, with a default value of their own; every function that only reads a
// descriptor takes the engine's type, so both kinds are accepted. Everything
// here is a plain value or a pure function: any thread may call it. The
// conversions out of an evaluation event return false, leaving the output
// untouched, when the record is too short to hold the part they copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/codec_desc.h"
#include "core/video.h"
#include "services/buffer.h"
#include "services/utils.h"

#define PK_CODEC_ID_SIZE 32

// Where the two descriptors sit in the record of the engine's evaluation
// event, and how long the record is before its trial rows.
#define PK_EVAL_AUDIO_CODEC_OFFSET 0
#define PK_EVAL_VIDEO_CODEC_OFFSET 920
#define PK_EVAL_RECORD_HEAD_SIZE 1920

// Device index of a descriptor that names no device.
#define PK_CODEC_NO_DEVICE (-1)

// The FourCC of "no codec", in both FourCC fields of a default descriptor.
inline constexpr uint32_t kPkFourccNone = core_fourcc("NONE");

struct PkAudioCodecDesc : CoreAudioCodecDesc {
    // Every byte zero except both FourCCs "NONE" and device index -1.
    PkAudioCodecDesc();
    explicit PkAudioCodecDesc(const CoreAudioCodecDesc &engineDesc) : CoreAudioCodecDesc(engineDesc) {}
};

struct PkVideoCodecDesc : CoreVideoCodecDesc {
    PkVideoCodecDesc();
    explicit PkVideoCodecDesc(const CoreVideoCodecDesc &engineDesc) : CoreVideoCodecDesc(engineDesc) {}
};

static_assert(sizeof(PkAudioCodecDesc) == sizeof(CoreAudioCodecDesc), "an audio descriptor copies byte for byte");
static_assert(sizeof(PkVideoCodecDesc) == sizeof(CoreVideoCodecDesc), "a video descriptor copies byte for byte");

struct PkCodecDescPair {
    PkAudioCodecDesc audio;
    PkVideoCodecDesc video;
};

// The evaluated limits of one encoder as the codecs settings file stores
// them. From `profileSet` on, the record has the layout of the evaluated
// block of the engine's descriptor (bytes 848 to 887 of an audio, 856 to 903
// of a video descriptor), so it is copied in and out in one piece.
struct PkAudioEncoderLimits {
    uint8_t codecId[PK_CODEC_ID_SIZE] = {};  // key of the codec's uuid
    int64_t profileSet = 0;
    int64_t codingOptions = 0;
    PkAudioFormat minimum = {};
    PkAudioFormat maximum = {};
};

struct PkVideoEncoderLimits {
    uint8_t codecId[PK_CODEC_ID_SIZE] = {};
    int64_t profileSet = 0;
    int64_t codingOptions = 0;
    PkVideoMode minimum = {};
    PkVideoMode maximum = {};
};

static_assert(sizeof(PkAudioEncoderLimits) == 72 && offsetof(PkAudioEncoderLimits, profileSet) == 32 &&
                  offsetof(PkAudioEncoderLimits, maximum) - offsetof(PkAudioEncoderLimits, profileSet) ==
                      offsetof(CoreAudioCodecDesc, evaluated_maximum) -
                          offsetof(CoreAudioCodecDesc, evaluated_profile_set),
              "audio limits mirror the evaluated block of an audio descriptor");
static_assert(sizeof(PkVideoEncoderLimits) == 80 && offsetof(PkVideoEncoderLimits, profileSet) == 32 &&
                  offsetof(PkVideoEncoderLimits, maximum) - offsetof(PkVideoEncoderLimits, profileSet) ==
                      offsetof(CoreVideoCodecDesc, evaluated_maximum) -
                          offsetof(CoreVideoCodecDesc, evaluated_profile_set),
              "video limits mirror the evaluated block of a video descriptor");

// Display name of the input FourCC (how decoders are shown) or the output
// FourCC (encoders): "AV1", "H.264", "H.265", "VP8", "VP9", "PCM", "OPUS",
// and "Invalid" for any other.
std::string pk_codec_name_in(const CoreAudioCodecDesc &desc);
std::string pk_codec_name_in(const CoreVideoCodecDesc &desc);
std::string pk_codec_name_out(const CoreAudioCodecDesc &desc);
std::string pk_codec_name_out(const CoreVideoCodecDesc &desc);

// 64 upper-case hexadecimal digits of the descriptor's codec identity for
// the encoder at `index` (-1 leaves the index out): the key under which the
// evaluation of that codec is stored.
std::string pk_codec_uuid_text(const CoreAudioCodecDesc &desc, int32_t index);
std::string pk_codec_uuid_text(const CoreVideoCodecDesc &desc, int32_t index);

// False when the evaluation pinned the encoder to exactly one mode (both
// evaluated modes complete and equal); true otherwise.
bool pk_video_codec_desc_check(const CoreVideoCodecDesc &desc);

// Both halves back to the default descriptors.
void pk_codec_desc_pair_init(PkCodecDescPair &pair);

// The descriptors of an evaluation event record of `length` bytes.
bool pk_audio_codec_desc_from_event(const void *record, size_t length, PkAudioCodecDesc *out);
bool pk_video_codec_desc_from_event(const void *record, size_t length, PkVideoCodecDesc *out);

PkAudioEncoderLimits pk_audio_encoder_limits_copy(const PkAudioEncoderLimits &limits);
PkVideoEncoderLimits pk_video_encoder_limits_copy(const PkVideoEncoderLimits &limits);
