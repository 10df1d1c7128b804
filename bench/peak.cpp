// Runs a command and writes its wall time, peak memory and exit status to a file:
//
//   peak OUT COMMAND [ARG]...
//
// OUT gets one line "SECONDS PEAK_KIB STATUS": SECONDS of wall time, PEAK_KIB the command's
// peak resident set (wait4's ru_maxrss, the largest of the command and the children it waited
// for), STATUS its exit status or 128 + the signal that ended it. busybox `time -v` takes
// ru_maxrss for pages and so reports four times the real figure. A SIGTERM or SIGINT to peak
// goes on to the command, so a service started under peak is stopped through it. peak exits
// with the command's status, 127 when it cannot be run, 125 on its own errors.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "Platform/Files.h"

namespace {

volatile sig_atomic_t g_child = 0;

void forward(int signal) {
    if (g_child > 0) {
        kill(g_child, signal);
    }
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peak OUT COMMAND [ARG]...\n");
        return 125;
    }
    Platform::FileDescriptor out(open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) {
        std::perror(argv[1]);
        return 125;
    }
    struct sigaction action {};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const double start = now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 125;
    }
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    g_child = child;
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 125;
        }
    }
    const double seconds = now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::string line = std::to_string(seconds) + " " + std::to_string(usage.ru_maxrss) + " " +
                             std::to_string(code) + "\n";
    if (!Platform::writeAll(out.get(), line.data(), line.size())) {
        std::perror(argv[1]);
        return 125;
    }
    return code;
}
