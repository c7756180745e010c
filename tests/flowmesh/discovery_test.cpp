// Discovery and the handshake with two handshake contexts in one process:
// engines with fixed adapter lists on addresses of 127.0.0.0/8, whose
// "broadcast" address is the unicast 127.0.0.1, so that nothing here is
// broadcast from the machine's own namespace. A scripted node made of
// plain sockets and its own NetcryptoNode plays the peer where a test needs
// to hold the handshake back. Expiry and resends run on the test clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/system.h"
#include "flowmesh/direct.h"
#include "flowmesh/discovery.h"
#include "flowmesh/engine_support.h"
#include "flowmesh/handshake.h"
#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/key_message.h"

namespace {

uint32_t loopback(uint8_t last) { return htonl(0x7F000000u | last); }

// Real time: the test clock moves core_clock_mono_ms.
template <typename Done>
bool real_wait(Done done, uint32_t ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The peer callback's reports.
struct PeerEvents {
    struct Event {
        uint32_t code;
        uint32_t value;
        CoreUdpAddr address;
        FlowmeshKeyBlob key;
    };
    std::mutex mutex;
    std::vector<Event> events;

    static int on_peer(const CoreName *, uint32_t code, uint32_t value, const void *data, uint64_t length, void *user)
    {
        auto *self = static_cast<PeerEvents *>(user);
        Event e = {code, value, {}, {}};
        if ((code == FLOWMESH_PEER_APPEARED || code == FLOWMESH_PEER_READY) && length >= sizeof(FlowmeshPeerRecord)) {
            const auto *record = static_cast<const FlowmeshPeerRecord *>(data);
            e.address = {record->address, record->port};
            if (code == FLOWMESH_PEER_READY) e.key = static_cast<const FlowmeshPeerReadyRecord *>(data)->key;
        } else if (code == FLOWMESH_PEER_GONE && length == 6) {
            memcpy(&e.address.address, data, 4);
            memcpy(&e.address.port, static_cast<const uint8_t *>(data) + 4, 2);
        }
        std::lock_guard<std::mutex> guard(self->mutex);
        self->events.push_back(e);
        return 0;
    }

    // The first event of `code` for `address`, if any.
    bool find(uint32_t code, CoreUdpAddr address, Event *out = nullptr)
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const Event &e : events)
            if (e.code == code && e.address.address == address.address && e.address.port == address.port) {
                if (out != nullptr) *out = e;
                return true;
            }
        return false;
    }
};

// Each test process takes its own eight discovery ports and its own system
// name, so runs on one machine cannot pair up.
// Announcements go to eight ports from here on 127.0.0.1, where every
// socket bound to the wildcard address hears them: stay below the kernel's
// ephemeral range (32768 up) so no other suite's socket sits on them.
uint16_t base_port() { return static_cast<uint16_t>(20000 + (getpid() % 600) * 20); }

class DiscoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (EVP_PKEY *&key : keys_) key = core_rsa_generate();
    }
    static void TearDownTestSuite()
    {
        for (EVP_PKEY *&key : keys_) EVP_PKEY_free(key);
    }

    void SetUp() override
    {
        for (EVP_PKEY *key : keys_) ASSERT_NE(key, nullptr);
        ASSERT_EQ(core_system_start(0), CORE_OK);
        abandoned_before_ = core_thread_abandoned_count();
        core_name_format(&system_name_, "discovery.test.%d", getpid());
    }

    void TearDown() override
    {
        refs_.clear();
        for (uint64_t handle : engines_) flowmesh_engine_close(handle);
        for (int fd : sockets_) close(fd);
        EXPECT_EQ(core_thread_abandoned_count(), abandoned_before_);
        core_system_stop();
    }

    // An engine on 127.0.0.`last` alone; its one adapter instance.
    FlowmeshAdapterInstance *engine(uint8_t last, uint32_t mode, uint32_t key_options, PeerEvents *events, int key)
    {
        FlowmeshEngineConfig config = {};
        FlowmeshConfig &c = config.configuration;
        c.base_port = base_port();
        c.adapter_index = -1;
        c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_FIXED_ADAPTERS | mode;
        c.key_options = key_options;
        c.announce_mode = 1;
        c.rsa_key = keys_[key];
        c.system_name = system_name_;
        core_name_format(&c.user_id, "user.%u", last);
        CoreNetAdapter &lo = c.adapters[0];
        lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
        lo.address = {loopback(last), 0};
        lo.mask = {htonl(0xFF000000u), 0};
        lo.broadcast = loopback(1);
        snprintf(lo.id, sizeof(lo.id), "6C6F%02X", last);
        snprintf(lo.description, sizeof(lo.description), "lo");
        config.peer = PeerEvents::on_peer;
        config.user = events;
        const uint64_t handle = flowmesh_engine_create(&config);
        if (handle == 0) return nullptr;
        engines_.push_back(handle);
        refs_.push_back(std::make_unique<EngineRef>(handle));
        for (FlowmeshAdapterInstance *instance : refs_.back()->instances())
            if (instance->adapter.address.address == loopback(last)) return instance;
        return nullptr;
    }

    int socket_at(uint8_t last, CoreUdpAddr *bound)
    {
        const int fd = udp_socket(loopback(last), bound, 1 << 20);
        if (fd >= 0) sockets_.push_back(fd);
        return fd;
    }

    static EVP_PKEY *keys_[3];
    CoreName system_name_;
    std::vector<uint64_t> engines_;
    std::vector<std::unique_ptr<EngineRef>> refs_;
    std::vector<int> sockets_;
    uint64_t abandoned_before_ = 0;
};
EVP_PKEY *DiscoveryTest::keys_[3] = {};

// Receives datagrams of `length` bytes on `fd` (others are skipped) until
// one arrives or `ms` pass.
bool receive_sized(int fd, uint64_t length, std::vector<uint8_t> *out, uint32_t ms, CoreUdpAddr *from = nullptr)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t buffer[2048];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        sockaddr_in sa = {};
        socklen_t sa_length = sizeof(sa);
        const ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&sa), &sa_length);
        if (n != static_cast<ssize_t>(length)) continue;
        if (out != nullptr) out->assign(buffer, buffer + n);
        if (from != nullptr) *from = {sa.sin_addr.s_addr, sa.sin_port};
        return true;
    }
    return false;
}

