// Codec registry: which implementations register here (the oracle walk over
// every implementation id), the descriptors they get, the limit tables, the
// choosers and probes, rollback of a registration that fails half-way, and
// the platform encoder and decoder paths on stand-in elements.
#include "ravelkit/codecs.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/sha256.h"
#include "core/system.h"
#include "core/values.h"
#include "gst_support.h"
#include "ravelkit/ranking.h"

namespace {

constexpr uint32_t video(uint32_t codec) { return ravk_video_codec_id(codec); }

bool element_exists(const char *name)
{
    GstElementFactory *factory = gst_element_factory_find(name);
    if (factory == nullptr) return false;
    gst_object_unref(factory);
    return true;
}

std::vector<CoreVideoCodecDesc> video_list(uint32_t direction)
{
    std::vector<CoreVideoCodecDesc> list(core_codec_entry_count_video(direction));
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(core_codec_get_video(int64_t(i), direction, &list[i]), 0);
    return list;
}

std::vector<CoreAudioCodecDesc> audio_list(uint32_t direction)
{
    std::vector<CoreAudioCodecDesc> list(core_codec_entry_count_audio(direction));
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(core_codec_get_audio(int64_t(i), direction, &list[i]), 0);
    return list;
}

std::vector<uint64_t> ids_of(const std::vector<CoreVideoCodecDesc> &list)
{
    std::vector<uint64_t> ids;
    for (const CoreVideoCodecDesc &d : list) ids.push_back(d.implementation_id);
    return ids;
}

std::string mode_text(const CoreVideoMode &m)
{
    return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.rate_num) + "/" +
           std::to_string(m.rate_den);
}

// The stand-in platform codecs below, once registered, stay for the rest
// of the process; tests that count what this machine registers skip then.
#define SKIP_WITH_STAND_INS()                                                          \
    if (element_exists("mfh264enc")) GTEST_SKIP() << "stand-in platform codecs present"

class CodecRegistry : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override
    {
        ravk_codecs_fail_add_after(-1);
        core_cpu_count_override(0);
        core_system_stop();
    }
};

// ---- which implementations register ---------------------------------------------

struct ImplRow {
    uint32_t id;
    uint32_t codec;
    const char *element;  // numbered ones with device 1
    bool registration_asks;
};

// Registration asks for the libvpx and Media Foundation encoders and for
// the libvpx, libav H.264 and Direct3D 11 decoders; everything else stays
// in the name tables for the descriptors other code adds.
const ImplRow kEncoderRows[] = {
    {0x5001, RAVK_VIDEO_H264, "vtenc_h264_hw", false},  {0x5002, RAVK_VIDEO_H264, "vtenc_h264", false},
    {0x5003, RAVK_VIDEO_H265, "vtenc_h265_hw", false},  {0x5004, RAVK_VIDEO_H265, "vtenc_h265", false},
    {0x5005, RAVK_VIDEO_H264, "unknown", false},        {0x5006, RAVK_VIDEO_H265, "unknown", false},
    {0x5007, RAVK_VIDEO_VP8, "unknown", false},         {0x5008, RAVK_VIDEO_VP9, "unknown", false},
    {0x5009, RAVK_VIDEO_H264, "mfh264device1enc", true}, {0x500A, RAVK_VIDEO_H264, "mfh264enc", true},
    {0x500B, RAVK_VIDEO_H265, "mfh265device1enc", true}, {0x500C, RAVK_VIDEO_H265, "mfh265enc", true},
    {0x500D, RAVK_VIDEO_VP8, "mfvp8device1enc", true},   {0x500E, RAVK_VIDEO_VP8, "mfvp8enc", true},
    {0x500F, RAVK_VIDEO_VP9, "mfvp9device1enc", true},   {0x5010, RAVK_VIDEO_VP9, "mfvp9enc", true},
    {0x5011, RAVK_VIDEO_H264, "v4l2h264enc", false},    {0x5012, RAVK_VIDEO_H264, "msdkh264enc", false},
    {0x5013, RAVK_VIDEO_H265, "msdkh265enc", false},    {0x5014, RAVK_VIDEO_H264, "vaapih264enc", false},
    {0x5015, RAVK_VIDEO_H265, "vaapih265enc", false},   {0x5016, RAVK_VIDEO_VP8, "vaapivp8enc", false},
    {0x5017, RAVK_VIDEO_VP9, "vaapivp9enc", false},     {0x5018, RAVK_VIDEO_AV1, "unknown", false},
    {0x5019, RAVK_VIDEO_H264, "omxh264enc", false},     {0x501A, RAVK_VIDEO_H264, "openh264enc", false},
    {0x501B, RAVK_VIDEO_H264, "x264enc", false},        {0x501C, RAVK_VIDEO_VP8, "vp8enc", true},
    {0x501D, RAVK_VIDEO_VP9, "vp9enc", true},           {0x501E, RAVK_VIDEO_MJPEG, "jpegenc", false},
};

