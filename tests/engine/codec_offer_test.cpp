// Codec offers on the wire and back: the exact TLV messages a sender
// queues, the record the network library's TLV reader joins from them, and
// the stream set rebuilt from that record, with every truncation of it.
//
// The senders here belong to a session that never comes up, so what they
// encode stays in their queue where the test can read it byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "engine/codec_offer.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/peer_streams.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/service.h"

namespace {

using Bytes = std::vector<uint8_t>;

CoreHandleTable *streams() { return core_handle_tables[CORE_HANDLES_STREAMS]; }

void put_be(Bytes &out, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_le(Bytes &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_raw(Bytes &out, const void *data, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(data);
    out.insert(out.end(), p, p + n);
}

// One TLV item as it travels: type, big-endian length, value.
void item(Bytes &out, uint8_t type, const Bytes &value)
{
    out.push_back(type);
    put_be(out, value.size(), 4);
    out.insert(out.end(), value.begin(), value.end());
}

Bytes be(uint64_t value, int bytes)
{
    Bytes b;
    put_be(b, value, bytes);
    return b;
}

Bytes raw(const void *data, size_t n)
{
    Bytes b;
    put_raw(b, data, n);
    return b;
}

// A stream record with every field that travels set to something distinct.
EngineStreamRecord stream_record(uint32_t i)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    core_name_format(&r.channel, "p2p.bnd.00000009.chnl");  // not sent: the header's channel is
    core_name_format(&r.slot, i == 0 ? "profile.video.slot" : "");
    r.roleWord = 0x101 + i;
    r.mediaFlags = (1u << 16) | 0x02 | (i << 8);
    core_name_format(&r.streamName, "stream.%08X", 0x40000000u + i);
    engine_props_init(&r.props);
    const uint32_t mode[4] = {1920, 1080, 30, 1 + i};
    engine_props_add_video(&r.props, mode, sizeof mode, ENGINE_PROPS_SEND_MODE, 0);
    return r;
}

struct Offer {
    uint32_t kind;
    uint32_t sizeClass;
    const char *source;  // may be NULL
    std::vector<EngineStreamRecord> records;
};

EngineMediaDesc binding_desc()
{
    EngineMediaDesc desc;
    const CoreName channel = core_name_of("p2p.bnd.00000003.chnl");
    const CoreName peer = core_name_of("node.peer");
    const CoreName session = core_name_of("session.x");
    const CoreName sequence = core_name_of("bnd.seq.00000000000000a7");
    return *engine_media_desc_make(&desc, &channel, &peer, &session, &sequence);
}

// The record the receiver should join, laid out by hand at the fixed
// offsets: little-endian integers, the keys, the text, then each entry.
Bytes joined_record(const Offer &o, uint64_t sequence)
{
    const EngineMediaDesc desc = binding_desc();
    Bytes r;
    put_le(r, 344 + 712 * o.records.size(), 4);
    put_le(r, o.kind, 4);
    put_le(r, 0, 4);
    put_le(r, sequence, 8);
    put_raw(r, desc.bindSequence.key, 32);
    put_raw(r, desc.channel.key, 32);
    put_le(r, o.sizeClass, 4);
    char source[256] = {};
    if (o.source != nullptr) strncpy(source, o.source, 255);
    put_raw(r, source, 256);
    EXPECT_EQ(r.size(), 344u);
    for (const EngineStreamRecord &rec : o.records) {
        put_raw(r, rec.slot.key, 32);
        put_le(r, rec.roleWord, 4);
        put_le(r, rec.mediaFlags, 4);
        put_raw(r, rec.streamName.key, 32);
        put_raw(r, &rec.props, 640);
    }
    return r;
}

// The expected messages of an offer, each as its wire bytes.
std::vector<Bytes> wire_messages(const Offer &o, uint64_t sequence)
{
    const EngineMediaDesc desc = binding_desc();
    std::vector<Bytes> out;
    Bytes header;
    item(header, 0x02, be(344 + 712 * o.records.size(), 4));
    item(header, 0x02, be(o.kind, 4));
    item(header, 0x02, be(0, 4));
    item(header, 0x03, be(sequence, 8));
    item(header, 0x60, raw(desc.bindSequence.key, 32));
    item(header, 0x60, raw(desc.channel.key, 32));
    item(header, 0x02, be(o.sizeClass, 4));
    char source[256] = {};
    if (o.source != nullptr) strncpy(source, o.source, 255);
    item(header, 0x62, raw(source, 256));
    out.push_back(header);
    if (o.records.empty()) {
        out.push_back({0xFF, 0, 0, 0, 0});
        return out;
    }
    out.push_back({0xF0, 0, 0, 0, 0});
    for (const EngineStreamRecord &rec : o.records) {
        Bytes m;
        item(m, 0xF1, {});
        item(m, 0x60, raw(rec.slot.key, 32));
        item(m, 0x02, be(rec.roleWord, 4));
        item(m, 0x02, be(rec.mediaFlags, 4));
        item(m, 0x60, raw(rec.streamName.key, 32));
        for (const EnginePropEntry &e : rec.props.entries) {
            const int64_t value = e.value;
            item(m, 0x01, be(e.tag, 2));
            item(m, 0x03, be(static_cast<uint64_t>(value), 8));
        }
        out.push_back(m);
    }
    out.push_back({0xF2, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0});
    return out;
}

// A running node and a network core whose sessions never come up.
class CodecOffer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        FlowmeshConfig config = {};
        config.base_port = 45100;
        config.adapter_index = -1;
        core_name_format(&config.system_name, "offer.test");
        core_name_format(&config.node_id, "offer.node");
        ASSERT_EQ(flowmesh_core_create(&config), CORE_OK);
    }

