#include "engine/codec_choice.h"

#include <cstring>

#include "engine/capability.h"
#include "engine/codec_ids.h"
#include "engine/names.h"
#include "engine/offer_tables.h"

namespace {

constexpr uint32_t k_media_bits = ENGINE_MEDIA_AUDIO | ENGINE_MEDIA_VIDEO;

// H.264 feature bits that the agreement knows, strongest first.
constexpr int64_t k_levels[] = {16, 4, 2};
constexpr int64_t k_feature_b_shared = 0x2;

constexpr uint16_t k_decoder_a = 0x1E00;
constexpr uint16_t k_decoder_b = 0x1F00;
constexpr uint16_t k_encoder_a = 0x1E80;
constexpr uint16_t k_encoder_b = 0x1F80;

// Records a table may really hold; a count from a peer beyond it reads as
// an empty table instead of a walk off the end of the block.
uint64_t record_count(const EngineStreamTable *table)
{
    if (table == nullptr || table->count > ENGINE_STREAM_RECORDS_MAX) return 0;
    return table->count;
}

bool valid_medium(uint32_t medium)
{
    return medium == ENGINE_MEDIUM_AUDIO || medium == ENGINE_MEDIUM_VIDEO;
}

uint32_t codec_index_of(uint32_t medium, uint32_t bits)
{
    return medium == ENGINE_MEDIUM_AUDIO ? (bits >> 8) & 0xFF : (bits >> 16) & 0xFF;
}

bool is_h264(const EngineStreamRecord &record)
{
    return ((record.mediaFlags >> 16) & 0xFF) == ENGINE_VIDEO_CODEC_H264;
}

// The value of the first entry with `tag`, copied out of the packed entry;
// false when missing or unset.
bool read_single(const EngineProps &props, uint16_t tag, int64_t *out)
{
    for (const EnginePropEntry &entry : props.entries) {
        if (entry.tag != tag) continue;
        const int64_t value = entry.value;
        if (value == ENGINE_PROP_UNSET) return false;
        *out = value;
        return true;
    }
    return false;
}

// Readers take the first entry of a tag, so an agreement made again on the
// same plain record replaces the old value rather than adding one nobody
// reads. A full list takes no new value; the record is still used.
void write_single(EngineProps *props, int kind, uint16_t tag, int64_t value)
{
    for (EnginePropEntry &entry : props->entries) {
        if (entry.tag == tag) {
            entry.value = value;
            return;
        }
    }
    engine_props_add_video(props, &value, sizeof value, kind, engine_props_count(props));
}

}  // namespace

int engine_codec_record_find(uint32_t medium, uint32_t codecBits, uint32_t roleBits, const EngineStreamTable *table,
                             EngineStreamRecord *out)
{
    if (!valid_medium(medium) || out == nullptr) return 1;
    const uint32_t wanted = codec_index_of(medium, codecBits);
    const uint64_t count = record_count(table);
    for (uint64_t i = 0; i < count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        if (!(record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) || !(record.mediaFlags & medium)) continue;
        if ((record.roleWord & roleBits) != roleBits) continue;
        if (codec_index_of(medium, record.mediaFlags) != wanted) continue;
        memcpy(out, &record, sizeof record);
        return 0;
    }
    return 1;
}

int engine_codec_record_preferred(uint32_t mediaBits, const EngineStreamTable *table, uint32_t roleBits,
                                  EngineStreamRecord *out)
{
    if (out == nullptr) return 1;
    const uint32_t required = roleBits | ENGINE_ROLE_PREFERRED;
    const uint64_t count = record_count(table);
    for (uint64_t i = 0; i < count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        if (!(record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) || !(record.mediaFlags & mediaBits & k_media_bits))
            continue;
        if ((record.roleWord & required) != required) continue;
        memcpy(out, &record, sizeof record);
        return 0;
    }
    return 1;
}

