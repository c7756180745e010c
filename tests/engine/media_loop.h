// A running engine node and one network core whose two sessions, A and B,
// are each other's peer: what A's transports send arrives as B's datagrams
// and the other way round, through the core's real routing, control
// messages and stream transports. Only the network engine below the
// sessions is a stand-in, so the engine's peer streams and services run
// over the real library in one process. The wire can be cut (every
// datagram dropped) to hold a stream back.
//
// The fixture also records what the core reports (sessions and stream
// states) and what the engine posts on its event topic.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/queue.h"
#include "core/random.h"
#include "core/topic.h"
#include "core/video.h"
#include "engine/node.h"
#include "flowmesh/core.h"
#include "flowmesh/datagram.h"
#include "flowmesh/interface.h"
#include "flowmesh/peer.h"
#include "flowmesh/session.h"
#include "ravelkit/bus.h"

namespace media_loop {

inline CoreName name_of(const char *text)
{
    CoreName n;
    core_name_format(&n, "%s", text);
    return n;
}

inline bool same(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

inline const CoreName kA = name_of("session.a");
inline const CoreName kB = name_of("session.b");
constexpr uint32_t kAddressA = 0x0200007F;  // 127.0.0.2, network order
constexpr uint32_t kAddressB = 0x0300007F;
constexpr uint16_t kPort = 0x1127;

inline std::atomic<uint64_t> g_core_handle{0};
inline std::atomic<bool> g_wire_cut{false};

// The wire between the two sessions.
inline int loop_send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *)
{
    if (g_wire_cut.load()) return 0;
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<CoreQueueEntry> out;
    buffers.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const bool from_a = same(records[i].name, kA);
        buffers.emplace_back(FLOWMESH_RECORD_HEAD + records[i].length, 0);
        memcpy(buffers.back().data() + FLOWMESH_RECORD_HEAD, records[i].data, records[i].length);
        CoreQueueEntry e = {};
        e.name = from_a ? kB : kA;
        e.type = from_a ? kAddressA : kAddressB;
        e.flags = kPort;
        e.length = buffers.back().size();
        e.data = buffers.back().data();
        out.push_back(e);
    }
    if (!out.empty()) flowmesh_core_datagrams(g_core_handle.load(), out.data(), out.size());
    return 0;
}

struct StandInEngine {
    static void destroy(CoreHandleTable *, void *, uint64_t) {}
    static uint64_t start(FlowmeshCore *, const FlowmeshConfig *)
    {
        return core_handle_create(core_handle_tables[CORE_HANDLES_NETWORK], 16, destroy, nullptr);
    }
    static void stop(FlowmeshCore *, void *) {}
};

template <typename Done>
bool wait_until(Done done, uint32_t ms = 10000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(2);
    }
    return true;
}

// Stream states and session events as the core reports them.
struct NetLog {
    struct State {
        std::string session;
        std::string stream;
        uint32_t state;
        CoreName instance;
    };
    std::mutex mutex;
    std::vector<State> states;
    std::vector<std::pair<std::string, uint32_t>> sessions;

    static NetLog *of(const uint64_t *user) { return reinterpret_cast<NetLog *>(static_cast<uintptr_t>(user[0])); }
    static int on_session(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshSessionEvent *>(record);
        NetLog *log = of(e->user);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->sessions.emplace_back(e->session.text, e->info->state);
        return 0;
    }
    static int on_state(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
        NetLog *log = of(e->user);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->states.push_back({e->session.text, e->kind.stream_name.text, e->state, e->instance});
        return 0;
    }
    size_t count_state(const CoreName &session, const char *stream, uint32_t state)
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const State &s : states)
            if (s.session == session.text && s.stream == stream && s.state == state) n++;
        return n;
    }
    // The instance name of the stream's last report, zero when none.
    CoreName instance_of(const CoreName &session, const char *stream)
    {
        std::lock_guard<std::mutex> guard(mutex);
        CoreName out = {};
        for (const State &s : states)
            if (s.session == session.text && s.stream == stream) out = s.instance;
        return out;
    }
    size_t count_session(const CoreName &session, uint32_t state)
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const auto &s : sessions)
            if (s.first == session.text && s.second == state) n++;
        return n;
    }
};

