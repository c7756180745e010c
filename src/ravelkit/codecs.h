// Codec registry: fills the base runtime's four codec lists with the codec
// implementations this machine really offers, and answers which
// implementation, element and size limits a descriptor stands for.
//
// Each list starts with a no-codec entry (acceleration 0), then holds one
// descriptor per implementation whose element exists here, ranked by
// ranking.h so that the engine, which takes the first entry that fits,
// prefers the best one. The engine and the service classes copy
// descriptors out by index and key stored evaluation results by their
// SHA-256 identity, which covers the device number: registration writes it
// once and nothing here changes it afterwards.
//
// Registration (ravk_codecs_register and its steps) runs on the thread that
// starts the framework, after GStreamer is initialised and before any
// pipeline or reader uses the lists. The choosers, the probes and
// ravk_codec_max_mode may run on any thread; the probes make (and drop) one
// GStreamer element each. Registration steps and list operations return 0
// or -1; choosers return an implementation id or 0; probes return 1 or 0.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"
#include "core/video.h"
#include "ravelkit/elements.h"

// Video encoder implementations.
enum RavkEncoderImpl : uint32_t {
    RAVK_ENC_VTENC_H264_HW = 0x5001,
    RAVK_ENC_VTENC_H264 = 0x5002,
    RAVK_ENC_VTENC_H265_HW = 0x5003,
    RAVK_ENC_VTENC_H265 = 0x5004,
    RAVK_ENC_AMC_H264 = 0x5005,
    RAVK_ENC_AMC_H265 = 0x5006,
    RAVK_ENC_AMC_VP8 = 0x5007,
    RAVK_ENC_AMC_VP9 = 0x5008,
    RAVK_ENC_MF_H264_DEVICE = 0x5009,
    RAVK_ENC_MF_H264 = 0x500A,
    RAVK_ENC_MF_H265_DEVICE = 0x500B,
    RAVK_ENC_MF_H265 = 0x500C,
    RAVK_ENC_MF_VP8_DEVICE = 0x500D,
    RAVK_ENC_MF_VP8 = 0x500E,
    RAVK_ENC_MF_VP9_DEVICE = 0x500F,
    RAVK_ENC_MF_VP9 = 0x5010,
    RAVK_ENC_V4L2_H264 = 0x5011,
    RAVK_ENC_MSDK_H264 = 0x5012,
    RAVK_ENC_MSDK_H265 = 0x5013,
    RAVK_ENC_VAAPI_H264 = 0x5014,
    RAVK_ENC_VAAPI_H265 = 0x5015,
    RAVK_ENC_VAAPI_VP8 = 0x5016,
    RAVK_ENC_VAAPI_VP9 = 0x5017,
    RAVK_ENC_VAAPI_AV1 = 0x5018,
    RAVK_ENC_OMX_H264 = 0x5019,
    RAVK_ENC_OPENH264 = 0x501A,
    RAVK_ENC_X264 = 0x501B,
    RAVK_ENC_VP8 = 0x501C,
    RAVK_ENC_VP9 = 0x501D,
    RAVK_ENC_JPEG = 0x501E,
};

// Video decoder implementations.
enum RavkDecoderImpl : uint32_t {
    RAVK_DEC_VTDEC_HW = 0x6001,
    RAVK_DEC_VTDEC = 0x6002,
    RAVK_DEC_AMC_H264 = 0x6003,
    RAVK_DEC_AMC_H265 = 0x6004,
    RAVK_DEC_AMC_VP8 = 0x6005,
    RAVK_DEC_AMC_VP9 = 0x6006,
    RAVK_DEC_V4L2_H264 = 0x6007,
    RAVK_DEC_V4L2_H265 = 0x6008,
    RAVK_DEC_MSDK_H264 = 0x6009,
    RAVK_DEC_MSDK_H265 = 0x600A,
    RAVK_DEC_VAAPI_H264 = 0x600B,
    RAVK_DEC_VAAPI_H265 = 0x600C,
    RAVK_DEC_VAAPI_VP8 = 0x600D,
    RAVK_DEC_VAAPI_VP9 = 0x600E,
    RAVK_DEC_VAAPI_AV1 = 0x600F,
    RAVK_DEC_OMX_H264 = 0x6010,
    RAVK_DEC_OPENH264 = 0x6011,
    RAVK_DEC_AV_H264 = 0x6012,
    RAVK_DEC_AV_H265 = 0x6013,
    RAVK_DEC_D3D11_H264 = 0x6014,
    RAVK_DEC_D3D11_H265 = 0x6015,
    RAVK_DEC_D3D11_VP8 = 0x6016,
    RAVK_DEC_D3D11_VP9 = 0x6017,
    RAVK_DEC_VP8 = 0x6018,
    RAVK_DEC_VP9 = 0x6019,
    RAVK_DEC_JPEG = 0x601A,
};

// Audio implementations.
enum RavkAudioImpl : uint32_t {
    RAVK_AENC_ALAW = 0x1001,
    RAVK_AENC_MULAW = 0x1002,
    RAVK_AENC_VORBIS = 0x1003,
    RAVK_AENC_AAC = 0x1004,
    RAVK_AENC_OPUS = 0x1005,
    RAVK_AENC_AMC_OPUS = 0x1006,
    RAVK_ADEC_ALAW = 0x2001,
    RAVK_ADEC_MULAW = 0x2002,
    RAVK_ADEC_VORBIS = 0x2003,
    RAVK_ADEC_AAC = 0x2004,
    RAVK_ADEC_OPUS = 0x2005,
    RAVK_ADEC_AMC_OPUS = 0x2006,
};

