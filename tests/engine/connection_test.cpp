// Connection control on sessions of test devices: the control requests of
// the binding service, connect and disconnect, the delayed teardown with
// its final events, and the broadcast start. The peer is played by the
// test, which hands the engine the stream sets a binding service would.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "binding_support.h"
#include "engine/connection.h"
#include "engine/evaluation.h"
#include "engine/formats.h"
#include "engine/negotiation.h"
#include "engine/receive.h"

namespace {

using namespace binding_support;

const char *const kChannel = "p2p.bnd.00000000.chnl";
const char *const kViewer = "viewer.node";
const char *const kSession = "session.v";

class Connection : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        fill_codec_lists();
        make_capability();
        events = std::make_unique<TopicLog>(ENGINE_EVENT_TOPIC);
        commands = std::make_unique<TopicLog>(ENGINE_COMMAND_TOPIC);
        node = std::make_unique<NodeServiceLog>();
    }
    void TearDown() override
    {
        destroy_session(session);
        node.reset();
        commands.reset();
        events.reset();
        engine_capability_release();
        EngineNode *running = engine_node_running();
        engine_node_stop(&running);
    }

    EngineSession *streamer(uint32_t autoAccept = 0)
    {
        SessionSetup setup;
        setup.autoAccept = autoAccept;
        setup.label = "streamer";
        session = make_session(setup);
        return session;
    }

    // The viewer's request as the binding service hands it over: the
    // viewer's offer table for the channel, named by the session it came on.
    EngineStreamSet *request(const EngineMediaDesc &desc = desc_of(kChannel, kViewer, kSession))
    {
        EngineLocalCaps caps;
        engine_local_caps_init(&caps);
        caps.sendRoles = ENGINE_ROLE_ANSWERER;
        caps.receiveRoles = ENGINE_ROLE_REQUESTER;
        caps.audioReceive = caps.videoReceive = 1;
        caps.receiveAudioFormat = EngineAudioFormat{48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
        caps.receiveVideoMode = CoreVideoMode{1920, 1080, 60, 1};
        engine_local_caps_set_scores(&caps);
        EngineStreamTable *offer = nullptr;
        EngineStreamTable *answer = nullptr;
        EXPECT_EQ(engine_negotiate_streams(engine_capability_current(), ENGINE_ROLE_REQUESTER, &desc, &caps, nullptr, 0,
                                           &offer, &answer),
                  CORE_OK);
        if (offer == nullptr) return nullptr;
        EngineStreamSet *set = engine_stream_set_alloc("viewer screen", &desc, 1, offer->count);
        engine_stream_records_copy(set->records, offer->records, offer->count);
        give_back(offer);
        sets.emplace_back(set, &give_back);
        return set;
    }

    CoreResult control(uint32_t code, const void *in, uint64_t length)
    {
        return engine_on_connection_request(session, code, in, length, nullptr, nullptr);
    }
    CoreResult control(uint32_t code, const EngineStreamSet *set)
    {
        return control(code, set, engine_stream_set_size(set->count));
    }
    CoreResult control(uint32_t code, const EngineBindRecord &record) { return control(code, &record, sizeof record); }

    // Waits until the pending teardown has run and its events are in.
    void settle()
    {
        EXPECT_TRUE(eventually([&] { return session->delayedTask.load() == 0; }));
        events->settle();
        commands->settle();
    }

    EngineSession *session = nullptr;
    std::unique_ptr<TopicLog> events;
    std::unique_ptr<TopicLog> commands;
    std::unique_ptr<NodeServiceLog> node;
    std::vector<std::unique_ptr<EngineStreamSet, void (*)(void *)>> sets;
};

