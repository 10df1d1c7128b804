#include "common/TrustStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace SigningKeys {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

std::string failure(const std::string& path, const std::string& cause) {
    return path + ": " + cause;
}

std::string failure(const std::string& path, const char* action, int error) {
    return failure(path, std::string(action) + ": " + strerror(error));
}

// Reads one more byte than a key file may have, so an oversized file is caught
// without reading all of it.
bool readKeyFile(const std::string& path, std::string& text, std::string& reason) {
    // O_NONBLOCK: a FIFO put in the directory must not hang the installer.
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        reason = failure(path, "cannot open", errno);
        return false;
    }
    struct stat status;
    if (fstat(fd.get(), &status) != 0) {
        reason = failure(path, "cannot stat", errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = failure(path, "not a regular file");
        return false;
    }
    char buffer[maxKeyFileSize + 1];
    size_t size = 0;
    while (size < sizeof buffer) {
        const ssize_t got = read(fd.get(), buffer + size, sizeof buffer - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = failure(path, "cannot read", errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        size += size_t(got);
    }
    text.assign(buffer, size);
    return true;
}

} // namespace

TrustStore::TrustStore(State state, std::string reason, std::vector<PublicKey> keys)
    : m_state(state), m_reason(std::move(reason)), m_keys(std::move(keys)) {}

TrustStore TrustStore::load(const std::string& directory) {
    const auto refuse = [](std::string reason) {
        return TrustStore(Refused, std::move(reason), {});
    };

    const Dir dir(opendir(directory.c_str()));
    if (!dir) {
        const int error = errno;
        if (error != ENOENT) {
            return refuse(failure(directory, "cannot open directory", error));
        }
        struct stat status;
        // A broken link to the store is a broken store, not a missing one.
        if (lstat(directory.c_str(), &status) == 0) {
            return refuse(failure(directory, "symbolic link to nothing"));
        }
        return TrustStore(Absent, "", {});
    }

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return refuse(failure(directory, "cannot read directory", errno));
            }
            break;
        }
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    // The same directory always gives the same reason.
    std::sort(names.begin(), names.end());

    std::vector<PublicKey> keys;
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        std::string text;
        std::string reason;
        if (!readKeyFile(path, text, reason)) {
            return refuse(reason);
        }
        PublicKey key;
        if (!parsePublicKey(text, key, reason)) {
            return refuse(failure(path, "malformed public key file: " + reason));
        }
        keys.push_back(key);
    }
    if (keys.empty()) {
        return refuse(failure(directory, "holds no key file, so no image could be trusted"));
    }
    return TrustStore(Loaded, "", std::move(keys));
}

const PublicKey* TrustStore::find(const KeyId& id) const {
    for (const PublicKey& key : m_keys) {
        if (key.id == id) {
            return &key;
        }
    }
    return nullptr;
}

} // namespace SigningKeys
