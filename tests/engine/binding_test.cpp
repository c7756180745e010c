// The binding service over the real network library: one core whose two
// sessions, A and B, are each other's peer (media_loop.h), so one service
// keeps an entry for each and what it sends to A's peer arrives on B's
// binding stream and is handed to the protocol handler given at creation,
// here a recorder. The engine's control service is a recorder as well.
// Virtual time (core_clock_test_advance_ms) drives the request repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/store.h"
#include "engine/binding.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/media_loop.h"
#include "engine/node.h"
#include "engine/peer_streams.h"

namespace {

using namespace media_loop;

constexpr uint32_t kP2pClass = 2;
constexpr uint32_t kVideoSizeClass = 1;

// What the protocol handler was handed.
struct ReceivedOffer {
    std::string session;
    uint32_t kind;
    uint64_t sequence;
    uint32_t sizeClass;
    uint64_t length;
    uint64_t entries;
    std::string source;
    CoreName bindSequence;
    CoreName channel;
};

struct OfferLog {
    std::mutex mutex;
    std::vector<ReceivedOffer> offers;

    std::vector<ReceivedOffer> copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return offers;
    }
    size_t count(uint32_t kind, const CoreName &session)
    {
        std::lock_guard<std::mutex> guard(mutex);
        return std::count_if(offers.begin(), offers.end(),
                             [&](const ReceivedOffer &o) { return o.kind == kind && o.session == session.text; });
    }
};
OfferLog *g_offers = nullptr;

CoreResult record_offer(EngineBindingService *, EngineBindingPeer *peer, const EngineCodecOffer *record,
                        uint64_t length)
{
    ReceivedOffer o;
    o.session = peer->session.text;
    o.kind = record->kind;
    o.sequence = record->sequence;
    o.sizeClass = record->sizeClass;
    o.length = length;
    o.entries = (length - ENGINE_OFFER_HEADER_SIZE) / ENGINE_OFFER_ENTRY_SIZE;
    o.source.assign(record->sourceName, strnlen(record->sourceName, sizeof(record->sourceName)));
    memset(&o.bindSequence, 0, sizeof(CoreName));
    memcpy(o.bindSequence.key, record->bindSequence, 32);
    core_name_make(&o.bindSequence);
    memset(&o.channel, 0, sizeof(CoreName));
    memcpy(o.channel.key, record->channel, 32);
    core_name_make(&o.channel);
    std::lock_guard<std::mutex> guard(g_offers->mutex);
    g_offers->offers.push_back(o);
    return CORE_OK;
}

// The control requests the service made, with the bind record's kind.
struct ControlCall {
    uint32_t code;
    uint32_t kind;
    EngineMediaDesc desc;
    uint64_t at;  // monotonic ms
};

struct ControlLog {
    std::mutex mutex;
    std::vector<ControlCall> calls;

    static CoreResult handler(uint32_t code, const void *in, uint64_t in_len, void *, uint64_t *, void **user)
    {
        if (code < ENGINE_CTL_VERSION_MISMATCH || code > ENGINE_CTL_PEER_UNBIND) return CORE_NOT_MINE;
        auto *log = static_cast<ControlLog *>(user[0]);
        ControlCall call = {};
        call.code = code;
        call.at = core_clock_mono_ms();
        EngineBindRecord record = {};
        if (in != nullptr && in_len >= sizeof(record)) memcpy(&record, in, sizeof(record));
        call.kind = record.kind;
        call.desc = record.desc;
        std::lock_guard<std::mutex> guard(log->mutex);
        log->calls.push_back(call);
        return CORE_OK;
    }
    std::vector<ControlCall> copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
};

EngineStreamRecord stream_record(uint32_t i)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    r.roleWord = 0x11;
    r.mediaFlags = 0x02 | (1u << 16);
    core_name_format(&r.streamName, "stream.%08X", 0x40000000u + i);
    engine_props_init(&r.props);
    return r;
}

// A stream table of `count` records from the node pool.
EngineStreamTable *table_of(uint64_t count)
{
    EngineStreamTable *t = engine_stream_table_alloc(count);
    for (uint64_t i = 0; t != nullptr && i < count; ++i) {
        const EngineStreamRecord r = stream_record(static_cast<uint32_t>(i));
        engine_stream_table_set(t, i, &r);
    }
    return t;
}

