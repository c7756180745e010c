// Element tuning presets: values read back from the real elements after
// they join a pipeline, on machines of 2, 8, 16 and 32 processors, with no
// GLib warning on the way; the H.264 caps rule; the bitrate and key-frame
// tables.
#include "ravelkit/presets.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "core/cpu.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"

namespace
{

constexpr uint32_t V = RAVK_MEDIA_VIDEO;
constexpr uint32_t A = RAVK_MEDIA_AUDIO;
constexpr uint32_t video(uint32_t codec) { return V | codec << 16; }
constexpr uint32_t kOpus = A | RAVK_AUDIO_OPUS << 8;
constexpr uint32_t kTs = A | V | RAVK_MEDIA_MUXED | RAVK_CONTAINER_MPEGTS << 24;

int g_warnings = 0;

void count_warnings(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
    if ((level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) != 0) {
        ++g_warnings;
        ADD_FAILURE() << (domain ? domain : "") << ": " << message;
    }
}

class PresetsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(ravk_test_gst_setup());
        g_log_set_default_handler(count_warnings, nullptr);
    }
    void TearDown() override { core_cpu_count_override(0); }
};

RavkNode *node_of(uint32_t type, uint32_t kind, uint32_t media, const char *factory,
                  const RavkVideoCodecSetup *video_setup = nullptr)
{
    return ravk_node_new(nullptr, type, kind, media, 1, factory, factory, nullptr, 0, nullptr, nullptr, video_setup,
                         RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_BACKEND_GSTREAMER);
}

// The property as text: enumerations and flags as their numbers.
std::string read_back(GstElement *element, const char *name)
{
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    if (pspec == nullptr) return "<no property>";
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    g_object_get_property(G_OBJECT(element), name, &value);
    std::string text;
    if (G_VALUE_HOLDS_ENUM(&value)) {
        text = std::to_string(g_value_get_enum(&value));
    } else if (G_VALUE_HOLDS_FLAGS(&value)) {
        text = std::to_string(g_value_get_flags(&value));
    } else {
        gchar *serial = gst_value_serialize(&value);
        text = serial ? serial : "<none>";
        g_free(serial);
    }
    g_value_unset(&value);
    return text;
}