TEST_F(Connection, RequestIsAnnouncedOnceAndTheAnswerStartsCapture)
{
    streamer();
    EngineStreamSet *set = request();
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);
    EXPECT_EQ(channel_state(session, kChannel), int(ENGINE_CHANNEL_CONNECTING));
    // The binding service repeats the request until it is answered.
    EXPECT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_DONE);
    events->settle();
    commands->settle();
    ASSERT_EQ(events->count(ENGINE_EVT_BIND_OPENED), 1u);
    const EngineBindRecord opened = events->of(ENGINE_EVT_BIND_OPENED)[0].as<EngineBindRecord>();
    EXPECT_EQ(opened.kind, ENGINE_BIND_KIND_ANSWERER);
    EXPECT_TRUE(same(opened.desc.session, set->desc.session));
    EXPECT_STREQ(opened.sourceName, "viewer screen");
    EXPECT_EQ(commands->count(ENGINE_MSG_BIND_REJECT), 0u);

    // The interface accepts with a kind-2 connect.
    ASSERT_EQ(engine_connect(session, &opened), CORE_OK);
    commands->settle();
    events->settle();
    ASSERT_EQ(commands->count(ENGINE_CMD_RECEIVE_OPEN), 1u);
    const auto receive = commands->of(ENGINE_CMD_RECEIVE_OPEN)[0].as<EngineReceiveRecord>();
    EXPECT_TRUE(same(receive.peerNode, set->desc.peerNode));
    EXPECT_TRUE(same(receive.bindSequence, set->desc.bindSequence));
    ASSERT_EQ(commands->count(ENGINE_MSG_BIND_ACCEPT), 1u);
    const auto accept = commands->of(ENGINE_MSG_BIND_ACCEPT)[0];
    EXPECT_LT(commands->of(ENGINE_CMD_RECEIVE_OPEN)[0].sequence, accept.sequence);
    EXPECT_STREQ(accept.as<EngineBindRecord>().sourceName, "Video Test Color Bars / 1280x720@30 Hz / I420")
        << "the selected video source names the binding";
    EXPECT_EQ(node->published(ENGINE_SVC_SET_ANSWER).size(), 1u);
    EXPECT_EQ(events->count(ENGINE_EVT_CAPTURE_CREATED), 2u) << "a capture object per profile slot";

    // The request was consumed.
    EXPECT_EQ(engine_connect(session, &opened), CORE_ERR);
}

TEST_F(Connection, AutoAcceptStillAnnouncesAfterTheConnect)
{
    streamer(1);
    EngineStreamSet *set = request();
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);
    events->settle();
    commands->settle();
    ASSERT_EQ(events->count(ENGINE_EVT_BIND_OPENED), 1u);
    ASSERT_EQ(commands->count(ENGINE_MSG_BIND_ACCEPT), 1u);
    EXPECT_LT(commands->of(ENGINE_MSG_BIND_ACCEPT)[0].sequence, events->of(ENGINE_EVT_BIND_OPENED)[0].sequence);
    EXPECT_EQ(channel_state(session, kChannel), int(ENGINE_CHANNEL_CONNECTING));
}

TEST_F(Connection, ConnectOfAnAnswerWithoutAStoredRequestFails)
{
    streamer();
    const EngineMediaDesc desc = desc_of(kChannel, kViewer, kSession);
    ASSERT_EQ(engine_binder_open(session->binderTable, ENGINE_BINDER_P2P, ENGINE_BIND_KIND_ANSWERER, &desc, nullptr,
                                 nullptr),
              CORE_OK);
    const EngineBindRecord answer = bind_record(ENGINE_BIND_KIND_ANSWERER, desc);
    const EngineBindRecord unknown = bind_record(7, desc);
    EXPECT_EQ(engine_connect(session, &answer), CORE_ERR);
    EXPECT_EQ(engine_connect(session, &unknown), CORE_ERR) << "unknown kind";
    commands->settle();
    EXPECT_EQ(commands->count(ENGINE_CMD_RECEIVE_OPEN), 0u);
    EXPECT_EQ(commands->count(ENGINE_MSG_BIND_ACCEPT), 0u);
}

