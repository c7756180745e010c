// The picture adjustment window: brightness, contrast, saturation and hue
// of the video being played.
//
// BCSHWindow shows one scale, icon and number per value. Every change is
// sent at once to the playback through the engine's control service and
// stored in the main settings file, so the values are global: the playback
// window applies the stored ones whenever a stream with picture controls
// starts. Reset puts the four defaults back (50, 50, 50 and 0). The window
// id stays zero, so the registry keeps at most one; a new window reads the
// stored values again. Building the window sends nothing to the engine.
//
// Threads: the GTK main loop only; the control requests are synchronous
// calls into the engine's control service, whose failures (no playback,
// engine stopped) are ignored: the value is still stored. run() returns 0.
#pragma once

#include <glibmm/refptr.h>
#include <gtkmm/adjustment.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/scale.h>
#include <gtkmm/separator.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <memory>

#include "services/centre.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// The ranges and defaults of the four values.
#define PK_BCSH_MIN 0
#define PK_BCSH_MAX 100
#define PK_BCSH_DEFAULT 50
#define PK_BCSH_HUE_MIN -50
#define PK_BCSH_HUE_MAX 50
#define PK_BCSH_HUE_DEFAULT 0

// The side of the value icons, in pixels.
#define PK_BCSH_ICON_SIZE 20

// The program's pictures of the value icons, light and dark theme.
#define PK_PNG_BRIGHTNESS_LIGHT 169
#define PK_PNG_BRIGHTNESS_DARK 170
#define PK_PNG_CONTRAST_LIGHT 171
#define PK_PNG_CONTRAST_DARK 172
#define PK_PNG_HUE_LIGHT 173
#define PK_PNG_HUE_DARK 174
#define PK_PNG_SATURATION_LIGHT 175
#define PK_PNG_SATURATION_DARK 176

class BCSHWindow : public VeltranaWindow<Gtk::Window>,
                   public IPkCenterNotify,
                   public IPiTheme,
                   public std::enable_shared_from_this<BCSHWindow> {
public:
    BCSHWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
    ~BCSHWindow() override;

    // Each shows the value in its label, sends it to the playback and, with
    // save, stores it in the settings file.
    void setBrightness(int64_t value, bool save);
    void setContrast(int64_t value, bool save);
    void setSaturation(int64_t value, bool save);
    void setHue(int64_t value, bool save);

    // ---- signal handlers -----------------------------------------------------------------

    void onValueChanged(Glib::RefPtr<Gtk::Adjustment> adjustment);
    void onResetClicked();
    void onShow();
    void onHide();

    // Separator colour and icon set of the theme: 0 light, 1 dark; any
    // other value gives a black separator and keeps the icons.
    void restyle(int theme);
    void onThemeChanged(int theme) override;

    // Widgets, owned by the window's widget tree.
    Gtk::Image *brightness_image = nullptr;
    Gtk::Scale *brightness_scale = nullptr;
    Gtk::Label *brightness_label = nullptr;
    Gtk::Image *contrast_image = nullptr;
    Gtk::Scale *contrast_scale = nullptr;
    Gtk::Label *contrast_label = nullptr;
    Gtk::Image *saturation_image = nullptr;
    Gtk::Scale *saturation_scale = nullptr;
    Gtk::Label *saturation_label = nullptr;
    Gtk::Image *hue_image = nullptr;
    Gtk::Scale *hue_scale = nullptr;
    Gtk::Label *hue_label = nullptr;
    Gtk::Separator *main_saparator = nullptr;
    Gtk::Button *reset_button = nullptr;

    // Brightness, contrast, saturation, hue.
    Glib::RefPtr<Gtk::Adjustment> adjustments[4];

private:
    // What the notification centre holds while the window is shown. The
    // window takes no engine events; a stand-in keeps the centre's worker
    // thread from ever holding the window itself.
    std::shared_ptr<IPkCenterNotify> listener;
};

extern const char bcsh_window_ui[];
PI_UI_DEFINITION(BCSHWindow, "bcsh_window", bcsh_window_ui)