const ImplRow kDecoderRows[] = {
    {0x6001, RAVK_VIDEO_H264, "vtdec_hw", false},     {0x6002, RAVK_VIDEO_H264, "vtdec", false},
    {0x6003, RAVK_VIDEO_H264, "unknown", false},      {0x6004, RAVK_VIDEO_H265, "unknown", false},
    {0x6005, RAVK_VIDEO_VP8, "unknown", false},       {0x6006, RAVK_VIDEO_VP9, "unknown", false},
    {0x6007, RAVK_VIDEO_H264, "v4l2h264dec", false},  {0x6008, RAVK_VIDEO_H265, "v4l2slh265dec", false},
    {0x6009, RAVK_VIDEO_H264, "msdkh264dec", false},  {0x600A, RAVK_VIDEO_H265, "msdkh265dec", false},
    {0x600B, RAVK_VIDEO_H264, "vaapih264dec", false}, {0x600C, RAVK_VIDEO_H265, "vaapih265dec", false},
    {0x600D, RAVK_VIDEO_VP8, "vaapivp8dec", false},   {0x600E, RAVK_VIDEO_VP9, "vaapivp9dec", false},
    {0x600F, RAVK_VIDEO_AV1, "unknown", false},       {0x6010, RAVK_VIDEO_H264, "omxh264dec", false},
    {0x6011, RAVK_VIDEO_H264, "openh264dec", false},  {0x6012, RAVK_VIDEO_H264, "avdec_h264", true},
    {0x6013, RAVK_VIDEO_H265, "avdec_h265", false},   {0x6014, RAVK_VIDEO_H264, "d3d11h264dec", true},
    {0x6015, RAVK_VIDEO_H265, "d3d11h265dec", true},  {0x6016, RAVK_VIDEO_VP8, "d3d11vp8dec", true},
    {0x6017, RAVK_VIDEO_VP9, "d3d11vp9dec", true},    {0x6018, RAVK_VIDEO_VP8, "vp8dec", true},
    {0x6019, RAVK_VIDEO_VP9, "vp9dec", true},         {0x601A, RAVK_VIDEO_MJPEG, "jpegdec", false},
};

// Every implementation id is registered exactly when registration asks for
// it and its element exists on this machine.
TEST_F(CodecRegistry, RegisteredIfAndOnlyIfAskedForAndPresent)
{
    ASSERT_EQ(ravk_codecs_register(0), 0);
    for (uint32_t direction : {RAVK_CODEC_ENCODER, RAVK_CODEC_DECODER}) {
        std::multiset<uint64_t> registered;
        for (const CoreVideoCodecDesc &d : video_list(direction)) registered.insert(d.implementation_id);
        const bool encoder = direction == RAVK_CODEC_ENCODER;
        const ImplRow *rows = encoder ? kEncoderRows : kDecoderRows;
        const size_t count = encoder ? std::size(kEncoderRows) : std::size(kDecoderRows);
        for (size_t i = 0; i < count; ++i) {
            const ImplRow &row = rows[i];
            SCOPED_TRACE(testing::Message() << std::hex << row.id << " " << row.element);
            CoreVideoCodecDesc head = {};
            head.device_number = 1;
            EXPECT_STREQ(ravk_codec_factory_name(encoder ? RAVK_NODE_ENCODER : RAVK_NODE_DECODER, row.id,
                                                 video(row.codec), &head),
                         row.element);
            const bool expected = row.registration_asks && element_exists(row.element);
            EXPECT_EQ(registered.count(row.id), expected ? 1u : 0u);
        }
        EXPECT_EQ(registered.count(0), 1u);  // the no-codec entry
    }
}

// What the issue's machine offers: libvpx both ways, libav H.264 decoding,
// Opus both ways, and nothing of the other H.264 and H.265 software.
TEST_F(CodecRegistry, ThisMachineRegistersLibvpxLibavAndOpus)
{
    ASSERT_EQ(ravk_codecs_register(0), 0);
    std::set<uint64_t> encoders, decoders;
    for (const CoreVideoCodecDesc &d : video_list(RAVK_CODEC_ENCODER)) encoders.insert(d.implementation_id);
    for (const CoreVideoCodecDesc &d : video_list(RAVK_CODEC_DECODER)) decoders.insert(d.implementation_id);
    for (uint64_t id : {RAVK_ENC_VP8, RAVK_ENC_VP9}) EXPECT_EQ(encoders.count(id), 1u) << std::hex << id;
    for (uint64_t id : {RAVK_DEC_VP8, RAVK_DEC_VP9, RAVK_DEC_AV_H264}) EXPECT_EQ(decoders.count(id), 1u) << std::hex << id;
    for (uint64_t id : {RAVK_ENC_X264, RAVK_ENC_OPENH264, RAVK_ENC_JPEG}) EXPECT_EQ(encoders.count(id), 0u);
    for (uint64_t id : {RAVK_DEC_AV_H265, RAVK_DEC_OPENH264, RAVK_DEC_JPEG}) EXPECT_EQ(decoders.count(id), 0u);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_ENCODER), 1u);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_DECODER), 1u);
}

// ---- descriptors ------------------------------------------------------------------

