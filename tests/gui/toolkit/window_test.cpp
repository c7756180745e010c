#include <gtest/gtest.h>

#include <gdkmm/pixbuf.h>
#include <gtk/gtk.h>
#include <gtkmm/label.h>
// Xlib after gtkmm: its macros clash with gtkmm names.
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include <memory>
#include <string>
#include <vector>

#include "gtk_env.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "window_fixtures.h"

namespace {

class WindowTest : public PiWindowTest {
protected:
    void TearDown() override
    {
        if (app) app->hideWindowsExcept(nullptr);
        PiWindowIcon::setPngLoader(nullptr);
    }

    template <class T>
    std::shared_ptr<T> openWith(std::shared_ptr<Gtk::Window> parent, const uint8_t *id = nullptr)
    {
        std::shared_ptr<T> window = PiApplication::createWindow<T>(gtkApp, parent, id);
        EXPECT_TRUE(window);
        if (window) {
            EXPECT_EQ(PiApplication::showWindow<T>(gtkApp, window), 0);
        }
        return window;
    }

    // Where the X server has the window now; waits for a requested move.
    static bool settlesAt(Gtk::Window &window, int x, int y)
    {
        return pi_test_iterate_until([&] {
            int atX = 0, atY = 0;
            window.get_window()->get_origin(atX, atY);
            return atX == x && atY == y;
        });
    }
};

// ---- Base window ----

TEST_F(WindowTest, ChildrenAreHeldUntilRemovedClearedOrHidden)
{
    std::shared_ptr<TestWindow> window = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    auto twice = std::make_shared<Gtk::Label>("twice");
    auto never = std::make_shared<Gtk::Label>("never");
    window->clearChildren();  // empty: nothing happens
    window->addChild(twice);
    window->addChild(twice);
    window->removeChild(never);
    EXPECT_EQ(window->children.size(), 2u);
    window->removeChild(twice);
    ASSERT_EQ(window->children.size(), 1u);
    EXPECT_EQ(window->children[0], twice);

    std::weak_ptr<Gtk::Label> held = twice;
    twice.reset();
    EXPECT_FALSE(held.expired());
    window->hide();
    EXPECT_TRUE(window->children.empty());
    EXPECT_TRUE(held.expired());
}

// A child keeps its parent alive and lets it go first when it goes.
TEST_F(WindowTest, ParentLivesAsLongAsTheChild)
{
    std::shared_ptr<TestAppWindow> parent = PiApplication::openWindow<TestAppWindow>(gtkApp, nullptr);
    std::shared_ptr<TestWindow> child = PiApplication::createWindow<TestWindow>(gtkApp, parent);
    ASSERT_TRUE(parent && child);
    EXPECT_EQ(child->parent, parent);
    std::weak_ptr<TestAppWindow> weakParent = parent;
    parent->hide();
    parent.reset();
    EXPECT_FALSE(weakParent.expired());
    child->resetParent();
    EXPECT_TRUE(weakParent.expired());
}

TEST_F(WindowTest, IconComesFromTheProgramsPng)
{
    Glib::RefPtr<Gdk::Pixbuf> picture = Gdk::Pixbuf::create(Gdk::COLORSPACE_RGB, true, 8, 16, 16);
    picture->fill(0xFF0000FF);
    gchar *buffer = nullptr;
    gsize size = 0;
    ASSERT_TRUE(gdk_pixbuf_save_to_buffer(picture->gobj(), &buffer, &size, "png", nullptr, nullptr));
    const std::vector<uint8_t> png(buffer, buffer + size);
    g_free(buffer);

    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool hasIcon;
    };
    const Case cases[] = {
        {"the PNG", png, true},
        {"no resource", {}, false},
        {"bytes that do not decode", {1, 2, 3, 4}, false},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> asked;
        PiWindowIcon::setPngLoader([&](uint32_t id) {
            asked.push_back(id);
            return c.bytes;
        });
        std::shared_ptr<TestWindow> window = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
        std::shared_ptr<TestDialog> dialog = PiApplication::createWindow<TestDialog>(gtkApp, nullptr);
        ASSERT_TRUE(window && dialog);
        EXPECT_EQ(bool(window->get_icon()), c.hasIcon) << c.what;
        EXPECT_EQ(bool(dialog->get_icon()), c.hasIcon) << c.what;
        EXPECT_EQ(asked, (std::vector<uint32_t>{PI_WINDOW_ICON_PNG, PI_WINDOW_ICON_PNG})) << c.what;
        EXPECT_TRUE(dialog->get_destroy_with_parent());
    }
}

