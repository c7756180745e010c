// Playback pipelines on a private X server and PulseAudio: creation checks
// and thresholds; VP8 frames pushed live play in our own X11 window (read
// back through ximagesrc with the window id), one larger than the picture
// too; Opus frames play on the PulseAudio sink (a level element on its
// monitor hears them); the live push waits for a key frame, refuses
// frames without a timestamp and malformed chains, and keeps the
// timestamps it pushes moving forward when the sender's clock restarts;
// video that a slow first frame put behind catches up.
#include "ravelkit/consumer.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/system.h"
#include "desktop_env.h"
#include "engine/node.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"
#include "ravelkit/linux_values.h"

// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>

namespace
{

struct Encoded {
    std::vector<std::vector<uint8_t>> data;
    std::vector<RavkSample> headers;  // data pointers set by chain()
};

// Encodes `count` frames with a gst-launch description ending in
// "appsink name=out"; flags and timestamps as a provider delivers them.
Encoded encode(const std::string &launch, size_t count)
{
    Encoded e;
    GstElement *pipeline = gst_parse_launch(launch.c_str(), nullptr);
    if (pipeline == nullptr) return e;
    GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (e.data.size() < count) {
        GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out));
        if (s == nullptr) break;
        GstBuffer *b = gst_sample_get_buffer(s);
        GstMapInfo map;
        gst_buffer_map(b, &map, GST_MAP_READ);
        e.data.emplace_back(map.data, map.data + map.size);
        gst_buffer_unmap(b, &map);
        RavkSample h = {};
        h.pts = int64_t(GST_BUFFER_PTS(b));
        h.dts = h.duration = -1;
        h.flags = RAVK_SAMPLE_PTS | (GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT) ? 0u : uint32_t(RAVK_SAMPLE_KEY));
        e.headers.push_back(h);
        gst_sample_unref(s);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return e;
}

// One frame as a chain of one, its timestamp moved by `shift`.
RavkSample frame(Encoded &e, size_t i, int64_t shift = 0)
{
    RavkSample h = e.headers[i];
    h.data = e.data[i].data();
    h.size = e.data[i].size();
    h.pts += shift;
    h.next = nullptr;
    return h;
}

struct Pts {
    std::mutex lock;
    std::vector<int64_t> values;
};

GstPadProbeReturn count_buffer(GstPad *, GstPadProbeInfo *, gpointer user)
{
    static_cast<std::atomic<int> *>(user)->fetch_add(1);
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn record_pts(GstPad *, GstPadProbeInfo *info, gpointer user)
{
    auto *pts = static_cast<Pts *>(user);
    std::lock_guard<std::mutex> guard(pts->lock);
    pts->values.push_back(int64_t(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info))));
    return GST_PAD_PROBE_OK;
}

