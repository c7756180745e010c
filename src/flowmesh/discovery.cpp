// LAN discovery: the listen socket, the discovered-node store, the two
// readers and the discovery loop.
#include "flowmesh/discovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/random.h"
#include "flowmesh/engine.h"
#include "flowmesh/handshake.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"

namespace {

const char kModule[] = "flowmesh.discovery";

bool running(const FlowmeshAdapterInstance *instance)
{
    return instance->state.load(std::memory_order_acquire) & FLOWMESH_INSTANCE_RUNNING;
}

bool same(const CoreUdpAddr &a, const CoreUdpAddr &b) { return a.address == b.address && a.port == b.port; }

// ---- store ----

int node_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *node = reinterpret_cast<FlowmeshDiscoveredNode *>(item);
    new (&node->flags) std::atomic<uint32_t>(0);
    node->address = *static_cast<const CoreUdpAddr *>(arg);
    const uint64_t now = core_clock_mono_ms();
    node->expiry_ms = now + FLOWMESH_NODE_EXPIRY_MS;
    node->unicast_ms = now + FLOWMESH_NODE_UNICAST_MS;
    return 0;
}

CoreName announcement_key(const uint8_t *announcement)
{
    CoreName key;
    memset(&key, 0, sizeof(key));
    memcpy(key.key, announcement, NETCRYPTO_ANNOUNCEMENT_SIZE);
    core_name_make(&key);
    return key;
}

// ---- sockets ----

CoreUdpSocket *open_listen_socket(uint32_t base_port, uint16_t *port)
{
    for (uint32_t j = 0; j < FLOWMESH_BROADCAST_TARGETS; ++j) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return nullptr;
        int bytes = FLOWMESH_DISCOVERY_BUFFER_BYTES;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(static_cast<uint16_t>(base_port + j));
        // No address reuse: a second instance on this machine must fail
        // here and take the next port, or two listeners would split the
        // announcements between them.
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
            close(fd);
            continue;
        }
        auto *s = static_cast<CoreUdpSocket *>(calloc(1, sizeof(CoreUdpSocket)));
        if (s == nullptr) {
            close(fd);
            return nullptr;
        }
        s->fd = fd;
        *port = sa.sin_port;
        return s;
    }
    *port = 0;
    return nullptr;
}

enum class Read { kDatagram, kNone, kFailed };

// One non-blocking read. Over-long datagrams (MSG_TRUNC tells their real
// length) and empty ones are dropped here.
Read read_one(int fd, uint8_t *buffer, uint64_t *length, CoreUdpAddr *from)
{
    sockaddr_in sa = {};
    socklen_t sa_length = sizeof(sa);
    const ssize_t n = recvfrom(fd, buffer, FLOWMESH_DATAGRAM_MAX, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr *>(&sa), &sa_length);
    if (n < 0) return errno == EINTR || core_udp_map_errno(errno) == CORE_NO_DATA ? Read::kNone : Read::kFailed;
    *length = static_cast<uint64_t>(n);
    from->address = sa.sin_addr.s_addr;
    from->port = sa.sin_port;
    return Read::kDatagram;
}

// Waits up to the reader step for the socket. false on a poll failure.
bool wait_readable(int fd, bool *ready)
{
    pollfd p = {fd, POLLIN, 0};
    const int n = poll(&p, 1, FLOWMESH_DISCOVERY_WAIT_MS);
    if (n < 0) return errno == EINTR;
    if (n > 0 && (p.revents & POLLNVAL)) return false;
    *ready = n > 0;
    return true;
}

bool post_datagram(CorePipe *pipe, const CoreUdpAddr &from, const uint8_t *data, uint64_t length)
{
    const CoreIoVec vec = {length, data};
    return pipe != nullptr && core_queue_post(pipe->queue, nullptr, from.address, from.port, &vec, 1) == 0;
}

bool in_subnet(const FlowmeshAdapterInstance *instance, uint32_t address)
{
    const uint32_t own = instance->adapter.address.address;
    const uint32_t mask = instance->adapter.mask.address;
    return own != 0 && mask != 0 && (address & mask) == (own & mask);
}

