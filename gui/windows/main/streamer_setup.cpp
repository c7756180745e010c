#include "windows/main/streamer_setup.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "app/codec_settings.h"
#include "app/settings.h"
#include "app/storage.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "core/log.h"
#include "core/names.h"
#include "core/notify.h"
#include "engine/binding.h"
#include "engine/codes.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "engine/props.h"
#include "ravelkit/devices.h"
#include "services/bind_channels.h"
#include "services/catalogue.h"
#include "services/codecs.h"
#include "services/config.h"
#include "services/facade.h"
#include "services/media.h"
#include "services/texts.h"
#include "services/utils.h"
#include "windows/dialogs/evaluate_dialog.h"

namespace {

const char *const kModule = "streamer";

// Keys are the name's first 32 bytes, zero-padded.
PkXID key_of(std::string_view text)
{
    PkXID id;
    memcpy(id.key, text.data(), std::min(text.size(), sizeof(id.key)));
    return id;
}

CoreName name_of(const PkXID &id)
{
    CoreName name{};
    memcpy(name.key, id.key, sizeof(name.key));
    core_name_make(&name);
    return name;
}

bool session_exists()
{
    return engine_context_current() != nullptr && engine_session_current() != nullptr;
}

void fill_text(EngineAppSourceText &block, std::string_view text)
{
    block.tag = STREAMER_TEXT_TAG;
    block.length = std::min(text.size(), sizeof(block.text));
    memcpy(block.text, text.data(), static_cast<size_t>(block.length));
}

// The number stored in a settings value; -1 when it holds none.
int64_t number_of(const std::shared_ptr<PkXMLObject> &value)
{
    if (const auto *typed = dynamic_cast<const PkXMLNumberObject *>(value.get())) return typed->value;
    return -1;
}

}  // namespace

PkXID streamer_viewer_audio_id()
{
    return key_of(PkConstants::kVirtualViewerAudioDevice);
}

PkXID streamer_viewer_video_id()
{
    return key_of(PkConstants::kVirtualViewerVideoDevice);
}

EngineAppAudioSource streamer_viewer_audio_record(bool add)
{
    EngineAppAudioSource record;
    memset(&record, 0, sizeof(record));
    record.target = ENGINE_APP_TARGET_SECOND;
    record.deviceId = name_of(streamer_viewer_audio_id());
    if (!add) return record;
    record.deviceIndex = -1;
    memcpy(&record.formatCode, "lpcm", sizeof(record.formatCode));
    fill_text(record.name, "Audio");
    fill_text(record.description, "");
    record.backend = 1;
    record.format.rate = STREAMER_VIEWER_AUDIO_RATE;
    record.format.channels = STREAMER_VIEWER_AUDIO_CHANNELS;
    record.format.bits = STREAMER_VIEWER_AUDIO_BITS;
    record.format.byteOrder = ENGINE_BYTE_ORDER_LE;
    record.format.sampleType = 'S';
    return record;
}

EngineAppVideoSource streamer_viewer_video_removal()
{
    EngineAppVideoSource record;
    memset(&record, 0, sizeof(record));
    record.target = ENGINE_APP_TARGET_SECOND;
    record.deviceId = name_of(streamer_viewer_video_id());
    return record;
}

EngineDeviceInfo streamer_device_selection(uint32_t media, const PkXID &id)
{
    EngineDeviceInfo record;
    memset(&record, 0, sizeof(record));
    record.media = media;
    record.id = name_of(id);
    return record;
}

EngineBroadcastCommand streamer_broadcast_start_record()
{
    EngineBroadcastCommand record;
    memset(&record, 0, sizeof(record));
    core_name_make(&record.channel);
    core_seq_name(&record.bindSequence, CORE_SEQ_BND, nullptr);
    return record;
}

int32_t streamer_control(uint32_t code, const void *record, uint64_t length)
{
    if (!session_exists()) return STREAMER_SKIPPED;
    CoreName service;
    core_name_format(&service, "%s", ENGINE_CONTROL_SERVICE);
    return core_notify(&service, code, record, length, nullptr, nullptr);
}

int32_t streamer_apply_evaluation()
{
    DiskIO<PkPath> storage;
    VeltranaAppPath<PkPath> paths;
    AppSettingsManager::instance()->loadCodecsSettings(storage, paths);
    const int32_t result = pk_evaluation_apply();
    if (result < 0) EvaluateDialog::saveCodecsSettings(std::make_shared<AppCodecsSettings>());
    return result;
}

void streamer_codec_mismatch_texts(int32_t result, Glib::ustring &title, Glib::ustring &text)
{
    if (result == PK_EVAL_APPLY_UNREADABLE || result == PK_EVAL_APPLY_MISMATCH) {
        title = pk_translate("Information");
        text = pk_translate("The current codec hardware configuration does not match with the previous performance "
                            "evaluation results") +
               ".\n" + pk_translate("Performance evaluation results have been reset") + ".\n" +
               pk_translate("To provide best compatibility please repeat the performance evaluation") + ".";
        return;
    }
    title = pk_translate("Error");
    text = pk_translate("Failed to apply performance evaluation results") + ".\n" +
           pk_translate("Performance evaluation results have been reset") + ".";
}