CoreVideoCodecDesc expected_video(uint32_t direction, uint32_t input, uint32_t output, const char *family,
                                  uint32_t backend, uint32_t id, uint64_t profile_set, CoreVideoMode maximum)
{
    CoreVideoCodecDesc d = {};
    d.direction = direction;
    d.acceleration = RAVK_ACCEL_SOFTWARE;
    d.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    d.input = input;
    d.output = output;
    d.device_number = -1;
    snprintf(d.family, sizeof(d.family), "%s", family);
    d.backend = backend;
    d.implementation_id = id;
    d.profile_set = profile_set;
    d.minimum_mode = {64, 64, 1, 1};
    d.maximum_mode = maximum;
    d.alignment_width = 8;
    d.alignment_height = 4;
    return d;
}

CoreVideoCodecDesc no_codec(uint32_t direction)
{
    CoreVideoCodecDesc d = {};
    d.direction = direction;
    d.input = core_fourcc("NONE");
    d.output = core_fourcc("NONE");
    d.device_number = -1;
    return d;
}

void expect_same(const CoreVideoCodecDesc &got, const CoreVideoCodecDesc &want)
{
    EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0)
        << "id " << std::hex << got.implementation_id << " family " << got.family << " max "
        << mode_text(got.maximum_mode) << " want " << mode_text(want.maximum_mode);
}

// Every byte of every registered descriptor, in ranked order, on a
// 16-thread machine (class 3: encoders still prefer the classic codecs,
// decoders already the modern ones).
TEST_F(CodecRegistry, DescriptorsAsRegisteredAndRanked)
{
    SKIP_WITH_STAND_INS();
    core_cpu_count_override(16);
    ASSERT_EQ(ravk_codecs_register(0), 0);
    const uint32_t i420 = core_fourcc("I420");
    const std::vector<CoreVideoCodecDesc> encoders = video_list(RAVK_CODEC_ENCODER);
    ASSERT_EQ(encoders.size(), 3u);
    expect_same(encoders[0], no_codec(RAVK_CODEC_ENCODER));
    expect_same(encoders[1], expected_video(1, i420, core_fourcc("VP8X"), "Libvpx", 24, RAVK_ENC_VP8, 15,
                                            {2048, 2048, 60, 1}));
    expect_same(encoders[2], expected_video(1, i420, core_fourcc("VP9X"), "Libvpx", 24, RAVK_ENC_VP9, 15,
                                            {2048, 2048, 30, 1}));

    const std::vector<CoreVideoCodecDesc> decoders = video_list(RAVK_CODEC_DECODER);
    ASSERT_EQ(decoders.size(), 4u);
    expect_same(decoders[0], no_codec(RAVK_CODEC_DECODER));
    expect_same(decoders[1], expected_video(2, core_fourcc("VP9X"), i420, "Libvpx", 24, RAVK_DEC_VP9, 15,
                                            {2048, 2048, 60, 1}));
    expect_same(decoders[2], expected_video(2, core_fourcc("H264"), i420, "Libav", 11, RAVK_DEC_AV_H264, 4,
                                            {2560, 2560, 60, 1}));
    expect_same(decoders[3], expected_video(2, core_fourcc("VP8X"), i420, "Libvpx", 24, RAVK_DEC_VP8, 15,
                                            {2560, 2560, 60, 1}));

    for (uint32_t direction : {RAVK_CODEC_ENCODER, RAVK_CODEC_DECODER}) {
        const std::vector<CoreAudioCodecDesc> audio = audio_list(direction);
        ASSERT_EQ(audio.size(), 2u);
        CoreAudioCodecDesc none = {};
        none.direction = direction;
        none.input = none.output = core_fourcc("NONE");
        none.device_number = -1;
        EXPECT_EQ(memcmp(&audio[0], &none, sizeof(none)), 0);
        const CoreAudioCodecDesc &opus = audio[1];
        const bool encoder = direction == RAVK_CODEC_ENCODER;
        EXPECT_EQ(opus.acceleration, 1u);
        EXPECT_EQ(opus.codec_class, 2u);
        EXPECT_EQ(opus.input, core_fourcc(encoder ? "lpcm" : "opus"));
        EXPECT_EQ(opus.output, core_fourcc(encoder ? "opus" : "lpcm"));
        EXPECT_EQ(opus.device_number, -1);
        EXPECT_STREQ(opus.family, "Opus");
        EXPECT_EQ(opus.backend, 1u);
        EXPECT_EQ(opus.implementation_id, encoder ? 0x1005u : 0x2005u);
        EXPECT_EQ(opus.profile_set, 1u);
        uint32_t words[2];
        memcpy(words, &opus.minimum_format, sizeof(words));
        EXPECT_EQ(words[0], 48000u);
        EXPECT_EQ(words[1], 0x4C451002u);
        EXPECT_EQ(memcmp(&opus.minimum_format, &opus.maximum_format, sizeof(RavkAudioFormat)), 0);
        EXPECT_EQ(opus.evaluated_profile_set, 0u);
        EXPECT_EQ(opus.evaluated_minimum.rate, 0u);
    }
}

