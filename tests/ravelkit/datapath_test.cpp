// Node data path and control: flow rules and back-pressure on a real app
// source, exactly one release per pushed buffer, orientation tags and video
// meta ahead of the data, app-sink delivery of samples and formats, and the
// control operations on running elements.
#include "ravelkit/datapath.h"

#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "gst_support.h"
#include "ravelkit/codecs.h"

namespace
{

constexpr uint32_t V = RAVK_MEDIA_VIDEO;
constexpr const char *kRaw = "video/x-raw, format=(string)I420, width=(int)8, height=(int)4, framerate=(fraction)30/1";

class DatapathTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

struct Releases {
    std::atomic<int> count{0};
};

void count_release(RavkNode *, const RavkSample *, void **user)
{
    static_cast<Releases *>(user[0])->count.fetch_add(1);
}

RavkNode *new_pipeline()
{
    return ravk_node_new(nullptr, RAVK_NODE_PIPELINE, 0, V, 0, "pipeline", "p", nullptr, 0, nullptr, nullptr, nullptr,
                         1, 1);
}

// app source -> fake sink, live and PAUSED: a live source holds what is
// pushed until PLAYING, so its queue level is exactly what the test pushed.
struct HeldSource {
    RavkNode *pipeline = nullptr;
    RavkNode *source = nullptr;
    RavkNode *sink = nullptr;

    explicit HeldSource(uint32_t flow_flags)
    {
        pipeline = new_pipeline();
        source = ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, V, 1, "src", kRaw, 1, 1);
        sink = ravk_node_new(nullptr, RAVK_NODE_PARSER, 0, V, 1, "fakesink", "sink", nullptr, 0, nullptr, nullptr,
                             nullptr, 1, 1);
        if (!pipeline || !source || !sink) return;
        source->flow_flags = flow_flags;
        ravk_node_add_property(source, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("is-live", 1));
        ravk_node_add_property(source, RAVK_PROPS_ELEMENT, ravk_property_new_uint64("max-bytes", 0));
        ravk_pipeline_add_node(pipeline, source);
        ravk_pipeline_add_node(pipeline, sink);
        ravk_node_link(source, sink);
        gst_element_set_state(pipeline->element, GST_STATE_PAUSED);
    }
    ~HeldSource()
    {
        ravk_node_stop(pipeline);
        ravk_node_free(&source);
        ravk_node_free(&sink);
        ravk_node_free(&pipeline);
    }
    guint64 level() const { return gst_app_src_get_current_level_buffers(GST_APP_SRC(source->element)); }
};

TEST_F(DatapathTest, FlowRulesAndBackPressureOnARealAppSource)
{
    uint8_t frame[48] = {};
    struct Case {
        const char *purpose;
        uint32_t flow_flags;
        int64_t need_data;
        uint64_t max_buffers, max_bytes;
        int prefill;  // frames pushed before the one under test
        int expected;
        guint64 level_after;
        uint64_t pushed;  // by the push under test
    };
    const Case cases[] = {
        {"max-buffers 5 at level 5: full, nothing pushed", 0, 0, 5, 0, 5, 1, 5, 0},
        {"max-buffers 5 at level 4: pushed", 0, 0, 5, 0, 4, 0, 5, 1},
        {"max-buffers 0 ignores the buffer level", 0, 0, 0, 0, 5, 0, 6, 1},
        {"max-bytes reached", 0, 0, 0, 4 * sizeof(frame), 4, 1, 4, 0},
        {"need-data flow before the element asked", RAVK_FLOW_NEED_DATA, 0, 0, 0, 0, 0, 0, 0},
        {"need-data flow after the element asked", RAVK_FLOW_NEED_DATA, 1, 0, 0, 0, 0, 1, 1},
        {"one-in-flight with a buffer held", RAVK_FLOW_ONE_IN_FLIGHT, 0, 0, 0, 1, 0, 1, 0},
    };
    for (const Case &c : cases) {
        HeldSource held(c.flow_flags);
        ASSERT_NE(held.source, nullptr) << c.purpose;
        g_object_set(held.source->element, "max-buffers", static_cast<guint64>(c.max_buffers), "max-bytes",
                     static_cast<guint64>(c.max_bytes), nullptr);
        held.source->need_data.store(c.need_data);
        RavkSample sample = {};
        sample.data = frame;
        sample.size = sizeof(frame);
        for (int k = 0; k < c.prefill; ++k)
            ASSERT_EQ(ravk_node_push_frame(held.source, 1, &sample, RAVK_FOURCC_NONE, nullptr, nullptr, nullptr), 0)
                << c.purpose;
        const uint64_t pushed_before = held.source->pushed_count.load();
        EXPECT_EQ(ravk_node_push_frame(held.source, 1, &sample, RAVK_FOURCC_NONE, nullptr, nullptr, nullptr),
                  c.expected)
            << c.purpose;
        EXPECT_EQ(held.level(), c.level_after) << c.purpose;
        EXPECT_EQ(held.source->pushed_count.load() - pushed_before, c.pushed) << c.purpose;
    }
}

