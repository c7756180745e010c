// Playback through the display controller on a private X server and
// PulseAudio, and the picture controls of what plays: VP8 frame batches
// pushed through the controller play in our own X window (read back with
// ximagesrc by window id), Opus batches are heard on the PulseAudio sink's
// monitor, a combined slot plays through one shared pipeline, colour
// balance reads and writes on the playing picture (and shows: saturation 0
// turns it grey), the controls act on the video node's first consumer
// only, the sink takes what it can of aspect, scale, render rectangle and
// redraw, and a drain stops and frees every pipeline. Without a display
// node every control answers as it should, and short requests are refused.
#include "engine/picture.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "display_support.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "ravelkit/consumer.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

#include "ravelkit/desktop_env.h"
#include "ravelkit/gst_support.h"

// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>

using namespace display_test;

namespace {

constexpr uint32_t kMarker = 0x7777;

struct Encoded {
    std::vector<std::vector<uint8_t>> data;
    std::vector<RavkSample> headers;
};

// Encodes `count` frames with a launch description ending in "appsink
// name=out"; flags and timestamps as a capture pipeline gives them.
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
        RavkSample h{};
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

Encoded green_vp8(size_t count)
{
    return encode("videotestsrc pattern=solid-color foreground-color=0xFF00FF00 num-buffers=" + std::to_string(count) +
                      " ! video/x-raw,width=320,height=240,framerate=30/1 ! vp8enc keyframe-max-dist=10 deadline=1 ! "
                      "appsink name=out sync=false",
                  count);
}

bool eventually(const std::function<bool()> &ready, uint64_t ms = 8000)
{
    const uint64_t deadline = core_clock_mono_ms() + ms;
    while (!ready()) {
        if (core_clock_mono_ms() > deadline) return false;
        g_usleep(50000);
    }
    return true;
}

bool green(uint32_t rgb) { return (rgb >> 8 & 0xFF) > 200 && (rgb >> 16) < 60 && (rgb & 0xFF) < 60; }

// Grey: the three channels close together, and not the black of a window
// nothing draws into.
bool grey(uint32_t rgb)
{
    const int r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
    return std::abs(r - g) < 24 && std::abs(g - b) < 24 && g > 40 && g < 220;
}

EngineColorBalanceRequest balance(int64_t minimum, int64_t maximum, int64_t value)
{
    EngineColorBalanceRequest r{};
    r.value = {1, minimum, maximum, value};
    return r;
}

class PictureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(ravk_test_gst_setup());
        why_ = ravk_test_desktop_start();
    }
    static void TearDownTestSuite() { ravk_test_desktop_stop(); }

    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        ASSERT_EQ(ravk_init(0), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        EngineConfig config{};
        ASSERT_EQ(engine_capability_create(&config), CORE_OK);
        const CoreVideoMode mode = {320, 240, 30, 1};
        ASSERT_EQ(engine_capability_slot_store(engine_capability_current(), ENGINE_SLOT_VIDEO_RECEIVE, &mode,
                                               sizeof(mode)),
                  0);
        const EngineAudioFormat format = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
        ASSERT_EQ(engine_capability_slot_store(engine_capability_current(), ENGINE_SLOT_AUDIO_RECEIVE, &format,
                                               sizeof(format)),
                  0);
        events_ = std::make_unique<TopicLog>(ENGINE_EVENT_TOPIC);
    }

    void TearDown() override
    {
        engine_display_destroy(&display_);
        events_.reset();
        engine_capability_release();
        ravk_shutdown();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
        if (x_ != nullptr) {
            if (window_ != 0) XDestroyWindow(x_, window_);
            XCloseDisplay(x_);
        }
    }

    // Our own window on the private display, black until something draws.
    bool open_window()
    {
        x_ = XOpenDisplay(nullptr);
        if (x_ == nullptr) return false;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(x_, DefaultScreen(x_));
        window_ = XCreateWindow(x_, DefaultRootWindow(x_), 0, 0, 320, 240, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(x_, window_);
        XSync(x_, False);
        return true;
    }

    uint32_t centre() { return ravk_test_centre_pixel("xid=" + std::to_string(window_)); }

    // A display that plays into our window; its sink slots leave the
    // decoders to the codec record names.
    EngineDisplay *make()
    {
        EngineDisplayConfig c{};
        c.receiveRoles = ENGINE_ROLE_REQUESTER;
        c.audioSink = {-1, RAVK_CLASS_VIRTUAL, name_of(DEFAULT_DEVICE_ID)};
        c.videoSink = {-1, RAVK_CLASS_VIRTUAL, name_of(DEFAULT_DEVICE_ID)};
        c.executor = name_of(CORE_DEFAULT_EXECUTOR);
        c.pool = name_of(CORE_DEFAULT_POOL);
        display_ = engine_display_create(&c);
        if (display_ != nullptr && window_ != 0) {
            EnginePlaybackParams params{};
            params.window = window_;
            engine_display_set_playback_params(display_, &params, sizeof(params));
        }
        return display_;
    }

    CoreResult push(const char *stream, uint32_t media, Encoded &e, size_t i)
    {
        EngineFrameBatch batch{};
        batch.media = media;
        batch.channel = name_of("p2p.bnd.00000000.chnl");
        batch.session = name_of("session");
        batch.stream = name_of(stream);
        RavkSample frame = e.headers[i];
        frame.data = e.data[i].data();
        frame.size = e.data[i].size();
        if (media == ENGINE_FRAME_MEDIA_AUDIO) frame.flags |= RAVK_SAMPLE_KEY;  // every Opus frame decodes alone
        return engine_display_push_frames(display_, &batch, sizeof(batch), &frame, frame.size);
    }

    // Pushes frames [from, to) at the stream's pace; how many went in.
    size_t play(const char *stream, Encoded &e, size_t from, size_t to)
    {
        size_t ok = 0;
        for (size_t i = from; i < to; ++i) {
            ok += push(stream, ENGINE_FRAME_MEDIA_VIDEO, e, i) == CORE_OK;
            g_usleep(33000);
        }
        return ok;
    }

    uint64_t object_of(const char *slot, const char *stream)
    {
        ConsumerAccess access(display_, slot, stream);
        return access.consumer != nullptr ? access.consumer->object.load() : 0;
    }

    RavkConsumer *acquire(uint64_t handle)
    {
        return static_cast<RavkConsumer *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_PIPELINES], handle));
    }
    void release(uint64_t handle) { core_handle_release(core_handle_tables[CORE_HANDLES_PIPELINES], handle); }

    static std::string why_;
    Display *x_ = nullptr;
    Window window_ = 0;
    EngineDisplay *display_ = nullptr;
    std::unique_ptr<TopicLog> events_;
};

