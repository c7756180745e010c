#include "services/codecs.h"

#include <cstring>

#include "core/sha256.h"

namespace {

struct FourccName {
    uint32_t fourcc;
    const char *name;
};

constexpr FourccName kFourccNames[] = {
    {core_fourcc("av01"), "AV1"}, {core_fourcc("H264"), "H.264"}, {core_fourcc("H265"), "H.265"},
    {core_fourcc("VP8X"), "VP8"}, {core_fourcc("VP9X"), "VP9"},   {core_fourcc("lpcm"), "PCM"},
    {core_fourcc("opus"), "OPUS"},
};

std::string fourcc_display_name(uint32_t fourcc)
{
    for (const FourccName &entry : kFourccNames)
        if (entry.fourcc == fourcc) return entry.name;
    return "Invalid";
}

template <typename Desc>
void set_default(Desc *desc)
{
    memset(static_cast<void *>(desc), 0, sizeof(*desc));
    desc->input = kPkFourccNone;
    desc->output = kPkFourccNone;
    desc->device_number = PK_CODEC_NO_DEVICE;
}

std::string uuid_text(const void *desc, int32_t index)
{
    CoreName name;
    core_sha256_name(desc, index, &name);
    return std::string(name.hex, 2 * CORE_NAME_KEY_SIZE);
}

}  // namespace

PkAudioCodecDesc::PkAudioCodecDesc()
{
    set_default<CoreAudioCodecDesc>(this);
}

PkVideoCodecDesc::PkVideoCodecDesc()
{
    set_default<CoreVideoCodecDesc>(this);
}

std::string pk_codec_name_in(const CoreAudioCodecDesc &desc)
{
    return fourcc_display_name(desc.input);
}

std::string pk_codec_name_in(const CoreVideoCodecDesc &desc)
{
    return fourcc_display_name(desc.input);
}

std::string pk_codec_name_out(const CoreAudioCodecDesc &desc)
{
    return fourcc_display_name(desc.output);
}

std::string pk_codec_name_out(const CoreVideoCodecDesc &desc)
{
    return fourcc_display_name(desc.output);
}

std::string pk_codec_uuid_text(const CoreAudioCodecDesc &desc, int32_t index)
{
    return uuid_text(&desc, index);
}

std::string pk_codec_uuid_text(const CoreVideoCodecDesc &desc, int32_t index)
{
    return uuid_text(&desc, index);
}

bool pk_video_codec_desc_check(const CoreVideoCodecDesc &desc)
{
    return core_video_desc_modes_differ(&desc) != 0;
}

void pk_codec_desc_pair_init(PkCodecDescPair &pair)
{
    pair.audio = PkAudioCodecDesc();
    pair.video = PkVideoCodecDesc();
}

bool pk_audio_codec_desc_from_event(const void *record, size_t length, PkAudioCodecDesc *out)
{
    if (record == nullptr || out == nullptr || length < PK_EVAL_AUDIO_CODEC_OFFSET + sizeof(CoreAudioCodecDesc))
        return false;
    memcpy(static_cast<CoreAudioCodecDesc *>(out), static_cast<const uint8_t *>(record) + PK_EVAL_AUDIO_CODEC_OFFSET,
           sizeof(CoreAudioCodecDesc));
    return true;
}

bool pk_video_codec_desc_from_event(const void *record, size_t length, PkVideoCodecDesc *out)
{
    if (record == nullptr || out == nullptr || length < PK_EVAL_VIDEO_CODEC_OFFSET + sizeof(CoreVideoCodecDesc))
        return false;
    memcpy(static_cast<CoreVideoCodecDesc *>(out), static_cast<const uint8_t *>(record) + PK_EVAL_VIDEO_CODEC_OFFSET,
           sizeof(CoreVideoCodecDesc));
    return true;
}

PkAudioEncoderLimits pk_audio_encoder_limits_copy(const PkAudioEncoderLimits &limits)
{
    return limits;
}

PkVideoEncoderLimits pk_video_encoder_limits_copy(const PkVideoEncoderLimits &limits)
{
    return limits;
}
