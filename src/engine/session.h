// The engine session and the peer-services holder: what a started media
// node owns besides its configuration.
//
// The session brings up the multimedia framework and the device enumerator
// and holds the node's media provider, display controller, binder table and
// codec-evaluation context. It subscribes the engine's three dispatchers:
// interface commands on the command topic, service events on the event
// topic and control requests on ENGINE_CONTROL_SERVICE; it also listens to
// the framework's pipeline channel. Next to it, the services holder keeps
// the peer services over the network library: presence, binding, send and
// receive. This header also carries the interface-command handler the
// session subscribes (its code lives in commands.cpp) with the records of
// those commands, and the session's capture hook for application-fed
// sources.
//
// Both are process-wide objects reached through their own pointers, made
// and destroyed on the command topic's consumer (the lifecycle commands).
// The handlers they subscribe run on the topics' consumer threads and, for
// the notify channels, on the caller's thread, so every shared object they
// touch locks itself. Results: CORE_OK, CORE_ERR_INVALID (-91), CORE_ERR
// (-100).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"
#include "engine/config.h"
#include "engine/binding.h"

struct EngineBinderTable;
struct EngineMediaProvider;
struct EngineDisplay;
struct EngineEvalContext;
struct EnginePresenceService;
struct EngineBindingService;
struct EngineSendService;
struct EngineReceiveService;
struct CoreQueueEntry;
struct RavkProviderAudioStream;
struct RavkProviderVideoStream;
struct RavkDeviceList;

#ifndef ENGINE_CONTROL_SERVICE
#define ENGINE_CONTROL_SERVICE "0781A815A943C8CE7A6629B17DF54062"
#endif

// Names of the delayed teardown tasks.
#define ENGINE_TASK_UNBIND "A8924797BF3278C128F0472FBA02931F"
#define ENGINE_TASK_PEER_BUSY "C98274652BAF27635DE0FA8373BAF127"
#define ENGINE_TASK_PEER_REJECT "F8365B74289462A365D27375F7626CE2"

// What the engine start hands the session, from its copy of EngineConfig.
struct EngineSessionParams {
    uint32_t autoAccept;
    uint32_t combinedProfile;
    uint32_t sendRoles;
    uint32_t receiveRoles;
    // audio block
    EngineDeviceSlot audioSource;
    EngineDeviceSlot audioSink;
    uint64_t audioPlaybackDelay;  // ns
    // video block
    EngineDeviceSlot videoSource;
    EngineDeviceSlot videoSink;
    uint32_t showCursor;
    uint32_t showClicks;
    uint32_t captureSourceParams[2];
    uint64_t videoPlaybackDelay;  // ns
    uint32_t networkOption;
    // The framework's start profile: the type must be 1 or 2; the kind (0 to
    // 2) is the framework's size profile.
    uint32_t frameworkType;
    uint32_t frameworkKind;
};

struct EngineSession {
    CoreName eventTopic;
    CoreName commandTopic;
    CoreName nodeService;
    CoreName controlService;
    CoreName pipelineChannel;
    EngineSessionParams params;  // the codec selections change it later; under `lock`
    EngineBinderTable *binderTable;
    EngineMediaProvider *provider;
    EngineDisplay *display;
    uint64_t commandSubscription;
    uint64_t eventSubscription;
    uint64_t controlToken;
    uint64_t pipelineToken;
    EngineEvalContext *evaluation;
    uint64_t captureParams[4];  // last ENGINE_CTL_SET_CAPTURE_PARAMS
    CoreName executor;          // CORE_DEFAULT_EXECUTOR: the delayed teardown task's
    std::atomic<uint64_t> delayedTask;  // pending delayed teardown task; 0 = none
    bool enumeratorCreated;
    CoreLock *lock;  // params and captureParams
    bool frameworkStarted;  // this session started the multimedia framework
};

