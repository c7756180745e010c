// The main window's construction, lifecycle, side-menu commands and
// generated styling. Peer tiles: front_window_tiles.cpp; engine state and
// notices: front_window_engine.cpp.
#include "windows/main/front_window.h"

#include <gdk/gdk.h>

#include <string>
#include <vector>

#include "app/message_box.h"
#include "app/texts.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/names.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "ravelkit/devices.h"
#include "services/bind_channels.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "windows/main/front_window_links.h"

namespace {

const char *const kModule = "front_window";
const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

// One theme's colours; any theme other than light or dark gets all black.
struct FrontPalette {
    unsigned text = 0, separator = 0, splash = 0, side = 0, iconHover = 0, iconPressed = 0, labelHover = 0,
             labelPressed = 0, tiles = 0, main = 0;
};

FrontPalette palette_of(int theme)
{
    if (theme == 0)
        return {0x000000, 0xCECECE, 0xF5F5F5, 0xE4E4E2, 0xD0D0D0, 0xBABABA, 0x303030, 0x606060, 0xF0F0F0, 0xF0F0F0};
    if (theme == 1)
        return {0xFFFFFF, 0x303030, 0x1F1F1F, 0x101010, 0x323232, 0x404040, 0xA0A0A0, 0x707070, 0x212121, 0x212121};
    return {};
}

// The screen's vertical resolution over 96; 1.0 when the toolkit reports
// none. Read afresh each time: the resolution may change while we run.
double dpi_factor()
{
    GdkScreen *screen = gdk_screen_get_default();
    const double dpi = screen != nullptr ? gdk_screen_get_resolution(screen) : 0.0;
    return dpi > 0.0 ? dpi / 96.0 : 1.0;
}

int scaled(double value) { return static_cast<int>(value); }

void set_png(Gtk::Image *image, uint32_t id, int width, int height)
{
    if (image == nullptr) return;
    const std::vector<uint8_t> bytes = loadPngResource(id);
    PiPixbuf::setImage(*image, std::vector<char>(bytes.begin(), bytes.end()), PI_PIXBUF_KIND_ENCODED, width, height);
}

template <class W>
void take(const Glib::RefPtr<Gtk::Builder> &builder, const char *id, W *&widget)
{
    builder->get_widget(id, widget);
}

void hide_if(Gtk::Widget *widget)
{
    if (widget != nullptr) widget->hide();
}

}  // namespace

