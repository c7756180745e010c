#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/formats.h"
#include "negotiation_fixtures.h"

namespace {

using namespace negotiation;

constexpr uint32_t k_requester = ENGINE_ROLE_REQUESTER;
constexpr uint32_t k_answerer = ENGINE_ROLE_ANSWERER;
constexpr EngineAudioFormat k_s16 = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};

CoreVideoMode slot_mode(EngineCapability *capability, int slot)
{
    CoreVideoMode mode{};
    EXPECT_EQ(engine_capability_slot_read(capability, slot, &mode, sizeof mode), sizeof mode) << slot;
    return mode;
}

EngineAudioFormat slot_format(EngineCapability *capability, int slot)
{
    EngineAudioFormat format{};
    EXPECT_EQ(engine_capability_slot_read(capability, slot, &format, sizeof format), sizeof format) << slot;
    return format;
}

bool same_format(const EngineAudioFormat &a, const EngineAudioFormat &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

EngineStreamRecord record(const char *name, uint32_t mediaFlags)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    engine_props_init(&r.props);
    core_name_format(&r.streamName, "%s", name);
    r.mediaFlags = mediaFlags;
    return r;
}

void add_mode(EngineStreamRecord *r, int kind, CoreVideoMode m)
{
    engine_props_add_video(&r->props, &m, sizeof m, kind, engine_props_count(&r->props));
}

void add_pair(EngineStreamRecord *r, int kind, uint32_t w, uint32_t h)
{
    const uint32_t pair[2] = {w, h};
    engine_props_add_video(&r->props, pair, sizeof pair, kind, engine_props_count(&r->props));
}

void add_format(EngineStreamRecord *r, int kind, EngineAudioFormat f)
{
    engine_props_add_audio(&r->props, &f, sizeof f, kind, engine_props_count(&r->props));
}

EngineLocalCaps caps_sending(CoreVideoMode capture)
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    caps.sendRoles = k_answerer;
    caps.receiveRoles = k_requester;
    caps.audioSend = caps.videoSend = 1;
    caps.sendVideoMode = capture;
    caps.nativeVideoMode = capture;  // a device without a native mode gets its capture mode
    return caps;
}

class Formats : public OnNode {
protected:
    void SetUp() override
    {
        OnNode::SetUp();
        capability_ = make_capability(2);
        ASSERT_NE(capability_, nullptr);
    }
    void TearDown() override
    {
        for (EngineStreamTable *t : tables_) give_back(t);
        OnNode::TearDown();
    }
    EngineStreamTable *table(const std::vector<EngineStreamRecord> &records)
    {
        EngineStreamTable *t = engine_stream_table_alloc(records.size());
        EXPECT_NE(t, nullptr);
        for (size_t i = 0; i < records.size(); ++i) engine_stream_table_set(t, i, &records[i]);
        tables_.push_back(t);
        return t;
    }

    EngineCapability *capability_ = nullptr;
    std::vector<EngineStreamTable *> tables_;
};

