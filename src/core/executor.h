// Executors: named schedulers of callback tasks.
//
// A task is scheduled with a delay or parked until triggered; when it is due
// a worker thread of its executor runs its callback with no lock held. Each
// executor has a dispatcher thread (woken by its 5-second timer or by any
// change of a due time), one permanent worker and on-demand workers that
// retire after 10 s idle. Executors live in a process-wide registry made by
// core_executor_registry_start; any thread may schedule, trigger and cancel.
//
// Every trigger leads to a run: a task whose due time changes while its
// callback runs is not parked when the callback returns.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"

#define CORE_EXECUTOR_TIMER_PERIOD_MS 5000
#define CORE_EXECUTOR_WORKER_IDLE_MS 10000
#define CORE_DUE_NEVER INT64_MAX

struct CoreExecutor;
struct CoreTask;

// Returns CORE_OK or CORE_AGAIN to keep the task (it then waits until
// triggered, unless it was triggered during the call); any other value ends
// it.
typedef int (*CoreTaskFn)(const CoreName *executor, uint64_t task_id, const CoreName *name1,
                          const CoreName *name2, void **user);

struct CoreTaskCallback {
    CoreTaskFn fn;
    void *user[2];
};

// The registry of executors. Start returns CORE_OK (or CORE_EXISTS when it
// is already running); stop destroys every executor.
CoreResult core_executor_registry_start(void);
void core_executor_registry_stop(void);

// 0; -1 when the registry is missing, the name is empty or taken, or the
// executor cannot be made.
int core_executor_create(const CoreName *name);

// Cancels all its tasks (waiting for running ones), removes it from the
// registry and stops it once no reader holds it. 0, or -1 when unknown.
int core_executor_destroy(const CoreName *name);

// The live executor with a reader reference taken, or NULL. Give it back
// with core_executor_release.
CoreExecutor *core_executor_find(const CoreName *name);
void core_executor_release(CoreExecutor *executor);

// New task id, or 0 (negative delay, no registry, unknown executor, no
// memory). A delay of CORE_DUE_NEVER parks the task until triggered.
uint64_t core_executor_schedule(const CoreName *executor, const CoreName *name1, const CoreName *name2,
                                int64_t delay_ms, const CoreTaskCallback *callback);

// Due = now + delay (CORE_DUE_NEVER: parked). 0, or -1 for a negative delay
// or an unknown executor or task.
int core_executor_trigger(const CoreName *executor, uint64_t task_id, int64_t delay_ms);

// Drops one reference (the owner's when called by the owner). With wait,
// first waits until no other thread holds or runs the task; a call from the
// task's own callback does not wait for itself. The last reference frees it.
void core_executor_cancel(CoreExecutor *executor, uint64_t task_id, int wait);

// core_executor_cancel on the executor of that name; nothing for task 0 or
// an executor that no longer exists.
void core_executor_cancel_named(const CoreName *executor, uint64_t task_id, int wait);

// The task with a reference taken, or NULL. Released with
// core_executor_cancel without wait.
CoreTask *core_executor_task_get(CoreExecutor *executor, uint64_t task_id);

// Moves the task to the due time (monotonic ms; CORE_DUE_NEVER parks it)
// and wakes the dispatcher. Always 0.
int core_executor_task_set_due(CoreExecutor *executor, CoreTask *task, int64_t due_ms);

// Cancels, with wait, every task of the executor.
void core_executor_cancel_all(CoreExecutor *executor);

// Name of an executor found with core_executor_find.
const CoreName *core_executor_name(const CoreExecutor *executor);

// Workers currently alive (permanent one included).
uint32_t core_executor_worker_count(CoreExecutor *executor);

// Test seams: shorter timer period and idle lifetime (0 restores the
// defaults; affects executors created afterwards), and the id counter.
void core_executor_test_set_timing(uint32_t timer_period_ms, uint32_t worker_idle_ms);
void core_executor_test_set_last_id(CoreExecutor *executor, uint64_t last_id);
// Wakes every executor's dispatcher to look at due times again; the test
// clock calls it after moving the clock forward.
void core_executor_test_wake_all(void);
