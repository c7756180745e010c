// The binder table: the engine session's record of its binder channels, the
// named slots through which this node is bound to a peer.
//
// A point-to-point table (ENGINE_BINDER_P2P) holds the one channel a
// connection uses, named by the caller; a broadcast table (ENGINE_BINDER_P2M)
// holds the channels "p2m.bnd.%08X.chnl" 0 to N-1, one per viewer. Each
// channel carries its state (idle, connecting, bound, closing), the four
// names of its binding, the sets of its running send and receive streams and
// the bit counters of the current one-second period, which the table's
// statistics task reports as ENGINE_EVT_CHANNEL_INFO (and, for a broadcast,
// ENGINE_EVT_TOTAL_INFO) every 1000 ms on CORE_DEFAULT_EXECUTOR.
//
// Threads: the command and event topic consumers, the control service
// handler and the statistics task all call in. Channels live in a keyed
// store and are used under a reader reference, so a channel removed by
// another thread stays valid until the user lets go. Every word of the table
// and of its channels is read and written under the table's `lock` (taken
// before the store's lock, never after it); `open`, `kind` and `role` may
// also be read without it. Code outside this module that touches a channel's
// fields (formats, modes, encoder requests, the stored stream set) takes the
// lock too. Stream names go into `sendStreams` / `receiveStreams` with the
// store's own insert and remove.
//
// Results are CoreResult codes (0 done, 1 nothing changed, 2 already in
// progress, -79 busy, -91 bad argument, -92 wrong state, -100 missing or
// failed) as each function says.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "core/sync.h"
#include "core/video.h"
#include "engine/props.h"
#include "engine/records.h"

// Values of the table's `kind`.
enum : int32_t {
    ENGINE_BINDER_CLOSED = -1,
    ENGINE_BINDER_P2P = 0,
    ENGINE_BINDER_P2M = 1,
};

// Values of a channel's `state`.
enum : uint32_t {
    ENGINE_CHANNEL_IDLE = 0,
    ENGINE_CHANNEL_CONNECTING = 1,
    ENGINE_CHANNEL_BOUND = 2,
    ENGINE_CHANNEL_CLOSING = 3,
};

// The four counter blocks of a channel, for engine_binder_add_bits and
// engine_binder_set_security.
enum : uint32_t {
    ENGINE_BINDER_SENT_AUDIO = 0,
    ENGINE_BINDER_RECEIVED_AUDIO = 1,
    ENGINE_BINDER_SENT_VIDEO = 2,
    ENGINE_BINDER_RECEIVED_VIDEO = 3,
};

// Most channels of either kind: a broadcast has 4, 8, 16 or 32, a
// connection one. A larger count read from a configuration would otherwise
// make an open insert that many channels.
#define ENGINE_BINDER_CHANNELS_MAX 32u

#define ENGINE_BINDER_STATS_PERIOD_MS 1000
#define ENGINE_ENCODER_STEP_DEFAULT 4u
#define ENGINE_STREAM_KINDS 3

struct EngineBinderAudioCounters {
    uint64_t bits;  // bits of the current period
    uint32_t securityFlags;
    EngineAudioFormat format1;
    EngineAudioFormat format2;
};

struct EngineBinderVideoCounters {
    uint64_t bits;
    uint32_t securityFlags;
    CoreVideoMode mode1;
    CoreVideoMode mode2;
};

// What a broadcast viewer asked of the encoders of one stream kind.
struct EngineEncoderRequest {
    uint32_t set;
    uint64_t bitrate;
    uint32_t step;
};

// Store item; the key (in the header) is the channel name.
struct EngineBinderChannel {
    CoreStoreItem header;
    uint32_t state;              // ENGINE_CHANNEL_*
    CoreStore *sendStreams;      // names of the running send streams
    CoreStore *receiveStreams;   // names of the running receive streams
    char sourceName[ENGINE_SOURCE_NAME_SIZE];
    EngineMediaDesc desc;        // channel, peer node, session, bind sequence of the binding
    uint64_t since;              // monotonic ms of the first report; 0 none yet
    EngineBinderAudioCounters sentAudio;
    EngineBinderAudioCounters receivedAudio;
    EngineBinderVideoCounters sentVideo;
    EngineBinderVideoCounters receivedVideo;
    EngineStreamSet *streamSet;  // stored remote offer (node pool block) or NULL
    EngineEncoderRequest encoderRequest[ENGINE_STREAM_KINDS];
};

