// The playback window's life: construction, run, binding and unbinding,
// the playback states and the engine's events.
#include "windows/viewer/playback_window.h"

#include <glibmm/main.h>
#include <gtkmm/application.h>

#include <cstring>
#include <ctime>

#include "app/settings.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "core/clock.h"
#include "core/names.h"
#include "engine/codes.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/media.h"
#include "services/utils.h"
#include "notifications/notifications.h"
#include "windows/viewer/bcsh_window.h"
#include "windows/viewer/playback_window_parts.h"
#include "windows/viewer/statistic_window.h"
#include "toolkit/main_loop.h"

// Xlib's macros clash with the gtkmm headers: after them.
#include <gdk/gdkx.h>

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

Glib::ustring tr(const char *messageId) { return pk_translate(messageId); }

// "Label: value" with the label translated on its own.
Glib::ustring labelled(const char *label, const Glib::ustring &value) { return tr(label) + ": " + value; }

int64_t number_of(const std::shared_ptr<PkXMLObject> &object, int64_t fallback)
{
    auto number = std::dynamic_pointer_cast<PkXMLNumberObject>(object);
    return number ? number->value : fallback;
}

}  // namespace

int64_t pk_playback_now_ms() { return static_cast<int64_t>(core_clock_mono_ms()); }

bool pk_playback_mode_complete(const PkVideoMode &mode)
{
    for (uint32_t v : {mode.width, mode.height, mode.rateNumerator, mode.rateDenominator})
        if (v == 0 || v == UINT32_MAX) return false;
    return true;
}

std::string pk_playback_peer_name(const PkSession &session)
{
    std::string suffix;
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        suffix = session.nameSuffix;
    }
    return pk_session_display_name(session) + suffix;
}

// ---- construction ----------------------------------------------------------------------

