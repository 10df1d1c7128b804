#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "OutputCapture.h"
#include "common/linuxFlash/Ubi.h"
#include "common/linuxFlash/UbiRequests.h"
#include "sim/Simulator.h"

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
        ubi_mkvol_req request;
        memset(&request, 0, sizeof request);
        request.vol_id = volId;
        request.alignment = 1;
        request.bytes = 1;
        request.vol_type = UBI_STATIC_VOLUME;
        request.name_len = static_cast<int16_t>(name.size());
        memcpy(request.name, name.data(), name.size());
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

    std::map<std::string, int> names() const {
        std::map<std::string, int> result;
        for (const auto& volume : sim.volumes(0)) {
            result[volume.name] = volume.id;
        }
        return result;
    }

    int lookup(const std::string& name) {
        int volId = -7;
        return device.findUbiVolumeId(name, volId) ? volId : -7;
    }

    Sim::Simulator sim;
    Ubi::Device device{sim};
};

class UbiDeviceLookup : public UbiDeviceTest {};

TEST_F(UbiDeviceLookup, InitOpensTheDeviceOfThePartition) {
    OutputCapture output;
    ASSERT_TRUE(device.init("NAND.ubi"));
    EXPECT_EQ(device.name(), "ubi0");
    const auto& last = sim.requests().back();
    EXPECT_EQ(last.kind, Sim::Call::Open);
    EXPECT_EQ(last.path, "/dev/ubi0");
    EXPECT_EQ(last.request, static_cast<unsigned long>(O_RDONLY));
    EXPECT_EQ(sim.openDescriptors(), 1u) << "the device keeps its handle";
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "");
}

// A partition that is unknown, has no device, or a board without the UBI module.
TEST_F(UbiDeviceLookup, InitFindsNoDevice) {
    EXPECT_FALSE(device.init("nand.ubi"));
    for (const auto& request : sim.requests()) {
        EXPECT_NE(request.kind, Sim::Call::OpenDirectory);
        EXPECT_EQ(request.path.rfind("/sys/class/mtd/", 0), 0u) << request.path;
    }
    EXPECT_FALSE(device.init("env"));
    EXPECT_EQ(device.name(), "");
    EXPECT_EQ(sim.openDescriptors(), 0u);
    sim.setUbiModuleLoaded(false);
    EXPECT_FALSE(device.init("NAND.ubi"));
    EXPECT_EQ(device.name(), "");
    int ubiId = 9;
    EXPECT_FALSE(Ubi::Device::findUbiDeviceId(2, ubiId, sim));
    EXPECT_EQ(ubiId, 9);
}

TEST_F(UbiDeviceLookup, DeviceOfEachPartition) {
    sim.attachUbi(0, kLeb, 10);
    int ubiId = -1;
    EXPECT_TRUE(Ubi::Device::findUbiDeviceId(2, ubiId, sim));
    EXPECT_EQ(ubiId, 0);
    EXPECT_TRUE(Ubi::Device::findUbiDeviceId(0, ubiId, sim));
    EXPECT_EQ(ubiId, 1);
    ubiId = 9;
    EXPECT_FALSE(Ubi::Device::findUbiDeviceId(1, ubiId, sim));
    EXPECT_EQ(ubiId, 9);
    ASSERT_TRUE(device.init("bootloader"));
    EXPECT_EQ(device.name(), "ubi1");
    EXPECT_EQ(sim.openDescriptors(), 1u);
}

