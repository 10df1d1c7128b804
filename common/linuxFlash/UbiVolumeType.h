#pragma once

#include <mtd/ubi-user.h>

#include <cstdint>

namespace Ubi {

enum class VolumeType : int {
    Dynamic = 0,
    Static = 1,
};

// The kernel's vol_type for a type: 3 dynamic, 4 static. Any value outside the enumeration
// goes as 0, which the kernel refuses.
constexpr int8_t kernelVolumeType(VolumeType type) {
    return type == VolumeType::Dynamic  ? UBI_DYNAMIC_VOLUME
           : type == VolumeType::Static ? UBI_STATIC_VOLUME
                                        : 0;
}

} // namespace Ubi