VideoWindow::VideoWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    builder->get_widget("main_overlay", main_overlay);
    builder->get_widget("video_view", video_view);
    builder->get_widget("logo_overlay", logo_overlay);
    builder->get_widget("back_box", back_box);
    builder->get_widget("logo_box", logo_box);
    builder->get_widget("avatar_image", avatar_image);
    builder->get_widget("under_name_label", under_name_label);
    builder->get_widget("connect_image", connect_image);
    builder->get_widget("connect_status", connect_status);
    builder->get_widget("logo_image", logo_image);
    builder->get_widget("down_bar", down_bar);
    builder->get_widget("down_bar_grid", down_bar_grid);
    builder->get_widget("resolution_label", resolution_label);
    builder->get_widget("bitrate_label", bitrate_label);
    builder->get_widget("encryption_label", encryption_label);
    builder->get_widget("connected_label", connected_label);
    builder->get_widget("top_bar", top_bar);
    builder->get_widget("top_bar_grid", top_bar_grid);
    builder->get_widget("user_name_label", user_name_label);
    builder->get_widget("source_label", source_label);
    builder->get_widget("top_bar_buttons", top_bar_buttons);
    builder->get_widget("screen_box", screen_box);
    builder->get_widget("screen_button", screen_button);
    builder->get_widget("screen_image", screen_image);
    builder->get_widget("aspect_box", aspect_box);
    builder->get_widget("aspect_button", aspect_button);
    builder->get_widget("aspect_image", aspect_image);
    builder->get_widget("zoom_box", zoom_box);
    builder->get_widget("zoom_button", zoom_button);
    builder->get_widget("zoom_image", zoom_image);
    builder->get_widget("bcsh_box", bcsh_box);
    builder->get_widget("bcsh_button", bcsh_button);
    builder->get_widget("bcsh_image", bcsh_image);
    builder->get_widget("peer_box", peer_box);
    builder->get_widget("peer_button", peer_button);
    builder->get_widget("peer_image", peer_image);
    // get_widget complains about ids the definition lacks; these four are
    // optional, so they are looked up only when present.
    if (builder->get_object("video_event_box")) builder->get_widget("video_event_box", video_event_box);
    if (builder->get_object("video_fixed")) builder->get_widget("video_fixed", video_fixed);
    if (builder->get_object("top_separator")) builder->get_widget("top_separator", top_separator);
    if (builder->get_object("down_separator")) builder->get_widget("down_separator", down_separator);
    bars = {top_bar, down_bar};

    const Glib::ustring none = tr("N/A");
    resolution_label->set_text(labelled("Resolution", none));
    encryption_label->set_text(labelled("Encryption", none));
    bitrate_label->set_text(labelled("Bitrate", none));
    connected_label->set_text(labelled("Connected time", none));
    logo_image->set_opacity(0.3);

    for (Gtk::Button *button : {screen_button, aspect_button, zoom_button, bcsh_button, peer_button}) {
        button->signal_enter_notify_event().connect(
            sigc::bind(sigc::mem_fun(*this, &VideoWindow::onBarEnter), button), false);
        button->signal_leave_notify_event().connect(sigc::mem_fun(*this, &VideoWindow::onBarLeave), false);
    }
    signal_size_allocate().connect(sigc::mem_fun(*this, &VideoWindow::onSizeAllocate), true);
    signal_delete_event().connect(sigc::mem_fun(*this, &VideoWindow::onDeleteEvent), false);
    screen_button->signal_clicked().connect(sigc::mem_fun(*this, &VideoWindow::onScreenClicked));
    aspect_button->signal_clicked().connect(sigc::mem_fun(*this, &VideoWindow::onAspectClicked));
    zoom_button->signal_clicked().connect(sigc::mem_fun(*this, &VideoWindow::onScaleClicked));
    bcsh_button->signal_clicked().connect(sigc::mem_fun(*this, &VideoWindow::onPictureClicked));
    peer_button->signal_clicked().connect(sigc::mem_fun(*this, &VideoWindow::onStreamInfoClicked));
    signal_key_press_event().connect(sigc::mem_fun(*this, &VideoWindow::onKeyPress), false);
    add_events(Gdk::ENTER_NOTIFY_MASK | Gdk::LEAVE_NOTIFY_MASK | Gdk::POINTER_MOTION_MASK);
    signal_enter_notify_event().connect(sigc::mem_fun(*this, &VideoWindow::onEnterNotify), false);
    signal_leave_notify_event().connect(sigc::mem_fun(*this, &VideoWindow::onLeaveNotify), false);
    signal_motion_notify_event().connect(sigc::mem_fun(*this, &VideoWindow::onMotionNotify), false);
    video_view->add_events(Gdk::POINTER_MOTION_MASK);
    video_view->signal_motion_notify_event().connect(sigc::mem_fun(*this, &VideoWindow::onMotionNotify), false);
    signal_show().connect(sigc::mem_fun(*this, &VideoWindow::onShow), true);
    signal_hide().connect(sigc::mem_fun(*this, &VideoWindow::onHide), true);
    Gtk::Widget *pressed = video_event_box != nullptr ? static_cast<Gtk::Widget *>(video_event_box) : video_view;
    pressed->add_events(Gdk::BUTTON_PRESS_MASK);
    pressed->signal_button_press_event().connect(sigc::mem_fun(*this, &VideoWindow::onButtonPress), false);
    main_overlay->set_has_tooltip(false);

    std::shared_ptr<AppSettings> settings = loadAppSettings();
    auto ontop = settings ? std::dynamic_pointer_cast<PkXMLBooleanObject>(settings->videoOntop) : nullptr;
    if (ontop && ontop->value) set_keep_above(true);

    reconnectDeadline = pk_playback_now_ms() + PK_RECONNECT_WINDOW_MS;
    barDeadline = 0;
    barTimer = Glib::signal_timeout().connect(sigc::mem_fun(*this, &VideoWindow::onBarTimer), PK_BAR_TICK_MS);

    initialSizing();
    updateTitle();
}

VideoWindow::~VideoWindow()
{
    unbind();
    barTimer.disconnect();
    retryTimer.disconnect();
    if (keepingAwake) PkDisplay::instance()->allowSleep();
}

// ---- run -------------------------------------------------------------------------------

int VideoWindow::run()
{
    nativeVideo = isNativeRenderer();
    show_all();
    barDeadline = pk_playback_now_ms() + PK_BAR_HIDE_MS;
    hideBars();
    if (cursorHidden) setPointerHidden(false);
    if (PkConfig::instance()->pipelineOptions[0] == PK_PIPELINE_WINDOWED) nativeVideo = true;

    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    if (!peer) return -1;
    source_label->set_text(labelled("Source", channelDisplayName(channelId)));
    const std::string name = pk_playback_peer_name(*peer);
    user_name_label->set_text(name);
    under_name_label->set_text(name);

    updateTitle();
    snapToLevel();
    restyle(PiTheme::instance()->effectiveTheme(), scaler.currentLevel);
    setPlaybackState(PK_PLAYBACK_CONNECTING);

    if (attachVideoHandle() != 0 || bindChannel() == 0) return -1;
    PkDisplay::instance()->keepAwake();
    keepingAwake = true;
    sessionStarted = true;
    return 0;
}

