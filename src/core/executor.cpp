#include "core/executor.h"

#include <atomic>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/store.h"
#include "core/sync.h"
#include "core/thread.h"
#include "core/timer.h"

namespace {

enum TaskSet { kImmediate = 0, kTimed = 1, kParked = 2, kNoSet = 3 };

std::atomic<uint32_t> g_timer_period_ms{CORE_EXECUTOR_TIMER_PERIOD_MS};
std::atomic<uint32_t> g_worker_idle_ms{CORE_EXECUTOR_WORKER_IDLE_MS};

int64_t now_ms() { return static_cast<int64_t>(core_clock_mono_ms()); }

// now + delay without wrapping: a delay that would pass INT64_MAX means
// "never".
int64_t due_after(int64_t delay_ms)
{
    int64_t now = now_ms();
    if (delay_ms >= CORE_DUE_NEVER - now) return CORE_DUE_NEVER;
    return now + delay_ms;
}

}  // namespace

struct CoreTask {
    int64_t due;
    uint64_t version;
    uint64_t id;
    uint32_t references;
    int set;
    CoreName name1;
    CoreName name2;
    CoreName executor;
    uint64_t running_thread;
    CoreTaskCallback callback;
};

struct CoreWorker {
    CoreExecutor *executor;
    uint64_t current_task;  // 0 = idle
    CoreEvent event;
    CoreThreadRecord *thread;
    int64_t idle_deadline;  // -1 = permanent
    std::atomic<bool> running{true};
};

struct CoreExecutor {
    CoreName name;
    uint64_t last_id = 0;
    std::map<uint64_t, CoreTask *> sets[3];
    std::list<CoreWorker *> workers;
    std::mutex lock;
    CoreTimer *timer = nullptr;
    CoreEvent dispatcher_event;
    CoreThreadRecord *dispatcher = nullptr;
    std::atomic<bool> running{false};
    uint32_t timer_period_ms = CORE_EXECUTOR_TIMER_PERIOD_MS;
    uint32_t worker_idle_ms = CORE_EXECUTOR_WORKER_IDLE_MS;

};

