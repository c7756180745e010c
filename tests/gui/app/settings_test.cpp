#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app_test_support.h"
#include "engine/node.h"
#include "ravelkit/devices.h"
#include "services/config.h"

namespace {

const auto *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

const std::string kDefaultDeviceHex = pk_bytes_to_hex(PkXID::fromText(DEFAULT_DEVICE_ID));
const std::string kOtherDeviceHex = pk_bytes_to_hex(PkXID::fromText("0123456789ABCDEF0123456789ABCDEF"));

using Field = std::shared_ptr<PkXMLObject> AppSettings::*;
const Field kFields[] = {
    &AppSettings::version,          &AppSettings::avatar,          &AppSettings::userInfoName,
    &AppSettings::userCaptureMousePointer, &AppSettings::audioDevice, &AppSettings::videoDevice,
    &AppSettings::videoResolution,  &AppSettings::videoResolutionProfile, &AppSettings::bitratePolicy,
    &AppSettings::playbackDelay,    &AppSettings::videoDecoder,    &AppSettings::videoOntop,
    &AppSettings::videoBrightness,  &AppSettings::videoContrast,   &AppSettings::videoSaturation,
    &AppSettings::videoHue,
};

std::vector<std::string> texts(const AppSettings &settings)
{
    std::vector<std::string> out;
    for (Field f : kFields) out.push_back((settings.*f)->toString());
    return out;
}

// The file the defaults give.
const std::string kDefaultFile = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                 "<settings>\n"
                                 "  <version value=\"5\"/>\n"
                                 "  <general>\n"
                                 "    <user.capture.mouse.pointer value=\"YES\"/>\n"
                                 "  </general>\n"
                                 "  <streamer>\n"
                                 "    <audio.device value=\"" +
                                 kDefaultDeviceHex +
                                 "\"/>\n"
                                 "    <video.device value=\"" +
                                 kDefaultDeviceHex +
                                 "\"/>\n"
                                 "    <video.resolution value=\"0x0@0 Hz\"/>\n"
                                 "    <video.resolution.profile value=\"low\"/>\n"
                                 "    <bitrate.policy value=\"adaptive\"/>\n"
                                 "  </streamer>\n"
                                 "  <viewer>\n"
                                 "    <playback.delay value=\"3000\"/>\n"
                                 "    <video.decoder value=\"0\"/>\n"
                                 "    <video.ontop value=\"NO\"/>\n"
                                 "    <video.brightness value=\"50\"/>\n"
                                 "    <video.contrast value=\"50\"/>\n"
                                 "    <video.saturation value=\"50\"/>\n"
                                 "    <video.hue value=\"0\"/>\n"
                                 "  </viewer>\n"
                                 "</settings>\n";

class MainSettings : public apptest::DataFolder {
protected:
    void SetUp() override
    {
        apptest::DataFolder::SetUp();
        manager->defaultsUsed = false;
        // Values no load or save would produce, to see what was touched.
        config->nodeUserId = PkXID::fromText("sentinel");
        config->showCursor = false;
        config->videoSinkIndex = 77;
        config->bitratePolicy = 9;
        config->playbackDelayMs = 9;
        config->avatar = PkBuffer(std::vector<uint8_t>{9});
    }

    std::shared_ptr<AppSettings> load() { return manager->loadSettings(disk, paths); }
    int save(std::shared_ptr<AppSettings> settings) { return manager->saveSettings(disk, paths, std::move(settings)); }
    std::string mainFile() { return apptest::read_file(file("veltrana.main.xml")); }
    void writeMain(const std::string &text) { apptest::write_file(file("veltrana.main.xml"), text); }
    bool configUntouched() const
    {
        return config->nodeUserId == PkXID::fromText("sentinel") && config->videoSinkIndex == 77;
    }

