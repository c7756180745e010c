// The broadcast overview as the main window shows it: built by the real
// window factory for a configured broadcast, fed totals records as the
// notification centre hands them over, and driven through its buttons with
// the real question boxes answered from the main loop.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/texts.h"
#include "core/names.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "windows/info/message_dialog.h"
#include "windows/main/broadcast_overview.h"
#include "windows/viewer/statistic_window.h"

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

PkXID channel_key(uint32_t index)
{
    char text[33];
    snprintf(text, sizeof(text), "p2m.bnd.%08X.chnl", index);
    CoreName name;
    core_name_format(&name, "%s", text);
    return PkXID(name);
}

PkXID id_of(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return PkXID(name);
}

class TotalWindowTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        PkConfig::instance()->broadcastChannels = 8;
        PkConfig::instance()->broadcastSizeClass = 1;
        window = PiApplication::openWindow<TotalWindow>(gtkApp, nullptr);
        ASSERT_TRUE(window);
        // Held as a running main loop holds it, so that work posted from
        // another thread waits for the loop instead of running there.
        ASSERT_TRUE(Glib::MainContext::get_default()->acquire());
        acquired = true;
    }
    void TearDown() override
    {
        if (acquired) Glib::MainContext::get_default()->release();
        window.reset();
        pk_binder_unbind(PkXID(), false);
        releaseWindows();
    }

    // Answers the next question box with the positive ("Yes") or negative
    // button, and records its title and text.
    void answerQuestion(bool yes)
    {
        asked = false;
        Glib::signal_timeout().connect(
            [this, yes] {
                auto box = app->findWindow<MessageDialog>(nullptr, nullptr);
                if (!box || !box->get_visible()) return true;
                asked = true;
                question = box->text;
                questionTitle = box->title;
                (yes ? box->positiveButton : box->negativeButton)->clicked();
                return false;
            },
            20);
    }

    std::vector<std::string> labels(std::initializer_list<Gtk::Label *> list)
    {
        std::vector<std::string> texts;
        for (Gtk::Label *label : list) texts.push_back(label->get_text());
        return texts;
    }
    std::vector<std::string> values()
    {
        return labels({window->resolutionValueLabel, window->encryptionValueLabel, window->bitrateValueLabel,
                       window->timeValueLabel, window->connectedValueLabel});
    }

    // Hands a record over as the centre's worker does, then lets the main
    // loop run the posted step.
    void deliver(const PkMediaTotalInfo &info)
    {
        std::thread worker([this, info] { window->onTotalInfo(info); });
        worker.join();
        const std::vector<std::string> before = values();
        pi_test_iterate_until([&] { return values() != before; });
    }

    std::shared_ptr<TotalWindow> window;
    bool acquired = false;
    bool asked = false;
    Glib::ustring question;
    Glib::ustring questionTitle;
};

TEST_F(TotalWindowTest, BuiltForTheConfiguredBroadcast)
{
    EXPECT_TRUE(window->get_visible());
    EXPECT_EQ(window->get_title(), "Multichannel streamer");
    EXPECT_EQ(labels({window->resolutionFieldLabel, window->encryptionFieldLabel, window->bitrateFieldLabel,
                      window->timeFieldLabel, window->connectedFieldLabel}),
              (std::vector<std::string>{"Encoder resolution", "Encryption support", "Total bitrate", "Broadcast time",
                                        "Connected nodes"}));
    EXPECT_EQ(values(), std::vector<std::string>(5, "N/A"));
    EXPECT_EQ(window->infoButton->get_label(), "Information");
    EXPECT_EQ(window->disconnectButton->get_label(), "Disconnect");
    EXPECT_EQ(window->disconnectallButton->get_label(), "Disconnect all");
    EXPECT_EQ(window->stopButton->get_label(), "Stop broadcast");
    EXPECT_EQ(window->channelCombobox->get_active_row_number(), 0);
    std::vector<std::string> rows;
    for (int row = 0; row < 10; row++) {
        window->channelCombobox->set_active(row);
        if (window->channelCombobox->get_active_row_number() != row) break;
        rows.push_back(window->channelCombobox->get_active_text());
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"Channel 1", "Channel 2", "Channel 3", "Channel 4", "Channel 5",
                                              "Channel 6", "Channel 7", "Channel 8"}));
}

