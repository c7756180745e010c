#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/xml_objects.h"
#include "ravelkit/devices.h"

namespace {

// ---- boolean ----

struct BoolCase {
    std::string text;
    bool value;
};

TEST(XmlBoolean, OnlyExactYesIsTrue)
{
    const BoolCase cases[] = {
        {"YES", true}, {"yes", false}, {"Yes", false}, {"YES ", false}, {" YES", false}, {"", false}, {"NO", false},
        {"1", false},  {"true", false},
    };
    for (const BoolCase &c : cases) {
        PkXMLBooleanObject value(!c.value);
        value.fromString(c.text);
        EXPECT_EQ(value.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(value.toString(), c.value ? "YES" : "NO");
        ASSERT_EQ(value.size(), 1);
        EXPECT_EQ(*value.data(), c.value ? 1 : 0);
    }
}

// ---- number ----

struct NumberCase {
    std::string text;
    int64_t value;
    std::string written;
};

TEST(XmlNumber, ParsesLikeStoll)
{
    const NumberCase cases[] = {
        {"-5", -5, "-5"},
        {" 7", 7, "7"},
        {"12abc", 12, "12"},
        {"+3", 3, "3"},
        {"007", 7, "7"},
        {"9223372036854775807", std::numeric_limits<int64_t>::max(), "9223372036854775807"},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
    };
    for (const NumberCase &c : cases) {
        PkXMLNumberObject value(99);
        value.fromString(c.text);
        EXPECT_EQ(value.value, c.value) << c.text;
        EXPECT_EQ(value.toString(), c.written) << c.text;
        ASSERT_EQ(value.size(), 8);
        int64_t raw;
        memcpy(&raw, value.data(), sizeof(raw));
        EXPECT_EQ(raw, c.value);
    }
}

TEST(XmlNumber, UnreadableTextThrowsAndKeepsTheValue)
{
    struct Failure {
        std::string text;
        bool outOfRange;
    };
    const Failure cases[] = {
        {"abc", false}, {"", false}, {"-", false}, {" x1", false},
        {"9223372036854775808", true}, {"-9223372036854775809", true},
    };
    for (const Failure &c : cases) {
        PkXMLNumberObject value(42);
        try {
            value.fromString(c.text);
            ADD_FAILURE() << c.text << " was read";
        } catch (const std::out_of_range &e) {
            EXPECT_TRUE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), "stoll argument out of range");
        } catch (const std::invalid_argument &e) {
            EXPECT_FALSE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), "invalid stoll argument");
        }
        EXPECT_EQ(value.value, 42) << c.text;
    }
}

// ---- uuid ----

TEST(XmlUuid, HexadecimalParseRules)
{
    struct Case {
        std::string text;
        std::vector<uint8_t> head;  // the first bytes; the rest must be zero
    };
    const std::string seventy = std::string(64, 'a') + "FFFFFF";
    const Case cases[] = {
        {"", {}},
        {"ABC", {0xAB, 0x0C}},
        {"abcdef", {0xAB, 0xCD, 0xEF}},
        {"G1", {0x01}},  // a non-digit counts as 0
        {seventy, std::vector<uint8_t>(32, 0xAA)},
    };
    for (const Case &c : cases) {
        PkXMLUUIDObject value(PkXID::fromText("previous value is replaced....."));
        value.fromString(c.text);
        for (size_t i = 0; i < PK_XID_SIZE; ++i)
            EXPECT_EQ(value.value.key[i], i < c.head.size() ? c.head[i] : 0) << c.text << " byte " << i;
    }
}

TEST(XmlUuid, WritesCharacterCodesOfEngineIds)
{
    PkXMLUUIDObject none(PkXID::fromText(NONE_ID));
    EXPECT_EQ(none.toString().substr(0, 8), "46443438");
    EXPECT_EQ(none.toString().size(), 64u);
    PkXMLUUIDObject fallback(PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(fallback.toString().substr(0, 8), "34444438");

    PkXMLUUIDObject copy(PkXID{});
    copy.fromString(fallback.toString());
    EXPECT_EQ(copy.value, fallback.value);

    PkXMLUUIDObject zero(PkXID{});
    EXPECT_EQ(zero.toString(), std::string(64, '0'));
    EXPECT_EQ(zero.size(), 64);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(zero.data()), 64), std::string(64, '0'));

    PkXMLUUIDObject lower(PkXID{});
    lower.fromString(std::string(64, 'f'));
    EXPECT_EQ(lower.toString(), std::string(64, 'F'));
}

// ---- audio format, video mode ----

TEST(XmlDimension, TextFormAndFallback)
{
    PkXMLDimensionObject zero;
    EXPECT_EQ(zero.toString(), "");
    EXPECT_EQ(zero.size(), 0);

    PkXMLDimensionObject format;
    format.fromString("S16LE@48000:2");
    EXPECT_EQ(format.value.rate, 48000u);
    EXPECT_EQ(format.value.channels, 2);
    EXPECT_EQ(format.value.bits, 16);
    EXPECT_EQ(format.value.byteOrder, PK_BYTE_ORDER_LE);
    EXPECT_EQ(format.value.sampleType, 'S');
    EXPECT_EQ(format.toString(), "S16LE@48000:2");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(format.data()), format.size()), "S16LE@48000:2");

    for (const char *text : {"", "S16LE", "garbage", "S16LE@48000"}) {
        PkXMLDimensionObject value(format.value);
        value.fromString(text);
        EXPECT_EQ(value.toString(), "") << text;
    }
}

