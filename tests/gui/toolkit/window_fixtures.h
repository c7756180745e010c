// Window classes of the toolkit suites, built by the real window factory
// from small Builder definitions, a registered application to hold them, and
// PiWindowTest, the fixture of the window suites. All of it runs on the
// test's main thread, the one that iterates the default main context.
#pragma once

#include <gtest/gtest.h>
#include <gdkmm/pixbuf.h>
#include <glibmm/main.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/dialog.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gtk_env.h"
#include "toolkit/application.h"

// A window that is a plain GtkWindow with one button.
class TestWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<TestWindow> {
public:
    TestWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder) : VeltranaWindow<Gtk::Window>(cobject)
    {
        builder->get_widget("test_button", button);
    }
    Gtk::Button *button = nullptr;
};

// Another class over the same kind of definition.
class OtherWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<OtherWindow> {
public:
    OtherWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}
};

// Shows itself, then reports that it could not start.
class FailingWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<FailingWindow> {
public:
    FailingWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}
    int run() override
    {
        show_all();
        return failing ? -1 : 0;
    }
    static inline bool failing = true;
};

class TestAppWindow : public VeltranaWindow<Gtk::ApplicationWindow>,
                      public std::enable_shared_from_this<TestAppWindow> {
public:
    TestAppWindow(GtkApplicationWindow *cobject, const Glib::RefPtr<Gtk::Builder> &)
        : VeltranaWindow<Gtk::ApplicationWindow>(cobject)
    {
    }
};

// A modal dialog with an OK and a Cancel button.
class TestDialog : public VeltranaDialog, public std::enable_shared_from_this<TestDialog> {
public:
    TestDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaDialog(cobject) {}
    int answered = 0;  // set by the test while the dialog runs
};

// A dialog started without a modal run, for the lookups.
class ModelessDialog : public VeltranaDialog, public std::enable_shared_from_this<ModelessDialog> {
public:
    ModelessDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaDialog(cobject) {}
    int run() override
    {
        show_all();
        return 0;
    }
};

// Definitions that build nothing.
class BrokenWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<BrokenWindow> {
public:
    BrokenWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}
};
class MissingWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<MissingWindow> {
public:
    MissingWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}
};
class NotAWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<NotAWindow> {
public:
    NotAWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}
};
// No definition at all.
class UndefinedWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<UndefinedWindow> {
public:
    UndefinedWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject)
    {
    }
};

inline const char test_window_ui[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkWindow" id="test_window">
    <property name="default_width">400</property>
    <property name="default_height">300</property>
    <child>
      <object class="GtkButton" id="test_button">
        <property name="label">Test</property>
        <property name="visible">True</property>
      </object>
    </child>
  </object>
</interface>
)ui";

inline const char test_app_window_ui[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkApplicationWindow" id="test_app_window">
    <property name="default_width">200</property>
    <property name="default_height">100</property>
  </object>
</interface>
)ui";

inline const char test_dialog_ui[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkDialog" id="test_dialog">
    <property name="default_width">300</property>
    <property name="default_height">120</property>
    <property name="type_hint">dialog</property>
    <child internal-child="vbox">
      <object class="GtkBox">
        <property name="orientation">vertical</property>
        <child internal-child="action_area">
          <object class="GtkButtonBox">
            <child>
              <object class="GtkButton" id="cancel_button">
                <property name="label">Cancel</property>
                <property name="visible">True</property>
              </object>
            </child>
            <child>
              <object class="GtkButton" id="ok_button">
                <property name="label">OK</property>
                <property name="visible">True</property>
              </object>
            </child>
          </object>
        </child>
      </object>
    </child>
    <action-widgets>
      <action-widget response="-6">cancel_button</action-widget>
      <action-widget response="-5">ok_button</action-widget>
    </action-widgets>
  </object>
</interface>
)ui";

// The object's element is never closed.
inline const char broken_window_ui[] = "<interface><object class=\"GtkWindow\" id=\"broken_window\"></interface>";

