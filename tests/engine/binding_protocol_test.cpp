// The binding protocol over the real binding service and network library:
// one core whose sessions A and B are each other's peer (media_loop.h), so
// an offer the service sends on A's entry is judged by these rules on B's.
// The engine's control service is a recorder whose answers each case sets.
// Rules that need no wire are driven by handing the rules an offer
// directly; virtual time (core_clock_test_advance_ms) ages the marks.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/store.h"
#include "engine/binding.h"
#include "engine/binding_protocol.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/media_loop.h"
#include "engine/node.h"

namespace {

using namespace media_loop;

constexpr uint32_t kP2pClass = 2;
constexpr uint32_t kVideoSizeClass = 1;
const char *const kChannel = "p2p.bnd.00000000.chnl";

// A control request as the engine received it.
struct Call {
    uint32_t code;
    EngineBindRecord record;  // the head of a stream set, for the set requests
    uint64_t count;           // records of a set
    uint64_t length;
};

bool takes_set(uint32_t code)
{
    return code == ENGINE_CTL_PEER_REQUEST || code == ENGINE_CTL_PEER_ACCEPT || code == ENGINE_CTL_PEER_READY ||
           code == ENGINE_CTL_PEER_UPDATE;
}

class Engine {
public:
    static CoreResult handle(uint32_t code, const void *in, uint64_t in_len, void *, uint64_t *, void **user)
    {
        if (code < ENGINE_CTL_VERSION_MISMATCH || code > ENGINE_CTL_PEER_UNBIND) return CORE_NOT_MINE;
        auto *self = static_cast<Engine *>(user[0]);
        Call call = {};
        call.code = code;
        call.length = in_len;
        EXPECT_GE(in_len, sizeof(EngineBindRecord));
        memcpy(&call.record, in, sizeof(EngineBindRecord));
        if (takes_set(code)) {
            const auto *set = static_cast<const EngineStreamSet *>(in);
            call.count = set->count;
            EXPECT_EQ(in_len, engine_stream_set_size(set->count)) << "a set is exactly as long as its count says";
        } else {
            EXPECT_EQ(in_len, sizeof(EngineBindRecord));
        }
        std::lock_guard<std::mutex> guard(self->mutex);
        self->calls.push_back(call);
        auto found = self->answers.find(code);
        return found != self->answers.end() ? found->second : CORE_OK;
    }

    std::vector<Call> of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<Call> out;
        for (const Call &c : calls)
            if (c.code == code) out.push_back(c);
        return out;
    }
    // Calls of `code` made on behalf of a session.
    size_t count(uint32_t code, const CoreName &session)
    {
        size_t n = 0;
        for (const Call &c : of(code)) n += same(c.record.desc.session, session) ? 1 : 0;
        return n;
    }
    size_t total()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return calls.size();
    }
    void answer(uint32_t code, CoreResult result)
    {
        std::lock_guard<std::mutex> guard(mutex);
        answers[code] = result;
    }

    std::mutex mutex;
    std::vector<Call> calls;
    std::map<uint32_t, CoreResult> answers;
};

std::vector<uint8_t> offer_bytes(uint32_t kind, const char *channel, const char *bindSequence, uint64_t entries,
                                 const char *source = "")
{
    std::vector<uint8_t> bytes(ENGINE_OFFER_HEADER_SIZE + entries * ENGINE_OFFER_ENTRY_SIZE, 0);
    auto *offer = reinterpret_cast<EngineCodecOffer *>(bytes.data());
    offer->size = static_cast<uint32_t>(bytes.size());
    offer->kind = kind;
    offer->sizeClass = 9;
    const CoreName c = name_of(channel), b = name_of(bindSequence);
    memcpy(offer->channel, c.key, 32);
    memcpy(offer->bindSequence, b.key, 32);
    snprintf(offer->sourceName, sizeof offer->sourceName, "%s", source);
    for (uint64_t i = 0; i < entries; ++i) {
        auto *entry = reinterpret_cast<EngineCodecOfferEntry *>(bytes.data() + ENGINE_OFFER_HEADER_SIZE +
                                                                 i * ENGINE_OFFER_ENTRY_SIZE);
        const CoreName stream = name_of(i == 0 ? "stream.00000000" : "stream.40000000");
        memcpy(entry->streamName, stream.key, 32);
        entry->mediaFlags = i == 0 ? 0x401 : 0x10002;
        engine_props_init(&entry->props);
    }
    return bytes;
}

