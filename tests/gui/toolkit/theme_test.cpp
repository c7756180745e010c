#include <gtest/gtest.h>

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <gtkmm/window.h>
// Xlib after gtkmm: its macros clash with gtkmm names.
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gui/session_bus.h"
#include "gtk_env.h"
#include "toolkit/theme.h"

namespace {

// No GSettings schema is visible to this program, so the portal is the only
// source of the setting and its absence means "no source at all".
const bool g_environment = [] {
    setenv("XDG_DATA_DIRS", "/nonexistent", 1);
    setenv("XDG_DATA_HOME", "/nonexistent", 1);
    unsetenv("GSETTINGS_SCHEMA_DIR");
    setenv("GSETTINGS_BACKEND", "memory", 1);
    return true;
}();

// The desktop portal's settings, on a thread and main context of its own:
// answers Read for the colour scheme and emits SettingChanged on demand.
class PortalService : public SessionBusService {
public:
    PortalService(const std::string &address, uint32_t scheme, bool knowsColorScheme = true)
        : scheme(scheme), knowsColorScheme(knowsColorScheme)
    {
        start(address, kIntrospection, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Desktop");
    }
    ~PortalService() override { stop(); }

    // 0 no preference, 1 prefer dark, 2 prefer light.
    void change(uint32_t value, const char *key = "color-scheme")
    {
        if (strcmp(key, "color-scheme") == 0) scheme = value;
        emitSignal("/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings", "SettingChanged",
                   g_variant_new("(ssv)", "org.freedesktop.appearance", key, g_variant_new_uint32(value)));
    }

private:
    static constexpr const char *kIntrospection =
        "<node><interface name='org.freedesktop.portal.Settings'>"
        "<method name='Read'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='v' direction='out'/></method>"
        "<signal name='SettingChanged'><arg type='s'/><arg type='s'/><arg type='v'/></signal>"
        "</interface></node>";

    void onMethod(GDBusConnection *, const gchar *, GVariant *parameters, GDBusMethodInvocation *invocation) override
    {
        const gchar *ns = nullptr, *key = nullptr;
        g_variant_get(parameters, "(&s&s)", &ns, &key);
        if (!knowsColorScheme || strcmp(ns, "org.freedesktop.appearance") != 0 || strcmp(key, "color-scheme") != 0) {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.NotFound",
                                                       "Requested setting not found");
            return;
        }
        // As the portal does: the value wrapped in one more variant.
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(v)", g_variant_new_variant(g_variant_new_uint32(scheme.load()))));
    }

    std::atomic<uint32_t> scheme;
    const bool knowsColorScheme;
};

// Records every theme it is told, and may act on the manager when called.
class Recorder : public IPiTheme {
public:
    void onThemeChanged(int theme) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            heard.push_back(theme);
        }
        if (onCall) onCall();
    }
    std::vector<int> themes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return heard;
    }
    size_t count() { return themes().size(); }

    std::function<void()> onCall;

private:
    std::mutex mutex;
    std::vector<int> heard;
};

bool gtk_prefers_dark()
{
    gboolean dark = FALSE;
    g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &dark, nullptr);
    return dark;
}

class ThemeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
        // Each test starts from GTK's own default.
        gtk_settings_reset_property(gtk_settings_get_default(), "gtk-application-prefer-dark-theme");
    }

    // A bus, a portal on it answering `scheme`, and DBUS_SESSION_BUS_ADDRESS
    // pointing at it; false (the test skips) when dbus-daemon cannot run.
    bool startPortal(uint32_t scheme, bool knowsColorScheme = true)
    {
        bus = std::make_unique<PrivateSessionBus>();
        if (!bus->running()) return false;
        environment = std::make_unique<SessionBusEnvironment>(bus->address);
        portal = std::make_unique<PortalService>(bus->address, scheme, knowsColorScheme);
        return portal->ok;
    }

    void TearDown() override
    {
        portal.reset();
        environment.reset();
        bus.reset();
    }

    std::unique_ptr<PrivateSessionBus> bus;
    std::unique_ptr<SessionBusEnvironment> environment;
    std::unique_ptr<PortalService> portal;
};

