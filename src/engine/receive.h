// The receive service: the viewer half of the media path.
//
// It answers the peers' requests to open media streams towards this node,
// keeps one entry per established peer session and, inside it, one entry
// per open media stream with its receiver (engine/peer_streams.h). The
// frame messages arriving on a stream are parsed with every length
// checked, put back into sequence order and handed on, one in-order chain
// of RavkSample frames at a time, to the control service with
// ENGINE_CTL_PUSH_FRAMES; the display controller copies what it needs
// before the push returns, and the frames are freed right after. The
// service reports every stream it opens and closes, and every 200 ms the
// bits each stream received, on ENGINE_EVENT_TOPIC.
//
// This header also fixes the frame message's entry layout, the wire form
// of the sample flags, and the EngineFrameBatch record that names a chain
// of frames for the control service and the node service; the send
// service writes what the receive service reads.
//
// Threads: the session, stream-state and stream-request callbacks run on
// the network library's threads; the data callback, the pushes and the
// statistics tasks on ENGINE_RECEIVE_EXECUTOR; the command subscriber on
// the command topic's consumer. Store entries are used under reader
// references, so none is reclaimed under its user; a stream's reorder tree
// belongs to its data callback (one record at a time) and to its fini.
// Create returns the service or NULL; the callbacks return what the
// network library, the receiver or the topic expect; the rest CoreResult
// codes as stated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "core/tree.h"
#include "ravelkit/bus.h"

struct CorePool;
struct CoreQueueEntry;
struct FlowmeshStreamAnswer;

// The engine session's control service (also named where the session
// itself is built; both spell the same key).
#ifndef ENGINE_CONTROL_SERVICE
#define ENGINE_CONTROL_SERVICE "0781A815A943C8CE7A6629B17DF54062"
#endif

#define ENGINE_RECEIVE_EXECUTOR "5B1C7A0E93D24F68A1E0C47B2D9F3E15"
#define ENGINE_RECEIVE_POOL "C2E48F1A6B3D4075925E1D8A47F0B6C3"

// Entries of one frame message, at most.
#define ENGINE_FRAME_ENTRIES_MAX 96
// An entry's fixed part before its data: three u32, four u64, a 32-byte key.
#define ENGINE_FRAME_ENTRY_HEAD 76u
// A missing frame is waited for only while fewer frames than this queue
// behind it; then the gap is given up.
#define ENGINE_REORDER_SKIP_THRESHOLD 8u
#define ENGINE_RECEIVE_STATS_PERIOD_MS 200

// Bits of an entry's frameFlags on the wire. Wire bits 1 and 2 are the
// sample's flag bits 2 and 1; bits 0, 3, 4 and 5 are the same on both
// sides; a tag 1..4 travels as ENGINE_FRAME_TAGGED with tag - 1 in bits
// 28-29.
enum : uint32_t {
    ENGINE_FRAME_DISCONT = 0x1,
    ENGINE_FRAME_CARRIED = 0x2,
    ENGINE_FRAME_KEY = 0x4,
    ENGINE_FRAME_PTS = 0x8,
    ENGINE_FRAME_TAGGED = 0x80,
};
#define ENGINE_FRAME_TAG_SHIFT 28

// EngineReceiveSession.flags
enum : uint32_t {
    ENGINE_RECEIVE_ARMED = 0x1,  // media from this peer is expected for the stored binding
};

// `media` of EngineFrameBatch.
enum : uint32_t {
    ENGINE_FRAME_MEDIA_AUDIO = 0,
    ENGINE_FRAME_MEDIA_VIDEO = 1,
};

// Names a chain of frames: for ENGINE_CTL_PUSH_FRAMES (the receiving side)
// and ENGINE_SVC_SEND_FRAMES (the sending side). Raw bytes, 412 of them.
struct EngineFrameBatch {
    uint32_t media;    // ENGINE_FRAME_MEDIA_*
    CoreName channel;  // binder channel of the sender
    CoreName session;  // network session
    CoreName stream;   // network stream
};
static_assert(sizeof(EngineFrameBatch) == 412, "frame batch travels as 412 raw bytes");
static_assert(offsetof(EngineFrameBatch, channel) == 4 && offsetof(EngineFrameBatch, session) == 140 &&
                  offsetof(EngineFrameBatch, stream) == 276,
              "frame batch field offsets");

// Data of ENGINE_CMD_RECEIVE_OPEN and ENGINE_CMD_RECEIVE_CLOSE.
struct EngineReceiveRecord {
    CoreName channel;
    CoreName peerNode;
    CoreName bindSequence;
};
static_assert(sizeof(EngineReceiveRecord) == 408, "receive record travels as 408 raw bytes");

// ENGINE_EVT_RECEIVE_STATS.
struct EngineReceiveStatsEvent {
    CoreName channel;
    CoreName session;
    CoreName stream;
    uint64_t bits;  // received in the last period
};
static_assert(sizeof(EngineReceiveStatsEvent) == 416 && offsetof(EngineReceiveStatsEvent, bits) == 408,
              "receive statistics event is 416 bytes");

// ENGINE_EVT_RECEIVE_STREAM_OPENED and ENGINE_EVT_RECEIVE_STREAM_CLOSED.
struct EngineReceiveStreamEvent {
    CoreName channel;
    CoreName peerNode;
    CoreName session;
    CoreName stream;
    uint32_t value;  // the u32 the stream-state event carried with the open
};
static_assert(sizeof(EngineReceiveStreamEvent) == 548 && offsetof(EngineReceiveStreamEvent, value) == 544,
              "receive stream event is 548 bytes");

// One entry of a received frame message as the TLV reader hands it over:
// the values of the entry's items joined, integers in host order. Read
// with engine_frame_entry_read, never by casting.
struct EngineFrameEntry {
    uint32_t recordLength;  // ENGINE_FRAME_ENTRY_HEAD + data size
    uint32_t formatWord;    // 1; not checked
    uint32_t frameFlags;    // wire form, ENGINE_FRAME_*
    uint64_t sequence;
    int64_t pts;       // ns, -1 unknown
    int64_t dts;       // ns, -1 unknown
    int64_t duration;  // ns, -1 unknown
    uint8_t channelKey[CORE_NAME_KEY_SIZE];
    const uint8_t *data;  // inside the record
    uint64_t size;
};

// A reassembled frame waiting in a stream's reorder tree; the tree owns it
// until it is delivered or discarded. Its data is a block of its own.
struct EngineReceivedFrame {
    uint64_t sequence;  // the tree key
    CoreTreeNode link;
    RavkSample sample;
};

struct EngineReceiveService {
    uint32_t audioSinkParam;
    uint32_t videoSinkParam;
    CoreName controlService;
    CoreName commandTopic;
    CoreName executorName;
    CoreName poolName;
    CorePool *pool;      // reassembly and reader buffers
    CoreStore *sessions;  // EngineReceiveSession items
    uint64_t requestToken;
    uint64_t sessionToken;
    uint64_t stateToken;
    uint64_t commandSubscription;
    std::atomic<uint64_t> malformedMessages;  // frame messages dropped as unreadable
    bool executorMade;
    bool poolRegistered;
};

// Entry of `sessions`, keyed by the network session's name. flags,
// binderChannel and bindSequenceId change under the sessions store's lock.
struct EngineReceiveSession {
    CoreStoreItem header;
    uint32_t flags;  // ENGINE_RECEIVE_ARMED
    CoreStore *streams;  // EngineReceiveStream items
    CoreName peerNodeId;
    CoreName binderChannel;   // empty until armed; cleared by the close command
    CoreName bindSequenceId;  // kept after the close command
};

// Entry of a session's `streams`, keyed by the stream's name; its second
// name is the session's.
struct EngineReceiveStream {
    CoreStoreItem header;
    std::atomic<uint64_t> bytesReceived;  // since the last statistics run
    CoreName binderChannel;
    CoreName peerNodeId;
    CoreName sessionName;
    uint32_t streamWord;
    uint32_t mediaFlags;  // bit 0 audio, bit 1 video
    CoreName streamName;
    uint32_t openValue;
    uint64_t receiver;   // handle in CORE_HANDLES_STREAMS
    uint64_t statsTask;  // on ENGINE_RECEIVE_EXECUTOR
    CoreTree *reorder;   // EngineReceivedFrame by sequence
    uint64_t nextSequence;  // expected next; 0 until the first delivery
    EngineReceiveService *service;
    uint32_t live;  // set once the entry is complete; its fini undoes only such entries
};

