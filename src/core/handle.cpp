#include "core/handle.h"

#include <cstdlib>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/thread.h"

CoreHandleTable *core_handle_tables[CORE_HANDLE_TABLE_COUNT];

namespace {

struct ThreadCount {
    CoreTreeNode node;  // key: &thread_id
    uint64_t thread_id;
    uint64_t count;
};

struct HoldCount {
    CoreTreeNode node;  // key: key
    uint64_t key[2];    // handle, thread id: a handle's holds sit together
    uint64_t count;
};

int compare_hold(const void *a, const void *b)
{
    auto *x = static_cast<const uint64_t *>(a);
    auto *y = static_cast<const uint64_t *>(b);
    for (int i = 0; i < 2; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

CoreTree *make_tree(CoreCompareFn compare)
{
    CoreTreeConfig config = {};
    config.compare = compare;
    return core_tree_create(&config);
}

// ---- with the table's lock held ----

CoreHandleRecord *find_record(CoreHandleTable *t, uint64_t handle)
{
    CoreTreeNode *node = core_tree_find(t->records, &handle);
    return node ? static_cast<CoreHandleRecord *>(node->value) : nullptr;
}

ThreadCount *find_thread(CoreHandleTable *t, uint64_t thread_id)
{
    CoreTreeNode *node = core_tree_find(t->threads, &thread_id);
    return node ? static_cast<ThreadCount *>(node->value) : nullptr;
}

HoldCount *find_hold(CoreHandleTable *t, uint64_t handle, uint64_t thread_id)
{
    const uint64_t key[2] = {handle, thread_id};
    CoreTreeNode *node = core_tree_find(t->holds, key);
    return node ? static_cast<HoldCount *>(node->value) : nullptr;
}

// Takes `n` references off a hold and off its thread's total; nodes that
// reach 0 go.
void uncharge(CoreHandleTable *t, HoldCount *hold, uint64_t n)
{
    if (ThreadCount *thread = find_thread(t, hold->key[1])) {
        thread->count -= n < thread->count ? n : thread->count;
        if (thread->count == 0) {
            core_tree_erase(t->threads, &thread->node);
            delete thread;
        }
    }
    hold->count -= n;
    if (hold->count == 0) {
        core_tree_erase(t->holds, &hold->node);
        delete hold;
    }
}

// Once a handle's count is 0 nobody holds it, whoever released what: holds
// left over by references released on another thread must not make their
// thread look busy any longer.
void drop_holds(CoreHandleTable *t, uint64_t handle)
{
    const uint64_t first[2] = {handle, 0};
    CoreTreeNode *node = core_tree_lower_bound(t->holds, first);
    while (node != nullptr) {
        auto *hold = static_cast<HoldCount *>(node->value);
        if (hold->key[0] != handle) break;
        node = core_tree_next(t->holds, node);
        uncharge(t, hold, hold->count);
    }
}

void free_record(CoreHandleRecord *record)
{
    free(record->object);
    delete record;
}

int core_handle_free_task(const CoreName *, uint64_t, const CoreName *carried, const CoreName *, void **user)
{
    auto *t = static_cast<CoreHandleTable *>(user[0]);
    uint64_t address = 0;
    for (int i = 0; i < 8; ++i) address = (address << 8) | carried->key[i];
    auto *record = reinterpret_cast<CoreHandleRecord *>(static_cast<uintptr_t>(address));
    if (record->destroy != nullptr) record->destroy(t, record->object, record->handle);
    {
        // Only now may waiters see the handle gone: its destroy has run.
        CoreLockGuard guard(&t->lock);
        core_tree_erase(t->records, &record->node);
        t->pending_frees--;
    }
    free_record(record);
    return CORE_DONE;
}

uint64_t pending_frees(CoreHandleTable *t)
{
    CoreLockGuard guard(&t->lock);
    return t->pending_frees;
}

void delete_counts(CoreTree *tree, bool holds)
{
    while (CoreTreeNode *node = core_tree_first(tree)) {
        core_tree_erase(tree, node);
        if (holds)
            delete static_cast<HoldCount *>(node->value);
        else
            delete static_cast<ThreadCount *>(node->value);
    }
}

}  // namespace

CoreHandleTable *core_handle_table_create(void)
{
    auto *t = new (std::nothrow) CoreHandleTable{};
    if (t == nullptr) return nullptr;
    t->threads = make_tree(core_compare_u64);
    t->holds = make_tree(compare_hold);
    t->records = make_tree(core_compare_u64);
    core_name_format(&t->executor, CORE_HANDLE_TABLE_NAME,
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(t)));
    if (t->threads == nullptr || t->holds == nullptr || t->records == nullptr || core_executor_create(&t->executor) != 0) {
        core_tree_destroy(&t->threads);
        core_tree_destroy(&t->holds);
        core_tree_destroy(&t->records);
        delete t;
        return nullptr;
    }
    return t;
}

void core_handle_table_destroy(CoreHandleTable **table)
{
    if (table == nullptr || *table == nullptr) return;
    CoreHandleTable *t = *table;
    *table = nullptr;
    // Destroying the executor would cancel frees still due; their destroy
    // callbacks release sockets and ports that a restarted engine binds
    // again, so they run first.
    while (pending_frees(t) != 0) core_poll_sleep();
    core_executor_destroy(&t->executor);

    uint64_t live = 0;
    while (CoreTreeNode *node = core_tree_first(t->records)) {
        auto *record = static_cast<CoreHandleRecord *>(node->value);
        core_tree_erase(t->records, node);
        if (record->references == 0) {
            // Released, but its free task could not be scheduled.
            if (record->destroy != nullptr) record->destroy(t, record->object, record->handle);
        } else {
            live++;
        }
        free_record(record);
    }
    if (live != 0)
        core_log(CORE_LOG_WARN, "handle", "table destroyed with %llu objects never released",
                 static_cast<unsigned long long>(live));
    delete_counts(t->holds, true);
    delete_counts(t->threads, false);
    core_tree_destroy(&t->threads);
    core_tree_destroy(&t->holds);
    core_tree_destroy(&t->records);
    delete t;
}

CoreResult core_handle_tables_create(void)
{
    for (CoreHandleTable *t : core_handle_tables)
        if (t != nullptr) return CORE_FAIL;
    for (CoreHandleTable *&t : core_handle_tables) {
        t = core_handle_table_create();
        if (t == nullptr) {
            core_handle_tables_destroy();
            return CORE_FAIL;
        }
    }
    return CORE_OK;
}

void core_handle_tables_destroy(void)
{
    // One table's destroy callbacks may release objects of another: let the
    // frees of every table settle before any executor goes.
    for (;;) {
        uint64_t pending = 0;
        for (CoreHandleTable *t : core_handle_tables)
            if (t != nullptr) pending += pending_frees(t);
        if (pending == 0) break;
        core_poll_sleep();
    }
    for (CoreHandleTable *&t : core_handle_tables) core_handle_table_destroy(&t);
}

uint64_t core_handle_create(CoreHandleTable *table, uint64_t size, CoreHandleDestroyFn destroy, void **object_out)
{
    if (object_out != nullptr) *object_out = nullptr;
    if (table == nullptr) return 0;
    auto *record = new (std::nothrow) CoreHandleRecord{};
    void *object = record != nullptr ? calloc(1, size != 0 ? size : 1) : nullptr;
    if (object == nullptr) {
        delete record;
        return 0;
    }
    record->references = 1;
    record->destroy = destroy;
    record->object = object;
    record->node.key = &record->handle;
    record->node.value = record;
    {
        CoreLockGuard guard(&table->lock);
        record->handle = ++table->last_handle;
        core_tree_insert(table->records, &record->node);
    }
    if (object_out != nullptr) *object_out = object;
    return record->handle;
}

void *core_handle_acquire(CoreHandleTable *table, uint64_t handle)
{
    if (table == nullptr) return nullptr;
    const uint64_t self = core_thread_current_id();
    CoreLockGuard guard(&table->lock);
    CoreHandleRecord *record = find_record(table, handle);
    if (record == nullptr || record->references == 0) return nullptr;

    ThreadCount *thread = find_thread(table, self);
    if (thread == nullptr) {
        thread = new (std::nothrow) ThreadCount{};
        if (thread == nullptr) return nullptr;
        thread->thread_id = self;
        thread->node.key = &thread->thread_id;
        thread->node.value = thread;
        core_tree_insert(table->threads, &thread->node);
    }
    HoldCount *hold = find_hold(table, handle, self);
    if (hold == nullptr) {
        hold = new (std::nothrow) HoldCount{};
        if (hold == nullptr) {
            if (thread->count == 0) {
                core_tree_erase(table->threads, &thread->node);
                delete thread;
            }
            return nullptr;
        }
        hold->key[0] = handle;
        hold->key[1] = self;
        hold->node.key = hold->key;
        hold->node.value = hold;
        core_tree_insert(table->holds, &hold->node);
    }
    thread->count++;
    hold->count++;
    record->references++;
    return record->object;
}

uint64_t core_handle_release(CoreHandleTable *table, uint64_t handle)
{
    if (table == nullptr) return 0;
    CoreHandleRecord *record;
    {
        CoreLockGuard guard(&table->lock);
        record = find_record(table, handle);
        if (record == nullptr || record->references == 0) return 0;
        record->references--;
        // The creator's reference and references acquired on other threads
        // are nobody's here: charging them to this thread would let its
        // count reach 0 while it still holds references, or stay above 0
        // after it holds none.
        if (HoldCount *hold = find_hold(table, handle, core_thread_current_id())) uncharge(table, hold, 1);
        if (record->references > 0) return record->references;
        drop_holds(table, handle);
        table->pending_frees++;
    }
    CoreName carried;
    core_name_from_u64(&carried, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record)));
    CoreTaskCallback callback = {core_handle_free_task, {table, nullptr}};
    if (core_executor_schedule(&table->executor, &carried, nullptr, 0, &callback) == 0) {
        // The record stays at count 0; the table's destroy frees it.
        core_log(CORE_LOG_ERROR, "handle", "cannot schedule the free of handle %llu",
                 static_cast<unsigned long long>(handle));
        CoreLockGuard guard(&table->lock);
        table->pending_frees--;
    }
    return 0;
}

void core_handle_wait_freed(CoreHandleTable *table, uint64_t handle)
{
    if (table == nullptr) return;
    const uint64_t self = core_thread_current_id();
    for (;;) {
        {
            CoreLockGuard guard(&table->lock);
            if (find_thread(table, self) != nullptr || find_record(table, handle) == nullptr) return;
        }
        core_poll_sleep();
    }
}
