// The run-once guard and the asynchronous message queue that carry the
// singletons of the service classes.
//
// PkInitializer::initialize() returns true exactly once per object, to the
// first caller on any thread; the singletons call it from every instance()
// call and do their one-time work behind it. A class that overrides it calls
// PkInitializer::initialize() first and returns false when that does.
//
// PkAsyncQueue hands shared PkBuffer messages from any posting thread to one
// worker thread, which passes each message, in posting order, to every
// subscriber (IPkAsyncQueue::onMessage) in subscription order. post,
// subscribe and unsubscribe may be called from any thread, also from inside
// onMessage; start and stop come from the owner, one call at a time, and
// never from the worker itself. Errors of the standard mutex and thread
// operations surface as std::system_error.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "services/buffer.h"

class PkInitializer {
public:
    virtual ~PkInitializer() = default;
    // True for the first call only; nothing ever resets the guard.
    virtual bool initialize();

protected:
    std::atomic<int32_t> done{0};
};

class IPkAsyncQueue {
public:
    virtual ~IPkAsyncQueue() {}
    // Runs on the queue's worker thread, once per message and subscriber.
    // No exception may leave it: nothing on the worker catches one.
    virtual void onMessage(std::shared_ptr<PkBuffer> message) = 0;
};

class PkAsyncQueue {
public:
    PkAsyncQueue() = default;
    PkAsyncQueue(const PkAsyncQueue &) = delete;
    PkAsyncQueue &operator=(const PkAsyncQueue &) = delete;
    // Stops a worker the owner left running, unless this is the worker
    // itself; pending messages and subscribers are released.
    virtual ~PkAsyncQueue();

    // The queue holds a strong reference: a subscriber that owns the queue
    // must unsubscribe before it can be destroyed. Duplicates are allowed.
    void subscribe(std::shared_ptr<IPkAsyncQueue> subscriber);
    // Removes the first registration of this object, if any.
    void unsubscribe(const std::shared_ptr<IPkAsyncQueue> &subscriber);
    // Queues a message; allowed before start() and from inside onMessage.
    void post(std::shared_ptr<PkBuffer> message);

    // Starts the worker. Messages posted while idle are delivered now. A
    // second start while a worker exists does nothing.
    void start();
    // Stops delivering (the rest of the current batch is dropped) and joins
    // the worker. From the worker thread it throws std::system_error
    // (resource_deadlock_would_occur) after clearing the run flag, without
    // joining. Messages still pending stay for the next start().
    void stop();
    // The worker loop.
    void run();

protected:
    std::vector<std::shared_ptr<PkBuffer>> pending;
    std::mutex subscriberMutex;
    std::vector<std::shared_ptr<IPkAsyncQueue>> subscribers;
    std::thread worker;
    std::mutex pendingMutex;
    std::condition_variable wakeup;
    std::atomic<bool> running{false};
};
