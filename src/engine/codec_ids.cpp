#include "engine/codec_ids.h"

#include <cstdio>

namespace {

struct CodecId {
    uint32_t fourcc;
    const char *name;
};

constexpr CodecId k_audio[] = {
    {core_fourcc("lpcm"), "PCM"},  {core_fourcc("alaw"), "ALAW"}, {core_fourcc("ulaw"), "ULAW"},
    {core_fourcc("OGG "), "VORBIS"}, {core_fourcc("opus"), "OPUS"}, {core_fourcc("aac "), "AAC"},
};

// Raw video has no FourCC of its own: its many formats all map to index 0.
constexpr CodecId k_video[] = {
    {ENGINE_FOURCC_NONE, "RAW"},    {core_fourcc("H264"), "H264"},   {core_fourcc("H265"), "H265"},
    {core_fourcc("VP8X"), "VP8"},   {core_fourcc("VP9X"), "VP9"},    {core_fourcc("MJPG"), "MJPEG"},
    {core_fourcc("theo"), "THEORA"}, {core_fourcc("av01"), "AV1"},
};

constexpr uint32_t k_audio_count = sizeof(k_audio) / sizeof(k_audio[0]);
constexpr uint32_t k_video_count = sizeof(k_video) / sizeof(k_video[0]);

constexpr uint32_t k_raw_formats[] = {
    core_fourcc("Y8  "), core_fourcc("Y16 "), core_fourcc("Y800"), core_fourcc("V210"), core_fourcc("I420"),
    core_fourcc("Y211"), core_fourcc("Y411"), core_fourcc("NV21"), core_fourcc("IY41"), core_fourcc("NV61"),
    core_fourcc("IMC1"), core_fourcc("IYU1"), core_fourcc("CXY1"), core_fourcc("NV12"), core_fourcc("YV12"),
    core_fourcc("I422"), core_fourcc("V422"), core_fourcc("Y422"), core_fourcc("NV42"), core_fourcc("IMC2"),
    core_fourcc("IYU2"), core_fourcc("YUY2"), core_fourcc("BXY2"), core_fourcc("IMC3"), core_fourcc("NV24"),
    core_fourcc("YV24"), core_fourcc("I444"), core_fourcc("IMC4"), core_fourcc("V655"), core_fourcc("NV16"),
    core_fourcc("YV16"), core_fourcc("IF09"), core_fourcc("YVU9"), core_fourcc("YUV9"), core_fourcc("RGBA"),
    core_fourcc("BGRA"), core_fourcc("Y41B"), core_fourcc("Y42B"), core_fourcc("ARGB"), core_fourcc("xRGB"),
    core_fourcc("CLPL"), core_fourcc("Y41P"), core_fourcc("YUVP"), core_fourcc("UYVP"), core_fourcc("ABGR"),
    core_fourcc("xBGR"), core_fourcc("CLJR"), core_fourcc("Y41T"), core_fourcc("Y42T"), core_fourcc("YVYU"),
    core_fourcc("YUNV"), core_fourcc("UYNV"), core_fourcc("AYUV"), core_fourcc("IUYV"), core_fourcc("IYUV"),
    core_fourcc("YUYV"), core_fourcc("ISaW"), core_fourcc("GREY"), core_fourcc("VYUY"), core_fourcc("UYVY"),
    core_fourcc("cyuv"), core_fourcc("RGBx"), core_fourcc("BGRx"),
};
static_assert(sizeof(k_raw_formats) / sizeof(k_raw_formats[0]) == 63, "63 raw video formats");

// MJPEG closes both orders: it is the fallback every node can decode.
// Theora is never offered.
constexpr uint32_t k_modern_order[] = {ENGINE_VIDEO_CODEC_AV1, ENGINE_VIDEO_CODEC_H265, ENGINE_VIDEO_CODEC_VP9,
                                       ENGINE_VIDEO_CODEC_H264, ENGINE_VIDEO_CODEC_VP8, ENGINE_VIDEO_CODEC_MJPEG};
constexpr uint32_t k_classic_order[] = {ENGINE_VIDEO_CODEC_H264, ENGINE_VIDEO_CODEC_VP8, ENGINE_VIDEO_CODEC_H265,
                                        ENGINE_VIDEO_CODEC_VP9,  ENGINE_VIDEO_CODEC_AV1, ENGINE_VIDEO_CODEC_MJPEG};
constexpr size_t k_order_length = sizeof(k_modern_order) / sizeof(k_modern_order[0]);

char *write_name(const CodecId *table, uint32_t count, uint32_t index, char *buffer)
{
    if (buffer == nullptr) return nullptr;
    if (index < count)
        snprintf(buffer, ENGINE_CODEC_NAME_SIZE, "%s", table[index].name);
    else
        snprintf(buffer, ENGINE_CODEC_NAME_SIZE, "UNKNOWN (subtype 0x%08X)", index);
    return buffer;
}

}  // namespace

uint32_t engine_video_codec_from_fourcc(uint32_t fourcc)
{
    for (uint32_t raw : k_raw_formats)
        if (raw == fourcc) return ENGINE_VIDEO_CODEC_RAW;
    for (uint32_t i = ENGINE_VIDEO_CODEC_H264; i < k_video_count; ++i)
        if (k_video[i].fourcc == fourcc) return i;
    return ENGINE_VIDEO_CODEC_NONE;
}

uint32_t engine_video_codec_next(uint32_t index, int modern)
{
    const uint32_t *order = modern != 0 ? k_modern_order : k_classic_order;
    if (index == ENGINE_VIDEO_CODEC_NONE) return order[0];
    for (size_t i = 0; i + 1 < k_order_length; ++i)
        if (order[i] == index) return order[i + 1];
    return ENGINE_VIDEO_CODEC_NONE;
}

char *engine_audio_codec_name(uint32_t index, char *buffer)
{
    return write_name(k_audio, k_audio_count, index, buffer);
}

char *engine_video_codec_name(uint32_t index, char *buffer)
{
    return write_name(k_video, k_video_count, index, buffer);
}

uint32_t engine_audio_fourcc(uint32_t index)
{
    return index < k_audio_count ? k_audio[index].fourcc : ENGINE_FOURCC_NONE;
}

uint32_t engine_video_fourcc(uint32_t index)
{
    return index < k_video_count ? k_video[index].fourcc : ENGINE_FOURCC_NONE;
}
