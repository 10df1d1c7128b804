#include "sim/Simulator.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>

#include "common/linuxFlash/UbiRequests.h"

namespace Sim {

namespace {

constexpr int kFirstFd = 3;

class SnapshotDirectory : public LinuxFlash::DirectoryStream {
public:
    explicit SnapshotDirectory(std::vector<std::string> entries) : m_entries(std::move(entries)) {}

    bool next(std::string& name) override {
        if (m_next == m_entries.size())
            return false;
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

Simulator::Simulator() = default;
Simulator::~Simulator() = default;

unsigned Simulator::addMtd(const std::string& name) {
    unsigned number = 0;
    while (m_board.mtds.count(number) != 0)
        ++number;
    m_board.mtds[number] = name;
    return number;
}

void Simulator::setMtdNameAttribute(unsigned mtd, std::string raw) {
    setAttribute("/sys/class/mtd/mtd" + std::to_string(mtd) + "/name", std::move(raw));
}

void Simulator::setMtdAttributeUnreadable(unsigned mtd) {
    setAttributeUnreadable("/sys/class/mtd/mtd" + std::to_string(mtd) + "/name", EIO);
}

void Simulator::removeMtd(unsigned mtd) {
    for (const auto& [number, device] : m_board.ubis) {
        if (device.mtd == mtd)
            throw std::invalid_argument("a UBI device is attached to this partition");
    }
    if (m_board.mtds.erase(mtd) == 0)
        throw std::invalid_argument("no such MTD partition");
    dropOverrides("/sys/class/mtd/mtd" + std::to_string(mtd) + "/");
}

unsigned Simulator::attachUbi(unsigned mtd, unsigned lebSize, unsigned lebCount,
                              unsigned minIoSize) {
    if (m_board.mtds.count(mtd) == 0)
        throw std::invalid_argument("no such MTD partition");
    if (lebSize == 0 || minIoSize == 0 || (minIoSize & (minIoSize - 1)) != 0)
        throw std::invalid_argument("bad eraseblock or I/O size");
    unsigned number = 0;
    for (const auto& [existing, device] : m_board.ubis) {
        if (device.mtd == mtd)
            throw std::invalid_argument("partition already attached");
        if (existing == number)
            ++number;
    }
    UbiDevice& device = m_board.ubis[number];
    device.number = number;
    device.mtd = mtd;
    device.lebSize = lebSize;
    device.lebCount = lebCount;
    device.minIoSize = minIoSize;
    device.vtblSlots = static_cast<int>(std::min(128u, lebSize / 172));
    return number;
}

void Simulator::setUbiModuleLoaded(bool loaded) {
    m_board.ubiLoaded = loaded;
}

void Simulator::setAttribute(const std::string& path, std::string raw) {
    const Node node = resolve(path);
    if (node.kind != NodeKind::Attribute)
        throw std::invalid_argument("no such attribute: " + path);
    m_board.overrides[node.canonical] = {std::move(raw), 0};
}

void Simulator::setAttributeUnreadable(const std::string& path, int error) {
    const Node node = resolve(path);
    if (node.kind != NodeKind::Attribute || error == 0)
        throw std::invalid_argument("no such attribute: " + path);
    m_board.overrides[node.canonical] = {"", error};
}

int Simulator::addVolume(unsigned ubi, const std::string& name, int type, unsigned long long bytes,
                         const std::vector<uint8_t>& data) {
    UbiDevice* device = ubiDevice(ubi);
    if (device == nullptr)
        throw std::invalid_argument("no such UBI device");
    ubi_mkvol_req request;
    memset(&request, 0, sizeof request);
    request.vol_id = UBI_VOL_NUM_AUTO;
    request.alignment = 1;
    request.bytes = static_cast<int64_t>(bytes);
    request.vol_type = static_cast<int8_t>(type);
    request.name_len = static_cast<int16_t>(name.size());
    memcpy(request.name, name.data(), std::min(name.size(), sizeof request.name));
    const int error = createVolume(*device, request, false);
    if (error != 0)
        throw std::invalid_argument("cannot make volume " + name + ": " + strerror(error));
    Volume& made = device->volumes.at(request.vol_id);
    if (data.size() > static_cast<unsigned long long>(made.reservedEbs) * made.usableLebSize)
        throw std::invalid_argument("data larger than the volume");
    made.data = data;
    if (made.type == kStatic)
        made.usedBytes = data.size();
    return made.id;
}

std::vector<Simulator::VolumeInfo> Simulator::volumes(unsigned ubi) const {
    std::vector<VolumeInfo> result;
    const auto device = m_board.ubis.find(ubi);
    if (device == m_board.ubis.end())
        return result;
    for (const auto& [id, volume] : device->second.volumes) {
        result.push_back({id, volume.name, volume.type, volume.reservedEbs, volume.usedBytes,
                          volume.updMarker || volume.markerInMemory, volume.corrupted,
                          volume.data});
    }
    return result;
}

Simulator::Volume& Simulator::volume(unsigned ubi, int volId) {
    UbiDevice* device = ubiDevice(ubi);
    if (device == nullptr || device->volumes.count(volId) == 0)
        throw std::invalid_argument("no such volume");
    return device->volumes.at(volId);
}

void Simulator::corruptVolumeData(unsigned ubi, int volId, unsigned long long offset) {
    Volume& target = volume(ubi, volId);
    if (offset >= target.usedBytes)
        throw std::invalid_argument("offset past the volume's data");
    if (offset >= target.data.size())
        target.data.resize(offset + 1, 0xFF);
    target.data[offset] ^= 0xFF;
    target.damaged = true;
}

void Simulator::setVolumeCorrupted(unsigned ubi, int volId, bool corrupted) {
    volume(ubi, volId).corrupted = corrupted;
}

void Simulator::failCall(Call kind, unsigned nth, int error, unsigned long request) {
    if (nth == 0)
        throw std::invalid_argument("calls count from 1");
    m_failures.push_back({kind, request, nth, error});
}

void Simulator::powerCutBefore(unsigned n) {
    if (n == 0)
        throw std::invalid_argument("operations count from 1");
    m_powerCut = n;
    m_cutAfter = false;
}

void Simulator::powerCutAfter(unsigned n) {
    powerCutBefore(n);
    m_cutAfter = true;
}

unsigned Simulator::stateChangingOperations() const {
    return m_stateOperations;
}

bool Simulator::poweredOff() const {
    for (const auto& [number, device] : m_board.ubis) {
        if (device.roMode)
            return true;
    }
    return false;
}

void Simulator::reattach() {
    m_files.clear();
    m_powerCut = 0;
    m_failAfter = false;
    settle(m_board);
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

bool Simulator::injectedFailure(Call kind, unsigned long request, int& error) {
    bool failed = false;
    for (auto it = m_failures.begin(); it != m_failures.end();) {
        const bool matches =
            it->kind == kind && (kind != Call::Ioctl || it->request == 0 || it->request == request);
        if (matches && --it->remaining == 0) {
            if (!failed)
                error = it->error;
            failed = true;
            it = m_failures.erase(it);
        } else {
            ++it;
        }
    }
    return failed;
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
    if (injectedFailure(Call::Open, 0, error))
        return fail(request, error);
    OpenFile file;
    file.node = resolve(path);
    file.path = path;
    const int access = flags & O_ACCMODE;
    file.canRead = access == O_RDONLY || access == O_RDWR;
    file.canWrite = access == O_WRONLY || access == O_RDWR;
    switch (file.node.kind) {
    case NodeKind::Missing:
        return fail(request, ENOENT);
    case NodeKind::Directory:
        if (access != O_RDONLY)
            return fail(request, EISDIR);
        break;
    case NodeKind::Attribute:
        // sysfs attributes here have no store operation.
        if (access != O_RDONLY)
            return fail(request, EACCES);
        break;
    case NodeKind::UbiNode:
        break;
    case NodeKind::VolumeNode:
        if ((flags & O_DIRECTORY) == 0) {
            error = openVolumeNode(file.node, file);
            if (error != 0)
                return fail(request, error);
        }
        break;
    }
    if ((flags & O_DIRECTORY) != 0 && file.node.kind != NodeKind::Directory)
        return fail(request, ENOTDIR);
    int fd = kFirstFd;
    while (m_files.count(fd) != 0)
        ++fd;
    m_files.emplace(fd, std::move(file));
    request.fd = fd;
    return static_cast<int>(finish(request, fd));
}

ssize_t Simulator::read(int fd, void* buffer, size_t count) {
    OpenFile* file = openFile(fd);
    Request request{Call::Read, file != nullptr ? file->path : "", fd, 0, {}, 0, 0, count};
    int error = 0;
    if (injectedFailure(Call::Read, 0, error))
        return fail(request, error);
    if (file == nullptr || !file->canRead)
        return fail(request, EBADF);
    if (buffer == nullptr && count != 0)
        return fail(request, EFAULT);
    ssize_t result = -1;
    errno = 0;
    switch (file->node.kind) {
    case NodeKind::Missing:
    case NodeKind::UbiNode:
        // The device node has no read operation.
        return fail(request, EINVAL);
    case NodeKind::Directory:
        return fail(request, EISDIR);
    case NodeKind::Attribute:
        result = readAttribute(*file, buffer, count);
        break;
    case NodeKind::VolumeNode:
        result = readVolume(*file, buffer, count);
        break;
    }
    if (result < 0)
        return fail(request, errno);
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
    if (injectedFailure(Call::Write, 0, error))
        return fail(request, error);
    if (file == nullptr || !file->canWrite)
        return fail(request, EBADF);
    if (buffer == nullptr && count != 0)
        return fail(request, EFAULT);
    if (file->node.kind != NodeKind::VolumeNode)
        return fail(request, EINVAL);
    errno = 0;
    const ssize_t result = writeVolume(*file, buffer, count);
    if (result < 0)
        return fail(request, errno);
    return finish(request, result);
}

int Simulator::close(int fd) {
    OpenFile* file = openFile(fd);
    Request request{Call::Close, file != nullptr ? file->path : "", fd, 0, {}, 0, 0, 0};
    if (file == nullptr)
        return fail(request, EBADF);
    if (file->node.kind == NodeKind::VolumeNode)
        releaseVolume(*file);
    m_files.erase(fd);
    int error = 0;
    if (injectedFailure(Call::Close, 0, error))
        return fail(request, error);
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
    if (injectedFailure(Call::Ioctl, requestCode, error))
        return fail(request, error);
    if (file == nullptr)
        return fail(request, EBADF);
    if (file->node.kind == NodeKind::UbiNode) {
        UbiDevice* device = ubiDevice(file->node.number);
        if (device == nullptr)
            return fail(request, ENODEV);
        switch (requestCode) {
        case UBI_IOCMKVOL:
            error = argument == nullptr ? EFAULT : makeVolume(*device, argument);
            break;
        case UBI_IOCRMVOL:
            error = argument == nullptr ? EFAULT : removeVolume(*device, argument);
            break;
        case UBI_IOCRNVOL:
            error = argument == nullptr ? EFAULT : renameVolumes(*device, argument);
            break;
        default:
            error = ENOTTY;
            break;
        }
    } else if (file->node.kind == NodeKind::VolumeNode && requestCode == UBI_IOCVOLUP) {
        error = argument == nullptr ? EFAULT : startUpdate(*file, argument);
    } else {
        error = ENOTTY;
    }
    if (error != 0)
        return fail(request, error);
    return static_cast<int>(finish(request, 0));
}

std::unique_ptr<LinuxFlash::DirectoryStream> Simulator::openDirectory(const char* path) {
    Request request{Call::OpenDirectory, path, -1, 0, {}, 0, 0, 0};
    int error = 0;
    if (injectedFailure(Call::OpenDirectory, 0, error)) {
        fail(request, error);
        return nullptr;
    }
    const Node node = resolve(path);
    if (node.kind != NodeKind::Directory) {
        fail(request, node.kind == NodeKind::Missing ? ENOENT : ENOTDIR);
        return nullptr;
    }
    finish(request, 0);
    return std::make_unique<SnapshotDirectory>(listDirectory(node));
}

} // namespace Sim
