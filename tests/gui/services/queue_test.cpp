#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "services/queue.h"

namespace {

// Bound on every wait, so that a fault fails the test instead of hanging it.
constexpr auto kPatience = std::chrono::seconds(20);

std::shared_ptr<PkBuffer> message(int32_t code)
{
    auto buffer = std::make_shared<PkBuffer>();
    buffer->code = code;
    return buffer;
}

// A queue whose private state the tests may look at.
class OpenQueue : public PkAsyncQueue {
public:
    size_t pendingCount()
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        return pending.size();
    }
    bool isRunning() const { return running; }
};

// Records the codes it receives; an optional hook runs inside onMessage.
class Recorder : public IPkAsyncQueue {
public:
    explicit Recorder(int tag = 0) : tag(tag) {}

    void onMessage(std::shared_ptr<PkBuffer> m) override
    {
        if (hook) hook(*m);
        std::lock_guard<std::mutex> lock(mutex);
        codes.push_back(m->code);
        if (log) log->push_back(tag);
        changed.notify_all();
    }

    bool waitForCount(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return codes.size() >= n; });
    }

    std::vector<int32_t> received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return codes;
    }

    int tag;
    std::vector<int> *log = nullptr;  // guarded by the shared mutex of its owner
    std::function<void(const PkBuffer &)> hook;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int32_t> codes;
};

template <class Ready>
bool wait_until(Ready ready)
{
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(PkInitializer, RunsOnceAcrossThreads)
{
    PkInitializer guard;
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++)
        threads.emplace_back([&] {
            if (guard.initialize()) winners++;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(1, winners.load());
    EXPECT_FALSE(guard.initialize());
}

TEST(PkAsyncQueue, DeliversPostsMadeBeforeStartInOrder)
{
    OpenQueue queue;
    auto recorder = std::make_shared<Recorder>();
    queue.subscribe(recorder);
    for (int32_t code : {1, 2, 3}) queue.post(message(code));
    queue.start();
    ASSERT_TRUE(recorder->waitForCount(3));
    queue.stop();
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), recorder->received());
    queue.unsubscribe(recorder);
}

TEST(PkAsyncQueue, SubscribersInOrderDuplicatesTwiceUnsubscribeFirstOnly)
{
    OpenQueue queue;
    std::vector<int> order;
    auto a = std::make_shared<Recorder>(1), b = std::make_shared<Recorder>(2);
    a->log = b->log = &order;  // only the worker thread writes it
    queue.subscribe(a);
    queue.subscribe(b);
    queue.subscribe(a);
    queue.post(message(10));
    queue.start();
    ASSERT_TRUE(a->waitForCount(2));
    ASSERT_TRUE(b->waitForCount(1));

    queue.unsubscribe(a);  // the first registration: b now comes before a
    queue.post(message(11));
    ASSERT_TRUE(a->waitForCount(3));
    queue.stop();
    EXPECT_EQ((std::vector<int>{1, 2, 1, 2, 1}), order);
    EXPECT_EQ((std::vector<int32_t>{10, 10, 11}), a->received());
    EXPECT_EQ((std::vector<int32_t>{10, 11}), b->received());
    queue.unsubscribe(b);
    queue.unsubscribe(a);
    queue.unsubscribe(a);  // none left: no effect
}

TEST(PkAsyncQueue, MessageWithoutSubscriberIsDropped)
{
    OpenQueue queue;
    queue.start();
    queue.post(message(1));
    ASSERT_TRUE(wait_until([&] { return queue.pendingCount() == 0; }));
    // Batches run one after the other: once the second is taken, the first
    // has been handed to its (empty) subscriber list.
    queue.post(message(2));
    ASSERT_TRUE(wait_until([&] { return queue.pendingCount() == 0; }));

    auto late = std::make_shared<Recorder>();
    queue.subscribe(late);
    queue.post(message(3));
    ASSERT_TRUE(late->waitForCount(1));
    queue.stop();
    const auto got = late->received();
    EXPECT_EQ(3, got.back());
    EXPECT_EQ(got.end(), std::find(got.begin(), got.end(), 1));
    queue.unsubscribe(late);
}

TEST(PkAsyncQueue, SubscriberMayPostAndSubscribeFromInside)
{
    OpenQueue queue;
    auto second = std::make_shared<Recorder>();
    auto first = std::make_shared<Recorder>();
    first->hook = [&](const PkBuffer &m) {
        if (m.code == 1) {
            queue.subscribe(second);  // takes effect from the next batch
            queue.post(message(2));
        }
    };
    queue.subscribe(first);
    queue.post(message(1));
    queue.start();
    ASSERT_TRUE(first->waitForCount(2));
    ASSERT_TRUE(second->waitForCount(1));
    queue.stop();
    EXPECT_EQ((std::vector<int32_t>{1, 2}), first->received());
    EXPECT_EQ((std::vector<int32_t>{2}), second->received());
    queue.unsubscribe(first);
    queue.unsubscribe(second);
}

