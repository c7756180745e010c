// The media provider without running pipelines: its registries and profile
// slots, the sorting of a binding's plain records into the slots, the send
// stream announcements, the device-change notice, the encoder operations'
// answers (refusals, current values, start steps, failure texts) and the
// stop tasks and drain, which run on the executor while other threads use
// the provider.
#include "engine/provider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/notify.h"
#include "core/values.h"
#include "engine/capture.h"
#include "engine/offer_tables.h"
#include "provider_support.h"

using namespace provider_support;

namespace {

constexpr const char *kChannel = "p2p.bnd.00000000.chnl";
constexpr uint32_t kOpus = ENGINE_MEDIA_AUDIO | 4u << 8;  // engine audio codec 4
constexpr uint32_t kVp8 = ENGINE_MEDIA_VIDEO | 3u << 16;  // engine video codec 3
constexpr uint32_t kRavkOpus = RAVK_MEDIA_AUDIO | RAVK_AUDIO_OPUS << 8;
constexpr uint32_t kRavkVp8 = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        events_.subscribe(ENGINE_EVENT_TOPIC);
        commands_.subscribe(ENGINE_COMMAND_TOPIC);
        capability_ = make_capability();
        ASSERT_NE(capability_, nullptr);
    }

    void TearDown() override
    {
        engine_media_provider_destroy(&provider_);
        events_.unsubscribe();
        commands_.unsubscribe();
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    void make(const EngineProviderConfig &config)
    {
        provider_ = engine_media_provider_create(&config);
        ASSERT_NE(provider_, nullptr);
    }

    // Separate audio and video slots holding one Opus and one VP8 stream.
    void make_with_streams(uint32_t combined = 0)
    {
        make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, combined));
        const char *audioSlot = combined ? ENGINE_PROFILE_SLOT_COMBINED : ENGINE_PROFILE_SLOT_AUDIO;
        const char *videoSlot = combined ? ENGINE_PROFILE_SLOT_COMBINED : ENGINE_PROFILE_SLOT_VIDEO;
        publish_tables({plain_record(kChannel, audioSlot, kOpus, "stream.00000000"),
                        plain_record(kChannel, videoSlot, kVp8, "stream.40000000")},
                       {});
        ASSERT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_OK);
    }

    // The slot's profile by exact name, with its mask and property count.
    bool profile_of(const char *slot, uint32_t *mask, int *props)
    {
        const CoreName key = name_of(slot);
        CoreStoreItem *item = core_store_lookup(provider_->profiles, key.key);
        if (item == nullptr) return false;
        core_store_lock(provider_->profiles);
        *mask = reinterpret_cast<EngineProfile *>(item)->mediaMask;
        *props = engine_props_count(&reinterpret_cast<EngineProfile *>(item)->props);
        core_store_unlock(provider_->profiles);
        core_store_unref(provider_->profiles);
        return true;
    }

    std::string slot_name(EngineProfile *profile)
    {
        if (profile == nullptr) return "";
        std::string name = text_of(profile->header.key);
        core_store_unref(provider_->profiles);
        return name;
    }

    // The send service's report that the stream opened.
    CoreResult start(const char *slot, const char *stream)
    {
        EngineSendStreamEvent record;
        memset(&record, 0, sizeof record);
        record.channel = channel_;
        record.slot = name_of(slot);
        record.stream = name_of(stream);
        return engine_provider_start_encoders(provider_, &record);
    }

    std::vector<std::string> error_texts()
    {
        events_.flush();
        std::vector<std::string> out;
        for (const MessageText &m : events_.of<MessageText>(ENGINE_EVT_STREAMER_ERROR)) out.emplace_back(m.text);
        return out;
    }

    TopicLog events_;
    TopicLog commands_;
    EngineCapability *capability_ = nullptr;
    EngineMediaProvider *provider_ = nullptr;
    CoreName channel_ = name_of(kChannel);
};

