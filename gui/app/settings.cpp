#include "app/settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/xml_manager.h"
#include "app/xml_tree.h"
#include "core/log.h"
#include "engine/node.h"
#include "ravelkit/devices.h"
#include "services/config.h"
#include "services/texts.h"

namespace {

constexpr const char *kModule = "settings";

constexpr int64_t kDefaultVersion = 5;
constexpr int64_t kDefaultPicture = 50;
constexpr int64_t kDefaultHue = 0;
constexpr int64_t kPictureMin = 0;
constexpr int64_t kPictureMax = 100;
constexpr int64_t kHueMin = -50;
constexpr int64_t kHueMax = 50;

// ---- what a leaf of the file may hold ----

// The whole text, white space around it aside, as one decimal integer.
bool whole_integer(const std::string &text, int64_t *out)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long long value = strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return false;
    while (*end != '\0' && isspace(static_cast<unsigned char>(*end))) ++end;
    if (static_cast<size_t>(end - begin) != text.size()) return false;
    *out = value;
    return true;
}

bool any_text(const std::string &) { return true; }

bool any_integer(const std::string &text)
{
    int64_t value;
    return whole_integer(text, &value);
}

bool yes_or_no(const std::string &text) { return text == "YES" || text == "NO"; }

// 64 hexadecimal digits: anything shorter or with other characters would
// turn into a device id nobody has.
bool sixty_four_hex_digits(const std::string &text)
{
    if (text.size() != 2 * PK_XID_SIZE) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool decoder_index(const std::string &text)
{
    int64_t value;
    return whole_integer(text, &value) && value >= 0 && value <= INT32_MAX;
}

bool picture_value(const std::string &text)
{
    int64_t value;
    return whole_integer(text, &value) && value >= kPictureMin && value <= kPictureMax;
}

bool hue_value(const std::string &text)
{
    int64_t value;
    return whole_integer(text, &value) && value >= kHueMin && value <= kHueMax;
}

// Passes a leaf's text to the setting only when it is a value the setting
// may hold; otherwise the setting keeps its default. The typed values alone
// would make "yes" false or "ABC" a device id.
class CheckedSetting : public PkXMLObject {
public:
    CheckedSetting(std::shared_ptr<PkXMLObject> target, bool (*accepts)(const std::string &), std::string path)
        : target_(std::move(target)), accepts_(accepts), path_(std::move(path))
    {
    }
    std::string toString() const override { return target_->toString(); }
    const uint8_t *data() const override { return target_->data(); }
    int64_t size() const override { return target_->size(); }
    void fromString(const std::string &text) override
    {
        if (accepts_(text)) {
            target_->fromString(text);
            return;
        }
        core_log(CORE_LOG_WARN, kModule, "\"%s\": unusable value, the default is kept", path_.c_str());
    }

private:
    std::shared_ptr<PkXMLObject> target_;
    bool (*accepts_)(const std::string &);
    std::string path_;
};

// ---- the leaves of the main file, in file order ----

struct Leaf {
    std::string_view group;  // empty: directly below the root
    std::string_view key;
    std::shared_ptr<PkXMLObject> AppSettings::*field;
    bool (*accepts)(const std::string &);
};

using M = AppSettingsManager;
const Leaf kLeaves[] = {
    {{}, M::kKeyVersion, &AppSettings::version, any_integer},
    {M::kKeyGeneral, M::kKeyUserInfoName, &AppSettings::userInfoName, any_text},
    {M::kKeyGeneral, M::kKeyUserCaptureMousePointer, &AppSettings::userCaptureMousePointer, yes_or_no},
    {M::kKeyStreamer, M::kKeyAudioDevice, &AppSettings::audioDevice, sixty_four_hex_digits},
    {M::kKeyStreamer, M::kKeyVideoDevice, &AppSettings::videoDevice, sixty_four_hex_digits},
    {M::kKeyStreamer, M::kKeyVideoResolution, &AppSettings::videoResolution, any_text},
    {M::kKeyStreamer, M::kKeyVideoResolutionProfile, &AppSettings::videoResolutionProfile, any_text},
    {M::kKeyStreamer, M::kKeyBitratePolicy, &AppSettings::bitratePolicy, any_text},
    {M::kKeyViewer, M::kKeyPlaybackDelay, &AppSettings::playbackDelay, any_text},
    {M::kKeyViewer, M::kKeyVideoDecoder, &AppSettings::videoDecoder, decoder_index},
    {M::kKeyViewer, M::kKeyVideoOntop, &AppSettings::videoOntop, yes_or_no},
    {M::kKeyViewer, M::kKeyVideoBrightness, &AppSettings::videoBrightness, picture_value},
    {M::kKeyViewer, M::kKeyVideoContrast, &AppSettings::videoContrast, picture_value},
    {M::kKeyViewer, M::kKeyVideoSaturation, &AppSettings::videoSaturation, picture_value},
    {M::kKeyViewer, M::kKeyVideoHue, &AppSettings::videoHue, hue_value},
};
constexpr std::string_view kGroups[] = {M::kKeyGeneral, M::kKeyStreamer, M::kKeyViewer};

std::string leaf_path(const Leaf &leaf)
{
    std::string path(M::kKeySettings);
    if (!leaf.group.empty()) path += "/" + std::string(leaf.group);
    return path + "/" + std::string(leaf.key);
}

std::string text_of(const std::shared_ptr<PkXMLObject> &value)
{
    return value != nullptr ? value->toString() : std::string();
}

// ---- typed reads that survive a field replaced by a value of another class ----

bool bool_of(const std::shared_ptr<PkXMLObject> &value)
{
    if (const auto *typed = dynamic_cast<const PkXMLBooleanObject *>(value.get())) return typed->value;
    return text_of(value) == "YES";
}

PkXID id_of(const std::shared_ptr<PkXMLObject> &value, const PkXID &fallback)
{
    if (const auto *typed = dynamic_cast<const PkXMLUUIDObject *>(value.get())) return typed->value;
    return fallback;
}

bool number_of(const std::shared_ptr<PkXMLObject> &value, int64_t *out)
{
    if (const auto *typed = dynamic_cast<const PkXMLNumberObject *>(value.get())) {
        *out = typed->value;
        return true;
    }
    return whole_integer(text_of(value), out);
}

std::vector<uint8_t> bytes_of(const std::shared_ptr<PkXMLObject> &value)
{
    if (const auto *typed = dynamic_cast<const PkXMLDataObject *>(value.get())) return typed->bytes();
    return {};
}

// The avatar file's bytes; none when it is missing, unreadable or larger
// than the engine will publish as the node's picture.
std::shared_ptr<PkXMLObject> read_avatar(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths)
{
    const PkPath path = paths.avatarFile();
    if (storage.size(path) > static_cast<int64_t>(ENGINE_PROP_AVATAR_MAX)) {
        core_log(CORE_LOG_WARN, kModule, "avatar \"%s\" is larger than %u bytes: not used", path.c_str(),
                 ENGINE_PROP_AVATAR_MAX);
        return std::make_shared<PkXMLDataObject>();
    }
    std::vector<uint8_t> bytes = storage.readBytes(path);
    if (bytes.size() > ENGINE_PROP_AVATAR_MAX) bytes.clear();
    return std::make_shared<PkXMLDataObject>(std::move(bytes));
}

}  // namespace

