#include "common/Manifest.h"

#include <cerrno>
#include <cstring>

#include "common/Crc32.h"
#include "common/VolumeCheck.h"

namespace Manifest {

namespace {

constexpr char magic[8] = {'V', 'X', 'M', 'A', 'N', 'I', 'F', '1'};
constexpr size_t headerAt = 8;
constexpr size_t countAt = headerAt + sizeof(ImageHeader);
constexpr size_t flagsAt = countAt + 1;
constexpr size_t keyAt = flagsAt + 1;
constexpr size_t blocksAt = keyAt + SigningKeys::keyIdSize;
constexpr size_t crcAt = blocksAt + sizeof(BlockHeader) * FwImage::slotCount;
static_assert(crcAt + 4 == encodedSize, "the layout above");

} // namespace

std::vector<uint8_t> encode(const uint8_t* rawHeader,
                            const uint8_t (*rawBlocks)[sizeof(BlockHeader)], bool signedImage,
                            bool verified, const SigningKeys::KeyId& keyId) {
    std::vector<uint8_t> bytes(encodedSize, 0);
    memcpy(&bytes[0], magic, sizeof magic);
    memcpy(&bytes[headerAt], rawHeader, sizeof(ImageHeader));
    bytes[countAt] = FwImage::slotCount;
    bytes[flagsAt] = (signedImage ? 1 : 0) | (verified ? 2 : 0);
    if (signedImage) {
        memcpy(&bytes[keyAt], keyId.data(), keyId.size());
    }
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        memcpy(&bytes[blocksAt + sizeof(BlockHeader) * slot], rawBlocks[slot], sizeof(BlockHeader));
    }
    FwImage::putBigEndian(&bytes[crcAt], Crc32::calculate(bytes.data(), crcAt, 0));
    return bytes;
}

bool decode(const std::vector<uint8_t>& bytes, Record& record, std::string& error) {
    if (bytes.size() != encodedSize || memcmp(bytes.data(), magic, sizeof magic) != 0 ||
        bytes[countAt] != FwImage::slotCount) {
        error = "not a manifest";
        return false;
    }
    if (Crc32::calculate(bytes.data(), crcAt, 0) != FwImage::bigEndian(&bytes[crcAt])) {
        error = "its CRC-32 does not match";
        return false;
    }
    record.header = FwImage::decodeHeader(&bytes[headerAt]);
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        record.blocks[slot] =
            FwImage::decodeBlockHeader(&bytes[blocksAt + sizeof(BlockHeader) * slot]);
    }
    record.signedImage = (bytes[flagsAt] & 1) != 0;
    record.verified = (bytes[flagsAt] & 2) != 0;
    memcpy(record.keyId.data(), &bytes[keyAt], record.keyId.size());
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
    if (!VolumeCheck::flags(device, name, VolumeCheck::Open::No, problem)) {
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
