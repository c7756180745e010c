// Bulk transfers of the reliable stream over real loopback sockets, on the
// clean path and through the seeded impairment relay: every byte arrives
// once and in order (SHA-256 of both ends), and a badly lossy stream keeps
// its requests bounded and does not starve another stream of the shared
// node pool.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "reliable_support.h"

namespace {

using namespace reliable_test;

constexpr uint64_t kBuffer = 4 << 20;

// Two streams, each on its own endpoint, optionally through a relay.
struct Link {
    Side a, b;
    FlowmeshHarnessEndpoint *ep_a = nullptr, *ep_b = nullptr;
    FlowmeshRelay *relay = nullptr;
    uint64_t handle_a = 0, handle_b = 0;
    uint64_t min_rto_ms = 1000;
    uint64_t max_rto_ms = 10000;

    bool start(CoreAesKey *header_key, const FlowmeshRelayConfig *relay_config, uint16_t id_a, uint16_t id_b)
    {
        a.keep_bytes = b.keep_bytes = false;
        ep_a = flowmesh_harness_endpoint_create(header_key, Side::sink, &a);
        ep_b = flowmesh_harness_endpoint_create(header_key, Side::sink, &b);
        if (ep_a == nullptr || ep_b == nullptr) return false;
        CoreUdpAddr to_b = flowmesh_harness_endpoint_address(ep_b), to_a = flowmesh_harness_endpoint_address(ep_a);
        if (relay_config != nullptr) {
            relay = flowmesh_relay_create(relay_config, to_a, to_b);
            if (relay == nullptr) return false;
            to_b = flowmesh_relay_address(relay, 0);
            to_a = flowmesh_relay_address(relay, 1);
        }
        FlowmeshTransportParams pa = params(&a, ep_a, to_b, id_a, id_b, true);
        FlowmeshTransportParams pb = params(&b, ep_b, to_a, id_b, id_a, false);
        pa.min_rto_ms = pb.min_rto_ms = min_rto_ms;
        pa.max_rto_ms = pb.max_rto_ms = max_rto_ms;
        handle_a = flowmesh_transport_create(&pa);
        handle_b = flowmesh_transport_create(&pb);
        if (handle_a == 0 || handle_b == 0) return false;
        a.handle = handle_a;
        b.handle = handle_b;
        if (flowmesh_transport_accept(handle_b, 3) != CORE_OK || flowmesh_transport_connect(handle_a, 3) != CORE_OK)
            return false;
        return wait_for([&] { return a.has_event(FLOWMESH_TRANSPORT_OPEN) && b.has_event(FLOWMESH_TRANSPORT_OPEN); },
                        20000);
    }
    static FlowmeshTransportParams params(Side *side, FlowmeshHarnessEndpoint *self, CoreUdpAddr to, uint16_t local,
                                          uint16_t remote, bool initiator)
    {
        FlowmeshTransportParams p = stream_params(local, remote, initiator);
        side->attach(&p);
        p.send_fn = flowmesh_harness_send;
        memcpy(p.send_context, &self, sizeof(self));
        p.peer_address = to.address;
        p.peer_port = to.port;
        p.send_buffer = p.receive_buffer = kBuffer;
        return p;
    }
    void stop()
    {
        ReliableRuntime_end(&handle_a);
        ReliableRuntime_end(&handle_b);
        flowmesh_relay_destroy(&relay);
        flowmesh_harness_endpoint_destroy(&ep_a);
        flowmesh_harness_endpoint_destroy(&ep_b);
    }
    static void ReliableRuntime_end(uint64_t *handle)
    {
        if (*handle == 0) return;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        core_handle_release(table, *handle);
        core_handle_wait_freed(table, *handle);
        *handle = 0;
    }
};

std::vector<uint8_t> digest_of(const std::vector<uint8_t> &bytes)
{
    CoreSha256 h;
    core_sha256_init(&h);
    core_sha256_update(&h, bytes.data(), bytes.size());
    std::vector<uint8_t> out(CORE_SHA256_DIGEST_SIZE);
    core_sha256_final(&h, out.data());
    return out;
}

std::vector<uint8_t> digest_of(Side *side)
{
    std::lock_guard<std::mutex> guard(side->lock);
    CoreSha256 copy = side->hash;
    std::vector<uint8_t> out(CORE_SHA256_DIGEST_SIZE);
    core_sha256_final(&copy, out.data());
    return out;
}

class ReliableRelay : public ReliableRuntime {
protected:
    void TearDown() override
    {
        link_.stop();
        second_.stop();
        ReliableRuntime::TearDown();
    }
    Link link_, second_;
};

TEST_F(ReliableRelay, SixtyFourMiBBothWaysOnTheCleanPath)
{
    ASSERT_TRUE(link_.start(header_key_, nullptr, 5, 9));
    const uint64_t size = 64ull << 20;
    const std::vector<uint8_t> ab = pattern(size, 11), ba = pattern(size, 12);
    std::thread reverse([&] { EXPECT_TRUE(send_all(link_.handle_b, ba.data(), ba.size())); });
    EXPECT_TRUE(send_all(link_.handle_a, ab.data(), ab.size()));
    reverse.join();
    ASSERT_TRUE(wait_for([&] { return link_.b.bytes() == size && link_.a.bytes() == size; }, 40000))
        << link_.b.bytes() << " and " << link_.a.bytes() << " of " << size;
    EXPECT_EQ(digest_of(&link_.b), digest_of(ab));
    EXPECT_EQ(digest_of(&link_.a), digest_of(ba));
}

struct Impairment {
    const char *name;
    double loss, duplicate, reorder;
    uint32_t delay_us, jitter_us;
    uint64_t mib;  // transfer size
};

void PrintTo(const Impairment &row, std::ostream *out) { *out << row.name; }

class ReliableImpaired : public ReliableRelay, public testing::WithParamInterface<Impairment> {};

// A bulk transfer one way with the impairment on both directions, so that
// acknowledgements and requests suffer it too. Loss, and the reordering
// that jitter brings, keep the congestion window at a few datagrams per
// round trip, so those rows move 1 to 4 MiB, not 16.
TEST_P(ReliableImpaired, BulkTransferArrivesExactly)
{
    const Impairment &row = GetParam();
    FlowmeshRelayConfig config = {};
    config.seed = 0x5EED;
    config.loss = row.loss;
    config.duplicate = row.duplicate;
    config.reorder = row.reorder;
    config.delay_us = row.delay_us;
    config.jitter_us = row.jitter_us;
    config.max_ms = 120000;
    // A stream request's own time-outs: a lost tail waits for the
    // retransmission time-out, which starts from (minimum + maximum) / 4
    // until the first clean sample.
    link_.min_rto_ms = 100;
    link_.max_rto_ms = 1000;
    ASSERT_TRUE(link_.start(header_key_, &config, 5, 9));
    const uint64_t size = row.mib << 20;
    const std::vector<uint8_t> bytes = pattern(size, 21);
    ASSERT_TRUE(send_all(link_.handle_a, bytes.data(), bytes.size(), 40000));
    ASSERT_TRUE(wait_for([&] { return link_.b.bytes() == size; }, 45000)) << link_.b.bytes() << " of " << size;
    EXPECT_EQ(digest_of(&link_.b), digest_of(bytes));
    const FlowmeshRelayCounters relayed = flowmesh_relay_counters(link_.relay, -1);
    if (row.loss > 0) {
        EXPECT_GT(relayed.lost, 0u);
    }
    if (row.duplicate > 0) {
        EXPECT_GT(relayed.duplicated, 0u);
        EXPECT_GT(link_.b.counters().duplicates, 0u);
    }
    if (row.reorder > 0) {
        EXPECT_GT(relayed.reordered, 0u);
    }
    EXPECT_LE(link_.b.counters().resend_pending_max, FLOWMESH_RELIABLE_RESEND_PENDING_MAX);
}

INSTANTIATE_TEST_SUITE_P(Relay, ReliableImpaired,
                         testing::Values(Impairment{"Loss5", 0.05, 0, 0, 0, 0, 4},
                                         Impairment{"Duplicate5", 0, 0.05, 0, 0, 0, 16},
                                         Impairment{"Reorder10", 0, 0, 0.10, 0, 0, 16},
                                         Impairment{"Delay20Jitter10", 0, 0, 0, 10000, 20000, 2},
                                         Impairment{"Mix", 0.05, 0.05, 0.10, 10000, 20000, 1}),
                         [](const testing::TestParamInfo<Impairment> &info) { return info.param.name; });

// At 30% loss both ways a receiver finds many gaps on every pass; its
// resend-one requests stay at 16 outstanding or fewer, so the shared node
// pool keeps room for a second stream, which moves its bytes meanwhile.
TEST_F(ReliableRelay, LossyStreamDoesNotStarveAnother)
{
    FlowmeshRelayConfig config = {};
    config.seed = 0x30;
    config.loss = 0.30;
    config.max_ms = 120000;
    link_.min_rto_ms = 100;
    link_.max_rto_ms = 1000;
    ASSERT_TRUE(link_.start(header_key_, &config, 5, 9));
    ASSERT_TRUE(second_.start(header_key_, nullptr, 6, 10));
    const std::vector<uint8_t> lossy = pattern(4 << 20, 31), clean = pattern(16 << 20, 32);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        uint64_t offset = 0;
        while (!stop.load() && offset < lossy.size()) {
            uint64_t length = lossy.size() - offset;
            flowmesh_transport_send(link_.handle_a, 3, 0, lossy.data() + offset, &length);
            offset += length;
            if (length == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Let the lossy stream build up its gaps first.
    EXPECT_TRUE(wait_for([&] { return link_.b.counters().resend_requests > 0; }, 20000));
    EXPECT_TRUE(send_all(second_.handle_a, clean.data(), clean.size()));
    EXPECT_TRUE(wait_for([&] { return second_.b.bytes() == clean.size(); }, 30000));
    EXPECT_EQ(digest_of(&second_.b), digest_of(clean));
    stop = true;
    feeder.join();

    const FlowmeshReliableCounters c = link_.b.counters();
    EXPECT_LE(c.resend_pending_max, FLOWMESH_RELIABLE_RESEND_PENDING_MAX);
    EXPECT_GT(c.bytes_delivered, 0u) << "the lossy stream still moves";
    EXPECT_EQ(link_.a.counters().state, FLOWMESH_RELIABLE_ESTABLISHED);
}

}  // namespace
