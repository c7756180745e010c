#include "core/thread.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/random.h"

namespace {

std::atomic<uint64_t> g_next_thread_id{1};
std::atomic<uint64_t> g_abandoned{0};

// Records of abandoned threads stay reachable here: the thread may still
// read its arguments, so the record is never freed.
std::mutex g_abandoned_lock;
std::vector<CoreThreadRecord *> *g_abandoned_records = new std::vector<CoreThreadRecord *>();
thread_local uint64_t t_thread_id = 0;

void *thread_trampoline(void *parameter)
{
    core_thread_entry(static_cast<CoreThreadRecord *>(parameter));
    return nullptr;
}

}  // namespace

uint64_t core_thread_current_id(void)
{
    if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
    return t_thread_id;
}

int core_thread_entry(CoreThreadRecord *record)
{
    if (record->id != 0) t_thread_id = record->id;
    core_srand(static_cast<uint32_t>(core_clock_wall_us() + core_clock_mono_ns() / 1000));
    return record->fn(record->args);
}

CoreThreadRecord *core_thread_start(CoreThreadFn fn, void *arg0, void *arg1, const char *name)
{
    if (fn == nullptr) return nullptr;
    auto *record = static_cast<CoreThreadRecord *>(calloc(1, sizeof(CoreThreadRecord)));
    if (record == nullptr) return nullptr;
    record->fn = fn;
    record->args[0] = arg0;
    record->args[1] = arg1;
    record->id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
    if (pthread_create(&record->thread, nullptr, thread_trampoline, record) != 0) {
        free(record);
        return nullptr;
    }
    if (name != nullptr) {
        char short_name[16] = {};
        for (int i = 0; i < 15 && name[i] != '\0'; ++i) short_name[i] = name[i];
        pthread_setname_np(record->thread, short_name);
    }
    return record;
}

int core_thread_join_ms(CoreThreadRecord **record, uint32_t timeout_ms)
{
    if (record == nullptr || *record == nullptr) return 0;
    CoreThreadRecord *r = *record;
    *record = nullptr;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    uint64_t ns = static_cast<uint64_t>(deadline.tv_nsec) + static_cast<uint64_t>(timeout_ms) * 1000000ull;
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000ull);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000ull);
    int rc;
    while ((rc = pthread_timedjoin_np(r->thread, nullptr, &deadline)) == EINTR) {
    }
    if (rc == 0) {
        free(r);
        return 0;
    }
    // No safe way to kill a thread: let it run detached. Its record stays
    // allocated because the thread still reads its argument pair.
    pthread_detach(r->thread);
    {
        std::lock_guard<std::mutex> guard(g_abandoned_lock);
        g_abandoned_records->push_back(r);
    }
    g_abandoned.fetch_add(1, std::memory_order_relaxed);
    core_log(CORE_LOG_ERROR, "thread", "thread %llu did not stop within %u ms; abandoned",
             static_cast<unsigned long long>(r->id), timeout_ms);
    return -1;
}

int core_thread_join(CoreThreadRecord **record)
{
    return core_thread_join_ms(record, CORE_THREAD_JOIN_TIMEOUT_MS);
}

uint64_t core_thread_abandoned_count(void)
{
    return g_abandoned.load(std::memory_order_relaxed);
}
