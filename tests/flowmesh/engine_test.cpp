// The engine manager's rules (send errors, required flags, adapter
// acceptance, refused configurations) and one adapter instance on
// 127.0.0.1 from a fixed adapter list: its sockets, the receive path from
// ring to peer queue, and sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <netinet/ip.h>

#include "core/crypto.h"
#include "core/system.h"
#include "flowmesh/core.h"
#include "flowmesh/engine_support.h"

namespace {

// ---- pure rules ----

TEST(EngineRules, SendErrorsThatDoNotMeanALostLink)
{
    struct Case {
        int error;
        bool tolerated;
    } cases[] = {
        {EAGAIN, true},         {ENOBUFS, true},       {EHOSTDOWN, true},     {EHOSTUNREACH, true},
        {EPERM, true},  // a firewall rule dropping output
        {ECONNRESET, false},    {ENETDOWN, false},     {ENETUNREACH, false},  {EBADF, false},
        {EMSGSIZE, false},      {EACCES, false},
    };
    for (const Case &c : cases) EXPECT_EQ(flowmesh_send_error_tolerated(c.error), c.tolerated) << strerror(c.error);
}

FlowmeshConfig rules_config(uint32_t flags)
{
    FlowmeshConfig config = {};
    config.base_port = 45000;
    config.adapter_index = -1;
    config.flags = flags;
    return config;
}

void allow(FlowmeshConfig *config, int slot, const char *id, uint32_t flags = 0)
{
    snprintf(config->adapters[slot].id, sizeof(config->adapters[slot].id), "%s", id);
    config->adapters[slot].flags = flags;
}

TEST(EngineRules, RequiredAdapterFlags)
{
    const uint32_t lan = FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN;
    const uint32_t direct = FLOWMESH_ROLE_KEY | FLOWMESH_MODE_DIRECT;
    struct Case {
        const char *purpose;
        uint32_t flags;
        int32_t index;
        const char *loopback_record;  // allow-list record with the loopback flag; "" for an empty slot
        uint32_t expected;
    } cases[] = {
        {"LAN discovery wants a LAN adapter", lan, -1, nullptr, 0x4D},
        {"direct mode does not", direct, -1, nullptr, 0x0D},
        {"an adapter index admits loopback", lan, 2, nullptr, 0x6D},
        {"a loopback record admits loopback", lan, -1, "LO", 0x6D},
        {"an empty slot's flags do not count", direct, -1, "", 0x0D},
    };
    for (const Case &c : cases) {
        FlowmeshConfig config = rules_config(c.flags);
        config.adapter_index = c.index;
        if (c.loopback_record != nullptr) allow(&config, 3, c.loopback_record, CORE_ADAPTER_LOOPBACK);
        EXPECT_EQ(flowmesh_engine_required_flags(&config), c.expected) << c.purpose;
    }
}

TEST(EngineRules, AdapterAcceptance)
{
    struct Case {
        const char *purpose;
        int32_t index;
        const char *allowed;  // nullptr: empty allow-list
        uint32_t position;
        const char *id;
        bool accepted;
    } cases[] = {
        {"index 2 takes the third adapter", 2, "ETH0", 2, "WHATEVER", true},
        {"index 2 refuses the others, named or not", 2, "ETH0", 0, "ETH0", false},
        {"an empty allow-list takes every adapter", -1, nullptr, 5, "ANY", true},
        {"an exact id is accepted", -1, "6574683000", 0, "6574683000", true},
        {"a configured id that goes on past the adapter's is accepted", -1, "65746830FF", 0, "65746830", true},
        {"a configured id shorter than the adapter's is refused", -1, "657468", 0, "65746830", false},
        {"another id is refused", -1, "6574683100", 0, "6574683000", false},
        {"an adapter without an id matches nothing", -1, "6574683000", 0, "", false},
    };
    for (const Case &c : cases) {
        FlowmeshConfig config = rules_config(FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN);
        config.adapter_index = c.index;
        if (c.allowed != nullptr) allow(&config, 7, c.allowed);
        EXPECT_EQ(flowmesh_adapter_accept(&config, c.position, c.id), c.accepted) << c.purpose;
    }
}

// ---- engines on 127.0.0.1 ----

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key_ = core_rsa_generate(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key_); }

    void SetUp() override
    {
        ASSERT_NE(key_, nullptr);
        ASSERT_EQ(core_system_start(0), CORE_OK);
        abandoned_before_ = core_thread_abandoned_count();
    }

    void TearDown() override
    {
        for (uint64_t handle : engines_) flowmesh_engine_close(handle);
        flowmesh_engine_test_set_timing(nullptr);
        EXPECT_EQ(core_thread_abandoned_count(), abandoned_before_);
        core_system_stop();
    }

    // A fixed adapter list of one loopback adapter, ready to create.
    FlowmeshEngineConfig loopback_config(uint32_t mode = FLOWMESH_MODE_LAN, uint16_t port = 0)
    {
        FlowmeshEngineConfig config = {};
        FlowmeshConfig &c = config.configuration;
        c.base_port = 45000;
        c.second_port = port;
        c.adapter_index = -1;
        c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_FIXED_ADAPTERS | mode;
        c.key_options = FLOWMESH_KEYS_128 | FLOWMESH_KEYS_256;
        c.announce_mode = 1;
        c.rsa_key = key_;
        core_name_format(&c.system_name, "engine.test");
        core_name_format(&c.user_id, "engine.user");
        CoreNetAdapter &lo = c.adapters[0];
        lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
        lo.address = {kLoopback, port != 0 ? htons(port) : uint16_t{0}};
        lo.mask = {htonl(0xFF000000u), 0};
        // No broadcast address: these engines run in the machine's own
        // namespace, where LAN discovery must not announce.
        lo.broadcast = 0;
        snprintf(lo.id, sizeof(lo.id), "%s", "6C6F");
        snprintf(lo.description, sizeof(lo.description), "%s", "lo");
        recorder_.fill(&config);
        return config;
    }

    uint64_t create(const FlowmeshEngineConfig &config)
    {
        const uint64_t handle = flowmesh_engine_create(&config);
        if (handle != 0) engines_.push_back(handle);
        return handle;
    }

    void close_all()
    {
        for (uint64_t handle : engines_) flowmesh_engine_close(handle);
        engines_.clear();
    }

    static EVP_PKEY *key_;
    EngineRecorder recorder_;
    std::vector<uint64_t> engines_;
    uint64_t abandoned_before_ = 0;
};
EVP_PKEY *EngineTest::key_ = nullptr;

