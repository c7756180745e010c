#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/profiles.h"
#include "negotiation_fixtures.h"

namespace {

using namespace negotiation;
using Ladder = std::vector<uint64_t>;

Ladder ladder(CoreVideoMode mode, int kind, const char (&fourcc)[5])
{
    uint64_t out[ENGINE_BITRATE_STEPS];
    engine_bitrate_ladder(&mode, kind, core_fourcc(fourcc), out);
    return Ladder(out, out + ENGINE_BITRATE_STEPS);
}

TEST(EngineBitrates, LadderByLongSideCodecAndKind)
{
    EXPECT_EQ(ladder({1920, 1080, 30, 1}, ENGINE_BINDER_KIND_P2P, "H264"),
              (Ladder{100000, 1370000, 2640000, 3910000, 5190000, 6460000, 7730000, 9000000}));
    EXPECT_EQ(ladder({1080, 1920, 30, 1}, ENGINE_BINDER_KIND_P2P, "H264"),
              ladder({1920, 1080, 30, 1}, ENGINE_BINDER_KIND_P2P, "H264"));

    // Targets (step 7): {mode, kind, codec, target}.
    const struct {
        CoreVideoMode mode;
        int kind;
        const char *fourcc;
        uint64_t target;
    } cases[] = {
        {{640, 360, 30, 1}, ENGINE_BINDER_KIND_P2P, "H265", 1500000},
        {{640, 360, 30, 1}, ENGINE_BINDER_KIND_P2P, "MJPG", 7500000},
        {{640, 360, 30, 1}, ENGINE_BINDER_KIND_P2P, "VP8X", 2250000},
        {{639, 360, 30, 1}, ENGINE_BINDER_KIND_P2P, "av01", 1000000},
        {{3840, 2160, 60, 1}, ENGINE_BINDER_KIND_P2P, "VP9X", 10000000},
        {{8192, 4320, 60, 1}, ENGINE_BINDER_KIND_P2P, "MJPG", 140000000},
        {{0, 0, 0, 0}, ENGINE_BINDER_KIND_P2P, "H264", 750000},
        {{0, 0, 0, 0}, ENGINE_BINDER_KIND_P2P, "NONE", 500000},
        {{1280, 720, 30, 1}, ENGINE_BINDER_KIND_P2M, "H264", 3000000},
        {{1280, 720, 30, 1}, ENGINE_BINDER_KIND_P2M, "MJPG", 3000000},
        {{1024, 576, 30, 1}, ENGINE_BINDER_KIND_P2M, "H264", 2000000},
        {{3840, 2160, 30, 1}, ENGINE_BINDER_KIND_NONE, "H264", 2000000},
    };
    for (const auto &c : cases) {
        uint64_t out[ENGINE_BITRATE_STEPS];
        uint32_t fourcc;
        memcpy(&fourcc, c.fourcc, 4);
        engine_bitrate_ladder(&c.mode, c.kind, fourcc, out);
        EXPECT_EQ(out[0], 100000u) << c.mode.width << " " << c.fourcc;
        EXPECT_EQ(out[7], c.target) << c.mode.width << " " << c.kind << " " << c.fourcc;
        for (int k = 1; k < ENGINE_BITRATE_STEPS; ++k) {
            EXPECT_EQ(out[k] % 10000, 0u);
            EXPECT_GT(out[k], out[k - 1]);
        }
    }
}

TEST(EngineBitrates, ByteRateWithFraming)
{
    // One 141-byte frame message per frame on top of the mean rate in bytes.
    EXPECT_EQ(engine_byte_rate_with_framing(64000, 64000, 50, 1), (160u + 141u) * 50u);
    EXPECT_EQ(engine_byte_rate_with_framing(100000, 9000000, 60, 1), (9479u + 141u) * 60u);
    // Without a usable rate: the bare mean.
    for (const uint32_t *rate : {(const uint32_t[]){0, 1}, (const uint32_t[]){30, 0},
                                 (const uint32_t[]){0xFFFFFFFFu, 1}, (const uint32_t[]){30, 0xFFFFFFFFu}})
        EXPECT_EQ(engine_byte_rate_with_framing(1600, 1600, rate[0], rate[1]), 200u);
    EXPECT_EQ(engine_byte_rate_with_framing(1600, 1600, 1, 10), 214u);  // (2000 + 141) / 10
    // Rates whose sum passes 64 bits do not wrap; a crawl of a frame rate
    // makes a per-frame size past 64 bits, which saturates rather than
    // being converted out of range.
    EXPECT_EQ(engine_byte_rate_with_framing(UINT64_MAX, UINT64_MAX, 0, 1), UINT64_MAX >> 3);
    EXPECT_GT(engine_byte_rate_with_framing(UINT64_MAX, UINT64_MAX, 1, 0xFFFFFFFEu), 0u);
    EXPECT_GT(engine_byte_rate_with_framing(UINT64_MAX, UINT64_MAX, 0xFFFFFFFEu, 1), UINT64_MAX >> 4);
}

class SendProfiles : public OnNode {
protected:
    void SetUp() override
    {
        OnNode::SetUp();
        capability_ = make_capability(2, 2, 2);
        ASSERT_NE(capability_, nullptr);
        core_name_format(&stream_, "stream.40000000");
    }
    EngineCapability *capability_ = nullptr;
    CoreName stream_;
};

TEST_F(SendProfiles, AudioStream)
{
    for (const uint32_t sink : {1u, 2u, 3u}) {
        capability_->audioSinkParam = sink;
        EngineProfileRequest p;
        memset(&p, 0x5A, sizeof p);
        const CoreVideoMode mode{1920, 1080, 30, 1};
        ASSERT_EQ(engine_profile_request_make(capability_, 0x401, 0x102, &stream_, &mode, 0, &p), CORE_OK);
        EXPECT_EQ(p.queueStart, 25u);
        EXPECT_EQ(p.queueDepth, 25u);
        EXPECT_EQ(p.byteRate, 301u * 50);
        EXPECT_EQ(p.chunkSize, 4096u);
        EXPECT_EQ(p.bitrateCeiling, 50000000u);
        EXPECT_EQ(p.minBitrate, 64000u);
        EXPECT_EQ(p.maxBitrate, 64000u);
        EXPECT_EQ(p.audioReserve, 40u);
        EXPECT_EQ(p.reserved, 0u);
        EXPECT_EQ(p.minFrameRate[0], 6u);
        EXPECT_EQ(p.minFrameRate[1], 1u);
        EXPECT_EQ(p.frameRate[0], 50u);
        EXPECT_EQ(p.frameRate[1], 1u);
        EXPECT_EQ(p.rateControl, sink == 3 ? 4u : 0u);
        EXPECT_EQ(p.roleWord, 0x102u);
        EXPECT_EQ(p.mediaFlags, 0x401u);
        EXPECT_EQ(memcmp(&p.streamName, &stream_, sizeof stream_), 0);
    }
}

// Rate control bits by {video sink parameter, bitrate policy, option}.
TEST_F(SendProfiles, VideoStream)
{
    const struct {
        uint32_t sink, policy, option, rateControl;
    } cases[] = {
        {2, 0, 1, 3}, {2, 0, 0, 1}, {2, 0, 7, 1}, {2, 1, 1, 0}, {3, 0, 1, 0}, {1, 0, 1, 0},
    };
    for (const auto &c : cases) {
        capability_->videoSinkParam = c.sink;
        capability_->bitratePolicy = c.policy;
        capability_->rateControlOption = c.option;
        EngineProfileRequest p;
        memset(&p, 0x5A, sizeof p);
        const CoreVideoMode mode{1920, 1080, 30000, 1001};
        ASSERT_EQ(engine_profile_request_make(capability_, 0x10002, 0x102, &stream_, &mode, 0, &p), CORE_OK);
        EXPECT_EQ(p.rateControl, c.rateControl) << c.sink << " " << c.policy << " " << c.option;
        EXPECT_EQ(p.queueStart, 30u);
        EXPECT_EQ(p.queueDepth, 30u);
        EXPECT_EQ(p.chunkSize, 262144u);
        EXPECT_EQ(p.bitrateCeiling, 50000000u);
        EXPECT_EQ(p.minBitrate, 100000u);
        EXPECT_EQ(p.maxBitrate, 9000000u);
        EXPECT_EQ(p.byteRate, engine_byte_rate_with_framing(100000, 9000000, 60, 1));
        EXPECT_EQ(p.audioReserve, 0u);
        EXPECT_EQ(p.reserved, 0u);
        EXPECT_EQ(p.minFrameRate[0], 6u);
        EXPECT_EQ(p.frameRate[0], 30000u);
        EXPECT_EQ(p.frameRate[1], 1001u);
    }
}

TEST_F(SendProfiles, VideoWithoutANegotiatedModeAndRecordsWithoutMedia)
{
    EngineProfileRequest p;
    ASSERT_EQ(engine_profile_request_make(capability_, 0x20002, 0x102, &stream_, nullptr, 0, &p), CORE_OK);
    EXPECT_EQ(p.maxBitrate, 500000u);  // H.265 at L = 0
    EXPECT_EQ(p.frameRate[0], 60u);
    EXPECT_EQ(p.frameRate[1], 1u);
    const CoreVideoMode noRate{1280, 720, 0, 1};
    ASSERT_EQ(engine_profile_request_make(capability_, 0x10002, 0x102, &stream_, &noRate, 1, &p), CORE_OK);
    EXPECT_EQ(p.maxBitrate, 3000000u);  // p2m: no codec factor
    EXPECT_EQ(p.frameRate[0], 60u);

    // Neither audio nor video: only the three given words.
    memset(&p, 0x5A, sizeof p);
    ASSERT_EQ(engine_profile_request_make(capability_, 0x10, 0x7, &stream_, nullptr, 0, &p), CORE_OK);
    EngineProfileRequest expected;
    memset(&expected, 0, sizeof expected);
    expected.mediaFlags = 0x10;
    expected.roleWord = 0x7;
    expected.streamName = stream_;
    EXPECT_EQ(memcmp(&p, &expected, sizeof p), 0);

    EXPECT_EQ(engine_profile_request_make(nullptr, 0x1, 0, &stream_, nullptr, 0, &p), CORE_ERR);
    EXPECT_EQ(engine_profile_request_make(capability_, 0x1, 0, nullptr, nullptr, 0, &p), CORE_ERR_INVALID);
}

}  // namespace
