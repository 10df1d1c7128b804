#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/linuxFlash/UbiVolumeType.h"

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

// Every image byte must be countable in the header's 32-bit length.
constexpr uint64_t imageSizeLimit = uint64_t(1) << 32;

// The installer reads payload in pieces of at most this many bytes.
constexpr unsigned maxChunkSize = 65536;

// One volume of a generation on the board: the block that fills it, the names it has while
// current, after it was replaced and while it is being written, the type and size it is
// created with, and whether a board still boots with it empty.
struct VolumeSlot {
    const char* name;
    const char* prevName;
    const char* newName;
    uint32_t blockId;
    Ubi::VolumeType type;
    unsigned size;
    bool mayBeEmpty;
};

// The board's volumes, in the order they are switched in. No other block ID has a slot.
constexpr VolumeSlot s_volumes[] = {
    {"kernel", "kernel_prev", "kernel_new", 1, Ubi::VolumeType::Static, 6291456, false},
    {"devicetree", "devicetree_prev", "devicetree_new", 3, Ubi::VolumeType::Static, 131072, true},
    {"rootfs", "rootfs_prev", "rootfs_new", 4, Ubi::VolumeType::Dynamic, 36700160, false},
};
constexpr int slotCount = sizeof s_volumes / sizeof s_volumes[0];

// What each generation records of itself (its manifest), beside its volumes and renamed with
// them; no block fills it.
constexpr VolumeSlot s_manifest = {
    "manifest", "manifest_prev", "manifest_new", 0, Ubi::VolumeType::Static, 4096, false};

// The slot that a block ID fills, or -1 when it has none.
int findSlot(uint32_t blockId);

// A header text field may fill its whole width without a NUL; never read past it.
std::string fieldText(const char* field, size_t width);

// Text from an image as it may reach a terminal: control bytes and bytes above 0x7E as \xHH,
// the rest as it is.
std::string printable(const std::string& text);

// The boards' logical eraseblock: 128 KiB eraseblocks less two 2 KiB pages of UBI headers.
constexpr unsigned standardLebSize = 126976;
// What UBI gives a volume of `size` bytes: whole eraseblocks.
uint64_t volumeCapacity(unsigned size, unsigned lebSize);
// What a slot's volume holds on a board of the standard geometry.
uint64_t standardCapacity(int slot);

// The format's integers as they lie in the file.
uint32_t bigEndian(const void* field);
void putBigEndian(void* field, uint32_t value);
// The bytes of a header whose integers are in host order, as they lie in the file.
void encodeHeader(const ImageHeader& header, uint8_t* raw);
void encodeBlockHeader(const BlockHeader& block, uint8_t* raw);

// True when magic and product are the ones this board accepts.
bool hasExpectedIdentity(const ImageHeader& header);

} // namespace FwImage
