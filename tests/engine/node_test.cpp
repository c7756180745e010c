#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/queue.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"

namespace {

class EngineNodeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(engine_node_start(0), CORE_OK); }
    void TearDown() override
    {
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
        EXPECT_EQ(node, nullptr);
        EXPECT_EQ(engine_node_running(), nullptr);
    }

    static EngineNode *node() { return engine_node_running(); }

    // The property list as "name=value" texts, oldest first.
    static std::vector<std::string> properties()
    {
        std::vector<std::string> out;
        CoreLockGuard guard(node()->lock);
        for (EngineNodePropertyEntry *e = node()->first; e != nullptr; e = e->next) {
            out.push_back(std::string(e->name.text) + "=" +
                          std::string(reinterpret_cast<const char *>(e->value), e->length));
        }
        EXPECT_EQ(out.size(), node()->count);
        return out;
    }

    // Posts a property command and waits until the node has handled it.
    static void post_property(const char *name, const std::string &value, uint64_t claimed_length)
    {
        std::vector<uint8_t> message(sizeof(EngineNodeProperty) + value.size());
        EngineNodeProperty header{};
        core_name_format(&header.name, "%s", name);
        header.length = claimed_length;
        memcpy(message.data(), &header, sizeof header);
        memcpy(message.data() + sizeof header, value.data(), value.size());
        uint64_t seq = engine_post_command(ENGINE_CMD_NODE_PROPERTY, message.data(), message.size());
        ASSERT_NE(seq, 0u);
        ASSERT_EQ(core_topic_wait(&node()->commandTopic, seq), CORE_OK);
    }
};

TEST_F(EngineNodeTest, PropertyRules)
{
    struct Case {
        const char *purpose;
        const char *name;
        std::string value;
        CoreResult expected;
    };
    const Case cases[] = {
        {"each status value", ENGINE_PROP_STATUS, "status.away.value", CORE_OK},
        {"", ENGINE_PROP_STATUS, "status.online.value", CORE_OK},
        {"", ENGINE_PROP_STATUS, "status.busy.value", CORE_OK},
        {"", ENGINE_PROP_STATUS, "status.offline.value", CORE_OK},
        {"one character more", ENGINE_PROP_STATUS, "status.away.valuex", CORE_FAIL},
        {"trailing blank", ENGINE_PROP_STATUS, "status.away.value ", CORE_FAIL},
        {"terminator counted", ENGINE_PROP_STATUS, std::string("status.away.value", 18), CORE_FAIL},
        {"empty status", ENGINE_PROP_STATUS, "", CORE_FAIL},
        {"avatar at its bound", ENGINE_PROP_AVATAR, std::string(131072, 'a'), CORE_OK},
        {"avatar one byte over", ENGINE_PROP_AVATAR, std::string(131073, 'a'), CORE_FAIL},
        {"text at its bound", ENGINE_PROP_USERID, std::string(256, 'u'), CORE_OK},
        {"text one byte over", ENGINE_PROP_FIRSTNAME, std::string(257, 'u'), CORE_FAIL},
        {"unknown name is a text", "node.hobby.field", std::string(257, 'u'), CORE_FAIL},
    };
    for (const Case &c : cases) {
        CoreName key;
        core_name_format(&key, "%s", c.name);
        EXPECT_EQ(engine_node_property_check(key.key, c.value.data(), c.value.size()), c.expected)
            << c.purpose << " " << c.name << " (" << c.value.size() << " bytes)";
    }
    CoreName key;
    core_name_format(&key, "%s", ENGINE_PROP_USERID);
    EXPECT_EQ(engine_node_property_check(key.key, nullptr, 4), CORE_FAIL) << "length without data";
}

TEST_F(EngineNodeTest, SealNeedsValidStatusAndClosesTheList)
{
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "u1", 2), CORE_OK);
    EXPECT_EQ(engine_node_properties_seal(), CORE_OK);
    EXPECT_EQ(node()->sealed, 0u) << "no status: the list stays open";

    EXPECT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, "status.gone", 11), CORE_FAIL);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, "status.busy.value", 17), CORE_OK);
    EXPECT_EQ(engine_node_properties_seal(), CORE_OK);
    EXPECT_EQ(node()->sealed, 1u);
    EXPECT_EQ(engine_node_property_add(ENGINE_PROP_AVATAR, "img", 3), CORE_FAIL) << "sealed";
    EXPECT_EQ(properties(), (std::vector<std::string>{"node.userid.field=u1", "node.status.field=status.busy.value"}));

    // The facade's refill for the next start.
    engine_node_properties_clear(node());
    engine_node_properties_unseal(node());
    EXPECT_TRUE(properties().empty());
    EXPECT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "u2", 2), CORE_OK);
}

