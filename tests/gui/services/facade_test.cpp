#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/sync.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "engine/presence.h"
#include "engine/session.h"
#include "gui/services/engine_support.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"
#include "ravelkit/linux_values.h"
#include "services/config.h"
#include "services/facade.h"

using namespace facade_support;

namespace {

// The start-up addresses the facade publishes when it makes the engine.
const std::vector<std::string> kStartupAddresses = {"192.0.2.10", "198.51.100.200"};

class StartupEnvironment : public FacadeEnvironment {
public:
    void SetUp() override
    {
        PkInitConfig::instance()->addresses = kStartupAddresses;
        FacadeEnvironment::SetUp();
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new StartupEnvironment);

CoreName name_from(const PkXID &id)
{
    CoreName name{};
    memcpy(name.key, id.key, sizeof(name.key));
    core_name_make(&name);
    return name;
}

std::string property(const char *name)
{
    CoreName key = name_of(name);
    std::vector<uint8_t> value(ENGINE_PROP_AVATAR_MAX);
    uint64_t length = 0;
    if (engine_node_property_get(engine_node_running(), key.key, value.data(), value.size(), &length) != CORE_OK)
        return "<none>";
    return std::string(reinterpret_cast<const char *>(value.data()), static_cast<size_t>(length));
}

std::vector<std::string> property_names()
{
    std::vector<std::string> names;
    EngineNode *node = engine_node_running();
    if (node == nullptr) return names;
    CoreLockGuard guard(node->lock);
    for (EngineNodePropertyEntry *e = node->first; e != nullptr; e = e->next) names.push_back(e->name.text);
    return names;
}

// The 4-byte value list 1 holds under key + index, or -1 when none.
int64_t framework_value(const char *key, uint32_t index)
{
    int32_t value = 0;
    uint64_t size = 0;
    if (core_valuelist_get(core_process_valuelist(1), key, index, nullptr, &value, sizeof(value), &size) != 0 ||
        size != sizeof(value))
        return -1;
    return value;
}

// The record the test node's configuration must give, written out field by
// field from what configure_test_node() put there.
EngineConfig expected_test_record()
{
    const std::shared_ptr<PkConfig> c = PkConfig::instance();
    EngineConfig r;
    memset(&r, 0, sizeof(r));
    r.binderDirection = 3;
    r.sendRoles = 2;
    r.receiveRoles = 1;
    r.networkFlags = 0x37;
    r.serviceFlags = 3;
    r.nodeKind = 1;
    r.networkMode = 1;
    r.servicesMode = 10;
    r.network.basePort = c->basePort;
    r.network.systemNodeName = name_from(c->systemNodeName);
    r.network.nodeUserId = name_of("facade.user.1");
    r.network.nodeKey = name_from(c->nodeKey);
    r.network.adapterIndex = -1;
    CoreNetAdapter &lo = r.network.adapterRecords[0];
    lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
    lo.address = {loopback(1), 0};
    lo.mask = {htonl(0xFF000000u), 0};
    lo.broadcast = loopback(1);
    strcpy(lo.id, "6C6F01");
    strcpy(lo.description, "lo");
    r.network.networkOption = FLOWMESH_KEYS_128;
    r.frameworkType = 1;
    r.p2pChannelCount = 1;
    r.p2pClass = 1;
    r.videoSizeClass = 2;
    r.audioSource = {256, 0, RAVK_CLASS_TEST, name_of(DEFAULT_DEVICE_ID)};
    r.audioSink = {2, 0, RAVK_CLASS_VIRTUAL, name_of(DEFAULT_DEVICE_ID)};
    r.audioPlaybackDelay = 250000000ull;
    r.videoSource = {256, 0, RAVK_CLASS_TEST, name_of(DEFAULT_DEVICE_ID)};
    r.videoSink = {2, 0, RAVK_CLASS_VIRTUAL, name_of(DEFAULT_DEVICE_ID)};
    r.videoPlaybackDelay = 250000000ull;
    r.rateControlOption = 1;
    return r;
}

// A registered descriptor of the video encoder list with this codec name.
bool find_video_encoder(const char *codecName, CoreVideoCodecDesc *out)
{
    const uint32_t count = core_codec_entry_count_video(1);
    for (uint32_t i = 0; i < count; ++i)
        if (core_codec_get_video(i, 1, out) == 0 && strcmp(out->codec_name, codecName) == 0) return true;
    return false;
}

// Each test starts from a stopped engine, its own node configuration and
// no listeners, and leaves the same behind.
class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        configure_test_node();
        run_state(PK_DEAM_STATE_STOPPED);
        ASSERT_EQ(engine_state(), ENGINE_STATE_STOPPED);
        queue_watch()->takeRequests();
        facade()->addListener(recorder);
    }
    void TearDown() override
    {
        run_state(PK_DEAM_STATE_STOPPED);
        std::lock_guard<std::mutex> lock(facade()->listenerMutex);
        facade()->listeners.clear();
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

// ---- pure parts ---------------------------------------------------------------------

TEST(FacadeTexts, DirectionTextsBothWays)
{
    struct Case {
        uint32_t direction;
        const char *text;
        int32_t readBack;
    };
    const Case cases[] = {
        {1, "direction.outgoing.value", 1},
        {2, "direction.incoming.value", 2},
        {3, "direction.bidirectional.value", 3},
        {0, "direction.none.value", 0},
        {5, "direction.none.value", 0},  // any other value is none, and reads back as 0
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pk_node_direction_text(c.direction), c.text) << c.direction;
        EXPECT_EQ(pk_node_direction_from_text(c.text), c.readBack) << c.text;
    }
    for (const char *text : {"", "direction.incoming.valu", "Direction.incoming.value", "direction.incoming.value "})
        EXPECT_EQ(pk_node_direction_from_text(text), 0) << '"' << text << '"';
}

// Edge cases of the record fill that the running start below does not reach.
TEST_F(FacadeTest, RecordFillEdgeCases)
{
    std::shared_ptr<PkConfig> c = PkConfig::instance();
    c->systemNodeName = PkXID();
    c->sendRoles = 0;
    c->receiveRoles = 0;
    c->audioSourceIndex = 4;
    c->videoSourceIndex = 5;
    c->audioSinkIndex = 6;
    c->videoSinkIndex = 7;
    c->playbackDelayMs = 3000;
    c->binderDirection = 5;
    c->p2mChannelCount = 8;
    c->videoSizeClass = 2;
    c->broadcastChannels = 16;
    c->broadcastSizeClass = 1;
    c->showCursor = true;
    c->autoAccept = true;
    c->adapters.clear();
    for (int i = 0; i < 20; ++i) {
        PkAdapterEntry e;
        e.flags = 0x40u + static_cast<uint32_t>(i);
        e.address = {0x0A000000u + static_cast<uint32_t>(i), static_cast<uint16_t>(i)};
        e.mask = {0xFFFFFF00u, 1};
        e.broadcast = {0x0A0000FFu, 2};
        e.id = std::string(70, static_cast<char>('A' + i));  // longer than the field
        e.description = "adapter " + std::to_string(i);
        c->adapters.push_back(e);
    }

    const EngineConfig r = pk_engine_config_from_node_config();
    EXPECT_STREQ(r.network.systemNodeName.text, "pelko.system");
    for (const EngineDeviceSlot *slot : {&r.audioSource, &r.videoSource, &r.audioSink, &r.videoSink})
        EXPECT_EQ(slot->codecIndex, -1) << "an inactive side keeps no codec";
    EXPECT_EQ(r.audioPlaybackDelay, 3000000000ull);
    EXPECT_EQ(r.videoPlaybackDelay, 3000000000ull);
    EXPECT_EQ(r.binderDirection, 5u);
    EXPECT_EQ(r.p2mChannelCount, 16u) << "a configured broadcast wins";
    EXPECT_EQ(r.videoSizeClass, 1u);
    EXPECT_EQ(r.showCursor, 1u);
    EXPECT_EQ(r.autoAccept, 1u);
    for (int i = 0; i < 16; ++i) {
        const CoreNetAdapter &a = r.network.adapterRecords[i];
        EXPECT_EQ(a.next, nullptr);
        EXPECT_EQ(a.flags, 0x40u + static_cast<uint32_t>(i));
        EXPECT_EQ(a.address.address, 0x0A000000u + static_cast<uint32_t>(i));
        EXPECT_EQ(a.address.port, i);
        EXPECT_EQ(a.broadcast, 0x0A0000FFu);
        EXPECT_EQ(std::string(a.id, sizeof(a.id)), std::string(64, static_cast<char>('A' + i)))
            << "a long id fills the field without a terminator";
        EXPECT_STREQ(a.description, ("adapter " + std::to_string(i)).c_str());
    }

    // Without a broadcast, and with both sides active, the node's own values.
    c->broadcastChannels = 0;
    c->sendRoles = 1;
    c->receiveRoles = 2;
    const EngineConfig s = pk_engine_config_from_node_config();
    EXPECT_EQ(s.p2mChannelCount, 8u);
    EXPECT_EQ(s.videoSizeClass, 2u);
    EXPECT_EQ(s.audioSource.codecIndex, 4);
    EXPECT_EQ(s.videoSource.codecIndex, 5);
    EXPECT_EQ(s.audioSink.codecIndex, 6);
    EXPECT_EQ(s.videoSink.codecIndex, 7);
}

// ---- the facade and the engine --------------------------------------------------------

TEST_F(FacadeTest, StartCoreMadeTheEngineOnceAndPublishedTheAddresses)
{
    EngineContext *context = engine_context_current();
    ASSERT_NE(context, nullptr);
    EXPECT_NE(engine_node_running(), nullptr);
    CoreValueList *insertOnly = core_process_valuelist(0);
    for (uint32_t i = 0; i < kStartupAddresses.size(); ++i) {
        char text[64] = {};
        uint32_t type = 0;
        uint64_t size = 0;
        ASSERT_EQ(core_valuelist_get(insertOnly, "synchro.ip", i, &type, text, sizeof(text), &size), 0) << i;
        EXPECT_EQ(type, 1u);
        EXPECT_EQ(std::string(text, size), kStartupAddresses[i]) << "the text without a terminator";
    }

    // A second start finds the context: slot 1 only, and nothing changes.
    EXPECT_EQ(facade()->startCore(), -1);
    const std::vector<Recorder::Call> calls = recorder->take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].slot, "CoreInitializing");
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(engine_context_current(), context);
}

