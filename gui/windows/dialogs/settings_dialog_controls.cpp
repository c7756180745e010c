// The controls of the settings dialog that act while it is open: help
// bubbles, the audio switch, the display choice, Default, the user name
// editor, the avatar chooser and the hand cursor. Nothing here saves.
#include <gdkmm/cursor.h>
#include <glibmm/markup.h>
#include <gtkmm/filechooserdialog.h>
#include <gtkmm/filefilter.h>

#include <cstring>

#include "app/info.h"
#include "app/message_box.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "services/remote_nodes.h"
#include "toolkit/pixbuf.h"
#include "windows/dialogs/settings_dialog.h"
#include "windows/dialogs/text_input_dialog.h"
#include "windows/info/message_dialog.h"

std::shared_ptr<PiGtkPopover> SettingsDialog::showHelpPopover(Gtk::Widget &button, const Glib::ustring &markup)
{
    std::shared_ptr<PiGtkPopover> popover = PiGtkPopover::show(button, markup);
    if (!popover) return popover;
    // Weak both ways: the child list is the popover's only owner, and a
    // close after the dialog is gone finds nothing to remove.
    const std::weak_ptr<SettingsDialog> weakSelf = weak_from_this();
    const std::weak_ptr<PiGtkPopover> weakPopover = popover;
    popover->closedSlot = [weakSelf, weakPopover] {
        std::shared_ptr<SettingsDialog> self = weakSelf.lock();
        std::shared_ptr<PiGtkPopover> closed = weakPopover.lock();
        if (self && closed) self->removeChild(closed);
    };
    addChild(popover);
    return popover;
}

namespace {

Glib::ustring option_help(const char *firstName, const char *firstText, const char *secondName,
                          const char *secondText)
{
    return "<b>" + pk_translate(firstName) + "</b>" + " - " + pk_translate(firstText) + ".\n" + "<b>" +
           pk_translate(secondName) + "</b>" + " - " + pk_translate(secondText) + ".";
}

}  // namespace

void SettingsDialog::onCaptureHelpClicked()
{
    if (captureHelpButton != nullptr)
        showHelpPopover(*captureHelpButton, pk_translate("Enable or disable capture pointer during streaming"));
}

void SettingsDialog::onAudioHelpClicked()
{
    if (audioHelpButton != nullptr)
        showHelpPopover(*audioHelpButton, pk_translate("This audio device will be used as source for streaming"));
}

void SettingsDialog::onVideoHelpClicked()
{
    if (videoHelpButton != nullptr)
        showHelpPopover(*videoHelpButton, pk_translate("This display will be used as source for streaming"));
}

void SettingsDialog::onEncoderHelpClicked()
{
    if (encoderHelpButton != nullptr)
        showHelpPopover(*encoderHelpButton,
                        pk_translate("This is encoder video resolution with downscale feature, affected only on "
                                     "single channel streamer"));
}

void SettingsDialog::onBitrateHelpClicked()
{
    if (bitrateHelpButton != nullptr)
        showHelpPopover(*bitrateHelpButton, option_help("Adaptive bitrate", "Adaptive bitrate by network bandwidth",
                                                        "Constant bitrate", "Unchanged constant bitrate"));
}

void SettingsDialog::onPlaybackHelpClicked()
{
    if (playbackHelpButton != nullptr)
        showHelpPopover(*playbackHelpButton,
                        option_help("Smooth playback", "buffering with synchronization", "Minimum latency",
                                    "no buffering, without synchronization"));
}

void SettingsDialog::onDecoderHelpClicked()
{
    if (decoderHelpButton != nullptr)
        showHelpPopover(*decoderHelpButton,
                        pk_translate("This is preferred video decoder with the maximum supported resolution"));
}

void SettingsDialog::onWindowHelpClicked()
{
    if (windowHelpButton != nullptr)
        showHelpPopover(*windowHelpButton,
                        pk_translate("The video playback window is always on top of other windows"));
}

