#include <gtest/gtest.h>

#include <gdk-pixbuf/gdk-pixdata.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtkmm/image.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtk_env.h"
#include "services/remote_nodes.h"
#include "toolkit/pixbuf.h"

// The sanitizers' allocation hooks; absent from a build without one.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *)) __attribute__((weak));

namespace {

// The largest single allocation since the last reset, where the hooks exist.
std::atomic<size_t> g_largest_allocation{0};

void note_allocation(const volatile void *, size_t size)
{
    size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

void note_free(const volatile void *) {}

struct Pixel {
    unsigned r, g, b, a;
};

Pixel pixel_at(const Glib::RefPtr<Gdk::Pixbuf> &p, int x, int y)
{
    const guint8 *px = p->get_pixels() + y * p->get_rowstride() + x * p->get_n_channels();
    return {px[0], px[1], px[2], p->get_has_alpha() ? px[3] : 255u};
}

// Within one step of rounding.
void expect_pixel(const Glib::RefPtr<Gdk::Pixbuf> &p, int x, int y, Pixel want, const char *what)
{
    const Pixel got = pixel_at(p, x, y);
    const auto near = [](unsigned a, unsigned b) { return a + 1 >= b && b + 1 >= a; };
    EXPECT_TRUE(near(got.r, want.r) && near(got.g, want.g) && near(got.b, want.b) && near(got.a, want.a))
        << what << " at (" << x << ", " << y << "): got " << got.r << "," << got.g << "," << got.b << "," << got.a
        << " want " << want.r << "," << want.g << "," << want.b << "," << want.a;
}

Glib::RefPtr<Gdk::Pixbuf> solid(int w, int h, uint32_t rgba, bool alpha = true)
{
    GdkPixbuf *p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, w, h);
    gdk_pixbuf_fill(p, alpha ? rgba : (rgba | 0xFF));
    return Glib::wrap(p, false);
}

std::vector<uint8_t> encode(const Glib::RefPtr<Gdk::Pixbuf> &p, const char *type)
{
    gchar *data = nullptr;
    gsize size = 0;
    EXPECT_TRUE(gdk_pixbuf_save_to_buffer(p->gobj(), &data, &size, type, nullptr, nullptr));
    std::vector<uint8_t> bytes(data, data + size);
    g_free(data);
    return bytes;
}

// --- hand-made PNG files: header fields as the decoder will see them ----

uint32_t crc32_of(const uint8_t *data, size_t length, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < length; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void png_chunk(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &body)
{
    put32(out, uint32_t(body.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    put32(out, crc32_of(typed.data(), typed.size()));
}

// A 1-bit grey PNG of w x h, compressed with zlib: a large declared size in
// a few kilobytes, as a peer could send it. Its data holds `rows` rows (all
// of them unless given) of the byte `fill`.
std::vector<uint8_t> grey_png(uint32_t w, uint32_t h, bool withPixels = true, uint32_t rows = UINT32_MAX,
                              uint8_t fill = 0)
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put32(ihdr, w);
    put32(ihdr, h);
    ihdr.insert(ihdr.end(), {1, 0, 0, 0, 0});  // depth 1, grey, deflate, no filter, no interlace
    png_chunk(png, "IHDR", ihdr);
    if (withPixels) {
        std::vector<uint8_t> raw(size_t(std::min(rows, h)) * (1 + (w + 7) / 8), fill);
        for (size_t row = 0; row < raw.size(); row += 1 + (w + 7) / 8) raw[row] = 0;  // filter: none
        GZlibCompressor *zlib = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_ZLIB, 9);
        std::vector<uint8_t> compressed(raw.size() / 100 + 4096);
        gsize read = 0, written = 0;
        const GConverterResult result =
            g_converter_convert(G_CONVERTER(zlib), raw.data(), raw.size(), compressed.data(), compressed.size(),
                                G_CONVERTER_INPUT_AT_END, &read, &written, nullptr);
        EXPECT_EQ(result, G_CONVERTER_FINISHED);
        g_object_unref(zlib);
        compressed.resize(written);
        png_chunk(png, "IDAT", compressed);
    }
    png_chunk(png, "IEND", {});
    return png;
}

// JPEG markers up to the start of scan, declaring w x h.
std::vector<uint8_t> jpeg_header(uint16_t w, uint16_t h)
{
    std::vector<uint8_t> j = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    j.insert(j.end(), 64, 1);  // one quantization table of ones
    j.insert(j.end(), {0xFF, 0xC0, 0x00, 0x0B, 0x08, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 0x01,
                       0x01, 0x11, 0x00});
    j.insert(j.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    j.insert(j.end(), 256, 0x55);
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

class PixbufTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pi_test_gtkmm_wrappers();
        static const bool hooked = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                                   __sanitizer_install_malloc_and_free_hooks(note_allocation, note_free) != 0;
        allocationsSeen = hooked;
    }

    static inline bool allocationsSeen = false;
};

TEST_F(PixbufTest, PaletteAndColours)
{
    EXPECT_EQ(PiPixbuf::paletteColour(0), 0x008CD0u);
    EXPECT_EQ(PiPixbuf::paletteColour(33), 0x9AA1A7u);
    EXPECT_EQ(PiPixbuf::profileColour(34), 0xFF008CD0u);
    EXPECT_EQ(PiPixbuf::profileColour(255), 0xFFE95A68u);  // 255 % 34 = 17

    const Gdk::RGBA withAlpha = PiPixbuf::rgba(0x80FF8000, true), opaque = PiPixbuf::rgba(0x80FF8000, false);
    EXPECT_DOUBLE_EQ(withAlpha.get_red(), 1.0);
    EXPECT_DOUBLE_EQ(withAlpha.get_green(), 128 / 255.0);
    EXPECT_DOUBLE_EQ(withAlpha.get_blue(), 0.0);
    EXPECT_DOUBLE_EQ(withAlpha.get_alpha(), 128 / 255.0);
    EXPECT_DOUBLE_EQ(opaque.get_alpha(), 1.0);
}

TEST_F(PixbufTest, InitialsFitFortyPercentOfTheWidth)
{
    const uint32_t blue = 0x008CD0;
    auto p = PiPixbuf::fromInitials("AL", blue, 128, 128);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->get_width(), 128);
    ASSERT_EQ(p->get_height(), 128);
    for (auto [x, y] : {std::pair{0, 0}, {127, 0}, {0, 127}, {127, 127}}) expect_pixel(p, x, y, {0x00, 0x8C, 0xD0, 255}, "corner");

    // The white ink: centred, and no taller than the 51-pixel line it sits
    // in, but from the first size that fits, not from a much smaller one.
    int top = 128, bottom = -1, left = 128, right = -1;
    for (int y = 0; y < 128; y++)
        for (int x = 0; x < 128; x++) {
            const Pixel c = pixel_at(p, x, y);
            if (c.r > 240 && c.g > 240 && c.b > 240) {
                top = std::min(top, y), bottom = std::max(bottom, y);
                left = std::min(left, x), right = std::max(right, x);
            }
        }
    ASSERT_GE(bottom, 0) << "no initials drawn";
    EXPECT_LE(bottom - top + 1, 51);
    EXPECT_GE(bottom - top + 1, 20);
    EXPECT_NEAR((top + bottom) / 2.0, 64, 12);
    EXPECT_NEAR((left + right) / 2.0, 64, 6);

    const struct {
        const char *purpose;
        std::string text;
        int w, h;
    } odd[] = {
        {"nothing to write", "", 16, 16},
        {"too narrow for any size", "WW", 2, 40},
        {"bytes that are not UTF-8", std::string("\xC3\x28\xFF", 3), 32, 32},
    };
    for (const auto &c : odd) {
        auto q = PiPixbuf::fromInitials(c.text, 0x123456, c.w, c.h);
        ASSERT_TRUE(q) << c.purpose;
        EXPECT_EQ(q->get_width(), c.w) << c.purpose;
        expect_pixel(q, 0, 0, {0x12, 0x34, 0x56, 255}, c.purpose);
    }
    EXPECT_FALSE(PiPixbuf::fromInitials("A", 0, 0, 10));
    EXPECT_FALSE(PiPixbuf::fromInitials("A", 0, 10, -1));
}

TEST_F(PixbufTest, EncodedPicturesScaleAndKeepTheirAlpha)
{
    const std::vector<uint8_t> red = encode(solid(10, 10, 0xFF0000FF), "png");
    auto p = PiPixbuf::fromEncoded(red.data(), red.size(), 20, 30);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->get_width(), 20);
    EXPECT_EQ(p->get_height(), 30);
    expect_pixel(p, 0, 0, {255, 0, 0, 255}, "scaled");
    expect_pixel(p, 19, 29, {255, 0, 0, 255}, "scaled");

