// The installer end to end against the UBI simulator: what it prints, what
// the board holds afterwards, and that nothing unverified is ever switched in.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "ImageBuilder.h"
#include "common/ImageSignature.h"
#include "common/Manifest.h"
#include "common/SigningKeys.h"
#include "common/linuxFlash/UbiRequests.h"
#include "support/InstallerBoard.h"

namespace {

using namespace InstallerBoard;
using Sim::Call;

const Generation s_older{ImageBuilder::pattern(5000, 1), ImageBuilder::pattern(300, 2),
                         ImageBuilder::pattern(9000, 3)};
const Generation s_current{ImageBuilder::pattern(70000, 4), ImageBuilder::pattern(1200, 5),
                           ImageBuilder::pattern(140000, 6)};
const Generation s_update{ImageBuilder::pattern(100000, 7), ImageBuilder::pattern(2000, 8),
                          ImageBuilder::pattern(150000, 9)};

ImageBuilder imageOf(const Generation& generation) {
    ImageBuilder image;
    image.version(0x20261206).descr("update");
    image.block(1, generation.kernel).block(3, generation.devicetree).block(4, generation.rootfs);
    return image;
}

std::string headerLines(uint32_t length) {
    return "Image header\n\tmagic:   VexilImg\n\tproduct: Dorvyn\n\tlength:  " +
           std::to_string(length) + "\n\tversion: 0x20261206\n\tdescr:   update\n";
}

std::vector<BlockLine> blockLines(const Generation& generation) {
    std::vector<BlockLine> lines;
    for (int slot = 0; slot < 3; ++slot) {
        lines.push_back({FwImage::s_volumes[slot].blockId, uint32_t(generation[slot].size()),
                         ImageBuilder::zlibCrc(generation[slot])});
    }
    return lines;
}

size_t count(const Sim::Simulator& sim, Call kind, unsigned long request = 0) {
    size_t n = 0;
    for (const auto& r : sim.requests()) {
        n += r.kind == kind && (request == 0 || r.request == request);
    }
    return n;
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override { makeBoard(m_sim); }

    void boardWithTwoGenerations() {
        addGeneration(m_sim, s_older, "_prev");
        addGeneration(m_sim, s_current, "");
        m_sim.clearRequests();
    }

    void expectCurrentSetUntouched() {
        EXPECT_TRUE(holds(m_sim, s_current));
        EXPECT_EQ(count(m_sim, Call::Ioctl, UBI_IOCRNVOL), 0u);
    }

    Sim::Simulator m_sim;
};

TEST_F(InstallerTest, GoodImagePrintsTheTranscriptAndRotatesGenerations) {
    boardWithTwoGenerations();
    const auto image = imageOf(s_update).build();
    const Outcome outcome = install(m_sim, image);

    const bool all[3] = {true, true, true};
    EXPECT_EQ(outcome.out,
              transcript(headerLines(uint32_t(image.size())), blockLines(s_update), all, all));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));
    EXPECT_TRUE(holds(m_sim, s_current, "_prev"));
    EXPECT_EQ(m_sim.volumes(0).size(), 7u) << "and the manifest";
    // The kernel checked the static volumes as their updates finished; only rootfs is read.
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Open && r.request == O_RDONLY && r.path.rfind("/dev/ubi0_", 0) == 0) {
            EXPECT_EQ(r.path, "/dev/ubi0_2");
        }
    }
}

TEST_F(InstallerTest, RenameRequestCarriesThePairsInSlotOrder) {
    boardWithTwoGenerations();
    ASSERT_EQ(install(m_sim, imageOf(s_update).build()).status, 0);

    std::vector<std::vector<uint8_t>> renames;
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Ioctl && r.request == UBI_IOCRNVOL) {
            renames.push_back(r.bytes);
        }
    }
    ASSERT_EQ(renames.size(), 1u);
    ubi_rnvol_req request;
    ASSERT_EQ(renames[0].size(), sizeof request);
    memcpy(&request, renames[0].data(), sizeof request);
    const char* const expected[] = {"kernel_prev", "kernel", "devicetree_prev", "devicetree",
                                    "rootfs_prev", "rootfs", "manifest"};
    ASSERT_EQ(request.count, 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(std::string(request.ents[i].name, size_t(request.ents[i].name_len)), expected[i]);
    }
}

