#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/names.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/records.h"
#include "services/bind_channels.h"

namespace {

PkXID id_of(const std::string &text)
{
    return PkXID::fromText(text);
}

struct Command {
    uint32_t code;
    std::vector<uint8_t> data;
};

// Everything posted on the command topic while the fixture runs.
std::mutex g_mutex;
std::vector<Command> g_commands;

CoreResult capture_command(const CoreQueueEntry *message, void **)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto *bytes = static_cast<const uint8_t *>(message->data);
    g_commands.push_back({message->type, std::vector<uint8_t>(bytes, bytes + message->length)});
    return CORE_OK;
}

EngineBindRecord bind_record_of(const Command &command)
{
    EngineBindRecord record{};
    EXPECT_EQ(command.data.size(), sizeof(record));
    memcpy(&record, command.data.data(), std::min(command.data.size(), sizeof(record)));
    return record;
}

class BindChannelsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        core_name_format(&topic, "%s", ENGINE_COMMAND_TOPIC);
        CoreTopicSubscription subscription{};
        subscription.fn = capture_command;
        subscriber = core_topic_subscribe(&topic, &subscription);
        ASSERT_NE(subscriber, 0u);
        binder = PkBinder::instance();
        binder->reset();
        binder->mode = PK_BINDER_MODE_IDLE;
        taken();
    }
    void TearDown() override
    {
        binder->reset();
        if (EngineNode *node = engine_node_running()) {
            core_topic_unsubscribe(&topic, subscriber);
            engine_node_stop(&node);
        }
    }

    // The commands delivered up to `number` (0: the last post), then forgets
    // them.
    std::vector<Command> taken(uint64_t number = 0)
    {
        if (engine_node_running() != nullptr) {
            if (number == 0) number = engine_post_command(0x7FFF, nullptr, 0);  // a marker nobody handles
            core_topic_wait(&topic, number);
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        std::vector<Command> out;
        for (auto &command : g_commands)
            if (command.code != 0x7FFF) out.push_back(std::move(command));
        g_commands.clear();
        return out;
    }

    const PkXID channelA = id_of("p2p.bnd.00000000.chnl");
    const PkXID channelB = id_of("p2p.bnd.00000001.chnl");
    const PkXID peer = id_of("node.peer.one");
    const PkXID sequenceA = id_of("bnd.seq.0000000000000010");
    const PkXID sequenceB = id_of("bnd.seq.0000000000000011");

    CoreName topic;
    uint64_t subscriber = 0;
    std::shared_ptr<PkBinder> binder;
};

// Binding posts the connect with the channel's kind and names (no session,
// no source); unbinding posts the disconnect with kind 0 and clears the
// channel; the mode follows from idle to point-to-point and back.
TEST_F(BindChannelsTest, BindAndUnbindPostTheirRecords)
{
    const uint32_t changes = binder->changeCount;
    ASSERT_EQ(pk_binder_add_channel(channelA, peer, sequenceA, ENGINE_BIND_KIND_REQUESTER), 0);
    EXPECT_TRUE(binder->isActive(channelA));
    EXPECT_FALSE(binder->isBound(channelA));

    const uint64_t connect = pk_binder_bind(channelA);
    ASSERT_NE(connect, 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_P2P);
    EXPECT_EQ(binder->changeCount, changes + 1);
    EXPECT_TRUE(binder->isBound(channelA));
    EXPECT_TRUE(binder->isBound(PkXID()));
    EXPECT_EQ(binder->findBoundChannel(peer), channelA);
    EXPECT_EQ(pk_binder_bind(channelA), 0u);  // already sent

    std::vector<Command> commands = taken();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, ENGINE_CMD_CONNECT);
    EngineBindRecord record = bind_record_of(commands[0]);
    EXPECT_EQ(record.kind, ENGINE_BIND_KIND_REQUESTER);
    EXPECT_EQ(PkXID(record.desc.channel), channelA);
    EXPECT_STREQ(record.desc.channel.text, "p2p.bnd.00000000.chnl");
    EXPECT_EQ(PkXID(record.desc.peerNode), peer);
    EXPECT_TRUE(PkXID(record.desc.session).isNull());
    EXPECT_EQ(PkXID(record.desc.bindSequence), sequenceA);
    EXPECT_EQ(record.sourceName[0], 0);

    const uint64_t disconnect = pk_binder_unbind(channelA, true);
    ASSERT_NE(disconnect, 0u);
    EXPECT_GT(disconnect, connect);
    // The waiting unbind returned after the delivery.
    commands = taken(disconnect);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, ENGINE_CMD_DISCONNECT);
    record = bind_record_of(commands[0]);
    EXPECT_EQ(record.kind, ENGINE_BIND_KIND_NONE);
    EXPECT_EQ(PkXID(record.desc.channel), channelA);
    EXPECT_EQ(PkXID(record.desc.peerNode), peer);
    EXPECT_EQ(PkXID(record.desc.bindSequence), sequenceA);

    EXPECT_FALSE(binder->findChannel(channelA));
    EXPECT_TRUE(binder->findBoundChannel(peer).isNull());
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
    EXPECT_EQ(binder->changeCount, changes + 2);
}

