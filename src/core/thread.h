// Threads of the engine side.
//
// Every thread we start goes through core_thread_entry, which seeds its
// random generator, and ends through core_thread_join. Threads must stop
// cooperatively: join waits up to 3000 ms; a thread still running then is
// logged, detached and counted (core_thread_abandoned_count), and its record
// is kept alive because the thread may still read its arguments.
#pragma once

#include <cstdint>
#include <pthread.h>

struct CoreThreadRecord;
typedef int (*CoreThreadFn)(void **args);

struct CoreThreadRecord {
    pthread_t thread;
    uintptr_t reserved;
    CoreThreadFn fn;
    void *args[2];
    uint64_t id;  // process-unique, never reused
};

#define CORE_THREAD_JOIN_TIMEOUT_MS 3000

// Seeds the thread's generator, then returns fn(record->args).
int core_thread_entry(CoreThreadRecord *record);

// Starts fn(args) on a new thread. `name` (up to 15 characters) shows in
// debuggers and may be NULL. Returns NULL when no thread could be made.
CoreThreadRecord *core_thread_start(CoreThreadFn fn, void *arg0, void *arg1, const char *name);

// Waits up to CORE_THREAD_JOIN_TIMEOUT_MS for the thread, frees its record
// and clears *record. Returns 0 when the thread ended, -1 when it was
// abandoned.
int core_thread_join(CoreThreadRecord **record);

// Same, with a shorter or longer wait for tests.
int core_thread_join_ms(CoreThreadRecord **record, uint32_t timeout_ms);

// Threads abandoned by a join that timed out since process start.
uint64_t core_thread_abandoned_count(void);

// Process-unique id of the calling thread (1, 2, ...; never reused).
uint64_t core_thread_current_id(void);
