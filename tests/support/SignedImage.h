#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <functional>

#include "common/Crc32.h"
#include "common/ImageDescription.h"
#include "common/ImageFormat.h"
#include "tests/common/ImageBuilder.h"

// Where the blocks of a signed image of `blocks` blocks begin, behind its description.
inline size_t signedBlocksAt(size_t blocks) {
    return sizeof(ImageHeader) + sizeof(BlockHeader) + ImageDescription::payloadSize(blocks);
}

// `plain` with a description of its whole blocks (64 at most) signed by `key` in front of them,
// as vexil-image signs; its declared length grows by the description.
inline std::vector<uint8_t> signBytes(const std::vector<uint8_t>& plain,
                                      const SigningKeys::SecretKey& key) {
    if (plain.size() < sizeof(ImageHeader)) {
        return plain;
    }
    std::vector<ImageDescription::Entry> entries;
    for (size_t at = sizeof(ImageHeader); at + sizeof(BlockHeader) <= plain.size() &&
                                          entries.size() < ImageDescription::maxEntries;) {
        ImageDescription::Entry entry = {FwImage::bigEndian(&plain[at]),
                                         FwImage::bigEndian(&plain[at + 4]),
                                         FwImage::bigEndian(&plain[at + 8]),
                                         {}};
        if (entry.size > plain.size() - at - sizeof(BlockHeader)) {
            break;
        }
        crypto_hash_sha256(entry.digest.data(), &plain[at + sizeof(BlockHeader)], entry.size);
        entries.push_back(entry);
        at += sizeof(BlockHeader) + entry.size;
    }
    if (entries.empty()) {
        return plain;
    }
    std::vector<uint8_t> header(plain.begin(), plain.begin() + sizeof(ImageHeader));
    const size_t descriptionSize = ImageDescription::payloadSize(entries.size());
    FwImage::putBigEndian(&header[offsetof(ImageHeader, length)],
                          uint32_t(FwImage::bigEndian(&header[offsetof(ImageHeader, length)]) +
                                   sizeof(BlockHeader) + descriptionSize));
    const std::vector<uint8_t> payload = ImageDescription::build(header.data(), entries, key);
    std::vector<uint8_t> bytes = header;
    bytes.resize(sizeof(ImageHeader) + sizeof(BlockHeader));
    FwImage::encodeBlockHeader({ImageDescription::blockId, uint32_t(payload.size()),
                                Crc32::calculate(payload.data(), unsigned(payload.size()), 0)},
                               &bytes[sizeof(ImageHeader)]);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.insert(bytes.end(), plain.begin() + sizeof(ImageHeader), plain.end());
    return bytes;
}

// The image signed as signBytes signs; `edit` may change it after signing.
inline ImageBuilder::Bytes signedImage(const ImageBuilder& image, const SigningKeys::SecretKey& key,
                                       const std::function<void(ImageBuilder::Bytes&)>& edit = {}) {
    ImageBuilder::Bytes bytes = signBytes(image.build(), key);
    if (edit) {
        edit(bytes);
    }
    return bytes;
}

// Puts the CRC-32 of the block whose header is at `at` right after its payload was changed.
inline void fixCrc(ImageBuilder::Bytes& image, size_t at) {
    const uint32_t size = FwImage::bigEndian(&image[at + 4]);
    const ImageBuilder::Bytes payload(image.begin() + at + 12, image.begin() + at + 12 + size);
    FwImage::putBigEndian(&image[at + 8], ImageBuilder::zlibCrc(payload));
}

// Changes five bytes from `at` on so that the payload's CRC-32 stays what it was: the change is
// the CRC's own generator polynomial, which CRC-32 cannot see.
inline void alterKeepingCrc(ImageBuilder::Bytes& image, size_t at) {
    const uint64_t generator = uint64_t(0xEDB88320) << 1 | 1;
    for (int i = 0; i < 5; ++i) {
        image[at + i] ^= uint8_t(generator >> (8 * i));
    }
}