int VideoWindow::attachVideoHandle()
{
    if (!PkCenterNotify::instance()->findSession(peerId)) return -1;
    const Gtk::Allocation area = video_view->get_allocation();
    uint64_t handle = 0;
    Glib::RefPtr<Gdk::Window> gdkWindow = video_view->get_window();
    if (gdkWindow) {
        // The drawing area needs an X11 window of its own for the video
        // sink to draw into; a native renderer is given its window as is.
        if (!isNativeRenderer() && !gdkWindow->ensure_native()) return -1;
        GdkWindow *raw = gdkWindow->gobj();
        if (!GDK_IS_X11_WINDOW(raw)) return -1;
        handle = gdk_x11_window_get_xid(raw);
    }
    const uint64_t words[2] = {0, 0};
    const RavkRectangle rect = {area.get_x(), area.get_y(), area.get_width(), area.get_height()};
    pk_media_set_view_window(words, handle, rect);
    const uint64_t offset = 0;
    pk_playback_control(ENGINE_CTL_SET_PLAYBACK_OFFSET, &offset, sizeof(offset));
    return 0;
}

uint64_t VideoWindow::bindChannel()
{
    if (bindRequest != 0) {
        unbindRequest = 0;
        return bindRequest;
    }
    uint64_t n = core_seq_next();
    if (memcmp(PkConfig::instance()->nodeKey.key, peerId.key, PK_XID_SIZE) > 0) n += 0x8000000000000000ull;
    CoreName sequence;
    memset(&sequence, 0, sizeof(sequence));
    core_name_format(&sequence, "%s%016llx", "bnd.seq.", static_cast<unsigned long long>(n));
    pk_binder_add_channel(channelId, peerId, PkXID(sequence), 1);
    bindRequest = pk_binder_bind(channelId);
    if (bindRequest != 0) unbindRequest = 0;
    return bindRequest;
}

void VideoWindow::unbind()
{
    if (unbindRequest != 0) {
        bindRequest = 0;
        return;
    }
    unbindRequest = pk_binder_unbind(PkXID(), false);
    if (unbindRequest != 0) bindRequest = 0;
}

// ---- playback states -------------------------------------------------------------------

void VideoWindow::showWaitingScreen(const char *status)
{
    connect_status->set_text(tr(status) + "...");
    logo_overlay->show();
    for (Gtk::Box *box : {screen_box, aspect_box, zoom_box, bcsh_box}) box->hide();
}

void VideoWindow::setPlaybackState(int32_t state)
{
    if (state < playbackState || state > playbackState + 1) return;
    switch (state) {
    case PK_PLAYBACK_CONNECTING:
        playbackState = state;
        showWaitingScreen("Connecting");
        break;
    case PK_PLAYBACK_BUFFERING:
        playbackState = state;
        showWaitingScreen("Buffering");
        break;
    case PK_PLAYBACK_DISCONNECTING:
        playbackState = state;
        showWaitingScreen("Disconnecting");
        break;
    case PK_PLAYBACK_PLAYING:
        playbackState = state;
        logo_overlay->hide();
        screen_box->show_all();
        if (features & PK_PLAYBACK_ASPECT) aspect_box->show();
        if (features & PK_PLAYBACK_SCALABLE) {
            aspect_box->show();
            zoom_box->show();
        }
        if (features & PK_PLAYBACK_ADJUSTABLE) bcsh_box->show();
        break;
    default:
        break;
    }
}

Glib::ustring VideoWindow::peerName() const
{
    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    return peer ? Glib::ustring(pk_playback_peer_name(*peer)) : Glib::ustring();
}

void VideoWindow::updateTitle()
{
    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    if (!peer) {
        set_title(VeltranaAppInfo().productName(false, false));
        return;
    }
    Glib::ustring title = pk_playback_peer_name(*peer);
    if (features & (PK_PLAYBACK_SCALABLE | PK_PLAYBACK_ASPECT)) title += " / " + aspectLabel();
    if (features & PK_PLAYBACK_SCALABLE) title += " / " + scaleLabel();
    set_title(title);
}

// ---- handlers posted by the listener operations ----------------------------------------

