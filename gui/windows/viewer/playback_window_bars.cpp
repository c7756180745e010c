// The playback window's control bars, keys, full screen and the aspect and
// scale modes.
#include <gdk/gdkkeysyms.h>
#include <gdkmm/cursor.h>

#include "app/texts.h"
#include "engine/codes.h"
#include "ravelkit/datapath.h"
#include "windows/viewer/bcsh_window.h"
#include "windows/viewer/incoming_windows.h"
#include "windows/viewer/playback_window.h"
#include "windows/viewer/playback_window_parts.h"

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

// Ratios of aspect modes 2 to 9.
const uint32_t kAspectRatios[8][2] = {{16, 9}, {16, 10}, {21, 9}, {1, 1}, {2, 1}, {4, 3}, {5, 4}, {3, 2}};
// Factors of scale modes 4 to 13.
const double kScaleFactors[10] = {1.0, 1.25, 1.5, 2.0, 2.5, 3.0, 4.0, 0.25, 0.5, 0.75};

}  // namespace

// ---- the mode tables --------------------------------------------------------------------

void VideoWindow::aspectRatio(int32_t mode, uint32_t vw, uint32_t vh, uint32_t w, uint32_t h, uint32_t &f,
                              uint32_t &g)
{
    if (mode == 0) {
        f = vw, g = vh;
    } else if (mode == 1) {
        f = w, g = h;
    } else if (mode >= 2 && mode < PK_ASPECT_MODE_COUNT) {
        f = kAspectRatios[mode - 2][0], g = kAspectRatios[mode - 2][1];
    } else {
        f = 1, g = 1;
    }
}

double VideoWindow::scaleFactor(int32_t mode)
{
    if (mode >= 0 && mode <= 3) return -static_cast<double>(mode);
    if (mode >= 4 && mode < PK_SCALE_MODE_COUNT) return kScaleFactors[mode - 4];
    return 1.0;
}

Glib::ustring VideoWindow::aspectLabelOf(int32_t mode)
{
    if (mode == 1) return pk_translate("Stretch");
    if (mode >= 2 && mode < PK_ASPECT_MODE_COUNT)
        return std::to_string(kAspectRatios[mode - 2][0]) + ":" + std::to_string(kAspectRatios[mode - 2][1]);
    return pk_translate("Default");
}

Glib::ustring VideoWindow::scaleLabelOf(int32_t mode)
{
    static const char *const kNamed[4] = {"No scale", "Crop", "Horizontally", "Vertically"};
    if (mode >= 0 && mode <= 3) return pk_translate(kNamed[mode]);
    return std::to_string(static_cast<int>(scaleFactor(mode) * 100)) + "%";
}

// ---- bars and pointer -------------------------------------------------------------------

void VideoWindow::sendRenderRect(bool lessBars)
{
    const Gtk::Allocation area = main_overlay->get_allocation();
    int32_t rect[4] = {area.get_x(), area.get_y(), area.get_width(), area.get_height()};
    if (lessBars) {
        const int top = top_bar->get_allocated_height();
        const int down = down_bar->get_allocated_height();
        rect[1] += top;
        rect[3] -= top + down;
        if (rect[3] < 0) rect[3] = 0;
    }
    memcpy(renderRect, rect, sizeof(rect));
    renderRectCount++;
    const RavkRectangle request = {rect[0], rect[1], rect[2], rect[3]};
    pk_playback_control(ENGINE_CTL_SET_WINDOW, &request, sizeof(request));
}

void VideoWindow::hideBars()
{
    if (barsHidden) return;
    for (Gtk::Widget *bar : bars) bar->hide();
    barsHidden = true;
    if (isNativeRenderer()) sendRenderRect(false);
    if (logo_image->get_visible()) logo_image->set_margin_bottom(20);
}

void VideoWindow::showBars()
{
    if (!barsHidden) return;
    for (Gtk::Widget *bar : bars) bar->show();
    barsHidden = false;
    if (isNativeRenderer()) sendRenderRect(true);
    if (logo_image->get_visible()) logo_image->set_margin_bottom(down_bar->get_allocated_height() + 20);
}

void VideoWindow::setPointerHidden(bool hidden)
{
    cursorHidden = hidden;
    Glib::RefPtr<Gdk::Window> window = get_window();
    if (!window) return;
    if (hidden)
        window->set_cursor(Gdk::Cursor::create(get_display(), Gdk::BLANK_CURSOR));
    else
        window->set_cursor();
}

void VideoWindow::noteActivity()
{
    barDeadline = pk_playback_now_ms() + PK_BAR_HIDE_MS;
    showBars();
    if (cursorHidden) setPointerHidden(false);
}

bool VideoWindow::onBarTimer()
{
    if (barDeadline != 0 && barDeadline < pk_playback_now_ms()) {
        hideBars();
        if (!cursorHidden && pointerInside) setPointerHidden(true);
    }
    return true;
}

