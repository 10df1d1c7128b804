#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "common/linuxFlash/Ubi.h"
#include "common/linuxFlash/UbiRequests.h"
#include "sim/Simulator.h"
#include "support/FdCapture.h"

namespace {

constexpr unsigned kLeb = 126976;

// Little-endian record bytes, built field by field to check the layout independently.
class Record {
public:
    Record& le(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    Record& text(const std::string& bytes, size_t field) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return zeros(field - bytes.size());
    }
    Record& zeros(size_t count) {
        m_bytes.insert(m_bytes.end(), count, 0);
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

std::vector<uint8_t> mkvolRecord(const std::string& name, uint64_t bytes, int type) {
    return Record()
        .le(0xFFFFFFFF, 4)
        .le(1, 4)
        .le(bytes, 8)
        .le(static_cast<uint64_t>(type), 1)
        .le(0, 1)
        .le(name.size(), 2)
        .zeros(4)
        .text(name, 128)
        .bytes();
}

std::vector<uint8_t> rnvolRecord(const std::vector<std::pair<int, std::string>>& entries) {
    Record record;
    record.le(entries.size(), 4).zeros(12);
    for (const auto& [volId, name] : entries) {
        record.le(static_cast<uint32_t>(volId), 4).le(name.size(), 2).zeros(2).text(name, 128);
    }
    return record.zeros((32 - entries.size()) * 136).bytes();
}

// The trace line of a WARNING in area "Ubi" from Ubi.cpp: in yellow, the 40-character header
// ("[Ubi]", one space, 18 fill spaces, "Ubi.cpp:NNN", " <W> "), the text, CR LF, then the reset.
std::string warning(int line, const std::string& text) {
    const std::string header =
        "[Ubi]" + std::string(1 + 18, ' ') + "Ubi.cpp:" + std::to_string(line) + " <W> ";
    return "\x1b[1;33m" + header + text + "\r\n\x1b[m";
}

// NAND.ubi is mtd2 and carries ubi0, as on a board.
class UbiTest : public ::testing::Test {
protected:
    UbiTest() {
        sim.addMtd("bootloader");
        sim.addMtd("env");
        sim.attachUbi(sim.addMtd("NAND.ubi"), kLeb, 1000);
    }

    // A volume with a chosen id, made as mkvol makes it.
    void makeWithId(const std::string& name, int volId) {
        const int fd = sim.open("/dev/ubi0", O_RDONLY);
        ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(name, UBI_STATIC_VOLUME, 1);
        request.vol_id = volId;
        ASSERT_EQ(sim.ioctl(fd, UBI_IOCMKVOL, &request), 0);
        sim.close(fd);
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

    int lookup(const std::string& name) {
        int volId = -7;
        return device.findUbiVolumeId(name, volId) ? volId : -7;
    }

    Sim::Simulator sim;
    Ubi::Device device{sim};
};

// The device of the partition, kept open; a partition that is unknown or has no device, a board
// without the UBI module, or a node that cannot be opened leave it closed and nameless.
TEST_F(UbiTest, DeviceInit) {
    OutputCapture output;
    EXPECT_FALSE(device.init("nand.ubi"));
    for (const auto& request : sim.requests()) {
        EXPECT_EQ(request.path.rfind("/sys/class/mtd/", 0), 0u) << request.path;
    }
    EXPECT_FALSE(device.init("env"));
    EXPECT_EQ(device.name(), "");
    sim.attachUbi(0, kLeb, 10);
    int ubiId = 9;
    EXPECT_FALSE(Ubi::Device::findUbiDeviceId(1, ubiId, sim));
    EXPECT_EQ(ubiId, 9);
    EXPECT_TRUE(Ubi::Device::findUbiDeviceId(0, ubiId, sim));
    EXPECT_EQ(ubiId, 1);
    EXPECT_EQ(sim.openDescriptors(), 0u);
    {
        Ubi::Device other{sim};
        ASSERT_TRUE(other.init("bootloader"));
        EXPECT_EQ(other.name(), "ubi1");
    }
    sim.clearRequests();
    ASSERT_TRUE(device.init("NAND.ubi"));
    EXPECT_EQ(device.name(), "ubi0");
    EXPECT_EQ(calls(Sim::Call::Open).back().path, "/dev/ubi0");
    EXPECT_EQ(calls(Sim::Call::Open).back().request, static_cast<unsigned long>(O_RDONLY));
    EXPECT_EQ(sim.openDescriptors(), 1u) << "the device keeps its handle";

    Ubi::Device refused{sim};
    sim.failCall(Sim::Call::Open, unsigned(calls(Sim::Call::Open).size()), EACCES);
    EXPECT_FALSE(refused.init("NAND.ubi"));
    EXPECT_EQ(sim.requests().back().path, "/dev/ubi0");
    EXPECT_EQ(refused.name(), "");
    EXPECT_EQ(sim.openDescriptors(), 1u);
    sim.setUbiModuleLoaded(false);
    EXPECT_FALSE(refused.init("NAND.ubi"));
    EXPECT_EQ(refused.name(), "");
    EXPECT_EQ(output.out() + output.err(), "");
}

TEST_F(UbiTest, MtdNumContents) {
    const auto attachedTo = [this](const std::string& raw) {
        sim.setAttribute("/sys/class/ubi/ubi0/mtd_num", raw);
        int ubiId = -1;
        std::vector<int> matches;
        for (int mtd : {0, 2, 12}) {
            if (Ubi::Device::findUbiDeviceId(mtd, ubiId, sim)) {
                matches.push_back(mtd);
            }
        }
        return matches;
    };
    EXPECT_EQ(attachedTo("2\n"), std::vector<int>{2});
    EXPECT_EQ(attachedTo(" 12\n"), std::vector<int>{12});
    EXPECT_EQ(attachedTo("2x\n"), std::vector<int>{2});
    EXPECT_EQ(attachedTo("2"), std::vector<int>{0}) << "without newline the digit is dropped";
    EXPECT_EQ(attachedTo("abc\n"), std::vector<int>{0}) << "no number converts to 0";
    EXPECT_EQ(attachedTo(std::string(300, '9') + "\n"), std::vector<int>{});
    EXPECT_EQ(attachedTo("12" + std::string(126, ' ') + "\n"), std::vector<int>{12});
    sim.setAttributeUnreadable("/sys/class/ubi/ubi0/mtd_num", EIO);
    int ubiId = -1;
    EXPECT_FALSE(Ubi::Device::findUbiDeviceId(2, ubiId, sim));
    EXPECT_EQ(sim.openDescriptors(), 0u);
}

// Names are compared byte for byte, without the attribute's last byte, newline or not; an entry
// whose name is empty or unreadable is passed over. Values read keep all but a newline. Without
// the device's directory nothing is found and no request is made.
TEST_F(UbiTest, VolumeIdsAndAttributesByName) {
    makeWithId("kernel", 0);
    makeWithId("kernel_new", 3);
    ASSERT_TRUE(device.init("NAND.ubi"));
    OutputCapture output;
    EXPECT_EQ(lookup("kernel"), 0);
    EXPECT_EQ(lookup("kernel_new"), 3);
    for (const char* missing : {"kernel_ne", "Kernel", ""}) {
        EXPECT_EQ(lookup(missing), -7) << missing;
    }
    EXPECT_TRUE(device.volumeExists("kernel_new"));
    EXPECT_FALSE(device.volumeExists("rootfs"));
    std::string value = "unchanged";
    EXPECT_TRUE(device.volumeAttribute("kernel", "type", value));
    EXPECT_EQ(value, "static");
    sim.setAttribute("/sys/class/ubi/ubi0_3/data_bytes", "42");
    EXPECT_TRUE(device.volumeAttribute("kernel_new", "data_bytes", value));
    EXPECT_EQ(value, "42");
    value = "unchanged";
    EXPECT_FALSE(device.volumeAttribute("kernel_new", "nosuch", value));
    EXPECT_FALSE(device.volumeAttribute("rootfs", "upd_marker", value));
    EXPECT_EQ(value, "unchanged");

    sim.setAttribute("/sys/class/ubi/ubi0_0/name", "kernel");
    EXPECT_EQ(lookup("kernel"), -7);
    EXPECT_EQ(lookup("kerne"), 0);
    const std::string longName(200, 'v');
    sim.setAttribute("/sys/class/ubi/ubi0_0/name", longName + "\n");
    EXPECT_EQ(lookup(longName.substr(0, 127)), 0);
    sim.setAttributeUnreadable("/sys/class/ubi/ubi0_0/name", EIO);
    EXPECT_EQ(lookup("kernel_new"), 3);
    sim.setAttribute("/sys/class/ubi/ubi0_3/name", "");
    EXPECT_EQ(lookup(""), -7);
    EXPECT_EQ(sim.openDescriptors(), 1u);

    sim.setUbiModuleLoaded(false);
    sim.clearRequests();
    EXPECT_FALSE(device.volumeExists("kernel_new"));
    EXPECT_FALSE(device.deleteVolume("kernel_new"));
    EXPECT_FALSE(device.renameVolumes({{"kernel_new", "kernel_prev"}}));
    EXPECT_TRUE(calls(Sim::Call::Ioctl).empty());
    EXPECT_EQ(output.out() + output.err(), "") << "the device prints nothing";
}

// Create, delete and rename: what reaches the kernel, what the device says, and the names
// afterwards.
TEST(UbiDevice, CreateDeleteAndRename) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs many;
    std::vector<std::pair<int, std::string>> manyEntries;
    for (int i = 0; i < 33; ++i) {
        many.emplace_back("k" + std::to_string(i), "w" + std::to_string(i));
        manyEntries.emplace_back(i + 3, "w" + std::to_string(i));
    }
    const Pairs all32(many.begin(), many.end() - 1);
    manyEntries.pop_back();
    const std::string name127(127, 'n');
    const std::string huge = "short" + std::string(65536, 'c');
    std::vector<uint8_t> truncated = mkvolRecord(huge.substr(0, 128), 1, 4);
    truncated[18] = 5; // name_len is the length's low 16 bits
    truncated[19] = 0;
    using Call = std::function<bool(Ubi::Device&, Sim::Simulator&)>;
    const auto create = [](const std::string& name, int type, uint64_t bytes) -> Call {
        return [=](Ubi::Device& d, Sim::Simulator&) {
            return d.createVolume(name, static_cast<Ubi::VolumeType>(type), unsigned(bytes));
        };
    };
    struct Case {
        const char* name;
        Call call;
        int error;                   // error() after a false result
        std::vector<uint8_t> record; // the one request, when one is expected
        std::map<std::string, int> after;
    };
    // clang-format off
    const Case cases[] = {
        {"create a dynamic volume", create("rootfs_new", 0, 36700160), 0, mkvolRecord("rootfs_new", 36700160, 3), {{"rootfs_new", 36}}},
        {"create a static volume", create(name127, 1, 6291456), 0, mkvolRecord(name127, 6291456, 4), {{name127, 36}}},
        {"create with a name of 65541 bytes", create(huge, 1, 1), EINVAL, truncated, {}},
        {"create of an unknown type", create("other", 7, 1), EINVAL, mkvolRecord("other", 1, 0), {{"other", -1}}}, // goes as vol_type 0
        {"create of 4 GiB", create("huge", 0, 0xFFFFFFFFu), ENOSPC, mkvolRecord("huge", 0xFFFFFFFFu, 3), {{"huge", -1}}},
        {"delete", [](Ubi::Device& d, Sim::Simulator&) { return d.deleteVolume("kernel_prev"); }, 0, {0, 0, 0, 0}, {{"kernel", 1}, {"kernel_new", 2}, {"kernel_prev", -1}}},
        {"delete a missing volume", [](Ubi::Device& d, Sim::Simulator&) { return d.deleteVolume("missing"); }, ENOENT, {}, {}},
        {"rename", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", "kernel_prev"}, {"kernel_new", "kernel"}}); }, 0,
         rnvolRecord({{1, "kernel_prev"}, {2, "kernel"}}), {{"kernel", 2}, {"kernel_prev", 1}, {"kernel_new", -1}}},
        {"33 pairs", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes(many); }, E2BIG, {}, {{"k32", 35}}},
        {"32 pairs", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes(all32); }, 0, rnvolRecord(manyEntries), {{"w31", 34}, {"k32", 35}}},
        {"empty list", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({}); }, 0, rnvolRecord({}), {}},
        {"a missing name", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", "a"}, {"rootfs", "b"}}); }, ENOENT, {}, {{"kernel", 1}}},
        {"a new name of 128 bytes", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", std::string(128, 'n')}}); }, ENAMETOOLONG, {}, {{"kernel", 1}}},
        {"a new name of 127 bytes", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", name127}}); }, 0, rnvolRecord({{1, name127}}), {{name127, 1}}},
        {"delete of an open volume", [](Ubi::Device& d, Sim::Simulator& s) { s.open("/dev/ubi0_0", O_RDONLY); return d.deleteVolume("kernel_prev"); },
         EBUSY, {0, 0, 0, 0}, {{"kernel_prev", 0}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim::Simulator sim;
        sim.attachUbi(sim.addMtd("NAND.ubi"), kLeb, 1000);
        for (const char* name : {"kernel_prev", "kernel", "kernel_new"}) {
            sim.addVolume(0, name, Sim::kStatic, 1);
        }
        for (int i = 0; i < 33; ++i) {
            sim.addVolume(0, "k" + std::to_string(i), Sim::kStatic, 1);
        }
        Ubi::Device device{sim};
        ASSERT_TRUE(device.init("NAND.ubi"));
        sim.clearRequests();
        OutputCapture output;
        EXPECT_EQ(c.call(device, sim), c.error == 0);
        EXPECT_EQ(output.out() + output.err(), "");
        EXPECT_EQ(c.error == 0 ? 0 : device.error(), c.error);
        std::vector<std::vector<uint8_t>> sent;
        for (const auto& request : sim.requests()) {
            if (request.kind == Sim::Call::Ioctl) {
                sent.push_back(request.bytes);
            }
        }
        EXPECT_EQ(sent, c.record.empty() ? decltype(sent){} : decltype(sent){c.record});
        std::map<std::string, int> ids;
        for (const auto& volume : sim.volumes(0)) {
            ids[volume.name] = volume.id;
        }
        for (const auto& [name, id] : c.after) {
            EXPECT_EQ(ids.count(name) != 0 ? ids[name] : -1, id) << name;
        }
    }
}

class UbiVolumeTest : public UbiTest {
protected:
    UbiVolumeTest() {
        sim.addVolume(0, "kernel", Sim::kStatic, 6291456, {1, 2, 3});
        sim.addVolume(0, "kernel_new", Sim::kStatic, 6291456);
        sim.addVolume(0, "rootfs_new", Sim::kDynamic, 3 * kLeb);
        EXPECT_TRUE(device.init("NAND.ubi"));
        sim.clearRequests();
    }

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
