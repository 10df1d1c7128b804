#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"
#include "common/linuxFlash/UbiVolumeType.h"

namespace Ubi {

// ": " and the C library's text for a failure's errno, or nothing when it has none.
std::string because(int error);

// The UBI character device /dev/ubiN attached to a named MTD partition. Lookups read sysfs
// afresh every time, so they see the effect of the requests made just before. A failed
// operation leaves its cause in error(): the errno of the refused call, or ENOENT for a name
// that is not there, ENAMETOOLONG and E2BIG for requests stopped before the kernel. Nothing
// here prints: the caller says what it wants said.
class Device {
public:
    explicit Device(LinuxFlash::KernelInterface& kernel = LinuxFlash::linuxKernel());
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Finds the device attached to the partition `mtdName` and opens it; called once.
    [[nodiscard]] bool init(const std::string& mtdName);
    [[nodiscard]] static bool
    findUbiDeviceId(int mtdIndex, int& ubiId,
                    LinuxFlash::KernelInterface& kernel = LinuxFlash::linuxKernel());
    [[nodiscard]] bool findUbiVolumeId(const std::string& name, int& volId);
    // Whether a volume of that name is there; the id is not kept.
    [[nodiscard]] bool volumeExists(const std::string& name);
    [[nodiscard]] bool createVolume(const std::string& name, VolumeType type, unsigned size);
    [[nodiscard]] bool deleteVolume(const std::string& name);
    // One atomic request; each pair is (current name, new name).
    [[nodiscard]] bool
    renameVolumes(const std::vector<std::pair<std::string, std::string>>& renames);

    // One read of the volume's sysfs attribute, e.g. "upd_marker", without its newline.
    [[nodiscard]] bool volumeAttribute(const std::string& volumeName, const std::string& attribute,
                                       std::string& value);
    // The bytes UBI reserved for the volume: its eraseblocks times their usable size.
    [[nodiscard]] bool volumeCapacity(const std::string& volumeName, unsigned long long& bytes);
    // An exclusive flock on the device node, for one changer of the volumes at a time; false
    // with EWOULDBLOCK in error() when another holds it.
    [[nodiscard]] bool lock();
    // One read of the device's own sysfs attribute, e.g. "eraseblock_size", without its newline.
    [[nodiscard]] bool deviceAttribute(const std::string& attribute, std::string& value);
    // ubiN once init has succeeded, empty before.
    const std::string& name() const { return m_name; }
    LinuxFlash::KernelInterface& kernel() const { return m_kernel; }
    int error() const { return m_error; }

private:
    bool findVolumeEntry(const std::string& name, std::string& entry, int& volId);
    bool attributeValue(const std::string& path, std::string& value);
    bool fail(int error);

    LinuxFlash::KernelInterface& m_kernel;
    int m_fd;
    std::string m_name;
    int m_error = 0;
};

// Writes new contents into one volume of a device through a UBI volume update. Like the
// device, it keeps the cause of its latest failure in error().
class Volume {
public:
    explicit Volume(Device& device);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Opens /dev/ubiN_M read-write; the object must be closed.
    [[nodiscard]] bool open(const std::string& name);
    void close();
    [[nodiscard]] bool beginUpdate(long long bytes);
    // Bytes written (maybe fewer than size) or -1.
    int write(const void* data, unsigned size);
    int error() const { return m_error; }

private:
    Device& m_device;
    int m_fd;
    int m_error = 0;
};

// Reads a volume back through its node, read-only and without printing anything: the check
// made before new volumes are switched in. It keeps the cause of its own latest failure in
// error().
class VolumeReader {
public:
    explicit VolumeReader(Device& device) : m_device(device) {}

    [[nodiscard]] bool open(const std::string& name);
    // Bytes read, 0 at the end of the volume, or -1.
    int read(void* data, unsigned size);
    int error() const { return m_error; }

private:
    Device& m_device;
    std::unique_ptr<LinuxFlash::KernelFile> m_file;
    int m_error = 0;
};

} // namespace Ubi
