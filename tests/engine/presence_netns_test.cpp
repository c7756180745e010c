// Two engines' presence services meeting for real: each runs in a process
// of its own (this binary, started with --presence-node) inside a network
// namespace, the two joined by a veth pair. Each process starts an engine
// node with its profile properties, derives the network configuration from
// an EngineConfig, creates its presence service and goes online; the
// presence task starts the network library, the nodes meet by LAN
// discovery, exchange their properties on the service stream and report
// each other found and changed. One node stands in for the binding service
// and opens "p2p.bnd.strm", which the default services mode requires.
// Each process prints the engine events as JSON lines.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/crypto.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/node.h"
#include "engine/peers.h"
#include "engine/presence.h"
#include "flowmesh/core.h"
#include "flowmesh/netns_support.h"
#include "flowmesh/session.h"

namespace {

// ---- the node process ----

std::mutex g_emit_mutex;

__attribute__((format(printf, 1, 2))) void emit(const char *format, ...)
{
    std::lock_guard<std::mutex> guard(g_emit_mutex);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

// A value as JSON text: printable characters only.
std::string printable(const uint8_t *data, uint64_t length)
{
    std::string out;
    for (uint64_t i = 0; i < length; ++i) out += data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"' ? char(data[i]) : '?';
    return out;
}

CoreResult on_event(const CoreQueueEntry *message, void **)
{
    const auto *data = static_cast<const uint8_t *>(message->data);
    switch (message->type) {
    case ENGINE_EVT_PRESENCE_STATE: {
        uint32_t state = 0;
        if (message->length == sizeof(state)) memcpy(&state, data, sizeof(state));
        emit("{\"event\":\"state\",\"state\":%u}", state);
        break;
    }
    case ENGINE_EVT_PEER_FOUND:
    case ENGINE_EVT_PEER_LOST:
    case ENGINE_EVT_PEER_CHANGED:
    case ENGINE_EVT_PEER_READY: {
        if (message->length < sizeof(EnginePeerRecord)) break;
        EnginePeerRecord record;
        memcpy(&record, data, sizeof(record));
        const char *names[] = {"found", "lost", "", "ready", "changed"};
        emit("{\"event\":\"%s\",\"peer\":\"%s\",\"length\":%llu}", names[message->type - ENGINE_EVT_PEER_FOUND],
             record.peerName.text, static_cast<unsigned long long>(message->length));
        break;
    }
    case ENGINE_EVT_PEER_PROPERTY: {
        if (message->length < sizeof(EngineNodeProperty)) break;
        EngineNodeProperty header;
        memcpy(&header, data, sizeof(header));
        if (header.length != message->length - sizeof(header)) break;
        emit("{\"event\":\"property\",\"peer\":\"%s\",\"name\":\"%s\",\"value\":\"%s\"}", header.record.peerName.text,
             header.name.text, printable(data + sizeof(header), header.length).c_str());
        break;
    }
    default: break;
    }
    return CORE_OK;
}

// The binding service's part that presence waits for: the binding stream.
int accept_bind_stream(void *record, FlowmeshStreamAnswer *answer)
{
    const auto *request = static_cast<const FlowmeshStreamRequest *>(record);
    if (core_name_cmp_str(request->kind.stream_name.key, ENGINE_STREAM_BIND) != 0) return 0;
    core_name_format(&answer->owner_name, "presence.netns");
    return 1;
}

int open_bind_stream(void *record, FlowmeshStreamAnswer *)
{
    const auto *event = static_cast<const FlowmeshSessionEvent *>(record);
    if (event->zero != 0 || event->info == nullptr || event->info->state != FLOWMESH_SESSION_UP) return 0;
    FlowmeshStreamParams params = {};
    params.send_buffer = 0x10000;
    params.receive_buffer = 0x10000;
    core_name_format(&params.owner_name, "presence.netns");
    params.kind.kind = FLOWMESH_STREAM_RELIABLE;
    core_name_format(&params.kind.stream_name, "%s", ENGINE_STREAM_BIND);
    emit("{\"event\":\"bind_open\",\"result\":%d}", flowmesh_session_open_stream(&event->session, &params));
    return 0;
}

void post_status(const std::string &value)
{
    std::vector<uint8_t> message(sizeof(EngineNodeProperty) + value.size());
    EngineNodeProperty header = {};
    core_name_format(&header.name, "%s", ENGINE_PROP_STATUS);
    header.length = value.size();
    memcpy(message.data(), &header, sizeof(header));
    memcpy(message.data() + sizeof(header), value.data(), value.size());
    engine_post_command(ENGINE_CMD_NODE_PROPERTY, message.data(), message.size());
}

int run_node(const std::string &name, const std::string &system, bool open_bind)
{
    if (engine_node_start(0) != CORE_OK) return 1;
    const std::string direction = "direction.bidirectional.value";
    engine_node_property_add(ENGINE_PROP_USERID, name.data(), name.size());
    engine_node_property_add(ENGINE_PROP_DIRECTION, direction.data(), direction.size());
    engine_node_property_add(ENGINE_PROP_STATUS, ENGINE_STATUS_ONLINE, strlen(ENGINE_STATUS_ONLINE));
    const std::string avatar(4096, 'a');
    engine_node_property_add(ENGINE_PROP_AVATAR, avatar.data(), avatar.size());
    engine_node_properties_seal();

    CoreName topic;
    core_name_format(&topic, "%s", ENGINE_EVENT_TOPIC);
    CoreTopicSubscription subscription = {on_event, {nullptr, nullptr}};
    const uint64_t key = core_topic_subscribe(&topic, &subscription);

    // The record as the interface side fills it.
    EngineConfig config = {};
    config.binderDirection = 3;
    config.networkFlags = 0x17;
    config.nodeKind = ENGINE_NODE_MEDIA;
    config.networkMode = 1;
    config.servicesMode = 10;
    config.network.basePort = 60149;
    config.network.adapterIndex = -1;
    config.network.networkOption = FLOWMESH_KEYS_128;
    core_name_format(&config.network.systemNodeName, "%.32s", system.c_str());
    core_name_format(&config.network.nodeUserId, "%.32s", name.c_str());
    RAND_bytes(config.network.nodeKey.key, CORE_NAME_KEY_SIZE);
    core_name_make(&config.network.nodeKey);
    EVP_PKEY *rsa = core_rsa_generate();
    EngineNetworkSetup setup;
    engine_config_network(&config, rsa, &setup);

    EnginePresenceService *service = engine_presence_create(&setup);
    if (service == nullptr) {
        emit("{\"event\":\"error\",\"reason\":\"no presence service\"}");
        return 1;
    }
    const FlowmeshCallbacks request = {accept_bind_stream, {0, 0}}, session = {open_bind_stream, {0, 0}};
    const uint64_t request_token = flowmesh_register_request_callbacks(&request);
    uint64_t session_token = 0;
    if (open_bind) session_token = flowmesh_register_session_callbacks(&session);
    engine_presence_go_online(service);
    emit("{\"event\":\"started\"}");

    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0) break;
        if (strncmp(line, "status ", 7) == 0) post_status(line + 7);
    }
    engine_presence_go_offline(service);
    flowmesh_unregister_request_callbacks(request_token);
    if (FlowmeshCore *core = flowmesh_core_acquire()) {
        flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, session_token);
        flowmesh_core_release(core);
    }
    engine_presence_destroy(&service);
    core_topic_unsubscribe(&topic, key);
    EngineNode *node = engine_node_running();
    engine_node_stop(&node);
    EVP_PKEY_free(rsa);
    emit("{\"event\":\"stopped\"}");
    return 0;
}

