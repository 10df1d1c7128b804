// The real binaries end to end: vexil-image builds an image, vexil-board
// installs it on a simulated board, and the production installer refuses to
// run anywhere but on a board.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/InstallerBoard.h"
#include "support/Process.h"
#include "support/TempDirTest.h"
#include "tests/common/ImageBuilder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = ImageBuilder::Bytes;

const InstallerBoard::Generation s_older{ImageBuilder::pattern(40000, 21),
                                         ImageBuilder::pattern(700, 22),
                                         ImageBuilder::pattern(90000, 23)};
const InstallerBoard::Generation s_current{ImageBuilder::pattern(50000, 24),
                                           ImageBuilder::pattern(800, 25),
                                           ImageBuilder::pattern(100000, 26)};
const InstallerBoard::Generation s_update{ImageBuilder::pattern(140000, 27),
                                          ImageBuilder::pattern(0, 28),
                                          ImageBuilder::pattern(200000, 29)};

std::string hex8(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%08x", value);
    return text;
}

class VexilBoard : public TempDirTest {
protected:
    std::vector<std::string> generationFiles(const InstallerBoard::Generation& g,
                                             const std::string& name, const std::string& prefix) {
        return {"--" + prefix + "kernel",     file(name + ".k", g.kernel),
                "--" + prefix + "devicetree", file(name + ".d", g.devicetree),
                "--" + prefix + "rootfs",     file(name + ".r", g.rootfs)};
    }

    ProcessOutcome board(std::vector<std::string> args, int stdinFd = -1) {
        args.insert(args.begin(), VEXIL_BOARD_BINARY);
        return runProcess(args, stdinFd);
    }

    // A board holding s_current with s_older as "_prev", and an image of s_update.
    void prepare() {
        std::vector<std::string> args = {"create", m_board};
        for (const auto& arg : generationFiles(s_current, "current", "")) {
            args.push_back(arg);
        }
        for (const auto& arg : generationFiles(s_older, "older", "prev-")) {
            args.push_back(arg);
        }
        const ProcessOutcome created = board(args);
        ASSERT_EQ(created.status, 0) << created.err;
        const ProcessOutcome image = runProcess(
            {VEXIL_IMAGE_BINARY, "create", "-o", m_image, "--version", "0x20261206", "--descr",
             "update", "--kernel", file("u.k", s_update.kernel), "--devicetree",
             file("u.d", s_update.devicetree), "--rootfs", file("u.r", s_update.rootfs)});
        ASSERT_EQ(image.status, 0) << image.err;
    }

    // The show line of one volume, from its name on.
    static std::string volumeLine(const std::string& show, const std::string& name) {
        const size_t at = show.find("  " + name + " ");
        return at == std::string::npos ? "" : show.substr(at + 2, show.find('\n', at) - at - 2);
    }

    static void expectHolds(const std::string& show, const InstallerBoard::Generation& g,
                            const std::string& suffix) {
        for (int slot = 0; slot < 3; ++slot) {
            const std::string line = volumeLine(show, FwImage::s_volumes[slot].name + suffix);
            EXPECT_NE(line.find(" " + std::to_string(g[slot].size()) + "  " +
                                hex8(ImageBuilder::zlibCrc(g[slot])) + "  0           0"),
                      std::string::npos)
                << FwImage::s_volumes[slot].name << suffix << " in\n"
                << show;
        }
    }

    std::string m_board;
    std::string m_image;
};

class VexilBoardPrepared : public VexilBoard {
protected:
    void SetUp() override {
        VexilBoard::SetUp();
        m_board = m_dir / "board";
        m_image = m_dir / "update.img";
        prepare();
    }
};

TEST_F(VexilBoardPrepared, InstallPrintsTheInstallerTranscriptAndRotatesGenerations) {
    const ProcessOutcome before = board({"show", m_board});
    ASSERT_EQ(before.status, 0);
    expectHolds(before.out, s_current, "");
    expectHolds(before.out, s_older, "_prev");

    const ProcessOutcome installed = board({"install", m_board, m_image});
    const bool all[3] = {true, true, true};
    std::vector<InstallerBoard::BlockLine> blocks;
    uint32_t length = 60;
    for (int slot = 0; slot < 3; ++slot) {
        blocks.push_back({FwImage::s_volumes[slot].blockId, uint32_t(s_update[slot].size()),
                          ImageBuilder::zlibCrc(s_update[slot])});
        length += 12 + uint32_t(s_update[slot].size());
    }
    const std::string header = "Image header\n\tmagic:   VexilImg\n\tproduct: Dorvyn\n\tlength:  " +
                               std::to_string(length) +
                               "\n\tversion: 0x20261206\n\tdescr:   update\n";
    EXPECT_EQ(installed.out, InstallerBoard::transcript(header, blocks, all, all));
    EXPECT_EQ(installed.err, "");
    EXPECT_EQ(installed.status, 0);

    const ProcessOutcome after = board({"show", m_board});
    expectHolds(after.out, s_update, "");
    expectHolds(after.out, s_current, "_prev");
}

