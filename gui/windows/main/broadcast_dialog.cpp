#include "windows/main/broadcast_dialog.h"

#include <string>
#include <vector>

#include "app/resources.h"
#include "app/texts.h"
#include "services/config.h"
#include "services/facade.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"

// Lines of the prompt, in characters.
#define P2M_PROMPT_WIDTH_CHARS 40

uint32_t p2m_channel_count(int row)
{
    if (row < 0 || row >= P2M_DIALOG_ROWS) return 0;
    return 2u << (row + 1);
}

unsigned p2m_separator_colour(int theme)
{
    if (theme == 0) return P2M_SEPARATOR_LIGHT;
    if (theme == 1) return P2M_SEPARATOR_DARK;
    return 0x000000u;
}

P2MDialog::P2MDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder) : VeltranaDialog(cobject)
{
    builder->get_widget("channels_combobox", channelsCombobox);
    builder->get_widget("p2m_image", p2mImage);
    builder->get_widget("main_separator", mainSeparator);
    builder->get_widget("p2m_channels_label", p2mChannelsLabel);
    builder->get_widget("start_button", startButton);

    if (channelsCombobox != nullptr) {
        for (int row = 0; row < P2M_DIALOG_ROWS; row++) {
            // Each piece is translated alone; the number and the blanks are
            // joined afterwards.
            const std::string text = std::string(pk_translate("Live broadcast")) + " / " +
                                     std::to_string(p2m_channel_count(row)) + " " +
                                     std::string(pk_translate("channel(s)"));
            channelsCombobox->append(text);
        }
    }
    if (p2mChannelsLabel != nullptr) {
        p2mChannelsLabel->set_text(pk_translate("Please choose desirable channels count for streaming"));
        p2mChannelsLabel->set_line_wrap(true);
        p2mChannelsLabel->set_max_width_chars(P2M_PROMPT_WIDTH_CHARS);
    }
    if (startButton != nullptr) startButton->set_label(pk_translate("Start broadcast"));
    if (p2mImage != nullptr) {
        const std::vector<uint8_t> png = loadPngResource(P2M_DIALOG_PNG);
        PiPixbuf::setImage(*p2mImage, std::vector<char>(png.begin(), png.end()), PI_PIXBUF_KIND_ENCODED,
                           P2M_DIALOG_PICTURE_SIZE, P2M_DIALOG_PICTURE_SIZE);
    }
    if (channelsCombobox != nullptr) channelsCombobox->set_active(0);
}

int P2MDialog::run()
{
    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    const std::shared_ptr<IPiTheme> self(shared_from_this(), static_cast<IPiTheme *>(this));
    theme->addListener(self);
    set_title(pk_translate("Multichannel streamer"));

    const int response = VeltranaDialog::run();
    if (response == Gtk::RESPONSE_OK) {
        // No active row records nothing: a count of 0 would read as "no
        // broadcast" while the engine restarts for one.
        const uint32_t count = p2m_channel_count(channelsCombobox ? channelsCombobox->get_active_row_number() : -1);
        if (count != 0) {
            const std::shared_ptr<PkConfig> config = PkConfig::instance();
            config->broadcastChannels = count;
            config->broadcastSizeClass = P2M_BROADCAST_SIZE_CLASS;
            const std::shared_ptr<PkDeam> facade = PkDeam::instance();
            facade->setState(PK_DEAM_STATE_STOPPED);
            facade->setState(PK_DEAM_STATE_STARTED);
        }
    }
    theme->removeListener(self);
    return response;
}

void P2MDialog::restyle(int theme)
{
    if (mainSeparator == nullptr) return;
    PiCSSSeparator rule;
    rule.backgroundColor(p2m_separator_colour(theme));
    rule.apply(*mainSeparator);
}

void P2MDialog::onThemeChanged(int theme)
{
    restyle(theme);
}
