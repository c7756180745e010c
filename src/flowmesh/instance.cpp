// The adapter instance: start and stop, the receive path (receive threads,
// ring, dispatcher, dispatch consumer), the send path.
#include "flowmesh/instance.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/timer.h"
#include "flowmesh/discovery.h"
#include "flowmesh/handshake.h"
#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/key_message.h"
#include "flowmesh/peer.h"
#include "flowmesh/stun.h"

namespace {

const char kModule[] = "flowmesh.instance";

constexpr int64_t kIdleWaitNs = 10'000'000;   // receive wait with no traffic
constexpr int64_t kBusyWaitNs = 500'000;      // receive wait under traffic
constexpr uint64_t kPoolBytes = 0x200000;
constexpr uint64_t kSmallPipeBytes = 0x20000;
constexpr uint64_t kLargePipeBytes = 0x80000;

bool running(const FlowmeshAdapterInstance *instance)
{
    return instance->state.load(std::memory_order_acquire) & FLOWMESH_INSTANCE_RUNNING;
}

sockaddr_in to_sockaddr(uint32_t address, uint16_t port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = port;
    return sa;
}

// ---- sockets ----

// Asks for `bytes` of buffer, past net.core.*mem_max when we may (root),
// else up to the cap; returns what the kernel granted.
uint32_t set_buffer(int fd, int force_option, int option, int bytes)
{
    if (setsockopt(fd, SOL_SOCKET, force_option, &bytes, sizeof(bytes)) != 0)
        setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof(bytes));
    int granted = 0;
    socklen_t length = sizeof(granted);
    getsockopt(fd, SOL_SOCKET, option, &granted, &length);
    // Linux reports twice the usable size (it counts its bookkeeping).
    return static_cast<uint32_t>(granted / 2);
}

CoreUdpSocket *open_socket(int buffer_bytes, bool reuse_port, bool broadcast, uint32_t *granted_receive)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int one = 1;
    if ((reuse_port && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) != 0) ||
        (broadcast && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0)) {
        close(fd);
        return nullptr;
    }
    set_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, buffer_bytes);
    uint32_t receive = set_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, buffer_bytes);
    if (granted_receive != nullptr) *granted_receive = receive;
    auto *s = static_cast<CoreUdpSocket *>(calloc(1, sizeof(CoreUdpSocket)));
    if (s == nullptr) {
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    return s;
}

