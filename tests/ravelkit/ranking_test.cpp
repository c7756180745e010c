// Codec ranking: scores, the ranked order of encoders and decoders by
// processor class, and what a ranked list keeps of its entries.
#include "ravelkit/ranking.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/system.h"
#include "core/values.h"
#include "ravelkit/codecs.h"

namespace {

// A descriptor with just what the score reads, named by its family text.
CoreVideoCodecDesc video(uint32_t direction, uint32_t acceleration, uint32_t codec_class, const char *fourcc,
                         const char *name, int32_t device = -1)
{
    CoreVideoCodecDesc d = {};
    d.direction = direction;
    d.acceleration = acceleration;
    d.codec_class = codec_class;
    uint32_t code;
    memcpy(&code, fourcc, 4);
    d.input = direction == RAVK_CODEC_ENCODER ? core_fourcc("NV12") : code;
    d.output = direction == RAVK_CODEC_ENCODER ? code : core_fourcc("NV12");
    d.device_number = device;
    snprintf(d.family, sizeof(d.family), "%s", name);
    return d;
}

constexpr uint32_t ENC = RAVK_CODEC_ENCODER, DEC = RAVK_CODEC_DECODER;
constexpr uint32_t HW = RAVK_ACCEL_HARDWARE, SW = RAVK_ACCEL_SOFTWARE;
constexpr uint32_t PLATFORM = RAVK_CODEC_CLASS_PLATFORM, PORTABLE = RAVK_CODEC_CLASS_PORTABLE;

TEST(CodecScores, ScoresOfThePartsExamples)
{
    core_cpu_count_override(2);  // weak for both directions
    struct Case {
        const char *purpose;
        CoreVideoCodecDesc desc;
        uint32_t score;
    };
    const Case weak[] = {
        {"no-codec entry", video(ENC, 0, 0, "NONE", ""), 0x7FFFFFFF},
        {"no-codec entry of direction 3", video(3, 0, 0, "NONE", ""), 0x7FFFFFFF},
        {"hardware platform H.265 encoder", video(ENC, HW, PLATFORM, "H265", ""), 0x3FFFFFFF + 0x0FFFFFFF + 0x1FFFFF},
        {"hardware platform H.264 encoder", video(ENC, HW, PLATFORM, "H264", ""), 0x3FFFFFFF + 0x0FFFFFFF + 0x7FFFF},
        {"software platform VP9 encoder", video(ENC, SW, PLATFORM, "VP9X", ""), 0x3FFFFFFF + 0x07FFFFFF + 0xFFFFF},
        {"libvpx VP8 encoder, weak machine", video(ENC, SW, PORTABLE, "VP8X", ""), 0x3FFFFFFF + 0x01FFFFFF + 0xFFFFF},
        {"portable hardware AV1 decoder", video(DEC, HW, PORTABLE, "av01", ""), 0x1FFFFFFF + 0x03FFFFFF},
        {"class 0 codec", video(ENC, SW, 0, "H264", ""), 0x3FFFFFFF},
        {"acceleration 3", video(DEC, 3, PLATFORM, "H264", ""), 0x1FFFFFFF},
        {"direction 3: no base and no codec bonus", video(3, SW, PORTABLE, "H264", ""), 0x01FFFFFF},
        {"direction 3 of no class", video(3, SW, 0, "H264", ""), 0},
    };
    for (const Case &c : weak) EXPECT_EQ(ravk_codec_score_video(&c.desc), c.score) << c.purpose;

    core_cpu_count_override(32);
    CoreVideoCodecDesc vp8 = video(ENC, SW, PORTABLE, "VP8X", "");
    EXPECT_EQ(ravk_codec_score_video(&vp8), 0x3FFFFFFFu + 0x01FFFFFF + 0x3FFFF) << "strong machine";
    CoreVideoCodecDesc h265 = video(ENC, HW, PLATFORM, "H265", "");
    EXPECT_EQ(ravk_codec_score_video(&h265), 0x3FFFFFFFu + 0x0FFFFFFF + 0x1FFFFF) << "platform ignores the machine";
    core_cpu_count_override(0);

    CoreAudioCodecDesc opus = {};
    opus.direction = ENC;
    opus.acceleration = SW;
    opus.codec_class = PORTABLE;
    EXPECT_EQ(ravk_codec_score_audio(&opus), 0x3FFFFFFFu + 0x01FFFFFF);
    opus.direction = DEC;
    EXPECT_EQ(ravk_codec_score_audio(&opus), 0x1FFFFFFFu + 0x01FFFFFF);
    opus.codec_class = PLATFORM;
    opus.acceleration = HW;
    EXPECT_EQ(ravk_codec_score_audio(&opus), 0x1FFFFFFFu + 0x0FFFFFFF);
    opus.acceleration = RAVK_ACCEL_NONE;
    EXPECT_EQ(ravk_codec_score_audio(&opus), 0x7FFFFFFFu);

    // Descending: the comparator is negative when a ranks first.
    CoreVideoCodecDesc none = video(ENC, 0, 0, "NONE", "");
    EXPECT_LT(ravk_codec_compare_video(&none, &h265), 0);
    EXPECT_GT(ravk_codec_compare_video(&h265, &none), 0);
    EXPECT_EQ(ravk_codec_compare_video(&h265, &h265), 0);
}

class CodecRanking : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override
    {
        core_cpu_count_override(0);
        core_system_stop();
    }

