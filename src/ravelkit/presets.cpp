#include "ravelkit/presets.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/cpu.h"
#include "ravelkit/codecs.h"

namespace
{

// Names are cut at the node text size like every other node text; going
// through a va_list keeps the compiler from flagging the cut.
__attribute__((format(printf, 3, 4))) void format_text(char *out, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(out, size, format, args);
    va_end(args);
}

// Address the TCP client sink sends to: a fixed receiver on the private
// network the preview-over-TCP setup assumes.
const char *const kTcpReceiver = "127.0.0.1";

// H.264 and H.265 parsers hand on whole frames: peers expect one frame per
// sample. The field name is spelt the way the capture side always spelt
// it; the correct "alignment" would make the parser split each frame into
// NAL units, one buffer each.
const char *const kH264ParserCaps = "video/x-h264, stream-format=(string)byte-stream, aligment=(string)nal";
const char *const kH265ParserCaps = "video/x-h265, stream-format=(string)byte-stream, aligment=(string)nal";

// Key-frame interval the H.264 set-up starts with; the provider sets the
// real one from its frame-rate cap.
const uint32_t kInitialKeyframeInterval = 30;

int add(RavkNode *node, RavkProperty *record)
{
    if (record == nullptr) return -1;
    if (ravk_node_add_property(node, RAVK_PROPS_ELEMENT, record) != 0) {
        ravk_property_free(record);
        return -1;
    }
    return 0;
}

// Adds every record; on a failure the rest are still freed.
int add_all(RavkNode *node, std::initializer_list<RavkProperty *> records)
{
    int result = 0;
    for (RavkProperty *record : records) {
        if (result == 0)
            result = add(node, record);
        else
            ravk_property_free(record);
    }
    return result;
}

RavkProperty *b(const char *name, bool value) { return ravk_property_new_boolean(name, value ? 1 : 0); }
RavkProperty *i(const char *name, int32_t value) { return ravk_property_new_int(name, value); }
RavkProperty *u(const char *name, uint32_t value) { return ravk_property_new_uint(name, value); }

uint32_t processors() { return core_cpu_count(); }

bool accel_hardware(const RavkNode *node) { return node->video_setup.codec.acceleration == RAVK_ACCEL_HARDWARE; }

uint64_t profile_mask(const RavkNode *node)
{
    const CoreVideoCodecDesc &desc = node->video_setup.codec;
    return (desc.evaluated_profile_set != 0 ? desc.evaluated_profile_set : desc.profile_set) & 0xFFu;
}

uint64_t coding_mask(const RavkNode *node)
{
    const CoreVideoCodecDesc &desc = node->video_setup.codec;
    return (desc.evaluated_coding_options != 0 ? desc.evaluated_coding_options : desc.coding_options) & 0xFFu;
}

bool cabac(const RavkNode *node)
{
    return (coding_mask(node) & 2u) != 0 && (node->video_setup.format.coding_options & 2u) != 0;
}

bool is_video(const RavkNode *node)
{
    return (node->media & RAVK_MEDIA_VIDEO) != 0 && (node->media & RAVK_MEDIA_AUDIO) == 0;
}
bool is_audio(const RavkNode *node) { return (node->media & RAVK_MEDIA_AUDIO) != 0; }

bool is_opus(const RavkNode *node) { return is_audio(node) && ravk_media_audio_codec(node->media) == RAVK_AUDIO_OPUS; }

// A parser companion of a codec node; after it for encoders, before it
// for decoders.
int add_parser(RavkNode *node, uint32_t kind, const char *factory, const char *caps, int32_t position)
{
    char name[RAVK_NODE_TEXT_SIZE];
    format_text(name, sizeof(name), "%s/parser", node->element_name);
    RavkNode *parser =
        ravk_node_new(node, RAVK_NODE_PARSER, kind, node->media, node->index, factory, name, caps, position, nullptr,
                      nullptr, nullptr, RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_BACKEND_GSTREAMER);
    if (parser == nullptr) return -1;
    if (kind == RAVK_PARSER_H264 || kind == RAVK_PARSER_H265) return add(parser, i("config-interval", -1));
    return 0;
}

// The factory of an encoder's parser: the codec's own parser for a plain
// video stream, the container's for a multiplexed one.
const char *encoder_parser_factory(const RavkNode *node, uint32_t kind)
{
    if ((node->media & RAVK_MEDIA_MUXED) != 0 || is_audio(node))
        return ravk_node_factory_name(RAVK_NODE_PARSER, kind, node->media, 0, 0);
    switch (kind) {
    case RAVK_PARSER_H264: return "h264parse";
    case RAVK_PARSER_H265: return "h265parse";
    case RAVK_PARSER_VP9: return "vp9parse";
    default: return RAVK_UNKNOWN_ELEMENT;
    }
}

int add_encoder_parser(RavkNode *node, uint32_t kind, const char *caps)
{
    return add_parser(node, kind, encoder_parser_factory(node, kind), caps, RAVK_COMPANION_AFTER);
}

int add_decoder_parser(RavkNode *node, uint32_t kind)
{
    return add_parser(node, kind, ravk_node_factory_name(RAVK_NODE_PARSER, kind, node->media, 0, 0), nullptr,
                      RAVK_COMPANION_BEFORE);
}

// The Media Foundation encoders share their rate-control records.
int media_foundation(RavkNode *node, int32_t quality_software, int32_t quality_hardware, bool with_qp)
{
    if (!accel_hardware(node) && add(node, u("threads", ravk_preset_t16(processors()))) != 0) return -1;
    if (with_qp && add_all(node, {u("bframes", 0), u("min-qp", 1), u("max-qp", 51), u("qp-i", 24), u("qp-p", 24)}) != 0)
        return -1;
    return add_all(node, {i("rc-mode", 0), b("low-latency", true), b("qos", false),
                          i("quality-vs-speed", accel_hardware(node) ? quality_hardware : quality_software)});
}

int apple(RavkNode *node)
{
    return add_all(node, {b("qos", false), b("realtime", true), b("allow-frame-reordering", false),
                          ravk_property_new_double("quality", 0.5)});
}

int android(RavkNode *node) { return add_all(node, {u("i-frame-interval", 0), b("qos", false)}); }

int vpx(RavkNode *node, bool vp9)
{
    static const int32_t kVp8CpuUsed[] = {5, 5, 3, 2, 0};
    static const int32_t kVp9CpuUsed[] = {7, 7, 5, 4, 2};
    int cpu_class = core_cpu_class();
    if (cpu_class < 0) cpu_class = 0;
    if (cpu_class > 4) cpu_class = 4;
    const int32_t cpu_used = vp9 ? kVp9CpuUsed[cpu_class] : kVp8CpuUsed[cpu_class];
    if (add_all(node, {i("threads", static_cast<int32_t>(ravk_preset_t4(processors()))), i("end-usage", 1),
                       i("min-quantizer", 4), i("max-quantizer", 60), i("keyframe-mode", 1), i("cpu-used", cpu_used),
                       i("error-resilient", 1), i("multipass-mode", 0), i("static-threshold", 0),
                       ravk_property_new_int64("deadline", 1), i("token-partitions", 2), i("buffer-initial-size", 150),
                       i("buffer-optimal-size", 200), i("buffer-size", 250), b("qos", false)}) != 0)
        return -1;
    // vp9enc holds back 25 frames by default (about 0.8 s at 30 frames per
    // second) to look ahead; a live stream cannot wait for them. The
    // bitstream stays valid VP9.
    if (vp9) return add(node, i("lag-in-frames", 0));
    return 0;
}

int decoder_common(RavkNode *node)
{
    return add_all(
        node, {b("qos", false), b("discard-corrupted-frames", false), i("automatic-request-sync-point-flags", 0),
               b("automatic-request-sync-points", false), ravk_property_new_uint64("min-force-key-unit-interval", 0)});
}

int libav_decoder(RavkNode *node)
{
    // Frame threading holds each frame back by about 220 ms, enough to
    // trip the playback side's lag rule and ask the sender for rates it
    // does not need; slice threading (2) adds no delay.
    return add_all(node,
                   {b("direct-rendering", false), i("max-threads", static_cast<int32_t>(ravk_preset_t8(processors()))),
                    i("thread-type", 2), i("skip-frame", 5)});
}

bool in(uint32_t id, std::initializer_list<uint32_t> ids)
{
    for (uint32_t candidate : ids)
        if (candidate == id) return true;
    return false;
}

int sink_common(RavkNode *node)
{
    return add_all(node, {ravk_property_new_int64("max-lateness", -1), b("qos", false), b("sync", true),
                          b("enable-last-sample", false)});
}

bool fits_u32(uint64_t value) { return value <= UINT32_MAX; }

}  // namespace