TEST_F(InstallerTest, FirstInstallOnAnEmptyBoard) {
    const auto image = imageOf(s_update).build();
    const Outcome outcome = install(m_sim, image);

    const bool none[3] = {false, false, false};
    EXPECT_EQ(outcome.out,
              transcript(headerLines(uint32_t(image.size())), blockLines(s_update), none, none));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));
    EXPECT_EQ(m_sim.volumes(0).size(), 4u) << "and the manifest";
}

TEST_F(InstallerTest, TwoInstallsInARowRotateGenerations) {
    ASSERT_EQ(install(m_sim, imageOf(s_current).build()).status, 0);
    ASSERT_EQ(install(m_sim, imageOf(s_update).build()).status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));
    EXPECT_TRUE(holds(m_sim, s_current, "_prev"));
    ASSERT_EQ(install(m_sim, imageOf(s_older).build()).status, 0);
    EXPECT_TRUE(holds(m_sim, s_older));
    EXPECT_TRUE(holds(m_sim, s_update, "_prev"));
    EXPECT_EQ(m_sim.volumes(0).size(), 8u) << "and both manifests";
}

TEST_F(InstallerTest, BlockWithoutASlotIsVerifiedAndDropped) {
    boardWithTwoGenerations();
    const Bytes unknown = ImageBuilder::pattern(70000, 42);
    ImageBuilder image;
    image.block(1, s_update.kernel).block(2, unknown).block(3, s_update.devicetree);
    image.block(4, s_update.rootfs);
    const Outcome outcome = install(m_sim, image.build());

    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_TRUE(holds(m_sim, s_update));
    size_t written = 0;
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Write) {
            written += r.bytes.size();
        }
    }
    EXPECT_EQ(written, s_update.kernel.size() + s_update.devicetree.size() +
                           s_update.rootfs.size() + Manifest::encodedSize);
}

TEST_F(InstallerTest, EmptyBlockInstallsWithoutAnEmptyWrite) {
    boardWithTwoGenerations();
    const Generation update{s_update.kernel, {}, s_update.rootfs};
    const Outcome outcome = install(m_sim, imageOf(update).build());

    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(holds(m_sim, update));
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Write) {
            EXPECT_GT(r.bytes.size(), 0u);
        }
    }
}

TEST_F(InstallerTest, FullSizeKernelIsWrittenIn96Chunks) {
    const Generation update{ImageBuilder::pattern(FwImage::s_volumes[0].size, 11),
                            s_update.devicetree, s_update.rootfs};
    ASSERT_EQ(install(m_sim, imageOf(update).build()).status, 0);

    std::string kernelNode;
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Ioctl && r.request == UBI_IOCVOLUP) {
            kernelNode = r.path;
            break;
        }
    }
    size_t chunks = 0;
    for (const auto& r : m_sim.requests()) {
        if (r.kind == Call::Write && r.path == kernelNode) {
            EXPECT_EQ(r.bytes.size(), 65536u);
            ++chunks;
        }
    }
    EXPECT_EQ(chunks, 96u);
    EXPECT_TRUE(holds(m_sim, update));
}

// Passes every call to the simulator, but the check's read-only reads of one volume node come
// back with a flipped byte, one sysfs attribute reads "1", and the nth write takes one byte less.
class Tampering : public LinuxFlash::KernelInterface {
public:
    explicit Tampering(Sim::Simulator& sim) : m_sim(sim) {}

    std::string node;
    std::string attribute;
    unsigned shortWrite = 0;