void VideoWindow::closeWindow()
{
    // A window the registry does not list (none made it) is hidden directly.
    if (!PiApplication::hideWindow<VideoWindow>(get_application(), kZeroId)) hide();
}

void VideoWindow::refreshPeerInfo()
{
    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    if (!peer) return;
    const std::string name = pk_playback_peer_name(*peer);
    user_name_label->set_text(sourceText.empty() ? name : name + " / " + sourceText);
    under_name_label->set_text(name);
    snapToLevel();
    restyle(PiTheme::instance()->effectiveTheme(), scaler.currentLevel);
}

void VideoWindow::applyStreamFeatures(const PkMediaStreamDescriptor &stream)
{
    if (pk_stream_name_kind(stream.streamName) != 1) return;
    features = static_cast<uint32_t>(stream.features);
    if (features & PK_PLAYBACK_ADJUSTABLE) sendPictureValues();
    // From Buffering the picture shows, in Playing the buttons follow the
    // new features; Connecting stays until the binding has progressed.
    if (playbackState == PK_PLAYBACK_BUFFERING || playbackState == PK_PLAYBACK_PLAYING)
        setPlaybackState(PK_PLAYBACK_PLAYING);
    updateTitle();
}

void VideoWindow::sendPictureValues()
{
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    if (!settings) return;
    pk_media_set_brightness({1, 0, 100, number_of(settings->videoBrightness, 50)});
    pk_media_set_contrast({1, 0, 100, number_of(settings->videoContrast, 50)});
    pk_media_set_saturation({1, 0, 100, number_of(settings->videoSaturation, 50)});
    pk_media_set_hue({1, -50, 50, number_of(settings->videoHue, 0)});
}

void VideoWindow::handleStreamStopped(const PkMediaStreamDescriptor &stream) { (void)stream; }

void VideoWindow::applyRotation(const PkXID &streamName, int32_t value)
{
    (void)streamName;
    rotation = value;
    relayoutVideo();
}

void VideoWindow::showChannelInfo(const PkMediaChannelInfo &info)
{
    PkVideoMode shown = info.receivedVideo.mode2;
    if (shown.width < shown.height) std::swap(shown.width, shown.height);
    const Glib::ustring resolution = pk_video_mode_to_text(shown, true);
    const Glib::ustring bitrate = bitrateText(info.receivedVideo.bytes + info.receivedAudio.bytes);
    Glib::ustring encryption;
    if (info.receivedVideo.securityFlags & 2)
        encryption = "AES-256";
    else if (info.receivedVideo.securityFlags & 1)
        encryption = "AES-128";
    else
        encryption = tr("N/A");
    const time_t seconds = static_cast<time_t>(info.elapsedMs / 1000);
    struct tm broken {};
    char connected[32] = "";
    if (gmtime_r(&seconds, &broken) != nullptr) strftime(connected, sizeof(connected), "%H:%M:%S", &broken);

    resolution_label->set_text(labelled("Resolution", resolution));
    encryption_label->set_text(labelled("Encryption", encryption));
    bitrate_label->set_text(labelled("Bitrate", bitrate));
    connected_label->set_text(labelled("Connected time", connected));
    applySizeStep(info.receivedVideo.mode2);
}

void VideoWindow::applyBindState(const PkMediaBindDescriptor &bind)
{
    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    if (!peer) return;
    const std::string name = pk_playback_peer_name(*peer);
    user_name_label->set_text(bind.sourceName.empty() ? name : name + " / " + bind.sourceName);
    under_name_label->set_text(name);
    sourceText = bind.sourceName;
    setPlaybackState(PK_PLAYBACK_BUFFERING);
}

void VideoWindow::handlePeerBusy(const std::string &name, const std::string &channelText)
{
    Notifications::instance()->showUserBusy(name, channelText);
    unbind();
    closeWindow();
}

void VideoWindow::retryBind()
{
    if (pk_playback_now_ms() >= reconnectDeadline) {
        unbind();
        closeWindow();
        return;
    }
    unbind();
    retryTimer.disconnect();
    retryTimer = Glib::signal_timeout().connect(
        [this] {
            bindChannel();
            return false;
        },
        PK_RECONNECT_DELAY_MS);
}

void VideoWindow::showDisconnecting()
{
    if (playbackState != PK_PLAYBACK_PLAYING && playbackState != PK_PLAYBACK_DISCONNECTING) return;
    playbackState = PK_PLAYBACK_DISCONNECTING;
    showWaitingScreen("Disconnecting");
}

