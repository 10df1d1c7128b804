#include "sim/Simulator.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>

#include "common/linuxFlash/UbiRequests.h"

namespace Sim {

namespace {

constexpr int firstFd = 3;

class SnapshotDirectory : public LinuxFlash::DirectoryStream {
public:
    explicit SnapshotDirectory(std::vector<std::string> entries) : m_entries(std::move(entries)) {}

    bool next(std::string& name) override {
        if (m_next == m_entries.size()) {
            return false;
        }
        name = m_entries[m_next++];
        return true;
    }

private:
    std::vector<std::string> m_entries;
    size_t m_next = 0;
};

// The bytes a known request's argument holds; unknown requests are not copied.
size_t recordSize(unsigned long request) {
    switch (request) {
    case UBI_IOCMKVOL:
        return sizeof(ubi_mkvol_req);
    case UBI_IOCRMVOL:
        return sizeof(int32_t);
    case UBI_IOCRNVOL:
        return sizeof(ubi_rnvol_req);
    case UBI_IOCVOLUP:
        return sizeof(int64_t);
    default:
        return 0;
    }
}

} // namespace

Simulator::Simulator() : m_ubi(m_faults), m_sysfs(m_ubi) {}
Simulator::~Simulator() = default;

unsigned Simulator::addMtd(const std::string& name) {
    auto& mtds = m_ubi.board().mtds;
    unsigned number = 0;
    while (mtds.count(number) != 0) {
        ++number;
    }
    mtds[number] = name;
    return number;
}

void Simulator::setMtdNameAttribute(unsigned mtd, std::string raw) {
    setAttribute("/sys/class/mtd/mtd" + std::to_string(mtd) + "/name", std::move(raw));
}

void Simulator::setMtdAttributeUnreadable(unsigned mtd) {
    setAttributeUnreadable("/sys/class/mtd/mtd" + std::to_string(mtd) + "/name", EIO);
}

void Simulator::removeMtd(unsigned mtd) {
    Board& board = m_ubi.board();
    for (const auto& [number, device] : board.ubis) {
        if (device.mtd == mtd) {
            throw std::invalid_argument("a UBI device is attached to this partition");
        }
    }
    if (board.mtds.erase(mtd) == 0) {
        throw std::invalid_argument("no such MTD partition");
    }
    m_sysfs.dropMtdOverrides(mtd);
}

unsigned Simulator::attachUbi(unsigned mtd, unsigned lebSize, unsigned lebCount,
                              unsigned minIoSize) {
    Board& board = m_ubi.board();
    if (board.mtds.count(mtd) == 0) {
        throw std::invalid_argument("no such MTD partition");
    }
    if (lebSize == 0 || minIoSize == 0 || (minIoSize & (minIoSize - 1)) != 0) {
        throw std::invalid_argument("bad eraseblock or I/O size");
    }
    unsigned number = 0;
    for (const auto& [existing, device] : board.ubis) {
        if (device.mtd == mtd) {
            throw std::invalid_argument("partition already attached");
        }
        if (existing == number) {
            ++number;
        }
    }
    UbiDevice& device = board.ubis[number];
    device.number = number;
    device.mtd = mtd;
    device.lebSize = lebSize;
    device.lebCount = lebCount;
    device.minIoSize = minIoSize;
    return number;
}

void Simulator::setUbiModuleLoaded(bool loaded) {
    m_ubi.board().ubiLoaded = loaded;
}

void Simulator::setAttribute(const std::string& path, std::string raw) {
    m_sysfs.setAttribute(path, std::move(raw));
}

void Simulator::setAttributeUnreadable(const std::string& path, int error) {
    m_sysfs.setAttributeUnreadable(path, error);
}

int Simulator::addVolume(unsigned ubi, const std::string& name, int type, unsigned long long bytes,
                         const std::vector<uint8_t>& data) {
    UbiDevice* device = m_ubi.device(ubi);
    if (device == nullptr) {
        throw std::invalid_argument("no such UBI device");
    }
    ubi_mkvol_req request =
        LinuxFlash::makeVolumeRequest(name, type, static_cast<long long>(bytes));
    const int error = m_ubi.createVolume(*device, request, false);
    if (error != 0) {
        throw std::invalid_argument("cannot make volume " + name + ": " + strerror(error));
    }
    Volume& made = device->volumes.at(request.vol_id);
    if (data.size() > static_cast<unsigned long long>(made.reservedEbs) * made.usableLebSize) {
        throw std::invalid_argument("data larger than the volume");
    }
    made.data = data;
    if (made.type == kStatic) {
        made.usedBytes = data.size();
    }
    return made.id;
}

std::vector<Simulator::VolumeInfo> Simulator::volumes(unsigned ubi) const {
    std::vector<VolumeInfo> result;
    const auto& ubis = m_ubi.board().ubis;
    const auto device = ubis.find(ubi);
    if (device == ubis.end()) {
        return result;
    }
    for (const auto& [id, volume] : device->second.volumes) {
        result.push_back({id, volume.name, volume.type, volume.reservedEbs, volume.usedBytes,
                          volume.updMarker || volume.markerInMemory, volume.corrupted,
                          volume.data});
    }
    return result;
}

Volume& Simulator::volume(unsigned ubi, int volId) {
    UbiDevice* device = m_ubi.device(ubi);
    if (device == nullptr || device->volumes.count(volId) == 0) {
        throw std::invalid_argument("no such volume");
    }
    return device->volumes.at(volId);
}

void Simulator::corruptVolumeData(unsigned ubi, int volId, unsigned long long offset) {
    Volume& target = volume(ubi, volId);
    if (offset >= target.usedBytes) {
        throw std::invalid_argument("offset past the volume's data");
    }
    if (offset >= target.data.size()) {
        target.data.resize(offset + 1, 0xFF);
    }
    target.data[offset] ^= 0xFF;
    target.damaged = true;
}

void Simulator::setVolumeCorrupted(unsigned ubi, int volId, bool corrupted) {
    volume(ubi, volId).corrupted = corrupted;
}

void Simulator::failCall(Call kind, unsigned nth, int error, unsigned long request) {
    m_faults.failCall(kind, nth, error, request);
}

void Simulator::powerCutBefore(unsigned n) {
    m_faults.cutPowerAt(n, FaultPlan::Cut::Before);
}

void Simulator::powerCutAfter(unsigned n) {
    m_faults.cutPowerAt(n, FaultPlan::Cut::After);
}

unsigned Simulator::stateChangingOperations() const {
    return m_ubi.stateChangingOperations();
}

bool Simulator::poweredOff() const {
    return m_ubi.poweredOff();
}

void Simulator::reattach() {
    m_files.clear();
    m_locks.clear();
    m_faults.powerCycle();
    UbiModel::settle(m_ubi.board());
}

const std::vector<Simulator::Request>& Simulator::requests() const {
    return m_requests;
}

void Simulator::clearRequests() {
    m_requests.clear();
}

size_t Simulator::openDescriptors() const {
    return m_files.size();
}

void Simulator::setRecordPayloads(bool record) {
    m_recordPayloads = record;
}

int Simulator::fail(Request& request, int error) {
    request.result = -1;
    request.error = error;
    m_requests.push_back(std::move(request));
    errno = error;
    return -1;
}

ssize_t Simulator::finish(Request& request, ssize_t result) {
    request.result = result;
    m_requests.push_back(std::move(request));
    return result;
}

Simulator::OpenFile* Simulator::openFile(int fd) {
    const auto it = m_files.find(fd);
    return it == m_files.end() ? nullptr : &it->second;
}

int Simulator::open(const char* path, int flags) {
    Request request{Call::Open, path, -1, static_cast<unsigned long>(flags), {}, 0, 0, 0};
    int error = 0;
    if (m_faults.callFails(Call::Open, 0, error)) {
        return fail(request, error);
    }
    OpenFile file;
    file.node = m_sysfs.resolve(path);
    file.path = path;
    const int access = flags & O_ACCMODE;
    file.canRead = access == O_RDONLY || access == O_RDWR;
    file.canWrite = access == O_WRONLY || access == O_RDWR;
    switch (file.node.kind) {
    case SysfsTree::NodeKind::Missing:
        return fail(request, ENOENT);
    case SysfsTree::NodeKind::Directory:
        if (access != O_RDONLY) {
            return fail(request, EISDIR);
        }
        break;
    case SysfsTree::NodeKind::Attribute:
        // sysfs attributes here have no store operation.
        if (access != O_RDONLY) {
            return fail(request, EACCES);
        }
        break;
    case SysfsTree::NodeKind::UbiNode:
        break;
    case SysfsTree::NodeKind::VolumeNode:
        if ((flags & O_DIRECTORY) == 0) {
            file.volume.ubi = file.node.number;
            file.volume.serial = file.node.serial;
            error = m_ubi.openVolume(file.volume, file.canWrite);
            if (error != 0) {
                return fail(request, error);
            }
        }
        break;
    }
    if ((flags & O_DIRECTORY) != 0 && file.node.kind != SysfsTree::NodeKind::Directory) {
        return fail(request, ENOTDIR);
    }
    int fd = firstFd;
    while (m_files.count(fd) != 0) {
        ++fd;
    }
    m_files.emplace(fd, std::move(file));
    request.fd = fd;
    return static_cast<int>(finish(request, fd));
}

ssize_t Simulator::read(int fd, void* buffer, size_t count) {
    OpenFile* file = openFile(fd);
    Request request{Call::Read, file != nullptr ? file->path : "", fd, 0, {}, 0, 0, count};
    int error = 0;
    if (m_faults.callFails(Call::Read, 0, error)) {
        return fail(request, error);
    }
    if (file == nullptr || !file->canRead) {
        return fail(request, EBADF);
    }
    if (buffer == nullptr && count != 0) {
        return fail(request, EFAULT);
    }
    ssize_t result = -1;
    errno = 0;
    switch (file->node.kind) {
    case SysfsTree::NodeKind::Missing:
    case SysfsTree::NodeKind::UbiNode:
        // The device node has no read operation.
        return fail(request, EINVAL);
    case SysfsTree::NodeKind::Directory:
        return fail(request, EISDIR);
    case SysfsTree::NodeKind::Attribute:
        result = m_sysfs.readAttribute(file->node, file->attribute, buffer, count);
        break;
    case SysfsTree::NodeKind::VolumeNode:
        result = m_ubi.readVolume(file->volume, buffer, count);
        break;
    }
    if (result < 0) {
        return fail(request, errno);
    }
    if (m_recordPayloads) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        request.bytes.assign(bytes, bytes + result);
    }
    return finish(request, result);
}

