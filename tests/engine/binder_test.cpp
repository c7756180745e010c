#include "engine/binder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/queue.h"
#include "core/store.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"

namespace {

constexpr uint32_t kMissing = 0xFFFFFFFFu;
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

CoreName p2m_name(uint32_t index)
{
    CoreName name;
    core_name_format(&name, "p2m.bnd.%08X.chnl", index);
    return name;
}

// Channel, peer node, session, bind sequence; nullptr leaves a name empty.
EngineMediaDesc desc_of(const char *channel, const char *peer, const char *session, const char *sequence)
{
    EngineMediaDesc desc;
    memset(&desc, 0, sizeof desc);
    if (channel) desc.channel = core_name_of(channel);
    if (peer) desc.peerNode = core_name_of(peer);
    if (session) desc.session = core_name_of(session);
    if (sequence) desc.bindSequence = core_name_of(sequence);
    return desc;
}

struct Event {
    uint32_t code;
    std::vector<uint8_t> data;
};

template <typename Record>
Record record_of(const Event &event)
{
    Record record;
    EXPECT_EQ(event.data.size(), sizeof record);
    memcpy(&record, event.data.data(), sizeof record);
    return record;
}

// A running engine node, the events its topic delivers, and one table.
class BinderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        CoreTopicSubscription subscription{&BinderTest::on_event, {this, nullptr}};
        event_topic_ = core_name_of(ENGINE_EVENT_TOPIC);
        subscription_ = core_topic_subscribe(&event_topic_, &subscription);
        ASSERT_NE(subscription_, 0u);
        table_ = engine_binder_table_create(2, 1, 1);
        ASSERT_NE(table_, nullptr);
        ASSERT_EQ(engine_binder_set_channel_counts(table_, 1, 8), CORE_OK);
    }

    void TearDown() override
    {
        engine_binder_table_destroy(&table_);
        EXPECT_EQ(table_, nullptr);
        core_topic_unsubscribe(&event_topic_, subscription_);
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    static CoreResult on_event(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<BinderTest *>(user[0]);
        Event event{message->type, {}};
        if (message->data != nullptr && message->length > 0) {
            const auto *bytes = static_cast<const uint8_t *>(message->data);
            event.data.assign(bytes, bytes + message->length);
        }
        std::lock_guard<std::mutex> guard(self->events_lock_);
        self->events_.push_back(std::move(event));
        return CORE_OK;
    }

    std::vector<Event> events(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(events_lock_);
        std::vector<Event> out;
        for (const Event &e : events_)
            if (e.code == code) out.push_back(e);
        return out;
    }

    // Moves the clock past the statistics task's due time and polls (a
    // bounded number of rounds) until `count` events of `code` arrived.
    std::vector<Event> run_stats_until(uint32_t code, size_t count)
    {
        core_clock_test_advance_ms(ENGINE_BINDER_STATS_PERIOD_MS);
        for (int round = 0; round < 1000 && events(code).size() < count; ++round) core_poll_sleep();
        return events(code);
    }

    // The channel's state under the table's lock; kMissing when absent.
    uint32_t state_of(const CoreName &channel)
    {
        CoreStoreItem *item = core_store_lookup(table_->channels, channel.key);
        if (item == nullptr) return kMissing;
        core_lock(&table_->lock);
        uint32_t state = reinterpret_cast<EngineBinderChannel *>(item)->state;
        core_unlock(&table_->lock);
        core_store_unref(table_->channels);
        return state;
    }

    // Live channel names in key order.
    std::vector<std::string> channel_names()
    {
        std::vector<std::string> out;
        for (CoreStoreItem *item = core_store_first(table_->channels); item != nullptr;
             item = core_store_next(table_->channels, item, 1))
            out.push_back(item->key.text);
        return out;
    }

    // Runs fn on the channel under the table's lock (test stand-in for the
    // parts that record formats and stream sets).
    template <typename Fn>
    void with_channel(const CoreName &channel, Fn fn)
    {
        CoreStoreItem *item = core_store_lookup(table_->channels, channel.key);
        ASSERT_NE(item, nullptr);
        core_lock(&table_->lock);
        fn(reinterpret_cast<EngineBinderChannel *>(item));
        core_unlock(&table_->lock);
        core_store_unref(table_->channels);
    }

    int64_t reader_total()
    {
        core_store_lock(table_->channels);
        int64_t total = table_->channels->reader_total;
        core_store_unlock(table_->channels);
        return total;
    }

    CoreName event_topic_{};
    uint64_t subscription_ = 0;
    EngineBinderTable *table_ = nullptr;
    std::mutex events_lock_;
    std::vector<Event> events_;
};

const EngineMediaDesc kP2p = desc_of("p2p.bnd.00000000.chnl", "peer.A", "session.A", "bnd.seq.A");

