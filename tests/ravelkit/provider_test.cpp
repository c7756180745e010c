// Capture pipelines: the configuration checks, the frame-rate caps, the
// sample batches (one per app sink, flushed before a lone post and at
// stop), and real pipelines from test sources whose VP8 and Opus samples
// decode back with the right count and size, the first a key frame; the
// probe mode's format report; a WebM stream from the muxed branch that
// demuxes back; and a destroy while the pipeline plays.
#include "ravelkit/provider.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/system.h"
#include "engine/node.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"
#include "ravelkit/linux_values.h"

namespace
{

constexpr uint32_t kVp8Opus = RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO | RAVK_AUDIO_OPUS << 8 | RAVK_VIDEO_VP8 << 16;

struct Chain {
    uint32_t stream_index;
    uint64_t total;
    std::vector<RavkSample> headers;
    std::vector<std::vector<uint8_t>> data;
};

struct Events {
    std::mutex lock;
    std::vector<Chain> chains;
    std::vector<RavkFormatInfo> formats;

    size_t samples(uint32_t stream_index)
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const Chain &c : chains) n += c.stream_index == stream_index ? c.headers.size() : 0;
        return n;
    }
};

// Copies each chain as the engine's send service would before returning.
CoreResult on_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len, void **user)
{
    auto *events = static_cast<Events *>(user[0]);
    std::lock_guard<std::mutex> guard(events->lock);
    if (code == RAVK_EVENT_FORMAT && in_len == sizeof(RavkFormatInfo)) {
        events->formats.push_back(*static_cast<const RavkFormatInfo *>(in));
        return CORE_OK;
    }
    if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader)) return CORE_NOT_MINE;
    Chain chain = {static_cast<const RavkSampleBatchHeader *>(in)->stream_index, *out_len, {}, {}};
    // Headers inside a batch sit at any byte offset: copy them out.
    for (const void *at = out; at != nullptr;) {
        RavkSample s;
        std::memcpy(&s, at, sizeof(s));
        chain.headers.push_back(s);
        const auto *bytes = static_cast<const uint8_t *>(s.data);
        chain.data.emplace_back(bytes, bytes + s.size);
        at = s.next;
    }
    events->chains.push_back(std::move(chain));
    return CORE_OK;
}

class ProviderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }

    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
        CoreName channel;
        ravk_pipeline_channel_name(&channel);
        CoreNotifySubscription subscription = {on_event, {&events_, nullptr}};
        ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);
        RavkDeviceListConfig config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO, RAVK_CLASS_TEST,
                                       nullptr, nullptr, nullptr};
        list_ = ravk_device_list_create(&config);
        ASSERT_NE(list_, nullptr);
        core_name_format(&video_id_, "video-test");
        core_name_format(&audio_id_, "audio-test");
        const CoreVideoMode mode = {320, 240, 30, 1};
        ASSERT_EQ(ravk_device_list_add_video_test(list_, RAVK_BACKEND_GSTREAMER, &video_id_, &mode,
                                                  core_fourcc("I420"), 18),
                  0);
        const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        ASSERT_EQ(ravk_device_list_add_audio_test(list_, RAVK_AUDIO_BACKEND_GSTREAMER, &audio_id_, &format, 0, 440.0),
                  0);
    }

    void TearDown() override
    {
        engine_node_set_running(nullptr);
        ravk_device_list_destroy(&list_);
        core_system_stop();
    }

    // VP8 at 160x120 from the 320x240 test source (a scaler), Opus stereo.
    RavkProviderConfig config(uint32_t media, uint32_t batch_size)
    {
        RavkProviderConfig c;
        ravk_provider_config_init(&c);
        c.media = media;
        c.batch_size = batch_size;
        core_name_format(&c.video.stream, "stream.%08X", 1u);
        core_name_format(&c.audio.stream, "stream.%08X", 2u);
        c.video.devices = c.audio.devices = list_;
        c.video.device = video_id_;
        c.audio.device = audio_id_;
        c.video.encoder.direction = RAVK_CODEC_ENCODER;
        c.video.encoder.acceleration = 1;
        c.video.encoder.backend = RAVK_BACKEND_LIBVPX;
        c.video.encoder.implementation_id = RAVK_ENC_VP8;
        c.video.encoder.input = core_fourcc("I420");
        c.video.format.video = {160, 120, 30, 1};
        c.audio.encoder.direction = RAVK_CODEC_ENCODER;
        c.audio.encoder.acceleration = 1;
        c.audio.encoder.backend = RAVK_AUDIO_BACKEND_GSTREAMER;
        c.audio.encoder.implementation_id = RAVK_AENC_OPUS;
        c.audio.format.audio = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        return c;
    }

    RavkProvider *acquire(uint64_t handle)
    {
        return static_cast<RavkProvider *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_PIPELINES], handle));
    }
    void release(uint64_t handle) { core_handle_release(core_handle_tables[CORE_HANDLES_PIPELINES], handle); }

    // Runs until `video` video and `audio` audio samples were posted.
    void run_until(uint64_t handle, size_t video, size_t audio)
    {
        const uint64_t deadline = core_clock_mono_ms() + 20000;
        while ((events_.samples(1) < video || events_.samples(0) < audio) && core_clock_mono_ms() < deadline)
            core_poll_sleep();
        EXPECT_EQ(ravk_pipeline_stop(handle), 0);
    }

    int running_ = 0;
    Events events_;
    RavkDeviceList *list_ = nullptr;
    CoreName video_id_, audio_id_;
};

TEST_F(ProviderTest, ConfigurationChecks)
{
    RavkProviderConfig fresh;
    std::memset(&fresh, 0xAB, sizeof(fresh));
    ravk_provider_config_init(&fresh);
    EXPECT_EQ(fresh.video.encoder.input, RAVK_FOURCC_NONE);
    EXPECT_EQ(fresh.audio.encoder.output, RAVK_FOURCC_NONE);
    EXPECT_EQ(fresh.video.encoder.device_number, -1);
    EXPECT_EQ(fresh.media, 0u);

    CoreName missing;
    core_name_format(&missing, "no-such-device");
    struct Case {
        const char *purpose;
        void (*edit)(RavkProviderConfig *, const CoreName *missing);
        bool accepted;
    };
    const Case cases[] = {
        {"a complete config", [](RavkProviderConfig *, const CoreName *) {}, true},
        {"no media", [](RavkProviderConfig *c, const CoreName *) { c->media = 0; }, false},
        {"unchecked bit skips the devices",
         [](RavkProviderConfig *c, const CoreName *m) {
             c->media |= RAVK_MEDIA_UNCHECKED;
             c->video.device = *m;
         },
         true},
        {"missing video device", [](RavkProviderConfig *c, const CoreName *m) { c->video.device = *m; }, false},
        {"missing audio device", [](RavkProviderConfig *c, const CoreName *m) { c->audio.device = *m; }, false},
        {"zero encode width", [](RavkProviderConfig *c, const CoreName *) { c->video.format.video.width = 0; }, false},
        {"unset video stream skips the format",
         [](RavkProviderConfig *c, const CoreName *) {
             core_name_format(&c->video.stream, "stream.%08X", 0xFFFFFFFFu);
             c->video.format.video.width = 0;
         },
         true},
        {"audio channels 255", [](RavkProviderConfig *c, const CoreName *) { c->audio.format.audio.channels = 255; },
         false},
        {"muxed without container", [](RavkProviderConfig *c, const CoreName *) { c->media |= RAVK_MEDIA_MUXED; },
         false},
    };
    for (const Case &c : cases) {
        RavkProviderConfig cfg = config(kVp8Opus, 0);
        c.edit(&cfg, &missing);
        uint64_t handle = ravk_provider_create(&cfg);
        EXPECT_EQ(handle != 0, c.accepted) << c.purpose;
        if (handle != 0) release(handle);
    }
    EXPECT_EQ(ravk_provider_create(nullptr), 0u);
}