bool bind_socket(CoreUdpSocket *s, uint32_t address, uint16_t port)
{
    sockaddr_in sa = to_sockaddr(address, port);
    return bind(s->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
}

bool bound_address(CoreUdpSocket *s, CoreUdpAddr *out)
{
    sockaddr_in sa = {};
    socklen_t length = sizeof(sa);
    if (getsockname(s->fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0 || sa.sin_family != AF_INET)
        return false;
    out->address = sa.sin_addr.s_addr;
    out->port = sa.sin_port;
    return true;
}

// UDP sockets of the calling thread's namespace bound to `port` on
// `address` or on the any-address. A port chosen by bind(0) with
// SO_REUSEPORT can be one that another reuse-port socket of this user
// holds; joining its group would hand part of our traffic to it and part
// of its traffic to us, so the first data socket checks it is alone.
int sockets_on_port(uint32_t address, uint16_t port)
{
    FILE *file = fopen("/proc/thread-self/net/udp", "r");
    if (file == nullptr) return -1;
    char line[512];
    int count = 0;
    const unsigned wanted = ntohs(port);
    while (fgets(line, sizeof(line), file) != nullptr) {
        unsigned slot, local_address, local_port;
        if (sscanf(line, " %u: %8X:%4X", &slot, &local_address, &local_port) != 3) continue;
        // The kernel prints the address word as stored: network order.
        if (local_port == wanted && (local_address == address || local_address == 0 || address == 0)) count++;
    }
    fclose(file);
    return count;
}

void close_data_sockets(FlowmeshAdapterInstance *instance)
{
    for (CoreUdpSocket *&s : instance->data) core_udp_close(&s);
}

// Four sockets on one address and port. The configured port is tried
// first; when it is taken, the first socket takes an ephemeral port and
// the other three join it there, so that every datagram this instance
// sends carries the one source port peers know it by.
bool open_data_sockets(FlowmeshAdapterInstance *instance)
{
    const uint32_t address = instance->adapter.address.address;
    uint16_t wanted = instance->adapter.address.port != 0 ? htons(instance->config.configuration.second_port) : 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        close_data_sockets(instance);
        CoreUdpSocket *first = open_socket(FLOWMESH_DATA_BUFFER_BYTES, true, false, &instance->receive_buffer_bytes);
        if (first == nullptr) return false;
        instance->data[0] = first;
        if (!bind_socket(first, address, wanted)) {
            if (wanted == 0) return false;
            wanted = 0;
            continue;
        }
        CoreUdpAddr bound = {};
        if (!bound_address(first, &bound)) return false;
        if (sockets_on_port(address, bound.port) > 1) {
            core_log(CORE_LOG_INFO, kModule, "port %u is shared with another socket; choosing another",
                     ntohs(bound.port));
            wanted = 0;
            continue;
        }
        bool all = true;
        for (int k = 1; k < FLOWMESH_DATA_SOCKETS && all; ++k) {
            instance->data[k] = open_socket(FLOWMESH_DATA_BUFFER_BYTES, true, false, nullptr);
            if (instance->data[k] == nullptr) return false;
            all = bind_socket(instance->data[k], address, bound.port);
        }
        if (!all) {
            wanted = 0;
            continue;
        }
        for (CoreUdpSocket *s : instance->data) core_udp_mark_dscp(s);
        instance->adapter.address = bound;
        core_log(CORE_LOG_INFO, kModule, "data sockets on %08X:%u, receive buffers %u bytes",
                 ntohl(bound.address), ntohs(bound.port), instance->receive_buffer_bytes);
        return true;
    }
    return false;
}

bool open_discovery_socket(FlowmeshAdapterInstance *instance)
{
    instance->discovery = open_socket(FLOWMESH_DISCOVERY_BUFFER_BYTES, false, true, nullptr);
    if (instance->discovery == nullptr) return false;
    return bind_socket(instance->discovery, instance->adapter.address.address, 0) &&
           bound_address(instance->discovery, &instance->discovery_address);
}

// ---- the STUN probe of direct mode ----

bool stun_start(FlowmeshAdapterInstance *instance)
{
    const FlowmeshConfig &config = instance->config.configuration;
    const FlowmeshStunAddresses addresses = {{config.stun_address, htons(config.stun_port)}, instance->adapter.address};
    instance->stun = flowmesh_stun_create(&addresses);
    return instance->stun != nullptr;
}

void stun_stop(FlowmeshAdapterInstance *instance) { flowmesh_stun_destroy(&instance->stun); }

void broadcast_targets(FlowmeshAdapterInstance *instance)
{
    const uint32_t base = instance->config.configuration.base_port;
    for (uint32_t j = 0; j < FLOWMESH_BROADCAST_TARGETS; ++j) {
        instance->broadcast_targets[j].address = instance->adapter.broadcast;
        instance->broadcast_targets[j].port = htons(static_cast<uint16_t>(base + j));
    }
}

// ---- receive path ----

void dispatch_tick(void **user)
{
    core_event_signal(&static_cast<FlowmeshAdapterInstance *>(user[0])->ring_event);
}

struct ReceiveSpace {
    uint8_t buffers[FLOWMESH_RECEIVE_BATCH][FLOWMESH_RECORD_BUFFER];
    mmsghdr messages[FLOWMESH_RECEIVE_BATCH];
    iovec vectors[FLOWMESH_RECEIVE_BATCH];
    sockaddr_in senders[FLOWMESH_RECEIVE_BATCH];
};

void prepare_messages(ReceiveSpace *space)
{
    for (uint32_t i = 0; i < FLOWMESH_RECEIVE_BATCH; ++i) {
        msghdr &h = space->messages[i].msg_hdr;
        h.msg_name = &space->senders[i];
        h.msg_namelen = sizeof(space->senders[i]);
        h.msg_flags = 0;
        space->messages[i].msg_len = 0;
    }
}

// Copies what a batch brought into ring A, as far as it has room, and
// drops what no record may carry. Returns the datagrams now waiting.
uint64_t ring_accept(FlowmeshAdapterInstance *instance, ReceiveSpace *space, uint32_t n)
{
    const uint64_t now = core_clock_mono_ms();
    CoreLockGuard guard(&instance->ring_lock);
    uint64_t count = instance->ring_count.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        const mmsghdr &m = space->messages[i];
        instance->received.fetch_add(1, std::memory_order_relaxed);
        // MSG_TRUNC: the kernel cut the datagram to the buffer; the rest is
        // gone, so none of it may pass for a whole datagram.
        if ((m.msg_hdr.msg_flags & MSG_TRUNC) || m.msg_len > FLOWMESH_DATAGRAM_MAX) {
            instance->dropped_oversized.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (m.msg_len == 0) {
            instance->dropped_empty.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (count >= FLOWMESH_RING_SLOTS) {
            instance->dropped_ring_full.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        CoreQueueEntry &slot = instance->ring_a[count++];
        auto *head = reinterpret_cast<CoreUdpPacket *>(slot.data);
        head->address = space->senders[i].sin_addr.s_addr;
        head->port = space->senders[i].sin_port;
        head->reserved = 0;
        head->time = now;
        head->offset = 0;
        head->length = m.msg_len;
        memcpy(head->data, space->buffers[i] + FLOWMESH_RECORD_HEAD, m.msg_len);
        slot.type = head->address;
        slot.flags = head->port;
        slot.length = m.msg_len + FLOWMESH_RECORD_HEAD;
    }
    instance->ring_count.store(count, std::memory_order_relaxed);
    return count;
}

int receive_worker(void **args)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(args[0]);
    const int fd = instance->data[reinterpret_cast<uintptr_t>(args[1])]->fd;
    auto *space = static_cast<ReceiveSpace *>(calloc(1, sizeof(ReceiveSpace)));
    if (space == nullptr) return -1;
    for (uint32_t i = 0; i < FLOWMESH_RECEIVE_BATCH; ++i) {
        space->vectors[i].iov_base = space->buffers[i] + FLOWMESH_RECORD_HEAD;
        space->vectors[i].iov_len = FLOWMESH_DATAGRAM_MAX;
        space->messages[i].msg_hdr.msg_iov = &space->vectors[i];
        space->messages[i].msg_hdr.msg_iovlen = 1;
    }
    int64_t wait_ns = kIdleWaitNs;
    while (running(instance)) {
        prepare_messages(space);
        uint32_t n = 0;
        CoreResult result = flowmesh_receive_batch(fd, space->messages, FLOWMESH_RECEIVE_BATCH, wait_ns, &n);
        if (result == CORE_ERR) {
            instance->receive_failures.fetch_add(1);
            core_log(CORE_LOG_WARN, kModule, "receive failed on a data socket (errno %d)", errno);
            flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_DOWN, nullptr, 0);
            break;
        }
        if (result == CORE_DONE) {
            wait_ns = wait_ns * 2 > kIdleWaitNs ? kIdleWaitNs : wait_ns * 2;
            continue;
        }
        if (ring_accept(instance, space, n) >= FLOWMESH_RING_WAKE) core_event_signal(&instance->ring_event);
        wait_ns = wait_ns / 2 < kBusyWaitNs ? kBusyWaitNs : wait_ns / 2;
    }
    free(space);
    return 0;
}

int dispatcher(void **args)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(args[0]);
    while (running(instance)) {
        if (instance->hold_dispatch.load()) {
            core_event_wait(&instance->ring_event, 20);
            continue;
        }
        if (instance->ring_count.load() == 0) {
            // Woken by 32 waiting datagrams, the tick, or the stop.
            core_event_wait(&instance->ring_event, UINT32_MAX);
            continue;
        }
        uint64_t n;
        {
            CoreLockGuard guard(&instance->ring_lock);
            n = instance->ring_count.load(std::memory_order_relaxed);
            for (uint64_t i = 0; i < n; ++i) {
                const CoreQueueEntry &from = instance->ring_a[i];
                CoreQueueEntry &to = instance->ring_b[i];
                to.type = from.type;
                to.flags = from.flags;
                to.length = from.length;
                memcpy(to.data, from.data, from.length);
            }
            instance->ring_count.store(0, std::memory_order_relaxed);
        }
        if (core_queue_post_batch(instance->dispatch_channel, instance->ring_b, n) == 0)
            instance->dispatched.fetch_add(n);
        else
            instance->dropped_queue.fetch_add(n);
    }
    return 0;
}