TEST_F(DatapathTest, MalformedPushesAreRefused)
{
    HeldSource held(0);
    ASSERT_NE(held.source, nullptr);
    uint8_t frame[16] = {};
    RavkSample empty = {};
    empty.data = frame;
    RavkSample small = {};
    small.data = frame;
    small.size = sizeof(frame);
    const CoreFrameSize larger = {8, 4};  // an I420 frame of 48 bytes
    EXPECT_EQ(ravk_node_push_frame(held.source, 0, &empty, RAVK_FOURCC_NONE, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(ravk_node_push_frame(held.source, 0, &small, RAVK_FOURCC_I420, &larger, nullptr, nullptr), -1);
    EXPECT_EQ(ravk_node_push_frame(held.sink, 0, &small, RAVK_FOURCC_NONE, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(held.level(), 0u);
}

// What the sink side saw, in order: "tag:rotate-90", "buffer:meta", ...
struct Observed {
    std::vector<std::string> events;
    std::vector<RavkSample> samples;
    std::vector<uint64_t> totals;
    uint32_t size[2] = {0, 0}, rate[2] = {0, 0}, fourcc = 0;
    std::atomic<int> delivered{0};
};

GstPadProbeReturn observe(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Observed *seen = static_cast<Observed *>(data);
    if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        GstVideoMeta *meta = gst_buffer_get_video_meta(GST_PAD_PROBE_INFO_BUFFER(info));
        seen->events.push_back(
            meta ? "buffer:meta " + std::to_string(meta->offset[1]) + "/" + std::to_string(meta->stride[1]) : "buffer");
    } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_TAG) {
        GstTagList *tags = nullptr;
        gst_event_parse_tag(GST_PAD_PROBE_INFO_EVENT(info), &tags);
        gchar *orientation = nullptr;
        if (gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &orientation))
            seen->events.push_back(std::string("tag:") + orientation);
        g_free(orientation);
    }
    return GST_PAD_PROBE_OK;
}

int32_t on_sample(RavkNode *, const RavkSample *sample, uint64_t total, void **user)
{
    Observed *seen = static_cast<Observed *>(user[0]);
    seen->samples.push_back(*sample);
    seen->totals.push_back(total);
    seen->delivered.fetch_add(1);
    return 0;
}

int32_t on_caps(RavkNode *, const uint32_t size[2], const uint32_t rate[2], uint32_t fourcc, void **user)
{
    Observed *seen = static_cast<Observed *>(user[0]);
    seen->size[0] = size[0], seen->size[1] = size[1];
    seen->rate[0] = rate[0], seen->rate[1] = rate[1];
    seen->fourcc = fourcc;
    return 0;
}

// app source -> app sink, playing: tags and video meta ahead of and on the
// data, samples and formats delivered, every pushed buffer released exactly
// once (the last by the teardown: an app sink keeps its preroll buffer).
TEST_F(DatapathTest, PushedFramesReachTheSinkAndAreReleasedOnce)
{
    RavkNode *pipeline = new_pipeline();
    RavkNode *source = ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, V, 1, "src", kRaw, 1, 1);
    RavkNode *sink = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 1, "sink", nullptr, 1, 1);
    ASSERT_TRUE(pipeline && source && sink);
    source->flow_flags = 0;
    sink->orientation = RAVK_ORIENT_180;
    Observed seen;
    void *user[2] = {&seen, nullptr};
    ASSERT_EQ(ravk_node_set_sample_callback(sink, on_sample, user), 0);
    ASSERT_EQ(ravk_node_set_caps_callback(sink, on_caps, user), 0);
    ASSERT_EQ(ravk_pipeline_add_node(pipeline, source), 0);
    ASSERT_EQ(ravk_pipeline_add_node(pipeline, sink), 0);
    ASSERT_EQ(ravk_node_link(source, sink), 0);
    GstPad *pad = gst_element_get_static_pad(sink->element, "sink");
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      observe, &seen, nullptr);
    gst_object_unref(pad);
    ASSERT_NE(gst_element_set_state(pipeline->element, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

    Releases releases;
    void *release_user[2] = {&releases, nullptr};
    // Not copied: each buffer wraps its own frame until released.
    uint8_t frames[3][48];
    const CoreFrameSize size = {8, 4};
    for (int k = 0; k < 3; ++k) {
        RavkSample sample = {};
        sample.data = frames[k];
        sample.size = sizeof(frames[k]);
        sample.flags = RAVK_SAMPLE_PTS | (k == 0 ? uint32_t{RAVK_SAMPLE_KEY} : 0u);
        sample.pts = k * 33333333;
        sample.orientation = k == 0 ? RAVK_ORIENT_90 : RAVK_ORIENT_NONE;
        ASSERT_EQ(ravk_node_push_frame(source, 0, &sample, RAVK_FOURCC_I420, &size, count_release, release_user), 0);
    }
    const int64_t deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (seen.delivered.load() < 3 && g_get_monotonic_time() < deadline) g_usleep(1000);
    EXPECT_EQ(source->pushed_count.load(), 3u);
    EXPECT_EQ(ravk_node_stop(pipeline), 0);
    ravk_node_free(&source);
    ravk_node_free(&sink);
    ravk_node_free(&pipeline);

    EXPECT_EQ(releases.count.load(), 3);
    EXPECT_EQ(seen.events,
              (std::vector<std::string>{"tag:rotate-90", "buffer:meta 32/4", "buffer:meta 32/4", "buffer:meta 32/4"}));
    ASSERT_EQ(seen.samples.size(), 3u);
    // The source marks its first buffer as a discontinuity.
    EXPECT_EQ(seen.samples[0].flags, RAVK_SAMPLE_KEY | RAVK_SAMPLE_PTS | RAVK_SAMPLE_DISCONT);
    EXPECT_EQ(seen.samples[1].flags, RAVK_SAMPLE_PTS);
    EXPECT_EQ(seen.samples[1].pts, 33333333);
    EXPECT_EQ(seen.samples[0].orientation, RAVK_ORIENT_180);
    EXPECT_EQ(seen.samples[0].dts, -1);
    EXPECT_EQ(seen.totals[0], sizeof(frames[0]) + sizeof(RavkSample));
    EXPECT_EQ(seen.size[0], 8u);
    EXPECT_EQ(seen.size[1], 4u);
    EXPECT_EQ(seen.rate[0], 30u);
    EXPECT_EQ(seen.fourcc, RAVK_FOURCC_I420);
}

// A downstream element may hold a buffer past its source node's end: the
// release still comes once, with no node.
TEST_F(DatapathTest, ReleaseAfterTheSourceNodeIsGone)
{
    RavkNode *pipeline = new_pipeline();
    RavkNode *source = ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, V, 1, "src", kRaw, 1, 1);
    RavkNode *sink = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 1, "sink", nullptr, 1, 1);
    ASSERT_TRUE(pipeline && source && sink);
    source->flow_flags = RAVK_FLOW_ONE_IN_FLIGHT;
    ASSERT_EQ(ravk_pipeline_add_node(pipeline, source), 0);
    ASSERT_EQ(ravk_pipeline_add_node(pipeline, sink), 0);
    ASSERT_EQ(ravk_node_link(source, sink), 0);
    ASSERT_NE(gst_element_set_state(pipeline->element, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    struct Seen {
        int calls = 0;
        RavkNode *node = reinterpret_cast<RavkNode *>(1);
    } seen;
    void *user[2] = {&seen, nullptr};
    auto record = [](RavkNode *node, const RavkSample *, void **u) {
        Seen *s = static_cast<Seen *>(u[0]);
        s->calls++;
        s->node = node;
    };
    uint8_t frame[48] = {};
    RavkSample sample = {};
    sample.data = frame;
    sample.size = sizeof(frame);
    ASSERT_EQ(ravk_node_push_frame(source, 1, &sample, RAVK_FOURCC_NONE, nullptr, record, user), 0);
    GstSample *held = gst_app_sink_pull_preroll(GST_APP_SINK(sink->element));  // the sink keeps it too
    ASSERT_NE(held, nullptr);
    ravk_node_stop(pipeline);
    ravk_node_free(&source);
    EXPECT_EQ(seen.calls, 0);
    gst_sample_unref(held);
    ravk_node_free(&sink);
    ravk_node_free(&pipeline);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.node, nullptr);
}