    void TearDown() override
    {
        for (uint64_t h : handles_) {
            core_handle_release(streams(), h);
            core_handle_wait_freed(streams(), h);
        }
        flowmesh_core_destroy();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    uint64_t sender()
    {
        EngineSenderConfig c = {};
        c.retryPause = 100;
        c.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        c.session = core_name_of("session.never");
        c.stream = core_name_of(ENGINE_STREAM_BIND);
        const uint64_t h = engine_sender_create(&c);
        EXPECT_NE(h, 0u);
        if (h != 0) handles_.push_back(h);
        return h;
    }

    static CoreResult send(uint64_t sender, const Offer &o)
    {
        const EngineMediaDesc desc = binding_desc();
        return engine_offer_send(sender, o.kind, &desc, ENGINE_PROTOCOL_VERSION, o.source, o.sizeClass,
                                 o.records.empty() ? nullptr : o.records.data(), o.records.size());
    }

    // Takes every message the sender has queued, as wire bytes.
    static std::vector<Bytes> queued(uint64_t handle)
    {
        std::vector<Bytes> out;
        auto *s = static_cast<EngineSender *>(core_handle_acquire(streams(), handle));
        if (s == nullptr) return out;
        while (CoreQueueRecord *record = core_queue_pop(s->channel->queue)) {
            const CoreQueueEntry e = core_queue_record_entry(record);
            EXPECT_EQ(e.type, 0u);
            out.push_back(raw(e.data, e.length));
            core_queue_record_free(s->channel->queue, &record);
        }
        core_handle_release(streams(), handle);
        return out;
    }

    // What the network library's TLV reader makes of the bytes: every
    // record it completed, as the values its consumer would be handed.
    static std::vector<Bytes> read_records(const std::vector<Bytes> &pieces)
    {
        FlowmeshTlvChannelConfig config = {};
        config.pool_size = 16u << 20;
        FlowmeshTlvChannel *reader = flowmesh_channel_create(&config);
        EXPECT_NE(reader, nullptr);
        std::vector<Bytes> out;
        if (reader == nullptr) return out;
        for (const Bytes &piece : pieces) {
            CoreQueueEntry e = {};
            e.data = const_cast<uint8_t *>(piece.data());
            e.length = piece.size();
            EXPECT_EQ(flowmesh_tlv_reader_feed(reader, &e), CORE_OK);
        }
        while (CoreQueueRecord *record = core_queue_pop(reader->queue)) {
            const CoreQueueEntry queued = core_queue_record_entry(record);
            CoreQueueEntry view;
            EXPECT_EQ(flowmesh_tlv_queued_view(&queued, &view), CORE_OK);
            out.push_back(raw(view.data, view.length));
            core_queue_record_free(reader->queue, &record);
        }
        flowmesh_channel_destroy(&reader);
        return out;
    }

    std::vector<uint64_t> handles_;
};

Offer three_entries()
{
    return {ENGINE_OFFER_REQUEST, 2, "Screen 1", {stream_record(0), stream_record(1), stream_record(2)}};
}

// Header 344 bytes, 712 per entry, and the message series around them.
TEST_F(CodecOffer, GoldenMessagesAndRecord)
{
    struct Case {
        const char *what;
        Offer offer;
        size_t messages;
    };
    const Case cases[] = {
        {"unbind: header and END", {ENGINE_OFFER_UNBIND, ENGINE_OFFER_NO_CLASS, nullptr, {}}, 2},
        {"one entry", {ENGINE_OFFER_ACCEPT, 1, "Camera", {stream_record(0)}}, 4},
        {"three entries", three_entries(), 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t s = sender();
        ASSERT_EQ(send(s, c.offer), CORE_OK);
        const std::vector<Bytes> messages = queued(s);
        ASSERT_EQ(messages.size(), c.messages);
        // A fresh sender numbers its first offer 1.
        const std::vector<Bytes> expected = wire_messages(c.offer, 1);
        for (size_t i = 0; i < messages.size(); ++i) EXPECT_EQ(messages[i], expected[i]) << "message " << i;
        EXPECT_EQ(messages[0].size(), 384u);  // 8 items: 3 x U32, U64, 2 x ID, U32, BLOB 256
        if (c.messages > 2) {
            EXPECT_EQ(messages[2].size(), 1377u);  // 133 items
        }

        const std::vector<Bytes> records = read_records(messages);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0], joined_record(c.offer, 1));
        EXPECT_EQ(records[0].size(), 344u + 712u * c.offer.records.size());
    }
}

