// Source descriptors: the mode lists built from a source's own mode, the
// bounded copies out of a descriptor, and the property and caps slots.
#include "ravelkit/source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime_parts_fixture.h"
#include "ravelkit/devices.h"
#include "ravelkit/property.h"

namespace {

class SourceDesc : public CoreRuntimeParts<> {
protected:
    void SetUp() override
    {
        CoreRuntimeParts<>::SetUp();
        CoreName id;
        core_name_format(&id, "%s", "source.test");
        char text[] = "A source";
        CoreBuffer name{0, 1, sizeof(text), strlen(text), reinterpret_cast<uint8_t *>(text)};
        d_ = ravk_source_desc_new(&ops_, &id, &name, 1, RAVK_CLASS_SCREEN, RAVK_MEDIA_VIDEO, nullptr, 0, 0, 0, 9);
        ASSERT_NE(d_, nullptr);
    }
    void TearDown() override
    {
        ops_.free(&d_);
        CoreRuntimeParts<>::TearDown();
    }

    // The video modes after setting the source's own mode, as "WxH@N".
    std::vector<std::string> modes(uint32_t device_class, CoreVideoMode mode)
    {
        d_->device_class = device_class;
        EXPECT_EQ(ops_.set_attribute(d_, RAVK_ATTR_VIDEO_MODE, &mode, sizeof(mode)), 0);
        std::vector<std::string> out;
        uint64_t count = 0;
        EXPECT_EQ(ops_.mode_count(d_, &count), 0);
        for (uint64_t i = 0; i < count; i++) {
            CoreVideoMode m{};
            uint64_t length = 0;
            EXPECT_EQ(ops_.mode_at(d_, int32_t(i), &m, sizeof(m), &length), 0);
            EXPECT_EQ(length, sizeof(m));
            out.push_back(std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.rate_num));
        }
        return out;
    }

    RavkSourceOps ops_{};
    RavkSourceDescriptor *d_ = nullptr;
};

std::vector<std::string> at(const std::vector<std::string> &sizes, const char *rate)
{
    std::vector<std::string> out;
    for (const auto &s : sizes) out.push_back(s + "@" + rate);
    return out;
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SourceDesc, VideoModeListsFollowTheSourceMode)
{
    const std::vector<std::string> landscape = {"1920x1080", "1600x900", "1280x720", "1024x576",
                                                "960x540",   "800x450",  "768x432"};
    const std::vector<std::string> portrait = {"1080x1920", "900x1600", "720x1280", "576x1024",
                                               "540x960",   "450x800",  "432x768"};
    // 768 x 1280 / 1366 is 719 and rounds up to the even 720.
    const std::vector<std::string> laptop = {"1366x768", "1280x720", "1024x576", "960x540",
                                             "800x450",  "768x432",  "640x360"};
    const std::vector<std::string> app_fed = {"1280x720", "1152x648", "1024x576", "896x504", "768x432", "640x360"};
    const struct {
        const char *purpose;
        uint32_t device_class;
        CoreVideoMode mode;
        std::vector<std::string> expected;
    } cases[] = {
        {"a screen at 60/1 gets both rates", RAVK_CLASS_SCREEN, {1920, 1080, 60, 1},
         join(join({"0x0@0"}, at(landscape, "60")), at(landscape, "30"))},
        {"a portrait screen gets the same sizes turned", RAVK_CLASS_SCREEN, {1080, 1920, 60, 1},
         join(join({"0x0@0"}, at(portrait, "60")), at(portrait, "30"))},
        {"sizes keep the source's aspect ratio", RAVK_CLASS_SCREEN, {1366, 768, 60, 1},
         join(join({"0x0@0"}, at(laptop, "60")), at(laptop, "30"))},
        {"a 30/1 source gets no 60/1 modes", RAVK_CLASS_SCREEN, {1920, 1080, 30, 1},
         join({"0x0@0"}, at(landscape, "30"))},
        {"an app-fed source steps down to its small size", RAVK_CLASS_VIRTUAL, {1280, 720, 30, 1},
         join({"0x0@0"}, at(app_fed, "30"))},
        {"an app-fed source below the small size", RAVK_CLASS_VIRTUAL, {200, 100, 30, 1}, {"0x0@0", "200x100@30"}},
    };
    for (const auto &c : cases) EXPECT_EQ(modes(c.device_class, c.mode), c.expected) << c.purpose;

    // Narrower and lower than 256x144: the steps lie between the two sizes
    // instead of wrapping around 32 bits.
    std::vector<std::string> steps;
    for (uint64_t i = 0; i < d_->size_count; i++)
        steps.push_back(std::to_string(d_->sizes[i].width) + "x" + std::to_string(d_->sizes[i].height));
    EXPECT_EQ(steps, (std::vector<std::string>{"200x100", "212x109", "223x118", "234x127", "245x136", "256x144"}));

    EXPECT_EQ(modes(RAVK_CLASS_SCREEN, {1920, 1080, 144, 1}).size(), 15u) << "144/1 gets both rates";
    const auto once = modes(RAVK_CLASS_SCREEN, {1920, 1080, 60, 1});
    EXPECT_EQ(modes(RAVK_CLASS_SCREEN, {1920, 1080, 60, 1}), once) << "setting the mode twice does not double it";
    EXPECT_EQ(modes(RAVK_CLASS_SCREEN, {0, 1080, 60, 1}), once) << "an unusable mode keeps the previous list";
}

