#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "OutputCapture.h"
#include "common/linuxFlash/Ubi.h"
#include "sim/Simulator.h"

namespace {

constexpr unsigned kLeb = 126976;
constexpr unsigned kChunk = 65536;

// The trace line of a WARNING in area "Ubi" from Ubi.cpp: in yellow, the 40-character header
// ("[Ubi]", one space, 18 fill spaces, "Ubi.cpp:NNN", " <W> "), the text, CR LF, then the reset.
std::string warning(int line, const std::string& text) {
    const std::string header =
        "[Ubi]" + std::string(1 + 18, ' ') + "Ubi.cpp:" + std::to_string(line) + " <W> ";
    return "\x1b[1;33m" + header + text + "\r\n\x1b[m";
}

std::vector<uint8_t> pattern(size_t size, unsigned seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>((i * 13 + seed + i / 4099) & 0xFF);
    }
    return data;
}

class UbiVolumeTest : public ::testing::Test {
protected:
    UbiVolumeTest() {
        sim.addMtd("bootloader");
        sim.addMtd("NAND.ubi");
        sim.attachUbi(1, kLeb, 1000);
        sim.addVolume(0, "kernel", Sim::Simulator::kStatic, 6291456, pattern(100, 1));
        sim.addVolume(0, "kernel_new", Sim::Simulator::kStatic, 6291456);
        sim.addVolume(0, "rootfs_new", Sim::Simulator::kDynamic, 3 * kLeb);
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

    std::string attribute(const std::string& volumeName, const std::string& name) {
        std::string value;
        return device.volumeAttribute(volumeName, name, value) ? value : "(none)";
    }

    // Reads the volume back through its node, read-only, as the installer's check does.
    std::vector<uint8_t> readBack(const std::string& name, size_t limit) {
        std::vector<uint8_t> data;
        std::vector<uint8_t> buffer(kChunk);
        Ubi::VolumeReader reader(device);
        EXPECT_TRUE(reader.open(name));
        int length;
        while (data.size() < limit && (length = reader.read(buffer.data(), kChunk)) > 0) {
            data.insert(data.end(), buffer.begin(), buffer.begin() + length);
        }
        return data;
    }

    Sim::Simulator sim;
    Ubi::Device device{sim};
    Ubi::Volume volume{device};
};

TEST_F(UbiVolumeTest, OpenFindsTheNodeOfTheName) {
    OutputCapture output;
    EXPECT_TRUE(volume.open("rootfs_new"));
    EXPECT_EQ(output.out(), "open: rootfs_new\n");
    EXPECT_EQ(output.err(), "");
    const auto opens = calls(Sim::Call::Open);
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens.back().path, "/dev/ubi0_2");
    EXPECT_EQ(opens.back().request, static_cast<unsigned long>(O_RDWR));
    EXPECT_EQ(sim.openDescriptors(), 2u);
}

TEST_F(UbiVolumeTest, OpenOfAMissingNameWarnsFromLine381) {
    ASSERT_EQ(warning(381, "").size(), 7 + 40 + 2 + 3);
    OutputCapture output;
    EXPECT_FALSE(volume.open("nosuch"));
    EXPECT_EQ(output.out(), "open: nosuch\n" + warning(381, "failed to find volume"));
    EXPECT_EQ(output.err(), "");
    EXPECT_TRUE(calls(Sim::Call::Ioctl).empty());
    volume.close();
    EXPECT_TRUE(calls(Sim::Call::Close).size() == calls(Sim::Call::Open).size())
        << "nothing was left open, so close does nothing";
}

TEST_F(UbiVolumeTest, OpenOfABusyNodeWarnsFromLine388) {
    const int writer = sim.open("/dev/ubi0_1", O_RDWR);
    OutputCapture output;
    EXPECT_FALSE(volume.open("kernel_new"));
    EXPECT_EQ(volume.write("x", 1), -1) << "the object stays closed";
    EXPECT_EQ(output.out(), "open: kernel_new\n" + warning(388, "failed to open volume"));
    EXPECT_EQ(output.err(), "write: Bad file descriptor\n");
    EXPECT_EQ(calls(Sim::Call::Open).back().error, EBUSY);
    sim.close(writer);
}