TEST_F(PresetsTest, ValuesReadBackFromRealElementsByProcessorCount)
{
    const uint32_t counts[] = {2, 8, 16, 32};
    using Maker = std::function<RavkNode *()>;
    const Maker x264 = [] { return node_of(RAVK_NODE_ENCODER, RAVK_ENC_X264, video(RAVK_VIDEO_H264), "x264enc"); };
    const Maker openh264 = [] {
        return node_of(RAVK_NODE_ENCODER, RAVK_ENC_OPENH264, video(RAVK_VIDEO_H264), "openh264enc");
    };
    const Maker vp8 = [] { return node_of(RAVK_NODE_ENCODER, RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), "vp8enc"); };
    const Maker vp9 = [] { return node_of(RAVK_NODE_ENCODER, RAVK_ENC_VP9, video(RAVK_VIDEO_VP9), "vp9enc"); };
    const Maker avdec = [] {
        return node_of(RAVK_NODE_DECODER, RAVK_DEC_AV_H264, video(RAVK_VIDEO_H264), "avdec_h264");
    };
    const Maker vp8dec = [] { return node_of(RAVK_NODE_DECODER, RAVK_DEC_VP8, video(RAVK_VIDEO_VP8), "vp8dec"); };
    const Maker vp9dec = [] { return node_of(RAVK_NODE_DECODER, RAVK_DEC_VP9, video(RAVK_VIDEO_VP9), "vp9dec"); };
    const Maker scale = [] { return ravk_node_new_scale(V, RAVK_BACKEND_GSTREAMER, nullptr, RAVK_FOURCC_NONE, 1); };
    const Maker opus = [] { return node_of(RAVK_NODE_ENCODER, RAVK_AENC_OPUS, kOpus, "opusenc"); };
    const Maker live_queue = [] { return node_of(RAVK_NODE_LIVE_QUEUE, 0, V, "queue"); };
    const Maker appsink = [] { return node_of(RAVK_NODE_BINARY_SINK, 0, V, "appsink"); };
    const Maker appsrc = [] { return node_of(RAVK_NODE_BINARY_SOURCE, 0, V, "appsrc"); };
    const Maker muxer = [] { return node_of(RAVK_NODE_MUXER, 0, kTs, "mpegtsmux"); };
    const Maker resample = [] { return ravk_node_new_audio_resample(A, nullptr, 1); };
    const Maker ximage = [] { return ravk_video_sink_node_new(RAVK_BACKEND_X11); };
    const Maker pulse = [] { return node_of(RAVK_NODE_PREVIEW_SINK, RAVK_SINK_PULSE, A, "pulsesink"); };

    struct Case {
        const char *purpose;
        Maker make;
        const char *property;
        std::array<const char *, 4> expected;  // for 2, 8, 16, 32 processors
    };
    const Case cases[] = {
        {"x264enc threads T4", x264, "threads", {"4", "8", "16", "32"}},
        {"x264enc zero-latency tune", x264, "tune", {"4", "4", "4", "4"}},
        {"x264enc key-frame interval of the set-up", x264, "key-int-max", {"30", "30", "30", "30"}},
        {"x264enc without B-frames", x264, "bframes", {"0", "0", "0", "0"}},
        {"openh264enc threads T4", openh264, "multi-thread", {"4", "8", "16", "32"}},
        {"openh264enc GOP of the set-up", openh264, "gop-size", {"30", "30", "30", "30"}},
        {"vp8enc cpu-used by class", vp8, "cpu-used", {"5", "3", "2", "0"}},
        {"vp8enc threads T4", vp8, "threads", {"4", "8", "16", "32"}},
        {"vp8enc real-time deadline", vp8, "deadline", {"1", "1", "1", "1"}},
        {"vp8enc error resilience", vp8, "error-resilient", {"1", "1", "1", "1"}},
        {"vp9enc cpu-used by class", vp9, "cpu-used", {"7", "5", "4", "2"}},
        {"vp9enc holds no frames back", vp9, "lag-in-frames", {"0", "0", "0", "0"}},
        {"avdec_h264 threads T8", avdec, "max-threads", {"8", "8", "16", "32"}},
        {"avdec_h264 slice threading", avdec, "thread-type", {"2", "2", "2", "2"}},
        {"avdec_h264 skips nothing it needs", avdec, "skip-frame", {"5", "5", "5", "5"}},
        {"decoders request no sync points",
         avdec,
         "automatic-request-sync-points",
         {"false", "false", "false", "false"}},
        // vp8dec and vp9dec take at most 16 threads.
        {"vp8dec threads T8", vp8dec, "threads", {"8", "8", "16", "16"}},
        {"vp9dec threads T4", vp9dec, "threads", {"4", "8", "16", "16"}},
        {"videoconvertscale threads C4", scale, "n-threads", {"2", "4", "4", "4"}},
        {"videoconvertscale method", scale, "method", {"5", "5", "5", "5"}},
        {"scaler without QoS", scale, "qos", {"false", "false", "false", "false"}},
        {"opusenc complexity by class", opus, "complexity", {"8", "10", "10", "10"}},
        {"opusenc voice", opus, "audio-type", {"2049", "2049", "2049", "2049"}},
        {"live queue leaks upstream", live_queue, "leaky", {"1", "1", "1", "1"}},
        {"live queue unbounded", live_queue, "max-size-buffers", {"0", "0", "0", "0"}},
        {"video app sink block size", appsink, "blocksize", {"1024", "1024", "1024", "1024"}},
        {"app sink does not sync", appsink, "sync", {"false", "false", "false", "false"}},
        {"app source does not block", appsrc, "block", {"false", "false", "false", "false"}},
        {"MPEG-TS tables every millisecond", muxer, "pat-interval", {"90", "90", "90", "90"}},
        {"MPEG-TS alignment", muxer, "alignment", {"64", "64", "64", "64"}},
        {"audioresample quality", resample, "quality", {"10", "10", "10", "10"}},
        {"ximagesink pixel aspect ratio", ximage, "pixel-aspect-ratio", {"1/1", "1/1", "1/1", "1/1"}},
        {"pulsesink buffer time", pulse, "buffer-time", {"100000", "100000", "100000", "100000"}},
    };
    for (size_t k = 0; k < 4; ++k) {
        core_cpu_count_override(counts[k]);
        for (const Case &c : cases) {
            RavkNode *pipeline = node_of(RAVK_NODE_PIPELINE, 0, V, "pipeline");
            RavkNode *node = c.make();
            ASSERT_NE(node, nullptr) << c.purpose;
            ASSERT_EQ(ravk_pipeline_add_node(pipeline, node), 0) << c.purpose;
            EXPECT_EQ(read_back(node->element, c.property), c.expected[k]) << c.purpose << ", " << counts[k];
            ravk_node_free(&node);
            ravk_node_free(&pipeline);
        }
    }
    EXPECT_EQ(g_warnings, 0);
}

