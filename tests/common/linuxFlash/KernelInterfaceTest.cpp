#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/linuxFlash/KernelInterface.h"
#include "common/linuxFlash/UbiRequests.h"
#include "sim/Simulator.h"

namespace {

TEST(KernelInterface, LinuxIsTheDefault) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("vexil-kernel-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    const std::string file = (directory / "data").string();
    LinuxFlash::KernelInterface& linux = LinuxFlash::kernel();

    std::ofstream(file).put('x');
    const int out = linux.open(file.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(out, 0);
    EXPECT_EQ(linux.write(out, "abc", 3), 3);
    int64_t bytes = 0;
    EXPECT_EQ(linux.ioctl(out, UBI_IOCVOLUP, &bytes), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(linux.close(out), 0);
    const int in = linux.open(file.c_str(), O_RDONLY);
    char buffer[8];
    EXPECT_EQ(linux.read(in, buffer, sizeof buffer), 3);
    EXPECT_EQ(linux.close(in), 0);
    EXPECT_EQ(linux.close(in), -1);
    EXPECT_EQ(errno, EBADF);

    std::vector<std::string> entries;
    auto listing = linux.openDirectory(directory.c_str());
    ASSERT_NE(listing, nullptr);
    std::string entry;
    while (listing->next(entry))
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{".", "..", "data"}));

    std::filesystem::remove_all(directory);
    EXPECT_EQ(linux.open(file.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(linux.openDirectory(directory.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(KernelInterface, ScopedReplacementsNestAndRestore) {
    LinuxFlash::KernelInterface& original = LinuxFlash::kernel();
    Sim::Simulator outer;
    Sim::Simulator inner;
    {
        LinuxFlash::ScopedKernel outerScope(outer);
        EXPECT_EQ(&LinuxFlash::kernel(), &outer);
        {
            LinuxFlash::ScopedKernel innerScope(inner);
            EXPECT_EQ(&LinuxFlash::kernel(), &inner);
        }
        EXPECT_EQ(&LinuxFlash::kernel(), &outer);
    }
    EXPECT_EQ(&LinuxFlash::kernel(), &original);
}

TEST(KernelInterface, KernelFileClosesItsDescriptor) {
    Sim::Simulator sim;
    sim.addMtd("NAND.ubi");
    LinuxFlash::ScopedKernel scoped(sim);
    {
        LinuxFlash::KernelFile file("/sys/class/mtd/mtd0/name", O_RDONLY);
        ASSERT_TRUE(file.isOpen());
        char buffer[16];
        EXPECT_EQ(file.read(buffer, sizeof buffer), 9);
        EXPECT_EQ(sim.openDescriptors(), 1u);
    }
    EXPECT_EQ(sim.openDescriptors(), 0u);
    LinuxFlash::KernelFile missing("/sys/class/mtd/mtd1/name", O_RDONLY);
    EXPECT_FALSE(missing.isOpen());
}

} // namespace
