// A started runtime with one network core around each test, plus a
// recorder of status events and a polling wait.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/system.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"

// Polls `done` for up to `ms` milliseconds.
template <typename Done>
bool wait_until(Done done, uint32_t ms = 3000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(2);
    }
    return true;
}

inline FlowmeshConfig test_config()
{
    FlowmeshConfig config = {};
    config.base_port = 45000;
    config.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN;
    config.adapter_index = -1;
    core_name_format(&config.system_name, "test.system");
    core_name_format(&config.user_id, "test.user");
    core_name_format(&config.node_id, "test.node");
    return config;
}

// Status events as {code, first u32 of the payload}.
struct StatusLog {
    struct Entry {
        uint32_t code;
        uint32_t word;
        CoreNetAdapter adapter;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    static int record(void *record, FlowmeshStreamAnswer *)
    {
        auto *event = static_cast<FlowmeshStatusEvent *>(record);
        auto *log = reinterpret_cast<StatusLog *>(static_cast<uintptr_t>(event->user[0]));
        Entry entry = {};
        entry.code = event->code;
        if (event->code == FLOWMESH_STATUS_NETWORK_CHANGED || event->code == FLOWMESH_STATUS_STATE)
            memcpy(&entry.word, event->payload, sizeof(uint32_t));
        else if (event->code <= FLOWMESH_STATUS_ADAPTER_LOST)
            memcpy(&entry.adapter, event->payload, sizeof(CoreNetAdapter));
        std::lock_guard<std::mutex> guard(log->mutex);
        log->entries.push_back(entry);
        return 0;
    }

    size_t size()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return entries.size();
    }

    std::vector<Entry> copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return entries;
    }
};

class FlowmeshCoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        FlowmeshConfig config = test_config();
        ASSERT_EQ(flowmesh_core_create(&config), CORE_OK);
    }

    void TearDown() override
    {
        flowmesh_core_destroy();
        flowmesh_core_set_engine_ops(nullptr);
        EXPECT_EQ(flowmesh_core_handle.load(), 0u);
        core_system_stop();
    }

    // Lives past TearDown: the core's teardown may still deliver to it.
    StatusLog status;

    // Registers `log` in table 1 of the core; returns the token.
    uint64_t watch_status(StatusLog *log)
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        if (core == nullptr) return 0;
        FlowmeshCallbacks callbacks = {StatusLog::record, {reinterpret_cast<uintptr_t>(log), 0}};
        uint64_t token = flowmesh_register_callbacks(core->events, FLOWMESH_EVENTS_STATUS, &callbacks);
        flowmesh_core_release(core);
        return token;
    }

    void unwatch_status(uint64_t token)
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        if (core == nullptr) return;
        flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_STATUS, token);
        flowmesh_core_release(core);
    }
};
