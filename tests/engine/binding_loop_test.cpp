// A whole binding in one process: one network core whose sessions A and B
// are each other's peer (media_loop.h) carries the binding service's offers
// between two engine sessions, a viewer that asks on A and a streamer that
// answers on B. The control service routes each request to the session
// whose network session it names, as the two nodes' control services would.
// The framework runs with this machine's codecs; the binding is audio only,
// so that no window is needed: the viewer's audio pipeline may find no
// sound server, which the engine reports and lets the binding go on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "binding_support.h"
#include "core/notify.h"
#include "engine/binding.h"
#include "engine/binding_protocol.h"
#include "engine/connection.h"
#include "engine/media_loop.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

namespace {

using binding_support::channel_state;
using binding_support::destroy_session;
using binding_support::make_session;
using binding_support::NodeServiceLog;
using binding_support::SessionSetup;
using binding_support::TopicLog;
using media_loop::kA;
using media_loop::kB;

const char *const kChannel = "p2p.bnd.00000000.chnl";

EngineSession *g_viewer = nullptr;
EngineSession *g_streamer = nullptr;

// Each node's control service answers the requests of its own sessions.
CoreResult route(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len, void **)
{
    if (code < ENGINE_CTL_VERSION_MISMATCH || code > ENGINE_CTL_PEER_UNBIND) return CORE_NOT_MINE;
    if (in == nullptr || in_len < sizeof(EngineBindRecord)) return CORE_ERR_INVALID;
    EngineBindRecord record;
    memcpy(&record, in, sizeof record);
    EngineSession *session = media_loop::same(record.desc.session, kA)   ? g_viewer
                             : media_loop::same(record.desc.session, kB) ? g_streamer
                                                                           : nullptr;
    return engine_on_connection_request(session, code, in, in_len, out, out_len);
}

class BindingLoop : public media_loop::MediaLoopTest {
protected:
    void SetUp() override
    {
        MediaLoopTest::SetUp();
        ASSERT_EQ(ravk_init(0), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        binding_support::make_capability();
        events = std::make_unique<TopicLog>(ENGINE_EVENT_TOPIC);
        node = std::make_unique<NodeServiceLog>();

        control = media_loop::name_of(ENGINE_CONTROL_SERVICE);
        ASSERT_EQ(core_notify_channel_create(&control), CORE_OK);
        const CoreNotifySubscription subscription = {route, {nullptr, nullptr}};
        controlToken = core_notify_subscribe(&control, &subscription);
        ASSERT_NE(controlToken, 0u);

        SessionSetup viewer;
        viewer.label = "viewer";
        viewer.audioSource = viewer.videoSource = viewer.videoSink = false;
        g_viewer = make_session(viewer);
        SessionSetup streamer;
        streamer.label = "streamer";
        streamer.autoAccept = 1;
        streamer.videoSource = streamer.audioSink = streamer.videoSink = false;
        g_streamer = make_session(streamer);

        EngineBindingParams params = {};
        params.binderDirection = ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING;
        params.p2pClass = 1;
        params.videoSizeClass = 2;
        params.onOffer = engine_binding_on_offer;
        service = engine_binding_service_create(&params);
        ASSERT_NE(service, nullptr);
        pair_up();
        ASSERT_TRUE(opened_both(ENGINE_STREAM_BIND));
    }

    void TearDown() override
    {
        // The sessions outlive every control request the service can make.
        engine_binding_service_destroy(&service);
        core_notify_unsubscribe(&control, controlToken);
        core_notify_channel_remove(ENGINE_CONTROL_SERVICE);
        destroy_session(g_viewer);
        destroy_session(g_streamer);
        node.reset();
        events.reset();
        engine_capability_release();
        ravk_shutdown();
        MediaLoopTest::TearDown();
    }

    // Final and state events of one side, told apart by their session.
    size_t count(uint32_t code, const CoreName &session)
    {
        size_t n = 0;
        for (const auto &m : events->of(code)) n += media_loop::same(m.as<EngineBindRecord>().desc.session, session);
        return n;
    }

    CoreName control = {};
    uint64_t controlToken = 0;
    EngineBindingService *service = nullptr;
    std::unique_ptr<TopicLog> events;
    std::unique_ptr<NodeServiceLog> node;
};

TEST_F(BindingLoop, ViewerBindsToTheStreamerAndBothTearDown)
{
    // The viewer's interface binds the streamer's channel on session A.
    EngineBindRecord bind = {};
    bind.kind = ENGINE_BIND_KIND_REQUESTER;
    const CoreName channel = media_loop::name_of(kChannel);
    const CoreName sequence = media_loop::name_of("bnd.seq.00000000000000A1");
    engine_media_desc_make(&bind.desc, &channel, &node_id, &kA, &sequence);
    ASSERT_EQ(engine_binder_open(g_viewer->binderTable, ENGINE_BINDER_P2P, bind.kind, &bind.desc, nullptr, nullptr),
              CORE_OK);
    ASSERT_EQ(engine_connect(g_viewer, &bind), CORE_OK);

    ASSERT_TRUE(media_loop::wait_until([&] {
        return channel_state(g_viewer, kChannel) == int(ENGINE_CHANNEL_BOUND) &&
               channel_state(g_streamer, kChannel) == int(ENGINE_CHANNEL_BOUND);
    }, 20000)) << "viewer " << channel_state(g_viewer, kChannel) << ", streamer " << channel_state(g_streamer, kChannel);
    events->settle();
    EXPECT_EQ(count(ENGINE_EVT_BIND_OPENED, kB), 1u) << "announced by the streamer although it accepted itself";
    ASSERT_EQ(count(ENGINE_EVT_BIND_STATE, kA), 1u);
    ASSERT_EQ(count(ENGINE_EVT_BIND_STATE, kB), 1u);
    for (const auto &m : events->of(ENGINE_EVT_BIND_STATE)) {
        const EngineBindRecord state = m.as<EngineBindRecord>();
        EXPECT_EQ(state.kind, media_loop::same(state.desc.session, kA) ? ENGINE_BIND_KIND_REQUESTER
                                                                      : ENGINE_BIND_KIND_ANSWERER);
        EXPECT_STREQ(state.desc.bindSequence.text, "bnd.seq.00000000000000A1");
    }
    // The viewer names the streamer's capture source once bound.
    const auto viewerState = events->of(ENGINE_EVT_BIND_STATE);
    for (const auto &m : viewerState) {
        const EngineBindRecord state = m.as<EngineBindRecord>();
        if (media_loop::same(state.desc.session, kA)) {
            EXPECT_STRNE(state.sourceName, "");
        }
    }
    EXPECT_EQ(node->profiles().size(), 1u) << "the streamer's one audio stream";

    // The viewer unbinds; the streamer hears of it and ends its side too.
    EngineBindRecord unbind = bind;
    unbind.kind = ENGINE_BIND_KIND_NONE;
    ASSERT_EQ(engine_disconnect(g_viewer, &unbind), CORE_OK);
    ASSERT_TRUE(media_loop::wait_until([&] {
        events->settle();
        return count(ENGINE_EVT_BIND_CLOSED, kA) == 1 && count(ENGINE_EVT_BIND_CLOSED, kB) == 1;
    }, 20000));
    EXPECT_EQ(count(ENGINE_EVT_BIND_CLOSING, kA), 1u);
    EXPECT_EQ(count(ENGINE_EVT_BIND_CLOSING, kB), 1u);
    EXPECT_TRUE(media_loop::wait_until([&] {
        return g_viewer->binderTable->open.load() == 0 && g_streamer->binderTable->open.load() == 0;
    }));
    EXPECT_EQ(events->count(ENGINE_EVT_BIND_FAILED) + events->count(ENGINE_EVT_BIND_BUSY), 0u);
}

}  // namespace
