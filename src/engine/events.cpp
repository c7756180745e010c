#include "engine/events.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/video.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/connection.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/evaluation.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/props.h"
#include "engine/provider.h"
#include "engine/receive.h"
#include "engine/records.h"
#include "engine/send.h"
#include "engine/session.h"

namespace {

constexpr const char *kModule = "events";
constexpr uint32_t kFourccNone = core_fourcc("NONE");

std::atomic<uint64_t> g_refused{0};

bool long_enough(uint32_t code, uint64_t length, uint64_t size)
{
    if (length >= size) return true;
    g_refused.fetch_add(1);
    core_log(CORE_LOG_WARN, kModule, "event 0x%X of %llu bytes dropped (%llu expected)", code,
             static_cast<unsigned long long>(length), static_cast<unsigned long long>(size));
    return false;
}

template <typename Record>
bool read_event(const CoreQueueEntry *message, Record *out)
{
    if (message->data == nullptr || !long_enough(message->type, message->length, sizeof(Record))) return false;
    memcpy(out, message->data, sizeof(Record));
    return true;
}

// 0 audio, 1 video, 2 other, -1 no stream name; both plain patterns count.
int stream_kind(const CoreName &name)
{
    const int kind = engine_stream_name_kind(&name, 0);
    return kind >= 0 ? kind : engine_stream_name_kind(&name, 1);
}

// A binder channel held by a reader reference of the channel store; a
// channel marked deleted counts as missing.
class ChannelRef {
public:
    ChannelRef(EngineBinderTable *table, const CoreName &name) : store_(table != nullptr ? table->channels : nullptr)
    {
        if (store_ == nullptr) return;
        CoreStoreItem *item = core_store_lookup(store_, name.key);
        if (item == nullptr) return;
        referenced_ = true;
        core_store_lock(store_);
        const bool deleted = (item->state & CORE_ITEM_DELETED) != 0;
        core_store_unlock(store_);
        if (!deleted) channel_ = reinterpret_cast<EngineBinderChannel *>(item);
    }
    ~ChannelRef()
    {
        if (referenced_) core_store_unref(store_);
    }
    ChannelRef(const ChannelRef &) = delete;
    ChannelRef &operator=(const ChannelRef &) = delete;
    EngineBinderChannel *get() const { return channel_; }

private:
    CoreStore *store_;
    EngineBinderChannel *channel_ = nullptr;
    bool referenced_ = false;
};

// Inserts a stream name into one of the channel's sets; an entry that is
// there already counts as success.
bool insert_stream(EngineBinderTable *table, const CoreName &channel, const CoreName &stream, bool send)
{
    ChannelRef ref(table, channel);
    if (ref.get() == nullptr) return false;
    CoreStore *set = send ? ref.get()->sendStreams : ref.get()->receiveStreams;
    if (set == nullptr) return false;
    const CoreResult result = core_store_insert(set, &stream, nullptr, nullptr, nullptr, 0);
    return result == CORE_OK || result == CORE_EXISTS;
}

// false when the channel is missing.
bool remove_stream(EngineBinderTable *table, const CoreName &channel, const CoreName &stream, bool send)
{
    ChannelRef ref(table, channel);
    if (ref.get() == nullptr) return false;
    CoreStore *set = send ? ref.get()->sendStreams : ref.get()->receiveStreams;
    if (set != nullptr) core_store_remove(set, stream.key);
    return true;
}

// The record that tears down the binding an event belongs to: kind 0, the
// event's names and the bind sequence id stored with the channel.
EngineBindRecord teardown_record(EngineBinderTable *table, const CoreName &channel, const CoreName &peer,
                                 const CoreName &session)
{
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = ENGINE_BIND_KIND_NONE;
    record.desc.channel = channel;
    record.desc.peerNode = peer;
    record.desc.session = session;
    engine_binder_get_bind_seq(table, &channel, &record.desc.bindSequence);
    return record;
}

uint32_t counter_block(int kind, bool sent)
{
    if (kind == 0) return sent ? ENGINE_BINDER_SENT_AUDIO : ENGINE_BINDER_RECEIVED_AUDIO;
    return sent ? ENGINE_BINDER_SENT_VIDEO : ENGINE_BINDER_RECEIVED_VIDEO;
}

void on_receive_opened(EngineSession *session, const EngineReceiveStreamEvent &event)
{
    EngineBinderTable *table = session->binderTable;
    const int kind = stream_kind(event.stream);
    if (kind == 0 || kind == 1)
        engine_binder_set_security(table, &event.channel, counter_block(kind, false), event.value);
    if (insert_stream(table, event.channel, event.stream, false)) return;
    EngineBindRecord record = teardown_record(table, event.channel, event.peerNode, event.session);
    // A channel that was no longer connecting or bound has no teardown of
    // its own to close the receiver: close it here.
    if (engine_disconnect(session, &record) != 0) engine_post_receive_close(&record.desc);
}

void on_send_opened(EngineSession *session, const EngineSendStreamEvent &event)
{
    EngineBinderTable *table = session->binderTable;
    const int kind = stream_kind(event.stream);
    if (kind == 0 || kind == 1) engine_binder_set_security(table, &event.channel, counter_block(kind, true), event.value);
    const CoreResult started =
        session->provider != nullptr ? engine_provider_start_encoders(session->provider, &event) : CORE_ERR;
    if (started >= 0 && insert_stream(table, event.channel, event.stream, true)) return;
    EngineBindRecord record = teardown_record(table, event.channel, event.peerNode, event.session);
    if (engine_disconnect(session, &record) != 0 && session->provider != nullptr)
        engine_provider_withdraw_streams(session->provider, &record.desc);
}

// The last stream of a channel has gone: tear the binding down, or, when
// the teardown already ran while streams were left, finish it here.
void on_stream_closed(EngineSession *session, const CoreName &channel, const CoreName &peer, const CoreName &net,
                      const CoreName &stream, bool send)
{
    EngineBinderTable *table = session->binderTable;
    if (!remove_stream(table, channel, stream, send)) return;
    if (engine_binder_send_count(table, &channel) != 0 || engine_binder_receive_count(table, &channel) != 0) return;
    EngineBindRecord record = teardown_record(table, channel, peer, net);
    if (engine_disconnect(session, &record) == 0) return;
    engine_binder_release(table, &record.desc);
    if (table->kind.load() == ENGINE_BINDER_P2P) engine_binder_close_all(table);
}

// A broadcast runs at what its weakest bound viewer asked for.
void apply_broadcast_request(EngineSession *session, const EngineSendStatsEvent &event, int kind)
{
    EngineBinderTable *table = session->binderTable;
    if (kind < 0 || kind >= ENGINE_STREAM_KINDS || table->open.load() == 0) return;
    {
        ChannelRef ref(table, event.channel);
        if (ref.get() == nullptr) return;
        CoreLockGuard guard(&table->lock);
        ref.get()->encoderRequest[kind] = {1, event.bits, static_cast<uint32_t>(event.step)};
    }
    uint64_t bound = 0, asking = 0, bitrate = UINT64_MAX;
    uint32_t step = 8;
    CoreStore *store = table->channels;
    for (CoreStoreItem *item = core_store_next(store, nullptr, 1); item != nullptr;
         item = core_store_next(store, item, 1)) {
        auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
        CoreLockGuard guard(&table->lock);
        core_store_lock(store);
        const bool deleted = (item->state & CORE_ITEM_DELETED) != 0;
        core_store_unlock(store);
        if (deleted || channel->state != ENGINE_CHANNEL_BOUND) continue;
        ++bound;
        const EngineEncoderRequest &request = channel->encoderRequest[kind];
        if (request.set == 0) continue;
        ++asking;
        if (request.bitrate < bitrate) bitrate = request.bitrate;
        if (request.step < step) step = request.step;
    }
    if (bound != 0 && asking != 0 && session->provider != nullptr)
        engine_provider_apply_encoder(session->provider, &event.stream, bitrate, static_cast<int32_t>(step), kind);
}

void on_send_feedback(EngineSession *session, const EngineSendStatsEvent &event)
{
    EngineBinderTable *table = session->binderTable;
    if (!engine_binder_has_session(table, &event.channel, event.session.key)) return;
    const int kind = stream_kind(event.stream);
    const int32_t mode = table->kind.load();
    if (mode == ENGINE_BINDER_P2P) {
        if (session->provider != nullptr)
            engine_provider_apply_encoder(session->provider, &event.stream, event.bits, event.step, kind);
    } else if (mode == ENGINE_BINDER_P2M) {
        apply_broadcast_request(session, event, kind);
    }
}

// A peer that appeared or changed while a broadcast runs is offered it.
void on_peer_changed(EngineSession *session, const EnginePeerRecord &peer)
{
    if (session->binderTable->kind.load() != ENGINE_BINDER_P2M) return;
    CoreName bindSequence;
    core_name_format(&bindSequence, "%s%016" PRIx64, CORE_SEQ_BND, core_seq_next());
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, nullptr, &peer.nodeId, &peer.sessionName, &bindSequence);
    engine_broadcast_start(session, &desc);
}