class ConsumerTest : public ::testing::Test
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
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
    }
    void TearDown() override
    {
        if (display_ != nullptr) {
            if (window_ != 0) XDestroyWindow(display_, window_);
            XCloseDisplay(display_);
        }
        engine_node_set_running(nullptr);
        core_system_stop();
    }

    // Our own window on the private display, black until something draws.
    bool open_window(uint32_t width = 320, uint32_t height = 240)
    {
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) return false;
        XSetWindowAttributes attributes = {};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, width, height, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        return true;
    }

    RavkConsumerConfig config(uint32_t media)
    {
        RavkConsumerConfig c = {};
        c.media = media;
        c.video_decoder.direction = RAVK_CODEC_DECODER;
        c.video_decoder.acceleration = 1;
        c.video_decoder.backend = RAVK_BACKEND_LIBVPX;
        c.video_decoder.implementation_id = RAVK_DEC_VP8;
        c.video_decoder.input = core_fourcc("VP80");
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

    RavkConsumer *acquire(uint64_t handle)
    {
        return static_cast<RavkConsumer *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_PIPELINES], handle));
    }
    void release(uint64_t handle) { core_handle_release(core_handle_tables[CORE_HANDLES_PIPELINES], handle); }

    bool play(RavkConsumer *c)
    {
        if (gst_element_set_state(c->pipeline->element, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return false;
        c->state = RAVK_STATE_PLAYING;
        const uint64_t deadline = core_clock_mono_ms() + 5000;
        RavkNode *source = c->video.source != nullptr ? c->video.source : c->audio.source;
        while (ravk_node_get_state(source) != 4 && core_clock_mono_ms() < deadline) core_poll_sleep();
        return ravk_node_get_state(source) == 4;
    }

    // The window's centre pixel as 0xRRGGBB.
    uint32_t window_centre()
    {
        char launch[256];
        std::snprintf(launch, sizeof(launch),
                      "ximagesrc xid=%lu show-pointer=false num-buffers=1 ! videoconvert ! video/x-raw,format=RGBx ! "
                      "appsink name=out",
                      static_cast<unsigned long>(window_));
        GstElement *p = gst_parse_launch(launch, nullptr);
        if (p == nullptr) return 0xFFFFFFFF;
        GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
        gst_element_set_state(p, GST_STATE_PLAYING);
        uint32_t rgb = 0xFFFFFFFF;
        if (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
            GstMapInfo map;
            GstBuffer *b = gst_sample_get_buffer(s);
            gst_buffer_map(b, &map, GST_MAP_READ);
            const uint8_t *px = map.data + (120 * 320 + 160) * 4;
            if (map.size >= 320 * 240 * 4) rgb = uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2];
            gst_buffer_unmap(b, &map);
            gst_sample_unref(s);
        }
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(out);
        gst_object_unref(p);
        return rgb;
    }

    static std::string why_;
    int running_ = 0;
    Display *display_ = nullptr;
    Window window_ = 0;
};
std::string ConsumerTest::why_;

constexpr uint32_t kVp8 = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;
constexpr uint32_t kOpus = RAVK_MEDIA_AUDIO | RAVK_AUDIO_OPUS << 8;

TEST_F(ConsumerTest, CreationChecksAndThresholds)
{
    struct Case {
        const char *purpose;
        uint32_t media;
        uint64_t result;  // 1: a handle
    };
    const Case cases[] = {
        {"no media", 0, UINT64_MAX},
        {"audio codec 7", RAVK_MEDIA_AUDIO | 7u << 8, UINT64_MAX},
        {"video codec 9", RAVK_MEDIA_VIDEO | 9u << 16, UINT64_MAX},
        {"container 8", kVp8 | RAVK_MEDIA_MUXED | 8u << 24, UINT64_MAX},
        {"container 7 passes the check, then fails", kVp8 | RAVK_MEDIA_MUXED | 7u << 24, 0},
    };
    for (const Case &c : cases) {
        RavkConsumerConfig cfg = config(c.media);
        EXPECT_EQ(ravk_consumer_create(&cfg), c.result) << c.purpose;
    }
    EXPECT_EQ(ravk_consumer_create(nullptr), UINT64_MAX);

    RavkConsumerConfig cfg = config(kOpus);
    uint64_t handle = ravk_consumer_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, UINT64_MAX);
    RavkConsumer *c = acquire(handle);
    EXPECT_EQ(c->audio.capacity, 53u);
    EXPECT_EQ(c->audio.resume_level, 38u);
    release(handle);
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    release(handle);
    EXPECT_EQ(ravk_consumer_stop(handle), -1);

    EXPECT_EQ(ravk_consumer_frames_in(66000000 + 1000000000ll, 30, 1), 31u);
    EXPECT_EQ(ravk_consumer_frames_in(66000000 + 700000000ll, 30, 1), 22u);
    EXPECT_EQ(ravk_consumer_frames_in(66000000 + 800000000ll, 30, 1), 25u);
    EXPECT_EQ(ravk_consumer_frames_in(1000000000ll, 0, 1), 60u);
}

