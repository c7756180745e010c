#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/random.h"
#include "core/thread.h"
#include "runtime_parts_fixture.h"

namespace {

constexpr uint64_t kAlive = 0xA11CEA11CEull;
constexpr uint64_t kPoison = 0xDEADDEADDEADull;

// What a destroy callback saw.
struct Tracker {
    std::atomic<int> destroyed{0};
    std::atomic<uint64_t> thread_id{0};
    std::string thread_name;
    CoreHandleTable *table = nullptr;
    uint64_t handle = 0;
    std::atomic<bool> *hold_destroy = nullptr;  // destroy waits while true
    std::atomic<bool> entered{false};
    CoreHandleTable *release_table = nullptr;  // destroy releases this handle
    uint64_t release_handle = 0;
};

struct Object {
    uint64_t magic;
    Tracker *tracker;
    uint8_t rest[48];
};

void destroy_object(CoreHandleTable *table, void *object, uint64_t handle)
{
    auto *o = static_cast<Object *>(object);
    Tracker *t = o->tracker;
    t->entered = true;
    if (t->hold_destroy != nullptr)
        while (t->hold_destroy->load()) core_sleep_ms(1);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    t->thread_name = name;
    t->table = table;
    t->handle = handle;
    if (t->release_table != nullptr) core_handle_release(t->release_table, t->release_handle);
    o->magic = kPoison;
    t->thread_id = core_thread_current_id();
    t->destroyed++;
}

class CoreHandleTest : public CoreRuntimeParts<> {
protected:
    void SetUp() override
    {
        CoreRuntimeParts::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(core_handle_tables_create(), CORE_OK);
        table = core_handle_tables[CORE_HANDLES_STREAMS];
    }

    void TearDown() override
    {
        core_handle_tables_destroy();
        CoreRuntimeParts::TearDown();
    }

    uint64_t create(Tracker *tracker, CoreHandleTable *in = nullptr)
    {
        void *object = nullptr;
        uint64_t handle = core_handle_create(in ? in : table, sizeof(Object), destroy_object, &object);
        EXPECT_NE(handle, 0u);
        if (object != nullptr) {
            static_cast<Object *>(object)->magic = kAlive;
            static_cast<Object *>(object)->tracker = tracker;
        }
        return handle;
    }

    CoreHandleTable *table = nullptr;
};

TEST_F(CoreHandleTest, LastReleaseDestroysOnceOnTheTableExecutor)
{
    Tracker first, second;
    void *object = nullptr;
    uint64_t h1 = core_handle_create(table, sizeof(Object), destroy_object, &object);
    ASSERT_NE(h1, 0u);
    std::vector<uint8_t> zero(sizeof(Object), 0);
    EXPECT_EQ(memcmp(object, zero.data(), sizeof(Object)), 0);
    static_cast<Object *>(object)->tracker = &first;
    uint64_t h2 = create(&second);
    EXPECT_EQ(h2, h1 + 1);

    EXPECT_EQ(core_handle_acquire(table, h1), object);
    EXPECT_EQ(core_handle_release(table, h1), 1u);
    EXPECT_EQ(core_handle_release(table, h1), 0u);
    core_handle_wait_freed(table, h1);
    EXPECT_EQ(first.destroyed.load(), 1);
    EXPECT_NE(first.thread_id.load(), core_thread_current_id());
    EXPECT_EQ(first.thread_name, "core-worker");
    EXPECT_EQ(first.table, table);
    EXPECT_EQ(first.handle, h1);

    // Gone: nothing to acquire, and further releases schedule nothing.
    EXPECT_EQ(core_handle_acquire(table, h1), nullptr);
    EXPECT_EQ(core_handle_release(table, h1), 0u);
    EXPECT_EQ(core_handle_release(table, 999), 0u);
    core_sleep_ms(20);
    EXPECT_EQ(first.destroyed.load(), 1);
    EXPECT_EQ(second.destroyed.load(), 0);
    EXPECT_EQ(core_handle_create(table, 8, nullptr, nullptr), h2 + 1);  // never reused
}

TEST_F(CoreHandleTest, HandleBeingFreedIsNotHandedOutAndKeepsWaitersWaiting)
{
    std::atomic<bool> hold{true};
    Tracker tracker;
    tracker.hold_destroy = &hold;
    uint64_t h = create(&tracker);
    EXPECT_EQ(core_handle_release(table, h), 0u);
    while (!tracker.entered.load()) core_sleep_ms(1);

    EXPECT_EQ(core_handle_acquire(table, h), nullptr);
    EXPECT_EQ(core_handle_release(table, h), 0u);
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        core_handle_wait_freed(table, h);
        waited = true;
    });
    core_sleep_ms(30);
    EXPECT_FALSE(waited.load());
    hold = false;
    waiter.join();
    EXPECT_EQ(tracker.destroyed.load(), 1);
}