    int open(const char* path, int flags) override {
        const int fd = m_sim.open(path, flags);
        if (fd >= 0 && path == node && (flags & O_ACCMODE) == O_RDONLY) {
            m_tampered = fd;
        }
        if (fd >= 0 && path == attribute) {
            m_flagged = fd;
        }
        return fd;
    }
    ssize_t read(int fd, void* buffer, size_t size) override {
        if (fd == m_flagged) {
            memcpy(buffer, "1\n", 2);
            return 2;
        }
        const ssize_t got = m_sim.read(fd, buffer, size);
        if (fd == m_tampered && got > 0) {
            static_cast<uint8_t*>(buffer)[0] ^= 0x40;
        }
        return got;
    }
    ssize_t write(int fd, const void* buffer, size_t size) override {
        return m_sim.write(fd, buffer, --shortWrite == 0 ? size - 1 : size);
    }
    int close(int fd) override {
        m_tampered = fd == m_tampered ? -1 : m_tampered;
        m_flagged = fd == m_flagged ? -1 : m_flagged;
        return m_sim.close(fd);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return m_sim.ioctl(fd, request, argument);
    }
    int flock(int fd, int operation) override { return m_sim.flock(fd, operation); }
    std::unique_ptr<LinuxFlash::DirectoryStream> openDirectory(const char* path) override {
        return m_sim.openDirectory(path);
    }

private:
    Sim::Simulator& m_sim;
    int m_tampered = -1;
    int m_flagged = -1;
};

// Repeated slot blocks come in any order; each one refills the slot's "_new" volume, so the
// last of them is what is switched in.
TEST_F(InstallerTest, LastOfRepeatedSlotBlocksWins) {
    boardWithTwoGenerations();
    ImageBuilder image;
    image.block(4, s_update.rootfs).block(1, s_older.kernel).block(3, s_update.devicetree);
    image.block(1, s_update.kernel);
    const Outcome outcome = install(m_sim, image.build());
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_TRUE(holds(m_sim, s_update));
    EXPECT_TRUE(holds(m_sim, s_current, "_prev"));
}

struct Rejection {
    const char* name;
    std::function<Bytes()> image;
    std::function<void(Sim::Simulator&, Tampering&)> fault;
    int status;
    std::string lastLine; // what the run ends with
    std::string err;
    bool newSetWritten; // complete "_new" volumes are left behind
};