TEST_F(ConsumerTest, Vp8PlaysInOurWindowWithForwardTimestamps)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_TRUE(open_window());
    // Green frames, one key frame every 10.
    Encoded e = encode("videotestsrc pattern=solid-color foreground-color=0xFF00FF00 num-buffers=60 ! "
                       "video/x-raw,width=320,height=240,framerate=30/1 ! vp8enc keyframe-max-dist=10 deadline=1 ! "
                       "appsink name=out sync=false",
                       60);
    ASSERT_EQ(e.data.size(), 60u);
    ASSERT_TRUE(e.headers[0].flags & RAVK_SAMPLE_KEY);
    ASSERT_FALSE(e.headers[1].flags & RAVK_SAMPLE_KEY);

    RavkConsumerConfig cfg = config(kVp8);
    uint64_t handle = ravk_consumer_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, UINT64_MAX);
    RavkConsumer *c = acquire(handle);
    EXPECT_EQ(ravk_consumer_push_live(c, 1, nullptr), -1);  // not PLAYING yet
    ASSERT_TRUE(play(c));
    Pts pts;
    GstPad *pad = gst_element_get_static_pad(c->video.source->element, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, record_pts, &pts, nullptr);
    gst_object_unref(pad);

    // No key frame yet: delta frames are dropped.
    for (size_t i = 1; i < 5; ++i) {
        RavkSample f = frame(e, i);
        EXPECT_EQ(ravk_consumer_push_live(c, 1, &f), 0);
    }
    EXPECT_EQ(c->video.source->pushed_count.load(), 0u);

    // Refused: a stream other than 0 and 1, NULL data with a size, a loop.
    RavkSample key = frame(e, 0);
    EXPECT_EQ(ravk_consumer_push_live(c, 2, &key), -1);
    RavkSample null_data = key;
    null_data.data = nullptr;
    EXPECT_EQ(ravk_consumer_push_live(c, 1, &null_data), -1);
    RavkSample loop = key;
    loop.next = &loop;
    EXPECT_EQ(ravk_consumer_push_live(c, 1, &loop), -1);
    EXPECT_EQ(c->video.source->pushed_count.load(), 0u);

    // A frame without a timestamp ends the chain: the one behind it stays.
    RavkSample chain[3] = {frame(e, 0), frame(e, 1), frame(e, 2)};
    chain[1].flags &= ~uint32_t(RAVK_SAMPLE_PTS);
    chain[0].next = &chain[1];
    chain[1].next = &chain[2];
    EXPECT_EQ(ravk_consumer_push_live(c, 1, chain), -1);
    EXPECT_EQ(c->video.source->pushed_count.load(), 1u);

    // The rest, paced; from frame 30 on the sender's clock restarts 10 s
    // back (its next key frame is frame 30).
    for (size_t i = 10; i < 60; ++i) {
        RavkSample f = frame(e, i, i >= 30 ? -10 * GST_SECOND : 0);
        EXPECT_GE(ravk_consumer_push_live(c, 1, &f), 0);
        g_usleep(33000);
    }
    const uint64_t deadline = core_clock_mono_ms() + 5000;
    uint32_t rgb = 0;
    while (core_clock_mono_ms() < deadline) {
        rgb = window_centre();
        if ((rgb >> 8 & 0xFF) > 200 && (rgb >> 16) < 60 && (rgb & 0xFF) < 60) break;
        g_usleep(100000);
    }
    EXPECT_GT(rgb >> 8 & 0xFF, 200u) << std::hex << rgb;
    EXPECT_LT(rgb >> 16, 60u) << std::hex << rgb;

    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    release(handle);
    release(handle);

    std::lock_guard<std::mutex> guard(pts.lock);
    ASSERT_GE(pts.values.size(), 30u);
    // The first frame is timed at the running time when it was pushed: here
    // it came as the playback started.
    EXPECT_GE(pts.values[0], 0);
    EXPECT_LT(pts.values[0], 2 * GST_SECOND);
    for (size_t i = 1; i < pts.values.size(); ++i) EXPECT_GT(pts.values[i], pts.values[i - 1]) << "buffer " << i;
}

