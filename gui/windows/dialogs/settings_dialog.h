// The settings dialog: the modal dialog in which the user edits the main
// settings file (avatar, user name, pointer capture, audio and display
// sources, encoder resolution, bitrate policy, playback method, preferred
// video decoder, always-on-top playback window) and hands the changes to
// the running engine.
//
// The main window opens it with PiApplication::openDialog<SettingsDialog>.
// Construction fills every control from the stored settings and from the
// engine's device and decoder lists; the handlers change only the widgets
// and the pending name and avatar state; OK (GTK_RESPONSE_OK) runs
// applySettings, which writes a fresh copy of the settings, sends the
// engine its requests and saves the file. Any other response applies
// nothing. Requests to the engine are made only while it runs; otherwise
// they are skipped without a message.
//
// Threads: the GTK main thread, except onEnvironmentChanged, which runs on
// the event pump's worker, touches no widget and posts the refresh to the
// main loop. run() answers the response of the modal run.
#pragma once

#include <gdkmm/pixbuf.h>
#include <glibmm/ustring.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/checkbutton.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/dialog.h>
#include <gtkmm/eventbox.h>
#include <gtkmm/grid.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/separator.h>
#include <gtkmm/stack.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/codes.h"
#include "engine/device_requests.h"
#include "services/catalogue.h"
#include "services/centre.h"
#include "services/utils.h"
#include "toolkit/factory.h"
#include "toolkit/popover.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// The control requests of the dialog under the names the dialog knows them
// by, and their records.
enum : uint32_t {
    ENGINE_CTL_SOURCE_SELECT = ENGINE_CTL_SOURCE_SELECT_ID,
    ENGINE_CTL_DECODER_INFO = ENGINE_CTL_GET_DECODER_DESC,
    ENGINE_CTL_DECODER_SELECT = ENGINE_CTL_SELECT_DECODER,
};
using EngineDeviceRef = EngineDeviceSelection;  // 140 bytes: kind, device id
using EngineCodecRef = EngineCodecSelection;    // 8 bytes: kind, list index
using EngineDecoderInfo = EngineCodecEntry;     // 1808 bytes

// Limits of the pending avatar: the picture kept, the picture shown, and
// the largest JPEG the engine accepts as a profile field.
#define PK_AVATAR_PICTURE_SIDE 480
#define PK_AVATAR_SHOWN_SIDE 180
#define PK_AVATAR_JPEG_MAX 131072

// The program's pictures the dialog shows.
#define PK_PNG_HELP_ICON 151
#define PK_PNG_LOGO 129
#define PK_HELP_ICON_SIDE 18

// A row of the resolution list: "%ux%u@%u Hz" of a complete mode, at most
// 31 characters; "Automatic best" otherwise.
Glib::ustring pk_settings_mode_row(const PkVideoMode &mode);
// A row of the decoder list from the engine's descriptor.
Glib::ustring pk_settings_decoder_row(const CoreVideoCodecDesc &desc);
// The message of the user name rule.
Glib::ustring pk_settings_name_rule();

// One control request to the engine, made only while its node and session
// exist: the engine's result, or -100 (nobody answered) when it was not
// made. `answer` may be null for requests without one; an answer shorter
// than `answerLength` counts as a failure (-1).
int32_t pk_settings_control(uint32_t code, const void *request, uint64_t length, void *answer = nullptr,
                            uint64_t answerLength = 0);
// ENGINE_CTL_SOURCE_SELECT for the audio (0) or video (1) source registry.
void pk_settings_select_source(uint32_t kind, const PkXID &id);

