#include "services/centre.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/adapters.h"
#include "core/log.h"
#include "core/video.h"
#include "engine/binder.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/display.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/props.h"
#include "engine/provider.h"
#include "engine/records.h"
#include "engine/relay.h"

static_assert(sizeof(PkAudioFormat) == sizeof(EngineAudioFormat), "the two audio formats have the same bytes");
static_assert(sizeof(PkVideoMode) == sizeof(CoreVideoMode), "the two video modes have the same bytes");
static_assert(sizeof(PkXID) == CORE_NAME_KEY_SIZE, "an id is a name's key");

namespace {

// Where the texts and counts of the records end: a text never runs past its
// field, whatever the record says.
constexpr size_t kAdapterTextSize = 64;
constexpr size_t kMessageTextSize = ENGINE_MESSAGE_TEXT_SIZE;
constexpr size_t kDeviceValueSize = ENGINE_DEVICE_VALUE_SIZE;

// UTF-16 code unit type of a device value.
constexpr uint32_t kDeviceValueUtf16 = 2;

// Copies the record at the start of the event data; false when the event
// is shorter than the record.
template <typename Record>
bool read_record(const std::vector<uint8_t> &data, Record *out)
{
    static_assert(std::is_trivially_copyable_v<Record>, "records travel as raw bytes");
    if (data.size() < sizeof(Record)) return false;
    memcpy(static_cast<void *>(out), data.data(), sizeof(Record));
    return true;
}

std::string bounded_text(const char *text, size_t size)
{
    return std::string(text, strnlen(text, size));
}

void append_utf8(std::string &out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-8 of `count` UTF-16 units; a surrogate without its partner becomes
// U+FFFD.
std::string utf16_to_utf8(const uint8_t *units, size_t count)
{
    std::string out;
    out.reserve(count);
    auto unit_at = [units](size_t i) {
        uint16_t unit;
        memcpy(&unit, units + 2 * i, sizeof(unit));
        return unit;
    };
    for (size_t i = 0; i < count; i++) {
        const uint32_t unit = unit_at(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const uint32_t low = unit_at(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i++;
                continue;
            }
        }
        append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    return out;
}

PkMediaBindDescriptor bind_descriptor_of(const EngineBindRecord &record)
{
    PkMediaBindDescriptor bind;
    bind.channel = PkXID(record.desc.channel);
    bind.peer = PkXID(record.desc.peerNode);
    bind.session = PkXID(record.desc.session);
    bind.bindSequenceId = PkXID(record.desc.bindSequence);
    bind.kind = static_cast<int32_t>(record.kind);
    // The whole 256-byte field: a name of more than 127 characters runs on
    // into its second half and would otherwise reach the windows cut short.
    bind.sourceName = bounded_text(record.sourceName, sizeof(record.sourceName));
    return bind;
}

PkMediaStreamDescriptor stream_descriptor_of(const EngineStreamInfo &info)
{
    PkMediaStreamDescriptor stream;
    stream.channel = PkXID(info.channel);
    stream.slotName = PkXID(info.slot);
    stream.streamName = PkXID(info.stream);
    stream.direction = static_cast<int32_t>(info.direction);
    stream.word0 = static_cast<int32_t>(info.reserved);
    stream.features = static_cast<int32_t>(info.features);
    return stream;
}

PkMediaAudioInfo audio_info_of(const EngineChannelAudioInfo &block)
{
    PkMediaAudioInfo info;
    memcpy(&info.format1, &block.format1, sizeof(info.format1));
    memcpy(&info.format2, &block.format2, sizeof(info.format2));
    info.securityFlags = block.securityFlags;
    info.bytes = block.bits;
    return info;
}

PkMediaVideoInfo video_info_of(const EngineChannelVideoInfo &block)
{
    PkMediaVideoInfo info;
    memcpy(&info.mode1, &block.mode1, sizeof(info.mode1));
    memcpy(&info.mode2, &block.mode2, sizeof(info.mode2));
    info.securityFlags = block.securityFlags;
    info.bytes = block.bits;
    return info;
}

PkMediaChannelInfo channel_info_of(const EngineChannelInfo &record)
{
    PkMediaChannelInfo info;
    info.sentAudio = audio_info_of(record.sentAudio);
    info.sentVideo = video_info_of(record.sentVideo);
    info.receivedAudio = audio_info_of(record.receivedAudio);
    info.receivedVideo = video_info_of(record.receivedVideo);
    info.bind.channel = PkXID(record.desc.channel);
    info.bind.peer = PkXID(record.desc.peerNode);
    info.bind.session = PkXID(record.desc.session);
    info.bind.bindSequenceId = PkXID(record.desc.bindSequence);
    info.bind.kind = static_cast<int32_t>(record.role);
    info.elapsedMs = record.elapsedMs;
    return info;
}

PkMediaTotalInfo total_info_of(const EngineTotalInfo &record)
{
    PkMediaTotalInfo info;
    memcpy(&info.audioFormat, &record.broadcastAudio, sizeof(info.audioFormat));
    memcpy(&info.videoMode, &record.broadcastVideo, sizeof(info.videoMode));
    info.securityFlags = record.securityFlags;
    info.sentAudioBytes = record.sentAudioBits;
    info.sentVideoBytes = record.sentVideoBits;
    info.elapsedMs = record.elapsedMs;
    info.channelCount = record.channelCount;
    return info;
}

PkAdapterInfo adapter_info_of(const CoreNetAdapter &record)
{
    PkAdapterInfo info;
    info.flags = record.flags;
    info.address = {record.address.address, record.address.port};
    info.mask = {record.mask.address, record.mask.port};
    info.broadcast = {record.broadcast, 0};
    info.adapterId = bounded_text(record.id, std::min(sizeof(record.id), kAdapterTextSize));
    info.description = bounded_text(record.description, std::min(sizeof(record.description), kAdapterTextSize));
    return info;
}

// The value of a device as text: UTF-16 units for type 2, bytes otherwise,
// never past the value field.
std::string environment_value_text(const EngineEnvironmentChange &change)
{
    if (change.valueType == kDeviceValueUtf16) {
        const size_t units = static_cast<size_t>(std::min<uint64_t>(change.length, kDeviceValueSize / 2));
        return utf16_to_utf8(change.value, units);
    }
    const size_t bytes = static_cast<size_t>(std::min<uint64_t>(change.length, kDeviceValueSize));
    return std::string(reinterpret_cast<const char *>(change.value), bytes);
}

// The evaluation record with its rows; false when the head is short or the
// trial count claims more rows than the event carries.
bool evaluate_results_of(const std::vector<uint8_t> &data, PkEvaluateResults *out)
{
    PkEventEvalHead head;
    if (!read_record(data, &head)) return false;
    const uint64_t available = (data.size() - sizeof(head)) / sizeof(PkEventEvalTrial);
    if (head.trialCount > available) return false;
    if (!pk_audio_codec_desc_from_event(data.data(), data.size(), &out->audioCodec) ||
        !pk_video_codec_desc_from_event(data.data(), data.size(), &out->videoCodec))
        return false;
    memcpy(out->audioReserved, head.audioReserved, sizeof(out->audioReserved));
    out->audioFormat = head.audioFormat;
    memcpy(out->videoReserved, head.videoReserved, sizeof(out->videoReserved));
    out->trialMode = head.trialMode;
    out->audioCodecIndex = head.audioCodecIndex;
    out->audioCodecCount = head.audioCodecCount;
    out->audioUsableCount = head.audioUsableCount;
    out->videoCodecIndex = head.videoCodecIndex;
    out->videoCodecCount = head.videoCodecCount;
    out->videoUsableCount = head.videoUsableCount;
    for (uint64_t i = 0; i < head.trialCount; i++) {
        PkEventEvalTrial row;
        memcpy(&row, data.data() + sizeof(head) + i * sizeof(row), sizeof(row));
        if (row.kind == 0) {
            PkAudioTrial trial;
            trial.passed = row.passed != 0;
            memcpy(&trial.minimum, row.minimum, sizeof(trial.minimum));
            memcpy(&trial.maximum, row.maximum, sizeof(trial.maximum));
            out->audioTrials.push_back(trial);
        } else if (row.kind == 1) {
            PkVideoTrial trial;
            trial.passed = row.passed != 0;
            memcpy(&trial.minimum, row.minimum, sizeof(trial.minimum));
            memcpy(&trial.maximum, row.maximum, sizeof(trial.maximum));
            out->videoTrials.push_back(trial);
        }
    }
    return true;
}

// The text of a message record: up to its NUL, within its 1024 bytes.
bool message_text_of(const std::vector<uint8_t> &data, std::string *out)
{
    EngineMessageText message;
    if (!read_record(data, &message)) return false;
    *out = bounded_text(message.text, kMessageTextSize);
    return true;
}

}  // namespace

std::shared_ptr<PkCenterNotify> PkCenterNotify::instance()
{
    // Never reset: the centre lives until the process ends.
    static std::shared_ptr<PkCenterNotify> centre(new PkCenterNotify());
    centre->initialize();
    return centre;
}

PkCenterNotify::~PkCenterNotify() = default;

bool PkCenterNotify::initialize()
{
    if (!PkInitializer::initialize()) return false;
    PkDeamProcessing::instance()->addListener(shared_from_this());
    return true;
}

void PkCenterNotify::addObserver(std::shared_ptr<IPkCenterNotify> observer)
{
    if (!observer) return;
    std::lock_guard<std::mutex> lock(observerMutex);
    observers.push_back(std::move(observer));
}

void PkCenterNotify::removeObserver(const std::shared_ptr<IPkCenterNotify> &observer)
{
    std::lock_guard<std::mutex> lock(observerMutex);
    for (auto it = observers.begin(); it != observers.end(); ++it) {
        if (it->get() == observer.get()) {
            observers.erase(it);
            return;
        }
    }
}

std::shared_ptr<PkSession> PkCenterNotify::findSession(const PkXID &nodeId)
{
    std::lock_guard<std::mutex> lock(nodeMutex);
    for (const auto &node : nodes) {
        if (node->nodeId == nodeId) return node;
    }
    return {};
}

std::vector<std::shared_ptr<PkSession>> PkCenterNotify::sessions()
{
    std::lock_guard<std::mutex> lock(nodeMutex);
    return nodes;
}

void PkCenterNotify::removeSession(const std::shared_ptr<PkSession> &node)
{
    std::lock_guard<std::mutex> lock(nodeMutex);
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
}

template <typename... Params, typename... Args>
void PkCenterNotify::notify(void (IPkCenterNotify::*operation)(Params...), Args &&...args)
{
    std::vector<std::shared_ptr<IPkCenterNotify>> windows;
    {
        std::lock_guard<std::mutex> lock(observerMutex);
        windows = observers;
    }
    // The copy keeps each window alive through its call, also when it
    // removes itself meanwhile. The same payload goes to every window.
    for (const auto &window : windows) (window.get()->*operation)(args...);
}

void PkCenterNotify::refuse(uint32_t code, size_t length)
{
    refused.fetch_add(1);
    core_log(CORE_LOG_WARN, "services", "notification centre: event 0x%X with a bad record (%zu bytes) dropped",
             code, length);
}

void PkCenterNotify::onCoreEvent(uint32_t code, const std::vector<uint8_t> &data)
{
    switch (code) {
    case ENGINE_EVT_MESSAGE:
    case ENGINE_EVT_STREAMER_ERROR:
    case ENGINE_EVT_VIEWER_ERROR: {
        std::string text;
        if (!message_text_of(data, &text)) return refuse(code, data.size());
        if (code == ENGINE_EVT_MESSAGE) notify(&IPkCenterNotify::onMessage, text);
        else if (code == ENGINE_EVT_STREAMER_ERROR) notify(&IPkCenterNotify::onStreamerError, text);
        else notify(&IPkCenterNotify::onViewerError, text);
        return;
    }
    case ENGINE_EVT_CHANNEL_INFO: {
        EngineChannelInfo record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onChannelInfo, channel_info_of(record));
        return;
    }
    case ENGINE_EVT_TOTAL_INFO: {
        EngineTotalInfo record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onTotalInfo, total_info_of(record));
        return;
    }
    case ENGINE_EVT_STREAM_STARTED:
    case ENGINE_EVT_STREAM_STOPPED: {
        EngineStreamInfo record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        const PkMediaStreamDescriptor stream = stream_descriptor_of(record);
        if (code == ENGINE_EVT_STREAM_STARTED) notify(&IPkCenterNotify::onStreamStarted, stream);
        else notify(&IPkCenterNotify::onStreamStopped, stream);
        return;
    }
    case ENGINE_EVT_FRAME_ROTATION: {
        PkEventFrameRotation record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onFrameRotation, PkXID(record.streamName),
               static_cast<netframe_rotation_e>(record.rotation));
        return;
    }
    case ENGINE_EVT_BROADCAST_STARTED: notify(&IPkCenterNotify::onBroadcastStarted); return;
    case ENGINE_EVT_BROADCAST_STOPPED: notify(&IPkCenterNotify::onBroadcastStopped); return;
    case ENGINE_EVT_AUDIO_SOURCE_INFO: {
        PkEventAudioSource record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onAudioSourceInfo, record.format, record.fourcc);
        return;
    }
    case ENGINE_EVT_VIDEO_SOURCE_INFO: {
        PkEventVideoSource record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onVideoSourceInfo, record.mode, record.fourcc);
        return;
    }
    case ENGINE_EVT_ENVIRONMENT_CHANGED: {
        EngineEnvironmentChange record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onEnvironmentChanged, record.media, static_cast<int32_t>(record.reserved0),
               static_cast<int32_t>(record.removed), PkXID(record.deviceId), environment_value_text(record));
        return;
    }
    case ENGINE_EVT_EVAL_RESULT: {
        PkEvaluateResults results;
        if (!evaluate_results_of(data, &results)) return refuse(code, data.size());
        notify(&IPkCenterNotify::onEvaluateResults, results);
        return;
    }
    case ENGINE_EVT_PRESENCE_STATE: {
        uint32_t state;
        if (!read_record(data, &state)) return refuse(code, data.size());
        if (lastDiscoveryState.exchange(static_cast<int32_t>(state)) != static_cast<int32_t>(state))
            notify(&IPkCenterNotify::onDiscoveryState, static_cast<int>(state));
        return;
    }
    case ENGINE_EVT_LOCAL_ENDPOINT: {
        // u32 address and u16 port, 6 bytes with no padding.
        if (data.size() < sizeof(uint32_t) + sizeof(uint16_t)) return refuse(code, data.size());
        PkNetAddress endpoint;
        memcpy(&endpoint.address, data.data(), sizeof(endpoint.address));
        memcpy(&endpoint.port, data.data() + sizeof(endpoint.address), sizeof(endpoint.port));
        notify(&IPkCenterNotify::onLocalEndpoint, endpoint);
        return;
    }
    case ENGINE_EVT_ADAPTER_ADDED:
    case ENGINE_EVT_ADAPTER_REMOVED:
    case ENGINE_EVT_ADAPTER_LOST: {
        CoreNetAdapter record;
        if (!read_record(data, &record)) return refuse(code, data.size());
        const PkAdapterInfo adapter = adapter_info_of(record);
        if (code == ENGINE_EVT_ADAPTER_ADDED) notify(&IPkCenterNotify::onNetworkAdapterAdded, adapter);
        else if (code == ENGINE_EVT_ADAPTER_REMOVED) notify(&IPkCenterNotify::onNetworkAdapterRemoved, adapter);
        else notify(&IPkCenterNotify::onNetworkAdapterLost, adapter);
        return;
    }
    case ENGINE_EVT_SIGNAL: {
        const void *start = data.empty() ? nullptr : data.data();
        notify(&IPkCenterNotify::onEngineSignal, start);
        return;
    }
    case ENGINE_EVT_NODE_READY: onNodeReady(data); return;
    case ENGINE_EVT_NODE_REMOVED: onNodeRemoved(data); return;
    case ENGINE_EVT_NODE_FIELD_CHANGED: onNodeFieldChanged(data); return;
    case ENGINE_EVT_NODE_ONLINE:
    case ENGINE_EVT_NODE_OFFLINE: onNodeAddress(code, data); return;
    case ENGINE_EVT_NODE_BIND_OPENED:
    case ENGINE_EVT_NODE_BIND_STATE:
    case ENGINE_EVT_NODE_BIND_BUSY:
    case ENGINE_EVT_NODE_BIND_FAILED:
    case ENGINE_EVT_NODE_BIND_CLOSING:
    case ENGINE_EVT_NODE_BIND_CLOSED:
    case ENGINE_EVT_NODE_CHANNEL_BOUND:
    case ENGINE_EVT_NODE_CHANNELS_CLEARED: onBindEvent(code, data); return;
    default:
        // The raw bind events reach the windows through their relayed
        // copies; every other code is not the windows' business.
        return;
    }
}