TEST_F(ProviderTest, CreationMakesRegistriesAndSlots)
{
    struct Case {
        const char *purpose;
        EngineProviderConfig config;
        bool audioList, videoList;
        const char *audioLookup, *videoLookup;  // "" for none
    };
    const Case cases[] = {
        {"no send roles: an empty provider", provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0, 0), false, false,
         "", ""},
        {"combined: one slot answers both lookups", provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 1), true,
         true, ENGINE_PROFILE_SLOT_COMBINED, ENGINE_PROFILE_SLOT_COMBINED},
        {"video only: the audio lookup falls back to the first slot", provider_config(0, RAVK_CLASS_VIRTUAL, 0), false,
         true, ENGINE_PROFILE_SLOT_VIDEO, ENGINE_PROFILE_SLOT_VIDEO},
        {"both media: a slot each", provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0), true, true,
         ENGINE_PROFILE_SLOT_AUDIO, ENGINE_PROFILE_SLOT_VIDEO},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        make(c.config);
        EXPECT_EQ(provider_->audioSources != nullptr, c.audioList);
        EXPECT_EQ(provider_->videoSources != nullptr, c.videoList);
        EXPECT_EQ(slot_name(engine_profile_audio_slot(provider_)), c.audioLookup);
        EXPECT_EQ(slot_name(engine_profile_video_slot(provider_)), c.videoLookup);
        if (provider_->videoSources != nullptr) {
            // The device is not there yet; the registry keeps the id for it.
            core_lock(&provider_->videoSources->lock);
            const CoreName selected = provider_->videoSources->selected;
            core_unlock(&provider_->videoSources->lock);
            EXPECT_TRUE(same(selected, c.config.videoSource.deviceId));
            EXPECT_EQ(provider_->videoSources->media, RAVK_MEDIA_VIDEO);
        }
        for (const auto &row : provider_->audioBitrates)
            for (uint64_t value : row) EXPECT_EQ(value, ENGINE_AUDIO_BITRATE);
        engine_media_provider_destroy(&provider_);
        EXPECT_EQ(provider_, nullptr);
    }
}

TEST_F(ProviderTest, FailedRegistryUndoesTheCreation)
{
    // A screen registry follows the device channel, which no enumerator made.
    const EngineProviderConfig config = provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_SCREEN, 0);
    EXPECT_EQ(engine_media_provider_create(&config), nullptr);
    ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
    make(config);
    EXPECT_NE(provider_->videoSources, nullptr);
}

TEST_F(ProviderTest, CombinedSlotMergesTheBindingsRecords)
{
    make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 1));
    EngineStreamRecord audio = plain_record(kChannel, ENGINE_PROFILE_SLOT_COMBINED, kOpus, "stream.00000000");
    EngineStreamRecord video = plain_record(kChannel, ENGINE_PROFILE_SLOT_COMBINED, kVp8, "stream.40000000");
    const EngineAudioFormat format = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(engine_props_add_audio(&audio.props, &format, sizeof format, ENGINE_PROPS_SEND_FORMAT, 0), 5);
    const CoreVideoMode mode = {1280, 720, 30, 1};
    ASSERT_EQ(engine_props_add_video(&video.props, &mode, sizeof mode, ENGINE_PROPS_SEND_MODE, 0), 4);
    // With codec records in the answer, the streams take their codec names
    // from the offer's codec records.
    publish_tables({audio, video, codec_record(kChannel, kOpus, "codec.00000002.stream.00000000")},
                   {codec_record(kChannel, kOpus, "codec.00000002.stream.00000000")});

    ASSERT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_OK);
    uint32_t mask = 0;
    int props = 0;
    ASSERT_TRUE(profile_of(ENGINE_PROFILE_SLOT_COMBINED, &mask, &props));
    EXPECT_EQ(mask, kRavkOpus | kRavkVp8);
    EXPECT_EQ(props, 9);
    EXPECT_EQ(streams_of(provider_, ENGINE_PROFILE_SLOT_COMBINED),
              (std::vector<std::string>{"stream.00000000", "stream.40000000"}));
    EXPECT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_COMBINED, "stream.00000000", [&](EngineProviderStream *s) {
        EXPECT_EQ(text_of(s->codecName), "codec.00000002.stream.00000000");
        EXPECT_EQ(text_of(s->header.ref), ENGINE_PROFILE_SLOT_COMBINED);
        EXPECT_TRUE(same(s->channel, channel_));
        EXPECT_EQ(s->mediaFlags, kRavkOpus);
        EXPECT_EQ(s->captureSourceParams[0], 1u);
    }));
    EXPECT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_COMBINED, "stream.40000000", [&](EngineProviderStream *s) {
        EXPECT_TRUE(core_name_is_empty(&s->codecName));  // the offer names no codec for it
        EXPECT_EQ(s->mediaFlags, kRavkVp8);
    }));

    // A second p2p binding is refused while the first holds streams, and
    // the slot stays as it was; a broadcast may build again.
    publish_tables({plain_record(kChannel, ENGINE_PROFILE_SLOT_COMBINED, kOpus, "stream.00000001")}, {});
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_ERR);
    ASSERT_TRUE(profile_of(ENGINE_PROFILE_SLOT_COMBINED, &mask, &props));
    EXPECT_EQ(mask, kRavkOpus | kRavkVp8);
    EXPECT_EQ(streams_of(provider_, ENGINE_PROFILE_SLOT_COMBINED).size(), 2u);
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 1), CORE_OK);
    EXPECT_EQ(provider_->bitrateRow, 1u);
    EXPECT_EQ(streams_of(provider_, ENGINE_PROFILE_SLOT_COMBINED).size(), 3u);
    ASSERT_TRUE(profile_of(ENGINE_PROFILE_SLOT_COMBINED, &mask, &props));
    EXPECT_EQ(mask, 0u);  // one record in the slot: no shared object
}