TEST_F(PresetsTest, H264CapsFollowTheProfileTheDescriptorAllows)
{
    struct Case {
        const char *purpose;
        uint32_t id;
        uint64_t mask, evaluated_mask, profile;
        const char *caps;  // nullptr: the encoder cannot be made
    };
    const Case cases[] = {
        {"high allowed and asked", RAVK_ENC_X264, 0x10, 0, 16, "video/x-h264, profile=(string)high"},
        {"main asked, not allowed", RAVK_ENC_X264, 0x10, 0, 4, "video/x-h264, profile=(string)main"},
        {"baseline allowed and asked", RAVK_ENC_X264, 0x02, 0, 2, "video/x-h264, profile=(string)baseline"},
        {"the evaluated mask wins", RAVK_ENC_X264, 0x10, 0x02, 16, "video/x-h264, profile=(string)main"},
        {"nothing allowed", RAVK_ENC_OPENH264, 0, 0, 16, "video/x-h264, profile=(string)main"},
        {"VP8 id on H.264 media", RAVK_ENC_VP8, 0x10, 0, 16, nullptr},
    };
    for (const Case &c : cases) {
        RavkVideoCodecSetup setup = {};
        setup.codec.profile_set = c.mask;
        setup.codec.evaluated_profile_set = c.evaluated_mask;
        setup.format.profile = c.profile;
        RavkNode *node = node_of(RAVK_NODE_ENCODER, c.id, video(RAVK_VIDEO_H264),
                                 c.id == RAVK_ENC_OPENH264 ? "openh264enc" : "x264enc", &setup);
        EXPECT_EQ(node != nullptr, c.caps != nullptr) << c.purpose;
        if (node == nullptr) continue;
        EXPECT_STREQ(node->caps, c.caps) << c.purpose;
        // The parser's caps keep the capture side's spelling: with the real
        // "alignment" field the parser would split frames into NAL units.
        const RavkNode *parser = node->companions_first->next;
        ASSERT_NE(parser, nullptr);
        EXPECT_STREQ(parser->caps, "video/x-h264, stream-format=(string)byte-stream, aligment=(string)nal");
        ravk_node_free(&node);
    }
}

