#include <gtest/gtest.h>

#include <gtkmm/textview.h>

#include <cstring>
#include <memory>
#include <string>

#include "gtk_env.h"
#include "toolkit/factory.h"
#include "window_fixtures.h"

namespace {

class FactoryTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        FailingWindow::failing = true;
    }
    void TearDown() override
    {
        if (app) app->hideWindowsExcept(nullptr);
    }

    size_t attachedCount() const { return app->get_windows().size(); }
};

TEST_F(FactoryTest, DefinitionsByClass)
{
    EXPECT_EQ(PiApplication::uiId<TestDialog>(), "test_dialog");
    EXPECT_EQ(PiApplication::uiXml<TestDialog>(), std::string(test_dialog_ui));
    EXPECT_EQ(PiApplication::uiId<ARMWindow>(), "arm_window");
    EXPECT_EQ(PiApplication::uiId<UndefinedWindow>(), "");
    EXPECT_EQ(PiApplication::uiXml<UndefinedWindow>(), "");
}

// The one definition the toolkit carries itself builds as described.
TEST_F(FactoryTest, ArmWindowDefinitionBuilds)
{
    std::shared_ptr<ARMWindow> window = PiApplication::createWindow<ARMWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->get_resizable());
    int width = 0, height = 0;
    window->get_default_size(width, height);
    EXPECT_EQ(width, 400);
    EXPECT_EQ(height, 200);
    Glib::RefPtr<Gtk::Builder> builder = Gtk::Builder::create_from_string(PiApplication::uiXml<ARMWindow>());
    EXPECT_TRUE(builder->get_object("arm_text_view"));
    EXPECT_TRUE(builder->get_object("ok_button"));
}

// Built: attached, not shown, not listed, zero id, no parent.
TEST_F(FactoryTest, CreateBuildsWithoutStarting)
{
    const size_t before = attachedCount();
    std::shared_ptr<TestWindow> window = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    ASSERT_NE(window->button, nullptr);  // the constructor had the builder
    EXPECT_FALSE(window->get_visible());
    EXPECT_TRUE(app->windows.empty());
    EXPECT_EQ(attachedCount(), before + 1);
    EXPECT_TRUE(pi_window_id_is_zero(window->id));
    EXPECT_EQ(window->get_transient_for(), nullptr);
    EXPECT_FALSE(window->parent);

    const TestId id(0xA5);
    std::shared_ptr<TestWindow> withId = PiApplication::createWindow<TestWindow>(gtkApp, nullptr, id.bytes);
    ASSERT_TRUE(withId);
    EXPECT_EQ(memcmp(withId->id, id.bytes, PI_WINDOW_ID_SIZE), 0);
}

TEST_F(FactoryTest, ParentIsTransientAndKeptAlive)
{
    std::shared_ptr<TestAppWindow> parent = PiApplication::openWindow<TestAppWindow>(gtkApp, nullptr);
    ASSERT_TRUE(parent);
    std::shared_ptr<TestWindow> child = PiApplication::openWindow<TestWindow>(gtkApp, parent);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->get_transient_for(), parent.get());
    std::weak_ptr<TestAppWindow> weakParent = parent;
    parent->hide();
    parent.reset();
    EXPECT_FALSE(weakParent.expired());
    child.reset();  // still listed: the parent lives on
    EXPECT_FALSE(weakParent.expired());
    app->hideWindowsExcept(nullptr);
    EXPECT_TRUE(weakParent.expired());
}

// A dropped window lives while shown; a kept one survives hiding and is
// listed again when shown.
TEST_F(FactoryTest, OwnershipFollowsShowingUnlessKept)
{
    std::weak_ptr<TestWindow> dropped = PiApplication::open<TestWindow>(gtkApp, nullptr);
    ASSERT_FALSE(dropped.expired());
    EXPECT_TRUE(dropped.lock()->get_visible());
    EXPECT_EQ(app->windows.size(), 1u);
    dropped.lock()->close();
    EXPECT_TRUE(pi_test_iterate_until([&] { return dropped.expired(); }));
    EXPECT_TRUE(app->windows.empty());

    std::shared_ptr<TestWindow> kept = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(kept);
    kept->hide();
    EXPECT_TRUE(app->windows.empty());
    EXPECT_FALSE(kept->get_application());
    kept->show();
    ASSERT_EQ(app->windows.size(), 1u);
    EXPECT_EQ(app->windows[0], kept);
    EXPECT_EQ(kept->get_application(), gtkApp);
}

// Definitions that build nothing leave nothing attached or listed behind.
TEST_F(FactoryTest, BadDefinitionsBuildNothing)
{
    const size_t before = attachedCount();
    EXPECT_FALSE(PiApplication::createWindow<BrokenWindow>(gtkApp, nullptr));    // does not parse
    EXPECT_FALSE(PiApplication::openWindow<MissingWindow>(gtkApp, nullptr));     // no such object
    EXPECT_FALSE(PiApplication::openWindow<NotAWindow>(gtkApp, nullptr));        // not a window
    EXPECT_FALSE(PiApplication::openWindow<UndefinedWindow>(gtkApp, nullptr));   // no definition
    const TestId id(1);
    EXPECT_FALSE(PiApplication::openDialog<BrokenWindow>(gtkApp, nullptr, id.bytes));
    EXPECT_EQ(attachedCount(), before);
    EXPECT_TRUE(app->windows.empty());

    // A dialog definition under a window class is a window: it builds. A
    // window definition under a dialog class does not.
    EXPECT_TRUE(app->buildWindow<OtherWindow>(test_dialog_ui, "test_dialog", nullptr));
    EXPECT_FALSE(app->buildWindow<TestDialog>(test_window_ui, "test_window", nullptr));
}