// A viewer's window is seldom the picture's size: the picture is scaled up
// to fill a larger window, whose centre shows the source's colour, not the
// black the window started with. The read-back must not see the pointer,
// which Xvfb keeps at the screen's centre: a screen-sized window reads back
// black there however well it plays.
TEST_F(ConsumerTest, PictureShowsInAWindowLargerThanIt)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    RavkTestWindow *painted = ravk_test_paint_screen(getenv("DISPLAY"));
    ASSERT_NE(painted, nullptr);
    EXPECT_EQ(ravk_test_centre_pixel(std::string("display-name=") + getenv("DISPLAY")), 0xFF0000u)
        << "the read-back shows the screen, not the pointer on it";
    ravk_test_window_destroy(painted);

    struct Case {
        const char *purpose;
        uint32_t width, height;
    };
    const Case cases[] = {
        {"the picture's size", 320, 240},
        {"twice the picture's size", 640, 480},
        {"another aspect ratio", 640, 360},
        {"the whole screen, over the pointer resting at its centre", 1280, 720},
    };
    // Green frames, one key frame every 10.
    Encoded e = encode("videotestsrc pattern=solid-color foreground-color=0xFF00FF00 num-buffers=90 ! "
                       "video/x-raw,width=320,height=240,framerate=30/1 ! vp8enc keyframe-max-dist=10 deadline=1 ! "
                       "appsink name=out sync=false",
                       90);
    ASSERT_EQ(e.data.size(), 90u);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        ASSERT_TRUE(open_window(k.width, k.height));
        EXPECT_EQ(ravk_test_centre_pixel("xid=" + std::to_string(window_)), 0u) << "black before anything plays";
        RavkConsumerConfig cfg = config(kVp8);
        const uint64_t handle = ravk_consumer_create(&cfg);
        ASSERT_NE(handle, 0u);
        ASSERT_NE(handle, UINT64_MAX);
        RavkConsumer *c = acquire(handle);
        ASSERT_TRUE(play(c));
        // Scaling up to the whole screen may fall behind in a sanitised build:
        // a full source queue is no fault here, the picture shown is.
        for (size_t i = 0; i < e.data.size(); ++i) {
            RavkSample f = frame(e, i);
            EXPECT_GE(ravk_consumer_push_live(c, 1, &f), 0);
            g_usleep(33000);
        }
        // Read while the last frames are still due at the sink.
        const uint32_t rgb = ravk_test_centre_pixel("xid=" + std::to_string(window_));
        EXPECT_GT(rgb >> 8 & 0xFF, 200u) << std::hex << rgb;
        EXPECT_LT(rgb >> 16, 60u) << std::hex << rgb;
        EXPECT_LT(rgb & 0xFF, 60u) << std::hex << rgb;
        EXPECT_EQ(ravk_consumer_stop(handle), 0);
        release(handle);
        release(handle);
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
        display_ = nullptr;
        window_ = 0;
    }
}

TEST_F(ConsumerTest, OpusPlaysOnThePulseSink)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    Encoded e = encode("audiotestsrc wave=sine freq=440 volume=0.5 num-buffers=150 ! "
                       "audio/x-raw,rate=48000,channels=2 ! opusenc frame-size=20 ! appsink name=out sync=false",
                       150);
    ASSERT_GE(e.data.size(), 100u);

    // The level of the default sink's monitor, as heard while we play.
    GstElement *meter = gst_parse_launch(
        "pulsesrc device=@DEFAULT_MONITOR@ ! audioconvert ! level interval=100000000 post-messages=true ! fakesink",
        nullptr);
    ASSERT_NE(meter, nullptr);
    gst_element_set_state(meter, GST_STATE_PLAYING);

    RavkConsumerConfig cfg = config(kOpus);
    uint64_t handle = ravk_consumer_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, UINT64_MAX);
    RavkConsumer *c = acquire(handle);
    ASSERT_TRUE(play(c));
    for (size_t i = 0; i < e.data.size(); ++i) {
        RavkSample f = frame(e, i);
        f.flags |= RAVK_SAMPLE_KEY;  // every Opus frame decodes alone
        EXPECT_GE(ravk_consumer_push_live(c, 0, &f), 0);
        g_usleep(20000);
    }
    double loudest = -200;
    GstBus *bus = gst_element_get_bus(meter);
    while (GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
        const GstStructure *s = gst_message_get_structure(m);
        if (gst_structure_has_name(s, "level")) {
            const GValue *rms = gst_structure_get_value(s, "rms");
            GValueArray *values = static_cast<GValueArray *>(g_value_get_boxed(rms));
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            for (guint i = 0; i < values->n_values; ++i)
                loudest = std::max(loudest, g_value_get_double(g_value_array_get_nth(values, i)));
            G_GNUC_END_IGNORE_DEPRECATIONS
        }
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    gst_element_set_state(meter, GST_STATE_NULL);
    gst_object_unref(meter);
    EXPECT_GT(c->audio.source->pushed_count.load(), 100u);
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    release(handle);
    release(handle);
    EXPECT_GT(loudest, -30.0);
}

