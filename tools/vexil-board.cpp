// Simulated boards kept in a directory, so that installs can be rehearsed without hardware.
// The install runs the installer's own run logic against the UBI simulator.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Files.h"
#include "StringTool/StringTool.h"
#include "common/BoardLayout.h"
#include "common/BootEnvironment.h"
#include "common/BootTrial.h"
#include "common/Crc32.h"
#include "common/GenerationSwitch.h"
#include "common/ImageFormat.h"
#include "common/SigningKeys.h"
#include "common/TrustStore.h"
#include "common/VexilImageInstaller.h"
#include "common/VexilSlots.h"
#include "common/linuxFlash/Ubi.h"
#include "sim/BoardFile.h"

namespace {

using StringTool::stringf;

// The tool's own failures; install and powercut pass the installer's statuses on.
enum ExitStatus {
    ExitUsage = 64,  // the command line is wrong
    ExitInput = 65,  // a payload, key or size that no board can be made of
    ExitBoard = 70,  // the board cannot be read, created or saved
    ExitOutput = 74, // standard output could not be written
    ExitBusy = 75,   // another vexil-board run holds the board
};

// A NAND partition with 2048-byte pages: UBI keeps two pages of each eraseblock for its
// headers, and reserves a few eraseblocks for itself.
constexpr unsigned long long defaultSize = 128ull << 20;
constexpr unsigned long long defaultEraseblock = 128u << 10;
constexpr unsigned pageSize = 2048;
constexpr unsigned long long maxEraseblock = 16u << 20;
constexpr unsigned long long maxEraseblocks = 65536;

// The boot environment of a board made for trial boots, as the U-Boot rig keeps it.
constexpr size_t bootEnvironmentSize = 0x2000;

// The boards this tool makes have one partition and one UBI device.
constexpr unsigned mtdNumber = 0;
constexpr unsigned ubiNumber = 0;

std::string usage();

int usageError(const std::string& message) {
    fprintf(stderr, "vexil-board: %s\n%s", message.c_str(), usage().c_str());
    return ExitUsage;
}

int failed(int status, const std::string& message) {
    fprintf(stderr, "vexil-board: %s\n", message.c_str());
    return status;
}

// A regular file of at most `limit` bytes, read whole; false with a reason otherwise.
bool readPayload(const std::string& path, unsigned long long limit, std::vector<uint8_t>& data,
                 std::string& reason) {
    std::string bytes;
    if (!Platform::readRegularFile(path, size_t(limit), bytes, reason)) {
        return false;
    }
    if (bytes.size() > limit) {
        reason = stringf("more than %llu bytes", limit);
        return false;
    }
    data.assign(bytes.begin(), bytes.end());
    return true;
}

// A size in bytes: decimal or 0x hex, optionally followed by K/KiB or M/MiB.
bool parseSize(const char* text, unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *text == '-') {
        return false;
    }
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k') {
        shift = 10;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        shift = 20;
        ++end;
    }
    if (shift != 0 && strcmp(end, "iB") == 0) {
        end += 2;
    }
    if (*end != '\0' || value > (~0ull >> shift)) {
        return false;
    }
    value <<= shift;
    return true;
}

// A count or an offset: decimal digits only, so that "1KiB" is not taken for 1024.
bool parseDecimal(const char* text, unsigned long long& value) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text)) {
        return false;
    }
    errno = 0;
    value = strtoull(text, nullptr, 10);
    return errno == 0;
}

// Holds an flock on the board directory for the run; the kernel drops it if the process dies.
class BoardLock {
public:
    BoardLock(const std::string& dir, bool exclusive)
        : m_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        m_held =
            m_fd.get() >= 0 && flock(m_fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
        m_busy = !m_held && errno == EWOULDBLOCK;
    }
    bool held() const { return m_held; }
    bool busy() const { return m_busy; }

private:
    Platform::FileDescriptor m_fd;
    bool m_held = false;
    bool m_busy = false;
};

// One loaded board, locked for as long as it is in use.
struct OpenBoard {
    std::unique_ptr<BoardLock> lock;
    std::unique_ptr<Sim::Simulator> sim;
    int status = 0;
};

