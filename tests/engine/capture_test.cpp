// Capture through the media provider with real pipelines from the
// framework's test sources: per-slot and combined capture objects made
// for a binding's streams, started when the send service reports them,
// their encoded frames leaving as sample batches named by the streams, the
// bitrate and frame-rate caps applied while they run, the stop and drain
// with their events, and the evaluation's test-source captures.
#include "engine/capture.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/notify.h"
#include "core/values.h"
#include "engine/names.h"
#include "engine/offer_tables.h"
#include "engine/profiles.h"
#include "provider_support.h"
#include "ravelkit/codecs.h"
#include "ravelkit/desktop_env.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

using namespace provider_support;


namespace {

constexpr const char *kChannel = "p2p.bnd.00000000.chnl";
constexpr const char *kAudioStream = "stream.00000000";
constexpr const char *kVideoStream = "stream.40000000";
constexpr uint32_t kOpus = ENGINE_MEDIA_AUDIO | 4u << 8;
constexpr uint32_t kVp8 = ENGINE_MEDIA_VIDEO | 3u << 16;
constexpr CoreVideoMode kSendMode = {160, 120, 30, 1};
constexpr EngineAudioFormat kSendFormat = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};

// What the capture objects posted on the pipeline channel, per stream.
struct Samples {
    uint64_t batches = 0;
    uint64_t samples = 0;
    uint32_t medium = 99;
    uint32_t role = 99;
    bool firstKey = false;
    uint64_t bytes = 0;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        ASSERT_EQ(ravk_init(0), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        events_.subscribe(ENGINE_EVENT_TOPIC);
        channel_name_ = name_of(RAVK_PIPELINE_CHANNEL);
        const CoreNotifySubscription subscription = {&CaptureTest::on_pipeline_event, {this, nullptr}};
        pipeline_token_ = core_notify_subscribe(&channel_name_, &subscription);
        ASSERT_NE(pipeline_token_, 0u);
        capability_ = make_capability();
        ASSERT_NE(capability_, nullptr);
        ASSERT_EQ(engine_capability_slot_store(capability_, ENGINE_SLOT_VIDEO_SEND, &kSendMode, sizeof kSendMode), 0);
        ASSERT_EQ(engine_capability_slot_store(capability_, ENGINE_SLOT_AUDIO_SEND, &kSendFormat, sizeof kSendFormat),
                  0);
        vp8_ = encoder_index_video(core_fourcc("VP8X"));
        opus_ = encoder_index_audio(core_fourcc("opus"));
        ASSERT_GE(vp8_, 0) << "no VP8 encoder registered";
        ASSERT_GE(opus_, 0) << "no Opus encoder registered";
    }