void free_table(EngineStreamTable *t)
{
    void *block = t;
    core_pool_free(engine_node_running()->pool, &block);
}

class BindingTest : public MediaLoopTest {
protected:
    void SetUp() override
    {
        MediaLoopTest::SetUp();
        g_offers = &offers;
        control = name_of(ENGINE_CONTROL_SERVICE);
        ASSERT_EQ(core_notify_channel_create(&control), CORE_OK);
        const CoreNotifySubscription subscription = {ControlLog::handler, {&controls, nullptr}};
        controlToken = core_notify_subscribe(&control, &subscription);
        ASSERT_NE(controlToken, 0u);
        service = make_service(ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING);
        ASSERT_NE(service, nullptr);
    }

    void TearDown() override
    {
        engine_binding_service_destroy(&service);
        core_notify_unsubscribe(&control, controlToken);
        core_notify_channel_remove(ENGINE_CONTROL_SERVICE);
        MediaLoopTest::TearDown();
        g_offers = nullptr;
    }

    static EngineBindingService *make_service(uint32_t direction)
    {
        EngineBindingParams params = {};
        params.binderDirection = direction;
        params.p2pClass = kP2pClass;
        params.videoSizeClass = kVideoSizeClass;
        params.onOffer = record_offer;
        return engine_binding_service_create(&params);
    }

    // Both sessions up with their binding streams open.
    void pair_with_streams()
    {
        pair_up();
        ASSERT_TRUE(opened_both(ENGINE_STREAM_BIND));
    }

    // The peer entry of a session, held until release_peer.
    EngineBindingPeer *peer(const CoreName &session)
    {
        return reinterpret_cast<EngineBindingPeer *>(core_store_lookup(service->peers, session.key));
    }
    void release_peer() { core_store_unref(service->peers); }

    size_t live(CoreStore *store)
    {
        core_store_lock(store);
        const size_t n = store->live;
        core_store_unlock(store);
        return n;
    }

    // Count of the table stored under the channel, or -1 for none.
    static int64_t stored_count(CoreStore *store, const CoreName &channel)
    {
        CoreStoreItem *item = core_store_lookup(store, channel.key);
        if (item == nullptr) return -1;
        const int64_t n = static_cast<int64_t>(reinterpret_cast<EngineBindingOffer *>(item)->table->count);
        core_store_unref(store);
        return n;
    }

    // A node-service request as the negotiation makes it.
    static CoreResult node_request(uint32_t code, const EngineStreamTable *table, const EngineMediaDesc &desc)
    {
        const CoreName node_service = name_of(ENGINE_NODE_SERVICE);
        EngineMediaDesc out = desc;
        uint64_t out_len = sizeof(out);
        return core_notify(&node_service, code, table, engine_stream_table_size(table->count), &out, &out_len);
    }

    CoreResult publish(uint32_t code, uint64_t count, const EngineMediaDesc &desc)
    {
        EngineStreamTable *table = table_of(count);
        EXPECT_NE(table, nullptr);
        const CoreResult r = node_request(code, table, desc);
        free_table(table);
        return r;
    }

    EngineMediaDesc desc(const char *channel_text, const CoreName *session, const char *sequence = "bnd.seq.1")
    {
        EngineMediaDesc d;
        const CoreName channel = name_of(channel_text);
        const CoreName bind = name_of(sequence);
        return *engine_media_desc_make(&d, &channel, session != nullptr ? &node_id : nullptr, session, &bind);
    }

    static EngineBindRecord bind_record(uint32_t kind, const EngineMediaDesc &d, const char *source = "")
    {
        EngineBindRecord r = {};
        r.kind = kind;
        r.desc = d;
        strncpy(r.sourceName, source, sizeof(r.sourceName) - 1);
        return r;
    }

    static void post(uint32_t code, const EngineBindRecord &record)
    {
        ASSERT_NE(engine_post_command(code, &record, sizeof(record)), 0u);
    }

    std::vector<ControlCall> unbinds()
    {
        std::vector<ControlCall> out;
        for (const ControlCall &c : controls.copy())
            if (c.code == ENGINE_CTL_PEER_UNBIND) out.push_back(c);
        return out;
    }

