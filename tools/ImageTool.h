#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ImageTool {

enum ExitCode {
    ExitGood = 0,
    ExitBadImage = 1, // the image is bad, or create refused its inputs
    ExitUsage = 2,
    ExitIoError = 3,
};

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1);
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Reads until length bytes or end of file: the count read, or -1 on an error.
ssize_t readFully(int fd, void* buffer, size_t length);
bool writeFully(int fd, const void* data, size_t length);
bool pwriteFully(int fd, const void* data, size_t length, off_t offset);

struct Option {
    std::string name;
    std::string value;
};

// Splits arguments into options, in command-line order, and operands. Options named
// in valueOptions take a value ("--name VALUE" or "--name=VALUE"); those in
// flagOptions take none. On a usage error returns false with error set.
bool splitArguments(int argc, char** argv, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, std::vector<Option>& options,
                    std::vector<std::string>& operands, std::string& error);

bool wantsHelp(int argc, char** argv);

// Prints "vexil-image COMMAND: MESSAGE" and a hint to stderr; returns ExitUsage.
int usageError(const char* command, const std::string& message);

// Parses a decimal or 0x-prefixed number that fits 32 bits.
bool parseUint32(const std::string& text, uint32_t& value);

// Subcommands; argv[0] is the command name, out is where their results go.
int runCreate(int argc, char** argv, FILE* out);
int runInfo(int argc, char** argv, FILE* out);
int runVerify(int argc, char** argv, FILE* out);

} // namespace ImageTool
