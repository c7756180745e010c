#include "ravelkit/codecs.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/cpu.h"
#include "core/values.h"
#include "ravelkit/ranking.h"

namespace {

constexpr uint32_t kFourccNone = core_fourcc("NONE");
constexpr int32_t kNoDevice = -1;

// Media Foundation numbers its encoder devices from 1; 255 is the most the
// registry looks for.
constexpr int32_t kMaxNumberedDevice = 255;

// Backend values that only the limit tables know: no element table names
// an element for them.
constexpr uint32_t kLimitBackend15 = 15;
constexpr uint32_t kLimitBackend23 = 23;

// ---- implementation ids -------------------------------------------------------

struct ImplInfo {
    uint32_t id;
    uint32_t codec;      // RavkVideoCodec
    const char *family;  // empty for ids no chooser returns
};

const ImplInfo kVideoImpls[] = {
    {RAVK_ENC_VTENC_H264_HW, RAVK_VIDEO_H264, ""},
    {RAVK_ENC_VTENC_H264, RAVK_VIDEO_H264, ""},
    {RAVK_ENC_VTENC_H265_HW, RAVK_VIDEO_H265, ""},
    {RAVK_ENC_VTENC_H265, RAVK_VIDEO_H265, ""},
    {RAVK_ENC_AMC_H264, RAVK_VIDEO_H264, "Android Media Codec"},
    {RAVK_ENC_AMC_H265, RAVK_VIDEO_H265, "Android Media Codec"},
    {RAVK_ENC_AMC_VP8, RAVK_VIDEO_VP8, "Android Media Codec"},
    {RAVK_ENC_AMC_VP9, RAVK_VIDEO_VP9, "Android Media Codec"},
    {RAVK_ENC_MF_H264_DEVICE, RAVK_VIDEO_H264, "Media Foundation"},
    {RAVK_ENC_MF_H264, RAVK_VIDEO_H264, "Media Foundation"},
    {RAVK_ENC_MF_H265_DEVICE, RAVK_VIDEO_H265, "Media Foundation"},
    {RAVK_ENC_MF_H265, RAVK_VIDEO_H265, "Media Foundation"},
    {RAVK_ENC_MF_VP8_DEVICE, RAVK_VIDEO_VP8, "Media Foundation"},
    {RAVK_ENC_MF_VP8, RAVK_VIDEO_VP8, "Media Foundation"},
    {RAVK_ENC_MF_VP9_DEVICE, RAVK_VIDEO_VP9, "Media Foundation"},
    {RAVK_ENC_MF_VP9, RAVK_VIDEO_VP9, "Media Foundation"},
    {RAVK_ENC_V4L2_H264, RAVK_VIDEO_H264, "Video4Linux2"},
    {RAVK_ENC_MSDK_H264, RAVK_VIDEO_H264, ""},
    {RAVK_ENC_MSDK_H265, RAVK_VIDEO_H265, ""},
    {RAVK_ENC_VAAPI_H264, RAVK_VIDEO_H264, "VA-API"},
    {RAVK_ENC_VAAPI_H265, RAVK_VIDEO_H265, "VA-API"},
    {RAVK_ENC_VAAPI_VP8, RAVK_VIDEO_VP8, "VA-API"},
    {RAVK_ENC_VAAPI_VP9, RAVK_VIDEO_VP9, "VA-API"},
    {RAVK_ENC_VAAPI_AV1, RAVK_VIDEO_AV1, "VA-API"},
    {RAVK_ENC_OMX_H264, RAVK_VIDEO_H264, "OpenMAX"},
    {RAVK_ENC_OPENH264, RAVK_VIDEO_H264, "OpenH264"},
    {RAVK_ENC_X264, RAVK_VIDEO_H264, "x264"},
    {RAVK_ENC_VP8, RAVK_VIDEO_VP8, "Libvpx"},
    {RAVK_ENC_VP9, RAVK_VIDEO_VP9, "Libvpx"},
    {RAVK_ENC_JPEG, RAVK_VIDEO_MJPEG, "GStreamer"},

    {RAVK_DEC_VTDEC_HW, RAVK_VIDEO_H264, ""},
    {RAVK_DEC_VTDEC, RAVK_VIDEO_H264, ""},
    {RAVK_DEC_AMC_H264, RAVK_VIDEO_H264, "Android Media Codec"},
    {RAVK_DEC_AMC_H265, RAVK_VIDEO_H265, "Android Media Codec"},
    {RAVK_DEC_AMC_VP8, RAVK_VIDEO_VP8, "Android Media Codec"},
    {RAVK_DEC_AMC_VP9, RAVK_VIDEO_VP9, "Android Media Codec"},
    {RAVK_DEC_V4L2_H264, RAVK_VIDEO_H264, "Video4Linux2"},
    {RAVK_DEC_V4L2_H265, RAVK_VIDEO_H265, "Video4Linux2"},
    {RAVK_DEC_MSDK_H264, RAVK_VIDEO_H264, ""},
    {RAVK_DEC_MSDK_H265, RAVK_VIDEO_H265, "Intel Media SDK"},
    {RAVK_DEC_VAAPI_H264, RAVK_VIDEO_H264, "VA-API"},
    {RAVK_DEC_VAAPI_H265, RAVK_VIDEO_H265, "VA-API"},
    {RAVK_DEC_VAAPI_VP8, RAVK_VIDEO_VP8, "VA-API"},
    {RAVK_DEC_VAAPI_VP9, RAVK_VIDEO_VP9, "VA-API"},
    {RAVK_DEC_VAAPI_AV1, RAVK_VIDEO_AV1, "VA-API"},
    {RAVK_DEC_OMX_H264, RAVK_VIDEO_H264, "OpenMAX"},
    {RAVK_DEC_OPENH264, RAVK_VIDEO_H264, "OpenH264"},
    {RAVK_DEC_AV_H264, RAVK_VIDEO_H264, "Libav"},
    {RAVK_DEC_AV_H265, RAVK_VIDEO_H265, "Libav"},
    {RAVK_DEC_D3D11_H264, RAVK_VIDEO_H264, "Direct3D 11"},
    {RAVK_DEC_D3D11_H265, RAVK_VIDEO_H265, "Direct3D 11"},
    {RAVK_DEC_D3D11_VP8, RAVK_VIDEO_VP8, "Direct3D 11"},
    {RAVK_DEC_D3D11_VP9, RAVK_VIDEO_VP9, "Direct3D 11"},
    {RAVK_DEC_VP8, RAVK_VIDEO_VP8, "Libvpx"},
    {RAVK_DEC_VP9, RAVK_VIDEO_VP9, "Libvpx"},
    {RAVK_DEC_JPEG, RAVK_VIDEO_MJPEG, "GStreamer"},
};

const ImplInfo *impl_info(uint32_t id)
{
    for (const ImplInfo &info : kVideoImpls)
        if (info.id == id) return &info;
    return nullptr;
}

// One cell of a chooser table: codec, acceleration and backend select the
// id; a probed id counts only when its element exists.
struct Choice {
    uint32_t codec;
    uint32_t acceleration;
    uint32_t backend;
    uint32_t id;
    bool probed;
};

const Choice kEncoderChoices[] = {
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_OPENH264, RAVK_ENC_OPENH264, false},
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_H264, false},
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_X264, RAVK_ENC_X264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_VAAPI, RAVK_ENC_VAAPI_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_OMX, RAVK_ENC_OMX_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_V4L2, RAVK_ENC_V4L2_H264, true},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_H264, false},
    {RAVK_VIDEO_H265, 1, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_H265, false},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_VAAPI, RAVK_ENC_VAAPI_H265, false},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_H265, false},
    {RAVK_VIDEO_VP8, 1, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_VP8, false},
    {RAVK_VIDEO_VP8, 1, RAVK_BACKEND_LIBVPX, RAVK_ENC_VP8, true},
    {RAVK_VIDEO_VP8, 2, RAVK_BACKEND_VAAPI, RAVK_ENC_VAAPI_VP8, false},
    {RAVK_VIDEO_VP8, 2, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_VP8, false},
    {RAVK_VIDEO_VP9, 1, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_VP9, false},
    {RAVK_VIDEO_VP9, 1, RAVK_BACKEND_LIBVPX, RAVK_ENC_VP9, true},
    {RAVK_VIDEO_VP9, 2, RAVK_BACKEND_VAAPI, RAVK_ENC_VAAPI_VP9, false},
    {RAVK_VIDEO_VP9, 2, RAVK_BACKEND_ANDROID, RAVK_ENC_AMC_VP9, false},
    {RAVK_VIDEO_AV1, 2, RAVK_BACKEND_VAAPI, RAVK_ENC_VAAPI_AV1, false},
    {RAVK_VIDEO_MJPEG, 1, RAVK_BACKEND_GSTREAMER, RAVK_ENC_JPEG, false},
};