    CoreName control = {};
    uint64_t controlToken = 0;
    ControlLog controls;
    OfferLog offers;
    EngineBindingService *service = nullptr;
};

TEST(BindingService, DirectionZeroRefusesCreation)
{
    EngineBindingParams params = {};
    EXPECT_EQ(engine_binding_service_create(&params), nullptr);
    EXPECT_EQ(engine_binding_service_create(nullptr), nullptr);
}

TEST(BindingService, TakesOnlyTheBindingStreamsRequests)
{
    struct Case {
        const char *purpose;
        uint32_t flags;
        int accepted;
    };
    const Case cases[] = {
        {"binding stream", 0x10, 1},
        {"binding bit with other low bits", 0x13, 1},
        {"audio stream", 0x01, 0},
        {"codec index in bits 8-15", 0x0110, 0},
        {"no flags", 0, 0},
    };
    for (const Case &c : cases) {
        FlowmeshStreamRequest request = {};
        request.kind.class_word = c.flags;
        FlowmeshStreamAnswer answer = {};
        EXPECT_EQ(engine_binding_on_stream_request(&request, &answer), c.accepted) << c.purpose;
        if (c.accepted) {
            EXPECT_EQ(answer.send_buffer, 32768u);
            EXPECT_EQ(answer.receive_buffer, 32768u);
            EXPECT_EQ(answer.kind_bits, static_cast<uint32_t>(FLOWMESH_STREAM_RELIABLE));
        }
    }
}

// One entry per established session, each with an open binding stream; an
// entry that goes is announced as well.
TEST_F(BindingTest, KeepsOnePeerEntryPerSession)
{
    pair_with_streams();
    EXPECT_EQ(live(service->peers), 2u);
    for (const CoreName &s : {kA, kB}) {
        EngineBindingPeer *p = peer(s);
        ASSERT_NE(p, nullptr) << s.text;
        EXPECT_TRUE(same(p->session, s));
        EXPECT_TRUE(same(p->peerNode, node_id));
        EXPECT_NE(p->sender, 0u);
        EXPECT_NE(p->receiver, 0u);
        release_peer();
    }
    ASSERT_TRUE(
        wait_until([&] { return events.of<EngineBindStreamEvent>(ENGINE_EVT_BIND_STREAM_OPENED).size() == 2; }));
    EXPECT_EQ(events.size_of(ENGINE_EVT_BIND_STREAM_OPENED), sizeof(EngineBindStreamEvent));
    for (const EngineBindStreamEvent &e : events.of<EngineBindStreamEvent>(ENGINE_EVT_BIND_STREAM_OPENED)) {
        EXPECT_TRUE(same(e.session, kA) || same(e.session, kB));
        EXPECT_STREQ(e.stream.text, ENGINE_STREAM_BIND);
    }

    // A session the library has no record of cannot open the stream: its
    // entry is removed again at once.
    FlowmeshSessionInfo info = {};
    info.state = FLOWMESH_SESSION_UP;
    FlowmeshSessionEvent up = {};
    up.session = name_of("session.ghost");
    up.peer_node = name_of("node.ghost");
    up.info = &info;
    up.user[0] = reinterpret_cast<uintptr_t>(service);
    engine_binding_on_session(&up, nullptr);
    EXPECT_EQ(peer(up.session), nullptr);
    ASSERT_TRUE(wait_until([&] {
        for (const EngineBindStreamEvent &e : events.of<EngineBindStreamEvent>(ENGINE_EVT_BIND_STREAM_CLOSED))
            if (same(e.session, up.session)) return true;
        return false;
    }));
}

