// Channel negotiation over the codec lists of a running node: the tables a
// requester, an answerer, an adopting requester and a broadcaster build,
// and, with a session of test devices, what the negotiation publishes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binding_support.h"
#include "engine/codec_ids.h"
#include "engine/negotiation.h"
#include "negotiation_fixtures.h"

namespace {

using namespace binding_support;
using negotiation::groups_of;
using negotiation::name_of;

constexpr uint32_t kRequester = ENGINE_ROLE_REQUESTER;
constexpr uint32_t kAnswerer = ENGINE_ROLE_ANSWERER;
const char *const kChannel = "p2p.bnd.00000000.chnl";

// A viewer: receives when it asked, sends when it answered.
EngineLocalCaps viewer_caps(bool audio = true)
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    caps.sendRoles = kAnswerer;
    caps.receiveRoles = kRequester;
    caps.audioReceive = audio ? 1 : 0;
    caps.videoReceive = 1;
    caps.receiveAudioFormat = EngineAudioFormat{48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    caps.receiveVideoMode = CoreVideoMode{1920, 1080, 60, 1};
    caps.audioEncodeScore = caps.audioDecodeScore = ENGINE_SCORE_BASE;
    caps.videoEncodeScore = caps.videoDecodeScore = ENGINE_SCORE_BASE;
    return caps;
}

// A streamer: sends when it answered.
EngineLocalCaps streamer_caps()
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    caps.sendRoles = kAnswerer;
    caps.receiveRoles = kRequester;
    caps.audioSend = caps.videoSend = 1;
    caps.sendAudioFormat = EngineAudioFormat{48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    caps.sourceAudioFormat = caps.sendAudioFormat;
    caps.sendVideoMode = CoreVideoMode{1280, 720, 30, 1};
    caps.nativeVideoMode = caps.displayVideoMode = caps.referenceVideoMode = caps.sendVideoMode;
    caps.audioEncodeScore = caps.audioDecodeScore = ENGINE_SCORE_BASE;
    caps.videoEncodeScore = caps.videoDecodeScore = ENGINE_SCORE_BASE;
    return caps;
}

std::vector<EngineStreamRecord> records_of(const EngineStreamTable *table)
{
    if (table == nullptr) return {};
    return std::vector<EngineStreamRecord>(table->records, table->records + table->count);
}

std::vector<EngineStreamRecord> codec_records(const std::vector<EngineStreamRecord> &records, uint32_t role = 0)
{
    std::vector<EngineStreamRecord> out;
    for (const EngineStreamRecord &r : records)
        if ((r.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) && (role == 0 || (r.roleWord & role))) out.push_back(r);
    return out;
}

std::vector<EngineStreamRecord> plain_records(const std::vector<EngineStreamRecord> &records)
{
    std::vector<EngineStreamRecord> out;
    for (const EngineStreamRecord &r : records)
        if (!(r.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) && r.mediaFlags != 0) out.push_back(r);
    return out;
}

EngineStreamTable *table_of(const std::vector<EngineStreamRecord> &records)
{
    EngineStreamTable *table = engine_stream_table_alloc(records.size());
    for (size_t i = 0; table != nullptr && i < records.size(); ++i) engine_stream_table_set(table, i, &records[i]);
    return table;
}

uint32_t audio_codec_of(const EngineStreamRecord &r) { return (r.mediaFlags >> 8) & 0xFF; }
uint32_t video_codec_of(const EngineStreamRecord &r) { return (r.mediaFlags >> 16) & 0xFF; }

class Negotiation : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        fill_codec_lists();
        make_capability();
        capability = engine_capability_current();
        ASSERT_NE(capability, nullptr);
    }
    void TearDown() override
    {
        for (EngineStreamTable *t : tables) give_back(t);
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    // The tables of one negotiation, kept for the teardown.
    CoreResult negotiate(uint32_t mode, const EngineLocalCaps &caps, const EngineNegotiationPeer *peer,
                         std::vector<EngineStreamRecord> *offer, std::vector<EngineStreamRecord> *answer,
                         const char *channel = kChannel)
    {
        const EngineMediaDesc desc = desc_of(channel);
        EngineStreamTable *o = nullptr;
        EngineStreamTable *a = nullptr;
        const CoreResult r = engine_negotiate_streams(capability, mode, &desc, &caps, peer, 0, &o, &a);
        *offer = records_of(o);
        if (answer != nullptr) *answer = records_of(a);
        if (a != nullptr && answer == nullptr) ADD_FAILURE() << "an answer nobody asked for";
        tables.push_back(o);
        tables.push_back(a);
        return r;
    }

    EngineNegotiationPeer peer_of(int32_t how, const std::vector<EngineStreamRecord> &records)
    {
        EngineStreamTable *t = table_of(records);
        tables.push_back(t);
        return EngineNegotiationPeer{how, 0, t};
    }

    EngineCapability *capability = nullptr;
    std::vector<EngineStreamTable *> tables;
};

