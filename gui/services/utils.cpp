#include "services/utils.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <gio/gio.h>

#include <cctype>
#include <cstring>
#include <locale>
#include <sstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define PK_HAVE_CPUID 1
#endif

#include "core/cpu.h"
#include "core/log.h"

namespace {

const char kNameCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _+-(){}[]<>!@#$^&*=.,:;|";

const char *const kKnownCpuVendors[] = {
    "AMDisbetter!", "AuthenticAMD", "CentaurHauls", "CyrixInstead", "GenuineIntel", "GenuineIotel",
    "TransmetaCPU", "GenuineTMx86", "Geode by NSC", "NexGenDriven", "RiseRiseRise", "SiS SiS SiS ",
    "UMC UMC UMC ", "VIA VIA VIA ", "Vortex86 SoC", "  Shanghai  ", "HygonGenuine", "Genuine  RDC",
    "E2K MACHINE",  "GenuineAO486", "MiSTer AO486", "bhyve bhyve ", "KVMKVMKVM",    "TCGTCGTCGTCG",
    "Microsoft Hv", "MicrosoftXTA", " lrpepyh  vr", "VMwareVMware", "XenVMMXenVMM", "ACRNACRNACRN",
    " QNXQVMBSQG ", "VirtualApple",
};
static_assert(sizeof(kKnownCpuVendors) / sizeof(kKnownCpuVendors[0]) == 32);

// What the display answers when it cannot be asked: a 4K screen at 60 Hz,
// so that nothing sized from it comes out too small.
constexpr PkVideoMode kFallbackDisplayMode = {3840, 2160, 60, 1};

bool starts_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// The decimal number at the start of `text` from `start`, saturating at
// 0xFFFFFFFF (which makes a mode incomplete); false when no digit is there.
bool read_u32(const std::string &text, size_t start, uint32_t *value)
{
    if (start >= text.size() || !isdigit(static_cast<unsigned char>(text[start]))) return false;
    uint64_t number = 0;
    for (size_t i = start; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); i++) {
        number = number * 10 + uint64_t(text[i] - '0');
        if (number > 0xFFFFFFFFu) number = 0xFFFFFFFFu;
    }
    *value = uint32_t(number);
    return true;
}

bool mode_complete(const PkVideoMode &mode)
{
    for (uint32_t field : {mode.width, mode.height, mode.rateNumerator, mode.rateDenominator})
        if (field == 0 || field == 0xFFFFFFFFu) return false;
    return true;
}

// Width, height and refresh of the CRTC that shows `output`; false when the
// output shows nothing.
bool read_output_mode(Display *display, XRRScreenResources *resources, RROutput output, PkVideoMode *mode)
{
    XRROutputInfo *info = XRRGetOutputInfo(display, resources, output);
    if (info == nullptr) return false;
    const RRCrtc crtc = info->connection == RR_Connected ? info->crtc : None;
    XRRFreeOutputInfo(info);
    if (crtc == None) return false;
    XRRCrtcInfo *crtcInfo = XRRGetCrtcInfo(display, resources, crtc);
    if (crtcInfo == nullptr) return false;
    bool found = false;
    if (crtcInfo->mode != None && crtcInfo->width > 0 && crtcInfo->height > 0) {
        found = true;
        // The CRTC's size, not the mode's: a rotated output swaps them.
        mode->width = crtcInfo->width;
        mode->height = crtcInfo->height;
        for (int i = 0; i < resources->nmode; i++) {
            const XRRModeInfo &timing = resources->modes[i];
            if (timing.id != crtcInfo->mode) continue;
            double lines = timing.vTotal;
            if (timing.modeFlags & RR_DoubleScan) lines *= 2;
            if (timing.modeFlags & RR_Interlace) lines /= 2;
            // Xvfb gives its modes no timings: the rate then stays at the
            // start value.
            if (timing.hTotal > 0 && lines > 0) {
                const double hertz = double(timing.dotClock) / (double(timing.hTotal) * lines);
                if (hertz >= 1 && hertz < 1e6) mode->rateNumerator = uint32_t(hertz + 0.5);
            }
            break;
        }
    }
    XRRFreeCrtcInfo(crtcInfo);
    return found;
}

