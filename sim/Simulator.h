#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"
#include "sim/FaultPlan.h"
#include "sim/SysfsTree.h"
#include "sim/UbiModel.h"

namespace Sim {

// An in-memory Linux MTD + UBI behind the kernel interface: descriptors over the paths of the
// sysfs tree, UBI requests decoded from the kernel's own records and carried out by the UBI
// model, each call first checked against the fault plan.
//
// Not modelled: regular files (creating a missing path gives ENOENT), the read-only MTD
// twins mtdNro, seeking, resizing (UBI_IOCRSVOL gives ENOTTY), and the eraseblocks UBI keeps
// for itself: `lebCount` of attachUbi is what volumes may reserve. Misuse of the set-up calls
// throws std::invalid_argument.
class Simulator : public LinuxFlash::KernelInterface {
public:
    static constexpr int kDynamic = Sim::kDynamic;
    static constexpr int kStatic = Sim::kStatic;

    struct VolumeInfo {
        int id;
        std::string name;
        int type; // kDynamic or kStatic
        unsigned reservedEbs;
        unsigned long long dataBytes;
        bool updMarker;
        bool corrupted;
        // What was written; past its end up to dataBytes the volume reads 0xFF.
        std::vector<uint8_t> data;
    };

    // One call received, with the bytes of its record or data (a read records what it gave).
    struct Request {
        Call kind;
        std::string path; // as opened; for descriptor calls the path the descriptor was opened on
        int fd;
        unsigned long request; // the ioctl's request code; open's flags
        std::vector<uint8_t> bytes;
        ssize_t result;
        int error;    // errno of a failed call, else 0
        size_t count; // bytes asked for by read and write
    };

    Simulator();
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The board. MTD numbers and UBI numbers are the lowest free ones, as the kernel gives them.
    unsigned addMtd(const std::string& name);
    // Replaces the bytes of mtdN/name (normally the name and a newline).
    void setMtdNameAttribute(unsigned mtd, std::string raw);
    // mtdN/name still opens, but every read fails with EIO.
    void setMtdAttributeUnreadable(unsigned mtd);
    void removeMtd(unsigned mtd);
    // vtbl_slots = min(128, lebSize / 172).
    unsigned attachUbi(unsigned mtd, unsigned lebSize, unsigned lebCount, unsigned minIoSize = 1);
    // Without the UBI module there is no /sys/class/ubi and no /dev/ubi*.
    void setUbiModuleLoaded(bool loaded);
    // Replaces the bytes of any attribute that exists (until its owner goes away).
    void setAttribute(const std::string& path, std::string raw);
    // The attribute still opens, but every read fails with `error`.
    void setAttributeUnreadable(const std::string& path, int error);
    // A volume made as UBI_IOCMKVOL makes it, then holding `data` as after a completed update.
    int addVolume(unsigned ubi, const std::string& name, int type, unsigned long long bytes,
                  const std::vector<uint8_t>& data = {});
    std::vector<VolumeInfo> volumes(unsigned ubi) const; // sorted by id

    // Faults.
    // Flips the bits of one stored byte. A static volume is then found corrupted by the CRC
    // check of its next first open: the first after it was made or attached.
    void corruptVolumeData(unsigned ubi, int volId, unsigned long long offset);
    // The in-memory flag the kernel shows as "corrupted"; it does not survive a reattach.
    void setVolumeCorrupted(unsigned ubi, int volId, bool corrupted);
    // The nth call of `kind` from now (1 = the next one; for Ioctl only those with `request`
    // unless it is 0) fails with `error` and has no effect; a failing close still frees the
    // descriptor, as on Linux.
    void failCall(Call kind, unsigned nth, int error, unsigned long request = 0);
    // The nth state-changing operation from now (1 = the next one) does not happen: it and
    // every later change fail with EROFS, the flash being read-only, until reattach. The
    // operations are mkvol, rmvol, a rename that changes something, an update start and each
    // write during an update. A cut falls between operations, never inside one: the eraseblocks
    // written by earlier writes of an update are on flash, none of the cut write's.
    void powerCutBefore(unsigned n);
    // The nth state-changing operation from now happens, on flash too, but the power fails before
    // it returns: the call fails with EROFS and the flash is read-only until reattach. The kernel
    // does this when the cut hits an operation's last header write, such as the second copy of
    // the volume table in a rename or in the update's last write that clears the marker.
    void powerCutAfter(unsigned n);
    unsigned stateChangingOperations() const; // those that happened, since construction
    // Whether a power cut has happened since the last attach.
    bool poweredOff() const;
    // A power cycle and a fresh attach: every descriptor is closed, updates in progress end,
    // and the volumes are what the flash holds (an interrupted update leaves its marker, a
    // rename is whole or not at all, a static volume missing eraseblocks is corrupted).
    void reattach();

    const std::vector<Request>& requests() const;
    size_t openDescriptors() const;
    void clearRequests();
    // Whether write and read requests keep their data (record bytes are always kept).
    void setRecordPayloads(bool record);

    // The parts, for keeping a board on disk.
    UbiModel& ubi() { return m_ubi; }
    const UbiModel& ubi() const { return m_ubi; }
    SysfsTree& sysfs() { return m_sysfs; }
    const SysfsTree& sysfs() const { return m_sysfs; }

    int open(const char* path, int flags) override;
    ssize_t read(int fd, void* buffer, size_t count) override;
    ssize_t write(int fd, const void* buffer, size_t count) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    // Never waits: a lock that another descriptor's lock keeps out fails with EWOULDBLOCK.
    int flock(int fd, int operation) override;
    std::unique_ptr<LinuxFlash::DirectoryStream> openDirectory(const char* path) override;

private:
    struct OpenFile {
        SysfsTree::Node node;
        std::string path;
        bool canRead = false;
        bool canWrite = false;
        SysfsTree::AttributeHandle attribute;
        VolumeHandle volume;
    };

    int fail(Request& request, int error);
    ssize_t finish(Request& request, ssize_t result);
    OpenFile* openFile(int fd);
    Volume& volume(unsigned ubi, int volId);
    int deviceRequest(UbiDevice& device, unsigned long request, void* argument);

    FaultPlan m_faults;
    UbiModel m_ubi;
    SysfsTree m_sysfs;
    std::map<int, OpenFile> m_files;
    std::map<std::string, std::map<int, int>> m_locks; // by node: descriptor -> LOCK_SH or LOCK_EX
    std::vector<Request> m_requests;
    bool m_recordPayloads = true;
};

} // namespace Sim
