#include "app/info.h"

#include <gdk/gdk.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

#include "app/texts.h"
#include "services/utils.h"

namespace {

constexpr int kPort = 60149;
constexpr int kMajorVersion = 7;
constexpr int kMinorVersion = 0;
constexpr const char *kProductName = "veltrana";
constexpr const char *kApplicationId = "net.veltrana";
constexpr const char *kSystemNodeName = "veltrana.system";
constexpr const char *kSiteHost = "www.veltrana.net";

// The screen size when nothing better is known, and the height a portrait
// monitor's width is scaled to (the landscape 800 x 480 aspect).
constexpr AppSize kDefaultScreen{800, 480};

std::string system_name()
{
    struct utsname names;
    if (uname(&names) == 0 && names.sysname[0] != '\0') return names.sysname;
    return "Linux";
}

uint32_t round_up_to_even(uint64_t value)
{
    const uint64_t even = (value + 1) & ~uint64_t{1};
    return even > UINT32_MAX - 1 ? UINT32_MAX - 1 : static_cast<uint32_t>(even);
}

// value * numerator / denominator without the 32-bit product wrapping.
uint64_t scale(uint64_t value, uint32_t numerator, uint32_t denominator)
{
    return denominator == 0 ? 0 : value * numerator / denominator;
}

}  // namespace

// ---- application information ------------------------------------------------------------------

int VeltranaAppInfo::firstReserved() { return 0; }
int VeltranaAppInfo::port() { return kPort; }
std::string VeltranaAppInfo::systemNodeName() { return kSystemNodeName; }

std::string VeltranaAppInfo::hostName()
{
    // The system's name stands where the name of its maker stood: the text
    // becomes the default user name, which peers see.
    const std::string system = system_name();
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0') return system;
    return system + " " + host;
}

std::string VeltranaAppInfo::initializingText() { return pk_translate("Initializing") + "..."; }
std::string VeltranaAppInfo::pleaseWaitText() { return pk_translate("Please wait") + "..."; }
std::string VeltranaAppInfo::noConnectionText() { return pk_translate("No connection"); }
std::string VeltranaAppInfo::discoveryText() { return pk_translate("Discovery") + "..."; }
std::string VeltranaAppInfo::textReservedA() { return std::string(); }
std::string VeltranaAppInfo::textReservedB() { return std::string(); }

std::string VeltranaAppInfo::siteUrl(int page, bool withScheme)
{
    std::string url = withScheme ? "https://" : "";
    url += kSiteHost;
    if (page == 1) url += "/downloads.html";
    return url;
}

std::string VeltranaAppInfo::webAppId() { return applicationId(); }

std::string VeltranaAppInfo::versionString(bool comma)
{
    return std::to_string(kMajorVersion) + (comma ? "," : ".") + std::to_string(kMinorVersion);
}

bool pk_system_version(const std::string &release, unsigned (&version)[3])
{
    unsigned major = 0, minor = 0, patch = 0;
    int used = 0;
    if (sscanf(release.c_str(), "%u.%u.%u%n", &major, &minor, &patch, &used) != 3 || used == 0) return false;
    version[0] = major;
    version[1] = minor;
    version[2] = patch;
    return true;
}

std::string VeltranaAppInfo::userAgent(bool withCpu)
{
    std::string system = system_name();
    struct utsname names;
    unsigned version[3];
    if (uname(&names) == 0 && pk_system_version(names.release, version)) {
        char text[48];
        snprintf(text, sizeof(text), " %u.%u.%u", version[0], version[1], version[2]);
        system += text;
    }
    const std::string bits = std::to_string(sizeof(void *) * 8) + " bit";
    return pk_web_user_agent(applicationId(), versionString(false), system, bits, pk_cpu_architecture_text(withCpu));
}

std::string VeltranaAppInfo::productName(bool display, bool compact)
{
    if (!display) return kProductName;
    return compact ? std::string(kProductName) + "x" : std::string(kProductName) + " x";
}

