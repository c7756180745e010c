#include "desktop_env.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char **environ;

namespace {

pid_t g_xvfb = 0;
pid_t g_pulse = 0;
std::string g_pulse_dir;

bool have(const char *binary) { return ravk_test_run(std::string("command -v ") + binary + " >/dev/null && echo y") == "y\n"; }

pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &extra_env)
{
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++) env_text.emplace_back(*e);
    for (const auto &e : extra_env) env_text.push_back(e);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

void stop(pid_t *pid)
{
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (waitpid(*pid, nullptr, WNOHANG) == *pid) {
            *pid = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
    *pid = 0;
}

template <class Ready>
bool wait_for(Ready ready)
{
    for (int i = 0; i < 200; i++) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string start_xvfb()
{
    int display = -1;
    for (int n = 91; n < 200 && display < 0; n++) {
        struct stat st;
        const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n), lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (stat(sock.c_str(), &st) != 0 && stat(lock.c_str(), &st) != 0) display = n;
    }
    if (display < 0) return "no free X display number";
    const std::string name = ":" + std::to_string(display);
    // -noreset: by default the server resets whenever its last client
    // leaves, dropping what tests painted, and a client that connects
    // during the reset can wait for it.
    g_xvfb = spawn({"Xvfb", name, "-screen", "0", "1280x720x24", "-screen", "1", "800x600x24", "+extension", "RANDR",
                    "-nolisten", "tcp", "-noreset"},
                   {});
    if (g_xvfb == 0) return "Xvfb did not start";
    setenv("DISPLAY", name.c_str(), 1);
    const bool up = wait_for([] {
        Display *d = XOpenDisplay(nullptr);
        if (d) XCloseDisplay(d);
        return d != nullptr;
    });
    return up ? "" : "Xvfb did not come up";
}

std::string start_pulse()
{
    char dir[] = "/tmp/ravk-pa-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "no runtime folder for PulseAudio";
    g_pulse_dir = dir;
    const std::string sock = g_pulse_dir + "/pa.sock";
    g_pulse = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                     "--load=module-native-protocol-unix socket=" + sock + " auth-anonymous=1",
                     "--load=module-null-sink sink_name=sink_a", "--load=module-null-sink sink_name=sink_b",
                     "--load=module-null-source source_name=mic"},
                    {"XDG_RUNTIME_DIR=" + g_pulse_dir, "PULSE_RUNTIME_PATH=" + g_pulse_dir + "/pulse",
                     "HOME=" + g_pulse_dir});
    if (g_pulse == 0) return "pulseaudio did not start";
    setenv("PULSE_SERVER", ("unix:" + sock).c_str(), 1);
    // Our own clients must not autospawn or look at the user's server.
    setenv("PULSE_RUNTIME_PATH", (g_pulse_dir + "/client").c_str(), 1);
    if (!wait_for([] {
            int status = -1;
            ravk_test_run("pactl info >/dev/null 2>&1", &status);
            return status == 0;
        }))
        return "PulseAudio did not come up";
    int status = -1;
    ravk_test_run("pactl set-default-source mic", &status);
    return status == 0 ? "" : "cannot make the null source the default";
}

}  // namespace

std::string ravk_test_run(const std::string &command, int *status)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string ravk_test_desktop_start()
{
    static const std::string why = [] {
        for (const char *b : {"Xvfb", "pulseaudio", "pactl"})
            if (!have(b)) return std::string(b) + " is not installed (scripts/install-deps.sh)";
        std::string x = start_xvfb();
        std::string p = x.empty() ? start_pulse() : std::string();
        atexit(ravk_test_desktop_stop);
        return x.empty() ? p : x;
    }();
    return why;
}

void ravk_test_desktop_stop()
{
    stop(&g_pulse);
    stop(&g_xvfb);
    if (!g_pulse_dir.empty()) ravk_test_run("rm -rf '" + g_pulse_dir + "'");
    g_pulse_dir.clear();
}

uint32_t ravk_test_centre_pixel(const std::string &source)
{
    // The frame reduced to 3x3 pixels: the middle one is the centre's colour.
    const std::string bytes = ravk_test_run(
        "timeout 10 gst-launch-1.0 -q ximagesrc " + source +
        " use-damage=false show-pointer=false num-buffers=1 ! videoconvert ! videoscale ! "
        "video/x-raw,format=RGBx,width=3,height=3 ! fdsink fd=1 2>/dev/null");
    if (bytes.size() != 36) return 0xFFFFFFFF;
    const auto *px = reinterpret_cast<const uint8_t *>(bytes.data()) + 12 + 4;
    return uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2];
}

struct RavkTestWindow {
    Display *display;
    Window window;
};

RavkTestWindow *ravk_test_paint_screen(const char *display_name)
{
    Display *dpy = XOpenDisplay(display_name);
    if (dpy == nullptr) return nullptr;
    const int s = DefaultScreen(dpy);
    XColor red{};
    red.red = 0xFFFF;
    red.flags = DoRed | DoGreen | DoBlue;
    if (!XAllocColor(dpy, DefaultColormap(dpy, s), &red)) {
        XCloseDisplay(dpy);
        return nullptr;
    }
    // Override-redirect: no window manager decides where it goes.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = red.pixel;
    Window w = XCreateWindow(dpy, RootWindow(dpy, s), 0, 0, DisplayWidth(dpy, s), DisplayHeight(dpy, s), 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(dpy, w);
    XSync(dpy, False);
    return new RavkTestWindow{dpy, w};
}

void ravk_test_window_destroy(RavkTestWindow *window)
{
    if (window == nullptr) return;
    XDestroyWindow(window->display, window->window);
    XCloseDisplay(window->display);
    delete window;
}
