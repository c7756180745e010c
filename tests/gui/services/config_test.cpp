#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "ravelkit/devices.h"
#include "services/config.h"
#include "services/texts.h"

using namespace PkConstants;

// Reads only: later tests of this process see the same object.
TEST(NodeConfig, NewConfigHoldsTheDefaults)
{
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    ASSERT_TRUE(config);

    const PkXID none = PkXID::fromText(NONE_ID);
    EXPECT_EQ(config->videoSourceId, none);
    EXPECT_EQ(config->videoSinkId, none);
    EXPECT_EQ(config->audioSourceId, none);
    EXPECT_EQ(config->audioSinkId, none);

    struct Signed {
        const char *field;
        int64_t value;
        int64_t expected;
    };
    const Signed numbers[] = {
        {"adapterIndex", config->adapterIndex, -1},
        {"audioSourceIndex", config->audioSourceIndex, -1},
        {"audioSinkIndex", config->audioSinkIndex, -1},
        {"videoSourceIndex", config->videoSourceIndex, -1},
        {"videoSinkIndex", config->videoSinkIndex, -1},
        {"videoSizeClass", config->videoSizeClass, -1},
        {"broadcastSizeClass", config->broadcastSizeClass, -1},
        {"audioSinkParam", config->audioSinkParam, 3},
        {"videoSinkParam", config->videoSinkParam, 3},
        {"networkMode", config->networkMode, 2},
        {"secondPort", config->secondPort, 0},
        {"basePort", config->basePort, 0},
        {"networkOption", config->networkOption, 0},
        {"servicesMode", config->servicesMode, 0},
        {"networkFlags", config->networkFlags, 0},
        {"audioSourceParam", config->audioSourceParam, 0},
        {"videoSourceParam", config->videoSourceParam, 0},
        {"videoSourceClass", config->videoSourceClass, 0},
        {"audioSourceClass", config->audioSourceClass, 0},
        {"videoSinkClass", config->videoSinkClass, 0},
        {"audioSinkClass", config->audioSinkClass, 0},
        {"showCursor", config->showCursor, 0},
        {"showClicks", config->showClicks, 0},
        {"captureSourceParams[0]", config->captureSourceParams[0], 0},
        {"captureSourceParams[1]", config->captureSourceParams[1], 0},
        {"frameworkType", config->frameworkType, 0},
        {"bitratePolicy", config->bitratePolicy, 0},
        {"rateControlOption", config->rateControlOption, 0},
        {"playbackDelayMs", config->playbackDelayMs, 0},
        {"autoAccept", config->autoAccept, 0},
        {"combinedProfile", config->combinedProfile, 0},
        {"sendRoles", config->sendRoles, 0},
        {"receiveRoles", config->receiveRoles, 0},
        {"binderDirection", config->binderDirection, 0},
        {"p2pChannelCount", config->p2pChannelCount, 0},
        {"p2pClass", config->p2pClass, 0},
        {"p2mChannelCount", config->p2mChannelCount, 0},
        {"broadcastChannels", config->broadcastChannels, 0},
        {"appFedCapture", config->appFedCapture, 0},
    };
    for (const Signed &n : numbers) EXPECT_EQ(n.value, n.expected) << n.field;

    EXPECT_TRUE(std::all_of(config->pipelineOptions.begin(), config->pipelineOptions.end(),
                            [](int32_t option) { return option == 0; }));
    EXPECT_TRUE(config->nodeUserId.isNull());
    EXPECT_TRUE(config->systemNodeName.isNull());
    EXPECT_TRUE(config->nodeKey.isNull());
    EXPECT_TRUE(config->avatar.data.empty());
    EXPECT_TRUE(config->adapters.empty());
    EXPECT_TRUE(config->audioEncoders.empty() && config->audioDecoders.empty());
    EXPECT_TRUE(config->videoEncoders.empty() && config->videoDecoders.empty());
    EXPECT_TRUE(config->audioEncoderLimits.empty() && config->videoEncoderLimits.empty());
    EXPECT_FALSE(config->broadcastConfigured());

    EXPECT_TRUE(PkInitConfig::instance()->addresses.empty());
}

TEST(NodeConfig, InstanceIsOneObjectPerClass)
{
    const std::shared_ptr<PkConfig> first = PkConfig::instance();
    const std::shared_ptr<PkConfig> second = PkConfig::instance();
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->shared_from_this().get(), first.get());

    const uint16_t basePort = first->basePort;
    first->basePort = 60149;
    EXPECT_EQ(PkConfig::instance()->basePort, 60149) << "a write through one reference shows in the next";
    first->basePort = basePort;

    EXPECT_EQ(PkInitConfig::instance().get(), PkInitConfig::instance().get());
}

TEST(NodeConfig, BroadcastNeedsBothFields)
{
    struct Case {
        int32_t sizeClass;
        uint32_t channels;
        bool configured;
    };
    const Case cases[] = {{-1, 0, false}, {1, 0, false}, {-1, 16, false}, {0, 4, true}, {1, 32, true}};
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    for (const Case &c : cases) {
        config->broadcastSizeClass = c.sizeClass;
        config->broadcastChannels = c.channels;
        EXPECT_EQ(config->broadcastConfigured(), c.configured) << c.sizeClass << " " << c.channels;
    }
    config->broadcastSizeClass = -1;
    config->broadcastChannels = 0;
}

TEST(SharedTexts, OptionDefaultsAreListedValues)
{
    EXPECT_EQ(kResolutionDefault, "low");
    EXPECT_EQ(kBitrateDefault, "adaptive");
    EXPECT_EQ(kPlaybackDelayDefault, "3000");
    EXPECT_NE(std::find(kResolutionProfiles.begin(), kResolutionProfiles.end(), kResolutionDefault),
              kResolutionProfiles.end());
    EXPECT_NE(std::find(kBitratePolicies.begin(), kBitratePolicies.end(), kBitrateDefault), kBitratePolicies.end());
    EXPECT_NE(std::find(kPlaybackDelays.begin(), kPlaybackDelays.end(), kPlaybackDelayDefault),
              kPlaybackDelays.end());
}

TEST(SharedTexts, ComparisonsAreExactAndCaseSensitive)
{
    struct Case {
        std::string_view constant;
        const char *nearMiss;
    };
    const Case cases[] = {
        {kNodeUserIdField, "node.userid.Field"}, {kStatusOnline, "status.online.value "},
        {kGenderMale, "Gender.male.value"},      {kResolutionLow, "Low"},
        {kBitrateAdaptive, "adaptive "},        {kCodecsUuid, "UUID"},
        {kUpdateManifestFile, "update.JSON"},   {kVirtualViewerAudioDevice, "virtual.viewer.audio.device."},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(std::string(c.constant), c.constant);
        EXPECT_NE(std::string(c.nearMiss), c.constant) << c.nearMiss;
    }
}

// Profile field keys travel as 32-byte keys; a longer one would be cut and
// could collide with another.
TEST(SharedTexts, ProfileFieldKeysFitA32ByteKey)
{
    const std::string_view keys[] = {kNodeUserIdField,   kNodeFirstNameField, kNodeLastNameField,
                                     kNodeStatusField,   kNodeGenderField,    kNodeBirthdayField,
                                     kNodeAvatarField,   kNodeBinderDirectionField};
    std::set<std::string_view> distinct;
    for (std::string_view key : keys) {
        EXPECT_LE(key.size(), 32u) << key;
        EXPECT_EQ(pk_id_to_printable(PkXID::fromText(key)), key);
        distinct.insert(key);
    }
    EXPECT_EQ(distinct.size(), std::size(keys));
}
