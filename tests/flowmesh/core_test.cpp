// The core object: the network state machine around the engine seam, the
// command pipe, status reports, and creation and teardown of the core's
// names.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/executor.h"
#include "core/handle.h"
#include "core/pool.h"
#include "core/queue.h"
#include "flowmesh/core_fixture.h"

namespace {

// An engine whose teardown takes a while, so a stop that does not wait for
// it is caught.
struct FakeEngine {
    static std::atomic<int> starts, stops, destroyed, live;
    static std::atomic<bool> fail, hold, entered;

    static void reset()
    {
        starts = stops = destroyed = live = 0;
        fail = hold = entered = false;
    }
    static void destroy(CoreHandleTable *, void *, uint64_t)
    {
        core_sleep_ms(50);
        live.fetch_sub(1);
        destroyed.fetch_add(1);
    }
    static uint64_t start(FlowmeshCore *, const FlowmeshConfig *config)
    {
        entered = true;
        while (hold.load()) core_sleep_ms(1);
        if (fail.load()) return 0;
        EXPECT_EQ(config->adapters[0].next, nullptr);
        starts.fetch_add(1);
        live.fetch_add(1);
        return core_handle_create(core_handle_tables[CORE_HANDLES_NETWORK], 16, destroy, nullptr);
    }
    static void stop(FlowmeshCore *, void *) { stops.fetch_add(1); }
};
std::atomic<int> FakeEngine::starts, FakeEngine::stops, FakeEngine::destroyed, FakeEngine::live;
std::atomic<bool> FakeEngine::fail, FakeEngine::hold, FakeEngine::entered;

class CoreState : public FlowmeshCoreTest {
protected:
    void SetUp() override
    {
        FlowmeshCoreTest::SetUp();
        FakeEngine::reset();
        const FlowmeshEngineOps ops = {FakeEngine::start, FakeEngine::stop, nullptr, nullptr, nullptr};
        flowmesh_core_set_engine_ops(&ops);
        ASSERT_NE(watch_status(&status), 0u);
    }

    int32_t network_state()
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        int32_t state = core != nullptr ? core->state.load() : -1;
        flowmesh_core_release(core);
        return state;
    }

    // The status-4 payloads seen so far, after the pipe went quiet.
    std::vector<uint32_t> states_posted()
    {
        core_sleep_ms(30);
        std::vector<uint32_t> out;
        for (const auto &e : status.copy())
            if (e.code == FLOWMESH_STATUS_STATE) out.push_back(e.word);
        return out;
    }
};

TEST_F(CoreState, StartStopAndTheRefusalToStartTwice)
{
    ASSERT_EQ(flowmesh_set_state(2), CORE_OK);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);

    // Starting a started network would orphan the running engine.
    EXPECT_EQ(flowmesh_set_state(2), CORE_ERR_BUSY);
    EXPECT_EQ(FakeEngine::starts.load(), 1);
    EXPECT_EQ(FakeEngine::live.load(), 1);

    // The stop returns only once the engine is freed, although the calling
    // thread holds the core in the same handle table.
    ASSERT_EQ(flowmesh_set_state(0), CORE_OK);
    EXPECT_EQ(FakeEngine::stops.load(), 1);
    EXPECT_EQ(FakeEngine::destroyed.load(), 1);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);

    // A second stop is a no-op.
    EXPECT_EQ(flowmesh_set_state(0), CORE_OK);
    EXPECT_EQ(FakeEngine::stops.load(), 1);

    ASSERT_EQ(flowmesh_set_state(2), CORE_OK);
    EXPECT_EQ(FakeEngine::starts.load(), 2);
    EXPECT_EQ(FakeEngine::live.load(), 1);
    EXPECT_EQ(states_posted(), (std::vector<uint32_t>{2, 0, 2}));
}

TEST_F(CoreState, AnEngineThatCannotBeMadeLeavesTheNetworkStopped)
{
    FakeEngine::fail = true;
    EXPECT_EQ(flowmesh_set_state(2), CORE_ERR);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);
    EXPECT_TRUE(states_posted().empty());

    // The running mark was cleared: the next change goes ahead.
    FakeEngine::fail = false;
    EXPECT_EQ(flowmesh_set_state(2), CORE_OK);
    EXPECT_EQ(states_posted(), (std::vector<uint32_t>{2}));
}

