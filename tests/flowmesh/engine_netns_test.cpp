// The engine on a real link: two network namespaces of this test's own,
// joined by a veth pair (192.0.2.1 in A, 192.0.2.2 in B). The engine runs
// in A (the test's main thread moves there before the runtime starts, so
// every thread the runtime and the engine make is in A too); datagrams come
// from sockets made in B. Needs root; skips with a message otherwise. The
// namespaces are removed at the end, and stale ones of dead runs at the
// start.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/system.h"
#include "flowmesh/engine_support.h"

namespace {

const char kPrefix[] = "vtengine";
const uint32_t kAddressA = htonl(0xC0000201u);  // 192.0.2.1
const uint32_t kAddressB = htonl(0xC0000202u);  // 192.0.2.2

std::string g_skip;  // why the suite cannot run; empty when it can
std::string g_ns_a, g_ns_b, g_veth_a, g_veth_b;
int g_home = -1, g_fd_a = -1, g_fd_b = -1;

bool run(const std::string &command)
{
    const int status = system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string output_of(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

void remove_namespaces()
{
    if (g_home >= 0) setns(g_home, CLONE_NEWNET);
    for (int *fd : {&g_fd_a, &g_fd_b})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    if (!g_ns_a.empty()) run("ip netns del " + g_ns_a);
    if (!g_ns_b.empty()) run("ip netns del " + g_ns_b);
}

// Namespaces named after a process that no longer runs are leftovers of a
// run that crashed.
void remove_stale_namespaces()
{
    DIR *dir = opendir("/var/run/netns");
    if (dir == nullptr) return;
    while (dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(kPrefix, 0) != 0) continue;
        const int pid = atoi(name.c_str() + strlen(kPrefix));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) run("ip netns del " + name);
    }
    closedir(dir);
}

class Namespaces : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (geteuid() != 0) {
            g_skip = "needs root to make network namespaces and a veth pair";
            return;
        }
        if (!run("ip -V")) {
            g_skip = "the ip tool is missing";
            return;
        }
        remove_stale_namespaces();
        const std::string pid = std::to_string(getpid());
        g_ns_a = kPrefix + pid + "a";
        g_ns_b = kPrefix + pid + "b";
        g_veth_a = "vtea" + pid;
        g_veth_b = "vteb" + pid;
        atexit(remove_namespaces);
        const bool made = run("ip netns add " + g_ns_a) && run("ip netns add " + g_ns_b) &&
                          run("ip link add " + g_veth_a + " netns " + g_ns_a + " type veth peer name " + g_veth_b +
                              " netns " + g_ns_b) &&
                          run("ip -n " + g_ns_a + " addr add 192.0.2.1/24 dev " + g_veth_a) &&
                          run("ip -n " + g_ns_b + " addr add 192.0.2.2/24 dev " + g_veth_b) &&
                          run("ip -n " + g_ns_a + " link set " + g_veth_a + " up") &&
                          run("ip -n " + g_ns_b + " link set " + g_veth_b + " up");
        g_home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        g_fd_a = open(("/var/run/netns/" + g_ns_a).c_str(), O_RDONLY | O_CLOEXEC);
        g_fd_b = open(("/var/run/netns/" + g_ns_b).c_str(), O_RDONLY | O_CLOEXEC);
        if (!made || g_home < 0 || g_fd_a < 0 || g_fd_b < 0 || setns(g_fd_a, CLONE_NEWNET) != 0) {
            g_skip = "network namespaces with a veth pair cannot be made here";
            remove_namespaces();
            return;
        }
        // The link comes up when both ends are up; wait for the carrier.
        engine_wait([] { return output_of("ip -n " + g_ns_a + " link show " + g_veth_a).find("LOWER_UP") !=
                                std::string::npos; },
                    5000);
    }

    void TearDown() override { remove_namespaces(); }
};

const auto *const g_environment = ::testing::AddGlobalTestEnvironment(new Namespaces);