TEST_F(Negotiation, ViewerThatOnlyReceivesVideoOffersItsDecoders)
{
    std::vector<EngineStreamRecord> offer;
    ASSERT_EQ(negotiate(kRequester, viewer_caps(false), nullptr, &offer, nullptr), CORE_OK);
    const std::vector<EngineStreamRecord> plain = plain_records(offer);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].mediaFlags & 0xFF, ENGINE_MEDIA_VIDEO);
    EXPECT_EQ(groups_of(plain[0]), (std::vector<uint16_t>{0x1000, 0x1C00, 0x1C20, 0x1501}));
    const std::vector<EngineStreamRecord> decoders = codec_records(offer);
    ASSERT_EQ(decoders.size(), 2u) << "one record per acceptable video decoder";
    for (const EngineStreamRecord &d : decoders) {
        EXPECT_TRUE(d.roleWord & ENGINE_ROLE_DECODER);
        EXPECT_TRUE(d.mediaFlags & ENGINE_MEDIA_VIDEO);
    }
}

// Request, answer, adoption: the three negotiations of one binding.
TEST_F(Negotiation, AnswerChoosesCodecsAndTheRequesterAdoptsIt)
{
    std::vector<EngineStreamRecord> request;
    ASSERT_EQ(negotiate(kRequester, viewer_caps(), nullptr, &request, nullptr), CORE_OK);

    std::vector<EngineStreamRecord> offer, answer;
    const EngineNegotiationPeer asked = peer_of(ENGINE_HOW_ANSWER, request);
    ASSERT_EQ(negotiate(kAnswerer, streamer_caps(), &asked, &offer, &answer), CORE_OK);

    // Two streams, each with its plain record and its codec record.
    ASSERT_EQ(offer.size(), 4u);
    ASSERT_EQ(answer.size(), 4u);
    const std::vector<EngineStreamRecord> plain = plain_records(offer);
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain[0].mediaFlags & 0xFF, ENGINE_MEDIA_AUDIO);
    EXPECT_EQ(audio_codec_of(plain[0]), ENGINE_AUDIO_CODEC_OPUS);
    EXPECT_EQ(plain[1].mediaFlags & 0xFF, ENGINE_MEDIA_VIDEO);
    EXPECT_EQ(video_codec_of(plain[1]), ENGINE_VIDEO_CODEC_H264) << "equal scores, no hardware: H.264";
    EXPECT_EQ(name_of(plain[0].streamName), name_of(plain_records(answer)[0].streamName));

    const std::vector<EngineStreamRecord> encoders = codec_records(offer);
    ASSERT_EQ(encoders.size(), 2u);
    for (const EngineStreamRecord &e : encoders) EXPECT_TRUE(e.roleWord & ENGINE_ROLE_ENCODER) << "the local encoders";
    const std::vector<EngineStreamRecord> decoders = codec_records(answer);
    ASSERT_EQ(decoders.size(), 2u);
    for (const EngineStreamRecord &d : decoders) EXPECT_TRUE(d.roleWord & ENGINE_ROLE_DECODER) << "the peer's decoders";
    EXPECT_EQ(video_codec_of(decoders[1]), ENGINE_VIDEO_CODEC_H264);

    CoreVideoMode sent{};
    EXPECT_EQ(engine_capability_slot_read(capability, ENGINE_SLOT_VIDEO_SEND, &sent, sizeof sent), sizeof sent);
    EXPECT_GT(sent.width, 0u) << "the answerer fitted its send mode";

    // The requester takes the answer as it came and chooses nothing.
    std::vector<EngineStreamRecord> adoptedOffer, adoptedAnswer;
    const EngineNegotiationPeer answered = peer_of(ENGINE_HOW_ADOPT, answer);
    ASSERT_EQ(negotiate(kRequester, viewer_caps(), &answered, &adoptedOffer, &adoptedAnswer), CORE_OK);
    ASSERT_EQ(adoptedAnswer.size(), answer.size());
    EXPECT_EQ(memcmp(adoptedAnswer.data(), answer.data(), answer.size() * sizeof(EngineStreamRecord)), 0);
    ASSERT_EQ(adoptedOffer.size(), request.size());
    for (size_t i = 0; i < request.size(); ++i)
        EXPECT_EQ(name_of(adoptedOffer[i].streamName), name_of(request[i].streamName)) << "the local table, " << i;
}

