// Shared pieces of the suites that drive a real engine through the engine
// facade: a node configuration that starts a media node with the
// framework's test sources and a network on one loopback adapter (nothing
// leaves the machine), a way to wait until the facade's worker has run
// every request queued so far, a recording IPkDeam listener, a log of the
// command topic, the shell's shut-down sequence, and a stand-in control
// channel for the engine that is not started.
//
// The facade is a process singleton, so a suite starts it once in a global
// environment and shuts it down at the end; each test leaves the engine in
// the state it needs itself (started or stopped), so that the tests run
// alone (one process each) and together alike.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/adapters.h"
#include "core/notify.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "engine/session.h"
#include "flowmesh/interface.h"
#include "ravelkit/devices.h"
#include "services/config.h"
#include "services/facade.h"
#include "services/media.h"

// GLib's library constructor allocates its first quark block when the
// library is loaded and abandons it, on purpose, when the quark table grows
// as the multimedia framework starts; the stack shows only _dl_init. The
// suites that include this header (one source each) run the framework.
// Weak: a suite that also links the windows' test environment takes its
// wider list instead.
extern "C" __attribute__((weak)) const char *__lsan_default_suppressions() { return "leak:_dl_init\n"; }

// GLib is built without frame pointers: the fast unwinder stops inside it
// and the stack above would never show _dl_init.
extern "C" __attribute__((weak)) const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0:malloc_context_size=8";
}

namespace facade_support {

// A queue code the facade ignores: its delivery shows that every request
// queued before it has run.
constexpr int32_t kQueueMarker = 0x7E57;

inline CoreName name_of(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return name;
}

inline uint32_t loopback(uint8_t last) { return htonl(0x7F000000u | last); }

// A node configuration that starts: a media node sending from the first
// test sources and playing into virtual sinks, found by peers only on the
// loopback address 127.0.0.`last`, on ports apart per process.
inline void configure_test_node(uint8_t last = 1)
{
    std::shared_ptr<PkConfig> c = PkConfig::instance();
    c->adapters.clear();
    PkAdapterEntry lo;
    lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
    lo.address = {loopback(last), 0};
    lo.mask = {htonl(0xFF000000u), 0};
    lo.broadcast = {loopback(1), 0};
    char id[16];
    snprintf(id, sizeof(id), "6C6F%02X", last);
    lo.id = id;
    lo.description = "lo";
    c->adapters.push_back(lo);
    c->pipelineOptions.fill(0);
    c->basePort = static_cast<uint16_t>(23000 + (getpid() % 400) * 20);
    c->secondPort = 0;
    c->adapterIndex = -1;
    c->networkOption = FLOWMESH_KEYS_128;
    c->servicesMode = ENGINE_SERVICES_BINDING | ENGINE_SERVICES_MEDIA;
    c->networkMode = 1;
    c->networkFlags = ENGINE_NET_ROLE_IDENTITY | ENGINE_NET_ROLE_KEY | ENGINE_NET_LAN_DISCOVERY |
                      ENGINE_NET_IGNORE_OWN | ENGINE_NET_FIXED_ADAPTERS;
    c->nodeUserId = PkXID::fromText("facade.user." + std::to_string(last));
    c->systemNodeName = PkXID::fromText("facade.test." + std::to_string(getpid()));
    c->nodeKey = PkXID::fromText("facade.key." + std::to_string(last) + "." + std::to_string(getpid()));
    c->avatar = PkBuffer(std::vector<uint8_t>{0x89, 'P', 'N', 'G'});
    c->audioSourceId = PkXID::fromText(DEFAULT_DEVICE_ID);
    c->videoSourceId = PkXID::fromText(DEFAULT_DEVICE_ID);
    c->audioSinkId = PkXID::fromText(DEFAULT_DEVICE_ID);
    c->videoSinkId = PkXID::fromText(DEFAULT_DEVICE_ID);
    c->audioSourceParam = 256;
    c->videoSourceParam = 256;
    c->audioSourceClass = RAVK_CLASS_TEST;
    c->videoSourceClass = RAVK_CLASS_TEST;
    c->audioSinkClass = RAVK_CLASS_VIRTUAL;
    c->videoSinkClass = RAVK_CLASS_VIRTUAL;
    c->audioSinkParam = 2;
    c->videoSinkParam = 2;
    c->showCursor = false;
    c->showClicks = false;
    c->captureSourceParams = {0, 0};
    c->frameworkType = 1;
    c->bitratePolicy = 0;
    c->rateControlOption = 1;
    c->playbackDelayMs = 250;
    c->autoAccept = false;
    c->combinedProfile = false;
    c->audioEncoders.clear();
    c->audioDecoders.clear();
    c->videoEncoders.clear();
    c->videoDecoders.clear();
    c->audioEncoderLimits.clear();
    c->videoEncoderLimits.clear();
    c->audioSourceIndex = 0;
    c->audioSinkIndex = 0;
    c->videoSourceIndex = 0;
    c->videoSinkIndex = 0;
    c->sendRoles = ENGINE_ROLE_ANSWERER;
    c->receiveRoles = ENGINE_ROLE_REQUESTER;
    c->binderDirection = ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING;
    c->p2pChannelCount = 1;
    c->p2pClass = 1;
    c->p2mChannelCount = 0;
    c->videoSizeClass = 2;
    c->broadcastSizeClass = -1;
    c->broadcastChannels = 0;
}

// Sees every message of the facade's queue after the facade did: the codes
// of the requests, and the markers that tell a test the worker got there.
class QueueWatch : public IPkAsyncQueue {
public:
    void onMessage(std::shared_ptr<PkBuffer> message) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (message->code == kQueueMarker)
            ++markers_;
        else
            requests_.push_back(message->code);
        changed_.notify_all();
    }