TEST_F(ProviderTest, FrameRateCaps)
{
    RavkProviderConfig cfg = config(kVp8Opus, 0);
    struct Case {
        uint32_t width, height, rate_num;
        uint64_t bitrate;
        uint32_t cap;
    };
    const Case cases[] = {
        {1280, 720, 60, 500000, 10}, {640, 480, 60, 500000, 15}, {640, 480, 12, 500000, 12},
        {640, 480, 60, 1000000, 60}, {1920, 1080, 60, 1999999, 30}, {320, 240, 60, 0, 6},
    };
    for (const Case &c : cases) {
        cfg.video.format.video = {c.width, c.height, c.rate_num, 1};
        uint64_t handle = ravk_provider_create(&cfg);
        ASSERT_NE(handle, 0u);
        RavkProvider *p = acquire(handle);
        RavkFraction cap = ravk_provider_rate_cap_for_bitrate(p, c.bitrate);
        EXPECT_EQ(cap.numerator, c.cap) << c.width << "x" << c.height << " at " << c.bitrate;
        EXPECT_EQ(cap.denominator, 1u);
        release(handle);
        release(handle);
    }

    uint64_t handle = ravk_provider_create(&cfg);
    RavkProvider *p = acquire(handle);
    RavkFraction out = {};
    const RavkFraction fifteen = {15, 1}, ten = {10, 1}, thirty_halves = {30, 2}, invalid = {0, 1};
    EXPECT_EQ(ravk_provider_framerate_cap(p, nullptr, nullptr, &out)->numerator, 0u);
    EXPECT_EQ(ravk_provider_framerate_cap(p, &fifteen, nullptr, &out)->numerator, 15u);  // one valid
    EXPECT_EQ(ravk_provider_framerate_cap(p, nullptr, &ten, &out)->numerator, 10u);      // the lower
    ravk_provider_framerate_cap(p, nullptr, &thirty_halves, &out);                       // a tie: external
    EXPECT_EQ(out.numerator, 30u);
    EXPECT_EQ(out.denominator, 2u);
    ravk_provider_framerate_cap(p, &invalid, &invalid, &out);
    EXPECT_EQ(out.numerator, 0u);
    EXPECT_EQ(out.denominator, 0u);
    release(handle);
    release(handle);
}

