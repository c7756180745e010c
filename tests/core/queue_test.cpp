#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/queue.h"
#include "core/random.h"

namespace {

bool wait_until(const std::function<bool()> &done, uint32_t limit_ms = 20000)
{
    uint64_t end = core_clock_mono_ms() + limit_ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(2);
    }
    return true;
}

int post_u64(CoreQueue *q, uint64_t value, uint32_t type = 1)
{
    CoreIoVec vec = {sizeof(value), &value};
    return core_queue_post(q, nullptr, type, 0, &vec, 1);
}

uint64_t value_of(const CoreQueueEntry &e)
{
    uint64_t v;
    memcpy(&v, e.data, sizeof(v));
    return v;
}

CoreName executor_name()
{
    static std::once_flag once;
    CoreName n;
    core_name_format(&n, "test.queue.exec");
    std::call_once(once, [&] {
        core_executor_registry_start();
        core_executor_create(&n);
    });
    return n;
}

// ---- consumer modes: thread and executor task ----

struct Collector {
    std::mutex lock;
    std::vector<uint64_t> seen;
    std::atomic<uint64_t> total{0};
};

int collect(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *c = static_cast<Collector *>(user[0]);
    std::lock_guard<std::mutex> guard(c->lock);
    for (uint64_t i = 0; i < *count; ++i) c->seen.push_back(value_of(entries[i]));
    c->total += *count;
    return CORE_OK;
}

class QueueModes : public ::testing::TestWithParam<bool> {
protected:
    CoreQueueConfig config(CoreQueueConsumerFn fn, void *user, uint64_t batch = 8)
    {
        CoreQueueConfig qc = {};
        qc.batch = batch;
        qc.pause_ms = 100;
        qc.consumer = fn;
        qc.user[0] = user;
        if (GetParam()) qc.executor = executor_name();
        return qc;
    }
};

TEST_P(QueueModes, ManyPostersAllConsumedInOrderExactlyOnce)
{
    Collector c;
    CoreQueueConfig qc = config(collect, &c);
    CoreQueue *q = core_queue_create(&qc);
    ASSERT_NE(q, nullptr);
    constexpr int kPosters = 4;
    constexpr uint64_t kEach = 100000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kPosters; ++t) {
        posters.emplace_back([q, t] {
            for (uint64_t i = 0; i < kEach; ++i) {
                ASSERT_EQ(post_u64(q, (static_cast<uint64_t>(t) << 32) | i), 0);
                if ((core_rand() & 1023) == 0) core_sleep_ms(1);  // random gaps
            }
        });
    }
    for (auto &th : posters) th.join();
    // The last message must arrive without any later post.
    ASSERT_TRUE(wait_until([&] { return c.total.load() == kPosters * kEach; }));
    std::vector<uint64_t> next(kPosters, 0);
    for (uint64_t v : c.seen) {
        int t = static_cast<int>(v >> 32);
        ASSERT_EQ(v & 0xFFFFFFFFu, next[t]) << "poster " << t;
        next[t]++;
    }
    core_queue_destroy(&q);
    EXPECT_EQ(q, nullptr);
}

// Takes two of each batch of four and asks to be called again.
int take_two(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *c = static_cast<Collector *>(user[0]);
    std::lock_guard<std::mutex> guard(c->lock);
    if (*count > 2) *count = 2;
    for (uint64_t i = 0; i < *count; ++i) c->seen.push_back(value_of(entries[i]));
    c->total += *count;
    return CORE_OK;
}

TEST_P(QueueModes, ConsumerRemovesOnlyWhatItTook)
{
    Collector c;
    CoreQueueConfig qc = config(take_two, &c, 4);
    CoreQueue *q = core_queue_create(&qc);
    ASSERT_NE(q, nullptr);
    CoreQueueEntry batch[3] = {};
    uint64_t values[3] = {10, 11, 12};
    for (int i = 0; i < 3; ++i) {
        batch[i].type = 1;
        batch[i].length = 8;
        batch[i].data = &values[i];
    }
    ASSERT_EQ(core_queue_post_batch(q, batch, 3), 0);
    ASSERT_TRUE(wait_until([&] { return c.total.load() == 3; }));
    std::lock_guard<std::mutex> guard(c.lock);
    EXPECT_EQ(c.seen, (std::vector<uint64_t>{10, 11, 12}));
    core_queue_destroy(&q);
}

struct Retrier {
    std::atomic<int> calls{0};
    std::atomic<uint64_t> first_ms{0};
    std::atomic<uint64_t> second_ms{0};
};

