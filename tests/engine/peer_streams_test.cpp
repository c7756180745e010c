// Senders and receivers over real streams of the network library: session
// A sends, session B receives, inside one core (media_loop.h).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/tlv.h"
#include "engine/media_loop.h"
#include "engine/peer_streams.h"
#include "flowmesh/service.h"

namespace {

using namespace media_loop;

CoreHandleTable *table() { return core_handle_tables[CORE_HANDLES_STREAMS]; }

// What a receiver handed to its owner.
struct Records {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> records;
    std::atomic<int> errors{0};
    std::atomic<int> keep_first{0};  // how many first offers to keep (answer 1)

    static int on_record(const CoreName *, const CoreName *, const void *data, uint64_t length, void *user)
    {
        auto *r = static_cast<Records *>(user);
        const auto *bytes = static_cast<const uint8_t *>(data);
        std::lock_guard<std::mutex> guard(r->mutex);
        r->records.emplace_back(bytes, bytes + length);
        if (r->keep_first.load() > 0) {
            r->keep_first.fetch_sub(1);
            return 1;
        }
        return 0;
    }
    static void on_error(const CoreName *, const CoreName *, void *user) { static_cast<Records *>(user)->errors++; }
    size_t size()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return records.size();
    }
    std::vector<std::vector<uint8_t>> copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return records;
    }
};

// The values a receiver sees for a message made by send_text: the u32 in
// host order, then the text.
std::vector<uint8_t> values_of(uint32_t number, const std::string &text)
{
    std::vector<uint8_t> v(4 + text.size());
    memcpy(v.data(), &number, 4);
    memcpy(v.data() + 4, text.data(), text.size());
    return v;
}

CoreResult send_text(uint64_t sender, uint32_t number, const std::string &text)
{
    const CoreTlvItem items[] = {{CORE_TLV_U32, 4, &number},
                                 {CORE_TLV_TEXT, text.size(), text.data()},
                                 {CORE_TLV_END, 0, nullptr}};
    return engine_stream_send_tlv(sender, 0, 0, items, 3);
}

class PeerStreams : public MediaLoopTest {
protected:
    void TearDown() override
    {
        // Objects go before the core; their destroy callbacks unregister.
        for (uint64_t h : handles) {
            core_handle_release(table(), h);
            core_handle_wait_freed(table(), h);
        }
        MediaLoopTest::TearDown();
    }

    uint64_t sender(const CoreName &session, const char *stream, uint64_t queue_limit = 0, uint32_t retry = 5)
    {
        EngineSenderConfig c = {};
        c.queueLimit = queue_limit;
        c.retryPause = retry;
        c.executor = name_of(CORE_DEFAULT_EXECUTOR);
        c.session = session;
        c.stream = name_of(stream);
        const uint64_t h = engine_sender_create(&c);
        if (h != 0) handles.push_back(h);
        return h;
    }

    uint64_t receiver(const CoreName &session, const char *stream, Records *records)
    {
        EngineReceiverConfig c = {};
        c.onRecord = Records::on_record;
        c.onError = Records::on_error;
        c.user = records;
        c.executor = name_of(CORE_DEFAULT_EXECUTOR);
        c.session = session;
        c.stream = name_of(stream);
        const uint64_t h = engine_receiver_create(&c);
        if (h != 0) handles.push_back(h);
        return h;
    }

    template <typename Fn>
    static void with_sender(uint64_t handle, Fn fn)
    {
        auto *s = static_cast<EngineSender *>(core_handle_acquire(table(), handle));
        ASSERT_NE(s, nullptr);
        fn(s);
        core_handle_release(table(), handle);
    }

    static uint32_t flags_of(uint64_t handle)
    {
        uint32_t flags = 0;
        with_sender(handle, [&](EngineSender *s) { flags = s->flags.load(); });
        return flags;
    }

    std::vector<uint64_t> handles;
};

