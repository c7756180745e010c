// Event tables: tokens, unregistration during and against deliveries,
// posting order and record contents, malformed pipe records, the
// table-6 merge, and the argument checks of the public operations.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/pool.h"
#include "core/queue.h"
#include "flowmesh/interface.h"
#include "flowmesh/core_fixture.h"

namespace {

class EventTables : public FlowmeshCoreTest {
protected:
    FlowmeshEventTableSet *events()
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        if (core == nullptr) return nullptr;
        FlowmeshEventTableSet *set = core->events;
        flowmesh_core_release(core);
        return set;
    }
};

// Which sets a direct fan-out reached, by their first user word.
struct Reached {
    std::vector<uint64_t> users;
    static int record(void *record, FlowmeshStreamAnswer *)
    {
        auto *event = static_cast<FlowmeshStreamEvent *>(record);
        reinterpret_cast<Reached *>(static_cast<uintptr_t>(event->user[1]))->users.push_back(event->user[0]);
        return 0;
    }
};

std::vector<uint64_t> fan_data(FlowmeshEventTableSet *set, Reached *reached)
{
    reached->users.clear();
    FlowmeshStreamEvent event = {};
    flowmesh_fan_stream_data(set, &event);
    return reached->users;
}

TEST_F(EventTables, TokensAreTheLowestFreeNumberAndUnregisteringLeavesTheOthers)
{
    Reached reached;
    auto set_of = [&](uint64_t user) {
        return FlowmeshCallbacks{Reached::record, {user, reinterpret_cast<uintptr_t>(&reached)}};
    };
    FlowmeshCallbacks first = set_of(10), second = set_of(20), third = set_of(30);
    const uint64_t t1 = flowmesh_register_data_callbacks(&first);
    const uint64_t t2 = flowmesh_register_data_callbacks(&second);
    EXPECT_EQ(t1, 1u);
    EXPECT_EQ(t2, 2u);
    EXPECT_EQ(fan_data(events(), &reached), (std::vector<uint64_t>{10, 20}));

    flowmesh_unregister_data_callbacks(t1);
    EXPECT_EQ(fan_data(events(), &reached), (std::vector<uint64_t>{20}));

    // The freed number is handed out again at once; delivery follows token
    // order, not registration order.
    EXPECT_EQ(flowmesh_register_data_callbacks(&third), 1u);
    EXPECT_EQ(fan_data(events(), &reached), (std::vector<uint64_t>{30, 20}));

    // Tokens and tables that name nothing change nothing.
    flowmesh_unregister_data_callbacks(0);
    flowmesh_unregister_data_callbacks(99);
    flowmesh_unregister_callbacks(events(), 7, 1);
    flowmesh_unregister_callbacks(nullptr, FLOWMESH_EVENTS_STREAM_DATA, 1);
    flowmesh_unregister_state_callbacks(1);  // another table's token 1
    EXPECT_EQ(fan_data(events(), &reached), (std::vector<uint64_t>{30, 20}));

    EXPECT_EQ(flowmesh_register_data_callbacks(nullptr), 0u);
    EXPECT_EQ(flowmesh_register_callbacks(events(), 7, &first), 0u);
}

TEST_F(EventTables, WithoutACoreRegistrationFailsAndStateChangesAreRefused)
{
    flowmesh_core_destroy();
    FlowmeshCallbacks callbacks = {Reached::record, {0, 0}};
    EXPECT_EQ(flowmesh_register_session_callbacks(&callbacks), 0u);
    EXPECT_EQ(flowmesh_register_request_callbacks(&callbacks), 0u);
    flowmesh_unregister_request_callbacks(1);
    EXPECT_EQ(flowmesh_set_state(2), CORE_ERR);
    EXPECT_EQ(flowmesh_set_state(0), CORE_ERR);
}

// A set that unregisters its own token on its first call.
struct SelfRemover {
    FlowmeshEventTableSet *set;
    uint64_t token;
    std::atomic<int> calls{0};
    static int record(void *record, FlowmeshStreamAnswer *)
    {
        auto *event = static_cast<FlowmeshStatusEvent *>(record);
        auto *self = reinterpret_cast<SelfRemover *>(static_cast<uintptr_t>(event->user[0]));
        if (self->calls.fetch_add(1) == 0) flowmesh_unregister_callbacks(self->set, FLOWMESH_EVENTS_STATUS, self->token);
        return 0;
    }
};

