#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/clock.h"
#include "core/udp.h"

namespace {

// A non-blocking socket bound to 127.0.0.1 on a free port, in a record the
// way its owners allocate it.
CoreUdpSocket *open_loopback(uint16_t *port_out)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return nullptr;
    }
    auto *s = static_cast<CoreUdpSocket *>(calloc(1, sizeof(CoreUdpSocket)));
    s->fd = fd;
    *port_out = a.sin_port;
    return s;
}

struct PacketBuffer {
    explicit PacketBuffer(size_t capacity)
        : packet(static_cast<CoreUdpPacket *>(calloc(1, sizeof(CoreUdpPacket) + capacity))), capacity(capacity)
    {
    }
    ~PacketBuffer() { free(packet); }
    CoreUdpPacket *operator->() { return packet; }
    CoreUdpPacket *packet;
    size_t capacity;
};

class Udp : public ::testing::Test {
protected:
    void SetUp() override
    {
        a_ = open_loopback(&port_a_);
        b_ = open_loopback(&port_b_);
        ASSERT_NE(a_, nullptr);
        ASSERT_NE(b_, nullptr);
    }
    void TearDown() override
    {
        core_udp_close(&a_);
        core_udp_close(&b_);
    }

    // Sends `n` bytes of `fill` from a to b with the step function.
    void send_to_b(size_t n, uint8_t fill)
    {
        PacketBuffer out(n);
        out->address = htonl(INADDR_LOOPBACK);
        out->port = port_b_;
        out->length = n;
        memset(out->data, fill, n);
        ASSERT_EQ(core_udp_step(a_, out.packet, nullptr, 1000000000), CORE_OK);
        ASSERT_EQ(out->offset, n);
    }

    CoreUdpSocket *a_ = nullptr;
    CoreUdpSocket *b_ = nullptr;
    uint16_t port_a_ = 0;
    uint16_t port_b_ = 0;
};

TEST(UdpErrno, TransientErrorsAreNoDataOthersAreFailures)
{
    const struct {
        int error;
        CoreResult result;
    } cases[] = {
        {EAGAIN, CORE_NO_DATA},      {EWOULDBLOCK, CORE_NO_DATA}, {EINTR, CORE_NO_DATA},
        {ENOBUFS, CORE_NO_DATA},     {EHOSTDOWN, CORE_NO_DATA},   {EHOSTUNREACH, CORE_NO_DATA},
        {ECONNREFUSED, CORE_NO_DATA}, {EBADF, CORE_ERR},           {ENOTSOCK, CORE_ERR},
        {EMSGSIZE, CORE_ERR},        {EINVAL, CORE_ERR},          {EACCES, CORE_ERR},
        {0, CORE_ERR},
    };
    for (const auto &c : cases) EXPECT_EQ(core_udp_map_errno(c.error), c.result) << strerror(c.error);
}

TEST_F(Udp, NothingToDoIsInvalid)
{
    PacketBuffer send(16), recv(16);
    send->length = 16;
    send->offset = 16;
    EXPECT_EQ(core_udp_step(a_, nullptr, nullptr, 0), CORE_ERR_INVALID) << "both packets NULL";
    EXPECT_EQ(core_udp_step(a_, send.packet, nullptr, 0), CORE_ERR_INVALID) << "everything already sent";
    send->offset = 17;
    EXPECT_EQ(core_udp_step(a_, send.packet, nullptr, 0), CORE_ERR_INVALID) << "offset past the length";
    recv->length = 0;
    EXPECT_EQ(core_udp_step(a_, nullptr, recv.packet, 0), CORE_ERR_INVALID) << "receive buffer of no capacity";
    EXPECT_EQ(core_udp_step(nullptr, nullptr, recv.packet, 0), CORE_ERR_INVALID) << "no socket";
}

