#include "app/codec_settings.h"

#include <algorithm>
#include <string>

#include "app/xml_manager.h"
#include "core/log.h"
#include "core/names.h"
#include "services/config.h"
#include "services/texts.h"

namespace {

constexpr const char *kModule = "settings";
constexpr int64_t kDefaultVersion = 1;

bool complete(const PkAudioFormat &format)
{
    return format.rate != 0 && format.rate != UINT32_MAX && format.channels != 0 && format.channels != UINT8_MAX &&
           format.bits != 0 && format.bits != UINT8_MAX;
}

bool complete(const PkVideoMode &mode)
{
    for (uint32_t field : {mode.width, mode.height, mode.rateNumerator, mode.rateDenominator})
        if (field == 0 || field == UINT32_MAX) return false;
    return true;
}

// Walks the trials from the last towards the first: the minimum is taken
// from each trial while it is incomplete, and the walk stops at the first
// passed trial, whose second value is the maximum.
template <class Trial, class Value>
void trial_bounds(const std::vector<Trial> &trials, Value *minimum, Value *maximum)
{
    *minimum = Value{};
    *maximum = Value{};
    for (auto it = trials.rbegin(); it != trials.rend(); ++it) {
        if (!complete(*minimum)) *minimum = it->minimum;
        if (it->passed) {
            *maximum = it->maximum;
            break;
        }
    }
    if (!complete(*maximum)) *maximum = *minimum;
}

// The identifier, or empty when it was seen before (one container per
// encoder, whatever number of records evaluated it).
std::string first_use(std::string id, std::vector<std::string> *seen)
{
    if (id.empty()) return id;
    if (std::find(seen->begin(), seen->end(), id) != seen->end()) return std::string();
    seen->push_back(id);
    return id;
}

PkXMLArrayObject *array_of(const std::shared_ptr<PkXMLObject> &value)
{
    return dynamic_cast<PkXMLArrayObject *>(value.get());
}

std::vector<std::shared_ptr<PkXMLContainer>> items_of(const std::shared_ptr<PkXMLObject> &value)
{
    const PkXMLArrayObject *array = array_of(value);
    return array != nullptr ? array->items() : std::vector<std::shared_ptr<PkXMLContainer>>();
}

// NAME / encoders / encoder.I with the item's fields in walking order, or
// null when the array has no item: an empty list writes no element.
std::shared_ptr<PkXMLNode> array_node(const std::shared_ptr<PkXMLObject> &value)
{
    const PkXMLArrayObject *array = array_of(value);
    if (array == nullptr) return nullptr;
    auto encoders = std::make_shared<PkXMLNode>(array->groupName());
    const std::vector<std::shared_ptr<PkXMLContainer>> items = array->items();
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == nullptr) continue;
        auto item = std::make_shared<PkXMLNode>(array->itemName() + std::string(PkConstants::kListIndexSeparator) +
                                                std::to_string(i));
        for (const auto &[key, field] : items[i]->fields())
            item->addChild(std::make_shared<PkXMLField>(key, field != nullptr ? field->toString() : std::string()));
        encoders->addChild(item);
    }
    if (encoders->children().empty()) return nullptr;
    auto node = std::make_shared<PkXMLNode>(array->name());
    node->addChild(encoders);
    return node;
}

std::string text_of(const std::shared_ptr<PkXMLObject> &value)
{
    return value != nullptr ? value->toString() : std::string();
}

std::string codec_path(std::string_view array)
{
    return std::string(AppSettingsManager::kKeyCodecs) + "/" + std::string(array) + "/" +
           std::string(PkConstants::kCodecsEncoders);
}

}  // namespace

AppCodecsSettings::AppCodecsSettings()
    : version(std::make_shared<PkXMLNumberObject>(kDefaultVersion)),
      audio(std::make_shared<PkXMLArrayObject>(std::make_shared<PkXMLAudioContainer>(),
                                               std::string(PkConstants::kCodecsAudio))),
      video(std::make_shared<PkXMLArrayObject>(std::make_shared<PkXMLVideoContainer>(),
                                               std::string(PkConstants::kCodecsVideo)))
{
}

std::vector<std::shared_ptr<PkXMLContainer>> AppCodecsSettings::audioItems() const
{
    return items_of(audio);
}

std::vector<std::shared_ptr<PkXMLContainer>> AppCodecsSettings::videoItems() const
{
    return items_of(video);
}

