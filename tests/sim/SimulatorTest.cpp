#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>

#include "common/linuxFlash/UbiRequests.h"
#include "sim/BoardFile.h"
#include "support/TempDirTest.h"

namespace {

constexpr unsigned kLeb = 1024;
constexpr int kStatic = Sim::Simulator::kStatic;
constexpr int kDynamic = Sim::Simulator::kDynamic;

// 0, or the errno the request failed with.
int deviceRequest(Sim::Simulator& sim, unsigned long request, void* argument) {
    const int fd = sim.open("/dev/ubi0", O_RDONLY);
    const int error = sim.ioctl(fd, request, argument) == 0 ? 0 : errno;
    sim.close(fd);
    return error;
}

int mkvol(Sim::Simulator& sim, const std::string& name, long long bytes) {
    ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(name, UBI_STATIC_VOLUME, bytes);
    return deviceRequest(sim, UBI_IOCMKVOL, &request);
}

int volup(Sim::Simulator& sim, int fd, long long bytes) {
    int64_t count = bytes;
    return sim.ioctl(fd, UBI_IOCVOLUP, &count) == 0 ? 0 : errno;
}

std::vector<uint8_t> bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + seed);
    }
    return data;
}

std::map<std::string, int> names(const Sim::Simulator& sim) {
    std::map<std::string, int> result;
    for (const auto& volume : sim.volumes(0)) {
        result[volume.name] = volume.id;
    }
    return result;
}

std::string attribute(Sim::Simulator& sim, const std::string& path) {
    const int fd = sim.open(path.c_str(), O_RDONLY);
    char buffer[256];
    const ssize_t length = fd < 0 ? -1 : sim.read(fd, buffer, sizeof buffer);
    const std::string text = length < 0 ? strerror(errno) : std::string(buffer, length);
    sim.close(fd);
    return text;
}

void makeBoard(Sim::Simulator& sim) {
    sim.addMtd("bootloader");
    sim.attachUbi(sim.addMtd("NAND.ubi"), kLeb, 64);
}

class SimulatorTest : public TempDirTest {
protected:
    SimulatorTest() { makeBoard(sim); }

    Sim::Simulator sim;
};

