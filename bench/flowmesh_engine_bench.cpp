// Datagrams per second into an adapter instance, beside a plain recvmmsg
// receiver and iperf3 (-u -l 1440) on the same veth pair. Two network
// namespaces of the benchmark's own (192.0.2.1 receives, 192.0.2.2 sends)
// are made at the start and removed at exit; without root every benchmark
// is skipped. The last one prints the engine's rate as ratios.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "core/store.h"
#include "core/system.h"
#include "flowmesh/engine.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"

namespace {

constexpr uint32_t kDatagram = 1440;
constexpr uint32_t kSeconds = 1;
const uint32_t kReceiver = htonl(0xC0000201u);
const uint32_t kSender = htonl(0xC0000202u);

std::string g_skip;
std::string g_a, g_b;
int g_fd_a = -1, g_fd_b = -1;
double g_engine_rate = 0, g_plain_rate = 0, g_iperf_rate = 0;

bool run(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

void remove_namespaces()
{
    if (!g_a.empty()) run("ip netns del " + g_a);
    if (!g_b.empty()) run("ip netns del " + g_b);
}

// Once, on the main thread before the runtime starts: every thread made
// afterwards is in namespace A.
void setup()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (geteuid() != 0) {
            g_skip = "needs root for network namespaces";
            return;
        }
        const std::string pid = std::to_string(getpid());
        g_a = "vtbench" + pid + "a";
        g_b = "vtbench" + pid + "b";
        atexit(remove_namespaces);
        const bool made = run("ip netns add " + g_a) && run("ip netns add " + g_b) &&
                          run("ip link add vtba" + pid + " netns " + g_a + " type veth peer name vtbb" + pid +
                              " netns " + g_b) &&
                          run("ip -n " + g_a + " addr add 192.0.2.1/24 dev vtba" + pid) &&
                          run("ip -n " + g_b + " addr add 192.0.2.2/24 dev vtbb" + pid) &&
                          run("ip -n " + g_a + " link set vtba" + pid + " up") &&
                          run("ip -n " + g_b + " link set vtbb" + pid + " up");
        g_fd_a = open(("/var/run/netns/" + g_a).c_str(), O_RDONLY | O_CLOEXEC);
        g_fd_b = open(("/var/run/netns/" + g_b).c_str(), O_RDONLY | O_CLOEXEC);
        if (!made || g_fd_a < 0 || g_fd_b < 0 || setns(g_fd_a, CLONE_NEWNET) != 0) {
            g_skip = "network namespaces cannot be made here";
            return;
        }
        core_sleep_ms(500);  // carrier
        if (core_system_start(0) != CORE_OK) g_skip = "the runtime does not start";
    });
}

int bound_socket(int ns, uint32_t address, CoreUdpAddr *bound)
{
    setns(ns, CLONE_NEWNET);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setns(g_fd_a, CLONE_NEWNET);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    socklen_t length = sizeof(sa);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length);
    bound->address = sa.sin_addr.s_addr;
    bound->port = sa.sin_port;
    return fd;
}

