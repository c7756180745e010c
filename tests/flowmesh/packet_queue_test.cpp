// Send queue, byte queue, receive window and reassembly list: the edges
// the reliable, paced and media-rate streams depend on.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/system.h"
#include "flowmesh/names.h"
#include "flowmesh/packet_queue.h"

namespace {

// The runtime with the stream node pool registered, as the core does.
class FlowmeshPacketQueue : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        CorePoolConfig config = {};
        node_pool_ = core_pool_create(&config);
        core_name_format(&node_name_, "%s", FLOWMESH_STREAM_POOL);
        ASSERT_EQ(core_pool_register(&node_name_, node_pool_), CORE_OK);
    }
    void TearDown() override
    {
        core_pool_unregister(&node_name_);
        core_pool_destroy(&node_pool_);
        core_system_stop();
    }
    CorePool *node_pool_ = nullptr;
    CoreName node_name_;
};

TEST_F(FlowmeshPacketQueue, ByteQueueTakesExactlyItsFreeBytes)
{
    EXPECT_EQ(flowmesh_bytequeue_create(0, 0, 1), nullptr);
    FlowmeshByteQueue *q = flowmesh_bytequeue_create(4096, 0, 1);
    ASSERT_NE(q, nullptr);
    std::vector<uint8_t> bytes(8192, 7);
    const uint64_t free = flowmesh_bytequeue_free(q);
    EXPECT_EQ(flowmesh_bytequeue_push(q, bytes.data(), free + 1), nullptr) << "one byte more than free";
    FlowmeshChunk *all = flowmesh_bytequeue_push(q, bytes.data(), free);
    ASSERT_NE(all, nullptr) << "exactly the free size";
    flowmesh_bytequeue_append(q, all);
    EXPECT_EQ(q->bytes_queued, free);
    EXPECT_EQ(flowmesh_bytequeue_push(q, bytes.data(), 1), nullptr) << "full";
    flowmesh_bytequeue_destroy(&q);
    EXPECT_EQ(q, nullptr);

    q = flowmesh_bytequeue_create(4096, 0, 1);
    q->factor = 0.5;
    EXPECT_EQ(flowmesh_bytequeue_push(q, bytes.data(), 2049), nullptr) << "the factor shrinks what fits";
    FlowmeshChunk *half = flowmesh_bytequeue_push(q, bytes.data(), 2048);
    ASSERT_NE(half, nullptr);
    flowmesh_bytequeue_append(q, half);
    flowmesh_bytequeue_destroy(&q);
}

TEST_F(FlowmeshPacketQueue, ChunkIdsWrapToOneAndAreSentInOrder)
{
    FlowmeshSendQueue *sq = flowmesh_sendq_create(65536, 0, 5, 1, 0);
    ASSERT_NE(sq, nullptr);
    sq->bytes->next_id = UINT64_MAX;
    const char *texts[] = {"first", "second", "third"};
    for (const char *t : texts) {
        FlowmeshChunk *c = flowmesh_bytequeue_push(sq->bytes, t, strlen(t));
        ASSERT_NE(c, nullptr);
        flowmesh_bytequeue_append(sq->bytes, c);
    }
    EXPECT_EQ(sq->bytes->first->id, UINT64_MAX);
    EXPECT_EQ(sq->bytes->first->next->id, 1u) << "0 is skipped: it means no chunk";

    FlowmeshPacketNode *p = nullptr;
    ASSERT_EQ(flowmesh_sendq_next_packet(sq, &p), CORE_OK);
    EXPECT_EQ(p->chunk_id, UINT64_MAX);
    FlowmeshPacketNode *again = nullptr;
    ASSERT_EQ(flowmesh_sendq_next_packet(sq, &again), CORE_OK);
    EXPECT_EQ(again->chunk_id, UINT64_MAX) << "the chunk being sent comes again until the stream clears it";
    flowmesh_sendq_release_packet(sq, &again);
    EXPECT_EQ(again, nullptr);
    // The first copy's chunk went with that release; releasing it too
    // (a late acknowledgement of the same chunk) must free only the node.
    flowmesh_sendq_release_packet(sq, &p);

    sq->sending_id = 0;
    ASSERT_EQ(flowmesh_sendq_next_packet(sq, &p), CORE_OK);
    EXPECT_EQ(p->chunk_id, 1u);
    EXPECT_EQ(memcmp(p->payload, "second", 6), 0);
    sq->sending_id = 0;
    FlowmeshPacketNode *third = nullptr;
    ASSERT_EQ(flowmesh_sendq_next_packet(sq, &third), CORE_OK);
    EXPECT_EQ(third->chunk_id, 2u);
    sq->sending_id = 0;
    FlowmeshPacketNode *none = nullptr;
    EXPECT_EQ(flowmesh_sendq_next_packet(sq, &none), CORE_DONE);

    flowmesh_sendq_release_packet(sq, &third);  // acknowledged out of order
    flowmesh_sendq_release_packet(sq, &p);
    EXPECT_EQ(sq->bytes->bytes_queued, 0u);
    EXPECT_EQ(sq->bytes->first, nullptr);
    flowmesh_sendq_destroy(&sq);
}

