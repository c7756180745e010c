// Element-name tables: node and factory names by role, filters by backend,
// codec elements by implementation id (composed names included), sources,
// caps names, the feature lookups, and that every element the tables can
// name exists here or is known to belong elsewhere.
#include "ravelkit/elements.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "core/system.h"
#include "core/values.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"

namespace {

constexpr uint32_t A = RAVK_MEDIA_AUDIO;
constexpr uint32_t V = RAVK_MEDIA_VIDEO;
constexpr uint32_t M = RAVK_MEDIA_MUXED;

constexpr uint32_t audio(uint32_t codec) { return A | codec << 8; }
constexpr uint32_t video(uint32_t codec) { return V | codec << 16; }
constexpr uint32_t muxed(uint32_t container) { return A | V | M | container << 24; }

TEST(ElementNames, NodeRoleNames)
{
    struct Case {
        uint32_t type, kind, flags;
        const char *name;
    };
    const Case cases[] = {
        {RAVK_NODE_QUEUE, 0, A | V, "muxed_queue"},
        {RAVK_NODE_QUEUE, 0, 0, "unknown_shield"},
        {RAVK_NODE_QUEUE, 0, V, "video_queue"},
        {RAVK_NODE_LIVE_QUEUE, 0, A | V, "muxed_live_queue"},
        {RAVK_NODE_BINARY_SOURCE, 0, A | V, "muxed_source_binary"},
        {RAVK_NODE_BINARY_SOURCE, 0, A, "audio_source_binary"},
        {RAVK_NODE_CAPTURE_SOURCE, 0, A | V, "audio_source_capture"},  // audio first
        {RAVK_NODE_CAPTURE_SOURCE, 0, M, "unknown_shield"},
        {RAVK_NODE_TEE, 0, V, "video_tee"},
        {RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_RESAMPLE, A, "audio_resample"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, A, "unknown"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, V, "video_scale"},
        {RAVK_NODE_FILTER, RAVK_FILTER_LIVE_RATE, V, "video_live_rate"},
        {RAVK_NODE_FILTER, RAVK_FILTER_D3D11_DOWNLOAD, V, "video_d3d11download"},
        {RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_CONVERT, V, "unknown"},
        {RAVK_NODE_FILTER, 0x8000, V, "unknown"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, 0, "unknown_shield"},
        {RAVK_NODE_TIMESTAMP, 0, V, "video_timestamp"},
        {RAVK_NODE_TIMESTAMP, 0, A, "unknown_shield"},
        {RAVK_NODE_CAPSFILTER, 0, 0, "capsfilter"},
        {RAVK_NODE_ENCODER, RAVK_ENC_VP8, V, "video_encoder"},
        {RAVK_NODE_DECODER, RAVK_ADEC_OPUS, A, "audio_decoder"},
        {RAVK_NODE_PARSER, 0, V, "video_parser"},
        {RAVK_NODE_PAYLOADER, 0, A, "audio_payloader"},
        {RAVK_NODE_DEPAYLOADER, 0, V, "video_depayloader"},
        {RAVK_NODE_MUXER, 0, 0, "muxer"},
        {RAVK_NODE_DEMUXER, 0, 0, "demuxer"},
        {RAVK_NODE_PREVIEW_SINK, 0, V, "video_preview_sink"},
        {RAVK_NODE_BINARY_SINK, 0, muxed(1), "binary_sink"},
        {RAVK_NODE_BINARY_SINK, 0, A, "audio_binary_sink"},
        {RAVK_NODE_BINARY_SINK, 0, 0, "unknown_shield"},
        {RAVK_NODE_PIPELINE, 0, 0, "pipeline"},
        {0, 0, A, "unknown_shield"},
        {19, 0, V, "unknown_shield"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(ravk_node_role_name(c.type, c.kind, c.flags), c.name)
            << "type " << c.type << " kind " << std::hex << c.kind << " flags " << c.flags;
}

TEST(ElementNames, NodeFactoryNames)
{
    struct Case {
        uint32_t type, kind, flags, source_backend, filter_backend;
        const char *name;
    };
    const Case cases[] = {
        {RAVK_NODE_CAPTURE_SOURCE, 0, A, RAVK_AUDIO_BACKEND_PULSE, 0, "pulsesrc"},
        {RAVK_NODE_CAPTURE_SOURCE, 0, A, RAVK_AUDIO_BACKEND_GSTREAMER, 0, "unknown"},
        {RAVK_NODE_CAPTURE_SOURCE, 0, V, RAVK_AUDIO_BACKEND_PULSE, 0, "unknown"},  // devices make those
        {RAVK_NODE_BINARY_SOURCE, 0, 0, 0, 0, "appsrc"},
        {RAVK_NODE_QUEUE, 0, 0, 0, 0, "queue2"},
        {RAVK_NODE_LIVE_QUEUE, 0, 0, 0, 0, "queue"},
        {RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_CONVERT, A, 1, 0, "audioconvert"},
        {RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_RESAMPLE, A, 1, 0, "audioresample"},
        {RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_CONVERT, A, 7, 0, "unknown"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, V, 0, RAVK_BACKEND_D3D11, "d3d11convert"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, V, 0, RAVK_BACKEND_LIBYUV, "libyuv"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, V, 0, RAVK_BACKEND_OMX, "unknown"},
        {RAVK_NODE_FILTER, RAVK_FILTER_SCALE, A | V, 1, 13, "unknown"},  // audio first: no audio scaler
        {RAVK_NODE_TIMESTAMP, 0, V, 0, 0, "timeoverlay"},
        {RAVK_NODE_TIMESTAMP, 0, A, 0, 0, "unknown"},
        {RAVK_NODE_PARSER, 0, muxed(RAVK_CONTAINER_MPEGTS), 0, 0, "tsparse"},
        {RAVK_NODE_PARSER, 0, muxed(RAVK_CONTAINER_WEBM), 0, 0, "matroskaparse"},
        {RAVK_NODE_PARSER, 0, muxed(RAVK_CONTAINER_FLV), 0, 0, "unknown"},
        {RAVK_NODE_PARSER, 0, audio(RAVK_AUDIO_OPUS), 0, 0, "opusparse"},
        {RAVK_NODE_PARSER, 0, audio(RAVK_AUDIO_AAC), 0, 0, "unknown"},
        {RAVK_NODE_PARSER, RAVK_PARSER_H265, video(RAVK_VIDEO_H265), 0, 0, "h265parse"},
        {RAVK_NODE_PARSER, RAVK_PARSER_RAWVIDEO, V, 0, 0, "rawvideoparse"},
        {RAVK_NODE_PAYLOADER, 0, video(RAVK_VIDEO_VP9), 0, 0, "rtpvp9pay"},
        {RAVK_NODE_PAYLOADER, 0, video(RAVK_VIDEO_H264), 0, 0, "unknown"},
        {RAVK_NODE_PAYLOADER, 0, video(RAVK_VIDEO_VP8) | A, 0, 0, "unknown"},
        {RAVK_NODE_DEPAYLOADER, 0, video(RAVK_VIDEO_VP8), 0, 0, "rtpvp8depay"},
        {RAVK_NODE_MUXER, 0, muxed(RAVK_CONTAINER_WAV), 0, 0, "wavenc"},
        {RAVK_NODE_MUXER, 0, muxed(7), 0, 0, "unknown"},
        {RAVK_NODE_DEMUXER, 0, muxed(RAVK_CONTAINER_WEBM), 0, 0, "matroskademux"},
        {RAVK_NODE_DEMUXER, 0, muxed(RAVK_CONTAINER_OGG), 0, 0, "oggdemux"},
        {RAVK_NODE_PREVIEW_SINK, RAVK_SINK_PULSE, A, 0, 0, "pulsesink"},
        {RAVK_NODE_PREVIEW_SINK, RAVK_SINK_GLIMAGE, V, 0, 0, "glimagesinkelement"},
        {RAVK_NODE_PREVIEW_SINK, RAVK_SINK_AUTOVIDEO, V, 0, 0, "autovideosink"},
        {RAVK_NODE_PREVIEW_SINK, RAVK_SINK_AUTOVIDEO, A, 0, 0, "unknown"},
        {RAVK_NODE_BINARY_SINK, 0, 0, 0, 0, "appsink"},
        {RAVK_NODE_PIPELINE, 0, 0, 0, 0, "pipeline"},
        {RAVK_NODE_ENCODER, RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), 0, 0, "unknown"},  // the codec table's job
        {RAVK_NODE_DECODER, RAVK_DEC_VP8, video(RAVK_VIDEO_VP8), 0, 0, "unknown"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(ravk_node_factory_name(c.type, c.kind, c.flags, c.source_backend, c.filter_backend), c.name)
            << "type " << c.type << " kind " << std::hex << c.kind << " flags " << c.flags;
}

TEST(ElementNames, FilterFactoriesByBackend)
{
    struct Case {
        uint32_t kind, backend;
        const char *name;
    };
    const Case cases[] = {
        {RAVK_FILTER_SCALE, RAVK_BACKEND_GSTREAMER, "videoconvertscale"},
        {RAVK_FILTER_SCALE, RAVK_BACKEND_V4L2, "v4l2convert"},
        {RAVK_FILTER_CROP, RAVK_BACKEND_GL, "glvideomixerelement"},
        {RAVK_FILTER_CROP, RAVK_BACKEND_D3D11, "unknown"},
        {RAVK_FILTER_REFORM, RAVK_BACKEND_GSTREAMER, "unknown"},
        {RAVK_FILTER_LIVE_RATE, RAVK_BACKEND_GSTREAMER, "liverate"},
        {RAVK_FILTER_COLOR_CONVERT, RAVK_BACKEND_VULKAN, "vulkancolorconvert"},
        {RAVK_FILTER_COLOR_BALANCE, RAVK_BACKEND_VAAPI, "vaapipostproc"},
        {RAVK_FILTER_GL_DOWNLOAD, RAVK_BACKEND_GL, "gldownload"},
        {RAVK_FILTER_VULKAN_UPLOAD, RAVK_BACKEND_VULKAN, "vulkanupload"},
        {RAVK_FILTER_D3D11_UPLOAD, RAVK_BACKEND_D3D11, "d3d11upload"},
        {RAVK_FILTER_D3D11_UPLOAD, RAVK_BACKEND_GSTREAMER, "unknown"},
        {RAVK_FILTER_AUDIO_CONVERT, RAVK_BACKEND_GSTREAMER, "unknown"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(ravk_filter_factory_name(c.kind, c.backend), c.name) << std::hex << c.kind << " on " << c.backend;
}

CoreVideoCodecDesc video_head(int32_t device, const char *codec_name = "")
{
    CoreVideoCodecDesc head = {};
    head.device_number = device;
    snprintf(head.codec_name, sizeof(head.codec_name), "%s", codec_name);
    return head;
}

CoreAudioCodecDesc audio_head(uint32_t backend)
{
    CoreAudioCodecDesc head = {};
    head.backend = backend;
    head.device_number = -1;
    return head;
}

class CodecElementNames : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

TEST_F(CodecElementNames, StaticNamesByCodecAndId)
{
    constexpr uint32_t E = RAVK_NODE_ENCODER, D = RAVK_NODE_DECODER;
    struct Case {
        uint32_t type, id, flags;
        const char *name;
    };
    const Case cases[] = {
        {E, RAVK_ENC_X264, video(RAVK_VIDEO_H264), "x264enc"},
        {E, RAVK_ENC_VTENC_H265_HW, video(RAVK_VIDEO_H264), "vtenc_h265_hw"},  // the H.264 table knows it too
        {E, RAVK_ENC_VTENC_H265_HW, video(RAVK_VIDEO_H265), "vtenc_h265_hw"},
        {E, RAVK_ENC_X264, video(RAVK_VIDEO_H265), "unknown"},
        {E, RAVK_ENC_VP9, video(RAVK_VIDEO_VP9), "vp9enc"},
        {E, RAVK_ENC_VP9, video(RAVK_VIDEO_VP8), "unknown"},
        {E, RAVK_ENC_VAAPI_AV1, video(RAVK_VIDEO_AV1), "unknown"},
        {E, RAVK_ENC_JPEG, video(RAVK_VIDEO_MJPEG), "jpegenc"},
        {E, RAVK_ENC_VP8, video(RAVK_VIDEO_MJPEG), "unknown"},
        {E, 0, video(RAVK_VIDEO_THEORA), "theoraenc"},
        {E, RAVK_ENC_VP8, video(RAVK_VIDEO_RAW), "unknown"},
        {E, RAVK_ENC_VP8, video(9), "unknown"},
        {D, RAVK_DEC_VTDEC_HW, video(RAVK_VIDEO_H265), "vtdec_hw"},
        {D, RAVK_DEC_AV_H264, video(RAVK_VIDEO_H264), "avdec_h264"},
        {D, RAVK_DEC_V4L2_H265, video(RAVK_VIDEO_H265), "v4l2slh265dec"},
        {D, RAVK_DEC_D3D11_VP8, video(RAVK_VIDEO_VP8), "d3d11vp8dec"},
        {D, RAVK_DEC_VP9, video(RAVK_VIDEO_VP9), "vp9dec"},
        {D, RAVK_DEC_JPEG, video(RAVK_VIDEO_MJPEG), "jpegdec"},
        {D, 0, video(RAVK_VIDEO_THEORA), "theoradec"},
        {E, RAVK_AENC_OPUS, audio(RAVK_AUDIO_OPUS), "opusenc"},
        {E, RAVK_AENC_AAC, audio(RAVK_AUDIO_OPUS), "unknown"},
        {D, RAVK_ADEC_OPUS, audio(RAVK_AUDIO_OPUS), "opusdec"},
        {D, 0, audio(RAVK_AUDIO_RAW), "audioresample"},
        {D, 0, audio(RAVK_AUDIO_AAC), "avdec_aac"},
        {D, 0, audio(7), "unknown"},
        {E, RAVK_AENC_OPUS, audio(RAVK_AUDIO_OPUS) | V, "opusenc"},  // audio first
        {RAVK_NODE_PARSER, RAVK_ENC_VP8, video(RAVK_VIDEO_VP8), "unknown"},
        {E, RAVK_ENC_VP8, 0, "unknown"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(ravk_codec_factory_name(c.type, c.id, c.flags, nullptr), c.name)
            << "type " << c.type << " id " << std::hex << c.id << " flags " << c.flags;
}

// Audio encoders other than Opus are known only on the generic backend;
// decoders on any.
TEST_F(CodecElementNames, AudioEncodersNeedTheGenericBackend)
{
    CoreAudioCodecDesc wasapi2 = audio_head(RAVK_AUDIO_BACKEND_WASAPI2);
    CoreAudioCodecDesc generic = audio_head(RAVK_AUDIO_BACKEND_GSTREAMER);
    const uint32_t alaw = audio(RAVK_AUDIO_ALAW);
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_AENC_ALAW, alaw, &wasapi2), "unknown");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_AENC_ALAW, alaw, nullptr), "unknown");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_AENC_ALAW, alaw, &generic), "alawenc");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_DECODER, RAVK_ADEC_ALAW, alaw, &wasapi2), "alawdec");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, 0, audio(RAVK_AUDIO_AAC), &generic), "avenc_aac");
}

