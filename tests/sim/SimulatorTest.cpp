#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/linuxFlash/UbiRequests.h"
#include "sim/BoardFile.h"

namespace {

constexpr unsigned kLeb = 1024;

int deviceRequest(Sim::Simulator& board, unsigned long request, void* argument) {
    const int fd = board.open("/dev/ubi0", O_RDONLY);
    const int result = board.ioctl(fd, request, argument);
    const int error = errno;
    board.close(fd);
    errno = error;
    return result;
}

int mkvol(Sim::Simulator& board, const std::string& name, long long bytes) {
    ubi_mkvol_req request;
    memset(&request, 0, sizeof request);
    request.vol_id = UBI_VOL_NUM_AUTO;
    request.alignment = 1;
    request.bytes = bytes;
    request.vol_type = UBI_STATIC_VOLUME;
    request.name_len = static_cast<int16_t>(name.size());
    memcpy(request.name, name.data(), name.size());
    return deviceRequest(board, UBI_IOCMKVOL, &request) == 0 ? request.vol_id : -1;
}

int rmvol(Sim::Simulator& board, int volId) {
    int32_t id = volId;
    return deviceRequest(board, UBI_IOCRMVOL, &id);
}

int rename(Sim::Simulator& board, const std::vector<std::pair<int, std::string>>& pairs) {
    ubi_rnvol_req request;
    memset(&request, 0, sizeof request);
    request.count = static_cast<int32_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        request.ents[i].vol_id = pairs[i].first;
        request.ents[i].name_len = static_cast<int16_t>(pairs[i].second.size());
        memcpy(request.ents[i].name, pairs[i].second.data(), pairs[i].second.size());
    }
    return deviceRequest(board, UBI_IOCRNVOL, &request);
}

int volup(Sim::Simulator& board, int fd, long long bytes) {
    int64_t count = bytes;
    return board.ioctl(fd, UBI_IOCVOLUP, &count);
}

std::vector<uint8_t> bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + seed);
    }
    return data;
}

std::map<std::string, int> names(const Sim::Simulator& board) {
    std::map<std::string, int> result;
    for (const auto& volume : board.volumes(0)) {
        result[volume.name] = volume.id;
    }
    return result;
}

class SimulatorTest : public ::testing::Test {
protected:
    SimulatorTest() {
        sim.addMtd("bootloader");
        sim.addMtd("NAND.ubi");
        sim.attachUbi(1, kLeb, 64);
    }

    std::string attribute(const std::string& path) {
        const int fd = sim.open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            return "open: " + std::string(strerror(errno));
        }
        char buffer[256];
        const ssize_t length = sim.read(fd, buffer, sizeof buffer);
        const int error = errno;
        sim.close(fd);
        return length < 0 ? "read: " + std::string(strerror(error))
                          : std::string(buffer, static_cast<size_t>(length));
    }

    std::vector<std::string> list(const std::string& path) {
        std::vector<std::string> entries;
        auto directory = sim.openDirectory(path.c_str());
        std::string entry;
        while (directory && directory->next(entry)) {
            entries.push_back(entry);
        }
        return entries;
    }

    Sim::Simulator sim;
};

TEST_F(SimulatorTest, SysfsServesTheBoard) {
    EXPECT_EQ(attribute("/sys/class/mtd/mtd1/name"), "NAND.ubi\n");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/mtd_num"), "1\n");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/max_vol_count"), "5\n"); // 1024 / 172
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/eraseblock_size"), "1024\n");
    EXPECT_EQ(attribute("/sys/class/ubi/version"), "1\n");
    EXPECT_EQ(attribute("/sys/class/mtd/mtd2/name"), "open: No such file or directory");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/nosuch"), "open: No such file or directory");
    const std::string longName(40, 'x');
    EXPECT_EQ(attribute("/sys/class/mtd/mtd" + std::to_string(sim.addMtd(longName)) + "/name"),
              longName + "\n");

    EXPECT_EQ(sim.addVolume(0, "vol", Sim::Simulator::kDynamic, 1), 0);
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/volumes_count"), "1\n");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi1_0/name"), "open: No such file or directory");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/ubi1_0/name"), "open: No such file or directory");
}