uint64_t sender_key(const CoreQueueEntry &entry)
{
    return (static_cast<uint64_t>(ntohl(entry.type)) << 16) | ntohs(static_cast<uint16_t>(entry.flags));
}

// Stable merge sort of the keys (a bottom-up pass per width), so that one
// sender's datagrams keep their arrival order: qsort may reorder equal
// keys, which would reorder a peer's datagrams within a batch.
FlowmeshAdapterInstance::SortKey *sort_keys(FlowmeshAdapterInstance::SortKey *a,
                                            FlowmeshAdapterInstance::SortKey *scratch, uint64_t n)
{
    for (uint64_t width = 1; width < n; width *= 2) {
        for (uint64_t low = 0; low < n; low += 2 * width) {
            const uint64_t middle = low + width < n ? low + width : n;
            const uint64_t high = low + 2 * width < n ? low + 2 * width : n;
            uint64_t i = low, j = middle, k = low;
            while (i < middle && j < high) scratch[k++] = a[j].sender < a[i].sender ? a[j++] : a[i++];
            while (i < middle) scratch[k++] = a[i++];
            while (j < high) scratch[k++] = a[j++];
        }
        FlowmeshAdapterInstance::SortKey *swap = a;
        a = scratch;
        scratch = swap;
    }
    return a;
}