// Numbered and Android names are composed into the descriptor, which is
// then the answer.
TEST_F(CodecElementNames, ComposedNamesLandInTheDescriptor)
{
    CoreVideoCodecDesc device2 = video_head(2);
    const char *name = ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_MF_H264_DEVICE, video(RAVK_VIDEO_H264),
                                               &device2);
    EXPECT_EQ(name, device2.element_name);
    EXPECT_STREQ(name, "mfh264device2enc");
    CoreVideoCodecDesc device7 = video_head(7);
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_MF_VP9_DEVICE, video(RAVK_VIDEO_VP9), &device7),
                 "mfvp9device7enc");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_MF_H264_DEVICE, video(RAVK_VIDEO_H264), nullptr),
                 "unknown");

    // No Android factory exists here: video names fall to "unknown", the
    // Opus ones to the generic element; stale text is cleared first.
    CoreVideoCodecDesc amc = video_head(-1, "OMX.google.vp8.encoder");
    snprintf(amc.element_name, sizeof(amc.element_name), "%s", "stale-name-that-is-long");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_AMC_VP8, video(RAVK_VIDEO_VP8), &amc), "unknown");
    EXPECT_STREQ(amc.element_name, "unknown");
    EXPECT_EQ(amc.element_name[10], '\0');
    EXPECT_STREQ(ravk_amc_decoder_name(&amc), "unknown");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_DECODER, RAVK_DEC_AMC_VP8, video(RAVK_VIDEO_VP8), nullptr),
                 "unknown");
    CoreAudioCodecDesc amc_opus = audio_head(RAVK_AUDIO_BACKEND_ANDROID);
    snprintf(amc_opus.codec_name, sizeof(amc_opus.codec_name), "%s", "c2.android.opus.encoder");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_AENC_AMC_OPUS, audio(RAVK_AUDIO_OPUS), &amc_opus),
                 "opusenc");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_DECODER, RAVK_ADEC_AMC_OPUS, audio(RAVK_AUDIO_OPUS), &amc_opus),
                 "opusdec");
}

