// The engine's lifecycle with real engine nodes: the four-state machine the
// interface drives with the lifecycle commands, the refusals, the node key
// rules for the RSA key and the relay store, going online and offline, and
// a teardown that leaves nothing behind.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <thread>
#include <vector>

#include "core/crypto.h"
#include "core/store.h"
#include "core/topic.h"
#include "engine/capability.h"
#include "engine/engine.h"
#include "engine/engine_support.h"
#include "engine/presence.h"
#include "engine/relay.h"
#include "engine/session.h"

namespace {

using namespace engine_support;

std::vector<uint8_t> public_key(EVP_PKEY *key)
{
    std::vector<uint8_t> der(1024);
    uint64_t length = der.size();
    if (key == nullptr || core_rsa_public_to_der(key, der.data(), &length) != CORE_OK) return {};
    der.resize(length);
    return der;
}

class LifecycleTest : public EngineFixture {};

// Each row: a lifecycle command and the state it leaves. Only 0 -> 2 -> 3
// -> 1 -> 0 moves; every other command in every state changes nothing.
TEST_F(LifecycleTest, StateMachineMovesOnlyAlongStartOnlineOfflineStop)
{
    const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
    struct Step {
        uint32_t code;
        uint32_t state;
        bool servicesExist;
    };
    const Step steps[] = {
        {ENGINE_CMD_GO_ONLINE, ENGINE_STATE_STOPPED, false},
        {ENGINE_CMD_GO_OFFLINE, ENGINE_STATE_STOPPED, false},
        {ENGINE_CMD_STOP, ENGINE_STATE_STOPPED, false},
        {ENGINE_CMD_START, ENGINE_STATE_STARTED, true},
        {ENGINE_CMD_START, ENGINE_STATE_STARTED, true},  // already started: nothing
        {ENGINE_CMD_STOP, ENGINE_STATE_STARTED, true},
        {ENGINE_CMD_GO_OFFLINE, ENGINE_STATE_STARTED, true},
        {ENGINE_CMD_GO_ONLINE, ENGINE_STATE_ONLINE, true},
        {ENGINE_CMD_START, ENGINE_STATE_ONLINE, true},  // refused
        {ENGINE_CMD_STOP, ENGINE_STATE_ONLINE, true},
        {ENGINE_CMD_GO_ONLINE, ENGINE_STATE_ONLINE, true},
        {ENGINE_CMD_GO_OFFLINE, ENGINE_STATE_OFFLINE, true},
        {ENGINE_CMD_GO_ONLINE, ENGINE_STATE_OFFLINE, true},
        {ENGINE_CMD_GO_OFFLINE, ENGINE_STATE_OFFLINE, true},
        // A start while offline finds the services still there: it fails and
        // takes them down, and the state waits for the stop.
        {ENGINE_CMD_START, ENGINE_STATE_OFFLINE, false},
        {ENGINE_CMD_STOP, ENGINE_STATE_STOPPED, false},
        {ENGINE_CMD_START, ENGINE_STATE_STARTED, true},
    };
    for (const Step &step : steps) {
        const bool start = step.code == ENGINE_CMD_START;
        EXPECT_EQ(command(step.code, start ? &config : nullptr, start ? sizeof(config) : 0), step.state)
            << "command 0x" << std::hex << step.code;
        EXPECT_EQ(engine_services_current() != nullptr, step.servicesExist) << "command 0x" << std::hex << step.code;
        EXPECT_EQ(engine_capability_current() != nullptr, step.servicesExist);
    }
    // A plain node has no media session.
    EXPECT_EQ(engine_session_current(), nullptr);
    stop_engine();
    EXPECT_EQ(engine_state(), ENGINE_STATE_STOPPED);
}

TEST_F(LifecycleTest, SyncHelpersReportWhetherTheStateWasReached)
{
    const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    // Started but not online: neither command takes effect.
    EXPECT_EQ(engine_go_offline_sync(), 0u);
    EXPECT_EQ(engine_stop_sync(), 0u);
    ASSERT_EQ(command(ENGINE_CMD_GO_ONLINE), ENGINE_STATE_ONLINE);
    EXPECT_NE(engine_go_offline_sync(), 0u);
    EXPECT_NE(engine_stop_sync(), 0u);
    EXPECT_EQ(engine_state(), ENGINE_STATE_STOPPED);
    EXPECT_EQ(engine_services_current(), nullptr);
}

// The sync helpers wait for the command topic's consumer: called on it they
// would wait for themselves, so they refuse at once.
TEST_F(LifecycleTest, SyncHelpersRefuseToRunOnTheCommandConsumer)
{
    struct Probe {
        uint64_t stop = 1;
        uint64_t offline = 1;
    } probe;
    constexpr uint32_t kProbe = 0x7E01;
    const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
    CoreTopicSubscription subscription = {
        [](const CoreQueueEntry *message, void **user) -> CoreResult {
            if (message->type != kProbe) return CORE_OK;
            auto *p = static_cast<Probe *>(user[0]);
            p->stop = engine_stop_sync();
            p->offline = engine_go_offline_sync();
            return CORE_OK;
        },
        {&probe, nullptr}};
    const uint64_t key = core_topic_subscribe(&topic, &subscription);
    ASSERT_NE(key, 0u);
    command(kProbe);
    core_topic_unsubscribe(&topic, key);
    EXPECT_EQ(probe.stop, 0u);
    EXPECT_EQ(probe.offline, 0u);
}

// Rows of records that must not start, and what they leave behind: nothing
// at all, or (for a failure after the key was made) only the RSA key.
TEST_F(LifecycleTest, RefusedAndFailedStartsLeaveTheStateAndCreateNothing)
{
    struct Case {
        const char *what;
        void (*change)(EngineConfig *);
        bool keyMade;
    };
    const Case cases[] = {
        {"all-zero node key", [](EngineConfig *c) { memset(&c->network.nodeKey, 0, sizeof(c->network.nodeKey)); },
         false},
        {"binder direction 0", [](EngineConfig *c) { c->binderDirection = 0; }, true},
        {"services mode 11", [](EngineConfig *c) { c->servicesMode = 11; }, true},
        {"services mode 4", [](EngineConfig *c) { c->servicesMode = ENGINE_SERVICES_FILES; }, true},
        {"no network role", [](EngineConfig *c) { c->networkFlags = ENGINE_NET_LAN_DISCOVERY; }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EngineConfig config = start_record(ENGINE_NODE_PLAIN, 41, c.what);
        c.change(&config);
        EXPECT_EQ(start(config), ENGINE_STATE_STOPPED);
        EXPECT_EQ(engine_services_current(), nullptr);
        EXPECT_EQ(engine_capability_current(), nullptr);
        EXPECT_EQ(engine_session_current(), nullptr);
        EXPECT_EQ(context_->rsaKey != nullptr, c.keyMade);
    }
    // A short start record is dropped whole.
    const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
    EXPECT_EQ(command(ENGINE_CMD_START, &config, sizeof(config) - 4), ENGINE_STATE_STOPPED);
    EXPECT_EQ(engine_capability_current(), nullptr);
}

// The RSA key and the relay store belong to the node key: a restart with
// the same key keeps both, another key makes a new key and an empty store.
// A start that failed after making the key leaves it for the next start of
// the same node.
TEST_F(LifecycleTest, NodeKeyDecidesWhetherRsaKeyAndRelayStoreAreKept)
{
    EngineConfig failing = start_record(ENGINE_NODE_PLAIN, 41, "node.key.a");
    failing.binderDirection = 0;
    ASSERT_EQ(start(failing), ENGINE_STATE_STOPPED);
    const std::vector<uint8_t> first = public_key(context_->rsaKey);
    ASSERT_FALSE(first.empty());

    const EngineConfig a = start_record(ENGINE_NODE_PLAIN, 41, "node.key.a");
    ASSERT_EQ(start(a), ENGINE_STATE_STARTED);
    EXPECT_EQ(public_key(context_->rsaKey), first) << "the failed start's key serves the same node";
    ASSERT_NE(engine_relay_store(), nullptr);
    EXPECT_TRUE(same(engine_relay_store()->nodeKey, a.network.nodeKey));

    // A peer the presence service reported, then offline and a restart.
    EnginePeerRecord peer;
    memset(&peer, 0, sizeof(peer));
    peer.nodeId = name_of("node.b");
    peer.sessionName = name_of("session.b");
    engine_post_event(ENGINE_EVT_PEER_FOUND, &peer, sizeof(peer));
    events_.flush();
    EXPECT_EQ(engine_relay_store()->peers->live, 1u);
    stop_engine();
    ASSERT_EQ(start(a), ENGINE_STATE_STARTED);
    EXPECT_EQ(public_key(context_->rsaKey), first);
    EXPECT_EQ(engine_relay_store()->peers->live, 0u) << "going offline dropped the peer";
    engine_post_event(ENGINE_EVT_PEER_FOUND, &peer, sizeof(peer));
    events_.flush();
    stop_engine();

    const EngineConfig b = start_record(ENGINE_NODE_PLAIN, 41, "node.key.b");
    ASSERT_EQ(start(b), ENGINE_STATE_STARTED);
    const std::vector<uint8_t> second = public_key(context_->rsaKey);
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
    ASSERT_NE(engine_relay_store(), nullptr);
    EXPECT_TRUE(same(engine_relay_store()->nodeKey, b.network.nodeKey));
    EXPECT_EQ(engine_relay_store()->peers->live, 0u);
    stop_engine();
}

// Going online schedules the presence task 500 to 1200 ms ahead and leaves
// the network to it; going offline cancels the task, reports offline and
// drops every relayed peer.
TEST_F(LifecycleTest, OnlineSchedulesThePresenceStartAndOfflineUndoesIt)
{
    const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
        EnginePresenceService *presence = engine_services_current()->presence;
        ASSERT_NE(presence, nullptr);
        EXPECT_EQ(presence->presenceTask.load(), 0u);
        ASSERT_EQ(command(ENGINE_CMD_GO_ONLINE), ENGINE_STATE_ONLINE);
        EXPECT_NE(presence->presenceTask.load(), 0u);
        EXPECT_GE(context_->onlineDelayMs, 500u);
        EXPECT_LE(context_->onlineDelayMs, 1200u);
        ASSERT_NE(engine_go_offline_sync(), 0u);
        EXPECT_EQ(presence->presenceTask.load(), 0u);
        EXPECT_EQ(presence->runWord.load(), ENGINE_PRESENCE_IDLE);
        EXPECT_EQ(presence->presenceState.load(), ENGINE_PRESENCE_OFFLINE);
        ASSERT_NE(engine_stop_sync(), 0u);
    }
}

// A media node: the start makes the engine session next to the services.
TEST_F(LifecycleTest, MediaNodeStartsWithASessionAndStopsWithout)
{
    const EngineConfig config = start_record(ENGINE_NODE_MEDIA);
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    EngineSession *session = engine_session_current();
    ASSERT_NE(session, nullptr);
    EXPECT_NE(session->provider, nullptr);
    EXPECT_NE(session->display, nullptr);
    stop_engine();
    EXPECT_EQ(engine_session_current(), nullptr);
    EXPECT_EQ(engine_capability_current(), nullptr);
}

// engine_destroy from any state leaves no context, node, topic or thread.
TEST(LifecycleTeardown, DestroyLeavesNothingBehind)
{
    // ThreadSanitizer starts its own background thread at the first thread
    // this process makes; count after that has happened.
    std::thread([] {}).join();
    const size_t threads = thread_count();
    for (uint32_t last : {ENGINE_STATE_STOPPED, ENGINE_STATE_STARTED, ENGINE_STATE_ONLINE}) {
        SCOPED_TRACE(last);
        ASSERT_EQ(engine_context_create(), CORE_OK);
        EXPECT_EQ(engine_context_create(), CORE_FAIL) << "one context per process";
        EngineContext *context = engine_context_current();
        add_properties();
        if (last != ENGINE_STATE_STOPPED) {
            const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
            ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
        }
        if (last == ENGINE_STATE_ONLINE) {
            ASSERT_EQ(command(ENGINE_CMD_GO_ONLINE), ENGINE_STATE_ONLINE);
        }
        engine_destroy(&context);
        EXPECT_EQ(context, nullptr);
        EXPECT_EQ(engine_context_current(), nullptr);
        EXPECT_EQ(engine_node_running(), nullptr);
        EXPECT_EQ(engine_services_current(), nullptr);
        EXPECT_EQ(engine_capability_current(), nullptr);
        EXPECT_EQ(engine_relay_store(), nullptr);
        EXPECT_EQ(engine_post_command(ENGINE_CMD_STOP, nullptr, 0), 0u) << "the topics are gone";
        EXPECT_TRUE(wait_until([&] { return thread_count() <= threads; }, 10000))
            << thread_count() << " threads, " << threads << " before";
    }
    EngineContext *none = nullptr;
    engine_destroy(&none);
    EXPECT_EQ(engine_stop_sync(), 0u);
    EXPECT_EQ(engine_go_offline_sync(), 0u);
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS
