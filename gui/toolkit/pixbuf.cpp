#include "toolkit/pixbuf.h"

#include <cairo.h>
#include <gdk/gdk.h>
#include <gtkmm/image.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "core/log.h"
#include "services/remote_nodes.h"

namespace {

const uint32_t kPalette[PI_PIXBUF_PALETTE_SIZE] = {
    0x008CD0, 0xD25A18, 0x03803B, 0x162983, 0x751D7F, 0xB00000, 0x007379, 0xCC33CC, 0xFF3800,
    0x673B15, 0x6E0094, 0xE2007A, 0xFF0000, 0x405762, 0x8A4A89, 0x0400FF, 0xC59303, 0xE95A68,
    0x3C992E, 0x9877F0, 0x6A0053, 0x7F7C00, 0x006F00, 0x009294, 0x003F7C, 0xE7634D, 0x005B9F,
    0x466412, 0x2F0605, 0x002D54, 0x00663A, 0x650000, 0x405771, 0x9AA1A7,
};

// The step the initials' font shrinks by until the line fits.
constexpr int kInitialsSizeStep = 2;
// The line of initials may be this share (percent) of the width high.
constexpr int kInitialsHeightPercent = 40;
// The ring adds this share (percent) to the picture's sides.
constexpr int kRingPercent = 105;

bool size_allowed(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width * height <= PI_PIXBUF_MAX_PIXELS;
}

// Guards of one decoding. A picture whose header declares more pixels than
// the bound is stopped before the loader allocates them: asked for a size of
// 0 x 0, the loaders give up with an error (decode() checks the size again
// for a loader that does not ask). The pixels are cleared as soon as they
// exist, because some loaders hand out a picture whose data was cut short
// with the rows they never reached left as they were in memory.
struct BoundedLoad {
    bool refused = false;

    static void sizePrepared(GdkPixbufLoader *loader, gint width, gint height, gpointer data)
    {
        if (size_allowed(width, height)) return;
        static_cast<BoundedLoad *>(data)->refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    }

    static void areaPrepared(GdkPixbufLoader *loader, gpointer)
    {
        if (GdkPixbuf *pixbuf = gdk_pixbuf_loader_get_pixbuf(loader)) gdk_pixbuf_fill(pixbuf, 0);
    }
};

// The PNG loader reports success for a file cut anywhere after its header,
// but a whole PNG ends in its IEND chunk: bytes that start as a PNG must end
// that way.
bool png_cut_short(const uint8_t *data, size_t length)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    static const uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (length < sizeof(kSignature) || memcmp(data, kSignature, sizeof(kSignature)) != 0) return false;
    return length < sizeof(kSignature) + sizeof(kEnd) || memcmp(data + length - sizeof(kEnd), kEnd, sizeof(kEnd)) != 0;
}

// A new reference to the decoded picture, or null.
GdkPixbuf *decode(const uint8_t *data, size_t length)
{
    if (data == nullptr || length == 0 || png_cut_short(data, length)) return nullptr;
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new();
    if (loader == nullptr) return nullptr;
    BoundedLoad bound;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(BoundedLoad::sizePrepared), &bound);
    g_signal_connect(loader, "area-prepared", G_CALLBACK(BoundedLoad::areaPrepared), nullptr);

    GError *error = nullptr;
    bool ok = gdk_pixbuf_loader_write(loader, data, length, &error);
    if (!ok) g_clear_error(&error);
    // Closed whatever happened; most formats cut short fail here.
    if (!gdk_pixbuf_loader_close(loader, &error)) {
        ok = false;
        g_clear_error(&error);
    }
    GdkPixbuf *result = nullptr;
    GdkPixbuf *loaded = ok && !bound.refused ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (loaded != nullptr &&
        size_allowed(gdk_pixbuf_get_width(loaded), gdk_pixbuf_get_height(loaded)))
        result = gdk_pixbuf_copy(loaded);  // outlives the loader
    g_object_unref(loader);
    return result;
}

Glib::RefPtr<Gdk::Pixbuf> take(GdkPixbuf *pixbuf)
{
    return pixbuf != nullptr ? Glib::wrap(pixbuf, false) : Glib::RefPtr<Gdk::Pixbuf>();
}

// width x height transparent ARGB, painted, as an unpremultiplied pixbuf.
Glib::RefPtr<Gdk::Pixbuf> render(int width, int height, const std::function<void(cairo_t *)> &paint)
{
    if (!size_allowed(width, height)) return {};
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return {};
    }
    cairo_t *cr = cairo_create(surface);
    paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    GdkPixbuf *pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, width, height);
    cairo_surface_destroy(surface);
    return take(pixbuf);
}

