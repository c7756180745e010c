// The main window's side of the engine's events: the presence state, the
// start-up watchdog and what follows start-up, the notices of viewers and
// broadcasts, and the loss of a running capture device.
#include <initializer_list>

#include "app/message_box.h"
#include "app/settings.h"
#include "app/texts.h"
#include "core/clock.h"
#include "core/log.h"
#include "ravelkit/devices.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/media.h"
#include "windows/main/front_window.h"
#include "windows/main/front_window_links.h"

namespace {

const char *const kModule = "front_window";
const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

// What a bind event's toast calls the peer.
std::string peer_text(PkSession *node)
{
    if (node == nullptr) return std::string();
    std::string text = pk_session_display_name(*node);
    std::lock_guard<std::mutex> lock(node->mutex);
    return text + node->nameSuffix;
}

void toast(const Glib::ustring &title, const Glib::ustring &text)
{
    Notifications::instance()->show(title, text);
}

}  // namespace

std::string front_join_engine_texts(std::string &message, std::string &streamerError, std::string &viewerError)
{
    std::string joined;
    for (std::string *text : {&message, &streamerError, &viewerError}) {
        if (text->empty()) continue;
        if (!joined.empty()) joined += " ";
        joined += *text;
        text->clear();
    }
    return joined;
}

// ---- worker side ----

void FrontWindow::onDiscoveryState(int state)
{
    const uint32_t value = static_cast<uint32_t>(state);
    if (presenceState.exchange(value) == value) return;
    post([](FrontWindow &window) { window.showDiscoveryState(); });
}

void FrontWindow::onStreamStarted(const PkMediaStreamDescriptor &stream)
{
    if (stream.direction != 0) return;
    const int32_t kind = pk_stream_name_kind(stream.streamName);
    if (kind != 0 && kind != 1) return;
    PkXID device = pk_media_current_device_id(static_cast<uint32_t>(kind));
    if (device == PkXID::fromText(DEFAULT_DEVICE_ID) || device == PkXID::fromText(NONE_ID))
        device = pk_media_device_id(static_cast<uint32_t>(kind), 0);
    std::lock_guard<std::mutex> lock(workerMutex);
    (kind == 0 ? audioCaptureId : videoCaptureId) = device;
}

void FrontWindow::onStreamStopped(const PkMediaStreamDescriptor &stream)
{
    if (stream.direction != 0) return;
    const int32_t kind = pk_stream_name_kind(stream.streamName);
    if (kind != 0 && kind != 1) return;
    std::lock_guard<std::mutex> lock(workerMutex);
    (kind == 0 ? audioCaptureId : videoCaptureId) = PkXID::fromText(NONE_ID);
}

void FrontWindow::onBindOpened(PkSession *node, const PkMediaBindDescriptor &bind)
{
    // Only a peer's request that this node answers is a viewer arriving.
    if (bind.kind != 2) return;
    auto text = std::make_shared<std::string>(peer_text(node));
    auto copy = std::make_shared<PkMediaBindDescriptor>(bind);
    post([text, copy](FrontWindow &window) { window.showViewerConnected(text, copy); });
}

void FrontWindow::onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind)
{
    auto text = std::make_shared<std::string>(peer_text(node));
    auto copy = std::make_shared<PkMediaBindDescriptor>(bind);
    post([text, copy](FrontWindow &window) { window.showViewerDisconnected(text, copy); });
}

void FrontWindow::onBroadcastStarted()
{
    post([](FrontWindow &window) { window.showBroadcastStarted(); });
}

void FrontWindow::onBroadcastStopped()
{
    post([](FrontWindow &window) { window.showBroadcastStopped(); });
}

void FrontWindow::onEnvironmentChanged(int32_t media, int32_t reserved, int32_t removed, const PkXID &deviceId,
                                       const std::string &value)
{
    (void)value;
    if (reserved != 0) return;
    auto kind = std::make_shared<int>(media);
    auto changed = std::make_shared<int>(removed);
    auto id = std::make_shared<PkXID>(deviceId);
    post([kind, changed, id](FrontWindow &window) { window.showEnvironmentChanged(kind, changed, id); });
}

void FrontWindow::onMessage(const std::string &text)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    lastMessage = text;
}

void FrontWindow::onStreamerError(const std::string &text)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    lastStreamerError = text;
}

