// The application's main window: logo row, the tiles of the discovered
// peers, the discovery state, and the collapsible side menu of commands.
//
// FrontWindow is built once by activation through the window factory from
// "front_window" and lives for the whole interface; hiding it takes the
// interface down. Its show handler registers it with the engine facade
// (IPkDeam), the notification centre (IPkCenterNotify), the theme manager
// (IPiTheme) and the HTTP client (IPkWeb) and asks for the presence state;
// its hide handler undoes all of it, hides every other window and closes
// the main window. Between the two the window follows the engine: peers
// come and go as tiles, choosing a tile opens the playback window, the
// start-up watchdog and the notices report the engine's state, and each
// engine start configures the streamer.
//
// Threads: the listener operations (the IPkCenterNotify, IPkDeam and IPkWeb
// overrides) run on the calling service's worker thread. They touch no
// widget: they copy their payload into shared objects and post a member of
// the window to the GTK main loop with Glib::MainContext::invoke at
// priority 0 (`post`); the post holds the window only weakly, so work
// posted for a window destroyed first is dropped. `presenceState` is atomic; the engine texts and the capture ids
// written on the worker are guarded by `workerMutex`. Everything else runs
// on the GTK main loop. No operation throws to its caller.
#pragma once

#include <gtkmm/applicationwindow.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/flowbox.h>
#include <gtkmm/grid.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>
#include <gtkmm/separator.h>
#include <gtkmm/viewport.h>
#include <glibmm/main.h>
#include <sigc++/connection.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/info.h"
#include "services/centre.h"
#include "services/facade.h"
#include "services/web.h"
#include "toolkit/main_loop.h"
#include "toolkit/factory.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"
#include "windows/main/front_window_user.h"

class ChannelsDialog;
class UpdateDialog;

// Start-up: the watchdog's period, how long the engine may take to report
// a presence state, and the delay from the first state to the end of the
// splash.
#define FRONT_STARTUP_TICK_MS 1000
#define FRONT_STARTUP_LIMIT_MS 90000
#define FRONT_AFTER_STARTUP_MS 2000
// The silent update check's tick.
#define FRONT_UPDATE_TICK_MS 100000

// FrontWindow::presenceState values the window shows.
enum : uint32_t {
    FRONT_PRESENCE_NONE = 0,
    FRONT_PRESENCE_OFFLINE = 1,
    FRONT_PRESENCE_NO_NETWORK = 2,
    FRONT_PRESENCE_ONLINE = 3,
};

