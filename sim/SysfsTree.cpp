#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "sim/SysfsTree.h"

namespace Sim {

namespace {

const char* const kDeviceAttributes[] = {
    "avail_eraseblocks", "eraseblock_size",   "max_vol_count", "min_io_size",
    "mtd_num",           "total_eraseblocks", "volumes_count"};
const char* const kVolumeAttributes[] = {"alignment",  "corrupted",     "data_bytes",
                                         "name",       "reserved_ebs",  "type",
                                         "upd_marker", "usable_eb_size"};

template <size_t N> bool listed(const char* const (&names)[N], const std::string& name) {
    return std::find_if(std::begin(names), std::end(names), [&](const char* candidate) {
               return name == candidate;
           }) != std::end(names);
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        if (component == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    return components;
}

// Decimal as the kernel prints it: no sign, no leading zero.
bool parseNumber(const std::string& text, size_t& position, unsigned& value) {
    const size_t start = position;
    unsigned long long result = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        result = result * 10 + static_cast<unsigned>(text[position] - '0');
        if (result > UINT_MAX) {
            return false;
        }
        ++position;
    }
    if (position == start || (text[start] == '0' && position - start > 1)) {
        return false;
    }
    value = static_cast<unsigned>(result);
    return true;
}

// "<prefix>N" exactly.
bool parseNumbered(const std::string& text, const char* prefix, unsigned& number) {
    const size_t length = strlen(prefix);
    if (text.compare(0, length, prefix) != 0) {
        return false;
    }
    size_t position = length;
    return parseNumber(text, position, number) && position == text.size();
}

// "ubiN_M" exactly.
bool parseVolumeName(const std::string& text, unsigned& ubi, int& volId) {
    if (text.compare(0, 3, "ubi") != 0) {
        return false;
    }
    size_t position = 3;
    unsigned id;
    if (!parseNumber(text, position, ubi) || position == text.size() || text[position] != '_') {
        return false;
    }
    ++position;
    if (!parseNumber(text, position, id) || position != text.size() || id > INT_MAX) {
        return false;
    }
    volId = static_cast<int>(id);
    return true;
}

// kernfs keeps a directory's children ordered by this hash of their names (the 64-bit
// kernel's), and readdir walks them in that order after "." and "..".
uint32_t kernfsNameHash(const std::string& name) {
    uint64_t hash = 0;
    for (const char c : name) {
        const uint64_t value =
            static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
        hash = (hash + (value << 4) + (value >> 4)) * 11;
    }
    uint64_t result = (hash * 0x61C8864680B583EBull) >> 32;
    result &= 0x7fffffffu;
    if (result < 2) {
        result += 2;
    }
    if (result >= INT_MAX) {
        result = INT_MAX - 1;
    }
    return static_cast<uint32_t>(result);
}

std::vector<std::string> inKernfsOrder(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const uint32_t hashA = kernfsNameHash(a);
        const uint32_t hashB = kernfsNameHash(b);
        return hashA != hashB ? hashA < hashB : a < b;
    });
    names.insert(names.begin(), {".", ".."});
    return names;
}

std::string volumeEntry(unsigned ubi, int volId) {
    return "ubi" + std::to_string(ubi) + "_" + std::to_string(volId);
}

} // namespace

