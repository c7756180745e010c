// Bulk transfer over the reliable stream through the impairment relay on
// loopback, at 0% and 5% loss each way, beside srt-file-transmit moving a
// file of the same size through the same relay (when srt-tools is
// installed; its rows are skipped otherwise). Figures are MB/s of payload
// delivered in order; both sides run in this process, so the stream rows
// include sealing, opening and the relay's own copying.
//
// Both stream ends use 4 MiB buffers and the time-outs a stream request
// may give (minimum 100 ms, maximum 1000 ms); SRT runs with its defaults
// in file mode.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/handle.h"
#include "core/pool.h"
#include "core/system.h"
#include "flowmesh/names.h"
#include "flowmesh/reliable.h"
#include "harness.h"

namespace {

constexpr uint64_t kBuffer = 4 << 20;

uint64_t size_for(int64_t loss_percent) { return loss_percent == 0 ? 64ull << 20 : 4ull << 20; }

FlowmeshRelayConfig relay_config(int64_t loss_percent)
{
    FlowmeshRelayConfig c = {};
    c.seed = 7;
    c.loss = static_cast<double>(loss_percent) / 100.0;
    c.max_ms = 600000;
    return c;
}

struct Receiver {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> handle{0};
    static int on_data(uint16_t, const CoreName *, const void *, uint64_t length, void *context)
    {
        Receiver *r;
        memcpy(&r, context, sizeof(r));
        r->bytes.fetch_add(length);
        return 0;
    }
    static void sink(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        const uint64_t handle = static_cast<Receiver *>(user)->handle.load();
        if (handle != 0) flowmesh_transport_receive(handle, FLOWMESH_STREAM_RELIABLE, records, count);
    }
};

FlowmeshTransportParams params(uint16_t local, uint16_t remote, bool initiator, FlowmeshHarnessEndpoint *self,
                               CoreUdpAddr to, Receiver *receiver)
{
    FlowmeshTransportParams p = {};
    p.kind = FLOWMESH_STREAM_RELIABLE;
    p.local_id = local;
    p.peer_id = remote;
    p.options = initiator ? FLOWMESH_RELIABLE_OPT_INITIATOR : 0;
    p.initial_sequence = initiator ? 1000 : 900000;
    p.sequence_limit = 0xFFFFFFFFFFFF0000ull;
    p.send_buffer = p.receive_buffer = kBuffer;
    p.handshake_ms = 250;
    p.min_rto_ms = 100;
    p.max_rto_ms = 1000;
    p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_RELIABLE;
    p.header_key.kind = p.payload_key.kind = 1;
    p.header_key.length = p.payload_key.length = 16;
    for (int i = 0; i < 16; ++i) {
        p.header_key.key[i] = static_cast<uint8_t>(i + 1);
        p.payload_key.key[i] = static_cast<uint8_t>(0x40 + i);
    }
    p.send_fn = flowmesh_harness_send;
    memcpy(p.send_context, &self, sizeof(self));
    p.data_fn = Receiver::on_data;
    memcpy(p.data_context, &receiver, sizeof(receiver));
    p.peer_address = to.address;
    p.peer_port = to.port;
    return p;
}

void release_stream(uint64_t handle)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    core_handle_release(table, handle);
    core_handle_wait_freed(table, handle);
}

