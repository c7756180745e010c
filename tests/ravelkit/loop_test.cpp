// Capture to playback on a private desktop, through the sample batches and
// no network: X screen 1, painted, is captured by a provider (VP8 through
// libvpx, H.264 through x264enc and the libav decoder) and plays in our own
// window on screen 0, following the screen's colour changes; a tone on one
// PulseAudio null sink, captured from its monitor as Opus, plays on the
// other sink, whose monitor hears it; the capture's local preview plays
// while it encodes; one MPEG-TS stream is demuxed and played; and the loop
// tool shows screen 0 on screen 1.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/system.h"
#include "desktop_env.h"
#include "engine/node.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"
#include "ravelkit/consumer.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/linux_values.h"
#include "ravelkit/provider.h"

// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>

namespace
{

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

bool eventually(const std::function<bool()> &ready, uint64_t ms = 8000)
{
    const uint64_t deadline = core_clock_mono_ms() + ms;
    while (!ready()) {
        if (core_clock_mono_ms() > deadline) return false;
        g_usleep(50000);
    }
    return true;
}

// Hands every batch on to the consumer before the post returns, as the
// engine's send and receive services would between two nodes.
struct Bridge {
    std::atomic<RavkConsumer *> consumer{nullptr};
    std::atomic<uint64_t> posted[2] = {0, 0};
    std::atomic<uint64_t> pushed[2] = {0, 0};
};

CoreResult forward(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *, void **user)
{
    if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader)) return CORE_NOT_MINE;
    auto *bridge = static_cast<Bridge *>(user[0]);
    const uint32_t stream = static_cast<const RavkSampleBatchHeader *>(in)->stream_index;
    RavkConsumer *consumer = bridge->consumer.load();
    if (stream > 1) return CORE_OK;
    for (const void *at = out; at != nullptr;) {
        RavkSample s;
        std::memcpy(&s, at, sizeof(s));
        at = s.next;
        s.next = nullptr;
        bridge->posted[stream].fetch_add(1);
        if (consumer != nullptr && ravk_consumer_push_live(consumer, stream, &s) == 0)
            bridge->pushed[stream].fetch_add(1);
    }
    return CORE_OK;
}

// Near a pure colour, allowing for the codec's loss.
bool near(uint32_t rgb, uint32_t want)
{
    for (int shift : {16, 8, 0}) {
        const int a = int(rgb >> shift & 0xFF), b = int(want >> shift & 0xFF);
        if (a - b > 48 || b - a > 48) return false;
    }
    return true;
}