TEST_F(BinderTest, OpenValidatesArgumentsAndStaysClosedOnError)
{
    const EngineAudioFormat audio{48000, 2, 16, 0x4C45, 'S', {}};
    const CoreVideoMode video{1280, 720, 30, 1};
    struct Case {
        const char *purpose;
        int32_t kind;
        const char *channel;  // nullptr: no desc
        const char *peer;
        bool formats;
        CoreResult expected;
        std::vector<std::string> channels;
    };
    const std::vector<std::string> eight = {
        "p2m.bnd.00000000.chnl", "p2m.bnd.00000001.chnl", "p2m.bnd.00000002.chnl", "p2m.bnd.00000003.chnl",
        "p2m.bnd.00000004.chnl", "p2m.bnd.00000005.chnl", "p2m.bnd.00000006.chnl", "p2m.bnd.00000007.chnl"};
    const Case cases[] = {
        {"closed kind", -1, nullptr, nullptr, false, CORE_ERR_INVALID, {}},
        {"kind past the count array", 2, "p2m.bnd.00000000.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
        {"p2p needs a desc", 0, nullptr, nullptr, false, CORE_ERR_INVALID, {}},
        {"p2p name is no binder name", 0, "stream.00000000", "peer.A", false, CORE_ERR_INVALID, {}},
        {"p2p peer empty", 0, "p2p.bnd.00000000.chnl", nullptr, false, CORE_ERR_INVALID, {}},
        {"p2p with broadcast formats", 0, "p2p.bnd.00000000.chnl", "peer.A", true, CORE_ERR_INVALID, {}},
        {"p2p index past its count", 0, "p2p.bnd.00000001.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
        {"negative index", 0, "p2p.bnd.FFFFFFFF.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
        {"index that reads as no index", 0, "p2m.bnd.7FFFFFFF.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
        {"name not as the system writes it", 0, "p2p.bnd.0000000g.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
        {"p2p opens its one channel", 0, "p2p.bnd.00000000.chnl", "peer.A", false, CORE_OK,
         {"p2p.bnd.00000000.chnl"}},
        {"viewer of a broadcast channel", 0, "p2m.bnd.00000011.chnl", "peer.A", false, CORE_OK,
         {"p2m.bnd.00000011.chnl"}},
        {"p2m without desc", 1, nullptr, nullptr, true, CORE_OK, eight},
        {"p2m for its last channel", 1, "p2m.bnd.00000007.chnl", "peer.A", false, CORE_OK, eight},
        {"p2m channel past its count", 1, "p2m.bnd.00000008.chnl", "peer.A", false, CORE_ERR_INVALID, {}},
    };
    for (const Case &c : cases) {
        EngineMediaDesc desc = desc_of(c.channel, c.peer, nullptr, nullptr);
        CoreResult result = engine_binder_open(table_, c.kind, 2, c.channel ? &desc : nullptr,
                                               c.formats ? &audio : nullptr, c.formats ? &video : nullptr);
        EXPECT_EQ(result, c.expected) << c.purpose;
        EXPECT_EQ(table_->open.load(), result == CORE_OK ? 1u : 0u) << c.purpose;
        EXPECT_EQ(table_->kind.load(), result == CORE_OK ? c.kind : ENGINE_BINDER_CLOSED) << c.purpose;
        EXPECT_EQ(channel_names(), c.channels) << c.purpose;
        engine_binder_close_all(table_);
    }

    // The broadcast's formats and the p2p peer are kept while open.
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, &audio, &video), CORE_OK);
    EXPECT_EQ(memcmp(&table_->broadcastAudio, &audio, sizeof audio), 0);
    EXPECT_EQ(memcmp(&table_->broadcastVideo, &video, sizeof video), 0);
    EXPECT_EQ(table_->role.load(), 2u);
}

TEST_F(BinderTest, ChannelCounts)
{
    for (uint32_t count : {0u, 4u, 8u, 16u, 32u}) {
        ASSERT_EQ(engine_binder_set_channel_counts(table_, 1, count), CORE_OK);
        ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
        std::vector<std::string> expected;
        for (uint32_t i = 0; i < count; ++i) expected.push_back(p2m_name(i).text);
        EXPECT_EQ(channel_names(), expected) << count << " channels";
        EXPECT_EQ(engine_binder_set_channel_counts(table_, 1, 4), CORE_ERR_STATE) << "counts fixed while open";
        EXPECT_EQ(engine_binder_close_all(table_), CORE_OK);
        EXPECT_TRUE(channel_names().empty());
    }
    EXPECT_EQ(engine_binder_set_channel_counts(table_, 1, ENGINE_BINDER_CHANNELS_MAX + 1), CORE_ERR_INVALID);
    EXPECT_EQ(engine_binder_set_channel_counts(table_, 0xFFFFFFFFu, 8), CORE_ERR_INVALID);

    // A p2p count above one still gives a connection its one channel.
    ASSERT_EQ(engine_binder_set_channel_counts(table_, 3, 8), CORE_OK);
    EngineMediaDesc desc = desc_of("p2p.bnd.00000002.chnl", "peer.A", nullptr, nullptr);
    EXPECT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &desc, nullptr, nullptr), CORE_OK);
    EXPECT_EQ(channel_names(), std::vector<std::string>{"p2p.bnd.00000002.chnl"});
}

TEST_F(BinderTest, OpenTwice)
{
    EngineMediaDesc other = kP2p;
    other.peerNode = core_name_of("peer.B");
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &kP2p, nullptr, nullptr), CORE_OK);
    EXPECT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 2, &kP2p, nullptr, nullptr), CORE_DONE) << "same peer";
    EXPECT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 2, &other, nullptr, nullptr), CORE_ERR_BUSY);
    EXPECT_EQ(table_->role.load(), 1u) << "a refused open changes nothing";
    EXPECT_EQ(engine_binder_close_all(table_), CORE_OK);
    EXPECT_EQ(engine_binder_close_all(table_), CORE_DONE) << "already closed";
    EXPECT_TRUE(core_name_is_empty(&table_->peer));

    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
    EngineMediaDesc viewer = desc_of("p2m.bnd.00000003.chnl", "peer.A", "session.A", "bnd.seq.A");
    ASSERT_EQ(engine_binder_begin(table_, &viewer), CORE_OK);
    EXPECT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, &viewer, nullptr, nullptr), CORE_DONE);
    EXPECT_EQ(state_of(viewer.channel), ENGINE_CHANNEL_CONNECTING) << "a second p2m open keeps the channels";
    EXPECT_EQ(channel_names().size(), 8u);
}

