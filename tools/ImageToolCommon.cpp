#include "tools/ImageTool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ImageTool {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

void FileDescriptor::reset(int fd) {
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fd;
}

ssize_t readFully(int fd, void* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, static_cast<char*>(buffer) + done, length - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

namespace {

// Writes every byte, retrying short writes and interruptions; at `offset` when
// one is given, else at the file position.
bool writeAll(int fd, const void* data, size_t length, const off_t* offset) {
    size_t done = 0;
    while (done < length) {
        const char* from = static_cast<const char*>(data) + done;
        const ssize_t put = offset ? pwrite(fd, from, length - done, *offset + off_t(done))
                                   : write(fd, from, length - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

} // namespace

bool writeFully(int fd, const void* data, size_t length) {
    return writeAll(fd, data, length, nullptr);
}

bool pwriteFully(int fd, const void* data, size_t length, off_t offset) {
    return writeAll(fd, data, length, &offset);
}

static bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool splitArguments(int argc, char** argv, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, std::vector<Option>& options,
                    std::vector<std::string>& operands, std::string& error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = argument;
        std::string value;
        bool inlineValue = false;
        const size_t equals = argument.find('=');
        if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inlineValue = true;
        }
        if (contains(valueOptions, name)) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    error = "option " + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
        } else if (contains(flagOptions, name)) {
            if (inlineValue) {
                error = "option " + name + " takes no value";
                return false;
            }
        } else {
            error = "unknown option " + argument;
            return false;
        }
        options.push_back({name, value});
    }
    return true;
}

bool wantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            return false;
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            return true;
        }
    }
    return false;
}

int usageError(const char* command, const std::string& message) {
    fprintf(stderr, "vexil-image %s: %s\nTry 'vexil-image %s --help'.\n", command, message.c_str(),
            command);
    return ExitUsage;
}

bool parseUint32(const std::string& text, uint32_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    // strtoull alone would accept a sign, blanks and an octal prefix.
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long parsed = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || parsed > UINT32_MAX) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

} // namespace ImageTool
