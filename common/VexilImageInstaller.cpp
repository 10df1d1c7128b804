#include "common/VexilImageInstaller.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Files.h"
#include "Platform/Transcript.h"
#include "common/BoardLayout.h"
#include "common/BootEnvironment.h"
#include "common/BootTrial.h"
#include "common/Crc32.h"
#include "common/FwImageParser.h"
#include "common/GenerationSwitch.h"
#include "common/ImageCheck.h"
#include "common/ImageFormat.h"
#include "common/ImageStream.h"
#include "common/Manifest.h"
#include "common/TrustStore.h"
#include "common/VolumeCheck.h"
#include "common/linuxFlash/Ubi.h"

namespace VexilImageInstaller {
namespace {

using FwImage::s_volumes;
using FwImage::slotCount;
using FwImage::VolumeSlot;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

class FileSource : public FwImage::ByteSource {
public:
    explicit FileSource(FILE* file) : m_file(file) {}
    long read(void* buffer, unsigned size) override {
        const size_t got = fread(buffer, 1, size, m_file);
        return got < size && ferror(m_file) ? -1 : static_cast<long>(got);
    }
    // The descriptor's own reads leave the stream's position and buffer alone.
    bool readAt(uint64_t offset, void* buffer, unsigned size) override {
        return Platform::preadAll(fileno(m_file), buffer, size, off_t(offset));
    }

private:
    FILE* m_file;
};

std::string printableField(const char* field, size_t width) {
    return FwImage::printable(FwImage::fieldText(field, width));
}

// What this run did to one slot's "_new" volume.
struct SlotProgress {
    uint32_t size = 0;
    uint32_t crc = 0;
    uint8_t rawHeader[sizeof(BlockHeader)] = {}; // for the manifest
};

class Installation : public FwImage::StreamVisitor {
public:
    Installation(Ubi::Device& device, const SigningKeys::TrustStore& store,
                 BootEnvironment::Environment& boot, std::string tries,
                 Platform::Transcript& transcript)
        : m_device(device), m_volume(device), m_store(store), m_boot(boot),
          m_tries(std::move(tries)), m_transcript(transcript), m_parser(transcript),
          m_check([this](int slot) { return capacity(slot); }, store) {}

    int install(const char* path);

    void onImageHeader(FwImage::Parser& parser, const uint8_t* raw) override;
    void onBlockHeader(FwImage::Parser& parser, const uint8_t* raw) override;
    void onPayload(FwImage::Parser& parser, const uint8_t* data, unsigned size) override;

private:
    void guardVersion(FwImage::Parser& parser);
    void write(FwImage::Parser& parser, const uint8_t* data, unsigned size);
    uint64_t capacity(int slot);
    bool volumeExists(const char* name);
    bool prepareSlot(int slot);
    bool imageComplete();
    bool newVolumesReadBack();
    bool readsBack(const VolumeSlot& slot, const SlotProgress& progress);
    bool writeManifest();
    bool arm();
    bool switchIn();
    void recordFailure(int exitStatus, const std::string& reason);
    void flashFailed(const std::string& reason);

