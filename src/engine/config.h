// The engine configuration record and the network library's configuration
// made from it.
//
// EngineConfig is the data of ENGINE_CMD_START: the interface side fills it
// once per start and the engine keeps a private copy of the whole record, so
// it is plain bytes in host order with no pointer of its own (the adapter
// records' link words are zero) and its layout is pinned below. Its
// `network` part is byte for byte the leading part of a FlowmeshConfig; the
// words after it in the library's record (flags, node kind, announce mode,
// pool sizes, RSA key) are derived here. The functions keep no state and
// may be called from any thread; they return their output or a CoreResult
// as stated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/adapters.h"
#include "core/names.h"
#include "core/result.h"
#include "flowmesh/interface.h"

// EngineConfig.networkFlags. The two discovery bits sit the other way round
// from the library's flag word (FLOWMESH_MODE_DIRECT 0x4, FLOWMESH_MODE_LAN
// 0x8); every other bit keeps its place.
enum : uint32_t {
    ENGINE_NET_ROLE_IDENTITY = 0x01,
    ENGINE_NET_ROLE_KEY = 0x02,
    ENGINE_NET_LAN_DISCOVERY = 0x04,
    ENGINE_NET_DIRECT = 0x08,
    ENGINE_NET_IGNORE_OWN = 0x10,
    ENGINE_NET_FIXED_ADAPTERS = 0x20,
};

// EngineConfig.binderDirection
enum : uint32_t {
    ENGINE_DIRECTION_OUTGOING = 0x1,  // this node may send bind requests
    ENGINE_DIRECTION_INCOMING = 0x2,  // this node answers bind requests
};

// EngineConfig.sendRoles and receiveRoles: on which side of a binding the
// node captures (or plays).
enum : uint32_t {
    ENGINE_ROLE_REQUESTER = 0x1,
    ENGINE_ROLE_ANSWERER = 0x2,
};

// EngineConfig.serviceFlags
enum : uint32_t {
    ENGINE_SERVICE_SEND = 0x1,
    ENGINE_SERVICE_RECEIVE = 0x2,
};

// EngineConfig.nodeKind
enum : uint32_t {
    ENGINE_NODE_MEDIA = 1,  // the engine creates its media session
    ENGINE_NODE_PLAIN = 2,  // services without a media session
};

// EngineConfig.servicesMode. 0x2 and 0x8 together create the receive, send
// and binding services; 0x1 or 0x4 make service creation fail. The presence
// service also derives the streams a peer must have open from it.
enum : uint32_t {
    ENGINE_SERVICES_MESSAGES = 0x1,
    ENGINE_SERVICES_BINDING = 0x2,
    ENGINE_SERVICES_FILES = 0x4,
    ENGINE_SERVICES_MEDIA = 0x8,
};

// The leading part of a FlowmeshConfig: everything before its flag word.
// The library's own record decides the layout (the asserts below).
struct EngineNetworkPart {
    uint16_t basePort;    // the node's base UDP port
    uint16_t secondPort;  // second port of each adapter instance, 0 for none
    uint32_t stunAddress; // direct mode's STUN server, network order; 0 for none
    uint16_t stunPort;
    CoreName systemNodeName;  // only nodes with the same system name meet
    CoreName nodeUserId;
    CoreName nodeKey;  // 32 random bytes made once per installation
    int32_t adapterIndex;  // -1: choose by adapterRecords
    CoreNetAdapter adapterRecords[FLOWMESH_ADAPTER_SLOTS];  // link words zero
    uint32_t networkOption;  // session encryption: FLOWMESH_KEYS_128 | FLOWMESH_KEYS_256
    uint32_t reserved;
};
static_assert(sizeof(EngineNetworkPart) == offsetof(FlowmeshConfig, flags),
              "the network part is the library configuration up to its flag word");
static_assert(offsetof(EngineNetworkPart, stunAddress) == offsetof(FlowmeshConfig, stun_address), "");
static_assert(offsetof(EngineNetworkPart, stunPort) == offsetof(FlowmeshConfig, stun_port), "");
static_assert(offsetof(EngineNetworkPart, systemNodeName) == offsetof(FlowmeshConfig, system_name), "");
static_assert(offsetof(EngineNetworkPart, nodeUserId) == offsetof(FlowmeshConfig, user_id), "");
static_assert(offsetof(EngineNetworkPart, nodeKey) == offsetof(FlowmeshConfig, node_id), "");
static_assert(offsetof(EngineNetworkPart, adapterIndex) == offsetof(FlowmeshConfig, adapter_index), "");
static_assert(offsetof(EngineNetworkPart, adapterRecords) == offsetof(FlowmeshConfig, adapters), "");
static_assert(offsetof(EngineNetworkPart, networkOption) == offsetof(FlowmeshConfig, key_options), "");

