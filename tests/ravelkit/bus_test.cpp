// Bus threads and pipeline events: the message-to-event table, real
// delivery through the default main context, posts only while an engine
// node runs, and 200 start/stop cycles (some stopped at once) that leave no
// thread behind.
#include "ravelkit/bus.h"

#include <dirent.h>
#include <gst/gst.h>
#include <gst/video/videooverlay.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/notify.h"
#include "core/system.h"
#include "engine/node.h"
#include "gst_support.h"
#include "thread_count.h"

namespace
{

struct Seen {
    int calls = 0;
    int32_t code = -1;
    std::string text;
    std::string source;
    uint32_t u32 = 0xFFFFFFFF;
    int32_t i32 = -1;
    RavkBusStateChange states = {};
    RavkQosInfo qos = {};
    bool has_payload = false;
};

int record_message(RavkBusThread *, const RavkBusMessage *message, void **user)
{
    Seen *seen = static_cast<Seen *>(user[0]);
    seen->calls++;
    seen->code = message->code;
    seen->text = message->text ? message->text : "<none>";
    seen->source = message->source_name;
    seen->has_payload = message->payload != nullptr;
    switch (message->code) {
    case RAVK_BUS_TAG:
    case RAVK_BUS_NEED_CONTEXT: seen->u32 = *static_cast<const uint32_t *>(message->payload); break;
    case RAVK_BUS_BUFFERING: seen->i32 = *static_cast<const int32_t *>(message->payload); break;
    case RAVK_BUS_STATE_CHANGED: seen->states = *static_cast<const RavkBusStateChange *>(message->payload); break;
    case RAVK_BUS_QOS: seen->qos = *static_cast<const RavkQosInfo *>(message->payload); break;
    default: break;
    }
    return 0;
}

class BusTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

GstMessage *tag_message(GstObject *source, const char *orientation)
{
    GstTagList *tags = orientation ? gst_tag_list_new(GST_TAG_IMAGE_ORIENTATION, orientation, nullptr)
                                   : gst_tag_list_new(GST_TAG_TITLE, "t", nullptr);
    return gst_message_new_tag(source, tags);
}

TEST_F(BusTest, MessagesTranslateToBusEvents)
{
    GstElement *source = gst_element_factory_make("fakesrc", "src");
    ASSERT_NE(source, nullptr);
    GstObject *src = GST_OBJECT(source);
    GstBus *bus = gst_bus_new();
    Seen seen;
    RavkBusThread *record = new RavkBusThread();
    record->bus = bus;
    record->callback = record_message;
    record->user[0] = &seen;

    GError *boom = g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "boom");
    GstMessage *qos = gst_message_new_qos(src, TRUE, 1, 2, 3, 4);
    gst_message_set_qos_values(qos, -5000, 0.5, 7);
    gst_message_set_qos_stats(qos, GST_FORMAT_BUFFERS, 10, 2);
    GstClock *clock = gst_system_clock_obtain();

