#include <gtest/gtest.h>

#include <functional>

#include "common/linuxFlash/Mtd.h"
#include "sim/Simulator.h"
#include "support/FdCapture.h"

namespace {

using Devices = std::vector<std::pair<std::string, unsigned>>;

// The partitions found and, per name, the number found for it (77: none).
TEST(MtdDiscovery, Partitions) {
    const std::string name40 = "0123456789abcdefghijABCDEFGHIJ0123456789";
    const std::string name31 = name40.substr(0, 31);
    const auto parts = [](int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            names.push_back("part" + std::to_string(i));
        }
        return names;
    };
    struct Case {
        const char* name;
        std::vector<std::string> partitions;
        std::function<void(Sim::Simulator&)> edit;
        Devices devices;
        Devices found;
    };
    const auto none = [](Sim::Simulator&) {};
    // clang-format off
    const Case cases[] = {
        {"none", {}, none, {}, {{"", 77}, {"NAND.ubi", 77}}},
        {"the board's", {"bootloader", "env", "NAND.ubi"}, none, {{"bootloader", 0}, {"env", 1}, {"NAND.ubi", 2}},
         {{"NAND.ubi", 2}, {"nand.ubi", 77}, {"NAND.ub", 77}, {"NAND.ubi\n", 77}}},
        {"the first missing number ends the list", parts(5), [](Sim::Simulator& sim) { sim.removeMtd(3); },
         {{"part0", 0}, {"part1", 1}, {"part2", 2}}, {{"part4", 77}}},
        {"at most twenty", parts(25), none, {}, {{"part19", 19}, {"part20", 77}}},
        {"long names keep their first 31 bytes", {name40, name31}, none, {{name31, 0}, {name31, 1}},
         {{name40, 77}, {name31, 0}}},
        {"unusual attributes", {"abc", "newline only", "nul", "empty", "unreadable", "last"},
         [](Sim::Simulator& sim) {
             sim.setMtdNameAttribute(0, "abc");
             sim.setMtdNameAttribute(1, "\n");
             sim.setMtdNameAttribute(2, std::string("ab\0cd\n", 6));
             sim.setMtdNameAttribute(3, "");
             sim.setMtdAttributeUnreadable(4);
         },
         {{"ab", 0}, {"", 1}, {"ab", 2}, {"last", 5}}, {{"", 1}, {"ab", 0}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim::Simulator sim;
        for (const std::string& name : c.partitions) {
            sim.addMtd(name);
        }
        c.edit(sim);
        OutputCapture output;
        Devices devices;
        for (const Mtd::DeviceInfo& device : Mtd::getDevices(sim)) {
            devices.emplace_back(device.name, device.index);
        }
        if (!c.devices.empty() || c.partitions.empty()) {
            EXPECT_EQ(devices, c.devices);
        } else {
            EXPECT_EQ(devices.size(), 20u);
        }
        for (const auto& [name, number] : c.found) {
            unsigned index = 77;
            EXPECT_EQ(Mtd::findDevice(name, index, sim), number != 77) << name;
            EXPECT_EQ(index, number) << name;
        }
        EXPECT_EQ(sim.openDescriptors(), 0u);
        EXPECT_EQ(output.out() + output.err(), "");
    }
}

} // namespace