ssize_t Simulator::write(int fd, const void* buffer, size_t count) {
    OpenFile* file = openFile(fd);
    Request request{Call::Write, file != nullptr ? file->path : "", fd, 0, {}, 0, 0, count};
    if (m_recordPayloads && buffer != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        request.bytes.assign(bytes, bytes + count);
    }
    int error = 0;
    if (m_faults.callFails(Call::Write, 0, error)) {
        return fail(request, error);
    }
    if (file == nullptr || !file->canWrite) {
        return fail(request, EBADF);
    }
    if (buffer == nullptr && count != 0) {
        return fail(request, EFAULT);
    }
    if (file->node.kind != SysfsTree::NodeKind::VolumeNode) {
        return fail(request, EINVAL);
    }
    errno = 0;
    const ssize_t result = m_ubi.writeVolume(file->volume, buffer, count);
    if (result < 0) {
        return fail(request, errno);
    }
    return finish(request, result);
}

int Simulator::close(int fd) {
    OpenFile* file = openFile(fd);
    Request request{Call::Close, file != nullptr ? file->path : "", fd, 0, {}, 0, 0, 0};
    if (file == nullptr) {
        return fail(request, EBADF);
    }
    if (file->node.kind == SysfsTree::NodeKind::VolumeNode) {
        m_ubi.closeVolume(file->volume);
    }
    m_locks[file->node.canonical].erase(fd);
    m_files.erase(fd);
    int error = 0;
    if (m_faults.callFails(Call::Close, 0, error)) {
        return fail(request, error);
    }
    return static_cast<int>(finish(request, 0));
}

