#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/topic.h"
#include "runtime_parts_fixture.h"

namespace {

uint64_t post_u64(const CoreName &topic, uint64_t value, uint32_t type = 7)
{
    CoreMessage message = {type, 0, sizeof(value), &value};
    return core_topic_post(&topic, &message);
}

// What subscribers saw, in the order they saw it.
struct Seen {
    std::mutex lock;
    struct Call {
        int subscriber;
        uint64_t number;
        uint64_t value;
    };
    std::vector<Call> calls;
    std::set<uint64_t> delivered;  // numbers

    std::vector<Call> snapshot()
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
};

// user[0]: Seen; user[1]: subscriber id.
CoreResult record(const CoreQueueEntry *message, void **user)
{
    auto *seen = static_cast<Seen *>(user[0]);
    uint64_t number = 0, value = 0;
    EXPECT_EQ(core_seq_parse(&number, &message->name), CORE_OK);
    EXPECT_EQ(memcmp(message->name.key, CORE_SEQ_OPS, 8), 0);
    if (message->length == sizeof(value)) memcpy(&value, message->data, sizeof(value));
    std::lock_guard<std::mutex> guard(seen->lock);
    seen->calls.push_back({static_cast<int>(reinterpret_cast<intptr_t>(user[1])), number, value});
    seen->delivered.insert(number);
    return CORE_OK;
}

CoreTopicSubscription recorder(Seen *seen, int id)
{
    return {record, {seen, reinterpret_cast<void *>(static_cast<intptr_t>(id))}};
}

// Param: whether the topic's consumer is a task of the default executor
// (else the topic's own thread).
class CoreTopicTest : public CoreRuntimeParts<::testing::TestWithParam<bool>> {
protected:
    void SetUp() override
    {
        CoreRuntimeParts::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(core_topic_registry_start(), CORE_OK);
        CoreTopicConfig config = {};
        config.pool = core_name_of(CORE_DEFAULT_POOL);
        if (GetParam()) config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        config.word = 2;
        ASSERT_EQ(core_topic_create(&topic, &config), CORE_OK);
    }

    void TearDown() override
    {
        core_topic_registry_stop();
        CoreRuntimeParts::TearDown();
    }

    CoreName topic = core_name_of("test.topic");
};

TEST_P(CoreTopicTest, DeliversInPostingOrderAndSubscriberOrder)
{
    Seen seen;
    CoreTopicSubscription first = recorder(&seen, 1), second = recorder(&seen, 2);
    ASSERT_EQ(core_topic_subscribe(&topic, &first), 1u);
    ASSERT_EQ(core_topic_subscribe(&topic, &second), 2u);

    constexpr uint64_t kMessages = 200;
    std::vector<uint64_t> numbers;
    for (uint64_t i = 0; i < kMessages; ++i) {
        numbers.push_back(post_u64(topic, i));
        ASSERT_GT(numbers.back(), 0u);
    }
    ASSERT_EQ(core_topic_wait(&topic, numbers.back()), CORE_OK);

    std::vector<Seen::Call> calls = seen.snapshot();
    ASSERT_EQ(calls.size(), 2 * kMessages);
    for (uint64_t i = 0; i < kMessages; ++i) {
        for (int s = 0; s < 2; ++s) {
            const Seen::Call &call = calls[2 * i + s];
            EXPECT_EQ(call.subscriber, s + 1);
            EXPECT_EQ(call.number, numbers[i]);
            EXPECT_EQ(call.value, i);  // the payload was copied at post time
        }
    }
}

// Each poster's wait must not return before its own message (and every
// earlier one) was delivered, and the topic delivers in number order.
TEST_P(CoreTopicTest, ConcurrentPostersNeverOutrunTheirOwnDelivery)
{
    Seen seen;
    CoreTopicSubscription subscription = recorder(&seen, 1);
    ASSERT_NE(core_topic_subscribe(&topic, &subscription), 0u);

    constexpr int kPosters = 8;
    constexpr int kPerPoster = 100;
    std::atomic<int> early{0};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i) {
                uint64_t number = post_u64(topic, static_cast<uint64_t>(p) << 32 | static_cast<uint64_t>(i));
                if (number == 0 || core_topic_wait(&topic, number) != CORE_OK) {
                    early++;
                    continue;
                }
                std::lock_guard<std::mutex> guard(seen.lock);
                if (seen.delivered.count(number) == 0) early++;
            }
        });
    }
    for (std::thread &t : posters) t.join();
    EXPECT_EQ(early.load(), 0);

    std::vector<Seen::Call> calls = seen.snapshot();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kPosters * kPerPoster));
    std::vector<uint64_t> next_of(kPosters, 0);
    for (size_t i = 0; i < calls.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(calls[i - 1].number, calls[i].number);
        }
        int poster = static_cast<int>(calls[i].value >> 32);
        EXPECT_EQ(calls[i].value & 0xFFFFFFFFu, next_of[poster]++) << "poster " << poster;
    }
}