void FrontWindow::onViewerError(const std::string &text)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    lastViewerError = text;
}

void FrontWindow::onEngineStarting()
{
    post([](FrontWindow &window) { window.reattachNotify(); });
}

// ---- main loop ----

bool FrontWindow::reattachNotify()
{
    std::shared_ptr<FrontWindow> self = shared_from_this();
    std::shared_ptr<PkCenterNotify> centre = PkCenterNotify::instance();
    // The show handler may have registered the window already: once only.
    centre->removeObserver(self);
    centre->addObserver(self);
    return false;
}

bool FrontWindow::showDiscoveryState()
{
    VeltranaAppInfo info;
    switch (presenceState.load()) {
    case FRONT_PRESENCE_OFFLINE:
    case FRONT_PRESENCE_NO_NETWORK:
        clearUserTiles();
        addUserTileWidget(PkXID());
        if (discoveryStatus != nullptr)
            discoveryStatus->set_text(presenceState.load() == FRONT_PRESENCE_OFFLINE ? info.pleaseWaitText()
                                                                                     : info.noConnectionText());
        if (discoveryImage != nullptr) discoveryImage->hide();
        break;
    case FRONT_PRESENCE_ONLINE:
        if (discoveryStatus != nullptr) discoveryStatus->set_text(info.discoveryText());
        if (discoveryImage != nullptr) discoveryImage->show();
        break;
    default:
        return false;
    }
    if (!presenceShown)
        Glib::signal_timeout().connect(sigc::mem_fun(*this, &FrontWindow::afterStartup), FRONT_AFTER_STARTUP_MS);
    presenceShown = true;
    return false;
}

bool FrontWindow::onStartupWatchdog()
{
    if (presenceState.load() != FRONT_PRESENCE_NONE) return false;
    const int64_t now = static_cast<int64_t>(core_clock_mono_ms());
    if (createdAtMs + FRONT_STARTUP_LIMIT_MS >= now) return true;

    if (discoveryStatus != nullptr) discoveryStatus->set_text(pk_translate("Error"));
    for (Gtk::Widget *widget : std::initializer_list<Gtk::Widget *>{
             p2mRightButton, p2mButton, evaluateRightButton, evaluateButton, incomingRightButton, incomingButton,
             settingsRightButton, settingsButton})
        if (widget != nullptr) widget->hide();
    untrackButtons(p2mButton, p2mRightButton);
    untrackButtons(evaluateButton, evaluateRightButton);
    untrackButtons(incomingButton, incomingRightButton);
    untrackButtons(settingsButton, settingsRightButton);
    if (viewerLabel != nullptr) viewerLabel->hide();
    addUserTileWidget(PkXID());
    Glib::signal_timeout().connect(sigc::mem_fun(*this, &FrontWindow::afterStartup), FRONT_AFTER_STARTUP_MS);
    // The watchdog has ended before the box runs its own loop, so that no
    // second tick reports the failure again.
    startupTimer = sigc::connection();
    EvaluateDialog::showError(ownApplication(), selfWindow(), pk_translate("Error"),
                              pk_translate("Failed on start application"));
    return false;
}

bool FrontWindow::afterStartup()
{
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    if (splashBox != nullptr) {
        // Destroyed through the toolkit: the overlay owns the box, and the
        // box's wrapper goes with it.
        gtk_widget_destroy(GTK_WIDGET(splashBox->gobj()));
        splashBox = nullptr;
        splashImage = nullptr;
        setTrackedButtonsSensitive(true);
    }
    std::shared_ptr<AppSettingsManager> manager = AppSettingsManager::instance();
    if (manager->defaultsUsed) {
        Glib::RefPtr<Gtk::Application> application = ownApplication();
        std::shared_ptr<Gtk::Window> parent = PiApplication::resolveDialogParent(application, kZeroId, selfWindow());
        if (std::shared_ptr<EULAWindow> eula = PiApplication::open<EULAWindow>(application, parent)) {
            eula->set_modal(true);
            parent = eula;
        }
        if (PkConfig::instance()->sendRoles == 0) {
            showMessage<MessageDialog>(application, parent, pk_translate("Information"),
                                       pk_translate("This device does not support streaming mode") + ".\n" +
                                           pk_translate("The device will not be discoverable as the streamer") +
                                           ".\n" + pk_translate("App is switched to viewer only mode") + ".");
        }
        manager->defaultsUsed = false;
        saveAppSettings(settings);
    }
    updateTimer = Glib::signal_timeout().connect(sigc::mem_fun(*this, &FrontWindow::onUpdateTimer),
                                                 FRONT_UPDATE_TICK_MS);
    return false;
}