// ---- Showing ----

TEST_F(WindowTest, CentreOffsetRoundsTowardZero)
{
    struct Case {
        int origin, monitor, window, expected;
    };
    const Case cases[] = {
        {0, 1920, 1000, 460}, {0, 1920, 1921, 0}, {0, 1920, 1924, -2}, {0, 1920, 1920, 0}, {1920, 1280, 400, 2360},
    };
    for (const Case &c : cases)
        EXPECT_EQ(pi_window_centre_offset(c.origin, c.monitor, c.window), c.expected)
            << c.origin << " " << c.monitor << " " << c.window;
}

// The private display is 1024 x 768; every show centres again, also after
// the window was moved, and a window wider than the display sits left of 0.
TEST_F(WindowTest, EveryShowCentresOnTheDisplay)
{
    std::shared_ptr<TestWindow> window = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    EXPECT_TRUE(settlesAt(*window, (1024 - 400) / 2, (768 - 300) / 2));

    window->move(5, 7);
    EXPECT_TRUE(settlesAt(*window, 5, 7));
    window->hide();
    window->show();
    EXPECT_TRUE(settlesAt(*window, (1024 - 400) / 2, (768 - 300) / 2));

    std::shared_ptr<TestWindow> wide = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(wide);
    wide->set_default_size(1028, 100);
    ASSERT_EQ(PiApplication::showWindow<TestWindow>(gtkApp, wide), 0);
    int width = 0, height = 0;
    wide->get_size(width, height);
    ASSERT_EQ(width, 1028);
    EXPECT_TRUE(settlesAt(*wide, -2, (768 - 100) / 2));
}

std::string theme_variant(Gtk::Window &window)
{
    GdkWindow *native = window.get_window()->gobj();
    Display *display = GDK_DISPLAY_XDISPLAY(gdk_window_get_display(native));
    const Atom property = XInternAtom(display, "_GTK_THEME_VARIANT", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::string value;
    if (XGetWindowProperty(display, gdk_x11_window_get_xid(native), property, 0, 64, False, AnyPropertyType, &type,
                           &format, &items, &after, &data) == Success &&
        data != nullptr) {
        value.assign(reinterpret_cast<char *>(data), items);
        XFree(data);
    }
    return value;
}

// The manager's mode alone, not GTK's own dark preference, so that the
// title bar is the window's doing. Light leaves it; dark sets it at the
// next show.
TEST_F(WindowTest, DarkThemeDarkensTheTitleBarOnShow)
{
    std::shared_ptr<PiTheme> theme = PiTheme::instance();
    const int before = theme->mode;
    theme->mode = PI_THEME_LIGHT;
    std::shared_ptr<TestWindow> window = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    EXPECT_EQ(theme_variant(*window), "");
    window->hide();
    theme->mode = PI_THEME_DARK;
    window->show();
    EXPECT_EQ(theme_variant(*window), "dark");
    theme->mode = before;
}

TEST_F(WindowTest, DialogRunAnswersTheResponseAndEndsHidden)
{
    for (int response : {int(Gtk::RESPONSE_OK), int(Gtk::RESPONSE_CANCEL)}) {
        std::shared_ptr<TestDialog> dialog = PiApplication::createWindow<TestDialog>(gtkApp, nullptr);
        ASSERT_TRUE(dialog);
        pi_test_answer_when_shown(*dialog, response);
        EXPECT_EQ(dialog->run(), response);
        EXPECT_FALSE(dialog->get_visible());
    }
}

// ---- Lookup and control ----

// Shown in this order: a plain toolkit window that is no PiGtkBaseWindow,
// the main window, w1 and w2 carrying one id, w3 transient for the main
// window, two dialogs transient for it, and a window of another class.
class LookupTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped()) return;
        plain = std::make_shared<Gtk::Window>();
        plain->show();
        ASSERT_TRUE(app->addWindow(plain));
        main = PiApplication::openWindow<TestAppWindow>(gtkApp, nullptr);
        w1 = openWith<TestWindow>(nullptr, idX.bytes);
        w2 = openWith<TestWindow>(nullptr, idX.bytes);
        w3 = openWith<TestWindow>(main);
        d1 = openWith<ModelessDialog>(main);
        d2 = openWith<ModelessDialog>(main);
        other = PiApplication::openWindow<OtherWindow>(gtkApp, nullptr);
        ASSERT_EQ(app->windows.size(), 8u);
    }
    void TearDown() override
    {
        if (plain) app->removeWindow(plain);
        WindowTest::TearDown();
    }

    std::vector<Gtk::Window *> listed() const
    {
        std::vector<Gtk::Window *> result;
        for (const auto &entry : app->windows) result.push_back(entry.get());
        return result;
    }

    TestId idX{0x58};
    TestId idY{0x59};
    std::shared_ptr<Gtk::Window> plain;
    std::shared_ptr<TestAppWindow> main;
    std::shared_ptr<TestWindow> w1, w2, w3;
    std::shared_ptr<ModelessDialog> d1, d2;
    std::shared_ptr<OtherWindow> other;
};