    // Queues a marker and waits until the worker reached it.
    void flush(PkDeam &facade)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t wanted = ++posted_;
        auto marker = std::make_shared<PkBuffer>();
        marker->code = kQueueMarker;
        facade.queue.post(marker);
        ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(120), [&] { return markers_ >= wanted; }))
            << "the facade's worker did not get through its requests";
    }

    std::vector<int32_t> takeRequests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int32_t> out;
        out.swap(requests_);
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t posted_ = 0;
    uint64_t markers_ = 0;
    std::vector<int32_t> requests_;
};

// The watch of this process, subscribed to the facade's queue after the
// facade itself.
inline std::shared_ptr<QueueWatch> &queue_watch()
{
    static std::shared_ptr<QueueWatch> watch;
    return watch;
}

// The facade with the watch behind it (the first call creates both).
inline std::shared_ptr<PkDeam> facade()
{
    std::shared_ptr<PkDeam> facade = PkDeam::instance();
    if (!queue_watch()) {
        queue_watch() = std::make_shared<QueueWatch>();
        facade->queue.subscribe(queue_watch());
    }
    return facade;
}

inline void flush() { queue_watch()->flush(*facade()); }

// Requests a state and waits until the worker has carried it out.
inline void run_state(int32_t state)
{
    facade()->setState(state);
    flush();
}

// Every slot a listener heard, with the thread it ran on.
class Recorder : public IPkDeam {
public:
    struct Call {
        std::string slot;
        std::thread::id thread;
    };

    void onCoreInitializing() override { add("CoreInitializing"); }
    void onCoreInitialized() override { add("CoreInitialized"); }
    void onEngineStopping() override { add("Stopping"); }
    void onEngineStopped() override { add("Stopped"); }
    void onEngineStarting() override { add("Starting"); }
    void onEngineStarted() override { add("Started"); }
    void onShutdownStarting() override { add("ShutdownStarting"); }
    void onShutdownFinished() override { add("ShutdownFinished"); }

    std::vector<Call> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Call> out;
        out.swap(calls_);
        return out;
    }

    std::vector<std::string> takeSlots()
    {
        std::vector<std::string> slots;
        for (const Call &call : take()) slots.push_back(call.slot);
        return slots;
    }

protected:
    virtual void add(const char *slot)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back({slot, std::this_thread::get_id()});
    }

private:
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// The command topic's messages of the codes asked for.
class CommandLog {
public:
    explicit CommandLog(std::vector<uint32_t> codes) : codes_(std::move(codes))
    {
        topic_ = name_of(ENGINE_COMMAND_TOPIC);
        CoreTopicSubscription subscription = {on_message, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        EXPECT_NE(key_, 0u);
    }
    ~CommandLog()
    {
        if (key_ != 0) core_topic_unsubscribe(&topic_, key_);
    }

    std::vector<std::vector<uint8_t>> take(uint32_t code)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<uint8_t>> out;
        for (const auto &m : messages_)
            if (m.first == code) out.push_back(m.second);
        return out;
    }

private:
    static CoreResult on_message(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<CommandLog *>(user[0]);
        if (std::find(self->codes_.begin(), self->codes_.end(), message->type) == self->codes_.end())
            return CORE_OK;
        std::vector<uint8_t> data;
        if (message->data != nullptr)
            data.assign(static_cast<const uint8_t *>(message->data),
                        static_cast<const uint8_t *>(message->data) + message->length);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.emplace_back(message->type, std::move(data));
        return CORE_OK;
    }

    std::vector<uint32_t> codes_;
    CoreName topic_{};
    uint64_t key_ = 0;
    std::mutex mutex_;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> messages_;
};

// The application shell's shut-down as it runs it on the main thread.
inline void shell_shutdown(PkDeam &facade)
{
    facade.notifyShutdownStarting();
    facade.queue.stop();
    const uint64_t none[2] = {0, 0};
    pk_media_set_view_window(none, 0, RavkRectangle{0, 0, 0, 0});
    engine_go_offline_sync();
    facade.notifyStopping();
    engine_stop_sync();
    facade.requestedState.store(PK_DEAM_STATE_NONE);
    facade.notifyShutdownFinished();
    PkDeam::shutdown();
}

// Starts the facade once per process and shuts it down as the shell does
// when the suite ends.
class FacadeEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        configure_test_node();
        facade();
    }
    void TearDown() override
    {
        if (queue_watch()) facade()->queue.unsubscribe(queue_watch());
        shell_shutdown(*PkDeam::instance());
    }
};

// A stand-in for the control service while no engine session exists: the
// channel ENGINE_CONTROL_SERVICE with one handler that a test gives.
class StandInControl {
public:
    explicit StandInControl(CoreNotifyHandler handler, void *user = nullptr)
    {
        channel_ = name_of(ENGINE_CONTROL_SERVICE);
        EXPECT_EQ(engine_session_current(), nullptr) << "a running session answers the channel itself";
        EXPECT_EQ(core_notify_channel_create(&channel_), CORE_OK);
        CoreNotifySubscription subscription = {handler, {user, nullptr}};
        token_ = core_notify_subscribe(&channel_, &subscription);
        EXPECT_NE(token_, 0u);
    }
    ~StandInControl()
    {
        if (token_ != 0) core_notify_unsubscribe(&channel_, token_);
        core_notify_channel_remove(ENGINE_CONTROL_SERVICE);
    }

private:
    CoreName channel_{};
    uint64_t token_ = 0;
};

}  // namespace facade_support
