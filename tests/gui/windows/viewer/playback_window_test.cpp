// The playback window on the private Xvfb with a running engine node: the
// peer is a node the notification centre learnt from a relayed event, the
// bind and unbind commands are read back from the engine's command topic,
// and the engine's events reach the window through its listener
// operations with real payload records. The placement and size steps are
// checked as the plain functions they are.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/names.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/records.h"
#include "engine/relay.h"
#include "gui/services/centre_support.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/pump.h"
#include "windows/viewer/bcsh_window.h"
#include "windows/viewer/playback_window.h"
#include "windows/viewer/statistic_window.h"

namespace {

using namespace centre_support;

// The centre's node, with a configuration folder of the program's own.
class EngineEnvironment : public CentreEnvironment {
public:
    void SetUp() override
    {
        static char folder[] = "/tmp/playback-test-XXXXXX";
        if (mkdtemp(folder) != nullptr) setenv("XDG_CONFIG_HOME", folder, 1);
        CentreEnvironment::SetUp();
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

PkXID id_of(const std::string &text) { return PkXID(name_of(text)); }

bool contains(const Glib::ustring &text, const char *part) { return text.raw().find(part) != std::string::npos; }

// The bind commands posted for one peer, as the engine's command topic
// carries them (commands of earlier tests name other peers).
class Commands {
public:
    explicit Commands(const std::string &peerName) : peer(id_of(peerName))
    {
        topic = name_of(ENGINE_COMMAND_TOPIC);
        CoreTopicSubscription subscription = {onMessage, {this, nullptr}};
        key = core_topic_subscribe(&topic, &subscription);
    }
    ~Commands() { core_topic_unsubscribe(&topic, key); }
    std::vector<EngineBindRecord> take(uint32_t code)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<EngineBindRecord> out;
        for (const auto &m : messages)
            if (m.first == code && PkXID(m.second.desc.peerNode) == peer) out.push_back(m.second);
        return out;
    }

private:
    static CoreResult onMessage(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<Commands *>(user[0]);
        if (message->type != ENGINE_CMD_CONNECT && message->type != ENGINE_CMD_DISCONNECT) return CORE_OK;
        EngineBindRecord record{};
        if (message->data != nullptr && message->length >= sizeof(record)) memcpy(&record, message->data, sizeof(record));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->messages.emplace_back(message->type, record);
        return CORE_OK;
    }
    PkXID peer;
    CoreName topic{};
    uint64_t key = 0;
    std::mutex mutex;
    std::vector<std::pair<uint32_t, EngineBindRecord>> messages;
};

PkMediaStreamDescriptor video_stream(int32_t features)
{
    PkMediaStreamDescriptor stream;
    CoreName name;
    engine_stream_name_make(&name, 0, 1, 0);
    stream.streamName = PkXID(name);
    stream.direction = 1;
    stream.features = features;
    return stream;
}

class PlaybackWindowTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        PkConfig::instance()->pipelineOptions.fill(0);
        memset(PkConfig::instance()->nodeKey.key, 0, PK_XID_SIZE);
        peer = "node.peer." + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
        peer.resize(std::min<size_t>(peer.size(), 31));
        post_node_ready(peer, "peer.user");
        if (HasFatalFailure()) return;
        ASSERT_TRUE(pi_test_iterate_until([&] { return session() != nullptr; }));
    }
    void TearDown() override
    {
        if (window) {
            window->hide();
            window.reset();
        }
        releaseWindows();
        pk_binder_unbind(PkXID(), false);
    }

    std::shared_ptr<PkSession> session() { return PkCenterNotify::instance()->findSession(id_of(peer)); }

    // A playback window for the test's peer, started as the main window starts it.
    int open(const std::string &peerName)
    {
        window = PiApplication::createWindow<VideoWindow>(gtkApp, nullptr);
        if (!window) return -2;
        window->channelId = id_of("p2p.bnd.00000000.chnl");
        window->peerId = id_of(peerName);
        return PiApplication::showWindow<VideoWindow>(gtkApp, window);
    }

    PkMediaBindDescriptor bind(const std::string &text = "")
    {
        PkMediaBindDescriptor descriptor;
        descriptor.channel = window->channelId;
        descriptor.peer = window->peerId;
        descriptor.kind = 1;
        descriptor.sourceName = text;
        return descriptor;
    }

