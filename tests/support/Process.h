#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/FdCapture.h"

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

// In a child: the program in place of the process, or exit status 127.
[[noreturn]] inline void execProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

inline ProcessOutcome runProcess(const std::vector<std::string>& argv) {
    OutputCapture output; // inherited by the child
    const pid_t pid = fork();
    if (pid == 0) {
        execProgram(argv);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output.out(), output.err()};
}
