#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gui/toolkit/gtk_env.h"
#include "notification_bus.h"
#include "notifications/toast_manager.h"

using namespace WinToastLib;

namespace {

// Writes what reaches it into a log the test keeps; notes its destruction.
class RecordingHandler : public IWinToastHandler {
public:
    explicit RecordingHandler(std::shared_ptr<std::vector<std::string>> log) : log(std::move(log)) {}
    ~RecordingHandler() override { log->push_back("destroyed"); }
    void onReplyActivated(std::string text) const override { log->push_back("reply:" + text); }
    void onActionActivated(int32_t index) const override { log->push_back("action:" + std::to_string(index)); }
    void onActivated() const override { log->push_back("activated"); }
    void onDismissed(int32_t reason) const override { log->push_back("dismissed:" + std::to_string(reason)); }
    void onFailed() const override { log->push_back("failed"); }

private:
    std::shared_ptr<std::vector<std::string>> log;
};

// Always the same id, to show what a clash does.
class FixedIdToast : public WinToast {
protected:
    int64_t newToastId() override { return 77; }
};

WinToastTemplate textToast(const std::string &title, const std::string &text)
{
    WinToastTemplate toast;
    toast.setTextLine(0, title);
    toast.setTextLine(1, text);
    return toast;
}

std::string readFile(const std::string &path)
{
    gchar *contents = nullptr;
    if (!g_file_get_contents(path.c_str(), &contents, nullptr, nullptr)) return {};
    std::string text(contents);
    g_free(contents);
    return text;
}

}  // namespace

class ToastManagerTest : public NotificationBusSuite {
protected:
    static void SetUpTestSuite() { startSuite("toast-data-XXXXXX"); }
    void SetUp() override
    {
        NotificationBusSuite::SetUp();
        if (IsSkipped()) return;
        g_remove((std::string(dataHome) + "/applications/veltrana.desktop").c_str());
    }

    // An initialised manager for a running service.
    void start(WinToast &manager)
    {
        manager.setAppName("veltrana");
        manager.setAppUserModelId("net.veltrana");
        WinToast::WinToastError error = WinToast::NotDisplayed;
        ASSERT_TRUE(manager.initialize(&error));
        EXPECT_EQ(error, WinToast::NoError);
    }
    IWinToastHandler *handler() { return new RecordingHandler(log); }
    bool logged(const std::string &entry)
    {
        return pi_test_iterate_until([&] { return std::find(log->begin(), log->end(), entry) != log->end(); });
    }

    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
};

// Without a service nothing is compatible; before initialize() a toast is
// refused and its handler destroyed at once.
TEST_F(ToastManagerTest, RefusesWithoutServiceOrInitialisation)
{
    EXPECT_FALSE(WinToast::isCompatible());
    WinToast manager;
    manager.setAppName("veltrana");
    manager.setAppUserModelId("net.veltrana");
    WinToast::WinToastError error = WinToast::NoError;
    EXPECT_FALSE(manager.initialize(&error));
    EXPECT_EQ(error, WinToast::SystemNotSupported);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_INCOMPATIBLE_OS);

    EXPECT_EQ(manager.showToast(textToast("T", "X"), handler(), &error), -1);
    EXPECT_EQ(error, WinToast::NotInitialized);
    EXPECT_EQ(*log, std::vector<std::string>{"destroyed"});
}