// Events posted on the engine's event topic.
struct EventLog {
    struct Event {
        uint32_t code;
        std::vector<uint8_t> data;
    };
    std::mutex mutex;
    std::vector<Event> events;

    static CoreResult on_event(const CoreQueueEntry *message, void **user)
    {
        auto *log = static_cast<EventLog *>(user[0]);
        const auto *bytes = static_cast<const uint8_t *>(message->data);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->events.push_back({message->type, std::vector<uint8_t>(bytes, bytes + message->length)});
        return CORE_OK;
    }
    // Every event of that code, as records of type T.
    template <typename T>
    std::vector<T> of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<T> out;
        for (const Event &e : events) {
            if (e.code != code) continue;
            T record = {};
            memcpy(&record, e.data.data(), e.data.size() < sizeof(T) ? e.data.size() : sizeof(T));
            out.push_back(record);
        }
        return out;
    }
    size_t size_of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const Event &e : events)
            if (e.code == code) return e.data.size();
        return 0;
    }
};

// The control service as the display controller and the capability would
// answer it: pushed chains are copied, the video mode is given or not.
struct ControlLog {
    struct Frame {
        int64_t pts, dts, duration;
        uint32_t flags, tag;
        std::vector<uint8_t> data;
    };
    struct Push {
        uint32_t media;
        CoreName channel, session, stream;
        uint64_t total;
        std::vector<Frame> frames;
    };
    std::mutex mutex;
    std::vector<Push> pushes;
    std::atomic<int> fail_next{0};        // pushes to refuse with CORE_ERR
    std::atomic<int> has_mode{0};         // answer ENGINE_CTL_GET_VIDEO_MODE
    CoreVideoMode mode = {1920, 1080, 30000, 1001};
    uint64_t subscription = 0;

    static CoreResult handle(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len, void **user)
    {
        auto *log = static_cast<ControlLog *>(user[0]);
        if (code == 0x544A) {  // ENGINE_CTL_GET_VIDEO_MODE
            if (!log->has_mode.load()) return CORE_DONE;
            if (out == nullptr || out_len == nullptr || *out_len < sizeof(CoreVideoMode)) return CORE_ERR_INVALID;
            memcpy(out, &log->mode, sizeof(log->mode));
            return CORE_OK;
        }
        if (code != 0x5403) return CORE_NOT_MINE;  // ENGINE_CTL_PUSH_FRAMES
        Push push = {};
        EXPECT_EQ(in_len, 412u);
        memcpy(&push.media, in, 4);
        memcpy(&push.channel, static_cast<const uint8_t *>(in) + 4, sizeof(CoreName));
        memcpy(&push.session, static_cast<const uint8_t *>(in) + 140, sizeof(CoreName));
        memcpy(&push.stream, static_cast<const uint8_t *>(in) + 276, sizeof(CoreName));
        push.total = *out_len;
        uint64_t sum = 0;
        for (const auto *s = static_cast<const RavkSample *>(out); s != nullptr; s = s->next) {
            push.frames.push_back({s->pts, s->dts, s->duration, s->flags, s->orientation,
                                   std::vector<uint8_t>(s->data, s->data + s->size)});
            sum += s->size;
        }
        EXPECT_EQ(sum, push.total);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->pushes.push_back(std::move(push));
        if (log->fail_next.load() > 0) {
            log->fail_next.fetch_sub(1);
            return CORE_ERR;
        }
        return CORE_OK;
    }
    bool attach()
    {
        const CoreName channel = name_of("0781A815A943C8CE7A6629B17DF54062");
        if (core_notify_channel_create(&channel) != CORE_OK) return false;
        const CoreNotifySubscription s = {handle, {this, nullptr}};
        subscription = core_notify_subscribe(&channel, &s);
        return subscription != 0;
    }
    void detach()
    {
        const CoreName channel = name_of("0781A815A943C8CE7A6629B17DF54062");
        if (subscription != 0) core_notify_unsubscribe(&channel, subscription);
        subscription = 0;
    }
    std::vector<Push> copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return pushes;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return pushes.size();
    }
    size_t frames()
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const Push &p : pushes) n += p.frames.size();
        return n;
    }
};

class MediaLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_wire_cut = false;
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        FlowmeshConfig config = {};
        config.base_port = 45000;
        config.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | FLOWMESH_MODE_LAN;
        config.adapter_index = -1;
        core_name_format(&config.system_name, "test.system");
        core_name_format(&config.user_id, "test.user");
        core_name_format(&config.node_id, "test.node");
        node_id = config.node_id;
        ASSERT_EQ(flowmesh_core_create(&config), CORE_OK);
        static const FlowmeshEngineOps ops = {StandInEngine::start, StandInEngine::stop, nullptr, nullptr, nullptr};
        flowmesh_core_set_engine_ops(&ops);
        flowmesh_sessions_test_set_send(loop_send);
        FlowmeshCore *core = flowmesh_core_acquire();
        ASSERT_NE(core, nullptr);
        g_core_handle = core->handle;
        flowmesh_core_release(core);
        const FlowmeshCallbacks sessions = {NetLog::on_session, {reinterpret_cast<uintptr_t>(&net), 0}};
        ASSERT_NE(flowmesh_register_session_callbacks(&sessions), 0u);
        const FlowmeshCallbacks states = {NetLog::on_state, {reinterpret_cast<uintptr_t>(&net), 0}};
        ASSERT_NE(flowmesh_register_state_callbacks(&states), 0u);
        ASSERT_EQ(flowmesh_set_state(FLOWMESH_NETWORK_STARTED), CORE_OK);
        event_topic = name_of(ENGINE_EVENT_TOPIC);
        const CoreTopicSubscription subscription = {EventLog::on_event, {&events, nullptr}};
        ASSERT_NE(core_topic_subscribe(&event_topic, &subscription), 0u);
        session_key.kind = 2;
        session_key.length = 32;
        core_random_key(session_key.key, 32);
    }

    void TearDown() override
    {
        g_wire_cut = false;
        flowmesh_core_destroy();
        flowmesh_core_set_engine_ops(nullptr);
        flowmesh_sessions_test_set_send(nullptr);
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    int report_ready(const CoreName &name, uint32_t key_role, uint32_t address)
    {
        FlowmeshPeerReadyRecord r = {};
        r.peer.identity = name;
        core_name_format(&r.peer.user_id, "user.%s", name.text);
        r.peer.address = address;
        r.peer.port = kPort;
        r.key = session_key;
        const CoreName reporter = name_of("instance");
        return flowmesh_core_peer_report(g_core_handle, &reporter, FLOWMESH_PEER_READY, key_role, &r, sizeof(r));
    }

    // A and B meet; B uses the stream keys A makes.
    void pair_up()
    {
        ASSERT_EQ(report_ready(kA, 0, kAddressB), 0);
        ASSERT_EQ(report_ready(kB, 1, kAddressA), 0);
        ASSERT_TRUE(wait_until([&] {
            return net.count_session(kA, FLOWMESH_SESSION_UP) == 1 && net.count_session(kB, FLOWMESH_SESSION_UP) == 1;
        }));
    }

    bool opened_both(const char *stream)
    {
        return wait_until([&] {
            return net.count_state(kA, stream, FLOWMESH_STREAM_OPENED) >= 1 &&
                   net.count_state(kB, stream, FLOWMESH_STREAM_OPENED) >= 1;
        });
    }

    // Opens a stream of `kind` from `from` with plain test parameters.
    static CoreResult open_plain(const CoreName &from, const char *stream, uint32_t kind, uint64_t send_buffer = 0x200000,
                                 uint32_t class_word = 0)
    {
        FlowmeshStreamParams p = {};
        p.kind.class_word = class_word;
        p.send_buffer = send_buffer;
        p.receive_buffer = 0x200000;
        p.kind.kind = kind;
        core_name_format(&p.kind.stream_name, "%s", stream);
        core_name_format(&p.owner_name, "opener");
        p.frame_rate[0] = 30;
        p.frame_rate[1] = 1;
        p.max_bitrate = 400'000'000;
        if (kind == FLOWMESH_STREAM_RELIABLE) {
            p.min_rto_ms = 20;
            p.max_rto_ms = 2000;
        }
        return flowmesh_session_open_stream(&from, &p);
    }

    NetLog net;
    EventLog events;
    CoreName event_topic;
    CoreName node_id;
    FlowmeshKeyBlob session_key = {};
};

}  // namespace media_loop