FrontWindow::FrontWindow(GtkApplicationWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::ApplicationWindow>(cobject)
{
    audioCaptureId = PkXID::fromText(NONE_ID);
    videoCaptureId = PkXID::fromText(NONE_ID);
    scaler.update(false, AppSize{});

    take(builder, "splash_overlay", splashOverlay);
    take(builder, "splash_box", splashBox);
    take(builder, "splash_image", splashImage);
    take(builder, "top_overlay", topOverlay);
    take(builder, "down_overlay", downOverlay);
    take(builder, "discovery_box", discoveryBox);
    take(builder, "users_box", usersBox);
    take(builder, "users_viewport", usersViewport);
    take(builder, "logo_image", logoImage);
    take(builder, "cover_box", coverBox);
    take(builder, "main_box", mainBox);
    take(builder, "side_grid", sideGrid);
    take(builder, "menu_button", menuButton);
    take(builder, "p2m_button", p2mButton);
    take(builder, "incoming_button", incomingButton);
    take(builder, "instruction_button", instructionButton);
    take(builder, "settings_button", settingsButton);
    take(builder, "evaluate_button", evaluateButton);
    take(builder, "update_button", updateButton);
    take(builder, "about_button", aboutButton);
    take(builder, "menu_image", menuImage);
    take(builder, "p2m_image", p2mImage);
    take(builder, "incoming_image", incomingImage);
    take(builder, "instruction_image", instructionImage);
    take(builder, "settings_image", settingsImage);
    take(builder, "evaluate_image", evaluateImage);
    take(builder, "update_image", updateImage);
    take(builder, "about_image", aboutImage);
    take(builder, "menu_right_label", menuRightLabel);
    take(builder, "p2m_right_button", p2mRightButton);
    take(builder, "incoming_right_button", incomingRightButton);
    take(builder, "instruction_right_button", instructionRightButton);
    take(builder, "settings_right_button", settingsRightButton);
    take(builder, "evaluate_right_button", evaluateRightButton);
    take(builder, "update_right_button", updateRightButton);
    take(builder, "about_right_button", aboutRightButton);
    take(builder, "menu_separator", menuSeparator);
    take(builder, "top_separator", topSeparator);
    take(builder, "bottom_separator", bottomSeparator);
    take(builder, "discovery_image", discoveryImage);
    take(builder, "discovery_status", discoveryStatus);
    take(builder, "viewer_label", viewerLabel);

    VeltranaAppInfo info;
    if (discoveryStatus != nullptr) discoveryStatus->set_text(info.initializingText());
    if (viewerLabel != nullptr) viewerLabel->set_text(pk_translate("VIEWER ONLY"));
    const struct {
        Gtk::Button *icon;
        Gtk::Button *label;
        const char *text;
    } pairs[] = {
        {p2mButton, p2mRightButton, "Multichannel streamer"},
        {incomingButton, incomingRightButton, "Incoming connection"},
        {instructionButton, instructionRightButton, "Instruction"},
        {settingsButton, settingsRightButton, "Settings"},
        {evaluateButton, evaluateRightButton, "Performance evaluation"},
        {updateButton, updateRightButton, "Check for updates"},
        {aboutButton, aboutRightButton, "About"},
    };
    for (const auto &pair : pairs) {
        const Glib::ustring text = pk_translate(pair.text);
        if (pair.label != nullptr) pair.label->set_label(text);
        if (pair.icon != nullptr) pair.icon->set_tooltip_text(text);
    }
    if (menuButton != nullptr) menuButton->set_tooltip_text(pk_translate("Options"));

    if (usersBox != nullptr) {
        usersBox->set_can_focus(true);
        usersBox->add_events(Gdk::KEY_PRESS_MASK | Gdk::KEY_RELEASE_MASK);
        usersBox->signal_key_press_event().connect(sigc::mem_fun(*this, &FrontWindow::onUsersKeyPress), true);
    }
    if (menuButton != nullptr) menuButton->signal_clicked().connect(sigc::mem_fun(*this, &FrontWindow::onMenuClicked));
    const auto connect = [this](Gtk::Button *button, void (FrontWindow::*command)()) {
        if (button != nullptr) button->signal_clicked().connect(sigc::mem_fun(*this, command));
    };
    connect(p2mButton, &FrontWindow::onMultichannelClicked);
    connect(incomingButton, &FrontWindow::onIncomingClicked);
    connect(instructionButton, &FrontWindow::onInstructionClicked);
    connect(settingsButton, &FrontWindow::onSettingsClicked);
    connect(evaluateButton, &FrontWindow::onEvaluateClicked);
    connect(aboutButton, &FrontWindow::onAboutClicked);
    connect(p2mRightButton, &FrontWindow::onMultichannelClicked);
    connect(incomingRightButton, &FrontWindow::onIncomingClicked);
    connect(instructionRightButton, &FrontWindow::onInstructionClicked);
    connect(settingsRightButton, &FrontWindow::onSettingsClicked);
    connect(evaluateRightButton, &FrontWindow::onEvaluateClicked);
    connect(updateRightButton, &FrontWindow::onUpdateClicked);
    connect(aboutRightButton, &FrontWindow::onAboutClicked);
    connect(updateButton, &FrontWindow::onUpdateClicked);

    const AppSize start = scaler.levels.size() >= 2 ? scaler.levels[1] : scaler.minimumLevel;
    scaler.currentLevel = start;
    if (start.valid()) resize(static_cast<int>(start.width), static_cast<int>(start.height));
    if (scaler.minimumLevel.valid()) {
        Gdk::Geometry hints{};
        hints.min_width = static_cast<int>(scaler.minimumLevel.width);
        hints.min_height = static_cast<int>(scaler.minimumLevel.height);
        set_geometry_hints(*this, hints, Gdk::HINT_MIN_SIZE);
    }
    applySizeStep(start, true);
    restyle(PiTheme::instance()->effectiveTheme());

    signal_show().connect(sigc::mem_fun(*this, &FrontWindow::onShow), true);
    signal_hide().connect(sigc::mem_fun(*this, &FrontWindow::onHide), true);
    set_title(info.productName(false, false));
    createdAtMs = static_cast<int64_t>(core_clock_mono_ms());
    signal_size_allocate().connect(sigc::mem_fun(*this, &FrontWindow::onSizeAllocate), true);
    startupTimer = Glib::signal_timeout().connect(sigc::mem_fun(*this, &FrontWindow::onStartupWatchdog),
                                                  FRONT_STARTUP_TICK_MS);
}

FrontWindow::~FrontWindow()
{
    startupTimer.disconnect();
    updateTimer.disconnect();
    clearUserTiles();
}

Glib::RefPtr<Gtk::Application> FrontWindow::ownApplication() { return get_application(); }

std::shared_ptr<Gtk::Window> FrontWindow::selfWindow()
{
    std::shared_ptr<FrontWindow> self = weak_from_this().lock();
    return std::shared_ptr<Gtk::Window>(self, static_cast<Gtk::Window *>(self.get()));
}

// ---- structure and lifecycle ----

int FrontWindow::run()
{
    show_all();
    trackButtons(menuButton, nullptr);
    trackButtons(p2mButton, p2mRightButton);
    trackButtons(incomingButton, incomingRightButton);
    trackButtons(instructionButton, instructionRightButton);
    trackButtons(settingsButton, settingsRightButton);
    trackButtons(evaluateButton, evaluateRightButton);
    trackButtons(aboutButton, aboutRightButton);
    trackButtons(updateButton, updateRightButton);
    setTrackedButtonsSensitive(false);
    hide_if(viewerLabel);
    restyle(PiTheme::instance()->effectiveTheme());
    if (rightButtons.empty()) {
        if (menuRightLabel != nullptr) menuRightLabel->show();
    } else {
        for (Gtk::Widget *widget : rightButtons) widget->hide();
        hide_if(menuRightLabel);
    }
    if (sideGrid != nullptr) sideGrid->queue_draw();
    return 0;
}

void FrontWindow::trackButtons(Gtk::Widget *left, Gtk::Widget *right)
{
    const auto add = [](std::vector<Gtk::Widget *> &list, Gtk::Widget *widget) {
        if (widget == nullptr) return;
        for (Gtk::Widget *listed : list)
            if (listed == widget) return;
        list.push_back(widget);
    };
    add(leftButtons, left);
    add(rightButtons, right);
}

void FrontWindow::untrackButtons(Gtk::Widget *left, Gtk::Widget *right)
{
    const auto erase = [](std::vector<Gtk::Widget *> &list, Gtk::Widget *widget) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it == widget) {
                list.erase(it);
                return;
            }
        }
    };
    erase(leftButtons, left);
    erase(rightButtons, right);
}