struct EngineBinderTable {
    std::atomic<uint32_t> open;  // 1 between a successful open and close_all
    std::atomic<int32_t> kind;   // ENGINE_BINDER_*; ENGINE_BINDER_CLOSED while closed
    uint64_t statsTask;
    std::atomic<uint32_t> role;  // ENGINE_BIND_KIND_REQUESTER or ENGINE_BIND_KIND_ANSWERER
    EngineAudioFormat broadcastAudio;
    CoreVideoMode broadcastVideo;
    CoreName peer;         // peer node of a p2p table
    uint64_t totalsSince;  // monotonic ms of the first totals report; 0 none yet
    CoreStore *channels;
    CoreName executor;     // CORE_DEFAULT_EXECUTOR
    uint32_t sendRoles;    // flag 0x1 when this node requested, 0x2 when it accepted
    uint32_t receiveRoles;
    uint32_t securityFlags;    // bit 0 AES-128, bit 1 AES-256
    uint32_t channelCount[2];  // per kind; changed only while closed
    CoreLock lock;
};

// Data of ENGINE_EVT_CHANNEL_INFO: one bound channel's period.
struct EngineChannelAudioInfo {
    EngineAudioFormat format1;
    EngineAudioFormat format2;
    uint32_t securityFlags;
    uint32_t reserved;  // zero
    uint64_t bits;
};
static_assert(sizeof(EngineChannelAudioInfo) == 40 && offsetof(EngineChannelAudioInfo, securityFlags) == 24 &&
                  offsetof(EngineChannelAudioInfo, bits) == 32,
              "audio block of the channel info");

struct EngineChannelVideoInfo {
    CoreVideoMode mode1;
    CoreVideoMode mode2;
    uint32_t securityFlags;
    uint32_t reserved;  // zero
    uint64_t bits;
};
static_assert(sizeof(EngineChannelVideoInfo) == 48 && offsetof(EngineChannelVideoInfo, securityFlags) == 32 &&
                  offsetof(EngineChannelVideoInfo, bits) == 40,
              "video block of the channel info");

struct EngineChannelInfo {
    uint32_t role;
    EngineMediaDesc desc;
    uint32_t reserved;  // zero
    EngineChannelAudioInfo sentAudio;
    EngineChannelAudioInfo receivedAudio;
    EngineChannelVideoInfo sentVideo;
    EngineChannelVideoInfo receivedVideo;
    uint64_t elapsedMs;  // since the channel's first report
};
static_assert(sizeof(EngineChannelInfo) == 736, "channel info travels as 736 raw bytes");
static_assert(offsetof(EngineChannelInfo, desc) == 4 && offsetof(EngineChannelInfo, sentAudio) == 552 &&
                  offsetof(EngineChannelInfo, receivedAudio) == 592 &&
                  offsetof(EngineChannelInfo, sentVideo) == 632 &&
                  offsetof(EngineChannelInfo, receivedVideo) == 680 && offsetof(EngineChannelInfo, elapsedMs) == 728,
              "channel info field offsets");

// Data of ENGINE_EVT_TOTAL_INFO: a broadcast's period over all bound channels.
struct EngineTotalInfo {
    uint32_t securityFlags;
    EngineAudioFormat broadcastAudio;
    CoreVideoMode broadcastVideo;
    uint64_t sentAudioBits;
    uint64_t sentVideoBits;
    uint64_t elapsedMs;     // since the first totals report
    uint64_t channelCount;  // channels reported in this period
};
static_assert(sizeof(EngineTotalInfo) == 64, "total info travels as 64 raw bytes");
static_assert(offsetof(EngineTotalInfo, broadcastAudio) == 4 && offsetof(EngineTotalInfo, broadcastVideo) == 16 &&
                  offsetof(EngineTotalInfo, sentAudioBits) == 32 && offsetof(EngineTotalInfo, elapsedMs) == 48 &&
                  offsetof(EngineTotalInfo, channelCount) == 56,
              "total info field offsets");

