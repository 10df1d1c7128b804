#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Platform/Files.h"
#include "common/ImageDescription.h"
#include "common/ImageStream.h"

namespace ImageTool {

enum ExitCode {
    ExitGood = 0,
    ExitBadImage = 1, // the image is bad, or create refused its inputs
    ExitUsage = 2,
    ExitIoError = 3,
};

using Platform::FileDescriptor;

// A file written under a hidden name beside its path and renamed into place once complete, so
// the path never shows a half-written file. SIGINT, SIGTERM and SIGHUP remove the hidden file.
// Every failure is said on stderr, naming the path.
class OutputFile {
public:
    // `mode` before the umask, for a new file: 0666 for images, 0600 for secret keys. A file
    // replaced keeps its permissions, as open(O_CREAT) would leave them.
    OutputFile(const char* command, std::string path, mode_t mode);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Refuses a path that exists and is not a regular file, or that is one of the inputs, open
    // or `named` (a key file, say).
    bool open(const std::vector<int>& inputs = {}, const std::vector<std::string>& named = {});
    int fd() const { return m_fd.get(); }
    // `replace` false refuses a path that exists by then.
    bool commit(bool replace = true);
    // Says that writing failed, with errno; returns ExitIoError.
    int writeFailed() const;

private:
    const char* m_command;
    std::string m_path;
    std::string m_temporary;
    mode_t m_mode; // once open, what commit gives the file
    FileDescriptor m_fd;
};

// An image read from a descriptor.
class FdSource : public FwImage::ByteSource {
public:
    explicit FdSource(int fd) : m_fd(fd) {}
    long read(void* buffer, unsigned size) override {
        return Platform::readAll(m_fd, buffer, size);
    }
    bool readAt(uint64_t offset, void* buffer, unsigned size) override {
        return Platform::preadAll(m_fd, buffer, size, off_t(offset));
    }

private:
    int m_fd;
};

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

// A command's start: its help, a usage error, or its options and operands. True when the
// command goes on; otherwise false with the status to exit with in `status`.
bool startCommand(int argc, char** argv, FILE* out, const char* command, const char* help,
                  const std::vector<std::string>& valueOptions,
                  const std::vector<std::string>& flagOptions, std::vector<Option>& options,
                  std::vector<std::string>& operands, int& status);

// Parses a decimal or 0x-prefixed number that fits 32 bits.
bool parseUint32(const std::string& text, uint32_t& value);

// The bytes a signed description of `entries` blocks takes, its block header included.
uint64_t descriptionBlockSize(size_t entries);
// Writes the image header (length and version in host order) and, behind it, a description of
// `entries` signed with `key`, at the start of `fd`, where the caller left room for them.
// False with errno on a write error.
bool writeSignedStart(int fd, const ImageHeader& header,
                      const std::vector<ImageDescription::Entry>& entries,
                      const SigningKeys::SecretKey& key);
// Reads a secret key file; false after saying why.
bool loadSecretKey(const char* command, const std::string& path, SigningKeys::SecretKey& key);

// Subcommands; argv[0] is the command name, out is where their results go.
int runCreate(int argc, char** argv, FILE* out);
int runKeygen(int argc, char** argv, FILE* out);
int runSign(int argc, char** argv, FILE* out);
int runInfo(int argc, char** argv, FILE* out);
int runVerify(int argc, char** argv, FILE* out);
int runLayout(int argc, char** argv, FILE* out);

} // namespace ImageTool
