// The main settings file and the node configuration it fills.
//
// AppSettings is the user's choices between runs: sixteen shared typed
// values, fifteen of them kept in "veltrana.main.xml" and the avatar picture
// kept unchanged beside it in "veltrana.avatar". AppSettingsManager, a
// process-wide singleton, loads, defaults and saves them (and the codec
// settings file, see codec_settings.h). There is no cache: every load reads
// the files again and gives a new object; a user changes a setting by
// putting a new value object into the field and saves at once. Every
// successful load and every save also runs applySettingsToConfig, so the
// node configuration (PkConfig) follows the settings last read or written.
//
// A file that cannot be used as a whole (missing, empty, unreadable, or
// holding none of the known settings) gives the defaults and sets
// defaultsUsed; a single value that is missing, malformed or out of its
// range loads as that setting's default while the others keep theirs, and
// an unknown element is skipped.
//
// Loads and saves run on the GTK main thread and take no lock; instance()
// may be called from any thread. Loads never return null and never throw;
// saves return the result stated at saveSettings.
#pragma once

#include <memory>
#include <string_view>

#include "app/storage.h"
#include "app/xml_objects.h"

struct AppCodecsSettings;

// Copying shares the sixteen value objects: a fromString through one copy is
// seen by the other, replacing a field changes only the copy changed.
struct AppSettings {
    // The defaults: version 5, no avatar, no user name, mouse pointer
    // captured, DEFAULT_DEVICE_ID for both sources, no resolution, "low",
    // "adaptive", "3000", decoder 0, not on top, picture 50/50/50 and hue 0.
    AppSettings();
    AppSettings(const AppSettings &) = default;
    AppSettings &operator=(const AppSettings &) = default;

    std::shared_ptr<PkXMLObject> version;                  // PkXMLNumberObject
    std::shared_ptr<PkXMLObject> avatar;                   // PkXMLDataObject
    std::shared_ptr<PkXMLObject> userInfoName;             // PkXMLStringObject
    std::shared_ptr<PkXMLObject> userCaptureMousePointer;  // PkXMLBooleanObject
    std::shared_ptr<PkXMLObject> audioDevice;              // PkXMLUUIDObject
    std::shared_ptr<PkXMLObject> videoDevice;              // PkXMLUUIDObject
    std::shared_ptr<PkXMLObject> videoResolution;          // PkXMLResolutionObject
    std::shared_ptr<PkXMLObject> videoResolutionProfile;   // PkXMLResolutionProfileObject
    std::shared_ptr<PkXMLObject> bitratePolicy;            // PkXMLBitratePolicyObject
    std::shared_ptr<PkXMLObject> playbackDelay;            // PkXMLPlaybackObject
    std::shared_ptr<PkXMLObject> videoDecoder;             // PkXMLNumberObject, 0 to INT32_MAX
    std::shared_ptr<PkXMLObject> videoOntop;               // PkXMLBooleanObject
    std::shared_ptr<PkXMLObject> videoBrightness;          // PkXMLNumberObject, 0 to 100
    std::shared_ptr<PkXMLObject> videoContrast;            // PkXMLNumberObject, 0 to 100
    std::shared_ptr<PkXMLObject> videoSaturation;          // PkXMLNumberObject, 0 to 100
    std::shared_ptr<PkXMLObject> videoHue;                 // PkXMLNumberObject, -50 to 50
};

class AppSettingsManager : public std::enable_shared_from_this<AppSettingsManager> {
public:
    static std::shared_ptr<AppSettingsManager> instance();

    AppSettingsManager(const AppSettingsManager &) = delete;
    AppSettingsManager &operator=(const AppSettingsManager &) = delete;
    virtual ~AppSettingsManager() = default;

    // The settings of the main file and the avatar file. When the main file
    // is refused: the defaults with the stored avatar, defaultsUsed set and
    // the node configuration untouched. Otherwise the values read, the
    // defaults for what is missing or unusable, and the node configuration
    // filled (which empties an invalid user name).
    std::shared_ptr<AppSettings> loadSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths);

    // Fills the node configuration from the settings, then writes the
    // avatar file and the main file. 0 when both were written; 1 when no
    // document came about; -1 when a value could not be serialised (longer
    // than CORE_SETTINGS_VALUE_MAX) or a file could not be written, in which
    // case that file keeps its previous content. Null settings: -1.
    int saveSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths, std::shared_ptr<AppSettings> settings);

    // The codec settings file (codec_settings.cpp).
    std::shared_ptr<AppCodecsSettings> loadCodecsSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths);
    int saveCodecsSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths,
                           std::shared_ptr<AppCodecsSettings> settings);

    // Set when a load of the main file was refused; the main window clears
    // it once it has told the user. Main thread only.
    bool defaultsUsed = false;

    // Element names of both settings files.
    static constexpr std::string_view kKeySettings = "settings";
    static constexpr std::string_view kKeyVersion = "version";
    static constexpr std::string_view kKeyGeneral = "general";
    static constexpr std::string_view kKeyUserInfoName = "user.info.name";
    static constexpr std::string_view kKeyUserCaptureMousePointer = "user.capture.mouse.pointer";
    static constexpr std::string_view kKeyStreamer = "streamer";
    static constexpr std::string_view kKeyAudioDevice = "audio.device";
    static constexpr std::string_view kKeyVideoDevice = "video.device";
    static constexpr std::string_view kKeyVideoResolution = "video.resolution";
    static constexpr std::string_view kKeyVideoResolutionProfile = "video.resolution.profile";
    static constexpr std::string_view kKeyBitratePolicy = "bitrate.policy";
    static constexpr std::string_view kKeyViewer = "viewer";
    static constexpr std::string_view kKeyPlaybackDelay = "playback.delay";
    static constexpr std::string_view kKeyVideoOntop = "video.ontop";
    static constexpr std::string_view kKeyVideoDecoder = "video.decoder";
    static constexpr std::string_view kKeyVideoBrightness = "video.brightness";
    static constexpr std::string_view kKeyVideoContrast = "video.contrast";
    static constexpr std::string_view kKeyVideoSaturation = "video.saturation";
    static constexpr std::string_view kKeyVideoHue = "video.hue";
    static constexpr std::string_view kKeyCodecs = "codecs";
    static constexpr std::string_view kKeyCodecsVersion = "version";

private:
    AppSettingsManager() = default;
};

// loadSettings / saveSettings with a DiskIO and a VeltranaAppPath; the save
// result is dropped (a failed save leaves the previous files and is logged).
std::shared_ptr<AppSettings> loadAppSettings();
void saveAppSettings(std::shared_ptr<AppSettings> settings);

// Copies the settings that the engine starts from into PkConfig: the user
// name (when pk_is_valid_name accepts it, else 32 zero bytes, and the
// settings' name is replaced by an empty one), the avatar, the mouse pointer
// choice, both source devices, the video decoder (0 when outside 0 to
// INT32_MAX), DEFAULT_DEVICE_ID for both playback devices, adaptive bitrate
// and a playback delay of 3000 ms. Returns the same settings; null is
// passed through untouched.
std::shared_ptr<AppSettings> applySettingsToConfig(std::shared_ptr<AppSettings> settings);