    // Runs the main loop until the posted handlers of the calls so far ran.
    void drain()
    {
        bool ran = false;
        Glib::MainContext::get_default()->invoke([&] {
            ran = true;
            return false;
        });
        pi_test_iterate_until([&] { return ran; });
        for (int i = 0; i < 3; i++) pi_test_iterate_once(0);
    }

    bool visible(Gtk::Widget *widget) { return widget->get_visible(); }

    std::string peer;
    std::shared_ptr<VideoWindow> window;
};

// ---- the plain computations ---------------------------------------------------------------

TEST(PlaybackPlacement, ScalingPipelineModes)
{
    const struct {
        int32_t aspect, scale, rotation;
        uint32_t vw, vh;
        double x, y;
    } cases[] = {
        {0, 0, 0, 1920, 1080, 1.0, 1.0},          // Default, No scale
        {1, 0, 0, 1920, 1080, 1.0, 1.0},          // Stretch
        {7, 0, 0, 1920, 1080, 0.75, 1.0},         // 4:3 fits 960 x 720
        {0, 4, 0, 1920, 1080, 1.5, 1.5},          // 100%
        {0, 12, 0, 1920, 1080, 0.75, 0.75},       // 50%
        {7, 1, 0, 1920, 1080, 1.0, 1280.0 / 960}, // 4:3 cropped covers 1280 x 960
        {0, 4, 2, 1080, 1920, 1.5, 1.5},          // a quarter turn counts as 1920 x 1080
        {7, 2, 0, 1920, 1080, 1.0, 1280.0 / 960}, // Horizontally
        {7, 3, 0, 1920, 1080, 0.75, 1.0},         // Vertically
    };
    for (const auto &c : cases) {
        PkPlacementInput in;
        in.features = PK_PLAYBACK_SCALABLE | PK_PLAYBACK_FORCE_ASPECT;
        in.videoMode = {c.vw, c.vh, 60, 1};
        in.rotation = c.rotation;
        in.aspectMode = c.aspect;
        in.scaleMode = c.scale;
        in.areaWidth = 1280;
        in.areaHeight = 720;
        const PkVideoPlacement out = VideoWindow::computePlacement(in);
        SCOPED_TRACE(testing::Message() << "aspect " << c.aspect << " scale " << c.scale);
        EXPECT_TRUE(out.sendScale);
        EXPECT_TRUE(out.sendForce);
        EXPECT_FALSE(out.force);
        EXPECT_DOUBLE_EQ(out.scaleX, c.x);
        EXPECT_DOUBLE_EQ(out.scaleY, c.y);
    }
}

TEST(PlaybackPlacement, AspectPipelineAndUnknownSizes)
{
    PkPlacementInput in;
    in.features = PK_PLAYBACK_ASPECT | PK_PLAYBACK_FORCE_ASPECT;
    in.videoMode = {1920, 1080, 30, 1};
    in.areaWidth = 1280;
    in.areaHeight = 720;
    PkVideoPlacement out = VideoWindow::computePlacement(in);  // Default: the sink keeps the ratio
    EXPECT_TRUE(out.sendForce && out.force && out.placeView);
    EXPECT_EQ(out.viewWidth, 1280);
    in.aspectMode = 7;  // 4:3: the area is sized and centred
    out = VideoWindow::computePlacement(in);
    EXPECT_TRUE(out.sendForce && !out.force && !out.sendScale);
    EXPECT_EQ(out.viewX, 160);
    EXPECT_EQ(out.viewWidth, 960);
    EXPECT_EQ(out.viewHeight, 720);
    in.features = 0;
    EXPECT_TRUE(VideoWindow::computePlacement(in).fillView);

    // No size yet, or an empty area: nothing to divide by, nothing sent.
    in.features = PK_PLAYBACK_SCALABLE;
    in.videoMode = {};
    out = VideoWindow::computePlacement(in);
    EXPECT_FALSE(out.sendScale || out.sendForce || out.placeView);
    in.videoMode = {1920, 1080, 30, 1};
    in.areaWidth = 0;
    EXPECT_FALSE(VideoWindow::computePlacement(in).sendScale);
}

