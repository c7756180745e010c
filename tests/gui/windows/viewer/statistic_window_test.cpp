#include "windows/viewer/statistic_window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/names.h"
#include "engine/codes.h"
#include "engine/relay.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/bind_channels.h"
#include "services/centre.h"
#include "services/config.h"
#include "services/remote_nodes.h"
#include "windows/info/message_dialog.h"
#include "windows/viewer/incoming_windows.h"

namespace {

PkXID key_of(const char *format, uint32_t index)
{
    char text[40] = {};
    snprintf(text, sizeof(text), format, index);
    return PkXID::fromText(text);
}

PkXID p2p_key() { return key_of("p2p.bnd.%08X.chnl", 0); }
PkXID p2m_key(uint32_t index) { return key_of("p2m.bnd.%08X.chnl", index); }

// ---- the text helpers ----------------------------------------------------------------------

TEST(StatisticTexts, Resolution)
{
    struct Case {
        PkVideoMode mode;
        const char *text;
    } cases[] = {
        {{1080, 1920, 30, 1}, "1920x1080@30 Hz"},
        {{1920, 1080, 25, 0}, "1920x1080@25 Hz"},
        {{0, 0, 0, 0}, "0x0@0 Hz"},
        {{1280, 720, 60000, 1001}, "1280x720@59 Hz"},
        // Every field at its largest: cut at the end of the 31 characters.
        {{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0}, "4294967295x4294967295@429496729"},
    };
    for (const Case &c : cases) EXPECT_EQ(pk_statistic_resolution_text(c.mode), c.text);
}

TEST(StatisticTexts, EncryptionAndConnectedTime)
{
    EXPECT_EQ(pk_statistic_encryption_text(3), "AES-256");
    EXPECT_EQ(pk_statistic_encryption_text(2), "AES-256");
    EXPECT_EQ(pk_statistic_encryption_text(1), "AES-128");
    EXPECT_EQ(pk_statistic_encryption_text(0), "N/A");
    EXPECT_EQ(pk_statistic_connected_text(25 * 3600 + 61), "01:01:01");
    EXPECT_EQ(pk_statistic_connected_text(0), "00:00:00");
    EXPECT_EQ(pk_statistic_connected_text(UINT64_MAX), "07:00:15");
}

// ---- the window ----------------------------------------------------------------------------

class StatisticWindowTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        PkBinder::instance()->mode = PK_BINDER_MODE_IDLE;
        PkBinder::instance()->channels.clear();
        PkConfig::instance()->broadcastSizeClass = -1;
        PkConfig::instance()->broadcastChannels = 0;
    }
    void TearDown() override
    {
        if (!app) return;
        app->windows.clear();
        PkBinder::instance()->channels.clear();
        PkBinder::instance()->mode = PK_BINDER_MODE_IDLE;
        for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    }

    std::shared_ptr<StatisticWindow> open(const PkXID &channel, int32_t kind, const PkXID &peer = PkXID())
    {
        return IncomingWindowsManager::instance()->createWindow(gtkApp, "Title", peer, channel, kind);
    }

    static PkMediaChannelInfo report(const PkXID &channel, int32_t kind)
    {
        PkMediaChannelInfo info;
        info.bind.channel = channel;
        info.bind.peer = PkXID::fromText("peer.node");
        info.bind.kind = kind;
        info.receivedVideo.mode1 = {1080, 1920, 30, 1};  // the viewer's offer
        info.receivedVideo.mode2 = {1280, 720, 25, 0};   // the stream received
        info.receivedVideo.securityFlags = 1;
        info.receivedVideo.bytes = 600;
        info.receivedAudio.bytes = 400;
        info.sentVideo.securityFlags = 3;
        info.sentVideo.bytes = 1400000;
        info.sentAudio.bytes = 100000;
        info.elapsedMs = (25 * 3600 + 61) * 1000 + 999;
        return info;
    }

    // Delivered as the event pump delivers it: from another thread.
    static void deliver(const std::shared_ptr<StatisticWindow> &window, const PkMediaChannelInfo &info)
    {
        std::thread worker([&] { window->onChannelInfo(info); });
        worker.join();
    }

    static std::vector<std::string> values(const StatisticWindow &w)
    {
        return {w.resolution_value_label->get_text(), w.encryption_value_label->get_text(),
                w.bitrate_value_label->get_text(), w.connected_value_label->get_text(),
                w.source_value_label->get_text()};
    }
    static bool filled(const StatisticWindow &w) { return w.resolution_value_label->get_text() != "N/A"; }
};

