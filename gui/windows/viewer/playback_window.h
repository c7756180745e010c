// The playback window: the viewer's end of one viewing session.
//
// VideoWindow is created hidden by the main window for the peer and channel
// the user picked (PiApplication::createWindow<VideoWindow>, then channelId
// and peerId set, then PiApplication::showWindow<VideoWindow>). run() hands
// the X11 window of the drawing area and its rectangle to the engine
// (ENGINE_CTL_SET_PLAYBACK_PARAMS), binds the channel through the bind
// channels (ENGINE_CMD_CONNECT) and keeps the display awake. The window then
// follows the engine's events: Connecting, Buffering on bind progress, the
// picture once a video stream has started, Disconnecting when the binding
// closes or the user closes the window; it hides itself when the engine
// reports the binding closed, the peer gone or busy, or the engine stopping.
// Over the picture lie two control bars that show on activity and hide
// 2500 ms after the last one; their buttons and keys toggle full screen,
// step the ten aspect and fourteen scale modes and open the picture
// adjustment and stream statistics windows. The window never draws the
// picture itself: it tells the engine's playback pipeline how to place it
// (scale, force-aspect-ratio, render rectangle) for every mode, rotation and
// window size.
//
// Threads: construction, run, every signal handler and every posted handler
// run on the GTK main loop. The listener operations (IPkCenterNotify,
// IPkDeam) run on the event pump's and the facade's worker threads: they
// read only the two ids, copy the payload and post a handler to the main
// loop that holds a weak reference to the window, so a handler that comes
// after the window is gone does nothing.
//
// Results: run() 0 when the session started, -1 when it could not (no such
// peer, no native window, no bind request posted); attachVideoHandle 0 or
// -1; bindChannel the posted command's number or 0. The placement and
// sizing computations are plain functions of their inputs and are public so
// that they can be checked on their own.
#pragma once

#include <gdkmm/event.h>
#include <gtkmm/box.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/drawingarea.h>
#include <gtkmm/eventbox.h>
#include <gtkmm/fixed.h>
#include <gtkmm/grid.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>
#include <gtkmm/separator.h>
#include <gtkmm/window.h>
#include <sigc++/sigc++.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/info.h"
#include "services/centre.h"
#include "services/facade.h"
#include "services/payloads.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// playbackState
enum : int32_t {
    PK_PLAYBACK_CONNECTING = 0,
    PK_PLAYBACK_BUFFERING = 1,
    PK_PLAYBACK_PLAYING = 2,
    PK_PLAYBACK_DISCONNECTING = 3,
};

// Capability bits of the playback pipeline (features), as the engine's
// stream-started event reports them.
enum : uint32_t {
    PK_PLAYBACK_ADJUSTABLE = 0x1,    // colour balance controls apply
    PK_PLAYBACK_SCALABLE = 0x2,      // the sink scales the picture
    PK_PLAYBACK_ASPECT = 0x4,        // the aspect ratio can be chosen
    PK_PLAYBACK_FORCE_ASPECT = 0x8,  // the sink keeps the aspect ratio itself
};

#define PK_ASPECT_MODE_COUNT 10
#define PK_SCALE_MODE_COUNT 14
// The bars hide this long after the last activity; the timer ticks every
// PK_BAR_TICK_MS, so they go between 2500 and 2700 ms after it.
#define PK_BAR_HIDE_MS 2500
#define PK_BAR_TICK_MS 200
// A failed binding is tried again until this long after construction, each
// retry PK_RECONNECT_DELAY_MS after the failure.
#define PK_RECONNECT_WINDOW_MS 10000
#define PK_RECONNECT_DELAY_MS 1000

// Video playback pipeline options (PkConfig::pipelineOptions[0]) whose sinks
// draw into a given area of the window (the render rectangle keeps clear of
// the bars), and the option whose sink draws into the whole window.
#define PK_PIPELINE_NATIVE_A 25
#define PK_PIPELINE_NATIVE_B 26
#define PK_PIPELINE_WINDOWED 19

// What relayoutVideo tells the engine and does to the drawing area for one
// set of inputs. A request that is not to be sent has its `send` false.
struct PkVideoPlacement {
    bool sendForce = false;
    bool force = false;       // ENGINE_CTL_SET_ASPECT's flag
    bool sendScale = false;
    double scaleX = 0;        // ENGINE_CTL_SET_SCALE
    double scaleY = 0;
    bool placeView = false;   // position and size video_view in video_fixed
    int32_t viewX = 0;
    int32_t viewY = 0;
    int32_t viewWidth = 0;
    int32_t viewHeight = 0;
    bool fillView = false;    // give video_view the whole area (no sizing pipeline)
};