CoreResult engine_h264_features_agree(EngineStreamTable *encoding, const EngineStreamRecord *encoder,
                                      EngineStreamTable *decoding, const EngineStreamRecord *decoder)
{
    if (encoder == nullptr || decoder == nullptr) return CORE_ERR;
    int64_t decoderA, decoderB, encoderA, encoderB;
    if (!read_single(decoder->props, k_decoder_a, &decoderA) || !read_single(decoder->props, k_decoder_b, &decoderB) ||
        !read_single(encoder->props, k_encoder_a, &encoderA) || !read_single(encoder->props, k_encoder_b, &encoderB))
        return CORE_OK;  // a side that states no features takes the other's

    if (record_count(decoding) == 0 || record_count(encoding) == 0) return CORE_ERR;
    EngineStreamRecord *decoderPlain = engine_stream_table_find_plain(decoding, &decoder->streamName);
    EngineStreamRecord *encoderPlain = engine_stream_table_find_plain(encoding, &encoder->streamName);
    if (decoderPlain == nullptr || encoderPlain == nullptr) return CORE_ERR;

    int64_t agreedA = 0;
    int64_t decoderAgreedB = 0, encoderAgreedB = 0;
    if ((decoderB & k_feature_b_shared) && (encoderB & k_feature_b_shared)) {
        for (int64_t level : {int64_t{16}, int64_t{4}}) {
            if ((decoderA & level) && (encoderA & level)) {
                agreedA = level;
                decoderAgreedB = encoderAgreedB = k_feature_b_shared;
                break;
            }
        }
    }
    if (agreedA == 0) {
        decoderAgreedB = decoderB & ~k_feature_b_shared;
        encoderAgreedB = encoderB & ~k_feature_b_shared;
        for (int64_t level : k_levels) {
            if ((decoderA & level) && (encoderA & level)) {
                agreedA = level;
                break;
            }
        }
        if (agreedA == 0) return CORE_DONE;
    }
    write_single(&decoderPlain->props, ENGINE_PROPS_DECODER_FEATURES_A, k_decoder_a, agreedA);
    write_single(&decoderPlain->props, ENGINE_PROPS_DECODER_FEATURES_B, k_decoder_b, decoderAgreedB);
    write_single(&encoderPlain->props, ENGINE_PROPS_ENCODER_FEATURES_A, k_encoder_a, agreedA);
    write_single(&encoderPlain->props, ENGINE_PROPS_ENCODER_FEATURES_B, k_encoder_b, encoderAgreedB);
    return CORE_OK;
}

CoreResult engine_codec_pair_find(uint32_t medium, uint32_t codecBits, EngineStreamTable *encoding,
                                  uint32_t encoderBits, EngineStreamRecord *encoderOut, EngineStreamTable *decoding,
                                  uint32_t decoderBits, EngineStreamRecord *decoderOut)
{
    if (!valid_medium(medium)) return CORE_ERR_INVALID;
    if (encoderOut == nullptr || decoderOut == nullptr) return CORE_ERR_INVALID;
    EngineStreamRecord decoder, encoder;
    if (engine_codec_record_find(medium, codecBits, ENGINE_ROLE_DECODER | decoderBits, decoding, &decoder) != 0 ||
        engine_codec_record_find(medium, codecBits, ENGINE_ROLE_ENCODER | encoderBits, encoding, &encoder) != 0)
        return CORE_DONE;
    if (medium == ENGINE_MEDIUM_VIDEO && is_h264(decoder)) {
        CoreResult agreed = engine_h264_features_agree(encoding, &encoder, decoding, &decoder);
        if (agreed != CORE_OK) return agreed;
    }
    memcpy(encoderOut, &encoder, sizeof encoder);
    memcpy(decoderOut, &decoder, sizeof decoder);
    return CORE_OK;
}

CoreResult engine_codec_walk(uint32_t medium, int modern, EngineStreamTable *encoding, uint32_t encoderBits,
                             EngineStreamRecord *encoderOut, EngineStreamTable *decoding, uint32_t decoderBits,
                             EngineStreamRecord *decoderOut)
{
    if (medium == ENGINE_MEDIUM_AUDIO)
        return engine_codec_pair_find(medium, ENGINE_AUDIO_CODEC_OPUS << 8, encoding, encoderBits, encoderOut,
                                      decoding, decoderBits, decoderOut) == CORE_OK
                   ? CORE_OK
                   : CORE_DONE;
    if (medium != ENGINE_MEDIUM_VIDEO) return CORE_ERR_INVALID;
    for (uint32_t codec = engine_video_codec_next(ENGINE_VIDEO_CODEC_NONE, modern); codec != ENGINE_VIDEO_CODEC_NONE;
         codec = engine_video_codec_next(codec, modern)) {
        // A candidate that fails in any way (also a broken feature
        // agreement) just gives way to the next codec.
        if (engine_codec_pair_find(medium, codec << 16, encoding, encoderBits, encoderOut, decoding, decoderBits,
                                   decoderOut) == CORE_OK)
            return CORE_OK;
    }
    return CORE_DONE;
}

