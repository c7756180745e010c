#include "ravelkit/elements.h"

#include <gst/gst.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/values.h"
#include "ravelkit/codecs.h"

namespace {

const char *const kUnknown = RAVK_UNKNOWN_ELEMENT;
const char *const kUnknownNode = "unknown_shield";

struct IdName {
    uint32_t id;
    const char *name;
};

template <size_t N>
const char *lookup(const IdName (&table)[N], uint32_t id, const char *otherwise = kUnknown)
{
    for (const IdName &row : table)
        if (row.id == id) return row.name;
    return otherwise;
}

bool has_audio(RavkMediaFlags flags) { return (flags & RAVK_MEDIA_AUDIO) != 0; }
bool has_video(RavkMediaFlags flags) { return (flags & RAVK_MEDIA_VIDEO) != 0; }
bool is_muxed(RavkMediaFlags flags) { return (flags & RAVK_MEDIA_MUXED) != 0; }

// Node names of the filter and memory-transfer kinds of video filter nodes.
const IdName kVideoFilterNodeNames[] = {
    {RAVK_FILTER_REFORM, "video_reform"},
    {RAVK_FILTER_PADDING, "video_padding"},
    {RAVK_FILTER_SCALE, "video_scale"},
    {RAVK_FILTER_CROP, "video_crop"},
    {RAVK_FILTER_FLIP, "video_flip"},
    {RAVK_FILTER_OVERLAY, "video_overlay"},
    {RAVK_FILTER_SHADER, "video_shader"},
    {RAVK_FILTER_RATE, "video_rate"},
    {RAVK_FILTER_LIVE_RATE, "video_live_rate"},
    {RAVK_FILTER_COLOR_CONVERT, "video_color_convert"},
    {RAVK_FILTER_COLOR_BALANCE, "video_color_balance"},
    {RAVK_FILTER_GL_UPLOAD, "video_glupload"},
    {RAVK_FILTER_GL_DOWNLOAD, "video_gldownload"},
    {RAVK_FILTER_VULKAN_UPLOAD, "video_vulkanupload"},
    {RAVK_FILTER_VULKAN_DOWNLOAD, "video_vulkandownload"},
    {RAVK_FILTER_D3D11_UPLOAD, "video_d3d11upload"},
    {RAVK_FILTER_D3D11_DOWNLOAD, "video_d3d11download"},
};

const IdName kAudioFilterNodeNames[] = {
    {RAVK_FILTER_AUDIO_CONVERT, "audio_convert"},
    {RAVK_FILTER_AUDIO_RESAMPLE, "audio_resample"},
};

// Picks the audio, video or muxed variant of a node name; the audio test
// comes first wherever both bits are set, except for roles with a muxed
// name, which need both.
const char *by_media(RavkMediaFlags flags, const char *muxed, const char *audio, const char *video)
{
    if (muxed != nullptr && has_audio(flags) && has_video(flags)) return muxed;
    if (has_audio(flags)) return audio;
    if (has_video(flags) && video != nullptr) return video;
    return kUnknownNode;
}

const IdName kAudioSinks[] = {
    {RAVK_SINK_AUTOAUDIO, "autoaudiosink"},   {RAVK_SINK_PULSE, "pulsesink"},
    {RAVK_SINK_PIPEWIRE_AUDIO, "pipewiresink"}, {RAVK_SINK_OSXAUDIO, "osxaudiosink"},
    {RAVK_SINK_OPENSLES, "openslessink"},     {RAVK_SINK_WASAPI, "wasapisink"},
    {RAVK_SINK_WASAPI2, "wasapi2sink"},       {RAVK_SINK_DIRECTSOUND, "directsoundsink"},
};

const IdName kVideoSinks[] = {
    {RAVK_SINK_GLIMAGE, "glimagesinkelement"}, {RAVK_SINK_VULKAN, "vulkansink"},
    {RAVK_SINK_VAAPI, "vaapisink"},            {RAVK_SINK_OSXVIDEO, "osxvideosink"},
    {RAVK_SINK_D3DVIDEO, "d3dvideosink"},      {RAVK_SINK_D3D11VIDEO, "d3d11videosink"},
    {RAVK_SINK_X11_IMAGE, "ximagesink"},       {RAVK_SINK_XV_IMAGE, "xvimagesink"},
    {RAVK_SINK_WAYLAND, "waylandsink"},        {RAVK_SINK_GTKWAYLAND, "gtkwaylandsink"},
    {RAVK_SINK_V4L2, "v4l2sink"},              {RAVK_SINK_TCPCLIENT, "tcpclientsink"},
    {RAVK_SINK_FAKE, "fakesink"},              {RAVK_SINK_AUTOVIDEO, "autovideosink"},
};

const IdName kMuxers[] = {
    {RAVK_CONTAINER_MPEGTS, "mpegtsmux"}, {RAVK_CONTAINER_FLV, "flvmux"},  {RAVK_CONTAINER_MATROSKA, "matroskamux"},
    {RAVK_CONTAINER_WEBM, "webmmux"},     {RAVK_CONTAINER_OGG, "oggmux"},  {RAVK_CONTAINER_WAV, "wavenc"},
};

const IdName kDemuxers[] = {
    {RAVK_CONTAINER_MPEGTS, "tsdemux"},         {RAVK_CONTAINER_FLV, "flvdemux"},
    {RAVK_CONTAINER_MATROSKA, "matroskademux"}, {RAVK_CONTAINER_WEBM, "matroskademux"},
    {RAVK_CONTAINER_OGG, "oggdemux"},           {RAVK_CONTAINER_WAV, "wavparse"},
};

const IdName kVideoParsers[] = {
    {RAVK_PARSER_RAWVIDEO, "rawvideoparse"},
    {RAVK_PARSER_H264, "h264parse"},
    {RAVK_PARSER_H265, "h265parse"},
    {RAVK_PARSER_VP9, "vp9parse"},
};

// One row per filter kind; a column per backend that has filters.
struct FilterRow {
    uint32_t kind;
    const char *generic, *gl, *vaapi, *vulkan, *v4l2, *libyuv, *d3d11;
};

const FilterRow kFilters[] = {
    {RAVK_FILTER_REFORM, nullptr, "gltransformation", nullptr, nullptr, nullptr, nullptr, "d3d11convert"},
    {RAVK_FILTER_PADDING, "videobox", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_SCALE, "videoconvertscale", "glcolorscale", "vaapipostproc", nullptr, "v4l2convert", "libyuv",
     "d3d11convert"},
    {RAVK_FILTER_CROP, "videocrop", "glvideomixerelement", nullptr, nullptr, nullptr, "libyuv", nullptr},
    {RAVK_FILTER_FLIP, "videoflip", "glvideoflip", "vaapipostproc", nullptr, nullptr, "libyuv", "d3d11convert"},
    {RAVK_FILTER_OVERLAY, nullptr, "gloverlay", nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_SHADER, nullptr, "glshader", nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_RATE, "videorate", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_LIVE_RATE, "liverate", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_COLOR_CONVERT, "videoconvertscale", "glcolorconvert", "vaapipostproc", "vulkancolorconvert",
     "v4l2convert", "libyuv", "d3d11convert"},
    {RAVK_FILTER_COLOR_BALANCE, "videobalance", "glcolorbalance", "vaapipostproc", nullptr, nullptr, nullptr,
     nullptr},
    {RAVK_FILTER_GL_UPLOAD, nullptr, "glupload", nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_GL_DOWNLOAD, nullptr, "gldownload", nullptr, nullptr, nullptr, nullptr, nullptr},
    {RAVK_FILTER_VULKAN_UPLOAD, nullptr, nullptr, nullptr, "vulkanupload", nullptr, nullptr, nullptr},
    {RAVK_FILTER_VULKAN_DOWNLOAD, nullptr, nullptr, nullptr, "vulkandownload", nullptr, nullptr, nullptr},
    {RAVK_FILTER_D3D11_UPLOAD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "d3d11upload"},
    {RAVK_FILTER_D3D11_DOWNLOAD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "d3d11download"},
};

// ---- codec elements ---------------------------------------------------------------

// A name to compose into the descriptor ("%s" with the device number or
// the codec name) instead of a static element.
enum Compose { kStatic, kNumbered, kAndroid };

struct CodecName {
    uint32_t id;
    const char *name;
    Compose compose;
};

const CodecName kH264Encoders[] = {
    {RAVK_ENC_VTENC_H264_HW, "vtenc_h264_hw", kStatic},
    {RAVK_ENC_VTENC_H264, "vtenc_h264", kStatic},
    {RAVK_ENC_VTENC_H265_HW, "vtenc_h265_hw", kStatic},
    {RAVK_ENC_VTENC_H265, "vtenc_h265", kStatic},
    {RAVK_ENC_AMC_H264, "amcvidenc", kAndroid},
    {RAVK_ENC_MF_H264_DEVICE, "mfh264device%denc", kNumbered},
    {RAVK_ENC_MF_H264, "mfh264enc", kStatic},
    {RAVK_ENC_V4L2_H264, "v4l2h264enc", kStatic},
    {RAVK_ENC_MSDK_H264, "msdkh264enc", kStatic},
    {RAVK_ENC_VAAPI_H264, "vaapih264enc", kStatic},
    {RAVK_ENC_OMX_H264, "omxh264enc", kStatic},
    {RAVK_ENC_OPENH264, "openh264enc", kStatic},
    {RAVK_ENC_X264, "x264enc", kStatic},
};

const CodecName kH265Encoders[] = {
    {RAVK_ENC_VTENC_H265_HW, "vtenc_h265_hw", kStatic},
    {RAVK_ENC_VTENC_H265, "vtenc_h265", kStatic},
    {RAVK_ENC_AMC_H265, "amcvidenc", kAndroid},
    {RAVK_ENC_MF_H265_DEVICE, "mfh265device%denc", kNumbered},
    {RAVK_ENC_MF_H265, "mfh265enc", kStatic},
    {RAVK_ENC_MSDK_H265, "msdkh265enc", kStatic},
    {RAVK_ENC_VAAPI_H265, "vaapih265enc", kStatic},
};

const CodecName kVp8Encoders[] = {
    {RAVK_ENC_AMC_VP8, "amcvidenc", kAndroid},
    {RAVK_ENC_MF_VP8_DEVICE, "mfvp8device%denc", kNumbered},
    {RAVK_ENC_MF_VP8, "mfvp8enc", kStatic},
    {RAVK_ENC_VAAPI_VP8, "vaapivp8enc", kStatic},
    {RAVK_ENC_VP8, "vp8enc", kStatic},
};

const CodecName kVp9Encoders[] = {
    {RAVK_ENC_AMC_VP9, "amcvidenc", kAndroid},
    {RAVK_ENC_MF_VP9_DEVICE, "mfvp9device%denc", kNumbered},
    {RAVK_ENC_MF_VP9, "mfvp9enc", kStatic},
    {RAVK_ENC_VAAPI_VP9, "vaapivp9enc", kStatic},
    {RAVK_ENC_VP9, "vp9enc", kStatic},
};

const CodecName kMjpegEncoders[] = {{RAVK_ENC_JPEG, "jpegenc", kStatic}};

const CodecName kH264Decoders[] = {
    {RAVK_DEC_VTDEC_HW, "vtdec_hw", kStatic},
    {RAVK_DEC_VTDEC, "vtdec", kStatic},
    {RAVK_DEC_AMC_H264, "amcviddec", kAndroid},
    {RAVK_DEC_V4L2_H264, "v4l2h264dec", kStatic},
    {RAVK_DEC_MSDK_H264, "msdkh264dec", kStatic},
    {RAVK_DEC_VAAPI_H264, "vaapih264dec", kStatic},
    {RAVK_DEC_OMX_H264, "omxh264dec", kStatic},
    {RAVK_DEC_OPENH264, "openh264dec", kStatic},
    {RAVK_DEC_AV_H264, "avdec_h264", kStatic},
    {RAVK_DEC_D3D11_H264, "d3d11h264dec", kStatic},
};

const CodecName kH265Decoders[] = {
    {RAVK_DEC_VTDEC_HW, "vtdec_hw", kStatic},
    {RAVK_DEC_VTDEC, "vtdec", kStatic},
    {RAVK_DEC_AMC_H265, "amcviddec", kAndroid},
    {RAVK_DEC_V4L2_H265, "v4l2slh265dec", kStatic},
    {RAVK_DEC_MSDK_H265, "msdkh265dec", kStatic},
    {RAVK_DEC_VAAPI_H265, "vaapih265dec", kStatic},
    {RAVK_DEC_AV_H265, "avdec_h265", kStatic},
    {RAVK_DEC_D3D11_H265, "d3d11h265dec", kStatic},
};

const CodecName kVp8Decoders[] = {
    {RAVK_DEC_AMC_VP8, "amcviddec", kAndroid},
    {RAVK_DEC_VAAPI_VP8, "vaapivp8dec", kStatic},
    {RAVK_DEC_D3D11_VP8, "d3d11vp8dec", kStatic},
    {RAVK_DEC_VP8, "vp8dec", kStatic},
};

const CodecName kVp9Decoders[] = {
    {RAVK_DEC_AMC_VP9, "amcviddec", kAndroid},
    {RAVK_DEC_VAAPI_VP9, "vaapivp9dec", kStatic},
    {RAVK_DEC_D3D11_VP9, "d3d11vp9dec", kStatic},
    {RAVK_DEC_VP9, "vp9dec", kStatic},
};

const CodecName kMjpegDecoders[] = {{RAVK_DEC_JPEG, "jpegdec", kStatic}};

const CodecName kTheoraEncoders[] = {{0, "theoraenc", kStatic}};
const CodecName kTheoraDecoders[] = {{0, "theoradec", kStatic}};

struct CodecTable {
    const CodecName *rows;
    size_t count;
    bool any_id;  // Theora: one element whatever the id
};

template <size_t N>
constexpr CodecTable table_of(const CodecName (&rows)[N], bool any_id = false)
{
    return {rows, N, any_id};
}

CodecTable video_codec_table(uint32_t type, uint32_t codec)
{
    const bool encoder = type == RAVK_NODE_ENCODER;
    switch (codec) {
    case RAVK_VIDEO_H264: return encoder ? table_of(kH264Encoders) : table_of(kH264Decoders);
    case RAVK_VIDEO_H265: return encoder ? table_of(kH265Encoders) : table_of(kH265Decoders);
    case RAVK_VIDEO_VP8: return encoder ? table_of(kVp8Encoders) : table_of(kVp8Decoders);
    case RAVK_VIDEO_VP9: return encoder ? table_of(kVp9Encoders) : table_of(kVp9Decoders);
    case RAVK_VIDEO_MJPEG: return encoder ? table_of(kMjpegEncoders) : table_of(kMjpegDecoders);
    case RAVK_VIDEO_THEORA: return encoder ? table_of(kTheoraEncoders, true) : table_of(kTheoraDecoders, true);
    default: return {nullptr, 0, false};  // raw, AV1 and out of range
    }
}

// "<prefix>-<codec name>" into the element-name text when GStreamer has
// that factory, else the fallback.
const char *compose_android(const char *prefix, const char *codec_name, char *element_name, const char *fallback)
{
    memset(element_name, 0, CORE_CODEC_TEXT_SIZE);
    char composed[CORE_CODEC_TEXT_SIZE];
    const int length = snprintf(composed, sizeof(composed), "%s-%s", prefix, codec_name);
    // A cut name would ask the registry for some other element. Before
    // GStreamer is up there is no registry to ask, and so no factory.
    const bool whole = length > 0 && static_cast<size_t>(length) < sizeof(composed);
    GstElementFactory *factory = whole && gst_is_initialized() ? gst_element_factory_find(composed) : nullptr;
    if (factory != nullptr) {
        snprintf(element_name, CORE_CODEC_TEXT_SIZE, "%s", composed);
        gst_object_unref(factory);
    } else {
        snprintf(element_name, CORE_CODEC_TEXT_SIZE, "%s", fallback);
    }
    return element_name;
}

const char *video_codec_factory(uint32_t type, uint32_t id, uint32_t codec, CoreVideoCodecDesc *head)
{
    const CodecTable table = video_codec_table(type, codec);
    for (size_t i = 0; i < table.count; ++i) {
        const CodecName &row = table.rows[i];
        if (!table.any_id && row.id != id) continue;
        switch (row.compose) {
        case kStatic: return row.name;
        case kNumbered:
            if (head == nullptr) return kUnknown;
            snprintf(head->element_name, sizeof(head->element_name), row.name, head->device_number);
            return head->element_name;
        case kAndroid:
            if (head == nullptr) return kUnknown;
            return compose_android(row.name, head->codec_name, head->element_name, kUnknown);
        }
    }
    return kUnknown;
}

const char *audio_codec_factory(uint32_t type, uint32_t id, uint32_t codec, CoreAudioCodecDesc *head)
{
    const bool encoder = type == RAVK_NODE_ENCODER;
    if (codec == RAVK_AUDIO_OPUS) {
        const char *generic = encoder ? "opusenc" : "opusdec";
        if (id == (encoder ? RAVK_AENC_OPUS : RAVK_ADEC_OPUS)) return generic;
        if (id != (encoder ? RAVK_AENC_AMC_OPUS : RAVK_ADEC_AMC_OPUS)) return kUnknown;
        if (head == nullptr) return generic;
        return compose_android(encoder ? "amcaudenc" : "amcauddec", head->codec_name, head->element_name, generic);
    }
    static const IdName kEncoders[] = {
        {RAVK_AUDIO_ALAW, "alawenc"},
        {RAVK_AUDIO_MULAW, "mulawenc"},
        {RAVK_AUDIO_VORBIS, "vorbisenc"},
        {RAVK_AUDIO_AAC, "avenc_aac"},
    };
    static const IdName kDecoders[] = {
        {RAVK_AUDIO_ALAW, "alawdec"},
        {RAVK_AUDIO_MULAW, "mulawdec"},
        {RAVK_AUDIO_VORBIS, "vorbisdec"},
        {RAVK_AUDIO_AAC, "avdec_aac"},
    };
    if (codec == RAVK_AUDIO_RAW) return "audioresample";
    if (!encoder) return lookup(kDecoders, codec);
    // Encoders are only known for the generic backend; decoders take any.
    if (head == nullptr || static_cast<uint32_t>(head->backend) != RAVK_AUDIO_BACKEND_GSTREAMER) return kUnknown;
    return lookup(kEncoders, codec);
}

}  // namespace

