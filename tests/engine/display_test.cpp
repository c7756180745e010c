// The display controller without playback pipelines: sink registries by
// role and class, the sorting of an answer's streams into nodes and
// consumers (combined slots, filters, codec record names), decoder failure
// texts, malformed frame batches, the started and stopped events of pushes
// and stop tasks (also while pushes race a drain), the pending re-setup,
// the stored playback parameters and the receive-close command.
//
// The sink slots name decoders that no codec list holds, so no pipeline is
// ever made here: GStreamer's own threads synchronise in ways that
// ThreadSanitizer cannot see. Real playback is in picture_test.cpp.
#include "engine/display.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/values.h"
#include "display_support.h"
#include "engine/codes.h"
#include "engine/config.h"

using namespace display_test;

namespace {

// A decoder index no codec list holds: every pipeline creation fails
// before the framework is asked.
constexpr int32_t kNoDecoder = 77;
constexpr uint32_t kVirtual = RAVK_CLASS_VIRTUAL;
constexpr uint32_t kMarker = 0x7777;

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        EngineConfig config{};
        ASSERT_EQ(engine_capability_create(&config), CORE_OK);
        events_ = std::make_unique<TopicLog>(ENGINE_EVENT_TOPIC);
    }

    void TearDown() override
    {
        engine_display_destroy(&display_);
        events_.reset();
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    EngineDisplay *make(uint32_t roles = ENGINE_ROLE_REQUESTER, uint32_t audioClass = kVirtual,
                        uint32_t videoClass = kVirtual)
    {
        EngineDisplayConfig c{};
        c.receiveRoles = roles;
        c.audioSink = {kNoDecoder, audioClass, name_of("audio.sink.id")};
        c.videoSink = {kNoDecoder, videoClass, name_of("video.sink.id")};
        c.executor = name_of(CORE_DEFAULT_EXECUTOR);
        c.pool = name_of(CORE_DEFAULT_POOL);
        display_ = engine_display_create(&c);
        return display_;
    }

    // A consumer added straight into its node, as the setup would.
    void add(const char *slot, const char *stream, uint32_t mask)
    {
        const CoreName s = name_of(slot), k = name_of(stream), channel = name_of("p2p.bnd.00000000.chnl");
        ASSERT_EQ(engine_display_add_node(display_, &s, 0, nullptr), CORE_OK);
        ASSERT_EQ(engine_display_add_consumer(display_, &channel, &s, mask, &k, nullptr), CORE_OK);
    }

    CoreResult push(const char *stream, uint32_t media = ENGINE_FRAME_MEDIA_VIDEO)
    {
        EngineFrameBatch batch{};
        batch.media = media;
        batch.channel = name_of("p2p.bnd.00000000.chnl");
        batch.session = name_of("session");
        batch.stream = name_of(stream);
        uint8_t bytes[4] = {1, 2, 3, 4};
        RavkSample sample{};
        sample.flags = RAVK_SAMPLE_PTS | RAVK_SAMPLE_KEY;
        sample.data = bytes;
        sample.size = sizeof(bytes);
        return engine_display_push_frames(display_, &batch, sizeof(batch), &sample, sample.size);
    }

    EngineDisplay *display_ = nullptr;
    std::unique_ptr<TopicLog> events_;
};

