// Direct mode between node tools in two namespaces joined by a veth pair:
// B connects to the data address A reported when its adapter started, and
// a connect to an address where nobody listens ends in one gone report.
// Needs root; skips with a message otherwise; the namespaces go with the
// test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flowmesh/netns_support.h"

namespace {

class DirectNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    }
};

// A line of `node` whose event is `event` and that contains `text`, or "".
std::string line_with(Node &node, const std::string &event, const std::string &text = "")
{
    for (const std::string &line : node.lines())
        if (field(line, "event") == event && line.find(text) != std::string::npos) return line;
    return "";
}

size_t lines_with(Node &node, const std::string &event, const std::string &text)
{
    size_t n = 0;
    for (const std::string &line : node.lines())
        n += field(line, "event") == event && line.find(text) != std::string::npos;
    return n;
}

// The connect state the node reports now, or -1.
int connect_state(Node &node)
{
    const size_t before = node.lines().size();
    node.command("connect_state");
    int state = -1;
    wait_for(
        [&] {
            const std::vector<std::string> lines = node.lines();
            for (size_t i = before; i < lines.size(); ++i)
                if (field(lines[i], "event") == "connect_state") state = std::stoi(field(lines[i], "state"));
            return state != -1;
        },
        5000);
    return state;
}

TEST_F(DirectNetns, BConnectsToTheDataAddressOfAAndBothAgreeOneKey)
{
    Topology net(2);
    ASSERT_TRUE(net.ok());
    Node a(net.ns(0), {"--mode", "direct"});
    Node b(net.ns(1), {"--mode", "direct"});
    ASSERT_TRUE(a.started() && b.started());
    const std::string a_address = Topology::address(0);
    std::string started;
    ASSERT_TRUE(wait_for([&] { return !(started = line_with(a, "adapter_started", a_address)).empty(); }, 10000))
        << a.all();
    ASSERT_TRUE(wait_for([&] { return !line_with(b, "adapter_started", Topology::address(1)).empty(); }, 10000));
    const std::string target = a_address + ":" + field(started, "port");

    b.command("connect " + target);
    ASSERT_TRUE(wait_for([&] { return !line_with(b, "connect", target).empty(); }, 5000));
    EXPECT_EQ(field(line_with(b, "connect", target), "result"), "0");
    ASSERT_TRUE(wait_for([&] { return !b.ready_for(a_address).empty(); }, 15000)) << b.all();
    ASSERT_TRUE(wait_for([&] { return !a.ready_for(Topology::address(1)).empty(); }, 15000)) << a.all();
    EXPECT_EQ(field(a.ready_for(Topology::address(1)), "fingerprint"), field(b.ready_for(a_address), "fingerprint"));
    EXPECT_NE(field(b.ready_for(a_address), "fingerprint"), "");
    EXPECT_TRUE(wait_for([&] { return connect_state(b) == 4; }, 5000));

    b.command("connect " + target);
    ASSERT_TRUE(wait_for([&] { return lines_with(b, "connect", target) == 2; }, 5000));
    std::string second;
    for (const std::string &line : b.lines())
        if (field(line, "event") == "connect") second = line;
    EXPECT_EQ(field(second, "result"), "-79") << "one connect at a time";
}

TEST_F(DirectNetns, ATargetThatNeverAnswersIsReportedGoneOnceAfterTenSeconds)
{
    Topology net(2);
    ASSERT_TRUE(net.ok());
    Node b(net.ns(1), {"--mode", "direct"});
    ASSERT_TRUE(b.started());
    ASSERT_TRUE(wait_for([&] { return !line_with(b, "adapter_started", Topology::address(1)).empty(); }, 10000));
    const std::string silent = Topology::address(0) + ":9";
    const uint64_t start = now_ms();
    b.command("connect " + silent);
    ASSERT_TRUE(wait_for([&] { return !line_with(b, "gone", silent).empty(); }, 20000)) << b.all();
    EXPECT_GE(now_ms() - start, 9000u);
    EXPECT_EQ(field(line_with(b, "connect", silent), "result"), "0");
    EXPECT_EQ(connect_state(b), 0);
    EXPECT_EQ(lines_with(b, "gone", silent), 1u);
}

}  // namespace