uint32_t ravk_preset_t16(uint32_t n) { return n < 4 ? 4 : (n > 16 ? 16 : n); }
uint32_t ravk_preset_t4(uint32_t n) { return n > 4 ? n : 4; }
uint32_t ravk_preset_t8(uint32_t n) { return n > 8 ? n : 8; }
uint32_t ravk_preset_c4(uint32_t n) { return n == 0 ? 1 : (n < 4 ? n : 4); }

int ravk_node_setup_queue(RavkNode *node)
{
    if (node == nullptr) return -1;
    if (add_all(node,
                {u("max-size-buffers", 0), u("max-size-bytes", 0), ravk_property_new_uint64("max-size-time", 0)}) != 0)
        return -1;
    if (node->type != RAVK_NODE_LIVE_QUEUE) return 0;
    return add_all(node, {i("leaky", 1), b("silent", true)});
}

int ravk_node_setup_appsrc(RavkNode *node)
{
    if (node == nullptr) return -1;
    return add_all(node, {b("emit-signals", false), b("block", false), b("automatic-eos", false)});
}

int ravk_node_setup_appsink(RavkNode *node)
{
    if (node == nullptr) return -1;
    const uint32_t blocksize = (node->media & RAVK_MEDIA_VIDEO) != 0 ? 1024 : 128;
    return add_all(node, {u("max-buffers", 0), ravk_property_new_uint64("max-bytes", 0),
                          ravk_property_new_uint64("max-time", 0), b("enable-last-sample", false),
                          b("emit-signals", false), b("sync", false), b("qos", false), u("blocksize", blocksize)});
}

