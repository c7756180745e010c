// The presence service: creation rules, the presence state it reports, the
// own status starting and stopping a real network on a loopback adapter,
// restart requests, and the node commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/executor.h"
#include "core/store.h"
#include "engine/presence_support.h"
#include "flowmesh/access.h"
#include "flowmesh/core.h"

namespace {

using namespace presence_test;

template <typename Done>
bool wait_until(Done done, uint32_t ms = 20000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(10);
    }
    return true;
}

int32_t network_state()
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return -1;
    const int32_t state = core->state.load();
    flowmesh_core_release(core);
    return state;
}

std::vector<uint32_t> states_of(const std::vector<Event> &events)
{
    std::vector<uint32_t> out;
    for (const Event &e : events) {
        uint32_t state = 0;
        if (e.data.size() == sizeof(state)) memcpy(&state, e.data.data(), sizeof(state));
        out.push_back(state);
    }
    return out;
}

TEST(PresenceCreate, RefusedWithoutWhatItNeeds)
{
    EXPECT_EQ(engine_presence_create(nullptr), nullptr);
    const EngineNetworkSetup good = loopback_setup(31);
    EXPECT_EQ(engine_presence_create(&good), nullptr) << "no engine node runs";

    ASSERT_EQ(engine_node_start(0), CORE_OK);
    EXPECT_EQ(engine_presence_create(&good), nullptr) << "the property list is not sealed";
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, ENGINE_STATUS_AWAY, strlen(ENGINE_STATUS_AWAY)), CORE_OK);
    ASSERT_EQ(engine_node_properties_seal(), CORE_OK);

    struct Case {
        const char *purpose;
        void (*spoil)(FlowmeshConfig &);
    };
    const Case cases[] = {
        {"no role bit", [](FlowmeshConfig &c) { c.flags &= ~(FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY); }},
        {"neither discovery nor direct mode", [](FlowmeshConfig &c) { c.flags &= ~(FLOWMESH_MODE_LAN | FLOWMESH_MODE_DIRECT); }},
        {"no system name", [](FlowmeshConfig &c) { memset(&c.system_name, 0, sizeof(c.system_name)); }},
        {"no user id", [](FlowmeshConfig &c) { memset(&c.user_id, 0, sizeof(c.user_id)); }},
        {"no node key", [](FlowmeshConfig &c) { memset(&c.node_id, 0, sizeof(c.node_id)); }},
        {"a reliable pool the library refuses", [](FlowmeshConfig &c) { c.reliable_pool_size = 20; }},
    };
    for (const Case &c : cases) {
        EngineNetworkSetup setup = good;
        c.spoil(setup.network);
        EXPECT_EQ(engine_presence_create(&setup), nullptr) << c.purpose;
        EXPECT_EQ(flowmesh_core_acquire(), nullptr) << c.purpose << ": no network core stays behind";
    }

    EnginePresenceService *service = engine_presence_create(&good);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(engine_presence_create(&good), nullptr) << "one network core per process";
    EXPECT_EQ(service->requiredStreams, static_cast<uint32_t>(ENGINE_PEER_STREAM_BIND));
    engine_presence_destroy(&service);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(flowmesh_core_acquire(), nullptr) << "destroying the service ends the network core";
    engine_presence_destroy(&service);

    EngineNode *node = engine_node_running();
    engine_node_stop(&node);
}

TEST(PresenceCreate, StatusValueIndex)
{
    struct Case {
        std::string text;
        int32_t index;
    };
    const Case cases[] = {
        {"status.online.value", 0},    {"status.away.value", 1},   {"status.busy.value", 2},
        {"status.offline.value", 3},   {"status.away.value ", -1}, {std::string("status.busy.value", 18), -1},
        {"status.away.valu", -1},      {"", -1},
    };
    for (const Case &c : cases) EXPECT_EQ(engine_status_value_index(c.text.data(), c.text.size()), c.index) << c.text;
}

class PresenceService : public PresenceFixture {
protected:
    std::vector<uint32_t> posted_states() { return states_of(recorder_.take({ENGINE_EVT_PRESENCE_STATE})); }

