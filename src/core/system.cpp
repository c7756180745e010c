#include "core/system.h"

#include <atomic>
#include <mutex>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/names.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/random.h"
#include "core/topic.h"
#include "core/values.h"

namespace {

struct SystemState {
    std::mutex lock;  // start against stop, should a caller break the one-thread rule
    bool started = false;
    bool socket_user = false;  // this start counted itself as a socket user
    CorePool *default_pool = nullptr;
};

SystemState g_system;

// Linux needs no socket library start-up; the count remains so that code
// written against it keeps its meaning.
std::atomic<uint32_t> g_socket_users{0};

std::atomic<int> g_identity_seed_index{-1};

CoreResult fail(const char *step)
{
    core_log(CORE_LOG_ERROR, "system", "start failed: %s", step);
    return CORE_FAIL;
}

}  // namespace

CoreResult core_system_start(uint64_t default_pool_size)
{
    std::lock_guard<std::mutex> guard(g_system.lock);
    if (g_system.started) return CORE_FAIL;
    g_system.started = true;

    g_socket_users.fetch_add(1);
    g_system.socket_user = true;

    // The first clock use fixes the process time base; later starts reuse it.
    const uint64_t mono_us = core_clock_mono_ns() / 1000;
    core_srand(static_cast<uint32_t>(mono_us + core_clock_wall_us()));

    if (core_executor_registry_start() != CORE_OK) return fail("executor registry");
    const CoreName default_executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    if (core_executor_create(&default_executor) != 0) {
        core_executor_registry_stop();
        return fail("default executor");
    }

    if (core_pool_registry_start(default_pool_size) != CORE_OK) return fail("pool registry");

    core_seq_reset();

    if (g_identity_seed_index.load() >= 0) return fail("identity seed index");
    // The three discarded draws keep the index from being the first value
    // of a generator just seeded from the clocks.
    for (int i = 0; i < 3; ++i) core_rand();
    g_identity_seed_index.store(core_rand() & 31);

    if (g_system.default_pool != nullptr) return fail("default pool handle");
    const CoreName default_pool = core_name_of(CORE_DEFAULT_POOL);
    g_system.default_pool = core_pool_get(&default_pool, 0);
    if (g_system.default_pool == nullptr) return fail("default pool handle");

    if (core_topic_registry_start() != CORE_OK) return fail("topic registry");
    if (core_notify_registry_start() != CORE_OK) return fail("notify registry");
    if (core_handle_tables_create() != CORE_OK) return fail("handle tables");
    if (core_process_valuelists_create() != CORE_OK) return fail("value lists");
    if (core_codec_lists_create() != CORE_OK) return fail("codec lists");
    return CORE_OK;
}

void core_system_stop(void)
{
    std::lock_guard<std::mutex> guard(g_system.lock);
    core_codec_lists_destroy();
    core_process_valuelists_destroy();
    // Before the registries: pending frees of handles run on the tables'
    // executors, and their destroy callbacks may still post or notify.
    core_handle_tables_destroy();
    core_notify_registry_stop();
    core_topic_registry_stop();

    if (g_system.default_pool != nullptr) {
        core_pool_release(g_system.default_pool);
        g_system.default_pool = nullptr;
    }
    g_identity_seed_index.store(-1);
    core_pool_registry_stop();
    // Last: every store above reclaims on the default executor.
    core_executor_registry_stop();

    if (g_system.socket_user) {
        g_socket_users.fetch_sub(1);
        g_system.socket_user = false;
    }
    g_system.started = false;
}

int core_identity_seed_index(void) { return g_identity_seed_index.load(); }

int core_identity_seed_index_take(void)
{
    int current = g_identity_seed_index.load();
    while (current >= 0 && !g_identity_seed_index.compare_exchange_weak(current, (current + 1) % 32)) {
    }
    return current;
}
