// The paced message stream: messages cut into datagrams and joined again
// byte-exact, the copy schedule, the four receive slots, a sender that
// survives a failing send, and a receiver that survives what a peer sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/random.h"
#include "core/system.h"
#include "core/thread.h"
#include "flowmesh/paced.h"
#include "flowmesh/redundancy.h"
#include "flowmesh/transport.h"
#include "harness.h"

namespace {

constexpr uint16_t kSenderId = 300;
constexpr uint16_t kReceiverId = 301;

FlowmeshTransportParams paced_params(uint16_t local, uint16_t peer)
{
    return flowmesh_harness_stream_params(FLOWMESH_STREAM_PACED, local, peer);
}

std::vector<uint8_t> pattern(uint64_t length, uint32_t seed)
{
    return flowmesh_harness_pattern(length, seed);
}

// What the sender's send function saw, kept as routed records (32-byte
// head, then the sealed datagram). It can be told to fail one call.
struct Wire {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> datagrams;
    std::atomic<int> calls{0};
    std::atomic<int> fail_call{-1};  // 0-based call that fails

    static int send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
    {
        Wire *self = nullptr;
        memcpy(&self, context, sizeof(self));
        if (self->calls.fetch_add(1) == self->fail_call.load()) return -1;
        std::lock_guard<std::mutex> guard(self->lock);
        for (uint64_t i = 0; i < count; ++i) {
            std::vector<uint8_t> bytes(FLOWMESH_RECORD_HEAD + records[i].length);
            memcpy(bytes.data() + FLOWMESH_RECORD_HEAD, records[i].data, records[i].length);
            self->datagrams.push_back(std::move(bytes));
        }
        return 0;
    }
    std::vector<std::vector<uint8_t>> take()
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::move(datagrams);
    }
};

struct Inbox {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> messages;

    static int data(uint16_t, const CoreName *, const void *bytes, uint64_t length, void *context)
    {
        Inbox *self = nullptr;
        memcpy(&self, context, sizeof(self));
        std::lock_guard<std::mutex> guard(self->lock);
        const auto *p = static_cast<const uint8_t *>(bytes);
        self->messages.emplace_back(p, p + length);
        return 0;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages.size();
    }
};

// A sent datagram opened again with the receiver's rules.
struct Opened {
    FlowmeshPacketHeader header;
    uint64_t wire_length;
    uint64_t total;
    uint16_t number;
};

FlowmeshPacedStats stats_of(uint64_t handle)
{
    FlowmeshPacedStats s = {};
    EXPECT_EQ(flowmesh_paced_stats(handle, &s), CORE_OK);
    return s;
}

