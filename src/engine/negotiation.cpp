#include "engine/negotiation.h"

#include <cstring>

#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "engine/binder.h"
#include "engine/codec_choice.h"
#include "engine/codes.h"
#include "engine/connection.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/profiles.h"
#include "engine/provider.h"
#include "engine/session.h"

namespace {

void free_table(EngineStreamTable **table)
{
    if (table == nullptr || *table == nullptr) return;
    void *block = *table;
    if (EngineNode *node = engine_node_running()) core_pool_free(node->pool, &block);
    *table = nullptr;
}

// A record the codec choice (or the defaults) wrote: every codec record
// carries the codec-record flag, a cleared work record does not.
bool holds(const EngineStreamRecord &record) { return (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) != 0; }

void clear_record(EngineStreamRecord *record)
{
    memset(record, 0, sizeof(*record));
    engine_props_init(&record->props);
}

uint64_t codec_record_count(const EngineStreamTable *table)
{
    if (table == nullptr) return 0;
    uint64_t n = 0;
    for (uint64_t i = 0; i < table->count; ++i)
        if (table->records[i].mediaFlags & ENGINE_MEDIA_CODEC_RECORD) ++n;
    return n;
}

// The score under `tag` of the first plain record of `medium` that has it
// set; 0 when none has.
uint32_t peer_score(const EngineStreamTable *table, uint32_t medium, uint16_t tag)
{
    if (table == nullptr) return 0;
    for (uint64_t i = 0; i < table->count; ++i) {
        const EngineStreamRecord &r = table->records[i];
        if ((r.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) || !(r.mediaFlags & medium)) continue;
        for (const EnginePropEntry &e : r.props.entries) {
            if (e.tag == 0) break;
            const int64_t value = e.value;
            if (e.tag == tag && value != ENGINE_PROP_UNSET) return value < 0 || value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
        }
    }
    return 0;
}

// A copy of `count` records as a node-pool table, or NULL.
EngineStreamTable *table_of_records(const EngineStreamRecord *records, uint64_t count)
{
    EngineStreamTable *table = engine_stream_table_alloc(count);
    if (table != nullptr && count > 0) engine_stream_records_copy(table->records, records, count);
    return table;
}

// One stream's codec choice. Returns whether the stream is counted, or
// false with *failed set when the choice failed outright.
bool choose_stream(uint32_t medium, EngineStreamTable *encoding, EngineStreamRecord *encoder,
                   EngineStreamTable *decoding, EngineStreamRecord *decoder, uint32_t encodeScore,
                   uint32_t decodeScore, bool noPeerCodecs, const EngineStreamRecord *countedRecord, bool *failed)
{
    CoreResult r = engine_codec_preferred_pair(medium, encoding, encoder, decoding, decoder);
    if (r == CORE_OK) return true;
    if (r != CORE_DONE) return false;
    r = engine_codec_choose(medium, encodeScore, decodeScore, encoding, encoder, decoding, decoder);
    if (r < 0) {
        *failed = true;
        return false;
    }
    if (r == CORE_OK) return true;
    // No pair: a request without codec records is served by the defaults.
    return noPeerCodecs && holds(*countedRecord);
}

// Places a chosen stream's plain record, its media flags taken from the
// codec record with its own media bits kept, at the next position of both
// tables.
bool place_plain(const EngineStreamTable *local, const EngineStreamRecord &codec, EngineStreamTable *offer,
                 EngineStreamTable *answer, uint64_t *offerAt, uint64_t *answerAt)
{
    const EngineStreamRecord *plain = engine_stream_table_find_plain(local, &codec.streamName);
    if (plain == nullptr) return false;
    if (*offerAt >= offer->count || *answerAt >= answer->count) return false;
    EngineStreamRecord record = *plain;
    record.mediaFlags = (codec.mediaFlags & ~0xFFu) | (plain->mediaFlags & 0xFFu);
    engine_stream_table_set(offer, (*offerAt)++, &record);
    engine_stream_table_set(answer, (*answerAt)++, &record);
    return true;
}

bool place_codec(const EngineStreamRecord &record, EngineStreamTable *table, uint64_t *at)
{
    if (!holds(record)) return true;
    if (*at >= table->count) return false;
    engine_stream_table_set(table, (*at)++, &record);
    return true;
}

int binder_kind_of(const CoreName *channel)
{
    if (engine_p2p_binder_index(channel) != ENGINE_BINDER_INDEX_NONE) return ENGINE_BINDER_KIND_P2P;
    if (engine_p2m_binder_index(channel) != ENGINE_BINDER_INDEX_NONE) return ENGINE_BINDER_KIND_P2M;
    return ENGINE_BINDER_KIND_NONE;
}

}  // namespace

