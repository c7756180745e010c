// Activation and the shut-down with a real engine: the application runs
// its command line and activation in this process, the engine starts from
// the node configuration activation filled (its devices swapped for the
// framework's test sources and its network for one loopback adapter, so
// nothing leaves the machine), and shutdownCore takes everything down.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <libintl.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/activation.h"
#include "app/application.h"
#include "app/resources.h"
#include "core/adapters.h"
#include "core/values.h"
#include "core/video.h"
#include "engine/config.h"
#include "engine/engine.h"
#include "flowmesh/interface.h"
#include "gui/app/app_test_support.h"
#include "gui/app/xvfb_support.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"
#include "services/config.h"
#include "services/facade.h"
#include "toolkit/theme.h"

// The framework's and the toolkit's own allocations kept for the process
// (see tests/engine/engine_support.h and tests/gui/toolkit/gtk_env.cpp);
// GLib abandons its quark blocks when the table grows, on purpose, here
// while GStreamer starts.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:_dl_init\nleak:g_quark_from_static_string\nleak:libpulse.so\nleak:libgstvulkan\n"
           "leak:libgstximagesrc.so\nleak:libfontconfig.so\n";
}
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; }

namespace {

std::filesystem::path g_root;
// The suite's display: making an application object initialises GTK.
std::unique_ptr<apptest::Xvfb> g_display;

// A scratch HOME before GLib reads the user's folders.
class Scratch : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-activation-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        g_root = pattern;
        setenv("HOME", pattern.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (g_root / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (g_root / "cache").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        unsetenv("LANGUAGE");
        unsetenv("APP_LOCALE");
        g_display = std::make_unique<apptest::Xvfb>("1024x768x24");
        if (g_display->name.empty()) return;
        setenv("DISPLAY", g_display->name.c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
    }
    void TearDown() override
    {
        // The server stays until the process ends: GTK keeps its connection.
        std::error_code ignored;
        std::filesystem::remove_all(g_root, ignored);
    }
};

const ::testing::Environment *const kScratch = ::testing::AddGlobalTestEnvironment(new Scratch);

// ---- what activation hands the media framework ----------------------------------------------------

TEST(ShellVaapiInputs, DescriptorFields)
{
    const CoreVideoCodecDesc encoder =
        pk_vaapi_codec_desc(RAVK_CODEC_ENCODER, core_fourcc("H264"), PK_VAAPI_H264_PROFILES, "iHD");
    EXPECT_EQ(encoder.direction, 1u);
    EXPECT_EQ(encoder.acceleration, 2u);
    EXPECT_EQ(encoder.codec_class, 1u);
    EXPECT_EQ(encoder.input, core_fourcc("NV12"));
    EXPECT_EQ(encoder.output, core_fourcc("H264"));
    EXPECT_EQ(encoder.device_number, -1);
    EXPECT_STREQ(encoder.codec_name, "iHD");
    EXPECT_STREQ(encoder.family, "VA-API");
    EXPECT_STREQ(encoder.element_name, "");
    EXPECT_EQ(encoder.backend, 3u);
    EXPECT_EQ(encoder.implementation_id, 0u);
    EXPECT_EQ(encoder.profile_set, 4u);
    EXPECT_EQ(encoder.coding_options, 0u);
    const CoreVideoMode minimum = {64, 64, 1, 1}, maximum = {3840, 2176, 60, 1};
    EXPECT_TRUE(core_video_mode_equal(&encoder.minimum_mode, &minimum));
    EXPECT_TRUE(core_video_mode_equal(&encoder.maximum_mode, &maximum)) << encoder.maximum_mode.height;
    EXPECT_EQ(encoder.evaluated_profile_set, 0u);
    EXPECT_EQ(encoder.alignment_width, 32u);
    EXPECT_EQ(encoder.alignment_height, 32u);

    const CoreVideoCodecDesc decoder = pk_vaapi_codec_desc(RAVK_CODEC_DECODER, core_fourcc("VP9X"), 0, "");
    EXPECT_EQ(decoder.direction, 2u);
    EXPECT_EQ(decoder.input, core_fourcc("VP9X"));
    EXPECT_EQ(decoder.output, core_fourcc("I420"));
    EXPECT_STREQ(decoder.codec_name, "");

    // A driver name longer than the field is cut and still terminated.
    const CoreVideoCodecDesc cut = pk_vaapi_codec_desc(RAVK_CODEC_DECODER, core_fourcc("H265"), 2, std::string(400, 'd'));
    EXPECT_EQ(strlen(cut.codec_name), sizeof(cut.codec_name) - 1);
}

TEST(ShellVaapiInputs, OptionsGiveDescriptorsAndTheProcessingFeatureWord)
{
    struct Case {
        const char *purpose;
        std::vector<bool VeltranaApp::*> options;
        std::vector<std::string> encoders, decoders;
        int32_t feature;
    };
    const Case cases[] = {
        {"no option", {}, {}, {}, 0},
        {"processing alone", {&VeltranaApp::vaapiProc}, {}, {}, 44},
        {"processing with a decoder", {&VeltranaApp::vaapiProc, &VeltranaApp::vaapiVp9Dec}, {}, {"VP9X"}, 46},
        {"a decoder without processing", {&VeltranaApp::vaapiH264Dec}, {}, {"H264"}, 0},
        {"encoders in codec order", {&VeltranaApp::vaapiAv1Enc, &VeltranaApp::vaapiH264Enc}, {"H264", "av01"}, {}, 0},
        {"all ten",
         {&VeltranaApp::vaapiH264Enc, &VeltranaApp::vaapiH265Enc, &VeltranaApp::vaapiVp8Enc, &VeltranaApp::vaapiVp9Enc,
          &VeltranaApp::vaapiAv1Enc, &VeltranaApp::vaapiH264Dec, &VeltranaApp::vaapiH265Dec, &VeltranaApp::vaapiVp8Dec,
          &VeltranaApp::vaapiVp9Dec, &VeltranaApp::vaapiAv1Dec},
         {"H264", "H265", "VP8X", "VP9X", "av01"},
         {"H264", "H265", "VP8X", "VP9X", "av01"},
         0},
    };
    auto fourcc_text = [](uint32_t f) { return std::string(reinterpret_cast<const char *>(&f), 4); };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        if (g_display->name.empty()) GTEST_SKIP() << "Xvfb is not installed or did not start";
        std::shared_ptr<VeltranaApp> app = VeltranaApp::create(PK_TOAST_OPTION_NAME);
        for (bool VeltranaApp::*option : c.options) (*app).*option = true;
        EXPECT_EQ(pk_vaapi_feature_word(*app), c.feature);
        std::shared_ptr<PkConfig> config = PkConfig::instance();
        config->videoEncoders.clear();
        config->videoDecoders.clear();
        pk_append_vaapi_codecs(*app, *config);
        std::vector<std::string> encoders, decoders;
        for (const CoreVideoCodecDesc &d : config->videoEncoders) encoders.push_back(fourcc_text(d.output));
        for (const CoreVideoCodecDesc &d : config->videoDecoders) decoders.push_back(fourcc_text(d.input));
        EXPECT_EQ(encoders, c.encoders);
        EXPECT_EQ(decoders, c.decoders);
        if (!config->videoEncoders.empty()) {
            EXPECT_EQ(config->videoEncoders.front().profile_set, 4u);
            EXPECT_EQ(config->videoEncoders.back().profile_set, 0u);
        }
    }
    PkConfig::instance()->videoEncoders.clear();
    PkConfig::instance()->videoDecoders.clear();
}

// ---- a whole run ----------------------------------------------------------------------------------------

// Hears the facade; when the engine is about to be configured, keeps what
// activation wrote and points devices and network at the test stand-ins.
class Listener : public IPkDeam {
public:
    void onEngineStarting() override
    {
        std::shared_ptr<PkConfig> c = PkConfig::instance();
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = std::make_unique<Seen>(Seen{c->nodeUserId, c->nodeKey, c->systemNodeName, c->sendRoles,
                                               c->receiveRoles, c->binderDirection, c->networkFlags, c->networkMode,
                                               c->servicesMode, c->networkOption, c->basePort,
                                               c->audioSourceParam, c->videoSourceParam, c->audioSinkParam,
                                               c->videoSinkParam, c->audioSourceClass, c->videoSourceClass,
                                               c->audioSinkClass, c->videoSinkClass, c->videoSinkIndex,
                                               c->showCursor, c->playbackDelayMs, c->bitratePolicy,
                                               c->rateControlOption, c->p2pChannelCount, c->p2pClass,
                                               c->videoSizeClass, c->audioSinkId, c->frameworkType,
                                               c->pipelineOptions, c->videoDecoders.size()});
        }
        PkAdapterEntry lo;
        lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
        lo.address = {htonl(0x7F000001u), 0};
        lo.mask = {htonl(0xFF000000u), 0};
        lo.broadcast = {htonl(0x7F000001u), 0};
        lo.id = "6C6F01";
        lo.description = "lo";
        c->adapters = {lo};
        c->networkFlags |= ENGINE_NET_FIXED_ADAPTERS;
        c->basePort = static_cast<uint16_t>(24000 + (getpid() % 400) * 20);
        c->audioSourceClass = RAVK_CLASS_TEST;
        c->videoSourceClass = RAVK_CLASS_TEST;
        c->audioSourceId = PkXID::fromText(DEFAULT_DEVICE_ID);
        c->videoSourceId = PkXID::fromText(DEFAULT_DEVICE_ID);
        // VA-API hardware is not there to register.
        c->videoDecoders.clear();
        add("Starting");
    }
    void onEngineStarted() override { add("Started"); }
    void onEngineStopping() override { add("Stopping"); }
    void onShutdownStarting() override { add("ShutdownStarting"); }
    void onShutdownFinished() override { add("ShutdownFinished"); }