uint32_t streamer_usable_video_encoders()
{
    const uint64_t count = pk_media_encoder_count(PK_MEDIA_VIDEO);
    uint32_t usable = 0;
    for (uint64_t i = 0; i < count && i <= INT32_MAX; i++) {
        const PkCodecDescPair pair = pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(i));
        // The word after the direction marks the descriptor usable.
        if (pair.video.acceleration != 0 && pk_video_codec_desc_check(pair.video)) usable++;
    }
    return usable;
}

bool streamer_apply_role(bool canStream)
{
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    const bool streaming = config->sendRoles != STREAMER_ROLE_VIEWER_ONLY;
    if (streaming == canStream) return false;
    if (canStream) {
        config->audioSourceIndex = 0;
        config->videoSourceIndex = 0;
        config->networkFlags = STREAMER_FLAGS_STREAMING;
        config->sendRoles = STREAMER_ROLE_STREAMING;
        config->binderDirection = STREAMER_DIRECTION_STREAMING;
    } else {
        config->audioSourceIndex = -1;
        config->videoSourceIndex = -1;
        config->networkFlags = STREAMER_FLAGS_VIEWER_ONLY;
        config->sendRoles = STREAMER_ROLE_VIEWER_ONLY;
        config->binderDirection = STREAMER_DIRECTION_VIEWER_ONLY;
    }
    // A node key is key material: the system's generator, never rand().
    if (RAND_bytes(config->nodeKey.key, sizeof(config->nodeKey.key)) != 1)
        core_log(CORE_LOG_ERROR, kModule, "no random bytes for the node key");
    return true;
}

bool streamer_check_decoder_setting()
{
    const uint64_t decoders = pk_media_video_decoder_count();
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    if (!settings) return false;
    const int64_t stored = number_of(settings->videoDecoder);
    if (stored >= 0 && static_cast<uint64_t>(stored) < decoders) return false;
    // A value that is no number at all is as unusable as one too large.
    settings->videoDecoder = std::make_shared<PkXMLNumberObject>(0);
    saveAppSettings(settings);
    return true;
}

PkXID streamer_capture_display()
{
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    PkXID id;
    if (settings) {
        if (const auto *typed = dynamic_cast<const PkXMLUUIDObject *>(settings->videoDevice.get())) id = typed->value;
    }
    PkDeviceCatalog catalog;
    if (catalog.refresh() == 0) {
        for (const PkVideoDevice &device : catalog.videoDevices())
            if (device.id == id) return id;
    }
    id = PkXID::fromText(DEFAULT_DEVICE_ID);
    if (settings) {
        settings->videoDevice = std::make_shared<PkXMLUUIDObject>(id);
        settings->videoResolution = std::make_shared<PkXMLResolutionObject>(PkVideoMode{});
        saveAppSettings(settings);
    }
    return id;
}

int32_t streamer_select_display(const PkXID &id)
{
    const EngineDeviceInfo selection = streamer_device_selection(PK_MEDIA_VIDEO, id);
    const int32_t result = streamer_control(ENGINE_CTL_SOURCE_SELECT_ID, &selection, sizeof(selection));
    if (result == STREAMER_SKIPPED || result < 0) return result;
    const uint64_t modes = pk_media_device_property_count(id);
    const PkVideoMode mode = pk_media_device_property(id, modes == 0 ? 0 : static_cast<uint32_t>(modes - 1));
    pk_media_set_device_property(id, mode);
    return result;
}

void streamer_viewer_devices(bool add)
{
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    if ((config->audioSinkParam & STREAMER_PLAYBACK_APP_FED) != 0) {
        const EngineAppAudioSource record = streamer_viewer_audio_record(add);
        streamer_control(add ? ENGINE_CTL_ADD_AUDIO_DEVICE : ENGINE_CTL_REMOVE_AUDIO_DEVICE, &record, sizeof(record));
        if (add) {
            const EngineDeviceInfo selection = streamer_device_selection(PK_MEDIA_AUDIO, streamer_viewer_audio_id());
            streamer_control(ENGINE_CTL_SINK_SELECT_ID, &selection, sizeof(selection));
        }
    }
    if ((config->videoSinkParam & STREAMER_PLAYBACK_APP_FED) != 0) {
        if (add) {
            const PkVideoMode mode = pk_display_mode_current();
            pk_media_add_video_source(streamer_viewer_video_id(), "Display", "", mode, mode, mode);
            const EngineDeviceInfo selection = streamer_device_selection(PK_MEDIA_VIDEO, streamer_viewer_video_id());
            streamer_control(ENGINE_CTL_SINK_SELECT_ID, &selection, sizeof(selection));
        } else {
            const EngineAppVideoSource record = streamer_viewer_video_removal();
            streamer_control(ENGINE_CTL_REMOVE_VIDEO_DEVICE, &record, sizeof(record));
        }
    }
}

uint64_t streamer_start_broadcast()
{
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    if (config->broadcastChannels == 0 || engine_context_current() == nullptr) return 0;
    const EngineBroadcastCommand record = streamer_broadcast_start_record();
    const uint64_t number = engine_post_command(ENGINE_CMD_BROADCAST_START, &record, sizeof(record));
    if (number != 0) {
        const std::shared_ptr<PkBinder> binder = PkBinder::instance();
        binder->mode = PK_BINDER_MODE_BROADCAST;
        binder->changeCount++;
    }
    return number;
}