std::shared_ptr<AppCodecsSettings> AppCodecsSettings::fromEvaluation(const std::vector<PkEvaluateResults> &results)
{
    auto settings = std::make_shared<AppCodecsSettings>();
    PkXMLArrayObject *audioArray = array_of(settings->audio);
    PkXMLArrayObject *videoArray = array_of(settings->video);
    std::vector<std::string> audioSeen;
    std::vector<std::string> videoSeen;
    for (const PkEvaluateResults &record : results) {
        PkAudioFormat audioMin, audioMax;
        trial_bounds(record.audioTrials, &audioMin, &audioMax);
        PkVideoMode videoMin, videoMax;
        trial_bounds(record.videoTrials, &videoMin, &videoMax);

        const std::string audioId = first_use(
            record.audioTrials.empty()
                ? std::string()
                : pk_codec_uuid_text(record.audioCodec, static_cast<int32_t>(record.audioCodecIndex)),
            &audioSeen);
        const std::string videoId = first_use(
            record.videoTrials.empty()
                ? std::string()
                : pk_codec_uuid_text(record.videoCodec, static_cast<int32_t>(record.videoCodecIndex)),
            &videoSeen);

        if (!audioId.empty())
            audioArray->append(std::make_shared<PkXMLAudioContainer>(audioId, pk_audio_format_to_text(audioMin),
                                                                     pk_audio_format_to_text(audioMax)));
        if (!videoId.empty())
            videoArray->append(std::make_shared<PkXMLVideoContainer>(videoId, pk_video_mode_to_text(videoMin, true),
                                                                     pk_video_mode_to_text(videoMax, true)));
    }
    return settings;
}

PkAudioEncoderLimits toAudioEncoderLimits(PkXMLAudioContainer &container)
{
    PkAudioEncoderLimits limits{};
    const auto uuid = container.field(std::string(PkConstants::kCodecsUuid));
    const auto minimum = container.field(std::string(PkConstants::kCodecsMinimum));
    const auto maximum = container.field(std::string(PkConstants::kCodecsMaximum));
    if (uuid == nullptr || minimum == nullptr || maximum == nullptr) return limits;
    core_hex_to_bytes(limits.codecId, uuid->toString().c_str());
    limits.minimum = pk_audio_format_from_text(minimum->toString());
    limits.maximum = pk_audio_format_from_text(maximum->toString());
    return limits;
}

PkVideoEncoderLimits toVideoEncoderLimits(PkXMLVideoContainer &container)
{
    PkVideoEncoderLimits limits{};
    const auto uuid = container.field(std::string(PkConstants::kCodecsUuid));
    const auto minimum = container.field(std::string(PkConstants::kCodecsMinimum));
    const auto maximum = container.field(std::string(PkConstants::kCodecsMaximum));
    if (uuid == nullptr || minimum == nullptr || maximum == nullptr) return limits;
    core_hex_to_bytes(limits.codecId, uuid->toString().c_str());
    limits.minimum = pk_video_mode_from_text(minimum->toString());
    limits.maximum = pk_video_mode_from_text(maximum->toString());
    return limits;
}

std::shared_ptr<AppCodecsSettings> applyCodecsSettingsToConfig(std::shared_ptr<AppCodecsSettings> settings)
{
    if (settings == nullptr) return settings;
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    config->audioEncoderLimits.clear();
    config->videoEncoderLimits.clear();
    for (const auto &item : settings->audioItems())
        if (auto *container = dynamic_cast<PkXMLAudioContainer *>(item.get()))
            config->audioEncoderLimits.push_back(toAudioEncoderLimits(*container));
    for (const auto &item : settings->videoItems())
        if (auto *container = dynamic_cast<PkXMLVideoContainer *>(item.get()))
            config->videoEncoderLimits.push_back(toVideoEncoderLimits(*container));
    return settings;
}

int AppSettingsManager::saveCodecsSettings(IPkStorage<PkPath> &storage, PkAppPath<PkPath> &paths,
                                           std::shared_ptr<AppCodecsSettings> settings)
{
    if (settings == nullptr) return -1;
    auto codecs = std::make_shared<PkXMLNode>(std::string(kKeyCodecs));
    codecs->addChild(std::make_shared<PkXMLField>(std::string(kKeyCodecsVersion), text_of(settings->version)));
    if (auto node = array_node(settings->audio)) codecs->addChild(node);
    if (auto node = array_node(settings->video)) codecs->addChild(node);
    PkXMLNode wrapper;
    wrapper.addChild(codecs);

    const int result = PkXMLManager::instance()->writeXmlSettings(storage, paths.codecsFile(), wrapper);
    if (result == 0) applyCodecsSettingsToConfig(settings);
    return result;
}

std::shared_ptr<AppCodecsSettings> AppSettingsManager::loadCodecsSettings(IPkStorage<PkPath> &storage,
                                                                          PkAppPath<PkPath> &paths)
{
    auto result = std::make_shared<AppCodecsSettings>();
    PkXMLObjectMap map;
    map[std::string(kKeyCodecs) + "/" + std::string(kKeyCodecsVersion)] = result->version;
    map[codec_path(PkConstants::kCodecsAudio)] = result->audio;
    map[codec_path(PkConstants::kCodecsVideo)] = result->video;
    if (PkXMLManager::instance()->readXmlSettings(storage, paths.codecsFile(), map) != 0) {
        core_log(CORE_LOG_INFO, kModule, "no usable codec settings: the evaluation starts empty");
        return std::make_shared<AppCodecsSettings>();
    }
    return applyCodecsSettingsToConfig(std::move(result));
}