// The loudest RMS level (dB) its level element posted.
double loudest(GstElement *meter)
{
    double top = -200;
    GstBus *bus = gst_element_get_bus(meter);
    while (GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
        const GstStructure *s = gst_message_get_structure(m);
        if (gst_structure_has_name(s, "level")) {
            auto *values = static_cast<GValueArray *>(g_value_get_boxed(gst_structure_get_value(s, "rms")));
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            for (guint i = 0; i < values->n_values; ++i)
                top = std::max(top, g_value_get_double(g_value_array_get_nth(values, i)));
            G_GNUC_END_IGNORE_DEPRECATIONS
        }
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    return top;
}

class LoopTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(ravk_test_gst_setup());
        why_ = ravk_test_desktop_start();
    }
    static void TearDownTestSuite() { ravk_test_desktop_stop(); }

    void SetUp() override
    {
        if (!why_.empty()) GTEST_SKIP() << why_;
        const char *display = getenv("DISPLAY");
        ASSERT_NE(display, nullptr);
        source_screen_ = std::string(display) + ".1";
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
        CoreName channel;
        ravk_pipeline_channel_name(&channel);
        CoreNotifySubscription subscription = {forward, {&bridge_, nullptr}};
        ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);

        RavkDeviceEnumConfig config{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO,
                                    RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN};
        ASSERT_EQ(ravk_device_enum_create(&config), 0);
        RavkDeviceListConfig audio{1, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE, nullptr, nullptr,
                                   nullptr};
        RavkDeviceListConfig screens{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_VIDEO, RAVK_CLASS_SCREEN, nullptr, nullptr,
                                     nullptr};
        audio_ = ravk_device_list_create(&audio);
        screens_ = ravk_device_list_create(&screens);
        ASSERT_NE(audio_, nullptr);
        ASSERT_NE(screens_, nullptr);
        ASSERT_EQ(ravk_device_enum_start(), 0);
        ASSERT_TRUE(eventually([&] {
            return find(audio_, "device", "sink_a.monitor", &monitor_id_) &&
                   find(screens_, "display-name", source_screen_.c_str(), &screen_id_);
        }));
    }

    void TearDown() override
    {
        if (!why_.empty()) return;
        ravk_test_window_destroy(painted_);
        if (display_ != nullptr) {
            if (window_ != 0) XDestroyWindow(display_, window_);
            XCloseDisplay(display_);
        }
        ravk_device_list_destroy(&audio_);
        ravk_device_list_destroy(&screens_);
        ravk_device_enum_destroy();
        engine_node_set_running(nullptr);
        core_system_stop();
    }

    // The id of the device in `list` whose element property `name` is `value`.
    static bool find(RavkDeviceList *list, const char *name, const char *value, CoreName *id)
    {
        std::vector<uint64_t> handles;
        {
            CoreLockGuard guard(&list->lock);
            handles.assign(list->devices, list->devices + list->count);
        }
        bool found = false;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_DEVICES];
        for (uint64_t h : handles) {
            auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, h));
            if (node == nullptr) continue;
            RavkSourceDescriptor *d = ravk_device_node_desc(node, 0);
            RavkProperty *p = nullptr;
            if (!found && node->ops.find_property(d, name, &p) == 1 && G_VALUE_HOLDS_STRING(&p->value) &&
                g_strcmp0(g_value_get_string(&p->value), value) == 0)
                found = node->ops.get_id(d, id) == 0;
            core_handle_release(table, h);
        }
        return found;
    }

    // Our own black window over the whole of screen 0: larger than the
    // 320x240 picture, as a viewer's window is.
    bool open_window()
    {
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) return false;
        const int screen = DefaultScreen(display_);
        XSetWindowAttributes attributes = {};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display_, screen);
        window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, uint32_t(DisplayWidth(display_, screen)),
                                uint32_t(DisplayHeight(display_, screen)), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        return true;
    }
    uint32_t window_centre() { return ravk_test_centre_pixel("xid=" + std::to_string(window_)); }
    bool window_shows(uint32_t colour)
    {
        return eventually([&] { return near(window_centre(), colour); }, 10000);
    }

    RavkProviderConfig provider_config(uint32_t media)
    {
        RavkProviderConfig c;
        ravk_provider_config_init(&c);
        c.media = media;
        core_name_format(&c.video.stream, "stream.%08X", 1u);
        core_name_format(&c.audio.stream, "stream.%08X", 2u);
        c.video.devices = screens_;
        c.video.device = screen_id_;
        c.video.encoder.direction = RAVK_CODEC_ENCODER;
        c.video.encoder.acceleration = 1;
        c.video.encoder.input = core_fourcc("I420");
        c.video.format.video = {320, 240, 30, 1};
        c.audio.devices = audio_;
        c.audio.device = monitor_id_;
        c.audio.encoder.direction = RAVK_CODEC_ENCODER;
        c.audio.encoder.acceleration = 1;
        c.audio.encoder.backend = RAVK_AUDIO_BACKEND_GSTREAMER;
        c.audio.encoder.implementation_id = RAVK_AENC_OPUS;
        c.audio.format.audio = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        return c;
    }

    RavkConsumerConfig consumer_config(uint32_t media)
    {
        RavkConsumerConfig c = {};
        c.media = media;
        c.video_decoder.direction = RAVK_CODEC_DECODER;
        c.video_decoder.acceleration = 1;
        c.audio_decoder.direction = RAVK_CODEC_DECODER;
        c.audio_decoder.acceleration = 1;
        c.audio_decoder.backend = RAVK_AUDIO_BACKEND_GSTREAMER;
        c.audio_decoder.implementation_id = RAVK_ADEC_OPUS;
        c.width = 320;
        c.height = 240;
        c.rate_num = 30;
        c.rate_den = 1;
        c.window = window_;
        core_name_format(&c.video_stream, "stream.%08X", 1u);
        core_name_format(&c.audio_stream, "stream.%08X", 2u);
        return c;
    }

    // A playing consumer that the bridge feeds; 0 on failure.
    uint64_t start_consumer(const RavkConsumerConfig &config)
    {
        const uint64_t handle = ravk_consumer_create(&config);
        if (handle == 0 || handle == UINT64_MAX) return 0;
        auto *c = static_cast<RavkConsumer *>(core_handle_acquire(pipelines(), handle));
        gst_element_set_state(c->pipeline->element, GST_STATE_PLAYING);
        c->state = RAVK_STATE_PLAYING;
        bridge_.consumer.store(c);
        return handle;
    }

    // A built and started provider; 0 on failure.
    uint64_t start_provider(const RavkProviderConfig &config, uint64_t audio_bitrate, uint64_t video_bitrate)
    {
        const uint64_t handle = ravk_provider_create(&config);
        if (handle == 0) return 0;
        auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
        const bool ok = ravk_provider_build(p, audio_bitrate, video_bitrate, 0) == 0 && ravk_provider_start(p) == 0;
        core_handle_release(pipelines(), handle);
        if (!ok) {
            core_handle_release(pipelines(), handle);
            return 0;
        }
        return handle;
    }

    // Stops both, the provider first, and releases them.
    void stop(uint64_t provider, uint64_t consumer)
    {
        if (provider != 0) {
            EXPECT_EQ(ravk_pipeline_stop(provider), 0);
            core_handle_release(pipelines(), provider);
        }
        if (consumer != 0) {
            bridge_.consumer.store(nullptr);
            EXPECT_EQ(ravk_pipeline_stop(consumer), 0);
            core_handle_release(pipelines(), consumer);
            core_handle_release(pipelines(), consumer);
        }
    }

    static std::string why_;
    int running_ = 0;
    Bridge bridge_;
    std::string source_screen_;
    RavkDeviceList *audio_ = nullptr;
    RavkDeviceList *screens_ = nullptr;
    CoreName monitor_id_ = {}, screen_id_ = {};
    RavkTestWindow *painted_ = nullptr;
    Display *display_ = nullptr;
    Window window_ = 0;
};
std::string LoopTest::why_;

