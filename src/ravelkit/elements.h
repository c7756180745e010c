// Element-name tables and media lookups: the one place that knows which
// GStreamer element serves a pipeline node.
//
// Pipeline code describes a node by its role (RavkNodeType), a kind, the
// media flags of its stream and a backend; these tables turn that
// description into the node's own name and the factory of its element, give
// the codec element of an implementation id (codecs.h), the source element
// of a device backend and the caps names of a media-flags word. Anything no
// table covers answers "unknown" (node names "unknown_shield", sources
// "unknown.audio.plugin" / "unknown.video.plugin"), and an element of
// factory "unknown" can never be made, so an unsupported description fails
// where the element is made rather than here.
//
// Every function is a pure table lookup that any thread may call and that
// returns a static text, with three exceptions: the Android names and the
// numbered Media Foundation names are composed into the descriptor's
// element-name text (so the descriptor belongs to the calling thread), the
// Android names ask GStreamer's registry whether the composed factory
// exists, and the two feature lookups read value list 1.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"

// ---- media flags --------------------------------------------------------------
// A RavkMediaFlags word describes a stream's or a node's media: bit 0
// audio, bit 1 video, bit 2 multiplexed; byte 1 the audio codec, byte 2 the
// video codec, byte 3 the container. A RavkCodecId is the flags word of one
// elementary stream: (video codec << 16) | 2 or (audio codec << 8) | 1.
typedef uint32_t RavkMediaFlags;
typedef uint32_t RavkCodecId;

enum : uint32_t {
    RAVK_MEDIA_AUDIO = 1u,
    RAVK_MEDIA_VIDEO = 2u,
    RAVK_MEDIA_MUXED = 4u,
};

enum RavkAudioCodec : uint32_t {
    RAVK_AUDIO_RAW = 1,
    RAVK_AUDIO_ALAW = 2,
    RAVK_AUDIO_MULAW = 3,
    RAVK_AUDIO_VORBIS = 4,
    RAVK_AUDIO_OPUS = 5,
    RAVK_AUDIO_AAC = 6,
};

enum RavkVideoCodec : uint32_t {
    RAVK_VIDEO_RAW = 1,
    RAVK_VIDEO_H264 = 2,
    RAVK_VIDEO_H265 = 3,
    RAVK_VIDEO_VP8 = 4,
    RAVK_VIDEO_VP9 = 5,
    RAVK_VIDEO_AV1 = 6,
    RAVK_VIDEO_MJPEG = 7,
    RAVK_VIDEO_THEORA = 8,
};

enum RavkContainer : uint32_t {
    RAVK_CONTAINER_MPEGTS = 1,
    RAVK_CONTAINER_FLV = 2,
    RAVK_CONTAINER_MATROSKA = 3,
    RAVK_CONTAINER_WEBM = 4,
    RAVK_CONTAINER_OGG = 5,
    RAVK_CONTAINER_WAV = 6,
};

constexpr uint32_t ravk_media_audio_codec(RavkMediaFlags flags) { return (flags >> 8) & 0xFFu; }
constexpr uint32_t ravk_media_video_codec(RavkMediaFlags flags) { return (flags >> 16) & 0xFFu; }
constexpr uint32_t ravk_media_container(RavkMediaFlags flags) { return flags >> 24; }
constexpr RavkCodecId ravk_video_codec_id(uint32_t codec) { return (codec << 16) | RAVK_MEDIA_VIDEO; }
constexpr RavkCodecId ravk_audio_codec_id(uint32_t codec) { return (codec << 8) | RAVK_MEDIA_AUDIO; }

// ---- backends -----------------------------------------------------------------

// Video sources, video filters and video codec descriptors. The limit
// tables of the codec registry also know two values no element table uses
// (15 and 23).
enum RavkVideoBackend : uint32_t {
    RAVK_BACKEND_GSTREAMER = 1,
    RAVK_BACKEND_GL = 2,
    RAVK_BACKEND_VAAPI = 3,
    RAVK_BACKEND_OMX = 4,
    RAVK_BACKEND_VULKAN = 5,
    RAVK_BACKEND_V4L2 = 6,
    RAVK_BACKEND_V4L2_STATELESS = 7,
    RAVK_BACKEND_X11 = 9,
    RAVK_BACKEND_LIBAV = 11,
    RAVK_BACKEND_OPENH264 = 12,
    RAVK_BACKEND_LIBYUV = 13,
    RAVK_BACKEND_AVF = 14,
    RAVK_BACKEND_MEDIA_FOUNDATION = 16,
    RAVK_BACKEND_ANDROID = 17,
    RAVK_BACKEND_D3D11 = 19,
    RAVK_BACKEND_D3D9 = 20,
    RAVK_BACKEND_MSDK = 21,
    RAVK_BACKEND_X264 = 22,
    RAVK_BACKEND_LIBVPX = 24,
    RAVK_BACKEND_PIPEWIRE = 27,
};