TEST(PkAsyncQueue, StopWhileIdleAndNeverStarted)
{
    OpenQueue never;
    never.stop();  // only clears the flag
    EXPECT_FALSE(never.isRunning());

    OpenQueue idle;
    idle.start();
    idle.start();  // a second start keeps the one worker
    idle.stop();   // returns although the worker waits with no time-out
    EXPECT_FALSE(idle.isRunning());

    // Posts while stopped stay pending and arrive after a restart.
    auto recorder = std::make_shared<Recorder>();
    idle.subscribe(recorder);
    idle.post(message(5));
    EXPECT_EQ(1u, idle.pendingCount());
    idle.start();
    ASSERT_TRUE(recorder->waitForCount(1));
    idle.stop();
    idle.unsubscribe(recorder);
}

TEST(PkAsyncQueue, StopDuringBatchDropsTheRest)
{
    OpenQueue queue;
    auto recorder = std::make_shared<Recorder>();
    std::mutex gate;
    std::condition_variable gateChanged;
    bool entered = false, released = false;
    recorder->hook = [&](const PkBuffer &) {
        std::unique_lock<std::mutex> lock(gate);
        entered = true;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return released; });
    };
    queue.subscribe(recorder);
    for (int32_t code = 1; code <= 5; code++) queue.post(message(code));
    queue.start();
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(gateChanged.wait_for(lock, kPatience, [&] { return entered; }));
    }
    std::thread stopper([&] { queue.stop(); });
    ASSERT_TRUE(wait_until([&] { return !queue.isRunning(); }));
    {
        std::lock_guard<std::mutex> lock(gate);
        released = true;
    }
    gateChanged.notify_all();
    stopper.join();
    EXPECT_EQ((std::vector<int32_t>{1}), recorder->received());
    EXPECT_EQ(0u, queue.pendingCount());  // the rest was dropped, not kept

    // Nothing of the dropped batch comes back after a restart.
    recorder->hook = nullptr;
    queue.post(message(6));
    queue.start();
    ASSERT_TRUE(recorder->waitForCount(2));
    queue.stop();
    EXPECT_EQ((std::vector<int32_t>{1, 6}), recorder->received());
    queue.unsubscribe(recorder);
}

TEST(PkAsyncQueue, StopFromInsideTheWorkerIsRefused)
{
    OpenQueue queue;
    auto recorder = std::make_shared<Recorder>();
    std::atomic<int> refusal{0};
    recorder->hook = [&](const PkBuffer &) {
        try {
            queue.stop();
        } catch (const std::system_error &error) {
            refusal = error.code() == std::errc::resource_deadlock_would_occur ? 1 : 2;
        }
    };
    queue.subscribe(recorder);
    queue.post(message(1));
    queue.post(message(2));
    queue.start();
    ASSERT_TRUE(recorder->waitForCount(1));
    queue.stop();  // joins the worker that left its loop
    EXPECT_EQ(1, refusal.load());
    EXPECT_EQ((std::vector<int32_t>{1}), recorder->received());
    queue.unsubscribe(recorder);
}

TEST(PkAsyncQueue, ManyPostersKeepTheirOwnOrder)
{
    constexpr int kThreads = 4, kEach = 500;
    OpenQueue queue;
    auto recorder = std::make_shared<Recorder>();
    queue.subscribe(recorder);
    queue.start();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; t++)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) queue.post(message(t * kEach + i));
        });
    for (auto &p : posters) p.join();
    ASSERT_TRUE(recorder->waitForCount(kThreads * kEach));
    queue.stop();
    std::vector<int32_t> last(kThreads, -1);
    for (int32_t code : recorder->received()) {
        const int t = code / kEach;
        EXPECT_LT(last[t], code);
        last[t] = code;
    }
    queue.unsubscribe(recorder);
}

TEST(PkAsyncQueue, DestructorStopsARunningWorker)
{
    auto recorder = std::make_shared<Recorder>();
    {
        OpenQueue queue;
        queue.subscribe(recorder);
        queue.start();
        queue.post(message(1));
        ASSERT_TRUE(recorder->waitForCount(1));
    }  // would end the process if the worker were left joinable
    EXPECT_EQ(1, recorder.use_count());
}
