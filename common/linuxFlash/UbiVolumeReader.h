#pragma once

#include <memory>
#include <string>

#include "common/linuxFlash/KernelInterface.h"
#include "common/linuxFlash/Ubi.h"

namespace Ubi {

// Reads a volume back through its node, read-only and without printing
// anything: the check made before new volumes are switched in.
class VolumeReader {
public:
    explicit VolumeReader(Device& device) : m_device(device) {}

    bool open(const std::string& name);
    // Bytes read, 0 at the end of the volume, or -1.
    int read(void* data, unsigned size);

private:
    Device& m_device;
    std::unique_ptr<LinuxFlash::KernelFile> m_file;
};

} // namespace Ubi