OpenBoard openBoard(const std::string& dir, bool exclusive) {
    OpenBoard board;
    board.lock = std::make_unique<BoardLock>(dir, exclusive);
    if (board.lock->busy()) {
        board.status = failed(ExitBusy, dir + " is in use by another vexil-board run");
        return board;
    }
    std::string error;
    if (board.lock->held()) {
        board.sim = Sim::loadBoard(dir, error);
    }
    if (!board.sim) {
        board.status =
            failed(ExitBoard, dir + " is not a board" + (error.empty() ? "" : " (" + error + ")") +
                                  "; make one with vexil-board create");
    }
    return board;
}

// Saves the board; `status` unless that fails.
int keepBoard(const Sim::Simulator& sim, const std::string& dir, int status = 0) {
    std::string error;
    if (!Sim::saveBoard(sim, dir, error)) {
        return failed(ExitBoard, "cannot save the board to " + dir + ": " + error +
                                     "; it holds what it held before");
    }
    return status;
}

// Reads a sysfs attribute of the simulated board, without its newline.
std::string attribute(Sim::Simulator& sim, const std::string& path) {
    const int fd = sim.open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "0";
    }
    char buffer[128];
    const ssize_t got = sim.read(fd, buffer, sizeof buffer);
    sim.close(fd);
    std::string text(buffer, got > 0 ? size_t(got) : 0);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text.empty() ? "0" : text;
}

// CRC-32 of what a volume reads as: its data, then 0xFF up to its data size.
uint32_t contentCrc(const std::vector<uint8_t>& data, unsigned long long size) {
    const size_t stored = size_t(std::min<unsigned long long>(data.size(), size));
    uint32_t crc = Crc32::calculate(data.data(), unsigned(stored), 0);
    const std::vector<uint8_t> erased(65536, 0xFF);
    for (unsigned long long left = size - stored; left > 0;) {
        const unsigned piece = unsigned(std::min<unsigned long long>(left, erased.size()));
        crc = Crc32::calculate(erased.data(), piece, crc);
        left -= piece;
    }
    return crc;
}

// A set of volumes is whole or absent; a set with only some of its volumes is said so.
void showIncompleteSets(const std::vector<Sim::Simulator::VolumeInfo>& volumes) {
    const struct {
        const char* FwImage::VolumeSlot::*name;
        const char* label;
    } sets[] = {{&FwImage::VolumeSlot::name, "current"},
                {&FwImage::VolumeSlot::prevName, "previous"},
                {&FwImage::VolumeSlot::newName, "new"}};
    for (const auto& set : sets) {
        std::string missing;
        int present = 0;
        for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
            const bool there = std::any_of(volumes.begin(), volumes.end(),
                                           [&](const auto& v) { return v.name == slot.*set.name; });
            present += there ? 1 : 0;
            if (!there) {
                missing += std::string(missing.empty() ? "" : ", ") + slot.*set.name;
            }
        }
        if (present > 0 && present < FwImage::slotCount) {
            printf("%s generation incomplete: no %s\n", set.label, missing.c_str());
        }
    }
}

// The board's trust store, by a path without links: the installer refuses a missing store
// behind a link, and where the user keeps the board is none of the board's business.
std::string trustStorePath(const std::string& dir) {
    char* real = realpath(dir.c_str(), nullptr);
    const std::string path = real != nullptr ? real : dir;
    free(real);
    return path + "/trusted-keys";
}

// One small file of the board's, whole or the status of the failure.
int writeFile(const std::string& path, const void* data, size_t size) {
    Platform::FileDescriptor out(
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.valid() || !Platform::writeAll(out.get(), data, size)) {
        return failed(ExitBoard, "cannot write " + path + ": " + strerror(errno));
    }
    return 0;
}

// A board made for trial boots keeps a boot loader's environment as libubootenv finds it
// through the board's own fw_env.config, and the kernel command line of its latest rehearsed
// boot, which the boot script made (scripts/uboot-rehearse.sh --board).
std::string bootConfig(const std::string& dir) {
    const std::string config = dir + "/fw_env.config";
    struct stat st;
    return lstat(config.c_str(), &st) == 0 ? config : "";
}