TEST_F(SimulatorTest, DirectoriesListDotsFirstAndEveryEntryOnce) {
    sim.addVolume(0, "a", Sim::Simulator::kDynamic, 1);
    sim.addVolume(0, "b", Sim::Simulator::kDynamic, 1);
    std::vector<std::string> top = list("/sys/class/ubi");
    ASSERT_GE(top.size(), 2u);
    EXPECT_EQ(top[0], ".");
    EXPECT_EQ(top[1], "..");
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{".", "..", "ubi0", "ubi0_0", "ubi0_1", "version"}));
    std::vector<std::string> device = list("/sys/class/ubi/ubi0");
    EXPECT_EQ(std::count(device.begin(), device.end(), "ubi0_1"), 1);
    EXPECT_EQ(std::count(device.begin(), device.end(), "mtd_num"), 1);
    std::vector<std::string> mtds = list("/sys/class/mtd");
    std::sort(mtds.begin(), mtds.end());
    EXPECT_EQ(mtds, (std::vector<std::string>{".", "..", "mtd0", "mtd1"}));

    errno = 0;
    EXPECT_EQ(sim.openDirectory("/sys/class/ubi/ubi0/mtd_num"), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(sim.openDirectory("/sys/class/ubi/ubi7"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    sim.setUbiModuleLoaded(false);
    EXPECT_EQ(sim.openDirectory("/sys/class/ubi"), nullptr);
    EXPECT_EQ(sim.open("/dev/ubi0", O_RDONLY), -1);
    EXPECT_EQ(list("/sys/class"), (std::vector<std::string>{".", "..", "mtd"}));
}

TEST_F(SimulatorTest, OpenFollowsFileSemantics) {
    const int first = sim.open("/sys/class/ubi/ubi0/mtd_num", O_RDONLY);
    const int second = sim.open("/dev/ubi0", O_RDONLY);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(second, 4);
    EXPECT_EQ(sim.close(first), 0);
    EXPECT_EQ(sim.open("/sys/class/ubi", O_RDONLY), 3) << "lowest free descriptor";
    char byte;
    EXPECT_EQ(sim.read(3, &byte, 1), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(sim.open("/sys/class/ubi", O_RDWR), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(sim.open("/dev/ubi0", O_RDONLY | O_DIRECTORY), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(sim.close(99), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sim.ioctl(second, UBI_IOCMKVOL, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    sim.setUbiModuleLoaded(false);
    int32_t id = 0;
    EXPECT_EQ(sim.ioctl(second, UBI_IOCRMVOL, &id), -1);
    EXPECT_EQ(errno, ENODEV) << "device gone under an open handle";
}

TEST_F(SimulatorTest, AttributeTextIsMadeAtTheFirstRead) {
    const int volId = sim.addVolume(0, "before", Sim::Simulator::kStatic, 1);
    const int fd = sim.open("/sys/class/ubi/ubi0_0/name", O_RDONLY);
    char buffer[16];
    ASSERT_EQ(sim.read(fd, buffer, 3), 3);
    ASSERT_EQ(rename(sim, {{volId, "after"}}), 0);
    EXPECT_EQ(sim.read(fd, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ore\n");
    ASSERT_EQ(rmvol(sim, volId), 0);
    EXPECT_EQ(sim.read(fd, buffer, sizeof buffer), -1) << "text used up, owner gone";
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(sim.read(fd, buffer, 0), 0);
    sim.close(fd);
}

TEST_F(SimulatorTest, AttributeOverridesLastAsLongAsTheirOwner) {
    sim.setMtdNameAttribute(0, "abc");
    EXPECT_EQ(attribute("/sys/class/mtd/mtd0/name"), "abc");
    sim.setMtdAttributeUnreadable(1);
    EXPECT_EQ(attribute("/sys/class/mtd/mtd1/name"), "read: Input/output error");
    const int volId = sim.addVolume(0, "vol", Sim::Simulator::kStatic, 1);
    sim.setAttribute("/sys/class/ubi/ubi0/ubi0_0/upd_marker", "7");
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0_0/upd_marker"), "7") << "one node, two paths";
    ASSERT_EQ(rmvol(sim, volId), 0);
    sim.addVolume(0, "vol", Sim::Simulator::kStatic, 1);
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0_0/upd_marker"), "0\n");
    EXPECT_THROW(sim.setAttribute("/sys/class/ubi/ubi0_3/name", "x"), std::invalid_argument);
}

TEST_F(SimulatorTest, BoardSetUpRefusesMisuse) {
    EXPECT_THROW(sim.attachUbi(1, kLeb, 10), std::invalid_argument);
    EXPECT_THROW(sim.attachUbi(5, kLeb, 10), std::invalid_argument);
    EXPECT_THROW(sim.removeMtd(1), std::invalid_argument);
    EXPECT_THROW(sim.addVolume(0, "big", Sim::Simulator::kStatic, 65 * kLeb),
                 std::invalid_argument);
    EXPECT_THROW(sim.addVolume(0, "v", Sim::Simulator::kStatic, 1, bytes(kLeb + 1, 0)),
                 std::invalid_argument);
    sim.removeMtd(0);
    EXPECT_EQ(sim.addMtd("again"), 0u) << "lowest free number";
    EXPECT_EQ(sim.attachUbi(0, 172 * 200, 10), 1u);
    EXPECT_EQ(attribute("/sys/class/ubi/ubi1/max_vol_count"), "128\n");
}

TEST_F(SimulatorTest, AddedVolumesHoldTheirData) {
    const int stat = sim.addVolume(0, "s", Sim::Simulator::kStatic, 3000, bytes(2500, 1));
    const int dyn = sim.addVolume(0, "d", Sim::Simulator::kDynamic, 3000, bytes(10, 2));
    const auto volumes = sim.volumes(0);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[stat].dataBytes, 2500u);
    EXPECT_EQ(volumes[stat].reservedEbs, 3u);
    EXPECT_EQ(volumes[dyn].dataBytes, 3u * kLeb);
    EXPECT_EQ(volumes[dyn].data, bytes(10, 2));
    const int fd = sim.open("/dev/ubi0_1", O_RDONLY);
    std::vector<uint8_t> read(20);
    ASSERT_EQ(sim.read(fd, read.data(), read.size()), 20);
    std::vector<uint8_t> expected = bytes(10, 2);
    expected.resize(20, 0xFF);
    EXPECT_EQ(read, expected);
}

TEST_F(SimulatorTest, RequestsRecordWhatWasSentAndGot) {
    sim.addVolume(0, "vol", Sim::Simulator::kStatic, 100, bytes(5, 3));
    sim.clearRequests();
    const int fd = sim.open("/dev/ubi0_0", O_RDWR);
    std::vector<uint8_t> buffer(8);
    sim.read(fd, buffer.data(), buffer.size());
    volup(sim, fd, 2);
    sim.write(fd, "xyz", 3);
    sim.close(fd);
    const auto& requests = sim.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].kind, Sim::Call::Open);
    EXPECT_EQ(requests[0].request, static_cast<unsigned long>(O_RDWR));
    EXPECT_EQ(requests[0].result, fd);
    EXPECT_EQ(requests[1].kind, Sim::Call::Read);
    EXPECT_EQ(requests[1].count, 8u);
    EXPECT_EQ(requests[1].bytes, bytes(5, 3));
    EXPECT_EQ(requests[2].request, UBI_IOCVOLUP);
    EXPECT_EQ(requests[2].bytes, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[3].bytes, (std::vector<uint8_t>{'x', 'y', 'z'}));
    EXPECT_EQ(requests[3].result, 2);
    EXPECT_EQ(requests[3].path, "/dev/ubi0_0");
    EXPECT_EQ(requests[4].kind, Sim::Call::Close);
    sim.setRecordPayloads(false);
    sim.clearRequests();
    EXPECT_EQ(sim.write(fd, "a", 1), -1);
    EXPECT_EQ(sim.requests().at(0).error, EBADF);
    EXPECT_TRUE(sim.requests().at(0).bytes.empty());
}

TEST_F(SimulatorTest, InjectedFailuresHitTheNthCallOfTheirKind) {
    sim.failCall(Sim::Call::Open, 2, EMFILE);
    EXPECT_GE(sim.open("/dev/ubi0", O_RDONLY), 0);
    EXPECT_EQ(sim.open("/dev/ubi0", O_RDONLY), -1);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_GE(sim.open("/dev/ubi0", O_RDONLY), 0);

    sim.failCall(Sim::Call::Ioctl, 1, EIO, UBI_IOCMKVOL);
    int32_t missing = 4;
    EXPECT_EQ(deviceRequest(sim, UBI_IOCRMVOL, &missing), -1);
    EXPECT_EQ(errno, ENODEV) << "other requests pass";
    EXPECT_EQ(mkvol(sim, "vol", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(sim.volumes(0).empty()) << "a failed call has no effect";
    EXPECT_EQ(mkvol(sim, "vol", 1), 0);

    const int fd = sim.open("/dev/ubi0_0", O_RDWR);
    sim.failCall(Sim::Call::Close, 1, EINTR);
    EXPECT_EQ(sim.close(fd), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_GE(sim.open("/dev/ubi0_0", O_RDWR), 0) << "the failed close freed the writer";

    sim.failCall(Sim::Call::OpenDirectory, 1, EACCES);
    EXPECT_EQ(sim.openDirectory("/sys/class/ubi"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_THROW(sim.failCall(Sim::Call::Read, 0, EIO), std::invalid_argument);
}

TEST_F(SimulatorTest, PowerCutBeforeMkvolLeavesNoVolume) {
    sim.powerCutBefore(1);
    EXPECT_EQ(mkvol(sim, "vol", 1), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(mkvol(sim, "other", 1), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(mkvol(sim, "", 1), -1);
    EXPECT_EQ(errno, EINVAL) << "argument checks come before the read-only test";
    EXPECT_EQ(attribute("/sys/class/ubi/ubi0/mtd_num"), "1\n") << "reads still work";
    EXPECT_EQ(sim.stateChangingOperations(), 0u);
    sim.reattach();
    EXPECT_TRUE(sim.volumes(0).empty());
    EXPECT_EQ(mkvol(sim, "vol", 1), 0);
    EXPECT_EQ(sim.stateChangingOperations(), 1u);
}

// A cut before an operation leaves it undone. A cut after it fails the call yet leaves the
// change on flash, as on the kernel when the cut hits the second copy of the volume table.
TEST_F(SimulatorTest, PowerCutBeforeOrAfterAnOperation) {
    const int a = mkvol(sim, "kernel", 1);
    const int b = mkvol(sim, "kernel_new", 1);
    mkvol(sim, "kernel_prev", 1);
    sim.powerCutBefore(1);
    EXPECT_EQ(rename(sim, {{a, "kernel_prev"}, {b, "kernel"}}), -1);
    EXPECT_EQ(errno, EROFS);
    sim.reattach();
    EXPECT_EQ(names(sim),
              (std::map<std::string, int>{{"kernel", 0}, {"kernel_new", 1}, {"kernel_prev", 2}}));

    sim.powerCutAfter(1);
    EXPECT_EQ(rename(sim, {{a, "kernel_prev"}, {b, "kernel"}}), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(mkvol(sim, "other", 1), -1) << "read-only after the cut";
    EXPECT_EQ(errno, EROFS);
    sim.reattach();
    EXPECT_EQ(names(sim), (std::map<std::string, int>{{"kernel", 1}, {"kernel_prev", 0}}));
    sim.powerCutAfter(1);
    EXPECT_EQ(mkvol(sim, "made", 1), -1);
    EXPECT_EQ(errno, EROFS);
    sim.reattach();
    sim.powerCutAfter(1);
    EXPECT_EQ(rmvol(sim, a), -1);
    EXPECT_EQ(errno, EROFS);
    sim.reattach();
    EXPECT_EQ(names(sim), (std::map<std::string, int>{{"kernel", 1}, {"made", 2}}));
}

// Only the eraseblocks that reached the flash count after a reattach.
TEST_F(SimulatorTest, InterruptedStaticUpdates) {
    struct Case {
        const char* what;
        long long size;
        std::vector<size_t> writes;
        unsigned cutBefore, cutAfter; // neither: the handle is closed instead
        bool marker, corrupted;
        size_t dataBytes, onFlash;
    };
    const Case cases[] = {
        {"cut after the last write commits it",
         kLeb + 10,
         {kLeb, 10},
         0,
         2,
         false,
         false,
         kLeb + 10,
         kLeb + 10},
        {"cut inside: 2 of 4 eraseblocks on flash",
         3 * kLeb + 10,
         {kLeb, kLeb + 5, kLeb},
         3,
         0,
         true,
         true,
         0,
         2 * kLeb},
        {"closed before its first eraseblock", 2 * kLeb, {100}, 0, 0, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int volId = mkvol(sim, "kernel_new", 4 * kLeb);
        const int fd = sim.open("/dev/ubi0_0", O_RDWR);
        ASSERT_EQ(volup(sim, fd, c.size), 0);
        const bool cut = c.cutBefore + c.cutAfter > 0;
        if (c.cutBefore > 0) {
            sim.powerCutBefore(c.cutBefore);
        }
        if (c.cutAfter > 0) {
            sim.powerCutAfter(c.cutAfter);
        }
        for (size_t i = 0; i < c.writes.size(); ++i) {
            const bool last = cut && i + 1 == c.writes.size();
            EXPECT_EQ(
                sim.write(fd, bytes(c.writes[i], static_cast<uint8_t>(i)).data(), c.writes[i]),
                last ? -1 : static_cast<ssize_t>(c.writes[i]));
            if (last) {
                EXPECT_EQ(errno, EROFS);
            }
        }
        if (!cut) {
            sim.close(fd);
        }
        sim.reattach();
        EXPECT_EQ(sim.read(fd, nullptr, 0), -1) << "descriptors are gone";
        EXPECT_EQ(errno, EBADF);
        const auto volume = sim.volumes(0).at(volId);
        EXPECT_EQ(volume.updMarker, c.marker);
        EXPECT_EQ(volume.corrupted, c.corrupted);
        EXPECT_EQ(volume.dataBytes, c.dataBytes);
        EXPECT_EQ(volume.data.size(), c.onFlash);
        ASSERT_EQ(rmvol(sim, volId), 0);
    }
}

// A refused update start marks the volume in memory only; one cut after it marks the flash.
TEST_F(SimulatorTest, PowerCutAtAnUpdateStart) {
    for (const bool after : {false, true}) {
        SCOPED_TRACE(after ? "cut after" : "cut before");
        const int volId =
            sim.addVolume(0, "rootfs", Sim::Simulator::kDynamic, 2 * kLeb, bytes(50, 4));
        const int fd = sim.open("/dev/ubi0_0", O_RDWR);
        after ? sim.powerCutAfter(1) : sim.powerCutBefore(1);
        EXPECT_EQ(volup(sim, fd, 10), -1);
        EXPECT_EQ(errno, EROFS);
        EXPECT_TRUE(sim.volumes(0).at(volId).updMarker);
        char byte;
        EXPECT_EQ(sim.read(fd, &byte, 1), -1);
        EXPECT_EQ(errno, EBUSY) << "the update stays open on the handle";
        EXPECT_EQ(sim.write(fd, &byte, 1), -1);
        EXPECT_EQ(errno, EROFS);
        sim.reattach();
        const auto volume = sim.volumes(0).at(volId);
        EXPECT_EQ(volume.updMarker, after);
        EXPECT_EQ(volume.data, after ? std::vector<uint8_t>() : bytes(50, 4));
        ASSERT_EQ(rmvol(sim, volId), 0);
    }
}

TEST_F(SimulatorTest, PowerCutSweepKeepsEveryStepWholeOrUndone) {
    const auto install = [](Sim::Simulator& board) {
        rmvol(board, 1);
        mkvol(board, "kernel_new", 3 * kLeb);
        const int fd = board.open("/dev/ubi0_1", O_RDWR);
        volup(board, fd, 2 * kLeb + 1);
        const std::vector<uint8_t> data = bytes(2 * kLeb + 1, 9);
        for (size_t at = 0; at < data.size(); at += 700) {
            board.write(fd, data.data() + at, std::min<size_t>(700, data.size() - at));
        }
        board.close(fd);
        rename(board, {{0, "kernel_prev"}, {1, "kernel"}});
    };
    const auto fresh = [](Sim::Simulator& board) {
        board.addMtd("NAND.ubi");
        board.attachUbi(0, kLeb, 64);
        board.addVolume(0, "kernel", Sim::Simulator::kStatic, kLeb, std::vector<uint8_t>(10, 1));
        board.addVolume(0, "kernel_prev", Sim::Simulator::kStatic, kLeb);
    };
    Sim::Simulator whole;
    fresh(whole);
    install(whole);
    const unsigned operations = whole.stateChangingOperations();
    EXPECT_EQ(operations, 7u) << "rmvol, mkvol, update start, 3 writes, rename";
    EXPECT_EQ(whole.volumes(0).at(1).name, "kernel");
    EXPECT_EQ(whole.volumes(0).at(0).name, "kernel_prev");

    for (unsigned cut = 1; cut <= operations; ++cut) {
        Sim::Simulator board;
        fresh(board);
        board.powerCutBefore(cut);
        install(board);
        board.reattach();
        std::map<std::string, Sim::Simulator::VolumeInfo> byName;
        for (const auto& volume : board.volumes(0)) {
            byName.emplace(volume.name, volume);
        }
        SCOPED_TRACE("cut before operation " + std::to_string(cut));
        ASSERT_EQ(byName.count("kernel"), 1u);
        EXPECT_EQ(byName.at("kernel").data, std::vector<uint8_t>(10, 1)) << "old kernel intact";
        EXPECT_EQ(byName.at("kernel").id, 0);
        EXPECT_EQ(byName.count("kernel_prev"), cut == 1 ? 1u : 0u);
        EXPECT_EQ(byName.count("kernel_new"), cut <= 2 ? 0u : 1u);
        if (cut >= 3) {
            const Sim::Simulator::VolumeInfo& fresh = byName.at("kernel_new");
            EXPECT_EQ(fresh.updMarker, cut >= 4 && cut <= 6)
                << "an interrupted update stays marked";
            EXPECT_EQ(fresh.dataBytes, cut == 7 ? 2 * kLeb + 1 : 0u);
        }
    }
}

TEST_F(SimulatorTest, ReattachForgetsWhatOnlyMemoryHeld) {
    const int stat = sim.addVolume(0, "kernel", Sim::Simulator::kStatic, kLeb, bytes(100, 5));
    const int dyn = sim.addVolume(0, "rootfs", Sim::Simulator::kDynamic, kLeb, bytes(100, 6));
    sim.setVolumeCorrupted(0, dyn, true);
    sim.corruptVolumeData(0, stat, 50);
    sim.corruptVolumeData(0, dyn, 500);
    EXPECT_FALSE(sim.volumes(0).at(stat).corrupted) << "found only by the check after attach";
    EXPECT_TRUE(sim.volumes(0).at(dyn).corrupted);
    const int fd = sim.open("/dev/ubi0_0", O_RDONLY);
    sim.reattach();
    EXPECT_EQ(sim.close(fd), -1);
    EXPECT_FALSE(sim.volumes(0).at(dyn).corrupted);
    EXPECT_FALSE(sim.volumes(0).at(stat).corrupted);
    const int again = sim.open("/dev/ubi0_0", O_RDONLY);
    EXPECT_TRUE(sim.volumes(0).at(stat).corrupted) << "first open checks the CRCs";
    std::vector<uint8_t> data(100);
    EXPECT_EQ(sim.read(again, data.data(), data.size()), 100);
    std::vector<uint8_t> expected = bytes(100, 5);
    expected[50] ^= 0xFF;
    EXPECT_EQ(data, expected);
    EXPECT_EQ(sim.volumes(0).at(dyn).data.size(), 501u);
    EXPECT_EQ(sim.volumes(0).at(dyn).data[500], 0x00);
    EXPECT_THROW(sim.corruptVolumeData(0, stat, 100), std::invalid_argument);
}

TEST_F(SimulatorTest, SavedBoardLoadsAsTheFlashHoldsIt) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("vexil-sim-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    const std::string oddName("odd name\x01\xff", 10);
    sim.addVolume(0, oddName, Sim::Simulator::kStatic, 2 * kLeb, bytes(1500, 7));
    sim.addVolume(0, "rootfs", Sim::Simulator::kDynamic, kLeb);
    sim.setMtdNameAttribute(0, "abc");
    sim.setAttributeUnreadable("/sys/class/ubi/ubi0_1/name", EIO);
    const int fd = sim.open("/dev/ubi0_1", O_RDWR);
    ASSERT_EQ(volup(sim, fd, 20), 0);
    ASSERT_EQ(sim.write(fd, "half", 4), 4);
    std::string error;
    ASSERT_TRUE(Sim::saveBoard(sim, directory.string(), error));

    std::unique_ptr<Sim::Simulator> loaded = Sim::loadBoard(directory.string(), error);
    ASSERT_NE(loaded, nullptr);
    const auto volumes = loaded->volumes(0);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].name, oddName);
    EXPECT_EQ(volumes[0].data, bytes(1500, 7));
    EXPECT_EQ(volumes[0].dataBytes, 1500u);
    EXPECT_TRUE(volumes[1].updMarker) << "saved in the middle of its update";
    EXPECT_EQ(loaded->openDescriptors(), 0u);
    const int name = loaded->open("/sys/class/mtd/mtd0/name", O_RDONLY);
    char buffer[8];
    EXPECT_EQ(loaded->read(name, buffer, sizeof buffer), 3);
    const int unreadable = loaded->open("/sys/class/ubi/ubi0_1/name", O_RDONLY);
    EXPECT_EQ(loaded->read(unreadable, buffer, sizeof buffer), -1);
    EXPECT_EQ(sim.write(fd, bytes(16, 0).data(), 16), 16) << "the live board's update goes on";

    std::filesystem::remove(directory / "board.txt");
    EXPECT_EQ(Sim::loadBoard(directory.string(), error), nullptr);
    std::filesystem::remove_all(directory);
}

} // namespace
