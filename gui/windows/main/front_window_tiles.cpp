// The main window's peer tiles: following the node list, and starting a
// viewing connection when a tile is chosen.
#include <gdk/gdkkeysyms.h>

#include "app/message_box.h"
#include "app/texts.h"
#include "core/names.h"
#include "services/bind_channels.h"
#include "toolkit/pixbuf.h"
#include "windows/main/front_window.h"
#include "windows/main/front_window_links.h"

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

PkXID point_to_point_channel()
{
    CoreName name;
    core_name_format(&name, "p2p.bnd.%08X.chnl", 0u);
    return PkXID(name);
}

// The tile a list cell of "users_box" wraps; null for anything else.
FrontWindowUser *tile_of(Gtk::Widget *child)
{
    auto *cell = dynamic_cast<Gtk::FlowBoxChild *>(child);
    return cell != nullptr ? dynamic_cast<FrontWindowUser *>(cell->get_child()) : nullptr;
}

size_t channel_count(const PkSession &node) { return pk_session_channels(node).size(); }

// The tile is ours (made with new, unmanaged); the cell is the one the list
// wrapped around it, destroyed through the toolkit so that its wrapper goes
// with it.
void deleteTileCell(Gtk::FlowBoxChild *cell, FrontWindowUser *tile)
{
    delete tile;
    gtk_widget_destroy(GTK_WIDGET(cell->gobj()));
}

}  // namespace

// ---- worker side: copy and post ----

void FrontWindow::onNodeOnline(PkSession *node)
{
    if (node == nullptr) return;
    auto id = std::make_shared<PkXID>(node->nodeId);
    post([id](FrontWindow &window) { window.addUserTile(id); });
}

void FrontWindow::onNodeOffline(PkSession *node)
{
    if (node == nullptr) return;
    auto id = std::make_shared<PkXID>(node->nodeId);
    post([id](FrontWindow &window) { window.removeUserTile(id); });
}

void FrontWindow::onChannelBound(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    if (node == nullptr) return;
    auto id = std::make_shared<PkXID>(node->nodeId);
    post([id](FrontWindow &window) { window.updateTileChannels(id); });
}

void FrontWindow::onChannelsCleared(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)bind;
    if (node == nullptr) return;
    auto id = std::make_shared<PkXID>(node->nodeId);
    post([id](FrontWindow &window) { window.clearTileChannels(id); });
}

void FrontWindow::onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value)
{
    static const PkXID userIdField = PkXID::fromText("node.userid.field");
    static const PkXID avatarField = PkXID::fromText("node.avatar.field");
    if (node == nullptr || (field != userIdField && field != avatarField)) return;
    auto id = std::make_shared<PkXID>(node->nodeId);
    auto key = std::make_shared<PkXID>(field);
    auto copy = std::make_shared<PkBuffer>(value);
    post([id, key, copy](FrontWindow &window) { window.updateUserTile(id, key, copy); });
}

// ---- main loop: the tile list ----

bool FrontWindow::addUserTile(std::shared_ptr<PkXID> nodeId)
{
    std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(*nodeId);
    uint32_t direction = 0;
    if (node) {
        std::lock_guard<std::mutex> lock(node->mutex);
        direction = node->direction;
    }
    // Only a peer that accepts connections can be viewed.
    if (!node || direction > 1) insertUserTile(*nodeId);
    return false;
}

bool FrontWindow::removeUserTile(std::shared_ptr<PkXID> nodeId)
{
    std::shared_ptr<PkBinder> binder = PkBinder::instance();
    const PkXID bound = binder->findBoundChannel(*nodeId);
    removeUserTileWidget(*nodeId);
    if (usersBox != nullptr && usersBox->get_children().empty()) addUserTileWidget(PkXID());
    if (!bound.isNull()) {
        pk_binder_unbind(PkXID(), false);
        if (binder->mode != PK_BINDER_MODE_BROADCAST) allowDisplaySleep();
    }
    return false;
}

bool FrontWindow::updateUserTile(std::shared_ptr<PkXID> nodeId, std::shared_ptr<PkXID> key,
                                 std::shared_ptr<PkBuffer> value)
{
    (void)key, (void)value;
    if (FrontWindowUser *tile = findUserTile(*nodeId)) tile->refreshPeer(scaler.currentLevel);
    return false;
}

bool FrontWindow::updateTileChannels(std::shared_ptr<PkXID> nodeId)
{
    FrontWindowUser *tile = findUserTile(*nodeId);
    std::shared_ptr<PkSession> node = tile ? PkCenterNotify::instance()->findSession(*nodeId) : nullptr;
    if (tile && node && channel_count(*node) > 1) tile->badgeImage->show();
    return false;
}

bool FrontWindow::clearTileChannels(std::shared_ptr<PkXID> nodeId)
{
    FrontWindowUser *tile = findUserTile(*nodeId);
    std::shared_ptr<PkSession> node = tile ? PkCenterNotify::instance()->findSession(*nodeId) : nullptr;
    if (tile && node && channel_count(*node) < 2) tile->badgeImage->hide();
    return false;
}