// Offers and answers: service-wide for an empty session and peer, else in
// the entries of the peers named; a newer table replaces the older.
TEST_F(BindingTest, StoresOffersAndAnswers)
{
    pair_with_streams();
    const EngineMediaDesc wide = desc("p2m.bnd.00000002.chnl", nullptr);
    const EngineMediaDesc to_a = desc("p2p.bnd.00000001.chnl", &kA);
    EXPECT_EQ(publish(ENGINE_SVC_SET_OFFER, 2, wide), CORE_OK);
    EXPECT_EQ(publish(ENGINE_SVC_SET_OFFER, 3, to_a), CORE_OK);
    EXPECT_EQ(publish(ENGINE_SVC_SET_ANSWER, 1, to_a), CORE_OK);
    EXPECT_EQ(publish(ENGINE_SVC_SET_OFFER, 5, to_a), CORE_OK);

    EXPECT_EQ(stored_count(service->offers, wide.channel), 2);
    EXPECT_EQ(stored_count(service->offers, to_a.channel), -1);
    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(stored_count(a->offers, to_a.channel), 5);
    EXPECT_EQ(stored_count(a->answers, to_a.channel), 1);
    EXPECT_EQ(live(a->offers), 1u);
    release_peer();
    EngineBindingPeer *b = peer(kB);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(stored_count(b->offers, to_a.channel), -1);
    release_peer();

    // Requests whose buffers do not hold what they claim.
    EngineStreamTable *table = table_of(2);
    EngineMediaDesc out = to_a;
    uint64_t out_len = sizeof(out);
    void *user[2] = {service, nullptr};
    EXPECT_EQ(engine_binding_on_node_request(ENGINE_SVC_SET_OFFER, table, 8 + 1056, &out, &out_len, user),
              CORE_ERR_INVALID);
    EXPECT_EQ(engine_binding_on_node_request(ENGINE_SVC_SET_OFFER, table, 4, &out, &out_len, user), CORE_ERR_INVALID);
    uint64_t short_len = sizeof(out) - 1;
    EXPECT_EQ(engine_binding_on_node_request(ENGINE_SVC_SET_OFFER, table, 8 + 2 * 1056, &out, &short_len, user),
              CORE_ERR_INVALID);
    EXPECT_EQ(engine_binding_on_node_request(0x5003, table, 8 + 2 * 1056, &out, &out_len, user), CORE_NOT_MINE);
    free_table(table);
}

// The bind request goes out at once and then once a second until the
// answer stops it; each arrives whole on the peer's binding stream.
TEST_F(BindingTest, RepeatsABindRequestEverySecondUntilAnswered)
{
    pair_with_streams();
    const EngineMediaDesc d = desc("p2p.bnd.00000001.chnl", &kA);
    ASSERT_EQ(publish(ENGINE_SVC_SET_OFFER, 3, d), CORE_OK);
    post(ENGINE_MSG_BIND_REQUEST, bind_record(1, d, "Screen 1"));
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_REQUEST, kB) >= 1; }));
    for (int step = 0; step < 3; ++step) {
        const size_t before = offers.count(ENGINE_OFFER_REQUEST, kB);
        core_clock_test_advance_ms(ENGINE_BINDING_REQUEST_PERIOD_MS);
        ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_REQUEST, kB) > before; })) << step;
    }
    for (const ReceivedOffer &o : offers.copy()) {
        if (o.kind != ENGINE_OFFER_REQUEST) continue;
        EXPECT_EQ(o.length, 344u + 3 * 712);
        EXPECT_EQ(o.entries, 3u);
        EXPECT_EQ(o.sizeClass, kP2pClass);
        EXPECT_EQ(o.source, "Screen 1");
        EXPECT_TRUE(same(o.channel, d.channel));
        EXPECT_TRUE(same(o.bindSequence, d.bindSequence));
    }
    const std::vector<ReceivedOffer> got = offers.copy();
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].sequence, i + 1) << "A numbers from 1";

    // The answer has come: the task stops and stays stopped.
    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(live(a->requested), 1u);
    EXPECT_EQ(engine_binding_cancel_request(a, &d.channel), CORE_OK);
    EXPECT_EQ(engine_binding_cancel_request(a, &d.channel), CORE_DONE);
    release_peer();
    // An offer sent later on the same stream arrives after everything sent
    // before it: the requests counted then are all there will be.
    ASSERT_EQ(publish(ENGINE_SVC_UPDATE_STREAMS, 1, d), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_UPDATE, kB) == 1; }));
    const size_t sent = offers.count(ENGINE_OFFER_REQUEST, kB);
    EXPECT_GE(sent, 4u);
    core_clock_test_advance_ms(3 * ENGINE_BINDING_REQUEST_PERIOD_MS);
    ASSERT_EQ(publish(ENGINE_SVC_UPDATE_STREAMS, 1, d), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_UPDATE, kB) == 2; }));
    EXPECT_EQ(offers.count(ENGINE_OFFER_REQUEST, kB), sent);
    EXPECT_TRUE(unbinds().empty());
}