const std::vector<std::string> kAllNA = {"N/A", "N/A", "N/A", "N/A", "N/A"};

TEST_F(StatisticWindowTest, IncomingWindowShowsItsChannelsReportOnly)
{
    std::shared_ptr<StatisticWindow> window = open(p2p_key(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->get_visible());
    EXPECT_EQ(memcmp(window->id, p2p_key().key, PI_WINDOW_ID_SIZE), 0);
    EXPECT_FALSE(window->channel_combobox->get_visible());
    EXPECT_TRUE(window->disconnect_button->get_visible());
    EXPECT_FALSE(window->disconnect_button->get_sensitive());
    EXPECT_EQ(window->resolution_field_label->get_text(), "Display resolution");
    EXPECT_EQ(values(*window), kAllNA);

    // Another channel, then the other side of this channel: both dropped.
    deliver(window, report(p2m_key(0), PK_STATISTIC_INCOMING));
    deliver(window, report(p2p_key(), PK_STATISTIC_PLAYBACK));
    for (int i = 0; i < 20; i++) pi_test_iterate_once(0);
    EXPECT_EQ(values(*window), kAllNA);

    deliver(window, report(p2p_key(), PK_STATISTIC_INCOMING));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));
    EXPECT_EQ(values(*window),
              (std::vector<std::string>{"1920x1080@30 Hz", "AES-256", "1.50 Mbit/sec", "01:01:01", "Main channel"}));
    EXPECT_TRUE(window->disconnect_button->get_sensitive());

    // A refresh puts the values back until the next report.
    IncomingWindowsManager::instance()->refreshWindow(window);
    EXPECT_EQ(values(*window), kAllNA);
    EXPECT_FALSE(window->disconnect_button->get_sensitive());
}

TEST_F(StatisticWindowTest, PlaybackWindowShowsReceivedStreamAndPeerName)
{
    // The streamer is a node the centre knows.
    EngineRelayNodeNames names{};
    core_name_format(&names.nodeId, "%s", "peer.node");
    core_name_format(&names.peerName, "%s", "peer.node.peer");
    std::vector<uint8_t> bytes(sizeof(names));
    memcpy(bytes.data(), &names, sizeof(names));
    PkCenterNotify::instance()->onCoreEvent(ENGINE_EVT_NODE_READY, bytes);
    std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(PkXID::fromText("peer.node"));
    ASSERT_TRUE(node);

    std::shared_ptr<StatisticWindow> window =
        open(p2p_key(), PK_STATISTIC_PLAYBACK, PkXID::fromText("peer.node"));
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->disconnect_button->get_visible());
    EXPECT_FALSE(window->info2_separator->get_visible());
    EXPECT_EQ(window->resolution_field_label->get_text(), "Resolution");
    EXPECT_EQ(window->get_title(), "Title");
    // The streamer's avatar (its initials: it has no picture) in place of the program's.
    ASSERT_TRUE(window->icon_image->get_pixbuf());
    EXPECT_EQ(window->icon_image->get_pixbuf()->get_width(), PK_STATISTIC_ICON_SIZE);
    window->icon_image->clear();
    window->onNodeFieldChanged(node.get(), PkXID::fromText("node.avatar.field"), PkBuffer());
    ASSERT_TRUE(pi_test_iterate_until([&] { return bool(window->icon_image->get_pixbuf()); }));

    deliver(window, report(p2p_key(), PK_STATISTIC_PLAYBACK));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));
    EXPECT_EQ(values(*window),
              (std::vector<std::string>{"1280x720@25 Hz", "AES-128", "1000 bit/sec", "01:01:01", "Main channel"}));
    EXPECT_EQ(window->get_title(), pk_session_display_name(*node) + node->nameSuffix);
    EXPECT_FALSE(window->disconnect_button->get_visible());
}

