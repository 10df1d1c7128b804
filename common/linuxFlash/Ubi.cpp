#include "common/linuxFlash/Ubi.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <vector>

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"
#include "common/linuxFlash/KernelInterface.h"
#include "common/linuxFlash/Mtd.h"
#include "common/linuxFlash/UbiRequests.h"

// What this module relies on from the kernel's UBI user interface:
// - sysfs lists every device ubiN and every volume ubiN_M under /sys/class/ubi, and each
//   device's volumes under its own directory; attributes end in a newline and change at once
//   with every request, so nothing here is cached.
// - A rename request is atomic: after a power cut the volumes carry all old names or all new
//   ones. A volume that holds one of the new names and is not renamed itself is removed in
//   the same step, which is how the previous generation of a volume goes away.
// - An update takes exactly the announced number of bytes on the same descriptor. Until they
//   have all arrived the volume is marked in sysfs (upd_marker) and cannot be read; once they
//   have, any further write is refused.
// - /dev/ubiN takes the volume requests; /dev/ubiN_M takes an update, and only one handle at
//   a time may write to it.

// This module's index in the trace area table, set before main.
static unsigned int s_traceArea;

namespace {

// Runs after the trace and MTD modules' registrations, so the table holds "Trace", "VKT5500"
// and "Ubi" in that order.
struct TraceAreaRegistrar {
    TraceAreaRegistrar() { Trace::Area::enumerateArea("Ubi", &s_traceArea); }
};

TraceAreaRegistrar s_traceAreaRegistrar __attribute__((init_priority(VEXIL_INIT_PRIORITY_UBI)));

constexpr size_t kAttributeReadSize = 128;
constexpr const char* kClassDirectory = "/sys/class/ubi";

std::string deviceNode(int ubiId) {
    return StringTool::stringf("/dev/ubi%d", ubiId);
}

std::string deviceName(int ubiId) {
    return StringTool::stringf("ubi%d", ubiId);
}

std::string volumeNode(const std::string& deviceName, int volId) {
    return StringTool::stringf("/dev/%s_%d", deviceName.c_str(), volId);
}

std::string classEntry(const std::string& entry) {
    return StringTool::stringf("%s/%s", kClassDirectory, entry.c_str());
}

std::string classAttribute(const std::string& entry, const char* attribute) {
    return StringTool::stringf("%s/%s/%s", kClassDirectory, entry.c_str(), attribute);
}

// ubiN, and also ubiN_M: anything may follow the number.
bool parseDeviceEntry(const std::string& entry, int& ubiId) {
    return sscanf(entry.c_str(), "ubi%d", &ubiId) == 1;
}

// ubiN_M; N is not compared with the device's own number.
bool parseVolumeEntry(const std::string& entry, int& volId) {
    int ubiId;
    return sscanf(entry.c_str(), "ubi%d_%d", &ubiId, &volId) == 2;
}

// Attribute text the kernel would not write is taken as it comes, never past the buffer:
// - no newline: the last byte is dropped all the same, so "abc" reads as "ab" and "2" as "";
// - more than 128 bytes: only the first 128 are read and the first 127 kept;
// - an mtd_num that is no number converts to 0, so that device counts as attached to mtd0;
//   an over-long number saturates at LONG_MAX and matches no partition;
// - an empty or unreadable attribute: its entry is skipped.

// One read of at most 128 bytes, as it came: the caller decides what the last byte is.
bool readAttribute(LinuxFlash::KernelInterface& kernel, const std::string& path, std::string& raw) {
    LinuxFlash::KernelFile file(kernel, path, O_RDONLY);
    if (!file.isOpen()) {
        return false;
    }
    char buffer[kAttributeReadSize];
    const ssize_t length = file.read(buffer, sizeof buffer);
    if (length <= 0) {
        return false;
    }
    raw.assign(buffer, static_cast<size_t>(length));
    return true;
}

// The attribute's text without its last byte, which the kernel always makes a newline.
bool readAttributeText(LinuxFlash::KernelInterface& kernel, const std::string& path,
                       std::string& text) {
    std::string raw;
    if (!readAttribute(kernel, path, raw)) {
        return false;
    }
    raw.pop_back();
    text = raw;
    return true;
}

// Any value outside the enumeration is sent as 0, which the kernel refuses.
int8_t kernelVolumeType(Ubi::VolumeType type) {
    switch (type) {
    case Ubi::VolumeType::Dynamic:
        return UBI_DYNAMIC_VOLUME;
    case Ubi::VolumeType::Static:
        return UBI_STATIC_VOLUME;
    }
    return 0;
}

// The caller has checked that the name fits: at most 127 bytes, the rest of the field 0.
void fillRenameEntry(ubi_rnvol_req& request, size_t i, int volId, const std::string& newName) {
    request.ents[i].vol_id = volId;
    request.ents[i].name_len = static_cast<int16_t>(newName.size());
    memcpy(request.ents[i].name, newName.data(), newName.size());
}

} // namespace