TEST_F(EngineTest, CreationRefusesBadConfigurations)
{
    struct Case {
        const char *purpose;
        uint32_t flags;
        uint16_t base_port;
        uint16_t second_port;
        bool created;
    } cases[] = {
        {"LAN discovery on base port 1023", FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN, 1023, 0, false},
        {"LAN discovery on base port 1024", FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN, 1024, 0, true},
        {"discovery ports past 65535", FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN, 65530, 0, false},
        {"second port 80", FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN, 45000, 80, false},
        {"direct mode ignores the base port", FLOWMESH_ROLE_IDENTITY | FLOWMESH_MODE_DIRECT, 80, 0, true},
        {"both modes", FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN | FLOWMESH_MODE_DIRECT, 45000, 0, false},
        {"neither mode", FLOWMESH_ROLE_KEY, 45000, 0, false},
        {"no role", FLOWMESH_MODE_LAN, 45000, 0, false},
    };
    for (const Case &c : cases) {
        FlowmeshEngineConfig config = loopback_config();
        config.configuration.flags = c.flags | FLOWMESH_FIXED_ADAPTERS;
        config.configuration.base_port = c.base_port;
        config.configuration.second_port = c.second_port;
        EXPECT_EQ(create(config) != 0, c.created) << c.purpose;
        close_all();
    }

    // No adapter with the LAN flag in LAN discovery mode: nothing to run on.
    FlowmeshEngineConfig config = loopback_config();
    config.configuration.adapters[0].flags &= ~CORE_ADAPTER_LAN;
    EXPECT_EQ(create(config), 0u);
    // An allow-list that names no adapter of the list.
    config = loopback_config();
    config.configuration.flags &= ~FLOWMESH_FIXED_ADAPTERS;
    allow(&config.configuration, 0, "FFFFFFFFFFFFFFFF", CORE_ADAPTER_LOOPBACK);
    EXPECT_EQ(create(config), 0u);
}