class BindingProtocol : public MediaLoopTest {
protected:
    void SetUp() override
    {
        MediaLoopTest::SetUp();
        control = name_of(ENGINE_CONTROL_SERVICE);
        ASSERT_EQ(core_notify_channel_create(&control), CORE_OK);
        const CoreNotifySubscription subscription = {Engine::handle, {&engine, nullptr}};
        controlToken = core_notify_subscribe(&control, &subscription);
        ASSERT_NE(controlToken, 0u);
        EngineBindingParams params = {};
        params.binderDirection = ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING;
        params.p2pClass = kP2pClass;
        params.videoSizeClass = kVideoSizeClass;
        params.onOffer = engine_binding_on_offer;
        service = engine_binding_service_create(&params);
        ASSERT_NE(service, nullptr);
        pair_up();
        ASSERT_TRUE(opened_both(ENGINE_STREAM_BIND));
        ASSERT_TRUE(wait_until([&] { return live_peers() == 2; }));
    }
    void TearDown() override
    {
        engine_binding_service_destroy(&service);
        core_notify_unsubscribe(&control, controlToken);
        core_notify_channel_remove(ENGINE_CONTROL_SERVICE);
        MediaLoopTest::TearDown();
    }

    size_t live_peers()
    {
        core_store_lock(service->peers);
        const size_t n = service->peers->live;
        core_store_unlock(service->peers);
        return n;
    }

    // Runs fn with the entry of a session, held meanwhile.
    template <typename Fn>
    void with_peer(const CoreName &session, Fn fn)
    {
        CoreStoreItem *item = core_store_lookup(service->peers, session.key);
        ASSERT_NE(item, nullptr);
        fn(reinterpret_cast<EngineBindingPeer *>(item));
        core_store_unref(service->peers);
    }

    // Hands the rules an offer as if it had arrived on `session`.
    CoreResult arrive(const CoreName &session, const std::vector<uint8_t> &bytes, uint64_t length = UINT64_MAX)
    {
        CoreResult result = CORE_ERR;
        with_peer(session, [&](EngineBindingPeer *peer) {
            result = engine_binding_on_offer(service, peer, reinterpret_cast<const EngineCodecOffer *>(bytes.data()),
                                             length == UINT64_MAX ? bytes.size() : length);
        });
        return result;
    }

    static EngineBindRecord bind_record(uint32_t kind, const CoreName &session, const char *sequence)
    {
        EngineBindRecord r = {};
        r.kind = kind;
        const CoreName channel = name_of(kChannel), bind = name_of(sequence);
        engine_media_desc_make(&r.desc, &channel, nullptr, &session, &bind);
        return r;
    }

    // A table of n records published for a binding on `session`.
    static void publish(uint32_t code, const CoreName &session, uint64_t n)
    {
        EngineStreamTable *table = engine_stream_table_alloc(n);
        ASSERT_NE(table, nullptr);
        EngineMediaDesc desc = {};
        const CoreName channel = name_of(kChannel);
        engine_media_desc_make(&desc, &channel, nullptr, &session, nullptr);
        const CoreName nodeService = name_of(ENGINE_NODE_SERVICE);
        uint64_t length = sizeof desc;
        EXPECT_EQ(core_notify(&nodeService, code, table, engine_stream_table_size(n), &desc, &length), CORE_OK);
        void *block = table;
        core_pool_free(engine_node_running()->pool, &block);
    }

    CoreName control = {};
    uint64_t controlToken = 0;
    Engine engine;
    EngineBindingService *service = nullptr;
};

// V (session A) asks, S (session B) is busy: S's engine hears the request
// with V's table, V hears BUSY.
TEST_F(BindingProtocol, RequestReachesTheEngineAndBusyGoesBack)
{
    engine.answer(ENGINE_CTL_PEER_REQUEST, CORE_ERR_BUSY);
    publish(ENGINE_SVC_SET_OFFER, kA, 3);
    const EngineBindRecord asked = bind_record(1, kA, "bnd.seq.1");
    ASSERT_NE(engine_post_command(ENGINE_MSG_BIND_REQUEST, &asked, sizeof asked), 0u);
    ASSERT_TRUE(wait_until([&] { return engine.count(ENGINE_CTL_PEER_BUSY, kA) >= 1; }));
    const Call request = engine.of(ENGINE_CTL_PEER_REQUEST)[0];
    EXPECT_TRUE(same(request.record.desc.session, kB)) << "named by the session it arrived on";
    EXPECT_TRUE(same(request.record.desc.peerNode, node_id));
    EXPECT_STREQ(request.record.desc.bindSequence.text, "bnd.seq.1");
    EXPECT_EQ(request.count, 3u);
    EXPECT_EQ(request.record.kind, kP2pClass) << "the set's kind is the offer's size class";
    const Call busy = engine.of(ENGINE_CTL_PEER_BUSY)[0];
    EXPECT_EQ(busy.record.kind, ENGINE_BIND_KIND_REQUESTER);
    EXPECT_STREQ(busy.record.sourceName, "");
    EXPECT_EQ(engine.count(ENGINE_CTL_PEER_UNBIND, kB), 0u) << "busy is no failure";
}

