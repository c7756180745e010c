// Direct mode with engines in one process on addresses of 127.0.0.0/8:
// connect results, a connect between two engines, the unanswered
// handshakes of both sides, and the gate that lets only the connect
// target's key message be opened. Plain sockets play nodes that never
// answer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/crypto.h"
#include "core/system.h"
#include "flowmesh/direct.h"
#include "flowmesh/discovery.h"
#include "flowmesh/engine_support.h"

namespace {

uint32_t loopback(uint8_t last) { return htonl(0x7F000000u | last); }

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

struct PeerEvents {
    struct Event {
        uint32_t code;
        CoreUdpAddr address;
        bool empty_reporter;
        FlowmeshKeyBlob key;
    };
    std::mutex mutex;
    std::vector<Event> events;

    static int on_peer(const CoreName *reporter, uint32_t code, uint32_t, const void *data, uint64_t length,
                       void *user)
    {
        auto *self = static_cast<PeerEvents *>(user);
        Event e = {code, {}, core_name_is_empty(reporter), {}};
        if (code == FLOWMESH_PEER_READY && length >= sizeof(FlowmeshPeerReadyRecord)) {
            const auto *record = static_cast<const FlowmeshPeerReadyRecord *>(data);
            e.address = {record->peer.address, record->peer.port};
            e.key = record->key;
        } else if (code == FLOWMESH_PEER_GONE && length == 6) {
            memcpy(&e.address.address, data, 4);
            memcpy(&e.address.port, static_cast<const uint8_t *>(data) + 4, 2);
        }
        std::lock_guard<std::mutex> guard(self->mutex);
        self->events.push_back(e);
        return 0;
    }

    size_t count(uint32_t code, CoreUdpAddr address, Event *last = nullptr)
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const Event &e : events)
            if (e.code == code && e.address.address == address.address && e.address.port == address.port) {
                ++n;
                if (last != nullptr) *last = e;
            }
        return n;
    }
};

class DirectTest : public ::testing::Test {
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
        core_name_format(&system_name_, "direct.test.%d", getpid());
    }

    void TearDown() override
    {
        refs_.clear();
        for (uint64_t handle : engines_) flowmesh_engine_close(handle);
        for (int fd : sockets_) close(fd);
        EXPECT_EQ(core_thread_abandoned_count(), abandoned_before_);
        core_system_stop();
    }

    // An engine on 127.0.0.`last` with netmask `mask` (host order) and the
    // flags `flags` besides fixed adapters; its handle, 0 on failure.
    uint64_t engine(uint8_t last, uint32_t flags, PeerEvents *events, uint32_t mask = 0xFF000000u)
    {
        FlowmeshEngineConfig config = {};
        FlowmeshConfig &c = config.configuration;
        c.adapter_index = -1;
        c.flags = FLOWMESH_FIXED_ADAPTERS | flags;
        c.key_options = 3;
        c.rsa_key = keys_[engines_.size() % 2];
        c.system_name = system_name_;
        core_name_format(&c.user_id, "user.%u", last);
        CoreNetAdapter &lo = c.adapters[0];
        lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK;
        lo.address = {loopback(last), 0};
        lo.mask = {htonl(mask), 0};
        lo.broadcast = loopback(last);
        snprintf(lo.id, sizeof(lo.id), "6C6F%02X", last);
        snprintf(lo.description, sizeof(lo.description), "lo");
        config.peer = PeerEvents::on_peer;
        config.user = events;
        const uint64_t handle = flowmesh_engine_create(&config);
        if (handle == 0) return 0;
        engines_.push_back(handle);
        refs_.push_back(std::make_unique<EngineRef>(handle));
        return handle;
    }

    FlowmeshEngine *object(uint64_t handle)
    {
        for (auto &ref : refs_)
            if (ref->handle == handle) return ref->engine;
        return nullptr;
    }

    // The engine's instance on its loopback address.
    FlowmeshAdapterInstance *adapter(uint64_t handle)
    {
        for (auto &ref : refs_)
            if (ref->handle == handle)
                for (FlowmeshAdapterInstance *instance : ref->instances())
                    if (instance->adapter.address.address != 0) return instance;
        return nullptr;
    }

    int socket_at(uint8_t last, CoreUdpAddr *bound)
    {
        const int fd = udp_socket(loopback(last), bound, 1 << 20);
        if (fd >= 0) sockets_.push_back(fd);
        return fd;
    }

    static EVP_PKEY *keys_[2];
    CoreName system_name_;
    std::vector<uint64_t> engines_;
    std::vector<std::unique_ptr<EngineRef>> refs_;
    std::vector<int> sockets_;
    uint64_t abandoned_before_ = 0;
};
EVP_PKEY *DirectTest::keys_[2] = {};

const uint32_t kConnecting = FLOWMESH_ROLE_KEY | FLOWMESH_MODE_DIRECT;
const uint32_t kAnswering = FLOWMESH_ROLE_IDENTITY | FLOWMESH_MODE_DIRECT;