void route_run(FlowmeshAdapterInstance *instance, CoreQueueEntry *run, uint64_t n)
{
    const CoreUdpAddr sender = {run[0].type, static_cast<uint16_t>(run[0].flags)};
    FlowmeshPeer *peer = flowmesh_peer_find(instance, &sender);
    if (peer == nullptr) {
        // A sender without a peer may be starting a direct-form handshake;
        // discovery-form handshakes arrive on the discovery socket instead.
        // Once one record made a peer, the rest of the run is not offered:
        // a second key message would drop the peer it just made.
        if (instance->config.configuration.flags & FLOWMESH_MODE_DIRECT) {
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t length = run[i].length - FLOWMESH_RECORD_HEAD;
                if (length < NETCRYPTO_KEY_MESSAGE_SIZE) continue;
                const auto *datagram = static_cast<const uint8_t *>(run[i].data) + FLOWMESH_RECORD_HEAD;
                if (flowmesh_handshake_offer_direct(instance, &sender, datagram, length) == CORE_OK) break;
            }
        }
        instance->unrouted.fetch_add(n);
        return;
    }
    for (uint64_t i = 0; i < n; ++i) run[i].name = peer->identity;
    if (core_queue_post_batch(peer->queue, run, n) == 0)
        instance->routed.fetch_add(n);
    else
        instance->dropped_queue.fetch_add(n);
    if (peer->flags.load() & FLOWMESH_PEER_CLOSING) flowmesh_peer_drop(instance, peer);
    flowmesh_peer_release(instance);
}

int dispatch_consumer(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(user[0]);
    uint64_t n = *count < FLOWMESH_SORT_RECORDS ? *count : FLOWMESH_SORT_RECORDS;
    *count = n;
    FlowmeshAdapterInstance::SortKey *keys = instance->sort_keys[0];
    for (uint64_t i = 0; i < n; ++i) keys[i] = {sender_key(entries[i]), static_cast<uint32_t>(i)};
    keys = sort_keys(keys, instance->sort_keys[1], n);
    CoreQueueEntry *records = instance->sort_records;
    for (uint64_t i = 0; i < n; ++i) records[i] = entries[keys[i].index];
    uint64_t start = 0;
    for (uint64_t i = 1; i <= n; ++i) {
        if (i < n && keys[i].sender == keys[start].sender) continue;
        route_run(instance, records + start, i - start);
        start = i;
    }
    return CORE_OK;
}

// ---- send path ----

int send_consumer(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(user[0]);
    // A hard error ends this consumer: what is queued stays unsent until
    // the instance stops; the link-down report restarts the network.
    return flowmesh_send_batch(instance, flowmesh_instance_next_socket(instance), entries, *count, nullptr);
}

int discovery_send_consumer(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *instance = static_cast<FlowmeshAdapterInstance *>(user[0]);
    return flowmesh_send_batch(instance, -1, entries, *count, nullptr);
}

// ---- start ----

bool make_pool(FlowmeshAdapterInstance *instance, int which)
{
    CorePoolConfig config = {};
    config.size = kPoolBytes;
    config.granule = 64;
    CorePool *pool = core_pool_create(&config);
    if (pool == nullptr) return false;
    (which == 0 ? instance->send_pool : instance->receive_pool) = pool;
    if (core_pool_register(&instance->pool_names[which], pool) != CORE_OK) return false;
    instance->pools_registered[which] = true;
    return true;
}

CorePipe *make_pipe(uint64_t bytes, const char *pool, const char *executor)
{
    CorePipeConfig config = {};
    config.pool_size = bytes;
    if (pool != nullptr) core_name_format(&config.pool, "%s", pool);
    if (executor != nullptr) core_name_format(&config.executor, "%s", executor);
    return core_pipe_create(&config);
}