// What the engine start hands the services, from its copy of EngineConfig.
struct EngineServiceParams {
    uint32_t sendRoles;
    uint32_t receiveRoles;
    uint32_t binderDirection;
    uint32_t serviceFlags;
    EngineNetworkSetup network;  // the library's configuration and servicesMode
    uint32_t audioSinkParam;
    uint32_t videoSinkParam;
    // What the binding service needs besides the roles: the size classes of
    // its offers and the binding protocol's handler of received offers.
    uint32_t p2pClass;
    uint32_t videoSizeClass;
    EngineBindingOfferFn onOffer;
};

struct EngineServices {
    EngineServiceParams params;
    CoreName eventTopic;
    CoreName commandTopic;
    EnginePresenceService *presence;
    EngineBindingService *binding;
    EngineSendService *send;
    EngineReceiveService *receive;
};

// Makes and publishes the session. CORE_ERR_INVALID without parameters;
// CORE_ERR when a session exists or a step fails (what was made is
// destroyed).
CoreResult engine_session_create(const EngineSessionParams *params);

// Destroys the session, whole or half built, and clears *session.
void engine_session_destroy(EngineSession **session);

// The published session, or NULL.
EngineSession *engine_session_current(void);

// Makes and publishes the services holder. CORE_ERR when one exists or a
// step fails.
CoreResult engine_services_create(const EngineServiceParams *params);

// Destroys the services that exist and the holder.
void engine_services_destroy(void);

// The published services holder, or NULL.
EngineServices *engine_services_current(void);

// The media provider's capture hook (user: the session): describes the
// selected device of an application-fed source slot (slot parameter low
// byte 1 or 2) to the device as an element slot before the capture object
// is made. CORE_OK (also when nothing needs describing); CORE_ERR when the
// device cannot be read or described.
CoreResult engine_session_capture_hook(RavkProviderAudioStream *audio, RavkProviderVideoStream *video, void *user);

// Add an element slot to an existing application-fed device: `record` is
// an EngineAppAudioSource / EngineAppVideoSource of `length` bytes whose
// target picks the registry (0 the provider's source registry, 1 the
// display controller's sink registry). CORE_OK; CORE_ERR_INVALID for a
// short record; CORE_ERR for another target, a missing registry or device,
// or a refused add.
CoreResult engine_app_audio_slot_add(EngineSession *session, const void *record, uint64_t length);
CoreResult engine_app_video_slot_add(EngineSession *session, const void *record, uint64_t length);

// ---- interface commands -------------------------------------------------------

// ENGINE_CMD_BROADCAST_START and ENGINE_CMD_BROADCAST_STOP, and the events
// that echo them.
struct EngineBroadcastCommand {
    CoreName channel;       // ignored: the broadcast names its own channel
    CoreName bindSequence;  // the broadcast's bind sequence id
};
static_assert(sizeof(EngineBroadcastCommand) == 272, "broadcast command travels as 272 raw bytes");

// ENGINE_CMD_SET_PLAYBACK_LATENCY.
struct EnginePlaybackLatency {
    uint32_t medium;  // 0 audio, 1 video, any other both
    uint8_t reserved[28];
    uint64_t delay;   // ns
};
static_assert(sizeof(EnginePlaybackLatency) == 40 && offsetof(EnginePlaybackLatency, delay) == 32,
              "playback latency travels as 40 raw bytes");

// ENGINE_CMD_PAUSE_SENDING, ENGINE_CMD_SET_SHOW_CURSOR and
// ENGINE_CMD_SET_SHOW_CLICKS: a flag after an ignored word.
struct EngineCommandFlag {
    uint32_t reserved;
    uint32_t value;  // paused / shown
};
static_assert(sizeof(EngineCommandFlag) == 8, "flag commands travel as 8 raw bytes");

// Command topic subscriber of the session (user[0]: the session): the
// interface commands 0x3400..0x3415. Outcomes are reported only as events;
// a command whose data is shorter than its record is dropped and counted.
CoreResult engine_on_ui_command(const CoreQueueEntry *message, void **user);

// Interface commands dropped because their data was short.
uint64_t engine_ui_commands_refused(void);
