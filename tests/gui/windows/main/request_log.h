// A stand-in for the engine facade on its own queue, for the main window
// suites: it records the code of every request the windows queue, so that a
// requested stop or start is seen but no engine is stopped or started.
// onMessage() runs on the queue's worker thread, take() on the test's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "services/buffer.h"
#include "services/queue.h"

class RequestLog : public IPkAsyncQueue {
public:
    void onMessage(std::shared_ptr<PkBuffer> message) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(message->code);
        changed.notify_all();
    }
    // The requests once `count` have come, or what came within the bound;
    // the log is empty afterwards.
    std::vector<int32_t> take(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return requests.size() >= count; });
        std::vector<int32_t> out;
        out.swap(requests);
        return out;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int32_t> requests;
};
