// The application shell on a display: size levels from the monitor, the
// message boxes, the option table of the application object, and the
// single-instance guard of the built program.
#include <gtest/gtest.h>

#include <gdk/gdk.h>
#include <gtk/gtk.h>
#include <glibmm/main.h>
#include <gtkmm/builder.h>
// Xlib after gtkmm: its macros clash with gtkmm names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/info.h"
#include "app/message_box.h"
#include "gui/app/xvfb_support.h"
#include "gui/toolkit/gtk_env.h"

#ifndef VELTRANA_BINARY
#error "VELTRANA_BINARY names the built program"
#endif

namespace {

class ShellDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        // No session bus for the toolkit to find or start.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

// ---- size levels from the monitor -----------------------------------------------------------

TEST_F(ShellDisplay, ScalerTakesThePrimaryMonitorAndFlattensPortrait)
{
    const struct {
        const char *screen;
        AppSize expected;
    } cases[] = {
        {"1920x1080x24", {1920, 1080}},
        // Portrait: the width kept, the height of an 800 x 480 landscape.
        {"1080x1920x24", {1080, 648}},
    };
    GdkDisplayManager *manager = gdk_display_manager_get();
    GdkDisplay *shared = gdk_display_get_default();
    for (const auto &c : cases) {
        apptest::Xvfb server(c.screen);
        ASSERT_FALSE(server.name.empty()) << "Xvfb " << c.screen << " did not start";
        GdkDisplay *display = gdk_display_open(server.name.c_str());
        ASSERT_NE(display, nullptr);
        gdk_display_manager_set_default_display(manager, display);
        VeltranaAppScaler scaler;
        scaler.update(false, {});
        gdk_display_manager_set_default_display(manager, shared);
        gdk_display_close(display);
        EXPECT_EQ(scaler.screen, c.expected) << c.screen;
        EXPECT_EQ(scaler.levels.back(), c.expected) << c.screen;
    }
    VeltranaAppScaler scaler;
    scaler.update(false, {});
    EXPECT_EQ(scaler.screen, (AppSize{1024, 768}));
}

// ---- the option table ----------------------------------------------------------------------------

TEST_F(ShellDisplay, OptionsLandInTheirFields)
{
    struct Case {
        const char *purpose;
        std::vector<std::string> arguments;
        int result;
        std::vector<std::string> left;
        bool VeltranaApp::*flag;
    };
    const Case cases[] = {
        {"no option", {"veltrana"}, 0, {"veltrana"}, nullptr},
        {"opengl", {"veltrana", "--opengl"}, 0, {"veltrana"}, &VeltranaApp::openglEnabled},
        {"xv", {"veltrana", "--xv"}, 0, {"veltrana"}, &VeltranaApp::xvEnabled},
        {"vaapi-proc", {"veltrana", "--vaapi-proc"}, 0, {"veltrana"}, &VeltranaApp::vaapiProc},
        {"vaapi-h264enc", {"veltrana", "--vaapi-h264enc"}, 0, {"veltrana"}, &VeltranaApp::vaapiH264Enc},
        {"vaapi-h265enc", {"veltrana", "--vaapi-h265enc"}, 0, {"veltrana"}, &VeltranaApp::vaapiH265Enc},
        {"vaapi-vp8enc", {"veltrana", "--vaapi-vp8enc"}, 0, {"veltrana"}, &VeltranaApp::vaapiVp8Enc},
        {"vaapi-vp9enc", {"veltrana", "--vaapi-vp9enc"}, 0, {"veltrana"}, &VeltranaApp::vaapiVp9Enc},
        {"vaapi-av1enc", {"veltrana", "--vaapi-av1enc"}, 0, {"veltrana"}, &VeltranaApp::vaapiAv1Enc},
        {"vaapi-h264dec", {"veltrana", "--vaapi-h264dec"}, 0, {"veltrana"}, &VeltranaApp::vaapiH264Dec},
        {"vaapi-h265dec", {"veltrana", "--vaapi-h265dec"}, 0, {"veltrana"}, &VeltranaApp::vaapiH265Dec},
        {"vaapi-vp8dec", {"veltrana", "--vaapi-vp8dec"}, 0, {"veltrana"}, &VeltranaApp::vaapiVp8Dec},
        {"vaapi-vp9dec", {"veltrana", "--vaapi-vp9dec"}, 0, {"veltrana"}, &VeltranaApp::vaapiVp9Dec},
        {"vaapi-av1dec", {"veltrana", "--vaapi-av1dec"}, 0, {"veltrana"}, &VeltranaApp::vaapiAv1Dec},
        {"the toast relaunch", {"veltrana", "--toast_activated"}, 0, {"veltrana"}, &VeltranaApp::toastActivated},
        {"unknown options stay behind and change nothing", {"veltrana", "--fullscreen", "-z", "file"}, 0,
         {"veltrana", "--fullscreen", "-z", "file"}, nullptr},
        {"a text option without its value", {"veltrana", "--theme"}, -1, {"veltrana", "--theme"}, nullptr},
        {"help is answered, not acted on", {"veltrana", "--vaapi-proc", "--help"}, 1,
         {"veltrana", "--vaapi-proc", "--help"}, nullptr},
    };
    bool VeltranaApp::*const flags[] = {
        &VeltranaApp::openglEnabled, &VeltranaApp::xvEnabled,    &VeltranaApp::vaapiProc,
        &VeltranaApp::vaapiH264Enc,  &VeltranaApp::vaapiH265Enc, &VeltranaApp::vaapiVp8Enc,
        &VeltranaApp::vaapiVp9Enc,   &VeltranaApp::vaapiAv1Enc,  &VeltranaApp::vaapiH264Dec,
        &VeltranaApp::vaapiH265Dec,  &VeltranaApp::vaapiVp8Dec,  &VeltranaApp::vaapiVp9Dec,
        &VeltranaApp::vaapiAv1Dec,   &VeltranaApp::toastActivated};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        std::shared_ptr<VeltranaApp> app = VeltranaApp::create(PK_TOAST_OPTION_NAME);
        std::vector<std::string> arguments = c.arguments;
        std::string message;
        EXPECT_EQ(app->parseOptions(arguments, message), c.result);
        if (c.result == 0) {
            EXPECT_EQ(arguments, c.left);
        }
        for (bool VeltranaApp::*flag : flags) EXPECT_EQ((*app).*flag, flag == c.flag);
        EXPECT_EQ(app->themeName, "auto");
        EXPECT_EQ(app->dialogText, "");
        if (c.result == 1) {
            EXPECT_NE(message.find("--vaapi-av1dec"), std::string::npos) << message;
        }
        if (c.result == -1) {
            EXPECT_NE(message.find("theme"), std::string::npos) << message;
        }
    }
}