// Every rejected image and every flash failure: the exit status, one line that says why, and
// the current set as it was, never renamed.
TEST_F(InstallerTest, RejectionsLeaveTheCurrentSet) {
    const auto without = [](int slot) {
        return [slot] {
            ImageBuilder image;
            for (int other = 0; other < FwImage::slotCount; ++other) {
                if (other != slot) {
                    image.block(FwImage::s_volumes[other].blockId, s_update[other]);
                }
            }
            return image.build();
        };
    };
    const auto update = [] { return imageOf(s_update).build(); };
    const auto none = [](Sim::Simulator&, Tampering&) {};
    const Bytes unknown(10, 1);
    // clang-format off
    const Rejection cases[] = {
        {"no rootfs block", without(2), none, 3, "install stopped: the image has no rootfs block (ID 4)", "", false},
        {"no kernel block, a leftover kernel_new", without(0),
         [](Sim::Simulator& sim, Tampering&) { sim.addVolume(0, "kernel_new", Sim::kStatic, FwImage::s_volumes[0].size, s_update.kernel); },
         3, "install stopped: the image has no kernel block (ID 1)", "", true},
        {"CRC error in the last block", [] { ImageBuilder i = imageOf(s_update); return i.block(4, s_update.rootfs, 1).build(); },
         none, 3, "install stopped: block 4 failed its CRC check", "", false},
        {"early end", [] { Bytes i = imageOf(s_update).build(); i.resize(i.size() - 1000); return i; },
         none, 3, "install stopped: the image ended early", "", false},
        {"declared length too short", [] { return imageOf(s_update).length(60).build(); },
         none, 3, "install stopped: the image is longer than its declared length", "", false},
        {"declared length too long", [] { return imageOf(s_update).length(uint32_t(imageOf(s_update).build().size() + 1)).build(); },
         none, 3, "install stopped: the image ended early", "", true},
        {"wrong product", [] { return imageOf(s_update).product("Other").build(); },
         none, 3, "install stopped: the image is for another board (magic 'VexilImg', product 'Other')", "", false},
        {"full-width magic and product", [] { return imageOf(s_update).magic("VexilImgVexi").product("DorvynXY").build(); },
         none, 3, "install stopped: the image is for another board (magic 'VexilImgVexi', product 'DorvynXY')", "", false},
        {"unknown block with a bad CRC", [&] { return imageOf(s_update).block(7, unknown, 0).build(); },
         none, 3, "install stopped: block 7 failed its CRC check", "", true},
        {"failed write", update, [](Sim::Simulator& sim, Tampering&) { sim.failCall(Call::Write, 2, EIO); },
         4, "install stopped: writing kernel_new failed: Input/output error", "write: Input/output error\n", false},
        {"short write", update, [](Sim::Simulator&, Tampering& t) { t.shortWrite = 1; },
         4, "install stopped: writing kernel_new fell short: 65535 of 65536 bytes", "", false},
        {"failed update start", update, [](Sim::Simulator& sim, Tampering&) { sim.failCall(Call::Ioctl, 2, EIO, UBI_IOCVOLUP); },
         4, "install stopped: could not start the update of devicetree_new: Input/output error", "", false},
        {"reads back wrong", update, [](Sim::Simulator&, Tampering& t) { t.node = "/dev/ubi0_2"; },
         4, "install stopped: rootfs_new reads back wrong", "", true},
        {"marked corrupted", update, [](Sim::Simulator&, Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_0/corrupted"; },
         4, "install stopped: kernel_new is marked corrupted", "", true},
        {"static volume holds the wrong size", update, [](Sim::Simulator&, Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_0/data_bytes"; },
         4, "install stopped: kernel_new holds 1 bytes, not 100000", "", true},
        {"update marker still set", update, [](Sim::Simulator&, Tampering& t) { t.attribute = "/sys/class/ubi/ubi0_1/upd_marker"; },
         4, "install stopped: devicetree_new is still marked as being updated", "", true},
        {"rename refused", update, [](Sim::Simulator& sim, Tampering&) { sim.failCall(Call::Ioctl, 1, EBUSY, UBI_IOCRNVOL); },
         4, "rename failed", "deleteVolume: Device or resource busy\n", true},
    };
    // clang-format on
    for (const Rejection& c : cases) {
        SCOPED_TRACE(c.name);
        Sim::Simulator sim;
        makeBoard(sim);
        addGeneration(sim, s_older, "_prev");
        addGeneration(sim, s_current, "");
        Tampering tampering(sim);
        c.fault(sim, tampering);
        sim.clearRequests();
        const Outcome outcome = install(tampering, c.image());
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1),
                  c.lastLine + "\n");
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_TRUE(holds(sim, s_current));
        EXPECT_EQ(count(sim, Call::Ioctl, UBI_IOCRNVOL), c.lastLine == "rename failed" ? 1u : 0u);
        EXPECT_EQ(holds(sim, s_update, "_new"), c.newSetWritten);
    }
}

// A foreign image is turned away at its header: nothing is asked of the flash.
TEST_F(InstallerTest, WrongProductTouchesNothing) {
    boardWithTwoGenerations();
    const Outcome outcome = install(m_sim, imageOf(s_update).product("Other").build());
    EXPECT_EQ(outcome.status, 3);
    EXPECT_NE(outcome.out.find("\tdescr:   update\nerror: 1\n"), std::string::npos);
    EXPECT_EQ(count(m_sim, Call::Ioctl), 0u);
    EXPECT_EQ(count(m_sim, Call::Write), 0u);
    EXPECT_TRUE(holds(m_sim, s_older, "_prev"));
}

