// The picture adjustment window's control requests, as a running engine's
// control service receives them.
#include <gst/gst.h>
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstring>
#include <mutex>
#include <vector>

#include "engine/picture.h"
#include "gui/services/engine_support.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "windows/viewer/bcsh_window.h"

using namespace facade_support;

namespace {

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new FacadeEnvironment);

// Listens on the control channel beside the engine and leaves every request
// to it.
struct Request {
    uint32_t code;
    RavkColorBalanceValue value;
};

std::mutex g_mutex;
std::vector<Request> g_requests;

CoreResult record(uint32_t code, const void *in, uint64_t inLength, void *, uint64_t *, void **)
{
    if (code >= ENGINE_CTL_SET_BRIGHTNESS && code <= ENGINE_CTL_SET_HUE && inLength == sizeof(EngineColorBalanceRequest)) {
        EngineColorBalanceRequest request;
        memcpy(&request, in, sizeof(request));
        std::lock_guard<std::mutex> lock(g_mutex);
        g_requests.push_back({code, request.value});
    }
    return CORE_NOT_MINE;
}

std::vector<Request> take()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Request> out;
    out.swap(g_requests);
    return out;
}

bool same(const Request &r, uint32_t code, int64_t minimum, int64_t maximum, int64_t value)
{
    return r.code == code && r.value.flags == 1 && r.value.minimum == minimum && r.value.maximum == maximum &&
           r.value.value == value;
}

// GLib abandons a block of its string table, on purpose, whenever the table
// grows; the multimedia framework's registry scan grows it by thousands of
// names. That scan runs here, once, with leak tracking off for it; the
// engine's own start then finds the framework ready.
void start_framework()
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    gst_init(nullptr, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
}

TEST(BCSHRequests, ValuesReachTheControlService)
{
    start_framework();
    const std::string why = pi_test_gtk_start();
    if (!why.empty()) GTEST_SKIP() << why;
    configure_test_node();
    run_state(PK_DEAM_STATE_STARTED);
    ASSERT_NE(engine_session_current(), nullptr);
    CoreName channel = name_of(ENGINE_CONTROL_SERVICE);
    CoreNotifySubscription subscription = {&record, {nullptr, nullptr}};
    const uint64_t token = core_notify_subscribe(&channel, &subscription);
    ASSERT_NE(token, 0u);

    Glib::RefPtr<PiApplication> app = pi_test_application();
    std::shared_ptr<BCSHWindow> window = PiApplication::openWindow<BCSHWindow>(pi_test_gtk_application(app), nullptr);
    ASSERT_TRUE(window);
    EXPECT_TRUE(take().empty()) << "building the window sends nothing";

    window->setHue(-50, false);
    std::vector<Request> sent = take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(same(sent[0], ENGINE_CTL_SET_HUE, -50, 50, -50));
    EXPECT_EQ(window->hue_label->get_text(), "-50");

    // Reset with every scale at its default: the four defaults, once each.
    window->onResetClicked();
    sent = take();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_TRUE(same(sent[0], ENGINE_CTL_SET_BRIGHTNESS, 0, 100, 50));
    EXPECT_TRUE(same(sent[1], ENGINE_CTL_SET_CONTRAST, 0, 100, 50));
    EXPECT_TRUE(same(sent[2], ENGINE_CTL_SET_SATURATION, 0, 100, 50));
    EXPECT_TRUE(same(sent[3], ENGINE_CTL_SET_HUE, -50, 50, 0));

    core_notify_unsubscribe(&channel, token);
    window->hide();
    window.reset();
    app->windows.clear();
    for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    run_state(PK_DEAM_STATE_STOPPED);
}

}  // namespace