SysfsTree::Node SysfsTree::resolve(const std::string& path) const {
    const Board& board = m_ubi.board();
    const std::vector<std::string> parts = splitPath(path);
    const size_t depth = parts.size();
    Node node;
    auto directory = [&](std::string canonical) {
        node.kind = NodeKind::Directory;
        node.canonical = std::move(canonical);
        return node;
    };
    if (depth == 0) {
        return directory("/");
    }
    if (parts[0] == "dev") {
        if (depth == 1) {
            return directory("/dev");
        }
        unsigned ubi;
        int volId;
        if (depth != 2 || !board.ubiLoaded) {
            return node;
        }
        if (parseNumbered(parts[1], "ubi", ubi) && board.ubis.count(ubi) != 0) {
            node.kind = NodeKind::UbiNode;
            node.number = ubi;
        } else if (parseVolumeName(parts[1], ubi, volId) && board.ubis.count(ubi) != 0 &&
                   board.ubis.at(ubi).volumes.count(volId) != 0) {
            node.kind = NodeKind::VolumeNode;
            node.number = ubi;
            node.serial = board.ubis.at(ubi).volumes.at(volId).serial;
        }
        node.canonical = node.kind == NodeKind::Missing ? "" : "/dev/" + parts[1];
        return node;
    }
    if (parts[0] != "sys") {
        return node;
    }
    if (depth == 1) {
        return directory("/sys");
    }
    if (parts[1] != "class") {
        return node;
    }
    if (depth == 2) {
        return directory("/sys/class");
    }
    if (parts[2] == "mtd") {
        if (depth == 3) {
            return directory("/sys/class/mtd");
        }
        unsigned mtd;
        if (!parseNumbered(parts[3], "mtd", mtd) || board.mtds.count(mtd) == 0 || depth > 5) {
            return node;
        }
        node.owner = Owner::Mtd;
        node.number = mtd;
        const std::string canonical = "/sys/class/mtd/" + parts[3];
        if (depth == 4) {
            return directory(canonical);
        }
        if (parts[4] != "name") {
            return Node();
        }
        node.kind = NodeKind::Attribute;
        node.attribute = "name";
        node.canonical = canonical + "/name";
        return node;
    }
    if (parts[2] != "ubi" || !board.ubiLoaded) {
        return node;
    }
    if (depth == 3) {
        return directory("/sys/class/ubi");
    }
    if (depth == 4 && parts[3] == "version") {
        node.kind = NodeKind::Attribute;
        node.owner = Owner::UbiClass;
        node.attribute = "version";
        node.canonical = "/sys/class/ubi/version";
        return node;
    }
    unsigned ubi;
    int volId;
    size_t volumePart = 3;
    if (parseNumbered(parts[3], "ubi", ubi)) {
        if (board.ubis.count(ubi) == 0 || depth > 6) {
            return node;
        }
        node.owner = Owner::UbiDevice;
        node.number = ubi;
        if (depth == 4) {
            return directory("/sys/class/ubi/" + parts[3]);
        }
        unsigned nestedUbi;
        if (!parseVolumeName(parts[4], nestedUbi, volId) || nestedUbi != ubi) {
            if (depth != 5 || !listed(kDeviceAttributes, parts[4])) {
                return Node();
            }
            node.kind = NodeKind::Attribute;
            node.attribute = parts[4];
            node.canonical = "/sys/class/ubi/" + parts[3] + "/" + parts[4];
            return node;
        }
        volumePart = 4;
    } else if (!parseVolumeName(parts[3], ubi, volId) || board.ubis.count(ubi) == 0 || depth > 5) {
        return node;
    }
    const auto& volumes = board.ubis.at(ubi).volumes;
    if (volumes.count(volId) == 0) {
        return Node();
    }
    node.owner = Owner::Volume;
    node.number = ubi;
    node.serial = volumes.at(volId).serial;
    const std::string canonical = "/sys/class/ubi/" + volumeEntry(ubi, volId);
    if (depth == volumePart + 1) {
        return directory(canonical);
    }
    if (depth != volumePart + 2 || !listed(kVolumeAttributes, parts[volumePart + 1])) {
        return Node();
    }
    node.kind = NodeKind::Attribute;
    node.attribute = parts[volumePart + 1];
    node.canonical = canonical + "/" + node.attribute;
    return node;
}

std::vector<std::string> SysfsTree::listDirectory(const Node& node) const {
    const Board& board = m_ubi.board();
    std::vector<std::string> names;
    const std::string& path = node.canonical;
    if (path == "/") {
        names = {"dev", "sys"};
    } else if (path == "/sys") {
        names = {"class"};
    } else if (path == "/sys/class") {
        names = {"mtd"};
        if (board.ubiLoaded) {
            names.push_back("ubi");
        }
    } else if (path == "/dev") {
        if (board.ubiLoaded) {
            for (const auto& [ubi, device] : board.ubis) {
                names.push_back("ubi" + std::to_string(ubi));
                for (const auto& [id, volume] : device.volumes) {
                    names.push_back(volumeEntry(ubi, id));
                }
            }
        }
    } else if (path == "/sys/class/mtd") {
        for (const auto& [mtd, name] : board.mtds) {
            names.push_back("mtd" + std::to_string(mtd));
        }
    } else if (node.owner == Owner::Mtd) {
        names = {"name"};
    } else if (path == "/sys/class/ubi") {
        names.push_back("version");
        for (const auto& [ubi, device] : board.ubis) {
            names.push_back("ubi" + std::to_string(ubi));
            for (const auto& [id, volume] : device.volumes) {
                names.push_back(volumeEntry(ubi, id));
            }
        }
    } else if (node.owner == Owner::UbiDevice) {
        names.assign(std::begin(kDeviceAttributes), std::end(kDeviceAttributes));
        for (const auto& [id, volume] : board.ubis.at(node.number).volumes) {
            names.push_back(volumeEntry(node.number, id));
        }
    } else if (node.owner == Owner::Volume) {
        names.assign(std::begin(kVolumeAttributes), std::end(kVolumeAttributes));
    }
    return inKernfsOrder(std::move(names));
}

