#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Ubi {

// Sent to the kernel as vol_type 3 (dynamic) and 4 (static).
enum class VolumeType : int {
    Dynamic = 0,
    Static = 1,
};

// The UBI character device /dev/ubiN attached to a named MTD partition. Lookups read sysfs
// afresh every time, so they see the effect of the requests made just before.
class Device {
public:
    Device();
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Finds the device attached to the partition `mtdName` and opens it; called once.
    bool init(const std::string& mtdName);
    static bool findUbiDeviceId(int mtdIndex, int& ubiId);
    bool findUbiVolumeId(const std::string& name, int& volId);
    bool volumeExists(std::string name);
    bool makeVolume(std::string name, VolumeType type, unsigned size);
    bool deleteVolume(std::string name);
    // One atomic request; each pair is (current name, new name).
    bool renameVolumes(const std::vector<std::pair<std::string, std::string>>& renames);

    // One read of the volume's sysfs attribute, e.g. "upd_marker", without its newline.
    bool volumeAttribute(const std::string& volumeName, const std::string& attribute,
                         std::string& value);
    // ubiN once init has succeeded, empty before.
    const std::string& name() const { return m_name; }

private:
    bool findVolumeEntry(const std::string& name, std::string& entry, int& volId);

    int m_fd;
    std::string m_name;
};

// Writes new contents into one volume of a device through a UBI volume update.
class Volume {
public:
    explicit Volume(Device& device);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Opens /dev/ubiN_M read-write; the object must be closed.
    bool open(const std::string& name);
    void close();
    bool beginUpdate(long long bytes);
    // Bytes written (maybe fewer than size) or -1.
    int write(const void* data, unsigned size);

private:
    Device& m_device;
    int m_fd;
};

} // namespace Ubi