    // Half-transparent green: the surface is premultiplied, the pixbuf not.
    const std::vector<uint8_t> green = encode(solid(4, 4, 0x00FF0080), "png");
    auto q = PiPixbuf::fromEncoded(green.data(), green.size(), 8, 8);
    ASSERT_TRUE(q);
    expect_pixel(q, 4, 4, {0, 255, 0, 128}, "half alpha");

    const uint8_t junk[] = "not a picture at all";
    auto t = PiPixbuf::fromEncoded(junk, sizeof(junk), 6, 6);
    ASSERT_TRUE(t);
    expect_pixel(t, 3, 3, {0, 0, 0, 0}, "undecodable is transparent");

    const std::vector<uint8_t> jpeg = encode(solid(30, 20, 0x0000FFFF, false), "jpeg");
    auto decoded = PiPixbuf::fromBytes(jpeg.data(), jpeg.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->get_width(), 30);
    EXPECT_EQ(decoded->get_height(), 20);
}

// Peer bytes: whatever arrives, no picture or a sound one, never a crash
// and never an allocation for the declared size.
TEST_F(PixbufTest, UntrustedBytesFailCleanly)
{
    const std::vector<uint8_t> png = encode(solid(64, 64, 0x11223344), "png");
    const std::vector<uint8_t> jpeg = encode(solid(64, 64, 0x112233FF, false), "jpeg");
    std::vector<uint8_t> noise(4096);
    std::mt19937 random(7);
    for (auto &b : noise) b = uint8_t(random());
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                                0x2C, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    std::vector<uint8_t> bmp = {'B', 'M', 0x3A, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 0x28, 0, 0, 0,
                                0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 1, 0, 24, 0, 0, 0, 0, 0,
                                0, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    const struct {
        const char *purpose;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"nothing", {}},
        {"one byte", {0x89}},
        {"PNG cut in half", std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2)},
        {"PNG signature only", std::vector<uint8_t>(png.begin(), png.begin() + 8)},
        {"JPEG cut in half", std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)},
        {"PNG of zero width", grey_png(0, 10)},
        {"PNG header declaring 1000000 x 1000000", grey_png(1000000, 1000000, false)},
        {"whole PNG of 5000 x 5000", grey_png(5000, 5000)},
        {"PNG of 4097 x 4096, one row past the bound", grey_png(4097, 4096)},
        {"JPEG declaring 65000 x 65000", jpeg_header(65000, 65000)},
        {"JPEG declaring 0 x 0", jpeg_header(0, 0)},
        {"GIF declaring 65535 x 65535", gif},
        {"BMP declaring 65535 x 65535", bmp},
        {"noise", noise},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        g_largest_allocation = 0;
        EXPECT_FALSE(PiPixbuf::fromBytes(c.bytes.data(), c.bytes.size()));
        // Nothing near a declared size was ever allocated.
        if (allocationsSeen) {
            EXPECT_LT(g_largest_allocation.load(), size_t(8) << 20);
        }
        auto painted = PiPixbuf::fromEncoded(c.bytes.data(), c.bytes.size(), 8, 8);
        ASSERT_TRUE(painted);
        expect_pixel(painted, 4, 4, {0, 0, 0, 0}, "transparent");
    }
    EXPECT_FALSE(PiPixbuf::fromBytes(nullptr, 10));

    // Whole in form but with half its rows: no picture, or one whose missing
    // rows are black, never what the memory held before.
    const std::vector<uint8_t> halfRows = grey_png(64, 64, true, 32, 0xFF);
    if (auto partial = PiPixbuf::fromBytes(halfRows.data(), halfRows.size())) {
        expect_pixel(partial, 5, 5, {255, 255, 255, 255}, "a row that was sent");
        expect_pixel(partial, 5, 60, {0, 0, 0, 255}, "a row that was not");
    }

    // At the bound itself the picture is a picture.
    const std::vector<uint8_t> atBound = grey_png(4096, 4096);
    auto big = PiPixbuf::fromBytes(atBound.data(), atBound.size());
    ASSERT_TRUE(big);
    EXPECT_EQ(big->get_width(), 4096);
}