TEST_F(CoreHandleTest, WaitFreedAcrossThreads)
{
    Tracker tracker;
    uint64_t h = create(&tracker);
    std::atomic<bool> acquired{false};
    std::thread user([&] {
        EXPECT_NE(core_handle_acquire(table, h), nullptr);
        acquired = true;
        core_sleep_ms(30);
        EXPECT_EQ(tracker.destroyed.load(), 0);
        EXPECT_EQ(core_handle_release(table, h), 0u);
    });
    while (!acquired.load()) core_sleep_ms(1);
    EXPECT_EQ(core_handle_release(table, h), 1u);  // the creator's
    core_handle_wait_freed(table, h);
    EXPECT_EQ(tracker.destroyed.load(), 1);
    user.join();
}

// A thread's count covers exactly the references it acquired and still
// holds: with any of them it skips the wait, with none it waits for the free.
TEST_F(CoreHandleTest, PerThreadCountFollowsOwnAcquires)
{
    Tracker kept, other;
    uint64_t h_kept = create(&kept), h_other = create(&other);

    // Acquired twice, released twice: back to no references.
    ASSERT_NE(core_handle_acquire(table, h_kept), nullptr);
    ASSERT_NE(core_handle_acquire(table, h_kept), nullptr);
    core_handle_wait_freed(table, h_other);  // holds h_kept: at once
    EXPECT_EQ(core_handle_release(table, h_kept), 2u);
    EXPECT_EQ(core_handle_release(table, h_kept), 1u);
    std::thread releaser([&] {
        core_sleep_ms(30);
        core_handle_release(table, h_other);
    });
    core_handle_wait_freed(table, h_other);
    EXPECT_EQ(other.destroyed.load(), 1);
    releaser.join();

    // Releasing the creator's reference of another object is not one of
    // this thread's: its own acquired reference still counts, so it skips
    // the wait for the object it keeps alive itself.
    Tracker created;
    uint64_t h_created = create(&created);
    std::atomic<bool> returned{false};
    std::thread holder([&] {
        EXPECT_NE(core_handle_acquire(table, h_kept), nullptr);
        EXPECT_EQ(core_handle_release(table, h_created), 0u);
        core_handle_wait_freed(table, h_kept);
        returned = true;
        core_handle_release(table, h_kept);
    });
    for (int i = 0; i < 1000 && !returned.load(); ++i) core_sleep_ms(10);
    EXPECT_TRUE(returned.load());
    if (!returned.load()) {
        // Ends the wait by freeing the object.
        core_handle_release(table, h_kept);
        core_handle_release(table, h_kept);
    }
    holder.join();
    EXPECT_EQ(kept.destroyed.load(), 0);
    EXPECT_EQ(core_handle_release(table, h_kept), 0u);
    core_handle_wait_freed(table, h_kept);
    EXPECT_EQ(kept.destroyed.load(), 1);
    EXPECT_EQ(created.destroyed.load(), 1);
    EXPECT_EQ(table->threads->count, 0u);
    EXPECT_EQ(table->holds->count, 0u);
}

// A reference acquired on one thread and released on another: once the
// object is gone the acquiring thread holds nothing and waits normally.
TEST_F(CoreHandleTest, ReferenceReleasedOnAnotherThreadLeavesNoCount)
{
    Tracker handed, later;
    uint64_t h_handed = create(&handed), h_later = create(&later);
    std::atomic<int> step{0};
    std::atomic<bool> later_destroyed_on_return{false};
    std::thread holder([&] {
        EXPECT_NE(core_handle_acquire(table, h_handed), nullptr);
        step = 1;
        while (step.load() != 2) core_sleep_ms(1);
        core_handle_wait_freed(table, h_later);
        later_destroyed_on_return = later.destroyed.load() == 1;
    });
    while (step.load() != 1) core_sleep_ms(1);
    EXPECT_EQ(core_handle_release(table, h_handed), 1u);  // the holder's, handed over
    EXPECT_EQ(core_handle_release(table, h_handed), 0u);
    core_handle_wait_freed(table, h_handed);
    step = 2;
    core_sleep_ms(30);
    EXPECT_EQ(core_handle_release(table, h_later), 0u);
    holder.join();
    EXPECT_TRUE(later_destroyed_on_return.load());
}