// The first volume that no longer fits stops the install before anything is written to it.
TEST_F(InstallerTest, NoRoomForANewVolume) {
    Sim::Simulator small;
    makeBoard(small, 372); // one generation takes 342 eraseblocks, kernel_new would take 50
    addGeneration(small, s_current, "");
    const Outcome outcome = install(small, imageOf(s_update).build());

    EXPECT_EQ(outcome.status, 4);
    EXPECT_EQ(outcome.err, "ioctl: No space left on device\n");
    EXPECT_NE(outcome.out.find("error: 5\n"), std::string::npos);
    EXPECT_NE(outcome.out.find("install stopped: could not create kernel_new: No space left on "
                               "device\n"),
              std::string::npos)
        << outcome.out;
    EXPECT_TRUE(holds(small, s_current));
}

// Runs the installer on a path; what it said on both streams, and its status.
Outcome runOn(LinuxFlash::KernelInterface& kernel, std::vector<std::string> args,
              const std::string& trustedKeys = "/nonexistent") {
    args.insert(args.begin(), "VexilImageInstaller");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    OutputCapture output;
    const int status = VexilImageInstaller::run(int(argv.size()), argv.data(), kernel, trustedKeys);
    return {status, output.out(), output.err()};
}

TEST_F(InstallerTest, ArgumentsImageFileAndDevice) {
    const std::string start = "CP1\nCP2\nstate changed '0' -> '1'\n";
    for (const auto& args : {std::vector<std::string>{}, {"a", "b"}}) {
        const Outcome usage = runOn(m_sim, args);
        EXPECT_EQ(usage.status, 1);
        EXPECT_EQ(usage.out + usage.err, "");
    }
    const Outcome missing = runOn(m_sim, {"/nonexistent/image"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "CP1\nCP2\nERROR: failed to open file: /nonexistent/image\n");
    EXPECT_EQ(missing.err, "/nonexistent/image: No such file or directory\n");
    // A directory opens, but reading it fails: stop, no endless loop.
    const Outcome directory = runOn(m_sim, {"/"});
    EXPECT_EQ(directory.status, 2);
    EXPECT_EQ(directory.out, start + "ERROR: read failed\nend: 0\ninstall stopped: the image "
                                     "could not be read\n");
    EXPECT_EQ(directory.err, "read: Is a directory\n");
    // An endless stream is judged at its header and read no further.
    const Outcome zeros = runOn(m_sim, {"/dev/zero"});
    EXPECT_EQ(zeros.status, 3);
    EXPECT_EQ(zeros.out.substr(zeros.out.find("end: ")),
              "end: 1\ninstall stopped: the image is for another board (magic '', product '')\n");

    Sim::Simulator bare;
    bare.addMtd("other");
    const Outcome noDevice = runOn(bare, {"/nonexistent/image"});
    EXPECT_EQ(noDevice.status, -1);
    EXPECT_EQ(noDevice.out, "CP1\n");
}

// Control bytes from the image never reach the terminal as they are.
TEST_F(InstallerTest, HeaderTextIsEscaped) {
    const Outcome outcome = install(m_sim, imageOf(s_update).descr("\x1b]0;owned\x07 ok").build());
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find("\tdescr:   \\x1b]0;owned\\x07 ok\n"), std::string::npos);
    EXPECT_EQ(outcome.out.find('\x1b'), std::string::npos);
}

// A block too large for its volume is refused at its header, before its slot is touched.
TEST_F(InstallerTest, OversizedBlockLeavesItsSlotAlone) {
    boardWithTwoGenerations();
    const Generation tooBig{s_update.kernel, Bytes(253953, 1), s_update.rootfs};
    const Outcome outcome = install(m_sim, imageOf(tooBig).build());
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out.substr(outcome.out.find("end: ")),
              "end: 1\ninstall stopped: block 3 (devicetree) is 253953 bytes, more than the 253952 "
              "bytes of devicetree_new\n");
    EXPECT_NE(find(m_sim.volumes(0), "devicetree_prev"), nullptr);
    EXPECT_EQ(find(m_sim.volumes(0), "devicetree_new"), nullptr);
    EXPECT_TRUE(holds(m_sim, s_current));
}