TEST_F(VexilBoardPrepared, InstallFromAPipe) {
    signal(SIGPIPE, SIG_IGN);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0); // the child must not hold the write end
    std::thread writer([&] {
        std::ifstream in(m_image, std::ios::binary);
        char chunk[4096];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
            if (write(pipeFds[1], chunk, size_t(in.gcount())) < 0) {
                break;
            }
        }
        close(pipeFds[1]);
    });
    const ProcessOutcome installed = board({"install", m_board, "/dev/stdin"}, pipeFds[0]);
    // Closed first, so a writer the installer stopped reading from fails instead of blocking.
    close(pipeFds[0]);
    writer.join();
    EXPECT_EQ(installed.status, 0) << installed.out;
    expectHolds(board({"show", m_board}).out, s_update, "");
}

TEST_F(VexilBoardPrepared, PowerCutThenRerunInstallsTheNewSet) {
    // Operation 4 is the first write: kernel_prev is gone, kernel_new is half updated.
    const ProcessOutcome cut = board({"powercut", m_board, "4", m_image});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_NE(cut.out.find("power cut before state-changing operation 4\ninstaller exit status: 4\n"
                           "after re-attach:\n"),
              std::string::npos)
        << cut.out;
    const std::string afterCut = cut.out.substr(cut.out.find("after re-attach:"));
    expectHolds(afterCut, s_current, "");
    EXPECT_EQ(volumeLine(afterCut, "kernel_prev"), "");

    const ProcessOutcome rerun = board({"install", m_board, m_image});
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    expectHolds(board({"show", m_board}).out, s_update, "");

    const ProcessOutcome late = board({"powercut", m_board, "1000", m_image});
    EXPECT_NE(late.out.find("no power cut: the install made only "), std::string::npos) << late.out;
}

TEST_F(VexilBoard, UsageAndBadBoards) {
    const ProcessOutcome none = board({});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("usage: vexil-board"), std::string::npos);
    EXPECT_EQ(board({"--help"}).status, 0);
    EXPECT_EQ(board({"frobnicate"}).status, 2);
    EXPECT_EQ(board({"install", m_dir.string()}).status, 2);

    const ProcessOutcome missing = board({"show", (m_dir / "nothing").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("is not a board"), std::string::npos) << missing.err;

    const ProcessOutcome exists = board({"create", m_dir.string()});
    EXPECT_EQ(exists.status, 1);
    EXPECT_NE(exists.err.find("already exists"), std::string::npos);

    const ProcessOutcome half =
        board({"create", (m_dir / "b").string(), "--kernel", file("k", {1})});
    EXPECT_EQ(half.status, 2);
    EXPECT_FALSE(fs::exists(m_dir / "b"));

    const ProcessOutcome empty = board({"create", (m_dir / "b").string(), "--size", "16MiB"});
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_NE(board({"show", (m_dir / "b").string()}).out.find("no volumes"), std::string::npos);
}

// The production installer has no way to reach the simulator: on a machine
// without a NAND.ubi partition it stops after its first line.
TEST(VexilImageInstallerBinary, ArgumentsAndNoDevice) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{VEXIL_INSTALLER_BINARY}, {VEXIL_INSTALLER_BINARY, "a", "b"}}) {
        const ProcessOutcome outcome = runProcess(argv);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
    }
    for (int n = 0; n < 20; ++n) {
        if (readWholeFile("/sys/class/mtd/mtd" + std::to_string(n) + "/name") == "NAND.ubi\n") {
            GTEST_SKIP() << "this machine has a NAND.ubi partition";
        }
    }
    const ProcessOutcome outcome = runProcess({VEXIL_INSTALLER_BINARY, "/nonexistent"});
    EXPECT_EQ(outcome.status, 255);
    EXPECT_EQ(outcome.out, "CP1\n");
    EXPECT_EQ(outcome.err, "");
}

} // namespace