    static std::vector<std::string> ranked(uint32_t direction, const std::vector<CoreVideoCodecDesc> &entries)
    {
        ravk_codec_list_clear_video(direction);
        for (const CoreVideoCodecDesc &d : entries) EXPECT_EQ(core_codec_add_video(&d, 1), 0);
        EXPECT_EQ(ravk_codec_rank_video(direction), 0);
        std::vector<std::string> names;
        CoreVideoCodecDesc d;
        for (int64_t i = 0; core_codec_get_video(i, direction, &d) == 0; ++i) names.push_back(d.family);
        return names;
    }
};

// Media Foundation encoders (platform) always rank before libvpx
// (portable), hardware before software, H.265, VP9, H.264, VP8 among
// themselves; libvpx prefers VP9 only from 32 threads on.
TEST_F(CodecRanking, EncoderOrderByProcessorClass)
{
    // Registration order, scrambled on purpose.
    const std::vector<CoreVideoCodecDesc> entries = {
        video(ENC, SW, PORTABLE, "VP9X", "vpx-vp9"),  video(ENC, SW, PLATFORM, "VP8X", "mf-vp8"),
        video(ENC, HW, PLATFORM, "H264", "mf-h264-hw"), video(ENC, 0, 0, "NONE", "none"),
        video(ENC, SW, PORTABLE, "VP8X", "vpx-vp8"),  video(ENC, HW, PLATFORM, "VP8X", "mf-vp8-hw"),
        video(ENC, SW, PLATFORM, "H265", "mf-h265"),  video(ENC, HW, PLATFORM, "H265", "mf-h265-hw"),
        video(ENC, SW, PLATFORM, "H264", "mf-h264"),  video(ENC, HW, PLATFORM, "VP9X", "mf-vp9-hw"),
        video(ENC, SW, PLATFORM, "VP9X", "mf-vp9"),
    };
    const std::vector<std::string> platform = {"none",    "mf-h265-hw", "mf-vp9-hw", "mf-h264-hw", "mf-vp8-hw",
                                               "mf-h265", "mf-vp9",     "mf-h264",   "mf-vp8"};
    struct Case {
        uint32_t cpus;  // classes 0, 2, 3, 4
        std::vector<std::string> portable;
    };
    const Case cases[] = {
        {2, {"vpx-vp8", "vpx-vp9"}},
        {8, {"vpx-vp8", "vpx-vp9"}},
        {16, {"vpx-vp8", "vpx-vp9"}},
        {32, {"vpx-vp9", "vpx-vp8"}},
    };
    for (const Case &c : cases) {
        core_cpu_count_override(c.cpus);
        std::vector<std::string> expected = platform;
        expected.insert(expected.end(), c.portable.begin(), c.portable.end());
        EXPECT_EQ(ranked(ENC, entries), expected) << c.cpus << " threads";
    }
}

