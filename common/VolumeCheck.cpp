#include "common/VolumeCheck.h"

#include <algorithm>
#include <memory>

#include "common/Crc32.h"
#include "common/ImageFormat.h"

namespace VolumeCheck {

std::string flags(Ubi::Device& device, const std::string& name, Open open) {
    // The kernel checks a static volume's data against its checksums at its first open after
    // attach and at the end of an update, and marks it corrupted on a mismatch.
    Ubi::VolumeReader reader(device);
    if (open == Open::First && !reader.open(name)) {
        return "could not open " + name + " to check it" + Ubi::because(reader.error());
    }
    std::string marker;
    std::string corrupted;
    if (!device.volumeAttribute(name, "upd_marker", marker) ||
        !device.volumeAttribute(name, "corrupted", corrupted)) {
        return "could not check " + name + Ubi::because(device.error());
    }
    if (marker != "0") {
        return name + " is still marked as being updated";
    }
    if (corrupted != "0") {
        return name + " is marked corrupted";
    }
    return "";
}

std::string verify(Ubi::Device& device, const std::string& name, Ubi::VolumeType type,
                   uint32_t size, uint32_t crc, Read read) {
    const std::string wrong = flags(device, name, Open::No);
    if (!wrong.empty()) {
        return wrong;
    }
    std::string dataBytes;
    if (!device.volumeAttribute(name, "data_bytes", dataBytes)) {
        return "could not check " + name + Ubi::because(device.error());
    }
    // A dynamic volume's data_bytes is its whole size, whatever was written.
    if (type == Ubi::VolumeType::Static && dataBytes != std::to_string(size)) {
        return name + " holds " + dataBytes + " bytes, not " + std::to_string(size);
    }
    if (type == Ubi::VolumeType::Static && read == Read::Dynamic) {
        return "";
    }
    Ubi::VolumeReader reader(device);
    if (!reader.open(name)) {
        return "could not open " + name + " to check it" + Ubi::because(reader.error());
    }
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[FwImage::maxChunkSize]);
    uint32_t remaining = size;
    uint32_t sum = 0;
    while (remaining > 0) {
        const int got =
            reader.read(buffer.get(), std::min<uint32_t>(remaining, FwImage::maxChunkSize));
        if (got < 0) {
            return "could not read " + name + " back" + Ubi::because(reader.error());
        }
        if (got == 0) {
            break;
        }
        sum = Crc32::calculate(buffer.get(), unsigned(got), sum);
        remaining -= unsigned(got);
    }
    return remaining != 0 || sum != crc ? name + " reads back wrong" : "";
}

} // namespace VolumeCheck