TEST_F(Negotiation, RequestWithoutCodecRecordsGetsTheDefaults)
{
    std::vector<EngineStreamRecord> request;
    ASSERT_EQ(negotiate(kRequester, viewer_caps(), nullptr, &request, nullptr), CORE_OK);
    std::vector<EngineStreamRecord> offer, answer;
    const EngineNegotiationPeer asked = peer_of(ENGINE_HOW_ANSWER, plain_records(request));
    ASSERT_EQ(negotiate(kAnswerer, streamer_caps(), &asked, &offer, &answer), CORE_OK);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_TRUE(codec_records(answer).empty());
    EXPECT_TRUE(codec_records(offer).empty());
    EXPECT_EQ(audio_codec_of(answer[0]), ENGINE_AUDIO_CODEC_OPUS);
    EXPECT_EQ(video_codec_of(answer[1]), ENGINE_VIDEO_CODEC_H264) << "the default video encoder";
}

TEST_F(Negotiation, BroadcastOffersSplitStreamsAndTheDefaultEncoders)
{
    std::vector<EngineStreamRecord> offer;
    ASSERT_EQ(negotiate(kAnswerer, streamer_caps(), nullptr, &offer, nullptr, "p2m.bnd.00000004.chnl"), CORE_OK);
    const std::vector<EngineStreamRecord> plain = plain_records(offer);
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(name_of(plain[0].streamName), "split.stream.00000000");
    EXPECT_EQ(name_of(plain[1].streamName), "split.stream.40000000");
    const std::vector<EngineStreamRecord> encoders = codec_records(offer);
    ASSERT_EQ(encoders.size(), 2u) << "the default encoders only";
    EXPECT_EQ(codec_records(offer, ENGINE_ROLE_DECODER).size(), 0u);
}