// S answers: V's request task stops, V's engine adopts and READY goes back.
TEST_F(BindingProtocol, AcceptIsAdoptedAndConfirmedWithReady)
{
    publish(ENGINE_SVC_SET_OFFER, kA, 2);
    EngineBindRecord request = bind_record(1, kA, "bnd.seq.2");
    ASSERT_NE(engine_post_command(ENGINE_MSG_BIND_REQUEST, &request, sizeof request), 0u);
    ASSERT_TRUE(wait_until([&] { return engine.count(ENGINE_CTL_PEER_REQUEST, kB) >= 1; }));

    publish(ENGINE_SVC_SET_ANSWER, kB, 4);
    EngineBindRecord accept = bind_record(2, kB, "bnd.seq.2");
    accept.desc.peerNode = node_id;
    snprintf(accept.sourceName, sizeof accept.sourceName, "%s", "screen of S");
    ASSERT_NE(engine_post_command(ENGINE_MSG_BIND_ACCEPT, &accept, sizeof accept), 0u);
    ASSERT_TRUE(wait_until([&] { return engine.count(ENGINE_CTL_PEER_READY, kB) == 1; }));

    const Call adopted = engine.of(ENGINE_CTL_PEER_ACCEPT)[0];
    EXPECT_TRUE(same(adopted.record.desc.session, kA));
    EXPECT_EQ(adopted.count, 4u);
    EXPECT_STREQ(adopted.record.sourceName, "screen of S");
    const Call ready = engine.of(ENGINE_CTL_PEER_READY)[0];
    EXPECT_EQ(ready.record.kind, kP2pClass) << "the local size class of the channel";
    EXPECT_STREQ(ready.record.sourceName, "");
    with_peer(kA, [&](EngineBindingPeer *peer) {
        const CoreName channel = name_of(kChannel);
        CoreStoreItem *item = core_store_lookup(peer->offers, channel.key);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(reinterpret_cast<EngineBindingOffer *>(item)->requestTask.load(), 0u) << "the request stopped";
        core_store_unref(peer->offers);
    });
}

TEST_F(BindingProtocol, PeersBelowVersionFourAreRefused)
{
    with_peer(kB, [](EngineBindingPeer *peer) { peer->peerVersion.store(3); });
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_REQUEST, kChannel, "bnd.seq.3", 1)), CORE_ERR_VERSION);
    ASSERT_EQ(engine.of(ENGINE_CTL_VERSION_MISMATCH).size(), 1u);
    EXPECT_EQ(engine.of(ENGINE_CTL_VERSION_MISMATCH)[0].record.kind, ENGINE_BIND_KIND_REQUESTER);
    EXPECT_TRUE(engine.of(ENGINE_CTL_PEER_REQUEST).empty()) << "no binding is set up";
    ASSERT_EQ(engine.count(ENGINE_CTL_PEER_UNBIND, kB), 1u);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_UNBIND)[0].record.kind, ENGINE_BIND_KIND_NONE);
    // The peer is told with an UNBIND, which its side turns into an unbind.
    ASSERT_TRUE(wait_until([&] { return engine.count(ENGINE_CTL_PEER_UNBIND, kA) == 1; }));

    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_ACCEPT, kChannel, "bnd.seq.3", 1)), CORE_ERR_VERSION);
    EXPECT_EQ(engine.of(ENGINE_CTL_VERSION_MISMATCH).size(), 2u);
    EXPECT_TRUE(engine.of(ENGINE_CTL_PEER_ACCEPT).empty());

    // Version 4, as the library reports for every current peer, is served.
    with_peer(kB, [](EngineBindingPeer *peer) { peer->peerVersion.store(ENGINE_PROTOCOL_VERSION); });
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_REQUEST, kChannel, "bnd.seq.4", 1)), CORE_OK);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 1u);
}

TEST_F(BindingProtocol, RequestsOfARecentlyEndedBindingAreIgnored)
{
    const std::vector<uint8_t> request = offer_bytes(ENGINE_OFFER_REQUEST, kChannel, "bnd.seq.5", 2);
    EXPECT_EQ(arrive(kB, request), CORE_OK);
    EXPECT_EQ(arrive(kB, request), CORE_OK) << "a repeat still reaches the engine";
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 2u);

    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_UNBIND, kChannel, "bnd.seq.5", 0)), CORE_OK);
    ASSERT_EQ(engine.of(ENGINE_CTL_PEER_UNBIND).size(), 1u);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_UNBIND)[0].record.kind, ENGINE_BIND_KIND_ANSWERER);

    core_clock_test_advance_ms(30000);
    EXPECT_EQ(arrive(kB, request), CORE_OK);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 2u) << "30 s after the unbind: ignored";
    core_clock_test_advance_ms(70000);
    EXPECT_EQ(arrive(kB, request), CORE_OK);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 3u) << "100 s after: a new request";
}

