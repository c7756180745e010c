#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "core/clock.h"
#include "core/executor.h"
#include "core/thread.h"
#include "core/timer.h"

namespace {

bool wait_until(const std::function<bool()> &done, uint32_t limit_ms = 10000)
{
    uint64_t end = core_clock_mono_ms() + limit_ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(2);
    }
    return true;
}

// What a task does each time it runs.
struct Probe {
    std::atomic<int> runs{0};
    std::atomic<int> result{CORE_OK};
    std::atomic<int> self_triggers{0};  // re-trigger itself this many times
    std::atomic<uint32_t> sleep_ms{0};
    std::atomic<uint64_t> last_thread{0};
    std::atomic<bool> thread_changed{false};
};

int probe_task(const CoreName *executor, uint64_t id, const CoreName *, const CoreName *, void **user)
{
    auto *p = static_cast<Probe *>(user[0]);
    uint64_t me = core_thread_current_id();
    uint64_t before = p->last_thread.exchange(me);
    if (before != 0 && before != me && p->self_triggers.load() >= 0 && p->runs.load() > 0 &&
        p->sleep_ms.load() == 1)
        p->thread_changed = true;
    p->runs++;
    if (p->sleep_ms.load() > 1) core_sleep_ms(p->sleep_ms.load());
    if (p->self_triggers.load() > 0) {
        p->self_triggers--;
        core_executor_trigger(executor, id, 0);
    }
    return p->result.load();
}

class ExecutorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        core_executor_registry_start();
        core_name_format(&name_, "test.exec.%d", counter_++);
        ASSERT_EQ(core_executor_create(&name_), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(core_executor_destroy(&name_), 0);
        core_executor_test_set_timing(0, 0);
    }
    uint64_t schedule(Probe *p, int64_t delay)
    {
        CoreTaskCallback cb = {probe_task, {p, nullptr}};
        return core_executor_schedule(&name_, nullptr, nullptr, delay, &cb);
    }
    static inline int counter_ = 0;
    CoreName name_;
};

TEST_F(ExecutorTest, RunsOnceThenWaitsForTriggers)
{
    Probe p;
    uint64_t id = schedule(&p, 0);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(wait_until([&] { return p.runs == 1; }));
    core_sleep_ms(100);
    EXPECT_EQ(p.runs, 1) << "a kept task waits until triggered";

    EXPECT_EQ(core_executor_trigger(&name_, id, 0), 0);
    ASSERT_TRUE(wait_until([&] { return p.runs == 2; }));

    p.result = CORE_AGAIN;
    EXPECT_EQ(core_executor_trigger(&name_, id, 0), 0);
    ASSERT_TRUE(wait_until([&] { return p.runs == 3; }));
    core_sleep_ms(100);
    EXPECT_EQ(p.runs, 3) << "AGAIN without a trigger parks the task";

    CoreExecutor *ex = core_executor_find(&name_);
    core_executor_cancel(ex, id, 1);
    core_executor_release(ex);
    EXPECT_EQ(core_executor_trigger(&name_, id, 0), -1);
}

TEST_F(ExecutorTest, NeverAndOverflowingDelaysPark)
{
    Probe p;
    uint64_t id = schedule(&p, 200);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(core_executor_trigger(&name_, id, CORE_DUE_NEVER), 0);
    EXPECT_EQ(core_executor_trigger(&name_, id, CORE_DUE_NEVER - 1), 0);  // would wrap past INT64_MAX
    core_sleep_ms(400);
    EXPECT_EQ(p.runs, 0);
    EXPECT_EQ(core_executor_trigger(&name_, id, -1), -1);
    EXPECT_EQ(schedule(&p, -5), 0u);

    Probe parked;
    uint64_t parked_id = schedule(&parked, CORE_DUE_NEVER);
    core_sleep_ms(100);
    EXPECT_EQ(parked.runs, 0);
    core_executor_trigger(&name_, parked_id, 0);
    ASSERT_TRUE(wait_until([&] { return parked.runs == 1; }));

    CoreExecutor *ex = core_executor_find(&name_);
    core_executor_cancel(ex, id, 1);
    core_executor_cancel(ex, parked_id, 1);
    core_executor_release(ex);
}