void FrontWindow::onMenuClicked()
{
    bool wasExpanded = false;
    for (Gtk::Widget *widget : rightButtons) {
        if (widget->get_visible()) {
            widget->hide();
            wasExpanded = true;
        } else {
            widget->show();
        }
    }
    if (menuRightLabel != nullptr) {
        if (wasExpanded)
            menuRightLabel->hide();
        else
            menuRightLabel->show();
    }
    if (sideGrid != nullptr) sideGrid->queue_draw();
}

void FrontWindow::onShow()
{
    std::shared_ptr<FrontWindow> self = shared_from_this();
    PkDeam::instance()->addListener(self);
    std::shared_ptr<PkCenterNotify> centre = PkCenterNotify::instance();
    // A window shown again must not be called twice for every event.
    centre->removeObserver(self);
    centre->addObserver(self);
    // The presence query's answer arrives as onDiscoveryState, even when it
    // repeats the last state; with no engine running nothing is posted and
    // the watchdog reports it.
    centre->resetPresenceState();
    if (engine_node_running() != nullptr) engine_post_command(ENGINE_CMD_PRESENCE_QUERY, nullptr, 0);
    restyle(PiTheme::instance()->effectiveTheme());
    PiTheme::instance()->addListener(self);
    PkWeb::instance()->addListener(self);
}

void FrontWindow::onHide()
{
    std::shared_ptr<FrontWindow> self = shared_from_this();
    if (pendingWebRequest != 0) {
        PkWeb::instance()->cancel(pendingWebRequest);
        pendingWebRequest = 0;
    }
    PkWeb::instance()->removeListener(self);
    PiTheme::instance()->removeListener(self);
    PkCenterNotify::instance()->removeObserver(self);
    PkDeam::instance()->removeListener(self);
    if (startupTimer.connected()) startupTimer.disconnect();
    startupTimer = sigc::connection();
    if (updateTimer.connected()) updateTimer.disconnect();
    updateTimer = sigc::connection();

    Glib::RefPtr<Gtk::Application> application = ownApplication();
    IncomingWindowsManager::instance()->hideAll(application);
    PiApplication::hideOtherWindows(application, selfWindow());
    clearUserTiles();
    PiApplication::dismissWindow<FrontWindow>(application, kZeroId);
}

// ---- commands of the side menu ----

void FrontWindow::onMultichannelClicked()
{
    if (PkBinder::instance()->mode == PK_BINDER_MODE_BROADCAST) {
        presentTotalWindow();
        return;
    }
    PiApplication::openDialog<P2MDialog>(ownApplication(), selfWindow(), kZeroId);
}

