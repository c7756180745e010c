#include "windows/dialogs/settings_dialog.h"

#include <glibmm/main.h>

#include <cstdio>
#include <cstring>

#include "app/info.h"
#include "app/settings.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "core/names.h"
#include "core/notify.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/session.h"
#include "ravelkit/devices.h"
#include "services/codecs.h"
#include "services/config.h"
#include "services/media.h"
#include "toolkit/main_loop.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "windows/dialogs/text_input_dialog.h"

namespace {

const CoreName &control_channel()
{
    static const CoreName name = [] {
        CoreName made;
        core_name_format(&made, "%s", ENGINE_CONTROL_SERVICE);
        return made;
    }();
    return name;
}

PkXID id_of_text(const char *text) { return PkXID::fromText(text); }

bool mode_complete(const PkVideoMode &mode)
{
    const uint32_t fields[] = {mode.width, mode.height, mode.rateNumerator, mode.rateDenominator};
    for (uint32_t field : fields)
        if (field == 0 || field == 0xFFFFFFFFu) return false;
    return true;
}

// "%ux%u@%u Hz", the rate truncated (the numerator alone when the
// denominator is 0), cut to 31 characters.
std::string mode_text(const PkVideoMode &mode)
{
    const uint32_t rate = mode.rateDenominator == 0
                              ? mode.rateNumerator
                              : uint32_t(double(mode.rateNumerator) / double(mode.rateDenominator));
    char text[32];
    snprintf(text, sizeof(text), "%ux%u@%u Hz", mode.width, mode.height, rate);
    return text;
}

void apply_separator(Gtk::Separator *separator, int theme)
{
    if (separator == nullptr) return;
    PiCSSSeparator rule;
    rule.backgroundColor(pk_separator_colour(theme));
    rule.apply(*separator);
}

}  // namespace

int32_t pk_settings_control(uint32_t code, const void *request, uint64_t length, void *answer, uint64_t answerLength)
{
    if (engine_session_current() == nullptr || engine_node_running() == nullptr) return -100;
    uint64_t answered = answerLength;
    const CoreResult result =
        core_notify(&control_channel(), code, request, length, answer, answer != nullptr ? &answered : nullptr);
    if (result >= 0 && answer != nullptr && answered < answerLength) return -1;
    return result;
}

void pk_settings_select_source(uint32_t kind, const PkXID &id)
{
    EngineDeviceRef request;
    memset(&request, 0, sizeof(request));
    request.media = kind;
    memcpy(request.id.key, id.key, sizeof(id.key));
    core_name_make(&request.id);
    pk_settings_control(ENGINE_CTL_SOURCE_SELECT, &request, sizeof(request));
}

Glib::ustring pk_settings_mode_row(const PkVideoMode &mode)
{
    if (!mode_complete(mode)) return pk_translate("Automatic best");
    return mode_text(mode);
}

Glib::ustring pk_settings_decoder_row(const CoreVideoCodecDesc &desc)
{
    if (desc.acceleration == 0) return pk_translate("Automatic best");
    const char *kind = "Platform hardware decoder";
    if (desc.codec_class == 1 && desc.acceleration == 1) kind = "Platform software decoder";
    if (desc.codec_class == 2 && desc.acceleration == 2) kind = "Third party hardware decoder";
    if (desc.codec_class == 2 && desc.acceleration == 1) kind = "Third party software decoder";
    const PkVideoMode limit{desc.evaluated_maximum.width, desc.evaluated_maximum.height,
                            desc.evaluated_maximum.rate_num, desc.evaluated_maximum.rate_den};
    const PkVideoMode registered{desc.maximum_mode.width, desc.maximum_mode.height, desc.maximum_mode.rate_num,
                                 desc.maximum_mode.rate_den};
    // The family text comes from the engine: bounded by its field.
    const std::string family(desc.family, strnlen(desc.family, sizeof(desc.family)));
    return pk_translate(kind) + " / " + family + " / " + pk_codec_name_in(desc) + " / " +
           pk_video_mode_to_text(mode_complete(limit) ? limit : registered, true) + " max.";
}

