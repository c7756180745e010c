// System start and stop: the order of a start's refusals, what a started
// runtime offers and a stopped one refuses, restarts that begin empty, and
// repeated cycles that leave no thread behind.
#include "core/system.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstring>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/names.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/thread.h"
#include "core/topic.h"
#include "core/values.h"
#include "thread_count.h"

namespace {

// A joined thread can linger in /proc for a moment after the join.
int thread_count_settled(int expected)
{
    int count = thread_count();
    for (int i = 0; i < 200 && count != expected; ++i) {
        core_sleep_ms(10);
        count = thread_count();
    }
    return count;
}

bool default_executor_exists()
{
    const CoreName name = core_name_of(CORE_DEFAULT_EXECUTOR);
    CoreExecutor *executor = core_executor_find(&name);
    core_executor_release(executor);
    return executor != nullptr;
}

bool default_pool_exists()
{
    const CoreName name = core_name_of(CORE_DEFAULT_POOL);
    return core_pool_exists(&name) == 1;
}

uint64_t post_to(const char *topic)
{
    const CoreName name = core_name_of(topic);
    uint32_t payload = 7;
    CoreMessage message = {1, 0, sizeof(payload), &payload};
    return core_topic_post(&name, &message);
}

CoreResult notify_on(const char *channel)
{
    const CoreName name = core_name_of(channel);
    return core_notify(&name, 1, nullptr, 0, nullptr, nullptr);
}

CoreResult answer_ok(uint32_t, const void *, uint64_t, void *, uint64_t *, void **) { return CORE_OK; }

std::atomic<int> g_destroyed{0};
void count_destroy(CoreHandleTable *, void *, uint64_t) { g_destroyed++; }

class SystemTest : public ::testing::Test {
protected:
    void TearDown() override { core_system_stop(); }
};

// Start and stop in sequence; each row's call sees the state the rows above
// left.
TEST_F(SystemTest, StartStopSequence)
{
    enum Call { kStart, kStop };
    struct Row {
        const char *purpose;
        Call call;
        CoreResult result;  // of a start
        bool running;       // the default executor exists afterwards
    };
    const Row rows[] = {
        {"stop without start does nothing", kStop, 0, false},
        {"first start", kStart, CORE_OK, true},
        {"second start refused", kStart, CORE_FAIL, true},
        {"stop", kStop, 0, false},
        {"stop again is harmless", kStop, 0, false},
        {"start after stop", kStart, CORE_OK, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.purpose);
        if (row.call == kStart)
            EXPECT_EQ(core_system_start(0), row.result);
        else
            core_system_stop();
        EXPECT_EQ(default_executor_exists(), row.running);
    }
}

TEST_F(SystemTest, StartedRuntimeOffersItsParts)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    EXPECT_TRUE(default_executor_exists());
    EXPECT_TRUE(default_pool_exists());
    for (CoreHandleTable *table : core_handle_tables) EXPECT_NE(table, nullptr);
    EXPECT_GE(core_identity_seed_index(), 0);
    EXPECT_LE(core_identity_seed_index(), 31);

    CoreBuffer buffer;
    ASSERT_NE(core_buffer_alloc(&buffer, 256), nullptr);
    core_buffer_free(&buffer);

    ASSERT_NE(core_process_valuelist(0), nullptr);
    ASSERT_NE(core_process_valuelist(1), nullptr);
    EXPECT_EQ(core_process_valuelist(0)->kind, CORE_VALUELIST_INSERT);
    EXPECT_EQ(core_process_valuelist(1)->kind, CORE_VALUELIST_REPLACE);
    CoreVideoCodecDesc desc = {};
    desc.direction = RAVK_CODEC_DECODER;
    EXPECT_EQ(core_codec_get_video(0, RAVK_CODEC_DECODER, &desc), -1);  // empty
    EXPECT_EQ(core_codec_add_video(&desc, 1), 0);

    const CoreTopicConfig topic_config = {};
    const CoreName topic = core_name_of("system.test.topic");
    ASSERT_EQ(core_topic_create(&topic, &topic_config), CORE_OK);
    EXPECT_GT(post_to("system.test.topic"), 0u);
    ASSERT_EQ(core_notify_channel_create_str("system.test.chan"), CORE_OK);
    const CoreName channel = core_name_of("system.test.chan");
    const CoreNotifySubscription subscription = {answer_ok, {}};
    ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);
    EXPECT_EQ(notify_on("system.test.chan"), CORE_OK);
}