const Choice kDecoderChoices[] = {
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_LIBAV, RAVK_DEC_AV_H264, true},
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_OPENH264, RAVK_DEC_OPENH264, false},
    {RAVK_VIDEO_H264, 1, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_VAAPI, RAVK_DEC_VAAPI_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_OMX, RAVK_DEC_OMX_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_V4L2, RAVK_DEC_V4L2_H264, true},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_H264, false},
    {RAVK_VIDEO_H264, 2, RAVK_BACKEND_D3D11, RAVK_DEC_D3D11_H264, true},
    {RAVK_VIDEO_H265, 1, RAVK_BACKEND_LIBAV, RAVK_DEC_AV_H265, true},
    {RAVK_VIDEO_H265, 1, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_H265, false},
    {RAVK_VIDEO_H265, 1, RAVK_BACKEND_MSDK, RAVK_DEC_MSDK_H265, false},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_VAAPI, RAVK_DEC_VAAPI_H265, false},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_V4L2_STATELESS, RAVK_DEC_V4L2_H265, true},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_H265, false},
    {RAVK_VIDEO_H265, 2, RAVK_BACKEND_D3D11, RAVK_DEC_D3D11_H265, true},
    {RAVK_VIDEO_VP8, 1, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_VP8, false},
    {RAVK_VIDEO_VP8, 1, RAVK_BACKEND_LIBVPX, RAVK_DEC_VP8, true},
    {RAVK_VIDEO_VP8, 2, RAVK_BACKEND_VAAPI, RAVK_DEC_VAAPI_VP8, false},
    {RAVK_VIDEO_VP8, 2, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_VP8, false},
    {RAVK_VIDEO_VP8, 2, RAVK_BACKEND_D3D11, RAVK_DEC_D3D11_VP8, true},
    {RAVK_VIDEO_VP9, 1, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_VP9, false},
    {RAVK_VIDEO_VP9, 1, RAVK_BACKEND_LIBVPX, RAVK_DEC_VP9, true},
    {RAVK_VIDEO_VP9, 2, RAVK_BACKEND_VAAPI, RAVK_DEC_VAAPI_VP9, false},
    {RAVK_VIDEO_VP9, 2, RAVK_BACKEND_ANDROID, RAVK_DEC_AMC_VP9, false},
    {RAVK_VIDEO_VP9, 2, RAVK_BACKEND_D3D11, RAVK_DEC_D3D11_VP9, true},
    {RAVK_VIDEO_AV1, 2, RAVK_BACKEND_VAAPI, RAVK_DEC_VAAPI_AV1, false},
    {RAVK_VIDEO_MJPEG, 1, RAVK_BACKEND_GSTREAMER, RAVK_DEC_JPEG, false},
};

