// The playback window's picture placement, size steps and styling.
#include <gdk/gdk.h>
#include <gdkmm/screen.h>

#include <algorithm>
#include <cstring>

#include "app/texts.h"
#include "core/names.h"
#include "core/notify.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/picture.h"
#include "engine/session.h"
#include "services/config.h"
#include "services/media.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "windows/viewer/playback_window.h"
#include "windows/viewer/playback_window_parts.h"

namespace {

// Pictures of the playback window, light theme and dark theme.
enum : uint32_t {
    PNG_LOGO_LIGHT = 131,
    PNG_LOGO_DARK = 132,
    PNG_CONNECT_LIGHT = 186,
    PNG_CONNECT_DARK = 187,
};

struct ThemeColours {
    uint32_t button, hover, pressed, bar, text, separator, gradientCentre, gradientEdge, ring;
};

const ThemeColours kLight = {0xf0f0f0, 0xe0e0e0, 0xd8d8d8, 0xf0f0f0, 0x000000,
                             0xd0d0d0, 0xf0f0f0, 0xa0a0a0, 0xFFB0B0B0};
const ThemeColours kDark = {0x212121, 0x282828, 0x343434, 0x212121, 0xffffff,
                            0x303030, 0x202020, 0x000000, 0xFFFFFFFF};

double ratio(uint64_t a, uint64_t b) { return a != 0 && b != 0 ? static_cast<double>(a) / b : 0.0; }

// The largest rectangle of ratio f : g inside w x h; the products are
// taken in 64 bits so that large factors cannot wrap.
void fit(uint32_t f, uint32_t g, uint32_t w, uint32_t h, uint32_t &outW, uint32_t &outH)
{
    if (ratio(f, g) > ratio(w, h)) {
        outW = w;
        outH = static_cast<uint32_t>(uint64_t(g) * w / f);
    } else {
        outW = static_cast<uint32_t>(uint64_t(f) * h / g);
        outH = h;
    }
}

std::vector<char> png_bytes(uint32_t id)
{
    const std::vector<uint8_t> bytes = loadPngResource(id);
    return std::vector<char>(bytes.begin(), bytes.end());
}

}  // namespace

void pk_playback_control(uint32_t code, const void *request, uint64_t length)
{
    if (engine_node_running() == nullptr || engine_session_current() == nullptr) return;
    static const CoreName channel = [] {
        CoreName made;
        core_name_format(&made, "%s", ENGINE_CONTROL_SERVICE);
        return made;
    }();
    core_notify(&channel, code, request, length, nullptr, nullptr);
}

bool VideoWindow::isNativeRenderer() const
{
    const int32_t option = PkConfig::instance()->pipelineOptions[0];
    return option == PK_PIPELINE_NATIVE_A || option == PK_PIPELINE_NATIVE_B;
}

// ---- placement --------------------------------------------------------------------------