// When the composed Android factory exists, its name is the answer.
TEST_F(CodecElementNames, AndroidNameWhenTheFactoryExists)
{
    // Any element type serves: only the factory's name is looked up.
    ASSERT_TRUE(gst_element_register(nullptr, "amcvidenc-fakecodec", GST_RANK_NONE, GST_TYPE_BIN));
    CoreVideoCodecDesc amc = video_head(-1, "fakecodec");
    EXPECT_STREQ(ravk_amc_encoder_name(&amc), "amcvidenc-fakecodec");
    EXPECT_STREQ(ravk_codec_factory_name(RAVK_NODE_ENCODER, RAVK_ENC_AMC_H265, video(RAVK_VIDEO_H265), &amc),
                 "amcvidenc-fakecodec");
    EXPECT_STREQ(ravk_amc_decoder_name(&amc), "unknown");
}

TEST(ElementNames, SourceFactories)
{
    struct Case {
        bool video;
        uint32_t backend, variant;
        const char *name;
    };
    const Case cases[] = {
        {false, RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_SOURCE_VARIANT_TEST, "audiotestsrc"},
        {false, RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_SOURCE_VARIANT_DEVICE, "unknown.audio.plugin"},
        {false, RAVK_AUDIO_BACKEND_PULSE, RAVK_SOURCE_VARIANT_DEVICE, "pulsesrc"},
        {false, RAVK_AUDIO_BACKEND_OPENSLES, RAVK_SOURCE_VARIANT_DEVICE, "unknown.audio.plugin"},
        {true, RAVK_BACKEND_GSTREAMER, RAVK_SOURCE_VARIANT_APP, "appsrc"},
        {true, RAVK_BACKEND_GSTREAMER, RAVK_SOURCE_VARIANT_TEST, "videotestsrc"},
        {true, RAVK_BACKEND_GSTREAMER, RAVK_SOURCE_VARIANT_DEVICE, "unknown.video.plugin"},
        {true, RAVK_BACKEND_X11, RAVK_SOURCE_VARIANT_DEVICE, "ximagesrc"},
        {true, RAVK_BACKEND_D3D11, RAVK_SOURCE_VARIANT_DEVICE, "d3d11screencapturesrc"},
        {true, RAVK_BACKEND_D3D11, RAVK_SOURCE_VARIANT_TEST, "d3d11testsrc"},
        {true, RAVK_BACKEND_D3D11, RAVK_SOURCE_VARIANT_APP, "unknown.video.plugin"},
        {true, RAVK_BACKEND_PIPEWIRE, RAVK_SOURCE_VARIANT_DEVICE, "pipewiresrc"},
        {true, RAVK_BACKEND_VAAPI, RAVK_SOURCE_VARIANT_DEVICE, "unknown.video.plugin"},
    };
    for (const Case &c : cases) {
        const char *name = c.video ? ravk_video_source_factory_name(c.backend, c.variant)
                                   : ravk_audio_source_factory_name(c.backend, c.variant);
        EXPECT_STREQ(name, c.name) << (c.video ? "video " : "audio ") << c.backend << " variant " << c.variant;
    }
}

