#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/notify.h"
#include "runtime_parts_fixture.h"

namespace {

// A handler that answers a fixed value, counts its calls and appends its
// id to the output text. user[0]: Answer.
struct Answer {
    CoreResult value;
    char id;
    std::atomic<int> calls{0};
};

CoreResult answer(uint32_t, const void *, uint64_t, void *out, uint64_t *out_len, void **user)
{
    auto *a = static_cast<Answer *>(user[0]);
    a->calls++;
    if (out != nullptr && out_len != nullptr) static_cast<char *>(out)[(*out_len)++] = a->id;
    return a->value;
}

CoreNotifySubscription subscription_of(Answer *a) { return {answer, {a, nullptr}}; }

class CoreNotifyTest : public CoreRuntimeParts<> {
protected:
    void SetUp() override
    {
        CoreRuntimeParts::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(core_notify_registry_start(), CORE_OK);
        ASSERT_EQ(core_notify_channel_create(&channel), CORE_OK);
    }

    void TearDown() override
    {
        core_notify_registry_stop();
        CoreRuntimeParts::TearDown();
    }

    CoreName channel = core_name_of("test.channel");
};

// The answer of the last handler that claimed the code, whatever came
// before; every handler is called every time, in subscription order.
TEST_F(CoreNotifyTest, CombinesAnswersOfEveryHandler)
{
    struct Case {
        const char *purpose;
        std::vector<CoreResult> answers;
        CoreResult expected;
    };
    const Case cases[] = {
        {"no handlers", {}, CORE_ERR},
        {"nobody claims", {CORE_NOT_MINE, CORE_NOT_MINE}, CORE_ERR},
        {"a claim survives a later NOT_MINE", {CORE_OK, CORE_NOT_MINE}, CORE_OK},
        {"a later success replaces a failure", {CORE_ERR_INVALID, CORE_OK}, CORE_OK},
        {"a later failure replaces a success", {CORE_OK, CORE_ERR_INVALID}, CORE_ERR_INVALID},
        {"the last of three claims", {CORE_DONE, CORE_NOT_MINE, CORE_AGAIN}, CORE_AGAIN},
    };
    int row = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        CoreName name;
        core_name_format(&name, "test.combine.%d", row++);
        ASSERT_EQ(core_notify_channel_create(&name), CORE_OK);
        std::vector<Answer> handlers(c.answers.size());
        for (size_t i = 0; i < handlers.size(); ++i) {
            handlers[i].value = c.answers[i];
            handlers[i].id = static_cast<char>('a' + i);
            CoreNotifySubscription s = subscription_of(&handlers[i]);
            ASSERT_EQ(core_notify_subscribe(&name, &s), i + 1);
        }
        for (int call = 1; call <= 2; ++call) {
            char out[8] = {};
            uint64_t out_len = 0;
            EXPECT_EQ(core_notify(&name, 1, nullptr, 0, out, &out_len), c.expected);
            EXPECT_EQ(std::string(out), std::string("abc").substr(0, handlers.size()));
            for (const Answer &h : handlers) EXPECT_EQ(h.calls.load(), call);
        }
    }
}

TEST_F(CoreNotifyTest, PassesArgumentsAndUserPair)
{
    struct Seen {
        uint32_t code;
        std::string in;
        void *user1;
    } seen = {};
    CoreNotifySubscription s = {
        [](uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len, void **user) -> CoreResult {
            auto *seen = static_cast<Seen *>(user[0]);
            seen->code = code;
            seen->in.assign(static_cast<const char *>(in), in_len);
            seen->user1 = user[1];
            memcpy(out, "reply", 5);
            *out_len = 5;
            return CORE_OK;
        },
        {&seen, &seen.code}};
    ASSERT_EQ(core_notify_subscribe(&channel, &s), 1u);
    char out[16] = {};
    uint64_t out_len = sizeof(out);
    EXPECT_EQ(core_notify(&channel, 0x1234, "query", 5, out, &out_len), CORE_OK);
    EXPECT_EQ(seen.code, 0x1234u);
    EXPECT_EQ(seen.in, "query");
    EXPECT_EQ(seen.user1, &seen.code);
    EXPECT_EQ(std::string(out, out_len), "reply");
}