TEST_F(ShellDisplay, TextOptionsAndTheToastOptionName)
{
    std::shared_ptr<VeltranaApp> app = VeltranaApp::create(PK_TOAST_OPTION_NAME);
    std::vector<std::string> arguments = {"veltrana", "--theme", "dark", "--dialog=Hello <b>there</b>", "--xv"};
    std::string message;
    ASSERT_EQ(app->parseOptions(arguments, message), 0);
    EXPECT_EQ(app->themeName, "dark");
    EXPECT_EQ(app->dialogText, "Hello <b>there</b>");
    EXPECT_TRUE(app->xvEnabled);
    EXPECT_EQ(app->toastOptionName, "toast_activated");

    // The toast option is whatever name the application was made with.
    std::shared_ptr<VeltranaApp> other = VeltranaApp::create("relaunched");
    arguments = {"veltrana", "--relaunched", "--toast_activated"};
    ASSERT_EQ(other->parseOptions(arguments, message), 0);
    EXPECT_TRUE(other->toastActivated);
    EXPECT_EQ(arguments, (std::vector<std::string>{"veltrana", "--toast_activated"}));
}

// ---- message boxes ---------------------------------------------------------------------------------

// A box with the message dialog's fields, built by the factory.
class TestBox : public VeltranaDialog, public std::enable_shared_from_this<TestBox> {
public:
    TestBox(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaDialog(cobject) {}
    int run() override
    {
        set_title(title);
        seenKind = kind;
        const int response = VeltranaDialog::run();
        if (response == GTK_RESPONSE_OK) declined = 0;
        if (response == GTK_RESPONSE_CANCEL) declined = 1;
        return response;
    }

    int kind = -1;
    Glib::ustring title, text, positiveLabel, negativeLabel;
    int declined = 1;
    int seenKind = -1;
};

const char kTestBoxUi[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkDialog" id="test_box">
    <property name="modal">True</property>
    <child internal-child="vbox"><object class="GtkBox"/></child>
  </object>
</interface>)ui";

}  // namespace