void drain_socket(int fd)
{
    uint8_t buffer[2048];
    while (recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
}

TEST(DiscoveryRules, AnnounceIntervalPerMode)
{
    struct Case {
        uint32_t mode;
        uint64_t r;
        uint32_t ms;
    } cases[] = {
        {1, 0, 500},   {1, 100, 1500},  {1, 101, 500},  {1, 50, 1000},
        {2, 0, 1000},  {2, 200, 3000},  {2, 201, 1000},
        {3, 0, 1500},  {3, 350, 5000},  {3, 351, 1500}, {3, UINT64_MAX, 1500 + 10 * (UINT64_MAX % 351)},
        {0, 77, 500},  {4, 77, 500},    {255, 0, 500},
    };
    for (const Case &c : cases)
        EXPECT_EQ(flowmesh_announce_interval_ms(c.mode, c.r), c.ms) << "mode " << c.mode << " r " << c.r;
}

// Both handshake contexts run here: the engine on 127.0.0.3 has the greater
// identity and sends the key, the one on 127.0.0.2 receives it; both report
// the other ready with one key whose length follows both key options.
TEST_F(DiscoveryTest, TwoEnginesFindEachOtherAndAgreeOneKey)
{
    struct Case {
        uint32_t options_low, options_high;
        uint64_t key_length;
        uint32_t kind;
    } cases[] = {
        {3, 3, 32, NETCRYPTO_KEY_KIND_AES256},
        {3, 1, 16, NETCRYPTO_KEY_KIND_AES128},
        {1, 3, 16, NETCRYPTO_KEY_KIND_AES128},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("key options " + std::to_string(c.options_low) + "/" + std::to_string(c.options_high));
        PeerEvents low_events, high_events;
        FlowmeshAdapterInstance *low = engine(2, FLOWMESH_MODE_LAN, c.options_low, &low_events, 0);
        FlowmeshAdapterInstance *high = engine(3, FLOWMESH_MODE_LAN, c.options_high, &high_events, 1);
        ASSERT_NE(low, nullptr);
        ASSERT_NE(high, nullptr);
        // Instances on one machine take successive discovery ports.
        EXPECT_EQ(ntohs(low->listen_port), base_port());
        EXPECT_EQ(ntohs(high->listen_port), base_port() + 1);

        const CoreUdpAddr low_data = low->adapter.address, high_data = high->adapter.address;
        PeerEvents::Event at_low = {}, at_high = {};
        ASSERT_TRUE(real_wait([&] {
            return low_events.find(FLOWMESH_PEER_READY, high_data, &at_low) &&
                   high_events.find(FLOWMESH_PEER_READY, low_data, &at_high);
        }));
        EXPECT_TRUE(low_events.find(FLOWMESH_PEER_APPEARED, high_data));
        EXPECT_TRUE(high_events.find(FLOWMESH_PEER_APPEARED, low_data));
        EXPECT_EQ(at_low.value, 1u) << "the smaller identity receives the key";
        EXPECT_EQ(at_high.value, 0u);
        EXPECT_EQ(at_low.key.kind, c.kind);
        EXPECT_EQ(at_low.key.length, c.key_length);
        ASSERT_EQ(at_high.key.length, c.key_length);
        EXPECT_EQ(memcmp(at_low.key.key, at_high.key.key, c.key_length), 0);

        // Confirming marks the node connected: it gets no more identity
        // blocks.
        FlowmeshPeer *peer = flowmesh_peer_find(high, &low_data);
        ASSERT_NE(peer, nullptr);
        const uint8_t *low_announcement = peer->broadcast_identity.key;
        EXPECT_EQ(memcmp(low_announcement, low->node.broadcast_identity, NETCRYPTO_ANNOUNCEMENT_SIZE), 0);
        EXPECT_EQ(flowmesh_engine_confirm_peer(engines_.back(), peer->identity.key), CORE_OK);
        FlowmeshDiscoveredNode *node = flowmesh_discovery_find(high, low_announcement);
        ASSERT_NE(node, nullptr);
        EXPECT_TRUE(node->flags.load() & FLOWMESH_NODE_CONNECTED);
        flowmesh_discovery_release(high);
        flowmesh_peer_release(high);

        const FlowmeshDiscoveryCounters counters = flowmesh_discovery_counters(high);
        EXPECT_GT(counters.announcements_sent, 0u);
        EXPECT_EQ(counters.identity_blocks_refused + counters.key_messages_refused, 0u);
        refs_.clear();
        for (uint64_t handle : engines_) flowmesh_engine_close(handle);
        engines_.clear();
    }
}

// A 32-byte announcement counts only when it is the identity of the address
// it comes from; the instance's own is recognised and ignored.
TEST_F(DiscoveryTest, AnnouncementsAreJudgedByTheirSource)
{
    PeerEvents events;
    FlowmeshAdapterInstance *instance = engine(3, FLOWMESH_MODE_LAN, 3, &events, 0);
    ASSERT_NE(instance, nullptr);
    const CoreUdpAddr source = {loopback(9), htons(41000)};
    const CoreUdpAddr elsewhere = {loopback(9), htons(41001)};
    uint8_t valid[NETCRYPTO_ANNOUNCEMENT_SIZE + 1] = {};
    netcrypto_broadcast_identity(&source, valid);
    struct Case {
        const char *purpose;
        const uint8_t *data;
        uint64_t length;
        CoreUdpAddr from;
        CoreResult result;
        bool known_after;
    } cases[] = {
        {"33 bytes", valid, 33, source, CORE_ERR, false},
        {"31 bytes", valid, 31, source, CORE_ERR, false},
        {"another source's identity", valid, 32, elsewhere, CORE_ERR, false},
        {"its own announcement", instance->node.broadcast_identity, 32, instance->discovery_address, CORE_DONE, false},
        {"a node", valid, 32, source, CORE_OK, true},
        {"the node again", valid, 32, source, CORE_OK, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(flowmesh_discovery_on_announce(instance, &c.from, c.data, c.length), c.result) << c.purpose;
        FlowmeshDiscoveredNode *node = flowmesh_discovery_find(instance, c.data);
        EXPECT_EQ(node != nullptr, c.known_after) << c.purpose;
        if (node != nullptr) {
            EXPECT_EQ(node->address.port, source.port) << c.purpose;
            flowmesh_discovery_release(instance);
        }
    }
    EXPECT_EQ(flowmesh_discovery_find(instance, instance->node.broadcast_identity), nullptr);
    EXPECT_GE(flowmesh_discovery_counters(instance).announcements_refused, 3u);
}

// A node that announces but never answers: it gets identity blocks, then
// (after 5 s) announcements to its own address; the expiry pass after 60 s
// deletes it, not the one after 30 s; its next announcement makes it anew.
TEST_F(DiscoveryTest, AnUnansweredNodeExpiresAndComesBackWithTheTestClock)
{
    PeerEvents events;
    FlowmeshAdapterInstance *instance = engine(3, FLOWMESH_MODE_LAN, 3, &events, 0);
    ASSERT_NE(instance, nullptr);
    CoreUdpAddr node_address;
    const int fd = socket_at(4, &node_address);
    ASSERT_GE(fd, 0);
    uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE];
    netcrypto_broadcast_identity(&node_address, announcement);
    const CoreUdpAddr listen = {loopback(3), instance->listen_port};
    auto known = [&] {
        FlowmeshDiscoveredNode *node = flowmesh_discovery_find(instance, announcement);
        if (node != nullptr) flowmesh_discovery_release(instance);
        return node != nullptr;
    };
    auto passes = [&] { return flowmesh_discovery_counters(instance).expiry_passes; };

    ASSERT_TRUE(send_raw(fd, listen, announcement, sizeof(announcement)));
    ASSERT_TRUE(real_wait(known));
    std::vector<uint8_t> block;
    CoreUdpAddr from;
    ASSERT_TRUE(receive_sized(fd, NETCRYPTO_IDENTITY_BLOCK_SIZE, &block, 5000, &from));
    EXPECT_EQ(memcmp(block.data(), instance->discovery_block, block.size()), 0);
    EXPECT_EQ(from.port, instance->adapter.address.port) << "identity blocks leave a data socket";

    uint64_t before = passes();
    core_clock_test_advance_ms(31000);
    ASSERT_TRUE(real_wait([&] { return passes() > before; }));
    EXPECT_TRUE(known()) << "30 s after first contact";
    std::vector<uint8_t> unicast;
    ASSERT_TRUE(receive_sized(fd, NETCRYPTO_ANNOUNCEMENT_SIZE, &unicast, 5000, &from));
    EXPECT_EQ(memcmp(unicast.data(), instance->node.broadcast_identity, unicast.size()), 0);
    EXPECT_EQ(from.port, instance->discovery_address.port);

    before = passes();
    core_clock_test_advance_ms(30000);
    ASSERT_TRUE(real_wait([&] { return passes() > before; }));
    EXPECT_FALSE(known()) << "61 s after first contact";
    EXPECT_EQ(flowmesh_discovery_counters(instance).nodes_expired, 1u);

    ASSERT_TRUE(send_raw(fd, listen, announcement, sizeof(announcement)));
    EXPECT_TRUE(real_wait(known));
}

// A scripted node on 127.0.0.2 (smaller than the engine's 127.0.0.3, so
// the engine sends the key): announcement and identity block from plain
// sockets, a NetcryptoNode of its own to read key messages.
struct ScriptedNode {
    NetcryptoNode node = {};
    CoreUdpAddr announce_address = {}, data_address = {};
    int announce_fd = -1, data_fd = -1;
    uint8_t block[NETCRYPTO_IDENTITY_BLOCK_SIZE] = {};

    bool make(int announce, int data, const CoreName &system_name, EVP_PKEY *key)
    {
        announce_fd = announce;
        data_fd = data;
        node.system_name = system_name;
        core_name_format(&node.user_id, "scripted");
        node.key_options = 3;
        node.adapter_ipv4 = data_address.address;
        node.key = key;
        netcrypto_broadcast_identity(&announce_address, node.broadcast_identity);
        return netcrypto_derive_identity(&data_address, 5, &node.user_id, &node.system_name, &node.first_identity,
                                         &node.first_identity_hash) == CORE_OK &&
               netcrypto_sign_identity(&node, NETCRYPTO_DISCOVERY, block) == CORE_OK;
    }
};

// The key sender repeats its key message when the peer's identity block
// comes again, at most once a second and 16 times in all; the first request
// 20 s or more after the 16th drops the peer.
TEST_F(DiscoveryTest, KeyMessagesStopAfterSixteenAndThePeerGoesTwentySecondsLater)
{
    PeerEvents events;
    FlowmeshAdapterInstance *instance = engine(3, FLOWMESH_MODE_LAN, 3, &events, 0);
    ASSERT_NE(instance, nullptr);
    ScriptedNode scripted;
    const int announce_fd = socket_at(2, &scripted.announce_address);
    const int data_fd = socket_at(2, &scripted.data_address);
    ASSERT_TRUE(announce_fd >= 0 && data_fd >= 0);
    ASSERT_TRUE(scripted.make(announce_fd, data_fd, system_name_, keys_[2]));
    const CoreUdpAddr listen = {loopback(3), instance->listen_port};
    const CoreUdpAddr data = instance->adapter.address;

    ASSERT_TRUE(send_raw(announce_fd, listen, scripted.node.broadcast_identity, NETCRYPTO_ANNOUNCEMENT_SIZE));
    ASSERT_TRUE(real_wait([&] {
        FlowmeshDiscoveredNode *node = flowmesh_discovery_find(instance, scripted.node.broadcast_identity);
        if (node != nullptr) flowmesh_discovery_release(instance);
        return node != nullptr;
    }));
    std::vector<uint8_t> message;
    uint32_t received = 0;
    for (uint32_t request = 1; request <= FLOWMESH_KEY_RESENDS; ++request) {
        ASSERT_TRUE(send_raw(data_fd, instance->discovery_address, scripted.block, sizeof(scripted.block)));
        ASSERT_TRUE(receive_sized(announce_fd, NETCRYPTO_KEY_MESSAGE_SIZE, &message, 5000)) << "request " << request;
        ++received;
        core_clock_test_advance_ms(FLOWMESH_KEY_RESEND_MS + 1);
    }
    EXPECT_EQ(received, FLOWMESH_KEY_RESENDS);

    // The key message is ours to read, with the key the engine reported.
    PeerEvents::Event ready = {};
    ASSERT_TRUE(events.find(FLOWMESH_PEER_READY, scripted.data_address, &ready));
    EXPECT_EQ(ready.value, 0u);
    NetcryptoKeySender sender;
    ASSERT_EQ(netcrypto_open_key_message(&scripted.node, NETCRYPTO_DISCOVERY, &data, message.data(), message.size(),
                                         &sender),
              CORE_OK);
    ASSERT_EQ(sender.key.length, 32u);
    EXPECT_EQ(memcmp(sender.key.key, ready.key.key, 32), 0);

    // A 17th request 10 s after the 16th message is not answered, and does
    // not move the moment the peer is given up.
    drain_socket(announce_fd);
    core_clock_test_advance_ms(FLOWMESH_KEY_GIVE_UP_MS / 2 - FLOWMESH_KEY_RESEND_MS);
    ASSERT_TRUE(send_raw(data_fd, instance->discovery_address, scripted.block, sizeof(scripted.block)));
    EXPECT_FALSE(receive_sized(announce_fd, NETCRYPTO_KEY_MESSAGE_SIZE, nullptr, 1500));
    EXPECT_FALSE(events.find(FLOWMESH_PEER_GONE, scripted.data_address));

    core_clock_test_advance_ms(FLOWMESH_KEY_GIVE_UP_MS / 2);
    ASSERT_TRUE(send_raw(data_fd, instance->discovery_address, scripted.block, sizeof(scripted.block)));
    ASSERT_TRUE(real_wait([&] { return events.find(FLOWMESH_PEER_GONE, scripted.data_address); }));
    EXPECT_EQ(flowmesh_peer_find(instance, &scripted.data_address), nullptr);
    EXPECT_EQ(flowmesh_discovery_counters(instance).key_messages_sent, FLOWMESH_KEY_RESENDS);
}

// The direct form: the node that receives an identity block makes the key
// and keeps the direct key message for the connector; the node that
// receives that message is ready with the same key. A plain socket carries
// both datagrams, as the connector would.
TEST_F(DiscoveryTest, TheDirectFormAgreesOneKeyThroughARelayedBlockAndMessage)
{
    PeerEvents target_events, connecting_events;
    FlowmeshAdapterInstance *target = engine(2, FLOWMESH_MODE_DIRECT, 3, &target_events, 0);
    FlowmeshAdapterInstance *connecting = engine(3, FLOWMESH_MODE_DIRECT, 3, &connecting_events, 1);
    ASSERT_NE(target, nullptr);
    ASSERT_NE(connecting, nullptr);
    CoreUdpAddr relay;
    const int fd = socket_at(4, &relay);
    ASSERT_GE(fd, 0);

    ASSERT_TRUE(send_raw(fd, target->adapter.address, connecting->direct_block, NETCRYPTO_IDENTITY_BLOCK_SIZE));
    PeerEvents::Event made = {};
    ASSERT_TRUE(real_wait([&] { return target_events.find(FLOWMESH_PEER_READY, relay, &made); }));
    EXPECT_EQ(made.value, 0u) << "the target makes the key";
    EXPECT_EQ(made.key.length, 32u);
    FlowmeshPeer *peer = flowmesh_peer_find(target, &relay);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(peer->direct_key_message_length, NETCRYPTO_KEY_MESSAGE_SIZE);
    std::vector<uint8_t> message(peer->direct_key_message, peer->direct_key_message + NETCRYPTO_KEY_MESSAGE_SIZE);
    flowmesh_peer_release(target);

    // A key message is taken only while connecting, from the connect target.
    ASSERT_EQ(flowmesh_engine_connect(engines_[1], &relay), CORE_OK);
    ASSERT_TRUE(real_wait([&] { return refs_[1]->engine->connect_state.load() == FLOWMESH_CONNECT_CONNECTING; }));
    ASSERT_TRUE(send_raw(fd, connecting->adapter.address, message.data(), message.size()));
    PeerEvents::Event taken = {};
    ASSERT_TRUE(real_wait([&] { return connecting_events.find(FLOWMESH_PEER_READY, relay, &taken); }));
    EXPECT_EQ(taken.value, 1u);
    ASSERT_EQ(taken.key.length, 32u);
    EXPECT_EQ(memcmp(taken.key.key, made.key.key, 32), 0);

    // 558 bytes from an unknown sender that are no identity block make
    // nothing and are counted.
    std::vector<uint8_t> junk(NETCRYPTO_IDENTITY_BLOCK_SIZE, 0x5A);
    CoreUdpAddr stranger;
    const int other = socket_at(5, &stranger);
    ASSERT_TRUE(send_raw(other, target->adapter.address, junk.data(), junk.size()));
    ASSERT_TRUE(real_wait([&] { return flowmesh_discovery_counters(target).identity_blocks_refused == 1; }));
    EXPECT_FALSE(target_events.find(FLOWMESH_PEER_APPEARED, stranger));
}

}  // namespace