    Ubi::Device& m_device;
    Ubi::Volume m_volume;
    const SigningKeys::TrustStore& m_store;
    BootEnvironment::Environment& m_boot;
    const std::string m_tries;
    bool m_trial = false;
    Platform::Transcript& m_transcript;
    FwImage::Parser m_parser;
    FwImage::ImageCheck m_check;
    uint8_t m_rawHeader[sizeof(ImageHeader)] = {};
    uint8_t m_rawBlockHeader[sizeof(BlockHeader)] = {};
    SlotProgress m_progress[slotCount];
    int m_currentSlot = -1; // slot receiving the current block's payload; -1 drops it
    int m_exitStatus = ExitInstalled;
    std::string m_reason;
};

// The first failure of a run is the one reported.
void Installation::recordFailure(int exitStatus, const std::string& reason) {
    if (m_exitStatus == ExitInstalled) {
        m_exitStatus = exitStatus;
        m_reason = reason;
    }
}

void Installation::flashFailed(const std::string& reason) {
    recordFailure(ExitFlashFailed, reason);
    m_parser.setError(FwImage::Parser::WriteError);
    m_currentSlot = -1;
}

int Installation::install(const char* path) {
    File image(fopen64(path, "rb"));
    if (!image) {
        const int error = errno;
        m_transcript.printf("ERROR: failed to open file: %s\n", path);
        m_transcript.systemError(path, error);
        return ExitImageUnreadable;
    }
    FileSource source(image.get());
    m_check.lookAhead(source);
    if (m_store.state() == SigningKeys::TrustStore::Loaded) {
        m_check.hashInBackground();
    }
    const FwImage::StreamEnd end = FwImage::readImage(source, m_parser, *this);
    if (end.cause == FwImage::StreamEnd::ReadError) {
        m_transcript.printf("ERROR: read failed\n");
        m_transcript.systemError("read", end.error);
        recordFailure(ExitImageUnreadable, "the image could not be read");
    }
    m_volume.close();
    m_transcript.printf("end: %d\n", m_parser.end());
    image.reset();

    if (!imageComplete() || !newVolumesReadBack() || !writeManifest() || !arm() || !switchIn()) {
        m_transcript.printf("install stopped: %s\n", m_reason.c_str());
        return m_exitStatus;
    }
    return ExitInstalled;
}

void Installation::onImageHeader(FwImage::Parser& parser, const uint8_t* raw) {
    const ImageHeader& header = parser.m_imageHeader;
    m_transcript.printf("Image header\n");
    m_transcript.printf("\tmagic:   %s\n",
                        printableField(header.magic, sizeof header.magic).c_str());
    m_transcript.printf("\tproduct: %s\n",
                        printableField(header.product, sizeof header.product).c_str());
    m_transcript.printf("\tlength:  %d\n", int(header.length));
    m_transcript.printf("\tversion: 0x%x\n", header.version);
    m_transcript.printf("\tdescr:   %s\n",
                        printableField(header.descr, sizeof header.descr).c_str());
    memcpy(m_rawHeader, raw, sizeof m_rawHeader);
    m_check.onImageHeader(parser, raw);
    if (m_store.state() == SigningKeys::TrustStore::Loaded) {
        guardVersion(parser);
    }
}

// With a trust store, an image older than the one a trusted key verified for the current set
// is refused: going back is a rollback, never a replay of an older signed image. A manifest
// that is there but cannot be used refuses every image, or the guard would open whenever the
// manifest is damaged.
void Installation::guardVersion(FwImage::Parser& parser) {
    Manifest::Record current;
    std::string problem;
    switch (Manifest::read(m_device, FwImage::s_manifest.name, current, problem)) {
    case Manifest::Found::Absent:
        break;
    case Manifest::Found::Unusable:
        m_check.reject(parser, "the current manifest cannot be used, so a downgrade could not be "
                               "told: " +
                                   problem);
        break;
    case Manifest::Found::Good:
        if (current.verified) {
            m_check.requireVersion(current.header.version);
        }
        break;
    }
}

void Installation::onBlockHeader(FwImage::Parser& parser, const uint8_t* raw) {
    const BlockHeader& block = parser.m_blockHeader;
    // The CRC as the file's bytes read little-endian: the transcript has always shown it so.
    m_transcript.printf("Block header\nID: %d - size: %d (crc:%08x)\n", int(block.id),
                        int(block.size), __builtin_bswap32(block.crc));
    m_check.onBlockHeader(parser, raw);
    memcpy(m_rawBlockHeader, raw, sizeof m_rawBlockHeader);
    const int slot = m_check.slotOfBlock();
    m_currentSlot = slot >= 0 && prepareSlot(slot) ? slot : -1;
}

// A "_new" volume left by an earlier run is reused as it is; a new one gets whole eraseblocks.
uint64_t Installation::capacity(int slot) {
    const VolumeSlot& volume = s_volumes[slot];
    unsigned long long bytes;
    if (m_device.volumeCapacity(volume.newName, bytes)) {
        return bytes;
    }
    std::string leb;
    if (m_device.deviceAttribute("eraseblock_size", leb)) {
        const unsigned long lebSize = strtoul(leb.c_str(), nullptr, 10);
        if (lebSize > 0 && lebSize <= UINT32_MAX) {
            return FwImage::volumeCapacity(volume.size, unsigned(lebSize));
        }
    }
    return volume.size;
}

bool Installation::volumeExists(const char* name) {
    const bool there = m_device.volumeExists(name);
    m_transcript.printf("volumeExists(%s) ->%s\n", name, there ? "true" : "false");
    return there;
}

bool Installation::prepareSlot(int slot) {
    const VolumeSlot& volume = s_volumes[slot];
    SlotProgress& progress = m_progress[slot];
    progress = SlotProgress();
    if (volumeExists(volume.prevName)) {
        m_transcript.printf("delete: %s\n", volume.prevName);
        if (!m_device.deleteVolume(volume.prevName)) {
            m_transcript.systemError("deleteVolume", m_device.error());
            flashFailed(std::string("could not delete ") + volume.prevName +
                        Ubi::because(m_device.error()));
            return false;
        }
    }
    if (!volumeExists(volume.newName)) {
        m_transcript.printf("makeVolume(%s)\n", volume.newName);
        if (!m_device.createVolume(volume.newName, volume.type, volume.size)) {
            m_transcript.systemError("ioctl", m_device.error());
            flashFailed(std::string("could not create ") + volume.newName +
                        Ubi::because(m_device.error()));
            return false;
        }
    }
    m_volume.close();
    m_transcript.printf("open: %s\n", volume.newName);
    if (!m_volume.open(volume.newName)) {
        flashFailed(std::string("could not open ") + volume.newName +
                    Ubi::because(m_volume.error()));
        return false;
    }
    const BlockHeader& block = m_parser.m_blockHeader;
    if (!m_volume.beginUpdate((long long)block.size)) {
        flashFailed(std::string("could not start the update of ") + volume.newName +
                    Ubi::because(m_volume.error()));
        return false;
    }
    progress.size = block.size;
    progress.crc = block.crc;
    memcpy(progress.rawHeader, m_rawBlockHeader, sizeof progress.rawHeader);
    return true;
}

// The check hashes the piece on its own thread while it is written; the piece stays untouched
// until both are done.
void Installation::onPayload(FwImage::Parser& parser, const uint8_t* data, unsigned size) {
    m_check.onPayload(parser, data, size);
    write(parser, data, size);
    m_check.settle();
}

void Installation::write(FwImage::Parser& parser, const uint8_t* data, unsigned size) {
    if (m_currentSlot < 0) {
        return;
    }
    const VolumeSlot& volume = s_volumes[m_currentSlot];
    const int written = m_volume.write(data, size);
    if (written < 0) {
        m_transcript.systemError("write", m_volume.error());
        flashFailed(std::string("writing ") + volume.newName + " failed" +
                    Ubi::because(m_volume.error()));
        return;
    }
    if (unsigned(written) != size) {
        flashFailed(std::string("writing ") + volume.newName + " fell short: " +
                    std::to_string(written) + " of " + std::to_string(size) + " bytes");
        return;
    }
    if (parser.m_state != FwImage::Parser::ReadBlockData) {
        m_currentSlot = -1;
    }
}

// Whether the stream ended cleanly with every slot's block verified.
bool Installation::imageComplete() {
    if (m_exitStatus != ExitInstalled) {
        return false;
    }
    std::string rejection;
    if (!m_check.accepts(m_parser, rejection)) {
        recordFailure(ExitImageRejected, rejection);
        return false;
    }
    return true;
}

bool Installation::newVolumesReadBack() {
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!readsBack(s_volumes[slot], m_progress[slot])) {
            return false;
        }
    }
    return true;
}