    // One run of the task as the executor makes it (task id 0: the re-arm
    // does nothing, so the test decides when the next run comes).
    void task_run()
    {
        CoreName executor;
        core_name_format(&executor, "%s", CORE_DEFAULT_EXECUTOR);
        void *user[2] = {service_, nullptr};
        engine_presence_task(&executor, 0, nullptr, nullptr, user);
    }

    // The first run after going online registers the network callbacks.
    void register_callbacks()
    {
        service_->runWord.store(ENGINE_PRESENCE_STARTING);
        task_run();
        ASSERT_EQ(service_->runWord.load(), static_cast<uint32_t>(ENGINE_PRESENCE_RUNNING));
    }

    void command(uint32_t code, const void *data, uint64_t length)
    {
        CoreName topic;
        core_name_format(&topic, "%s", ENGINE_COMMAND_TOPIC);
        const uint64_t seq = engine_post_command(code, data, length);
        ASSERT_NE(seq, 0u);
        ASSERT_EQ(core_topic_wait(&topic, seq), CORE_OK);
    }

    void property_command(const char *name, const std::string &value)
    {
        std::vector<uint8_t> message(sizeof(EngineNodeProperty) + value.size());
        EngineNodeProperty header = {};
        core_name_format(&header.name, "%s", name);
        header.length = value.size();
        memcpy(message.data(), &header, sizeof(header));
        memcpy(message.data() + sizeof(header), value.data(), value.size());
        command(ENGINE_CMD_NODE_PROPERTY, message.data(), message.size());
    }

    // Names of the property messages waiting for a peer.
    std::vector<std::string> queued_properties(const char *session)
    {
        std::vector<std::string> out;
        CoreName key;
        core_name_format(&key, "%s", session);
        auto *peer = reinterpret_cast<EnginePresencePeer *>(core_store_lookup(service_->peers, key.key));
        if (peer == nullptr) return out;
        {
            CoreLockGuard guard(&peer->outgoing.lock);
            for (EnginePresenceItem *item = peer->outgoing.first; item != nullptr; item = item->next) {
                EnginePresenceMessage m;
                if (engine_presence_message_parse(item->data, item->length, &m) == CORE_OK &&
                    m.kind == ENGINE_PRESENCE_PROPERTY)
                    out.push_back(std::string(reinterpret_cast<const char *>(m.nameKey)) + "=" +
                                  std::string(reinterpret_cast<const char *>(m.value), m.valueLength));
            }
        }
        core_store_unref(service_->peers);
        return out;
    }

    uint64_t statuses_queued() { return core_queue_count(service_->statusQueue); }

    uint32_t deny_entries()
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        core_store_lock(core->deny);
        const uint32_t n = core->deny->live;
        core_store_unlock(core->deny);
        flowmesh_core_release(core);
        return n;
    }
};

TEST_F(PresenceService, StateIsPostedOnChangeAndOnQuery)
{
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_OFFLINE})) << "creation reports offline";
    EXPECT_EQ(engine_presence_set_state(service_, ENGINE_PRESENCE_OFFLINE), CORE_DONE);
    EXPECT_EQ(engine_presence_set_state(service_, ENGINE_PRESENCE_START_FAILED), CORE_OK);
    EXPECT_EQ(engine_presence_set_state(service_, ENGINE_PRESENCE_START_FAILED), CORE_DONE);
    command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0);
    command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_START_FAILED, ENGINE_PRESENCE_START_FAILED,
                                                      ENGINE_PRESENCE_START_FAILED}));
}