TEST_F(FlowmeshPacketQueue, ControlPrecedenceAndOneAcknowledgement)
{
    FlowmeshSendQueue *sq = flowmesh_sendq_create(4096, 0, 5, 0, 0);
    ASSERT_NE(sq, nullptr);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, 0, 1, 1), CORE_OK);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_WINDOW, 2, 2), CORE_OK);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_GO_BACK, 3, 3), CORE_OK);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_ACK, 4, 4), CORE_OK);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_RESEND, 5, 5), CORE_OK);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_ACK, 6, 0x0102030405060708ull), CORE_OK);
    EXPECT_EQ(flowmesh_sendq_control_count(sq), 5u) << "the second acknowledgement replaced the first";

    // The acknowledgement, then the first resend request, then the first
    // typed entry, then the untyped one.
    const struct {
        uint16_t type;
        uint32_t value32;
    } order[] = {{FLOWMESH_RELIABLE_ACK, 6},
                 {FLOWMESH_RELIABLE_GO_BACK, 3},
                 {FLOWMESH_RELIABLE_RESEND, 5},
                 {FLOWMESH_RELIABLE_WINDOW, 2},
                 {0, 1}};
    for (const auto &want : order) {
        FlowmeshPacketNode *p = nullptr;
        ASSERT_EQ(flowmesh_sendq_next_packet(sq, &p), CORE_OK);
        EXPECT_EQ(flowmesh_get_be16(p->header + FLOWMESH_HDR_FLAGS), want.type);
        EXPECT_EQ(flowmesh_get_be32(p->header + 16), want.value32);
        if (want.type == FLOWMESH_RELIABLE_ACK) {
            const uint8_t be[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            EXPECT_EQ(memcmp(p->header + 20, be, 8), 0);
        }
        EXPECT_EQ(p->chunk_id, 0u);
        flowmesh_sendq_release_packet(sq, &p);
    }
    FlowmeshPacketNode *p = nullptr;
    EXPECT_EQ(flowmesh_sendq_next_packet(sq, &p), CORE_DONE);
    flowmesh_sendq_destroy(&sq);
}

TEST_F(FlowmeshPacketQueue, OversizeChunkFailsWithoutLosingTheControl)
{
    FlowmeshSendQueue *sq = flowmesh_sendq_create(1 << 20, 0, 5, 0, 0);
    ASSERT_NE(sq, nullptr);
    std::vector<uint8_t> big(65536);
    FlowmeshChunk *c = flowmesh_bytequeue_push(sq->bytes, big.data(), big.size());
    ASSERT_NE(c, nullptr);
    flowmesh_bytequeue_append(sq->bytes, c);
    ASSERT_EQ(flowmesh_sendq_post_control(sq, FLOWMESH_RELIABLE_ACK, 0, 9), CORE_OK);
    FlowmeshPacketNode *p = nullptr;
    EXPECT_EQ(flowmesh_sendq_next_packet(sq, &p), CORE_ERR);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(flowmesh_sendq_control_count(sq), 1u);
    flowmesh_sendq_destroy(&sq);  // frees the waiting control and the chunk
}