class FlowmeshPacedStream : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(flowmesh_paced_register(), CORE_OK);
        const FlowmeshTransportParams p = paced_params(kSenderId, kReceiverId);
        header_key = core_aes_create(p.header_key.key, p.header_key.length);
        payload_key = core_aes_create(p.payload_key.key, p.payload_key.length);
    }
    void TearDown() override
    {
        for (uint64_t handle : handles) end(handle);
        core_aes_destroy(&header_key);
        core_aes_destroy(&payload_key);
        flowmesh_transport_kind_set(FLOWMESH_STREAM_PACED, nullptr);
        core_system_stop();
    }
    static void end(uint64_t handle)
    {
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        core_handle_release(table, handle);
        core_handle_wait_freed(table, handle);
    }

    // A sender whose datagrams land on `wire`; `edit` adjusts its
    // parameters.
    uint64_t make_sender(void (*edit)(FlowmeshTransportParams *) = nullptr)
    {
        FlowmeshTransportParams p = paced_params(kSenderId, kReceiverId);
        p.send_fn = Wire::send;
        Wire *self = &wire;
        memcpy(p.send_context, &self, sizeof(self));
        if (edit != nullptr) edit(&p);
        const uint64_t handle = flowmesh_transport_create(&p);
        if (handle != 0) handles.push_back(handle);
        return handle;
    }
    uint64_t make_receiver()
    {
        FlowmeshTransportParams p = paced_params(kReceiverId, kSenderId);
        p.data_fn = Inbox::data;
        Inbox *self = &inbox;
        memcpy(p.data_context, &self, sizeof(self));
        const uint64_t handle = flowmesh_transport_create(&p);
        if (handle != 0) handles.push_back(handle);
        return handle;
    }
    static bool wait_handled(uint64_t sender, uint64_t messages)
    {
        return flowmesh_harness_wait(
            [&] {
                const FlowmeshPacedStats s = stats_of(sender);
                return s.messages_sent + s.messages_failed >= messages;
            },
            20000);
    }
    static void send(uint64_t sender, const std::vector<uint8_t> &message)
    {
        uint64_t length = message.size();
        ASSERT_EQ(flowmesh_transport_send(sender, FLOWMESH_STREAM_PACED, 0, message.data(), &length), CORE_OK);
        ASSERT_EQ(length, message.size());
    }
    // Hands `datagrams` to the receiver as routed records, 64 a batch.
    static void deliver(uint64_t receiver, std::vector<std::vector<uint8_t>> &datagrams)
    {
        std::vector<CoreQueueEntry> records;
        for (auto &d : datagrams) {
            CoreQueueEntry r = {};
            r.type = kReceiverId;
            r.flags = kSenderId;
            r.length = d.size();
            r.data = d.data();
            records.push_back(r);
        }
        for (size_t at = 0; at < records.size(); at += 64) {
            const uint64_t n = std::min<size_t>(64, records.size() - at);
            ASSERT_EQ(flowmesh_transport_receive(receiver, FLOWMESH_STREAM_PACED, records.data() + at, n), CORE_OK);
        }
    }
    std::vector<Opened> open_all(const std::vector<std::vector<uint8_t>> &datagrams)
    {
        const FlowmeshOpenRules rules = {kReceiverId, kSenderId, 0, 0};
        std::vector<Opened> out;
        std::vector<uint8_t> payload(FLOWMESH_PAYLOAD_MAX);
        for (const auto &d : datagrams) {
            Opened o = {};
            uint64_t n = 0;
            o.wire_length = d.size() - FLOWMESH_RECORD_HEAD;
            EXPECT_EQ(flowmesh_datagram_open(header_key, payload_key, &rules, d.data() + FLOWMESH_RECORD_HEAD,
                                             o.wire_length, &o.header, payload.data(), &n),
                      CORE_OK);
            o.total = flowmesh_get_be32(o.header.specific);
            o.number = flowmesh_get_be16(o.header.specific + 4);
            out.push_back(o);
        }
        return out;
    }

    Wire wire;
    Inbox inbox;
    std::vector<uint64_t> handles;
    CoreAesKey *header_key = nullptr;
    CoreAesKey *payload_key = nullptr;
};

TEST(FlowmeshPacedPause, FromRate)
{
    struct Row {
        uint64_t rate;
        uint64_t pause;
    };
    const Row rows[] = {
        {0, 0},
        {11519, 0},                         // below one datagram a second: no pacing
        {11520, 1000000000},                // one datagram a second
        {115200, 100000000},                // ten
        {10000000, 1000000000 / 868},       // integer steps: 868 datagrams a second
        {100000000, 1000000000 / 8680},
    };
    for (const Row &row : rows) EXPECT_EQ(flowmesh_paced_pause_ns(row.rate), row.pause) << row.rate;
}

// Every run of `period` datagrams, starting where the counter is a multiple
// of the period, carries exactly `copies` copies of datagrams of that run.
TEST(FlowmeshRedundancy, CopiesPerRun)
{
    struct Row {
        uint32_t copies, period;
        uint64_t start;  // first counter value (the media stream starts at 1)
    };
    const Row rows[] = {{2, 10, 0}, {1, 1, 0}, {3, 1, 0}, {20, 7, 0}, {4, 16, 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.copies << " per " << row.period);
        FlowmeshRedundancy schedule;
        ASSERT_EQ(flowmesh_redundancy_init(&schedule, row.copies, row.period), CORE_OK);
        ASSERT_TRUE(flowmesh_redundancy_enabled(&schedule));
        const uint64_t runs = 500;
        std::vector<uint32_t> per_run(runs + 1, 0);
        for (uint64_t counter = row.start; counter < runs * row.period; ++counter) {
            flowmesh_redundancy_refresh(&schedule, counter);
            const uint32_t due = flowmesh_redundancy_take(&schedule, counter);
            if (row.period == 1) {
                EXPECT_EQ(due, row.copies);
            }
            per_run[counter / row.period] += due;
        }
        // A first run entered part-way has no keys: they are drawn at a
        // run's start.
        for (uint64_t run = row.start == 0 ? 0 : 1; run < runs; ++run) ASSERT_EQ(per_run[run], row.copies) << run;
        flowmesh_redundancy_destroy(&schedule);
    }
}