TEST_F(CodecRegistry, ProfileSelectsTheLimits)
{
    SKIP_WITH_STAND_INS();
    EXPECT_EQ(ravk_codecs_register(3), -1);
    EXPECT_EQ(core_codec_entry_count_video(RAVK_CODEC_ENCODER), 0u);
    EXPECT_EQ(core_codec_entry_count_audio(RAVK_CODEC_ENCODER), 0u);

    ASSERT_EQ(ravk_codecs_register(RAVK_CODEC_PROFILE_SMALL), 0);
    for (uint32_t direction : {RAVK_CODEC_ENCODER, RAVK_CODEC_DECODER}) {
        for (const CoreVideoCodecDesc &d : video_list(direction)) {
            if (d.acceleration == RAVK_ACCEL_NONE) continue;
            EXPECT_EQ(mode_text(d.maximum_mode), "1024x1024@30/1") << std::hex << d.implementation_id;
        }
    }
}

// A registration that fails at any add, during the registration steps or
// the ranking pass, leaves the lists exactly as it found them, codecs that
// others added before included; the next call then succeeds once.
TEST_F(CodecRegistry, FailureAtAnyAddLeavesTheListsAsFound)
{
    SKIP_WITH_STAND_INS();
    CoreVideoCodecDesc foreign = expected_video(1, core_fourcc("NV12"), core_fourcc("H264"), "VA-API", 3,
                                                RAVK_ENC_VAAPI_H264, 4, {3840, 2160, 60, 1});
    foreign.acceleration = RAVK_ACCEL_HARDWARE;
    foreign.codec_class = RAVK_CODEC_CLASS_PLATFORM;
    ASSERT_EQ(core_codec_add_video(&foreign, 1), 0);
    CoreAudioCodecDesc foreign_audio = {};
    foreign_audio.direction = RAVK_CODEC_DECODER;
    foreign_audio.acceleration = RAVK_ACCEL_SOFTWARE;
    foreign_audio.implementation_id = RAVK_ADEC_AAC;
    ASSERT_EQ(core_codec_add_audio(&foreign_audio, 1), 0);

    auto bytes = [] {
        std::vector<uint8_t> all;
        for (uint32_t direction : {RAVK_CODEC_ENCODER, RAVK_CODEC_DECODER}) {
            for (const auto &d : video_list(direction))
                all.insert(all.end(), reinterpret_cast<const uint8_t *>(&d), reinterpret_cast<const uint8_t *>(&d + 1));
            for (const auto &d : audio_list(direction))
                all.insert(all.end(), reinterpret_cast<const uint8_t *>(&d), reinterpret_cast<const uint8_t *>(&d + 1));
            all.push_back(0xFF);  // list boundary
        }
        return all;
    };
    const std::vector<uint8_t> found = bytes();

    int failures = 0;
    for (int adds = 0; adds < 200; ++adds) {
        ravk_codecs_fail_add_after(adds);
        if (ravk_codecs_register(0) == 0) break;
        ++failures;
        ASSERT_EQ(bytes(), found) << "after a failure at add " << adds;
    }
    ravk_codecs_fail_add_after(-1);
    // Registration (11 adds here) and ranking (13 more) were each cut.
    EXPECT_GE(failures, 20);

    const std::vector<CoreVideoCodecDesc> encoders = video_list(RAVK_CODEC_ENCODER);
    ASSERT_EQ(encoders.size(), 4u);  // one set: no-codec, the foreign one, two libvpx
    EXPECT_EQ(encoders[1].implementation_id, RAVK_ENC_VAAPI_H264);  // platform hardware ranks first
    EXPECT_EQ(audio_list(RAVK_CODEC_DECODER).size(), 3u);
    // The rebuilt lists number their entries afresh: later adds still find
    // a free number.
    EXPECT_EQ(core_codec_add_video(&foreign, 1), 0);
}

// ---- limits -----------------------------------------------------------------------

