// What the about, licence and instructions windows share: the metrics of a
// size step, the text tags built from them, the program pictures scaled into
// a text buffer, the rule that decides when a size allocation moves the
// window to another step, the theme listener hooked to show and hide, and
// the window frame around one read-only text view (PkPageWindow) that
// starts at a size step and rebuilds the page when the step or the theme
// changes. Each window keeps only its own page building.
//
// Threads: the GTK main thread only. Nothing here throws; a missing or
// undecodable picture inserts nothing.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/textbuffer.h>
#include <gtkmm/texttag.h>
#include <gtkmm/textview.h>
#include <gtkmm/window.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "app/info.h"
#include "core/log.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

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

// The frame of a text-page window: the read-only view named in the Builder
// definition, the scaler and the size steps. Page derives from it (or from
// PkThemedPageWindow) and provides buildText(level), or
// buildText(theme, level) when it follows the theme; its constructor finds
// its own widgets and then calls openPage.
template <class Page>
class PkPageWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<Page> {
public:
    // Rebuilds the page when the allocation moves the window to another
    // size step.
    void onSizeAllocate(Gtk::Allocation &allocation)
    {
        AppSize target;
        const AppSize size{uint32_t(std::max(allocation.get_width(), 0)),
                           uint32_t(std::max(allocation.get_height(), 0))};
        const bool rebuild = steps.allocate(scaler, size, target);
        scaler.currentLevel = steps.current;
        if (rebuild) buildPage(target);
    }

    Gtk::TextView *textView = nullptr;
    VeltranaAppScaler scaler;
    PkPageSteps steps;

protected:
    PkPageWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder, const char *title,
                 const char *viewName)
        : VeltranaWindow<Gtk::Window>(cobject)
    {
        set_title(title);
        scaler.update(false, AppSize{});
        builder->get_widget(viewName, textView);
        if (textView != nullptr) {
            textView->set_cursor_visible(false);
            textView->set_editable(false);
        }
    }

    // Starts the window at level `initialIndex` (the minimum level when the
    // screen has fewer), sets the minimum size, builds the first page and
    // follows allocations. Called at the end of Page's constructor, once
    // Page's own members exist; `ownWidgetsFound` is false when Page missed
    // a widget of its definition.
    void openPage(size_t initialIndex, bool ownWidgetsFound = true)
    {
        if (textView == nullptr || !ownWidgetsFound)
            core_log(CORE_LOG_ERROR, "windows", "Gtk::Builder::get_widget(): dynamic_cast<> failed.");
        const AppSize initial = pk_page_initial_level(scaler, initialIndex);
        steps.current = initial;
        scaler.currentLevel = initial;
        if constexpr (followsTheme()) pk_page_follow_theme(static_cast<Page &>(*this));
        resize(int(initial.width), int(initial.height));
        Gdk::Geometry hints{};
        hints.min_width = int(scaler.minimumLevel.width);
        hints.min_height = int(scaler.minimumLevel.height);
        set_geometry_hints(*this, hints, Gdk::HINT_MIN_SIZE);
        buildPage(initial);
        signal_size_allocate().connect(sigc::mem_fun(*this, &PkPageWindow::onSizeAllocate));
    }

    // The page at the level, for the effective theme when Page follows it
    // (a page that does not never starts the theme manager).
    void buildPage(AppSize level)
    {
        Page &page = static_cast<Page &>(*this);
        if constexpr (followsTheme())
            page.buildText(pk_page_theme(), level);
        else
            page.buildText(level);
    }

private:
    // Asked only inside member functions, where Page is complete.
    static constexpr bool followsTheme() { return std::is_base_of_v<IPiTheme, Page>; }
};

// A text-page window whose page follows the theme while it is shown.
template <class Page>
class PkThemedPageWindow : public PkPageWindow<Page>, public IPiTheme {
public:
    void onThemeChanged(int theme) override { static_cast<Page &>(*this).buildText(theme, this->steps.current); }

protected:
    using PkPageWindow<Page>::PkPageWindow;
};
