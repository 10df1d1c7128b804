#include "common/ImageFormat.h"

#include <cstring>

namespace FwImage {

std::string fieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

std::string printable(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string result;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            result += static_cast<char>(c);
        } else {
            result += {'\\', 'x', digits[c >> 4], digits[c & 15]};
        }
    }
    return result;
}

uint32_t bigEndian(const void* field) {
    const auto* b = static_cast<const uint8_t*>(field);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

void putBigEndian(void* field, uint32_t value) {
    auto* b = static_cast<uint8_t*>(field);
    for (int i = 0; i < 4; ++i) {
        b[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

ImageHeader decodeHeader(const uint8_t* raw) {
    ImageHeader header;
    memcpy(&header, raw, sizeof header);
    header.length = bigEndian(raw + offsetof(ImageHeader, length));
    header.version = bigEndian(raw + offsetof(ImageHeader, version));
    return header;
}

BlockHeader decodeBlockHeader(const uint8_t* raw) {
    return {bigEndian(raw + offsetof(BlockHeader, id)),
            bigEndian(raw + offsetof(BlockHeader, size)),
            bigEndian(raw + offsetof(BlockHeader, crc))};
}

void encodeHeader(const ImageHeader& header, uint8_t* raw) {
    memcpy(raw, &header, sizeof header);
    putBigEndian(raw + offsetof(ImageHeader, length), header.length);
    putBigEndian(raw + offsetof(ImageHeader, version), header.version);
}

void encodeBlockHeader(const BlockHeader& block, uint8_t* raw) {
    putBigEndian(raw + offsetof(BlockHeader, id), block.id);
    putBigEndian(raw + offsetof(BlockHeader, size), block.size);
    putBigEndian(raw + offsetof(BlockHeader, crc), block.crc);
}

bool hasExpectedIdentity(const ImageHeader& header) {
    return fieldText(header.magic, sizeof header.magic) == imageMagic &&
           fieldText(header.product, sizeof header.product) == imageProduct;
}

} // namespace FwImage