int VeltranaAppInfo::majorVersion() { return kMajorVersion; }
int VeltranaAppInfo::minorVersion() { return kMinorVersion; }
std::string VeltranaAppInfo::handleWord(bool lower) { return lower ? "veltname" : "Veltname"; }
std::string VeltranaAppInfo::applicationId() { return kApplicationId; }

// The picture path of this build is X11 (screen capture and playback
// windows alike).
std::string VeltranaAppInfo::displayServer() { return "X11"; }

// ---- display scaling ---------------------------------------------------------------------------

VeltranaAppScaler::VeltranaAppScaler()
{
    computed = false;
    levelCount = 8;
    minimumLevel = {320, 240};
    levels = {minimumLevel};
}

void AppScaler::update(bool compact, AppSize contentSize)
{
    AppSize screenSize = kDefaultScreen;
    GdkDisplay *display = gdk_display_get_default();
    GdkMonitor *monitor = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
    if (monitor != nullptr) {
        GdkRectangle geometry;
        gdk_monitor_get_geometry(monitor, &geometry);
        screenSize = {static_cast<uint32_t>(geometry.width), static_cast<uint32_t>(geometry.height)};
        if (geometry.height > geometry.width)
            screenSize.height = static_cast<uint32_t>(scale(screenSize.width, kDefaultScreen.height, kDefaultScreen.width));
    } else {
        const PkVideoMode mode = pk_display_mode_current();
        const AppSize current{mode.width, mode.height};
        if (current.valid()) screenSize = current;
    }
    computeLevels(screenSize, contentSize, compact);
}

void AppScaler::computeLevels(AppSize screenSize, AppSize contentSize, bool compact)
{
    screen = screenSize;
    content = contentSize;
    if (!screen.valid()) return;

    // The height of a level w wide: the content's aspect when there is a
    // content, else the screen's.
    auto height_for = [&](uint64_t width) {
        return content.valid() ? scale(width, content.height, content.width) : scale(width, screen.height, screen.width);
    };

    uint32_t minimumWidth = 640;
    if (compact) {
        compactLevel = {480, round_up_to_even(height_for(480))};
        minimumWidth = 160;
    }
    if (screen.width > minimumWidth) {
        minimumLevel = {minimumWidth, round_up_to_even(height_for(minimumWidth))};
        if (computed) {
            if (levels.empty() || levels.front() != minimumLevel) levels.insert(levels.begin(), minimumLevel);
            return;
        }
    }

    levels.clear();
    // A screen narrower than the minimum level would make the step negative
    // (and, in unsigned arithmetic, enormous): the levels stay at the
    // minimum then.
    const float step = screen.width > minimumLevel.width && levelCount > 1
                           ? static_cast<float>(screen.width - minimumLevel.width) / static_cast<float>(levelCount - 1)
                           : 0.0f;
    auto width_at = [&](uint32_t i) { return static_cast<uint64_t>(static_cast<float>(i) * step + minimumLevel.width); };
    for (uint32_t i = 0; i < levelCount; ++i) {
        const uint64_t w = width_at(i);
        const AppSize level{round_up_to_even(w), round_up_to_even(height_for(w))};
        levels.push_back(level);
        if (compactLevel.valid()) {
            const uint64_t nextWidth = width_at(i + 1);
            const AppSize next{round_up_to_even(nextWidth), round_up_to_even(height_for(nextWidth))};
            if (compactLevel.width < next.width && compactLevel.height < next.height &&
                compactLevel.width > level.width && compactLevel.height > level.height)
                levels.push_back(compactLevel);
        }
    }
    computed = true;
}

int AppScaler::levelIndex(AppSize available) const
{
    int index = -1;
    for (const AppSize &level : levels) {
        if (level.width > available.width || level.height > available.height) break;
        ++index;
    }
    return index;
}
