#pragma once

#include <endian.h>

#include <cstring>
#include <functional>

#include "common/ImageSignature.h"
#include "tests/common/ImageBuilder.h"

// Ends the image with a signature block by `key` over everything in front of it, as
// vexil-image signs; `edit` may change the image after signing.
inline ImageBuilder::Bytes signedImage(ImageBuilder image, const SigningKeys::SecretKey& key,
                                       const std::function<void(ImageBuilder::Bytes&)>& edit = {}) {
    ImageBuilder::Bytes bytes =
        image.block(ImageSignature::blockId, ImageBuilder::Bytes(ImageSignature::payloadSize))
            .build();
    const size_t at = bytes.size() - ImageSignature::payloadSize;
    ImageSignature::Hasher hasher;
    hasher.update(bytes.data(), at - sizeof(BlockHeader));
    const ImageSignature::Payload payload = hasher.sign(key);
    std::copy(payload.begin(), payload.end(), bytes.begin() + at);
    const uint32_t crc =
        htobe32(ImageBuilder::zlibCrc(ImageBuilder::Bytes(payload.begin(), payload.end())));
    memcpy(&bytes[at - 4], &crc, 4);
    if (edit) {
        edit(bytes);
    }
    return bytes;
}