    bool waitFor(const std::string &slot)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(120), [&] {
            return std::find(slots.begin(), slots.end(), slot) != slots.end();
        });
    }

    struct Seen {
        PkXID nodeUserId, nodeKey, systemNodeName;
        uint32_t sendRoles, receiveRoles, binderDirection, networkFlags, networkMode, servicesMode, networkOption;
        uint16_t basePort;
        uint32_t audioSourceParam, videoSourceParam, audioSinkParam, videoSinkParam;
        uint32_t audioSourceClass, videoSourceClass, audioSinkClass, videoSinkClass;
        int32_t videoSinkIndex;
        bool showCursor;
        uint32_t playbackDelayMs, bitratePolicy, rateControlOption, p2pChannelCount;
        int32_t p2pClass, videoSizeClass;
        PkXID audioSinkId;
        uint32_t frameworkType;
        std::array<int32_t, PK_PIPELINE_OPTION_COUNT> pipelineOptions;
        size_t videoDecoders;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> slots;
    std::unique_ptr<Seen> seen;

private:
    void add(const char *slot)
    {
        std::lock_guard<std::mutex> lock(mutex);
        slots.push_back(slot);
        changed.notify_all();
    }
};

int32_t replacing_int(const char *key, uint32_t index)
{
    int32_t value = -1;
    uint64_t size = 0;
    if (core_valuelist_get(core_process_valuelist(CORE_VALUELIST_REPLACE), key, index, nullptr, &value, sizeof(value),
                           &size) != 0)
        return -1;
    return value;
}