TEST(CodecLimits, LargestModeByProfileAccelerationBackendAndClass)
{
    struct Case {
        const char *purpose;
        uint32_t cpus, profile, backend;
        RavkAlignment alignment;
        uint32_t acceleration, direction, codec;
        const char *mode;  // "" for no mode
    };
    const Case cases[] = {
        {"libvpx VP9 encoder, class 3", 16, 0, 24, {8, 4}, 1, 1, RAVK_VIDEO_VP9, "2048x2048@30/1"},
        {"the same with profile 2", 16, 2, 24, {8, 4}, 1, 1, RAVK_VIDEO_VP9, "1024x1024@30/1"},
        {"profile 2 caps hardware too", 64, 2, 16, {32, 8}, 2, 1, RAVK_VIDEO_H264, "1024x1024@30/1"},
        {"hardware Media Foundation", 2, 0, 16, {32, 8}, 2, 1, RAVK_VIDEO_H264, "3840x2160@60/1"},
        {"software Media Foundation", 64, 0, 16, {32, 8}, 1, 1, RAVK_VIDEO_H265, "1920x1080@30/1"},
        {"V4L2 hardware, class 1", 4, 0, 6, {32, 8}, 2, 2, RAVK_VIDEO_H264, "1920x1080@30/1"},
        {"V4L2 stateless hardware, class 2", 8, 0, 7, {32, 8}, 2, 2, RAVK_VIDEO_H265, "1920x1080@60/1"},
        {"MJPEG software", 64, 0, 1, {8, 4}, 1, 1, RAVK_VIDEO_MJPEG, "1024x1024@30/1"},
        {"AV1 software encoder", 64, 0, 3, {8, 4}, 1, 1, RAVK_VIDEO_AV1, "1280x1280@30/1"},
        {"AV1 software decoder", 64, 0, 3, {8, 4}, 1, 2, RAVK_VIDEO_AV1, "2048x2048@30/1"},
        {"no acceleration", 64, 0, 24, {8, 4}, 0, 1, RAVK_VIDEO_VP8, "768x768@30/1"},
        {"x264, class 0", 2, 0, 22, {8, 4}, 1, 1, RAVK_VIDEO_H264, "1024x1024@30/1"},
        {"x264, class 7", 512, 0, 22, {8, 4}, 1, 1, RAVK_VIDEO_H264, "3840x3840@60/1"},
        {"libav H.264, class 0", 2, 0, 11, {8, 4}, 1, 2, RAVK_VIDEO_H264, "1600x1600@30/1"},
        {"OpenH264 decoder, class 2", 8, 0, 12, {8, 4}, 1, 2, RAVK_VIDEO_H264, "1600x1600@60/1"},
        {"H.264 on backend 15", 2, 0, 15, {8, 4}, 1, 2, RAVK_VIDEO_H264, "3840x2160@30/1"},
        {"H.264 encoder elsewhere", 64, 0, 4, {8, 4}, 1, 1, RAVK_VIDEO_H264, "1024x1024@30/1"},
        {"H.265 encoder on backend 23, class 5", 64, 0, 23, {8, 4}, 1, 1, RAVK_VIDEO_H265, "2048x2048@60/1"},
        {"H.265 libav decoder, class 3", 16, 0, 11, {8, 4}, 1, 2, RAVK_VIDEO_H265, "2048x2048@60/1"},
        {"H.265 decoder elsewhere", 16, 0, 21, {8, 4}, 1, 2, RAVK_VIDEO_H265, "2048x2048@30/1"},
        {"VP8 decoder elsewhere", 16, 0, 3, {8, 4}, 1, 2, RAVK_VIDEO_VP8, "2048x2048@30/1"},
        {"VP9 decoder, class 7", 256, 0, 24, {8, 4}, 1, 2, RAVK_VIDEO_VP9, "4096x4096@60/1"},
        {"rounded to the alignment", 16, 0, 24, {100, 3}, 1, 1, RAVK_VIDEO_VP9, "2000x2049@30/1"},
        {"direction 3 has no limit", 16, 0, 24, {8, 4}, 1, 3, RAVK_VIDEO_VP9, ""},
        {"nor of another codec", 16, 0, 24, {8, 4}, 1, 3, RAVK_VIDEO_THEORA, ""},
        {"MJPEG's holds for any direction", 16, 0, 1, {8, 4}, 1, 3, RAVK_VIDEO_MJPEG, "1024x1024@30/1"},
    };
    for (const Case &c : cases) {
        core_cpu_count_override(c.cpus);
        CoreVideoMode mode = {7, 7, 7, 7};
        const int result =
            ravk_codec_max_mode(c.profile, c.backend, c.alignment, c.acceleration, c.direction, video(c.codec), &mode);
        EXPECT_EQ(result == 0 ? mode_text(mode) : std::string(), c.mode) << c.purpose;
    }
    core_cpu_count_override(0);
}

// ---- choosers and probes ------------------------------------------------------------

class CodecChoosers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

