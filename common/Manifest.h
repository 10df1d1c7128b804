#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/BoardLayout.h"
#include "common/ImageFormat.h"
#include "common/SigningKeys.h"
#include "common/linuxFlash/Ubi.h"

// What an install records of the image it switched in, in the static volume "manifest" beside
// the slots' volumes: the image header and each slot's block header as the image had them,
// and how the image was signed. Byte layout, integers big-endian:
//
//   0    8   "VXMANIF1"
//   8   60   the image header
//  68    1   number of slot entries, N
//  69    1   bit 0: the image began with a well-formed signed description; bit 1: a trusted
//            key of the board verified it
//  70    8   the signing key's ID, zero when not signed
//  78  12 N  each slot's block header (ID, size, CRC-32), in slot order
//  78+12N 4  CRC-32 of the bytes before it
namespace Manifest {

constexpr size_t encodedSize = 78 + sizeof(BlockHeader) * FwImage::slotCount + 4;

struct Record {
    ImageHeader header = {};                     // length and version in host order
    BlockHeader blocks[FwImage::slotCount] = {}; // id, size and crc in host order
    bool signedImage = false;
    bool verified = false;
    SigningKeys::KeyId keyId = {};
};

// `rawHeader` and `rawBlocks` as in the image file.
std::vector<uint8_t> encode(const uint8_t* rawHeader,
                            const uint8_t (*rawBlocks)[sizeof(BlockHeader)], bool signedImage,
                            bool verified, const SigningKeys::KeyId& keyId);
[[nodiscard]] bool decode(const std::vector<uint8_t>& bytes, Record& record, std::string& error);

enum class Found {
    Absent,   // no volume of that name
    Good,     // `record` holds it
    Unusable, // there, but it cannot be read, the kernel marks it, or it is no manifest
};

// Reads and decodes the manifest volume `name`; the reason in `problem` when it is Unusable.
Found read(Ubi::Device& device, const std::string& name, Record& record, std::string& problem);

} // namespace Manifest