// The answering node's send mode: encoder limit E, peer decoder limit R, capture mode K.
TEST_F(Formats, SendModeFitsEncoderPeerAndCapture)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char *purpose;
        CoreVideoMode E, R, K;
        double scale;
        CoreVideoMode reference;
        uint32_t encoderAlign;
        uint32_t peerAlign;  // 0: the peer states none
        CoreResult result;
        CoreVideoMode expected;
    } cases[] = {
        {"encoder-bound 16:9, the height clamped and rounded down", {1920, 1080, 60, 1}, {3840, 2160, 60, 1},
         {2560, 1440, 60, 1}, 0, {}, 16, 16, CORE_OK, {1920, 1072, 60, 1}},
        {"a 16:10 capture narrows the width", {1920, 1080, 60, 1}, {3840, 2160, 60, 1}, {1920, 1200, 60, 1}, 0, {},
         16, 16, CORE_OK, {1728, 1072, 60, 1}},
        {"a peer without alignment needs 64 x 32", {1920, 1080, 60, 1}, {3840, 2160, 60, 1}, {1920, 1080, 60, 1}, 0,
         {}, 16, 0, CORE_OK, {1920, 1056, 60, 1}},
        {"a square capture takes the larger step both ways", {3840, 2160, 60, 1}, {3840, 2160, 60, 1},
         {1080, 1080, 30, 1}, 0, {}, 16, 64, CORE_OK, {1088, 1088, 30, 1}},
        {"the scale is undone", {3840, 2160, 60, 1}, {3840, 2160, 60, 1}, {960, 540, 60, 1}, 0.5, {}, 16, 16,
         CORE_OK, {1920, 1088, 60, 1}},
        {"the peer's lower rate, as a fraction", {1920, 1080, 60, 1}, {3840, 2160, 30000, 1001},
         {1920, 1080, 30, 1}, 0, {}, 8, 8, CORE_OK, {1920, 1080, 30000, 1001}},
        {"the reference mode bounds size and rate", {3840, 2160, 60, 1}, {3840, 2160, 60, 1}, {2560, 1440, 60, 1},
         0, {1280, 720, 25, 1}, 16, 16, CORE_OK, {1280, 720, 25, 1}},
        {"the peer decoder's limit when the encoder's holds", {3840, 2160, 60, 1}, {1280, 720, 60, 1},
         {1920, 1080, 60, 1}, 0, {}, 16, 16, CORE_OK, {1280, 720, 60, 1}},
        {"no encoder limit: nothing to send", {0, 0, 0, 0}, {3840, 2160, 60, 1}, {1920, 1080, 60, 1}, 0, {}, 16,
         16, CORE_ERR, {}},
        {"a scale no size survives", {3840, 2160, 60, 1}, {3840, 2160, 60, 1}, {1920, 1080, 60, 1}, 1e-30, {}, 16,
         16, CORE_ERR, {}},
        {"a scale that is not a number", {3840, 2160, 60, 1}, {3840, 2160, 60, 1}, {1920, 1080, 60, 1}, nan, {}, 16,
         16, CORE_ERR, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        engine_capability_slot_store(capability_, ENGINE_SLOT_VIDEO_SEND, nullptr, 0);
        CoreVideoCodecDesc encoder = video_codec(1, "H264", RAVK_ACCEL_SOFTWARE, c.E, c.encoderAlign);
        EngineLocalCaps caps = caps_sending(c.K);
        caps.videoScale = c.scale;
        caps.nativeVideoMode = CoreVideoMode{};
        caps.referenceVideoMode = c.reference;
        EngineNegotiatedPeerValues peer{};
        peer.receiveMode = CoreVideoMode{3840, 2160, 60, 1};
        peer.decoderMax = c.R;
        peer.decoderAlign[0] = peer.decoderAlign[1] = c.peerAlign;
        EngineStreamRecord offer = record("stream.40000000", ENGINE_MEDIA_VIDEO);
        add_mode(&offer, ENGINE_PROPS_ENCODER_MAX_MODE, {3840, 2160, 60, 1});
        EngineStreamRecord answer = record("stream.40000000", ENGINE_MEDIA_VIDEO);

        const CoreResult result =
            engine_video_send_mode(capability_, 0, &caps, &encoder, &peer, &offer.props, &answer.props);
        EXPECT_EQ(result, c.result);
        if (result != CORE_OK) {
            EXPECT_EQ(capability_->slots[ENGINE_SLOT_VIDEO_SEND].size, 0u);
            continue;
        }
        EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_SEND), c.expected));
        EXPECT_TRUE(same_mode(mode_of(offer, 0x1800), c.expected));
        EXPECT_EQ(engine_props_count(&answer.props), 0);  // only existing tags are written
    }
}