// Direct3D 11 decoders (platform) rank before libvpx and libav; the
// portable decoders switch to the modern order from 8 threads on.
TEST_F(CodecRanking, DecoderOrderByProcessorClass)
{
    const std::vector<CoreVideoCodecDesc> entries = {
        video(DEC, SW, PORTABLE, "H264", "av-h264"),   video(DEC, SW, PORTABLE, "VP8X", "vpx-vp8"),
        video(DEC, HW, PLATFORM, "VP8X", "d3d-vp8"),   video(DEC, SW, PORTABLE, "VP9X", "vpx-vp9"),
        video(DEC, HW, PLATFORM, "H264", "d3d-h264"), video(DEC, 0, 0, "NONE", "none"),
        video(DEC, HW, PLATFORM, "VP9X", "d3d-vp9"),   video(DEC, HW, PLATFORM, "H265", "d3d-h265"),
    };
    const std::vector<std::string> platform = {"none", "d3d-h265", "d3d-vp9", "d3d-h264", "d3d-vp8"};
    struct Case {
        uint32_t cpus;
        std::vector<std::string> portable;
    };
    const Case cases[] = {
        {2, {"av-h264", "vpx-vp8", "vpx-vp9"}},
        {8, {"vpx-vp9", "av-h264", "vpx-vp8"}},
        {16, {"vpx-vp9", "av-h264", "vpx-vp8"}},
        {32, {"vpx-vp9", "av-h264", "vpx-vp8"}},
    };
    for (const Case &c : cases) {
        core_cpu_count_override(c.cpus);
        std::vector<std::string> expected = platform;
        expected.insert(expected.end(), c.portable.begin(), c.portable.end());
        EXPECT_EQ(ranked(DEC, entries), expected) << c.cpus << " threads";
    }
}

// Ranking only reorders: every entry keeps all its bytes, device numbers
// included; key numbers run from 0 again; a list of the no-codec entry
// alone keeps it; an empty list stays empty.
TEST_F(CodecRanking, RankedEntriesKeepEveryField)
{
    std::vector<CoreVideoCodecDesc> entries = {
        video(ENC, SW, PLATFORM, "H264", "device-7", 7),
        video(ENC, HW, PLATFORM, "H264", "device-3", 3),
        video(ENC, 0, 0, "NONE", "none"),
    };
    entries[0].maximum_mode = {1920, 1080, 30, 1};
    entries[1].evaluated_profile_set = 16;
    ASSERT_EQ(ranked(ENC, entries), (std::vector<std::string>{"none", "device-3", "device-7"}));
    const CoreVideoCodecDesc *want[] = {&entries[2], &entries[1], &entries[0]};
    for (int i = 0; i < 3; ++i) {
        CoreVideoCodecDesc got;
        ASSERT_EQ(core_codec_get_video(i, ENC, &got), 0);
        EXPECT_EQ(memcmp(&got, want[i], sizeof(got)), 0) << got.family;
    }
    EXPECT_EQ(core_codec_entry_count_video(ENC), 3u);
    CoreVideoCodecDesc late = video(ENC, SW, PORTABLE, "VP8X", "late");
    EXPECT_EQ(core_codec_add_video(&late, 1), 0);  // number 3 is free after the rebuild

    EXPECT_EQ(ranked(DEC, {video(DEC, 0, 0, "NONE", "none")}), std::vector<std::string>{"none"});
    EXPECT_EQ(ravk_codec_rank_audio(ENC), 0);
    EXPECT_EQ(core_codec_entry_count_audio(ENC), 0u);
    EXPECT_EQ(ravk_codec_rank_video(3), 0);

    CoreAudioCodecDesc none = {}, opus = {};
    none.direction = opus.direction = DEC;
    opus.acceleration = SW;
    opus.codec_class = PORTABLE;
    ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
    ASSERT_EQ(core_codec_add_audio(&none, 1), 0);
    ASSERT_EQ(ravk_codec_rank_audio(DEC), 0);
    CoreAudioCodecDesc first;
    ASSERT_EQ(core_codec_get_audio(0, DEC, &first), 0);
    EXPECT_EQ(first.acceleration, RAVK_ACCEL_NONE);
}

TEST_F(CodecRanking, ClearEmptiesOneListOrNone)
{
    CoreVideoCodecDesc enc = video(ENC, SW, PORTABLE, "VP8X", "e");
    CoreVideoCodecDesc dec = video(DEC, SW, PORTABLE, "VP8X", "d");
    ASSERT_EQ(core_codec_add_video(&enc, 1), 0);
    ASSERT_EQ(core_codec_add_video(&enc, 1), 0);
    ASSERT_EQ(core_codec_add_video(&dec, 1), 0);
    ravk_codec_list_clear_video(3);
    ravk_codec_list_clear_video(0);
    EXPECT_EQ(core_codec_entry_count_video(ENC), 2u);
    ravk_codec_list_clear_video(ENC);
    EXPECT_EQ(core_codec_entry_count_video(ENC), 0u);
    EXPECT_EQ(core_codec_entry_count_video(DEC), 1u);

    CoreAudioCodecDesc audio = {};
    audio.direction = ENC;
    ASSERT_EQ(core_codec_add_audio(&audio, 1), 0);
    ravk_codec_lists_clear();
    EXPECT_EQ(core_codec_entry_count_video(DEC), 0u);
    EXPECT_EQ(core_codec_entry_count_audio(ENC), 0u);
}

}  // namespace
