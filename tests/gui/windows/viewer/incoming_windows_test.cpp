#include "windows/viewer/incoming_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/bind_channels.h"
#include "services/config.h"

namespace {

PkXID p2m_key(uint32_t index)
{
    char text[40] = {};
    snprintf(text, sizeof(text), "p2m.bnd.%08X.chnl", index);
    return PkXID::fromText(text);
}

class IncomingWindowsTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        PkConfig::instance()->broadcastSizeClass = 1;
        PkConfig::instance()->broadcastChannels = 4;
        PkBinder::instance()->mode = PK_BINDER_MODE_BROADCAST;
    }
    void TearDown() override
    {
        if (!app) return;
        app->windows.clear();
        PkBinder::instance()->mode = PK_BINDER_MODE_IDLE;
        PkConfig::instance()->broadcastSizeClass = -1;
        PkConfig::instance()->broadcastChannels = 0;
        for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    }

    std::shared_ptr<StatisticWindow> listed(size_t index) { return app->windowAt<StatisticWindow>(index); }

    // Fills the window's values with a report of its own channel.
    static void fill(const std::shared_ptr<StatisticWindow> &window)
    {
        PkMediaChannelInfo info;
        info.bind.channel = window->channelKey();
        info.bind.kind = window->kind;
        std::thread([&] { window->onChannelInfo(info); }).join();
        pi_test_iterate_until([&] { return window->resolution_value_label->get_text() != "N/A"; });
    }
    static bool isFilled(const std::shared_ptr<StatisticWindow> &window)
    {
        return window->resolution_value_label->get_text() != "N/A";
    }

    std::shared_ptr<IncomingWindowsManager> manager = IncomingWindowsManager::instance();
};

TEST_F(IncomingWindowsTest, OneWindowPerChannelKey)
{
    EXPECT_EQ(manager, IncomingWindowsManager::instance());
    manager->showWindow(gtkApp, p2m_key(1));
    ASSERT_TRUE(listed(0));
    EXPECT_EQ(listed(0)->title, "Incoming connection");
    EXPECT_EQ(listed(0)->kind, PK_STATISTIC_INCOMING);
    EXPECT_TRUE(listed(0)->peerId.isNull());
    EXPECT_EQ(listed(0)->get_title(), "Incoming connection");

    manager->showWindow(gtkApp, p2m_key(1));
    EXPECT_EQ(app->windows.size(), 1u);
    manager->showWindow(gtkApp, p2m_key(2));
    EXPECT_EQ(app->windows.size(), 2u);
    // The zero key finds any statistics window, so no chooser is opened.
    manager->showWindow(gtkApp, PkXID());
    EXPECT_EQ(app->windows.size(), 2u);

    manager->hideAll(gtkApp);
    EXPECT_TRUE(app->windows.empty());
    manager->showWindow(gtkApp, PkXID());
    ASSERT_EQ(app->windows.size(), 1u);
    EXPECT_TRUE(listed(0)->channel_combobox->get_visible());
}

TEST_F(IncomingWindowsTest, RefreshFirstAndAll)
{
    manager->refreshFirst(gtkApp);  // nothing to refresh
    manager->refreshAll(gtkApp);
    manager->hideAll(gtkApp);

    for (uint32_t i = 0; i < 3; i++) manager->showWindow(gtkApp, p2m_key(i));
    ASSERT_EQ(app->windows.size(), 3u);
    for (size_t i = 0; i < 3; i++) fill(listed(i));

    manager->refreshFirst(gtkApp);
    EXPECT_FALSE(isFilled(listed(0)));
    EXPECT_FALSE(listed(0)->disconnect_button->get_sensitive());
    EXPECT_TRUE(isFilled(listed(1)));
    EXPECT_TRUE(isFilled(listed(2)));

    manager->refreshAll(gtkApp);
    for (size_t i = 0; i < 3; i++) EXPECT_FALSE(isFilled(listed(i))) << i;
    EXPECT_EQ(app->windows.size(), 3u);
}

TEST_F(IncomingWindowsTest, PlaybackStatisticsWindowAndForeignApplication)
{
    const PkXID peer = PkXID::fromText("streamer.node");
    std::shared_ptr<StatisticWindow> window =
        manager->createWindow(gtkApp, "Information", peer, p2m_key(0), PK_STATISTIC_PLAYBACK);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->peerId, peer);
    EXPECT_EQ(window->get_title(), "Information");
    EXPECT_FALSE(window->disconnect_button->get_visible());

    // An application that is not ours gets no window and no change.
    Glib::RefPtr<Gtk::Application> foreign = Gtk::Application::create("", Gio::APPLICATION_NON_UNIQUE);
    EXPECT_FALSE(manager->createWindow(foreign, "Information", peer, p2m_key(1), PK_STATISTIC_PLAYBACK));
    manager->showWindow(foreign, p2m_key(1));
    manager->hideAll(foreign);
    manager->refreshAll(foreign);
    EXPECT_EQ(app->windows.size(), 1u);
}

}  // namespace
