// The "libyuv" element in a GstHarness: passthrough, crops, orientation from
// the property and from tags, format choice, zero-copy output and failures.
#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <vector>

#include "gst_support.h"
#include "ravelkit/gst/gstlibyuv.h"

namespace {

class LibyuvElement : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
    void TearDown() override
    {
        if (h_) gst_harness_teardown(h_);
    }

    void start(const char *properties, const char *src_caps, const char *sink_caps)
    {
        h_ = gst_harness_new("libyuv");
        ravk_test_set_properties(G_OBJECT(h_->element), properties);
        gst_harness_set_src_caps_str(h_, src_caps);
        gst_harness_set_sink_caps_str(h_, sink_caps);
    }

    // An I420 frame whose luma is x + 16 * y and chroma 128.
    GstBuffer *frame(int w, int h)
    {
        GstVideoInfo info;
        gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, w, h);
        GstBuffer *buf = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
        GstVideoFrame f;
        gst_video_frame_map(&f, &info, buf, GST_MAP_WRITE);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0))[y * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0) + x] =
                    static_cast<uint8_t>(x + 16 * y);
        for (int p = 1; p < 3; p++)
            for (int y = 0; y < (h + 1) / 2; y++)
                memset(static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, p)) + y * GST_VIDEO_FRAME_PLANE_STRIDE(&f, p),
                       128, (w + 1) / 2);
        gst_video_frame_unmap(&f);
        GST_BUFFER_PTS(buf) = 0;
        return buf;
    }

    GstVideoInfo src_info()
    {
        GstCaps *caps = gst_pad_get_current_caps(h_->sinkpad);
        GstVideoInfo info;
        EXPECT_TRUE(caps && gst_video_info_from_caps(&info, caps));
        if (caps) gst_caps_unref(caps);
        return info;
    }

    uint8_t luma(GstBuffer *buf, const GstVideoInfo &info, int x, int y)
    {
        GstVideoFrame f;
        EXPECT_TRUE(gst_video_frame_map(&f, const_cast<GstVideoInfo *>(&info), buf, GST_MAP_READ));
        uint8_t v = static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0))[y * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0) + x];
        gst_video_frame_unmap(&f);
        return v;
    }

    GstHarness *h_ = nullptr;
};

constexpr const char *I420_8x4 = "video/x-raw,format=I420,width=8,height=4,framerate=30/1";
constexpr const char *I420_16x8 = "video/x-raw,format=I420,width=16,height=8,framerate=30/1";

TEST_F(LibyuvElement, EqualCapsWithoutWorkPassThrough)
{
    start("", I420_16x8, I420_16x8);
    GstBuffer *in = frame(16, 8);
    gst_buffer_ref(in);
    ASSERT_EQ(gst_harness_push(h_, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h_);
    EXPECT_TRUE(gst_base_transform_is_passthrough(GST_BASE_TRANSFORM(h_->element)));
    EXPECT_EQ(GST_LIBYUV(h_->element)->context, nullptr);
    EXPECT_EQ(out, in);
    gst_buffer_unref(out);
    gst_buffer_unref(in);
}

// A crop defeats passthrough even with equal caps: the cropped picture is
// scaled back to the fixed size. A crop switched off (2147483647) must not
// send an unwritten buffer.
TEST_F(LibyuvElement, CropDecidesPassthrough)
{
    struct Case {
        const char *properties;
        bool passthrough;
        uint8_t first_luma;
    } cases[] = {
        {"left=8", false, 8},
        {"left=2147483647 top=4", true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.properties);
        start(c.properties, I420_16x8, I420_16x8);
        ASSERT_EQ(gst_harness_push(h_, frame(16, 8)), GST_FLOW_OK);
        GstBuffer *out = gst_harness_pull(h_);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(gst_base_transform_is_passthrough(GST_BASE_TRANSFORM(h_->element)), c.passthrough);
        EXPECT_NEAR(luma(out, src_info(), 0, 0), c.first_luma, 1);
        gst_buffer_unref(out);
        gst_harness_teardown(h_);
        h_ = nullptr;
    }
}

// "auto" with the tag "flip-rotate-90" gives the diagonal flip: width and
// height exchange, and the picture is mirrored then turned by 270 degrees,
// which is a transpose.
TEST_F(LibyuvElement, FollowsTheOrientationTag)
{
    start("video-direction=auto", I420_8x4, "video/x-raw,format=I420");
    GstTagList *tags = gst_tag_list_new(GST_TAG_IMAGE_ORIENTATION, "flip-rotate-90", nullptr);
    ASSERT_TRUE(gst_harness_push_event(h_, gst_event_new_tag(tags)));
    ASSERT_EQ(gst_harness_push(h_, frame(8, 4)), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h_);
    ASSERT_NE(out, nullptr);
    GstVideoInfo info = src_info();
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 4);
    EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 4; x++) EXPECT_EQ(luma(out, info, x, y), y + 16 * x) << x << "," << y;
    gst_buffer_unref(out);
}

