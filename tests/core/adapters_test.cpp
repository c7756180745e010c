// Built twice: as a unit test, and with ADAPTERS_TEST_NETNS as the root test
// that lists the adapters of a network namespace of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if_arp.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/adapters.h"
#include "core/clock.h"

namespace {

std::string name_as_id(const std::string &name)
{
    std::string id;
    char two[3];
    for (size_t i = 0; i < 16; ++i) {
        snprintf(two, sizeof(two), "%02X", i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
        id += two;
    }
    return id;
}

uint32_t ipv4(const char *text)
{
    in_addr a = {};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

#ifndef ADAPTERS_TEST_NETNS

std::vector<CoreNetAdapter> list_adapters(uint32_t required)
{
    std::vector<CoreNetAdapter> out;
    CoreNetAdapter *chain = reinterpret_cast<CoreNetAdapter *>(1);
    EXPECT_EQ(core_net_adapters(&chain, required), CORE_OK);
    for (CoreNetAdapter *a = chain; a != nullptr; a = a->next) out.push_back(*a);
    core_net_adapters_free(&chain);
    EXPECT_EQ(chain, nullptr);
    return out;
}

TEST(AdapterFlags, FromAddressHardwareAndType)
{
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
    const uint8_t none[6] = {};
    const uint8_t last_only[6] = {0, 0, 0, 0, 0, 9};
    const uint32_t addr = ipv4("10.0.0.20");
    const struct {
        const char *purpose;
        uint32_t address;
        const uint8_t *hardware;
        uint32_t iftype;
        uint32_t flags;
    } cases[] = {
        {"wireless without an address: LAN and MAC only", 0, mac, CORE_IFTYPE_WIRELESS, 0x42},
        {"loopback with an address", ipv4("127.0.0.1"), none, CORE_IFTYPE_LOOPBACK, 0x0D | 0x40 | 0x20},
        {"wired Ethernet", addr, mac, CORE_IFTYPE_ETHERNET, 0x4F},
        {"token ring", addr, mac, CORE_IFTYPE_TOKEN_RING, 0x4F},
        {"FDDI", addr, mac, CORE_IFTYPE_FDDI, 0x4F},
        {"PPP is not LAN", addr, none, CORE_IFTYPE_PPP, 0x0D | 0x80},
        {"a tunnel is neither", addr, none, CORE_IFTYPE_OTHER, 0x0D},
        {"any non-zero hardware byte counts", 0, last_only, CORE_IFTYPE_OTHER, 0x02},
    };
    for (const auto &c : cases) EXPECT_EQ(core_adapter_flags(c.address, c.hardware, c.iftype), c.flags) << c.purpose;
}

TEST(AdapterFlags, LinuxLinkTypes)
{
    const struct {
        uint32_t arphrd;
        bool wireless;
        uint32_t iftype;
    } cases[] = {
        {ARPHRD_ETHER, false, CORE_IFTYPE_ETHERNET},    {ARPHRD_ETHER, true, CORE_IFTYPE_WIRELESS},
        {ARPHRD_IEEE80211, false, CORE_IFTYPE_WIRELESS}, {ARPHRD_LOOPBACK, false, CORE_IFTYPE_LOOPBACK},
        {ARPHRD_PPP, false, CORE_IFTYPE_PPP},            {ARPHRD_IEEE802_TR, false, CORE_IFTYPE_TOKEN_RING},
        {ARPHRD_FDDI, false, CORE_IFTYPE_FDDI},          {ARPHRD_NONE, false, CORE_IFTYPE_OTHER},
        {ARPHRD_IPGRE, false, CORE_IFTYPE_OTHER},
    };
    for (const auto &c : cases) EXPECT_EQ(core_adapter_iftype(c.arphrd, c.wireless), c.iftype) << c.arphrd;
}

// What `ip -j addr` says one adapter record must hold.
struct Expected {
    std::string name;
    bool loopback = false;
    uint32_t address = 0;
    uint32_t mask = 0;
    uint8_t hardware[6] = {};
    uint32_t flags = 0;
};

std::vector<Expected> expected_from_ip()
{
    std::vector<Expected> out;
    FILE *p = popen("ip -j addr 2>/dev/null", "r");
    if (p == nullptr) return out;
    std::string json;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), p)) > 0;) json.append(chunk, got);
    if (pclose(p) != 0) return out;
    cJSON *root = cJSON_Parse(json.c_str());
    cJSON *link = nullptr;
    cJSON_ArrayForEach(link, root)
    {
        Expected e;
        e.name = cJSON_GetStringValue(cJSON_GetObjectItem(link, "ifname"));
        std::string type = cJSON_GetStringValue(cJSON_GetObjectItem(link, "link_type")) ?: "";
        std::string oper = cJSON_GetStringValue(cJSON_GetObjectItem(link, "operstate")) ?: "";
        bool up = false;
        cJSON *flag = nullptr;
        cJSON_ArrayForEach(flag, cJSON_GetObjectItem(link, "flags")) up |= strcmp(flag->valuestring, "UP") == 0;
        // The kernel's "running": administratively up and operationally up
        // (or a driver that does not report an operational state).
        bool running = up && (oper == "UP" || oper == "UNKNOWN");
        const char *mac = cJSON_GetStringValue(cJSON_GetObjectItem(link, "address"));
        unsigned b[6] = {};
        if (mac != nullptr && sscanf(mac, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6)
            for (int i = 0; i < 6; ++i) e.hardware[i] = static_cast<uint8_t>(b[i]);
        cJSON *info = nullptr;
        cJSON_ArrayForEach(info, cJSON_GetObjectItem(link, "addr_info"))
        {
            if (strcmp(cJSON_GetStringValue(cJSON_GetObjectItem(info, "family")) ?: "", "inet") != 0) continue;
            if (running) {
                e.address = ipv4(cJSON_GetStringValue(cJSON_GetObjectItem(info, "local")));
                int prefix = cJSON_GetObjectItem(info, "prefixlen")->valueint;
                e.mask = htonl(prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix));
            }
            break;
        }
        e.loopback = type == "loopback";
        if (e.address != 0) e.flags |= CORE_ADAPTER_HAS_IPV4;
        for (uint8_t x : e.hardware)
            if (x != 0) e.flags |= CORE_ADAPTER_HAS_MAC;
        if (e.loopback) e.flags |= CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
        if (type == "ether" || type == "ieee802.11" || type == "fddi" || type == "tr") e.flags |= CORE_ADAPTER_LAN;
        if (type == "ppp") e.flags |= CORE_ADAPTER_PPP;
        out.push_back(e);
    }
    cJSON_Delete(root);
    return out;
}