// Hands an announcement heard on the listen socket to every instance of
// the engine on the sender's subnet, unless one of them sent it: the
// listen socket of one instance hears the broadcasts of all of them.
void share_announcement(FlowmeshAdapterInstance *instance, const CoreUdpAddr &from, const uint8_t *data)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    auto *engine = static_cast<FlowmeshEngine *>(table != nullptr ? core_handle_acquire(table, instance->engine)
                                                                   : nullptr);
    if (engine == nullptr) return;
    bool own = same(from, instance->adapter.address);
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *other = flowmesh_engine_instance_of(item);
        if (!own && other != nullptr && same(from, other->discovery_address)) own = true;
    }
    for (CoreStoreItem *item = own ? nullptr : core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1)) {
        FlowmeshAdapterInstance *other = flowmesh_engine_instance_of(item);
        if (other == nullptr || !in_subnet(other, from.address)) continue;
        if (!post_datagram(other->small_pipe, from, data, NETCRYPTO_ANNOUNCEMENT_SIZE)) other->pipe_full.fetch_add(1);
    }
    core_handle_release(table, instance->engine);
}

int listen_reader(void **args)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(args[0]);
    const int fd = instance->listen->fd;
    uint8_t buffer[FLOWMESH_DATAGRAM_MAX];
    while (running(instance)) {
        bool ready = false;
        if (!wait_readable(fd, &ready)) {
            flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_DOWN, nullptr, 0);
            return -1;
        }
        while (ready && running(instance)) {
            uint64_t length = 0;
            CoreUdpAddr from = {};
            const Read read = read_one(fd, buffer, &length, &from);
            if (read == Read::kNone) break;
            if (read == Read::kFailed) {
                core_log(CORE_LOG_WARN, kModule, "the listen socket failed (errno %d)", errno);
                flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_DOWN, nullptr, 0);
                return -1;
            }
            if (length == 0) continue;
            // Only announcements come here; anything else is refused before
            // it costs an engine walk.
            if (length != NETCRYPTO_ANNOUNCEMENT_SIZE) {
                instance->announcements_refused.fetch_add(1);
                continue;
            }
            share_announcement(instance, from, buffer);
        }
    }
    return 0;
}

int discovery_reader(void **args)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(args[0]);
    const int fd = instance->discovery->fd;
    uint8_t buffer[FLOWMESH_DATAGRAM_MAX];
    while (running(instance)) {
        bool ready = false;
        if (!wait_readable(fd, &ready)) return -1;
        while (ready && running(instance)) {
            uint64_t length = 0;
            CoreUdpAddr from = {};
            const Read read = read_one(fd, buffer, &length, &from);
            if (read == Read::kNone) break;
            if (read == Read::kFailed) return -1;
            if (length == 0) continue;
            if (length > FLOWMESH_DATAGRAM_MAX) {
                instance->unknown_sender.fetch_add(1);
                continue;
            }
            CorePipe *pipe = length <= NETCRYPTO_ANNOUNCEMENT_SIZE ? instance->small_pipe : instance->large_pipe;
            if (!post_datagram(pipe, from, buffer, length)) instance->pipe_full.fetch_add(1);
        }
    }
    return 0;
}

// ---- the loop ----

CoreUdpAddr source_of(const CoreQueueEntry &entry) { return {entry.type, static_cast<uint16_t>(entry.flags)}; }

uint32_t live_nodes(CoreStore *store)
{
    core_store_lock(store);
    const uint32_t live = store->live;
    core_store_unlock(store);
    return live;
}