namespace {

// ---- task sets (executor lock held) ---------------------------------------

CoreTask *find_task(CoreExecutor *ex, uint64_t id)
{
    for (auto &set : ex->sets) {
        auto it = set.find(id);
        if (it != set.end()) return it->second;
    }
    return nullptr;
}

void move_task(CoreExecutor *ex, CoreTask *task, int to)
{
    if (task->set == to) return;
    if (task->set != kNoSet) ex->sets[task->set].erase(task->id);
    if (to != kNoSet) ex->sets[to][task->id] = task;
    task->set = to;
}

// Drops one reference; returns the task when it was the last, unlinked and
// ready to be freed after the unlock.
CoreTask *drop_reference(CoreExecutor *ex, CoreTask *task)
{
    if (task->references == 0) return nullptr;
    if (--task->references > 0) return nullptr;
    move_task(ex, task, kNoSet);
    return task;
}

// ---- workers ---------------------------------------------------------------

void run_task(CoreWorker *worker)
{
    CoreExecutor *ex = worker->executor;
    std::unique_lock<std::mutex> lock(ex->lock);
    uint64_t id = worker->current_task;
    CoreTask *task = id ? find_task(ex, id) : nullptr;
    if (task == nullptr || task->references == 0) {
        worker->current_task = 0;
        return;
    }
    task->references++;
    task->running_thread = core_thread_current_id();
    uint64_t version = task->version;
    lock.unlock();

    int result = task->callback.fn(&ex->name, task->id, &task->name1, &task->name2, task->callback.user);

    lock.lock();
    bool keep = (result == CORE_OK || result == CORE_AGAIN);
    if (keep && task->version == version) {
        // Nobody asked for another run during the call: wait for a trigger.
        task->due = CORE_DUE_NEVER;
        move_task(ex, task, kParked);
    }
    task->running_thread = 0;
    bool rerun = keep && task->due <= now_ms() && task->references > 1;
    CoreTask *dead = drop_reference(ex, task);
    if (!keep && dead == nullptr) {
        // The callback ended the task: drop the owner's reference too, so
        // later triggers of this id fail.
        dead = drop_reference(ex, task);
    }
    if (rerun && dead == nullptr) {
        core_event_signal(&worker->event);
    } else {
        worker->current_task = 0;
    }
    lock.unlock();
    delete dead;
}

int worker_thread(void **args)
{
    auto *worker = static_cast<CoreWorker *>(args[0]);
    while (worker->running.load()) {
        core_event_wait(&worker->event, UINT32_MAX);
        if (!worker->running.load()) break;
        if (worker->idle_deadline >= 0) {
            std::lock_guard<std::mutex> guard(worker->executor->lock);
            worker->idle_deadline = now_ms() + worker->executor->worker_idle_ms;
        }
        run_task(worker);
    }
    return 0;
}

CoreWorker *worker_start(CoreExecutor *ex, int64_t idle_deadline)
{
    auto *worker = new CoreWorker;
    worker->executor = ex;
    worker->current_task = 0;
    worker->idle_deadline = idle_deadline;
    worker->thread = core_thread_start(worker_thread, worker, nullptr, "core-worker");
    if (worker->thread == nullptr) {
        delete worker;
        return nullptr;
    }
    return worker;
}

void worker_stop(CoreWorker *worker)
{
    worker->running.store(false);
    core_event_signal(&worker->event);
    if (core_thread_join(&worker->thread) == 0) delete worker;
    // An abandoned worker keeps its record: it may still touch it.
}

// ---- dispatcher ------------------------------------------------------------

void dispatch(CoreExecutor *ex)
{
    int64_t now = now_ms();
    int64_t next_due = CORE_DUE_NEVER;
    std::vector<CoreWorker *> wake;
    CoreWorker *retire = nullptr;
    {
        std::lock_guard<std::mutex> guard(ex->lock);
        for (auto &[id, task] : ex->sets[kTimed]) {
            if (task->due > now) {
                if (task->due < next_due) next_due = task->due;
                continue;
            }
            CoreWorker *chosen = nullptr;
            for (CoreWorker *w : ex->workers)
                if (w->current_task == id) chosen = w;
            if (chosen == nullptr) {
                for (CoreWorker *w : ex->workers) {
                    if (w->current_task == 0) {
                        chosen = w;
                        break;
                    }
                }
            }
            if (chosen == nullptr) {
                chosen = worker_start(ex, now + ex->worker_idle_ms);
                if (chosen == nullptr) {
                    // Try again at the next pass; the timer guarantees one.
                    core_log(CORE_LOG_WARN, "executor", "%s: cannot start a worker", ex->name.text);
                    break;
                }
                ex->workers.push_back(chosen);
            }
            chosen->current_task = id;
            wake.push_back(chosen);
        }
        for (auto it = ex->workers.begin(); it != ex->workers.end(); ++it) {
            CoreWorker *w = *it;
            if (w->idle_deadline >= 0 && w->idle_deadline < now && w->current_task == 0) {
                retire = w;
                ex->workers.erase(it);
                break;
            }
        }
    }
    for (CoreWorker *w : wake) core_event_signal(&w->event);
    if (retire != nullptr) worker_stop(retire);
    if (next_due != CORE_DUE_NEVER) {
        // Clamp: a far due time must not arm the timer past its period.
        int64_t wait = next_due - now;
        if (wait > static_cast<int64_t>(ex->timer_period_ms)) wait = ex->timer_period_ms;
        core_timer_set(ex->timer, static_cast<uint32_t>(wait), ex->timer_period_ms);
    }
}

int dispatcher_thread(void **args)
{
    auto *ex = static_cast<CoreExecutor *>(args[0]);
    while (ex->running.load()) {
        core_event_wait(&ex->dispatcher_event, UINT32_MAX);
        if (!ex->running.load()) break;
        dispatch(ex);
    }
    return 0;
}

void timer_fired(void **user)
{
    core_event_signal(&static_cast<CoreExecutor *>(user[0])->dispatcher_event);
}

CoreExecutor *executor_start(const CoreName *name)
{
    auto *ex = new CoreExecutor;
    ex->name = *name;
    ex->timer_period_ms = g_timer_period_ms.load();
    ex->worker_idle_ms = g_worker_idle_ms.load();
    CoreWorker *permanent = worker_start(ex, -1);
    if (permanent == nullptr) {
        delete ex;
        return nullptr;
    }
    ex->workers.push_back(permanent);
    ex->running.store(true);
    ex->dispatcher = core_thread_start(dispatcher_thread, ex, nullptr, "core-dispatch");
    if (ex->dispatcher != nullptr)
        ex->timer = core_timer_create(ex->timer_period_ms, ex->timer_period_ms, timer_fired, ex, nullptr);
    if (ex->dispatcher == nullptr || ex->timer == nullptr) {
        ex->running.store(false);
        core_event_signal(&ex->dispatcher_event);
        core_thread_join(&ex->dispatcher);
        worker_stop(permanent);
        delete ex;
        return nullptr;
    }
    return ex;
}

void executor_stop(CoreExecutor *ex)
{
    ex->running.store(false);
    core_event_signal(&ex->dispatcher_event);
    core_thread_join(&ex->dispatcher);
    core_timer_destroy(&ex->timer);
    core_executor_cancel_all(ex);
    std::list<CoreWorker *> workers;
    {
        std::lock_guard<std::mutex> guard(ex->lock);
        workers.swap(ex->workers);
    }
    for (CoreWorker *w : workers) worker_stop(w);
    delete ex;
}

// ---- registry ----------------------------------------------------------------
// A store of executors: removal only marks one deleted, and the store's own
// reclaim thread stops it once no lookup holds it, so an executor can be
// destroyed from one of its own tasks.

struct ExecutorItem {
    CoreStoreItem header;
    CoreExecutor *executor;
};

std::mutex g_registry_lock;  // start and stop
CoreStore *g_registry = nullptr;

int executor_item_create(CoreStore *, CoreStoreItem *item, void *, void **)
{
    auto *entry = reinterpret_cast<ExecutorItem *>(item);
    entry->executor = executor_start(&item->key);
    return entry->executor != nullptr ? 0 : -1;
}

void executor_item_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *entry = reinterpret_cast<ExecutorItem *>(item);
    if (entry->executor != nullptr) executor_stop(entry->executor);
    entry->executor = nullptr;
}

}  // namespace