CoreQueue *make_channel(FlowmeshAdapterInstance *instance, uint64_t batch, int pool, CoreQueueConsumerFn consumer)
{
    CoreQueueConfig config = {};
    config.batch = batch;
    config.pause_ms = 100;
    config.executor = instance->executor;
    config.pool = instance->pool_names[pool];
    config.consumer = consumer;
    config.user[0] = instance;
    return core_queue_create(&config);
}

bool executor_ready(const CoreName *name)
{
    CoreExecutor *executor = core_executor_find(name);
    if (executor == nullptr) return false;
    const bool ready = core_executor_worker_count(executor) > 0;
    core_executor_release(executor);
    return ready;
}

bool make_rings(FlowmeshAdapterInstance *instance)
{
    instance->ring_a = static_cast<CoreQueueEntry *>(calloc(FLOWMESH_RING_SLOTS, sizeof(CoreQueueEntry)));
    instance->ring_b = static_cast<CoreQueueEntry *>(calloc(FLOWMESH_RING_SLOTS, sizeof(CoreQueueEntry)));
    instance->ring_buffers = static_cast<uint8_t *>(calloc(2 * FLOWMESH_RING_SLOTS, FLOWMESH_RECORD_BUFFER));
    if (instance->ring_a == nullptr || instance->ring_b == nullptr || instance->ring_buffers == nullptr) return false;
    for (uint32_t i = 0; i < FLOWMESH_RING_SLOTS; ++i) {
        instance->ring_a[i].data = instance->ring_buffers + i * FLOWMESH_RECORD_BUFFER;
        instance->ring_a[i].length = FLOWMESH_RECORD_BUFFER;
        instance->ring_b[i].data = instance->ring_buffers + (FLOWMESH_RING_SLOTS + i) * FLOWMESH_RECORD_BUFFER;
        instance->ring_b[i].length = FLOWMESH_RECORD_BUFFER;
    }
    return true;
}

bool make_sort_space(FlowmeshAdapterInstance *instance)
{
    for (auto *&keys : instance->sort_keys)
        keys = static_cast<FlowmeshAdapterInstance::SortKey *>(
            calloc(FLOWMESH_SORT_RECORDS, sizeof(FlowmeshAdapterInstance::SortKey)));
    instance->sort_records = static_cast<CoreQueueEntry *>(calloc(FLOWMESH_SORT_RECORDS, sizeof(CoreQueueEntry)));
    return instance->sort_keys[0] != nullptr && instance->sort_keys[1] != nullptr && instance->sort_records != nullptr;
}

void format_name(CoreName *name, const char *format, const CoreUdpAddr &address)
{
    core_name_format(name, format, ntohl(address.address), ntohs(address.port));
}