void SettingsDialog::onAudioDisableToggled()
{
    if (audioSources.empty() || audioSourceCombobox == nullptr || audioDisableCheckbutton == nullptr) return;
    audioSourceCombobox->set_sensitive(!audioDisableCheckbutton->get_active());
}

void SettingsDialog::onVideoSourceChanged()
{
    if (videoSourceCombobox == nullptr) return;
    const int row = videoSourceCombobox->get_active_row_number();
    if (row >= 0 && size_t(row) < videoSources.size()) fillResolutions(videoSources[row].id);
}

void SettingsDialog::onDefaultClicked()
{
    VeltranaAppInfo info;
    const std::string defaultName = pk_id_to_printable(PkXID::fromText(info.hostName()));

    avatarPicture.reset();
    avatarShown.reset();
    avatarChanges++;
    if (avatarImage != nullptr) avatarImage->clear();

    userName = defaultName;
    if (veltnameLabel != nullptr) veltnameLabel->set_text(userName);

    if (captureMouseCheckbutton != nullptr) captureMouseCheckbutton->set_active(true);
    if (audioDisableCheckbutton != nullptr) audioDisableCheckbutton->set_active(false);
    if (audioSourceCombobox != nullptr) audioSourceCombobox->set_active(0);
    if (videoSourceCombobox != nullptr) videoSourceCombobox->set_active(0);
    if (!videoSources.empty()) fillResolutions(videoSources.front().id);

    if (bitratePolicyCombobox != nullptr) bitratePolicyCombobox->set_active(PkXMLBitratePolicyObject::defaultIndex());
    if (playbackMethodCombobox != nullptr) playbackMethodCombobox->set_active(PkXMLPlaybackObject::defaultIndex());
    if (videoOntopCheckbox != nullptr) videoOntopCheckbox->set_active(false);
    if (videoDecoderCombobox != nullptr) videoDecoderCombobox->set_active(0);

    avatarShown = initialsAvatar(veltnameLabel != nullptr ? std::string(veltnameLabel->get_text()) : userName);
    if (avatarShown && avatarImage != nullptr) avatarImage->set(avatarShown);
}

Glib::RefPtr<Gdk::Pixbuf> SettingsDialog::initialsAvatar(const std::string &name)
{
    const PkSession profile(PkXID::fromText(std::string_view(name.c_str())));
    const uint32_t colour = PiPixbuf::profileColour(profile.profileHashByte()) | 0xFF000000u;
    return PiPixbuf::fromInitials(pk_session_initials(profile), colour, PK_AVATAR_SHOWN_SIDE, PK_AVATAR_SHOWN_SIDE);
}

bool SettingsDialog::onNameReleased(GdkEventButton *event)
{
    (void)event;
    const Glib::ustring current = veltnameLabel != nullptr ? veltnameLabel->get_text() : Glib::ustring();
    const Glib::ustring rule = pk_settings_name_rule();
    std::shared_ptr<SettingsDialog> self = weak_from_this().lock();
    if (!self) return false;
    std::shared_ptr<TextInputDialog> editor = PiApplication::createWindow<TextInputDialog>(get_application(), self);
    if (!editor) return false;
    VeltranaAppInfo info;
    editor->title = pk_translate("Please enter your") + " " + info.handleWord(true);
    editor->text = current;
    editor->details = rule;
    editor->okLabel = pk_translate("Ok");
    editor->cancelLabel = pk_translate("Cancel");
    editor->placeholder = info.handleWord(false);
    editor->imageId = PK_PNG_LOGO;
    editor->imageHeight = 80;
    editor->detailsWidthChars = 48;
    editor->entrySensitive = true;
    editor->detailsMarkup = false;
    editor->detailsItalic = true;
    editor->auxVisible = false;
    editor->focusOk = true;
    if (editor->okButton != nullptr) {
        const std::weak_ptr<Gtk::Dialog> weakEditor = std::shared_ptr<Gtk::Dialog>(editor, editor.get());
        editor->okButton->signal_clicked().connect(
            sigc::bind(sigc::mem_fun(*this, &SettingsDialog::validateName), weakEditor));
    }
    PiApplication::runDialog<TextInputDialog>(get_application(), editor);
    return false;
}