VexilSlots::Boot boardBoot(const std::string& dir) {
    return {bootConfig(dir), dir + "/cmdline"};
}

// An empty environment as U-Boot saves one: the CRC-32 of the zeros that follow it.
int addBootEnvironment(const std::string& dir) {
    char* real = realpath(dir.c_str(), nullptr);
    const std::string base = real != nullptr ? real : dir;
    free(real);
    std::vector<uint8_t> env(bootEnvironmentSize, 0);
    FwImage::putBigEndian(env.data(), __builtin_bswap32(Crc32::calculate(
                                          env.data() + 4, unsigned(env.size() - 4), 0)));
    const std::string config =
        stringf("%s/u-boot-env.bin 0x0 0x%x\n", base.c_str(), unsigned(bootEnvironmentSize));
    for (const auto& [name, bytes] :
         {std::make_pair(std::string("u-boot-env.bin"), std::string(env.begin(), env.end())),
          std::make_pair(std::string("fw_env.config"), config)}) {
        const int status = writeFile(dir + "/" + name, bytes.data(), bytes.size());
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

void showTrial(Ubi::Device& device, const std::string& dir) {
    if (bootConfig(dir).empty()) {
        return;
    }
    const BootEnvironment::Environment environment(bootConfig(dir));
    const long tries = BootTrial::triesLeft(environment);
    printf("trial boots: %s, vexil_tries %s; last rehearsed boot: vexil.boot=%s\n",
           GenerationSwitch::onTrial(device) ? "a set on trial" : "nothing on trial",
           tries < 0 ? "unset" : std::to_string(tries).c_str(),
           BootTrial::name(BootTrial::bootedAs(dir + "/cmdline")));
}

void showTrustedKeys(const std::string& dir) {
    const SigningKeys::TrustStore store = SigningKeys::TrustStore::load(trustStorePath(dir));
    switch (store.state()) {
    case SigningKeys::TrustStore::Absent:
        puts("trusted keys: none (any image with the right identity installs)");
        return;
    case SigningKeys::TrustStore::Refused:
        printf("trusted keys: unusable (%s)\n", store.reason().c_str());
        return;
    case SigningKeys::TrustStore::Loaded:
        break;
    }
    std::string ids;
    for (const SigningKeys::PublicKey& key : store.keys()) {
        ids += " " + SigningKeys::keyIdHex(key.id);
    }
    printf("trusted keys:%s\n", ids.c_str());
}

void show(Sim::Simulator& sim, const std::string& dir) {
    const std::string device = stringf("/sys/class/ubi/ubi%u/", ubiNumber);
    printf("%s: ubi%u on mtd%u, %s eraseblocks of %s bytes, %s available\n", FwImage::partitionName,
           ubiNumber, mtdNumber, attribute(sim, device + "total_eraseblocks").c_str(),
           attribute(sim, device + "eraseblock_size").c_str(),
           attribute(sim, device + "avail_eraseblocks").c_str());
    showTrustedKeys(dir);
    Ubi::Device ubi(sim);
    if (ubi.init(FwImage::partitionName)) {
        showTrial(ubi, dir);
    }
    const auto volumes = sim.volumes(ubiNumber);
    if (volumes.empty()) {
        puts("no volumes");
        return;
    }
    printf("%3s  %-16s %-8s %10s %10s  %-8s  %s  %s\n", "id", "name", "type", "size", "data",
           "crc32", "upd_marker", "corrupted");
    for (const auto& volume : volumes) {
        const std::string base = stringf("/sys/class/ubi/ubi%u_%d/", ubiNumber, volume.id);
        const unsigned long long size =
            strtoull(attribute(sim, base + "reserved_ebs").c_str(), nullptr, 10) *
            strtoull(attribute(sim, base + "usable_eb_size").c_str(), nullptr, 10);
        // A dynamic volume's data_bytes is its whole size; its contents are what the last
        // update wrote.
        const unsigned long long data =
            volume.type == Sim::kStatic ? volume.dataBytes : volume.data.size();
        printf("%3d  %-16s %-8s %10llu %10llu  %08x  %-10s  %s\n", volume.id, volume.name.c_str(),
               volume.type == Sim::kStatic ? "static" : "dynamic", size, data,
               contentCrc(volume.data, data), volume.updMarker ? "1" : "0",
               volume.corrupted ? "1" : "0");
    }
    showIncompleteSets(volumes);
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

int addGeneration(Sim::Simulator& sim, const Generation& generation,
                  const char* FwImage::VolumeSlot::*name) {
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        const FwImage::VolumeSlot& target = FwImage::s_volumes[slot];
        std::vector<uint8_t> data;
        std::string reason;
        if (!readPayload(generation.files[slot], target.size, data, reason)) {
            return failed(ExitInput, stringf("cannot use %s for %s: %s", generation.files[slot],
                                             target.*name, reason.c_str()));
        }
        const int type = Ubi::kernelVolumeType(target.type);
        try {
            sim.addVolume(ubiNumber, target.*name, type, target.size, data);
        } catch (const std::invalid_argument&) {
            return failed(ExitInput, stringf("no room on the board for %s", target.*name));
        }
    }
    return 0;
}

// The public keys' texts, each checked to be one.
int readKeys(const std::vector<std::string>& paths, std::vector<SigningKeys::PublicKey>& keys) {
    for (const std::string& path : paths) {
        std::vector<uint8_t> bytes;
        std::string reason;
        SigningKeys::PublicKey key;
        if (!readPayload(path, SigningKeys::maxKeyFileSize, bytes, reason) ||
            !SigningKeys::parsePublicKey(std::string(bytes.begin(), bytes.end()), key, reason)) {
            return failed(ExitInput, "cannot trust " + path + ": " + reason);
        }
        keys.push_back(key);
    }
    return 0;
}

int addTrustedKeys(const std::vector<SigningKeys::PublicKey>& keys, const std::string& dir) {
    if (keys.empty()) {
        return 0;
    }
    const std::string store = trustStorePath(dir);
    if (mkdir(store.c_str(), 0777) != 0) {
        return failed(ExitBoard, "cannot create " + store + ": " + strerror(errno));
    }
    for (const SigningKeys::PublicKey& key : keys) {
        const std::string text = SigningKeys::publicKeyText(key);
        const int status = writeFile(store + "/" + SigningKeys::keyIdHex(key.id) + ".pub",
                                     text.data(), text.size());
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

// What create is asked to make.
struct CreateRequest {
    std::string dir;
    unsigned long long size = defaultSize;
    unsigned long long eraseblock = defaultEraseblock;
    Generation current;
    Generation previous;
    std::vector<std::string> keyFiles;
    bool trials = false;
};

// Where the option naming a payload puts its file: "--kernel", "--prev-kernel" and so on.
const char** payloadFile(CreateRequest& request, const std::string& option) {
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        if (option == std::string("--") + FwImage::s_volumes[slot].name) {
            return &request.current.files[slot];
        }
        if (option == std::string("--prev-") + FwImage::s_volumes[slot].name) {
            return &request.previous.files[slot];
        }
    }
    return nullptr;
}

// False with a usage error's message in `error`.
bool parseCreate(int argc, char* argv[], CreateRequest& request, std::string& error) {
    if (argc < 1) {
        error = "create needs a directory";
        return false;
    }
    request.dir = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            error = "missing value after " + option;
            return false;
        }
        const char* value = argv[++i];
        const char** payload = payloadFile(request, option);
        if (payload != nullptr) {
            *payload = value;
        } else if (option == "--trusted-key") {
            request.keyFiles.push_back(value);
        } else if (option == "--trials") {
            request.trials = std::string(value) == "yes";
            if (!request.trials && std::string(value) != "no") {
                error = "--trials wants yes or no";
                return false;
            }
        } else if (option != "--size" && option != "--eraseblock") {
            error = "unknown option " + option;
            return false;
        } else if (!parseSize(value, option == "--size" ? request.size : request.eraseblock)) {
            error = "not a size: " + std::string(value);
            return false;
        }
    }
    const Generation& current = request.current;
    const Generation& previous = request.previous;
    if ((current.any() && !current.complete()) || (previous.any() && !previous.complete())) {
        error = "a generation needs a payload for each of its volumes";
    } else if (previous.any() && !current.any()) {
        error = "a \"_prev\" generation needs a current one";
    }
    return error.empty();
}

// False with a usage error's message in `error` when no partition can be made so.
bool checkGeometry(const CreateRequest& request, std::string& error) {
    const unsigned long long eraseblock = request.eraseblock;
    if (eraseblock <= 2 * pageSize || eraseblock > maxEraseblock) {
        error = stringf("the eraseblock must be more than two %u-byte pages and at most 16 MiB",
                        pageSize);
    } else if (request.size % eraseblock != 0 || request.size / eraseblock < 16 ||
               request.size / eraseblock > maxEraseblocks) {
        error =
            stringf("the size must be whole eraseblocks, from 16 to %llu of them", maxEraseblocks);
    }
    return error.empty();
}

// UBI keeps 4 eraseblocks for its tables and wear levelling, and 20 per 1024 for bad blocks.
unsigned ubiReservedEraseblocks(unsigned pebs) {
    return 4 + (pebs * 20 + 1023) / 1024;
}

// The partition with UBI attached and the request's generations on it.
int buildBoard(const CreateRequest& request, Sim::Simulator& sim) {
    const unsigned pebs = unsigned(request.size / request.eraseblock);
    sim.attachUbi(sim.addMtd(FwImage::partitionName), unsigned(request.eraseblock) - 2 * pageSize,
                  pebs - ubiReservedEraseblocks(pebs), pageSize);
    int status = 0;
    if (request.previous.any()) {
        status = addGeneration(sim, request.previous, &FwImage::VolumeSlot::prevName);
    }
    if (status == 0 && request.current.any()) {
        status = addGeneration(sim, request.current, &FwImage::VolumeSlot::name);
    }
    return status;
}

int create(int argc, char* argv[]) {
    CreateRequest request;
    std::string error;
    if (!parseCreate(argc, argv, request, error) || !checkGeometry(request, error)) {
        return usageError(error);
    }
    struct stat st;
    if (lstat(request.dir.c_str(), &st) == 0) {
        return failed(ExitBoard, request.dir + " already exists");
    }
    std::vector<SigningKeys::PublicKey> keys;
    Sim::Simulator sim;
    int status = readKeys(request.keyFiles, keys);
    if (status == 0) {
        status = buildBoard(request, sim);
    }
    if (status != 0) {
        return status;
    }
    if (mkdir(request.dir.c_str(), 0777) != 0) {
        return failed(ExitBoard, "cannot create " + request.dir + ": " + strerror(errno));
    }
    status = addTrustedKeys(keys, request.dir);
    if (status == 0 && request.trials) {
        status = addBootEnvironment(request.dir);
    }
    return status != 0 ? status : keepBoard(sim, request.dir);
}

int runInstaller(Sim::Simulator& sim, const std::string& dir, const char* image) {
    char name[] = "VexilImageInstaller";
    std::string path = image;
    char* argv[] = {name, &path[0], nullptr};
    const int status = VexilImageInstaller::run(2, argv, sim, trustStorePath(dir), bootConfig(dir));
    fflush(stdout);
    return status & 0xFF;
}

int install(int argc, char* argv[]) {
    if (argc != 2) {
        return usageError("install needs a board directory and an image");
    }
    OpenBoard board = openBoard(argv[0], true);
    if (!board.sim) {
        return board.status;
    }
    return keepBoard(*board.sim, argv[0], runInstaller(*board.sim, argv[0], argv[1]));
}

int showBoard(int argc, char* argv[]) {
    if (argc != 1) {
        return usageError("show needs a board directory");
    }
    OpenBoard board = openBoard(argv[0], false);
    if (!board.sim) {
        return board.status;
    }
    show(*board.sim, argv[0]);
    return 0;
}

int powercut(int argc, char* argv[]) {
    if (argc != 3) {
        return usageError("powercut needs a board directory, N and an image");
    }
    unsigned long long n = 0;
    if (!parseDecimal(argv[1], n) || n == 0 || n > 1000000000ull) {
        return usageError("N counts state-changing operations from 1");
    }
    OpenBoard board = openBoard(argv[0], true);
    if (!board.sim) {
        return board.status;
    }
    Sim::Simulator& sim = *board.sim;
    const unsigned before = sim.stateChangingOperations();
    sim.powerCutBefore(unsigned(n));
    const int status = runInstaller(sim, argv[0], argv[2]);
    if (!sim.poweredOff()) {
        printf("no power cut: the install made only %u state-changing operations\n",
               sim.stateChangingOperations() - before);
    } else {
        printf("power cut before state-changing operation %llu\n", n);
    }
    printf("installer exit status: %d\n", status);
    sim.reattach();
    puts("after re-attach:");
    show(sim, argv[0]);
    return keepBoard(sim, argv[0], status);
}

int slots(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        return usageError("slots needs a board directory and a vexil-slots command");
    }
    const bool changes = strcmp(argv[1], "rollback") == 0 || strcmp(argv[1], "confirm") == 0;
    OpenBoard board = openBoard(argv[0], changes);
    if (!board.sim) {
        return board.status;
    }
    char name[] = "vexil-slots";
    std::vector<char*> args = {name};
    args.insert(args.end(), argv + 1, argv + argc);
    args.push_back(nullptr);
    const int status = VexilSlots::run(argc, args.data(), *board.sim, boardBoot(argv[0])) & 0xFF;
    fflush(stdout);
    return changes ? keepBoard(*board.sim, argv[0], status) : status;
}