class FrontWindow : public VeltranaWindow<Gtk::ApplicationWindow>,
                    public IPkWeb,
                    public IPkCenterNotify,
                    public IPkDeam,
                    public IPiTheme,
                    public std::enable_shared_from_this<FrontWindow> {
public:
    FrontWindow(GtkApplicationWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
    ~FrontWindow() override;

    // ---- structure and lifecycle ----

    // Shows the window with the side menu collapsed and insensitive; 0.
    int run() override;
    // Each widget is listed at most once; right may be null.
    void trackButtons(Gtk::Widget *left, Gtk::Widget *right);
    // A widget not listed leaves its list unchanged.
    void untrackButtons(Gtk::Widget *left, Gtk::Widget *right);
    // The menu toggle: shows or hides the tracked label buttons.
    void onMenuClicked();
    void onShow();
    void onHide();

    // ---- peer tiles and connection start ----

    void onNodeOnline(PkSession *node) override;
    void onNodeOffline(PkSession *node) override;
    void onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value) override;
    void onChannelBound(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onChannelsCleared(PkSession *node, const PkMediaBindDescriptor &bind) override;

    bool addUserTile(std::shared_ptr<PkXID> nodeId);
    bool removeUserTile(std::shared_ptr<PkXID> nodeId);
    bool updateUserTile(std::shared_ptr<PkXID> nodeId, std::shared_ptr<PkXID> key, std::shared_ptr<PkBuffer> value);
    bool updateTileChannels(std::shared_ptr<PkXID> nodeId);
    bool clearTileChannels(std::shared_ptr<PkXID> nodeId);

    // The new tile, replacing the empty tile when that is the only one.
    FrontWindowUser *insertUserTile(const PkXID &id);
    // The new tile, appended to "users_box".
    FrontWindowUser *addUserTileWidget(const PkXID &id);
    void removeUserTileWidget(const PkXID &id);
    void clearUserTiles();
    FrontWindowUser *findUserTile(const PkXID &id);
    // Both always false, so that the event goes on.
    bool onUsersKeyPress(GdkEventKey *event);
    bool onTileReleased(GdkEventButton *event, FrontWindowUser *tile);
    void connectToUser(const PkXID &peerId);
    // The channel choice after its run; empty when none was built.
    std::shared_ptr<ChannelsDialog> openChannelsDialog(Glib::RefPtr<Gtk::Application> application,
                                                       std::shared_ptr<Gtk::Window> parent, const PkXID &peerId);

    // ---- commands of the side menu ----

    void onMultichannelClicked();
    void onIncomingClicked();
    void onInstructionClicked();
    void onSettingsClicked();
    void onEvaluateClicked();
    void onUpdateClicked();
    void onAboutClicked();

    // ---- engine state and notices ----

    void onDiscoveryState(int state) override;
    void onStreamStarted(const PkMediaStreamDescriptor &stream) override;
    void onStreamStopped(const PkMediaStreamDescriptor &stream) override;
    void onBindOpened(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBroadcastStarted() override;
    void onBroadcastStopped() override;
    void onEnvironmentChanged(int32_t media, int32_t reserved, int32_t removed, const PkXID &deviceId,
                              const std::string &value) override;
    void onMessage(const std::string &text) override;
    void onStreamerError(const std::string &text) override;
    void onViewerError(const std::string &text) override;
    void onEngineStarting() override;

    bool reattachNotify();
    bool showDiscoveryState();
    // The periodic start-up watchdog; true keeps it running.
    bool onStartupWatchdog();
    bool afterStartup();
    bool showViewerConnected(std::shared_ptr<std::string> peerText, std::shared_ptr<PkMediaBindDescriptor> bind);
    bool showViewerDisconnected(std::shared_ptr<std::string> peerText, std::shared_ptr<PkMediaBindDescriptor> bind);
    bool showBroadcastStarted();
    bool showBroadcastStopped();
    bool showEnvironmentChanged(std::shared_ptr<int> kind, std::shared_ptr<int> changed,
                                std::shared_ptr<PkXID> deviceId);
    void setTrackedButtonsSensitive(bool sensitive);
    // Raises the broadcast overview, or opens one.
    void presentTotalWindow();

    // ---- streamer configuration (run at every engine start and stop) ----

    void onEngineStarted() override;
    void onEngineStopping() override;
    bool configureStreamer();
    bool teardownSession();
    bool showCodecMismatch(std::shared_ptr<int> result);

    // ---- silent update check ----

    void onWebResponse(const IPkWeb::Response &response) override;
    void onWebProgress(uint64_t total, uint64_t received) override { (void)total, (void)received; }
    bool onWebResponseMain(std::shared_ptr<IPkWeb::Response> response);
    // The periodic update tick; false ends it.
    bool onUpdateTimer();
    void handleUpdateCheck(const IPkWeb::Response &response);
    // Creates the update dialog handing it the response, runs it modally and
    // returns it after the run; empty when it could not be created.
    std::shared_ptr<UpdateDialog> openUpdateDialog(Glib::RefPtr<Gtk::Application> application,
                                                   std::shared_ptr<Gtk::Window> parent,
                                                   const IPkWeb::Response &response);

    // ---- styling ----

    void restyle(int theme);
    // With initial false only the pictures.
    void applySizeStep(AppSize level, bool initial);
    void onSizeAllocate(Gtk::Allocation &allocation);
    void onThemeChanged(int theme) override;

    // ---- fields ----

    bool presenceShown = false;
    int64_t createdAtMs = 0;
    VeltranaAppScaler scaler;
    std::atomic<uint32_t> presenceState{FRONT_PRESENCE_NONE};

    Gtk::Overlay *splashOverlay = nullptr;
    Gtk::Box *splashBox = nullptr;  // null once the splash is gone
    Gtk::Image *splashImage = nullptr;
    Gtk::Overlay *topOverlay = nullptr;
    Gtk::Overlay *downOverlay = nullptr;
    Gtk::Box *discoveryBox = nullptr;
    Gtk::FlowBox *usersBox = nullptr;
    Gtk::Viewport *usersViewport = nullptr;
    Gtk::Image *logoImage = nullptr;
    Gtk::Box *coverBox = nullptr;
    Gtk::Box *mainBox = nullptr;
    Gtk::Grid *sideGrid = nullptr;

    std::vector<Gtk::Widget *> leftButtons;
    std::vector<Gtk::Widget *> rightButtons;

    Gtk::Button *menuButton = nullptr;
    Gtk::Button *p2mButton = nullptr;
    Gtk::Button *incomingButton = nullptr;
    Gtk::Button *instructionButton = nullptr;
    Gtk::Button *settingsButton = nullptr;
    Gtk::Button *evaluateButton = nullptr;
    Gtk::Button *updateButton = nullptr;
    Gtk::Button *aboutButton = nullptr;

    Gtk::Image *menuImage = nullptr;
    Gtk::Image *p2mImage = nullptr;
    Gtk::Image *incomingImage = nullptr;
    Gtk::Image *instructionImage = nullptr;
    Gtk::Image *settingsImage = nullptr;
    Gtk::Image *evaluateImage = nullptr;
    Gtk::Image *updateImage = nullptr;
    Gtk::Image *aboutImage = nullptr;

    Gtk::Label *menuRightLabel = nullptr;
    Gtk::Button *p2mRightButton = nullptr;
    Gtk::Button *incomingRightButton = nullptr;
    Gtk::Button *instructionRightButton = nullptr;
    Gtk::Button *settingsRightButton = nullptr;
    Gtk::Button *evaluateRightButton = nullptr;
    Gtk::Button *updateRightButton = nullptr;
    Gtk::Button *aboutRightButton = nullptr;

    Gtk::Separator *menuSeparator = nullptr;
    Gtk::Separator *topSeparator = nullptr;
    Gtk::Separator *bottomSeparator = nullptr;
    Gtk::Image *discoveryImage = nullptr;
    Gtk::Label *discoveryStatus = nullptr;
    Gtk::Label *viewerLabel = nullptr;

    sigc::connection startupTimer;
    sigc::connection updateTimer;
    int64_t nextUpdateCheckMs = 0;
    bool updateChecksStopped = false;
    uint64_t pendingWebRequest = 0;

    // Written on the notification centre's worker, read on the main loop;
    // under workerMutex.
    std::string lastMessage;
    std::string lastStreamerError;
    std::string lastViewerError;
    PkXID audioCaptureId;
    PkXID videoCaptureId;
    std::mutex workerMutex;

    // The size the window was last allocated (onSizeAllocate).
    AppSize lastAllocation;

    // Taking the display's keep-awake request and ending it; the window's
    // own calls go through these so that the request follows the binder.
    static void keepDisplayAwake();
    static void allowDisplaySleep();

private:
    // The application's reference, and this window as a parent.
    Glib::RefPtr<Gtk::Application> ownApplication();
    std::shared_ptr<Gtk::Window> selfWindow();

public:
    // Runs work(*this) once on the GTK main loop (priority 0). The post
    // holds only a weak reference, so work posted for a window that is
    // destroyed first is dropped. Callable from any thread: it touches no
    // sigc::trackable, whose connection list is the main thread's alone.
    template <class Work>
    void post(Work work)
    {
        pi_post_main(weak_from_this(), std::move(work));
    }
};

// The engine's stored texts as a viewer's disconnection tells them: the
// non-empty ones in the order given, joined by one blank; all three are
// emptied.
std::string front_join_engine_texts(std::string &message, std::string &streamerError, std::string &viewerError);

extern const char front_window_ui[];
PI_UI_DEFINITION(FrontWindow, "front_window", front_window_ui)