TEST_F(StatisticWindowTest, ChooserListsBroadcastChannelsAndFollowsSelection)
{
    PkConfig::instance()->broadcastSizeClass = 1;
    PkConfig::instance()->broadcastChannels = 8;
    std::shared_ptr<StatisticWindow> window = open(PkXID(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->channel_combobox->get_visible());
    EXPECT_EQ(window->channel_combobox->get_model()->children().size(), 8u);
    EXPECT_EQ(window->channel_combobox->get_active_row_number(), 0);
    EXPECT_EQ(window->channelKey(), p2m_key(0));

    deliver(window, report(p2m_key(0), PK_STATISTIC_INCOMING));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));
    EXPECT_EQ(window->source_value_label->get_text(), "Channel 1");

    window->channel_combobox->set_active(2);
    EXPECT_EQ(window->channelKey(), p2m_key(2));
    EXPECT_EQ(values(*window), kAllNA);
    deliver(window, report(p2m_key(0), PK_STATISTIC_INCOMING));
    for (int i = 0; i < 20; i++) pi_test_iterate_once(0);
    EXPECT_EQ(values(*window), kAllNA);
    deliver(window, report(p2m_key(2), PK_STATISTIC_INCOMING));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));
    EXPECT_EQ(window->source_value_label->get_text(), "Channel 3");
}

