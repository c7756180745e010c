// The reliable stream's handshake, receive rules and close reasons.
//
// Two fixtures: a stream facing a scripted peer (the test seals what the
// peer sends and opens what the stream sends), for the exact datagram
// rules; and two streams over the loopback harness, for opening, transfer,
// refusal and the close-reason table, whose 30 s and 60 s deadlines the
// test clock crosses.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "core/clock.h"
#include "flowmesh/datagram.h"
#include "reliable_support.h"

namespace {

using namespace reliable_test;

constexpr uint16_t kStreamId = 9;
constexpr uint16_t kPeerId = 5;
constexpr uint64_t kPeerIsn = 7000;

struct Sent {
    FlowmeshPacketHeader header;
    std::vector<uint8_t> payload;
    uint32_t value32() const { return flowmesh_get_be32(header.specific); }
    uint64_t value64() const { return flowmesh_get_be64(header.specific + 4); }
};

// One real stream; the test plays its peer.
class ReliableScripted : public ReliableRuntime {
protected:
    void SetUp() override
    {
        ReliableRuntime::SetUp();
        FlowmeshTransportParams p = stream_params(kStreamId, kPeerId, false);
        payload_key_ = core_aes_create(p.payload_key.key, 32);
    }
    void TearDown() override
    {
        end_stream(&handle_);
        core_aes_destroy(&payload_key_);
        ReliableRuntime::TearDown();
    }

    void open_stream(bool initiator, void (*edit)(FlowmeshTransportParams *) = nullptr)
    {
        FlowmeshTransportParams p = stream_params(kStreamId, kPeerId, initiator);
        side_.attach(&p);
        ReliableScripted *self = this;
        p.send_fn = capture;
        memcpy(p.send_context, &self, sizeof(self));
        if (edit != nullptr) edit(&p);
        handle_ = flowmesh_transport_create(&p);
        ASSERT_NE(handle_, 0u);
        side_.handle = handle_;
        isn_ = p.initial_sequence;
        if (initiator) {
            ASSERT_EQ(flowmesh_transport_connect(handle_, 3), CORE_OK);
        } else {
            ASSERT_EQ(flowmesh_transport_accept(handle_, 3), CORE_OK);
        }
    }

    // Takes the stream from accept to established: SYN in, SYN-ACK out,
    // its acknowledgement in.
    void establish()
    {
        open_stream(false);
        feed({control(kPeerIsn, FLOWMESH_RELIABLE_SYN, 1, 0)});
        ASSERT_TRUE(wait_for([&] { return count_sent(FLOWMESH_RELIABLE_SYN_ACK) == 1; }));
        feed({control(0, FLOWMESH_RELIABLE_ACK | FLOWMESH_RELIABLE_WINDOW, 65536, isn_)});
        ASSERT_TRUE(wait_for([&] { return side_.has_event(FLOWMESH_TRANSPORT_OPEN); }));
    }