#ifdef PK_HAVE_CPUID
// The vendor identification of leaf 0, up to its first zero byte.
std::string read_cpu_vendor()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return {};
    char vendor[13] = {};
    memcpy(vendor, &ebx, 4);
    memcpy(vendor + 4, &edx, 4);
    memcpy(vendor + 8, &ecx, 4);
    return vendor;
}

std::string read_cpu_brand()
{
    if (__get_cpuid_max(0x80000000, nullptr) <= 0x80000003) return "i386 General CPU";
    unsigned int words[12] = {};
    for (unsigned int leaf = 0; leaf < 3; leaf++)
        __get_cpuid(0x80000002 + leaf, &words[4 * leaf], &words[4 * leaf + 1], &words[4 * leaf + 2],
                    &words[4 * leaf + 3]);
    const auto *bytes = reinterpret_cast<const unsigned char *>(words);
    std::string brand;
    for (size_t i = 0; i < sizeof(words); i++) {
        if (bytes[i] < 0x20 || bytes[i] >= 0x80) break;
        brand += bytes[i] == 0x7F ? '?' : char(bytes[i]);
    }
    return brand;
}
#endif

// Length of the well-formed UTF-8 sequence at `i` and its code point; 0 when
// ill-formed, with *bad the bytes to replace by one U+FFFD (the maximal
// prefix of a sequence that could have been well-formed, at least one).
size_t decode_utf8(const unsigned char *s, size_t n, size_t i, uint32_t *code, size_t *bad)
{
    const unsigned char lead = s[i];
    *bad = 1;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    size_t length;
    uint32_t value;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k < length; k++) {
        if (i + k >= n) return 0;
        const unsigned char c = s[i + k];
        const unsigned char lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
        if (c < lo || c > hi) return 0;
        value = value << 6 | (c & 0x3F);
        *bad = k + 1;
    }
    *code = value;
    return length;
}

}  // namespace

std::vector<std::string> pk_split(const std::string &text, const std::string &separator)
{
    if (separator.empty()) return {text};
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t found; (found = text.find(separator, start)) != std::string::npos; start = found + separator.size())
        pieces.push_back(text.substr(start, found - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string pk_to_lower(const std::string &text)
{
    std::string lower(text);
    for (char &c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool pk_is_valid_name(const std::string &text)
{
    if (text.size() < 6 || text.size() > 32) return false;
    for (char c : text)
        if (c == '\0' || strchr(kNameCharacters, c) == nullptr) return false;
    return true;
}

PkVideoMode pk_display_mode_current()
{
    PkVideoMode mode = kFallbackDisplayMode;
    Display *display = XOpenDisplay(nullptr);
    if (display == nullptr) return mode;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 3))) {
        const Window root = DefaultRootWindow(display);
        XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, root);
        if (resources != nullptr) {
            PkVideoMode found = kFallbackDisplayMode;
            // Without a primary output the first one that shows a picture
            // stands in for it.
            bool ok = false;
            const RROutput primary = XRRGetOutputPrimary(display, root);
            if (primary != None) ok = read_output_mode(display, resources, primary, &found);
            for (int i = 0; !ok && i < resources->noutput; i++)
                ok = read_output_mode(display, resources, resources->outputs[i], &found);
            if (ok) mode = found;
            XRRFreeScreenResources(resources);
        }
    }
    XCloseDisplay(display);
    return mode;
}

std::string pk_cpu_vendor_text()
{
#ifdef PK_HAVE_CPUID
    const std::string vendor = read_cpu_vendor();
    for (const char *known : kKnownCpuVendors)
        if (vendor == known) return vendor;
#endif
    return {};
}

