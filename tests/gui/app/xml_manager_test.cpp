#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/xml_manager.h"
#include "app_test_support.h"
#include "core/queue.h"
#include "core/settings_records.h"

namespace {

const auto *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

const std::string kUuid = std::string(62, 'A') + "0F";

std::shared_ptr<PkXMLField> field(const std::string &name, const std::string &value)
{
    return std::make_shared<PkXMLField>(name, value);
}

std::shared_ptr<PkXMLNode> node(const std::string &name, std::vector<std::shared_ptr<PkXMLSubject>> children)
{
    auto n = std::make_shared<PkXMLNode>(name);
    for (auto &child : children) n->addChild(child);
    return n;
}

// The wrapper the writers hand over: the document's root is its only child.
PkXMLNode wrap(std::shared_ptr<PkXMLNode> root)
{
    PkXMLNode wrapper;
    wrapper.addChild(root);
    return wrapper;
}

PkXMLNode codecs_example()
{
    return wrap(node("codecs", {field("version", "1"),
                                node("audio", {node("encoders", {node("encoder.0", {
                                                                         field("maximum", "S16LE@48000:2"),
                                                                         field("minimum", "S16LE@8000:1"),
                                                                         field("uuid", kUuid),
                                                                     })})})}));
}

class XmlFiles : public apptest::DataFolder {
protected:
    uint64_t queued() const { return core_queue_count(core_settings_channel(0)->queue); }

    // Reads `text` as a file with a string value at each of `paths`.
    int read(const std::string &text, const std::vector<std::string> &paths, PkXMLObjectMap *map,
             uint64_t *skipped = nullptr)
    {
        apptest::write_file(file("read.xml"), text);
        for (const std::string &path : paths) (*map)[path] = std::make_shared<PkXMLStringObject>("default");
        return PkXMLManager::instance()->readXmlSettings(disk, file("read.xml"), *map, skipped);
    }

    static std::string value(const PkXMLObjectMap &map, const std::string &path) { return map.at(path)->toString(); }

    DiskIO<PkPath> disk;
};

TEST_F(XmlFiles, InstanceIsOneObject)
{
    EXPECT_EQ(PkXMLManager::instance().get(), PkXMLManager::instance().get());
}

TEST_F(XmlFiles, WritesTheFormattedDocument)
{
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("codecs.xml"), codecs_example()), 0);
    EXPECT_EQ(apptest::read_file(file("codecs.xml")),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<codecs>\n"
              "  <version value=\"1\"/>\n"
              "  <audio>\n"
              "    <encoders>\n"
              "      <encoder.0>\n"
              "        <maximum value=\"S16LE@48000:2\"/>\n"
              "        <minimum value=\"S16LE@8000:1\"/>\n"
              "        <uuid value=\"" +
                  kUuid +
                  "\"/>\n"
                  "      </encoder.0>\n"
                  "    </encoders>\n"
                  "  </audio>\n"
                  "</codecs>\n");
    EXPECT_EQ(queued(), 0u);
    apptest::expect_xmllint_accepts(file("codecs.xml"));

    PkXMLObjectMap map;
    auto array = std::make_shared<PkXMLArrayObject>(std::make_shared<PkXMLAudioContainer>(), "audio");
    auto version = std::make_shared<PkXMLNumberObject>(0);
    map["codecs/version"] = version;
    map["codecs/audio/encoders"] = array;
    ASSERT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("codecs.xml"), map), 0);
    EXPECT_EQ(version->value, 1);
    ASSERT_EQ(array->items().size(), 1u);
    EXPECT_EQ(array->items()[0]->field("uuid")->toString(), kUuid);
    EXPECT_EQ(array->items()[0]->field("minimum")->toString(), "S16LE@8000:1");
    EXPECT_EQ(array->items()[0]->field("maximum")->toString(), "S16LE@48000:2");
}

TEST_F(XmlFiles, EmptyTextsAndEmptyNodes)
{
    const PkXMLNode tree = wrap(
        node("settings", {field("version", ""), node("general", {field("user.info.name", "")}), node("viewer", {})}));
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"), tree), 0);
    EXPECT_EQ(apptest::read_file(file("s.xml")),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<settings>\n  <general/>\n  <viewer/>\n</settings>\n");

    PkXMLObjectMap map;
    map["settings/version"] = std::make_shared<PkXMLStringObject>("default");
    EXPECT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("s.xml"), map), 0)
        << "no entry: read, nothing taken";
    EXPECT_EQ(value(map, "settings/version"), "default");
}