// Frees released just before stop still run, also one that a destroy
// callback running in a later table releases into a table already passed.
TEST_F(CoreHandleTest, FreesPendingAtStopStillRun)
{
    CoreHandleTable *network = core_handle_tables[CORE_HANDLES_NETWORK];
    std::atomic<bool> hold{true};
    Tracker slow, chained, idle;
    slow.hold_destroy = &hold;
    slow.release_table = table;
    slow.release_handle = create(&chained);
    uint64_t h_slow = create(&slow, network);
    create(&idle, core_handle_tables[CORE_HANDLES_STATUS]);  // never released
    // Many at once, so that some are still queued when the stop begins.
    std::vector<Tracker> released(100);
    std::vector<uint64_t> handles;
    for (Tracker &t : released) handles.push_back(create(&t));

    EXPECT_EQ(core_handle_release(network, h_slow), 0u);
    for (uint64_t h : handles) EXPECT_EQ(core_handle_release(table, h), 0u);
    std::thread unblock([&] {
        core_sleep_ms(30);
        hold = false;
    });
    core_handle_tables_destroy();
    unblock.join();
    for (const Tracker &t : released) {
        EXPECT_EQ(t.destroyed.load(), 1);
        EXPECT_EQ(t.thread_name, "core-worker");  // as usual, not by the stop
    }
    EXPECT_EQ(slow.destroyed.load(), 1);
    EXPECT_EQ(chained.destroyed.load(), 1);
    EXPECT_EQ(idle.destroyed.load(), 0);  // freed without its destroy: never released
    for (CoreHandleTable *t : core_handle_tables) EXPECT_EQ(t, nullptr);
}

TEST_F(CoreHandleTest, TablesCreateDestroyAndExecutorNames)
{
    EXPECT_EQ(core_handle_tables_create(), CORE_FAIL);  // they exist
    for (CoreHandleTable *t : core_handle_tables) {
        ASSERT_NE(t, nullptr);
        char expected[40];
        snprintf(expected, sizeof(expected), "96D25219C0EB4C%016llX",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(t)));
        EXPECT_EQ(std::string(t->executor.text), expected);
        CoreExecutor *executor = core_executor_find(&t->executor);
        EXPECT_NE(executor, nullptr);
        core_executor_release(executor);
    }
    core_handle_tables_destroy();
    core_handle_tables_destroy();  // harmless twice
    EXPECT_EQ(core_handle_acquire(nullptr, 1), nullptr);
    EXPECT_EQ(core_handle_release(nullptr, 1), 0u);
    EXPECT_EQ(core_handle_create(nullptr, 8, nullptr, nullptr), 0u);
    core_handle_wait_freed(nullptr, 1);
    ASSERT_EQ(core_handle_tables_create(), CORE_OK);
}

// Threads acquire and release at random while the creators' references
// go: each object is destroyed exactly once, never while a thread uses it,
// and no thread is left with a count.
TEST_F(CoreHandleTest, ConcurrentUseFreesEachObjectOnce)
{
    constexpr int kObjects = 64;
    constexpr int kThreads = 8;
    std::vector<Tracker> trackers(kObjects);
    std::vector<uint64_t> handles;
    for (Tracker &t : trackers) handles.push_back(create(&t));

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> users;
    for (int i = 0; i < kThreads; ++i) {
        users.emplace_back([&] {
            while (!stop) {
                uint64_t h = handles[core_random_u64() % kObjects];
                auto *o = static_cast<Object *>(core_handle_acquire(table, h));
                if (o == nullptr) continue;
                if (o->magic != kAlive) bad++;
                std::this_thread::yield();
                if (o->magic != kAlive) bad++;
                core_handle_release(table, h);
            }
        });
    }
    for (uint64_t h : handles) {
        core_sleep_ms(1);
        core_handle_release(table, h);
    }
    stop = true;
    for (std::thread &t : users) t.join();
    for (uint64_t h : handles) core_handle_wait_freed(table, h);
    EXPECT_EQ(bad.load(), 0);
    for (const Tracker &t : trackers) EXPECT_EQ(t.destroyed.load(), 1);
    EXPECT_EQ(table->threads->count, 0u);
    EXPECT_EQ(table->holds->count, 0u);
}

}  // namespace
