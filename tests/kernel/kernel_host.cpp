// Host side of the real-kernel tests: what a good install must print for a
// given image, and the simulator's answer to the same power-cut sweep the VM
// runs, so the two can be compared.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ConformanceReport.h"
#include "common/ImageFormat.h"
#include "support/InstallerBoard.h"

namespace {

using InstallerBoard::Bytes;

bool readFile(const std::string& path, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

uint32_t bigEndian(const Bytes& bytes, size_t at) {
    return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
           uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}

// "101" -> {true, false, true}, one flag per slot in slot order.
bool slotFlags(const char* text, bool flags[3]) {
    if (strlen(text) != 3) {
        return false;
    }
    for (int slot = 0; slot < 3; ++slot) {
        if (text[slot] != '0' && text[slot] != '1') {
            return false;
        }
        flags[slot] = text[slot] == '1';
    }
    return true;
}

int transcript(const char* imagePath, const char* prevFlags, const char* currentFlags) {
    Bytes image;
    bool hasPrev[3];
    bool hasCurrent[3];
    if (!readFile(imagePath, image) || image.size() < sizeof(ImageHeader) ||
        !slotFlags(prevFlags, hasPrev) || !slotFlags(currentFlags, hasCurrent)) {
        fprintf(stderr, "transcript: bad image or slot flags\n");
        return 2;
    }
    ImageHeader header;
    memcpy(&header, image.data(), sizeof header);
    char version[16];
    snprintf(version, sizeof version, "0x%x", bigEndian(image, offsetof(ImageHeader, version)));
    const std::string headerLines =
        "Image header\n\tmagic:   " + FwImage::fieldText(header.magic, sizeof header.magic) +
        "\n\tproduct: " + FwImage::fieldText(header.product, sizeof header.product) +
        "\n\tlength:  " + std::to_string(bigEndian(image, offsetof(ImageHeader, length))) +
        "\n\tversion: " + version +
        "\n\tdescr:   " + FwImage::fieldText(header.descr, sizeof header.descr) + "\n";
    std::vector<InstallerBoard::BlockLine> blocks;
    for (size_t at = sizeof header; at + sizeof(BlockHeader) <= image.size();) {
        const InstallerBoard::BlockLine block{bigEndian(image, at), bigEndian(image, at + 4),
                                              bigEndian(image, at + 8)};
        blocks.push_back(block);
        at += sizeof(BlockHeader) + block.size;
    }
    fputs(InstallerBoard::transcript(headerLines, blocks, hasPrev, hasCurrent).c_str(), stdout);
    return 0;
}

bool readGeneration(const std::string& directory, InstallerBoard::Generation& generation) {
    return readFile(directory + "/kernel.bin", generation.kernel) &&
           readFile(directory + "/devicetree.bin", generation.devicetree) &&
           readFile(directory + "/rootfs.bin", generation.rootfs);
}

// The board the VM's sweep starts from: same eraseblock geometry, the current
// generation and its "_prev".
void makeBoard(Sim::Simulator& sim, unsigned lebSize, unsigned lebCount,
               const InstallerBoard::Generation& previous,
               const InstallerBoard::Generation& current) {
    sim.addMtd("bootloader");
    sim.addMtd("env");
    sim.attachUbi(sim.addMtd("NAND.ubi"), lebSize, lebCount);
    InstallerBoard::addGeneration(sim, previous, "_prev");
    InstallerBoard::addGeneration(sim, current, "");
}

const char* generationClass(Sim::Simulator& sim, const InstallerBoard::Generation& current,
                            const InstallerBoard::Generation& update) {
    if (InstallerBoard::holds(sim, update)) {
        return "new";
    }
    return InstallerBoard::holds(sim, current) ? "old" : "broken";
}

// Two lines per state-changing operation of the install, the power cut before
// it and after it, in the VM sweep's format:
// "n=N cut=before|after rc=R after=CLASS rerun=R2 final=CLASS".
int simSweep(char* argv[]) {
    const unsigned lebSize = unsigned(std::stoul(argv[0]));
    const unsigned lebCount = unsigned(std::stoul(argv[1]));
    InstallerBoard::Generation previous, current, update;
    Bytes image;
    if (!readGeneration(argv[2], previous) || !readGeneration(argv[3], current) ||
        !readGeneration(argv[4], update) || !readFile(argv[5], image)) {
        fprintf(stderr, "sim-sweep: cannot read the generations or the image\n");
        return 2;
    }
    unsigned operations = 0;
    {
        Sim::Simulator sim;
        makeBoard(sim, lebSize, lebCount, previous, current);
        const unsigned before = sim.stateChangingOperations();
        if (InstallerBoard::install(sim, image).status != 0) {
            fprintf(stderr, "sim-sweep: the install fails without a cut\n");
            return 1;
        }
        operations = sim.stateChangingOperations() - before;
    }
    for (unsigned n = 1; n <= operations; ++n) {
        for (const bool cutAfter : {false, true}) {
            Sim::Simulator sim;
            makeBoard(sim, lebSize, lebCount, previous, current);
            if (cutAfter) {
                sim.powerCutAfter(n);
            } else {
                sim.powerCutBefore(n);
            }
            const int status = InstallerBoard::install(sim, image).status;
            sim.reattach();
            const char* after = generationClass(sim, current, update);
            const int rerun = InstallerBoard::install(sim, image).status;
            printf("n=%u cut=%s rc=%d after=%s rerun=%d final=%s\n", n,
                   cutAfter ? "after" : "before", status, after, rerun,
                   generationClass(sim, current, update));
        }
    }
    return 0;
}

// The conformance cases against a simulated device of the given geometry, in
// the runner's format.
int simConformance(const char* lebSize, const char* lebCount, const char* minIoSize) {
    Sim::Simulator sim;
    sim.addMtd("bootloader");
    sim.addMtd("env");
    sim.attachUbi(sim.addMtd("NAND.ubi"), unsigned(std::stoul(lebSize)),
                  unsigned(std::stoul(lebCount)), unsigned(std::stoul(minIoSize)));
    return printConformance(Conformance::runUbi(sim, 0, [&sim] {
        sim.reattach();
        return true;
    }));
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 5 && strcmp(argv[1], "transcript") == 0) {
        return transcript(argv[2], argv[3], argv[4]);
    }
    if (argc == 8 && strcmp(argv[1], "sim-sweep") == 0) {
        return simSweep(argv + 2);
    }
    if (argc == 5 && strcmp(argv[1], "sim-conformance") == 0) {
        return simConformance(argv[2], argv[3], argv[4]);
    }
    fprintf(stderr,
            "usage: %s transcript IMAGE PREV_FLAGS CURRENT_FLAGS\n"
            "       %s sim-sweep LEB_SIZE LEB_COUNT PREV_DIR CURRENT_DIR NEW_DIR IMAGE\n"
            "       %s sim-conformance LEB_SIZE LEB_COUNT MIN_IO_SIZE\n",
            argv[0], argv[0], argv[0]);
    return 2;
}