// Size profile of the registration (RavkCodecProfile): 0 and 1 take the
// limit tables as they are; 2 caps every implementation they cover at
// 1024 x 1024 at 30 frames per second.
typedef uint32_t RavkCodecProfile;
#define RAVK_CODEC_PROFILE_SMALL 2u

// Alignment of an implementation's frame sizes: width and height steps.
typedef CoreFrameSize RavkAlignment;

// ---- registration -------------------------------------------------------------

// Registers everything this machine offers and ranks the four lists: the
// audio entries, the video no-codec entries, the libvpx and Media
// Foundation encoders, the software and Direct3D 11 decoders, then the
// ranking pass. Entries already in the lists (other subsystems' codecs)
// stay and are ranked with the new ones. -1 for a profile other than 0, 1
// or 2 or at the first failing step; the lists are then restored to what
// the call found, so a retry does not stack a second set on a partial one.
int ravk_codecs_register(RavkCodecProfile profile);

// The registration steps, in the order ravk_codecs_register takes them.
// Each returns -1 at the first failing add, leaving the entries it added
// before in the lists.

// The audio no-codec encoder and decoder, the Opus encoder and decoder.
int ravk_codec_register_audio(void);
// The video no-codec encoder and decoder.
int ravk_codec_register_video_none(void);
// The libvpx VP8 and VP9 encoders that exist.
int ravk_codec_register_vpx_encoders(RavkCodecProfile profile);
// The Media Foundation encoders that exist, per codec the default element
// and the numbered devices 1, 2 ... up to the first missing one.
int ravk_codec_register_mf_encoders(RavkCodecProfile profile);
// The libvpx VP8 and VP9 decoders and the libav H.264 decoder that exist.
int ravk_codec_register_sw_decoders(RavkCodecProfile profile);
// The Direct3D 11 decoders that exist, with their probed sizes.
int ravk_codec_register_d3d11_decoders(void);

// Empties the four codec lists; the engine calls it when its media session
// ends.
void ravk_codec_lists_clear(void);

// Adds a copy of the descriptor, listed, to the list its direction selects:
// the one way registration and ranking add, so that the seam below covers
// both. 0 or -1.
int ravk_codec_list_add_audio(const CoreAudioCodecDesc *desc);
int ravk_codec_list_add_video(const CoreVideoCodecDesc *desc);

// Test seam: the add that follows `adds` further successful adds of the
// registry (registration and ranking) fails, once. -1 disarms it.
void ravk_codecs_fail_add_after(int adds);

// ---- choosers -----------------------------------------------------------------

// The largest mode the implementation of (backend, acceleration, direction,
// codec byte of codec) advertises under profile, rounded to alignment. 0
// with *out set; -1 (out untouched) where no limit is defined: a software
// implementation of a direction other than encoder or decoder (MJPEG
// aside, whose limit holds for any).
int ravk_codec_max_mode(RavkCodecProfile profile, uint32_t backend, RavkAlignment alignment, uint32_t acceleration,
                        uint32_t direction, RavkCodecId codec, CoreVideoMode *out);

// The implementation that serves the video codec byte of codec on backend
// with acceleration 1 or 2, or 0; an implementation whose element is
// probed is returned only when it exists with that device number. When an
// id is found and family is given, its family text is written there.
uint32_t ravk_video_encoder_impl_find(RavkCodecId codec, uint32_t backend, uint32_t acceleration, int32_t device,
                                      char *family, uint64_t family_size);
uint32_t ravk_video_decoder_impl_find(RavkCodecId codec, uint32_t backend, uint32_t acceleration, int32_t device,
                                      char *family, uint64_t family_size);

// The descriptor's implementation id when set, else the one the chooser of
// its direction finds for the video codec byte of flags and the
// descriptor's backend, acceleration and device number; 0 when none.
uint32_t ravk_video_impl_select(RavkMediaFlags flags, const CoreVideoCodecDesc *desc);

// The descriptor's implementation id when set, else the RavkAudioImpl of
// the audio codec byte of flags for the descriptor's direction (Opus: the
// generic element with acceleration 1, the Android one with acceleration 2
// on the Android backend); 0 when none.
uint32_t ravk_audio_impl_select(RavkMediaFlags flags, const CoreAudioCodecDesc *desc);

// The FourCC of the video codec byte ("H264", "VP8X" ...), "NONE" for
// any other.
uint32_t ravk_video_codec_fourcc(RavkCodecId codec);

// ---- probes -------------------------------------------------------------------

// 1 when the element of a probed implementation id can be made here (a
// numbered Media Foundation element takes head's device number), with
// head's acceleration set to 2 for a hardware element (its class metadata
// contains "/Hardware") or 1; 0 otherwise, head untouched. Only the
// Media Foundation, V4L2, libav, Direct3D 11 and libvpx ids are probed;
// every other id answers 0.
int ravk_encoder_probe(uint32_t implementation_id, CoreVideoCodecDesc *head);
int ravk_decoder_probe(uint32_t implementation_id, CoreVideoCodecDesc *head);

// The probes on a scratch head of the given device number: 1 or 0.
int ravk_encoder_available(uint32_t implementation_id, int32_t device);
int ravk_decoder_available(uint32_t implementation_id, int32_t device);

// 1 when the encoder's element can be made here and is hardware.
int ravk_encoder_is_hardware(uint32_t implementation_id, int32_t device);

// The largest size a Direct3D 11 decoder of the video codec byte of codec
// accepts, rounded to alignment; always fills *out, 1920 x 1080 when
// nothing better is known. This build has no Direct3D 11, so that is
// always the answer.
void ravk_d3d11_max_decoder_size(RavkAlignment alignment, RavkCodecId codec, CoreFrameSize *out);