TEST_F(FacadeTest, StartPostsTheRecordAfterTheNodePropertiesAndStopTellsEachStep)
{
    std::shared_ptr<PkConfig> c = PkConfig::instance();
    c->pipelineOptions[4] = 77;  // "frmwrk.aud.prov.proc" 0
    CoreVideoCodecDesc extra{};
    extra.direction = 1;
    extra.input = core_fourcc("I420");
    extra.output = core_fourcc("H264");
    extra.device_number = -1;
    strcpy(extra.codec_name, "facade.extra.encoder");
    extra.evaluated_profile_set = 5;
    extra.evaluated_maximum = {1920, 1080, 60, 1};
    extra.alignment_width = 16;
    c->videoEncoders.push_back(extra);

    CommandLog log({ENGINE_CMD_START, ENGINE_CMD_GO_ONLINE});
    run_state(PK_DEAM_STATE_STARTED);

    const std::vector<Recorder::Call> started = recorder->take();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].slot, "Starting");
    EXPECT_EQ(started[1].slot, "Started");
    const std::thread::id worker = started[0].thread;
    EXPECT_NE(worker, std::this_thread::get_id()) << "starts run on the facade's worker";
    EXPECT_EQ(started[1].thread, worker);
    EXPECT_EQ(engine_state(), ENGINE_STATE_ONLINE);

    // The record, byte for byte, once; then the online command.
    const auto starts = log.take(ENGINE_CMD_START);
    ASSERT_EQ(starts.size(), 1u);
    const EngineConfig expected = expected_test_record();
    ASSERT_EQ(starts[0].size(), sizeof(EngineConfig));
    EXPECT_EQ(memcmp(starts[0].data(), &expected, sizeof(expected)), 0);
    EXPECT_EQ(log.take(ENGINE_CMD_GO_ONLINE).size(), 1u);

    // The four properties, in order, with their values.
    EXPECT_EQ(property_names(), (std::vector<std::string>{"node.userid.field", "node.binder.direction.field",
                                                          "node.status.field", "node.avatar.field"}));
    EXPECT_EQ(property(ENGINE_PROP_USERID), std::string("facade.user.1") + std::string(19, '\0'))
        << "all 32 key bytes";
    EXPECT_EQ(property(ENGINE_PROP_DIRECTION), "direction.bidirectional.value");
    EXPECT_EQ(property(ENGINE_PROP_STATUS), "status.online.value");
    EXPECT_EQ(property(ENGINE_PROP_AVATAR), std::string("\x89PNG"));

    // Pipeline options: the node's own where set, the platform's elsewhere.
    EXPECT_EQ(framework_value("frmwrk.aud.prov.proc", 0), 77);
    EXPECT_EQ(framework_value("frmwrk.vid.prov.pipe", 0), RAVK_BACKEND_X11);
    EXPECT_EQ(framework_value("frmwrk.vid.cons.proc", 1), RAVK_BACKEND_GSTREAMER);
    EXPECT_EQ(framework_value("frmwrk.aud.cons.proc", 1), 0);
    EXPECT_EQ(framework_value("frmwrk.vid.ftrs", RAVK_BACKEND_LIBYUV),
              RAVK_VIDEO_FEATURE_CROP | RAVK_VIDEO_FEATURE_FLIP);

    // The extra encoder joined the list without its evaluation.
    CoreVideoCodecDesc registered;
    ASSERT_TRUE(find_video_encoder("facade.extra.encoder", &registered));
    CoreVideoCodecDesc cleared = extra;
    cleared.evaluated_profile_set = 0;
    cleared.evaluated_maximum = {};
    EXPECT_EQ(memcmp(&registered, &cleared, sizeof(cleared)), 0);

    run_state(PK_DEAM_STATE_STOPPED);
    const std::vector<Recorder::Call> stopped = recorder->take();
    ASSERT_EQ(stopped.size(), 2u);
    EXPECT_EQ(stopped[0].slot, "Stopping");
    EXPECT_EQ(stopped[1].slot, "Stopped");
    EXPECT_EQ(stopped[0].thread, worker);
    EXPECT_EQ(engine_state(), ENGINE_STATE_STOPPED);
}

