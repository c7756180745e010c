#include "ravelkit/ranking.h"

#include <algorithm>
#include <cstdlib>

#include "core/cpu.h"
#include "core/values.h"
#include "ravelkit/codecs.h"

namespace {

// Each step dominates the sum of all later ones, so the groups never mix:
// no-codec entry, then direction, then class and acceleration, then codec.
constexpr uint32_t kNoCodecScore = 0x7FFFFFFF;
constexpr uint32_t kEncoderBase = 0x3FFFFFFF;
constexpr uint32_t kDecoderBase = 0x1FFFFFFF;
constexpr uint32_t kPlatformHardware = 0x0FFFFFFF;
constexpr uint32_t kPlatformSoftware = 0x07FFFFFF;
constexpr uint32_t kPortableHardware = 0x03FFFFFF;
constexpr uint32_t kPortableSoftware = 0x01FFFFFF;

// The codec order of platform codecs and of portable codecs on a strong
// machine, which can afford the newer codecs' encoding cost ...
uint32_t modern_bonus(uint32_t fourcc)
{
    if (fourcc == core_fourcc("H265")) return 0x1FFFFF;
    if (fourcc == core_fourcc("VP9X")) return 0xFFFFF;
    if (fourcc == core_fourcc("H264")) return 0x7FFFF;
    if (fourcc == core_fourcc("VP8X")) return 0x3FFFF;
    return 0;
}

// ... and of portable codecs on a weak machine.
uint32_t classic_bonus(uint32_t fourcc)
{
    if (fourcc == core_fourcc("H264")) return 0x1FFFFF;
    if (fourcc == core_fourcc("VP8X")) return 0xFFFFF;
    if (fourcc == core_fourcc("H265")) return 0x7FFFF;
    if (fourcc == core_fourcc("VP9X")) return 0x3FFFF;
    return 0;
}

uint32_t direction_base(uint32_t direction)
{
    if (direction == RAVK_CODEC_ENCODER) return kEncoderBase;
    if (direction == RAVK_CODEC_DECODER) return kDecoderBase;
    return 0;
}

// Encoding costs more than decoding, so an encoder needs a stronger machine
// (32 logical processors, against 8) before it prefers the newer codecs.
bool strong_machine(uint32_t direction)
{
    return core_cpu_class() >= (direction == RAVK_CODEC_ENCODER ? 4 : 2);
}

template <typename Desc, typename Compare>
int rank_list(uint32_t direction, uint32_t (*count)(uint32_t), int (*get)(int64_t, uint32_t, Desc *),
              int (*add)(const Desc *), void (*clear)(uint32_t), Compare compare)
{
    const uint32_t n = count(direction);
    Desc *copies = nullptr;
    if (n > 0) {
        copies = static_cast<Desc *>(calloc(n, sizeof(Desc)));
        if (copies == nullptr) return -1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (get(i, direction, &copies[i]) != 0) {
            free(copies);
            return -1;
        }
    }
    clear(direction);
    std::stable_sort(copies, copies + n, [&](const Desc &a, const Desc &b) { return compare(&a, &b) < 0; });
    int result = 0;
    for (uint32_t i = 0; i < n && result == 0; ++i) result = add(&copies[i]);
    free(copies);
    return result;
}

}  // namespace

uint32_t ravk_codec_score_audio(const CoreAudioCodecDesc *desc)
{
    if (desc->acceleration == RAVK_ACCEL_NONE) return kNoCodecScore;
    uint32_t score = direction_base(desc->direction);
    const bool hardware = desc->acceleration == RAVK_ACCEL_HARDWARE;
    const bool software = desc->acceleration == RAVK_ACCEL_SOFTWARE;
    if (desc->codec_class == RAVK_CODEC_CLASS_PLATFORM && (hardware || software))
        score += hardware ? kPlatformHardware : kPlatformSoftware;
    else if (desc->codec_class == RAVK_CODEC_CLASS_PORTABLE && (hardware || software))
        score += hardware ? kPortableHardware : kPortableSoftware;
    return score;
}

uint32_t ravk_codec_score_video(const CoreVideoCodecDesc *desc)
{
    if (desc->acceleration == RAVK_ACCEL_NONE) return kNoCodecScore;
    const uint32_t base = direction_base(desc->direction);
    uint32_t fourcc = core_fourcc("NONE");
    if (desc->direction == RAVK_CODEC_ENCODER) fourcc = desc->output;
    if (desc->direction == RAVK_CODEC_DECODER) fourcc = desc->input;
    const bool hardware = desc->acceleration == RAVK_ACCEL_HARDWARE;
    const bool software = desc->acceleration == RAVK_ACCEL_SOFTWARE;
    if (!hardware && !software) return base;
    if (desc->codec_class == RAVK_CODEC_CLASS_PLATFORM)
        return base + (hardware ? kPlatformHardware : kPlatformSoftware) + modern_bonus(fourcc);
    if (desc->codec_class == RAVK_CODEC_CLASS_PORTABLE)
        return base + (hardware ? kPortableHardware : kPortableSoftware) +
               (strong_machine(desc->direction) ? modern_bonus(fourcc) : classic_bonus(fourcc));
    return base;
}

int32_t ravk_codec_compare_audio(const CoreAudioCodecDesc *a, const CoreAudioCodecDesc *b)
{
    return static_cast<int32_t>(ravk_codec_score_audio(b)) - static_cast<int32_t>(ravk_codec_score_audio(a));
}

int32_t ravk_codec_compare_video(const CoreVideoCodecDesc *a, const CoreVideoCodecDesc *b)
{
    return static_cast<int32_t>(ravk_codec_score_video(b)) - static_cast<int32_t>(ravk_codec_score_video(a));
}

int ravk_codec_rank_audio(uint32_t direction)
{
    return rank_list<CoreAudioCodecDesc>(direction, core_codec_entry_count_audio, core_codec_get_audio,
                                         ravk_codec_list_add_audio, ravk_codec_list_clear_audio,
                                         ravk_codec_compare_audio);
}

int ravk_codec_rank_video(uint32_t direction)
{
    return rank_list<CoreVideoCodecDesc>(direction, core_codec_entry_count_video, core_codec_get_video,
                                         ravk_codec_list_add_video, ravk_codec_list_clear_video,
                                         ravk_codec_compare_video);
}

void ravk_codec_list_clear_audio(uint32_t direction)
{
    if (direction != RAVK_CODEC_ENCODER && direction != RAVK_CODEC_DECODER) return;
    while (core_codec_remove_audio(0, direction) == 0) {
    }
}

void ravk_codec_list_clear_video(uint32_t direction)
{
    if (direction != RAVK_CODEC_ENCODER && direction != RAVK_CODEC_DECODER) return;
    while (core_codec_remove_video(0, direction) == 0) {
    }
}
