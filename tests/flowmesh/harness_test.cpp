// The two-endpoint harness and the impairment relay: records are laid out
// as the adapter engine and the stream routing make them, and the relay's
// counts are exact and repeatable.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "flowmesh/datagram.h"
#include "harness.h"

namespace {

struct Captured {
    CoreQueueEntry record;
    std::vector<uint8_t> bytes;  // head and datagram
};

struct Capture {
    std::mutex lock;
    std::vector<Captured> records;
    static void sink(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        auto *self = static_cast<Capture *>(user);
        std::lock_guard<std::mutex> guard(self->lock);
        for (uint64_t i = 0; i < count; ++i) {
            const auto *p = static_cast<const uint8_t *>(records[i].data);
            self->records.push_back({records[i], std::vector<uint8_t>(p, p + records[i].length)});
        }
    }
    size_t size()
    {
        std::lock_guard<std::mutex> guard(lock);
        return records.size();
    }
};

struct Key {
    CoreAesKey *key;
    explicit Key(uint8_t fill)
    {
        uint8_t bytes[16];
        memset(bytes, fill, sizeof(bytes));
        key = core_aes_create(bytes, sizeof(bytes));
    }
    ~Key() { core_aes_destroy(&key); }
};

TEST(FlowmeshHarness, RecordsAsTheAdapterEngineMakesThem)
{
    Capture capture;
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(nullptr, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(nullptr, Capture::sink, &capture);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const CoreUdpAddr from = flowmesh_harness_endpoint_address(a);
    EXPECT_EQ(from.address, htonl(0x7F000001));

    std::vector<uint8_t> full(FLOWMESH_DATAGRAM_MAX + 1);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(flowmesh_harness_send_to(a, flowmesh_harness_endpoint_address(b), full.data(), 1440), 0);
    ASSERT_EQ(flowmesh_harness_send_to(a, flowmesh_harness_endpoint_address(b), full.data(), 1441), 0);
    ASSERT_EQ(flowmesh_harness_send_to(a, flowmesh_harness_endpoint_address(b), "end", 3), 0);
    ASSERT_TRUE(flowmesh_harness_wait([&] { return capture.size() >= 2; }, 5000));
    flowmesh_harness_endpoint_destroy(&b);

    ASSERT_EQ(capture.records.size(), 2u) << "a datagram above 1440 bytes is dropped whole";
    const Captured &whole = capture.records[0];
    EXPECT_EQ(whole.record.type, from.address);
    EXPECT_EQ(whole.record.flags, from.port);
    EXPECT_EQ(whole.record.length, 1440u + 32);
    EXPECT_TRUE(core_name_is_empty(&whole.record.name));
    EXPECT_EQ(memcmp(whole.bytes.data() + 32, full.data(), 1440), 0);
    EXPECT_EQ(capture.records[1].record.length, 3u + 32);
    flowmesh_harness_endpoint_destroy(&a);
}

TEST(FlowmeshHarness, RoutedRecordsCarryStreamIds)
{
    Key header(0x11), payload(0x22);
    Capture capture;
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(header.key, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(header.key, Capture::sink, &capture);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    // The endpoint's address as the first 8 bytes of a transport's send
    // context, the way a transport calls its send function.
    uint8_t context[16] = {};
    memcpy(context, &a, sizeof(a));
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
    FlowmeshPacketHeader h = {};
    h.destination = 700;
    uint64_t n = 0;
    ASSERT_EQ(flowmesh_datagram_seal(header.key, payload.key, &h, 256, "payload", 7, wire, &n), CORE_OK);
    const CoreUdpAddr to = flowmesh_harness_endpoint_address(b);
    CoreQueueEntry records[2] = {};
    records[0] = {{}, to.address, to.port, 16, wire};  // too short for a header
    records[1] = {{}, to.address, to.port, n, wire};
    ASSERT_EQ(flowmesh_harness_send(700, records, 2, context), 0);
    ASSERT_TRUE(flowmesh_harness_wait([&] { return capture.size() >= 1; }, 5000));
    ASSERT_TRUE(flowmesh_harness_wait(
        [&] { return flowmesh_harness_endpoint_counters(b).dropped_short == 1; }, 5000));
    flowmesh_harness_endpoint_destroy(&b);

    ASSERT_EQ(capture.records.size(), 1u);
    const Captured &c = capture.records[0];
    EXPECT_EQ(c.record.type, 700u);
    EXPECT_EQ(c.record.flags, 256u);
    EXPECT_EQ(c.record.length, n + 32);
    const FlowmeshOpenRules rules = {700, 256, 0, 0};
    CoreQueueEntry view = c.record;
    view.data = const_cast<uint8_t *>(c.bytes.data());
    uint8_t out[FLOWMESH_PAYLOAD_MAX];
    uint64_t got = 0;
    ASSERT_EQ(flowmesh_record_open(header.key, payload.key, &rules, &view, &h, out, &got), CORE_OK);
    EXPECT_EQ(memcmp(out, "payload", 7), 0);
    EXPECT_EQ(flowmesh_harness_endpoint_counters(a).sent, 2u);
    flowmesh_harness_endpoint_destroy(&a);
}

// Counts of one relay run of 10,000 sealed datagrams from a to b.
struct Carried {
    FlowmeshRelayCounters relay;
    uint64_t received;
    uint64_t opened;
    bool operator==(const Carried &o) const
    {
        return relay.received == o.relay.received && relay.forwarded == o.relay.forwarded &&
               relay.lost == o.relay.lost && relay.duplicated == o.relay.duplicated &&
               relay.reordered == o.relay.reordered && received == o.received && opened == o.opened;
    }
};

struct Opener {
    CoreAesKey *header;
    CoreAesKey *payload;
    std::atomic<uint64_t> opened{0}, refused{0};
    static void sink(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        auto *self = static_cast<Opener *>(user);
        const FlowmeshOpenRules rules = {701, 300, 0, 0};
        for (uint64_t i = 0; i < count; ++i) {
            FlowmeshPacketHeader h;
            uint8_t out[FLOWMESH_PAYLOAD_MAX];
            uint64_t n = 0;
            bool ok = records[i].type == 701 && records[i].flags == 300 &&
                      flowmesh_record_open(self->header, self->payload, &rules, &records[i], &h, out, &n) == CORE_OK &&
                      n == h.sequence % 1409;
            (ok ? self->opened : self->refused).fetch_add(1);
        }
    }
};

Carried carry(double loss, uint64_t seed)
{
    constexpr uint64_t kDatagrams = 10000;
    Key header(0x31), payload(0x42);
    Opener opener{header.key, payload.key};
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(header.key, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(header.key, Opener::sink, &opener);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    if (a == nullptr || b == nullptr) return {};

    FlowmeshRelayConfig config = {};
    config.seed = seed;
    config.loss = loss;
    config.duplicate = 0.02;
    config.reorder = 0.05;
    config.delay_us = 200;
    config.jitter_us = 300;
    config.rate_bps = 400000000;
    config.max_datagrams = 2 * kDatagrams;
    config.max_ms = 120000;
    FlowmeshRelay *relay =
        flowmesh_relay_create(&config, flowmesh_harness_endpoint_address(a), flowmesh_harness_endpoint_address(b));
    EXPECT_NE(relay, nullptr);

    // In flight at most what the receiver's socket buffer holds, counting a
    // kernel's 4 KiB of accounting per datagram: then the kernel never
    // drops, and every difference in counts is the relay's doing.
    const uint64_t rcvbuf = flowmesh_harness_endpoint_rcvbuf(b);
    const uint64_t window = std::min<uint64_t>(512, rcvbuf / 4096 / 2);
    EXPECT_GE(window, 16u) << "receive buffer of " << rcvbuf << " bytes";

    std::mt19937_64 lengths(seed);
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
    std::vector<uint8_t> bytes(FLOWMESH_PAYLOAD_MAX, 0x6B);
    uint64_t sent = 0;
    auto settled = [&] {
        const FlowmeshRelayCounters c = flowmesh_relay_counters(relay, 0);
        return c.received == sent && c.pending == 0 && flowmesh_harness_endpoint_counters(b).received == c.forwarded;
    };
    while (relay != nullptr && sent < kDatagrams && window >= 1) {
        for (uint64_t i = 0; i < window && sent < kDatagrams; ++i, ++sent) {
            FlowmeshPacketHeader h = {};
            h.sequence = lengths() % 100000;
            h.destination = 701;
            const uint64_t n = h.sequence % 1409;
            uint64_t w = 0;
            EXPECT_EQ(flowmesh_datagram_seal(header.key, payload.key, &h, 300, bytes.data(), n, wire, &w), CORE_OK);
            EXPECT_EQ(flowmesh_harness_send_to(a, flowmesh_relay_address(relay, 0), wire, w), 0);
        }
        if (!flowmesh_harness_wait(settled, 20000)) {
            ADD_FAILURE() << "relay or receiver stalled after " << sent << " datagrams";
            break;
        }
    }
    Carried out = {};
    if (relay != nullptr) out.relay = flowmesh_relay_counters(relay, -1);
    out.received = flowmesh_harness_endpoint_counters(b).received;
    flowmesh_relay_destroy(&relay);
    flowmesh_harness_endpoint_destroy(&b);
    flowmesh_harness_endpoint_destroy(&a);
    out.opened = opener.opened.load();
    EXPECT_EQ(opener.refused.load(), 0u);
    return out;
}

TEST(FlowmeshRelay, CarriesTenThousandDatagramsWithExactCounts)
{
    for (double loss : {0.0, 0.10}) {
        SCOPED_TRACE(loss);
        const Carried first = carry(loss, 77);
        EXPECT_EQ(first.relay.received, 10000u);
        EXPECT_EQ(first.received, first.relay.forwarded) << "every forwarded datagram arrives";
        EXPECT_EQ(first.opened, first.received) << "and opens";
        EXPECT_EQ(first.relay.forwarded, first.relay.received - first.relay.lost + first.relay.duplicated);
        EXPECT_EQ(first.relay.over_bound, 0u);
        EXPECT_GT(first.relay.duplicated, 0u);
        EXPECT_GT(first.relay.reordered, 0u);
        if (loss == 0.0) {
            EXPECT_EQ(first.relay.lost, 0u);
        } else {
            EXPECT_GT(first.relay.lost, 700u);
            EXPECT_LT(first.relay.lost, 1300u);
        }
        const Carried second = carry(loss, 77);
        EXPECT_TRUE(first == second) << "the same seed gives the same counts";
    }
    EXPECT_FALSE(carry(0.10, 78) == carry(0.10, 77)) << "another seed, other draws";
}

TEST(FlowmeshRelay, StopsAtItsBounds)
{
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(nullptr, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(nullptr, nullptr, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    FlowmeshRelayConfig config = {};
    EXPECT_EQ(flowmesh_relay_create(&config, flowmesh_harness_endpoint_address(a), flowmesh_harness_endpoint_address(b)),
              nullptr)
        << "a relay without a time bound is refused";
    config.max_ms = 60000;
    config.max_datagrams = 5;
    FlowmeshRelay *relay =
        flowmesh_relay_create(&config, flowmesh_harness_endpoint_address(a), flowmesh_harness_endpoint_address(b));
    ASSERT_NE(relay, nullptr);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(flowmesh_harness_send_to(a, flowmesh_relay_address(relay, 0), "x", 1), 0);
    // Every one of a's datagrams is decided before b answers through the
    // other side; the bound counts both directions.
    auto decided = [&] {
        const FlowmeshRelayCounters c = flowmesh_relay_counters(relay, -1);
        return c.forwarded + c.over_bound;
    };
    ASSERT_TRUE(flowmesh_harness_wait([&] { return decided() == 8; }, 5000));
    ASSERT_EQ(flowmesh_harness_send_to(b, flowmesh_relay_address(relay, 1), "y", 1), 0);
    ASSERT_TRUE(flowmesh_harness_wait([&] { return decided() == 9; }, 5000));
    ASSERT_TRUE(flowmesh_harness_wait([&] { return flowmesh_harness_endpoint_counters(b).received == 5; }, 5000));
    const FlowmeshRelayCounters c = flowmesh_relay_counters(relay, -1);
    EXPECT_EQ(c.forwarded, 5u);
    EXPECT_EQ(c.over_bound, 4u);
    EXPECT_EQ(flowmesh_harness_endpoint_counters(a).received, 0u);
    flowmesh_relay_destroy(&relay);
    flowmesh_harness_endpoint_destroy(&b);
    flowmesh_harness_endpoint_destroy(&a);
}

}  // namespace
