#include <gtest/gtest.h>

#include <glibmm/main.h>

#include <memory>
#include <vector>

#include "gtk_env.h"
#include "toolkit/application.h"
#include "window_fixtures.h"

namespace {

class ApplicationTest : public PiWindowTest {
protected:

    std::vector<Gtk::Window *> listed() const
    {
        std::vector<Gtk::Window *> result;
        for (const auto &entry : app->windows) result.push_back(entry.get());
        return result;
    }
};

// Listed from show to hide, in the order of the last show; the toolkit
// application counts a window exactly while it is listed.
TEST_F(ApplicationTest, ShowHideShowKeepsOneEntryAtTheEnd)
{
    std::shared_ptr<TestWindow> a = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    std::shared_ptr<TestWindow> b = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(listed(), (std::vector<Gtk::Window *>{a.get(), b.get()}));

    a->hide();
    EXPECT_EQ(listed(), (std::vector<Gtk::Window *>{b.get()}));
    EXPECT_FALSE(pi_test_attached(app, a.get()));
    EXPECT_FALSE(a->get_application());

    a->show();
    EXPECT_EQ(listed(), (std::vector<Gtk::Window *>{b.get(), a.get()}));
    EXPECT_TRUE(pi_test_attached(app, a.get()));
    EXPECT_EQ(a->get_application(), gtkApp);

    a->hide();
    b->hide();
    EXPECT_TRUE(app->windows.empty());
}

TEST_F(ApplicationTest, AddAndRemoveAnswerWhetherTheListChanged)
{
    std::shared_ptr<TestWindow> window = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    window->unset_application();

    EXPECT_FALSE(app->removeWindow(window));  // never listed
    EXPECT_FALSE(pi_test_attached(app, window.get()));

    EXPECT_TRUE(app->addWindow(window));
    EXPECT_TRUE(pi_test_attached(app, window.get()));
    // A second show signal appends nothing but keeps it attached.
    window->unset_application();
    EXPECT_FALSE(app->addWindow(window));
    EXPECT_TRUE(pi_test_attached(app, window.get()));
    EXPECT_EQ(app->windows.size(), 1u);

    EXPECT_TRUE(app->removeWindow(window));
    EXPECT_FALSE(pi_test_attached(app, window.get()));
    EXPECT_FALSE(app->removeWindow(window));
    EXPECT_TRUE(app->windows.empty());
}

// The hookup holds windows weakly: a window opened and dropped lives
// exactly as long as it is shown.
TEST_F(ApplicationTest, ListIsTheOnlyOwnerOfADroppedWindow)
{
    std::weak_ptr<TestWindow> weak = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_FALSE(weak.expired());
    EXPECT_EQ(app->windows.size(), 1u);
    weak.lock()->hide();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(app->windows.empty());
}

// The application object can go while windows are listed only when nothing
// attaches them to it any more; listed windows without another owner are
// deleted with it, and the others survive.
TEST_F(ApplicationTest, DestroyingTheApplicationDeletesListedWindows)
{
    // A registered application is released by the toolkit only after its
    // run has shut it down.
    Glib::RefPtr<PiApplication> running(new PiApplication("", Gio::APPLICATION_NON_UNIQUE));
    std::weak_ptr<TestWindow> listedOnly;
    std::shared_ptr<TestWindow> kept;
    running->signal_activate().connect([&] {
        Glib::RefPtr<Gtk::Application> self = pi_test_gtk_application(running);
        std::shared_ptr<TestWindow> window = PiApplication::openWindow<TestWindow>(self, nullptr);
        kept = PiApplication::openWindow<TestWindow>(self, nullptr);
        ASSERT_TRUE(window && kept);
        listedOnly = window;
        window->unset_application();
        kept->unset_application();
    });
    char name[] = "application_test";
    char *argv[] = {name, nullptr};
    running->run(1, argv);
    ASSERT_EQ(running->windows.size(), 2u);
    EXPECT_FALSE(listedOnly.expired());

    running.reset();  // the last reference: the application object goes
    EXPECT_TRUE(listedOnly.expired());
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->get_visible());
    kept->hide();
}

// The toolkit application's run ends when its last window is hidden.
TEST_F(ApplicationTest, RunEndsWhenTheLastWindowIsHidden)
{
    Glib::RefPtr<PiApplication> running(new PiApplication("", Gio::APPLICATION_NON_UNIQUE));
    bool guardFired = false;
    std::weak_ptr<TestWindow> opened;
    running->signal_activate().connect([&] {
        Glib::RefPtr<Gtk::Application> self = pi_test_gtk_application(running);
        opened = PiApplication::openWindow<TestWindow>(self, nullptr);
        Glib::signal_idle().connect_once([&] {
            if (std::shared_ptr<TestWindow> window = opened.lock()) window->hide();
        });
    });
    // Only a broken hookup lets the run go on; this keeps it from hanging.
    sigc::connection guard = Glib::signal_timeout().connect_seconds(
        [&] {
            guardFired = true;
            running->quit();
            return false;
        },
        30);
    char name[] = "application_test";
    char *argv[] = {name, nullptr};
    running->run(1, argv);
    guard.disconnect();
    EXPECT_FALSE(guardFired);
    EXPECT_TRUE(opened.expired());
    EXPECT_TRUE(running->windows.empty());
}

}  // namespace
