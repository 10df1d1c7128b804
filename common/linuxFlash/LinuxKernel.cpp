#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "common/linuxFlash/KernelInterface.h"

namespace LinuxFlash {

namespace {

class LinuxDirectory : public DirectoryStream {
public:
    explicit LinuxDirectory(DIR* directory) : m_directory(directory) {}
    ~LinuxDirectory() override { closedir(m_directory); }
    LinuxDirectory(const LinuxDirectory&) = delete;
    LinuxDirectory& operator=(const LinuxDirectory&) = delete;

    bool next(std::string& name) override {
        const struct dirent64* entry = readdir64(m_directory);
        if (entry == nullptr) {
            return false;
        }
        name = entry->d_name;
        return true;
    }

private:
    DIR* m_directory;
};

class LinuxKernel : public KernelInterface {
public:
    // The flash modules never create a file; should a caller, it gets the usual mode.
    int open(const char* path, int flags) override { return ::open64(path, flags, 0666); }
    ssize_t read(int fd, void* buffer, size_t count) override { return ::read(fd, buffer, count); }
    ssize_t write(int fd, const void* buffer, size_t count) override {
        return ::write(fd, buffer, count);
    }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
    int flock(int fd, int operation) override { return ::flock(fd, operation); }
    std::unique_ptr<DirectoryStream> openDirectory(const char* path) override {
        DIR* directory = opendir(path);
        if (directory == nullptr) {
            return nullptr;
        }
        return std::make_unique<LinuxDirectory>(directory);
    }
};

} // namespace

KernelInterface& linuxKernel() {
    static LinuxKernel s_linux;
    return s_linux;
}

} // namespace LinuxFlash
