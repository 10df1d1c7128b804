#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"

struct ubi_mkvol_req;

namespace Sim {

enum class Call { Open, Read, Write, Close, Ioctl, OpenDirectory };

// An in-memory Linux MTD + UBI: the sysfs attributes and directories under /sys/class/mtd and
// /sys/class/ubi, the nodes /dev/ubiN and /dev/ubiN_M, and the UBI requests decoded from the
// kernel's own records, with the kernel's checks, errors and order of checks. Directories
// list ".", ".." and then their entries in the order a 64-bit kernel's sysfs gives them.
//
// Not modelled: regular files (creating a missing path gives ENOENT), the read-only MTD
// twins mtdNro, seeking, resizing (UBI_IOCRSVOL gives ENOTTY), and the eraseblocks UBI keeps
// for itself: `lebCount` of attachUbi is what volumes may reserve. Misuse of the set-up calls
// throws std::invalid_argument.
class Simulator : public LinuxFlash::KernelInterface {
public:
    static constexpr int kDynamic = 3;
    static constexpr int kStatic = 4;

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

    // The board as the flash holds it: text metadata and one data file per volume.
    bool save(const std::string& directory) const;
    static std::unique_ptr<Simulator> load(const std::string& directory);

    int open(const char* path, int flags) override;
    ssize_t read(int fd, void* buffer, size_t count) override;
    ssize_t write(int fd, const void* buffer, size_t count) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    std::unique_ptr<LinuxFlash::DirectoryStream> openDirectory(const char* path) override;

private:
    enum class Mode { ReadOnly, ReadWrite, Exclusive, MetaOnly };

    struct Volume {
        unsigned serial = 0; // tells apart volumes that had the same id at different times
        int id = 0;
        std::string name;
        int type = kDynamic;
        int alignment = 1;
        unsigned usableLebSize = 0;
        unsigned reservedEbs = 0;
        unsigned long long usedBytes = 0;
        std::vector<uint8_t> data;
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
        int vtblSlots = 0;
        bool roMode = false;
        std::map<int, Volume> volumes;
    };

    struct Override {
        std::string content;
        int error = 0;
    };

    struct Board {
        std::map<unsigned, std::string> mtds;
        std::map<unsigned, UbiDevice> ubis;
        bool ubiLoaded = true;
        std::map<std::string, Override> overrides; // by canonical attribute path
        unsigned nextSerial = 1;
    };

    enum class NodeKind { Missing, Directory, Attribute, UbiNode, VolumeNode };
    enum class Owner { None, Mtd, UbiClass, UbiDevice, Volume };

    struct Node {
        NodeKind kind = NodeKind::Missing;
        std::string canonical;
        Owner owner = Owner::None;
        unsigned number = 0; // MTD or UBI number
        unsigned serial = 0; // volume
        std::string attribute;
    };

    struct OpenFile {
        Node node;
        std::string path;
        bool canRead = false;
        bool canWrite = false;
        std::optional<std::string> snapshot; // an attribute's text, made at its first read
        size_t offset = 0;
        Mode mode = Mode::ReadOnly;
        unsigned long long position = 0;
    };

    struct Failure {
        Call kind;
        unsigned long request;
        unsigned remaining;
        int error;
    };

    // Path resolution, directories and attributes (SimulatorFiles.cpp).
    Node resolve(const std::string& path) const;
    std::vector<std::string> listDirectory(const Node& node) const;
    bool ownerExists(const Node& node) const;
    std::string attributeText(const Node& node) const;
    ssize_t readAttribute(OpenFile& file, void* buffer, size_t count);
    void dropOverrides(const std::string& prefix);
    void dropVolumeOverrides(unsigned ubi, int volId);

    // UBI (SimulatorUbi.cpp).
    int createVolume(UbiDevice& device, ubi_mkvol_req& request, bool counted);
    int makeVolume(UbiDevice& device, void* argument);
    int removeVolume(UbiDevice& device, void* argument);
    int renameVolumes(UbiDevice& device, void* argument);
    int startUpdate(OpenFile& file, void* argument);
    ssize_t writeVolume(OpenFile& file, const void* buffer, size_t count);
    ssize_t readVolume(OpenFile& file, void* buffer, size_t count);
    int openVolumeNode(const Node& node, OpenFile& file);
    void releaseVolume(const OpenFile& file);
    int acquire(Volume& volume, Mode mode);
    void release(Volume& volume, Mode mode);
    bool changeState(UbiDevice& device);
    bool cutAfterOperation();
    UbiDevice* ubiDevice(unsigned number);
    const Volume* volumeBySerial(unsigned ubi, unsigned serial) const;
    Volume* volumeBySerial(unsigned ubi, unsigned serial);
    Volume& volume(unsigned ubi, int volId);
    static void settle(Board& board);

    int fail(Request& request, int error);
    ssize_t finish(Request& request, ssize_t result);
    bool injectedFailure(Call kind, unsigned long request, int& error);
    OpenFile* openFile(int fd);

    Board m_board;
    std::map<int, OpenFile> m_files;
    std::vector<Failure> m_failures;
    std::vector<Request> m_requests;
    bool m_recordPayloads = true;
    unsigned m_powerCut = 0;  // operations left before the cut, 0 when none is armed
    bool m_cutAfter = false;  // the armed cut lets its operation happen first
    bool m_failAfter = false; // the operation under way was cut after it happened
    unsigned m_stateOperations = 0;
};

} // namespace Sim