bool SysfsTree::ownerExists(const Node& node) const {
    const Board& board = m_ubi.board();
    switch (node.owner) {
    case Owner::None:
        return true;
    case Owner::Mtd:
        return board.mtds.count(node.number) != 0;
    case Owner::UbiClass:
        return board.ubiLoaded;
    case Owner::UbiDevice:
        return board.ubiLoaded && board.ubis.count(node.number) != 0;
    case Owner::Volume:
        return m_ubi.volumeBySerial(node.number, node.serial) != nullptr;
    }
    return false;
}

std::string SysfsTree::attributeText(const Node& node) const {
    const Board& board = m_ubi.board();
    const auto line = [](auto value) { return std::to_string(value) + "\n"; };
    if (node.owner == Owner::Mtd) {
        return board.mtds.at(node.number) + "\n";
    }
    if (node.owner == Owner::UbiClass) {
        return "1\n";
    }
    const UbiDevice& device = board.ubis.at(node.number);
    if (node.owner == Owner::UbiDevice) {
        unsigned reserved = 0;
        for (const auto& [id, volume] : device.volumes) {
            reserved += volume.reservedEbs;
        }
        if (node.attribute == "avail_eraseblocks") {
            return line(device.lebCount - reserved);
        }
        if (node.attribute == "eraseblock_size") {
            return line(device.lebSize);
        }
        if (node.attribute == "max_vol_count") {
            return line(device.vtblSlots());
        }
        if (node.attribute == "min_io_size") {
            return line(device.minIoSize);
        }
        if (node.attribute == "mtd_num") {
            return line(device.mtd);
        }
        if (node.attribute == "total_eraseblocks") {
            return line(device.lebCount);
        }
        return line(device.volumes.size());
    }
    const Volume& volume = *m_ubi.volumeBySerial(node.number, node.serial);
    if (node.attribute == "alignment") {
        return line(volume.alignment);
    }
    if (node.attribute == "corrupted") {
        return line(volume.corrupted ? 1 : 0);
    }
    if (node.attribute == "data_bytes") {
        return line(volume.usedBytes);
    }
    if (node.attribute == "name") {
        return volume.name + "\n";
    }
    if (node.attribute == "reserved_ebs") {
        return line(volume.reservedEbs);
    }
    if (node.attribute == "type") {
        return volume.type == kDynamic ? "dynamic\n" : "static\n";
    }
    if (node.attribute == "upd_marker") {
        return line(volume.updMarker || volume.markerInMemory ? 1 : 0);
    }
    return line(volume.usableLebSize);
}

// sysfs makes an attribute's text at the first read of a descriptor and serves it from
// there; once that text is used up, or before it is made, a vanished owner gives ENODEV.
ssize_t SysfsTree::readAttribute(const Node& node, AttributeHandle& handle, void* buffer,
                                 size_t count) {
    if (count == 0) {
        return 0;
    }
    const bool pending = handle.snapshot && handle.offset < handle.snapshot->size();
    if (!pending) {
        if (!ownerExists(node)) {
            errno = ENODEV;
            return -1;
        }
        const auto found = m_overrides.find(keyOf(node));
        const Override* override = found != m_overrides.end() ? &found->second.second : nullptr;
        if (override != nullptr && override->error != 0) {
            errno = override->error;
            return -1;
        }
        if (!handle.snapshot) {
            handle.snapshot = override != nullptr ? override->content : attributeText(node);
            handle.offset = 0;
        }
    }
    const size_t length = std::min(count, handle.snapshot->size() - handle.offset);
    memcpy(buffer, handle.snapshot->data() + handle.offset, length);
    handle.offset += length;
    return static_cast<ssize_t>(length);
}

SysfsTree::OverrideKey SysfsTree::keyOf(const Node& node) {
    return {node.owner, node.number, node.serial, node.attribute};
}

void SysfsTree::setOverride(const std::string& path, std::string content, int error) {
    const Node node = resolve(path);
    if (node.kind != NodeKind::Attribute) {
        throw std::invalid_argument("no such attribute: " + path);
    }
    m_overrides[keyOf(node)] = {node, {node.canonical, std::move(content), error}};
}

void SysfsTree::setAttribute(const std::string& path, std::string raw) {
    setOverride(path, std::move(raw), 0);
}

void SysfsTree::setAttributeUnreadable(const std::string& path, int error) {
    if (error == 0) {
        throw std::invalid_argument("an unreadable attribute needs an errno");
    }
    setOverride(path, "", error);
}

void SysfsTree::dropMtdOverrides(unsigned mtd) {
    for (auto it = m_overrides.begin(); it != m_overrides.end();) {
        const Node& node = it->second.first;
        it = node.owner == Owner::Mtd && node.number == mtd ? m_overrides.erase(it) : std::next(it);
    }
}

std::vector<SysfsTree::Override> SysfsTree::overrides() const {
    std::vector<Override> live;
    for (const auto& [key, entry] : m_overrides) {
        if (ownerExists(entry.first)) {
            live.push_back(entry.second);
        }
    }
    return live;
}

} // namespace Sim
