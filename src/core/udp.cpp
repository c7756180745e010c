#include "core/udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/log.h"

namespace {

// Receives one datagram of at most `capacity` bytes without blocking: the
// socket may have been reported readable for a datagram the kernel then
// discards (bad checksum), and a reader must not hang on it.
CoreResult receive_one(int fd, void *buffer, uint64_t capacity, CoreUdpAddr *from, uint64_t *received)
{
    sockaddr_in peer = {};
    iovec io = {buffer, static_cast<size_t>(capacity)};
    msghdr message = {};
    message.msg_name = &peer;
    message.msg_namelen = sizeof(peer);
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) return core_udp_map_errno(errno);
    if (message.msg_flags & MSG_TRUNC) {
        // Linux hands over the first `capacity` bytes and discards the rest
        // without an error; the datagram is gone either way, so drop it all.
        core_log(CORE_LOG_DEBUG, "udp", "dropped a datagram longer than %llu bytes",
                 static_cast<unsigned long long>(capacity));
        return CORE_NO_DATA;
    }
    if (from != nullptr) {
        bool ipv4 = message.msg_namelen >= sizeof(peer) && peer.sin_family == AF_INET;
        from->address = ipv4 ? peer.sin_addr.s_addr : 0;
        from->port = ipv4 ? peer.sin_port : 0;
    }
    *received = static_cast<uint64_t>(n);
    return CORE_OK;
}

}  // namespace

CoreResult core_udp_map_errno(int error)
{
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ENOBUFS:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ECONNREFUSED:
        return CORE_NO_DATA;
    default:
        return CORE_ERR;
    }
}

CoreResult core_udp_step(CoreUdpSocket *socket, CoreUdpPacket *send, CoreUdpPacket *recv, int64_t timeout_ns)
{
    if (socket == nullptr) return CORE_ERR_INVALID;
    uint64_t remaining = 0;
    if (send != nullptr) {
        if (send->offset > send->length) return CORE_ERR_INVALID;
        remaining = send->length - send->offset;
    }
    uint64_t capacity = 0;
    if (recv != nullptr) {
        capacity = recv->length;
        recv->length = 0;
    }

    short events = 0;
    if (remaining > 0) events |= POLLOUT;
    if (capacity > 0) events |= POLLIN;
    if (events == 0) return CORE_ERR_INVALID;
    // poll() skips negative descriptors and would simply time out.
    if (socket->fd < 0) return CORE_ERR;

    pollfd watch = {socket->fd, events, 0};
    timespec wait = {};
    if (timeout_ns >= 0) {
        wait.tv_sec = static_cast<time_t>(timeout_ns / 1000000000);
        wait.tv_nsec = static_cast<long>(timeout_ns % 1000000000);
    }
    int ready = ppoll(&watch, 1, timeout_ns < 0 ? nullptr : &wait, nullptr);
    if (ready < 0) return errno == EINTR ? CORE_NO_DATA : CORE_ERR;
    if (watch.revents & POLLNVAL) return CORE_ERR;

    // An error condition is offered to the call that reports it, so a pending
    // socket error reaches the mapping rather than spinning the caller.
    const short wake = POLLERR | POLLHUP;
    CoreResult result = CORE_NO_DATA;
    if ((events & POLLOUT) && (watch.revents & (POLLOUT | wake))) {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = send->address;
        to.sin_port = send->port;
        ssize_t sent = sendto(socket->fd, send->data + send->offset, static_cast<size_t>(remaining),
                              MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        if (sent < 0) return core_udp_map_errno(errno);
        send->offset += static_cast<uint64_t>(sent);
        send->time = core_clock_mono_ms();
        result = CORE_OK;
    }
    if ((events & POLLIN) && (watch.revents & (POLLIN | wake))) {
        CoreUdpAddr from = {};
        uint64_t received = 0;
        CoreResult r = receive_one(socket->fd, recv->data, capacity, &from, &received);
        if (r != CORE_OK) return r;
        recv->address = from.address;
        recv->port = from.port;
        recv->length = received;
        recv->time = core_clock_mono_ms();
        return CORE_OK;
    }
    return result;
}

CoreResult core_udp_recv(CoreUdpSocket *socket, CoreUdpAddr *from, void *buffer, uint64_t *length)
{
    if (socket == nullptr || length == nullptr || (buffer == nullptr && *length > 0)) return CORE_ERR_INVALID;
    uint64_t capacity = *length;
    *length = 0;
    if (socket->fd < 0) return CORE_ERR;

    pollfd watch = {socket->fd, POLLIN, 0};
    int ready = poll(&watch, 1, CORE_UDP_RECV_TIMEOUT_MS);
    if (ready < 0) return errno == EINTR ? CORE_NO_DATA : CORE_ERR;
    if (watch.revents & POLLNVAL) return CORE_ERR;
    if (ready == 0) return CORE_NO_DATA;

    uint64_t received = 0;
    CoreResult r = receive_one(socket->fd, buffer, capacity, from, &received);
    if (r != CORE_OK) return r;
    if (received == 0) return CORE_NO_DATA;
    *length = received;
    return CORE_OK;
}

CoreResult core_udp_mark_dscp(CoreUdpSocket *socket)
{
    if (socket == nullptr || socket->fd < 0) return CORE_ERR;
    int tos = CORE_UDP_TOS_DSCP47;
    if (setsockopt(socket->fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) != 0) {
        core_log(CORE_LOG_INFO, "udp", "IP_TOS 0x%02X refused (errno %d); sending unmarked", tos, errno);
        return CORE_ERR;
    }
    socket->tos = CORE_UDP_TOS_DSCP47;
    return CORE_OK;
}

void core_udp_close(CoreUdpSocket **socket)
{
    if (socket == nullptr || *socket == nullptr) return;
    if ((*socket)->fd >= 0) close((*socket)->fd);
    free(*socket);
    *socket = nullptr;
}