TEST(FlowmeshRedundancy, OffAndRefused)
{
    const uint32_t off[][2] = {{0, 10}, {2, 0}, {0xFFFFFFFF, 10}, {2, 0xFFFFFFFF}};
    for (const auto &row : off) {
        FlowmeshRedundancy schedule;
        ASSERT_EQ(flowmesh_redundancy_init(&schedule, row[0], row[1]), CORE_OK);
        EXPECT_FALSE(flowmesh_redundancy_enabled(&schedule));
        flowmesh_redundancy_refresh(&schedule, 0);
        EXPECT_EQ(flowmesh_redundancy_take(&schedule, 0), 0u);
        flowmesh_redundancy_destroy(&schedule);
    }
    FlowmeshRedundancy schedule;
    EXPECT_EQ(flowmesh_redundancy_init(&schedule, FLOWMESH_REDUNDANCY_MAX_COPIES + 1, 10), CORE_ERR_INVALID);
}

// Datagrams that were never sent (a message cut short) must not hold back
// the copies keyed after them.
TEST(FlowmeshRedundancy, SkippedDatagramsDoNotBlockLaterCopies)
{
    for (int trial = 0; trial < 50; ++trial) {
        FlowmeshRedundancy schedule;
        ASSERT_EQ(flowmesh_redundancy_init(&schedule, 10, 10), CORE_OK);
        flowmesh_redundancy_refresh(&schedule, 100);
        uint32_t later = 0;
        for (uint32_t i = 0; i < 10; ++i) later += schedule.keys[i] >= 105 ? 1 : 0;
        uint32_t taken = 0;
        for (uint64_t sequence = 105; sequence < 110; ++sequence)
            taken += flowmesh_redundancy_take(&schedule, sequence);
        ASSERT_EQ(taken, later);
        flowmesh_redundancy_destroy(&schedule);
    }
}

TEST_F(FlowmeshPacedStream, SizesArriveByteExact)
{
    const uint64_t sender = make_sender(), receiver = make_receiver();
    ASSERT_NE(sender, 0u);
    ASSERT_NE(receiver, 0u);
    // The empty message sits between others: it sends nothing but takes a
    // message number.
    const uint64_t sizes[] = {1, 1407, 1408, 1409, 3000, 0, 65536, 1 << 20};
    std::vector<std::vector<uint8_t>> sent;
    uint64_t pieces = 0;
    for (uint64_t size : sizes) {
        sent.push_back(pattern(size, static_cast<uint32_t>(size)));
        send(sender, sent.back());
        pieces += (size + 1407) / 1408;
    }
    ASSERT_TRUE(wait_handled(sender, std::size(sizes)));
    std::vector<std::vector<uint8_t>> datagrams = wire.take();
    ASSERT_EQ(datagrams.size(), pieces);

    // Message numbers run 1, 2, ... per message, the empty one included.
    const std::vector<Opened> opened = open_all(datagrams);
    std::vector<uint16_t> numbers;
    for (const Opened &o : opened)
        if (numbers.empty() || numbers.back() != o.number) numbers.push_back(o.number);
    EXPECT_EQ(numbers, (std::vector<uint16_t>{1, 2, 3, 4, 5, 7, 8}));
    for (size_t i = 0; i < opened.size(); ++i) EXPECT_EQ(opened[i].header.sequence, i) << "one counter for all";

    deliver(receiver, datagrams);
    std::vector<std::vector<uint8_t>> expected;
    for (auto &m : sent)
        if (!m.empty()) expected.push_back(m);
    ASSERT_EQ(inbox.messages.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(inbox.messages[i] == expected[i]) << expected[i].size();
    const FlowmeshPacedStats s = stats_of(receiver);
    EXPECT_EQ(s.messages_delivered, expected.size());
    EXPECT_EQ(s.refused + s.duplicates + s.messages_dropped, 0u);
}

TEST_F(FlowmeshPacedStream, ThreeThousandBytesGoOutAsThreeDatagrams)
{
    const uint64_t sender = make_sender();
    ASSERT_NE(sender, 0u);
    send(sender, pattern(3000, 1));
    ASSERT_TRUE(wait_handled(sender, 1));
    const std::vector<Opened> opened = open_all(wire.take());
    ASSERT_EQ(opened.size(), 3u);
    const uint16_t lengths[] = {1440, 1440, 216};
    const uint64_t wire_lengths[] = {1440, 1440, 224};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opened[i].header.length, lengths[i]);
        EXPECT_EQ(opened[i].wire_length, wire_lengths[i]);
        EXPECT_EQ(opened[i].header.sequence, opened[0].header.sequence + i);
        EXPECT_EQ(opened[i].header.flags, 0u);
        EXPECT_EQ(opened[i].total, 3000u);
        EXPECT_EQ(opened[i].number, 1u);
        for (int b = 6; b < FLOWMESH_HDR_SPECIFIC_SIZE; ++b) EXPECT_EQ(opened[i].header.specific[b], 0) << b;
    }
}

