#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/executor.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/settings_records.h"
#include "core/tlv.h"

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;  // path, value

// One record as the settings writer posts it, or raw payload bytes.
struct Post {
    uint32_t type;
    std::string name;
    std::string value;
    std::vector<uint8_t> raw = {};
    bool is_raw = false;
};
Post open(const std::string &name) { return {CORE_SETTINGS_OPEN, name, ""}; }
Post close(const std::string &name) { return {CORE_SETTINGS_CLOSE, name, ""}; }
Post field(const std::string &name, const std::string &value) { return {CORE_SETTINGS_FIELD, name, value}; }
Post raw(const std::string &name, std::vector<uint8_t> bytes) { return {CORE_SETTINGS_FIELD, name, "", bytes, true}; }

std::vector<uint8_t> blob_head(uint32_t length)
{
    return {0x62, uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
}

void post(CoreChannel *channel, const Post &p)
{
    CoreName name;
    core_name_format(&name, "%s", p.name.c_str());
    if (p.is_raw) {
        CoreIoVec vec = {p.raw.size(), p.raw.data()};
        ASSERT_EQ(core_queue_post(channel->queue, &name, p.type, 0, &vec, 1), 0);
        return;
    }
    const CoreTlvItem item = {CORE_TLV_BLOB, p.value.size(), p.value.data()};
    ASSERT_EQ(core_tlv_send(channel, &name, p.type, 0, &item, 1), CORE_OK);
}

std::string dump(xmlDoc *doc)
{
    xmlChar *text = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &text, &size);
    std::string out(reinterpret_cast<char *>(text), size);
    xmlFree(text);
    return out;
}

Records flatten(xmlNode *node, const char *path)
{
    CoreSettingRecord *head = core_xml_to_records(node, path);
    Records out;
    for (CoreSettingRecord *r = head; r != nullptr; r = r->next) {
        EXPECT_EQ(r->length, strlen(r->value)) << r->path;
        EXPECT_LE(strlen(r->path), CORE_SETTING_PATH_MAX);
        out.emplace_back(r->path, r->value);
    }
    core_setting_records_free(head);
    return out;
}

Records flatten_text(const std::string &xml, const char *path = nullptr)
{
    xmlDoc *doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "inline.xml", nullptr, XML_PARSE_NONET);
    EXPECT_NE(doc, nullptr) << xml;
    if (doc == nullptr) return {};
    Records out = flatten(xmlDocGetRootElement(doc), path);
    xmlFreeDoc(doc);
    return out;
}

const char kDeclaration[] = "<?xml version=\"1.0\"?>\n";

// The stream draws from a named pool: the runtime pieces under the pool
// registry are up for the whole program, as after system start.
class PoolRegistry : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(core_executor_registry_start(), CORE_OK);
        core_name_format(&executor_, "%s", CORE_DEFAULT_EXECUTOR);
        ASSERT_EQ(core_executor_create(&executor_), 0);
        ASSERT_EQ(core_pool_registry_start(0), CORE_OK);
    }
    void TearDown() override
    {
        core_pool_registry_stop();
        core_executor_registry_stop();
    }

private:
    CoreName executor_;
};
const auto *const kRegistry = ::testing::AddGlobalTestEnvironment(new PoolRegistry);

class SettingsStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_settings_stream_start(), CORE_OK);
        channel = core_settings_channel(0);
        ASSERT_NE(channel, nullptr);
        doc = xmlNewDoc(BAD_CAST "1.0");
    }
    void TearDown() override
    {
        xmlFreeDoc(doc);
        core_settings_stream_stop();
    }
    CoreResult write(const std::vector<Post> &posts)
    {
        for (const Post &p : posts) post(channel, p);
        return core_records_to_xml(doc, channel);
    }
    CoreChannel *channel = nullptr;
    xmlDoc *doc = nullptr;
};

