// The broadcast overview window: the control panel of a running
// multichannel broadcast.
//
// TotalWindow shows the totals the engine reports once a second for the
// whole broadcast (encoder resolution, encryption in use, total bitrate,
// broadcast time, number of connected nodes), lists the broadcast's
// channels, and lets the user open the statistics window of one channel,
// disconnect the viewer of one channel, disconnect every viewer, or stop the
// broadcast; the last three ask a Yes/No question first and act only on
// "Yes". The main window opens it (raise it when shown, else open it, always
// with the zero id) when the engine reports the broadcast as started and
// hides it when the broadcast stops.
//
// The channel list is built once, at construction, from the broadcast
// channel count configured at that moment; row i stands for channel index
// i ("p2m.bnd.%08X.chnl"). While shown the window is an observer of the
// notification centre and a listener of the theme manager; its hide handler
// ends both and hides every statistics window.
//
// Threads: onTotalInfo runs on the notification centre's worker: it copies
// the record and posts showTotalInfo, bound to the window as a
// sigc::trackable, to the GTK main loop (dropped when the window is gone
// first). Everything else runs on the GTK main thread; the unbind and stop
// requests are queued to the engine without waiting. Nothing here throws.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/separator.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <memory>
#include <string>

#include "services/centre.h"
#include "services/facade.h"
#include "services/payloads.h"
#include "toolkit/factory.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// The window's banner picture and its height.
#define TOTAL_WINDOW_PNG 148
#define TOTAL_WINDOW_PICTURE_HEIGHT 200
// Bits of PkMediaTotalInfo::securityFlags.
#define TOTAL_SECURITY_AES128 0x1u
#define TOTAL_SECURITY_AES256 0x2u

class TotalWindow : public VeltranaWindow<Gtk::Window>,
                    public IPkCenterNotify,
                    public IPkDeam,
                    public IPiTheme,
                    public std::enable_shared_from_this<TotalWindow> {
public:
    TotalWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Event worker: copies the totals and posts showTotalInfo.
    void onTotalInfo(const PkMediaTotalInfo &info) override;
    // Main loop: fills the value labels; false (runs once).
    bool showTotalInfo(std::shared_ptr<PkMediaTotalInfo> info);

    void onInfoClicked();
    void onDisconnectClicked();
    void onDisconnectAllClicked();
    void onStopClicked();
    void onShow();
    void onHide();

    // 0 light, 1 dark; any other value gives a black separator.
    void restyle(int theme);
    void onThemeChanged(int theme) override;

    Gtk::Label *resolutionFieldLabel = nullptr;
    Gtk::Label *encryptionFieldLabel = nullptr;
    Gtk::Label *bitrateFieldLabel = nullptr;
    Gtk::Label *timeFieldLabel = nullptr;
    Gtk::Label *connectedFieldLabel = nullptr;
    Gtk::Label *resolutionValueLabel = nullptr;
    Gtk::Label *encryptionValueLabel = nullptr;
    Gtk::Label *bitrateValueLabel = nullptr;
    Gtk::Label *timeValueLabel = nullptr;
    Gtk::Label *connectedValueLabel = nullptr;
    Gtk::Image *flowImage = nullptr;
    Gtk::ComboBoxText *channelCombobox = nullptr;
    Gtk::Button *infoButton = nullptr;
    Gtk::Button *disconnectButton = nullptr;
    Gtk::Button *disconnectallButton = nullptr;
    Gtk::Button *stopButton = nullptr;
    Gtk::Separator *mainSeparator = nullptr;

private:
    // The channel of the selected row; false when no row is selected.
    bool selectedChannel(PkXID &channel) const;
    // Asks the question of the three ending actions; true on "Yes".
    bool confirm(const char *question);
};

// ---- texts of the totals (what showTotalInfo puts into the labels) ----

// "AES-128 / AES-256", "AES-128", "AES-256", or the translation of "N/A".
std::string total_encryption_text(uint32_t securityFlags);
// The broadcast time as a time of day, "%H:%M:%S" of whole seconds; it
// wraps every 24 hours.
std::string total_time_text(uint64_t elapsedMs);

extern const char total_window_ui[];
PI_UI_DEFINITION(TotalWindow, "total_window", total_window_ui)