int ravk_node_setup_payloader(RavkNode *node) { return node != nullptr ? add(node, u("mtu", 512)) : -1; }

int ravk_node_setup_tee(RavkNode *node)
{
    if (node == nullptr) return -1;
    const char *role = ravk_node_role_name(RAVK_NODE_LIVE_QUEUE, 0, node->media);
    for (int32_t offset = 0; offset < 2; ++offset) {
        const int32_t index = node->index + offset;
        char name[RAVK_NODE_TEXT_SIZE];
        format_text(name, sizeof(name), "%s/%s/branch_%u", node->element_name, role, static_cast<uint32_t>(index));
        RavkNode *queue = ravk_node_new(node, RAVK_NODE_LIVE_QUEUE, 0, node->media, index, "queue", name, nullptr,
                                        RAVK_COMPANION_AFTER, nullptr, nullptr, nullptr, RAVK_AUDIO_BACKEND_GSTREAMER,
                                        RAVK_BACKEND_GSTREAMER);
        if (queue == nullptr || add(queue, u("max-size-buffers", 1)) != 0) return -1;
    }
    return 0;
}

int ravk_node_setup_filter(RavkNode *node)
{
    if (node == nullptr) return -1;
    const int32_t backend = node->video_backend;
    const uint32_t c4 = ravk_preset_c4(processors());
    int result = 0;
    bool qos = false;
    switch (node->kind) {
    case RAVK_FILTER_AUDIO_CONVERT: break;
    case RAVK_FILTER_AUDIO_RESAMPLE: result = add_all(node, {i("resample-method", 4), i("quality", 10)}); break;
    case RAVK_FILTER_REFORM:
        if (backend == RAVK_BACKEND_GL)
            result = add(node, b("ortho", true)), qos = true;
        else if (backend == RAVK_BACKEND_D3D11)
            result = add_all(node, {b("ortho", true), i("method", 1)});
        break;
    case RAVK_FILTER_PADDING:
    case RAVK_FILTER_RATE:
    case RAVK_FILTER_LIVE_RATE:
    case RAVK_FILTER_COLOR_BALANCE:
    case RAVK_FILTER_VULKAN_UPLOAD:
    case RAVK_FILTER_VULKAN_DOWNLOAD: break;
    case RAVK_FILTER_SCALE:
        if (backend == RAVK_BACKEND_GSTREAMER) {
            result = add_all(node, {u("n-threads", c4), u("method", 5), ravk_property_new_double("envelope", 1.0),
                                    ravk_property_new_double("sharpness", 1.0), b("add-borders", false)});
            qos = true;
        } else if (backend == RAVK_BACKEND_VAAPI) {
            result = add(node, i("scale-method", 2));
            qos = true;
        }
        break;
    case RAVK_FILTER_CROP: qos = backend == RAVK_BACKEND_GSTREAMER || backend == RAVK_BACKEND_LIBYUV; break;
    case RAVK_FILTER_FLIP:
        if (backend == RAVK_BACKEND_GSTREAMER || backend == RAVK_BACKEND_VAAPI || backend == RAVK_BACKEND_LIBYUV) {
            result = add(node, i("video-direction", 8));
            qos = true;
        } else if (backend == RAVK_BACKEND_GL) {
            result = add(node, i("video-direction", 8));
        } else if (backend == RAVK_BACKEND_D3D11) {
            result = add_all(node, {i("video-direction", 8), i("method", 1), b("ortho", true)});
            qos = true;
        }
        break;
    case RAVK_FILTER_OVERLAY:
    case RAVK_FILTER_SHADER:
    case RAVK_FILTER_GL_UPLOAD:
    case RAVK_FILTER_GL_DOWNLOAD:
    case RAVK_FILTER_D3D11_UPLOAD:
    case RAVK_FILTER_D3D11_DOWNLOAD: qos = true; break;
    case RAVK_FILTER_COLOR_CONVERT:
        if (backend == RAVK_BACKEND_GSTREAMER)
            result = add(node, u("n-threads", c4)), qos = true;
        else if (backend == RAVK_BACKEND_GL)
            qos = true;
        break;
    default: return -1;
    }
    if (result != 0) return -1;
    return qos ? add(node, b("qos", false)) : 0;
}

