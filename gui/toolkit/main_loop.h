// Work handed from a service worker thread to the GTK main loop.
//
// Listener operations run on worker threads (the event pump, the HTTP
// client, the facade) and may touch no widget: they copy what they need and
// post the rest here. The work is always queued as a source of the default
// main context and runs on the thread that iterates it (the GTK main
// thread). Glib::MainContext::invoke would instead run the work at once in
// the calling thread whenever no thread owns the context at that moment,
// which is the case between two iterations of the main loop.
#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <utility>

// Queues `work` on the default main context at `priority`. Callable from any
// thread; the work and what it holds are released on the main thread.
void pi_post_main(std::function<void()> work, int priority = G_PRIORITY_DEFAULT);

// Queues work(owner) on the main loop holding `owner` only weakly: work for
// an owner that is gone when the main loop gets to it is dropped, and the
// owner's last reference is never released on the posting thread.
template <class Owner, class Work>
void pi_post_main(std::weak_ptr<Owner> owner, Work work, int priority = G_PRIORITY_DEFAULT)
{
    pi_post_main(
        [owner = std::move(owner), work = std::move(work)]() mutable {
            if (std::shared_ptr<Owner> alive = owner.lock()) work(*alive);
        },
        priority);
}