// Copies follow their datagram at once, with its token, sequence number
// and fields, and the receiver delivers each message once whatever order
// copies come in.
TEST_F(FlowmeshPacedStream, CopyScheduleHoldsEndToEnd)
{
    struct Row {
        const char *what;
        uint32_t copies, period;
        uint64_t size;
        int messages;
    };
    const Row rows[] = {
        {"2 per 10 over three-piece messages", 2, 10, 3000, 20},
        {"one per datagram of one-piece messages", 1, 1, 100, 30},
        {"3 per 4", 3, 4, 1408 * 5, 8},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        static uint32_t copies, period;
        copies = row.copies;
        period = row.period;
        const uint64_t sender = make_sender([](FlowmeshTransportParams *p) {
            p->redundancy_copies = copies;
            p->redundancy_period = period;
        });
        const uint64_t receiver = make_receiver();
        ASSERT_NE(sender, 0u);
        ASSERT_NE(receiver, 0u);
        for (int i = 0; i < row.messages; ++i) send(sender, pattern(row.size, i));
        ASSERT_TRUE(wait_handled(sender, row.messages));
        std::vector<std::vector<uint8_t>> datagrams = wire.take();
        const std::vector<Opened> opened = open_all(datagrams);

        const uint64_t originals = row.messages * ((row.size + 1407) / 1408);
        ASSERT_EQ(opened.size(), originals + originals / row.period * row.copies);
        std::vector<uint32_t> per_run(originals / row.period, 0);
        const Opened *original = nullptr;
        for (const Opened &o : opened) {
            if (o.header.flags == 0) {
                original = &o;
                continue;
            }
            ASSERT_EQ(o.header.flags, FLOWMESH_PACED_REDUNDANT);
            ASSERT_NE(original, nullptr);
            EXPECT_EQ(o.header.sequence, original->header.sequence) << "a copy follows its datagram";
            EXPECT_EQ(o.header.token, original->header.token);
            EXPECT_EQ(o.total, original->total);
            EXPECT_EQ(o.number, original->number);
            per_run[o.header.sequence / row.period] += 1;
        }
        for (uint32_t n : per_run) EXPECT_EQ(n, row.copies);

        // Reordered as a network might (each run of eight reversed, so
        // copies often come before their originals): still once each.
        for (size_t at = 0; at < datagrams.size(); at += 8)
            std::reverse(datagrams.begin() + at, datagrams.begin() + std::min(at + 8, datagrams.size()));
        deliver(receiver, datagrams);
        std::vector<std::vector<uint8_t>> expected;
        for (int i = 0; i < row.messages; ++i) expected.push_back(pattern(row.size, i));
        std::sort(expected.begin(), expected.end());
        std::sort(inbox.messages.begin(), inbox.messages.end());
        EXPECT_TRUE(inbox.messages == expected) << "each message once, in whatever order it completed";
        inbox.messages.clear();
    }
}