// The first frame came late (its encoder was starting) and the next ones
// right behind it: every later frame would wait that delay again at the
// sink. After a second of it the timestamps are brought forward, still
// increasing, until frames wait no more than the latency asks.
TEST_F(ConsumerTest, VideoCatchesUpWithASlowFirstFrame)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_TRUE(open_window());
    Encoded e = encode("videotestsrc num-buffers=90 ! video/x-raw,width=320,height=240,framerate=30/1 ! "
                       "vp8enc keyframe-max-dist=30 deadline=1 ! appsink name=out sync=false",
                       90);
    ASSERT_EQ(e.data.size(), 90u);
    RavkConsumerConfig cfg = config(kVp8);
    uint64_t handle = ravk_consumer_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, UINT64_MAX);
    RavkConsumer *c = acquire(handle);
    ASSERT_TRUE(play(c));
    Pts pts;
    GstPad *pad = gst_element_get_static_pad(c->video.source->element, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, record_pts, &pts, nullptr);
    gst_object_unref(pad);
    auto waits = [&] {
        return c->video.last_relative - int64_t(gst_element_get_current_running_time(c->pipeline->element));
    };
    int64_t early_wait = 0;
    for (size_t i = 0; i < e.data.size(); ++i) {
        RavkSample f = frame(e, i);
        EXPECT_EQ(ravk_consumer_push_live(c, 1, &f), 0);
        if (i == 10) early_wait = waits();
        if (i >= 6) g_usleep(33000);  // frames 0 to 6 come at once
    }
    const int64_t late_wait = waits();
    EXPECT_GT(early_wait, 150 * GST_MSECOND);
    EXPECT_LT(late_wait, 40 * GST_MSECOND);
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    release(handle);
    release(handle);
    std::lock_guard<std::mutex> guard(pts.lock);
    ASSERT_GE(pts.values.size(), 80u);
    for (size_t i = 1; i < pts.values.size(); ++i) EXPECT_GT(pts.values[i], pts.values[i - 1]) << "buffer " << i;
}

// Every pushed H.264 sample is one whole frame: the libav decoder gets each
// at once, so the last frame pushed is decoded without a frame behind it.
TEST_F(ConsumerTest, H264FramesDecodeWithoutWaitingForTheNext)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_TRUE(open_window());
    Encoded e = encode("videotestsrc num-buffers=10 ! video/x-raw,format=I420,width=320,height=240,framerate=30/1 ! "
                       "x264enc tune=zerolatency key-int-max=30 ! video/x-h264,stream-format=byte-stream,alignment=au ! "
                       "appsink name=out sync=false",
                       10);
    ASSERT_EQ(e.data.size(), 10u);
    RavkConsumerConfig cfg = config(RAVK_MEDIA_VIDEO | RAVK_VIDEO_H264 << 16);
    cfg.video_decoder.backend = RAVK_BACKEND_LIBAV;
    cfg.video_decoder.implementation_id = RAVK_DEC_AV_H264;
    cfg.video_decoder.input = core_fourcc("H264");
    uint64_t handle = ravk_consumer_create(&cfg);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, UINT64_MAX);
    RavkConsumer *c = acquire(handle);
    ASSERT_TRUE(play(c));
    std::atomic<int> decoded{0};
    GstPad *pad = gst_element_get_static_pad(c->video_decoder->element, "src");
    ASSERT_NE(pad, nullptr);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, count_buffer, &decoded, nullptr);
    gst_object_unref(pad);
    for (size_t i = 0; i < e.data.size(); ++i) {
        RavkSample f = frame(e, i);
        EXPECT_EQ(ravk_consumer_push_live(c, 1, &f), 0);
        g_usleep(33000);
    }
    const uint64_t deadline = core_clock_mono_ms() + 5000;
    while (decoded.load() < 10 && core_clock_mono_ms() < deadline) core_poll_sleep();
    EXPECT_EQ(decoded.load(), 10);
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    release(handle);
    release(handle);
}

}  // namespace
