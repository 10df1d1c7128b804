#include "Platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Platform {

namespace {

bool writeFrom(int fd, const void* data, size_t length, const off_t* offset) {
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

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

void FileDescriptor::reset(int fd) {
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fd;
}

int FileDescriptor::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

ssize_t readAll(int fd, void* buffer, size_t length) {
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

bool writeAll(int fd, const void* data, size_t length) {
    return writeFrom(fd, data, length, nullptr);
}

bool pwriteAll(int fd, const void* data, size_t length, off_t offset) {
    return writeFrom(fd, data, length, &offset);
}

bool preadAll(int fd, void* buffer, size_t length, off_t offset) {
    auto* at = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t got = pread(fd, at, length, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        at += got;
        length -= size_t(got);
        offset += got;
    }
    return true;
}

bool readRegularFile(const std::string& path, size_t limit, std::string& bytes,
                     std::string& reason) {
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (!fd.valid() || fstat(fd.get(), &status) != 0) {
        reason = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    bytes.assign(limit + 1, '\0');
    const ssize_t got = readAll(fd.get(), &bytes[0], bytes.size());
    if (got < 0) {
        reason = std::string("cannot read: ") + strerror(errno);
        return false;
    }
    bytes.resize(static_cast<size_t>(got));
    return true;
}

} // namespace Platform