TEST_F(SourceDesc, AudioFormatGivesOneMode)
{
    RavkAudioFormat f{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(ops_.set_attribute(d_, RAVK_ATTR_AUDIO_FORMAT, &f, sizeof(f)), 0);
    uint64_t count = 0, length = 0;
    ops_.mode_count(d_, &count);
    EXPECT_EQ(count, 1u);
    RavkAudioFormat out{};
    ASSERT_EQ(ops_.mode_at(d_, 0, &out, sizeof(out), &length), 0);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(memcmp(&out, &f, sizeof(f)), 0);

    RavkAudioFormat unusable = f;
    unusable.bits_per_sample = 255;
    ASSERT_EQ(ops_.set_attribute(d_, RAVK_ATTR_AUDIO_FORMAT, &unusable, sizeof(unusable)), 0);
    ops_.mode_count(d_, &count);
    EXPECT_EQ(count, 1u) << "bits 255 keeps the previous list";
}

TEST_F(SourceDesc, CopiesOutAreBoundedByTheCallersCapacity)
{
    const CoreVideoMode mode{1280, 720, 30, 1};
    ASSERT_EQ(ops_.set_attribute(d_, RAVK_ATTR_MODE_A, &mode, sizeof(mode)), 0);
    uint8_t small[8] = {};
    CoreVideoMode out{};
    EXPECT_EQ(ops_.get_attribute(d_, RAVK_ATTR_MODE_A, small, sizeof(small)), -1);
    EXPECT_EQ(ops_.get_attribute(d_, RAVK_ATTR_MODE_A, &out, sizeof(out)), 0);
    EXPECT_TRUE(core_video_mode_equal(&out, &mode));
    EXPECT_EQ(ops_.get_attribute(d_, RAVK_ATTR_MODE_B, &out, sizeof(out)), -1) << "an unset id";

    // A short video mode is stored, but never read past its end.
    EXPECT_EQ(ops_.set_attribute(d_, RAVK_ATTR_VIDEO_MODE, small, 4), 0);

    EXPECT_EQ(ops_.get_selection(d_, &out, sizeof(out)), -1) << "no selection yet";
    ASSERT_EQ(ops_.set_selection(d_, &mode, sizeof(mode)), 0);
    EXPECT_EQ(ops_.get_selection(d_, small, sizeof(small)), -1);
    EXPECT_EQ(ops_.get_selection(d_, &out, sizeof(out)), 0);

    ASSERT_EQ(ops_.set_attribute(d_, RAVK_ATTR_VIDEO_MODE, &mode, sizeof(mode)), 0);
    uint64_t length = 99;
    EXPECT_EQ(ops_.mode_at(d_, 1, small, sizeof(small), &length), -1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(ops_.mode_at(d_, -1, &out, sizeof(out), &length), -1);
    char caps[4];
    ops_.set_caps(d_, "video/x-raw");
    EXPECT_EQ(ops_.get_caps(d_, caps, sizeof(caps)), 0);
    EXPECT_STREQ(caps, "vid");
}

TEST_F(SourceDesc, ModeIndexRange)
{
    const CoreVideoMode mode{1920, 1080, 30, 1};
    ops_.set_attribute(d_, RAVK_ATTR_VIDEO_MODE, &mode, sizeof(mode));
    uint64_t count = 0;
    ops_.mode_count(d_, &count);
    int32_t index = 0;
    EXPECT_EQ(ops_.get_mode_index(d_, &index), 0);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(ops_.set_mode_index(d_, int32_t(count) - 1), 0);
    EXPECT_EQ(ops_.set_mode_index(d_, int32_t(count)), -1);
    EXPECT_EQ(ops_.set_mode_index(d_, -1), 0);
    EXPECT_EQ(ops_.set_mode_index(d_, -2), -1);
}

TEST_F(SourceDesc, PropertiesAndCaps)
{
    RavkProperty *found = nullptr;
    EXPECT_EQ(ops_.find_property(d_, "blocksize", &found), 0);
    ASSERT_EQ(ops_.add_property(d_, ravk_property_new_uint("blocksize", 1)), 0);
    ASSERT_EQ(ops_.add_property(d_, ravk_property_new_boolean("do-timestamp", 1)), 0);
    ASSERT_EQ(ops_.add_property(d_, ravk_property_new_uint("blocksize", 2)), 0);
    uint64_t count = 0;
    ops_.property_count(d_, &count);
    ASSERT_EQ(count, 2u) << "a later record of the same name replaces the earlier one";
    RavkProperty *p = nullptr;
    ASSERT_EQ(ops_.property_at(d_, 1, &p), 0);
    EXPECT_STREQ(p->name, "blocksize");
    EXPECT_EQ(g_value_get_uint(&p->value), 2u);
    EXPECT_EQ(ops_.property_at(d_, 2, &p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ops_.find_property(d_, "do-timestamp", &found), 1);

    ops_.append_caps(d_, "video/x-raw");
    ops_.append_caps_fmt(d_, "width=%u", 640u);
    char caps[64];
    ops_.get_caps(d_, caps, sizeof(caps));
    EXPECT_STREQ(caps, "video/x-raw, width=640");
    std::string long_text(2000, 'x');
    ops_.append_caps(d_, long_text.c_str());
    ops_.append_caps(d_, "more");
    EXPECT_EQ(strlen(d_->caps), sizeof(d_->caps) - 1) << "appends stop at the field";

    char role[64];
    ops_.get_role(d_, role, sizeof(role));
    EXPECT_STREQ(role, "video_source_capture");
    EXPECT_EQ(ops_.unsupported(d_, 1, 2), -1);
    EXPECT_EQ(ops_.check(nullptr), -1);
    int32_t yes = 0;
    ops_.has_class(d_, RAVK_CLASS_SCREEN | RAVK_CLASS_TEST, &yes);
    EXPECT_EQ(yes, 1);
}

TEST(SourceText, FourccAndAudioFormatTexts)
{
    char text[5];
    EXPECT_STREQ(ravk_fourcc_text(core_fourcc("BGRx"), text), "BGRx");
    EXPECT_STREQ(ravk_fourcc_text(core_fourcc("aa c"), text), "aa") << "a blank ends the text";
    char format[16];
    RavkAudioFormat f{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    EXPECT_STREQ(ravk_audio_format_text(&f, format, sizeof(format)), "S16LE");
    f = RavkAudioFormat{48000, 2, 32, 0, 'F', {}};
    EXPECT_STREQ(ravk_audio_format_text(&f, format, sizeof(format)), "F32BE");
    f = RavkAudioFormat{8000, 1, 8, RAVK_AUDIO_BYTE_ORDER_LE, 'U', {}};
    EXPECT_STREQ(ravk_audio_format_text(&f, format, sizeof(format)), "U8");
}

TEST(SourceDescNew, RefusesCodecWithoutMediumAndNameWithoutData)
{
    RavkSourceOps ops{};
    CoreName id{};
    char text[] = "x";
    CoreBuffer name{0, 0, sizeof(text), 1, reinterpret_cast<uint8_t *>(text)};
    EXPECT_EQ(ravk_source_desc_new(&ops, &id, &name, 1, 0, 0x100, nullptr, 0, 0, 0, 0), nullptr);
    CoreBuffer empty{};
    EXPECT_EQ(ravk_source_desc_new(&ops, &id, &empty, 1, 0, 1, nullptr, 0, 0, 0, 0), nullptr);
}

}  // namespace