TEST_F(FlowmeshPacketQueue, ReceiveWindowNeverBelowOneDatagram)
{
    FlowmeshRecvPool *own = flowmesh_recvpool_create(8192, 0);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(flowmesh_recvpool_window(own), 8192u);
    own->factor = 0.25;
    EXPECT_EQ(flowmesh_recvpool_window(own), 2048u);
    void *all = core_pool_alloc(own->data_pool, 8192);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(flowmesh_recvpool_window(own), 1441u) << "exhausted pool";
    core_pool_free(own->data_pool, &all);
    own->factor = 0;
    EXPECT_EQ(flowmesh_recvpool_window(own), 1441u);
    flowmesh_recvpool_destroy(&own);

    // A shared pool's free bytes are split among the streams using it.
    CorePoolConfig config = {};
    config.size = 65536;
    CorePool *shared = core_pool_create(&config);
    CoreName name;
    core_name_format(&name, "%s", FLOWMESH_RELIABLE_POOL);
    ASSERT_EQ(core_pool_register(&name, shared), CORE_OK);
    FlowmeshRecvPool *a = flowmesh_recvpool_create(8192, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(flowmesh_recvpool_window(a), 65536u);
    FlowmeshRecvPool *b = flowmesh_recvpool_create(8192, 1);
    EXPECT_EQ(flowmesh_recvpool_window(a), 32768u);
    flowmesh_recvpool_destroy(&b);
    flowmesh_recvpool_destroy(&a);
    core_pool_unregister(&name);
    core_pool_destroy(&shared);
}

TEST(FlowmeshReassembly, InsertKeepsOrderAndDropsDuplicates)
{
    FlowmeshReassembly list;
    flowmesh_reassembly_init(&list, 4);
    EXPECT_EQ(flowmesh_reassembly_first_seq(&list), 0u);
    const uint64_t seqs[] = {12, 10, 11, 12, 15};
    for (uint64_t s : seqs) {
        const uint8_t b[3] = {static_cast<uint8_t>(s), 0, 0};
        EXPECT_EQ(flowmesh_reassembly_insert(&list, b, 3, s, s - 10), 0);
    }
    EXPECT_EQ(list.datagrams, 4u);
    EXPECT_EQ(list.bytes, 12u);
    uint64_t expect[] = {10, 11, 12, 15}, i = 0;
    for (FlowmeshReassemblyNode *n = list.nodes.next; n != &list.nodes; n = n->next, ++i) {
        EXPECT_EQ(n->sequence, expect[i]);
        EXPECT_EQ(n->payload[0], expect[i]);
    }
    EXPECT_EQ(flowmesh_reassembly_first_seq(&list), 10u);
    EXPECT_EQ(flowmesh_reassembly_insert(&list, nullptr, 0, 20, 10), 0) << "an empty payload is stored too";
    flowmesh_reassembly_clear(&list);
    EXPECT_EQ(list.datagrams, 0u);
    EXPECT_EQ(list.report_limit, 4u);
    EXPECT_EQ(list.nodes.next, &list.nodes);
}

class FlowmeshReassemblyGaps : public FlowmeshPacketQueue {
protected:
    void SetUp() override
    {
        FlowmeshPacketQueue::SetUp();
        CoreQueueConfig config = {};
        config.batch = 16;
        loss_ = core_queue_create(&config);
        ASSERT_NE(loss_, nullptr);
    }
    void TearDown() override
    {
        core_queue_destroy(&loss_);
        FlowmeshPacketQueue::TearDown();
    }
    std::vector<std::pair<uint64_t, uint64_t>> ranges()
    {
        std::vector<std::pair<uint64_t, uint64_t>> out;
        while (CoreQueueRecord *r = core_queue_pop(loss_)) {
            CoreQueueEntry e = core_queue_record_entry(r);
            uint64_t first, count;
            flowmesh_loss_range(&e, &first, &count);
            out.emplace_back(first, count);
            core_queue_record_free(loss_, &r);
        }
        return out;
    }
    CoreQueue *loss_ = nullptr;
};

TEST_F(FlowmeshReassemblyGaps, GapsTailAndReportLimit)
{
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    FlowmeshReassembly frame;
    flowmesh_reassembly_init(&frame, 2);
    frame.expected = 6;  // chunks of the frame
    for (uint64_t s : {10, 11, 14}) ASSERT_EQ(flowmesh_reassembly_insert(&frame, "x", 1, s, s - 10), 0);

    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 0), 1);
    EXPECT_EQ(ranges(), (Ranges{{12, 2}}));
    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 1), 2);
    EXPECT_EQ(ranges(), (Ranges{{12, 2}, {15, 1}}));
    EXPECT_EQ(frame.reports, 2u);
    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 1), 0) << "report limit reached";
    EXPECT_TRUE(ranges().empty());
    flowmesh_reassembly_clear(&frame);

    // A frame missing only its tail is a report too, so the limit holds.
    flowmesh_reassembly_init(&frame, 1);
    frame.expected = 4;
    ASSERT_EQ(flowmesh_reassembly_insert(&frame, "x", 1, 1ull << 40, 0), 0);
    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 1), 1);
    EXPECT_EQ(ranges(), (Ranges{{(1ull << 40) + 1, 3}})) << "the first number's high half travels in flags";
    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 1), 0);
    flowmesh_reassembly_clear(&frame);

    // An index beyond the announced count leaves no tail to report.
    flowmesh_reassembly_init(&frame, 0);
    frame.expected = 2;
    ASSERT_EQ(flowmesh_reassembly_insert(&frame, "x", 1, 100, 0), 0);
    ASSERT_EQ(flowmesh_reassembly_insert(&frame, "x", 1, 105, 5), 0);
    EXPECT_EQ(flowmesh_reassembly_find_gaps(&frame, loss_, 1), 1);
    EXPECT_EQ(ranges(), (Ranges{{101, 4}}));
    flowmesh_reassembly_clear(&frame);
}

}  // namespace