TEST_F(TotalWindowTest, TotalsFillTheValues)
{
    PkMediaTotalInfo info{};
    info.videoMode = {1280, 720, 30, 1};
    info.securityFlags = 3;
    info.sentAudioBytes = 1500000;
    info.sentVideoBytes = 500000;
    info.elapsedMs = 3723999;
    info.channelCount = 2;
    deliver(info);
    EXPECT_EQ(values(), (std::vector<std::string>{"1280x720@30 Hz", "AES-128 / AES-256", bitrateText(2000000),
                                                  "01:02:03", "2"}));

    // The encryption words and the time of day, which wraps at 24 hours.
    const struct {
        uint32_t flags;
        uint64_t ms;
        const char *encryption;
        const char *time;
    } cases[] = {{2, 90000000, "AES-256", "01:00:00"}, {1, 0, "AES-128", "00:00:00"}, {0, 86399999, "N/A", "23:59:59"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.encryption);
        info.securityFlags = c.flags;
        info.elapsedMs = c.ms;
        info.channelCount++;
        deliver(info);
        EXPECT_EQ(window->encryptionValueLabel->get_text(), c.encryption);
        EXPECT_EQ(window->timeValueLabel->get_text(), c.time);
    }
}

// A step posted for a window that is gone before it runs is dropped.
TEST_F(TotalWindowTest, TotalsForAGoneWindowAreDropped)
{
    PkMediaTotalInfo info{};
    info.channelCount = 5;
    std::thread worker([this, info] { window->onTotalInfo(info); });
    worker.join();
    const std::weak_ptr<TotalWindow> weak = window;
    window->hide();
    window.reset();
    app->windows.clear();
    ASSERT_TRUE(weak.expired());
    for (int i = 0; i < 10; i++) pi_test_iterate_once(0);
}

TEST_F(TotalWindowTest, InformationOpensTheSelectedChannelsStatistics)
{
    window->channelCombobox->set_active(4);
    window->infoButton->clicked();
    auto statistics = app->findWindow<StatisticWindow>(nullptr, nullptr);
    ASSERT_TRUE(statistics);
    EXPECT_EQ(statistics->bindId, channel_key(4));
    // Pressed again: the same window is raised, no second one.
    window->infoButton->clicked();
    EXPECT_EQ(app->windowAt<StatisticWindow>(1), nullptr);
    // Hiding the overview hides the statistics windows with it.
    window->hide();
    EXPECT_FALSE(statistics->get_visible());
}

// Each ending action asks first; "No" leaves the bindings and the window.
TEST_F(TotalWindowTest, EndingActionsAskFirst)
{
    const struct {
        const char *question;
        Gtk::Button *TotalWindow::*button;
    } actions[] = {{"Do you want to disconnect client?", &TotalWindow::disconnectButton},
                   {"Do you want to disconnect all clients?", &TotalWindow::disconnectallButton},
                   {"Do you want to stop broadcast?", &TotalWindow::stopButton}};
    ASSERT_EQ(pk_binder_add_channel(channel_key(0), id_of("node.viewer"), id_of("bnd.seq.01"), 2), 0);
    for (const auto &action : actions) {
        SCOPED_TRACE(action.question);
        answerQuestion(false);
        ((*window).*action.button)->clicked();
        EXPECT_TRUE(asked);
        EXPECT_EQ(question, action.question);
        EXPECT_EQ(questionTitle, "Multichannel streamer");
        EXPECT_TRUE(PkBinder::instance()->findChannel(channel_key(0)));
        EXPECT_EQ(PkConfig::instance()->broadcastChannels, 8u);
        EXPECT_TRUE(window->get_visible());
    }
}

TEST_F(TotalWindowTest, DisconnectUnbindsTheSelectedChannelOnly)
{
    ASSERT_EQ(pk_binder_add_channel(channel_key(2), id_of("node.viewer.a"), id_of("bnd.seq.02"), 2), 0);
    ASSERT_EQ(pk_binder_add_channel(channel_key(3), id_of("node.viewer.b"), id_of("bnd.seq.03"), 2), 0);
    window->channelCombobox->set_active(3);
    answerQuestion(true);
    window->disconnectButton->clicked();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(PkBinder::instance()->findChannel(channel_key(2)));
    EXPECT_FALSE(PkBinder::instance()->findChannel(channel_key(3)));

    answerQuestion(true);
    window->disconnectallButton->clicked();
    EXPECT_TRUE(PkBinder::instance()->channels.empty());
    EXPECT_TRUE(window->get_visible());
}

TEST_F(TotalWindowTest, StopClearsTheBroadcastAndCloses)
{
    ASSERT_EQ(pk_binder_add_channel(channel_key(1), id_of("node.viewer"), id_of("bnd.seq.04"), 2), 0);
    answerQuestion(true);
    window->stopButton->clicked();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(PkBinder::instance()->channels.empty());
    EXPECT_EQ(PkConfig::instance()->broadcastChannels, 0u);
    EXPECT_FALSE(PkConfig::instance()->broadcastConfigured());
    EXPECT_TRUE(pi_test_iterate_until([&] { return !window->get_visible(); }));
    EXPECT_EQ(app->findWindow<TotalWindow>(kZeroId, nullptr), nullptr);
}

}  // namespace