// ---- pipeline events ----

struct SamplesContext {
    CoreName stream;
    const RavkSample *samples;
    uint64_t total;
    CoreName nodeService;
};

// The source reports travel in the layout of the application-fed source
// records, so the interface can offer them back as such a source.
void on_format(const RavkFormatInfo &info)
{
    if (info.audio_fourcc != kFourccNone) {
        EngineAppAudioSource source;
        memset(&source, 0, sizeof(source));
        source.deviceIndex = -1;
        source.formatCode = info.audio_fourcc;
        memcpy(&source.format, info.audio, sizeof(source.format));
        engine_post_event(ENGINE_EVT_AUDIO_SOURCE_INFO, &source, sizeof(source));
    }
    if (info.video_fourcc != kFourccNone) {
        EngineAppVideoSource source;
        memset(&source, 0, sizeof(source));
        source.deviceIndex = -1;
        source.formatCode = info.video_fourcc;
        source.mode1 = {info.width, info.height, info.rate_num, info.rate_den};
        if (source.mode1.rate_num == 0 || source.mode1.rate_den == 0) {
            source.mode1.rate_num = 60;
            source.mode1.rate_den = 1;
        }
        engine_post_event(ENGINE_EVT_VIDEO_SOURCE_INFO, &source, sizeof(source));
    }
}