const char *ravk_node_role_name(uint32_t type, uint32_t kind, RavkMediaFlags flags)
{
    switch (type) {
    case RAVK_NODE_CAPTURE_SOURCE: return by_media(flags, nullptr, "audio_source_capture", "video_source_capture");
    case RAVK_NODE_BINARY_SOURCE:
        return by_media(flags, "muxed_source_binary", "audio_source_binary", "video_source_binary");
    case RAVK_NODE_TEE: return by_media(flags, nullptr, "audio_tee", "video_tee");
    case RAVK_NODE_QUEUE: return by_media(flags, "muxed_queue", "audio_queue", "video_queue");
    case RAVK_NODE_LIVE_QUEUE: return by_media(flags, "muxed_live_queue", "audio_live_queue", "video_live_queue");
    case RAVK_NODE_FILTER:
        if (has_audio(flags)) return lookup(kAudioFilterNodeNames, kind);
        if (has_video(flags)) return lookup(kVideoFilterNodeNames, kind);
        return kUnknownNode;
    case RAVK_NODE_TIMESTAMP: return has_video(flags) ? "video_timestamp" : kUnknownNode;
    case RAVK_NODE_CAPSFILTER: return "capsfilter";
    case RAVK_NODE_ENCODER: return by_media(flags, nullptr, "audio_encoder", "video_encoder");
    case RAVK_NODE_DECODER: return by_media(flags, nullptr, "audio_decoder", "video_decoder");
    case RAVK_NODE_PARSER: return by_media(flags, nullptr, "audio_parser", "video_parser");
    case RAVK_NODE_PAYLOADER: return by_media(flags, nullptr, "audio_payloader", "video_payloader");
    case RAVK_NODE_DEPAYLOADER: return by_media(flags, nullptr, "audio_depayloader", "video_depayloader");
    case RAVK_NODE_MUXER: return "muxer";
    case RAVK_NODE_DEMUXER: return "demuxer";
    case RAVK_NODE_PREVIEW_SINK: return by_media(flags, nullptr, "audio_preview_sink", "video_preview_sink");
    case RAVK_NODE_BINARY_SINK:
        if (is_muxed(flags)) return "binary_sink";
        return by_media(flags, nullptr, "audio_binary_sink", "video_binary_sink");
    case RAVK_NODE_PIPELINE: return "pipeline";
    default: return kUnknownNode;
    }
}