// Audio sources and sinks, audio codec descriptors.
enum RavkAudioBackend : uint32_t {
    RAVK_AUDIO_BACKEND_GSTREAMER = 1,
    RAVK_AUDIO_BACKEND_WASAPI = 2,
    RAVK_AUDIO_BACKEND_WASAPI2 = 3,
    RAVK_AUDIO_BACKEND_OSX = 4,
    RAVK_AUDIO_BACKEND_OPENSLES = 5,  // sink only
    RAVK_AUDIO_BACKEND_ANDROID = 6,   // the Android Opus codec
    RAVK_AUDIO_BACKEND_PULSE = 7,
    RAVK_AUDIO_BACKEND_PIPEWIRE = 8,
};

// ---- node roles and kinds -----------------------------------------------------

enum RavkNodeType : uint32_t {
    RAVK_NODE_CAPTURE_SOURCE = 1,
    RAVK_NODE_BINARY_SOURCE = 2,
    RAVK_NODE_TEE = 3,
    RAVK_NODE_QUEUE = 4,
    RAVK_NODE_LIVE_QUEUE = 5,
    RAVK_NODE_FILTER = 6,
    RAVK_NODE_TIMESTAMP = 7,
    RAVK_NODE_CAPSFILTER = 8,
    RAVK_NODE_ENCODER = 9,
    RAVK_NODE_DECODER = 10,
    RAVK_NODE_PARSER = 11,
    RAVK_NODE_PAYLOADER = 12,
    RAVK_NODE_DEPAYLOADER = 13,
    RAVK_NODE_MUXER = 14,
    RAVK_NODE_DEMUXER = 15,
    RAVK_NODE_PREVIEW_SINK = 16,
    RAVK_NODE_BINARY_SINK = 17,
    RAVK_NODE_PIPELINE = 18,
};

// The kind of a node; what it means depends on the role. Encoder and
// decoder nodes carry an implementation id (codecs.h) instead.
enum RavkNodeKind : uint32_t {
    RAVK_FILTER_AUDIO_CONVERT = 0x3001,
    RAVK_FILTER_AUDIO_RESAMPLE = 0x3002,

    RAVK_SINK_AUTOAUDIO = 0x4001,
    RAVK_SINK_PULSE = 0x4002,
    RAVK_SINK_PIPEWIRE_AUDIO = 0x4003,
    RAVK_SINK_OSXAUDIO = 0x4004,
    RAVK_SINK_OPENSLES = 0x4005,
    RAVK_SINK_WASAPI = 0x4006,
    RAVK_SINK_WASAPI2 = 0x4007,
    RAVK_SINK_DIRECTSOUND = 0x4008,

    RAVK_PARSER_RAWVIDEO = 0x7001,
    RAVK_PARSER_H264 = 0x7002,
    RAVK_PARSER_H265 = 0x7003,
    RAVK_PARSER_VP9 = 0x7004,

    RAVK_FILTER_REFORM = 0x8001,
    RAVK_FILTER_PADDING = 0x8002,
    RAVK_FILTER_SCALE = 0x8003,
    RAVK_FILTER_CROP = 0x8004,
    RAVK_FILTER_FLIP = 0x8005,
    RAVK_FILTER_OVERLAY = 0x8006,
    RAVK_FILTER_SHADER = 0x8007,
    RAVK_FILTER_RATE = 0x8008,
    RAVK_FILTER_LIVE_RATE = 0x8009,
    RAVK_FILTER_COLOR_CONVERT = 0x800A,
    RAVK_FILTER_COLOR_BALANCE = 0x800B,

