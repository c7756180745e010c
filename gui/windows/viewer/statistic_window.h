// The stream statistics window: the live figures of one bind channel.
//
// StatisticWindow shows, under a 128 x 128 picture, the picture resolution,
// the encryption, the bit rate, the time since the channel was connected
// and which channel it is. The engine reports every bound channel once a
// second; the window keeps the report of its own channel (channelKey) and
// its own side (kind) and ignores every other. A window has one of two
// kinds, fixed by its creator before run():
//   1, playback statistics: opened by the playback window for the channel it
//      plays; shows the streamer's avatar, the received stream's mode and
//      the received bit rate; no Disconnect button;
//   2, incoming connection: opened through IncomingWindowsManager on a
//      streamer; shows the fixed picture, the mode of the viewer's offer,
//      the sent bit rate and a Disconnect button that ends the connection.
//      Without a channel key it offers the broadcast channels in a combo box
//      and follows the one selected.
// The values go back to "N/A" (Disconnect insensitive) whenever setCaptions
// runs; the next matching report fills them again. Hiding the window always
// closes it; the window list then drops it.
//
// Threads: construction, run, the signal handlers and the posted handlers
// run on the GTK main loop. The IPkCenterNotify operations run on the event
// pump's worker thread: they touch no widget, copy what they need and post
// a handler that holds the window only weakly, so a handler that comes
// after the window is gone does nothing. run() returns 0; the text helpers
// never fail.
#pragma once

#include <glibmm/refptr.h>
#include <glibmm/ustring.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/grid.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/separator.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <memory>
#include <string>

#include "services/centre.h"
#include "services/payloads.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// kind
enum : int32_t {
    PK_STATISTIC_PLAYBACK = 1,  // the viewer's own received stream
    PK_STATISTIC_INCOMING = 2,  // a viewer's connection on the streamer
};

// The program's picture of an incoming-connection window.
#define PK_PNG_STATISTIC_ICON 116
// The side of the window's picture, in pixels.
#define PK_STATISTIC_ICON_SIZE 128

// "%ux%u@%u Hz" with the longer side first; the rate is numerator /
// denominator truncated, the numerator alone for a zero denominator. At
// most 31 characters, cut at the end.
std::string pk_statistic_resolution_text(const PkVideoMode &mode);
// "AES-256" for bit 1, else "AES-128" for bit 0, else the translated "N/A".
Glib::ustring pk_statistic_encryption_text(uint32_t flags);
// "HH:MM:SS" of the seconds as a time of day (the hours wrap at 24).
std::string pk_statistic_connected_text(uint64_t seconds);

class StatisticWindow : public VeltranaWindow<Gtk::Window>,
                        public IPkCenterNotify,
                        public IPiTheme,
                        public std::enable_shared_from_this<StatisticWindow> {
public:
    StatisticWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
    ~StatisticWindow() override;

    // Takes bindId as window id, shows the window, fills the picture and
    // the channel chooser and resets the values; 0.
    int run() override;

    // bindId when it is set; otherwise "p2m.bnd.%08X.chnl" of the combo
    // box's active row (FFFFFFFF while no row is active).
    PkXID channelKey() const;

    // Title, captions of the kind, every value "N/A", Disconnect
    // insensitive.
    void setCaptions();
    // Separator colours of the theme: 0 light, 1 dark, any other black.
    void restyle(int theme);
    void onThemeChanged(int theme) override;

    // ---- handlers posted to the main loop ------------------------------------------------

    void showChannelInfo(const PkMediaChannelInfo &info);
    void resetForNode(const PkXID &nodeId);
    void closeForBind(const PkMediaBindDescriptor &bind);
    void refreshAvatar();

    // ---- signal handlers -----------------------------------------------------------------

    void onChannelChanged();
    void onDisconnectClicked();
    void onShow();
    void onHide();

    // ---- listener operations (the event pump's worker thread) -----------------------------

    void onNodeOffline(PkSession *node) override;
    void onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value) override;
    void onChannelInfo(const PkMediaChannelInfo &info) override;
    void onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind) override;

    // ---- fields, set by the creator before run() --------------------------------------------

    Glib::ustring title;  // base title, applied again by every setCaptions
    PkXID peerId;         // the remote peer's node id; zero for kind 2
    PkXID bindId;         // the channel key; zero: the channel chosen in the combo box
    int32_t kind = PK_STATISTIC_INCOMING;

    // Widgets, owned by the window's widget tree.
    Gtk::Grid *main_grid = nullptr;
    Gtk::ComboBoxText *channel_combobox = nullptr;
    Gtk::Separator *info1_separator = nullptr;
    Gtk::Separator *info2_separator = nullptr;
    Gtk::Image *icon_image = nullptr;
    Gtk::Label *resolution_field_label = nullptr;
    Gtk::Label *encryption_field_label = nullptr;
    Gtk::Label *bitrate_field_label = nullptr;
    Gtk::Label *connected_field_label = nullptr;
    Gtk::Label *source_field_label = nullptr;
    Gtk::Label *resolution_value_label = nullptr;
    Gtk::Label *encryption_value_label = nullptr;
    Gtk::Label *bitrate_value_label = nullptr;
    Gtk::Label *connected_value_label = nullptr;
    Gtk::Label *source_value_label = nullptr;
    Gtk::Button *disconnect_button = nullptr;

private:
    // Draws the peer's avatar when the peer is known; false otherwise.
    bool showPeerAvatar();
    // Outside a multichannel broadcast, hides (and so closes) the window
    // when it carries a channel key; a chooser window stays.
    void hideUnlessBroadcast();

    // What the notification centre holds while the window is shown (see
    // the .cpp): a relay that reaches the window only weakly.
    std::shared_ptr<IPkCenterNotify> relay;
};

extern const char statistic_window_ui[];
PI_UI_DEFINITION(StatisticWindow, "statistic_window", statistic_window_ui)
