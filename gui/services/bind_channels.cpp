#include "services/bind_channels.h"

#include <algorithm>
#include <cstring>

#include "core/names.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/records.h"

namespace {

// Commands reach the engine only while its node runs; without it nothing is
// posted and the binder's results are 0.
bool engine_available()
{
    return engine_node_running() != nullptr;
}

CoreName name_of(const PkXID &id)
{
    CoreName name{};
    memcpy(name.key, id.key, sizeof(name.key));
    core_name_make(&name);
    return name;
}

// Waits until the command topic has delivered message `number`.
void wait_delivered(uint64_t number)
{
    CoreName topic;
    core_name_format(&topic, "%s", ENGINE_COMMAND_TOPIC);
    core_topic_wait(&topic, number);
}

uint64_t post_bind_record(uint32_t code, uint32_t kind, const PkBinderChannel &channel)
{
    if (!engine_available()) return 0;
    EngineBindRecord record{};
    record.kind = kind;
    const CoreName channelName = name_of(channel.channelId);
    const CoreName peerName = name_of(channel.peerId);
    const CoreName bindSequence = name_of(channel.bindSequenceId);
    // The session is the engine's to fill in.
    engine_media_desc_make(&record.desc, &channelName, &peerName, nullptr, &bindSequence);
    return engine_post_command(code, &record, sizeof(record));
}

}  // namespace

uint64_t PkBinderChannel::bind()
{
    if (state != PK_BINDER_CHANNEL_REQUESTED) return 0;
    const uint64_t number = post_bind_record(ENGINE_CMD_CONNECT, static_cast<uint32_t>(kind), *this);
    if (number != 0) state = PK_BINDER_CHANNEL_SENT;
    return number;
}

uint64_t PkBinderChannel::unbind(bool wait)
{
    uint64_t number = 0;
    // A channel whose connect was never posted is unknown to the engine:
    // there is nothing for it to disconnect.
    if (state == PK_BINDER_CHANNEL_SENT) {
        number = post_bind_record(ENGINE_CMD_DISCONNECT, ENGINE_BIND_KIND_NONE, *this);
        if (wait && number != 0) wait_delivered(number);
    }
    peerId = PkXID();
    bindSequenceId = PkXID();
    kind = 0;
    state = PK_BINDER_CHANNEL_IDLE;
    return number;
}

std::shared_ptr<PkBinder> PkBinder::instance()
{
    static std::shared_ptr<PkBinder> binder(new PkBinder());
    return binder;
}

void PkBinder::setMode(int32_t value)
{
    mode = value;
    changeCount++;
}

std::shared_ptr<PkBinderChannel> PkBinder::findChannel(const PkXID &channelId) const
{
    for (const auto &channel : channels) {
        if (channel->channelId == channelId) return channel;
    }
    return {};
}

int PkBinder::addChannel(const PkXID &channelId, const PkXID &peerId, const PkXID &bindSequenceId, int32_t kind)
{
    if (channelId.isNull() || findChannel(channelId)) return -1;
    auto channel = std::make_shared<PkBinderChannel>();
    channel->state = PK_BINDER_CHANNEL_REQUESTED;
    channel->kind = kind;
    channel->channelId = channelId;
    channel->peerId = peerId;
    channel->bindSequenceId = bindSequenceId;
    channels.push_back(std::move(channel));
    return 0;
}

uint64_t PkBinder::bind(const PkXID &channelId)
{
    uint64_t number = 0;
    if (!channelId.isNull()) {
        const auto channel = findChannel(channelId);
        if (channel) number = channel->bind();
    } else {
        for (const auto &channel : channels) {
            if (channel->state != PK_BINDER_CHANNEL_REQUESTED) continue;
            number = channel->bind();
            if (number == 0) break;
        }
    }
    if (number != 0 && mode != PK_BINDER_MODE_BROADCAST) setMode(PK_BINDER_MODE_P2P);
    return number;
}

uint64_t PkBinder::unbind(const PkXID &channelId, bool wait)
{
    if (channelId.isNull()) {
        uint64_t number = 0;
        // The list is taken first: nothing can be added meanwhile on this
        // thread, and the walk does not see its own removals.
        std::vector<std::shared_ptr<PkBinderChannel>> all;
        all.swap(channels);
        for (const auto &channel : all) number = channel->unbind(wait);
        if (mode != PK_BINDER_MODE_BROADCAST) setMode(PK_BINDER_MODE_IDLE);
        return number;
    }

    const auto it = std::find_if(channels.begin(), channels.end(),
                                 [&](const auto &channel) { return channel->channelId == channelId; });
    if (it == channels.end()) return 0;
    const std::shared_ptr<PkBinderChannel> channel = *it;
    channels.erase(it);
    const uint64_t number = channel->unbind(wait);
    if (number != 0 && mode != PK_BINDER_MODE_BROADCAST && !isBound(PkXID())) setMode(PK_BINDER_MODE_IDLE);
    return number;
}

PkXID PkBinder::findBoundChannel(const PkXID &peerId) const
{
    for (const auto &channel : channels) {
        if (channel->state == PK_BINDER_CHANNEL_SENT && channel->peerId == peerId) return channel->channelId;
    }
    return PkXID();
}

bool PkBinder::isBound(const PkXID &channelId) const
{
    return std::any_of(channels.begin(), channels.end(), [&](const auto &channel) {
        return channel->state == PK_BINDER_CHANNEL_SENT && (channelId.isNull() || channel->channelId == channelId);
    });
}

bool PkBinder::isActive(const PkXID &channelId) const
{
    return std::any_of(channels.begin(), channels.end(), [&](const auto &channel) {
        return channel->state > PK_BINDER_CHANNEL_IDLE && (channelId.isNull() || channel->channelId == channelId);
    });
}

uint64_t PkBinder::stopBroadcast(bool wait)
{
    if (mode != PK_BINDER_MODE_BROADCAST) return 0;

    for (const auto &channel : channels) {
        if (channel->state == PK_BINDER_CHANNEL_SENT) channel->unbind(false);
    }
    uint64_t number = 0;
    if (engine_available()) {
        // An empty channel name followed by a fresh bind sequence id.
        CoreName names[2] = {};
        core_name_make(&names[0]);
        core_seq_name(&names[1], CORE_SEQ_BND, nullptr);
        static_assert(sizeof(names) == 272, "the broadcast stop carries 272 bytes");
        number = engine_post_command(ENGINE_CMD_BROADCAST_STOP, names, sizeof(names));
        if (wait && number != 0) wait_delivered(number);
    }
    channels.clear();
    setMode(PK_BINDER_MODE_IDLE);
    return number;
}

void PkBinder::reset()
{
    std::vector<std::shared_ptr<PkBinderChannel>> all;
    all.swap(channels);
    for (const auto &channel : all) channel->unbind(true);
    setMode(PK_BINDER_MODE_IDLE);
}

int pk_binder_add_channel(const PkXID &channelId, const PkXID &peerId, const PkXID &bindSequenceId, int32_t kind)
{
    return PkBinder::instance()->addChannel(channelId, peerId, bindSequenceId, kind);
}

uint64_t pk_binder_bind(const PkXID &channelId)
{
    return PkBinder::instance()->bind(channelId);
}

uint64_t pk_binder_unbind(const PkXID &channelId, bool wait)
{
    return PkBinder::instance()->unbind(channelId, wait);
}

uint64_t pk_binder_stop_broadcast(bool wait)
{
    return PkBinder::instance()->stopBroadcast(wait);
}