TEST_F(PresenceService, OwnStatusStartsAndStopsTheNetwork)
{
    posted_states();
    register_callbacks();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED) << "registering starts nothing";

    task_run();  // the status queued at creation: online, coming from offline
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_ONLINE}));
    EXPECT_TRUE(recorder_.wait_for(ENGINE_EVT_ADAPTER_ADDED, [](const Event &e) {
        CoreNetAdapter adapter;
        if (e.data.size() != sizeof(adapter)) return false;
        memcpy(&adapter, e.data.data(), sizeof(adapter));
        return adapter.next == nullptr && strcmp(adapter.id, "6C6F1F") == 0 && adapter.address.address == loopback(31);
    })) << "the running adapter is reported";

    // The library reports each running adapter back when asked.
    command(ENGINE_CMD_ADAPTERS_REPORT, nullptr, 0);
    EXPECT_TRUE(recorder_.wait_for(ENGINE_EVT_ADAPTER_LOST, [](const Event &e) {
        CoreNetAdapter adapter;
        if (e.data.size() != sizeof(adapter)) return false;
        memcpy(&adapter, e.data.data(), sizeof(adapter));
        return adapter.next == nullptr && strcmp(adapter.id, "6C6F1F") == 0;
    }));

    ASSERT_EQ(engine_presence_request_status(service_, ENGINE_STATUS_BUSY, strlen(ENGINE_STATUS_BUSY)), CORE_OK);
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    EXPECT_TRUE(posted_states().empty()) << "busy is news for the peers only";

    ASSERT_EQ(engine_presence_request_status(service_, ENGINE_STATUS_OFFLINE, strlen(ENGINE_STATUS_OFFLINE)), CORE_OK);
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_OFFLINE}));

    // Offline: restart requests are discarded, nothing starts.
    service_->restartRequests.store(2);
    task_run();
    EXPECT_EQ(service_->restartRequests.load(), 0u);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);

    ASSERT_EQ(engine_presence_request_status(service_, ENGINE_STATUS_AWAY, strlen(ENGINE_STATUS_AWAY)), CORE_OK);
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_ONLINE}));

    // A restart request while running: stopped and started again.
    service_->restartRequests.store(1);
    task_run();
    EXPECT_EQ(service_->restartRequests.load(), 0u);
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    EXPECT_TRUE(posted_states().empty()) << "still online";

    EXPECT_EQ(engine_presence_request_status(service_, "status.gone.value", 17), CORE_ERR);
}

// An adapter whose address this machine does not have: every start fails.
class PresenceStartFails : public PresenceService {
protected:
    EngineNetworkSetup make_setup() override
    {
        EngineNetworkSetup setup = loopback_setup(last_);
        setup.network.adapters[0].address.address = htonl(0xC0000263);  // 192.0.2.99
        setup.network.adapters[0].flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LAN;
        return setup;
    }
};

TEST_F(PresenceStartFails, FailureIsReportedOnceAndRetried)
{
    posted_states();
    register_callbacks();
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);
    EXPECT_EQ(service_->restartRequests.load(), 1u) << "the next run retries";
    task_run();
    task_run();
    EXPECT_EQ(service_->restartRequests.load(), 1u);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_START_FAILED}));

    // Going offline ends the retries.
    ASSERT_EQ(engine_presence_request_status(service_, ENGINE_STATUS_OFFLINE, strlen(ENGINE_STATUS_OFFLINE)), CORE_OK);
    task_run();
    EXPECT_EQ(service_->restartRequests.load(), 0u);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_OFFLINE}));
}

class PresenceCreatedOffline : public PresenceService {
protected:
    void SetUp() override
    {
        status_ = ENGINE_STATUS_OFFLINE;
        PresenceService::SetUp();
    }
};

TEST_F(PresenceCreatedOffline, NeverStartsTheNetworkUntilTheStatusChanges)
{
    register_callbacks();
    service_->restartRequests.store(1);
    for (int i = 0; i < 3; ++i) task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STOPPED);
    EXPECT_EQ(service_->restartRequests.load(), 0u);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_OFFLINE}));

    property_command(ENGINE_PROP_STATUS, ENGINE_STATUS_ONLINE);
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_ONLINE}));
}

