// The event pump: the one road by which engine events reach the interface.
//
// The engine posts its events on ENGINE_EVENT_TOPIC, whose consumer runs on
// base-runtime threads. PkDeamProcessing subscribes to that topic, copies
// every event into a PkBuffer on the spot and posts it to its own queue, so
// an engine thread is never held up by a window. The queue's worker then
// hands the code and payload of each event, in arrival order, to every
// listener (IPkDeamProcessing), one event at a time; in the program the one
// listener is the notification centre.
//
// Threads: instance(), addListener() and removeListener() from any thread;
// the topic callback on the runtime's threads, possibly several at once;
// listeners only on the pump's worker thread, with no pump lock held, so
// they may add or remove listeners. shutdown() runs on the main thread and
// never on the worker. Nothing here throws to its caller except what the
// standard thread operations throw from the first instance() call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/queue.h"
#include "core/result.h"
#include "services/queue.h"

class IPkDeamProcessing {
public:
    virtual ~IPkDeamProcessing() {}
    // One engine event: its code and payload bytes, valid for the call only.
    virtual void onCoreEvent(uint32_t code, const std::vector<uint8_t> &payload) = 0;
};

class PkDeamProcessing : public IPkAsyncQueue,
                         public PkInitializer,
                         public std::enable_shared_from_this<PkDeamProcessing> {
public:
    // The process's pump; the first call subscribes it to its queue, starts
    // the worker and subscribes it to the event topic. A topic that does not
    // exist yet (no engine node runs) leaves the pump without events.
    static std::shared_ptr<PkDeamProcessing> instance();

    // Topic unsubscription (waiting for a delivery under way), worker stop
    // (queued events are dropped), queue unsubscription. A second call does
    // nothing more. Not from the worker thread.
    static void shutdown();

    PkDeamProcessing(const PkDeamProcessing &) = delete;
    PkDeamProcessing &operator=(const PkDeamProcessing &) = delete;
    ~PkDeamProcessing() override;

    bool initialize() override;

    // The dispatch, on the worker: every listener of a copy of the list.
    void onMessage(std::shared_ptr<PkBuffer> message) override;

    // The topic callback (user[0]: the pump): wraps and queues the event.
    static CoreResult onCoreEvent(const CoreQueueEntry *message, void **user);

    // Appends; a null listener is ignored. Duplicates are called twice.
    void addListener(std::shared_ptr<IPkDeamProcessing> listener);
    // Removes the first entry for the same object, if any.
    void removeListener(const std::shared_ptr<IPkDeamProcessing> &listener);

    // Events the topic delivered that could not be queued (memory short).
    uint64_t droppedCount() const { return dropped.load(); }

private:
    PkDeamProcessing() = default;
    static std::shared_ptr<PkDeamProcessing> &singleton();

    PkAsyncQueue queue;
    // Subscriber key on ENGINE_EVENT_TOPIC; 0 when not subscribed.
    std::atomic<uint64_t> eventSubscription{0};
    std::mutex listenerMutex;  // guards listeners
    std::vector<std::shared_ptr<IPkDeamProcessing>> listeners;
    std::atomic<uint64_t> dropped{0};
};
