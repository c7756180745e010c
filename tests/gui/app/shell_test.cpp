// The application shell's pieces that need no display: application
// information, the size levels, the display texts, the resource bundles and
// the folders command-line handling fixes and publishes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/info.h"
#include "app/resources.h"
#include "app/storage.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "gui/app/app_test_support.h"
#include "services/utils.h"
#include "scoped_env.h"

namespace {

const ::testing::Environment *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

std::string sizes(const std::vector<AppSize> &levels)
{
    std::string text;
    for (const AppSize &s : levels) text += (text.empty() ? "" : " ") + std::to_string(s.width) + "x" + std::to_string(s.height);
    return text;
}

// ---- application information ---------------------------------------------------------------

TEST(AppInfo, FixedAnswers)
{
    VeltranaAppInfo info;
    const struct {
        std::string got;
        std::string want;
    } cases[] = {
        {info.productName(false, false), "veltrana"},
        {info.productName(false, true), "veltrana"},  // compact means nothing without display
        {info.productName(true, false), "veltrana x"},
        {info.productName(true, true), "veltranax"},
        {info.versionString(false), "7.0"},
        {info.versionString(true), "7,0"},
        {info.systemNodeName(), "veltrana.system"},
        {info.applicationId(), "net.veltrana"},
        {info.webAppId(), "net.veltrana"},
        {info.handleWord(true), "veltname"},
        {info.handleWord(false), "Veltname"},
        {info.siteUrl(0, false), "www.veltrana.net"},
        {info.siteUrl(0, true), "https://www.veltrana.net"},
        {info.siteUrl(1, true), "https://www.veltrana.net/downloads.html"},
        // No catalogue is installed: the message ids with their dots.
        {info.initializingText(), "Initializing..."},
        {info.pleaseWaitText(), "Please wait..."},
        {info.noConnectionText(), "No connection"},
        {info.discoveryText(), "Discovery..."},
        {info.textReservedA(), ""},
        {info.textReservedB(), ""},
        {info.displayServer(), "X11"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want);
    EXPECT_EQ(info.port(), 60149);
    EXPECT_EQ(info.majorVersion(), 7);
    EXPECT_EQ(info.minorVersion(), 0);
    EXPECT_EQ(info.firstReserved(), 0);
}

TEST(AppInfo, HostNameAndUserAgentDescribeThisMachine)
{
    VeltranaAppInfo info;
    EXPECT_EQ(info.hostName().rfind("Linux", 0), 0u) << info.hostName();
    const std::string agent = info.userAgent(false);
    EXPECT_TRUE(std::regex_match(agent, std::regex(R"(net\.veltrana/7\.0 \(Linux( \d+\.\d+\.\d+)?; 64 bit; [A-Za-z0-9_]+\))")))
        << agent;
    EXPECT_NE(info.userAgent(true).find("net.veltrana/7.0 (Linux"), std::string::npos);
}

TEST(AppInfo, SystemVersionFromReleaseText)
{
    const struct {
        const char *release;
        bool ok;
        unsigned major, minor, patch;
    } cases[] = {
        {"6.1.0-18-amd64", true, 6, 1, 0},
        {"5.15.133.1-microsoft-standard", true, 5, 15, 133},
        {"6.1", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"x.1.2", false, 0, 0, 0},
    };
    for (const auto &c : cases) {
        unsigned v[3] = {9, 9, 9};
        EXPECT_EQ(pk_system_version(c.release, v), c.ok) << c.release;
        if (c.ok) {
            EXPECT_EQ(v[0], c.major);
            EXPECT_EQ(v[1], c.minor);
            EXPECT_EQ(v[2], c.patch);
        }
    }
}

// ---- size levels ------------------------------------------------------------------------------

TEST(AppScaler, LevelsForScreensAndContents)
{
    const struct {
        const char *purpose;
        AppSize screen, content;
        bool compact;
        const char *levels;
        AppSize minimum, compactLevel;
    } cases[] = {
        {"the 1920 x 1080 example", {1920, 1080}, {}, false,
         "640x360 822x462 1006x566 1188x668 1372x772 1554x874 1738x978 1920x1080", {640, 360}, {}},
        {"content aspect wins over the screen's", {1920, 1080}, {1000, 1000}, false,
         "640x640 822x822 1006x1006 1188x1188 1372x1372 1554x1554 1738x1738 1920x1920", {640, 640}, {}},
        {"compact: 160 wide minimum, the 480-wide level between its neighbours", {1920, 1080}, {1280, 720}, true,
         "160x90 412x232 480x270 662x372 914x514 1166x656 1418x798 1668x938 1920x1080", {160, 90}, {480, 270}},
        {"a screen at the minimum width keeps the constructor's minimum", {640, 480}, {}, false,
         "320x240 366x274 412x308 458x342 502x376 548x412 594x446 640x480", {320, 240}, {}},
        {"a screen narrower than the minimum level: every level at the minimum width", {300, 200}, {}, false,
         "320x214 320x214 320x214 320x214 320x214 320x214 320x214 320x214", {320, 240}, {}},
        {"an empty screen leaves the levels as they were", {0, 0}, {}, false, "320x240", {320, 240}, {}},
        {"an all-ones width is no screen", {UINT32_MAX, 1080}, {}, false, "320x240", {320, 240}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        VeltranaAppScaler scaler;
        scaler.computeLevels(c.screen, c.content, c.compact);
        EXPECT_EQ(sizes(scaler.levels), c.levels);
        EXPECT_EQ(scaler.minimumLevel, c.minimum);
        EXPECT_EQ(scaler.compactLevel, c.compactLevel);
        EXPECT_EQ(scaler.screen, c.screen);
        EXPECT_EQ(scaler.computed, c.screen.valid());
    }
}

TEST(AppScaler, RepeatedComputationKeepsTheListAndPutsANewMinimumInFront)
{
    VeltranaAppScaler scaler;
    scaler.computeLevels({1920, 1080}, {}, false);
    const std::string first = sizes(scaler.levels);
    // The same minimum again: nothing grows.
    scaler.computeLevels({1920, 1080}, {}, false);
    scaler.computeLevels({1280, 720}, {}, false);
    EXPECT_EQ(sizes(scaler.levels), first);
    // A picture window turning compact: its 160-wide minimum goes in front.
    scaler.computeLevels({1920, 1080}, {1280, 720}, true);
    EXPECT_EQ(sizes(scaler.levels), "160x90 " + first);
    EXPECT_EQ(scaler.compactLevel, (AppSize{480, 270}));
}

TEST(AppScaler, LevelIndexIsTheLargestThatFits)
{
    VeltranaAppScaler scaler;
    scaler.levels = {{640, 360}, {822, 462}};
    const struct {
        AppSize available;
        int index;
    } cases[] = {{{700, 700}, 0}, {{600, 600}, -1}, {{822, 462}, 1}, {{2000, 400}, 0}, {{5000, 5000}, 1}};
    for (const auto &c : cases) EXPECT_EQ(scaler.levelIndex(c.available), c.index) << c.available.width;
    scaler.levels.clear();
    EXPECT_EQ(scaler.levelIndex({5000, 5000}), -1);
}

TEST(AppScaler, WithoutAnyDisplayTheScreenIsTheModeQueryFallback)
{
    // This suite never opens a display; with DISPLAY unset the X server
    // cannot be asked either.
    ScopedEnv display("DISPLAY", nullptr);
    VeltranaAppScaler scaler;
    scaler.update(false, {});
    EXPECT_EQ(scaler.screen, (AppSize{3840, 2160}));
    EXPECT_EQ(scaler.levels.back(), (AppSize{3840, 2160}));
}

// ---- display texts ----------------------------------------------------------------------------

TEST(DisplayTexts, ResolutionProfiles)
{
    const struct {
        const char *value, *text;
    } cases[] = {
        {"automatic", "Automatic best"}, {"maximum", "Maximum resolution"}, {"super", "Super resolution"},
        {"high", "High resolution"},     {"medium", "Medium resolution"},   {"classic", "Classic resolution"},
        {"low", "Low resolution"},
    };
    for (const auto &c : cases) {
        PkXMLResolutionProfileObject profile;
        profile.value = c.value;
        EXPECT_EQ(resolutionProfileText(profile), c.text);
    }
    PkXMLResolutionProfileObject other;
    other.value = "Low";
    EXPECT_EQ(resolutionProfileText(other), "Unknown");
    other.value = "";
    EXPECT_EQ(resolutionProfileText(other), "Unknown");
}

TEST(DisplayTexts, PlaybackDelays)
{
    const struct {
        const char *value, *text;
    } cases[] = {
        {"0", "no buffer"},
        {"250", "buffer 250 millisecond(s)"},
        {"3000", "buffer 3000 millisecond(s)"},
    };
    for (const auto &c : cases) {
        PkXMLPlaybackObject delay;
        delay.value = c.value;
        EXPECT_EQ(playbackDelayText(delay), c.text);
    }
}

TEST(DisplayTexts, ChannelNames)
{
    auto channel = [](const char *format, uint32_t index) {
        char text[40];
        snprintf(text, sizeof(text), format, index);
        return PkXID::fromText(text);
    };
    const struct {
        PkXID name;
        const char *text;
    } cases[] = {
        {channel("p2p.bnd.%08X.chnl", 0), "Main channel"},
        {channel("p2m.bnd.%08X.chnl", 0), "Channel 1"},
        {channel("p2m.bnd.%08X.chnl", 31), "Channel 32"},
        {channel("stream.%08X", 1), "N/A"},
        {PkXID::fromText("p2m.bnd.chnl"), "N/A"},
        {PkXID(), "N/A"},
    };
    for (const auto &c : cases) EXPECT_EQ(channelDisplayName(c.name), c.text) << pk_id_to_printable(c.name);
}

TEST(DisplayTexts, BitRatesBelongToTheLowerUnitAtTheLimit)
{
    const struct {
        uint64_t bits;
        const char *text;
    } cases[] = {
        {0, "0 bit/sec"},
        {1000, "1000 bit/sec"},
        {1001, "1.00 kbit/sec"},
        {1000000, "1000.00 kbit/sec"},
        {2500000, "2.50 Mbit/sec"},
        {1000000000, "1000.00 Mbit/sec"},
        {1000000001, "1.00 Gbit/sec"},
        {UINT64_MAX, "18446744073.71 Gbit/sec"},
    };
    for (const auto &c : cases) EXPECT_EQ(bitrateText(c.bits), c.text) << c.bits;
}

TEST(DisplayTexts, DocumentLanguageFromLanguageList)
{
    const struct {
        const char *language;
        const char *code;
    } cases[] = {
        {nullptr, "en"},     {"", "en"},          {"fr_CA:de", "fr"},       {"pt_BR", "pt_br"},
        {"es_US", "es_us"},  {"es_ES", "es"},     {"es_MX", "es"},          {"de_DE", "de"},
        {"zh_CN:ja", "ja"},  {"zh_CN", "en"},     {"pt", "en"},             {"ZH_HANS", "zh_hans"},
        {"::ru", "ru"},      {"hy_AM.UTF-8", "hy"}, {"tr", "tr"},           {"xx_YY:ko_KR", "ko"},
    };
    for (const auto &c : cases) {
        ScopedEnv language("LANGUAGE", c.language);
        EXPECT_EQ(documentLanguage(), c.code) << (c.language ? c.language : "(unset)");
    }
}

// ---- resource bundles -------------------------------------------------------------------------

// Every page the windows read: the about box's, the licence agreement and
// the instruction topics in every language.
std::vector<std::string> bundle_entries()
{
    std::vector<std::string> names = {"pkabout_preamble_0", "pkabout_preamble_1", "pkabout_eula", "eula",
                                      "arminfo_title",      "arminfo_content",    "arminfo_command", "arminfo_end"};
    for (int i = 0; i <= 5; ++i) {
        names.push_back("pkabout_license_title_" + std::to_string(i));
        names.push_back("pkabout_license_subject_" + std::to_string(i));
    }
    for (int i = 0; i <= 12; ++i)
        for (const char *part : {"name", "url", "license", "copyright"})
            names.push_back(std::string("pkabout_project_") + part + "_" + std::to_string(i));
    for (const char *topic : {"description", "streamer", "viewer", "requirements", "os", "appsupport",
                              "appnotsupport", "troubleshooting", "router", "copyrights"})
        for (const char *language : {"en", "de", "es", "es_us", "fr", "hy", "it", "ja", "ko", "pl", "pt_br", "ru",
                                     "tr", "zh_hans"})
            names.push_back(std::string("pkinstruction_") + topic + "_" + language);
    return names;
}

std::string page(const std::string &name)
{
    return readResourceText(html_get_resource(), std::string(PK_HTML_BUNDLE_PATH) + "/" + name + ".txt");
}

class HtmlBundle : public ::testing::Test {
protected:
    void SetUp() override { html_register_resource(); }
    void TearDown() override { html_unregister_resource(); }
};

TEST_F(HtmlBundle, HoldsEveryPageAndNothingElse)
{
    const std::vector<std::string> names = bundle_entries();
    ASSERT_EQ(names.size(), 212u);
    for (const std::string &name : names) {
        const std::string text = page(name);
        EXPECT_FALSE(text.empty()) << name;
        EXPECT_TRUE(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) << name;
    }
    gchar **children = g_resource_enumerate_children(html_get_resource(), PK_HTML_BUNDLE_PATH,
                                                     G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    ASSERT_NE(children, nullptr);
    EXPECT_EQ(g_strv_length(children), names.size());
    g_strfreev(children);
    // Stored as they are: a reader may map the bytes without inflating.
    guint32 flags = 0;
    ASSERT_TRUE(g_resource_get_info(html_get_resource(), PK_HTML_BUNDLE_PATH "/eula.txt",
                                    G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr, &flags, nullptr));
    EXPECT_EQ(flags & G_RESOURCE_FLAGS_COMPRESSED, 0u);
}

TEST_F(HtmlBundle, PagesTheWindowsOpenFirst)
{
    EXPECT_NE(page("pkinstruction_os_en").find("Linux"), std::string::npos);
    EXPECT_EQ(page("pkabout_eula"), page("eula"));
    EXPECT_NE(page("eula").find("veltrana"), std::string::npos);
    // The page a German desktop gets.
    ScopedEnv language("LANGUAGE", "de_DE");
    EXPECT_NE(page("pkinstruction_viewer_" + documentLanguage()).find("Kachel"), std::string::npos);
}

TEST_F(HtmlBundle, UnknownNamesAndMissingBundleGiveNothing)
{
    EXPECT_EQ(page("pkinstruction_os_xx"), "");
    EXPECT_EQ(page("pkabout_project_name_13"), "");
    EXPECT_EQ(readResourceText(html_get_resource(), "/net/veltrana/html"), "");
    EXPECT_EQ(readResourceText(html_get_resource(), ""), "");
    EXPECT_EQ(readResourceText(nullptr, PK_HTML_BUNDLE_PATH "/eula.txt"), "");
}

TEST(HtmlBundleRegistration, PairedAndRepeatable)
{
    EXPECT_EQ(html_get_resource(), nullptr);
    // Twice registered must not link GLib's list of resources into a loop,
    // which would hang the next lookup.
    html_register_resource();
    html_register_resource();
    EXPECT_NE(html_get_resource(), nullptr);
    GBytes *global = g_resources_lookup_data(PK_HTML_BUNDLE_PATH "/eula.txt", G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    ASSERT_NE(global, nullptr);
    g_bytes_unref(global);
    html_unregister_resource();
    EXPECT_EQ(html_get_resource(), nullptr);
    html_unregister_resource();
    EXPECT_EQ(g_resources_lookup_data(PK_HTML_BUNDLE_PATH "/eula.txt", G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr), nullptr);
    html_register_resource();
    EXPECT_FALSE(page("eula").empty());
    html_unregister_resource();
}

TEST(PngResources, ProgramPicturesByIdAndNothingForOthers)
{
    const struct {
        uint32_t id;
        uint32_t side;
    } pictures[] = {{PK_PNG_TOAST_ICON, 128}, {PK_PNG_WINDOW_ICON, 64}};
    for (const auto &p : pictures) {
        const std::vector<uint8_t> bytes = loadPngResource(p.id);
        ASSERT_GT(bytes.size(), 24u) << p.id;
        EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
        // The IHDR width, big-endian at offset 16.
        EXPECT_EQ(uint32_t(bytes[16]) << 24 | uint32_t(bytes[17]) << 16 | uint32_t(bytes[18]) << 8 | bytes[19], p.side);
    }
    for (uint32_t id : {0u, 146u, 999999u}) EXPECT_TRUE(loadPngResource(id).empty()) << id;
}

// ---- folders --------------------------------------------------------------------------------

std::string this_programs_folder()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

TEST(CommandLineFolders, ProgramFolderFromTheFirstArgument)
{
    const struct {
        std::vector<std::string> arguments;
        std::string folder;
    } cases[] = {
        {{}, "."},
        {{"/usr/bin/veltrana", "--theme", "dark"}, "/usr/bin"},
        {{"./veltrana"}, "."},
        {{"/veltrana"}, "/"},
        {{"build/gui/app/veltrana"}, "build/gui/app"},
        // Through PATH: where the executable is, not a folder "veltrana".
        {{"veltrana"}, this_programs_folder()},
        {{"dir\\veltrana"}, this_programs_folder()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(pk_program_folder(c.arguments), c.folder) << (c.arguments.empty() ? "" : c.arguments[0]);
}

TEST(CommandLineFolders, LocaleBaseAndLanguageList)
{
    {
        ScopedEnv locale("APP_LOCALE", "/opt/translations");
        EXPECT_EQ(pk_locale_base("/usr/bin"), "/opt/translations");
    }
    {
        ScopedEnv locale("APP_LOCALE", "");
        EXPECT_EQ(pk_locale_base("/usr/bin"), "/usr/bin");
    }
    {
        ScopedEnv locale("APP_LOCALE", nullptr);
        EXPECT_EQ(pk_locale_base("/usr/bin"), "/usr/bin");
    }
    const struct {
        const char *locale;
        const char *list;
    } cases[] = {{"de_DE.UTF-8", "de_DE"}, {"en_US", "en_US"}, {"sr_RS@latin", "sr_RS"}, {"pt-BR", "pt_BR"},
                 {"C", ""},            {"C.UTF-8", ""},      {"POSIX", ""},           {nullptr, ""}};
    for (const auto &c : cases) EXPECT_EQ(pk_language_list(c.locale), c.list) << (c.locale ? c.locale : "null");
}

TEST(CommandLineFolders, DataFolderMadePublishedAndUsedBySettingsPaths)
{
    // XDG_CONFIG_HOME points at a folder that does not exist yet.
    const std::string folder = pk_data_folder();
    EXPECT_EQ(folder, (apptest::scratch_root() / "config" / "veltrana").string());
    struct stat info;
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));

    const std::string icon = pk_write_notification_icon(folder);
    EXPECT_EQ(icon, folder + "/veltrana.png");
    const std::string written = apptest::read_file(icon);
    const std::vector<uint8_t> picture = loadPngResource(PK_PNG_TOAST_ICON);
    EXPECT_EQ(written, std::string(picture.begin(), picture.end()));

    ASSERT_EQ(pk_publish_folders("/opt/veltrana", folder), 0);
    EXPECT_EQ(pk_store_get_int("fs.path.encoding"), 2);
    EXPECT_EQ(pk_store_get_wide_text("fs.path"), pk_utf8_to_wide(folder));
    CoreValueList *list = core_process_valuelist(CORE_VALUELIST_REPLACE);
    for (uint32_t index : {0u, 10u}) {
        char text[64] = {};
        uint64_t size = 0;
        uint32_t type = 9;
        ASSERT_EQ(core_valuelist_get(list, "fs.path", index, &type, text, sizeof(text), &size), 0);
        EXPECT_EQ(std::string(text, size), "/opt/veltrana");
        EXPECT_EQ(type, 1u);
        int32_t encoding = -1;
        ASSERT_EQ(core_valuelist_get(list, "fs.path.encoding", index, &type, &encoding, sizeof(encoding), &size), 0);
        EXPECT_EQ(encoding, 0);
        EXPECT_EQ(type, 0u);
    }
    VeltranaAppPath<PkPath> paths;
    EXPECT_EQ(paths.settingsFile(), folder + "/veltrana.main.xml");

    // Published again (a second start of the handler): replaced, not doubled.
    ASSERT_EQ(pk_publish_folders("/usr/bin", folder), 0);
    char text[64] = {};
    uint64_t size = 0;
    ASSERT_EQ(core_valuelist_get(list, "fs.path", 0, nullptr, text, sizeof(text), &size), 0);
    EXPECT_EQ(std::string(text, size), "/usr/bin");
}

TEST(CommandLineFolders, NonAsciiDataFolderTravelsAsUtf16)
{
    const std::string folder = (apptest::scratch_root() / "donn\xC3\xA9" "es").string();
    ASSERT_EQ(pk_publish_folders(".", folder), 0);
    const std::u16string wide = pk_store_get_wide_text("fs.path");
    EXPECT_EQ(wide, pk_utf8_to_wide(folder));
    EXPECT_NE(wide.find(u'\u00E9'), std::u16string::npos);
}

}  // namespace
