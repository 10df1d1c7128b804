#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// File descriptors and whole reads and writes, for the tools and the installer's own files
// (never the flash, which goes through the kernel interface).
namespace Platform {

// Owns one descriptor and closes it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1);
    int release();

private:
    int m_fd;
};

// Reads until `length` bytes or the end of the file: the count read, or -1 on an error.
ssize_t readAll(int fd, void* buffer, size_t length);
// Writes every byte, retrying short writes and interruptions; at `offset` for pwriteAll.
[[nodiscard]] bool writeAll(int fd, const void* data, size_t length);
[[nodiscard]] bool pwriteAll(int fd, const void* data, size_t length, off_t offset);
// Reads exactly `length` bytes at `offset`; false on an error or an earlier end of the file.
[[nodiscard]] bool preadAll(int fd, void* buffer, size_t length, off_t offset);

// Reads the first `limit` + 1 bytes at most of a regular file, never waiting on a FIFO; false
// with `reason` when it is no regular file or cannot be read.
[[nodiscard]] bool readRegularFile(const std::string& path, size_t limit, std::string& bytes,
                                   std::string& reason);

} // namespace Platform
