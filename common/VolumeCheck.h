#pragma once

#include <cstdint>
#include <string>

#include "common/linuxFlash/Ubi.h"

namespace VolumeCheck {

enum class Read {
    Dynamic, // read back only a dynamic volume: the kernel checked a static one as it finished
    All,     // read back every volume
};

// Whether the volume holds `size` bytes with CRC-32 `crc`, asked of the kernel's flags and,
// as `read` says, by reading it back through its node, read-only. Empty when it does;
// otherwise why not, naming the volume.
std::string verify(Ubi::Device& device, const std::string& name, Ubi::VolumeType type,
                   uint32_t size, uint32_t crc, Read read);

} // namespace VolumeCheck
