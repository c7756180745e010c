// The main window's side menu after an engine start, on a machine whose
// node configuration is viewer only: a real main window built by the
// window factory (not shown), configured as the start report configures it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/system.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "gui/windows/main/front_window_fixture.h"
#include "gui/windows/main/request_log.h"
#include "services/config.h"
#include "services/facade.h"
#include "windows/main/front_window.h"

namespace {

bool listed(const std::vector<Gtk::Widget *> &list, Gtk::Widget *widget)
{
    return std::find(list.begin(), list.end(), widget) != list.end();
}

class FrontWindowStreamer : public FrontWindowFixture {
protected:
    void SetUp() override
    {
        FrontWindowFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const std::shared_ptr<PkConfig> config = PkConfig::instance();
        config->sendRoles = 0;
        config->receiveRoles = 0;
        config->broadcastChannels = 0;
    }
};

// Without an engine no encoder can stream, so a viewer-only node stays
// viewer only: no restart, the "VIEWER ONLY" label, and the streaming
// commands hidden and no longer tracked; the other commands stay tracked.
TEST_F(FrontWindowStreamer, ViewerOnlyHidesTheStreamingCommands)
{
    window->trackButtons(window->p2mButton, window->p2mRightButton);
    window->trackButtons(window->incomingButton, window->incomingRightButton);
    window->trackButtons(window->settingsButton, window->settingsRightButton);
    window->viewerLabel->hide();
    window->show_all();

    EXPECT_FALSE(window->configureStreamer());
    EXPECT_EQ(PkConfig::instance()->sendRoles, 0u);
    EXPECT_TRUE(window->viewerLabel->get_visible());
    for (Gtk::Widget *widget : {static_cast<Gtk::Widget *>(window->p2mButton),
                                static_cast<Gtk::Widget *>(window->p2mRightButton),
                                static_cast<Gtk::Widget *>(window->incomingButton),
                                static_cast<Gtk::Widget *>(window->incomingRightButton)}) {
        EXPECT_FALSE(widget->get_visible());
        EXPECT_FALSE(listed(window->leftButtons, widget));
        EXPECT_FALSE(listed(window->rightButtons, widget));
    }
    EXPECT_TRUE(listed(window->leftButtons, window->settingsButton));
    EXPECT_TRUE(window->settingsButton->get_visible());
}

// A node configured for streaming on a machine where no encoder can
// stream switches to viewer only and asks for one restart (stop, start);
// the next start report then finds the switch consistent.
TEST_F(FrontWindowStreamer, NoUsableEncoderSwitchesToViewerOnlyAndRestarts)
{
    const std::shared_ptr<PkDeam> facade = PkDeam::instance();
    const auto log = std::make_shared<RequestLog>();
    facade->queue.stop();
    facade->queue.unsubscribe(facade);
    facade->queue.subscribe(log);
    facade->queue.start();
    facade->requestedState = PK_DEAM_STATE_STARTED;

    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    config->sendRoles = 2;
    config->networkFlags = 0x17;
    const PkXID key = config->nodeKey;
    window->viewerLabel->hide();
    EXPECT_FALSE(window->configureStreamer());
    EXPECT_EQ(config->sendRoles, 0u);
    EXPECT_EQ(config->networkFlags, 6u);
    EXPECT_EQ(config->binderDirection, 1u);
    EXPECT_FALSE(config->nodeKey == key);
    EXPECT_EQ(log->take(2), (std::vector<int32_t>{PK_DEAM_STATE_STOPPED, PK_DEAM_STATE_STARTED}));
    // The menu waits for the restarted engine.
    EXPECT_FALSE(window->viewerLabel->get_visible());

    window->configureStreamer();
    EXPECT_TRUE(log->take(0).empty());
    EXPECT_TRUE(window->viewerLabel->get_visible());
    EXPECT_FALSE(window->p2mButton->get_visible());

    facade->queue.stop();
    facade->queue.unsubscribe(log);
    facade->queue.subscribe(facade);
}

}  // namespace