// The picture follows the screen: blue from the root's background, then red
// from a window mapped over the whole screen.
TEST_F(LoopTest, CapturedScreenPlaysInOurWindow)
{
    struct Case {
        const char *purpose;
        uint32_t video_codec;
        int32_t encoder_backend;
        uint32_t encoder;
        int32_t decoder_backend;
        uint32_t decoder;
        uint32_t decoder_input;
    };
    const Case cases[] = {
        {"VP8 through libvpx", RAVK_VIDEO_VP8, RAVK_BACKEND_LIBVPX, RAVK_ENC_VP8, RAVK_BACKEND_LIBVPX, RAVK_DEC_VP8,
         core_fourcc("VP80")},
        {"H.264 through x264 and libav", RAVK_VIDEO_H264, RAVK_BACKEND_X264, RAVK_ENC_X264, RAVK_BACKEND_LIBAV,
         RAVK_DEC_AV_H264, core_fourcc("H264")},
    };
    ASSERT_TRUE(open_window());
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        int status = -1;
        ravk_test_run("xsetroot -display " + source_screen_ + " -solid '#0000FF'", &status);
        ASSERT_EQ(status, 0) << "xsetroot (x11-xserver-utils)";

        const uint32_t media = RAVK_MEDIA_VIDEO | k.video_codec << 16;
        RavkConsumerConfig consumer = consumer_config(media);
        consumer.video_decoder.backend = k.decoder_backend;
        consumer.video_decoder.implementation_id = k.decoder;
        consumer.video_decoder.input = k.decoder_input;
        EXPECT_EQ(window_centre(), 0u) << "black before anything plays";
        const uint64_t consumer_handle = start_consumer(consumer);
        ASSERT_NE(consumer_handle, 0u);
        RavkProviderConfig provider = provider_config(media);
        provider.video.encoder.backend = k.encoder_backend;
        provider.video.encoder.implementation_id = k.encoder;
        const uint64_t provider_handle = start_provider(provider, 0, 1000000);
        EXPECT_NE(provider_handle, 0u);

        EXPECT_TRUE(window_shows(0x0000FF)) << std::hex << window_centre();
        painted_ = ravk_test_paint_screen(source_screen_.c_str());
        ASSERT_NE(painted_, nullptr);
        EXPECT_TRUE(window_shows(0xFF0000)) << std::hex << window_centre();
        EXPECT_TRUE(eventually([&] { return bridge_.pushed[1].load() >= 10; })) << bridge_.pushed[1].load();

        stop(provider_handle, consumer_handle);
        ravk_test_window_destroy(painted_);
        painted_ = nullptr;
        bridge_.pushed[1] = 0;
    }
}