// Every row starts from a fresh channel p2m.bnd.00000000.chnl brought to
// `from` by the binding A (peer.A, bnd.seq.A; the session arrives with
// set_bound), then applies `op` with `desc`.
TEST_F(BinderTest, ChannelStateMachine)
{
    enum From { Idle, Connecting, ConnectingNoPeer, Bound, Closing };
    enum Op { Begin, SetBound, SetClosing, Release };
    const char *ch = "p2m.bnd.00000000.chnl";
    const EngineMediaDesc a_request = desc_of(ch, "peer.A", nullptr, "bnd.seq.A");
    const EngineMediaDesc a = desc_of(ch, "peer.A", "session.A", "bnd.seq.A");
    const EngineMediaDesc b = desc_of(ch, "peer.B", "session.B", "bnd.seq.B");
    const EngineMediaDesc no_peer = desc_of(ch, nullptr, nullptr, "bnd.seq.A");
    const EngineMediaDesc names_empty = desc_of(ch, nullptr, nullptr, nullptr);
    struct Case {
        const char *purpose;
        From from;
        Op op;
        const EngineMediaDesc *desc;
        CoreResult result;
        uint32_t state;
    };
    const Case cases[] = {
        {"idle begins", Idle, Begin, &a_request, CORE_OK, ENGINE_CHANNEL_CONNECTING},
        {"connecting without peer takes the peer", ConnectingNoPeer, Begin, &b, CORE_OK, ENGINE_CHANNEL_CONNECTING},
        {"same peer again", Connecting, Begin, &a, CORE_EXISTS, ENGINE_CHANNEL_CONNECTING},
        {"request without peer", Connecting, Begin, &no_peer, CORE_EXISTS, ENGINE_CHANNEL_CONNECTING},
        {"another peer", Connecting, Begin, &b, CORE_ERR_BUSY, ENGINE_CHANNEL_CONNECTING},
        {"bound", Bound, Begin, &a, CORE_ERR_BUSY, ENGINE_CHANNEL_BOUND},
        {"closing", Closing, Begin, &a, CORE_ERR_BUSY, ENGINE_CHANNEL_CLOSING},
        {"connecting binds", Connecting, SetBound, &a, CORE_OK, ENGINE_CHANNEL_BOUND},
        {"no match does not bind", Connecting, SetBound, &b, CORE_ERR, ENGINE_CHANNEL_CONNECTING},
        {"empty names do not bind", Connecting, SetBound, &names_empty, CORE_ERR, ENGINE_CHANNEL_CONNECTING},
        {"already bound", Bound, SetBound, &a, CORE_DONE, ENGINE_CHANNEL_BOUND},
        {"idle cannot bind", Idle, SetBound, &a, CORE_ERR, ENGINE_CHANNEL_IDLE},
        {"closing cannot bind", Closing, SetBound, &a, CORE_ERR, ENGINE_CHANNEL_CLOSING},
        {"connecting closes", Connecting, SetClosing, &a, CORE_OK, ENGINE_CHANNEL_CLOSING},
        {"bound closes", Bound, SetClosing, &a, CORE_OK, ENGINE_CHANNEL_CLOSING},
        {"no match does not close", Bound, SetClosing, &b, CORE_DONE, ENGINE_CHANNEL_BOUND},
        {"idle does not close", Idle, SetClosing, &a, CORE_DONE, ENGINE_CHANNEL_IDLE},
        {"closing stays", Closing, SetClosing, &a, CORE_DONE, ENGINE_CHANNEL_CLOSING},
        {"connecting releases", Connecting, Release, &a, CORE_OK, ENGINE_CHANNEL_IDLE},
        {"bound releases", Bound, Release, &a, CORE_OK, ENGINE_CHANNEL_IDLE},
        {"closing releases", Closing, Release, &a, CORE_OK, ENGINE_CHANNEL_IDLE},
        {"idle has nothing to release", Idle, Release, &a, CORE_DONE, ENGINE_CHANNEL_IDLE},
        {"no match does not release", Closing, Release, &b, CORE_DONE, ENGINE_CHANNEL_CLOSING},
    };
    const CoreName channel = core_name_of(ch);
    for (const Case &c : cases) {
        engine_binder_close_all(table_);
        ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
        if (c.from != Idle) {
            ASSERT_EQ(engine_binder_begin(table_, c.from == ConnectingNoPeer ? &no_peer : &a_request), 0);
        }
        if (c.from == Bound || c.from == Closing) {
            ASSERT_EQ(engine_binder_set_bound(table_, "screen", &a), 0);
        }
        if (c.from == Closing) {
            ASSERT_EQ(engine_binder_set_closing(table_, &a), 0);
        }

        CoreResult result = CORE_FAIL;
        switch (c.op) {
        case Begin: result = engine_binder_begin(table_, c.desc); break;
        case SetBound: result = engine_binder_set_bound(table_, "screen", c.desc); break;
        case SetClosing: result = engine_binder_set_closing(table_, c.desc); break;
        case Release: result = engine_binder_release(table_, c.desc); break;
        }
        EXPECT_EQ(result, c.result) << c.purpose;
        EXPECT_EQ(state_of(channel), c.state) << c.purpose;
    }

    // Missing channels and a closed table.
    const EngineMediaDesc missing = desc_of("p2m.bnd.00000009.chnl", "peer.A", "session.A", "bnd.seq.A");
    EXPECT_EQ(engine_binder_begin(table_, &missing), CORE_ERR);
    EXPECT_EQ(engine_binder_set_bound(table_, nullptr, &missing), CORE_ERR);
    EXPECT_EQ(engine_binder_set_closing(table_, &missing), CORE_ERR);
    EXPECT_EQ(engine_binder_release(table_, &missing), CORE_ERR);
    engine_binder_close_all(table_);
    EXPECT_EQ(engine_binder_begin(table_, &a), CORE_ERR_STATE);
}