TEST_F(ProviderTest, SeparateSlotsNameTheirEncoders)
{
    // Encoder lists: Opus at 1, VP8 at 2 after an unrelated entry.
    CoreAudioCodecDesc opus;
    engine_audio_codec_desc_empty(&opus);
    opus.direction = RAVK_CODEC_ENCODER;
    opus.acceleration = RAVK_ACCEL_SOFTWARE;
    opus.input = core_fourcc("lpcm");
    opus.output = core_fourcc("opus");
    CoreAudioCodecDesc pcm = opus;
    pcm.output = core_fourcc("lpcm");
    ASSERT_EQ(core_codec_add_audio(&pcm, 1), 0);
    ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
    CoreVideoCodecDesc vp8;
    engine_video_codec_desc_empty(&vp8);
    vp8.direction = RAVK_CODEC_ENCODER;
    vp8.acceleration = RAVK_ACCEL_SOFTWARE;
    vp8.input = core_fourcc("I420");
    CoreVideoCodecDesc h264 = vp8;
    h264.output = core_fourcc("H264");
    vp8.output = core_fourcc("VP8X");
    ASSERT_EQ(core_codec_add_video(&h264, 1), 0);
    ASSERT_EQ(core_codec_add_video(&h264, 1), 0);
    ASSERT_EQ(core_codec_add_video(&vp8, 1), 0);

    make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0));
    publish_tables({codec_record(kChannel, kOpus, "codec.00000009.stream.00000000"),
                    plain_record(kChannel, ENGINE_PROFILE_SLOT_AUDIO, kOpus, "stream.00000000"),
                    plain_record(kChannel, ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000001")},
                   {plain_record(kChannel, ENGINE_PROFILE_SLOT_AUDIO, kOpus, "stream.00000000")});
    ASSERT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_OK);
    EXPECT_EQ(provider_->bitrateRow, 0u);
    uint32_t mask = 1;
    int props = -1;
    ASSERT_TRUE(profile_of(ENGINE_PROFILE_SLOT_AUDIO, &mask, &props));
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(props, 0);
    EXPECT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_AUDIO, "stream.00000000", [](EngineProviderStream *s) {
        EXPECT_EQ(text_of(s->codecName), "codec.00000001.stream.00000000");
    }));
    EXPECT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_VIDEO, "stream.40000001", [](EngineProviderStream *s) {
        EXPECT_EQ(text_of(s->codecName), "codec.00000002.stream.40000001");
    }));
}

