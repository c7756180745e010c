#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/codec_ids.h"

namespace {

std::vector<uint32_t> walk(int modern)
{
    std::vector<uint32_t> visited;
    for (uint32_t i = engine_video_codec_next(ENGINE_VIDEO_CODEC_NONE, modern); i != ENGINE_VIDEO_CODEC_NONE;
         i = engine_video_codec_next(i, modern)) {
        visited.push_back(i);
        if (visited.size() > 8) break;  // a cycle would never end the walk
    }
    return visited;
}

TEST(EngineCodecIds, PreferenceOrdersEndWithMjpegAndNeverOfferTheora)
{
    EXPECT_EQ(walk(1), (std::vector<uint32_t>{7, 2, 4, 1, 3, 5}));
    EXPECT_EQ(walk(0), (std::vector<uint32_t>{1, 3, 2, 4, 7, 5}));
    EXPECT_EQ(walk(-3), walk(1)) << "any non-zero flag is the modern order";
    for (uint32_t outside : {0u, 6u, 8u, 254u, 256u, 0xFFFFFFFFu}) {
        EXPECT_EQ(engine_video_codec_next(outside, 0), ENGINE_VIDEO_CODEC_NONE) << outside;
        EXPECT_EQ(engine_video_codec_next(outside, 1), ENGINE_VIDEO_CODEC_NONE) << outside;
    }
}

TEST(EngineCodecIds, VideoCodecFromFourcc)
{
    struct Case {
        const char *fourcc;
        uint32_t index;
    };
    const Case cases[] = {
        {"NV12", 0},   {"I420", 0},   {"Y8  ", 0},   {"BGRx", 0},   {"cyuv", 0},   {"ISaW", 0},
        {"H264", 1},   {"H265", 2},   {"VP8X", 3},   {"VP9X", 4},   {"MJPG", 5},   {"theo", 6},
        {"av01", 7},
        // Only the exact forms: case and aliases of the same codec do not count.
        {"h264", 255}, {"mjpg", 255}, {"nv12", 255}, {"avc1", 255}, {"X264", 255}, {"AVC1", 255},
        {"JPEG", 255}, {"AV01", 255}, {"NONE", 255}, {"lpcm", 255},
    };
    for (const Case &c : cases) {
        char text[5] = {c.fourcc[0], c.fourcc[1], c.fourcc[2], c.fourcc[3], 0};
        EXPECT_EQ(engine_video_codec_from_fourcc(core_fourcc(text)), c.index) << c.fourcc;
    }
    EXPECT_EQ(engine_video_codec_from_fourcc(0), 255u);
    EXPECT_EQ(core_fourcc("H264"), 0x34363248u) << "first character in the lowest byte";
}

TEST(EngineCodecIds, NamesAndFourccsOfIndices)
{
    struct Case {
        bool video;
        uint32_t index;
        const char *name;
        const char *fourcc;
    };
    const Case cases[] = {
        {false, 0, "PCM", "lpcm"},
        {false, 1, "ALAW", "alaw"},
        {false, 2, "ULAW", "ulaw"},
        {false, 3, "VORBIS", "OGG "},
        {false, 4, "OPUS", "opus"},
        {false, 5, "AAC", "aac "},
        {false, 6, "UNKNOWN (subtype 0x00000006)", "NONE"},
        {false, 9, "UNKNOWN (subtype 0x00000009)", "NONE"},
        {false, 0xFFFFFFFF, "UNKNOWN (subtype 0xFFFFFFFF)", "NONE"},
        {true, 0, "RAW", "NONE"},  // raw video has many FourCCs, so its index has none
        {true, 1, "H264", "H264"},
        {true, 2, "H265", "H265"},
        {true, 3, "VP8", "VP8X"},
        {true, 4, "VP9", "VP9X"},
        {true, 5, "MJPEG", "MJPG"},
        {true, 6, "THEORA", "theo"},
        {true, 7, "AV1", "av01"},
        {true, 8, "UNKNOWN (subtype 0x00000008)", "NONE"},
        {true, 255, "UNKNOWN (subtype 0x000000FF)", "NONE"},
    };
    for (const Case &c : cases) {
        char buffer[ENGINE_CODEC_NAME_SIZE];
        memset(buffer, 'x', sizeof buffer);
        char *name = c.video ? engine_video_codec_name(c.index, buffer) : engine_audio_codec_name(c.index, buffer);
        EXPECT_EQ(name, buffer);
        EXPECT_STREQ(buffer, c.name) << c.index;
        char text[5] = {c.fourcc[0], c.fourcc[1], c.fourcc[2], c.fourcc[3], 0};
        EXPECT_EQ(c.video ? engine_video_fourcc(c.index) : engine_audio_fourcc(c.index), core_fourcc(text))
            << c.name;
    }
    EXPECT_EQ(engine_audio_codec_name(0, nullptr), nullptr);
}

}  // namespace