// A socket of namespace B bound to 192.0.2.2 on an ephemeral port.
int socket_in_b(CoreUdpAddr *bound)
{
    if (setns(g_fd_b, CLONE_NEWNET) != 0) return -1;
    const int fd = udp_socket(kAddressB, bound);
    setns(g_fd_a, CLONE_NEWNET);
    return fd;
}

class EngineNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
        ASSERT_EQ(core_system_start(0), CORE_OK);
        abandoned_before_ = core_thread_abandoned_count();
    }

    void TearDown() override
    {
        if (!g_skip.empty()) return;
        ref_.reset();
        if (handle_ != 0) flowmesh_engine_close(handle_);
        for (int fd : sockets_) close(fd);
        flowmesh_engine_test_set_timing(nullptr);
        // Every thread of the engine ended within its join.
        EXPECT_EQ(core_thread_abandoned_count(), abandoned_before_);
        core_system_stop();
    }

    // An engine in LAN discovery mode on whatever adapters A has.
    void start()
    {
        FlowmeshEngineConfig config = {};
        FlowmeshConfig &c = config.configuration;
        c.base_port = 45000;
        c.adapter_index = -1;
        c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN;
        c.key_options = FLOWMESH_KEYS_128;
        core_name_format(&c.system_name, "netns.test");
        core_name_format(&c.user_id, "netns.user");
        recorder_.fill(&config);
        handle_ = flowmesh_engine_create(&config);
        ASSERT_NE(handle_, 0u);
        ref_ = std::make_unique<EngineRef>(handle_);
        auto instances = ref_->instances();
        ASSERT_EQ(instances.size(), 1u) << "one adapter in the namespace: the veth end";
        instance_ = instances[0];
        data_ = instance_->adapter.address;
        ASSERT_EQ(data_.address, kAddressA);
    }

    int peer_in_b(CoreUdpAddr *bound, uint8_t tag)
    {
        const int fd = socket_in_b(bound);
        EXPECT_GE(fd, 0);
        sockets_.push_back(fd);
        EXPECT_EQ(seed_peer(instance_, *bound, tag), CORE_OK);
        return fd;
    }

    FlowmeshInstanceCounters counters() { return flowmesh_instance_counters(instance_); }

    void stop()
    {
        ref_.reset();
        flowmesh_engine_close(handle_);
        handle_ = 0;
    }

    EngineRecorder recorder_;
    uint64_t handle_ = 0;
    std::unique_ptr<EngineRef> ref_;
    FlowmeshAdapterInstance *instance_ = nullptr;
    CoreUdpAddr data_ = {};
    std::vector<int> sockets_;
    uint64_t abandoned_before_ = 0;
};

std::string endpoint_text(CoreUdpAddr a)
{
    char text[32];
    const uint32_t h = ntohl(a.address);
    snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", h >> 24, (h >> 16) & 255, (h >> 8) & 255, h & 255, ntohs(a.port));
    return text;
}

