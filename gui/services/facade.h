// The engine facade: the interface side's one road into the engine's life.
//
// PkDeam owns the engine context from creation (startCore, run by the first
// instance() call) to destruction (shutdown), and runs every engine start
// and stop on its own queue worker, so that the GTK main thread never waits
// for the engine's lifecycle commands. A start fills the engine
// configuration record from the node configuration (PkConfig), registers
// the node configuration's extra codecs, publishes the node's own profile
// fields as node properties, posts ENGINE_CMD_START and waits for it, then
// takes the engine online; a stop takes it offline and stops it. Listeners
// (IPkDeam) hear each step, in registration order, on the thread that runs
// it: slots 1 and 2 on the thread of the first instance() call, slots 3 to
// 6 on the facade's worker, slots 7 and 8 (and slot 3 once more) on the
// main thread during the shell's shut-down.
//
// Threads: setState, addListener, removeListener and the value-list helpers
// from any thread (mostly the GTK main thread); onMessage and
// configureSession only on the facade's worker; shutdown on the main thread,
// never on the worker. No facade lock is held while a listener runs, so a
// listener may add or remove listeners. Results are as each function says;
// nothing throws to its caller except the standard thread operations of the
// first instance() call.
//
// Next to the facade: the value-list helpers of the runtime's replacing
// value list, the operations that bring the evaluated encoder limits of the
// node configuration to a running engine, and the texts of the binding
// direction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/config.h"
#include "services/codecs.h"
#include "services/queue.h"

// Requests of the facade's queue (PkBuffer::code) and the values of
// PkDeam::requestedState.
enum : int32_t {
    PK_DEAM_STATE_NONE = 0,
    PK_DEAM_STATE_STOPPED = 1,
    PK_DEAM_STATE_STARTED = 2,
};

// The index that the value-list readers look under.
#define PK_STORE_READ_INDEX 9u
// What pk_store_get_int answers for a missing entry.
#define PK_STORE_NO_INT static_cast<int32_t>(0x80000000u)

// Results of pk_evaluation_apply.
enum : int32_t {
    PK_EVAL_APPLY_DONE = 0,
    PK_EVAL_APPLY_NOTHING = 1,
    PK_EVAL_APPLY_MISMATCH = -83,
    PK_EVAL_APPLY_UNREADABLE = -84,
    PK_EVAL_APPLY_REFUSED = -100,
};

// The listener interface of the facade. Every slot has an empty body, so a
// listener overrides only what it needs. A window that touches widgets
// posts that work to the GTK main loop.
class IPkDeam {
public:
    virtual ~IPkDeam() {}
    // startCore begins / has started the engine node.
    virtual void onCoreInitializing() {}
    virtual void onCoreInitialized() {}
    // A stop has taken the engine offline and is about to stop it (also
    // during the shell's shut-down); a stop has stopped it.
    virtual void onEngineStopping() {}
    virtual void onEngineStopped() {}
    // A start begins; a start has configured the engine and taken it
    // online. A start that fails reports onEngineStarting only.
    virtual void onEngineStarting() {}
    virtual void onEngineStarted() {}
    // The shell's shut-down begins, before the engine is touched; the
    // shut-down has stopped the engine.
    virtual void onShutdownStarting() {}
    virtual void onShutdownFinished() {}
};

class PkDeam : public IPkAsyncQueue, public PkInitializer, public std::enable_shared_from_this<PkDeam> {
public:
    // The process's facade. The first call subscribes it to its queue,
    // runs startCore() and starts the worker.
    static std::shared_ptr<PkDeam> instance();

    // engine_destroy on the engine context, unsubscription from the queue,
    // requestedState 0. It does not stop the worker: the shell stops
    // `queue` earlier in its shut-down. Not from the worker.
    static void shutdown();

    PkDeam(const PkDeam &) = delete;
    PkDeam &operator=(const PkDeam &) = delete;
    ~PkDeam() override;

    bool initialize() override;

    // The worker: request 1 runs the stop sequence, 2 the start sequence,
    // any other code nothing.
    void onMessage(std::shared_ptr<PkBuffer> message) override;

    // Creates the engine context and starts the engine node, then publishes
    // the start-up addresses (PkInitConfig) as "synchro.ip" entries. 0; -1
    // when a context exists already or the engine could not be made (the
    // facade then runs on without an engine).
    int32_t startCore();

