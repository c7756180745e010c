// Two node tools in sessions mode, each in a network namespace of its own,
// joined by a veth pair: they meet by discovery, form a session, open a
// stream of every kind and carry messages, frames and a file across; with
// 5 % loss both ways (iptables in each receiving namespace); close and deny
// end the session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "flowmesh/netns_support.h"

namespace {

// The file of the loss-free run; under loss the reliable stream halves its
// window on every flight with three resends (about 1 Mbit/s), so the lossy
// run carries a smaller one to stay within CI time, unless
// VELTRANA_LOSSY_FILE_MIB asks for another size.
constexpr uint64_t kFileBytes = 64ull << 20;

uint64_t lossy_file_bytes()
{
    const char *mib = getenv("VELTRANA_LOSSY_FILE_MIB");
    const uint64_t n = mib != nullptr ? strtoull(mib, nullptr, 10) : 0;
    return (n != 0 && n <= 1024 ? n : 4) << 20;
}

std::vector<std::string> session_options(const char *node)
{
    return {"--sessions", "--node", node};
}

// The last line of `event` whose field `name` is `value` ("" matches any).
std::string last_line(Node &node, const std::string &event, const std::string &name = "",
                      const std::string &value = "")
{
    std::string found;
    for (const std::string &line : node.lines())
        if (field(line, "event") == event && (name.empty() || field(line, name) == value)) found = line;
    return found;
}

size_t count_lines(Node &node, const std::string &event, const std::string &name, const std::string &value)
{
    size_t n = 0;
    for (const std::string &line : node.lines())
        if (field(line, "event") == event && field(line, name) == value) n++;
    return n;
}

uint64_t number(const std::string &line, const std::string &name) { return strtoull(field(line, name).c_str(), nullptr, 10); }

// Asks for a stream's receive figures and waits for the answer.
std::string stats(Node &node, const std::string &stream)
{
    const size_t before = count_lines(node, "stats", "stream", stream);
    node.command("stats " + stream);
    wait_for([&] { return count_lines(node, "stats", "stream", stream) > before; }, 5000);
    return last_line(node, "stats", "stream", stream);
}

// Waits until the receiver's figure `name` of `stream` reaches `target` or
// stops growing (15 s without a change).
std::string settle(Node &node, const std::string &stream, const std::string &name, uint64_t target, uint64_t ms)
{
    std::string line = stats(node, stream);
    uint64_t last = number(line, name);
    const uint64_t end = now_ms() + ms;
    uint64_t quiet_since = now_ms();
    while (number(line, name) < target && now_ms() < end && now_ms() - quiet_since < 15000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        line = stats(node, stream);
        if (number(line, name) != last) {
            last = number(line, name);
            quiet_since = now_ms();
        }
    }
    return line;
}

std::string make_file(uint64_t bytes)
{
    char path[] = "/tmp/veltrana-session-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "";
    std::vector<uint8_t> block(1 << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(getpid());
    for (uint64_t done = 0; done < bytes; done += block.size()) {
        for (uint8_t &b : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<uint8_t>(x);
        }
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) break;
    }
    close(fd);
    return path;
}

class SessionNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    }

    // Both nodes report their session up; prints the set-up times.
    static bool both_up(Node &a, Node &b, size_t n = 1)
    {
        if (!wait_for([&] { return count_lines(a, "session", "state", "up") >= n &&
                                   count_lines(b, "session", "state", "up") >= n; },
                      20000))
            return false;
        for (Node *node : {&a, &b}) {
            const std::string up = last_line(*node, "session", "state", "up");
            printf("session set-up: service stream open after %s ms, up after %s ms (node start to up: %s ms)\n",
                   field(up, "service_open_ms").c_str(), field(up, "up_ms").c_str(), field(up, "t_ms").c_str());
        }
        return true;
    }

    static bool opened_both(Node &a, Node &b, const std::string &stream)
    {
        return wait_for([&] { return !opened_line(a, stream).empty() && !opened_line(b, stream).empty(); }, 10000);
    }

    static std::string opened_line(Node &node, const std::string &stream)
    {
        for (const std::string &line : node.lines())
            if (field(line, "event") == "stream" && field(line, "state") == "opened" && field(line, "stream") == stream)
                return line;
        return "";
    }

    // Opens one stream of each kind from `a`, checks both ends use one key.
    static void open_every_kind(Node &a, Node &b)
    {
        a.command("open paced t.paced");
        a.command("open media t.media");
        a.command("open reliable t.file");
        for (const char *stream : {"t.paced", "t.media", "t.file"}) {
            ASSERT_TRUE(opened_both(a, b, stream)) << stream << "\n" << a.all() << b.all();
            const std::string key_a = field(opened_line(a, stream), "key");
            EXPECT_FALSE(key_a.empty());
            EXPECT_EQ(key_a, field(opened_line(b, stream), "key")) << stream;
        }
    }

    // Sends messages, frames and the file from `a`; returns the delivered
    // shares, checking that whatever was delivered is exact.
    void carry(Node &a, Node &b, unsigned messages, unsigned seconds, const std::string &file, uint64_t file_bytes,
               double shares[3])
    {
        a.command("messages t.paced " + std::to_string(messages) + " 1000");
        ASSERT_TRUE(wait_for([&] { return !last_line(a, "messages_sent").empty(); }, 120000)) << a.all();
        const std::string paced = settle(b, "t.paced", "count", messages, 20000);
        EXPECT_EQ(number(paced, "corrupt"), 0u) << paced;
        shares[0] = static_cast<double>(number(paced, "exact")) / messages;

        a.command("frames t.media " + std::to_string(seconds));
        ASSERT_TRUE(wait_for([&] { return !last_line(a, "frames_sent").empty(); }, (seconds + 30) * 1000ull)) << a.all();
        const unsigned frames = seconds * 30;
        const std::string media = settle(b, "t.media", "count", frames, 20000);
        EXPECT_EQ(number(media, "corrupt"), 0u) << media;
        EXPECT_EQ(number(last_line(a, "frames_sent"), "refused"), 0u);
        shares[1] = static_cast<double>(number(media, "exact")) / frames;

        a.command("file t.file " + file);
        // The sender has queued it all once no more than a send buffer is
        // left to deliver.
        ASSERT_TRUE(wait_for([&] { return !last_line(a, "file_sent").empty(); }, 240000 + file_bytes / 50))
            << a.all();
        const std::string sent = last_line(a, "file_sent");
        ASSERT_EQ(field(sent, "ok"), "1") << sent;
        const std::string got = settle(b, "t.file", "bytes", file_bytes, 60000 + file_bytes / 50);
        EXPECT_EQ(number(got, "bytes"), file_bytes) << got;
        EXPECT_EQ(field(got, "sha"), field(sent, "sha"));
        shares[2] = number(got, "bytes") == file_bytes && field(got, "sha") == field(sent, "sha") ? 1.0 : 0.0;
        printf("file: %llu bytes received over %s ms (%.1f Mbit/s)\n", static_cast<unsigned long long>(file_bytes),
               field(got, "ms").c_str(), file_bytes * 8.0 / 1000.0 / std::max<double>(1, number(got, "ms")));
    }
};