std::string PictureTest::why_;

TEST_F(PictureTest, ControlsWithoutAPlayingPictureAnswerWithoutActing)
{
    ASSERT_NE(make(), nullptr);
    EngineColorBalanceRequest answer = balance(1, 2, 3);
    const EngineColorBalanceRequest request = balance(0, 100, 50);
    const EngineScaleRequest scale = {1.0, 1.0};
    const EngineAspectRequest aspect = {0, 1};
    const RavkRectangle rectangle = {0, 0, 160, 120};

    // No node yet: nothing is being played.
    EXPECT_EQ(engine_display_get_brightness(display_, &answer, sizeof(answer)), CORE_ERR);
    EXPECT_EQ(answer.value.flags, RAVK_COLOR_BALANCE_UNSET) << "the answer says nothing";
    EXPECT_EQ(answer.value.value, RAVK_COLOR_BALANCE_UNSET);
    EXPECT_EQ(answer.reserved, 0u) << "the first word is not written";
    EXPECT_EQ(engine_display_set_hue(display_, &request, sizeof(request)), CORE_ERR);
    EXPECT_EQ(engine_display_set_scale(display_, &scale, sizeof(scale)), CORE_ERR);
    EXPECT_EQ(engine_display_set_aspect(display_, &aspect, sizeof(aspect)), CORE_DONE);
    EXPECT_EQ(engine_display_set_window(display_, &rectangle, sizeof(rectangle)), CORE_DONE);
    EXPECT_EQ(engine_display_expose(display_), CORE_DONE);

    // A consumer whose pipeline could not be made: skipped or refused.
    const CoreName slot = name_of(ENGINE_PROFILE_SLOT_VIDEO), stream = name_of("stream.40000000"),
                   channel = name_of("p2p.bnd.00000000.chnl");
    ASSERT_EQ(engine_display_add_node(display_, &slot, 0, nullptr), CORE_OK);
    ASSERT_EQ(engine_display_add_consumer(display_, &channel, &slot, kVp8Flags, &stream, nullptr), CORE_OK);
    EXPECT_EQ(engine_display_get_saturation(display_, &answer, sizeof(answer)), CORE_ERR);
    EXPECT_EQ(engine_display_set_contrast(display_, &request, sizeof(request)), CORE_ERR);
    EXPECT_EQ(engine_display_set_scale(display_, &scale, sizeof(scale)), CORE_ERR);
    EXPECT_EQ(engine_display_set_aspect(display_, &aspect, sizeof(aspect)), CORE_ERR);
    EXPECT_EQ(engine_display_set_window(display_, &rectangle, sizeof(rectangle)), CORE_DONE);
    EXPECT_EQ(engine_display_expose(display_), CORE_DONE);

    // Requests come from outside: a short one is refused before anything.
    EXPECT_EQ(engine_display_get_hue(display_, &answer, sizeof(answer) - 1), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_brightness(display_, &request, 16), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_scale(display_, &scale, 8), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_aspect(display_, &aspect, 4), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_window(display_, &rectangle, 12), CORE_ERR_INVALID);
    EXPECT_EQ(engine_display_set_window(display_, nullptr, sizeof(rectangle)), CORE_ERR_INVALID);
}

