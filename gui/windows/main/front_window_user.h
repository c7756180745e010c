// One peer tile of the main window: the peer's avatar filling a square, its
// name on a dark strip along the bottom, and the multichannel badge in the
// top right corner while the peer offers more than one broadcast channel.
// The empty tile (zero peer id) reads "No streamers" over the program's
// placeholder picture.
//
// A tile is made with `new` and is not managed: the main window's tile
// functions delete it together with the list cell that "users_box" wraps
// around it. Its five child widgets are managed by their containers.
//
// Threads: the GTK main thread only. Nothing here throws; a picture that
// cannot be made leaves the image empty.
#pragma once

#include <gtkmm/box.h>
#include <gtkmm/eventbox.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>

#include <cstdint>

#include "app/info.h"
#include "services/display.h"

// PNG resources of the tiles.
#define FRONT_TILE_EMPTY_PNG 182
#define FRONT_TILE_BADGE_PNG 123

// The sizes a tile takes from a window size level.
struct FrontTileGeometry {
    int tile = 0;         // edge of the square: height / 3
    int badge = 0;        // badge edge and its margins: height / 24
    int stripHeight = 0;  // tile * 20 / 100
    int fontSize = 0;     // name font size in pixels: tile * 20 / 200

    static FrontTileGeometry of(AppSize level);
};

class FrontWindowUser : public Gtk::EventBox {
public:
    ~FrontWindowUser() override = default;

    // A new tile for the peer, not yet in any container; the name and
    // avatar of the peer as the notification centre knows it, else the
    // empty tile's text and picture.
    static FrontWindowUser *create(const PkXID &id, AppSize level);

    // New sizes for another window size level.
    void relayout(AppSize level);

    // The avatar at the level's tile size and the name with its suffix,
    // read again from the node list; false (nothing changed) when the peer
    // is not in it.
    bool refreshPeer(AppSize level);

    Gtk::Overlay *overlay = nullptr;
    Gtk::Image *badgeImage = nullptr;
    Gtk::Image *avatarImage = nullptr;
    Gtk::Label *nameLabel = nullptr;
    Gtk::Box *nameStrip = nullptr;
    PkXID peerId;

private:
    FrontWindowUser() = default;
    void setPlaceholderAvatar(int edge);
    void setBadgePicture(int edge);
};
