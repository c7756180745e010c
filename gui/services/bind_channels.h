// Bind channels: the interface side's registry of the binder channels it
// wants bound or has bound, and the engine commands that bind and unbind
// them.
//
// A PkBinderChannel holds one binder channel's id, the peer's node id, the
// bind sequence id and the kind of binding to ask for; binding it posts
// ENGINE_CMD_CONNECT, unbinding it ENGINE_CMD_DISCONNECT, each with an
// EngineBindRecord. PkBinder keeps the channels in the order they were
// added and remembers whether the node is idle, bound point-to-point or
// running a multichannel broadcast (`mode`, with `changeCount` counting
// every change of it); it also stops a broadcast with
// ENGINE_CMD_BROADCAST_STOP.
//
// Threads: PkBinder holds no lock. It belongs to the interface's main
// thread (the windows' main-loop handlers and the application's shut-down
// sequence); a waiting unbind blocks that thread until the engine's command
// topic has delivered the command. Results: the posted command's sequence
// number, or 0 when nothing was posted (no engine node runs, the post
// failed, or there was nothing to do); addChannel 0 or -1.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "services/display.h"

// PkBinderChannel::state
enum : int32_t {
    PK_BINDER_CHANNEL_IDLE = 0,
    PK_BINDER_CHANNEL_REQUESTED = 1,  // added, connect not yet posted
    PK_BINDER_CHANNEL_SENT = 2,       // the connect command was posted
};

// PkBinder::mode
enum : int32_t {
    PK_BINDER_MODE_IDLE = 0,
    PK_BINDER_MODE_P2P = 2,        // a point-to-point channel was bound
    PK_BINDER_MODE_BROADCAST = 3,  // set by the main window once it started a broadcast
};

class PkBinderChannel {
public:
    PkBinderChannel() = default;
    virtual ~PkBinderChannel() = default;

    // Only in state 1: posts the connect; on a posted command state 2 and
    // its number, otherwise 0 with the state kept.
    uint64_t bind();
    // From state 2 posts the disconnect (kind 0) and, with `wait`, waits
    // until the command topic has delivered it. Always ends in state 0 with
    // peer, bind sequence and kind cleared.
    uint64_t unbind(bool wait);

    int32_t state = PK_BINDER_CHANNEL_IDLE;
    int32_t kind = 0;  // 1 the node asks for the binding, 2 it answers a request
    PkXID channelId;   // key of "p2p.bnd.%08X.chnl" or "p2m.bnd.%08X.chnl"
    PkXID peerId;
    PkXID bindSequenceId;  // "bnd.seq." + 16 hexadecimal digits
};

class PkBinder : public std::enable_shared_from_this<PkBinder> {
public:
    static std::shared_ptr<PkBinder> instance();

    PkBinder(const PkBinder &) = delete;
    PkBinder &operator=(const PkBinder &) = delete;
    virtual ~PkBinder() = default;

    std::shared_ptr<PkBinderChannel> findChannel(const PkXID &channelId) const;
    // -1 for the zero id or an id already listed; else a new channel in
    // state 1 and 0.
    int addChannel(const PkXID &channelId, const PkXID &peerId, const PkXID &bindSequenceId, int32_t kind);
    // One channel, or (zero id) every channel in state 1 until one fails.
    uint64_t bind(const PkXID &channelId);
    // One channel, removed from the list, or (zero id) every channel.
    uint64_t unbind(const PkXID &channelId, bool wait);
    // The first channel in state 2 bound to that peer; zero when none.
    PkXID findBoundChannel(const PkXID &peerId) const;
    // That channel is in state 2; for the zero id, any channel is.
    bool isBound(const PkXID &channelId) const;
    // That channel is in state 1 or 2; for the zero id, any channel is.
    bool isActive(const PkXID &channelId) const;
    // Only while a broadcast runs: unbinds every bound channel and posts the
    // broadcast stop; the list is emptied and the mode is idle again.
    uint64_t stopBroadcast(bool wait);
    // Unbinds every channel with waiting; the mode is idle again.
    void reset();

    int32_t mode = PK_BINDER_MODE_IDLE;
    std::vector<std::shared_ptr<PkBinderChannel>> channels;  // ids unique
    uint32_t changeCount = 0;  // raised with every change of mode

private:
    PkBinder() = default;
    void setMode(int32_t value);
};

int pk_binder_add_channel(const PkXID &channelId, const PkXID &peerId, const PkXID &bindSequenceId, int32_t kind);
uint64_t pk_binder_bind(const PkXID &channelId);
uint64_t pk_binder_unbind(const PkXID &channelId, bool wait);
uint64_t pk_binder_stop_broadcast(bool wait);
