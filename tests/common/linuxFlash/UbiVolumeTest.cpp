#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "common/linuxFlash/Ubi.h"
#include "sim/Simulator.h"
#include "support/FdCapture.h"

namespace {

constexpr unsigned kLeb = 126976;

// The trace line of a WARNING in area "Ubi" from Ubi.cpp: in yellow, the 40-character header
// ("[Ubi]", one space, 18 fill spaces, "Ubi.cpp:NNN", " <W> "), the text, CR LF, then the reset.
std::string warning(int line, const std::string& text) {
    const std::string header =
        "[Ubi]" + std::string(1 + 18, ' ') + "Ubi.cpp:" + std::to_string(line) + " <W> ";
    return "\x1b[1;33m" + header + text + "\r\n\x1b[m";
}

class UbiVolumeTest : public ::testing::Test {
protected:
    UbiVolumeTest() {
        sim.addMtd("bootloader");
        sim.addMtd("NAND.ubi");
        sim.attachUbi(1, kLeb, 1000);
        sim.addVolume(0, "kernel", Sim::kStatic, 6291456, {1, 2, 3});
        sim.addVolume(0, "kernel_new", Sim::kStatic, 6291456);
        sim.addVolume(0, "rootfs_new", Sim::kDynamic, 3 * kLeb);
        EXPECT_TRUE(device.init("NAND.ubi"));
        sim.clearRequests();
    }

    std::vector<Sim::Simulator::Request> calls(Sim::Call kind) const {
        std::vector<Sim::Simulator::Request> found;
        for (const auto& request : sim.requests()) {
            if (request.kind == kind) {
                found.push_back(request);
            }
        }
        return found;
    }

    Sim::Simulator sim;
    Ubi::Device device{sim};
    Ubi::Volume volume{device};
};

// Logs from boards in the field are matched against the two warning lines of Ubi.cpp.
TEST_F(UbiVolumeTest, OpenFindsTheNodeOrWarnsFromLines381And388) {
    OutputCapture missing;
    EXPECT_FALSE(volume.open("nosuch"));
    EXPECT_EQ(volume.error(), ENOENT);
    EXPECT_EQ(missing.out(), warning(381, "failed to find volume"));
    EXPECT_TRUE(calls(Sim::Call::Ioctl).empty());

    const int writer = sim.open("/dev/ubi0_1", O_RDWR);
    OutputCapture busy;
    EXPECT_FALSE(volume.open("kernel_new"));
    EXPECT_EQ(volume.error(), EBUSY);
    EXPECT_EQ(volume.write("x", 1), -1) << "the object stays closed";
    EXPECT_EQ(busy.out() + busy.err(), warning(388, "failed to open volume"));
    sim.close(writer);

    OutputCapture found;
    EXPECT_TRUE(volume.open("rootfs_new"));
    EXPECT_EQ(found.out() + found.err(), "");
    EXPECT_EQ(calls(Sim::Call::Open).back().path, "/dev/ubi0_2");
    EXPECT_EQ(calls(Sim::Call::Open).back().request, static_cast<unsigned long>(O_RDWR));
}

// The count goes to the kernel as it is, silently; an empty piece of an update never reaches the
// kernel, which refuses any write once the update is complete.
TEST_F(UbiVolumeTest, UpdatesAndWrites) {
    OutputCapture output;
    EXPECT_FALSE(volume.beginUpdate(10)) << "closed";
    EXPECT_EQ(volume.error(), EBADF);
    ASSERT_TRUE(volume.open("kernel_new"));
    EXPECT_FALSE(volume.beginUpdate(50LL * kLeb + 1)) << "beyond the reserved size";
    EXPECT_EQ(volume.error(), EINVAL);
    EXPECT_FALSE(volume.beginUpdate((1LL << 32) + 1)) << "all 64 bits reach the kernel";
    EXPECT_TRUE(volume.beginUpdate(6291456));
    const auto sent = calls(Sim::Call::Ioctl);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2].bytes, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(sent[3].path, "/dev/ubi0_1");
    EXPECT_EQ(sent[3].bytes, (std::vector<uint8_t>{0, 0, 0x60, 0, 0, 0, 0, 0}));
    volume.close();

    ASSERT_TRUE(volume.open("kernel"));
    EXPECT_TRUE(volume.beginUpdate(0));
    EXPECT_EQ(calls(Sim::Call::Ioctl).back().bytes, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(volume.write("", 0), 0);
    volume.close();
    EXPECT_EQ(volume.write(nullptr, 0), 0);
    EXPECT_EQ(volume.write("abc", 3), -1);
    EXPECT_EQ(volume.error(), EBADF);
    EXPECT_EQ(output.out() + output.err(), "");
    EXPECT_EQ(calls(Sim::Call::Write).size(), 1u);
}

TEST_F(UbiVolumeTest, ReaderReadsOnlyAFinishedVolume) {
    char buffer[16];
    Ubi::VolumeReader unopened(device);
    EXPECT_EQ(unopened.read(buffer, sizeof buffer), -1);
    EXPECT_FALSE(unopened.open("missing"));
    ASSERT_TRUE(volume.open("kernel_new"));
    ASSERT_TRUE(volume.beginUpdate(3));
    EXPECT_FALSE(Ubi::VolumeReader(device).open("kernel_new")) << "update running";
    ASSERT_EQ(volume.write("new", 3), 3);
    Ubi::VolumeReader reader(device);
    ASSERT_TRUE(reader.open("kernel_new"));
    EXPECT_EQ(calls(Sim::Call::Open).back().request, static_cast<unsigned long>(O_RDONLY));
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "new");
}

} // namespace