// Unanswered, the first pass more than 60 s after the request sends its
// request and an unbind, and the engine hears the binding failed (kind 0).
TEST_F(BindingTest, GivesUpAnUnansweredRequestAfterSixtySeconds)
{
    pair_with_streams();
    const EngineMediaDesc d = desc("p2p.bnd.00000001.chnl", &kA, "bnd.seq.60");
    ASSERT_EQ(publish(ENGINE_SVC_SET_OFFER, 1, d), CORE_OK);
    const uint64_t requested_at = core_clock_mono_ms();
    post(ENGINE_MSG_BIND_REQUEST, bind_record(1, d));
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_REQUEST, kB) >= 1; }));
    // One virtual second at a time, so that no stream sees a packet left
    // unacknowledged for long.
    for (int step = 0; step < 80 && unbinds().empty(); ++step) {
        const size_t before = offers.count(ENGINE_OFFER_REQUEST, kB);
        core_clock_test_advance_ms(ENGINE_BINDING_REQUEST_PERIOD_MS);
        ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_REQUEST, kB) > before; })) << step;
    }
    const std::vector<ControlCall> failed = unbinds();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_NONE));
    EXPECT_GT(failed[0].at - requested_at, static_cast<uint64_t>(ENGINE_BINDING_REQUEST_DEADLINE_MS));
    EXPECT_TRUE(same(failed[0].desc.channel, d.channel));
    EXPECT_TRUE(same(failed[0].desc.session, kA));
    EXPECT_TRUE(same(failed[0].desc.peerNode, node_id));
    EXPECT_TRUE(same(failed[0].desc.bindSequence, d.bindSequence));
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_UNBIND, kB) == 1; }));
    const std::vector<ReceivedOffer> got = offers.copy();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[got.size() - 2].kind, static_cast<uint32_t>(ENGINE_OFFER_REQUEST));
    EXPECT_EQ(got.back().kind, static_cast<uint32_t>(ENGINE_OFFER_UNBIND));
    EXPECT_EQ(got.back().length, 344u);
    EXPECT_EQ(got.back().sizeClass, ENGINE_OFFER_NO_CLASS);

    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(engine_binding_cancel_request(a, &d.channel), CORE_DONE) << "the task ended itself";
    release_peer();
}

// Requests that cannot start tell the engine with an unbind of the
// record's kind.
TEST_F(BindingTest, ARequestThatCannotStartIsReportedToTheEngine)
{
    pair_with_streams();
    // No offer was published to the peer: no task, no request on the wire.
    const EngineMediaDesc d = desc("p2p.bnd.00000004.chnl", &kA);
    post(ENGINE_MSG_BIND_REQUEST, bind_record(1, d));
    ASSERT_TRUE(wait_until([&] { return unbinds().size() == 1; }));
    EXPECT_EQ(unbinds()[0].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_REQUESTER));
    EXPECT_TRUE(same(unbinds()[0].desc.channel, d.channel));

    struct Case {
        const char *purpose;
        const char *channel;
        bool session;
        CoreResult result;
    };
    const Case cases[] = {
        {"empty channel", "", true, CORE_ERR_INVALID},
        {"no channel name", "stream.00000001", true, CORE_ERR},
        {"neither session nor peer", "p2p.bnd.00000004.chnl", false, CORE_ERR_INVALID},
    };
    for (const Case &c : cases) {
        const EngineBindRecord r = bind_record(1, desc(c.channel, c.session ? &kA : nullptr));
        EXPECT_EQ(engine_binding_request(service, &r), c.result) << c.purpose;
    }

    // A node that only accepts refuses every request it is asked to make.
    engine_binding_service_destroy(&service);
    service = make_service(ENGINE_DIRECTION_INCOMING);
    ASSERT_NE(service, nullptr);
    const EngineBindRecord r = bind_record(1, d);
    EXPECT_EQ(engine_binding_request(service, &r), CORE_ERR);
    post(ENGINE_MSG_BIND_REQUEST, r);
    ASSERT_TRUE(wait_until([&] { return unbinds().size() == 2; }));
}