CoreResult engine_negotiation_publish(EngineCapability *capability, uint32_t code, const EngineStreamTable *table,
                                      const EngineMediaDesc *desc)
{
    if (capability == nullptr || table == nullptr || desc == nullptr) return CORE_ERR_INVALID;
    const uint64_t length = engine_stream_table_size(table->count);
    if (length == 0) return CORE_ERR_INVALID;
    // The handlers read the description only; the copy keeps the caller's
    // record out of their reach.
    EngineMediaDesc copy = *desc;
    uint64_t outLength = sizeof(copy);
    return core_notify(&capability->name, code, table, length, &copy, &outLength);
}

CoreResult engine_negotiate_answer(EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                   EngineStreamTable *local, const EngineLocalCaps *caps,
                                   const EngineNegotiationPeer *peer, const EngineDefaultCodecs *defaults,
                                   EngineStreamRecord work[ENGINE_WORK_RECORDS], EngineStreamTable **offer,
                                   EngineStreamTable **answer)
{
    if (offer != nullptr) *offer = nullptr;
    if (answer != nullptr) *answer = nullptr;
    if (capability == nullptr || desc == nullptr || local == nullptr || caps == nullptr || peer == nullptr ||
        defaults == nullptr || work == nullptr || offer == nullptr || answer == nullptr)
        return CORE_ERR;
    EngineStreamTable *peerTable = peer->records;
    const uint64_t peerCount = peerTable != nullptr ? peerTable->count : 0;

    const bool sending = (mode & caps->sendRoles) != 0;
    const bool receiving = (mode & caps->receiveRoles) != 0;
    for (int i = 0; i < ENGINE_WORK_RECORDS; ++i) clear_record(&work[i]);

    const uint64_t m = peer->how == ENGINE_HOW_ANSWER ? codec_record_count(peerTable) : 0;
    if (m == 0) {
        if (peer->how == ENGINE_HOW_ADOPT) {
            *offer = engine_stream_table_clone(local);
            *answer = peerTable != nullptr ? table_of_records(peerTable->records, peerCount) : nullptr;
            if (*offer == nullptr || *answer == nullptr) {
                free_table(offer);
                free_table(answer);
                return CORE_ERR;
            }
            return CORE_OK;
        }
        if (peer->how == ENGINE_HOW_ANSWER) {
            if (sending) {
                if (defaults->audioEncoderIndex >= 0)
                    engine_codec_record_from_audio(&work[ENGINE_WORK_LOCAL_AUDIO_ENCODER], desc, &defaults->audioEncoder,
                                                   defaults->audioEncoderIndex, 0,
                                                   engine_audio_codec_is_hardware(&defaults->audioEncoder));
                if (defaults->videoEncoderIndex >= 0)
                    engine_codec_record_from_video(&work[ENGINE_WORK_LOCAL_VIDEO_ENCODER], desc, &defaults->videoEncoder,
                                                   defaults->videoEncoderIndex, 0,
                                                   engine_video_codec_is_hardware(&defaults->videoEncoder));
            }
            if (receiving) {
                if (defaults->audioDecoderIndex >= 0)
                    engine_codec_record_from_audio(&work[ENGINE_WORK_LOCAL_AUDIO_DECODER], desc, &defaults->audioDecoder,
                                                   defaults->audioDecoderIndex, 0,
                                                   engine_audio_codec_is_hardware(&defaults->audioDecoder));
                if (defaults->videoDecoderIndex >= 0)
                    engine_codec_record_from_video(&work[ENGINE_WORK_LOCAL_VIDEO_DECODER], desc, &defaults->videoDecoder,
                                                   defaults->videoDecoderIndex, 0,
                                                   engine_video_codec_is_hardware(&defaults->videoDecoder));
            }
        }
    }

    // The choice reads an empty table where the peer sent none.
    EngineStreamTable empty = {0};
    EngineStreamTable *peerSide = peerTable != nullptr ? peerTable : &empty;
    bool failed = false;
    uint64_t counted = 0;
    bool audioOut = false, videoOut = false, audioIn = false, videoIn = false;
    if (sending && caps->audioSend) {
        audioOut = choose_stream(ENGINE_MEDIUM_AUDIO, local, &work[ENGINE_WORK_LOCAL_AUDIO_ENCODER], peerSide,
                                 &work[ENGINE_WORK_PEER_AUDIO_DECODER], caps->audioEncodeScore,
                                 peer_score(peerSide, ENGINE_MEDIA_AUDIO, 0x2501), m == 0,
                                 &work[ENGINE_WORK_LOCAL_AUDIO_ENCODER], &failed);
        counted += audioOut;
    }
    if (!failed && sending && caps->videoSend) {
        videoOut = choose_stream(ENGINE_MEDIUM_VIDEO, local, &work[ENGINE_WORK_LOCAL_VIDEO_ENCODER], peerSide,
                                 &work[ENGINE_WORK_PEER_VIDEO_DECODER], caps->videoEncodeScore,
                                 peer_score(peerSide, ENGINE_MEDIA_VIDEO, 0x1501), m == 0,
                                 &work[ENGINE_WORK_LOCAL_VIDEO_ENCODER], &failed);
        counted += videoOut;
    }
    if (!failed && receiving && caps->audioReceive) {
        audioIn = choose_stream(ENGINE_MEDIUM_AUDIO, peerSide, &work[ENGINE_WORK_PEER_AUDIO_ENCODER], local,
                                &work[ENGINE_WORK_LOCAL_AUDIO_DECODER], peer_score(peerSide, ENGINE_MEDIA_AUDIO, 0x2500),
                                caps->audioDecodeScore, m == 0, &work[ENGINE_WORK_LOCAL_AUDIO_DECODER], &failed);
        counted += audioIn;
    }
    if (!failed && receiving && caps->videoReceive) {
        videoIn = choose_stream(ENGINE_MEDIUM_VIDEO, peerSide, &work[ENGINE_WORK_PEER_VIDEO_ENCODER], local,
                                &work[ENGINE_WORK_LOCAL_VIDEO_DECODER], peer_score(peerSide, ENGINE_MEDIA_VIDEO, 0x1500),
                                caps->videoDecodeScore, m == 0, &work[ENGINE_WORK_LOCAL_VIDEO_DECODER], &failed);
        counted += videoIn;
    }
    if (failed) return CORE_ERR;

    const uint64_t size = m > 0 ? 2 * counted : counted;
    *offer = engine_stream_table_alloc(size);
    *answer = engine_stream_table_alloc(size);
    if (*offer == nullptr || *answer == nullptr) {
        free_table(offer);
        free_table(answer);
        return CORE_ERR;
    }

    // A stream that was not counted (no pair) keeps out of the tables even
    // when a record of it was left from the defaults.
    const EngineStreamRecord none = {};
    auto chosen = [&](bool counted_, int w) -> const EngineStreamRecord & { return counted_ ? work[w] : none; };
    uint64_t offerAt = 0, answerAt = 0;
    bool ok = true;
    if (sending) {
        for (const EngineStreamRecord *codec : {&chosen(audioOut, ENGINE_WORK_LOCAL_AUDIO_ENCODER),
                                                &chosen(videoOut, ENGINE_WORK_LOCAL_VIDEO_ENCODER)})
            if (ok && holds(*codec)) ok = place_plain(local, *codec, *offer, *answer, &offerAt, &answerAt);
        if (ok && m > 0) {
            ok = place_codec(chosen(audioOut, ENGINE_WORK_LOCAL_AUDIO_ENCODER), *offer, &offerAt) &&
                 place_codec(chosen(videoOut, ENGINE_WORK_LOCAL_VIDEO_ENCODER), *offer, &offerAt) &&
                 place_codec(chosen(audioOut, ENGINE_WORK_PEER_AUDIO_DECODER), *answer, &answerAt) &&
                 place_codec(chosen(videoOut, ENGINE_WORK_PEER_VIDEO_DECODER), *answer, &answerAt);
        }
    }
    if (ok && receiving) {
        for (const EngineStreamRecord *codec : {&chosen(audioIn, ENGINE_WORK_LOCAL_AUDIO_DECODER),
                                                &chosen(videoIn, ENGINE_WORK_LOCAL_VIDEO_DECODER)})
            if (ok && holds(*codec)) ok = place_plain(local, *codec, *offer, *answer, &offerAt, &answerAt);
        if (ok && m > 0) {
            ok = place_codec(chosen(audioIn, ENGINE_WORK_LOCAL_AUDIO_DECODER), *offer, &offerAt) &&
                 place_codec(chosen(videoIn, ENGINE_WORK_LOCAL_VIDEO_DECODER), *offer, &offerAt) &&
                 place_codec(chosen(audioIn, ENGINE_WORK_PEER_AUDIO_ENCODER), *answer, &answerAt) &&
                 place_codec(chosen(videoIn, ENGINE_WORK_PEER_VIDEO_ENCODER), *answer, &answerAt);
        }
    }
    if (!ok) {
        free_table(offer);
        free_table(answer);
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult engine_negotiate_streams(EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                    const EngineLocalCaps *caps, const EngineNegotiationPeer *peer,
                                    uint32_t combinedProfile, EngineStreamTable **offer, EngineStreamTable **answer)
{
    if (offer != nullptr) *offer = nullptr;
    if (answer != nullptr) *answer = nullptr;
    if (capability == nullptr || desc == nullptr || caps == nullptr || offer == nullptr || answer == nullptr)
        return CORE_ERR;
    const int kind = binder_kind_of(&desc->channel);
    if (kind == ENGINE_BINDER_KIND_NONE) return CORE_ERR;
    const int p2m = kind == ENGINE_BINDER_KIND_P2M;

    EngineOfferCounts counts;
    if (engine_offer_table_counts(mode, caps, p2m, &counts) != CORE_OK) return CORE_ERR;
    EngineStreamTable *local = engine_stream_table_alloc(counts.total);
    if (local == nullptr) return CORE_ERR;

    EngineDefaultCodecs defaults;
    engine_default_codecs(mode, caps->sendRoles, caps->audioSend, caps->videoSend, caps->receiveRoles,
                          caps->audioReceive, caps->videoReceive, &defaults);

    CoreResult result = engine_plain_records_fill(capability, mode, desc, caps, &defaults, counts.send, counts.receive,
                                                  p2m, combinedProfile != 0, local);
    if (result == CORE_OK)
        result = engine_codec_records_add(mode, desc, caps, &defaults, counts.send + counts.receive, p2m, local);

    if (result == CORE_OK) {
        if (peer == nullptr || peer->records == nullptr || peer->records->count == 0) {
            *offer = engine_stream_table_clone(local);
            if (*offer == nullptr) result = CORE_ERR;
        } else {
            EngineStreamRecord work[ENGINE_WORK_RECORDS];
            result = engine_negotiate_answer(capability, mode, desc, local, caps, peer, &defaults, work, offer, answer);
            if (result == CORE_OK)
                result = engine_negotiate_finish(capability, mode, caps, *offer, *answer, peer->records, peer->how, p2m,
                                                 work);
        }
    }
    free_table(&local);
    if (result != CORE_OK) {
        free_table(offer);
        free_table(answer);
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult engine_negotiate(EngineSession *session, uint32_t mode, const EngineMediaDesc *desc,
                            const EngineStreamSet *peerSet, int32_t how)
{
    EngineCapability *capability = engine_capability_current();
    if (session == nullptr || desc == nullptr || capability == nullptr || session->binderTable == nullptr)
        return CORE_ERR_INVALID;
    EngineBinderTable *table = session->binderTable;
    EngineMediaProvider *provider = session->provider;
    EngineDisplay *display = session->display;

    EngineSessionParams params;
    core_lock(session->lock);
    params = session->params;
    core_unlock(session->lock);

    EngineLocalCaps caps;
    engine_local_caps_init(&caps);

    if (table->sendRoles != 0) {
        caps.sendRoles = params.sendRoles;
        if (caps.sendRoles & mode) {
            bool answered = false;
            if (provider != nullptr && provider->audioSources != nullptr) {
                const CoreResult r = engine_device_read_audio_source(provider->audioSources, &caps);
                if (r < 0) return r;
                if (r == CORE_OK) {
                    caps.audioEncoderIndex = params.audioSource.codecIndex;
                    answered = true;
                }
            }
            if (provider != nullptr && provider->videoSources != nullptr) {
                const CoreResult r = engine_device_read_video_source(provider->videoSources, &caps);
                if (r < 0) return r;
                if (r == CORE_OK) {
                    caps.videoEncoderIndex = params.videoSource.codecIndex;
                    answered = true;
                }
            }
            if (!answered) return CORE_ERR;
        }
    }
    if (table->receiveRoles != 0) {
        const CoreResult r = engine_device_read_sinks(
            table, display != nullptr ? display->audioSinks : nullptr, display != nullptr ? display->videoSinks : nullptr,
            mode, params.receiveRoles, params.audioSink.codecIndex, params.videoSink.codecIndex, &caps);
        if (r < 0) return r;
    }
    engine_local_caps_set_scores(&caps);

    EngineNegotiationPeer peer = {how, 0, nullptr};
    if (peerSet != nullptr) {
        peer.kind = peerSet->kind;
        // The choice writes into the peer's records; the caller's set stays
        // as it arrived.
        peer.records = table_of_records(peerSet->records, peerSet->count);
        if (peer.records == nullptr) return CORE_ERR;
        const CoreResult r = engine_binder_store_video_modes(table, desc, peerSet);
        if (r < 0) {
            free_table(&peer.records);
            return r;
        }
    }

    EngineStreamTable *offer = nullptr;
    EngineStreamTable *answer = nullptr;
    CoreResult result = engine_negotiate_streams(capability, mode, desc, &caps, peerSet != nullptr ? &peer : nullptr,
                                                 params.combinedProfile, &offer, &answer);
    free_table(&peer.records);
    if (result < 0) return result;

    if (offer != nullptr) {
        if (engine_capability_table_replace(capability, ENGINE_CAPABILITY_OFFER, offer) != CORE_OK)
            result = CORE_ERR;
        else
            result = engine_negotiation_publish(capability, ENGINE_SVC_SET_OFFER, offer, desc);
    }
    if (result >= 0 && answer != nullptr) {
        if (engine_capability_table_replace(capability, ENGINE_CAPABILITY_ANSWER, answer) != CORE_OK)
            result = CORE_ERR;
        else
            result = engine_negotiation_publish(capability, ENGINE_SVC_SET_ANSWER, answer, desc);
    }
    free_table(&offer);
    free_table(&answer);
    if (result < 0) {
        core_log(CORE_LOG_WARN, "engine", "negotiation: channel %s not published (%d)", desc->channel.text, result);
        return result;
    }

    if (peerSet != nullptr) {
        result = engine_binder_store_media_modes(table, desc);
        if (result >= 0 && (table->sendRoles & mode)) {
            result = engine_send_profile_requests(session, &desc->channel);
            if (result >= 0) {
                const CoreResult built = engine_stream_tables_build(provider, &desc->channel, table->kind.load());
                if (built < 0) result = built;
            }
        }
        if (result < 0) return result;
    }
    return CORE_OK;
}