const char *ravk_node_factory_name(uint32_t type, uint32_t kind, RavkMediaFlags flags, uint32_t source_backend,
                                   uint32_t video_filter_backend)
{
    switch (type) {
    case RAVK_NODE_CAPTURE_SOURCE: {
        // Video capture sources come from the devices' source descriptors.
        if (!has_audio(flags)) return kUnknown;
        static const IdName kAudioCapture[] = {
            {RAVK_AUDIO_BACKEND_WASAPI, "wasapisrc"},
            {RAVK_AUDIO_BACKEND_WASAPI2, "wasapi2src"},
            {RAVK_AUDIO_BACKEND_PULSE, "pulsesrc"},
            {RAVK_AUDIO_BACKEND_PIPEWIRE, "pipewiresrc"},
        };
        return lookup(kAudioCapture, source_backend);
    }
    case RAVK_NODE_BINARY_SOURCE: return "appsrc";
    case RAVK_NODE_TEE: return "tee";
    case RAVK_NODE_QUEUE: return "queue2";
    case RAVK_NODE_LIVE_QUEUE: return "queue";
    case RAVK_NODE_FILTER:
        if (has_audio(flags)) {
            if (source_backend != RAVK_AUDIO_BACKEND_GSTREAMER) return kUnknown;
            if (kind == RAVK_FILTER_AUDIO_CONVERT) return "audioconvert";
            if (kind == RAVK_FILTER_AUDIO_RESAMPLE) return "audioresample";
            return kUnknown;
        }
        if (has_video(flags)) return ravk_filter_factory_name(kind, video_filter_backend);
        return kUnknown;
    case RAVK_NODE_TIMESTAMP: return has_video(flags) ? "timeoverlay" : kUnknown;
    case RAVK_NODE_CAPSFILTER: return "capsfilter";
    case RAVK_NODE_PARSER:
        if (is_muxed(flags)) {
            const uint32_t container = ravk_media_container(flags);
            if (container == RAVK_CONTAINER_MPEGTS) return "tsparse";
            if (container == RAVK_CONTAINER_MATROSKA || container == RAVK_CONTAINER_WEBM) return "matroskaparse";
            return kUnknown;
        }
        if (has_audio(flags)) return ravk_media_audio_codec(flags) == RAVK_AUDIO_OPUS ? "opusparse" : kUnknown;
        if (has_video(flags)) return lookup(kVideoParsers, kind);
        return kUnknown;
    case RAVK_NODE_PAYLOADER:
    case RAVK_NODE_DEPAYLOADER: {
        if (has_audio(flags) || !has_video(flags)) return kUnknown;
        const bool pay = type == RAVK_NODE_PAYLOADER;
        switch (ravk_media_video_codec(flags)) {
        case RAVK_VIDEO_VP8: return pay ? "rtpvp8pay" : "rtpvp8depay";
        case RAVK_VIDEO_VP9: return pay ? "rtpvp9pay" : "rtpvp9depay";
        default: return kUnknown;
        }
    }
    case RAVK_NODE_MUXER: return lookup(kMuxers, ravk_media_container(flags));
    case RAVK_NODE_DEMUXER: return lookup(kDemuxers, ravk_media_container(flags));
    case RAVK_NODE_PREVIEW_SINK:
        if (has_audio(flags)) return lookup(kAudioSinks, kind);
        if (has_video(flags)) return lookup(kVideoSinks, kind);
        return kUnknown;
    case RAVK_NODE_BINARY_SINK: return "appsink";
    case RAVK_NODE_PIPELINE: return "pipeline";
    default: return kUnknown;  // encoders and decoders too
    }
}

