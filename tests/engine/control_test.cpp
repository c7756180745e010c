// The control service of a started media node: the codes it declines, the
// requests it answers itself (playback and capture parameters, fed frames,
// stream queries, frame conversion, negotiated formats), the dispatch of
// the connection, device and picture requests, and the length checks of
// every record it reads or writes.
#include <gtest/gtest.h>

#include <cstring>

#include "core/notify.h"
#include "core/video.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/control.h"
#include "engine/display.h"
#include "engine/engine_support.h"
#include "engine/session.h"

namespace {

using namespace engine_support;

class ControlTest : public EngineFixture {
protected:
    void SetUp() override
    {
        EngineFixture::SetUp();
        if (HasFatalFailure()) return;
        config_ = capture_record();
        ASSERT_EQ(start(config_), ENGINE_STATE_STARTED);
        session_ = engine_session_current();
        ASSERT_NE(session_, nullptr);
    }
    void TearDown() override
    {
        stop_engine();
        EngineFixture::TearDown();
    }

    // Through the channel, as every caller does.
    static CoreResult request(uint32_t code, const void *in, uint64_t in_len, void *out = nullptr,
                              uint64_t out_len = 0)
    {
        const CoreName channel = name_of(ENGINE_CONTROL_SERVICE);
        uint64_t length = out_len;
        return core_notify(&channel, code, in, in_len, out, out != nullptr ? &length : nullptr);
    }

    EngineConfig config_;
    EngineSession *session_ = nullptr;
};

TEST_F(ControlTest, DeclinesCodesOutsideItsRange)
{
    void *user[2] = {session_, nullptr};
    for (uint32_t code : {0x53FFu, 0x544Bu, 0x5000u, 0x5A04u})
        EXPECT_EQ(engine_on_control(code, nullptr, 0, nullptr, nullptr, user), CORE_NOT_MINE) << std::hex << code;
    // Nobody else claims them on the channel.
    EXPECT_EQ(request(0x544B, nullptr, 0), CORE_ERR);
    // The session's own codes without a session.
    void *none[2] = {nullptr, nullptr};
    EXPECT_EQ(engine_on_control(ENGINE_CTL_GET_VIDEO_MODE, nullptr, 0, nullptr, nullptr, none), CORE_ERR);
}

// The receive direction's format and mode as the last negotiation settled
// them; before one, 1 and zeros.
TEST_F(ControlTest, NegotiatedAudioFormatAndVideoMode)
{
    uint8_t mode[16];
    memset(mode, 0xAB, sizeof(mode));
    EXPECT_EQ(request(ENGINE_CTL_GET_VIDEO_MODE, nullptr, 0, mode, sizeof(mode)), CORE_DONE);
    for (uint8_t byte : mode) EXPECT_EQ(byte, 0u);
    EXPECT_EQ(request(ENGINE_CTL_GET_VIDEO_MODE, nullptr, 0, mode, 15), CORE_ERR_INVALID);

    EngineCapability *capability = engine_capability_current();
    const CoreVideoMode video = {1280, 720, 30, 1};
    const EngineAudioFormat audio = {44100, 1, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_VIDEO_RECEIVE, &video, sizeof(video)), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_RECEIVE, &audio, sizeof(audio)), 0);
    CoreVideoMode gotVideo;
    EngineAudioFormat gotAudio;
    EXPECT_EQ(request(ENGINE_CTL_GET_VIDEO_MODE, nullptr, 0, &gotVideo, sizeof(gotVideo)), CORE_OK);
    EXPECT_EQ(memcmp(&gotVideo, &video, sizeof(video)), 0);
    EXPECT_EQ(request(ENGINE_CTL_GET_AUDIO_FORMAT, nullptr, 0, &gotAudio, sizeof(gotAudio)), CORE_OK);
    EXPECT_EQ(memcmp(&gotAudio, &audio, sizeof(audio)), 0);

    // A slot value larger than the answer is no answer.
    const uint8_t big[20] = {1};
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_RECEIVE, big, sizeof(big)), 0);
    EXPECT_EQ(request(ENGINE_CTL_GET_AUDIO_FORMAT, nullptr, 0, &gotAudio, sizeof(gotAudio)), CORE_DONE);
}