int damage(int argc, char* argv[]) {
    unsigned long long offset = 0;
    if (argc != 3 || !parseDecimal(argv[2], offset)) {
        return usageError("damage needs a board directory, a volume name and an offset");
    }
    OpenBoard board = openBoard(argv[0], true);
    if (!board.sim) {
        return board.status;
    }
    for (const auto& volume : board.sim->volumes(ubiNumber)) {
        if (volume.name == argv[1]) {
            try {
                board.sim->corruptVolumeData(ubiNumber, volume.id, offset);
            } catch (const std::invalid_argument&) {
                return failed(ExitInput, stringf("%s holds no byte at %llu", argv[1], offset));
            }
            return keepBoard(*board.sim, argv[0]);
        }
    }
    return failed(ExitInput, stringf("the board has no volume %s", argv[1]));
}

// Each volume's contents in a file of its name and a ubinize section for it, the type and the
// size the volume has: what real U-Boot reads in a rehearsal.
int exportBoard(int argc, char* argv[]) {
    if (argc != 2) {
        return usageError("export needs a board directory and an output directory");
    }
    OpenBoard board = openBoard(argv[0], false);
    if (!board.sim) {
        return board.status;
    }
    const std::string out = argv[1];
    if (mkdir(out.c_str(), 0777) != 0 && errno != EEXIST) {
        return failed(ExitBoard, "cannot create " + out + ": " + strerror(errno));
    }
    std::string ini;
    for (const auto& volume : board.sim->volumes(ubiNumber)) {
        const bool isStatic = volume.type == Sim::kStatic;
        std::vector<uint8_t> data = volume.data;
        data.resize(isStatic ? size_t(volume.dataBytes) : data.size(), 0xFF);
        const int status = writeFile(out + "/" + volume.name + ".bin", data.data(), data.size());
        if (status != 0) {
            return status;
        }
        ini += stringf("[%s]\nmode=ubi\nvol_id=%d\nvol_name=%s\nvol_type=%s\nimage=%s.bin\n\n",
                       volume.name.c_str(), volume.id, volume.name.c_str(),
                       isStatic ? "static" : "dynamic", volume.name.c_str());
    }
    return writeFile(out + "/volumes.ini", ini.data(), ini.size());
}