TEST_F(BinderTest, BindingRecordsNamesAndResetClearsThem)
{
    const char *ch = "p2m.bnd.00000001.chnl";
    const CoreName channel = core_name_of(ch);
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
    const EngineMediaDesc request = desc_of(ch, "peer.A", nullptr, "bnd.seq.A");
    ASSERT_EQ(engine_binder_begin(table_, &request), CORE_OK);
    with_channel(channel, [](EngineBinderChannel *c) {
        c->encoderRequest[1] = {1, 500000, 2};
        c->streamSet = engine_stream_set_alloc("screen", &c->desc, 2, 1);
        ASSERT_NE(c->streamSet, nullptr);
    });
    // 300 bytes without a terminator: only 255 characters are kept.
    std::string long_source(300, 's');
    EngineMediaDesc a = desc_of(ch, "peer.A", "session.A", "bnd.seq.A");
    ASSERT_EQ(engine_binder_set_bound(table_, long_source.c_str(), &a), CORE_OK);

    CoreName out;
    EXPECT_EQ(engine_binder_get_peer_node(table_, &channel, &out), CORE_OK);
    EXPECT_STREQ(out.text, "peer.A");
    EXPECT_EQ(engine_binder_get_session_id(table_, &channel, &out), CORE_OK);
    EXPECT_STREQ(out.text, "session.A") << "taken from the binding desc";
    EXPECT_EQ(engine_binder_get_bind_seq(table_, &channel, &out), CORE_OK);
    EXPECT_STREQ(out.text, "bnd.seq.A");
    with_channel(channel, [](EngineBinderChannel *c) {
        EXPECT_EQ(strlen(c->sourceName), 255u);
        for (const EngineEncoderRequest &r : c->encoderRequest) {
            EXPECT_EQ(r.set, 0u);
            EXPECT_EQ(r.step, ENGINE_ENCODER_STEP_DEFAULT);
        }
    });

    EXPECT_TRUE(engine_binder_matches(table_, &a));
    ASSERT_EQ(engine_binder_release(table_, &a), CORE_OK);
    with_channel(channel, [](EngineBinderChannel *c) {
        EXPECT_EQ(c->streamSet, nullptr) << "the stored offer goes back to the pool";
        EXPECT_TRUE(core_name_is_empty(&c->desc.peerNode));
        EXPECT_EQ(strlen(c->sourceName), 255u) << "reset keeps the source name";
    });
    EXPECT_EQ(engine_binder_get_peer_node(table_, &channel, &out), CORE_OK);
    EXPECT_TRUE(core_name_is_empty(&out));
}