TEST_F(PixbufTest, CircleAndRing)
{
    auto circle = PiPixbuf::circleClip(solid(100, 100, 0x0000FFFF));
    ASSERT_TRUE(circle);
    EXPECT_EQ(circle->get_width(), 100);
    expect_pixel(circle, 50, 50, {0, 0, 255, 255}, "centre");
    expect_pixel(circle, 50, 2, {0, 0, 255, 255}, "inside the top edge");
    for (auto [x, y] : {std::pair{0, 0}, {99, 0}, {0, 99}, {99, 99}}) expect_pixel(circle, x, y, {0, 0, 0, 0}, "corner");

    const struct {
        int side, ringed;
    } sizes[] = {{98, 104}, {100, 104}, {101, 104}, {4, 4}, {2, 4}};
    for (const auto &s : sizes) {
        auto ringed = PiPixbuf::circleWithRing(solid(s.side, s.side, 0x0000FFFF), 0xFF00FF00);
        ASSERT_TRUE(ringed) << s.side;
        EXPECT_EQ(ringed->get_width(), s.ringed) << s.side;
        EXPECT_EQ(ringed->get_height(), s.ringed) << s.side;
    }
    EXPECT_FALSE(PiPixbuf::circleWithRing(solid(1, 1, 0x0000FFFF), 0xFF00FF00));  // rounds to nothing
    EXPECT_FALSE(PiPixbuf::circleWithRing(Glib::RefPtr<Gdk::Pixbuf>(), 0xFF00FF00));

    // 100 x 100 blue in a half-transparent green ring of two pixels.
    auto ringed = PiPixbuf::circleWithRing(solid(100, 100, 0x0000FFFF), 0x8000FF00);
    ASSERT_TRUE(ringed);
    expect_pixel(ringed, 52, 52, {0, 0, 255, 255}, "picture");
    expect_pixel(ringed, 52, 1, {0, 255, 0, 128}, "ring at the top");
    expect_pixel(ringed, 1, 52, {0, 255, 0, 128}, "ring at the left");
    expect_pixel(ringed, 0, 0, {0, 0, 0, 0}, "outside the ring");
}