TEST_F(FactoryTest, EmptyOrForeignApplicationBuildsNothing)
{
    Glib::RefPtr<Gtk::Application> foreign = Gtk::Application::create();
    const TestId id(2);
    for (const Glib::RefPtr<Gtk::Application> &application : {Glib::RefPtr<Gtk::Application>(), foreign}) {
        EXPECT_FALSE(PiApplication::createWindow<TestWindow>(application, nullptr));
        EXPECT_FALSE(PiApplication::createWindow<TestWindow>(application, nullptr, id.bytes));
        EXPECT_FALSE(PiApplication::openWindow<TestWindow>(application, nullptr));
        EXPECT_FALSE(PiApplication::open<TestWindow>(application, nullptr));
        EXPECT_FALSE(PiApplication::openDialog<TestDialog>(application, nullptr, id.bytes));
    }
    std::shared_ptr<TestWindow> window = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
    std::shared_ptr<TestDialog> dialog = PiApplication::createWindow<TestDialog>(gtkApp, nullptr);
    ASSERT_TRUE(window && dialog);
    EXPECT_EQ(PiApplication::showWindow<TestWindow>(foreign, window), -1);
    EXPECT_EQ(PiApplication::runDialog<TestDialog>(foreign, dialog), -1);
    EXPECT_EQ(PiApplication::showWindow<TestWindow>(gtkApp, nullptr), -1);
    EXPECT_EQ(PiApplication::runDialog<TestDialog>(gtkApp, nullptr), -1);
    EXPECT_FALSE(window->get_visible());
}

TEST_F(FactoryTest, RegisterRefusesAnotherBase)
{
    std::shared_ptr<TestWindow> window = PiApplication::createWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    EXPECT_EQ(app->registerWindow<PiGtkWindow<Gtk::Dialog>>(window), -1);
    EXPECT_FALSE(window->get_visible());
    window->show();  // nothing was hooked up
    EXPECT_TRUE(app->windows.empty());
    window->hide();
}

// A window that fails to start is closed and deleted; a window of the same
// class shown before stays.
TEST_F(FactoryTest, FailedStartClosesThatWindowOnly)
{
    FailingWindow::failing = false;
    std::shared_ptr<FailingWindow> first = PiApplication::openWindow<FailingWindow>(gtkApp, nullptr);
    ASSERT_TRUE(first);
    FailingWindow::failing = true;

    std::weak_ptr<FailingWindow> failed;
    {
        std::shared_ptr<FailingWindow> second = PiApplication::createWindow<FailingWindow>(gtkApp, nullptr);
        ASSERT_TRUE(second);
        failed = second;
        EXPECT_EQ(PiApplication::showWindow<FailingWindow>(gtkApp, second), -1);
    }
    EXPECT_FALSE(PiApplication::openWindow<FailingWindow>(gtkApp, nullptr));
    EXPECT_TRUE(pi_test_iterate_until([&] { return failed.expired() && app->windows.size() == 1; }));
    EXPECT_EQ(app->windows[0], first);
    EXPECT_TRUE(first->get_visible());
}

// A dialog's run: listed while it runs, answered, then hidden, unlisted and
// still readable through the caller's reference.
TEST_F(FactoryTest, DialogsRunModallyAndAnswer)
{
    std::shared_ptr<TestAppWindow> main = PiApplication::openWindow<TestAppWindow>(gtkApp, nullptr);
    ASSERT_TRUE(main);
    const TestId id(0x42);
    std::shared_ptr<TestDialog> dialog = PiApplication::createWindow<TestDialog>(gtkApp, main, id.bytes);
    ASSERT_TRUE(dialog);
    dialog->signal_show().connect([&] {
        Glib::signal_idle().connect_once([&] {
            // Seen from the main loop the modal run turns.
            dialog->answered = app->findWindow<TestDialog>(id.bytes, nullptr) == dialog ? 1 : -1;
            dialog->response(Gtk::RESPONSE_OK);
        });
    });
    EXPECT_EQ(PiApplication::runDialog<TestDialog>(gtkApp, dialog), Gtk::RESPONSE_OK);
    EXPECT_EQ(dialog->answered, 1);
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_EQ(app->windows.size(), 1u);

    // openDialog: built for the parent with the id, run, returned after it.
    std::weak_ptr<TestDialog> weak;
    {
        std::shared_ptr<TestDialog> opened;
        sigc::connection answer = Glib::signal_idle().connect([&] {
            std::shared_ptr<TestDialog> running = app->findWindow<TestDialog>(id.bytes, nullptr);
            if (!running) return true;
            running->response(Gtk::RESPONSE_CANCEL);
            return false;
        });
        opened = PiApplication::openDialog<TestDialog>(gtkApp, main, id.bytes);
        answer.disconnect();
        ASSERT_TRUE(opened);
        EXPECT_EQ(memcmp(opened->id, id.bytes, PI_WINDOW_ID_SIZE), 0);
        EXPECT_EQ(opened->get_transient_for(), main.get());
        EXPECT_FALSE(opened->get_visible());
        weak = opened;
    }
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(app->windows.size(), 1u);
}

}  // namespace
