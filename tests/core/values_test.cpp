// Value lists and codec lists: put, replace, positional overwrite, codec
// numbering and counting, and readers racing writers.
#include "core/values.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/names.h"
#include "core/store.h"

namespace {

// Value lists reclaim on the default executor; nothing else is needed.
class ValuesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_executor_registry_start(), CORE_OK);
        CoreName name;
        core_name_format(&name, "%s", CORE_DEFAULT_EXECUTOR);
        ASSERT_EQ(core_executor_create(&name), 0);
    }
    void TearDown() override
    {
        core_codec_lists_destroy();
        for (CoreValueList *&list : lists_) core_valuelist_destroy(&list);
        core_executor_registry_stop();
    }

    CoreValueList *make_list(int kind)
    {
        CoreValueList *list = core_valuelist_create(&kind);
        if (list != nullptr) lists_.push_back(list);
        return list;
    }

    std::vector<CoreValueList *> lists_;
};

std::string get_text(CoreValueList *list, const char *name, uint32_t index)
{
    char out[64] = {};
    uint64_t size = 0;
    if (core_valuelist_get(list, name, index, nullptr, out, sizeof(out) - 1, &size) != 0) return "<none>";
    return std::string(out, size);
}

CoreVideoCodecDesc video_desc(uint32_t direction, uint32_t acceleration, const char *family)
{
    CoreVideoCodecDesc desc = {};
    desc.direction = direction;
    desc.acceleration = acceleration;
    desc.device_number = -1;
    snprintf(desc.family, sizeof(desc.family), "%s", family);
    return desc;
}

CoreAudioCodecDesc audio_desc(uint32_t direction, uint32_t acceleration)
{
    CoreAudioCodecDesc desc = {};
    desc.direction = direction;
    desc.acceleration = acceleration;
    desc.device_number = -1;
    return desc;
}

TEST_F(ValuesTest, CreateRefusesMissingOrUnknownKind)
{
    EXPECT_EQ(core_valuelist_create(nullptr), nullptr);
    int unknown = 2;
    EXPECT_EQ(core_valuelist_create(&unknown), nullptr);
}