TEST(ElementNames, CapsNames)
{
    auto caps = [](uint32_t flags) {
        const char *type = ravk_media_type_name(flags);
        const char *subtype = ravk_media_subtype_name(flags);
        return std::string(type ? type : "-") + "/" + (subtype ? subtype : "-");
    };
    EXPECT_EQ(caps(video(RAVK_VIDEO_H264)), "video/x-h264");
    EXPECT_EQ(caps(video(RAVK_VIDEO_MJPEG)), "image/jpeg");
    EXPECT_EQ(caps(video(RAVK_VIDEO_THEORA)), "video/x-theora");
    EXPECT_EQ(caps(audio(RAVK_AUDIO_MULAW)), "audio/x-ulaw");
    EXPECT_EQ(caps(audio(RAVK_AUDIO_AAC)), "audio/mpeg");
    EXPECT_EQ(caps(audio(RAVK_AUDIO_OPUS) | video(RAVK_VIDEO_VP8)), "audio/x-opus");  // audio first
    EXPECT_EQ(caps(video(9)), "-/-");
    EXPECT_EQ(caps(video(0)), "-/-");
    EXPECT_EQ(caps(RAVK_VIDEO_H264 << 16), "-/x-h264");  // a bare codec id has no media bit
}

// ---- every element the tables name ------------------------------------------------