void drain(FlowmeshAdapterInstance *instance)
{
    CoreQueue *small = instance->small_pipe->queue;
    while (CoreQueueRecord *record = core_queue_pop(small)) {
        const CoreQueueEntry entry = core_queue_record_entry(record);
        const CoreUdpAddr from = source_of(entry);
        if (live_nodes(instance->discovered) < FLOWMESH_DISCOVERY_MAX_NODES)
            flowmesh_discovery_on_announce(instance, &from, static_cast<const uint8_t *>(entry.data), entry.length);
        else
            instance->pipe_full.fetch_add(1);
        core_queue_record_free(small, &record);
    }
    CoreQueue *large = instance->large_pipe->queue;
    while (CoreQueueRecord *record = core_queue_pop(large)) {
        const CoreQueueEntry entry = core_queue_record_entry(record);
        const auto *data = static_cast<const uint8_t *>(entry.data);
        const CoreUdpAddr from = source_of(entry);
        FlowmeshDiscoveredNode *node =
            entry.length >= NETCRYPTO_ANNOUNCEMENT_SIZE ? flowmesh_discovery_find(instance, data) : nullptr;
        if (node == nullptr) {
            instance->unknown_sender.fetch_add(1);
        } else {
            const CoreUdpAddr announced = node->address;
            flowmesh_discovery_release(instance);
            if (flowmesh_handshake_offer_discovery(instance, &announced, &from, data, entry.length) == CORE_ERR) {
                // The engine's housekeeping looks for its own instances
                // among the senders nobody could understand.
                const CoreName name = announcement_key(data);
                core_queue_post(instance->unmatched->queue, &name, 0, 0, nullptr, 0);
            }
        }
        core_queue_record_free(large, &record);
    }
}

void expire(FlowmeshAdapterInstance *instance, uint64_t now)
{
    instance->expiry_passes.fetch_add(1);
    for (CoreStoreItem *item = core_store_first(instance->discovered); item != nullptr;
         item = core_store_next(instance->discovered, item, 1)) {
        auto *node = reinterpret_cast<FlowmeshDiscoveredNode *>(item);
        if (node->expiry_ms > now || (node->flags.load() & FLOWMESH_NODE_CONNECTED)) continue;
        if (core_store_remove(instance->discovered, item->key.key) == CORE_OK) instance->nodes_expired.fetch_add(1);
    }
    for (CoreStoreItem *item = core_store_first(instance->peers); item != nullptr;
         item = core_store_next(instance->peers, item, 1)) {
        auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
        if (peer->expiry_ms > now || (peer->flags.load() & FLOWMESH_PEER_CONFIRMED)) continue;
        if (flowmesh_peer_drop(instance, peer) == CORE_OK) instance->peers_expired.fetch_add(1);
    }
}

void announce_round(FlowmeshAdapterInstance *instance, uint64_t now)
{
    const uint8_t *own = instance->node.broadcast_identity;
    if (instance->adapter.broadcast != 0) flowmesh_announce(instance, nullptr, own);
    if (instance->listen_port == 0) return;
    for (CoreStoreItem *item = core_store_first(instance->discovered); item != nullptr;
         item = core_store_next(instance->discovered, item, 1)) {
        auto *node = reinterpret_cast<FlowmeshDiscoveredNode *>(item);
        if (!(node->flags.load() & FLOWMESH_NODE_CONNECTED) && now >= node->unicast_ms)
            flowmesh_announce(instance, &node->address, own);
    }
}

void send_identity_blocks(FlowmeshAdapterInstance *instance)
{
    const CoreIoVec vec = {instance->discovery_block_length, instance->discovery_block};
    for (CoreStoreItem *item = core_store_first(instance->discovered); item != nullptr;
         item = core_store_next(instance->discovered, item, 1)) {
        auto *node = reinterpret_cast<FlowmeshDiscoveredNode *>(item);
        const uint32_t flags = node->flags.fetch_and(~FLOWMESH_NODE_SEND_IDENTITY);
        if (!(flags & FLOWMESH_NODE_SEND_IDENTITY) || (flags & FLOWMESH_NODE_CONNECTED)) continue;
        // Through a data socket: the receiver checks our identity against
        // the address the block comes from.
        if (core_queue_post(instance->send_channel, nullptr, node->address.address, node->address.port, &vec, 1) == 0)
            instance->identity_blocks_sent.fetch_add(1);
    }
}

