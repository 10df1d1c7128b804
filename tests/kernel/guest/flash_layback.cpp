// Lays a saved copy of the flash back onto the device, eraseblock by
// eraseblock, writing only those whose first page differs. UBI never changes
// an eraseblock without writing its headers there (an erase bumps the erase
// counter, a write adds a VID header), so the first page tells them apart;
// copying 128 MiB for each of dozens of power-cut cases would dominate the
// suite's time.
//
// Usage: flash_layback SAVED DEVICE ERASEBLOCK_SIZE
// Prints the number of eraseblocks written. Exit 1 on any error.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Platform/Files.h"

namespace {

bool readAt(int fd, unsigned char* buffer, size_t count, off_t offset) {
    return pread(fd, buffer, count, offset) == ssize_t(count);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        fprintf(stderr, "usage: flash_layback SAVED DEVICE ERASEBLOCK_SIZE\n");
        return 1;
    }
    const size_t eraseblock = strtoul(argv[3], nullptr, 0);
    const size_t page = 4096 < eraseblock ? 4096 : eraseblock;
    const Platform::FileDescriptor saved(open(argv[1], O_RDONLY));
    const Platform::FileDescriptor device(open(argv[2], O_RDWR));
    struct stat info;
    if (saved.get() < 0 || device.get() < 0 || fstat(saved.get(), &info) != 0 || eraseblock == 0 ||
        size_t(info.st_size) % eraseblock != 0) {
        fprintf(stderr, "flash_layback: %s\n", errno ? strerror(errno) : "bad sizes");
        return 1;
    }
    std::vector<unsigned char> want(eraseblock);
    std::vector<unsigned char> have(page);
    unsigned written = 0;
    for (off_t at = 0; at < info.st_size; at += off_t(eraseblock)) {
        if (!readAt(saved.get(), want.data(), page, at) ||
            !readAt(device.get(), have.data(), page, at)) {
            perror("flash_layback: read");
            return 1;
        }
        if (memcmp(want.data(), have.data(), page) == 0) {
            continue;
        }
        if (!readAt(saved.get(), want.data(), eraseblock, at) ||
            pwrite(device.get(), want.data(), eraseblock, at) != ssize_t(eraseblock)) {
            perror("flash_layback: write");
            return 1;
        }
        ++written;
    }
    if (fsync(device.get()) != 0) {
        perror("flash_layback: fsync");
        return 1;
    }
    printf("%u\n", written);
    return 0;
}
