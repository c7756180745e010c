#include "windows/viewer/statistic_window.h"

#include <glib.h>

#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

#include "app/message_box.h"
#include "app/texts.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/remote_nodes.h"
#include "toolkit/main_loop.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "windows/info/message_dialog.h"
#include "windows/viewer/incoming_windows.h"

namespace {

// The largest broadcast the node configuration knows; a larger count is
// not a configuration but damage, and would flood the chooser.
constexpr uint32_t kMaxBroadcastChannels = 32;

PkXID broadcast_channel_key(uint32_t index)
{
    char text[PK_XID_SIZE + 1] = {};
    snprintf(text, sizeof(text), "p2m.bnd.%08X.chnl", index);
    return PkXID::fromText(text);
}

bool set_program_picture(Gtk::Image &image, uint32_t pngId, int side)
{
    const std::vector<uint8_t> png = PiWindowIcon::png(pngId);
    if (png.empty()) return false;
    const std::vector<char> bytes(png.begin(), png.end());
    return PiPixbuf::setImage(image, bytes, PI_PIXBUF_KIND_ENCODED, side, side) == 0;
}

// Posts the handler to the main loop holding the window weakly: a handler
// that runs after the window is gone does nothing, and the window's last
// reference is never dropped on the event pump's thread.
template <class Handler>
void post_to_window(std::weak_ptr<StatisticWindow> window, Handler handler)
{
    pi_post_main(std::move(window), std::move(handler), G_PRIORITY_DEFAULT_IDLE);
}

// The work of the four listener operations, shared by the window and by the
// relay the centre holds while the window is shown.
void relay_node_offline(std::weak_ptr<StatisticWindow> window, PkSession *node)
{
    if (node == nullptr) return;
    auto nodeId = std::make_shared<PkXID>(node->nodeId);
    post_to_window(std::move(window), [nodeId](StatisticWindow &w) { w.resetForNode(*nodeId); });
}

void relay_node_field_changed(std::weak_ptr<StatisticWindow> window, const PkXID &peerId, PkSession *node)
{
    if (node == nullptr || node->nodeId != peerId) return;
    post_to_window(std::move(window), [](StatisticWindow &w) { w.refreshAvatar(); });
}

void relay_channel_info(std::weak_ptr<StatisticWindow> window, const PkMediaChannelInfo &info)
{
    auto copy = std::make_shared<PkMediaChannelInfo>(info);
    post_to_window(std::move(window), [copy](StatisticWindow &w) { w.showChannelInfo(*copy); });
}

void relay_bind_closed(std::weak_ptr<StatisticWindow> window, const PkMediaBindDescriptor &bind)
{
    auto copy = std::make_shared<PkMediaBindDescriptor>(bind);
    post_to_window(std::move(window), [copy](StatisticWindow &w) { w.closeForBind(*copy); });
}

// What the centre holds while the window is shown. The centre calls its
// observers on a copy of its list, so an observer may outlive its removal
// by one call on the pump's thread; the relay keeps the window out of that.
class StatisticRelay : public IPkCenterNotify {
public:
    StatisticRelay(std::weak_ptr<StatisticWindow> owner, const PkXID &peer) : window(std::move(owner)), peerId(peer) {}

    void onNodeOffline(PkSession *node) override { relay_node_offline(window, node); }
    void onNodeFieldChanged(PkSession *node, const PkXID &, const PkBuffer &) override
    {
        relay_node_field_changed(window, peerId, node);
    }
    void onChannelInfo(const PkMediaChannelInfo &info) override { relay_channel_info(window, info); }
    void onBindClosed(PkSession *, const PkMediaBindDescriptor &bind) override { relay_bind_closed(window, bind); }

private:
    std::weak_ptr<StatisticWindow> window;
    PkXID peerId;
};

}  // namespace

std::string pk_statistic_resolution_text(const PkVideoMode &mode)
{
    uint32_t width = mode.width;
    uint32_t height = mode.height;
    if (width < height) std::swap(width, height);
    uint32_t rate = mode.rateNumerator;
    if (mode.rateDenominator != 0)
        rate = static_cast<uint32_t>(static_cast<double>(mode.rateNumerator) / mode.rateDenominator);
    char text[32] = {};
    snprintf(text, sizeof(text), "%ux%u@%u Hz", width, height, rate);
    return text;
}

Glib::ustring pk_statistic_encryption_text(uint32_t flags)
{
    if (flags & 2u) return "AES-256";
    if (flags & 1u) return "AES-128";
    return pk_translate("N/A");
}

std::string pk_statistic_connected_text(uint64_t seconds)
{
    // The time of day of the count: what a calendar breakdown gives, without
    // its failure on counts beyond the calendar's range.
    char text[16] = {};
    snprintf(text, sizeof(text), "%02u:%02u:%02u", static_cast<unsigned>((seconds / 3600) % 24),
             static_cast<unsigned>((seconds / 60) % 60), static_cast<unsigned>(seconds % 60));
    return text;
}