TEST_F(EventTables, ACallbackMayUnregisterItselfDuringItsCall)
{
    SelfRemover remover;
    remover.set = events();
    FlowmeshCallbacks callbacks = {SelfRemover::record, {reinterpret_cast<uintptr_t>(&remover), 0}};
    remover.token = flowmesh_register_callbacks(events(), FLOWMESH_EVENTS_STATUS, &callbacks);
    ASSERT_NE(remover.token, 0u);
    ASSERT_NE(watch_status(&status), 0u);  // registered after it: still reached

    const uint32_t word = 7;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(flowmesh_post_event(events(), FLOWMESH_STATUS_STATE, &word, 4), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return status.size() == 3; }));
    EXPECT_EQ(remover.calls.load(), 1);
}

// Counts deliveries and any that arrive after unregistration returned.
struct LateWatch {
    std::atomic<bool> unregistered{false};
    std::atomic<int> calls{0};
    std::atomic<int> late{0};
    static int record(void *record, FlowmeshStreamAnswer *)
    {
        auto *event = static_cast<FlowmeshStatusEvent *>(record);
        auto *self = reinterpret_cast<LateWatch *>(static_cast<uintptr_t>(event->user[0]));
        self->calls.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // widen the window
        if (self->unregistered.load()) self->late.fetch_add(1);
        return 0;
    }
};

