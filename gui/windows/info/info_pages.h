// What the about, licence and instructions windows share: the metrics of a
// size step, the text tags built from them, the program pictures scaled into
// a text buffer, the rule that decides when a size allocation moves the
// window to another step, and the theme listener hooked to show and hide.
//
// Threads: the GTK main thread only. Nothing here throws; a missing or
// undecodable picture inserts nothing.
#pragma once

#include <gtkmm/textbuffer.h>
#include <gtkmm/texttag.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/info.h"
#include "toolkit/theme.h"

// Program pictures of the three windows.
#define PK_PNG_LOGO 129
#define PK_PNG_WORDMARK_DARK_INK 131
#define PK_PNG_WORDMARK_WHITE 132
#define PK_PNG_EULA_ICON 143
#define PK_PNG_DEVICES 147

// The bundle folder of the text pages.
#define PK_INFO_PAGE_ROOT "/net/veltrana/html"

// Sizes derived from a level W x H, each computed in single precision and
// truncated, so that a step always yields the same pixels.
struct PkPageMetrics {
    int margin = 0;       // W x 5 %
    int picture = 0;      // W x 20 %
    int fontPoints = 0;   // H x 3.5 %
    int paneFontPx = 0;   // H x 4.5 %
};

PkPageMetrics pk_page_metrics(AppSize level);

// A tag of the buffer's table: justification (only when setJustification),
// weight (0 keeps the default),
// size in points (0 keeps the default), left and right margin, word wrap.
Glib::RefPtr<Gtk::TextTag> pk_page_tag(const Glib::RefPtr<Gtk::TextBuffer> &buffer, const char *name,
                                       Gtk::Justification justification, bool setJustification, int weight, int points,
                                       int margin);

// The UTF-8 text of the page PK_INFO_PAGE_ROOT + name; empty when the bundle
// or the entry is missing.
std::string pk_page_read(const std::string &name);

// Inserts " ", the picture scaled to `width` (height kept in proportion),
// " " and `trailer` at the end of the buffer, the text with the tag. False,
// inserting nothing, when the picture is missing, undecodable or would be
// scaled to nothing.
bool pk_page_insert_picture(const Glib::RefPtr<Gtk::TextBuffer> &buffer, uint32_t pngId, int width,
                            const Glib::RefPtr<Gtk::TextTag> &tag, const char *trailer);

// The window's way through the size steps: the current size (the level it
// started at, then every allocation), the last allocation seen.
struct PkPageSteps {
    AppSize current;
    AppSize lastAllocation;

    // Records the allocation; true with the level to rebuild at when the
    // allocation moved the window to another step. A step that cannot be
    // told (-1) rebuilds at the minimum level.
    bool allocate(const AppScaler &scaler, AppSize allocation, AppSize &target);
};

// The level a window starts at: `index` when the scaler has that many
// levels, else its minimum level.
AppSize pk_page_initial_level(const AppScaler &scaler, size_t index);

// The effective theme now: 0 light, 1 dark.
int pk_page_theme();

// Adds the window as a theme listener on every show and removes it on
// every hide. The theme manager holds its listeners strongly, so a shown
// window stays alive until it is hidden. T is a Gtk::Window, an IPiTheme
// and enable_shared_from_this<T>, owned by a shared pointer once shown.
template <class T>
void pk_page_follow_theme(T &window)
{
    window.signal_show().connect([&window] { PiTheme::instance()->addListener(window.shared_from_this()); });
    window.signal_hide().connect([&window] { PiTheme::instance()->removeListener(window.shared_from_this()); });
}