// Capture parameters reach the provider and the session; a conversion
// request of mode 1 turns a frame through the framework; every short
// record is refused before it is read.
TEST_F(ControlTest, CaptureParametersAndFrameConversion)
{
    const EngineCaptureParams params = {{0, 0, 0, 0}};
    EXPECT_EQ(request(ENGINE_CTL_SET_CAPTURE_PARAMS, &params, sizeof(params)), CORE_OK);
    EXPECT_EQ(request(ENGINE_CTL_SET_CAPTURE_PARAMS, &params, 8), CORE_ERR_INVALID);

    // An I420 frame of 4 x 2 turned by 90 degrees: 2 x 4, the luma rows
    // read bottom to top become the columns.
    uint8_t frame[12] = {0, 1, 2, 3, 4, 5, 6, 7, 100, 101, 200, 201};
    const CoreFrameSize in = {4, 2}, out = {2, 4};
    const RavkIoVec input = {sizeof(frame), frame};
    EngineConvertRequest convert;
    memset(&convert, 0, sizeof(convert));
    convert.mode = 1;
    convert.sourceFormat = core_fourcc("I420");
    convert.destinationFormat = core_fourcc("I420");
    convert.rotation = 2;
    convert.inputSize = &in;
    convert.outputSize = &out;
    convert.input = &input;
    RavkIoVec answer = {0, nullptr};
    ASSERT_EQ(request(ENGINE_CTL_ROTATE_FRAME, &convert, sizeof(convert), &answer, sizeof(answer)), CORE_OK);
    ASSERT_EQ(answer.length, 12u);
    const uint8_t expected[8] = {4, 0, 5, 1, 6, 2, 7, 3};
    EXPECT_EQ(memcmp(answer.data, expected, sizeof(expected)), 0);

    struct Case {
        const char *what;
        uint32_t mode;
        uint64_t in_len;
        uint64_t out_len;
        bool sizes;
        CoreResult result;
    };
    const Case cases[] = {
        {"mode 0", 0, sizeof(convert), sizeof(answer), true, CORE_ERR},
        {"short request", 1, 40, sizeof(answer), true, CORE_ERR_INVALID},
        {"short answer", 1, sizeof(convert), 8, true, CORE_ERR_INVALID},
        {"no sizes", 1, sizeof(convert), sizeof(answer), false, CORE_ERR_INVALID},
    };
    for (const Case &c : cases) {
        EngineConvertRequest r = convert;
        r.mode = c.mode;
        if (!c.sizes) r.inputSize = nullptr;
        EXPECT_EQ(request(ENGINE_CTL_ROTATE_FRAME, &r, c.in_len, &answer, c.out_len), c.result) << c.what;
    }
}

TEST_F(ControlTest, FedFramesAndStreamQueriesFindTheirStream)
{
    test_streams(session_, config_, true);
    EngineFeedRequest feed;
    memset(&feed, 0, sizeof(feed));
    feed.medium = 1;
    feed.stream = name_of("stream.40000077");
    uint8_t data[16] = {};
    RavkSample sample;
    memset(&sample, 0, sizeof(sample));
    sample.data = data;
    sample.size = sizeof(data);
    EXPECT_EQ(request(ENGINE_CTL_FEED_FRAMES, &feed, sizeof(feed), &sample, sizeof(data)), CORE_DONE)
        << "a stream the slot does not hold";
    EXPECT_EQ(request(ENGINE_CTL_FEED_FRAMES, &feed, 276, &sample, sizeof(data)), CORE_ERR_INVALID);
    // A medium other than audio or video is never pushed.
    feed.medium = 5;
    feed.stream = name_of(kTestAudioStream);
    EXPECT_EQ(request(ENGINE_CTL_FEED_FRAMES, &feed, sizeof(feed), &sample, sizeof(data)), CORE_ERR);

    EngineStreamQuery query;
    memset(&query, 0, sizeof(query));
    query.kind = 1;
    query.stream = name_of("stream.40000077");
    EXPECT_EQ(request(ENGINE_CTL_QUERY_STREAM, &query, sizeof(query)), CORE_ERR);
    EXPECT_EQ(request(ENGINE_CTL_QUERY_STREAM, &query, 100), CORE_ERR_INVALID);
}

// Playback parameters go to the display; the other families go to their
// own handlers through the one channel.
TEST_F(ControlTest, PlaybackParametersAndDispatch)
{
    EnginePlaybackParams params;
    memset(&params, 0, sizeof(params));
    params.window = 0x4A00001;
    params.renderRectangle = {1, 2, 300, 200};
    EXPECT_EQ(request(ENGINE_CTL_SET_PLAYBACK_PARAMS, &params, sizeof(params)), CORE_OK);
    EXPECT_EQ(request(ENGINE_CTL_SET_PLAYBACK_PARAMS, &params, 40), CORE_ERR_INVALID);
    const uint64_t offset = 7;
    EXPECT_EQ(request(ENGINE_CTL_SET_PLAYBACK_OFFSET, &offset, sizeof(offset)), CORE_OK);
    {
        std::lock_guard<std::mutex> guard(session_->display->lock);
        EXPECT_EQ(session_->display->window, 0x4A00001u);
        EXPECT_EQ(session_->display->renderRectangle.width, 300);
        EXPECT_EQ(session_->display->playbackOffset, 7u);
    }

    // Connection control: the version mismatch tells the user.
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    EXPECT_EQ(request(ENGINE_CTL_VERSION_MISMATCH, &record, sizeof(record)), CORE_OK);
    events_.flush();
    const auto messages = events_.of<EngineMessageText>(ENGINE_EVT_MESSAGE);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_STREQ(messages[0].text,
                 "The application versions are incompatible. Please update the application to the latest version.");
    // Device requests: the two unsupported codes.
    EXPECT_EQ(request(ENGINE_CTL_UNSUPPORTED, nullptr, 0), CORE_ERR_UNSUPPORTED);
    EXPECT_EQ(request(ENGINE_CTL_UNSUPPORTED_2, nullptr, 0), CORE_ERR_UNSUPPORTED);
    // Picture requests: nothing plays, so there is no video node to ask.
    uint8_t balance[40] = {};
    EXPECT_EQ(request(ENGINE_CTL_GET_BRIGHTNESS, nullptr, 0, balance, sizeof(balance)), CORE_ERR);
    // Frames pushed without the chain's size are refused.
    EngineFrameBatch batch;
    memset(&batch, 0, sizeof(batch));
    EXPECT_EQ(request(ENGINE_CTL_PUSH_FRAMES, &batch, sizeof(batch)), CORE_ERR_INVALID);
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS
