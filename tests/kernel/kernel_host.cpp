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
#include "common/BoardLayout.h"
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

// "101" -> {true, false, true}, one flag per slot in slot order.
bool slotFlags(const std::string& text, bool flags[3]) {
    if (text.size() != 3 || text.find_first_not_of("01") != std::string::npos) {
        return false;
    }
    for (int slot = 0; slot < 3; ++slot) {
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
    fputs(InstallerBoard::transcript(image, hasPrev, hasCurrent).c_str(), stdout);
    return 0;
}

bool readGeneration(const std::string& directory, InstallerBoard::Generation& generation) {
    return readFile(directory + "/kernel.bin", generation.kernel) &&
           readFile(directory + "/devicetree.bin", generation.devicetree) &&
           readFile(directory + "/rootfs.bin", generation.rootfs);
}

// The board the VM's sweep starts from: the current generation and its "_prev".
void makeBoard(Sim::Simulator& sim, unsigned lebSize, unsigned lebCount,
               const InstallerBoard::Generation& previous,
               const InstallerBoard::Generation& current) {
    InstallerBoard::makeBoard(sim, lebCount, lebSize, 1);
    InstallerBoard::addGeneration(sim, previous, "_prev");
    InstallerBoard::addGeneration(sim, current, "");
}

const char* generationClass(Sim::Simulator& sim, const InstallerBoard::Generation& current,
                            const InstallerBoard::Generation& update) {
    return InstallerBoard::holds(sim, update)    ? "new"
           : InstallerBoard::holds(sim, current) ? "old"
                                                 : "broken";
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
            cutAfter ? sim.powerCutAfter(n) : sim.powerCutBefore(n);
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

// What the VM's generation runs must give, on an empty board of its geometry
// with its trust store: image A installed, then B, A again (a downgrade), then
// vexil-slots status, check, rollback, status and check. Each run's stdout,
// stderr and status go to OUT_DIR/NAME.out, .err and .rc, as the VM's do.
int simSlots(char* argv[]) {
    const std::string trustedKeys = argv[2];
    const std::string outDir = argv[3];
    Bytes a, b;
    if (!readFile(argv[4], a) || !readFile(argv[5], b)) {
        fprintf(stderr, "sim-slots: cannot read the images\n");
        return 2;
    }
    Sim::Simulator sim;
    InstallerBoard::makeBoard(sim, unsigned(std::stoul(argv[1])), unsigned(std::stoul(argv[0])), 1);
    const auto save = [&outDir](const char* name, const InstallerBoard::Outcome& outcome) {
        std::ofstream(outDir + "/" + name + ".out", std::ios::binary) << outcome.out;
        std::ofstream(outDir + "/" + name + ".err", std::ios::binary) << outcome.err;
        std::ofstream(outDir + "/" + name + ".rc") << outcome.status << "\n";
    };
    save("a", InstallerBoard::install(sim, a, trustedKeys));
    save("b", InstallerBoard::install(sim, b, trustedKeys));
    save("downgrade", InstallerBoard::install(sim, a, trustedKeys));
    const char* const runs[][2] = {{"status", "status"},
                                   {"check", "check"},
                                   {"rollback", "rollback"},
                                   {"rollback-status", "status"},
                                   {"rollback-check", "check"}};
    for (const auto& run : runs) {
        save(run[0], InstallerBoard::runSlots(sim, {run[1]}));
    }
    return 0;
}

// The conformance cases against a simulated device of the given geometry, in
// the runner's format.
int simConformance(const char* lebSize, const char* lebCount, const char* minIoSize) {
    Sim::Simulator sim;
    InstallerBoard::makeBoard(sim, unsigned(std::stoul(lebCount)), unsigned(std::stoul(lebSize)),
                              unsigned(std::stoul(minIoSize)));
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
    if (argc == 8 && strcmp(argv[1], "sim-slots") == 0) {
        return simSlots(argv + 2);
    }
    fprintf(stderr,
            "usage: %s transcript IMAGE PREV_FLAGS CURRENT_FLAGS\n"
            "       %s sim-sweep LEB_SIZE LEB_COUNT PREV_DIR CURRENT_DIR NEW_DIR IMAGE\n"
            "       %s sim-conformance LEB_SIZE LEB_COUNT MIN_IO_SIZE\n"
            "       %s sim-slots LEB_SIZE LEB_COUNT TRUSTED_KEYS OUT_DIR IMAGE_A IMAGE_B\n",
            argv[0], argv[0], argv[0], argv[0]);
    return 2;
}