TEST_F(ToastManagerTest, InitialisationAndDesktopEntry)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    EXPECT_TRUE(WinToast::isCompatible());
    WinToast manager;
    WinToast::WinToastError error = WinToast::NoError;
    EXPECT_FALSE(manager.initialize(&error));
    EXPECT_EQ(error, WinToast::InvalidParameters);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_MISSING_PARAMETERS);

    manager.setAppName("veltrana");
    manager.setAppUserModelId("net.veltrana");
    const std::string path = manager.defaultShellLinkPath();
    EXPECT_EQ(path, std::string(dataHome) + "/applications/veltrana.desktop");

    // Policy 1: a missing entry is not made, and the manager stays down.
    manager.setShortcutPolicy(WinToast::SHORTCUT_POLICY_REQUIRE_NO_CREATE);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_CREATE_FAILED);
    EXPECT_FALSE(manager.initialize(&error));
    EXPECT_EQ(error, WinToast::ShellLinkNotCreated);
    EXPECT_FALSE(manager.isInitialized());

    manager.setShortcutPolicy(WinToast::SHORTCUT_POLICY_REQUIRE_CREATE);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_WAS_CREATED);
    const std::string entry = readFile(path);
    EXPECT_NE(entry.find("X-Application-Id=net.veltrana"), std::string::npos) << entry;
    EXPECT_NE(entry.find("Exec=\""), std::string::npos) << entry;
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_UNCHANGED);

    // Another id: policy 1 refuses it, policy 2 rewrites it.
    manager.setAppUserModelId("net.other");
    manager.setShortcutPolicy(WinToast::SHORTCUT_POLICY_REQUIRE_NO_CREATE);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_CREATE_FAILED);
    manager.setShortcutPolicy(WinToast::SHORTCUT_POLICY_REQUIRE_CREATE);
    EXPECT_EQ(manager.createShortcut(), WinToast::SHORTCUT_WAS_CHANGED);
    EXPECT_NE(readFile(path).find("X-Application-Id=net.other"), std::string::npos);
    EXPECT_TRUE(manager.initialize(&error));
    EXPECT_TRUE(manager.isInitialized());

    EXPECT_EQ(manager.showToast(textToast("T", "X"), nullptr, &error), -1);
    EXPECT_EQ(error, WinToast::InvalidHandler);
}

// What the service gets: the title as summary, the text as escaped markup
// (peer names are not markup), valid UTF-8 whatever came in, the buttons as
// actions after the body's own, the desktop entry and the expiry.
TEST_F(ToastManagerTest, NotifyCarriesTheDocument)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    WinToast manager;
    start(manager);
    WinToastTemplate toast = textToast("Incoming \xFF connection", "User '<b>A&B</b>' connected");
    toast.actionLabels = {"Open", "Close"};
    toast.expiration = 4000;
    WinToast::WinToastError error = WinToast::NotDisplayed;
    const int64_t id = manager.showToast(toast, handler(), &error);
    ASSERT_GE(id, 0);
    EXPECT_EQ(error, WinToast::NoError);
    EXPECT_TRUE(manager.isListed(id));
    EXPECT_FALSE(manager.isFinished(id));

    const std::vector<ReceivedNotification> got = service.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].appName, "veltrana");
    EXPECT_EQ(got[0].desktopEntry, "veltrana");
    EXPECT_EQ(got[0].summary, "Incoming \xEF\xBF\xBD connection");
    EXPECT_EQ(got[0].body, "User '&lt;b&gt;A&amp;B&lt;/b&gt;' connected");
    EXPECT_EQ(got[0].actions, (std::vector<std::string>{"default", "", "0", "Open", "1", "Close"}));
    EXPECT_EQ(got[0].expireTimeout, 4000);

    EXPECT_GE(manager.showToast(textToast("T", "X"), handler(), nullptr), 0);
    EXPECT_EQ(service.received().at(1).expireTimeout, -1);
}

// Activations: the body gives onActivated, a button its number; each event
// forgets the toast that the one before finished. A close that follows an
// activation is no dismissal.
TEST_F(ToastManagerTest, ActivationsFinishToasts)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    WinToast manager;
    start(manager);
    WinToastTemplate buttons = textToast("T", "X");
    buttons.actionLabels = {"a", "b", "c"};
    const int64_t first = manager.showToast(buttons, handler(), nullptr);
    const int64_t second = manager.showToast(buttons, handler(), nullptr);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    const std::vector<ReceivedNotification> got = service.received();

    service.emit("ActionInvoked", g_variant_new("(us)", got[0].id, "default"));
    ASSERT_TRUE(logged("activated"));
    EXPECT_TRUE(manager.isFinished(first));
    service.emit("NotificationClosed", g_variant_new("(uu)", got[0].id, 2u));

    service.emit("ActionInvoked", g_variant_new("(us)", got[1].id, "2"));
    ASSERT_TRUE(logged("action:2"));
    EXPECT_FALSE(manager.isListed(first));
    EXPECT_TRUE(manager.isFinished(second));
    // The service closed the first toast: its handler went with it.
    EXPECT_EQ(*log, (std::vector<std::string>{"activated", "destroyed", "action:2"}));
}

