#include "windows/viewer/bcsh_window.h"

#include <gdkmm/pixbuf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app/storage.h"
#include "app/xml_objects.h"
#include "core/settings_records.h"
#include "core/system.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"

namespace {

// The settings file is written through the runtime's settings stream.
class Runtime : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_settings_stream_start(), CORE_OK);
    }
    void TearDown() override
    {
        core_settings_stream_stop();
        core_system_stop();
    }
};

const ::testing::Environment *const kRuntime = ::testing::AddGlobalTestEnvironment(new Runtime);

// Without a published data folder the settings file is the bare name in
// the current directory: each test gets a fresh one.
class BCSHWindowTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-bcsh-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        previous = std::filesystem::current_path();
        std::filesystem::current_path(folder);
        // Pictures of one colour each, so the icon set drawn can be told.
        PiWindowIcon::setPngLoader([](uint32_t id) { return pi_test_png(8, 8, (id << 24) | 0xFF); });
    }
    void TearDown() override
    {
        if (!app) return;
        releaseWindows();
        PiWindowIcon::setPngLoader(nullptr);
        if (previous.empty()) return;  // no scratch folder was made
        std::filesystem::current_path(previous);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::shared_ptr<BCSHWindow> open() { return PiApplication::openWindow<BCSHWindow>(gtkApp, nullptr); }

    static std::vector<std::string> labels(const BCSHWindow &w)
    {
        return {w.brightness_label->get_text(), w.contrast_label->get_text(), w.saturation_label->get_text(),
                w.hue_label->get_text()};
    }
    static std::vector<int64_t> stored()
    {
        std::shared_ptr<AppSettings> s = loadAppSettings();
        auto number = [](const std::shared_ptr<PkXMLObject> &o) {
            return std::dynamic_pointer_cast<PkXMLNumberObject>(o)->value;
        };
        return {number(s->videoBrightness), number(s->videoContrast), number(s->videoSaturation),
                number(s->videoHue)};
    }
    bool settingsWritten() const { return std::filesystem::exists(folder / PK_SETTINGS_FILE_NAME); }

    std::filesystem::path folder;
    std::filesystem::path previous;
};

TEST_F(BCSHWindowTest, OpensWithDefaultsAndStoresEveryChange)
{
    std::shared_ptr<BCSHWindow> window = open();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->get_title(), "Picture");
    EXPECT_EQ(labels(*window), (std::vector<std::string>{"50", "50", "50", "0"}));
    EXPECT_EQ(window->hue_image->get_tooltip_text(), "Hue");
    EXPECT_FALSE(settingsWritten());  // building sends and stores nothing

    // The hue scale at its left end.
    window->hue_scale->set_value(-60);
    EXPECT_EQ(window->hue_label->get_text(), "-50");
    EXPECT_EQ(stored(), (std::vector<int64_t>{50, 50, 50, -50}));

    // A fractional position counts toward zero.
    window->contrast_scale->set_value(72.9);
    EXPECT_EQ(window->contrast_label->get_text(), "72");
    EXPECT_EQ(stored(), (std::vector<int64_t>{50, 72, 50, -50}));

    // A new window reads the stored values.
    window->hide();
    window.reset();
    EXPECT_TRUE(app->windows.empty());
    window = open();
    ASSERT_TRUE(window);
    EXPECT_EQ(labels(*window), (std::vector<std::string>{"50", "72", "50", "-50"}));
    EXPECT_DOUBLE_EQ(window->hue_scale->get_value(), -50.0);
}

TEST_F(BCSHWindowTest, ResetStoresOnlyWhatMoved)
{
    std::shared_ptr<BCSHWindow> window = open();
    ASSERT_TRUE(window);
    window->reset_button->clicked();
    EXPECT_EQ(labels(*window), (std::vector<std::string>{"50", "50", "50", "0"}));
    EXPECT_FALSE(settingsWritten());

    window->brightness_scale->set_value(80);
    EXPECT_EQ(stored(), (std::vector<int64_t>{80, 50, 50, 0}));
    window->reset_button->clicked();
    EXPECT_EQ(labels(*window), (std::vector<std::string>{"50", "50", "50", "0"}));
    EXPECT_DOUBLE_EQ(window->brightness_scale->get_value(), 50.0);
    EXPECT_EQ(stored(), (std::vector<int64_t>{50, 50, 50, 0}));
}

TEST_F(BCSHWindowTest, OutOfRangeStoredValueIsShownInRange)
{
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    settings->videoSaturation = std::make_shared<PkXMLNumberObject>(100);
    settings->videoHue = std::make_shared<PkXMLNumberObject>(-50);
    saveAppSettings(settings);
    std::shared_ptr<BCSHWindow> window = open();
    ASSERT_TRUE(window);
    EXPECT_EQ(labels(*window), (std::vector<std::string>{"50", "50", "100", "-50"}));
    EXPECT_DOUBLE_EQ(window->saturation_scale->get_value(), 100.0);
}

TEST_F(BCSHWindowTest, ThemePicksIconSet)
{
    std::shared_ptr<BCSHWindow> window = open();
    ASSERT_TRUE(window);
    auto red = [](Gtk::Image *image) {
        Glib::RefPtr<Gdk::Pixbuf> pixbuf = image->get_pixbuf();
        return pixbuf ? int(pixbuf->get_pixels()[0]) : -1;
    };
    window->restyle(1);
    EXPECT_EQ(window->brightness_image->get_pixbuf()->get_width(), PK_BCSH_ICON_SIZE);
    EXPECT_EQ(red(window->brightness_image), PK_PNG_BRIGHTNESS_DARK);
    EXPECT_EQ(red(window->contrast_image), PK_PNG_CONTRAST_DARK);
    EXPECT_EQ(red(window->saturation_image), PK_PNG_SATURATION_DARK);
    EXPECT_EQ(red(window->hue_image), PK_PNG_HUE_DARK);
    window->onThemeChanged(0);
    EXPECT_EQ(red(window->brightness_image), PK_PNG_BRIGHTNESS_LIGHT);
    EXPECT_EQ(red(window->hue_image), PK_PNG_HUE_LIGHT);
    window->restyle(5);  // no icon set of its own: the icons stay
    EXPECT_EQ(red(window->hue_image), PK_PNG_HUE_LIGHT);
    const Gdk::RGBA colour = window->main_saparator->get_style_context()->get_background_color();
    EXPECT_NEAR(colour.get_red(), 0.0, 0.01);
}

}  // namespace