TEST_F(ExecutorTest, EndingResultsRemoveTheTask)
{
    for (int result : {CORE_DONE, CORE_ERR, CORE_FAIL, CORE_NO_DATA}) {
        Probe p;
        p.result = result;
        uint64_t id = schedule(&p, 0);
        ASSERT_TRUE(wait_until([&] { return p.runs == 1; }));
        ASSERT_TRUE(wait_until([&] { return core_executor_trigger(&name_, id, 0) == -1; })) << result;
        core_sleep_ms(50);
        EXPECT_EQ(p.runs, 1) << result;
    }
}

TEST_F(ExecutorTest, SelfTriggerRerunsOnTheSameWorker)
{
    Probe p;
    p.self_triggers = 5;
    p.sleep_ms = 1;
    uint64_t id = schedule(&p, 0);
    ASSERT_TRUE(wait_until([&] { return p.runs == 6; }));
    core_sleep_ms(100);
    EXPECT_EQ(p.runs, 6);
    EXPECT_FALSE(p.thread_changed);
    CoreExecutor *ex = core_executor_find(&name_);
    core_executor_cancel(ex, id, 1);
    core_executor_release(ex);
}

TEST_F(ExecutorTest, WorkersGrowForSimultaneousTasksAndRetire)
{
    // Fresh executor with short timings so retirement is seen quickly.
    CoreName quick;
    core_name_format(&quick, "test.exec.quick");
    core_executor_test_set_timing(50, 300);
    ASSERT_EQ(core_executor_create(&quick), 0);
    CoreExecutor *ex = core_executor_find(&quick);
    EXPECT_EQ(core_executor_worker_count(ex), 1u);

    Probe probes[10];
    uint64_t ids[10];
    for (int i = 0; i < 10; ++i) {
        probes[i].sleep_ms = 300;
        CoreTaskCallback cb = {probe_task, {&probes[i], nullptr}};
        ids[i] = core_executor_schedule(&quick, nullptr, nullptr, 0, &cb);
    }
    ASSERT_TRUE(wait_until([&] {
        for (auto &p : probes)
            if (p.runs == 0) return false;
        return true;
    }));
    EXPECT_EQ(core_executor_worker_count(ex), 10u);
    ASSERT_TRUE(wait_until([&] { return core_executor_worker_count(ex) == 1; }))
        << "idle on-demand workers retire";
    for (uint64_t id : ids) core_executor_cancel(ex, id, 1);
    core_executor_release(ex);
    EXPECT_EQ(core_executor_destroy(&quick), 0);
}

TEST_F(ExecutorTest, IdsWrapAndSkipIdsInUse)
{
    CoreExecutor *ex = core_executor_find(&name_);
    Probe p;
    core_executor_test_set_last_id(ex, UINT64_MAX - 1);
    uint64_t a = schedule(&p, CORE_DUE_NEVER);
    EXPECT_EQ(a, UINT64_MAX);
    uint64_t b = schedule(&p, CORE_DUE_NEVER);
    EXPECT_EQ(b, 1u);
    core_executor_test_set_last_id(ex, UINT64_MAX);
    uint64_t c = schedule(&p, CORE_DUE_NEVER);
    EXPECT_EQ(c, 2u) << "id 1 is still in use";
    for (uint64_t id : {a, b, c}) core_executor_cancel(ex, id, 1);
    core_executor_release(ex);
}

