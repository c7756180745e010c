#include "windows/main/broadcast_overview.h"

#include <glibmm/main.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "app/resources.h"
#include "app/texts.h"
#include "core/names.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/utils.h"
#include "toolkit/main_loop.h"
#include "toolkit/application.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "windows/dialogs/evaluate_dialog.h"
#include "windows/info/message_dialog.h"
#include "windows/main/broadcast_dialog.h"
#include "windows/viewer/incoming_windows.h"

std::string total_encryption_text(uint32_t securityFlags)
{
    const bool aes128 = (securityFlags & TOTAL_SECURITY_AES128) != 0;
    const bool aes256 = (securityFlags & TOTAL_SECURITY_AES256) != 0;
    if (aes128 && aes256) return "AES-128 / AES-256";
    if (aes128) return "AES-128";
    if (aes256) return "AES-256";
    return pk_translate("N/A");
}

std::string total_time_text(uint64_t elapsedMs)
{
    const time_t seconds = static_cast<time_t>((elapsedMs / 1000) % 86400);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[16];
    if (strftime(text, sizeof(text), "%H:%M:%S", &parts) == 0) return std::string();
    return text;
}

TotalWindow::TotalWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    builder->get_widget("resolution_field_label", resolutionFieldLabel);
    builder->get_widget("encryption_field_label", encryptionFieldLabel);
    builder->get_widget("bitrate_field_label", bitrateFieldLabel);
    builder->get_widget("time_field_label", timeFieldLabel);
    builder->get_widget("connected_field_label", connectedFieldLabel);
    builder->get_widget("resolution_value_label", resolutionValueLabel);
    builder->get_widget("encryption_value_label", encryptionValueLabel);
    builder->get_widget("bitrate_value_label", bitrateValueLabel);
    builder->get_widget("time_value_label", timeValueLabel);
    builder->get_widget("connected_value_label", connectedValueLabel);
    builder->get_widget("flow_image", flowImage);
    builder->get_widget("channel_combobox", channelCombobox);
    builder->get_widget("info_button", infoButton);
    builder->get_widget("disconnect_button", disconnectButton);
    builder->get_widget("disconnectall_button", disconnectallButton);
    builder->get_widget("stop_button", stopButton);
    builder->get_widget("main_separator", mainSeparator);
    set_title(pk_translate("Multichannel streamer"));

    const struct {
        Gtk::Label *label;
        const char *text;
    } captions[] = {{resolutionFieldLabel, "Encoder resolution"}, {encryptionFieldLabel, "Encryption support"},
                    {bitrateFieldLabel, "Total bitrate"},         {timeFieldLabel, "Broadcast time"},
                    {connectedFieldLabel, "Connected nodes"}};
    for (const auto &caption : captions)
        if (caption.label != nullptr) caption.label->set_text(pk_translate(caption.text));
    for (Gtk::Label *value : {resolutionValueLabel, encryptionValueLabel, bitrateValueLabel, timeValueLabel,
                              connectedValueLabel})
        if (value != nullptr) value->set_text(pk_translate("N/A"));

    const struct {
        Gtk::Button *button;
        const char *text;
        void (TotalWindow::*handler)();
    } buttons[] = {{infoButton, "Information", &TotalWindow::onInfoClicked},
                   {disconnectButton, "Disconnect", &TotalWindow::onDisconnectClicked},
                   {disconnectallButton, "Disconnect all", &TotalWindow::onDisconnectAllClicked},
                   {stopButton, "Stop broadcast", &TotalWindow::onStopClicked}};
    for (const auto &entry : buttons) {
        if (entry.button == nullptr) continue;
        entry.button->set_label(pk_translate(entry.text));
        entry.button->signal_clicked().connect(sigc::mem_fun(*this, entry.handler), true);
    }
    signal_show().connect(sigc::mem_fun(*this, &TotalWindow::onShow), true);
    signal_hide().connect(sigc::mem_fun(*this, &TotalWindow::onHide), true);

    if (channelCombobox != nullptr) {
        const uint32_t count = PkConfig::instance()->broadcastChannels;
        for (uint32_t i = 1; i <= count; i++)
            channelCombobox->append(std::string(pk_translate("Channel")) + " " + std::to_string(i));
        channelCombobox->set_active(0);
    }
    if (flowImage != nullptr) {
        const std::vector<uint8_t> png = loadPngResource(TOTAL_WINDOW_PNG);
        PiPixbuf::setImage(*flowImage, std::vector<char>(png.begin(), png.end()), PI_PIXBUF_KIND_ENCODED, -1,
                           TOTAL_WINDOW_PICTURE_HEIGHT);
    }
}