// Drives the sample callback as the app sinks would.
TEST_F(ProviderTest, BatchesPerSinkFlushBeforeLonePostsAndAtStop)
{
    const uint64_t H = sizeof(RavkSample);
    uint8_t payload[100];
    for (size_t i = 0; i < sizeof(payload); ++i) payload[i] = uint8_t(i);
    auto sample = [&](uint64_t size, uint32_t flags) {
        RavkSample s = {};
        s.pts = s.dts = s.duration = -1;
        s.flags = flags;
        s.data = payload;
        s.size = size;
        return s;
    };
    RavkNode audio_sink = {}, video_sink = {};
    audio_sink.media = RAVK_MEDIA_AUDIO;
    video_sink.media = RAVK_MEDIA_VIDEO;

    // Exactly two 10-byte samples fit; batch headers sit at offsets that
    // are not multiples of 8 (H + 10), which memcpy handles.
    RavkProviderConfig cfg = config(kVp8Opus, uint32_t(2 * (H + 10)));
    uint64_t handle = ravk_provider_create(&cfg);
    ASSERT_NE(handle, 0u);
    void *user[2] = {core_handle_tables[CORE_HANDLES_PIPELINES], reinterpret_cast<void *>(handle)};

    RavkSample v = sample(10, RAVK_SAMPLE_KEY), a = sample(10, 0);
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &v, 10 + H, user), 0);
    EXPECT_EQ(ravk_provider_on_sample(&audio_sink, &a, 10 + H, user), 0);  // its own batch
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &v, 10 + H, user), 0);
    EXPECT_TRUE(events_.chains.empty());
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &v, 10 + H, user), 0);  // the third: posts two
    ASSERT_EQ(events_.chains.size(), 1u);
    EXPECT_EQ(events_.chains[0].stream_index, 1u);
    EXPECT_EQ(events_.chains[0].total, 2 * (H + 10));
    ASSERT_EQ(events_.chains[0].headers.size(), 2u);
    EXPECT_EQ(events_.chains[0].headers[0].flags, uint32_t(RAVK_SAMPLE_KEY));
    EXPECT_EQ(events_.chains[0].data[1], std::vector<uint8_t>(payload, payload + 10));

    // Too large for the batch: the collected video sample goes first.
    RavkSample big = sample(100, 0);
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &big, 100 + H, user), 0);
    ASSERT_EQ(events_.chains.size(), 3u);
    EXPECT_EQ(events_.chains[1].headers.size(), 1u);
    EXPECT_EQ(events_.chains[1].total, 10 + H);
    EXPECT_EQ(events_.chains[2].total, 100 + H);
    EXPECT_EQ(events_.chains[2].data[0].size(), 100u);

    // The stop posts the audio sample that waited in its own batch.
    EXPECT_EQ(ravk_pipeline_stop(handle), 0);
    ASSERT_EQ(events_.chains.size(), 4u);
    EXPECT_EQ(events_.chains[3].stream_index, 0u);
    EXPECT_EQ(events_.chains[3].total, 10 + H);
    EXPECT_EQ(ravk_pipeline_stop(handle), 0);  // stopping twice does nothing
    EXPECT_EQ(events_.chains.size(), 4u);

    // Without a running engine node nothing is posted; a gone handle is -1.
    engine_node_set_running(nullptr);
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &big, 100 + H, user), 0);
    EXPECT_EQ(events_.chains.size(), 4u);
    engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
    release(handle);
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &v, 10 + H, user), -1);
    EXPECT_EQ(ravk_pipeline_stop(handle), -1);

    // Batch size 0: every sample alone, total = size + H.
    cfg.batch_size = 0;
    handle = ravk_provider_create(&cfg);
    user[1] = reinterpret_cast<void *>(handle);
    EXPECT_EQ(ravk_provider_on_sample(&video_sink, &v, 10 + H, user), 0);
    ASSERT_EQ(events_.chains.size(), 5u);
    EXPECT_EQ(events_.chains[4].total, 10 + H);
    release(handle);
}

// Decodes the chains of one stream through `launch` (appsrc name=in ...
// appsink name=out) and answers the decoded buffers' caps.
std::vector<std::string> decode(const std::vector<Chain> &chains, uint32_t stream_index, const char *launch,
                                size_t *decoded)
{
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(launch, &error);
    if (pipeline == nullptr) {
        g_clear_error(&error);
        return {};
    }
    GstElement *in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
    GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    for (const Chain &c : chains) {
        if (c.stream_index != stream_index) continue;
        for (const auto &bytes : c.data) {
            GstBuffer *buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
            gst_app_src_push_buffer(GST_APP_SRC(in), buffer);
        }
    }
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    std::vector<std::string> caps;
    while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
        ++*decoded;
        gchar *text = gst_caps_to_string(gst_sample_get_caps(s));
        if (caps.empty() || caps.back() != text) caps.push_back(text);
        g_free(text);
        gst_sample_unref(s);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return caps;
}