TEST(PlaybackModes, LabelsAndCycles)
{
    EXPECT_EQ(VideoWindow::aspectLabelOf(0), "Default");
    EXPECT_EQ(VideoWindow::aspectLabelOf(1), "Stretch");
    EXPECT_EQ(VideoWindow::aspectLabelOf(2), "16:9");
    EXPECT_EQ(VideoWindow::aspectLabelOf(9), "3:2");
    EXPECT_EQ(VideoWindow::aspectLabelOf(42), "Default");
    EXPECT_EQ(VideoWindow::scaleLabelOf(0), "No scale");
    EXPECT_EQ(VideoWindow::scaleLabelOf(3), "Vertically");
    EXPECT_EQ(VideoWindow::scaleLabelOf(4), "100%");
    EXPECT_EQ(VideoWindow::scaleLabelOf(10), "400%");
    EXPECT_EQ(VideoWindow::scaleLabelOf(11), "25%");
    EXPECT_EQ(VideoWindow::scaleLabelOf(99), "100%");
    uint32_t f = 0, g = 0;
    VideoWindow::aspectRatio(42, 1920, 1080, 800, 600, f, g);
    EXPECT_EQ(f, 1u);
    EXPECT_EQ(g, 1u);
}

TEST(PlaybackStyle, SizesOfSteps)
{
    const struct {
        uint32_t w, h;
        double dpi;
        uint32_t bar, button, icon, font, avatar, logo, spacing;
    } cases[] = {
        {854, 480, 96, 86, 28, 26, 14, 144, 96, 19},
        {854, 480, 144, 86, 28, 26, 21, 144, 96, 19},
        {533, 300, 0, 64, 21, 19, 10, 90, 66, 16},
        {1244, 700, 96, 112, 37, 35, 18, 210, 96, 28},
    };
    for (const auto &c : cases) {
        const PkPlaybackStyleSizes s = VideoWindow::styleSizes(c.w, c.h, c.dpi);
        SCOPED_TRACE(c.h);
        EXPECT_EQ(s.barHeight, c.bar);
        EXPECT_EQ(s.buttonSide, c.button);
        EXPECT_EQ(s.iconSide, c.icon);
        EXPECT_EQ(s.labelFontPx, c.font);
        EXPECT_EQ(s.avatarSide, c.avatar);
        EXPECT_EQ(s.logoWidth, c.logo);
        EXPECT_EQ(s.logoSpacing, c.spacing);
    }
}

// ---- the window ---------------------------------------------------------------------------

TEST_F(PlaybackWindowTest, RunBindsAndFollowsTheStates)
{
    Commands commands(peer);
    ASSERT_EQ(open(peer), 0);
    ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_CONNECT).size() == 1; }));
    const EngineBindRecord connect = commands.take(ENGINE_CMD_CONNECT)[0];
    EXPECT_EQ(connect.kind, 1u);
    EXPECT_EQ(PkXID(connect.desc.channel), window->channelId);
    EXPECT_EQ(PkXID(connect.desc.peerNode), window->peerId);
    EXPECT_EQ(pk_id_to_printable(PkXID(connect.desc.bindSequence)).substr(0, 8), "bnd.seq.");
    EXPECT_EQ(window->connect_status->get_text(), "Connecting...");
    EXPECT_EQ(window->source_label->get_text(), "Source: Main channel");
    EXPECT_TRUE(window->barsHidden);

    // A started stream before the binding progressed leaves it Connecting.
    window->onStreamStarted(video_stream(PK_PLAYBACK_SCALABLE));
    drain();
    EXPECT_EQ(window->playbackState, PK_PLAYBACK_CONNECTING);

    window->onBindState(session().get(), bind("Screen 1"));
    drain();
    EXPECT_EQ(window->playbackState, PK_PLAYBACK_BUFFERING);
    EXPECT_EQ(window->connect_status->get_text(), "Buffering...");
    EXPECT_TRUE(contains(window->user_name_label->get_text(), " / Screen 1")) << window->user_name_label->get_text();

    // An audio stream changes nothing; the video stream plays.
    PkMediaStreamDescriptor audio = video_stream(PK_PLAYBACK_SCALABLE);
    CoreName audioName;
    engine_stream_name_make(&audioName, 0, 0, 0);
    audio.streamName = PkXID(audioName);
    window->onStreamStarted(audio);
    drain();
    EXPECT_EQ(window->playbackState, PK_PLAYBACK_BUFFERING);
    window->onStreamStarted(video_stream(PK_PLAYBACK_SCALABLE | PK_PLAYBACK_ADJUSTABLE));
    drain();
    EXPECT_EQ(window->playbackState, PK_PLAYBACK_PLAYING);
    EXPECT_FALSE(visible(window->logo_overlay));
    EXPECT_TRUE(visible(window->screen_box));
    EXPECT_TRUE(visible(window->aspect_box));
    EXPECT_TRUE(visible(window->zoom_box));
    EXPECT_TRUE(visible(window->bcsh_box));
    EXPECT_TRUE(contains(window->get_title(), " / Default / No scale")) << window->get_title();

    // Closing while playing: Disconnecting, one unbind, the window stays
    // until the engine reports the binding closed.
    window->close();
    drain();
    EXPECT_EQ(window->connect_status->get_text(), "Disconnecting...");
    EXPECT_FALSE(visible(window->screen_box));
    EXPECT_TRUE(visible(window->logo_overlay));
    ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_DISCONNECT).size() == 1; }));
    window->close();
    drain();
    EXPECT_EQ(commands.take(ENGINE_CMD_DISCONNECT).size(), 1u);
    EXPECT_TRUE(window->get_visible());

    window->onBindClosed(session().get(), bind());
    ASSERT_TRUE(pi_test_iterate_until([&] { return !window->get_visible(); }));
    EXPECT_FALSE(app->findWindow<VideoWindow>(nullptr, nullptr));
}

