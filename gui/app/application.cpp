#include "app/application.h"

#include <exception>

#include "app/info.h"
#include "app/texts.h"
#include "core/log.h"
#include "engine/engine.h"
#include "notifications/notifications.h"
#include "services/bind_channels.h"
#include "services/centre.h"
#include "services/config.h"
#include "services/media.h"
#include "services/pump.h"
#include "services/web.h"
#include "toolkit/theme.h"
#include "toolkit/tray.h"
#include "toolkit/window.h"

namespace {

constexpr const char *kModule = "shell";
constexpr const char *kApplicationId = "net.veltrana";

}  // namespace

VeltranaApp::VeltranaApp(const Glib::ustring &optionName)
    // Not unique on the bus: the single-instance guard turns a second
    // process away before this, and a unique application would instead run
    // the second process's activation again inside the first.
    : PiApplication(kApplicationId, Gio::APPLICATION_HANDLES_COMMAND_LINE | Gio::APPLICATION_NON_UNIQUE),
      toastOptionName(optionName)
{
    PkConfig::instance();
}

VeltranaApp::~VeltranaApp() = default;

std::shared_ptr<VeltranaApp> VeltranaApp::create(const Glib::ustring &optionName)
{
    // The GTK object's first reference belongs to the shared pointer; its
    // release finalizes the object, which deletes this wrapper.
    return std::shared_ptr<VeltranaApp>(new VeltranaApp(optionName), [](VeltranaApp *app) { app->unreference(); });
}

void VeltranaApp::onShutdownStarting() { pk_binder_unbind(PkXID(), true); }

void VeltranaApp::onShutdownFinished()
{
    const std::shared_ptr<VeltranaApp> self = shared_from_this();
    PkDeam::instance()->removeListener(self);
    PkBinder::instance()->reset();
    PiTheme::instance()->stopWatcher();
    const std::shared_ptr<PiMenu> menu = PiMenu::instance();
    menu->removeIcon(menu->guid);
    PkDeamProcessing::instance()->removeListener(PkCenterNotify::instance());
    PkDeamProcessing::shutdown();
    PkDeam::shutdown();
}

std::shared_ptr<VeltranaApp> createApplication()
{
    std::shared_ptr<VeltranaApp> app;
    try {
        app = VeltranaApp::create(PK_TOAST_OPTION_NAME);
    } catch (const std::exception &error) {
        core_log(CORE_LOG_ERROR, kModule, "the application object could not be made: %s", error.what());
        return nullptr;
    }
    // The toolkit takes the windows' icon from the program's pictures.
    PiWindowIcon::setPngLoader(loadPngResource);
    const std::shared_ptr<Notifications> notifications = Notifications::instance();
    VeltranaAppInfo info;
    notifications->applicationName = info.productName(false, false);
    notifications->applicationUserModelId = info.applicationId();
    PkDeam::instance()->addListener(app);
    return app;
}

void shutdownCore()
{
    PkWeb::instance()->stop();

    const std::shared_ptr<PkDeam> facade = PkDeam::instance();
    facade->notifyShutdownStarting();
    facade->queue.stop();
    const uint64_t none[2] = {0, 0};
    pk_media_set_view_window(none, 0, RavkRectangle{0, 0, 0, 0});
    engine_go_offline_sync();
    facade->notifyStopping();
    engine_stop_sync();
    facade->requestedState.store(PK_DEAM_STATE_NONE);
    facade->notifyShutdownFinished();
}
