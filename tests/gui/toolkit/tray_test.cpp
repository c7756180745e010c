#include <gtest/gtest.h>

#include <gdkmm/pixbuf.h>
#include <gio/gio.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gui/notifications/notification_bus.h"
#include "gtk_env.h"
#include "toolkit/tray.h"
#include "toolkit/window.h"

namespace {

// A 16 x 16 PNG as the program's icon resource.
std::vector<uint8_t> test_icon_png()
{
    Glib::RefPtr<Gdk::Pixbuf> picture = Gdk::Pixbuf::create(Gdk::COLORSPACE_RGB, true, 8, 16, 16);
    picture->fill(0x3366CCFF);
    gchar *buffer = nullptr;
    gsize size = 0;
    if (!gdk_pixbuf_save_to_buffer(picture->gobj(), &buffer, &size, "png", nullptr, nullptr)) return {};
    std::vector<uint8_t> png(buffer, buffer + size);
    g_free(buffer);
    return png;
}

std::string repeated(const std::string &piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; i++) text += piece;
    return text;
}

// No session bus at all: the notification is dropped. Runs before the
// suite below points the program at its private bus.
TEST(TrayNoBus, BalloonIsDropped)
{
    const std::string why = pi_test_gtk_start();
    if (!why.empty()) GTEST_SKIP() << why;
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    std::shared_ptr<PiMenu> menu = PiMenu::instance();
    menu->showBalloon("Title", "Text");
    EXPECT_TRUE(menu->hasIcon(menu->guid));
    for (int i = 0; i < 50; i++) pi_test_iterate_once(10);  // the connection fails meanwhile
    EXPECT_EQ(menu->removeIcon(menu->guid), 1);
}

// One private bus for the rest of the program.
class TrayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new PrivateSessionBus();
        if (bus->running()) setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        delete bus;
        bus = nullptr;
    }
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
        if (!bus->running()) GTEST_SKIP() << "dbus-daemon did not start";
        const std::vector<uint8_t> png = test_icon_png();
        PiWindowIcon::setPngLoader([png](uint32_t id) { return id == PI_WINDOW_ICON_PNG ? png : std::vector<uint8_t>(); });
        menu = PiMenu::instance();
        menu->iconId = PI_MENU_APP_ICON;
        menu->removeIcon(menu->guid);
    }
    void TearDown() override
    {
        if (menu) menu->removeIcon(menu->guid);
        PiWindowIcon::setPngLoader(nullptr);
    }

    static inline PrivateSessionBus *bus = nullptr;
    std::shared_ptr<PiMenu> menu;
};

TEST(TrayText, CutsToCharactersNotBytes)
{
    struct Case {
        std::string text;
        size_t count;
        std::string expected;
    };
    const Case cases[] = {
        {repeated("t", 70), PI_MENU_TITLE_MAX, repeated("t", 63)},
        {repeated("x", 300), PI_MENU_TEXT_MAX, repeated("x", 255)},
        {"short", PI_MENU_TITLE_MAX, "short"},
        {repeated("\xC3\xA9", 70), PI_MENU_TITLE_MAX, repeated("\xC3\xA9", 63)},  // é: 2 bytes each
        {"ab\xFF" "cd", 3, "ab\xEF\xBF\xBD"},                                      // ill-formed byte: U+FFFD
        {"", 5, ""},
    };
    for (const Case &c : cases) EXPECT_EQ(PiMenu::cutCharacters(c.text, c.count), c.expected) << c.text;
}

TEST_F(TrayTest, OneIconPerIdentity)
{
    EXPECT_EQ(menu->addIcon(PI_MENU_APP_ICON, 0, menu->guid), 0);
    EXPECT_EQ(menu->addIcon(PI_MENU_APP_ICON, 0, menu->guid), -1);
    PiMenuGuid other = menu->guid;
    other[0] ^= 0xFF;
    EXPECT_EQ(menu->addIcon(0, 0, other), 0);  // no picture: still an icon
    EXPECT_EQ(menu->removeIcon(other), 1);
    EXPECT_EQ(menu->removeIcon(other), 0);
    EXPECT_TRUE(menu->hasIcon(menu->guid));
}

// No service on the bus: the notification is dropped; the icon still comes
// and goes, and shut-down removes it at once.
TEST_F(TrayTest, BalloonWithoutAServiceIsDropped)
{
    menu->showBalloon("Title", "Text");
    EXPECT_TRUE(menu->hasIcon(menu->guid));
    for (int i = 0; i < 50; i++) pi_test_iterate_once(10);  // the bus answers meanwhile
    EXPECT_EQ(menu->removeIcon(menu->guid), 1);
    EXPECT_FALSE(menu->hasIcon(menu->guid));
}

// Cut title, escaped and cut text, the icon as picture, 5000 ms; the icon
// goes again after its delay, and one icon serves two balloons.
TEST_F(TrayTest, BalloonNotifiesAndTheIconGoesAfterItsDelay)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    const std::string text = "<b>Bob & Alice</b>" + repeated("y", 300);
    menu->showBalloon(repeated("T", 70), text);
    menu->showBalloon("Second", "plain");
    EXPECT_TRUE(menu->hasIcon(menu->guid));
    ASSERT_TRUE(pi_test_iterate_until([&] { return service.received().size() == 2; }));

    const std::vector<ReceivedNotification> got = service.received();
    EXPECT_EQ(got[0].summary, repeated("T", 63));
    EXPECT_EQ(got[0].body, "&lt;b&gt;Bob &amp; Alice&lt;/b&gt;" + repeated("y", 255 - 18));
    EXPECT_EQ(got[0].expireTimeout, PI_MENU_BALLOON_TIMEOUT_MS);
    EXPECT_EQ(got[0].imageWidth, 16);
    EXPECT_EQ(got[0].imageHeight, 16);
    EXPECT_EQ(got[1].summary, "Second");
    EXPECT_EQ(got[1].body, "plain");

    EXPECT_TRUE(pi_test_iterate_until([&] { return !menu->hasIcon(menu->guid); })) << "the icon goes after its delay";
}

// Before the activation configured it: no picture anywhere.
TEST_F(TrayTest, BalloonBeforeActivationHasNoPicture)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    menu->iconId = 0;
    menu->showBalloon("Early", "notice");
    ASSERT_TRUE(pi_test_iterate_until([&] { return service.received().size() == 1; }));
    EXPECT_EQ(service.received()[0].imageWidth, 0);
}

}  // namespace
