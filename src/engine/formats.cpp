#include "engine/formats.h"

#include <algorithm>
#include <cstring>

#include "core/values.h"
#include "engine/codec_ids.h"
#include "engine/names.h"
#include "engine/offer_tables.h"

namespace {

// A peer decoder that states no alignment is assumed to need these steps.
constexpr uint32_t k_default_width_step = 64;
constexpr uint32_t k_default_height_step = 32;

// Broadcast sizes are aligned to these steps (64 both ways when square).
constexpr uint32_t k_broadcast_width_step = 64;
constexpr uint32_t k_broadcast_height_step = 32;

constexpr uint16_t k_tag_receive_format = 0x2000;
constexpr uint16_t k_tag_send_format = 0x2400;
constexpr uint16_t k_tag_encoder_max_format = 0x2800;
constexpr uint16_t k_tag_codec_encoder_max_format = 0x2880;
constexpr uint16_t k_tag_decoder_max_format = 0x2C00;
constexpr uint16_t k_tag_codec_decoder_max_format = 0x2C80;
constexpr uint16_t k_tag_receive_mode = 0x1000;
constexpr uint16_t k_tag_send_mode = 0x1400;
constexpr uint16_t k_tag_encoder_max_mode = 0x1800;
constexpr uint16_t k_tag_encoder_align = 0x1820;
constexpr uint16_t k_tag_codec_encoder_max_mode = 0x1880;
constexpr uint16_t k_tag_decoder_max_mode = 0x1C00;
constexpr uint16_t k_tag_decoder_align = 0x1C20;
constexpr uint16_t k_tag_codec_decoder_max_mode = 0x1C80;
constexpr uint16_t k_tag_display_mode = 0x1D00;

constexpr EngineAudioFormat k_fixed_audio_format = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};

uint64_t record_count(const EngineStreamTable *table)
{
    if (table == nullptr || table->count > ENGINE_STREAM_RECORDS_MAX) return 0;
    return table->count;
}

bool is_codec_record(const EngineStreamRecord &record)
{
    return (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) != 0;
}

bool audio_complete(const EngineAudioFormat &f)
{
    return f.rate != 0 && f.rate != 0xFFFFFFFFu && f.channels != 0 && f.channels != 255 && f.bits != 0 &&
           f.bits != 255;
}

bool pair_complete(const uint32_t pair[2])
{
    return pair[0] != 0 && pair[0] != 0xFFFFFFFFu && pair[1] != 0 && pair[1] != 0xFFFFFFFFu;
}

bool rate_complete(const CoreVideoMode &m)
{
    return m.rate_num != 0 && m.rate_num != 0xFFFFFFFFu && m.rate_den != 0 && m.rate_den != 0xFFFFFFFFu;
}

// Values that are missing or incomplete read as all zero.
CoreVideoMode read_mode(const EngineProps &props, uint16_t tag)
{
    uint32_t v[4];
    if (!engine_props_get4(v, &props, tag)) return CoreVideoMode{};
    return CoreVideoMode{v[0], v[1], v[2], v[3]};
}

void read_pair(const EngineProps &props, uint16_t tag, uint32_t out[2])
{
    if (!engine_props_get2(out, &props, tag)) out[0] = out[1] = 0;
}

EngineAudioFormat read_format(const EngineProps &props, uint16_t tag)
{
    EngineAudioFormat f{};
    if (!engine_props_get_audio_format(&f, &props, tag)) f = EngineAudioFormat{};
    return f;
}

// a's rate is not higher than b's: as fractions when both denominators are
// non-zero (cross-multiplied, so no division), else by numerators alone.
bool rate_not_higher(const CoreVideoMode &a, const CoreVideoMode &b)
{
    if (a.rate_den != 0 && b.rate_den != 0)
        return static_cast<uint64_t>(a.rate_num) * b.rate_den <= static_cast<uint64_t>(b.rate_num) * a.rate_den;
    return a.rate_num <= b.rate_num;
}

void take_rate(CoreVideoMode *to, const CoreVideoMode &from)
{
    to->rate_num = from.rate_num;
    to->rate_den = from.rate_den;
}

uint32_t long_side(const CoreVideoMode &m)
{
    return std::max(m.width, m.height);
}

const CoreVideoMode &codec_max(const CoreVideoCodecDesc &d)
{
    return core_video_mode_complete(&d.evaluated_maximum) ? d.evaluated_maximum : d.maximum_mode;
}