int socket_port(const CoreUdpSocket *s)
{
    sockaddr_in sa = {};
    socklen_t length = sizeof(sa);
    getsockname(s->fd, reinterpret_cast<sockaddr *>(&sa), &length);
    return ntohs(sa.sin_port);
}

TEST_F(EngineTest, FourDataSocketsShareOnePortMarkedForMedia)
{
    const uint64_t handle = create(loopback_config());
    ASSERT_NE(handle, 0u);
    {
        EngineRef ref(handle);
        auto instances = ref.instances();
        ASSERT_EQ(instances.size(), 1u);
        FlowmeshAdapterInstance *instance = instances[0];
        const int port = ntohs(instance->adapter.address.port);
        EXPECT_NE(port, 0);
        for (CoreUdpSocket *s : instance->data) {
            EXPECT_EQ(socket_port(s), port);
            int tos = 0;
            socklen_t length = sizeof(tos);
            ASSERT_EQ(getsockopt(s->fd, IPPROTO_IP, IP_TOS, &tos, &length), 0);
            EXPECT_EQ(tos, 0xBC);
        }
        EXPECT_NE(socket_port(instance->discovery), port);
        const auto started = recorder_.status_copy();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].code, FLOWMESH_ENGINE_ADAPTER_STARTED);
        EXPECT_EQ(started[0].adapter.address.address, kLoopback);
        EXPECT_EQ(ntohs(started[0].adapter.address.port), port);

        // The stop is idempotent: one ADAPTER_STOPPED however often it runs.
        flowmesh_adapter_stop(instance);
        flowmesh_adapter_stop(instance);
        EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_ADAPTER_STOPPED), 1u);
    }
    close_all();
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_ADAPTER_STOPPED), 1u);
}

// The configured data port held by someone else: the four sockets move
// together to one fresh port instead of each to its own, and never join
// another program's reuse-port group.
TEST_F(EngineTest, ATakenDataPortMovesAllFourSocketsToOneFreshPort)
{
    for (bool holder_reuses : {false, true}) {
        CoreUdpAddr held = {};
        int holder = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        if (holder_reuses) setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = kLoopback;
        socklen_t length = sizeof(sa);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
        getsockname(holder, reinterpret_cast<sockaddr *>(&sa), &length);
        held.port = sa.sin_port;
        const uint16_t port = ntohs(held.port);
        ASSERT_GE(port, 1024);

        const uint64_t handle = create(loopback_config(FLOWMESH_MODE_LAN, port));
        ASSERT_NE(handle, 0u) << "holder reuses: " << holder_reuses;
        {
            EngineRef ref(handle);
            FlowmeshAdapterInstance *instance = ref.instances().at(0);
            const int chosen = socket_port(instance->data[0]);
            EXPECT_NE(chosen, port) << "holder reuses: " << holder_reuses;
            for (CoreUdpSocket *s : instance->data) EXPECT_EQ(socket_port(s), chosen);
            EXPECT_EQ(ntohs(instance->adapter.address.port), chosen);
        }
        close_all();
        close(holder);
    }
}

struct LoopbackInstance {
    FlowmeshAdapterInstance *instance;
    CoreUdpAddr data;
};

class EngineReceive : public EngineTest {
protected:
    void start(uint32_t tick_ms = 0)
    {
        FlowmeshEngineTiming timing = {};
        timing.dispatch_tick_ms = tick_ms;
        flowmesh_engine_test_set_timing(&timing);
        handle_ = create(loopback_config());
        ASSERT_NE(handle_, 0u);
        ref_ = std::make_unique<EngineRef>(handle_);
        instance_ = ref_->instances().at(0);
        data_ = instance_->adapter.address;
    }

    int peer_socket(CoreUdpAddr *bound, uint8_t tag)
    {
        int fd = udp_socket(kLoopback, bound);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(seed_peer(instance_, *bound, tag), CORE_OK);
        sockets_.push_back(fd);
        return fd;
    }

    void TearDown() override
    {
        ref_.reset();
        for (int fd : sockets_) close(fd);
        EngineTest::TearDown();
    }

    FlowmeshInstanceCounters counters() { return flowmesh_instance_counters(instance_); }

    uint64_t handle_ = 0;
    std::unique_ptr<EngineRef> ref_;
    FlowmeshAdapterInstance *instance_ = nullptr;
    CoreUdpAddr data_ = {};
    std::vector<int> sockets_;
};

