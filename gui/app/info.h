// The application's identity and the window-size levels of the display.
//
// PkAppInfo answers what the interface side needs to know about the program
// itself: product name and version, application id, the node's base port
// and system name, the default host name, the web user agent and a few
// status texts. It has no state; VeltranaAppInfo implements it, and users
// build one on the stack wherever they need a value.
//
// AppScaler turns the size of the screen (and, for a picture window, the
// size of the picture) into a short ascending list of window sizes, the
// levels, from which a window picks the largest that fits. Each window owns
// its scaler and uses it on the GTK main thread only; update() reads the
// toolkit's default display, or the X server directly when the toolkit has
// none. Nothing here throws except on memory exhaustion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PkAppInfo {
public:
    virtual ~PkAppInfo() = default;
    virtual int firstReserved() = 0;
    // The node's base UDP port.
    virtual int port() = 0;
    // Only nodes with the same system name meet.
    virtual std::string systemNodeName() = 0;
    // The default user name of this machine: the system's name and the
    // computer's name.
    virtual std::string hostName() = 0;
    // Status texts, translated.
    virtual std::string initializingText() = 0;
    virtual std::string pleaseWaitText() = 0;
    virtual std::string noConnectionText() = 0;
    virtual std::string discoveryText() = 0;
    virtual std::string textReservedA() = 0;
    virtual std::string textReservedB() = 0;
    // Page 0: the site's host; page 1: its downloads page. With the scheme,
    // "https://" in front.
    virtual std::string siteUrl(int page, bool withScheme) = 0;
    // The id sent with web requests.
    virtual std::string webAppId() = 0;
    // "7.0", or "7,0" with comma.
    virtual std::string versionString(bool comma) = 0;
    virtual std::string userAgent(bool withCpu) = 0;
    // "veltrana"; for display "veltrana x", or "veltranax" when compact.
    virtual std::string productName(bool display, bool compact) = 0;
    virtual int majorVersion() = 0;
    virtual int minorVersion() = 0;
    // The word for the user's public handle in interface texts.
    virtual std::string handleWord(bool lower) = 0;
    // The GTK application id, also the id of desktop notifications.
    virtual std::string applicationId() = 0;
    virtual std::string displayServer() = 0;
};

class VeltranaAppInfo : public PkAppInfo {
public:
    int firstReserved() override;
    int port() override;
    std::string systemNodeName() override;
    std::string hostName() override;
    std::string initializingText() override;
    std::string pleaseWaitText() override;
    std::string noConnectionText() override;
    std::string discoveryText() override;
    std::string textReservedA() override;
    std::string textReservedB() override;
    std::string siteUrl(int page, bool withScheme) override;
    std::string webAppId() override;
    std::string versionString(bool comma) override;
    std::string userAgent(bool withCpu) override;
    std::string productName(bool display, bool compact) override;
    int majorVersion() override;
    int minorVersion() override;
    std::string handleWord(bool lower) override;
    std::string applicationId() override;
    std::string displayServer() override;
};

// "major.minor.patch" of a kernel release text such as "6.1.0-18-amd64";
// false when it does not start with three dot-separated numbers.
bool pk_system_version(const std::string &release, unsigned (&version)[3]);

// A window size. Valid when neither part is 0 and neither has all bits set.
struct AppSize {
    uint32_t width = 0;
    uint32_t height = 0;

    bool valid() const { return width != 0 && height != 0 && width != UINT32_MAX && height != UINT32_MAX; }
    bool operator==(const AppSize &other) const { return width == other.width && height == other.height; }
    bool operator!=(const AppSize &other) const { return !(*this == other); }
};

class AppScaler {
public:
    virtual ~AppScaler() = default;

    // Works out the screen size (the toolkit's primary monitor, else the X
    // server's current mode, else 800 x 480) and computes the levels.
    void update(bool compact, AppSize content);

    // The levels for this screen, following the content's aspect when the
    // content is valid, else the screen's. An invalid screen changes
    // nothing. A repeated computation puts the new minimum level in front of
    // the list (unless the list already starts with it) and keeps the rest,
    // so that indexes a window took earlier still name the same sizes; only
    // a screen no wider than the minimum width rebuilds the list.
    void computeLevels(AppSize screen, AppSize content, bool compact);

    // The index of the largest level that fits `available`, scanning from
    // the front: the last level before the first one wider or taller than
    // it; -1 when the list is empty or its first level does not fit.
    int levelIndex(AppSize available) const;

    bool computed = false;
    uint32_t levelCount = 0;
    std::vector<AppSize> levels;  // smallest first
    // The level the window chose last; the scaler itself never touches it.
    AppSize currentLevel;
    // The extra 480-wide level of compact mode; 0 x 0 until computed.
    AppSize compactLevel;
    AppSize minimumLevel;
    // The inputs of the last computation.
    AppSize screen;
    AppSize content;

protected:
    AppScaler() = default;
};

// Eight levels from 320 x 240 on.
class VeltranaAppScaler : public AppScaler {
public:
    VeltranaAppScaler();
};