// Channel bookkeeping without the engine's part: duplicate and zero ids,
// unknown channels, state 1 channels that post nothing when unbound, and
// the zero id that binds every requested channel.
TEST_F(BindChannelsTest, ChannelList)
{
    EXPECT_EQ(binder->addChannel(PkXID(), peer, sequenceA, 1), -1);
    ASSERT_EQ(binder->addChannel(channelA, peer, sequenceA, 2), 0);
    EXPECT_EQ(binder->addChannel(channelA, id_of("other"), sequenceB, 1), -1);
    ASSERT_EQ(binder->channels.size(), 1u);
    EXPECT_EQ(binder->channels[0]->peerId, peer);
    EXPECT_EQ(binder->channels[0]->kind, 2);

    EXPECT_EQ(binder->bind(id_of("p2p.bnd.00000009.chnl")), 0u);
    EXPECT_EQ(binder->unbind(id_of("p2p.bnd.00000009.chnl"), false), 0u);
    EXPECT_TRUE(binder->findBoundChannel(peer).isNull());  // requested is not bound
    EXPECT_FALSE(binder->isBound(PkXID()));
    EXPECT_TRUE(binder->isActive(PkXID()));

    // Unbinding a channel that was never sent: nothing reaches the engine.
    EXPECT_EQ(binder->unbind(channelA, true), 0u);
    EXPECT_TRUE(binder->channels.empty());
    EXPECT_FALSE(binder->isActive(PkXID()));
    EXPECT_TRUE(taken().empty());

    // The zero id: nothing requested, nothing posted, the mode kept.
    const uint32_t changes = binder->changeCount;
    EXPECT_EQ(binder->bind(PkXID()), 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
    EXPECT_EQ(binder->changeCount, changes);

    ASSERT_EQ(binder->addChannel(channelA, peer, sequenceA, 2), 0);
    ASSERT_EQ(binder->addChannel(channelB, peer, sequenceB, 2), 0);
    EXPECT_NE(binder->bind(PkXID()), 0u);
    EXPECT_TRUE(binder->isBound(channelA));
    EXPECT_TRUE(binder->isBound(channelB));
    const std::vector<Command> commands = taken();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(PkXID(bind_record_of(commands[0]).desc.channel), channelA);
    EXPECT_EQ(PkXID(bind_record_of(commands[1]).desc.channel), channelB);
    EXPECT_EQ(bind_record_of(commands[1]).kind, 2u);

    // Unbinding one of two bound channels keeps the point-to-point mode.
    EXPECT_NE(binder->unbind(channelA, false), 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_P2P);
    EXPECT_NE(binder->unbind(PkXID(), false), 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
    EXPECT_TRUE(binder->channels.empty());
    EXPECT_EQ(taken().size(), 2u);
}

// While a broadcast runs, unbinding its channels leaves the mode alone;
// stopping it unbinds what is bound, posts the stop with a fresh bind
// sequence id and returns to idle. Outside a broadcast the stop does
// nothing.
TEST_F(BindChannelsTest, BroadcastStop)
{
    ASSERT_EQ(binder->addChannel(channelA, peer, sequenceA, 2), 0);
    ASSERT_NE(binder->bind(channelA), 0u);
    ASSERT_EQ(binder->mode, PK_BINDER_MODE_P2P);
    const uint32_t changes = binder->changeCount;
    EXPECT_EQ(pk_binder_stop_broadcast(true), 0u);
    EXPECT_EQ(binder->changeCount, changes);
    EXPECT_TRUE(binder->isBound(channelA));
    taken();

    // The main window's broadcast start.
    binder->mode = PK_BINDER_MODE_BROADCAST;
    binder->changeCount++;
    ASSERT_EQ(binder->addChannel(channelB, id_of("node.peer.two"), sequenceB, 2), 0);
    ASSERT_NE(binder->bind(channelB), 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_BROADCAST);
    ASSERT_EQ(binder->addChannel(id_of("p2m.bnd.00000002.chnl"), peer, sequenceB, 2), 0);  // requested only
    EXPECT_NE(binder->unbind(channelB, false), 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_BROADCAST);
    ASSERT_EQ(binder->addChannel(channelB, id_of("node.peer.two"), sequenceB, 2), 0);
    ASSERT_NE(binder->bind(channelB), 0u);
    taken();

    const uint32_t before = binder->changeCount;
    const uint64_t stop = pk_binder_stop_broadcast(true);
    ASSERT_NE(stop, 0u);
    const std::vector<Command> commands = taken(stop);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].code, ENGINE_CMD_DISCONNECT);
    EXPECT_EQ(PkXID(bind_record_of(commands[0]).desc.channel), channelA);
    EXPECT_EQ(commands[1].code, ENGINE_CMD_DISCONNECT);
    EXPECT_EQ(PkXID(bind_record_of(commands[1]).desc.channel), channelB);
    EXPECT_EQ(commands[2].code, ENGINE_CMD_BROADCAST_STOP);
    ASSERT_EQ(commands[2].data.size(), 2 * sizeof(CoreName));
    CoreName names[2];
    memcpy(names, commands[2].data.data(), sizeof(names));
    EXPECT_TRUE(core_name_is_empty(&names[0]));
    uint64_t sequence = 0;
    EXPECT_EQ(memcmp(names[1].key, "bnd.seq.", 8), 0);
    EXPECT_EQ(core_seq_parse(&sequence, &names[1]), CORE_OK);

    EXPECT_TRUE(binder->channels.empty());
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
    EXPECT_EQ(binder->changeCount, before + 1);
}

