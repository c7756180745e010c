// The program: one instance per user, the GTK application, and the engine
// taken down in order after the main loop.
#include <cstdlib>
#include <memory>

#include "app/application.h"
#include "app/info.h"
#include "app/instance.h"
#include "app/resources.h"
#include "windows/info/update_dialog.h"
#include "windows/main/front_window.h"

int main(int argc, char **argv)
{
    VeltranaAppInfo info;
    PkInstanceLock guard;
    switch (guard.acquire(info.productName(false, false))) {
    case PK_INSTANCE_FAILED:
        return -1;
    case PK_INSTANCE_RUNNING:
        pk_show_system_message("Information", "The application is already running");
        return 0;
    case PK_INSTANCE_FIRST:
        break;
    }

    // Fixed-size windows: a font scale from the environment must not grow
    // their text; -1 keeps the toolkit at its own resolution.
    setenv("GDK_DPI_SCALE", "-1", 1);

    // Activation opens the main window once the engine has started; an
    // installer left by an earlier update goes first.
    VeltranaApp::setMainWindowOpener([](const Glib::RefPtr<Gtk::Application> &application) {
        UpdateDialog::removeStaleDownloads();
        return std::shared_ptr<Gtk::Window>(PiApplication::open<FrontWindow>(application, nullptr));
    });
    std::shared_ptr<VeltranaApp> app = createApplication();
    int code = 0;
    if (app) code = app->run(argc, argv);
    shutdownCore();
    html_unregister_resource();
    guard.release();
    app.reset();
    return code;
}
