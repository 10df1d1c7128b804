#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// On-disk layout of a firmware image: one ImageHeader, then blocks of
// BlockHeader + payload. Integers are big-endian in the file.

struct ImageHeader {
    char magic[12];
    char product[8];
    uint32_t length; // whole image in bytes, this header included
    uint32_t version;
    char descr[32];
} __attribute__((packed));

struct BlockHeader {
    uint32_t id;
    uint32_t size; // payload bytes that follow
    uint32_t crc;  // CRC-32 of the payload
} __attribute__((packed));

static_assert(sizeof(ImageHeader) == 60, "image header is 60 bytes on disk");
static_assert(offsetof(ImageHeader, magic) == 0, "magic at 0");
static_assert(offsetof(ImageHeader, product) == 12, "product at 12");
static_assert(offsetof(ImageHeader, length) == 20, "length at 20");
static_assert(offsetof(ImageHeader, version) == 24, "version at 24");
static_assert(offsetof(ImageHeader, descr) == 28, "descr at 28");
static_assert(sizeof(BlockHeader) == 12, "block header is 12 bytes on disk");
static_assert(offsetof(BlockHeader, id) == 0, "id at 0");
static_assert(offsetof(BlockHeader, size) == 4, "size at 4");
static_assert(offsetof(BlockHeader, crc) == 8, "crc at 8");

namespace FwImage {

// Identity of the images this board accepts.
constexpr const char* imageMagic = "VexilImg";
constexpr const char* imageProduct = "Dorvyn";

constexpr uint32_t kernelBlockId = 1;
constexpr uint32_t devicetreeBlockId = 3;
constexpr uint32_t rootfsBlockId = 4;

constexpr uint32_t kernelVolumeSize = 6291456;
constexpr uint32_t devicetreeVolumeSize = 131072;
constexpr uint32_t rootfsVolumeSize = 36700160;

constexpr const char* kernelVolumeName = "kernel";
constexpr const char* devicetreeVolumeName = "devicetree";
constexpr const char* rootfsVolumeName = "rootfs";

// The installer reads payload in pieces of at most this many bytes.
constexpr unsigned maxChunkSize = 65536;

// Where a block lands on the board.
struct VolumeTarget {
    uint32_t blockId;
    const char* volumeName;
    uint32_t volumeSize;
};

constexpr VolumeTarget volumeTargets[] = {
    {kernelBlockId, kernelVolumeName, kernelVolumeSize},
    {devicetreeBlockId, devicetreeVolumeName, devicetreeVolumeSize},
    {rootfsBlockId, rootfsVolumeName, rootfsVolumeSize},
};

// The target of a block ID, or nullptr when the ID has no volume.
const VolumeTarget* findVolumeTarget(uint32_t blockId);

// A header text field may fill its whole width without a NUL; never read past it.
std::string fieldText(const char* field, size_t width);

// True when magic and product are the ones this board accepts.
bool hasExpectedIdentity(const ImageHeader& header);

} // namespace FwImage
