#include <gtest/gtest.h>

#include <vector>

#include "core/cpu.h"
#include "core/smbios.h"
#include "core/video.h"

namespace {

TEST(CoreFrame, SizeAndBitsPerPixel)
{
    struct Case {
        uint32_t fourcc;
        uint32_t w, h;
        uint64_t size;
        uint32_t bpp;
    } cases[] = {
        {core_fourcc("I420"), 1920, 1080, 1920 * 1080 * 3 / 2, 12},
        {core_fourcc("I420"), 7, 5, 47, 12},  // chroma planes round down
        {core_fourcc("NV12"), 2, 2, 6, 12},
        {core_fourcc("YUY2"), 1920, 1080, 1920 * 1080 * 2, 16},
        {core_fourcc("UYVY"), 3, 1, 3 + 2, 16},
        {core_fourcc("I444"), 4, 4, 48, 24},
        {core_fourcc("BGRx"), 10, 10, 400, 32},
        {core_fourcc("MJPG"), 1920, 1080, 0, 0},
    };
    for (const Case &c : cases) {
        CoreFrameSize size{c.w, c.h};
        EXPECT_EQ(core_frame_size(c.fourcc, &size), c.size) << std::hex << c.fourcc;
        EXPECT_EQ(core_frame_bpp(c.fourcc), c.bpp) << std::hex << c.fourcc;
    }
    EXPECT_EQ(core_fourcc("I420"), 0x30323449u);
}

TEST(CoreVideoMode, AlignRoundsToNearestStep)
{
    struct Case {
        uint32_t value, step, expected;
    } cases[] = {
        {1918, 16, 1920}, {1922, 16, 1920}, {1928, 16, 1936},  // half a step rounds up
        {1921, 1, 1921},  {1921, 0, 1921},  {0, 16, 0},
    };
    for (const Case &c : cases) {
        CoreVideoMode mode{c.value, c.value, 30, 1};
        core_video_mode_align(&mode, c.step, c.step);
        EXPECT_EQ(mode.width, c.expected) << c.value << "/" << c.step;
        EXPECT_EQ(mode.height, c.expected);
    }
    CoreVideoMode a{1, 2, 3, 4}, b{1, 2, 3, 4}, d{1, 2, 3, 5};
    EXPECT_EQ(core_video_mode_equal(&a, &b), 1);
    EXPECT_EQ(core_video_mode_equal(&a, &d), 0);
    CoreVideoMode open_rate{1920, 1080, 30, 0xFFFFFFFFu};
    EXPECT_FALSE(core_video_mode_complete(&open_rate));
    EXPECT_TRUE(core_video_mode_complete(&a));
}

TEST(CoreCpu, ClassByProcessorCount)
{
    struct Case {
        uint32_t n;
        int cls;
    } cases[] = {{0, 0}, {3, 0}, {4, 1}, {7, 1}, {12, 2}, {16, 3}, {63, 4}, {64, 5}, {255, 6}, {256, 7}, {100000, 7}};
    for (const Case &c : cases) EXPECT_EQ(core_cpu_class_for(c.n), c.cls) << c.n;

    core_cpu_count_override(12);
    EXPECT_EQ(core_cpu_count(), 12u);
    EXPECT_EQ(core_cpu_class(), 2);
    core_cpu_count_override(0);
    EXPECT_GE(core_cpu_count(), 1u);
}

// Builds a raw table: header, then the given structures, then an end marker.
std::vector<uint8_t> smbios_table(const std::vector<std::vector<uint8_t>> &structures)
{
    std::vector<uint8_t> table;
    for (const auto &s : structures) table.insert(table.end(), s.begin(), s.end());
    const uint8_t end[] = {127, 4, 0, 0, 0, 0};
    table.insert(table.end(), end, end + sizeof(end));
    std::vector<uint8_t> raw = {0, 3, 4, 0};
    uint32_t n = static_cast<uint32_t>(table.size());
    for (int i = 0; i < 4; ++i) raw.push_back(static_cast<uint8_t>(n >> (8 * i)));
    raw.insert(raw.end(), table.begin(), table.end());
    return raw;
}

// Type 1 with a formatted area of 8 bytes: manufacturer (4), product (5),
// version (6), serial (7) string numbers.
std::vector<uint8_t> system_info(uint8_t serial_number, const std::string &strings)
{
    std::vector<uint8_t> s = {1, 8, 0x01, 0x00, 1, 2, 0, serial_number};
    s.insert(s.end(), strings.begin(), strings.end());
    s.push_back(0);
    s.push_back(0);
    return s;
}

TEST(CoreSmbios, SystemInformationStrings)
{
    std::vector<uint8_t> bios = {0, 4, 0, 0};  // type 0 with no strings
    bios.push_back(0);
    bios.push_back(0);
    std::vector<uint8_t> other = {2, 5, 0, 0, 1};
    std::string board = "Board";
    other.insert(other.end(), board.begin(), board.end());
    other.push_back(0);
    other.push_back(0);

    auto raw = smbios_table({bios, other, system_info(2, std::string("Maker\0Model", 11))});
    const char *maker = core_smbios_string(raw.data(), raw.size(), 4);
    ASSERT_NE(maker, nullptr);
    EXPECT_STREQ(maker, "Maker");
    EXPECT_STREQ(core_smbios_string(raw.data(), raw.size(), 5), "Model");
    EXPECT_STREQ(core_smbios_string(raw.data(), raw.size(), 7), "Model");
    EXPECT_STREQ(core_smbios_string(raw.data(), raw.size(), 256 + 4), "Maker");  // offset modulo 256
    EXPECT_EQ(core_smbios_string(raw.data(), raw.size(), 6), nullptr);            // string number 0
}

TEST(CoreSmbios, RejectsBadTables)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> raw;
        uint32_t offset;
    } cases[] = {
        {"string number past the set", smbios_table({system_info(3, std::string("A\0B", 3))}), 7},
        {"byte 0x80 in the text", smbios_table({system_info(1, "Bad\x80")}), 7},
        {"offset past the formatted area", smbios_table({system_info(1, "A")}), 40},
        {"formatted length below 4", smbios_table({{1, 3, 0, 0, 0, 0}}), 4},
        {"no type 1", smbios_table({}), 4},
        {"header only", {0, 3, 4, 0, 0, 0, 0, 0}, 4},
        {"shorter than a header", {0, 3}, 4},
    };
    for (const Case &c : cases) EXPECT_EQ(core_smbios_string(c.raw.data(), c.raw.size(), c.offset), nullptr) << c.what;

    // A header that claims more than the buffer holds: reads stop at the
    // buffer's end, and a string without its terminator is not returned.
    auto raw = smbios_table({system_info(1, "Serial")});
    raw.resize(8 + 8 + 3);  // cut inside "Serial"
    EXPECT_EQ(core_smbios_string(raw.data(), raw.size(), 7), nullptr);
    EXPECT_EQ(core_smbios_string(nullptr, 0, 7), nullptr);
}

}  // namespace