    // Asks for PK_DEAM_STATE_STOPPED or PK_DEAM_STATE_STARTED: the request
    // is queued and remembered, and 0 returned. The state asked for last
    // time again queues nothing and returns 0; any other value -1. The
    // result says nothing about the engine.
    int32_t setState(int32_t state);

    // Builds and posts the engine configuration (worker thread only): the
    // sequence number of the delivered ENGINE_CMD_START, or 0 when there is
    // no engine node, a node property was refused, or the engine is not
    // started afterwards.
    uint64_t configureSession();

    // Publishes the framework values of this platform and the node
    // configuration's twelve pipeline options into the replacing value
    // list; an option of 0 keeps the platform's value.
    void pushPipelineOptions();

    // Appends under listenerMutex; duplicates are called once per entry.
    void addListener(std::shared_ptr<IPkDeam> listener);
    // Removes the first entry of the same object, if any.
    void removeListener(const std::shared_ptr<IPkDeam> &listener);

    // Slots 1 to 8 of every listener of a copy of the list, in
    // registration order, on the calling thread.
    void notifyCoreInitializing();
    void notifyCoreInitialized();
    void notifyStopping();
    void notifyStopped();
    void notifyStarting();
    void notifyStarted();
    void notifyShutdownStarting();
    void notifyShutdownFinished();

    // The facade's own queue; the facade is its only subscriber. The shell
    // stops it at shut-down before it stops the engine itself.
    PkAsyncQueue queue;
    std::mutex listenerMutex;  // guards listeners
    std::vector<std::shared_ptr<IPkDeam>> listeners;
    // The state asked for last (PK_DEAM_STATE_*): a record of requests,
    // not of the engine, whose state lives in the engine context. The
    // shell sets it back to 0 at shut-down.
    std::atomic<int32_t> requestedState{PK_DEAM_STATE_NONE};

private:
    PkDeam() = default;
    static std::shared_ptr<PkDeam> &singleton();

    std::vector<std::shared_ptr<IPkDeam>> listenersCopy();
    void notify(void (IPkDeam::*slot)(), const char *what);
    void runStart();
    void runStop();

    // Keeps setState's compare, post and record in one step, so that two
    // callers cannot queue their requests in the other order than they
    // record them.
    std::mutex stateMutex;
};

// ---- the engine configuration record -------------------------------------------

// The engine configuration record the node configuration gives (every byte
// not filled from it zero). configureSession posts exactly this record.
EngineConfig pk_engine_config_from_node_config();

// ---- binding-direction texts -------------------------------------------------------

// "direction.outgoing.value" for 1, "direction.incoming.value" for 2,
// "direction.bidirectional.value" for 3, "direction.none.value" for any
// other value.
std::string_view pk_node_direction_text(uint32_t direction);

// 1, 2 or 3 for an exact match of the first three texts; 0 otherwise.
int32_t pk_node_direction_from_text(std::string_view text);

// ---- value-list helpers ----------------------------------------------------------------

// Stores a 4-byte value of type 0 under key + "%08X" of index in the
// runtime's replacing value list, replacing an older entry. 0 or -1 (no
// list, or the entry could not be stored).
int32_t pk_store_set_int(const char *key, uint32_t index, int32_t value);

// The 4-byte value under key + "00000009"; PK_STORE_NO_INT when there is
// no such entry or it is not 4 bytes long.
int32_t pk_store_get_int(const char *key);

// The value under key + "00000009" read as UTF-16 text (byte length / 2
// characters); empty when there is none.
std::u16string pk_store_get_wide_text(const char *key);

// ---- evaluated encoder limits ----------------------------------------------------------

// Writes the node configuration's evaluated video encoder limits into the
// running engine's usable video encoders, in order: PK_EVAL_APPLY_DONE;
// PK_EVAL_APPLY_NOTHING when nothing is stored while the engine has usable
// encoders; PK_EVAL_APPLY_MISMATCH when the stored list no longer matches
// the engine's encoders (count or codec key); PK_EVAL_APPLY_UNREADABLE when
// an encoder cannot be read; PK_EVAL_APPLY_REFUSED when the engine refused
// a descriptor. Entries before a failing one stay written.
int32_t pk_evaluation_apply();

// The number of leading entries of `limits`, taken while they still match
// the engine's usable video encoders, whose minimum and maximum modes
// differ; 0 when the list's length differs from the number of usable
// encoders.
uint32_t pk_evaluation_fast_encoder_count(const std::vector<PkVideoEncoderLimits> &limits);
