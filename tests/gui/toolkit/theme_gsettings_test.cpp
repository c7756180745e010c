// The theme manager where no desktop portal answers: the setting comes from
// GSettings (the in-memory backend, so nothing of the user's is read or
// written). GLib runs on the test's main thread only, so ThreadSanitizer
// sees every cross-thread access of the listener list.
#include <gtest/gtest.h>

#include <gio/gio.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gtk_env.h"
#include "toolkit/theme.h"

namespace {

const bool g_environment = [] {
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/veltrana-test-bus", 1);
    return true;
}();

class Recorder : public IPiTheme {
public:
    void onThemeChanged(int theme) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back(theme);
    }
    std::vector<int> themes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return heard;
    }
    size_t count() { return themes().size(); }

private:
    std::mutex mutex;
    std::vector<int> heard;
};

// GDesktopColorScheme
enum { kDefault = 0, kPreferDark = 1, kPreferLight = 2 };

class ThemeGSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GSettingsSchemaSource *source = g_settings_schema_source_get_default();
        GSettingsSchema *schema =
            source != nullptr ? g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE) : nullptr;
        if (schema == nullptr) GTEST_SKIP() << "schema org.gnome.desktop.interface not installed";
        const bool hasScheme = g_settings_schema_has_key(schema, "color-scheme");
        g_settings_schema_unref(schema);
        if (!hasScheme) GTEST_SKIP() << "this desktop schema has no color-scheme";
        desktop = g_settings_new("org.gnome.desktop.interface");
        set(kDefault, "Adwaita");
    }
    void TearDown() override
    {
        if (desktop != nullptr) g_object_unref(desktop);
    }

    void set(int scheme, const char *gtkTheme)
    {
        g_settings_set_enum(desktop, "color-scheme", scheme);
        g_settings_set_string(desktop, "gtk-theme", gtkTheme);
    }

    GSettings *desktop = nullptr;
};

TEST_F(ThemeGSettingsTest, ColourSchemeElseTheNameOfTheGtkTheme)
{
    const struct {
        const char *purpose;
        int scheme;
        const char *gtkTheme;
        int theme;
    } cases[] = {
        {"prefer dark", kPreferDark, "Adwaita", PI_THEME_DARK},
        {"prefer light wins over a dark GTK theme", kPreferLight, "Adwaita-dark", PI_THEME_LIGHT},
        {"no preference, dark GTK theme", kDefault, "Adwaita-dark", PI_THEME_DARK},
        {"no preference, the name's case does not matter", kDefault, "Mint-Y-DARK", PI_THEME_DARK},
        {"no preference, light GTK theme", kDefault, "Adwaita", PI_THEME_LIGHT},
        {"no preference, dark only inside the name", kDefault, "darkish-blue", PI_THEME_LIGHT},
    };
    for (const auto &c : cases) {
        set(c.scheme, c.gtkTheme);
        auto theme = PiTheme::create();
        EXPECT_EQ(theme->systemTheme, c.theme) << c.purpose;
        EXPECT_EQ(theme->effectiveTheme(), c.theme) << c.purpose;
    }
}

TEST_F(ThemeGSettingsTest, ChangesReachTheListeners)
{
    auto theme = PiTheme::create();
    auto listener = std::make_shared<Recorder>();
    theme->addListener(listener);

    set(kPreferDark, "Adwaita");
    ASSERT_TRUE(pi_test_iterate_until([&] { return !listener->themes().empty() && listener->themes().back() == 1; }));
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_DARK);

    set(kDefault, "Adwaita");
    ASSERT_TRUE(pi_test_iterate_until([&] { return listener->themes().back() == 0; }));
    EXPECT_EQ(theme->effectiveTheme(), PI_THEME_LIGHT);

    // Once stopped, the manager keeps its last value.
    theme->stopWatcher();
    const size_t heard = listener->count();
    set(kPreferDark, "Adwaita");
    for (int i = 0; i < 20; i++) pi_test_iterate_once(1);
    EXPECT_EQ(listener->count(), heard);
    EXPECT_EQ(theme->systemTheme, PI_THEME_LIGHT);
}

// Windows register and leave from other threads while rounds run on the
// main loop.
TEST_F(ThemeGSettingsTest, ListenersComeAndGoFromOtherThreads)
{
    auto theme = PiTheme::create();
    auto steady = std::make_shared<Recorder>();
    theme->addListener(steady);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            auto mine = std::make_shared<Recorder>();
            while (!stop) {
                theme->addListener(mine);
                (void)theme->effectiveTheme();
                theme->removeListener(mine);
            }
        });
    }
    const int rounds = 200;
    bool allHeard = true;
    for (int i = 1; i <= rounds && allHeard; i++) {
        g_settings_set_enum(desktop, "color-scheme", i % 2 == 1 ? kPreferDark : kPreferLight);
        allHeard = pi_test_iterate_until([&] { return steady->count() == size_t(i); });
    }
    stop = true;
    for (auto &thread : threads) thread.join();
    ASSERT_TRUE(allHeard);
    const std::vector<int> heard = steady->themes();
    for (int i = 0; i < rounds; i++) EXPECT_EQ(heard[i], i % 2 == 0 ? PI_THEME_DARK : PI_THEME_LIGHT) << i;
}

}  // namespace