TEST_F(PlaybackWindowTest, CloseWhileConnectingKeepsTheStatus)
{
    Commands commands(peer);
    ASSERT_EQ(open(peer), 0);
    window->close();
    drain();
    EXPECT_EQ(window->connect_status->get_text(), "Connecting...");
    ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_DISCONNECT).size() == 1; }));
    EXPECT_TRUE(window->get_visible());
    // Events for another node do not end the session; the peer leaving does.
    PkSession stranger(id_of("someone.else"), id_of("someone"));
    window->onNodeOffline(&stranger);
    drain();
    EXPECT_TRUE(window->get_visible());
    window->onNodeOffline(session().get());
    ASSERT_TRUE(pi_test_iterate_until([&] { return !window->get_visible(); }));
}

// Without the peer in the node list the session cannot start, and the
// window must not stay open waiting for an engine report that never comes.
TEST_F(PlaybackWindowTest, UnknownPeerClosesTheWindow)
{
    EXPECT_EQ(open("node.nobody"), -1);
    drain();
    EXPECT_FALSE(window->get_visible());
    EXPECT_FALSE(app->findWindow<VideoWindow>(nullptr, nullptr));
}

TEST_F(PlaybackWindowTest, FailedBindingsAreRetriedUntilTheDeadline)
{
    Commands commands(peer);
    ASSERT_EQ(open(peer), 0);
    ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_CONNECT).size() == 1; }));
    window->onBindFailed(session().get(), bind());
    ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_CONNECT).size() == 2; }));
    const auto connects = commands.take(ENGINE_CMD_CONNECT);
    EXPECT_NE(PkXID(connects[0].desc.bindSequence), PkXID(connects[1].desc.bindSequence));
    EXPECT_GE(commands.take(ENGINE_CMD_DISCONNECT).size(), 1u);
    EXPECT_TRUE(window->get_visible());

    // Closed while a retry waits: no new binding, and the window goes.
    window->onBindFailed(session().get(), bind());
    drain();
    window->close();
    drain();
    EXPECT_FALSE(window->get_visible());
    EXPECT_FALSE(window->retryTimer.connected());
    EXPECT_EQ(commands.take(ENGINE_CMD_CONNECT).size(), 2u);
}

TEST_F(PlaybackWindowTest, FailureAfterTheDeadlineHidesTheWindow)
{
    ASSERT_EQ(open(peer), 0);
    core_clock_test_advance_ms(PK_RECONNECT_WINDOW_MS);
    window->onBindFailed(session().get(), bind());
    ASSERT_TRUE(pi_test_iterate_until([&] { return !window->get_visible(); }));
}

// The bind sequence number has bit 63 inverted when the local node id is
// the greater one.
TEST_F(PlaybackWindowTest, BindSequenceOrderBit)
{
    for (const uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
        memset(PkConfig::instance()->nodeKey.key, fill, PK_XID_SIZE);
        Commands commands(peer);
        ASSERT_EQ(open(peer), 0);
        ASSERT_TRUE(pi_test_iterate_until([&] { return commands.take(ENGINE_CMD_CONNECT).size() == 1; }));
        const std::string text = pk_id_to_printable(PkXID(commands.take(ENGINE_CMD_CONNECT)[0].desc.bindSequence));
        ASSERT_EQ(text.size(), 24u);
        const uint64_t n = std::stoull(text.substr(8), nullptr, 16);
        EXPECT_EQ((n >> 63) != 0, fill == 0xFF) << text;
        window->hide();
        window.reset();
        pk_binder_unbind(PkXID(), false);
        drain();
    }
}