TEST_F(PeerStreams, CreationRefusesIncompleteConfigurations)
{
    struct Case {
        const char *purpose;
        uint32_t retry;
        const char *executor;
        const char *session;
        const char *stream;
    };
    const Case cases[] = {
        {"no retry pause", 0, CORE_DEFAULT_EXECUTOR, "s", "t"},
        {"no executor", 5, "", "s", "t"},
        {"no session", 5, CORE_DEFAULT_EXECUTOR, "", "t"},
        {"no stream", 5, CORE_DEFAULT_EXECUTOR, "s", ""},
    };
    for (const Case &c : cases) {
        EngineSenderConfig s = {};
        s.retryPause = c.retry;
        s.executor = name_of(c.executor);
        s.session = name_of(c.session);
        s.stream = name_of(c.stream);
        EXPECT_EQ(engine_sender_create(&s), 0u) << c.purpose;
        if (c.retry == 0) continue;
        EngineReceiverConfig r = {};
        r.onRecord = Records::on_record;
        r.executor = s.executor;
        r.session = s.session;
        r.stream = s.stream;
        EXPECT_EQ(engine_receiver_create(&r), 0u) << c.purpose;
    }
    EngineReceiverConfig r = {};
    r.executor = name_of(CORE_DEFAULT_EXECUTOR);
    r.session = kA;
    r.stream = name_of("t");
    EXPECT_EQ(engine_receiver_create(&r), 0u) << "no record callback";
    EXPECT_EQ(send_text(12345, 1, "x"), CORE_ERR) << "unknown handle";
}

TEST_F(PeerStreams, MessagesQueuedBeforeTheStreamOpensArriveInOrderOnceItOpens)
{
    pair_up();
    Records got;
    const uint64_t tx = sender(kA, "t.early");
    ASSERT_NE(tx, 0u);
    ASSERT_NE(receiver(kB, "t.early", &got), 0u);
    for (uint32_t i = 1; i <= 3; ++i) ASSERT_EQ(send_text(tx, i, "message " + std::to_string(i)), CORE_OK);
    EXPECT_EQ(flags_of(tx) & ENGINE_SENDER_OPEN, 0u);

    ASSERT_EQ(open_plain(kA, "t.early", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.size() == 3; }));
    const auto records = got.copy();
    for (uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(records[i - 1], values_of(i, "message " + std::to_string(i)));
    EXPECT_EQ(got.errors.load(), 0);
    with_sender(tx, [](EngineSender *s) {
        EXPECT_TRUE(s->flags.load() & ENGINE_SENDER_OPEN);
        EXPECT_EQ(s->headOffset, 0u);
        // Three messages of three items: heads of 15 bytes, a u32, 9 text bytes.
        EXPECT_EQ(s->bytesSent.load(), 3u * (15 + 4 + 9));
        EXPECT_EQ(s->sequence.load(), ENGINE_SENDER_SEQUENCE_FIRST);
    });
}

TEST_F(PeerStreams, AQueueOverItsLimitRefusesFurtherMessages)
{
    pair_up();
    // Never opened: everything stays queued.
    const uint64_t tx = sender(kA, "t.limit", 2);
    ASSERT_NE(tx, 0u);
    EXPECT_EQ(send_text(tx, 1, "a"), CORE_OK);
    EXPECT_EQ(send_text(tx, 2, "b"), CORE_OK);
    EXPECT_EQ(send_text(tx, 3, "c"), CORE_OK);
    EXPECT_EQ(send_text(tx, 4, "d"), CORE_DONE);
    with_sender(tx, [](EngineSender *s) { EXPECT_EQ(core_queue_count(s->channel->queue), 3u); });
    // An item its type does not allow is refused before anything is queued.
    const uint8_t bad = 7;
    const CoreTlvItem items[] = {{CORE_TLV_U32, 1, &bad}, {CORE_TLV_END, 0, nullptr}};
    const uint64_t unlimited = sender(kA, "t.unlimited");
    EXPECT_EQ(engine_stream_send_tlv(unlimited, 0, 0, items, 2), CORE_ERR_INVALID);
}