TEST_F(ProviderTest, StreamTableBuildRefusals)
{
    make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0));
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, -1), CORE_ERR_INVALID);
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 2), CORE_ERR_INVALID);
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_ERR) << "no published tables";

    // No plain record, or a plain record of a slot this provider lacks.
    publish_tables({codec_record(kChannel, kOpus, "codec.00000000.stream.00000000")}, {});
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_DONE);
    publish_tables({plain_record(kChannel, ENGINE_PROFILE_SLOT_COMBINED, kOpus, "stream.00000000")}, {});
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_DONE);
    EXPECT_TRUE(streams_of(provider_, ENGINE_PROFILE_SLOT_AUDIO).empty());

    // A record of an unknown slot has no profile to go to.
    const EngineStreamRecord stray = plain_record(kChannel, "profile.other.slot", kOpus, "stream.00000000");
    EXPECT_EQ(engine_profile_add_stream(provider_, &channel_, nullptr, &stray), CORE_ERR);
}

TEST_F(ProviderTest, AnnouncementsNameEachSlot)
{
    make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0));
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, &channel_, nullptr, nullptr, nullptr);
    desc.peerNode = name_of("peer.node");
    desc.session = name_of("peer.session");
    desc.bindSequence = name_of("bnd.seq.0000000000000001");
    EXPECT_EQ(engine_provider_announce_streams(provider_, &desc), CORE_OK);
    EXPECT_EQ(engine_provider_withdraw_streams(provider_, &desc), CORE_OK);
    commands_.flush();
    for (uint32_t code : {ENGINE_CMD_SEND_STREAM_ADD, ENGINE_CMD_SEND_STREAM_REMOVE}) {
        const auto posted = commands_.of<EngineMediaDesc>(code);
        ASSERT_EQ(posted.size(), 2u);
        EXPECT_EQ(text_of(posted[0].bindSequence), ENGINE_PROFILE_SLOT_AUDIO);
        EXPECT_EQ(text_of(posted[1].bindSequence), ENGINE_PROFILE_SLOT_VIDEO);
        for (const EngineMediaDesc &d : posted) {
            EXPECT_TRUE(same(d.channel, channel_));
            EXPECT_EQ(text_of(d.peerNode), "peer.node");
            EXPECT_EQ(text_of(d.session), "peer.session");
        }
    }

    // Nothing goes out while no node runs.
    commands_.clear();
    EngineNode *node = engine_node_running();
    engine_node_set_running(nullptr);
    EXPECT_EQ(engine_provider_announce_streams(provider_, &desc), CORE_OK);
    engine_node_set_running(node);
    commands_.flush();
    EXPECT_EQ(commands_.count(ENGINE_CMD_SEND_STREAM_ADD), 0u);
}

TEST_F(ProviderTest, DeviceChangeNotice)
{
    make(provider_config(RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, 0));
    RavkDeviceText value;
    memset(&value, 'n', sizeof value);
    value.tag = 1;
    value.length = 5000;  // more than the text holds: cut to it
    const CoreName id = name_of("device.one");
    engine_provider_on_device_change(provider_->videoSources, 0, &id, &value, provider_);
    value.length = 3;
    engine_provider_on_device_change(provider_->audioSources, 1, &id, &value, provider_);
    events_.flush();
    const auto notices = events_.of<EngineEnvironmentChange>(ENGINE_EVT_ENVIRONMENT_CHANGED);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].media, 1);
    EXPECT_EQ(notices[0].removed, 1u);
    EXPECT_EQ(notices[0].length, uint64_t(ENGINE_DEVICE_VALUE_SIZE));
    EXPECT_EQ(notices[0].valueType, 1u);
    EXPECT_TRUE(same(notices[0].deviceId, id));
    EXPECT_EQ(notices[1].media, 0);
    EXPECT_EQ(notices[1].removed, 0u);
    EXPECT_EQ(notices[1].length, 3u);
    EXPECT_EQ(notices[1].value[2], 'n');
    EXPECT_EQ(notices[1].value[3], 0);
}