CoreResult engine_codec_choose(uint32_t medium, uint32_t encodeScore, uint32_t decodeScore,
                               EngineStreamTable *encoding, EngineStreamRecord *encoderOut,
                               EngineStreamTable *decoding, EngineStreamRecord *decoderOut)
{
    const bool strongEncoder = encodeScore >= ENGINE_SCORE_STRONG;
    const bool strongDecoder = decodeScore >= ENGINE_SCORE_STRONG;
    struct Attempt {
        bool modern;
        uint32_t encoderBits;
        uint32_t decoderBits;
    };
    const Attempt attempts[] = {
        {true, ENGINE_ROLE_HARDWARE, ENGINE_ROLE_HARDWARE},
        {strongDecoder, ENGINE_ROLE_HARDWARE, 0},
        {strongEncoder, 0, ENGINE_ROLE_HARDWARE},
        {strongEncoder && strongDecoder, 0, 0},
    };
    for (const Attempt &attempt : attempts) {
        CoreResult result = engine_codec_walk(medium, attempt.modern ? 1 : 0, encoding, attempt.encoderBits,
                                              encoderOut, decoding, attempt.decoderBits, decoderOut);
        if (result < 0) return CORE_ERR;
        if (result == CORE_OK) return CORE_OK;
    }
    return CORE_DONE;
}

CoreResult engine_codec_preferred_pair(uint32_t medium, EngineStreamTable *encoding, EngineStreamRecord *encoderOut,
                                       EngineStreamTable *decoding, EngineStreamRecord *decoderOut)
{
    if (!valid_medium(medium)) return CORE_ERR_INVALID;
    if (encoderOut == nullptr || decoderOut == nullptr) return CORE_ERR_INVALID;
    EngineStreamRecord encoder, decoder;
    const bool haveEncoder = engine_codec_record_preferred(medium, encoding, ENGINE_ROLE_ENCODER, &encoder) == 0;
    const bool haveDecoder = engine_codec_record_preferred(medium, decoding, ENGINE_ROLE_DECODER, &decoder) == 0;
    if (!haveEncoder && !haveDecoder) return CORE_DONE;

    auto finish = [&](const EngineStreamRecord &e, const EngineStreamRecord &d) -> CoreResult {
        if ((e.mediaFlags & ENGINE_MEDIA_VIDEO) && !(e.mediaFlags & ENGINE_MEDIA_AUDIO) && is_h264(d)) {
            CoreResult agreed = engine_h264_features_agree(encoding, &e, decoding, &d);
            if (agreed != CORE_OK) return agreed;
        }
        memcpy(encoderOut, &e, sizeof e);
        memcpy(decoderOut, &d, sizeof d);
        return CORE_OK;
    };

    if (haveEncoder && haveDecoder && (encoder.mediaFlags & 0xFF) == (decoder.mediaFlags & 0xFF) &&
        (encoder.mediaFlags & k_media_bits) && (encoder.mediaFlags >> 8) == (decoder.mediaFlags >> 8))
        return finish(encoder, decoder);

    // The decoding side's preference is followed before the encoding side's.
    if (haveDecoder && (decoder.mediaFlags & k_media_bits)) {
        const uint32_t m = (decoder.mediaFlags & ENGINE_MEDIA_AUDIO) ? ENGINE_MEDIUM_AUDIO : ENGINE_MEDIUM_VIDEO;
        EngineStreamRecord match;
        if (engine_codec_record_find(m, decoder.mediaFlags, ENGINE_ROLE_ENCODER | ENGINE_ROLE_HARDWARE, encoding,
                                     &match) == 0 ||
            engine_codec_record_find(m, decoder.mediaFlags, ENGINE_ROLE_ENCODER, encoding, &match) == 0)
            return finish(match, decoder);
    }
    if (haveEncoder && (encoder.mediaFlags & k_media_bits)) {
        const uint32_t m = (encoder.mediaFlags & ENGINE_MEDIA_AUDIO) ? ENGINE_MEDIUM_AUDIO : ENGINE_MEDIUM_VIDEO;
        EngineStreamRecord match;
        if (engine_codec_record_find(m, encoder.mediaFlags, ENGINE_ROLE_DECODER | ENGINE_ROLE_HARDWARE, decoding,
                                     &match) == 0 ||
            engine_codec_record_find(m, encoder.mediaFlags, ENGINE_ROLE_DECODER, decoding, &match) == 0)
            return finish(encoder, match);
    }
    return CORE_DONE;
}