TEST_F(CodecOffer, SequenceCountsPerSenderAndUnknownSenderFails)
{
    const uint64_t s = sender();
    const Offer o = {ENGINE_OFFER_UPDATE, 0, nullptr, {}};
    ASSERT_EQ(send(s, o), CORE_OK);
    ASSERT_EQ(send(s, o), CORE_OK);
    const std::vector<Bytes> messages = queued(s);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], wire_messages(o, 1)[0]);
    EXPECT_EQ(messages[2], wire_messages(o, 2)[0]);
    // An unknown handle numbers 0 and fails at its first message.
    EXPECT_EQ(send(s + 1000, o), CORE_ERR);
}

TEST_F(CodecOffer, RefusesWhatItCannotEncode)
{
    const uint64_t s = sender();
    const EngineMediaDesc desc = binding_desc();
    EngineStreamRecord r = stream_record(0);
    EXPECT_EQ(engine_offer_send(s, ENGINE_OFFER_REQUEST, &desc, 1, nullptr, 0, &r, 1), CORE_ERR_UNSUPPORTED);
    EXPECT_EQ(engine_offer_send(s, ENGINE_OFFER_REQUEST, &desc, 4, nullptr, 0, nullptr, 2), CORE_ERR_INVALID);
    EXPECT_EQ(engine_offer_send(s, ENGINE_OFFER_REQUEST, &desc, 4, nullptr, 0, &r, ENGINE_OFFER_ENTRIES_MAX + 1),
              CORE_ERR_INVALID);
    EngineCodecOffer small = {};
    small.size = 343;
    EXPECT_EQ(engine_offer_encode(s, &small, 4), CORE_ERR_INVALID);
    EXPECT_EQ(engine_offer_encode(s, nullptr, 4), CORE_ERR_INVALID);
    EXPECT_TRUE(queued(s).empty());
}

// A source name of 256 characters travels cut to 255 with its terminator.
TEST_F(CodecOffer, SourceNameAlwaysEndsInTheRecord)
{
    const uint64_t s = sender();
    const std::string longest(300, 'x');
    const Offer o = {ENGINE_OFFER_ACCEPT, 0, longest.c_str(), {}};
    ASSERT_EQ(send(s, o), CORE_OK);
    const std::vector<Bytes> records = read_records(queued(s));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0][88 + 254], 'x');
    EXPECT_EQ(records[0][88 + 255], 0);
}

TEST_F(CodecOffer, RebuildsTheStreamSet)
{
    const uint64_t s = sender();
    const Offer o = three_entries();
    ASSERT_EQ(send(s, o), CORE_OK);
    const std::vector<Bytes> records = read_records(queued(s));
    ASSERT_EQ(records.size(), 1u);
    const Bytes &record = records[0];
    const EngineMediaDesc desc = binding_desc();
    EngineStreamSet *set = engine_offer_to_stream_set(reinterpret_cast<const EngineCodecOffer *>(record.data()),
                                                      record.size(), &desc, "Screen 1", 7);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->kind, 7u);
    EXPECT_STREQ(set->sourceName, "Screen 1");
    EXPECT_EQ(memcmp(&set->desc, &desc, sizeof desc), 0);
    ASSERT_EQ(set->count, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const EngineStreamRecord &got = set->records[i];
        const EngineStreamRecord &sent = o.records[i];
        // The record's channel is the header's, not the sender's record's.
        EXPECT_STREQ(got.channel.text, "p2p.bnd.00000003.chnl");
        EXPECT_EQ(memcmp(&got.slot, &sent.slot, sizeof(CoreName)), 0);
        EXPECT_EQ(memcmp(&got.streamName, &sent.streamName, sizeof(CoreName)), 0);
        EXPECT_EQ(got.roleWord, sent.roleWord);
        EXPECT_EQ(got.mediaFlags, sent.mediaFlags);
        // Free entries (tag 0, value unset) arrive as they were.
        EXPECT_EQ(memcmp(&got.props, &sent.props, sizeof(EngineProps)), 0);
    }
    void *block = set;
    core_pool_free(engine_node_running()->pool, &block);
}