TEST_F(BindingProtocol, EachKindBecomesItsControlRequest)
{
    const struct {
        uint32_t kind;
        uint32_t code;
        uint32_t recordKind;  // or the set's kind
        const char *source;   // what the engine gets of "src"
    } cases[] = {
        {ENGINE_OFFER_BUSY, ENGINE_CTL_PEER_BUSY, ENGINE_BIND_KIND_REQUESTER, ""},
        {ENGINE_OFFER_REJECT, ENGINE_CTL_PEER_REJECT, ENGINE_BIND_KIND_REQUESTER, "src"},
        {ENGINE_OFFER_BROADCAST_OPEN, ENGINE_CTL_BROADCAST_JOIN, ENGINE_BIND_KIND_ANSWERER, ""},
        {ENGINE_OFFER_BROADCAST_CLOSE, ENGINE_CTL_BROADCAST_LEAVE, ENGINE_BIND_KIND_ANSWERER, "src"},
        {ENGINE_OFFER_UPDATE, ENGINE_CTL_PEER_UPDATE, kP2pClass, ""},
        {ENGINE_OFFER_READY, ENGINE_CTL_PEER_READY, kP2pClass, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(arrive(kB, offer_bytes(c.kind, kChannel, "bnd.seq.6", 2, "src")), CORE_OK);
        ASSERT_EQ(engine.of(c.code).size(), 1u);
        const Call call = engine.of(c.code)[0];
        EXPECT_EQ(call.record.kind, c.recordKind);
        EXPECT_STREQ(call.record.sourceName, c.source);
        EXPECT_TRUE(same(call.record.desc.session, kB));
    }
    const size_t before = engine.total();
    EXPECT_EQ(arrive(kB, offer_bytes(0x2000, kChannel, "bnd.seq.6", 0)), CORE_OK);
    EXPECT_EQ(engine.total(), before) << "an unknown kind: no control request, no reply";
}

TEST_F(BindingProtocol, OnlyWholeEntriesOfTheReceivedLengthAreRead)
{
    const std::vector<uint8_t> bytes = offer_bytes(ENGINE_OFFER_REQUEST, kChannel, "bnd.seq.7", 2);
    EXPECT_EQ(arrive(kB, bytes, ENGINE_OFFER_HEADER_SIZE + ENGINE_OFFER_ENTRY_SIZE + 100), CORE_OK);
    ASSERT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 1u);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST)[0].count, 1u) << "the size word says two; the bytes hold one";
    EXPECT_EQ(arrive(kB, bytes, ENGINE_OFFER_HEADER_SIZE - 1), CORE_ERR_INVALID);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_REQUEST).size(), 1u);
}

TEST_F(BindingProtocol, FailedRequestsUnbindBothSides)
{
    engine.answer(ENGINE_CTL_PEER_READY, CORE_ERR);
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_READY, kChannel, "bnd.seq.8", 1)), CORE_ERR);
    ASSERT_EQ(engine.count(ENGINE_CTL_PEER_UNBIND, kB), 1u);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_UNBIND)[0].record.kind, ENGINE_BIND_KIND_NONE);
    ASSERT_TRUE(wait_until([&] { return engine.count(ENGINE_CTL_PEER_UNBIND, kA) == 1; }));

    // A READY for a name of neither kind is a failure of its own.
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_READY, "no.channel", "bnd.seq.8", 1)), CORE_FAIL);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_READY).size(), 1u);
    EXPECT_EQ(engine.count(ENGINE_CTL_PEER_UNBIND, kB), 2u);
}

TEST_F(BindingProtocol, NodeThatAcceptsNoBindingsDropsRequestsAndReadies)
{
    service->binderDirection = ENGINE_DIRECTION_OUTGOING;
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_REQUEST, kChannel, "bnd.seq.9", 1)), CORE_OK);
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_READY, kChannel, "bnd.seq.9", 1)), CORE_OK);
    EXPECT_EQ(engine.total(), 0u);
    EXPECT_EQ(arrive(kB, offer_bytes(ENGINE_OFFER_UNBIND, kChannel, "bnd.seq.9", 0)), CORE_OK);
    EXPECT_EQ(engine.of(ENGINE_CTL_PEER_UNBIND).size(), 1u) << "an unbind is still handled";
}

}  // namespace