TEST_F(CoreState, AChangeWhileAnotherRunsIsRefusedWithBusy)
{
    FakeEngine::hold = true;
    CoreResult first = CORE_ERR;
    std::thread starter([&] { first = flowmesh_set_state(2); });
    ASSERT_TRUE(wait_until([] { return FakeEngine::entered.load(); }));
    EXPECT_EQ(flowmesh_set_state(0), CORE_ERR_BUSY);
    EXPECT_EQ(flowmesh_set_state(2), CORE_ERR_BUSY);
    FakeEngine::hold = false;
    starter.join();
    EXPECT_EQ(first, CORE_OK);
    EXPECT_EQ(FakeEngine::starts.load(), 1);
    EXPECT_EQ(flowmesh_set_state(0), CORE_OK);
}

TEST_F(CoreState, OnlyAnEmptyType0CommandStopsTheNetwork)
{
    ASSERT_EQ(flowmesh_set_state(2), CORE_OK);
    FlowmeshCore *core = flowmesh_core_acquire();
    ASSERT_NE(core, nullptr);
    CoreQueue *commands = core->commands->queue;
    flowmesh_core_release(core);

    const uint32_t word = 0;
    CoreIoVec payload = {sizeof(word), &word};
    ASSERT_EQ(core_queue_post(commands, nullptr, 0, 0, &payload, 1), 0);  // not empty
    ASSERT_EQ(core_queue_post(commands, nullptr, 1, 0, nullptr, 0), 0);   // another type
    ASSERT_TRUE(wait_until([&] { return core_queue_count(commands) == 0; }));
    core_sleep_ms(20);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);

    ASSERT_EQ(core_queue_post(commands, nullptr, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(wait_until([] { return FakeEngine::destroyed.load() == 1; }));
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);
}

TEST_F(CoreState, EngineStatusReportsBecomeStatusEvents)
{
    const uint64_t handle = flowmesh_core_handle.load();
    CoreNetAdapter adapter = {};
    adapter.next = &adapter;  // a link into the engine's chain
    snprintf(adapter.id, sizeof(adapter.id), "ETH0");
    const struct {
        uint32_t report;
        uint64_t length;
        int code;  // -1: dropped
        uint32_t word;
    } cases[] = {
        {FLOWMESH_REPORT_ADAPTER_ADDED, sizeof(adapter), FLOWMESH_STATUS_ADAPTER_ADDED, 0},
        {FLOWMESH_REPORT_ADAPTER_REMOVED, sizeof(adapter), FLOWMESH_STATUS_ADAPTER_REMOVED, 0},
        {FLOWMESH_REPORT_ADAPTER_LOST, sizeof(adapter), FLOWMESH_STATUS_ADAPTER_LOST, 0},
        {FLOWMESH_REPORT_ADAPTER_ADDED, sizeof(adapter) - 1, -1, 0},  // cut record
        {FLOWMESH_REPORT_NETWORK_LOST, 0, FLOWMESH_STATUS_NETWORK_CHANGED, FLOWMESH_CHANGE_ENGINE},
        {FLOWMESH_REPORT_NETWORK_BACK, 0, FLOWMESH_STATUS_NETWORK_CHANGED, FLOWMESH_CHANGE_ADAPTERS},
        {FLOWMESH_REPORT_ADAPTERS_CHANGED, 0, FLOWMESH_STATUS_NETWORK_CHANGED, FLOWMESH_CHANGE_ADAPTERS},
        {6, 0, -1, 0},
    };
    size_t expected = 0;
    for (const auto &c : cases) {
        flowmesh_core_status_report(handle, c.report, &adapter, c.length);
        if (c.code >= 0) ++expected;
    }
    flowmesh_core_status_report(handle + 1000, FLOWMESH_REPORT_NETWORK_LOST, nullptr, 0);  // no such core
    ASSERT_TRUE(wait_until([&] { return status.size() == expected; }));
    core_sleep_ms(30);  // nothing further arrives
    const auto seen = status.copy();
    ASSERT_EQ(seen.size(), expected);
    size_t i = 0;
    for (const auto &c : cases) {
        if (c.code < 0) continue;
        const auto &e = seen[i++];
        EXPECT_EQ(e.code, static_cast<uint32_t>(c.code)) << "report " << c.report;
        if (c.code == FLOWMESH_STATUS_NETWORK_CHANGED) {
            EXPECT_EQ(e.word, c.word) << "report " << c.report;
        } else {
            EXPECT_EQ(e.adapter.next, nullptr);
            EXPECT_STREQ(e.adapter.id, "ETH0");
        }
    }
}

