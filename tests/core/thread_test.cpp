#include <gtest/gtest.h>

#include <atomic>

#include "core/clock.h"
#include "core/thread.h"

namespace {

int store_args(void **args)
{
    auto *out = static_cast<std::atomic<uintptr_t> *>(args[0]);
    out->store(reinterpret_cast<uintptr_t>(args[1]));
    return 0;
}

TEST(CoreThread, RunsWithItsArgumentPairAndJoins)
{
    std::atomic<uintptr_t> seen{0};
    CoreThreadRecord *record = core_thread_start(store_args, &seen, reinterpret_cast<void *>(0x1234), "t-args");
    ASSERT_NE(record, nullptr);
    uint64_t abandoned = core_thread_abandoned_count();
    EXPECT_EQ(core_thread_join(&record), 0);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(seen.load(), 0x1234u);
    EXPECT_EQ(core_thread_abandoned_count(), abandoned);

    CoreThreadRecord *none = nullptr;
    EXPECT_EQ(core_thread_join(&none), 0);
}

int wait_for_flag(void **args)
{
    auto *stop = static_cast<std::atomic<bool> *>(args[0]);
    while (!stop->load()) core_sleep_ms(5);
    return 0;
}

TEST(CoreThread, JoinAbandonsAThreadThatWillNotStop)
{
    // The flag must outlive the abandoned thread, which keeps reading it.
    static std::atomic<bool> stop{false};
    CoreThreadRecord *record = core_thread_start(wait_for_flag, &stop, nullptr, "t-stuck");
    ASSERT_NE(record, nullptr);
    uint64_t abandoned = core_thread_abandoned_count();
    uint64_t start = core_clock_mono_ns();
    EXPECT_EQ(core_thread_join(&record), -1);
    uint64_t elapsed_ms = (core_clock_mono_ns() - start) / 1000000;
    EXPECT_GE(elapsed_ms, 3000u);
    EXPECT_LT(elapsed_ms, 30000u);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(core_thread_abandoned_count(), abandoned + 1);
    stop = true;  // let it end before the process does
    core_sleep_ms(20);
}

TEST(CoreThread, IdsAreUniqueAndStable)
{
    uint64_t mine = core_thread_current_id();
    EXPECT_EQ(core_thread_current_id(), mine);
    std::atomic<uint64_t> other{0};
    CoreThreadRecord *record = core_thread_start(
        [](void **args) {
            static_cast<std::atomic<uint64_t> *>(args[0])->store(core_thread_current_id());
            return 0;
        },
        &other, nullptr, nullptr);
    uint64_t record_id = record->id;
    core_thread_join(&record);
    EXPECT_EQ(other.load(), record_id);
    EXPECT_NE(other.load(), mine);
}

}  // namespace
