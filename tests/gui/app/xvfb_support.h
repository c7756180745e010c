// A private Xvfb of a chosen screen size for the shell's suites: the
// server picks a free display number itself (-displayfd) and goes with the
// test process even when that is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace apptest {

struct Xvfb {
    pid_t pid = 0;
    std::string name;  // ":N", empty when the server did not start

    explicit Xvfb(const char *screen)
    {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(ready[0]);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
            const std::string fd = std::to_string(ready[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        struct pollfd waiting = {ready[0], POLLIN, 0};
        char c = 0;
        std::string number;
        // A bound for a busy machine, not a measured time.
        while (poll(&waiting, 1, 30000) == 1 && read(ready[0], &c, 1) == 1 && c != '\n') number.push_back(c);
        close(ready[0]);
        if (!number.empty() && c == '\n') name = ":" + number;
    }
    ~Xvfb()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;
};

}  // namespace apptest