int again_once(CoreQueueEntry *entry, void **user)
{
    auto *r = static_cast<Retrier *>(user[0]);
    int n = ++r->calls;
    if (n == 1) {
        r->first_ms = core_clock_mono_ms();
        return CORE_AGAIN;
    }
    if (n == 2) r->second_ms = core_clock_mono_ms();
    (void)entry;
    return CORE_OK;
}

TEST_P(QueueModes, PipeRetriesNoSoonerThanItsPause)
{
    Retrier r;
    CorePipeConfig pc = {};
    pc.fn = again_once;
    pc.user[0] = &r;
    if (GetParam()) pc.executor = executor_name();
    CorePipe *pipe = core_pipe_create(&pc);
    ASSERT_NE(pipe, nullptr);
    ASSERT_EQ(post_u64(pipe->queue, 7), 0);
    ASSERT_TRUE(wait_until([&] { return r.calls.load() >= 2; }));
    EXPECT_GE(r.second_ms - r.first_ms, 100u);
    core_pipe_destroy(&pipe);
}

INSTANTIATE_TEST_SUITE_P(ThreadAndExecutor, QueueModes, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Executor" : "Thread"; });

// ---- reading without a consumer ----

TEST(CoreQueue, FifoAndLifoOrder)
{
    for (uint32_t lifo : {0u, 1u}) {
        CoreQueueConfig qc = {};
        qc.lifo = lifo;
        qc.batch = 1;
        CoreQueue *q = core_queue_create(&qc);
        ASSERT_NE(q, nullptr);
        for (uint64_t v = 1; v <= 3; ++v) post_u64(q, v);
        CoreQueueEntry views[3];
        uint64_t n = 3;
        ASSERT_EQ(core_queue_peek(q, views, &n), 1);
        ASSERT_EQ(n, 3u);
        EXPECT_EQ(value_of(views[0]), lifo ? 3u : 1u);
        CoreQueueRecord *r = core_queue_pop(q);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(value_of(core_queue_record_entry(r)), lifo ? 3u : 1u);
        core_queue_record_free(q, &r);
        EXPECT_EQ(core_queue_count(q), 2u);
        core_queue_flush(q);
        EXPECT_EQ(core_queue_count(q), 0u);
        n = 3;
        EXPECT_EQ(core_queue_peek(q, views, &n), 0);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(core_queue_pop(q), nullptr);
        EXPECT_EQ(core_queue_wake(q), -1);
        core_queue_destroy(&q);
    }
}

TEST(CoreQueue, PostsAndBatches)
{
    CoreQueueConfig qc = {};
    qc.batch = 1;
    qc.pool_size = 4096;  // bounded: a big message does not fit
    CoreQueue *q = core_queue_create(&qc);
    ASSERT_NE(q, nullptr);

    CoreIoVec nulls[2] = {{5, nullptr}, {9, nullptr}};
    ASSERT_EQ(core_queue_post(q, nullptr, 3, 0, nulls, 2), 0);
    CoreQueueRecord *r = core_queue_pop(q);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(core_queue_record_entry(r).length, 0u) << "elements without data are skipped";
    core_queue_record_free(q, &r);

    char a[] = "abc", b[] = "de";
    CoreIoVec parts[2] = {{3, a}, {2, b}};
    ASSERT_EQ(core_queue_post(q, nullptr, 3, 0, parts, 2), 0);
    r = core_queue_pop(q);
    CoreQueueEntry e = core_queue_record_entry(r);
    EXPECT_EQ(std::string(static_cast<char *>(e.data), e.length), "abcde");
    core_queue_record_free(q, &r);

    uint64_t small = 1;
    std::vector<uint8_t> big(8192);
    CoreQueueEntry batch[5] = {};
    for (auto &entry : batch) {
        entry.length = 8;
        entry.data = &small;
    }
    ASSERT_EQ(core_queue_post_batch(q, batch, 5), 0);
    EXPECT_EQ(core_queue_count(q), 5u);
    batch[4].length = big.size();
    batch[4].data = big.data();
    EXPECT_EQ(core_queue_post_batch(q, batch, 5), -1);
    EXPECT_EQ(core_queue_count(q), 5u) << "a failed batch posts nothing";
    for (int i = 0; i < 5; ++i) {
        r = core_queue_pop(q);
        ASSERT_NE(r, nullptr);
        core_queue_record_free(q, &r);
    }
    EXPECT_EQ(core_queue_count(q), 0u);
    core_queue_destroy(&q);
}

// A consumer that blocks inside its pass while another thread pops and
// flushes: it must keep seeing valid data, and nothing is delivered twice.
struct Blocker {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::mutex lock;
    std::vector<uint64_t> seen;
    size_t seen_count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return seen.size();
    }
};