// The same put twice, by list kind: a replace list keeps the second value,
// an insert-only list refuses it and keeps the first.
TEST_F(ValuesTest, SecondPutUnderOneKeyByKind)
{
    struct Case {
        int kind;
        int second_result;
        const char *kept;
    };
    const Case cases[] = {
        {CORE_VALUELIST_REPLACE, 0, "/second"},
        {CORE_VALUELIST_INSERT, -1, "/first"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        CoreValueList *list = make_list(c.kind);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(core_valuelist_put(list, "fs.path", 9, 1, "/first", 6), 0);
        EXPECT_EQ(core_valuelist_put(list, "fs.path", 9, 1, "/second", 7), c.second_result);
        EXPECT_EQ(get_text(list, "fs.path", 9), c.kept);
        EXPECT_EQ(list->entries->live, 1u);
    }
}

// How name and index make the key: the bare name, "%s%08X", both cut to
// the 32 bytes of a name.
TEST_F(ValuesTest, KeysFromNameAndIndex)
{
    CoreValueList *list = make_list(CORE_VALUELIST_INSERT);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(core_valuelist_put(list, "synchro.ip", CORE_VALUE_NO_INDEX, 1, "bare", 4), 0);
    ASSERT_EQ(core_valuelist_put(list, "synchro.ip", 0xA, 1, "ten", 3), 0);
    const char *long_name = "frmwrk.vid.prov.pipe.0123456789";  // 31 characters
    ASSERT_EQ(core_valuelist_put(list, long_name, 0x12, 1, "long", 4), 0);

    EXPECT_EQ(get_text(list, "synchro.ip", CORE_VALUE_NO_INDEX), "bare");
    EXPECT_EQ(get_text(list, "synchro.ip0000000A", CORE_VALUE_NO_INDEX), "ten");
    // Only the first index digit fits; any other index with that digit
    // names the same entry.
    EXPECT_EQ(get_text(list, long_name, 0x0FFFFFFF), "long");
    EXPECT_EQ(core_valuelist_put(list, long_name, 0x01234567, 1, "x", 1), -1);
    EXPECT_EQ(get_text(list, "synchro.ip", 0xB), "<none>");
}

TEST_F(ValuesTest, PutAndGetArguments)
{
    CoreValueList *list = make_list(CORE_VALUELIST_REPLACE);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(core_valuelist_put(nullptr, "a", 0, 1, "x", 1), -1);
    EXPECT_EQ(core_valuelist_put(list, nullptr, 0, 1, "x", 1), -1);
    EXPECT_EQ(core_valuelist_put(list, "a", 0, 1, nullptr, 1), -1);

    // An empty value is a value.
    ASSERT_EQ(core_valuelist_put(list, "empty", 0, 7, nullptr, 0), 0);
    uint32_t type = 0;
    uint64_t size = 99;
    EXPECT_EQ(core_valuelist_get(list, "empty", 0, &type, nullptr, 0, &size), 0);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(size, 0u);

    // Too small a buffer: the size is reported and nothing is copied.
    ASSERT_EQ(core_valuelist_put(list, "word", 0, 3, "abcdef", 6), 0);
    char out[4] = {'z', 'z', 'z', 'z'};
    EXPECT_EQ(core_valuelist_get(list, "word", 0, &type, out, sizeof(out), &size), 1);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(memcmp(out, "zzzz", 4), 0);
    EXPECT_EQ(core_valuelist_get(list, "nothing", 0, nullptr, out, sizeof(out), nullptr), -1);
}

TEST_F(ValuesTest, SetAtOverwritesByPositionOnlyWithEqualSize)
{
    CoreValueList *list = make_list(CORE_VALUELIST_REPLACE);
    ASSERT_NE(list, nullptr);
    // Put out of key order: positions follow keys.
    ASSERT_EQ(core_valuelist_put(list, "k", 2, 1, "two", 3), 0);
    ASSERT_EQ(core_valuelist_put(list, "k", 0, 1, "zero", 4), 0);
    ASSERT_EQ(core_valuelist_put(list, "k", 1, 1, "one", 3), 0);

    struct Case {
        int64_t index;
        const char *data;
        int result;
    };
    const Case cases[] = {
        {1, "ONE", 0},    // key k00000001
        {2, "TWO!", 1},   // size differs: nothing written
        {3, "xyz", -1},   // past the end
        {-1, "xyz", -1},  // no such position
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(core_valuelist_set_at(list, c.index, c.data, strlen(c.data)), c.result);
    }
    EXPECT_EQ(get_text(list, "k", 0), "zero");
    EXPECT_EQ(get_text(list, "k", 1), "ONE");
    EXPECT_EQ(get_text(list, "k", 2), "two");
}

TEST_F(ValuesTest, CodecListsMissingRefuseEverything)
{
    CoreVideoCodecDesc video = video_desc(1, 1, "x");
    CoreAudioCodecDesc audio = audio_desc(1, 1);
    EXPECT_EQ(core_codec_add_video(&video, 1), -1);
    EXPECT_EQ(core_codec_add_audio(&audio, 1), -1);
    EXPECT_EQ(core_codec_count_audio(1), 0u);
    EXPECT_EQ(core_codec_get_video(0, 1, &video), -1);
}

TEST_F(ValuesTest, CodecListsCreateOnce)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    EXPECT_EQ(core_codec_lists_create(), CORE_FAIL);
    core_codec_lists_destroy();
    core_codec_lists_destroy();  // nothing left: harmless
    EXPECT_EQ(core_codec_lists_create(), CORE_OK);
}

// Listed entries are numbered by the live count; an unlisted one gets the
// count + 0x80000000 and so reads after every listed entry, even those
// added later.
TEST_F(ValuesTest, UnlistedVideoCodecSortsAfterListed)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    const char *families[] = {"a", "b", "c"};
    for (const char *f : families) {
        CoreVideoCodecDesc desc = video_desc(RAVK_CODEC_ENCODER, 1, f);
        ASSERT_EQ(core_codec_add_video(&desc, 1), 0);
    }
    CoreVideoCodecDesc unlisted = video_desc(RAVK_CODEC_ENCODER, 2, "unlisted");  // 80000003
    ASSERT_EQ(core_codec_add_video(&unlisted, 0), 0);
    CoreVideoCodecDesc late = video_desc(RAVK_CODEC_ENCODER, 1, "late");  // 00000004
    ASSERT_EQ(core_codec_add_video(&late, 1), 0);

    const char *expected[] = {"a", "b", "c", "late", "unlisted"};
    for (int i = 0; i < 5; ++i) {
        CoreVideoCodecDesc out;
        memset(&out, 0xEE, sizeof(out));
        ASSERT_EQ(core_codec_get_video(i, RAVK_CODEC_ENCODER, &out), 0) << i;
        EXPECT_STREQ(out.family, expected[i]);
        EXPECT_EQ(out.device_number, -1);
        EXPECT_EQ(out.element_name[255], 0);  // the whole record came back
    }
    CoreVideoCodecDesc out;
    EXPECT_EQ(core_codec_get_video(5, RAVK_CODEC_ENCODER, &out), -1);
    EXPECT_EQ(core_codec_get_video(-1, RAVK_CODEC_ENCODER, &out), -1);
    // The decoder list is a list of its own.
    EXPECT_EQ(core_codec_get_video(0, RAVK_CODEC_DECODER, &out), -1);
}