// An install's operations: rmvol kernel_prev (1), mkvol kernel_new (2), its update's start (3)
// and three writes of 2049 bytes in all (4-6: the first fills no eraseblock, the second one),
// the rename (7). A cut before operation n leaves what n - 1 operations did, a cut after it what
// n did; the old kernel stays whole.
TEST_F(SimulatorTest, PowerCutBeforeOrAfterEachOperationOfAnInstall) {
    const auto install = [](Sim::Simulator& board) {
        int32_t previous = 1;
        deviceRequest(board, UBI_IOCRMVOL, &previous);
        mkvol(board, "kernel_new", 3 * kLeb);
        const int fd = board.open("/dev/ubi0_1", O_RDWR);
        volup(board, fd, 2 * kLeb + 1);
        const std::vector<uint8_t> data = bytes(2 * kLeb + 1, 9);
        for (size_t at = 0; at < data.size(); at += 700) {
            board.write(fd, data.data() + at, std::min<size_t>(700, data.size() - at));
        }
        board.close(fd);
        ubi_rnvol_req request = {};
        request.count = 2;
        request.ents[0] = {0, 11, {}, "kernel_prev"};
        request.ents[1] = {1, 6, {}, "kernel"};
        deviceRequest(board, UBI_IOCRNVOL, &request);
    };
    const std::map<std::string, int> old = {{"kernel", 0}, {"kernel_prev", 1}};
    const std::map<std::string, int> removed = {{"kernel", 0}};
    const std::map<std::string, int> made = {{"kernel", 0}, {"kernel_new", 1}};
    const std::map<std::string, int> renamed = {{"kernel", 1}, {"kernel_prev", 0}};
    const struct {
        unsigned operation;
        bool after;
        std::map<std::string, int> names;
        bool marker = false; // volume 1's
        bool corrupted = false;
        unsigned long long dataBytes = 0;
        size_t onFlash = 0;
    } cuts[] = {
        {1, false, old, false, false, 0, 0},
        {1, true, removed},
        {2, false, removed},
        {2, true, made, false, false, 0, 0},
        {3, false, made, false, false, 0, 0},
        {3, true, made, true, false, 0, 0},
        {4, false, made, true, false, 0, 0},
        {4, true, made, true, false, 0, 0},
        {5, false, made, true, false, 0, 0},
        {5, true, made, true, true, 0, kLeb},
        {6, false, made, true, true, 0, kLeb},
        {6, true, made, false, false, 2 * kLeb + 1, 2 * kLeb + 1},
        {7, false, made, false, false, 2 * kLeb + 1, 2 * kLeb + 1},
        {7, true, renamed, false, false, 2 * kLeb + 1, 2 * kLeb + 1},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE((cut.after ? "after operation " : "before operation ") +
                     std::to_string(cut.operation));
        Sim::Simulator board;
        makeBoard(board);
        board.addVolume(0, "kernel", kStatic, kLeb, std::vector<uint8_t>(10, 1));
        board.addVolume(0, "kernel_prev", kStatic, kLeb);
        cut.after ? board.powerCutAfter(cut.operation) : board.powerCutBefore(cut.operation);
        install(board);
        EXPECT_TRUE(board.poweredOff());
        EXPECT_EQ(board.stateChangingOperations(), cut.operation - (cut.after ? 0 : 1));
        EXPECT_EQ(mkvol(board, "", 1), EINVAL) << "argument checks come first";
        EXPECT_EQ(mkvol(board, "other", 1), EROFS) << "read-only until reattached";
        EXPECT_EQ(attribute(board, "/sys/class/ubi/ubi0/mtd_num"), "1\n") << "reads work";

        board.reattach();
        EXPECT_FALSE(board.poweredOff());
        EXPECT_EQ(names(board), cut.names);
        const auto volumes = board.volumes(0);
        EXPECT_EQ(volumes.at(0).data, std::vector<uint8_t>(10, 1)) << "the old kernel";
        if (volumes.size() == 2) {
            EXPECT_EQ(volumes[1].updMarker, cut.marker);
            EXPECT_EQ(volumes[1].corrupted, cut.corrupted);
            EXPECT_EQ(volumes[1].dataBytes, cut.dataBytes);
            std::vector<uint8_t> onFlash = bytes(2 * kLeb + 1, 9);
            onFlash.resize(cut.onFlash);
            EXPECT_EQ(volumes[1].data, onFlash);
        }
        EXPECT_EQ(mkvol(board, "other", 1), 0);
    }
}