TEST_F(EngineNetns, FourDataSocketsOnOnePortAndDatagramsMarkedWithTos0xbc)
{
    start();
    const std::string local = endpoint_text(data_) + " ";
    const std::string sockets = output_of("ip netns exec " + g_ns_a + " ss -uanm");
    size_t found = 0;
    for (size_t at = sockets.find(local); at != std::string::npos; at = sockets.find(local, at + 1)) ++found;
    EXPECT_EQ(found, 4u) << sockets;

    // Capture in B what leaves A's data sockets; send until the capture has
    // its datagram (tcpdump needs a moment before it listens).
    CoreUdpAddr peer;
    peer_in_b(&peer, 0x10);
    const std::string capture = "/tmp/" + g_ns_a + ".pcap";
    unlink(capture.c_str());
    // Everything the child needs is made before the fork: it may not
    // allocate while other threads might hold the allocator's lock.
    const std::string filter = "udp and src port " + std::to_string(ntohs(data_.port));
    const pid_t tcpdump = fork();
    if (tcpdump == 0) {
        execlp("ip", "ip", "netns", "exec", g_ns_b.c_str(), "tcpdump", "-i", g_veth_b.c_str(), "-n", "-U", "-c", "1",
               "-w", capture.c_str(), filter.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(tcpdump, 0);
    FlowmeshEngineContext context = {core_handle_tables[CORE_HANDLES_NETWORK], handle_};
    uint8_t payload[64] = {0x42};
    CoreQueueEntry record = {{}, peer.address, peer.port, sizeof(payload), payload};
    int status = 0;
    bool captured = engine_wait(
        [&] {
            flowmesh_engine_send(0, &record, 1, &context);
            core_sleep_ms(20);
            return waitpid(tcpdump, &status, WNOHANG) == tcpdump;
        },
        10000);
    if (!captured) {
        kill(tcpdump, SIGTERM);
        waitpid(tcpdump, &status, 0);
    }
    ASSERT_TRUE(captured) << "tcpdump saw no datagram from the data port";
    const std::string decoded = output_of("tcpdump -r " + capture + " -n -v 2>/dev/null");
    unlink(capture.c_str());
    EXPECT_NE(decoded.find("tos 0xbc"), std::string::npos) << decoded;
}

TEST_F(EngineNetns, TenThousandDatagramsFromTheOtherNamespaceArriveInPerSenderOrder)
{
    start();
    constexpr int kSenders = 4;
    constexpr uint32_t kEach = 2500;
    constexpr uint64_t kWindow = 128;  // in flight: well below the 256-slot ring
    CoreUdpAddr from[kSenders];
    int fds[kSenders];
    for (int s = 0; s < kSenders; ++s) fds[s] = peer_in_b(&from[s], static_cast<uint8_t>(0x20 + s));
    uint64_t sent = 0;
    for (uint32_t i = 0; i < kEach; ++i) {
        for (int s = 0; s < kSenders; ++s) {
            ASSERT_TRUE(engine_wait([&] { return sent - recorder_.delivered.load() < kWindow; }));
            ASSERT_TRUE(send_numbered(fds[s], data_, i, 200 + (i % 1000)));
            ++sent;
        }
    }
    ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == sent; }, 30000))
        << recorder_.delivered.load() << " of " << sent;
    std::vector<uint32_t> expected(kEach);
    for (uint32_t i = 0; i < kEach; ++i) expected[i] = i;
    for (int s = 0; s < kSenders; ++s)
        EXPECT_TRUE(recorder_.sequence_of(from[s].address, from[s].port) == expected) << "sender " << s;
    const FlowmeshInstanceCounters c = counters();
    EXPECT_EQ(c.received, sent);
    EXPECT_EQ(c.dropped_ring_full + c.dropped_queue + c.dropped_oversized + c.unrouted, 0u);
    EXPECT_EQ(recorder_.bad_layout.load(), 0u);
}

TEST_F(EngineNetns, ABurstPastTheRingKeepsWhatFitsAndAnOversizedDatagramIsDropped)
{
    start();
    CoreUdpAddr from;
    const int fd = peer_in_b(&from, 0x30);
    flowmesh_instance_test_hold_dispatch(instance_, true);
    constexpr uint32_t kBurst = FLOWMESH_RING_SLOTS + 144;
    for (uint32_t i = 0; i < kBurst; ++i) ASSERT_TRUE(send_numbered(fd, data_, i));
    ASSERT_TRUE(engine_wait([&] { return counters().received == kBurst; }));
    EXPECT_EQ(counters().dropped_ring_full, kBurst - FLOWMESH_RING_SLOTS);
    flowmesh_instance_test_hold_dispatch(instance_, false);
    ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == FLOWMESH_RING_SLOTS; }));
    std::vector<uint32_t> expected(FLOWMESH_RING_SLOTS);
    for (uint32_t i = 0; i < FLOWMESH_RING_SLOTS; ++i) expected[i] = i;
    EXPECT_EQ(recorder_.sequence_of(from.address, from.port), expected);

    // Over 1440 bytes (and over the link MTU: it arrives reassembled):
    // dropped, counted, no link-down, and the receive thread goes on.
    ASSERT_TRUE(send_numbered(fd, data_, 9000, 2000));
    ASSERT_TRUE(engine_wait([&] { return counters().dropped_oversized == 1; }));
    ASSERT_TRUE(send_numbered(fd, data_, 9001, 100));
    ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == FLOWMESH_RING_SLOTS + 1; }));
    EXPECT_EQ(counters().receive_failures, 0u);
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_DOWN), 0u);
}