TEST_F(CoreNotifyTest, ChannelsAndSubscriptions)
{
    Answer a{CORE_OK, 'a'};
    CoreNotifySubscription s = subscription_of(&a);
    CoreNotifySubscription no_handler = {};
    CoreName unknown = core_name_of("test.unknown"), empty = {};

    EXPECT_EQ(core_notify_registry_start(), CORE_FAIL);
    EXPECT_EQ(core_notify_channel_create(&empty), CORE_FAIL);
    EXPECT_EQ(core_notify_channel_create(nullptr), CORE_FAIL);
    EXPECT_EQ(core_notify(&unknown, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);
    EXPECT_EQ(core_notify_subscribe(&unknown, &s), 0u);
    EXPECT_EQ(core_notify_subscribe(&channel, &no_handler), 0u);
    EXPECT_EQ(core_notify_unsubscribe(&unknown, 1), CORE_FAIL);
    EXPECT_EQ(core_notify_unsubscribe(&channel, 9), CORE_FAIL);
    EXPECT_EQ(core_notify_channel_remove("test.unknown"), CORE_FAIL);

    // Creating an existing channel keeps it and its handlers.
    ASSERT_EQ(core_notify_subscribe(&channel, &s), 1u);
    EXPECT_EQ(core_notify_channel_create(&channel), CORE_OK);
    EXPECT_EQ(core_notify_channel_create_str("test.channel"), CORE_OK);
    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_OK);

    // A text name is cut to its first 32 bytes.
    ASSERT_EQ(core_notify_channel_create_str("0123456789abcdef0123456789ABCDEF-tail"), CORE_OK);
    CoreName cut = core_name_of("0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(core_notify_subscribe(&cut, &s), 1u);

    // Tokens: lowest free first, reusable once unsubscribed.
    EXPECT_EQ(core_notify_subscribe(&channel, &s), 2u);
    EXPECT_EQ(core_notify_unsubscribe(&channel, 1), CORE_OK);
    EXPECT_EQ(core_notify_subscribe(&channel, &s), 1u);

    // A removed channel answers like an unknown one; its name is free again.
    ASSERT_EQ(core_notify_channel_remove("test.channel"), CORE_OK);
    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);
    ASSERT_EQ(core_notify_channel_create(&channel), CORE_OK);
    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);

    core_notify_registry_stop();
    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);
    EXPECT_EQ(core_notify_channel_create(&channel), CORE_FAIL);
    EXPECT_EQ(core_notify_subscribe(&channel, &s), 0u);
    core_notify_registry_stop();  // harmless twice
    ASSERT_EQ(core_notify_registry_start(), CORE_OK);
}

struct Nested {
    CoreName self;
    CoreName other;
    uint64_t token = 0;
    std::atomic<int> calls{0};
    CoreResult inner = -1000;
    CoreResult unsubscribed = -1000;
};

// On code 1 it asks the other channel and the same channel (code 2) from
// inside the call, then unsubscribes itself; on code 2 it answers 7.
CoreResult reenter(uint32_t code, const void *, uint64_t, void *, uint64_t *, void **user)
{
    auto *n = static_cast<Nested *>(user[0]);
    n->calls++;
    if (code == 2) return 7;
    CoreResult other = core_notify(&n->other, 1, nullptr, 0, nullptr, nullptr);
    CoreResult same = core_notify(&n->self, 2, nullptr, 0, nullptr, nullptr);
    n->inner = other == CORE_OK && same == 7 ? CORE_OK : CORE_ERR;
    n->unsubscribed = core_notify_unsubscribe(&n->self, n->token);
    return CORE_NOT_MINE;
}

TEST_F(CoreNotifyTest, HandlerMayCallAgainAndUnsubscribeItself)
{
    Nested n;
    n.self = channel;
    n.other = core_name_of("test.other");
    ASSERT_EQ(core_notify_channel_create(&n.other), CORE_OK);
    Answer other{CORE_OK, 'o'}, later{CORE_NOT_MINE, 'l'};
    CoreNotifySubscription other_sub = subscription_of(&other), later_sub = subscription_of(&later);
    CoreNotifySubscription self_sub = {reenter, {&n, nullptr}};
    ASSERT_EQ(core_notify_subscribe(&n.other, &other_sub), 1u);
    n.token = core_notify_subscribe(&channel, &self_sub);
    ASSERT_EQ(n.token, 1u);
    ASSERT_EQ(core_notify_subscribe(&channel, &later_sub), 2u);

    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);
    EXPECT_EQ(n.inner, CORE_OK);
    EXPECT_EQ(n.unsubscribed, CORE_OK);
    EXPECT_EQ(later.calls.load(), 2);  // the nested call and the outer one

    EXPECT_EQ(core_notify(&channel, 1, nullptr, 0, nullptr, nullptr), CORE_ERR);
    EXPECT_EQ(n.calls.load(), 2);  // the outer call and its nested code 2
    EXPECT_EQ(later.calls.load(), 3);
}

struct Guarded {
    std::atomic<int> inside{0};
    std::atomic<uint64_t> calls{0};
};

CoreResult guarded(uint32_t, const void *, uint64_t, void *, uint64_t *, void **user)
{
    auto *g = static_cast<Guarded *>(user[0]);
    g->inside++;
    g->calls++;
    std::this_thread::yield();
    g->inside--;
    return CORE_OK;
}

// Callers on four threads while the handler is unsubscribed: once
// unsubscribe returns, no call is in the handler and none enters it again.
TEST_F(CoreNotifyTest, UnsubscribeWaitsForCallsInProgress)
{
    Guarded g;
    CoreNotifySubscription s = {guarded, {&g, nullptr}};
    for (int round = 0; round < 10; ++round) {
        uint64_t token = core_notify_subscribe(&channel, &s);
        ASSERT_NE(token, 0u);
        std::atomic<bool> stop{false};
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t)
            callers.emplace_back([&] {
                // Unsubscribe waits for a moment when no call is walking
                // the handlers; back-to-back calls would make that rare.
                while (!stop) {
                    core_notify(&channel, 1, nullptr, 0, nullptr, nullptr);
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            });
        uint64_t start = g.calls.load();
        while (g.calls.load() < start + 20) std::this_thread::yield();
        ASSERT_EQ(core_notify_unsubscribe(&channel, token), CORE_OK);
        EXPECT_EQ(g.inside.load(), 0);
        uint64_t calls = g.calls.load();
        core_sleep_ms(2);
        EXPECT_EQ(g.calls.load(), calls);
        stop = true;
        for (std::thread &t : callers) t.join();
    }
}

}  // namespace
