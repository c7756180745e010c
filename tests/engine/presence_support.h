// Shared pieces of the presence suites: a running engine node with a sealed
// property list, a presence service whose network (when a test starts it)
// runs on one fixed loopback adapter 127.0.0.x, whose "broadcast" is the
// unicast 127.0.0.1, so nothing leaves the machine's own namespace; a
// recorder of the event topic; and network events made the way the
// library delivers them.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/node.h"
#include "engine/peers.h"
#include "engine/presence.h"
#include "flowmesh/names.h"

namespace presence_test {

// A code no engine part posts: its delivery shows that everything posted
// before it was delivered.
constexpr uint32_t kSentinel = 0x7E57;

struct Event {
    uint32_t code;
    std::vector<uint8_t> data;
};

// Every event of the event topic, in delivery order.
class EventRecorder {
public:
    void subscribe()
    {
        core_name_format(&topic_, "%s", ENGINE_EVENT_TOPIC);
        CoreTopicSubscription subscription = {on_event, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        ASSERT_NE(key_, 0u);
    }
    void unsubscribe()
    {
        if (key_ != 0) core_topic_unsubscribe(&topic_, key_);
        key_ = 0;
    }

    // Waits until everything posted so far has been delivered.
    void flush()
    {
        const uint64_t seq = engine_post_event(kSentinel, nullptr, 0);
        ASSERT_NE(seq, 0u);
        ASSERT_EQ(core_topic_wait(&topic_, seq), CORE_OK);
    }

    // The events of the given codes (all when empty), taken out of the log;
    // the others stay.
    std::vector<Event> take(std::vector<uint32_t> codes = {})
    {
        flush();
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Event> out, kept;
        for (Event &e : events_) {
            if (e.code == kSentinel) continue;
            if (codes.empty() || std::find(codes.begin(), codes.end(), e.code) != codes.end())
                out.push_back(std::move(e));
            else
                kept.push_back(std::move(e));
        }
        events_.swap(kept);
        return out;
    }

    // Polls (flushing) until an event of `code` satisfying `match` arrived,
    // up to `ms`; the log is kept.
    template <typename Match>
    bool wait_for(uint32_t code, Match match, uint32_t ms = 20000)
    {
        const uint64_t end = core_clock_mono_ms() + ms;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(mutex_);
                for (const Event &e : events_)
                    if (e.code == code && match(e)) return true;
            }
            if (core_clock_mono_ms() > end) return false;
            core_sleep_ms(20);
        }
    }

private:
    static CoreResult on_event(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<EventRecorder *>(user[0]);
        Event e;
        e.code = message->type;
        if (message->data != nullptr)
            e.data.assign(static_cast<const uint8_t *>(message->data),
                          static_cast<const uint8_t *>(message->data) + message->length);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->events_.push_back(std::move(e));
        return CORE_OK;
    }

    CoreName topic_ = {};
    uint64_t key_ = 0;
    std::mutex mutex_;
    std::vector<Event> events_;
};

inline std::vector<uint32_t> codes_of(const std::vector<Event> &events)
{
    std::vector<uint32_t> out;
    for (const Event &e : events) out.push_back(e.code);
    return out;
}

inline EnginePeerRecord record_of(const Event &e)
{
    EnginePeerRecord record = {};
    if (e.data.size() >= sizeof(record)) memcpy(&record, e.data.data(), sizeof(record));
    return record;
}

// "name=value" of an ENGINE_EVT_PEER_PROPERTY.
inline std::string property_of(const Event &e)
{
    if (e.data.size() < sizeof(EngineNodeProperty)) return "";
    EngineNodeProperty header;
    memcpy(&header, e.data.data(), sizeof(header));
    if (header.length != e.data.size() - sizeof(header)) return "<bad length>";
    return std::string(header.name.text) + "=" +
           std::string(reinterpret_cast<const char *>(e.data.data() + sizeof(header)), header.length);
}

inline uint32_t loopback(uint8_t last) { return htonl(0x7F000000u | last); }

// The network configuration of a presence test: LAN discovery on the one
// fixed loopback adapter 127.0.0.`last`.
inline EngineNetworkSetup loopback_setup(uint8_t last)
{
    EngineConfig config = {};
    config.networkFlags = ENGINE_NET_ROLE_IDENTITY | ENGINE_NET_ROLE_KEY | ENGINE_NET_LAN_DISCOVERY |
                          ENGINE_NET_IGNORE_OWN | ENGINE_NET_FIXED_ADAPTERS;
    config.nodeKind = ENGINE_NODE_MEDIA;
    config.networkMode = 1;
    config.servicesMode = ENGINE_SERVICES_BINDING | ENGINE_SERVICES_MEDIA;
    // Below the ephemeral range and apart per process, as the discovery
    // suites do.
    config.network.basePort = static_cast<uint16_t>(21000 + (getpid() % 500) * 20);
    config.network.adapterIndex = -1;
    config.network.networkOption = FLOWMESH_KEYS_128;
    core_name_format(&config.network.systemNodeName, "presence.test.%d", getpid());
    core_name_format(&config.network.nodeUserId, "user.%u", last);
    core_name_format(&config.network.nodeKey, "node.key.%u.%d", last, getpid());
    CoreNetAdapter &lo = config.network.adapterRecords[0];
    lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
    lo.address = {loopback(last), 0};
    lo.mask = {htonl(0xFF000000u), 0};
    lo.broadcast = loopback(1);
    snprintf(lo.id, sizeof(lo.id), "6C6F%02X", last);
    snprintf(lo.description, sizeof(lo.description), "lo");
    EngineNetworkSetup setup;
    engine_config_network(&config, nullptr, &setup);
    return setup;
}

