#include "common/linuxFlash/UbiVolumeReader.h"

#include <fcntl.h>

#include "StringTool/StringTool.h"

namespace Ubi {

bool VolumeReader::open(const std::string& name) {
    int id = 0;
    if (!m_device.findUbiVolumeId(name, id)) {
        return false;
    }
    const std::string path = StringTool::stringf("/dev/%s_%d", m_device.name().c_str(), id);
    m_file = std::make_unique<LinuxFlash::KernelFile>(path, O_RDONLY);
    if (!m_file->isOpen()) {
        m_file.reset();
        return false;
    }
    return true;
}

int VolumeReader::read(void* data, unsigned size) {
    if (!m_file) {
        return -1;
    }
    return int(m_file->read(data, size));
}

} // namespace Ubi