// side x numerator / denominator in 64 bits, so that large modes do not
// wrap; a result past 32 bits saturates.
uint32_t scale_side(uint32_t side, uint32_t numerator, uint32_t denominator)
{
    const uint64_t value = static_cast<uint64_t>(side) * numerator / denominator;
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Brings (w, h) to the aspect of `shape` by shrinking one side; nothing
// when the shape has a zero side.
void fit_aspect(uint32_t *w, uint32_t *h, const CoreVideoMode &shape)
{
    if (shape.width == 0 || shape.height == 0) return;
    // shape.w / shape.h > w / h, cross-multiplied: h may be 0.
    if (static_cast<uint64_t>(shape.width) * *h > static_cast<uint64_t>(*w) * shape.height)
        *h = scale_side(*w, shape.height, shape.width);
    else
        *w = scale_side(*h, shape.width, shape.height);
}

uint32_t round_down(uint32_t value, uint32_t step)
{
    if (value == 0 || step <= 1) return value;
    return value / step * step;
}

// The capture size before the device scaled it. A scale that would give a
// size no mode can hold (NaN, negative, tiny) leaves the side zero, which
// makes the mode incomplete instead of undefined.
uint32_t unscale(uint32_t side, double scale)
{
    const double value = side / scale;
    if (!(value >= 0.0 && value < 4294967296.0)) return 0;
    return static_cast<uint32_t>(value);
}

// "codec.%08X.stream.%08X": the list index is the first number.
bool codec_list_index(const CoreName &name, int64_t *index)
{
    constexpr char k_prefix[] = "codec.";
    constexpr char k_middle[] = ".stream.";
    constexpr size_t k_digits_at = 6;
    constexpr size_t k_middle_at = 14;
    constexpr size_t k_length = 30;
    const char *key = reinterpret_cast<const char *>(name.key);
    if (strnlen(key, CORE_NAME_KEY_SIZE) != k_length || memcmp(key, k_prefix, sizeof k_prefix - 1) != 0 ||
        memcmp(key + k_middle_at, k_middle, sizeof k_middle - 1) != 0)
        return false;
    uint64_t value = 0;
    for (size_t i = k_digits_at; i < k_middle_at; ++i) {
        const char c = key[i];
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint64_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint64_t>(c - 'a' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    *index = static_cast<int64_t>(value);
    return true;
}

const EngineStreamRecord *find_named_plain(const EngineStreamTable *table, const CoreName &name)
{
    const uint64_t count = record_count(table);
    for (uint64_t i = 0; i < count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        if (!is_codec_record(record) && core_compare_key32(record.streamName.key, name.key) == 0) return &record;
    }
    return nullptr;
}

bool store_mode(EngineCapability *capability, int slot, const CoreVideoMode &mode)
{
    return engine_capability_slot_store(capability, slot, &mode, sizeof mode) == 0;
}

bool store_format(EngineCapability *capability, int slot, const EngineAudioFormat &format)
{
    return engine_capability_slot_store(capability, slot, &format, sizeof format) == 0;
}

CoreResult worse(CoreResult a, CoreResult b)
{
    return std::min(a, b) < 0 ? std::min(a, b) : std::max(a, b);
}

}  // namespace

EngineNegotiatedPeerValues *engine_negotiated_peer_values_read(const EngineStreamRecord *peer, int how,
                                                               int peerSentCodecs,
                                                               const EngineStreamRecord work[ENGINE_WORK_RECORDS],
                                                               EngineNegotiatedPeerValues *out)
{
    if (out == nullptr) return nullptr;
    memset(out, 0, sizeof(*out));
    if (peer == nullptr) return out;
    const EngineProps &props = peer->props;
    const bool fromCodecs = how == ENGINE_HOW_ANSWER && peerSentCodecs && work != nullptr;
    if (peer->mediaFlags & ENGINE_MEDIA_AUDIO) {
        out->sendFormat = read_format(props, k_tag_send_format);
        out->receiveFormat = read_format(props, k_tag_receive_format);
        if (how == ENGINE_HOW_ADOPT) {
            out->encoderFormat = read_format(props, k_tag_decoder_max_format);
            out->decoderFormat = read_format(props, k_tag_encoder_max_format);
        } else if (fromCodecs) {
            out->encoderFormat =
                read_format(work[ENGINE_WORK_PEER_AUDIO_ENCODER].props, k_tag_codec_encoder_max_format);
            out->decoderFormat =
                read_format(work[ENGINE_WORK_PEER_AUDIO_DECODER].props, k_tag_codec_decoder_max_format);
        } else {
            out->encoderFormat = read_format(props, k_tag_encoder_max_format);
            out->decoderFormat = read_format(props, k_tag_decoder_max_format);
        }
    }
    if (peer->mediaFlags & ENGINE_MEDIA_VIDEO) {
        out->displayMode = read_mode(props, k_tag_display_mode);
        out->sendMode = read_mode(props, k_tag_send_mode);
        out->receiveMode = read_mode(props, k_tag_receive_mode);
        if (how == ENGINE_HOW_ADOPT) {
            // The answer's 0x1800 is the answering node's fitted send mode,
            // which this node receives; its 0x1C00 bounds what it sends.
            out->encoderMax = read_mode(props, k_tag_decoder_max_mode);
            out->decoderMax = read_mode(props, k_tag_encoder_max_mode);
            read_pair(props, k_tag_encoder_align, out->encoderAlign);
            read_pair(props, k_tag_decoder_align, out->decoderAlign);
        } else if (fromCodecs) {
            const EngineProps &encoder = work[ENGINE_WORK_PEER_VIDEO_ENCODER].props;
            const EngineProps &decoder = work[ENGINE_WORK_PEER_VIDEO_DECODER].props;
            out->encoderMax = read_mode(encoder, k_tag_codec_encoder_max_mode);
            read_pair(encoder, k_tag_encoder_align, out->encoderAlign);
            out->decoderMax = read_mode(decoder, k_tag_codec_decoder_max_mode);
            read_pair(decoder, k_tag_decoder_align, out->decoderAlign);
        } else {
            out->encoderMax = read_mode(props, k_tag_encoder_max_mode);
            read_pair(props, k_tag_encoder_align, out->encoderAlign);
            out->decoderMax = read_mode(props, k_tag_decoder_max_mode);
            read_pair(props, k_tag_decoder_align, out->decoderAlign);
        }
    }
    return out;
}

CoreResult engine_negotiate_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                   EngineStreamTable *offer, EngineStreamTable *answer,
                                   const EngineStreamTable *peerRecords, int how, int p2m,
                                   const EngineStreamRecord work[ENGINE_WORK_RECORDS])
{
    const uint64_t peerCount = record_count(peerRecords);
    if (peerCount == 0) return CORE_OK;
    if (capability == nullptr || caps == nullptr || work == nullptr) return CORE_ERR;
    if (how != ENGINE_HOW_ANSWER && how != ENGINE_HOW_ADOPT) return CORE_ERR_INVALID;

    int peerSentCodecs = 0;
    for (uint64_t i = 0; i < peerCount; ++i)
        if (is_codec_record(peerRecords->records[i])) peerSentCodecs = 1;

    for (uint64_t i = 0; i < peerCount; ++i) {
        const EngineStreamRecord &peer = peerRecords->records[i];
        // Unused records travel at the end of a table with no name; they
        // describe no stream and must not be matched with one another.
        if (is_codec_record(peer) || !engine_stream_name_is_set(&peer.streamName)) continue;
        EngineNegotiatedPeerValues values;
        engine_negotiated_peer_values_read(&peer, how, peerSentCodecs, work, &values);
        auto *answerRecord = const_cast<EngineStreamRecord *>(find_named_plain(answer, peer.streamName));
        if (answerRecord == nullptr) continue;
        auto *offerRecord = const_cast<EngineStreamRecord *>(find_named_plain(offer, peer.streamName));
        if (offerRecord == nullptr) return CORE_ERR;
        const int32_t classWord = p2m ? static_cast<int32_t>(capability->videoSizeClass) : capability->p2pClass;
        if (classWord == -1) return CORE_ERR_INVALID;
        if (offerRecord->mediaFlags & ENGINE_MEDIA_AUDIO) {
            CoreResult r = engine_audio_formats_finish(capability, mode, caps, how, &values, offerRecord, answerRecord);
            if (r < 0) return r;
        }
        if (offerRecord->mediaFlags & ENGINE_MEDIA_VIDEO) {
            CoreResult r =
                engine_video_modes_finish(capability, mode, caps, how, p2m, &values, work, offerRecord, answerRecord);
            if (r < 0) return r;
        }
    }
    return CORE_OK;
}

CoreResult engine_audio_formats_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                       int how, const EngineNegotiatedPeerValues *peer, EngineStreamRecord *offer,
                                       EngineStreamRecord *answer)
{
    if (capability == nullptr || caps == nullptr || peer == nullptr || offer == nullptr || answer == nullptr)
        return CORE_ERR;
    CoreResult result = CORE_OK;
    if (mode & caps->sendRoles) {
        result = how == ENGINE_HOW_ADOPT ? engine_audio_send_format_adopt(capability, peer)
                                         : engine_audio_send_format(capability, peer, &offer->props, &answer->props);
    }
    if (mode & caps->receiveRoles) {
        CoreResult r;
        if (how == ENGINE_HOW_ADOPT)
            r = audio_complete(peer->decoderFormat) && store_format(capability, ENGINE_SLOT_AUDIO_RECEIVE,
                                                                    peer->decoderFormat)
                    ? CORE_OK
                    : CORE_DONE;
        else
            r = engine_audio_receive_format(capability, peer);
        result = worse(result, r);
    }
    return result;
}