    void TearDown() override
    {
        engine_media_provider_destroy(&provider_);
        core_notify_unsubscribe(&channel_name_, pipeline_token_);
        events_.unsubscribe();
        engine_capability_release();
        ravk_shutdown();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    static int32_t encoder_index_video(uint32_t output)
    {
        CoreVideoCodecDesc d;
        for (uint32_t i = 0; i < core_codec_entry_count_video(ENGINE_CODEC_LIST_ENCODERS); ++i)
            if (core_codec_get_video(i, ENGINE_CODEC_LIST_ENCODERS, &d) == 0 && d.output == output &&
                d.acceleration == RAVK_ACCEL_SOFTWARE)
                return int32_t(i);
        return -1;
    }
    static int32_t encoder_index_audio(uint32_t output)
    {
        CoreAudioCodecDesc d;
        for (uint32_t i = 0; i < core_codec_entry_count_audio(ENGINE_CODEC_LIST_ENCODERS); ++i)
            if (core_codec_get_audio(i, ENGINE_CODEC_LIST_ENCODERS, &d) == 0 && d.output == output &&
                d.acceleration == RAVK_ACCEL_SOFTWARE)
                return int32_t(i);
        return -1;
    }

    // Copies what the batch says before it returns, as the send service would.
    static CoreResult on_pipeline_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *,
                                        void **user)
    {
        auto *self = static_cast<CaptureTest *>(user[0]);
        if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader) || out == nullptr)
            return CORE_NOT_MINE;
        const auto *header = static_cast<const RavkSampleBatchHeader *>(in);
        std::lock_guard<std::mutex> guard(self->samples_lock_);
        Samples &s = self->samples_[text_of(header->stream)];
        s.role = header->role;
        s.medium = header->stream_index;
        for (const auto *sample = static_cast<const RavkSample *>(out); sample != nullptr; sample = sample->next) {
            if (s.samples == 0) s.firstKey = (sample->flags & RAVK_SAMPLE_KEY) != 0;
            s.samples++;
            s.bytes += sample->size;
        }
        s.batches++;
        return CORE_OK;
    }

    Samples samples_of(const std::string &stream)
    {
        std::lock_guard<std::mutex> guard(samples_lock_);
        return samples_[stream];
    }
    bool samples_reach(const std::string &stream, uint64_t count)
    {
        return wait_until([&] { return samples_of(stream).samples >= count; });
    }

    // A binding with one Opus and one VP8 stream.
    void build_streams(uint32_t combined)
    {
        const char *audioSlot = combined ? ENGINE_PROFILE_SLOT_COMBINED : ENGINE_PROFILE_SLOT_AUDIO;
        const char *videoSlot = combined ? ENGINE_PROFILE_SLOT_COMBINED : ENGINE_PROFILE_SLOT_VIDEO;
        publish_tables({plain_record(kChannel, audioSlot, kOpus, kAudioStream),
                        plain_record(kChannel, videoSlot, kVp8, kVideoStream)},
                       {});
        ASSERT_EQ(engine_stream_tables_build(provider_, &channel_, 0), CORE_OK);
    }

    // A provider over test sources of 320x240 and 48 kHz, added under the
    // ids the configuration selects (or the registry's first audio source
    // when `defaultAudio` is set), and the binding's streams.
    void make(uint32_t combined, bool defaultAudio = false)
    {
        EngineProviderConfig config = provider_config(RAVK_CLASS_TEST, RAVK_CLASS_TEST, combined);
        config.captureHook = {&CaptureTest::on_capture_hook, this};
        if (defaultAudio) config.audioSource.deviceId = name_of(DEFAULT_DEVICE_ID);
        provider_ = engine_media_provider_create(&config);
        ASSERT_NE(provider_, nullptr);
        const CoreVideoMode source = {320, 240, 30, 1};
        ASSERT_EQ(ravk_device_list_add_video_test(provider_->videoSources, RAVK_BACKEND_GSTREAMER,
                                                  &config.videoSource.deviceId, &source, core_fourcc("I420"), 18),
                  0);
        const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        const CoreName audioId = name_of("engine.test.audio");
        ASSERT_EQ(ravk_device_list_add_audio_test(provider_->audioSources, RAVK_AUDIO_BACKEND_GSTREAMER, &audioId,
                                                  &format, 0, 440.0),
                  0);
        build_streams(combined);
    }

    static CoreResult on_capture_hook(RavkProviderAudioStream *audio, RavkProviderVideoStream *video, void *user)
    {
        auto *self = static_cast<CaptureTest *>(user);
        self->hooked_.push_back(text_of(audio->stream) + "|" + text_of(video->stream));
        return self->refuse_ ? CORE_ERR : CORE_OK;
    }

    CoreResult create_captures(const char *slot)
    {
        const CoreName key = name_of(slot);
        auto *profile = reinterpret_cast<EngineProfile *>(core_store_lookup(provider_->profiles, key.key));
        if (profile == nullptr) return CORE_ERR_NOT_FOUND;
        const CoreResult result = engine_provider_create_captures(provider_, profile);
        core_store_unref(provider_->profiles);
        return result;
    }

    CoreResult start(const char *slot, const char *stream)
    {
        EngineSendStreamEvent record;
        memset(&record, 0, sizeof record);
        record.channel = channel_;
        record.slot = name_of(slot);
        record.stream = name_of(stream);
        return engine_provider_start_encoders(provider_, &record);
    }

    uint64_t capture_of(const char *slot, const char *stream)
    {
        uint64_t handle = 0;
        with_stream(provider_, slot, stream, [&](EngineProviderStream *s) { handle = s->capture.load(); });
        return handle;
    }

    static bool freed(uint64_t handle)
    {
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
        void *object = core_handle_acquire(table, handle);
        if (object != nullptr) core_handle_release(table, handle);
        return object == nullptr;
    }

    // The live-rate element's cap of a running capture object.
    static RavkFraction max_framerate(uint64_t handle)
    {
        RavkFraction rate = {0, 0};
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
        auto *object = static_cast<RavkProvider *>(core_handle_acquire(table, handle));
        if (object == nullptr) return rate;
        if (object->live_rate != nullptr && object->live_rate->element != nullptr) {
            GValue value = G_VALUE_INIT;
            g_value_init(&value, GST_TYPE_FRACTION);
            g_object_get_property(G_OBJECT(object->live_rate->element), "max-framerate", &value);
            rate = {uint32_t(gst_value_get_fraction_numerator(&value)),
                    uint32_t(gst_value_get_fraction_denominator(&value))};
            g_value_unset(&value);
        }
        core_handle_release(table, handle);
        return rate;
    }

    std::vector<std::string> stream_events(uint32_t code)
    {
        events_.flush();
        std::vector<std::string> out;
        for (const EngineStreamInfo &info : events_.of<EngineStreamInfo>(code)) {
            EXPECT_EQ(info.direction, 0u);
            EXPECT_TRUE(same(info.channel, channel_));
            out.push_back(text_of(info.slot) + "|" + text_of(info.stream));
        }
        return out;
    }

    TopicLog events_;
    CoreName channel_name_{};
    uint64_t pipeline_token_ = 0;
    EngineCapability *capability_ = nullptr;
    EngineMediaProvider *provider_ = nullptr;
    CoreName channel_ = name_of(kChannel);
    int32_t vp8_ = -1, opus_ = -1;
    std::vector<std::string> hooked_;
    bool refuse_ = false;
    std::mutex samples_lock_;
    std::map<std::string, Samples> samples_;
};