int ravk_node_setup_encoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    if (is_audio(node)) {
        const uint32_t codec = ravk_media_audio_codec(node->media);
        if (codec < RAVK_AUDIO_RAW || codec > RAVK_AUDIO_AAC) return -1;
        if (codec != RAVK_AUDIO_OPUS) return 0;
        const int32_t complexity = core_cpu_class() < 2 ? 8 : 10;
        if (add_all(node, {i("audio-type", 2049), i("complexity", complexity), i("bandwidth", 1105),
                           i("bitrate-type", 0)}) != 0)
            return -1;
        return add_encoder_parser(node, 0, nullptr);
    }
    if (!is_video(node)) return -1;
    switch (ravk_media_video_codec(node->media)) {
    case RAVK_VIDEO_H264: return ravk_node_setup_h264_encoder(node);
    case RAVK_VIDEO_H265: return ravk_node_setup_h265_encoder(node);
    case RAVK_VIDEO_VP8: return ravk_node_setup_vp8_encoder(node);
    case RAVK_VIDEO_VP9: return ravk_node_setup_vp9_encoder(node);
    case RAVK_VIDEO_AV1:
    case RAVK_VIDEO_THEORA: return 0;
    case RAVK_VIDEO_MJPEG:
        if (node->kind != RAVK_ENC_JPEG) return -1;
        return add_all(node, {i("idct-method", 2), i("quality", 10)});
    default: return -1;
    }
}

