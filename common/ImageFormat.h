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

// Every image byte must be countable in the header's 32-bit length.
constexpr uint64_t imageSizeLimit = uint64_t(1) << 32;

// The installer reads payload in pieces of at most this many bytes.
constexpr unsigned maxChunkSize = 65536;

// A header text field may fill its whole width without a NUL; never read past it.
std::string fieldText(const char* field, size_t width);

// Text from an image as it may reach a terminal: control bytes, bytes above 0x7E and the
// backslash as \xHH (so that the text "\x1b" never passes for an escaped byte), the rest as it is.
std::string printable(const std::string& text);

// The format's integers as they lie in the file.
uint32_t bigEndian(const void* field);
void putBigEndian(void* field, uint32_t value);
// The headers as they lie in the file and as the code uses them, with every integer in host
// order: the one codec of the on-disk bytes.
ImageHeader decodeHeader(const uint8_t* raw);
BlockHeader decodeBlockHeader(const uint8_t* raw);
void encodeHeader(const ImageHeader& header, uint8_t* raw);
void encodeBlockHeader(const BlockHeader& block, uint8_t* raw);

// True when magic and product are the ones this board accepts.
bool hasExpectedIdentity(const ImageHeader& header);

} // namespace FwImage
