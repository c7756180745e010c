#include "services/facade.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "core/log.h"
#include "core/topic.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "ravelkit/linux_values.h"
#include "services/config.h"
#include "services/display.h"
#include "services/media.h"
#include "services/texts.h"

namespace {

constexpr const char *kModule = "services";

// The engine's system name when the node configuration names none.
constexpr const char *kDefaultSystemNodeName = "pelko.system";

// Key of the start-up address entries in the insert-only value list, and
// the type word their texts are stored with.
constexpr const char *kStartupAddressKey = "synchro.ip";
constexpr uint32_t kTextValueType = 1;
constexpr uint32_t kIntValueType = 0;

const CoreName &command_topic()
{
    static const CoreName name = core_name_of(ENGINE_COMMAND_TOPIC);
    return name;
}

CoreName name_of_key(const PkXID &id)
{
    CoreName name;
    memset(&name, 0, sizeof(name));
    memcpy(name.key, id.key, sizeof(name.key));
    core_name_make(&name);
    return name;
}

void copy_text(char (&field)[64], const std::string &text)
{
    // A text of 64 bytes or more fills the field without a terminator; the
    // network library compares the field within its size.
    memcpy(field, text.data(), std::min(text.size(), sizeof(field)));
}

// The network library's adapter record has no port beside the broadcast
// address, so the third pair gives its address only.
void fill_adapter(CoreNetAdapter *record, const PkAdapterEntry &entry)
{
    record->flags = entry.flags;
    record->address = {entry.address.address, entry.address.port};
    record->mask = {entry.mask.address, entry.mask.port};
    record->broadcast = entry.broadcast.address;
    copy_text(record->id, entry.id);
    copy_text(record->description, entry.description);
}

EngineDeviceSlot device_slot(uint32_t param, int32_t codecIndex, bool active, uint32_t deviceClass, const PkXID &id)
{
    EngineDeviceSlot slot;
    memset(&slot, 0, sizeof(slot));
    slot.slotParam = param;
    slot.codecIndex = active ? codecIndex : -1;
    slot.deviceClass = deviceClass;
    slot.deviceId = name_of_key(id);
    return slot;
}

// The codec lists are filled afresh at every start; an evaluation stored in
// the node configuration reaches the engine only through
// pk_evaluation_apply, so the copies registered here carry none.
void register_extra_codecs(const PkConfig &config)
{
    for (const auto *list : {&config.videoEncoders, &config.videoDecoders}) {
        for (const CoreVideoCodecDesc &stored : *list) {
            CoreVideoCodecDesc desc = stored;
            memset(reinterpret_cast<uint8_t *>(&desc) + offsetof(CoreVideoCodecDesc, evaluated_profile_set), 0,
                   offsetof(CoreVideoCodecDesc, alignment_width) - offsetof(CoreVideoCodecDesc, evaluated_profile_set));
            core_codec_add_video(&desc, 1);
        }
    }
    for (const auto *list : {&config.audioEncoders, &config.audioDecoders}) {
        for (const CoreAudioCodecDesc &stored : *list) {
            CoreAudioCodecDesc desc = stored;
            memset(reinterpret_cast<uint8_t *>(&desc) + offsetof(CoreAudioCodecDesc, evaluated_profile_set), 0,
                   sizeof(desc) - offsetof(CoreAudioCodecDesc, evaluated_profile_set));
            core_codec_add_audio(&desc, 1);
        }
    }
}

// The node's own profile fields, replaced at every start. False when one
// of the first three was refused.
bool publish_node_properties(EngineNode *node, const PkConfig &config)
{
    engine_node_properties_clear(node);
    engine_node_properties_unseal(node);
    if (engine_node_property_add(ENGINE_PROP_USERID, config.nodeUserId.key, sizeof(config.nodeUserId.key)) != CORE_OK)
        return false;
    const std::string_view direction = pk_node_direction_text(config.binderDirection);
    if (engine_node_property_add(ENGINE_PROP_DIRECTION, direction.data(), direction.size()) != CORE_OK) return false;
    const std::string_view status = PkConstants::kStatusOnline;
    if (engine_node_property_add(ENGINE_PROP_STATUS, status.data(), status.size()) != CORE_OK) return false;
    const std::vector<uint8_t> &avatar = config.avatar.data;
    if (engine_node_property_add(ENGINE_PROP_AVATAR, avatar.empty() ? nullptr : avatar.data(), avatar.size()) !=
        CORE_OK)
        core_log(CORE_LOG_WARN, kModule, "the avatar of %zu bytes was not published", avatar.size());
    return true;
}

// The platform's value of a pipeline option, 0 when it has none.
uint32_t platform_value(const char *key, uint32_t index)
{
    for (const RavkFrameworkValue *v = ravk_linux_values; v->name != nullptr; ++v)
        if (v->index == index && strcmp(v->name, key) == 0) return v->value;
    return 0;
}

// Reads entry key + "00000009" of the replacing list whole, however long.
bool read_store_entry(const char *key, std::vector<uint8_t> *out)
{
    CoreValueList *list = core_process_valuelist(CORE_VALUELIST_REPLACE);
    if (list == nullptr || key == nullptr) return false;
    // The entry may be replaced between learning its size and copying it:
    // the copy is refused then (it no longer fits) and is tried again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        uint64_t size = 0;
        int got = core_valuelist_get(list, key, PK_STORE_READ_INDEX, nullptr, out->data(), out->size(), &size);
        if (got < 0) return false;
        if (got == 0) {
            out->resize(static_cast<size_t>(size));
            return true;
        }
        out->resize(static_cast<size_t>(size));
    }
    return false;
}