// Elements that only other platforms have (Windows, macOS, Android,
// embedded boards), or that need hardware or plug-in packages this machine
// lacks (VA-API, Intel Media SDK, V4L2 codec devices, OpenGL, PipeWire).
const std::set<std::string> kElsewhere = {
    // Windows
    "d3d11convert", "d3d11download", "d3d11upload", "d3d11videosink", "d3d11screencapturesrc", "d3d11testsrc",
    "d3d11h264dec", "d3d11h265dec", "d3d11vp8dec", "d3d11vp9dec", "d3dvideosink", "dx9screencapsrc",
    "directsoundsink", "wasapisrc", "wasapi2src", "wasapisink", "wasapi2sink", "mfh264enc", "mfh265enc", "mfvp8enc",
    "mfvp9enc", "mfh264device1enc", "mfh265device1enc", "mfvp8device1enc", "mfvp9device1enc",
    // macOS
    "avfvideosrc", "osxaudiosrc", "osxaudiosink", "osxvideosink", "vtenc_h264", "vtenc_h264_hw", "vtenc_h265",
    "vtenc_h265_hw", "vtdec", "vtdec_hw",
    // Android and embedded boards
    "openslessink", "omxh264enc", "omxh264dec",
    // hardware or plug-in packages not on this machine
    "vaapih264enc", "vaapih265enc", "vaapivp8enc", "vaapivp9enc", "vaapih264dec", "vaapih265dec", "vaapivp8dec",
    "vaapivp9dec", "vaapipostproc", "vaapisink", "msdkh264enc", "msdkh265enc", "msdkh264dec", "msdkh265dec",
    "v4l2h264enc", "v4l2h264dec", "v4l2slh265dec", "v4l2convert", "gltransformation", "glcolorscale",
    "glvideomixerelement", "glvideoflip", "gloverlay", "glshader", "glcolorconvert", "glcolorbalance", "glupload",
    "gldownload", "glimagesinkelement", "pipewiresrc", "pipewiresink",
};