namespace Ubi {

Device::Device(LinuxFlash::KernelInterface& kernel) : m_kernel(kernel), m_fd(-1) {}

Device::~Device() {
    if (m_fd != -1) {
        m_kernel.close(m_fd);
    }
}

bool Device::fail(int error) {
    m_error = error;
    return false;
}

// m_fd takes the open's result either way; after a failure it is -1 and m_name stays empty.
bool Device::init(const std::string& mtdName) {
    unsigned mtdIndex;
    if (!Mtd::findDevice(mtdName, mtdIndex, m_kernel)) {
        return fail(ENODEV);
    }
    int ubiId;
    if (!findUbiDeviceId(static_cast<int>(mtdIndex), ubiId, m_kernel)) {
        return fail(ENODEV);
    }
    m_fd = m_kernel.open(deviceNode(ubiId).c_str(), O_RDONLY);
    if (m_fd == -1) {
        return fail(errno);
    }
    m_name = deviceName(ubiId);
    return true;
}

// The first device in directory order whose mtd_num matches; the kernel attaches a partition
// at most once.
bool Device::findUbiDeviceId(int mtdIndex, int& ubiId, LinuxFlash::KernelInterface& kernel) {
    std::unique_ptr<LinuxFlash::DirectoryStream> directory = kernel.openDirectory(kClassDirectory);
    if (!directory) {
        return false;
    }
    std::string entry;
    while (directory->next(entry)) {
        int number;
        if (!parseDeviceEntry(entry, number)) {
            continue;
        }
        // Volume entries have no mtd_num and are passed over here.
        std::string text;
        if (!readAttributeText(kernel, classAttribute(entry, "mtd_num"), text)) {
            continue;
        }
        if (strtol(text.c_str(), nullptr, 10) == mtdIndex) {
            ubiId = number;
            return true;
        }
    }
    return false;
}

// The name is read from the volume's entry directly under the class directory; the entry
// nested in the device's directory is the same sysfs node.
bool Device::findVolumeEntry(const std::string& name, std::string& entry, int& volId) {
    std::unique_ptr<LinuxFlash::DirectoryStream> directory =
        m_kernel.openDirectory(classEntry(m_name).c_str());
    if (!directory) {
        return fail(ENOENT);
    }
    std::string candidate;
    while (directory->next(candidate)) {
        int number;
        if (!parseVolumeEntry(candidate, number)) {
            continue;
        }
        std::string volumeName;
        if (!readAttributeText(m_kernel, classAttribute(candidate, "name"), volumeName)) {
            continue;
        }
        if (volumeName == name) {
            entry = candidate;
            volId = number;
            return true;
        }
    }
    return fail(ENOENT);
}

bool Device::findUbiVolumeId(const std::string& name, int& volId) {
    std::string entry;
    return findVolumeEntry(name, entry, volId);
}

bool Device::volumeExists(const std::string& name) {
    int volId;
    return findUbiVolumeId(name, volId);
}

// A missing volume is reported by the result only: no request.
bool Device::deleteVolume(const std::string& name) {
    int volId;
    if (!findUbiVolumeId(name, volId)) {
        return false;
    }
    int32_t id = volId;
    return m_kernel.ioctl(m_fd, UBI_IOCRMVOL, &id) == 0 || fail(errno);
}

// Every current name is looked up before the request is issued, so all lookups see the names
// as they are before the rename; anything missing or too long stops it before the kernel.
bool Device::renameVolumes(const std::vector<std::pair<std::string, std::string>>& renames) {
    if (renames.size() > UBI_MAX_RNVOL) {
        return fail(E2BIG);
    }
    // Over 4 KiB: kept off the stack.
    std::unique_ptr<ubi_rnvol_req> request(new ubi_rnvol_req);
    memset(request.get(), 0, sizeof *request);
    for (size_t i = 0; i < renames.size(); ++i) {
        int volId;
        if (!findUbiVolumeId(renames[i].first, volId)) {
            return false;
        }
        if (renames[i].second.size() > UBI_MAX_VOLUME_NAME) {
            return fail(ENAMETOOLONG);
        }
        fillRenameEntry(*request, i, volId, renames[i].second);
    }
    request->count = static_cast<int32_t>(renames.size());
    return m_kernel.ioctl(m_fd, UBI_IOCRNVOL, request.get()) == 0 || fail(errno);
}

bool Device::volumeCapacity(const std::string& volumeName, unsigned long long& bytes) {
    std::string reserved;
    std::string usable;
    if (!volumeAttribute(volumeName, "reserved_ebs", reserved) ||
        !volumeAttribute(volumeName, "usable_eb_size", usable)) {
        return false;
    }
    bytes = strtoull(reserved.c_str(), nullptr, 10) * strtoull(usable.c_str(), nullptr, 10);
    return true;
}

// An attribute of the volume's entry, such as reserved_ebs.
bool Device::volumeAttribute(const std::string& volumeName, const std::string& attribute,
                             std::string& value) {
    std::string entry;
    int volId;
    if (!findVolumeEntry(volumeName, entry, volId)) {
        return false;
    }
    return attributeValue(classAttribute(entry, attribute.c_str()), value);
}

// One object serves volume after volume: the caller closes it before each open.
Volume::Volume(Device& device) : m_device(device), m_fd(-1) {}

Volume::~Volume() {
    close();
}

// Read-only, so it never starts an update and may be opened while another handle holds the
// volume for reading.
bool VolumeReader::open(const std::string& name) {
    int volId;
    if (!m_device.findUbiVolumeId(name, volId)) {
        m_error = m_device.error();
        return false;
    }
    m_file = std::make_unique<LinuxFlash::KernelFile>(m_device.kernel(),
                                                      volumeNode(m_device.name(), volId), O_RDONLY);
    if (!m_file->isOpen()) {
        m_error = errno;
        m_file.reset();
        return false;
    }
    return true;
}

// A static volume reads as its data bytes, a dynamic one as its whole size.
int VolumeReader::read(void* data, unsigned size) {
    const ssize_t got = m_file ? m_file->read(data, size) : -1;
    m_error = got >= 0 ? m_error : m_file ? errno : EBADF;
    return static_cast<int>(got);
}

// Closing a handle whose update is still short ends it and leaves the volume marked.
void Volume::close() {
    if (m_fd == -1) {
        return;
    }
    m_device.kernel().close(m_fd);
    m_fd = -1;
}

// The kernel wipes the volume and sets its update marker; the marker stays until exactly
// `bytes` bytes have been written to this same handle.
bool Volume::beginUpdate(long long bytes) {
    int64_t count = bytes;
    if (m_device.kernel().ioctl(m_fd, UBI_IOCVOLUP, &count) != 0) {
        m_error = errno;
        return false;
    }
    return true;
}

// One system call, no retry: a short write is the caller's to judge.
int Volume::write(const void* data, unsigned size) {
    // The kernel refuses any write once the update is complete, an empty one included, so an
    // empty piece of an update is done without asking it.
    if (size == 0) {
        return 0;
    }
    const ssize_t written = m_device.kernel().write(m_fd, data, size);
    m_error = written == -1 ? errno : m_error;
    return static_cast<int>(written);
}

// The name is not looked up first: the kernel refuses a name in use. The id it writes back
// into the record is not needed, since every later step finds the volume by name.
bool Device::createVolume(const std::string& name, VolumeType type, unsigned size) {
    ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(name, kernelVolumeType(type), size);
    return m_kernel.ioctl(m_fd, UBI_IOCMKVOL, &request) == 0 || fail(errno);
}

// The kernel drops the lock with the descriptor, also when the process dies.
bool Device::lock() {
    if (m_kernel.flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno);
    }
    return true;
}

