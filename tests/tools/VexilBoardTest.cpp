// The real binaries end to end: vexil-image builds an image, vexil-board
// installs it on a simulated board, and the production installer refuses to
// run anywhere but on a board.

#include <gtest/gtest.h>

#include <sys/file.h>

#include <filesystem>

#include "StringTool/StringTool.h"
#include "common/BootEnvironment.h"
#include "support/InstallerBoard.h"
#include "support/Process.h"
#include "support/TempDirTest.h"
#include "tests/common/ImageBuilder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = ImageBuilder::Bytes;
using InstallerBoard::Generation;

const Generation s_older{ImageBuilder::pattern(40000, 21), ImageBuilder::pattern(700, 22),
                         ImageBuilder::pattern(90000, 23)};
const Generation s_current{ImageBuilder::pattern(50000, 24), ImageBuilder::pattern(800, 25),
                           ImageBuilder::pattern(100000, 26)};
const Generation s_update{ImageBuilder::pattern(140000, 27), ImageBuilder::pattern(0, 28),
                          ImageBuilder::pattern(200000, 29)};

class VexilBoard : public TempDirTest {
protected:
    std::vector<std::string> generationFiles(const Generation& g, const std::string& name,
                                             const std::string& prefix) {
        return {"--" + prefix + "kernel",     file(name + ".k", g.kernel),
                "--" + prefix + "devicetree", file(name + ".d", g.devicetree),
                "--" + prefix + "rootfs",     file(name + ".r", g.rootfs)};
    }

    ProcessOutcome board(std::vector<std::string> args) {
        args.insert(args.begin(), VEXIL_BOARD_BINARY);
        return runProcess(args);
    }

