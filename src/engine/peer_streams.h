// Peer stream objects: the sender and the receiver through which the
// engine's peer services talk over one named stream of a network session.
//
// A sender queues TLV messages on its own channel and a pump task on the
// owner's executor hands their bytes to the network library at the pace it
// accepts them, resuming a message where the library stopped taking it. A
// receiver feeds the stream's bytes into the network library's TLV reader
// and hands every complete record to its owner's callback on the owner's
// executor. Both objects live in the stream handle table
// (CORE_HANDLES_STREAMS) and are addressed by their handle; the owner drops
// its creator reference with core_handle_release and the destroy callback
// undoes everything once the last reference has gone.
//
// Threads: create and engine_stream_send_tlv on any thread; the pump on the
// sender's executor; the network callbacks on the network library's
// threads; record delivery on the receiver's executor. Every access goes
// through a handle reference, so no callback sees a freed object. Creation
// returns a handle or 0; engine_stream_send_tlv returns a CoreResult code.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/names.h"
#include "core/result.h"
#include "core/tlv.h"

struct CoreChannel;
struct FlowmeshTlvChannel;

// The sender's sequence counter starts here; a session in which this node
// uses the stream keys the peer made starts it at the keyed value instead,
// so that the two ends of one binding stream never number alike.
#define ENGINE_SENDER_SEQUENCE_FIRST 1ULL
#define ENGINE_SENDER_SEQUENCE_KEYED 0x8000000000000001ULL

// While the stream is not open the pump looks again this often.
#define ENGINE_SENDER_CLOSED_POLL_MS 500

// EngineSender.flags
enum : uint32_t {
    ENGINE_SENDER_OPEN = 0x1,  // the network library reported the stream open
};

typedef void (*EngineStreamNoticeFn)(const CoreName *session, const CoreName *stream, void *user);
// Non-zero keeps the record: it is offered again on the reader's next pass.
typedef int (*EngineStreamRecordFn)(const CoreName *session, const CoreName *stream, const void *data,
                                    uint64_t length, void *user);

struct EngineSenderConfig {
    EngineStreamNoticeFn onClosed;  // stream state 2 (ended); may be NULL
    void *user;
    uint64_t queueLimit;  // most queued messages accepted; 0: no limit
    uint64_t poolSize;    // queue pool bytes; 0: the default
    uint32_t retryPause;  // ms before the pump retries a partly taken message; non-zero
    CoreName executor;    // runs the pump; required
    CoreName pool;        // queue pool; empty: a private one
    CoreName session;     // required
    CoreName stream;      // required
};

struct EngineSender {
    // The owner's message counter: read and advanced by the owner under a
    // handle reference; first so that owners may treat the object as it.
    std::atomic<uint64_t> sequence;
    std::atomic<uint32_t> flags;  // ENGINE_SENDER_*
    uint64_t handle;
    CoreName remoteStream;  // instance name from the open event; guarded by `lock`
    uint64_t pumpTask;
    uint64_t headOffset;  // bytes of the oldest message already taken; the pump's alone
    std::atomic<uint64_t> bytesSent;
    CoreChannel *channel;
    EngineSenderConfig config;
    uint64_t stateToken;
    uint64_t sessionToken;
    std::mutex lock;
};

struct EngineReceiverConfig {
    EngineStreamNoticeFn onError;   // received bytes broke the TLV format; may be NULL
    EngineStreamRecordFn onRecord;  // required
    void *user;
    uint64_t poolSize;   // reader pool bytes; 0: the default
    CoreName executor;   // records are delivered here; required
    CoreName pool;       // reader pool; empty: a private one
    CoreName session;    // required
    CoreName stream;     // required
};

// EngineReceiver.remoteState
enum : uint32_t {
    ENGINE_RECEIVER_REMOTE_NONE = 0,
    ENGINE_RECEIVER_REMOTE_WRITING = 1,
    ENGINE_RECEIVER_REMOTE_SET = 2,
};

struct EngineReceiver {
    uint64_t handle;
    FlowmeshTlvChannel *reader;
    EngineReceiverConfig config;
    uint64_t dataToken;
    uint64_t stateToken;
    // The stream instance served: written once, by whichever comes first of
    // the open event, the first data and the owner's
    // engine_receiver_adopt_stream; bytes of any other instance of the
    // stream name are ignored. Readers look at it only once remoteState
    // says it is complete.
    CoreName remoteStream;
    std::atomic<uint32_t> remoteState;
    std::atomic<uint64_t> formatErrors;  // pieces whose bytes broke the TLV format
};

// A new sender, or 0: retryPause 0, executor, session or stream empty, or a
// step failed (what was made is undone).
uint64_t engine_sender_create(const EngineSenderConfig *config);

// A new receiver, or 0: onRecord NULL, executor, session or stream empty,
// or a step failed.
uint64_t engine_receiver_create(const EngineReceiverConfig *config);

// Encodes the items into one message of `type` on the sender's queue and
// wakes the pump. `word` is passed as 0. CORE_OK queued; CORE_DONE not
// queued, the queue holds more than queueLimit messages; CORE_ERR_REFUSED
// the stream is not open and has carried data; CORE_ERR for an unknown
// handle or a pump that cannot be woken; else core_tlv_send's result
// (CORE_ERR_INVALID, CORE_ERR_NO_SPACE).
CoreResult engine_stream_send_tlv(uint64_t sender, uint32_t word, uint32_t type, const CoreTlvItem *items,
                                  uint64_t count);

// Gives the receiver the stream instance it serves when it has none yet:
// an owner that makes its receiver while handling the stream's open event
// cannot count on the receiver seeing that same event, and should not have
// to wait for the first data. CORE_OK, CORE_DONE when an instance was known
// already, CORE_ERR for an unknown handle.
CoreResult engine_receiver_adopt_stream(uint64_t receiver, const CoreName *instance);

// The pump task (user[0]: the sender's handle).
int engine_sender_pump(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                       void **user);
