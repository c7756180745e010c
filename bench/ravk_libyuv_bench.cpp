// The libyuv element against GStreamer's videoconvert, videoscale and
// videoflip on the same 1080p frames, each single-threaded in a GstHarness:
// convert BGRx to I420, scale I420 to 720p, turn I420 by 90 degrees.
#include <benchmark/benchmark.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include "ravelkit/gst/gstlibyuv.h"

namespace {

constexpr const char *BGRX_1080 = "video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1";
constexpr const char *I420_1080 =
    "video/x-raw,format=I420,width=1920,height=1080,framerate=30/1,colorimetry=bt601";

bool setup()
{
    static const bool ok = [] {
        gst_init(nullptr, nullptr);
        return gst_plugin_libyuv_register() != FALSE;
    }();
    return ok;
}

void run(benchmark::State &state, const char *element, const char *in_caps, const char *out_caps)
{
    if (!setup()) {
        state.SkipWithError("libyuv not registered");
        return;
    }
    GstHarness *h = gst_harness_new_parse(element);
    gst_harness_set_src_caps_str(h, in_caps);
    gst_harness_set_sink_caps_str(h, out_caps);
    GstCaps *caps = gst_caps_from_string(in_caps);
    GstVideoInfo info;
    gst_video_info_from_caps(&info, caps);
    gst_caps_unref(caps);
    GstBuffer *frame = gst_harness_create_buffer(h, GST_VIDEO_INFO_SIZE(&info));
    GstMapInfo map;
    gst_buffer_map(frame, &map, GST_MAP_WRITE);
    for (gsize i = 0; i < map.size; i++) map.data[i] = static_cast<guint8>(i * 7 + i / 4096);
    gst_buffer_unmap(frame, &map);

    for (auto _ : state) {
        GST_BUFFER_PTS(frame) = 0;
        if (gst_harness_push(h, gst_buffer_ref(frame)) != GST_FLOW_OK) {
            state.SkipWithError("push failed");
            break;
        }
        gst_buffer_unref(gst_harness_pull(h));
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    gst_buffer_unref(frame);
    gst_harness_teardown(h);
}

void BM_ConvertBGRxToI420_Libyuv(benchmark::State &s) { run(s, "libyuv", BGRX_1080, "video/x-raw,format=I420"); }
void BM_ConvertBGRxToI420_Videoconvert(benchmark::State &s)
{
    run(s, "videoconvert n-threads=1", BGRX_1080, "video/x-raw,format=I420");
}
void BM_Scale1080To720_Libyuv(benchmark::State &s)
{
    run(s, "libyuv", I420_1080, "video/x-raw,format=I420,width=1280,height=720");
}
void BM_Scale1080To720_Videoscale(benchmark::State &s)
{
    run(s, "videoscale n-threads=1", I420_1080, "video/x-raw,format=I420,width=1280,height=720");
}
void BM_Rotate90_Libyuv(benchmark::State &s)
{
    run(s, "libyuv video-direction=90r", I420_1080, "video/x-raw,format=I420,width=1080,height=1920");
}
void BM_Rotate90_Videoflip(benchmark::State &s)
{
    run(s, "videoflip video-direction=90r", I420_1080, "video/x-raw,format=I420,width=1080,height=1920");
}

BENCHMARK(BM_ConvertBGRxToI420_Libyuv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertBGRxToI420_Videoconvert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale1080To720_Libyuv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale1080To720_Videoscale)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rotate90_Libyuv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rotate90_Videoflip)->Unit(benchmark::kMillisecond);

}  // namespace