TEST_F(UbiDeviceLookup, DeviceNodeThatCannotBeOpened) {
    unsigned opens = 0;
    {
        Ubi::Device probe{sim};
        ASSERT_TRUE(probe.init("NAND.ubi"));
        EXPECT_EQ(sim.openDescriptors(), 1u);
        for (const auto& request : sim.requests()) {
            opens += request.kind == Sim::Call::Open ? 1 : 0;
        }
    }
    sim.failCall(Sim::Call::Open, opens, EACCES);
    EXPECT_FALSE(device.init("NAND.ubi"));
    EXPECT_EQ(device.name(), "");
    EXPECT_EQ(sim.requests().back().path, "/dev/ubi0");
    EXPECT_EQ(sim.openDescriptors(), 0u) << "the probe's destructor closed its handle";
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
    for (const auto& request : sim.requests()) {
        if (request.kind == Sim::Call::Read) {
            EXPECT_EQ(request.count, 128u);
        }
    }
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

TEST_F(UbiVolumeLookup, IdsByName) {
    EXPECT_EQ(lookup("kernel"), 0);
    EXPECT_EQ(lookup("kernel_new"), 3);
    EXPECT_EQ(lookup("kernel_ne"), -7);
    EXPECT_EQ(lookup("Kernel"), -7);
    EXPECT_EQ(lookup(""), -7);
    OutputCapture output;
    EXPECT_TRUE(device.volumeExists("kernel_new"));
    EXPECT_FALSE(device.volumeExists("rootfs"));
    EXPECT_EQ(output.out(), "volumeExists(kernel_new) ->true\nvolumeExists(rootfs) ->false\n");
    EXPECT_EQ(output.err(), "");
    EXPECT_EQ(sim.openDescriptors(), 1u);
}

TEST_F(UbiVolumeLookup, DeviceDirectoryGone) {
    sim.setUbiModuleLoaded(false);
    sim.clearRequests();
    OutputCapture output;
    EXPECT_FALSE(device.volumeExists("kernel"));
    EXPECT_FALSE(device.deleteVolume("kernel"));
    EXPECT_FALSE(device.renameVolumes({{"kernel", "kernel_prev"}}));
    EXPECT_EQ(output.out(), "volumeExists(kernel) ->false\n");
    EXPECT_EQ(output.err(), "");
    EXPECT_TRUE(ioctls().empty());
}

TEST_F(UbiVolumeLookup, NameAttributeContents) {
    sim.setAttribute("/sys/class/ubi/ubi0_0/name", "kernel");
    EXPECT_EQ(lookup("kernel"), -7);
    EXPECT_EQ(lookup("kerne"), 0) << "the last byte is dropped, newline or not";
    const std::string longName(200, 'v');
    sim.setAttribute("/sys/class/ubi/ubi0_0/name", longName + "\n");
    EXPECT_EQ(lookup(longName.substr(0, 127)), 0);
    sim.setAttributeUnreadable("/sys/class/ubi/ubi0_0/name", EIO);
    EXPECT_EQ(lookup("kernel_new"), 3) << "an unreadable entry is passed over";
    sim.setAttribute("/sys/class/ubi/ubi0_3/name", "");
    EXPECT_EQ(lookup(""), -7) << "an empty attribute is passed over";
    EXPECT_EQ(sim.openDescriptors(), 1u);
}

TEST_F(UbiVolumeLookup, FirstMatchInDirectoryOrderWins) {
    sim.setAttribute("/sys/class/ubi/ubi0_3/name", "kernel\n");
    int first = -1;
    auto listing = sim.openDirectory("/sys/class/ubi/ubi0");
    std::string entry;
    while (first < 0 && listing->next(entry)) {
        if (entry == "ubi0_0" || entry == "ubi0_3") {
            first = entry == "ubi0_0" ? 0 : 3;
        }
    }
    EXPECT_EQ(lookup("kernel"), first);
}

TEST_F(UbiVolumeLookup, VolumeAttributes) {
    std::string value = "unchanged";
    EXPECT_TRUE(device.volumeAttribute("kernel_new", "upd_marker", value));
    EXPECT_EQ(value, "0");
    EXPECT_TRUE(device.volumeAttribute("kernel", "type", value));
    EXPECT_EQ(value, "static");
    sim.setAttribute("/sys/class/ubi/ubi0_3/data_bytes", "42");
    EXPECT_TRUE(device.volumeAttribute("kernel_new", "data_bytes", value));
    EXPECT_EQ(value, "42") << "only a newline is dropped";
    value = "unchanged";
    EXPECT_FALSE(device.volumeAttribute("kernel_new", "nosuch", value));
    EXPECT_FALSE(device.volumeAttribute("rootfs", "upd_marker", value));
    EXPECT_EQ(value, "unchanged");
}

class UbiDeviceRequests : public UbiDeviceTest {
protected:
    UbiDeviceRequests() {
        EXPECT_TRUE(device.init("NAND.ubi"));
        sim.clearRequests();
    }
};

TEST_F(UbiDeviceRequests, MakeVolumeSendsTheRecord) {
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
    std::string out, err;
    OutputCapture output;
    for (const Case& c : cases) {
        EXPECT_EQ(device.makeVolume(c.name, c.type, c.bytes), c.error.empty()) << c.name.size();
        out += "makeVolume(" + c.name + ")\n";
        err += c.error.empty() ? "" : "ioctl: " + c.error + "\n";
    }
    EXPECT_EQ(output.out(), out);
    EXPECT_EQ(output.err(), err);
    const auto sent = ioctls();
    ASSERT_EQ(sent.size(), std::size(cases));
    EXPECT_EQ(sent[0].request, 0x40986F00u);
    EXPECT_EQ(sent[0].path, "/dev/ubi0");
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, cases[i].record) << i;
    }
    EXPECT_EQ(names(),
              (std::map<std::string, int>{{"rootfs_new", 0}, {"kernel_new", 1}, {name127, 2}}));
    const auto volumes = sim.volumes(0);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].type, Sim::Simulator::kDynamic);
    EXPECT_EQ(volumes[0].reservedEbs, 290u);
    EXPECT_EQ(volumes[1].type, Sim::Simulator::kStatic);
}

