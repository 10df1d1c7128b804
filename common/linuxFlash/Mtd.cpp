#include "common/linuxFlash/Mtd.h"

#include <fcntl.h>

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"
#include "common/linuxFlash/KernelInterface.h"

static unsigned int s_traceArea;

namespace {

struct TraceAreaRegistrar {
    TraceAreaRegistrar() { Trace::Area::enumerateArea("VKT5500", &s_traceArea); }
};

TraceAreaRegistrar s_traceAreaRegistrar __attribute__((init_priority(VEXIL_INIT_PRIORITY_MTD)));

constexpr int kMaxPartitions = 20;
constexpr size_t kNameReadSize = 32;

} // namespace

std::vector<Mtd::DeviceInfo> Mtd::getDevices(LinuxFlash::KernelInterface& kernel) {
    std::vector<DeviceInfo> devices;
    for (int n = 0; n < kMaxPartitions; ++n) {
        LinuxFlash::KernelFile file(kernel, StringTool::stringf("/sys/class/mtd/mtd%d/name", n),
                                    O_RDONLY);
        if (!file.isOpen()) {
            break;
        }
        char buffer[kNameReadSize];
        const ssize_t length = file.read(buffer, sizeof buffer);
        if (length <= 0) {
            continue;
        }
        // The last byte is the attribute's newline; a longer name loses its 32nd byte instead.
        buffer[length - 1] = '\0';
        devices.push_back({std::string(buffer), static_cast<uint32_t>(n)});
    }
    return devices;
}

bool Mtd::findDevice(const std::string& name, unsigned& index,
                     LinuxFlash::KernelInterface& kernel) {
    for (const DeviceInfo& device : getDevices(kernel)) {
        if (device.name == name) {
            index = device.index;
            return true;
        }
    }
    return false;
}