// A failing send costs the message it hit, not the stream: later messages
// go out and arrive.
TEST_F(FlowmeshPacedStream, FailingSendLosesOneMessage)
{
    const uint64_t sender = make_sender(), receiver = make_receiver();
    ASSERT_NE(sender, 0u);
    wire.fail_call = 4;  // the second piece of the second 3000-byte message
    for (int i = 0; i < 3; ++i) send(sender, pattern(3000, i));
    ASSERT_TRUE(wait_handled(sender, 3));
    send(sender, pattern(5, 9));
    ASSERT_TRUE(wait_handled(sender, 4));

    std::vector<std::vector<uint8_t>> datagrams = wire.take();
    EXPECT_EQ(datagrams.size(), 3u + 1 + 3 + 1) << "the rest of the failed message is not sent";
    deliver(receiver, datagrams);
    ASSERT_EQ(inbox.messages.size(), 3u);
    EXPECT_TRUE(inbox.messages[0] == pattern(3000, 0));
    EXPECT_TRUE(inbox.messages[1] == pattern(3000, 2));
    EXPECT_TRUE(inbox.messages[2] == pattern(5, 9));
    const FlowmeshPacedStats s = stats_of(sender);
    EXPECT_EQ(s.messages_sent, 3u);
    EXPECT_EQ(s.messages_failed, 1u);
}

// One batch mixing datagrams that cannot be opened with good ones: the bad
// ones are counted, the good message still arrives, and the stream keeps
// receiving.
TEST_F(FlowmeshPacedStream, BadDatagramsDoNotEndTheBatch)
{
    const uint64_t sender = make_sender(), receiver = make_receiver();
    send(sender, pattern(3000, 4));
    send(sender, pattern(10, 5));
    ASSERT_TRUE(wait_handled(sender, 2));
    std::vector<std::vector<uint8_t>> good = wire.take();
    ASSERT_EQ(good.size(), 4u);

    std::vector<std::vector<uint8_t>> batch;
    batch.push_back(std::vector<uint8_t>(FLOWMESH_RECORD_HEAD + 40, 0x11));  // payload not whole blocks
    batch.push_back(good[0]);
    batch.push_back(std::vector<uint8_t>(8, 0));  // shorter than the record head
    std::vector<uint8_t> flipped = good[1];
    flipped[FLOWMESH_RECORD_HEAD + 3] ^= 0x01;  // header cipher text: ids no longer match
    batch.push_back(flipped);
    batch.push_back(good[1]);
    batch.push_back(std::vector<uint8_t>(FLOWMESH_RECORD_HEAD + 1441, 0));  // too long
    batch.push_back(good[2]);
    deliver(receiver, batch);
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_TRUE(inbox.messages[0] == pattern(3000, 4));
    EXPECT_EQ(stats_of(receiver).refused, 4u);

    std::vector<std::vector<uint8_t>> last = {good[3]};
    deliver(receiver, last);
    ASSERT_EQ(inbox.size(), 2u);
}

