// core_notify with 1 and 4 handlers against a shared_mutex-guarded vector
// of callbacks called the same way, and the latency from core_topic_post
// to the subscriber's call against a condition-variable hand-off to a
// consumer thread. Latency runs spin on the delivery instead of using
// core_topic_wait, whose 5-20 ms polling would hide the hand-off itself.
// With idle:1 the consumer falls asleep before each post (an untimed pause),
// the engine's usual case; with idle:0 posts follow each other at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/names.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/topic.h"

namespace {

CoreName named(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return name;
}

// The runtime parts the registries need; started once, left running.
void start_runtime()
{
    static bool started = [] {
        core_executor_registry_start();
        CoreName executor = named(CORE_DEFAULT_EXECUTOR);
        core_executor_create(&executor);
        core_pool_registry_start(0);
        core_notify_registry_start();
        core_topic_registry_start();
        return true;
    }();
    (void)started;
}

// ---- notify ----

std::atomic<uint64_t> g_handled{0};

CoreResult count_call(uint32_t code, const void *, uint64_t, void *, uint64_t *, void **)
{
    g_handled.fetch_add(1, std::memory_order_relaxed);
    return code == 1 ? CORE_OK : CORE_NOT_MINE;
}

// One channel per handler count, made on first use.
const CoreName &channel_with(int handlers)
{
    static std::mutex lock;
    static std::vector<CoreName> channels(8);
    static std::vector<bool> made(8, false);
    std::lock_guard<std::mutex> guard(lock);
    if (!made[handlers]) {
        start_runtime();
        core_name_format(&channels[handlers], "bench.notify.%d", handlers);
        core_notify_channel_create(&channels[handlers]);
        CoreNotifySubscription s = {count_call, {}};
        for (int i = 0; i < handlers; ++i) core_notify_subscribe(&channels[handlers], &s);
        made[handlers] = true;
    }
    return channels[handlers];
}

struct CallbackList {
    std::shared_mutex lock;
    std::vector<CoreNotifyHandler> handlers;
};

CallbackList &list_with(int handlers)
{
    static std::mutex lock;
    static std::vector<CallbackList> lists(8);
    static std::vector<bool> made(8, false);
    std::lock_guard<std::mutex> guard(lock);
    if (!made[handlers]) {
        lists[handlers].handlers.assign(handlers, count_call);
        made[handlers] = true;
    }
    return lists[handlers];
}

void BM_Notify(benchmark::State &state)
{
    const CoreName &channel = channel_with(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr));
}

void BM_SharedMutexCallbacks(benchmark::State &state)
{
    CallbackList &list = list_with(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CoreResult result = CORE_ERR;
        std::shared_lock<std::shared_mutex> guard(list.lock);
        for (CoreNotifyHandler handler : list.handlers) {
            CoreResult answer = handler(1, nullptr, 0, nullptr, nullptr, nullptr);
            if (answer != CORE_NOT_MINE) result = answer;
        }
        benchmark::DoNotOptimize(result);
    }
}

BENCHMARK(BM_Notify)->ArgName("handlers")->Arg(1)->Arg(4)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_SharedMutexCallbacks)->ArgName("handlers")->Arg(1)->Arg(4)->Threads(1)->Threads(4)->UseRealTime();

// ---- post to delivery ----

std::atomic<uint64_t> g_delivered{0};

void settle(benchmark::State &state, bool idle)
{
    if (!idle) return;
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    state.ResumeTiming();
}

CoreResult mark_delivered(const CoreQueueEntry *, void **)
{
    g_delivered.fetch_add(1, std::memory_order_release);
    return CORE_OK;
}

void BM_TopicPostToDelivery(benchmark::State &state)
{
    start_runtime();
    CoreName topic = named("bench.topic");
    CoreTopicConfig config = {};
    config.pool = named(CORE_DEFAULT_POOL);
    if (state.range(0) != 0) config.executor = named(CORE_DEFAULT_EXECUTOR);
    core_topic_create(&topic, &config);
    CoreTopicSubscription s = {mark_delivered, {}};
    uint64_t key = core_topic_subscribe(&topic, &s);
    uint64_t payload = 0;
    CoreMessage message = {1, 0, sizeof(payload), &payload};
    for (auto _ : state) {
        settle(state, state.range(1) != 0);
        uint64_t target = g_delivered.load() + 1;
        core_topic_post(&topic, &message);
        while (g_delivered.load(std::memory_order_acquire) < target) {
        }
    }
    core_topic_unsubscribe(&topic, key);
    core_topic_remove(&topic);
}

// The reference: a deque under a mutex and a condition variable, drained
// by one consumer thread that calls the callback for each item.
void BM_ConditionVariableHandOff(benchmark::State &state)
{
    std::mutex lock;
    std::condition_variable ready;
    std::deque<uint64_t> items;
    bool stop = false;
    std::atomic<uint64_t> delivered{0};
    std::thread consumer([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            ready.wait(guard, [&] { return stop || !items.empty(); });
            if (stop) return;
            uint64_t item = items.front();
            items.pop_front();
            guard.unlock();
            benchmark::DoNotOptimize(item);
            delivered.fetch_add(1, std::memory_order_release);
            guard.lock();
        }
    });
    for (auto _ : state) {
        settle(state, state.range(0) != 0);
        uint64_t target = delivered.load() + 1;
        {
            std::lock_guard<std::mutex> guard(lock);
            items.push_back(target);
        }
        ready.notify_one();
        while (delivered.load(std::memory_order_acquire) < target) {
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
    }
    ready.notify_one();
    consumer.join();
}

// executor:0: the topic's own consumer thread; 1: a task of the default
// executor.
BENCHMARK(BM_TopicPostToDelivery)
    ->ArgNames({"executor", "idle"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseRealTime();
BENCHMARK(BM_ConditionVariableHandOff)->ArgName("idle")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