// The create argument of a stream entry.
struct EngineReceiveStreamArgs {
    EngineReceiveService *service;
    CoreName binderChannel;
    CoreName peerNodeId;
    CoreName sessionName;
    uint32_t streamWord;
    uint32_t mediaFlags;
    CoreName streamName;
    uint32_t openValue;
};

// A new service with its executor, pool, session store, network callbacks
// and command subscription; NULL when any step fails (what was made is
// undone) or an executor of that name exists already.
EngineReceiveService *engine_receive_service_create(uint32_t audioSinkParam, uint32_t videoSinkParam);

// Unsubscribes and unregisters, removes every session and stream (each
// stream posts its close event), drops the pool and the executor, frees
// the service and clears *service. NULL and a cleared pointer are ignored.
void engine_receive_service_destroy(EngineReceiveService **service);

// Network-library callbacks; user[0] of the record is the service.
int engine_receive_on_session(void *record, FlowmeshStreamAnswer *answer);
int engine_receive_on_stream_state(void *record, FlowmeshStreamAnswer *answer);
// 1 when the request is a media stream of a known session (the answer is
// filled), 0 when it is not a media stream, -1 for an unknown session.
int engine_receive_on_stream_request(void *record, FlowmeshStreamAnswer *answer);

// The receivers' record callback (user: the service): 0 the record is
// consumed, whatever became of it; -1 the session is unknown or going, and
// the receiver offers the record again.
int engine_receive_on_data(const CoreName *session, const CoreName *stream, const void *data, uint64_t length,
                           void *user);

// Command topic subscriber (user[0]: the service) for
// ENGINE_CMD_RECEIVE_OPEN and ENGINE_CMD_RECEIVE_CLOSE.
CoreResult engine_receive_on_command(const CoreQueueEntry *message, void **user);

// Parses one record's entries into frames, queues them in the stream's
// reorder tree and delivers what is in order. The result of the last
// delivery: CORE_OK, CORE_DONE (nothing delivered) or the push's failure;
// CORE_ERR for a record whose entry breaks the layout (the entries before
// it stay queued) and for a stream that is neither audio nor video.
CoreResult engine_receive_assemble(EngineReceiveService *service, EngineReceiveSession *session,
                                   EngineReceiveStream *stream, const void *data, uint64_t length);

// Discards waiting frames older than the expected one, builds the next
// in-order chain and pushes it with the batch. CORE_DONE when nothing was
// delivered, else the push's result; delivered frames are freed either way.
CoreResult engine_receive_deliver(EngineReceiveService *service, EngineReceiveStream *stream,
                                  const EngineFrameBatch *batch);

// Frees every frame waiting in the stream's reorder tree.
void engine_receive_reorder_clear(EngineReceiveStream *stream);

// The statistics task (user[0]: the stream entry).
int engine_receive_stats_task(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                              void **user);

// Store item callbacks of `sessions` and of each session's `streams`.
int engine_receive_session_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_receive_session_fini(CoreStore *store, CoreStoreItem *item, void **user);
int engine_receive_stream_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_receive_stream_fini(CoreStore *store, CoreStoreItem *item, void **user);

// Orders two u64 sequence numbers (the keys point at them): -1, 0, 1.
int engine_sequence_compare(const void *a, const void *b);

// Reads the entry at *offset of a record of `length` value bytes and moves
// *offset past it. CORE_OK with the entry; CORE_DONE at the end of the
// record; CORE_ERR when the bytes left cannot hold an entry head or the
// entry's recordLength is below the head or runs past the record.
CoreResult engine_frame_entry_read(const void *data, uint64_t length, uint64_t *offset, EngineFrameEntry *entry);

// A sample's flags and tag in wire form, and back.
uint32_t engine_frame_flags_to_wire(uint32_t flags, uint32_t tag);
void engine_frame_flags_from_wire(uint32_t wire, uint32_t *flags, uint32_t *tag);
