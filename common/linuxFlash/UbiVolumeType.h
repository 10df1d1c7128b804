#pragma once

namespace Ubi {

// Sent to the kernel as vol_type 3 (dynamic) and 4 (static).
enum class VolumeType : int {
    Dynamic = 0,
    Static = 1,
};

} // namespace Ubi
