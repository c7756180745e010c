// The peer relay store on a running engine node: raw presence and bind
// events go in on the event topic, and what the interface would see comes
// out as the relayed events, in order.
#include "engine/relay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/topic.h"
#include "engine/codes.h"
#include "engine/records.h"

namespace {

struct Seen {
    uint32_t code;
    std::vector<uint8_t> data;
};

struct Recorder {
    std::mutex lock;
    std::vector<Seen> events;
};

CoreResult record_relayed(const CoreQueueEntry *message, void **user)
{
    auto *r = static_cast<Recorder *>(user[0]);
    if (message->type < ENGINE_EVT_NODE_READY || message->type > ENGINE_EVT_NODE_CHANNELS_CLEARED) return CORE_OK;
    const auto *bytes = static_cast<const uint8_t *>(message->data);
    std::lock_guard<std::mutex> guard(r->lock);
    r->events.push_back({message->type, std::vector<uint8_t>(bytes, bytes + message->length)});
    return CORE_OK;
}

EnginePeerRecord peer(const char *node, const char *session)
{
    EnginePeerRecord r;
    memset(&r, 0, sizeof(r));
    core_name_format(&r.nodeId, "%s", node);
    core_name_format(&r.sessionName, "%s", session);
    core_name_format(&r.peerName, "name.%s", node);
    r.address = 0x0A000002;
    r.port = 60149;
    r.mode = 1;
    return r;
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        core_name_format(&topic_, "%s", ENGINE_EVENT_TOPIC);
        CoreTopicSubscription s = {record_relayed, {&recorder_, nullptr}};
        recorder_key_ = core_topic_subscribe(&topic_, &s);
        ASSERT_NE(recorder_key_, 0u);
        CoreName key;
        core_name_format(&key, "node.key");
        ASSERT_EQ(engine_relay_create(&key), CORE_OK);
        EXPECT_EQ(engine_relay_create(&key), CORE_ERR) << "one store per process";
    }
    void TearDown() override
    {
        engine_relay_destroy();
        EXPECT_EQ(engine_relay_store(), nullptr);
        core_topic_unsubscribe(&topic_, recorder_key_);
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    // Posts an event and waits until it and everything the relay posted
    // while handling it have been delivered.
    void post(uint32_t code, const void *data, uint64_t length)
    {
        ASSERT_NE(engine_post_event(code, data, length), 0u);
        const uint64_t marker = engine_post_event(0x1904, nullptr, 0);
        ASSERT_NE(marker, 0u);
        ASSERT_EQ(core_topic_wait(&topic_, marker), CORE_OK);
        // The relay's posts during the marker's delivery come after it.
        const uint64_t second = engine_post_event(0x1904, nullptr, 0);
        ASSERT_EQ(core_topic_wait(&topic_, second), CORE_OK);
    }
    void post_peer(uint32_t code, const EnginePeerRecord &r) { post(code, &r, sizeof(r)); }
    void post_property(const EnginePeerRecord &r, const char *name, const std::string &value,
                       uint64_t claimed = UINT64_MAX)
    {
        std::vector<uint8_t> m(sizeof(EngineNodeProperty) + value.size());
        EngineNodeProperty h;
        memset(&h, 0, sizeof(h));
        h.record = r;
        core_name_format(&h.name, "%s", name);
        h.length = claimed == UINT64_MAX ? value.size() : claimed;
        memcpy(m.data(), &h, sizeof(h));
        memcpy(m.data() + sizeof(h), value.data(), value.size());
        post(ENGINE_EVT_PEER_PROPERTY, m.data(), m.size());
    }
    void post_bind(uint32_t code, const char *node)
    {
        EngineBindRecord b;
        memset(&b, 0xAB, sizeof(b));  // fill between fields must not travel on
        b.kind = ENGINE_BIND_KIND_REQUESTER;
        CoreName channel, peer_node;
        core_name_format(&channel, "p2p.bnd.%08X.chnl", 0u);
        core_name_format(&peer_node, "%s", node);
        engine_media_desc_make(&b.desc, &channel, &peer_node, nullptr, nullptr);
        snprintf(b.sourceName, sizeof(b.sourceName), "screen 1");
        post(code, &b, sizeof(b));
    }

    std::vector<uint32_t> codes()
    {
        std::lock_guard<std::mutex> guard(recorder_.lock);
        std::vector<uint32_t> out;
        for (const Seen &s : recorder_.events) out.push_back(s.code);
        recorder_.events.clear();
        return out;
    }
    std::vector<Seen> take()
    {
        std::lock_guard<std::mutex> guard(recorder_.lock);
        std::vector<Seen> out;
        out.swap(recorder_.events);
        return out;
    }

    CoreName topic_;
    uint64_t recorder_key_ = 0;
    Recorder recorder_;
};

using Codes = std::vector<uint32_t>;

TEST_F(RelayTest, ANewPeerIsReadyBeforeWhatWaitedForItAndOnlineLast)
{
    const EnginePeerRecord a = peer("node.a", "session.1");
    post_peer(ENGINE_EVT_PEER_FOUND, a);
    post_property(a, ENGINE_PROP_STATUS, ENGINE_STATUS_AWAY);
    post_bind(ENGINE_EVT_BIND_OPENED, "node.a");
    EXPECT_EQ(codes(), Codes{}) << "nothing before the peer is ready";

    post_peer(ENGINE_EVT_PEER_CHANGED, a);
    const std::vector<Seen> seen = take();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].code, ENGINE_EVT_NODE_READY);
    EXPECT_EQ(seen[1].code, ENGINE_EVT_NODE_FIELD_CHANGED);
    EXPECT_EQ(seen[2].code, ENGINE_EVT_NODE_BIND_OPENED);
    EXPECT_EQ(seen[3].code, ENGINE_EVT_NODE_ONLINE);

    EngineRelayNodeNames names;
    ASSERT_EQ(seen[0].data.size(), sizeof(names));
    memcpy(&names, seen[0].data.data(), sizeof(names));
    EXPECT_STREQ(names.nodeId.text, "node.a");
    EXPECT_STREQ(names.peerName.text, "name.node.a");

    EngineRelayFieldChange change;
    ASSERT_EQ(seen[1].data.size(), sizeof(change) + strlen(ENGINE_STATUS_AWAY));
    memcpy(&change, seen[1].data.data(), sizeof(change));
    EXPECT_STREQ(change.nodeId.text, "node.a");
    EXPECT_STREQ(change.name.text, ENGINE_PROP_STATUS);
    EXPECT_EQ(std::string(seen[1].data.begin() + sizeof(change), seen[1].data.end()), ENGINE_STATUS_AWAY);

    EngineBindRecord bind;
    ASSERT_EQ(seen[2].data.size(), sizeof(bind));
    memcpy(&bind, seen[2].data.data(), sizeof(bind));
    EngineBindRecord expected;
    memset(&expected, 0, sizeof(expected));
    expected.kind = ENGINE_BIND_KIND_REQUESTER;
    CoreName channel, node;
    core_name_format(&channel, "p2p.bnd.%08X.chnl", 0u);
    core_name_format(&node, "node.a");
    engine_media_desc_make(&expected.desc, &channel, &node, nullptr, nullptr);
    snprintf(expected.sourceName, sizeof(expected.sourceName), "screen 1");
    EXPECT_EQ(memcmp(&bind, &expected, sizeof(bind)), 0) << "rebuilt field by field, fill dropped";

    EnginePeerRecord online;
    ASSERT_EQ(seen[3].data.size(), sizeof(online));
    memcpy(&online, seen[3].data.data(), sizeof(online));
    EXPECT_EQ(memcmp(&online, &a, sizeof(a)), 0);

    // Once ready, later events pass at once; a second change posts nothing.
    post_property(a, ENGINE_PROP_FIRSTNAME, "Ada");
    post_bind(ENGINE_EVT_BIND_CLOSED, "node.a");
    post_peer(ENGINE_EVT_PEER_CHANGED, a);
    EXPECT_EQ(codes(), (Codes{ENGINE_EVT_NODE_FIELD_CHANGED, ENGINE_EVT_NODE_BIND_CLOSED}));
}