TEST_F(ExecutorTest, CancelWithWaitReturnsAfterTheCallback)
{
    Probe p;
    p.sleep_ms = 300;
    uint64_t id = schedule(&p, 0);
    ASSERT_TRUE(wait_until([&] { return p.runs == 1; }));
    CoreExecutor *ex = core_executor_find(&name_);
    uint64_t start = core_clock_mono_ms();
    core_executor_cancel(ex, id, 1);
    EXPECT_GE(core_clock_mono_ms() - start, 200u);
    EXPECT_EQ(core_executor_task_get(ex, id), nullptr);
    core_executor_release(ex);
}

// A consumer that drains a counter and parks; producers trigger it after
// every increment. A trigger that lands while the consumer is finishing its
// last look must still lead to a run.
struct Drain {
    std::atomic<uint64_t> produced{0};
    std::atomic<uint64_t> consumed{0};
};

int drain_task(const CoreName *, uint64_t, const CoreName *, const CoreName *, void **user)
{
    auto *d = static_cast<Drain *>(user[0]);
    d->consumed.store(d->produced.load());
    return CORE_OK;
}

TEST_F(ExecutorTest, NoTriggerIsLost)
{
    Drain d;
    CoreTaskCallback cb = {drain_task, {&d, nullptr}};
    uint64_t id = core_executor_schedule(&name_, nullptr, nullptr, CORE_DUE_NEVER, &cb);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                d.produced++;
                core_executor_trigger(&name_, id, 0);
            }
        });
    }
    for (auto &th : producers) th.join();
    EXPECT_TRUE(wait_until([&] { return d.consumed.load() == 80000; }));
    CoreExecutor *ex = core_executor_find(&name_);
    core_executor_cancel(ex, id, 1);
    core_executor_release(ex);
}

TEST(CoreExecutorRegistry, RefusesEmptyDuplicateAndUnknown)
{
    core_executor_registry_start();
    CoreName empty = {};
    EXPECT_EQ(core_executor_create(&empty), -1);
    CoreName n;
    core_name_format(&n, "test.exec.dup");
    EXPECT_EQ(core_executor_create(&n), 0);
    EXPECT_EQ(core_executor_create(&n), -1);
    EXPECT_EQ(core_executor_destroy(&n), 0);
    EXPECT_EQ(core_executor_destroy(&n), -1);
    EXPECT_EQ(core_executor_find(&n), nullptr);
    Probe p;
    CoreTaskCallback cb = {probe_task, {&p, nullptr}};
    EXPECT_EQ(core_executor_schedule(&n, nullptr, nullptr, 0, &cb), 0u);
}

struct TimerProbe {
    std::atomic<int> calls{0};
    CoreTimer *self = nullptr;
    std::atomic<bool> in_callback{false};
    std::atomic<bool> done{false};
    std::atomic<bool> ready{false};  // self is set
};

void destroy_self(void **user)
{
    auto *p = static_cast<TimerProbe *>(user[0]);
    p->calls++;
    while (!p->ready.load()) core_sleep_ms(1);
    core_timer_destroy(&p->self);
    p->done = true;
}

void slow_tick(void **user)
{
    auto *p = static_cast<TimerProbe *>(user[0]);
    p->in_callback = true;
    p->calls++;
    core_sleep_ms(200);
    p->in_callback = false;
}

TEST(CoreTimer, DestroyWaitsForARunningCallbackOrHappensInside)
{
    TimerProbe inside;
    inside.self = core_timer_create(1, 1, destroy_self, &inside, nullptr);
    ASSERT_NE(inside.self, nullptr);
    inside.ready = true;
    ASSERT_TRUE(wait_until([&] { return inside.done.load(); }));
    core_sleep_ms(20);
    EXPECT_EQ(inside.calls, 1);

    TimerProbe outside;
    CoreTimer *timer = core_timer_create(0, 10, slow_tick, &outside, nullptr);
    ASSERT_TRUE(wait_until([&] { return outside.in_callback.load(); }));
    core_timer_destroy(&timer);
    EXPECT_FALSE(outside.in_callback.load()) << "destroy returned while the callback ran";
    EXPECT_EQ(timer, nullptr);
}

}  // namespace