TEST_F(ThemeTest, ListenersFollowThePortalLightDarkLight)
{
    if (!startPortal(2)) GTEST_SKIP() << "dbus-daemon unavailable";
    auto theme = PiTheme::create();
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_LIGHT);
    EXPECT_FALSE(gtk_prefers_dark());

    auto twice = std::make_shared<Recorder>(), once = std::make_shared<Recorder>();
    theme->addListener(twice);
    theme->addListener(once);
    theme->addListener(twice);

    // A change of another appearance key is not a theme change.
    portal->change(7, "accent-color");
    portal->change(1);
    ASSERT_TRUE(pi_test_iterate_until([&] { return once->count() == 1; }));
    EXPECT_EQ(once->themes(), std::vector<int>{PI_THEME_DARK});
    EXPECT_EQ(twice->themes(), (std::vector<int>{PI_THEME_DARK, PI_THEME_DARK}));
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);
    EXPECT_TRUE(gtk_prefers_dark());

    // "No preference" is light; registered twice needs two removals.
    theme->removeListener(twice);
    portal->change(0);
    ASSERT_TRUE(pi_test_iterate_until([&] { return once->count() == 2; }));
    EXPECT_EQ(once->themes(), (std::vector<int>{PI_THEME_DARK, PI_THEME_LIGHT}));
    EXPECT_EQ(twice->themes(), (std::vector<int>{PI_THEME_DARK, PI_THEME_DARK, PI_THEME_LIGHT}));
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_LIGHT);
    EXPECT_FALSE(gtk_prefers_dark());

    theme->removeListener(twice);
    theme->removeListener(twice);  // none left: nothing happens
    portal->change(1);
    ASSERT_TRUE(pi_test_iterate_until([&] { return once->count() == 3; }));
    EXPECT_EQ(twice->count(), 3u);
}

TEST_F(ThemeTest, StartsFromThePortalsValue)
{
    if (!startPortal(1)) GTEST_SKIP() << "dbus-daemon unavailable";
    auto theme = PiTheme::create();
    EXPECT_EQ(theme->systemTheme, PI_THEME_DARK);
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);
    EXPECT_TRUE(gtk_prefers_dark());
}

TEST_F(ThemeTest, ForcedModeTracksTheSystemButCallsNoOne)
{
    if (!startPortal(2)) GTEST_SKIP() << "dbus-daemon unavailable";
    auto theme = PiTheme::create();
    auto listener = std::make_shared<Recorder>();
    theme->addListener(listener);

    theme->setMode(PI_THEME_LIGHT);
    portal->change(1);
    ASSERT_TRUE(pi_test_iterate_until([&] { return theme->systemTheme == PI_THEME_DARK; }));
    for (int i = 0; i < 20; i++) pi_test_iterate_once(1);  // room for a wrongly scheduled round
    EXPECT_EQ(listener->count(), 0u);
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_LIGHT);
    EXPECT_FALSE(gtk_prefers_dark());

    theme->setMode(PI_THEME_DARK);
    EXPECT_TRUE(gtk_prefers_dark());
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);

    // Back to following: GTK's own default again, the system theme applies
    // at its next change, and nobody is called now.
    theme->setMode(PI_THEME_AUTO);
    EXPECT_FALSE(gtk_prefers_dark());
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);
    EXPECT_EQ(listener->count(), 0u);
    portal->change(2);
    ASSERT_TRUE(pi_test_iterate_until([&] { return listener->count() == 1; }));
    EXPECT_EQ(listener->themes(), std::vector<int>{PI_THEME_LIGHT});
}