// Values the element cannot follow leave the method as it was.
TEST_F(LibyuvElement, IgnoresCustomMethodAndUnknownTags)
{
    start("video-direction=180", I420_8x4, I420_8x4);
    g_object_set(h_->element, "video-direction", GST_VIDEO_ORIENTATION_CUSTOM, nullptr);
    GstTagList *tags = gst_tag_list_new(GST_TAG_IMAGE_ORIENTATION, "rotate-45", nullptr);
    ASSERT_TRUE(gst_harness_push_event(h_, gst_event_new_tag(tags)));
    ASSERT_EQ(gst_harness_push(h_, frame(8, 4)), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h_);
    ASSERT_NE(out, nullptr);
    GstVideoOrientationMethod direction;
    g_object_get(h_->element, "video-direction", &direction, nullptr);
    EXPECT_EQ(direction, GST_VIDEO_ORIENTATION_180);
    EXPECT_EQ(luma(out, src_info(), 0, 0), 7 + 16 * 3) << "still turned by 180";
    gst_buffer_unref(out);
}

// Among BGRA and I420, an NV12 input loses least as I420.
TEST_F(LibyuvElement, ChoosesTheClosestFormat)
{
    start("", "video/x-raw,format=NV12,width=16,height=8,framerate=30/1", "video/x-raw,format={BGRA,I420}");
    GstBuffer *in = gst_harness_create_buffer(h_, 16 * 8 * 3 / 2);
    ASSERT_EQ(gst_harness_push(h_, in), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(h_));
    GstVideoInfo info = src_info();
    EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_I420);
}

// With "opt-out" the output is one of the caller's buffers, handed on without
// a copy; while it is held downstream the next frame is dropped.
TEST_F(LibyuvElement, OptOutHandsOnExternalBuffersOneAtATime)
{
    std::vector<uint8_t> a(4096), b(4096);
    h_ = gst_harness_new("libyuv");
    g_object_set(h_->element, "opt-out", TRUE, "buffer1", a.data(), "size1", guint64{a.size()}, "buffer2", b.data(),
                 "size2", guint64{b.size()}, "video-direction", GST_VIDEO_ORIENTATION_90R, nullptr);
    gst_harness_set_src_caps_str(h_, I420_16x8);
    gst_harness_set_sink_caps_str(h_, "video/x-raw,format=NV12");

    ASSERT_EQ(gst_harness_push(h_, frame(16, 8)), GST_FLOW_OK);
    GstBuffer *first = gst_harness_pull(h_);
    ASSERT_NE(first, nullptr);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(first, &map, GST_MAP_READ));
    EXPECT_TRUE(map.data == a.data() || map.data == b.data());
    gst_buffer_unmap(first, &map);

    ASSERT_EQ(gst_harness_push(h_, frame(16, 8)), GST_FLOW_OK);
    EXPECT_EQ(gst_harness_try_pull(h_), nullptr) << "output is busy";

    gst_buffer_unref(first);
    ASSERT_EQ(gst_harness_push(h_, frame(16, 8)), GST_FLOW_OK);
    GstBuffer *third = gst_harness_pull(h_);
    EXPECT_NE(third, nullptr);
    gst_buffer_unref(third);
}

// External buffers too small for the intermediates make processing fail;
// the frame is dropped, not sent on unwritten.
TEST_F(LibyuvElement, FailedConversionDropsTheFrame)
{
    std::vector<uint8_t> a(16), b(16);
    h_ = gst_harness_new("libyuv");
    g_object_set(h_->element, "buffer1", a.data(), "size1", guint64{a.size()}, "buffer2", b.data(), "size2",
                 guint64{b.size()}, "video-direction", GST_VIDEO_ORIENTATION_90R, nullptr);
    gst_harness_set_src_caps_str(h_, I420_16x8);
    gst_harness_set_sink_caps_str(h_, "video/x-raw,format=BGRA");
    ASSERT_EQ(gst_harness_push(h_, frame(16, 8)), GST_FLOW_OK);
    EXPECT_EQ(gst_harness_try_pull(h_), nullptr);
}

TEST(LibyuvFormats, GstreamerFormatsToFourcc)
{
    struct {
        GstVideoFormat format;
        const char *fourcc;
    } cases[] = {
        {GST_VIDEO_FORMAT_I420, "I420"}, {GST_VIDEO_FORMAT_YV12, "YV12"}, {GST_VIDEO_FORMAT_Y42B, "I422"},
        {GST_VIDEO_FORMAT_Y444, "I444"}, {GST_VIDEO_FORMAT_BGRx, "BGRx"}, {GST_VIDEO_FORMAT_xBGR, "xBGR"},
        {GST_VIDEO_FORMAT_NV24, "NV24"}, {GST_VIDEO_FORMAT_NV61, "NV61"}, {GST_VIDEO_FORMAT_GRAY8, "NONE"},
    };
    for (const auto &c : cases) {
        uint32_t expected;
        memcpy(&expected, c.fourcc, 4);
        EXPECT_EQ(gst_libyuv_format_to_fourcc(c.format), expected) << c.fourcc;
    }
}

}  // namespace