TEST_F(CaptureTest, EachSlotCapturesItsStream)
{
    make(0);
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_AUDIO), CORE_OK);
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_VIDEO), CORE_OK);
    // A repeated creation makes nothing new.
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_VIDEO), CORE_OK);
    EXPECT_EQ(hooked_, (std::vector<std::string>{std::string(kAudioStream) + "|", std::string("|") + kVideoStream}));
    events_.flush();
    const auto created = events_.of<EngineCaptureFormats>(ENGINE_EVT_CAPTURE_CREATED);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0].audio.encoder.output, core_fourcc("opus"));
    EXPECT_EQ(created[0].audio.format.rate, 48000u);
    EXPECT_EQ(created[0].video.encoder.output, core_fourcc("NONE"));
    EXPECT_EQ(created[1].video.encoder.output, core_fourcc("VP8X"));
    EXPECT_TRUE(core_video_mode_equal(&created[1].video.mode, &kSendMode));
    const uint64_t audio = capture_of(ENGINE_PROFILE_SLOT_AUDIO, kAudioStream);
    const uint64_t video = capture_of(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream);
    ASSERT_NE(audio, 0u);
    ASSERT_NE(video, 0u);
    EXPECT_NE(audio, video);

    // Started when the send service reports the streams; a second report
    // changes nothing.
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream), CORE_OK);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_AUDIO, kAudioStream), CORE_OK);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream), CORE_OK);
    EXPECT_EQ(stream_events(ENGINE_EVT_STREAM_STARTED),
              (std::vector<std::string>{std::string(ENGINE_PROFILE_SLOT_VIDEO) + "|" + kVideoStream,
                                        std::string(ENGINE_PROFILE_SLOT_AUDIO) + "|" + kAudioStream}));
    EXPECT_EQ(provider_->currentVideoBitrate, provider_->videoBitrates[0][ENGINE_START_STEP_ADAPTIVE]);
    EXPECT_EQ(provider_->currentAudioBitrate, uint64_t(ENGINE_AUDIO_BITRATE));

    ASSERT_TRUE(samples_reach(kVideoStream, 10));
    ASSERT_TRUE(samples_reach(kAudioStream, 10));
    const Samples v = samples_of(kVideoStream), a = samples_of(kAudioStream);
    EXPECT_EQ(v.role, 1u);
    EXPECT_EQ(v.medium, 1u);
    EXPECT_EQ(a.medium, 0u);
    EXPECT_TRUE(v.firstKey);
    EXPECT_EQ(v.batches, v.samples) << "one sample per batch";
    EXPECT_GT(v.bytes, 0u);

    // Caps while they run: a video bitrate, the audio table's value (current
    // already), a receiver's frame-rate cap.
    const CoreName videoName = name_of(kVideoStream), audioName = name_of(kAudioStream);
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &videoName, 300000, -1, ENGINE_STREAM_KIND_VIDEO), CORE_OK);
    EXPECT_EQ(provider_->currentVideoBitrate, 300000u) << "the encoder took it";
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &videoName, 300000, -1, ENGINE_STREAM_KIND_VIDEO), CORE_DONE);
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &videoName, 0, 6, ENGINE_STREAM_KIND_VIDEO), CORE_OK);
    EXPECT_EQ(provider_->currentVideoBitrate, provider_->videoBitrates[0][6]);
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &audioName, 0, 2, ENGINE_STREAM_KIND_AUDIO), CORE_DONE);
    const RavkFraction cap = {5, 1};
    EXPECT_EQ(engine_provider_cap_framerate(provider_, &videoName, &cap), CORE_OK);
    const RavkFraction applied = max_framerate(video);
    EXPECT_EQ(applied.numerator, 5u);
    EXPECT_EQ(applied.denominator, 1u);
    EngineStreamQuery query;
    memset(&query, 0, sizeof query);
    query.kind = 1;
    query.stream = videoName;
    EXPECT_EQ(engine_provider_query_stream(provider_, &query), CORE_DONE);
    const uint64_t before = samples_of(kVideoStream).samples;
    EXPECT_TRUE(samples_reach(kVideoStream, before + 3)) << "frames keep coming under the caps";

    engine_provider_drain(provider_);
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
    EXPECT_EQ(stream_events(ENGINE_EVT_STREAM_STOPPED).size(), 2u);
    EXPECT_TRUE(wait_until([&] { return freed(audio) && freed(video); }));
}