void paint_pixbuf_scaled(cairo_t *cr, GdkPixbuf *picture, int width, int height)
{
    if (!size_allowed(width, height)) return;
    GdkPixbuf *scaled = gdk_pixbuf_scale_simple(picture, width, height, GDK_INTERP_BILINEAR);
    if (scaled == nullptr) return;
    cairo_save(cr);
    gdk_cairo_set_source_pixbuf(cr, scaled, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    g_object_unref(scaled);
}

void paint_encoded(cairo_t *cr, const uint8_t *data, size_t length, int width, int height)
{
    GdkPixbuf *picture = decode(data, length);
    if (picture == nullptr) return;
    paint_pixbuf_scaled(cr, picture, width, height);
    g_object_unref(picture);
}

PangoFontDescription *initials_font(int size)
{
    char text[64];
    snprintf(text, sizeof(text), "Helvetica Normal Bold %d", size);
    PangoFontDescription *font = pango_font_description_from_string(text);
    pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
    pango_font_description_set_style(font, PANGO_STYLE_NORMAL);
    pango_font_description_set_variant(font, PANGO_VARIANT_NORMAL);
    pango_font_description_set_stretch(font, PANGO_STRETCH_NORMAL);
    return font;
}

void paint_initials(cairo_t *cr, const std::string &text, uint32_t colour, int width, int height)
{
    if (width <= 0 || height <= 0 || cairo_status(cr) != CAIRO_STATUS_SUCCESS) return;
    cairo_save(cr);
    cairo_set_source_rgb(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, (colour & 0xFF) / 255.0);
    cairo_paint(cr);

    // Pango refuses text that is not UTF-8; a bad byte shows as U+FFFD.
    gchar *valid = g_utf8_make_valid(text.c_str(), -1);
    PangoLayout *layout = pango_cairo_create_layout(cr);
    cairo_font_options_t *options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_SUBPIXEL);
    pango_cairo_context_set_font_options(pango_layout_get_context(layout), options);
    cairo_font_options_destroy(options);
    pango_layout_context_changed(layout);
    pango_layout_set_text(layout, valid, -1);
    pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
    pango_layout_set_width(layout, -1);
    pango_layout_set_auto_dir(layout, TRUE);
    g_free(valid);

    const int limit = width * kInitialsHeightPercent / 100;
    int size = height, tw = 0, th = 0;
    for (;;) {
        PangoFontDescription *font = initials_font(size);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_get_pixel_size(layout, &tw, &th);
        // No smaller size than the smallest positive one: a narrow picture
        // could otherwise shrink the font below zero.
        if (th <= limit || size - kInitialsSizeStep < 1) break;
        size -= kInitialsSizeStep;
    }

    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_SUBPIXEL);
    cairo_move_to(cr, (width - tw) / 2, (height - th) / 2);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    cairo_restore(cr);
}

// Nearest multiple of 4, halves up.
int round_to_four(int x)
{
    if (x == 0) return 0;
    return x % 4 >= 2 ? (x + 4) & ~3 : x & ~3;
}

// GdkPixdata, the serialized form of inline pictures: a 24-byte header of
// big-endian words (magic "GdkP", total length, type, rowstride, width,
// height), then the pixels, raw rows or run-length coded. Decoded here with
// every length checked: the library's own reader trusts the header and reads
// past the end of data that is cut short.
constexpr uint32_t kPixdataMagic = 0x47646B50;  // "GdkP"
constexpr size_t kPixdataHeaderLength = 24;
constexpr uint32_t kPixdataRgb = 0x01, kPixdataRgba = 0x02;
constexpr uint32_t kPixdataSample8 = 0x01 << 16;
constexpr uint32_t kPixdataRaw = 0x01 << 24, kPixdataRle = 0x02 << 24;