void FrontWindow::onIncomingClicked()
{
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    std::shared_ptr<PkBinder> binder = PkBinder::instance();
    if (binder->mode == PK_BINDER_MODE_BROADCAST) {
        IncomingWindowsManager::instance()->showWindow(application, PkXID());
        return;
    }
    std::shared_ptr<PkBinderChannel> bound;
    for (const std::shared_ptr<PkBinderChannel> &channel : binder->channels) {
        if (channel && channel->state == PK_BINDER_CHANNEL_SENT) {
            bound = channel;
            break;
        }
    }
    if (bound && bound->kind == 2) {
        CoreName name;
        core_name_format(&name, "p2p.bnd.%08X.chnl", 0u);
        IncomingWindowsManager::instance()->showWindow(application, PkXID(name));
        return;
    }
    showMessage<MessageDialog>(application, selfWindow(), pk_translate("Incoming connection"),
                               pk_translate("No active incoming connection") + ".");
}

void FrontWindow::onInstructionClicked()
{
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    if (!PiApplication::raiseWindow<InstructionWindow>(application, kZeroId))
        PiApplication::open<InstructionWindow>(application, nullptr);
}

void FrontWindow::onSettingsClicked()
{
    PiApplication::openDialog<SettingsDialog>(ownApplication(), selfWindow(), kZeroId);
}

void FrontWindow::onEvaluateClicked()
{
    PiApplication::openDialog<EvaluateDialog>(ownApplication(), selfWindow(), kZeroId);
}

void FrontWindow::onUpdateClicked()
{
    if (pendingWebRequest != 0) PkWeb::instance()->cancel(pendingWebRequest);
    // No silent check's answer carries this id, so none is acted on while
    // the dialog makes its own.
    pendingWebRequest = UINT64_MAX;
    IPkWeb::Response empty{};
    empty.id = 0;
    empty.type = 0;
    empty.status = -1;
    empty.responseCode = 0;
    std::shared_ptr<UpdateDialog> dialog = openUpdateDialog(ownApplication(), selfWindow(), empty);
    updateChecksStopped = true;
    bool installing = false;
    installing = dialog && dialog->stage == 5;
    if (installing)
        hide();
    else
        pendingWebRequest = 0;
}

void FrontWindow::onAboutClicked()
{
    Glib::RefPtr<Gtk::Application> application = ownApplication();
    if (!PiApplication::raiseWindow<AboutWindow>(application, kZeroId))
        PiApplication::openWindow<AboutWindow>(application, nullptr);
}

// ---- styling ----