TEST_F(PixbufTest, SquareCropCutsTheCentre)
{
    // Column x (row y) has red x (green y), so the cut shows where it came from.
    const auto graded = [](int w, int h) {
        auto p = solid(w, h, 0x000000FF);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                guint8 *px = p->get_pixels() + y * p->get_rowstride() + x * 4;
                px[0] = uint8_t(x), px[1] = uint8_t(y);
            }
        return p;
    };
    auto wide = PiPixbuf::squareCrop(graded(300, 200));
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->get_width(), 200);
    EXPECT_EQ(wide->get_height(), 200);
    EXPECT_EQ(pixel_at(wide, 0, 0).r, 50u);
    EXPECT_EQ(pixel_at(wide, 100, 7).r, 150u);
    EXPECT_EQ(pixel_at(wide, 100, 7).g, 7u);

    auto tall = PiPixbuf::squareCrop(graded(200, 300));
    ASSERT_TRUE(tall);
    EXPECT_EQ(tall->get_height(), 200);
    EXPECT_EQ(pixel_at(tall, 9, 0).g, 50u);
    EXPECT_EQ(pixel_at(tall, 9, 0).r, 9u);

    // 201 x 200: half a pixel in, so each pixel lies between two source
    // columns; with columns alternating 0 and 200 it comes out as their mean.
    auto striped = solid(201, 200, 0x000000FF);
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 201; x += 2) striped->get_pixels()[y * striped->get_rowstride() + x * 4] = 200;
    auto odd = PiPixbuf::squareCrop(striped);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->get_width(), 200);
    EXPECT_EQ(odd->get_height(), 200);
    for (int x : {10, 11, 100}) EXPECT_NEAR(int(pixel_at(odd, x, 5).r), 100, 1) << x;

    // The alpha channel follows the source's.
    EXPECT_TRUE(wide->get_has_alpha());
    auto opaque = PiPixbuf::squareCrop(solid(30, 20, 0x336699FF, false));
    ASSERT_TRUE(opaque);
    EXPECT_FALSE(opaque->get_has_alpha());
    expect_pixel(opaque, 10, 10, {0x33, 0x66, 0x99, 255}, "opaque crop");

    auto square = graded(50, 50);
    EXPECT_EQ(PiPixbuf::squareCrop(square), square);
    EXPECT_FALSE(PiPixbuf::squareCrop(Glib::RefPtr<Gdk::Pixbuf>()));
}