TEST_F(SystemTest, StoppedRuntimeRefusesUse)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    const CoreTopicConfig topic_config = {};
    const CoreName topic = core_name_of("system.test.topic");
    ASSERT_EQ(core_topic_create(&topic, &topic_config), CORE_OK);
    ASSERT_EQ(core_notify_channel_create_str("system.test.chan"), CORE_OK);
    core_system_stop();

    EXPECT_EQ(post_to("system.test.topic"), 0u);
    EXPECT_EQ(notify_on("system.test.chan"), CORE_ERR);
    EXPECT_FALSE(default_executor_exists());
    EXPECT_FALSE(default_pool_exists());
    for (CoreHandleTable *table : core_handle_tables) EXPECT_EQ(table, nullptr);
    EXPECT_EQ(core_identity_seed_index(), -1);
    EXPECT_EQ(core_process_valuelist(0), nullptr);
    EXPECT_EQ(core_process_valuelist(1), nullptr);
    CoreBuffer buffer;
    EXPECT_EQ(core_buffer_alloc(&buffer, 16), nullptr);
    CoreAudioCodecDesc desc = {};
    desc.direction = RAVK_CODEC_ENCODER;
    EXPECT_EQ(core_codec_add_audio(&desc, 1), -1);
}

// The application restarts its engine: nothing published before the stop
// may survive into the next run.
TEST_F(SystemTest, RestartBeginsEmpty)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "fs.path", 0, 1, "/old", 4), 0);
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(0), "synchro.ip", 0, 1, "10.0.0.1", 8), 0);
    CoreAudioCodecDesc audio = {};
    audio.direction = RAVK_CODEC_ENCODER;
    audio.acceleration = RAVK_ACCEL_SOFTWARE;
    ASSERT_EQ(core_codec_add_audio(&audio, 1), 0);
    const CoreTopicConfig topic_config = {};
    const CoreName topic = core_name_of("system.test.topic");
    ASSERT_EQ(core_topic_create(&topic, &topic_config), CORE_OK);
    core_system_stop();

    ASSERT_EQ(core_system_start(0), CORE_OK);
    char out[16];
    EXPECT_EQ(core_valuelist_get(core_process_valuelist(1), "fs.path", 0, nullptr, out, sizeof(out), nullptr), -1);
    EXPECT_EQ(core_valuelist_get(core_process_valuelist(0), "synchro.ip", 0, nullptr, out, sizeof(out), nullptr), -1);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_ENCODER), 0u);
    EXPECT_EQ(post_to("system.test.topic"), 0u);
    // List 0 is insert-only: the old key must be free again.
    EXPECT_EQ(core_valuelist_put(core_process_valuelist(0), "synchro.ip", 0, 1, "10.0.0.2", 8), 0);
}

// A start that fails half-way keeps its marker; stop takes down what it
// made (and what it found), after which a start succeeds.
TEST_F(SystemTest, FailedStartIsUndoneByStop)
{
    ASSERT_EQ(core_executor_registry_start(), CORE_OK);  // start's own first registry
    EXPECT_EQ(core_system_start(0), CORE_FAIL);
    EXPECT_EQ(core_system_start(0), CORE_FAIL);
    core_system_stop();
    const CoreName default_executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    EXPECT_EQ(core_executor_create(&default_executor), -1);  // the registry is gone too
    EXPECT_EQ(core_system_start(0), CORE_OK);
    EXPECT_TRUE(default_pool_exists());
}

// A handle released just before the stop is still freed: its destroy
// callback may own a socket the next start wants to bind again.
TEST_F(SystemTest, StopRunsPendingFrees)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    g_destroyed = 0;
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    uint64_t handle = core_handle_create(table, 64, count_destroy, nullptr);
    ASSERT_NE(handle, 0u);
    core_handle_release(table, handle);
    core_system_stop();
    EXPECT_EQ(g_destroyed.load(), 1);
}

// Fifty engine restarts: every thread the runtime started ends, none is
// abandoned, and the clock keeps going forward. ASan's leak check at exit
// covers the memory.
TEST_F(SystemTest, RepeatedCyclesLeaveNoThreadBehind)
{
    // One cycle first: ThreadSanitizer starts a helper thread of its own at
    // the process's first thread creation, which is not ours to count.
    ASSERT_EQ(core_system_start(0), CORE_OK);
    core_system_stop();
    core_sleep_ms(50);
    const int baseline = thread_count();
    ASSERT_GT(baseline, 0);
    const uint64_t abandoned = core_thread_abandoned_count();
    uint64_t last_ns = core_clock_mono_ns();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(core_system_start(0), CORE_OK) << cycle;
        // Use what a running engine uses, so each part has threads and
        // entries to take down.
        const CoreTopicConfig topic_config = {};
        const CoreName topic = core_name_of("system.cycle.topic");
        ASSERT_EQ(core_topic_create(&topic, &topic_config), CORE_OK);
        EXPECT_GT(post_to("system.cycle.topic"), 0u);
        ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "fs.path", 0, 1, "/x", 2), 0);
        CoreBuffer buffer;
        ASSERT_NE(core_buffer_alloc(&buffer, 64), nullptr);
        core_buffer_free(&buffer);
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_STREAMS];
        core_handle_release(table, core_handle_create(table, 32, nullptr, nullptr));
        core_system_stop();

        const uint64_t now_ns = core_clock_mono_ns();
        ASSERT_GE(now_ns, last_ns) << cycle;
        last_ns = now_ns;
    }
    EXPECT_EQ(thread_count_settled(baseline), baseline);
    EXPECT_EQ(core_thread_abandoned_count(), abandoned);
}

}  // namespace