// Counts datagrams of `length` bytes on `fd` and their sources for `ms`.
size_t count_sized(int fd, uint64_t length, uint32_t ms, std::vector<uint8_t> *last = nullptr)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t buffer[2048];
    size_t n = 0;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got != static_cast<ssize_t>(length)) continue;
        ++n;
        if (last != nullptr) last->assign(buffer, buffer + got);
    }
    return n;
}

// Connect results that need no answer from anyone: the mode rules, a busy
// connect, and which instance takes a target.
TEST_F(DirectTest, ConnectResultsAndTheServingInstance)
{
    PeerEvents events, answering_events, lan_events;
    // A /32 adapter: 127.0.0.9 lies outside it and goes to the direct instance.
    const uint64_t b = engine(3, kConnecting, &events, 0xFFFFFFFFu);
    const uint64_t a = engine(2, kAnswering, &answering_events);
    ASSERT_NE(b, 0u);
    ASSERT_NE(a, 0u);
    const CoreUdpAddr own_subnet = {loopback(3), htons(9)};
    const CoreUdpAddr elsewhere = {loopback(9), htons(9)};
    const CoreUdpAddr second = {loopback(10), htons(10)};

    EXPECT_EQ(flowmesh_engine_connect(a, &elsewhere), CORE_ERR_STATE) << "the answering role does not connect";
    EXPECT_EQ(flowmesh_engine_connect(0, &elsewhere), CORE_ERR);
    EXPECT_EQ(flowmesh_engine_connect(b, nullptr), CORE_ERR_INVALID);
    EXPECT_EQ(answering_events.count(FLOWMESH_PEER_GONE, elsewhere), 0u);

    ASSERT_EQ(flowmesh_engine_connect(b, &elsewhere), CORE_OK);
    FlowmeshAdapterInstance *direct = flowmesh_engine_direct_instance(object(b));
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->direct_target.load(), flowmesh_endpoint_pack(elsewhere));
    EXPECT_EQ(adapter(b)->direct_target.load(), 0u);
    core_store_unref(object(b)->instances);

    EXPECT_EQ(flowmesh_engine_connect(b, &second), CORE_ERR_BUSY);
    PeerEvents::Event gone = {};
    EXPECT_EQ(events.count(FLOWMESH_PEER_GONE, second, &gone), 1u);
    EXPECT_TRUE(gone.empty_reporter);
    EXPECT_EQ(events.count(FLOWMESH_PEER_GONE, elsewhere), 0u) << "the running connect goes on";
    EXPECT_TRUE(real_wait([&] { return object(b)->connect_state.load() == FLOWMESH_CONNECT_CONNECTING; }));

    EXPECT_EQ(flowmesh_engine_disconnect(b, &elsewhere), CORE_OK);
    EXPECT_EQ(object(b)->connect_state.load(), FLOWMESH_CONNECT_IDLE);
    ASSERT_EQ(flowmesh_engine_connect(b, &own_subnet), CORE_OK);
    EXPECT_EQ(adapter(b)->direct_target.load(), flowmesh_endpoint_pack(own_subnet));
}

// B connects to A's data address: both are ready with one key, B's state
// reaches connected, and the core's confirmation stops A's key messages.
TEST_F(DirectTest, TwoEnginesConnectAndAgreeOneKey)
{
    PeerEvents a_events, b_events;
    const uint64_t a = engine(2, kAnswering, &a_events);
    const uint64_t b = engine(3, kConnecting, &b_events);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    const CoreUdpAddr a_address = adapter(a)->adapter.address;
    const CoreUdpAddr b_address = adapter(b)->adapter.address;

    ASSERT_EQ(flowmesh_engine_connect(b, &a_address), CORE_OK);
    PeerEvents::Event made = {}, taken = {};
    ASSERT_TRUE(real_wait([&] { return a_events.count(FLOWMESH_PEER_READY, b_address, &made) == 1; }));
    ASSERT_TRUE(real_wait([&] { return b_events.count(FLOWMESH_PEER_READY, a_address, &taken) == 1; }));
    ASSERT_EQ(made.key.length, taken.key.length);
    EXPECT_EQ(memcmp(made.key.key, taken.key.key, made.key.length), 0);
    EXPECT_TRUE(real_wait([&] { return object(b)->connect_state.load() == FLOWMESH_CONNECT_CONNECTED; }));
    EXPECT_EQ(adapter(a)->direct_target.load(), flowmesh_endpoint_pack(b_address)) << "A answers B";

    FlowmeshPeer *peer = flowmesh_peer_find(adapter(a), &b_address);
    ASSERT_NE(peer, nullptr);
    const CoreName identity = peer->identity;
    flowmesh_peer_release(adapter(a));
    ASSERT_EQ(flowmesh_engine_confirm_peer(a, identity.key), CORE_OK);
    // A slot may be posting while the mark lands; after that one, no more.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * FLOWMESH_CONNECT_SLOT_MS));
    const uint64_t sent = flowmesh_discovery_counters(adapter(a)).key_messages_sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * FLOWMESH_CONNECT_SLOT_MS));
    EXPECT_EQ(flowmesh_discovery_counters(adapter(a)).key_messages_sent, sent);
    EXPECT_EQ(a_events.count(FLOWMESH_PEER_GONE, b_address), 0u);
    EXPECT_EQ(b_events.count(FLOWMESH_PEER_GONE, a_address), 0u);
}

