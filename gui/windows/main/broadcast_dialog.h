// The multichannel broadcast dialog: the modal dialog in which the user
// starts a broadcast of the screen on 4, 8, 16 or 32 channels at once.
//
// P2MDialog offers the four channel counts; "Start broadcast" records the
// chosen count in the node configuration (PkConfig::broadcastChannels, with
// the broadcast's size class) and restarts the engine through the engine
// facade. The broadcast itself is started by the streamer configuration
// that runs when the engine reports the next start. run() answers the
// dialog's response, -5 (GTK's OK) for "Start broadcast"; any other
// response records nothing and leaves the engine alone.
//
// The dialog is built hidden by the window factory and owned through
// std::shared_ptr, from which it takes the references it registers: during
// run() it listens to the theme manager and recolours its separator when
// the desktop switches between light and dark.
//
// Threads: the GTK main thread only (the theme manager calls back on the
// main loop). The engine restart is only queued: the facade's worker stops
// and starts the engine after run() has returned. Nothing here throws.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/separator.h>

#include <cstdint>
#include <memory>

#include "toolkit/factory.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// The dialog's picture.
#define P2M_DIALOG_PNG 104
#define P2M_DIALOG_PICTURE_SIZE 128
// Rows of the channel list; row r offers 2 << (r + 1) channels.
#define P2M_DIALOG_ROWS 4
// The size class of a broadcast's video (the engine's 768x432 at 30).
#define P2M_BROADCAST_SIZE_CLASS 1
// Separator colours of the light and the dark theme.
#define P2M_SEPARATOR_LIGHT 0xDEDEDEu
#define P2M_SEPARATOR_DARK 0x404040u

class P2MDialog : public VeltranaDialog, public IPiTheme, public std::enable_shared_from_this<P2MDialog> {
public:
    P2MDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // The modal run; on -5 records the count and restarts the engine.
    int run() override;
    // 0 light, 1 dark; any other value gives a black separator.
    void restyle(int theme);
    void onThemeChanged(int theme) override;

    Gtk::ComboBoxText *channelsCombobox = nullptr;
    Gtk::Image *p2mImage = nullptr;
    Gtk::Separator *mainSeparator = nullptr;
    Gtk::Label *p2mChannelsLabel = nullptr;
    Gtk::Button *startButton = nullptr;
};

// The channel count of a row of the list: 4, 8, 16 or 32; 0 for a row
// number outside the list (no active row).
uint32_t p2m_channel_count(int row);

// The separator colour of a theme: light, dark, or black for other values.
unsigned p2m_separator_colour(int theme);

extern const char p2m_dialog_ui[];
PI_UI_DEFINITION(P2MDialog, "p2m_dialog", p2m_dialog_ui)
