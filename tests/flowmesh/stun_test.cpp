// The STUN probe: request bytes, the response walk (a table of malformed
// and well-formed responses, among them the RFC 5769 IPv4 response vector),
// how answers move the probe state, and the client's threads against a
// scripted server on 127.0.0.x.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/system.h"
#include "flowmesh/engine_support.h"
#include "flowmesh/stun.h"

namespace {

using Bytes = std::vector<uint8_t>;

// RFC 5769, 2.2: a Binding success response with a SOFTWARE text of 11
// bytes (padded), XOR-MAPPED-ADDRESS (0x0020), MESSAGE-INTEGRITY and
// FINGERPRINT.
const Bytes kRfc5769Ipv4 = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43,
    0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9,
    0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};

const CoreUdpAddr kServer = {htonl(0xC0000201), htons(3478)};   // 192.0.2.1:3478
const CoreUdpAddr kChanged = {htonl(0xC0000202), htons(3479)};  // 192.0.2.2:3479
const CoreUdpAddr kMapped = {htonl(0xC6336407), htons(40000)};  // 198.51.100.7:40000

void attribute(Bytes &m, uint16_t type, const Bytes &value, bool pad = true)
{
    m.push_back(static_cast<uint8_t>(type >> 8));
    m.push_back(static_cast<uint8_t>(type));
    m.push_back(static_cast<uint8_t>(value.size() >> 8));
    m.push_back(static_cast<uint8_t>(value.size()));
    m.insert(m.end(), value.begin(), value.end());
    while (pad && m.size() % 4 != 0) m.push_back(0);
}

Bytes address(const CoreUdpAddr &a, uint8_t family = 1)
{
    Bytes v = {0, family, 0, 0, 0, 0, 0, 0};
    memcpy(&v[2], &a.port, 2);
    memcpy(&v[4], &a.address, 4);
    return v;
}

// A response header with `id` and a length field that fits the attributes.
Bytes response(const uint8_t *id, const std::vector<Bytes> &attributes = {})
{
    Bytes m = {0x01, 0x01, 0, 0};
    m.insert(m.end(), id, id + FLOWMESH_STUN_ID_BYTES);
    for (const Bytes &a : attributes) m.insert(m.end(), a.begin(), a.end());
    const size_t body = m.size() - FLOWMESH_STUN_HEADER_BYTES;
    m[2] = static_cast<uint8_t>(body >> 8);
    m[3] = static_cast<uint8_t>(body);
    return m;
}

Bytes attr(uint16_t type, const Bytes &value, bool pad = true)
{
    Bytes m;
    attribute(m, type, value, pad);
    return m;
}

void counting_random(uint8_t *bytes, uint64_t length)
{
    static uint8_t next = 1;
    for (uint64_t i = 0; i < length; ++i) bytes[i] = next++;
}

const uint8_t *id_of(const FlowmeshStunState &s, int test) { return s.tests[test].request + 4; }

TEST(StunRequest, LayoutOfTheTwentyEightBytes)
{
    uint8_t id[16];
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(0x10 + i);
    uint8_t out[FLOWMESH_STUN_REQUEST_BYTES];
    flowmesh_stun_build_request(out, 0xA7, FLOWMESH_STUN_CHANGE_IP, id);
    const Bytes expected = {0x00, 0x01, 0x00, 0x08, 0xA7, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19,
                            0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04};
    EXPECT_EQ(Bytes(out, out + sizeof(out)), expected);
}