bool executor_exists(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    CoreExecutor *executor = core_executor_find(&name);
    if (executor == nullptr) return false;
    core_executor_release(executor);
    return true;
}

bool pool_exists(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return core_pool_exists(&name) == 1;
}

const char *const kFixedPools[] = {FLOWMESH_STREAM_POOL, FLOWMESH_MANAGER_POOL, FLOWMESH_CORE_POOL,
                                   FLOWMESH_SERVICE_POOL};
const char *const kFixedExecutors[] = {FLOWMESH_SERVICE_EXECUTOR, FLOWMESH_STREAM_EXECUTOR,
                                       FLOWMESH_MANAGER_EXECUTOR};

TEST_F(CoreState, DestroyingAStartedCoreStopsTheEngineAndReleasesEveryName)
{
    for (const char *pool : kFixedPools) EXPECT_TRUE(pool_exists(pool)) << pool;
    for (const char *executor : kFixedExecutors) EXPECT_TRUE(executor_exists(executor)) << executor;
    ASSERT_EQ(flowmesh_set_state(2), CORE_OK);

    flowmesh_core_destroy();
    EXPECT_EQ(FakeEngine::stops.load(), 1);
    EXPECT_EQ(FakeEngine::destroyed.load(), 1);
    EXPECT_EQ(flowmesh_core_handle.load(), 0u);
    EXPECT_EQ(flowmesh_core_acquire(), nullptr);
    for (const char *pool : kFixedPools) EXPECT_FALSE(pool_exists(pool)) << pool;
    for (const char *executor : kFixedExecutors) EXPECT_FALSE(executor_exists(executor)) << executor;
}

TEST_F(CoreState, ACreationThatFailsHalfWayReleasesWhatItMade)
{
    flowmesh_core_destroy();
    // Someone else holds the stream pool's name: creation fails after the
    // service executor, two pools and the event tables were made.
    CoreName taken;
    core_name_format(&taken, "%s", FLOWMESH_STREAM_POOL);
    CorePoolConfig config = {};
    CorePool *squatter = core_pool_create(&config);
    ASSERT_EQ(core_pool_register(&taken, squatter), CORE_OK);

    FlowmeshConfig flowmesh = test_config();
    EXPECT_EQ(flowmesh_core_create(&flowmesh), CORE_ERR);
    EXPECT_EQ(flowmesh_core_handle.load(), 0u);
    EXPECT_FALSE(pool_exists(FLOWMESH_CORE_POOL));
    EXPECT_FALSE(pool_exists(FLOWMESH_SERVICE_POOL));
    EXPECT_FALSE(executor_exists(FLOWMESH_SERVICE_EXECUTOR));
    EXPECT_FALSE(executor_exists(FLOWMESH_STREAM_EXECUTOR));

    core_pool_unregister(&taken);
    core_pool_destroy(&squatter);
    EXPECT_EQ(flowmesh_core_create(&flowmesh), CORE_OK);
}

TEST_F(CoreState, InstanceNamesCountUpInHex)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    ASSERT_NE(core, nullptr);
    CoreName a, b;
    flowmesh_core_instance_name(core, &a);
    flowmesh_core_instance_name(core, &b);
    flowmesh_core_release(core);
    EXPECT_STREQ(a.text, "0000000000000001");
    EXPECT_STREQ(b.text, "0000000000000002");
}

}  // namespace