    struct Case {
        const char *purpose;
        GstMessage *message;
        int calls;  // 0: not handed on
        int32_t code;
        const char *text;  // nullptr: not checked
        std::function<void(const Seen &)> check;
    };
    const Case cases[] = {
        {"error with debug text", gst_message_new_error(src, boom, "dbg"), 1, RAVK_BUS_ERROR,
         "failed received from element 'src': boom, debugging information: dbg", nullptr},
        {"error without debug text", gst_message_new_error(src, boom, nullptr), 1, RAVK_BUS_ERROR,
         "failed received from element 'src': boom, debugging information: none", nullptr},
        {"warning", gst_message_new_warning(src, boom, "w"), 1, RAVK_BUS_WARNING,
         "warning received from element 'src': boom, debugging information: w", nullptr},
        {"end of stream", gst_message_new_eos(src), 1, RAVK_BUS_EOS, "message 'eos' from 'src'", nullptr},
        {"quality of service", qos, 1, RAVK_BUS_QOS, "<none>",
         [](const Seen &s) {
             EXPECT_EQ(s.qos.live, 1u);
             EXPECT_EQ(s.qos.running_time, 1);
             EXPECT_EQ(s.qos.duration, 4);
             EXPECT_EQ(s.qos.jitter, -5000);
             EXPECT_EQ(s.qos.quality, 7);
             EXPECT_EQ(s.qos.format, static_cast<uint32_t>(GST_FORMAT_BUFFERS));
             EXPECT_EQ(s.qos.processed, 10u);
             EXPECT_EQ(s.qos.dropped, 2u);
         }},
        {"state change", gst_message_new_state_changed(src, GST_STATE_READY, GST_STATE_PAUSED, GST_STATE_VOID_PENDING),
         1, RAVK_BUS_STATE_CHANGED, "state changed element 'src' from 'READY' to 'PAUSED'",
         [](const Seen &s) {
             EXPECT_EQ(s.states.old_state, 2u);
             EXPECT_EQ(s.states.new_state, 3u);
         }},
        {"orientation tag", tag_message(src, "rotate-90"), 1, RAVK_BUS_TAG, "TAG rotation 'rotate-90'",
         [](const Seen &s) { EXPECT_EQ(s.u32, RAVK_ORIENT_90); }},
        {"mirrored orientation is no orientation", tag_message(src, "flip-rotate-90"), 1, RAVK_BUS_TAG, nullptr,
         [](const Seen &s) { EXPECT_EQ(s.u32, RAVK_ORIENT_NONE); }},
        {"tag without orientation", tag_message(src, nullptr), 1, RAVK_BUS_OTHER, "message 'tag' from 'src'", nullptr},
        {"buffering", gst_message_new_buffering(src, 42), 1, RAVK_BUS_BUFFERING, nullptr,
         [](const Seen &s) { EXPECT_EQ(s.i32, 42); }},
        {"clock lost", gst_message_new_clock_lost(src, clock), 1, RAVK_BUS_CLOCK_LOST, nullptr, nullptr},
        {"latency", gst_message_new_latency(src), 1, RAVK_BUS_LATENCY, nullptr, nullptr},
        {"need context", gst_message_new_need_context(src, "gst.gl.GLDisplay"), 1, RAVK_BUS_NEED_CONTEXT, nullptr,
         [](const Seen &s) { EXPECT_EQ(s.u32, 0u); }},
        {"window handle request", gst_message_new_element(src, gst_structure_new_empty("prepare-window-handle")), 1,
         RAVK_BUS_WINDOW_HANDLE, nullptr, nullptr},
        {"reset time is other", gst_message_new_reset_time(src, 5), 1, RAVK_BUS_OTHER, nullptr, nullptr},
        {"another element message", gst_message_new_element(src, gst_structure_new_empty("level")), 0, 0, nullptr,
         nullptr},
        {"stream status", gst_message_new_stream_status(src, GST_STREAM_STATUS_TYPE_CREATE, source), 0, 0, nullptr,
         nullptr},
    };
    for (const Case &c : cases) {
        seen = Seen();
        EXPECT_TRUE(ravk_bus_message_handler(bus, c.message, record)) << c.purpose;
        EXPECT_EQ(seen.calls, c.calls) << c.purpose;
        if (c.calls > 0) {
            EXPECT_EQ(seen.code, c.code) << c.purpose;
            EXPECT_EQ(seen.source, "src") << c.purpose;
            if (c.text != nullptr) {
                EXPECT_EQ(seen.text, c.text) << c.purpose;
            }
            if (c.check) c.check(seen);
        }
        gst_message_unref(c.message);
    }
    g_error_free(boom);

    gst_object_unref(clock);

    GstMessage *eos = gst_message_new_eos(src);
    record->callback = nullptr;
    EXPECT_FALSE(ravk_bus_message_handler(bus, eos, record));
    record->callback = record_message;
    record->bus = nullptr;
    EXPECT_FALSE(ravk_bus_message_handler(bus, eos, record));
    gst_message_unref(eos);
    delete record;
    gst_object_unref(bus);
    gst_object_unref(source);
}

RavkNode *pipeline_of(const char *launch)
{
    RavkNode *node = ravk_node_new(nullptr, RAVK_NODE_PIPELINE, 0, RAVK_MEDIA_VIDEO, 0, "pipeline", "p", nullptr, 0,
                                   nullptr, nullptr, nullptr, 1, 1);
    if (node == nullptr || launch == nullptr) return node;
    GstElement *content = gst_parse_bin_from_description(launch, FALSE, nullptr);
    if (content == nullptr || !gst_bin_add(GST_BIN(node->element), content)) ravk_node_free(&node);
    return node;
}

struct Delivery {
    std::atomic<int> eos{0};
};

int count_eos(RavkBusThread *, const RavkBusMessage *message, void **user)
{
    if (message->code == RAVK_BUS_EOS) static_cast<Delivery *>(user[0])->eos.fetch_add(1);
    return 0;
}