const char *ravk_filter_factory_name(uint32_t kind, uint32_t backend)
{
    for (const FilterRow &row : kFilters) {
        if (row.kind != kind) continue;
        const char *name = nullptr;
        switch (backend) {
        case RAVK_BACKEND_GSTREAMER: name = row.generic; break;
        case RAVK_BACKEND_GL: name = row.gl; break;
        case RAVK_BACKEND_VAAPI: name = row.vaapi; break;
        case RAVK_BACKEND_VULKAN: name = row.vulkan; break;
        case RAVK_BACKEND_V4L2: name = row.v4l2; break;
        case RAVK_BACKEND_LIBYUV: name = row.libyuv; break;
        case RAVK_BACKEND_D3D11: name = row.d3d11; break;
        default: break;
        }
        return name != nullptr ? name : kUnknown;
    }
    return kUnknown;
}

const char *ravk_codec_factory_name(uint32_t type, uint32_t implementation_id, RavkMediaFlags flags, void *head)
{
    if (type != RAVK_NODE_ENCODER && type != RAVK_NODE_DECODER) return kUnknown;
    if (has_audio(flags)) {
        const uint32_t codec = ravk_media_audio_codec(flags);
        if (codec < RAVK_AUDIO_RAW || codec > RAVK_AUDIO_AAC) return kUnknown;
        return audio_codec_factory(type, implementation_id, codec, static_cast<CoreAudioCodecDesc *>(head));
    }
    if (has_video(flags))
        return video_codec_factory(type, implementation_id, ravk_media_video_codec(flags),
                                   static_cast<CoreVideoCodecDesc *>(head));
    return kUnknown;
}