// The kernel may accept every write and still hold something else.
bool Installation::readsBack(const VolumeSlot& slot, const SlotProgress& progress) {
    std::string wrong;
    if (!VolumeCheck::verify(m_device, slot.newName, slot.type, progress.size, progress.crc,
                             VolumeCheck::Read::Dynamic, wrong)) {
        recordFailure(ExitFlashFailed, wrong);
        return false;
    }
    return true;
}

// The record of what is switched in, written like a slot but without a line in the transcript:
// a good install prints what it always did.
bool Installation::writeManifest() {
    const VolumeSlot& manifest = FwImage::s_manifest;
    uint8_t rawBlocks[slotCount][sizeof(BlockHeader)];
    for (int slot = 0; slot < slotCount; ++slot) {
        memcpy(rawBlocks[slot], m_progress[slot].rawHeader, sizeof rawBlocks[slot]);
    }
    SigningKeys::KeyId keyId = {};
    const bool signedImage = m_check.claimedKey(keyId);
    const bool verified = signedImage && m_check.verified();
    const std::vector<uint8_t> bytes =
        Manifest::encode(m_rawHeader, rawBlocks, signedImage, verified, keyId);
    if (!m_device.volumeExists(manifest.newName) &&
        !m_device.createVolume(manifest.newName, manifest.type, manifest.size)) {
        recordFailure(ExitFlashFailed, std::string("could not create ") + manifest.newName +
                                           Ubi::because(m_device.error()));
        return false;
    }
    Ubi::Volume volume(m_device);
    if (!volume.open(manifest.newName) || !volume.beginUpdate((long long)bytes.size()) ||
        volume.write(bytes.data(), unsigned(bytes.size())) != int(bytes.size())) {
        recordFailure(ExitFlashFailed, std::string("could not write ") + manifest.newName +
                                           Ubi::because(volume.error()));
        return false;
    }
    volume.close();
    std::string wrong;
    if (!VolumeCheck::verify(m_device, manifest.newName, manifest.type, uint32_t(bytes.size()),
                             Crc32::calculate(bytes.data(), unsigned(bytes.size()), 0),
                             VolumeCheck::Read::Dynamic, wrong)) {
        recordFailure(ExitFlashFailed, wrong);
        return false;
    }
    return true;
}