TEST_F(FacadeTest, StartStopStartWithAnotherConfiguration)
{
    CommandLog log({ENGINE_CMD_START});
    run_state(PK_DEAM_STATE_STARTED);
    run_state(PK_DEAM_STATE_STOPPED);
    std::shared_ptr<PkConfig> c = PkConfig::instance();
    c->binderDirection = ENGINE_DIRECTION_INCOMING;
    c->playbackDelayMs = 1000;
    c->broadcastChannels = 4;
    c->broadcastSizeClass = 1;
    run_state(PK_DEAM_STATE_STARTED);
    EXPECT_EQ(recorder->takeSlots(),
              (std::vector<std::string>{"Starting", "Started", "Stopping", "Stopped", "Starting", "Started"}));
    EXPECT_EQ(engine_state(), ENGINE_STATE_ONLINE);

    const auto starts = log.take(ENGINE_CMD_START);
    ASSERT_EQ(starts.size(), 2u);
    EngineConfig second;
    ASSERT_EQ(starts[1].size(), sizeof(second));
    memcpy(&second, starts[1].data(), sizeof(second));
    EXPECT_EQ(second.binderDirection, ENGINE_DIRECTION_INCOMING);
    EXPECT_EQ(second.videoPlaybackDelay, 1000000000ull);
    EXPECT_EQ(second.p2mChannelCount, 4u);
    EXPECT_EQ(second.videoSizeClass, 1u);
    EXPECT_EQ(engine_context_current()->config.p2mChannelCount, 4u) << "the engine runs on the new record";
    EXPECT_EQ(property(ENGINE_PROP_DIRECTION), "direction.incoming.value") << "properties are replaced per start";
    EXPECT_EQ(property_names().size(), 4u);
}

