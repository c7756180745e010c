#include "engine/session.h"

#include <cstring>
#include <new>

#include "core/log.h"
#include "core/notify.h"
#include "core/topic.h"
#include "engine/binder.h"
#include "engine/binding.h"
#include "engine/capability.h"
#include "engine/connection.h"
#include "engine/control.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/evaluation.h"
#include "engine/events.h"
#include "engine/node.h"
#include "engine/presence.h"
#include "engine/provider.h"
#include "engine/receive.h"
#include "engine/send.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"
#include "ravelkit/init.h"
#include "ravelkit/provider.h"

namespace {

constexpr const char *kModule = "session";

std::atomic<EngineSession *> g_session{nullptr};
std::atomic<EngineServices *> g_services{nullptr};

// The framework's per-session state: up between a successful ravk_init of a
// session and that session's destroy. One session per process may hold it.
std::atomic<bool> g_framework_up{false};

bool is_none_id(const CoreName &name) { return core_name_cmp_str(name.key, NONE_ID) == 0; }

// The framework's start profile: the type must be 1 or 2 and the kind, the
// framework's size profile, 0 to 2.
bool framework_start(uint32_t type, uint32_t kind)
{
    if ((type != 1 && type != 2) || kind > 2) {
        core_log(CORE_LOG_WARN, kModule, "framework profile type %u kind %u refused", type, kind);
        return false;
    }
    bool expected = false;
    if (!g_framework_up.compare_exchange_strong(expected, true)) {
        core_log(CORE_LOG_WARN, kModule, "the multimedia framework is already started");
        return false;
    }
    if (ravk_init(static_cast<RavkCodecProfile>(kind)) != 0) {
        // ravk_init leaves the lists as it found them; the channel it may
        // have made goes with the shutdown.
        ravk_shutdown();
        g_framework_up.store(false);
        return false;
    }
    return true;
}

// The enumerator watches only native and screen devices; virtual and test
// sources are added by the engine itself.
bool enumerator_filter(const EngineSessionParams &params, RavkDeviceEnumConfig *filter)
{
    memset(filter, 0, sizeof(*filter));
    if (params.sendRoles == 0) return false;
    filter->direction = RAVK_DIRECTION_SOURCE;
    const uint32_t audio = params.audioSource.deviceClass & (RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN);
    const uint32_t video = params.videoSource.deviceClass & (RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN);
    if (audio != 0) {
        filter->media |= RAVK_MEDIA_AUDIO;
        filter->device_class |= audio;
    }
    if (video != 0) {
        filter->media |= RAVK_MEDIA_VIDEO;
        filter->device_class |= video;
    }
    return filter->media != 0;
}

void unsubscribe_handlers(EngineSession *session)
{
    if (session->commandSubscription != 0) core_topic_unsubscribe(&session->commandTopic, session->commandSubscription);
    if (session->eventSubscription != 0) core_topic_unsubscribe(&session->eventTopic, session->eventSubscription);
    session->commandSubscription = 0;
    session->eventSubscription = 0;
    if (session->controlToken != 0) {
        core_notify_unsubscribe(&session->controlService, session->controlToken);
        // Removing the channel waits until no caller is inside it: the
        // session's parts outlive every control request.
        core_notify_channel_remove(ENGINE_CONTROL_SERVICE);
    }
    if (session->pipelineToken != 0) core_notify_unsubscribe(&session->pipelineChannel, session->pipelineToken);
    session->controlToken = 0;
    session->pipelineToken = 0;
}

void destroy_services(EngineServices *services)
{
    engine_send_service_destroy(&services->send);
    engine_receive_service_destroy(&services->receive);
    engine_binding_service_destroy(&services->binding);
    engine_presence_destroy(&services->presence);
    delete services;
}

// Adds an app-fed source record as the second element slot of the device
// of its id: target 0 in the provider's source registry, 1 in the display
// controller's sink registry.
template <typename Record>
CoreResult app_slot_add(EngineSession *session, const void *record, uint64_t length, bool video)
{
    if (record == nullptr || length < sizeof(Record)) return CORE_ERR_INVALID;
    if (session == nullptr) return CORE_ERR;
    Record source;
    memcpy(&source, record, sizeof(source));
    RavkDeviceList *sources = nullptr, *sinks = nullptr;
    if (session->provider != nullptr)
        sources = video ? session->provider->videoSources : session->provider->audioSources;
    if (session->display != nullptr) sinks = video ? session->display->videoSinks : session->display->audioSinks;
    if constexpr (sizeof(Record) == sizeof(EngineAppVideoSource))
        return engine_video_device_add_slot(sources, sinks, &source);
    else
        return engine_audio_device_add_slot(sources, sinks, &source);
}

// The selected device of a source registry, or 0 when none is selected or
// the registry is empty.
uint64_t selected_device(RavkDeviceList *list, CoreName *id)
{
    if (list == nullptr || ravk_device_list_get_selected(list, id) != 0 || is_none_id(*id)) return 0;
    return ravk_device_list_find(list, id, 0);
}

// Reads what an application-fed capture needs of its device: the file
// descriptor it may hand over (absent is allowed) and no node path (a
// device with a path is captured by the framework itself). CORE_OK with
// the fd or -1; CORE_ERR otherwise.
CoreResult app_device_handles(uint64_t device, int32_t *fd)
{
    int value = -1;
    const int found = ravk_device_get_fd(device, &value);
    if (found < 0) return CORE_ERR;
    *fd = found == 1 ? value : -1;
    CoreBuffer path;
    memset(&path, 0, sizeof(path));
    return ravk_device_get_path(device, &path) == 0 ? CORE_OK : CORE_ERR;
}

}  // namespace