Glib::ustring pk_settings_name_rule()
{
    VeltranaAppInfo info;
    return pk_translate("Allowed symbols for") + " " + info.handleWord(true) + " (" + pk_translate("from") + " 6 " +
           pk_translate("to") + " 32 " + pk_translate("chars") + "):" +
           " 'A-Z' 'a-z' '0-9' '_+-(){}[]<>!@#$^&*=.,:;| '";
}

SettingsDialog::SettingsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaDialog(cobject)
{
    builder->get_widget("main_stack", mainStack);
    builder->get_widget("general_grid", generalGrid);
    builder->get_widget("streamer_grid", streamerGrid);
    builder->get_widget("viewer_grid", viewerGrid);
    builder->get_widget("capture_box", captureBox);
    builder->get_widget("ok_button", okButton);
    builder->get_widget("cancel_button", cancelButton);
    builder->get_widget("default_button", defaultButton);
    builder->get_widget("capture_help_button", captureHelpButton);
    builder->get_widget("audio_help_button", audioHelpButton);
    builder->get_widget("video_help_button", videoHelpButton);
    builder->get_widget("encoder_help_button", encoderHelpButton);
    builder->get_widget("bitrate_help_button", bitrateHelpButton);
    builder->get_widget("playback_help_button", playbackHelpButton);
    builder->get_widget("decoder_help_button", decoderHelpButton);
    builder->get_widget("window_help_button", windowHelpButton);
    builder->get_widget("avatar_image", avatarImage);
    builder->get_widget("capture_help_image", captureHelpImage);
    builder->get_widget("audio_help_image", audioHelpImage);
    builder->get_widget("video_help_image", videoHelpImage);
    builder->get_widget("encoder_help_image", encoderHelpImage);
    builder->get_widget("bitrate_help_image", bitrateHelpImage);
    builder->get_widget("playback_help_image", playbackHelpImage);
    builder->get_widget("decoder_help_image", decoderHelpImage);
    builder->get_widget("window_help_image", windowHelpImage);
    builder->get_widget("avatar_label", avatarLabel);
    builder->get_widget("username_label", usernameLabel);
    builder->get_widget("veltname_label", veltnameLabel);
    builder->get_widget("audio_source_label", audioSourceLabel);
    builder->get_widget("video_source_label", videoSourceLabel);
    builder->get_widget("video_encoder_label", videoEncoderLabel);
    builder->get_widget("bitrate_policy_label", bitratePolicyLabel);
    builder->get_widget("playback_method_label", playbackMethodLabel);
    builder->get_widget("video_decoder_label", videoDecoderLabel);
    builder->get_widget("capture_mouse_checkbutton", captureMouseCheckbutton);
    builder->get_widget("audio_disable_checkbutton", audioDisableCheckbutton);
    builder->get_widget("video_ontop_checkbox", videoOntopCheckbox);
    builder->get_widget("audio_source_combobox", audioSourceCombobox);
    builder->get_widget("video_source_combobox", videoSourceCombobox);
    builder->get_widget("video_encoder_combobox", videoEncoderCombobox);
    builder->get_widget("bitrate_policy_combobox", bitratePolicyCombobox);
    builder->get_widget("playback_method_combobox", playbackMethodCombobox);
    builder->get_widget("video_decoder_combobox", videoDecoderCombobox);
    builder->get_widget("veltname_event_box", veltnameEventBox);
    builder->get_widget("avatar_event_box", avatarEventBox);
    builder->get_widget("general1_separator", general1Separator);
    builder->get_widget("general3_separator", general3Separator);
    builder->get_widget("streamer1_separator", streamer1Separator);
    builder->get_widget("streamer2_separator", streamer2Separator);
    builder->get_widget("streamer3_separator", streamer3Separator);
    builder->get_widget("viewer1_separator", viewer1Separator);
    builder->get_widget("viewer2_separator", viewer2Separator);

    if (veltnameLabel != nullptr) {
        PiCSSLabel rule;
        rule.color(0x007AFF).fontBold();
        rule.apply(*veltnameLabel);
    }
    for (Gtk::EventBox *box : {veltnameEventBox, avatarEventBox})
        if (box != nullptr) box->add_events(Gdk::BUTTON_PRESS_MASK | Gdk::BUTTON_RELEASE_MASK);

    if (audioDisableCheckbutton != nullptr)
        audioDisableCheckbutton->signal_clicked().connect(sigc::mem_fun(*this, &SettingsDialog::onAudioDisableToggled));
    if (videoSourceCombobox != nullptr)
        videoSourceCombobox->signal_changed().connect(sigc::mem_fun(*this, &SettingsDialog::onVideoSourceChanged));
    if (defaultButton != nullptr)
        defaultButton->signal_clicked().connect(sigc::mem_fun(*this, &SettingsDialog::onDefaultClicked));
    if (veltnameEventBox != nullptr)
        veltnameEventBox->signal_button_release_event().connect(sigc::mem_fun(*this, &SettingsDialog::onNameReleased),
                                                                true);
    if (avatarEventBox != nullptr)
        avatarEventBox->signal_button_release_event().connect(sigc::mem_fun(*this, &SettingsDialog::onAvatarReleased),
                                                              true);
    signal_show().connect(sigc::mem_fun(*this, &SettingsDialog::onShow), true);
    const std::pair<Gtk::Button *, void (SettingsDialog::*)()> helps[] = {
        {captureHelpButton, &SettingsDialog::onCaptureHelpClicked},
        {audioHelpButton, &SettingsDialog::onAudioHelpClicked},
        {videoHelpButton, &SettingsDialog::onVideoHelpClicked},
        {encoderHelpButton, &SettingsDialog::onEncoderHelpClicked},
        {bitrateHelpButton, &SettingsDialog::onBitrateHelpClicked},
        {playbackHelpButton, &SettingsDialog::onPlaybackHelpClicked},
        {decoderHelpButton, &SettingsDialog::onDecoderHelpClicked},
        {windowHelpButton, &SettingsDialog::onWindowHelpClicked},
    };
    for (const auto &help : helps)
        if (help.first != nullptr) help.first->signal_clicked().connect(sigc::mem_fun(*this, help.second), true);

    if (mainStack != nullptr) {
        if (generalGrid != nullptr) mainStack->child_property_title(*generalGrid) = pk_translate("General");
        if (streamerGrid != nullptr) mainStack->child_property_title(*streamerGrid) = pk_translate("Streamer");
        if (viewerGrid != nullptr) mainStack->child_property_title(*viewerGrid) = pk_translate("Viewer");
    }
    VeltranaAppInfo info;
    const std::pair<Gtk::Button *, const char *> buttons[] = {
        {okButton, "Ok"}, {cancelButton, "Cancel"}, {defaultButton, "Default"},
        {captureMouseCheckbutton, "Capture mouse pointer"}, {audioDisableCheckbutton, "Disable audio capture"},
        {videoOntopCheckbox, "Viewer window always on top"},
    };
    for (const auto &caption : buttons)
        if (caption.first != nullptr) caption.first->set_label(pk_translate(caption.second));
    const std::pair<Gtk::Label *, const char *> labels[] = {
        {avatarLabel, "Avatar picture"}, {audioSourceLabel, "Audio capture source"},
        {videoSourceLabel, "Video capture source"}, {videoEncoderLabel, "Video encoder resolution"},
        {bitratePolicyLabel, "Bitrate policy"}, {playbackMethodLabel, "Playback method"},
        {videoDecoderLabel, "Video decoder"},
    };
    for (const auto &caption : labels)
        if (caption.first != nullptr) caption.first->set_text(pk_translate(caption.second));
    if (usernameLabel != nullptr) usernameLabel->set_text(info.handleWord(false));
    set_title(pk_translate("Settings"));

    const bool streamer = PkConfig::instance()->sendRoles != 0;
    if (!streamer) {
        if (streamerGrid != nullptr) streamerGrid->hide();
        if (captureBox != nullptr) captureBox->hide();
    }

    loadSettings();

    const std::pair<Gtk::Button *, Gtk::Image *> helpIcons[] = {
        {streamer ? captureHelpButton : nullptr, captureHelpImage},
        {audioHelpButton, audioHelpImage},
        {videoHelpButton, videoHelpImage},
        {encoderHelpButton, encoderHelpImage},
        {bitrateHelpButton, bitrateHelpImage},
        {playbackHelpButton, playbackHelpImage},
        {decoderHelpButton, decoderHelpImage},
        {windowHelpButton, windowHelpImage},
    };
    const std::vector<uint8_t> png = PiWindowIcon::png(PK_PNG_HELP_ICON);
    const std::vector<char> helpIcon(png.begin(), png.end());
    for (const auto &help : helpIcons) {
        if (help.first != nullptr) {
            PiCSSButton rule;
            PiCSSObject none;
            rule.borderWidth(0).minWidth(10).minHeight(10).border(0).borderImage(none).backgroundImage(none);
            PiCSSItem::applyCss(*help.first, rule.toCss(), "circular");
            help.first->set_size_request(PK_HELP_ICON_SIDE, PK_HELP_ICON_SIDE);
        }
        if (help.second != nullptr)
            PiPixbuf::setImage(*help.second, helpIcon, PI_PIXBUF_KIND_ENCODED, PK_HELP_ICON_SIDE, PK_HELP_ICON_SIDE);
    }
}

