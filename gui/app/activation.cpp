#include "app/activation.h"

#include <gtk/gtk.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "app/application.h"
#include "app/info.h"
#include "app/instance.h"
#include "app/resources.h"
#include "app/settings.h"
#include "app/xml_objects.h"
#include "core/log.h"
#include "core/video.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"
#include "ravelkit/linux_values.h"
#include "services/config.h"
#include "services/facade.h"
#include "services/web.h"
#include "toolkit/theme.h"
#include "toolkit/tray.h"

// After every gtkmm header: Xlib defines names that glibmm uses.
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

namespace {

constexpr const char *kModule = "shell";

VeltranaApp::MainWindowOpener &main_window_opener()
{
    static VeltranaApp::MainWindowOpener opener;
    return opener;
}

// The X11 id of the window's toplevel, for the notification-area icon; 0
// where the window has none or the display is not X11.
uint64_t native_window_id(Gtk::Window &window)
{
#ifdef GDK_WINDOWING_X11
    GdkWindow *toplevel = gtk_widget_get_window(GTK_WIDGET(window.gobj()));
    if (toplevel != nullptr && GDK_IS_X11_WINDOW(toplevel)) return gdk_x11_window_get_xid(toplevel);
#else
    (void)window;
#endif
    return 0;
}

// The VA-API backend's feature word and its index in "frmwrk.vid.ftrs".
constexpr int32_t kVaapiFeaturesProc = 44;
constexpr int32_t kVaapiFeaturesProcDecode = 46;

// What the node configuration is filled with at every start.
constexpr uint32_t kSendRoles = 2;       // capture when a viewer's request was accepted
constexpr uint32_t kReceiveRoles = 1;    // play what this node asked for
constexpr uint32_t kBinderDirection = 3; // outgoing and incoming
constexpr uint32_t kNetworkFlags = 0x17; // identity, key, LAN discovery, ignore own
constexpr uint32_t kNetworkMode = 2;
constexpr uint32_t kServicesMode = 10;  // binding and media services
constexpr uint32_t kNetworkOption = 1;  // 128-bit session keys
constexpr uint32_t kSourceSlotParam = 256;
constexpr uint32_t kSinkSlotParam = 2;
constexpr uint32_t kPlaybackDelayMs = 3000;
constexpr uint32_t kFrameworkType = 1;

struct VaapiOption {
    bool VeltranaApp::*flag;
    uint32_t fourcc;
    uint64_t profiles;
};

const VaapiOption kEncoders[] = {
    {&VeltranaApp::vaapiH264Enc, core_fourcc("H264"), PK_VAAPI_H264_PROFILES},
    {&VeltranaApp::vaapiH265Enc, core_fourcc("H265"), PK_VAAPI_H265_PROFILES},
    {&VeltranaApp::vaapiVp8Enc, core_fourcc("VP8X"), 0},
    {&VeltranaApp::vaapiVp9Enc, core_fourcc("VP9X"), 0},
    {&VeltranaApp::vaapiAv1Enc, core_fourcc("av01"), 0},
};
const VaapiOption kDecoders[] = {
    {&VeltranaApp::vaapiH264Dec, core_fourcc("H264"), PK_VAAPI_H264_PROFILES},
    {&VeltranaApp::vaapiH265Dec, core_fourcc("H265"), PK_VAAPI_H265_PROFILES},
    {&VeltranaApp::vaapiVp8Dec, core_fourcc("VP8X"), 0},
    {&VeltranaApp::vaapiVp9Dec, core_fourcc("VP9X"), 0},
    {&VeltranaApp::vaapiAv1Dec, core_fourcc("av01"), 0},
};

template <size_t N>
void copy_text(char (&field)[N], const std::string &text)
{
    // Always terminated: the framework reads these as C strings.
    const size_t length = std::min(text.size(), N - 1);
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

PkXID random_node_key()
{
    PkXID key;
    // A node key is key material: the system's generator, never rand().
    if (RAND_bytes(key.key, sizeof(key.key)) != 1)
        core_log(CORE_LOG_ERROR, kModule, "no random bytes for the node key");
    return key;
}

bool bool_setting(const std::shared_ptr<PkXMLObject> &value)
{
    if (const auto *typed = dynamic_cast<const PkXMLBooleanObject *>(value.get())) return typed->value;
    return value != nullptr && value->toString() == "YES";
}

PkXID id_setting(const std::shared_ptr<PkXMLObject> &value)
{
    if (const auto *typed = dynamic_cast<const PkXMLUUIDObject *>(value.get())) return typed->value;
    return PkXID::fromText(DEFAULT_DEVICE_ID);
}

}  // namespace

// ---- media framework inputs ------------------------------------------------------------------------

CoreVideoCodecDesc pk_vaapi_codec_desc(uint32_t direction, uint32_t codecFourcc, uint64_t profiles,
                                       const std::string &driverName)
{
    CoreVideoCodecDesc desc;
    memset(&desc, 0, sizeof(desc));
    const bool encoder = direction == RAVK_CODEC_ENCODER;
    desc.direction = direction;
    desc.acceleration = RAVK_ACCEL_HARDWARE;
    desc.codec_class = RAVK_CODEC_CLASS_PLATFORM;
    desc.input = encoder ? core_fourcc("NV12") : codecFourcc;
    desc.output = encoder ? codecFourcc : core_fourcc("I420");
    desc.device_number = -1;
    copy_text(desc.codec_name, driverName);
    copy_text(desc.family, "VA-API");
    desc.backend = RAVK_BACKEND_VAAPI;
    desc.profile_set = profiles;
    desc.minimum_mode = {64, 64, 1, 1};
    desc.maximum_mode = {3840, 2160, 60, 1};
    core_video_mode_align(&desc.minimum_mode, 32, 32);
    core_video_mode_align(&desc.maximum_mode, 32, 32);
    desc.alignment_width = 32;
    desc.alignment_height = 32;
    return desc;
}

void pk_append_vaapi_codecs(const VeltranaApp &app, PkConfig &config)
{
    const char *variable = getenv("LIBVA_DRIVER_NAME");
    const std::string driver = variable != nullptr ? variable : "";
    for (const VaapiOption &option : kEncoders)
        if (app.*option.flag)
            config.videoEncoders.push_back(
                pk_vaapi_codec_desc(RAVK_CODEC_ENCODER, option.fourcc, option.profiles, driver));
    for (const VaapiOption &option : kDecoders)
        if (app.*option.flag)
            config.videoDecoders.push_back(
                pk_vaapi_codec_desc(RAVK_CODEC_DECODER, option.fourcc, option.profiles, driver));
}

int32_t pk_vaapi_feature_word(const VeltranaApp &app)
{
    if (!app.vaapiProc) return 0;
    for (const VaapiOption &option : kDecoders)
        if (app.*option.flag) return kVaapiFeaturesProcDecode;
    return kVaapiFeaturesProc;
}

// ---- activation ------------------------------------------------------------------------------------

void VeltranaApp::on_activate()
{
    VeltranaAppInfo info;
    if (!dialogText.empty()) {
        // The program's own message box is not part of this build yet; the
        // toolkit's stock box shows the text meanwhile.
        pk_show_system_message(info.productName(false, false), dialogText);
        shutdownCore();
        html_unregister_resource();
        return;
    }

    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    const int32_t vaapiFeatures = pk_vaapi_feature_word(*this);
    pk_append_vaapi_codecs(*this, *config);

    // The framework values of the Linux desktop stand where the Windows
    // build publishes its own feature table and pipeline options; the
    // pipeline options stay 0 in the node configuration so that the facade
    // keeps these values at every start.
    if (ravk_linux_values_publish() != 0)
        core_log(CORE_LOG_WARN, kModule, "the framework values of this platform were not all published");
    if (pk_store_set_int("frmwrk.vid.ftrs", RAVK_BACKEND_VAAPI, vaapiFeatures) != 0)
        core_log(CORE_LOG_WARN, kModule, "the VA-API feature word was not published");

    try {
        if (startCore() != 0) return;
    } catch (const std::system_error &error) {
        core_log(CORE_LOG_ERROR, kModule, "start-up ended: the HTTP worker could not be started (%s)", error.what());
        return;
    }

    if (themeName == "light")
        PiTheme::instance()->setMode(PI_THEME_LIGHT);
    else if (themeName == "dark")
        PiTheme::instance()->setMode(PI_THEME_DARK);

    MainWindowOpener &opener = main_window_opener();
    std::shared_ptr<Gtk::Window> window = opener ? opener(Glib::wrap(gobj(), true))
                                                 : std::shared_ptr<Gtk::Window>();
    if (!window) {
        // The notification-area icon gets no owner window, and the main
        // loop ends since no window is left.
        core_log(CORE_LOG_WARN, kModule, "activation: the main window was not opened");
        return;
    }
    window->present();
    const std::shared_ptr<PiMenu> menu = PiMenu::instance();
    menu->iconId = PI_MENU_APP_ICON;
    menu->hwnd = native_window_id(*window);
}

void VeltranaApp::setMainWindowOpener(MainWindowOpener opener) { main_window_opener() = std::move(opener); }

int VeltranaApp::startCore()
{
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    VeltranaAppInfo info;

    config->nodeUserId = PkXID::fromText(settings->userInfoName ? settings->userInfoName->toString() : "");
    config->showCursor = bool_setting(settings->userCaptureMousePointer);
    config->nodeKey = random_node_key();
    config->systemNodeName = PkXID::fromText(info.systemNodeName());
    config->sendRoles = kSendRoles;
    config->receiveRoles = kReceiveRoles;
    config->binderDirection = kBinderDirection;
    config->networkFlags = kNetworkFlags;
    config->networkMode = kNetworkMode;
    config->servicesMode = kServicesMode;
    config->networkOption = kNetworkOption;
    config->basePort = static_cast<uint16_t>(info.port());
    config->audioSourceParam = kSourceSlotParam;
    config->videoSourceParam = kSourceSlotParam;
    config->audioSinkParam = kSinkSlotParam;
    config->videoSinkParam = kSinkSlotParam;
    config->audioSourceClass = RAVK_CLASS_NATIVE;
    config->videoSourceClass = RAVK_CLASS_SCREEN;
    config->audioSinkClass = RAVK_CLASS_VIRTUAL;
    config->videoSinkClass = RAVK_CLASS_VIRTUAL;
    config->audioSourceIndex = 0;
    config->audioSinkIndex = 0;
    config->videoSourceIndex = 0;
    int64_t decoder = 0;
    if (const auto *typed = dynamic_cast<const PkXMLNumberObject *>(settings->videoDecoder.get()))
        decoder = typed->value;
    config->videoSinkIndex = decoder >= 0 && decoder <= INT32_MAX ? static_cast<int32_t>(decoder) : 0;
    config->bitratePolicy = 0;
    config->rateControlOption = 1;
    config->autoAccept = false;
    config->frameworkType = kFrameworkType;
    config->p2pChannelCount = 1;
    config->p2pClass = 1;
    config->videoSizeClass = 2;
    config->playbackDelayMs = kPlaybackDelayMs;
    config->audioSourceId = id_setting(settings->audioDevice);
    config->videoSourceId = id_setting(settings->videoDevice);
    config->audioSinkId = PkXID::fromText(DEFAULT_DEVICE_ID);
    config->videoSinkId = PkXID::fromText(DEFAULT_DEVICE_ID);

    if (config->nodeUserId.isNull()) {
        config->nodeUserId = PkXID::fromText(info.hostName());
        settings->userInfoName = std::make_shared<PkXMLStringObject>(pk_id_to_printable(config->nodeUserId));
    }
    saveAppSettings(settings);

    PkDeam::instance()->setState(PK_DEAM_STATE_STARTED);
    PkWeb::instance()->start();
    return 0;
}