TEST_F(ProviderTest, TestSourcesEncodeToVp8AndOpusThatDecodeBack)
{
    RavkProviderConfig cfg = config(kVp8Opus, 8 * 1024);
    uint64_t handle = ravk_provider_create(&cfg);
    ASSERT_NE(handle, 0u);
    RavkProvider *p = acquire(handle);
    ASSERT_EQ(ravk_provider_build(p, 64000, 500000, 0), 0);
    GstElement *pipeline = p->pipeline->element;
    EXPECT_EQ(ravk_provider_build(p, 64000, 500000, 0), 0);  // once only
    EXPECT_EQ(p->pipeline->element, pipeline);
    ASSERT_NE(p->video_encoder, nullptr);
    ASSERT_NE(p->live_rate, nullptr);
    // The libyuv scaler (320x240 to 160x120) works at I420's 12 bits.
    guint bits = 0;
    for (RavkBranch *b = p->branches.first; b != nullptr; b = b->next)
        for (RavkChainElement *e = b->chain.first; e != nullptr; e = e->next)
            if (std::strcmp(e->node->factory_name, "libyuv") == 0) g_object_get(e->node->element, "bits", &bits, nullptr);
    EXPECT_EQ(bits, 12u);
    ASSERT_EQ(ravk_provider_start(p), 0);
    EXPECT_EQ(p->state, RAVK_STATE_PLAYING);
    // 500 kbit/s at 160x120 carries 15 frames per second.
    EXPECT_EQ(ravk_provider_set_video_bitrate(handle, 500000), 0);
    EXPECT_EQ(ravk_provider_set_audio_bitrate(handle, 48000), 0);
    run_until(handle, 10, 10);
    release(handle);
    release(handle);

    std::vector<Chain> chains;
    {
        std::lock_guard<std::mutex> guard(events_.lock);
        chains = events_.chains;
    }
    size_t video_samples = 0, audio_samples = 0;
    const RavkSample *first_video = nullptr;
    for (const Chain &c : chains) {
        (c.stream_index == 1 ? video_samples : audio_samples) += c.headers.size();
        if (c.stream_index == 1 && first_video == nullptr) first_video = &c.headers[0];
        uint64_t total = 0;
        for (const RavkSample &s : c.headers) total += s.size + sizeof(RavkSample);
        EXPECT_EQ(total, c.total);
    }
    ASSERT_GE(video_samples, 10u);
    ASSERT_GE(audio_samples, 10u);
    ASSERT_NE(first_video, nullptr);
    EXPECT_TRUE(first_video->flags & RAVK_SAMPLE_KEY);

    size_t frames = 0;
    auto caps = decode(chains, 1,
                       "appsrc name=in caps=video/x-vp8 format=time ! vp8dec ! appsink name=out sync=false", &frames);
    EXPECT_EQ(frames, video_samples);
    ASSERT_EQ(caps.size(), 1u);
    EXPECT_NE(caps[0].find("width=(int)160"), std::string::npos) << caps[0];
    EXPECT_NE(caps[0].find("height=(int)120"), std::string::npos) << caps[0];

    size_t blocks = 0;
    caps = decode(chains, 0,
                  "appsrc name=in caps=\"audio/x-opus, channel-mapping-family=0, channels=2, rate=48000\" "
                  "format=time ! opusdec ! appsink name=out sync=false",
                  &blocks);
    EXPECT_EQ(blocks, audio_samples);
    ASSERT_FALSE(caps.empty());
    EXPECT_NE(caps[0].find("channels=(int)2"), std::string::npos) << caps[0];
}

TEST_F(ProviderTest, ProbeModeReportsTheRawFormat)
{
    RavkProviderConfig cfg = config(RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16, 0);
    uint64_t handle = ravk_provider_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(ravk_provider_build_and_start(handle), 0);
    const uint64_t deadline = core_clock_mono_ms() + 10000;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(events_.lock);
            if (!events_.formats.empty() || core_clock_mono_ms() > deadline) break;
        }
        core_poll_sleep();
    }
    EXPECT_EQ(ravk_pipeline_stop(handle), 0);
    release(handle);
    std::lock_guard<std::mutex> guard(events_.lock);
    ASSERT_FALSE(events_.formats.empty());
    const RavkFormatInfo &f = events_.formats[0];
    EXPECT_EQ(f.audio_fourcc, RAVK_FOURCC_NONE);
    EXPECT_EQ(f.width, 320u);
    EXPECT_EQ(f.height, 240u);
    EXPECT_EQ(f.rate_num, 30u);
    EXPECT_EQ(f.rate_den, 1u);
    EXPECT_NE(f.video_fourcc, RAVK_FOURCC_NONE);
    EXPECT_TRUE(events_.chains.empty());
}