TEST_F(RelayTest, AddressesComeAndGo)
{
    const EnginePeerRecord a1 = peer("node.a", "session.1"), a2 = peer("node.a", "session.2");
    post_peer(ENGINE_EVT_PEER_FOUND, a1);
    post_peer(ENGINE_EVT_PEER_FOUND, a2);
    post_peer(ENGINE_EVT_PEER_CHANGED, a1);
    EXPECT_EQ(codes(), (Codes{ENGINE_EVT_NODE_READY, ENGINE_EVT_NODE_ONLINE}));
    post_peer(ENGINE_EVT_PEER_CHANGED, a2);
    EXPECT_EQ(codes(), Codes{ENGINE_EVT_NODE_ONLINE}) << "a new address of a ready peer";

    post_peer(ENGINE_EVT_PEER_LOST, a1);
    EXPECT_EQ(codes(), Codes{ENGINE_EVT_NODE_OFFLINE}) << "one of two addresses";
    post_peer(ENGINE_EVT_PEER_LOST, a2);
    EXPECT_EQ(codes(), (Codes{ENGINE_EVT_NODE_OFFLINE, ENGINE_EVT_NODE_REMOVED})) << "the last one";

    // Found again after removal: a fresh entry, not ready.
    post_peer(ENGINE_EVT_PEER_FOUND, a1);
    post_peer(ENGINE_EVT_PEER_LOST, a1);
    EXPECT_EQ(codes(), Codes{}) << "never ready and never online: removed silently";
}