    // A board holding s_current, with s_older as "_prev" unless it is made for trial boots, and
    // an image of s_update.
    void prepare(bool trials = false) {
        m_board = m_dir / "board";
        m_image = m_dir / "update.img";
        std::vector<std::string> args = generationFiles(s_current, "current", "");
        const std::vector<std::string> more = trials ? std::vector<std::string>{"--trials", "yes"}
                                                     : generationFiles(s_older, "older", "prev-");
        args.insert(args.begin(), {"create", m_board});
        args.insert(args.end(), more.begin(), more.end());
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

    static void expectHolds(const std::string& show, const Generation& g,
                            const std::string& suffix) {
        for (int slot = 0; slot < 3; ++slot) {
            const std::string line = volumeLine(show, FwImage::s_volumes[slot].name + suffix);
            EXPECT_NE(line.find(" " + std::to_string(g[slot].size()) + "  " +
                                StringTool::stringf("%08x", ImageBuilder::zlibCrc(g[slot])) +
                                "  0           0"),
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
        prepare();
    }
};

// Operation 4 is the first write: kernel_prev is gone, kernel_new is half updated, and show
// marks the previous generation incomplete. powercut exits with the installer's status.
TEST_F(VexilBoardPrepared, PowerCutThenRerunInstallsTheNewSet) {
    const ProcessOutcome cut = board({"powercut", m_board, "4", m_image});
    ASSERT_EQ(cut.status, 4) << cut.err;
    EXPECT_NE(cut.out.find("power cut before state-changing operation 4\ninstaller exit status: 4\n"
                           "after re-attach:\n"),
              std::string::npos)
        << cut.out;
    const std::string afterCut = cut.out.substr(cut.out.find("after re-attach:"));
    expectHolds(afterCut, s_current, "");
    EXPECT_EQ(volumeLine(afterCut, "kernel_prev"), "");
    ProcessOutcome shown = board({"show", m_board});
    EXPECT_NE(shown.out.find("\nprevious generation incomplete: no kernel_prev\n"),
              std::string::npos)
        << shown.out;

    const ProcessOutcome rerun = board({"install", m_board, m_image});
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    shown = board({"show", m_board});
    expectHolds(shown.out, s_update, "");
    expectHolds(shown.out, s_current, "_prev");

    const ProcessOutcome late = board({"powercut", m_board, "1000", m_image});
    EXPECT_NE(late.out.find("no power cut: the install made only "), std::string::npos) << late.out;
    EXPECT_EQ(late.status, 0);
}

// Wrong commands and inputs no board can be made of: a status and one line of their own, and
// no board left behind.
TEST_F(VexilBoard, RefusedCommands) {
    const std::string b = (m_dir / "b").string();
    fs::create_directory(m_dir / "adir");
    const std::string k = file("k", {1}), d = file("d", {2}), r = file("r", {3});
    file("notakey", {'x'});
    const auto with = [&](std::vector<std::string> args, const std::string& kernel) {
        args.insert(args.end(), {"--kernel", kernel, "--devicetree", d, "--rootfs", r});
        return args;
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    // clang-format off
    const Case cases[] = {
        {{}, 64, "no command"},
        {{"frobnicate"}, 64, "unknown command frobnicate"},
        {{"install", m_dir.string()}, 64, "install needs a board directory and an image"},
        {{"powercut", m_dir.string(), "1KiB", "img"}, 64, "N counts state-changing operations from 1"},
        {{"damage", m_dir.string(), "rootfs", "4K"}, 64, "damage needs a board directory, a volume name and an offset"},
        {{"show", b, "x"}, 64, "show needs a board directory"},
        {{"show", (m_dir / "nothing").string()}, 70, "is not a board"},
        {{"create", m_dir.string()}, 70, "already exists"},
        {{"create", b, "--kernel", k}, 64, "a generation needs a payload for each of its volumes"},
        {{"create", b, "--prev-kernel", k, "--prev-devicetree", d, "--prev-rootfs", r}, 64, "a \"_prev\" generation needs a current one"},
        {{"create", b, "--fast", "1"}, 64, "unknown option --fast"},
        {{"create", b, "--eraseblock", "4096"}, 64, "the eraseblock must be more than two 2048-byte pages and at most 16 MiB"},
        {{"create", b, "--eraseblock", "17MiB"}, 64, "the eraseblock must be more than two 2048-byte pages and at most 16 MiB"},
        {{"create", b, "--size", "1920KiB"}, 64, "the size must be whole eraseblocks, from 16 to 65536 of them"},
        {{"create", b, "--size", "0x10000000000000"}, 64, "the size must be whole eraseblocks, from 16 to 65536 of them"},
        {{"create", b, "--size", "0x10000000000000MiB"}, 64, "not a size"},
        {with({"create", b, "--size", "2MiB"}, k), 65, "no room on the board for kernel"},
        {with({"create", b}, (m_dir / "adir").string()), 65, "adir for kernel: not a regular file"},
        {with({"create", b}, "/dev/zero"), 65, "/dev/zero for kernel: not a regular file"},
        {with({"create", b}, file("big", Bytes(6291457)).string()), 65, "for kernel: more than 6291456 bytes"},
        {{"create", b, "--trusted-key", path("notakey").string()}, 65, "cannot trust"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ProcessOutcome refused = board(c.args);
        EXPECT_EQ(refused.status, c.status) << c.message;
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(b)) << c.message;
    }
    EXPECT_EQ("vexil-board: no command\n" + board({"show", b, "--help"}).out, board({}).err);
    // 128 eraseblocks: UBI keeps 4, and 3 for bad blocks (20 per 1024, rounded up).
    EXPECT_EQ(board({"create", b, "--size", "16MiB"}).status, 0);
    EXPECT_EQ(board({"show", b}).out,
              "NAND.ubi: ubi0 on mtd0, 121 eraseblocks of 126976 bytes, 121 available\n"
              "trusted keys: none (any image with the right identity installs)\nno volumes\n");
}

// A save that fails leaves the old board whole; a board in use is refused, not shared.
TEST_F(VexilBoardPrepared, SavesAreWholeAndRunsDoNotInterleave) {
    const std::string before = board({"show", m_board}).out;
    fs::create_directory(m_board + "/board.txt.new");
    const ProcessOutcome unsaved = board({"install", m_board, m_image});
    EXPECT_EQ(unsaved.status, 70);
    EXPECT_NE(unsaved.err.find("cannot save the board"), std::string::npos) << unsaved.err;
    EXPECT_EQ(board({"show", m_board}).out, before);
    fs::remove(m_board + "/board.txt.new");

    const int held = open(m_board.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_SH), 0);
    EXPECT_EQ(board({"show", m_board}).out, before) << "looking shares the board";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"install", m_board, m_image}, {"show", m_board}}) {
        const ProcessOutcome busy = board(args);
        EXPECT_EQ(busy.status, 75);
        EXPECT_EQ(busy.err, "vexil-board: " + m_board + " is in use by another vexil-board run\n");
        ASSERT_EQ(flock(held, LOCK_EX), 0);
    }
    close(held);
    EXPECT_EQ(board({"show", m_board}).out, before);
}

