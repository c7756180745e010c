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
// the frames that arrived, and the share that arrived. Beside them in the
// same row (srt_*): the same frames through srt-live-transmit at latency
// 120, its caller and listener talking through a relay of the same seed
// and loss; the row is labelled instead when srt-live-transmit is missing.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
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

// The relay of both latency runs, ours and srt's: one seed and one loss
// rate, so that both meet the same kind of loss on the same path.
constexpr uint64_t kRelaySeed = 99;

FlowmeshRelay *seeded_relay(double loss, CoreUdpAddr a, CoreUdpAddr b)
{
    FlowmeshRelayConfig rc = {};
    rc.seed = kRelaySeed;
    rc.loss = loss;
    rc.max_datagrams = 100000000;
    rc.max_ms = 600000;
    return flowmesh_relay_create(&rc, a, b);
}

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
            relay = seeded_relay(loss, to_a_addr, to_b_addr);
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

constexpr uint32_t kFrames = 300;
constexpr uint32_t kTailFrames = 30;  // small frames after the measured ones push the last of them through
constexpr uint64_t kFrameNs = 33333333;

struct LatencyFigures {
    bool measured = false;
    double p50_ms = 0, p99_ms = 0, arrived = 0;
};

LatencyFigures figures_of(std::vector<double> ms)
{
    LatencyFigures f;
    f.measured = true;
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        f.p50_ms = ms[ms.size() / 2];
        f.p99_ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
    f.arrived = static_cast<double>(ms.size()) / kFrames;
    return f;
}

LatencyFigures media_latency(double loss)
{
    Link link;
    if (!link.start(loss, FLOWMESH_MEDIA_OPTION_RATE_CONTROL | FLOWMESH_MEDIA_OPTION_BITRATE_MODE)) {
        link.stop();
        return {};
    }
    std::vector<uint64_t> sent_at(kFrames + kTailFrames);
    const uint64_t start = core_clock_mono_ns();
    for (uint32_t i = 0; i < kFrames + kTailFrames; ++i) {
        while (core_clock_mono_ns() < start + i * kFrameNs) usleep(500);
        std::vector<uint8_t> frame(i < kFrames ? frame_size(i) : 2000, 0x33);
        memcpy(frame.data(), &i, 4);
        uint64_t length = frame.size();
        sent_at[i] = core_clock_mono_ns();
        flowmesh_transport_send(link.sender, FLOWMESH_STREAM_MEDIA, i % 30 == 0, frame.data(), &length);
    }
    usleep(300000);
    std::vector<double> ms;
    {
        std::lock_guard<std::mutex> guard(link.arrivals.lock);
        for (const auto &s : link.arrivals.stamps)
            if (s.first < kFrames) ms.push_back(static_cast<double>(s.second - sent_at[s.first]) / 1e6);
    }
    link.stop();
    return figures_of(ms);
}

// ---- the reference: srt-live-transmit at latency 120 ----
//
// Frames go to the caller's UDP input in pieces of 1408 bytes, the payload
// of one of our full chunks (with SRT's 16-byte header a piece still fits
// the relay's 1440-byte datagrams), spread over half the frame interval as
// our sender spreads its chunks; the caller's input socket gets the 4 MB
// buffer our endpoints have. The listener's UDP output comes back here; a
// frame counts once all its pieces are in.

constexpr uint32_t kPiece = 1408;
constexpr uint32_t kProbe = UINT32_MAX;  // frame number of the pieces that wait for the connection

struct PieceHead {
    uint32_t frame;
    uint16_t index, count;
};

int udp_socket(uint16_t port, CoreUdpAddr *bound)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    socklen_t length = sizeof(sa);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *bound = {sa.sin_addr.s_addr, sa.sin_port};
    return fd;
}

// A port nobody holds right now, for a child process to bind.
uint16_t free_port()
{
    CoreUdpAddr bound = {};
    const int fd = udp_socket(0, &bound);
    if (fd < 0) return 0;
    close(fd);
    return ntohs(bound.port);
}