TEST_F(BinderTest, LookupsAndMatching)
{
    const CoreName channel = kP2p.channel;
    const CoreName unknown = core_name_of("p2p.bnd.00000005.chnl");
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &kP2p, nullptr, nullptr), CORE_OK);
    ASSERT_EQ(engine_binder_begin(table_, &kP2p), CORE_OK);

    CoreName out = core_name_of("stale");
    EXPECT_EQ(engine_binder_get_peer_node(table_, &unknown, &out), CORE_ERR);
    EXPECT_TRUE(core_name_is_empty(&out)) << "zeroed before the lookup";
    EXPECT_EQ(engine_binder_get_session_id(table_, &unknown, &out), CORE_ERR);
    EXPECT_EQ(engine_binder_get_bind_seq(table_, &unknown, &out), CORE_ERR);

    const CoreName session = core_name_of("session.A");
    const CoreName empty{};
    EXPECT_TRUE(engine_binder_has_session(table_, &channel, session.key));
    EXPECT_FALSE(engine_binder_has_session(table_, &channel, core_name_of("session.B").key));
    EXPECT_FALSE(engine_binder_has_session(table_, &unknown, session.key));
    EXPECT_FALSE(engine_binder_has_session(table_, &channel, empty.key)) << "an empty id names no session";

    struct Case {
        const char *purpose;
        EngineMediaDesc desc;
        bool matches;
    };
    const char *ch = "p2p.bnd.00000000.chnl";
    const Case cases[] = {
        {"all three equal", desc_of(ch, "peer.A", "session.A", "bnd.seq.A"), true},
        {"all names empty", desc_of(ch, nullptr, nullptr, nullptr), false},
        {"only the sequence given", desc_of(ch, nullptr, nullptr, "bnd.seq.A"), true},
        {"session differs", desc_of(ch, "peer.A", "session.B", "bnd.seq.A"), false},
        {"peer differs", desc_of(ch, "peer.B", nullptr, nullptr), false},
        {"sequence differs", desc_of(ch, "peer.A", "session.A", "bnd.seq.B"), false},
        {"unknown channel", desc_of("p2p.bnd.00000005.chnl", "peer.A", "session.A", "bnd.seq.A"), false},
    };
    for (const Case &c : cases) EXPECT_EQ(engine_binder_matches(table_, &c.desc), c.matches) << c.purpose;

    // A stored name that is empty is not compared.
    with_channel(channel, [&](EngineBinderChannel *c) {
        memset(&c->desc.session, 0, sizeof c->desc.session);
        EngineMediaDesc other_session = desc_of(ch, "peer.A", "session.Z", nullptr);
        EXPECT_TRUE(engine_binder_desc_matches(c, &other_session));
    });

    EXPECT_TRUE(engine_binder_is_usable(table_, &unknown));
    EXPECT_TRUE(engine_binder_is_usable(table_, &channel));
    ASSERT_EQ(engine_binder_set_closing(table_, &kP2p), CORE_OK);
    EXPECT_FALSE(engine_binder_is_usable(table_, &channel));
}

struct Visit {
    std::vector<std::string> channels;
    std::vector<std::string> sessions;
    size_t stop_after = 0;
};

int record_visit(const CoreName *channel, const CoreName *session, void *user)
{
    auto *visit = static_cast<Visit *>(user);
    visit->channels.push_back(channel->text);
    visit->sessions.push_back(session->text);
    return visit->stop_after != 0 && visit->channels.size() >= visit->stop_after ? 1 : 0;
}

TEST_F(BinderTest, ForeachBoundVisitsBoundAndClosingInOrder)
{
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
    // Channel 1 connecting only, 2 bound, 5 closing, 6 bound.
    const char *sessions[] = {nullptr, "s1", "s2", nullptr, nullptr, "s5", "s6"};
    for (uint32_t i : {1u, 2u, 5u, 6u}) {
        CoreName ch = p2m_name(i);
        EngineMediaDesc d = desc_of(ch.text, "peer.A", sessions[i], "bnd.seq.A");
        ASSERT_EQ(engine_binder_begin(table_, &d), CORE_OK);
        if (i != 1) {
            ASSERT_EQ(engine_binder_set_bound(table_, nullptr, &d), CORE_OK);
        }
        if (i == 5) {
            ASSERT_EQ(engine_binder_set_closing(table_, &d), CORE_OK);
        }
    }
    Visit all;
    EXPECT_EQ(engine_binder_foreach_bound(table_, record_visit, &all), CORE_OK);
    EXPECT_EQ(all.channels, (std::vector<std::string>{p2m_name(2).text, p2m_name(5).text, p2m_name(6).text}));
    EXPECT_EQ(all.sessions, (std::vector<std::string>{"s2", "s5", "s6"}));

    Visit stopped;
    stopped.stop_after = 2;
    EXPECT_EQ(engine_binder_foreach_bound(table_, record_visit, &stopped), CORE_ERR);
    EXPECT_EQ(stopped.channels.size(), 2u);
    EXPECT_EQ(reader_total(), 0) << "a walk left early gives its reference back";
}

TEST_F(BinderTest, StreamCounts)
{
    const CoreName channel = kP2p.channel;
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &kP2p, nullptr, nullptr), CORE_OK);
    CoreStore *send = nullptr;
    CoreStore *receive = nullptr;
    with_channel(channel, [&](EngineBinderChannel *c) {
        send = c->sendStreams;
        receive = c->receiveStreams;
    });
    for (const char *stream : {"stream.00000000", "stream.40000000"}) {
        CoreName n = core_name_of(stream);
        ASSERT_EQ(core_store_insert(send, &n, nullptr, nullptr, nullptr, 0), CORE_OK);
    }
    CoreName video = core_name_of("stream.40000000");
    ASSERT_EQ(core_store_insert(receive, &video, nullptr, nullptr, nullptr, 0), CORE_OK);
    EXPECT_EQ(engine_binder_send_count(table_, &channel), 2u);
    EXPECT_EQ(engine_binder_receive_count(table_, &channel), 1u);
    ASSERT_EQ(core_store_remove(send, video.key), CORE_OK);
    EXPECT_EQ(engine_binder_send_count(table_, &channel), 1u);
    CoreName unknown = core_name_of("p2p.bnd.00000003.chnl");
    EXPECT_EQ(engine_binder_send_count(table_, &unknown), 0u);
    EXPECT_EQ(engine_binder_receive_count(table_, &unknown), 0u);
}

