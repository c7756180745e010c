#include "engine/binder.h"

#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/pool.h"
#include "engine/codes.h"
#include "engine/names.h"
#include "engine/node.h"

namespace {

bool key_is_empty(const CoreName &name) { return core_name_is_empty(&name); }

bool keys_equal(const CoreName &a, const CoreName &b) { return memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

uint64_t saturating_add(uint64_t a, uint64_t b)
{
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t elapsed_since(uint64_t now, uint64_t since) { return now > since ? now - since : 0; }

// 0 is the "not yet" mark of `since` and `totalsSince`, and the clock counts
// from its first use, so a report within the first millisecond still counts.
uint64_t report_time(uint64_t now) { return now == 0 ? 1 : now; }

// Kind (0 p2p, 1 p2m) and index of a binder channel name, or -1. Only the
// exact text the system makes counts: the lenient hex reader would otherwise
// give one channel several names ("p2p.bnd.0000000g.chnl" reads as 0), and
// a negative index is no channel at all.
int binder_name_kind(const CoreName *name, int32_t *index)
{
    static const char *const k_patterns[2] = {"p2p.bnd.%08X.chnl", "p2m.bnd.%08X.chnl"};
    const int32_t found[2] = {engine_p2p_binder_index(name), engine_p2m_binder_index(name)};
    for (int kind = 0; kind < 2; ++kind) {
        if (found[kind] == ENGINE_BINDER_INDEX_NONE || found[kind] < 0) continue;
        uint8_t canonical[CORE_NAME_KEY_SIZE];
        core_key_format(canonical, k_patterns[kind], static_cast<uint32_t>(found[kind]));
        if (memcmp(canonical, name->key, CORE_NAME_KEY_SIZE) != 0) continue;
        *index = found[kind];
        return kind;
    }
    return -1;
}

CoreStore *stream_name_store_create()
{
    CoreStoreConfig config{};
    config.item_size = sizeof(CoreStoreItem);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.key_count = 1;
    config.flags = CORE_STORE_TREE;
    core_name_format(&config.pool, "%s", CORE_DEFAULT_POOL);
    core_name_format(&config.executor, "%s", CORE_DEFAULT_EXECUTOR);
    return core_store_create(&config);
}

uint32_t live_count(CoreStore *store)
{
    if (store == nullptr) return 0;
    core_store_lock(store);
    uint32_t live = store->live;
    core_store_unlock(store);
    return live;
}

void reset_encoder_requests(EngineBinderChannel *channel)
{
    for (EngineEncoderRequest &request : channel->encoderRequest) {
        request.set = 0;
        request.bitrate = 0;
        request.step = ENGINE_ENCODER_STEP_DEFAULT;
    }
}

void free_stream_set(EngineBinderChannel *channel)
{
    if (channel->streamSet == nullptr) return;
    // The set is a node pool block; once the node has stopped, its pool and
    // every block in it are gone already.
    EngineNode *node = engine_node_running();
    void *block = channel->streamSet;
    if (node != nullptr) core_pool_free(node->pool, &block);
    channel->streamSet = nullptr;
}

// Resets and removes every channel. Removal gives each a fresh key, so a
// reopen right after can make channels of the same names while readers
// still hold the old ones. Table lock held.
void remove_all_channels(EngineBinderTable *table)
{
    CoreStore *store = table->channels;
    for (CoreStoreItem *item = core_store_next(store, nullptr, 1); item != nullptr;
         item = core_store_next(store, item, 1)) {
        auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
        engine_binder_channel_reset(channel);
        uint8_t key[CORE_NAME_KEY_SIZE];
        core_store_lock(store);
        memcpy(key, item->key.key, CORE_NAME_KEY_SIZE);
        core_store_unlock(store);
        core_store_remove(store, key);
    }
}

CoreResult insert_channel(EngineBinderTable *table, const CoreName *name)
{
    CoreStoreItem *item = nullptr;
    CoreResult result = core_store_insert(table->channels, name, nullptr, nullptr, &item, 1);
    if (result == CORE_OK || result == CORE_EXISTS) core_store_unref(table->channels);
    return result;
}

void close_words(EngineBinderTable *table)
{
    table->open.store(0);
    table->kind.store(ENGINE_BINDER_CLOSED);
    table->role.store(0);
    memset(&table->broadcastAudio, 0, sizeof table->broadcastAudio);
    memset(&table->broadcastVideo, 0, sizeof table->broadcastVideo);
    memset(&table->peer, 0, sizeof table->peer);
    table->totalsSince = 0;
}

void fill_audio_info(EngineChannelAudioInfo *out, const EngineBinderAudioCounters &in)
{
    out->format1 = in.format1;
    out->format2 = in.format2;
    out->securityFlags = in.securityFlags;
    out->bits = in.bits;
}

void fill_video_info(EngineChannelVideoInfo *out, const EngineBinderVideoCounters &in)
{
    out->mode1 = in.mode1;
    out->mode2 = in.mode2;
    out->securityFlags = in.securityFlags;
    out->bits = in.bits;
}

// Builds the period's reports and starts the next period. Table lock held.
// The events are posted by the caller once the lock is gone.
void collect_reports(EngineBinderTable *table, uint64_t now, std::vector<EngineChannelInfo> *channels,
                     EngineTotalInfo *totals, bool *post_totals)
{
    *post_totals = false;
    if (table->open.load() == 0) return;
    uint64_t audio_total = 0;
    uint64_t video_total = 0;
    uint64_t reported = 0;
    CoreStore *store = table->channels;
    for (CoreStoreItem *item = core_store_next(store, nullptr, 1); item != nullptr;
         item = core_store_next(store, item, 1)) {
        auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
        if (channel->state != ENGINE_CHANNEL_BOUND) continue;
        if (channel->since == 0) channel->since = report_time(now);
        EngineChannelInfo info;
        memset(&info, 0, sizeof info);
        info.role = table->role.load();
        engine_media_desc_make(&info.desc, &channel->desc.channel, &channel->desc.peerNode, &channel->desc.session,
                               &channel->desc.bindSequence);
        fill_audio_info(&info.sentAudio, channel->sentAudio);
        fill_audio_info(&info.receivedAudio, channel->receivedAudio);
        fill_video_info(&info.sentVideo, channel->sentVideo);
        fill_video_info(&info.receivedVideo, channel->receivedVideo);
        info.elapsedMs = elapsed_since(now, channel->since);
        channels->push_back(info);
        audio_total = saturating_add(audio_total, channel->sentAudio.bits);
        video_total = saturating_add(video_total, channel->sentVideo.bits);
        reported++;
        channel->sentAudio.bits = 0;
        channel->receivedAudio.bits = 0;
        channel->sentVideo.bits = 0;
        channel->receivedVideo.bits = 0;
    }
    if (table->totalsSince == 0) table->totalsSince = report_time(now);
    memset(totals, 0, sizeof *totals);
    totals->securityFlags = table->securityFlags;
    totals->broadcastAudio = table->broadcastAudio;
    totals->broadcastVideo = table->broadcastVideo;
    totals->sentAudioBits = audio_total;
    totals->sentVideoBits = video_total;
    totals->elapsedMs = elapsed_since(now, table->totalsSince);
    totals->channelCount = reported;
    *post_totals = table->kind.load() == ENGINE_BINDER_P2M;
}

}  // namespace

EngineBinderTable *engine_binder_table_create(uint32_t sendRoles, uint32_t receiveRoles, uint32_t securityFlags)
{
    auto *table = new (std::nothrow) EngineBinderTable{};
    if (table == nullptr) return nullptr;
    table->kind.store(ENGINE_BINDER_CLOSED);
    table->sendRoles = sendRoles;
    table->receiveRoles = receiveRoles;
    table->securityFlags = securityFlags;
    core_name_format(&table->executor, "%s", CORE_DEFAULT_EXECUTOR);

    CoreStoreConfig config{};
    config.item_size = sizeof(EngineBinderChannel);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.key_count = 1;
    config.create = engine_binder_channel_init;
    config.destroy = engine_binder_channel_fini;
    config.flags = CORE_STORE_TREE;
    core_name_format(&config.pool, "%s", CORE_DEFAULT_POOL);
    config.executor = table->executor;
    table->channels = core_store_create(&config);
    if (table->channels == nullptr) {
        core_log(CORE_LOG_ERROR, "binder", "channel store could not be made");
        delete table;
        return nullptr;
    }

    CoreTaskCallback callback{engine_binder_stats_task, {table, nullptr}};
    table->statsTask =
        core_executor_schedule(&table->executor, nullptr, nullptr, ENGINE_BINDER_STATS_PERIOD_MS, &callback);
    if (table->statsTask == 0) {
        core_log(CORE_LOG_ERROR, "binder", "statistics task could not be scheduled");
        core_store_destroy(&table->channels);
        delete table;
        return nullptr;
    }
    return table;
}

void engine_binder_table_destroy(EngineBinderTable **ptable)
{
    if (ptable == nullptr || *ptable == nullptr) return;
    EngineBinderTable *table = *ptable;
    if (table->statsTask != 0) {
        core_executor_cancel_named(&table->executor, table->statsTask, 1);
        table->statsTask = 0;
    }
    core_store_destroy(&table->channels);
    delete table;
    *ptable = nullptr;
}

CoreResult engine_binder_set_channel_counts(EngineBinderTable *table, uint32_t p2pCount, uint32_t p2mCount)
{
    if (table == nullptr) return CORE_ERR;
    if (p2pCount > ENGINE_BINDER_CHANNELS_MAX || p2mCount > ENGINE_BINDER_CHANNELS_MAX) return CORE_ERR_INVALID;
    CoreLockGuard guard(&table->lock);
    if (table->open.load() != 0) return CORE_ERR_STATE;
    table->channelCount[ENGINE_BINDER_P2P] = p2pCount;
    table->channelCount[ENGINE_BINDER_P2M] = p2mCount;
    return CORE_OK;
}

CoreResult engine_binder_open(EngineBinderTable *table, int32_t kind, uint32_t role, const EngineMediaDesc *desc,
                              const EngineAudioFormat *audio, const CoreVideoMode *video)
{
    if (table == nullptr) return CORE_ERR;
    // Only the two kinds index the count array.
    if (kind != ENGINE_BINDER_P2P && kind != ENGINE_BINDER_P2M) return CORE_ERR_INVALID;
    if (kind == ENGINE_BINDER_P2P && desc == nullptr) return CORE_ERR_INVALID;

    CoreLockGuard guard(&table->lock);
    if (desc != nullptr) {
        int32_t index = 0;
        int name_kind = binder_name_kind(&desc->channel, &index);
        if (name_kind < 0) return CORE_ERR_INVALID;
        // A channel of the table's own kind must be one the table holds; a
        // viewer's p2p table carries the broadcaster's p2m channel name,
        // whose number only the broadcaster can check.
        if (name_kind == kind && static_cast<uint32_t>(index) >= table->channelCount[kind]) return CORE_ERR_INVALID;
        if (kind == ENGINE_BINDER_P2P && (key_is_empty(desc->peerNode) || audio != nullptr || video != nullptr))
            return CORE_ERR_INVALID;
    }

    if (table->open.load() != 0) {
        if (kind != ENGINE_BINDER_P2P) return CORE_DONE;
        return keys_equal(table->peer, desc->peerNode) ? CORE_DONE : CORE_ERR_BUSY;
    }

    CoreResult result = CORE_OK;
    if (kind == ENGINE_BINDER_P2M) {
        for (uint32_t i = 0; i < table->channelCount[kind] && result == CORE_OK; ++i) {
            CoreName name;
            core_name_format(&name, "p2m.bnd.%08X.chnl", i);
            result = insert_channel(table, &name);
        }
    } else if (table->channelCount[kind] > 0) {
        // A connection uses one channel, however many the count allows.
        result = insert_channel(table, &desc->channel);
    }
    if (result != CORE_OK) {
        core_log(CORE_LOG_WARN, "binder", "channel insert failed (%d); table stays closed", result);
        remove_all_channels(table);
        return CORE_ERR;
    }

    if (kind == ENGINE_BINDER_P2P) table->peer = desc->peerNode;
    if (audio != nullptr) table->broadcastAudio = *audio;
    if (video != nullptr) table->broadcastVideo = *video;
    table->role.store(role);
    table->kind.store(kind);
    table->open.store(1);
    return CORE_OK;
}

CoreResult engine_binder_close_all(EngineBinderTable *table)
{
    if (table == nullptr) return CORE_DONE;
    CoreLockGuard guard(&table->lock);
    remove_all_channels(table);
    if (table->open.load() == 0) return CORE_DONE;
    close_words(table);
    return CORE_OK;
}

CoreResult engine_binder_foreach_bound(EngineBinderTable *table, EngineBinderChannelFn fn, void *user)
{
    if (table == nullptr || fn == nullptr) return CORE_OK;
    CoreStore *store = table->channels;
    for (CoreStoreItem *item = core_store_next(store, nullptr, 1); item != nullptr;
         item = core_store_next(store, item, 1)) {
        auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
        CoreName name;
        CoreName session;
        bool bound;
        {
            CoreLockGuard guard(&table->lock);
            core_store_lock(store);
            bool deleted = (item->state & CORE_ITEM_DELETED) != 0;
            name = item->key;
            core_store_unlock(store);
            bound = !deleted &&
                    (channel->state == ENGINE_CHANNEL_BOUND || channel->state == ENGINE_CHANNEL_CLOSING);
            session = channel->desc.session;
        }
        // The callback runs without the table's lock: it may well call back
        // into the table or post to a topic.
        if (bound && fn(&name, &session, user) != 0) {
            core_store_unref(store);
            return CORE_ERR;
        }
    }
    return CORE_OK;
}

namespace {

enum class DescName { Peer, Session, BindSequence };

CoreResult copy_desc_name(EngineBinderTable *table, const CoreName *channel, CoreName *out, DescName which)
{
    if (out != nullptr) memset(out, 0, sizeof *out);
    if (channel == nullptr || out == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, channel->key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    switch (which) {
    case DescName::Peer: *out = c->desc.peerNode; break;
    case DescName::Session: *out = c->desc.session; break;
    case DescName::BindSequence: *out = c->desc.bindSequence; break;
    }
    return CORE_OK;
}

}  // namespace

CoreResult engine_binder_get_peer_node(EngineBinderTable *table, const CoreName *channel, CoreName *out)
{
    return copy_desc_name(table, channel, out, DescName::Peer);
}

CoreResult engine_binder_get_session_id(EngineBinderTable *table, const CoreName *channel, CoreName *out)
{
    return copy_desc_name(table, channel, out, DescName::Session);
}

CoreResult engine_binder_get_bind_seq(EngineBinderTable *table, const CoreName *channel, CoreName *out)
{
    return copy_desc_name(table, channel, out, DescName::BindSequence);
}

bool engine_binder_has_session(EngineBinderTable *table, const CoreName *channel,
                               const uint8_t id[CORE_NAME_KEY_SIZE])
{
    if (channel == nullptr || id == nullptr) return false;
    // An all-zero id names no session; a channel without one does not
    // "carry" it.
    static const uint8_t k_zero[CORE_NAME_KEY_SIZE] = {};
    if (memcmp(id, k_zero, CORE_NAME_KEY_SIZE) == 0) return false;
    EngineBinderChannelAccess access(table, channel->key);
    EngineBinderChannel *c = access.get();
    return c != nullptr && memcmp(c->desc.session.key, id, CORE_NAME_KEY_SIZE) == 0;
}

bool engine_binder_desc_matches(const EngineBinderChannel *channel, const EngineMediaDesc *desc)
{
    if (channel == nullptr || desc == nullptr) return false;
    const CoreName *pairs[3][2] = {{&desc->session, &channel->desc.session},
                                   {&desc->peerNode, &channel->desc.peerNode},
                                   {&desc->bindSequence, &channel->desc.bindSequence}};
    bool compared = false;
    for (const auto &pair : pairs) {
        if (key_is_empty(*pair[0]) || key_is_empty(*pair[1])) continue;
        if (!keys_equal(*pair[0], *pair[1])) return false;
        compared = true;
    }
    return compared;
}

bool engine_binder_matches(EngineBinderTable *table, const EngineMediaDesc *desc)
{
    if (desc == nullptr) return false;
    EngineBinderChannelAccess access(table, desc->channel.key);
    return engine_binder_desc_matches(access.get(), desc);
}

bool engine_binder_is_usable(EngineBinderTable *table, const CoreName *channel)
{
    if (channel == nullptr) return true;
    EngineBinderChannelAccess access(table, channel->key);
    EngineBinderChannel *c = access.get();
    return c == nullptr || c->state != ENGINE_CHANNEL_CLOSING;
}

CoreResult engine_binder_begin(EngineBinderTable *table, const EngineMediaDesc *desc)
{
    if (table == nullptr || desc == nullptr) return CORE_ERR;
    // Held across the check and the transition, so that a close cannot
    // come between them.
    CoreLockGuard guard(&table->lock);
    if (table->open.load() == 0) return CORE_ERR_STATE;
    EngineBinderChannelAccess access(table, desc->channel.key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    switch (c->state) {
    case ENGINE_CHANNEL_IDLE:
        break;
    case ENGINE_CHANNEL_CONNECTING:
        if (key_is_empty(c->desc.peerNode)) break;
        if (key_is_empty(desc->peerNode) || keys_equal(c->desc.peerNode, desc->peerNode)) return CORE_EXISTS;
        return CORE_ERR_BUSY;
    default:
        return CORE_ERR_BUSY;
    }
    c->state = ENGINE_CHANNEL_CONNECTING;
    engine_media_desc_make(&c->desc, &desc->channel, &desc->peerNode, &desc->session, &desc->bindSequence);
    return CORE_OK;
}

CoreResult engine_binder_set_bound(EngineBinderTable *table, const char *sourceName, const EngineMediaDesc *desc)
{
    if (table == nullptr || desc == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, desc->channel.key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    if (c->state == ENGINE_CHANNEL_BOUND) return CORE_DONE;
    if (c->state != ENGINE_CHANNEL_CONNECTING || !engine_binder_desc_matches(c, desc)) return CORE_ERR;
    if (key_is_empty(c->desc.session)) c->desc.session = desc->session;
    if (sourceName != nullptr) {
        // A source name that came from a peer may lack its terminator.
        memset(c->sourceName, 0, sizeof c->sourceName);
        memcpy(c->sourceName, sourceName, strnlen(sourceName, ENGINE_SOURCE_NAME_SIZE - 1));
    }
    reset_encoder_requests(c);
    c->state = ENGINE_CHANNEL_BOUND;
    return CORE_OK;
}

CoreResult engine_binder_set_closing(EngineBinderTable *table, const EngineMediaDesc *desc)
{
    if (table == nullptr || desc == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, desc->channel.key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    if (c->state != ENGINE_CHANNEL_CONNECTING && c->state != ENGINE_CHANNEL_BOUND) return CORE_DONE;
    if (!engine_binder_desc_matches(c, desc)) return CORE_DONE;
    c->state = ENGINE_CHANNEL_CLOSING;
    return CORE_OK;
}

CoreResult engine_binder_release(EngineBinderTable *table, const EngineMediaDesc *desc)
{
    if (table == nullptr || desc == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, desc->channel.key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    if (!engine_binder_desc_matches(c, desc)) return CORE_DONE;
    return engine_binder_channel_reset(c);
}

uint32_t engine_binder_send_count(EngineBinderTable *table, const CoreName *channel)
{
    if (channel == nullptr) return 0;
    EngineBinderChannelAccess access(table, channel->key);
    return access.get() != nullptr ? live_count(access.get()->sendStreams) : 0;
}

uint32_t engine_binder_receive_count(EngineBinderTable *table, const CoreName *channel)
{
    if (channel == nullptr) return 0;
    EngineBinderChannelAccess access(table, channel->key);
    return access.get() != nullptr ? live_count(access.get()->receiveStreams) : 0;
}

CoreResult engine_binder_add_bits(EngineBinderTable *table, const CoreName *channel, const CoreName *session,
                                  uint32_t block, uint64_t bits)
{
    if (block > ENGINE_BINDER_RECEIVED_VIDEO) return CORE_ERR_INVALID;
    if (channel == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, channel->key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    if (session != nullptr && (key_is_empty(*session) || !keys_equal(c->desc.session, *session))) return CORE_DONE;
    uint64_t *counter = nullptr;
    switch (block) {
    case ENGINE_BINDER_SENT_AUDIO: counter = &c->sentAudio.bits; break;
    case ENGINE_BINDER_RECEIVED_AUDIO: counter = &c->receivedAudio.bits; break;
    case ENGINE_BINDER_SENT_VIDEO: counter = &c->sentVideo.bits; break;
    default: counter = &c->receivedVideo.bits; break;
    }
    *counter = saturating_add(*counter, bits);
    return CORE_OK;
}

CoreResult engine_binder_set_security(EngineBinderTable *table, const CoreName *channel, uint32_t block,
                                      uint32_t flags)
{
    if (block > ENGINE_BINDER_RECEIVED_VIDEO) return CORE_ERR_INVALID;
    if (channel == nullptr) return CORE_ERR;
    EngineBinderChannelAccess access(table, channel->key);
    EngineBinderChannel *c = access.get();
    if (c == nullptr) return CORE_ERR;
    switch (block) {
    case ENGINE_BINDER_SENT_AUDIO: c->sentAudio.securityFlags = flags; break;
    case ENGINE_BINDER_RECEIVED_AUDIO: c->receivedAudio.securityFlags = flags; break;
    case ENGINE_BINDER_SENT_VIDEO: c->sentVideo.securityFlags = flags; break;
    default: c->receivedVideo.securityFlags = flags; break;
    }
    return CORE_OK;
}

int engine_binder_channel_init(CoreStore *, CoreStoreItem *item, void *, void **)
{
    auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
    channel->state = ENGINE_CHANNEL_IDLE;
    reset_encoder_requests(channel);
    channel->sendStreams = stream_name_store_create();
    channel->receiveStreams = stream_name_store_create();
    // A refused insert calls fini, which takes whichever store was made.
    return channel->sendStreams != nullptr && channel->receiveStreams != nullptr ? 0 : -1;
}

void engine_binder_channel_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *channel = reinterpret_cast<EngineBinderChannel *>(item);
    core_store_destroy(&channel->sendStreams);
    core_store_destroy(&channel->receiveStreams);
    free_stream_set(channel);
}

CoreResult engine_binder_channel_reset(EngineBinderChannel *channel)
{
    if (channel == nullptr) return CORE_ERR;
    if (channel->state == ENGINE_CHANNEL_IDLE) return CORE_DONE;
    channel->state = ENGINE_CHANNEL_IDLE;
    channel->since = 0;
    memset(&channel->sentAudio, 0, sizeof channel->sentAudio);
    memset(&channel->receivedAudio, 0, sizeof channel->receivedAudio);
    memset(&channel->sentVideo, 0, sizeof channel->sentVideo);
    memset(&channel->receivedVideo, 0, sizeof channel->receivedVideo);
    memset(&channel->desc, 0, sizeof channel->desc);
    free_stream_set(channel);
    return CORE_OK;
}

int engine_binder_stats_task(const CoreName *executor, uint64_t task_id, const CoreName *, const CoreName *,
                             void **user)
{
    auto *table = static_cast<EngineBinderTable *>(user[0]);
    if (table != nullptr) {
        uint64_t now = core_clock_mono_ns() / 1000000;
        std::vector<EngineChannelInfo> reports;
        EngineTotalInfo totals;
        bool post_totals = false;
        {
            CoreLockGuard guard(&table->lock);
            reports.reserve(ENGINE_BINDER_CHANNELS_MAX);
            collect_reports(table, now, &reports, &totals, &post_totals);
        }
        // The counters are zeroed whether or not a node runs to hear them.
        for (const EngineChannelInfo &info : reports)
            engine_post_event(ENGINE_EVT_CHANNEL_INFO, &info, sizeof info);
        if (post_totals) engine_post_event(ENGINE_EVT_TOTAL_INFO, &totals, sizeof totals);
    }
    core_executor_trigger(executor, task_id, ENGINE_BINDER_STATS_PERIOD_MS);
    return CORE_OK;
}