const char *ravk_amc_encoder_name(CoreVideoCodecDesc *head)
{
    if (head == nullptr) return kUnknown;
    return compose_android("amcvidenc", head->codec_name, head->element_name, kUnknown);
}

const char *ravk_amc_decoder_name(CoreVideoCodecDesc *head)
{
    if (head == nullptr) return kUnknown;
    return compose_android("amcviddec", head->codec_name, head->element_name, kUnknown);
}

const char *ravk_audio_source_factory_name(uint32_t backend, uint32_t variant)
{
    const char *const unknown = "unknown.audio.plugin";
    switch (backend) {
    case RAVK_AUDIO_BACKEND_GSTREAMER: return variant == RAVK_SOURCE_VARIANT_TEST ? "audiotestsrc" : unknown;
    case RAVK_AUDIO_BACKEND_WASAPI: return "wasapisrc";
    case RAVK_AUDIO_BACKEND_WASAPI2: return "wasapi2src";
    case RAVK_AUDIO_BACKEND_OSX: return "osxaudiosrc";
    case RAVK_AUDIO_BACKEND_PULSE: return "pulsesrc";
    case RAVK_AUDIO_BACKEND_PIPEWIRE: return "pipewiresrc";
    default: return unknown;
    }
}

const char *ravk_video_source_factory_name(uint32_t backend, uint32_t variant)
{
    const char *const unknown = "unknown.video.plugin";
    switch (backend) {
    case RAVK_BACKEND_GSTREAMER:
        if (variant == RAVK_SOURCE_VARIANT_APP) return "appsrc";
        return variant == RAVK_SOURCE_VARIANT_TEST ? "videotestsrc" : unknown;
    case RAVK_BACKEND_X11: return "ximagesrc";
    case RAVK_BACKEND_AVF: return "avfvideosrc";
    case RAVK_BACKEND_D3D11:
        if (variant == RAVK_SOURCE_VARIANT_DEVICE) return "d3d11screencapturesrc";
        return variant == RAVK_SOURCE_VARIANT_TEST ? "d3d11testsrc" : unknown;
    case RAVK_BACKEND_D3D9: return "dx9screencapsrc";
    case RAVK_BACKEND_PIPEWIRE: return "pipewiresrc";
    default: return unknown;
    }
}

