// Our conversion chain against GStreamer's own converters on the same frame:
// formats x crop x orientation x size, each output sample within +-2.
//
// Ours: appsrc ! libyuv ! appsink. Reference: appsrc ! videocrop !
// videoconvert ! videoflip ! videoscale ! videoconvert ! appsink, with a
// 16-bit stage before the last conversion: videoconvert's 8-bit fast path
// from YUV to RGB is itself off by up to 6 (measured against the source
// picture). YUV caps are pinned to bt601 so both sides use the same matrix;
// the picture is smooth so that the two scalers' different filters agree.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "gst_support.h"

namespace {

struct Case {
    const char *in_format;
    int in_w, in_h;
    int left, top, right, bottom;
    const char *direction;  // GstVideoOrientationMethod nick
    const char *out_format;
    int out_w, out_h;
    // libyuv repeats chroma when it expands 4:2:0 to RGB where GStreamer
    // interpolates it; on top of both matrices' rounding that reaches 4 where
    // chroma changes fastest (odd sizes, a halved picture).
    int tolerance = 2;
};

std::string caps_of(const char *format, int w, int h)
{
    const GstVideoFormatInfo *info = gst_video_format_get_info(gst_video_format_from_string(format));
    std::string caps = std::string("video/x-raw,format=") + format + ",width=" + std::to_string(w) +
                       ",height=" + std::to_string(h) + ",framerate=30/1,pixel-aspect-ratio=1/1";
    if (GST_VIDEO_FORMAT_INFO_IS_YUV(info)) caps += ",colorimetry=bt601,chroma-site=jpeg";
    return caps;
}

// A smooth BGRx picture converted to the input format by GStreamer.
GstSample *input_frame(const Case &c)
{
    std::string desc = "appsrc name=src ! videoconvert ! appsink name=sink caps=\"" +
                       caps_of(c.in_format, c.in_w, c.in_h) + "\"";
    GstElement *p = gst_parse_launch(desc.c_str(), nullptr);
    GstElement *src = gst_bin_get_by_name(GST_BIN(p), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    GstCaps *caps = gst_caps_from_string(caps_of("BGRx", c.in_w, c.in_h).c_str());
    g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, nullptr);
    gst_caps_unref(caps);
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGRx, c.in_w, c.in_h);
    GstBuffer *buf = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    GstVideoFrame f;
    gst_video_frame_map(&f, &info, buf, GST_MAP_WRITE);
    // At most a quarter step per pixel: the converters place and filter
    // chroma differently, which only a gentle slope keeps within +-2.
    const int span = std::max(c.in_w, c.in_h) * 4;
    for (int y = 0; y < c.in_h; y++) {
        uint8_t *row = static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0)) + y * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0);
        for (int x = 0; x < c.in_w; x++) {
            row[4 * x + 0] = static_cast<uint8_t>(60 + 120 * (x + y) / span);
            row[4 * x + 1] = static_cast<uint8_t>(50 + 150 * y / span);
            row[4 * x + 2] = static_cast<uint8_t>(40 + 160 * x / span);
            row[4 * x + 3] = 255;
        }
    }
    gst_video_frame_unmap(&f);
    GST_BUFFER_PTS(buf) = 0;
    gst_element_set_state(p, GST_STATE_PLAYING);
    gst_app_src_push_buffer(GST_APP_SRC(src), buf);
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(p);
    return sample;
}

GstSample *run(const std::string &middle, const Case &c, GstSample *input)
{
    std::string desc = "appsrc name=src ! " + middle + " ! appsink name=sink caps=\"" +
                       caps_of(c.out_format, c.out_w, c.out_h) + "\"";
    GError *error = nullptr;
    GstElement *p = gst_parse_launch(desc.c_str(), &error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    if (error) {
        g_error_free(error);
        return nullptr;
    }
    GstElement *src = gst_bin_get_by_name(GST_BIN(p), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    g_object_set(src, "caps", gst_sample_get_caps(input), "format", GST_FORMAT_TIME, nullptr);
    gst_element_set_state(p, GST_STATE_PLAYING);
    gst_app_src_push_buffer(GST_APP_SRC(src), gst_buffer_ref(gst_sample_get_buffer(input)));
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(p);
    return sample;
}

// Largest difference over every component of every pixel; -1 when the two
// frames do not even share their format and size.
int max_difference(GstSample *a, GstSample *b)
{
    GstVideoInfo ia, ib;
    if (!gst_video_info_from_caps(&ia, gst_sample_get_caps(a)) || !gst_video_info_from_caps(&ib, gst_sample_get_caps(b)))
        return -1;
    if (GST_VIDEO_INFO_FORMAT(&ia) != GST_VIDEO_INFO_FORMAT(&ib) || ia.width != ib.width || ia.height != ib.height)
        return -1;
    GstVideoFrame fa, fb;
    gst_video_frame_map(&fa, &ia, gst_sample_get_buffer(a), GST_MAP_READ);
    gst_video_frame_map(&fb, &ib, gst_sample_get_buffer(b), GST_MAP_READ);
    int worst = 0;
    for (guint c = 0; c < GST_VIDEO_FRAME_N_COMPONENTS(&fa); c++) {
        const int w = GST_VIDEO_FRAME_COMP_WIDTH(&fa, c), h = GST_VIDEO_FRAME_COMP_HEIGHT(&fa, c);
        const int ps = GST_VIDEO_FRAME_COMP_PSTRIDE(&fa, c);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                int va = static_cast<const uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(&fa, c))[y * GST_VIDEO_FRAME_COMP_STRIDE(&fa, c) + x * ps];
                int vb = static_cast<const uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(&fb, c))[y * GST_VIDEO_FRAME_COMP_STRIDE(&fb, c) + x * ps];
                worst = std::max(worst, std::abs(va - vb));
            }
    }
    gst_video_frame_unmap(&fa);
    gst_video_frame_unmap(&fb);
    return worst;
}

