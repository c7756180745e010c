#include "gtk_env.h"

#include <gtk/gtk.h>
#include <gtkmm/main.h>
// Xlib after gtkmm: its macros clash with gtkmm names.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

pid_t g_xvfb = 0;

void stop_xvfb()
{
    if (g_xvfb <= 0) return;
    kill(g_xvfb, SIGTERM);
    waitpid(g_xvfb, nullptr, 0);
    g_xvfb = 0;
}

// Xvfb picks a free display number itself (-displayfd) and writes it once it
// accepts connections: no race with other test programs starting servers.
std::string start_xvfb()
{
    int ready[2];
    if (pipe(ready) != 0) return "no pipe for Xvfb";
    g_xvfb = fork();
    if (g_xvfb < 0) return "fork failed";
    if (g_xvfb == 0) {
        // The server goes with the test even when the test is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(ready[0]);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        const std::string fd = std::to_string(ready[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               "-noreset", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    atexit(stop_xvfb);
    std::string number;
    struct pollfd waiting = {ready[0], POLLIN, 0};
    char c = 0;
    // A bound for a machine busy with other suites, not a measured time.
    while (poll(&waiting, 1, 30000) == 1 && read(ready[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(ready[0]);
    if (number.empty() || c != '\n') {
        stop_xvfb();
        return "Xvfb is not installed or did not start";
    }
    const std::string name = ":" + number;
    Display *d = XOpenDisplay(name.c_str());
    if (d == nullptr) return "Xvfb started but refuses connections";
    XCloseDisplay(d);
    setenv("DISPLAY", name.c_str(), 1);
    return "";
}

}  // namespace

void pi_test_gtkmm_wrappers()
{
    static const bool done = [] {
        Gtk::Main::init_gtkmm_internals();
        return true;
    }();
    (void)done;
}

std::string pi_test_gtk_start()
{
    static const std::string why = [] {
        // No accessibility bridge: it would look for a session bus and
        // start one through dbus-launch.
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GDK_BACKEND", "x11", 1);
        std::string x = start_xvfb();
        if (!x.empty()) return x;
        if (!gtk_init_check(nullptr, nullptr)) return std::string("gtk_init failed on the private display");
        pi_test_gtkmm_wrappers();
        return std::string();
    }();
    return why;
}

void pi_test_iterate_once(int wait_ms)
{
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
}

// Fontconfig keeps the font patterns Pango asked for until FcFini, which no
// one calls; Pango's font map lives for the process. GLib's library
// constructor abandons its first quark block on purpose. Our code allocates
// none of these.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:_dl_init\n"
           "leak:libfontconfig.so\n";
}

// GLib is built without frame pointers: the fast unwinder stops inside it.
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; }
