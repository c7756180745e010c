#include <gtest/gtest.h>

#include <gio/gio.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>

#include "gui/session_bus.h"
#include "core/names.h"
#include "services/display.h"

namespace {

PkXID id_of_bytes(std::initializer_list<uint8_t> bytes)
{
    PkXID id;
    size_t i = 0;
    for (uint8_t byte : bytes) id.key[i++] = byte;
    return id;
}

// The screen saver side of the desktop, on its own thread and main context:
// it records the requests it holds, as a real one would.
class ScreenSaverService : public SessionBusService {
public:
    explicit ScreenSaverService(const std::string &address)
    {
        start(address, kIntrospection, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver");
    }
    ~ScreenSaverService() override { stop(); }

    std::set<uint32_t> active()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return cookies;
    }
    int inhibitCalls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return inhibits;
    }

private:
    static constexpr const char *kIntrospection =
        "<node><interface name='org.freedesktop.ScreenSaver'>"
        "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='UnInhibit'><arg type='u' direction='in'/></method>"
        "</interface></node>";

    void onMethod(GDBusConnection *, const gchar *method, GVariant *parameters,
                  GDBusMethodInvocation *invocation) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (strcmp(method, "Inhibit") == 0) {
            const uint32_t cookie = ++nextCookie;
            cookies.insert(cookie);
            inhibits++;
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", cookie));
        } else {
            guint32 cookie = 0;
            g_variant_get(parameters, "(u)", &cookie);
            cookies.erase(cookie);
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    std::mutex mutex;
    std::set<uint32_t> cookies;
    uint32_t nextCookie = 100;
    int inhibits = 0;
};

}  // namespace

TEST(IdText, PrintableAndHexForms)
{
    struct Case {
        const char *purpose;
        PkXID id;
        const char *printable;
        const char *hexStart;  // first bytes of the hexadecimal form
    };
    PkXID ones;
    memset(ones.key, 0x01, sizeof(ones.key));
    PkXID full = PkXID::fromText("0123456789abcdefghijklmnopqrstuvWXYZ");
    const Case cases[] = {
        {"text then zeros", PkXID::fromText("abc"), "abc", "61626300"},
        {"control bytes", ones, "????????????????????????????????", "0101010101"},
        {"first byte zero", id_of_bytes({0, 'a', 'b'}), "", "00616200"},
        {"null id", PkXID(), "", "0000000000"},
        {"edges of the printable range", id_of_bytes({31, 32, 126, 127, 128, 255, 'z'}), "? ~???z", "1F207E7F80FF7A00"},
        {"bytes after the first zero are not shown", id_of_bytes({'o', 'k', 0, 'n', 'o'}), "ok", "6F6B006E6F00"},
        {"32 printable bytes, no terminator", full, "0123456789abcdefghijklmnopqrstuv", "3031323334"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        EXPECT_EQ(pk_id_to_printable(c.id), c.printable);
        const std::string hex = pk_bytes_to_hex(c.id);
        ASSERT_EQ(hex.size(), 64u);
        EXPECT_EQ(hex.compare(0, strlen(c.hexStart), c.hexStart), 0) << hex;
    }
    std::string onesHex;
    for (int i = 0; i < 32; i++) onesHex += "01";
    EXPECT_EQ(pk_bytes_to_hex(ones), onesHex);
}

// The same rule as the runtime's own printable copy and hex of a name.
TEST(IdText, AgreesWithTheRuntimeNameForms)
{
    std::mt19937 random(20240611);
    for (int round = 0; round < 200; round++) {
        CoreName name{};
        for (uint8_t &byte : name.key) byte = uint8_t(random() % 4 == 0 ? random() % 128 : random());
        if (round % 3 == 0) name.key[random() % 32] = 0;
        core_name_make(&name);
        const PkXID id(name);
        EXPECT_EQ(pk_id_to_printable(id), name.text);
        EXPECT_EQ(pk_bytes_to_hex(id), name.hex);
        EXPECT_EQ(pk_id_to_printable(name.key), name.text);
    }
}

TEST(IdText, XidFromTextAndEquality)
{
    EXPECT_EQ(PkXID::fromText("abc"), id_of_bytes({'a', 'b', 'c'}));
    EXPECT_NE(PkXID::fromText("abc"), PkXID::fromText("abd"));
    EXPECT_EQ(PkXID::fromText(std::string(40, 'x')), PkXID::fromText(std::string(32, 'x'))) << "cut to 32 bytes";
    EXPECT_TRUE(PkXID::fromText("").isNull());
    PkXID lastByte;
    lastByte.key[31] = 1;
    EXPECT_FALSE(lastByte.isNull());
    EXPECT_NE(lastByte, PkXID()) << "all 32 bytes count";
}

TEST(KeepAwake, OneInstance)
{
    EXPECT_EQ(PkDisplay::instance().get(), PkDisplay::instance().get());
}

TEST(KeepAwake, WithoutASessionBusNothingIsHeldAndNothingFails)
{
    SessionBusEnvironment noBus("unix:path=/nonexistent/veltrana-test-bus");
    const std::shared_ptr<PkDisplay> display = PkDisplay::instance();
    display->keepAwake();
    EXPECT_FALSE(display->isKeepingAwake());
    display->allowSleep();
    EXPECT_FALSE(display->isKeepingAwake());
}

TEST(KeepAwake, BusWithoutAScreenSaverHoldsNothing)
{
    PrivateSessionBus bus;
    if (!bus.running()) GTEST_SKIP() << "dbus-daemon could not be started";
    SessionBusEnvironment environment(bus.address);
    const std::shared_ptr<PkDisplay> display = PkDisplay::instance();
    display->keepAwake();
    EXPECT_FALSE(display->isKeepingAwake());
    display->allowSleep();
}

TEST(KeepAwake, RepeatedRequestsAreReleasedByOneAllowSleep)
{
    PrivateSessionBus bus;
    if (!bus.running()) GTEST_SKIP() << "dbus-daemon could not be started";
    SessionBusEnvironment environment(bus.address);
    ScreenSaverService screenSaver(bus.address);
    ASSERT_TRUE(screenSaver.ok);

    const std::shared_ptr<PkDisplay> display = PkDisplay::instance();
    display->keepAwake();
    display->keepAwake();
    EXPECT_TRUE(display->isKeepingAwake());
    EXPECT_EQ(screenSaver.inhibitCalls(), 1) << "the request is a state, not a count";
    EXPECT_EQ(screenSaver.active().size(), 1u);

    display->allowSleep();
    EXPECT_FALSE(display->isKeepingAwake());
    EXPECT_TRUE(screenSaver.active().empty()) << "the screen saver let go of the request";

    display->allowSleep();  // nothing held: nothing to do
    display->keepAwake();   // and a new request works after a release
    EXPECT_TRUE(display->isKeepingAwake());
    EXPECT_EQ(screenSaver.active().size(), 1u);
    display->allowSleep();
    EXPECT_TRUE(screenSaver.active().empty());
}