TEST_F(PictureTest, Vp8BatchesPlayInOurWindowWithItsPictureControls)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_TRUE(open_window());
    Encoded e = green_vp8(150);
    ASSERT_EQ(e.data.size(), 150u);
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000000")});
    ASSERT_NE(make(), nullptr);
    ASSERT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    const uint64_t handle = object_of(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(engine_display_start_decoder(display_, nullptr), CORE_OK);
    RavkConsumer *c = acquire(handle);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->state, RAVK_STATE_PAUSED);
    EXPECT_EQ(c->config.window, uint64_t(window_));
    EXPECT_EQ(c->config.width, 320u) << "the negotiated receive mode";
    EXPECT_EQ(c->config.video_decoder.input, core_fourcc("VP8X")) << "the list's first VP8 decoder";

    EXPECT_EQ(centre(), 0u) << "black before anything plays";
    EXPECT_GE(play("stream.40000000", e, 0, 60), 55u);
    EXPECT_EQ(c->state, RAVK_STATE_PLAYING);
    // The binding's second decoder start (its streams ready) leaves a
    // playing pipeline playing.
    EXPECT_EQ(engine_display_start_decoder(display_, nullptr), CORE_OK);
    EXPECT_EQ(c->state, RAVK_STATE_PLAYING);
    uint32_t rgb = 0;
    EXPECT_TRUE(eventually([&] { return green(rgb = centre()); })) << std::hex << rgb;

    // One started event, saying what this pipeline offers: the colour
    // balance; ximagesink neither scales nor keeps an aspect ratio.
    const std::vector<Posted> started = events_->wait_for(ENGINE_EVT_STREAM_STARTED, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].as<EngineStreamInfo>().features, uint32_t(ENGINE_FEATURE_COLOR_BALANCE));
    EXPECT_EQ(started[0].as<EngineStreamInfo>().direction, ENGINE_STREAM_PLAYBACK);

    struct Reading {
        const char *channel;
        CoreResult (*get)(EngineDisplay *, void *, uint64_t);
        RavkColorBalanceValue expected;
    };
    const Reading neutral[] = {
        {"brightness", engine_display_get_brightness, {1, 0, 100, 50}},
        {"contrast", engine_display_get_contrast, {1, 0, 100, 50}},
        {"saturation", engine_display_get_saturation, {1, 0, 100, 50}},
        {"hue", engine_display_get_hue, {1, -50, 50, 0}},
    };
    for (const Reading &k : neutral) {
        SCOPED_TRACE(k.channel);
        EngineColorBalanceRequest answer{};
        answer.reserved = 0xABCD;
        ASSERT_EQ(k.get(display_, &answer, sizeof(answer)), CORE_OK);
        EXPECT_EQ(answer.reserved, 0xABCDu);
        EXPECT_EQ(answer.value.flags, k.expected.flags);
        EXPECT_EQ(answer.value.minimum, k.expected.minimum);
        EXPECT_EQ(answer.value.maximum, k.expected.maximum);
        EXPECT_EQ(answer.value.value, k.expected.value);
    }

    // Saturation 0 of 0..100 takes the colour out of the picture.
    const EngineColorBalanceRequest no_colour = balance(0, 100, 0);
    ASSERT_EQ(engine_display_set_saturation(display_, &no_colour, sizeof(no_colour)), CORE_OK);
    EXPECT_GE(play("stream.40000000", e, 60, 90), 25u);
    EXPECT_TRUE(eventually([&] { return grey(rgb = centre()); })) << std::hex << rgb;
    EngineColorBalanceRequest answer{};
    ASSERT_EQ(engine_display_get_saturation(display_, &answer, sizeof(answer)), CORE_OK);
    EXPECT_EQ(answer.value.value, 0);
    // Beyond the caller's maximum: the channel's maximum.
    const EngineColorBalanceRequest beyond = balance(0, 100, 150);
    ASSERT_EQ(engine_display_set_brightness(display_, &beyond, sizeof(beyond)), CORE_OK);
    ASSERT_EQ(engine_display_get_brightness(display_, &answer, sizeof(answer)), CORE_OK);
    EXPECT_EQ(answer.value.value, 100);
    RavkColorBalanceValue raw;
    ASSERT_EQ(ravk_node_get_color_balance(c->color_balance, "BRIGHTNESS", &raw), 0);
    EXPECT_EQ(raw.value, raw.maximum);

    // What ximagesink takes: the window is the application's, so it
    // redraws on request; it has no render rectangle, no scale and is not
    // asked to keep the aspect ratio.
    const EngineScaleRequest scale = {0.5, 0.5};
    const EngineAspectRequest aspect = {0, 1};
    const RavkRectangle rectangle = {0, 0, 160, 120};
    EXPECT_EQ(engine_display_expose(display_), CORE_OK);
    EXPECT_EQ(engine_display_set_window(display_, &rectangle, sizeof(rectangle)), CORE_DONE);
    EXPECT_EQ(engine_display_set_scale(display_, &scale, sizeof(scale)), CORE_ERR);
    EXPECT_EQ(engine_display_set_aspect(display_, &aspect, sizeof(aspect)), CORE_ERR);

    // A pipeline stopped under its consumer (as going offline does) gets
    // one end of stream on the pushed branch, and only one.
    EXPECT_EQ(ravk_consumer_stop(handle), 0);
    EXPECT_EQ(push("stream.40000000", ENGINE_FRAME_MEDIA_VIDEO, e, 90), CORE_ERR);
    EXPECT_EQ(push("stream.40000000", ENGINE_FRAME_MEDIA_VIDEO, e, 91), CORE_ERR);
    {
        ConsumerAccess access(display_, ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
        ASSERT_NE(access.consumer, nullptr);
        EXPECT_EQ(access.consumer->endSent, 2u);
    }
    release(handle);

    // The stream closes: its consumer stops, posts its stop and goes with
    // its pipeline.
    engine_display_drain(display_, nullptr);
    EXPECT_TRUE(consumers_of(display_).empty());
    EXPECT_EQ(events_->wait_for(ENGINE_EVT_STREAM_STOPPED, 1).size(), 1u);
    EXPECT_EQ(engine_display_get_brightness(display_, &answer, sizeof(answer)), CORE_ERR);
    EXPECT_TRUE(eventually([&] {
        RavkConsumer *gone = acquire(handle);
        if (gone != nullptr) release(handle);
        return gone == nullptr;
    })) << "the pipeline is freed";
}

