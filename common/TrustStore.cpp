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

// A store that is not there means "no keys" only when nothing on its path could be hiding it:
// every component that exists is a real directory, up to one that does not exist. A link may
// point into a file system that failed to mount, and a component that cannot be looked up may
// hold the store; either refuses. Empty when the store is simply absent.
std::string missingStoreProblem(const std::string& directory) {
    std::string path = directory.compare(0, 1, "/") == 0 ? "/" : "";
    size_t at = 0;
    while (at < directory.size()) {
        const size_t slash = directory.find('/', at);
        const size_t end = slash == std::string::npos ? directory.size() : slash;
        const std::string part = directory.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        path += (path.empty() || path.back() == '/' ? "" : "/") + part;
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            return errno == ENOENT ? "" : failure(path, "cannot look up", errno);
        }
        if (S_ISLNK(status.st_mode)) {
            return failure(path, "a symbolic link on the way to a trust store that is not "
                                 "there (a file system not mounted?)");
        }
        if (!S_ISDIR(status.st_mode)) {
            return failure(path, "not a directory");
        }
    }
    return "";
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
        const std::string problem = missingStoreProblem(directory);
        if (!problem.empty()) {
            return refuse(problem);
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