TEST_F(LookupTest, FindByClassIdAndParent)
{
    struct Case {
        const char *what;
        std::shared_ptr<Gtk::Window> found;
        std::shared_ptr<Gtk::Window> expected;
    };
    const Case cases[] = {
        {"zero id: the first of the class", app->findWindow<TestWindow>(nullptr, nullptr), w1},
        {"zero id, last: the most recent", app->findWindow<TestWindow>(nullptr, nullptr, true), w3},
        {"two with one id: the earlier", app->findWindow<TestWindow>(idX.bytes, nullptr), w1},
        {"the id wins over the parent", app->findWindow<TestWindow>(idX.bytes, main), w1},
        {"unknown id", app->findWindow<TestWindow>(idY.bytes, nullptr), nullptr},
        {"unknown id, parent of the class", app->findWindow<TestWindow>(idY.bytes, w2), w2},
        {"unknown id, parent of another class", app->findWindow<TestWindow>(idY.bytes, main), nullptr},
        {"a base class counts", app->findWindow<Gtk::Window>(idX.bytes, nullptr), w1},
        {"any dialog", PiApplication::getWindow<Gtk::Dialog>(gtkApp, nullptr), d1},
        {"last dialog transient for main", app->findWindow<Gtk::Dialog>(nullptr, main, true), d2},
        {"first transient for main", app->findWindow<TestWindow>(nullptr, main), w3},
        {"top: last of all", app->findTopWindow(nullptr, nullptr), other},
        {"top: last transient for main", app->findTopWindow(nullptr, main), d2},
        {"top: by id", app->findTopWindow(idX.bytes, main), w1},
        {"top: unknown id gives the parent", app->findTopWindow(idY.bytes, main), main},
        {"dialog parent of main", PiApplication::resolveDialogParent(gtkApp, nullptr, main), d2},
        {"index 2 of the class", app->windowAt<TestWindow>(2), w3},
        {"past the last", app->windowAt<TestWindow>(3), nullptr},
        {"index 1 among dialogs", app->windowAt<Gtk::Dialog>(1), d2},
    };
    for (const Case &c : cases) EXPECT_EQ(c.found.get(), c.expected.get()) << c.what;
}

TEST_F(LookupTest, DialogParentFallsBackToTransientsThenTheParent)
{
    d1->hide();
    d2->hide();
    EXPECT_EQ(PiApplication::resolveDialogParent(gtkApp, nullptr, main), w3);
    w3->hide();
    EXPECT_EQ(PiApplication::resolveDialogParent(gtkApp, nullptr, main), main);
    EXPECT_EQ(PiApplication::resolveDialogParent(gtkApp, nullptr, nullptr), other);
}

TEST_F(LookupTest, WalkVisitsTheClassInOrderUnlessTheSlotIsBlocked)
{
    std::vector<Gtk::Window *> visited;
    sigc::slot<void, std::shared_ptr<TestWindow>> record = [&](std::shared_ptr<TestWindow> window) {
        visited.push_back(window.get());
    };
    app->forEachWindow<TestWindow>(record);
    EXPECT_EQ(visited, (std::vector<Gtk::Window *>{w1.get(), w2.get(), w3.get()}));

    visited.clear();
    record.block();
    app->forEachWindow<TestWindow>(record);
    EXPECT_TRUE(PiApplication::withFirstWindow<TestWindow>(gtkApp, record));
    EXPECT_TRUE(visited.empty());

    record.unblock();
    EXPECT_TRUE(PiApplication::withFirstWindow<TestWindow>(gtkApp, record));
    EXPECT_EQ(visited, (std::vector<Gtk::Window *>{w1.get()}));
    sigc::slot<void, std::shared_ptr<ModelessDialog>> none;
    d1->hide();
    d2->hide();
    EXPECT_FALSE(PiApplication::withFirstWindow<ModelessDialog>(gtkApp, none));
}