AppSettings::AppSettings()
    : version(std::make_shared<PkXMLNumberObject>(kDefaultVersion)),
      avatar(std::make_shared<PkXMLDataObject>()),
      userInfoName(std::make_shared<PkXMLStringObject>()),
      userCaptureMousePointer(std::make_shared<PkXMLBooleanObject>(true)),
      audioDevice(std::make_shared<PkXMLUUIDObject>(PkXID::fromText(DEFAULT_DEVICE_ID))),
      videoDevice(std::make_shared<PkXMLUUIDObject>(PkXID::fromText(DEFAULT_DEVICE_ID))),
      videoResolution(std::make_shared<PkXMLResolutionObject>()),
      videoDecoder(std::make_shared<PkXMLNumberObject>(0)),
      videoOntop(std::make_shared<PkXMLBooleanObject>(false)),
      videoBrightness(std::make_shared<PkXMLNumberObject>(kDefaultPicture)),
      videoContrast(std::make_shared<PkXMLNumberObject>(kDefaultPicture)),
      videoSaturation(std::make_shared<PkXMLNumberObject>(kDefaultPicture)),
      videoHue(std::make_shared<PkXMLNumberObject>(kDefaultHue))
{
    auto profile = std::make_shared<PkXMLResolutionProfileObject>();
    profile->fromString(std::string(PkConstants::kResolutionDefault));
    videoResolutionProfile = profile;
    auto policy = std::make_shared<PkXMLBitratePolicyObject>();
    policy->fromString(std::string(PkConstants::kBitrateDefault));
    bitratePolicy = policy;
    auto delay = std::make_shared<PkXMLPlaybackObject>();
    delay->fromString(std::string(PkConstants::kPlaybackDelayDefault));
    playbackDelay = delay;
}