// The options that name one payload per slot, "--kernel FILE ..." for prefix "--".
std::string slotOptions(const char* prefix) {
    std::string options;
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        options += stringf("%s%s%s FILE", options.empty() ? "" : " ", prefix, slot.name);
    }
    return options;
}

// Each command once: the dispatch and the usage text are both made from this table. A line
// break in the arguments or the summary continues it on an indented line.
struct Command {
    const char* name;
    int (*run)(int argc, char* argv[]);
    std::string arguments;
    const char* summary;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"create", create,
         "DIR [--size BYTES] [--eraseblock BYTES]\n[" + slotOptions("--") + "]\n[" +
             slotOptions("--prev-") + "]\n[--trusted-key PUBFILE]... [--trials yes]",
         "makes a board, optionally holding a current and a \"_prev\" generation,\n"
         "trusting the given public keys (then it installs only signed images), and\n"
         "with a boot environment for trial boots"},
        {"install", install, "DIR IMAGE",
         "runs the installer on the board (same output, same exit status)"},
        {"show", showBoard, "DIR",
         "lists the volumes: id, name, type, size, data size, CRC-32, markers"},
        {"powercut", powercut, "DIR N IMAGE",
         "installs with the power cut before the Nth state-changing operation,\n"
         "then re-attaches and shows what the board holds"},
        {"slots", slots, "DIR status|check [--json] | rollback [--unchecked] | confirm",
         "runs vexil-slots on the board (same output, same exit status)"},
        {"export", exportBoard, "DIR OUT",
         "writes the board's volumes into OUT as a ubinize configuration and one file\n"
         "per volume, for scripts/uboot-rehearse.sh --board"},
        {"damage", damage, "DIR VOLUME OFFSET",
         "flips the bits of the byte at OFFSET of VOLUME, as a flash might"},
    };
    return table;
}