// ---- session ------------------------------------------------------------------

CoreResult engine_session_create(const EngineSessionParams *params)
{
    if (params == nullptr) return CORE_ERR_INVALID;
    if (g_session.load(std::memory_order_acquire) != nullptr) return CORE_ERR;
    EngineCapability *capability = engine_capability_current();
    if (capability == nullptr) {
        core_log(CORE_LOG_WARN, kModule, "no local capability: the session cannot size its binder table");
        return CORE_ERR;
    }
    auto *session = new (std::nothrow) EngineSession{};
    if (session == nullptr) return CORE_ERR;
    session->params = *params;
    session->eventTopic = core_name_of(ENGINE_EVENT_TOPIC);
    session->commandTopic = core_name_of(ENGINE_COMMAND_TOPIC);
    session->nodeService = core_name_of(ENGINE_NODE_SERVICE);
    session->controlService = core_name_of(ENGINE_CONTROL_SERVICE);
    session->pipelineChannel = core_name_of(RAVK_PIPELINE_CHANNEL);
    session->executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    session->lock = new (std::nothrow) CoreLock;

    bool ok = session->lock != nullptr && framework_start(params->frameworkType, params->frameworkKind);
    session->frameworkStarted = ok;

    RavkDeviceEnumConfig filter;
    if (ok && enumerator_filter(*params, &filter)) {
        ok = ravk_device_enum_create(&filter) == 0;
        session->enumeratorCreated = ok;
    }
    if (ok) {
        EngineProviderConfig config;
        memset(&config, 0, sizeof(config));
        config.sendRoles = params->sendRoles;
        config.audioSource = params->audioSource;
        config.audioSinkParam = params->audioSink.slotParam;
        config.videoSource = params->videoSource;
        config.videoSinkParam = params->videoSink.slotParam;
        config.showCursor = params->showCursor;
        config.showClicks = params->showClicks;
        config.captureSourceParams[0] = params->captureSourceParams[0];
        config.captureSourceParams[1] = params->captureSourceParams[1];
        config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        config.pool = core_name_of(CORE_DEFAULT_POOL);
        config.combinedProfile = params->combinedProfile;
        config.captureHook = {engine_session_capture_hook, session};
        session->provider = engine_media_provider_create(&config);
        ok = session->provider != nullptr;
    }
    if (ok) {
        EngineDisplayConfig config;
        memset(&config, 0, sizeof(config));
        config.receiveRoles = params->receiveRoles;
        config.audioSink = {params->audioSink.codecIndex, params->audioSink.deviceClass, params->audioSink.deviceId};
        config.audioPlaybackDelay = params->audioPlaybackDelay;
        config.videoSink = {params->videoSink.codecIndex, params->videoSink.deviceClass, params->videoSink.deviceId};
        config.videoPlaybackDelay = params->videoPlaybackDelay;
        config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        config.pool = core_name_of(CORE_DEFAULT_POOL);
        session->display = engine_display_create(&config);
        ok = session->display != nullptr;
    }
    if (ok) {
        session->binderTable = engine_binder_table_create(params->sendRoles, params->receiveRoles, params->networkOption);
        // The counts may change only while the table is closed.
        ok = session->binderTable != nullptr &&
             engine_binder_set_channel_counts(session->binderTable, capability->p2pChannelCount,
                                              capability->p2mChannelCount) == CORE_OK;
    }
    if (ok) {
        CoreTopicSubscription events = {engine_on_service_event, {session, nullptr}};
        session->eventSubscription = core_topic_subscribe(&session->eventTopic, &events);
        CoreTopicSubscription commands = {engine_on_ui_command, {session, nullptr}};
        session->commandSubscription = core_topic_subscribe(&session->commandTopic, &commands);
        ok = session->eventSubscription != 0 && session->commandSubscription != 0;
    }
    if (ok) {
        ok = core_notify_channel_create(&session->controlService) == CORE_OK;
        CoreNotifySubscription control = {engine_on_control, {session, nullptr}};
        if (ok) session->controlToken = core_notify_subscribe(&session->controlService, &control);
        CoreNotifySubscription pipeline = {engine_on_pipeline_event, {session, nullptr}};
        if (ok) session->pipelineToken = core_notify_subscribe(&session->pipelineChannel, &pipeline);
        ok = session->controlToken != 0 && session->pipelineToken != 0;
    }
    if (ok) {
        session->evaluation = engine_eval_context_create(session->provider);
        ok = session->evaluation != nullptr;
    }
    if (ok && session->enumeratorCreated) ok = ravk_device_enum_start() == 0;

    EngineSession *expected = nullptr;
    if (ok && g_session.compare_exchange_strong(expected, session, std::memory_order_acq_rel)) return CORE_OK;
    core_log(CORE_LOG_WARN, kModule, "the engine session could not be made");
    EngineSession *half = session;
    engine_session_destroy(&half);
    return CORE_ERR;
}