int block_in_pass(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *b = static_cast<Blocker *>(user[0]);
    b->inside = true;
    while (!b->release.load()) core_sleep_ms(1);
    std::lock_guard<std::mutex> guard(b->lock);
    for (uint64_t i = 0; i < *count; ++i) b->seen.push_back(value_of(entries[i]));
    return CORE_OK;
}

TEST(CoreQueue, PopAndFlushDuringAPassDoNotFreeWhatTheConsumerHolds)
{
    for (uint32_t lifo : {0u, 1u}) {
        Blocker b;
        CoreQueueConfig qc = {};
        qc.lifo = lifo;
        qc.batch = 2;
        qc.consumer = block_in_pass;
        qc.user[0] = &b;
        CoreQueue *q = core_queue_create(&qc);
        ASSERT_NE(q, nullptr);
        CoreQueueEntry batch[4] = {};
        uint64_t values[4] = {1, 2, 3, 4};
        for (int i = 0; i < 4; ++i) {
            batch[i].length = 8;
            batch[i].data = &values[i];
        }
        ASSERT_EQ(core_queue_post_batch(q, batch, 4), 0);
        ASSERT_TRUE(wait_until([&] { return b.inside.load(); }));
        CoreQueueRecord *r = core_queue_pop(q);  // takes a message the pass did not see
        ASSERT_NE(r, nullptr);
        uint64_t popped = value_of(core_queue_record_entry(r));
        core_queue_record_free(q, &r);
        core_queue_flush(q);
        b.release = true;
        ASSERT_TRUE(wait_until([&] { return b.seen_count() == 2; }));
        std::lock_guard<std::mutex> guard(b.lock);
        std::vector<uint64_t> expected = lifo ? std::vector<uint64_t>{4, 3} : std::vector<uint64_t>{1, 2};
        EXPECT_EQ(b.seen, expected);
        EXPECT_EQ(popped, lifo ? 2u : 3u);
        EXPECT_TRUE(wait_until([&] { return core_queue_count(q) == 0; }));
        core_queue_destroy(&q);
    }
}

TEST(CoreChannel, SmallPoolSizesAreRaisedAndDeliveryIsOnePerCall)
{
    struct Got {
        std::mutex lock;
        std::vector<uint32_t> types;
    } got;
    CoreChannelConfig cc = {};
    cc.pool_size = 50;
    cc.fn = [](CoreQueueEntry *entry, void **user) {
        auto *g = static_cast<Got *>(user[0]);
        std::lock_guard<std::mutex> guard(g->lock);
        g->types.push_back(entry->type);
        return static_cast<int>(CORE_OK);
    };
    cc.user[0] = &got;
    CoreChannel *channel = core_channel_create(&cc);
    ASSERT_NE(channel, nullptr);
    uint8_t byte = 0;
    for (uint32_t t = 1; t <= 3; ++t) {
        CoreQueueEntry e = {};
        e.type = t;
        e.length = 1;
        e.data = &byte;
        ASSERT_EQ(core_channel_post_entry(channel, &e), 0);
    }
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> guard(got.lock);
        return got.types.size() == 3;
    }));
    EXPECT_EQ(got.types, (std::vector<uint32_t>{1, 2, 3}));
    core_channel_destroy(&channel);
    EXPECT_EQ(channel, nullptr);
}

TEST(CoreBuffer, CopyClampsToCapacity)
{
    uint8_t src_bytes[6] = {1, 2, 3, 4, 5, 6};
    uint8_t dst_bytes[4] = {9, 9, 9, 9};
    CoreBuffer src = {0, 7, sizeof(src_bytes), sizeof(src_bytes), src_bytes};
    CoreBuffer dst = {0, 0, sizeof(dst_bytes), 0, dst_bytes};
    core_buffer_copy(&dst, &src);
    EXPECT_EQ(dst.length, 4u);
    EXPECT_EQ(dst.tag, 7u);
    EXPECT_EQ(dst_bytes[3], 4);
    CoreBuffer empty = {0, 3, 0, 0, nullptr};
    core_buffer_copy(&dst, &empty);
    EXPECT_EQ(dst.length, 0u);
    EXPECT_EQ(core_iovec_ready(nullptr), 0);
    CoreIoVec ready = {1, src_bytes}, zero = {0, src_bytes};
    EXPECT_EQ(core_iovec_ready(&ready), 1);
    EXPECT_EQ(core_iovec_ready(&zero), 0);
}

}  // namespace
