#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/pool.h"
#include "core/queue.h"
#include "core/tlv.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An item as the decoder hands it out: integers in host order.
struct Item {
    uint8_t type;
    Bytes value;
    bool operator==(const Item &) const = default;
};

template <typename T>
Item integer(uint8_t type, T v)
{
    Bytes b(sizeof(T));
    memcpy(b.data(), &v, sizeof(T));
    return {type, b};
}
Item u8(uint8_t v) { return integer(CORE_TLV_U8, v); }
Item u16(uint16_t v) { return integer(CORE_TLV_U16, v); }
Item u32(uint32_t v) { return integer(CORE_TLV_U32, v); }
Item u64(uint64_t v) { return integer(CORE_TLV_U64, v); }
Item text(const std::string &s) { return {CORE_TLV_TEXT, Bytes(s.begin(), s.end())}; }
Item blob(size_t n, uint8_t fill) { return {CORE_TLV_BLOB, Bytes(n, fill)}; }
Item marker(uint8_t type) { return {type, {}}; }

std::vector<CoreTlvItem> views(const std::vector<Item> &items)
{
    std::vector<CoreTlvItem> out;
    for (const Item &i : items) out.push_back({i.type, i.value.size(), i.value.empty() ? nullptr : i.value.data()});
    return out;
}