// The usable video encoders are the last entries of the encoder list.
struct UsableEncoders {
    uint64_t usable;
    int64_t first;
};

UsableEncoders usable_video_encoders()
{
    const uint64_t usable = pk_media_usable_encoder_count(PK_MEDIA_VIDEO);
    const uint64_t total = pk_media_encoder_count(PK_MEDIA_VIDEO);
    return {usable, static_cast<int64_t>(total) - static_cast<int64_t>(usable)};
}

bool modes_differ(const PkVideoMode &a, const PkVideoMode &b)
{
    return a.width != b.width || a.height != b.height || a.rateNumerator != b.rateNumerator ||
           a.rateDenominator != b.rateDenominator;
}

// The encoder at `index` still is the one an entry was evaluated for.
enum class EncoderMatch { Same, Different, Unreadable };

EncoderMatch match_encoder(const PkVideoEncoderLimits &limits, int64_t index, PkCodecDescPair *pair)
{
    if (index < 0 || index > INT32_MAX) return EncoderMatch::Unreadable;
    *pair = pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(index));
    if (pair->audio.direction == 0 && pair->video.direction == 0) return EncoderMatch::Unreadable;
    if (pk_bytes_to_hex(limits.codecId) != pk_codec_uuid_text(pair->video, static_cast<int32_t>(index)))
        return EncoderMatch::Different;
    return EncoderMatch::Same;
}

}  // namespace

// ---- the facade ---------------------------------------------------------------------------

std::shared_ptr<PkDeam> &PkDeam::singleton()
{
    // Never reset: the facade lives until the process ends.
    static std::shared_ptr<PkDeam> facade(new PkDeam());
    return facade;
}

std::shared_ptr<PkDeam> PkDeam::instance()
{
    std::shared_ptr<PkDeam> facade = singleton();
    facade->initialize();
    return facade;
}

PkDeam::~PkDeam() = default;

bool PkDeam::initialize()
{
    if (!PkInitializer::initialize()) return false;
    queue.subscribe(shared_from_this());
    startCore();
    queue.start();
    return true;
}

void PkDeam::shutdown()
{
    std::shared_ptr<PkDeam> facade = singleton();
    EngineContext *context = engine_context_current();
    engine_destroy(&context);
    // Breaks the queue's reference to the facade.
    facade->queue.unsubscribe(facade);
    facade->requestedState.store(PK_DEAM_STATE_NONE);
}

int32_t PkDeam::startCore()
{
    notifyCoreInitializing();
    if (engine_context_current() != nullptr) return -1;
    // Allocates the context, starts the engine node, subscribes the
    // lifecycle handler and an event sink that takes every event, and
    // publishes the context; a failure destroys what it made.
    if (engine_context_create() != CORE_OK) {
        core_log(CORE_LOG_ERROR, kModule, "the engine could not be created; the interface runs without it");
        return -1;
    }
    CoreValueList *addresses = core_process_valuelist(CORE_VALUELIST_INSERT);
    const std::vector<std::string> &texts = PkInitConfig::instance()->addresses;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (addresses == nullptr ||
            core_valuelist_put(addresses, kStartupAddressKey, static_cast<uint32_t>(i), kTextValueType,
                               texts[i].data(), texts[i].size()) != 0)
            core_log(CORE_LOG_WARN, kModule, "start-up address %zu was not stored", i);
    }
    notifyCoreInitialized();
    return 0;
}