TEST_F(Formats, SendModeNeedsThePeersReceivePart)
{
    CoreVideoCodecDesc encoder = video_codec(1, "H264", RAVK_ACCEL_SOFTWARE);
    const EngineLocalCaps caps = caps_sending({1920, 1080, 60, 1});
    EngineNegotiatedPeerValues peer{};
    peer.decoderMax = CoreVideoMode{3840, 2160, 60, 1};
    EXPECT_EQ(engine_video_send_mode(capability_, 0, &caps, &encoder, &peer, nullptr, nullptr), CORE_DONE);
    EXPECT_EQ(capability_->slots[ENGINE_SLOT_VIDEO_SEND].size, 0u);

    // A broadcast sends its profile, whatever the encoder says.
    peer.receiveMode = CoreVideoMode{1280, 720, 30, 1};
    ASSERT_EQ(engine_video_send_mode(capability_, 1, &caps, nullptr, &peer, nullptr, nullptr), CORE_OK);
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_SEND), capability_->videoLimit));
}

TEST_F(Formats, ReceiveModeTakesTheSmallestAndTheSlowest)
{
    const struct {
        const char *purpose;
        CoreVideoMode display, decoder, peerSend, peerEncoder;
        int p2m;
        CoreResult result;
        CoreVideoMode expected;
    } cases[] = {
        {"the smaller long side, a tie to the later one", {2560, 1440, 60, 1}, {1920, 1080, 60, 1},
         {1920, 1080, 30, 1}, {3840, 2160, 60, 1}, 0, CORE_OK, {1920, 1088, 30, 1}},
        {"the height follows the peer encoder's aspect", {3840, 2160, 60, 1}, {3840, 2160, 60, 1},
         {1280, 1024, 60, 1}, {1920, 1200, 60, 1}, 0, CORE_OK, {1280, 800, 60, 1}},
        {"a playback device without a mode is no limit", {0, 0, 0, 0}, {4096, 2160, 60, 1}, {1920, 1080, 50, 1},
         {2560, 1440, 60, 1}, 0, CORE_OK, {1920, 1088, 50, 1}},
        {"a broadcast takes the peer encoder's mode", {640, 480, 30, 1}, {640, 480, 30, 1}, {1920, 1080, 30, 1},
         {1280, 720, 30, 1}, 1, CORE_OK, {1280, 720, 30, 1}},
        {"an incomplete peer send mode", {1920, 1080, 60, 1}, {1920, 1080, 60, 1}, {1920, 1080, 0, 1},
         {1920, 1080, 60, 1}, 0, CORE_DONE, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        engine_capability_slot_store(capability_, ENGINE_SLOT_VIDEO_RECEIVE, nullptr, 0);
        CoreVideoCodecDesc decoder = video_codec(2, "H264", RAVK_ACCEL_SOFTWARE, c.decoder, 16);
        EngineLocalCaps caps;
        engine_local_caps_init(&caps);
        caps.receiveVideoMode = c.display;
        EngineNegotiatedPeerValues peer{};
        peer.sendMode = c.peerSend;
        peer.encoderMax = c.peerEncoder;
        EXPECT_EQ(engine_video_receive_mode(capability_, c.p2m, &caps, &decoder, &peer), c.result);
        if (c.result == CORE_OK)
            EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_RECEIVE), c.expected));
        else
            EXPECT_EQ(capability_->slots[ENGINE_SLOT_VIDEO_RECEIVE].size, 0u);
    }
}

