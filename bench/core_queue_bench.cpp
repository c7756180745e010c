// Queue post-to-consume throughput and latency (thread and executor
// consumers) beside a mutex + deque + condition-variable queue, and executor
// schedule-to-run latency beside a plain condition-variable thread pool.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/queue.h"
#include "core/system.h"

namespace {

void ensure_runtime()
{
    static std::once_flag once;
    std::call_once(once, [] { core_system_start(0); });
}

CoreName default_executor()
{
    CoreName n;
    core_name_format(&n, "%s", CORE_DEFAULT_EXECUTOR);
    return n;
}

void report_latency(benchmark::State &state, std::vector<uint64_t> &ns)
{
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    state.counters["p50_us"] = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
    state.counters["p99_us"] = static_cast<double>(ns[ns.size() * 99 / 100]) / 1000.0;
}

// ---- our queue -------------------------------------------------------------

struct Sink {
    std::atomic<uint64_t> consumed{0};
    std::vector<uint64_t> latencies;  // only the consumer touches it
};

int sink_consume(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *sink = static_cast<Sink *>(user[0]);
    uint64_t now = core_clock_mono_ns();
    for (uint64_t i = 0; i < *count; ++i) {
        uint64_t sent;
        memcpy(&sent, entries[i].data, sizeof(sent));
        sink->latencies.push_back(now - sent);
    }
    sink->consumed.fetch_add(*count, std::memory_order_release);
    return CORE_OK;
}

void queue_round(benchmark::State &state, bool executor_mode, bool spaced)
{
    ensure_runtime();
    const uint64_t messages = spaced ? 2000 : 100000;
    std::vector<uint64_t> all;
    for (auto _ : state) {
        Sink sink;
        sink.latencies.reserve(messages);
        CoreQueueConfig qc = {};
        qc.batch = 32;
        qc.consumer = sink_consume;
        qc.user[0] = &sink;
        if (executor_mode) qc.executor = default_executor();
        CoreQueue *q = core_queue_create(&qc);
        for (uint64_t i = 0; i < messages; ++i) {
            uint64_t now = core_clock_mono_ns();
            CoreIoVec vec = {sizeof(now), &now};
            core_queue_post(q, nullptr, 1, 0, &vec, 1);
            if (spaced)
                while (sink.consumed.load(std::memory_order_acquire) <= i) std::this_thread::yield();
        }
        while (sink.consumed.load(std::memory_order_acquire) < messages) std::this_thread::yield();
        core_queue_destroy(&q);
        all.insert(all.end(), sink.latencies.begin(), sink.latencies.end());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages));
    report_latency(state, all);
}

// ---- reference: mutex + deque + condition variable --------------------------

void reference_round(benchmark::State &state, bool spaced)
{
    const uint64_t messages = spaced ? 2000 : 100000;
    std::vector<uint64_t> all;
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        std::deque<uint64_t> dq;
        std::atomic<uint64_t> consumed{0};
        bool stop = false;
        std::vector<uint64_t> latencies;
        latencies.reserve(messages);
        std::thread consumer([&] {
            std::unique_lock<std::mutex> lock(m);
            for (;;) {
                cv.wait(lock, [&] { return stop || !dq.empty(); });
                if (dq.empty() && stop) return;
                std::deque<uint64_t> batch;
                batch.swap(dq);
                lock.unlock();
                uint64_t now = core_clock_mono_ns();
                for (uint64_t sent : batch) latencies.push_back(now - sent);
                consumed.fetch_add(batch.size(), std::memory_order_release);
                lock.lock();
            }
        });
        for (uint64_t i = 0; i < messages; ++i) {
            {
                std::lock_guard<std::mutex> guard(m);
                dq.push_back(core_clock_mono_ns());
            }
            cv.notify_one();
            if (spaced)
                while (consumed.load(std::memory_order_acquire) <= i) std::this_thread::yield();
        }
        {
            std::lock_guard<std::mutex> guard(m);
            stop = true;
        }
        cv.notify_one();
        consumer.join();
        all.insert(all.end(), latencies.begin(), latencies.end());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages));
    report_latency(state, all);
}

void BM_QueueThread_Burst(benchmark::State &s) { queue_round(s, false, false); }
void BM_QueueExecutor_Burst(benchmark::State &s) { queue_round(s, true, false); }
void BM_RefDequeCv_Burst(benchmark::State &s) { reference_round(s, false); }
void BM_QueueThread_OneByOne(benchmark::State &s) { queue_round(s, false, true); }
void BM_QueueExecutor_OneByOne(benchmark::State &s) { queue_round(s, true, true); }
void BM_RefDequeCv_OneByOne(benchmark::State &s) { reference_round(s, true); }
BENCHMARK(BM_QueueThread_Burst)->Iterations(3)->UseRealTime();
BENCHMARK(BM_QueueExecutor_Burst)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RefDequeCv_Burst)->Iterations(3)->UseRealTime();
BENCHMARK(BM_QueueThread_OneByOne)->Iterations(3)->UseRealTime();
BENCHMARK(BM_QueueExecutor_OneByOne)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RefDequeCv_OneByOne)->Iterations(3)->UseRealTime();

// ---- executor schedule-to-run ----------------------------------------------

struct Ran {
    std::atomic<uint64_t> at{0};
};

int mark_run(const CoreName *, uint64_t, const CoreName *, const CoreName *, void **user)
{
    static_cast<Ran *>(user[0])->at.store(core_clock_mono_ns(), std::memory_order_release);
    return CORE_DONE;
}

void BM_ExecutorScheduleToRun(benchmark::State &state)
{
    ensure_runtime();
    CoreName executor = default_executor();
    std::vector<uint64_t> ns;
    for (auto _ : state) {
        Ran ran;
        CoreTaskCallback cb = {mark_run, {&ran, nullptr}};
        uint64_t start = core_clock_mono_ns();
        core_executor_schedule(&executor, nullptr, nullptr, 0, &cb);
        while (ran.at.load(std::memory_order_acquire) == 0) std::this_thread::yield();
        ns.push_back(ran.at.load() - start);
    }
    report_latency(state, ns);
}
BENCHMARK(BM_ExecutorScheduleToRun)->Iterations(2000)->UseRealTime();

void BM_RefCvPoolScheduleToRun(benchmark::State &state)
{
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return stop || !tasks.empty(); });
            if (stop) return;
            auto task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    });
    std::vector<uint64_t> ns;
    for (auto _ : state) {
        std::atomic<uint64_t> at{0};
        uint64_t start = core_clock_mono_ns();
        {
            std::lock_guard<std::mutex> guard(m);
            tasks.push_back([&at] { at.store(core_clock_mono_ns(), std::memory_order_release); });
        }
        cv.notify_one();
        while (at.load(std::memory_order_acquire) == 0) std::this_thread::yield();
        ns.push_back(at.load() - start);
    }
    {
        std::lock_guard<std::mutex> guard(m);
        stop = true;
    }
    cv.notify_one();
    worker.join();
    report_latency(state, ns);
}
BENCHMARK(BM_RefCvPoolScheduleToRun)->Iterations(2000)->UseRealTime();

}  // namespace
