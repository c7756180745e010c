#include "engine/offer_tables.h"

#include <cstring>
#include <type_traits>

#include "core/values.h"
#include "engine/codec_ids.h"
#include "engine/names.h"

namespace {

constexpr uint32_t k_hardware_class = RAVK_CODEC_CLASS_PLATFORM;
constexpr uint64_t k_hardware_backends[] = {15, 16, 17, 19};

// Codec records point at the first plain record of their medium.
constexpr uint32_t k_audio_stream_number = 0;
constexpr uint32_t k_video_stream_number = ENGINE_STREAM_BIAS_VIDEO;

// An audio plain record's byte 1 when its codec is none or unknown.
constexpr uint32_t k_audio_codec_unknown = 0xFF;

bool sends(uint32_t mode, const EngineLocalCaps *caps)
{
    return (mode & caps->sendRoles) != 0;
}

bool receives(uint32_t mode, const EngineLocalCaps *caps)
{
    return (mode & caps->receiveRoles) != 0;
}

bool audio_format_complete(const RavkAudioFormat &f)
{
    return f.rate != 0 && f.rate != 0xFFFFFFFFu && f.channels != 0 && f.channels != 255 &&
           f.bits_per_sample != 0 && f.bits_per_sample != 255;
}

bool audio_formats_equal(const RavkAudioFormat &a, const RavkAudioFormat &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// The descriptor formats and the engine's format share their 12 bytes.
EngineAudioFormat engine_format(const RavkAudioFormat &f)
{
    static_assert(sizeof(RavkAudioFormat) == sizeof(EngineAudioFormat), "the two audio formats share a layout");
    EngineAudioFormat out;
    memcpy(&out, &f, sizeof out);
    return out;
}

// The evaluation's result wins over the registered limit once it is whole.
const RavkAudioFormat &audio_max(const CoreAudioCodecDesc &d)
{
    return audio_format_complete(d.evaluated_maximum) ? d.evaluated_maximum : d.maximum_format;
}

const RavkAudioFormat &audio_min(const CoreAudioCodecDesc &d)
{
    return audio_format_complete(d.evaluated_minimum) ? d.evaluated_minimum : d.minimum_format;
}

const CoreVideoMode &video_max(const CoreVideoCodecDesc &d)
{
    return core_video_mode_complete(&d.evaluated_maximum) ? d.evaluated_maximum : d.maximum_mode;
}

const CoreVideoMode &video_min(const CoreVideoCodecDesc &d)
{
    return core_video_mode_complete(&d.evaluated_minimum) ? d.evaluated_minimum : d.minimum_mode;
}

// Feature sets A and B: a non-zero evaluated value overrides the registered one.
int64_t features_a(const CoreVideoCodecDesc &d)
{
    return static_cast<int64_t>(d.evaluated_profile_set != 0 ? d.evaluated_profile_set : d.profile_set);
}

int64_t features_b(const CoreVideoCodecDesc &d)
{
    return static_cast<int64_t>(d.evaluated_coding_options != 0 ? d.evaluated_coding_options : d.coding_options);
}

// An encoder is known by the codec it gives, a decoder by the codec it takes.
uint32_t codec_fourcc(uint32_t list, uint32_t input, uint32_t output)
{
    return list == ENGINE_CODEC_LIST_ENCODERS ? output : input;
}

uint32_t audio_codec_fourcc(const CoreAudioCodecDesc &d)
{
    return codec_fourcc(d.direction, d.input, d.output);
}

uint32_t video_codec_fourcc(const CoreVideoCodecDesc &d)
{
    return codec_fourcc(d.direction, d.input, d.output);
}

bool valid_list(uint32_t list)
{
    return list == ENGINE_CODEC_LIST_ENCODERS || list == ENGINE_CODEC_LIST_DECODERS;
}

// Byte 1 of a plain audio record: AAC has several FourCCs.
uint32_t plain_audio_codec_index(uint32_t fourcc)
{
    for (uint32_t i = ENGINE_AUDIO_CODEC_PCM; i <= ENGINE_AUDIO_CODEC_AAC; ++i)
        if (engine_audio_fourcc(i) == fourcc) return i;
    constexpr uint32_t aacVariants[] = {core_fourcc("aacp"), core_fourcc("aacs"), core_fourcc("aacl"),
                                        core_fourcc("aace"), core_fourcc("aacf"), core_fourcc("aacg"),
                                        core_fourcc("aach")};
    for (uint32_t aac : aacVariants)
        if (aac == fourcc) return ENGINE_AUDIO_CODEC_AAC;
    return k_audio_codec_unknown;
}

// Byte 2 of a video codec record: only the seven codec FourCCs, 0 for the rest.
uint32_t codec_record_video_index(uint32_t fourcc)
{
    for (uint32_t i = ENGINE_VIDEO_CODEC_H264; i <= ENGINE_VIDEO_CODEC_AV1; ++i)
        if (engine_video_fourcc(i) == fourcc) return i;
    return 0;
}

uint32_t stream_kind(uint32_t sinkParam)
{
    return (sinkParam == 1 || sinkParam == 2) ? sinkParam : 3;
}

template <typename Desc>
struct CodecList;

template <>
struct CodecList<CoreAudioCodecDesc> {
    static uint32_t count(uint32_t list) { return core_codec_entry_count_audio(list); }
    static bool get(uint32_t i, uint32_t list, CoreAudioCodecDesc *d) { return core_codec_get_audio(i, list, d) == 0; }
    static bool hardware(const CoreAudioCodecDesc &d) { return engine_audio_codec_is_hardware(&d); }
    static bool acceptable(const CoreAudioCodecDesc &d) { return engine_audio_codec_is_acceptable(&d); }
    static uint32_t wanted(uint32_t index) { return engine_audio_fourcc(index); }
    static uint32_t fourcc(const CoreAudioCodecDesc &d, uint32_t list) { return codec_fourcc(list, d.input, d.output); }
};

template <>
struct CodecList<CoreVideoCodecDesc> {
    static uint32_t count(uint32_t list) { return core_codec_entry_count_video(list); }
    static bool get(uint32_t i, uint32_t list, CoreVideoCodecDesc *d) { return core_codec_get_video(i, list, d) == 0; }
    static bool hardware(const CoreVideoCodecDesc &d) { return engine_video_codec_is_hardware(&d); }
    static bool acceptable(const CoreVideoCodecDesc &d) { return engine_video_codec_is_acceptable(&d); }
    static uint32_t wanted(uint32_t index) { return engine_video_fourcc(index); }
    static uint32_t fourcc(const CoreVideoCodecDesc &d, uint32_t list) { return codec_fourcc(list, d.input, d.output); }
};

template <typename Desc>
int default_codec(uint32_t list, uint32_t codecIndex, int hardwareOnly, Desc *out)
{
    using L = CodecList<Desc>;
    if (out == nullptr || !valid_list(list)) return -1;
    const uint32_t wanted = L::wanted(codecIndex);
    const uint32_t count = L::count(list);
    int first = -1;
    Desc firstDesc;
    Desc d;
    for (uint32_t i = 0; i < count; ++i) {
        if (!L::get(i, list, &d) || !L::acceptable(d)) continue;
        if (hardwareOnly && !L::hardware(d)) continue;
        if (codecIndex == ENGINE_CODEC_ANY || L::fourcc(d, list) == wanted) {
            *out = d;
            return static_cast<int>(i);
        }
        if (first < 0) {
            first = static_cast<int>(i);
            firstDesc = d;
        }
    }
    if (first >= 0) *out = firstDesc;
    return first;
}

// Hardware first: among hardware descriptors the wanted codec or any; only
// without any acceptable hardware descriptor the same over all of them.
template <typename Desc>
int32_t pick_default(uint32_t list, uint32_t codecIndex, Desc *out)
{
    int index = default_codec(list, codecIndex, 1, out);
    if (index < 0) index = default_codec(list, codecIndex, 0, out);
    return index;
}

template <typename Desc>
void count_usable(uint32_t list, uint64_t *count)
{
    using L = CodecList<Desc>;
    const uint32_t entries = L::count(list);
    Desc d;
    for (uint32_t i = 0; i < entries; ++i)
        if (L::get(i, list, &d) && d.acceleration != RAVK_ACCEL_NONE) ++*count;
}

// Writes the codec records of one list from *position on; the position
// advances past every record that would have been written, so a full table
// simply stops taking them. CORE_ERR when the list cannot be read.
template <typename Desc>
CoreResult add_list_records(uint32_t list, int32_t preferredIndex, const EngineMediaDesc *desc,
                            EngineStreamTable *table, uint64_t *position)
{
    using L = CodecList<Desc>;
    const uint32_t count = L::count(list);
    Desc d;
    for (uint32_t i = 0; i < count; ++i) {
        if (!L::get(i, list, &d)) return CORE_ERR;
        if (!L::acceptable(d)) continue;
        if (*position >= table->count) return CORE_OK;
        EngineStreamRecord *record = &table->records[(*position)++];
        const int preferred = static_cast<int32_t>(i) == preferredIndex;
        CoreResult result;
        if constexpr (std::is_same_v<Desc, CoreAudioCodecDesc>)
            result = engine_codec_record_from_audio(record, desc, &d, static_cast<int32_t>(i), preferred,
                                                    L::hardware(d));
        else
            result = engine_codec_record_from_video(record, desc, &d, static_cast<int32_t>(i), preferred,
                                                    L::hardware(d));
        if (result != CORE_OK) return result;
    }
    return CORE_OK;
}

void clear_record(EngineStreamRecord *record)
{
    memset(record, 0, sizeof(*record));
    engine_props_init(&record->props);
}

void begin_codec_record(EngineStreamRecord *record, const EngineMediaDesc *desc, uint32_t direction, int preferred,
                        int hardware)
{
    clear_record(record);
    record->channel = desc->channel;
    record->roleWord = (direction == ENGINE_CODEC_LIST_ENCODERS ? ENGINE_ROLE_ENCODER : ENGINE_ROLE_DECODER) |
                       (preferred ? ENGINE_ROLE_PREFERRED : 0u) | (hardware ? ENGINE_ROLE_HARDWARE : 0u);
}

int add_audio(EngineProps *props, const EngineAudioFormat &f, int kind, int index)
{
    return engine_props_add_audio(props, &f, sizeof f, kind, index);
}

int add_mode(EngineProps *props, const CoreVideoMode &m, int kind, int index)
{
    return engine_props_add_video(props, &m, sizeof m, kind, index);
}

int add_single(EngineProps *props, int64_t value, int kind, int index)
{
    if (kind >= ENGINE_PROPS_RECEIVE_FORMAT) return engine_props_add_audio(props, &value, sizeof value, kind, index);
    return engine_props_add_video(props, &value, sizeof value, kind, index);
}

int add_alignment(EngineProps *props, const CoreVideoCodecDesc &d, int kind, int index)
{
    const uint32_t steps[2] = {d.alignment_width, d.alignment_height};
    return engine_props_add_video(props, steps, sizeof steps, kind, index);
}

void fill_audio_props(EngineStreamRecord *record, bool sending, bool receiving, const EngineLocalCaps *caps,
                      const EngineDefaultCodecs *defaults)
{
    EngineProps *props = &record->props;
    int at = engine_props_count(props);
    if (sending) {
        at = add_audio(props, caps->sendAudioFormat, ENGINE_PROPS_SEND_FORMAT, at);
        at = add_audio(props, engine_format(audio_max(defaults->audioEncoder)), ENGINE_PROPS_ENCODER_MAX_FORMAT, at);
        at = add_single(props, caps->audioEncodeScore, ENGINE_PROPS_AUDIO_ENCODE_SCORE, at);
    }
    if (receiving) {
        at = add_audio(props, caps->receiveAudioFormat, ENGINE_PROPS_RECEIVE_FORMAT, at);
        at = add_audio(props, engine_format(audio_max(defaults->audioDecoder)), ENGINE_PROPS_DECODER_MAX_FORMAT, at);
        add_single(props, caps->audioDecodeScore, ENGINE_PROPS_AUDIO_DECODE_SCORE, at);
    }
}

void fill_video_props(EngineStreamRecord *record, bool sending, bool receiving, const EngineLocalCaps *caps,
                      const EngineDefaultCodecs *defaults)
{
    EngineProps *props = &record->props;
    int at = engine_props_count(props);
    if (sending) {
        if (core_video_mode_complete(&caps->displayVideoMode))
            at = add_mode(props, caps->displayVideoMode, ENGINE_PROPS_DISPLAY_MODE, at);
        at = add_mode(props, caps->sendVideoMode, ENGINE_PROPS_SEND_MODE, at);
        at = add_mode(props, video_max(defaults->videoEncoder), ENGINE_PROPS_ENCODER_MAX_MODE, at);
        at = add_alignment(props, defaults->videoEncoder, ENGINE_PROPS_ENCODER_ALIGN, at);
        at = add_single(props, caps->videoEncodeScore, ENGINE_PROPS_VIDEO_ENCODE_SCORE, at);
    }
    if (receiving) {
        at = add_mode(props, caps->receiveVideoMode, ENGINE_PROPS_RECEIVE_MODE, at);
        at = add_mode(props, video_max(defaults->videoDecoder), ENGINE_PROPS_DECODER_MAX_MODE, at);
        at = add_alignment(props, defaults->videoDecoder, ENGINE_PROPS_DECODER_ALIGN, at);
        add_single(props, caps->videoDecodeScore, ENGINE_PROPS_VIDEO_DECODE_SCORE, at);
    }
}

}  // namespace

bool engine_audio_codec_is_hardware(const CoreAudioCodecDesc *desc)
{
    return desc != nullptr && desc->acceleration == RAVK_ACCEL_HARDWARE;
}

bool engine_video_codec_is_hardware(const CoreVideoCodecDesc *desc)
{
    if (desc == nullptr) return false;
    if (desc->acceleration == RAVK_ACCEL_HARDWARE) return true;
    if (desc->codec_class != k_hardware_class) return false;
    const uint64_t backend = desc->backend & 0xFFFFFFFFu;
    for (uint64_t b : k_hardware_backends)
        if (backend == b) return true;
    return false;
}

bool engine_audio_codec_is_acceptable(const CoreAudioCodecDesc *desc)
{
    if (desc == nullptr || desc->acceleration == RAVK_ACCEL_NONE) return false;
    const bool pinned = audio_format_complete(desc->evaluated_minimum) &&
                        audio_format_complete(desc->evaluated_maximum) &&
                        audio_formats_equal(desc->evaluated_minimum, desc->evaluated_maximum);
    return !pinned;
}

bool engine_video_codec_is_acceptable(const CoreVideoCodecDesc *desc)
{
    return desc != nullptr && desc->acceleration != RAVK_ACCEL_NONE && core_video_desc_modes_differ(desc) != 0;
}

void engine_audio_codec_desc_empty(CoreAudioCodecDesc *desc)
{
    memset(desc, 0, sizeof(*desc));
    desc->input = ENGINE_FOURCC_NONE;
    desc->output = ENGINE_FOURCC_NONE;
    desc->device_number = -1;
}

void engine_video_codec_desc_empty(CoreVideoCodecDesc *desc)
{
    memset(desc, 0, sizeof(*desc));
    desc->input = ENGINE_FOURCC_NONE;
    desc->output = ENGINE_FOURCC_NONE;
    desc->device_number = -1;
}

int engine_default_audio_codec(uint32_t list, uint32_t codecIndex, int hardwareOnly, CoreAudioCodecDesc *desc)
{
    return default_codec(list, codecIndex, hardwareOnly, desc);
}

int engine_default_video_codec(uint32_t list, uint32_t codecIndex, int hardwareOnly, CoreVideoCodecDesc *desc)
{
    return default_codec(list, codecIndex, hardwareOnly, desc);
}

CoreResult engine_default_codecs(uint32_t mode, uint32_t sendRoles, uint32_t audioSend, uint32_t videoSend,
                                 uint32_t receiveRoles, uint32_t audioReceive, uint32_t videoReceive,
                                 EngineDefaultCodecs *out)
{
    if (out == nullptr) return CORE_ERR_INVALID;
    engine_audio_codec_desc_empty(&out->audioEncoder);
    engine_video_codec_desc_empty(&out->videoEncoder);
    engine_audio_codec_desc_empty(&out->audioDecoder);
    engine_video_codec_desc_empty(&out->videoDecoder);
    out->audioEncoderIndex = out->videoEncoderIndex = out->audioDecoderIndex = out->videoDecoderIndex = -1;
    const bool sending = (mode & sendRoles) != 0;
    const bool receiving = (mode & receiveRoles) != 0;
    if (sending && audioSend)
        out->audioEncoderIndex = pick_default(ENGINE_CODEC_LIST_ENCODERS, ENGINE_AUDIO_CODEC_OPUS, &out->audioEncoder);
    if (sending && videoSend)
        out->videoEncoderIndex = pick_default(ENGINE_CODEC_LIST_ENCODERS, ENGINE_VIDEO_CODEC_H264, &out->videoEncoder);
    if (receiving && audioReceive)
        out->audioDecoderIndex = pick_default(ENGINE_CODEC_LIST_DECODERS, ENGINE_AUDIO_CODEC_OPUS, &out->audioDecoder);
    if (receiving && videoReceive)
        out->videoDecoderIndex = pick_default(ENGINE_CODEC_LIST_DECODERS, ENGINE_VIDEO_CODEC_H264, &out->videoDecoder);
    return CORE_OK;
}

CoreResult engine_offer_table_counts(uint32_t mode, const EngineLocalCaps *caps, int p2m, EngineOfferCounts *out)
{
    if (caps == nullptr || out == nullptr) return CORE_ERR_INVALID;
    *out = EngineOfferCounts{};
    const bool sending = sends(mode, caps);
    const bool receiving = receives(mode, caps);
    if (sending) out->send = (caps->audioSend != 0) + (caps->videoSend != 0);
    if (receiving) out->receive = (caps->audioReceive != 0) + (caps->videoReceive != 0);
    if (out->send + out->receive == 0) return CORE_ERR;

    uint64_t codecs = 0;
    if (sending && p2m) {
        codecs += out->send;
    } else if (sending) {
        if (caps->audioSend) count_usable<CoreAudioCodecDesc>(ENGINE_CODEC_LIST_ENCODERS, &codecs);
        if (caps->videoSend) count_usable<CoreVideoCodecDesc>(ENGINE_CODEC_LIST_ENCODERS, &codecs);
    }
    if (receiving) {
        if (caps->audioReceive) count_usable<CoreAudioCodecDesc>(ENGINE_CODEC_LIST_DECODERS, &codecs);
        if (caps->videoReceive) count_usable<CoreVideoCodecDesc>(ENGINE_CODEC_LIST_DECODERS, &codecs);
    }
    out->total = out->send + out->receive + codecs;
    return CORE_OK;
}

CoreResult engine_plain_records_fill(const EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                     const EngineLocalCaps *caps, const EngineDefaultCodecs *defaults,
                                     uint64_t sendCount, uint64_t receiveCount, int p2m, int combined,
                                     EngineStreamTable *table)
{
    if (capability == nullptr || desc == nullptr || caps == nullptr || defaults == nullptr || table == nullptr)
        return CORE_ERR;
    // The caller sized the table; counts that do not fit it would have the
    // records written past its end.
    if (sendCount > table->count || receiveCount > table->count - sendCount) return CORE_ERR;

    // Media of each part in table order: audio, then video.
    const uint64_t parts[2][2] = {
        {caps->audioSend ? ENGINE_MEDIA_AUDIO : 0u, caps->videoSend ? ENGINE_MEDIA_VIDEO : 0u},
        {caps->audioReceive ? ENGINE_MEDIA_AUDIO : 0u, caps->videoReceive ? ENGINE_MEDIA_VIDEO : 0u},
    };
    const uint64_t partCounts[2] = {sendCount, receiveCount};
    uint64_t at = 0;
    for (int part = 0; part < 2; ++part) {
        uint64_t filled = 0;
        for (uint64_t medium : parts[part]) {
            if (medium == 0 || filled == partCounts[part]) continue;
            clear_record(&table->records[at + filled]);
            table->records[at + filled].mediaFlags = static_cast<uint32_t>(medium);
            ++filled;
        }
        if (filled != partCounts[part]) return CORE_ERR;  // a record without a medium
        at += partCounts[part];
    }

    uint32_t indices[2] = {0, 0};  // running index per medium
    for (uint32_t medium : {ENGINE_MEDIA_AUDIO, ENGINE_MEDIA_VIDEO}) {
        const char *slotName = combined                        ? ENGINE_SLOT_NAME_COMBINED
                               : medium == ENGINE_MEDIA_AUDIO ? ENGINE_SLOT_NAME_AUDIO
                                                              : ENGINE_SLOT_NAME_VIDEO;
        uint32_t &index = indices[medium == ENGINE_MEDIA_VIDEO];
        for (uint64_t i = 0; i < at; ++i) {
            EngineStreamRecord *record = &table->records[i];
            if (record->mediaFlags != medium) continue;
            record->channel = desc->channel;
            core_name_format(&record->slot, "%s", slotName);
            CoreResult result = engine_plain_record_fill(capability, mode, desc, p2m, caps, defaults, index++, record);
            if (result != CORE_OK) return result;
        }
    }
    return CORE_OK;
}

CoreResult engine_plain_record_fill(const EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                    int p2m, const EngineLocalCaps *caps, const EngineDefaultCodecs *defaults,
                                    uint32_t index, EngineStreamRecord *record)
{
    if (capability == nullptr || desc == nullptr || caps == nullptr || defaults == nullptr || record == nullptr)
        return CORE_ERR;
    const bool audio = (record->mediaFlags & ENGINE_MEDIA_AUDIO) != 0;
    const bool video = !audio && (record->mediaFlags & ENGINE_MEDIA_VIDEO) != 0;
    if (!audio && !video) return CORE_ERR;
    if (engine_stream_name_make(&record->streamName, p2m ? 1 : 0, audio ? 0 : 1, index) == nullptr) return CORE_ERR;

    const bool sending = sends(mode, caps);
    const bool receiving = receives(mode, caps);
    uint32_t audioFourcc = ENGINE_FOURCC_NONE;
    uint32_t videoFourcc = ENGINE_FOURCC_NONE;
    if (receiving) {
        audioFourcc = defaults->audioDecoder.input;
        videoFourcc = defaults->videoDecoder.input;
    } else if (sending) {
        audioFourcc = defaults->audioEncoder.output;
        videoFourcc = defaults->videoEncoder.output;
    }

    uint32_t kind;
    if (audio) {
        record->mediaFlags = ENGINE_MEDIA_AUDIO | plain_audio_codec_index(audioFourcc) << 8;
        fill_audio_props(record, sending, receiving, caps, defaults);
        kind = stream_kind(capability->audioSinkParam);
    } else {
        record->mediaFlags = ENGINE_MEDIA_VIDEO | engine_video_codec_from_fourcc(videoFourcc) << 16;
        fill_video_props(record, sending, receiving, caps, defaults);
        kind = stream_kind(capability->videoSinkParam);
    }
    record->roleWord = (sending ? ENGINE_ROLE_SEND : 0u) | (receiving ? ENGINE_ROLE_RECEIVE : 0u);
    if (record->roleWord != 0) record->roleWord |= kind;
    return CORE_OK;
}

CoreResult engine_codec_records_add(uint32_t mode, const EngineMediaDesc *desc, const EngineLocalCaps *caps,
                                    const EngineDefaultCodecs *defaults, uint64_t firstFree, int p2m,
                                    EngineStreamTable *table)
{
    if (desc == nullptr || caps == nullptr || defaults == nullptr || table == nullptr) return CORE_ERR;
    const bool sending = sends(mode, caps);
    const bool receiving = receives(mode, caps);
    uint64_t position = firstFree;

    if (p2m) {
        // A broadcast offers exactly what it will send. An encoder that has
        // no default (index -1) has no record either.
        if (!sending) return CORE_OK;
        if (caps->audioSend && defaults->audioEncoderIndex >= 0 && position < table->count) {
            CoreResult r = engine_codec_record_from_audio(&table->records[position++], desc, &defaults->audioEncoder,
                                                          defaults->audioEncoderIndex, 0,
                                                          engine_audio_codec_is_hardware(&defaults->audioEncoder));
            if (r != CORE_OK) return r;
        }
        if (caps->videoSend && defaults->videoEncoderIndex >= 0 && position < table->count) {
            CoreResult r = engine_codec_record_from_video(&table->records[position++], desc, &defaults->videoEncoder,
                                                          defaults->videoEncoderIndex, 0,
                                                          engine_video_codec_is_hardware(&defaults->videoEncoder));
            if (r != CORE_OK) return r;
        }
        return CORE_OK;
    }

    CoreResult result = CORE_OK;
    if (sending && caps->audioSend)
        result = add_list_records<CoreAudioCodecDesc>(ENGINE_CODEC_LIST_ENCODERS, caps->audioEncoderIndex, desc,
                                                      table, &position);
    if (result == CORE_OK && sending && caps->videoSend)
        result = add_list_records<CoreVideoCodecDesc>(ENGINE_CODEC_LIST_ENCODERS, caps->videoEncoderIndex, desc,
                                                      table, &position);
    if (result == CORE_OK && receiving && caps->audioReceive)
        result = add_list_records<CoreAudioCodecDesc>(ENGINE_CODEC_LIST_DECODERS, caps->audioDecoderIndex, desc,
                                                      table, &position);
    if (result == CORE_OK && receiving && caps->videoReceive)
        result = add_list_records<CoreVideoCodecDesc>(ENGINE_CODEC_LIST_DECODERS, caps->videoDecoderIndex, desc,
                                                      table, &position);
    return result;
}

CoreResult engine_codec_record_from_audio(EngineStreamRecord *record, const EngineMediaDesc *desc,
                                          const CoreAudioCodecDesc *codec, int32_t listIndex, int preferred,
                                          int hardware)
{
    if (record == nullptr || desc == nullptr || codec == nullptr || listIndex < 0) return CORE_ERR;
    begin_codec_record(record, desc, codec->direction, preferred, hardware);
    // Only Opus is marked in audio codec records.
    const bool opus = audio_codec_fourcc(*codec) == engine_audio_fourcc(ENGINE_AUDIO_CODEC_OPUS);
    record->mediaFlags = ENGINE_MEDIA_CODEC_RECORD | ENGINE_MEDIA_AUDIO | (opus ? ENGINE_AUDIO_CODEC_OPUS << 8 : 0u);
    core_name_format(&record->streamName, "codec.%08X.stream.%08X", static_cast<uint32_t>(listIndex),
                     k_audio_stream_number);
    const bool encoder = codec->direction == ENGINE_CODEC_LIST_ENCODERS;
    EngineProps *props = &record->props;
    int at = add_audio(props, engine_format(audio_min(*codec)),
                       encoder ? ENGINE_PROPS_CODEC_ENCODER_MIN_FORMAT : ENGINE_PROPS_CODEC_DECODER_MIN_FORMAT, 0);
    add_audio(props, engine_format(audio_max(*codec)),
              encoder ? ENGINE_PROPS_CODEC_ENCODER_MAX_FORMAT : ENGINE_PROPS_CODEC_DECODER_MAX_FORMAT, at);
    return CORE_OK;
}

CoreResult engine_codec_record_from_video(EngineStreamRecord *record, const EngineMediaDesc *desc,
                                          const CoreVideoCodecDesc *codec, int32_t listIndex, int preferred,
                                          int hardware)
{
    if (record == nullptr || desc == nullptr || codec == nullptr || listIndex < 0) return CORE_ERR;
    begin_codec_record(record, desc, codec->direction, preferred, hardware);
    record->mediaFlags =
        ENGINE_MEDIA_CODEC_RECORD | ENGINE_MEDIA_VIDEO | codec_record_video_index(video_codec_fourcc(*codec)) << 16;
    core_name_format(&record->streamName, "codec.%08X.stream.%08X", static_cast<uint32_t>(listIndex),
                     k_video_stream_number);
    const bool encoder = codec->direction == ENGINE_CODEC_LIST_ENCODERS;
    EngineProps *props = &record->props;
    int at = add_alignment(props, *codec, encoder ? ENGINE_PROPS_ENCODER_ALIGN : ENGINE_PROPS_DECODER_ALIGN, 0);
    at = add_mode(props, video_min(*codec),
                  encoder ? ENGINE_PROPS_CODEC_ENCODER_MIN_MODE : ENGINE_PROPS_CODEC_DECODER_MIN_MODE, at);
    at = add_mode(props, video_max(*codec),
                  encoder ? ENGINE_PROPS_CODEC_ENCODER_MAX_MODE : ENGINE_PROPS_CODEC_DECODER_MAX_MODE, at);
    at = add_single(props, features_a(*codec),
                    encoder ? ENGINE_PROPS_ENCODER_FEATURES_A : ENGINE_PROPS_DECODER_FEATURES_A, at);
    add_single(props, features_b(*codec), encoder ? ENGINE_PROPS_ENCODER_FEATURES_B : ENGINE_PROPS_DECODER_FEATURES_B,
               at);
    return CORE_OK;
}

int engine_codec_stream_name(uint32_t mediaFlags, uint32_t streamNumber, uint32_t list, CoreName *out)
{
    if (out == nullptr) return 0;
    memset(out, 0, sizeof(*out));
    if (!valid_list(list)) return 0;
    if (mediaFlags & ENGINE_MEDIA_AUDIO) {
        // An index without a FourCC names no codec; matched against the
        // lists it would pick the empty "NONE" entry at their head.
        const uint32_t fourcc = engine_audio_fourcc((mediaFlags >> 8) & 0xFF);
        if (fourcc == ENGINE_FOURCC_NONE) return 0;
        const uint32_t count = core_codec_entry_count_audio(list);
        CoreAudioCodecDesc d;
        for (uint32_t i = 0; i < count; ++i) {
            if (core_codec_get_audio(i, list, &d) != 0 || codec_fourcc(list, d.input, d.output) != fourcc) continue;
            core_name_format(out, "codec.%08X.stream.%08X", i, streamNumber);
            return 1;
        }
        return 0;
    }
    if (mediaFlags & ENGINE_MEDIA_VIDEO) {
        const uint32_t fourcc = engine_video_fourcc((mediaFlags >> 16) & 0xFF);
        if (fourcc == ENGINE_FOURCC_NONE) return 0;
        const uint32_t count = core_codec_entry_count_video(list);
        CoreVideoCodecDesc d;
        for (uint32_t i = 0; i < count; ++i) {
            if (core_codec_get_video(i, list, &d) != 0 || codec_fourcc(list, d.input, d.output) != fourcc) continue;
            core_name_format(out, "codec.%08X.stream.%08X", i, streamNumber + ENGINE_STREAM_BIAS_VIDEO);
            return 1;
        }
    }
    return 0;
}