const char kSettings[] = R"(<?xml version="1.0" encoding="utf-8"?>
<settings>
  <version value="5"/>
  <general>
    <user.info.name value="Tester 42"/>
    <user.capture.mouse.pointer value="NO"/>
  </general>
  <viewer>
    <video.decoder value="3"/>
  </viewer>
</settings>
)";

TEST(ShellActivation, RunStartsTheEngineAndShutdownTakesEverythingDown)
{
    if (g_display->name.empty()) GTEST_SKIP() << "Xvfb is not installed or did not start";
    const std::filesystem::path data = g_root / "config" / "veltrana";
    std::filesystem::create_directories(data);
    apptest::write_file((data / "veltrana.main.xml").string(), kSettings);

    std::shared_ptr<VeltranaApp> app = createApplication();
    ASSERT_TRUE(app);
    const std::weak_ptr<VeltranaApp> weak = app;
    auto listener = std::make_shared<Listener>();
    PkDeam::instance()->addListener(listener);
    ASSERT_NE(engine_context_current(), nullptr) << "creating the application makes the engine";

    // The environment's own language list wins; translations come from
    // APP_LOCALE's folder.
    setenv("LANGUAGE", "de_DE:en", 1);
    setenv("APP_LOCALE", (g_root / "translations").c_str(), 1);

    std::vector<std::string> arguments = {"/opt/veltrana/bin/veltrana", "--vaapi-proc", "--vaapi-vp9dec", "--theme",
                                          "light", "--unknown-option"};
    std::vector<char *> argv;
    for (std::string &a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    // No main window in this build: the run ends after activation.
    EXPECT_EQ(app->run(static_cast<int>(arguments.size()), argv.data()), 0);

    ASSERT_TRUE(listener->waitFor("Started")) << "the engine start was not carried out";
    EXPECT_EQ(engine_state(), static_cast<uint32_t>(ENGINE_STATE_ONLINE));

    // Command line: folders, data folder, icon, text pages.
    EXPECT_EQ(app->programFolder, "/opt/veltrana/bin");
    EXPECT_EQ(app->dataFolder, data.string());
    EXPECT_EQ(pk_store_get_int("fs.path.encoding"), 2);
    EXPECT_EQ(pk_store_get_wide_text("fs.path"), pk_utf8_to_wide(data.string()));
    EXPECT_TRUE(std::filesystem::exists(data / "veltrana.png"));
    EXPECT_NE(html_get_resource(), nullptr);
    EXPECT_STREQ(getenv("GTK_CSD"), "0");
    EXPECT_STREQ(getenv("LANGUAGE"), "de_DE:en");
    EXPECT_EQ(std::string(bindtextdomain("veltrana", nullptr)), (g_root / "translations" / "locale").string());
    EXPECT_STREQ(textdomain(nullptr), "veltrana");
    char folder[64] = {};
    uint64_t size = 0;
    ASSERT_EQ(core_valuelist_get(core_process_valuelist(CORE_VALUELIST_REPLACE), "fs.path", 0, nullptr, folder,
                                 sizeof(folder), &size),
              0);
    EXPECT_EQ(std::string(folder, size), "/opt/veltrana/bin");

    // Activation: the framework inputs and the node configuration.
    EXPECT_EQ(replacing_int("frmwrk.vid.ftrs", RAVK_BACKEND_VAAPI), 46);
    EXPECT_EQ(replacing_int("frmwrk.vid.prov.pipe", 0), static_cast<int32_t>(RAVK_BACKEND_X11));
    EXPECT_EQ(PiTheme::instance()->mode.load(), PI_THEME_LIGHT);
    {
        std::lock_guard<std::mutex> lock(listener->mutex);
        ASSERT_TRUE(listener->seen);
        const Listener::Seen &s = *listener->seen;
        EXPECT_EQ(pk_id_to_printable(s.nodeUserId), "Tester 42");
        EXPECT_FALSE(s.nodeKey.isNull());
        EXPECT_EQ(pk_id_to_printable(s.systemNodeName), "veltrana.system");
        EXPECT_EQ(s.sendRoles, 2u);
        EXPECT_EQ(s.receiveRoles, 1u);
        EXPECT_EQ(s.binderDirection, 3u);
        EXPECT_EQ(s.networkFlags, 0x17u);
        EXPECT_EQ(s.networkMode, 2u);
        EXPECT_EQ(s.servicesMode, 10u);
        EXPECT_EQ(s.networkOption, 1u);
        EXPECT_EQ(s.basePort, 60149);
        EXPECT_EQ(s.audioSourceParam, 256u);
        EXPECT_EQ(s.videoSourceParam, 256u);
        EXPECT_EQ(s.audioSinkParam, 2u);
        EXPECT_EQ(s.videoSinkParam, 2u);
        EXPECT_EQ(s.audioSourceClass, static_cast<uint32_t>(RAVK_CLASS_NATIVE));
        EXPECT_EQ(s.videoSourceClass, static_cast<uint32_t>(RAVK_CLASS_SCREEN));
        EXPECT_EQ(s.audioSinkClass, static_cast<uint32_t>(RAVK_CLASS_VIRTUAL));
        EXPECT_EQ(s.videoSinkClass, static_cast<uint32_t>(RAVK_CLASS_VIRTUAL));
        EXPECT_EQ(s.videoSinkIndex, 3);
        EXPECT_FALSE(s.showCursor);
        EXPECT_EQ(s.playbackDelayMs, 3000u);
        EXPECT_EQ(s.bitratePolicy, 0u);
        EXPECT_EQ(s.rateControlOption, 1u);
        EXPECT_EQ(s.p2pChannelCount, 1u);
        EXPECT_EQ(s.p2pClass, 1);
        EXPECT_EQ(s.videoSizeClass, 2);
        EXPECT_EQ(s.audioSinkId, PkXID::fromText(DEFAULT_DEVICE_ID));
        EXPECT_EQ(s.frameworkType, 1u);
        for (int32_t option : s.pipelineOptions) EXPECT_EQ(option, 0) << "the platform's pipeline values stay";
        EXPECT_EQ(s.videoDecoders, 1u);
    }
    // The settings were saved back with what was read.
    EXPECT_NE(apptest::read_file((data / "veltrana.main.xml").string()).find("value=\"Tester 42\""), std::string::npos);

    // Shut-down: every listener hears it, in order, and the engine is gone.
    shutdownCore();
    {
        std::lock_guard<std::mutex> lock(listener->mutex);
        const std::vector<std::string> &slots = listener->slots;
        const auto at = [&](const char *slot) { return std::find(slots.begin(), slots.end(), slot) - slots.begin(); };
        ASSERT_LT(at("ShutdownFinished"), static_cast<long>(slots.size()));
        EXPECT_LT(at("Started"), at("ShutdownStarting"));
        EXPECT_LT(at("ShutdownStarting"), at("Stopping"));
        EXPECT_LT(at("Stopping"), at("ShutdownFinished"));
    }
    EXPECT_EQ(engine_context_current(), nullptr);
    EXPECT_EQ(engine_state(), static_cast<uint32_t>(ENGINE_STATE_STOPPED));
    EXPECT_EQ(PkDeam::instance()->requestedState.load(), PK_DEAM_STATE_NONE);
    {
        std::lock_guard<std::mutex> lock(PkDeam::instance()->listenerMutex);
        for (const auto &entry : PkDeam::instance()->listeners)
            EXPECT_NE(entry.get(), static_cast<IPkDeam *>(app.get())) << "the application left the facade";
    }

    // As main does after the run: a second pass finds everything down.
    shutdownCore();
    html_unregister_resource();
    EXPECT_EQ(html_get_resource(), nullptr);
    PkDeam::instance()->removeListener(listener);
    app.reset();
    EXPECT_TRUE(weak.expired()) << "the application outlives its last owner";
}

}  // namespace