void FrontWindow::restyle(int theme)
{
    const FrontPalette colours = palette_of(theme);
    if (discoveryStatus != nullptr) PiCSSLabel().color(colours.text).apply(*discoveryStatus);
    if (discoveryImage != nullptr) {
        PiCSSObjectAnimationRotate spin("spin");
        spin.makeKeyframes();
        PiCSSImage().animation(spin).apply(*discoveryImage);
    }
    for (Gtk::Separator *separator : {menuSeparator, topSeparator, bottomSeparator})
        if (separator != nullptr) PiCSSSeparator().backgroundColor(colours.separator).apply(*separator);
    if (splashBox != nullptr) PiCSSBox().backgroundColor(colours.splash).apply(*splashBox);
    if (sideGrid != nullptr) PiCSSGrid().backgroundColor(colours.side).apply(*sideGrid);
    if (usersViewport != nullptr) PiCSSViewport().backgroundColor(colours.tiles).apply(*usersViewport);
    if (mainBox != nullptr) PiCSSBox().backgroundColor(colours.main).apply(*mainBox);
    if (viewerLabel != nullptr) PiCSSLabel().color(colours.text).apply(*viewerLabel);

    // The icon buttons show only their pictures: text and face share a colour.
    std::string iconSheet;
    const struct {
        const char *pseudo;
        unsigned colour;
        unsigned radius;
    } iconStates[] = {{"", colours.side, 10},
                      {"hover", colours.iconHover, 0},
                      {"active", colours.iconPressed, 0},
                      {"hover:active", colours.iconPressed, 0}};
    for (const auto &state : iconStates) {
        PiCSSButton item(state.pseudo);
        item.backgroundColor(state.colour)
            .color(state.colour)
            .borderRadius(state.radius)
            .borderWidth(0)
            .backgroundImage(PiCSSObject())
            .boxShadow(PiCSSObject());
        if (!iconSheet.empty()) iconSheet += "\n";
        iconSheet += item.toCss();
    }
    for (Gtk::Button *button : {menuButton, p2mButton, incomingButton, instructionButton, settingsButton,
                                evaluateButton, updateButton, aboutButton})
        if (button != nullptr) PiCSSItem::applyCss(*button, iconSheet, "");

    const double dpi = dpi_factor();
    const unsigned labelFont = static_cast<unsigned>(scaled(13 * dpi));
    std::string labelSheet;
    const struct {
        const char *pseudo;
        unsigned colour;
    } labelStates[] = {{"", colours.text},
                       {"hover", colours.labelHover},
                       {"active", colours.labelPressed},
                       {"hover:active", colours.labelPressed}};
    for (const auto &state : labelStates) {
        PiCSSButton item(state.pseudo);
        item.background(colours.side)
            .backgroundColor(colours.side)
            .color(state.colour)
            .border(0)
            .borderRadius(0)
            .borderWidth(0)
            .borderImage(PiCSSObject())
            .backgroundImage(PiCSSObject())
            .boxShadow(PiCSSObject())
            .fontWeight(500)
            .fontSize(labelFont);
        if (!labelSheet.empty()) labelSheet += "\n";
        labelSheet += item.toCss();
    }
    for (Gtk::Widget *widget : rightButtons) PiCSSItem::applyCss(*widget, labelSheet, "");

    if (theme == 0 || theme == 1) {
        const bool dark = theme == 1;
        const int edge = dark ? scaled(13 * dpi * 125 / 100) : 24;
        const struct {
            Gtk::Image *image;
            uint32_t light, dark;
        } pictures[] = {{menuImage, 121, 122},        {p2mImage, 126, 127},      {incomingImage, 117, 118},
                        {instructionImage, 119, 120}, {settingsImage, 124, 125}, {evaluateImage, 163, 164},
                        {aboutImage, 110, 111},       {updateImage, 155, 156}};
        for (const auto &picture : pictures)
            set_png(picture.image, dark ? picture.dark : picture.light, edge, edge);
    }
    applySizeStep(scaler.currentLevel, false);
}

void FrontWindow::applySizeStep(AppSize level, bool initial)
{
    const int h = static_cast<int>(level.height);
    const int w = static_cast<int>(level.width);
    const int b = h / 15;
    const int logo = b * 75 / 100;
    const int font = logo * 70 / 100;
    const int spinner = ((font + 2) / 4) * 4;
    const int splashWidth = w * 35 / 100;
    const int theme = PiTheme::instance()->effectiveTheme();
    const double dpi = dpi_factor();

    if (initial) {
        if (topOverlay != nullptr) topOverlay->set_size_request(-1, b);
        if (downOverlay != nullptr) downOverlay->set_size_request(-1, b);
        if (discoveryStatus != nullptr)
            PiCSSLabel().fontSize(static_cast<unsigned>(scaled(font * dpi))).apply(*discoveryStatus);
        if (viewerLabel != nullptr)
            PiCSSLabel().fontSize(static_cast<unsigned>(scaled((font - font / 16) * dpi))).fontBold().apply(*viewerLabel);
    }
    if (theme != 0 && theme != 1) return;
    const bool dark = theme == 1;
    set_png(logoImage, dark ? 132 : 131, -1, scaled(logo * dpi));
    set_png(discoveryImage, dark ? 187 : 186, scaled(spinner * dpi), scaled(spinner * dpi));
    if (splashBox != nullptr) set_png(splashImage, dark ? 130 : 128, splashWidth, -1);
}

void FrontWindow::onSizeAllocate(Gtk::Allocation &allocation)
{
    const AppSize size{static_cast<uint32_t>(allocation.get_width()), static_cast<uint32_t>(allocation.get_height())};
    AppSize level = scaler.minimumLevel;
    if (size == lastAllocation) return;
    lastAllocation = size;
    if (size == scaler.currentLevel) return;
    const int from = scaler.levelIndex(scaler.currentLevel);
    const int to = scaler.levelIndex(size);
    if (from != -1 && to != -1) level = scaler.levels[static_cast<size_t>(to)];
    scaler.currentLevel = size;
    if (from == to) return;
    if (usersBox != nullptr) {
        for (Gtk::Widget *child : usersBox->get_children()) {
            auto *cell = dynamic_cast<Gtk::FlowBoxChild *>(child);
            auto *tile = cell != nullptr ? dynamic_cast<FrontWindowUser *>(cell->get_child()) : nullptr;
            if (tile != nullptr) tile->relayout(level);
        }
    }
    applySizeStep(level, true);
}

void FrontWindow::onThemeChanged(int theme) { restyle(theme); }