// ---- the test ----

size_t count(Node &node, const std::string &event, const std::string &name = "", const std::string &value = "")
{
    size_t n = 0;
    for (const std::string &line : node.lines())
        if (field(line, "event") == event && (name.empty() || field(line, name) == value)) ++n;
    return n;
}

bool has_property(Node &node, const std::string &name, const std::string &value)
{
    for (const std::string &line : node.lines())
        if (field(line, "event") == "property" && field(line, "name") == name && field(line, "value") == value)
            return true;
    return false;
}

class PresenceNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    }
};

TEST_F(PresenceNetns, TwoNodesMeetExchangeProfilesAndSeeStatusChanges)
{
    Topology topology(2);
    ASSERT_TRUE(topology.ok());
    const std::string system = "presence.netns." + std::to_string(getpid());
    Node alice(topology.ns(0), {"--presence-node", "alice", system, "--open-bind"});
    Node bob(topology.ns(1), {"--presence-node", "bob", system});
    ASSERT_TRUE(alice.started() && bob.started());

    ASSERT_TRUE(wait_for([&] { return count(alice, "state", "state", "3") > 0 && count(bob, "state", "state", "3") > 0; },
                         20000))
        << "the presence tasks started the network\nalice:\n" << alice.all() << "bob:\n" << bob.all();
    ASSERT_TRUE(wait_for([&] { return count(alice, "changed", "peer", "bob") > 0 && count(bob, "changed", "peer", "alice") > 0; },
                         30000))
        << "each reports the other found, ready and changed\nalice:\n" << alice.all() << "bob:\n" << bob.all();
    for (Node *node : {&alice, &bob}) {
        const std::string other = node == &alice ? "bob" : "alice";
        EXPECT_EQ(count(*node, "found", "peer", other), 1u);
        EXPECT_EQ(count(*node, "ready", "length", "440"), 1u);
        EXPECT_TRUE(has_property(*node, ENGINE_PROP_USERID, other));
        EXPECT_TRUE(has_property(*node, ENGINE_PROP_STATUS, ENGINE_STATUS_ONLINE));
        EXPECT_TRUE(has_property(*node, ENGINE_PROP_DIRECTION, "direction.bidirectional.value"));
        EXPECT_TRUE(has_property(*node, ENGINE_PROP_AVATAR, std::string(4096, 'a')));
    }

    alice.command("status status.busy.value");
    EXPECT_TRUE(wait_for([&] { return has_property(bob, ENGINE_PROP_STATUS, ENGINE_STATUS_BUSY); }, 10000))
        << bob.all();

    // Going to the offline status: the peer hears it before the network
    // stops, and reports alice lost.
    alice.command("status status.offline.value");
    EXPECT_TRUE(wait_for([&] { return count(bob, "lost", "peer", "alice") > 0; }, 10000)) << bob.all();
    EXPECT_TRUE(has_property(bob, ENGINE_PROP_STATUS, ENGINE_STATUS_OFFLINE));
    EXPECT_TRUE(wait_for([&] { return count(alice, "state", "state", "1") > 1; }, 10000)) << alice.all();
    EXPECT_EQ(count(bob, "found", "peer", "alice"), 1u);

    alice.stop();
    bob.stop();
    EXPECT_EQ(alice.exit_code(), 0);
    EXPECT_EQ(bob.exit_code(), 0);
    EXPECT_EQ(count(alice, "stopped"), 1u);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "--presence-node") == 0)
        return run_node(argv[2], argv[3], argc >= 5 && strcmp(argv[4], "--open-bind") == 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