CoreResult on_samples(EngineSession *session, const RavkSampleBatchHeader &header, void *out, uint64_t *out_len)
{
    const auto *samples = static_cast<const RavkSample *>(out);
    const int32_t medium = header.stream_index <= 1 ? static_cast<int32_t>(header.stream_index) : -1;
    const bool evaluation = core_name_cmp_str(header.stream.key, ENGINE_EVAL_AUDIO_PIPELINE) == 0 ||
                            core_name_cmp_str(header.stream.key, ENGINE_EVAL_VIDEO_PIPELINE) == 0;
    if (engine_eval_on_result(session->evaluation, header.role, medium, evaluation ? &header.stream : nullptr,
                              samples) != 0)
        return CORE_OK;
    if (samples == nullptr || out_len == nullptr) return CORE_OK;
    SamplesContext context = {header.stream, samples, *out_len, session->nodeService};
    engine_binder_foreach_bound(session->binderTable, engine_forward_samples, &context);
    return CORE_OK;
}

void post_message(uint32_t code, const char *text)
{
    EngineMessageText message;
    memset(&message, 0, sizeof(message));
    snprintf(message.text, sizeof(message.text), "%s", text);
    engine_post_event(code, &message, sizeof(message));
}

}  // namespace

// ---- service events -------------------------------------------------------------

CoreResult engine_on_service_event(const CoreQueueEntry *message, void **user)
{
    auto *session = static_cast<EngineSession *>(user != nullptr ? user[0] : nullptr);
    if (session == nullptr || message == nullptr || session->binderTable == nullptr) return CORE_OK;
    EngineBinderTable *table = session->binderTable;
    switch (message->type) {
    case ENGINE_EVT_RECEIVE_STATS: {
        EngineReceiveStatsEvent event;
        if (!read_event(message, &event)) break;
        const int kind = stream_kind(event.stream);
        if (kind == 0 || kind == 1)
            engine_binder_add_bits(table, &event.channel, &event.session, counter_block(kind, false), event.bits);
        break;
    }
    case ENGINE_EVT_SEND_STATS: {
        EngineSendStatsEvent event;
        if (!read_event(message, &event)) break;
        const int kind = stream_kind(event.stream);
        if (kind == 0 || kind == 1)
            engine_binder_add_bits(table, &event.channel, &event.session, counter_block(kind, true), event.bits);
        break;
    }
    case ENGINE_EVT_RECEIVE_STREAM_OPENED: {
        EngineReceiveStreamEvent event;
        if (read_event(message, &event)) on_receive_opened(session, event);
        break;
    }
    case ENGINE_EVT_SEND_STREAM_OPENED: {
        EngineSendStreamEvent event;
        if (read_event(message, &event)) on_send_opened(session, event);
        break;
    }
    case ENGINE_EVT_RECEIVE_STREAM_CLOSED: {
        EngineReceiveStreamEvent event;
        if (read_event(message, &event))
            on_stream_closed(session, event.channel, event.peerNode, event.session, event.stream, false);
        break;
    }
    case ENGINE_EVT_SEND_STREAM_CLOSED: {
        EngineSendStreamEvent event;
        if (read_event(message, &event))
            on_stream_closed(session, event.channel, event.peerNode, event.session, event.stream, true);
        break;
    }
    case ENGINE_EVT_SEND_FEEDBACK: {
        EngineSendStatsEvent event;
        if (read_event(message, &event)) on_send_feedback(session, event);
        break;
    }
    case ENGINE_EVT_PEER_CHANGED: {
        EnginePeerRecord peer;
        if (read_event(message, &peer)) on_peer_changed(session, peer);
        break;
    }
    default: break;
    }
    return CORE_OK;
}