// vexil-slots runs on a simulated board as on a real one; damage can be rehearsed. Output that
// cannot be written is an error, and a board the command changed is saved all the same.
TEST_F(VexilBoardPrepared, SlotsDamageAndLostOutput) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"install", m_board, m_image},
          {"show", m_board},
          {"slots", m_board, "status"}}) {
        std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                          VEXIL_BOARD_BINARY};
        shell.insert(shell.end(), args.begin(), args.end());
        const ProcessOutcome lost = runProcess(shell);
        EXPECT_EQ(lost.status, 74) << args[0];
        EXPECT_EQ(lost.err, "vexil-board: standard output could not be written\n");
    }
    EXPECT_EQ(board({"damage", m_board, "rootfs", "199999"}).status, 0); // its last byte
    const ProcessOutcome check = board({"slots", m_board, "check"});
    EXPECT_EQ(check.status, 3);
    EXPECT_EQ(check.out.rfind("current generation: NOT WHOLE: rootfs reads back wrong\n", 0), 0u);
    EXPECT_EQ(board({"slots", m_board, "rollback", "--unchecked"}).status, 0);
    expectHolds(board({"show", m_board}).out, s_current, "");
    EXPECT_EQ(board({"damage", m_board, "nosuch", "0"}).status, 65);
}

// A board that trusts a key refuses an image that key did not sign.
TEST_F(VexilBoardPrepared, TrustedKeysMakeSignaturesACondition) {
    const std::string key = path("key").string();
    ASSERT_EQ(runProcess({VEXIL_IMAGE_BINARY, "keygen", "-o", key}).status, 0);
    const std::string b = (m_dir / "b").string();
    ASSERT_EQ(board({"create", b, "--trusted-key", key + ".pub"}).status, 0);
    const std::string keyId = readWholeFile(key + ".pub").substr(21, 16);
    EXPECT_NE(board({"show", b}).out.find("\ntrusted keys: " + keyId + "\n"), std::string::npos);
    EXPECT_EQ(board({"install", b, m_image}).status, 3);
}

// The production installer has no way to reach the simulator: on a machine
// without a NAND.ubi partition it stops after its first line.
TEST(VexilImageInstallerBinary, NoDevice) {
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

// A board made for trial boots installs as the installer does, puts the install on trial, says
// so, and is confirmed through vexil-slots as a board would be.
TEST_F(VexilBoard, TrialBoots) {
    prepare(true);
    const ProcessOutcome installed = board({"install", m_board, m_image});
    const bool none[3] = {false, false, false}, all[3] = {true, true, true};
    const std::string image = readWholeFile(m_image);
    EXPECT_EQ(installed.out, InstallerBoard::transcript({image.begin(), image.end()}, none, all));
    EXPECT_EQ(installed.status, 0);
    EXPECT_NE(board({"show", m_board})
                  .out.find("trial boots: a set on trial, vexil_tries 3; "
                            "last rehearsed boot: vexil.boot=unknown\n"),
              std::string::npos);
    EXPECT_EQ(board({"slots", m_board, "confirm"}).status, 0) << "booted without the script";
    ASSERT_EQ(board({"install", m_board, m_image}).status, 0);
    // The boot as the boot script makes it: not yet counted down, the set has never booted.
    std::ofstream(m_dir / "board" / "cmdline") << "root=ubi0:rootfs vexil.boot=trial\n";
    EXPECT_EQ(board({"slots", m_board, "confirm"}).status, 3);
    {
        // Closed before vexil-board runs: an open environment holds libubootenv's lock.
        BootEnvironment::Environment environment((m_dir / "board" / "fw_env.config").string());
        ASSERT_TRUE(environment.set("vexil_tries", "2") && environment.store());
    }
    EXPECT_EQ(board({"slots", m_board, "confirm"}).status, 0);
    EXPECT_NE(board({"slots", m_board, "status"}).out.find("boot: not on trial; booted as trial"),
              std::string::npos);
    EXPECT_EQ(board({"install", m_board, m_image}).status, 0) << "confirmed: the next one installs";
}

} // namespace