// The start sequence; false at the first step that fails (the destroy
// callback then frees what exists).
bool instance_start(FlowmeshAdapterInstance *instance, const FlowmeshInstanceInit *init)
{
    instance->adapter = init->adapter;
    instance->adapter.next = nullptr;
    instance->config = init->config;
    const FlowmeshConfig &config = instance->config.configuration;
    const bool lan = config.flags & FLOWMESH_MODE_LAN;
    const bool direct = config.flags & FLOWMESH_MODE_DIRECT;

    instance->rsa_key = config.rsa_key;
    if (instance->rsa_key == nullptr) {
        instance->rsa_key = core_rsa_generate();
        instance->rsa_key_owned = instance->rsa_key != nullptr;
    }
    if (instance->rsa_key == nullptr) return false;

    instance->peers = flowmesh_peer_store_create(instance);
    if (instance->peers == nullptr) return false;

    if (!open_data_sockets(instance)) {
        core_log(CORE_LOG_WARN, kModule, "the data sockets of %s cannot be bound", instance->adapter.description);
        return false;
    }

    NetcryptoNode &node = instance->node;
    node.system_name = config.system_name;
    node.user_id = config.user_id;
    node.key_options = config.key_options & (NETCRYPTO_KEYS_128 | NETCRYPTO_KEYS_256);
    node.ignore_own_address = config.flags & FLOWMESH_IGNORE_OWN;
    node.adapter_ipv4 = instance->adapter.address.address;
    node.key = instance->rsa_key;
    netcrypto_seed_index_take();  // instance start moves the cursor once before its first identity
    if (netcrypto_derive_identity(&instance->adapter.address, netcrypto_seed_index_take(), &config.user_id,
                                  &config.system_name, &node.first_identity, &node.first_identity_hash) != CORE_OK)
        return false;
    if (lan && !open_discovery_socket(instance)) return false;
    if (direct) {
        const CoreUdpAddr placeholder = {NETCRYPTO_PLACEHOLDER_IPV4, NETCRYPTO_PLACEHOLDER_PORT};
        if (netcrypto_derive_identity(&placeholder, netcrypto_seed_index_take(), &config.user_id,
                                      &config.system_name, &node.second_identity,
                                      &node.second_identity_hash) != CORE_OK)
            return false;
    }
    if (lan) {
        netcrypto_broadcast_identity(&instance->discovery_address, node.broadcast_identity);
        broadcast_targets(instance);
        if (!flowmesh_discovery_open(instance)) return false;
    }

    format_name(&instance->pool_names[0], FLOWMESH_ADAPTER_SEND_POOL_NAME, instance->adapter.address);
    format_name(&instance->pool_names[1], FLOWMESH_ADAPTER_RECEIVE_POOL_NAME, instance->adapter.address);
    if (!make_pool(instance, 0) || !make_pool(instance, 1)) return false;
    instance->small_pipe = make_pipe(kSmallPipeBytes, nullptr, nullptr);
    instance->large_pipe = make_pipe(kLargePipeBytes, nullptr, nullptr);
    if (instance->small_pipe == nullptr || instance->large_pipe == nullptr) return false;

    format_name(&instance->executor, FLOWMESH_ADAPTER_EXECUTOR_NAME, instance->adapter.address);
    if (core_executor_create(&instance->executor) != 0) return false;
    instance->executor_made = true;
    if (!executor_ready(&instance->executor)) return false;

    if (netcrypto_sign_identity(&node, NETCRYPTO_DISCOVERY, instance->discovery_block) != CORE_OK ||
        netcrypto_sign_identity(&node, NETCRYPTO_DIRECT, instance->direct_block) != CORE_OK)
        return false;
    instance->discovery_block_length = instance->direct_block_length = NETCRYPTO_IDENTITY_BLOCK_SIZE;

    instance->unmatched = make_pipe(0, CORE_DEFAULT_POOL, CORE_DEFAULT_EXECUTOR);
    if (instance->unmatched == nullptr) return false;
    if (lan && (instance->discovery_channel = make_channel(instance, 16, 0, discovery_send_consumer)) == nullptr)
        return false;
    instance->send_channel = make_channel(instance, FLOWMESH_SORT_RECORDS, 0, send_consumer);
    if (instance->send_channel == nullptr || !make_sort_space(instance)) return false;
    instance->dispatch_channel = make_channel(instance, FLOWMESH_SORT_RECORDS, 1, dispatch_consumer);
    if (instance->dispatch_channel == nullptr) return false;

    instance->state.fetch_or(FLOWMESH_INSTANCE_RUNNING);
    if (!make_rings(instance)) return false;
    for (uintptr_t k = 0; k < FLOWMESH_DATA_SOCKETS; ++k) {
        instance->receivers[k] = core_thread_start(receive_worker, instance, reinterpret_cast<void *>(k), "fm-receive");
        if (instance->receivers[k] == nullptr) return false;
    }
    instance->dispatcher = core_thread_start(dispatcher, instance, nullptr, "fm-dispatch");
    if (instance->dispatcher == nullptr) return false;
    const uint32_t tick = flowmesh_engine_timing().dispatch_tick_ms;
    instance->dispatch_timer = core_timer_create(tick, tick, dispatch_tick, instance, nullptr);
    if (instance->dispatch_timer == nullptr) return false;
    if (lan && !flowmesh_discovery_start(instance)) return false;
    if (direct && (config.stun_address != 0 || config.stun_port != 0) && !stun_start(instance)) return false;

    if (instance->state.fetch_or(FLOWMESH_INSTANCE_STARTED) & FLOWMESH_INSTANCE_STARTED) return true;
    if (instance->adapter.address.address != 0 || instance->adapter.address.port != 0)
        flowmesh_instance_report(instance, FLOWMESH_ENGINE_ADAPTER_STARTED, &instance->adapter,
                                 sizeof(instance->adapter));
    return true;
}

void join(FlowmeshAdapterInstance *instance, CoreThreadRecord **thread)
{
    if (*thread != nullptr && core_thread_join(thread) != 0) instance->abandoned = true;
}

}  // namespace

// ---- public ----

bool flowmesh_send_error_tolerated(int error)
{
    return error == EPERM || (error != EINTR && core_udp_map_errno(error) == CORE_NO_DATA);
}