int Simulator::ioctl(int fd, unsigned long requestCode, void* argument) {
    OpenFile* file = openFile(fd);
    Request request{Call::Ioctl, file != nullptr ? file->path : "", fd, requestCode, {}, 0, 0, 0};
    const size_t size = recordSize(requestCode);
    if (argument != nullptr && size != 0) {
        const auto* bytes = static_cast<const uint8_t*>(argument);
        request.bytes.assign(bytes, bytes + size);
    }
    int error = 0;
    if (m_faults.callFails(Call::Ioctl, requestCode, error)) {
        return fail(request, error);
    }
    if (file == nullptr) {
        return fail(request, EBADF);
    }
    if (file->node.kind == SysfsTree::NodeKind::UbiNode) {
        UbiDevice* device = m_ubi.device(file->node.number);
        if (device == nullptr) {
            return fail(request, ENODEV);
        }
        error = deviceRequest(*device, requestCode, argument);
    } else if (file->node.kind == SysfsTree::NodeKind::VolumeNode && requestCode == UBI_IOCVOLUP) {
        int64_t bytes = 0;
        if (argument != nullptr) {
            memcpy(&bytes, argument, sizeof bytes);
        }
        error = argument == nullptr ? EFAULT : m_ubi.startUpdate(file->volume, bytes);
    } else {
        error = ENOTTY;
    }
    if (error != 0) {
        return fail(request, error);
    }
    return static_cast<int>(finish(request, 0));
}

