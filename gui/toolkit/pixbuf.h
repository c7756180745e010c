// Pictures the windows draw rather than take from a theme.
//
// PiPixbuf is a set of stateless functions over reference-counted
// Gdk::Pixbuf pointers and cairo contexts: icons from the program's PNG
// bytes, the peers' avatars (their own picture, else their initials on a
// colour picked from their profile), round avatars with a coloured ring, the
// square crop and JPEG encoding of an avatar the user picks, and picture
// files. Cairo surfaces are premultiplied; every pixbuf handed out is not.
//
// Threads: the GTK main thread; gtkmm must be initialized (Gtk::Application,
// or Gtk::Main::init_gtkmm_internals in tests). Nothing here throws: a
// picture that cannot be made is an empty pointer, an operation that fails
// returns -1, a paint that fails paints nothing. A size asked for must be
// positive and at most PI_PIXBUF_MAX_PIXELS pixels, else there is no picture.
//
// Encoded bytes are decoded as untrusted input: they come from peers (an
// avatar holds up to 131072 bytes). Bytes that do not decode, are cut short,
// or declare more than PI_PIXBUF_MAX_PIXELS pixels give no picture; the
// decoder never allocates for a declared size above that.
#pragma once

#include <cairomm/context.h>
#include <gdkmm/pixbuf.h>
#include <gdkmm/rgba.h>
#include <glibmm/refptr.h>
#include <glibmm/ustring.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Gtk {
class Image;
}
class PkSession;

// 4096 x 4096: a peer's picture is shown at tile size; a larger declared size
// is refused before the decoder allocates for it.
#define PI_PIXBUF_MAX_PIXELS (4096 * 4096)

// Number of colours of the avatar palette.
#define PI_PIXBUF_PALETTE_SIZE 34

// Picture kinds of setImage.
#define PI_PIXBUF_KIND_INLINE 0   // GdkPixbuf inline data (GdkPixdata)
#define PI_PIXBUF_KIND_ENCODED 1  // PNG, JPEG or another format the loader knows

namespace PiPixbuf {

// palette[i], 0xRRGGBB, i < PI_PIXBUF_PALETTE_SIZE.
uint32_t paletteColour(unsigned index);
// The opaque 0xFFRRGGBB colour of a profile: palette[hash % 34].
uint32_t profileColour(uint8_t profileHashByte);

// Paints the decoded picture scaled to width x height at (0, 0).
void paintEncoded(const Cairo::RefPtr<Cairo::Context> &cr, const uint8_t *data, size_t length, int width,
                  int height);
// Fills with the colour (low 24 bits) and writes the text in white, centred,
// in the largest bold size (from height down in steps of 2) whose line is at
// most 40% of the width high; the smallest positive size when none is.
void paintInitials(const Cairo::RefPtr<Cairo::Context> &cr, const std::string &text, uint32_t colour, int width,
                   int height);

// width x height pictures made with the two paints above; fromEncoded of
// bytes that do not decode is fully transparent.
Glib::RefPtr<Gdk::Pixbuf> fromEncoded(const uint8_t *data, size_t length, int width, int height);
Glib::RefPtr<Gdk::Pixbuf> fromInitials(const std::string &text, uint32_t colour, int width, int height);

// The node's picture at width x height; its initials on its profile colour
// when it has no picture or its bytes do not decode.
Glib::RefPtr<Gdk::Pixbuf> avatar(const PkSession &node, int width, int height);

// Same size; transparent outside the circle of radius width / 2.
Glib::RefPtr<Gdk::Pixbuf> circleClip(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf);
// The round picture (sides rounded to multiples of 4) on a disc of the ring
// colour 0xAARRGGBB 5% larger, rounded to a multiple of 4 as well.
Glib::RefPtr<Gdk::Pixbuf> circleWithRing(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf, uint32_t colour);

// Components of 0xAARRGGBB; alpha 1.0 unless useAlpha.
Gdk::RGBA rgba(uint32_t colour, bool useAlpha);

// Sets the picture on the image at w x h; -1 for either keeps the aspect of
// the picture, both -1 its size. 0 when set; -1 when nothing was set (kind
// unknown, bytes undecodable, or a size that is not positive).
int setImage(Gtk::Image &image, const std::vector<char> &bytes, int kind, int w, int h);

// The file as a picture. One picture is kept for the process: a file that
// fails to load gives the last one that loaded (empty when none did).
Glib::RefPtr<Gdk::Pixbuf> fromFile(const Glib::ustring &path);

// The decoded picture in its own size; empty when the bytes do not decode.
Glib::RefPtr<Gdk::Pixbuf> fromBytes(const uint8_t *data, size_t length);

// The centred square of the picture with the smaller side; the same picture
// when it is square.
Glib::RefPtr<Gdk::Pixbuf> squareCrop(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf);

// JPEG at quality 90 into buffer. length: in, the buffer's capacity; out, the
// bytes written. -1, with nothing written and length left, when encoding
// fails or the JPEG does not fit.
int toJpeg(const Glib::RefPtr<Gdk::Pixbuf> &pixbuf, uint8_t *buffer, size_t &length);

}  // namespace PiPixbuf