    const std::shared_ptr<AppSettingsManager> manager = AppSettingsManager::instance();
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    DiskIO<PkPath> disk;
    VeltranaAppPath<PkPath> paths;
};

TEST_F(MainSettings, FirstRunGivesTheDefaults)
{
    const auto settings = load();
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(manager->defaultsUsed);
    EXPECT_EQ(texts(*settings), texts(AppSettings()));
    EXPECT_TRUE(std::dynamic_pointer_cast<PkXMLDataObject>(settings->avatar)->bytes().empty());
    EXPECT_TRUE(configUntouched());
    EXPECT_EQ(manager.get(), AppSettingsManager::instance().get());
}

TEST_F(MainSettings, DefaultsWrittenAndReadBack)
{
    ASSERT_EQ(save(std::make_shared<AppSettings>()), 0);
    EXPECT_EQ(mainFile(), kDefaultFile);
    apptest::expect_xmllint_accepts(file("veltrana.main.xml"));
    EXPECT_EQ(disk.size(file("veltrana.avatar")), 0) << "the avatar file is written even when empty";

    const auto settings = load();
    EXPECT_FALSE(manager->defaultsUsed);
    EXPECT_EQ(texts(*settings), texts(AppSettings()));
}

TEST_F(MainSettings, EveryValueRoundTrips)
{
    auto settings = std::make_shared<AppSettings>();
    settings->version = std::make_shared<PkXMLNumberObject>(3);
    settings->avatar = std::make_shared<PkXMLDataObject>(std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0, 1, 2});
    settings->userInfoName = std::make_shared<PkXMLStringObject>("Ann & <Bob>!");
    settings->userCaptureMousePointer = std::make_shared<PkXMLBooleanObject>(false);
    settings->audioDevice = std::make_shared<PkXMLUUIDObject>(PkXID::fromText("0123456789ABCDEF0123456789ABCDEF"));
    settings->videoDevice = std::make_shared<PkXMLUUIDObject>(PkXID::fromText(NONE_ID));
    settings->videoResolution = std::make_shared<PkXMLResolutionObject>(PkVideoMode{1920, 1080, 60, 1});
    settings->videoResolutionProfile->fromString("super");
    settings->bitratePolicy->fromString("constant");
    settings->playbackDelay->fromString("250");
    settings->videoDecoder = std::make_shared<PkXMLNumberObject>(2);
    settings->videoOntop = std::make_shared<PkXMLBooleanObject>(true);
    settings->videoBrightness = std::make_shared<PkXMLNumberObject>(0);
    settings->videoContrast = std::make_shared<PkXMLNumberObject>(100);
    settings->videoSaturation = std::make_shared<PkXMLNumberObject>(7);
    settings->videoHue = std::make_shared<PkXMLNumberObject>(-50);
    ASSERT_EQ(save(settings), 0);
    apptest::expect_xmllint_accepts(file("veltrana.main.xml"));
    EXPECT_EQ(apptest::read_file(file("veltrana.avatar")), std::string("\x89PNG\0\1\2", 7));

    const auto loaded = load();
    EXPECT_FALSE(manager->defaultsUsed);
    EXPECT_EQ(texts(*loaded), texts(*settings));
    EXPECT_EQ(config->nodeUserId, PkXID::fromText("Ann & <Bob>!"));
    EXPECT_FALSE(config->showCursor);
    EXPECT_EQ(config->audioSourceId, PkXID::fromText("0123456789ABCDEF0123456789ABCDEF"));
    EXPECT_EQ(config->videoSourceId, PkXID::fromText(NONE_ID));
    EXPECT_EQ(config->videoSinkIndex, 2);
    EXPECT_EQ(config->avatar.data, (std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0, 1, 2}));
}

// ---- hand-edited files ----

std::string settings_file(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<settings>" + body + "</settings>\n";
}
std::string general(const std::string &key, const std::string &value)
{
    return "<general><" + key + " value=\"" + value + "\"/></general>";
}
std::string streamer(const std::string &key, const std::string &value)
{
    return "<streamer><" + key + " value=\"" + value + "\"/></streamer>";
}
std::string viewer(const std::string &key, const std::string &value)
{
    return "<viewer><" + key + " value=\"" + value + "\"/></viewer>";
}

struct EditCase {
    const char *what;
    std::string text;
    Field field;
    std::string expected;  // the field's text after the load
    bool refused;
};

TEST_F(MainSettings, HandEditedFiles)
{
    const std::string name = general("user.info.name", "Alice Smith");
    const EditCase cases[] = {
        {"only a version", settings_file("<version value=\"3\"/>"), &AppSettings::version, "3", false},
        {"only a version: the rest default", settings_file("<version value=\"3\"/>"), &AppSettings::videoBrightness,
         "50", false},
        {"unreadable version", settings_file("<version value=\"abc\"/>" + name), &AppSettings::version, "5", false},
        {"version with trailing text", settings_file("<version value=\"12abc\"/>" + name), &AppSettings::version, "5",
         false},
        {"bitrate not in the list", settings_file(streamer("bitrate.policy", "fast")), &AppSettings::bitratePolicy,
         "adaptive", false},
        {"delay not in the list", settings_file(viewer("playback.delay", "100")), &AppSettings::playbackDelay, "3000",
         false},
        {"mouse pointer \"yes\" is not a value: default", settings_file(general("user.capture.mouse.pointer", "yes")),
         &AppSettings::userCaptureMousePointer, "YES", false},
        {"mouse pointer NO", settings_file(general("user.capture.mouse.pointer", "NO")),
         &AppSettings::userCaptureMousePointer, "NO", false},
        {"on top \"yes\": default", settings_file(viewer("video.ontop", "yes")), &AppSettings::videoOntop, "NO", false},
        {"brightness above 100", settings_file(viewer("video.brightness", "500")), &AppSettings::videoBrightness, "50",
         false},
        {"brightness 100", settings_file(viewer("video.brightness", "100")), &AppSettings::videoBrightness, "100",
         false},
        {"contrast below 0", settings_file(viewer("video.contrast", "-1")), &AppSettings::videoContrast, "50", false},
        {"hue below -50", settings_file(viewer("video.hue", "-51")), &AppSettings::videoHue, "0", false},
        {"hue -50", settings_file(viewer("video.hue", " -50 ")), &AppSettings::videoHue, "-50", false},
        {"decoder beyond 32 bits", settings_file(viewer("video.decoder", "4294967297")), &AppSettings::videoDecoder,
         "0", false},
        {"decoder negative", settings_file(viewer("video.decoder", "-1")), &AppSettings::videoDecoder, "0", false},
        {"decoder 3", settings_file(viewer("video.decoder", "3")), &AppSettings::videoDecoder, "3", false},
        {"device id too short", settings_file(streamer("audio.device", "ABC")), &AppSettings::audioDevice,
         kDefaultDeviceHex, false},
        {"device id with a non-digit", settings_file(streamer("video.device", "X" + kOtherDeviceHex.substr(1))),
         &AppSettings::videoDevice, kDefaultDeviceHex, false},
        {"device id in lower case", settings_file(streamer("video.device", "30313233" + std::string(56, 'a'))),
         &AppSettings::videoDevice, "30313233" + std::string(56, 'A'), false},
        {"resolution", settings_file(streamer("video.resolution", "1920x1080@60 Hz")), &AppSettings::videoResolution,
         "1920x1080@60 Hz", false},
        {"resolution junk", settings_file(streamer("video.resolution", "junk")), &AppSettings::videoResolution,
         "0x0@0 Hz", false},
        {"user name", settings_file(name), &AppSettings::userInfoName, "Alice Smith", false},
        {"oversized user name", settings_file(general("user.info.name", std::string(5000, 'n'))),
         &AppSettings::userInfoName, "", false},
        {"unknown elements are skipped, the rest kept",
         settings_file("<general><nickname value=\"x\"/><user.info.name value=\"Alice Smith\"/></general>"
                       "<theme><dark value=\"YES\"/></theme>"),
         &AppSettings::userInfoName, "Alice Smith", false},
        {"comments and reordered elements",
         settings_file("<!-- edited -->" + viewer("video.hue", "5") +
                       "<general><!-- me -->"
                       "<user.info.name value=\"Alice Smith\"/></general><version value=\"4\"/>"),
         &AppSettings::userInfoName, "Alice Smith", false},
        {"broken XML keeps the leaves before the break",
         "<settings><general><user.info.name value=\"Alice Smith\"/></general><viewer><video.hue value=",
         &AppSettings::userInfoName, "Alice Smith", false},
        {"another root is refused", "<config>" + name + "</config>", &AppSettings::userInfoName, "", true},
        {"an empty file is refused", "", &AppSettings::version, "5", true},
        {"not XML: nothing read, not refused", "garbage", &AppSettings::version, "5", false},
    };
    for (const EditCase &c : cases) {
        writeMain(c.text);
        manager->defaultsUsed = false;
        const auto settings = load();
        ASSERT_NE(settings, nullptr) << c.what;
        EXPECT_EQ((*settings.*c.field)->toString(), c.expected) << c.what;
        EXPECT_EQ(manager->defaultsUsed, c.refused) << c.what;
    }
}