TEST_F(PeerStreams, AMessageTheStreamTakesInPiecesGoesOnWhereItStopped)
{
    pair_up();
    Records got;
    ASSERT_NE(receiver(kB, "t.pieces", &got), 0u);
    const uint64_t tx = sender(kA, "t.pieces");
    // The reliable stream's send queue holds 8 KiB: a 300000-byte blob goes
    // in many partial sends, each resumed from where the last one stopped.
    ASSERT_EQ(open_plain(kA, "t.pieces", FLOWMESH_STREAM_RELIABLE, 8192), CORE_OK);
    ASSERT_TRUE(opened_both("t.pieces"));
    std::vector<uint8_t> blob(300000);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
    const CoreTlvItem items[] = {{CORE_TLV_BLOB, blob.size(), blob.data()}, {CORE_TLV_END, 0, nullptr}};
    ASSERT_EQ(engine_stream_send_tlv(tx, 0, 0, items, 2), CORE_OK);
    ASSERT_EQ(send_text(tx, 9, "after"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.size() == 2; }, 30000));
    const auto records = got.copy();
    EXPECT_EQ(records[0], blob);
    EXPECT_EQ(records[1], values_of(9, "after"));
    with_sender(tx, [&](EngineSender *s) { EXPECT_EQ(s->bytesSent.load(), blob.size() + 10 + 24); });
}