std::set<std::string> every_named_factory()
{
    static const uint32_t kKinds[] = {
        0, 0x3001, 0x3002, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007, 0x4008, 0x7001, 0x7002,
        0x7003, 0x7004, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006, 0x8007, 0x8008, 0x8009, 0x800A, 0x800B,
        0x9001, 0x9002, 0x9101, 0x9102, 0x9201, 0x9202, 0xA001, 0xA002, 0xA003, 0xA004, 0xA005, 0xA006, 0xA007,
        0xA008, 0xA009, 0xA00A, 0xA00B, 0xA00C, 0xA00D, 0xA00E,
    };
    std::set<uint32_t> flag_words = {0, A, V, A | V, M};
    for (uint32_t c = 0; c <= 9; ++c) {
        flag_words.insert(audio(c));
        flag_words.insert(video(c));
        flag_words.insert(muxed(c));
    }
    std::set<std::string> names;
    auto keep = [&](const char *name) {
        if (name != nullptr && strncmp(name, "unknown", 7) != 0) names.insert(name);
    };
    for (uint32_t type = 0; type <= 19; ++type)
        for (uint32_t kind : kKinds)
            for (uint32_t flags : flag_words)
                for (uint32_t backend = 0; backend <= 30; ++backend)
                    keep(ravk_node_factory_name(type, kind, flags, backend, backend));
    for (uint32_t backend = 0; backend <= 30; ++backend) {
        for (uint32_t variant = 0; variant <= 3; ++variant) {
            keep(ravk_audio_source_factory_name(backend, variant));
            keep(ravk_video_source_factory_name(backend, variant));
        }
    }
    for (uint32_t type : {RAVK_NODE_ENCODER, RAVK_NODE_DECODER}) {
        for (uint32_t base : {0x1000u, 0x2000u, 0x5000u, 0x6000u}) {
            for (uint32_t id = base; id <= base + 0x20; ++id) {
                for (uint32_t flags : flag_words) {
                    CoreVideoCodecDesc video_desc = video_head(1, "codec");
                    video_desc.backend = 1;
                    CoreAudioCodecDesc audio_desc = audio_head(1);
                    keep(ravk_codec_factory_name(type, id, flags, (flags & A) ? static_cast<void *>(&audio_desc)
                                                                              : static_cast<void *>(&video_desc)));
                }
            }
        }
    }
    return names;
}

