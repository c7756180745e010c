// Sessions end to end inside one core: two sessions, A and B, are each
// other's peer. Whatever A's transports send arrives as B's datagrams and
// the other way round, through the core's real routing, pipes, control
// messages and stream transports; only the engine is a stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "core/queue.h"
#include "core/random.h"
#include "core/store.h"
#include "flowmesh/access.h"
#include "flowmesh/core_fixture.h"
#include "flowmesh/peer.h"
#include "flowmesh/session.h"
#include "flowmesh/streams.h"

namespace {

const CoreName kA = core_name_of("session.a");
const CoreName kB = core_name_of("session.b");
constexpr uint32_t kAddressA = 0x0200007F;  // 127.0.0.2, network order
constexpr uint32_t kAddressB = 0x0300007F;  // 127.0.0.3
constexpr uint16_t kPort = 0x1127;

std::atomic<uint64_t> g_core_handle{0};
std::atomic<uint32_t> g_drop_every{0};  // 0: no loss; n: every n-th datagram is lost
std::atomic<uint64_t> g_sent{0};

// The wire between the two sessions.
int loop_send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *)
{
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<CoreQueueEntry> out;
    buffers.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t n = g_sent.fetch_add(1) + 1;
        const uint32_t every = g_drop_every.load();
        if (every != 0 && n % every == 0) continue;
        const bool from_a = memcmp(records[i].name.key, kA.key, CORE_NAME_KEY_SIZE) == 0;
        buffers.emplace_back(FLOWMESH_RECORD_HEAD + records[i].length, 0);
        memcpy(buffers.back().data() + FLOWMESH_RECORD_HEAD, records[i].data, records[i].length);
        CoreQueueEntry e = {};
        e.name = from_a ? kB : kA;
        e.type = from_a ? kAddressA : kAddressB;
        e.flags = kPort;
        e.length = buffers.back().size();
        e.data = buffers.back().data();
        out.push_back(e);
    }
    if (!out.empty()) flowmesh_core_datagrams(g_core_handle.load(), out.data(), out.size());
    return 0;
}

struct Engine {
    static std::atomic<int> confirmed, disconnected, dropped;
    static void destroy(CoreHandleTable *, void *, uint64_t) {}
    static uint64_t start(FlowmeshCore *, const FlowmeshConfig *)
    {
        return core_handle_create(core_handle_tables[CORE_HANDLES_NETWORK], 16, destroy, nullptr);
    }
    static void stop(FlowmeshCore *, void *) {}
    static CoreResult confirm(uint64_t, const uint8_t *) { return confirmed.fetch_add(1), CORE_OK; }
    static CoreResult disconnect(uint64_t, const CoreUdpAddr *) { return disconnected.fetch_add(1), CORE_OK; }
    static void drop(uint64_t, const uint8_t *) { dropped.fetch_add(1); }
};
std::atomic<int> Engine::confirmed, Engine::disconnected, Engine::dropped;

std::string text_of(const CoreName &n) { return std::string(n.text); }

// Everything the core tells the engine, in delivery order per table.
struct Log {
    struct Event {
        int table;
        std::string session;
        std::string stream;
        uint32_t state;
        uint32_t word;
        std::vector<uint8_t> data;
    };
    std::mutex mutex;
    std::vector<Event> events;
    std::atomic<int> accept{1};

    void add(Event e)
    {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(std::move(e));
    }
    static Log *of(const uint64_t *user) { return reinterpret_cast<Log *>(static_cast<uintptr_t>(user[0])); }

    static int session(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshSessionEvent *>(record);
        // The data is the peer value of the hello, as the engine reads it.
        const uint32_t value = e->info->peer_value;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
        of(e->user)->add({0, text_of(e->session), "", e->info->state, e->info->peer_mode, {bytes, bytes + 4}});
        return 0;
    }
    static int status(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStatusEvent *>(record);
        uint32_t word = 0;
        if (e->code == FLOWMESH_STATUS_STATE) memcpy(&word, e->payload, 4);
        of(e->user)->add({1, "", "", e->code, word, {}});
        return 0;
    }
    static int data(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamEvent *>(record);
        const auto *bytes = static_cast<const uint8_t *>(e->data);
        of(e->user)->add({2, text_of(e->session), text_of(e->stream), 0, 0,
                          std::vector<uint8_t>(bytes, bytes + e->length)});
        return 0;
    }
    static int state(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
        of(e->user)->add({3, text_of(e->session), text_of(e->kind.stream_name), e->state, e->key_kind, {}});
        return 0;
    }
    static int request(void *record, FlowmeshStreamAnswer *answer)
    {
        auto *e = static_cast<FlowmeshStreamRequest *>(record);
        answer->send_buffer = 0x200000;
        answer->receive_buffer = 0x200000;
        core_name_format(&answer->owner_name, "owner.%s", e->kind.stream_name.text);
        return of(e->user)->accept.load();
    }

