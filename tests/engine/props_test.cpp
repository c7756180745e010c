#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine/props.h"

namespace {

EngineProps fresh()
{
    EngineProps props;
    memset(&props, 0x5A, sizeof props);
    engine_props_init(&props);
    return props;
}

bool same(const EngineProps &a, const EngineProps &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

EngineProps with_tags(int count, uint16_t first)
{
    EngineProps props = fresh();
    for (int i = 0; i < count; ++i) {
        props.entries[i].tag = static_cast<uint16_t>(first + i);
        props.entries[i].value = i;
    }
    return props;
}

// Entries are packed: their members are copied out, never bound by reference.
uint16_t entry_tag(const EngineProps &props, int i)
{
    return props.entries[i].tag;
}

int64_t entry_value(const EngineProps &props, int i)
{
    return props.entries[i].value;
}

const uint32_t k_hd[4] = {1920, 1080, 30, 1};
const EngineAudioFormat k_cd = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};

TEST(EngineProps, FreshListIsEmptyAndReadsNothing)
{
    EngineProps props = fresh();
    for (const EnginePropEntry &e : props.entries) {
        EXPECT_EQ(uint16_t{e.tag}, 0);
        EXPECT_EQ(int64_t{e.value}, ENGINE_PROP_UNSET);
    }
    EXPECT_EQ(engine_props_count(&props), 0);
    uint32_t out[4] = {7, 7, 7, 7};
    EXPECT_FALSE(engine_props_get4(out, &props, 0x1000));
    EXPECT_FALSE(engine_props_get4(out, &props, 0)) << "free entries are no group";
    EXPECT_EQ(out[0], 7u);
}

TEST(EngineProps, EntriesArePackedTagThenValue)
{
    // The list crosses to peers byte for byte: entry i sits at 10 * i with a
    // host-order u16 tag followed by the i64 value.
    EngineProps props = fresh();
    ASSERT_EQ(engine_props_add_video(&props, k_hd, sizeof k_hd, 0, 0), 4);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&props);
    uint16_t tag;
    int64_t value;
    memcpy(&tag, bytes + 10, 2);
    memcpy(&value, bytes + 12, 8);
    EXPECT_EQ(tag, 0x1001);
    EXPECT_EQ(value, 1080);
}

TEST(EngineProps, EveryKindWritesItsGroup)
{
    struct Case {
        int kind;
        uint16_t firstTag;
        int members;
    };
    const Case cases[] = {
        {0, 0x1000, 4},  {1, 0x1400, 4},  {2, 0x1500, 1},  {3, 0x1501, 1},  {4, 0x1600, 2},  {5, 0x1800, 4},
        {6, 0x1820, 2},  {7, 0x1840, 4},  {8, 0x1880, 4},  {9, 0x1C00, 4},  {10, 0x1C20, 2}, {11, 0x1C40, 4},
        {12, 0x1C80, 4}, {13, 0x1D00, 4}, {14, 0x1E80, 1}, {15, 0x1E00, 1}, {16, 0x1F80, 1}, {17, 0x1F00, 1},
        {18, 0x2000, 5}, {19, 0x2400, 5}, {20, 0x2500, 1}, {21, 0x2501, 1}, {22, 0x2800, 5}, {23, 0x2840, 5},
        {24, 0x2880, 5}, {25, 0x2C00, 5}, {26, 0x2C40, 5}, {27, 0x2C80, 5},
    };
    const uint32_t pair[2] = {16, 2};
    const int64_t single = 0x123456789AB;
    for (const Case &c : cases) {
        const bool audio = c.kind >= 18;
        const void *value = c.members == 4 ? static_cast<const void *>(k_hd)
                            : c.members == 2 ? static_cast<const void *>(pair)
                            : c.members == 5 ? static_cast<const void *>(&k_cd)
                                             : static_cast<const void *>(&single);
        const uint64_t length = c.members == 4 ? 16 : c.members == 5 ? 12 : 8;
        EngineProps props = fresh();
        auto add = audio ? engine_props_add_audio : engine_props_add_video;
        auto other = audio ? engine_props_add_video : engine_props_add_audio;
        EXPECT_EQ(add(&props, value, length, c.kind, 3), 3 + c.members) << c.kind;
        for (int i = 0; i < c.members; ++i) EXPECT_EQ(entry_tag(props, 3 + i), c.firstTag + i) << c.kind;
        EXPECT_EQ(entry_tag(props, 3 + c.members), 0) << c.kind;

        // The other function does not know the kind: index back, nothing written.
        EngineProps untouched = fresh();
        EXPECT_EQ(other(&untouched, value, length, c.kind, 3), 3) << c.kind;
        EXPECT_TRUE(same(untouched, fresh())) << c.kind;
    }
    EngineProps props = fresh();
    EXPECT_EQ(engine_props_add_video(&props, k_hd, 16, -1, 5), 5);
    EXPECT_EQ(engine_props_add_audio(&props, &k_cd, 12, 28, 5), 5);
    EXPECT_TRUE(same(props, fresh()));
}