template <size_t N>
uint32_t choose(const Choice (&table)[N], bool encoder, RavkCodecId codec, uint32_t backend, uint32_t acceleration,
                int32_t device, char *family, uint64_t family_size)
{
    const uint32_t codec_byte = ravk_media_video_codec(codec);
    for (const Choice &c : table) {
        if (c.codec != codec_byte || c.acceleration != acceleration || c.backend != backend) continue;
        if (c.probed && !(encoder ? ravk_encoder_available(c.id, device) : ravk_decoder_available(c.id, device)))
            return 0;
        if (family != nullptr && family_size > 0) snprintf(family, family_size, "%s", impl_info(c.id)->family);
        return c.id;
    }
    return 0;
}

// ---- probes ---------------------------------------------------------------------

bool is_probed_encoder(uint32_t id)
{
    return (id >= RAVK_ENC_MF_H264_DEVICE && id <= RAVK_ENC_V4L2_H264) || id == RAVK_ENC_VP8 || id == RAVK_ENC_VP9;
}

bool is_probed_decoder(uint32_t id)
{
    return id == RAVK_DEC_V4L2_H264 || id == RAVK_DEC_V4L2_H265 || (id >= RAVK_DEC_AV_H264 && id <= RAVK_DEC_VP9);
}

int probe(uint32_t type, uint32_t id, CoreVideoCodecDesc *head)
{
    const bool encoder = type == RAVK_NODE_ENCODER;
    if (head == nullptr || !(encoder ? is_probed_encoder(id) : is_probed_decoder(id))) return 0;
    if (!gst_is_initialized()) return 0;
    const char *factory = ravk_codec_factory_name(type, id, ravk_video_codec_id(impl_info(id)->codec), head);
    GstElement *element = gst_element_factory_make(factory, encoder ? "encoder" : "decoder");
    if (element == nullptr) return 0;
    gst_object_ref_sink(element);
    const char *klass = gst_element_get_metadata(element, GST_ELEMENT_METADATA_KLASS);
    head->acceleration =
        klass != nullptr && strstr(klass, "/Hardware") != nullptr ? RAVK_ACCEL_HARDWARE : RAVK_ACCEL_SOFTWARE;
    gst_object_unref(element);
    return 1;
}

CoreVideoCodecDesc scratch_head(int32_t device)
{
    CoreVideoCodecDesc head = {};
    head.input = kFourccNone;
    head.output = kFourccNone;
    head.device_number = device;
    return head;
}

// ---- limits ---------------------------------------------------------------------

struct Limit {
    uint32_t size;  // width = height
    uint32_t rate;
};

using ClassLimits = Limit[8];

const ClassLimits kH264EncoderLimits = {{1024, 30}, {1280, 30}, {1600, 30}, {2048, 30},
                                        {2048, 60}, {2560, 60}, {3360, 60}, {3840, 60}};
const ClassLimits kH264LibavDecoderLimits = {{1600, 30}, {2048, 30}, {2048, 60}, {2560, 60},
                                             {3360, 60}, {3840, 60}, {4096, 60}, {4096, 60}};
const ClassLimits kH264OpenH264DecoderLimits = {{1024, 30}, {1280, 30}, {1600, 60}, {2048, 60},
                                                {2560, 60}, {3360, 60}, {3840, 60}, {4096, 60}};
const ClassLimits kH265EncoderLimits = {{960, 30},  {1024, 30}, {1280, 30}, {1600, 30},
                                        {2048, 30}, {2048, 60}, {2560, 60}, {3360, 60}};
const ClassLimits kH265DecoderLimits = {{1024, 30}, {1280, 30}, {1600, 30}, {2048, 60},
                                        {2560, 60}, {3360, 60}, {3840, 60}, {4096, 60}};