// Without a running engine nothing is posted: a bind leaves the channel
// requested, an unbind still resets it, and the broadcast stop still
// empties the list.
TEST_F(BindChannelsTest, WithoutTheEngine)
{
    ASSERT_EQ(binder->addChannel(channelA, peer, sequenceA, 1), 0);
    ASSERT_NE(binder->bind(channelA), 0u);
    ASSERT_EQ(binder->addChannel(channelB, peer, sequenceB, 1), 0);
    core_topic_unsubscribe(&topic, subscriber);
    EngineNode *node = engine_node_running();
    engine_node_stop(&node);

    EXPECT_EQ(binder->bind(channelB), 0u);
    EXPECT_EQ(binder->findChannel(channelB)->state, PK_BINDER_CHANNEL_REQUESTED);
    const auto bound = binder->findChannel(channelA);
    EXPECT_EQ(bound->unbind(true), 0u);
    EXPECT_EQ(bound->state, PK_BINDER_CHANNEL_IDLE);
    EXPECT_TRUE(bound->peerId.isNull());
    EXPECT_TRUE(bound->bindSequenceId.isNull());
    EXPECT_EQ(bound->kind, 0);

    binder->mode = PK_BINDER_MODE_BROADCAST;
    EXPECT_EQ(binder->stopBroadcast(true), 0u);
    EXPECT_TRUE(binder->channels.empty());
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
}

// Reset unbinds every channel with waiting and leaves idle, also from a
// broadcast.
TEST_F(BindChannelsTest, ResetUnbindsEverything)
{
    ASSERT_EQ(binder->addChannel(channelA, peer, sequenceA, 1), 0);
    ASSERT_EQ(binder->addChannel(channelB, peer, sequenceB, 1), 0);
    ASSERT_NE(binder->bind(channelA), 0u);
    binder->mode = PK_BINDER_MODE_BROADCAST;
    taken();
    const uint32_t before = binder->changeCount;
    binder->reset();
    std::vector<Command> commands;
    {
        // The waiting unbind has seen its command delivered already.
        std::lock_guard<std::mutex> lock(g_mutex);
        commands = g_commands;
    }
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, ENGINE_CMD_DISCONNECT);
    EXPECT_TRUE(binder->channels.empty());
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_IDLE);
    EXPECT_EQ(binder->changeCount, before + 1);
}

}  // namespace