bool Device::deviceAttribute(const std::string& attribute, std::string& value) {
    return attributeValue(classAttribute(m_name, attribute.c_str()), value);
}

// The two warnings below are issued from fixed lines of this file, 381 and 388: the trace
// header shows file and line, and logs collected from boards in the field are matched
// against them. Code added above this point has to keep them there.
//
// A handle still open is not closed here: the caller closes before every open. The object
// stays closed when the volume is missing or its node cannot be opened: m_fd takes the
// open's result either way. Nothing is printed but the two warnings, which go to the trace
// areas' outputs, not to the caller's transcript.
bool Volume::open(const std::string& name) {
    int volId;
    if (!m_device.findUbiVolumeId(name, volId)) {
        m_error = m_device.error();
        VEXIL_TRACE(Trace::LevelWarning, "failed to find volume\n");
        return false;
    }
    // Read-write: an update needs it, and the kernel lets one handle at a time have it.
    m_fd = m_device.kernel().open(volumeNode(m_device.name(), volId).c_str(), O_RDWR);
    m_error = m_fd == -1 ? errno : 0;
    if (m_fd == -1) {
        VEXIL_TRACE(Trace::LevelWarning, "failed to open volume\n");
    }
    return m_fd != -1;
}

// Unlike the lookups, only a newline is dropped: the values read here are checked by the
// caller and must not lose a digit to a missing newline.
bool Device::attributeValue(const std::string& path, std::string& value) {
    std::string raw;
    if (!readAttribute(m_kernel, path, raw)) {
        return fail(errno != 0 ? errno : EIO);
    }
    if (raw.back() == '\n') {
        raw.pop_back();
    }
    value = raw;
    return true;
}

std::string because(int error) {
    return error != 0 ? std::string(": ") + strerror(error) : std::string();
}

} // namespace Ubi
