#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "common/BoardLayout.h"
#include "common/ImageFormat.h"
#include "common/Manifest.h"
#include "common/VexilImageInstaller.h"
#include "common/VexilSlots.h"
#include "common/linuxFlash/KernelInterface.h"
#include "sim/Simulator.h"
#include "support/Process.h"
#include "tests/common/ImageBuilder.h"

// A simulated board laid out as on the hardware (NAND.ubi is mtd2), and the
// installer's run logic driven against it with its output captured.
namespace InstallerBoard {

using Bytes = std::vector<uint8_t>;

constexpr unsigned lebSize = 126976;
constexpr unsigned lebCount = 1000;
constexpr unsigned pageSize = 2048;

struct Generation {
    Bytes kernel;
    Bytes devicetree;
    Bytes rootfs;
    const Bytes& operator[](int slot) const {
        return slot == 0 ? kernel : slot == 1 ? devicetree : rootfs;
    }
};

// Three generations of a board's life, each slot's payload its own pattern.
inline const Generation s_older{ImageBuilder::pattern(5000, 1), ImageBuilder::pattern(300, 2),
                                ImageBuilder::pattern(9000, 3)};
inline const Generation s_current{ImageBuilder::pattern(70000, 4), ImageBuilder::pattern(1200, 5),
                                  ImageBuilder::pattern(140000, 6)};
inline const Generation s_update{ImageBuilder::pattern(100000, 7), ImageBuilder::pattern(2000, 8),
                                 ImageBuilder::pattern(150000, 9)};

inline void makeBoard(Sim::Simulator& sim, unsigned lebs = lebCount, unsigned leb = lebSize,
                      unsigned minIo = pageSize) {
    sim.addMtd("bootloader");
    sim.addMtd("env");
    sim.attachUbi(sim.addMtd("NAND.ubi"), leb, lebs, minIo);
}

inline void addGeneration(Sim::Simulator& sim, const Generation& generation,
                          const std::string& suffix) {
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        const FwImage::VolumeSlot& target = FwImage::s_volumes[slot];
        sim.addVolume(0, std::string(target.name) + suffix, Ubi::kernelVolumeType(target.type),
                      target.size, generation[slot]);
    }
}

using Outcome = ProcessOutcome;

// Runs a program's entry point on `args`, with argv[0] its name; its status and what it said.
template <typename Main>
Outcome runMain(Main&& main, const char* program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    OutputCapture output;
    const int status = main(int(argv.size()), argv.data());
    return {status, output.out(), output.err()};
}

// The installer on `args`, without a trust store or a boot environment unless one is named.
inline Outcome runInstaller(LinuxFlash::KernelInterface& kernel, std::vector<std::string> args,
                            const std::string& trustedKeys = "/nonexistent/trusted-keys",
                            const std::string& bootConfig = "") {
    return runMain(
        [&](int argc, char** argv) {
            return VexilImageInstaller::run(argc, argv, kernel, trustedKeys, bootConfig);
        },
        "VexilImageInstaller", std::move(args));
}

inline Outcome runSlots(LinuxFlash::KernelInterface& kernel, std::vector<std::string> args,
                        const VexilSlots::Boot& boot = {}) {
    return runMain([&](int argc, char** argv) { return VexilSlots::run(argc, argv, kernel, boot); },
                   "vexil-slots", std::move(args));
}

// Writes the image to a temporary file and runs the installer on it.
inline Outcome install(LinuxFlash::KernelInterface& kernel, const Bytes& image,
                       const std::string& trustedKeys = "/nonexistent/trusted-keys",
                       const std::string& bootConfig = "") {
    char path[] = "/tmp/vexil-image-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, image.data(), image.size()) != ssize_t(image.size())) {
        perror("temporary image");
        abort();
    }
    close(fd);
    const Outcome outcome = runInstaller(kernel, {path}, trustedKeys, bootConfig);
    unlink(path);
    return outcome;
}

// The volume called `name`, or nullptr.
inline const Sim::Simulator::VolumeInfo* find(const std::vector<Sim::Simulator::VolumeInfo>& all,
                                              const std::string& name) {
    for (const auto& volume : all) {
        if (volume.name == name) {
            return &volume;
        }
    }
    return nullptr;
}

// What a volume reads as: a static one its data bytes, a dynamic one what the
// last update wrote.
inline Bytes contents(const Sim::Simulator::VolumeInfo& volume) {
    Bytes data = volume.data;
    if (volume.type == Sim::Simulator::kStatic) {
        data.resize(size_t(volume.dataBytes), 0xFF);
    }
    return data;
}

// Whether kernel, devicetree and rootfs are healthy and hold `generation`.
inline bool holds(Sim::Simulator& sim, const Generation& generation,
                  const std::string& suffix = "") {
    const auto all = sim.volumes(0);
    for (int slot = 0; slot < 3; ++slot) {
        const auto* volume = find(all, FwImage::s_volumes[slot].name + suffix);
        if (!volume || volume->updMarker || volume->corrupted ||
            contents(*volume) != generation[slot]) {
            return false;
        }
    }
    return true;
}

// Whether the manifest of `suffix` describes the generation beside it.
inline bool manifestDescribes(Sim::Simulator& sim, const Generation& generation,
                              const std::string& suffix) {
    const auto volumes = sim.volumes(0);
    const auto* volume = find(volumes, "manifest" + suffix);
    Manifest::Record record;
    std::string error;
    if (volume == nullptr || !Manifest::decode(contents(*volume), record, error)) {
        return false;
    }
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        if (record.blocks[slot].size != generation[slot].size() ||
            record.blocks[slot].crc !=
                crc32(0, generation[slot].data(), uInt(generation[slot].size()))) {
            return false;
        }
    }
    return true;
}

// What a good install of `image` prints on a board that holds, per slot, the
// current and "_prev" volumes flagged here and no "_new" volume.
inline std::string transcript(const Bytes& image, const bool hasPrev[3], const bool hasCurrent[3]) {
    const auto bigEndian = [&image](size_t at) {
        return uint32_t(image.at(at)) << 24 | uint32_t(image.at(at + 1)) << 16 |
               uint32_t(image.at(at + 2)) << 8 | image.at(at + 3);
    };
    ImageHeader header;
    memcpy(&header, image.data(), sizeof header);
    char line[128];
    snprintf(line, sizeof line, "\n\tlength:  %u\n\tversion: 0x%x\n\tdescr:   ",
             bigEndian(offsetof(ImageHeader, length)), bigEndian(offsetof(ImageHeader, version)));
    std::string text =
        "CP1\nCP2\nstate changed '0' -> '1'\nstate changed '1' -> '2'\nImage header\n\tmagic:   " +
        FwImage::fieldText(header.magic, sizeof header.magic) +
        "\n\tproduct: " + FwImage::fieldText(header.product, sizeof header.product) + line +
        FwImage::fieldText(header.descr, sizeof header.descr) + "\n";
    for (size_t at = sizeof header; at + sizeof(BlockHeader) <= image.size();) {
        const uint32_t id = bigEndian(at), size = bigEndian(at + 4);
        snprintf(line, sizeof line,
                 "state changed '2' -> '3'\nBlock header\nID: %u - size: %u (crc:%08x)\n", id, size,
                 __builtin_bswap32(bigEndian(at + 8)));
        text += line;
        at += sizeof(BlockHeader) + size;
        for (int slot = 0; slot < 3; ++slot) {
            if (FwImage::s_volumes[slot].blockId != id) {
                continue;
            }
            const std::string name = FwImage::s_volumes[slot].name;
            if (hasPrev[slot]) {
                text += "volumeExists(" + name + "_prev) ->true\ndelete: " + name + "_prev\n";
            } else {
                text += "volumeExists(" + name + "_prev) ->false\n";
            }
            text += "volumeExists(" + name + "_new) ->false\nmakeVolume(" + name +
                    "_new)\nopen: " + name + "_new\n";
        }
        text += at >= image.size() ? "state changed '3' -> '4'\n" : "state changed '3' -> '2'\n";
    }
    text += "end: 0\n";
    for (int slot = 0; slot < 3; ++slot) {
        text += "volumeExists(" + std::string(FwImage::s_volumes[slot].name) +
                (hasCurrent[slot] ? ") ->true\n" : ") ->false\n");
    }
    return text;
}

} // namespace InstallerBoard