TEST_F(ValuesTest, CodecDirectionSelectsTheList)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    struct Case {
        uint32_t direction;
        int add_result;
    };
    const Case cases[] = {{0, -1}, {1, 0}, {2, 0}, {3, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.direction);
        CoreAudioCodecDesc audio = audio_desc(c.direction, 1);
        CoreVideoCodecDesc video = video_desc(c.direction, 1, "x");
        EXPECT_EQ(core_codec_add_audio(&audio, 1), c.add_result);
        EXPECT_EQ(core_codec_add_video(&video, 1), c.add_result);
        CoreAudioCodecDesc audio_out;
        CoreVideoCodecDesc video_out;
        EXPECT_EQ(core_codec_get_audio(0, c.direction, &audio_out), c.add_result);
        EXPECT_EQ(core_codec_get_video(0, c.direction, &video_out), c.add_result);
    }
}

// Only entries with an acceleration count; the no-codec head does not.
TEST_F(ValuesTest, CountAudioSkipsNoCodecEntry)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    CoreAudioCodecDesc none = audio_desc(RAVK_CODEC_DECODER, RAVK_ACCEL_NONE);
    ASSERT_EQ(core_codec_add_audio(&none, 1), 0);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_DECODER), 0u);

    CoreAudioCodecDesc opus = audio_desc(RAVK_CODEC_DECODER, RAVK_ACCEL_SOFTWARE);
    opus.minimum_format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_DECODER), 1u);
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_ENCODER), 0u);
    EXPECT_EQ(core_codec_count_audio(3), 0u);

    CoreAudioCodecDesc out;
    ASSERT_EQ(core_codec_get_audio(1, RAVK_CODEC_DECODER, &out), 0);
    EXPECT_EQ(memcmp(&out, &opus, sizeof(out)), 0);
}

// A descriptor is replaced in place, keeping its position; a wrong list,
// index or missing descriptor changes nothing.
TEST_F(ValuesTest, CodecSetReplacesInPlace)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    for (const char *f : {"a", "b"}) {
        CoreVideoCodecDesc desc = video_desc(RAVK_CODEC_ENCODER, 1, f);
        ASSERT_EQ(core_codec_add_video(&desc, 1), 0);
    }
    CoreVideoCodecDesc fresh = video_desc(RAVK_CODEC_ENCODER, 1, "fresh");
    EXPECT_EQ(core_codec_set_video(1, RAVK_CODEC_ENCODER, &fresh), 0);
    EXPECT_EQ(core_codec_set_video(2, RAVK_CODEC_ENCODER, &fresh), -1);
    EXPECT_EQ(core_codec_set_video(0, RAVK_CODEC_DECODER, &fresh), -1);
    EXPECT_EQ(core_codec_set_video(0, 3, &fresh), -1);
    EXPECT_EQ(core_codec_set_video(0, RAVK_CODEC_ENCODER, nullptr), -1);
    CoreAudioCodecDesc audio = audio_desc(RAVK_CODEC_ENCODER, RAVK_ACCEL_SOFTWARE);
    EXPECT_EQ(core_codec_set_audio(0, RAVK_CODEC_ENCODER, &audio), -1) << "empty list";
    CoreVideoCodecDesc out;
    ASSERT_EQ(core_codec_get_video(0, RAVK_CODEC_ENCODER, &out), 0);
    EXPECT_STREQ(out.family, "a");
    ASSERT_EQ(core_codec_get_video(1, RAVK_CODEC_ENCODER, &out), 0);
    EXPECT_STREQ(out.family, "fresh");
    EXPECT_EQ(core_codec_entry_count_video(RAVK_CODEC_ENCODER), 2u);
}

