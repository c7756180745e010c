#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/codec_settings.h"
#include "app_test_support.h"
#include "ravelkit/devices.h"
#include "services/config.h"

namespace {

const auto *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

PkVideoTrial video_trial(bool passed, PkVideoMode first, PkVideoMode second)
{
    PkVideoTrial trial;
    trial.passed = passed;
    trial.minimum = first;
    trial.maximum = second;
    return trial;
}

PkAudioTrial audio_trial(bool passed, const char *first, const char *second)
{
    PkAudioTrial trial;
    trial.passed = passed;
    trial.minimum = pk_audio_format_from_text(first);
    trial.maximum = pk_audio_format_from_text(second);
    return trial;
}

// One evaluation record for the audio encoder at `audioIndex` and the video
// encoder at `videoIndex` of the default descriptors.
PkEvaluateResults record(uint64_t audioIndex, std::vector<PkAudioTrial> audio, uint64_t videoIndex,
                         std::vector<PkVideoTrial> video)
{
    PkEvaluateResults r;
    r.audioCodecIndex = audioIndex;
    r.videoCodecIndex = videoIndex;
    r.audioTrials = std::move(audio);
    r.videoTrials = std::move(video);
    return r;
}

std::string text(const std::shared_ptr<PkXMLContainer> &item, const char *key)
{
    return item->field(key)->toString();
}

constexpr PkVideoMode k360{640, 360, 30, 1};
constexpr PkVideoMode k720{1280, 720, 30, 1};
constexpr PkVideoMode k1080{1920, 1080, 30, 1};
constexpr PkVideoMode kIncomplete{640, 0, 30, 1};

// ---- from the evaluation ----

TEST(CodecEvaluation, BoundsFromTheTrials)
{
    struct Case {
        const char *what;
        std::vector<PkVideoTrial> trials;
        std::string minimum, maximum;
    };
    const Case cases[] = {
        {"last passed trial gives the maximum",
         {video_trial(true, k360, k360), video_trial(true, k360, k720), video_trial(false, k360, k1080)},
         "640x360@30 Hz", "1280x720@30 Hz"},
        {"none passed: maximum is the minimum",
         {video_trial(false, k720, k1080), video_trial(false, k360, k1080)}, "640x360@30 Hz", "640x360@30 Hz"},
        {"incomplete first modes are passed over",
         {video_trial(false, k720, k1080), video_trial(false, kIncomplete, k1080)}, "1280x720@30 Hz",
         "1280x720@30 Hz"},
        {"all incomplete, none passed", {video_trial(false, kIncomplete, k1080)}, "0x0@0 Hz", "0x0@0 Hz"},
        {"the walk stops at the last passed trial",
         {video_trial(true, k720, k1080), video_trial(true, kIncomplete, k720)}, "0x0@0 Hz", "1280x720@30 Hz"},
        {"60000/1001 is written 59",
         {video_trial(true, PkVideoMode{1280, 720, 60000, 1001}, PkVideoMode{1920, 1080, 60000, 1001})},
         "1280x720@59 Hz", "1920x1080@59 Hz"},
    };
    for (const Case &c : cases) {
        const auto settings = AppCodecsSettings::fromEvaluation({record(0, {}, 0, c.trials)});
        ASSERT_EQ(settings->videoItems().size(), 1u) << c.what;
        EXPECT_EQ(text(settings->videoItems()[0], "minimum"), c.minimum) << c.what;
        EXPECT_EQ(text(settings->videoItems()[0], "maximum"), c.maximum) << c.what;
        EXPECT_EQ(text(settings->videoItems()[0], "uuid"), pk_codec_uuid_text(PkVideoCodecDesc(), 0)) << c.what;
        EXPECT_TRUE(settings->audioItems().empty()) << c.what << ": no audio trials, no audio container";
        EXPECT_EQ(settings->version->toString(), "1");
    }

    const auto audio = AppCodecsSettings::fromEvaluation({record(
        0, {audio_trial(true, "S16LE@8000:1", "S16LE@48000:2"), audio_trial(false, "S16LE@8000:1", "F32LE@96000:8")}, 0,
        {})});
    ASSERT_EQ(audio->audioItems().size(), 1u);
    EXPECT_EQ(text(audio->audioItems()[0], "minimum"), "S16LE@8000:1");
    EXPECT_EQ(text(audio->audioItems()[0], "maximum"), "S16LE@48000:2");
    EXPECT_TRUE(audio->videoItems().empty());
}

TEST(CodecEvaluation, OneContainerPerEncoder)
{
    const auto settings = AppCodecsSettings::fromEvaluation({
        record(0, {audio_trial(true, "S16LE@8000:1", "S16LE@48000:2")}, 0, {video_trial(true, k360, k720)}),
        record(0, {audio_trial(true, "U8@8000:1", "U8@8000:1")}, 1, {video_trial(true, k360, k1080)}),
    });
    ASSERT_EQ(settings->audioItems().size(), 1u) << "the same audio encoder twice";
    EXPECT_EQ(text(settings->audioItems()[0], "maximum"), "S16LE@48000:2") << "the first record wins";
    ASSERT_EQ(settings->videoItems().size(), 2u) << "the second video encoder is still added";
    EXPECT_EQ(text(settings->videoItems()[1], "uuid"), pk_codec_uuid_text(PkVideoCodecDesc(), 1));
    EXPECT_EQ(text(settings->videoItems()[1], "maximum"), "1920x1080@30 Hz");
}

// ---- limits ----

// A container that lost a field, as a damaged file could never make but a
// caller could.
class AudioWithoutMinimum : public PkXMLAudioContainer {
public:
    AudioWithoutMinimum() { fieldMap.erase("minimum"); }
};

TEST(CodecLimits, FromContainers)
{
    PkXMLAudioContainer fallback;
    const PkAudioEncoderLimits none = toAudioEncoderLimits(fallback);
    EXPECT_EQ(memcmp(none.codecId, NONE_ID, 32), 0);
    EXPECT_EQ(none.profileSet, 0);
    EXPECT_EQ(none.codingOptions, 0);
    EXPECT_EQ(none.minimum.rate, 0u);
    EXPECT_EQ(none.maximum.bits, 0);

    const std::string id = pk_codec_uuid_text(PkAudioCodecDesc(), 3);
    PkXMLVideoContainer video(id, "640x360@30 Hz", "1920x1080@60 Hz");
    const PkVideoEncoderLimits limits = toVideoEncoderLimits(video);
    uint8_t key[32];
    core_hex_to_bytes(key, id.c_str());
    EXPECT_EQ(memcmp(limits.codecId, key, 32), 0);
    EXPECT_EQ(limits.minimum.width, 640u);
    EXPECT_EQ(limits.maximum.rateNumerator, 60u);
    EXPECT_EQ(limits.maximum.rateDenominator, 1u);

    AudioWithoutMinimum damaged;
    const PkAudioEncoderLimits zero = toAudioEncoderLimits(damaged);
    const uint8_t zeros[32] = {};
    EXPECT_EQ(memcmp(zero.codecId, zeros, 32), 0) << "all zero, not NONE_ID";

    // Applying replaces both lists; containers of another kind are skipped.
    auto settings = std::make_shared<AppCodecsSettings>();
    std::dynamic_pointer_cast<PkXMLArrayObject>(settings->video)->append(std::make_shared<PkXMLVideoContainer>(video));
    std::dynamic_pointer_cast<PkXMLArrayObject>(settings->video)->append(std::make_shared<PkXMLAudioContainer>());
    std::dynamic_pointer_cast<PkXMLArrayObject>(settings->video)->append(std::make_shared<PkXMLVideoContainer>());
    PkConfig::instance()->audioEncoderLimits.resize(4);
    EXPECT_EQ(applyCodecsSettingsToConfig(settings), settings);
    EXPECT_TRUE(PkConfig::instance()->audioEncoderLimits.empty());
    ASSERT_EQ(PkConfig::instance()->videoEncoderLimits.size(), 2u);
    EXPECT_EQ(PkConfig::instance()->videoEncoderLimits[0].minimum.height, 360u);
    EXPECT_EQ(memcmp(PkConfig::instance()->videoEncoderLimits[1].codecId, NONE_ID, 32), 0);
}

// ---- the file ----

class CodecFile : public apptest::DataFolder {
protected:
    void SetUp() override
    {
        apptest::DataFolder::SetUp();
        // Limits no load or save makes, to see whether one was applied.
        config->audioEncoderLimits.assign(3, PkAudioEncoderLimits{});
        config->videoEncoderLimits.assign(3, PkVideoEncoderLimits{});
    }
    bool limitsUntouched() const
    {
        return config->audioEncoderLimits.size() == 3 && config->videoEncoderLimits.size() == 3;
    }
    std::shared_ptr<AppCodecsSettings> load() { return manager->loadCodecsSettings(disk, paths); }
    int save(std::shared_ptr<AppCodecsSettings> settings)
    {
        return manager->saveCodecsSettings(disk, paths, std::move(settings));
    }
    std::string codecsFile() { return apptest::read_file(file("veltrana.codecs.xml")); }