std::shared_ptr<AppSettingsManager> AppSettingsManager::instance()
{
    static const std::shared_ptr<AppSettingsManager> single(new AppSettingsManager());
    return single->shared_from_this();
}

std::shared_ptr<AppSettings> AppSettingsManager::loadSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths)
{
    auto result = std::make_shared<AppSettings>();
    PkXMLObjectMap map;
    for (const Leaf &leaf : kLeaves) {
        const std::string path = leaf_path(leaf);
        map[path] = std::make_shared<CheckedSetting>((*result).*leaf.field, leaf.accepts, path);
    }

    if (PkXMLManager::instance()->readXmlSettings(storage, paths.settingsFile(), map) != 0) {
        defaultsUsed = true;
        // Whatever the refused file set goes with `result`. The avatar is
        // read all the same: the save that follows a refused load must not
        // replace the stored picture with nothing.
        auto defaults = std::make_shared<AppSettings>();
        defaults->avatar = read_avatar(storage, paths);
        return defaults;
    }
    result->avatar = read_avatar(storage, paths);
    return applySettingsToConfig(std::move(result));
}

int AppSettingsManager::saveSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths,
                                     std::shared_ptr<AppSettings> settings)
{
    if (settings == nullptr) return -1;
    // First, so that an invalid user name is emptied before it is written.
    settings = applySettingsToConfig(std::move(settings));

    auto root = std::make_shared<PkXMLNode>(std::string(kKeySettings));
    for (const Leaf &leaf : kLeaves)
        if (leaf.group.empty())
            root->addChild(std::make_shared<PkXMLField>(std::string(leaf.key), text_of((*settings).*leaf.field)));
    for (std::string_view group : kGroups) {
        auto node = std::make_shared<PkXMLNode>(std::string(group));
        for (const Leaf &leaf : kLeaves)
            if (leaf.group == group)
                node->addChild(std::make_shared<PkXMLField>(std::string(leaf.key), text_of((*settings).*leaf.field)));
        root->addChild(node);
    }
    PkXMLNode wrapper;
    wrapper.addChild(root);

    const int avatarResult = storage.writeBytes(paths.avatarFile(), bytes_of(settings->avatar));
    const int result = PkXMLManager::instance()->writeXmlSettings(storage, paths.settingsFile(), wrapper);
    if (result == 0 && avatarResult != 0) return -1;
    return result;
}

std::shared_ptr<AppSettings> loadAppSettings()
{
    DiskIO<PkPath> storage;
    VeltranaAppPath<PkPath> paths;
    return AppSettingsManager::instance()->loadSettings(storage, paths);
}

void saveAppSettings(std::shared_ptr<AppSettings> settings)
{
    DiskIO<PkPath> storage;
    VeltranaAppPath<PkPath> paths;
    const int result = AppSettingsManager::instance()->saveSettings(storage, paths, std::move(settings));
    if (result != 0) core_log(CORE_LOG_WARN, kModule, "the settings were not saved (%d)", result);
}

std::shared_ptr<AppSettings> applySettingsToConfig(std::shared_ptr<AppSettings> settings)
{
    if (settings == nullptr) return settings;
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    const PkXID defaultDevice = PkXID::fromText(DEFAULT_DEVICE_ID);

    const std::string name = text_of(settings->userInfoName);
    if (pk_is_valid_name(name)) {
        config->nodeUserId = PkXID::fromText(name);
    } else {
        settings->userInfoName = std::make_shared<PkXMLStringObject>();
        config->nodeUserId = PkXID();
    }

    config->avatar = PkBuffer(bytes_of(settings->avatar));
    config->showCursor = bool_of(settings->userCaptureMousePointer);
    config->bitratePolicy = 0;
    config->audioSourceId = id_of(settings->audioDevice, defaultDevice);
    config->videoSourceId = id_of(settings->videoDevice, defaultDevice);
    config->audioSinkId = defaultDevice;
    config->videoSinkId = defaultDevice;

    // Cutting a larger number to 32 bits would pick some other decoder.
    int64_t decoder = 0;
    if (!number_of(settings->videoDecoder, &decoder) || decoder < 0 || decoder > INT32_MAX) decoder = 0;
    config->videoSinkIndex = static_cast<int32_t>(decoder);

    // The stored delay and bitrate policy reach the running engine through
    // the settings dialog; every start begins from the defaults.
    PkXMLPlaybackObject delay;
    delay.fromString(std::string(PkConstants::kPlaybackDelayDefault));
    config->playbackDelayMs = static_cast<uint32_t>(strtoul(delay.value.c_str(), nullptr, 10));
    return settings;
}
