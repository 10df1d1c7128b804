// Runs a program and reports its wall time and peak memory from the kernel's
// own account: wait4's rusage, whose ru_maxrss is the peak resident set in
// KiB. (Busybox's time -v takes ru_maxrss for pages and shows four times the
// peak.)
//
//   run_measured OUT_FILE PROGRAM [ARGS...]
//
// The program's stdin, stdout and stderr are this one's. Appends
// "SECONDS MAX_RSS_KIB STATUS" to OUT_FILE; STATUS is the exit status, or
// 128 + the signal that ended it. Exit status: the program's, 125 when it
// cannot be started or measured.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "Platform/Files.h"

namespace {

constexpr int kCannot = 125;

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT_FILE PROGRAM [ARGS...]\n", argv[0]);
        return kCannot;
    }
    Platform::FileDescriptor out(open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!out.valid()) {
        perror(argv[1]);
        return kCannot;
    }
    const double start = now();
    const pid_t child = fork();
    if (child == -1) {
        perror("fork");
        return kCannot;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int wstatus = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(child, &wstatus, 0, &usage);
    } while (waited == -1 && errno == EINTR);
    const double seconds = now() - start;
    if (waited != child) {
        perror("wait4");
        return kCannot;
    }
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    char line[96];
    const int length =
        snprintf(line, sizeof line, "%.3f %ld %d\n", seconds, long(usage.ru_maxrss), status);
    if (length <= 0 || !Platform::writeAll(out.get(), line, size_t(length))) {
        perror(argv[1]);
        return kCannot;
    }
    return status;
}