const char *ravk_media_type_name(RavkMediaFlags flags)
{
    if (has_audio(flags)) return "audio";
    const uint32_t codec = ravk_media_video_codec(flags);
    if (!has_video(flags) || codec < RAVK_VIDEO_RAW || codec > RAVK_VIDEO_THEORA) return nullptr;
    return codec == RAVK_VIDEO_MJPEG ? "image" : "video";
}

const char *ravk_media_subtype_name(RavkMediaFlags flags)
{
    static const IdName kAudio[] = {
        {RAVK_AUDIO_RAW, "x-raw"},      {RAVK_AUDIO_ALAW, "x-alaw"}, {RAVK_AUDIO_MULAW, "x-ulaw"},
        {RAVK_AUDIO_VORBIS, "x-vorbis"}, {RAVK_AUDIO_OPUS, "x-opus"}, {RAVK_AUDIO_AAC, "mpeg"},
    };
    static const IdName kVideo[] = {
        {RAVK_VIDEO_RAW, "x-raw"}, {RAVK_VIDEO_H264, "x-h264"}, {RAVK_VIDEO_H265, "x-h265"},
        {RAVK_VIDEO_VP8, "x-vp8"}, {RAVK_VIDEO_VP9, "x-vp9"},   {RAVK_VIDEO_AV1, "x-av1"},
        {RAVK_VIDEO_MJPEG, "jpeg"}, {RAVK_VIDEO_THEORA, "x-theora"},
    };
    const char *audio = lookup(kAudio, ravk_media_audio_codec(flags), nullptr);
    if (audio != nullptr) return audio;
    return lookup(kVideo, ravk_media_video_codec(flags), nullptr);
}