TEST_F(Udp, StepSendsTheRestAndReceivesWithTheSender)
{
    PacketBuffer out(100);
    out->address = htonl(INADDR_LOOPBACK);
    out->port = port_b_;
    out->length = 100;
    out->offset = 40;  // the first 40 bytes count as sent already
    for (int i = 0; i < 100; ++i) out->data[i] = static_cast<uint8_t>(i);
    uint64_t before = core_clock_mono_ms();
    ASSERT_EQ(core_udp_step(a_, out.packet, nullptr, -1), CORE_OK);
    EXPECT_EQ(out->offset, 100u);
    EXPECT_GE(out->time, before);

    PacketBuffer in(200);
    in->length = 200;
    ASSERT_EQ(core_udp_step(b_, nullptr, in.packet, 1000000000), CORE_OK);
    ASSERT_EQ(in->length, 60u);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(in->data[i], 40 + i);
    EXPECT_EQ(in->address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(in->port, port_a_);
    EXPECT_GE(in->time, before);
}

TEST_F(Udp, StepTimesOutWithNoDataAndZeroLength)
{
    PacketBuffer in(64);
    in->length = 64;
    uint64_t start = core_clock_mono_ns();
    EXPECT_EQ(core_udp_step(b_, nullptr, in.packet, 1500000), CORE_NO_DATA);
    uint64_t elapsed = core_clock_mono_ns() - start;
    EXPECT_EQ(in->length, 0u);
    EXPECT_GE(elapsed, 1500000u);
    EXPECT_LT(elapsed, 1000000000u);
}

// A finished send packet beside a receive packet: only reading is watched,
// and the send packet is left as it was.
TEST_F(Udp, FinishedSendPacketOnlyWatchesReading)
{
    PacketBuffer done(8), in(64);
    done->address = htonl(INADDR_LOOPBACK);
    done->port = port_a_;
    done->length = 8;
    done->offset = 8;
    in->length = 64;
    EXPECT_EQ(core_udp_step(b_, done.packet, in.packet, 1000000), CORE_NO_DATA);

    send_to_b(5, 0x11);
    in->length = 64;
    EXPECT_EQ(core_udp_step(b_, done.packet, in.packet, 1000000000), CORE_OK);
    EXPECT_EQ(in->length, 5u);
    EXPECT_EQ(done->offset, 8u);
    EXPECT_EQ(done->time, 0u);
}

TEST_F(Udp, NegativeTimeoutWaitsForTheDatagram)
{
    std::thread late([this] {
        core_sleep_ms(100);
        send_to_b(3, 0x22);
    });
    PacketBuffer in(64);
    in->length = 64;
    uint64_t start = core_clock_mono_ns();
    EXPECT_EQ(core_udp_step(b_, nullptr, in.packet, -1), CORE_OK);
    EXPECT_GE(core_clock_mono_ns() - start, 90000000u);
    EXPECT_EQ(in->length, 3u);
    late.join();
}

// An oversized datagram is dropped whole (never handed over cut) and the
// next one arrives intact, through both receive functions.
TEST_F(Udp, OversizedDatagramIsDroppedNotCut)
{
    send_to_b(100, 0xAA);
    send_to_b(10, 0xBB);
    PacketBuffer in(50);
    in->length = 50;
    EXPECT_EQ(core_udp_step(b_, nullptr, in.packet, 1000000000), CORE_NO_DATA);
    EXPECT_EQ(in->length, 0u);
    in->length = 50;
    ASSERT_EQ(core_udp_step(b_, nullptr, in.packet, 1000000000), CORE_OK);
    EXPECT_EQ(in->length, 10u);
    EXPECT_EQ(in->data[0], 0xBB);

    send_to_b(51, 0xCC);
    send_to_b(50, 0xDD);
    uint8_t buffer[50];
    uint64_t length = sizeof(buffer);
    EXPECT_EQ(core_udp_recv(b_, nullptr, buffer, &length), CORE_NO_DATA);
    EXPECT_EQ(length, 0u);
    length = sizeof(buffer);
    CoreUdpAddr from = {};
    ASSERT_EQ(core_udp_recv(b_, &from, buffer, &length), CORE_OK);
    EXPECT_EQ(length, 50u);
    EXPECT_EQ(buffer[49], 0xDD);
    EXPECT_EQ(from.address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(from.port, port_a_);
}

TEST_F(Udp, RecvWaitsAtLeast250MsAndTreatsEmptyAsNoData)
{
    uint8_t buffer[32];
    uint64_t length = sizeof(buffer);
    uint64_t start = core_clock_mono_ns();
    EXPECT_EQ(core_udp_recv(b_, nullptr, buffer, &length), CORE_NO_DATA);
    uint64_t elapsed = core_clock_mono_ns() - start;
    EXPECT_GE(elapsed, 250000000u);
    EXPECT_LT(elapsed, 5000000000u);
    EXPECT_EQ(length, 0u);

    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = port_b_;
    ASSERT_EQ(sendto(a_->fd, "", 0, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);
    length = sizeof(buffer);
    EXPECT_EQ(core_udp_recv(b_, nullptr, buffer, &length), CORE_NO_DATA);
    EXPECT_EQ(length, 0u);
}

TEST_F(Udp, MarkedSocketSendsTos0xBC)
{
    ASSERT_EQ(core_udp_mark_dscp(a_), CORE_OK);
    EXPECT_EQ(a_->tos, CORE_UDP_TOS_DSCP47);
    int on = 1;
    ASSERT_EQ(setsockopt(b_->fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof(on)), 0);
    send_to_b(20, 0x33);

    uint8_t data[64];
    alignas(cmsghdr) char control[256];
    iovec io = {data, sizeof(data)};
    msghdr m = {};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    ASSERT_EQ(recvmsg(b_->fd, &m, 0), 20);
    int tos = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) tos = *reinterpret_cast<uint8_t *>(CMSG_DATA(c));
    EXPECT_EQ(tos, 0xBC);
}

TEST_F(Udp, CloseFreesAndClearsAndAClosedSocketFails)
{
    int fd = a_->fd;
    core_udp_close(&a_);
    EXPECT_EQ(a_, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    core_udp_close(&a_);  // nothing left to close

    // A record whose socket is gone fails rather than waiting out the time-out.
    CoreUdpSocket closed = {-1, 0};
    PacketBuffer in(16);
    in->length = 16;
    EXPECT_EQ(core_udp_step(&closed, nullptr, in.packet, -1), CORE_ERR);
    uint8_t buffer[16];
    uint64_t length = sizeof(buffer);
    EXPECT_EQ(core_udp_recv(&closed, nullptr, buffer, &length), CORE_ERR);
    EXPECT_EQ(core_udp_mark_dscp(&closed), CORE_ERR);
}

}  // namespace
