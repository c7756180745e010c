#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/xml_tree.h"
#include "ravelkit/devices.h"

namespace {

const std::string kNoneHex = pk_bytes_to_hex(PkXID::fromText(NONE_ID));
const std::string kIdHex = std::string(62, 'A') + "0F";

std::vector<std::string> keys(const PkXMLObjectMap &map)
{
    std::vector<std::string> out;
    for (const auto &entry : map) out.push_back(entry.first);
    return out;
}

// ---- containers ----

TEST(XmlContainer, DefaultFieldsInWalkingOrder)
{
    PkXMLAudioContainer audio;
    EXPECT_EQ(keys(audio.fields()), (std::vector<std::string>{"maximum", "minimum", "uuid"}));
    EXPECT_EQ(audio.field("minimum")->toString(), "");
    EXPECT_EQ(audio.field("maximum")->toString(), "");
    EXPECT_EQ(audio.field("uuid")->toString(), kNoneHex);

    PkXMLVideoContainer video;
    EXPECT_EQ(keys(video.fields()), (std::vector<std::string>{"maximum", "minimum", "uuid"}));
    EXPECT_EQ(video.field("minimum")->toString(), "0x0@0 Hz");
    EXPECT_EQ(video.field("uuid")->toString(), kNoneHex);
}

TEST(XmlContainer, MadeFromTexts)
{
    PkXMLAudioContainer audio(kIdHex, "S16LE@48000:2", "F32LE@96000:8");
    EXPECT_EQ(audio.field("uuid")->toString(), kIdHex);
    EXPECT_EQ(audio.field("minimum")->toString(), "S16LE@48000:2");
    EXPECT_EQ(audio.field("maximum")->toString(), "F32LE@96000:8");

    PkXMLVideoContainer video(kIdHex, "640x360@30 Hz", "1280x720");
    EXPECT_EQ(video.field("minimum")->toString(), "640x360@30 Hz");
    EXPECT_EQ(video.field("maximum")->toString(), "0x0@0 Hz") << "an incomplete mode is the zero mode";
}

TEST(XmlContainer, FieldsAreSharedAndFixed)
{
    PkXMLVideoContainer video;
    EXPECT_FALSE(video.setField("bitrate", "1"));
    EXPECT_EQ(video.field("bitrate"), nullptr);
    EXPECT_EQ(video.fields().size(), 3u);

    const auto minimum = video.fields().at("minimum");
    EXPECT_TRUE(video.setField("minimum", "1920x1080@60 Hz"));
    EXPECT_EQ(minimum->toString(), "1920x1080@60 Hz") << "fields() shares the value objects";

    const auto fresh = video.clone();
    ASSERT_NE(dynamic_cast<PkXMLVideoContainer *>(fresh.get()), nullptr);
    EXPECT_EQ(fresh->field("minimum")->toString(), "0x0@0 Hz") << "clone copies nothing";
    EXPECT_NE(fresh->field("minimum"), minimum);
}

// ---- array ----

class XmlArray : public ::testing::Test {
protected:
    PkXMLArrayObject audio{std::make_shared<PkXMLAudioContainer>(), "audio"};
};

TEST_F(XmlArray, ConsumesItemsInOrder)
{
    EXPECT_EQ(audio.name(), "audio");
    EXPECT_EQ(audio.groupName(), "encoders");
    EXPECT_EQ(audio.itemName(), "encoder");

    EXPECT_TRUE(audio.consume("codecs/audio/encoders/encoder.0/uuid", kIdHex));
    ASSERT_EQ(audio.items().size(), 1u);
    EXPECT_TRUE(audio.consume("codecs/audio/encoders/encoder.0/minimum", "S16LE@48000:2"));
    EXPECT_TRUE(audio.consume("codecs/audio/encoders/encoder.1/maximum", "S16LE@44100:1"));
    EXPECT_TRUE(audio.consume("codecs/audio/encoders/encoder. 1/minimum", "U8@8000:1")) << "stoi skips blanks";
    ASSERT_EQ(audio.items().size(), 2u);
    EXPECT_EQ(audio.items()[0]->field("uuid")->toString(), kIdHex);
    EXPECT_EQ(audio.items()[0]->field("minimum")->toString(), "S16LE@48000:2");
    EXPECT_EQ(audio.items()[1]->field("maximum")->toString(), "S16LE@44100:1");
    EXPECT_EQ(audio.items()[1]->field("minimum")->toString(), "U8@8000:1");
    EXPECT_EQ(audio.items()[1]->field("uuid")->toString(), kNoneHex);
}

TEST_F(XmlArray, RefusesPathsItCannotPlace)
{
    ASSERT_TRUE(audio.consume("codecs/audio/encoders/encoder.0/uuid", kIdHex));
    const char *refused[] = {
        "codecs/video/encoders/encoder.0/uuid",  // another array's prefix
        "audio/encoders/encoder.0",              // no "/" after the index
        "audio/encoders/encoder.0/",             // no key
        "audio/encoders/encoder.1048576/uuid",   // index too large
        "audio/encoders/encoder.-1/uuid",        // negative index
        "audio/encoders/encoder.2/uuid",         // a gap after the last item
        "audio/encoders/encoder.1/bitrate",      // a field no item has
        "audio/encoders/encoder.0/uuid/x",       // a nested key
        "audio/encoders/encoder.0/bitrate",
    };
    for (const char *path : refused) EXPECT_FALSE(audio.consume(path, "S16LE@48000:2")) << path;
    EXPECT_EQ(audio.items().size(), 1u) << "no refused path leaves an item behind";
    EXPECT_EQ(audio.items()[0]->field("uuid")->toString(), kIdHex);
}

TEST_F(XmlArray, UnreadableIndexThrowsAndChangesNothing)
{
    try {
        audio.consume("audio/encoders/encoder.x/uuid", kIdHex);
        ADD_FAILURE() << "read";
    } catch (const std::invalid_argument &e) {
        EXPECT_STREQ(e.what(), "invalid stoi argument");
    }
    try {
        audio.consume("audio/encoders/encoder.99999999999/uuid", kIdHex);
        ADD_FAILURE() << "read";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "stoi argument out of range");
    }
    EXPECT_TRUE(audio.items().empty());
}