pid_t spawn(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void finish(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGINT);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

// Arrival time of each frame whose pieces all came out of the listener.
struct PieceCollector {
    int fd;
    std::atomic<bool> running{true}, probed{false};
    std::vector<std::vector<bool>> pieces;
    std::vector<uint32_t> missing;
    std::vector<uint64_t> complete_at;

    explicit PieceCollector(int socket, uint32_t frames)
        : fd(socket), pieces(frames), missing(frames, 0), complete_at(frames, 0)
    {
    }
    void run()
    {
        uint8_t buffer[2048];
        while (running.load()) {
            pollfd watch = {fd, POLLIN, 0};
            if (poll(&watch, 1, 10) <= 0) continue;
            const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            PieceHead head;
            if (n < static_cast<ssize_t>(sizeof(head))) continue;
            memcpy(&head, buffer, sizeof(head));
            if (head.frame == kProbe) {
                probed.store(true);
                continue;
            }
            if (head.frame >= pieces.size() || head.count == 0 || head.index >= head.count) continue;
            std::vector<bool> &got = pieces[head.frame];
            if (got.empty()) {
                got.assign(head.count, false);
                missing[head.frame] = head.count;
            }
            if (head.count != got.size() || got[head.index]) continue;
            got[head.index] = true;
            if (--missing[head.frame] == 0) complete_at[head.frame] = core_clock_mono_ns();
        }
    }
};

void wait_until(uint64_t due_ns)
{
    for (uint64_t now = core_clock_mono_ns(); now < due_ns; now = core_clock_mono_ns())
        if (due_ns - now > 300000) usleep(100);
}

// Empty `why` with the figures, else why there are none.
LatencyFigures srt_latency(double loss, std::string *why)
{
    if (!run("srt-live-transmit -version")) {
        *why = "srt-live-transmit is missing";
        return {};
    }
    CoreUdpAddr output = {}, source = {};
    const int out_fd = udp_socket(0, &output), source_fd = udp_socket(0, &source);
    const uint16_t input_port = free_port(), listen_port = free_port(), caller_port = free_port();
    FlowmeshRelay *relay = nullptr;
    if (core_system_start(0) == CORE_OK && out_fd >= 0 && source_fd >= 0 && input_port && listen_port && caller_port)
        relay = seeded_relay(loss, {htonl(INADDR_LOOPBACK), htons(caller_port)},
                             {htonl(INADDR_LOOPBACK), htons(listen_port)});
    if (relay == nullptr) {
        *why = "no relay for srt";
        if (out_fd >= 0) close(out_fd);
        if (source_fd >= 0) close(source_fd);
        core_system_stop();
        return {};
    }
    const std::string latency = "latency=120";
    const pid_t listener =
        spawn({"srt-live-transmit", "-q", "-a", "no", "-t", "120",
               "srt://127.0.0.1:" + std::to_string(listen_port) + "?mode=listener&" + latency,
               "udp://127.0.0.1:" + std::to_string(ntohs(output.port))});
    usleep(200000);
    const CoreUdpAddr entry = flowmesh_relay_address(relay, 0);
    const pid_t caller = spawn({"srt-live-transmit", "-q", "-a", "no", "-t", "120",
                                "udp://127.0.0.1:" + std::to_string(input_port) + "?rcvbuf=4194304",
                                "srt://127.0.0.1:" + std::to_string(ntohs(entry.port)) + "?mode=caller&" + latency +
                                    "&port=" + std::to_string(caller_port)});
    PieceCollector collector(out_fd, kFrames + kTailFrames);
    std::thread reader([&] { collector.run(); });

    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(input_port);
    auto send_piece = [&](const uint8_t *bytes, size_t length) {
        sendto(source_fd, bytes, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    };
    std::vector<uint8_t> piece(kPiece, 0x33);
    const PieceHead probe = {kProbe, 0, 1};
    memcpy(piece.data(), &probe, sizeof(probe));
    for (int i = 0; i < 100 && !collector.probed.load(); ++i) {
        send_piece(piece.data(), sizeof(probe));
        usleep(100000);
    }
    std::vector<uint64_t> sent_at(kFrames + kTailFrames);
    if (collector.probed.load()) {
        usleep(300000);  // the probes still in srt's buffer leave first
        const uint64_t start = core_clock_mono_ns();
        for (uint32_t i = 0; i < kFrames + kTailFrames; ++i) {
            const uint64_t frame_start = start + i * kFrameNs;
            wait_until(frame_start);
            const uint64_t size = i < kFrames ? frame_size(i) : 2000;
            const uint16_t count = static_cast<uint16_t>((size + kPiece - 1) / kPiece);
            sent_at[i] = core_clock_mono_ns();
            for (uint16_t k = 0; k < count; ++k) {
                wait_until(frame_start + kFrameNs / 2 * k / count);
                const PieceHead head = {i, k, count};
                memcpy(piece.data(), &head, sizeof(head));
                send_piece(piece.data(), std::min<uint64_t>(kPiece, size - uint64_t{k} * kPiece));
            }
        }
        usleep(500000);
    } else {
        *why = "srt did not connect";
    }
    collector.running.store(false);
    reader.join();
    finish(caller);
    finish(listener);
    flowmesh_relay_destroy(&relay);
    core_system_stop();
    close(out_fd);
    close(source_fd);
    std::vector<double> ms;
    for (uint32_t i = 0; i < kFrames; ++i)
        if (collector.complete_at[i] != 0) ms.push_back(static_cast<double>(collector.complete_at[i] - sent_at[i]) / 1e6);
    return why->empty() ? figures_of(ms) : LatencyFigures{};
}

// state.range(0): loss in percent.
void BM_FrameLatency30fps(benchmark::State &state)
{
    const double loss = static_cast<double>(state.range(0)) / 100;
    LatencyFigures ours, srt;
    std::string why;
    for (auto _ : state) {
        ours = media_latency(loss);
        srt = srt_latency(loss, &why);
    }
    if (!ours.measured) {
        state.SkipWithError("link");
        return;
    }
    state.counters["p50_ms"] = ours.p50_ms;
    state.counters["p99_ms"] = ours.p99_ms;
    state.counters["arrived"] = ours.arrived;
    if (why.empty()) {
        state.counters["srt_p50_ms"] = srt.p50_ms;
        state.counters["srt_p99_ms"] = srt.p99_ms;
        state.counters["srt_arrived"] = srt.arrived;
    } else {
        state.SetLabel(why);
    }
}

BENCHMARK(BM_MediaThroughput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iperf3Loopback)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThroughputRatio)->Iterations(1);
BENCHMARK(BM_FrameLatency30fps)->Arg(0)->Arg(5)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
