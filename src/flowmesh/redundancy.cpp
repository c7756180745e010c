#include "flowmesh/redundancy.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/random.h"

CoreResult flowmesh_redundancy_init(FlowmeshRedundancy *schedule, uint32_t copies, uint32_t period)
{
    memset(schedule, 0, sizeof(*schedule));
    if (copies == 0 || period == 0 || copies == 0xFFFFFFFFu || period == 0xFFFFFFFFu) return CORE_OK;
    if (copies > FLOWMESH_REDUNDANCY_MAX_COPIES) return CORE_ERR_INVALID;
    schedule->keys = static_cast<uint64_t *>(calloc(copies, sizeof(uint64_t)));
    if (schedule->keys == nullptr) return CORE_ERR;
    schedule->copies = copies;
    schedule->period = period;
    // Nothing is due before the first refresh.
    schedule->next = copies;
    return CORE_OK;
}

void flowmesh_redundancy_destroy(FlowmeshRedundancy *schedule)
{
    free(schedule->keys);
    memset(schedule, 0, sizeof(*schedule));
}

int flowmesh_redundancy_enabled(const FlowmeshRedundancy *schedule) { return schedule->copies != 0; }

void flowmesh_redundancy_refresh(FlowmeshRedundancy *schedule, uint64_t counter)
{
    if (schedule->copies == 0 || counter % schedule->period != 0) return;
    for (uint32_t i = 0; i < schedule->copies; ++i)
        schedule->keys[i] = schedule->period == 1 ? counter : counter + core_random_u64() % schedule->period;
    std::sort(schedule->keys, schedule->keys + schedule->copies);
    schedule->next = 0;
}

uint32_t flowmesh_redundancy_take(FlowmeshRedundancy *schedule, uint64_t sequence)
{
    uint32_t due = 0;
    while (schedule->next < schedule->copies && schedule->keys[schedule->next] <= sequence) {
        if (schedule->keys[schedule->next] == sequence) ++due;
        ++schedule->next;
    }
    return due;
}
