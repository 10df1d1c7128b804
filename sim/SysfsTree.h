#pragma once

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <tuple>
#include <vector>

#include "sim/UbiModel.h"

namespace Sim {

// The paths the kernel shows for the board: sysfs under /sys/class/mtd and /sys/class/ubi, and
// the nodes /dev/ubiN and /dev/ubiN_M. Directories list ".", ".." and then their entries in
// the order a 64-bit kernel's sysfs gives them. Any attribute's bytes can be replaced, or made
// to fail its reads, for as long as its owner exists.
class SysfsTree {
public:
    enum class NodeKind { Missing, Directory, Attribute, UbiNode, VolumeNode };
    enum class Owner { None, Mtd, UbiClass, UbiDevice, Volume };

    struct Node {
        NodeKind kind = NodeKind::Missing;
        std::string canonical;
        Owner owner = Owner::None;
        unsigned number = 0; // MTD or UBI number
        unsigned serial = 0; // volume
        std::string attribute;
    };

    // What a descriptor has read of an attribute: sysfs makes the text at the first read.
    struct AttributeHandle {
        std::optional<std::string> snapshot;
        size_t offset = 0;
    };

    struct Override {
        std::string path;
        std::string content;
        int error = 0; // every read fails with it when not 0
    };

    explicit SysfsTree(const UbiModel& ubi) : m_ubi(ubi) {}

    Node resolve(const std::string& path) const;
    std::vector<std::string> listDirectory(const Node& node) const;
    // A count, or -1 with errno set.
    ssize_t readAttribute(const Node& node, AttributeHandle& handle, void* buffer, size_t count);

    // Misuse throws std::invalid_argument.
    void setAttribute(const std::string& path, std::string raw);
    void setAttributeUnreadable(const std::string& path, int error);
    void dropMtdOverrides(unsigned mtd);
    // The overrides whose owner still exists, by path.
    std::vector<Override> overrides() const;

private:
    using OverrideKey = std::tuple<Owner, unsigned, unsigned, std::string>;

    static OverrideKey keyOf(const Node& node);
    bool ownerExists(const Node& node) const;
    std::string attributeText(const Node& node) const;
    void setOverride(const std::string& path, std::string content, int error);

    const UbiModel& m_ubi;
    std::map<OverrideKey, std::pair<Node, Override>> m_overrides;
};

} // namespace Sim
