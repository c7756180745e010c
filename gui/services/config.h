// The node configuration: the interface side's picture of how this node is
// to run (network identity and options, devices, capture and playback
// options, extra codecs and evaluated encoder limits), and the start-up
// address list that the engine facade publishes when it creates the engine.
//
// PkConfig and PkInitConfig are process-wide singletons, made with the
// defaults below by their first instance() call and kept until the process
// ends. Neither has a lock: the GTK main thread writes them (the application
// shell when it starts, the settings and evaluation dialogs later), and the
// engine facade's worker reads PkConfig during an engine start, which the
// writers request only after they are done. Nothing here reaches the engine
// before its next start. Fields are read and written directly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/codec_desc.h"
#include "services/buffer.h"
#include "services/codecs.h"
#include "services/display.h"

// Number of pipeline option words of the multimedia framework.
#define PK_PIPELINE_OPTION_COUNT 12
// The engine's network configuration takes at most this many adapters.
#define PK_ADAPTER_ENTRY_MAX 16

// One address of a network adapter as the network library words it.
struct PkAdapterAddress {
    uint32_t address = 0;
    uint16_t port = 0;
};

// One network adapter to use; the network library gives the words their
// meaning and the service classes copy them unchanged.
struct PkAdapterEntry {
    PkAdapterAddress address;
    PkAdapterAddress mask;
    PkAdapterAddress broadcast;
    uint32_t flags = 0;
    std::string id;           // the engine keeps at most 64 bytes of each text
    std::string description;
};

class PkConfig : public std::enable_shared_from_this<PkConfig> {
public:
    static std::shared_ptr<PkConfig> instance();

    PkConfig(const PkConfig &) = delete;
    PkConfig &operator=(const PkConfig &) = delete;

    // True when a multichannel broadcast is configured: both broadcast
    // fields are set (the broadcast dialogs set both, stopping clears both).
    bool broadcastConfigured() const { return broadcastSizeClass != -1 && broadcastChannels != 0; }

    // Network identity and options.
    std::vector<PkAdapterEntry> adapters;
    std::array<int32_t, PK_PIPELINE_OPTION_COUNT> pipelineOptions{};
    uint16_t secondPort = 0;
    uint16_t basePort = 0;
    int32_t adapterIndex = -1;  // -1: choose by `adapters`
    uint32_t networkOption = 0;
    uint32_t servicesMode = 0;
    uint32_t networkMode = 2;
    uint32_t networkFlags = 0;
    PkXID nodeUserId;       // the user id text, zero-padded
    PkXID systemNodeName;   // all zero: the engine's default system name
    PkXID nodeKey;
    PkBuffer avatar;        // the picture's bytes in `data`

    // Devices: CoreName keys, NONE_ID until chosen.
    PkXID videoSourceId;
    PkXID videoSinkId;
    PkXID audioSourceId;
    PkXID audioSinkId;
    uint32_t audioSourceParam = 0;
    uint32_t videoSourceParam = 0;
    uint32_t videoSourceClass = 0;
    uint32_t audioSourceClass = 0;
    uint32_t videoSinkClass = 0;
    uint32_t audioSinkClass = 0;

    // Capture and playback.
    bool showCursor = false;
    bool showClicks = false;
    std::array<uint32_t, 2> captureSourceParams{};
    uint32_t frameworkType = 0;
    uint32_t bitratePolicy = 0;  // 0 adaptive, otherwise constant
    uint32_t rateControlOption = 0;
    uint32_t playbackDelayMs = 0;
    bool autoAccept = false;
    bool combinedProfile = false;

    // Extra codecs registered before every start, and the evaluated limits.
    std::vector<CoreAudioCodecDesc> audioEncoders;
    std::vector<CoreAudioCodecDesc> audioDecoders;
    std::vector<CoreVideoCodecDesc> videoEncoders;
    std::vector<CoreVideoCodecDesc> videoDecoders;
    std::vector<PkAudioEncoderLimits> audioEncoderLimits;
    // In the order of the engine's usable video encoders.
    std::vector<PkVideoEncoderLimits> videoEncoderLimits;

    // Chosen codecs (indexes into the codec lists; -1 none) and slots.
    int32_t audioSourceIndex = -1;
    int32_t audioSinkIndex = -1;
    int32_t videoSourceIndex = -1;
    int32_t videoSinkIndex = -1;
    uint32_t audioSinkParam = 3;
    uint32_t videoSinkParam = 3;

    // Roles and binding.
    uint32_t sendRoles = 0;
    uint32_t receiveRoles = 0;
    uint32_t binderDirection = 0;  // 0 none, 1 outgoing, 2 incoming, 3 both
    uint32_t p2pChannelCount = 0;
    int32_t p2pClass = 0;
    uint32_t p2mChannelCount = 0;   // used while no broadcast is configured
    int32_t videoSizeClass = -1;     // -1 unset
    int32_t broadcastSizeClass = -1; // -1: no broadcast configured
    uint32_t broadcastChannels = 0;  // 4, 8, 16 or 32; 0 none
    bool appFedCapture = false;

private:
    PkConfig();
};

class PkInitConfig : public std::enable_shared_from_this<PkInitConfig> {
public:
    static std::shared_ptr<PkInitConfig> instance();

    PkInitConfig(const PkInitConfig &) = delete;
    PkInitConfig &operator=(const PkInitConfig &) = delete;

    // IPv4 address texts published to the base runtime's value list.
    std::vector<std::string> addresses;

private:
    PkInitConfig() = default;
};