// Malformed or foreign signals change nothing.
TEST_F(ToastManagerTest, IgnoresMalformedAndUnknownSignals)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    WinToast manager;
    start(manager);
    const int64_t id = manager.showToast(textToast("T", "X"), handler(), nullptr);
    const uint32_t known = service.received().at(0).id;
    service.emit("ActionInvoked", g_variant_new("(s)", "default"));
    service.emit("ActionInvoked", g_variant_new("(uu)", known, 1u));
    service.emit("NotificationClosed", g_variant_new("(u)", known));
    service.emit("ActionInvoked", g_variant_new("(us)", known + 100, "default"));
    // A well-formed event behind them shows they were all delivered.
    service.emit("ActionInvoked", g_variant_new("(us)", known, " -7x"));
    ASSERT_TRUE(logged("action:-7"));
    EXPECT_EQ(*log, std::vector<std::string>{"action:-7"});
    EXPECT_TRUE(manager.isFinished(id));
}

TEST_F(ToastManagerTest, DismissalReasons)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    WinToast manager;
    start(manager);
    struct Case {
        const char *purpose;
        int64_t expiration;
        uint32_t closeReason;
        std::string expected;
    };
    const Case cases[] = {
        {"closed by the user, no expiry", 0, 2, "dismissed:0"},
        {"closed by the user before the expiry", 3600000, 2, "dismissed:0"},
        {"expired by the service", 0, 1, "dismissed:2"},
        {"hidden through the service", 0, 3, "dismissed:1"},
        {"closed by the user after the expiry", 1, 2, "dismissed:2"},
    };
    for (const Case &c : cases) {
        WinToastTemplate toast = textToast("T", c.purpose);
        toast.expiration = c.expiration;
        const int64_t start = g_get_real_time();
        const int64_t id = manager.showToast(toast, handler(), nullptr);
        ASSERT_GE(id, 0);
        // Let the one-millisecond expiry pass; a bound, not a measurement.
        while (c.expiration == 1 && g_get_real_time() - start < 5000) g_usleep(1000);
        service.emit("NotificationClosed", g_variant_new("(uu)", service.received().back().id, c.closeReason));
        EXPECT_TRUE(logged(c.expected)) << c.purpose;
        EXPECT_TRUE(manager.isFinished(id)) << c.purpose;
        log->clear();
    }
}

// A reply leaves the toast listed and unfinished; the reply button's plain
// press reads as a button.
TEST_F(ToastManagerTest, ReplyKeepsTheToast)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    WinToast manager;
    start(manager);
    WinToastTemplate toast = textToast("T", "X");
    toast.replyInput = true;
    const int64_t id = manager.showToast(toast, handler(), nullptr);
    const ReceivedNotification got = service.received().at(0);
    EXPECT_EQ(got.actions, (std::vector<std::string>{"default", "", "inline-reply", "Reply"}));
    service.emit("NotificationReplied", g_variant_new("(us)", got.id, "on my way"));
    ASSERT_TRUE(logged("reply:on my way"));
    EXPECT_TRUE(manager.isListed(id));
    EXPECT_FALSE(manager.isFinished(id));
    service.emit("ActionInvoked", g_variant_new("(us)", got.id, "inline-reply"));
    ASSERT_TRUE(logged("action:0"));
}

// A clashing id is shown but not listed; hiding closes and forgets; clear
// closes every listed toast.
TEST_F(ToastManagerTest, ListBookkeeping)
{
    NotificationService service(bus->address);
    ASSERT_TRUE(service.ok);
    {
        FixedIdToast manager;
        start(manager);
        EXPECT_EQ(manager.showToast(textToast("T", "1"), handler(), nullptr), 77);
        EXPECT_EQ(manager.showToast(textToast("T", "2"), handler(), nullptr), 77);
        EXPECT_EQ(service.received().size(), 2u);
        EXPECT_EQ(manager.listedCount(), 1u);
        EXPECT_FALSE(manager.hideToast(78));
        EXPECT_TRUE(manager.hideToast(77));
        EXPECT_FALSE(manager.isListed(77));
        EXPECT_EQ(service.closed(), std::vector<uint32_t>{service.received()[0].id});
    }
    WinToast manager;
    start(manager);
    manager.showToast(textToast("T", "3"), handler(), nullptr);
    manager.showToast(textToast("T", "4"), handler(), nullptr);
    manager.clear();
    EXPECT_EQ(manager.listedCount(), 0u);
    EXPECT_EQ(service.closed().size(), 3u);
    EXPECT_FALSE(manager.hideToast(0));
}