TEST_F(FlowmeshPacedStream, EventsAndRefusedSends)
{
    struct Recorder {
        static int event(uint16_t, uint32_t code, const CoreName *, const CoreName *, const void *data,
                         uint64_t length, void *context)
        {
            Recorder *self = nullptr;
            memcpy(&self, context, sizeof(self));
            uint32_t word = 0;
            if (length == sizeof(word)) memcpy(&word, data, sizeof(word));
            self->codes.push_back(code);
            self->words.push_back(word);
            return self->fail ? 1 : 0;
        }
        std::vector<uint32_t> codes, words;
        bool fail = false;
    };
    static Recorder recorder;
    recorder = {};
    const uint64_t handle = make_sender([](FlowmeshTransportParams *p) {
        p->options = 1;
        p->event_fn = Recorder::event;
        Recorder *self = &recorder;
        memcpy(p->event_context, &self, sizeof(self));
    });
    ASSERT_NE(handle, 0u);
    const uint8_t kind = FLOWMESH_STREAM_PACED;
    EXPECT_EQ(flowmesh_transport_connect(handle, kind), CORE_OK);
    EXPECT_EQ(flowmesh_transport_accept(handle, kind), CORE_OK);
    EXPECT_EQ(flowmesh_transport_close(handle, kind), CORE_OK);
    EXPECT_EQ(flowmesh_transport_finish(handle, kind), CORE_OK);
    EXPECT_EQ(recorder.codes, (std::vector<uint32_t>{4, 4, 6, 7, 7}));
    EXPECT_EQ(recorder.words, (std::vector<uint32_t>{1, 1, 1, 1, 1})) << "the initiator word";
    recorder.fail = true;
    EXPECT_EQ(flowmesh_transport_connect(handle, kind), CORE_ERR);
    EXPECT_EQ(flowmesh_transport_close(handle, kind), CORE_ERR);

    uint64_t length = FLOWMESH_PACED_MESSAGE_MAX + 1;
    std::vector<uint8_t> big(1);
    EXPECT_EQ(flowmesh_transport_send(handle, kind, 0, big.data(), &length), CORE_DONE)
        << "longer than a receiver takes";
    EXPECT_EQ(length, 0u);
    length = 10;
    EXPECT_EQ(flowmesh_transport_send(handle, kind, 0, nullptr, &length), CORE_DONE);
    FlowmeshPacedStats s = {};
    EXPECT_EQ(flowmesh_paced_stats(handle + 999, &s), CORE_ERR);
}

// Destroying a stream in the middle of a long message at a slow rate stops
// its pipe thread between two datagrams, well inside the join's wait.
TEST_F(FlowmeshPacedStream, DestroyStopsASlowMessage)
{
    const uint64_t sender = make_sender([](FlowmeshTransportParams *p) { p->paced_rate = 115200; });
    ASSERT_NE(sender, 0u);
    send(sender, pattern(1 << 20, 3));  // 745 datagrams, 100 ms apart
    ASSERT_TRUE(flowmesh_harness_wait([&] { return stats_of(sender).datagrams_sent >= 2; }, 5000));
    const uint64_t abandoned = core_thread_abandoned_count();
    const uint64_t start = core_clock_mono_ms();
    handles.clear();
    end(sender);
    EXPECT_LT(core_clock_mono_ms() - start, 2500u);
    EXPECT_EQ(core_thread_abandoned_count(), abandoned);
}

// ---- the receive side on its own ----

FlowmeshPacketHeader piece(uint64_t sequence, uint16_t number, uint32_t total)
{
    FlowmeshPacketHeader h = {};
    h.sequence = sequence;
    flowmesh_put_be32(h.specific, total);
    flowmesh_put_be16(h.specific + 4, number);
    return h;
}

struct Receiver {
    FlowmeshPacedReceiver rx;
    Receiver() { flowmesh_paced_receiver_init(&rx); }
    ~Receiver() { flowmesh_paced_receiver_clear(&rx); }
    // Feeds one piece of `length` bytes; returns the result and frees any
    // message, noting its number.
    CoreResult feed(uint64_t sequence, uint16_t number, uint32_t total, uint64_t length)
    {
        std::vector<uint8_t> payload = pattern(length, static_cast<uint32_t>(sequence));
        const FlowmeshPacketHeader h = piece(sequence, number, total);
        FlowmeshPacedMessage m;
        const CoreResult r = flowmesh_paced_on_datagram(&rx, &h, payload.data(), length, &m);
        if (r == CORE_DONE) {
            EXPECT_EQ(m.length, total);
            delivered.push_back(m.number);
        }
        flowmesh_paced_message_free(&m);
        return r;
    }
    std::vector<uint16_t> delivered;
};

// Five messages of two pieces each, all missing their second piece: the
// fifth takes the slot whose pieces start lowest, and that message can no
// longer complete while the others still do.
TEST(FlowmeshPacedReceiver, FifthIncompleteMessageEvictsTheLowestSlot)
{
    Receiver r;
    const uint32_t total = 2 * 1408;
    const struct {
        uint16_t number;
        uint64_t first;
    } messages[] = {{1, 50}, {2, 10}, {3, 30}, {4, 40}, {5, 60}};
    for (const auto &m : messages) ASSERT_EQ(r.feed(m.first, m.number, total, 1408), CORE_OK);
    EXPECT_EQ(r.rx.dropped, 1u);
    for (const auto &m : messages) r.feed(m.first + 1, m.number, total, 1408);
    EXPECT_EQ(r.delivered, (std::vector<uint16_t>{1, 3, 4, 5})) << "message 2, lowest, was evicted";
}

