#include "core/clock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "core/executor.h"
#include "core/random.h"

namespace {

// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

uint64_t read_monotonic_raw(bool *ok)
{
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        *ok = false;
        return 0;
    }
    *ok = true;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t clock_start_ns()
{
    static const uint64_t start = [] {
        bool ok;
        uint64_t now = read_monotonic_raw(&ok);
        return ok ? now : 0;
    }();
    return start;
}

std::atomic<uint64_t> g_last_mono{0};

// What core_clock_test_advance_ms added; 0 outside tests.
std::atomic<uint64_t> g_test_offset_ns{0};

timespec to_timespec(uint64_t ns)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
    return ts;
}

void sleep_until_monotonic(uint64_t deadline_ns)
{
    timespec ts = to_timespec(deadline_ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

uint64_t core_clock_filetime_to_unix_us(uint64_t filetime)
{
    uint64_t t = filetime - kFiletimeUnixEpoch;
    return (t / 10000000ull) * 1000000ull + (t / 10ull) % 1000000ull;
}

uint64_t core_clock_wall_us(void)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t filetime = static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
                        static_cast<uint64_t>(ts.tv_nsec) / 100ull + kFiletimeUnixEpoch;
    return core_clock_filetime_to_unix_us(filetime);
}

uint64_t core_clock_mono_ns(void)
{
    uint64_t start = clock_start_ns();
    bool ok;
    uint64_t raw = read_monotonic_raw(&ok);
    if (!ok) return 0;
    uint64_t value = raw - start + g_test_offset_ns.load(std::memory_order_relaxed);
    // Readers on other threads may have published a later reading; never
    // hand out less than what anybody has already seen.
    uint64_t last = g_last_mono.load(std::memory_order_relaxed);
    while (value > last && !g_last_mono.compare_exchange_weak(last, value, std::memory_order_relaxed)) {
    }
    return value > last ? value : last;
}

void core_clock_test_advance_ms(uint64_t ms)
{
    // The offset only grows and readers publish their maximum through
    // g_last_mono, so no thread sees the clock go back across the jump.
    g_test_offset_ns.fetch_add(ms * 1000000ull);
    core_clock_mono_ns();
    core_executor_test_wake_all();
}

CoreSleeper *core_sleeper_create(void)
{
    auto *sleeper = static_cast<CoreSleeper *>(malloc(sizeof(CoreSleeper)));
    if (sleeper != nullptr) sleeper->clock_id = CLOCK_MONOTONIC;
    return sleeper;
}

int core_sleeper_wait(CoreSleeper *sleeper, uint64_t ns)
{
    if (sleeper == nullptr) return -1;
    bool ok;
    uint64_t now = read_monotonic_raw(&ok);
    if (!ok) return -1;
    sleep_until_monotonic(now + ns);
    return 0;
}

void core_sleeper_destroy(CoreSleeper **sleeper)
{
    if (sleeper == nullptr || *sleeper == nullptr) return;
    free(*sleeper);
    *sleeper = nullptr;
}

void core_sleep_ms(uint32_t ms)
{
    bool ok;
    uint64_t now = read_monotonic_raw(&ok);
    sleep_until_monotonic(now + static_cast<uint64_t>(ms) * 1000000ull);
}

void core_poll_sleep(void)
{
    core_rand();
    core_rand();
    core_rand();
    core_sleep_ms(static_cast<uint32_t>((core_rand() & 15) + 5));
}
