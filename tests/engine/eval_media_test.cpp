// Generated evaluation media as tables: chunk sizes and the walk through
// one second of audio, the sample values drawn from the generator, the
// application-fed source records, the colour-bar picture with its noise
// patch, and the headers of the pushed samples.
#include "engine/eval_media.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/random.h"

namespace {

constexpr uint32_t kLpcm = core_fourcc("lpcm");
constexpr uint32_t kRgbx = core_fourcc("RGBx");
constexpr uint32_t kNone = core_fourcc("NONE");

// Replaces the calling thread's generator with a fixed sequence.
class ScriptedRand {
public:
    explicit ScriptedRand(std::vector<int> values) : values_(std::move(values)) { core_rand_set_hook(next, this); }
    ~ScriptedRand() { core_rand_set_hook(nullptr, nullptr); }

private:
    static int next(void *self)
    {
        auto *s = static_cast<ScriptedRand *>(self);
        return s->values_[s->at_++ % s->values_.size()];
    }
    std::vector<int> values_;
    size_t at_ = 0;
};

EngineAudioFormat audio(uint32_t rate, uint8_t channels, uint8_t bits, char type = 'S')
{
    return {rate, channels, bits, 0x4C45, uint8_t(type), {0, 0, 0}};
}

uint32_t pixel(const uint8_t *frame, const EngineEvalPicture &p, uint32_t x, uint32_t y)
{
    uint32_t word;
    std::memcpy(&word, frame + y * p.rowBytes + x * 4ull, 4);
    return word;
}

TEST(EvalMediaAudio, ChunkSizes)
{
    struct Case {
        const char *why;
        EngineAudioFormat format;
        uint32_t code;
        uint32_t rate[2];
        uint64_t perSecond;
        uint64_t chunk;
    } cases[] = {
        {"48 kHz stereo 16-bit: ten chunks of 19200", audio(48000, 2, 16), kLpcm, {10, 1}, 192000, 19200},
        {"44.1 kHz mono: 8820 rounded up to 8824", audio(44100, 1, 16), kLpcm, {10, 1}, 88200, 8824},
        {"8 kHz mono", audio(8000, 1, 16), kLpcm, {10, 1}, 16000, 1600},
        {"float stereo", audio(48000, 2, 32, 'F'), kLpcm, {10, 1}, 384000, 38400},
        {"not lpcm: nothing to generate", audio(48000, 2, 16), kNone, {10, 1}, 0, 0},
        {"zero chunk rate", audio(48000, 2, 16), kLpcm, {0, 1}, 192000, 0},
        {"zero denominator", audio(48000, 2, 16), kLpcm, {10, 0}, 192000, 0},
        {"half a chunk per second truncates to none", audio(48000, 2, 16), kLpcm, {1, 2}, 192000, 0},
        {"one chunk per second", audio(48000, 2, 16), kLpcm, {1, 1}, 192000, 192000},
        {"29.97 per second counts as 29", audio(48000, 2, 16), kLpcm, {30000, 1001}, 192000, 6624},
        {"a chunk of less than one byte", audio(1, 1, 32), kLpcm, {10, 1}, 4, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        const uint64_t perSecond = engine_eval_audio_bytes_per_second(&c.format, c.code);
        EXPECT_EQ(perSecond, c.perSecond);
        EXPECT_EQ(engine_eval_audio_chunk_bytes(perSecond, c.rate), c.chunk);
    }
}

TEST(EvalMediaAudio, ChunksWalkThroughOneSecond)
{
    struct Case {
        const char *why;
        uint64_t perSecond;
        uint64_t chunk;
        std::vector<uint64_t> lengths;  // of one second, then the walk starts again
    } cases[] = {
        {"ten equal chunks", 192000, 19200, std::vector<uint64_t>(10, 19200)},
        {"the last chunk takes the rest", 88200, 8824,
         {8824, 8824, 8824, 8824, 8824, 8824, 8824, 8824, 8824, 8784}},
        {"a chunk longer than the second", 12, 16, {12}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        uint64_t offset = 0;
        for (int round = 0; round < 2; ++round) {
            uint64_t expectedOffset = 0;
            for (uint64_t length : c.lengths) {
                EXPECT_EQ(offset, expectedOffset);
                EXPECT_EQ(engine_eval_audio_next_chunk(&offset, c.chunk, c.perSecond), length);
                expectedOffset += length;
            }
            EXPECT_EQ(offset, 0u) << "back to the start after one second";
        }
    }
    uint64_t outside = 200000;
    EXPECT_EQ(engine_eval_audio_next_chunk(&outside, 19200, 192000), 0u);
    EXPECT_EQ(engine_eval_audio_next_chunk(nullptr, 19200, 192000), 0u);
}

TEST(EvalMediaAudio, SampleValuesFollowTheFormat)
{
    const std::vector<int> draws = {0, 32767, 16384, 1, 0x1234};
    {
        ScriptedRand rand(draws);
        const EngineAudioFormat f = audio(48000, 1, 32, 'F');
        float values[5];
        engine_eval_audio_fill(reinterpret_cast<uint8_t *>(values), sizeof values, &f);
        for (size_t i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(values[i], float(draws[i] / 32767.0)) << "0 to 1, #" << i;
    }
    {
        ScriptedRand rand(draws);
        const EngineAudioFormat f = audio(48000, 1, 64, 'F');
        double values[5];
        engine_eval_audio_fill(reinterpret_cast<uint8_t *>(values), sizeof values, &f);
        EXPECT_DOUBLE_EQ(values[0], -1.0);
        EXPECT_DOUBLE_EQ(values[1], 1.0);
        for (size_t i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(values[i], draws[i] / 32767.0 * 2.0 - 1.0) << "#" << i;
    }
    {
        ScriptedRand rand(draws);
        const EngineAudioFormat f = audio(48000, 1, 24, 'F');
        uint8_t bytes[12];
        std::memset(bytes, 0xAA, sizeof bytes);
        engine_eval_audio_fill(bytes, sizeof bytes, &f);
        for (uint8_t b : bytes) EXPECT_EQ(b, 0) << "float samples of other widths stay silent";
    }
    {
        ScriptedRand rand(draws);
        const EngineAudioFormat f = audio(48000, 1, 16, 'S');
        uint8_t bytes[5];
        engine_eval_audio_fill(bytes, sizeof bytes, &f);
        const uint8_t expected[5] = {0x00, 0xFF, 0x00, 0x01, 0x34};
        EXPECT_EQ(std::memcmp(bytes, expected, 5), 0) << "integer samples: the low byte of each draw";
    }
}

TEST(EvalMediaSources, RecordsAsTheDriverFillsThem)
{
    const EngineAudioFormat format = audio(48000, 2, 16);
    RavkDeviceRecord a;
    std::memset(&a, 0x5C, sizeof a);
    engine_eval_audio_record(&a, &format, kLpcm, 1);
    EXPECT_EQ(a.number, -1);
    EXPECT_EQ(std::string(a.id.text), ENGINE_EVAL_AUDIO_STREAM);
    EXPECT_EQ(a.block_size, 192000u);
    EXPECT_EQ(a.format_code, kLpcm);
    EXPECT_EQ(a.reserved, 0u);
    EXPECT_EQ(a.name.tag, 0u);
    EXPECT_EQ(a.name.length, 32u);
    EXPECT_EQ(std::string(a.name.text), ENGINE_EVAL_AUDIO_TAG_1);
    EXPECT_EQ(a.path.length, 32u);
    EXPECT_EQ(std::string(a.path.text), ENGINE_EVAL_AUDIO_TAG_2);
    EXPECT_EQ(a.flags, 1u);
    EXPECT_EQ(a.backend, 1);
    EXPECT_EQ(std::memcmp(&a.tail.audio.format, &format, sizeof format), 0);
    EXPECT_EQ(a.tail.audio.index, 0) << "every byte not named is zero";

    RavkDeviceRecord silent;
    engine_eval_audio_record(&silent, &format, kNone, 1);
    EXPECT_EQ(silent.block_size, 0u) << "no size without lpcm";
    EXPECT_EQ(silent.format_code, kLpcm);

    RavkDeviceRecord v;
    std::memset(&v, 0x5C, sizeof v);
    engine_eval_video_record(&v, 1920, 1080, 1);
    EXPECT_EQ(v.number, -1);
    EXPECT_EQ(std::string(v.id.text), ENGINE_EVAL_VIDEO_STREAM);
    EXPECT_EQ(v.block_size, 4u * 1920 * 1080);
    EXPECT_EQ(v.format_code, kRgbx);
    EXPECT_EQ(std::string(v.name.text), ENGINE_EVAL_VIDEO_TAG_1);
    EXPECT_EQ(std::string(v.path.text), ENGINE_EVAL_VIDEO_TAG_2);
    EXPECT_EQ(v.name.length, 32u);
    EXPECT_EQ(v.flags, 1u);
    const CoreVideoMode first = {1920, 1080, 60, 1}, zero = {0, 0, 0, 0};
    EXPECT_TRUE(core_video_mode_equal(&v.tail.app_video.mode, &first));
    EXPECT_TRUE(core_video_mode_equal(&v.tail.app_video.mode_a, &zero));
    EXPECT_TRUE(core_video_mode_equal(&v.tail.app_video.mode_b, &zero));
    EXPECT_EQ(v.tail.app_video.reserved, 0u);
}

TEST(EvalMediaPicture, Layouts)
{
    const uint32_t r60[2] = {60, 1};
    struct Case {
        const char *why;
        uint32_t width, height;
        uint32_t rate[2];
        uint32_t code;
        CoreResult result;
        uint32_t bar, lastBar;
        uint32_t noiseWidth, noiseHeight, noiseTop;
        uint64_t noiseLeftBytes;
    } cases[] = {
        {"full HD", 1920, 1080, {60, 1}, kRgbx, CORE_OK, 240, 240, 768, 432, 324, 576 * 4},
        {"1440p", 2560, 1440, {60, 1}, kRgbx, CORE_OK, 320, 320, 1024, 576, 432, 768 * 4},
        {"the eighth bar takes the remainder", 1000, 600, {30, 1}, kRgbx, CORE_OK, 128, 104, 400, 240, 180, 300 * 4},
        {"a remainder wider than a bar", 1030, 8, {60, 1}, kRgbx, CORE_OK, 128, 134, 416, 8, 0, 307 * 4},
        {"the patch is kept inside a short frame", 64, 5, {60, 1}, kRgbx, CORE_OK, 8, 8, 32, 5, 0, 16 * 4},
        {"too short for a patch", 64, 2, {60, 1}, kRgbx, CORE_OK, 8, 8, 0, 0, 1, 32 * 4},
        {"seven bars fill the width", 56, 10, {60, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"too narrow for a bar", 7, 10, {60, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"zero width", 0, 10, {60, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"zero height", 64, 0, {60, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"unset width", 0xFFFFFFFFu, 10, {60, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"zero rate", 64, 10, {0, 1}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"unset denominator", 64, 10, {60, 0xFFFFFFFFu}, kRgbx, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"pixels that are no 32-bit words", 64, 10, {60, 1}, core_fourcc("I420"), CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
        {"no pixel format", 64, 10, {60, 1}, kNone, CORE_ERR_INVALID, 0, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        EngineEvalPicture p;
        ASSERT_EQ(engine_eval_picture_layout(&p, c.width, c.height, c.rate, c.code), c.result);
        if (c.result != CORE_OK) continue;
        uint64_t total = 0;
        for (uint32_t i = 0; i < ENGINE_EVAL_BAR_COUNT; ++i) {
            EXPECT_EQ(p.bars[i], i + 1 < ENGINE_EVAL_BAR_COUNT ? c.bar : c.lastBar) << "bar " << i;
            total += p.bars[i];
        }
        EXPECT_EQ(total, c.width) << "the bars cover the row";
        EXPECT_EQ(p.rowBytes, 4ull * c.width);
        EXPECT_EQ(p.frameBytes, 4ull * c.width * c.height);
        EXPECT_EQ(p.noiseWidth, c.noiseWidth);
        EXPECT_EQ(p.noiseHeight, c.noiseHeight);
        EXPECT_EQ(p.noiseTop, c.noiseTop);
        EXPECT_EQ(p.noiseLeftBytes, c.noiseLeftBytes);
        EXPECT_LE(p.noiseTop + p.noiseHeight, c.height);
        EXPECT_LE(p.noiseLeftBytes + p.noiseRowBytes, p.rowBytes);
    }
    EXPECT_EQ(engine_eval_picture_layout(nullptr, 64, 10, r60, kRgbx), CORE_ERR_INVALID);
}

TEST(EvalMediaPicture, BarsWithAJumpingNoisePatch)
{
    const uint32_t rate[2] = {60, 1};
    EngineEvalPicture p;
    ASSERT_EQ(engine_eval_picture_layout(&p, 64, 10, rate, kRgbx), CORE_OK);
    ASSERT_EQ(p.noiseWidth, 32u);
    ASSERT_EQ(p.noiseHeight, 8u);
    ASSERT_EQ(p.noiseTop, 1u);
    ASSERT_EQ(p.noiseLeftBytes, 64u);  // column 16

    std::vector<uint8_t> frame(p.frameBytes, 0xEE);
    engine_eval_picture_bars(&p, frame.data());
    const uint32_t colours[8] = {ENGINE_EVAL_GREY,    ENGINE_EVAL_YELLOW, ENGINE_EVAL_CYAN, ENGINE_EVAL_GREEN,
                                 ENGINE_EVAL_MAGENTA, ENGINE_EVAL_RED,    ENGINE_EVAL_BLUE, ENGINE_EVAL_NEAR_BLACK};
    for (uint32_t y = 0; y < 10; ++y)
        for (uint32_t x = 0; x < 64; ++x) ASSERT_EQ(pixel(frame.data(), p, x, y), colours[x / 8]) << x << "," << y;
    // Bytes R, G, B, x: yellow is red and green.
    const uint8_t yellow[4] = {0xC0, 0xC0, 0x00, 0xFF};
    EXPECT_EQ(std::memcmp(&frame[8 * 4], yellow, 4), 0);

    // Noise row n is grey where the draw was odd; draws count up from 0.
    std::vector<int> draws(32 * 8);
    for (size_t i = 0; i < draws.size(); ++i) draws[i] = int(i);
    std::vector<uint8_t> noise(p.noiseRowBytes * p.noiseHeight);
    {
        ScriptedRand rand(draws);
        engine_eval_picture_noise(&p, noise.data());
    }
    auto noise_at = [&](uint32_t x, uint32_t row) {
        uint32_t word;
        std::memcpy(&word, &noise[row * p.noiseRowBytes + x * 4ull], 4);
        return word;
    };
    for (uint32_t i = 0; i < 32 * 8; ++i)
        ASSERT_EQ(noise_at(i % 32, i / 32), i % 2 ? ENGINE_EVAL_GREY : ENGINE_EVAL_NEAR_BLACK) << i;
    // Make the rows tell apart: row n holds n in its first pixel.
    for (uint32_t row = 0; row < 8; ++row) std::memcpy(&noise[row * p.noiseRowBytes], &row, 4);

    for (uint32_t r : {3u, 11u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(r);
        engine_eval_picture_place_noise(&p, frame.data(), noise.data(), r);
        for (uint32_t i = 0; i < 8; ++i)
            EXPECT_EQ(pixel(frame.data(), p, 16, 1 + i), (r % 8 + i) % 8) << "frame row " << 1 + i;
        for (uint32_t y = 0; y < 10; ++y) {
            const bool patchRow = y >= 1 && y < 9;
            for (uint32_t x = 0; x < 64; ++x) {
                if (patchRow && x >= 16 && x < 48) continue;
                ASSERT_EQ(pixel(frame.data(), p, x, y), colours[x / 8]) << x << "," << y;
            }
        }
    }
}

TEST(EvalMediaPicture, NoiseOffsetTakesFourLowBytes)
{
    ScriptedRand rand({0x1A2B, 0x0C3D, 0x7F4E, 0x005F});
    EXPECT_EQ(engine_eval_noise_offset(), 0x2B3D4E5Fu);
}

TEST(EvalMediaSamples, HeadersOfPushedSamples)
{
    uint8_t data[16];
    const RavkSample first = engine_eval_sample(data, sizeof data, true);
    const RavkSample later = engine_eval_sample(data, 8, false);
    EXPECT_EQ(first.flags, 3u);
    EXPECT_EQ(later.flags, 2u);
    for (const RavkSample &s : {first, later}) {
        EXPECT_EQ(s.pts, -1);
        EXPECT_EQ(s.dts, -1);
        EXPECT_EQ(s.duration, -1);
        EXPECT_EQ(s.orientation, 0u);
        EXPECT_EQ(s.data, data);
        EXPECT_EQ(s.next, nullptr);
    }
    EXPECT_EQ(first.size, 16u);
    EXPECT_EQ(later.size, 8u);
}

}  // namespace