TEST_F(CodecChoosers, ImplementationByCodecBackendAndAcceleration)
{
    struct Case {
        bool encoder;
        uint32_t codec, backend, acceleration, id;
        const char *family;
    };
    const Case cases[] = {
        {true, RAVK_VIDEO_H264, 12, 1, RAVK_ENC_OPENH264, "OpenH264"},
        {true, RAVK_VIDEO_H264, 22, 1, RAVK_ENC_X264, "x264"},
        {true, RAVK_VIDEO_H264, 17, 2, RAVK_ENC_AMC_H264, "Android Media Codec"},
        {true, RAVK_VIDEO_H264, 3, 2, RAVK_ENC_VAAPI_H264, "VA-API"},
        {true, RAVK_VIDEO_H264, 3, 1, 0, ""},
        {true, RAVK_VIDEO_H264, 16, 1, 0, ""},  // Media Foundation is registered directly
        {true, RAVK_VIDEO_H264, 12, 0, 0, ""},
        {true, RAVK_VIDEO_H264, 12, 3, 0, ""},
        {true, RAVK_VIDEO_VP8, 24, 1, RAVK_ENC_VP8, "Libvpx"},  // probed, present
        {true, RAVK_VIDEO_VP9, 24, 2, 0, ""},
        {true, RAVK_VIDEO_AV1, 3, 2, RAVK_ENC_VAAPI_AV1, "VA-API"},
        {true, RAVK_VIDEO_MJPEG, 1, 1, RAVK_ENC_JPEG, "GStreamer"},
        {true, RAVK_VIDEO_THEORA, 1, 1, 0, ""},
        {false, RAVK_VIDEO_H264, 11, 1, RAVK_DEC_AV_H264, "Libav"},  // probed, present
        {false, RAVK_VIDEO_H265, 11, 1, RAVK_DEC_AV_H265, "Libav"},
        {false, RAVK_VIDEO_H265, 21, 1, RAVK_DEC_MSDK_H265, "Intel Media SDK"},
        {false, RAVK_VIDEO_H264, 19, 2, 0, ""},  // probed, absent
        {false, RAVK_VIDEO_H265, 7, 2, 0, ""},
        {false, RAVK_VIDEO_H264, 4, 2, RAVK_DEC_OMX_H264, "OpenMAX"},
        {false, RAVK_VIDEO_VP9, 24, 1, RAVK_DEC_VP9, "Libvpx"},
        {false, RAVK_VIDEO_VP9, 17, 1, RAVK_DEC_AMC_VP9, "Android Media Codec"},
        {false, RAVK_VIDEO_AV1, 3, 2, RAVK_DEC_VAAPI_AV1, "VA-API"},
        {false, RAVK_VIDEO_MJPEG, 1, 1, RAVK_DEC_JPEG, "GStreamer"},
        {false, RAVK_VIDEO_MJPEG, 1, 2, 0, ""},
    };
    for (const Case &c : cases) {
        char family[CORE_CODEC_TEXT_SIZE] = "";
        const uint32_t id = c.encoder
                                ? ravk_video_encoder_impl_find(video(c.codec), c.backend, c.acceleration, -1, family,
                                                               sizeof(family))
                                : ravk_video_decoder_impl_find(video(c.codec), c.backend, c.acceleration, -1, family,
                                                               sizeof(family));
        EXPECT_EQ(id, c.id) << (c.encoder ? "encoder " : "decoder ") << c.codec << " on " << c.backend << " accel "
                            << c.acceleration;
        EXPECT_STREQ(family, c.family) << std::hex << c.id;
    }
    char small[4] = "xyz";
    EXPECT_EQ(ravk_video_decoder_impl_find(video(RAVK_VIDEO_VP8), 24, 1, -1, small, sizeof(small)), RAVK_DEC_VP8);
    EXPECT_STREQ(small, "Lib");
    EXPECT_EQ(ravk_video_decoder_impl_find(RAVK_VIDEO_VP8 << 16, 24, 1, -1, nullptr, 0), RAVK_DEC_VP8);  // bare id
}

TEST_F(CodecChoosers, SelectFromDescriptor)
{
    CoreVideoCodecDesc vaapi = {};
    vaapi.direction = RAVK_CODEC_ENCODER;
    vaapi.acceleration = RAVK_ACCEL_HARDWARE;
    vaapi.backend = RAVK_BACKEND_VAAPI;
    vaapi.device_number = -1;
    EXPECT_EQ(ravk_video_impl_select(video(RAVK_VIDEO_H264), &vaapi), RAVK_ENC_VAAPI_H264);
    vaapi.direction = RAVK_CODEC_DECODER;
    EXPECT_EQ(ravk_video_impl_select(video(RAVK_VIDEO_H265), &vaapi), RAVK_DEC_VAAPI_H265);
    vaapi.direction = 3;
    EXPECT_EQ(ravk_video_impl_select(video(RAVK_VIDEO_H264), &vaapi), 0u);
    vaapi.implementation_id = RAVK_ENC_MF_H264_DEVICE;  // a set id wins over everything
    EXPECT_EQ(ravk_video_impl_select(video(RAVK_VIDEO_VP8), &vaapi), RAVK_ENC_MF_H264_DEVICE);

    struct Case {
        uint32_t direction, codec, acceleration, backend, id;
    };
    const Case cases[] = {
        {1, RAVK_AUDIO_OPUS, 1, 1, RAVK_AENC_OPUS},    {2, RAVK_AUDIO_OPUS, 1, 1, RAVK_ADEC_OPUS},
        {1, RAVK_AUDIO_OPUS, 2, 1, 0},                 {1, RAVK_AUDIO_OPUS, 2, 6, RAVK_AENC_AMC_OPUS},
        {2, RAVK_AUDIO_OPUS, 2, 6, RAVK_ADEC_AMC_OPUS}, {1, RAVK_AUDIO_ALAW, 0, 3, RAVK_AENC_ALAW},
        {2, RAVK_AUDIO_MULAW, 2, 2, RAVK_ADEC_MULAW},   {2, RAVK_AUDIO_VORBIS, 1, 1, RAVK_ADEC_VORBIS},
        {1, RAVK_AUDIO_AAC, 1, 1, RAVK_AENC_AAC},       {1, RAVK_AUDIO_RAW, 1, 1, 0},
        {3, RAVK_AUDIO_ALAW, 1, 1, 0},
    };
    for (const Case &c : cases) {
        CoreAudioCodecDesc desc = {};
        desc.direction = c.direction;
        desc.acceleration = c.acceleration;
        desc.backend = c.backend;
        EXPECT_EQ(ravk_audio_impl_select(ravk_audio_codec_id(c.codec), &desc), c.id)
            << "direction " << c.direction << " codec " << c.codec << " accel " << c.acceleration;
    }
}