// A running node whose sealed list holds the four properties the interface
// side adds, a recorder, and a presence service (network not started).
class PresenceFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        add_properties(status_);
        ASSERT_EQ(engine_node_properties_seal(), CORE_OK);
        recorder_.subscribe();
        setup_ = make_setup();
        service_ = engine_presence_create(&setup_);
        ASSERT_NE(service_, nullptr);
    }

    void TearDown() override
    {
        engine_presence_destroy(&service_);
        recorder_.unsubscribe();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    virtual EngineNetworkSetup make_setup() { return loopback_setup(last_); }

    static void add_properties(const char *status)
    {
        ASSERT_EQ(engine_node_property_add(ENGINE_PROP_USERID, "alice", 5), CORE_OK);
        ASSERT_EQ(engine_node_property_add(ENGINE_PROP_DIRECTION, "direction.bidirectional.value", 29), CORE_OK);
        ASSERT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, status, strlen(status)), CORE_OK);
        ASSERT_EQ(engine_node_property_add(ENGINE_PROP_AVATAR, "\x89PNG", 4), CORE_OK);
    }

    // Network events as the library's event thread hands them over.
    void session_event(const char *session, uint32_t state, const char *node = "node.b", uint32_t address = 0)
    {
        FlowmeshSessionInfo info = {};
        info.state = state;
        info.peer_address = address != 0 ? address : loopback(2);
        info.peer_port = htons(4000);
        info.peer_value = 4;
        info.peer_stamp = 0x1122334455667788ull;
        info.local_stamp = 0x99AABBCCDDEEFF00ull;
        info.peer_mode = 1;
        FlowmeshSessionEvent event = {};
        core_name_format(&event.session, "%s", session);
        core_name_format(&event.peer, "user.b");
        core_name_format(&event.peer_node, "%s", node);
        event.info = &info;
        event.user[0] = reinterpret_cast<uintptr_t>(service_);
        engine_presence_on_session(&event, nullptr);
    }

    void data_event(const char *session, const std::vector<uint8_t> &bytes, const char *stream = FLOWMESH_SERVICE_STREAM)
    {
        FlowmeshStreamEvent event = {};
        core_name_format(&event.session, "%s", session);
        core_name_format(&event.stream, "%s", stream);
        event.data = bytes.data();
        event.length = bytes.size();
        event.user[0] = reinterpret_cast<uintptr_t>(service_);
        engine_presence_on_data(&event, nullptr);
    }

    void stream_opened(const char *session, const char *stream = ENGINE_STREAM_BIND)
    {
        FlowmeshStreamStateEvent event = {};
        core_name_format(&event.session, "%s", session);
        core_name_format(&event.kind.stream_name, "%s", stream);
        event.kind.kind = FLOWMESH_STREAM_RELIABLE;
        event.state = FLOWMESH_STREAM_OPENED;
        event.user[0] = reinterpret_cast<uintptr_t>(service_);
        engine_presence_on_stream_state(&event, nullptr);
    }

    static std::vector<uint8_t> property(const char *name, const std::string &value)
    {
        CoreName key;
        core_name_format(&key, "%s", name);
        std::vector<uint8_t> out(ENGINE_PRESENCE_PROPERTY_HEAD + value.size());
        out.resize(engine_presence_message_write(ENGINE_PRESENCE_PROPERTY, key.key, value.data(), value.size(),
                                                 out.data(), out.size()));
        return out;
    }

    static std::vector<uint8_t> marker(uint32_t kind)
    {
        std::vector<uint8_t> out(ENGINE_PRESENCE_MARKER_SIZE);
        out.resize(engine_presence_message_write(kind, nullptr, nullptr, 0, out.data(), out.size()));
        return out;
    }

    // A peer that has told everything: its user id, the end of its
    // properties, and the binding stream open.
    void complete_peer(const char *session, const char *userid = "bob")
    {
        data_event(session, property(ENGINE_PROP_USERID, userid));
        data_event(session, marker(ENGINE_PRESENCE_END_OF_PROPERTIES));
        stream_opened(session);
    }

    uint32_t live_peers()
    {
        core_store_lock(service_->peers);
        const uint32_t n = service_->peers->live;
        core_store_unlock(service_->peers);
        return n;
    }

    const char *status_ = ENGINE_STATUS_ONLINE;
    uint8_t last_ = 31;
    EngineNetworkSetup setup_ = {};
    EnginePresenceService *service_ = nullptr;
    EventRecorder recorder_;
};

}  // namespace presence_test