uint32_t big_endian_word(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

GdkPixbuf *from_inline(const std::vector<char> &bytes)
{
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
    if (bytes.size() < kPixdataHeaderLength || big_endian_word(data) != kPixdataMagic) return nullptr;
    const uint32_t declared = big_endian_word(data + 4), type = big_endian_word(data + 8);
    const uint32_t rowstride = big_endian_word(data + 12), width = big_endian_word(data + 16),
                   height = big_endian_word(data + 20);
    // A declared length below the header's means "not given".
    const size_t total = declared > kPixdataHeaderLength ? std::min<size_t>(declared, bytes.size()) : bytes.size();
    const uint8_t *pixels = data + kPixdataHeaderLength;
    const size_t available = total - kPixdataHeaderLength;

    const uint32_t colour = type & 0xFF, sample = type & (0x0F << 16), encoding = type & (0x0F << 24);
    if ((colour != kPixdataRgb && colour != kPixdataRgba) || sample != kPixdataSample8) return nullptr;
    if (!size_allowed(width, height)) return nullptr;
    const size_t bpp = colour == kPixdataRgba ? 4 : 3, rowBytes = size_t(width) * bpp;

    GdkPixbuf *pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, colour == kPixdataRgba, 8, int(width), int(height));
    if (pixbuf == nullptr) return nullptr;
    guint8 *out = gdk_pixbuf_get_pixels(pixbuf);
    const size_t outStride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
    bool ok = false;
    if (encoding == kPixdataRaw) {
        ok = rowstride >= rowBytes && size_t(rowstride) * (height - 1) + rowBytes <= available;
        for (uint32_t y = 0; ok && y < height; y++)
            memcpy(out + y * outStride, pixels + size_t(y) * rowstride, rowBytes);
    } else if (encoding == kPixdataRle) {
        // Runs of one repeated pixel (count | 128) or of literal pixels,
        // across row ends; a run never writes past the last pixel.
        const size_t wanted = size_t(width) * height;
        size_t done = 0, at = 0;
        while (done < wanted && at < available) {
            const uint8_t head = pixels[at++];
            const size_t count = std::min<size_t>(head & 127, wanted - done);
            const bool repeat = head & 128;
            const size_t needed = repeat ? bpp : count * bpp;
            if (needed > available - at) break;
            for (size_t i = 0; i < count; i++, done++) {
                const uint8_t *source = pixels + at + (repeat ? 0 : i * bpp);
                memcpy(out + (done / width) * outStride + (done % width) * bpp, source, bpp);
            }
            at += needed;
        }
        ok = done == wanted;
    }
    if (!ok) {
        g_object_unref(pixbuf);
        return nullptr;
    }
    return pixbuf;
}

}  // namespace

namespace PiPixbuf {

uint32_t paletteColour(unsigned index)
{
    return kPalette[index % PI_PIXBUF_PALETTE_SIZE];
}

uint32_t profileColour(uint8_t profileHashByte)
{
    return 0xFF000000u | kPalette[profileHashByte % PI_PIXBUF_PALETTE_SIZE];
}

void paintEncoded(const Cairo::RefPtr<Cairo::Context> &cr, const uint8_t *data, size_t length, int width, int height)
{
    if (!cr) return;
    paint_encoded(cr->cobj(), data, length, width, height);
}

void paintInitials(const Cairo::RefPtr<Cairo::Context> &cr, const std::string &text, uint32_t colour, int width,
                   int height)
{
    if (!cr) return;
    paint_initials(cr->cobj(), text, colour, width, height);
}

Glib::RefPtr<Gdk::Pixbuf> fromEncoded(const uint8_t *data, size_t length, int width, int height)
{
    return render(width, height, [&](cairo_t *cr) { paint_encoded(cr, data, length, width, height); });
}

Glib::RefPtr<Gdk::Pixbuf> fromInitials(const std::string &text, uint32_t colour, int width, int height)
{
    return render(width, height, [&](cairo_t *cr) { paint_initials(cr, text, colour, width, height); });
}

Glib::RefPtr<Gdk::Pixbuf> avatar(const PkSession &node, int width, int height)
{
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> lock(node.mutex);
        bytes = node.avatar.data;
    }
    // Decoded once here rather than in fromEncoded, so that a picture that
    // does not decode falls back to the initials instead of showing nothing.
    if (GdkPixbuf *picture = decode(bytes.data(), bytes.size())) {
        auto result = render(width, height, [&](cairo_t *cr) { paint_pixbuf_scaled(cr, picture, width, height); });
        g_object_unref(picture);
        return result;
    }
    return fromInitials(pk_session_initials(node), profileColour(node.profileHashByte()), width, height);
}

Glib::RefPtr<Gdk::Pixbuf> circleClip(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf)
{
    if (!pixbuf) return {};
    const int w = pixbuf->get_width(), h = pixbuf->get_height();
    return render(w, h, [&](cairo_t *cr) {
        cairo_arc(cr, w / 2, h / 2, w / 2, 0.0, 2.0 * M_PI);
        cairo_clip(cr);
        gdk_cairo_set_source_pixbuf(cr, pixbuf->gobj(), 0, 0);
        cairo_paint(cr);
    });
}

Glib::RefPtr<Gdk::Pixbuf> circleWithRing(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf, uint32_t colour)
{
    Glib::RefPtr<Gdk::Pixbuf> circle = circleClip(pixbuf);
    if (!circle) return {};
    int w = circle->get_width(), h = circle->get_height();
    if (round_to_four(w) != w || round_to_four(h) != h) {
        w = round_to_four(w);
        h = round_to_four(h);
        // A picture of a side or two pixels rounds to nothing.
        if (w == 0 || h == 0) return {};
        circle = take(gdk_pixbuf_scale_simple(circle->gobj(), w, h, GDK_INTERP_BILINEAR));
        if (!circle) return {};
    }
    const int outerW = round_to_four(int(int64_t(w) * kRingPercent / 100));
    const int outerH = round_to_four(int(int64_t(h) * kRingPercent / 100));
    const Gdk::RGBA ring = rgba(colour, true);
    return render(outerW, outerH, [&](cairo_t *cr) {
        cairo_set_source_rgba(cr, ring.get_red(), ring.get_green(), ring.get_blue(), ring.get_alpha());
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_SUBPIXEL);
        cairo_arc(cr, outerW / 2, outerH / 2, outerW / 2, 0.0, 2.0 * M_PI);
        cairo_clip(cr);
        cairo_paint(cr);
        gdk_cairo_set_source_pixbuf(cr, circle->gobj(), (outerW - w) / 2, (outerH - h) / 2);
        cairo_paint(cr);
    });
}

