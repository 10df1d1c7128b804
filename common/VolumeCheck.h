#pragma once

#include <cstdint>
#include <string>

#include "common/linuxFlash/Ubi.h"

namespace VolumeCheck {

enum class Read {
    Dynamic, // read back only a dynamic volume: the kernel checked a static one as it finished
    All,     // read back every volume
};

enum class Open {
    No,    // the kernel's flags as they are
    First, // open the volume read-only first, so that the kernel checks a static volume it has
           // not checked since attach
};

// Whether the kernel marks the volume as neither half updated nor corrupted; false with why
// not, naming the volume, in `problem`.
[[nodiscard]] bool flags(Ubi::Device& device, const std::string& name, Open open,
                         std::string& problem);

// Whether the volume holds `size` bytes with CRC-32 `crc`, asked of the kernel's flags and,
// as `read` says, by reading it back through its node, read-only; false with why not, naming
// the volume, in `problem`.
[[nodiscard]] bool verify(Ubi::Device& device, const std::string& name, Ubi::VolumeType type,
                          uint32_t size, uint32_t crc, Read read, std::string& problem);
// otherwise why not, naming the volume.
std::string verify(Ubi::Device& device, const std::string& name, Ubi::VolumeType type,
                   uint32_t size, uint32_t crc, Read read);

} // namespace VolumeCheck