TEST_F(Connection, RequestsTheStreamerCannotTake)
{
    streamer();
    EngineStreamSet *set = request();

    // Busy while the codec evaluation runs.
    session->evaluation = engine_eval_context_create(session->provider);
    ASSERT_NE(session->evaluation, nullptr);
    session->evaluation->running.store(1);
    EXPECT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_ERR_BUSY);
    session->evaluation->running.store(0);
    engine_eval_context_destroy(&session->evaluation);

    // Busy while bound to another peer.
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);
    EngineStreamSet *other = request(desc_of(kChannel, "other.node", "session.o", "bnd.seq.0000000000000009"));
    EXPECT_EQ(control(ENGINE_CTL_PEER_REQUEST, other), CORE_ERR_BUSY);

    // A closing channel rejects.
    ASSERT_EQ(engine_binder_set_closing(session->binderTable, &set->desc), CORE_OK);
    EXPECT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_DONE);
    commands->settle();
    ASSERT_EQ(commands->count(ENGINE_MSG_BIND_REJECT), 1u);
    EXPECT_EQ(commands->of(ENGINE_MSG_BIND_REJECT)[0].as<EngineBindRecord>().kind, ENGINE_BIND_KIND_ANSWERER);
}

// Busy, reject and unbind from the peer: each ends in its own final event.
TEST_F(Connection, PeerEndingsTearDownWithTheirFinalEvents)
{
    const struct {
        uint32_t code;
        uint32_t final;
    } cases[] = {
        {ENGINE_CTL_PEER_BUSY, ENGINE_EVT_BIND_BUSY},
        {ENGINE_CTL_PEER_REJECT, ENGINE_EVT_BIND_FAILED},
        {ENGINE_CTL_PEER_UNBIND, ENGINE_EVT_BIND_CLOSED},
    };
    streamer();
    EngineStreamSet *set = request();
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_REQUESTER, set->desc);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        events->clear();
        ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);

        // A record of another binding changes nothing.
        EngineBindRecord stranger = record;
        stranger.desc.bindSequence = named("bnd.seq.00000000000000FF");
        EXPECT_EQ(control(c.code, stranger), CORE_DONE);
        EXPECT_EQ(channel_state(session, kChannel), int(ENGINE_CHANNEL_CONNECTING));

        ASSERT_EQ(control(c.code, record), CORE_OK);
        settle();
        EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSING), 1u);
        ASSERT_EQ(events->count(c.final), 1u);
        EXPECT_LT(events->of(ENGINE_EVT_BIND_CLOSING)[0].sequence, events->of(c.final)[0].sequence);
        EXPECT_EQ(session->binderTable->open.load(), 0u) << "nothing ran: the channel was released at once";
    }
}

TEST_F(Connection, DisconnectTearsDownOnceAndNotAClosingChannel)
{
    streamer();
    EngineStreamSet *set = request();
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);

    // Closing already: nothing is posted, nothing scheduled.
    ASSERT_EQ(engine_binder_set_closing(session->binderTable, &set->desc), CORE_OK);
    const EngineBindRecord closing = bind_record(ENGINE_BIND_KIND_NONE, set->desc);
    EXPECT_EQ(engine_disconnect(session, &closing), CORE_DONE);
    EXPECT_EQ(session->delayedTask.load(), 0u);
    commands->settle();
    events->settle();
    EXPECT_EQ(commands->count(ENGINE_MSG_UNBIND), 0u);
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSING), 0u);

    engine_binder_close_all(session->binderTable);
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);
    // A record without a session or a kind takes both from the table.
    EngineMediaDesc bare = set->desc;
    memset(&bare.session, 0, sizeof bare.session);
    const EngineBindRecord bareRecord = bind_record(ENGINE_BIND_KIND_NONE, bare);
    ASSERT_EQ(engine_disconnect(session, &bareRecord), CORE_OK);
    settle();
    ASSERT_EQ(commands->count(ENGINE_MSG_UNBIND), 1u);
    const EngineBindRecord unbind = commands->of(ENGINE_MSG_UNBIND)[0].as<EngineBindRecord>();
    EXPECT_EQ(unbind.kind, ENGINE_BIND_KIND_ANSWERER);
    EXPECT_TRUE(same(unbind.desc.session, set->desc.session));
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSING), 1u);
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSED), 1u);
}