PI_UI_DEFINITION(TestBox, "test_box", kTestBoxUi)

namespace {

class ShellMessageBoxes : public ShellDisplay {
protected:
    void SetUp() override
    {
        ShellDisplay::SetUp();
        if (IsSkipped()) return;
        application = VeltranaApp::create("toast_activated");
        ASSERT_TRUE(application->register_application());
        ref = Glib::RefPtr<Gtk::Application>(application.get());
        application->reference();
    }
    void TearDown() override { ref.reset(); }

    // Answers the box that is shown next, from the main loop.
    void answerWith(int response)
    {
        Glib::signal_timeout().connect_once(
            [this, response] {
                auto box = application->findWindow<TestBox>(nullptr, nullptr);
                shownWhileRunning = box != nullptr && box->get_visible();
                if (box) {
                    titleShown = box->get_title();
                    box->response(response);
                }
                answered = true;
            },
            50);
    }

    std::shared_ptr<VeltranaApp> application;
    Glib::RefPtr<Gtk::Application> ref;
    bool answered = false;
    bool shownWhileRunning = false;
    Glib::ustring titleShown;
};

TEST_F(ShellMessageBoxes, ShowMessageReturnsAfterTheUserClosedTheBox)
{
    answerWith(GTK_RESPONSE_OK);
    std::shared_ptr<TestBox> box = showMessage<TestBox>(ref, nullptr, "Information", "Text <b>bold</b>");
    ASSERT_TRUE(box);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(shownWhileRunning);
    EXPECT_EQ(titleShown, "Information");
    EXPECT_EQ(box->seenKind, 0);
    EXPECT_EQ(box->text, "Text <b>bold</b>");
    EXPECT_EQ(box->positiveLabel, "Ok");
    EXPECT_EQ(box->negativeLabel, "");
    EXPECT_EQ(box->declined, 0);
    EXPECT_TRUE(application->windows.empty()) << "listed only while shown";
    EXPECT_TRUE(pi_window_id_is_zero(box->id));
}

TEST_F(ShellMessageBoxes, QuestionCarriesKindLabelsAndId)
{
    uint8_t id[PI_WINDOW_ID_SIZE];
    for (size_t i = 0; i < sizeof(id); ++i) id[i] = static_cast<uint8_t>(i + 1);
    answerWith(GTK_RESPONSE_CANCEL);
    std::shared_ptr<TestBox> box = showMessageDialog<TestBox>(ref, nullptr, 1, "Question", "Stop?", "Yes", "No", id);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->seenKind, 1);
    EXPECT_EQ(box->positiveLabel, "Yes");
    EXPECT_EQ(box->negativeLabel, "No");
    EXPECT_EQ(box->declined, 1);
    EXPECT_EQ(memcmp(box->id, id, sizeof(id)), 0);
}

TEST_F(ShellMessageBoxes, AnotherApplicationGetsNoBox)
{
    Glib::RefPtr<Gtk::Application> plain = Gtk::Application::create("net.veltrana.plain", Gio::APPLICATION_NON_UNIQUE);
    EXPECT_FALSE(showMessage<TestBox>(plain, nullptr, "Information", "text"));
    EXPECT_FALSE(showMessage<TestBox>(Glib::RefPtr<Gtk::Application>(), nullptr, "Information", "text"));
}

// ---- the single-instance guard ------------------------------------------------------------------

// The program under a scratch HOME, with a leak report that names only
// our own leaks.
class ShellProgram : public ShellDisplay {
protected:
    void SetUp() override
    {
        ShellDisplay::SetUp();
        if (IsSkipped()) return;
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-instance-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        std::filesystem::create_directories(root / "run");
        chmod((root / "run").c_str(), 0700);
        std::ofstream(root / "lsan.supp") << "leak:_dl_init\nleak:libpulse.so\nleak:libgstvulkan\n"
                                             "leak:libgstximagesrc.so\nleak:libfontconfig.so\n";
        display = XOpenDisplay(getenv("DISPLAY"));
        ASSERT_NE(display, nullptr);
    }
    void TearDown() override
    {
        for (pid_t pid : started)
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        if (display != nullptr) XCloseDisplay(display);
        std::error_code ignored;
        if (!root.empty()) std::filesystem::remove_all(root, ignored);
    }