int32_t PkDeam::setState(int32_t state)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (state == requestedState.load()) return 0;
    if (state != PK_DEAM_STATE_STOPPED && state != PK_DEAM_STATE_STARTED) return -1;
    auto request = std::make_shared<PkBuffer>();
    request->code = state;
    queue.post(std::move(request));
    requestedState.store(state);
    return 0;
}

void PkDeam::onMessage(std::shared_ptr<PkBuffer> message)
{
    if (!message) return;
    // Nothing may leave the worker: an escaping exception would end it.
    try {
        if (message->code == PK_DEAM_STATE_STOPPED) runStop();
        if (message->code == PK_DEAM_STATE_STARTED) runStart();
    } catch (const std::exception &error) {
        core_log(CORE_LOG_ERROR, kModule, "engine request %d failed: %s", message->code, error.what());
    }
}

void PkDeam::runStart()
{
    if (configureSession() == 0) return;
    if (engine_context_current() != nullptr) {
        const uint64_t sequence = engine_post_command(ENGINE_CMD_GO_ONLINE, nullptr, 0);
        if (sequence != 0 && engine_node_running() != nullptr) core_topic_wait(&command_topic(), sequence);
    }
    notifyStarted();
}

void PkDeam::runStop()
{
    // An engine that does not end up offline (none, stopped, or started but
    // never online) is left as it is, and nobody is told anything.
    if (engine_go_offline_sync() == 0) return;
    notifyStopping();
    engine_stop_sync();
    notifyStopped();
}

uint64_t PkDeam::configureSession()
{
    notifyStarting();
    pushPipelineOptions();
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    const EngineConfig record = pk_engine_config_from_node_config();
    register_extra_codecs(*config);

    EngineNode *node = engine_node_running();
    if (engine_context_current() == nullptr || node == nullptr) return 0;
    if (!publish_node_properties(node, *config)) {
        core_log(CORE_LOG_WARN, kModule, "a node property was refused; the engine is not started");
        return 0;
    }
    if (engine_node_properties_seal() != CORE_OK || engine_context_current() == nullptr) return 0;

    const uint64_t sequence = engine_post_command(ENGINE_CMD_START, &record, sizeof(record));
    if (sequence == 0) return 0;
    if (core_topic_wait(&command_topic(), sequence) != CORE_OK) return 0;
    if (engine_state() != ENGINE_STATE_STARTED) {
        core_log(CORE_LOG_WARN, kModule, "the engine did not start from the node configuration");
        return 0;
    }
    return sequence;
}

void PkDeam::pushPipelineOptions()
{
    // The platform's framework values first (backends and their feature
    // words); an option the node configuration leaves at 0 keeps the
    // platform's value, where writing 0 would leave the pipelines without
    // a backend.
    if (ravk_linux_values_publish() != 0)
        core_log(CORE_LOG_WARN, kModule, "the framework values of this platform were not all published");
    struct Option {
        const char *key;
        uint32_t index;
    };
    static constexpr Option kOptions[PK_PIPELINE_OPTION_COUNT] = {
        {"frmwrk.aud.prov.pipe", 0}, {"frmwrk.aud.cons.pipe", 0}, {"frmwrk.vid.prov.pipe", 0},
        {"frmwrk.vid.cons.pipe", 0}, {"frmwrk.aud.prov.proc", 0}, {"frmwrk.aud.cons.proc", 0},
        {"frmwrk.vid.prov.proc", 0}, {"frmwrk.vid.cons.proc", 0}, {"frmwrk.aud.prov.proc", 1},
        {"frmwrk.aud.cons.proc", 1}, {"frmwrk.vid.prov.proc", 1}, {"frmwrk.vid.cons.proc", 1},
    };
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    for (size_t i = 0; i < PK_PIPELINE_OPTION_COUNT; ++i) {
        const int32_t option = config->pipelineOptions[i];
        const int32_t value =
            option != 0 ? option : static_cast<int32_t>(platform_value(kOptions[i].key, kOptions[i].index));
        pk_store_set_int(kOptions[i].key, kOptions[i].index, value);
    }
}

void PkDeam::addListener(std::shared_ptr<IPkDeam> listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    listeners.push_back(std::move(listener));
}

void PkDeam::removeListener(const std::shared_ptr<IPkDeam> &listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (it->get() == listener.get()) {
            listeners.erase(it);
            return;
        }
    }
}

std::vector<std::shared_ptr<IPkDeam>> PkDeam::listenersCopy()
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    return listeners;
}