CoreResult core_executor_registry_start(void)
{
    std::lock_guard<std::mutex> guard(g_registry_lock);
    if (g_registry != nullptr) return CORE_EXISTS;
    CoreStoreConfig config = {};
    config.item_size = sizeof(ExecutorItem);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = executor_item_create;
    config.destroy = executor_item_destroy;
    config.flags = CORE_STORE_TREE;
    g_registry = core_store_create(&config);
    return g_registry != nullptr ? CORE_OK : CORE_ERR;
}

void core_executor_registry_stop(void)
{
    std::lock_guard<std::mutex> guard(g_registry_lock);
    if (g_registry == nullptr) return;
    // Cancel every executor's tasks first: a task may itself look up an
    // executor, and the store's destroy waits for readers.
    for (CoreStoreItem *item = core_store_first(g_registry); item != nullptr;
         item = core_store_next(g_registry, item, 1))
        core_executor_cancel_all(reinterpret_cast<ExecutorItem *>(item)->executor);
    CoreStore *registry = g_registry;
    g_registry = nullptr;
    core_store_destroy(&registry);
}

int core_executor_create(const CoreName *name)
{
    CoreStore *registry = g_registry;
    if (name == nullptr || core_name_is_empty(name) || registry == nullptr) return -1;
    return core_store_insert(registry, name, nullptr, nullptr, nullptr, 0) == CORE_OK ? 0 : -1;
}

int core_executor_destroy(const CoreName *name)
{
    CoreExecutor *ex = core_executor_find(name);
    if (ex == nullptr) return -1;
    core_executor_cancel_all(ex);
    core_executor_release(ex);
    return core_store_remove(g_registry, name->key) == CORE_OK ? 0 : -1;
}

CoreExecutor *core_executor_find(const CoreName *name)
{
    CoreStore *registry = g_registry;
    if (registry == nullptr || name == nullptr) return nullptr;
    CoreStoreItem *item = core_store_lookup(registry, name->key);
    return item != nullptr ? reinterpret_cast<ExecutorItem *>(item)->executor : nullptr;
}

void core_executor_release(CoreExecutor *executor)
{
    CoreStore *registry = g_registry;
    if (executor == nullptr || registry == nullptr) return;
    core_store_unref(registry);
}

const CoreName *core_executor_name(const CoreExecutor *executor)
{
    return &executor->name;
}

uint32_t core_executor_worker_count(CoreExecutor *executor)
{
    std::lock_guard<std::mutex> guard(executor->lock);
    return static_cast<uint32_t>(executor->workers.size());
}

uint64_t core_executor_schedule(const CoreName *executor, const CoreName *name1, const CoreName *name2,
                                int64_t delay_ms, const CoreTaskCallback *callback)
{
    if (delay_ms < 0 || callback == nullptr || callback->fn == nullptr) return 0;
    CoreExecutor *ex = core_executor_find(executor);
    if (ex == nullptr) return 0;
    auto *task = new CoreTask;
    memset(&task->name1, 0, sizeof(task->name1));
    memset(&task->name2, 0, sizeof(task->name2));
    if (name1 != nullptr) task->name1 = *name1;
    if (name2 != nullptr) task->name2 = *name2;
    task->executor = ex->name;
    task->due = (delay_ms == CORE_DUE_NEVER) ? CORE_DUE_NEVER : due_after(delay_ms);
    task->version = 0;
    task->references = 1;
    task->set = kNoSet;
    task->running_thread = 0;
    task->callback = *callback;
    uint64_t id;
    {
        std::lock_guard<std::mutex> guard(ex->lock);
        do {
            id = (ex->last_id == UINT64_MAX) ? 1 : ex->last_id + 1;
            ex->last_id = id;
        } while (find_task(ex, id) != nullptr);
        task->id = id;
        move_task(ex, task, task->due == CORE_DUE_NEVER ? kParked : kTimed);
    }
    // The task may have run and ended already: use the id taken under the lock.
    core_event_signal(&ex->dispatcher_event);
    core_executor_release(ex);
    return id;
}

