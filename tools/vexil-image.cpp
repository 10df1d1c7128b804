#include <cstdio>
#include <cstring>

#include "tools/ImageTool.h"

namespace {

// Each command once: the dispatch and the help text are both made from this table.
const struct Command {
    const char* name;
    int (*run)(int argc, char** argv, FILE* out);
    const char* summary;
} s_commands[] = {
    {"create", ImageTool::runCreate, "build an image from one payload file per volume"},
    {"info", ImageTool::runInfo, "show an image's header and blocks, and whether it verifies"},
    {"verify", ImageTool::runVerify, "check an image; one line and the exit status"},
    {"keygen", ImageTool::runKeygen, "make a key pair for signing images"},
    {"sign", ImageTool::runSign, "sign an image, or sign it again"},
    {"layout", ImageTool::runLayout, "print the board's layout as shell variables, for scripts"},
};

void printHelp(FILE* to) {
    fputs("Usage: vexil-image COMMAND [ARGUMENTS]\n"
          "\n"
          "Builds and checks firmware images for the VexilImageInstaller.\n"
          "\n"
          "Commands:\n",
          to);
    for (const Command& command : s_commands) {
        fprintf(to, "  %-8s %s\n", command.name, command.summary);
    }
    fputs("\nRun 'vexil-image COMMAND --help' for a command's options.\n", to);
}

int run(int argc, char** argv, FILE* out) {
    if (argc < 2) {
        printHelp(stderr);
        return ImageTool::ExitUsage;
    }
    const char* name = argv[1];
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0 || strcmp(name, "help") == 0) {
        printHelp(out);
        return ImageTool::ExitGood;
    }
    for (const Command& command : s_commands) {
        if (strcmp(name, command.name) == 0) {
            return command.run(argc - 1, argv + 1, out);
        }
    }
    fprintf(stderr, "vexil-image: unknown command '%s'\nTry 'vexil-image --help'.\n", name);
    return ImageTool::ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv, stdout);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("vexil-image: standard output");
        return ImageTool::ExitIoError;
    }
    return status;
}