void PkCenterNotify::onNodeReady(const std::vector<uint8_t> &data)
{
    EngineRelayNodeNames names;
    if (!read_record(data, &names)) return refuse(ENGINE_EVT_NODE_READY, data.size());
    auto node = std::make_shared<PkSession>(PkXID(names.nodeId), PkXID(names.peerName));
    std::lock_guard<std::mutex> lock(nodeMutex);
    nodes.push_back(std::move(node));
}

void PkCenterNotify::onNodeRemoved(const std::vector<uint8_t> &data)
{
    EngineRelayNodeNames names;
    if (!read_record(data, &names)) return refuse(ENGINE_EVT_NODE_REMOVED, data.size());
    const std::shared_ptr<PkSession> node = lookupSession(PkXID(names.nodeId));
    if (node) removeSession(node);
}

void PkCenterNotify::onNodeFieldChanged(const std::vector<uint8_t> &data)
{
    EngineRelayFieldChange header;
    if (!read_record(data, &header)) return refuse(ENGINE_EVT_NODE_FIELD_CHANGED, data.size());
    // The length comes with the record: it must not reach past the event.
    if (header.length > data.size() - sizeof(header)) return refuse(ENGINE_EVT_NODE_FIELD_CHANGED, data.size());

    const std::shared_ptr<PkSession> node = lookupSession(PkXID(header.nodeId));
    if (!node) return;
    const PkBuffer value(header.name.key, 0, 0, data.data() + sizeof(header), static_cast<size_t>(header.length));
    const PkXID field(header.name);
    // A value the node refuses to hold would reach the windows as a change
    // the node does not show.
    if (!pk_session_apply_field(*node, field, value)) return refuse(ENGINE_EVT_NODE_FIELD_CHANGED, data.size());
    notify(&IPkCenterNotify::onNodeFieldChanged, node.get(), field, value);
}