TEST_F(Negotiation, ChannelsOfNeitherKindAndModesWithoutMediaFail)
{
    const struct {
        const char *purpose;
        const char *channel;
        uint32_t mode;
        EngineLocalCaps caps;
    } cases[] = {
        {"no binder channel name", "video.channel", kRequester, viewer_caps()},
        {"a viewer asked to answer sends nothing", kChannel, kAnswerer, viewer_caps()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        std::vector<EngineStreamRecord> offer, answer;
        const EngineNegotiationPeer none = peer_of(ENGINE_HOW_ANSWER, {});
        EXPECT_EQ(negotiate(c.mode, c.caps, &none, &offer, &answer, c.channel), CORE_ERR);
        EXPECT_TRUE(offer.empty());
        EXPECT_TRUE(answer.empty());
    }
}

// A whole negotiation of a session with test devices: the device reads,
// the publication and the send profiles, and the peer's set left alone.
class SessionNegotiation : public Negotiation {
protected:
    void SetUp() override
    {
        Negotiation::SetUp();
        node = std::make_unique<NodeServiceLog>();
    }
    void TearDown() override
    {
        destroy_session(session);
        node.reset();
        Negotiation::TearDown();
    }
    std::unique_ptr<NodeServiceLog> node;
    EngineSession *session = nullptr;
};

TEST_F(SessionNegotiation, AnswerIsPublishedAndSendProfilesGoOut)
{
    session = make_session(SessionSetup{});
    const EngineMediaDesc desc = desc_of(kChannel, "peer.node", "peer.session");
    ASSERT_EQ(engine_binder_open(session->binderTable, ENGINE_BINDER_P2P, ENGINE_BIND_KIND_ANSWERER, &desc, nullptr,
                                 nullptr),
              CORE_OK);

    // The viewer's request, as its negotiation made it.
    std::vector<EngineStreamRecord> request;
    ASSERT_EQ(negotiate(kRequester, viewer_caps(), nullptr, &request, nullptr), CORE_OK);
    EngineStreamSet *set = engine_stream_set_alloc("", &desc, 2, request.size());
    ASSERT_NE(set, nullptr);
    engine_stream_records_copy(set->records, request.data(), request.size());
    EngineStreamSet *before = engine_stream_set_clone(set);

    ASSERT_EQ(engine_negotiate(session, kAnswerer, &desc, set, ENGINE_HOW_ANSWER), CORE_OK);
    EXPECT_EQ(memcmp(set, before, engine_stream_set_size(set->count)), 0) << "the peer's set is not written";

    const auto offers = node->published(ENGINE_SVC_SET_OFFER);
    const auto answers = node->published(ENGINE_SVC_SET_ANSWER);
    ASSERT_EQ(offers.size(), 1u);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(same(answers[0].desc.session, desc.session));
    EXPECT_TRUE(same(answers[0].desc.channel, desc.channel));
    EXPECT_EQ(plain_records(answers[0].records).size(), 2u) << "audio and video from the test sources";
    EngineStreamTable *kept = engine_capability_table_clone(capability, ENGINE_CAPABILITY_ANSWER);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->count, answers[0].records.size()) << "the capability keeps what was published";
    give_back(kept);

    // One send profile per plain stream, each under its profile slot.
    const auto profiles = node->profiles();
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(text_of(profiles[0].desc.bindSequence), ENGINE_PROFILE_SLOT_AUDIO);
    EXPECT_EQ(text_of(profiles[1].desc.bindSequence), ENGINE_PROFILE_SLOT_VIDEO);
    EXPECT_GT(profiles[1].request.maxBitrate, profiles[1].request.minBitrate);
    EXPECT_EQ(engine_provider_live_streams(session->provider), 2u) << "the provider's streams were built";

    give_back(set);
    give_back(before);
}

TEST_F(SessionNegotiation, MissingDevicesOfARequiredDirectionFail)
{
    SessionSetup setup;
    setup.audioSource = setup.videoSource = false;
    session = make_session(setup);
    const EngineMediaDesc desc = desc_of(kChannel, "peer.node", "peer.session");
    EXPECT_EQ(engine_negotiate(session, kAnswerer, &desc, nullptr, ENGINE_HOW_OFFER_ONLY), CORE_ERR);
    EXPECT_TRUE(node->published(ENGINE_SVC_SET_OFFER).empty());
    // Receiving needs no source.
    EXPECT_EQ(engine_negotiate(session, kRequester, &desc, nullptr, ENGINE_HOW_OFFER_ONLY), CORE_OK);
    EXPECT_EQ(node->published(ENGINE_SVC_SET_OFFER).size(), 1u);
}

}  // namespace