TEST_F(ThemeTest, NoSourceMeansLightAndNoWatching)
{
    const struct {
        const char *purpose;
        bool bus;
    } cases[] = {{"no session bus at all", false}, {"a bus whose portal has no colour scheme", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        std::unique_ptr<SessionBusEnvironment> noBus;
        if (c.bus) {
            if (!startPortal(1, false)) GTEST_SKIP() << "dbus-daemon unavailable";
        } else {
            noBus = std::make_unique<SessionBusEnvironment>("unix:path=/nonexistent/veltrana-test-bus");
        }
        auto theme = PiTheme::create();
        EXPECT_EQ(theme->systemTheme, PI_THEME_LIGHT);
        EXPECT_EQ(theme->effectiveTheme(), PI_THEME_LIGHT);
        EXPECT_FALSE(gtk_prefers_dark());

        auto listener = std::make_shared<Recorder>();
        theme->addListener(listener);
        if (portal) portal->change(1);
        for (int i = 0; i < 50; i++) pi_test_iterate_once(1);
        EXPECT_EQ(listener->count(), 0u);
        EXPECT_EQ(theme->systemTheme, PI_THEME_LIGHT);

        theme->setMode(PI_THEME_DARK);  // forcing still works
        EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);
        theme->setMode(PI_THEME_AUTO);
        theme->stopWatcher();
        theme->stopWatcher();
        TearDown();
    }
}

TEST_F(ThemeTest, StoppedOrGoneManagerHearsNothing)
{
    if (!startPortal(2)) GTEST_SKIP() << "dbus-daemon unavailable";
    auto stopped = PiTheme::create();
    auto listener = std::make_shared<Recorder>();
    stopped->addListener(listener);
    stopped->stopWatcher();
    stopped->stopWatcher();

    // A change already on its way when the manager goes away is dropped.
    auto gone = PiTheme::create();
    gone->addListener(listener);
    portal->change(1);
    gone.reset();

    auto witness = PiTheme::create();
    auto witnessListener = std::make_shared<Recorder>();
    witness->addListener(witnessListener);
    portal->change(2);
    ASSERT_TRUE(pi_test_iterate_until([&] { return witnessListener->count() >= 1; }));
    EXPECT_EQ(listener->count(), 0u);
    EXPECT_EQ(stopped->systemTheme, PI_THEME_LIGHT);
}

TEST_F(ThemeTest, ListenersChangingTheListDuringARound)
{
    if (!startPortal(2)) GTEST_SKIP() << "dbus-daemon unavailable";
    auto theme = PiTheme::create();
    auto late = std::make_shared<Recorder>();
    auto first = std::make_shared<Recorder>();
    auto last = std::make_shared<Recorder>();
    // The first listener leaves and brings in another: the round goes on
    // over the list as it was.
    first->onCall = [&] {
        theme->removeListener(first);
        theme->addListener(late);
    };
    theme->addListener(first);
    theme->addListener(last);

    portal->change(1);
    ASSERT_TRUE(pi_test_iterate_until([&] { return last->count() == 1; }));
    EXPECT_EQ(first->count(), 1u);
    EXPECT_EQ(late->count(), 0u);

    portal->change(2);
    ASSERT_TRUE(pi_test_iterate_until([&] { return last->count() == 2; }));
    EXPECT_EQ(first->count(), 1u);
    EXPECT_EQ(late->themes(), std::vector<int>{PI_THEME_LIGHT});
    first->onCall = nullptr;
}

TEST_F(ThemeTest, DarkTitleBarOnTheX11Toplevel)
{
    EXPECT_FALSE(PiTheme::setDarkTitleBar(nullptr));

    Gtk::Window window;
    gtk_widget_realize(GTK_WIDGET(window.gobj()));
    GdkWindow *gdkWindow = window.get_window()->gobj();
    ASSERT_TRUE(PiTheme::setDarkTitleBar(gdkWindow));

    Display *display = gdk_x11_display_get_xdisplay(gdk_window_get_display(gdkWindow));
    Atom property = XInternAtom(display, "_GTK_THEME_VARIANT", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    ASSERT_EQ(XGetWindowProperty(display, gdk_x11_window_get_xid(gdkWindow), property, 0, 64, False,
                                 AnyPropertyType, &type, &format, &items, &after, &data),
              Success);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), items), "dark");
    XFree(data);
}

}  // namespace