TEST(XmlResolution, TextFormAndParse)
{
    struct Case {
        std::string text;
        PkVideoMode mode;
    };
    const Case cases[] = {
        {"1280x720@30 Hz", {1280, 720, 30, 1}},
        {"1920x1080@60 Hz", {1920, 1080, 60, 1}},
        {"1920x1080", {}},
        {"1920x1080@60", {}},
        {"0x0@0 Hz", {}},
        {"", {}},
        {"axb@c Hz", {}},
        {"99999999999x1@1 Hz", {}},
    };
    for (const Case &c : cases) {
        PkXMLResolutionObject value(PkVideoMode{1, 1, 1, 1});
        value.fromString(c.text);
        EXPECT_EQ(memcmp(&value.value, &c.mode, sizeof(c.mode)), 0) << c.text;
    }
    EXPECT_EQ(PkXMLResolutionObject().toString(), "0x0@0 Hz");
    EXPECT_EQ(PkXMLResolutionObject(PkVideoMode{1280, 720, 30, 1}).toString(), "1280x720@30 Hz");
    EXPECT_EQ(PkXMLResolutionObject(PkVideoMode{1920, 1080, 60000, 1001}).toString(), "1920x1080@59 Hz");
    EXPECT_EQ(PkXMLResolutionObject(PkVideoMode{640, 480, 25, 0}).toString(), "640x480@25 Hz");

    PkXMLResolutionObject mode(PkVideoMode{1280, 720, 30, 1});
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(mode.data()), mode.size()), "1280x720@30 Hz");
}

TEST(XmlTextBuffer, DataStaysValidUntilTheNextCallOfTheSameClass)
{
    PkXMLResolutionObject a(PkVideoMode{1, 2, 3, 1});
    PkXMLUUIDObject id(PkXID{});
    const uint8_t *first = a.data();
    const std::string copied(reinterpret_cast<const char *>(first), a.size());
    id.data();  // another class: its own buffer
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(first), a.size()), copied);
}

// ---- choices ----

TEST(XmlChoice, ExactMatchOrDefault)
{
    struct Case {
        std::string text;
        std::string profile, policy, delay;
    };
    const Case cases[] = {
        {"", "low", "adaptive", "3000"},
        {"Low", "low", "adaptive", "3000"},
        {"super", "super", "adaptive", "3000"},
        {"automatic", "automatic", "adaptive", "3000"},
        {"constant", "low", "constant", "3000"},
        {"fast", "low", "adaptive", "3000"},
        {"100", "low", "adaptive", "3000"},
        {"250", "low", "adaptive", "250"},
        {"0", "low", "adaptive", "0"},
        {"250 ", "low", "adaptive", "3000"},
    };
    for (const Case &c : cases) {
        PkXMLResolutionProfileObject profile;
        PkXMLBitratePolicyObject policy;
        PkXMLPlaybackObject delay;
        profile.fromString(c.text);
        policy.fromString(c.text);
        delay.fromString(c.text);
        EXPECT_EQ(profile.toString(), c.profile) << c.text;
        EXPECT_EQ(policy.toString(), c.policy) << c.text;
        EXPECT_EQ(delay.toString(), c.delay) << c.text;
    }
    EXPECT_EQ(PkXMLPlaybackObject().toString(), "") << "a new choice holds the empty text";
}

TEST(XmlChoice, ListsInDisplayOrder)
{
    EXPECT_EQ(PkXMLResolutionProfileObject::values(),
              (std::vector<std::string>{"automatic", "maximum", "super", "high", "medium", "classic", "low"}));
    EXPECT_EQ(PkXMLBitratePolicyObject::values(), (std::vector<std::string>{"adaptive", "constant"}));
    EXPECT_EQ(PkXMLPlaybackObject::values(),
              (std::vector<std::string>{"0", "250", "500", "1000", "1500", "2000", "2500", "3000"}));
    EXPECT_EQ(PkXMLBitratePolicyObject::defaultIndex(), 0);
    EXPECT_EQ(PkXMLPlaybackObject::defaultIndex(), 7);
    for (const std::string &each : PkXMLResolutionProfileObject::values()) {
        PkXMLResolutionProfileObject value;
        value.fromString(each);
        EXPECT_EQ(value.value, each);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(value.data()), value.size()), each);
    }
}

// ---- bytes ----

TEST(XmlData, Base64TextForm)
{
    PkXMLDataObject empty;
    EXPECT_EQ(empty.toString(), "");
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_EQ(empty.size(), 0);

    PkXMLDataObject abc(std::vector<uint8_t>{'a', 'b', 'c'});
    EXPECT_EQ(abc.toString(), "YWJj");
    abc.fromString("");
    EXPECT_EQ(abc.bytes(), (std::vector<uint8_t>{'a', 'b', 'c'})) << "empty text changes nothing";

    struct Case {
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"YWJj", "abc"}, {"YQ==", "a"}, {"YQ", "a"}, {"YWI=", "ab"}, {"YWI", "ab"}, {"-_8=", "\xfb\xff"},
    };
    for (const Case &c : cases) {
        PkXMLDataObject value(std::vector<uint8_t>{1, 2, 3, 4});
        value.fromString(c.text);
        EXPECT_EQ(std::string(value.value.begin(), value.value.end()), c.bytes) << c.text;
    }

    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    PkXMLDataObject written(all);
    PkXMLDataObject read;
    read.fromString(written.toString());
    EXPECT_EQ(read.bytes(), all);
    EXPECT_EQ(written.data(), written.value.data());
}

TEST(XmlCopies, ACopyHoldsItsOwnValue)
{
    PkXMLNumberObject number(1);
    PkXMLNumberObject numberCopy(number);
    number.fromString("2");
    EXPECT_EQ(numberCopy.value, 1);

    PkXMLDataObject data(std::vector<uint8_t>{1});
    PkXMLDataObject dataCopy(data);
    data.fromString("AgI=");
    EXPECT_EQ(dataCopy.bytes(), std::vector<uint8_t>{1});
}

}  // namespace