TEST_F(PictureTest, OpusBatchesAreHeardOnThePulseSink)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    Encoded e = encode("audiotestsrc wave=sine freq=440 volume=0.5 num-buffers=150 ! "
                       "audio/x-raw,rate=48000,channels=2 ! opusenc frame-size=20 ! appsink name=out sync=false",
                       150);
    ASSERT_GE(e.data.size(), 100u);
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_AUDIO, kOpus, "stream.00000000")});
    ASSERT_NE(make(), nullptr);
    ASSERT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    ASSERT_EQ(engine_display_start_decoder(display_, nullptr), CORE_OK);

    // The level of the default sink's monitor while we play.
    GstElement *meter = gst_parse_launch(
        "pulsesrc device=@DEFAULT_MONITOR@ ! audioconvert ! level interval=100000000 post-messages=true ! fakesink",
        nullptr);
    ASSERT_NE(meter, nullptr);
    gst_element_set_state(meter, GST_STATE_PLAYING);
    size_t pushed = 0;
    for (size_t i = 0; i < e.data.size(); ++i) {
        pushed += push("stream.00000000", ENGINE_FRAME_MEDIA_AUDIO, e, i) == CORE_OK;
        g_usleep(20000);
    }
    double loudest = -200;
    GstBus *bus = gst_element_get_bus(meter);
    while (GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
        const GstStructure *s = gst_message_get_structure(m);
        if (gst_structure_has_name(s, "level")) {
            const GValue *rms = gst_structure_get_value(s, "rms");
            auto *values = static_cast<GValueArray *>(g_value_get_boxed(rms));
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
    EXPECT_GT(pushed, 100u);
    EXPECT_GT(loudest, -30.0);

    const std::vector<Posted> started = events_->wait_for(ENGINE_EVT_STREAM_STARTED, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].as<EngineStreamInfo>().features, 0u) << "audio has no picture";
    engine_display_drain(display_, nullptr);
    EXPECT_EQ(events_->wait_for(ENGINE_EVT_STREAM_STOPPED, 1).size(), 1u);
}