void expect_same(const CoreNetAdapter &got, const Expected &want)
{
    SCOPED_TRACE(want.name);
    EXPECT_STREQ(got.description, want.name.c_str());
    EXPECT_EQ(got.id, name_as_id(want.name));
    EXPECT_EQ(got.flags, want.flags);
    EXPECT_EQ(got.address.address, want.address);
    EXPECT_EQ(got.mask.address, want.mask);
    EXPECT_EQ(got.broadcast, ~want.mask | want.address);
    EXPECT_EQ(got.address.port, 0);
    EXPECT_EQ(memcmp(got.hardware, want.hardware, 6), 0);
}

TEST(NetAdapters, AgreeWithIpAddr)
{
    std::vector<Expected> all = expected_from_ip();
    if (all.empty()) GTEST_SKIP() << "`ip -j addr` is not available";

    std::vector<Expected> without_loopback;
    for (const Expected &e : all)
        if (!e.loopback) without_loopback.push_back(e);
    std::vector<CoreNetAdapter> got = list_adapters(0);
    ASSERT_EQ(got.size(), without_loopback.size()) << "the loopback interface is left out unless required";
    for (size_t i = 0; i < got.size(); ++i) expect_same(got[i], without_loopback[i]);

    std::vector<CoreNetAdapter> loopback = list_adapters(CORE_ADAPTER_LOOPBACK);
    for (const CoreNetAdapter &a : loopback) EXPECT_TRUE(a.flags & CORE_ADAPTER_LOOPBACK);
    for (const Expected &e : all)
        if (e.loopback) {
            ASSERT_FALSE(loopback.empty());
            expect_same(loopback.front(), e);
            break;
        }

    for (const CoreNetAdapter &a : list_adapters(CORE_ADAPTER_HAS_IPV4))
        EXPECT_EQ(a.flags & CORE_ADAPTER_HAS_IPV4, uint32_t(CORE_ADAPTER_HAS_IPV4)) << a.description;
}

#else  // ADAPTERS_TEST_NETNS