void SettingsDialog::validateName(std::weak_ptr<Gtk::Dialog> editorRef)
{
    std::shared_ptr<Gtk::Dialog> locked = editorRef.lock();
    auto *editor = dynamic_cast<TextInputDialog *>(locked.get());
    if (editor == nullptr || editor->textinputEntry == nullptr) return;
    const std::string text = editor->textinputEntry->get_text();
    if (!pk_is_valid_name(text)) {
        // The message box takes markup and the rule lists "<", ">" and "&"
        // among the allowed signs.
        showMessage(get_application(), std::shared_ptr<Gtk::Window>(locked, editor), pk_translate("Information"),
                    Glib::Markup::escape_text(pk_settings_name_rule()));
        return;
    }
    userName = text;
    if (veltnameLabel != nullptr) veltnameLabel->set_text(userName);
    avatarShown = initialsAvatar(userName);
    if (avatarShown && avatarImage != nullptr) avatarImage->set(avatarShown);
    editor->close();
}

bool SettingsDialog::takeAvatarFile(const std::string &path)
{
    Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::fromFile(path);
    if (!picture) return false;
    picture = PiPixbuf::squareCrop(picture);
    if (!picture) return false;
    if (picture->get_width() != PK_AVATAR_PICTURE_SIDE || picture->get_height() != PK_AVATAR_PICTURE_SIDE)
        picture = picture->scale_simple(PK_AVATAR_PICTURE_SIDE, PK_AVATAR_PICTURE_SIDE, Gdk::INTERP_BILINEAR);
    avatarPicture = picture;
    avatarShown = avatarPicture->scale_simple(PK_AVATAR_SHOWN_SIDE, PK_AVATAR_SHOWN_SIDE, Gdk::INTERP_BILINEAR);
    avatarChanges++;
    if (avatarImage != nullptr) avatarImage->set(avatarShown);
    return true;
}

bool SettingsDialog::onAvatarReleased(GdkEventButton *event)
{
    (void)event;
    Glib::RefPtr<Gtk::FileFilter> filter = Gtk::FileFilter::create();
    for (const char *pattern : {"*.png", "*.PNG", "*.jpg", "*.JPG", "*.jpeg", "*.JPEG", "*.bmp", "*.BMP"})
        filter->add_pattern(pattern);
    Gtk::FileChooserDialog chooser(*this, pk_translate("Please choose your avatar image"),
                                   Gtk::FILE_CHOOSER_ACTION_OPEN);
    chooser.set_transient_for(*this);
    chooser.add_button(pk_translate("Cancel"), Gtk::RESPONSE_CANCEL);
    chooser.add_button(pk_translate("Ok"), Gtk::RESPONSE_OK);
    chooser.add_filter(filter);
    const int response = chooser.run();
    const std::string path = chooser.get_filename();
    chooser.hide();
    if (response != Gtk::RESPONSE_OK) return false;
    takeAvatarFile(path);
    return false;
}

void SettingsDialog::onShow()
{
    if (veltnameLabel == nullptr) return;
    Glib::RefPtr<Gdk::Cursor> hand = Gdk::Cursor::create(veltnameLabel->get_display(), Gdk::HAND2);
    for (Gtk::Widget *widget : {static_cast<Gtk::Widget *>(veltnameLabel), static_cast<Gtk::Widget *>(avatarImage)}) {
        if (widget == nullptr) continue;
        Glib::RefPtr<Gdk::Window> window = widget->get_window();
        if (window) window->set_cursor(hand);
    }
}