class ConvertAgainstGstreamer : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

TEST_P(ConvertAgainstGstreamer, AgreesWithinTwo)
{
    const Case &c = GetParam();
    GstSample *input = input_frame(c);
    ASSERT_NE(input, nullptr);
    char crop[128];
    snprintf(crop, sizeof crop, "left=%d top=%d right=%d bottom=%d", c.left, c.top, c.right, c.bottom);
    GstSample *ours = run(std::string("libyuv ") + crop + " video-direction=" + c.direction, c, input);
    GstSample *theirs = run(std::string("videocrop ") + crop +
                                " ! videoconvert ! video/x-raw,format=I420 ! videoflip video-direction=" + c.direction +
                                " ! videoscale ! videoconvert ! video/x-raw,format=AYUV64 ! videoconvert",
                            c, input);
    ASSERT_NE(ours, nullptr);
    ASSERT_NE(theirs, nullptr);
    int diff = max_difference(ours, theirs);
    EXPECT_GE(diff, 0) << "different format or size";
    EXPECT_LE(diff, c.tolerance);
    gst_sample_unref(ours);
    gst_sample_unref(theirs);
    gst_sample_unref(input);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertAgainstGstreamer,
    ::testing::Values(
        Case{"I420", 320, 240, 0, 0, 0, 0, "identity", "NV12", 320, 240},
        Case{"NV12", 320, 240, 16, 8, 32, 24, "identity", "I420", 272, 208},
        Case{"YUY2", 320, 240, 0, 0, 0, 0, "90r", "I420", 240, 320},
        Case{"UYVY", 320, 240, 0, 0, 0, 0, "horiz", "BGRx", 320, 240},
        Case{"BGRA", 320, 240, 0, 0, 0, 0, "identity", "I420", 160, 120},
        Case{"RGBA", 320, 240, 0, 0, 0, 0, "180", "NV21", 320, 240},
        Case{"xRGB", 320, 240, 0, 0, 0, 0, "vert", "YV12", 320, 240},
        Case{"ABGR", 320, 240, 0, 0, 0, 0, "ul-lr", "I420", 240, 320},
        Case{"BGRx", 320, 240, 0, 0, 0, 0, "ur-ll", "Y444", 120, 160},
        Case{"NV21", 320, 240, 8, 4, 8, 4, "90l", "Y42B", 232, 304},
        Case{"YV12", 320, 240, 0, 0, 0, 0, "identity", "I420", 320, 240},
        Case{"I420", 1366, 768, 2, 2, 6, 8, "identity", "NV12", 1358, 758},
        Case{"I420", 33, 17, 0, 0, 0, 0, "identity", "BGRA", 33, 17, 4},
        Case{"NV12", 33, 17, 0, 0, 0, 0, "horiz", "I420", 33, 17},
        Case{"I420", 320, 240, 0, 0, 0, 0, "identity", "NV24", 320, 240},
        Case{"YUY2", 320, 240, 0, 0, 0, 0, "identity", "UYVY", 480, 360},
        Case{"I420", 320, 240, 0, 0, 0, 0, "90r", "RGBx", 120, 160, 4},
        Case{"I420", 320, 240, 0, 0, 0, 0, "identity", "BGRx", 320, 240}),
    [](const ::testing::TestParamInfo<Case> &info) {
        const Case &c = info.param;
        std::string name = std::string(c.in_format) + "_" + std::to_string(c.in_w) + "x" + std::to_string(c.in_h) +
                           "_to_" + c.out_format + "_" + std::to_string(c.out_w) + "x" + std::to_string(c.out_h) +
                           "_" + c.direction + (c.left + c.top + c.right + c.bottom ? "_crop" : "");
        for (char &ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

}  // namespace