TEST_F(PlaybackWindowTest, ChannelReportTextsAndSizeStep)
{
    ASSERT_EQ(open(peer), 0);
    PkMediaChannelInfo info;
    info.receivedVideo.mode2 = {1080, 1920, 60, 1};
    info.receivedVideo.securityFlags = 3;
    info.receivedVideo.bytes = 1000000;
    info.receivedAudio.bytes = 500000;
    info.elapsedMs = (25 * 3600 + 61) * 1000ull;
    window->onChannelInfo(info);
    drain();
    EXPECT_EQ(window->resolution_label->get_text(), "Resolution: 1920x1080@60 Hz");
    EXPECT_EQ(window->encryption_label->get_text(), "Encryption: AES-256");
    EXPECT_EQ(window->bitrate_label->get_text(), "Bitrate: 1.50 Mbit/sec");
    EXPECT_EQ(window->connected_label->get_text(), "Connected time: 01:01:01");
    // The first complete mode fixes the steps: the compact reference is 480
    // wide in the stream's landscape ratio; a later report keeps it.
    EXPECT_EQ(window->videoMode.width, 1080u);
    EXPECT_EQ(window->scaler.compactLevel.width, 480u);
    EXPECT_EQ(window->scaler.compactLevel.height, 270u);
    info.receivedVideo.mode2 = {640, 480, 30, 1};
    window->onChannelInfo(info);
    drain();
    EXPECT_EQ(window->videoMode.width, 1080u);
    EXPECT_EQ(window->resolution_label->get_text(), "Resolution: 640x480@30 Hz");
}

TEST_F(PlaybackWindowTest, KeysButtonsAndBars)
{
    ASSERT_EQ(open(peer), 0);
    window->onBindState(session().get(), bind());
    window->onStreamStarted(video_stream(PK_PLAYBACK_FORCE_ASPECT));
    drain();
    ASSERT_EQ(window->playbackState, PK_PLAYBACK_PLAYING);
    EXPECT_TRUE(visible(window->screen_box));
    EXPECT_FALSE(visible(window->aspect_box));
    EXPECT_FALSE(visible(window->zoom_box));

    auto key = [&](guint keyval) {
        GdkEventKey event{};
        event.type = GDK_KEY_PRESS;
        event.keyval = keyval;
        return window->onKeyPress(&event);
    };
    // Only the force-aspect bit: a, z and p do nothing.
    EXPECT_FALSE(key(GDK_KEY_a));
    EXPECT_FALSE(key(GDK_KEY_z));
    EXPECT_EQ(window->aspectMode, 0);
    EXPECT_EQ(window->scaleMode, 0);
    // Escape outside full screen does nothing, not even the bars.
    ASSERT_TRUE(window->barsHidden);
    key(GDK_KEY_Escape);
    EXPECT_TRUE(window->barsHidden);
    EXPECT_FALSE(window->fullscreen);
    key(GDK_KEY_f);
    EXPECT_TRUE(window->fullscreen);
    EXPECT_FALSE(window->barsHidden);
    key(GDK_KEY_F);
    EXPECT_TRUE(window->fullscreen);
    key(GDK_KEY_Escape);
    EXPECT_FALSE(window->fullscreen);

    // The scaling pipeline: ten aspect clicks and fourteen scale clicks
    // come back to the first mode; the tooltip shows the mode on entering.
    window->features = PK_PLAYBACK_SCALABLE;
    for (int i = 0; i < 3; i++) window->aspect_button->clicked();
    EXPECT_EQ(window->aspectMode, 3);
    EXPECT_TRUE(contains(window->get_title(), "16:10")) << window->get_title();
    window->onBarEnter(nullptr, window->aspect_button);
    EXPECT_EQ(window->main_overlay->get_tooltip_markup(), "Aspect ratio (a)\n16:10");
    window->onBarLeave(nullptr);
    EXPECT_FALSE(window->main_overlay->get_has_tooltip());
    for (int i = 0; i < 7; i++) key(GDK_KEY_a);
    EXPECT_EQ(window->aspectMode, 0);
    for (int i = 0; i < 4; i++) window->zoom_button->clicked();
    EXPECT_EQ(window->scaleLabel(), "100%");
    for (int i = 0; i < 10; i++) key(GDK_KEY_Z);
    EXPECT_EQ(window->scaleMode, 0);

    // A double press of button 3 does not toggle full screen.
    GdkEventButton press{};
    press.type = GDK_2BUTTON_PRESS;
    press.button = 3;
    window->onButtonPress(&press);
    EXPECT_FALSE(window->fullscreen);
    press.button = 1;
    window->onButtonPress(&press);
    EXPECT_TRUE(window->fullscreen);

    // The bars go at the first tick after the deadline, and with them the
    // pointer when it is inside the window.
    window->noteActivity();
    EXPECT_FALSE(window->barsHidden);
    window->pointerInside = true;
    core_clock_test_advance_ms(PK_BAR_HIDE_MS + 1);
    ASSERT_TRUE(pi_test_iterate_until([&] { return window->barsHidden; }));
    pi_test_iterate_until([&] { return window->cursorHidden; });
    EXPECT_TRUE(window->cursorHidden);
    GdkEventMotion motion{};
    window->onMotionNotify(&motion);
    EXPECT_FALSE(window->cursorHidden);
}

