// Simulated boards kept in a directory, so that installs can be rehearsed
// without hardware. The install runs the installer's own run logic against the
// UBI simulator.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "StringTool/StringTool.h"
#include "common/Crc32.h"
#include "common/ImageFormat.h"
#include "common/VexilImageInstaller.h"
#include "sim/BoardFile.h"

namespace {

constexpr int ExitUsageError = 2;
constexpr int ExitFailure = 1;

// A NAND partition with 2048-byte pages: UBI keeps two pages of each
// eraseblock for its headers, and reserves a few eraseblocks for itself.
constexpr unsigned long long s_defaultSize = 128ull << 20;
constexpr unsigned s_defaultEraseblock = 128u << 10;
constexpr unsigned s_pageSize = 2048;

const char* const s_commands =
    "       vexil-board install DIR IMAGE\n"
    "       vexil-board show DIR\n"
    "       vexil-board powercut DIR N IMAGE\n"
    "\n"
    "A board is a directory that holds a simulated NAND.ubi partition with UBI.\n"
    "  create    makes a board, optionally holding a current and a \"_prev\" generation\n"
    "  install   runs the installer on the board (same output, same exit status)\n"
    "  show      lists the volumes: id, name, type, size, data size, CRC-32, markers\n"
    "  powercut  installs with the power cut before the Nth state-changing operation,\n"
    "            then re-attaches and shows what the board holds\n";

std::string usage() {
    std::string current;
    std::string previous;
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        current += StringTool::stringf("%s--%s FILE", current.empty() ? "" : " ", slot.name);
        previous += StringTool::stringf("%s--prev-%s FILE", previous.empty() ? "" : " ", slot.name);
    }
    return "usage: vexil-board create DIR [--size BYTES] [--eraseblock BYTES]\n"
           "                          [" +
           current + "]\n                          [" + previous + "]\n" + s_commands;
}

int usageError(const char* message) {
    fprintf(stderr, "vexil-board: %s\n%s", message, usage().c_str());
    return ExitUsageError;
}

bool readFile(const std::string& path, std::vector<uint8_t>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool parseNumber(const char* text, unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 0);
    if (errno != 0 || end == text) {
        return false;
    }
    if (*end == 'K' || *end == 'k') {
        value <<= 10;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        value <<= 20;
        ++end;
    }
    if (strcmp(end, "iB") == 0) {
        end += 2;
    }
    return *end == '\0';
}