class SettingsDialog : public VeltranaDialog,
                       public IPkCenterNotify,
                       public IPiTheme,
                       public std::enable_shared_from_this<SettingsDialog> {
public:
    SettingsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    int run() override;

    void loadSettings();
    void fillAudioSources();
    void fillVideoSources();
    void fillResolutions(const PkXID &displayId);
    // Worker thread half of a changed environment; refreshSources is the
    // main-loop half and answers false so that it runs once.
    void onEnvironmentChanged(int32_t kind, int32_t word1, int32_t removed, const PkXID &deviceId,
                              const std::string &text) override;
    bool refreshSources(std::shared_ptr<int> kind);
    void onThemeChanged(int theme) override;
    void restyle(int theme);

    void applySettings();

    // Handlers.
    std::shared_ptr<PiGtkPopover> showHelpPopover(Gtk::Widget &button, const Glib::ustring &markup);
    void onCaptureHelpClicked();
    void onAudioHelpClicked();
    void onVideoHelpClicked();
    void onEncoderHelpClicked();
    void onBitrateHelpClicked();
    void onPlaybackHelpClicked();
    void onDecoderHelpClicked();
    void onWindowHelpClicked();
    void onAudioDisableToggled();
    void onVideoSourceChanged();
    void onDefaultClicked();
    bool onNameReleased(GdkEventButton *event);
    bool onAvatarReleased(GdkEventButton *event);
    void onShow();
    void validateName(std::weak_ptr<Gtk::Dialog> editor);
    Glib::RefPtr<Gdk::Pixbuf> initialsAvatar(const std::string &name);
    // The chosen picture file as the pending avatar; false when nothing
    // could be loaded (the chooser's OK path).
    bool takeAvatarFile(const std::string &path);

    std::vector<PkVideoDevice> videoSources;
    std::vector<PkAudioDevice> audioSources;

    Gtk::Stack *mainStack = nullptr;
    Gtk::Grid *generalGrid = nullptr;
    Gtk::Grid *streamerGrid = nullptr;
    Gtk::Grid *viewerGrid = nullptr;
    Gtk::Box *captureBox = nullptr;
    Gtk::Button *okButton = nullptr;
    Gtk::Button *cancelButton = nullptr;
    Gtk::Button *defaultButton = nullptr;
    Gtk::Button *captureHelpButton = nullptr;
    Gtk::Button *audioHelpButton = nullptr;
    Gtk::Button *videoHelpButton = nullptr;
    Gtk::Button *encoderHelpButton = nullptr;
    Gtk::Button *bitrateHelpButton = nullptr;
    Gtk::Button *playbackHelpButton = nullptr;
    Gtk::Button *decoderHelpButton = nullptr;
    Gtk::Button *windowHelpButton = nullptr;
    Gtk::Image *avatarImage = nullptr;
    Gtk::Image *captureHelpImage = nullptr;
    Gtk::Image *audioHelpImage = nullptr;
    Gtk::Image *videoHelpImage = nullptr;
    Gtk::Image *encoderHelpImage = nullptr;
    Gtk::Image *bitrateHelpImage = nullptr;
    Gtk::Image *playbackHelpImage = nullptr;
    Gtk::Image *decoderHelpImage = nullptr;
    Gtk::Image *windowHelpImage = nullptr;
    Gtk::Label *avatarLabel = nullptr;
    Gtk::Label *usernameLabel = nullptr;
    Gtk::Label *veltnameLabel = nullptr;
    Gtk::Label *audioSourceLabel = nullptr;
    Gtk::Label *videoSourceLabel = nullptr;
    Gtk::Label *videoEncoderLabel = nullptr;
    Gtk::Label *bitratePolicyLabel = nullptr;
    Gtk::Label *playbackMethodLabel = nullptr;
    Gtk::Label *videoDecoderLabel = nullptr;
    Gtk::CheckButton *captureMouseCheckbutton = nullptr;
    Gtk::CheckButton *audioDisableCheckbutton = nullptr;
    Gtk::CheckButton *videoOntopCheckbox = nullptr;
    Gtk::ComboBoxText *audioSourceCombobox = nullptr;
    Gtk::ComboBoxText *videoSourceCombobox = nullptr;
    Gtk::ComboBoxText *videoEncoderCombobox = nullptr;
    Gtk::ComboBoxText *bitratePolicyCombobox = nullptr;
    Gtk::ComboBoxText *playbackMethodCombobox = nullptr;
    Gtk::ComboBoxText *videoDecoderCombobox = nullptr;
    Gtk::EventBox *veltnameEventBox = nullptr;
    Gtk::EventBox *avatarEventBox = nullptr;
    Gtk::Separator *general1Separator = nullptr;
    Gtk::Separator *general3Separator = nullptr;
    Gtk::Separator *streamer1Separator = nullptr;
    Gtk::Separator *streamer2Separator = nullptr;
    Gtk::Separator *streamer3Separator = nullptr;
    Gtk::Separator *viewer1Separator = nullptr;
    Gtk::Separator *viewer2Separator = nullptr;

    // Pending name and avatar: only OK turns them into settings.
    std::string userName;
    Glib::RefPtr<Gdk::Pixbuf> avatarPicture;  // 480 x 480 when set
    Glib::RefPtr<Gdk::Pixbuf> avatarShown;    // 180 x 180
    int avatarChanges = 0;

    PkDeviceCatalog deviceCatalog;
};

extern const char settings_dialog_ui[];
PI_UI_DEFINITION(SettingsDialog, "settings_dialog", settings_dialog_ui)