// Teardowns scheduled back to back: each cancels the one before, the last
// always runs, and every record is freed (the sanitizer checks the leaks).
TEST_F(Connection, OnlyOneTeardownIsPendingPerSession)
{
    streamer();
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_ANSWERER, desc_of(kChannel, kViewer, kSession));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) EXPECT_EQ(engine_schedule_teardown(session, &record, ENGINE_TASK_UNBIND), CORE_OK);
        });
    for (std::thread &t : threads) t.join();
    settle();
    const size_t finals = events->count(ENGINE_EVT_BIND_CLOSED);
    EXPECT_GE(finals, 1u);
    EXPECT_LE(finals, 40u);

    // A teardown that cannot be scheduled frees its record and says so.
    session->executor = named("no.such.executor");
    EXPECT_EQ(engine_schedule_teardown(session, &record, ENGINE_TASK_UNBIND), CORE_ERR);
    session->executor = named(CORE_DEFAULT_EXECUTOR);
}

TEST_F(Connection, ReadyBindsTheStreamerAndUpdatesCapFrameRates)
{
    streamer(1);
    EngineStreamSet *set = request();
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);

    EngineStreamSet *stranger = request(desc_of(kChannel, kViewer, kSession, "bnd.seq.00000000000000FF"));
    EXPECT_EQ(control(ENGINE_CTL_PEER_READY, stranger), CORE_ERR);
    ASSERT_EQ(control(ENGINE_CTL_PEER_READY, set), CORE_OK);
    EXPECT_EQ(channel_state(session, kChannel), int(ENGINE_CHANNEL_BOUND));
    events->settle();
    ASSERT_EQ(events->count(ENGINE_EVT_BIND_STATE), 1u);
    EXPECT_EQ(events->of(ENGINE_EVT_BIND_STATE)[0].as<EngineBindRecord>().kind, ENGINE_BIND_KIND_ANSWERER);

    // An update names the stream and the rate the viewer can take.
    EngineStreamSet *update = engine_stream_set_alloc("", &set->desc, 1, 1);
    sets.emplace_back(update, &give_back);
    update->records[0].streamName = named("stream.40000000");
    const uint32_t rate[2] = {15, 1};
    engine_props_add_video(&update->records[0].props, rate, sizeof rate, ENGINE_PROPS_STREAM_UPDATE, 0);
    EXPECT_EQ(control(ENGINE_CTL_PEER_UPDATE, update), CORE_OK);
    update->desc.session = named("session.o");
    EXPECT_EQ(control(ENGINE_CTL_PEER_UPDATE, update), CORE_DONE) << "another session";
}

TEST_F(Connection, BroadcastJoinLeaveAndVersionMismatchTellTheInterface)
{
    streamer(1);
    EngineStreamSet *set = request();
    ASSERT_EQ(control(ENGINE_CTL_PEER_REQUEST, set), CORE_OK);
    ASSERT_EQ(control(ENGINE_CTL_PEER_READY, set), CORE_OK);
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_ANSWERER, set->desc);

    EXPECT_EQ(control(ENGINE_CTL_BROADCAST_JOIN, record), CORE_OK);
    EXPECT_EQ(control(ENGINE_CTL_BROADCAST_LEAVE, record), CORE_OK);
    EXPECT_EQ(control(ENGINE_CTL_VERSION_MISMATCH, record), CORE_OK);
    settle();
    EXPECT_EQ(events->count(ENGINE_EVT_CHANNEL_BOUND), 1u);
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSING), 1u);
    EXPECT_EQ(events->count(ENGINE_EVT_CHANNELS_CLEARED), 1u);
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSED) + events->count(ENGINE_EVT_BIND_BUSY) +
                  events->count(ENGINE_EVT_BIND_FAILED),
              0u)
        << "a broadcast leave has no final event";
    ASSERT_EQ(events->count(ENGINE_EVT_MESSAGE), 1u);
    EXPECT_STREQ(events->of(ENGINE_EVT_MESSAGE)[0].as<EngineMessageText>().text,
                 "The application versions are incompatible. Please update the application to the latest version.");
}