TEST_F(CaptureTest, CombinedSlotSharesOneCapture)
{
    make(1, true);  // the default audio device: the registry's first
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_COMBINED), CORE_OK);
    EXPECT_EQ(hooked_, (std::vector<std::string>{std::string(kAudioStream) + "|" + kVideoStream}));
    const uint64_t shared = capture_of(ENGINE_PROFILE_SLOT_COMBINED, kAudioStream);
    ASSERT_NE(shared, 0u);
    EXPECT_EQ(capture_of(ENGINE_PROFILE_SLOT_COMBINED, kVideoStream), shared);
    events_.flush();
    const auto created = events_.of<EngineCaptureFormats>(ENGINE_EVT_CAPTURE_CREATED);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].audio.encoder.output, core_fourcc("opus"));
    EXPECT_EQ(created[0].video.encoder.output, core_fourcc("VP8X"));

    // The first stream builds the object; the second finds it running.
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_COMBINED, kAudioStream), CORE_OK);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_COMBINED, kVideoStream), CORE_OK);
    EXPECT_EQ(stream_events(ENGINE_EVT_STREAM_STARTED),
              (std::vector<std::string>{std::string(ENGINE_PROFILE_SLOT_COMBINED) + "|" + kAudioStream}));
    ASSERT_TRUE(samples_reach(kVideoStream, 5));
    ASSERT_TRUE(samples_reach(kAudioStream, 5));

    engine_provider_drain(provider_);
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
    EXPECT_EQ(stream_events(ENGINE_EVT_STREAM_STOPPED),
              (std::vector<std::string>{std::string(ENGINE_PROFILE_SLOT_COMBINED) + "|" + kAudioStream}));
    EXPECT_TRUE(wait_until([&] { return freed(shared); }));
}