void engine_session_destroy(EngineSession **psession)
{
    if (psession == nullptr || *psession == nullptr) return;
    EngineSession *session = *psession;
    EngineSession *expected = session;
    g_session.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    // The handlers go first: once they are gone nothing can schedule a new
    // teardown task, so the one cancelled next is the last.
    unsubscribe_handlers(session);
    engine_cancel_delayed_task(session);
    engine_eval_context_destroy(&session->evaluation);
    engine_media_provider_destroy(&session->provider);
    engine_display_destroy(&session->display);
    engine_binder_table_destroy(&session->binderTable);
    if (session->enumeratorCreated) ravk_device_enum_destroy();
    if (session->frameworkStarted) {
        // Removes the pipeline channel, empties the four codec lists and
        // drops the conversion context.
        ravk_shutdown();
        g_framework_up.store(false);
    }
    delete session->lock;
    delete session;
    *psession = nullptr;
}

EngineSession *engine_session_current(void) { return g_session.load(std::memory_order_acquire); }

// ---- services -------------------------------------------------------------------

CoreResult engine_services_create(const EngineServiceParams *params)
{
    if (params == nullptr) return CORE_ERR_INVALID;
    if (g_services.load(std::memory_order_acquire) != nullptr) return CORE_ERR;
    auto *services = new (std::nothrow) EngineServices{};
    if (services == nullptr) return CORE_ERR;
    services->params = *params;
    services->eventTopic = core_name_of(ENGINE_EVENT_TOPIC);
    services->commandTopic = core_name_of(ENGINE_COMMAND_TOPIC);

    const uint32_t mode = params->network.servicesMode;
    services->presence = engine_presence_create(&services->params.network);
    bool ok = services->presence != nullptr;
    if (ok && (mode & ENGINE_SERVICES_BINDING) != 0 && (mode & ENGINE_SERVICES_MEDIA) != 0) {
        if ((params->serviceFlags & ENGINE_SERVICE_RECEIVE) != 0) {
            services->receive = engine_receive_service_create(params->audioSinkParam, params->videoSinkParam);
            ok = services->receive != nullptr;
        }
        if (ok && (params->serviceFlags & ENGINE_SERVICE_SEND) != 0) {
            services->send = engine_send_service_create(params->sendRoles);
            ok = services->send != nullptr;
        }
        if (ok) {
            EngineBindingParams binding;
            memset(&binding, 0, sizeof(binding));
            binding.binderDirection = params->binderDirection;
            binding.sendRoles = params->sendRoles;
            binding.receiveRoles = params->receiveRoles;
            binding.p2pClass = params->p2pClass;
            binding.videoSizeClass = params->videoSizeClass;
            binding.onOffer = params->onOffer;
            services->binding = engine_binding_service_create(&binding);
            ok = services->binding != nullptr;
        }
    }
    if (ok && (mode & (ENGINE_SERVICES_MESSAGES | ENGINE_SERVICES_FILES)) != 0) {
        core_log(CORE_LOG_WARN, kModule, "services mode 0x%X asks for services this node does not have", mode);
        ok = false;
    }
    EngineServices *expected = nullptr;
    if (ok && g_services.compare_exchange_strong(expected, services, std::memory_order_acq_rel)) return CORE_OK;
    destroy_services(services);
    return CORE_ERR;
}

