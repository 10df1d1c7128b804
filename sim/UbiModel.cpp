#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/linuxFlash/UbiRequests.h"
#include "sim/UbiModel.h"

namespace Sim {

namespace {

// The kernel caps every read and write at this many bytes.
constexpr size_t maxTransfer = 0x7ffff000;

unsigned long long ceilDivide(unsigned long long value, unsigned long long divisor) {
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}

} // namespace

UbiDevice* UbiModel::device(unsigned number) {
    if (!m_board.ubiLoaded) {
        return nullptr;
    }
    const auto it = m_board.ubis.find(number);
    return it == m_board.ubis.end() ? nullptr : &it->second;
}

const Volume* UbiModel::volumeBySerial(unsigned ubi, unsigned serial) const {
    if (!m_board.ubiLoaded || m_board.ubis.count(ubi) == 0) {
        return nullptr;
    }
    for (const auto& [id, volume] : m_board.ubis.at(ubi).volumes) {
        if (volume.serial == serial) {
            return &volume;
        }
    }
    return nullptr;
}

Volume* UbiModel::volumeBySerial(unsigned ubi, unsigned serial) {
    return const_cast<Volume*>(std::as_const(*this).volumeBySerial(ubi, serial));
}

bool UbiModel::poweredOff() const {
    for (const auto& [number, device] : m_board.ubis) {
        if (device.roMode) {
            return true;
        }
    }
    return false;
}

// A cut makes every device read-only until the next attach.
bool UbiModel::beginOperation(UbiDevice& device) {
    if (device.roMode) {
        return false;
    }
    const FaultPlan::Cut cut = m_faults.spendOperation();
    if (cut != FaultPlan::Cut::None) {
        for (auto& [number, each] : m_board.ubis) {
            each.roMode = true;
        }
    }
    if (cut == FaultPlan::Cut::Before) {
        return false;
    }
    ++m_operations;
    return true;
}

int UbiModel::acquire(Volume& volume, Mode mode) {
    switch (mode) {
    case Mode::ReadOnly:
        if (volume.exclusive) {
            return EBUSY;
        }
        ++volume.readers;
        break;
    case Mode::ReadWrite:
        if (volume.exclusive || volume.writers > 0) {
            return EBUSY;
        }
        ++volume.writers;
        break;
    case Mode::Exclusive:
        if (volume.exclusive || volume.writers > 0 || volume.readers > 0 || volume.metaonly) {
            return EBUSY;
        }
        volume.exclusive = true;
        break;
    case Mode::MetaOnly:
        if (volume.metaonly || volume.exclusive) {
            return EBUSY;
        }
        volume.metaonly = true;
        break;
    }
    // The first open after attach reads a static volume whole and checks its CRCs.
    if (!volume.checked && !volume.skipCheck) {
        if (volume.type == kStatic && volume.damaged && volume.usedBytes > 0) {
            volume.corrupted = true;
        }
        volume.checked = true;
    }
    return 0;
}

void UbiModel::release(Volume& volume, Mode mode) {
    switch (mode) {
    case Mode::ReadOnly:
        --volume.readers;
        break;
    case Mode::ReadWrite:
        --volume.writers;
        break;
    case Mode::Exclusive:
        volume.exclusive = false;
        break;
    case Mode::MetaOnly:
        volume.metaonly = false;
        break;
    }
}

int UbiModel::openVolume(VolumeHandle& handle, bool writable) {
    Volume* volume = volumeBySerial(handle.ubi, handle.serial);
    if (volume == nullptr) {
        return ENODEV;
    }
    handle.mode = writable ? Mode::ReadWrite : Mode::ReadOnly;
    return acquire(*volume, handle.mode);
}

void UbiModel::closeVolume(const VolumeHandle& handle) {
    Volume* volume = volumeBySerial(handle.ubi, handle.serial);
    if (volume == nullptr) {
        return;
    }
    // An update still short when its handle goes is over; the marker stays on flash.
    volume->updating = false;
    release(*volume, handle.mode);
}

int UbiModel::createVolume(UbiDevice& device, ubi_mkvol_req& request, bool counted) {
    if (request.bytes < 0 || request.alignment < 0 || request.vol_type < 0 ||
        request.name_len < 0) {
        return EINVAL;
    }
    if ((request.vol_id < 0 || request.vol_id >= device.vtblSlots()) &&
        request.vol_id != UBI_VOL_NUM_AUTO) {
        return EINVAL;
    }
    if (request.alignment == 0 || request.bytes == 0) {
        return EINVAL;
    }
    if (request.vol_type != UBI_DYNAMIC_VOLUME && request.vol_type != UBI_STATIC_VOLUME) {
        return EINVAL;
    }
    if ((request.flags & ~UBI_VOL_VALID_FLGS) != 0) {
        return EINVAL;
    }
    if ((request.flags & UBI_VOL_SKIP_CRC_CHECK_FLG) != 0 &&
        request.vol_type != UBI_STATIC_VOLUME) {
        return EINVAL;
    }
    if (static_cast<unsigned>(request.alignment) > device.lebSize) {
        return EINVAL;
    }
    if (request.alignment != 1 && (request.alignment & (device.minIoSize - 1)) != 0) {
        return EINVAL;
    }
    if (request.name[0] == '\0' || request.name_len == 0) {
        return EINVAL;
    }
    if (request.name_len > UBI_MAX_VOLUME_NAME) {
        return ENAMETOOLONG;
    }
    if (strnlen(request.name, static_cast<size_t>(request.name_len) + 1) !=
        static_cast<size_t>(request.name_len)) {
        return EINVAL;
    }

    if (device.roMode) {
        return EROFS;
    }
    int volId = request.vol_id;
    if (volId == UBI_VOL_NUM_AUTO) {
        for (int id = 0; id < device.vtblSlots() && volId == UBI_VOL_NUM_AUTO; ++id) {
            if (device.volumes.count(id) == 0) {
                volId = id;
            }
        }
        if (volId == UBI_VOL_NUM_AUTO) {
            return ENFILE;
        }
    }
    if (device.volumes.count(volId) != 0) {
        return EEXIST;
    }
    const std::string name(request.name, static_cast<size_t>(request.name_len));
    for (const auto& [id, volume] : device.volumes) {
        if (volume.name == name) {
            return EEXIST;
        }
    }
    const unsigned usable = device.lebSize - device.lebSize % request.alignment;
    const unsigned long long reserved =
        ceilDivide(static_cast<unsigned long long>(request.bytes), usable);
    unsigned available = device.lebCount;
    for (const auto& [id, volume] : device.volumes) {
        available -= volume.reservedEbs;
    }
    if (reserved > available) {
        return ENOSPC;
    }
    if (counted && !beginOperation(device)) {
        return EROFS;
    }

    Volume& volume = device.volumes[volId];
    volume.serial = m_board.nextSerial++;
    volume.id = volId;
    volume.name = name;
    volume.type = request.vol_type;
    volume.alignment = request.alignment;
    volume.usableLebSize = usable;
    volume.reservedEbs = static_cast<unsigned>(reserved);
    volume.skipCheck = (request.flags & UBI_VOL_SKIP_CRC_CHECK_FLG) != 0;
    volume.usedBytes = volume.type == kDynamic ? reserved * usable : 0;
    request.vol_id = volId;
    return counted && m_faults.takeCutAfter() ? EROFS : 0;
}

int UbiModel::removeVolume(UbiDevice& device, int32_t volId) {
    if (volId < 0 || volId >= device.vtblSlots()) {
        return EINVAL;
    }
    const auto found = device.volumes.find(volId);
    if (found == device.volumes.end()) {
        return ENODEV;
    }
    Volume& volume = found->second;
    int error = acquire(volume, Mode::Exclusive);
    if (error != 0) {
        return error;
    }
    if (!beginOperation(device)) {
        release(volume, Mode::Exclusive);
        return EROFS;
    }
    device.volumes.erase(found);
    return m_faults.takeCutAfter() ? EROFS : 0;
}

int UbiModel::renameVolumes(UbiDevice& device, const void* record) {
    ubi_rnvol_req request;
    memcpy(&request, record, sizeof request);
    if (request.count < 0 || request.count > UBI_MAX_RNVOL) {
        return EINVAL;
    }
    if (request.count == 0) {
        return 0;
    }
    for (int i = 0; i < request.count; ++i) {
        const int32_t volId = request.ents[i].vol_id;
        const int16_t nameLength = request.ents[i].name_len;
        if (volId < 0 || volId >= device.vtblSlots() || nameLength < 0) {
            return EINVAL;
        }
        if (nameLength > UBI_MAX_VOLUME_NAME) {
            return ENAMETOOLONG;
        }
        request.ents[i].name[nameLength] = '\0';
        if (strlen(request.ents[i].name) != static_cast<size_t>(nameLength)) {
            return EINVAL;
        }
    }
    for (int i = 0; i < request.count - 1; ++i) {
        for (int n = i + 1; n < request.count; ++n) {
            if (request.ents[i].vol_id == request.ents[n].vol_id) {
                return EINVAL;
            }
            if (strcmp(request.ents[i].name, request.ents[n].name) == 0) {
                return EINVAL;
            }
        }
    }

    struct Step {
        Volume* volume;
        Mode mode;
        bool remove;
        std::string newName;
    };
    std::vector<Step> steps;
    const auto releaseAll = [&]() {
        for (const Step& step : steps) {
            release(*step.volume, step.mode);
        }
    };
    for (int i = 0; i < request.count; ++i) {
        const auto found = device.volumes.find(request.ents[i].vol_id);
        if (found == device.volumes.end()) {
            releaseAll();
            return ENODEV;
        }
        const int error = acquire(found->second, Mode::MetaOnly);
        if (error != 0) {
            releaseAll();
            return error;
        }
        const std::string newName = request.ents[i].name;
        if (found->second.name == newName) {
            release(found->second, Mode::MetaOnly);
            continue;
        }
        steps.push_back({&found->second, Mode::MetaOnly, false, newName});
    }
    if (steps.empty()) {
        return 0;
    }

    // A volume holding a new name that is not itself renamed goes in the same step.
    const size_t renames = steps.size();
    for (size_t i = 0; i < renames; ++i) {
        const std::string newName = steps[i].newName;
        const bool renamedAway =
            std::any_of(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(renames),
                        [&](const Step& other) { return other.volume->name == newName; });
        if (renamedAway) {
            continue;
        }
        const auto holder =
            std::find_if(device.volumes.begin(), device.volumes.end(),
                         [&](const auto& entry) { return entry.second.name == newName; });
        if (holder == device.volumes.end()) {
            continue;
        }
        const int error = acquire(holder->second, Mode::Exclusive);
        if (error != 0) {
            releaseAll();
            return error;
        }
        steps.push_back({&holder->second, Mode::Exclusive, true, ""});
    }
    if (!beginOperation(device)) {
        releaseAll();
        return EROFS;
    }
    for (const Step& step : steps) {
        if (step.remove) {
            device.volumes.erase(step.volume->id);
        } else {
            step.volume->name = step.newName;
            release(*step.volume, step.mode);
        }
    }
    return m_faults.takeCutAfter() ? EROFS : 0;
}

int UbiModel::startUpdate(VolumeHandle& handle, int64_t bytes) {
    UbiDevice& device = *this->device(handle.ubi);
    Volume& volume = *volumeBySerial(handle.ubi, handle.serial);
    if (handle.mode == Mode::ReadOnly) {
        return EROFS;
    }
    const long long reservedBytes =
        static_cast<long long>(volume.reservedEbs) * volume.usableLebSize;
    if (bytes < 0 || bytes > reservedBytes) {
        return EINVAL;
    }
    if (volume.readers + volume.writers + (volume.exclusive ? 1 : 0) + (volume.metaonly ? 1 : 0) >
        1) {
        return EBUSY;
    }
    volume.readers = 0;
    volume.writers = 0;
    volume.metaonly = false;
    volume.exclusive = true;
    handle.mode = Mode::Exclusive;

    int error = 0;
    volume.updating = true;
    if (!beginOperation(device)) {
        // The kernel marks the volume in memory even when the flash refuses the marker, and the
        // update stays open on this handle until it is closed.
        volume.markerInMemory = true;
        error = EROFS;
    } else {
        volume.updMarker = true;
        volume.data.clear();
        volume.damaged = false;
        volume.updBytes = static_cast<unsigned long long>(bytes);
        volume.updReceived = 0;
        if (bytes == 0) {
            volume.updMarker = false;
            volume.updating = false;
            if (volume.type == kStatic) {
                volume.corrupted = false;
                volume.usedBytes = 0;
            }
        }
        if (m_faults.takeCutAfter()) {
            error = EROFS;
        }
    }
    if (bytes == 0) {
        volume.exclusive = false;
        volume.writers = 1;
        handle.mode = Mode::ReadWrite;
    }
    return error;
}

ssize_t UbiModel::writeVolume(VolumeHandle& handle, const void* buffer, size_t count) {
    Volume& volume = *volumeBySerial(handle.ubi, handle.serial);
    // Outside an update only direct writes, which are off, could take data.
    if (!volume.updating) {
        errno = EPERM;
        return -1;
    }
    if (!beginOperation(*device(handle.ubi))) {
        errno = EROFS;
        return -1;
    }
    count = std::min(count, maxTransfer);
    const size_t taken = static_cast<size_t>(
        std::min<unsigned long long>(count, volume.updBytes - volume.updReceived));
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    volume.data.insert(volume.data.end(), bytes, bytes + taken);
    volume.updReceived += taken;
    if (volume.updReceived < volume.updBytes) {
        if (m_faults.takeCutAfter()) {
            errno = EROFS;
            return -1;
        }
        return static_cast<ssize_t>(count);
    }
    volume.updMarker = false;
    volume.markerInMemory = false;
    volume.updating = false;
    volume.checked = true;
    if (volume.type == kStatic) {
        volume.corrupted = false;
        volume.usedBytes = volume.updBytes;
    }
    volume.exclusive = false;
    volume.writers = 1;
    handle.mode = Mode::ReadWrite;
    if (m_faults.takeCutAfter()) {
        errno = EROFS;
        return -1;
    }
    return static_cast<ssize_t>(taken);
}

ssize_t UbiModel::readVolume(VolumeHandle& handle, void* buffer, size_t count) {
    const Volume& volume = *volumeBySerial(handle.ubi, handle.serial);
    if (volume.updating) {
        errno = EBUSY;
        return -1;
    }
    if (volume.updMarker || volume.markerInMemory) {
        errno = EBADF;
        return -1;
    }
    if (handle.position >= volume.usedBytes || count == 0) {
        return 0;
    }
    const size_t length = static_cast<size_t>(std::min<unsigned long long>(
        std::min(count, maxTransfer), volume.usedBytes - handle.position));
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; ++i) {
        const unsigned long long at = handle.position + i;
        out[i] = at < volume.data.size() ? volume.data[at] : 0xFF;
    }
    handle.position += length;
    return static_cast<ssize_t>(length);
}

// What a fresh attach finds on the flash.
void UbiModel::settle(Board& board) {
    for (auto& [number, device] : board.ubis) {
        device.roMode = false;
        for (auto& [id, volume] : device.volumes) {
            volume.readers = 0;
            volume.writers = 0;
            volume.exclusive = false;
            volume.metaonly = false;
            volume.updating = false;
            volume.markerInMemory = false;
            volume.checked = false;
            volume.corrupted = false;
            const unsigned long long usable = volume.usableLebSize;
            if (volume.updMarker) {
                // Update data reaches the flash an eraseblock at a time.
                const unsigned long long flushedEbs = volume.updReceived / usable;
                volume.data.resize(
                    std::min<unsigned long long>(volume.data.size(), flushedEbs * usable));
                if (volume.type == kStatic) {
                    // A static volume missing some of its eraseblocks is corrupted; one
                    // without any is taken as empty.
                    volume.corrupted =
                        flushedEbs != 0 && flushedEbs < ceilDivide(volume.updBytes, usable);
                    volume.usedBytes = 0;
                }
            }
            if (volume.type == kDynamic) {
                volume.usedBytes = volume.reservedEbs * usable;
            }
        }
    }
}

} // namespace Sim
