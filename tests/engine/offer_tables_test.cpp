#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/offer_tables.h"
#include "negotiation_fixtures.h"

namespace {

using namespace negotiation;
using Tags = std::vector<uint16_t>;

constexpr uint32_t k_requester = ENGINE_ROLE_REQUESTER;
constexpr uint32_t k_answerer = ENGINE_ROLE_ANSWERER;

EngineMediaDesc channel(const char *name)
{
    EngineMediaDesc desc;
    memset(&desc, 0, sizeof desc);
    core_name_format(&desc.channel, "%s", name);
    return desc;
}

// A streamer that sends when it answers and receives when it requested.
EngineLocalCaps streamer_caps()
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    caps.sendRoles = k_answerer;
    caps.receiveRoles = k_requester;
    caps.audioSend = caps.videoSend = 1;
    caps.sendAudioFormat = EngineAudioFormat{48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    caps.sendVideoMode = CoreVideoMode{1920, 1080, 60, 1};
    caps.displayVideoMode = CoreVideoMode{2560, 1440, 60, 1};
    caps.audioEncodeScore = caps.audioDecodeScore = 4096;
    caps.videoEncodeScore = caps.videoDecodeScore = 8192;
    return caps;
}

class OfferTables : public OnNode {
protected:
    // The local table as a negotiation builds it: size, defaults, plain
    // records, codec records.
    EngineStreamTable *build(const EngineCapability *capability, uint32_t mode, const EngineLocalCaps &caps,
                             const EngineMediaDesc &desc, int p2m, int combined = 0)
    {
        EngineOfferCounts counts;
        if (engine_offer_table_counts(mode, &caps, p2m, &counts) != CORE_OK) return nullptr;
        EngineStreamTable *table = engine_stream_table_alloc(counts.total);
        EXPECT_NE(table, nullptr);
        EngineDefaultCodecs defaults;
        engine_default_codecs(mode, caps.sendRoles, caps.audioSend, caps.videoSend, caps.receiveRoles,
                              caps.audioReceive, caps.videoReceive, &defaults);
        EXPECT_EQ(engine_plain_records_fill(capability, mode, &desc, &caps, &defaults, counts.send, counts.receive,
                                            p2m, combined, table),
                  CORE_OK);
        EXPECT_EQ(engine_codec_records_add(mode, &desc, &caps, &defaults, counts.send + counts.receive, p2m, table),
                  CORE_OK);
        return table;
    }
};

// Each case lists encoders in list order and names the default.
TEST_F(OfferTables, DefaultVideoEncoderPrefersHardwareThenH264)
{
    CoreVideoCodecDesc pinned = video_codec(1, "H264", RAVK_ACCEL_HARDWARE);
    pinned.evaluated_minimum = pinned.evaluated_maximum = CoreVideoMode{1280, 720, 30, 1};
    CoreVideoCodecDesc platformH265 = video_codec(1, "H265", RAVK_ACCEL_SOFTWARE);
    platformH265.codec_class = RAVK_CODEC_CLASS_PLATFORM;
    platformH265.backend = 16;
    const struct {
        const char *purpose;
        std::vector<CoreVideoCodecDesc> encoders;
        int expected;
    } cases[] = {
        {"hardware before the wanted codec",
         {video_codec(1, "H265", RAVK_ACCEL_HARDWARE), video_codec(1, "H265", RAVK_ACCEL_HARDWARE),
          video_codec(1, "H264", RAVK_ACCEL_SOFTWARE)},
         0},
        {"wanted codec among hardware",
         {video_codec(1, "VP9X", RAVK_ACCEL_HARDWARE), video_codec(1, "H264", RAVK_ACCEL_HARDWARE)},
         1},
        {"software only: the wanted codec",
         {video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE), video_codec(1, "H264", RAVK_ACCEL_SOFTWARE)},
         1},
        {"only a software VP8", {video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE)}, 0},
        {"a pinned encoder is never a default", {pinned, video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE)}, 1},
        {"platform class on a hardware backend counts as hardware",
         {video_codec(1, "H264", RAVK_ACCEL_SOFTWARE), platformH265},
         1},
        {"nothing usable", {video_codec(1, "H264", RAVK_ACCEL_NONE)}, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        clear_codec_lists();
        for (const CoreVideoCodecDesc &d : c.encoders) add(d);
        EngineDefaultCodecs defaults;
        ASSERT_EQ(engine_default_codecs(k_answerer, k_answerer, 0, 1, 0, 0, 0, &defaults), CORE_OK);
        EXPECT_EQ(defaults.videoEncoderIndex, c.expected);
        EXPECT_EQ(defaults.audioEncoderIndex, -1);
        if (c.expected >= 0)
            EXPECT_EQ(defaults.videoEncoder.output, c.encoders[static_cast<size_t>(c.expected)].output);
        else
            EXPECT_EQ(defaults.videoEncoder.output, core_fourcc("NONE"));
    }
}