TEST_F(DatapathTest, CopiedFramesOutliveTheCallersMemory)
{
    HeldSource held(0);
    ASSERT_NE(held.source, nullptr);
    Releases releases;
    void *user[2] = {&releases, nullptr};
    std::vector<uint8_t> frame(48, 7);
    RavkSample sample = {};
    sample.data = frame.data();
    sample.size = frame.size();
    ASSERT_EQ(ravk_node_push_frame(held.source, 1, &sample, RAVK_FOURCC_NONE, nullptr, count_release, user), 0);
    frame.assign(frame.size(), 0);  // the caller reuses its memory at once
    EXPECT_EQ(releases.count.load(), 0);
    gst_element_set_state(held.pipeline->element, GST_STATE_NULL);  // flushes the queue
    EXPECT_EQ(releases.count.load(), 1);
}

TEST_F(DatapathTest, ColourBalanceMapsTheCallersScale)
{
    RavkNode *balance = ravk_node_new(nullptr, RAVK_NODE_FILTER, RAVK_FILTER_COLOR_BALANCE, V, 1, "videobalance",
                                      "balance", nullptr, 0, nullptr, nullptr, nullptr, 1, 1);
    ASSERT_NE(balance, nullptr);
    struct Case {
        const char *purpose;
        const char *channel;
        RavkColorBalanceValue value;
        int result;
        int64_t channel_value;  // read back; INT64_MIN: not checked
    };
    const int64_t unset = RAVK_COLOR_BALANCE_UNSET;
    const Case cases[] = {
        {"middle of 0..100 is the middle of -1000..1000", "BRIGHTNESS", {0, 0, 100, 50}, 0, 0},
        {"above the caller's maximum is held to the channel's", "BRIGHTNESS", {0, 0, 100, 150}, 0, 1000},
        {"a quarter", "CONTRAST", {0, 0, 100, 25}, 0, -500},
        {"an empty range", "BRIGHTNESS", {0, 50, 50, 50}, -1, unset},
        {"an inverted range", "BRIGHTNESS", {0, 100, 0, 50}, -1, unset},
        {"an unset value", "HUE", {0, 0, 100, unset}, -1, unset},
        {"no such channel", "GAMMA", {0, 0, 100, 50}, -1, unset},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ravk_node_set_color_balance(balance, c.channel, &c.value), c.result) << c.purpose;
        if (c.channel_value == unset) continue;
        RavkColorBalanceValue out;
        ASSERT_EQ(ravk_node_get_color_balance(balance, c.channel, &out), 0);
        EXPECT_EQ(out.value, c.channel_value) << c.purpose;
        EXPECT_EQ(out.minimum, -1000) << c.purpose;
        EXPECT_EQ(out.maximum, 1000) << c.purpose;
    }
    RavkColorBalanceValue out;
    EXPECT_EQ(ravk_node_get_color_balance(balance, "GAMMA", &out), 0);
    EXPECT_EQ(out.value, unset);
    ravk_node_free(&balance);
}