    const std::shared_ptr<AppSettingsManager> manager = AppSettingsManager::instance();
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    DiskIO<PkPath> disk;
    VeltranaAppPath<PkPath> paths;
};

TEST_F(CodecFile, DefaultObjectWritesOnlyTheVersion)
{
    ASSERT_EQ(save(std::make_shared<AppCodecsSettings>()), 0);
    EXPECT_EQ(codecsFile(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<codecs>\n  <version value=\"1\"/>\n</codecs>\n");
    apptest::expect_xmllint_accepts(file("veltrana.codecs.xml"));
    EXPECT_TRUE(config->audioEncoderLimits.empty()) << "a saved object is applied";

    config->audioEncoderLimits.resize(2);
    const auto loaded = load();
    EXPECT_TRUE(loaded->audioItems().empty());
    EXPECT_TRUE(loaded->videoItems().empty());
    EXPECT_EQ(loaded->version->toString(), "1");
    EXPECT_TRUE(config->audioEncoderLimits.empty()) << "a loaded object is applied";
    EXPECT_TRUE(config->videoEncoderLimits.empty());
}

TEST_F(CodecFile, EvaluationRoundTrips)
{
    const auto settings = AppCodecsSettings::fromEvaluation({
        record(0, {audio_trial(true, "S16LE@8000:1", "S16LE@48000:2")}, 0, {video_trial(true, k360, k720)}),
        record(1, {audio_trial(false, "U8@8000:1", "U8@8000:1")}, 1, {video_trial(false, k360, k1080)}),
    });
    ASSERT_EQ(save(settings), 0);
    apptest::expect_xmllint_accepts(file("veltrana.codecs.xml"));
    const std::string written = codecsFile();
    const size_t e0 = written.find("<encoder.0>");
    const size_t e1 = written.find("<encoder.1>");
    ASSERT_NE(e0, std::string::npos);
    ASSERT_NE(e1, std::string::npos);
    EXPECT_LT(e0, e1);
    const size_t maximum = written.find("<maximum", e0);
    const size_t minimum = written.find("<minimum", e0);
    const size_t uuid = written.find("<uuid", e0);
    EXPECT_LT(maximum, minimum);
    EXPECT_LT(minimum, uuid);
    EXPECT_LT(written.find("<audio>"), written.find("<video>"));

    const auto loaded = load();
    ASSERT_EQ(loaded->audioItems().size(), 2u);
    ASSERT_EQ(loaded->videoItems().size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        for (const char *key : {"uuid", "minimum", "maximum"}) {
            EXPECT_EQ(text(loaded->audioItems()[i], key), text(settings->audioItems()[i], key)) << i << key;
            EXPECT_EQ(text(loaded->videoItems()[i], key), text(settings->videoItems()[i], key)) << i << key;
        }
    }
    ASSERT_EQ(config->videoEncoderLimits.size(), 2u);
    const PkVideoEncoderLimits expected =
        toVideoEncoderLimits(*std::dynamic_pointer_cast<PkXMLVideoContainer>(settings->videoItems()[1]));
    EXPECT_EQ(memcmp(&config->videoEncoderLimits[1], &expected, sizeof(expected)), 0);
}

TEST_F(CodecFile, FailedOrRefusedFilesChangeNoLimits)
{
    ASSERT_EQ(save(AppCodecsSettings::fromEvaluation({record(0, {}, 0, {video_trial(true, k360, k720)})})), 0);
    const std::string previous = codecsFile();
    config->audioEncoderLimits.assign(3, PkAudioEncoderLimits{});
    config->videoEncoderLimits.assign(3, PkVideoEncoderLimits{});

    apptest::publish_data_folder(file("missing"));
    EXPECT_EQ(save(std::make_shared<AppCodecsSettings>()), -1);
    EXPECT_TRUE(limitsUntouched()) << "a failed write applies nothing";
    const auto missing = load();
    EXPECT_TRUE(missing->videoItems().empty());
    EXPECT_TRUE(limitsUntouched()) << "a missing file applies nothing";

    apptest::publish_data_folder(folder.string());
    EXPECT_EQ(codecsFile(), previous);
    for (const char *refused : {"", "<settings><version value=\"5\"/></settings>"}) {
        apptest::write_file(file("veltrana.codecs.xml"), refused);
        EXPECT_TRUE(load()->videoItems().empty()) << refused;
        EXPECT_TRUE(limitsUntouched()) << refused;
    }
}

TEST_F(CodecFile, HandEditedFiles)
{
    const std::string id = pk_codec_uuid_text(PkVideoCodecDesc(), 0);
    const std::string item0 = "<encoder.0><uuid value=\"" + id +
                              "\"/><minimum value=\"640x360@30 Hz\"/><maximum value=\"1280x720@30 Hz\"/></encoder.0>";
    struct Case {
        const char *what;
        std::string body;
        size_t videoItems;
        std::string version;
    };
    const Case cases[] = {
        {"fields reordered, comments",
         "<!-- x --><video><encoders>" + item0 + "</encoders></video><version value=\"1\"/>", 1, "1"},
        {"an unknown field is skipped",
         "<version value=\"1\"/><video><encoders><encoder.0><bitrate value=\"9\"/>" + item0.substr(11) +
             "</encoders></video>",
         1, "1"},
        {"a gap in the numbering is skipped",
         "<version value=\"1\"/><video><encoders>" + item0 + "<encoder.5><uuid value=\"" + id +
             "\"/></encoder.5></encoders></video>",
         1, "1"},
        {"an unreadable index is skipped",
         "<version value=\"1\"/><video><encoders><encoder.x><uuid value=\"AB\"/></encoder.x>" + item0 +
             "</encoders></video>",
         1, "1"},
        {"an unreadable version keeps 1", "<version value=\"v2\"/><video><encoders>" + item0 + "</encoders></video>", 1,
         "1"},
        {"a later version is read as it is", "<version value=\"7\"/>", 0, "7"},
    };
    for (const Case &c : cases) {
        apptest::write_file(file("veltrana.codecs.xml"), "<codecs>" + c.body + "</codecs>");
        config->videoEncoderLimits.assign(3, PkVideoEncoderLimits{});
        const auto loaded = load();
        EXPECT_EQ(loaded->videoItems().size(), c.videoItems) << c.what;
        EXPECT_EQ(config->videoEncoderLimits.size(), c.videoItems) << c.what << ": applied";
        EXPECT_EQ(loaded->version->toString(), c.version) << c.what;
        if (c.videoItems == 1) {
            EXPECT_EQ(text(loaded->videoItems()[0], "uuid"), id) << c.what;
            EXPECT_EQ(text(loaded->videoItems()[0], "maximum"), "1280x720@30 Hz") << c.what;
        }
    }
}

}  // namespace
