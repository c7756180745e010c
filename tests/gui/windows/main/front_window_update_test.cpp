// The main window's silent update check: a real main window built by the
// window factory (not shown, so it registers with no service), its update
// tick driven by hand, and manifest answers handed in as the HTTP client
// delivers them; an offer runs the real update dialog, which the test
// closes from the main loop.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <string>

#include "app/info.h"
#include "core/clock.h"
#include "core/system.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "gui/windows/main/front_window_fixture.h"
#include "windows/info/update_dialog.h"
#include "windows/main/front_window.h"

namespace {

// The installer is never started: the desktop has no handlers.
const bool no_desktop_handlers = [] {
    setenv("XDG_DATA_DIRS", "/nonexistent", 1);
    setenv("XDG_DATA_HOME", "/nonexistent", 1);
    return true;
}();

std::string manifest(int major, int minor)
{
    return std::string("{\"version\": 1, \"subject\": [{\"os\": \"") + PK_UPDATE_OS + "\", \"cpu\": \"" +
           PK_UPDATE_CPU + "\", \"product\": \"" + VeltranaAppInfo().webAppId() +
           "\", \"method\": \"link\", \"url\": \"http://127.0.0.1:9/update.exe\", \"sha256\": \"ab\", \"type\": "
           "\"exe\", \"major\": " +
           std::to_string(major) + ", \"minor\": " + std::to_string(minor) + "}]}";
}

IPkWeb::Response answer(uint64_t id, int32_t status, uint64_t code, const std::string &body)
{
    IPkWeb::Response response;
    response.id = id;
    response.status = status;
    response.responseCode = code;
    response.body = body;
    return response;
}

class FrontWindowUpdate : public FrontWindowFixture {
protected:
    void TearDown() override
    {
        offerWatch.disconnect();
        if (window) window->pendingWebRequest = 0;
        FrontWindowFixture::TearDown();
    }

    // Closes the update dialog once it shows; records that it did.
    void closeOffer()
    {
        offered = false;
        offerWatch.disconnect();
        offerWatch = Glib::signal_timeout().connect(
            [this] {
                auto dialog = app->findWindow<UpdateDialog>(nullptr, nullptr);
                if (!dialog || !dialog->get_visible()) return true;
                offered = true;
                offeredBody = dialog->response.body;
                dialog->Gtk::Dialog::response(Gtk::RESPONSE_CANCEL);
                return false;
            },
            20);
    }

    bool offered = false;
    std::string offeredBody;
    sigc::connection offerWatch;
};

// The first tick asks at once and sets the next check 12 hours ahead;
// further ticks ask nothing until then.
TEST_F(FrontWindowUpdate, TickAsksOnceInTwelveHours)
{
    const int64_t before = static_cast<int64_t>(core_clock_mono_ns() / 1000000);
    EXPECT_TRUE(window->onUpdateTimer());
    const uint64_t first = window->pendingWebRequest;
    EXPECT_NE(first, 0u);
    EXPECT_GE(window->nextUpdateCheckMs, before + 43200000);
    const int64_t due = window->nextUpdateCheckMs;
    EXPECT_TRUE(window->onUpdateTimer());
    EXPECT_EQ(window->pendingWebRequest, first);
    EXPECT_EQ(window->nextUpdateCheckMs, due);

    // Due again with the old request unanswered: it is replaced.
    window->nextUpdateCheckMs = 0;
    EXPECT_TRUE(window->onUpdateTimer());
    EXPECT_NE(window->pendingWebRequest, first);
    EXPECT_NE(window->pendingWebRequest, 0u);

    window->updateChecksStopped = true;
    EXPECT_FALSE(window->onUpdateTimer());
}

// While a dialog is open the tick neither asks nor moves the due time.
TEST_F(FrontWindowUpdate, NoCheckWhileADialogIsOpen)
{
    static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
    auto dialog = PiApplication::openDialog<ModelessDialog>(gtkApp, nullptr, zero);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(window->onUpdateTimer());
    EXPECT_EQ(window->pendingWebRequest, 0u);
    EXPECT_EQ(window->nextUpdateCheckMs, 0);
    dialog->hide();
    EXPECT_TRUE(window->onUpdateTimer());
    EXPECT_NE(window->pendingWebRequest, 0u);
}

// Installed 7.0: only a newer major.minor of a served manifest for this
// product opens the dialog, and only for the window's own request.
TEST_F(FrontWindowUpdate, AnswersThatOfferAndThatDoNot)
{
    ASSERT_EQ(VeltranaAppInfo().majorVersion(), 7);
    ASSERT_EQ(VeltranaAppInfo().minorVersion(), 0);
    const struct {
        const char *purpose;
        IPkWeb::Response response;
        bool offer;
    } cases[] = {
        {"same version", answer(42, PK_WEB_FINISHED, 200, manifest(7, 0)), false},
        {"older version", answer(42, PK_WEB_FINISHED, 200, manifest(6, 9)), false},
        {"not served", answer(42, PK_WEB_FINISHED, 404, manifest(8, 0)), false},
        {"failed", answer(42, PK_WEB_UNREACHABLE, 0, ""), false},
        {"not a manifest", answer(42, PK_WEB_FINISHED, 200, "<html/>"), false},
        {"newer minor", answer(42, PK_WEB_FINISHED, 200, manifest(7, 1)), true},
        {"newer major", answer(42, PK_WEB_FINISHED, 200, manifest(8, 0)), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        window->pendingWebRequest = 42;
        window->updateChecksStopped = false;
        closeOffer();
        window->onWebResponseMain(std::make_shared<IPkWeb::Response>(c.response));
        EXPECT_EQ(offered, c.offer);
        // The dialog starts from the manifest in hand instead of fetching.
        if (c.offer) {
            EXPECT_EQ(offeredBody, c.response.body);
        }
        EXPECT_EQ(window->updateChecksStopped, c.offer);
        EXPECT_EQ(window->pendingWebRequest, 0u);
        // The offer's dialog is gone before the next case.
        for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    }
    // After an offer, even a declined one, the tick ends.
    EXPECT_FALSE(window->onUpdateTimer());
}

// An answer to another request is not the window's: nothing changes.
TEST_F(FrontWindowUpdate, OtherRequestsAreIgnored)
{
    window->pendingWebRequest = 42;
    closeOffer();
    window->onWebResponseMain(std::make_shared<IPkWeb::Response>(answer(43, PK_WEB_FINISHED, 200, manifest(8, 0))));
    EXPECT_FALSE(offered);
    EXPECT_EQ(window->pendingWebRequest, 42u);
    EXPECT_FALSE(window->updateChecksStopped);
}

}  // namespace
