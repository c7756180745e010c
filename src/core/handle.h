// Handle tables: long-lived objects shared by many threads, passed around
// as 64-bit handles.
//
// A table owns its objects' memory, the records that count their
// references, and an executor of its own. Any thread may create, acquire,
// release and wait. When the last reference goes, the object's destroy
// callback runs and its memory is freed by a task on the table's executor,
// never on the releasing thread, so releasing is safe under any lock of the
// caller. The table remembers which references each thread acquired, so a
// thread that still holds one can skip waiting for a free it would block
// itself. The five process-wide tables are made by system start and live
// until system stop. Create returns a handle (0 on failure), acquire the
// object (NULL on failure), release the remaining count.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"
#include "core/tree.h"

enum CoreHandleTableId : uint32_t {
    CORE_HANDLES_STREAMS = 0,    // the engine's sender and receiver streams
    CORE_HANDLES_NETWORK = 1,    // the network library's objects
    CORE_HANDLES_PIPELINES = 2,  // the multimedia framework's providers and consumers
    CORE_HANDLES_DEVICES = 3,    // the multimedia framework's device nodes
    CORE_HANDLES_STATUS = 4,     // the engine's status records
    CORE_HANDLE_TABLE_COUNT = 5,
};

// Name of a table's executor: this prefix and the table's address as 16
// upper-case hex digits.
#define CORE_HANDLE_TABLE_NAME "96D25219C0EB4C%016llX"

struct CoreHandleTable;

// Releases what the object holds; the table frees the object's memory
// afterwards. Runs on the table's executor with no lock of the table held.
typedef void (*CoreHandleDestroyFn)(CoreHandleTable *table, void *object, uint64_t handle);

struct CoreHandleRecord {
    uint64_t handle;
    uint64_t references;  // 1 at creation: the creator's, which no thread counts
    CoreTreeNode node;    // in the table's records, key &handle
    CoreHandleDestroyFn destroy;
    void *object;  // zeroed heap block of the size given at creation
};

struct CoreHandleTable {
    uint64_t last_handle;
    // Per thread: how many references it acquired in this table and still
    // holds, over all handles (key: thread id).
    CoreTree *threads;
    // Per (handle, thread): how many of those are on that handle, so a
    // release is charged only to a thread that acquired the handle.
    CoreTree *holds;
    CoreTree *records;  // key: handle
    // Records whose count reached 0 and whose free task has not run yet.
    uint64_t pending_frees;
    CoreLock lock;  // the counter, the three trees and every count
    CoreName executor;
};

// The process-wide tables, indexed by CoreHandleTableId; NULL while the
// runtime is stopped.
extern CoreHandleTable *core_handle_tables[CORE_HANDLE_TABLE_COUNT];

// A new table with its own executor (the executor registry must exist), or
// NULL.
CoreHandleTable *core_handle_table_create(void);

// Waits for the frees already due (their destroy callbacks run), stops the
// table's executor, frees the records still live (logged; their destroy
// callbacks are not run, their owners never released them) and the table.
// No other thread may use the table meanwhile. Sets *table to NULL.
void core_handle_table_destroy(CoreHandleTable **table);

// Creates the five process-wide tables in id order. CORE_OK; CORE_FAIL when
// they exist or one cannot be made (those made are destroyed again).
CoreResult core_handle_tables_create(void);
// Lets the frees already due in every table run (a destroy callback may
// release objects of another table), then destroys each table in id order.
void core_handle_tables_destroy(void);

// A new object of `size` zeroed bytes under a new handle (the table's last
// handle + 1, never reused), with the creator's reference. The handle, or
// 0 (table NULL, no memory); the object through *object_out when not NULL.
uint64_t core_handle_create(CoreHandleTable *table, uint64_t size, CoreHandleDestroyFn destroy, void **object_out);

// The object with one more reference, charged to the calling thread; NULL
// when the handle is unknown, being freed, or no memory is left for the
// thread's count.
void *core_handle_acquire(CoreHandleTable *table, uint64_t handle);

// Drops one reference; when the calling thread acquired this handle, one of
// its references goes with it. The remaining count; 0 when this was the last
// one (the free is then scheduled) and also when the handle is unknown or
// already at 0 (nothing happens).
uint64_t core_handle_release(CoreHandleTable *table, uint64_t handle);

// Returns at once when the calling thread holds a reference it acquired in
// this table; otherwise polls (5-20 ms) until the handle's record has left
// the table, that is until its destroy callback has run and its memory is
// freed. The owner releases the creator's reference and then waits here
// from a thread that holds none.
void core_handle_wait_freed(CoreHandleTable *table, uint64_t handle);