TEST_F(PresenceService, GoingOnlineAndOfflineRunTheTask)
{
    posted_states();
    const uint64_t task = engine_presence_go_online(service_);
    ASSERT_NE(task, 0u);
    EXPECT_EQ(engine_presence_go_online(service_), 0u) << "one task at a time";
    // Registration, then the start: two runs of the real task.
    EXPECT_TRUE(recorder_.wait_for(ENGINE_EVT_PRESENCE_STATE, [](const Event &e) {
        return e.data.size() == 4 && e.data[0] == ENGINE_PRESENCE_ONLINE;
    }));
    EXPECT_EQ(service_->runWord.load(), static_cast<uint32_t>(ENGINE_PRESENCE_RUNNING));

    ASSERT_EQ(engine_presence_go_offline(service_), CORE_OK);
    EXPECT_EQ(service_->presenceTask.load(), 0u);
    EXPECT_EQ(service_->runWord.load(), static_cast<uint32_t>(ENGINE_PRESENCE_IDLE));
    EXPECT_TRUE(wait_until([] { return network_state() == FLOWMESH_NETWORK_STOPPED; }))
        << "the library stops its network on its own thread";
    EXPECT_EQ(posted_states(), (std::vector<uint32_t>{ENGINE_PRESENCE_ONLINE, ENGINE_PRESENCE_OFFLINE}));

    // Online again: the network starts anew with the status it had.
    ASSERT_NE(engine_presence_go_online(service_), 0u);
    EXPECT_TRUE(recorder_.wait_for(ENGINE_EVT_PRESENCE_STATE, [](const Event &e) {
        return e.data.size() == 4 && e.data[0] == ENGINE_PRESENCE_ONLINE;
    }));
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    ASSERT_EQ(engine_presence_go_offline(service_), CORE_OK);
}

TEST_F(PresenceService, NodePropertyIsBroadcastToEveryPeer)
{
    session_event("session.b", FLOWMESH_SESSION_UP, "node.b", loopback(2));
    session_event("session.c", FLOWMESH_SESSION_UP, "node.c", loopback(3));
    const uint64_t before = statuses_queued();

    property_command(ENGINE_PROP_FIRSTNAME, "Alice");
    property_command(ENGINE_PROP_STATUS, ENGINE_STATUS_BUSY);
    property_command(ENGINE_PROP_STATUS, "status.gone.value");       // unknown: dropped
    property_command(ENGINE_PROP_LASTNAME, std::string(257, 'x'));  // breaks its rule: dropped
    EXPECT_EQ(statuses_queued(), before + 1);
    for (const char *session : {"session.b", "session.c"}) {
        std::vector<std::string> properties;
        wait_until([&] { return (properties = queued_properties(session)).size() == 6; });
        ASSERT_EQ(properties.size(), 6u) << session << ": four of the full state and two broadcasts";
        EXPECT_EQ(properties[4], "node.firstname.field=Alice");
        EXPECT_EQ(properties[5], "node.status.field=status.busy.value");
    }

    // A command whose value length claims more than it carries is dropped.
    EngineNodeProperty header = {};
    core_name_format(&header.name, "%s", ENGINE_PROP_STATUS);
    header.length = 1000;
    command(ENGINE_CMD_NODE_PROPERTY, &header, sizeof(header));
    EXPECT_EQ(statuses_queued(), before + 1);
}

TEST_F(PresenceService, RefreshDropsEveryPeer)
{
    session_event("session.b", FLOWMESH_SESSION_UP);
    complete_peer("session.b");
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    recorder_.take();

    command(ENGINE_CMD_PRESENCE_REFRESH, nullptr, 0);
    EXPECT_NE(service_->changes.load(), 0u);
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    EXPECT_EQ(codes_of(recorder_.take({ENGINE_EVT_PEER_LOST, ENGINE_EVT_PEER_FOUND})),
              (std::vector<uint32_t>{ENGINE_EVT_PEER_LOST}));
    EXPECT_EQ(live_peers(), 0u);
}