void SettingsDialog::loadSettings()
{
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    fillAudioSources();
    fillVideoSources();

    const auto *audioDevice = dynamic_cast<const PkXMLUUIDObject *>(settings->audioDevice.get());
    if (audioDisableCheckbutton != nullptr)
        audioDisableCheckbutton->set_active(audioDevice != nullptr && audioDevice->value == id_of_text(NONE_ID));

    if (bitratePolicyCombobox != nullptr) {
        bitratePolicyCombobox->remove_all();
        const std::vector<std::string> values = PkXMLBitratePolicyObject::values();
        int selected = 0;
        for (size_t i = 0; i < values.size(); i++) {
            const char *text = values[i] == "adaptive"   ? "Adaptive bitrate"
                               : values[i] == "constant" ? "Constant bitrate"
                                                         : "Unknown";
            bitratePolicyCombobox->append(pk_translate(text));
            if (values[i] == settings->bitratePolicy->toString()) selected = int(i);
        }
        bitratePolicyCombobox->set_active(selected);
    }
    if (playbackMethodCombobox != nullptr) {
        playbackMethodCombobox->remove_all();
        const std::vector<std::string> values = PkXMLPlaybackObject::values();
        int selected = PkXMLPlaybackObject::defaultIndex();
        for (size_t i = 0; i < values.size(); i++) {
            PkXMLPlaybackObject delay;
            delay.fromString(values[i]);
            const char *method = values[i] == "0" ? "Minimum latency" : "Smooth playback";
            playbackMethodCombobox->append(pk_translate(method) + " / " + playbackDelayText(delay));
            if (values[i] == settings->playbackDelay->toString()) selected = int(i);
        }
        playbackMethodCombobox->set_active(selected);
    }

    if (videoDecoderCombobox != nullptr) {
        videoDecoderCombobox->remove_all();
        videoDecoderCombobox->set_sensitive(true);
        const uint64_t count = pk_media_video_decoder_count();
        if (count == 0) {
            videoDecoderCombobox->append(pk_translate("Not available"));
            videoDecoderCombobox->set_sensitive(false);
            videoDecoderCombobox->set_active(0);
        } else {
            for (uint64_t i = 0; i < count; i++) {
                PkCodecDescPair pair;
                pk_codec_desc_pair_init(pair);
                EngineDecoderInfo answer;
                memset(&answer, 0, sizeof(answer));
                const EngineCodecRef request{PK_MEDIA_VIDEO, int32_t(i)};
                if (pk_settings_control(ENGINE_CTL_DECODER_INFO, &request, sizeof(request), &answer,
                                        sizeof(answer)) >= 0)
                    static_cast<CoreVideoCodecDesc &>(pair.video) = answer.video;
                videoDecoderCombobox->append(pk_settings_decoder_row(pair.video));
            }
            const auto *decoder = dynamic_cast<const PkXMLNumberObject *>(settings->videoDecoder.get());
            const int64_t stored = decoder != nullptr ? decoder->value : 0;
            videoDecoderCombobox->set_active(stored >= 0 && uint64_t(stored) < count ? int(stored) : 0);
        }
    }

    const auto *onTop = dynamic_cast<const PkXMLBooleanObject *>(settings->videoOntop.get());
    if (videoOntopCheckbox != nullptr) videoOntopCheckbox->set_active(onTop != nullptr && onTop->value);

    if (veltnameLabel != nullptr) veltnameLabel->set_text(settings->userInfoName->toString());

    const auto *avatar = dynamic_cast<const PkXMLDataObject *>(settings->avatar.get());
    avatarShown.reset();
    if (avatar != nullptr && !avatar->value.empty()) {
        Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::fromBytes(avatar->value.data(), avatar->value.size());
        if (picture && (picture->get_width() != PK_AVATAR_SHOWN_SIDE || picture->get_height() != PK_AVATAR_SHOWN_SIDE))
            picture = picture->scale_simple(PK_AVATAR_SHOWN_SIDE, PK_AVATAR_SHOWN_SIDE, Gdk::INTERP_BILINEAR);
        avatarShown = picture;
    } else if (veltnameLabel != nullptr) {
        avatarShown = initialsAvatar(veltnameLabel->get_text());
    }
    if (avatarShown && avatarImage != nullptr) avatarImage->set(avatarShown);

    const auto *capture = dynamic_cast<const PkXMLBooleanObject *>(settings->userCaptureMousePointer.get());
    if (captureMouseCheckbutton != nullptr) captureMouseCheckbutton->set_active(capture != nullptr && capture->value);
}

