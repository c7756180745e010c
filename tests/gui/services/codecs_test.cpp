#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "services/codecs.h"

namespace {

template <typename Desc>
std::vector<uint8_t> bytes_of(const Desc &desc)
{
    const auto *begin = reinterpret_cast<const uint8_t *>(&desc);
    return std::vector<uint8_t>(begin, begin + sizeof(desc));
}

// The default descriptor spelled out byte by byte.
template <typename Desc>
std::vector<uint8_t> expected_default_bytes()
{
    std::vector<uint8_t> bytes(sizeof(Desc), 0);
    memcpy(&bytes[offsetof(Desc, input)], "NONE", 4);
    memcpy(&bytes[offsetof(Desc, output)], "NONE", 4);
    memset(&bytes[offsetof(Desc, device_number)], 0xFF, 4);
    return bytes;
}

PkVideoCodecDesc video_encoder(const char *name, int32_t device)
{
    PkVideoCodecDesc desc;
    desc.direction = RAVK_CODEC_ENCODER;
    desc.acceleration = RAVK_ACCEL_HARDWARE;
    desc.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    desc.input = core_fourcc("NV12");
    desc.output = core_fourcc("H264");
    desc.device_number = device;
    strncpy(desc.codec_name, name, sizeof(desc.codec_name) - 1);
    return desc;
}

// SHA-256 through the cryptographic library, over the bytes the codec
// identity is defined on, as 64 upper-case digits.
std::string reference_uuid(const CoreVideoCodecDesc &desc, int32_t index)
{
    std::vector<uint8_t> message;
    auto append_le32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) message.push_back(uint8_t(v >> (8 * i)));
    };
    if (index != -1) append_le32(uint32_t(index));
    const auto *head = reinterpret_cast<const uint8_t *>(&desc);
    message.insert(message.end(), head, head + 20);
    if (desc.device_number != -1) append_le32(uint32_t(desc.device_number));
    message.insert(message.end(), desc.codec_name, desc.codec_name + strlen(desc.codec_name));

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr), 1);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; i++) {
        snprintf(pair, sizeof(pair), "%02X", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

TEST(CodecDescriptors, DefaultsAreZeroExceptNoneFourccsAndNoDevice)
{
    EXPECT_EQ(bytes_of(PkAudioCodecDesc()), expected_default_bytes<CoreAudioCodecDesc>());
    EXPECT_EQ(bytes_of(PkVideoCodecDesc()), expected_default_bytes<CoreVideoCodecDesc>());

    PkCodecDescPair pair;
    EXPECT_EQ(bytes_of(pair.audio), expected_default_bytes<CoreAudioCodecDesc>());
    pair.audio.direction = RAVK_CODEC_DECODER;
    pair.audio.evaluated_maximum.rate = 48000;
    pair.video = video_encoder("vaapih264enc", 0);
    pair.video.alignment_width = 16;
    pk_codec_desc_pair_init(pair);
    EXPECT_EQ(bytes_of(pair.audio), expected_default_bytes<CoreAudioCodecDesc>());
    EXPECT_EQ(bytes_of(pair.video), expected_default_bytes<CoreVideoCodecDesc>());
}

TEST(CodecDescriptors, FourccDisplayNames)
{
    struct Case {
        const char *fourcc;
        const char *name;
    };
    const Case cases[] = {
        {"av01", "AV1"},     {"H264", "H.264"},   {"H265", "H.265"},   {"VP8X", "VP8"},
        {"VP9X", "VP9"},     {"lpcm", "PCM"},     {"opus", "OPUS"},    {"MJPG", "Invalid"},
        {"aac ", "Invalid"}, {"h264", "Invalid"}, {"AV01", "Invalid"}, {"NONE", "Invalid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fourcc);
        const uint32_t fourcc = uint32_t(uint8_t(c.fourcc[0])) | uint32_t(uint8_t(c.fourcc[1])) << 8 |
                                uint32_t(uint8_t(c.fourcc[2])) << 16 | uint32_t(uint8_t(c.fourcc[3])) << 24;
        PkAudioCodecDesc decoder;  // shown by its input
        decoder.input = fourcc;
        PkVideoCodecDesc encoder;  // shown by its output
        encoder.output = fourcc;
        EXPECT_EQ(pk_codec_name_in(decoder), c.name);
        EXPECT_EQ(pk_codec_name_out(encoder), c.name);
        EXPECT_EQ(pk_codec_name_out(decoder), "Invalid") << "the other FourCC is NONE";
        EXPECT_EQ(pk_codec_name_in(encoder), "Invalid");
    }
}

TEST(CodecDescriptors, UuidTextCoversIndexHeadDeviceAndName)
{
    const PkVideoCodecDesc desc = video_encoder("vaapih264enc", 1);
    const std::string at0 = pk_codec_uuid_text(desc, 0);
    const std::string at1 = pk_codec_uuid_text(desc, 1);
    const std::string unindexed = pk_codec_uuid_text(desc, -1);
    EXPECT_EQ(std::set<std::string>({at0, at1, unindexed}).size(), 3u);
    ASSERT_EQ(at0.size(), 64u);
    EXPECT_EQ(at0.find_first_not_of("0123456789ABCDEF"), std::string::npos);

    EXPECT_EQ(at1, reference_uuid(desc, 1));
    EXPECT_EQ(unindexed, reference_uuid(desc, -1));
    const PkVideoCodecDesc noDevice = video_encoder("x264enc", -1);
    EXPECT_EQ(pk_codec_uuid_text(noDevice, 3), reference_uuid(noDevice, 3));

    // A stored evaluation must still find its codec after the evaluation
    // wrote its limits and after scratch text changed.
    PkVideoCodecDesc evaluated = desc;
    evaluated.evaluated_maximum = {1920, 1080, 60, 1};
    evaluated.evaluated_profile_set = 7;
    strcpy(evaluated.element_name, "scratch");
    strcpy(evaluated.codec_name + strlen(evaluated.codec_name) + 1, "after the terminator");
    EXPECT_EQ(pk_codec_uuid_text(evaluated, 0), at0);

    PkVideoCodecDesc renamed = desc;
    renamed.codec_name[0] = 'V';
    EXPECT_NE(pk_codec_uuid_text(renamed, 0), at0);

    // A name that fills the whole field has no terminator.
    PkVideoCodecDesc fullName = desc;
    memset(fullName.codec_name, 'n', sizeof(fullName.codec_name));
    EXPECT_EQ(pk_codec_uuid_text(fullName, 0).size(), 64u);
}

TEST(CodecDescriptors, CheckFailsOnlyForOneCompleteEvaluatedMode)
{
    struct Case {
        const char *purpose;
        CoreVideoMode minimum;
        CoreVideoMode maximum;
        bool usable;
    };
    const Case cases[] = {
        {"pinned to 1280x720 at 30/1", {1280, 720, 30, 1}, {1280, 720, 30, 1}, false},
        {"maximum with a zero rate", {1280, 720, 30, 1}, {1280, 720, 0, 1}, true},
        {"a range of modes", {64, 64, 1, 1}, {1920, 1080, 60, 1}, true},
        {"never evaluated", {0, 0, 0, 0}, {0, 0, 0, 0}, true},
        {"all ones is incomplete", {0xFFFFFFFF, 720, 30, 1}, {0xFFFFFFFF, 720, 30, 1}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        PkVideoCodecDesc desc = video_encoder("enc", -1);
        desc.evaluated_minimum = c.minimum;
        desc.evaluated_maximum = c.maximum;
        EXPECT_EQ(pk_video_codec_desc_check(desc), c.usable);
    }
}

TEST(CodecDescriptors, DescriptorsFromAnEvaluationRecord)
{
    PkAudioCodecDesc audio;
    audio.direction = RAVK_CODEC_ENCODER;
    audio.output = core_fourcc("opus");
    strcpy(audio.codec_name, "opusenc");
    audio.evaluated_maximum.rate = 48000;
    const PkVideoCodecDesc video = [] {
        PkVideoCodecDesc d = video_encoder("vp9enc", -1);
        d.alignment_width = 16;
        d.alignment_height = 2;
        return d;
    }();

    std::vector<uint8_t> record(PK_EVAL_RECORD_HEAD_SIZE + 40, 0xEE);
    memcpy(&record[PK_EVAL_AUDIO_CODEC_OFFSET], &audio, sizeof(CoreAudioCodecDesc));
    memcpy(&record[PK_EVAL_VIDEO_CODEC_OFFSET], &video, sizeof(CoreVideoCodecDesc));

    PkAudioCodecDesc audioOut;
    PkVideoCodecDesc videoOut;
    ASSERT_TRUE(pk_audio_codec_desc_from_event(record.data(), record.size(), &audioOut));
    ASSERT_TRUE(pk_video_codec_desc_from_event(record.data(), record.size(), &videoOut));
    EXPECT_EQ(bytes_of(audioOut), bytes_of(audio));
    EXPECT_EQ(bytes_of(videoOut), bytes_of(video)) << "alignment included";

    // Records too short for the part they hold leave the output alone.
    struct Case {
        size_t length;
        bool audioFits;
        bool videoFits;
    };
    const Case cases[] = {{0, false, false},
                          {sizeof(CoreAudioCodecDesc) - 1, false, false},
                          {sizeof(CoreAudioCodecDesc), true, false},
                          {PK_EVAL_VIDEO_CODEC_OFFSET + sizeof(CoreVideoCodecDesc) - 1, true, false},
                          {PK_EVAL_VIDEO_CODEC_OFFSET + sizeof(CoreVideoCodecDesc), true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> shortRecord(record.begin(), record.begin() + long(c.length));
        PkAudioCodecDesc a;
        PkVideoCodecDesc v;
        EXPECT_EQ(pk_audio_codec_desc_from_event(shortRecord.data(), shortRecord.size(), &a), c.audioFits);
        EXPECT_EQ(pk_video_codec_desc_from_event(shortRecord.data(), shortRecord.size(), &v), c.videoFits);
        EXPECT_EQ(bytes_of(a), c.audioFits ? bytes_of(audio) : expected_default_bytes<CoreAudioCodecDesc>());
        EXPECT_EQ(bytes_of(v), c.videoFits ? bytes_of(video) : expected_default_bytes<CoreVideoCodecDesc>());
    }
    EXPECT_FALSE(pk_audio_codec_desc_from_event(nullptr, 4096, &audioOut));
}

// The limits go into the evaluated block of a descriptor in one piece.
TEST(CodecDescriptors, EncoderLimitsMatchTheEvaluatedBlock)
{
    PkVideoEncoderLimits limits;
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&limits),
                                   reinterpret_cast<uint8_t *>(&limits) + sizeof(limits)),
              std::vector<uint8_t>(sizeof(limits), 0))
        << "a new entry is all zero";
    limits.codecId[0] = 0xAB;
    limits.profileSet = 3;
    limits.codingOptions = 4;
    limits.minimum = {64, 64, 1, 1};
    limits.maximum = {1920, 1080, 60, 1};
    const PkVideoEncoderLimits copy = pk_video_encoder_limits_copy(limits);

    PkVideoCodecDesc desc = video_encoder("enc", -1);
    memcpy(&desc.evaluated_profile_set, &copy.profileSet, sizeof(copy) - offsetof(PkVideoEncoderLimits, profileSet));
    EXPECT_EQ(desc.evaluated_profile_set, 3u);
    EXPECT_EQ(desc.evaluated_coding_options, 4u);
    EXPECT_EQ(desc.evaluated_minimum.width, 64u);
    EXPECT_EQ(desc.evaluated_maximum.height, 1080u);
    EXPECT_EQ(desc.evaluated_maximum.rate_num, 60u);
    EXPECT_EQ(desc.alignment_width, 0u) << "nothing past the block is touched";

    PkAudioEncoderLimits audioLimits;
    audioLimits.maximum = pk_audio_format_from_text("S16LE@48000:2");
    audioLimits.codingOptions = 9;
    PkAudioCodecDesc audio;
    const PkAudioEncoderLimits audioCopy = pk_audio_encoder_limits_copy(audioLimits);
    memcpy(&audio.evaluated_profile_set, &audioCopy.profileSet,
           sizeof(audioCopy) - offsetof(PkAudioEncoderLimits, profileSet));
    EXPECT_EQ(audio.evaluated_coding_options, 9u);
    EXPECT_EQ(audio.evaluated_maximum.rate, 48000u);
    EXPECT_EQ(audio.evaluated_maximum.channels, 2);
    EXPECT_EQ(audio.evaluated_maximum.sample_type, 'S');
}