TEST_F(SettingsStream, WritesTheDocumentedTreeAndReadsItBack)
{
    ASSERT_EQ(write({open("settings"), open("general"), field("language", "de"), close("general"),
                     close("settings")}),
              CORE_OK);
    EXPECT_EQ(dump(doc), std::string(kDeclaration) +
                             "<settings><general><language value=\"de\"/></general></settings>\n");
    EXPECT_EQ(core_queue_count(channel->queue), 0u);
    EXPECT_EQ(flatten(xmlDocGetRootElement(doc), nullptr), (Records{{"settings/general/language", "de"}}));
}

// What we write must be a file other tools accept and we read back whole.
TEST_F(SettingsStream, RoundTripsThroughAFileXmllintAccepts)
{
    const std::string longest(CORE_SETTINGS_VALUE_MAX, 'v');
    const std::string awkward = "<a href=\"x\">&amp; 'q'\t\r\n caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5";
    ASSERT_EQ(write({open("settings"), open("video"), field("width", "1920"), field("codec", awkward),
                     close("video"), field("volume", "80"), open("network"), open("peers"),
                     field("peer", "192.0.2.7"), close("peers"), field("key", longest), close("network"),
                     close("settings")}),
              CORE_OK);

    const std::string path = ::testing::TempDir() + "settings_round_trip.xml";
    ASSERT_GT(xmlSaveFormatFileEnc(path.c_str(), doc, "UTF-8", 1), 0);
    const std::string lint = "xmllint --noout '" + path + "' 2>&1";
    if (system("command -v xmllint >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "xmllint is missing (package libxml2-utils)";
    } else {
        EXPECT_EQ(system(lint.c_str()), 0) << "xmllint refused " << path;
    }

    xmlDoc *read = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    ASSERT_NE(read, nullptr);
    const Records records = flatten(xmlDocGetRootElement(read), nullptr);
    xmlFreeDoc(read);
    // The longest value a writer may send reads back whole.
    EXPECT_EQ(records, (Records{{"settings/video/width", "1920"},
                                {"settings/video/codec", awkward},
                                {"settings/volume", "80"},
                                {"settings/network/peers/peer", "192.0.2.7"},
                                {"settings/network/key", longest}}));
    remove(path.c_str());
}

TEST_F(SettingsStream, StreamFaultsEndCleanlyAndOversizedBlobsFail)
{
    const std::string no_root = kDeclaration;
    const struct {
        const char *purpose;
        std::vector<Post> posts;
        CoreResult result;
        std::string xml;
    } cases[] = {
        {"first record without a blob: nothing to build on", {raw("s", {0x61, 0, 0, 0, 0}), open("s")}, CORE_OK,
         no_root},
        {"a record without a blob inside the tree is skipped",
         {open("s"), raw("t", {0x61, 0, 0, 0, 1, 'x'}), field("a", "1"), close("s")}, CORE_OK,
         "<s><a value=\"1\"/></s>\n"},
        {"a payload shorter than an item head is skipped",
         {open("s"), raw("t", {0x62, 0}), close("s")}, CORE_OK, "<s/>\n"},
        {"an empty blob of another type changes nothing",
         {open("s"), {7, "g", ""}, field("a", "1"), close("s")}, CORE_OK, "<s><a value=\"1\"/></s>\n"},
        {"records after the root closes are dropped", {open("s"), close("s"), open("x")}, CORE_OK, "<s/>\n"},
        {"a stream that stops early keeps what came", {open("s"), open("g"), field("a", "1")}, CORE_OK,
         "<s><g><a value=\"1\"/></g></s>\n"},
        {"field one byte over the limit", {open("s"), field("a", std::string(CORE_SETTINGS_VALUE_MAX + 1, 'x'))},
         CORE_FAIL, "<s/>\n"},
        {"blob longer than its record", {open("s"), raw("a", {0x62, 0, 0, 0, 16, 'a', 'b'})}, CORE_FAIL,
         "<s/>\n"},
        {"blob head over the item limit", {raw("s", blob_head(CORE_TLV_BLOB_MAX + 1))}, CORE_FAIL, no_root},
        {"root name that is no XML name", {open("1st"), field("a", "1")}, CORE_FAIL, no_root},
        {"empty root name", {open("")}, CORE_FAIL, no_root},
        {"field name that is no XML name", {open("s"), field("a b", "1"), close("s")}, CORE_FAIL, "<s/>\n"},
        // Each of these values would be written in a form the parser refuses.
        {"value with a control byte", {open("s"), field("a", "x\x01y")}, CORE_FAIL, "<s/>\n"},
        {"value with a zero byte inside", {open("s"), field("a", std::string("x\0y", 3))}, CORE_FAIL, "<s/>\n"},
        {"value with half a character", {open("s"), field("a", "caf\xC3")}, CORE_FAIL, "<s/>\n"},
        {"value with an overlong slash", {open("s"), field("a", "\xC0\xAF")}, CORE_FAIL, "<s/>\n"},
        {"value with a surrogate", {open("s"), field("a", "\xED\xA0\x80")}, CORE_FAIL, "<s/>\n"},
        {"value with U+FFFE", {open("s"), field("a", "\xEF\xBF\xBE")}, CORE_FAIL, "<s/>\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        xmlFreeDoc(doc);
        doc = xmlNewDoc(BAD_CAST "1.0");
        EXPECT_EQ(write(c.posts), c.result);
        EXPECT_EQ(dump(doc), c.xml == no_root ? no_root : std::string(kDeclaration) + c.xml);
        EXPECT_EQ(core_queue_count(channel->queue), 0u) << "the channel is left empty";
    }
}

TEST_F(SettingsStream, ADocumentThatHasARootIsLeftAlone)
{
    xmlDocSetRootElement(doc, xmlNewNode(nullptr, BAD_CAST "old"));
    EXPECT_EQ(write({open("settings"), field("a", "1"), close("settings")}), CORE_OK);
    EXPECT_EQ(dump(doc), std::string(kDeclaration) + "<old/>\n");
    EXPECT_EQ(core_queue_count(channel->queue), 0u);
}

TEST(SettingsStreamLifecycle, StartsOnceStopsCleanlyAndBoundsItsPool)
{
    core_settings_stream_stop();  // not started: nothing happens
    EXPECT_EQ(core_settings_channel(0), nullptr);
    ASSERT_EQ(core_settings_stream_start(), CORE_OK);
    EXPECT_EQ(core_settings_stream_start(), CORE_FAIL);
    CoreChannel *channels[CORE_SETTINGS_CHANNELS];
    for (uint32_t i = 0; i < CORE_SETTINGS_CHANNELS; ++i) {
        channels[i] = core_settings_channel(i);
        ASSERT_NE(channels[i], nullptr);
        for (uint32_t j = 0; j < i; ++j) EXPECT_NE(channels[i], channels[j]);
    }
    EXPECT_EQ(core_settings_channel(CORE_SETTINGS_CHANNELS), nullptr);

    // The stream may not grow past its 2 MB.
    const std::vector<uint8_t> big(CORE_SETTINGS_POOL_SIZE + 1, 1);
    const CoreTlvItem item = {CORE_TLV_BLOB, big.size(), big.data()};
    EXPECT_EQ(core_tlv_send(channels[0], nullptr, 0, 0, &item, 1), CORE_ERR_NO_SPACE);

    core_settings_stream_stop();
    EXPECT_EQ(core_settings_channel(0), nullptr);
    CoreName name;
    core_name_format(&name, "%s", CORE_SETTINGS_POOL);
    EXPECT_EQ(core_pool_exists(&name), 0) << "unregistered";
    EXPECT_EQ(core_settings_stream_start(), CORE_OK);
    core_settings_stream_stop();
}

TEST(SettingsStreamLifecycle, StartFailsWholeWhenThePoolCannotBeRegistered)
{
    CoreName name;
    core_name_format(&name, "%s", CORE_SETTINGS_POOL);
    CorePoolConfig pc = {};
    CorePool *squatter = core_pool_create(&pc);
    ASSERT_EQ(core_pool_register(&name, squatter), CORE_OK);
    EXPECT_EQ(core_settings_stream_start(), CORE_FAIL) << "name taken";
    EXPECT_EQ(core_settings_channel(0), nullptr);
    core_pool_unregister(&name);
    core_pool_destroy(&squatter);

    core_pool_registry_stop();
    EXPECT_EQ(core_settings_stream_start(), CORE_FAIL) << "no registry";
    EXPECT_EQ(core_settings_channel(0), nullptr);
    ASSERT_EQ(core_pool_registry_start(0), CORE_OK);
    EXPECT_EQ(core_settings_stream_start(), CORE_OK) << "nothing was left behind";
    core_settings_stream_stop();
}

TEST(SettingsRead, HandWrittenFileWithCommentsAndEntities)
{
    xmlDoc *doc = xmlReadFile(VELTRANA_TEST_FIXTURES "/settings_hand_written.xml", nullptr, XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(flatten(xmlDocGetRootElement(doc), nullptr),
              (Records{{"settings/general/language", "de"},
                       {"settings/general/title", "Veltrana & friends <3"},
                       {"settings/general/currency", "\xE2\x82\xAC caf\xC3\xA9"},
                       {"settings/volume", "80"},
                       {"settings/network/port", "4711"},
                       {"settings/network/peers/peer", "192.0.2.7"}}));
    xmlFreeDoc(doc);
}

TEST(SettingsRead, FlatteningRules)
{
    const std::string name50(50, 'n');
    std::string deep = "<r>", deep_end = "</r>", deep_path = "r";
    for (int i = 0; i < 6; ++i) {
        deep += "<" + name50 + std::to_string(i) + ">";
        deep_end = "</" + name50 + std::to_string(i) + ">" + deep_end;
        deep_path += "/" + name50 + std::to_string(i);
    }
    const std::string accent_at_cut = std::string(CORE_SETTING_VALUE_MAX - 1, 'a') + "\xC3\xA9";
    const struct {
        const char *purpose;
        std::string xml;
        const char *path;
        Records records;
    } cases[] = {
        {"a leaf between two groups stays between them",
         "<s><g1><a value=\"1\"/></g1><mid value=\"m\"/><g2><b value=\"2\"/></g2></s>", nullptr,
         {{"s/g1/a", "1"}, {"s/mid", "m"}, {"s/g2/b", "2"}}},
        {"a value of 5000 characters reads as its first 4096",
         "<s><a value=\"" + std::string(5000, 'x') + "\"/></s>", nullptr,
         {{"s/a", std::string(CORE_SETTING_VALUE_MAX, 'x')}}},
        {"the value cut never splits a character", "<s><a value=\"" + accent_at_cut + "\"/></s>", nullptr,
         {{"s/a", std::string(CORE_SETTING_VALUE_MAX - 1, 'a')}}},
        {"an element with a value and children gives its children only",
         "<s><g value=\"lost\"><a value=\"1\"/></g></s>", nullptr, {{"s/g/a", "1"}}},
        {"a leaf with only a comment and spaces inside keeps its value",
         "<s><a value=\"1\">\n  <!-- note -->\n</a></s>", nullptr, {{"s/a", "1"}}},
        {"leaves without a value and other nodes give nothing", "<s><a/><?pi x?><b>text</b></s>", nullptr, {}},
        {"a leaf at the top is named alone", "<a value=\"1\"/>", nullptr, {{"a", "1"}}},
        {"a given parent path leads every path", "<s><a value=\"1\"/></s>", "base", {{"base/s/a", "1"}}},
        {"a deep path is cut to 255 bytes", deep + "<leaf value=\"1\"/>" + deep_end, nullptr,
         {{(deep_path + "/leaf").substr(0, CORE_SETTING_PATH_MAX), "1"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        EXPECT_EQ(flatten_text(c.xml, c.path), c.records);
    }
}

}  // namespace