    pid_t start(const std::vector<std::string> &arguments)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setenv("HOME", root.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
            setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
            setenv("ASAN_OPTIONS", "detect_leaks=1:exitcode=23:fast_unwind_on_malloc=0", 1);
            setenv("LSAN_OPTIONS", ("print_suppressions=0:suppressions=" + (root / "lsan.supp").string()).c_str(), 1);
            const int output = open((root / "output.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (output >= 0) {
                dup2(output, STDOUT_FILENO);
                dup2(output, STDERR_FILENO);
            }
            std::vector<char *> argv;
            for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(VELTRANA_BINARY, argv.data());
            _exit(127);
        }
        started.push_back(pid);
        return pid;
    }

    // A top-level window of the display with that title; 0 while none.
    Window windowTitled(const std::string &title)
    {
        Window root_window, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (!XQueryTree(display, DefaultRootWindow(display), &root_window, &parent, &children, &count)) return 0;
        for (unsigned i = 0; i < count && found == 0; ++i) {
            char *name = nullptr;
            if (XFetchName(display, children[i], &name) && name != nullptr) {
                XWindowAttributes attributes;
                if (title == name && XGetWindowAttributes(display, children[i], &attributes) &&
                    attributes.map_state == IsViewable)
                    found = children[i];
                XFree(name);
            }
        }
        if (children != nullptr) XFree(children);
        return found;
    }

    Window waitForWindow(const std::string &title)
    {
        for (int i = 0; i < 6000; ++i) {
            if (Window w = windowTitled(title)) return w;
            usleep(10000);
        }
        return 0;
    }

    void closeWindow(Window window)
    {
        XEvent event = {};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        XFlush(display);
    }

    // The exit status, or -1 when the process did not end within a minute.
    int waitForExit(pid_t pid)
    {
        for (int i = 0; i < 6000; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            usleep(10000);
        }
        return -1;
    }

    std::filesystem::path root;
    Display *display = nullptr;
    std::vector<pid_t> started;
};

TEST_F(ShellProgram, SecondInstanceIsToldAndLeavesTheFirstAlone)
{
    // The first instance stays up while it shows its "dialog" text.
    const pid_t first = start({VELTRANA_BINARY, "--dialog", "first instance"});
    const Window firstBox = waitForWindow("veltrana");
    ASSERT_NE(firstBox, 0u) << "the first instance shows no box";
    EXPECT_TRUE(std::filesystem::exists(root / "run" / "veltrana.lock"));

    const pid_t second = start({VELTRANA_BINARY});
    const Window secondBox = waitForWindow("Information");
    ASSERT_NE(secondBox, 0u) << "the second instance shows no \"Information\" box";
    closeWindow(secondBox);
    EXPECT_EQ(waitForExit(second), 0);

    int status = 0;
    EXPECT_EQ(waitpid(first, &status, WNOHANG), 0) << "the first instance ended too";
    EXPECT_NE(windowTitled("veltrana"), 0u);
    // The "dialog" path prepares no data folder and publishes nothing.
    EXPECT_FALSE(std::filesystem::exists(root / "config" / "veltrana"));

    closeWindow(firstBox);
    EXPECT_EQ(waitForExit(first), 0);

    // The lock goes with the process: the next start is a first one again.
    const pid_t third = start({VELTRANA_BINARY, "--dialog", "again"});
    const Window thirdBox = waitForWindow("veltrana");
    ASSERT_NE(thirdBox, 0u);
    EXPECT_EQ(windowTitled("Information"), 0u);
    closeWindow(thirdBox);
    EXPECT_EQ(waitForExit(third), 0);
}

TEST_F(ShellProgram, HelpAndBadOptionsEndTheRunInOrder)
{
    EXPECT_EQ(waitForExit(start({VELTRANA_BINARY, "--help"})), 0);
    EXPECT_EQ(waitForExit(start({VELTRANA_BINARY, "--dialog"})), 1);
}

}  // namespace