TEST_F(XmlArray, IsNeverOneTextField)
{
    audio.append(std::make_shared<PkXMLAudioContainer>());
    audio.fromString("anything");
    EXPECT_EQ(audio.toString(), "");
    EXPECT_EQ(audio.data(), nullptr);
    EXPECT_EQ(audio.size(), 0);
    EXPECT_EQ(audio.items().size(), 1u);

    auto shared = std::make_shared<PkXMLAudioContainer>();
    audio.append(shared);
    EXPECT_EQ(audio.items()[1], shared) << "append shares the container";

    PkXMLArrayObject untemplated(nullptr, "audio");
    EXPECT_FALSE(untemplated.consume("audio/encoders/encoder.0/uuid", kIdHex));
}

// ---- tree ----

TEST(XmlTree, NodesKeepOrderAndShareChildren)
{
    PkXMLNode node;
    EXPECT_EQ(node.name, "node");
    auto a = std::make_shared<PkXMLField>("a", "1");
    auto b = std::make_shared<PkXMLNode>("b");
    auto c = std::make_shared<PkXMLField>("c", "3");
    EXPECT_EQ(node.addChild(a), 0);
    EXPECT_EQ(node.addChild(b), 0);
    EXPECT_EQ(node.addChild(c), 0);
    const auto children = node.children();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[0], a);
    EXPECT_EQ(children[1], b);
    EXPECT_EQ(children[2], c);

    PkXMLNode copy(node);
    EXPECT_EQ(copy.children()[1], b);
    PkXMLField field;
    field = *a;
    EXPECT_EQ(field.name, "a");
    EXPECT_EQ(field.value, "1");
}

}  // namespace