// `text` with each line after the first indented by `indent` spaces.
std::string indented(const std::string& text, size_t indent) {
    std::string result;
    for (const char c : text) {
        result += c;
        if (c == '\n') {
            result.append(indent, ' ');
        }
    }
    return result;
}

std::string usage() {
    std::string text;
    for (const Command& command : commands()) {
        const std::string line =
            stringf("%s vexil-board %s ", text.empty() ? "usage:" : "      ", command.name);
        text += line + indented(command.arguments, line.size()) + "\n";
    }
    text += stringf("\nA board is a directory that holds a simulated %s partition with UBI.\n",
                    FwImage::partitionName);
    for (const Command& command : commands()) {
        text += stringf("  %-9s %s\n", command.name, indented(command.summary, 12).c_str());
    }
    return text +
           "\n"
           "Exit status: install and powercut give the installer's, slots vexil-slots';\n"
           "otherwise 0 done, 64 usage error, 65 inputs no board can be made of, 70 the board\n"
           "cannot be read or saved, 74 standard output could not be written, 75 the board is\n"
           "in use by another vexil-board run.\n";
}

int dispatch(int argc, char* argv[]) {
    if (argc < 2) {
        return usageError("no command");
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help" ||
        std::any_of(argv + 2, argv + argc,
                    [](const char* a) { return strcmp(a, "--help") == 0; })) {
        fputs(usage().c_str(), stdout);
        return 0;
    }
    for (const Command& command : commands()) {
        if (name == command.name) {
            return command.run(argc - 2, argv + 2);
        }
    }
    return usageError("unknown command " + name);
}

// False when something the tool printed did not reach standard output.
bool outputWritten() {
    return fflush(stdout) == 0 && !ferror(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    int status = 0;
    // Whatever slips past the checks ends as a message and a status, never an abort.
    try {
        status = dispatch(argc, argv);
    } catch (const std::exception& error) {
        return failed(ExitBoard, std::string("internal error: ") + error.what());
    }
    if (!outputWritten()) {
        failed(ExitOutput, "standard output could not be written");
        // A board that could not be saved is the worse news.
        return status == ExitBoard ? status : ExitOutput;
    }
    return status;
}