TEST_F(LoopTest, MonitorCapturedAsOpusPlaysOnTheOtherSink)
{
    // The tone goes into sink_a, whose monitor the provider captures; the
    // consumer plays on the default sink, sink_b, whose monitor we hear.
    int status = -1;
    ravk_test_run("pactl set-default-sink sink_b", &status);
    ASSERT_EQ(status, 0);
    GstElement *tone = gst_parse_launch(
        "audiotestsrc wave=sine freq=440 volume=0.5 is-live=true ! audio/x-raw,rate=48000,channels=2 ! "
        "pulsesink device=sink_a",
        nullptr);
    GstElement *meter = gst_parse_launch("pulsesrc device=sink_b.monitor ! audioconvert ! "
                                         "level interval=100000000 post-messages=true ! fakesink",
                                         nullptr);
    ASSERT_NE(tone, nullptr);
    ASSERT_NE(meter, nullptr);
    gst_element_set_state(tone, GST_STATE_PLAYING);
    gst_element_set_state(meter, GST_STATE_PLAYING);

    // Quiet before anything plays on sink_b.
    g_usleep(500000);
    const double before = loudest(meter);

    constexpr uint32_t kOpus = RAVK_MEDIA_AUDIO | RAVK_AUDIO_OPUS << 8;
    const uint64_t consumer_handle = start_consumer(consumer_config(kOpus));
    ASSERT_NE(consumer_handle, 0u);
    const uint64_t provider_handle = start_provider(provider_config(kOpus), 64000, 0);
    EXPECT_NE(provider_handle, 0u);
    EXPECT_TRUE(eventually([&] { return bridge_.pushed[0].load() >= 100; }, 10000)) << bridge_.pushed[0].load();
    double during = -200;
    eventually([&] { return (during = std::max(during, loudest(meter))) > -30.0; });

    stop(provider_handle, consumer_handle);

    gst_element_set_state(meter, GST_STATE_NULL);
    gst_element_set_state(tone, GST_STATE_NULL);
    gst_object_unref(meter);
    gst_object_unref(tone);
    ravk_test_run("pactl set-default-sink sink_a", &status);
    EXPECT_LT(before, -60.0);
    EXPECT_GT(during, -30.0);
}

GstPadProbeReturn count_buffer(GstPad *, GstPadProbeInfo *, gpointer user)
{
    static_cast<std::atomic<int> *>(user)->fetch_add(1);
    return GST_PAD_PROBE_OK;
}