// Sizes: at or below the compact reference the bars and the waiting
// screen's pictures and texts go; growing past it brings them back. A new
// size step restyles once, sizes within one step do not.
TEST_F(PlaybackWindowTest, SizeStepsAndTheCompactRule)
{
    ASSERT_EQ(open(peer), 0);
    PkMediaChannelInfo info;
    info.receivedVideo.mode2 = {1920, 1080, 30, 1};
    window->onChannelInfo(info);
    drain();
    const AppSize reference = window->scaler.compactLevel;
    ASSERT_TRUE(reference.valid());
    auto resizeTo = [&](int w, int h) {
        window->resize(w, h);
        return pi_test_iterate_until([&] {
            return window->get_allocated_width() == w && window->get_allocated_height() == h;
        });
    };
    window->noteActivity();
    ASSERT_TRUE(resizeTo(static_cast<int>(reference.width) - 20, static_cast<int>(reference.height) - 10));
    EXPECT_TRUE(window->barsHidden);
    EXPECT_FALSE(visible(window->avatar_image));
    EXPECT_FALSE(visible(window->connect_status));

    const std::vector<AppSize> levels = window->scaler.levels;
    ASSERT_GE(levels.size(), 4u);
    ASSERT_TRUE(resizeTo(static_cast<int>(levels[3].width), static_cast<int>(levels[3].height)));
    EXPECT_TRUE(visible(window->avatar_image));
    EXPECT_TRUE(visible(window->connect_status));
    const uint32_t restyles = window->restyleCount;
    ASSERT_TRUE(resizeTo(static_cast<int>(levels[3].width) + 4, static_cast<int>(levels[3].height) + 2));
    EXPECT_EQ(window->restyleCount, restyles);
    ASSERT_TRUE(resizeTo(static_cast<int>(levels[2].width), static_cast<int>(levels[2].height)));
    EXPECT_EQ(window->restyleCount, restyles + 1);
}

// The picture and info keys open one picture adjustment window and one
// statistics window; hiding the playback window hides both.
TEST_F(PlaybackWindowTest, PictureAndInfoWindowsFollowThePlaybackWindow)
{
    ASSERT_EQ(open(peer), 0);
    window->features = PK_PLAYBACK_ADJUSTABLE;
    GdkEventKey event{};
    event.type = GDK_KEY_PRESS;
    for (guint keyval : {GDK_KEY_p, GDK_KEY_P, GDK_KEY_i, GDK_KEY_I}) {
        event.keyval = keyval;
        window->onKeyPress(&event);
        drain();
    }
    size_t pictures = 0, statistics = 0;
    app->forEachWindow<BCSHWindow>([&](std::shared_ptr<BCSHWindow>) { pictures++; });
    app->forEachWindow<StatisticWindow>([&](std::shared_ptr<StatisticWindow>) { statistics++; });
    EXPECT_EQ(pictures, 1u);
    EXPECT_EQ(statistics, 1u);
    window->hide();
    drain();
    EXPECT_FALSE(app->findWindow<BCSHWindow>(nullptr, nullptr));
    EXPECT_FALSE(app->findWindow<StatisticWindow>(nullptr, nullptr));
}

// Engine events for a window that is gone are dropped.
TEST_F(PlaybackWindowTest, EventsAfterTheWindowIsGoneAreDropped)
{
    ASSERT_EQ(open(peer), 0);
    std::shared_ptr<VideoWindow> keep = window;
    keep->onBindState(session().get(), bind());
    keep->hide();
    window.reset();
    app->windows.clear();
    std::weak_ptr<VideoWindow> weak = keep;
    keep.reset();
    drain();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