int ravk_node_setup_h264_encoder(RavkNode *node)
{
    if (node == nullptr || ravk_node_keyframe_property(node, kInitialKeyframeInterval) != 0) return -1;
    const uint32_t n = processors();
    int result = 0;
    switch (node->kind) {
    case RAVK_ENC_VTENC_H264_HW:
    case RAVK_ENC_VTENC_H264: result = apple(node); break;
    case RAVK_ENC_AMC_H264: result = android(node); break;
    case RAVK_ENC_V4L2_H264: result = add(node, b("qos", false)); break;
    case RAVK_ENC_MF_H264_DEVICE:
    case RAVK_ENC_MF_H264:
        result = media_foundation(node, 30, 60, true);
        if (result == 0) result = add(node, b("cabac", cabac(node)));
        break;
    case RAVK_ENC_MSDK_H264:
        result = add_all(node, {u("b-frames", 0), u("rate-control", 1), b("hardware", accel_hardware(node))});
        break;
    case RAVK_ENC_VAAPI_H264:
        result =
            add_all(node, {i("rate-control", 2), u("max-bframes", 0), u("min-qp", 1), u("max-qp", 51), u("refs", 2),
                           b("qos", false), b("cabac", cabac(node)),
                           b("dct8x8", (profile_mask(node) & 16u) != 0 && node->video_setup.format.profile == 16)});
        break;
    case RAVK_ENC_OMX_H264: result = add_all(node, {u("b-frames", 0), u("control-rate", 2)}); break;
    case RAVK_ENC_OPENH264:
        result = add_all(node, {u("multi-thread", ravk_preset_t4(n)), u("qp-min", 2), u("qp-max", 50),
                                i("rate-control", 1), i("usage-type", 1), b("scene-change-detection", false)});
        break;
    case RAVK_ENC_X264:
        result = add_all(node, {b("b-adapt", false), b("byte-stream", true), b("aud", true), b("cabac", false),
                                u("threads", ravk_preset_t4(n)), u("bframes", 0), u("qp-min", 2), u("qp-max", 50),
                                u("qp-step", 4), i("tune", 4)});
        break;
    default: return -1;
    }
    if (result != 0) return -1;
    return add_encoder_parser(node, RAVK_PARSER_H264, kH264ParserCaps);
}

int ravk_node_setup_h265_encoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    int result = 0;
    switch (node->kind) {
    case RAVK_ENC_VTENC_H265_HW:
    case RAVK_ENC_VTENC_H265: result = apple(node); break;
    case RAVK_ENC_AMC_H265: result = android(node); break;
    case RAVK_ENC_MF_H265_DEVICE:
    case RAVK_ENC_MF_H265: result = media_foundation(node, 20, 40, true); break;
    case RAVK_ENC_MSDK_H265: break;
    case RAVK_ENC_VAAPI_H265:
        result = add_all(node, {i("rate-control", 2), u("max-bframes", 0), u("min-qp", 1), u("max-qp", 51),
                                u("refs", 2), b("qos", false)});
        break;
    default: return -1;
    }
    if (result != 0) return -1;
    return add_encoder_parser(node, RAVK_PARSER_H265, kH265ParserCaps);
}

int ravk_node_setup_vp8_encoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    switch (node->kind) {
    case RAVK_ENC_AMC_VP8: return android(node);
    case RAVK_ENC_MF_VP8_DEVICE:
    case RAVK_ENC_MF_VP8: return media_foundation(node, 20, 40, false);
    case RAVK_ENC_VAAPI_VP8: return add_all(node, {i("rate-control", 2), b("qos", false)});
    case RAVK_ENC_VP8: return vpx(node, false);
    default: return -1;
    }
}

int ravk_node_setup_vp9_encoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    int result = 0;
    switch (node->kind) {
    case RAVK_ENC_AMC_VP9: result = android(node); break;
    case RAVK_ENC_MF_VP9_DEVICE:
    case RAVK_ENC_MF_VP9: result = media_foundation(node, 5, 10, false); break;
    case RAVK_ENC_VAAPI_VP9: result = add_all(node, {i("rate-control", 2), b("qos", false)}); break;
    case RAVK_ENC_VP9: result = vpx(node, true); break;
    default: return -1;
    }
    if (result != 0) return -1;
    return add_encoder_parser(node, RAVK_PARSER_VP9, nullptr);
}

