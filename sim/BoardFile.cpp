// Names and attribute bytes are stored in hex, so any byte survives. The loader checks every
// field against what the kernel would allow, so a damaged file is refused, never half-used.

#include "sim/BoardFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Platform/Files.h"
#include "common/linuxFlash/UbiRequests.h"

namespace Sim {

namespace {

constexpr const char* kMagic = "vexil-sim-board 2";
constexpr const char* kFirstMagic = "vexil-sim-board 1"; // data files named ubiN_M.data
constexpr size_t maxBoardText = 16u << 20;
constexpr unsigned maxMtd = 255;
constexpr unsigned maxUbi = 31;
constexpr unsigned maxLebSize = 16u << 20;
constexpr unsigned maxLebCount = 1u << 20;

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex = "x"; // never empty, so the field survives the word split
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

bool fromHex(const std::string& hex, std::string& bytes) {
    if (hex.empty() || hex[0] != 'x' || hex.size() % 2 != 1 ||
        hex.find_first_not_of("0123456789abcdef", 1) != std::string::npos) {
        return false;
    }
    bytes.clear();
    for (size_t i = 1; i < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return true;
}

// A new file that is complete on the disk once this returns true.
bool writeFile(const std::string& path, const void* data, size_t size) {
    Platform::FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid() || !Platform::writeAll(fd.get(), data, size) || fsync(fd.get()) != 0) {
        return false;
    }
    return ::close(fd.release()) == 0;
}

// A whole regular file of at most `limit` bytes.
bool readFile(const std::string& path, size_t limit, std::string& bytes) {
    std::string reason;
    return Platform::readRegularFile(path, limit, bytes, reason) && bytes.size() <= limit;
}

std::string dataName(unsigned ubi, int volId, const std::string& stamp) {
    return "ubi" + std::to_string(ubi) + "_" + std::to_string(volId) + "-" + stamp + ".data";
}

bool isDataName(const std::string& name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, ".data") == 0 &&
           name.compare(0, 3, "ubi") == 0;
}

void syncDirectory(const std::string& directory) {
    const Platform::FileDescriptor fd(
        ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        fsync(fd.get());
    }
}

// Data files in the directory that board.txt does not name: from a save cut short, or
// replaced by the last one.
void removeStrays(const std::string& directory, const std::set<std::string>& kept) {
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    std::vector<std::string> strays;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if ((isDataName(name) && kept.count(name) == 0) || name == "board.txt.new") {
            strays.push_back(name);
        }
    }
    closedir(listing);
    for (const std::string& name : strays) {
        unlink((directory + "/" + name).c_str());
    }
}

} // namespace

bool saveBoard(const Simulator& sim, const std::string& directory, std::string& error) {
    Board board = sim.ubi().board();
    UbiModel::settle(board);
    const std::string stamp = std::to_string(std::random_device{}()) + std::to_string(getpid());
    std::ostringstream out;
    out << kMagic << "\n";
    out << "ubi-module " << (board.ubiLoaded ? 1 : 0) << "\n";
    for (const auto& [mtd, name] : board.mtds) {
        out << "mtd " << mtd << " " << toHex(name) << "\n";
    }
    for (const SysfsTree::Override& override : sim.sysfs().overrides()) {
        out << "attribute " << toHex(override.path) << " " << override.error << " "
            << toHex(override.content) << "\n";
    }
    std::set<std::string> written;
    bool good = true;
    // The first failure's cause, before any clean-up call changes errno.
    const auto wrote = [&](bool done) {
        if (good && !done) {
            error = strerror(errno);
        }
        good = good && done;
    };
    for (const auto& [number, device] : board.ubis) {
        out << "ubi " << number << " " << device.mtd << " " << device.lebSize << " "
            << device.lebCount << " " << device.minIoSize << "\n";
        for (const auto& [id, volume] : device.volumes) {
            const std::string data = dataName(number, id, stamp);
            out << "volume " << number << " " << id << " " << volume.type << " " << volume.alignment
                << " " << volume.reservedEbs << " " << volume.usedBytes << " " << volume.updMarker
                << " " << volume.damaged << " " << volume.skipCheck << " " << volume.updBytes << " "
                << volume.updReceived << " " << toHex(volume.name) << " " << data << "\n";
            if (good) {
                written.insert(data);
                wrote(writeFile(directory + "/" + data, volume.data.data(), volume.data.size()));
            }
        }
    }
    const std::string text = out.str();
    const std::string next = directory + "/board.txt.new";
    unlink(next.c_str());
    if (good) {
        wrote(writeFile(next, text.data(), text.size()));
    }
    if (good) {
        wrote(rename(next.c_str(), (directory + "/board.txt").c_str()) == 0);
    }
    if (!good) {
        for (const std::string& name : written) {
            unlink((directory + "/" + name).c_str());
        }
        unlink(next.c_str());
        return false;
    }
    syncDirectory(directory);
    removeStrays(directory, written);
    return true;
}