TEST_F(PixbufTest, JpegFitsTheBufferOrNothingIsWritten)
{
    std::vector<uint8_t> buffer(131072, 0xEE);
    size_t length = buffer.size();
    ASSERT_EQ(PiPixbuf::toJpeg(solid(64, 64, 0x336699FF), buffer.data(), length), 0);
    ASSERT_GT(length, 2u);
    EXPECT_LT(length, buffer.size());
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0xD8);
    auto back = PiPixbuf::fromBytes(buffer.data(), length);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->get_width(), 64);

    // Noise does not compress: far more than 131072 bytes at quality 90.
    auto noise = solid(400, 400, 0, false);
    std::mt19937 random(11);
    for (int y = 0; y < 400; y++)
        for (int x = 0; x < 400 * 3; x++) noise->get_pixels()[y * noise->get_rowstride() + x] = uint8_t(random());
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    length = buffer.size();
    EXPECT_EQ(PiPixbuf::toJpeg(noise, buffer.data(), length), -1);
    EXPECT_EQ(length, 131072u);
    EXPECT_EQ(buffer[0], 0xEE);

    EXPECT_EQ(PiPixbuf::toJpeg(Glib::RefPtr<Gdk::Pixbuf>(), buffer.data(), length), -1);
}

TEST_F(PixbufTest, FromFileKeepsTheLastGoodPicture)
{
    char dir[] = "/tmp/pi-pixbuf-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string missing = std::string(dir) + "/missing.png", good = std::string(dir) + "/good.png",
                      broken = std::string(dir) + "/broken.png";
    EXPECT_FALSE(PiPixbuf::fromFile(missing)) << "nothing loaded yet";

    const std::vector<uint8_t> png = encode(solid(12, 7, 0xFF0000FF), "png");
    ASSERT_TRUE(g_file_set_contents(good.c_str(), reinterpret_cast<const gchar *>(png.data()), gssize(png.size()),
                                    nullptr));
    ASSERT_TRUE(g_file_set_contents(broken.c_str(), reinterpret_cast<const gchar *>(png.data()), 20, nullptr));
    auto loaded = PiPixbuf::fromFile(good);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->get_width(), 12);
    EXPECT_EQ(PiPixbuf::fromFile(missing), loaded);
    EXPECT_EQ(PiPixbuf::fromFile(broken), loaded);

    g_remove(good.c_str());
    g_remove(broken.c_str());
    g_rmdir(dir);
}