// Called for each bound or closing channel with its name, its session id
// and the user pointer; non-zero stops the walk.
typedef int (*EngineBinderChannelFn)(const CoreName *channel, const CoreName *session, void *user);

// A closed table with its channel store (CORE_DEFAULT_POOL, reclaimed on
// CORE_DEFAULT_EXECUTOR) and its statistics task, first run 1000 ms ahead.
// NULL when the store or the task cannot be made.
EngineBinderTable *engine_binder_table_create(uint32_t sendRoles, uint32_t receiveRoles, uint32_t securityFlags);

// Cancels the statistics task (waiting for a running call), destroys the
// channel store (waiting for readers), frees the table, nulls *table.
void engine_binder_table_destroy(EngineBinderTable **table);

// Sets the channel count of each kind. 0; -92 while the table is open; -91
// for a count above ENGINE_BINDER_CHANNELS_MAX.
CoreResult engine_binder_set_channel_counts(EngineBinderTable *table, uint32_t p2pCount, uint32_t p2mCount);

// Opens the table. P2P needs desc with a peer node id and a channel of its
// own kind numbered below the p2p count (a "p2m" channel name of a viewer is
// taken as it is), and no audio format or video mode; it holds that one
// channel. P2M makes its channels 0 to count-1; a desc's channel of its own
// kind must be one of them. 0 opened; 1 already open (p2m, or p2p for the
// same peer); -79 p2p table open for another peer; -91 bad argument; -100 a
// channel could not be made (the table stays closed).
CoreResult engine_binder_open(EngineBinderTable *table, int32_t kind, uint32_t role, const EngineMediaDesc *desc,
                              const EngineAudioFormat *audio, const CoreVideoMode *video);

// Resets every channel that is not idle, removes them all (their names are
// free at once) and closes the table. 0 closed; 1 was not open.
CoreResult engine_binder_close_all(EngineBinderTable *table);

// Calls fn for every bound or closing channel in name order. 0; -100 when
// fn returned non-zero (the walk stops there).
CoreResult engine_binder_foreach_bound(EngineBinderTable *table, EngineBinderChannelFn fn, void *user);

// Copy the channel's peer node id, session id or bind sequence id into out
// (zeroed first). 0, or -100 when the channel is missing.
CoreResult engine_binder_get_peer_node(EngineBinderTable *table, const CoreName *channel, CoreName *out);
CoreResult engine_binder_get_session_id(EngineBinderTable *table, const CoreName *channel, CoreName *out);
CoreResult engine_binder_get_bind_seq(EngineBinderTable *table, const CoreName *channel, CoreName *out);

// True when the channel exists and its session id is the non-empty `id`.
bool engine_binder_has_session(EngineBinderTable *table, const CoreName *channel,
                               const uint8_t id[CORE_NAME_KEY_SIZE]);

// Compares session id, peer node id and bind sequence id, each only when
// both sides have one; true when at least one pair was compared and all
// compared pairs are equal. The caller holds the table's lock.
bool engine_binder_desc_matches(const EngineBinderChannel *channel, const EngineMediaDesc *desc);

// engine_binder_desc_matches on the channel desc names; false when missing.
bool engine_binder_matches(EngineBinderTable *table, const EngineMediaDesc *desc);

// False only when the channel exists and is closing.
bool engine_binder_is_usable(EngineBinderTable *table, const CoreName *channel);

// Idle -> connecting, recording desc's names. 0 started (or connecting
// with no peer yet, names recorded); 2 the same binding is connecting;
// -79 connecting for another peer, bound or closing; -92 table not open;
// -100 channel missing.
CoreResult engine_binder_begin(EngineBinderTable *table, const EngineMediaDesc *desc);