// Test sources with the preview option: a tee hands what is captured to the
// preview sinks (X11 and the default PulseAudio sink, whose monitor hears
// the tone) while the encoding goes on behind it.
TEST_F(LoopTest, PreviewPlaysWhileTheCaptureEncodes)
{
    RavkDeviceListConfig config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO, RAVK_CLASS_TEST,
                                   nullptr, nullptr, nullptr};
    RavkDeviceList *tests = ravk_device_list_create(&config);
    ASSERT_NE(tests, nullptr);
    CoreName video_id, audio_id;
    core_name_format(&video_id, "video-test");
    core_name_format(&audio_id, "audio-test");
    const CoreVideoMode mode = {320, 240, 30, 1};
    ASSERT_EQ(ravk_device_list_add_video_test(tests, RAVK_BACKEND_GSTREAMER, &video_id, &mode, core_fourcc("I420"), 0),
              0);
    const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(ravk_device_list_add_audio_test(tests, RAVK_AUDIO_BACKEND_GSTREAMER, &audio_id, &format, 0, 440.0), 0);
    GstElement *meter = gst_parse_launch("pulsesrc device=sink_a.monitor ! audioconvert ! "
                                         "level interval=100000000 post-messages=true ! fakesink",
                                         nullptr);
    ASSERT_NE(meter, nullptr);
    gst_element_set_state(meter, GST_STATE_PLAYING);

    RavkProviderConfig c = provider_config(RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO | RAVK_AUDIO_OPUS << 8 |
                                           RAVK_VIDEO_VP8 << 16);
    c.video.devices = c.audio.devices = tests;
    c.video.device = video_id;
    c.audio.device = audio_id;
    c.video.options = c.audio.options = RAVK_STREAM_PREVIEW;
    c.video.encoder.backend = RAVK_BACKEND_LIBVPX;
    c.video.encoder.implementation_id = RAVK_ENC_VP8;
    const uint64_t handle = ravk_provider_create(&c);
    ASSERT_NE(handle, 0u);
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    ASSERT_EQ(ravk_provider_build(p, 64000, 1000000, 0), 0);
    // The last preview sink made is the video one.
    ASSERT_NE(p->preview_sink, nullptr);
    std::atomic<int> previewed{0};
    GstPad *pad = gst_element_get_static_pad(p->preview_sink->element, "sink");
    ASSERT_NE(pad, nullptr);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, count_buffer, &previewed, nullptr);
    gst_object_unref(pad);
    ASSERT_EQ(ravk_provider_start(p), 0);
    EXPECT_TRUE(eventually([&] {
        return previewed.load() >= 10 && bridge_.posted[0].load() >= 10 && bridge_.posted[1].load() >= 10;
    })) << previewed.load() << " previewed, " << bridge_.posted[0].load() << " audio and " << bridge_.posted[1].load()
        << " video samples";
    double heard = -200;
    eventually([&] { return (heard = std::max(heard, loudest(meter))) > -30.0; });
    EXPECT_EQ(ravk_pipeline_stop(handle), 0);
    core_handle_release(pipelines(), handle);
    core_handle_release(pipelines(), handle);
    gst_element_set_state(meter, GST_STATE_NULL);
    gst_object_unref(meter);
    ravk_device_list_destroy(&tests);
    EXPECT_GT(heard, -30.0);
}