// The whole answer of a p2p request that carried codec records: the peer's limits come from the chosen records.
TEST_F(Formats, AnswerSettlesAllFourSlots)
{
    add(video_codec(1, "VP8X", RAVK_ACCEL_SOFTWARE));
    add(video_codec(1, "H264", RAVK_ACCEL_SOFTWARE, {1920, 1080, 60, 1}, 16));
    add(video_codec(2, "H264", RAVK_ACCEL_SOFTWARE, {1280, 720, 30, 1}, 16));
    EngineLocalCaps caps = caps_sending({2560, 1440, 60, 1});
    caps.receiveRoles = k_answerer;  // this node both sends and receives when it answers
    caps.receiveVideoMode = CoreVideoMode{1920, 1080, 60, 1};
    caps.sendAudioFormat = EngineAudioFormat{44100, 1, 8, 0, 'U', {0, 0, 0}};  // the device's format does not matter

    EngineStreamRecord work[ENGINE_WORK_RECORDS];
    for (EngineStreamRecord &w : work) w = record("", 0);
    work[ENGINE_WORK_LOCAL_VIDEO_ENCODER] = record("codec.00000001.stream.40000000", 0x10012);
    work[ENGINE_WORK_LOCAL_VIDEO_DECODER] = record("codec.00000000.stream.40000000", 0x10012);
    EngineStreamRecord &peerDecoder = work[ENGINE_WORK_PEER_VIDEO_DECODER];
    peerDecoder = record("codec.00000002.stream.40000000", 0x10012);
    add_pair(&peerDecoder, ENGINE_PROPS_DECODER_ALIGN, 16, 16);
    add_mode(&peerDecoder, ENGINE_PROPS_CODEC_DECODER_MAX_MODE, {3840, 2160, 60, 1});
    EngineStreamRecord &peerEncoder = work[ENGINE_WORK_PEER_VIDEO_ENCODER];
    peerEncoder = record("codec.00000003.stream.40000000", 0x10012);
    add_mode(&peerEncoder, ENGINE_PROPS_CODEC_ENCODER_MAX_MODE, {3840, 2160, 60, 1});
    work[ENGINE_WORK_PEER_AUDIO_ENCODER] = record("codec.00000000.stream.00000000", 0x411);
    add_format(&work[ENGINE_WORK_PEER_AUDIO_ENCODER], ENGINE_PROPS_CODEC_ENCODER_MAX_FORMAT, k_s16);
    work[ENGINE_WORK_PEER_AUDIO_DECODER] = record("codec.00000000.stream.00000000", 0x411);
    add_format(&work[ENGINE_WORK_PEER_AUDIO_DECODER], ENGINE_PROPS_CODEC_DECODER_MAX_FORMAT,
               EngineAudioFormat{96000, 6, 24, 0, 'F', {0, 0, 0}});

    EngineStreamRecord peerVideo = record("stream.40000000", 0x10002);
    add_mode(&peerVideo, ENGINE_PROPS_RECEIVE_MODE, {3840, 2160, 60, 1});
    add_mode(&peerVideo, ENGINE_PROPS_SEND_MODE, {1920, 1080, 30, 1});
    EngineStreamRecord peerAudio = record("stream.00000000", 0x401);
    add_format(&peerAudio, ENGINE_PROPS_SEND_FORMAT, EngineAudioFormat{22050, 1, 16, 0, 'S', {0, 0, 0}});
    add_format(&peerAudio, ENGINE_PROPS_RECEIVE_FORMAT, EngineAudioFormat{32000, 2, 32, 0, 'F', {0, 0, 0}});
    EngineStreamRecord unused = record("", 0);  // trailing records travel empty
    EngineStreamTable *peer =
        table({peerAudio, peerVideo, work[ENGINE_WORK_PEER_VIDEO_ENCODER], unused});

    EngineStreamRecord localAudio = record("stream.00000000", 0x401);
    add_format(&localAudio, ENGINE_PROPS_ENCODER_MAX_FORMAT, EngineAudioFormat{8000, 1, 8, 0, 'U', {0, 0, 0}});
    EngineStreamRecord localVideo = record("stream.40000000", 0x10002);
    add_mode(&localVideo, ENGINE_PROPS_ENCODER_MAX_MODE, {1, 1, 1, 1});
    EngineStreamTable *offer = table({localAudio, localVideo});
    EngineStreamTable *answer = table({localVideo, localAudio, unused});  // the offer has no empty record

    ASSERT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, answer, peer, ENGINE_HOW_ANSWER, 0, work),
              CORE_OK);
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_SEND), CoreVideoMode{1920, 1072, 60, 1}));
    EXPECT_TRUE(same_mode(mode_of(offer->records[1], 0x1800), CoreVideoMode{1920, 1072, 60, 1}));
    EXPECT_TRUE(same_mode(mode_of(answer->records[0], 0x1800), CoreVideoMode{1920, 1072, 60, 1}));
    // Receive: decoder 1280x720 at 30 is the smallest and slowest; height from the peer encoder's 16:9,
    // rounded to 32 because the peer encoder states no alignment.
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_RECEIVE), CoreVideoMode{1280, 736, 30, 1}));
    // Audio on a p2p answer is always 48 kHz stereo S16LE, written over the offer's and the answer's 0x2800.
    EXPECT_TRUE(same_format(slot_format(capability_, ENGINE_SLOT_AUDIO_SEND), k_s16));
    EXPECT_TRUE(same_format(slot_format(capability_, ENGINE_SLOT_AUDIO_RECEIVE), k_s16));
    EngineAudioFormat written{};
    ASSERT_TRUE(engine_props_get_audio_format(&written, &offer->records[0].props, 0x2800));
    EXPECT_TRUE(same_format(written, k_s16));
    ASSERT_TRUE(engine_props_get_audio_format(&written, &answer->records[1].props, 0x2800));
    EXPECT_TRUE(same_format(written, k_s16));
}