uint32_t ravk_feature_value(const char *key, uint32_t index)
{
    CoreValueList *list = core_process_valuelist(1);
    if (list == nullptr || key == nullptr) return 0;
    // The list copies values out under its lock; a writer may replace the
    // entry with one of another size between asking for the size and the
    // copy, so ask again until the two agree.
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint64_t size = 0;
        int found = core_valuelist_get(list, key, index, nullptr, nullptr, 0, &size);
        if (found < 0 || size == 0) return 0;
        std::vector<uint8_t> value(size);
        if (core_valuelist_get(list, key, index, nullptr, value.data(), size, &size) != 0) continue;
        uint32_t first = 0;
        memcpy(&first, value.data(), size < sizeof(first) ? size : sizeof(first));
        return first;
    }
    return 0;
}

uint32_t ravk_video_feature(uint32_t index)
{
    CoreValueList *list = core_process_valuelist(1);
    if (list == nullptr) return RAVK_VIDEO_FEATURE_NONE;
    uint32_t value = 0;
    uint64_t size = 0;
    if (core_valuelist_get(list, "frmwrk.vid.ftrs", index, nullptr, &value, sizeof(value), &size) != 0 ||
        size != sizeof(value))
        return RAVK_VIDEO_FEATURE_NONE;
    return value;
}
