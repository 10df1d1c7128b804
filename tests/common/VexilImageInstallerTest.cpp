// The installer end to end against the UBI simulator: what it prints, what
// the board holds afterwards, and that nothing unverified is ever switched in.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>

#include "ImageBuilder.h"
#include "common/ImageDescription.h"
#include "common/Manifest.h"
#include "common/SigningKeys.h"
#include "common/linuxFlash/UbiRequests.h"
#include "support/InstallerBoard.h"
#include "support/SignedImage.h"
#include "support/TempDirTest.h"

namespace {

using namespace InstallerBoard;
using Sim::Call;

ImageBuilder imageOf(const Generation& generation) {
    ImageBuilder image;
    image.version(0x20261206).descr("update");
    image.block(1, generation.kernel).block(3, generation.devicetree).block(4, generation.rootfs);
    return image;
}

size_t count(const Sim::Simulator& sim, Call kind, unsigned long request = 0) {
    size_t n = 0;
    for (const auto& r : sim.requests()) {
        n += r.kind == kind && (request == 0 || r.request == request);
    }
    return n;
}

class InstallerTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        twoGenerations(m_sim);
    }

    static void twoGenerations(Sim::Simulator& sim) {
        makeBoard(sim);
        addGeneration(sim, s_older, "_prev");
        addGeneration(sim, s_current, "");
        sim.clearRequests();
    }

    Sim::Simulator m_sim;
};

// The pairs of the one rename are in slot order, the manifest's last; the kernel checked the
// static volumes as their updates finished, so only rootfs is read back. A first install
// prints no previous or current volumes.
TEST_F(InstallerTest, GoodImagePrintsTheTranscriptAndRotatesGenerations) {
    const auto image = imageOf(s_update).build();
    const Outcome outcome = install(m_sim, image);

    const bool all[3] = {true, true, true};
    EXPECT_EQ(outcome.out, transcript(image, all, all));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));
    EXPECT_TRUE(holds(m_sim, s_current, "_prev"));
    EXPECT_EQ(m_sim.volumes(0).size(), 7u) << "and the manifest";
    std::string renamed; // the new names of each rename request
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Open && r.request == O_RDONLY && r.path.rfind("/dev/ubi0_", 0) == 0) {
            EXPECT_EQ(r.path, "/dev/ubi0_2");
        }
        if (r.kind == Call::Ioctl && r.request == UBI_IOCRNVOL) {
            ubi_rnvol_req request;
            ASSERT_EQ(r.bytes.size(), sizeof request);
            memcpy(&request, r.bytes.data(), sizeof request);
            for (int i = 0; i < request.count; ++i) {
                renamed +=
                    std::string(request.ents[i].name, size_t(request.ents[i].name_len)) + " ";
            }
            renamed += "| ";
        }
    }
    EXPECT_EQ(renamed,
              "kernel_prev kernel devicetree_prev devicetree rootfs_prev rootfs manifest | ");

    Sim::Simulator empty;
    makeBoard(empty);
    const bool none[3] = {false, false, false};
    EXPECT_EQ(install(empty, image).out, transcript(image, none, none)) << "a first install";
    EXPECT_TRUE(holds(empty, s_update));
    EXPECT_EQ(empty.volumes(0).size(), 4u) << "and the manifest";
}

