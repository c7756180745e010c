// The STUN probe against a real server: coturn with two addresses (so that
// it answers change requests from its other address and port) in a network
// namespace of this test process alone, which disappears with it. tshark,
// when present, decodes the requests we sent. Needs root and coturn; skips
// with a message otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/system.h"
#include "flowmesh/engine.h"
#include "flowmesh/engine_support.h"
#include "flowmesh/instance.h"
#include "flowmesh/stun.h"

namespace {

const uint16_t kPort = 3478;

bool on_path(const char *tool)
{
    return system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process with its output in `log`; its pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void stop(pid_t pid, int signal_number)
{
    if (pid <= 0) return;
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
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

CoreUdpAddr endpoint(const char *address, uint16_t port)
{
    CoreUdpAddr out = {0, htons(port)};
    inet_pton(AF_INET, address, &out.address);
    return out;
}

class StunServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
        if (!on_path("turnserver")) GTEST_SKIP() << "coturn (turnserver) is not installed";
        // This thread, and every process and thread it starts, leaves the
        // machine's namespace for a fresh one with only loopback.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        ASSERT_EQ(system("ip link set lo up"), 0);
        ASSERT_EQ(core_system_start(0), CORE_OK);
        snprintf(directory_, sizeof(directory_), "/tmp/veltrana-stun-XXXXXX");
        ASSERT_NE(mkdtemp(directory_), nullptr);
    }

    void TearDown() override
    {
        stop(capture_, SIGINT);
        stop(server_, SIGTERM);
        if (directory_[0] != '\0') system((std::string("rm -rf ") + directory_).c_str());
        if (started_) core_system_stop();
    }

    void start_server()
    {
        started_ = true;
        server_ = spawn({"turnserver", "-n", "-S", "--listening-ip=127.0.0.1", "--listening-ip=127.0.0.2",
                         "--listening-port=" + std::to_string(kPort),
                         "--alt-listening-port=" + std::to_string(kPort + 1),
                         "--no-tls", "--no-dtls", "--no-cli", "--log-file=stdout", "--simple-log"},
                        std::string(directory_) + "/turnserver.log");
        ASSERT_GT(server_, 0);
    }

    char directory_[64] = {};
    pid_t server_ = -1;
    pid_t capture_ = -1;
    bool started_ = false;
};

TEST_F(StunServerTest, TestsOneToThreeAreAnsweredAndOurRequestsDecode)
{
    const bool decode = on_path("tshark");
    const std::string capture = std::string(directory_) + "/stun.pcap";
    if (decode) {
        capture_ = spawn({"tshark", "-i", "lo", "-f", "udp port " + std::to_string(kPort), "-w", capture},
                         std::string(directory_) + "/tshark.log");
        ASSERT_GT(capture_, 0);
        const std::string log = std::string(directory_) + "/tshark.log";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (output_of("cat " + log).find("Capturing on") == std::string::npos &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    start_server();
    // The server's first seconds are the probe's to wait out: one client
    // after another until one hears test 1 answered.
    const CoreUdpAddr server = endpoint("127.0.0.1", kPort);
    const FlowmeshStunAddresses addresses = {server, endpoint("127.0.0.3", 0)};
    FlowmeshStunState results = {};
    for (int attempt = 0; attempt < 4 && (results.answered == 0 || results.tests[0].pending); ++attempt) {
        FlowmeshStunClient *client = flowmesh_stun_create(&addresses);
        ASSERT_NE(client, nullptr);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(FLOWMESH_STUN_PROBE_MS + 1000);
        while (std::chrono::steady_clock::now() < end) {
            results = flowmesh_stun_results(client);
            if (results.pending == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        flowmesh_stun_destroy(&client);
        EXPECT_EQ(client, nullptr);
    }

    for (int t = 0; t < 3; ++t) EXPECT_FALSE(results.tests[t].pending) << "test " << t + 1;
    EXPECT_EQ(results.mapped.address, endpoint("127.0.0.3", 0).address);
    EXPECT_NE(results.mapped.port, 0);
    EXPECT_EQ(results.changed.address, endpoint("127.0.0.2", 0).address) << "the server's other address";
    EXPECT_EQ(results.changed.port, htons(kPort + 1));
    EXPECT_EQ(results.tests[3].destination.address, results.changed.address);
    EXPECT_GE(results.pending, 0);
    EXPECT_EQ(results.refused, 0u);
    EXPECT_NE(std::string(results.server_text), "");

    if (!decode) {
        printf("tshark is not installed: the requests were not decoded\n");
        return;
    }
    stop(capture_, SIGINT);
    capture_ = -1;
    // Requests without the magic cookie are the classic dialect to tshark.
    const std::string rows = output_of("tshark -r " + capture +
                                       " -Y 'classicstun.type == 0x0001' -T fields -e classicstun.att.change.ip"
                                       " -e classicstun.att.change.port -e classicstun.id 2>/dev/null");
    std::set<std::string> flags;
    std::set<char> tags;
    size_t at = 0;
    while (at < rows.size()) {
        const size_t end = rows.find('\n', at);
        const std::string row = rows.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? rows.size() : end + 1;
        const size_t tab = row.rfind('\t');
        if (tab == std::string::npos) continue;
        flags.insert(row.substr(0, tab));
        const std::string id = row.substr(tab + 1);
        const size_t hex = id.find("0x") == 0 ? 2 : 0;
        if (id.size() >= hex + 2) tags.insert(static_cast<char>(std::stoi(id.substr(hex, 2), nullptr, 16)));
    }
    EXPECT_TRUE(flags.count("False\tFalse") || flags.count("0\t0")) << rows;
    EXPECT_TRUE(flags.count("False\tTrue") || flags.count("0\t1")) << "change port: " << rows;
    EXPECT_TRUE(flags.count("True\tFalse") || flags.count("1\t0")) << "change IP: " << rows;
    EXPECT_TRUE(tags.count(static_cast<char>(0x87)) && tags.count(static_cast<char>(0x97)) &&
                tags.count(static_cast<char>(0xA7)))
        << rows;
}

// A direct-mode engine with the server in its configuration probes it from
// each instance it starts, and keeps what it learns until it stops.
TEST_F(StunServerTest, EachDirectInstanceProbesTheConfiguredServer)
{
    start_server();
    FlowmeshEngineConfig config = {};
    FlowmeshConfig &c = config.configuration;
    c.adapter_index = -1;
    c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_MODE_DIRECT | FLOWMESH_FIXED_ADAPTERS;
    c.key_options = 1;
    c.stun_address = endpoint("127.0.0.1", 0).address;
    c.stun_port = kPort;
    core_name_format(&c.system_name, "stun.test");
    CoreNetAdapter &lo = c.adapters[0];
    lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK;
    lo.address = endpoint("127.0.0.4", 0);
    lo.mask = endpoint("255.0.0.0", 0);
    snprintf(lo.id, sizeof(lo.id), "6C6F04");
    const uint64_t handle = flowmesh_engine_create(&config);
    ASSERT_NE(handle, 0u);
    {
        EngineRef ref(handle);
        const std::vector<FlowmeshAdapterInstance *> instances = ref.instances();
        ASSERT_EQ(instances.size(), 1u);
        ASSERT_NE(instances[0]->stun, nullptr);
        FlowmeshStunState results = {};
        // The server may still be starting: the probe's 5 s decide.
        EXPECT_TRUE(engine_wait(
            [&] { return !(results = flowmesh_stun_results(instances[0]->stun)).tests[0].pending; },
            FLOWMESH_STUN_PROBE_MS + 1000));
        EXPECT_EQ(results.mapped.address, endpoint("127.0.0.4", 0).address);
    }
    flowmesh_engine_close(handle);
}

}  // namespace