int ravk_node_setup_decoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    if (is_audio(node)) {
        const uint32_t codec = ravk_media_audio_codec(node->media);
        if (codec < RAVK_AUDIO_RAW || codec > RAVK_AUDIO_AAC) return -1;
        if (codec != RAVK_AUDIO_OPUS) return 0;
        if (add(node, b("apply-gain", false)) != 0) return -1;
        return add_decoder_parser(node, 0);
    }
    if (!is_video(node)) return -1;
    const uint32_t id = node->kind;
    int result = 0;
    switch (ravk_media_video_codec(node->media)) {
    case RAVK_VIDEO_H264: result = ravk_node_setup_h264_decoder(node); break;
    case RAVK_VIDEO_H265: result = ravk_node_setup_h265_decoder(node); break;
    case RAVK_VIDEO_VP8:
        if (!in(id, {RAVK_DEC_AMC_VP8, RAVK_DEC_VAAPI_VP8, RAVK_DEC_D3D11_VP8, RAVK_DEC_VP8})) return -1;
        if (id == RAVK_DEC_VP8) result = add(node, i("threads", static_cast<int32_t>(ravk_preset_t8(processors()))));
        break;
    case RAVK_VIDEO_VP9:
        if (!in(id, {RAVK_DEC_AMC_VP9, RAVK_DEC_VAAPI_VP9, RAVK_DEC_D3D11_VP9, RAVK_DEC_VP9})) return -1;
        if (add_decoder_parser(node, RAVK_PARSER_VP9) != 0) return -1;
        if (id == RAVK_DEC_VP9) result = add(node, i("threads", static_cast<int32_t>(ravk_preset_t4(processors()))));
        break;
    case RAVK_VIDEO_MJPEG:
        if (id != RAVK_DEC_JPEG) return -1;
        break;
    case RAVK_VIDEO_AV1:
    case RAVK_VIDEO_THEORA: break;
    default: return -1;
    }
    if (result != 0) return -1;
    return decoder_common(node);
}

int ravk_node_setup_h264_decoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    const uint32_t id = node->kind;
    if (!in(id, {RAVK_DEC_VTDEC_HW, RAVK_DEC_VTDEC, RAVK_DEC_AMC_H264, RAVK_DEC_V4L2_H264, RAVK_DEC_MSDK_H264,
                 RAVK_DEC_VAAPI_H264, RAVK_DEC_OMX_H264, RAVK_DEC_OPENH264, RAVK_DEC_AV_H264, RAVK_DEC_D3D11_H264}))
        return -1;
    if (add_decoder_parser(node, RAVK_PARSER_H264) != 0) return -1;
    switch (id) {
    case RAVK_DEC_V4L2_H264: return add(node, i("max-errors", -1));
    case RAVK_DEC_MSDK_H264: return add(node, b("hardware", accel_hardware(node)));
    case RAVK_DEC_AV_H264: return libav_decoder(node);
    default: return 0;
    }
}

int ravk_node_setup_h265_decoder(RavkNode *node)
{
    if (node == nullptr) return -1;
    const uint32_t id = node->kind;
    if (!in(id, {RAVK_DEC_VTDEC_HW, RAVK_DEC_VTDEC, RAVK_DEC_AMC_H265, RAVK_DEC_V4L2_H265, RAVK_DEC_MSDK_H265,
                 RAVK_DEC_VAAPI_H265, RAVK_DEC_AV_H265, RAVK_DEC_D3D11_H265}))
        return -1;
    if (add_decoder_parser(node, RAVK_PARSER_H265) != 0) return -1;
    return id == RAVK_DEC_AV_H265 ? libav_decoder(node) : 0;
}

int ravk_node_setup_muxer(RavkNode *node)
{
    if (node == nullptr) return -1;
    switch (ravk_media_container(node->media)) {
    case RAVK_CONTAINER_MPEGTS:
        if (add_parser(node, 0, "tsparse", nullptr, RAVK_COMPANION_AFTER) != 0) return -1;
        return add_all(node, {i("alignment", 64), u("pat-interval", 90), u("pmt-interval", 90), u("si-interval", 90)});
    case RAVK_CONTAINER_FLV:
    case RAVK_CONTAINER_MATROSKA:
    case RAVK_CONTAINER_WEBM: return add(node, b("streamable", true));
    case RAVK_CONTAINER_OGG:
    case RAVK_CONTAINER_WAV: return 0;
    default: return -1;
    }
}