bool FrontWindow::showViewerConnected(std::shared_ptr<std::string> peerText,
                                      std::shared_ptr<PkMediaBindDescriptor> bind)
{
    const Glib::ustring source = channelDisplayName(bind->channel);
    Notifications::instance()->showUserConnected(*peerText, source);
    pk_binder_add_channel(bind->channel, bind->peer, bind->bindSequenceId, bind->kind);
    pk_binder_bind(bind->channel);
    if (PkConfig::instance()->broadcastChannels == 0 && PkBinder::instance()->mode != PK_BINDER_MODE_BROADCAST)
        keepDisplayAwake();
    return false;
}

bool FrontWindow::showViewerDisconnected(std::shared_ptr<std::string> peerText,
                                         std::shared_ptr<PkMediaBindDescriptor> bind)
{
    const Glib::ustring source = channelDisplayName(bind->channel);
    pk_binder_unbind(bind->channel, false);
    std::string joined;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        joined = front_join_engine_texts(lastMessage, lastStreamerError, lastViewerError);
    }
    if (bind->kind != 2 && joined.empty()) return false;
    Notifications::instance()->showUserDisconnected(*peerText, source, joined);
    if (PkBinder::instance()->mode != PK_BINDER_MODE_BROADCAST) allowDisplaySleep();
    return false;
}

bool FrontWindow::showBroadcastStarted()
{
    const uint32_t channels = PkConfig::instance()->broadcastChannels;
    toast(pk_translate("Information"), pk_translate("Live broadcast is started") + ". " +
                                           Glib::ustring::compose("%1: %2", pk_translate("Channels"), channels));
    presentTotalWindow();
    IncomingWindowsManager::instance()->hideAll(ownApplication());
    keepDisplayAwake();
    return false;
}

bool FrontWindow::showBroadcastStopped()
{
    toast(pk_translate("Information"), pk_translate("Live broadcast is stopped"));
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    PiApplication::hideWindow<TotalWindow>(application, kZeroId);
    IncomingWindowsManager::instance()->hideAll(application);
    allowDisplaySleep();
    return false;
}

bool FrontWindow::showEnvironmentChanged(std::shared_ptr<int> kind, std::shared_ptr<int> changed,
                                         std::shared_ptr<PkXID> deviceId)
{
    if (*changed == 0) return false;
    PkXID running;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        running = *kind == 0 ? audioCaptureId : videoCaptureId;
    }
    if ((*kind == 0 || *kind == 1) && *deviceId != running) return false;

    Glib::RefPtr<Gtk::Application> application = ownApplication();
    std::shared_ptr<PkBinder> binder = PkBinder::instance();
    if (binder->isActive(PkXID())) {
        pk_binder_unbind(PkXID(), false);
        toast(pk_translate("Streamer configuration"), pk_translate("Environment configuration was changed") + ". " +
                                                          pk_translate("All connections were terminated"));
        PiApplication::hideWindow<VideoWindow>(application, kZeroId);
        IncomingWindowsManager::instance()->hideAll(application);
    }
    if (binder->mode == PK_BINDER_MODE_BROADCAST) {
        PiApplication::hideWindow<TotalWindow>(application, kZeroId);
        pk_binder_stop_broadcast(false);
        PkConfig::instance()->broadcastChannels = 0;
    }
    allowDisplaySleep();
    return false;
}

void FrontWindow::setTrackedButtonsSensitive(bool sensitive)
{
    for (Gtk::Widget *widget : leftButtons) widget->set_sensitive(sensitive);
    for (Gtk::Widget *widget : rightButtons) widget->set_sensitive(sensitive);
}

void FrontWindow::presentTotalWindow()
{
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    if (!PiApplication::raiseWindow<TotalWindow>(application, kZeroId))
        PiApplication::openWindow<TotalWindow>(application, nullptr);
}

void FrontWindow::keepDisplayAwake() { PkDisplay::instance()->keepAwake(); }

void FrontWindow::allowDisplaySleep() { PkDisplay::instance()->allowSleep(); }