TEST_F(EngineReceive, DatagramsReachThePeerAsRecordsAndBadOnesAreDroppedAndCounted)
{
    start();
    CoreUdpAddr from;
    const int fd = peer_socket(&from, 0x11);
    struct Case {
        const char *purpose;
        size_t length;
        bool delivered;
    } cases[] = {
        {"a small datagram", 16, true},
        {"exactly 1440 bytes, whole", FLOWMESH_DATAGRAM_MAX, true},
        {"1441 bytes: dropped, and the thread lives on", FLOWMESH_DATAGRAM_MAX + 1, false},
        {"an empty datagram", 0, false},
        {"the next datagram after both", 100, true},
    };
    uint32_t sequence = 0;
    uint64_t expected = 0;
    for (const Case &c : cases) {
        ++sequence;
        ASSERT_TRUE(send_numbered(fd, data_, sequence, c.length));
        expected += c.delivered;
        ASSERT_TRUE(engine_wait([&] { return counters().received == sequence; })) << c.purpose;
        ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == expected; })) << c.purpose;
    }
    EXPECT_EQ(recorder_.sequence_of(from.address, from.port), (std::vector<uint32_t>{1, 2, 5}));
    EXPECT_EQ(recorder_.bad_layout.load(), 0u);
    const FlowmeshInstanceCounters c = counters();
    EXPECT_EQ(c.dropped_oversized, 1u);
    EXPECT_EQ(c.dropped_empty, 1u);
    EXPECT_EQ(c.receive_failures, 0u);
    EXPECT_EQ(recorder_.count(FLOWMESH_ENGINE_LINK_DOWN), 0u);

    // A sender with no peer is counted, not delivered.
    CoreUdpAddr stranger;
    const int other = udp_socket(kLoopback, &stranger);
    sockets_.push_back(other);
    ASSERT_TRUE(send_numbered(other, data_, 99));
    ASSERT_TRUE(engine_wait([&] { return counters().unrouted == 1; }));
    EXPECT_EQ(recorder_.delivered.load(), expected);
}

// 31 waiting datagrams wait for the tick (here: never); the 32nd wakes
// the dispatcher at once.
TEST_F(EngineReceive, TheThirtySecondWaitingDatagramWakesTheDispatcher)
{
    start(3'600'000);
    CoreUdpAddr from;
    const int fd = peer_socket(&from, 0x22);
    for (uint32_t i = 0; i < FLOWMESH_RING_WAKE - 1; ++i) ASSERT_TRUE(send_numbered(fd, data_, i));
    // A receive thread counts a datagram before it lands in the ring: wait
    // for the ring itself.
    ASSERT_TRUE(engine_wait([&] { return instance_->ring_count.load() == FLOWMESH_RING_WAKE - 1u; }))
        << "ring " << instance_->ring_count.load() << ", received " << counters().received << ", delivered "
        << recorder_.delivered.load();
    EXPECT_EQ(counters().received, FLOWMESH_RING_WAKE - 1u);
    EXPECT_EQ(counters().dispatched, 0u);

    ASSERT_TRUE(send_numbered(fd, data_, FLOWMESH_RING_WAKE - 1));
    ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == FLOWMESH_RING_WAKE; }));
    std::vector<uint32_t> expected(FLOWMESH_RING_WAKE);
    for (uint32_t i = 0; i < FLOWMESH_RING_WAKE; ++i) expected[i] = i;
    EXPECT_EQ(recorder_.sequence_of(from.address, from.port), expected);
}

