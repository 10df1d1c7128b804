#include "common/VexilImageInstaller.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Crc32.h"
#include "common/FwImageParser.h"
#include "common/ImageFormat.h"
#include "common/linuxFlash/Ubi.h"
#include "common/linuxFlash/UbiVolumeReader.h"

namespace VexilImageInstaller {
namespace {

struct VolumeSlot {
    const char* name;
    const char* prevName;
    const char* newName;
    uint32_t blockId;
    Ubi::VolumeType type;
    unsigned size;
};

const VolumeSlot s_volumes[] = {
    {"kernel", "kernel_prev", "kernel_new", FwImage::kernelBlockId, Ubi::VolumeType::Static,
     FwImage::kernelVolumeSize},
    {"devicetree", "devicetree_prev", "devicetree_new", FwImage::devicetreeBlockId,
     Ubi::VolumeType::Static, FwImage::devicetreeVolumeSize},
    {"rootfs", "rootfs_prev", "rootfs_new", FwImage::rootfsBlockId, Ubi::VolumeType::Dynamic,
     FwImage::rootfsVolumeSize},
};
constexpr int s_nrSlots = sizeof s_volumes / sizeof s_volumes[0];

constexpr unsigned s_bufferSize = FwImage::maxChunkSize;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint32_t bigEndian(const void* field) {
    const auto* b = static_cast<const unsigned char*>(field);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

uint32_t littleEndian(const void* field) {
    const auto* b = static_cast<const unsigned char*>(field);
    return uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
}

// What this run did to one slot's "_new" volume.
struct SlotProgress {
    bool prepared = false; // volume created or reused, opened, update started
    bool verified = false; // every payload byte written and the block's CRC matched
    uint32_t size = 0;
    uint32_t crc = 0;
    uint32_t written = 0;
};

class Installation {
public:
    Installation(Ubi::Device& device, Ubi::Volume& volume, unsigned char* buffer)
        : m_device(device), m_volume(volume), m_buffer(buffer) {}

    int install(const char* path);

private:
    void readImage(FILE* image);
    void onImageHeader();
    void onBlockHeader();
    void onPayload(unsigned count);
    bool prepareSlot(int slot);
    bool readyToSwitch();
    bool volumeReadsBack(const VolumeSlot& slot, const SlotProgress& progress);
    bool switchIn();
    void stop(int exitStatus, const std::string& reason);
    void flashFailed(const std::string& reason);

    Ubi::Device& m_device;
    Ubi::Volume& m_volume;
    unsigned char* m_buffer;
    FwImage::Parser m_parser;
    SlotProgress m_progress[s_nrSlots];
    int m_currentSlot = -1; // slot receiving the current block's payload; -1 drops it
    int m_exitStatus = ExitInstalled;
    std::string m_reason;
};

void Installation::stop(int exitStatus, const std::string& reason) {
    if (m_exitStatus == ExitInstalled) {
        m_exitStatus = exitStatus;
        m_reason = reason;
    }
}

void Installation::flashFailed(const std::string& reason) {
    stop(ExitFlashFailed, reason);
    m_parser.setError(FwImage::Parser::WriteError);
    m_currentSlot = -1;
}

int Installation::install(const char* path) {
    File image(fopen64(path, "rb"));
    if (!image) {
        printf("ERROR: failed to open file: %s\n", path);
        return ExitImageUnreadable;
    }
    m_parser.begin();
    readImage(image.get());
    m_volume.close();
    printf("end: %d\n", m_parser.end());
    image.reset();

    if (!readyToSwitch()) {
        printf("install stopped: %s\n", m_reason.c_str());
        return m_exitStatus;
    }
    return switchIn() ? ExitInstalled : ExitFlashFailed;
}

void Installation::readImage(FILE* image) {
    for (;;) {
        const unsigned needed = m_parser.m_bytesNeeded;
        const size_t got = fread(m_buffer, 1, needed, image);
        if (got < needed) {
            if (feof(image)) {
                return;
            }
            puts("ERROR: read failed");
            stop(ExitImageUnreadable, "the image could not be read");
            return;
        }
        switch (m_parser.parse(m_buffer, needed)) {
        case FwImage::Parser::ResultImageHeader:
            onImageHeader();
            break;
        case FwImage::Parser::ResultBlockHeader:
            onBlockHeader();
            break;
        case FwImage::Parser::ResultPayload:
            onPayload(unsigned(got));
            break;
        default:
            break;
        }
    }
}

void Installation::onImageHeader() {
    const ImageHeader& header = m_parser.m_imageHeader;
    const std::string magic = FwImage::fieldText(header.magic, sizeof header.magic);
    const std::string product = FwImage::fieldText(header.product, sizeof header.product);
    puts("Image header");
    printf("\tmagic:   %s\n", magic.c_str());
    printf("\tproduct: %s\n", product.c_str());
    printf("\tlength:  %d\n", int(header.length));
    printf("\tversion: 0x%x\n", header.version);
    printf("\tdescr:   %s\n", FwImage::fieldText(header.descr, sizeof header.descr).c_str());
    if (!FwImage::hasExpectedIdentity(header)) {
        stop(ExitImageRejected,
             "the image is for another board (magic '" + magic + "', product '" + product + "')");
        m_parser.setError(FwImage::Parser::BadImage);
    }
}

void Installation::onBlockHeader() {
    const BlockHeader& block = m_parser.m_blockHeader;
    puts("Block header");
    printf("ID: %d - size: %d (crc:%08x)\n", int(block.id), int(block.size),
           littleEndian(&block.crc));
    if (m_parser.m_bytesNeeded > s_bufferSize) {
        m_parser.m_bytesNeeded = s_bufferSize;
    }
    m_currentSlot = -1;
    for (int slot = 0; slot < s_nrSlots; ++slot) {
        if (s_volumes[slot].blockId == block.id) {
            if (prepareSlot(slot)) {
                m_currentSlot = slot;
            }
            return;
        }
    }
}

bool Installation::prepareSlot(int slot) {
    const VolumeSlot& volume = s_volumes[slot];
    SlotProgress& progress = m_progress[slot];
    progress = SlotProgress();
    if (m_device.volumeExists(volume.prevName)) {
        printf("delete: %s\n", volume.prevName);
        m_device.deleteVolume(volume.prevName);
    }
    if (!m_device.volumeExists(volume.newName) &&
        !m_device.makeVolume(volume.newName, volume.type, volume.size)) {
        flashFailed(std::string("could not create ") + volume.newName);
        return false;
    }
    m_volume.close();
    if (!m_volume.open(volume.newName)) {
        flashFailed(std::string("could not open ") + volume.newName);
        return false;
    }
    const BlockHeader& block = m_parser.m_blockHeader;
    if (!m_volume.beginUpdate((long long)block.size)) {
        flashFailed(std::string("could not start the update of ") + volume.newName);
        return false;
    }
    progress.prepared = true;
    progress.size = block.size;
    progress.crc = bigEndian(&block.crc);
    return true;
}

void Installation::onPayload(unsigned count) {
    if (m_currentSlot < 0) {
        return;
    }
    const VolumeSlot& volume = s_volumes[m_currentSlot];
    SlotProgress& progress = m_progress[m_currentSlot];
    if (m_volume.write(m_buffer, count) != int(count)) {
        flashFailed(std::string("writing ") + volume.newName + " failed");
        return;
    }
    progress.written += count;
    if (m_parser.m_state != FwImage::Parser::ReadBlockData) {
        progress.verified = progress.written == progress.size;
        m_currentSlot = -1;
    }
}

bool Installation::readyToSwitch() {
    if (m_exitStatus != ExitInstalled) {
        return false;
    }
    switch (m_parser.end()) {
    case FwImage::Parser::Ok:
        break;
    case FwImage::Parser::CrcError:
        stop(ExitImageRejected,
             "block " + std::to_string(m_parser.m_blockHeader.id) + " failed its CRC check");
        return false;
    case FwImage::Parser::LengthError:
        stop(ExitImageRejected, "the image is longer than its declared length");
        return false;
    default:
        stop(ExitImageRejected,
             "the image was rejected (status " + std::to_string(int(m_parser.end())) + ")");
        return false;
    }
    if (m_parser.m_state != FwImage::Parser::Done) {
        stop(ExitImageRejected, "the image ended early");
        return false;
    }
    for (int slot = 0; slot < s_nrSlots; ++slot) {
        if (!m_progress[slot].prepared || !m_progress[slot].verified) {
            stop(ExitImageRejected, "the image has no " + std::string(s_volumes[slot].name) +
                                        " block (ID " + std::to_string(s_volumes[slot].blockId) +
                                        ")");
            return false;
        }
    }
    for (int slot = 0; slot < s_nrSlots; ++slot) {
        if (!volumeReadsBack(s_volumes[slot], m_progress[slot])) {
            return false;
        }
    }
    return true;
}

// Reads the volume back through its node: the kernel may accept every write
// and still hold something else (a static volume that failed its own check is
// only marked corrupted).
bool Installation::volumeReadsBack(const VolumeSlot& slot, const SlotProgress& progress) {
    std::string marker;
    std::string corrupted;
    if (!m_device.volumeAttribute(slot.newName, "upd_marker", marker) ||
        !m_device.volumeAttribute(slot.newName, "corrupted", corrupted)) {
        stop(ExitFlashFailed, std::string("could not check ") + slot.newName);
        return false;
    }
    if (marker != "0") {
        stop(ExitFlashFailed, std::string(slot.newName) + " is still marked as being updated");
        return false;
    }
    if (corrupted != "0") {
        stop(ExitFlashFailed, std::string(slot.newName) + " is marked corrupted");
        return false;
    }
    Ubi::VolumeReader reader(m_device);
    if (!reader.open(slot.newName)) {
        stop(ExitFlashFailed, std::string("could not open ") + slot.newName + " to check it");
        return false;
    }
    uint32_t remaining = progress.size;
    uint32_t crc = 0;
    while (remaining > 0) {
        const unsigned want = remaining < s_bufferSize ? remaining : s_bufferSize;
        const int got = reader.read(m_buffer, want);
        if (got <= 0) {
            break;
        }
        crc = Crc32::calculate(m_buffer, unsigned(got), crc);
        remaining -= unsigned(got);
    }
    if (remaining != 0 || crc != progress.crc) {
        stop(ExitFlashFailed, std::string(slot.newName) + " reads back wrong");
        return false;
    }
    return true;
}

bool Installation::switchIn() {
    std::vector<std::pair<std::string, std::string>> renames;
    for (const VolumeSlot& slot : s_volumes) {
        if (m_device.volumeExists(slot.name)) {
            renames.emplace_back(slot.name, slot.prevName);
        }
        renames.emplace_back(slot.newName, slot.name);
    }
    if (!m_device.renameVolumes(renames)) {
        puts("rename failed");
        return false;
    }
    return true;
}

} // namespace

int run(int argc, char* argv[]) {
    if (argc != 2) {
        return ExitUsage;
    }
    Ubi::Device device;
    puts("CP1");
    if (!device.init("NAND.ubi")) {
        return ExitNoDevice;
    }
    puts("CP2");
    Ubi::Volume volume(device);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[s_bufferSize]);
    return Installation(device, volume, buffer.get()).install(argv[1]);
}

} // namespace VexilImageInstaller