TEST_F(EventTables, NoCallAfterUnregistrationReturnsWhileEventsKeepComing)
{
    FlowmeshEventTableSet *set = events();
    for (int round = 0; round < 20; ++round) {
        LateWatch watch;
        FlowmeshCallbacks callbacks = {LateWatch::record, {reinterpret_cast<uintptr_t>(&watch), 0}};
        const uint64_t token = flowmesh_register_callbacks(set, FLOWMESH_EVENTS_STATUS, &callbacks);
        ASSERT_NE(token, 0u);
        std::atomic<bool> stop{false};
        std::thread poster([&] {
            const uint32_t word = 0;
            while (!stop.load()) {
                flowmesh_post_event(set, FLOWMESH_STATUS_STATE, &word, 4);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        ASSERT_TRUE(wait_until([&] { return watch.calls.load() > 2; }));
        flowmesh_unregister_callbacks(set, FLOWMESH_EVENTS_STATUS, token);
        watch.unregistered.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.store(true);
        poster.join();
        // Drain what the poster left before `watch` goes out of scope.
        ASSERT_TRUE(wait_until([&] { return core_queue_count(set->pipe->queue) == 0; }));
        EXPECT_EQ(watch.late.load(), 0) << "round " << round;
    }
}

// What the posted tables delivered, one line per call, in delivery order.
struct Delivered {
    std::mutex mutex;
    std::vector<std::string> lines;

    static Delivered *of(uint64_t user) { return reinterpret_cast<Delivered *>(static_cast<uintptr_t>(user)); }
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char line[256];
        va_list args;
        va_start(args, format);
        vsnprintf(line, sizeof(line), format, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(mutex);
        lines.emplace_back(line);
    }
    size_t size()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return lines.size();
    }

    static int session(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshSessionEvent *>(record);
        of(e->user[0])->add("session %s %s %s state=%u port=%u mode=%u user=%llu", e->session.text, e->peer.text,
                            e->peer_node.text, e->info->state, e->info->peer_port, e->info->peer_mode,
                            static_cast<unsigned long long>(e->user[1]));
        return 0;
    }
    static int status(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStatusEvent *>(record);
        uint32_t word;
        memcpy(&word, e->payload, 4);
        of(e->user[0])->add("status %u %u user=%llu", e->code, word, static_cast<unsigned long long>(e->user[1]));
        return 0;
    }
    static int data(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamEvent *>(record);
        of(e->user[0])->add("data %s %s %s %s %.*s user=%llu", e->session.text, e->instance.text, e->owner.text,
                            e->stream.text, static_cast<int>(e->length), static_cast<const char *>(e->data),
                            static_cast<unsigned long long>(e->user[1]));
        return 0;
    }
    static int state(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
        of(e->user[0])->add("state %s %s %s %u key=%u kind=%u class=%u %s user=%llu", e->session.text,
                            e->instance.text, e->owner.text, e->state, e->key_kind, e->kind.kind,
                            e->kind.class_word, e->kind.stream_name.text,
                            static_cast<unsigned long long>(e->user[1]));
        return 0;
    }
    static int stats(void *record, FlowmeshStreamAnswer *)
    {
        auto *e = static_cast<FlowmeshStreamStatsEvent *>(record);
        of(e->user[0])->add("stats %s %s %s %s %llu %llu user=%llu", e->session.text, e->instance.text,
                            e->owner.text, e->stream.text, static_cast<unsigned long long>(e->acknowledged),
                            static_cast<unsigned long long>(e->delivered),
                            static_cast<unsigned long long>(e->user[1]));
        return 0;
    }
};

TEST_F(EventTables, PostedEventsArriveInPostingOrderWithTheirFieldsAndUserWords)
{
    FlowmeshEventTableSet *set = events();
    Delivered delivered;
    const uint64_t self = reinterpret_cast<uintptr_t>(&delivered);
    const struct {
        uint32_t table;
        FlowmeshCallbackFn fn;
    } sets[] = {{FLOWMESH_EVENTS_SESSION, Delivered::session},
                {FLOWMESH_EVENTS_STATUS, Delivered::status},
                {FLOWMESH_EVENTS_STREAM_DATA, Delivered::data},
                {FLOWMESH_EVENTS_STREAM_STATE, Delivered::state},
                {FLOWMESH_EVENTS_STREAM_STATS, Delivered::stats}};
    for (const auto &s : sets) {
        FlowmeshCallbacks callbacks = {s.fn, {self, 100 + s.table}};
        ASSERT_NE(flowmesh_register_callbacks(set, s.table, &callbacks), 0u);
    }

    const CoreName session = core_name_of("ssn"), peer = core_name_of("peer"), node = core_name_of("node"),
                   instance = core_name_of("inst"), owner = core_name_of("owner"),
                   stream = core_name_of("p2p.svc.strm");
    FlowmeshSessionInfo info = {};
    info.state = FLOWMESH_SESSION_DOWN;
    info.peer_port = 4242;
    info.peer_mode = 2;
    FlowmeshKindBlock kind = {FLOWMESH_STREAM_RELIABLE, 0x10, core_name_of("p2p.bnd.strm")};
    const uint32_t started = 2;

    ASSERT_EQ(flowmesh_post_session_event(set, &session, &peer, &node, &info), CORE_OK);
    ASSERT_EQ(flowmesh_post_event(set, FLOWMESH_STATUS_STATE, &started, sizeof(started)), CORE_OK);
    ASSERT_EQ(flowmesh_post_stream_state(set, &session, &instance, &owner, &kind, 6, FLOWMESH_STREAM_OPENED), CORE_OK);
    ASSERT_EQ(flowmesh_post_stream_stats(set, &session, &instance, &owner, &stream, 10, 20), CORE_OK);
    ASSERT_EQ(flowmesh_post_service_data(set, &session, &instance, &owner, &stream, "hello", 5), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return delivered.size() == 5; }));
    EXPECT_EQ(delivered.lines, (std::vector<std::string>{
                                   "session ssn peer node state=1 port=4242 mode=2 user=100",
                                   "status 4 2 user=101",
                                   // the key kind is masked with 3
                                   "state ssn inst owner 1 key=2 kind=3 class=16 p2p.bnd.strm user=103",
                                   "stats ssn inst owner p2p.svc.strm 10 20 user=105",
                                   "data ssn inst owner p2p.svc.strm hello user=102",
                               }));
}

TEST_F(EventTables, AStatusPayloadShorterThanItsCodesRecordIsRefused)
{
    FlowmeshEventTableSet *set = events();
    const CoreNetAdapter adapter = {};
    const uint32_t word = 0;
    const struct {
        uint32_t code;
        const void *payload;
        uint64_t length;
        CoreResult result;
    } cases[] = {
        {FLOWMESH_STATUS_NETWORK_CHANGED, &word, 3, CORE_ERR_INVALID},
        {FLOWMESH_STATUS_NETWORK_CHANGED, &word, 4, CORE_OK},
        {FLOWMESH_STATUS_ADAPTER_ADDED, &adapter, sizeof(adapter) - 1, CORE_ERR_INVALID},
        {FLOWMESH_STATUS_ADAPTER_LOST, &adapter, sizeof(adapter), CORE_OK},
        {FLOWMESH_STATUS_STATE, nullptr, 4, CORE_ERR_INVALID},
        {FLOWMESH_STATUS_STATE, &word, 4, CORE_OK},
        {77, nullptr, 0, CORE_OK},  // codes of its own: the engine knows their size
    };
    for (const auto &c : cases)
        EXPECT_EQ(flowmesh_post_event(set, c.code, c.payload, c.length), c.result) << "code " << c.code;
    EXPECT_EQ(flowmesh_post_event(nullptr, FLOWMESH_STATUS_STATE, &word, 4), CORE_ERR);
}

