#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/linuxFlash/UbiVolumeType.h"
#include "sim/FaultPlan.h"

struct ubi_mkvol_req;

namespace Sim {

constexpr int kDynamic = UBI_DYNAMIC_VOLUME;
constexpr int kStatic = UBI_STATIC_VOLUME;

struct Volume {
    unsigned serial = 0; // tells apart volumes that had the same id at different times
    int id = 0;
    std::string name;
    int type = kDynamic;
    int alignment = 1;
    unsigned usableLebSize = 0;
    unsigned reservedEbs = 0;
    unsigned long long usedBytes = 0;
    std::vector<uint8_t> data;   // past its end up to usedBytes the volume reads 0xFF
    bool updMarker = false;      // as in the volume table on flash
    bool markerInMemory = false; // set by an update start that the flash refused
    bool corrupted = false;
    bool damaged = false; // stored data no longer matches its CRC
    bool checked = false; // a static volume is checked at its first open after attach
    bool skipCheck = false;
    unsigned readers = 0;
    unsigned writers = 0;
    bool exclusive = false;
    bool metaonly = false;
    bool updating = false;
    unsigned long long updBytes = 0;
    unsigned long long updReceived = 0;
};

struct UbiDevice {
    unsigned number = 0;
    unsigned mtd = 0;
    unsigned lebSize = 0;
    unsigned lebCount = 0;
    unsigned minIoSize = 1;
    bool roMode = false;
    std::map<int, Volume> volumes;

    // As many 172-byte volume table records as fit one eraseblock, at most 128.
    int vtblSlots() const { return static_cast<int>(lebSize / 172 < 128 ? lebSize / 172 : 128); }
};

// The MTD partitions, and the UBI devices with what their flash holds and what the kernel
// keeps of them in memory.
struct Board {
    std::map<unsigned, std::string> mtds;
    std::map<unsigned, UbiDevice> ubis;
    bool ubiLoaded = true;
    unsigned nextSerial = 1;
};

// How a descriptor holds a volume, as the kernel's volume open modes.
enum class Mode { ReadOnly, ReadWrite, Exclusive, MetaOnly };

// One open volume node.
struct VolumeHandle {
    unsigned ubi = 0;
    unsigned serial = 0;
    Mode mode = Mode::ReadOnly;
    unsigned long long position = 0;
};

// The UBI requests and volume I/O of the kernel, check by check in the kernel's order
// (drivers/mtd/ubi: cdev.c, vmt.c, upd.c, kapi.c, vtbl.c). Requests answer 0 or an errno;
// reads and writes a count, or -1 with errno set. Every state-changing operation passes the
// fault plan's power cut.
class UbiModel {
public:
    explicit UbiModel(FaultPlan& faults) : m_faults(faults) {}

    Board& board() { return m_board; }
    const Board& board() const { return m_board; }

    UbiDevice* device(unsigned number);
    const Volume* volumeBySerial(unsigned ubi, unsigned serial) const;
    Volume* volumeBySerial(unsigned ubi, unsigned serial);

    // `counted` operations change the flash; set-up calls make volumes without a cost.
    int createVolume(UbiDevice& device, ubi_mkvol_req& request, bool counted);
    int removeVolume(UbiDevice& device, int32_t volId);
    int renameVolumes(UbiDevice& device, const void* record);

    int openVolume(VolumeHandle& handle, bool writable);
    void closeVolume(const VolumeHandle& handle);
    int startUpdate(VolumeHandle& handle, int64_t bytes);
    ssize_t writeVolume(VolumeHandle& handle, const void* buffer, size_t count);
    ssize_t readVolume(VolumeHandle& handle, void* buffer, size_t count);

    unsigned stateChangingOperations() const { return m_operations; }
    bool poweredOff() const;
    // What a fresh attach after a power cycle finds on the flash.
    static void settle(Board& board);

private:
    int acquire(Volume& volume, Mode mode);
    void release(Volume& volume, Mode mode);
    bool beginOperation(UbiDevice& device);

    FaultPlan& m_faults;
    Board m_board;
    unsigned m_operations = 0;
};

} // namespace Sim