TEST_F(EngineNodeTest, PropertyCommandReplacesOnlyExistingProperties)
{
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "u1", 2), CORE_OK);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, "status.online.value", 19), CORE_OK);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_DIRECTION, "2", 1), CORE_OK);
    ASSERT_EQ(engine_node_properties_seal(), CORE_OK);

    post_property(ENGINE_PROP_FIRSTNAME, "Ann", 3);
    EXPECT_EQ(properties().size(), 3u) << "a name never added is not added";

    post_property(ENGINE_PROP_USERID, "u9", 2);
    EXPECT_EQ(properties(), (std::vector<std::string>{"node.status.field=status.online.value",
                                                      "node.binder.direction.field=2", "node.userid.field=u9"}))
        << "replaced and moved to the end, sealed or not";

    post_property(ENGINE_PROP_STATUS, "status.nowhere", 14);
    post_property(ENGINE_PROP_STATUS, "status.away.value", 4096);
    EXPECT_EQ(properties()[0], "node.status.field=status.online.value")
        << "a refused value, or a length past the message, changes nothing";

    uint8_t short_message[100] = {};
    uint64_t seq = engine_post_command(ENGINE_CMD_NODE_PROPERTY, short_message, sizeof short_message);
    ASSERT_EQ(core_topic_wait(&node()->commandTopic, seq), CORE_OK);
    EXPECT_EQ(properties().size(), 3u) << "a message shorter than its header is dropped";

    uint64_t get_length = 0;
    char value[64] = {};
    CoreName key;
    core_name_format(&key, "%s", ENGINE_PROP_USERID);
    EXPECT_EQ(engine_node_property_get(node(), key.key, value, sizeof value, &get_length), CORE_OK);
    EXPECT_EQ(std::string(value, get_length), "u9");
}

struct Received {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, std::string>> messages;
};

CoreResult record_message(const CoreQueueEntry *message, void **user)
{
    auto *received = static_cast<Received *>(user[0]);
    std::lock_guard<std::mutex> guard(received->mutex);
    received->messages.emplace_back(message->type,
                                    std::string(static_cast<const char *>(message->data), message->length));
    return CORE_OK;
}

TEST_F(EngineNodeTest, PostsReachSubscribersInOrderWithCopiedData)
{
    Received events;
    CoreTopicSubscription subscription{record_message, {&events, nullptr}};
    uint64_t key = core_topic_subscribe(&node()->eventTopic, &subscription);
    ASSERT_NE(key, 0u);

    char data[8] = "first";
    uint64_t a = engine_post_event(ENGINE_EVT_PRESENCE_STATE, data, 5);
    memcpy(data, "xxxxx", 5);  // the topic copied the first payload
    uint64_t b = engine_post_event(ENGINE_EVT_LOCAL_ENDPOINT, "second", 6);
    ASSERT_NE(a, 0u);
    ASSERT_GT(b, a);
    EXPECT_EQ(engine_post_event(ENGINE_EVT_MESSAGE, nullptr, 3), 0u) << "length without data";
    ASSERT_EQ(core_topic_wait(&node()->eventTopic, b), CORE_OK);
    EXPECT_EQ(core_topic_unsubscribe(&node()->eventTopic, key), CORE_OK);
    EXPECT_EQ(events.messages, (std::vector<std::pair<uint32_t, std::string>>{
                                   {ENGINE_EVT_PRESENCE_STATE, "first"}, {ENGINE_EVT_LOCAL_ENDPOINT, "second"}}));
}

TEST_F(EngineNodeTest, SecondStartLeavesTheRunningNodeIntact)
{
    EngineNode *running = node();
    EXPECT_EQ(engine_node_start(0), CORE_ERR);
    EXPECT_EQ(node(), running);
    EXPECT_NE(engine_post_command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0), 0u);
}

TEST(EngineNodeLifecycle, NothingIsPostedWithoutANodeAndRestartsWork)
{
    EXPECT_EQ(engine_post_command(ENGINE_CMD_STOP, nullptr, 0), 0u);
    EXPECT_EQ(engine_post_event(ENGINE_EVT_PEER_FOUND, nullptr, 0), 0u);
    EXPECT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "u", 1), CORE_FAIL);
    EXPECT_EQ(engine_node_properties_seal(), CORE_FAIL);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(engine_node_start(0), CORE_OK) << round;
        EXPECT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "u", 1), CORE_OK);
        EXPECT_NE(engine_post_command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0), 0u);
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
        EXPECT_EQ(engine_post_command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0), 0u);
    }
    engine_node_stop(nullptr);
}

TEST(EngineCodes, RelayAndOfferTables)
{
    EXPECT_EQ(engine_relayed_bind_code(ENGINE_EVT_BIND_CLOSED), 0x810Au);
    EXPECT_EQ(engine_relayed_bind_code(ENGINE_EVT_BIND_OPENED), 0x8105u);
    EXPECT_EQ(engine_relayed_bind_code(ENGINE_EVT_CHANNELS_CLEARED), 0x810Cu);
    EXPECT_EQ(engine_relayed_bind_code(ENGINE_EVT_CHANNEL_INFO), 0u);
    EXPECT_EQ(engine_offer_control_code(ENGINE_OFFER_BROADCAST_CLOSE), ENGINE_CTL_BROADCAST_LEAVE);
    EXPECT_EQ(engine_offer_control_code(ENGINE_OFFER_ACCEPT), ENGINE_CTL_PEER_ACCEPT);
    EXPECT_EQ(engine_offer_control_code(17), 0u);
}

}  // namespace