FrontWindowUser *FrontWindow::insertUserTile(const PkXID &id)
{
    if (usersBox != nullptr) {
        const std::vector<Gtk::Widget *> children = usersBox->get_children();
        FrontWindowUser *only = children.size() == 1 ? tile_of(children[0]) : nullptr;
        if (only != nullptr && only->peerId.isNull()) removeUserTileWidget(PkXID());
    }
    return addUserTileWidget(id);
}

FrontWindowUser *FrontWindow::addUserTileWidget(const PkXID &id)
{
    if (usersBox == nullptr) return nullptr;
    FrontWindowUser *tile = FrontWindowUser::create(id, scaler.currentLevel);
    tile->add_events(Gdk::BUTTON_PRESS_MASK | Gdk::BUTTON_RELEASE_MASK);
    tile->signal_button_release_event().connect(
        sigc::bind(sigc::mem_fun(*this, &FrontWindow::onTileReleased), tile), true);
    usersBox->insert(*tile, -1);
    return tile;
}

void FrontWindow::removeUserTileWidget(const PkXID &id)
{
    if (usersBox == nullptr) return;
    for (Gtk::Widget *child : usersBox->get_children()) {
        FrontWindowUser *tile = tile_of(child);
        if (tile == nullptr || tile->peerId != id) continue;
        deleteTileCell(static_cast<Gtk::FlowBoxChild *>(child), tile);
        return;
    }
}

void FrontWindow::clearUserTiles()
{
    if (usersBox == nullptr) return;
    while (Gtk::FlowBoxChild *cell = usersBox->get_child_at_index(0))
        deleteTileCell(cell, dynamic_cast<FrontWindowUser *>(cell->get_child()));
}

FrontWindowUser *FrontWindow::findUserTile(const PkXID &id)
{
    if (usersBox == nullptr) return nullptr;
    for (Gtk::Widget *child : usersBox->get_children()) {
        FrontWindowUser *tile = tile_of(child);
        if (tile != nullptr && tile->peerId == id) return tile;
    }
    return nullptr;
}

// ---- activation ----

bool FrontWindow::onUsersKeyPress(GdkEventKey *event)
{
    if (event == nullptr || usersBox == nullptr) return false;
    if (event->keyval != GDK_KEY_space && event->keyval != GDK_KEY_Return) return false;
    if (FrontWindowUser *tile = tile_of(usersBox->get_focus_child())) connectToUser(tile->peerId);
    return false;
}

bool FrontWindow::onTileReleased(GdkEventButton *event, FrontWindowUser *tile)
{
    (void)event;
    if (tile != nullptr) connectToUser(tile->peerId);
    return false;
}

void FrontWindow::connectToUser(const PkXID &peerId)
{
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(peerId);
    PkXID channel = point_to_point_channel();

    if (peerId.isNull()) {
        onInstructionClicked();
        return;
    }
    std::shared_ptr<PkBinder> binder = PkBinder::instance();
    if (binder->mode == PK_BINDER_MODE_BROADCAST || binder->isActive(PkXID())) {
        const Glib::ustring text =
            binder->mode == PK_BINDER_MODE_BROADCAST
                ? pk_translate("You can not establish outgoing connection in multichannel mode") + "."
                : pk_translate("You already have connection") + ". " +
                      pk_translate("Please finish active connection and try again") + ".";
        showMessage<MessageDialog>(application, PiApplication::resolveDialogParent(application, kZeroId, selfWindow()),
                                   pk_translate("Information"), text);
        return;
    }
    if (!node) return;
    if (PiApplication::raiseWindow<VideoWindow>(application, kZeroId)) return;
    if (channel_count(*node) > 1) {
        std::shared_ptr<ChannelsDialog> dialog = openChannelsDialog(application, selfWindow(), peerId);
        if (!dialog) return;
        channel = dialog->selectedChannel;
    }
    if (channel.isNull()) return;
    std::shared_ptr<VideoWindow> window = PiApplication::createWindow<VideoWindow>(application, nullptr);
    if (!window) return;
    window->channelId = channel;
    window->peerId = peerId;
    PiApplication::showWindow<VideoWindow>(application, window);
}

std::shared_ptr<ChannelsDialog> FrontWindow::openChannelsDialog(Glib::RefPtr<Gtk::Application> application,
                                                                std::shared_ptr<Gtk::Window> parent,
                                                                const PkXID &peerId)
{
    std::shared_ptr<ChannelsDialog> dialog = PiApplication::createWindow<ChannelsDialog>(application, parent, kZeroId);
    if (!dialog) return dialog;
    dialog->peerId = peerId;
    PiApplication::runDialog<ChannelsDialog>(application, dialog);
    return dialog;
}