// Several senders interleaved in one dispatch batch: each peer gets its
// own datagrams in the order they arrived.
TEST_F(EngineReceive, ABatchOfInterleavedSendersKeepsEachSendersOrder)
{
    start();
    flowmesh_instance_test_hold_dispatch(instance_, true);
    constexpr int kSenders = 5;
    constexpr uint32_t kEach = 40;
    CoreUdpAddr from[kSenders];
    int fds[kSenders];
    for (int s = 0; s < kSenders; ++s) fds[s] = peer_socket(&from[s], static_cast<uint8_t>(0x30 + s));
    for (uint32_t i = 0; i < kEach; ++i)
        for (int s = 0; s < kSenders; ++s) ASSERT_TRUE(send_numbered(fds[s], data_, i));
    ASSERT_TRUE(engine_wait([&] { return counters().received == kSenders * kEach; }));
    flowmesh_instance_test_hold_dispatch(instance_, false);
    ASSERT_TRUE(engine_wait([&] { return recorder_.delivered.load() == kSenders * kEach; }));
    std::vector<uint32_t> expected(kEach);
    for (uint32_t i = 0; i < kEach; ++i) expected[i] = i;
    for (int s = 0; s < kSenders; ++s) EXPECT_EQ(recorder_.sequence_of(from[s].address, from[s].port), expected);
    // All of it went through the dispatcher at once, so the sort had to
    // separate the senders.
    EXPECT_EQ(recorder_.batches.load(), static_cast<uint64_t>(kSenders));
}

TEST_F(EngineReceive, SendsGoToThePeerFromTheDataPort)
{
    start();
    CoreUdpAddr peer;
    const int fd = peer_socket(&peer, 0x44);
    FlowmeshEngineContext context = {core_handle_tables[CORE_HANDLES_NETWORK], handle_};

    uint8_t payload[48] = {1, 2, 3};
    CoreQueueEntry records[8] = {};
    for (CoreQueueEntry &r : records) {
        r.type = peer.address;
        r.flags = peer.port;
        r.length = sizeof(payload);
        r.data = payload;
    }
    const CoreQueueEntry nowhere = {{}, 0, 0, sizeof(payload), payload};
    CoreUdpAddr stranger_address;
    const int stranger = udp_socket(kLoopback, &stranger_address);
    sockets_.push_back(stranger);
    CoreQueueEntry to_stranger = records[0];
    to_stranger.type = stranger_address.address;
    to_stranger.flags = stranger_address.port;
    FlowmeshEngineContext gone = {core_handle_tables[CORE_HANDLES_NETWORK], handle_ + 1000};
    EXPECT_EQ(flowmesh_engine_send(0, records, 0, &context), -1) << "an empty batch";
    EXPECT_EQ(flowmesh_engine_send(0, &nowhere, 1, &context), -1) << "address and port 0";
    EXPECT_EQ(flowmesh_engine_send(0, &to_stranger, 1, &context), -1) << "no instance has that peer";
    EXPECT_EQ(flowmesh_engine_send(0, records, 1, &gone), -1) << "an unknown engine";

    for (int round = 0; round < 2; ++round) ASSERT_EQ(flowmesh_engine_send(0, records, 8, &context), 0);
    // Whatever socket of the four a batch leaves through, the peer sees the
    // one data port.
    for (int i = 0; i < 16; ++i) {
        uint8_t buffer[64];
        sockaddr_in source = {};
        socklen_t length = sizeof(source);
        ASSERT_EQ(recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&source), &length),
                  static_cast<ssize_t>(sizeof(payload)));
        EXPECT_EQ(source.sin_port, data_.port);
        EXPECT_EQ(source.sin_addr.s_addr, data_.address);
    }
    EXPECT_EQ(counters().sent, 16u);
    EXPECT_EQ(instance_->send_rotation.load(), 2u);
}