TEST(StunParse, TableOfResponses)
{
    const uint8_t id[16] = {0x87, 1, 2, 3};
    const Bytes good = response(id, {attr(0x0001, address(kMapped)), attr(0x0004, address(kServer)),
                                     attr(0x0005, address(kChanged)), attr(0x8022, {'a', 'b', 'c'})});
    Bytes length_nine = response(id, {attr(0x0003, {0, 0, 0, 0})});
    length_nine[3] = 9;
    Bytes oversized = response(id, {attr(0x0006, Bytes(2048 - 24, 'u'))});
    oversized.push_back(0);
    oversized[2] = static_cast<uint8_t>((oversized.size() - 20) >> 8);
    oversized[3] = static_cast<uint8_t>(oversized.size() - 20);
    Bytes long_attribute = response(id, {attr(0x0001, address(kMapped))});
    long_attribute[23] = 9;  // claims one byte more than the datagram holds

    struct Case {
        const char *purpose;
        Bytes data;
        CoreResult result;
        uint32_t seen;
    } cases[] = {
        {"header only", response(id), CORE_OK, 0},
        {"shorter than a header", Bytes(19, 0), CORE_ERR_INVALID, 0},
        {"length field 9 with 28 bytes on the wire", length_nine, CORE_ERR_INVALID, 0},
        {"longer than the buffer is refused, not cut", oversized, CORE_ERR_INVALID, 0},
        {"attribute runs past the end", long_attribute, CORE_ERR_INVALID, 0},
        {"attribute header cut", response(id, {Bytes{0x00, 0x01}}), CORE_ERR_INVALID, 0},
        {"address attribute of 4 bytes", response(id, {attr(0x0001, {0, 1, 0, 0})}), CORE_ERR_INVALID, 0},
        {"unused address attribute of 4 bytes", response(id, {attr(0x0002, {0, 1, 0, 0})}), CORE_ERR_INVALID, 0},
        {"IPv6 address is skipped", response(id, {attr(0x0001, Bytes(20, 0))}), CORE_OK, 0},
        {"IPv4 family 2 skipped", response(id, {attr(0x0005, address(kChanged, 2))}), CORE_OK, 0},
        {"unknown attribute skipped", response(id, {attr(0x7777, {1, 2, 3}), attr(0x0001, address(kMapped))}),
         CORE_OK, FLOWMESH_STUN_SEEN_MAPPED},
        {"last value without its padding", response(id, {attr(0x0001, address(kMapped)), attr(0x8022, {'x'}, false)}),
         CORE_OK, FLOWMESH_STUN_SEEN_MAPPED | FLOWMESH_STUN_SEEN_SERVER},
        {"all read", good, CORE_OK,
         FLOWMESH_STUN_SEEN_MAPPED | FLOWMESH_STUN_SEEN_SOURCE | FLOWMESH_STUN_SEEN_CHANGED |
             FLOWMESH_STUN_SEEN_SERVER},
        {"RFC 5769 IPv4 vector walks its padded attributes", kRfc5769Ipv4, CORE_OK, FLOWMESH_STUN_SEEN_SERVER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        FlowmeshStunResponse out;
        EXPECT_EQ(flowmesh_stun_parse(c.data.data(), c.data.size(), &out), c.result);
        if (c.result == CORE_OK) {
            EXPECT_EQ(out.seen, c.seen);
        }
    }

    FlowmeshStunResponse out;
    ASSERT_EQ(flowmesh_stun_parse(good.data(), good.size(), &out), CORE_OK);
    EXPECT_EQ(out.mapped.address, kMapped.address);
    EXPECT_EQ(out.mapped.port, kMapped.port);
    EXPECT_EQ(out.changed.address, kChanged.address);
    EXPECT_STREQ(out.server, "abc");
    ASSERT_EQ(flowmesh_stun_parse(kRfc5769Ipv4.data(), kRfc5769Ipv4.size(), &out), CORE_OK);
    EXPECT_STREQ(out.server, "test vector");
}

TEST(StunApply, RefusesWhatNoTestIssued)
{
    FlowmeshStunState state;
    flowmesh_stun_state_init(&state, &kServer, counting_random);
    // Its tag (0x21) and id are none of ours.
    EXPECT_EQ(flowmesh_stun_apply(&state, kRfc5769Ipv4.data(), kRfc5769Ipv4.size()), CORE_ERR_INVALID);
    // Our tag with another id.
    uint8_t forged[16];
    memcpy(forged, id_of(state, 1), 16);
    forged[15] ^= 1;
    const Bytes wrong_id = response(forged);
    EXPECT_EQ(flowmesh_stun_apply(&state, wrong_id.data(), wrong_id.size()), CORE_ERR_INVALID);
    EXPECT_EQ(state.refused, 2u);
    EXPECT_EQ(state.pending, 4);
    EXPECT_TRUE(state.tests[1].pending);
}

TEST(StunApply, EarlierIdsOfATestStillMatch)
{
    FlowmeshStunState state;
    flowmesh_stun_state_init(&state, &kServer, counting_random);
    uint8_t first[16];
    memcpy(first, id_of(state, 2), 16);
    for (int pass = 0; pass < 3; ++pass) {
        uint8_t id[16];
        counting_random(id, 16);
        flowmesh_stun_redraw(&state, 2, id);
    }
    EXPECT_EQ(state.tests[2].request[4], 0xA7);
    const Bytes late = response(first);
    EXPECT_EQ(flowmesh_stun_apply(&state, late.data(), late.size()), CORE_OK);
    EXPECT_FALSE(state.tests[2].pending);
    EXPECT_EQ(state.pending, 3);
}

TEST(StunApply, TestOneArmsFourAndFiveOnceAndCountsNeverGoNegative)
{
    FlowmeshStunState state;
    flowmesh_stun_state_init(&state, &kServer, counting_random);
    const Bytes one = response(id_of(state, 0), {attr(0x0001, address(kMapped)), attr(0x0004, address(kServer)),
                                                 attr(0x0005, address(kChanged)), attr(0x8020, address(kMapped))});
    ASSERT_EQ(flowmesh_stun_apply(&state, one.data(), one.size()), CORE_OK);
    EXPECT_EQ(state.mapped.address, kMapped.address);
    EXPECT_EQ(state.changed.port, kChanged.port);
    EXPECT_EQ(state.tests[3].destination.address, kChanged.address);
    EXPECT_EQ(state.tests[4].destination.address, kMapped.address);
    EXPECT_TRUE(state.tests[3].pending && state.tests[4].pending);

    // Answers to tests 2 to 5, each twice, and test 1 again between them.
    for (int t = 1; t < FLOWMESH_STUN_TESTS; ++t) {
        const Bytes answer = response(id_of(state, t));
        EXPECT_EQ(flowmesh_stun_apply(&state, answer.data(), answer.size()), CORE_OK);
        EXPECT_EQ(flowmesh_stun_apply(&state, answer.data(), answer.size()), CORE_OK);
        EXPECT_EQ(flowmesh_stun_apply(&state, one.data(), one.size()), CORE_OK);
    }
    EXPECT_EQ(state.pending, 0);
    for (const FlowmeshStunTest &test : state.tests) EXPECT_FALSE(test.pending);
}

TEST(StunApply, TestOneFromAnotherSourceOnlyClearsTestOne)
{
    FlowmeshStunState state;
    flowmesh_stun_state_init(&state, &kServer, counting_random);
    const Bytes one = response(id_of(state, 0), {attr(0x0001, address(kMapped)), attr(0x0004, address(kChanged)),
                                                 attr(0x0005, address(kChanged))});
    ASSERT_EQ(flowmesh_stun_apply(&state, one.data(), one.size()), CORE_OK);
    EXPECT_FALSE(state.tests[0].pending);
    EXPECT_EQ(state.mapped.address, 0u);
    EXPECT_EQ(state.changed.address, 0u);
    EXPECT_FALSE(state.tests[3].pending || state.tests[4].pending);
    EXPECT_EQ(state.pending, 4);
}

// The client against a plain socket that plays the server: it answers
// test 2 twice and sends a datagram longer than the receive buffer.
TEST(StunClient, PassesRetryUntilAnsweredAndOversizedAnswersAreRefused)
{
    ASSERT_EQ(core_system_start(0), CORE_OK);
    CoreUdpAddr server;
    const int fd = udp_socket(htonl(0x7F000005), &server, 1 << 20);
    ASSERT_GE(fd, 0);
    const FlowmeshStunAddresses addresses = {server, {htonl(0x7F000006), 0}};
    FlowmeshStunClient *client = flowmesh_stun_create(&addresses);
    ASSERT_NE(client, nullptr);

    // Requests for about a second: tests 1 to 3 only, each drawn anew.
    std::set<Bytes> ids;
    std::vector<uint8_t> counts(256, 0);
    Bytes test2;
    CoreUdpAddr test2_from = {};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1100);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        uint8_t buffer[64];
        sockaddr_in from = {};
        socklen_t from_length = sizeof(from);
        const ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &from_length);
        ASSERT_EQ(n, FLOWMESH_STUN_REQUEST_BYTES);
        EXPECT_EQ(buffer[0] << 8 | buffer[1], 1);
        ids.insert(Bytes(buffer + 4, buffer + 20));
        ++counts[buffer[4]];
        if (buffer[4] == 0x97) {
            EXPECT_EQ(buffer[27], FLOWMESH_STUN_CHANGE_PORT);
            test2 = response(buffer + 4);
            test2_from = {from.sin_addr.s_addr, from.sin_port};
        }
    }
    EXPECT_GE(counts[0x87], 3) << "a pass every 250 ms";
    EXPECT_LE(counts[0x87], 6);
    // The window may close inside a pass.
    EXPECT_NEAR(counts[0x97], counts[0x87], 1);
    EXPECT_NEAR(counts[0xA7], counts[0x87], 1);
    EXPECT_EQ(counts[0xB7] + counts[0xC7], 0) << "tests 4 and 5 wait for test 1";
    EXPECT_EQ(ids.size(), static_cast<size_t>(counts[0x87] + counts[0x97] + counts[0xA7]))
        << "every send has its own id";
    EXPECT_EQ(test2_from.address, addresses.local.address);

    ASSERT_FALSE(test2.empty());
    ASSERT_TRUE(send_raw(fd, test2_from, test2.data(), test2.size()));
    ASSERT_TRUE(send_raw(fd, test2_from, test2.data(), test2.size()));
    const Bytes oversized(FLOWMESH_STUN_BUFFER_BYTES + 1, 0);
    ASSERT_TRUE(send_raw(fd, test2_from, oversized.data(), oversized.size()));
    EXPECT_TRUE(engine_wait([&] {
        const FlowmeshStunState s = flowmesh_stun_results(client);
        return s.answered == 2 && s.refused == 1;
    }));
    const FlowmeshStunState results = flowmesh_stun_results(client);
    EXPECT_EQ(results.pending, 3);
    EXPECT_FALSE(results.tests[1].pending);
    EXPECT_TRUE(results.tests[0].pending && results.tests[2].pending);

    flowmesh_stun_destroy(&client);
    EXPECT_EQ(client, nullptr);
    close(fd);
    core_system_stop();
}

}  // namespace
