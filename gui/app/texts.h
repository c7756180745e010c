// Display texts, resources and message boxes that many windows share.
//
// The display texts turn setting values, bit rates and channel names into
// what the user reads; every English text here is a gettext message id of
// the program's translation domain, translated on its own before numbers,
// blanks and punctuation are joined to it. documentLanguage picks the
// language of the text pages from "LANGUAGE". loadPngResource and
// readResourceText read the pictures and the text pages the program carries
// inside itself (GLib resource bundles). showMessageDialog and showMessage
// are the two calls through which any window asks or tells the user
// something in a modal message box.
//
// The text and resource functions keep no state and never fail: unknown
// inputs give "Unknown", "N/A", an empty vector or an empty string. They may
// be called from any thread; the message boxes only on the GTK main thread,
// where they return after the user has closed the box.
#pragma once

#include <gio/gio.h>
#include <glibmm/ustring.h>

#include <cstdint>
#include <string>
#include <vector>

#include "services/display.h"

class PkXMLResolutionProfileObject;
class PkXMLPlaybackObject;

// The translation domain of every text a user sees.
#define PK_TEXT_DOMAIN "veltrana"

// The translation of one message id in PK_TEXT_DOMAIN (the id itself when
// there is none).
Glib::ustring pk_translate(const char *messageId);

// "Automatic best", "Maximum resolution" ... "Low resolution" for the seven
// profiles, "Unknown" for anything else.
Glib::ustring resolutionProfileText(const PkXMLResolutionProfileObject &profile);

// "no buffer" for "0", else "buffer <value> millisecond(s)".
Glib::ustring playbackDelayText(const PkXMLPlaybackObject &delay);

// "Main channel" for a point-to-point channel name, "Channel <index + 1>"
// for a multichannel one, "N/A" for any other name.
Glib::ustring channelDisplayName(const PkXID &channel);

// Bits per second in the largest unit it exceeds, two decimals: 1000 is
// "1000 bit/sec", 1001 "1.00 kbit/sec", 2500000 "2.50 Mbit/sec". The
// decimal separator is the C locale's point whatever the user's locale.
Glib::ustring bitrateText(uint64_t bitsPerSecond);

// The language code of the text pages ("en", "de", ... "zh_hans") that the
// first usable entry of "LANGUAGE" asks for; "en" when none does.
Glib::ustring documentLanguage();

// Program pictures by id. Ids that name a picture this program carries.
enum : uint32_t {
    PK_PNG_TOAST_ICON = 135,   // the icon of desktop notifications
    PK_PNG_WINDOW_ICON = 185,  // every window's icon
};

// The bytes of the program's PNG picture with that id; empty when there is
// none.
std::vector<uint8_t> loadPngResource(uint32_t id);

// The bytes of the bundle entry at `path`; empty for a null resource or a
// path that names no entry.
std::string readResourceText(GResource *resource, const std::string &path);