StatisticWindow::StatisticWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    builder->get_widget("main_grid", main_grid);
    builder->get_widget("channel_combobox", channel_combobox);
    builder->get_widget("info1_separator", info1_separator);
    builder->get_widget("info2_separator", info2_separator);
    builder->get_widget("icon_image", icon_image);
    builder->get_widget("resolution_field_label", resolution_field_label);
    builder->get_widget("encryption_field_label", encryption_field_label);
    builder->get_widget("bitrate_field_label", bitrate_field_label);
    builder->get_widget("connected_field_label", connected_field_label);
    builder->get_widget("source_field_label", source_field_label);
    builder->get_widget("resolution_value_label", resolution_value_label);
    builder->get_widget("encryption_value_label", encryption_value_label);
    builder->get_widget("bitrate_value_label", bitrate_value_label);
    builder->get_widget("connected_value_label", connected_value_label);
    builder->get_widget("source_value_label", source_value_label);
    builder->get_widget("disconnect_button", disconnect_button);

    if (disconnect_button != nullptr) {
        disconnect_button->set_label(pk_translate("Disconnect"));
        disconnect_button->signal_clicked().connect(sigc::mem_fun(*this, &StatisticWindow::onDisconnectClicked));
    }
    if (icon_image != nullptr) set_program_picture(*icon_image, PK_PNG_STATISTIC_ICON, PK_STATISTIC_ICON_SIZE);
    if (channel_combobox != nullptr)
        channel_combobox->signal_changed().connect(sigc::mem_fun(*this, &StatisticWindow::onChannelChanged));
    signal_show().connect(sigc::mem_fun(*this, &StatisticWindow::onShow));
    signal_hide().connect(sigc::mem_fun(*this, &StatisticWindow::onHide));
}

StatisticWindow::~StatisticWindow() = default;

int StatisticWindow::run()
{
    memcpy(id, bindId.key, sizeof(id));
    show_all();

    if (kind == PK_STATISTIC_PLAYBACK) {
        showPeerAvatar();
        if (disconnect_button != nullptr) disconnect_button->hide();
        if (info2_separator != nullptr) info2_separator->hide();
    }

    if (channel_combobox != nullptr) {
        if (!bindId.isNull()) {
            channel_combobox->hide();
        } else {
            channel_combobox->show();
            channel_combobox->remove_all();
            std::shared_ptr<PkConfig> config = PkConfig::instance();
            uint32_t count = config->broadcastConfigured() ? config->broadcastChannels : 0;
            if (count > kMaxBroadcastChannels) count = kMaxBroadcastChannels;
            for (uint32_t i = 0; i < count; i++) channel_combobox->append(channelDisplayName(broadcast_channel_key(i)));
            if (count > 0) channel_combobox->set_active(0);
        }
    }

    setCaptions();
    return 0;
}

PkXID StatisticWindow::channelKey() const
{
    if (!bindId.isNull()) return bindId;
    const int row = channel_combobox != nullptr ? channel_combobox->get_active_row_number() : -1;
    return broadcast_channel_key(static_cast<uint32_t>(row));
}

void StatisticWindow::setCaptions()
{
    set_title(title);
    const Glib::ustring na = pk_translate("N/A");
    if (resolution_field_label != nullptr)
        resolution_field_label->set_text(kind == PK_STATISTIC_PLAYBACK ? pk_translate("Resolution")
                                                                       : pk_translate("Display resolution"));
    if (encryption_field_label != nullptr) encryption_field_label->set_text(pk_translate("Encryption"));
    if (bitrate_field_label != nullptr) bitrate_field_label->set_text(pk_translate("Bitrate"));
    if (connected_field_label != nullptr) connected_field_label->set_text(pk_translate("Connected time"));
    if (source_field_label != nullptr) source_field_label->set_text(pk_translate("Source"));
    for (Gtk::Label *value : {resolution_value_label, encryption_value_label, bitrate_value_label,
                              connected_value_label, source_value_label}) {
        if (value != nullptr) value->set_text(na);
    }
    if (disconnect_button != nullptr) disconnect_button->set_sensitive(false);
}

void StatisticWindow::restyle(int theme)
{
    uint32_t colour = 0x000000;
    if (theme == 0) colour = 0xDEDEDE;
    if (theme == 1) colour = 0x404040;
    PiCSSSeparator rule;
    rule.backgroundColor(colour);
    const std::string css = rule.toCss();
    if (info1_separator != nullptr) PiCSSItem::applyCss(*info1_separator, css, "");
    if (info2_separator != nullptr) PiCSSItem::applyCss(*info2_separator, css, "");
}

void StatisticWindow::onThemeChanged(int theme) { restyle(theme); }

