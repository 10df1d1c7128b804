#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tools/ImageTool.h"

namespace {

const char* const toolHelp =
    "Usage: vexil-image COMMAND [ARGUMENTS]\n"
    "\n"
    "Builds and checks firmware images for the VexilImageInstaller.\n"
    "\n"
    "Commands:\n"
    "  create   build an image from one payload file per volume\n"
    "  info     show an image's header and blocks, and whether it verifies\n"
    "  verify   check an image; one line and the exit status\n"
    "  keygen   make a key pair for signing images\n"
    "  sign     sign an image, or sign it again\n"
    "\n"
    "Run 'vexil-image COMMAND --help' for a command's options.\n";

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
        fputs(toolHelp, stderr);
        return ImageTool::ExitUsage;
    }
    const char* command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 ||
        strcmp(command, "help") == 0) {
        fputs(toolHelp, out);
        return ImageTool::ExitGood;
    }
    if (strcmp(command, "create") == 0) {
        return ImageTool::runCreate(argc - 1, argv + 1, out);
    }
    if (strcmp(command, "info") == 0) {
        return ImageTool::runInfo(argc - 1, argv + 1, out);
    }
    if (strcmp(command, "verify") == 0) {
        return ImageTool::runVerify(argc - 1, argv + 1, out);
    }
    if (strcmp(command, "keygen") == 0) {
        return ImageTool::runKeygen(argc - 1, argv + 1, out);
    }
    if (strcmp(command, "sign") == 0) {
        return ImageTool::runSign(argc - 1, argv + 1, out);
    }
    fprintf(stderr, "vexil-image: unknown command '%s'\nTry 'vexil-image --help'.\n", command);
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