int discovery_loop(void **args)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(args[0]);
    const uint32_t mode = instance->config.configuration.announce_mode;
    // Every deadline is due at once.
    uint64_t drain_at = 0, expiry_at = 0, announce_at = 0, identity_at = 0, key_at = 0;
    while (running(instance)) {
        uint64_t now = core_clock_mono_ms();
        if (now >= drain_at) {
            drain(instance);
            drain_at = now + FLOWMESH_DRAIN_MS;
        }
        if (now >= expiry_at) {
            expire(instance, now);
            expiry_at = now + FLOWMESH_EXPIRY_PASS_MS;
        }
        if (now >= announce_at) {
            announce_round(instance, now);
            announce_at = now + flowmesh_announce_interval_ms(mode, core_random_u64());
        }
        const bool asked = instance->state.fetch_and(~FLOWMESH_INSTANCE_SEND_IDENTITY) & FLOWMESH_INSTANCE_SEND_IDENTITY;
        if (asked || now >= identity_at) {
            send_identity_blocks(instance);
            identity_at = now + 100 + 10 * (core_random_u64() % 41);
        }
        if (now >= key_at &&
            (instance->state.fetch_and(~FLOWMESH_INSTANCE_SEND_KEYS) & FLOWMESH_INSTANCE_SEND_KEYS)) {
            flowmesh_resend_key_messages(instance);
            key_at = now + FLOWMESH_KEY_PASS_MS;
        }
        core_sleep_ms(FLOWMESH_DISCOVERY_LOOP_MS);
    }
    return 0;
}

void join(FlowmeshAdapterInstance *instance, CoreThreadRecord **thread)
{
    if (*thread != nullptr && core_thread_join(thread) != 0) instance->abandoned = true;
}

}  // namespace

uint32_t flowmesh_announce_interval_ms(uint32_t announce_mode, uint64_t r)
{
    switch (announce_mode) {
    case 1: return static_cast<uint32_t>(500 + 10 * (r % 101));
    case 2: return static_cast<uint32_t>(1000 + 10 * (r % 201));
    case 3: return static_cast<uint32_t>(1500 + 10 * (r % 351));
    default: return 500;
    }
}

bool flowmesh_discovery_open(FlowmeshAdapterInstance *instance)
{
    CoreStoreConfig config = {};
    config.item_size = sizeof(FlowmeshDiscoveredNode);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = node_init;
    core_name_format(&config.executor, "%s", CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    config.user = instance;
    instance->discovered = core_store_create(&config);
    if (instance->discovered == nullptr) return false;
    instance->listen = open_listen_socket(instance->config.configuration.base_port, &instance->listen_port);
    if (instance->listen == nullptr)
        core_log(CORE_LOG_WARN, kModule, "none of the eight discovery ports from %u is free; announcing by broadcast only",
                 instance->config.configuration.base_port);
    else
        core_log(CORE_LOG_INFO, kModule, "listening for announcements on port %u", ntohs(instance->listen_port));
    return true;
}

bool flowmesh_discovery_start(FlowmeshAdapterInstance *instance)
{
    instance->discovery_loop = core_thread_start(discovery_loop, instance, nullptr, "fm-discovery");
    if (instance->discovery_loop == nullptr) return false;
    instance->discovery_reader = core_thread_start(discovery_reader, instance, nullptr, "fm-disc-read");
    if (instance->discovery_reader == nullptr) return false;
    if (instance->listen == nullptr) return true;
    instance->listen_reader = core_thread_start(listen_reader, instance, nullptr, "fm-listen");
    return instance->listen_reader != nullptr;
}

void flowmesh_discovery_stop(FlowmeshAdapterInstance *instance)
{
    join(instance, &instance->listen_reader);
    join(instance, &instance->discovery_reader);
    join(instance, &instance->discovery_loop);
}

CoreResult flowmesh_discovery_on_announce(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                          const uint8_t *data, uint64_t length)
{
    if (instance == nullptr || source == nullptr || instance->discovered == nullptr) return CORE_ERR;
    if (data == nullptr || length != NETCRYPTO_ANNOUNCEMENT_SIZE) {
        instance->announcements_refused.fetch_add(1);
        return CORE_ERR;
    }
    if (memcmp(data, instance->node.broadcast_identity, NETCRYPTO_ANNOUNCEMENT_SIZE) == 0) return CORE_DONE;
    FlowmeshDiscoveredNode *node = flowmesh_discovery_find(instance, data);
    if (node == nullptr) {
        // Recomputing costs a hash over 4 KB; only unknown nodes pay it.
        if (netcrypto_check_announcement(instance->node.broadcast_identity, source, data, length) != CORE_OK) {
            instance->announcements_refused.fetch_add(1);
            return CORE_ERR;
        }
        const CoreName key = announcement_key(data);
        CoreStoreItem *item = nullptr;
        const CoreResult inserted = core_store_insert(instance->discovered, &key, nullptr,
                                                      const_cast<CoreUdpAddr *>(source), &item, 1);
        if (inserted != CORE_OK && inserted != CORE_EXISTS) {
            instance->announcements_refused.fetch_add(1);
            return CORE_ERR;
        }
        node = reinterpret_cast<FlowmeshDiscoveredNode *>(item);
    }
    node->flags.fetch_or(FLOWMESH_NODE_SEND_IDENTITY);
    flowmesh_discovery_release(instance);
    instance->state.fetch_or(FLOWMESH_INSTANCE_SEND_IDENTITY);
    instance->announcements_accepted.fetch_add(1);
    return CORE_OK;
}

CoreResult flowmesh_announce(FlowmeshAdapterInstance *instance, const CoreUdpAddr *target,
                             const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE])
{
    if (instance == nullptr || instance->discovery_channel == nullptr || announcement == nullptr) return CORE_ERR;
    const CoreIoVec vec = {NETCRYPTO_ANNOUNCEMENT_SIZE, announcement};
    const CoreUdpAddr *targets = target != nullptr ? target : instance->broadcast_targets;
    const uint32_t count = target != nullptr ? 1 : FLOWMESH_BROADCAST_TARGETS;
    for (uint32_t i = 0; i < count; ++i)
        if (core_queue_post(instance->discovery_channel, nullptr, targets[i].address, targets[i].port, &vec, 1) != 0)
            return CORE_ERR;
    return CORE_OK;
}