TEST_F(Formats, AnswerFailuresAndSkippedDirections)
{
    EngineLocalCaps caps = caps_sending({1920, 1080, 60, 1});
    caps.receiveRoles = k_answerer;
    caps.receiveVideoMode = CoreVideoMode{1920, 1080, 60, 1};
    add(video_codec(2, "H264", RAVK_ACCEL_SOFTWARE));
    EngineStreamRecord work[ENGINE_WORK_RECORDS];
    for (EngineStreamRecord &w : work) w = record("", 0);
    EngineStreamRecord peerVideo = record("stream.40000000", ENGINE_MEDIA_VIDEO);
    add_mode(&peerVideo, ENGINE_PROPS_RECEIVE_MODE, {1920, 1080, 60, 1});
    add_mode(&peerVideo, ENGINE_PROPS_SEND_MODE, {1280, 720, 30, 1});
    add_mode(&peerVideo, ENGINE_PROPS_ENCODER_MAX_MODE, {1280, 720, 30, 1});
    add_mode(&peerVideo, ENGINE_PROPS_DECODER_MAX_MODE, {1920, 1080, 60, 1});
    EngineStreamTable *peer = table({peerVideo});
    EngineStreamTable *answer = table({record("stream.40000000", ENGINE_MEDIA_VIDEO)});
    EngineStreamTable *offer = table({record("stream.40000000", ENGINE_MEDIA_VIDEO)});
    EngineStreamTable *offerWithout = table({record("stream.00000000", ENGINE_MEDIA_AUDIO)});
    EngineStreamTable *nobody = table({record("stream.40000001", ENGINE_MEDIA_VIDEO)});

    EXPECT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offerWithout, answer, peer, 1, 0, work),
              CORE_ERR);
    EXPECT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, nobody, peer, 1, 0, work), CORE_OK);
    EXPECT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, answer, nullptr, 1, 0, work), CORE_OK);
    capability_->p2pClass = -1;
    EXPECT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, answer, peer, 1, 0, work),
              CORE_ERR_INVALID);
    capability_->p2pClass = 1;

    // No local encoder was chosen (the send stream found no pair): the
    // receive direction is still settled.
    work[ENGINE_WORK_LOCAL_VIDEO_DECODER] = record("codec.00000000.stream.40000000", 0x10012);
    ASSERT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, answer, peer, 1, 0, work), CORE_OK);
    EXPECT_EQ(capability_->slots[ENGINE_SLOT_VIDEO_SEND].size, 0u);
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_RECEIVE), CoreVideoMode{1280, 736, 30, 1}));

    // A chosen encoder the list does not hold is a failure.
    work[ENGINE_WORK_LOCAL_VIDEO_ENCODER] = record("codec.00000005.stream.40000000", 0x10012);
    EXPECT_EQ(engine_negotiate_finish(capability_, k_answerer, &caps, offer, answer, peer, 1, 0, work), CORE_ERR);
}