int ravk_node_setup_sink(RavkNode *node)
{
    if (node == nullptr) return -1;
    const uint32_t kind = node->kind;
    if (in(kind, {RAVK_SINK_PULSE, RAVK_SINK_OSXAUDIO, RAVK_SINK_OPENSLES, RAVK_SINK_WASAPI, RAVK_SINK_WASAPI2,
                  RAVK_SINK_DIRECTSOUND}))
        return sink_common(node) == 0
                   ? add_all(node, {b("provide-clock", true), ravk_property_new_int64("buffer-time", 100000),
                                    i("slave-method", 1)})
                   : -1;
    if (kind == RAVK_SINK_TCPCLIENT) return add(node, ravk_property_new_string("host", kTcpReceiver));
    if (!in(kind, {RAVK_SINK_PIPEWIRE_AUDIO, RAVK_SINK_WAYLAND, RAVK_SINK_GTKWAYLAND, RAVK_SINK_GLIMAGE,
                   RAVK_SINK_VAAPI, RAVK_SINK_OSXVIDEO, RAVK_SINK_D3DVIDEO, RAVK_SINK_D3D11VIDEO, RAVK_SINK_X11_IMAGE,
                   RAVK_SINK_XV_IMAGE, RAVK_SINK_V4L2}))
        return 0;
    if (sink_common(node) != 0) return -1;
    switch (kind) {
    case RAVK_SINK_GLIMAGE:
        return add_all(node, {b("force-aspect-ratio", true), ravk_property_new_fraction("pixel-aspect-ratio", 1, 1)});
    case RAVK_SINK_VAAPI: return add_all(node, {b("force-aspect-ratio", true), i("display", 0)});
    case RAVK_SINK_OSXVIDEO:
        return add_all(node, {b("force-aspect-ratio", true), ravk_property_new_fraction("pixel-aspect-ratio", 1, 1),
                              b("message-forward", false)});
    case RAVK_SINK_D3DVIDEO:
        return add_all(node, {b("enable-navigation-events", false), b("force-aspect-ratio", true)});
    case RAVK_SINK_D3D11VIDEO:
        return add_all(node, {b("enable-navigation-events", false), b("force-aspect-ratio", true),
                              ravk_property_new_fraction("pixel-aspect-ratio", 1, 1)});
    case RAVK_SINK_X11_IMAGE:
        return add_all(node, {b("force-aspect-ratio", false), ravk_property_new_string("pixel-aspect-ratio", "1/1")});
    case RAVK_SINK_XV_IMAGE:
        return add_all(node, {b("double-buffer", true), b("force-aspect-ratio", true),
                              ravk_property_new_string("pixel-aspect-ratio", "1/1")});
    case RAVK_SINK_V4L2:
        return add_all(node, {b("force-aspect-ratio", true), ravk_property_new_string("pixel-aspect-ratio", "1/1")});
    default: return 0;
    }
}

int ravk_node_h264_encoder_caps(RavkNode *node)
{
    if (node == nullptr) return -1;
    const uint32_t id = node->kind;
    if (in(id, {RAVK_ENC_VTENC_H264_HW, RAVK_ENC_VTENC_H264, RAVK_ENC_AMC_H264})) return 0;
    if (!in(id, {RAVK_ENC_MF_H264_DEVICE, RAVK_ENC_MF_H264, RAVK_ENC_V4L2_H264, RAVK_ENC_MSDK_H264, RAVK_ENC_VAAPI_H264,
                 RAVK_ENC_OMX_H264, RAVK_ENC_OPENH264, RAVK_ENC_X264}))
        return -1;
    const uint64_t mask = profile_mask(node), profile = node->video_setup.format.profile;
    const char *name = "main";
    if ((mask & 16u) != 0 && profile == 16)
        name = "high";
    else if ((mask & 4u) != 0 && profile == 4)
        name = "main";
    else if ((mask & 2u) != 0 && profile == 2)
        name = "baseline";
    const char *extra = "";
    if (id == RAVK_ENC_MF_H264_DEVICE || id == RAVK_ENC_MF_H264)
        extra = ", pixel-aspect-ratio=(fraction)1/1";
    else if (id == RAVK_ENC_V4L2_H264)
        extra = ", level=(string)5.1";
    snprintf(node->caps, sizeof(node->caps), "video/x-h264, profile=(string)%s%s", name, extra);
    return 0;
}

int ravk_node_h265_encoder_check(RavkNode *node)
{
    if (node == nullptr) return -1;
    return in(node->kind, {RAVK_ENC_VTENC_H265_HW, RAVK_ENC_VTENC_H265, RAVK_ENC_AMC_H265, RAVK_ENC_MF_H265_DEVICE,
                           RAVK_ENC_MF_H265, RAVK_ENC_MSDK_H265, RAVK_ENC_VAAPI_H265})
               ? 0
               : -1;
}