bool VideoWindow::onMotionNotify(GdkEventMotion *event)
{
    (void)event;
    const AppSize reference = scaler.compactLevel;
    const Gtk::Allocation area = get_allocation();
    if (!reference.valid() || (static_cast<uint32_t>(area.get_width()) > reference.width &&
                               static_cast<uint32_t>(area.get_height()) > reference.height))
        showBars();
    if (cursorHidden) setPointerHidden(false);
    barDeadline = pk_playback_now_ms() + PK_BAR_HIDE_MS;
    return false;
}

bool VideoWindow::onButtonPress(GdkEventButton *event)
{
    if (event == nullptr) return false;
    if (event->type == GDK_BUTTON_PRESS) {
        noteActivity();
    } else if (event->type == GDK_2BUTTON_PRESS && event->button == 1) {
        noteActivity();
        toggleFullscreen();
    }
    return false;
}

bool VideoWindow::onEnterNotify(GdkEventCrossing *event)
{
    (void)event;
    pointerInside = true;
    return false;
}

bool VideoWindow::onLeaveNotify(GdkEventCrossing *event)
{
    (void)event;
    pointerInside = false;
    return false;
}

// ---- buttons and keys -------------------------------------------------------------------

void VideoWindow::toggleFullscreen()
{
    noteActivity();
    if (fullscreen) {
        unfullscreen();
        fullscreen = false;
    } else {
        Gtk::Window::fullscreen();
        fullscreen = true;
    }
}

void VideoWindow::onScreenClicked() { toggleFullscreen(); }

void VideoWindow::onAspectClicked()
{
    aspectMode = aspectMode + 1 < PK_ASPECT_MODE_COUNT ? aspectMode + 1 : 0;
    relayoutVideo();
    noteActivity();
}

void VideoWindow::onScaleClicked()
{
    scaleMode = scaleMode + 1 < PK_SCALE_MODE_COUNT ? scaleMode + 1 : 0;
    relayoutVideo();
    noteActivity();
}

void VideoWindow::onPictureClicked()
{
    Glib::RefPtr<Gtk::Application> application = get_application();
    if (!PiApplication::raiseWindow<BCSHWindow>(application, kZeroId))
        PiApplication::openWindow<BCSHWindow>(application, nullptr);
    noteActivity();
}

void VideoWindow::onStreamInfoClicked()
{
    Glib::RefPtr<Gtk::Application> application = get_application();
    if (!PiApplication::raiseWindow<StatisticWindow>(application, kZeroId))
        IncomingWindowsManager::instance()->createWindow(application, pk_translate("Information"), peerId,
                                                         channelId, 1);
    noteActivity();
}

bool VideoWindow::onKeyPress(GdkEventKey *event)
{
    if (event == nullptr) return false;
    switch (event->keyval) {
    case GDK_KEY_f:
    case GDK_KEY_F:
        if (!fullscreen) {
            noteActivity();
            Gtk::Window::fullscreen();
            fullscreen = true;
        }
        break;
    case GDK_KEY_Escape:
        if (fullscreen) {
            noteActivity();
            unfullscreen();
            fullscreen = false;
        }
        break;
    case GDK_KEY_a:
    case GDK_KEY_A:
        if (features & (PK_PLAYBACK_SCALABLE | PK_PLAYBACK_ASPECT)) onAspectClicked();
        break;
    case GDK_KEY_z:
    case GDK_KEY_Z:
        if (features & PK_PLAYBACK_SCALABLE) onScaleClicked();
        break;
    case GDK_KEY_p:
    case GDK_KEY_P:
        if (features & PK_PLAYBACK_ADJUSTABLE) onPictureClicked();
        break;
    case GDK_KEY_i:
    case GDK_KEY_I:
        onStreamInfoClicked();
        break;
    default:
        break;
    }
    return false;
}

// ---- tooltips ---------------------------------------------------------------------------

bool VideoWindow::onBarEnter(GdkEventCrossing *event, Gtk::Button *button)
{
    (void)event;
    Glib::ustring markup;
    if (button == screen_button)
        markup = pk_translate("Full screen") + " (f / esc)";
    else if (button == aspect_button)
        markup = pk_translate("Aspect ratio") + " (a)" + "\n" + aspectLabel();
    else if (button == zoom_button)
        markup = pk_translate("Picture scale") + " (z)" + "\n" + scaleLabel();
    else if (button == bcsh_button)
        markup = pk_translate("Adjust picture") + " (p)";
    else if (button == peer_button)
        markup = pk_translate("Stream info") + " (i)";
    else
        return true;
    main_overlay->set_has_tooltip(true);
    main_overlay->set_tooltip_markup(markup);
    return true;
}

bool VideoWindow::onBarLeave(GdkEventCrossing *event)
{
    (void)event;
    main_overlay->set_has_tooltip(false);
    return true;
}
