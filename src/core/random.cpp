#include "core/random.h"

#include "core/clock.h"
#include "core/thread.h"

namespace {

struct ThreadGenerator {
    uint32_t state = 0;
    bool seeded = false;
    int (*hook)(void *) = nullptr;
    void *hook_context = nullptr;
};

thread_local ThreadGenerator t_generator;

}  // namespace

void core_srand(uint32_t seed)
{
    t_generator.state = seed;
    t_generator.seeded = true;
}

int core_rand(void)
{
    ThreadGenerator &g = t_generator;
    if (g.hook != nullptr) return g.hook(g.hook_context);
    if (!g.seeded) {
        // A thread we did not start (main, GStreamer, GLib): seed from the
        // clocks and its id so two such threads do not draw the same values.
        core_srand(static_cast<uint32_t>(core_clock_wall_us() + core_clock_mono_ns() / 1000 +
                                         core_thread_current_id() * 0x9E3779B9u));
    }
    // Linear congruential step with the constants of the classic C library
    // rand(): 15 bits of output per call.
    g.state = g.state * 214013u + 2531011u;
    return static_cast<int>((g.state >> 16) & CORE_RAND_MAX);
}

uint64_t core_random_u64(void)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | static_cast<uint64_t>(core_rand() & 0xFF);
    return value;
}

void core_rand_set_hook(int (*hook)(void *context), void *context)
{
    t_generator.hook = hook;
    t_generator.hook_context = context;
}
