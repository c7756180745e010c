// The multichannel broadcast dialog on a real facade: the dialog runs
// modally, the test answers it from the main loop and looks at the node
// configuration and the requests that reached the facade's queue.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "gui/windows/main/request_log.h"
#include "services/config.h"
#include "services/facade.h"
#include "windows/main/broadcast_dialog.h"

namespace {

std::shared_ptr<RequestLog> &request_log()
{
    static std::shared_ptr<RequestLog> log = std::make_shared<RequestLog>();
    return log;
}

class FacadeQueueEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::shared_ptr<PkDeam> facade = PkDeam::instance();
        facade->queue.stop();
        facade->queue.unsubscribe(facade);
        facade->queue.subscribe(request_log());
        facade->queue.start();
    }
    void TearDown() override
    {
        const std::shared_ptr<PkDeam> facade = PkDeam::instance();
        facade->queue.stop();
        facade->queue.unsubscribe(request_log());
        PkDeam::shutdown();
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new FacadeQueueEnvironment);

// The background colour of the rule last attached to the separator.
std::string separator_colour(Gtk::Widget &separator)
{
    // The rule itself is not readable back; the drawn colour is.
    Gdk::RGBA colour = separator.get_style_context()->get_background_color(Gtk::STATE_FLAG_NORMAL);
    char text[8];
    snprintf(text, sizeof(text), "#%02x%02x%02x", unsigned(colour.get_red() * 255 + 0.5),
             unsigned(colour.get_green() * 255 + 0.5), unsigned(colour.get_blue() * 255 + 0.5));
    return text;
}

class P2MDialogTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        // The engine runs as far as the facade knows.
        PkDeam::instance()->requestedState = PK_DEAM_STATE_STARTED;
        const std::shared_ptr<PkConfig> config = PkConfig::instance();
        config->broadcastChannels = 0;
        config->broadcastSizeClass = -1;
    }
    // Once the dialog shows: records it, then ends it with the action.
    void answer(std::function<void(P2MDialog &)> action)
    {
        Glib::signal_timeout().connect(
            [this, action] {
                auto dialog = app->findWindow<P2MDialog>(nullptr, nullptr);
                if (!dialog || !dialog->get_visible()) return true;
                title = dialog->get_title();
                activeRow = dialog->channelsCombobox->get_active_row_number();
                for (int row = 0; row < 8; row++) {
                    dialog->channelsCombobox->set_active(row);
                    if (dialog->channelsCombobox->get_active_row_number() != row) break;
                    rows.push_back(dialog->channelsCombobox->get_active_text());
                }
                dialog->channelsCombobox->set_active(activeRow);
                action(*dialog);
                return false;
            },
            20);
    }

    int run()
    {
        static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
        auto dialog = PiApplication::createWindow<P2MDialog>(gtkApp, nullptr, zero);
        EXPECT_TRUE(dialog);
        if (!dialog) return 0;
        return PiApplication::runDialog<P2MDialog>(gtkApp, dialog);
    }

    Glib::ustring title;
    int activeRow = -2;
    std::vector<Glib::ustring> rows;
};

// The four counts, untranslated, with row 0 active; "Start broadcast" on
// row 2 records 16 channels and asks the facade for a stop, then a start.
TEST_F(P2MDialogTest, StartOnARowRecordsItsCountAndRestartsTheEngine)
{
    answer([](P2MDialog &dialog) {
        dialog.channelsCombobox->set_active(2);
        dialog.startButton->clicked();
    });
    EXPECT_EQ(run(), Gtk::RESPONSE_OK);
    EXPECT_EQ(title, "Multichannel streamer");
    EXPECT_EQ(activeRow, 0);
    EXPECT_EQ(rows, (std::vector<Glib::ustring>{"Live broadcast / 4 channel(s)", "Live broadcast / 8 channel(s)",
                                                "Live broadcast / 16 channel(s)", "Live broadcast / 32 channel(s)"}));
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    EXPECT_EQ(config->broadcastChannels, 16u);
    EXPECT_TRUE(config->broadcastConfigured());
    EXPECT_EQ(request_log()->take(2), (std::vector<int32_t>{PK_DEAM_STATE_STOPPED, PK_DEAM_STATE_STARTED}));
}

// Closing the dialog records nothing and leaves the engine alone.
TEST_F(P2MDialogTest, ClosingRecordsNothing)
{
    answer([](P2MDialog &dialog) {
        dialog.channelsCombobox->set_active(3);
        gtk_window_close(GTK_WINDOW(dialog.gobj()));
    });
    EXPECT_EQ(run(), Gtk::RESPONSE_DELETE_EVENT);
    EXPECT_EQ(PkConfig::instance()->broadcastChannels, 0u);
    EXPECT_FALSE(PkConfig::instance()->broadcastConfigured());
    EXPECT_TRUE(request_log()->take(0).empty());
}

// The separator takes the theme in force when the run starts, then each
// theme the manager reports while the dialog is open.
TEST_F(P2MDialogTest, SeparatorFollowsTheTheme)
{
    PiTheme::instance()->setMode(1);
    std::vector<std::string> colours;
    answer([&colours](P2MDialog &dialog) {
        colours.push_back(separator_colour(*dialog.mainSeparator));
        for (int theme : {0, 1, 7}) {
            dialog.onThemeChanged(theme);
            colours.push_back(separator_colour(*dialog.mainSeparator));
        }
        dialog.response(Gtk::RESPONSE_CANCEL);
    });
    run();
    PiTheme::instance()->setMode(PI_THEME_AUTO);
    EXPECT_EQ(colours, (std::vector<std::string>{"#404040", "#dedede", "#404040", "#000000"}));
}

}  // namespace
