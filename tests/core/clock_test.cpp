#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/random.h"

namespace {

TEST(CoreClock, WallConversionIsExact)
{
    constexpr uint64_t kEpochDelta = 116444736000000000ull;
    struct Case {
        uint64_t filetime;
        uint64_t unix_us;
    } cases[] = {
        {kEpochDelta, 0},
        {kEpochDelta + 2208988800ull * 10000000ull, 2208988800000000ull},  // 2040-01-01
        {kEpochDelta + 15, 1},                                              // 1.5 us rounds down
        {kEpochDelta + 10000000ull + 9999999ull, 1999999ull},
    };
    for (const Case &c : cases) EXPECT_EQ(core_clock_filetime_to_unix_us(c.filetime), c.unix_us);
}

TEST(CoreClock, WallAgreesWithRealtime)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t before = static_cast<uint64_t>(ts.tv_sec) * 1000000ull + static_cast<uint64_t>(ts.tv_nsec) / 1000;
    uint64_t ours = core_clock_wall_us();
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t after = static_cast<uint64_t>(ts.tv_sec) * 1000000ull + static_cast<uint64_t>(ts.tv_nsec) / 1000;
    EXPECT_GE(ours, before);
    EXPECT_LE(ours, after);
}

TEST(CoreClock, MonotonicNeverDecreasesAcrossThreads)
{
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failed] {
            uint64_t previous = core_clock_mono_ns();
            for (int i = 0; i < 200000; ++i) {
                uint64_t now = core_clock_mono_ns();
                if (now < previous) failed = true;
                previous = now;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_FALSE(failed);
}

TEST(CoreClock, SleepsLastAtLeastTheirTime)
{
    CoreSleeper *sleeper = core_sleeper_create();
    ASSERT_NE(sleeper, nullptr);
    for (int i = 0; i < 5; ++i) {
        uint64_t start = core_clock_mono_ns();
        EXPECT_EQ(core_sleeper_wait(sleeper, 1000000), 0);
        uint64_t elapsed = core_clock_mono_ns() - start;
        EXPECT_GE(elapsed, 1000000u);
        EXPECT_LT(elapsed, 2000000000u);
    }
    core_sleeper_destroy(&sleeper);
    EXPECT_EQ(sleeper, nullptr);
    EXPECT_EQ(core_sleeper_wait(nullptr, 1), -1);

    uint64_t start = core_clock_mono_ns();
    core_poll_sleep();
    uint64_t elapsed = core_clock_mono_ns() - start;
    EXPECT_GE(elapsed, 5000000u);
}

int counting_hook(void *context)
{
    int *next = static_cast<int *>(context);
    return (*next)++;
}

TEST(CoreRandom, U64TakesLowBytesFirstMostSignificant)
{
    int next = 1;
    core_rand_set_hook(counting_hook, &next);
    uint64_t value = core_random_u64();
    core_rand_set_hook(nullptr, nullptr);
    EXPECT_EQ(value, 0x0102030405060708ull);
}

TEST(CoreRandom, ThreadsHaveTheirOwnState)
{
    // The same seed on two threads gives the same sequence: no shared state.
    auto draw = [] {
        core_srand(42);
        std::vector<int> v;
        for (int i = 0; i < 16; ++i) v.push_back(core_rand());
        return v;
    };
    std::vector<int> a, b;
    std::thread ta([&] { a = draw(); });
    std::thread tb([&] { b = draw(); });
    ta.join();
    tb.join();
    EXPECT_EQ(a, b);
    for (int v : a) {
        EXPECT_GE(v, 0);
        EXPECT_LE(v, CORE_RAND_MAX);
    }
}

}  // namespace