TEST_F(PresetsTest, BitrateAndKeyframeTables)
{
    struct Case {
        const char *purpose;
        uint32_t id;
        uint32_t media;
        uint64_t bps;
        int running;
        int count;  // records, or -1 refused
        const char *name;
        std::string value;
    };
    const Case bitrates[] = {
        {"Media Foundation takes kbit/s", RAVK_ENC_MF_H264, video(RAVK_VIDEO_H264), 2000000, 0, 1, "bitrate", "2000"},
        {"vp8enc takes bit/s", RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), 2000000, 0, 1, "target-bitrate", "2000000"},
        {"openh264enc takes bit/s", RAVK_ENC_OPENH264, video(RAVK_VIDEO_H264), 2000000, 0, 1, "bitrate", "2000000"},
        {"Opus takes bit/s", RAVK_AENC_OPUS, kOpus, 64000, 0, 1, "bitrate", "64000"},
        {"V4L2 accepts and sets nothing", RAVK_ENC_V4L2_H264, video(RAVK_VIDEO_H264), 1000, 0, 0, nullptr, ""},
        {"JPEG before start", RAVK_ENC_JPEG, video(RAVK_VIDEO_MJPEG), 1000, 0, 0, nullptr, ""},
        {"JPEG while running", RAVK_ENC_JPEG, video(RAVK_VIDEO_MJPEG), 1000, 1, -1, nullptr, ""},
        {"zero bitrate", RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), 0, 0, -1, nullptr, ""},
        {"bit/s beyond 32 bits", RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), 1ull << 33, 0, -1, nullptr, ""},
        {"a decoder id", RAVK_DEC_VP8, video(RAVK_VIDEO_VP8), 1000, 0, -1, nullptr, ""},
    };
    for (const Case &c : bitrates) {
        RavkNode node{};
        node.type = RAVK_NODE_ENCODER;
        node.kind = c.id;
        node.media = c.media;
        RavkProperty *record[1] = {};
        EXPECT_EQ(ravk_bitrate_records(&node, c.bps, c.running, record), c.count) << c.purpose;
        if (c.count == 1) {
            ASSERT_NE(record[0], nullptr);
            EXPECT_STREQ(record[0]->name, c.name) << c.purpose;
            gchar *text = gst_value_serialize(&record[0]->value);
            EXPECT_EQ(text, c.value) << c.purpose;
            g_free(text);
            ravk_property_free(record[0]);
        }
    }
    const Case keyframes[] = {
        {"vtenc: one second", RAVK_ENC_VTENC_H264, video(RAVK_VIDEO_H264), 15, 0, 1, "max-keyframe-interval-duration",
         "1000000000"},
        {"x264enc: frames", RAVK_ENC_X264, video(RAVK_VIDEO_H264), 15, 0, 1, "key-int-max", "15"},
        {"msdkh264enc: two records", RAVK_ENC_MSDK_H264, video(RAVK_VIDEO_H264), 15, 0, 2, "gop-size", "15"},
        {"vp9enc: distance", RAVK_ENC_VP9, video(RAVK_VIDEO_VP9), 15, 0, 1, "keyframe-max-dist", "15"},
        {"jpegenc: nothing to set", RAVK_ENC_JPEG, video(RAVK_VIDEO_MJPEG), 15, 0, 0, nullptr, ""},
        {"msdkh265enc has no key-frame setting", RAVK_ENC_MSDK_H265, video(RAVK_VIDEO_H265), 15, 0, -1, nullptr, ""},
    };
    for (const Case &c : keyframes) {
        RavkNode node{};
        node.type = RAVK_NODE_ENCODER;
        node.kind = c.id;
        node.media = c.media;
        RavkProperty *records[2] = {};
        const int count = ravk_keyframe_records(&node, static_cast<uint32_t>(c.bps), records);
        EXPECT_EQ(count, c.count) << c.purpose;
        if (count > 0) {
            EXPECT_STREQ(records[0]->name, c.name) << c.purpose;
            gchar *text = gst_value_serialize(&records[0]->value);
            EXPECT_EQ(text, c.value) << c.purpose;
            g_free(text);
        }
        for (int k = 0; k < count; ++k) ravk_property_free(records[k]);
    }
}

TEST_F(PresetsTest, ThreadThresholds)
{
    struct Case {
        uint32_t n, t16, t4, t8, c4;
    };
    const Case cases[] = {{0, 4, 4, 8, 1}, {2, 4, 4, 8, 2}, {5, 5, 5, 8, 4}, {12, 12, 12, 12, 4}, {40, 16, 40, 40, 4}};
    for (const Case &c : cases) {
        EXPECT_EQ(ravk_preset_t16(c.n), c.t16) << c.n;
        EXPECT_EQ(ravk_preset_t4(c.n), c.t4) << c.n;
        EXPECT_EQ(ravk_preset_t8(c.n), c.t8) << c.n;
        EXPECT_EQ(ravk_preset_c4(c.n), c.c4) << c.n;
    }
}

}  // namespace