// Odd images that install. Repeated slot blocks come in any order and each refills the slot's
// "_new" volume, so the last is switched in; a block without a slot is checked and dropped.
// Every piece goes to the kernel in one write of at most 64 KiB, an empty one never.
TEST(Installer, OddImagesInstall) {
    const Bytes fullKernel = ImageBuilder::pattern(FwImage::s_volumes[0].size, 11);
    const Bytes& k = s_update.kernel;
    const Bytes& d = s_update.devicetree;
    const Bytes& r = s_update.rootfs;
    struct Case {
        const char* name;
        Bytes image;
        Generation installed;
        std::vector<size_t> written; // payload sizes
        std::string line;            // in the output
    };
    // clang-format off
    const Case cases[] = {
        {"a block without a slot", ImageBuilder().block(1, k).block(2, ImageBuilder::pattern(70000, 42)).block(3, d).block(4, r).build(), s_update, {k.size(), d.size(), r.size()}, ""},
        {"an empty devicetree", imageOf({k, {}, r}).build(), {k, {}, r}, {k.size(), 0, r.size()}, ""},
        {"a full-size kernel", imageOf({fullKernel, d, r}).build(), {fullKernel, d, r}, {fullKernel.size(), d.size(), r.size()}, ""},
        {"repeated slot blocks in another order", ImageBuilder().block(4, r).block(1, s_older.kernel).block(3, d).block(1, k).build(), s_update, {r.size(), s_older.kernel.size(), d.size(), k.size()}, ""},
        {"control bytes in the description", imageOf(s_update).descr("\x1b]0;owned\x07\x7f ok").build(), s_update, {k.size(), d.size(), r.size()}, "\tdescr:   \\x1b]0;owned\\x07\\x7f ok\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim::Simulator sim;
        makeBoard(sim);
        addGeneration(sim, s_current, "");
        const Outcome outcome = install(sim, c.image);
        EXPECT_EQ(outcome.status, 0) << outcome.out;
        EXPECT_EQ(outcome.err, "");
        EXPECT_NE(outcome.out.find(c.line), std::string::npos);
        EXPECT_EQ(outcome.out.find('\x1b'), std::string::npos);
        EXPECT_TRUE(holds(sim, c.installed));
        EXPECT_TRUE(holds(sim, s_current, "_prev"));
        std::vector<size_t> writes;
        for (const auto& request : sim.requests()) {
            if (request.kind == Call::Write) {
                writes.push_back(request.bytes.size());
            }
        }
        std::vector<size_t> expected;
        for (size_t size : c.written) {
            for (; size > 0; size -= std::min<size_t>(size, 65536)) {
                expected.push_back(std::min<size_t>(size, 65536));
            }
        }
        expected.push_back(Manifest::encodedSize);
        EXPECT_EQ(writes, expected);
    }
}

// The simulator, but the check's read-only reads of one volume node come back with a flipped
// byte, one sysfs attribute reads `value`, and the nth write takes one byte less.
class Tampering : public Sim::Simulator {
public:
    std::string node;
    std::string attribute;
    std::string value = "1\n";
    unsigned shortWrite = 0;

    int open(const char* path, int flags) override {
        const int fd = Simulator::open(path, flags);
        m_tampered = fd >= 0 && path == node && (flags & O_ACCMODE) == O_RDONLY ? fd : m_tampered;
        m_flagged = fd >= 0 && path == attribute ? fd : m_flagged;
        return fd;
    }
    ssize_t read(int fd, void* buffer, size_t size) override {
        if (fd == m_flagged) {
            memcpy(buffer, value.data(), std::min(size, value.size()));
            return ssize_t(std::min(size, value.size()));
        }
        const ssize_t got = Simulator::read(fd, buffer, size);
        if (fd == m_tampered && got > 0) {
            static_cast<uint8_t*>(buffer)[0] ^= 0x40;
        }
        return got;
    }
    ssize_t write(int fd, const void* buffer, size_t size) override {
        return Simulator::write(fd, buffer, --shortWrite == 0 ? size - 1 : size);
    }
    int close(int fd) override {
        m_tampered = fd == m_tampered ? -1 : m_tampered;
        m_flagged = fd == m_flagged ? -1 : m_flagged;
        return Simulator::close(fd);
    }

private:
    int m_tampered = -1;
    int m_flagged = -1;
};

TEST_F(InstallerTest, ArgumentsImageFileAndDevice) {
    for (const auto& args : {std::vector<std::string>{}, {"a", "b"}}) {
        const Outcome usage = runInstaller(m_sim, args);
        EXPECT_EQ(usage.status, 1);
        EXPECT_EQ(usage.out + usage.err, "");
    }
    const Outcome missing = runInstaller(m_sim, {"/nonexistent/image"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "CP1\nCP2\nERROR: failed to open file: /nonexistent/image\n");
    EXPECT_EQ(missing.err, "/nonexistent/image: No such file or directory\n");
    // A directory opens, but reading it fails: stop, no endless loop.
    const Outcome directory = runInstaller(m_sim, {"/"});
    EXPECT_EQ(directory.status, 2);
    EXPECT_EQ(directory.out, "CP1\nCP2\nstate changed '0' -> '1'\nERROR: read failed\nend: 0\n"
                             "install stopped: the image could not be read\n");
    EXPECT_EQ(directory.err, "read: Is a directory\n");
    // An endless stream is judged at its header and read no further.
    const Outcome zeros = runInstaller(m_sim, {"/dev/zero"});
    EXPECT_EQ(zeros.status, 3);
    EXPECT_EQ(zeros.out.substr(zeros.out.find("end: ")),
              "end: 1\ninstall stopped: the image is for another board (magic '', product '')\n");

    Sim::Simulator bare;
    bare.addMtd("other");
    const Outcome noDevice = runInstaller(bare, {"/nonexistent/image"});
    EXPECT_EQ(noDevice.status, 255);
    EXPECT_EQ(noDevice.out, "CP1\n");
}

// The volume table as the kernel keeps it: ids, names, types, sizes, flags and contents.
std::vector<std::string> volumeTable(Sim::Simulator& sim) {
    std::vector<std::string> table;
    for (const auto& v : sim.volumes(0)) {
        table.push_back(std::to_string(v.id) + " " + v.name + " " + std::to_string(v.type) + " " +
                        std::to_string(v.reservedEbs) + " " + std::to_string(v.dataBytes) + " " +
                        std::to_string(v.updMarker) + std::to_string(v.corrupted) + " " +
                        std::to_string(crc32(0, v.data.data(), uInt(v.data.size()))));
    }
    return table;
}

// A manifest whose own CRC-32 does not match, in a volume the kernel finds whole.
Bytes damagedManifest() {
    const uint8_t header[sizeof(ImageHeader)] = {};
    const uint8_t blocks[FwImage::slotCount][sizeof(BlockHeader)] = {};
    Bytes bytes = Manifest::encode(header, blocks, true, true, SigningKeys::KeyId{});
    bytes[40] ^= 1;
    return bytes;
}

class TrustedBoardTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        SigningKeys::PublicKey publicKey;
        SigningKeys::generateKeyPair(publicKey, m_key);
        std::ofstream(path("board.pub")) << SigningKeys::publicKeyText(publicKey);
        m_store = m_dir;
    }

    std::string m_store;
    SigningKeys::SecretKey m_key;
    // Where the rootfs block of a signed image of s_update begins.
    const size_t rootfsAt =
        signedBlocksAt(3) + 2 * 12 + s_update.kernel.size() + s_update.devicetree.size();
};