Bytes head(uint8_t type, uint32_t length)
{
    return {type, uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A channel with no consumer: what core_tlv_send posts stays queued.
struct Channel {
    CoreChannel *channel;
    explicit Channel(uint64_t pool_size = 0)
    {
        CoreChannelConfig cc = {};
        cc.pool_size = pool_size;
        channel = core_channel_create(&cc);
    }
    ~Channel() { core_channel_destroy(&channel); }

    // Payload of the oldest message; its name and type through the pointers.
    Bytes pop(std::string *name = nullptr, uint32_t *type = nullptr)
    {
        CoreQueueRecord *record = core_queue_pop(channel->queue);
        if (record == nullptr) return {};
        CoreQueueEntry e = core_queue_record_entry(record);
        Bytes out(static_cast<uint8_t *>(e.data), static_cast<uint8_t *>(e.data) + e.length);
        if (name) *name = e.name.text;
        if (type) *type = e.type;
        EXPECT_EQ(e.flags, 0u);
        core_queue_record_free(channel->queue, &record);
        return out;
    }
};

struct Decoded {
    CoreResult result = CORE_OK;
    std::vector<Item> items;
    bool pending = false;  // a partly received item is held
};

CoreResult collect(const CoreTlvItem *item, void *user)
{
    auto *items = static_cast<std::vector<Item> *>(user);
    const auto *p = static_cast<const uint8_t *>(item->value);
    EXPECT_TRUE(item->length == 0 || p != nullptr);
    items->push_back({item->type, Bytes(p, p + item->length)});
    return CORE_OK;
}

// Feeds `bytes` in pieces of at most `piece` bytes, each from an
// allocation of exactly its size so that AddressSanitizer sees any read
// past a piece. Stops at the first failure.
Decoded decode(const Bytes &bytes, size_t piece = SIZE_MAX, uint64_t pool_size = 0x800000)
{
    CorePoolConfig pc = {};
    pc.size = pool_size;
    CorePool *pool = core_pool_create(&pc);
    CoreTlvDecoder decoder;
    core_tlv_decoder_init(&decoder, pool);
    Decoded out;
    for (size_t at = 0; at < bytes.size() && out.result == CORE_OK; at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        std::vector<uint8_t> exact(bytes.begin() + at, bytes.begin() + at + n);
        out.result = core_tlv_decoder_feed(&decoder, exact.data(), exact.size(), collect, &out.items);
    }
    out.pending = decoder.received != 0;
    core_tlv_decoder_reset(&decoder);
    core_pool_destroy(&pool);
    return out;
}

const uint8_t kId[32] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                         13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};

// Legal records, their exact wire bytes, both ways.
struct WireCase {
    const char *purpose;
    std::vector<Item> items;
    Bytes wire;
};

std::vector<WireCase> wire_cases()
{
    return {
        {"u16 and end: the documented 12 bytes", {u16(0x1234), marker(CORE_TLV_END)},
         {0x01, 0, 0, 0, 2, 0x12, 0x34, 0xFF, 0, 0, 0, 0}},
        {"empty text is a bare head", {text("")}, {0x61, 0, 0, 0, 0}},
        {"integers go out big-endian",
         {u8(0xAB), u32(0x01020304), u64(0x1122334455667788ULL)},
         cat({head(0x00, 1), {0xAB}, head(0x02, 4), {1, 2, 3, 4}, head(0x03, 8),
              {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}})},
        {"id, text and markers of a list",
         {{CORE_TLV_ID, Bytes(kId, kId + 32)}, marker(CORE_TLV_LIST_BEGIN), marker(CORE_TLV_ENTRY), text("ab"),
          marker(CORE_TLV_LIST_END), marker(CORE_TLV_END)},
         cat({head(0x60, 32), Bytes(kId, kId + 32), head(0xF0, 0), head(0xF1, 0), head(0x61, 2), {'a', 'b'},
              head(0xF2, 0), head(0xFF, 0)})},
        {"longest text", {text(std::string(1024, 't'))}, cat({head(0x61, 1024), Bytes(1024, 't')})},
        {"longest blob", {blob(CORE_TLV_BLOB_MAX, 0x5A)},
         cat({head(0x62, CORE_TLV_BLOB_MAX), Bytes(CORE_TLV_BLOB_MAX, 0x5A)})},
    };
}

TEST(Tlv, EncodesAndDecodesTheWireFixtures)
{
    for (const WireCase &c : wire_cases()) {
        SCOPED_TRACE(c.purpose);
        Channel ch;
        CoreName name;
        core_name_format(&name, "rec");
        const std::vector<CoreTlvItem> items = views(c.items);
        ASSERT_EQ(core_tlv_send(ch.channel, &name, 77, 0, items.data(), items.size()), CORE_OK);
        std::string got_name;
        uint32_t got_type = 0;
        EXPECT_EQ(ch.pop(&got_name, &got_type), c.wire);
        EXPECT_EQ(got_name, "rec");
        EXPECT_EQ(got_type, 77u);

        const Decoded d = decode(c.wire);
        EXPECT_EQ(d.result, CORE_OK);
        EXPECT_EQ(d.items, c.items);
        EXPECT_FALSE(d.pending);
    }
}

TEST(Tlv, EncoderRefusesBrokenItemsAndSendsNothing)
{
    const uint8_t bytes[1100] = {};
    const uint16_t word = 7;
    const struct {
        const char *purpose;
        CoreTlvItem item;
    } cases[] = {
        {"text of 1025 bytes", {CORE_TLV_TEXT, 1025, bytes}},
        {"blob one byte over the limit", {CORE_TLV_BLOB, CORE_TLV_BLOB_MAX + 1, bytes}},
        {"id of 31 bytes", {CORE_TLV_ID, 31, bytes}},
        {"end marker of length 1", {CORE_TLV_END, 1, bytes}},
        {"u16 of length 4", {CORE_TLV_U16, 4, &word}},
        {"type 0x04", {0x04, 1, bytes}},
        {"type 0x63", {0x63, 1, bytes}},
        {"length beyond 32 bits", {CORE_TLV_BLOB, 0x100000000ULL, bytes}},
        {"NULL value with a length", {CORE_TLV_TEXT, 3, nullptr}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        Channel ch;
        // The broken item comes last: the good ones before it must not be
        // sent either.
        const CoreTlvItem items[] = {{CORE_TLV_U16, 2, &word}, {CORE_TLV_END, 0, nullptr}, c.item};
        EXPECT_EQ(core_tlv_send(ch.channel, nullptr, 0, 0, items, 3), CORE_ERR_INVALID);
        EXPECT_EQ(core_queue_count(ch.channel->queue), 0u);
    }
    Channel ch;
    const CoreTlvItem end = {CORE_TLV_END, 0, nullptr};
    EXPECT_EQ(core_tlv_send(ch.channel, nullptr, 0, 0, &end, 0), CORE_ERR_INVALID) << "count 0";
    EXPECT_EQ(core_tlv_send(nullptr, nullptr, 0, 0, &end, 1), CORE_ERR_INVALID) << "no channel";
    EXPECT_EQ(core_tlv_send(ch.channel, nullptr, 0, 0, nullptr, 1), CORE_ERR_INVALID) << "no items";
}

TEST(Tlv, EncoderReportsNoSpaceWhenTheChannelPoolIsFull)
{
    Channel small(2048);
    const Bytes big(4000, 1);
    const CoreTlvItem item = {CORE_TLV_BLOB, big.size(), big.data()};
    EXPECT_EQ(core_tlv_send(small.channel, nullptr, 0, 0, &item, 1), CORE_ERR_NO_SPACE);
    EXPECT_EQ(core_queue_count(small.channel->queue), 0u);
}

TEST(Tlv, CheckAndHeadReadAgreeOnEveryTypeByte)
{
    for (int type = 0; type < 256; ++type) {
        const uint64_t lengths[] = {0, 1, 2, 4, 8, 31, 32, 1024, 1025, CORE_TLV_BLOB_MAX, CORE_TLV_BLOB_MAX + 1,
                                    0xFFFFFFFFu};
        for (uint64_t length : lengths) {
            const CoreResult rule = core_tlv_check(length, static_cast<uint8_t>(type));
            const Bytes h = head(static_cast<uint8_t>(type), static_cast<uint32_t>(length));
            uint8_t got_type = 0xEE;
            uint32_t got_length = 0xEEEE;
            ASSERT_EQ(core_tlv_head_read(h.data(), &got_type, &got_length), rule) << type << " " << length;
            if (rule == CORE_OK) {
                EXPECT_EQ(got_type, type);
                EXPECT_EQ(got_length, length);
            }
        }
    }
    // Spot checks that the shared rule is the documented one.
    EXPECT_EQ(core_tlv_check(32, CORE_TLV_ID), CORE_OK);
    EXPECT_EQ(core_tlv_check(0, CORE_TLV_BLOB), CORE_OK);
    EXPECT_EQ(core_tlv_check(0, CORE_TLV_U8), CORE_ERR_INVALID);
    EXPECT_EQ(core_tlv_check(0, 0xF3), CORE_ERR_INVALID);
}

// Received bytes that must be refused or held, never read past.
TEST(Tlv, DecoderRefusesBadHeadsAndHoldsTruncatedItems)
{
    const struct {
        const char *purpose;
        Bytes wire;
        CoreResult result;
        std::vector<Item> items;  // delivered before the verdict
        bool pending;
    } cases[] = {
        {"unknown type", head(0x04, 1), CORE_ERR_INVALID, {}, false},
        {"u16 of length 3", cat({head(0x01, 3), {1, 2, 3}}), CORE_ERR_INVALID, {}, false},
        {"id of 31 bytes", cat({head(0x60, 31), Bytes(31, 0)}), CORE_ERR_INVALID, {}, false},
        {"end marker with a length", head(0xFF, 1), CORE_ERR_INVALID, {}, false},
        {"text of 1025 bytes", head(0x61, 1025), CORE_ERR_INVALID, {}, false},
        // Refused from the head alone: no 4 MB block is sought for it.
        {"blob over the limit", head(0x62, CORE_TLV_BLOB_MAX + 1), CORE_ERR_INVALID, {}, false},
        {"length with the top bit set", head(0x62, 0x80000000u), CORE_ERR_INVALID, {}, false},
        {"good items before a bad head are kept", cat({head(0x00, 1), {9}, head(0x99, 0)}), CORE_ERR_INVALID,
         {u8(9)}, false},
        {"head cut short", {0x02, 0, 0}, CORE_OK, {}, true},
        {"value cut short", cat({head(0x03, 8), {1, 2, 3}}), CORE_OK, {}, true},
        {"blob cut short after a whole item", cat({head(0xF1, 0), head(0x62, 100), Bytes(99, 1)}), CORE_OK,
         {marker(CORE_TLV_ENTRY)}, true},
        {"nothing at all", {}, CORE_OK, {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        const Decoded d = decode(c.wire, SIZE_MAX, 2048);
        EXPECT_EQ(d.result, c.result);
        EXPECT_EQ(d.items, c.items);
        EXPECT_EQ(d.pending, c.pending);
    }
}

TEST(Tlv, DecoderGivesTheSameItemsWhateverTheSplit)
{
    const std::vector<Item> record = {u16(0xBEEF), text("hello"), marker(CORE_TLV_LIST_BEGIN),
                                      marker(CORE_TLV_ENTRY), u64(0x0102030405060708ULL), blob(40, 7),
                                      marker(CORE_TLV_LIST_END), marker(CORE_TLV_END)};
    Channel ch;
    const std::vector<CoreTlvItem> items = views(record);
    ASSERT_EQ(core_tlv_send(ch.channel, nullptr, 0, 0, items.data(), items.size()), CORE_OK);
    ASSERT_EQ(core_tlv_send(ch.channel, nullptr, 0, 0, items.data(), items.size()), CORE_OK);
    const Bytes wire = cat({ch.pop(), ch.pop()});

    std::vector<Item> twice = record;
    twice.insert(twice.end(), record.begin(), record.end());
    for (size_t piece = 1; piece <= wire.size(); ++piece) {
        const Decoded d = decode(wire, piece);
        ASSERT_EQ(d.result, CORE_OK) << "pieces of " << piece;
        ASSERT_EQ(d.items, twice) << "pieces of " << piece;
        ASSERT_FALSE(d.pending);
    }
    // Every single cut point, two feeds each.
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        std::vector<Item> got;
        CorePoolConfig pc = {};
        CorePool *pool = core_pool_create(&pc);
        CoreTlvDecoder decoder;
        core_tlv_decoder_init(&decoder, pool);
        Bytes first(wire.begin(), wire.begin() + cut), second(wire.begin() + cut, wire.end());
        ASSERT_EQ(core_tlv_decoder_feed(&decoder, first.data(), first.size(), collect, &got), CORE_OK);
        ASSERT_EQ(core_tlv_decoder_feed(&decoder, second.data(), second.size(), collect, &got), CORE_OK);
        EXPECT_EQ(got, twice) << "cut at " << cut;
        core_pool_destroy(&pool);
    }
}

TEST(Tlv, DecoderStartsOverAfterAFailure)
{
    CorePoolConfig pc = {};
    pc.size = 2048;
    CorePool *pool = core_pool_create(&pc);
    CoreTlvDecoder decoder;
    core_tlv_decoder_init(&decoder, pool);
    std::vector<Item> got;
    const Bytes good = cat({head(0x00, 1), {5}, head(0xFF, 0)});

    // A bad head drops the rest of its piece; the next piece is read afresh.
    Bytes bad = cat({head(0x01, 3), {1, 2, 3}, good});
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, bad.data(), bad.size(), collect, &got), CORE_ERR_INVALID);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, good.data(), good.size(), collect, &got), CORE_OK);
    EXPECT_EQ(got, (std::vector<Item>{u8(5), marker(CORE_TLV_END)}));

    // A split value the pool cannot hold: no space, and the decoder is
    // clean again (nothing held, nothing leaked).
    got.clear();
    Bytes split = cat({head(0x62, 4000), Bytes(10, 1)});
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, split.data(), split.size(), collect, &got), CORE_ERR_NO_SPACE);
    EXPECT_EQ(decoder.received, 0u);
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, good.data(), good.size(), collect, &got), CORE_OK);
    EXPECT_EQ(got.size(), 2u);

    // A callback's refusal stops the feed and comes back unchanged.
    auto refuse = [](const CoreTlvItem *, void *) -> CoreResult { return CORE_ERR_REFUSED; };
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, good.data(), good.size(), refuse, nullptr), CORE_ERR_REFUSED);
    EXPECT_EQ(decoder.received, 0u);

    // A split value that is held when the owner gives up is freed by reset.
    Bytes partial = cat({head(0x62, 100), Bytes(50, 1)});
    EXPECT_EQ(core_tlv_decoder_feed(&decoder, partial.data(), partial.size(), collect, &got), CORE_OK);
    EXPECT_NE(decoder.value, nullptr);
    core_tlv_decoder_reset(&decoder);
    EXPECT_EQ(decoder.value, nullptr);
    EXPECT_EQ(pool->in_use, 0u);
    core_pool_destroy(&pool);
}

}  // namespace