TEST_F(EngineNetns, LinkDownAtEveryMonitorPassAndOneLinkUp)
{
    FlowmeshEngineTiming timing = {};
    timing.monitor_period_ms = 150;
    timing.monitor_step_ms = 10;
    flowmesh_engine_test_set_timing(&timing);
    start();
    FlowmeshEngine *engine = ref_->engine;
    auto passes = [&] { return engine->monitor_passes.load(); };
    ASSERT_TRUE(engine_wait([&] { return passes() >= 1; }));
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_DOWN), 0u);

    ASSERT_TRUE(run("ip -n " + g_ns_a + " link set " + g_veth_a + " down"));
    const uint64_t down_at = passes();
    ASSERT_TRUE(engine_wait([&] { return passes() >= down_at + 4; }));
    const uint64_t downs = recorder_.count(FLOWMESH_ENGINE_LINK_DOWN);
    const uint64_t passes_down = passes() - down_at;
    // One per pass; the pass under way when the link went may have missed it.
    // The first announcement that cannot leave reports the lost link too,
    // once: a failed send ends the discovery channel's consumer.
    EXPECT_GE(downs, passes_down - 1);
    EXPECT_LE(downs, passes_down + 1);
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_UP), 0u);

    ASSERT_TRUE(run("ip -n " + g_ns_a + " link set " + g_veth_a + " up"));
    ASSERT_TRUE(engine_wait([&] { return recorder_.count(FLOWMESH_ENGINE_LINK_UP) == 1; }));
    const uint64_t up_at = passes();
    const uint64_t downs_before_up = recorder_.count(FLOWMESH_ENGINE_LINK_DOWN);
    ASSERT_TRUE(engine_wait([&] { return passes() >= up_at + 4; }));
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_UP), 1u);
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_DOWN), downs_before_up);
    stop();
}

#ifdef VELTRANA_TESTNODE_TOOL
// The node tool runs one engine in the namespace it is started in and
// refuses LAN discovery in the machine's own namespace.
TEST_F(EngineNetns, TheNodeToolRunsInANamespaceAndRefusesTheRootOne)
{
    const std::string tool = VELTRANA_TESTNODE_TOOL;
    const std::string in_a = output_of("echo quit | timeout 20 ip netns exec " + g_ns_a + " " + tool +
                                       " --mode lan --base-port 45000 2>&1");
    EXPECT_NE(in_a.find("\"event\":\"adapter_started\",\"address\":\"192.0.2.1\""), std::string::npos) << in_a;
    EXPECT_NE(in_a.find("\"event\":\"adapter_stopped\""), std::string::npos) << in_a;

    // The namespace this test started in, which no `ip netns` made.
    const std::string home = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(g_home);
    const std::string root = output_of("echo quit | timeout 20 nsenter --net=" + home + " " + tool +
                                       " --mode lan --base-port 45000 2>&1; echo \"exit=$?\"");
    EXPECT_NE(root.find("exit=2"), std::string::npos) << root;
    EXPECT_EQ(root.find("adapter_started"), std::string::npos) << root;
}
#endif

}  // namespace
