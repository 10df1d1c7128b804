// vexil-slots against the UBI simulator: what it says of the generations an install leaves,
// the check against each manifest, rollback and its refusals, signers and the lock.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ImageBuilder.h"
#include "StringTool/StringTool.h"
#include "common/VexilSlots.h"
#include "support/InstallerBoard.h"
#include "support/SignedImage.h"

namespace {

using namespace InstallerBoard;

const Generation s_a{ImageBuilder::pattern(70000, 1), ImageBuilder::pattern(300, 2),
                     ImageBuilder::pattern(90000, 3)};
const Generation s_b{ImageBuilder::pattern(80000, 4), ImageBuilder::pattern(400, 5),
                     ImageBuilder::pattern(100000, 6)};

Bytes imageOf(const Generation& g, uint32_t version, const SigningKeys::SecretKey* key = nullptr) {
    ImageBuilder image;
    image.version(version).descr("v" + std::to_string(version));
    image.block(1, g.kernel).block(3, g.devicetree).block(4, g.rootfs);
    return key == nullptr ? image.build() : signedImage(image, *key);
}

class VexilSlotsTest : public ::testing::Test {
protected:
    // A installed, then B: B current, A previous.
    void SetUp() override {
        makeBoard(m_sim);
        ASSERT_EQ(install(m_sim, imageOf(s_a, 1)).status, 0);
        ASSERT_EQ(install(m_sim, imageOf(s_b, 2)).status, 0);
    }
    Sim::Simulator m_sim;
};

TEST_F(VexilSlotsTest, StatusCheckAndDamage) {
    const Outcome status = runSlots(m_sim, {"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out.substr(0, status.out.find('\n', status.out.find('\n') + 1) + 1),
              "current generation: version 0x2 \"v2\", not signed\n  volume           type        "
              "   size       data    expected crc32     upd_marker corrupted\n");
    const std::string rootfs = "  rootfs_prev      dynamic    36823040   36823040       90000 " +
                               StringTool::stringf("%08x", ImageBuilder::zlibCrc(s_a.rootfs)) +
                               "  0          0\n";
    EXPECT_NE(status.out.find("previous generation: version 0x1 \"v1\", not signed\n"),
              std::string::npos);
    EXPECT_NE(status.out.find(rootfs), std::string::npos) << status.out;
    EXPECT_EQ(status.out.find("unfinished"), std::string::npos);

    m_sim.clearRequests();
    const Outcome check = runSlots(m_sim, {"check"});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "current generation: whole, version 0x2 \"v2\", not signed\n"
                         "previous generation: whole, version 0x1 \"v1\", not signed\n");
    for (const auto& r : m_sim.requests()) {
        EXPECT_FALSE(r.kind == Sim::Call::Ioctl ||
                     (r.kind == Sim::Call::Open && r.request != O_RDONLY))
            << "check changes nothing: " << r.path;
    }
    // Damage found by reading back is named; a rollback to a damaged generation is refused.
    const auto volumes = m_sim.volumes(0);
    m_sim.corruptVolumeData(0, find(volumes, "rootfs_prev")->id, 10);
    EXPECT_EQ(runSlots(m_sim, {"check"}).out,
              "current generation: whole, version 0x2 \"v2\", not signed\n"
              "previous generation: NOT WHOLE: rootfs_prev reads back wrong\n");
    const Outcome refused = runSlots(m_sim, {"rollback"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "rollback refused: the previous generation is not whole: rootfs_prev "
                           "reads back wrong\n");
    EXPECT_TRUE(holds(m_sim, s_b));
    m_sim.corruptVolumeData(0, find(volumes, "manifest_prev")->id, 22);
    EXPECT_NE(runSlots(m_sim, {"check"})
                  .out.find("previous generation: NOT WHOLE: manifest_prev: its "
                            "CRC-32 does not match\n"),
              std::string::npos);
    EXPECT_EQ(runSlots(m_sim, {"check"}).status, 0) << "the status is the current generation's";
    m_sim.corruptVolumeData(0, find(volumes, "kernel")->id, 10);
    m_sim.reattach();
    EXPECT_EQ(runSlots(m_sim, {"check"}).status, 3) << "the current generation is not whole";
}

// A rollback swaps every name in one rename; a power cut leaves one whole generation whose
// manifest describes it.
TEST_F(VexilSlotsTest, RollbackSwapsTheGenerationsAtomically) {
    for (unsigned cut = 0; cut <= 2; ++cut) {
        SCOPED_TRACE("power cut " + std::to_string(cut));
        Sim::Simulator sim;
        makeBoard(sim);
        ASSERT_EQ(install(sim, imageOf(s_a, 1)).status, 0);
        ASSERT_EQ(install(sim, imageOf(s_b, 2)).status, 0);
        if (cut == 1) {
            sim.powerCutBefore(1);
        } else if (cut == 2) {
            sim.powerCutAfter(1);
        }
        const Outcome rolled = runSlots(sim, {"rollback"});
        sim.reattach();
        const bool back = holds(sim, s_a);
        EXPECT_EQ(back, cut != 1);
        EXPECT_TRUE(back ? holds(sim, s_b, "_prev") && manifestDescribes(sim, s_a, "") &&
                               manifestDescribes(sim, s_b, "_prev")
                         : holds(sim, s_b) && manifestDescribes(sim, s_b, ""));
        EXPECT_EQ(rolled.status, cut == 0 ? 0 : 4);
        if (cut == 0) {
            EXPECT_EQ(rolled.out,
                      "rolled back: the previous generation (version 0x1 \"v1\", not signed) is "
                      "current\n");
        }
    }
}

TEST(VexilSlots, GenerationsWithoutManifestsAndUsage) {
    Sim::Simulator sim, damaged;
    for (Sim::Simulator* board : {&sim, &damaged}) {
        makeBoard(*board);
        addGeneration(*board, s_a, "_prev");
        addGeneration(*board, s_b, "");
    }
    const Outcome notChecked = runSlots(sim, {"check"});
    EXPECT_EQ(notChecked.out, "current generation: not checked: no manifest (installed before "
                              "manifests were written)\nprevious generation: not checked: no "
                              "manifest (installed before manifests were written)\n");
    EXPECT_EQ(notChecked.status, 2);
    const Outcome refused = runSlots(sim, {"rollback"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.out.find("(--unchecked rolls back to it all the same)"), std::string::npos);
    // Data the kernel has not checked since attach: opening the volume makes it look.
    damaged.corruptVolumeData(0, find(damaged.volumes(0), "kernel_prev")->id, 100);
    damaged.reattach();
    const Outcome unchecked = runSlots(damaged, {"rollback", "--unchecked"});
    EXPECT_EQ(unchecked.status, 3);
    EXPECT_EQ(unchecked.out, "rollback refused: the previous generation is not whole: "
                             "kernel_prev is marked corrupted\n");
    EXPECT_TRUE(holds(damaged, s_b));
    EXPECT_EQ(runSlots(sim, {"rollback", "--unchecked"}).status, 0);
    EXPECT_TRUE(holds(sim, s_a));
    EXPECT_TRUE(holds(sim, s_b, "_prev"));
    // A manifest_prev left by such a board is gone once an install makes A the previous set.
    ASSERT_EQ(install(sim, imageOf(s_b, 3)).status, 0);
    EXPECT_TRUE(manifestDescribes(sim, s_b, ""));
    EXPECT_EQ(find(sim.volumes(0), "manifest_prev"), nullptr);

    for (const auto& args : {std::vector<std::string>{},
                             {"frobnicate"},
                             {"status", "--all"},
                             {"rollback", "--json"},
                             {"check", "--json", "x"}}) {
        const Outcome usage = runSlots(sim, args);
        EXPECT_EQ(usage.status, 1);
        EXPECT_EQ(usage.out, "");
    }
}

// Status tells a verified signer from a claimed one; one installer or vexil-slots at a time.
TEST_F(VexilSlotsTest, SignersAndLock) {
    char dir[] = "/tmp/vexil-keys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    SigningKeys::PublicKey publicKey;
    SigningKeys::SecretKey secretKey;
    SigningKeys::generateKeyPair(publicKey, secretKey);
    std::ofstream(std::string(dir) + "/k.pub") << SigningKeys::publicKeyText(publicKey);

    EXPECT_EQ(install(m_sim, imageOf(s_a, 0x80000000, &secretKey), dir).status, 0);
    EXPECT_EQ(install(m_sim, imageOf(s_a, 2, &secretKey)).status, 0) << "no trust store, no guard";
    const std::string shown = runSlots(m_sim, {"status"}).out;
    EXPECT_NE(shown.find("\"v2\", signed by key " + SigningKeys::keyIdHex(publicKey.id) +
                         " (not verified: no trusted keys)\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find(" (verified by a trusted key)\n"), std::string::npos);
    std::filesystem::remove_all(dir);

    Ubi::Device other(m_sim);
    ASSERT_TRUE(other.init("NAND.ubi") && other.lock());
    const Outcome busy = install(m_sim, imageOf(s_b, 9));
    EXPECT_EQ(busy.status, 6);
    EXPECT_EQ(busy.out, "CP1\nCP2\ninstall stopped: ubi0 is in use by another install or "
                        "vexil-slots\n");
    EXPECT_EQ(runSlots(m_sim, {"rollback"}).status, 6);
    EXPECT_EQ(runSlots(m_sim, {"status"}).status, 0) << "looking needs no lock";
}

} // namespace
