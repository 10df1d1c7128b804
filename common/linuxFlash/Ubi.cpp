#include "common/linuxFlash/Ubi.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>

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

// The records leave this module byte for byte as the kernel reads them, on every target.
static_assert(sizeof(ubi_mkvol_req) == 152, "ubi_mkvol_req is 152 bytes");
static_assert(offsetof(ubi_mkvol_req, vol_id) == 0 && sizeof(ubi_mkvol_req::vol_id) == 4);
static_assert(offsetof(ubi_mkvol_req, alignment) == 4 && sizeof(ubi_mkvol_req::alignment) == 4);
static_assert(offsetof(ubi_mkvol_req, bytes) == 8 && sizeof(ubi_mkvol_req::bytes) == 8);
static_assert(offsetof(ubi_mkvol_req, vol_type) == 16 && sizeof(ubi_mkvol_req::vol_type) == 1);
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::vol_type)>, "vol_type is signed");
static_assert(offsetof(ubi_mkvol_req, flags) == 17 && sizeof(ubi_mkvol_req::flags) == 1);
static_assert(offsetof(ubi_mkvol_req, name_len) == 18 && sizeof(ubi_mkvol_req::name_len) == 2);
static_assert(offsetof(ubi_mkvol_req, padding2) == 20 && sizeof(ubi_mkvol_req::padding2) == 4);
static_assert(offsetof(ubi_mkvol_req, name) == 24 && sizeof(ubi_mkvol_req::name) == 128);
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::vol_id)>, "vol_id is signed");
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::bytes)>, "bytes is signed");
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::name_len)>, "name_len is signed");

static_assert(sizeof(ubi_rnvol_req) == 4368, "ubi_rnvol_req is 4368 bytes");
static_assert(offsetof(ubi_rnvol_req, count) == 0 && sizeof(ubi_rnvol_req::count) == 4);
static_assert(offsetof(ubi_rnvol_req, padding1) == 4 && sizeof(ubi_rnvol_req::padding1) == 12);
static_assert(offsetof(ubi_rnvol_req, ents) == 16, "rename entries start at byte 16");
static_assert(UBI_MAX_RNVOL == 32, "a rename request holds 32 entries");
static_assert(sizeof(LinuxFlash::RenameEntry) == 136, "a rename entry is 136 bytes");
static_assert(offsetof(LinuxFlash::RenameEntry, vol_id) == 0);
static_assert(sizeof(LinuxFlash::RenameEntry::vol_id) == 4);
static_assert(offsetof(LinuxFlash::RenameEntry, name_len) == 4);
static_assert(sizeof(LinuxFlash::RenameEntry::name_len) == 2);
static_assert(offsetof(LinuxFlash::RenameEntry, padding2) == 6);
static_assert(offsetof(LinuxFlash::RenameEntry, name) == 8);
static_assert(sizeof(LinuxFlash::RenameEntry::name) == 128);
static_assert(std::is_signed_v<decltype(ubi_rnvol_req::count)>, "count is signed");
static_assert(std::is_signed_v<decltype(LinuxFlash::RenameEntry::vol_id)>, "vol_id is signed");
static_assert(std::is_signed_v<decltype(LinuxFlash::RenameEntry::name_len)>, "name_len is signed");

static_assert(UBI_MAX_VOLUME_NAME == 127, "longest volume name");
static_assert(UBI_VOL_NUM_AUTO == -1, "the kernel chooses the volume id");
static_assert(UBI_DYNAMIC_VOLUME == 3 && UBI_STATIC_VOLUME == 4, "kernel volume types");
static_assert(UBI_IOCMKVOL == 0x40986F00u, "UBI_IOCMKVOL: write, 'o', 0, 152 bytes");
static_assert(UBI_IOCRMVOL == 0x40046F01u, "UBI_IOCRMVOL: write, 'o', 1, 4 bytes");
static_assert(UBI_IOCRNVOL == 0x51106F03u, "UBI_IOCRNVOL: write, 'o', 3, 4368 bytes");
static_assert(UBI_IOCVOLUP == 0x40084F00u, "UBI_IOCVOLUP: write, 'O', 0, 8 bytes");

static unsigned int _traceArea;
static unsigned int _traceAreaFilescope;