TEST(EngineProps, VideoModeRoundTripAndCheck)
{
    EngineProps props = fresh();
    ASSERT_EQ(engine_props_add_video(&props, k_hd, sizeof k_hd, 0, 0), 4);
    uint32_t out[4] = {};
    EXPECT_TRUE(engine_props_get4(out, &props, 0x1000));
    EXPECT_EQ(memcmp(out, k_hd, sizeof out), 0);

    struct Case {
        const char *purpose;
        uint32_t mode[4];
    };
    const Case unusable[] = {
        {"zero height", {1920, 0, 30, 1}},
        {"unknown rate", {1920, 1080, 0xFFFFFFFF, 1}},
        {"zero denominator", {1920, 1080, 30, 0}},
    };
    for (const Case &c : unusable) {
        EngineProps p = fresh();
        ASSERT_EQ(engine_props_add_video(&p, c.mode, 16, 1, 0), 4);
        uint32_t got[4] = {};
        EXPECT_FALSE(engine_props_get4(got, &p, 0x1400)) << c.purpose;
        EXPECT_EQ(memcmp(got, c.mode, sizeof got), 0) << c.purpose << ": values are stored anyway";
    }

    // Members are found anywhere in the list, each on its own.
    EngineProps scattered = fresh();
    const uint16_t tags[4] = {0x1003, 0x1001, 0x1002, 0x1000};
    for (int i = 0; i < 4; ++i) {
        scattered.entries[i].tag = tags[i];
        scattered.entries[i].value = k_hd[tags[i] - 0x1000];
    }
    EXPECT_TRUE(engine_props_get4(out, &scattered, 0x1000));
    EXPECT_EQ(out[3], 1u);
}

TEST(EngineProps, MissingOrUnsetMemberLeavesOutUntouched)
{
    EngineProps props = fresh();
    ASSERT_EQ(engine_props_add_video(&props, k_hd, 16, 0, 0), 4);
    props.entries[2].value = ENGINE_PROP_UNSET;
    uint32_t out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(engine_props_get4(out, &props, 0x1000));
    EXPECT_FALSE(engine_props_get2(out, &props, 0x1001));
    EXPECT_EQ(out[0], 9u);
    EXPECT_EQ(out[1], 9u);

    // A group at the top of the tag space does not wrap round to tag 0.
    EngineProps top = with_tags(2, 0xFFFE);
    EXPECT_FALSE(engine_props_get4(out, &top, 0xFFFE));
    EXPECT_EQ(out[0], 9u);
}

TEST(EngineProps, PairAndAudioFormatRoundTrip)
{
    EngineProps props = fresh();
    const uint32_t align[2] = {16, 2};
    int next = engine_props_add_video(&props, align, sizeof align, 6, 0);
    next = engine_props_add_audio(&props, &k_cd, sizeof k_cd, 19, next);
    ASSERT_EQ(next, 7);

    uint32_t pair[2] = {};
    EXPECT_TRUE(engine_props_get2(pair, &props, 0x1820));
    EXPECT_EQ(pair[0], 16u);
    EXPECT_EQ(pair[1], 2u);

    EngineAudioFormat format;
    memset(&format, 0xEE, sizeof format);
    EXPECT_TRUE(engine_props_get_audio_format(&format, &props, 0x2400));
    EXPECT_EQ(memcmp(&format, &k_cd, sizeof format), 0) << "including the three zero bytes";

    struct Case {
        const char *purpose;
        EngineAudioFormat format;
        bool valid;
    };
    const Case cases[] = {
        {"big-endian float is still valid", {44100, 1, 32, 0x4245, 'F', {}}, true},
        {"zero rate", {0, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}}, false},
        {"unknown rate", {0xFFFFFFFF, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}}, false},
        {"255 channels", {48000, 255, 16, ENGINE_BYTE_ORDER_LE, 'S', {}}, false},
        {"zero bits", {48000, 2, 0, ENGINE_BYTE_ORDER_LE, 'S', {}}, false},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(engine_props_put_audio_format(&props, &c.format, 0x2400)) << c.purpose;
        EngineAudioFormat got{};
        EXPECT_EQ(engine_props_get_audio_format(&got, &props, 0x2400), c.valid) << c.purpose;
        EXPECT_EQ(memcmp(&got, &c.format, sizeof got), 0) << c.purpose;
    }
}