TEST_F(BinderTest, ChannelStatisticsEveryPeriod)
{
    const CoreName channel = kP2p.channel;
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &kP2p, nullptr, nullptr), CORE_OK);
    ASSERT_EQ(engine_binder_begin(table_, &kP2p), CORE_OK);
    // Counts of a channel that is not bound yet stay for its first report.
    ASSERT_EQ(engine_binder_add_bits(table_, &channel, &kP2p.session, ENGINE_BINDER_SENT_AUDIO, 1000), CORE_OK);
    ASSERT_EQ(engine_binder_set_bound(table_, "screen", &kP2p), CORE_OK);

    const CoreName other = core_name_of("session.B");
    struct Add {
        const CoreName *session;
        uint32_t block;
        uint64_t bits;
        CoreResult result;
    };
    const Add adds[] = {
        {&kP2p.session, ENGINE_BINDER_SENT_AUDIO, 500, CORE_OK},
        {nullptr, ENGINE_BINDER_RECEIVED_AUDIO, 2000, CORE_OK},
        {&kP2p.session, ENGINE_BINDER_SENT_VIDEO, 3000, CORE_OK},
        {&kP2p.session, ENGINE_BINDER_RECEIVED_VIDEO, 4000, CORE_OK},
        {&other, ENGINE_BINDER_SENT_VIDEO, 7, CORE_DONE},  // another session's bits do not count
        {&kP2p.session, 4, 7, CORE_ERR_INVALID},
    };
    for (const Add &a : adds) EXPECT_EQ(engine_binder_add_bits(table_, &channel, a.session, a.block, a.bits), a.result);
    const CoreName missing = core_name_of("p2p.bnd.00000003.chnl");
    EXPECT_EQ(engine_binder_add_bits(table_, &missing, nullptr, ENGINE_BINDER_SENT_AUDIO, 1), CORE_ERR);
    ASSERT_EQ(engine_binder_set_security(table_, &channel, ENGINE_BINDER_RECEIVED_VIDEO, 2), CORE_OK);
    ASSERT_EQ(engine_binder_set_security(table_, &channel, ENGINE_BINDER_SENT_AUDIO, 1), CORE_OK);
    const EngineAudioFormat format{48000, 2, 16, 0x4C45, 'S', {}};
    const CoreVideoMode mode{1920, 1080, 60, 1};
    with_channel(channel, [&](EngineBinderChannel *c) {
        c->receivedAudio.format2 = format;
        c->sentVideo.mode1 = mode;
    });

    std::vector<Event> reports = run_stats_until(ENGINE_EVT_CHANNEL_INFO, 1);
    ASSERT_GE(reports.size(), 1u);
    // The whole period in one report (sums guard against a report that
    // real time brought in early).
    uint64_t sums[4] = {};
    for (const Event &e : reports) {
        EngineChannelInfo info = record_of<EngineChannelInfo>(e);
        sums[0] += info.sentAudio.bits;
        sums[1] += info.receivedAudio.bits;
        sums[2] += info.sentVideo.bits;
        sums[3] += info.receivedVideo.bits;
    }
    EXPECT_EQ(sums[0], 1500u);
    EXPECT_EQ(sums[1], 2000u);
    EXPECT_EQ(sums[2], 3000u);
    EXPECT_EQ(sums[3], 4000u);

    // The record as the interface reads it, byte offsets included.
    const Event &first = reports.front();
    EngineChannelInfo info = record_of<EngineChannelInfo>(first);
    uint32_t role;
    memcpy(&role, first.data.data(), 4);
    EXPECT_EQ(role, 1u);
    EXPECT_EQ(memcmp(first.data.data() + 4, kP2p.channel.key, 32), 0);
    EXPECT_EQ(memcmp(first.data.data() + 140, kP2p.peerNode.key, 32), 0);
    EXPECT_EQ(memcmp(first.data.data() + 276, kP2p.session.key, 32), 0);
    EXPECT_EQ(memcmp(first.data.data() + 412, kP2p.bindSequence.key, 32), 0);
    EXPECT_EQ(memcmp(first.data.data() + 604, &format, 12), 0);
    EXPECT_EQ(memcmp(first.data.data() + 632, &mode, 16), 0);
    uint32_t word;
    memcpy(&word, first.data.data() + 576, 4);
    EXPECT_EQ(word, 1u);
    memcpy(&word, first.data.data() + 712, 4);
    EXPECT_EQ(word, 2u);
    EXPECT_EQ(info.elapsedMs, 0u) << "the first report starts the channel's time";

    // The next period starts from zero; the time runs on.
    size_t before = reports.size();
    reports = run_stats_until(ENGINE_EVT_CHANNEL_INFO, before + 1);
    ASSERT_GT(reports.size(), before);
    EngineChannelInfo next = record_of<EngineChannelInfo>(reports.back());
    EXPECT_EQ(next.sentAudio.bits + next.receivedAudio.bits + next.sentVideo.bits + next.receivedVideo.bits, 0u);
    EXPECT_GE(next.elapsedMs, static_cast<uint64_t>(ENGINE_BINDER_STATS_PERIOD_MS));
    EXPECT_EQ(next.receivedVideo.securityFlags, 2u) << "security words are no counters";
    EXPECT_TRUE(events(ENGINE_EVT_TOTAL_INFO).empty()) << "a p2p table reports no totals";

    // A counter stops at its maximum instead of wrapping to a small number.
    ASSERT_EQ(engine_binder_add_bits(table_, &channel, nullptr, ENGINE_BINDER_SENT_VIDEO, kU64Max - 5), CORE_OK);
    ASSERT_EQ(engine_binder_add_bits(table_, &channel, nullptr, ENGINE_BINDER_SENT_VIDEO, 10), CORE_OK);
    with_channel(channel, [](EngineBinderChannel *c) { EXPECT_EQ(c->sentVideo.bits, kU64Max); });
}