    static int capture(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
    {
        ReliableScripted *self;
        memcpy(&self, context, sizeof(self));
        const FlowmeshOpenRules rules = {kPeerId, kStreamId, 0, 0};
        for (uint64_t i = 0; i < count; ++i) {
            Sent sent;
            uint8_t payload[FLOWMESH_PAYLOAD_MAX];
            uint64_t n = 0;
            EXPECT_EQ(flowmesh_datagram_open(self->header_key_, self->payload_key_, &rules,
                                             static_cast<const uint8_t *>(records[i].data), records[i].length,
                                             &sent.header, payload, &n),
                      CORE_OK);
            sent.payload.assign(payload, payload + n);
            {
                std::lock_guard<std::mutex> guard(self->sent_lock_);
                self->sent_.push_back(sent);
            }
            if (self->on_sent_) self->on_sent_(sent);
        }
        return 0;
    }

    static FlowmeshPacketHeader control(uint64_t sequence, uint16_t flags, uint32_t value32, uint64_t value64)
    {
        FlowmeshPacketHeader h = {};
        h.sequence = sequence;
        h.flags = flags;
        flowmesh_put_be32(h.specific, value32);
        flowmesh_put_be64(h.specific + 4, value64);
        return h;
    }

    struct Out {
        FlowmeshPacketHeader header;
        std::vector<uint8_t> payload;
        uint16_t destination = kStreamId;
    };
    // Seals each datagram as the peer and hands the batch to the stream.
    CoreResult feed(std::vector<Out> datagrams, std::vector<std::vector<uint8_t>> raw = {})
    {
        std::vector<std::vector<uint8_t>> buffers;
        for (Out &d : datagrams) {
            std::vector<uint8_t> buffer(FLOWMESH_RECORD_BUFFER);
            d.header.destination = d.destination;
            uint64_t n = 0;
            EXPECT_EQ(flowmesh_datagram_seal(header_key_, payload_key_, &d.header, kPeerId, d.payload.data(),
                                             d.payload.size(), buffer.data() + FLOWMESH_RECORD_HEAD, &n),
                      CORE_OK);
            buffer.resize(FLOWMESH_RECORD_HEAD + n);
            buffers.push_back(std::move(buffer));
        }
        for (auto &r : raw) buffers.insert(buffers.begin(), r);
        std::vector<CoreQueueEntry> records;
        for (auto &b : buffers) records.push_back({{}, kStreamId, kPeerId, b.size(), b.data()});
        return flowmesh_transport_receive(handle_, 3, records.data(), records.size());
    }
    CoreResult feed(std::initializer_list<FlowmeshPacketHeader> headers)
    {
        std::vector<Out> out;
        for (const auto &h : headers) out.push_back({h, {}});
        return feed(out);
    }
    static Out data(uint64_t sequence, const std::string &text, uint16_t flags = 0, uint32_t value32 = 0)
    {
        return {control(sequence, flags, value32, 0), std::vector<uint8_t>(text.begin(), text.end())};
    }

    std::vector<Sent> sent(uint16_t flag)
    {
        std::lock_guard<std::mutex> guard(sent_lock_);
        std::vector<Sent> out;
        for (const Sent &s : sent_)
            if (s.header.flags & flag) out.push_back(s);
        return out;
    }
    size_t count_sent(uint16_t flag) { return sent(flag).size(); }

    Side side_;
    uint64_t handle_ = 0;
    uint64_t isn_ = 0;
    CoreAesKey *payload_key_ = nullptr;
    std::mutex sent_lock_;
    std::vector<Sent> sent_;
    // Runs on the stream's sender task for each datagram it sends, in the
    // middle of its pass.
    std::function<void(const Sent &)> on_sent_;
};

TEST_F(ReliableScripted, BadDatagramsAreDroppedAndTheBatchGoesOn)
{
    open_stream(false);
    std::vector<uint8_t> garbage(FLOWMESH_RECORD_HEAD + 48, 0x5A);
    Out wrong_destination = {control(kPeerIsn, FLOWMESH_RELIABLE_SYN, 1, 0), {}, 77};
    const CoreResult result = feed(
        {
            wrong_destination,
            {control(kPeerIsn, FLOWMESH_RELIABLE_SYN | FLOWMESH_RELIABLE_FIN, 1, 0), {}},  // two exclusive flags
            {control(0, FLOWMESH_RELIABLE_SYN, 1, 0), {}},                                  // number 0
            {control(0xFFFFFFFFFFFF0000ull, FLOWMESH_RELIABLE_SYN, 1, 0), {}},             // at the limit
            {control(kPeerIsn, FLOWMESH_RELIABLE_SYN_ACK, 1, 0), {}},                      // the initiator's datagram
            {control(kPeerIsn, FLOWMESH_RELIABLE_SYN, 1, 0), {}},                          // the one good SYN
        },
        {garbage});
    EXPECT_EQ(result, CORE_OK) << "refused datagrams do not fail the batch";
    EXPECT_EQ(side_.counters().dropped, 6u);
    EXPECT_EQ(side_.counters().state, FLOWMESH_RELIABLE_HANDSHAKE) << "the good SYN after them was taken";

    ASSERT_TRUE(wait_for([&] { return count_sent(FLOWMESH_RELIABLE_SYN_ACK) == 1 && count_sent(FLOWMESH_RELIABLE_ACK) >= 1; }));
    const Sent syn_ack = sent(FLOWMESH_RELIABLE_SYN_ACK)[0];
    EXPECT_EQ(syn_ack.header.sequence, isn_);
    EXPECT_EQ(syn_ack.value32(), 1u);
    EXPECT_EQ(sent(FLOWMESH_RELIABLE_ACK)[0].value64(), kPeerIsn);

    // An acknowledgement above anything sent would release the SYN-ACK
    // unanswered: it is ignored.
    feed({control(0, FLOWMESH_RELIABLE_ACK, 65536, isn_ + 5)});
    EXPECT_FALSE(wait_for([&] { return side_.has_event(FLOWMESH_TRANSPORT_OPEN); }, 300));
    feed({control(0, FLOWMESH_RELIABLE_ACK, 65536, isn_)});
    ASSERT_TRUE(wait_for([&] { return side_.counters().state == FLOWMESH_RELIABLE_ESTABLISHED; }));
    EXPECT_EQ(side_.event_list(), std::vector<uint32_t>{FLOWMESH_TRANSPORT_OPEN});
}

TEST_F(ReliableScripted, InitiatorTakesTheAckThatOvertakesTheSynAck)
{
    open_stream(true);
    ASSERT_TRUE(wait_for([&] { return count_sent(FLOWMESH_RELIABLE_SYN) == 1; }));
    EXPECT_EQ(sent(FLOWMESH_RELIABLE_SYN)[0].header.sequence, isn_);
    // The peer's acknowledgement of the SYN is sent first and arrives while
    // the initiator is still in state 2.
    feed({control(0, FLOWMESH_RELIABLE_ACK | FLOWMESH_RELIABLE_WINDOW, 65536, isn_)});
    feed({control(kPeerIsn, FLOWMESH_RELIABLE_SYN_ACK, 1, 0)});
    ASSERT_TRUE(wait_for([&] { return side_.has_event(FLOWMESH_TRANSPORT_OPEN); }));
    ASSERT_TRUE(wait_for([&] {
        for (const Sent &s : sent(FLOWMESH_RELIABLE_ACK))
            if (s.value64() == kPeerIsn) return true;
        return false;
    }));
    EXPECT_EQ(side_.counters().handshake_retransmissions, 0u);
}

TEST_F(ReliableScripted, DataArrivingInStateThreeIsKept)
{
    open_stream(false);
    // The peer is established once our SYN-ACK arrives and may send at
    // once; its acknowledgement can come later than its data.
    feed({data(kPeerIsn + 1, "early")});  // before any SYN: state 2 ignores it
    feed({control(kPeerIsn, FLOWMESH_RELIABLE_SYN, 1, 0)});
    feed({data(kPeerIsn + 1, "early")});
    EXPECT_EQ(side_.counters().state, FLOWMESH_RELIABLE_HANDSHAKE);
    ASSERT_TRUE(wait_for([&] { return side_.bytes() == 5; }));
    ASSERT_TRUE(wait_for([&] { return count_sent(FLOWMESH_RELIABLE_SYN_ACK) == 1; }));
    feed({control(0, FLOWMESH_RELIABLE_ACK, 65536, isn_)});
    ASSERT_TRUE(wait_for([&] { return side_.has_event(FLOWMESH_TRANSPORT_OPEN); }));
    std::lock_guard<std::mutex> guard(side_.lock);
    EXPECT_EQ(std::string(side_.received.begin(), side_.received.end()), "early");
}

TEST_F(ReliableScripted, FinCountsOnlyOnceTheBytesBeforeItAreTaken)
{
    establish();
    side_.refusals = 1;
    const std::vector<Out> batch = {data(kPeerIsn + 1, "last words"), data(kPeerIsn + 2, "", FLOWMESH_RELIABLE_FIN, 0)};
    feed(batch);
    EXPECT_EQ(side_.refused.load(), 1u);
    EXPECT_EQ(side_.counters().state, FLOWMESH_RELIABLE_ESTABLISHED) << "the FIN waits for the refused bytes";
    feed(batch);  // the peer's retransmissions
    EXPECT_EQ(side_.bytes(), 10u);
    const FlowmeshReliableCounters c = side_.counters();
    EXPECT_GE(c.state, static_cast<uint32_t>(FLOWMESH_RELIABLE_CLOSING));
    EXPECT_EQ(c.close_reason, FLOWMESH_CLOSE_PEER_FIN);
    EXPECT_EQ(c.peer_close_reason, FLOWMESH_CLOSE_APPLICATION);
    std::lock_guard<std::mutex> guard(side_.lock);
    EXPECT_EQ(std::string(side_.received.begin(), side_.received.end()), "last words");
}

TEST_F(ReliableScripted, MissingNumbersAreAskedForOnceEach)
{
    struct Row {
        const char *what;
        uint64_t missing;
        size_t resend_one;
        size_t go_back;
    };
    const Row rows[] = {
        {"one missing", 1, 1, 0},
        {"seven missing: one request each", 7, 7, 0},
        {"eight missing: a single go back", 8, 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        establish();
        // The packet after the gap, then more behind it in later passes:
        // each pass sees the same gap.
        const uint64_t first = kPeerIsn + 1 + row.missing;
        for (uint64_t i = 0; i < 4; ++i) feed({data(first + i, "x")});
        ASSERT_TRUE(wait_for([&] {
            return count_sent(FLOWMESH_RELIABLE_RESEND) == row.resend_one &&
                   count_sent(FLOWMESH_RELIABLE_GO_BACK) == row.go_back;
        }));
        EXPECT_FALSE(wait_for([&] { return count_sent(FLOWMESH_RELIABLE_RESEND) > row.resend_one; }, 100));
        std::vector<uint64_t> asked;
        for (const Sent &s : sent(FLOWMESH_RELIABLE_RESEND)) asked.push_back(s.value64());
        std::vector<uint64_t> expected;
        for (uint64_t n = 0; n < row.resend_one; ++n) expected.push_back(kPeerIsn + 1 + n);
        EXPECT_EQ(asked, expected);
        for (const Sent &s : sent(FLOWMESH_RELIABLE_GO_BACK)) EXPECT_EQ(s.value64(), kPeerIsn + 1);
        EXPECT_LE(side_.counters().resend_pending_max, FLOWMESH_RELIABLE_RESEND_PENDING_MAX);

        // The gap filled: everything is delivered once, in order.
        std::vector<Out> fill;
        for (uint64_t n = 0; n < row.missing; ++n) fill.push_back(data(kPeerIsn + 1 + n, "x"));
        feed(fill);
        EXPECT_EQ(side_.bytes(), row.missing + 4);
        end_stream(&handle_);
        side_.reset();
        std::lock_guard<std::mutex> guard(sent_lock_);
        sent_.clear();
    }
}

// A packet retransmitted on its time-out goes again on its next deadline
// even when newer packets joined the flight in the pass that resent it:
// the scan that ran past the end of the flight starts over from the
// oldest packet, so the one the peer waits for is not left behind the
// newer ones' deadlines.
TEST_F(ReliableScripted, RetransmittedPacketIsNotSkippedForNewerOnes)
{
    auto copies = [this](uint64_t sequence) {
        std::lock_guard<std::mutex> guard(sent_lock_);
        size_t n = 0;
        for (const Sent &s : sent_)
            if (s.header.sequence == sequence && !s.payload.empty()) ++n;
        return n;
    };
    auto send = [this](const std::string &text) {
        uint64_t length = text.size();
        return flowmesh_transport_send(handle_, 3, 0, text.data(), &length);
    };
    // The application's next bytes come while the pass resends the first
    // packet, so the same pass sends them. Set before the stream runs: the
    // sender task reads it.
    on_sent_ = [this, copies, send](const Sent &s) {
        if (s.header.sequence == isn_ + 1 && copies(isn_ + 1) == 2) send("second");
    };
    establish();
    const uint64_t first = isn_ + 1, second = isn_ + 2, third = isn_ + 3;
    // The peer stays silent throughout; time-outs are the 1000 ms minimum.
    ASSERT_EQ(send("first"), CORE_OK);
    ASSERT_TRUE(wait_for([&] { return copies(first) == 1; }));
    core_clock_test_advance_ms(1100);
    ASSERT_TRUE(wait_for([&] { return copies(first) == 2 && copies(second) == 1; }));
    core_clock_test_advance_ms(800);
    ASSERT_EQ(send("third"), CORE_OK);
    ASSERT_TRUE(wait_for([&] { return copies(third) == 1; }));
    // Past the deadlines of the first two, 700 ms short of the third's.
    core_clock_test_advance_ms(300);
    EXPECT_TRUE(wait_for([&] { return copies(first) == 3; }, 300));
    EXPECT_TRUE(wait_for([&] { return copies(second) == 2; }, 300));
    EXPECT_EQ(copies(third), 1u);
}

// ---- two streams over the loopback harness ----

class ReliablePair : public ReliableRuntime {
public:
    void SetUp() override
    {
        ReliableRuntime::SetUp();
        ep_a_ = flowmesh_harness_endpoint_create(header_key_, Side::sink, &a_);
        ep_b_ = flowmesh_harness_endpoint_create(header_key_, Side::sink, &b_);
        ASSERT_NE(ep_a_, nullptr);
        ASSERT_NE(ep_b_, nullptr);
    }
    void TearDown() override
    {
        end_stream(&handle_a_);
        end_stream(&handle_b_);
        flowmesh_harness_endpoint_destroy(&ep_a_);
        flowmesh_harness_endpoint_destroy(&ep_b_);
        ReliableRuntime::TearDown();
    }
    FlowmeshTransportParams params(Side *side, FlowmeshHarnessEndpoint *self, FlowmeshHarnessEndpoint *peer,
                                   uint16_t local, uint16_t remote, bool initiator)
    {
        FlowmeshTransportParams p = stream_params(local, remote, initiator);
        side->attach(&p);
        p.send_fn = flowmesh_harness_send;
        memcpy(p.send_context, &self, sizeof(self));
        const CoreUdpAddr to = flowmesh_harness_endpoint_address(peer);
        p.peer_address = to.address;
        p.peer_port = to.port;
        return p;
    }
    // Creates both streams; B accepts unless `b_connects`, A connects.
    void create(void (*edit_a)(FlowmeshTransportParams *) = nullptr, bool b_accepts = true, bool b_connects = false)
    {
        FlowmeshTransportParams pa = params(&a_, ep_a_, ep_b_, 5, 9, true);
        FlowmeshTransportParams pb = params(&b_, ep_b_, ep_a_, 9, 5, b_connects);
        if (edit_a != nullptr) edit_a(&pa);
        handle_a_ = flowmesh_transport_create(&pa);
        handle_b_ = flowmesh_transport_create(&pb);
        ASSERT_NE(handle_a_, 0u);
        ASSERT_NE(handle_b_, 0u);
        a_.handle = handle_a_;
        b_.handle = handle_b_;
        if (b_connects) {
            ASSERT_EQ(flowmesh_transport_connect(handle_b_, 3), CORE_OK);
        } else if (b_accepts) {
            ASSERT_EQ(flowmesh_transport_accept(handle_b_, 3), CORE_OK);
        }
        ASSERT_EQ(flowmesh_transport_connect(handle_a_, 3), CORE_OK);
    }
    void open(void (*edit_a)(FlowmeshTransportParams *) = nullptr)
    {
        create(edit_a);
        ASSERT_TRUE(wait_for([&] { return a_.has_event(FLOWMESH_TRANSPORT_OPEN) && b_.has_event(FLOWMESH_TRANSPORT_OPEN); }));
    }

    Side a_, b_;
    FlowmeshHarnessEndpoint *ep_a_ = nullptr, *ep_b_ = nullptr;
    uint64_t handle_a_ = 0, handle_b_ = 0;
};

TEST_F(ReliablePair, OpensOnceAndCarriesBothWays)
{
    open();
    EXPECT_EQ(flowmesh_transport_connect(handle_a_, 3), CORE_ERR_STATE) << "already started";
    EXPECT_EQ(flowmesh_transport_accept(handle_a_, 3), CORE_ERR_STATE) << "the initiator does not accept";
    const std::vector<uint8_t> ab = pattern(1 << 20, 1), ba = pattern((1 << 20) + 1409, 2);
    ASSERT_TRUE(send_all(handle_a_, ab.data(), ab.size()));
    ASSERT_TRUE(send_all(handle_b_, ba.data(), ba.size()));
    ASSERT_TRUE(wait_for([&] { return b_.bytes() == ab.size() && a_.bytes() == ba.size(); }, 30000));
    EXPECT_TRUE(b_.received == ab);
    EXPECT_TRUE(a_.received == ba);
    EXPECT_EQ(a_.event_list(), std::vector<uint32_t>{FLOWMESH_TRANSPORT_OPEN}) << "open reported exactly once";
    EXPECT_EQ(b_.event_list(), std::vector<uint32_t>{FLOWMESH_TRANSPORT_OPEN});
    EXPECT_EQ(a_.counters().handshake_retransmissions, 0u) << "a clean link opens without retransmitting";
    EXPECT_EQ(b_.counters().handshake_retransmissions, 0u);
}

TEST_F(ReliablePair, SendTakesNothingBeforeOpen)
{
    create(nullptr, false);
    uint64_t length = 100;
    const std::vector<uint8_t> bytes(100);
    EXPECT_EQ(flowmesh_transport_send(handle_a_, 3, 0, bytes.data(), &length), CORE_DONE);
    EXPECT_EQ(length, 0u);
}

TEST_F(ReliablePair, RefusingConsumerGetsEverythingOnce)
{
    // A short retransmission time-out: the refused bytes come again with
    // the peer's retransmissions.
    open([](FlowmeshTransportParams *p) { p->min_rto_ms = 20, p->max_rto_ms = 200; });
    b_.refusals = 6;
    const std::vector<uint8_t> bytes = pattern(512 * 1024, 3);
    ASSERT_TRUE(send_all(handle_a_, bytes.data(), bytes.size()));
    ASSERT_TRUE(wait_for([&] { return b_.bytes() >= bytes.size(); }, 30000));
    EXPECT_EQ(b_.refused.load(), 6u);
    EXPECT_TRUE(b_.received == bytes) << "no byte lost or repeated";
}

// Each close reason with the events of both ends in order. The clock jumps
// 30 s at a time until both ends are closed.
TEST_F(ReliablePair, CloseReasons)
{
    using Events = std::vector<uint32_t>;
    enum Setup { kOpen, kNoAccept, kBothConnect };
    struct Row {
        const char *what;
        Setup setup;
        void (*edit_a)(FlowmeshTransportParams *);
        void (*act)(ReliablePair *);
        uint32_t reason_a;
        Events events_a;
        uint32_t reason_b;  // FLOWMESH_CLOSE_NONE: B stays open
        Events events_b;
    };
    const Events kClosed = {4, 5, 6, 7};
    const Row rows[] = {
        {"application close", kOpen, nullptr,
         [](ReliablePair *t) { EXPECT_EQ(flowmesh_transport_close(t->handle_a_, 3), CORE_OK); },
         FLOWMESH_CLOSE_APPLICATION, kClosed, FLOWMESH_CLOSE_PEER_FIN, kClosed},
        {"finish on an idle stream closes at once", kOpen, nullptr,
         [](ReliablePair *t) { EXPECT_EQ(flowmesh_transport_finish(t->handle_a_, 3), CORE_OK); },
         FLOWMESH_CLOSE_FINISHED, {4, 3, 5, 6, 7}, FLOWMESH_CLOSE_PEER_FIN, kClosed},
        {"opening time-out: nobody accepts", kNoAccept, nullptr, nullptr, FLOWMESH_CLOSE_OPENING_TIMEOUT, {5, 6, 7},
         FLOWMESH_CLOSE_NONE, {}},
        {"opening time-out: both connect", kBothConnect, nullptr, nullptr, FLOWMESH_CLOSE_OPENING_TIMEOUT, {5, 6, 7},
         FLOWMESH_CLOSE_OPENING_TIMEOUT, {5, 6, 7}},
        {"idle time-out: the peer went deaf", kOpen, nullptr,
         [](ReliablePair *t) {
             t->b_.deaf = true;
             const std::vector<uint8_t> bytes(5000, 1);
             EXPECT_TRUE(send_all(t->handle_a_, bytes.data(), bytes.size()));
         },
         FLOWMESH_CLOSE_IDLE_TIMEOUT, kClosed, FLOWMESH_CLOSE_NONE, {4}},
        {"sequence numbers exhausted", kOpen,
         [](FlowmeshTransportParams *p) {
             p->sequence_limit = 600000;  // above the peer's first number, which it must accept
             p->initial_sequence = p->sequence_limit - 10;
         },
         [](ReliablePair *t) {
             const std::vector<uint8_t> bytes(20 * 1408, 2);
             uint64_t length = bytes.size();
             flowmesh_transport_send(t->handle_a_, 3, 0, bytes.data(), &length);
         },
         FLOWMESH_CLOSE_SEQUENCE_LIMIT, kClosed, FLOWMESH_CLOSE_PEER_FIN, kClosed},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        a_.reset();
        b_.reset();
        if (row.setup == kOpen) {
            open(row.edit_a);
        } else {
            create(row.edit_a, row.setup != kNoAccept, row.setup == kBothConnect);
        }
        if (row.act != nullptr) row.act(this);
        const bool b_closes = row.reason_b != FLOWMESH_CLOSE_NONE;
        auto done = [&] {
            return a_.has_event(FLOWMESH_TRANSPORT_CLOSED) && (!b_closes || b_.has_event(FLOWMESH_TRANSPORT_CLOSED));
        };
        // Let each step's traffic settle before the next jump.
        for (int jump = 0; jump < 8 && !wait_for(done, 400); ++jump) core_clock_test_advance_ms(30000);
        ASSERT_TRUE(wait_for(done));
        EXPECT_EQ(a_.event_list(), row.events_a);
        EXPECT_EQ(a_.counters().close_reason, row.reason_a);
        EXPECT_EQ(a_.counters().state, FLOWMESH_RELIABLE_CLOSED);
        EXPECT_EQ(b_.event_list(), row.events_b);
        if (b_closes) {
            EXPECT_EQ(b_.counters().close_reason, row.reason_b);
            if (row.reason_b == FLOWMESH_CLOSE_PEER_FIN) {
                EXPECT_EQ(b_.counters().peer_close_reason, row.reason_a);
            }
        }
        if (row.reason_a == FLOWMESH_CLOSE_SEQUENCE_LIMIT) {
            EXPECT_EQ(b_.bytes(), 8u * 1408) << "the numbers after the SYN carry data; the last is the FIN's";
        }
        a_.reset();
        b_.reset();
        end_stream(&handle_a_);
        end_stream(&handle_b_);
    }
}

}  // namespace