TEST_F(EventTables, MalformedRecordsOnTheEventPipeAreDroppedAndLaterEventsStillArrive)
{
    FlowmeshEventTableSet *set = events();
    ASSERT_NE(watch_status(&status), 0u);
    uint8_t bytes[64] = {};
    const uint64_t claim_more = 1000;  // a status header whose length exceeds the message
    memcpy(bytes + 8, &claim_more, sizeof(claim_more));
    const struct {
        uint32_t type;
        uint64_t length;
    } cases[] = {
        {FLOWMESH_POST_SESSION, 10},       // shorter than a session record
        {FLOWMESH_POST_SERVICE_DATA, 16},  // shorter than its header
        {FLOWMESH_POST_STATUS, 8},         // shorter than its header
        {FLOWMESH_POST_STATUS, 40},        // header claims 1000 bytes
        {FLOWMESH_POST_STREAM_STATE, 64},
        {FLOWMESH_POST_STREAM_STATS, 0},
        {99, 64},  // unknown kind
    };
    for (const auto &c : cases) {
        CoreIoVec vec = {c.length, bytes};
        ASSERT_EQ(core_queue_post(set->pipe->queue, nullptr, c.type, 0, &vec, 1), 0);
    }
    const uint32_t word = 5;
    ASSERT_EQ(flowmesh_post_event(set, FLOWMESH_STATUS_STATE, &word, 4), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return status.size() == 1; }));
    EXPECT_EQ(status.copy()[0].word, 5u);
}

// One table-6 subscriber's behaviour.
struct Answerer {
    int result;
    uint64_t send_buffer;
    uint64_t receive_buffer;
    uint32_t flags;
    uint32_t kind_bits;
    uint64_t rate;
    const char *owner;

    static int answer(void *record, FlowmeshStreamAnswer *answer)
    {
        auto *request = static_cast<FlowmeshStreamRequest *>(record);
        auto *self = reinterpret_cast<const Answerer *>(static_cast<uintptr_t>(request->user[0]));
        // Every subscriber starts from the presets, whatever the one before
        // it wrote.
        EXPECT_EQ(answer->send_buffer, FLOWMESH_ANSWER_BUFFER);
        EXPECT_EQ(answer->rate, 0u);
        EXPECT_TRUE(core_name_is_empty(&answer->owner_name));
        EXPECT_EQ(core_name_cmp_str(request->session.key, "ssn"), 0);
        answer->send_buffer = self->send_buffer;
        answer->receive_buffer = self->receive_buffer;
        answer->flags = self->flags;
        answer->kind_bits = self->kind_bits;
        answer->rate = self->rate;
        answer->word = 0xABC;
        core_name_format(&answer->owner_name, "%s", self->owner);
        return self->result;
    }
};

