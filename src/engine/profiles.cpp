#include "engine/profiles.h"

#include <algorithm>
#include <cstring>

#include "engine/codec_ids.h"
#include "engine/records.h"
#include "engine/send.h"

namespace {

constexpr uint64_t k_ladder_floor = 100000;
constexpr uint64_t k_ladder_rounding = 10000;

// p2p targets by the long side of the picture, largest first.
struct TargetRow {
    uint32_t longSide;
    uint64_t target;
};
constexpr TargetRow k_p2p_targets[] = {
    {8192, 28000000}, {7680, 24000000}, {6144, 20000000}, {5120, 14000000}, {4096, 12000000}, {3840, 10000000},
    {3360, 9000000},  {2560, 8000000},  {2048, 7000000},  {1920, 6000000},  {1600, 5000000},  {1280, 4000000},
    {1024, 3000000},  {768, 2000000},   {640, 1500000},   {512, 1000000},   {256, 750000},
};
constexpr uint64_t k_p2p_smallest_target = 500000;

// A broadcast serves every viewer with one encoding, so its targets stay low.
constexpr uint32_t k_p2m_large_side = 1280;
constexpr uint64_t k_p2m_large_target = 3000000;
constexpr uint64_t k_other_target = 2000000;

constexpr uint64_t k_audio_bitrate = 64000;
constexpr uint32_t k_audio_frame_rate = 50;
constexpr uint32_t k_video_frame_rate = 60;
constexpr uint32_t k_min_frame_rate = 6;
constexpr uint64_t k_bitrate_ceiling = 50000000;

constexpr uint32_t k_rate_control_adaptive = 0x1;
constexpr uint32_t k_rate_control_option = 0x2;
constexpr uint32_t k_rate_control_reliable_audio = 0x4;

constexpr uint32_t k_reliable_stream = 3;
constexpr uint32_t k_media_rate_stream = 2;

// A float that is negative, NaN or past 64 bits has no u64 value; converting
// one anyway is undefined, so it saturates instead.
uint64_t to_u64(float value)
{
    if (!(value >= 0.0f)) return 0;
    if (value >= 18446744073709551616.0f) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

bool rate_usable(uint32_t numerator, uint32_t denominator)
{
    return numerator != 0 && denominator != 0 && numerator != 0xFFFFFFFFu && denominator != 0xFFFFFFFFu;
}

}  // namespace

void engine_bitrate_ladder(const CoreVideoMode *mode, int binderKind, uint32_t fourcc,
                           uint64_t out[ENGINE_BITRATE_STEPS])
{
    if (out == nullptr) return;
    const uint32_t longSide = mode != nullptr ? std::max(mode->width, mode->height) : 0;
    uint64_t target;
    if (binderKind == ENGINE_BINDER_KIND_P2P) {
        target = k_p2p_smallest_target;
        for (const TargetRow &row : k_p2p_targets) {
            if (longSide >= row.longSide) {
                target = row.target;
                break;
            }
        }
        if (fourcc == core_fourcc("H264") || fourcc == core_fourcc("VP8X"))
            target = target * 3 / 2;
        else if (fourcc == core_fourcc("MJPG"))
            target = target * 5;
    } else if (binderKind == ENGINE_BINDER_KIND_P2M) {
        target = longSide >= k_p2m_large_side ? k_p2m_large_target : k_other_target;
    } else {
        target = k_other_target;
    }
    const uint64_t step = (target - k_ladder_floor) / (ENGINE_BITRATE_STEPS - 1);
    out[0] = k_ladder_floor;
    for (uint64_t k = 1; k < ENGINE_BITRATE_STEPS; ++k)
        out[k] = (k_ladder_floor + k * step + k_ladder_rounding / 2) / k_ladder_rounding * k_ladder_rounding;
}

uint64_t engine_byte_rate_with_framing(uint64_t a, uint64_t b, uint32_t rateNumerator, uint32_t rateDenominator)
{
    // The sum of two large rates must not wrap before it is halved.
    const auto base = static_cast<uint64_t>((static_cast<unsigned __int128>(a) + b) >> 4);
    if (!rate_usable(rateNumerator, rateDenominator)) return base;
    const float fps = static_cast<float>(rateNumerator) / static_cast<float>(rateDenominator);
    const float perFrame = static_cast<float>(base) / fps;
    return to_u64(static_cast<float>(engine_frame_message_size(to_u64(perFrame))) * fps);
}

CoreResult engine_profile_request_make(EngineCapability *capability, uint32_t mediaFlags, uint32_t roleWord,
                                       const CoreName *streamName, const CoreVideoMode *sendMode, int binderKind,
                                       EngineProfileRequest *out)
{
    if (out == nullptr || streamName == nullptr) return CORE_ERR_INVALID;
    memset(out, 0, sizeof(*out));
    if (capability == nullptr) return CORE_ERR;
    out->mediaFlags = mediaFlags;
    out->roleWord = roleWord;
    out->streamName = *streamName;

    if (mediaFlags & ENGINE_MEDIA_AUDIO) {
        out->queueStart = 25;
        out->queueDepth = 25;
        out->minBitrate = k_audio_bitrate;
        out->maxBitrate = k_audio_bitrate;
        out->audioReserve = 40;
        out->byteRate = engine_byte_rate_with_framing(k_audio_bitrate, k_audio_bitrate, k_audio_frame_rate, 1);
        out->chunkSize = 4096;
        out->bitrateCeiling = k_bitrate_ceiling;
        out->minFrameRate[0] = k_min_frame_rate;
        out->minFrameRate[1] = 1;
        out->frameRate[0] = k_audio_frame_rate;
        out->frameRate[1] = 1;
        if (capability->audioSinkParam == k_reliable_stream) out->rateControl = k_rate_control_reliable_audio;
        return CORE_OK;
    }
    if (!(mediaFlags & ENGINE_MEDIA_VIDEO)) return CORE_OK;

    const CoreVideoMode mode = sendMode != nullptr ? *sendMode : CoreVideoMode{};
    uint64_t ladder[ENGINE_BITRATE_STEPS];
    engine_bitrate_ladder(&mode, binderKind, engine_video_fourcc((mediaFlags >> 16) & 0xFF), ladder);
    out->queueStart = 30;
    out->queueDepth = 30;
    out->minBitrate = ladder[0];
    out->maxBitrate = ladder[ENGINE_BITRATE_STEPS - 1];
    out->byteRate = engine_byte_rate_with_framing(ladder[0], ladder[ENGINE_BITRATE_STEPS - 1], k_video_frame_rate, 1);
    out->chunkSize = 262144;
    out->bitrateCeiling = k_bitrate_ceiling;
    out->minFrameRate[0] = k_min_frame_rate;
    out->minFrameRate[1] = 1;
    if (rate_usable(mode.rate_num, mode.rate_den)) {
        out->frameRate[0] = mode.rate_num;
        out->frameRate[1] = mode.rate_den;
    } else {
        out->frameRate[0] = k_video_frame_rate;
        out->frameRate[1] = 1;
    }

    uint32_t policy;
    {
        CoreLockGuard guard(&capability->lock);
        policy = capability->bitratePolicy;
    }
    // Only an adaptive stream on a media-rate transport can follow the
    // network; the option adds the second control bit.
    if (capability->videoSinkParam == k_media_rate_stream && policy == 0) {
        out->rateControl = k_rate_control_adaptive;
        if (capability->rateControlOption == 1) out->rateControl |= k_rate_control_option;
    }
    return CORE_OK;
}