// Requests come from other threads' buffers: their lengths are checked.
TEST_F(Connection, MalformedRequestsAreRefused)
{
    streamer();
    EngineStreamSet *set = request();
    const uint64_t full = engine_stream_set_size(set->count);
    EXPECT_EQ(control(ENGINE_CTL_PEER_REQUEST, set, full - 1), CORE_ERR_INVALID) << "a record short";
    EXPECT_EQ(control(ENGINE_CTL_PEER_ACCEPT, set, sizeof(EngineStreamSet) - 1), CORE_ERR_INVALID);
    set->count = UINT64_MAX / 8;
    EXPECT_EQ(control(ENGINE_CTL_PEER_UPDATE, set, full), CORE_ERR_INVALID) << "a count past any table";
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_REQUESTER, desc_of(kChannel));
    EXPECT_EQ(control(ENGINE_CTL_PEER_UNBIND, &record, sizeof record - 1), CORE_ERR_INVALID);
    EXPECT_EQ(control(ENGINE_CTL_PEER_BUSY, nullptr, 0), CORE_ERR_INVALID);
    EXPECT_EQ(control(ENGINE_CTL_QUERY_STREAM, record), CORE_NOT_MINE);
    EXPECT_EQ(control(ENGINE_CTL_DEVICES_REFRESH, record), CORE_NOT_MINE);
    EXPECT_EQ(engine_on_connection_request(nullptr, ENGINE_CTL_PEER_UNBIND, &record, sizeof record, nullptr, nullptr),
              CORE_ERR);
    EXPECT_EQ(channel_state(session, kChannel), -1) << "nothing was opened";
}

TEST_F(Connection, BroadcastStartOpensTheChannelPastTheViewers)
{
    streamer();
    const EngineMediaDesc desc = desc_of("ignored", "", "", "bnd.seq.00000000000000B0");
    EXPECT_GE(engine_broadcast_start(session, &desc), CORE_OK);
    commands->settle();
    ASSERT_EQ(commands->count(ENGINE_MSG_BROADCAST_OPEN), 1u);
    const EngineBindRecord open = commands->of(ENGINE_MSG_BROADCAST_OPEN)[0].as<EngineBindRecord>();
    EXPECT_EQ(text_of(open.desc.channel), "p2m.bnd.00000004.chnl");
    EXPECT_EQ(text_of(open.desc.bindSequence), "bnd.seq.00000000000000B0");
    EXPECT_EQ(session->binderTable->kind.load(), ENGINE_BINDER_P2M);
    const auto offers = node->published(ENGINE_SVC_SET_OFFER);
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_TRUE(core_name_is_empty(&offers[0].desc.session)) << "a service-wide offer";
    CoreVideoMode limit = engine_capability_current()->videoLimit;
    EXPECT_EQ(limit.width, 1280u) << "the broadcast profile of the 1280x720 source";
}