    RAVK_FILTER_GL_UPLOAD = 0x9001,
    RAVK_FILTER_GL_DOWNLOAD = 0x9002,
    RAVK_FILTER_VULKAN_UPLOAD = 0x9101,
    RAVK_FILTER_VULKAN_DOWNLOAD = 0x9102,
    RAVK_FILTER_D3D11_UPLOAD = 0x9201,
    RAVK_FILTER_D3D11_DOWNLOAD = 0x9202,

    RAVK_SINK_GLIMAGE = 0xA001,
    RAVK_SINK_VULKAN = 0xA002,
    RAVK_SINK_VAAPI = 0xA003,
    RAVK_SINK_OSXVIDEO = 0xA004,
    RAVK_SINK_D3DVIDEO = 0xA005,
    RAVK_SINK_D3D11VIDEO = 0xA006,
    RAVK_SINK_X11_IMAGE = 0xA007,
    RAVK_SINK_XV_IMAGE = 0xA008,
    RAVK_SINK_WAYLAND = 0xA009,
    RAVK_SINK_GTKWAYLAND = 0xA00A,
    RAVK_SINK_V4L2 = 0xA00B,
    RAVK_SINK_TCPCLIENT = 0xA00C,
    RAVK_SINK_FAKE = 0xA00D,
    RAVK_SINK_AUTOVIDEO = 0xA00E,
};

// Variants of the source factories.
enum : uint32_t {
    RAVK_SOURCE_VARIANT_DEVICE = 0,
    RAVK_SOURCE_VARIANT_TEST = 1,
    RAVK_SOURCE_VARIANT_APP = 2,
};

#define RAVK_UNKNOWN_ELEMENT "unknown"

// ---- names --------------------------------------------------------------------

// The node's own name, such as "video_scale"; "unknown_shield" when the
// flags select no answer for the role or the role is unknown.
const char *ravk_node_role_name(uint32_t type, uint32_t kind, RavkMediaFlags flags);

// The factory of every role except encoders and decoders
// (ravk_codec_factory_name serves those). source_backend is the audio
// backend of capture sources and audio filters; video_filter_backend the
// RavkVideoBackend of video filters.
const char *ravk_node_factory_name(uint32_t type, uint32_t kind, RavkMediaFlags flags, uint32_t source_backend,
                                   uint32_t video_filter_backend);

// The factory of a video filter kind on a RavkVideoBackend.
const char *ravk_filter_factory_name(uint32_t kind, uint32_t backend);

// The codec element of an implementation id. type is RAVK_NODE_ENCODER or
// RAVK_NODE_DECODER; the audio bit of flags (tested first) says that head
// is a CoreAudioCodecDesc, else the video bit that it is a
// CoreVideoCodecDesc. head may be NULL except for the numbered Media
// Foundation and the Android ids, whose names are composed into
// head->element_name, which is then the answer; without a head those
// answer "unknown" (audio Android: the generic Opus element).
const char *ravk_codec_factory_name(uint32_t type, uint32_t implementation_id, RavkMediaFlags flags, void *head);

// The Android video codec elements "amcvidenc-<codec name>" and
// "amcviddec-<codec name>" when GStreamer knows that factory, else
// "unknown"; written into and answered from head->element_name.
const char *ravk_amc_encoder_name(CoreVideoCodecDesc *head);
const char *ravk_amc_decoder_name(CoreVideoCodecDesc *head);

const char *ravk_audio_source_factory_name(uint32_t backend, uint32_t variant);
const char *ravk_video_source_factory_name(uint32_t backend, uint32_t variant);

// Caps names: joined with "/" they give "video/x-h264", "image/jpeg" ...
// NULL where no name fits.
const char *ravk_media_type_name(RavkMediaFlags flags);
const char *ravk_media_subtype_name(RavkMediaFlags flags);

// ---- feature values -------------------------------------------------------------

// The first u32 of the value under key + "%08X" index in value list 1 (a
// value shorter than 4 bytes is zero-extended); 0 when there is no such
// entry or it holds nothing.
uint32_t ravk_feature_value(const char *key, uint32_t index);

// Marks "no feature value" in ravk_video_feature's answer.
#define RAVK_VIDEO_FEATURE_NONE 0x80000000u

// The 4-byte value "frmwrk.vid.ftrs" + "%08X" index of value list 1;
// RAVK_VIDEO_FEATURE_NONE when it is missing or not exactly 4 bytes.
uint32_t ravk_video_feature(uint32_t index);
