// Codec indices: the small numbers by which the engine names codecs, their
// FourCCs, their display names and the order in which video codecs are
// preferred.
//
// An audio codec index is 0-5, a video codec index 0-7 (0 being raw video)
// and 255 "no video codec"; stream records carry them in their media flags
// (audio: index << 8, video: index << 16). FourCCs are 32-bit values whose
// bytes, lowest first, are the four characters. Pure functions over
// constant tables, safe from any thread. Lookups of unknown values answer
// ENGINE_VIDEO_CODEC_NONE or ENGINE_FOURCC_NONE; the name functions write
// into the caller's 256-byte buffer and return it.
#pragma once

#include <cstdint>

#include "core/video.h"

// Index of no (or an unknown) video codec; also starts and ends a walk of
// engine_video_codec_next.
#define ENGINE_VIDEO_CODEC_NONE 255u

// FourCC of an index outside the tables.
#define ENGINE_FOURCC_NONE core_fourcc("NONE")

// Size of the buffer the name functions write into.
#define ENGINE_CODEC_NAME_SIZE 256

enum : uint32_t {
    ENGINE_AUDIO_CODEC_PCM = 0,
    ENGINE_AUDIO_CODEC_ALAW = 1,
    ENGINE_AUDIO_CODEC_ULAW = 2,
    ENGINE_AUDIO_CODEC_VORBIS = 3,
    ENGINE_AUDIO_CODEC_OPUS = 4,
    ENGINE_AUDIO_CODEC_AAC = 5,
};

enum : uint32_t {
    ENGINE_VIDEO_CODEC_RAW = 0,
    ENGINE_VIDEO_CODEC_H264 = 1,
    ENGINE_VIDEO_CODEC_H265 = 2,
    ENGINE_VIDEO_CODEC_VP8 = 3,
    ENGINE_VIDEO_CODEC_VP9 = 4,
    ENGINE_VIDEO_CODEC_MJPEG = 5,
    ENGINE_VIDEO_CODEC_THEORA = 6,
    ENGINE_VIDEO_CODEC_AV1 = 7,
};

// The video codec index of a FourCC: 0 for the 63 raw formats, 1-7 for the
// codec FourCCs (exact case), ENGINE_VIDEO_CODEC_NONE for anything else.
uint32_t engine_video_codec_from_fourcc(uint32_t fourcc);

// The index after `index` in the modern order (AV1, H.265, VP9, H.264, VP8,
// MJPEG; `modern` non-zero) or the classic one (H.264, VP8, H.265, VP9, AV1,
// MJPEG). ENGINE_VIDEO_CODEC_NONE gives the first; the last, and any index
// not in the order (raw, Theora, unknown), give ENGINE_VIDEO_CODEC_NONE.
uint32_t engine_video_codec_next(uint32_t index, int modern);

// Writes the codec's name ("OPUS", "H264", ...) or "UNKNOWN (subtype
// 0x%08X)" with the index into `buffer` (ENGINE_CODEC_NAME_SIZE bytes).
// Returns buffer; NULL when buffer is NULL.
char *engine_audio_codec_name(uint32_t index, char *buffer);
char *engine_video_codec_name(uint32_t index, char *buffer);

// The FourCC of a codec index; ENGINE_FOURCC_NONE outside the tables and for
// raw video (index 0), which has many.
uint32_t engine_audio_fourcc(uint32_t index);
uint32_t engine_video_fourcc(uint32_t index);