// With a trust store only images signed by one of its keys are switched in; a store that
// cannot be read stops the install before anything is touched.
TEST_F(InstallerTest, TrustStoreDecidesOnSignatures) {
    boardWithTwoGenerations();
    char dir[] = "/tmp/vexil-keys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string store = dir;
    SigningKeys::PublicKey publicKey;
    SigningKeys::SecretKey secretKey;
    SigningKeys::generateKeyPair(publicKey, secretKey);
    { std::ofstream(store + "/board.pub") << SigningKeys::publicKeyText(publicKey); }
    Bytes signedImage = imageOf(s_update).block(ImageSignature::blockId, Bytes(73)).build();
    ImageSignature::Hasher hasher;
    hasher.update(signedImage.data(), signedImage.size() - 85);
    const ImageSignature::Payload payload = hasher.sign(secretKey);
    std::copy(payload.begin(), payload.end(), signedImage.end() - 73);
    const uint32_t crc = htobe32(ImageBuilder::zlibCrc(Bytes(payload.begin(), payload.end())));
    memcpy(&signedImage[signedImage.size() - 77], &crc, 4);

    const Outcome signedRun = install(m_sim, signedImage, store);
    std::vector<BlockLine> blocks = blockLines(s_update);
    blocks.push_back({ImageSignature::blockId, 73, be32toh(crc)});
    const bool all[3] = {true, true, true};
    EXPECT_EQ(signedRun.out,
              transcript(headerLines(uint32_t(signedImage.size())), blocks, all, all));
    EXPECT_EQ(signedRun.status, 0);
    EXPECT_TRUE(holds(m_sim, s_update));

    const Outcome unsignedRun = install(m_sim, imageOf(s_older).build(), store);
    EXPECT_EQ(unsignedRun.status, 3);
    EXPECT_NE(unsignedRun.out.find("\ninstall stopped: the image is not signed\n"),
              std::string::npos);
    EXPECT_TRUE(holds(m_sim, s_update));

    { std::ofstream(store + "/broken.pub") << "vexil-ed25519-public 00\n"; }
    m_sim.clearRequests();
    const Outcome refused = install(m_sim, signedImage, store);
    EXPECT_EQ(refused.status, 5);
    EXPECT_EQ(refused.out.rfind("CP1\nCP2\ninstall stopped: " + store + "/broken.pub: ", 0), 0u)
        << refused.out;
    EXPECT_EQ(count(m_sim, Call::Ioctl), 0u);
    std::filesystem::remove_all(store);
}

// Cuts the power before each state-changing operation of a full install in
// turn: after a re-attach the board holds one whole generation, and running
// the installer again installs the new set.
TEST_F(InstallerTest, PowerCutAtEveryStepLeavesOneWholeGeneration) {
    const auto image = imageOf(s_update).build();
    unsigned operations = 0;
    {
        Sim::Simulator sim;
        makeBoard(sim);
        addGeneration(sim, s_older, "_prev");
        addGeneration(sim, s_current, "");
        const unsigned before = sim.stateChangingOperations();
        ASSERT_EQ(install(sim, image).status, 0);
        operations = sim.stateChangingOperations() - before;
    }
    ASSERT_GT(operations, 10u);
    for (unsigned n = 1; n <= operations; ++n) {
        SCOPED_TRACE("power cut before operation " + std::to_string(n));
        Sim::Simulator sim;
        makeBoard(sim);
        addGeneration(sim, s_older, "_prev");
        addGeneration(sim, s_current, "");
        sim.powerCutBefore(n);
        EXPECT_NE(install(sim, image).status, 0);
        sim.reattach();
        EXPECT_TRUE(holds(sim, s_current) || holds(sim, s_update));
        // The manifest switches with the set it describes; the board had none before.
        const auto volumes = sim.volumes(0);
        EXPECT_TRUE(holds(sim, s_update) ? manifestDescribes(sim, s_update, "")
                                         : find(volumes, "manifest") == nullptr);
        ASSERT_EQ(install(sim, image).status, 0);
        EXPECT_TRUE(holds(sim, s_update));
    }
}

} // namespace