    template <typename Pred>
    size_t count(Pred pred)
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const Event &e : events)
            if (pred(e)) n++;
        return n;
    }
    size_t count_state(const CoreName &session, const char *stream, uint32_t state)
    {
        return count([&](const Event &e) {
            return e.table == 3 && e.session == session.text && e.stream == stream && e.state == state;
        });
    }
    size_t count_session(const CoreName &session, uint32_t state)
    {
        return count([&](const Event &e) { return e.table == 0 && e.session == session.text && e.state == state; });
    }
    // The bytes of table-2 events of one stream, concatenated.
    std::vector<uint8_t> received(const CoreName &session, const char *stream)
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<uint8_t> out;
        for (const Event &e : events)
            if (e.table == 2 && e.session == session.text && e.stream == stream)
                out.insert(out.end(), e.data.begin(), e.data.end());
        return out;
    }
    std::vector<std::vector<uint8_t>> messages(const CoreName &session, const char *stream)
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::vector<uint8_t>> out;
        for (const Event &e : events)
            if (e.table == 2 && e.session == session.text && e.stream == stream) out.push_back(e.data);
        return out;
    }
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131u + seed * 7u) ^ (i >> 9));
    return v;
}

class Sessions : public FlowmeshCoreTest {
protected:
    void SetUp() override
    {
        Engine::confirmed = Engine::disconnected = Engine::dropped = 0;
        g_drop_every = 0;
        g_sent = 0;
        FlowmeshCoreTest::SetUp();
        const FlowmeshEngineOps ops = {Engine::start, Engine::stop, Engine::confirm, Engine::disconnect, Engine::drop};
        flowmesh_core_set_engine_ops(&ops);
        flowmesh_sessions_test_set_send(loop_send);
        FlowmeshCore *core = flowmesh_core_acquire();
        ASSERT_NE(core, nullptr);
        g_core_handle = core->handle;
        const FlowmeshEventTableSet *set = core->events;
        const FlowmeshCallbackFn fns[7] = {Log::session, Log::status, Log::data, Log::state, nullptr, nullptr,
                                           Log::request};
        for (uint32_t t = 0; t < 7; ++t) {
            if (fns[t] == nullptr) continue;
            FlowmeshCallbacks cb = {fns[t], {reinterpret_cast<uintptr_t>(&log), 0}};
            ASSERT_NE(flowmesh_register_callbacks(const_cast<FlowmeshEventTableSet *>(set), t, &cb), 0u);
        }
        flowmesh_core_release(core);
        ASSERT_EQ(flowmesh_set_state(FLOWMESH_NETWORK_STARTED), CORE_OK);
        FlowmeshKeyBlob key = {};
        key.kind = 2;
        key.length = 32;
        core_random_key(key.key, 32);
        session_key = key;
    }

    void TearDown() override
    {
        if (getenv("SESSION_TEST_DUMP") != nullptr) {
            std::lock_guard<std::mutex> guard(log.mutex);
            for (const Log::Event &e : log.events)
                fprintf(stderr, "t%d %s %s state %u word %u len %zu\n", e.table, e.session.c_str(), e.stream.c_str(),
                        e.state, e.word, e.data.size());
        }
        FlowmeshCoreTest::TearDown();
        flowmesh_sessions_test_set_send(nullptr);
    }

    // The engine reports the peer of `name` ready: the session is made.
    int report_ready(const CoreName &name, uint32_t key_role, uint32_t address)
    {
        FlowmeshPeerReadyRecord r = {};
        r.peer.identity = name;
        core_name_format(&r.peer.user_id, "user.%s", name.text);
        r.peer.address = address;
        r.peer.port = kPort;
        r.key = session_key;
        const CoreName reporter = core_name_of("instance");
        return flowmesh_core_peer_report(g_core_handle, &reporter, FLOWMESH_PEER_READY, key_role, &r, sizeof(r));
    }

    // The n-th meeting of A and B.
    void pair_up(size_t n = 1)
    {
        ASSERT_EQ(report_ready(kA, 0, kAddressB), 0);
        ASSERT_EQ(report_ready(kB, 1, kAddressA), 0);
        ASSERT_TRUE(wait_until([&] { return log.count_session(kA, 0) == n && log.count_session(kB, 0) == n; }, 10000));
    }

