#include "tools/ImageTool.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace ImageTool {

namespace {

// Hidden files in the making, for the signal handler: plain arrays, since it may only make
// async-signal-safe calls.
constexpr int maxPending = 2;
char s_pending[maxPending][PATH_MAX];
const int s_signals[] = {SIGINT, SIGTERM, SIGHUP};

void removePending(int signal) {
    for (char* path : s_pending) {
        if (path[0] != '\0') {
            unlink(path);
        }
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// Holds back the signals whose handler removes hidden files, while a file is made or the
// table changes, so the handler never misses a file or sees half a path.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (const int signal : s_signals) {
            sigaddset(&blocked, signal);
        }
        sigprocmask(SIG_BLOCK, &blocked, &m_previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t m_previous;
};

void track(const std::string& path) {
    for (char* slot : s_pending) {
        if (slot[0] == '\0') {
            snprintf(slot, PATH_MAX, "%s", path.c_str());
            break;
        }
    }
    for (const int signal : s_signals) {
        ::signal(signal, removePending);
    }
}

void untrack(const std::string& path) {
    for (char* slot : s_pending) {
        if (path == slot) {
            slot[0] = '\0';
        }
    }
}

void syncDirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        fsync(fd.get());
    }
}

} // namespace

OutputFile::OutputFile(const char* command, std::string path, mode_t mode)
    : m_command(command), m_path(std::move(path)), m_mode(mode) {}

OutputFile::~OutputFile() {
    if (m_fd.valid()) {
        SignalsHeld held;
        m_fd.reset();
        unlink(m_temporary.c_str());
        untrack(m_temporary);
    }
}

bool OutputFile::open(const std::vector<int>& inputs, const std::vector<std::string>& named) {
    struct stat existing;
    if (lstat(m_path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            fprintf(stderr, "vexil-image %s: '%s' exists and is not a regular file\n", m_command,
                    m_path.c_str());
            return false;
        }
        const auto same = [&existing](const struct stat& info) {
            return info.st_dev == existing.st_dev && info.st_ino == existing.st_ino;
        };
        bool input = false;
        for (const int fd : inputs) {
            struct stat info;
            input = input || (fstat(fd, &info) == 0 && same(info));
        }
        for (const std::string& path : named) {
            struct stat info;
            input = input || (stat(path.c_str(), &info) == 0 && same(info));
        }
        if (input) {
            fprintf(stderr, "vexil-image %s: '%s' is also an input\n", m_command, m_path.c_str());
            return false;
        }
        m_mode = existing.st_mode & 0777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        m_mode &= ~mask;
    }
    const size_t slash = m_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : m_path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
    m_temporary = directory + "." + base + ".tmp-XXXXXX";
    if (m_temporary.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
    } else {
        SignalsHeld held;
        m_fd.reset(mkostemp(&m_temporary[0], O_CLOEXEC));
        if (m_fd.valid()) {
            track(m_temporary);
        }
    }
    if (!m_fd.valid()) {
        fprintf(stderr, "vexil-image %s: cannot create '%s': %s\n", m_command, m_path.c_str(),
                strerror(errno));
        return false;
    }
    return true;
}

bool OutputFile::commit(bool replace) {
    // mkostemp makes the file 0600; it gets what open(O_CREAT, mode) would have given.
    bool done = fchmod(m_fd.get(), m_mode) == 0 && fsync(m_fd.get()) == 0;
    if (done && replace) {
        done = rename(m_temporary.c_str(), m_path.c_str()) == 0;
    } else if (done) {
        done = link(m_temporary.c_str(), m_path.c_str()) == 0;
        if (done) {
            unlink(m_temporary.c_str());
        }
    }
    if (!done) {
        writeFailed();
        return false;
    }
    {
        SignalsHeld held;
        m_fd.reset();
        untrack(m_temporary);
    }
    syncDirectoryOf(m_path);
    return true;
}

int OutputFile::writeFailed() const {
    fprintf(stderr, "vexil-image %s: cannot write '%s': %s\n", m_command, m_path.c_str(),
            strerror(errno));
    return ExitIoError;
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

bool startCommand(int argc, char** argv, FILE* out, const char* command, const char* help,
                  const std::vector<std::string>& valueOptions,
                  const std::vector<std::string>& flagOptions, std::vector<Option>& options,
                  std::vector<std::string>& operands, int& status) {
    std::string error;
    if (wantsHelp(argc, argv)) {
        fputs(help, out);
        status = ExitGood;
    } else if (!splitArguments(argc, argv, valueOptions, flagOptions, options, operands, error)) {
        status = usageError(command, error);
    } else {
        return true;
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