// Peer marks: confirm finds a peer by identity; disconnect (direct mode
// only) marks it closing, and routing drops it with its next batch (that
// batch may or may not reach the callback: the session is closed).
TEST_F(EngineTest, ConfirmAndDisconnectMarkPeers)
{
    const uint64_t lan = create(loopback_config());
    ASSERT_NE(lan, 0u);
    CoreUdpAddr peer = {kLoopback, htons(40000)};
    uint8_t identity[CORE_NAME_KEY_SIZE];
    memset(identity, 0x55, sizeof(identity));
    {
        EngineRef ref(lan);
        ASSERT_EQ(seed_peer(ref.instances().at(0), peer, 0x55), CORE_OK);
    }
    uint8_t unknown[CORE_NAME_KEY_SIZE] = {};
    EXPECT_EQ(flowmesh_engine_confirm_peer(lan, identity), CORE_OK);
    EXPECT_EQ(flowmesh_engine_confirm_peer(lan, unknown), CORE_DONE);
    EXPECT_EQ(flowmesh_engine_confirm_peer(lan + 1000, identity), CORE_ERR);
    EXPECT_EQ(flowmesh_engine_disconnect(lan, &peer), CORE_ERR_STATE);
    {
        EngineRef ref(lan);
        FlowmeshAdapterInstance *instance = ref.instances().at(0);
        FlowmeshPeer *found = flowmesh_peer_find(instance, &peer);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->flags.load(), FLOWMESH_PEER_CONFIRMED);
        flowmesh_peer_release(instance);
    }
    close_all();

    // Direct mode with the key role: the adapter's instance and the extra
    // one on the any-address, which reports address 0 and its port.
    const uint64_t direct = create(loopback_config(FLOWMESH_MODE_DIRECT));
    ASSERT_NE(direct, 0u);
    EngineRef ref(direct);
    auto instances = ref.instances();
    ASSERT_EQ(instances.size(), 2u);
    FlowmeshAdapterInstance *any = flowmesh_engine_direct_instance(ref.engine);
    ASSERT_NE(any, nullptr);
    core_store_unref(ref.engine->instances);
    EXPECT_EQ(any->adapter.address.address, 0u);
    EXPECT_NE(any->adapter.address.port, 0u);
    bool reported = false;
    for (const auto &s : recorder_.status_copy())
        reported |= s.code == FLOWMESH_ENGINE_ADAPTER_STARTED && s.adapter.address.address == 0 &&
                    s.adapter.address.port == any->adapter.address.port;
    EXPECT_TRUE(reported);

    FlowmeshAdapterInstance *instance = nullptr;
    for (FlowmeshAdapterInstance *i : instances)
        if (i != any) instance = i;
    CoreUdpAddr from;
    const int fd = udp_socket(kLoopback, &from);
    ASSERT_EQ(seed_peer(instance, from, 0x66), CORE_OK);
    EXPECT_EQ(flowmesh_engine_disconnect(direct, &from), CORE_OK);
    ASSERT_TRUE(send_numbered(fd, instance->adapter.address, 7));
    ASSERT_TRUE(engine_wait([&] {
        FlowmeshPeer *p = flowmesh_peer_find(instance, &from);
        if (p != nullptr) flowmesh_peer_release(instance);
        return p == nullptr;
    }));
    ASSERT_TRUE(send_numbered(fd, instance->adapter.address, 8));
    EXPECT_TRUE(engine_wait([&] { return flowmesh_instance_counters(instance).unrouted == 1; }));
    close(fd);
}

// The core's default engine operations run the real engine: starting the
// network reports the adapter through the core's status events.
TEST_F(EngineTest, TheCoreStartsAndStopsTheEngine)
{
    FlowmeshConfig config = loopback_config().configuration;
    ASSERT_EQ(flowmesh_core_create(&config), CORE_OK);
    FlowmeshCore *core = flowmesh_core_acquire();
    ASSERT_NE(core, nullptr);
    std::mutex mutex;
    std::vector<uint32_t> codes;
    auto record = [](void *event, FlowmeshStreamAnswer *) {
        auto *e = static_cast<FlowmeshStatusEvent *>(event);
        auto *pair = reinterpret_cast<std::pair<std::mutex *, std::vector<uint32_t> *> *>(e->user[0]);
        std::lock_guard<std::mutex> guard(*pair->first);
        pair->second->push_back(e->code);
        return 0;
    };
    std::pair<std::mutex *, std::vector<uint32_t> *> sink(&mutex, &codes);
    FlowmeshCallbacks callbacks = {record, {reinterpret_cast<uintptr_t>(&sink), 0}};
    ASSERT_NE(flowmesh_register_callbacks(core->events, FLOWMESH_EVENTS_STATUS, &callbacks), 0u);
    flowmesh_core_release(core);

    ASSERT_EQ(flowmesh_set_state(2), CORE_OK);
    ASSERT_EQ(flowmesh_set_state(0), CORE_OK);
    auto seen = [&](uint32_t code) {
        std::lock_guard<std::mutex> guard(mutex);
        return std::count(codes.begin(), codes.end(), code);
    };
    EXPECT_TRUE(engine_wait([&] { return seen(FLOWMESH_STATUS_ADAPTER_ADDED) == 1; }));
    EXPECT_TRUE(engine_wait([&] { return seen(FLOWMESH_STATUS_ADAPTER_REMOVED) == 1; }));
    flowmesh_core_destroy();
}

}  // namespace