TEST_F(CodecElementNames, EveryNamedElementExistsHereOrBelongsElsewhere)
{
    const std::set<std::string> names = every_named_factory();
    EXPECT_GE(names.size(), 140u);  // the walk reached the tables
    for (const std::string &name : names) {
        GstElementFactory *factory = gst_element_factory_find(name.c_str());
        const bool here = factory != nullptr;
        if (factory != nullptr) gst_object_unref(factory);
        if (kElsewhere.count(name) != 0) {
            // An element listed as missing that is here after all (a new
            // package, a device) is fine; it just needs no listing.
            continue;
        }
        EXPECT_TRUE(here) << name << " is neither on this machine nor listed as another platform's";
    }
    for (const std::string &name : kElsewhere)
        EXPECT_EQ(names.count(name), 1u) << name << " is listed but no table names it";
}

// ---- feature values ---------------------------------------------------------------

class FeatureValues : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override { core_system_stop(); }

    static void put(const char *key, uint32_t index, const void *data, uint64_t size)
    {
        ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), key, index, 1, data, size), 0);
    }
};

TEST_F(FeatureValues, FirstWordOrNothing)
{
    const uint32_t pair[2] = {0x11223344, 0x55667788};
    const uint16_t half = 0xBEEF;
    put("frmwrk.aud.ftrs", 0, pair, sizeof(pair));
    put("frmwrk.aud.ftrs", 1, &half, sizeof(half));
    put("frmwrk.aud.ftrs", 2, nullptr, 0);
    EXPECT_EQ(ravk_feature_value("frmwrk.aud.ftrs", 0), 0x11223344u);
    EXPECT_EQ(ravk_feature_value("frmwrk.aud.ftrs", 1), 0xBEEFu);  // short values are zero-extended
    EXPECT_EQ(ravk_feature_value("frmwrk.aud.ftrs", 2), 0u);       // present but empty
    EXPECT_EQ(ravk_feature_value("frmwrk.aud.ftrs", 3), 0u);       // missing
    EXPECT_EQ(ravk_feature_value(nullptr, 0), 0u);
}

TEST_F(FeatureValues, VideoFeatureNeedsExactlyFourBytes)
{
    const uint32_t word = 0x00000105;
    const uint64_t wide = 0x0000000100000105ull;
    const uint16_t narrow = 0x0105;
    put("frmwrk.vid.ftrs", 0, &word, sizeof(word));
    put("frmwrk.vid.ftrs", 1, &wide, sizeof(wide));
    put("frmwrk.vid.ftrs", 2, &narrow, sizeof(narrow));
    EXPECT_EQ(ravk_video_feature(0), 0x105u);
    EXPECT_EQ(ravk_video_feature(1), RAVK_VIDEO_FEATURE_NONE);
    EXPECT_EQ(ravk_video_feature(2), RAVK_VIDEO_FEATURE_NONE);
    EXPECT_EQ(ravk_video_feature(3), RAVK_VIDEO_FEATURE_NONE);
}

TEST(FeatureValuesStopped, NoRuntimeNoValues)
{
    EXPECT_EQ(ravk_feature_value("frmwrk.vid.ftrs", 0), 0u);
    EXPECT_EQ(ravk_video_feature(0), RAVK_VIDEO_FEATURE_NONE);
}

}  // namespace
