// A copy of a NAND partition through its MTD character device, and where UBI
// keeps a logical eraseblock on it.
//
//   mtd_image save DEVICE FILE      every good eraseblock up to its last written page
//   mtd_image restore FILE DEVICE   erases and rewrites the eraseblocks that differ
//   mtd_image find DEVICE VOL LEB   "PEB DATA_OFFSET" of the newest copy of VOL:LEB
//
// restore prints the number of eraseblocks it rewrote. It tells eraseblocks
// apart by their first two pages, which hold UBI's erase counter and volume
// headers whether or not the chip takes sub-page writes: UBI never changes an
// eraseblock without rewriting one of them (an erase bumps the erase counter,
// a write starts with a volume header of a new sequence number). Reading and
// writing go through the ECC, so the copy holds what UBI wrote, not what the
// chip holds. An eraseblock that went bad since the copy cannot be laid back:
// exit 1, like any other error.

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Platform/Files.h"

namespace {

// UBI's erase counter header; a free eraseblock holds it alone.
constexpr size_t kEcHeader = 64;

struct Record {
    uint32_t eraseblock;
    uint32_t bytes; // 0: bad when saved
};

bool fail(const char* what) {
    fprintf(stderr, "mtd_image: %s: %s\n", what, errno ? strerror(errno) : "bad data");
    return false;
}

bool readAll(int fd, void* buffer, size_t count, off_t offset) {
    return pread(fd, buffer, count, offset) == ssize_t(count);
}

bool allErased(const unsigned char* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (data[i] != 0xff) {
            return false;
        }
    }
    return true;
}

bool isBad(int fd, off_t offset, bool& bad) {
    loff_t at = offset;
    const int answer = ioctl(fd, MEMGETBADBLOCK, &at);
    if (answer < 0) {
        return fail("MEMGETBADBLOCK");
    }
    bad = answer > 0;
    return true;
}

struct Device {
    mtd_info_user info{};
    size_t header = 0; // bytes compared: the first two pages
    uint32_t blocks = 0;

    bool init(int fd) {
        if (ioctl(fd, MEMGETINFO, &info) != 0) {
            return fail("MEMGETINFO");
        }
        if (info.erasesize == 0 || info.writesize == 0 || info.erasesize % info.writesize != 0) {
            return fail("geometry");
        }
        header = info.erasesize < 2 * info.writesize ? info.erasesize : 2 * info.writesize;
        blocks = info.size / info.erasesize;
        return true;
    }
};