// Waits until the presence service reports the network up (or failed).
uint32_t wait_for_network()
{
    for (int round = 0; round < 1500; ++round) {
        EngineServices *services = engine_services_current();
        const uint32_t state = services != nullptr && services->presence != nullptr
                                   ? services->presence->presenceState.load()
                                   : 0;
        if (state == ENGINE_PRESENCE_ONLINE || state == ENGINE_PRESENCE_START_FAILED) return state;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Staying online until the network library runs on the loopback adapter,
// then stopping and starting again on the same ports.
TEST_F(FacadeTest, NetworkComesUpAndComesUpAgainAfterARestart)
{
    for (int cycle = 0; cycle < 2; ++cycle) {
        run_state(PK_DEAM_STATE_STARTED);
        ASSERT_EQ(engine_state(), ENGINE_STATE_ONLINE) << cycle;
        EXPECT_EQ(wait_for_network(), ENGINE_PRESENCE_ONLINE) << cycle;
        run_state(PK_DEAM_STATE_STOPPED);
        EXPECT_EQ(engine_state(), ENGINE_STATE_STOPPED) << cycle;
    }
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"Starting", "Started", "Stopping", "Stopped",
                                                               "Starting", "Started", "Stopping", "Stopped"}));
}

TEST_F(FacadeTest, FailedStartTellsStartingOnlyAndItsStopNobody)
{
    std::shared_ptr<PkConfig> c = PkConfig::instance();
    c->nodeKey = PkXID();  // the engine refuses an empty node key
    c->binderDirection = 5;
    run_state(PK_DEAM_STATE_STARTED);
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"Starting"}));
    EXPECT_EQ(engine_state(), ENGINE_STATE_STOPPED);
    EXPECT_EQ(property(ENGINE_PROP_DIRECTION), "direction.none.value") << "published before the start was refused";

    run_state(PK_DEAM_STATE_STOPPED);
    EXPECT_TRUE(recorder->takeSlots().empty()) << "a stopped engine is not stopped again";
}