TEST(EngineProps, AppendStopsAtTheEndOfTheList)
{
    // A mode at 61: three members fit, the fourth does not.
    EngineProps props = fresh();
    EXPECT_EQ(engine_props_add_video(&props, k_hd, 16, 0, 61), -1);
    EXPECT_EQ(entry_tag(props, 61), 0x1000);
    EXPECT_EQ(entry_tag(props, 63), 0x1002);
    EXPECT_EQ(entry_value(props, 63), 30);

    // Once an append failed, every later one of the record writes nothing.
    EngineProps later = fresh();
    EXPECT_EQ(engine_props_add_video(&later, k_hd, 16, 0, -1), -1);
    EXPECT_EQ(engine_props_add_audio(&later, &k_cd, 12, 18, -1), -1);
    EXPECT_EQ(engine_props_add_video(&later, k_hd, 16, 2, 64), -1);
    EXPECT_TRUE(same(later, fresh()));

    // A single fills the last entry exactly.
    const int64_t score = 5;
    EXPECT_EQ(engine_props_add_video(&later, &score, 8, 2, 63), 64);
}

TEST(EngineProps, ValuesOfAnotherLength)
{
    struct Case {
        const char *purpose;
        int kind;
        uint64_t length;
        int64_t first;
    };
    const uint8_t bytes[16] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                               0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x01};
    const Case cases[] = {
        {"mode of 12 bytes: zero members", 0, 12, 0},
        {"pair of 16 bytes: zero members", 4, 16, 0},
        {"format of 16 bytes: zero members", 18, 16, 0},
        {"single of 16 bytes: unset", 2, 16, ENGINE_PROP_UNSET},
        {"single of 3 bytes: unset", 2, 3, ENGINE_PROP_UNSET},
        {"single of 1 byte: zero-extended", 2, 1, 0x10},
        {"single of 2 bytes: zero-extended", 2, 2, 0x2010},
        {"single of 4 bytes: zero-extended", 2, 4, 0x40302010},
    };
    for (const Case &c : cases) {
        EngineProps props = fresh();
        // A copy of exactly `length` bytes, so that reading past it shows.
        std::unique_ptr<uint8_t[]> value(new uint8_t[c.length]);
        memcpy(value.get(), bytes, c.length);
        auto add = c.kind >= 18 ? engine_props_add_audio : engine_props_add_video;
        EXPECT_GT(add(&props, value.get(), c.length, c.kind, 0), 0) << c.purpose;
        EXPECT_EQ(entry_value(props, 0), c.first) << c.purpose;
    }
    EngineProps props = fresh();
    EXPECT_EQ(engine_props_add_video(&props, nullptr, 16, 0, 0), 4);
    EXPECT_EQ(entry_value(props, 3), 0);
}

TEST(EngineProps, MergeTwoLists)
{
    EngineProps thirty = with_tags(30, 0x3000);
    const EngineProps before = thirty;
    EngineProps forty = with_tags(40, 0x4000);
    EXPECT_EQ(engine_props_append(&thirty, &forty), nullptr);
    EXPECT_TRUE(same(thirty, before));

    EngineProps thirty_four = with_tags(34, 0x4000);
    EXPECT_EQ(engine_props_append(&thirty, &thirty_four), &thirty);
    EXPECT_EQ(engine_props_count(&thirty), 64);
    EXPECT_EQ(entry_tag(thirty, 29), 0x301D);
    EXPECT_EQ(entry_tag(thirty, 30), 0x4000);
    EXPECT_EQ(entry_value(thirty, 63), 33);

    EngineProps empty = fresh();
    EngineProps full = with_tags(64, 0x5000);
    EXPECT_EQ(engine_props_append(&empty, &full), nullptr) << "a full source is refused even by an empty list";
    EXPECT_TRUE(same(empty, fresh()));
    EXPECT_EQ(engine_props_append(&full, &empty), nullptr);

    EngineProps self = with_tags(20, 0x6000);
    EXPECT_EQ(engine_props_append(&self, &self), &self);
    EXPECT_EQ(engine_props_count(&self), 40);
    EXPECT_EQ(entry_tag(self, 39), 0x6013);
}

TEST(EngineProps, OverwriteChangesOnlyExistingMembers)
{
    EngineProps props = fresh();
    ASSERT_EQ(engine_props_add_video(&props, k_hd, 16, 0, 0), 4);
    const uint32_t uhd[4] = {3840, 2160, 60000, 1001};
    EXPECT_TRUE(engine_props_put4(&props, uhd, 0x1000));
    uint32_t out[4];
    EXPECT_TRUE(engine_props_get4(out, &props, 0x1000));
    EXPECT_EQ(memcmp(out, uhd, sizeof out), 0);

    // Only three members exist: they change, the call fails, no entry is added.
    props.entries[3].tag = 0x7777;
    EXPECT_FALSE(engine_props_put4(&props, k_hd, 0x1000));
    EXPECT_EQ(entry_value(props, 0), 1920);
    EXPECT_EQ(entry_value(props, 2), 30);
    EXPECT_EQ(entry_value(props, 3), 1001);
    EXPECT_EQ(engine_props_count(&props), 4);

    EngineProps none = fresh();
    EXPECT_FALSE(engine_props_put_audio_format(&none, &k_cd, 0x2000));
    EXPECT_TRUE(same(none, fresh()));
}

}  // namespace