TEST_F(ProviderTest, StartWithoutCaptureReportsTheEncoder)
{
    make_with_streams();
    // Distinct ladder values show which step the start took.
    for (uint32_t row = 0; row < 2; ++row)
        for (uint32_t step = 0; step < 8; ++step) provider_->videoBitrates[row][step] = 100000 * (row * 10 + step + 1);

    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000"),
              CORE_ERR);
    EXPECT_EQ(provider_->currentVideoBitrate, 500000u) << "adaptive policy starts at step 4 of row 0";
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_AUDIO, "stream.00000000"),
              CORE_OK);
    EXPECT_EQ(start("profile.other.slot", "stream.00000000"),
              CORE_DONE);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_AUDIO, "stream.00000007"),
              CORE_DONE);
    engine_report_encoder_failure(RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO);
    engine_report_encoder_failure(0);
    EXPECT_EQ(error_texts(), (std::vector<std::string>{"Failed on start video encoder.",
                                                       "Failed on start audio encoder.",
                                                       "Failed on start audio encoder. Failed on start video encoder."}));
    EXPECT_EQ(events_.count(ENGINE_EVT_STREAM_STARTED), 0u);

    // Under a constant bitrate the encoders start at step 7 and keep it.
    {
        CoreLockGuard guard(&capability_->lock);
        capability_->bitratePolicy = 1;
    }
    start(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
    EXPECT_EQ(provider_->currentVideoBitrate, 800000u);
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &channel_, 300000, -1, ENGINE_STREAM_KIND_VIDEO),
              CORE_ERR_STATE);
}

TEST_F(ProviderTest, EncoderChangeAnswers)
{
    make_with_streams();
    provider_->currentVideoBitrate = 500000;
    provider_->currentAudioBitrate = ENGINE_AUDIO_BITRATE;
    const CoreName video = name_of("stream.40000000"), audio = name_of("stream.00000000"),
                   unknown = name_of("stream.40000009");
    struct Case {
        const char *purpose;
        const CoreName *stream;
        uint64_t bitrate;
        int32_t step;
        int kind;
        CoreResult result;
    };
    const Case cases[] = {
        {"no bitrate and no step", &video, 0, -1, ENGINE_STREAM_KIND_VIDEO, CORE_ERR_INVALID},
        {"a step past the table", &video, 0, 8, ENGINE_STREAM_KIND_VIDEO, CORE_ERR_INVALID},
        {"a step before it", &audio, 0, -2, ENGINE_STREAM_KIND_AUDIO, CORE_ERR_INVALID},
        {"the current video bitrate", &video, 500000, -1, ENGINE_STREAM_KIND_VIDEO, CORE_DONE},
        {"the audio table's value is current", &audio, 0, 3, ENGINE_STREAM_KIND_AUDIO, CORE_DONE},
        {"another kind changes nothing", &video, 700000, -1, 2, CORE_OK},
        {"an unknown stream is no error", &unknown, 700000, -1, ENGINE_STREAM_KIND_VIDEO, CORE_OK},
        {"a stream without capture is no error", &video, 700000, -1, ENGINE_STREAM_KIND_VIDEO, CORE_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        EXPECT_EQ(engine_provider_apply_encoder(provider_, c.stream, c.bitrate, c.step, c.kind), c.result);
    }
    // The encoder did not take the value, so it is not current.
    EXPECT_EQ(provider_->currentVideoBitrate, 500000u);

    RavkFraction rate = {5, 1};
    EXPECT_EQ(engine_provider_cap_framerate(provider_, &video, &rate), CORE_OK);
    EngineStreamQuery query;
    memset(&query, 0, sizeof query);
    query.kind = 1;
    query.stream = unknown;
    EXPECT_EQ(engine_provider_query_stream(provider_, &query), CORE_ERR);
    query.stream = video;
    EXPECT_EQ(engine_provider_query_stream(provider_, &query), CORE_ERR) << "no capture object";

    // A provider without slots has nothing to change.
    engine_media_provider_destroy(&provider_);
    make(provider_config(0, 0, 0, 0));
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &video, 700000, -1, ENGINE_STREAM_KIND_VIDEO), CORE_ERR);
    EXPECT_EQ(engine_provider_cap_framerate(provider_, &video, &rate), CORE_ERR);
    EXPECT_EQ(engine_provider_query_stream(provider_, &query), CORE_ERR);
}