TEST(FlowmeshPacedReceiver, RefusesHeadersNoSenderMakes)
{
    struct Row {
        const char *what;
        uint16_t number;
        uint32_t total;
        uint64_t length;
    };
    const Row rows[] = {
        {"message number 0", 0, 100, 100},
        {"total 0", 1, 0, 0},
        {"total above the maximum", 1, FLOWMESH_PACED_MESSAGE_MAX + 1, 1408},
        {"empty piece", 1, 100, 0},
        {"piece longer than the message", 1, 100, 101},
        {"short piece that is not the message's tail", 1, 3000, 1000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Receiver r;
        EXPECT_EQ(r.feed(7, row.number, row.total, row.length), CORE_ERR_REFUSED);
        EXPECT_EQ(r.rx.refused, 1u);
        EXPECT_EQ(r.rx.stored, 0u);
        EXPECT_EQ(r.feed(8, 1, 100, 100), CORE_DONE) << "the next datagram is taken as usual";
    }

    Receiver r;
    EXPECT_EQ(r.feed(1, 9, FLOWMESH_PACED_MESSAGE_MAX, 1408), CORE_OK) << "the largest message is taken";
    EXPECT_EQ(r.feed(2, 9, 5000, 1408), CORE_ERR_REFUSED) << "a total other than its message's";
}

// Bytes that add up are not enough: the pieces must follow one another and
// only the last may be short.
TEST(FlowmeshPacedReceiver, DeliversOnlyWholeContiguousMessages)
{
    struct Piece {
        uint64_t sequence;
        uint64_t length;
    };
    struct Row {
        const char *what;
        uint32_t total;
        std::vector<Piece> pieces;
        bool delivered;
    };
    const Row rows[] = {
        {"in order", 3000, {{10, 1408}, {11, 1408}, {12, 184}}, true},
        {"out of order", 3000, {{12, 184}, {10, 1408}, {11, 1408}}, true},
        {"gap in the numbers", 2816, {{100, 1408}, {102, 1408}}, false},
        {"short piece first", 2000, {{7, 592}, {8, 1408}}, false},
        {"more pieces than the message has", 3000, {{1, 184}, {2, 184}, {3, 184}, {4, 184}}, false},
        {"more bytes than the message has", 3000, {{1, 1408}, {2, 1408}, {3, 1408}}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Receiver r;
        for (const Piece &p : row.pieces) r.feed(p.sequence, 4, row.total, p.length);
        EXPECT_EQ(r.delivered.size(), row.delivered ? 1u : 0u);
        EXPECT_EQ(r.rx.dropped, row.delivered ? 0u : 1u);
        // Whatever happened, the slot is free again: four new incomplete
        // messages need no eviction.
        for (uint16_t n = 10; n < 14; ++n) EXPECT_EQ(r.feed(1000 + 2 * n, n, 2816, 1408), CORE_OK);
        EXPECT_EQ(r.rx.dropped, row.delivered ? 0u : 1u);
    }
}

TEST(FlowmeshPacedReceiver, DuplicatesStoreNothing)
{
    Receiver r;
    EXPECT_EQ(r.feed(20, 3, 3000, 1408), CORE_OK);
    EXPECT_EQ(r.feed(20, 3, 3000, 1408), CORE_OK);
    EXPECT_EQ(r.rx.stored, 1u);
    EXPECT_EQ(r.rx.slots[0].datagrams, 1u);
    r.feed(21, 3, 3000, 1408);
    EXPECT_EQ(r.feed(22, 3, 3000, 184), CORE_DONE);
    // Late copies of a delivered message open no slot and deliver nothing.
    EXPECT_EQ(r.feed(22, 3, 3000, 184), CORE_OK);
    EXPECT_EQ(r.feed(20, 3, 3000, 1408), CORE_OK);
    EXPECT_EQ(r.rx.duplicates, 3u);
    for (const FlowmeshReassembly &slot : r.rx.slots) EXPECT_EQ(slot.key, 0u);
    EXPECT_EQ(r.delivered.size(), 1u);
}

// ---- over real sockets ----

// Two streams on 127.0.0.1 sockets, paced and with copies: each message
// arrives byte-exact and once, and pacing holds the sender back at least
// as long as the rate asks.
TEST(FlowmeshPacedHarness, PacedMessagesOverLoopback)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    ASSERT_EQ(flowmesh_paced_register(), CORE_OK);
    FlowmeshTransportParams ps = paced_params(kSenderId, kReceiverId);
    FlowmeshTransportParams pr = paced_params(kReceiverId, kSenderId);
    CoreAesKey *header_key = core_aes_create(ps.header_key.key, ps.header_key.length);

    struct Sink {
        std::atomic<uint64_t> handle{0};
        static void receive(const CoreQueueEntry *records, uint64_t count, void *user)
        {
            auto *self = static_cast<Sink *>(user);
            const uint64_t handle = self->handle.load();
            if (handle != 0) flowmesh_transport_receive(handle, FLOWMESH_STREAM_PACED, records, count);
        }
    } sink;
    Inbox inbox;
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(header_key, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(header_key, Sink::receive, &sink);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    const uint64_t rate = 50000000;
    ps.paced_rate = rate;
    ps.redundancy_copies = 1;
    ps.redundancy_period = 8;
    ps.send_fn = flowmesh_harness_send;
    memcpy(ps.send_context, &a, sizeof(a));
    const CoreUdpAddr to = flowmesh_harness_endpoint_address(b);
    ps.peer_address = to.address;
    ps.peer_port = to.port;
    pr.data_fn = Inbox::data;
    Inbox *inbox_address = &inbox;
    memcpy(pr.data_context, &inbox_address, sizeof(inbox_address));
    const uint64_t receiver = flowmesh_transport_create(&pr);
    ASSERT_NE(receiver, 0u);
    sink.handle = receiver;
    const uint64_t sender = flowmesh_transport_create(&ps);
    ASSERT_NE(sender, 0u);

    const uint64_t sizes[] = {1, 1409, 65536, 1 << 20, 3000};
    uint64_t datagrams = 0;
    const uint64_t start = core_clock_mono_ns();
    for (uint64_t size : sizes) {
        std::vector<uint8_t> m = pattern(size, static_cast<uint32_t>(size) + 7);
        uint64_t length = size;
        ASSERT_EQ(flowmesh_transport_send(sender, FLOWMESH_STREAM_PACED, 0, m.data(), &length), CORE_OK);
        datagrams += (size + 1407) / 1408;
    }
    ASSERT_TRUE(flowmesh_harness_wait([&] { return inbox.size() == std::size(sizes); }, 30000))
        << "delivered " << inbox.size() << ", stats refused " << stats_of(receiver).refused;
    const uint64_t elapsed = core_clock_mono_ns() - start;
    EXPECT_GE(elapsed, (datagrams - 1) * flowmesh_paced_pause_ns(rate) - 1000000) << "pacing holds the rate";
    for (size_t i = 0; i < std::size(sizes); ++i)
        EXPECT_TRUE(inbox.messages[i] == pattern(sizes[i], static_cast<uint32_t>(sizes[i]) + 7)) << sizes[i];
    core_sleep_ms(50);
    EXPECT_EQ(inbox.size(), std::size(sizes)) << "copies deliver nothing twice";

    // The streams go first: the sender's pipe thread sends through a, and
    // b's thread hands datagrams to the receiver.
    sink.handle = 0;
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    for (uint64_t handle : {sender, receiver}) {
        core_handle_release(table, handle);
        core_handle_wait_freed(table, handle);
    }
    flowmesh_harness_endpoint_destroy(&b);
    flowmesh_harness_endpoint_destroy(&a);
    core_aes_destroy(&header_key);
    flowmesh_transport_kind_set(FLOWMESH_STREAM_PACED, nullptr);
    core_system_stop();
}

}  // namespace