TEST_F(UbiVolumeTest, CloseClosesOnce) {
    ASSERT_TRUE(volume.open("kernel_new"));
    volume.close();
    volume.close();
    EXPECT_EQ(calls(Sim::Call::Close).size(), calls(Sim::Call::Open).size());
    EXPECT_EQ(sim.openDescriptors(), 1u) << "only the device's handle";
    {
        Ubi::Volume scopedVolume(device);
        ASSERT_TRUE(scopedVolume.open("kernel"));
        EXPECT_EQ(sim.openDescriptors(), 2u);
    }
    EXPECT_EQ(sim.openDescriptors(), 1u) << "the destructor closed it";
}

TEST_F(UbiVolumeTest, BeginUpdateSendsTheCount) {
    ASSERT_TRUE(volume.open("kernel_new"));
    EXPECT_TRUE(volume.beginUpdate(6291456));
    const auto sent = calls(Sim::Call::Ioctl);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request, 0x40084F00u);
    EXPECT_EQ(sent[0].path, "/dev/ubi0_1");
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{0, 0, 0x60, 0, 0, 0, 0, 0}));
    EXPECT_EQ(attribute("kernel_new", "upd_marker"), "1");
}

TEST_F(UbiVolumeTest, BeginUpdateFailuresPrintNothing) {
    OutputCapture output;
    EXPECT_FALSE(volume.beginUpdate(10)) << "closed";
    ASSERT_TRUE(volume.open("kernel_new"));
    EXPECT_FALSE(volume.beginUpdate(50LL * kLeb + 1)) << "beyond the reserved size";
    EXPECT_FALSE(volume.beginUpdate(-1));
    EXPECT_EQ(output.out(), "open: kernel_new\n");
    EXPECT_EQ(output.err(), "");
}

TEST_F(UbiVolumeTest, EmptyUpdateAndEmptyWrites) {
    ASSERT_TRUE(volume.open("kernel"));
    EXPECT_TRUE(volume.beginUpdate(0));
    EXPECT_EQ(calls(Sim::Call::Ioctl).back().bytes, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(attribute("kernel", "data_bytes"), "0");
    EXPECT_EQ(attribute("kernel", "upd_marker"), "0");
    sim.clearRequests();
    OutputCapture output;
    EXPECT_EQ(volume.write("", 0), 0) << "the kernel would refuse it with EPERM";
    volume.close();
    EXPECT_EQ(volume.write(nullptr, 0), 0);
    EXPECT_EQ(output.err(), "");
    EXPECT_TRUE(calls(Sim::Call::Write).empty());
}

TEST_F(UbiVolumeTest, WriteOnAClosedObject) {
    OutputCapture output;
    EXPECT_EQ(volume.write("abc", 3), -1);
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "write: Bad file descriptor\n");
}

TEST_F(UbiVolumeTest, StaticUpdateWithAwkwardPieces) {
    const std::vector<uint8_t> data = pattern(100000, 2);
    ASSERT_TRUE(volume.open("kernel_new"));
    ASSERT_TRUE(volume.beginUpdate(static_cast<long long>(data.size())));
    OutputCapture output;
    EXPECT_EQ(volume.write(data.data(), 1), 1);
    EXPECT_EQ(volume.write(data.data() + 1, kChunk), static_cast<int>(kChunk));
    EXPECT_EQ(volume.write(data.data() + 1 + kChunk, 7), 7);
    std::vector<uint8_t> last(data.begin() + 8 + kChunk, data.end());
    last.resize(kChunk, 0xEE);
    EXPECT_EQ(volume.write(last.data(), kChunk), 34456) << "only the bytes still needed";
    EXPECT_EQ(volume.write(data.data(), 1), -1) << "the update is complete";
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "write: Operation not permitted\n");
    EXPECT_EQ(attribute("kernel_new", "upd_marker"), "0");
    EXPECT_EQ(attribute("kernel_new", "data_bytes"), "100000");
    EXPECT_EQ(readBack("kernel_new", data.size() + 1), data);
}