int ravk_keyframe_records(const RavkNode *node, uint32_t n, RavkProperty *out[2])
{
    if (node == nullptr || out == nullptr || node->type != RAVK_NODE_ENCODER || !is_video(node)) return -1;
    out[0] = out[1] = nullptr;
    const uint32_t id = node->kind;
    int count = 0;
    if (id >= 0x5001 && id <= 0x5004) {
        out[0] = ravk_property_new_uint64("max-keyframe-interval-duration", 1000000000ull);
        count = 1;
    } else if (id >= 0x5005 && id <= 0x5008) {
        out[0] = u("i-frame-interval", 1);
        count = 1;
    } else if ((id >= 0x5009 && id <= 0x5010) || id == RAVK_ENC_OPENH264) {
        out[0] = u("gop-size", n);
        count = 1;
    } else if (id == RAVK_ENC_V4L2_H264) {
        out[0] = ravk_property_new_uint64("min-force-key-unit-interval", 1);
        count = 1;
    } else if (id == RAVK_ENC_MSDK_H264) {
        out[0] = u("gop-size", n);
        out[1] = u("i-frames", n);
        count = 2;
    } else if (id >= 0x5014 && id <= 0x5018) {
        out[0] = u("keyframe-period", n);
        count = 1;
    } else if (id == RAVK_ENC_OMX_H264) {
        out[0] = u("periodicity-idr", n);
        out[1] = u("interval-intraframes", n);
        count = 2;
    } else if (id == RAVK_ENC_X264) {
        out[0] = u("key-int-max", n);
        count = 1;
    } else if (id == RAVK_ENC_VP8 || id == RAVK_ENC_VP9) {
        if (n > G_MAXINT32) return -1;
        out[0] = i("keyframe-max-dist", static_cast<int32_t>(n));
        count = 1;
    } else if (id == RAVK_ENC_JPEG) {
        return 0;
    } else {
        return -1;  // 0x5013 among them: it has no key-frame setting
    }
    for (int k = 0; k < count; ++k) {
        if (out[k] != nullptr) continue;
        for (int m = 0; m < count; ++m) ravk_property_free(out[m]);
        out[0] = out[1] = nullptr;
        return -1;
    }
    return count;
}

int ravk_bitrate_records(const RavkNode *node, uint64_t bps, int running, RavkProperty *out[1])
{
    if (node == nullptr || out == nullptr || bps == 0 || node->type != RAVK_NODE_ENCODER) return -1;
    out[0] = nullptr;
    if (is_opus(node)) {
        if (bps > G_MAXINT32) return -1;
        out[0] = i("bitrate", static_cast<int32_t>(bps));
    } else if (!is_video(node)) {
        return -1;
    } else {
        const uint32_t id = node->kind;
        if ((id >= 0x5005 && id <= 0x5008) || id == RAVK_ENC_OPENH264) {
            if (!fits_u32(bps)) return -1;
            out[0] = u("bitrate", static_cast<uint32_t>(bps));
        } else if (id == RAVK_ENC_OMX_H264 || id == RAVK_ENC_VP8 || id == RAVK_ENC_VP9) {
            if (!fits_u32(bps)) return -1;
            out[0] = u("target-bitrate", static_cast<uint32_t>(bps));
        } else if (id == RAVK_ENC_V4L2_H264) {
            return 0;
        } else if (id == RAVK_ENC_JPEG) {
            return running ? -1 : 0;
        } else if (id >= 0x5001 && id <= 0x501D) {
            if (!fits_u32(bps / 1000)) return -1;
            out[0] = u("bitrate", static_cast<uint32_t>(bps / 1000));
        } else {
            return -1;
        }
    }
    return out[0] != nullptr ? 1 : -1;
}

int ravk_node_keyframe_property(RavkNode *node, uint32_t n)
{
    RavkProperty *records[2] = {};
    const int count = ravk_keyframe_records(node, n, records);
    if (count < 0) return -1;
    int result = 0;
    for (int k = 0; k < count; ++k) {
        if (result == 0)
            result = add(node, records[k]);
        else
            ravk_property_free(records[k]);
    }
    return result;
}

int ravk_node_bitrate_property(RavkNode *node, uint64_t bits_per_second)
{
    RavkProperty *record[1] = {};
    const int count = ravk_bitrate_records(node, bits_per_second, 0, record);
    if (count < 0) return -1;
    return count == 0 ? 0 : add(node, record[0]);
}
