// Media-rate stream between two sockets on 127.0.0.1.
//
// Throughput: 1 MB frames without rate control (so no pacing), at most
// eight frames in flight, for two seconds; received Mbit/s of frame bytes.
// The reference beside it is iperf3 -u -l 1440 -b 0 on the same loopback
// path (received datagrams x 1440 bytes); skipped when iperf3 is missing.
//
// Latency: a 30 fps source (frames of 2 to 200 KB, a key frame every 30)
// with rate control on, through the seeded relay at 0 % and 5 % loss both
// ways; from the send call to the data function, p50 and p99 in ms over
// the frames that arrived, and the share that arrived.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/system.h"
#include "flowmesh/media.h"
#include "flowmesh/transport.h"
#include "harness.h"

namespace {

constexpr uint16_t kSenderId = 700;
constexpr uint16_t kReceiverId = 701;
double g_media_mbit = 0, g_iperf_mbit = 0;

FlowmeshTransportParams params(uint16_t local, uint16_t peer, FlowmeshHarnessEndpoint *self, CoreUdpAddr to)
{
    FlowmeshTransportParams p = {};
    p.kind = FLOWMESH_STREAM_MEDIA;
    p.send_buffer = p.receive_buffer = 65536;
    p.min_rto_ms = 1000;
    p.max_rto_ms = 10000;
    p.local_id = local;
    p.peer_id = peer;
    p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_MEDIA;
    p.header_key.kind = p.payload_key.kind = 1;
    p.header_key.length = p.payload_key.length = 16;
    for (int i = 0; i < 16; ++i) {
        p.header_key.key[i] = static_cast<uint8_t>(i * 7);
        p.payload_key.key[i] = static_cast<uint8_t>(0x80 + i);
    }
    p.frame_rate[0] = p.peak_frame_rate[0] = 30;
    p.frame_rate[1] = p.peak_frame_rate[1] = 1;
    p.min_bitrate = 1000000;
    p.max_bitrate = 400000000;
    p.send_fn = flowmesh_harness_send;
    memcpy(p.send_context, &self, sizeof(self));
    p.peer_address = to.address;
    p.peer_port = to.port;
    return p;
}

struct Sink {
    std::atomic<uint64_t> handle{0};
    static void receive(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        const uint64_t handle = static_cast<Sink *>(user)->handle.load();
        if (handle != 0) flowmesh_transport_receive(handle, FLOWMESH_STREAM_MEDIA, records, count);
    }
};

struct Arrivals {
    std::mutex lock;
    std::atomic<uint64_t> frames{0}, bytes{0};
    std::vector<std::pair<uint32_t, uint64_t>> stamps;  // frame index, arrival ns
    static int data(uint16_t, const CoreName *, const void *data, uint64_t length, void *context)
    {
        Arrivals *self = nullptr;
        memcpy(&self, context, sizeof(self));
        uint32_t index = 0;
        if (length >= 4) memcpy(&index, data, 4);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->stamps.emplace_back(index, core_clock_mono_ns());
        }
        self->bytes.fetch_add(length);
        self->frames.fetch_add(1);
        return 0;
    }
};

// Two endpoints, optionally a relay, a sender on a and a receiver on b.
struct Link {
    Sink to_a, to_b;
    Arrivals arrivals;
    CoreAesKey *key = nullptr;
    FlowmeshHarnessEndpoint *a = nullptr, *b = nullptr;
    FlowmeshRelay *relay = nullptr;
    uint64_t sender = 0, receiver = 0;

    bool start(double loss, uint32_t options)
    {
        if (core_system_start(0) != CORE_OK || flowmesh_media_register() != CORE_OK) return false;
        FlowmeshTransportParams base = params(0, 0, nullptr, {});
        key = core_aes_create(base.header_key.key, base.header_key.length);
        a = flowmesh_harness_endpoint_create(key, Sink::receive, &to_a);
        b = flowmesh_harness_endpoint_create(key, Sink::receive, &to_b);
        if (a == nullptr || b == nullptr) return false;
        CoreUdpAddr to_b_addr = flowmesh_harness_endpoint_address(b), to_a_addr = flowmesh_harness_endpoint_address(a);
        if (loss >= 0) {
            FlowmeshRelayConfig rc = {};
            rc.seed = 99;
            rc.loss = loss;
            rc.max_datagrams = 100000000;
            rc.max_ms = 600000;
            relay = flowmesh_relay_create(&rc, to_a_addr, to_b_addr);
            if (relay == nullptr) return false;
            to_b_addr = flowmesh_relay_address(relay, 0);
            to_a_addr = flowmesh_relay_address(relay, 1);
        }
        FlowmeshTransportParams ps = params(kSenderId, kReceiverId, a, to_b_addr);
        FlowmeshTransportParams pr = params(kReceiverId, kSenderId, b, to_a_addr);
        ps.options = pr.options = options;
        pr.data_fn = Arrivals::data;
        Arrivals *self = &arrivals;
        memcpy(pr.data_context, &self, sizeof(self));
        receiver = flowmesh_transport_create(&pr);
        sender = flowmesh_transport_create(&ps);
        to_b.handle = receiver;
        to_a.handle = sender;
        return sender != 0 && receiver != 0;
    }
    void stop()
    {
        to_a.handle = to_b.handle = 0;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        for (uint64_t handle : {sender, receiver}) {
            if (handle == 0) continue;
            core_handle_release(table, handle);
            core_handle_wait_freed(table, handle);
        }
        flowmesh_relay_destroy(&relay);
        flowmesh_harness_endpoint_destroy(&b);
        flowmesh_harness_endpoint_destroy(&a);
        core_aes_destroy(&key);
        flowmesh_transport_kind_set(FLOWMESH_STREAM_MEDIA, nullptr);
        core_system_stop();
    }
};