TEST_F(PeerStreams, AClosedStreamRefusesOnlySendersThatCarriedData)
{
    pair_up();
    Records got;
    ASSERT_NE(receiver(kB, "t.used", &got), 0u);
    const uint64_t used = sender(kA, "t.used");
    const uint64_t quiet = sender(kA, "t.quiet");
    ASSERT_EQ(open_plain(kA, "t.used", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_EQ(open_plain(kA, "t.quiet", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(opened_both("t.used"));
    ASSERT_TRUE(opened_both("t.quiet"));
    ASSERT_EQ(send_text(used, 1, "x"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));

    for (const char *stream : {"t.used", "t.quiet"}) {
        const CoreName name = name_of(stream);
        flowmesh_stream_close(&kB, &name);
    }
    ASSERT_TRUE(wait_until([&] { return !(flags_of(used) & ENGINE_SENDER_OPEN) && !(flags_of(quiet) & ENGINE_SENDER_OPEN); }));
    EXPECT_EQ(send_text(used, 2, "y"), CORE_ERR_REFUSED);
    // It may still open: what it is given waits.
    EXPECT_EQ(send_text(quiet, 3, "z"), CORE_OK);
}

TEST_F(PeerStreams, ARecordTheOwnerKeepsIsOfferedAgain)
{
    pair_up();
    Records got;
    got.keep_first = 1;
    ASSERT_NE(receiver(kB, "t.keep", &got), 0u);
    const uint64_t tx = sender(kA, "t.keep");
    ASSERT_EQ(open_plain(kA, "t.keep", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_EQ(send_text(tx, 5, "again"), CORE_OK);
    ASSERT_EQ(send_text(tx, 6, "next"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.size() == 3; }));
    const auto records = got.copy();
    EXPECT_EQ(records[0], values_of(5, "again"));
    EXPECT_EQ(records[1], values_of(5, "again"));
    EXPECT_EQ(records[2], values_of(6, "next"));
}

TEST_F(PeerStreams, AReceiverKeepsToTheFirstInstanceOfItsStream)
{
    pair_up();
    Records first, late, again;
    ASSERT_NE(receiver(kB, "t.inst", &first), 0u);
    const uint64_t tx = sender(kA, "t.inst");
    ASSERT_EQ(open_plain(kA, "t.inst", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(opened_both("t.inst"));
    // Made after the open event: the stream's data tells it the instance.
    const uint64_t late_rx = receiver(kB, "t.inst", &late);
    ASSERT_NE(late_rx, 0u);
    ASSERT_EQ(send_text(tx, 1, "one"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return first.size() == 1 && late.size() == 1; }));
    EXPECT_EQ(late.copy()[0], values_of(1, "one"));
    const CoreName instance = net.instance_of(kB, "t.inst");
    EXPECT_EQ(engine_receiver_adopt_stream(late_rx, &instance), CORE_DONE);

    // The stream closes and opens again under a new instance: the old
    // receivers stay with the old one.
    const CoreName stream = name_of("t.inst");
    flowmesh_stream_close(&kA, &stream);
    ASSERT_TRUE(wait_until([&] { return net.count_state(kB, "t.inst", FLOWMESH_STREAM_CLOSED) == 1; }));
    ASSERT_EQ(open_plain(kA, "t.inst", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(wait_until([&] {
        return net.count_state(kA, "t.inst", FLOWMESH_STREAM_OPENED) == 2 &&
               net.count_state(kB, "t.inst", FLOWMESH_STREAM_OPENED) == 2;
    }));
    ASSERT_NE(receiver(kB, "t.inst", &again), 0u);
    for (uint32_t i = 2; i <= 3; ++i) {
        const std::vector<uint8_t> bytes = {0x02, 0, 0, 0, 4, 0, 0, 0, static_cast<uint8_t>(i), 0xFF, 0, 0, 0, 0};
        uint64_t length = bytes.size();
        ASSERT_EQ(flowmesh_session_send(&kA, &stream, 0, bytes.data(), &length), CORE_OK);
        ASSERT_TRUE(wait_until([&] { return again.size() == i - 1; }));
    }
    EXPECT_EQ(again.copy()[1], values_of(3, ""));
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(late.size(), 1u);
}

TEST_F(PeerStreams, BytesThatBreakTheFormatAreDroppedAndReported)
{
    pair_up();
    Records got;
    const uint64_t rx = receiver(kB, "t.bad", &got);
    ASSERT_EQ(open_plain(kA, "t.bad", FLOWMESH_STREAM_RELIABLE), CORE_OK);
    ASSERT_TRUE(opened_both("t.bad"));
    const CoreName stream = name_of("t.bad");
    // A u16 item four bytes long is no item.
    const uint8_t garbage[] = {0x01, 0, 0, 0, 4, 1, 2, 3, 4, 0xFF, 0, 0, 0, 0};
    uint64_t length = sizeof(garbage);
    ASSERT_EQ(flowmesh_session_send(&kA, &stream, 0, garbage, &length), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.errors.load() == 1; }));
    // A sound record after it is read as usual.
    const uint8_t good[] = {0x02, 0, 0, 0, 4, 0, 0, 0, 42, 0xFF, 0, 0, 0, 0};
    length = sizeof(good);
    ASSERT_EQ(flowmesh_session_send(&kA, &stream, 0, good, &length), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    EXPECT_EQ(got.copy()[0], values_of(42, ""));
    auto *r = static_cast<EngineReceiver *>(core_handle_acquire(table(), rx));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->formatErrors.load(), 1u);
    core_handle_release(table(), rx);
}

TEST_F(PeerStreams, ASessionOnThePeersKeysNumbersItsMessagesFromTheKeyedStart)
{
    // Made before the sessions: they see the sessions come up.
    const uint64_t on_a = sender(kA, "t.seq");
    const uint64_t on_b = sender(kB, "t.seq");
    pair_up();
    ASSERT_TRUE(wait_until([&] {
        uint64_t v = 0;
        with_sender(on_b, [&](EngineSender *s) { v = s->sequence.load(); });
        return v == ENGINE_SENDER_SEQUENCE_KEYED;
    }));
    with_sender(on_a, [](EngineSender *s) { EXPECT_EQ(s->sequence.load(), ENGINE_SENDER_SEQUENCE_FIRST); });
}

}  // namespace
