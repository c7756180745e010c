// A dbus-daemon of the test's own, so no desktop is needed and nothing of
// the user's session is touched. Tests that talk to a desktop service over
// the session bus start one and serve the service on it themselves.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

class PrivateSessionBus {
public:
    PrivateSessionBus()
    {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            // The daemon goes with the test even when the test is killed, and
            // keeps its complaints (fd limits of a container) to itself.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], STDOUT_FILENO);
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, STDERR_FILENO);
            close(out[0]);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') address.push_back(c);
        close(out[0]);
    }
    ~PrivateSessionBus()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    bool running() const { return pid > 0 && !address.empty(); }

    pid_t pid = -1;
    std::string address;
};