namespace {

// The row and id a source list starts on: DEFAULT_DEVICE_ID keeps itself on
// row 0, a stored id its own row, anything else row 0 with the first id.
template <class Device>
std::pair<int, PkXID> pick_source(const std::vector<Device> &devices, const PkXID &stored)
{
    if (stored == id_of_text(DEFAULT_DEVICE_ID)) return {0, stored};
    for (size_t i = 0; i < devices.size(); i++)
        if (devices[i].id == stored) return {int(i), devices[i].id};
    return {0, devices.front().id};
}

PkXID stored_id(const std::shared_ptr<PkXMLObject> &value)
{
    const auto *uuid = dynamic_cast<const PkXMLUUIDObject *>(value.get());
    return uuid != nullptr ? uuid->value : id_of_text(NONE_ID);
}

}  // namespace

void SettingsDialog::fillAudioSources()
{
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    deviceCatalog.refresh();
    audioSources = deviceCatalog.audioDevices();
    if (audioSourceCombobox == nullptr) return;
    audioSourceCombobox->remove_all();
    audioSourceCombobox->set_sensitive(true);
    for (const PkAudioDevice &device : audioSources) audioSourceCombobox->append(device.name);
    if (audioSources.empty()) {
        audioSourceCombobox->append(pk_translate("No sources"));
        audioSourceCombobox->set_active(0);
        audioSourceCombobox->set_sensitive(false);
        return;
    }
    const auto [row, id] = pick_source(audioSources, stored_id(settings->audioDevice));
    audioSourceCombobox->set_active(row);
    pk_settings_select_source(PK_MEDIA_AUDIO, id);
    // A refill must not undo a disabled audio capture.
    if (audioDisableCheckbutton != nullptr && audioDisableCheckbutton->get_active())
        audioSourceCombobox->set_sensitive(false);
}