TEST_F(FacadeTest, SetStateQueuesChangesOnlyAndRunsThemInOrder)
{
    PkDeam &f = *facade();
    f.requestedState.store(PK_DEAM_STATE_NONE);
    EXPECT_EQ(f.setState(0), 0) << "nothing asked yet: the same state";
    EXPECT_EQ(f.setState(1), 0);
    EXPECT_EQ(f.setState(0), -1);
    EXPECT_EQ(f.setState(3), -1);
    EXPECT_EQ(f.setState(2), 0);
    EXPECT_EQ(f.setState(2), 0);
    EXPECT_EQ(f.setState(1), 0);
    flush();
    EXPECT_EQ(queue_watch()->takeRequests(), (std::vector<int32_t>{1, 2, 1}));
    EXPECT_EQ(f.requestedState.load(), PK_DEAM_STATE_STOPPED);
    // The first stop found nothing to stop; then one start and one stop.
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"Starting", "Started", "Stopping", "Stopped"}));
}

// Many threads asking at once still queue a strict alternation that ends
// with the state recorded last: a request is queued and recorded in one
// step. The facade is taken off its queue meanwhile, so nothing runs.
TEST_F(FacadeTest, ConcurrentRequestsAlternate)
{
    PkDeam &f = *facade();
    const std::shared_ptr<PkDeam> self = facade();
    f.queue.unsubscribe(self);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&f, t] {
            for (int i = 0; i < 200; ++i) f.setState((i + t) % 2 == 0 ? PK_DEAM_STATE_STARTED : PK_DEAM_STATE_STOPPED);
        });
    for (std::thread &thread : threads) thread.join();
    flush();
    const std::vector<int32_t> requests = queue_watch()->takeRequests();
    ASSERT_FALSE(requests.empty());
    for (size_t i = 1; i < requests.size(); ++i) ASSERT_NE(requests[i], requests[i - 1]) << "at " << i;
    EXPECT_EQ(requests.back(), f.requestedState.load());

    // Back in front of the watch, with the engine where the last request
    // left it.
    f.queue.unsubscribe(queue_watch());
    f.queue.subscribe(self);
    f.queue.subscribe(queue_watch());
    f.requestedState.store(PK_DEAM_STATE_NONE);
    run_state(PK_DEAM_STATE_STOPPED);
    EXPECT_TRUE(recorder->takeSlots().empty());
}

class Throwing : public IPkDeam {
public:
    void onEngineStarting() override { throw std::runtime_error("listener failure"); }
};

// Removes itself while being told, which must neither deadlock nor skip
// the others.
class SelfRemoving : public Recorder {
public:
    std::weak_ptr<SelfRemoving> self;

protected:
    void add(const char *slot) override
    {
        Recorder::add(slot);
        if (auto me = self.lock()) facade()->removeListener(me);
    }
};