CoreResult engine_video_modes_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                     int how, int p2m, const EngineNegotiatedPeerValues *peer,
                                     const EngineStreamRecord work[ENGINE_WORK_RECORDS], EngineStreamRecord *offer,
                                     EngineStreamRecord *answer)
{
    if (capability == nullptr || caps == nullptr || peer == nullptr || work == nullptr || offer == nullptr ||
        answer == nullptr)
        return CORE_ERR;
    CoreResult result = CORE_OK;
    if (mode & caps->sendRoles) {
        if (how == ENGINE_HOW_ADOPT) {
            result = engine_video_send_mode_adopt(capability, peer);
        } else {
            // No chosen encoder (the send video stream found no pair): this
            // direction has nothing to fit, which is no reason to fail the
            // other one.
            const EngineStreamRecord &chosen = work[ENGINE_WORK_LOCAL_VIDEO_ENCODER];
            int64_t index = 0;
            if (!engine_stream_name_is_set(&chosen.streamName)) {
                result = CORE_DONE;
            } else {
                CoreVideoCodecDesc encoder;
                if (!codec_list_index(chosen.streamName, &index) ||
                    core_codec_get_video(index, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0)
                    return CORE_ERR;
                result = engine_video_send_mode(capability, p2m, caps, &encoder, peer, &offer->props, &answer->props);
                if (result < 0) return CORE_ERR;
            }
        }
    }
    if (mode & caps->receiveRoles) {
        CoreResult r;
        if (how == ENGINE_HOW_ADOPT) {
            r = core_video_mode_complete(&peer->decoderMax) &&
                        store_mode(capability, ENGINE_SLOT_VIDEO_RECEIVE, peer->decoderMax)
                    ? CORE_OK
                    : CORE_DONE;
        } else {
            const EngineStreamRecord &chosen = work[ENGINE_WORK_LOCAL_VIDEO_DECODER];
            int64_t index = 0;
            if (!engine_stream_name_is_set(&chosen.streamName)) {
                r = CORE_DONE;
            } else {
                CoreVideoCodecDesc decoder;
                if (!codec_list_index(chosen.streamName, &index) ||
                    core_codec_get_video(index, ENGINE_CODEC_LIST_DECODERS, &decoder) != 0)
                    return CORE_ERR;
                r = engine_video_receive_mode(capability, p2m, caps, &decoder, peer);
            }
        }
        result = worse(result, r);
    }
    return result;
}

CoreResult engine_video_send_mode(EngineCapability *capability, int p2m, const EngineLocalCaps *caps,
                                  const CoreVideoCodecDesc *encoder, const EngineNegotiatedPeerValues *peer,
                                  EngineProps *offerProps, EngineProps *answerProps)
{
    if (capability == nullptr || caps == nullptr || peer == nullptr || (!p2m && encoder == nullptr)) return CORE_ERR;
    if (!core_video_mode_complete(&peer->receiveMode) || !core_video_mode_complete(&peer->decoderMax))
        return CORE_DONE;

    CoreVideoMode result{};
    if (p2m) {
        CoreLockGuard guard(&capability->lock);
        result = capability->videoLimit;
    } else {
        const CoreVideoMode E = codec_max(*encoder);
        const CoreVideoMode &R = peer->decoderMax;
        CoreVideoMode K = caps->sendVideoMode;
        if (caps->videoScale != 0.0) {
            K.width = unscale(K.width, caps->videoScale);
            K.height = unscale(K.height, caps->videoScale);
        }
        const CoreVideoMode T = core_video_mode_complete(&caps->referenceVideoMode) ? caps->referenceVideoMode : K;
        const CoreVideoMode &native = caps->nativeVideoMode;
        const bool nativeComplete = core_video_mode_complete(&native);

        const bool peerAligned = pair_complete(peer->decoderAlign);
        uint32_t ws = std::max(encoder->alignment_width, peerAligned ? peer->decoderAlign[0] : k_default_width_step);
        uint32_t hs =
            std::max(encoder->alignment_height, peerAligned ? peer->decoderAlign[1] : k_default_height_step);
        if (core_video_mode_complete(&K) && K.width == K.height) ws = hs = std::max(ws, hs);

        uint32_t w = std::min(E.width, R.width);
        uint32_t h = std::min(E.height, R.height);
        if (nativeComplete) {
            w = std::min(w, native.width);
            h = std::min(h, native.height);
        }
        w = std::min(w, T.width);
        h = std::min(h, T.height);

        result = E;
        if (rate_not_higher(R, result)) take_rate(&result, R);
        if (nativeComplete && rate_not_higher(native, result)) take_rate(&result, native);
        if (rate_not_higher(T, result)) take_rate(&result, T);

        fit_aspect(&w, &h, T);
        CoreVideoMode size{w, h, 0, 0};
        core_video_mode_align(&size, ws, hs);
        w = size.width;
        h = size.height;

        // The encoder's limit is hard; the peer decoder's is checked only
        // when the encoder's held.
        const uint32_t alignedW = w, alignedH = h;
        w = std::min(w, E.width);
        h = std::min(h, E.height);
        if (w == alignedW && h == alignedH) {
            w = std::min(w, R.width);
            h = std::min(h, R.height);
        }
        const bool clamped = w != alignedW || h != alignedH;
        if (clamped) {
            w = round_down(w, ws);
            h = round_down(h, hs);
        }
        result.width = w;
        result.height = h;
    }

    if (!core_video_mode_complete(&result)) return CORE_ERR;
    const uint32_t values[4] = {result.width, result.height, result.rate_num, result.rate_den};
    if (offerProps != nullptr) engine_props_put4(offerProps, values, k_tag_encoder_max_mode);
    if (answerProps != nullptr) engine_props_put4(answerProps, values, k_tag_encoder_max_mode);
    store_mode(capability, ENGINE_SLOT_VIDEO_SEND, result);
    return CORE_OK;
}

CoreResult engine_video_receive_mode(EngineCapability *capability, int p2m, const EngineLocalCaps *caps,
                                     const CoreVideoCodecDesc *decoder, const EngineNegotiatedPeerValues *peer)
{
    if (capability == nullptr || caps == nullptr || peer == nullptr || (!p2m && decoder == nullptr)) return CORE_ERR;
    if (!core_video_mode_complete(&peer->sendMode) || !core_video_mode_complete(&peer->encoderMax))
        return CORE_DONE;

    CoreVideoMode result = peer->encoderMax;
    if (!p2m) {
        const CoreVideoMode &D = codec_max(*decoder);
        const CoreVideoMode *candidates[] = {&caps->receiveVideoMode, &D, &peer->sendMode, &peer->encoderMax};
        // A zero side or rate is no limit at all; taken as one it would
        // leave the viewer a mode of nothing. The peer's two modes are
        // complete, so both picks always find one.
        const CoreVideoMode *size = nullptr;
        const CoreVideoMode *rate = nullptr;
        for (const CoreVideoMode *c : candidates) {
            if (c->width != 0 && c->height != 0 && (size == nullptr || long_side(*c) <= long_side(*size))) size = c;
            if (rate_complete(*c) && (rate == nullptr || rate_not_higher(*c, *rate))) rate = c;
        }
        const CoreVideoMode &encoderMax = peer->encoderMax;
        result.width = size->width;
        result.height = scale_side(encoderMax.height, result.width, encoderMax.width);
        take_rate(&result, *rate);

        const bool peerAligned = pair_complete(peer->encoderAlign);
        const uint32_t ws =
            std::max(decoder->alignment_width, peerAligned ? peer->encoderAlign[0] : k_default_width_step);
        const uint32_t hs =
            std::max(decoder->alignment_height, peerAligned ? peer->encoderAlign[1] : k_default_height_step);
        core_video_mode_align(&result, ws, hs);
    }
    store_mode(capability, ENGINE_SLOT_VIDEO_RECEIVE, result);
    return CORE_OK;
}

CoreResult engine_audio_send_format(EngineCapability *capability, const EngineNegotiatedPeerValues *peer,
                                    EngineProps *offerProps, EngineProps *answerProps)
{
    if (capability == nullptr || peer == nullptr) return CORE_ERR;
    if (!audio_complete(peer->decoderFormat) || !audio_complete(peer->receiveFormat)) return CORE_DONE;
    if (offerProps != nullptr) engine_props_put_audio_format(offerProps, &k_fixed_audio_format, k_tag_encoder_max_format);
    if (answerProps != nullptr)
        engine_props_put_audio_format(answerProps, &k_fixed_audio_format, k_tag_encoder_max_format);
    store_format(capability, ENGINE_SLOT_AUDIO_SEND, k_fixed_audio_format);
    return CORE_OK;
}

CoreResult engine_audio_receive_format(EngineCapability *capability, const EngineNegotiatedPeerValues *peer)
{
    if (capability == nullptr || peer == nullptr) return CORE_ERR;
    if (!audio_complete(peer->sendFormat) || !audio_complete(peer->encoderFormat)) return CORE_DONE;
    store_format(capability, ENGINE_SLOT_AUDIO_RECEIVE, k_fixed_audio_format);
    return CORE_OK;
}

CoreResult engine_video_send_mode_adopt(EngineCapability *capability, const EngineNegotiatedPeerValues *peer)
{
    if (capability == nullptr || peer == nullptr) return CORE_ERR;
    if (!core_video_mode_complete(&peer->encoderMax)) return CORE_DONE;
    store_mode(capability, ENGINE_SLOT_VIDEO_SEND, peer->encoderMax);
    return CORE_OK;
}

CoreResult engine_audio_send_format_adopt(EngineCapability *capability, const EngineNegotiatedPeerValues *peer)
{
    if (capability == nullptr || peer == nullptr) return CORE_ERR;
    if (!audio_complete(peer->encoderFormat)) return CORE_DONE;
    store_format(capability, ENGINE_SLOT_AUDIO_SEND, peer->encoderFormat);
    return CORE_OK;
}

CoreVideoMode *engine_broadcast_profile_make(EngineCapability *capability, const CoreVideoMode *source,
                                             const CoreVideoMode *requested, CoreVideoMode *out)
{
    if (capability == nullptr || out == nullptr) return nullptr;
    const CoreVideoMode S = source != nullptr ? *source : CoreVideoMode{};
    const CoreVideoMode P = requested != nullptr ? *requested : CoreVideoMode{};

    CoreVideoCodecDesc encoder;
    engine_video_codec_desc_empty(&encoder);
    if (engine_default_video_codec(ENGINE_CODEC_LIST_ENCODERS, ENGINE_VIDEO_CODEC_H264, 1, &encoder) < 0)
        engine_default_video_codec(ENGINE_CODEC_LIST_ENCODERS, ENGINE_VIDEO_CODEC_H264, 0, &encoder);
    const CoreVideoMode Q = codec_max(encoder);

    CoreVideoMode L{};
    engine_capability_video_limit(capability, &L);
    // The limit's long side goes to the source's long side.
    const uint32_t W = L.width;
    const uint32_t H = L.height;
    const bool sourceWide = S.width >= S.height;
    const bool limitWide = L.width >= L.height;
    const bool sourceSized = S.width != 0 && S.height != 0;
    if (sourceWide == limitWide) {
        L.width = W;
        L.height = sourceSized ? scale_side(W, S.height, S.width) : H;
    } else {
        L.width = sourceSized ? scale_side(W, S.width, S.height) : H;
        L.height = W;
    }

    CoreVideoMode result = L;
    if (rate_not_higher(S, result)) take_rate(&result, S);
    uint32_t w = std::min(L.width, S.width);
    uint32_t h = std::min(L.height, S.height);
    for (const CoreVideoMode *bound : {&Q, &P}) {
        if (!core_video_mode_complete(bound)) continue;
        if (rate_not_higher(*bound, result)) take_rate(&result, *bound);
        w = std::min(w, bound->width);
        h = std::min(h, bound->height);
    }
    fit_aspect(&w, &h, S);
    result.width = w;
    result.height = h;
    const bool square = core_video_mode_complete(&result) && w == h;
    core_video_mode_align(&result, k_broadcast_width_step, square ? k_broadcast_width_step : k_broadcast_height_step);

    *out = result;
    CoreLockGuard guard(&capability->lock);
    capability->videoLimit = result;
    return out;
}