TEST_F(PixbufTest, AvatarPictureElseInitials)
{
    PkSession node(PkXID::fromText("ada"));
    const auto field = [&](std::string_view key, const std::string &text) {
        ASSERT_TRUE(pk_session_apply_field(node, PkXID::fromText(key), PkBuffer(std::vector<uint8_t>(text.begin(), text.end()))));
    };
    field(PkConstants::kNodeFirstNameField, "Ada");
    field(PkConstants::kNodeLastNameField, "Lovelace");
    const uint32_t colour = PiPixbuf::profileColour(node.profileHashByte());
    const Pixel profile = {(colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF, 255};

    auto initials = PiPixbuf::avatar(node, 64, 64);
    ASSERT_TRUE(initials);
    EXPECT_EQ(initials->get_width(), 64);
    expect_pixel(initials, 0, 0, profile, "no picture: profile colour");

    const std::vector<uint8_t> green = encode(solid(16, 16, 0x00FF00FF), "png");
    field(PkConstants::kNodeAvatarField, std::string(green.begin(), green.end()));
    auto picture = PiPixbuf::avatar(node, 64, 64);
    ASSERT_TRUE(picture);
    expect_pixel(picture, 0, 0, {0, 255, 0, 255}, "the peer's picture");
    expect_pixel(picture, 63, 63, {0, 255, 0, 255}, "the peer's picture");

    // A picture that does not decode shows the initials, not nothing.
    field(PkConstants::kNodeAvatarField, std::string(green.begin(), green.begin() + green.size() / 2));
    auto fallback = PiPixbuf::avatar(node, 64, 64);
    ASSERT_TRUE(fallback);
    expect_pixel(fallback, 0, 0, profile, "undecodable picture: profile colour");
}

class PixbufImageTest : public PixbufTest {
protected:
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    static std::pair<int, int> shown(Gtk::Image &image)
    {
        Glib::RefPtr<Gdk::Pixbuf> p = image.get_pixbuf();
        return p ? std::pair{p->get_width(), p->get_height()} : std::pair{0, 0};
    }
};

TEST_F(PixbufImageTest, SetImageSizesAndKinds)
{
    const std::vector<uint8_t> png = encode(solid(200, 100, 0xFF0000FF), "png");
    const std::vector<char> bytes(png.begin(), png.end());

    const struct {
        const char *purpose;
        int kind, w, h, result;
        std::pair<int, int> size;
    } cases[] = {
        {"width given, height keeps the aspect", 1, 40, -1, 0, {40, 20}},
        {"height given, width keeps the aspect", 1, -1, 50, 0, {100, 50}},
        {"both kept", 1, -1, -1, 0, {200, 100}},
        {"both given", 1, 30, 30, 0, {30, 30}},
        {"unknown kind", 2, 40, 40, -1, {0, 0}},
        {"zero width", 1, 0, 10, -1, {0, 0}},
        {"aspect comes out as nothing", 1, 1, -1, -1, {0, 0}},
        {"negative other than -1", 1, -5, 10, -1, {0, 0}},
    };
    for (const auto &c : cases) {
        Gtk::Image image;
        EXPECT_EQ(PiPixbuf::setImage(image, bytes, c.kind, c.w, c.h), c.result) << c.purpose;
        EXPECT_EQ(shown(image), c.size) << c.purpose;
    }

    Gtk::Image image;
    const std::vector<char> cut(bytes.begin(), bytes.begin() + 40);
    EXPECT_EQ(PiPixbuf::setImage(image, cut, 1, -1, -1), -1);
    EXPECT_EQ(PiPixbuf::setImage(image, {}, 1, -1, -1), -1);
}

// Serialized GdkPixdata of the picture, raw rows or run-length coded.
std::vector<char> inline_data(const Glib::RefPtr<Gdk::Pixbuf> &picture, bool runLength)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixdata pixdata;
    gpointer pixels = gdk_pixdata_from_pixbuf(&pixdata, picture->gobj(), runLength);
    guint length = 0;
    guint8 *stream = gdk_pixdata_serialize(&pixdata, &length);
    G_GNUC_END_IGNORE_DEPRECATIONS
    const std::vector<char> bytes(stream, stream + length);
    g_free(stream);
    g_free(pixels);
    return bytes;
}

TEST_F(PixbufImageTest, SetImageFromInlineData)
{
    // Runs and single pixels: a grey left half, a gradient on the right.
    auto source = solid(9, 5, 0x808080FF);
    for (int y = 0; y < 5; y++)
        for (int x = 5; x < 9; x++) source->get_pixels()[y * source->get_rowstride() + x * 4] = uint8_t(x * 20 + y);
    for (bool runLength : {false, true}) {
        SCOPED_TRACE(runLength ? "run-length coded" : "raw rows");
        const std::vector<char> bytes = inline_data(source, runLength);
        Gtk::Image image;
        ASSERT_EQ(PiPixbuf::setImage(image, bytes, 0, -1, -1), 0);
        auto shownPixbuf = image.get_pixbuf();
        ASSERT_TRUE(shownPixbuf);
        ASSERT_EQ(shown(image), (std::pair{9, 5}));
        for (int y = 0; y < 5; y++)
            for (int x = 0; x < 9; x++) {
                const Pixel want = pixel_at(source, x, y);
                expect_pixel(shownPixbuf, x, y, want, "copied pixel");
            }

        // Cut short anywhere: refused, nothing read past the end.
        for (size_t keep = 0; keep < bytes.size(); keep++) {
            Gtk::Image other;
            EXPECT_EQ(PiPixbuf::setImage(other, std::vector<char>(bytes.begin(), bytes.begin() + keep), 0, -1, -1), -1)
                << keep;
        }
        // A header that claims more rows than the data holds.
        std::vector<char> taller = bytes;
        taller[23] = char(50);
        Gtk::Image other;
        EXPECT_EQ(PiPixbuf::setImage(other, taller, 0, -1, -1), -1);
    }
}

}  // namespace
