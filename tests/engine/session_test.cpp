// The engine session and the peer services of a started engine: what a
// media node holds (framework, provider, display, binder table, evaluation,
// the subscribed handlers), when the device enumerator is made, which
// services each services mode creates, the refusals, and the capture hook
// that describes an application-fed device before its capture is made.
#include <gtest/gtest.h>

#include <cstring>

#include "core/handle.h"
#include "core/notify.h"
#include "core/values.h"
#include "engine/binder.h"
#include "engine/binding_protocol.h"
#include "engine/capability.h"
#include "engine/devices.h"
#include "engine/engine_support.h"
#include "engine/evaluation.h"
#include "engine/presence.h"
#include "engine/session.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/devices.h"
#include "ravelkit/provider.h"

namespace {

using namespace engine_support;

class SessionTest : public EngineFixture {
protected:
    void TearDown() override
    {
        stop_engine();
        EngineFixture::TearDown();
    }

    static CoreResult control(uint32_t code, void *out, uint64_t size)
    {
        const CoreName channel = name_of(ENGINE_CONTROL_SERVICE);
        uint64_t length = size;
        return core_notify(&channel, code, nullptr, 0, out, &length);
    }
};

TEST_F(SessionTest, MediaNodeHoldsItsPartsAndLetsThemGoAtStop)
{
    EngineConfig config = start_record(ENGINE_NODE_MEDIA);
    config.p2mChannelCount = 8;
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    EngineSession *session = engine_session_current();
    ASSERT_NE(session, nullptr);
    EXPECT_NE(session->provider, nullptr);
    EXPECT_NE(session->display, nullptr);
    EXPECT_NE(session->evaluation, nullptr);
    ASSERT_NE(session->binderTable, nullptr);
    EXPECT_EQ(session->binderTable->open.load(), 0u);
    EXPECT_EQ(session->binderTable->channelCount[ENGINE_BINDER_P2P], 1u);
    EXPECT_EQ(session->binderTable->channelCount[ENGINE_BINDER_P2M], 8u);
    EXPECT_EQ(session->binderTable->securityFlags, static_cast<uint32_t>(FLOWMESH_KEYS_128));
    EXPECT_NE(session->commandSubscription, 0u);
    EXPECT_NE(session->eventSubscription, 0u);
    EXPECT_NE(session->controlToken, 0u);
    EXPECT_NE(session->pipelineToken, 0u);
    EXPECT_GT(core_codec_count_audio(RAVK_CODEC_ENCODER), 0u) << "the framework registered its codecs";
    // sendRoles 0: no capture, so no enumerator.
    EXPECT_FALSE(session->enumeratorCreated);
    EXPECT_EQ(ravk_device_enum_instance(), nullptr);

    // The control service answers on the caller's thread.
    uint8_t mode[16];
    memset(mode, 0xAB, sizeof(mode));
    EXPECT_EQ(control(ENGINE_CTL_GET_VIDEO_MODE, mode, sizeof(mode)), CORE_DONE);
    EXPECT_EQ(control(0x544B, mode, sizeof(mode)), CORE_ERR) << "nobody claims a code past the range";

    EngineServices *services = engine_services_current();
    ASSERT_NE(services, nullptr);
    EXPECT_NE(services->presence, nullptr);
    EXPECT_NE(services->binding, nullptr);
    EXPECT_NE(services->send, nullptr);
    EXPECT_NE(services->receive, nullptr);

    stop_engine();
    EXPECT_EQ(engine_session_current(), nullptr);
    EXPECT_EQ(engine_services_current(), nullptr);
    EXPECT_EQ(control(ENGINE_CTL_GET_VIDEO_MODE, mode, sizeof(mode)), CORE_ERR) << "the channel went";
    EXPECT_EQ(core_codec_count_audio(RAVK_CODEC_ENCODER), 0u) << "the codec lists were emptied";

    // The framework can be started again by the next session.
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    EXPECT_NE(engine_session_current(), nullptr);
}

// Only the native and screen classes of the source slots count, and only
// for a node that captures.
TEST_F(SessionTest, DeviceEnumeratorOnlyWhenCaptureNeedsIt)
{
    struct Case {
        uint32_t sendRoles;
        uint32_t audioClass;
        uint32_t videoClass;
        bool enumerator;
    };
    const Case cases[] = {
        {ENGINE_ROLE_ANSWERER, RAVK_CLASS_NATIVE, 0, true},
        {0, RAVK_CLASS_NATIVE, RAVK_CLASS_SCREEN, false},
        {ENGINE_ROLE_ANSWERER, RAVK_CLASS_VIRTUAL, RAVK_CLASS_VIRTUAL, false},
        {ENGINE_ROLE_ANSWERER, RAVK_CLASS_TEST, RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.audioClass);
        EngineConfig config = start_record(ENGINE_NODE_MEDIA);
        config.sendRoles = c.sendRoles;
        config.audioSource.deviceClass = c.audioClass;
        config.videoSource.deviceClass = c.videoClass;
        ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
        ASSERT_NE(engine_session_current(), nullptr);
        EXPECT_EQ(engine_session_current()->enumeratorCreated, c.enumerator);
        EXPECT_EQ(ravk_device_enum_instance() != nullptr, c.enumerator);
        // A capturing node has its source registries.
        EXPECT_EQ(engine_session_current()->provider->audioSources != nullptr, c.sendRoles != 0);
        stop_engine();
    }
}

TEST_F(SessionTest, SessionRefusals)
{
    EXPECT_EQ(engine_session_create(nullptr), CORE_ERR_INVALID);
    EngineSessionParams params;
    memset(&params, 0, sizeof(params));
    params.frameworkType = 1;
    EXPECT_EQ(engine_session_create(&params), CORE_ERR) << "no capability to size the binder table";

    // A framework profile the framework does not know fails the start.
    EngineConfig config = start_record(ENGINE_NODE_MEDIA);
    config.frameworkType = 3;
    EXPECT_EQ(start(config), ENGINE_STATE_STOPPED);
    EXPECT_EQ(engine_session_current(), nullptr);

    config = start_record(ENGINE_NODE_MEDIA);
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    EngineSession *session = engine_session_current();
    EngineMediaProvider *provider = session->provider;
    EXPECT_EQ(engine_session_create(&params), CORE_ERR);
    EXPECT_EQ(engine_session_current(), session);
    EXPECT_EQ(session->provider, provider);
    EXPECT_EQ(engine_services_create(&engine_services_current()->params), CORE_ERR);
}

// Which services each services mode and service-flag word creates.
TEST_F(SessionTest, ServicesFollowServicesModeAndFlags)
{
    struct Case {
        uint32_t servicesMode;
        uint32_t serviceFlags;
        bool made;
        bool receive;
        bool send;
        bool binding;
    };
    const Case cases[] = {
        {10, 3, true, true, true, true},
        {10, ENGINE_SERVICE_SEND, true, false, true, true},
        {10, 0, true, false, false, true},
        {0, 3, true, false, false, false},
        {ENGINE_SERVICES_MEDIA, 3, true, false, false, false},
        {11, 3, false, false, false, false},
        {ENGINE_SERVICES_FILES, 3, false, false, false, false},
    };
    const EngineConfig config = start_record(ENGINE_NODE_PLAIN);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.servicesMode << " flags " << c.serviceFlags);
        EngineServiceParams params;
        memset(&params, 0, sizeof(params));
        params.sendRoles = ENGINE_ROLE_ANSWERER;
        params.receiveRoles = ENGINE_ROLE_REQUESTER;
        params.binderDirection = 3;
        params.serviceFlags = c.serviceFlags;
        params.onOffer = engine_binding_on_offer;
        ASSERT_EQ(engine_config_network(&config, nullptr, &params.network), CORE_OK);
        params.network.servicesMode = c.servicesMode;
        ASSERT_EQ(engine_services_create(&params), c.made ? CORE_OK : CORE_ERR);
        EngineServices *services = engine_services_current();
        ASSERT_EQ(services != nullptr, c.made);
        if (services == nullptr) continue;
        EXPECT_NE(services->presence, nullptr);
        EXPECT_EQ(services->receive != nullptr, c.receive);
        EXPECT_EQ(services->send != nullptr, c.send);
        EXPECT_EQ(services->binding != nullptr, c.binding);
        engine_services_destroy();
        EXPECT_EQ(engine_services_current(), nullptr);
    }
}