TEST_F(MainSettings, RefusedFileLeavesTheConfigurationAlone)
{
    writeMain("<config><version value=\"5\"/></config>");
    const auto settings = load();
    EXPECT_TRUE(manager->defaultsUsed);
    EXPECT_TRUE(configUntouched());

    // A later good load leaves the flag for its reader to clear.
    writeMain(kDefaultFile);
    load();
    EXPECT_TRUE(manager->defaultsUsed);
    EXPECT_FALSE(configUntouched());
}

TEST_F(MainSettings, OnlyVersionSavesItsVersionAgain)
{
    writeMain(settings_file("<version value=\"3\"/>"));
    ASSERT_EQ(save(load()), 0);
    EXPECT_NE(mainFile().find("<version value=\"3\"/>"), std::string::npos);
}

// ---- avatar ----

TEST_F(MainSettings, AvatarFile)
{
    const std::vector<uint8_t> picture = {0xFF, 0xD8, 0, 0xFF, 0xD9};
    apptest::write_file(file("veltrana.avatar"), std::string(picture.begin(), picture.end()));
    writeMain(kDefaultFile);
    auto settings = load();
    EXPECT_EQ(std::dynamic_pointer_cast<PkXMLDataObject>(settings->avatar)->bytes(), picture);
    EXPECT_EQ(config->avatar.data, picture);

    // Refused main file: the stored picture survives the save that follows.
    writeMain("");
    settings = load();
    EXPECT_TRUE(manager->defaultsUsed);
    EXPECT_EQ(std::dynamic_pointer_cast<PkXMLDataObject>(settings->avatar)->bytes(), picture);
    ASSERT_EQ(save(settings), 0);
    EXPECT_EQ(apptest::read_file(file("veltrana.avatar")), std::string(picture.begin(), picture.end()));

    // Larger than the engine publishes: not used.
    apptest::write_file(file("veltrana.avatar"), std::string(ENGINE_PROP_AVATAR_MAX + 1, 'x'));
    settings = load();
    EXPECT_TRUE(std::dynamic_pointer_cast<PkXMLDataObject>(settings->avatar)->bytes().empty());
    EXPECT_TRUE(config->avatar.data.empty());

    std::filesystem::remove(file("veltrana.avatar"));
    settings = load();
    EXPECT_TRUE(std::dynamic_pointer_cast<PkXMLDataObject>(settings->avatar)->bytes().empty());
}

// ---- saving ----

TEST_F(MainSettings, FailedSavesKeepThePreviousFiles)
{
    auto settings = std::make_shared<AppSettings>();
    settings->avatar = std::make_shared<PkXMLDataObject>(std::vector<uint8_t>{1, 2, 3});
    ASSERT_EQ(save(settings), 0);
    const std::string previous = mainFile();

    settings->videoResolutionProfile = std::make_shared<PkXMLStringObject>(std::string(4097, 'p'));
    EXPECT_EQ(save(settings), -1);
    EXPECT_EQ(mainFile(), previous);
    EXPECT_EQ(save(nullptr), -1);

    apptest::publish_data_folder(file("missing"));
    EXPECT_EQ(save(std::make_shared<AppSettings>()), -1) << "nothing could be written";
}

TEST_F(MainSettings, InvalidUserNameIsNotSaved)
{
    auto settings = std::make_shared<AppSettings>();
    settings->userInfoName = std::make_shared<PkXMLStringObject>("ab");
    ASSERT_EQ(save(settings), 0);
    EXPECT_EQ(mainFile().find("user.info.name"), std::string::npos);
    EXPECT_EQ(settings->userInfoName->toString(), "");
    EXPECT_TRUE(config->nodeUserId.isNull());
}