TEST(CodecFourcc, ByCodecByte)
{
    const std::pair<uint32_t, const char *> cases[] = {
        {RAVK_VIDEO_H264, "H264"}, {RAVK_VIDEO_H265, "H265"}, {RAVK_VIDEO_VP8, "VP8X"}, {RAVK_VIDEO_VP9, "VP9X"},
        {RAVK_VIDEO_AV1, "av01"},  {RAVK_VIDEO_MJPEG, "MJPG"}, {RAVK_VIDEO_THEORA, "theo"}, {RAVK_VIDEO_RAW, "NONE"},
        {9, "NONE"},
    };
    for (const auto &[codec, text] : cases) {
        const uint32_t fourcc = ravk_video_codec_fourcc(video(codec));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&fourcc), 4), text) << codec;
    }
}

TEST_F(CodecChoosers, ProbesMakeOnlyTheProbedElements)
{
    CoreVideoCodecDesc head = {};
    head.device_number = -1;
    EXPECT_EQ(ravk_encoder_probe(RAVK_ENC_VP8, &head), 1);
    EXPECT_EQ(head.acceleration, RAVK_ACCEL_SOFTWARE);
    EXPECT_EQ(ravk_decoder_probe(RAVK_DEC_AV_H264, &head), 1);

    // x264enc and jpegdec exist here but are never probed.
    CoreVideoCodecDesc untouched = {};
    untouched.acceleration = 7;
    EXPECT_EQ(ravk_encoder_probe(RAVK_ENC_X264, &untouched), 0);
    EXPECT_EQ(ravk_decoder_probe(RAVK_DEC_JPEG, &untouched), 0);
    EXPECT_EQ(ravk_encoder_probe(RAVK_DEC_VP8, &untouched), 0);  // a decoder id is no encoder
    EXPECT_EQ(untouched.acceleration, 7u);
    EXPECT_EQ(ravk_encoder_probe(RAVK_ENC_VP8, nullptr), 0);

    EXPECT_EQ(ravk_encoder_available(RAVK_ENC_VP9, -1), 1);
    EXPECT_EQ(ravk_decoder_available(RAVK_DEC_D3D11_H265, -1), 0);
    EXPECT_EQ(ravk_encoder_is_hardware(RAVK_ENC_VP9, -1), 0);

    CoreFrameSize size = {};
    ravk_d3d11_max_decoder_size({32, 8}, video(RAVK_VIDEO_H264), &size);
    EXPECT_EQ(size.width, 1920u);
    EXPECT_EQ(size.height, 1080u);
}

// ---- platform codecs on stand-in elements -------------------------------------------

// An element type whose only feature is its class metadata, which is all a
// probe reads.
GType stand_in_type(const char *type_name, const char *klass)
{
    GTypeInfo info = {};
    info.class_size = sizeof(GstElementClass);
    info.class_init = [](gpointer g_class, gpointer data) {
        gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(g_class), "stand-in", static_cast<const char *>(data),
                                              "stands in for a platform codec", "test");
    };
    info.class_data = klass;
    info.instance_size = sizeof(GstElement);
    return g_type_register_static(GST_TYPE_ELEMENT, type_name, &info, GTypeFlags(0));
}

// Media Foundation H.264: the default element in hardware, device 1 in
// software, device 3 without a device 2; a software Media Foundation VP9;
// a hardware V4L2 H.264 encoder; a Direct3D 11 VP8 decoder.
class PlatformCodecs : public CodecRegistry {
protected:
    static void SetUpTestSuite()
    {
        CodecRegistry::SetUpTestSuite();
        static const bool registered = [] {
            const GType hardware = stand_in_type("RavkTestHardwareCodec", "Codec/Encoder/Video/Hardware");
            const GType software = stand_in_type("RavkTestSoftwareCodec", "Codec/Encoder/Video");
            return gst_element_register(nullptr, "mfh264enc", GST_RANK_NONE, hardware) &&
                   gst_element_register(nullptr, "mfh264device1enc", GST_RANK_NONE, software) &&
                   gst_element_register(nullptr, "mfh264device3enc", GST_RANK_NONE, software) &&
                   gst_element_register(nullptr, "mfvp9enc", GST_RANK_NONE, software) &&
                   gst_element_register(nullptr, "v4l2h264enc", GST_RANK_NONE, hardware) &&
                   gst_element_register(nullptr, "d3d11vp8dec", GST_RANK_NONE, hardware);
        }();
        ASSERT_TRUE(registered);
    }
};

TEST_F(PlatformCodecs, HardwareKlassMeansHardware)
{
    CoreVideoCodecDesc head = {};
    head.device_number = -1;
    EXPECT_EQ(ravk_encoder_probe(RAVK_ENC_MF_H264, &head), 1);
    EXPECT_EQ(head.acceleration, RAVK_ACCEL_HARDWARE);
    EXPECT_EQ(ravk_encoder_is_hardware(RAVK_ENC_MF_H264, -1), 1);
    EXPECT_EQ(ravk_encoder_is_hardware(RAVK_ENC_MF_H264_DEVICE, 1), 0);
    EXPECT_EQ(ravk_encoder_available(RAVK_ENC_MF_H264_DEVICE, 2), 0);
    EXPECT_EQ(ravk_video_encoder_impl_find(video(RAVK_VIDEO_H264), RAVK_BACKEND_V4L2, 2, -1, nullptr, 0),
              RAVK_ENC_V4L2_H264);
}