TEST_F(PresenceService, AdapterSlotsRequestRestarts)
{
    register_callbacks();
    CoreNetAdapter adapter = {};
    adapter.next = reinterpret_cast<CoreNetAdapter *>(static_cast<uintptr_t>(0x1234));  // never followed
    adapter.flags = CORE_ADAPTER_HAS_IPV4;
    snprintf(adapter.id, sizeof(adapter.id), "%s", "65746831");

    command(ENGINE_CMD_ADAPTER_ADD, &adapter, sizeof(adapter));
    EXPECT_TRUE(wait_until([&] { return service_->restartRequests.load() == 1; }));
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        CoreLockGuard guard(&core->allow_lock);
        EXPECT_STREQ(core->allow_list[1].id, "65746831") << "the first free slot";
        EXPECT_EQ(core->allow_list[1].next, nullptr);
        flowmesh_core_release(core);
    }
    command(ENGINE_CMD_ADAPTER_ADD, &adapter, sizeof(adapter) - 1);  // short: dropped
    command(ENGINE_CMD_ADAPTER_REMOVE, &adapter, sizeof(adapter));
    EXPECT_TRUE(wait_until([&] { return service_->restartRequests.load() == 2; }));
    command(ENGINE_CMD_ADAPTER_REMOVE, &adapter, sizeof(adapter));  // gone already: no request

    // All sixteen slots in use: nothing is added and no restart is asked for.
    for (int i = 0; i < 15; ++i) {
        snprintf(adapter.id, sizeof(adapter.id), "6574683%X", i);
        command(ENGINE_CMD_ADAPTER_ADD, &adapter, sizeof(adapter));
    }
    EXPECT_TRUE(wait_until([&] { return service_->restartRequests.load() == 17; }));
    snprintf(adapter.id, sizeof(adapter.id), "%s", "77616E30");
    command(ENGINE_CMD_ADAPTER_ADD, &adapter, sizeof(adapter));
    // The pipe that carries the requests delivers in order: one more
    // removal's request shows that nothing came before it.
    snprintf(adapter.id, sizeof(adapter.id), "%s", "65746830");
    command(ENGINE_CMD_ADAPTER_REMOVE, &adapter, sizeof(adapter));
    EXPECT_TRUE(wait_until([&] { return service_->restartRequests.load() >= 18; }));
    EXPECT_EQ(service_->restartRequests.load(), 18u);
}

TEST_F(PresenceService, DenyListCommands)
{
    struct Endpoint {
        uint32_t address;
        uint16_t port;
    } __attribute__((packed));
    static_assert(sizeof(Endpoint) == 6, "");
    const Endpoint endpoint = {loopback(7), htons(5000)};
    const Endpoint address = {loopback(8), 0};
    const Endpoint zero = {0, 0};
    CoreName node;
    core_name_format(&node, "node.blocked");

    command(ENGINE_CMD_BLOCK_ENDPOINT, &endpoint, sizeof(endpoint));
    command(ENGINE_CMD_BLOCK_ADDRESS, &address, sizeof(address));
    command(ENGINE_CMD_BLOCK_NODE, &node, sizeof(node));
    command(ENGINE_CMD_BLOCK_ENDPOINT, &endpoint, 5);  // short: dropped
    EXPECT_EQ(deny_entries(), 3u);

    // An all-zero key names no entry; it must not match the unused (zero)
    // fields of entries of the other kinds.
    command(ENGINE_CMD_UNBLOCK_ENDPOINT, &zero, sizeof(zero));
    command(ENGINE_CMD_UNBLOCK_ADDRESS, &zero, sizeof(zero));
    CoreName no_node = {};
    command(ENGINE_CMD_UNBLOCK_NODE, &no_node, sizeof(no_node));
    EXPECT_EQ(deny_entries(), 3u);

    command(ENGINE_CMD_UNBLOCK_ADDRESS, &address, sizeof(address));
    EXPECT_EQ(deny_entries(), 2u);
    command(ENGINE_CMD_UNBLOCK_NODE, node.key, CORE_NAME_KEY_SIZE);
    EXPECT_EQ(deny_entries(), 1u);
    command(ENGINE_CMD_UNBLOCK_ENDPOINT, &endpoint, sizeof(endpoint));
    EXPECT_EQ(deny_entries(), 0u);
}

TEST_F(PresenceService, DiscoveryModeAppliesAtTheRestartItAsksFor)
{
    register_callbacks();
    task_run();
    ASSERT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    const uint32_t mode = 3;
    command(ENGINE_CMD_DISCOVERY_MODE, &mode, sizeof(mode));
    EXPECT_EQ(service_->restartRequests.load(), 1u);
    task_run();
    EXPECT_EQ(network_state(), FLOWMESH_NETWORK_STARTED);
    FlowmeshCore *core = flowmesh_core_acquire();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->config.announce_mode, 3u);
    flowmesh_core_release(core);
}

}  // namespace