struct SelfRemover {
    CoreName topic;
    uint64_t key = 0;
    std::atomic<int> calls{0};
    std::atomic<int> unsubscribe_result{-1000};
};

CoreResult remove_self(const CoreQueueEntry *, void **user)
{
    auto *self = static_cast<SelfRemover *>(user[0]);
    if (self->calls++ == 0) self->unsubscribe_result = core_topic_unsubscribe(&self->topic, self->key);
    return CORE_OK;
}

TEST_P(CoreTopicTest, SubscriberUnsubscribingItselfNeitherBlocksNorSkipsOthers)
{
    Seen seen;
    SelfRemover self;
    self.topic = topic;
    CoreTopicSubscription before = recorder(&seen, 1), after = recorder(&seen, 3);
    CoreTopicSubscription remover = {remove_self, {&self, nullptr}};
    ASSERT_EQ(core_topic_subscribe(&topic, &before), 1u);
    self.key = core_topic_subscribe(&topic, &remover);
    ASSERT_EQ(self.key, 2u);
    ASSERT_EQ(core_topic_subscribe(&topic, &after), 3u);

    uint64_t last = 0;
    for (uint64_t i = 0; i < 5; ++i) last = post_u64(topic, i);
    ASSERT_EQ(core_topic_wait(&topic, last), CORE_OK);

    EXPECT_EQ(self.calls.load(), 1);
    EXPECT_EQ(self.unsubscribe_result.load(), CORE_OK);
    std::vector<Seen::Call> calls = seen.snapshot();
    ASSERT_EQ(calls.size(), 10u);
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].subscriber, i % 2 == 0 ? 1 : 3);

    // Its key is free again at once.
    CoreTopicSubscription again = recorder(&seen, 4);
    EXPECT_EQ(core_topic_subscribe(&topic, &again), 2u);
}

struct Busy {
    std::atomic<bool> inside{false};
    std::atomic<uint64_t> calls{0};
};

CoreResult slow_count(const CoreQueueEntry *, void **user)
{
    auto *busy = static_cast<Busy *>(user[0]);
    busy->inside = true;
    busy->calls++;
    core_sleep_ms(1);
    busy->inside = false;
    return CORE_OK;
}

TEST_P(CoreTopicTest, UnsubscribeOnAnotherThreadWaitsForTheDeliveryInProgress)
{
    Busy busy;
    CoreTopicSubscription subscription = {slow_count, {&busy, nullptr}};
    uint64_t key = core_topic_subscribe(&topic, &subscription);
    ASSERT_NE(key, 0u);

    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) {
            post_u64(topic, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    while (busy.calls.load() < 5) core_sleep_ms(1);
    ASSERT_EQ(core_topic_unsubscribe(&topic, key), CORE_OK);
    EXPECT_FALSE(busy.inside.load());
    uint64_t calls = busy.calls.load();
    stop = true;
    poster.join();
    ASSERT_EQ(core_topic_wait(&topic, post_u64(topic, 2)), CORE_OK);
    EXPECT_EQ(busy.calls.load(), calls);
    EXPECT_EQ(core_topic_unsubscribe(&topic, key), CORE_FAIL);
}

INSTANTIATE_TEST_SUITE_P(Consumer, CoreTopicTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "ExecutorTask" : "OwnThread";
                         });

class CoreTopicRegistry : public CoreRuntimeParts<> {
protected:
    void SetUp() override
    {
        CoreRuntimeParts::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(core_topic_registry_start(), CORE_OK);
    }

    void TearDown() override
    {
        core_topic_registry_stop();
        CoreRuntimeParts::TearDown();
    }

    CoreTopicConfig config = {};
    // Outlives the test body: a removed topic's consumer may still read it
    // until stop has destroyed that topic.
    std::atomic<bool> release{false};
};