// ---- closing, show and hide ------------------------------------------------------------

bool VideoWindow::onDeleteEvent(GdkEventAny *event)
{
    (void)event;
    showDisconnecting();
    // A retry waiting to bind again must not bind after the user's close;
    // its binding had already failed, so no close report is to come.
    const bool retrying = retryTimer.connected();
    retryTimer.disconnect();
    unbind();
    // The window waits for the engine to report the binding closed. When
    // nothing is on its way to the engine (the session never started, the
    // binding failed, or no unbind could be posted), no such report will
    // come: close now.
    if ((!sessionStarted || retrying || unbindRequest == 0) && get_visible()) hide();
    return true;
}

void VideoWindow::onShow()
{
    std::shared_ptr<VideoWindow> self = shared_from_this();
    PiTheme::instance()->addListener(self);
    PkDeam::instance()->addListener(self);
    PkCenterNotify::instance()->addObserver(self);
}

void VideoWindow::onHide()
{
    Glib::RefPtr<Gtk::Application> application = get_application();
    PiApplication::hideWindow<StatisticWindow>(application, kZeroId);
    PiApplication::hideWindow<BCSHWindow>(application, kZeroId);
    std::shared_ptr<VideoWindow> self = shared_from_this();
    PkCenterNotify::instance()->removeObserver(self);
    PkDeam::instance()->removeListener(self);
    PiTheme::instance()->removeListener(self);
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(application);
    if (app) app->closeWindow<VideoWindow>(kZeroId);
}

// ---- listener operations (worker threads) ----------------------------------------------

template <class Fn>
void VideoWindow::post(Fn fn)
{
    pi_post_main(weak_from_this(), std::move(fn));
}

bool VideoWindow::isPeer(const PkSession *node) const { return node != nullptr && node->nodeId == peerId; }

void VideoWindow::onNodeOffline(PkSession *node)
{
    if (isPeer(node)) post([](VideoWindow &w) { w.closeWindow(); });
}

void VideoWindow::onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    onNodeOffline(node);
}

void VideoWindow::onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value)
{
    (void)field, (void)value;
    if (isPeer(node)) post([](VideoWindow &w) { w.refreshPeerInfo(); });
}

void VideoWindow::onStreamStarted(const PkMediaStreamDescriptor &stream)
{
    auto copy = std::make_shared<PkMediaStreamDescriptor>(stream);
    post([copy](VideoWindow &w) { w.applyStreamFeatures(*copy); });
}

void VideoWindow::onStreamStopped(const PkMediaStreamDescriptor &stream)
{
    auto copy = std::make_shared<PkMediaStreamDescriptor>(stream);
    post([copy](VideoWindow &w) { w.handleStreamStopped(*copy); });
}

void VideoWindow::onFrameRotation(const PkXID &streamName, netframe_rotation_e rotation)
{
    auto id = std::make_shared<PkXID>(streamName);
    const int32_t value = static_cast<int32_t>(rotation);
    post([id, value](VideoWindow &w) { w.applyRotation(*id, value); });
}

void VideoWindow::onChannelInfo(const PkMediaChannelInfo &info)
{
    auto copy = std::make_shared<PkMediaChannelInfo>(info);
    post([copy](VideoWindow &w) { w.showChannelInfo(*copy); });
}

void VideoWindow::onBindState(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)node;
    auto copy = std::make_shared<PkMediaBindDescriptor>(bind);
    post([copy](VideoWindow &w) { w.applyBindState(*copy); });
}

void VideoWindow::onBindBusy(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    if (!isPeer(node)) return;
    auto name = std::make_shared<std::string>(pk_playback_peer_name(*node));
    auto channel = std::make_shared<std::string>(channelDisplayName(channelId));
    post([name, channel](VideoWindow &w) { w.handlePeerBusy(*name, *channel); });
}

void VideoWindow::onBindFailed(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    if (isPeer(node)) post([](VideoWindow &w) { w.retryBind(); });
}

void VideoWindow::onBindClosing(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    if (isPeer(node)) post([](VideoWindow &w) { w.showDisconnecting(); });
}

void VideoWindow::onChannelsCleared(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)node;
    if (bind.peer == peerId) post([](VideoWindow &w) { w.closeWindow(); });
}

void VideoWindow::onEngineStopping()
{
    post([](VideoWindow &w) { w.closeWindow(); });
}

void VideoWindow::onThemeChanged(int theme) { restyle(theme, scaler.currentLevel); }
