// Names and attribute bytes are stored in hex, so any byte survives.

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/BoardFile.h"

namespace Sim {

namespace {

constexpr const char* kMagic = "vexil-sim-board 1";

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
    if (hex.empty() || hex[0] != 'x' || hex.size() % 2 != 1) {
        return false;
    }
    bytes.clear();
    for (size_t i = 1; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos) {
            return false;
        }
        bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
    }
    return true;
}

std::string dataFile(const std::string& directory, unsigned ubi, int volId) {
    return directory + "/ubi" + std::to_string(ubi) + "_" + std::to_string(volId) + ".data";
}

} // namespace

bool saveBoard(const Simulator& sim, const std::string& directory) {
    Board board = sim.ubi().board();
    UbiModel::settle(board);
    std::ofstream out(directory + "/board.txt", std::ios::trunc);
    out << kMagic << "\n";
    out << "ubi-module " << (board.ubiLoaded ? 1 : 0) << "\n";
    for (const auto& [mtd, name] : board.mtds) {
        out << "mtd " << mtd << " " << toHex(name) << "\n";
    }
    for (const SysfsTree::Override& override : sim.sysfs().overrides()) {
        out << "attribute " << toHex(override.path) << " " << override.error << " "
            << toHex(override.content) << "\n";
    }
    for (const auto& [number, device] : board.ubis) {
        out << "ubi " << number << " " << device.mtd << " " << device.lebSize << " "
            << device.lebCount << " " << device.minIoSize << "\n";
        for (const auto& [id, volume] : device.volumes) {
            out << "volume " << number << " " << id << " " << volume.type << " " << volume.alignment
                << " " << volume.reservedEbs << " " << volume.usedBytes << " " << volume.updMarker
                << " " << volume.damaged << " " << volume.skipCheck << " " << volume.updBytes << " "
                << volume.updReceived << " " << toHex(volume.name) << "\n";
            std::ofstream data(dataFile(directory, number, id), std::ios::binary | std::ios::trunc);
            data.write(reinterpret_cast<const char*>(volume.data.data()),
                       static_cast<std::streamsize>(volume.data.size()));
            if (!data) {
                return false;
            }
        }
    }
    out.flush();
    return static_cast<bool>(out);
}

std::unique_ptr<Simulator> loadBoard(const std::string& directory) {
    std::ifstream in(directory + "/board.txt");
    std::string line;
    if (!std::getline(in, line) || line != kMagic) {
        return nullptr;
    }
    auto simulator = std::make_unique<Simulator>();
    Board& board = simulator->ubi().board();
    std::vector<SysfsTree::Override> overrides; // once their owners are there
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        bool good = false;
        if (kind == "ubi-module") {
            good = static_cast<bool>(fields >> board.ubiLoaded);
        } else if (kind == "mtd") {
            unsigned mtd;
            std::string hex;
            good = fields >> mtd >> hex && fromHex(hex, board.mtds[mtd]);
        } else if (kind == "attribute") {
            std::string hexPath;
            std::string hexContent;
            SysfsTree::Override override;
            good = fields >> hexPath >> override.error >> hexContent &&
                   fromHex(hexPath, override.path) && fromHex(hexContent, override.content);
            overrides.push_back(override);
        } else if (kind == "ubi") {
            unsigned number;
            UbiDevice device;
            good = static_cast<bool>(fields >> number >> device.mtd >> device.lebSize >>
                                     device.lebCount >> device.minIoSize) &&
                   device.lebSize != 0;
            device.number = number;
            device.vtblSlots = static_cast<int>(std::min(128u, device.lebSize / 172));
            board.ubis[number] = device;
        } else if (kind == "volume") {
            unsigned number;
            Volume volume;
            std::string hex;
            good =
                fields >> number >> volume.id >> volume.type >> volume.alignment >>
                    volume.reservedEbs >> volume.usedBytes >> volume.updMarker >> volume.damaged >>
                    volume.skipCheck >> volume.updBytes >> volume.updReceived >> hex &&
                volume.alignment > 0 && fromHex(hex, volume.name) && board.ubis.count(number) != 0;
            if (good) {
                UbiDevice& device = board.ubis.at(number);
                volume.serial = board.nextSerial++;
                volume.usableLebSize = device.lebSize - device.lebSize % volume.alignment;
                std::ifstream data(dataFile(directory, number, volume.id), std::ios::binary);
                good = data.is_open();
                volume.data.assign(std::istreambuf_iterator<char>(data), {});
                device.volumes[volume.id] = volume;
            }
        }
        if (!good) {
            return nullptr;
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
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    return simulator;
}

} // namespace Sim
