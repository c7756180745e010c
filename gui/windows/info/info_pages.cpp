#include "windows/info/info_pages.h"

#include <vector>

#include "app/resources.h"
#include "app/texts.h"
#include "toolkit/pixbuf.h"
#include "toolkit/window.h"

PkPageMetrics pk_page_metrics(AppSize level)
{
    const float w = float(level.width);
    const float h = float(level.height);
    PkPageMetrics metrics;
    metrics.margin = int(w * 5.0f / 100.0f);
    metrics.picture = int(w * 20.0f / 100.0f);
    metrics.fontPoints = int(h * 3.5f / 100.0f);
    metrics.paneFontPx = int(h * 4.5f / 100.0f);
    return metrics;
}

Glib::RefPtr<Gtk::TextTag> pk_page_tag(const Glib::RefPtr<Gtk::TextBuffer> &buffer, const char *name,
                                       Gtk::Justification justification, bool setJustification, int weight,
                                       int points, int margin)
{
    Glib::RefPtr<Gtk::TextTag> tag = buffer->create_tag(name);
    if (setJustification) tag->property_justification() = justification;
    if (weight != 0) tag->property_weight() = weight;
    if (points > 0) tag->property_size() = points * PANGO_SCALE;
    tag->property_left_margin() = margin;
    tag->property_right_margin() = margin;
    tag->property_wrap_mode() = Gtk::WRAP_WORD;
    return tag;
}

std::string pk_page_read(const std::string &name)
{
    return readResourceText(html_get_resource(), PK_INFO_PAGE_ROOT + name);
}

bool pk_page_insert_picture(const Glib::RefPtr<Gtk::TextBuffer> &buffer, uint32_t pngId, int width,
                            const Glib::RefPtr<Gtk::TextTag> &tag, const char *trailer)
{
    // The shell hands its resource loader to the toolkit at start-up; the
    // pictures come through it like every window's icon.
    const std::vector<uint8_t> png = PiWindowIcon::png(pngId);
    if (png.empty()) return false;
    Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::fromBytes(png.data(), png.size());
    if (!picture || picture->get_width() <= 0 || width <= 0) return false;
    const int height = int(int64_t(picture->get_height()) * width / picture->get_width());
    if (height <= 0) return false;
    if (picture->get_width() != width || picture->get_height() != height)
        picture = picture->scale_simple(width, height, Gdk::INTERP_BILINEAR);
    if (!picture) return false;
    buffer->insert_with_tag(buffer->end(), " ", tag);
    buffer->insert_pixbuf(buffer->end(), picture);
    buffer->insert_with_tag(buffer->end(), " ", tag);
    buffer->insert_with_tag(buffer->end(), trailer, tag);
    return true;
}

bool PkPageSteps::allocate(const AppScaler &scaler, AppSize allocation, AppSize &target)
{
    target = scaler.minimumLevel;
    if (allocation == lastAllocation) return false;
    lastAllocation = allocation;
    if (allocation == current) return false;
    const int oldStep = scaler.levelIndex(current);
    const int newStep = scaler.levelIndex(allocation);
    if (oldStep != -1 && newStep != -1 && size_t(newStep) < scaler.levels.size()) target = scaler.levels[newStep];
    current = allocation;
    return oldStep != newStep;
}

AppSize pk_page_initial_level(const AppScaler &scaler, size_t index)
{
    return scaler.levels.size() > index ? scaler.levels[index] : scaler.minimumLevel;
}

int pk_page_theme()
{
    return PiTheme::instance()->effectiveTheme();
}
