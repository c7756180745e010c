#include "windows/main/front_window_user.h"

#include <pangomm/layout.h>

#include <memory>
#include <string>
#include <vector>

#include "app/texts.h"
#include "services/centre.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"

namespace {

constexpr unsigned kAvatarBackground = 0xC00107;

std::vector<char> png_bytes(uint32_t id)
{
    const std::vector<uint8_t> bytes = loadPngResource(id);
    return std::vector<char>(bytes.begin(), bytes.end());
}

std::shared_ptr<PkSession> find_node(const PkXID &id)
{
    if (id.isNull()) return nullptr;
    return PkCenterNotify::instance()->findSession(id);
}

// The display name followed by the suffix that tells equal names apart.
std::string node_text(const PkSession &node)
{
    std::string text = pk_session_display_name(node);
    std::lock_guard<std::mutex> lock(node.mutex);
    return text + node.nameSuffix;
}

bool offers_channels(const PkSession &node) { return pk_session_channels(node).size() > 1; }

}  // namespace

FrontTileGeometry FrontTileGeometry::of(AppSize level)
{
    FrontTileGeometry g;
    g.tile = static_cast<int>(level.height / 3);
    g.badge = static_cast<int>(level.height / 24);
    g.stripHeight = g.tile * 20 / 100;
    g.fontSize = g.tile * 20 / 200;
    return g;
}

FrontWindowUser *FrontWindowUser::create(const PkXID &id, AppSize level)
{
    auto *tile = new FrontWindowUser();
    tile->peerId = id;
    const FrontTileGeometry g = FrontTileGeometry::of(level);

    const std::shared_ptr<PkSession> node = find_node(id);
    const std::string name = node ? node_text(*node) : std::string(pk_translate("No streamers"));

    tile->nameStrip = Gtk::manage(new Gtk::Box(Gtk::ORIENTATION_VERTICAL, 4));
    tile->overlay = Gtk::manage(new Gtk::Overlay());
    tile->nameLabel = Gtk::manage(new Gtk::Label(name, false));
    tile->avatarImage = Gtk::manage(new Gtk::Image());

    if (node) {
        if (Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::avatar(*node, g.tile, g.tile))
            tile->avatarImage->set(picture);
    } else {
        tile->setPlaceholderAvatar(g.tile);
    }

    PiCSSImage().backgroundColor(kAvatarBackground).apply(*tile->avatarImage);
    PiCSSBox().backgroundColorRgba(0, 0, 0, 0.5f).apply(*tile->nameStrip);
    PiCSSLabel label;
    label.color(0xFFFFFF).fontSize(static_cast<unsigned>(g.fontSize));
    PiCSSObjectShadow shadow;
    shadow.setColor(0x000000);
    label.properties.push_back(PiCSSProperty{PI_CSS_TEXT_SHADOW, shadow.value});
    label.apply(*tile->nameLabel);

    tile->nameLabel->set_halign(Gtk::ALIGN_CENTER);
    tile->nameLabel->set_valign(Gtk::ALIGN_CENTER);
    tile->nameLabel->set_margin_start(8);
    tile->nameLabel->set_margin_end(8);
    tile->nameLabel->set_ellipsize(Pango::ELLIPSIZE_END);

    tile->badgeImage = Gtk::manage(new Gtk::Image());
    tile->setBadgePicture(g.badge);

    tile->avatarImage->set_halign(Gtk::ALIGN_FILL);
    tile->avatarImage->set_valign(Gtk::ALIGN_FILL);
    tile->badgeImage->set_margin_end(g.badge);
    tile->badgeImage->set_margin_top(g.badge);
    tile->badgeImage->set_halign(Gtk::ALIGN_END);
    tile->badgeImage->set_valign(Gtk::ALIGN_START);

    tile->nameStrip->pack_start(*tile->nameLabel, false, false, 0);
    tile->overlay->add_overlay(*tile->avatarImage);
    tile->overlay->add_overlay(*tile->nameStrip);
    tile->overlay->add_overlay(*tile->badgeImage);
    tile->add(*tile->overlay);

    tile->overlay->set_halign(Gtk::ALIGN_FILL);
    tile->overlay->set_valign(Gtk::ALIGN_FILL);
    tile->nameStrip->set_halign(Gtk::ALIGN_FILL);
    tile->nameStrip->set_valign(Gtk::ALIGN_END);
    tile->nameLabel->set_vexpand(true);

    tile->show_all();
    tile->badgeImage->set_size_request(g.badge, g.badge);
    tile->nameStrip->set_size_request(g.tile, g.stripHeight);
    tile->overlay->set_size_request(g.tile, g.tile);
    tile->badgeImage->hide();
    if (node && offers_channels(*node)) tile->badgeImage->show();
    return tile;
}

void FrontWindowUser::relayout(AppSize level)
{
    const FrontTileGeometry g = FrontTileGeometry::of(level);
    overlay->set_size_request(g.tile, g.tile);
    const std::shared_ptr<PkSession> node = find_node(peerId);
    if (node) {
        if (Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::avatar(*node, g.tile, g.tile)) avatarImage->set(picture);
    } else {
        setPlaceholderAvatar(g.tile);
    }
    nameStrip->set_size_request(g.tile, g.stripHeight);
    badgeImage->set_size_request(g.badge, g.badge);
    badgeImage->set_margin_end(g.badge);
    badgeImage->set_margin_top(g.badge);
    setBadgePicture(g.badge);
    // On top of the label's earlier rules, which stay in force.
    PiCSSLabel().fontSize(static_cast<unsigned>(g.fontSize)).apply(*nameLabel);
}

bool FrontWindowUser::refreshPeer(AppSize level)
{
    const std::shared_ptr<PkSession> node = find_node(peerId);
    if (!node) return false;
    const FrontTileGeometry g = FrontTileGeometry::of(level);
    if (Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::avatar(*node, g.tile, g.tile)) avatarImage->set(picture);
    nameLabel->set_text(node_text(*node));
    return true;
}

void FrontWindowUser::setPlaceholderAvatar(int edge)
{
    PiPixbuf::setImage(*avatarImage, png_bytes(FRONT_TILE_EMPTY_PNG), PI_PIXBUF_KIND_ENCODED, edge, edge);
}

void FrontWindowUser::setBadgePicture(int edge)
{
    PiPixbuf::setImage(*badgeImage, png_bytes(FRONT_TILE_BADGE_PNG), PI_PIXBUF_KIND_ENCODED, edge, edge);
}
