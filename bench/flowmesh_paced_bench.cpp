// Paced stream: configured against achieved rate at 10, 50 and 100 Mbit/s
// between two sockets on 127.0.0.1, with the unpaced stream as the ceiling.
// The reference beside it is the plain way to pace: sendto, then
// std::this_thread::sleep_for the same pause, on the same path; its
// shortfall is the sleep's lateness added to every datagram.
//
// Each run sends one second's worth of full datagrams (messages of 64
// pieces, so every datagram is 1440 bytes) and times the sender from the
// first post to the last datagram handed to the socket. Counters: the
// configured and achieved Mbit/s, achieved / configured, and the share of
// messages the receiving stream delivered.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/system.h"
#include "flowmesh/paced.h"
#include "flowmesh/transport.h"
#include "harness.h"

namespace {

constexpr uint64_t kMessage = 64 * FLOWMESH_PAYLOAD_MAX;
constexpr double kWireBits = FLOWMESH_DATAGRAM_MAX * 8.0;

FlowmeshTransportParams params(uint16_t local, uint16_t peer)
{
    FlowmeshTransportParams p = {};
    p.kind = FLOWMESH_STREAM_PACED;
    p.send_buffer = p.receive_buffer = 65536;
    p.min_rto_ms = 1000;
    p.max_rto_ms = 10000;
    p.local_id = local;
    p.peer_id = peer;
    p.header_key.kind = p.payload_key.kind = 1;
    p.header_key.length = p.payload_key.length = 16;
    for (int i = 0; i < 16; ++i) {
        p.header_key.key[i] = static_cast<uint8_t>(i);
        p.payload_key.key[i] = static_cast<uint8_t>(0x80 + i);
    }
    return p;
}

struct Counter {
    std::atomic<uint64_t> messages{0};
    static int data(uint16_t, const CoreName *, const void *, uint64_t, void *context)
    {
        Counter *self = nullptr;
        memcpy(&self, context, sizeof(self));
        self->messages.fetch_add(1);
        return 0;
    }
};

struct Sink {
    std::atomic<uint64_t> handle{0};
    static void receive(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        const uint64_t handle = static_cast<Sink *>(user)->handle.load();
        if (handle != 0) flowmesh_transport_receive(handle, FLOWMESH_STREAM_PACED, records, count);
    }
};

uint64_t messages_for(uint64_t rate_bps)
{
    // One second at the rate; the unpaced ceiling gets the 100 Mbit/s load.
    const uint64_t bits = rate_bps != 0 ? rate_bps : 100000000;
    return std::max<uint64_t>(1, static_cast<uint64_t>(bits / (kWireBits * (kMessage / FLOWMESH_PAYLOAD_MAX))));
}

void BM_PacedStream(benchmark::State &state)
{
    const uint64_t rate = static_cast<uint64_t>(state.range(0)) * 1000000;
    core_system_start(0);
    flowmesh_paced_register();
    FlowmeshTransportParams ps = params(1, 2), pr = params(2, 1);
    CoreAesKey *header_key = core_aes_create(ps.header_key.key, ps.header_key.length);
    Sink sink;
    Counter counter;
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(header_key, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(header_key, Sink::receive, &sink);
    ps.paced_rate = rate;
    ps.send_fn = flowmesh_harness_send;
    memcpy(ps.send_context, &a, sizeof(a));
    const CoreUdpAddr to = flowmesh_harness_endpoint_address(b);
    ps.peer_address = to.address;
    ps.peer_port = to.port;
    pr.data_fn = Counter::data;
    Counter *counter_address = &counter;
    memcpy(pr.data_context, &counter_address, sizeof(counter_address));
    const uint64_t receiver = flowmesh_transport_create(&pr);
    sink.handle = receiver;
    const uint64_t sender = flowmesh_transport_create(&ps);

    const std::vector<uint8_t> message(kMessage, 0x5A);
    const uint64_t messages = messages_for(rate);
    double achieved = 0, delivered = 0;
    for (auto _ : state) {
        const uint64_t delivered_before = counter.messages.load();
        FlowmeshPacedStats s = {};
        flowmesh_paced_stats(sender, &s);
        const uint64_t target = s.datagrams_sent + messages * (kMessage / FLOWMESH_PAYLOAD_MAX);
        const uint64_t start = core_clock_mono_ns();
        for (uint64_t i = 0; i < messages; ++i) {
            uint64_t length = kMessage;
            flowmesh_transport_send(sender, FLOWMESH_STREAM_PACED, 0, message.data(), &length);
        }
        flowmesh_harness_wait(
            [&] {
                flowmesh_paced_stats(sender, &s);
                return s.datagrams_sent >= target;
            },
            30000);
        const double seconds = static_cast<double>(core_clock_mono_ns() - start) / 1e9;
        state.SetIterationTime(seconds);
        achieved = static_cast<double>(messages * (kMessage / FLOWMESH_PAYLOAD_MAX)) * kWireBits / seconds;
        flowmesh_harness_wait([&] { return counter.messages.load() - delivered_before >= messages; }, 500);
        delivered = static_cast<double>(counter.messages.load() - delivered_before) / static_cast<double>(messages);
    }
    state.counters["configured_Mbps"] = static_cast<double>(rate) / 1e6;
    state.counters["achieved_Mbps"] = achieved / 1e6;
    state.counters["ratio"] = rate != 0 ? achieved / static_cast<double>(rate) : 0;
    state.counters["delivered"] = delivered;

    sink.handle = 0;
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    for (uint64_t handle : {sender, receiver}) {
        core_handle_release(table, handle);
        core_handle_wait_freed(table, handle);
    }
    flowmesh_harness_endpoint_destroy(&b);
    flowmesh_harness_endpoint_destroy(&a);
    core_aes_destroy(&header_key);
    core_system_stop();
}
BENCHMARK(BM_PacedStream)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The reference: the same datagrams, the same pause, std::this_thread::
// sleep_for after each sendto.
void BM_SleepForPacing(benchmark::State &state)
{
    const uint64_t rate = static_cast<uint64_t>(state.range(0)) * 1000000;
    const auto pause = std::chrono::nanoseconds(flowmesh_paced_pause_ns(rate));
    FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(nullptr, nullptr, nullptr);
    FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(nullptr, nullptr, nullptr);
    const CoreUdpAddr to = flowmesh_harness_endpoint_address(b);
    const uint64_t datagrams = messages_for(rate) * (kMessage / FLOWMESH_PAYLOAD_MAX);
    std::vector<uint8_t> datagram(FLOWMESH_DATAGRAM_MAX, 0x5A);
    double achieved = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < datagrams; ++i) {
            flowmesh_harness_send_to(a, to, datagram.data(), datagram.size());
            std::this_thread::sleep_for(pause);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        achieved = static_cast<double>(datagrams) * kWireBits / seconds;
    }
    state.counters["configured_Mbps"] = static_cast<double>(rate) / 1e6;
    state.counters["achieved_Mbps"] = achieved / 1e6;
    state.counters["ratio"] = achieved / static_cast<double>(rate);
    flowmesh_harness_endpoint_destroy(&b);
    flowmesh_harness_endpoint_destroy(&a);
}
BENCHMARK(BM_SleepForPacing)->Arg(10)->Arg(50)->Arg(100)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