// Every rejected image and every flash failure: the exit status, one line that says why, the
// current set as it was, never renamed, and how far the install came. With a trust store nothing
// on the flash changes for an image that no trusted key vouched for, whether it is refused at its
// description, at the block headers ahead of the first slot, or for its version; nor while the
// current manifest that guards against a downgrade cannot be read. The one image that gets past
// the block headers, a payload changed so that its size and CRC-32 still match, is refused at
// the block's end: the slots written so far have lost their previous generation.
TEST_F(TrustedBoardTest, RejectionsLeaveTheCurrentSet) {
    const auto without = [](int slot) {
        ImageBuilder image;
        for (int other = 0; other < FwImage::slotCount; ++other) {
            if (other != slot) {
                image.block(FwImage::s_volumes[other].blockId, s_update[other]);
            }
        }
        return image.build();
    };
    const Bytes update = imageOf(s_update).build();
    Bytes early = update;
    early.resize(early.size() - 1000);
    const auto none = [](Tampering&) {};
    const Bytes good = signedImage(imageOf(s_update), m_key);
    const Bytes recomputed = signedImage(imageOf(s_update), m_key, [&](Bytes& i) {
        i[rootfsAt + 12] ^= 1;
        fixCrc(i, rootfsAt);
    });
    const auto installed = [&](uint32_t version) {
        return [=](Sim::Simulator& sim) {
            const Bytes image = signedImage(imageOf(s_older).version(version), m_key);
            ASSERT_EQ(install(sim, image, m_store).status, 0);
        };
    };
    const auto manifestId = [](Sim::Simulator& sim) {
        return find(sim.volumes(0), "manifest")->id;
    };
    const std::string unusable =
        "the current manifest cannot be used, so a downgrade could not be told: manifest";
    struct Case {
        const char* name;
        Bytes image;
        std::function<void(Tampering&)> fault;
        bool trusted; // the board has the trust store
        int status;
        std::string lastLine; // what the run ends with
        std::string err;
        bool newSetWritten; // complete "_new" volumes are left behind
        int prevLeft;       // "_prev" volumes not yet deleted to make room; 3: the flash untouched
    };
    // clang-format off
    const Case cases[] = {
        {"no rootfs block", without(2), none, false, 3, "the image has no rootfs block (ID 4)", "", false, 1},
        {"no kernel block, a leftover kernel_new", without(0), [](Tampering& t) { t.addVolume(0, "kernel_new", Sim::kStatic, FwImage::s_volumes[0].size, s_update.kernel); }, false,
         3, "the image has no kernel block (ID 1)", "", true, 1},
        {"CRC error in the last block", imageOf(s_update).block(4, s_update.rootfs, 1).build(), none, false, 3, "block 4 failed its CRC check", "", false, 0},
        {"early end", early, none, false, 3, "the image ended early", "", false, 0},
        {"declared length too short", imageOf(s_update).length(60).build(), none, false, 3, "the image is longer than its declared length", "", false, 2},
        {"declared length too long", imageOf(s_update).length(uint32_t(update.size() + 1)).build(), none, false, 3, "the image ended early", "", true, 0},
        {"wrong product", imageOf(s_update).product("Other").build(), none, false, 3, "the image is for another board (magic 'VexilImg', product 'Other')", "", false, 3},
        {"unknown block with a bad CRC", imageOf(s_update).block(7, Bytes(10, 1), 0).build(), none, false, 3, "block 7 failed its CRC check", "", true, 0},
        {"failed write", update, [](Tampering& t) { t.failCall(Call::Write, 2, EIO); }, false,
         4, "writing kernel_new failed: Input/output error", "write: Input/output error\n", false, 2},
        {"short write", update, [](Tampering& t) { t.shortWrite = 1; }, false, 4, "writing kernel_new fell short: 65535 of 65536 bytes", "", false, 2},
        {"failed update start", update, [](Tampering& t) { t.failCall(Call::Ioctl, 2, EIO, UBI_IOCVOLUP); }, false,
         4, "could not start the update of devicetree_new: Input/output error", "", false, 1},
        {"reads back wrong", update, [](Tampering& t) { t.node = "/dev/ubi0_2"; }, false, 4, "rootfs_new reads back wrong", "", true, 0},
        {"marked corrupted", update, [](Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_0/corrupted"; }, false, 4, "kernel_new is marked corrupted", "", true, 0},
        {"static volume holds less", update, [](Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_0/data_bytes"; }, false, 4, "kernel_new holds 1 bytes, not 100000", "", true, 0},
        {"static volume holds more", update, [](Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_0/data_bytes"; t.value = "100001\n"; }, false,
         4, "kernel_new holds 100001 bytes, not 100000", "", true, 0},
        {"update marker still set", update, [](Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_1/upd_marker"; }, false, 4, "devicetree_new is still marked as being updated", "", true, 0},
        {"oversized devicetree", imageOf({s_update.kernel, Bytes(253953, 1), s_update.rootfs}).build(), none, false,
         3, "block 3 (devicetree) is 253953 bytes, more than the 253952 bytes of devicetree_new", "", false, 2},
        {"no room for kernel_new", update, [](Tampering& t) { t.failCall(Call::Ioctl, 1, ENOSPC, UBI_IOCMKVOL); }, false,
         4, "could not create kernel_new: No space left on device", "ioctl: No space left on device\n", false, 2},
        {"rename refused", update, [](Tampering& t) { t.failCall(Call::Ioctl, 1, EBUSY, UBI_IOCRNVOL); }, false,
         4, "the rename that switches the new set in failed: Device or resource busy; vexil-slots status shows which set is current", "rename: Device or resource busy\n", true, 0},
        {"not signed", imageOf(s_update).build(), none, true, 3, "the image is not signed", "", false, 3},
        {"last payload changed, CRC-32 recomputed", recomputed, none, true, 3, "block 4 (rootfs) is not the block the signed description lists next (entry 3: ID 4, 150000 bytes, CRC-32 b40a1cef; the image has 150000 bytes, CRC-32 3911c409)", "", false, 3},
        {"older than the verified current", good, installed(0x20261207), true, 3, "the image's version 0x20261206 is lower than the installed version 0x20261207; going back is vexil-slots rollback", "", false, 3},
        {"current manifest marked corrupted", good, [&](Sim::Simulator& sim) { installed(1)(sim); sim.setVolumeCorrupted(0, manifestId(sim), true); }, true,
         3, unusable + " is marked corrupted", "", false, 3},
        {"current manifest's data damaged", good, [&](Sim::Simulator& sim) { installed(1)(sim); sim.corruptVolumeData(0, manifestId(sim), 30); sim.reattach(); runSlots(sim, {"status"}); }, true,
         3, unusable + " is marked corrupted", "", false, 3},
        {"current manifest's CRC-32 wrong", good, [](Sim::Simulator& sim) { sim.addVolume(0, "manifest", Sim::kStatic, 4096, damagedManifest()); }, true,
         3, unusable + ": its CRC-32 does not match", "", false, 3},
        {"payload changed, same CRC-32", signedImage(imageOf(s_update), m_key, [&](Bytes& i) { alterKeepingCrc(i, rootfsAt + 100); }), none, true,
         3, "block 4 (rootfs) does not match its SHA-256 in the signed description", "", false, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tampering sim;
        twoGenerations(sim);
        c.fault(sim);
        const std::vector<std::string> before = volumeTable(sim);
        sim.clearRequests();
        const Outcome outcome = install(sim, c.image, c.trusted ? m_store : "/nonexistent");
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1),
                  "install stopped: " + c.lastLine + "\n");
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(count(sim, Call::Ioctl, UBI_IOCRNVOL),
                  c.lastLine.find("rename") != std::string::npos ? 1u : 0u);
        EXPECT_EQ(holds(sim, s_update, "_new"), c.newSetWritten);
        int prevLeft = 0;
        for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
            prevLeft += find(sim.volumes(0), slot.prevName) != nullptr;
        }
        EXPECT_EQ(prevLeft, c.prevLeft);
        EXPECT_EQ(count(sim, Call::Ioctl) + count(sim, Call::Write) == 0, c.prevLeft == 3);
        if (c.prevLeft == 3) {
            EXPECT_EQ(volumeTable(sim), before);
        } else {
            EXPECT_TRUE(holds(sim, s_current));
        }
    }
}

// A good signed image installs with the transcript of any good image, its description a block
// without a slot; only a verified generation sets the floor for the next; a store that cannot
// be read stops the install before anything is touched.
TEST_F(TrustedBoardTest, SignedImagesInstall) {
    const Bytes image = signedImage(imageOf(s_update), m_key);
    const Outcome signedRun = install(m_sim, image, m_store);
    const bool all[3] = {true, true, true};
    EXPECT_EQ(signedRun.out, transcript(image, all, all));
    EXPECT_EQ(signedRun.status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));

    // Installed with no store to verify it, a higher version sets no floor.
    const Bytes higher = signedImage(imageOf(s_older).version(0x30000000), m_key);
    ASSERT_EQ(install(m_sim, higher, "/nonexistent").status, 0);
    EXPECT_EQ(install(m_sim, image, m_store).status, 0);

    { std::ofstream(m_store + "/broken.pub") << "vexil-ed25519-public 00\n"; }
    m_sim.clearRequests();
    const Outcome refused = install(m_sim, image, m_store);
    EXPECT_EQ(refused.status, 5);
    EXPECT_EQ(refused.out.rfind("CP1\nCP2\ninstall stopped: " + m_store + "/broken.pub: ", 0), 0u)
        << refused.out;
    EXPECT_EQ(count(m_sim, Call::Ioctl), 0u);
}

} // namespace
