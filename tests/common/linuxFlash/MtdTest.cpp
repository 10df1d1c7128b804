#include <fcntl.h>
#include <gtest/gtest.h>

#include "support/FdCapture.h"
#include "common/linuxFlash/Mtd.h"
#include "sim/Simulator.h"

namespace {

class MtdDiscovery : public ::testing::Test {
protected:
    std::vector<std::pair<std::string, unsigned>> devices() {
        std::vector<std::pair<std::string, unsigned>> found;
        for (const Mtd::DeviceInfo& device : Mtd::getDevices(sim)) {
            found.emplace_back(device.name, device.index);
        }
        return found;
    }

    unsigned find(const std::string& name) {
        unsigned index = 77;
        return Mtd::findDevice(name, index, sim) ? index : 77;
    }

    Sim::Simulator sim;
};

using Devices = std::vector<std::pair<std::string, unsigned>>;

TEST_F(MtdDiscovery, NoPartitions) {
    EXPECT_TRUE(Mtd::getDevices(sim).empty());
    unsigned index = 5;
    EXPECT_FALSE(Mtd::findDevice("", index, sim));
    EXPECT_FALSE(Mtd::findDevice("NAND.ubi", index, sim));
    EXPECT_EQ(index, 5u) << "left untouched";
}

TEST_F(MtdDiscovery, BoardPartitions) {
    sim.addMtd("bootloader");
    sim.addMtd("env");
    sim.addMtd("NAND.ubi");
    EXPECT_EQ(devices(), (Devices{{"bootloader", 0}, {"env", 1}, {"NAND.ubi", 2}}));
    EXPECT_EQ(find("NAND.ubi"), 2u);
    EXPECT_EQ(find("nand.ubi"), 77u) << "byte comparison";
    EXPECT_EQ(find("NAND.ub"), 77u);
    EXPECT_EQ(find("NAND.ubi\n"), 77u);
}

TEST_F(MtdDiscovery, FirstMissingNumberEndsTheList) {
    for (int i = 0; i < 5; ++i) {
        sim.addMtd("part" + std::to_string(i));
    }
    sim.removeMtd(3);
    EXPECT_EQ(devices(), (Devices{{"part0", 0}, {"part1", 1}, {"part2", 2}}));
    EXPECT_EQ(find("part4"), 77u);
}

TEST_F(MtdDiscovery, AtMostTwentyPartitions) {
    for (int i = 0; i < 25; ++i) {
        sim.addMtd("part" + std::to_string(i));
    }
    const Devices found = devices();
    ASSERT_EQ(found.size(), 20u);
    EXPECT_EQ(found.back(), (std::pair<std::string, unsigned>{"part19", 19}));
    EXPECT_EQ(find("part19"), 19u);
    EXPECT_EQ(find("part20"), 77u);
    sim.clearRequests();
    Mtd::getDevices(sim);
    EXPECT_EQ(sim.requests().size(), 60u) << "open, read, close for each of 20 numbers";
    EXPECT_EQ(sim.requests().back().path, "/sys/class/mtd/mtd19/name");
}

TEST_F(MtdDiscovery, OneReadOfAtMost32BytesPerPartition) {
    sim.addMtd("a");
    sim.addMtd("b");
    sim.clearRequests();
    Mtd::getDevices(sim);
    const auto& requests = sim.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0].kind, Sim::Call::Open);
    EXPECT_EQ(requests[0].path, "/sys/class/mtd/mtd0/name");
    EXPECT_EQ(requests[0].request, static_cast<unsigned long>(O_RDONLY));
    EXPECT_EQ(requests[1].kind, Sim::Call::Read);
    EXPECT_EQ(requests[1].count, 32u);
    EXPECT_EQ(requests[2].kind, Sim::Call::Close);
    EXPECT_EQ(requests[6].path, "/sys/class/mtd/mtd2/name");
    EXPECT_EQ(requests[6].error, ENOENT);
    EXPECT_EQ(sim.openDescriptors(), 0u);
}

TEST_F(MtdDiscovery, LongNamesKeepTheir31FirstBytes) {
    const std::string name40 = "0123456789abcdefghijABCDEFGHIJ0123456789";
    const std::string name31 = name40.substr(0, 31);
    sim.addMtd(name40);
    sim.addMtd(name31);
    EXPECT_EQ(devices(), (Devices{{name31, 0}, {name31, 1}}));
    EXPECT_EQ(find(name40), 77u);
    EXPECT_EQ(find(name31), 0u) << "the lower number wins";
}

TEST_F(MtdDiscovery, UnusualAttributeContents) {
    sim.addMtd("abc");
    sim.addMtd("newline only");
    sim.addMtd("nul");
    sim.addMtd("empty");
    sim.addMtd("unreadable");
    sim.addMtd("last");
    sim.setMtdNameAttribute(0, "abc");
    sim.setMtdNameAttribute(1, "\n");
    sim.setMtdNameAttribute(2, std::string("ab\0cd\n", 6));
    sim.setMtdNameAttribute(3, "");
    sim.setMtdAttributeUnreadable(4);
    EXPECT_EQ(devices(), (Devices{{"ab", 0}, {"", 1}, {"ab", 2}, {"last", 5}}));
    EXPECT_EQ(find(""), 1u);
    EXPECT_EQ(find("ab"), 0u);
    EXPECT_EQ(sim.openDescriptors(), 0u);
}

TEST_F(MtdDiscovery, PrintsNothing) {
    sim.addMtd("NAND.ubi");
    OutputCapture output;
    Mtd::getDevices(sim);
    find("NAND.ubi");
    find("none");
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "");
}

} // namespace