TEST_F(XmlFiles, EscapedTextReadsBackUnchanged)
{
    const std::string text = "a&b<c>\"d\" 'e'\ttab\nline\r\xC3\xA9";
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"),
                                                         wrap(node("settings", {field("name", text)}))),
              0);
    const std::string written = apptest::read_file(file("s.xml"));
    EXPECT_NE(written.find("a&amp;b&lt;c&gt;&quot;d&quot;"), std::string::npos) << written;
    apptest::expect_xmllint_accepts(file("s.xml"));

    PkXMLObjectMap map;
    map["settings/name"] = std::make_shared<PkXMLStringObject>();
    ASSERT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("s.xml"), map), 0);
    EXPECT_EQ(value(map, "settings/name"), text);
}

TEST_F(XmlFiles, FailedWritesKeepThePreviousFile)
{
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"), codecs_example()), 0);
    const std::string previous = apptest::read_file(file("s.xml"));

    struct Case {
        const char *what;
        PkXMLNode tree;
        int result;
    };
    const Case cases[] = {
        {"4097 bytes", wrap(node("settings", {field("a", "1"), field("big", std::string(4097, 'x'))})), -1},
        {"nested 4097 bytes", wrap(node("settings", {node("g", {field("big", std::string(4097, 'x'))})})), -1},
        {"no records", PkXMLNode(), 1},
        {"not an XML name", wrap(node("settings", {field("1bad name", "x")})), 1},
        {"control byte in a value", wrap(node("settings", {field("a", std::string("x\x01y"))})), 1},
        {"broken UTF-8", wrap(node("settings", {field("a", "\xC3")})), 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"), c.tree), c.result) << c.what;
        EXPECT_EQ(apptest::read_file(file("s.xml")), previous) << c.what;
        EXPECT_EQ(queued(), 0u) << c.what << ": nothing may stay queued for the next write";
    }

    EXPECT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("missing/s.xml"), codecs_example()), -1)
        << "a file that cannot be written is not reported as saved";

    // The largest value is written whole and reads back whole.
    const std::string largest(CORE_SETTINGS_VALUE_MAX, 'y');
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"),
                                                         wrap(node("settings", {field("big", largest)}))),
              0);
    PkXMLObjectMap map;
    map["settings/big"] = std::make_shared<PkXMLStringObject>();
    ASSERT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("s.xml"), map), 0);
    EXPECT_EQ(value(map, "settings/big"), largest);
}

TEST_F(XmlFiles, NoSettingsStreamNoWrite)
{
    ASSERT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"), codecs_example()), 0);
    const std::string previous = apptest::read_file(file("s.xml"));
    core_settings_stream_stop();
    EXPECT_EQ(PkXMLManager::instance()->serialize(codecs_example()), -1);
    EXPECT_EQ(PkXMLManager::instance()->writeXmlSettings(disk, file("s.xml"), codecs_example()), -1);
    EXPECT_EQ(apptest::read_file(file("s.xml")), previous);

    // A read needs no stream.
    PkXMLObjectMap map;
    map["codecs/version"] = std::make_shared<PkXMLStringObject>();
    map["codecs/audio/encoders"] = std::make_shared<PkXMLArrayObject>(std::make_shared<PkXMLAudioContainer>(), "audio");
    EXPECT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("s.xml"), map), 0);
    EXPECT_EQ(value(map, "codecs/version"), "1");
    ASSERT_EQ(core_settings_stream_start(), CORE_OK);
}

TEST_F(XmlFiles, SerializeStopsAtTheFirstFailureAndLeavesNothingQueued)
{
    ASSERT_EQ(PkXMLManager::instance()->serialize(codecs_example()), 0);
    EXPECT_EQ(queued(), 12u) << "one record per open, field and close";
    core_queue_flush(core_settings_channel(0)->queue);
    EXPECT_EQ(PkXMLManager::instance()->serialize(
                  wrap(node("settings", {field("a", "1"), field("b", std::string(4097, 'x'))}))),
              -1);
    EXPECT_EQ(queued(), 0u);
}

// ---- reading hand-edited and broken files ----

struct ReadCase {
    const char *what;
    std::string text;
    int result;
    std::string version;  // what settings/version holds afterwards
    std::string name;     // what settings/general/name holds afterwards
    uint64_t skipped;
};