// Two streams of the combined slot play through one pipeline that holds
// both branches; the decoder start finds it paused the second time.
TEST_F(PictureTest, CombinedSlotPlaysThroughOneSharedPipeline)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_TRUE(open_window());
    Encoded e = green_vp8(90);
    ASSERT_EQ(e.data.size(), 90u);
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_COMBINED, kOpus, "stream.00000000"),
                    plain_record(ENGINE_PROFILE_SLOT_COMBINED, kVp8, "stream.40000000")});
    ASSERT_NE(make(), nullptr);
    ASSERT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    const uint64_t audio = object_of(ENGINE_PROFILE_SLOT_COMBINED, "stream.00000000");
    const uint64_t video = object_of(ENGINE_PROFILE_SLOT_COMBINED, "stream.40000000");
    ASSERT_NE(video, 0u);
    EXPECT_EQ(audio, video);
    // A second setup of the binding keeps the pipeline it has.
    ASSERT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    EXPECT_EQ(object_of(ENGINE_PROFILE_SLOT_COMBINED, "stream.40000000"), video);
    ASSERT_EQ(engine_display_start_decoder(display_, nullptr), CORE_OK);
    RavkConsumer *c = acquire(video);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->config.media, kOpusFlags | kVp8Flags);
    EXPECT_NE(c->audio.source, nullptr);
    release(video);

    EXPECT_GE(play("stream.40000000", e, 0, 90), 80u);
    uint32_t rgb = 0;
    EXPECT_TRUE(eventually([&] { return green(rgb = centre()); })) << std::hex << rgb;
    engine_display_drain(display_, nullptr);
    EXPECT_TRUE(consumers_of(display_).empty());
}

// With two video streams in the video node the colour controls act on the
// first one only.
TEST_F(PictureTest, ColourControlsActOnTheFirstVideoConsumer)
{
    if (!why_.empty()) GTEST_SKIP() << why_;
    publish_answer({plain_record(ENGINE_PROFILE_SLOT_VIDEO, kVp8, "stream.40000000")});
    ASSERT_NE(make(), nullptr);
    ASSERT_EQ(engine_consumer_setup(display_, nullptr), CORE_OK);
    const uint64_t first = object_of(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
    ASSERT_NE(first, 0u);
    // A second stream in the same node, with its own pipeline; making the
    // pipelines again leaves the first one as it is.
    CoreName codec{};
    {
        ConsumerAccess access(display_, ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000");
        ASSERT_NE(access.consumer, nullptr);
        codec = access.consumer->codecName;
    }
    const CoreName slot = name_of(ENGINE_PROFILE_SLOT_VIDEO), stream = name_of("stream.40000001"),
                   channel = name_of("p2p.bnd.00000000.chnl");
    ASSERT_EQ(engine_display_add_consumer(display_, &channel, &slot, kVp8Flags, &stream, &codec), CORE_OK);
    ASSERT_EQ(engine_display_create_consumers(display_, nullptr), CORE_OK);
    EXPECT_EQ(object_of(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000000"), first);
    const uint64_t second = object_of(ENGINE_PROFILE_SLOT_VIDEO, "stream.40000001");
    ASSERT_NE(second, 0u);
    ASSERT_NE(first, second);
    ASSERT_EQ(engine_display_start_decoder(display_, nullptr), CORE_OK);

    const EngineColorBalanceRequest zero = balance(0, 100, 0);
    ASSERT_EQ(engine_display_set_saturation(display_, &zero, sizeof(zero)), CORE_OK);
    EXPECT_EQ(engine_display_expose(display_), CORE_OK) << "both overlay sinks redraw";
    RavkColorBalanceValue a, b;
    RavkConsumer *one = acquire(first), *two = acquire(second);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    ASSERT_EQ(ravk_node_get_color_balance(one->color_balance, "SATURATION", &a), 0);
    ASSERT_EQ(ravk_node_get_color_balance(two->color_balance, "SATURATION", &b), 0);
    EXPECT_EQ(a.value, a.minimum);
    EXPECT_GT(b.value, b.minimum) << "the second consumer keeps its colour";
    release(first);
    release(second);

    // Stopping resets the controls to the middle of their scales.
    EXPECT_EQ(ravk_consumer_stop(first), 0);
    EngineColorBalanceRequest answer{};
    ASSERT_EQ(engine_display_get_saturation(display_, &answer, sizeof(answer)), CORE_OK);
    EXPECT_EQ(answer.value.value, 50);
}

}  // namespace