TEST_F(UbiDeviceRequests, DeleteVolume) {
    sim.addVolume(0, "a", Sim::Simulator::kStatic, 1);
    sim.addVolume(0, "kernel_prev", Sim::Simulator::kStatic, 1);
    OutputCapture output;
    EXPECT_FALSE(device.deleteVolume("missing"));
    EXPECT_TRUE(ioctls().empty());
    EXPECT_TRUE(device.deleteVolume("kernel_prev"));
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "");
    ASSERT_EQ(ioctls().size(), 1u);
    EXPECT_EQ(ioctls()[0].request, 0x40046F01u);
    EXPECT_EQ(ioctls()[0].bytes, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(names(), (std::map<std::string, int>{{"a", 0}}));
}

// A rename that would remove an open volume reports like a refused delete.
TEST_F(UbiDeviceRequests, OpenVolumeRefusesDeleteAndRename) {
    sim.addVolume(0, "kernel", Sim::Simulator::kStatic, 1);
    sim.addVolume(0, "kernel_prev", Sim::Simulator::kStatic, 1);
    const int fd = sim.open("/dev/ubi0_1", O_RDONLY);
    OutputCapture output;
    EXPECT_FALSE(device.deleteVolume("kernel_prev"));
    EXPECT_FALSE(device.renameVolumes({{"kernel", "kernel_prev"}}));
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "deleteVolume: Device or resource busy\n"
                            "deleteVolume: Device or resource busy\n");
    EXPECT_EQ(names(), (std::map<std::string, int>{{"kernel", 0}, {"kernel_prev", 1}}));
    sim.close(fd);
}

TEST_F(UbiDeviceRequests, RenameRecordLayout) {
    sim.addVolume(0, "kernel", Sim::Simulator::kStatic, 1);
    sim.addVolume(0, "kernel_new", Sim::Simulator::kStatic, 1);
    sim.addVolume(0, "kernel_prev", Sim::Simulator::kStatic, 1);
    OutputCapture output;
    EXPECT_TRUE(device.renameVolumes({{"kernel", "kernel_prev"}, {"kernel_new", "kernel"}}));
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "");
    const auto sent = ioctls();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request, 0x51106F03u);
    Record expected;
    expected.le(2, 4).zeros(12);
    expected.le(0, 4).le(11, 2).zeros(2).text("kernel_prev", 128);
    expected.le(1, 4).le(6, 2).zeros(2).text("kernel", 128);
    expected.zeros(30 * 136);
    EXPECT_EQ(sent[0].bytes, expected.bytes());
    EXPECT_EQ(names(), (std::map<std::string, int>{{"kernel", 1}, {"kernel_prev", 0}}));
}

TEST_F(UbiDeviceRequests, RenameCounts) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::map<std::string, int> renamed;
    for (int i = 0; i < 33; ++i) {
        sim.addVolume(0, "v" + std::to_string(i), Sim::Simulator::kStatic, 1);
        pairs.emplace_back("v" + std::to_string(i), "w" + std::to_string(i));
        renamed["w" + std::to_string(i)] = i;
    }
    renamed.erase("w32");
    renamed["v32"] = 32;
    sim.clearRequests();
    EXPECT_FALSE(device.renameVolumes(pairs));
    EXPECT_TRUE(sim.requests().empty()) << "nothing looked up";
    pairs.pop_back();
    EXPECT_TRUE(device.renameVolumes(pairs));
    const auto sent = ioctls();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[0], 32);
    const size_t last = 16 + 31 * 136;
    EXPECT_EQ(sent[0].bytes[last], 31);
    EXPECT_EQ(std::string(sent[0].bytes.begin() + last + 8, sent[0].bytes.begin() + last + 11),
              "w31");
    EXPECT_EQ(names(), renamed);

    sim.clearRequests();
    EXPECT_TRUE(device.renameVolumes({}));
    ASSERT_EQ(ioctls().size(), 1u);
    EXPECT_EQ(ioctls()[0].bytes, std::vector<uint8_t>(4368, 0));
}

TEST_F(UbiDeviceRequests, RenameStopsBeforeTheKernel) {
    sim.addVolume(0, "kernel", Sim::Simulator::kStatic, 1);
    sim.addVolume(0, "devicetree", Sim::Simulator::kStatic, 1);
    OutputCapture output;
    EXPECT_FALSE(device.renameVolumes(
        {{"kernel", "kernel_prev"}, {"devicetree", "devicetree_prev"}, {"rootfs", "rootfs_prev"}}));
    EXPECT_FALSE(device.renameVolumes({{"kernel", std::string(128, 'n')}}));
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(output.err(), "");
    EXPECT_TRUE(ioctls().empty());
    EXPECT_EQ(names(), (std::map<std::string, int>{{"devicetree", 1}, {"kernel", 0}}));
    const std::string name127(127, 'n');
    EXPECT_TRUE(device.renameVolumes({{"kernel", name127}}));
    const auto sent = ioctls();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[20], 127);
    EXPECT_EQ(std::string(sent[0].bytes.begin() + 24, sent[0].bytes.begin() + 151), name127);
    EXPECT_EQ(sent[0].bytes[151], 0);
}

} // namespace