    CoreResult open(const CoreName &session, const char *stream, uint32_t kind)
    {
        FlowmeshStreamParams p = {};
        p.send_buffer = 0x200000;
        p.receive_buffer = 0x200000;
        p.kind.kind = kind;
        core_name_format(&p.kind.stream_name, "%s", stream);
        core_name_format(&p.owner_name, "opener");
        p.frame_rate[0] = 30;
        p.frame_rate[1] = 1;
        p.max_bitrate = 400'000'000;
        if (kind == FLOWMESH_STREAM_RELIABLE) {
            p.min_rto_ms = 20;
            p.max_rto_ms = 2000;
        }
        return flowmesh_session_open_stream(&session, &p);
    }

    bool opened_both(const char *stream, uint32_t ms = 10000)
    {
        return wait_until(
            [&] { return log.count_state(kA, stream, FLOWMESH_STREAM_OPENED) == 1 &&
                         log.count_state(kB, stream, FLOWMESH_STREAM_OPENED) == 1; },
            ms);
    }

    // The key each side encrypts the stream with.
    std::pair<std::vector<uint8_t>, std::vector<uint8_t>> stream_keys(const char *stream)
    {
        std::vector<uint8_t> keys[2];
        FlowmeshCore *core = flowmesh_core_acquire();
        const CoreName names[2] = {kA, kB};
        const CoreName stream_name = core_name_of(stream);
        for (int i = 0; i < 2; ++i) {
            FlowmeshSession *s = flowmesh_session_find(core, &names[i]);
            if (s == nullptr) continue;
            if (FlowmeshSessionStream *st = flowmesh_session_stream_find(s, &stream_name)) {
                const FlowmeshKeyBlob &k = s->key_role == 1 ? st->peer_key : st->own_key;
                keys[i].assign(k.key, k.key + k.length);
                core_store_unref(s->streams);
            }
            core_store_unref(core->sessions);
        }
        flowmesh_core_release(core);
        return {keys[0], keys[1]};
    }

    CoreResult send(const CoreName &session, const char *stream, const std::vector<uint8_t> &data, uint32_t flags = 0,
                    uint64_t *taken = nullptr)
    {
        const CoreName stream_name = core_name_of(stream);
        uint64_t length = data.size();
        const CoreResult r = flowmesh_session_send(&session, &stream_name, flags, data.data(), &length);
        if (taken != nullptr) *taken = length;
        return r;
    }

    // Sends all of `data` on a reliable stream, waiting when it is full.
    bool send_all(const CoreName &session, const char *stream, const std::vector<uint8_t> &data)
    {
        const CoreName stream_name = core_name_of(stream);
        size_t at = 0;
        const uint64_t end = core_clock_mono_ms() + 20000;
        while (at < data.size() && core_clock_mono_ms() < end) {
            uint64_t length = data.size() - at;
            if (flowmesh_session_send(&session, &stream_name, 0, data.data() + at, &length) < 0) return false;
            at += length;
            if (length == 0) core_sleep_ms(1);
        }
        return at == data.size();
    }

    bool session_exists(const CoreName &name)
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        FlowmeshSession *s = flowmesh_session_find(core, &name);
        if (s != nullptr) core_store_unref(core->sessions);
        flowmesh_core_release(core);
        return s != nullptr;
    }

    Log log;
    FlowmeshKeyBlob session_key;
};

TEST_F(Sessions, HelloBringsBothUpAndForwardedPayloadsArrive)
{
    pair_up();
    EXPECT_GE(Engine::confirmed.load(), 2);
    // One up event each, with the peer's default mode and the peer value
    // every node sends.
    EXPECT_EQ(log.count([](const Log::Event &e) { return e.table == 0 && e.word != 1; }), 0u);
    const uint32_t four = FLOWMESH_PEER_VALUE;
    EXPECT_EQ(log.count([&](const Log::Event &e) {
        return e.table == 0 && e.state == FLOWMESH_SESSION_UP && memcmp(e.data.data(), &four, 4) == 0;
    }),
              2u);

    const std::vector<uint8_t> big = pattern(100 * 1024, 1);
    ASSERT_EQ(send(kA, FLOWMESH_SERVICE_STREAM, {}), CORE_OK);
    ASSERT_EQ(send(kA, FLOWMESH_SERVICE_STREAM, big), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return log.messages(kB, FLOWMESH_SERVICE_STREAM).size() == 2; }, 10000));
    const auto got = log.messages(kB, FLOWMESH_SERVICE_STREAM);
    EXPECT_TRUE(got[0].empty());
    EXPECT_EQ(got[1], big);

    // A second report for a live session is refused and makes nothing.
    EXPECT_EQ(report_ready(kA, 0, kAddressB), -1);
}