TEST_F(BusTest, BusThreadDeliversTheEndOfStream)
{
    RavkNode *pipeline = pipeline_of("fakesrc num-buffers=3 ! fakesink");
    ASSERT_NE(pipeline, nullptr);
    Delivery delivery;
    void *user[2] = {&delivery, nullptr};
    RavkBusThread *thread = ravk_bus_thread_start(pipeline, count_eos, user);
    ASSERT_NE(thread, nullptr);
    gst_element_set_state(pipeline->element, GST_STATE_PLAYING);
    const uint64_t deadline = core_clock_mono_ms() + 10000;
    while (delivery.eos.load() == 0 && core_clock_mono_ms() < deadline) core_poll_sleep();
    EXPECT_EQ(delivery.eos.load(), 1);
    gst_element_set_state(pipeline->element, GST_STATE_NULL);
    ravk_bus_thread_stop(&thread);
    EXPECT_EQ(thread, nullptr);
    ravk_node_free(&pipeline);
}

// Every tenth cycle plays a short pipeline; the others stop the thread
// right after its start, before it may even have made its loop.
TEST_F(BusTest, TwoHundredCyclesLeaveNoThreadBehind)
{
    Delivery delivery;
    void *user[2] = {&delivery, nullptr};
    size_t threads_before = 0;
    const uint64_t abandoned_before = core_thread_abandoned_count();
    // Cycle -1 plays once before counting: GStreamer keeps the threads its
    // first pipeline starts (the system clock's) for the whole process.
    for (int cycle = -1; cycle < 200; ++cycle) {
        if (cycle == 0) threads_before = thread_count();
        const bool play = cycle % 10 == 0 || cycle < 0;
        RavkNode *pipeline = pipeline_of(play ? "fakesrc num-buffers=2 ! fakesink" : nullptr);
        ASSERT_NE(pipeline, nullptr);
        RavkBusThread *thread = ravk_bus_thread_start(pipeline, count_eos, user);
        ASSERT_NE(thread, nullptr);
        if (play) {
            gst_element_set_state(pipeline->element, GST_STATE_PLAYING);
            gst_element_get_state(pipeline->element, nullptr, nullptr, 2 * GST_SECOND);
            gst_element_set_state(pipeline->element, GST_STATE_NULL);
        }
        ravk_bus_thread_stop(&thread);
        ravk_node_free(&pipeline);
    }
    EXPECT_EQ(core_thread_abandoned_count(), abandoned_before);
    // GStreamer's streaming threads of the played pipelines end when their
    // tasks are joined; give the pool a moment to retire its idle threads.
    const uint64_t deadline = core_clock_mono_ms() + 5000;
    while (thread_count() > threads_before && core_clock_mono_ms() < deadline) core_poll_sleep();
    EXPECT_LE(thread_count(), threads_before);
}

class PipelineEvents : public BusTest
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
    }
    void TearDown() override
    {
        engine_node_set_running(nullptr);
        core_system_stop();
    }
};

CoreResult count_event(uint32_t code, const void *in, uint64_t in_len, void *, uint64_t *, void **user)
{
    if (code != RAVK_EVENT_STATE || in_len != sizeof(RavkStateEvent)) return CORE_NOT_MINE;
    static_cast<std::vector<uint32_t> *>(user[0])->push_back(static_cast<const RavkStateEvent *>(in)->role);
    return CORE_OK;
}

TEST_F(PipelineEvents, PostedOnlyWhileTheEngineNodeRuns)
{
    std::vector<uint32_t> roles;
    CoreName channel;
    ravk_pipeline_channel_name(&channel);
    CoreNotifySubscription subscription = {count_event, {&roles, nullptr}};
    ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);
    const RavkStateEvent provider = {RAVK_ROLE_PROVIDER};

    EXPECT_EQ(ravk_pipeline_event_post(&channel, RAVK_EVENT_STATE, &provider, sizeof(provider), nullptr, nullptr),
              CORE_ERR);
    EXPECT_TRUE(roles.empty());

    int running = 0;
    engine_node_set_running(reinterpret_cast<EngineNode *>(&running));
    EXPECT_EQ(ravk_pipeline_event_post(&channel, RAVK_EVENT_STATE, &provider, sizeof(provider), nullptr, nullptr),
              CORE_OK);
    EXPECT_EQ(roles, std::vector<uint32_t>{RAVK_ROLE_PROVIDER});
}

}  // namespace
