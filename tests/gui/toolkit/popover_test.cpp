#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/window.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "gtk_env.h"
#include "toolkit/popover.h"
#include "toolkit/window.h"

namespace {

// No handler for any web address is visible to this program, so the URL
// opener is asked but launches nothing: only the MIME database is kept.
const bool g_no_url_handlers = [] {
    char folder[] = "/tmp/popover_test_XXXXXX";
    if (mkdtemp(folder) != nullptr) {
        const std::string mime = std::string(folder) + "/mime";
        if (symlink("/usr/share/mime", mime.c_str()) != 0) return false;
        setenv("XDG_DATA_DIRS", folder, 1);
    }
    setenv("XDG_DATA_HOME", "/nonexistent", 1);
    setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    setenv("XDG_CONFIG_DIRS", "/nonexistent", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    return true;
}();

class PopoverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
        window = std::make_unique<Gtk::Window>();
        button = Gtk::manage(new Gtk::Button("Help"));
        window->add(*button);
        window->show_all();
    }

    std::unique_ptr<Gtk::Window> window;
    Gtk::Button *button = nullptr;
};

TEST_F(PopoverTest, BubbleBelowTheWidgetWithWrappedMarkup)
{
    std::shared_ptr<PiGtkPopover> popover = PiGtkPopover::show(*button, "<b>Bold</b> and a rather long text that wraps");
    ASSERT_TRUE(popover);
    EXPECT_TRUE(popover->get_visible());
    EXPECT_EQ(popover->get_relative_to(), button);
    EXPECT_EQ(popover->get_position(), Gtk::POS_BOTTOM);
    EXPECT_EQ(popover->get_border_width(), 8u);
    Gtk::Label *label = popover->label();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->get_text(), "Bold and a rather long text that wraps");
    EXPECT_TRUE(label->get_line_wrap());
    EXPECT_EQ(label->get_max_width_chars(), PI_POPOVER_MAX_WIDTH_CHARS);
    EXPECT_EQ(label->get_justify(), Gtk::JUSTIFY_CENTER);

    PiGtkPopover unwrapped(*button, "text", 0);
    EXPECT_FALSE(unwrapped.label()->get_line_wrap());
}

TEST_F(PopoverTest, WebLinksAreOpenedHereOthersLeftToGtk)
{
    std::shared_ptr<PiGtkPopover> popover = PiGtkPopover::show(*button, "<a href=\"https://example.com\">site</a>");
    struct Case {
        const char *uri;
        bool handled;
    };
    const Case cases[] = {
        {"https://example.com/help", true},
        {"http://example.com", true},
        {"example.com/page.html", true},
        {"mailto:someone@example.com", false},
        {"", false},
    };
    for (const Case &c : cases) EXPECT_EQ(popover->onActivateLink(c.uri), c.handled) << c.uri;

    // Through the label's signal: ours answers first, GTK's never runs.
    gboolean handled = FALSE;
    g_signal_emit_by_name(popover->label()->gobj(), "activate-link", "https://example.com", &handled);
    EXPECT_TRUE(handled);
}

// A bubble closed by hand tells its owner once, also when its timeout fires
// later, and may be dropped inside that call; a blocked slot is not called;
// one left alone closes itself. Shown one after the other: a modal popover
// closes the one open before it.
TEST_F(PopoverTest, ClosesByHandOrByItselfAndTellsTheOwnerOnce)
{
    int keptClosed = 0, droppedClosed = 0, blockedClosed = 0, aloneClosed = 0;

    std::shared_ptr<PiGtkPopover> kept = PiGtkPopover::show(*button, "kept");
    kept->closedSlot = [&] { keptClosed++; };
    kept->popdown();
    ASSERT_TRUE(pi_test_iterate_until([&] { return keptClosed == 1; }));

    std::shared_ptr<PiGtkPopover> dropped = PiGtkPopover::show(*button, "dropped");
    std::weak_ptr<PiGtkPopover> weakDropped = dropped;
    dropped->closedSlot = [&] {
        droppedClosed++;
        dropped.reset();  // the owner lets go inside the notification
    };
    weakDropped.lock()->popdown();
    EXPECT_TRUE(pi_test_iterate_until([&] { return weakDropped.expired(); }));

    std::shared_ptr<PiGtkPopover> blocked = PiGtkPopover::show(*button, "blocked");
    blocked->closedSlot = [&] { blockedClosed++; };
    blocked->closedSlot.block();
    blocked->popdown();
    EXPECT_TRUE(pi_test_iterate_until([&] { return !blocked->get_visible(); }));

    std::shared_ptr<PiGtkPopover> alone = PiGtkPopover::show(*button, "alone");
    alone->closedSlot = [&] { aloneClosed++; };
    // A bound on waiting for the timeout, not a measured time.
    pi_test_iterate_until([&] { return aloneClosed != 0; });
    EXPECT_EQ(aloneClosed, 1);
    EXPECT_TRUE(pi_test_iterate_until([&] { return !alone->get_visible(); }));
    EXPECT_EQ(keptClosed, 1);
    EXPECT_EQ(droppedClosed, 1);
    EXPECT_EQ(blockedClosed, 0);
}

// The dialog use: the bubble lives among a window's children until closed.
TEST_F(PopoverTest, WindowChildUntilClosed)
{
    class Holder : public PiGtkBaseWindow {};
    Holder holder;
    std::weak_ptr<PiGtkPopover> weak;
    {
        std::shared_ptr<PiGtkPopover> popover = PiGtkPopover::show(*button, "help");
        weak = popover;
        holder.addChild(popover);
        popover->closedSlot = [&holder, weak] {
            if (std::shared_ptr<PiGtkPopover> self = weak.lock()) holder.removeChild(self);
        };
    }
    ASSERT_FALSE(weak.expired());
    weak.lock()->popdown();
    EXPECT_TRUE(pi_test_iterate_until([&] { return weak.expired(); }));
    EXPECT_TRUE(holder.children.empty());
}

}  // namespace