FlowmeshDiscoveredNode *flowmesh_discovery_find(FlowmeshAdapterInstance *instance,
                                                const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE])
{
    if (instance == nullptr || instance->discovered == nullptr || announcement == nullptr) return nullptr;
    return reinterpret_cast<FlowmeshDiscoveredNode *>(core_store_lookup(instance->discovered, announcement));
}

void flowmesh_discovery_release(FlowmeshAdapterInstance *instance)
{
    if (instance != nullptr && instance->discovered != nullptr) core_store_unref(instance->discovered);
}

void flowmesh_discovery_mark_connected(FlowmeshAdapterInstance *instance,
                                       const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE])
{
    FlowmeshDiscoveredNode *node = flowmesh_discovery_find(instance, announcement);
    if (node == nullptr) return;
    node->flags.fetch_or(FLOWMESH_NODE_CONNECTED);
    flowmesh_discovery_release(instance);
}

void flowmesh_discovery_forget(FlowmeshAdapterInstance *instance,
                               const uint8_t announcement[NETCRYPTO_ANNOUNCEMENT_SIZE])
{
    if (instance == nullptr || instance->discovered == nullptr || announcement == nullptr) return;
    core_store_remove(instance->discovered, announcement);
}

uint32_t flowmesh_discovery_count(FlowmeshAdapterInstance *instance)
{
    return instance != nullptr && instance->discovered != nullptr ? live_nodes(instance->discovered) : 0;
}

FlowmeshDiscoveryCounters flowmesh_discovery_counters(const FlowmeshAdapterInstance *instance)
{
    FlowmeshDiscoveryCounters c = {};
    if (instance == nullptr) return c;
    c.announcements_sent = instance->announcements_sent.load();
    c.announcements_accepted = instance->announcements_accepted.load();
    c.announcements_refused = instance->announcements_refused.load();
    c.unknown_sender = instance->unknown_sender.load();
    c.pipe_full = instance->pipe_full.load();
    c.identity_blocks_sent = instance->identity_blocks_sent.load();
    c.identity_blocks_refused = instance->identity_blocks_refused.load();
    c.key_messages_sent = instance->key_messages_sent.load();
    c.key_messages_refused = instance->key_messages_refused.load();
    c.expiry_passes = instance->expiry_passes.load();
    c.nodes_expired = instance->nodes_expired.load();
    c.peers_expired = instance->peers_expired.load();
    return c;
}