bool save(const char* devicePath, const char* filePath) {
    const Platform::FileDescriptor device(open(devicePath, O_RDONLY));
    const Platform::FileDescriptor file(open(filePath, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (device.get() < 0 || file.get() < 0) {
        return fail("open");
    }
    Device geometry;
    if (!geometry.init(device.get())) {
        return false;
    }
    std::vector<unsigned char> block(geometry.info.erasesize);
    for (uint32_t eb = 0; eb < geometry.blocks; ++eb) {
        const off_t at = off_t(eb) * geometry.info.erasesize;
        bool bad;
        if (!isBad(device.get(), at, bad)) {
            return false;
        }
        Record record{eb, 0};
        if (!bad) {
            if (!readAll(device.get(), block.data(), geometry.header, at)) {
                return fail("read");
            }
            // Nothing but an erase counter header: nothing further on either.
            const bool headerOnly = allErased(&block[kEcHeader], geometry.header - kEcHeader);
            if (!headerOnly &&
                !readAll(device.get(), &block[geometry.header], block.size() - geometry.header,
                         at + off_t(geometry.header))) {
                return fail("read");
            }
            size_t used = headerOnly ? geometry.header : block.size();
            while (used > geometry.header &&
                   allErased(&block[used - geometry.info.writesize], geometry.info.writesize)) {
                used -= geometry.info.writesize;
            }
            record.bytes = uint32_t(used);
        }
        if (write(file.get(), &record, sizeof record) != ssize_t(sizeof record) ||
            write(file.get(), block.data(), record.bytes) != ssize_t(record.bytes)) {
            return fail("write");
        }
    }
    return true;
}

bool restore(const char* filePath, const char* devicePath, unsigned& rewritten) {
    const Platform::FileDescriptor file(open(filePath, O_RDONLY));
    const Platform::FileDescriptor device(open(devicePath, O_RDWR));
    if (file.get() < 0 || device.get() < 0) {
        return fail("open");
    }
    Device geometry;
    if (!geometry.init(device.get())) {
        return false;
    }
    const size_t page = geometry.info.writesize;
    std::vector<unsigned char> want(geometry.info.erasesize);
    std::vector<unsigned char> have(geometry.header);
    Record record;
    while (read(file.get(), &record, sizeof record) == ssize_t(sizeof record)) {
        if (record.eraseblock >= geometry.blocks || record.bytes > want.size() ||
            record.bytes % page != 0 || (record.bytes != 0 && record.bytes < geometry.header)) {
            return fail("saved copy does not fit the device");
        }
        if (read(file.get(), want.data(), record.bytes) != ssize_t(record.bytes)) {
            return fail("read saved copy");
        }
        const off_t at = off_t(record.eraseblock) * geometry.info.erasesize;
        bool bad;
        if (!isBad(device.get(), at, bad)) {
            return false;
        }
        if (record.bytes == 0 || bad) {
            if (record.bytes != 0) {
                return fail("eraseblock went bad since the copy");
            }
            continue;
        }
        if (!readAll(device.get(), have.data(), have.size(), at)) {
            return fail("read");
        }
        if (memcmp(have.data(), want.data(), have.size()) == 0) {
            continue;
        }
        erase_info_user erase{uint32_t(at), geometry.info.erasesize};
        if (ioctl(device.get(), MEMERASE, &erase) != 0) {
            return fail("MEMERASE");
        }
        for (size_t offset = 0; offset < record.bytes; offset += page) {
            if (allErased(&want[offset], page)) {
                continue;
            }
            if (pwrite(device.get(), &want[offset], page, at + off_t(offset)) != ssize_t(page)) {
                return fail("write");
            }
        }
        ++rewritten;
    }
    return true;
}

uint32_t bigEndian32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The UBI on-flash headers, as far as this needs them: the erase counter
// header ("UBI#") gives where the volume header and the data start; the volume
// header ("UBI!") gives volume, logical eraseblock and sequence number.
bool find(const char* devicePath, uint32_t volume, uint32_t leb) {
    const Platform::FileDescriptor device(open(devicePath, O_RDONLY));
    if (device.get() < 0) {
        return fail("open");
    }
    Device geometry;
    if (!geometry.init(device.get())) {
        return false;
    }
    std::vector<unsigned char> block(geometry.info.erasesize);
    long found = -1;
    uint32_t dataOffset = 0;
    uint64_t newest = 0;
    for (uint32_t eb = 0; eb < geometry.blocks; ++eb) {
        const off_t at = off_t(eb) * geometry.info.erasesize;
        bool bad;
        if (!isBad(device.get(), at, bad)) {
            return false;
        }
        if (bad || !readAll(device.get(), block.data(), geometry.header, at) ||
            memcmp(block.data(), "UBI#", 4) != 0) {
            continue;
        }
        const uint32_t vidOffset = bigEndian32(&block[16]);
        if (vidOffset + 64 > geometry.header) {
            continue;
        }
        const unsigned char* vid = &block[vidOffset];
        if (memcmp(vid, "UBI!", 4) != 0 || bigEndian32(vid + 8) != volume ||
            bigEndian32(vid + 12) != leb) {
            continue;
        }
        const uint64_t sqnum = uint64_t(bigEndian32(vid + 40)) << 32 | bigEndian32(vid + 44);
        if (found < 0 || sqnum > newest) {
            found = long(eb);
            newest = sqnum;
            dataOffset = bigEndian32(&block[20]);
        }
    }
    if (found < 0) {
        errno = 0;
        return fail("no such logical eraseblock");
    }
    printf("%ld %u\n", found, dataOffset);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    errno = 0;
    if (argc == 4 && strcmp(argv[1], "save") == 0) {
        return save(argv[2], argv[3]) ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "restore") == 0) {
        unsigned rewritten = 0;
        if (!restore(argv[2], argv[3], rewritten)) {
            return 1;
        }
        printf("%u\n", rewritten);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "find") == 0) {
        return find(argv[2], uint32_t(strtoul(argv[3], nullptr, 0)),
                    uint32_t(strtoul(argv[4], nullptr, 0)))
                   ? 0
                   : 1;
    }
    fprintf(stderr,
            "usage: mtd_image save DEVICE FILE | restore FILE DEVICE | find DEVICE VOL LEB\n");
    return 1;
}