// Reads a sysfs attribute of the simulated board, without its newline.
std::string attribute(Sim::Simulator& sim, const std::string& path) {
    const int fd = sim.open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "?";
    }
    char buffer[128];
    const ssize_t got = sim.read(fd, buffer, sizeof buffer);
    sim.close(fd);
    if (got <= 0) {
        return "?";
    }
    std::string text(buffer, size_t(got));
    if (text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// The UBI device of the NAND.ubi partition: the boards this tool makes have
// one partition and one UBI device.
constexpr unsigned s_mtd = 0;
constexpr unsigned s_ubi = 0;

void show(Sim::Simulator& sim) {
    const std::string dev = "/sys/class/ubi/ubi" + std::to_string(s_ubi) + "/";
    printf("NAND.ubi: ubi%u on mtd%u, %s eraseblocks of %s bytes, %s available\n", s_ubi, s_mtd,
           attribute(sim, dev + "total_eraseblocks").c_str(),
           attribute(sim, dev + "eraseblock_size").c_str(),
           attribute(sim, dev + "avail_eraseblocks").c_str());
    const auto volumes = sim.volumes(s_ubi);
    if (volumes.empty()) {
        puts("no volumes");
        return;
    }
    printf("%3s  %-16s %-8s %10s %10s  %-8s  %s  %s\n", "id", "name", "type", "size", "data",
           "crc32", "upd_marker", "corrupted");
    for (const auto& volume : volumes) {
        const std::string base =
            "/sys/class/ubi/ubi" + std::to_string(s_ubi) + "_" + std::to_string(volume.id) + "/";
        const unsigned long long size =
            strtoull(attribute(sim, base + "reserved_ebs").c_str(), nullptr, 10) *
            strtoull(attribute(sim, base + "usable_eb_size").c_str(), nullptr, 10);
        // A dynamic volume's data_bytes is its whole size; its contents are what
        // the last update wrote.
        const unsigned long long data = volume.type == Sim::Simulator::kStatic
                                            ? volume.dataBytes
                                            : (unsigned long long)volume.data.size();
        const std::vector<uint8_t> contents = [&] {
            std::vector<uint8_t> bytes(volume.data.begin(),
                                       volume.data.begin() +
                                           std::min<size_t>(volume.data.size(), size_t(data)));
            bytes.resize(size_t(data), 0xFF);
            return bytes;
        }();
        printf("%3d  %-16s %-8s %10llu %10llu  %08x  %-10s  %s\n", volume.id, volume.name.c_str(),
               volume.type == Sim::Simulator::kStatic ? "static" : "dynamic", size, data,
               Crc32::calculate(contents.data(), unsigned(contents.size()), 0),
               volume.updMarker ? "1" : "0", volume.corrupted ? "1" : "0");
    }
}

std::unique_ptr<Sim::Simulator> openBoard(const std::string& dir) {
    auto sim = Sim::loadBoard(dir);
    if (!sim) {
        fprintf(stderr, "vexil-board: %s is not a board (make one with vexil-board create)\n",
                dir.c_str());
    }
    return sim;
}

bool keepBoard(const Sim::Simulator& sim, const std::string& dir) {
    if (!Sim::saveBoard(sim, dir)) {
        fprintf(stderr, "vexil-board: cannot save the board to %s\n", dir.c_str());
        return false;
    }
    return true;
}

// One payload file per slot.
struct Generation {
    const char* files[FwImage::slotCount] = {};
    bool any() const {
        return std::any_of(std::begin(files), std::end(files), [](const char* f) { return f; });
    }
    bool complete() const {
        return std::all_of(std::begin(files), std::end(files), [](const char* f) { return f; });
    }
};

int create(int argc, char* argv[]) {
    if (argc < 1) {
        return usageError("create needs a directory");
    }
    const std::string dir = argv[0];
    unsigned long long size = s_defaultSize;
    unsigned long long eraseblock = s_defaultEraseblock;
    Generation current;
    Generation previous;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return usageError(("missing value after " + option).c_str());
        }
        const char* value = argv[++i];
        if (option == "--size" || option == "--eraseblock") {
            unsigned long long number = 0;
            if (!parseNumber(value, number) || number == 0) {
                return usageError(("not a size: " + std::string(value)).c_str());
            }
            (option == "--size" ? size : eraseblock) = number;
            continue;
        }
        bool known = false;
        for (int slot = 0; slot < FwImage::slotCount; ++slot) {
            if (option == std::string("--") + FwImage::s_volumes[slot].name) {
                current.files[slot] = value;
                known = true;
            } else if (option == std::string("--prev-") + FwImage::s_volumes[slot].name) {
                previous.files[slot] = value;
                known = true;
            }
        }
        if (!known) {
            return usageError(("unknown option " + option).c_str());
        }
    }
    if ((current.any() && !current.complete()) || (previous.any() && !previous.complete())) {
        return usageError("a generation needs a payload for each of its volumes");
    }
    if (previous.any() && !current.any()) {
        return usageError("a \"_prev\" generation needs a current one");
    }
    if (eraseblock <= 2 * s_pageSize || eraseblock > (16u << 20) || size % eraseblock != 0 ||
        size / eraseblock < 16) {
        return usageError("the size must be at least 16 eraseblocks, in whole eraseblocks");
    }
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        fprintf(stderr, "vexil-board: %s already exists\n", dir.c_str());
        return ExitFailure;
    }

    // UBI keeps 4 eraseblocks for its tables and wear levelling, and 20 per
    // 1024 for bad blocks.
    const unsigned pebs = unsigned(size / eraseblock);
    const unsigned reserved = 4 + (pebs * 20 + 1023) / 1024;
    Sim::Simulator sim;
    const unsigned mtd = sim.addMtd("NAND.ubi");
    sim.attachUbi(mtd, unsigned(eraseblock) - 2 * s_pageSize, pebs - reserved, s_pageSize);

    const struct {
        const Generation& generation;
        const char* FwImage::VolumeSlot::*name;
    } generations[] = {{previous, &FwImage::VolumeSlot::prevName},
                       {current, &FwImage::VolumeSlot::name}};
    for (const auto& g : generations) {
        if (!g.generation.any()) {
            continue;
        }
        for (int slot = 0; slot < FwImage::slotCount; ++slot) {
            const FwImage::VolumeSlot& target = FwImage::s_volumes[slot];
            std::vector<uint8_t> data;
            if (!readFile(g.generation.files[slot], data)) {
                fprintf(stderr, "vexil-board: cannot read %s\n", g.generation.files[slot]);
                return ExitFailure;
            }
            if (data.size() > target.size) {
                fprintf(stderr, "vexil-board: %s holds %zu bytes, more than %s's %u\n",
                        g.generation.files[slot], data.size(), target.name, target.size);
                return ExitFailure;
            }
            const int type = target.type == Ubi::VolumeType::Dynamic ? Sim::Simulator::kDynamic
                                                                     : Sim::Simulator::kStatic;
            if (sim.addVolume(0, target.*g.name, type, target.size, data) < 0) {
                fprintf(stderr, "vexil-board: no room on the board for %s\n", target.*g.name);
                return ExitFailure;
            }
        }
    }
    if (mkdir(dir.c_str(), 0777) != 0) {
        fprintf(stderr, "vexil-board: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return ExitFailure;
    }
    return keepBoard(sim, dir) ? 0 : ExitFailure;
}