const ClassLimits kVp8EncoderLimits = {{1024, 30}, {1600, 30}, {2048, 30}, {2048, 60},
                                       {2560, 60}, {3360, 60}, {3840, 60}, {4096, 60}};
const ClassLimits kVp8DecoderLimits = {{1024, 30}, {1600, 30}, {2048, 60}, {2560, 60},
                                       {3360, 60}, {3840, 60}, {4096, 60}, {4096, 60}};
const ClassLimits kVp9EncoderLimits = {{960, 30},  {1024, 30}, {1600, 30}, {2048, 30},
                                       {2048, 60}, {2560, 60}, {3360, 60}, {3840, 60}};
const ClassLimits kVp9DecoderLimits = {{1024, 30}, {1600, 30}, {2048, 30}, {2048, 60},
                                       {2560, 60}, {3360, 60}, {3840, 60}, {4096, 60}};

CoreVideoMode square(uint32_t size, uint32_t rate) { return {size, size, rate, 1}; }

CoreVideoMode by_class(const ClassLimits &limits)
{
    const Limit &limit = limits[std::clamp(core_cpu_class(), 0, 7)];
    return square(limit.size, limit.rate);
}

// Software implementations of the four tabled codecs.
CoreVideoMode software_limit(uint32_t codec, bool encoder, uint32_t backend)
{
    const CoreVideoMode uhd30 = {3840, 2160, 30, 1};
    const CoreVideoMode fhd30 = {1920, 1080, 30, 1};
    switch (codec) {
    case RAVK_VIDEO_H264:
        if (backend == kLimitBackend15) return uhd30;
        if (encoder) {
            if (backend == RAVK_BACKEND_OPENH264 || backend == RAVK_BACKEND_X264) return by_class(kH264EncoderLimits);
            if (backend == RAVK_BACKEND_MEDIA_FOUNDATION) return fhd30;
            return square(1024, 30);
        }
        if (backend == RAVK_BACKEND_LIBAV) return by_class(kH264LibavDecoderLimits);
        if (backend == RAVK_BACKEND_OPENH264) return by_class(kH264OpenH264DecoderLimits);
        return square(1280, 30);
    case RAVK_VIDEO_H265:
        if (backend == kLimitBackend15) return uhd30;
        if (encoder) {
            if (backend == kLimitBackend23) return by_class(kH265EncoderLimits);
            if (backend == RAVK_BACKEND_MEDIA_FOUNDATION) return fhd30;
            return square(1280, 30);
        }
        if (backend == RAVK_BACKEND_LIBAV) return by_class(kH265DecoderLimits);
        return square(2048, 30);
    case RAVK_VIDEO_VP8:
        if (encoder) {
            if (backend == RAVK_BACKEND_LIBVPX) return by_class(kVp8EncoderLimits);
            if (backend == RAVK_BACKEND_MEDIA_FOUNDATION) return fhd30;
            return square(1600, 30);
        }
        return backend == RAVK_BACKEND_LIBVPX ? by_class(kVp8DecoderLimits) : square(2048, 30);
    default:  // VP9
        if (encoder) {
            if (backend == RAVK_BACKEND_LIBVPX) return by_class(kVp9EncoderLimits);
            if (backend == RAVK_BACKEND_MEDIA_FOUNDATION) return fhd30;
            return square(1280, 30);
        }
        return backend == RAVK_BACKEND_LIBVPX ? by_class(kVp9DecoderLimits) : square(1600, 30);
    }
}

// ---- descriptors ------------------------------------------------------------------

struct VideoEntry {
    uint32_t direction;
    uint32_t acceleration;
    uint32_t codec_class;
    uint32_t input;
    uint32_t output;
    int32_t device;
    const char *family;
    uint32_t backend;
    uint32_t id;
    uint64_t profile_set;
    CoreVideoMode maximum;
    RavkAlignment alignment;
};

CoreVideoCodecDesc video_desc(const VideoEntry &e)
{
    CoreVideoCodecDesc desc = scratch_head(e.device);
    desc.direction = e.direction;
    desc.acceleration = e.acceleration;
    desc.codec_class = e.codec_class;
    desc.input = e.input;
    desc.output = e.output;
    if (e.family != nullptr && e.family[0] != '\0') snprintf(desc.family, sizeof(desc.family), "%s", e.family);
    desc.backend = e.backend;
    desc.implementation_id = e.id;
    desc.profile_set = e.profile_set;
    desc.coding_options = 0;
    desc.minimum_mode = {64, 64, 1, 1};
    core_video_mode_align(&desc.minimum_mode, e.alignment.width, e.alignment.height);
    desc.maximum_mode = e.maximum;
    desc.alignment_width = e.alignment.width;
    desc.alignment_height = e.alignment.height;
    return desc;
}

CoreVideoMode max_mode_or_zero(RavkCodecProfile profile, uint32_t backend, RavkAlignment alignment,
                               uint32_t acceleration, uint32_t direction, uint32_t codec)
{
    CoreVideoMode mode = {};
    ravk_codec_max_mode(profile, backend, alignment, acceleration, direction, ravk_video_codec_id(codec), &mode);
    return mode;
}