void TotalWindow::onTotalInfo(const PkMediaTotalInfo &info)
{
    // Worker thread: only the copy and the post. The weak reference drops
    // the step when the window is gone before it runs.
    auto copy = std::make_shared<PkMediaTotalInfo>(info);
    pi_post_main(weak_from_this(), [copy](TotalWindow &self) { self.showTotalInfo(copy); });
}

bool TotalWindow::showTotalInfo(std::shared_ptr<PkMediaTotalInfo> info)
{
    if (!info) return false;
    if (resolutionValueLabel != nullptr) resolutionValueLabel->set_text(pk_video_mode_to_text(info->videoMode, true));
    if (encryptionValueLabel != nullptr) encryptionValueLabel->set_text(total_encryption_text(info->securityFlags));
    if (bitrateValueLabel != nullptr)
        bitrateValueLabel->set_text(bitrateText(info->sentAudioBytes + info->sentVideoBytes));
    if (timeValueLabel != nullptr) timeValueLabel->set_text(total_time_text(info->elapsedMs));
    if (connectedValueLabel != nullptr) connectedValueLabel->set_text(std::to_string(info->channelCount));
    return false;
}

bool TotalWindow::selectedChannel(PkXID &channel) const
{
    if (channelCombobox == nullptr) return false;
    const int row = channelCombobox->get_active_row_number();
    if (row < 0) return false;
    CoreName name;
    core_name_format(&name, "p2m.bnd.%08X.chnl", static_cast<uint32_t>(row));
    channel = PkXID(name);
    return true;
}

bool TotalWindow::confirm(const char *question)
{
    const std::shared_ptr<Gtk::Window> parent(shared_from_this(), static_cast<Gtk::Window *>(this));
    const std::shared_ptr<MessageDialog> box = EvaluateDialog::askYesNo(
        get_application(), parent, pk_translate("Multichannel streamer"), pk_translate(question));
    return box && box->declined == 0;
}

void TotalWindow::onInfoClicked()
{
    PkXID channel;
    if (!selectedChannel(channel)) return;
    IncomingWindowsManager::instance()->showWindow(get_application(), channel);
}

void TotalWindow::onDisconnectClicked()
{
    // The row is read before the question: the answer is about the channel
    // the user saw selected when pressing the button.
    PkXID channel;
    if (!selectedChannel(channel)) return;
    if (!confirm("Do you want to disconnect client?")) return;
    pk_binder_unbind(channel, false);
    IncomingWindowsManager::instance()->refreshFirst(get_application());
}

void TotalWindow::onDisconnectAllClicked()
{
    if (!confirm("Do you want to disconnect all clients?")) return;
    pk_binder_unbind(PkXID(), false);
    IncomingWindowsManager::instance()->refreshAll(get_application());
}

void TotalWindow::onStopClicked()
{
    if (!confirm("Do you want to stop broadcast?")) return;
    pk_binder_unbind(PkXID(), false);
    pk_binder_stop_broadcast(false);
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    config->broadcastChannels = 0;
    config->broadcastSizeClass = -1;
    static const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(get_application());
    if (app) app->closeWindow<TotalWindow>(kZeroId);
}

void TotalWindow::onShow()
{
    PkCenterNotify::instance()->addObserver(
        std::shared_ptr<IPkCenterNotify>(shared_from_this(), static_cast<IPkCenterNotify *>(this)));
    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    theme->addListener(std::shared_ptr<IPiTheme>(shared_from_this(), static_cast<IPiTheme *>(this)));
}

void TotalWindow::onHide()
{
    IncomingWindowsManager::instance()->hideAll(get_application());
    // A window hidden by its own destruction has no owner left, and so no
    // registration either: the registrations hold it alive.
    const std::shared_ptr<TotalWindow> self = weak_from_this().lock();
    if (!self) return;
    PiTheme::instance()->removeListener(std::shared_ptr<IPiTheme>(self, static_cast<IPiTheme *>(this)));
    PkCenterNotify::instance()->removeObserver(
        std::shared_ptr<IPkCenterNotify>(self, static_cast<IPkCenterNotify *>(this)));
}

void TotalWindow::restyle(int theme)
{
    if (mainSeparator == nullptr) return;
    PiCSSSeparator rule;
    rule.backgroundColor(p2m_separator_colour(theme));
    rule.apply(*mainSeparator);
}

void TotalWindow::onThemeChanged(int theme)
{
    restyle(theme);
}