void BM_ReliableBulk(benchmark::State &state)
{
    const int64_t loss = state.range(0);
    const uint64_t size = size_for(loss);
    core_system_start(0);
    CorePoolConfig config = {0x400000, 128, CORE_POOL_ARENA};
    CorePool *nodes = core_pool_create(&config);
    CoreName pool_name, executor_name;
    core_name_format(&pool_name, "%s", FLOWMESH_STREAM_POOL);
    core_name_format(&executor_name, "%s", FLOWMESH_STREAM_EXECUTOR);
    core_pool_register(&pool_name, nodes);
    core_executor_create(&executor_name);
    flowmesh_reliable_register();
    uint8_t key_bytes[16];
    for (int i = 0; i < 16; ++i) key_bytes[i] = static_cast<uint8_t>(i + 1);
    CoreAesKey *header_key = core_aes_create(key_bytes, 16);
    std::vector<uint8_t> data(size, 0x5A);

    for (auto _ : state) {
        Receiver ra, rb;
        FlowmeshHarnessEndpoint *a = flowmesh_harness_endpoint_create(header_key, Receiver::sink, &ra);
        FlowmeshHarnessEndpoint *b = flowmesh_harness_endpoint_create(header_key, Receiver::sink, &rb);
        const FlowmeshRelayConfig rc = relay_config(loss);
        FlowmeshRelay *relay =
            flowmesh_relay_create(&rc, flowmesh_harness_endpoint_address(a), flowmesh_harness_endpoint_address(b));
        FlowmeshTransportParams pa = params(5, 9, true, a, flowmesh_relay_address(relay, 0), &ra);
        FlowmeshTransportParams pb = params(9, 5, false, b, flowmesh_relay_address(relay, 1), &rb);
        const uint64_t ha = flowmesh_transport_create(&pa), hb = flowmesh_transport_create(&pb);
        ra.handle = ha;
        rb.handle = hb;
        flowmesh_transport_accept(hb, 3);
        flowmesh_transport_connect(ha, 3);
        FlowmeshReliableCounters c = {};
        flowmesh_harness_wait([&] { return flowmesh_reliable_counters(ha, &c) == CORE_OK && c.state == 4; }, 10000);

        const auto start = std::chrono::steady_clock::now();
        uint64_t offset = 0;
        while (offset < size) {
            uint64_t length = size - offset;
            flowmesh_transport_send(ha, 3, 0, data.data() + offset, &length);
            offset += length;
            if (length == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        while (rb.bytes.load() < size) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["MB/s"] = static_cast<double>(size) / 1e6 / seconds;

        release_stream(ha);
        release_stream(hb);
        flowmesh_relay_destroy(&relay);
        flowmesh_harness_endpoint_destroy(&a);
        flowmesh_harness_endpoint_destroy(&b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
    core_aes_destroy(&header_key);
    core_executor_destroy(&executor_name);
    core_system_stop();
    core_pool_unregister(&pool_name);
    core_pool_destroy(&nodes);
}
BENCHMARK(BM_ReliableBulk)->Arg(0)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A free UDP port on 127.0.0.1, network order (the socket is closed again).
uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return addr.sin_port;
}

// srt-file-transmit caller -> relay -> listener, a file of the same size.
void BM_SrtFileTransmit(benchmark::State &state)
{
    if (system("command -v srt-file-transmit >/dev/null 2>&1") != 0) {
        state.SkipWithError("srt-file-transmit not installed");
        for (auto _ : state) {
        }
        return;
    }
    const int64_t loss = state.range(0);
    const uint64_t size = size_for(loss);
    const std::string in = "/tmp/veltrana_srt_in.bin", out = "/tmp/veltrana_srt_out";
    mkdir(out.c_str(), 0700);
    {
        std::vector<uint8_t> data(size, 0x5A);
        FILE *f = fopen(in.c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    for (auto _ : state) {
        const uint16_t caller_port = free_port(), listener_port = free_port();
        const CoreUdpAddr caller = {htonl(INADDR_LOOPBACK), caller_port};
        const CoreUdpAddr listener = {htonl(INADDR_LOOPBACK), listener_port};
        const FlowmeshRelayConfig rc = relay_config(loss);
        FlowmeshRelay *relay = flowmesh_relay_create(&rc, caller, listener);
        const uint16_t relay_port = ntohs(flowmesh_relay_address(relay, 0).port);
        // The listener stores the file under its sent name in the output
        // folder, and exits once it has it all.
        const std::string listen = "timeout 120 srt-file-transmit -q 'srt://:" + std::to_string(ntohs(listener_port)) +
                                   "?mode=listener' 'file://" + out + "/' >/dev/null 2>&1";
        const std::string call = "timeout 120 srt-file-transmit -q 'file://" + in + "' 'srt://127.0.0.1:" +
                                 std::to_string(relay_port) + "?mode=caller&port=" +
                                 std::to_string(ntohs(caller_port)) + "' >/dev/null 2>&1";
        int rc_listen = -1;
        std::thread listener_thread([&] { rc_listen = system(listen.c_str()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        const int rc_call = system(call.c_str());
        listener_thread.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        flowmesh_relay_destroy(&relay);
        if (rc_call != 0 || rc_listen != 0) {
            state.SkipWithError("srt-file-transmit failed");
            break;
        }
        state.SetIterationTime(seconds);
        state.counters["MB/s"] = static_cast<double>(size) / 1e6 / seconds;
    }
    state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
    unlink(in.c_str());
    unlink((out + "/veltrana_srt_in.bin").c_str());
    rmdir(out.c_str());
}
BENCHMARK(BM_SrtFileTransmit)->Arg(0)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
