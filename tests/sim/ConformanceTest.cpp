#include <cerrno>
#include <gtest/gtest.h>
#include <set>

#include "common/linuxFlash/UbiRequests.h"
#include "sim/Simulator.h"
#include "conformance/UbiConformance.h"

namespace {

std::unique_ptr<Sim::Simulator> boardWithUbi(unsigned lebSize, unsigned lebCount) {
    auto simulator = std::make_unique<Sim::Simulator>();
    simulator->addMtd("bootloader");
    simulator->addMtd("NAND.ubi");
    simulator->attachUbi(1, lebSize, lebCount);
    return simulator;
}

std::string failures(const std::vector<Sim::ConformanceCheck>& checks) {
    std::string text;
    for (const Sim::ConformanceCheck& check : checks) {
        if (!check.passed) {
            text += check.caseName + ": " + check.check + ": " + check.detail + "\n";
        }
    }
    return text;
}

// Passes every call to the simulator but bends one rule, as a kernel that differs would.
class BentKernel : public LinuxFlash::KernelInterface {
public:
    explicit BentKernel(Sim::Simulator& simulator) : m_simulator(simulator) {}

    bool acceptLateWrites = false;
    bool tooLongIsInvalid = false;

    int open(const char* path, int flags) override { return m_simulator.open(path, flags); }
    ssize_t read(int fd, void* buffer, size_t count) override {
        return m_simulator.read(fd, buffer, count);
    }
    ssize_t write(int fd, const void* buffer, size_t count) override {
        const ssize_t result = m_simulator.write(fd, buffer, count);
        if (result == -1 && errno == EPERM && acceptLateWrites) {
            return static_cast<ssize_t>(count);
        }
        return result;
    }
    int close(int fd) override { return m_simulator.close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        const int result = m_simulator.ioctl(fd, request, argument);
        if (result == -1 && errno == ENAMETOOLONG && tooLongIsInvalid) {
            errno = EINVAL;
        }
        return result;
    }
    std::unique_ptr<LinuxFlash::DirectoryStream> openDirectory(const char* path) override {
        return m_simulator.openDirectory(path);
    }

private:
    Sim::Simulator& m_simulator;
};

std::set<std::string> failedCases(const std::vector<Sim::ConformanceCheck>& checks) {
    std::set<std::string> names;
    for (const Sim::ConformanceCheck& check : checks) {
        if (!check.passed) {
            names.insert(check.caseName);
        }
    }
    return names;
}

} // namespace

TEST(UbiConformance, SimulatorFollowsEveryRule) {
    auto simulator = boardWithUbi(126976, 1000);
    const std::vector<Sim::ConformanceCheck> checks = Sim::runUbiConformance(*simulator, 0);
    EXPECT_EQ(failures(checks), "");
    std::set<std::string> checked;
    for (const Sim::ConformanceCheck& check : checks) {
        checked.insert(check.caseName);
    }
    for (const std::string& name : Sim::ubiConformanceCases()) {
        EXPECT_EQ(checked.count(name), 1u) << name << " recorded no check";
    }
    EXPECT_TRUE(simulator->volumes(0).empty());
    EXPECT_EQ(simulator->openDescriptors(), 0u);
}

TEST(UbiConformance, SmallDeviceSkipsWhatDoesNotFit) {
    // 20 eraseblocks of 2048 bytes: 11 volume ids, too few blocks for 32 renames.
    auto simulator = boardWithUbi(2048, 20);
    const std::vector<Sim::ConformanceCheck> checks = Sim::runUbiConformance(*simulator, 0);
    EXPECT_EQ(failures(checks), "");
    const auto skipped = std::count_if(checks.begin(), checks.end(), [](const auto& check) {
        return check.check.rfind("skipped:", 0) == 0;
    });
    EXPECT_EQ(skipped, 1);
}

TEST(UbiConformance, NamedCaseRunsAlone) {
    auto simulator = boardWithUbi(126976, 1000);
    const std::string name = "rmvol refuses a volume that is open";
    const std::vector<Sim::ConformanceCheck> checks = Sim::runUbiConformance(*simulator, 0, name);
    ASSERT_FALSE(checks.empty());
    for (const Sim::ConformanceCheck& check : checks) {
        EXPECT_TRUE(check.caseName == name || check.caseName == "leave the device empty");
    }
}

TEST(UbiConformance, DeviationsAreReported) {
    auto simulator = boardWithUbi(126976, 1000);
    BentKernel bent(*simulator);
    bent.acceptLateWrites = true;
    EXPECT_EQ(failedCases(Sim::runUbiConformance(bent, 0)),
              (std::set<std::string>{"an update of 0 bytes empties the volume at once",
                                     "a static update takes awkward write sizes",
                                     "a handle closed during an update leaves the volume marked"}));
    bent.acceptLateWrites = false;
    bent.tooLongIsInvalid = true;
    EXPECT_EQ(failedCases(Sim::runUbiConformance(bent, 0)),
              (std::set<std::string>{"mkvol checks its arguments", "rename checks its entries"}));
}

TEST(UbiConformance, MissingDeviceFailsEveryCase) {
    auto simulator = boardWithUbi(126976, 1000);
    const std::vector<Sim::ConformanceCheck> checks = Sim::runUbiConformance(*simulator, 3);
    EXPECT_EQ(failedCases(checks).size(), Sim::ubiConformanceCases().size() + 1);
}
