// Discovery and the handshake between node tools in network namespaces of
// this test's own: two joined by a veth pair (192.0.2.1 and 192.0.2.2), or
// three on a bridge that lives in a fourth. Every node is a separate
// veltrana-testnode process, so each binds the real discovery ports. Needs
// root; skips with a message otherwise. Whatever a test makes is removed at
// its end (and at exit), and leftovers of crashed runs at the start.
#include "flowmesh/netns_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kBasePort = 60149;

std::vector<std::string> node_options(int key_options, int announce_mode = 1)
{
    return {"--key-options", std::to_string(key_options), "--announce-mode", std::to_string(announce_mode)};
}

class DiscoveryNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    }
};

// Both nodes report the other ready within 10 s, one as key sender and one
// as receiver, with one key: its length follows both nodes' key options.
TEST_F(DiscoveryNetns, TwoNodesOnAVethPairAgreeOneKey)
{
    struct Case {
        int options[2];
        const char *key_length;
    } cases[] = {
        {{3, 3}, "32"},
        {{3, 1}, "16"},
        {{1, 3}, "16"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("key options " + std::to_string(c.options[0]) + "/" + std::to_string(c.options[1]));
        Topology net(2);
        ASSERT_TRUE(net.ok()) << "the veth pair could not be made";
        const uint64_t start = now_ms();
        Node a(net.ns(0), node_options(c.options[0]));
        Node b(net.ns(1), node_options(c.options[1]));
        ASSERT_TRUE(a.started() && b.started());
        const bool ready = wait_for(
            [&] { return !a.ready_for(Topology::address(1)).empty() && !b.ready_for(Topology::address(0)).empty(); },
            10000);
        const uint64_t took = now_ms() - start;
        a.stop();
        b.stop();
        ASSERT_TRUE(ready) << "node A:\n" << a.all() << "node B:\n" << b.all();
        EXPECT_LT(took, 10000u);
        const std::string at_a = a.ready_for(Topology::address(1));
        const std::string at_b = b.ready_for(Topology::address(0));
        EXPECT_EQ(field(at_a, "key_length"), c.key_length) << at_a;
        EXPECT_EQ(field(at_b, "key_length"), c.key_length) << at_b;
        EXPECT_EQ(field(at_a, "fingerprint").size(), 64u) << at_a;
        EXPECT_EQ(field(at_a, "fingerprint"), field(at_b, "fingerprint"));
        EXPECT_NE(field(at_a, "key_receiver"), field(at_b, "key_receiver"));
        EXPECT_EQ(a.exit_code(), 0);
        EXPECT_EQ(b.exit_code(), 0);
    }
}

TEST_F(DiscoveryNetns, ThreeNodesOnABridgeSeeEachOther)
{
    Topology net(3);
    ASSERT_TRUE(net.ok()) << "the bridge could not be made";
    std::vector<std::unique_ptr<Node>> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(std::make_unique<Node>(net.ns(i), node_options(3)));
    auto all_ready = [&] {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (i != j && nodes[i]->ready_for(Topology::address(j)).empty()) return false;
        return true;
    };
    const bool ready = wait_for(all_ready, 15000);
    for (auto &node : nodes) node->stop();
    std::string logs;
    for (auto &node : nodes) logs += node->all() + "--\n";
    ASSERT_TRUE(ready) << logs;
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            EXPECT_EQ(field(nodes[i]->ready_for(Topology::address(j)), "fingerprint"),
                      field(nodes[j]->ready_for(Topology::address(i)), "fingerprint"))
                << "nodes " << i << " and " << j;
}

struct Datagram {
    double time;
    std::string from, to;
    int port;
    int length;
};

// Reads "TIME IP A.B.C.D.PORT > E.F.G.H.PORT: UDP, length N" lines.
std::vector<Datagram> read_capture(const std::string &file)
{
    std::vector<Datagram> out;
    std::istringstream lines(output_of("tcpdump -r " + file + " -n -tt udp 2>/dev/null"));
    std::string line;
    while (std::getline(lines, line)) {
        Datagram d = {};
        char from[64], to[64];
        if (sscanf(line.c_str(), "%lf IP %63s > %63[^:]: UDP, length %d", &d.time, from, to, &d.length) != 4)
            continue;
        const std::string source = from, target = to;
        d.from = source.substr(0, source.rfind('.'));
        d.to = target.substr(0, target.rfind('.'));
        d.port = atoi(target.c_str() + target.rfind('.') + 1);
        out.push_back(d);
    }
    return out;
}

// The link as B's side sees it: every announcement round of A covers the
// eight discovery ports, rounds follow at the announce mode's interval, and
// nothing but announcements, identity blocks and key messages is sent.
TEST_F(DiscoveryNetns, ACaptureShowsAnnouncementsAtTheModesIntervalAndHandshakeSizes)
{
    struct Case {
        int mode;
        double low_s, high_s;  // interval bounds, with room for the loop's 100 ms step
        int capture_s;
    } cases[] = {
        {1, 0.45, 1.5 + 0.4, 6},
        {3, 1.45, 5.0 + 0.4, 14},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("announce mode " + std::to_string(c.mode));
        Topology net(2);
        ASSERT_TRUE(net.ok());
        const std::string file = "/tmp/" + std::string(kPrefix) + std::to_string(getpid()) + ".pcap";
        unlink(file.c_str());
        const std::string capture = "ip netns exec " + net.ns(1) + " timeout " + std::to_string(c.capture_s) +
                                    " tcpdump -i " + net.device(1) + " -n -U -w " + file + " udp >/dev/null 2>&1";
        std::thread tcpdump([&] { (void)!system(capture.c_str()); });
        // tcpdump writes its file header once it listens.
        const bool listening = wait_for([&] { return access(file.c_str(), F_OK) == 0; }, 5000);
        Node a(net.ns(0), node_options(3, c.mode));
        Node b(net.ns(1), node_options(3, c.mode));
        tcpdump.join();
        a.stop();
        b.stop();
        ASSERT_TRUE(listening) << "tcpdump did not start";
        const std::vector<Datagram> seen = read_capture(file);
        unlink(file.c_str());

        const std::string broadcast = "192.0.2.255";
        std::vector<double> rounds;
        std::set<int> ports;
        std::map<int, int> sizes;
        for (const Datagram &d : seen) {
            sizes[d.length]++;
            if (d.from != Topology::address(0) || d.to != broadcast) continue;
            EXPECT_EQ(d.length, 32) << "to port " << d.port;
            EXPECT_GE(d.port, kBasePort);
            EXPECT_LE(d.port, kBasePort + 7);
            ports.insert(d.port);
            // The eight datagrams of one round leave together.
            if (rounds.empty() || d.time - rounds.back() > 0.2) rounds.push_back(d.time);
        }
        EXPECT_EQ(ports.size(), 8u);
        ASSERT_GE(rounds.size(), 3u);
        for (size_t i = 1; i < rounds.size(); ++i) {
            EXPECT_GE(rounds[i] - rounds[i - 1], c.low_s) << "round " << i;
            EXPECT_LE(rounds[i] - rounds[i - 1], c.high_s) << "round " << i;
        }
        EXPECT_GT(sizes[558], 0) << "identity blocks";
        EXPECT_GT(sizes[288], 0) << "key messages";
        for (const auto &[length, count] : sizes)
            EXPECT_TRUE(length == 32 || length == 558 || length == 288) << count << " datagrams of " << length;
    }
}

}  // namespace