void SettingsDialog::fillVideoSources()
{
    const std::shared_ptr<AppSettings> settings = loadAppSettings();
    deviceCatalog.refresh();
    videoSources = deviceCatalog.videoDevices();
    if (videoSourceCombobox == nullptr) return;
    videoSourceCombobox->remove_all();
    videoSourceCombobox->set_sensitive(true);
    for (const PkVideoDevice &device : videoSources) videoSourceCombobox->append(device.name);
    if (videoSources.empty()) {
        videoSourceCombobox->append(pk_translate("No sources"));
        videoSourceCombobox->set_active(0);
        videoSourceCombobox->set_sensitive(false);
        if (videoEncoderCombobox != nullptr) {
            videoEncoderCombobox->remove_all();
            videoEncoderCombobox->append(pk_translate("Not available"));
            videoEncoderCombobox->set_sensitive(false);
            videoEncoderCombobox->set_active(0);
        }
        return;
    }
    const auto [row, id] = pick_source(videoSources, stored_id(settings->videoDevice));
    videoSourceCombobox->set_active(row);
    pk_settings_select_source(PK_MEDIA_VIDEO, id);
    const int active = videoSourceCombobox->get_active_row_number();
    if (active >= 0 && size_t(active) < videoSources.size()) fillResolutions(videoSources[active].id);
}

