#include "app/texts.h"

#include <libintl.h>

#include <cstdlib>
#include <iomanip>
#include <locale>
#include <sstream>

#include "app/resources.h"
#include "app/xml_objects.h"
#include "services/media.h"
#include "services/utils.h"

Glib::ustring pk_translate(const char *messageId) { return Glib::ustring(dgettext(PK_TEXT_DOMAIN, messageId)); }

Glib::ustring resolutionProfileText(const PkXMLResolutionProfileObject &profile)
{
    static const struct {
        const char *value;
        const char *text;
    } kTexts[] = {
        {"automatic", "Automatic best"},  {"maximum", "Maximum resolution"}, {"super", "Super resolution"},
        {"high", "High resolution"},      {"medium", "Medium resolution"},   {"classic", "Classic resolution"},
        {"low", "Low resolution"},
    };
    const std::string value = profile.toString();
    for (const auto &entry : kTexts)
        if (value == entry.value) return pk_translate(entry.text);
    return pk_translate("Unknown");
}

Glib::ustring playbackDelayText(const PkXMLPlaybackObject &delay)
{
    const std::string value = delay.toString();
    if (value == "0") return pk_translate("no buffer");
    return pk_translate("buffer") + " " + value + " " + pk_translate("millisecond(s)");
}

Glib::ustring channelDisplayName(const PkXID &channel)
{
    const int32_t kind = pk_binder_channel_kind(channel);
    if (kind == PK_CHANNEL_P2P) return pk_translate("Main channel");
    if (kind == PK_CHANNEL_P2M) {
        const int32_t index = pk_binder_channel_index(channel, kind);
        if (index != PK_CHANNEL_INDEX_NONE)
            return pk_translate("Channel") + " " + std::to_string(static_cast<int64_t>(index) + 1);
    }
    return pk_translate("N/A");
}

Glib::ustring bitrateText(uint64_t bitsPerSecond)
{
    static const struct {
        uint64_t unit;
        const char *name;
    } kUnits[] = {{1000000000u, "Gbit/sec"}, {1000000u, "Mbit/sec"}, {1000u, "kbit/sec"}};
    for (const auto &unit : kUnits) {
        if (bitsPerSecond <= unit.unit) continue;
        std::ostringstream text;
        // The classic locale: two digits after a point for every user.
        text.imbue(std::locale::classic());
        text << std::fixed << std::setprecision(2)
             << static_cast<double>(bitsPerSecond) / static_cast<double>(unit.unit);
        return text.str() + " " + pk_translate(unit.name);
    }
    return std::to_string(bitsPerSecond) + " " + pk_translate("bit/sec");
}

Glib::ustring documentLanguage()
{
    static const char *const kCodes[] = {"en", "de", "fr",    "it",      "tr",    "pl", "ko",
                                         "ja", "ru", "hy",    "pt_br",   "zh_hans", "es_us", "es"};
    const char *variable = getenv("LANGUAGE");
    for (const std::string &entry : pk_split(variable != nullptr ? variable : "", ":")) {
        std::string lower = entry;
        for (char &c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const size_t underscore = lower.find('_');
        const std::string language = underscore == std::string::npos ? std::string() : lower.substr(0, underscore);
        for (const char *code : kCodes) {
            if (lower == code) return code;
            if (underscore != std::string::npos && language == code) return code;
        }
    }
    return "en";
}

std::vector<uint8_t> loadPngResource(uint32_t id)
{
    GResource *pictures = pk_png_bundle();
    if (pictures == nullptr) return {};
    const std::string path = std::string(PK_PNG_BUNDLE_PATH) + "/" + std::to_string(id) + ".png";
    GBytes *bytes = g_resource_lookup_data(pictures, path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bytes == nullptr) return {};
    gsize size = 0;
    const auto *data = static_cast<const uint8_t *>(g_bytes_get_data(bytes, &size));
    std::vector<uint8_t> result;
    if (data != nullptr && size > 0) result.assign(data, data + size);
    g_bytes_unref(bytes);
    return result;
}

std::string readResourceText(GResource *resource, const std::string &path)
{
    if (resource == nullptr) return std::string();
    GError *error = nullptr;
    GBytes *bytes = g_resource_lookup_data(resource, path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (bytes == nullptr) {
        if (error != nullptr) g_error_free(error);
        return std::string();
    }
    gsize size = 0;
    const auto *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    std::string text(data != nullptr ? data : "", data != nullptr ? size : 0);
    g_bytes_unref(bytes);
    return text;
}