// Nobody answers either side: B's identity blocks to a silent target and
// A's key messages to a silent connector each come about every 500 ms for
// 10 s, then each side reports the address gone once.
TEST_F(DirectTest, UnansweredHandshakesEndWithOneGoneReport)
{
    PeerEvents a_events, b_events;
    const uint64_t a = engine(2, kAnswering, &a_events);
    const uint64_t b = engine(3, kConnecting, &b_events);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    CoreUdpAddr silent_target, silent_connector;
    const int target_fd = socket_at(4, &silent_target);
    const int connector_fd = socket_at(5, &silent_connector);
    ASSERT_GE(target_fd, 0);
    ASSERT_GE(connector_fd, 0);

    ASSERT_EQ(flowmesh_engine_connect(b, &silent_target), CORE_OK);
    ASSERT_TRUE(send_raw(connector_fd, adapter(a)->adapter.address, adapter(b)->direct_block,
                         NETCRYPTO_IDENTITY_BLOCK_SIZE));
    size_t key_messages = 0;
    std::thread keys([&] { key_messages = count_sized(connector_fd, NETCRYPTO_KEY_MESSAGE_SIZE, 12500); });
    const size_t blocks = count_sized(target_fd, NETCRYPTO_IDENTITY_BLOCK_SIZE, 12500);
    keys.join();

    EXPECT_GE(blocks, 15u);
    EXPECT_LE(blocks, 21u);
    EXPECT_GE(key_messages, 15u);
    EXPECT_LE(key_messages, 21u);
    EXPECT_EQ(b_events.count(FLOWMESH_PEER_GONE, silent_target), 1u);
    EXPECT_EQ(a_events.count(FLOWMESH_PEER_GONE, silent_connector), 1u);
    EXPECT_EQ(object(b)->connect_state.load(), FLOWMESH_CONNECT_IDLE);
    EXPECT_EQ(flowmesh_peer_find(adapter(a), &silent_connector), nullptr);
    EXPECT_EQ(adapter(a)->direct_target.load(), 0u) << "the dropped peer frees the target";
}

// A genuine key message for B, relayed by R, is opened only while B is
// connecting to R: idle, or connecting elsewhere, it is refused unopened.
TEST_F(DirectTest, KeyMessagesOnlyFromTheConnectTargetWhileConnecting)
{
    PeerEvents a_events, b_events;
    const uint64_t a = engine(2, kAnswering, &a_events);
    const uint64_t b = engine(3, kConnecting, &b_events);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    CoreUdpAddr relay, elsewhere;
    const int fd = socket_at(4, &relay);
    ASSERT_GE(fd, 0);
    ASSERT_GE(socket_at(5, &elsewhere), 0);
    FlowmeshAdapterInstance *b_instance = adapter(b);

    ASSERT_TRUE(send_raw(fd, adapter(a)->adapter.address, b_instance->direct_block, NETCRYPTO_IDENTITY_BLOCK_SIZE));
    std::vector<uint8_t> message;
    ASSERT_EQ(count_sized(fd, NETCRYPTO_KEY_MESSAGE_SIZE, 800, &message) > 0, true);

    const auto refused = [&] { return flowmesh_discovery_counters(b_instance).key_messages_refused; };
    ASSERT_TRUE(send_raw(fd, b_instance->adapter.address, message.data(), message.size()));
    EXPECT_TRUE(real_wait([&] { return refused() == 1; })) << "idle";
    ASSERT_EQ(flowmesh_engine_connect(b, &elsewhere), CORE_OK);
    ASSERT_TRUE(real_wait([&] { return object(b)->connect_state.load() == FLOWMESH_CONNECT_CONNECTING; }));
    ASSERT_TRUE(send_raw(fd, b_instance->adapter.address, message.data(), message.size()));
    EXPECT_TRUE(real_wait([&] { return refused() == 2; })) << "connecting to another address";
    EXPECT_EQ(b_events.count(FLOWMESH_PEER_READY, relay), 0u);

    ASSERT_EQ(flowmesh_engine_disconnect(b, &elsewhere), CORE_OK);
    ASSERT_EQ(flowmesh_engine_connect(b, &relay), CORE_OK);
    ASSERT_TRUE(real_wait([&] { return object(b)->connect_state.load() == FLOWMESH_CONNECT_CONNECTING; }));
    ASSERT_TRUE(send_raw(fd, b_instance->adapter.address, message.data(), message.size()));
    EXPECT_TRUE(real_wait([&] { return b_events.count(FLOWMESH_PEER_READY, relay) == 1; }));
    EXPECT_EQ(refused(), 2u);
}

}  // namespace