TEST_F(DatapathTest, ControlOfRunningNodes)
{
    RavkNode *pipeline = new_pipeline();
    const RavkFraction none = {0, 0}, fifteen = {15, 1};
    RavkNode *rate = ravk_node_new_live_rate(V, 1, &none, &fifteen);
    RavkNode *scale = ravk_node_new_scale(V, RAVK_BACKEND_GSTREAMER, nullptr, RAVK_FOURCC_NONE, 1);
    RavkNode *vp8 = ravk_node_new(nullptr, RAVK_NODE_ENCODER, RAVK_ENC_VP8, V | RAVK_VIDEO_VP8 << 16, 1, "vp8enc",
                                  "enc", nullptr, 0, nullptr, nullptr, nullptr, 1, 1);
    ASSERT_TRUE(pipeline && rate && scale && vp8);
    for (RavkNode *n : {rate, scale, vp8}) ASSERT_EQ(ravk_pipeline_add_node(pipeline, n), 0);

    EXPECT_EQ(ravk_node_set_max_framerate(scale, &fifteen), -1);
    const RavkFraction ten = {10, 1};
    EXPECT_EQ(ravk_node_set_max_framerate(rate, &ten), 0);
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GST_TYPE_FRACTION);
    g_object_get_property(G_OBJECT(rate->element), "max-framerate", &value);
    EXPECT_EQ(gst_value_get_fraction_numerator(&value), 10);
    EXPECT_EQ(ravk_node_set_max_framerate(rate, &none), 0);  // 0/0: off
    g_object_get_property(G_OBJECT(rate->element), "max-framerate", &value);
    EXPECT_EQ(gst_value_get_fraction_numerator(&value), 0);
    EXPECT_EQ(gst_value_get_fraction_denominator(&value), 1);
    g_value_unset(&value);

    EXPECT_EQ(ravk_node_set_bitrate(vp8, 2000000), 0);
    gint bitrate = 0;
    g_object_get(vp8->element, "target-bitrate", &bitrate, nullptr);
    EXPECT_EQ(bitrate, 2000000);
    EXPECT_EQ(ravk_node_set_bitrate(vp8, 0), -1);
    EXPECT_EQ(ravk_node_set_bitrate(scale, 1000), -1);

    const RavkRectangle empty = {0, 0, 0, 10}, whole = {0, 0, -1, -1};
    EXPECT_EQ(ravk_node_set_render_rectangle(scale, &empty), -1);
    EXPECT_EQ(ravk_node_set_render_rectangle(scale, &whole), -1);  // no overlay interface

    EXPECT_EQ(ravk_node_get_state(pipeline), 1);
    gst_element_set_state(pipeline->element, GST_STATE_READY);
    EXPECT_EQ(ravk_node_get_state(pipeline), 2);
    EXPECT_EQ(ravk_node_get_state(rate), 2);
    EXPECT_EQ(ravk_node_stop(pipeline), 0);
    EXPECT_EQ(ravk_node_get_state(pipeline), 1);
    EXPECT_EQ(ravk_node_get_state(nullptr), 0);
    for (RavkNode *node : {rate, scale, vp8}) ravk_node_free(&node);
    ravk_node_free(&pipeline);
}

}  // namespace
