#include "core/sync.h"

#include <chrono>

void core_event_signal(CoreEvent *event)
{
    {
        std::lock_guard<std::mutex> guard(event->mutex);
        event->signalled = true;
    }
    event->cond.notify_one();
}

bool core_event_wait(CoreEvent *event, uint32_t timeout_ms)
{
    std::unique_lock<std::mutex> lock(event->mutex);
    if (timeout_ms == UINT32_MAX) {
        event->cond.wait(lock, [event] { return event->signalled; });
    } else if (!event->cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [event] { return event->signalled; })) {
        return false;
    }
    event->signalled = false;
    return true;
}
