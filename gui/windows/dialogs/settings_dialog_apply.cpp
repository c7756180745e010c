// What the settings dialog does on OK: the widgets and the pending name and
// avatar become settings, engine requests and published profile fields.
#include <climits>
#include <cstring>

#include "app/settings.h"
#include "app/xml_objects.h"
#include "engine/node.h"
#include "engine/session.h"
#include "ravelkit/devices.h"
#include "services/media.h"
#include "toolkit/pixbuf.h"
#include "windows/dialogs/settings_dialog.h"

namespace {

// The device id behind a list row: NONE_ID for a row with no device behind
// it, DEFAULT_DEVICE_ID when the list is empty.
template <class Device>
PkXID id_of_row(const std::vector<Device> &devices, int row)
{
    if (devices.empty()) return PkXID::fromText(DEFAULT_DEVICE_ID);
    if (row >= 0 && size_t(row) < devices.size()) return devices[row].id;
    return PkXID::fromText(NONE_ID);
}

int active_row_of(Gtk::ComboBoxText *combo) { return combo != nullptr ? combo->get_active_row_number() : -1; }

PkXID field_key(const char *name) { return PkXID::fromText(name); }

}  // namespace

void SettingsDialog::applySettings()
{
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    const std::vector<PkAudioDevice> audio = deviceCatalog.audioDevices();

    if (!userName.empty()) {
        settings->userInfoName = std::make_shared<PkXMLStringObject>(userName);
        const PkXID name = PkXID::fromText(std::string_view(userName.c_str()));
        pk_node_field_publish(field_key("node.userid.field"), name.key, sizeof(name.key));
    }

    PkXID audioId = id_of_row(audio, active_row_of(audioSourceCombobox));
    if (audioDisableCheckbutton != nullptr && audioDisableCheckbutton->get_active())
        audioId = PkXID::fromText(NONE_ID);
    settings->audioDevice = std::make_shared<PkXMLUUIDObject>(audioId);
    pk_settings_select_source(PK_MEDIA_AUDIO, audioId);

    const std::vector<PkVideoDevice> displays = deviceCatalog.videoDevices();
    const PkXID displayId = id_of_row(displays, active_row_of(videoSourceCombobox));
    settings->videoDevice = std::make_shared<PkXMLUUIDObject>(displayId);
    pk_settings_select_source(PK_MEDIA_VIDEO, displayId);

    const int encoderRow = active_row_of(videoEncoderCombobox);
    if (encoderRow >= 0 && uint64_t(encoderRow) < pk_media_device_property_count(displayId)) {
        const PkVideoMode mode = pk_media_device_property(displayId, uint32_t(encoderRow));
        settings->videoResolution =
            std::make_shared<PkXMLResolutionObject>(pk_video_mode_from_text(pk_video_mode_to_text(mode, true)));
        pk_media_set_device_property(displayId, mode);
    }

    const std::vector<std::string> policies = PkXMLBitratePolicyObject::values();
    const int32_t policyRow = active_row_of(bitratePolicyCombobox);
    auto policy = std::make_shared<PkXMLBitratePolicyObject>();
    policy->fromString(policyRow >= 0 && size_t(policyRow) < policies.size() ? policies[policyRow] : "adaptive");
    settings->bitratePolicy = policy;
    engine_post_command(ENGINE_CMD_SET_BITRATE_POLICY, &policyRow, sizeof(policyRow));

    const std::vector<std::string> delays = PkXMLPlaybackObject::values();
    const int delayRow = active_row_of(playbackMethodCombobox);
    auto delay = std::make_shared<PkXMLPlaybackObject>();
    delay->fromString(delayRow >= 0 && size_t(delayRow) < delays.size() ? delays[delayRow] : "3000");
    settings->playbackDelay = delay;
    EnginePlaybackLatency latency;
    memset(&latency, 0, sizeof(latency));
    latency.medium = UINT32_MAX;  // -1: audio and video
    const int64_t noValue = INT64_MIN;
    for (int i = 0; i < 3; i++) memcpy(latency.reserved + 4 + 8 * i, &noValue, sizeof(noValue));
    latency.delay = uint64_t(std::stoll(delay->toString())) * 1000000ull;
    engine_post_command(ENGINE_CMD_SET_PLAYBACK_LATENCY, &latency, sizeof(latency));

    settings->videoOntop =
        std::make_shared<PkXMLBooleanObject>(videoOntopCheckbox != nullptr && videoOntopCheckbox->get_active());

    const EngineCodecRef decoder{PK_MEDIA_VIDEO, active_row_of(videoDecoderCombobox)};
    if (pk_settings_control(ENGINE_CTL_DECODER_SELECT, &decoder, sizeof(decoder)) >= 0)
        settings->videoDecoder = std::make_shared<PkXMLNumberObject>(decoder.index);

    if (avatarChanges != 0) {
        if (avatarPicture) {
            std::vector<uint8_t> jpeg(PK_AVATAR_JPEG_MAX);
            size_t length = jpeg.size();
            if (PiPixbuf::toJpeg(avatarPicture, jpeg.data(), length) == 0 && length <= jpeg.size()) {
                jpeg.resize(length);
                pk_node_field_publish(field_key("node.avatar.field"), jpeg.data(), jpeg.size());
                settings->avatar = std::make_shared<PkXMLDataObject>(std::move(jpeg));
            }
        } else {
            settings->avatar = std::make_shared<PkXMLDataObject>();
            pk_node_field_publish(field_key("node.avatar.field"), nullptr, 0);
        }
    }

    if (captureMouseCheckbutton != nullptr) {
        const bool capture = captureMouseCheckbutton->get_active();
        settings->userCaptureMousePointer = std::make_shared<PkXMLBooleanObject>(capture);
        const EngineCommandFlag flag{1, capture ? 1u : 0u};
        engine_post_command(ENGINE_CMD_SET_SHOW_CURSOR, &flag, sizeof(flag));
    }

    saveAppSettings(settings);
}