TEST_F(BinderTest, BroadcastTotalsEveryPeriod)
{
    const EngineAudioFormat audio{44100, 2, 16, 0x4C45, 'S', {}};
    const CoreVideoMode video{768, 432, 30, 1};
    ASSERT_EQ(engine_binder_set_channel_counts(table_, 1, 4), CORE_OK);
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, &audio, &video), CORE_OK);

    std::vector<Event> totals = run_stats_until(ENGINE_EVT_TOTAL_INFO, 1);
    ASSERT_GE(totals.size(), 1u);
    EXPECT_TRUE(events(ENGINE_EVT_CHANNEL_INFO).empty()) << "no channel is bound";
    EngineTotalInfo empty = record_of<EngineTotalInfo>(totals.front());
    EXPECT_EQ(empty.channelCount, 0u);
    EXPECT_EQ(empty.securityFlags, 1u);
    EXPECT_EQ(memcmp(&empty.broadcastAudio, &audio, sizeof audio), 0);
    EXPECT_EQ(memcmp(&empty.broadcastVideo, &video, sizeof video), 0);
    EXPECT_EQ(empty.elapsedMs, 0u);

    // Two viewers near the top of the counter range: the sum saturates.
    for (uint32_t i : {0u, 3u}) {
        CoreName ch = p2m_name(i);
        EngineMediaDesc d = desc_of(ch.text, i ? "peer.B" : "peer.A", i ? "session.B" : "session.A", "bnd.seq");
        ASSERT_EQ(engine_binder_begin(table_, &d), CORE_OK);
        ASSERT_EQ(engine_binder_set_bound(table_, nullptr, &d), CORE_OK);
        ASSERT_EQ(engine_binder_add_bits(table_, &ch, &d.session, ENGINE_BINDER_SENT_AUDIO, 100), CORE_OK);
        ASSERT_EQ(engine_binder_add_bits(table_, &ch, &d.session, ENGINE_BINDER_SENT_VIDEO, kU64Max / 2 + 10),
                  CORE_OK);
    }
    size_t before = totals.size();
    totals = run_stats_until(ENGINE_EVT_TOTAL_INFO, before + 1);
    ASSERT_GT(totals.size(), before);
    EngineTotalInfo sum{};
    for (size_t i = before; i < totals.size(); ++i) {
        EngineTotalInfo t = record_of<EngineTotalInfo>(totals[i]);
        if (t.channelCount == 0) continue;
        sum = t;
    }
    EXPECT_EQ(sum.channelCount, 2u);
    EXPECT_EQ(sum.sentAudioBits, 200u);
    EXPECT_EQ(sum.sentVideoBits, kU64Max);
    EXPECT_GE(sum.elapsedMs, static_cast<uint64_t>(ENGINE_BINDER_STATS_PERIOD_MS));
    std::vector<Event> infos = events(ENGINE_EVT_CHANNEL_INFO);
    ASSERT_GE(infos.size(), 2u);
    EXPECT_EQ(record_of<EngineChannelInfo>(infos[0]).role, 2u);
}

