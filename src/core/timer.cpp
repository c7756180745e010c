#include "core/timer.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "core/clock.h"
#include "core/thread.h"

struct CoreTimer {
    std::mutex mutex;
    std::condition_variable cond;
    uint64_t next_due_ns = 0;  // monotonic; UINT64_MAX: not armed
    uint32_t period_ms = 0;
    bool stop = false;
    bool free_on_exit = false;  // destroyed from inside its own callback
    CoreTimerFn fn = nullptr;
    void *user[2] = {nullptr, nullptr};
    CoreThreadRecord *thread = nullptr;
    uint64_t thread_id = 0;
};

namespace {

uint64_t due_after(uint32_t ms)
{
    return core_clock_mono_ns() + static_cast<uint64_t>(ms) * 1000000ull;
}

int timer_thread(void **args)
{
    auto *timer = static_cast<CoreTimer *>(args[0]);
    std::unique_lock<std::mutex> lock(timer->mutex);
    timer->thread_id = core_thread_current_id();
    while (!timer->stop) {
        uint64_t now = core_clock_mono_ns();
        if (timer->next_due_ns == UINT64_MAX) {
            timer->cond.wait(lock);
            continue;
        }
        if (now < timer->next_due_ns) {
            timer->cond.wait_for(lock, std::chrono::nanoseconds(timer->next_due_ns - now));
            continue;
        }
        timer->next_due_ns = timer->period_ms ? now + static_cast<uint64_t>(timer->period_ms) * 1000000ull : UINT64_MAX;
        lock.unlock();
        timer->fn(timer->user);
        lock.lock();
    }
    bool free_self = timer->free_on_exit;
    lock.unlock();
    if (free_self) {
        // Nobody will join this thread: its record goes with it.
        CoreThreadRecord *record = timer->thread;
        delete timer;
        pthread_detach(record->thread);
        free(record);
    }
    return 0;
}

}  // namespace

CoreTimer *core_timer_create(uint32_t due_ms, uint32_t period_ms, CoreTimerFn fn, void *user0, void *user1)
{
    if (fn == nullptr) return nullptr;
    auto *timer = new CoreTimer;
    timer->fn = fn;
    timer->user[0] = user0;
    timer->user[1] = user1;
    timer->period_ms = period_ms;
    timer->next_due_ns = due_after(due_ms);
    std::lock_guard<std::mutex> guard(timer->mutex);  // thread waits for timer->thread to be set
    timer->thread = core_thread_start(timer_thread, timer, nullptr, "core-timer");
    if (timer->thread == nullptr) {
        delete timer;
        return nullptr;
    }
    return timer;
}

void core_timer_set(CoreTimer *timer, uint32_t due_ms, uint32_t period_ms)
{
    {
        std::lock_guard<std::mutex> guard(timer->mutex);
        timer->next_due_ns = due_after(due_ms);
        timer->period_ms = period_ms;
    }
    timer->cond.notify_one();
}

void core_timer_destroy(CoreTimer **timer)
{
    if (timer == nullptr || *timer == nullptr) return;
    CoreTimer *t = *timer;
    *timer = nullptr;
    std::unique_lock<std::mutex> lock(t->mutex);
    t->stop = true;
    if (t->thread_id == core_thread_current_id()) {
        t->free_on_exit = true;
        return;
    }
    lock.unlock();
    t->cond.notify_one();
    core_thread_join(&t->thread);
    delete t;
}