void PkDeam::notify(void (IPkDeam::*slot)(), const char *what)
{
    for (const std::shared_ptr<IPkDeam> &listener : listenersCopy()) {
        if (!listener) continue;
        // One failing listener must not keep the others from hearing it, nor
        // end the worker it may run on.
        try {
            (listener.get()->*slot)();
        } catch (const std::exception &error) {
            core_log(CORE_LOG_ERROR, kModule, "a facade listener failed in %s: %s", what, error.what());
        } catch (...) {
            core_log(CORE_LOG_ERROR, kModule, "a facade listener failed in %s", what);
        }
    }
}

void PkDeam::notifyCoreInitializing() { notify(&IPkDeam::onCoreInitializing, "onCoreInitializing"); }
void PkDeam::notifyCoreInitialized() { notify(&IPkDeam::onCoreInitialized, "onCoreInitialized"); }
void PkDeam::notifyStopping() { notify(&IPkDeam::onEngineStopping, "onEngineStopping"); }
void PkDeam::notifyStopped() { notify(&IPkDeam::onEngineStopped, "onEngineStopped"); }
void PkDeam::notifyStarting() { notify(&IPkDeam::onEngineStarting, "onEngineStarting"); }
void PkDeam::notifyStarted() { notify(&IPkDeam::onEngineStarted, "onEngineStarted"); }
void PkDeam::notifyShutdownStarting() { notify(&IPkDeam::onShutdownStarting, "onShutdownStarting"); }
void PkDeam::notifyShutdownFinished() { notify(&IPkDeam::onShutdownFinished, "onShutdownFinished"); }

// ---- the engine configuration record -------------------------------------------------------

EngineConfig pk_engine_config_from_node_config()
{
    const std::shared_ptr<PkConfig> pk = PkConfig::instance();
    EngineConfig config;
    memset(&config, 0, sizeof(config));

    config.binderDirection = pk->binderDirection;
    config.sendRoles = pk->sendRoles;
    config.receiveRoles = pk->receiveRoles;
    config.networkFlags = pk->networkFlags;
    config.serviceFlags = ENGINE_SERVICE_SEND | ENGINE_SERVICE_RECEIVE;
    config.nodeKind = ENGINE_NODE_MEDIA;
    config.networkMode = pk->networkMode;
    config.servicesMode = pk->servicesMode;

    EngineNetworkPart &network = config.network;
    network.basePort = pk->basePort;
    network.secondPort = pk->secondPort;
    if (pk->systemNodeName.isNull())
        core_name_format(&network.systemNodeName, "%s", kDefaultSystemNodeName);
    else
        network.systemNodeName = name_of_key(pk->systemNodeName);
    network.nodeUserId = name_of_key(pk->nodeUserId);
    network.nodeKey = name_of_key(pk->nodeKey);
    network.adapterIndex = pk->adapterIndex;
    const size_t adapters = std::min<size_t>(pk->adapters.size(), FLOWMESH_ADAPTER_SLOTS);
    for (size_t i = 0; i < adapters; ++i) fill_adapter(&network.adapterRecords[i], pk->adapters[i]);
    network.networkOption = pk->networkOption;

    config.frameworkType = pk->frameworkType;
    config.frameworkKind = 0;
    config.p2pChannelCount = pk->p2pChannelCount;
    config.p2pClass = pk->p2pClass;
    const bool broadcast = pk->broadcastConfigured();
    config.p2mChannelCount = broadcast ? pk->broadcastChannels : pk->p2mChannelCount;
    config.videoSizeClass = static_cast<uint32_t>(broadcast ? pk->broadcastSizeClass : pk->videoSizeClass);

    const bool sending = pk->sendRoles != 0;
    const bool receiving = pk->receiveRoles != 0;
    const uint64_t delay = static_cast<uint64_t>(pk->playbackDelayMs) * 1000000ull;
    config.audioSource =
        device_slot(pk->audioSourceParam, pk->audioSourceIndex, sending, pk->audioSourceClass, pk->audioSourceId);
    config.audioSink =
        device_slot(pk->audioSinkParam, pk->audioSinkIndex, receiving, pk->audioSinkClass, pk->audioSinkId);
    config.audioPlaybackDelay = delay;
    config.videoSource =
        device_slot(pk->videoSourceParam, pk->videoSourceIndex, sending, pk->videoSourceClass, pk->videoSourceId);
    config.videoSink =
        device_slot(pk->videoSinkParam, pk->videoSinkIndex, receiving, pk->videoSinkClass, pk->videoSinkId);
    config.showCursor = pk->showCursor ? 1 : 0;
    config.showClicks = pk->showClicks ? 1 : 0;
    config.captureSourceParams[0] = pk->captureSourceParams[0];
    config.captureSourceParams[1] = pk->captureSourceParams[1];
    config.videoPlaybackDelay = delay;
    config.bitratePolicy = pk->bitratePolicy;
    config.rateControlOption = pk->rateControlOption;
    config.autoAccept = pk->autoAccept ? 1 : 0;
    config.combinedProfile = pk->combinedProfile ? 1 : 0;
    return config;
}