TEST_F(SessionNetns, TwoNodesCarryEveryKindExactly)
{
    const std::string file = make_file(kFileBytes);
    ASSERT_FALSE(file.empty());
    {
        Topology net(2);
        ASSERT_TRUE(net.ok()) << "the veth pair could not be made";
        Node a(net.ns(0), session_options("node.a"));
        Node b(net.ns(1), session_options("node.b"));
        ASSERT_TRUE(both_up(a, b)) << a.all() << b.all();
        EXPECT_EQ(field(last_line(a, "session", "state", "up"), "peer_node"), "node.b");
        EXPECT_EQ(field(last_line(b, "session", "state", "up"), "peer_node"), "node.a");

        // Forward messages of 0 bytes and 100 KB on the service stream.
        a.command("forward 0");
        a.command("forward 102400");
        ASSERT_TRUE(wait_for([&] { return count_lines(a, "forwarded", "ok", "1") == 2; }, 10000)) << a.all();
        const std::string forwarded = settle(b, "p2p.svc.strm", "count", 2, 10000);
        EXPECT_EQ(number(forwarded, "count"), 2u);
        EXPECT_EQ(number(forwarded, "bytes"), 102400u);
        EXPECT_EQ(field(forwarded, "sha"), field(last_line(a, "forwarded", "length", "102400"), "sha"));

        open_every_kind(a, b);
        double shares[3] = {};
        carry(a, b, 10000, 30, file, kFileBytes, shares);
        EXPECT_EQ(shares[0], 1.0);
        EXPECT_EQ(shares[1], 1.0);
        printf("0%% loss: paced %.4f, media %.4f, file %.0f delivered\n", shares[0], shares[1], shares[2]);
    }
    unlink(file.c_str());
}