Gdk::RGBA rgba(uint32_t colour, bool useAlpha)
{
    Gdk::RGBA result;
    result.set_rgba(((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, (colour & 0xFF) / 255.0,
                    useAlpha ? ((colour >> 24) & 0xFF) / 255.0 : 1.0);
    return result;
}

int setImage(Gtk::Image &image, const std::vector<char> &bytes, int kind, int w, int h)
{
    GdkPixbuf *picture = nullptr;
    if (kind == PI_PIXBUF_KIND_INLINE)
        picture = from_inline(bytes);
    else if (kind == PI_PIXBUF_KIND_ENCODED)
        picture = decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    if (picture == nullptr) return -1;

    const int64_t pw = gdk_pixbuf_get_width(picture), ph = gdk_pixbuf_get_height(picture);
    int64_t width = w, height = h;
    if (w == -1 && h == -1) {
        width = pw;
        height = ph;
    } else if (w == -1) {
        width = height * pw / ph;
    } else if (h == -1) {
        height = width * ph / pw;
    }
    // A size that comes out as nothing (or is not a size) sets nothing.
    if (!size_allowed(width, height)) {
        g_object_unref(picture);
        return -1;
    }
    if (width != pw || height != ph) {
        GdkPixbuf *scaled = gdk_pixbuf_scale_simple(picture, int(width), int(height), GDK_INTERP_BILINEAR);
        g_object_unref(picture);
        picture = scaled;
        if (picture == nullptr) return -1;
    }
    image.set(take(picture));
    return 0;
}

Glib::RefPtr<Gdk::Pixbuf> fromFile(const Glib::ustring &path)
{
    // One slot for the process, main thread only.
    static Glib::RefPtr<Gdk::Pixbuf> last;
    GError *error = nullptr;
    GdkPixbuf *loaded = gdk_pixbuf_new_from_file(path.c_str(), &error);
    if (loaded != nullptr) {
        last = take(loaded);
    } else {
        core_log(CORE_LOG_INFO, "toolkit", "picture file not loaded: %s", error != nullptr ? error->message : "?");
        g_clear_error(&error);
    }
    return last;
}

Glib::RefPtr<Gdk::Pixbuf> fromBytes(const uint8_t *data, size_t length)
{
    return take(decode(data, length));
}

Glib::RefPtr<Gdk::Pixbuf> squareCrop(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf)
{
    if (!pixbuf) return {};
    const int w = pixbuf->get_width(), h = pixbuf->get_height();
    if (w == h) return pixbuf;
    const int side = std::min(w, h);
    // An odd difference leaves the square half a pixel off the grid; cairo
    // keeps that half pixel where the pixbuf scaler rounds offsets to whole
    // ones. A colour surface gives a pixbuf without alpha.
    const double offsetX = w > h ? -(w - h) / 2.0 : 0.0;
    const double offsetY = h > w ? -(h - w) / 2.0 : 0.0;
    cairo_surface_t *surface =
        cairo_image_surface_create(pixbuf->get_has_alpha() ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, side, side);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return {};
    }
    cairo_t *cr = cairo_create(surface);
    gdk_cairo_set_source_pixbuf(cr, pixbuf->gobj(), offsetX, offsetY);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    GdkPixbuf *square = gdk_pixbuf_get_from_surface(surface, 0, 0, side, side);
    cairo_surface_destroy(surface);
    return take(square);
}

int toJpeg(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf, uint8_t *buffer, size_t &length)
{
    if (!pixbuf || buffer == nullptr) return -1;
    gchar *encoded = nullptr;
    gsize size = 0;
    GError *error = nullptr;
    if (!gdk_pixbuf_save_to_buffer(pixbuf->gobj(), &encoded, &size, "jpeg", &error, "quality", "90", nullptr)) {
        core_log(CORE_LOG_INFO, "toolkit", "JPEG encoding failed: %s", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return -1;
    }
    int result = -1;
    if (size <= length) {
        memcpy(buffer, encoded, size);
        length = size;
        result = 0;
    }
    g_free(encoded);
    return result;
}

}  // namespace PiPixbuf