int Simulator::flock(int fd, int operation) {
    OpenFile* file = openFile(fd);
    const auto how = static_cast<unsigned long>(operation);
    Request request{Call::Flock, file != nullptr ? file->path : "", fd, how, {}, 0, 0, 0};
    int error = 0;
    if (m_faults.callFails(Call::Flock, 0, error)) {
        return fail(request, error);
    }
    if (file == nullptr) {
        return fail(request, EBADF);
    }
    std::map<int, int>& holders = m_locks[file->node.canonical];
    const int kind = operation & (LOCK_SH | LOCK_EX | LOCK_UN);
    if (kind == LOCK_UN) {
        holders.erase(fd);
        return static_cast<int>(finish(request, 0));
    }
    if (kind != LOCK_SH && kind != LOCK_EX) {
        return fail(request, EINVAL);
    }
    for (const auto& [holder, held] : holders) {
        if (holder != fd && (held == LOCK_EX || kind == LOCK_EX)) {
            return fail(request, EWOULDBLOCK);
        }
    }
    holders[fd] = kind;
    return static_cast<int>(finish(request, 0));
}

// The kernel copies the record in before looking at it; a made volume's id goes back out.
int Simulator::deviceRequest(UbiDevice& device, unsigned long request, void* argument) {
    if (argument == nullptr) {
        return request == UBI_IOCMKVOL || request == UBI_IOCRMVOL || request == UBI_IOCRNVOL
                   ? EFAULT
                   : ENOTTY;
    }
    switch (request) {
    case UBI_IOCMKVOL: {
        ubi_mkvol_req record;
        memcpy(&record, argument, sizeof record);
        const int error = m_ubi.createVolume(device, record, true);
        if (error == 0) {
            memcpy(argument, &record.vol_id, sizeof record.vol_id);
        }
        return error;
    }
    case UBI_IOCRMVOL: {
        int32_t volId;
        memcpy(&volId, argument, sizeof volId);
        return m_ubi.removeVolume(device, volId);
    }
    case UBI_IOCRNVOL:
        return m_ubi.renameVolumes(device, argument);
    default:
        return ENOTTY;
    }
}

std::unique_ptr<LinuxFlash::DirectoryStream> Simulator::openDirectory(const char* path) {
    Request request{Call::OpenDirectory, path, -1, 0, {}, 0, 0, 0};
    int error = 0;
    if (m_faults.callFails(Call::OpenDirectory, 0, error)) {
        fail(request, error);
        return nullptr;
    }
    const SysfsTree::Node node = m_sysfs.resolve(path);
    if (node.kind != SysfsTree::NodeKind::Directory) {
        fail(request, node.kind == SysfsTree::NodeKind::Missing ? ENOENT : ENOTDIR);
        return nullptr;
    }
    finish(request, 0);
    return std::make_unique<SnapshotDirectory>(m_sysfs.listDirectory(node));
}

} // namespace Sim