void SettingsDialog::fillResolutions(const PkXID &displayId)
{
    if (videoEncoderCombobox == nullptr) return;
    const uint64_t count = pk_media_device_property_count(displayId);
    videoEncoderCombobox->remove_all();
    if (count == 0) {
        videoEncoderCombobox->append(pk_translate("Not available"));
        videoEncoderCombobox->set_sensitive(false);
        videoEncoderCombobox->set_active(0);
        return;
    }
    videoEncoderCombobox->set_sensitive(true);
    for (uint64_t i = 0; i < count; i++)
        videoEncoderCombobox->append(pk_settings_mode_row(pk_media_device_property(displayId, uint32_t(i))));
    videoEncoderCombobox->set_active(int(count - 1));
}

void SettingsDialog::onEnvironmentChanged(int32_t kind, int32_t word1, int32_t removed, const PkXID &deviceId,
                                          const std::string &text)
{
    (void)removed, (void)deviceId, (void)text;
    if (word1 != 0) return;
    auto copied = std::make_shared<int>(kind);
    // Held weakly: dropped when the dialog is gone before the main loop gets
    // to it. No sigc slot is made here: a trackable's connections belong to
    // the main thread.
    pi_post_main(weak_from_this(), [copied](SettingsDialog &dialog) { dialog.refreshSources(copied); });
}

bool SettingsDialog::refreshSources(std::shared_ptr<int> kind)
{
    if (*kind == 0) {
        fillAudioSources();
    } else if (*kind == 1) {
        fillVideoSources();
    } else {
        fillAudioSources();
        fillVideoSources();
    }
    return false;
}

void SettingsDialog::restyle(int theme)
{
    for (Gtk::Separator *separator : {general1Separator, general3Separator, streamer1Separator, streamer2Separator,
                                      streamer3Separator, viewer1Separator, viewer2Separator})
        apply_separator(separator, theme);
}

void SettingsDialog::onThemeChanged(int theme) { restyle(theme); }

int SettingsDialog::run()
{
    const std::shared_ptr<SettingsDialog> self = weak_from_this().lock();
    if (!self) return Gtk::RESPONSE_NONE;
    const std::shared_ptr<PkCenterNotify> centre = PkCenterNotify::instance();
    centre->addObserver(self);
    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    theme->addListener(self);

    const int response = Gtk::Dialog::run();
    hide();
    close();
    if (response == Gtk::RESPONSE_OK) applySettings();

    theme->removeListener(self);
    centre->removeObserver(self);
    return response;
}
