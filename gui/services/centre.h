// The notification centre: the windows' one listener interface onto the
// engine, and the interface side's list of remote nodes.
//
// PkCenterNotify is the event pump's listener. For every engine event it
// checks that the record is complete, keeps the list of remote nodes
// (PkSession) up to date from the relayed node events, builds the payload
// of the event once and calls the matching IPkCenterNotify operation on
// every registered window, in registration order. An event whose record is
// shorter than its layout, or whose length fields point past its end, is
// dropped whole and counted: no window is called and no node changes.
//
// Threads: onCoreEvent and therefore every window operation run on the
// pump's worker thread, one event at a time, in the order the engine posted
// the events. addObserver, removeObserver, findSession and sessions may be
// called from any thread, also from inside a window operation: the
// observer and node locks are held only to change or copy their lists, and
// never while a window is called or another of them is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/buffer.h"
#include "services/display.h"
#include "services/payloads.h"
#include "services/pump.h"
#include "services/queue.h"
#include "services/remote_nodes.h"

// The windows' listener interface. Every operation has an empty default
// body, so a window overrides only what it needs. Arguments are valid for
// the call only; a PkSession* is kept alive by the centre during the call
// and is found again later with PkCenterNotify::findSession.
class IPkCenterNotify {
public:
    virtual ~IPkCenterNotify() {}

    // The node got its first address; its name suffix is already set.
    virtual void onNodeOnline(PkSession *node) { (void)node; }
    // The node has no address left and is out of the node list.
    virtual void onNodeOffline(PkSession *node) { (void)node; }
    // A profile field changed; the node already holds the new value.
    virtual void onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value)
    {
        (void)node, (void)field, (void)value;
    }
    // 1 offline, 2 network start failed, 3 online; only when it changed.
    virtual void onDiscoveryState(int state) { (void)state; }
    virtual void onLocalEndpoint(const PkNetAddress &endpoint) { (void)endpoint; }
    // A running adapter, reported in answer to an adapters report request.
    virtual void onNetworkAdapterLost(const PkAdapterInfo &adapter) { (void)adapter; }
    virtual void onNetworkAdapterAdded(const PkAdapterInfo &adapter) { (void)adapter; }
    virtual void onNetworkAdapterRemoved(const PkAdapterInfo &adapter) { (void)adapter; }
    virtual void onStreamStarted(const PkMediaStreamDescriptor &stream) { (void)stream; }
    virtual void onStreamStopped(const PkMediaStreamDescriptor &stream) { (void)stream; }
    virtual void onFrameRotation(const PkXID &streamName, netframe_rotation_e rotation)
    {
        (void)streamName, (void)rotation;
    }
    virtual void onChannelInfo(const PkMediaChannelInfo &info) { (void)info; }
    virtual void onTotalInfo(const PkMediaTotalInfo &info) { (void)info; }
    virtual void onBindOpened(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    virtual void onBindState(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    virtual void onBindBusy(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    virtual void onBindFailed(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    virtual void onBindClosing(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    virtual void onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    // The node opened a broadcast; its channel entries are already added.
    virtual void onChannelBound(PkSession *node, const PkMediaBindDescriptor &bind) { (void)node, (void)bind; }
    // The node's broadcast channels are gone; its list is already empty.
    virtual void onChannelsCleared(PkSession *node, const PkMediaBindDescriptor &bind)
    {
        (void)node, (void)bind;
    }
    virtual void onBroadcastStarted() {}
    virtual void onBroadcastStopped() {}
    virtual void onEvaluateResults(const PkEvaluateResults &results) { (void)results; }
    virtual void onAudioSourceInfo(const PkAudioFormat &format, uint32_t fourcc) { (void)format, (void)fourcc; }
    virtual void onVideoSourceInfo(const PkVideoMode &mode, uint32_t fourcc) { (void)mode, (void)fourcc; }
    // A capture device appeared (removed 0) or disappeared (removed 1);
    // media 0 audio, 1 video, -1 other.
    virtual void onEnvironmentChanged(int32_t media, int32_t reserved, int32_t removed, const PkXID &deviceId,
                                      const std::string &value)
    {
        (void)media, (void)reserved, (void)removed, (void)deviceId, (void)value;
    }
    // The start of the event's data; null for an empty event.
    virtual void onEngineSignal(const void *data) { (void)data; }
    virtual void onMessage(const std::string &text) { (void)text; }
    virtual void onStreamerError(const std::string &text) { (void)text; }
    virtual void onViewerError(const std::string &text) { (void)text; }
};

class PkCenterNotify : public IPkDeamProcessing,
                       public PkInitializer,
                       public std::enable_shared_from_this<PkCenterNotify> {
public:
    // The process's centre; the first call registers it with the event pump
    // (creating the pump, which subscribes to the engine's event topic).
    static std::shared_ptr<PkCenterNotify> instance();

    PkCenterNotify(const PkCenterNotify &) = delete;
    PkCenterNotify &operator=(const PkCenterNotify &) = delete;
    ~PkCenterNotify() override;

    bool initialize() override;

    // Strong references: a window stays alive until it removes itself. A
    // window added twice is called twice.
    // Forgets the last presence state, so that the next one reaches the
    // observers even when it equals the last.
    void resetPresenceState() { lastDiscoveryState.store(0); }
    void addObserver(std::shared_ptr<IPkCenterNotify> observer);
    void removeObserver(const std::shared_ptr<IPkCenterNotify> &observer);

    // The first node with this id, or an empty reference.
    std::shared_ptr<PkSession> findSession(const PkXID &nodeId);
    // A copy of the node list, in the order the engine reported the nodes.
    std::vector<std::shared_ptr<PkSession>> sessions();

    // The pump's dispatch, on its worker thread.
    void onCoreEvent(uint32_t code, const std::vector<uint8_t> &data) override;

    // " (N)" when another incoming node online shows the same name, else "".
    std::string makeNameSuffix(const PkSession &node);

    // Events dropped because their record was short or its lengths lied.
    uint64_t refusedCount() const { return refused.load(); }

private:
    PkCenterNotify() = default;

    std::shared_ptr<PkSession> lookupSession(const PkXID &nodeId) { return findSession(nodeId); }
    void removeSession(const std::shared_ptr<PkSession> &node);

    // Calls `operation` with `args` on every window of a copy of the list.
    template <typename... Params, typename... Args>
    void notify(void (IPkCenterNotify::*operation)(Params...), Args &&...args);

    void refuse(uint32_t code, size_t length);

    void onNodeReady(const std::vector<uint8_t> &data);
    void onNodeRemoved(const std::vector<uint8_t> &data);
    void onNodeFieldChanged(const std::vector<uint8_t> &data);
    void onNodeAddress(uint32_t code, const std::vector<uint8_t> &data);
    void onBindEvent(uint32_t code, const std::vector<uint8_t> &data);

    // The pump's worker compares and stores; a window being shown resets it.
    std::atomic<int32_t> lastDiscoveryState{0};
    std::mutex observerMutex;        // guards observers
    std::vector<std::shared_ptr<IPkCenterNotify>> observers;
    std::mutex nodeMutex;  // guards nodes
    std::vector<std::shared_ptr<PkSession>> nodes;
    std::atomic<uint64_t> refused{0};
};
