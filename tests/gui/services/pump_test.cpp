#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/names.h"
#include "core/topic.h"
#include "engine/node.h"
#include "services/pump.h"

namespace {

// The pump subscribes to the event topic once per process, so one engine
// node runs for the whole suite; the pump is shut down at the end.
class EngineNodeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(engine_node_start(0), CORE_OK); }
    void TearDown() override
    {
        PkDeamProcessing::shutdown();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }
};

const ::testing::Environment *const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new EngineNodeEnvironment);

// Codes of this suite; nothing else in the process posts them.
constexpr uint32_t kFirstCode = 0x7E00;

CoreName event_topic()
{
    CoreName name;
    core_name_format(&name, "%s", ENGINE_EVENT_TOPIC);
    return name;
}

struct Delivery {
    int listener;
    uint32_t code;
    std::vector<uint8_t> payload;
    std::thread::id thread;
};

// What every listener of a test saw, in one shared order.
struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;

    void add(Delivery delivery)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            deliveries.push_back(std::move(delivery));
        }
        changed.notify_all();
    }
    // Waits (bounded only so that a lost event fails instead of hanging)
    // until `count` deliveries are in.
    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return deliveries.size() >= count; });
    }
    std::vector<Delivery> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries;
    }
};

// Listeners share the log: the worker may still be inside a listener's call
// when the test that made it ends.
class RecordingListener : public IPkDeamProcessing {
public:
    RecordingListener(std::shared_ptr<Log> log, int id) : log(std::move(log)), id(id) {}
    void onCoreEvent(uint32_t code, const std::vector<uint8_t> &payload) override
    {
        // Only this suite's codes: anything else the engine posts is noise.
        if (code < kFirstCode || code > kFirstCode + 0xFF) return;
        log->add({id, code, payload, std::this_thread::get_id()});
    }
    std::shared_ptr<Log> log;
    int id;
};

class EventPumpTest : public ::testing::Test {
protected:
    void SetUp() override { pump = PkDeamProcessing::instance(); }
    void TearDown() override
    {
        for (const auto &listener : added) pump->removeListener(listener);
    }
    std::shared_ptr<RecordingListener> listen(int id)
    {
        auto listener = std::make_shared<RecordingListener>(shared, id);
        pump->addListener(listener);
        added.push_back(listener);
        return listener;
    }
    static uint64_t post(uint32_t code, const std::vector<uint8_t> &payload)
    {
        return engine_post_event(code, payload.empty() ? nullptr : payload.data(), payload.size());
    }

    std::shared_ptr<PkDeamProcessing> pump;
    std::vector<std::shared_ptr<IPkDeamProcessing>> added;
    std::shared_ptr<Log> shared = std::make_shared<Log>();
    Log &log = *shared;
};

CoreResult note_consumer_thread(const CoreQueueEntry *, void **user)
{
    auto *consumer = static_cast<std::thread::id *>(user[0]);
    *consumer = std::this_thread::get_id();
    return CORE_OK;
}

// Events reach every listener, in registration order, with code and
// payload as posted (an empty payload as an empty vector), on one worker
// thread that is neither the poster's nor the topic's consumer.
TEST_F(EventPumpTest, EventsReachListenersInOrderOnTheWorker)
{
    std::thread::id consumer;
    const CoreName topic = event_topic();
    CoreTopicSubscription spy{};
    spy.fn = note_consumer_thread;
    spy.user[0] = &consumer;
    const uint64_t spyKey = core_topic_subscribe(&topic, &spy);
    ASSERT_NE(spyKey, 0u);

    listen(1);
    listen(2);
    const std::vector<std::vector<uint8_t>> payloads = {{1, 2, 3}, {}, std::vector<uint8_t>(4096, 0xA5), {0}};
    for (size_t i = 0; i < payloads.size(); i++) ASSERT_NE(post(kFirstCode + uint32_t(i), payloads[i]), 0u);

    ASSERT_TRUE(log.waitFor(2 * payloads.size()));
    core_topic_unsubscribe(&topic, spyKey);
    const std::vector<Delivery> seen = log.snapshot();
    ASSERT_EQ(seen.size(), 2 * payloads.size());
    for (size_t i = 0; i < payloads.size(); i++) {
        for (int listener = 0; listener < 2; listener++) {
            const Delivery &d = seen[2 * i + listener];
            EXPECT_EQ(d.listener, listener + 1) << "event " << i;
            EXPECT_EQ(d.code, kFirstCode + i);
            EXPECT_EQ(d.payload, payloads[i]);
            EXPECT_EQ(d.thread, seen[0].thread);
        }
    }
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
    EXPECT_NE(seen[0].thread, consumer);
}