TEST_F(Sessions, StreamsOfEveryKindOpenWithOneKeyAndCarryData)
{
    pair_up();
    ASSERT_EQ(open(kA, "t.paced", FLOWMESH_STREAM_PACED), CORE_OK);
    ASSERT_EQ(open(kA, "t.media", FLOWMESH_STREAM_MEDIA), CORE_OK);
    ASSERT_EQ(open(kA, "t.reliable", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    for (const char *stream : {"t.paced", "t.media", "t.reliable"}) {
        ASSERT_TRUE(opened_both(stream)) << stream;
        EXPECT_EQ(log.count_state(kB, stream, FLOWMESH_STREAM_ACCEPTED), 1u) << stream;
        const auto keys = stream_keys(stream);
        EXPECT_EQ(keys.first.size(), 32u);
        EXPECT_EQ(keys.first, keys.second) << stream;
    }

    const std::vector<uint8_t> message = pattern(3000, 2);
    ASSERT_EQ(send(kA, "t.paced", message), CORE_OK);
    const std::vector<uint8_t> frame = pattern(50'000, 3);
    ASSERT_EQ(send(kA, "t.media", frame, 1), CORE_OK);
    const std::vector<uint8_t> file = pattern(3 << 20, 4);
    ASSERT_TRUE(send_all(kA, "t.reliable", file));
    ASSERT_TRUE(wait_until([&] { return log.received(kB, "t.reliable").size() >= file.size(); }, 20000));
    EXPECT_EQ(log.received(kB, "t.reliable"), file);
    ASSERT_TRUE(wait_until([&] { return !log.messages(kB, "t.paced").empty(); }, 5000));
    EXPECT_EQ(log.messages(kB, "t.paced")[0], message);
    ASSERT_TRUE(wait_until([&] { return !log.messages(kB, "t.media").empty(); }, 5000));
    EXPECT_EQ(log.messages(kB, "t.media")[0], frame);

}

TEST_F(Sessions, BothSidesOpeningOneStreamAgreeOnItsKey)
{
    pair_up();
    std::thread other([&] { EXPECT_EQ(open(kB, "t.both", FLOWMESH_STREAM_RELIABLE), CORE_OK); });
    EXPECT_EQ(open(kA, "t.both", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    other.join();
    ASSERT_TRUE(opened_both("t.both"));
    const auto keys = stream_keys("t.both");
    EXPECT_EQ(keys.first, keys.second);
    const std::vector<uint8_t> data = pattern(200'000, 5);
    ASSERT_TRUE(send_all(kB, "t.both", data));
    ASSERT_TRUE(wait_until([&] { return log.received(kA, "t.both").size() >= data.size(); }, 10000));
    EXPECT_EQ(log.received(kA, "t.both"), data);
}

TEST_F(Sessions, EngineOperationsRefuseWhatTheyCannotDo)
{
    pair_up();
    const CoreName unknown = core_name_of("session.unknown");
    EXPECT_EQ(open(kA, FLOWMESH_SERVICE_STREAM, FLOWMESH_STREAM_RELIABLE), CORE_ERR);
    EXPECT_EQ(open(unknown, "t.x", FLOWMESH_STREAM_RELIABLE), CORE_ERR);
    uint64_t taken = 0;
    const std::vector<uint8_t> bytes(10, 1);
    EXPECT_EQ(send(kA, "t.never.opened", bytes, 0, &taken), CORE_DONE);
    EXPECT_EQ(taken, bytes.size());
    EXPECT_EQ(send(unknown, FLOWMESH_SERVICE_STREAM, bytes, 0, &taken), CORE_DONE);
    EXPECT_EQ(flowmesh_session_close_streams(&unknown), CORE_DONE);

    // A close request twice: the second does nothing.
    ASSERT_EQ(open(kA, "t.close", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(opened_both("t.close"));
    const CoreName stream = core_name_of("t.close");
    flowmesh_stream_close(&kA, &stream);
    flowmesh_stream_close(&kA, &stream);
    ASSERT_TRUE(wait_until([&] { return log.count_state(kA, "t.close", FLOWMESH_STREAM_CLOSED) == 1 &&
                                        log.count_state(kB, "t.close", FLOWMESH_STREAM_CLOSED) == 1; }, 15000));
    core_sleep_ms(50);
    EXPECT_EQ(log.count_state(kA, "t.close", FLOWMESH_STREAM_CLOSED), 1u);

    // Closing every stream takes the service stream too: the session ends.
    ASSERT_EQ(open(kA, "t.rest", FLOWMESH_STREAM_PACED), CORE_OK);
    ASSERT_TRUE(opened_both("t.rest"));
    EXPECT_EQ(flowmesh_session_close_streams(&kA), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return log.count_state(kA, "t.rest", FLOWMESH_STREAM_CLOSED) == 1 &&
                                        log.count_session(kA, FLOWMESH_SESSION_DOWN) == 1; }, 15000));
}

TEST_F(Sessions, UnreadableControlDataEndsTheSession)
{
    pair_up();
    FlowmeshCore *core = flowmesh_core_acquire();
    // A u16 item of length 3 is no item at all.
    const uint8_t garbage[] = {0x01, 0, 0, 0, 3, 1, 2, 3};
    CoreIoVec vec = {sizeof(garbage), garbage};
    core_queue_post(core->pipes[FLOWMESH_PIPE_SERVICE_DATA]->queue, &kB, 0, 0, &vec, 1);
    flowmesh_core_release(core);
    ASSERT_TRUE(wait_until([&] { return log.count_session(kB, FLOWMESH_SESSION_DOWN) == 1; }));
    EXPECT_FALSE(session_exists(kB));
    EXPECT_TRUE(session_exists(kA));
}

TEST_F(Sessions, CloseEndsBothSidesAndDenyEndsAndRefuses)
{
    pair_up();
    // A closes towards B's address: B receives the close message.
    EXPECT_EQ(flowmesh_disconnect_address(kAddressB, kPort), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return !session_exists(kA) && !session_exists(kB); }, 5000));
    ASSERT_TRUE(wait_until(
        [&] { return log.count_session(kA, FLOWMESH_SESSION_DOWN) == 1 && log.count_session(kB, FLOWMESH_SESSION_DOWN) == 1; }));
    EXPECT_GE(Engine::disconnected.load(), 2);  // the call and B's handling of the message
    EXPECT_GE(Engine::dropped.load(), 2);

    // The pair meets again; then the peer's node id is denied: both end at
    // once, and a new meeting never comes up.
    pair_up(2);
    FlowmeshCore *core = flowmesh_core_acquire();
    const CoreName node = core->config.node_id;
    flowmesh_core_release(core);
    ASSERT_EQ(flowmesh_block_node(&node), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return !session_exists(kA) && !session_exists(kB); }, 5000));
    ASSERT_EQ(report_ready(kA, 0, kAddressB), 0);
    ASSERT_EQ(report_ready(kB, 1, kAddressA), 0);
    ASSERT_TRUE(wait_until([&] { return !session_exists(kA) && !session_exists(kB); }, 10000));
    EXPECT_EQ(log.count_session(kA, FLOWMESH_SESSION_UP), 2u);
    EXPECT_EQ(log.count_session(kB, FLOWMESH_SESSION_UP), 2u);
}

TEST_F(Sessions, StopPostsTheStateThenEverySessionDown)
{
    pair_up();
    ASSERT_EQ(flowmesh_set_state(FLOWMESH_NETWORK_STOPPED), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return log.count_session(kA, 1) == 1 && log.count_session(kB, 1) == 1; }));
    std::lock_guard<std::mutex> guard(log.mutex);
    size_t stopped_at = 0, first_down = 0;
    for (size_t i = 0; i < log.events.size(); ++i) {
        const Log::Event &e = log.events[i];
        if (e.table == 1 && e.state == FLOWMESH_STATUS_STATE && e.word == FLOWMESH_NETWORK_STOPPED) stopped_at = i;
        if (e.table == 0 && e.state == FLOWMESH_SESSION_DOWN && first_down == 0) first_down = i;
    }
    EXPECT_GT(stopped_at, 0u);
    EXPECT_LT(stopped_at, first_down);
}

TEST_F(Sessions, LossyWireStillDeliversTheReliableStreamExactly)
{
    pair_up();
    ASSERT_EQ(open(kA, "t.lossy", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(opened_both("t.lossy"));
    g_drop_every = 20;  // 5 % both ways
    const std::vector<uint8_t> data = pattern(2 << 20, 6);
    ASSERT_TRUE(send_all(kA, "t.lossy", data));
    ASSERT_TRUE(wait_until([&] { return log.received(kB, "t.lossy").size() >= data.size(); }, 30000));
    EXPECT_EQ(log.received(kB, "t.lossy"), data);
}

}  // namespace
