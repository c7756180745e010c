#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/cpu.h"
#include "services/utils.h"
#include "scoped_env.h"

extern char **environ;

namespace {

bool same_mode(const PkVideoMode &a, const PkVideoMode &b)
{
    return a.width == b.width && a.height == b.height && a.rateNumerator == b.rateNumerator &&
           a.rateDenominator == b.rateDenominator;
}

std::string mode_text(const PkVideoMode &m)
{
    return std::to_string(m.width) + "," + std::to_string(m.height) + "," + std::to_string(m.rateNumerator) + "," +
           std::to_string(m.rateDenominator);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of "key : value" in /proc/cpuinfo's first processor.
std::string cpuinfo_field(const char *key)
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, strlen(key), key) != 0) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        return value;
    }
    return {};
}

// A private Xvfb on a display it chooses itself (-displayfd).
class PrivateXServer {
public:
    PrivateXServer()
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char *argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "+extension", "RANDR",
                              "-nolisten", "tcp", nullptr};
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char **>(argv), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes the display number once it accepts clients.
        std::string number;
        char c;
        while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~PrivateXServer()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string &display() const { return display_; }

private:
    pid_t pid_ = 0;
    std::string display_;
};

}  // namespace

TEST(PkUtilsText, Split)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"a", "b", "c"}), pk_split("a,b,c", ","));
    EXPECT_EQ((V{"a", "", "b"}), pk_split("a,,b", ","));
    EXPECT_EQ((V{"a", ""}), pk_split("a,", ","));
    EXPECT_EQ((V{""}), pk_split("", ","));
    EXPECT_EQ((V{"whole text"}), pk_split("whole text", ","));
    EXPECT_EQ((V{"k", "v", ""}), pk_split("k::v::", "::"));
    EXPECT_EQ((V{"a,b"}), pk_split("a,b", ""));  // an empty separator must not loop forever
}

TEST(PkUtilsText, LowerAndNames)
{
    EXPECT_EQ("mixed case 42 \xC3\x84", pk_to_lower("MiXeD CaSe 42 \xC3\x84"));

    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {"abcde", false},
        {"abcdef", true},
        {std::string(32, 'x'), true},
        {std::string(33, 'x'), false},
        {"", false},
        {"my name", true},
        {"all{}[]<>!@#$^&*=.,:;|_+-()", true},
        {"100%ok", false},
        {"caf\xC3\xA9 bar", false},
        {std::string("abc\0def", 7), false},
        {"tab\there", false},
    };
    for (const Case &c : cases) EXPECT_EQ(c.valid, pk_is_valid_name(c.name)) << c.name;
}

TEST(PkUtilsText, HexNumbers)
{
    struct Case {
        const char *text;
        uint64_t value;
    } cases[] = {
        {"1F", 31},        {"  ff", 255},      {"0x10", 16},   {"7fzz", 127},
        {"xyz", 0},        {"", 0},            {"FFFFFFFFFFFFFFFF", UINT64_MAX},
        {"10000000000000000", 0},  // does not fit: nothing read
    };
    for (const Case &c : cases) EXPECT_EQ(c.value, pk_hex_to_number(c.text)) << c.text;
}

TEST(PkUtilsText, VideoModeText)
{
    struct Parse {
        const char *text;
        PkVideoMode mode;
    } parses[] = {
        {"1920x1080@60 Hz", {1920, 1080, 60, 1}},
        {"640x480@30 ", {640, 480, 30, 1}},
        {"1920x1080", {}},
        {"1920x1080@60", {}},  // no blank after the rate
        {"x1080@60 Hz", {}},
        {"1920x@60 Hz", {}},
        {"1920x1080@ Hz", {}},
        {"0x1080@60 Hz", {}},
        {"99999999999x1080@60 Hz", {}},
        {"", {}},
    };
    for (const Parse &p : parses) {
        const PkVideoMode got = pk_video_mode_from_text(p.text);
        EXPECT_TRUE(same_mode(p.mode, got)) << p.text << " -> " << mode_text(got);
    }

    EXPECT_EQ("1920x1080", pk_video_mode_to_text({1920, 1080, 60, 1}, false));
    EXPECT_EQ("1920x1080@59 Hz", pk_video_mode_to_text({1920, 1080, 60000, 1001}, true));
    EXPECT_EQ("1280x720@50 Hz", pk_video_mode_to_text({1280, 720, 50, 0}, true));
    EXPECT_TRUE(same_mode({3840, 2160, 30, 1}, pk_video_mode_from_text(pk_video_mode_to_text({3840, 2160, 30, 1}, true))));
}

TEST(PkUtilsText, Utf8ToUtf16)
{
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        // Ill-formed input: each maximal bad sequence is one U+FFFD, and a
        // sequence cut off by the end never reads past it.
        {"a\x80z", u"a\uFFFDz"},
        {"\xC3", u"\uFFFD"},
        {"\xE2\x82", u"\uFFFD"},
        {"\xF0\x9F\x98", u"\uFFFD"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE2\x82x", u"\uFFFDx"},
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.utf16, pk_utf8_to_wide(c.utf8)) << c.utf8;

    // A cut-off sequence at the very end of a heap block: AddressSanitizer
    // sees any read past it.
    auto *tail = static_cast<char *>(malloc(2));
    tail[0] = 'a';
    tail[1] = '\xF0';
    EXPECT_EQ(u"a\uFFFD", pk_utf8_to_wide(std::string(tail, 2)));
    free(tail);
}