// The inputs of the placement.
struct PkPlacementInput {
    uint32_t features = 0;
    PkVideoMode videoMode{};  // as reported, not rotated
    int32_t rotation = 0;     // netframe_rotation_e
    int32_t aspectMode = 0;
    int32_t scaleMode = 0;
    uint32_t areaWidth = 0;   // main_overlay's allocation
    uint32_t areaHeight = 0;
};

// Bar, icon, font and avatar sizes of one size step.
struct PkPlaybackStyleSizes {
    uint32_t barHeight = 0;
    uint32_t buttonSide = 0;
    uint32_t iconSide = 0;
    uint32_t labelFontPx = 0;
    uint32_t avatarSide = 0;
    uint32_t logoWidth = 0;
    uint32_t logoSpacing = 0;
};

class VideoWindow : public VeltranaWindow<Gtk::Window>,
                    public IPkCenterNotify,
                    public IPkDeam,
                    public IPiTheme,
                    public std::enable_shared_from_this<VideoWindow> {
public:
    VideoWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
    ~VideoWindow() override;

    // Shows the window and starts the session; 0, or -1 when it cannot
    // start (the registry then closes the window).
    int run() override;

    // ---- the pure computations -------------------------------------------------------

    // The ratio width : height of an aspect mode for a video vw x vh in an
    // area w x h: mode 0 the video's, 1 the area's, 2 to 9 the fixed
    // ratios, any other 1 : 1.
    static void aspectRatio(int32_t mode, uint32_t vw, uint32_t vh, uint32_t w, uint32_t h, uint32_t &f,
                            uint32_t &g);
    // The factor of a scale mode: 0 fit, -1 crop, -2 horizontally, -3
    // vertically, else the size factor (1.0 for unknown modes).
    static double scaleFactor(int32_t mode);
    static Glib::ustring aspectLabelOf(int32_t mode);
    static Glib::ustring scaleLabelOf(int32_t mode);
    // The placement for the inputs. Nothing is to be sent or placed (all
    // flags false) while the video's or the area's size is unknown.
    static PkVideoPlacement computePlacement(const PkPlacementInput &input);
    // The sizes of a step sw x sh at dpi dots per inch (0: 96).
    static PkPlaybackStyleSizes styleSizes(uint32_t stepWidth, uint32_t stepHeight, double dpi);

    // ---- operations (main loop) ------------------------------------------------------

    int attachVideoHandle();
    uint64_t bindChannel();
    void unbind();
    void setPlaybackState(int32_t state);
    void updateTitle();
    Glib::ustring aspectLabel() const { return aspectLabelOf(aspectMode); }
    Glib::ustring scaleLabel() const { return scaleLabelOf(scaleMode); }
    Glib::ustring peerName() const;
    bool isNativeRenderer() const;

    void hideBars();
    void showBars();
    void noteActivity();
    void toggleFullscreen();
    void relayoutVideo();
    void applySizeStep(const PkVideoMode &mode);
    void restyle(int theme, AppSize step);

    // Handlers posted by the listener operations.
    void closeWindow();
    void refreshPeerInfo();
    void applyStreamFeatures(const PkMediaStreamDescriptor &stream);
    void handleStreamStopped(const PkMediaStreamDescriptor &stream);
    void applyRotation(const PkXID &streamName, int32_t value);
    void showChannelInfo(const PkMediaChannelInfo &info);
    void applyBindState(const PkMediaBindDescriptor &bind);
    void handlePeerBusy(const std::string &name, const std::string &channelText);
    void retryBind();
    void showDisconnecting();

    // Signal handlers.
    bool onDeleteEvent(GdkEventAny *event);
    void onShow();
    void onHide();
    bool onBarTimer();
    bool onMotionNotify(GdkEventMotion *event);
    bool onButtonPress(GdkEventButton *event);
    bool onEnterNotify(GdkEventCrossing *event);
    bool onLeaveNotify(GdkEventCrossing *event);
    bool onKeyPress(GdkEventKey *event);
    bool onBarEnter(GdkEventCrossing *event, Gtk::Button *button);
    bool onBarLeave(GdkEventCrossing *event);
    void onScreenClicked();
    void onAspectClicked();
    void onScaleClicked();
    void onPictureClicked();
    void onStreamInfoClicked();
    void onSizeAllocate(Gtk::Allocation &allocation);

    // ---- listener operations (worker threads) -----------------------------------------

    void onNodeOffline(PkSession *node) override;
    void onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value) override;
    void onStreamStarted(const PkMediaStreamDescriptor &stream) override;
    void onStreamStopped(const PkMediaStreamDescriptor &stream) override;
    void onFrameRotation(const PkXID &streamName, netframe_rotation_e rotation) override;
    void onChannelInfo(const PkMediaChannelInfo &info) override;
    void onBindState(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBindBusy(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBindFailed(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBindClosing(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onChannelsCleared(PkSession *node, const PkMediaBindDescriptor &bind) override;
    void onEngineStopping() override;
    void onThemeChanged(int theme) override;

    // ---- fields ------------------------------------------------------------------------

    // Set by the creator before showing.
    PkXID channelId;
    PkXID peerId;

    VeltranaAppScaler scaler;
    AppSize lastAllocation;  // the last window allocation onSizeAllocate saw
    bool pointerInside = false;
    int32_t rotation = 0;
    int64_t reconnectDeadline = 0;  // monotonic ms
    int32_t scaleMode = 0;
    int32_t aspectMode = 0;
    int32_t playbackState = PK_PLAYBACK_CONNECTING;
    bool fullscreen = false;
    bool nativeVideo = false;
    std::string sourceText;
    PkVideoMode videoMode{};
    sigc::connection barTimer;
    sigc::connection retryTimer;
    int64_t barDeadline = 0;  // monotonic ms; 0 none
    bool barsHidden = false;
    bool cursorHidden = false;
    uint32_t features = 0;
    uint64_t bindRequest = 0;
    uint64_t unbindRequest = 0;
    bool keepingAwake = false;
    // Set when run() has started the session; until then a close request
    // closes the window at once (nothing is bound that could end it).
    bool sessionStarted = false;
    // The render rectangle last asked for (x, y, width, height); it reaches
    // the engine only while the engine runs.
    int32_t renderRect[4] = {0, 0, 0, 0};
    uint32_t renderRectCount = 0;  // render rectangles asked for so far
    // What the last relayoutVideo computed, and how often it ran.
    PkVideoPlacement lastPlacement;
    uint32_t relayoutCount = 0;
    uint32_t restyleCount = 0;

    // Widgets, owned by the window's widget tree.
    Gtk::Overlay *main_overlay = nullptr;
    Gtk::DrawingArea *video_view = nullptr;
    Gtk::Overlay *logo_overlay = nullptr;
    Gtk::Box *back_box = nullptr;
    Gtk::Box *logo_box = nullptr;
    Gtk::Image *avatar_image = nullptr;
    Gtk::Label *under_name_label = nullptr;
    Gtk::Image *connect_image = nullptr;
    Gtk::Label *connect_status = nullptr;
    Gtk::Image *logo_image = nullptr;
    Gtk::Box *down_bar = nullptr;
    Gtk::Grid *down_bar_grid = nullptr;
    Gtk::Label *resolution_label = nullptr;
    Gtk::Label *bitrate_label = nullptr;
    Gtk::Label *encryption_label = nullptr;
    Gtk::Label *connected_label = nullptr;
    Gtk::Box *top_bar = nullptr;
    Gtk::Grid *top_bar_grid = nullptr;
    Gtk::Label *user_name_label = nullptr;
    Gtk::Label *source_label = nullptr;
    Gtk::Box *top_bar_buttons = nullptr;
    Gtk::Box *screen_box = nullptr;
    Gtk::Button *screen_button = nullptr;
    Gtk::Image *screen_image = nullptr;
    Gtk::Box *aspect_box = nullptr;
    Gtk::Button *aspect_button = nullptr;
    Gtk::Image *aspect_image = nullptr;
    Gtk::Box *zoom_box = nullptr;
    Gtk::Button *zoom_button = nullptr;
    Gtk::Image *zoom_image = nullptr;
    Gtk::Box *bcsh_box = nullptr;
    Gtk::Button *bcsh_button = nullptr;
    Gtk::Image *bcsh_image = nullptr;
    Gtk::Box *peer_box = nullptr;
    Gtk::Button *peer_button = nullptr;
    Gtk::Image *peer_image = nullptr;
    // Optional; null when the definition has none.
    Gtk::EventBox *video_event_box = nullptr;
    Gtk::Fixed *video_fixed = nullptr;
    Gtk::Separator *top_separator = nullptr;
    Gtk::Separator *down_separator = nullptr;
    std::vector<Gtk::Widget *> bars;

private:
    // Posts fn to the main loop bound to a weak reference of this window.
    template <class Fn>
    void post(Fn fn);
    bool isPeer(const PkSession *node) const;
    void sendRenderRect(bool lessBars);
    void setPointerHidden(bool hidden);
    void sendPictureValues();
    void showWaitingScreen(const char *status);
    // The construction sizing: levels from the screen, initial size,
    // background and logo.
    void initialSizing();
    // currentLevel becomes the level it fits, when there is one.
    void snapToLevel();
};

extern const char playback_window_ui[];
PI_UI_DEFINITION(VideoWindow, "video_window", playback_window_ui)
