#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/codec_choice.h"
#include "engine/codec_ids.h"
#include "engine/offer_tables.h"
#include "negotiation_fixtures.h"

namespace {

using namespace negotiation;

constexpr uint32_t ENC = ENGINE_ROLE_ENCODER;
constexpr uint32_t DEC = ENGINE_ROLE_DECODER;
constexpr uint32_t HW = ENGINE_ROLE_HARDWARE;
constexpr uint32_t PREF = ENGINE_ROLE_PREFERRED;

constexpr uint32_t H264 = ENGINE_VIDEO_CODEC_H264;
constexpr uint32_t H265 = ENGINE_VIDEO_CODEC_H265;
constexpr uint32_t VP8 = ENGINE_VIDEO_CODEC_VP8;
constexpr uint32_t VP9 = ENGINE_VIDEO_CODEC_VP9;
constexpr uint32_t AV1 = ENGINE_VIDEO_CODEC_AV1;

struct Codec {
    uint32_t index;  // video codec index, or audio index for audio records
    uint32_t role;
};

EngineStreamRecord plain(uint32_t medium)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    engine_props_init(&r.props);
    r.mediaFlags = medium;
    core_name_format(&r.streamName, "stream.%08X", medium == ENGINE_MEDIA_VIDEO ? 0x40000000u : 0u);
    return r;
}

EngineStreamRecord video(uint32_t listIndex, Codec codec)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    engine_props_init(&r.props);
    r.mediaFlags = ENGINE_MEDIA_CODEC_RECORD | ENGINE_MEDIA_VIDEO | codec.index << 16;
    r.roleWord = codec.role;
    core_name_format(&r.streamName, "codec.%08X.stream.40000000", listIndex);
    return r;
}

EngineStreamRecord audio(uint32_t listIndex, Codec codec)
{
    EngineStreamRecord r = video(listIndex, codec);
    r.mediaFlags = ENGINE_MEDIA_CODEC_RECORD | ENGINE_MEDIA_AUDIO | codec.index << 8;
    core_name_format(&r.streamName, "codec.%08X.stream.00000000", listIndex);
    return r;
}

void set_features(EngineStreamRecord *r, int64_t a, int64_t b)
{
    const bool encoder = r->roleWord & ENC;
    int at = engine_props_count(&r->props);
    at = engine_props_add_video(&r->props, &a, 8,
                                encoder ? ENGINE_PROPS_ENCODER_FEATURES_A : ENGINE_PROPS_DECODER_FEATURES_A, at);
    engine_props_add_video(&r->props, &b, 8,
                           encoder ? ENGINE_PROPS_ENCODER_FEATURES_B : ENGINE_PROPS_DECODER_FEATURES_B, at);
}

uint32_t video_index(const EngineStreamRecord &r)
{
    return (r.mediaFlags >> 16) & 0xFF;
}

class CodecChoice : public OnNode {
protected:
    void TearDown() override
    {
        for (EngineStreamTable *t : tables_) give_back(t);
        OnNode::TearDown();
    }

    // A table of a plain video record followed by `codecs`, in order.
    EngineStreamTable *video_side(const std::vector<Codec> &codecs)
    {
        std::vector<EngineStreamRecord> records{plain(ENGINE_MEDIA_VIDEO)};
        for (size_t i = 0; i < codecs.size(); ++i) records.push_back(video(static_cast<uint32_t>(i), codecs[i]));
        return table(records);
    }

    EngineStreamTable *table(const std::vector<EngineStreamRecord> &records)
    {
        EngineStreamTable *t = engine_stream_table_alloc(records.size());
        EXPECT_NE(t, nullptr);
        for (size_t i = 0; i < records.size(); ++i) engine_stream_table_set(t, i, &records[i]);
        tables_.push_back(t);
        return t;
    }

    std::vector<EngineStreamTable *> tables_;
};