namespace {

// Runs after the trace and MTD modules' registrations, so the table holds "Trace", "VKT5500"
// and "Ubi" in that order.
struct TraceAreaRegistrar {
    TraceAreaRegistrar() { _traceAreaFilescope = Trace::Area::enumerateArea("Ubi", &_traceArea); }
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
bool readAttribute(const std::string& path, std::string& raw) {
    LinuxFlash::KernelFile file(path, O_RDONLY);
    if (!file.isOpen())
        return false;
    char buffer[kAttributeReadSize];
    const ssize_t length = file.read(buffer, sizeof buffer);
    if (length <= 0)
        return false;
    raw.assign(buffer, static_cast<size_t>(length));
    return true;
}

// The attribute's text without its last byte, which the kernel always makes a newline.
bool readAttributeText(const std::string& path, std::string& text) {
    std::string raw;
    if (!readAttribute(path, raw))
        return false;
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

// Zero-filled, so padding and everything not set reach the kernel as 0. The name length is
// not limited here: the kernel refuses names over 127 bytes with its own error.
void fillMakeVolumeRequest(ubi_mkvol_req& request, const std::string& name, Ubi::VolumeType type,
                           unsigned size) {
    memset(&request, 0, sizeof request);
    request.vol_id = UBI_VOL_NUM_AUTO;
    request.alignment = 1;
    request.bytes = size;
    request.vol_type = kernelVolumeType(type);
    request.name_len = static_cast<int16_t>(static_cast<uint16_t>(name.size()));
    memcpy(request.name, name.data(), std::min(name.size(), sizeof request.name));
}

// The caller has checked that the name fits: at most 127 bytes, the rest of the field 0.
void fillRenameEntry(ubi_rnvol_req& request, size_t i, int volId, const std::string& newName) {
    request.ents[i].vol_id = volId;
    request.ents[i].name_len = static_cast<int16_t>(newName.size());
    memcpy(request.ents[i].name, newName.data(), newName.size());
}

} // namespace

namespace Ubi {

Device::Device() : m_fd(-1) {}

Device::~Device() {
    if (m_fd != -1)
        LinuxFlash::kernel().close(m_fd);
}

// m_fd takes the open's result either way; after a failure it is -1 and m_name stays empty.
bool Device::init(const std::string& mtdName) {
    unsigned mtdIndex;
    if (!Mtd::findDevice(mtdName, mtdIndex))
        return false;
    int ubiId;
    if (!findUbiDeviceId(static_cast<int>(mtdIndex), ubiId))
        return false;
    m_fd = LinuxFlash::kernel().open(deviceNode(ubiId).c_str(), O_RDONLY);
    if (m_fd == -1)
        return false;
    m_name = deviceName(ubiId);
    return true;
}

// The first device in directory order whose mtd_num matches; the kernel attaches a partition
// at most once.
bool Device::findUbiDeviceId(int mtdIndex, int& ubiId) {
    std::unique_ptr<LinuxFlash::DirectoryStream> directory =
        LinuxFlash::kernel().openDirectory(kClassDirectory);
    if (!directory)
        return false;
    std::string entry;
    while (directory->next(entry)) {
        int number;
        if (!parseDeviceEntry(entry, number))
            continue;
        // Volume entries have no mtd_num and are passed over here.
        std::string text;
        if (!readAttributeText(classAttribute(entry, "mtd_num"), text))
            continue;
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
        LinuxFlash::kernel().openDirectory(classEntry(m_name).c_str());
    if (!directory)
        return false;
    std::string candidate;
    while (directory->next(candidate)) {
        int number;
        if (!parseVolumeEntry(candidate, number))
            continue;
        std::string volumeName;
        if (!readAttributeText(classAttribute(candidate, "name"), volumeName))
            continue;
        if (volumeName == name) {
            entry = candidate;
            volId = number;
            return true;
        }
    }
    return false;
}

bool Device::findUbiVolumeId(const std::string& name, int& volId) {
    std::string entry;
    return findVolumeEntry(name, entry, volId);
}

// The id found is not kept: the caller only asks whether the name is in use.
bool Device::volumeExists(std::string name) {
    int volId;
    if (findUbiVolumeId(name, volId)) {
        printf("volumeExists(%s) ->true\n", name.c_str());
        return true;
    }
    printf("volumeExists(%s) ->false\n", name.c_str());
    return false;
}

// The name is not looked up first: the kernel refuses a name in use. The id it writes back
// into the record is not needed, since every later step finds the volume by name.
bool Device::makeVolume(std::string name, VolumeType type, unsigned size) {
    printf("makeVolume(%s)\n", name.c_str());
    ubi_mkvol_req request;
    fillMakeVolumeRequest(request, name, type, size);
    if (LinuxFlash::kernel().ioctl(m_fd, UBI_IOCMKVOL, &request) == -1) {
        perror("ioctl");
        return false;
    }
    return true;
}

// A missing volume is reported by the result only: no request, no line.
bool Device::deleteVolume(std::string name) {
    int volId;
    if (!findUbiVolumeId(name, volId))
        return false;
    int32_t id = volId;
    if (LinuxFlash::kernel().ioctl(m_fd, UBI_IOCRMVOL, &id) == -1) {
        perror("deleteVolume");
        return false;
    }
    return true;
}

// Every current name is looked up before the request is issued, so all lookups see the names
// as they are before the rename; anything missing or too long stops it before the kernel.
bool Device::renameVolumes(const std::vector<std::pair<std::string, std::string>>& renames) {
    if (renames.size() > UBI_MAX_RNVOL)
        return false;
    // Over 4 KiB: kept off the stack.
    std::unique_ptr<ubi_rnvol_req> request(new ubi_rnvol_req);
    memset(request.get(), 0, sizeof *request);
    for (size_t i = 0; i < renames.size(); ++i) {
        int volId;
        if (!findUbiVolumeId(renames[i].first, volId))
            return false;
        if (renames[i].second.size() > UBI_MAX_VOLUME_NAME)
            return false;
        fillRenameEntry(*request, i, volId, renames[i].second);
    }
    request->count = static_cast<int32_t>(renames.size());
    if (LinuxFlash::kernel().ioctl(m_fd, UBI_IOCRNVOL, request.get()) == -1) {
        perror("deleteVolume");
        return false;
    }
    return true;
}

// Unlike the lookups, only a newline is dropped: the values read here are checked by the
// caller and must not lose a digit to a missing newline.
bool Device::volumeAttribute(const std::string& volumeName, const std::string& attribute,
                             std::string& value) {
    std::string entry;
    int volId;
    if (!findVolumeEntry(volumeName, entry, volId))
        return false;
    std::string raw;
    if (!readAttribute(classAttribute(entry, attribute.c_str()), raw))
        return false;
    if (raw.back() == '\n')
        raw.pop_back();
    value = raw;
    return true;
}

Volume::Volume(Device& device) : m_device(device), m_fd(-1) {}

Volume::~Volume() {
    close();
}

// Closing a handle whose update is still short ends that update and leaves the volume
// marked.
void Volume::close() {
    if (m_fd == -1)
        return;
    LinuxFlash::kernel().close(m_fd);
    m_fd = -1;
}

// The kernel wipes the volume and sets its update marker; the marker stays until exactly
// `bytes` bytes have been written to this same handle.
bool Volume::beginUpdate(long long bytes) {
    int64_t count = bytes;
    return LinuxFlash::kernel().ioctl(m_fd, UBI_IOCVOLUP, &count) == 0;
}

int Volume::write(const void* data, unsigned size) {
    // The kernel refuses any write once the update is complete, an empty one included, so an
    // empty piece of an update is done without asking it.
    if (size == 0)
        return 0;
    const ssize_t written = LinuxFlash::kernel().write(m_fd, data, size);
    if (written == -1)
        perror("write");
    return static_cast<int>(written);
}

// The two warnings below are issued from fixed lines of this file, 381 and 388: the trace
// header shows file and line, and logs collected from boards in the field are matched
// against them. Code added above this point has to keep them there.
//
// A handle still open is not closed here: the caller closes before every open. The object
// stays closed when the volume is missing or its node cannot be opened; a failed open
// leaves the handle at -1.
bool Volume::open(const std::string& name) {
    printf("open: %s\n", name.c_str());
    int volId;
    if (!m_device.findUbiVolumeId(name, volId)) {
        VEXIL_TRACE(Trace::LevelWarning, "failed to find volume\n");
        return false;
    }
    const std::string node = volumeNode(m_device.name(), volId);
    // Kept whether or not the open succeeded: a failed open leaves the object closed.
    m_fd = LinuxFlash::kernel().open(node.c_str(), O_RDWR);
    if (m_fd == -1) {
        VEXIL_TRACE(Trace::LevelWarning, "failed to open volume\n");
        return false;
    }
    return true;
}

} // namespace Ubi