void BM_MediaThroughput(benchmark::State &state)
{
    Link link;
    if (!link.start(-1, 0)) {
        state.SkipWithError("link");
        link.stop();
        return;
    }
    std::vector<uint8_t> frame(1 << 20, 0x5A);
    double mbit = 0;
    for (auto _ : state) {
        const uint64_t base = link.arrivals.bytes.load(), frames0 = link.arrivals.frames.load();
        const uint64_t start = core_clock_mono_ns();
        uint64_t sent = 0;
        while (core_clock_mono_ns() - start < 2000000000ULL) {
            if (sent - (link.arrivals.frames.load() - frames0) >= 8) {
                usleep(100);
                continue;
            }
            uint64_t length = frame.size();
            flowmesh_transport_send(link.sender, FLOWMESH_STREAM_MEDIA, 0, frame.data(), &length);
            sent += 1;
        }
        flowmesh_harness_wait([&] { return link.arrivals.frames.load() - frames0 >= sent; }, 2000);
        const double seconds = static_cast<double>(core_clock_mono_ns() - start) / 1e9;
        mbit += static_cast<double>(link.arrivals.bytes.load() - base) * 8 / seconds / 1e6;
    }
    g_media_mbit = mbit / static_cast<double>(state.iterations());
    state.counters["mbit_per_s"] = g_media_mbit;
    link.stop();
}

bool run(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

double json_number(const std::string &json, size_t from, const char *key)
{
    const size_t at = json.find(std::string("\"") + key + "\":", from);
    return at == std::string::npos ? 0 : atof(json.c_str() + at + strlen(key) + 3);
}

void BM_Iperf3Loopback(benchmark::State &state)
{
    if (!run("iperf3 --version")) {
        state.SkipWithError("iperf3 is missing");
        return;
    }
    double mbit = 0;
    for (auto _ : state) {
        const pid_t server = fork();
        if (server == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execlp("iperf3", "iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", "5301", static_cast<char *>(nullptr));
            _exit(127);
        }
        usleep(500000);
        std::string json;
        if (FILE *pipe = popen("iperf3 -c 127.0.0.1 -p 5301 -u -l 1440 -b 0 -t 2 -J 2>/dev/null", "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) json.append(buffer, n);
            pclose(pipe);
        }
        int status = 0;
        waitpid(server, &status, 0);
        const size_t end = json.find("\"end\":");
        const size_t sum = end == std::string::npos ? end : json.find("\"sum\":", end);
        if (sum == std::string::npos) {
            state.SkipWithError("iperf3 gave no summary");
            return;
        }
        const double seconds = json_number(json, sum, "seconds");
        const double packets = json_number(json, sum, "packets");
        const double lost = json_number(json, sum, "lost_packets");
        if (seconds > 0) mbit += (packets - lost) * 1440 * 8 / seconds / 1e6;
    }
    g_iperf_mbit = mbit / static_cast<double>(state.iterations());
    state.counters["mbit_per_s"] = g_iperf_mbit;
}

void BM_ThroughputRatio(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(g_media_mbit);
    if (g_iperf_mbit > 0) state.counters["media_vs_iperf3"] = g_media_mbit / g_iperf_mbit;
}

uint64_t frame_size(uint32_t i)
{
    uint32_t x = i * 2654435761u + 17;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    return 2000 + (x ^ (x >> 15)) % 198001;
}

// state.range(0): loss in percent.
void BM_FrameLatency30fps(benchmark::State &state)
{
    Link link;
    if (!link.start(static_cast<double>(state.range(0)) / 100,
                    FLOWMESH_MEDIA_OPTION_RATE_CONTROL | FLOWMESH_MEDIA_OPTION_BITRATE_MODE)) {
        state.SkipWithError("link");
        link.stop();
        return;
    }
    const uint32_t frames = 300;
    std::vector<uint64_t> sent_at(frames + 30);
    for (auto _ : state) {
        const uint64_t start = core_clock_mono_ns();
        for (uint32_t i = 0; i < frames + 30; ++i) {
            while (core_clock_mono_ns() < start + i * 33333333ULL) usleep(500);
            std::vector<uint8_t> frame(i < frames ? frame_size(i) : 2000, 0x33);
            memcpy(frame.data(), &i, 4);
            uint64_t length = frame.size();
            sent_at[i] = core_clock_mono_ns();
            flowmesh_transport_send(link.sender, FLOWMESH_STREAM_MEDIA, i % 30 == 0, frame.data(), &length);
        }
        usleep(300000);
    }
    std::vector<double> ms;
    {
        std::lock_guard<std::mutex> guard(link.arrivals.lock);
        for (const auto &s : link.arrivals.stamps)
            if (s.first < frames) ms.push_back(static_cast<double>(s.second - sent_at[s.first]) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["p50_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
    state.counters["arrived"] = static_cast<double>(ms.size()) / frames;
    link.stop();
}

BENCHMARK(BM_MediaThroughput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iperf3Loopback)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThroughputRatio)->Iterations(1);
BENCHMARK(BM_FrameLatency30fps)->Arg(0)->Arg(5)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