TEST_F(SessionNetns, FivePercentLossBothWays)
{
    const uint64_t file_bytes = lossy_file_bytes();
    const std::string file = make_file(file_bytes);
    ASSERT_FALSE(file.empty());
    {
        Topology net(2);
        ASSERT_TRUE(net.ok()) << "the veth pair could not be made";
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(run("ip netns exec " + net.ns(i) + " iptables -A INPUT -i " + net.device(i) +
                            " -p udp -m statistic --mode random --probability 0.05 -j DROP"));
        Node a(net.ns(0), session_options("node.a"));
        Node b(net.ns(1), session_options("node.b"));
        ASSERT_TRUE(both_up(a, b)) << a.all() << b.all();
        open_every_kind(a, b);
        double shares[3] = {};
        carry(a, b, 10000, 10, file, file_bytes, shares);
        printf("5%% loss both ways: paced %.4f, media %.4f, file %.0f delivered\n", shares[0], shares[1], shares[2]);
        // The paced stream never resends; media frames are recovered by
        // resends, but how many in time depends on the machine's load: the
        // shares are printed, and only a collapse fails here.
        EXPECT_GT(shares[0], 0.5);
        EXPECT_GT(shares[1], 0.5);
    }
    unlink(file.c_str());
}

TEST_F(SessionNetns, CloseEndsBothSidesAndABlockedNodeStaysOut)
{
    Topology net(2);
    ASSERT_TRUE(net.ok()) << "the veth pair could not be made";
    Node a(net.ns(0), session_options("node.a"));
    Node b(net.ns(1), session_options("node.b"));
    ASSERT_TRUE(both_up(a, b)) << a.all() << b.all();

    // A close from A ends the session on both sides.
    const std::string peer = field(last_line(a, "session", "state", "up"), "peer");
    a.command("disconnect " + peer);
    ASSERT_TRUE(wait_for([&] { return count_lines(a, "session", "state", "down") >= 1 &&
                                      count_lines(b, "session", "state", "down") >= 1; },
                         10000))
        << a.all() << b.all();

    // Once they met again, a block ends A's session at once and keeps B out.
    ASSERT_TRUE(both_up(a, b, 2)) << a.all() << b.all();
    const size_t downs = count_lines(a, "session", "state", "down");
    a.command("block node.b");
    ASSERT_TRUE(wait_for([&] { return count_lines(a, "session", "state", "down") > downs; }, 2000)) << a.all();
    const size_t ups = count_lines(a, "session", "state", "up");
    std::this_thread::sleep_for(std::chrono::seconds(8));
    EXPECT_EQ(count_lines(a, "session", "state", "up"), ups) << a.all();
}

}  // namespace
