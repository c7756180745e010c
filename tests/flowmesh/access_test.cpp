// Allow-list removal and snapshot; deny-list blocking, admission of new
// peers, the node-id check and the block-time session match.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "flowmesh/access.h"
#include "flowmesh/core_fixture.h"

namespace {

CoreNetAdapter adapter_named(const char *id)
{
    CoreNetAdapter adapter = {};
    strncpy(adapter.id, id, sizeof(adapter.id));  // 64 characters: no terminator
    snprintf(adapter.description, sizeof(adapter.description), "%s desc", id);
    return adapter;
}

class AllowList : public FlowmeshCoreTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        FlowmeshConfig config = test_config();
        const std::string long_id(64, 'L');
        const char *ids[] = {"AAAA", "BBBB", "CCCC", long_id.c_str()};
        for (size_t i = 0; i < 4; ++i) {
            config.adapters[i] = adapter_named(ids[i]);
            config.adapters[i].next = &config.adapters[0];  // the engine's chain: not copied
        }
        ASSERT_EQ(flowmesh_core_create(&config), CORE_OK);
        core = flowmesh_core_acquire();
        ASSERT_NE(core, nullptr);
    }
    void TearDown() override
    {
        flowmesh_core_release(core);
        FlowmeshCoreTest::TearDown();
    }

    std::vector<std::string> slots()
    {
        std::vector<std::string> ids;
        for (const auto &slot : core->allow_list) ids.emplace_back(slot.id, strnlen(slot.id, sizeof(slot.id)));
        while (!ids.empty() && ids.back().empty()) ids.pop_back();
        return ids;
    }

    FlowmeshCore *core = nullptr;
};

TEST_F(AllowList, RemovalMatchesTheWholeIdAndKeepsTheRestInOrder)
{
    const std::string long_id(64, 'L');
    const struct {
        const char *purpose;
        std::string id;
        CoreResult result;
        std::vector<std::string> after;
    } cases[] = {
        {"a prefix is not the name", "BBB", CORE_FAIL, {"AAAA", "BBBB", "CCCC", long_id}},
        {"a longer name is not the name", "BBBBB", CORE_FAIL, {"AAAA", "BBBB", "CCCC", long_id}},
        {"the second of four", "BBBB", CORE_OK, {"AAAA", "CCCC", long_id}},
        {"a 64-character id without terminator", long_id, CORE_OK, {"AAAA", "CCCC"}},
        {"gone already", "BBBB", CORE_FAIL, {"AAAA", "CCCC"}},
        {"an empty name matches no free slot", "", CORE_FAIL, {"AAAA", "CCCC"}},
        {"the first", "AAAA", CORE_OK, {"CCCC"}},
    };
    for (const auto &c : cases) {
        const CoreNetAdapter adapter = adapter_named(c.id.c_str());
        EXPECT_EQ(flowmesh_core_remove_adapter(core, &adapter), c.result) << c.purpose;
        EXPECT_EQ(slots(), c.after) << c.purpose;
    }
    // Moved slots carry their whole record and leave zeroes behind.
    EXPECT_STREQ(core->allow_list[0].description, "CCCC desc");
    const CoreNetAdapter zero = {};
    EXPECT_EQ(memcmp(&core->allow_list[1], &zero, sizeof(zero)), 0);
    EXPECT_EQ(flowmesh_core_remove_adapter(core, nullptr), CORE_FAIL);
}

TEST_F(AllowList, SnapshotCopiesEverySlotWithoutItsLink)
{
    FlowmeshConfig copy;
    memset(&copy, 0xEE, sizeof(copy));
    flowmesh_core_snapshot_adapters(core, &copy);
    for (uint32_t i = 0; i < FLOWMESH_ADAPTER_SLOTS; ++i) {
        EXPECT_EQ(copy.adapters[i].next, nullptr) << i;
        EXPECT_EQ(memcmp(copy.adapters[i].id, core->allow_list[i].id, sizeof(copy.adapters[i].id)), 0) << i;
    }
    EXPECT_STREQ(copy.adapters[2].id, "CCCC");
    EXPECT_EQ(copy.adapters[4].id[0], '\0');
}

CoreUdpAddr addr(const char *ip, uint16_t port)
{
    CoreUdpAddr a = {};
    inet_pton(AF_INET, ip, &a.address);
    a.port = htons(port);
    return a;
}

class DenyList : public FlowmeshCoreTest {
protected:
    CoreResult admit(const CoreUdpAddr &peer, const CoreUdpAddr &endpoint)
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        CoreResult result = flowmesh_core_admit_peer(core, &peer, &endpoint);
        flowmesh_core_release(core);
        return result;
    }
    CoreResult check(const CoreName &id)
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        CoreResult result = flowmesh_core_check_node(core, id.key);
        flowmesh_core_release(core);
        return result;
    }
};