TEST_F(DisplayTest, SinkRegistriesFollowTheReceiveRolesAndClasses)
{
    struct Case {
        const char *purpose;
        uint32_t roles, audioClass, videoClass;
        bool audio, video;
    };
    const Case cases[] = {
        {"a node that plays nothing has no registries", 0, kVirtual, kVirtual, false, false},
        {"both slots with a class", ENGINE_ROLE_REQUESTER, kVirtual, kVirtual, true, true},
        {"an audio slot without a class", ENGINE_ROLE_ANSWERER, 0, RAVK_CLASS_TEST, false, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        ASSERT_NE(make(k.roles, k.audioClass, k.videoClass), nullptr);
        EXPECT_EQ(display_->audioSinks != nullptr, k.audio);
        EXPECT_EQ(display_->videoSinks != nullptr, k.video);
        EXPECT_EQ(display_->videoFeatures, ENGINE_FEATURES_DEFAULT_VIDEO);
        EXPECT_EQ(display_->audioFeatures, 0u);
        engine_display_destroy(&display_);
        EXPECT_EQ(display_, nullptr);
    }

    // Without registries the answer's streams find nothing to play on.
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000000")});
    ASSERT_NE(make(0), nullptr);
    EXPECT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    EXPECT_TRUE(consumers_of(display_).empty());
}

TEST_F(DisplayTest, SetupWithoutAnAnswerFails)
{
    ASSERT_NE(make(), nullptr);
    EXPECT_EQ(engine_consumer_setup(display_, nullptr), CORE_ERR);
    EXPECT_TRUE(consumers_of(display_).empty());
}

// Plain records go to the node of their slot, codec records nowhere; a
// stream without a codec record takes the first decoder of its codec.
TEST_F(DisplayTest, SetupSortsPlayableStreamsIntoNodesWithTheirDecoders)
{
    CoreAudioCodecDesc pcm{}, opus{};
    pcm.direction = opus.direction = RAVK_CODEC_DECODER;
    pcm.input = core_fourcc("lpcm");
    opus.input = core_fourcc("opus");
    ASSERT_EQ(core_codec_add_audio(&pcm, 1), 0);
    ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_AUDIO, kOpus, "stream.00000000"),
                    plain_record(ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000000"),
                    codec_record("codec.00000005.stream.40000000", kVp8)});

    struct Case {
        const char *purpose;
        uint32_t videoClass;
        std::vector<std::string> consumers;
    };
    const Case cases[] = {
        {"both sinks", kVirtual,
         {"profile.audio.slot/stream.00000000", "profile.video.slot/stream.40000000"}},
        {"no video sink: the video stream is not played", 0, {"profile.audio.slot/stream.00000000"}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        ASSERT_NE(make(ENGINE_ROLE_REQUESTER, kVirtual, k.videoClass), nullptr);
        // The sink slots name no decoder that exists: no pipeline is made.
        EXPECT_EQ(engine_consumer_setup(display_, nullptr), CORE_ERR);
        EXPECT_EQ(consumers_of(display_), k.consumers);
        {
            ConsumerAccess audio(display_, ENGINE_PROFILE_SLOT_AUDIO, "stream.00000000");
            ASSERT_NE(audio.consumer, nullptr);
            EXPECT_EQ(audio.node->mediaMask, 0u) << "one stream has no shared pipeline";
            EXPECT_EQ(audio.consumer->mediaMask, kOpusFlags);
            EXPECT_EQ(text_of(audio.consumer->codecName), "codec.00000001.stream.00000000");
            EXPECT_EQ(text_of(audio.consumer->channel), "p2p.bnd.00000000.chnl");
            EXPECT_EQ(audio.consumer->object.load(), 0u);
        }
        if (k.videoClass != 0) {
            ConsumerAccess video(display_, ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
            ASSERT_NE(video.consumer, nullptr);
            EXPECT_EQ(video.consumer->mediaMask, kVp8Flags);
            EXPECT_EQ(text_of(video.consumer->codecName), "codec.00000005.stream.40000000");
        }
        engine_display_destroy(&display_);
    }
}

TEST_F(DisplayTest, CombinedSlotMakesOneNodeForBothMedia)
{
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_COMBINED, kOpus, "stream.00000000", ENGINE_PROPS_AUDIO_DECODE_SCORE),
                    plain_record(ENGINE_PROFILE_SLOT_COMBINED, kVp8, "stream.40000000")});
    ASSERT_NE(make(), nullptr);

    // With a filter only the named stream is added.
    const CoreName video = name_of("stream.40000000");
    EXPECT_EQ(engine_consumer_setup(display_, &video), CORE_ERR);
    EXPECT_EQ(consumers_of(display_), std::vector<std::string>{"profile.combined.slot/stream.40000000"});

    EXPECT_EQ(engine_consumer_setup(display_, nullptr), CORE_ERR);
    EXPECT_EQ(consumers_of(display_), (std::vector<std::string>{"profile.combined.slot/stream.00000000",
                                                                "profile.combined.slot/stream.40000000"}));
    ConsumerAccess audio(display_, ENGINE_PROFILE_SLOT_COMBINED, "stream.00000000");
    ASSERT_NE(audio.consumer, nullptr);
    EXPECT_EQ(audio.node->mediaMask, kOpusFlags | kVp8Flags);
    EXPECT_EQ(engine_props_count(&audio.node->props), 2) << "both records' properties merged";
    EXPECT_EQ(audio.consumer->mediaMask, kOpusFlags | kVp8Flags) << "each stream carries the node's media";
}