TEST_F(LookupTest, HideAllOfAClassAndAllButOne)
{
    // Only factory windows leave the list by hiding.
    app->removeWindow(plain);
    app->hideAllWindows<TestWindow>();
    EXPECT_EQ(listed(), (std::vector<Gtk::Window *>{main.get(), d1.get(), d2.get(), other.get()}));
    EXPECT_FALSE(w1->get_visible() || w2->get_visible() || w3->get_visible());

    app->hideWindowsExcept(d1);
    EXPECT_EQ(listed(), (std::vector<Gtk::Window *>{d1.get()}));
    PiApplication::hideOtherWindows(gtkApp, w1);  // kept window not listed
    EXPECT_TRUE(listed().empty());

    // Nothing listed: the lookups give the parent or nothing, walks do nothing.
    app->hideAllWindows<TestWindow>();
    app->hideWindowsExcept(nullptr);
    EXPECT_EQ(app->findWindow<TestWindow>(nullptr, w2), w2);
    EXPECT_EQ(app->findTopWindow(nullptr, main), main);
    EXPECT_EQ(app->windowAt<Gtk::Window>(0), nullptr);
}

// A listed window that is hidden already emits no hide; hiding all of its
// class still ends.
TEST_F(LookupTest, HideAllEndsWithAListedHiddenWindow)
{
    w2->hide();
    ASSERT_TRUE(app->addWindow(w2));
    app->hideAllWindows<TestWindow>();
    EXPECT_EQ(app->findWindow<TestWindow>(nullptr, nullptr), nullptr);
}

TEST_F(LookupTest, RaiseHideAndCloseById)
{
    EXPECT_TRUE(PiApplication::raiseWindow<TestWindow>(gtkApp, idX.bytes));
    EXPECT_FALSE(PiApplication::raiseWindow<TestWindow>(gtkApp, idY.bytes));

    EXPECT_TRUE(PiApplication::hideWindow<TestWindow>(gtkApp, idX.bytes));
    EXPECT_FALSE(w1->get_visible());
    EXPECT_EQ(app->findWindow<TestWindow>(idX.bytes, nullptr), w2);

    // Closing goes through the toolkit's close request, on the main loop.
    EXPECT_TRUE(PiApplication::dismissWindow<TestWindow>(gtkApp, idX.bytes));
    EXPECT_TRUE(app->closeWindow<OtherWindow>(nullptr));
    EXPECT_TRUE(pi_test_iterate_until([&] { return !w2->get_visible() && !other->get_visible(); }));
    EXPECT_FALSE(app->closeWindow<OtherWindow>(nullptr));
    EXPECT_FALSE(PiApplication::dismissWindow<TestWindow>(gtkApp, idX.bytes));
    EXPECT_EQ(listed(),
              (std::vector<Gtk::Window *>{plain.get(), main.get(), w3.get(), d1.get(), d2.get()}));
}

// An application that is not a PiApplication: nothing is found or done.
TEST_F(LookupTest, ForeignApplicationDoesNothing)
{
    Glib::RefPtr<Gtk::Application> foreign = Gtk::Application::create();
    EXPECT_FALSE(PiApplication::raiseWindow<TestWindow>(foreign, idX.bytes));
    EXPECT_FALSE(PiApplication::hideWindow<TestWindow>(foreign, idX.bytes));
    EXPECT_FALSE(PiApplication::dismissWindow<TestWindow>(foreign, idX.bytes));
    EXPECT_EQ(PiApplication::getWindow<TestWindow>(foreign, nullptr), nullptr);
    EXPECT_FALSE(PiApplication::withFirstWindow<TestWindow>(foreign, {}));
    EXPECT_EQ(PiApplication::resolveDialogParent(foreign, nullptr, main), nullptr);
    PiApplication::hideOtherWindows(foreign, nullptr);
    EXPECT_FALSE(PiApplication::raiseWindow<TestWindow>(Glib::RefPtr<Gtk::Application>(), idX.bytes));
    EXPECT_EQ(app->windows.size(), 8u);
    EXPECT_TRUE(w1->get_visible());
}

}  // namespace