// Both branches end in the muxer: one stream of WebM chunks, posted under the
// audio header, that demuxes back into both streams.
TEST_F(ProviderTest, MuxedBranchMakesWebmThatDemuxesBack)
{
    constexpr uint32_t kWebm = RAVK_MEDIA_MUXED | kVp8Opus | RAVK_CONTAINER_WEBM << 24;
    RavkProviderConfig cfg = config(kWebm, 0);
    uint64_t handle = ravk_provider_create(&cfg);
    ASSERT_NE(handle, 0u);
    RavkProvider *p = acquire(handle);
    ASSERT_EQ(ravk_provider_build(p, 64000, 500000, 0), 0);
    EXPECT_EQ(p->audio_app_sink, nullptr);
    EXPECT_EQ(p->video_app_sink, nullptr);
    ASSERT_NE(p->muxed_app_sink, nullptr);
    ASSERT_EQ(ravk_provider_start(p), 0);
    run_until(handle, 0, 200);  // chunks: headers, clusters and blocks
    release(handle);
    release(handle);

    std::vector<Chain> chains;
    {
        std::lock_guard<std::mutex> guard(events_.lock);
        chains = events_.chains;
    }
    ASSERT_FALSE(chains.empty());
    for (const Chain &c : chains) EXPECT_EQ(c.stream_index, 0u);
    GstElement *pipeline = gst_parse_launch(
        "appsrc name=in caps=video/webm ! matroskademux name=d "
        "d. ! queue ! vp8dec ! appsink name=out sync=false d. ! queue ! opusdec ! appsink name=sound sync=false",
        nullptr);
    ASSERT_NE(pipeline, nullptr);
    GstElement *in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
    GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    GstElement *sound = gst_bin_get_by_name(GST_BIN(pipeline), "sound");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    for (const Chain &c : chains)
        for (const auto &bytes : c.data) gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_new_memdup(bytes.data(), bytes.size()));
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    size_t pictures = 0, blocks = 0;
    int width = 0;
    std::thread audio([&] {
        while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(sound))) {
            ++blocks;
            gst_sample_unref(s);
        }
    });
    while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
        gst_structure_get_int(gst_caps_get_structure(gst_sample_get_caps(s), 0), "width", &width);
        ++pictures;
        gst_sample_unref(s);
    }
    audio.join();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(sound);
    gst_object_unref(pipeline);
    EXPECT_GE(pictures, 5u);
    EXPECT_EQ(width, 160);
    EXPECT_GE(blocks, 20u);
}

// The last release of a playing provider stops its pipeline before the
// elements leave it.
TEST_F(ProviderTest, ReleaseWhilePlaying)
{
    RavkProviderConfig cfg = config(kVp8Opus, 0);
    uint64_t handle = ravk_provider_create(&cfg);
    RavkProvider *p = acquire(handle);
    ASSERT_EQ(ravk_provider_build(p, 64000, 300000, 0), 0);
    ASSERT_EQ(ravk_provider_start(p), 0);
    run_until(handle, 2, 0);
    ASSERT_EQ(ravk_provider_start(p), 0);  // playing again, not stopped
    release(handle);
    release(handle);
    core_handle_wait_freed(core_handle_tables[CORE_HANDLES_PIPELINES], handle);
    EXPECT_EQ(acquire(handle), nullptr);
}

}  // namespace
