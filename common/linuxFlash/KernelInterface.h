#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

namespace LinuxFlash {

// One listing of a directory; the entries come in the order the provider yields them.
class DirectoryStream {
public:
    virtual ~DirectoryStream() = default;
    // The next entry's name; false at the end of the directory.
    virtual bool next(std::string& name) = 0;
};

// Every system call of the flash modules goes through this interface, so the same paths,
// request codes and record bytes reach the kernel or any other provider.
class KernelInterface {
public:
    virtual ~KernelInterface() = default;
    // A descriptor, or -1 with errno set.
    virtual int open(const char* path, int flags) = 0;
    virtual ssize_t read(int fd, void* buffer, size_t count) = 0;
    virtual ssize_t write(int fd, const void* buffer, size_t count) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    // flock(2): a lock on the file a descriptor is open on, dropped when that file is closed.
    virtual int flock(int fd, int operation) = 0;
    // Null with errno set when the directory cannot be opened.
    virtual std::unique_ptr<DirectoryStream> openDirectory(const char* path) = 0;
};

// The running Linux kernel.
KernelInterface& linuxKernel();

// Owns one descriptor opened through a kernel interface and closes it there.
class KernelFile {
public:
    KernelFile(KernelInterface& kernel, const std::string& path, int flags)
        : m_kernel(kernel), m_fd(kernel.open(path.c_str(), flags)) {}
    ~KernelFile() {
        if (m_fd != -1) {
            m_kernel.close(m_fd);
        }
    }
    KernelFile(const KernelFile&) = delete;
    KernelFile& operator=(const KernelFile&) = delete;

    bool isOpen() const { return m_fd != -1; }
    ssize_t read(void* buffer, size_t count) { return m_kernel.read(m_fd, buffer, count); }

private:
    KernelInterface& m_kernel;
    int m_fd;
};

} // namespace LinuxFlash
