#include <fcntl.h>
#include <unistd.h>

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

// The parser logs to stdout. The tool's own output goes through a copy of the
// original stdout, and fd 1 points at /dev/null, so the log never mixes in.
class ToolOutput {
public:
    ToolOutput() {
        fflush(stdout);
        ImageTool::FileDescriptor copy(dup(STDOUT_FILENO));
        ImageTool::FileDescriptor null(open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (!copy.valid() || !null.valid() || dup2(null.get(), STDOUT_FILENO) < 0) {
            return;
        }
        m_file = fdopen(copy.get(), "w");
        if (m_file != nullptr) {
            copy.release();
        }
    }
    ~ToolOutput() { close(); }
    ToolOutput(const ToolOutput&) = delete;
    ToolOutput& operator=(const ToolOutput&) = delete;

    FILE* file() const { return m_file; }

    // False when buffered output could not be written.
    bool close() {
        FILE* file = m_file;
        m_file = nullptr;
        return file == nullptr || fclose(file) == 0;
    }

private:
    FILE* m_file = nullptr;
};

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
    ToolOutput output;
    if (output.file() == nullptr) {
        perror("vexil-image: standard output");
        return ImageTool::ExitIoError;
    }
    const int status = run(argc, argv, output.file());
    if (!output.close()) {
        perror("vexil-image: standard output");
        return ImageTool::ExitIoError;
    }
    return status;
}