// How 2: the requester takes what the answer says, encoder and decoder limits traded.
TEST_F(Formats, AdoptingTheAnswer)
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    caps.sendRoles = caps.receiveRoles = k_requester;
    EngineStreamRecord work[ENGINE_WORK_RECORDS];
    for (EngineStreamRecord &w : work) w = record("", 0);
    EngineStreamRecord peerVideo = record("stream.40000000", ENGINE_MEDIA_VIDEO);
    add_mode(&peerVideo, ENGINE_PROPS_ENCODER_MAX_MODE, {1920, 1072, 60, 1});  // the answerer's send mode
    add_mode(&peerVideo, ENGINE_PROPS_DECODER_MAX_MODE, {1280, 720, 30, 1});   // what it can decode
    EngineStreamRecord peerAudio = record("stream.00000000", ENGINE_MEDIA_AUDIO);
    const EngineAudioFormat f1 = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    const EngineAudioFormat f2 = {44100, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    add_format(&peerAudio, ENGINE_PROPS_ENCODER_MAX_FORMAT, f1);
    add_format(&peerAudio, ENGINE_PROPS_DECODER_MAX_FORMAT, f2);
    EngineStreamTable *peer = table({peerAudio, peerVideo});
    EngineStreamTable *local = table({record("stream.00000000", ENGINE_MEDIA_AUDIO),
                                      record("stream.40000000", ENGINE_MEDIA_VIDEO)});

    ASSERT_EQ(engine_negotiate_finish(capability_, k_requester, &caps, local, peer, peer, ENGINE_HOW_ADOPT, 0, work),
              CORE_OK);
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_SEND), CoreVideoMode{1280, 720, 30, 1}));
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_RECEIVE), CoreVideoMode{1920, 1072, 60, 1}));
    EXPECT_TRUE(same_format(slot_format(capability_, ENGINE_SLOT_AUDIO_SEND), f2));
    EXPECT_TRUE(same_format(slot_format(capability_, ENGINE_SLOT_AUDIO_RECEIVE), f1));

    // An answer that states nothing leaves what the slots held.
    EngineStreamTable *silent = table({record("stream.00000000", ENGINE_MEDIA_AUDIO),
                                       record("stream.40000000", ENGINE_MEDIA_VIDEO)});
    ASSERT_EQ(engine_negotiate_finish(capability_, k_requester, &caps, local, silent, silent, 2, 0, work), CORE_OK);
    EXPECT_TRUE(same_mode(slot_mode(capability_, ENGINE_SLOT_VIDEO_SEND), CoreVideoMode{1280, 720, 30, 1}));
    EXPECT_TRUE(same_format(slot_format(capability_, ENGINE_SLOT_AUDIO_RECEIVE), f1));
}

TEST_F(Formats, BroadcastProfile)
{
    add(video_codec(1, "H264", RAVK_ACCEL_SOFTWARE, {3840, 2160, 60, 1}));
    const struct {
        const char *purpose;
        uint32_t sizeClass;
        CoreVideoMode source, requested, expected;
    } cases[] = {
        {"16:10 source in the 720p class", 2, {2560, 1600, 60, 1}, {}, {1280, 800, 30, 1}},
        {"portrait source: the long side goes to the height", 2, {1080, 1920, 60, 1}, {}, {704, 1280, 30, 1}},
        {"a smaller request wins", 0, {3840, 2160, 60, 1}, {1280, 720, 25, 1}, {1280, 736, 25, 1}},
        {"a slower source keeps its rate", 0, {1920, 1080, 24, 1}, {}, {1920, 1088, 24, 1}},
        {"a square result aligns to 64 both ways", 0, {1000, 1000, 30, 1}, {}, {1024, 1024, 30, 1}},
        {"the 432p class", 1, {1920, 1080, 60, 1}, {}, {768, 448, 30, 1}},
        {"a source without a size", 2, {0, 0, 60, 1}, {}, {0, 0, 30, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        capability_->videoSizeClass = c.sizeClass;
        CoreVideoMode out{};
        ASSERT_EQ(engine_broadcast_profile_make(capability_, &c.source, &c.requested, &out), &out);
        EXPECT_TRUE(same_mode(out, c.expected))
            << out.width << "x" << out.height << "@" << out.rate_num << "/" << out.rate_den;
        EXPECT_TRUE(same_mode(capability_->videoLimit, c.expected));
    }
    EXPECT_EQ(engine_broadcast_profile_make(nullptr, nullptr, nullptr, nullptr), nullptr);
}

}  // namespace