// With a boot environment the new set goes in on trial: the count of its boots is written
// before the rename that makes it manifest_trial, so whichever of the two a power cut lets
// through, the boot script never counts down a set that is not on trial. With no whole set to
// fall back to, a trial could only strand the board: the new set goes in plainly.
bool Installation::arm() {
    if (m_boot.state() != BootEnvironment::Environment::Open) {
        return true;
    }
    for (const VolumeSlot& slot : s_volumes) {
        if (!m_device.volumeExists(slot.name)) {
            m_transcript.note("VexilImageInstaller: no whole set to fall back to: the new set "
                              "goes in without a trial");
            return true;
        }
    }
    if (!m_boot.set(BootTrial::triesVariable, m_tries) || !m_boot.store()) {
        recordFailure(ExitBootEnvironment, "the new set cannot be put on trial: " +
                                               m_boot.problem() + "; it is not switched in");
        return false;
    }
    m_trial = true;
    return true;
}

// One rename request switches the slots and the manifest together. A manifest_prev left from a
// generation without a manifest goes first, so no manifest ever describes a set it is not
// beside.
bool Installation::switchIn() {
    const VolumeSlot& manifest = FwImage::s_manifest;
    if (!m_device.volumeExists(manifest.name) && m_device.volumeExists(manifest.prevName) &&
        !m_device.deleteVolume(manifest.prevName)) {
        recordFailure(ExitFlashFailed, std::string("could not delete ") + manifest.prevName +
                                           Ubi::because(m_device.error()));
        return false;
    }
    const GenerationSwitch::Renames renames =
        GenerationSwitch::renames(m_device, &VolumeSlot::newName, m_trial);
    for (const VolumeSlot& slot : s_volumes) {
        const bool current = std::any_of(renames.begin(), renames.end(),
                                         [&slot](const auto& r) { return r.first == slot.name; });
        m_transcript.printf("volumeExists(%s) ->%s\n", slot.name, current ? "true" : "false");
    }
    if (!m_device.renameVolumes(renames)) {
        // The kernel either renamed every volume or none; its answer does not say which.
        m_transcript.printf("rename failed\n");
        m_transcript.systemError("rename", m_device.error());
        recordFailure(ExitFlashFailed, "the rename that switches the new set in failed" +
                                           Ubi::because(m_device.error()) +
                                           "; vexil-slots status shows which set is current");
        return false;
    }
    return true;
}

} // namespace

int run(int argc, char* argv[]) {
    return run(argc, argv, LinuxFlash::linuxKernel(), SigningKeys::trustedKeysDirectory,
               BootEnvironment::standardConfig);
}

int run(int argc, char* argv[], LinuxFlash::KernelInterface& kernel, const std::string& trustedKeys,
        const std::string& bootConfig) {
    if (argc != 2) {
        return ExitUsage;
    }
    Platform::StandardTranscript transcript;
    Ubi::Device device(kernel);
    transcript.printf("CP1\n");
    if (!device.init(FwImage::partitionName)) {
        return ExitNoDevice;
    }
    transcript.printf("CP2\n");
    if (!device.lock()) {
        transcript.printf("install stopped: %s is in use by another install or vexil-slots%s\n",
                          device.name().c_str(),
                          device.error() == EWOULDBLOCK ? ""
                                                        : Ubi::because(device.error()).c_str());
        return ExitBusy;
    }
    // A store that cannot be used must never mean "no keys": nothing is touched.
    const SigningKeys::TrustStore store = SigningKeys::TrustStore::load(trustedKeys);
    if (store.state() == SigningKeys::TrustStore::Refused) {
        transcript.printf("install stopped: %s\n", store.reason().c_str());
        return ExitTrustStore;
    }
    // A set on trial keeps its way back, the previous set, until it is confirmed or left; and a
    // board set up for trials installs nothing it cannot put on trial.
    if (GenerationSwitch::onTrial(device)) {
        transcript.printf("install stopped: the current set is still on trial; confirm it "
                          "(vexil-slots confirm) or go back (vexil-slots rollback) first\n");
        return ExitBootEnvironment;
    }
    BootEnvironment::Environment boot(bootConfig);
    std::string tries = BootTrial::defaultTries;
    std::string problem = boot.problem();
    if (boot.state() == BootEnvironment::Environment::Unusable ||
        (boot.state() == BootEnvironment::Environment::Open &&
         !BootTrial::triesFor(boot, tries, problem))) {
        transcript.printf("install stopped: the boot environment cannot be used, so no set could "
                          "be put on trial: %s\n",
                          problem.c_str());
        return ExitBootEnvironment;
    }
    return Installation(device, store, boot, tries, transcript).install(argv[1]);
}

} // namespace VexilImageInstaller