// One capture or playback device of the engine.
struct EngineDeviceSlot {
    // Source slots: capture mode (bit 0x100 and the low byte); sink slots:
    // the delivery class of received streams.
    uint32_t slotParam;
    int32_t codecIndex;    // encoder (source) or decoder (sink) list index; -1 none
    uint32_t deviceClass;  // 1 native, 2 screen, 4 virtual, 8 test
    CoreName deviceId;     // NONE_ID, DEFAULT_DEVICE_ID or a device's id
};
static_assert(sizeof(EngineDeviceSlot) == 148, "a device slot is 148 bytes in the start record");

// The data of ENGINE_CMD_START.
struct EngineConfig {
    uint32_t binderDirection;  // ENGINE_DIRECTION_*; 0 refuses the start
    uint32_t sendRoles;        // ENGINE_ROLE_*
    uint32_t receiveRoles;     // ENGINE_ROLE_*
    uint32_t networkFlags;     // ENGINE_NET_*
    uint32_t serviceFlags;     // ENGINE_SERVICE_*
    uint32_t nodeKind;         // ENGINE_NODE_*
    uint32_t networkMode;      // the library's announce mode: 1 and 3 as they are, anything else 2
    uint32_t servicesMode;     // ENGINE_SERVICES_*
    EngineNetworkPart network;
    uint32_t frameworkType;    // profile type of the multimedia framework's start: 1 or 2
    uint32_t frameworkKind;    // 0, 1 or 2
    uint64_t networkPoolSizes[2];  // the library's two optional pools; 0 lets it choose
    uint32_t p2pChannelCount;
    int32_t p2pClass;          // -1 refuses p2p negotiation
    uint32_t p2mChannelCount;  // 4, 8, 16 or 32; 0 without broadcast
    uint32_t videoSizeClass;   // 0 2160p60, 1 432p30, 2 720p30
    EngineDeviceSlot audioSource;
    EngineDeviceSlot audioSink;
    uint64_t audioPlaybackDelay;  // ns
    EngineDeviceSlot videoSource;
    EngineDeviceSlot videoSink;
    uint32_t showCursor;
    uint32_t showClicks;
    uint32_t captureSourceParams[2];
    uint64_t videoPlaybackDelay;  // ns
    uint32_t bitratePolicy;       // non-zero: constant bitrate, encoder changes refused
    uint32_t rateControlOption;
    uint32_t autoAccept;
    uint32_t combinedProfile;
};
static_assert(offsetof(EngineConfig, network) == 32, "");
static_assert(offsetof(EngineConfig, frameworkType) == 32 + sizeof(EngineNetworkPart), "");
static_assert(offsetof(EngineConfig, networkPoolSizes) % 8 == 0, "");
static_assert(offsetof(EngineConfig, audioSource) == offsetof(EngineConfig, networkPoolSizes) + 32, "");
static_assert(offsetof(EngineConfig, audioPlaybackDelay) == offsetof(EngineConfig, audioSource) + 2 * 148, "");
static_assert(offsetof(EngineConfig, videoPlaybackDelay) == offsetof(EngineConfig, videoSource) + 2 * 148 + 16, "");
static_assert(sizeof(EngineConfig) == offsetof(EngineConfig, combinedProfile) + 4,
              "the start record has no tail padding");

// What the presence service is created from: the network library's full
// configuration and, next to it, the services mode.
struct EngineNetworkSetup {
    FlowmeshConfig network;
    uint32_t servicesMode;
};

// The library's flag word for an engine's networkFlags: 0x1, 0x2, 0x10 and
// 0x20 kept, 0x4 and 0x8 swapped, every other bit dropped.
uint32_t engine_config_network_flags(uint32_t networkFlags);

// The library configuration for `config` with `rsaKey` in its key slot
// (the key stays the caller's): the network part unchanged, the flag word
// translated, node kind 2 for ENGINE_NODE_PLAIN and 1 otherwise, the
// announce mode, the pool sizes; servicesMode beside it. Every other word
// is zero. CORE_OK, or CORE_ERR_INVALID for a NULL argument.
CoreResult engine_config_network(const EngineConfig *config, EVP_PKEY *rsaKey, EngineNetworkSetup *out);