// ---- binding-direction texts -------------------------------------------------------------------

std::string_view pk_node_direction_text(uint32_t direction)
{
    switch (direction) {
    case 1: return PkConstants::kDirectionOutgoing;
    case 2: return PkConstants::kDirectionIncoming;
    case 3: return PkConstants::kDirectionBidirectional;
    default: return PkConstants::kDirectionNone;
    }
}

int32_t pk_node_direction_from_text(std::string_view text)
{
    if (text == PkConstants::kDirectionOutgoing) return 1;
    if (text == PkConstants::kDirectionIncoming) return 2;
    if (text == PkConstants::kDirectionBidirectional) return 3;
    return 0;
}

// ---- value-list helpers ------------------------------------------------------------------------

int32_t pk_store_set_int(const char *key, uint32_t index, int32_t value)
{
    CoreValueList *list = core_process_valuelist(CORE_VALUELIST_REPLACE);
    if (list == nullptr || key == nullptr) return -1;
    // A replacing list swaps an older entry for the new one in one step, so
    // no reader ever finds the key missing in between.
    return core_valuelist_put(list, key, index, kIntValueType, &value, sizeof(value)) == 0 ? 0 : -1;
}

int32_t pk_store_get_int(const char *key)
{
    CoreValueList *list = core_process_valuelist(CORE_VALUELIST_REPLACE);
    if (list == nullptr || key == nullptr) return PK_STORE_NO_INT;
    int32_t value = 0;
    uint64_t size = 0;
    if (core_valuelist_get(list, key, PK_STORE_READ_INDEX, nullptr, &value, sizeof(value), &size) != 0 ||
        size != sizeof(value))
        return PK_STORE_NO_INT;
    return value;
}

std::u16string pk_store_get_wide_text(const char *key)
{
    std::vector<uint8_t> bytes;
    if (!read_store_entry(key, &bytes)) return std::u16string();
    std::u16string text(bytes.size() / 2, u'\0');
    if (!text.empty()) memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

// ---- evaluated encoder limits --------------------------------------------------------------------

int32_t pk_evaluation_apply()
{
    const std::vector<PkVideoEncoderLimits> &limits = PkConfig::instance()->videoEncoderLimits;
    const UsableEncoders encoders = usable_video_encoders();
    if (encoders.usable != limits.size()) return limits.empty() ? PK_EVAL_APPLY_NOTHING : PK_EVAL_APPLY_MISMATCH;
    int64_t index = encoders.first;
    for (const PkVideoEncoderLimits &entry : limits) {
        PkCodecDescPair pair;
        switch (match_encoder(entry, index, &pair)) {
        case EncoderMatch::Unreadable: return PK_EVAL_APPLY_UNREADABLE;
        case EncoderMatch::Different: return PK_EVAL_APPLY_MISMATCH;
        case EncoderMatch::Same: break;
        }
        // The limits record mirrors the descriptor's evaluated block.
        memcpy(reinterpret_cast<uint8_t *>(static_cast<CoreVideoCodecDesc *>(&pair.video)) +
                   offsetof(CoreVideoCodecDesc, evaluated_profile_set),
               &entry.profileSet, sizeof(PkVideoEncoderLimits) - offsetof(PkVideoEncoderLimits, profileSet));
        if (pk_media_set_encoder_info(pair, static_cast<int32_t>(index)) != 0) return PK_EVAL_APPLY_REFUSED;
        ++index;
    }
    return PK_EVAL_APPLY_DONE;
}

uint32_t pk_evaluation_fast_encoder_count(const std::vector<PkVideoEncoderLimits> &limits)
{
    const UsableEncoders encoders = usable_video_encoders();
    if (encoders.usable != limits.size()) return 0;
    int64_t index = encoders.first;
    uint32_t count = 0;
    for (const PkVideoEncoderLimits &entry : limits) {
        PkCodecDescPair pair;
        if (match_encoder(entry, index, &pair) != EncoderMatch::Same) break;
        if (modes_differ(entry.minimum, entry.maximum)) ++count;
        ++index;
    }
    return count;
}