TEST_F(EventTables, StreamRequestMergeTakesOnlyPositiveAnswers)
{
    const Answerer accept_a = {1, 0x10000, 0x9000, 0x1, 0x100, 5, "first"};
    const Answerer accept_b = {1, 0x4000, 0x4000, 0x4, 0x0, 7, "second"};
    const Answerer decline = {0, 0x1, 0x1, 0x80, 0x80, 9, "decline"};
    const Answerer unknown_session = {-1, 0x1, 0x1, 0x40, 0x40, 11, "unknown"};
    const Answerer tiny = {1, 100, 0x4000000, 0, 0, 0, ""};
    const struct {
        const char *purpose;
        std::vector<const Answerer *> subscribers;
        uint32_t accepted;
        uint64_t send_buffer, receive_buffer;
        uint32_t flags, kind;
        uint64_t rate;
        const char *owner;
    } cases[] = {
        {"nobody subscribed", {}, 0, 0x8000, 0x8000, 0x2, 3, 0, ""},
        {"nobody accepted", {&decline}, 0, 0x8000, 0x8000, 0x2, 3, 0, ""},
        {"one acceptor", {&accept_a}, 1, 0x10000, 0x9000, 0x3, 0x103, 5, "first"},
        {"later acceptor's sizes, both flags, first owner", {&accept_a, &accept_b}, 2, 0x4000, 0x4000, 0x7, 0x103, 7,
         "first"},
        {"a -1 answer does not overwrite an acceptor", {&accept_a, &unknown_session}, 1, 0x10000, 0x9000, 0x3, 0x103,
         5, "first"},
        {"an empty owner leaves room for a later one", {&tiny, &accept_b}, 2, 0x4000, 0x4000, 0x6, 3, 7, "second"},
        {"buffers clamped to 2048..32 MiB", {&tiny}, 1, 2048, 0x2000000, 0x2, 3, 0, ""},
    };
    FlowmeshEventTableSet *set = events();
    for (const auto &c : cases) {
        std::vector<uint64_t> tokens;
        for (const Answerer *a : c.subscribers) {
            FlowmeshCallbacks callbacks = {Answerer::answer, {reinterpret_cast<uintptr_t>(a), 0}};
            tokens.push_back(flowmesh_register_request_callbacks(&callbacks));
        }
        FlowmeshStreamRequest request = {};
        request.session = core_name_of("ssn");
        FlowmeshStreamParams params = {};
        params.send_buffer = 1;  // not carried: the result starts from the presets
        params.rate = 99;
        params.flags = 0x2;
        params.kind = {FLOWMESH_STREAM_RELIABLE, 0x10, core_name_of("p2p.bnd.strm")};
        params.id_value = c.subscribers.empty() ? 0x55 : 0;
        const uint64_t id_value = params.id_value;

        EXPECT_EQ(flowmesh_fan_stream_request(set, &request, &params), c.accepted) << c.purpose;
        EXPECT_EQ(params.send_buffer, c.send_buffer) << c.purpose;
        EXPECT_EQ(params.receive_buffer, c.receive_buffer) << c.purpose;
        EXPECT_EQ(params.flags, c.flags) << c.purpose;
        EXPECT_EQ(params.kind.kind, c.kind) << c.purpose;
        EXPECT_EQ(params.kind.class_word, 0x10u) << c.purpose;
        EXPECT_EQ(params.rate, c.rate) << c.purpose;
        EXPECT_EQ(params.word, c.accepted ? 0xABCu : 0u) << c.purpose;
        if (c.accepted == 0) {
            EXPECT_EQ(params.id_value, id_value) << c.purpose;
        }
        EXPECT_EQ(core_name_cmp_str(params.owner_name.key, c.owner), 0) << c.purpose;
        for (uint64_t token : tokens) flowmesh_unregister_request_callbacks(token);
    }
}

TEST_F(EventTables, StateChangeArgumentsAndPoolSizesAreChecked)
{
    EXPECT_EQ(flowmesh_set_state(1), CORE_ERR_UNSUPPORTED);
    EXPECT_EQ(flowmesh_set_state(3), CORE_ERR_INVALID);
    EXPECT_EQ(flowmesh_set_state(-1), CORE_ERR_INVALID);

    FlowmeshConfig config = test_config();
    EXPECT_EQ(flowmesh_core_create(&config), CORE_ERR) << "a second core";
    flowmesh_core_destroy();

    const struct {
        uint64_t reliable, reliable_queue;
        CoreResult result;
    } cases[] = {
        {2047, 0, CORE_ERR_INVALID}, {0, 1, CORE_ERR_INVALID}, {0, 0, CORE_OK},
        {2048, 0, CORE_OK},          {0, 2048, CORE_OK},       {2048, 4096, CORE_OK},
    };
    for (const auto &c : cases) {
        config.reliable_pool_size = c.reliable;
        config.reliable_queue_pool_size = c.reliable_queue;
        EXPECT_EQ(flowmesh_core_create(&config), c.result) << c.reliable << " " << c.reliable_queue;
        CoreName reliable, reliable_queue;
        core_name_format(&reliable, "%s", FLOWMESH_RELIABLE_POOL);
        core_name_format(&reliable_queue, "%s", FLOWMESH_RELIABLE_QUEUE_POOL);
        EXPECT_EQ(core_pool_exists(&reliable), c.result == CORE_OK && c.reliable != 0);
        EXPECT_EQ(core_pool_exists(&reliable_queue), c.result == CORE_OK && c.reliable_queue != 0);
        flowmesh_core_destroy();
    }
}

}  // namespace