PkVideoPlacement VideoWindow::computePlacement(const PkPlacementInput &in)
{
    PkVideoPlacement out;
    const uint32_t W = in.areaWidth, H = in.areaHeight;
    uint32_t vw = in.videoMode.width, vh = in.videoMode.height;
    if (in.videoMode.width == UINT32_MAX) vw = 0;
    if (in.videoMode.height == UINT32_MAX) vh = 0;
    // Until both sizes are known any ratio would divide by zero: the
    // current placement is kept.
    if (W == 0 || H == 0 || vw == 0 || vh == 0) return out;
    const bool forceCapable = (in.features & PK_PLAYBACK_FORCE_ASPECT) != 0;

    if (in.features & PK_PLAYBACK_SCALABLE) {
        if (in.rotation == NETFRAME_ROTATION_90 || in.rotation == NETFRAME_ROTATION_270) std::swap(vw, vh);
        if (forceCapable) out.sendForce = true, out.force = false;
        uint32_t f = 0, g = 0;
        aspectRatio(in.aspectMode, vw, vh, W, H, f, g);
        const double factor = scaleFactor(in.scaleMode);
        uint32_t pw = 0, ph = 0;
        if (factor == 0) {
            fit(f, g, W, H, pw, ph);
        } else {
            double u = 0, t = 0;
            if (factor > 0) {
                u = vw * factor, t = vh * factor;
            } else {
                uint32_t p = 0, q = 0;
                fit(f, g, W, H, p, q);
                if (p == 0 || q == 0) return PkVideoPlacement();
                const double coverW = W, coverH = static_cast<double>(uint64_t(q) * W / p);
                const double tallW = static_cast<double>(uint64_t(p) * H / q), tallH = H;
                if (factor == -1)
                    ratio(W, H) > ratio(p, q) ? (u = coverW, t = coverH) : (u = tallW, t = tallH);
                else if (factor == -2)
                    u = coverW, t = coverH;
                else
                    u = tallW, t = tallH;
            }
            const uint64_t ui = static_cast<uint64_t>(u), ti = static_cast<uint64_t>(t);
            if (ratio(f, g) > ratio(ui, ti)) {
                pw = static_cast<uint32_t>(ui), ph = static_cast<uint32_t>(uint64_t(g) * ui / f);
            } else {
                pw = static_cast<uint32_t>(ti * f / g), ph = static_cast<uint32_t>(ti);
            }
        }
        out.sendScale = true;
        out.scaleX = static_cast<double>(pw) / W;
        out.scaleY = static_cast<double>(ph) / H;
        return out;
    }

    if (in.features & PK_PLAYBACK_ASPECT) {
        if (in.aspectMode == 1 || (in.aspectMode == 0 && forceCapable)) {
            if (forceCapable) out.sendForce = true, out.force = in.aspectMode == 0;
            out.placeView = true;
            out.viewWidth = static_cast<int32_t>(W), out.viewHeight = static_cast<int32_t>(H);
        } else if (in.aspectMode == 0 || (in.aspectMode >= 2 && in.aspectMode < PK_ASPECT_MODE_COUNT)) {
            if (in.aspectMode != 0 && forceCapable) out.sendForce = true, out.force = false;
            uint32_t f = 0, g = 0, w = 0, h = 0;
            aspectRatio(in.aspectMode, vw, vh, W, H, f, g);
            fit(f, g, W, H, w, h);
            out.placeView = true;
            out.viewX = static_cast<int32_t>((W - w) / 2), out.viewY = static_cast<int32_t>((H - h) / 2);
            out.viewWidth = static_cast<int32_t>(w), out.viewHeight = static_cast<int32_t>(h);
        }
        return out;
    }

    out.fillView = true;
    return out;
}

void VideoWindow::relayoutVideo()
{
    const Gtk::Allocation area = main_overlay->get_allocation();
    PkPlacementInput in;
    in.features = features;
    in.videoMode = videoMode;
    in.rotation = rotation;
    in.aspectMode = aspectMode;
    in.scaleMode = scaleMode;
    in.areaWidth = static_cast<uint32_t>(std::max(area.get_width(), 0));
    in.areaHeight = static_cast<uint32_t>(std::max(area.get_height(), 0));
    // Without the scaling or aspect pipeline the drawing area simply fills
    // the video area, whatever the sizes.
    PkVideoPlacement placement = computePlacement(in);
    if (!(features & (PK_PLAYBACK_SCALABLE | PK_PLAYBACK_ASPECT))) placement.fillView = true;
    lastPlacement = placement;
    relayoutCount++;

    if (placement.sendForce) pk_media_set_force_aspect_ratio(placement.force);
    if (placement.sendScale) {
        const EngineScaleRequest request = {placement.scaleX, placement.scaleY};
        pk_playback_control(ENGINE_CTL_SET_SCALE, &request, sizeof(request));
    }
    if (placement.placeView && video_fixed != nullptr) {
        video_fixed->move(*video_view, placement.viewX, placement.viewY);
        video_view->set_size_request(placement.viewWidth, placement.viewHeight);
    }
    if (placement.fillView) {
        const Gtk::Allocation now = video_view->get_allocation();
        if (now.get_x() != area.get_x() || now.get_y() != area.get_y() || now.get_width() != area.get_width() ||
            now.get_height() != area.get_height())
            video_view->size_allocate(area);
    }
    updateTitle();
}

// ---- size steps -------------------------------------------------------------------------

void VideoWindow::snapToLevel()
{
    const int index = scaler.levelIndex(scaler.currentLevel);
    if (index >= 0) scaler.currentLevel = scaler.levels[index];
}

void VideoWindow::initialSizing()
{
    scaler.update(false, AppSize{});
    const AppSize initial = scaler.levels.size() >= 2 ? scaler.levels[1] : scaler.minimumLevel;
    scaler.currentLevel = initial;
    snapToLevel();
    if (video_fixed != nullptr)
        video_view->set_size_request(video_fixed->get_allocated_width(), video_fixed->get_allocated_height());
    if (initial.valid()) resize(static_cast<int>(initial.width), static_cast<int>(initial.height));
    GdkGeometry geometry{};
    geometry.min_width = static_cast<int>(scaler.minimumLevel.width);
    geometry.min_height = static_cast<int>(scaler.minimumLevel.height);
    gtk_window_set_geometry_hints(gobj(), nullptr, &geometry, GDK_HINT_MIN_SIZE);

    PiCSSWindow background;
    background.backgroundColor(0x000000);
    background.apply(*this);
    PiPixbuf::setImage(*logo_image, png_bytes(PNG_LOGO_DARK), PI_PIXBUF_KIND_ENCODED,
                       static_cast<int>(std::min<uint32_t>(initial.width / 8, 96)), -1);
}