std::unique_ptr<Simulator> loadBoard(const std::string& directory, std::string& error) {
    std::string text;
    if (!readFile(directory + "/board.txt", maxBoardText, text)) {
        error = "no readable board.txt";
        return nullptr;
    }
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    const bool first = line == kFirstMagic;
    if (!first && line != kMagic) {
        error = "board.txt is not a board description";
        return nullptr;
    }
    auto simulator = std::make_unique<Simulator>();
    Board& board = simulator->ubi().board();
    std::vector<SysfsTree::Override> overrides; // once their owners are there
    unsigned lineNumber = 1;
    const auto refuse = [&](const std::string& what) {
        error = "board.txt line " + std::to_string(lineNumber) + ": " + what;
        return nullptr;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "ubi-module") {
            if (!(fields >> board.ubiLoaded)) {
                return refuse("bad ubi-module line");
            }
        } else if (kind == "mtd") {
            unsigned mtd;
            std::string hex;
            std::string name;
            if (!(fields >> mtd >> hex) || !fromHex(hex, name) || mtd > maxMtd ||
                board.mtds.count(mtd) != 0) {
                return refuse("bad mtd line");
            }
            board.mtds[mtd] = name;
        } else if (kind == "attribute") {
            std::string hexPath;
            std::string hexContent;
            SysfsTree::Override override;
            if (!(fields >> hexPath >> override.error >> hexContent) ||
                !fromHex(hexPath, override.path) || !fromHex(hexContent, override.content) ||
                override.error < 0) {
                return refuse("bad attribute line");
            }
            overrides.push_back(override);
        } else if (kind == "ubi") {
            unsigned number;
            UbiDevice device;
            if (!(fields >> number >> device.mtd >> device.lebSize >> device.lebCount >>
                  device.minIoSize) ||
                number > maxUbi || board.ubis.count(number) != 0 ||
                board.mtds.count(device.mtd) == 0 || device.lebSize < 172 ||
                device.lebSize > maxLebSize || device.lebCount > maxLebCount ||
                device.minIoSize == 0 || (device.minIoSize & (device.minIoSize - 1)) != 0 ||
                device.minIoSize > device.lebSize) {
                return refuse("bad ubi line");
            }
            device.number = number;
            board.ubis[number] = device;
        } else if (kind == "volume") {
            unsigned number;
            Volume volume;
            std::string hex;
            std::string data = "";
            if (!(fields >> number >> volume.id >> volume.type >> volume.alignment >>
                  volume.reservedEbs >> volume.usedBytes >> volume.updMarker >> volume.damaged >>
                  volume.skipCheck >> volume.updBytes >> volume.updReceived >> hex) ||
                (!first && !(fields >> data)) || !fromHex(hex, volume.name) ||
                board.ubis.count(number) == 0) {
                return refuse("bad volume line");
            }
            UbiDevice& device = board.ubis.at(number);
            unsigned reserved = 0;
            bool nameUsed = false;
            for (const auto& [id, other] : device.volumes) {
                reserved += other.reservedEbs;
                nameUsed = nameUsed || other.name == volume.name;
            }
            const bool layout =
                volume.id >= 0 && volume.id < device.vtblSlots() &&
                device.volumes.count(volume.id) == 0 && !volume.name.empty() &&
                volume.name.size() <= UBI_MAX_VOLUME_NAME && !nameUsed &&
                (volume.type == kDynamic || volume.type == kStatic) && volume.alignment > 0 &&
                static_cast<unsigned>(volume.alignment) <= device.lebSize &&
                volume.reservedEbs > 0 && volume.reservedEbs <= device.lebCount - reserved;
            if (!layout) {
                return refuse("volume does not fit its device");
            }
            volume.serial = board.nextSerial++;
            volume.usableLebSize = device.lebSize - device.lebSize % volume.alignment;
            const unsigned long long capacity =
                static_cast<unsigned long long>(volume.reservedEbs) * volume.usableLebSize;
            if (volume.usedBytes > capacity || volume.updBytes > capacity ||
                volume.updReceived > volume.updBytes) {
                return refuse("volume sizes beyond its capacity");
            }
            if (first) {
                data = "ubi" + std::to_string(number) + "_" + std::to_string(volume.id) + ".data";
            }
            std::string bytes;
            if (data.find('/') != std::string::npos || !isDataName(data) ||
                !readFile(directory + "/" + data, capacity, bytes)) {
                return refuse("missing, unreadable or oversized data file " + data);
            }
            volume.data.assign(bytes.begin(), bytes.end());
            device.volumes[volume.id] = volume;
        } else {
            return refuse("unknown line");
        }
    }
    UbiModel::settle(board);
    try {
        for (const SysfsTree::Override& override : overrides) {
            if (override.error != 0) {
                simulator->setAttributeUnreadable(override.path, override.error);
            } else {
                simulator->setAttribute(override.path, override.content);
            }
        }
    } catch (const std::invalid_argument& refused) {
        error = refused.what();
        return nullptr;
    }
    return simulator;
}

} // namespace Sim