TEST(PkUtilsUrl, StripSchemeAndUserAgent)
{
    EXPECT_EQ("host/path", pk_url_strip_scheme("https://host/path"));
    EXPECT_EQ("host/path", pk_url_strip_scheme("http://host/path"));
    EXPECT_EQ("ftp://host", pk_url_strip_scheme("ftp://host"));
    EXPECT_EQ("see https://host", pk_url_strip_scheme("see https://host"));
    EXPECT_EQ("", pk_url_strip_scheme("https://"));

    EXPECT_EQ("A/1.0 (Windows; X)", pk_web_user_agent("A", "1.0", "Windows", "X", ""));
    EXPECT_EQ("A/1.0", pk_web_user_agent("A", "1.0", "", "", ""));
    EXPECT_EQ("A/1.0 (; X)", pk_web_user_agent("A", "1.0", "", "X", ""));
    EXPECT_EQ("A/1.0 (Linux; 6.1; AMD64)", pk_web_user_agent("A", "1.0", "Linux", "6.1", "AMD64"));
}

TEST(PkUtilsUrl, OpenTargets)
{
    struct Case {
        const char *url;
        const char *target;  // "" when refused
    } cases[] = {
        {"example.test/downloads", "http://example.test/downloads"},
        {"http://example.test/a?b=c", "http://example.test/a?b=c"},
        {"https://example.test/", "https://example.test/"},
        {"example.test/?next=http://other.test", ""},     // a scheme inside: kept, so not a web address
        {"file:///etc/passwd#http://x", ""},
        {"javascript:alert(1)//https://x", ""},
        {"/usr/bin/xterm", "http:///usr/bin/xterm"},       // only ever opened as a web address
        {"http://example.test/a b", ""},
        {"http://example.test/\n", ""},
        {"http://ex\xC3\xA4mple.test/", ""},
        {"", ""},
        {"https://", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(c.target, pk_open_url_target(c.url)) << c.url;
}

// pk_open_url hands the address to the user's default handler for its
// scheme; here that is a recorder script in a private XDG environment, so no
// browser starts.
TEST(PkUtilsUrl, OpenUsesTheDefaultHandler)
{
    char dir[] = "/tmp/pk-open-url-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string root = dir;
    ASSERT_EQ(0, mkdir((root + "/data").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root + "/data/applications").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root + "/config").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root + "/empty").c_str(), 0700));
    const std::string script = root + "/record.sh", opened = root + "/opened";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
    ASSERT_EQ(0, chmod(script.c_str(), 0700));
    std::ofstream(root + "/data/applications/pk-recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" << script
        << " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n";
    std::ofstream(root + "/config/mimeapps.list") << "[Default Applications]\n"
                                                     "x-scheme-handler/http=pk-recorder.desktop\n"
                                                     "x-scheme-handler/https=pk-recorder.desktop\n";

    // GIO reads these on first use; this suite touches GIO nowhere else.
    ScopedEnv home("HOME", dir), dataHome("XDG_DATA_HOME", (root + "/data").c_str()),
        dataDirs("XDG_DATA_DIRS", (root + "/empty").c_str()), configHome("XDG_CONFIG_HOME", (root + "/config").c_str()),
        configDirs("XDG_CONFIG_DIRS", (root + "/empty").c_str()), runtime("XDG_RUNTIME_DIR", dir),
        bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"), portal("GTK_USE_PORTAL", nullptr),
        display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", nullptr);

    EXPECT_FALSE(pk_open_url("file:///etc/passwd#http://x"));
    EXPECT_FALSE(pk_open_url("http://example.test/a b"));
    EXPECT_TRUE(pk_open_url("example.test/page?id=7"));

    std::string text;
    for (int i = 0; i < 400 && text.empty(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        text = read_file(opened);
    }
    EXPECT_EQ("http://example.test/page?id=7\n", text);
    std::system(("rm -rf '" + root + "'").c_str());
}

TEST(PkUtilsSystem, ProcessorTexts)
{
    const std::string vendor = pk_cpu_vendor_text();
#if defined(__x86_64__)
    EXPECT_EQ(cpuinfo_field("vendor_id"), vendor);  // the machine's vendor is a known one
#endif

    EXPECT_EQ("AMD64", pk_cpu_architecture_text(false));
    core_cpu_count_override(7);
    const std::string text = pk_cpu_architecture_text(true);
    core_cpu_count_override(0);
    const std::string prefix = vendor.empty() ? "AMD64/" : "AMD64/" + vendor + "/";
    ASSERT_EQ(0u, text.compare(0, prefix.size(), prefix)) << text;
    const std::string suffix = "/7 CPU";
    ASSERT_GE(text.size(), prefix.size() + suffix.size());
    EXPECT_EQ(suffix, text.substr(text.size() - suffix.size()));
    const std::string brand = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    EXPECT_FALSE(brand.empty());
    for (char c : brand) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << text;
}

TEST(PkUtilsSystem, DisplayModeWithoutDisplay)
{
    const PkVideoMode fallback = {3840, 2160, 60, 1};
    {
        ScopedEnv display("DISPLAY", nullptr);
        EXPECT_TRUE(same_mode(fallback, pk_display_mode_current()));
    }
    {
        ScopedEnv display("DISPLAY", ":65000");  // nothing listens there
        EXPECT_TRUE(same_mode(fallback, pk_display_mode_current()));
    }
}

TEST(PkUtilsSystem, DisplayModeOfPrimaryScreen)
{
    if (system("command -v Xvfb >/dev/null") != 0) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXServer server;
    if (server.display().empty()) GTEST_SKIP() << "Xvfb did not start";
    ScopedEnv display("DISPLAY", server.display().c_str());
    // Xvfb's modes carry no timings, so the rate is the start value.
    const PkVideoMode mode = pk_display_mode_current();
    EXPECT_TRUE(same_mode({1024, 768, 60, 1}, mode)) << mode_text(mode);
}