// The capture hook describes the selected application-fed device to the
// device as its second element slot; slot parameters without a feed leave
// it alone, and an unknown feed is refused.
TEST_F(SessionTest, CaptureHookDescribesTheSelectedAppFedDevice)
{
    struct Case {
        uint32_t slotParam;
        bool select;
        CoreResult result;
        bool described;
    };
    const Case cases[] = {
        {0x100, true, CORE_OK, false},
        {0x101, false, CORE_OK, false},
        {0x103, true, CORE_ERR, false},
        {0x101, true, CORE_OK, true},
    };
    int round = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.slotParam);
        EngineConfig config = start_record(ENGINE_NODE_MEDIA);
        config.sendRoles = ENGINE_ROLE_ANSWERER;
        config.audioSource.deviceClass = RAVK_CLASS_VIRTUAL;
        config.audioSource.slotParam = c.slotParam;
        ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
        EngineSession *session = engine_session_current();
        RavkDeviceList *list = session->provider->audioSources;
        ASSERT_NE(list, nullptr);

        RavkDeviceRecord device;
        ravk_device_record_init(&device);
        core_name_format(&device.id, "app.audio.%d", round++);
        ravk_device_text_set(&device.name, 0, "fed audio", 9);
        device.format_code = core_fourcc("lpcm");
        device.tail.audio.format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        ASSERT_EQ(ravk_device_list_add_virtual_audio(list, 1, 0, &device), 0);
        if (c.select) {
            ASSERT_EQ(ravk_device_list_select(list, &device.id), 0);
        }

        RavkProviderAudioStream audio;
        memset(&audio, 0, sizeof(audio));
        audio.encoder.input = core_fourcc("lpcm");
        audio.format.audio = {44100, 1, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        EXPECT_EQ(engine_session_capture_hook(&audio, nullptr, session), c.result);

        const uint64_t handle = ravk_device_list_find(list, &device.id, 1);
        ASSERT_NE(handle, 0u);
        CoreHandleTable *devices = core_handle_tables[CORE_HANDLES_DEVICES];
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices, handle));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->desc[1].load() != nullptr, c.described);
        core_handle_release(devices, handle);
        stop_engine();
    }
}

TEST_F(SessionTest, AppSlotAddChecksRecordAndTarget)
{
    EngineConfig config = start_record(ENGINE_NODE_MEDIA);
    ASSERT_EQ(start(config), ENGINE_STATE_STARTED);
    EngineSession *session = engine_session_current();
    EngineAppVideoSource video;
    memset(&video, 0, sizeof(video));
    EngineAppAudioSource audio;
    memset(&audio, 0, sizeof(audio));
    EXPECT_EQ(engine_app_audio_slot_add(session, &audio, sizeof(audio) - 1), CORE_ERR_INVALID);
    EXPECT_EQ(engine_app_video_slot_add(session, nullptr, sizeof(video)), CORE_ERR_INVALID);
    audio.target = 2;
    EXPECT_EQ(engine_app_audio_slot_add(session, &audio, sizeof(audio)), CORE_ERR);
    // sendRoles 0: the provider has no source registry to add to.
    EXPECT_EQ(engine_app_video_slot_add(session, &video, sizeof(video)), CORE_ERR);
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS
