#include "core/cpu.h"

#include <atomic>
#include <sched.h>
#include <unistd.h>

namespace {
std::atomic<uint32_t> g_override{0};
}

uint32_t core_cpu_count(void)
{
    uint32_t forced = g_override.load(std::memory_order_relaxed);
    if (forced != 0) return forced;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<uint32_t>(n);
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<uint32_t>(n) : 1;
}

void core_cpu_count_override(uint32_t count)
{
    g_override.store(count, std::memory_order_relaxed);
}

int core_cpu_class_for(uint32_t count)
{
    int cls = 0;
    for (uint32_t limit = 4; cls < 7 && count >= limit; limit *= 2) ++cls;
    return cls;
}

int core_cpu_class(void)
{
    return core_cpu_class_for(core_cpu_count());
}