// Accept, unbind and reject reach the peer named; the unbind clears the
// binding's marks and stops its request task.
TEST_F(BindingTest, AcceptUnbindAndReject)
{
    pair_with_streams();
    const EngineMediaDesc d = desc("p2p.bnd.00000001.chnl", &kA, "bnd.seq.77");
    ASSERT_EQ(publish(ENGINE_SVC_SET_ANSWER, 2, d), CORE_OK);
    post(ENGINE_MSG_BIND_ACCEPT, bind_record(2, d, "Camera"));
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_ACCEPT, kB) == 1; }));
    ReceivedOffer accept = offers.copy().back();
    EXPECT_EQ(accept.entries, 2u);
    EXPECT_EQ(accept.source, "Camera");
    EXPECT_EQ(accept.sizeClass, kP2pClass);

    // An accept needs both names; failing, the engine hears of it.
    const EngineBindRecord no_session = bind_record(2, desc("p2p.bnd.00000001.chnl", nullptr));
    EXPECT_EQ(engine_binding_accept(service, &no_session), CORE_ERR);

    ASSERT_EQ(publish(ENGINE_SVC_SET_OFFER, 1, d), CORE_OK);
    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(core_store_insert(a->answered, &d.bindSequence, nullptr, const_cast<EngineMediaDesc *>(&d), nullptr, 0),
              CORE_OK);
    const EngineBindRecord request = bind_record(1, d);
    ASSERT_EQ(engine_binding_request(service, &request), CORE_OK);
    EXPECT_EQ(live(a->requested), 1u);

    const uint64_t before = core_clock_mono_ms();
    const EngineBindRecord unbind = bind_record(1, d);
    EXPECT_EQ(engine_binding_unbind(service, &unbind), CORE_OK);
    EXPECT_EQ(live(a->requested), 0u);
    CoreStoreItem *mark = core_store_lookup(a->answered, d.bindSequence.key);
    ASSERT_NE(mark, nullptr);
    const uint64_t expires = reinterpret_cast<EngineBindingMark *>(mark)->expiresAt.load();
    core_store_unref(a->answered);
    EXPECT_GE(expires, before + ENGINE_BINDING_ANSWERED_HOLD_MS);
    EXPECT_EQ(engine_binding_cancel_request(a, &d.channel), CORE_DONE) << "stopped by the unbind";
    // A second unbind leaves the expiry where it was.
    EXPECT_EQ(engine_binding_unbind(service, &unbind), CORE_OK);
    mark = core_store_lookup(a->answered, d.bindSequence.key);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(reinterpret_cast<EngineBindingMark *>(mark)->expiresAt.load(), expires);
    core_store_unref(a->answered);
    release_peer();

    EXPECT_EQ(engine_binding_reject(service, &unbind), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_REJECT, kB) == 1; }));
    ASSERT_TRUE(wait_until([&] { return offers.count(ENGINE_OFFER_UNBIND, kB) == 2; }));
    for (const ReceivedOffer &o : offers.copy()) {
        if (o.kind != ENGINE_OFFER_UNBIND && o.kind != ENGINE_OFFER_REJECT) continue;
        EXPECT_EQ(o.length, 344u);
        EXPECT_EQ(o.sizeClass, ENGINE_OFFER_NO_CLASS);
        EXPECT_EQ(o.source, "");
    }
    EXPECT_EQ(offers.count(ENGINE_OFFER_ACCEPT, kA) + offers.count(ENGINE_OFFER_UNBIND, kA), 0u) << "only A's peer";
}