// Registered on a 2-thread machine (class 0): Media Foundation before
// libvpx, hardware before software, VP9 before H.264 among the platform
// encoders; numbered devices up to the first gap; the Direct3D 11 decoder
// with the weak machine's rate.
TEST_F(PlatformCodecs, RegisteredAndRankedWithTheirDeviceNumbers)
{
    core_cpu_count_override(2);
    ASSERT_EQ(ravk_codecs_register(0), 0);
    const std::vector<CoreVideoCodecDesc> encoders = video_list(RAVK_CODEC_ENCODER);
    EXPECT_EQ(ids_of(encoders), (std::vector<uint64_t>{0, RAVK_ENC_MF_H264, RAVK_ENC_MF_VP9, RAVK_ENC_MF_H264_DEVICE,
                                                       RAVK_ENC_VP8, RAVK_ENC_VP9}));
    ASSERT_EQ(encoders.size(), 6u);
    struct Expect {
        uint32_t acceleration;
        int32_t device;
        const char *maximum;
        const char *element;
    };
    const Expect expect[] = {
        {2, -1, "3840x2160@60/1", "mfh264enc"},
        {1, -1, "1920x1080@30/1", "mfvp9enc"},
        {1, 1, "1920x1080@30/1", "mfh264device1enc"},
    };
    for (int i = 0; i < 3; ++i) {
        CoreVideoCodecDesc d = encoders[i + 1];
        SCOPED_TRACE(d.implementation_id);
        EXPECT_EQ(d.acceleration, expect[i].acceleration);
        EXPECT_EQ(d.codec_class, RAVK_CODEC_CLASS_PLATFORM);
        EXPECT_EQ(d.input, core_fourcc("NV12"));
        EXPECT_EQ(d.device_number, expect[i].device);
        EXPECT_STREQ(d.family, "Media Foundation");
        EXPECT_EQ(d.backend, uint64_t(RAVK_BACKEND_MEDIA_FOUNDATION));
        EXPECT_EQ(d.alignment_width, 32u);
        EXPECT_EQ(d.alignment_height, 8u);
        EXPECT_EQ(mode_text(d.maximum_mode), expect[i].maximum);
        EXPECT_EQ(d.element_name[0], '\0');
        const uint32_t codec = d.implementation_id == RAVK_ENC_MF_VP9 ? RAVK_VIDEO_VP9 : RAVK_VIDEO_H264;
        EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, uint32_t(d.implementation_id), video(codec), &d),
                     expect[i].element);
    }

    const std::vector<CoreVideoCodecDesc> decoders = video_list(RAVK_CODEC_DECODER);
    ASSERT_GE(decoders.size(), 2u);
    const CoreVideoCodecDesc &d3d11 = decoders[1];
    EXPECT_EQ(d3d11.implementation_id, uint64_t(RAVK_DEC_D3D11_VP8));
    EXPECT_EQ(d3d11.acceleration, RAVK_ACCEL_HARDWARE);
    EXPECT_EQ(d3d11.codec_class, RAVK_CODEC_CLASS_PLATFORM);
    EXPECT_EQ(d3d11.input, core_fourcc("VP8X"));
    EXPECT_EQ(d3d11.output, core_fourcc("NV12"));
    EXPECT_STREQ(d3d11.family, "Direct3D 11");
    EXPECT_EQ(d3d11.profile_set, 15u);
    EXPECT_EQ(mode_text(d3d11.maximum_mode), "1920x1080@30/1");
}

// Ranking moves entries but keeps their device numbers: the numbered
// encoder still names its own element and keeps the identity stored
// evaluation results are matched by.
TEST_F(PlatformCodecs, RankingKeepsIdentityAndElementOfNumberedDevices)
{
    ASSERT_EQ(ravk_codec_register_video_none(), 0);
    ASSERT_EQ(ravk_codec_register_vpx_encoders(0), 0);
    ASSERT_EQ(ravk_codec_register_mf_encoders(0), 0);
    // Position and copy of the numbered device's entry.
    auto numbered = [](CoreVideoCodecDesc *out) {
        const std::vector<CoreVideoCodecDesc> list = video_list(RAVK_CODEC_ENCODER);
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].implementation_id != RAVK_ENC_MF_H264_DEVICE) continue;
            *out = list[i];
            return int(i);
        }
        return -1;
    };
    CoreVideoCodecDesc before = {}, after = {};
    const int position_before = numbered(&before);
    ASSERT_GE(position_before, 0);
    ASSERT_EQ(before.device_number, 1);
    CoreName identity_before, identity_after;
    core_sha256_name(&before, -1, &identity_before);

    ASSERT_EQ(ravk_codec_rank_video(RAVK_CODEC_ENCODER), 0);
    const int position_after = numbered(&after);
    ASSERT_GE(position_after, 0);
    // It moved, here to the position of a device that exists as well
    // (device 3), so a position in the device field would name that one.
    EXPECT_EQ(position_after, 3);
    EXPECT_NE(position_after, position_before);
    EXPECT_EQ(after.device_number, 1);
    core_sha256_name(&after, -1, &identity_after);
    EXPECT_EQ(memcmp(identity_before.key, identity_after.key, sizeof(identity_before.key)), 0);
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_MF_H264_DEVICE, video(RAVK_VIDEO_H264), &after),
                 "mfh264device1enc");
}

}  // namespace