TEST_F(ProviderTest, StopTaskRemovesAStreamOnce)
{
    make_with_streams();
    void *user[2] = {provider_, nullptr};
    const CoreName executor = name_of(CORE_DEFAULT_EXECUTOR);
    const CoreName audioSlot = name_of(ENGINE_PROFILE_SLOT_AUDIO), videoSlot = name_of(ENGINE_PROFILE_SLOT_VIDEO);
    const CoreName audio = name_of("stream.00000000"), video = name_of("stream.40000000");

    // Never started: removed without an event.
    EXPECT_EQ(engine_provider_stop_task(&executor, 0, &audioSlot, &audio, user), CORE_DONE);
    EXPECT_TRUE(streams_of(provider_, ENGINE_PROFILE_SLOT_AUDIO).empty());
    EXPECT_EQ(engine_provider_stop_task(&executor, 0, &audioSlot, &audio, user), CORE_DONE);
    const CoreName other = name_of("profile.other.slot");
    EXPECT_EQ(engine_provider_stop_task(&executor, 0, &other, &audio, user), CORE_ERR);

    // Started: one stopped event, however often the task runs.
    ASSERT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000",
                            [](EngineProviderStream *s) { s->started = 1; }));
    EXPECT_EQ(engine_provider_stop_task(&executor, 0, &videoSlot, &video, user), CORE_DONE);
    EXPECT_EQ(engine_provider_stop_task(&executor, 0, &videoSlot, &video, user), CORE_DONE);
    events_.flush();
    const auto stopped = events_.of<EngineStreamInfo>(ENGINE_EVT_STREAM_STOPPED);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].direction, 0u);
    EXPECT_TRUE(same(stopped[0].channel, channel_));
    EXPECT_TRUE(same(stopped[0].slot, videoSlot));
    EXPECT_TRUE(same(stopped[0].stream, video));

    // The names are free again at once: the same binding can build anew.
    EXPECT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_OK);
    EXPECT_EQ(streams_of(provider_, ENGINE_PROFILE_SLOT_VIDEO), (std::vector<std::string>{"stream.40000000"}));
}

TEST_F(ProviderTest, DrainWhileOtherThreadsUseTheStreams)
{
    make_with_streams(1);
    ASSERT_TRUE(with_stream(provider_, ENGINE_PROFILE_SLOT_COMBINED, "stream.00000000",
                            [](EngineProviderStream *s) { s->started = 1; }));
    // Handlers of other threads keep reaching for the streams while the
    // stop tasks remove them on the executor.
    std::atomic<bool> stop{false};
    std::thread user([&] {
        const CoreName stream = name_of("stream.40000000");
        EngineStreamQuery query;
        memset(&query, 0, sizeof query);
        query.kind = 1;
        query.stream = stream;
        const RavkFraction rate = {5, 1};
        while (!stop.load()) {
            engine_provider_apply_encoder(provider_, &stream, 400000, -1, ENGINE_STREAM_KIND_VIDEO);
            engine_provider_cap_framerate(provider_, &stream, &rate);
            engine_provider_query_stream(provider_, &query);
            start(ENGINE_PROFILE_SLOT_COMBINED, "stream.40000000");
        }
    });
    engine_provider_drain(provider_);
    stop = true;
    user.join();
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
    events_.flush();
    EXPECT_EQ(events_.count(ENGINE_EVT_STREAM_STOPPED), 1u);
    // Nothing left to drain.
    engine_provider_drain(provider_);
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
}

TEST_F(ProviderTest, DestroyCancelsPendingStopTasks)
{
    make_with_streams();
    // Stop tasks still waiting on the executor would run on a freed provider.
    const CoreName executor = name_of(CORE_DEFAULT_EXECUTOR);
    const CoreTaskCallback callback = {engine_provider_stop_task, {provider_, nullptr}};
    const CoreName slot = name_of(ENGINE_PROFILE_SLOT_AUDIO), stream = name_of("stream.00000000");
    for (int i = 0; i < 3; ++i) {
        CoreLockGuard guard(&provider_->lock);
        const uint64_t task = core_executor_schedule(&executor, &slot, &stream, 100, &callback);
        ASSERT_NE(task, 0u);
        provider_->stopTasks.push_back(task);
    }
    engine_media_provider_destroy(&provider_);
    EXPECT_EQ(provider_, nullptr);
    core_sleep_ms(300);  // past the tasks' due time: a task left behind would run now
}

}  // namespace