inline const char not_a_window_ui[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <object class="GtkBox" id="not_a_window"/>
</interface>
)ui";

PI_UI_DEFINITION(TestWindow, "test_window", test_window_ui)
PI_UI_DEFINITION(OtherWindow, "test_window", test_window_ui)
PI_UI_DEFINITION(FailingWindow, "test_window", test_window_ui)
PI_UI_DEFINITION(TestAppWindow, "test_app_window", test_app_window_ui)
PI_UI_DEFINITION(TestDialog, "test_dialog", test_dialog_ui)
PI_UI_DEFINITION(ModelessDialog, "test_dialog", test_dialog_ui)
PI_UI_DEFINITION(BrokenWindow, "broken_window", broken_window_ui)
PI_UI_DEFINITION(MissingWindow, "missing_window", test_window_ui)
PI_UI_DEFINITION(NotAWindow, "not_a_window", not_a_window_ui)

// The theme manager every show asks finds no desktop setting at once: no
// session bus (suites that need one set their own first), GSettings at its
// defaults.
inline const bool pi_test_quiet_desktop = [] {
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 0);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    return true;
}();

// A registered application without an id: no bus name, no session bus.
inline Glib::RefPtr<PiApplication> pi_test_application()
{
    Glib::RefPtr<PiApplication> app(new PiApplication("", Gio::APPLICATION_NON_UNIQUE));
    app->register_application();
    return app;
}

inline Glib::RefPtr<Gtk::Application> pi_test_gtk_application(const Glib::RefPtr<PiApplication> &app)
{
    return Glib::RefPtr<Gtk::Application>::cast_static(app);
}

// GTK on the private display and a fresh application for each test; the test
// is skipped when GTK cannot start. A suite that adds to SetUp calls
// PiWindowTest::SetUp() first and returns when IsSkipped(); one that adds to
// TearDown calls releaseWindows() once its own windows are let go.
class PiWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
        app = pi_test_application();
        gtkApp = pi_test_gtk_application(app);
    }
    void TearDown() override { releaseWindows(); }

    // Windows still listed go before the application does, and the work
    // they queued on the main loop runs out.
    void releaseWindows()
    {
        if (!app) return;
        app->windows.clear();
        for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    }

    Glib::RefPtr<PiApplication> app;
    Glib::RefPtr<Gtk::Application> gtkApp;
};

// A PNG of `width` x `height` pixels all of one colour (0xRRGGBBAA; the
// picture has no alpha channel), as the program's picture loader hands out.
inline std::vector<uint8_t> pi_test_png(int width, int height, uint32_t rgba)
{
    Glib::RefPtr<Gdk::Pixbuf> pixbuf = Gdk::Pixbuf::create(Gdk::COLORSPACE_RGB, false, 8, width, height);
    pixbuf->fill(rgba);
    gchar *buffer = nullptr;
    gsize size = 0;
    pixbuf->save_to_buffer(buffer, size, "png");
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t *>(buffer), reinterpret_cast<uint8_t *>(buffer) + size);
    g_free(buffer);
    return bytes;
}

// 32 bytes of one value: a non-zero window id.
struct TestId {
    explicit TestId(uint8_t value) { memset(bytes, value, sizeof(bytes)); }
    uint8_t bytes[PI_WINDOW_ID_SIZE];
};

// Whether the application's toolkit side counts the window.
inline bool pi_test_attached(const Glib::RefPtr<PiApplication> &app, const Gtk::Window *window)
{
    for (Gtk::Window *attached : app->get_windows())
        if (attached == window) return true;
    return false;
}

// Answers a dialog with the response once its modal run has started.
inline void pi_test_answer_when_shown(Gtk::Dialog &dialog, int response)
{
    dialog.signal_show().connect([&dialog, response] {
        Glib::signal_idle().connect_once([&dialog, response] { dialog.response(response); });
    });
}