// One MPEG-TS stream of H.264 and Opus from the capture's muxed branch: the
// playback demuxes it, each pad joining its branch, and shows the red test
// picture in our window while the other sink's monitor hears the tone.
TEST_F(LoopTest, MuxedStreamIsDemuxedAndPlayed)
{
    RavkDeviceListConfig config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO, RAVK_CLASS_TEST,
                                   nullptr, nullptr, nullptr};
    RavkDeviceList *tests = ravk_device_list_create(&config);
    ASSERT_NE(tests, nullptr);
    CoreName video_id, audio_id;
    core_name_format(&video_id, "video-test");
    core_name_format(&audio_id, "audio-test");
    const CoreVideoMode mode = {320, 240, 30, 1};
    ASSERT_EQ(ravk_device_list_add_video_test(tests, RAVK_BACKEND_GSTREAMER, &video_id, &mode, core_fourcc("I420"), 4),
              0);  // solid red
    const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(ravk_device_list_add_audio_test(tests, RAVK_AUDIO_BACKEND_GSTREAMER, &audio_id, &format, 0, 440.0), 0);
    ASSERT_TRUE(open_window());
    GstElement *meter = gst_parse_launch("pulsesrc device=sink_a.monitor ! audioconvert ! "
                                         "level interval=100000000 post-messages=true ! fakesink",
                                         nullptr);
    ASSERT_NE(meter, nullptr);
    gst_element_set_state(meter, GST_STATE_PLAYING);

    constexpr uint32_t kTs = RAVK_MEDIA_MUXED | RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO | RAVK_AUDIO_OPUS << 8 |
                             RAVK_VIDEO_H264 << 16 | RAVK_CONTAINER_MPEGTS << 24;
    RavkConsumerConfig consumer = consumer_config(kTs);
    consumer.video_decoder.backend = RAVK_BACKEND_LIBAV;
    consumer.video_decoder.implementation_id = RAVK_DEC_AV_H264;
    consumer.video_decoder.input = core_fourcc("H264");
    const uint64_t consumer_handle = start_consumer(consumer);
    ASSERT_NE(consumer_handle, 0u);
    RavkProviderConfig c = provider_config(kTs);
    c.video.devices = c.audio.devices = tests;
    c.video.device = video_id;
    c.audio.device = audio_id;
    c.video.encoder.backend = RAVK_BACKEND_X264;
    c.video.encoder.implementation_id = RAVK_ENC_X264;
    const uint64_t provider_handle = start_provider(c, 64000, 1000000);
    EXPECT_NE(provider_handle, 0u);

    EXPECT_TRUE(window_shows(0xFF0000)) << std::hex << window_centre();
    double heard = -200;
    eventually([&] { return (heard = std::max(heard, loudest(meter))) > -30.0; });
    EXPECT_GT(heard, -30.0);
    EXPECT_EQ(bridge_.posted[1].load(), 0u) << "one stream, under the audio header";
    stop(provider_handle, consumer_handle);
    gst_element_set_state(meter, GST_STATE_NULL);
    gst_object_unref(meter);
    ravk_device_list_destroy(&tests);
}


// The tool shows screen 0 on screen 1, its 640x480 picture scaled up to
// the window over the whole of screen 1.
TEST_F(LoopTest, LoopToolShowsOneScreenOnTheOther)
{
    const std::string from = std::string(getenv("DISPLAY")) + ".0";
    painted_ = ravk_test_paint_screen(from.c_str());
    ASSERT_NE(painted_, nullptr);
    // The tool is built like this test: its leak report knows the same
    // library leaks (gst_support.cpp), which only a full unwind shows.
    char suppressions[] = "/tmp/ravk-loop-lsan-XXXXXX";
    const int fd = mkstemp(suppressions);
    ASSERT_GE(fd, 0);
    const std::string list = "leak:_dl_init\nleak:libpulse.so\nleak:libgstvulkan\nleak:libgstximagesrc.so\n";
    ASSERT_EQ(write(fd, list.data(), list.size()), ssize_t(list.size()));
    close(fd);
    std::string out;
    int status = -1;
    std::thread tool([&] {
        out = ravk_test_run("ASAN_OPTIONS=fast_unwind_on_malloc=0:malloc_context_size=8 LSAN_OPTIONS=suppressions=" +
                                std::string(suppressions) + " " + RAVK_LOOP_TOOL + " --from " + from + " --to " +
                                source_screen_ + " --width 640 --height 480 --fps 30 --bitrate 2000000 --seconds 4 2>&1",
                            &status);
    });
    const bool red =
        eventually([&] { return near(ravk_test_centre_pixel("display-name=" + source_screen_), 0xFF0000); }, 10000);
    tool.join();
    unlink(suppressions);
    EXPECT_TRUE(red);
    EXPECT_EQ(status, 0) << out;
    unsigned long long frames = 0;
    const size_t at = out.find("\nframes ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(std::sscanf(out.c_str() + at, "\nframes %llu", &frames), 1);
    EXPECT_GT(frames, 20u) << out;
}

}  // namespace
