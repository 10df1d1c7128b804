#include "common/Manifest.h"

#include <endian.h>

#include <cerrno>
#include <cstring>

#include "common/Crc32.h"
#include "common/VolumeCheck.h"

namespace Manifest {

namespace {

constexpr char kMagic[8] = {'V', 'X', 'M', 'A', 'N', 'I', 'F', '1'};
constexpr size_t kHeaderAt = 8;
constexpr size_t kCountAt = 68;
constexpr size_t kFlagsAt = 69;
constexpr size_t kKeyAt = 70;
constexpr size_t kBlocksAt = 78;
constexpr size_t kCrcAt = kBlocksAt + 12 * FwImage::slotCount;

uint32_t bigEndian(const uint8_t* at) {
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return be32toh(value);
}

} // namespace

std::vector<uint8_t> encode(const uint8_t* rawHeader, const uint8_t (*rawBlocks)[12],
                            bool signedImage, bool verified, const SigningKeys::KeyId& keyId) {
    std::vector<uint8_t> bytes(encodedSize, 0);
    memcpy(&bytes[0], kMagic, sizeof kMagic);
    memcpy(&bytes[kHeaderAt], rawHeader, sizeof(ImageHeader));
    bytes[kCountAt] = FwImage::slotCount;
    bytes[kFlagsAt] = (signedImage ? 1 : 0) | (verified ? 2 : 0);
    if (signedImage) {
        memcpy(&bytes[kKeyAt], keyId.data(), keyId.size());
    }
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        memcpy(&bytes[kBlocksAt + 12 * slot], rawBlocks[slot], 12);
    }
    const uint32_t crc = htobe32(Crc32::calculate(bytes.data(), kCrcAt, 0));
    memcpy(&bytes[kCrcAt], &crc, sizeof crc);
    return bytes;
}

bool decode(const std::vector<uint8_t>& bytes, Record& record, std::string& error) {
    if (bytes.size() != encodedSize || memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
        bytes[kCountAt] != FwImage::slotCount) {
        error = "not a manifest";
        return false;
    }
    if (Crc32::calculate(bytes.data(), kCrcAt, 0) != bigEndian(&bytes[kCrcAt])) {
        error = "its CRC-32 does not match";
        return false;
    }
    memcpy(&record.header, &bytes[kHeaderAt], sizeof record.header);
    record.header.length = be32toh(record.header.length);
    record.header.version = be32toh(record.header.version);
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        const uint8_t* at = &bytes[kBlocksAt + 12 * slot];
        record.blocks[slot] = {bigEndian(at), bigEndian(at + 4), bigEndian(at + 8)};
    }
    record.signedImage = (bytes[kFlagsAt] & 1) != 0;
    record.verified = (bytes[kFlagsAt] & 2) != 0;
    memcpy(record.keyId.data(), &bytes[kKeyAt], record.keyId.size());
    return true;
}

Found read(Ubi::Device& device, const std::string& name, Record& record, std::string& problem) {
    int volId;
    if (!device.findUbiVolumeId(name, volId)) {
        return Found::Absent;
    }
    // Opening a static volume makes the kernel check its data; its flags tell the outcome.
    Ubi::VolumeReader reader(device);
    if (!reader.open(name)) {
        problem = "cannot open " + name + Ubi::because(reader.error());
        return Found::Unusable;
    }
    problem = VolumeCheck::flags(device, name, VolumeCheck::Open::No);
    if (!problem.empty()) {
        return Found::Unusable;
    }
    // One byte more than a manifest holds, to tell a longer volume apart.
    std::vector<uint8_t> bytes(encodedSize + 1);
    size_t have = 0;
    for (int got; have < bytes.size();) {
        got = reader.read(&bytes[have], unsigned(bytes.size() - have));
        if (got < 0) {
            problem = "cannot read " + name + Ubi::because(reader.error());
            return Found::Unusable;
        }
        if (got == 0) {
            break;
        }
        have += size_t(got);
    }
    bytes.resize(have);
    std::string error;
    if (!decode(bytes, record, error)) {
        problem = name + ": " + error;
        return Found::Unusable;
    }
    return Found::Good;
}

} // namespace Manifest