TEST_F(DenyList, EmptyKeysAreRefusedAndNothingIsBlockedWithoutACore)
{
    const CoreUdpAddr none = {};
    const CoreName nobody = {};
    EXPECT_EQ(flowmesh_block_endpoint(&none), CORE_ERR_INVALID);
    EXPECT_EQ(flowmesh_block_address(&none), CORE_ERR_INVALID);
    EXPECT_EQ(flowmesh_block_node(&nobody), CORE_ERR_INVALID);
    EXPECT_EQ(flowmesh_block_endpoint(nullptr), CORE_ERR_INVALID);
    EXPECT_EQ(admit(addr("10.0.0.1", 5000), none), CORE_OK);

    flowmesh_core_destroy();
    const CoreUdpAddr a = addr("10.0.0.1", 0);
    const CoreName n = core_name_of("node");
    EXPECT_EQ(flowmesh_block_address(&a), CORE_ERR);
    EXPECT_EQ(flowmesh_block_endpoint(&a), CORE_ERR);
    EXPECT_EQ(flowmesh_block_node(&n), CORE_ERR);
}

TEST_F(DenyList, AdmissionFollowsTheKindOfEachEntry)
{
    const CoreUdpAddr any_port = addr("10.0.0.1", 0), one_port = addr("10.0.0.2", 5000),
                      endpoint = addr("198.51.100.7", 6000);
    const CoreName blocked_node = core_name_of("blocked.node");
    ASSERT_EQ(flowmesh_block_address(&any_port), CORE_OK);
    ASSERT_EQ(flowmesh_block_address(&one_port), CORE_OK);
    ASSERT_EQ(flowmesh_block_endpoint(&endpoint), CORE_OK);
    ASSERT_EQ(flowmesh_block_node(&blocked_node), CORE_OK);

    const CoreUdpAddr none = {};
    const struct {
        const char *purpose;
        CoreUdpAddr peer, endpoint;
        CoreResult result;
    } cases[] = {
        {"address with port 0: every port", addr("10.0.0.1", 1), none, CORE_FAIL},
        {"address with port 0: another port", addr("10.0.0.1", 65535), none, CORE_FAIL},
        {"address with a port: that port", addr("10.0.0.2", 5000), none, CORE_FAIL},
        {"address with a port: another port", addr("10.0.0.2", 5001), none, CORE_OK},
        {"endpoint: address and port equal", addr("10.0.0.9", 1), endpoint, CORE_FAIL},
        {"endpoint: another port", addr("10.0.0.9", 1), addr("198.51.100.7", 6001), CORE_OK},
        {"endpoint entry against a data address", addr("198.51.100.7", 6000), none, CORE_OK},
        {"an unrelated peer", addr("10.0.0.3", 5000), addr("198.51.100.8", 6000), CORE_OK},
    };
    for (const auto &c : cases) EXPECT_EQ(admit(c.peer, c.endpoint), c.result) << c.purpose;

    // Node ids are checked when the identity arrives, not at admission.
    EXPECT_EQ(check(blocked_node), CORE_ERR_REFUSED);
    EXPECT_EQ(check(core_name_of("other.node")), CORE_OK);
}

TEST_F(DenyList, BlockingTheSameKeyTwiceAddsTwoEntries)
{
    const CoreUdpAddr a = addr("10.0.0.1", 0);
    ASSERT_EQ(flowmesh_block_address(&a), CORE_OK);
    ASSERT_EQ(flowmesh_block_address(&a), CORE_OK);
    FlowmeshCore *core = flowmesh_core_acquire();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->deny->live, 2u);
    flowmesh_core_release(core);
}

TEST(DenyMatch, BlockTimeRuleForLiveSessions)
{
    FlowmeshDenyEntry endpoint = {}, any_port = {}, one_port = {}, by_node = {};
    endpoint.endpoint_address = 7;
    endpoint.endpoint_port = 70;
    any_port.address = 1;
    one_port.address = 1;
    one_port.port = 10;
    core_name_format(&by_node.node_id, "n1");
    const CoreName n1 = core_name_of("n1"), n2 = core_name_of("n2");
    const struct {
        const char *purpose;
        const FlowmeshDenyEntry *entry;
        CoreUdpAddr peer, endpoint;
        const CoreName *node;
        int matches;
    } cases[] = {
        {"endpoint equal", &endpoint, {1, 10}, {7, 70}, &n1, 1},
        {"endpoint port differs", &endpoint, {1, 10}, {7, 71}, &n1, 0},
        {"address, any port", &any_port, {1, 99}, {}, &n1, 1},
        {"address, other address", &any_port, {2, 10}, {}, &n1, 0},
        {"address and port", &one_port, {1, 10}, {}, &n1, 1},
        {"address, other port", &one_port, {1, 11}, {}, &n1, 0},
        {"node id", &by_node, {1, 10}, {7, 70}, &n1, 1},
        {"other node id", &by_node, {1, 10}, {7, 70}, &n2, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(flowmesh_deny_matches_session(c.entry, &c.peer, &c.endpoint, c.node), c.matches) << c.purpose;
}

}  // namespace