void VideoWindow::applySizeStep(const PkVideoMode &mode)
{
    AppSize landscape{std::max(mode.width, mode.height), std::min(mode.width, mode.height)};
    if (pk_playback_mode_complete(videoMode)) return;
    // A report without a usable size sets nothing: the first complete one
    // fixes the steps.
    if (!pk_playback_mode_complete(mode)) return;
    videoMode = mode;
    scaler.update(true, landscape);
    snapToLevel();
    GdkGeometry geometry{};
    if (isNativeRenderer()) {
        geometry.min_width = static_cast<int>(uint64_t(landscape.width) * 240 / landscape.height);
        geometry.min_height = 240;
    } else {
        geometry.min_width = static_cast<int>(scaler.minimumLevel.width);
        geometry.min_height = static_cast<int>(scaler.minimumLevel.height);
    }
    gtk_window_set_geometry_hints(gobj(), nullptr, &geometry, GDK_HINT_MIN_SIZE);
    restyle(PiTheme::instance()->effectiveTheme(), scaler.currentLevel);
    relayoutVideo();
}

void VideoWindow::onSizeAllocate(Gtk::Allocation &allocation)
{
    const AppSize size{static_cast<uint32_t>(std::max(allocation.get_width(), 0)),
                       static_cast<uint32_t>(std::max(allocation.get_height(), 0))};
    if (pk_playback_mode_complete(videoMode)) relayoutVideo();
    if (nativeVideo) sendRenderRect(isNativeRenderer() && !barsHidden);

    const AppSize reference = scaler.compactLevel;
    const bool compact = reference.valid() && (size.width <= reference.width || size.height <= reference.height);
    if (compact) hideBars();
    if (playbackState != PK_PLAYBACK_PLAYING) {
        for (Gtk::Widget *widget : std::initializer_list<Gtk::Widget *>{avatar_image, logo_image, under_name_label,
                                                                        connect_status})
            if (widget->get_visible() == compact) widget->set_visible(!compact);
    }

    if (size == lastAllocation) return;
    lastAllocation = size;
    if (size == scaler.currentLevel) return;
    const int before = scaler.levelIndex(scaler.currentLevel);
    const int after = scaler.levelIndex(size);
    const AppSize step = before >= 0 && after >= 0 ? scaler.levels[after] : scaler.minimumLevel;
    scaler.currentLevel = size;
    if (before != after) restyle(PiTheme::instance()->effectiveTheme(), step);
}

// ---- styling ----------------------------------------------------------------------------

PkPlaybackStyleSizes VideoWindow::styleSizes(uint32_t stepWidth, uint32_t stepHeight, double dpi)
{
    PkPlaybackStyleSizes sizes;
    sizes.barHeight = std::clamp<uint32_t>(static_cast<uint32_t>(uint64_t(stepHeight) * 18 / 100), 64, 112);
    sizes.buttonSide = sizes.barHeight / 3;
    sizes.iconSide = sizes.barHeight / 3 - 2;
    const double factor = dpi > 0 ? dpi / 96.0 : 1.0;
    sizes.labelFontPx = static_cast<uint32_t>((sizes.barHeight / 6) * factor);
    sizes.avatarSide = static_cast<uint32_t>(uint64_t(stepHeight) * 30 / 100);
    sizes.logoWidth = std::min<uint32_t>(stepWidth / 8, 96);
    sizes.logoSpacing = std::clamp<uint32_t>(stepHeight / 25, 16, 32);
    return sizes;
}