int runInstaller(Sim::Simulator& sim, const char* image) {
    char name[] = "VexilImageInstaller";
    std::string path = image;
    char* argv[] = {name, &path[0], nullptr};
    const int status = VexilImageInstaller::run(2, argv, sim);
    fflush(stdout);
    return status & 0xFF;
}

int install(int argc, char* argv[]) {
    if (argc != 2) {
        return usageError("install needs a board directory and an image");
    }
    auto sim = openBoard(argv[0]);
    if (!sim) {
        return ExitFailure;
    }
    const int status = runInstaller(*sim, argv[1]);
    return keepBoard(*sim, argv[0]) ? status : ExitFailure;
}

int showBoard(int argc, char* argv[]) {
    if (argc != 1) {
        return usageError("show needs a board directory");
    }
    auto sim = openBoard(argv[0]);
    if (!sim) {
        return ExitFailure;
    }
    show(*sim);
    return 0;
}

int powercut(int argc, char* argv[]) {
    if (argc != 3) {
        return usageError("powercut needs a board directory, N and an image");
    }
    unsigned long long n = 0;
    if (!parseNumber(argv[1], n) || n == 0 || n > 1000000000ull) {
        return usageError("N counts state-changing operations from 1");
    }
    auto sim = openBoard(argv[0]);
    if (!sim) {
        return ExitFailure;
    }
    const unsigned before = sim->stateChangingOperations();
    sim->powerCutBefore(unsigned(n));
    const int status = runInstaller(*sim, argv[2]);
    if (!sim->poweredOff()) {
        printf("no power cut: the install made only %u state-changing operations\n",
               sim->stateChangingOperations() - before);
    } else {
        printf("power cut before state-changing operation %llu\n", n);
    }
    printf("installer exit status: %d\n", status);
    sim->reattach();
    puts("after re-attach:");
    show(*sim);
    return keepBoard(*sim, argv[0]) ? 0 : ExitFailure;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        return usageError("no command");
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(usage().c_str(), stdout);
        return 0;
    }
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(usage().c_str(), stdout);
            return 0;
        }
    }
    if (command == "create") {
        return create(argc - 2, argv + 2);
    }
    if (command == "install") {
        return install(argc - 2, argv + 2);
    }
    if (command == "show") {
        return showBoard(argc - 2, argv + 2);
    }
    if (command == "powercut") {
        return powercut(argc - 2, argv + 2);
    }
    return usageError(("unknown command " + command).c_str());
}