TEST_F(BinderTest, PeriodEndsWithoutARunningNode)
{
    const CoreName channel = kP2p.channel;
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &kP2p, nullptr, nullptr), CORE_OK);
    ASSERT_EQ(engine_binder_begin(table_, &kP2p), CORE_OK);
    ASSERT_EQ(engine_binder_set_bound(table_, nullptr, &kP2p), CORE_OK);
    ASSERT_EQ(engine_binder_add_bits(table_, &channel, nullptr, ENGINE_BINDER_SENT_AUDIO, 64), CORE_OK);

    EngineNode *node = engine_node_running();
    engine_node_set_running(nullptr);
    void *user[2] = {table_, nullptr};
    EXPECT_EQ(engine_binder_stats_task(&table_->executor, table_->statsTask, nullptr, nullptr, user), CORE_OK);
    engine_node_set_running(node);

    with_channel(channel, [](EngineBinderChannel *c) {
        EXPECT_EQ(c->sentAudio.bits, 0u);
        EXPECT_NE(c->since, 0u);
    });
    // Everything posted before this marker has been delivered once it is.
    const uint32_t marker = 0;
    uint64_t sequence = engine_post_event(ENGINE_EVT_MESSAGE, &marker, sizeof marker);
    ASSERT_NE(sequence, 0u);
    ASSERT_EQ(core_topic_wait(&event_topic_, sequence), CORE_OK);
    for (const Event &e : events(ENGINE_EVT_CHANNEL_INFO))
        EXPECT_EQ(record_of<EngineChannelInfo>(e).sentAudio.bits, 0u) << "the dropped period is not reported later";
}

// A reader that found a channel keeps it while a close removes it; the
// channel's name is free at once for the next open.
TEST_F(BinderTest, ReaderKeepsRemovedChannel)
{
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
    const CoreName ch = p2m_name(2);
    EngineMediaDesc d = desc_of(ch.text, "peer.A", "session.A", "bnd.seq.A");
    ASSERT_EQ(engine_binder_begin(table_, &d), CORE_OK);
    CoreStoreItem *held = core_store_lookup(table_->channels, ch.key);
    ASSERT_NE(held, nullptr);

    ASSERT_EQ(engine_binder_close_all(table_), CORE_OK);
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK)
        << "reopening does not wait for the old channels' reclaim";
    EXPECT_EQ(channel_names().size(), 8u);
    EXPECT_EQ(state_of(ch), ENGINE_CHANNEL_IDLE) << "a new channel under the old name";

    core_lock(&table_->lock);
    auto *old = reinterpret_cast<EngineBinderChannel *>(held);
    EXPECT_EQ(old->state, ENGINE_CHANNEL_IDLE) << "reset before removal";
    EXPECT_NE(old->sendStreams, nullptr) << "not reclaimed while referenced";
    core_unlock(&table_->lock);
    EXPECT_EQ(engine_binder_begin(table_, &d), CORE_OK) << "begin reaches the new channel";

    CoreStoreStats stats{};
    core_store_stats(table_->channels, &stats);
    uint64_t freed_before = stats.items_freed;
    core_store_unref(table_->channels);
    for (int round = 0; round < 1000 && stats.items_freed < freed_before + 8; ++round) {
        core_store_wake(table_->channels);
        core_poll_sleep();
        core_store_stats(table_->channels, &stats);
    }
    EXPECT_GE(stats.items_freed, freed_before + 8) << "the old channels go once the reader lets go";
}

// Readers on several threads against a writer that opens, binds, closes and
// removes the channels, and the statistics task running meanwhile.
TEST_F(BinderTest, ConcurrentReadersAgainstRemoval)
{
    constexpr int kCycles = 150;
    constexpr int kReaders = 4;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};

    auto reader = [&](uint32_t offset) {
        uint32_t i = offset;
        while (!done.load()) {
            CoreName ch = p2m_name(i++ % 4);
            CoreName out;
            CoreResult r = engine_binder_get_peer_node(table_, &ch, &out);
            // A channel is idle (no peer) or bound to peer.A: nothing else.
            if (r == CORE_OK && !core_name_is_empty(&out) && strcmp(out.text, "peer.A") != 0) bad++;
            if (r != CORE_OK && r != CORE_ERR) bad++;
            engine_binder_has_session(table_, &ch, core_name_of("session.A").key);
            engine_binder_is_usable(table_, &ch);
            engine_binder_send_count(table_, &ch);
            engine_binder_add_bits(table_, &ch, nullptr, ENGINE_BINDER_SENT_VIDEO, 8);
            Visit visit;
            engine_binder_foreach_bound(table_, record_visit, &visit);
            for (const std::string &s : visit.sessions)
                if (s != "session.A") bad++;
        }
    };
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) readers.emplace_back(reader, static_cast<uint32_t>(t));

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        // EXPECT, not ASSERT: the readers must be joined whatever happens.
        EXPECT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, 2, nullptr, nullptr, nullptr), CORE_OK);
        for (uint32_t i = 0; i < 4; ++i) {
            CoreName ch = p2m_name(i);
            EngineMediaDesc d = desc_of(ch.text, "peer.A", "session.A", "bnd.seq.A");
            EXPECT_EQ(engine_binder_begin(table_, &d), CORE_OK);
            EXPECT_EQ(engine_binder_set_bound(table_, "screen", &d), CORE_OK);
            if (i % 2) {
                EXPECT_EQ(engine_binder_set_closing(table_, &d), CORE_OK);
            }
            if (i == 3) {
                EXPECT_EQ(engine_binder_release(table_, &d), CORE_OK);
            }
        }
        if (cycle % 50 == 0) core_clock_test_advance_ms(ENGINE_BINDER_STATS_PERIOD_MS);
        EXPECT_EQ(engine_binder_close_all(table_), CORE_OK);
    }
    done.store(true);
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(reader_total(), 0);
}

}  // namespace