TEST_F(CaptureTest, RefusalsLeaveNoCapture)
{
    make(0);
    refuse_ = true;  // the session's hook refuses the source
    EXPECT_EQ(create_captures(ENGINE_PROFILE_SLOT_VIDEO), CORE_ERR);
    refuse_ = false;
    EXPECT_EQ(capture_of(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream), 0u);
    // A mask that muxes without naming a medium makes nothing.
    EXPECT_EQ(engine_capture_create(provider_, RAVK_MEDIA_MUXED, nullptr, nullptr, nullptr), 0u);
    events_.flush();
    EXPECT_EQ(events_.count(ENGINE_EVT_CAPTURE_CREATED), 0u);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream), CORE_ERR);

    // Under a constant bitrate the encoders start at the top step and keep it.
    {
        CoreLockGuard guard(&capability_->lock);
        capability_->bitratePolicy = 1;
    }
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_VIDEO), CORE_OK);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_VIDEO, kVideoStream), CORE_OK);
    EXPECT_EQ(provider_->currentVideoBitrate, provider_->videoBitrates[0][ENGINE_START_STEP_CONSTANT]);
    const CoreName videoName = name_of(kVideoStream);
    EXPECT_EQ(engine_provider_apply_encoder(provider_, &videoName, 300000, -1, ENGINE_STREAM_KIND_VIDEO),
              CORE_ERR_STATE);
    ASSERT_TRUE(samples_reach(kVideoStream, 3));
    engine_provider_drain(provider_);
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
}

TEST_F(CaptureTest, EvaluationSourcesEncode)
{
    make(0);
    CoreName codec, audioCodec;
    core_name_format(&codec, "codec.%08X.stream.%08X", uint32_t(vp8_), ENGINE_STREAM_BIAS_VIDEO);
    core_name_format(&audioCodec, "codec.%08X.stream.%08X", uint32_t(opus_), 0u);
    EngineCaptureVideoPart video;
    memset(&video, 0, sizeof video);
    ASSERT_EQ(core_codec_get_video(vp8_, ENGINE_CODEC_LIST_ENCODERS, &video.encoder), 0);
    video.mode = {158, 118, 30, 1};  // aligned to the encoder's steps on the way
    EngineCaptureAudioPart audio;
    memset(&audio, 0, sizeof audio);
    ASSERT_EQ(core_codec_get_audio(opus_, ENGINE_CODEC_LIST_ENCODERS, &audio.encoder), 0);
    audio.format = kSendFormat;
    const CoreName videoPipe = name_of("eval.video.pipe"), audioPipe = name_of("eval.audio.pipe");

    const CoreVideoMode sourceMode = {320, 240, 30, 1};
    EXPECT_EQ(engine_eval_video_source(provider_, RAVK_BACKEND_GSTREAMER, &video, &videoPipe, &codec, nullptr,
                                       nullptr),
              CORE_ERR)
        << "neither a mode nor a fed source";
    const CoreName bad = name_of("codec.FFFFFFF0.stream.00000000");
    EXPECT_EQ(engine_eval_video_source(provider_, RAVK_BACKEND_GSTREAMER, &video, &videoPipe, &bad, &sourceMode,
                                       nullptr),
              CORE_ERR)
        << "no such encoder";
    ASSERT_EQ(engine_eval_video_source(provider_, RAVK_BACKEND_GSTREAMER, &video, &videoPipe, &codec, &sourceMode,
                                       nullptr),
              CORE_OK);
    ASSERT_EQ(engine_eval_audio_source(provider_, RAVK_AUDIO_BACKEND_GSTREAMER, &audio, &audioPipe, &audioCodec,
                                       &kSendFormat, nullptr),
              CORE_OK);
    EXPECT_NE(provider_->evalVideoCapture, 0u);
    EXPECT_NE(provider_->evalAudioSources, nullptr);
    ASSERT_TRUE(samples_reach("eval.video.pipe", 5));
    ASSERT_TRUE(samples_reach("eval.audio.pipe", 5));
    EXPECT_TRUE(samples_of("eval.video.pipe").firstKey);

    // A second trial replaces the first capture of its medium.
    const uint64_t first = provider_->evalVideoCapture;
    ASSERT_EQ(engine_eval_video_source(provider_, RAVK_BACKEND_GSTREAMER, &video, &videoPipe, &codec, &sourceMode,
                                       nullptr),
              CORE_OK);
    EXPECT_TRUE(freed(first));
    const uint64_t second = provider_->evalVideoCapture;
    engine_provider_eval_release(provider_);
    EXPECT_EQ(provider_->evalVideoCapture, 0u);
    EXPECT_EQ(provider_->evalAudioCapture, 0u);
    EXPECT_EQ(provider_->evalVideoSources, nullptr);
    EXPECT_TRUE(freed(second));
}