TEST_F(CoreTopicRegistry, CallsOnUnknownOrInvalidTopics)
{
    CoreName topic = core_name_of("test.topic"), unknown = core_name_of("test.unknown"), empty = {};
    CoreTopicSubscription subscription = {[](const CoreQueueEntry *, void **) -> CoreResult { return CORE_OK; }, {}};
    CoreTopicSubscription no_callback = {};

    EXPECT_EQ(core_topic_registry_start(), CORE_FAIL);  // already started
    EXPECT_EQ(core_topic_create(&empty, &config), CORE_FAIL);
    EXPECT_EQ(core_topic_create(&topic, nullptr), CORE_FAIL);
    EXPECT_EQ(core_topic_create(&topic, &config), CORE_OK);
    EXPECT_EQ(core_topic_create(&topic, &config), CORE_OK);  // exists

    EXPECT_EQ(post_u64(unknown, 1), 0u);
    EXPECT_EQ(core_topic_wait(&unknown, 1), CORE_FAIL);
    EXPECT_EQ(core_topic_subscribe(&unknown, &subscription), 0u);
    EXPECT_EQ(core_topic_unsubscribe(&unknown, 1), CORE_FAIL);
    EXPECT_EQ(core_topic_remove(&unknown), CORE_FAIL);
    EXPECT_EQ(core_topic_subscribe(&topic, &no_callback), 0u);
    EXPECT_EQ(core_topic_subscribe(&topic, nullptr), 0u);
    EXPECT_EQ(core_topic_post(&topic, nullptr), 0u);

    // A number delivered long ago (or never posted: 0) is reached at once.
    uint64_t number = post_u64(topic, 1);
    ASSERT_EQ(core_topic_wait(&topic, number), CORE_OK);
    uint64_t started = core_clock_mono_ms();
    EXPECT_EQ(core_topic_wait(&topic, number), CORE_OK);
    EXPECT_EQ(core_topic_wait(&topic, 0), CORE_OK);
    EXPECT_LT(core_clock_mono_ms() - started, 1000u);

    core_topic_registry_stop();
    EXPECT_EQ(core_topic_create(&topic, &config), CORE_FAIL);
    EXPECT_EQ(post_u64(topic, 1), 0u);
    EXPECT_EQ(core_topic_wait(&topic, 1), CORE_FAIL);
    EXPECT_EQ(core_topic_subscribe(&topic, &subscription), 0u);
    core_topic_registry_stop();  // harmless twice
    ASSERT_EQ(core_topic_registry_start(), CORE_OK);
}

CoreResult block_until_released(const CoreQueueEntry *, void **user)
{
    auto *release = static_cast<std::atomic<bool> *>(user[0]);
    while (!release->load()) core_sleep_ms(1);
    return CORE_OK;
}

// Removal while a message is being delivered and others wait behind it:
// a waiter learns the topic is gone, the undelivered messages are freed
// (ASan checks), and the name can be used again at once.
TEST_F(CoreTopicRegistry, RemovedTopicEndsWaitersAndFreesItsMessages)
{
    CoreName topic = core_name_of("test.removed");
    ASSERT_EQ(core_topic_create(&topic, &config), CORE_OK);
    CoreTopicSubscription blocker = {block_until_released, {&release, nullptr}};
    ASSERT_NE(core_topic_subscribe(&topic, &blocker), 0u);
    uint64_t last = 0;
    for (uint64_t i = 0; i < 10; ++i) last = post_u64(topic, i);

    std::atomic<int> wait_result{-1000};
    std::thread waiter([&] { wait_result = core_topic_wait(&topic, last); });
    core_sleep_ms(30);
    ASSERT_EQ(core_topic_remove(&topic), CORE_OK);
    waiter.join();
    EXPECT_EQ(wait_result.load(), CORE_FAIL);
    EXPECT_EQ(post_u64(topic, 1), 0u);
    release = true;  // the reclaimer joins the old consumer once it returns

    ASSERT_EQ(core_topic_create(&topic, &config), CORE_OK);
    Seen seen;
    CoreTopicSubscription subscription = recorder(&seen, 1);
    ASSERT_EQ(core_topic_subscribe(&topic, &subscription), 1u);
    ASSERT_EQ(core_topic_wait(&topic, post_u64(topic, 42)), CORE_OK);
    EXPECT_EQ(seen.snapshot().size(), 1u);
}

// Stop destroys topics still present with messages still queued.
TEST_F(CoreTopicRegistry, StopDestroysRemainingTopics)
{
    for (int t = 0; t < 4; ++t) {
        CoreName topic;
        core_name_format(&topic, "test.left.%d", t);
        ASSERT_EQ(core_topic_create(&topic, &config), CORE_OK);
        CoreTopicSubscription subscription = {[](const CoreQueueEntry *, void **) -> CoreResult {
                                                  core_sleep_ms(1);
                                                  return CORE_OK;
                                              },
                                              {}};
        ASSERT_NE(core_topic_subscribe(&topic, &subscription), 0u);
        for (uint64_t i = 0; i < 50; ++i) ASSERT_NE(post_u64(topic, i), 0u);
    }
    core_topic_registry_stop();
    ASSERT_EQ(core_topic_registry_start(), CORE_OK);
}

}  // namespace