TEST_F(OfferTables, DefaultAudioCodecsAndTheAnyIndex)
{
    add(audio_codec(1, "aac ", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(1, "opus", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(2, "opus", RAVK_ACCEL_HARDWARE));
    add(audio_codec(2, "aac ", RAVK_ACCEL_HARDWARE));
    EngineDefaultCodecs defaults;
    ASSERT_EQ(engine_default_codecs(k_requester, k_requester, 1, 0, k_requester, 1, 0, &defaults), CORE_OK);
    EXPECT_EQ(defaults.audioEncoderIndex, 1);
    EXPECT_EQ(defaults.audioDecoderIndex, 0);
    EXPECT_EQ(defaults.videoDecoderIndex, -1);

    CoreAudioCodecDesc d;
    EXPECT_EQ(engine_default_audio_codec(ENGINE_CODEC_LIST_ENCODERS, ENGINE_CODEC_ANY, 0, &d), 0);
    EXPECT_EQ(engine_default_audio_codec(ENGINE_CODEC_LIST_ENCODERS, ENGINE_CODEC_ANY, 1, &d), -1);
    EXPECT_EQ(engine_default_audio_codec(3, ENGINE_CODEC_ANY, 0, &d), -1);
}

TEST_F(OfferTables, SenderOnAP2pChannel)
{
    add(audio_codec(1, "aac ", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(1, "opus", RAVK_ACCEL_SOFTWARE));
    CoreVideoCodecDesc pinned = video_codec(1, "VP9X", RAVK_ACCEL_SOFTWARE);
    pinned.evaluated_minimum = pinned.evaluated_maximum = CoreVideoMode{1280, 720, 30, 1};
    CoreVideoCodecDesc h264 = video_codec(1, "H264", RAVK_ACCEL_SOFTWARE, {4096, 2304, 60, 1}, 16);
    h264.profile_set = 0x6;
    h264.coding_options = 0x2;
    h264.evaluated_profile_set = 0x14;  // the evaluation's value overrides the registered one
    h264.evaluated_maximum = CoreVideoMode{1920, 1080, 60, 1};
    add(h264);
    add(video_codec(1, "H265", RAVK_ACCEL_HARDWARE, {3840, 2160, 60, 1}, 32));
    add(pinned);
    add(video_codec(1, "av01", RAVK_ACCEL_NONE));
    add(video_codec(2, "H264", RAVK_ACCEL_SOFTWARE));  // decoders play no part when only sending

    EngineCapability *capability = make_capability(2, 2, 1);
    ASSERT_NE(capability, nullptr);
    EngineLocalCaps caps = streamer_caps();
    caps.audioEncoderIndex = 0;
    caps.videoEncoderIndex = 0;
    const EngineMediaDesc desc = channel("p2p.bnd.00000001.chnl");

    EngineOfferCounts counts;
    ASSERT_EQ(engine_offer_table_counts(k_answerer, &caps, 0, &counts), CORE_OK);
    EXPECT_EQ(counts.send, 2u);
    EXPECT_EQ(counts.receive, 0u);
    EXPECT_EQ(counts.total, 2u + 2 + 3);  // the pinned encoder is usable but will be passed over

    EngineStreamTable *table = build(capability, k_answerer, caps, desc, 0);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 7u);

    const EngineStreamRecord &audio = table->records[0];
    EXPECT_EQ(name_of(audio.streamName), "stream.00000000");
    EXPECT_EQ(name_of(audio.slot), "profile.audio.slot");
    EXPECT_EQ(name_of(audio.channel), "p2p.bnd.00000001.chnl");
    EXPECT_EQ(audio.mediaFlags, 0x401u);  // the default encoder is Opus
    EXPECT_EQ(audio.roleWord, ENGINE_ROLE_SEND | 2u);
    EXPECT_EQ(groups_of(audio), (Tags{0x2400, 0x2800, 0x2500}));
    EXPECT_EQ(single_of(audio, 0x2500), 4096);

    const EngineStreamRecord &video = table->records[1];
    EXPECT_EQ(name_of(video.streamName), "stream.40000000");
    EXPECT_EQ(name_of(video.slot), "profile.video.slot");
    EXPECT_EQ(video.mediaFlags, 0x20002u);  // hardware H.265 is the default
    EXPECT_EQ(video.roleWord, ENGINE_ROLE_SEND | 1u);
    EXPECT_EQ(groups_of(video), (Tags{0x1D00, 0x1400, 0x1800, 0x1820, 0x1500}));
    EXPECT_TRUE(same_mode(mode_of(video, 0x1D00), caps.displayVideoMode));
    EXPECT_TRUE(same_mode(mode_of(video, 0x1400), caps.sendVideoMode));
    EXPECT_TRUE(same_mode(mode_of(video, 0x1800), CoreVideoMode{3840, 2160, 60, 1}));
    EXPECT_EQ(single_of(video, 0x1820), 32);
    EXPECT_EQ(single_of(video, 0x1500), 8192);

    struct Expected {
        const char *name;
        uint32_t mediaFlags;
        uint32_t roleWord;
    };
    const Expected codecs[] = {
        {"codec.00000000.stream.00000000", 0x11, ENGINE_ROLE_ENCODER | ENGINE_ROLE_PREFERRED},  // AAC: no index
        {"codec.00000001.stream.00000000", 0x411, ENGINE_ROLE_ENCODER},
        {"codec.00000000.stream.40000000", 0x10012, ENGINE_ROLE_ENCODER | ENGINE_ROLE_PREFERRED},
        {"codec.00000001.stream.40000000", 0x20012, ENGINE_ROLE_ENCODER | ENGINE_ROLE_HARDWARE},
    };
    for (size_t i = 0; i < 4; ++i) {
        const EngineStreamRecord &r = table->records[2 + i];
        SCOPED_TRACE(codecs[i].name);
        EXPECT_EQ(name_of(r.streamName), codecs[i].name);
        EXPECT_EQ(r.mediaFlags, codecs[i].mediaFlags);
        EXPECT_EQ(r.roleWord, codecs[i].roleWord);
        EXPECT_EQ(name_of(r.slot), "");
    }
    EXPECT_EQ(groups_of(table->records[2]), (Tags{0x2840, 0x2880}));
    const EngineStreamRecord &h264Record = table->records[4];
    EXPECT_EQ(groups_of(h264Record), (Tags{0x1820, 0x1840, 0x1880, 0x1E80, 0x1F80}));
    EXPECT_TRUE(same_mode(mode_of(h264Record, 0x1880), CoreVideoMode{1920, 1080, 60, 1}));
    EXPECT_EQ(single_of(h264Record, 0x1E80), 0x14);
    EXPECT_EQ(single_of(h264Record, 0x1F80), 0x2);
    // The passed-over encoder leaves an empty record at the end.
    EXPECT_EQ(table->records[6].mediaFlags, 0u);
    EXPECT_EQ(name_of(table->records[6].streamName), "");
    give_back(table);
}

// A node whose send roles are not met sends nothing, whatever devices it has.
TEST_F(OfferTables, ReceiverOnlyHasNoSendGroupsAndNoEncoders)
{
    add(audio_codec(1, "opus", RAVK_ACCEL_SOFTWARE));
    add(video_codec(1, "H264", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(2, "opus", RAVK_ACCEL_SOFTWARE));
    add(video_codec(2, "H264", RAVK_ACCEL_SOFTWARE, {1920, 1080, 60, 1}, 8));
    add(video_codec(2, "VP8X", RAVK_ACCEL_HARDWARE));
    EngineCapability *capability = make_capability(2, 7, 2);
    ASSERT_NE(capability, nullptr);
    EngineLocalCaps caps = streamer_caps();
    caps.audioReceive = caps.videoReceive = 1;
    caps.videoDecoderIndex = 1;
    caps.receiveVideoMode = CoreVideoMode{2560, 1440, 60, 1};

    EngineStreamTable *table = build(capability, k_requester, caps, channel("p2p.bnd.00000000.chnl"), 0);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 2u + 3);
    EXPECT_EQ(table->records[0].mediaFlags, 0x401u);
    EXPECT_EQ(table->records[0].roleWord, ENGINE_ROLE_RECEIVE | 3u);  // any other sink parameter: reliable
    EXPECT_EQ(groups_of(table->records[0]), (Tags{0x2000, 0x2C00, 0x2501}));
    EXPECT_EQ(table->records[1].mediaFlags, 0x30002u);  // hardware VP8 is the default decoder
    EXPECT_EQ(groups_of(table->records[1]), (Tags{0x1000, 0x1C00, 0x1C20, 0x1501}));
    EXPECT_TRUE(same_mode(mode_of(table->records[1], 0x1000), caps.receiveVideoMode));
    for (uint64_t i = 2; i < table->count; ++i) {
        EXPECT_EQ(table->records[i].roleWord & ENGINE_ROLE_ENCODER, 0u) << i;
        EXPECT_NE(table->records[i].roleWord & ENGINE_ROLE_DECODER, 0u) << i;
    }
    EXPECT_EQ(table->records[3].roleWord, ENGINE_ROLE_DECODER);
    EXPECT_EQ(table->records[4].roleWord, ENGINE_ROLE_DECODER | ENGINE_ROLE_PREFERRED | ENGINE_ROLE_HARDWARE);
    give_back(table);
}

// A broadcast lists only the default encoders, never preferred, under split names and one combined slot.
TEST_F(OfferTables, BroadcastChannelListsTheDefaultEncodersOnly)
{
    add(audio_codec(1, "opus", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(1, "aac ", RAVK_ACCEL_SOFTWARE));
    add(video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE));
    add(video_codec(1, "H264", RAVK_ACCEL_SOFTWARE));
    EngineCapability *capability = make_capability(1);
    ASSERT_NE(capability, nullptr);
    EngineLocalCaps caps = streamer_caps();
    caps.displayVideoMode = CoreVideoMode{};  // a capture device without a second mode
    caps.audioEncoderIndex = 0;
    caps.videoEncoderIndex = 1;

    EngineStreamTable *table = build(capability, k_answerer, caps, channel("p2m.bnd.00000004.chnl"), 1, 1);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 4u);
    EXPECT_EQ(name_of(table->records[0].streamName), "split.stream.00000000");
    EXPECT_EQ(name_of(table->records[1].streamName), "split.stream.40000000");
    EXPECT_EQ(name_of(table->records[0].slot), "profile.combined.slot");
    EXPECT_EQ(name_of(table->records[1].slot), "profile.combined.slot");
    EXPECT_EQ(groups_of(table->records[1]), (Tags{0x1400, 0x1800, 0x1820, 0x1500}));
    EXPECT_EQ(name_of(table->records[2].streamName), "codec.00000000.stream.00000000");
    EXPECT_EQ(table->records[2].roleWord, ENGINE_ROLE_ENCODER);
    EXPECT_EQ(name_of(table->records[3].streamName), "codec.00000001.stream.40000000");
    EXPECT_EQ(table->records[3].roleWord, ENGINE_ROLE_ENCODER);
    give_back(table);
}

// Byte 1 or 2 of a plain record from the default codec's FourCC.
TEST_F(OfferTables, PlainRecordCodecIndexFromTheDefaultFourcc)
{
    EngineCapability *capability = make_capability();
    ASSERT_NE(capability, nullptr);
    const EngineLocalCaps caps = streamer_caps();
    const EngineMediaDesc desc = channel("p2p.bnd.00000000.chnl");
    const struct {
        uint32_t medium;
        uint32_t fourcc;
        uint32_t expected;
    } cases[] = {
        {ENGINE_MEDIA_AUDIO, core_fourcc("lpcm"), 0x001}, {ENGINE_MEDIA_AUDIO, core_fourcc("alaw"), 0x101},
        {ENGINE_MEDIA_AUDIO, core_fourcc("ulaw"), 0x201}, {ENGINE_MEDIA_AUDIO, core_fourcc("OGG "), 0x301},
        {ENGINE_MEDIA_AUDIO, core_fourcc("opus"), 0x401}, {ENGINE_MEDIA_AUDIO, core_fourcc("aac "), 0x501},
        {ENGINE_MEDIA_AUDIO, core_fourcc("aach"), 0x501}, {ENGINE_MEDIA_AUDIO, core_fourcc("mp3 "), 0xFF01},
        {ENGINE_MEDIA_AUDIO, core_fourcc("NONE"), 0xFF01}, {ENGINE_MEDIA_VIDEO, core_fourcc("H264"), 0x10002},
        {ENGINE_MEDIA_VIDEO, core_fourcc("av01"), 0x70002}, {ENGINE_MEDIA_VIDEO, core_fourcc("NV12"), 0x00002},
        {ENGINE_MEDIA_VIDEO, core_fourcc("NONE"), 0xFF0002},
    };
    for (const auto &c : cases) {
        EngineDefaultCodecs defaults;
        engine_default_codecs(0, 0, 0, 0, 0, 0, 0, &defaults);
        defaults.audioEncoder.output = c.fourcc;
        defaults.videoEncoder.output = c.fourcc;
        EngineStreamRecord record;
        memset(&record, 0, sizeof record);
        engine_props_init(&record.props);
        record.mediaFlags = c.medium;
        ASSERT_EQ(engine_plain_record_fill(capability, k_answerer, &desc, 0, &caps, &defaults, 0, &record), CORE_OK);
        EXPECT_EQ(record.mediaFlags, c.expected) << std::hex << c.fourcc;
    }
}

TEST_F(OfferTables, PlainStreamKindFromTheSinkParameter)
{
    EngineCapability *capability = make_capability();
    ASSERT_NE(capability, nullptr);
    const EngineLocalCaps caps = streamer_caps();
    EngineDefaultCodecs defaults;
    engine_default_codecs(0, 0, 0, 0, 0, 0, 0, &defaults);
    const EngineMediaDesc desc = channel("p2p.bnd.00000000.chnl");
    const uint32_t cases[][2] = {{0, 3}, {1, 1}, {2, 2}, {3, 3}, {256, 3}};
    for (const auto &c : cases) {
        capability->videoSinkParam = c[0];
        EngineStreamRecord record{};
        record.mediaFlags = ENGINE_MEDIA_VIDEO;
        engine_props_init(&record.props);
        engine_plain_record_fill(capability, k_answerer, &desc, 0, &caps, &defaults, 0, &record);
        EXPECT_EQ(record.roleWord, ENGINE_ROLE_SEND | c[1]) << c[0];
    }
    // Neither role: no kind either.
    EngineStreamRecord record{};
    record.mediaFlags = ENGINE_MEDIA_VIDEO;
    engine_props_init(&record.props);
    engine_plain_record_fill(capability, 0x4, &desc, 0, &caps, &defaults, 0, &record);
    EXPECT_EQ(record.roleWord, 0u);
}

// Counts that do not match the media or the table are refused before anything is written.
TEST_F(OfferTables, RecordsStayInsideTheTable)
{
    add(video_codec(1, "H264", RAVK_ACCEL_SOFTWARE));
    add(video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE));
    EngineCapability *capability = make_capability();
    ASSERT_NE(capability, nullptr);
    EngineLocalCaps caps = streamer_caps();
    caps.audioSend = 0;
    const EngineMediaDesc desc = channel("p2p.bnd.00000000.chnl");
    EngineDefaultCodecs defaults;
    engine_default_codecs(k_answerer, caps.sendRoles, 0, 1, 0, 0, 0, &defaults);

    EngineStreamTable *table = engine_stream_table_alloc(2);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(engine_plain_records_fill(capability, k_answerer, &desc, &caps, &defaults, 2, 1, 0, 0, table), CORE_ERR);
    EXPECT_EQ(engine_plain_records_fill(capability, k_answerer, &desc, &caps, &defaults, 2, UINT64_MAX, 0, 0, table),
              CORE_ERR);
    EXPECT_EQ(table->records[0].mediaFlags, 0u);
    // Two send records but only video to send: one would have no medium.
    EXPECT_EQ(engine_plain_records_fill(capability, k_answerer, &desc, &caps, &defaults, 2, 0, 0, 0, table), CORE_ERR);

    // Room for one codec record of two: the second is skipped silently.
    ASSERT_EQ(engine_plain_records_fill(capability, k_answerer, &desc, &caps, &defaults, 1, 0, 0, 0, table), CORE_OK);
    EXPECT_EQ(engine_codec_records_add(k_answerer, &desc, &caps, &defaults, 1, 0, table), CORE_OK);
    EXPECT_EQ(name_of(table->records[1].streamName), "codec.00000000.stream.40000000");
    EXPECT_EQ(engine_codec_records_add(k_answerer, &desc, &caps, &defaults, 2, 0, table), CORE_OK);
    EXPECT_EQ(engine_codec_records_add(k_answerer, &desc, &caps, &defaults, UINT64_MAX, 0, table), CORE_OK);
    give_back(table);

    EngineOfferCounts counts;
    caps.videoSend = 0;
    EXPECT_EQ(engine_offer_table_counts(k_answerer, &caps, 0, &counts), CORE_ERR);
}