int add_no_codec_audio(uint32_t direction)
{
    CoreAudioCodecDesc desc = {};
    desc.direction = direction;
    desc.input = kFourccNone;
    desc.output = kFourccNone;
    desc.device_number = kNoDevice;
    return ravk_codec_list_add_audio(&desc);
}

int add_no_codec_video(uint32_t direction)
{
    CoreVideoCodecDesc desc = scratch_head(kNoDevice);
    desc.direction = direction;
    return ravk_codec_list_add_video(&desc);
}

CoreAudioCodecDesc opus_desc(uint32_t direction)
{
    const bool encoder = direction == RAVK_CODEC_ENCODER;
    const RavkAudioFormat stereo48k = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    CoreAudioCodecDesc desc = {};
    desc.direction = direction;
    desc.acceleration = RAVK_ACCEL_SOFTWARE;
    desc.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    desc.input = encoder ? core_fourcc("lpcm") : core_fourcc("opus");
    desc.output = encoder ? core_fourcc("opus") : core_fourcc("lpcm");
    desc.device_number = kNoDevice;
    snprintf(desc.family, sizeof(desc.family), "%s", "Opus");
    desc.backend = RAVK_AUDIO_BACKEND_GSTREAMER;
    desc.implementation_id = encoder ? RAVK_AENC_OPUS : RAVK_ADEC_OPUS;
    desc.profile_set = 1;
    desc.minimum_format = stereo48k;
    desc.maximum_format = stereo48k;
    return desc;
}

// ---- failure seam and rollback ----------------------------------------------------

std::atomic<int> g_adds_before_failure{-1};

bool injected_failure()
{
    int left = g_adds_before_failure.load();
    while (left >= 0) {
        if (g_adds_before_failure.compare_exchange_weak(left, left - 1)) return left == 0;
    }
    return false;
}

// The four lists as a registration call found them.
struct ListSnapshot {
    std::vector<CoreAudioCodecDesc> audio[2];
    std::vector<CoreVideoCodecDesc> video[2];
};

bool take_snapshot(ListSnapshot *snapshot)
{
    for (uint32_t direction = RAVK_CODEC_ENCODER; direction <= RAVK_CODEC_DECODER; ++direction) {
        auto &audio = snapshot->audio[direction - 1];
        audio.resize(core_codec_entry_count_audio(direction));
        for (size_t i = 0; i < audio.size(); ++i)
            if (core_codec_get_audio(static_cast<int64_t>(i), direction, &audio[i]) != 0) return false;
        auto &video = snapshot->video[direction - 1];
        video.resize(core_codec_entry_count_video(direction));
        for (size_t i = 0; i < video.size(); ++i)
            if (core_codec_get_video(static_cast<int64_t>(i), direction, &video[i]) != 0) return false;
    }
    return true;
}

// Puts back what the call found. The lists hold the snapshot's entries
// and the call's own, possibly already reordered by a ranking pass, so
// removing the call's entries alone would not restore the order: rebuild
// each list. The adds go straight to the lists, past the failure seam.
void restore_snapshot(const ListSnapshot &snapshot)
{
    for (uint32_t direction = RAVK_CODEC_ENCODER; direction <= RAVK_CODEC_DECODER; ++direction) {
        ravk_codec_list_clear_audio(direction);
        for (const CoreAudioCodecDesc &desc : snapshot.audio[direction - 1]) core_codec_add_audio(&desc, 1);
        ravk_codec_list_clear_video(direction);
        for (const CoreVideoCodecDesc &desc : snapshot.video[direction - 1]) core_codec_add_video(&desc, 1);
    }
}

}  // namespace

// ---- registration -------------------------------------------------------------

int ravk_codec_list_add_audio(const CoreAudioCodecDesc *desc)
{
    if (injected_failure()) return -1;
    return core_codec_add_audio(desc, 1);
}

int ravk_codec_list_add_video(const CoreVideoCodecDesc *desc)
{
    if (injected_failure()) return -1;
    return core_codec_add_video(desc, 1);
}

void ravk_codecs_fail_add_after(int adds)
{
    g_adds_before_failure.store(adds < 0 ? -1 : adds);
}

int ravk_codec_register_audio(void)
{
    if (add_no_codec_audio(RAVK_CODEC_ENCODER) != 0) return -1;
    if (add_no_codec_audio(RAVK_CODEC_DECODER) != 0) return -1;
    // Opus is built into every GStreamer this program runs on: no probe.
    const CoreAudioCodecDesc encoder = opus_desc(RAVK_CODEC_ENCODER);
    if (ravk_codec_list_add_audio(&encoder) != 0) return -1;
    const CoreAudioCodecDesc decoder = opus_desc(RAVK_CODEC_DECODER);
    return ravk_codec_list_add_audio(&decoder);
}

int ravk_codec_register_video_none(void)
{
    if (add_no_codec_video(RAVK_CODEC_ENCODER) != 0) return -1;
    return add_no_codec_video(RAVK_CODEC_DECODER);
}

