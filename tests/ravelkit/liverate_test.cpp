// The "liverate" element in a GstHarness. A GstTestClock stands in for the
// system clock, so every repeat tick is cranked by the test, never waited for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gst_support.h"

// Last: the check framework defines short macros (fail, ...) that would
// clash with the standard library's headers.
#include <gst/check/gstcheck.h>
#include <gst/check/gstharness.h>
#include <gst/check/gsttestclock.h>

namespace {

constexpr GstClockTime MS = GST_MSECOND;

class LiveRate : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }

    void SetUp() override
    {
        // Start away from 0 so a stored time of 0 cannot pass for "unset".
        clock_ = GST_TEST_CLOCK(gst_test_clock_new_with_start_time(GST_SECOND));
        gst_system_clock_set_default(GST_CLOCK(clock_));
    }
    void TearDown() override
    {
        if (h_) gst_harness_teardown(h_);
        gst_system_clock_set_default(nullptr);
        gst_object_unref(clock_);
    }

    void start(const char *properties)
    {
        h_ = gst_harness_new("liverate");
        ravk_test_set_properties(G_OBJECT(h_->element), properties);
        gst_harness_set_src_caps_str(h_, "video/x-raw,format=I420,width=16,height=16,framerate=30/1");
    }

    GstFlowReturn push(GstClockTime pts)
    {
        GstBuffer *buf = gst_harness_create_buffer(h_, 384);
        GST_BUFFER_PTS(buf) = pts;
        return gst_harness_push(h_, buf);
    }

    std::vector<GstClockTime> pulled()
    {
        std::vector<GstClockTime> out;
        while (GstBuffer *b = gst_harness_try_pull(h_)) {
            out.push_back(GST_BUFFER_PTS(b));
            gst_buffer_unref(b);
        }
        return out;
    }

    GstTestClock *clock_ = nullptr;
    GstHarness *h_ = nullptr;
};

// The upper rate passes each frame at or after the next slot, which moves on
// by one interval (33.3 ms) per passed frame.
TEST_F(LiveRate, MaxRateDropsToTheSchedule)
{
    start("max-framerate=30/1");
    std::vector<GstClockTime> expected;
    for (GstClockTime t = 0; t <= 200 * MS; t += 10 * MS) {
        GstFlowReturn ret = push(t);
        ASSERT_EQ(ret, GST_FLOW_OK);
    }
    EXPECT_EQ(pulled(), (std::vector<GstClockTime>{0, 40 * MS, 70 * MS, 100 * MS, 140 * MS, 170 * MS, 200 * MS}));
}

TEST_F(LiveRate, WithoutRatesEveryFramePasses)
{
    start("");
    push(GST_CLOCK_TIME_NONE);
    for (GstClockTime t = 0; t < 50 * MS; t += 1 * MS) push(t);
    EXPECT_EQ(pulled().size(), 51u);
}

// Jumps: forward, the first frame re-anchors the schedule; back, frames wait
// for the next slot; after a flush the schedule starts over.
TEST_F(LiveRate, ScheduleFollowsJumpsAndRestartsAfterFlush)
{
    start("max-framerate=10/1");
    push(0);
    push(100 * MS);
    push(10 * GST_SECOND + 5 * MS);
    push(10 * GST_SECOND + 50 * MS);
    push(10 * GST_SECOND + 105 * MS);
    EXPECT_EQ(pulled(), (std::vector<GstClockTime>{0, 100 * MS, 10 * GST_SECOND + 5 * MS, 10 * GST_SECOND + 105 * MS}));

    push(1 * GST_SECOND);  // jumped back in-stream: before the next slot
    EXPECT_TRUE(pulled().empty());

    ASSERT_TRUE(gst_harness_push_event(h_, gst_event_new_flush_start()));
    ASSERT_TRUE(gst_harness_push_event(h_, gst_event_new_flush_stop(TRUE)));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    ASSERT_TRUE(gst_harness_push_event(h_, gst_event_new_segment(&segment)));
    push(0);
    EXPECT_EQ(pulled(), (std::vector<GstClockTime>{0}));
}

// A source that stops: the first tick sees the last frame counted, every later
// tick repeats it with its timestamp moved on by the time since it arrived,
// and frames that come again end the repeats.
TEST_F(LiveRate, MinRateRepeatsTheLastFrame)
{
    start("min-framerate=5/1");
    push(0);
    push(33 * MS);
    EXPECT_EQ(pulled().size(), 2u);
    const GstClockTime arrived = gst_clock_get_time(GST_CLOCK(clock_));

    std::vector<GstClockTime> ticks;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(gst_test_clock_crank(clock_));
        ticks.push_back(gst_clock_get_time(GST_CLOCK(clock_)));
    }
    EXPECT_EQ(pulled(), (std::vector<GstClockTime>{33 * MS + ticks[1] - arrived, 33 * MS + ticks[2] - arrived}));
    EXPECT_EQ(ticks[1] - ticks[0], 200 * MS);

    push(700 * MS);
    pulled();
    ASSERT_TRUE(gst_test_clock_crank(clock_));
    EXPECT_TRUE(pulled().empty());
}

TEST_F(LiveRate, TimerFollowsStateAndProperty)
{
    start("min-framerate=5/1");
    EXPECT_EQ(gst_test_clock_peek_id_count(clock_), 1u);
    g_object_set(h_->element, "min-framerate", 5, 1, nullptr);
    EXPECT_EQ(gst_test_clock_peek_id_count(clock_), 1u) << "setting the rate again replaces the timer";

    // In PAUSED a prerolling sink would block the clock thread: no push.
    push(0);
    pulled();
    ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_PAUSED), GST_STATE_CHANGE_SUCCESS);
    for (int i = 0; i < 3; i++) ASSERT_TRUE(gst_test_clock_crank(clock_));
    EXPECT_TRUE(pulled().empty());

    ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    EXPECT_EQ(gst_test_clock_peek_id_count(clock_), 0u);
    ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_PAUSED), GST_STATE_CHANGE_SUCCESS);
    EXPECT_EQ(gst_test_clock_peek_id_count(clock_), 1u) << "a restarted pipeline keeps its lower rate";

    g_object_set(h_->element, "min-framerate", 0, 1, nullptr);
    EXPECT_EQ(gst_test_clock_peek_id_count(clock_), 0u) << "0/1 stops the repeats";
}

// The timer holds only a weak reference: dropping a pipeline frees the
// element whether or not it ever ran.
TEST_F(LiveRate, ElementIsFreedWithItsPipeline)
{
    for (bool run : {false, true}) {
        SCOPED_TRACE(run ? "after running" : "never started");
        GstElement *pipeline =
            gst_parse_launch("videotestsrc ! liverate name=rate min-framerate=5/1 ! fakesink sync=false", nullptr);
        ASSERT_NE(pipeline, nullptr);
        GstElement *rate = gst_bin_get_by_name(GST_BIN(pipeline), "rate");
        if (run) {
            ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
            ASSERT_NE(gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE),
                      GST_STATE_CHANGE_FAILURE);
            ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
        } else {
            // Only a state change up to PAUSED starts the timer; set the rate
            // where the old element started it at once.
            g_object_set(rate, "min-framerate", 10, 1, nullptr);
        }
        gst_object_unref(rate);
        gst_check_objects_destroyed_on_unref(pipeline, rate, nullptr);
    }
}

}  // namespace