std::string pk_cpu_architecture_text(bool withDetails)
{
#if defined(__x86_64__)
    std::string text = "AMD64";
#elif defined(__aarch64__)
    std::string text = "ARM64";
#else
    std::string text = "unknown";
#endif
    if (!withDetails) return text;
    const std::string vendor = pk_cpu_vendor_text();
    if (!vendor.empty()) text += "/" + vendor;
#ifdef PK_HAVE_CPUID
    const std::string brand = read_cpu_brand();
    if (!brand.empty()) text += "/" + brand;
#endif
    uint32_t count = core_cpu_count();
    if (count == 0) count = 1;
    text += "/" + std::to_string(count) + " CPU";
    return text;
}

std::string pk_url_strip_scheme(const std::string &url)
{
    if (starts_with(url, "http://")) return url.substr(7);
    if (starts_with(url, "https://")) return url.substr(8);
    return url;
}

std::string pk_open_url_target(const std::string &url)
{
    std::string target = url;
    if (url.find("https://") == std::string::npos && url.find("http://") == std::string::npos)
        target = "http://" + url;
    // A scheme somewhere inside the text ("file:///x?http://y") must not turn
    // the text into something other than a web address.
    if (!starts_with(target, "http://") && !starts_with(target, "https://")) return {};
    if (target == "http://" || target == "https://") return {};
    for (char c : target) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) return {};
    }
    return target;
}

bool pk_open_url(const std::string &url)
{
    const std::string target = pk_open_url_target(url);
    if (target.empty()) {
        core_log(CORE_LOG_WARN, "services", "refused to open a text that is not a web address");
        return false;
    }
    GError *error = nullptr;
    if (!g_app_info_launch_default_for_uri(target.c_str(), nullptr, &error)) {
        core_log(CORE_LOG_WARN, "services", "cannot open %s: %s", target.c_str(),
                 error != nullptr ? error->message : "no handler");
        g_clear_error(&error);
        return false;
    }
    return true;
}

std::u16string pk_utf8_to_wide(const std::string &text)
{
    std::u16string wide;
    wide.reserve(text.size());
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t code = 0;
        size_t bad = 1;
        const size_t length = decode_utf8(bytes, n, i, &code, &bad);
        if (length == 0) {
            wide += char16_t(0xFFFD);
            i += bad;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += char16_t(0xD800 + (code >> 10));
            wide += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            wide += char16_t(code);
        }
        i += length;
    }
    return wide;
}

uint64_t pk_hex_to_number(const std::string &text)
{
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    unsigned long long value = 0;
    stream >> std::hex >> value;
    return stream.fail() ? 0 : uint64_t(value);
}

PkVideoMode pk_video_mode_from_text(const std::string &text)
{
    PkVideoMode mode{};
    const PkVideoMode zero{};
    const size_t x = text.find('x');
    if (x == std::string::npos) return zero;
    if (!read_u32(text, 0, &mode.width)) return zero;
    const size_t at = text.find('@', x + 1);
    if (at == std::string::npos) return zero;
    if (!read_u32(text, x + 1, &mode.height)) return zero;
    const size_t blank = text.find(' ', at + 1);
    if (blank == std::string::npos) return zero;
    if (!read_u32(text, at + 1, &mode.rateNumerator)) return zero;
    mode.rateDenominator = 1;
    return mode_complete(mode) ? mode : zero;
}

std::string pk_video_mode_to_text(const PkVideoMode &mode, bool withRate)
{
    std::string text = std::to_string(mode.width) + "x" + std::to_string(mode.height);
    if (withRate) {
        const uint32_t rate =
            mode.rateDenominator == 0 ? mode.rateNumerator : mode.rateNumerator / mode.rateDenominator;
        text += "@" + std::to_string(rate) + " Hz";
    }
    return text;
}

std::string pk_web_user_agent(const std::string &appId, const std::string &appVersion, const std::string &first,
                              const std::string &second, const std::string &third)
{
    std::string agent = appId + "/" + appVersion;
    if (first.empty() && second.empty() && third.empty()) return agent;
    agent += " (" + first;
    if (!second.empty()) agent += "; " + second;
    if (!third.empty()) agent += "; " + third;
    agent += ")";
    return agent;
}