TEST_F(CodecChoice, FourWalksWithFallingDemands)
{
    const struct {
        const char *purpose;
        std::vector<Codec> encoding;
        std::vector<Codec> decoding;
        uint32_t encodeScore, decodeScore;
        CoreResult result;
        uint32_t codec;
    } cases[] = {
        {"hardware on both sides wins over the modern order",
         {{AV1, ENC}, {H265, ENC | HW}}, {{AV1, DEC}, {H265, DEC | HW}}, 4096, 4096, CORE_OK, H265},
        {"weak encoder: the last walk takes the classic order",
         {{VP9, ENC}, {H264, ENC}}, {{VP9, DEC}, {H264, DEC}}, 4096, 8192, CORE_OK, H264},
        {"both strong: the modern order",
         {{H264, ENC}, {VP9, ENC}}, {{H264, DEC}, {VP9, DEC}}, 8192, 8192, CORE_OK, VP9},
        {"a hardware encoder is found in the second walk",
         {{AV1, ENC}, {VP8, ENC | HW}}, {{AV1, DEC}, {VP8, DEC}}, 8192, 8192, CORE_OK, VP8},
        {"a hardware decoder is found in the third walk",
         {{AV1, ENC}, {VP8, ENC}}, {{AV1, DEC}, {VP8, DEC | HW}}, 8192, 8192, CORE_OK, VP8},
        {"an encoder record never serves as a decoder",
         {{VP8, ENC}}, {{VP8, ENC}}, 8192, 8192, CORE_DONE, 0},
        {"nothing in common", {{VP8, ENC}}, {{H265, DEC}}, 8192, 8192, CORE_DONE, 0},
        {"Theora is in neither order", {{ENGINE_VIDEO_CODEC_THEORA, ENC}}, {{ENGINE_VIDEO_CODEC_THEORA, DEC}},
         8192, 8192, CORE_DONE, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        EngineStreamRecord encoder, decoder;
        memset(&encoder, 0x44, sizeof encoder);
        const CoreResult result = engine_codec_choose(ENGINE_MEDIUM_VIDEO, c.encodeScore, c.decodeScore,
                                                      video_side(c.encoding), &encoder, video_side(c.decoding),
                                                      &decoder);
        EXPECT_EQ(result, c.result);
        if (result == CORE_OK) {
            EXPECT_EQ(video_index(encoder), c.codec);
            EXPECT_EQ(video_index(decoder), c.codec);
            EXPECT_NE(encoder.roleWord & ENC, 0u);
            EXPECT_NE(decoder.roleWord & DEC, 0u);
        } else {
            EXPECT_EQ(encoder.roleWord, 0x44444444u);  // out records untouched
        }
    }
}

// Audio has one candidate: Opus.
TEST_F(CodecChoice, AudioNeedsOpus)
{
    constexpr uint32_t PCM = ENGINE_AUDIO_CODEC_PCM;
    constexpr uint32_t OPUS = ENGINE_AUDIO_CODEC_OPUS;
    EngineStreamTable *pcmOnly = table({plain(ENGINE_MEDIA_AUDIO), audio(0, {PCM, ENC}), audio(1, {PCM, DEC})});
    EngineStreamTable *both = table({plain(ENGINE_MEDIA_AUDIO), audio(0, {PCM, DEC}), audio(1, {OPUS, DEC})});
    EngineStreamRecord e, d;
    EXPECT_EQ(engine_codec_choose(ENGINE_MEDIUM_AUDIO, 4096, 4096, pcmOnly, &e, both, &d), CORE_DONE);
    EngineStreamTable *opus = table({plain(ENGINE_MEDIA_AUDIO), audio(3, {OPUS, ENC | HW})});
    ASSERT_EQ(engine_codec_choose(ENGINE_MEDIUM_AUDIO, 4096, 4096, opus, &e, both, &d), CORE_OK);
    EXPECT_EQ(name_of(e.streamName), "codec.00000003.stream.00000000");
    EXPECT_EQ(name_of(d.streamName), "codec.00000001.stream.00000000");
}

TEST_F(CodecChoice, OtherMediaAreRefused)
{
    EngineStreamTable *side = video_side({{VP8, ENC | DEC}});
    EngineStreamRecord e, d;
    EXPECT_EQ(engine_codec_walk(3, 1, side, 0, &e, side, 0, &d), CORE_ERR_INVALID);
    EXPECT_EQ(engine_codec_pair_find(0, VP8 << 16, side, 0, &e, side, 0, &d), CORE_ERR_INVALID);
    EXPECT_EQ(engine_codec_choose(4, 8192, 8192, side, &e, side, &d), CORE_ERR);
    EXPECT_EQ(engine_codec_preferred_pair(3, side, &e, side, &d), CORE_ERR_INVALID);
    EXPECT_EQ(engine_codec_record_find(3, VP8 << 16, 0, side, &e), 1);
}

TEST_F(CodecChoice, PreferencesOfBothSides)
{
    const struct {
        const char *purpose;
        std::vector<Codec> encoding;
        std::vector<Codec> decoding;
        CoreResult result;
        uint32_t codec;
        uint32_t decoderRole;
    } cases[] = {
        {"the decoding side's preference wins", {{VP8, ENC | PREF}, {H264, ENC}}, {{VP8, DEC}, {H264, DEC | PREF}},
         CORE_OK, H264, DEC | PREF},
        {"both prefer the same codec", {{H264, ENC}, {VP9, ENC | PREF}}, {{VP9, DEC | PREF}}, CORE_OK, VP9,
         DEC | PREF},
        {"a hardware decoder for the encoder's preference comes first", {{AV1, ENC | PREF}},
         {{AV1, DEC}, {AV1, DEC | HW}}, CORE_OK, AV1, DEC | HW},
        {"no encoder for the decoder's preference: the encoder's preference",
         {{VP8, ENC | PREF}}, {{H265, DEC | PREF}, {VP8, DEC}}, CORE_OK, VP8, DEC},
        {"no preference anywhere", {{VP8, ENC}}, {{VP8, DEC}}, CORE_DONE, 0, 0},
        {"preferences nobody can serve", {{VP8, ENC | PREF}}, {{H265, DEC | PREF}}, CORE_DONE, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        EngineStreamRecord encoder{}, decoder{};
        const CoreResult result = engine_codec_preferred_pair(ENGINE_MEDIUM_VIDEO, video_side(c.encoding), &encoder,
                                                              video_side(c.decoding), &decoder);
        EXPECT_EQ(result, c.result);
        if (result != CORE_OK) continue;
        EXPECT_EQ(video_index(encoder), c.codec);
        EXPECT_EQ(video_index(decoder), c.codec);
        EXPECT_EQ(decoder.roleWord, c.decoderRole);
    }
}

// {decoder A, decoder B, encoder A, encoder B} -> result, agreed A, decoder B', encoder B'.
TEST_F(CodecChoice, H264FeatureSetsAreAgreedAndWrittenToThePlainRecords)
{
    const struct {
        int64_t decoderA, decoderB, encoderA, encoderB;
        CoreResult result;
        int64_t agreedA, decoderB2, encoderB2;
    } cases[] = {
        {0x6, 0x2, 0x14, 0x2, CORE_OK, 4, 2, 2},
        {0x6, 0x2, 0x14, 0x0, CORE_OK, 4, 0, 0},
        {0x12, 0x3, 0x10, 0x2, CORE_OK, 16, 2, 2},
        {0x16, 0x7, 0x2, 0x5, CORE_OK, 2, 0x5, 0x5},  // B not shared: each side keeps its own
        {0x4, 0x2, 0x2, 0x2, CORE_DONE, 0, 0, 0},     // no level in common
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.decoderA << "/" << c.decoderB << " " << c.encoderA << "/"
                                          << c.encoderB);
        EngineStreamRecord encoder = video(0, {H264, ENC});
        EngineStreamRecord decoder = video(0, {H264, DEC});
        set_features(&encoder, c.encoderA, c.encoderB);
        set_features(&decoder, c.decoderA, c.decoderB);
        EngineStreamTable *encoding = table({plain(ENGINE_MEDIA_VIDEO), encoder});
        EngineStreamTable *decoding = table({plain(ENGINE_MEDIA_VIDEO), decoder});
        EngineStreamRecord e, d;
        EXPECT_EQ(engine_codec_pair_find(ENGINE_MEDIUM_VIDEO, H264 << 16, encoding, 0, &e, decoding, 0, &d), c.result);
        if (c.result != CORE_OK) {
            EXPECT_EQ(engine_props_count(&decoding->records[0].props), 0);
            continue;
        }
        EXPECT_EQ(single_of(decoding->records[0], 0x1E00), c.agreedA);
        EXPECT_EQ(single_of(decoding->records[0], 0x1F00), c.decoderB2);
        EXPECT_EQ(single_of(encoding->records[0], 0x1E80), c.agreedA);
        EXPECT_EQ(single_of(encoding->records[0], 0x1F80), c.encoderB2);
        // Agreeing again replaces the values instead of adding entries nobody reads.
        EXPECT_EQ(engine_h264_features_agree(encoding, &encoder, decoding, &decoder), CORE_OK);
        EXPECT_EQ(engine_props_count(&decoding->records[0].props), 2);
    }
}

TEST_F(CodecChoice, H264WithoutFeatureValuesOrPlainRecords)
{
    // An encoder that states no feature set B is accepted and nothing is written.
    EngineStreamRecord encoder = video(0, {H264, ENC});
    EngineStreamRecord decoder = video(0, {H264, DEC});
    int64_t a = 4;
    engine_props_add_video(&encoder.props, &a, 8, ENGINE_PROPS_ENCODER_FEATURES_A, 0);
    set_features(&decoder, 4, 2);
    EngineStreamTable *encoding = table({plain(ENGINE_MEDIA_VIDEO), encoder});
    EngineStreamTable *decoding = table({plain(ENGINE_MEDIA_VIDEO), decoder});
    EngineStreamRecord e, d;
    EXPECT_EQ(engine_codec_pair_find(ENGINE_MEDIUM_VIDEO, H264 << 16, encoding, 0, &e, decoding, 0, &d), CORE_OK);
    EXPECT_EQ(engine_props_count(&encoding->records[0].props), 0);
    EXPECT_EQ(engine_props_count(&decoding->records[0].props), 0);

    // Without the plain records the H.264 pair fails and the walk moves on to VP8.
    set_features(&encoder, 4, 2);
    EngineStreamTable *encodingBare = table({encoder, video(1, {VP8, ENC})});
    EngineStreamTable *decodingBare = table({decoder, video(1, {VP8, DEC})});
    EXPECT_EQ(engine_codec_pair_find(ENGINE_MEDIUM_VIDEO, H264 << 16, encodingBare, 0, &e, decodingBare, 0, &d),
              CORE_ERR);
    ASSERT_EQ(engine_codec_walk(ENGINE_MEDIUM_VIDEO, 0, encodingBare, 0, &e, decodingBare, 0, &d), CORE_OK);
    EXPECT_EQ(video_index(e), VP8);
}

// A table whose count no block can hold (a peer's word) reads as empty.
TEST_F(CodecChoice, ImpossibleCountsReadAsEmptyTables)
{
    EngineStreamTable *side = video_side({{VP8, ENC | DEC | PREF}});
    side->count = ENGINE_STREAM_RECORDS_MAX + 1;
    EngineStreamRecord e, d;
    EXPECT_EQ(engine_codec_record_find(ENGINE_MEDIUM_VIDEO, VP8 << 16, ENC, side, &e), 1);
    EXPECT_EQ(engine_codec_record_preferred(ENGINE_MEDIA_VIDEO, side, ENC, &e), 1);
    EXPECT_EQ(engine_codec_choose(ENGINE_MEDIUM_VIDEO, 8192, 8192, side, &e, side, &d), CORE_DONE);
    side->count = 2;
    EXPECT_EQ(engine_codec_choose(ENGINE_MEDIUM_VIDEO, 8192, 8192, side, &e, side, &d), CORE_OK);
    EXPECT_EQ(engine_codec_choose(ENGINE_MEDIUM_VIDEO, 8192, 8192, nullptr, &e, side, &d), CORE_DONE);
}

}  // namespace