CoreResult flowmesh_receive_batch(int fd, mmsghdr *messages, uint32_t n, int64_t timeout_ns, uint32_t *count)
{
    *count = 0;
    for (int look = 0; look < 2; ++look) {
        int got = recvmmsg(fd, messages, n, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (got > 0) {
            *count = static_cast<uint32_t>(got);
            return CORE_OK;
        }
        if (got < 0 && core_udp_map_errno(errno) == CORE_ERR) return CORE_ERR;
        if (look == 1 || timeout_ns == 0) break;
        pollfd p = {fd, POLLIN, 0};
        timespec wait = {static_cast<time_t>(timeout_ns / 1'000'000'000), static_cast<long>(timeout_ns % 1'000'000'000)};
        int ready = ppoll(&p, 1, timeout_ns < 0 ? nullptr : &wait, nullptr);
        if (ready < 0) return errno == EINTR ? CORE_DONE : CORE_ERR;
        if (ready == 0) break;
        if (p.revents & POLLNVAL) return CORE_ERR;
    }
    return CORE_DONE;
}

void flowmesh_instance_report(FlowmeshAdapterInstance *instance, uint32_t code, const void *data, uint64_t length)
{
    if (instance->config.status != nullptr)
        instance->config.status(&instance->node.first_identity, code, 0, data, length, instance->config.user);
}

int flowmesh_instance_next_socket(FlowmeshAdapterInstance *instance)
{
    return static_cast<int>((instance->send_rotation.fetch_add(1) + 1) % FLOWMESH_DATA_SOCKETS);
}

CoreResult flowmesh_send_batch(FlowmeshAdapterInstance *instance, int socket, const CoreQueueEntry *records,
                               uint64_t count, const CoreUdpAddr *to)
{
    CoreUdpSocket *s = socket < 0 ? instance->discovery : instance->data[socket % FLOWMESH_DATA_SOCKETS];
    if (s == nullptr) return CORE_ERR;
    mmsghdr messages[FLOWMESH_RECEIVE_BATCH];
    iovec vectors[FLOWMESH_RECEIVE_BATCH];
    sockaddr_in targets[FLOWMESH_RECEIVE_BATCH];
    uint64_t next = 0;
    while (next < count) {
        uint32_t m = 0;
        for (; next < count && m < FLOWMESH_RECEIVE_BATCH; ++next) {
            const CoreQueueEntry &record = records[next];
            const CoreUdpAddr destination =
                to != nullptr ? *to : CoreUdpAddr{record.type, static_cast<uint16_t>(record.flags)};
            // Our own callers make these; a bad one is skipped, never sent
            // cut, and never taken for a lost link.
            if (record.data == nullptr || record.length == 0 || record.length > FLOWMESH_DATAGRAM_MAX ||
                destination.port == 0) {
                instance->send_refused.fetch_add(1);
                continue;
            }
            targets[m] = to_sockaddr(destination.address, destination.port);
            vectors[m] = {record.data, record.length};
            messages[m] = {};
            messages[m].msg_hdr.msg_name = &targets[m];
            messages[m].msg_hdr.msg_namelen = sizeof(targets[m]);
            messages[m].msg_hdr.msg_iov = &vectors[m];
            messages[m].msg_hdr.msg_iovlen = 1;
            ++m;
        }
        uint32_t done = 0;
        while (done < m) {
            int sent = sendmmsg(s->fd, messages + done, m - done, 0);
            if (sent > 0) {
                (socket < 0 ? instance->announcements_sent : instance->sent).fetch_add(static_cast<uint64_t>(sent));
                done += static_cast<uint32_t>(sent);
                continue;
            }
            const int error = errno;
            if (error == EINTR) continue;
            if (!flowmesh_send_error_tolerated(error)) {
                core_log(CORE_LOG_WARN, kModule, "send failed (errno %d)", error);
                flowmesh_instance_report(instance, FLOWMESH_ENGINE_LINK_DOWN, nullptr, 0);
                return CORE_ERR;
            }
            instance->send_tolerated.fetch_add(1);
            ++done;  // that record is dropped; the rest of the batch goes on
        }
    }
    return CORE_OK;
}

int flowmesh_adapter_start(CoreStore *, CoreStoreItem *item, void *init, void **user)
{
    auto *slot = reinterpret_cast<FlowmeshInstanceItem *>(item);
    auto *instance = new (std::nothrow) FlowmeshAdapterInstance{};
    if (instance == nullptr) return -1;
    slot->instance = instance;
    instance->engine = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(*user));
    if (instance_start(instance, static_cast<const FlowmeshInstanceInit *>(init))) return 0;
    core_log(CORE_LOG_WARN, kModule, "adapter %s does not start", instance->adapter.description);
    return -1;
}