void engine_services_destroy(void)
{
    EngineServices *services = g_services.exchange(nullptr, std::memory_order_acq_rel);
    if (services != nullptr) destroy_services(services);
}

EngineServices *engine_services_current(void) { return g_services.load(std::memory_order_acquire); }

// ---- application-fed sources ------------------------------------------------------

CoreResult engine_app_audio_slot_add(EngineSession *session, const void *record, uint64_t length)
{
    return app_slot_add<EngineAppAudioSource>(session, record, length, false);
}

CoreResult engine_app_video_slot_add(EngineSession *session, const void *record, uint64_t length)
{
    return app_slot_add<EngineAppVideoSource>(session, record, length, true);
}

CoreResult engine_session_capture_hook(RavkProviderAudioStream *audio, RavkProviderVideoStream *video, void *user)
{
    auto *session = static_cast<EngineSession *>(user);
    if (session == nullptr || session->provider == nullptr) return CORE_ERR;
    struct Part {
        bool video;
        uint32_t slotParam;
        RavkDeviceList *list;
    };
    const Part parts[2] = {
        {false, session->params.audioSource.slotParam, session->provider->audioSources},
        {true, session->params.videoSource.slotParam, session->provider->videoSources},
    };
    for (const Part &part : parts) {
        if ((part.video ? static_cast<void *>(video) : static_cast<void *>(audio)) == nullptr) continue;
        const uint32_t feed = part.slotParam & 0xFF;
        if (feed == 0 || part.list == nullptr) continue;
        CoreName id;
        const uint64_t device = selected_device(part.list, &id);
        if (device == 0) continue;
        if (feed != 1 && feed != 2) return CORE_ERR;
        int32_t fd = -1;
        if (app_device_handles(device, &fd) != CORE_OK) return CORE_ERR;
        // The stream's own format, described to the device as its second
        // element slot.
        CoreResult added;
        if (part.video) {
            EngineAppVideoSource source;
            memset(&source, 0, sizeof(source));
            source.target = ENGINE_APP_TARGET_FIRST;
            source.deviceIndex = fd;
            source.deviceId = id;
            source.formatCode = video->encoder.input;
            CoreVideoMode mode = video->format.video;
            // Flow-controlled feeds (low byte 1) take planar frames, whose
            // chroma planes need even sizes.
            if (feed == 1) {
                mode.width &= ~1u;
                mode.height &= ~1u;
            }
            source.backend = 1;
            source.mode1 = source.mode2 = source.mode3 = mode;
            added = engine_app_video_slot_add(session, &source, sizeof(source));
        } else {
            EngineAppAudioSource source;
            memset(&source, 0, sizeof(source));
            source.target = ENGINE_APP_TARGET_FIRST;
            source.deviceIndex = fd;
            source.deviceId = id;
            source.formatCode = audio->encoder.input;
            source.backend = 1;
            memcpy(&source.format, &audio->format.audio, sizeof(source.format));
            added = engine_app_audio_slot_add(session, &source, sizeof(source));
        }
        if (added != CORE_OK) return CORE_ERR;
    }
    return CORE_OK;
}