// ---- pipeline events --------------------------------------------------------------

CoreResult engine_pipeline_event(EngineSession *session, uint32_t code, const void *in, uint64_t in_len, void *out,
                                 uint64_t *out_len)
{
    if (code < RAVK_EVENT_STATE || code > RAVK_EVENT_ORIENTATION) return CORE_NOT_MINE;
    if (session == nullptr) return CORE_ERR;
    if (code <= RAVK_EVENT_WARNING) return CORE_OK;
    const uint64_t length = in != nullptr ? in_len : 0;
    switch (code) {
    case RAVK_EVENT_ERROR: {
        RavkErrorEvent record;
        if (!long_enough(code, length, sizeof(record))) return CORE_ERR_INVALID;
        memcpy(&record, in, sizeof(record));
        return engine_report_start_failure(session, &record);
    }
    case RAVK_EVENT_SAMPLES: {
        RavkSampleBatchHeader header;
        if (!long_enough(code, length, sizeof(header))) return CORE_ERR_INVALID;
        memcpy(&header, in, sizeof(header));
        return on_samples(session, header, out, out_len);
    }
    case RAVK_EVENT_FORMAT: {
        RavkFormatInfo info;
        if (!long_enough(code, length, sizeof(info))) return CORE_ERR_INVALID;
        memcpy(&info, in, sizeof(info));
        on_format(info);
        return CORE_OK;
    }
    case RAVK_EVENT_STREAM_INFO: {
        RavkStreamInfoEvent info;
        if (!long_enough(code, length, sizeof(info))) return CORE_ERR_INVALID;
        memcpy(&info, in, sizeof(info));
        if (info.role == RAVK_ROLE_CONSUMER && session->display != nullptr)
            engine_display_request_setup(session->display, &info.stream, info.audio_options, info.video_options);
        return CORE_OK;
    }
    case RAVK_EVENT_STATISTICS: {
        RavkStatisticsEvent statistics;
        if (!long_enough(code, length, sizeof(statistics))) return CORE_ERR_INVALID;
        memcpy(&statistics, in, sizeof(statistics));
        return engine_on_stream_update(session, &statistics);
    }
    case RAVK_EVENT_ORIENTATION: {
        RavkOrientationEvent orientation;
        if (!long_enough(code, length, sizeof(orientation))) return CORE_ERR_INVALID;
        memcpy(&orientation, in, sizeof(orientation));
        EngineFrameRotation rotation;
        memset(&rotation, 0, sizeof(rotation));
        rotation.stream = orientation.stream;
        rotation.rotation = orientation.orientation;
        engine_post_event(ENGINE_EVT_FRAME_ROTATION, &rotation, sizeof(rotation));
        return CORE_OK;
    }
    default: return CORE_OK;
    }
}

CoreResult engine_on_pipeline_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                                    void **user)
{
    return engine_pipeline_event(static_cast<EngineSession *>(user != nullptr ? user[0] : nullptr), code, in, in_len,
                                 out, out_len);
}