void StatisticWindow::showChannelInfo(const PkMediaChannelInfo &info)
{
    const uint64_t seconds = info.elapsedMs / 1000;
    if (info.bind.channel != channelKey() || info.bind.kind != kind) return;

    PkVideoMode mode{};
    uint64_t count = 0;
    uint32_t flags = 0;
    if (kind == PK_STATISTIC_INCOMING) {
        mode = info.receivedVideo.mode1;
        count = info.sentAudio.bytes + info.sentVideo.bytes;
        flags = info.sentVideo.securityFlags;
    } else {
        mode = info.receivedVideo.mode2;
        count = info.receivedAudio.bytes + info.receivedVideo.bytes;
        flags = info.receivedVideo.securityFlags;
    }

    if (std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(info.bind.peer))
        set_title(pk_session_display_name(*node) + node->nameSuffix);

    if (disconnect_button != nullptr && !disconnect_button->get_sensitive()) disconnect_button->set_sensitive(true);

    if (resolution_value_label != nullptr) resolution_value_label->set_text(pk_statistic_resolution_text(mode));
    if (encryption_value_label != nullptr) encryption_value_label->set_text(pk_statistic_encryption_text(flags));
    if (connected_value_label != nullptr) connected_value_label->set_text(pk_statistic_connected_text(seconds));
    if (bitrate_value_label != nullptr) bitrate_value_label->set_text(bitrateText(count));
    if (source_value_label != nullptr) source_value_label->set_text(channelDisplayName(info.bind.channel));
}

void StatisticWindow::resetForNode(const PkXID &nodeId)
{
    std::shared_ptr<PkBinder> binder = PkBinder::instance();
    if (!binder->isActive(PkXID())) return;
    if (binder->findBoundChannel(nodeId) == channelKey()) setCaptions();
}

void StatisticWindow::closeForBind(const PkMediaBindDescriptor &bind)
{
    if (bind.channel != channelKey()) return;
    setCaptions();
    hideUnlessBroadcast();
}

void StatisticWindow::refreshAvatar() { showPeerAvatar(); }

void StatisticWindow::onChannelChanged() { setCaptions(); }

void StatisticWindow::onDisconnectClicked()
{
    // Held across the nested loop of the question: the window may be hidden
    // and unlisted meanwhile.
    std::shared_ptr<StatisticWindow> self = shared_from_this();
    static const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};
    std::shared_ptr<MessageDialog> answer =
        showMessageDialog<MessageDialog>(get_application(), self, PK_MESSAGE_QUESTION, pk_translate("Disconnect"),
                                         pk_translate("Do you want to finish current session?"),
                                         pk_translate("Yes"), pk_translate("No"), kZeroId);
    if (!answer || answer->declined != 0) return;

    pk_binder_unbind(channelKey(), false);
    setCaptions();
    IncomingWindowsManager::instance()->refreshFirst(get_application());
    hideUnlessBroadcast();
}

void StatisticWindow::hideUnlessBroadcast()
{
    if (PkBinder::instance()->mode == PK_BINDER_MODE_BROADCAST) return;
    if (pi_window_id_is_zero(id)) return;
    uint8_t ownId[PI_WINDOW_ID_SIZE];
    memcpy(ownId, id, sizeof(ownId));
    PiApplication::hideWindow<StatisticWindow>(get_application(), ownId);
}

void StatisticWindow::onShow()
{
    relay = std::make_shared<StatisticRelay>(weak_from_this(), peerId);
    PkCenterNotify::instance()->addObserver(relay);
    std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    if (std::shared_ptr<StatisticWindow> self = weak_from_this().lock()) theme->addListener(self);
}

void StatisticWindow::onHide()
{
    if (std::shared_ptr<StatisticWindow> self = weak_from_this().lock()) PiTheme::instance()->removeListener(self);
    if (relay) {
        PkCenterNotify::instance()->removeObserver(relay);
        relay.reset();
    }
    close();
}

void StatisticWindow::onNodeOffline(PkSession *node) { relay_node_offline(weak_from_this(), node); }

void StatisticWindow::onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value)
{
    (void)field, (void)value;
    relay_node_field_changed(weak_from_this(), peerId, node);
}

void StatisticWindow::onChannelInfo(const PkMediaChannelInfo &info) { relay_channel_info(weak_from_this(), info); }

void StatisticWindow::onBindClosed(PkSession *node, const PkMediaBindDescriptor &bind)
{
    (void)node;
    relay_bind_closed(weak_from_this(), bind);
}

bool StatisticWindow::showPeerAvatar()
{
    if (icon_image == nullptr) return false;
    std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(peerId);
    if (!node) return false;
    Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::avatar(*node, PK_STATISTIC_ICON_SIZE, PK_STATISTIC_ICON_SIZE);
    if (!picture) return false;
    icon_image->set(picture);
    return true;
}