// A board is saved as its flash holds it: an update in progress as interrupted, with the
// attribute overrides; the live board goes on. A damaged board file is refused.
TEST_F(SimulatorTest, SavedBoardLoadsAsTheFlashHoldsIt) {
    const std::string oddName("odd name\x01\xff", 10);
    sim.addVolume(0, oddName, kStatic, 2 * kLeb, bytes(1500, 7));
    sim.addVolume(0, "rootfs", kDynamic, kLeb, bytes(10, 8));
    sim.addVolume(0, "updating", kStatic, kLeb);
    sim.setMtdNameAttribute(0, "abc");
    sim.setAttributeUnreadable("/sys/class/ubi/ubi0_1/name", EIO);
    const int fd = sim.open("/dev/ubi0_2", O_RDWR);
    ASSERT_EQ(volup(sim, fd, 20), 0);
    ASSERT_EQ(sim.write(fd, "half", 4), 4);
    std::string error;
    ASSERT_TRUE(Sim::saveBoard(sim, m_dir.string(), error)) << error;

    const std::unique_ptr<Sim::Simulator> loaded = Sim::loadBoard(m_dir.string(), error);
    ASSERT_NE(loaded, nullptr);
    const auto volumes = loaded->volumes(0);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].name, oddName);
    EXPECT_EQ(volumes[0].data, bytes(1500, 7));
    EXPECT_EQ(volumes[0].dataBytes, 1500u);
    EXPECT_EQ(volumes[1].data, bytes(10, 8));
    EXPECT_EQ(volumes[1].dataBytes, kLeb) << "a dynamic volume is all data";
    EXPECT_TRUE(volumes[2].updMarker);
    EXPECT_EQ(volumes[2].dataBytes, 0u);
    EXPECT_EQ(loaded->openDescriptors(), 0u);
    EXPECT_EQ(attribute(*loaded, "/sys/class/mtd/mtd0/name"), "abc");
    EXPECT_EQ(attribute(*loaded, "/sys/class/ubi/ubi0_1/name"), strerror(EIO));
    EXPECT_EQ(attribute(*loaded, "/sys/class/ubi/ubi0/max_vol_count"), "5\n");
    EXPECT_EQ(sim.write(fd, bytes(16, 0).data(), 16), 16) << "the live board's update goes on";

    // A board file that is not one, or has numbers no board can have, is refused; so is a data
    // file that is missing or larger than its volume.
    std::ifstream in(path("board.txt"));
    const std::string saved((std::istreambuf_iterator<char>(in)), {});
    const auto replaced = [&](const std::string& from, const char* to) {
        std::string text = saved;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, to != nullptr ? from.size() : text.find('\n', at) + 1 - at,
                            to != nullptr ? to : "");
    };
    const size_t line = saved.find("\nvolume 0 0 ") + 1;
    const auto volumeField = [&](int n, const char* value) {
        size_t at = line;
        for (int i = 0; i < n; ++i) {
            at = saved.find(' ', at) + 1;
        }
        return replaced(saved.substr(line, saved.find(' ', at) - line),
                        (saved.substr(line, at - line) + value).c_str());
    };
    const struct {
        const char* what;
        std::string text;
    } damages[] = {
        {"another format", replaced("vexil-sim-board 2", "vexil-sim-board 3")},
        {"an unknown line", replaced("ubi-module", "ubi-modules")},
        {"a name not in hex", replaced("mtd 0 x", "mtd 0 ")},
        {"an odd hex digit count", replaced("mtd 0 x", "mtd 0 x0")},
        {"an eraseblock size of 0", replaced("ubi 0 1 1024", "ubi 0 1 0")},
        {"a volume of no device", replaced("volume 0 0", "volume 3 0")},
        {"a field missing", replaced("volume 0 0 4 1 2 1500", "volume 0 0 4 1 2")},
        {"an attribute of no volume", replaced("volume 0 1 ", nullptr)},
        {"an id beyond the volume table", volumeField(2, "99999")},
        {"more eraseblocks than the device has", volumeField(5, "99999")},
        {"more bytes than the volume holds", volumeField(6, "99999999999999")},
        {"an update larger than the volume", volumeField(10, "99999999")},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::ofstream(path("board.txt"), std::ios::trunc) << damage.text;
        EXPECT_EQ(Sim::loadBoard(m_dir.string(), error), nullptr);
        EXPECT_NE(error, "");
    }
    std::ofstream(path("board.txt"), std::ios::trunc) << saved;
    const size_t data = saved.find(' ', saved.find(" x", line) + 1) + 1;
    const std::filesystem::path dataFile = path(saved.substr(data, saved.find('\n', data) - data));
    std::filesystem::resize_file(dataFile, 0);
    ASSERT_NE(Sim::loadBoard(m_dir.string(), error), nullptr) << "an empty data file";
    std::filesystem::resize_file(dataFile, 2 * kLeb + 1);
    EXPECT_EQ(Sim::loadBoard(m_dir.string(), error), nullptr) << "data larger than its volume";
    std::filesystem::remove(dataFile);
    EXPECT_EQ(Sim::loadBoard(m_dir.string(), error), nullptr) << "a data file missing";
    std::filesystem::remove(path("board.txt"));
    EXPECT_EQ(Sim::loadBoard(m_dir.string(), error), nullptr) << "no board";
}

} // namespace