bool run(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A namespace of the test's own, removed (with its links) however the test ends.
struct Namespace {
    std::string name = "vtn-adapters-" + std::to_string(getpid());
    bool created = false;
    Namespace()
    {
        run("ip netns del " + name);
        created = run("ip netns add " + name);
    }
    ~Namespace()
    {
        if (created) run("ip netns del " + name);
    }
    bool ip(const std::string &args) const { return run("ip -n " + name + " " + args); }
};

// core_net_adapters reads the namespace of the calling thread, so a child
// process enters the test's namespace, lists the adapters and writes the
// records back through a pipe. It retries until the up veth is running:
// the kernel reports carrier a moment after the link is set up.
std::vector<CoreNetAdapter> list_in_namespace(const Namespace &ns, uint32_t required, const char *wait_for)
{
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        int netns = open(("/run/netns/" + ns.name).c_str(), O_RDONLY | O_CLOEXEC);
        if (netns < 0 || setns(netns, CLONE_NEWNET) != 0) _exit(2);
        uint64_t deadline = core_clock_mono_ms() + 5000;
        for (;;) {
            CoreNetAdapter *chain = nullptr;
            if (core_net_adapters(&chain, required) != CORE_OK) _exit(3);
            bool ready = wait_for == nullptr;
            for (CoreNetAdapter *a = chain; a != nullptr; a = a->next)
                if (wait_for != nullptr && strcmp(a->description, wait_for) == 0 && (a->flags & CORE_ADAPTER_HAS_IPV4))
                    ready = true;
            if (ready || core_clock_mono_ms() > deadline) {
                for (CoreNetAdapter *a = chain; a != nullptr; a = a->next)
                    if (write(fds[1], a, sizeof(*a)) != sizeof(*a)) _exit(4);
                core_net_adapters_free(&chain);
                _exit(0);
            }
            core_net_adapters_free(&chain);
            core_sleep_ms(50);
        }
    }
    close(fds[1]);
    std::vector<CoreNetAdapter> out;
    CoreNetAdapter record;
    while (read(fds[0], &record, sizeof(record)) == sizeof(record)) {
        record.next = nullptr;
        out.push_back(record);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return out;
}

const CoreNetAdapter *find(const std::vector<CoreNetAdapter> &list, const char *name)
{
    for (const CoreNetAdapter &a : list)
        if (strcmp(a.description, name) == 0) return &a;
    return nullptr;
}

TEST(NetAdaptersNamespace, VethUpAndDownAndLoopback)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and veth links";
    Namespace ns;
    if (!ns.created) GTEST_SKIP() << "cannot create a network namespace (ip netns add failed)";
    // va0 is up and running. vc0 is up but has no carrier (its peer vd0 is
    // down), like an unplugged cable; vd0 is down. Both keep their addresses.
    ASSERT_TRUE(ns.ip("link add va0 type veth peer name vb0"));
    ASSERT_TRUE(ns.ip("link add vc0 type veth peer name vd0"));
    ASSERT_TRUE(ns.ip("addr add 192.0.2.20/24 dev va0"));
    ASSERT_TRUE(ns.ip("addr add 192.0.2.30/24 dev vc0"));
    ASSERT_TRUE(ns.ip("addr add 192.0.2.40/24 dev vd0"));
    ASSERT_TRUE(ns.ip("link set va0 up"));
    ASSERT_TRUE(ns.ip("link set vb0 up"));
    ASSERT_TRUE(ns.ip("link set vc0 up"));
    ASSERT_TRUE(ns.ip("link set lo up"));

    std::vector<CoreNetAdapter> all = list_in_namespace(ns, 0, "va0");
    ASSERT_EQ(all.size(), 4u) << "va0, vb0, vc0, vd0; no loopback";
    EXPECT_EQ(find(all, "lo"), nullptr);

    const CoreNetAdapter *up = find(all, "va0");
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(up->flags, uint32_t(CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_HAS_MAC | CORE_ADAPTER_LAN));
    EXPECT_EQ(up->address.address, ipv4("192.0.2.20"));
    EXPECT_EQ(up->mask.address, ipv4("255.255.255.0"));
    EXPECT_EQ(up->broadcast, ipv4("192.0.2.255"));
    EXPECT_EQ(up->id, name_as_id("va0"));

    for (const char *name : {"vc0", "vd0"}) {
        const CoreNetAdapter *idle = find(all, name);
        ASSERT_NE(idle, nullptr) << name;
        EXPECT_EQ(idle->flags, uint32_t(CORE_ADAPTER_HAS_MAC | CORE_ADAPTER_LAN)) << name << ": not running, no IPv4";
        EXPECT_EQ(idle->address.address, 0u) << name;
    }

    std::vector<CoreNetAdapter> with_ipv4 = list_in_namespace(ns, CORE_ADAPTER_HAS_IPV4, nullptr);
    ASSERT_EQ(with_ipv4.size(), 1u);
    EXPECT_STREQ(with_ipv4[0].description, "va0");

    std::vector<CoreNetAdapter> loopback = list_in_namespace(ns, CORE_ADAPTER_LOOPBACK, nullptr);
    ASSERT_EQ(loopback.size(), 1u);
    EXPECT_STREQ(loopback[0].description, "lo");
    EXPECT_EQ(loopback[0].flags, uint32_t(CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LAN | CORE_ADAPTER_LOOPBACK));
    EXPECT_EQ(loopback[0].address.address, ipv4("127.0.0.1"));
}

#endif  // ADAPTERS_TEST_NETNS

}  // namespace