// Sends 1440-byte datagrams to `to` as fast as sendmmsg goes for the
// duration; returns how many left.
uint64_t blast(int fd, CoreUdpAddr to, uint32_t seconds)
{
    std::vector<uint8_t> payload(kDatagram, 0x5A);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = to.address;
    sa.sin_port = to.port;
    mmsghdr messages[64] = {};
    iovec vector = {payload.data(), payload.size()};
    for (mmsghdr &m : messages) {
        m.msg_hdr.msg_name = &sa;
        m.msg_hdr.msg_namelen = sizeof(sa);
        m.msg_hdr.msg_iov = &vector;
        m.msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    const uint64_t end = core_clock_mono_ms() + seconds * 1000;
    while (core_clock_mono_ms() < end) {
        int n = sendmmsg(fd, messages, 64, 0);
        if (n > 0) sent += static_cast<uint64_t>(n);
    }
    return sent;
}

std::atomic<uint64_t> g_delivered{0};

int count_datagrams(const CoreQueueEntry *, uint64_t count, void *, uint64_t)
{
    g_delivered.fetch_add(count);
    return 0;
}

void BM_EngineReceive(benchmark::State &state)
{
    setup();
    if (!g_skip.empty()) {
        state.SkipWithError(g_skip.c_str());
        return;
    }
    FlowmeshEngineConfig config = {};
    FlowmeshConfig &c = config.configuration;
    c.base_port = 45000;
    c.adapter_index = -1;
    c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN;
    c.key_options = FLOWMESH_KEYS_128;
    config.datagram = count_datagrams;
    const uint64_t handle = flowmesh_engine_create(&config);
    if (handle == 0) {
        state.SkipWithError("the engine does not start");
        return;
    }
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    auto *engine = static_cast<FlowmeshEngine *>(core_handle_acquire(table, handle));
    FlowmeshAdapterInstance *instance = flowmesh_engine_instance_of(core_store_first(engine->instances));
    core_store_unref(engine->instances);
    CoreUdpAddr from;
    const int fd = bound_socket(g_fd_b, kSender, &from);
    FlowmeshPeerInit peer = {};
    memset(peer.identity.key, 1, sizeof(peer.identity.key));
    core_name_make(&peer.identity);
    peer.data_address = peer.announced = from;
    flowmesh_peer_insert(instance, &peer);

    double received = 0, delivered = 0, sent = 0;
    for (auto _ : state) {
        const uint64_t before = flowmesh_instance_counters(instance).received;
        g_delivered.store(0);
        sent += static_cast<double>(blast(fd, instance->adapter.address, kSeconds));
        core_sleep_ms(200);  // let the last ones through
        received += static_cast<double>(flowmesh_instance_counters(instance).received - before);
        delivered += static_cast<double>(g_delivered.load());
    }
    const double iterations = static_cast<double>(state.iterations());
    g_engine_rate = delivered / iterations / kSeconds;
    state.counters["sent_per_s"] = sent / iterations / kSeconds;
    state.counters["received_per_s"] = received / iterations / kSeconds;
    state.counters["delivered_per_s"] = g_engine_rate;
    close(fd);
    core_handle_release(table, handle);
    flowmesh_engine_close(handle);
}

void BM_PlainRecvmmsg(benchmark::State &state)
{
    setup();
    if (!g_skip.empty()) {
        state.SkipWithError(g_skip.c_str());
        return;
    }
    CoreUdpAddr at, from;
    const int receiver = bound_socket(g_fd_a, kReceiver, &at);
    const int sender = bound_socket(g_fd_b, kSender, &from);
    double received = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> count{0};
        std::thread reader([&] {
            static uint8_t buffers[64][kDatagram];
            mmsghdr messages[64] = {};
            iovec vectors[64];
            for (int i = 0; i < 64; ++i) {
                vectors[i] = {buffers[i], kDatagram};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            while (!stop.load()) {
                pollfd p = {receiver, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0) continue;
                int n = recvmmsg(receiver, messages, 64, MSG_DONTWAIT, nullptr);
                if (n > 0) count.fetch_add(static_cast<uint64_t>(n));
            }
        });
        blast(sender, at, kSeconds);
        core_sleep_ms(200);
        stop.store(true);
        reader.join();
        received += static_cast<double>(count.load());
    }
    g_plain_rate = received / static_cast<double>(state.iterations()) / kSeconds;
    state.counters["received_per_s"] = g_plain_rate;
    close(receiver);
    close(sender);
}

double json_number(const std::string &json, size_t from, const char *key)
{
    const size_t at = json.find(std::string("\"") + key + "\":", from);
    return at == std::string::npos ? 0 : atof(json.c_str() + at + strlen(key) + 3);
}

void BM_Iperf3Udp(benchmark::State &state)
{
    setup();
    if (!g_skip.empty()) {
        state.SkipWithError(g_skip.c_str());
        return;
    }
    if (!run("iperf3 --version")) {
        state.SkipWithError("iperf3 is missing");
        return;
    }
    double rate = 0;
    for (auto _ : state) {
        const pid_t server = fork();
        if (server == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            execlp("ip", "ip", "netns", "exec", g_a.c_str(), "iperf3", "-s", "-1", "-p", "5299",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        core_sleep_ms(500);
        std::string json;
        const std::string command = "ip netns exec " + g_b + " iperf3 -c 192.0.2.1 -p 5299 -u -l 1440 -b 0 -t " +
                                    std::to_string(kSeconds) + " -J 2>/dev/null";
        if (FILE *pipe = popen(command.c_str(), "r")) {
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
        if (seconds > 0) rate += (packets - lost) / seconds;
    }
    g_iperf_rate = rate / static_cast<double>(state.iterations());
    state.counters["received_per_s"] = g_iperf_rate;
}

void BM_Ratios(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(g_engine_rate);
    if (g_plain_rate > 0) state.counters["engine_vs_recvmmsg"] = g_engine_rate / g_plain_rate;
    if (g_iperf_rate > 0) state.counters["engine_vs_iperf3"] = g_engine_rate / g_iperf_rate;
}

BENCHMARK(BM_EngineReceive)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRecvmmsg)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iperf3Udp)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ratios)->Iterations(1);

}  // namespace