TEST_F(CaptureTest, ScreenAndMonitorCapture)
{
    const std::string why = ravk_test_desktop_start();
    if (!why.empty()) GTEST_SKIP() << why;
    RavkDeviceEnumConfig filter{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO,
                                RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN};
    ASSERT_EQ(ravk_device_enum_create(&filter), 0);
    struct Enumerator {
        EngineMediaProvider **provider;
        ~Enumerator()
        {
            engine_media_provider_destroy(provider);  // its registries follow the enumerator's channel
            ravk_device_enum_destroy();
        }
    } enumerator{&provider_};

    // The first audio source is a sink's monitor; the first screen the X
    // server's first.
    EngineProviderConfig config = provider_config(RAVK_CLASS_NATIVE, RAVK_CLASS_SCREEN, 1);
    config.audioSource.deviceId = name_of(DEFAULT_DEVICE_ID);
    config.videoSource.deviceId = name_of(DEFAULT_DEVICE_ID);
    config.showCursor = 1;
    provider_ = engine_media_provider_create(&config);
    ASSERT_NE(provider_, nullptr);
    ASSERT_EQ(ravk_device_enum_start(), 0);
    auto count = [](RavkDeviceList *list) {
        CoreLockGuard guard(&list->lock);
        return list->count;
    };
    ASSERT_TRUE(wait_until([&] { return count(provider_->audioSources) > 0 && count(provider_->videoSources) > 0; }));
    // The registries told of every device that came.
    events_.flush();
    const auto notices = events_.of<EngineEnvironmentChange>(ENGINE_EVT_ENVIRONMENT_CHANGED);
    int media[2] = {0, 0};
    for (const EngineEnvironmentChange &n : notices)
        if (n.media == 0 || n.media == 1) media[n.media] += n.removed == 0 ? 1 : 0;
    EXPECT_GT(media[0], 0);
    EXPECT_GT(media[1], 0);

    build_streams(1);
    ASSERT_EQ(create_captures(ENGINE_PROFILE_SLOT_COMBINED), CORE_OK);
    EXPECT_EQ(start(ENGINE_PROFILE_SLOT_COMBINED, kVideoStream), CORE_OK);
    ASSERT_TRUE(samples_reach(kVideoStream, 5));
    ASSERT_TRUE(samples_reach(kAudioStream, 5));
    EXPECT_TRUE(samples_of(kVideoStream).firstKey);
    engine_provider_drain(provider_);
    EXPECT_EQ(engine_provider_live_streams(provider_), 0u);
    EXPECT_EQ(stream_events(ENGINE_EVT_STREAM_STOPPED).size(), 1u);
}

}  // namespace