TEST_F(MainSettings, LoadsAreIndependentCopiesShare)
{
    writeMain(kDefaultFile);
    const auto first = load();
    const auto second = load();
    first->videoHue = std::make_shared<PkXMLNumberObject>(10);
    EXPECT_EQ(second->videoHue->toString(), "0");

    AppSettings copy(*first);
    first->videoContrast->fromString("10");
    EXPECT_EQ(copy.videoContrast->toString(), "10") << "a copy shares the value objects";
    first->videoContrast = std::make_shared<PkXMLNumberObject>(20);
    EXPECT_EQ(copy.videoContrast->toString(), "10") << "replacing a field changes one copy";
}

TEST_F(MainSettings, DiskAndAppPathShortcuts)
{
    auto settings = std::make_shared<AppSettings>();
    settings->userInfoName = std::make_shared<PkXMLStringObject>("Shortcut user");
    saveAppSettings(settings);
    EXPECT_NE(mainFile().find("Shortcut user"), std::string::npos);
    EXPECT_EQ(loadAppSettings()->userInfoName->toString(), "Shortcut user");
}

// ---- the node configuration ----

TEST_F(MainSettings, UserNameRules)
{
    struct Case {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        {"Alice", false},                  // 5 characters
        {"Alice ", true},                  // 6, a blank included
        {std::string(32, 'z'), true},      // 32: no terminating zero
        {std::string(33, 'z'), false},
        {"Alice/Bob", false},
        {"Ren\xC3\xA9 Dupont", false},     // a letter with an accent
        {"", false},
        {"a_b+c-(d){e}[f]<g>!@#$^&*=.,:;|", true},
    };
    for (const Case &c : cases) {
        auto settings = std::make_shared<AppSettings>();
        settings->userInfoName = std::make_shared<PkXMLStringObject>(c.name);
        const auto same = applySettingsToConfig(settings);
        EXPECT_EQ(same, settings);
        EXPECT_EQ(config->nodeUserId, c.valid ? PkXID::fromText(c.name) : PkXID()) << c.name;
        EXPECT_EQ(settings->userInfoName->toString(), c.valid ? c.name : "") << c.name;
    }
}

TEST_F(MainSettings, ConfigurationFromSettings)
{
    auto settings = std::make_shared<AppSettings>();
    settings->bitratePolicy->fromString("constant");
    settings->playbackDelay->fromString("0");
    applySettingsToConfig(settings);
    EXPECT_TRUE(config->showCursor);
    EXPECT_EQ(config->audioSourceId, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(config->videoSourceId, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(config->audioSinkId, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(config->videoSinkId, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(config->videoSinkIndex, 0);
    EXPECT_TRUE(config->avatar.data.empty());
    EXPECT_EQ(config->avatar.code, 0);
    EXPECT_EQ(config->bitratePolicy, 0u) << "the stored policy is not carried";
    EXPECT_EQ(config->playbackDelayMs, 3000u) << "the stored delay is not carried";

    const PkXID user = config->nodeUserId;
    applySettingsToConfig(settings);
    EXPECT_EQ(config->nodeUserId, user);
    EXPECT_EQ(config->videoSinkIndex, 0);

    settings->videoDecoder = std::make_shared<PkXMLNumberObject>(4294967297LL);
    applySettingsToConfig(settings);
    EXPECT_EQ(config->videoSinkIndex, 0) << "not cut to 32 bits";
    settings->videoDecoder = std::make_shared<PkXMLNumberObject>(5);
    applySettingsToConfig(settings);
    EXPECT_EQ(config->videoSinkIndex, 5);

    // A field replaced by a value of another class still reads sensibly.
    settings->userCaptureMousePointer = std::make_shared<PkXMLStringObject>("NO");
    applySettingsToConfig(settings);
    EXPECT_FALSE(config->showCursor);
    EXPECT_EQ(applySettingsToConfig(nullptr), nullptr);
}

}  // namespace