int ravk_codec_register_vpx_encoders(RavkCodecProfile profile)
{
    const RavkAlignment alignment = {8, 4};
    for (uint32_t codec : {RAVK_VIDEO_VP8, RAVK_VIDEO_VP9}) {
        char family[CORE_CODEC_TEXT_SIZE] = {};
        const uint32_t id = ravk_video_encoder_impl_find(ravk_video_codec_id(codec), RAVK_BACKEND_LIBVPX,
                                                         RAVK_ACCEL_SOFTWARE, kNoDevice, family, sizeof(family));
        if (id == 0) continue;
        const CoreVideoCodecDesc desc = video_desc({
            RAVK_CODEC_ENCODER, RAVK_ACCEL_SOFTWARE, RAVK_CODEC_CLASS_PORTABLE, core_fourcc("I420"),
            ravk_video_codec_fourcc(ravk_video_codec_id(codec)), kNoDevice, family, RAVK_BACKEND_LIBVPX, id, 15,
            max_mode_or_zero(profile, RAVK_BACKEND_LIBVPX, alignment, RAVK_ACCEL_SOFTWARE, RAVK_CODEC_ENCODER, codec),
            alignment});
        if (ravk_codec_list_add_video(&desc) != 0) return -1;
    }
    return 0;
}

int ravk_codec_register_mf_encoders(RavkCodecProfile profile)
{
    struct MfCodec {
        uint32_t codec;
        uint32_t default_id;
        uint32_t numbered_id;
        uint64_t profile_set;
    };
    static const MfCodec kCodecs[] = {
        {RAVK_VIDEO_H265, RAVK_ENC_MF_H265, RAVK_ENC_MF_H265_DEVICE, 3},
        {RAVK_VIDEO_H264, RAVK_ENC_MF_H264, RAVK_ENC_MF_H264_DEVICE, 4},
        {RAVK_VIDEO_VP8, RAVK_ENC_MF_VP8, RAVK_ENC_MF_VP8_DEVICE, 15},
        {RAVK_VIDEO_VP9, RAVK_ENC_MF_VP9, RAVK_ENC_MF_VP9_DEVICE, 15},
    };
    const RavkAlignment alignment = {32, 8};
    auto add = [&](const MfCodec &c, uint32_t id, const CoreVideoCodecDesc &probed) {
        const CoreVideoCodecDesc desc = video_desc({
            RAVK_CODEC_ENCODER, probed.acceleration, RAVK_CODEC_CLASS_PLATFORM, core_fourcc("NV12"),
            ravk_video_codec_fourcc(ravk_video_codec_id(c.codec)), probed.device_number, "Media Foundation",
            RAVK_BACKEND_MEDIA_FOUNDATION, id, c.profile_set,
            max_mode_or_zero(profile, RAVK_BACKEND_MEDIA_FOUNDATION, alignment, probed.acceleration,
                             RAVK_CODEC_ENCODER, c.codec),
            alignment});
        return ravk_codec_list_add_video(&desc);
    };
    for (const MfCodec &c : kCodecs) {
        CoreVideoCodecDesc head = scratch_head(kNoDevice);
        if (ravk_encoder_probe(c.default_id, &head) && add(c, c.default_id, head) != 0) return -1;
        for (int32_t device = 1; device <= kMaxNumberedDevice; ++device) {
            head = scratch_head(device);
            if (!ravk_encoder_probe(c.numbered_id, &head)) break;
            if (add(c, c.numbered_id, head) != 0) return -1;
        }
    }
    return 0;
}

int ravk_codec_register_sw_decoders(RavkCodecProfile profile)
{
    struct SwDecoder {
        uint32_t codec;
        uint32_t backend;
        uint64_t profile_set;
    };
    static const SwDecoder kDecoders[] = {
        {RAVK_VIDEO_VP8, RAVK_BACKEND_LIBVPX, 15},
        {RAVK_VIDEO_VP9, RAVK_BACKEND_LIBVPX, 15},
        {RAVK_VIDEO_H264, RAVK_BACKEND_LIBAV, 4},
    };
    const RavkAlignment alignment = {8, 4};
    for (const SwDecoder &d : kDecoders) {
        char family[CORE_CODEC_TEXT_SIZE] = {};
        const uint32_t id = ravk_video_decoder_impl_find(ravk_video_codec_id(d.codec), d.backend,
                                                         RAVK_ACCEL_SOFTWARE, kNoDevice, family, sizeof(family));
        if (id == 0) continue;
        const CoreVideoCodecDesc desc = video_desc({
            RAVK_CODEC_DECODER, RAVK_ACCEL_SOFTWARE, RAVK_CODEC_CLASS_PORTABLE,
            ravk_video_codec_fourcc(ravk_video_codec_id(d.codec)), core_fourcc("I420"), kNoDevice, family, d.backend,
            id, d.profile_set,
            max_mode_or_zero(profile, d.backend, alignment, RAVK_ACCEL_SOFTWARE, RAVK_CODEC_DECODER, d.codec),
            alignment});
        if (ravk_codec_list_add_video(&desc) != 0) return -1;
    }
    return 0;
}