void VideoWindow::restyle(int theme, AppSize step)
{
    restyleCount++;
    const Glib::RefPtr<Gdk::Screen> screen = get_screen();
    const double dpi = screen ? screen->get_resolution() : 0.0;
    const PkPlaybackStyleSizes sizes = styleSizes(step.width, step.height, dpi);
    const ThemeColours &c = theme == 1 ? kDark : kLight;
    const int b = static_cast<int>(sizes.barHeight);
    const int side = static_cast<int>(sizes.buttonSide);
    const int icon = static_cast<int>(sizes.iconSide);

    top_bar->set_size_request(-1, b);
    down_bar->set_size_request(-1, b);
    for (Gtk::Box *box : {screen_box, aspect_box, zoom_box, bcsh_box, peer_box}) box->set_size_request(side, side);

    const bool dark = theme == 1;
    PiPixbuf::setImage(*connect_image, png_bytes(dark ? PNG_CONNECT_DARK : PNG_CONNECT_LIGHT),
                       PI_PIXBUF_KIND_ENCODED, 24, 24);
    const struct {
        Gtk::Image *image;
        uint32_t light, dark;
    } icons[] = {{screen_image, 180, 139}, {aspect_image, 178, 138}, {zoom_image, 181, 177},
                 {bcsh_image, 179, 168},   {peer_image, 189, 190}};
    for (const auto &entry : icons)
        PiPixbuf::setImage(*entry.image, png_bytes(dark ? entry.dark : entry.light), PI_PIXBUF_KIND_ENCODED, icon,
                           icon);

    const PiCSSObject none;
    PiCSSButton normal;
    normal.backgroundColor(c.button).color(c.button).borderRadius(0).borderWidth(0).backgroundImage(none).boxShadow(
        none);
    PiCSSButton hover("hover");
    hover.backgroundColor(c.hover).color(c.hover).backgroundImage(none).boxShadow(none);
    PiCSSButton active("active");
    active.backgroundColor(c.pressed).color(c.pressed).backgroundImage(none).boxShadow(none);
    PiCSSButton hoverActive("hover:active");
    hoverActive.backgroundColor(c.pressed).color(c.pressed).backgroundImage(none).boxShadow(none);
    const std::string buttonCss =
        normal.toCss() + "\n" + hover.toCss() + "\n" + active.toCss() + "\n" + hoverActive.toCss();
    for (Gtk::Button *button : {screen_button, aspect_button, zoom_button, bcsh_button, peer_button})
        PiCSSItem::applyCss(*button, buttonCss, "");

    PiCSSBox barBox;
    barBox.backgroundColor(c.bar);
    for (Gtk::Box *box : {top_bar, down_bar, screen_box, aspect_box, zoom_box, bcsh_box, peer_box}) barBox.apply(*box);

    PiCSSLabel label;
    label.fontSize(sizes.labelFontPx).color(c.text);
    for (Gtk::Label *widget : {resolution_label, encryption_label, bitrate_label, connected_label, user_name_label,
                               source_label, under_name_label, connect_status})
        label.apply(*widget);

    PiCSSObjectAnimationRotate spin("spin");
    spin.makeKeyframes();
    PiCSSImage spinning;
    spinning.animation(spin);
    spinning.apply(*connect_image);

    PiCSSSeparator separator;
    separator.backgroundColor(c.separator);
    for (Gtk::Separator *widget : {top_separator, down_separator})
        if (widget != nullptr) separator.apply(*widget);

    PiCSSObjectRadialGradient gradient;
    gradient.setColors(c.gradientCentre, c.gradientEdge);
    PiCSSBox back;
    back.backgroundImage(gradient);
    back.apply(*back_box);

    std::shared_ptr<PkSession> peer = PkCenterNotify::instance()->findSession(peerId);
    const uint32_t a = sizes.avatarSide;
    if (peer && a != 0) {
        const int s = static_cast<int>(std::max<uint32_t>(a, 256));
        Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::avatar(*peer, s, s);
        if (picture) picture = PiPixbuf::circleWithRing(picture, c.ring);
        if (picture && static_cast<uint32_t>(s) != a &&
            (picture->get_width() != static_cast<int>(a) || picture->get_height() != static_cast<int>(a)))
            picture = picture->scale_simple(static_cast<int>(a), static_cast<int>(a), Gdk::INTERP_BILINEAR);
        if (picture) avatar_image->set(picture);
    }

    if (logo_image->get_visible()) {
        const int logoWidth = static_cast<int>(sizes.logoWidth);
        if (PiPixbuf::setImage(*logo_image, png_bytes(dark ? PNG_LOGO_DARK : PNG_LOGO_LIGHT),
                               PI_PIXBUF_KIND_ENCODED, logoWidth, -1) == 0) {
            Glib::RefPtr<Gdk::Pixbuf> logo = logo_image->get_pixbuf();
            if (logo && logo->get_width() > 0)
                logo_image->set_size_request(logoWidth, logo->get_height() * logoWidth / logo->get_width());
        }
        logo_image->set_margin_bottom(down_bar->get_visible() ? 20 + b : 20);
    }
    logo_box->set_spacing(static_cast<int>(sizes.logoSpacing));
}