TEST_F(UbiVolumeTest, KernelSizedBlockIn96Chunks) {
    const std::vector<uint8_t> data = pattern(6291456, 3);
    sim.setRecordPayloads(false);
    ASSERT_TRUE(volume.open("kernel_new"));
    ASSERT_TRUE(volume.beginUpdate(static_cast<long long>(data.size())));
    for (size_t at = 0; at < data.size(); at += kChunk) {
        ASSERT_EQ(volume.write(data.data() + at, kChunk), static_cast<int>(kChunk)) << at;
    }
    EXPECT_EQ(calls(Sim::Call::Write).size(), 96u);
    EXPECT_EQ(attribute("kernel_new", "upd_marker"), "0");
    EXPECT_EQ(sim.volumes(0).at(1).data, data);
}

TEST_F(UbiVolumeTest, DynamicVolumeReadsBackItsDataThen0xFF) {
    const std::vector<uint8_t> data = pattern(kLeb + 5, 4);
    ASSERT_TRUE(volume.open("rootfs_new"));
    ASSERT_TRUE(volume.beginUpdate(static_cast<long long>(data.size())));
    for (size_t at = 0; at < data.size(); at += kChunk) {
        const unsigned piece = static_cast<unsigned>(std::min<size_t>(kChunk, data.size() - at));
        ASSERT_EQ(volume.write(data.data() + at, piece), static_cast<int>(piece));
    }
    EXPECT_EQ(attribute("rootfs_new", "data_bytes"), std::to_string(3 * kLeb));
    std::vector<uint8_t> expected = data;
    expected.resize(3 * kLeb, 0xFF);
    EXPECT_EQ(readBack("rootfs_new", 3 * kLeb + 1), expected);
}

TEST_F(UbiVolumeTest, ReadsRefusedWhileUnfinished) {
    OutputCapture output;
    char buffer[16];
    Ubi::VolumeReader unopened(device);
    EXPECT_EQ(unopened.read(buffer, sizeof buffer), -1) << "not open";
    EXPECT_FALSE(unopened.open("missing"));
    ASSERT_TRUE(volume.open("kernel"));
    ASSERT_TRUE(volume.beginUpdate(1000));
    ASSERT_EQ(volume.write(buffer, sizeof buffer), 16);
    EXPECT_FALSE(Ubi::VolumeReader(device).open("kernel")) << "update running";
    volume.close();
    EXPECT_EQ(attribute("kernel", "upd_marker"), "1") << "closed before the last byte";
    {
        Ubi::VolumeReader marked(device);
        ASSERT_TRUE(marked.open("kernel"));
        EXPECT_EQ(marked.read(buffer, sizeof buffer), -1) << "marked";
        ASSERT_TRUE(volume.open("kernel"));
        EXPECT_FALSE(volume.beginUpdate(3)) << "a reader is still there";
        volume.close();
    }
    EXPECT_EQ(output.err(), "");
    ASSERT_TRUE(volume.open("kernel"));
    ASSERT_TRUE(volume.beginUpdate(3));
    EXPECT_EQ(volume.write("new", 3), 3);
    EXPECT_EQ(readBack("kernel", 16), std::vector<uint8_t>({'n', 'e', 'w'}));
}

TEST_F(UbiVolumeTest, OneObjectForVolumeAfterVolume) {
    for (const std::string name : {"kernel_new", "rootfs_new", "kernel"}) {
        volume.close();
        ASSERT_TRUE(volume.open(name)) << name;
        ASSERT_TRUE(volume.beginUpdate(4));
        EXPECT_EQ(volume.write("data", 4), 4);
    }
    volume.close();
    EXPECT_EQ(sim.openDescriptors(), 1u);
    for (const auto& info : sim.volumes(0)) {
        EXPECT_FALSE(info.updMarker) << info.name;
        EXPECT_EQ(std::string(info.data.begin(), info.data.end()), "data") << info.name;
    }
}

} // namespace