// Listeners added twice are called twice; removing drops one entry; a
// listener that removes itself during a dispatch is not called again, while
// the others of that dispatch still are.
TEST_F(EventPumpTest, ListenersAddedRemovedAndRemovingThemselves)
{
    class SelfRemoving : public IPkDeamProcessing {
    public:
        explicit SelfRemoving(std::shared_ptr<Log> log) : log(std::move(log)) {}
        void onCoreEvent(uint32_t code, const std::vector<uint8_t> &payload) override
        {
            if (code < kFirstCode || code > kFirstCode + 0xFF) return;
            log->add({9, code, payload, std::this_thread::get_id()});
            PkDeamProcessing::instance()->removeListener(self.lock());
        }
        std::shared_ptr<Log> log;
        std::weak_ptr<SelfRemoving> self;
    };

    auto twice = listen(1);
    pump->addListener(twice);
    auto leaving = std::make_shared<SelfRemoving>(shared);
    leaving->self = leaving;
    pump->addListener(leaving);
    listen(2);

    ASSERT_NE(post(kFirstCode, {}), 0u);
    ASSERT_TRUE(log.waitFor(4));
    pump->removeListener(twice);
    ASSERT_NE(post(kFirstCode + 1, {}), 0u);
    ASSERT_TRUE(log.waitFor(6));

    std::vector<std::pair<int, uint32_t>> order;
    for (const Delivery &d : log.snapshot()) order.emplace_back(d.listener, d.code);
    const std::vector<std::pair<int, uint32_t>> expected = {
        {1, kFirstCode}, {1, kFirstCode}, {9, kFirstCode}, {2, kFirstCode}, {1, kFirstCode + 1}, {2, kFirstCode + 1}};
    EXPECT_EQ(order, expected);
}

// Several threads posting at once: each poster's events arrive complete and
// in its own order, all on the worker.
TEST_F(EventPumpTest, ConcurrentPostersKeepTheirOrder)
{
    listen(1);
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; t++) {
        posters.emplace_back([t] {
            for (int i = 0; i < kEach; i++) {
                const std::vector<uint8_t> payload = {uint8_t(i), uint8_t(i >> 8)};
                post(kFirstCode + uint32_t(t), payload);
            }
        });
    }
    for (auto &poster : posters) poster.join();

    ASSERT_TRUE(log.waitFor(kThreads * kEach));
    int next[kThreads] = {};
    const std::vector<Delivery> seen = log.snapshot();
    for (const Delivery &d : seen) {
        const uint32_t t = d.code - kFirstCode;
        ASSERT_LT(t, uint32_t(kThreads));
        ASSERT_EQ(d.payload.size(), 2u);
        EXPECT_EQ(d.payload[0] | (d.payload[1] << 8), next[t]++);
        EXPECT_EQ(d.thread, seen[0].thread);
    }
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(next[t], kEach);
}

// Defined last, since tests run in file order and the pump does not come
// back after its shut-down. Shut-down waits for the event being delivered,
// delivers nothing afterwards, and a second shut-down changes nothing.
TEST_F(EventPumpTest, ShutdownFinishesTheCurrentEventAndStopsDelivery)
{
    class Blocking : public IPkDeamProcessing {
    public:
        void onCoreEvent(uint32_t code, const std::vector<uint8_t> &) override
        {
            if (code < kFirstCode || code > kFirstCode + 0xFF) return;
            std::unique_lock<std::mutex> lock(mutex);
            calls++;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            finished++;
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        int calls = 0;
        int finished = 0;
    };
    auto blocking = std::make_shared<Blocking>();
    pump->addListener(blocking);
    added.push_back(blocking);

    constexpr int kQueued = 50;
    uint64_t last = 0;
    for (int i = 0; i < kQueued; i++) last = post(kFirstCode, {});
    const CoreName topic = event_topic();
    ASSERT_EQ(core_topic_wait(&topic, last), CORE_OK);
    {
        std::unique_lock<std::mutex> lock(blocking->mutex);
        ASSERT_TRUE(blocking->changed.wait_for(lock, std::chrono::seconds(30), [&] { return blocking->calls == 1; }));
    }

    int finishedAtReturn = -1;
    std::thread stopper([&] {
        PkDeamProcessing::shutdown();
        std::lock_guard<std::mutex> lock(blocking->mutex);
        finishedAtReturn = blocking->finished;
    });
    {
        std::lock_guard<std::mutex> lock(blocking->mutex);
        blocking->released = true;
    }
    blocking->changed.notify_all();
    stopper.join();
    EXPECT_GE(finishedAtReturn, 1);

    int callsAtShutdown;
    {
        std::lock_guard<std::mutex> lock(blocking->mutex);
        callsAtShutdown = blocking->calls;
        EXPECT_EQ(blocking->finished, blocking->calls);
    }
    PkDeamProcessing::shutdown();
    const uint64_t after = post(kFirstCode, {});
    ASSERT_NE(after, 0u);
    ASSERT_EQ(core_topic_wait(&topic, after), CORE_OK);
    std::lock_guard<std::mutex> lock(blocking->mutex);
    EXPECT_EQ(blocking->calls, callsAtShutdown);
    EXPECT_LE(blocking->calls, kQueued);
}

}  // namespace