// A peer's bytes cut anywhere: no wire prefix completes a record, no record
// shorter than the header is read, and a longer one yields exactly the whole
// entries it holds, read from nowhere past its end.
TEST_F(CodecOffer, EveryTruncationRefused)
{
    const uint64_t s = sender();
    const Offer o = three_entries();
    ASSERT_EQ(send(s, o), CORE_OK);
    const std::vector<Bytes> messages = queued(s);
    Bytes wire;
    for (const Bytes &m : messages) wire.insert(wire.end(), m.begin(), m.end());
    for (size_t cut = 0; cut < wire.size(); ++cut)
        ASSERT_TRUE(read_records({Bytes(wire.begin(), wire.begin() + cut)}).empty()) << cut;

    const Bytes whole = joined_record(o, 1);
    const EngineMediaDesc desc = binding_desc();
    for (size_t length = 0; length <= whole.size(); ++length) {
        // An exact-sized copy, so that a read past its end is caught.
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
        const auto *record = reinterpret_cast<const EngineCodecOffer *>(cut.empty() ? nullptr : cut.data());
        uint64_t count = 99;
        const CoreResult r = engine_offer_read(record, length, &count);
        EngineStreamSet *set = engine_offer_to_stream_set(record, length, &desc, nullptr, 0);
        if (length < 344) {
            ASSERT_EQ(r, CORE_ERR_INVALID) << length;
            ASSERT_EQ(set, nullptr) << length;
            continue;
        }
        ASSERT_EQ(r, CORE_OK) << length;
        ASSERT_EQ(count, (length - 344) / 712) << length;
        ASSERT_NE(set, nullptr) << length;
        ASSERT_EQ(set->count, count) << length;
        for (uint64_t i = 0; i < count; ++i)
            ASSERT_EQ(memcmp(&set->records[i].props, &o.records[i].props, sizeof(EngineProps)), 0);
        void *block = set;
        core_pool_free(engine_node_running()->pool, &block);
    }
}

// A header that claims more entries than arrived is not believed.
TEST_F(CodecOffer, SizeWordIsNotTrusted)
{
    Bytes record = joined_record({ENGINE_OFFER_REQUEST, 2, nullptr, {stream_record(0)}}, 1);
    const uint32_t claimed = 344 + 712 * 1000;
    memcpy(record.data(), &claimed, 4);
    EngineStreamSet *set = engine_offer_to_stream_set(reinterpret_cast<const EngineCodecOffer *>(record.data()),
                                                      record.size(), nullptr, nullptr, 0);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->count, 1u);
    void *block = set;
    core_pool_free(engine_node_running()->pool, &block);
}

// The two control requests of a failed binding.
struct ControlLog {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, Bytes>> calls;
    static CoreResult handler(uint32_t code, const void *in, uint64_t in_len, void *, uint64_t *, void **user)
    {
        auto *log = static_cast<ControlLog *>(user[0]);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->calls.emplace_back(code, raw(in, in_len));
        return 17;
    }
};

TEST_F(CodecOffer, FailureControlRequests)
{
    const CoreName control = core_name_of("control.test");
    ASSERT_EQ(core_notify_channel_create(&control), CORE_OK);
    ControlLog log;
    const CoreNotifySubscription subscription = {ControlLog::handler, {&log, nullptr}};
    const uint64_t token = core_notify_subscribe(&control, &subscription);
    ASSERT_NE(token, 0u);
    const EngineMediaDesc desc = binding_desc();
    EXPECT_EQ(engine_notify_version_mismatch(&control, &desc), 17);
    EXPECT_EQ(engine_notify_unbind(&control, ENGINE_BIND_KIND_ANSWERER, &desc), 17);
    core_notify_unsubscribe(&control, token);
    ASSERT_EQ(log.calls.size(), 2u);
    const std::pair<uint32_t, uint32_t> expected[] = {{ENGINE_CTL_VERSION_MISMATCH, 1}, {ENGINE_CTL_PEER_UNBIND, 2}};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(log.calls[i].first, expected[i].first);
        ASSERT_EQ(log.calls[i].second.size(), sizeof(EngineBindRecord));
        EngineBindRecord record;
        memcpy(&record, log.calls[i].second.data(), sizeof record);
        EXPECT_EQ(record.kind, expected[i].second);
        EXPECT_EQ(memcmp(&record.desc, &desc, sizeof desc), 0);
        EXPECT_EQ(record.sourceName[0], 0);
    }
}

TEST(CodecOfferNoNode, ControlRequestsNeedARunningNode)
{
    const CoreName control = core_name_of("control.absent");
    EngineMediaDesc desc = {};
    EXPECT_EQ(engine_notify_version_mismatch(&control, &desc), CORE_ERR);
    EXPECT_EQ(engine_notify_unbind(&control, 0, &desc), CORE_ERR);
}

}  // namespace
