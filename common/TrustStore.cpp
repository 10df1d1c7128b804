#include "common/TrustStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Platform/Files.h"

namespace SigningKeys {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::string failure(const std::string& path, const std::string& cause) {
    return path + ": " + cause;
}

std::string failure(const std::string& path, const char* action, int error) {
    return failure(path, std::string(action) + ": " + strerror(error));
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
        if (!Platform::readRegularFile(path, maxKeyFileSize, text, reason)) {
            return refuse(failure(path, reason));
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