void flowmesh_adapter_stop(FlowmeshAdapterInstance *instance)
{
    if (instance == nullptr) return;
    if ((instance->state.fetch_and(~FLOWMESH_INSTANCE_STARTED) & FLOWMESH_INSTANCE_STARTED) &&
        (instance->adapter.address.address != 0 || instance->adapter.address.port != 0))
        flowmesh_instance_report(instance, FLOWMESH_ENGINE_ADAPTER_STOPPED, &instance->adapter,
                                 sizeof(instance->adapter));
    instance->state.fetch_and(~FLOWMESH_INSTANCE_RUNNING);
    core_event_signal(&instance->ring_event);
    stun_stop(instance);
    flowmesh_discovery_stop(instance);
    for (CoreThreadRecord *&thread : instance->receivers) join(instance, &thread);
    join(instance, &instance->dispatcher);
    core_timer_destroy(&instance->dispatch_timer);
    // The send consumers may be inside sendmmsg on the instance executor:
    // their channels go before the sockets, or a closed descriptor's number,
    // taken by another socket meanwhile, could carry our datagrams.
    core_pipe_destroy(&instance->unmatched);
    core_queue_destroy(&instance->discovery_channel);
    core_queue_destroy(&instance->send_channel);
    core_queue_destroy(&instance->dispatch_channel);
    close_data_sockets(instance);
    core_udp_close(&instance->discovery);
    core_udp_close(&instance->listen);
    core_pipe_destroy(&instance->small_pipe);
    core_pipe_destroy(&instance->large_pipe);
    if (instance->peers != nullptr) core_store_destroy(&instance->peers);
    if (instance->discovered != nullptr) core_store_destroy(&instance->discovered);
    if (instance->executor_made) {
        core_executor_destroy(&instance->executor);
        instance->executor_made = false;
    }
    for (int i = 0; i < 2; ++i) {
        if (instance->pools_registered[i]) core_pool_unregister(&instance->pool_names[i]);
        instance->pools_registered[i] = false;
    }
    core_pool_destroy(&instance->send_pool);
    core_pool_destroy(&instance->receive_pool);
    if (!instance->abandoned) {
        free(instance->ring_a);
        free(instance->ring_b);
        free(instance->ring_buffers);
        instance->ring_a = instance->ring_b = nullptr;
        instance->ring_buffers = nullptr;
    }
    for (auto *&keys : instance->sort_keys) {
        free(keys);
        keys = nullptr;
    }
    free(instance->sort_records);
    instance->sort_records = nullptr;
    if (instance->rsa_key_owned) EVP_PKEY_free(instance->rsa_key);
    instance->rsa_key = nullptr;
    instance->rsa_key_owned = false;
    instance->node.key = nullptr;
}

void flowmesh_adapter_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    auto *slot = reinterpret_cast<FlowmeshInstanceItem *>(item);
    FlowmeshAdapterInstance *instance = slot->instance;
    if (instance == nullptr) return;
    flowmesh_adapter_stop(instance);
    slot->instance = nullptr;
    // A thread that outlived its join may still touch the instance: leave
    // it (it is logged and counted by the join) rather than free it under
    // that thread.
    if (!instance->abandoned) delete instance;
}

FlowmeshInstanceCounters flowmesh_instance_counters(const FlowmeshAdapterInstance *instance)
{
    FlowmeshInstanceCounters c = {};
    if (instance == nullptr) return c;
    c.received = instance->received.load();
    c.dropped_oversized = instance->dropped_oversized.load();
    c.dropped_empty = instance->dropped_empty.load();
    c.dropped_ring_full = instance->dropped_ring_full.load();
    c.dropped_queue = instance->dropped_queue.load();
    c.dispatched = instance->dispatched.load();
    c.routed = instance->routed.load();
    c.unrouted = instance->unrouted.load();
    c.sent = instance->sent.load();
    c.send_tolerated = instance->send_tolerated.load();
    c.send_refused = instance->send_refused.load();
    c.receive_failures = instance->receive_failures.load();
    return c;
}

void flowmesh_instance_test_hold_dispatch(FlowmeshAdapterInstance *instance, bool hold)
{
    instance->hold_dispatch.store(hold);
    core_event_signal(&instance->ring_event);
}