int ravk_codec_register_d3d11_decoders(void)
{
    struct D3d11Decoder {
        uint32_t codec;
        uint64_t profile_set;
    };
    // Probed in codec order, registered in preference order.
    static const uint32_t kProbeOrder[] = {RAVK_VIDEO_H264, RAVK_VIDEO_H265, RAVK_VIDEO_VP8, RAVK_VIDEO_VP9};
    static const D3d11Decoder kDecoders[] = {
        {RAVK_VIDEO_H265, 3}, {RAVK_VIDEO_H264, 4}, {RAVK_VIDEO_VP8, 15}, {RAVK_VIDEO_VP9, 15}};
    const RavkAlignment alignment = {32, 8};
    // A weak machine decodes at most 2048 x 2048 at 30, whatever the device
    // accepts.
    const bool weak = core_cpu_class() == 0;
    CoreVideoMode maximum[RAVK_VIDEO_THEORA + 1] = {};
    for (uint32_t codec : kProbeOrder) {
        CoreFrameSize size = {};
        ravk_d3d11_max_decoder_size(alignment, ravk_video_codec_id(codec), &size);
        maximum[codec] = weak ? CoreVideoMode{std::min(size.width, 2048u), std::min(size.height, 2048u), 30, 1}
                              : CoreVideoMode{size.width, size.height, 60, 1};
    }
    for (const D3d11Decoder &d : kDecoders) {
        char family[CORE_CODEC_TEXT_SIZE] = {};
        const uint32_t id = ravk_video_decoder_impl_find(ravk_video_codec_id(d.codec), RAVK_BACKEND_D3D11,
                                                         RAVK_ACCEL_HARDWARE, kNoDevice, family, sizeof(family));
        if (id == 0) continue;
        const CoreVideoCodecDesc desc = video_desc({
            RAVK_CODEC_DECODER, RAVK_ACCEL_HARDWARE, RAVK_CODEC_CLASS_PLATFORM,
            ravk_video_codec_fourcc(ravk_video_codec_id(d.codec)), core_fourcc("NV12"), kNoDevice, "Direct3D 11",
            RAVK_BACKEND_D3D11, id, d.profile_set, maximum[d.codec], alignment});
        if (ravk_codec_list_add_video(&desc) != 0) return -1;
    }
    return 0;
}

int ravk_codecs_register(RavkCodecProfile profile)
{
    if (profile > RAVK_CODEC_PROFILE_SMALL) return -1;
    ListSnapshot found;
    if (!take_snapshot(&found)) return -1;
    const bool ok = ravk_codec_register_audio() == 0 && ravk_codec_register_video_none() == 0 &&
                    ravk_codec_register_vpx_encoders(profile) == 0 && ravk_codec_register_mf_encoders(profile) == 0 &&
                    ravk_codec_register_sw_decoders(profile) == 0 && ravk_codec_register_d3d11_decoders() == 0 &&
                    ravk_codec_rank_audio(RAVK_CODEC_ENCODER) == 0 && ravk_codec_rank_audio(RAVK_CODEC_DECODER) == 0 &&
                    ravk_codec_rank_video(RAVK_CODEC_ENCODER) == 0 && ravk_codec_rank_video(RAVK_CODEC_DECODER) == 0;
    if (ok) return 0;
    restore_snapshot(found);
    return -1;
}

void ravk_codec_lists_clear(void)
{
    ravk_codec_list_clear_audio(RAVK_CODEC_ENCODER);
    ravk_codec_list_clear_audio(RAVK_CODEC_DECODER);
    ravk_codec_list_clear_video(RAVK_CODEC_ENCODER);
    ravk_codec_list_clear_video(RAVK_CODEC_DECODER);
}

// ---- choosers -------------------------------------------------------------------

int ravk_codec_max_mode(RavkCodecProfile profile, uint32_t backend, RavkAlignment alignment, uint32_t acceleration,
                        uint32_t direction, RavkCodecId codec, CoreVideoMode *out)
{
    if (out == nullptr) return -1;
    const bool encoder = direction == RAVK_CODEC_ENCODER;
    const bool known_direction = encoder || direction == RAVK_CODEC_DECODER;
    const uint32_t codec_byte = ravk_media_video_codec(codec);
    CoreVideoMode mode;
    if (profile == RAVK_CODEC_PROFILE_SMALL) {
        mode = square(1024, 30);
    } else if (acceleration == RAVK_ACCEL_HARDWARE) {
        if (backend == RAVK_BACKEND_V4L2 || backend == RAVK_BACKEND_V4L2_STATELESS)
            mode = {1920, 1080, core_cpu_class() < 2 ? 30u : 60u, 1};
        else
            mode = {3840, 2160, 60, 1};
    } else if (acceleration == RAVK_ACCEL_SOFTWARE) {
        switch (codec_byte) {
        case RAVK_VIDEO_MJPEG: mode = square(1024, 30); break;
        case RAVK_VIDEO_H264:
        case RAVK_VIDEO_H265:
        case RAVK_VIDEO_VP8:
        case RAVK_VIDEO_VP9:
            // The tables have an encoder and a decoder column only.
            if (!known_direction) return -1;
            mode = software_limit(codec_byte, encoder, backend);
            break;
        default:
            if (!known_direction) return -1;
            mode = encoder ? square(1280, 30) : square(2048, 30);
            break;
        }
    } else {
        mode = square(768, 30);
    }
    core_video_mode_align(&mode, alignment.width, alignment.height);
    *out = mode;
    return 0;
}