TEST_F(OfferTables, CodecStreamNameOfAPlainStream)
{
    add(audio_codec(1, "aac ", RAVK_ACCEL_SOFTWARE));
    add(audio_codec(1, "opus", RAVK_ACCEL_NONE));  // the usable word is not consulted
    add(video_codec(2, "VP8X", RAVK_ACCEL_SOFTWARE));
    add(video_codec(2, "H264", RAVK_ACCEL_SOFTWARE));
    CoreVideoCodecDesc none;
    engine_video_codec_desc_empty(&none);
    none.direction = 2;
    add(none);  // an empty entry with FourCCs "NONE"
    const struct {
        uint32_t mediaFlags;
        uint32_t number;
        uint32_t list;
        const char *expected;  // "" for none
    } cases[] = {
        {0x401, 0, 1, "codec.00000001.stream.00000000"},
        {0x501, 2, 1, "codec.00000000.stream.00000002"},
        {0x10002, 1, 2, "codec.00000001.stream.40000001"},
        {0x10002, 1, 1, ""},   // no H.264 encoder
        {0xFF01, 0, 1, ""},    // no audio codec: not the empty entry
        {0xFF0002, 0, 2, ""},  // no video codec
        {0x00002, 0, 2, ""},   // raw video has no codec
        {0x10000, 0, 2, ""},   // no medium
        {0x10002, 0, 3, ""},   // no such list
    };
    for (const auto &c : cases) {
        CoreName out;
        memset(&out, 0x33, sizeof out);
        const int made = engine_codec_stream_name(c.mediaFlags, c.number, c.list, &out);
        EXPECT_EQ(made, c.expected[0] ? 1 : 0) << std::hex << c.mediaFlags;
        EXPECT_EQ(name_of(out), c.expected) << std::hex << c.mediaFlags;
    }
}

}  // namespace