TEST_F(RelayTest, WhatCannotBeRelayedIsDropped)
{
    const uint64_t refused = engine_relay_refused_count();
    post_bind(ENGINE_EVT_BIND_OPENED, "node.unknown");
    const EnginePeerRecord a = peer("node.a", "session.1");
    post(ENGINE_EVT_PEER_FOUND, &a, sizeof(a) - 1);
    post(ENGINE_EVT_BIND_STATE, &a, 10);
    post_peer(ENGINE_EVT_PEER_FOUND, a);
    post_property(a, ENGINE_PROP_USERID, "abc", 4);  // claims more than it carries
    post_peer(ENGINE_EVT_PEER_READY, a);             // not relayed
    post_peer(ENGINE_EVT_PEER_CHANGED, a);
    EXPECT_EQ(codes(), (Codes{ENGINE_EVT_NODE_READY, ENGINE_EVT_NODE_ONLINE}));
    EXPECT_EQ(engine_relay_refused_count() - refused, 3u);
}

TEST_F(RelayTest, GoingOfflineReportsEveryAddressThenEveryPeer)
{
    const EnginePeerRecord a1 = peer("node.a", "session.1"), a2 = peer("node.a", "session.2"),
                           b = peer("node.b", "session.3");
    for (const EnginePeerRecord *r : {&a1, &a2, &b}) post_peer(ENGINE_EVT_PEER_FOUND, *r);
    post_peer(ENGINE_EVT_PEER_CHANGED, a1);
    codes();
    engine_relay_drop_all();
    const uint64_t marker = engine_post_event(0x1904, nullptr, 0);
    ASSERT_EQ(core_topic_wait(&topic_, marker), CORE_OK);
    // b was never ready: nothing; a's online address goes offline, then a.
    EXPECT_EQ(codes(), (Codes{ENGINE_EVT_NODE_OFFLINE, ENGINE_EVT_NODE_REMOVED}));
    post_peer(ENGINE_EVT_PEER_CHANGED, a1);
    EXPECT_EQ(codes(), Codes{}) << "the store is empty";
}

}  // namespace