// Connecting -> bound when desc matches; takes the session id when none was
// stored, copies sourceName (a text, cut to 255 characters; NULL keeps it)
// and resets the encoder requests. 0 bound now; 1 already bound; -100
// otherwise.
CoreResult engine_binder_set_bound(EngineBinderTable *table, const char *sourceName, const EngineMediaDesc *desc);

// Connecting or bound -> closing when desc matches. 0 changed; 1 not
// changed; -100 channel missing.
CoreResult engine_binder_set_closing(EngineBinderTable *table, const EngineMediaDesc *desc);

// Back to idle when desc matches (engine_binder_channel_reset). 0 reset; 1
// idle already or desc does not match; -100 channel missing.
CoreResult engine_binder_release(EngineBinderTable *table, const EngineMediaDesc *desc);

// Live number of the channel's send / receive stream names; 0 when missing.
uint32_t engine_binder_send_count(EngineBinderTable *table, const CoreName *channel);
uint32_t engine_binder_receive_count(EngineBinderTable *table, const CoreName *channel);

// Adds bits to one counter block (ENGINE_BINDER_SENT_AUDIO ...) of the
// channel for the current period; the counter stops at its maximum rather
// than wrap. With a session, only a channel carrying that session counts
// them. 0 added; 1 another session; -91 unknown block; -100 missing.
CoreResult engine_binder_add_bits(EngineBinderTable *table, const CoreName *channel, const CoreName *session,
                                  uint32_t block, uint64_t bits);

// Stores the security word of one counter block. 0; -91 unknown block;
// -100 missing.
CoreResult engine_binder_set_security(EngineBinderTable *table, const CoreName *channel, uint32_t block,
                                      uint32_t flags);

// Store callbacks of the channel store: init makes the two stream-name
// stores (-1 when either cannot be made); fini destroys them and gives the
// stored stream set back to the node pool.
int engine_binder_channel_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_binder_channel_fini(CoreStore *store, CoreStoreItem *item, void **user);

// Back to idle: zeroes the counters, security words, formats, modes,
// `since` and desc and frees the stored stream set; stream sets, source name
// and encoder requests stay. 0, or 1 for an idle channel (untouched). The
// caller holds the table's lock.
CoreResult engine_binder_channel_reset(EngineBinderChannel *channel);

// The statistics task (user[0] = the table): reports every bound channel's
// period and zeroes its counters; a broadcast also reports its totals.
// Re-arms itself for 1000 ms. CORE_OK.
int engine_binder_stats_task(const CoreName *executor, uint64_t task_id, const CoreName *name1,
                             const CoreName *name2, void **user);

// A channel found by name with a reader reference, used under the table's
// lock. A channel that a close removed between the lookup and the lock is
// treated as missing: its state must not move on after the reset.
class EngineBinderChannelAccess {
public:
    EngineBinderChannelAccess(EngineBinderTable *table, const uint8_t key[CORE_NAME_KEY_SIZE]) : table_(table)
    {
        if (table_ == nullptr || table_->channels == nullptr || key == nullptr) return;
        CoreStoreItem *item = core_store_lookup(table_->channels, key);
        if (item == nullptr) return;
        referenced_ = true;
        core_lock(&table_->lock);
        locked_ = true;
        core_store_lock(table_->channels);
        bool deleted = (item->state & CORE_ITEM_DELETED) != 0;
        core_store_unlock(table_->channels);
        if (!deleted) channel_ = reinterpret_cast<EngineBinderChannel *>(item);
    }
    ~EngineBinderChannelAccess()
    {
        if (locked_) core_unlock(&table_->lock);
        if (referenced_) core_store_unref(table_->channels);
    }
    EngineBinderChannelAccess(const EngineBinderChannelAccess &) = delete;
    EngineBinderChannelAccess &operator=(const EngineBinderChannelAccess &) = delete;

    EngineBinderChannel *get() const { return channel_; }

private:
    EngineBinderTable *table_;
    EngineBinderChannel *channel_ = nullptr;
    bool referenced_ = false;
    bool locked_ = false;
};