// A requester that sends (its peer plays): the accept needs no playback
// pipeline, which this suite could not run without the framework.
TEST_F(Connection, RequesterAcceptAdoptsTheAnswerAndAnnouncesItsStreams)
{
    SessionSetup setup;
    setup.label = "uploader";
    setup.sendRoles = ENGINE_ROLE_REQUESTER;
    setup.receiveRoles = 0;
    session = make_session(setup);
    const EngineMediaDesc desc = desc_of(kChannel, "streamer.node", "session.s");
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_REQUESTER, desc);
    // An accept for a channel that is idle is refused.
    ASSERT_EQ(engine_binder_open(session->binderTable, ENGINE_BINDER_P2P, ENGINE_BIND_KIND_REQUESTER, &desc, nullptr,
                                 nullptr),
              CORE_OK);
    EngineStreamSet *early = engine_stream_set_alloc("", &desc, 1, 0);
    sets.emplace_back(early, &give_back);
    EXPECT_EQ(control(ENGINE_CTL_PEER_ACCEPT, early), CORE_ERR);

    ASSERT_EQ(engine_connect(session, &record), CORE_OK);
    commands->settle();
    EXPECT_EQ(commands->count(ENGINE_MSG_BIND_REQUEST), 1u);
    ASSERT_EQ(node->published(ENGINE_SVC_SET_OFFER).size(), 1u);
    EXPECT_EQ(engine_connect(session, &record), CORE_EXISTS) << "asking twice does not restart the request";

    // The peer's answer: the plain records, as an answer without codec
    // records of its own carries them.
    const auto offer = node->published(ENGINE_SVC_SET_OFFER)[0].records;
    std::vector<EngineStreamRecord> plain;
    for (const EngineStreamRecord &r : offer)
        if (r.mediaFlags != 0 && !(r.mediaFlags & ENGINE_MEDIA_CODEC_RECORD)) plain.push_back(r);
    ASSERT_EQ(plain.size(), 2u);
    EngineStreamSet *answer = engine_stream_set_alloc("streamer screen", &desc, 1, plain.size());
    sets.emplace_back(answer, &give_back);
    engine_stream_records_copy(answer->records, plain.data(), plain.size());
    ASSERT_EQ(control(ENGINE_CTL_PEER_ACCEPT, answer), CORE_OK);
    EXPECT_EQ(channel_state(session, kChannel), int(ENGINE_CHANNEL_BOUND));
    events->settle();
    commands->settle();
    ASSERT_EQ(events->count(ENGINE_EVT_BIND_STATE), 1u);
    const EngineBindRecord bound = events->of(ENGINE_EVT_BIND_STATE)[0].as<EngineBindRecord>();
    EXPECT_EQ(bound.kind, ENGINE_BIND_KIND_REQUESTER);
    EXPECT_STREQ(bound.sourceName, "streamer screen");
    EXPECT_EQ(node->published(ENGINE_SVC_SET_ANSWER).size(), 1u) << "the answer was adopted";
    EXPECT_EQ(node->profiles().size(), 2u);
    EXPECT_EQ(commands->count(ENGINE_CMD_SEND_STREAM_ADD), 2u) << "one per profile slot";

    // engine_disconnect_channel makes the record from what the table holds.
    EXPECT_EQ(engine_disconnect_channel(&desc.channel, &desc.session, session), 0);
    settle();
    ASSERT_EQ(commands->count(ENGINE_MSG_UNBIND), 1u);
    const EngineBindRecord unbind = commands->of(ENGINE_MSG_UNBIND)[0].as<EngineBindRecord>();
    EXPECT_EQ(unbind.kind, ENGINE_BIND_KIND_REQUESTER);
    EXPECT_TRUE(same(unbind.desc.peerNode, desc.peerNode));
    EXPECT_TRUE(same(unbind.desc.bindSequence, desc.bindSequence));
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_CLOSED), 1u);
}

TEST_F(Connection, SendProfilesNeedAnOffer)
{
    streamer();
    const CoreName channel = named(kChannel);
    EXPECT_EQ(engine_send_profile_requests(session, &channel), CORE_ERR);
    EXPECT_TRUE(node->profiles().empty());
}

}  // namespace