uint32_t ravk_video_encoder_impl_find(RavkCodecId codec, uint32_t backend, uint32_t acceleration, int32_t device,
                                      char *family, uint64_t family_size)
{
    return choose(kEncoderChoices, true, codec, backend, acceleration, device, family, family_size);
}

uint32_t ravk_video_decoder_impl_find(RavkCodecId codec, uint32_t backend, uint32_t acceleration, int32_t device,
                                      char *family, uint64_t family_size)
{
    return choose(kDecoderChoices, false, codec, backend, acceleration, device, family, family_size);
}

uint32_t ravk_video_impl_select(RavkMediaFlags flags, const CoreVideoCodecDesc *desc)
{
    if (desc == nullptr) return 0;
    if (desc->implementation_id != 0) return static_cast<uint32_t>(desc->implementation_id);
    const uint32_t backend = static_cast<uint32_t>(desc->backend);
    switch (desc->direction) {
    case RAVK_CODEC_ENCODER:
        return ravk_video_encoder_impl_find(flags, backend, desc->acceleration, desc->device_number, nullptr, 0);
    case RAVK_CODEC_DECODER:
        return ravk_video_decoder_impl_find(flags, backend, desc->acceleration, desc->device_number, nullptr, 0);
    default: return 0;
    }
}

uint32_t ravk_audio_impl_select(RavkMediaFlags flags, const CoreAudioCodecDesc *desc)
{
    if (desc == nullptr) return 0;
    if (desc->implementation_id != 0) return static_cast<uint32_t>(desc->implementation_id);
    if (desc->direction != RAVK_CODEC_ENCODER && desc->direction != RAVK_CODEC_DECODER) return 0;
    const bool encoder = desc->direction == RAVK_CODEC_ENCODER;
    switch (ravk_media_audio_codec(flags)) {
    case RAVK_AUDIO_ALAW: return encoder ? RAVK_AENC_ALAW : RAVK_ADEC_ALAW;
    case RAVK_AUDIO_MULAW: return encoder ? RAVK_AENC_MULAW : RAVK_ADEC_MULAW;
    case RAVK_AUDIO_VORBIS: return encoder ? RAVK_AENC_VORBIS : RAVK_ADEC_VORBIS;
    case RAVK_AUDIO_AAC: return encoder ? RAVK_AENC_AAC : RAVK_ADEC_AAC;
    case RAVK_AUDIO_OPUS:
        if (desc->acceleration == RAVK_ACCEL_SOFTWARE) return encoder ? RAVK_AENC_OPUS : RAVK_ADEC_OPUS;
        if (desc->acceleration == RAVK_ACCEL_HARDWARE && static_cast<uint32_t>(desc->backend) == RAVK_AUDIO_BACKEND_ANDROID)
            return encoder ? RAVK_AENC_AMC_OPUS : RAVK_ADEC_AMC_OPUS;
        return 0;
    default: return 0;
    }
}

uint32_t ravk_video_codec_fourcc(RavkCodecId codec)
{
    switch (ravk_media_video_codec(codec)) {
    case RAVK_VIDEO_H264: return core_fourcc("H264");
    case RAVK_VIDEO_H265: return core_fourcc("H265");
    case RAVK_VIDEO_VP8: return core_fourcc("VP8X");
    case RAVK_VIDEO_VP9: return core_fourcc("VP9X");
    case RAVK_VIDEO_AV1: return core_fourcc("av01");
    case RAVK_VIDEO_MJPEG: return core_fourcc("MJPG");
    case RAVK_VIDEO_THEORA: return core_fourcc("theo");
    default: return kFourccNone;
    }
}

// ---- probes -----------------------------------------------------------------------

int ravk_encoder_probe(uint32_t implementation_id, CoreVideoCodecDesc *head)
{
    return probe(RAVK_NODE_ENCODER, implementation_id, head);
}

int ravk_decoder_probe(uint32_t implementation_id, CoreVideoCodecDesc *head)
{
    return probe(RAVK_NODE_DECODER, implementation_id, head);
}

int ravk_encoder_available(uint32_t implementation_id, int32_t device)
{
    CoreVideoCodecDesc head = scratch_head(device);
    return ravk_encoder_probe(implementation_id, &head);
}

int ravk_decoder_available(uint32_t implementation_id, int32_t device)
{
    CoreVideoCodecDesc head = scratch_head(device);
    return ravk_decoder_probe(implementation_id, &head);
}

int ravk_encoder_is_hardware(uint32_t implementation_id, int32_t device)
{
    CoreVideoCodecDesc head = scratch_head(device);
    return ravk_encoder_probe(implementation_id, &head) && head.acceleration == RAVK_ACCEL_HARDWARE ? 1 : 0;
}

void ravk_d3d11_max_decoder_size(RavkAlignment alignment, RavkCodecId codec, CoreFrameSize *out)
{
    (void)alignment;
    (void)codec;
    if (out == nullptr) return;
    // The size every Direct3D 11 decoder is assumed to take when no device
    // can be asked; this build has no Direct3D 11 devices to ask.
    *out = {1920, 1080};
}
