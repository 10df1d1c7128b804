#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
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

class UbiDeviceTest : public ::testing::Test {
protected:
    UbiDeviceTest() {
        sim.addMtd("bootloader");
        sim.addMtd("env");
        sim.addMtd("NAND.ubi");
        sim.attachUbi(2, kLeb, 1000);
    }

    // A volume with a chosen id, made as mkvol makes it.
    void makeWithId(const std::string& name, int volId) {
        const int fd = sim.open("/dev/ubi0", O_RDONLY);
        ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(name, UBI_STATIC_VOLUME, 1);
        request.vol_id = volId;
        ASSERT_EQ(sim.ioctl(fd, UBI_IOCMKVOL, &request), 0);
        sim.close(fd);
    }

    std::vector<Sim::Simulator::Request> ioctls() const {
        std::vector<Sim::Simulator::Request> found;
        for (const auto& request : sim.requests()) {
            if (request.kind == Sim::Call::Ioctl) {
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

class UbiDeviceLookup : public UbiDeviceTest {};

// The device of the partition, kept open; a partition that is unknown or has no device, a board
// without the UBI module, or a node that cannot be opened leave it closed and nameless.
TEST_F(UbiDeviceLookup, Init) {
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
    const auto& last = sim.requests().back();
    EXPECT_EQ(last.kind, Sim::Call::Open);
    EXPECT_EQ(last.path, "/dev/ubi0");
    EXPECT_EQ(last.request, static_cast<unsigned long>(O_RDONLY));
    EXPECT_EQ(sim.openDescriptors(), 1u) << "the device keeps its handle";

    const auto opens = std::count_if(sim.requests().begin(), sim.requests().end(),
                                     [](const auto& r) { return r.kind == Sim::Call::Open; });
    Ubi::Device refused{sim};
    sim.failCall(Sim::Call::Open, unsigned(opens), EACCES);
    EXPECT_FALSE(refused.init("NAND.ubi"));
    EXPECT_EQ(sim.requests().back().path, "/dev/ubi0");
    EXPECT_EQ(refused.name(), "");
    EXPECT_EQ(sim.openDescriptors(), 1u);
    sim.setUbiModuleLoaded(false);
    EXPECT_FALSE(refused.init("NAND.ubi"));
    EXPECT_EQ(refused.name(), "");
    EXPECT_EQ(output.out() + output.err(), "");
}

TEST_F(UbiDeviceLookup, MtdNumContents) {
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

class UbiVolumeLookup : public UbiDeviceTest {
protected:
    UbiVolumeLookup() {
        makeWithId("kernel", 0);
        makeWithId("kernel_new", 3);
        EXPECT_TRUE(device.init("NAND.ubi"));
    }
};

// Names are compared byte for byte, without the attribute's last byte, newline or not; an entry
// whose name is empty or unreadable is passed over. Values read keep all but a newline.
TEST_F(UbiVolumeLookup, IdsAndAttributesByName) {
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
    EXPECT_EQ(output.out() + output.err(), "") << "the device prints nothing";
}

// Without the device's directory nothing is found and no request is made.
TEST_F(UbiVolumeLookup, DeviceDirectoryGone) {
    sim.setUbiModuleLoaded(false);
    sim.clearRequests();
    OutputCapture output;
    EXPECT_FALSE(device.volumeExists("kernel"));
    EXPECT_FALSE(device.deleteVolume("kernel"));
    EXPECT_FALSE(device.renameVolumes({{"kernel", "kernel_prev"}}));
    EXPECT_EQ(output.out() + output.err(), "");
    EXPECT_TRUE(ioctls().empty());
}

class UbiDeviceRequests : public UbiDeviceTest {
protected:
    UbiDeviceRequests() {
        EXPECT_TRUE(device.init("NAND.ubi"));
        sim.clearRequests();
    }
};

TEST_F(UbiDeviceRequests, CreateVolumeSendsTheRecord) {
    const std::string name127(127, 'a');
    const std::string name128(128, 'b');
    const std::string huge = "short" + std::string(65536, 'c');
    std::vector<uint8_t> truncated = mkvolRecord(huge.substr(0, 128), 1, 4);
    truncated[18] = 5; // name_len is the length's low 16 bits
    truncated[19] = 0;
    struct Case {
        std::string name;
        Ubi::VolumeType type;
        uint64_t bytes;
        std::string error; // empty when made
        std::vector<uint8_t> record;
    };
    const Case cases[] = {
        {"rootfs_new", Ubi::VolumeType::Dynamic, 36700160, "",
         mkvolRecord("rootfs_new", 36700160, 3)},
        {"kernel_new", Ubi::VolumeType::Static, 6291456, "", mkvolRecord("kernel_new", 6291456, 4)},
        {name127, Ubi::VolumeType::Static, 1, "", mkvolRecord(name127, 1, 4)},
        {name128, Ubi::VolumeType::Static, 1, "File name too long", mkvolRecord(name128, 1, 4)},
        {huge, Ubi::VolumeType::Static, 1, "Invalid argument", truncated},
        {"kernel_new", Ubi::VolumeType::Static, 1, "File exists", mkvolRecord("kernel_new", 1, 4)},
        {"other", static_cast<Ubi::VolumeType>(7), 1, "Invalid argument", // goes as vol_type 0
         mkvolRecord("other", 1, 0)},
        {"huge", Ubi::VolumeType::Dynamic, 0xFFFFFFFFu, "No space left on device",
         mkvolRecord("huge", 0xFFFFFFFFu, 3)},
    };
    for (const Case& c : cases) {
        const bool made = device.createVolume(c.name, c.type, c.bytes);
        EXPECT_EQ(made ? "" : strerror(device.error()), c.error) << c.name.size();
    }
    const auto sent = ioctls();
    ASSERT_EQ(sent.size(), std::size(cases));
    EXPECT_EQ(sent[0].path, "/dev/ubi0");
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, cases[i].record) << i;
    }
}

std::vector<uint8_t> rnvolRecord(const std::vector<std::pair<int, std::string>>& entries) {
    Record record;
    record.le(entries.size(), 4).zeros(12);
    for (const auto& [volId, name] : entries) {
        record.le(static_cast<uint32_t>(volId), 4).le(name.size(), 2).zeros(2).text(name, 128);
    }
    return record.zeros((32 - entries.size()) * 136).bytes();
}

// Delete and rename: what reaches the kernel, what the device says, and the names afterwards.
TEST(UbiDeviceRenames, DeleteAndRename) {
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
    using Call = std::function<bool(Ubi::Device&, Sim::Simulator&)>;
    struct Case {
        const char* name;
        Call call;
        int error;                   // error() after a false result
        std::vector<uint8_t> record; // the one request, when one is expected
        std::string err;
        std::map<std::string, int> after;
    };
    // clang-format off
    const Case cases[] = {
        {"delete", [](Ubi::Device& d, Sim::Simulator&) { return d.deleteVolume("kernel_prev"); }, 0, {0, 0, 0, 0}, "", {{"kernel", 1}, {"kernel_new", 2}, {"kernel_prev", -1}}},
        {"delete a missing volume", [](Ubi::Device& d, Sim::Simulator&) { return d.deleteVolume("missing"); }, ENOENT, {}, "", {}},
        {"rename", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", "kernel_prev"}, {"kernel_new", "kernel"}}); }, 0,
         rnvolRecord({{1, "kernel_prev"}, {2, "kernel"}}), "", {{"kernel", 2}, {"kernel_prev", 1}, {"kernel_new", -1}}},
        {"33 pairs", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes(many); }, E2BIG, {}, "", {{"k32", 35}}},
        {"32 pairs", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes(all32); }, 0, rnvolRecord(manyEntries), "", {{"w31", 34}, {"k32", 35}}},
        {"empty list", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({}); }, 0, rnvolRecord({}), "", {}},
        {"a missing name", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", "a"}, {"rootfs", "b"}}); }, ENOENT, {}, "", {{"kernel", 1}}},
        {"a new name of 128 bytes", [](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", std::string(128, 'n')}}); }, ENAMETOOLONG, {}, "", {{"kernel", 1}}},
        {"a new name of 127 bytes", [&](Ubi::Device& d, Sim::Simulator&) { return d.renameVolumes({{"kernel", name127}}); }, 0, rnvolRecord({{1, name127}}), "", {{name127, 1}}},
        {"delete of an open volume", [](Ubi::Device& d, Sim::Simulator& s) { s.open("/dev/ubi0_0", O_RDONLY); return d.deleteVolume("kernel_prev"); },
         EBUSY, {0, 0, 0, 0}, "", {{"kernel_prev", 0}}},
        {"rename over an open volume", [](Ubi::Device& d, Sim::Simulator& s) { s.open("/dev/ubi0_0", O_RDONLY); return d.renameVolumes({{"kernel", "kernel_prev"}}); },
         EBUSY, rnvolRecord({{1, "kernel_prev"}}), "", {{"kernel", 1}, {"kernel_prev", 0}}},
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
        EXPECT_EQ(output.out(), "");
        EXPECT_EQ(output.err(), c.err);
        if (c.error != 0) {
            EXPECT_EQ(device.error(), c.error);
        }
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

} // namespace
