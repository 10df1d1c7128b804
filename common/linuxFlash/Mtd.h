#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"

// The MTD partitions the kernel exposes in sysfs. Nothing is cached: every call reads sysfs.
class Mtd {
public:
    struct DeviceInfo {
        std::string name;
        uint32_t index;
    };

    // The partitions mtd0, mtd1, ... up to the first one without a name attribute, at most 20.
    static std::vector<DeviceInfo>
    getDevices(LinuxFlash::KernelInterface& kernel = LinuxFlash::linuxKernel());
    // The number of the first partition named exactly `name`; index untouched when none.
    [[nodiscard]] static bool
    findDevice(const std::string& name, unsigned& index,
               LinuxFlash::KernelInterface& kernel = LinuxFlash::linuxKernel());
};