int core_executor_trigger(const CoreName *executor, uint64_t task_id, int64_t delay_ms)
{
    if (delay_ms < 0) return -1;
    CoreExecutor *ex = core_executor_find(executor);
    if (ex == nullptr) return -1;
    CoreTask *task = core_executor_task_get(ex, task_id);
    int result = -1;
    if (task != nullptr) {
        core_executor_task_set_due(ex, task, delay_ms == CORE_DUE_NEVER ? CORE_DUE_NEVER : due_after(delay_ms));
        core_executor_cancel(ex, task_id, 0);
        result = 0;
    }
    core_executor_release(ex);
    return result;
}

CoreTask *core_executor_task_get(CoreExecutor *executor, uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(executor->lock);
    CoreTask *task = find_task(executor, task_id);
    if (task == nullptr || task->references == 0) return nullptr;
    task->references++;
    return task;
}

int core_executor_task_set_due(CoreExecutor *executor, CoreTask *task, int64_t due_ms)
{
    {
        std::lock_guard<std::mutex> guard(executor->lock);
        // Every change counts: a worker that sees the version move after a
        // run keeps the task due instead of parking it.
        task->version++;
        if (due_ms == CORE_DUE_NEVER) {
            task->due = CORE_DUE_NEVER;
            move_task(executor, task, kParked);
            return 0;
        }
        int64_t now = now_ms();
        task->due = due_ms < now ? now : due_ms;
        if (due_ms <= now && task->running_thread == core_thread_current_id()) {
            // A callback re-triggering itself: its worker runs it again as
            // soon as it returns, without the dispatcher.
            move_task(executor, task, kImmediate);
            return 0;
        }
        move_task(executor, task, kTimed);
    }
    core_event_signal(&executor->dispatcher_event);
    return 0;
}

void core_executor_cancel_named(const CoreName *executor, uint64_t task_id, int wait)
{
    if (task_id == 0 || executor == nullptr) return;
    if (CoreExecutor *found = core_executor_find(executor)) {
        core_executor_cancel(found, task_id, wait);
        core_executor_release(found);
    }
}

void core_executor_cancel(CoreExecutor *executor, uint64_t task_id, int wait)
{
    uint64_t self = core_thread_current_id();
    std::unique_lock<std::mutex> lock(executor->lock);
    CoreTask *task = find_task(executor, task_id);
    if (task == nullptr) return;
    if (wait) {
        // Wait until no other thread runs or holds the task; a callback
        // cancelling its own task must not wait for itself.
        while (task->running_thread != self && (task->running_thread != 0 || task->references > 1)) {
            lock.unlock();
            core_poll_sleep();
            lock.lock();
            task = find_task(executor, task_id);
            if (task == nullptr) return;
        }
    }
    // The last reference of a running task is its worker's: the worker
    // frees the task when the callback returns.
    if (task->running_thread != 0 && task->references == 1) return;
    CoreTask *dead = drop_reference(executor, task);
    lock.unlock();
    delete dead;
}

void core_executor_cancel_all(CoreExecutor *executor)
{
    for (;;) {
        uint64_t id = 0;
        {
            std::lock_guard<std::mutex> guard(executor->lock);
            for (int s : {kImmediate, kTimed, kParked}) {
                if (!executor->sets[s].empty()) {
                    id = executor->sets[s].begin()->first;
                    break;
                }
            }
        }
        if (id == 0) return;
        core_executor_cancel(executor, id, 1);
    }
}

void core_executor_test_set_timing(uint32_t timer_period_ms, uint32_t worker_idle_ms)
{
    g_timer_period_ms.store(timer_period_ms ? timer_period_ms : CORE_EXECUTOR_TIMER_PERIOD_MS);
    g_worker_idle_ms.store(worker_idle_ms ? worker_idle_ms : CORE_EXECUTOR_WORKER_IDLE_MS);
}

void core_executor_test_set_last_id(CoreExecutor *executor, uint64_t last_id)
{
    std::lock_guard<std::mutex> guard(executor->lock);
    executor->last_id = last_id;
}

void core_executor_test_wake_all(void)
{
    // Under the registry lock: a stop running meanwhile would free the
    // executors being signalled.
    std::lock_guard<std::mutex> guard(g_registry_lock);
    if (g_registry == nullptr) return;
    for (CoreStoreItem *item = core_store_first(g_registry); item != nullptr;
         item = core_store_next(g_registry, item, 1)) {
        CoreExecutor *ex = reinterpret_cast<ExecutorItem *>(item)->executor;
        if (ex != nullptr) core_event_signal(&ex->dispatcher_event);
    }
}