// A broadcast reaches every peer when no session or peer is named, and
// opens only with a service-wide table. Offers from the session that uses
// the peer's stream keys are numbered from the keyed start.
TEST_F(BindingTest, BroadcastReachesEveryPeer)
{
    pair_with_streams();
    const EngineMediaDesc wide = desc("p2m.bnd.00000002.chnl", nullptr);
    const EngineBindRecord open = bind_record(2, wide, "Desktop");
    EXPECT_EQ(engine_binding_broadcast_open(service, &open), CORE_DONE) << "nothing published";
    ASSERT_EQ(publish(ENGINE_SVC_SET_OFFER, 2, wide), CORE_OK);
    post(ENGINE_MSG_BROADCAST_OPEN, open);
    post(ENGINE_MSG_BROADCAST_CLOSE, open);
    ASSERT_TRUE(wait_until([&] {
        return offers.count(ENGINE_OFFER_BROADCAST_CLOSE, kA) == 1 &&
               offers.count(ENGINE_OFFER_BROADCAST_CLOSE, kB) == 1;
    }));
    for (const CoreName &s : {kA, kB}) EXPECT_EQ(offers.count(ENGINE_OFFER_BROADCAST_OPEN, s), 1u) << s.text;
    for (const ReceivedOffer &o : offers.copy()) {
        EXPECT_EQ(o.sizeClass, kVideoSizeClass);
        EXPECT_EQ(o.source, "Desktop");
        EXPECT_EQ(o.entries, o.kind == ENGINE_OFFER_BROADCAST_OPEN ? 2u : 0u);
        // What arrives at B left A's sender and the other way round.
        const uint64_t first = o.session == kB.text ? ENGINE_SENDER_SEQUENCE_FIRST : ENGINE_SENDER_SEQUENCE_KEYED;
        EXPECT_EQ(o.sequence, first + (o.kind == ENGINE_OFFER_BROADCAST_CLOSE ? 1 : 0)) << o.session;
    }
}

// A session that closes ends every binding marked on it: those the peer
// asked for (kind 2) first, then those asked of it (kind 1).
TEST_F(BindingTest, ClosedSessionUnbindsEveryMarkedBinding)
{
    pair_with_streams();
    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    const EngineMediaDesc asked1 = desc("p2p.bnd.00000001.chnl", &kA, "bnd.seq.r1");
    const EngineMediaDesc asked2 = desc("p2p.bnd.00000002.chnl", &kA, "bnd.seq.r2");
    const EngineMediaDesc answered = desc("p2p.bnd.00000003.chnl", &kA, "bnd.seq.a1");
    EXPECT_EQ(engine_binding_requested_mark(a, &asked1, 1), CORE_OK);
    EXPECT_EQ(engine_binding_requested_mark(a, &asked2, 1), CORE_OK);
    ASSERT_EQ(core_store_insert(a->answered, &answered.bindSequence, nullptr, const_cast<EngineMediaDesc *>(&answered),
                                nullptr, 0),
              CORE_OK);
    release_peer();

    FlowmeshSessionInfo info = {};
    info.state = FLOWMESH_SESSION_DOWN;
    FlowmeshSessionEvent down = {};
    down.session = kA;
    down.info = &info;
    down.user[0] = reinterpret_cast<uintptr_t>(service);
    engine_binding_on_session(&down, nullptr);

    const std::vector<ControlCall> calls = unbinds();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_ANSWERER));
    EXPECT_TRUE(same(calls[0].desc.bindSequence, answered.bindSequence));
    EXPECT_EQ(calls[1].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_REQUESTER));
    EXPECT_EQ(calls[2].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_REQUESTER));
    EXPECT_EQ(peer(kA), nullptr);
    ASSERT_TRUE(wait_until([&] {
        for (const EngineBindStreamEvent &e : events.of<EngineBindStreamEvent>(ENGINE_EVT_BIND_STREAM_CLOSED))
            if (same(e.session, kA)) return true;
        return false;
    }));
    EngineBindingPeer *b = peer(kB);
    EXPECT_NE(b, nullptr) << "the other session keeps its entry";
    if (b != nullptr) release_peer();
}

// What is not a binding message or an offer is dropped and counted.
TEST_F(BindingTest, DropsWhatIsNotAnOfferOrABindRecord)
{
    pair_with_streams();
    EngineBindingPeer *a = peer(kA);
    ASSERT_NE(a, nullptr);
    const uint64_t sender = a->sender;
    release_peer();
    // A record of one u32: shorter than any offer header.
    const uint32_t word = 7;
    const CoreTlvItem items[] = {{CORE_TLV_U32, 4, &word}, {CORE_TLV_END, 0, nullptr}};
    ASSERT_EQ(engine_stream_send_tlv(sender, 0, 0, items, 2), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return service->offersDropped.load() == 1; }));

    const uint8_t short_record[10] = {};
    ASSERT_NE(engine_post_command(ENGINE_MSG_UNBIND, short_record, sizeof(short_record)), 0u);
    ASSERT_TRUE(wait_until([&] { return service->commandsDropped.load() == 1; }));
    // Neither reached the protocol or the peer.
    EXPECT_TRUE(offers.copy().empty());
}

}  // namespace
