// Paths, directories and sysfs attributes of the simulated kernel.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "sim/Simulator.h"

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
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component == "..") {
            if (!components.empty())
                components.pop_back();
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
        if (result > UINT_MAX)
            return false;
        ++position;
    }
    if (position == start || (text[start] == '0' && position - start > 1))
        return false;
    value = static_cast<unsigned>(result);
    return true;
}

// "<prefix>N" exactly.
bool parseNumbered(const std::string& text, const char* prefix, unsigned& number) {
    const size_t length = strlen(prefix);
    if (text.compare(0, length, prefix) != 0)
        return false;
    size_t position = length;
    return parseNumber(text, position, number) && position == text.size();
}

// "ubiN_M" exactly.
bool parseVolumeName(const std::string& text, unsigned& ubi, int& volId) {
    if (text.compare(0, 3, "ubi") != 0)
        return false;
    size_t position = 3;
    unsigned id;
    if (!parseNumber(text, position, ubi) || position == text.size() || text[position] != '_')
        return false;
    ++position;
    if (!parseNumber(text, position, id) || position != text.size() || id > INT_MAX)
        return false;
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
    if (result < 2)
        result += 2;
    if (result >= INT_MAX)
        result = INT_MAX - 1;
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

Simulator::UbiDevice* Simulator::ubiDevice(unsigned number) {
    if (!m_board.ubiLoaded)
        return nullptr;
    const auto it = m_board.ubis.find(number);
    return it == m_board.ubis.end() ? nullptr : &it->second;
}

const Simulator::Volume* Simulator::volumeBySerial(unsigned ubi, unsigned serial) const {
    if (!m_board.ubiLoaded || m_board.ubis.count(ubi) == 0)
        return nullptr;
    for (const auto& [id, volume] : m_board.ubis.at(ubi).volumes) {
        if (volume.serial == serial)
            return &volume;
    }
    return nullptr;
}

Simulator::Volume* Simulator::volumeBySerial(unsigned ubi, unsigned serial) {
    return const_cast<Volume*>(std::as_const(*this).volumeBySerial(ubi, serial));
}

Simulator::Node Simulator::resolve(const std::string& path) const {
    const std::vector<std::string> parts = splitPath(path);
    const size_t depth = parts.size();
    Node node;
    auto directory = [&](std::string canonical) {
        node.kind = NodeKind::Directory;
        node.canonical = std::move(canonical);
        return node;
    };
    if (depth == 0)
        return directory("/");
    if (parts[0] == "dev") {
        if (depth == 1)
            return directory("/dev");
        unsigned ubi;
        int volId;
        if (depth != 2 || !m_board.ubiLoaded)
            return node;
        if (parseNumbered(parts[1], "ubi", ubi) && m_board.ubis.count(ubi) != 0) {
            node.kind = NodeKind::UbiNode;
            node.number = ubi;
        } else if (parseVolumeName(parts[1], ubi, volId) && m_board.ubis.count(ubi) != 0 &&
                   m_board.ubis.at(ubi).volumes.count(volId) != 0) {
            node.kind = NodeKind::VolumeNode;
            node.number = ubi;
            node.serial = m_board.ubis.at(ubi).volumes.at(volId).serial;
        }
        node.canonical = node.kind == NodeKind::Missing ? "" : "/dev/" + parts[1];
        return node;
    }
    if (parts[0] != "sys")
        return node;
    if (depth == 1)
        return directory("/sys");
    if (parts[1] != "class")
        return node;
    if (depth == 2)
        return directory("/sys/class");
    if (parts[2] == "mtd") {
        if (depth == 3)
            return directory("/sys/class/mtd");
        unsigned mtd;
        if (!parseNumbered(parts[3], "mtd", mtd) || m_board.mtds.count(mtd) == 0 || depth > 5)
            return node;
        node.owner = Owner::Mtd;
        node.number = mtd;
        const std::string canonical = "/sys/class/mtd/" + parts[3];
        if (depth == 4)
            return directory(canonical);
        if (parts[4] != "name")
            return Node();
        node.kind = NodeKind::Attribute;
        node.attribute = "name";
        node.canonical = canonical + "/name";
        return node;
    }
    if (parts[2] != "ubi" || !m_board.ubiLoaded)
        return node;
    if (depth == 3)
        return directory("/sys/class/ubi");
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
        if (m_board.ubis.count(ubi) == 0 || depth > 6)
            return node;
        node.owner = Owner::UbiDevice;
        node.number = ubi;
        if (depth == 4)
            return directory("/sys/class/ubi/" + parts[3]);
        unsigned nestedUbi;
        if (!parseVolumeName(parts[4], nestedUbi, volId) || nestedUbi != ubi) {
            if (depth != 5 || !listed(kDeviceAttributes, parts[4]))
                return Node();
            node.kind = NodeKind::Attribute;
            node.attribute = parts[4];
            node.canonical = "/sys/class/ubi/" + parts[3] + "/" + parts[4];
            return node;
        }
        volumePart = 4;
    } else if (!parseVolumeName(parts[3], ubi, volId) || m_board.ubis.count(ubi) == 0 ||
               depth > 5) {
        return node;
    }
    const auto& volumes = m_board.ubis.at(ubi).volumes;
    if (volumes.count(volId) == 0)
        return Node();
    node.owner = Owner::Volume;
    node.number = ubi;
    node.serial = volumes.at(volId).serial;
    const std::string canonical = "/sys/class/ubi/" + volumeEntry(ubi, volId);
    if (depth == volumePart + 1)
        return directory(canonical);
    if (depth != volumePart + 2 || !listed(kVolumeAttributes, parts[volumePart + 1]))
        return Node();
    node.kind = NodeKind::Attribute;
    node.attribute = parts[volumePart + 1];
    node.canonical = canonical + "/" + node.attribute;
    return node;
}