void PkCenterNotify::onNodeAddress(uint32_t code, const std::vector<uint8_t> &data)
{
    EnginePeerRecord record;
    if (!read_record(data, &record)) return refuse(code, data.size());
    const std::shared_ptr<PkSession> node = lookupSession(PkXID(record.nodeId));
    if (!node) return;
    const PkXID addressId(record.sessionName);

    if (code == ENGINE_EVT_NODE_ONLINE) {
        PkSessionAddress entry;
        entry.addressId = addressId;
        entry.endpoint = {record.address, record.port};
        if (!pk_session_add_address(*node, entry)) return;
        if (pk_session_addresses(*node).size() != 1) return;
        const std::string suffix = makeNameSuffix(*node);
        {
            std::lock_guard<std::mutex> lock(node->mutex);
            node->nameSuffix = suffix;
        }
        notify(&IPkCenterNotify::onNodeOnline, node.get());
        return;
    }

    pk_session_remove_address(*node, addressId);
    if (!pk_session_addresses(*node).empty()) return;
    removeSession(node);
    notify(&IPkCenterNotify::onNodeOffline, node.get());
}

void PkCenterNotify::onBindEvent(uint32_t code, const std::vector<uint8_t> &data)
{
    EngineBindRecord record;
    if (!read_record(data, &record)) return refuse(code, data.size());
    const PkMediaBindDescriptor bind = bind_descriptor_of(record);
    const std::shared_ptr<PkSession> node = lookupSession(bind.peer);
    if (!node) return;

    switch (code) {
    case ENGINE_EVT_NODE_BIND_OPENED: notify(&IPkCenterNotify::onBindOpened, node.get(), bind); return;
    case ENGINE_EVT_NODE_BIND_STATE: notify(&IPkCenterNotify::onBindState, node.get(), bind); return;
    case ENGINE_EVT_NODE_BIND_BUSY: notify(&IPkCenterNotify::onBindBusy, node.get(), bind); return;
    case ENGINE_EVT_NODE_BIND_FAILED: notify(&IPkCenterNotify::onBindFailed, node.get(), bind); return;
    case ENGINE_EVT_NODE_BIND_CLOSING: notify(&IPkCenterNotify::onBindClosing, node.get(), bind); return;
    case ENGINE_EVT_NODE_BIND_CLOSED: notify(&IPkCenterNotify::onBindClosed, node.get(), bind); return;
    case ENGINE_EVT_NODE_CHANNEL_BOUND: {
        // The broadcast's channel count is the number in its channel name.
        const int32_t count = engine_p2m_binder_index(&record.desc.channel);
        if (count >= 0 && count != ENGINE_BINDER_INDEX_NONE &&
            !pk_session_add_channels(*node, static_cast<uint32_t>(count), bind.bindSequenceId))
            core_log(CORE_LOG_WARN, "services", "notification centre: broadcast of %d channels not listed", count);
        notify(&IPkCenterNotify::onChannelBound, node.get(), bind);
        return;
    }
    case ENGINE_EVT_NODE_CHANNELS_CLEARED:
        pk_session_clear_channels(*node);
        notify(&IPkCenterNotify::onChannelsCleared, node.get(), bind);
        return;
    default: return;
    }
}

