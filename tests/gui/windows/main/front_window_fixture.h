// The main window for the suites that drive it directly: the base runtime
// started, a real main window built by the window factory (not shown) whose
// start-up timer is stopped, so nothing runs unless the test calls it. All on
// the test's main thread.
#pragma once

#include <memory>

#include "core/system.h"
#include "gui/toolkit/window_fixtures.h"
#include "windows/main/front_window.h"

class FrontWindowFixture : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(core_system_start(0), CORE_OK);
        window = PiApplication::createWindow<FrontWindow>(gtkApp, nullptr);
        ASSERT_TRUE(window);
        window->startupTimer.disconnect();
    }
    void TearDown() override
    {
        window.reset();
        releaseWindows();
        core_system_stop();
    }

    std::shared_ptr<FrontWindow> window;
};
