#include "common/VolumeCheck.h"

#include <algorithm>
#include <memory>

#include "common/Crc32.h"
#include "common/ImageFormat.h"

namespace VolumeCheck {

bool flags(Ubi::Device& device, const std::string& name, Open open, std::string& problem) {
    // The kernel checks a static volume's data against its checksums at its first open after
    // attach and at the end of an update, and marks it corrupted on a mismatch.
    Ubi::VolumeReader reader(device);
    if (open == Open::First && !reader.open(name)) {
        problem = "could not open " + name + " to check it" + Ubi::because(reader.error());
        return false;
    }
    std::string marker;
    std::string corrupted;
    if (!device.volumeAttribute(name, "upd_marker", marker) ||
        !device.volumeAttribute(name, "corrupted", corrupted)) {
        problem = "could not check " + name + Ubi::because(device.error());
        return false;
    }
    if (marker != "0") {
        problem = name + " is still marked as being updated";
        return false;
    }
    if (corrupted != "0") {
        problem = name + " is marked corrupted";
        return false;
    }
    return true;
}

bool verify(Ubi::Device& device, const std::string& name, Ubi::VolumeType type, uint32_t size,
            uint32_t crc, Read read, std::string& problem) {
    if (!flags(device, name, Open::No, problem)) {
        return false;
    }
    std::string dataBytes;
    if (!device.volumeAttribute(name, "data_bytes", dataBytes)) {
        problem = "could not check " + name + Ubi::because(device.error());
        return false;
    }
    // A dynamic volume's data_bytes is its whole size, whatever was written.
    if (type == Ubi::VolumeType::Static && dataBytes != std::to_string(size)) {
        problem = name + " holds " + dataBytes + " bytes, not " + std::to_string(size);
        return false;
    }
    if (type == Ubi::VolumeType::Static && read == Read::Dynamic) {
        return true;
    }
    Ubi::VolumeReader reader(device);
    if (!reader.open(name)) {
        problem = "could not open " + name + " to check it" + Ubi::because(reader.error());
        return false;
    }
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[FwImage::maxChunkSize]);
    uint32_t remaining = size;
    uint32_t sum = 0;
    while (remaining > 0) {
        const int got =
            reader.read(buffer.get(), std::min<uint32_t>(remaining, FwImage::maxChunkSize));
        if (got < 0) {
            problem = "could not read " + name + " back" + Ubi::because(reader.error());
            return false;
        }
        if (got == 0) {
            break;
        }
        sum = Crc32::calculate(buffer.get(), unsigned(got), sum);
        remaining -= unsigned(got);
    }
    if (remaining != 0 || sum != crc) {
        problem = name + " reads back wrong";
        return false;
    }
    return true;
}

} // namespace VolumeCheck
