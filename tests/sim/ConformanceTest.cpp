#include <cerrno>
#include <gtest/gtest.h>
#include <set>

#include "common/linuxFlash/UbiRequests.h"
#include "conformance/UbiConformance.h"
#include "sim/Simulator.h"

namespace {

std::unique_ptr<Sim::Simulator> boardWithUbi(unsigned lebSize, unsigned lebCount,
                                             unsigned minIo = 1) {
    auto simulator = std::make_unique<Sim::Simulator>();
    simulator->addMtd("bootloader");
    simulator->addMtd("NAND.ubi");
    simulator->attachUbi(1, lebSize, lebCount, minIo);
    return simulator;
}

std::vector<Conformance::Check> run(Sim::Simulator& board) {
    return Conformance::runUbi(board, 0, [&board] { return board.reattach(), true; });
}

std::set<std::string> failedCases(const std::vector<Conformance::Check>& checks) {
    std::set<std::string> names;
    for (const Conformance::Check& check : checks) {
        if (!check.passed) {
            names.insert(check.caseName);
        }
    }
    return names;
}

} // namespace

TEST(UbiConformance, SimulatorFollowsEveryRule) {
    const struct {
        unsigned lebSize, lebCount, minIo;
        long skipped;
    } devices[] = {
        {126976, 1000, 2048, 0},
        // 11 volume ids, too few eraseblocks for 32 renames, no I/O unit to align to.
        {2048, 20, 1, 2},
    };
    for (const auto& device : devices) {
        SCOPED_TRACE(device.lebSize);
        auto simulator = boardWithUbi(device.lebSize, device.lebCount, device.minIo);
        const std::vector<Conformance::Check> checks = run(*simulator);
        for (const Conformance::Check& check : checks) {
            EXPECT_TRUE(check.passed)
                << check.caseName << ": " << check.check << ": " << check.detail;
        }
        EXPECT_EQ(
            std::count_if(checks.begin(), checks.end(),
                          [](const auto& check) { return check.check.rfind("skipped:", 0) == 0; }),
            device.skipped);
        EXPECT_TRUE(simulator->volumes(0).empty());
        EXPECT_EQ(simulator->openDescriptors(), 0u);
    }
}

// Each fault hits the first case that makes such a call, and that case only.
TEST(UbiConformance, DeviationsAreReported) {
    const struct {
        Sim::Call kind;
        unsigned long request;
        int error;
        const char* failing;
    } faults[] = {
        {Sim::Call::Ioctl, UBI_IOCMKVOL, ENOSPC,
         "mkvol makes a dynamic volume with the lowest free id"},
        {Sim::Call::Ioctl, UBI_IOCRNVOL, EBUSY,
         "rename with count 0 does nothing; counts out of range are refused"},
        {Sim::Call::Ioctl, UBI_IOCVOLUP, EIO,
         "rename takes an open volume but not one being updated"},
        {Sim::Call::Write, 0, EIO, "an update of 0 bytes empties the volume at once"},
    };
    for (const auto& fault : faults) {
        auto simulator = boardWithUbi(126976, 1000);
        simulator->failCall(fault.kind, 1, fault.error, fault.request);
        EXPECT_EQ(failedCases(run(*simulator)), std::set<std::string>{fault.failing});
    }
}