TEST_F(XmlFiles, ReadsWhatCanBeRead)
{
    const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    const ReadCase cases[] = {
        {"plain", head + "<settings><version value=\"5\"/><general><name value=\"n\"/></general></settings>", 0, "5",
         "n", 0},
        {"comments and reordered elements",
         head + "<!-- mine -->\n<settings>\n <general>\n  <!-- who -->\n  <name value=\"n\"/>\n </general>\n"
                " <version value=\"5\"/>\n</settings>\n",
         0, "5", "n", 0},
        {"unknown elements are skipped",
         head + "<settings><version value=\"5\"/><general><extra value=\"x\"/><name value=\"n\"/></general>"
                "<future><a value=\"1\"/></future></settings>",
         0, "5", "n", 2},
        {"an element without a value gives nothing",
         head + "<settings><version/><general><name value=\"n\" other=\"1\"/></general></settings>", 0, "default", "n",
         0},
        {"broken XML keeps what came before the break",
         head + "<settings><version value=\"5\"/><general><name value=\"n\"></general>", 0, "5", "n", 0},
        {"no declaration, single quotes", "<settings><version value='7'/></settings>", 0, "7", "default", 0},
        {"not XML at all", "hello, world", 0, "default", "default", 0},
        {"another kind of file", head + "<config><version value=\"5\"/></config>", -1, "default", "default", 1},
        {"empty file", "", -1, "default", "default", 0},
        {"entity in a value", head + "<settings><version value=\"&lt;5&gt;\"/></settings>", 0, "<5>", "default", 0},
        {"no external entities",
         head + "<!DOCTYPE settings [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>"
                "<settings><version value=\"&x;\"/></settings>",
         0, "", "default", 0},
    };
    for (const ReadCase &c : cases) {
        PkXMLObjectMap map;
        uint64_t skipped = 99;
        EXPECT_EQ(read(c.text, {"settings/version", "settings/general/name"}, &map, &skipped), c.result) << c.what;
        EXPECT_EQ(value(map, "settings/version"), c.version) << c.what;
        EXPECT_EQ(value(map, "settings/general/name"), c.name) << c.what;
        EXPECT_EQ(skipped, c.skipped) << c.what;
    }
}

TEST_F(XmlFiles, UnreadableValuesKeepTheirDefault)
{
    PkXMLObjectMap map;
    auto number = std::make_shared<PkXMLNumberObject>(5);
    auto other = std::make_shared<PkXMLNumberObject>(1);
    map["settings/number"] = number;
    map["settings/other"] = other;
    auto array = std::make_shared<PkXMLArrayObject>(std::make_shared<PkXMLVideoContainer>(), "video");
    map["settings/video"] = array;
    apptest::write_file(file("s.xml"),
                        "<settings><number value=\"abc\"/><other value=\"99999999999999999999\"/>"
                        "<video><encoders><encoder.x><uuid value=\"AB\"/></encoder.x>"
                        "<encoder.0><minimum value=\"640x360@30 Hz\"/></encoder.0></encoders></video></settings>");
    uint64_t skipped = 0;
    EXPECT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("s.xml"), map, &skipped), 0);
    EXPECT_EQ(number->value, 5);
    EXPECT_EQ(other->value, 1);
    EXPECT_EQ(skipped, 1u) << "the item with an unreadable index";
    ASSERT_EQ(array->items().size(), 1u);
    EXPECT_EQ(array->items()[0]->field("minimum")->toString(), "640x360@30 Hz");
}

TEST_F(XmlFiles, OversizedInputIsBounded)
{
    // A value longer than a writer may post is cut, not refused.
    PkXMLObjectMap map;
    EXPECT_EQ(read("<settings><version value=\"" + std::string(5000, 'v') + "\"/></settings>", {"settings/version"},
                   &map),
              0);
    EXPECT_EQ(value(map, "settings/version"), std::string(CORE_SETTING_VALUE_MAX, 'v'));

    // A file larger than any settings file is not read at all.
    apptest::write_file(file("huge.xml"), "<settings><version value=\"5\"/></settings>");
    std::filesystem::resize_file(file("huge.xml"), PK_XML_FILE_MAX + 1);
    PkXMLObjectMap hugeMap;
    hugeMap["settings/version"] = std::make_shared<PkXMLStringObject>("default");
    EXPECT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("huge.xml"), hugeMap), -1);
    EXPECT_EQ(value(hugeMap, "settings/version"), "default");

    PkXMLObjectMap missingMap;
    EXPECT_EQ(PkXMLManager::instance()->readXmlSettings(disk, file("missing.xml"), missingMap), -1);
}

}  // namespace