TEST_F(StatisticWindowTest, ChooserWithoutBroadcastIsEmptyAndMatchesNothing)
{
    // A damaged count is not a configuration: no more rows than the largest broadcast.
    std::shared_ptr<StatisticWindow> window = open(PkXID(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->channel_combobox->get_model()->children().size(), 0u);
    EXPECT_EQ(window->channelKey(), p2m_key(0xFFFFFFFF));
    window->hide();

    PkConfig::instance()->broadcastSizeClass = 1;
    PkConfig::instance()->broadcastChannels = 100000;
    window = open(PkXID(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->channel_combobox->get_model()->children().size(), 32u);
}

TEST_F(StatisticWindowTest, ClosedChannelClosesWindowOutsideBroadcastOnly)
{
    std::shared_ptr<StatisticWindow> window = open(p2m_key(1), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    deliver(window, report(p2m_key(1), PK_STATISTIC_INCOMING));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));

    PkMediaBindDescriptor closed;
    closed.channel = p2m_key(1);
    PkBinder::instance()->mode = PK_BINDER_MODE_BROADCAST;
    std::thread([&] { window->onBindClosed(nullptr, closed); }).join();
    ASSERT_TRUE(pi_test_iterate_until([&] { return !filled(*window); }));
    EXPECT_TRUE(window->get_visible());
    EXPECT_EQ(app->windows.size(), 1u);

    PkBinder::instance()->mode = PK_BINDER_MODE_P2P;
    PkMediaBindDescriptor other;
    other.channel = p2m_key(2);
    window->closeForBind(other);
    EXPECT_TRUE(window->get_visible());
    window->closeForBind(closed);
    EXPECT_FALSE(window->get_visible());
    EXPECT_TRUE(app->windows.empty());
}

TEST_F(StatisticWindowTest, PeerOfflineResetsBoundChannelWithoutClosing)
{
    const PkXID peer = PkXID::fromText("viewer.node");
    ASSERT_EQ(pk_binder_add_channel(p2p_key(), peer, PkXID::fromText("bnd.seq.1"), 2), 0);
    PkBinder::instance()->findChannel(p2p_key())->state = PK_BINDER_CHANNEL_SENT;

    std::shared_ptr<StatisticWindow> window = open(p2p_key(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    deliver(window, report(p2p_key(), PK_STATISTIC_INCOMING));
    ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));

    window->resetForNode(PkXID::fromText("someone.else"));
    EXPECT_TRUE(filled(*window));
    window->resetForNode(peer);
    EXPECT_EQ(values(*window), kAllNA);
    EXPECT_TRUE(window->get_visible());
}

TEST_F(StatisticWindowTest, HiddenWindowIsClosedAndLateReportsAreDropped)
{
    std::shared_ptr<StatisticWindow> window = open(p2p_key(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    std::weak_ptr<StatisticWindow> weak = window;
    const PkMediaChannelInfo info = report(p2p_key(), PK_STATISTIC_INCOMING);
    deliver(window, info);  // posted, not yet run
    window->hide();
    EXPECT_TRUE(app->windows.empty());
    window.reset();
    EXPECT_TRUE(weak.expired());
    for (int i = 0; i < 20; i++) pi_test_iterate_once(0);  // the posted handler finds no window
}

// Disconnect asks first; Yes unbinds the channel, resets the values and,
// outside a broadcast, closes the window.
TEST_F(StatisticWindowTest, DisconnectAsksThenUnbinds)
{
    struct Case {
        bool yes;
        int32_t mode;
        bool unbound;
        bool open;
    } cases[] = {
        {false, PK_BINDER_MODE_P2P, false, true},
        {true, PK_BINDER_MODE_BROADCAST, true, true},
        {true, PK_BINDER_MODE_P2P, true, false},
    };
    for (const Case &c : cases) {
        PkBinder::instance()->mode = c.mode;
        ASSERT_EQ(pk_binder_add_channel(p2p_key(), PkXID::fromText("viewer.node"), PkXID::fromText("bnd.seq.1"), 2),
                  0);
        std::shared_ptr<StatisticWindow> window = open(p2p_key(), PK_STATISTIC_INCOMING);
        ASSERT_TRUE(window);
        deliver(window, report(p2p_key(), PK_STATISTIC_INCOMING));
        ASSERT_TRUE(pi_test_iterate_until([&] { return filled(*window); }));
        ASSERT_TRUE(window->disconnect_button->get_sensitive());

        Glib::ustring question;
        Glib::signal_timeout().connect(
            [&] {
                auto box = app->findWindow<MessageDialog>(nullptr, nullptr);
                if (!box || !box->get_visible()) return true;
                question = box->get_title() + ": " + box->messageLabel->get_text();
                box->response(c.yes ? Gtk::RESPONSE_OK : Gtk::RESPONSE_CANCEL);
                return false;
            },
            20);
        window->disconnect_button->clicked();

        EXPECT_EQ(question, "Disconnect: Do you want to finish current session?");
        EXPECT_EQ(PkBinder::instance()->findChannel(p2p_key()) == nullptr, c.unbound) << c.yes << c.mode;
        EXPECT_EQ(filled(*window), !c.yes);
        EXPECT_EQ(window->get_visible(), c.open);
        EXPECT_EQ(app->windowAt<StatisticWindow>(0) != nullptr, c.open);
        window->hide();
        PkBinder::instance()->channels.clear();
    }
}

TEST_F(StatisticWindowTest, ThemeColoursSeparators)
{
    std::shared_ptr<StatisticWindow> window = open(p2p_key(), PK_STATISTIC_INCOMING);
    ASSERT_TRUE(window);
    for (int theme : {0, 1, 7}) {
        window->onThemeChanged(theme);
        Gdk::RGBA colour = window->info1_separator->get_style_context()->get_background_color();
        const double expected = theme == 0 ? 0xDE / 255.0 : theme == 1 ? 0x40 / 255.0 : 0.0;
        EXPECT_NEAR(colour.get_red(), expected, 0.01) << theme;
        colour = window->info2_separator->get_style_context()->get_background_color();
        EXPECT_NEAR(colour.get_red(), expected, 0.01) << theme;
    }
}

}  // namespace
