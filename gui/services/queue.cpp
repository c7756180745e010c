#include "services/queue.h"

#include <system_error>

#include "core/log.h"

namespace {

// The queue whose worker this thread is. stop() must tell its own worker
// apart without reading `worker`, which start() may still be assigning
// while the new thread already delivers.
thread_local const PkAsyncQueue *t_workerOf = nullptr;

}  // namespace

bool PkInitializer::initialize()
{
    return done.exchange(1) == 0;
}

PkAsyncQueue::~PkAsyncQueue()
{
    // A joinable std::thread would end the process here. From the worker
    // itself the thread can only be let go.
    if (t_workerOf == this) {
        core_log(CORE_LOG_ERROR, "services", "async queue destroyed on its own worker thread");
        running = false;
        if (worker.joinable()) worker.detach();
        return;
    }
    try {
        stop();
    } catch (const std::system_error &error) {
        core_log(CORE_LOG_ERROR, "services", "async queue stop failed: %s", error.what());
        if (worker.joinable()) worker.detach();
    }
}

void PkAsyncQueue::subscribe(std::shared_ptr<IPkAsyncQueue> subscriber)
{
    std::lock_guard<std::mutex> lock(subscriberMutex);
    subscribers.push_back(std::move(subscriber));
}

void PkAsyncQueue::unsubscribe(const std::shared_ptr<IPkAsyncQueue> &subscriber)
{
    std::lock_guard<std::mutex> lock(subscriberMutex);
    for (auto it = subscribers.begin(); it != subscribers.end(); ++it) {
        if (it->get() == subscriber.get()) {
            subscribers.erase(it);
            return;
        }
    }
}

void PkAsyncQueue::post(std::shared_ptr<PkBuffer> message)
{
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        pending.push_back(std::move(message));
    }
    wakeup.notify_one();
}

void PkAsyncQueue::start()
{
    if (worker.joinable()) return;
    running = true;
    try {
        worker = std::thread(&PkAsyncQueue::run, this);
    } catch (...) {
        running = false;
        throw;
    }
}

void PkAsyncQueue::stop()
{
    {
        // Cleared under the lock: a worker that has looked at the run flag
        // and pending but not yet begun to wait cannot miss this wake.
        std::lock_guard<std::mutex> lock(pendingMutex);
        running = false;
    }
    wakeup.notify_all();
    if (t_workerOf == this)
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "PkAsyncQueue::stop on its own worker");
    if (worker.joinable()) worker.join();
}

void PkAsyncQueue::run()
{
    t_workerOf = this;
    while (running) {
        std::vector<std::shared_ptr<PkBuffer>> batch;
        {
            std::unique_lock<std::mutex> lock(pendingMutex);
            wakeup.wait(lock, [this] { return !pending.empty() || !running; });
            if (!running) break;
            batch.swap(pending);
        }
        std::vector<std::shared_ptr<IPkAsyncQueue>> receivers;
        {
            std::lock_guard<std::mutex> lock(subscriberMutex);
            receivers = subscribers;
        }
        for (const auto &message : batch) {
            if (!running) break;
            for (const auto &receiver : receivers) receiver->onMessage(message);
        }
    }
    t_workerOf = nullptr;
}