std::vector<std::string> Simulator::listDirectory(const Node& node) const {
    std::vector<std::string> names;
    const std::string& path = node.canonical;
    if (path == "/") {
        names = {"dev", "sys"};
    } else if (path == "/sys") {
        names = {"class"};
    } else if (path == "/sys/class") {
        names = {"mtd"};
        if (m_board.ubiLoaded)
            names.push_back("ubi");
    } else if (path == "/dev") {
        if (m_board.ubiLoaded) {
            for (const auto& [ubi, device] : m_board.ubis) {
                names.push_back("ubi" + std::to_string(ubi));
                for (const auto& [id, volume] : device.volumes)
                    names.push_back(volumeEntry(ubi, id));
            }
        }
    } else if (path == "/sys/class/mtd") {
        for (const auto& [mtd, name] : m_board.mtds)
            names.push_back("mtd" + std::to_string(mtd));
    } else if (node.owner == Owner::Mtd) {
        names = {"name"};
    } else if (path == "/sys/class/ubi") {
        names.push_back("version");
        for (const auto& [ubi, device] : m_board.ubis) {
            names.push_back("ubi" + std::to_string(ubi));
            for (const auto& [id, volume] : device.volumes)
                names.push_back(volumeEntry(ubi, id));
        }
    } else if (node.owner == Owner::UbiDevice) {
        names.assign(std::begin(kDeviceAttributes), std::end(kDeviceAttributes));
        for (const auto& [id, volume] : m_board.ubis.at(node.number).volumes)
            names.push_back(volumeEntry(node.number, id));
    } else if (node.owner == Owner::Volume) {
        names.assign(std::begin(kVolumeAttributes), std::end(kVolumeAttributes));
    }
    return inKernfsOrder(std::move(names));
}

bool Simulator::ownerExists(const Node& node) const {
    switch (node.owner) {
    case Owner::None:
        return true;
    case Owner::Mtd:
        return m_board.mtds.count(node.number) != 0;
    case Owner::UbiClass:
        return m_board.ubiLoaded;
    case Owner::UbiDevice:
        return m_board.ubiLoaded && m_board.ubis.count(node.number) != 0;
    case Owner::Volume:
        return volumeBySerial(node.number, node.serial) != nullptr;
    }
    return false;
}

std::string Simulator::attributeText(const Node& node) const {
    const auto line = [](auto value) { return std::to_string(value) + "\n"; };
    if (node.owner == Owner::Mtd)
        return m_board.mtds.at(node.number) + "\n";
    if (node.owner == Owner::UbiClass)
        return "1\n";
    const UbiDevice& device = m_board.ubis.at(node.number);
    if (node.owner == Owner::UbiDevice) {
        unsigned reserved = 0;
        for (const auto& [id, volume] : device.volumes)
            reserved += volume.reservedEbs;
        if (node.attribute == "avail_eraseblocks")
            return line(device.lebCount - reserved);
        if (node.attribute == "eraseblock_size")
            return line(device.lebSize);
        if (node.attribute == "max_vol_count")
            return line(device.vtblSlots);
        if (node.attribute == "min_io_size")
            return line(device.minIoSize);
        if (node.attribute == "mtd_num")
            return line(device.mtd);
        if (node.attribute == "total_eraseblocks")
            return line(device.lebCount);
        return line(device.volumes.size());
    }
    const Volume& volume = *volumeBySerial(node.number, node.serial);
    if (node.attribute == "alignment")
        return line(volume.alignment);
    if (node.attribute == "corrupted")
        return line(volume.corrupted ? 1 : 0);
    if (node.attribute == "data_bytes")
        return line(volume.usedBytes);
    if (node.attribute == "name")
        return volume.name + "\n";
    if (node.attribute == "reserved_ebs")
        return line(volume.reservedEbs);
    if (node.attribute == "type")
        return volume.type == kDynamic ? "dynamic\n" : "static\n";
    if (node.attribute == "upd_marker")
        return line(volume.updMarker || volume.markerInMemory ? 1 : 0);
    return line(volume.usableLebSize);
}

// sysfs makes an attribute's text at the first read of a descriptor and serves it from
// there; once that text is used up, or before it is made, a vanished owner gives ENODEV.
ssize_t Simulator::readAttribute(OpenFile& file, void* buffer, size_t count) {
    if (count == 0)
        return 0;
    const bool pending = file.snapshot && file.offset < file.snapshot->size();
    if (!pending) {
        if (!ownerExists(file.node)) {
            errno = ENODEV;
            return -1;
        }
        const auto override = m_board.overrides.find(file.node.canonical);
        if (override != m_board.overrides.end() && override->second.error != 0) {
            errno = override->second.error;
            return -1;
        }
        if (!file.snapshot) {
            file.snapshot = override != m_board.overrides.end() ? override->second.content
                                                                : attributeText(file.node);
            file.offset = 0;
        }
    }
    const size_t length = std::min(count, file.snapshot->size() - file.offset);
    memcpy(buffer, file.snapshot->data() + file.offset, length);
    file.offset += length;
    return static_cast<ssize_t>(length);
}

void Simulator::dropOverrides(const std::string& prefix) {
    for (auto it = m_board.overrides.begin(); it != m_board.overrides.end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0)
            it = m_board.overrides.erase(it);
        else
            ++it;
    }
}

void Simulator::dropVolumeOverrides(unsigned ubi, int volId) {
    dropOverrides("/sys/class/ubi/" + volumeEntry(ubi, volId) + "/");
}

} // namespace Sim
