#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <libintl.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "gui/toolkit/gtk_env.h"
#include "notification_bus.h"
#include "notifications/notifications.h"
#include "toolkit/tray.h"

namespace {

// A message catalogue in the .mo format: header, the sorted original and
// translated string tables, then the strings.
std::string moFile(const std::map<std::string, std::string> &messages)
{
    const uint32_t count = uint32_t(messages.size());
    const uint32_t originals = 28, translations = originals + 8 * count;
    uint32_t next = translations + 8 * count;
    std::vector<uint32_t> words = {0x950412de, 0, count, originals, translations, 0, 0};
    std::vector<uint32_t> table;
    std::string strings;
    for (const auto &[id, text] : messages) {
        table.insert(table.end(), {uint32_t(id.size()), next});
        strings += id + '\0';
        next += uint32_t(id.size()) + 1;
    }
    for (const auto &[id, text] : messages) {
        table.insert(table.end(), {uint32_t(text.size()), next});
        strings += text + '\0';
        next += uint32_t(text.size()) + 1;
    }
    words.insert(words.end(), table.begin(), table.end());
    return std::string(reinterpret_cast<const char *>(words.data()), words.size() * 4) + strings;
}

// Puts a catalogue of the domain under a language of its own, so that no
// earlier lookup is served from gettext's cache, and makes it the one used;
// returns its folder.
std::string useCatalogue(const std::string &language, const std::map<std::string, std::string> &messages)
{
    gchar *folder = g_dir_make_tmp("notices-XXXXXX", nullptr);
    const std::string messagesFolder = std::string(folder) + "/" + language + "/LC_MESSAGES";
    g_mkdir_with_parents(messagesFolder.c_str(), 0700);
    const std::string mo = moFile(messages);
    g_file_set_contents((messagesFolder + "/veltrana.mo").c_str(), mo.data(), gssize(mo.size()), nullptr);
    bindtextdomain("veltrana", folder);
    bind_textdomain_codeset("veltrana", "UTF-8");
    setenv("LANGUAGE", language.c_str(), 1);
    const std::string made = folder;
    g_free(folder);
    return made;
}

}  // namespace

class NotificationsTest : public NotificationBusSuite {
protected:
    static void SetUpTestSuite()
    {
        startSuite("notices-data-XXXXXX");
        setlocale(LC_ALL, "C.UTF-8");
    }
    void SetUp() override
    {
        NotificationBusSuite::SetUp();
        if (IsSkipped()) return;
        unsetenv("LANGUAGE");
        notifications = Notifications::instance();
        notifications->applicationName = "veltrana";
        notifications->applicationUserModelId = "net.veltrana";
        notifications->iconPath = "/data/veltrana.png";
    }

    std::shared_ptr<Notifications> notifications;
};

// Without a notification service every notice becomes a balloon of the
// notification-area icon, and initialisation leaves the manager alone. Runs
// first, while this thread's manager is new.
TEST_F(NotificationsTest, FallsBackToTheBalloonWithoutAService)
{
    const std::string why = pi_test_gtk_start();
    if (!why.empty()) GTEST_SKIP() << why;
    notifications->initialize();
    EXPECT_FALSE(WinToastLib::WinToast::instance()->isInitialized());
    std::shared_ptr<PiMenu> menu = PiMenu::instance();
    menu->removeIcon(menu->guid);
    notifications->show("Information", "Live broadcast is stopped");
    EXPECT_TRUE(menu->hasIcon(menu->guid));
    for (int i = 0; i < 50; i++) pi_test_iterate_once(10);  // the balloon finds no service meanwhile
    EXPECT_EQ(menu->removeIcon(menu->guid), 1);
}

// Without a catalogue: English pieces around the quoted name, the source
// after "Source: ", details after ". ".
TEST_F(NotificationsTest, PeerNoticesInEnglish)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    notifications->initialize();
    ASSERT_TRUE(WinToastLib::WinToast::instance()->isInitialized());

    notifications->showUserConnected("Office", "Main channel");
    notifications->showUserDisconnected("Office", "Channel 2", "");
    notifications->showUserDisconnected("", "Channel 2", "Timeout. Reset");
    notifications->showUserBusy("\xF0\x9F\x98\x80 <Lab>", "Main channel");
    const std::vector<ReceivedNotification> got = service.received();
    ASSERT_EQ(got.size(), 4u);
    const std::pair<std::string, std::string> expected[] = {
        {"Incoming connection", "User 'Office' connected. Source: Main channel"},
        {"Information", "User 'Office' disconnected. Source: Channel 2"},
        {"Information", "User '' disconnected. Source: Channel 2. Timeout. Reset"},
        {"Information", "User '\xF0\x9F\x98\x80 &lt;Lab&gt;' is busy. Source: Main channel"},
    };
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].summary, expected[i].first);
        EXPECT_EQ(got[i].body, expected[i].second);
        EXPECT_EQ(got[i].desktopEntry, "veltrana");
        EXPECT_EQ(got[i].appIcon, "/data/veltrana.png") << "the picture the shell wrote";
    }

    // The desktop entry made at initialisation carries the id.
    gchar *entry = nullptr;
    ASSERT_TRUE(g_file_get_contents((std::string(dataHome) + "/applications/veltrana.desktop").c_str(), &entry,
                                    nullptr, nullptr));
    EXPECT_NE(std::string(entry).find("X-Application-Id=net.veltrana"), std::string::npos);
    g_free(entry);

    // Clicking or dismissing a notice changes nothing; the next one still goes.
    service.emit("ActionInvoked", g_variant_new("(us)", got[0].id, "default"));
    service.emit("NotificationClosed", g_variant_new("(uu)", got[1].id, 2u));
    for (int i = 0; i < 20; i++) pi_test_iterate_once(5);
    notifications->show("After", "clicks");
    EXPECT_EQ(service.received().back().summary, "After");
}

// The two pieces are translated together or not at all.
TEST(NotificationsText, TranslatedPieces)
{
    setlocale(LC_ALL, "C.UTF-8");
    struct Case {
        const char *purpose;
        std::string language;
        std::map<std::string, std::string> messages;
        std::string expected;
    };
    const Case cases[] = {
        {"both pieces translated", "xa",
         {{"User_connected_prefix", "Nutzer"}, {"User_connected_postfix", "verbunden"}, {"Source", "Quelle"}},
         "Nutzer 'Ana' verbunden. Quelle: Main"},
        {"postfix only: English for both", "xb",
         {{"User_connected_postfix", "verbunden"}, {"Source", "Quelle"}}, "User 'Ana' connected. Quelle: Main"},
        {"prefix only: the postfix id stands", "xc", {{"User_connected_prefix", "Nutzer"}},
         "Nutzer 'Ana' User_connected_postfix. Source: Main"},
    };
    for (const Case &c : cases) {
        const std::string folder = useCatalogue(c.language, c.messages);
        EXPECT_EQ(Notifications::composeNotice("User_connected_prefix", "User_connected_postfix", "User", "connected",
                                               "Ana", "Main")
                      .raw(),
                  c.expected)
            << c.purpose;
        std::filesystem::remove_all(folder);
    }
    unsetenv("LANGUAGE");
}

