#include "windows/main/channel_dialog.h"

#include <vector>

#include "app/resources.h"
#include "app/texts.h"
#include "core/names.h"
#include "services/centre.h"
#include "services/remote_nodes.h"
#include "toolkit/pixbuf.h"

PkXID channels_broadcast_channel(uint32_t index)
{
    CoreName name;
    core_name_format(&name, "p2m.bnd.%08X.chnl", index);
    return PkXID(name);
}

ChannelsDialog::ChannelsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaDialog(cobject)
{
    builder->get_widget("channels_combobox", channelsCombobox);
    builder->get_widget("channels_image", channelsImage);
    builder->get_widget("connect_button", connectButton);

    if (connectButton != nullptr) connectButton->set_label(pk_translate("Connect"));
    if (channelsImage != nullptr) {
        const std::vector<uint8_t> png = loadPngResource(CHANNELS_DIALOG_PNG);
        PiPixbuf::setImage(*channelsImage, std::vector<char>(png.begin(), png.end()), PI_PIXBUF_KIND_ENCODED,
                           CHANNELS_DIALOG_PICTURE_SIZE, CHANNELS_DIALOG_PICTURE_SIZE);
    }
    set_title(pk_translate("Channels list"));
}

int ChannelsDialog::run()
{
    selectedChannel = PkXID();
    const std::shared_ptr<PkSession> node = PkCenterNotify::instance()->findSession(peerId);
    if (!node) return -1;

    // Row i stands for channel index i: the list is built from the count of
    // the node's records alone.
    const size_t count = pk_session_channels(*node).size();
    if (channelsCombobox != nullptr) {
        channelsCombobox->remove_all();
        for (size_t i = 0; i < count; i++)
            channelsCombobox->append(channelDisplayName(channels_broadcast_channel(static_cast<uint32_t>(i))));
        if (count != 0) channelsCombobox->set_active(0);
    }

    const int response = VeltranaDialog::run();
    if (response != Gtk::RESPONSE_OK || channelsCombobox == nullptr) return response;
    // An empty list has no active row: "Connect" then chooses nothing
    // rather than a channel the streamer never announced.
    const int row = channelsCombobox->get_active_row_number();
    if (row >= 0 && static_cast<size_t>(row) < count)
        selectedChannel = channels_broadcast_channel(static_cast<uint32_t>(row));
    return response;
}
