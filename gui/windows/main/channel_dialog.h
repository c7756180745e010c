// The channel choice of a connection to a streamer that runs a multichannel
// broadcast: a small modal dialog listing the channels that the streamer's
// node record announces ("Channel 1", "Channel 2" ...), which gives back the
// name of the channel the user picked.
//
// The opener builds the dialog with the window factory, writes `peerId`,
// runs it with PiApplication::runDialog and then reads `selectedChannel`
// from the reference it kept: the key of "p2m.bnd.%08X.chnl" of the chosen
// index, or all zero when the user closed the dialog without choosing (no
// connection is to be made then). run() answers -5 (GTK's OK) for
// "Connect", the toolkit's response when the dialog was closed otherwise,
// and -1, showing nothing, when the streamer is not in the notification
// centre's node list.
//
// Threads: the GTK main thread only. The node list and the node's channel
// records are read through their own locks; the dialog works on a copy.
// Nothing here throws.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/image.h>

#include <memory>

#include "services/display.h"
#include "toolkit/factory.h"
#include "toolkit/window.h"

// The dialog's picture.
#define CHANNELS_DIALOG_PNG 114
#define CHANNELS_DIALOG_PICTURE_SIZE 128

class ChannelsDialog : public VeltranaDialog, public std::enable_shared_from_this<ChannelsDialog> {
public:
    ChannelsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Lists the streamer's channels, runs the dialog modally (hidden and
    // closed afterwards) and records the choice on "Connect".
    int run() override;

    Gtk::ComboBoxText *channelsCombobox = nullptr;
    Gtk::Image *channelsImage = nullptr;
    Gtk::Button *connectButton = nullptr;

    // Written by the opener before run().
    PkXID peerId;
    // Key of the chosen channel's name; zero when none was chosen.
    PkXID selectedChannel;
};

// The key of the broadcast channel name "p2m.bnd.%08X.chnl" of an index.
PkXID channels_broadcast_channel(uint32_t index);

extern const char channels_dialog_ui[];
PI_UI_DEFINITION(ChannelsDialog, "channels_dialog", channels_dialog_ui)