TEST_F(DisplayTest, DecoderFailuresAreReportedInWords)
{
    struct Case {
        const char *purpose;
        uint32_t mask;
        const char *text;
        CoreResult result;
    };
    const Case cases[] = {
        {"audio: reported, the binding goes on", kOpusFlags, "Failed on start audio decoder.", CORE_OK},
        {"video: the binding is torn down", kVp8Flags,
         "Failed on start video decoder. Please try to select another video decoder.", CORE_ERR},
        {"one pipeline for both", kOpusFlags | kVp8Flags,
         "Failed on start audio decoder. Failed on start video decoder. Please try to select another video decoder.",
         CORE_ERR},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        ASSERT_NE(make(), nullptr);
        add(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000", k.mask);
        const size_t before = events_->of(ENGINE_EVT_VIEWER_ERROR).size();
        EXPECT_EQ(engine_display_start_decoder(display_, nullptr), k.result);
        const std::vector<Posted> errors = events_->wait_for(ENGINE_EVT_VIEWER_ERROR, before + 1);
        ASSERT_EQ(errors.size(), before + 1);
        const EngineMessageText message = errors.back().as<EngineMessageText>();
        EXPECT_EQ(message.code, 0u);
        EXPECT_EQ(message.result, 0);
        EXPECT_STREQ(message.text, k.text);
        engine_display_destroy(&display_);
    }
}

// Frame batches come from outside: every length, count and value is
// checked before anything is pushed.
TEST_F(DisplayTest, MalformedBatchesAreRefusedAndCounted)
{
    ASSERT_NE(make(), nullptr);
    add(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000", kVp8Flags);
    EngineFrameBatch batch{};
    batch.media = ENGINE_FRAME_MEDIA_VIDEO;
    batch.stream = name_of("stream.40000000");
    uint8_t bytes[8] = {};
    RavkSample one{};
    one.flags = RAVK_SAMPLE_PTS;
    one.data = bytes;
    one.size = sizeof(bytes);
    RavkSample second = one, loop = one, no_data = one;
    RavkSample chain = one;
    chain.next = &second;
    loop.next = &loop;
    no_data.data = nullptr;
    EngineFrameBatch audio_batch = batch, other_medium = batch;
    audio_batch.media = ENGINE_FRAME_MEDIA_AUDIO;
    other_medium.media = 2;

    struct Case {
        const char *purpose;
        const EngineFrameBatch *batch;
        uint64_t batchLength;
        const RavkSample *samples;
        uint64_t sampleBytes;
    };
    const Case cases[] = {
        {"no batch", nullptr, sizeof(batch), &one, 8},
        {"a batch cut short", &batch, sizeof(batch) - 1, &one, 8},
        {"a medium neither audio nor video", &other_medium, sizeof(batch), &one, 8},
        {"no frames", &batch, sizeof(batch), nullptr, 0},
        {"a frame without its data", &batch, sizeof(batch), &no_data, 8},
        {"a chain that loops", &batch, sizeof(batch), &loop, 8},
        {"sizes adding up to less than said", &batch, sizeof(batch), &chain, 24},
        {"sizes adding up to more than said", &batch, sizeof(batch), &chain, 8},
    };
    uint64_t rejected = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        EXPECT_EQ(engine_display_push_frames(display_, k.batch, k.batchLength, k.samples, k.sampleBytes),
                  CORE_ERR_INVALID);
        EXPECT_EQ(display_->rejectedBatches.load(), ++rejected);
    }
    events_->settle(kMarker);
    EXPECT_TRUE(events_->of(ENGINE_EVT_STREAM_STARTED).empty()) << "nothing reached the consumer";

    // Well-formed: an unknown stream is dropped, not counted as malformed.
    EngineFrameBatch unknown = batch;
    unknown.stream = name_of("stream.40000009");
    EXPECT_EQ(engine_display_push_frames(display_, &unknown, sizeof(unknown), &chain, 16), CORE_ERR);
    EXPECT_EQ(display_->rejectedBatches.load(), rejected);
    // A longer batch record is read up to its known fields.
    EXPECT_EQ(engine_display_push_frames(display_, &audio_batch, sizeof(batch) + 4, &chain, 16), CORE_ERR)
        << "no pipeline to push into";
    EXPECT_EQ(display_->rejectedBatches.load(), rejected);
}

TEST_F(DisplayTest, FirstPushPostsStartedOnceAndTheStopTaskItsStop)
{
    ASSERT_NE(make(), nullptr);
    add(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000", kVp8Flags);
    add(ENGINE_PROFILE_SLOT_AUDIO, "stream.00000000", kOpusFlags);

    // No pipeline to push into: the push fails, the stream counts as
    // started all the same, once.
    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    const std::vector<Posted> started = events_->wait_for(ENGINE_EVT_STREAM_STARTED, 1);
    ASSERT_EQ(started.size(), 1u);
    const EngineStreamInfo info = started[0].as<EngineStreamInfo>();
    EXPECT_EQ(info.direction, ENGINE_STREAM_PLAYBACK);
    EXPECT_EQ(info.features, 0u);
    EXPECT_EQ(text_of(info.channel), "p2p.bnd.00000000.chnl");
    EXPECT_EQ(text_of(info.slot), ENGINE_PROFILE_SLOT_VIDEO);
    EXPECT_EQ(text_of(info.stream), "stream.40000000");

    // A drain whose filter names no consumer changes nothing.
    const CoreName nobody = name_of("stream.40000007");
    engine_display_drain(display_, &nobody);
    EXPECT_EQ(consumers_of(display_).size(), 2u);

    // Stop tasks: a missing node fails, a missing stream is done.
    const CoreName video_slot = name_of(ENGINE_PROFILE_SLOT_VIDEO), missing = name_of("profile.other.slot");
    void *user[2] = {display_, nullptr};
    EXPECT_EQ(engine_display_stop_task(nullptr, 0, &missing, &nobody, user), CORE_ERR);
    EXPECT_EQ(engine_display_stop_task(nullptr, 0, &video_slot, &nobody, user), CORE_DONE);

    engine_display_drain(display_, nullptr);
    EXPECT_TRUE(consumers_of(display_).empty());
    events_->settle(kMarker);
    const std::vector<Posted> stopped = events_->of(ENGINE_EVT_STREAM_STOPPED);
    ASSERT_EQ(stopped.size(), 1u) << "the audio stream never started";
    const EngineStreamInfo stop = stopped[0].as<EngineStreamInfo>();
    EXPECT_EQ(stop.direction, ENGINE_STREAM_PLAYBACK);
    EXPECT_EQ(stop.features, 0u);
    EXPECT_EQ(text_of(stop.stream), "stream.40000000");
    EXPECT_EQ(text_of(stop.slot), ENGINE_PROFILE_SLOT_VIDEO);

    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    events_->settle(kMarker);
    EXPECT_EQ(events_->of(ENGINE_EVT_STREAM_STARTED).size(), 1u) << "a removed consumer starts nothing";
}

// Pushes run on the receive service's threads while a binding's teardown
// drains the display: every stream that posted its start posts its stop.
TEST_F(DisplayTest, PushesRacingADrainPairTheirEvents)
{
    ASSERT_NE(make(), nullptr);
    const char *streams[] = {"stream.00000000", "stream.40000000"};
    for (int round = 0; round < 20; ++round) {
        add(ENGINE_PROFILE_SLOT_AUDIO, streams[0], kOpusFlags);
        add(ENGINE_PROFILE_SLOT_VIDEO, streams[1], kVp8Flags);
        std::atomic<bool> stop{false};
        std::vector<std::thread> pushers;
        for (uint32_t medium = 0; medium < 2; ++medium)
            pushers.emplace_back([&, medium] {
                while (!stop.load()) push(streams[medium], medium);
            });
        if (round % 2 == 0) std::this_thread::yield();
        engine_display_drain(display_, nullptr);
        stop = true;
        for (std::thread &t : pushers) t.join();
        EXPECT_TRUE(consumers_of(display_).empty());
    }
    events_->settle(kMarker);
    for (const char *stream : streams) {
        size_t started = 0, stopped = 0;
        for (const Posted &p : events_->of(ENGINE_EVT_STREAM_STARTED))
            started += text_of(p.as<EngineStreamInfo>().stream) == stream;
        for (const Posted &p : events_->of(ENGINE_EVT_STREAM_STOPPED))
            stopped += text_of(p.as<EngineStreamInfo>().stream) == stream;
        EXPECT_EQ(started, stopped) << stream;
        EXPECT_LE(started, 20u) << stream;
    }
}

TEST_F(DisplayTest, PendingSetupRunsOnTheNextPushOfItsStream)
{
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_AUDIO, kOpus, "stream.00000000"),
                    plain_record(ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000000")});
    ASSERT_NE(make(), nullptr);
    EXPECT_EQ(engine_consumer_setup(display_, nullptr), CORE_ERR);
    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    events_->wait_for(ENGINE_EVT_STREAM_STARTED, 1);

    const CoreName video = name_of("stream.40000000");
    ASSERT_EQ(engine_display_request_setup(display_, &video, 1, 3), CORE_OK);
    // Another stream's push leaves the request alone.
    EXPECT_EQ(push("stream.00000000", ENGINE_FRAME_MEDIA_AUDIO), CORE_ERR);
    EXPECT_EQ(display_->pendingSetup, 1u);
    EXPECT_EQ(display_->videoFeatures, 3u);

    // Its own push drains the stream and sets it up again; making its
    // pipeline fails here, and that is the push's result.
    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    EXPECT_EQ(display_->pendingSetup, 0u);
    EXPECT_EQ(display_->audioFeatures, 0u);
    EXPECT_EQ(display_->videoFeatures, ENGINE_FEATURES_DEFAULT_VIDEO);
    EXPECT_EQ(events_->wait_for(ENGINE_EVT_STREAM_STOPPED, 1).size(), 1u) << "the old consumer stopped";
    EXPECT_EQ(consumers_of(display_), (std::vector<std::string>{"profile.audio.slot/stream.00000000",
                                                                "profile.video.slot/stream.40000000"}));
    // The new consumer starts afresh.
    EXPECT_EQ(push("stream.40000000"), CORE_ERR);
    EXPECT_EQ(events_->wait_for(ENGINE_EVT_STREAM_STARTED, 3).size(), 3u);
}

TEST_F(DisplayTest, StoresWhatThePlaybackWindowHands)
{
    ASSERT_NE(make(), nullptr);
    EnginePlaybackParams params{};
    params.firstWord = 0;
    params.reserved[0] = 11;
    params.window = 0x4200007;
    params.renderRectangle = {10, 20, 640, 360};
    EXPECT_EQ(engine_display_set_playback_params(display_, &params, sizeof(params) - 1), CORE_ERR_INVALID);
    EXPECT_EQ(display_->window, 0u);
    EXPECT_EQ(engine_display_set_playback_params(display_, &params, sizeof(params)), CORE_OK);
    EXPECT_EQ(display_->window, 0x4200007u);
    EXPECT_EQ(display_->renderRectangle.width, 640);
    EXPECT_EQ(display_->renderRectangle.y, 20);
    EXPECT_EQ(display_->playbackReserved[0], 11u);

    const uint64_t offset = 123456789;
    EXPECT_EQ(engine_display_set_playback_offset(display_, &offset, 4), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_playback_offset(display_, &offset, sizeof(offset)), CORE_OK);
    EXPECT_EQ(display_->playbackOffset, offset);

    struct Case {
        uint32_t medium;
        uint64_t delay, audio, video;
    };
    for (const Case &k : {Case{0, 100, 100, 0}, Case{1, 200, 100, 200}, Case{7, 300, 300, 300}}) {
        SCOPED_TRACE(k.medium);
        EXPECT_EQ(engine_display_set_playback_delay(display_, k.medium, k.delay), CORE_OK);
        EXPECT_EQ(display_->config.audioPlaybackDelay, k.audio);
        EXPECT_EQ(display_->config.videoPlaybackDelay, k.video);
    }
}

TEST_F(DisplayTest, ReceiveClosePostsTheBindingsNames)
{
    TopicLog commands(ENGINE_COMMAND_TOPIC);
    EngineMediaDesc desc{};
    desc.channel = name_of("p2p.bnd.00000000.chnl");
    desc.peerNode = name_of("peer.node");
    desc.session = name_of("session");
    desc.bindSequence = name_of("bnd.seq.0000000000000001");
    EXPECT_EQ(engine_post_receive_close(&desc), CORE_OK);
    const std::vector<Posted> posted = commands.wait_for(ENGINE_CMD_RECEIVE_CLOSE, 1);
    ASSERT_EQ(posted.size(), 1u);
    const EngineReceiveRecord record = posted[0].as<EngineReceiveRecord>();
    EXPECT_EQ(text_of(record.channel), "p2p.bnd.00000000.chnl");
    EXPECT_EQ(text_of(record.peerNode), "peer.node");
    EXPECT_EQ(text_of(record.bindSequence), "bnd.seq.0000000000000001");
}

TEST_F(DisplayTest, VideoSlotFallsBackToTheFirstNode)
{
    ASSERT_NE(make(), nullptr);
    EXPECT_EQ(engine_profile_video_slot(display_), nullptr);
    add(ENGINE_PROFILE_SLOT_AUDIO, "stream.00000000", kOpusFlags);
    EngineProfile *node = engine_profile_video_slot(display_);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(text_of(node->header.key), ENGINE_PROFILE_SLOT_AUDIO);
    core_store_unref(display_->nodes);
    add(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000", kVp8Flags);
    node = engine_profile_video_slot(display_);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(text_of(node->header.key), ENGINE_PROFILE_SLOT_VIDEO);
    core_store_unref(display_->nodes);
}

}  // namespace