std::string PkCenterNotify::makeNameSuffix(const PkSession &node)
{
    struct Shown {
        std::string name;
        PkXID nodeId;
        bool incoming;
    };
    constexpr uint32_t kIncoming = 0x2;

    // Each node's shown name is read once, under its own lock only.
    std::vector<Shown> shown;
    for (const auto &entry : sessions()) {
        std::string name = pk_session_display_name(*entry);
        std::lock_guard<std::mutex> lock(entry->mutex);
        shown.push_back({name + entry->nameSuffix, entry->nodeId, (entry->direction & kIncoming) != 0});
    }
    std::string base = pk_session_display_name(node);
    PkXID nodeId;
    bool incoming;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        base += node.nameSuffix;
        nodeId = node.nodeId;
        incoming = (node.direction & kIncoming) != 0;
    }
    // Nodes without the incoming bit never get a suffix and never cause one.
    if (!incoming) return {};

    // Each round that finds the candidate taken moves to the next number;
    // every shown name can take one number at most, so this ends.
    uint64_t n = 0;
    for (bool taken = true; taken;) {
        const std::string candidate = n > 0 ? base + " (" + std::to_string(n) + ")" : base;
        taken = std::any_of(shown.begin(), shown.end(), [&](const Shown &entry) {
            return entry.incoming && entry.nodeId != nodeId && entry.name == candidate;
        });
        if (taken) n++;
    }
    return n > 0 ? " (" + std::to_string(n) + ")" : std::string();
}