TEST_F(FacadeTest, ListenersDuplicatesLateComersAndFailures)
{
    PkDeam &f = *facade();
    auto twice = std::make_shared<Recorder>();
    auto leaving = std::make_shared<SelfRemoving>();
    leaving->self = leaving;
    f.addListener(std::make_shared<Throwing>());
    f.addListener(twice);
    f.addListener(twice);
    f.addListener(leaving);
    run_state(PK_DEAM_STATE_STARTED);
    EXPECT_EQ(twice->takeSlots(), (std::vector<std::string>{"Starting", "Starting", "Started", "Started"}));
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"Starting", "Started"}))
        << "a throwing listener keeps no one from hearing";
    EXPECT_EQ(leaving->takeSlots(), (std::vector<std::string>{"Starting"})) << "removed itself on the first call";

    // One of the two entries goes; a listener added while the engine runs
    // hears the stop but never the core's start.
    f.removeListener(twice);
    auto late = std::make_shared<Recorder>();
    f.addListener(late);
    run_state(PK_DEAM_STATE_STOPPED);
    EXPECT_EQ(twice->takeSlots(), (std::vector<std::string>{"Stopping", "Stopped"}));
    EXPECT_EQ(late->takeSlots(), (std::vector<std::string>{"Stopping", "Stopped"}));
}

TEST_F(FacadeTest, ValueListHelpers)
{
    EXPECT_EQ(pk_store_get_int("facade.test.int"), PK_STORE_NO_INT);
    EXPECT_EQ(pk_store_set_int("facade.test.int", 9, 41), 0);
    EXPECT_EQ(pk_store_set_int("facade.test.int", 9, 42), 0);
    EXPECT_EQ(pk_store_get_int("facade.test.int"), 42) << "a second set replaces the value";
    EXPECT_EQ(pk_store_set_int("facade.test.other", 0, 7), 0);
    EXPECT_EQ(pk_store_get_int("facade.test.other"), PK_STORE_NO_INT) << "the readers look under index 9 only";
    const uint16_t shortValue = 3;
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "facade.test.short", 9, 0, &shortValue, 2), 0);
    EXPECT_EQ(pk_store_get_int("facade.test.short"), PK_STORE_NO_INT) << "a value of another size is none";

    EXPECT_TRUE(pk_store_get_wide_text("facade.test.text").empty());
    const std::u16string path = u"/home/\u00e9l\u00e8ve/.config";
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "facade.test.text", 9, 1, path.data(), path.size() * 2),
              0);
    EXPECT_EQ(pk_store_get_wide_text("facade.test.text"), path);
    const char odd[5] = {'a', 0, 'b', 0, 'c'};
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "facade.test.odd", 9, 1, odd, sizeof(odd)), 0);
    EXPECT_EQ(pk_store_get_wide_text("facade.test.odd"), u"ab") << "a trailing odd byte is not a character";
}

// The shell's shut-down: slots 7, 3 and 8 on its own thread, the engine
// stopped and destroyed. Then the facade makes the engine again in the same
// process and starts it, as a second run would.
TEST_F(FacadeTest, ShutdownDestroysTheEngineAndStartCoreMakesItAgain)
{
    run_state(PK_DEAM_STATE_STARTED);
    recorder->take();
    std::shared_ptr<PkDeam> f = facade();
    f->queue.unsubscribe(queue_watch());
    shell_shutdown(*f);
    const std::vector<Recorder::Call> calls = recorder->take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].slot, "ShutdownStarting");
    EXPECT_EQ(calls[1].slot, "Stopping");
    EXPECT_EQ(calls[2].slot, "ShutdownFinished");
    for (const Recorder::Call &call : calls) EXPECT_EQ(call.thread, std::this_thread::get_id());
    EXPECT_EQ(engine_context_current(), nullptr);
    EXPECT_EQ(engine_node_running(), nullptr);
    EXPECT_EQ(f->requestedState.load(), PK_DEAM_STATE_NONE);
    EXPECT_EQ(pk_store_set_int("facade.test.int", 9, 1), -1) << "the value lists went with the runtime";

    ASSERT_EQ(f->startCore(), 0);
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"CoreInitializing", "CoreInitialized"}));
    f->queue.subscribe(f);
    f->queue.subscribe(queue_watch());
    f->queue.start();
    run_state(PK_DEAM_STATE_STARTED);
    EXPECT_EQ(recorder->takeSlots(), (std::vector<std::string>{"Starting", "Started"}));
    EXPECT_EQ(engine_state(), ENGINE_STATE_ONLINE);
}

}  // namespace