// Entry counts include the no-codec head; removing frees the entry's number
// at once, so emptying a list and adding again numbers from 0 and a removed
// tail can be added back.
TEST_F(ValuesTest, CodecRemoveFreesNumbersForTheNextAdd)
{
    ASSERT_EQ(core_codec_lists_create(), CORE_OK);
    const char *families[] = {"none", "a", "b"};
    for (const char *f : families) {
        CoreVideoCodecDesc desc = video_desc(RAVK_CODEC_DECODER, f[0] == 'n' ? 0 : 1, f);
        ASSERT_EQ(core_codec_add_video(&desc, 1), 0);
    }
    EXPECT_EQ(core_codec_entry_count_video(RAVK_CODEC_DECODER), 3u);
    EXPECT_EQ(core_codec_entry_count_video(RAVK_CODEC_ENCODER), 0u);
    EXPECT_EQ(core_codec_entry_count_video(3), 0u);
    EXPECT_EQ(core_codec_remove_video(3, RAVK_CODEC_DECODER), -1);
    EXPECT_EQ(core_codec_remove_video(0, 3), -1);

    ASSERT_EQ(core_codec_remove_video(2, RAVK_CODEC_DECODER), 0);  // the tail
    CoreVideoCodecDesc again = video_desc(RAVK_CODEC_DECODER, 1, "again");
    ASSERT_EQ(core_codec_add_video(&again, 1), 0);  // number 2 once more
    CoreVideoCodecDesc out;
    ASSERT_EQ(core_codec_get_video(2, RAVK_CODEC_DECODER, &out), 0);
    EXPECT_STREQ(out.family, "again");

    while (core_codec_remove_video(0, RAVK_CODEC_DECODER) == 0) {
    }
    EXPECT_EQ(core_codec_entry_count_video(RAVK_CODEC_DECODER), 0u);
    CoreVideoCodecDesc first = video_desc(RAVK_CODEC_DECODER, 1, "first");
    ASSERT_EQ(core_codec_add_video(&first, 1), 0);
    ASSERT_EQ(core_codec_get_video(0, RAVK_CODEC_DECODER, &out), 0);
    EXPECT_STREQ(out.family, "first");

    CoreAudioCodecDesc audio = audio_desc(RAVK_CODEC_ENCODER, 0);
    ASSERT_EQ(core_codec_add_audio(&audio, 1), 0);
    EXPECT_EQ(core_codec_entry_count_audio(RAVK_CODEC_ENCODER), 1u);
    EXPECT_EQ(core_codec_remove_audio(0, RAVK_CODEC_ENCODER), 0);
    EXPECT_EQ(core_codec_entry_count_audio(RAVK_CODEC_ENCODER), 0u);
}

// Evaluated modes fix one mode only when both are complete and equal.
TEST(VideoDescModes, DifferUnlessEvaluationFixedOneMode)
{
    const CoreVideoMode full = {1920, 1080, 30, 1};
    struct Case {
        const char *purpose;
        CoreVideoMode minimum;
        CoreVideoMode maximum;
        int result;
    };
    const Case cases[] = {
        {"as registered: all zero", {}, {}, 1},
        {"one complete mode", full, full, 0},
        {"complete but different", full, {1280, 720, 30, 1}, 1},
        {"denominator unset", full, {1920, 1080, 30, 0xFFFFFFFFu}, 1},
        {"equal but incomplete", {1920, 0, 30, 1}, {1920, 0, 30, 1}, 1},
    };
    for (const Case &c : cases) {
        CoreVideoCodecDesc desc = {};
        desc.minimum_mode = full;  // the registered modes play no part
        desc.maximum_mode = full;
        desc.evaluated_minimum = c.minimum;
        desc.evaluated_maximum = c.maximum;
        EXPECT_EQ(core_video_desc_modes_differ(&desc), c.result) << c.purpose;
    }
}

// ---- readers racing writers ---------------------------------------------------

// Writers replace an entry (put on a replace list) and overwrite one in
// place (set_at) with whole descriptors of one repeated byte; readers must
// always find both entries and never see zeros or a mix of two writes.
TEST_F(ValuesTest, ReadersNeverSeeMissingZeroOrTornValues)
{
    CoreValueList *list = make_list(CORE_VALUELIST_REPLACE);
    ASSERT_NE(list, nullptr);
    std::vector<uint8_t> initial(sizeof(CoreVideoCodecDesc), 1);
    ASSERT_EQ(core_valuelist_put(list, "a.replaced", CORE_VALUE_NO_INDEX, 2, initial.data(), initial.size()), 0);
    ASSERT_EQ(core_valuelist_put(list, "b.overwritten", CORE_VALUE_NO_INDEX, 2, initial.data(), initial.size()), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    auto writer = [&](bool replace) {
        std::vector<uint8_t> value(initial.size());
        for (int round = 0; round < 2000; ++round) {
            memset(value.data(), 1 + round % 200, value.size());
            int r = replace ? core_valuelist_put(list, "a.replaced", CORE_VALUE_NO_INDEX, 2, value.data(), value.size())
                            : core_valuelist_set_at(list, 1, value.data(), value.size());
            if (r != 0) failures++;
        }
    };
    auto reader = [&] {
        std::vector<uint8_t> out(initial.size());
        while (!stop.load()) {
            for (const char *name : {"a.replaced", "b.overwritten"}) {
                uint64_t size = 0;
                if (core_valuelist_get(list, name, CORE_VALUE_NO_INDEX, nullptr, out.data(), out.size(), &size) != 0 ||
                    size != out.size()) {
                    failures++;
                    continue;
                }
                bool uniform = out[0] != 0;
                for (uint8_t b : out) uniform = uniform && b == out[0];
                if (!uniform) failures++;
            }
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
    std::thread replacer(writer, true);
    std::thread overwriter(writer, false);
    replacer.join();
    overwriter.join();
    stop.store(true);
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list->entries->live, 2u);
}

}  // namespace