CoreResult engine_report_start_failure(EngineSession *session, const RavkErrorEvent *record)
{
    if (session == nullptr || record == nullptr) return CORE_OK;
    const bool capture = record->role != 0;
    char text[ENGINE_MESSAGE_TEXT_SIZE] = "";
    auto add = [&text](const char *part) {
        const size_t used = strlen(text);
        snprintf(text + used, sizeof(text) - used, "%s%s", used != 0 ? ". " : "", part);
    };
    if ((record->media & 0x1) != 0) {
        if (capture)
            add("Failed on start audio encoder");
        else if (record->part != 4)
            add("Failed on start audio decoder");
    }
    if ((record->media & 0x2) != 0) {
        if (capture) {
            add("Failed on start video encoder");
        } else if (record->part != 4) {
            add("Failed on start video decoder");
            add("Please try to select another video decoder");
        }
    }
    if (text[0] != '\0') {
        const size_t used = strlen(text);
        snprintf(text + used, sizeof(text) - used, ".");
        post_message(capture ? ENGINE_EVT_STREAMER_ERROR : ENGINE_EVT_VIEWER_ERROR, text);
    }
    // A failed video branch leaves no binding worth keeping.
    if ((record->media & 0x2) != 0)
        engine_binder_foreach_bound(session->binderTable, engine_disconnect_channel, session);
    return CORE_OK;
}

int engine_forward_samples(const CoreName *channel, const CoreName *session, void *context)
{
    auto *samples = static_cast<SamplesContext *>(context);
    if (channel == nullptr || samples == nullptr) return 0;
    EngineFrameBatch batch;
    memset(&batch, 0, sizeof(batch));
    batch.channel = *channel;
    if (session != nullptr) batch.session = *session;
    batch.stream = samples->stream;
    uint64_t total = samples->total;
    // A channel whose session has no sender for the stream answers -84;
    // the samples simply do not go there.
    core_notify(&samples->nodeService, ENGINE_SVC_SEND_FRAMES, &batch, sizeof(batch),
                const_cast<RavkSample *>(samples->samples), &total);
    return 0;
}

CoreResult engine_on_stream_update(EngineSession *session, const RavkStatisticsEvent *record)
{
    if (session == nullptr || record == nullptr) return CORE_ERR;
    if (record->role != 0) return CORE_OK;
    EngineCapability *capability = engine_capability_current();
    EngineStreamTable *answer =
        capability != nullptr ? engine_capability_table_clone(capability, ENGINE_CAPABILITY_ANSWER) : nullptr;
    if (answer == nullptr) return CORE_ERR;
    EngineNode *node = engine_node_running();
    auto give_back = [node](void *block) {
        if (node != nullptr && block != nullptr) core_pool_free(node->pool, &block);
    };
    const EngineStreamRecord *found = nullptr;
    for (uint64_t i = 0; i < answer->count; ++i)
        if (memcmp(answer->records[i].streamName.key, record->stream.key, CORE_NAME_KEY_SIZE) == 0) {
            found = &answer->records[i];
            break;
        }
    if (found == nullptr) {
        give_back(answer);
        return CORE_ERR_NOT_FOUND;
    }
    CoreName peer, bindSequence;
    CoreResult result = engine_binder_get_peer_node(session->binderTable, &found->channel, &peer);
    if (result >= 0) result = engine_binder_get_bind_seq(session->binderTable, &found->channel, &bindSequence);
    if (result < 0) {
        give_back(answer);
        return result;
    }
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, &found->channel, &peer, nullptr, &bindSequence);
    EngineStreamTable *update = engine_stream_table_alloc(1);
    if (update == nullptr || node == nullptr) {
        give_back(update);
        give_back(answer);
        return CORE_ERR;
    }
    EngineStreamRecord &out = update->records[0];
    out.channel = found->channel;
    out.slot = found->slot;
    out.roleWord = found->roleWord;
    out.mediaFlags = found->mediaFlags;
    out.streamName = found->streamName;
    engine_props_init(&out.props);
    // The peer applies it as a frame-rate cap on the capture of that stream.
    const uint32_t rate[2] = {record->requested_rate, record->one};
    engine_props_add_video(&out.props, rate, sizeof(rate), ENGINE_PROPS_STREAM_UPDATE, 0);
    give_back(answer);
    uint64_t descLength = sizeof(desc);
    result = core_notify(&session->nodeService, ENGINE_SVC_UPDATE_STREAMS, update, engine_stream_table_size(1), &desc,
                         &descLength);
    give_back(update);
    return result;
}

uint64_t engine_events_refused_count(void) { return g_refused.load(); }
