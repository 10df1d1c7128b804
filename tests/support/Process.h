#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Runs a program to its end with its standard output and standard error
// captured byte for byte.
struct ProcessOutcome {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// stdinFd, when not -1, becomes the program's standard input.
inline ProcessOutcome runProcess(const std::vector<std::string>& argv, int stdinFd = -1) {
    char dir[] = "/tmp/vexil-process-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    const std::string outPath = std::string(dir) + "/out";
    const std::string errPath = std::string(dir) + "/err";
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (stdinFd >= 0) {
            dup2(stdinFd, STDIN_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessOutcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile(outPath),
                           readWholeFile(errPath)};
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    rmdir(dir);
    return outcome;
}
