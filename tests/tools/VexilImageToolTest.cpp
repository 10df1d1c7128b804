#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDirTest.h"
#include "tests/common/ImageBuilder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = ImageBuilder::Bytes;

using Outcome = ProcessOutcome;

Bytes bytesOf(const fs::path& path) {
    const std::string text = readWholeFile(path);
    return Bytes(text.begin(), text.end());
}

class VexilImageTool : public TempDirTest {
protected:
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_dir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    Outcome tool(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{VEXIL_IMAGE_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv);
    }

    // kernel "abc", a devicetree and a rootfs larger than one installer chunk.
    std::vector<std::string> createArgs(const std::string& image, std::vector<std::string> extra) {
        extra.insert(extra.begin(),
                     {"create", "-o", path(image), "--kernel", file("k", {'a', 'b', 'c'}),
                      "--devicetree", file("d", ImageBuilder::pattern(1000, 1)), "--rootfs",
                      file("r", ImageBuilder::pattern(70000, 2))});
        return extra;
    }
    Outcome create(const std::string& image, const std::vector<std::string>& extra = {}) {
        return tool(createArgs(image, extra));
    }
};

// The image create writes, walked by hand with zlib's CRC.
TEST_F(VexilImageTool, CreateWritesTheFormatByteForByte) {
    const Outcome created = create("img", {"--block", "2=" + file("e", {}).string(), "--version",
                                           "0x10203", "--descr", "release 1"});
    ASSERT_EQ(0, created.status) << created.err;
    EXPECT_EQ(path("img").string() + ": 4 blocks, 71111 bytes\n", created.out);

    const Bytes expected = ImageBuilder()
                               .version(0x10203)
                               .descr("release 1")
                               .block(1, {'a', 'b', 'c'})
                               .block(3, ImageBuilder::pattern(1000, 1))
                               .block(4, ImageBuilder::pattern(70000, 2))
                               .block(2, {})
                               .build();
    EXPECT_TRUE(expected == bytesOf(path("img")));
    EXPECT_EQ((std::set<std::string>{"img", "k", "d", "r", "e"}), entries());
}

// A description that fills its field is shown escaped, for a terminal and in JSON; the CRC-32s
// are zlib's of the payloads.
TEST_F(VexilImageTool, InfoAndVerifyReadBackWhatCreateWrote) {
    const char* descr = "say \"hi\"\\\t\xc3\xa9"
                        "ddddddddddddddddddd";
    ASSERT_EQ(0, create("img", {"--version", "7", "--descr", descr}).status);
    const std::string blocks = "        60           1  kernel               3  0x352441c2  ok\n"
                               "        75           3  devicetree        1000  0xe7e24e4e  ";
    const Outcome info = tool({"info", path("img")});
    EXPECT_EQ(0, info.status);
    // clang-format off
    EXPECT_EQ("magic:    VexilImg\nproduct:  Dorvyn\nlength:   71099\nversion:  0x7\n"
              "descr:    say \"hi\"\\x5c\\x09\\xc3\\xa9ddddddddddddddddddd\nsigned:   no\n"
              "    offset          id  volume            size  crc         check\n" + blocks + "ok\n"
              "      1087           4  rootfs           70000  0xb7fb7393  ok\n"
              "verdict: OK (3 blocks, 71099 bytes)\n",
              info.out);
    EXPECT_EQ("", info.err);
    EXPECT_EQ("{\n  \"header\": {\"magic\": \"VexilImg\", \"product\": \"Dorvyn\", \"length\": 71099, "
              "\"version\": 7, \"descr\": \"say \\\"hi\\\"\\\\\\u0009\\u00c3\\u00a9ddddddddddddddddddd\"},\n"
              "  \"signature\": null,\n  \"blocks\": [\n"
              "    {\"offset\": 60, \"id\": 1, \"volume\": \"kernel\", \"size\": 3, \"crc\": 891568578, \"check\": \"ok\"},\n"
              "    {\"offset\": 75, \"id\": 3, \"volume\": \"devicetree\", \"size\": 1000, \"crc\": 3890368078, \"check\": \"ok\"},\n"
              "    {\"offset\": 1087, \"id\": 4, \"volume\": \"rootfs\", \"size\": 70000, \"crc\": 3086709651, \"check\": \"ok\"}\n"
              "  ],\n  \"warnings\": [],\n  \"trailingBytes\": 0,\n  \"good\": true,\n"
              "  \"verdict\": \"OK (3 blocks, 71099 bytes)\"\n}\n",
              tool({"info", "--json", path("img")}).out);
    // clang-format on
    const Outcome verify = tool({"verify", path("img")});
    EXPECT_EQ(0, verify.status);
    EXPECT_EQ(path("img").string() + ": OK (3 blocks, 71099 bytes)\n", verify.out);

    // A corrupted byte inside the devicetree payload is found in its block.
    Bytes image = bytesOf(path("img"));
    image[75 + 12 + 500] ^= 0x20;
    file("img", image);
    const Outcome bad = tool({"info", path("img")});
    EXPECT_EQ(1, bad.status);
    EXPECT_NE(std::string::npos,
              bad.out.find(blocks + "BAD, computed 0x24ff6b9f\nverdict: FAILED: block 3 failed its "
                                    "CRC check: the block at offset 75 (id 3, devicetree) stores "
                                    "0xe7e24e4e, its payload gives 0x24ff6b9f\n"))
        << bad.out;
}

// Each image with the one line verify gives: the installer's reason, then where. Odd but valid
// images pass with warnings on stderr; an endless stream ends at once.
TEST_F(VexilImageTool, VerifyGivesTheInstallersVerdict) {
    const Bytes kernel = {1, 2, 3};
    const Bytes good = ImageBuilder().block(1, kernel).block(3, {}).block(4, Bytes(20, 3)).build();
    const auto cut = [&](size_t size) { return Bytes(good.begin(), good.begin() + size); };
    Bytes shortTail = good, longTail = good;
    shortTail.resize(good.size() + 100, 0);
    longTail.resize(good.size() + 3000, 0);
    const std::string early = "FAILED: the image ended early: ";
    const Bytes odd = ImageBuilder().block(1, {}).block(3, {5}).block(4, {6}).block(1, {7}).build();
    const std::string warning = "vexil-image verify: " + path("img").string() + ": warning: ";
    struct Case {
        Bytes image;
        int status;
        std::string line;
        std::string err = "";
    };
    // clang-format off
    const std::vector<Case> cases = {
        {good, 0, "OK (3 blocks, 119 bytes)"},
        {odd, 0, "OK (4 blocks, 111 bytes)", warning + "block 1 (kernel) is empty\n" + warning + "block 1 (kernel) comes more than once; the last one is installed\n"},
        {shortTail, 0, "OK (3 blocks, 119 bytes; 100 trailing bytes ignored)"},
        {longTail, 1, "FAILED: the image is longer than its declared length: more data follows its end at byte 119"},
        {{}, 1, early + "the file is empty"},
        {cut(30), 1, early + "the file ends inside the image header: 30 of 60 bytes"},
        {cut(60), 1, early + "no block follows the image header"},
        {cut(80), 1, early + "the file ends inside the block header at offset 75: 5 of 12 bytes"},
        {cut(110), 1, early + "the file ends inside the payload of the block at offset 87 (id 4, rootfs): 11 of 20 bytes"},
        {ImageBuilder().block(1, kernel).length(200).build(), 1, early + "the file ends at byte 75, before the declared length 200"},
        {ImageBuilder().block(1, kernel).block(9, {4}).length(70).build(), 1, "FAILED: the image is longer than its declared length: the block at offset 60 (id 1, kernel) ends at byte 75, past the declared length 70"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const fs::path image = file("img", c.image);
        const Outcome verify = tool({"verify", image});
        EXPECT_EQ(c.status, verify.status) << c.line;
        EXPECT_EQ(image.string() + ": " + c.line + "\n", verify.out);
        EXPECT_EQ(c.err, verify.err);
    }
    const Outcome endless = tool({"verify", "/dev/zero"});
    EXPECT_EQ(1, endless.status);
    EXPECT_EQ("/dev/zero: FAILED: the image is for another board (magic '', product '')\n",
              endless.out);
}

// A pipe has no size up front; the limit must hold while streaming, and the
// half-written image must go.
TEST_F(VexilImageTool, CreateRefusesAnOversizedPayloadFromAPipe) {
    const Outcome refused =
        runProcess({"/bin/sh", "-c",
                    "head -c 6291457 /dev/zero | \"$0\" create -o \"$1\" "
                    "--devicetree \"$2\" --rootfs \"$3\" --kernel /dev/stdin",
                    VEXIL_IMAGE_BINARY, path("img"), file("d", {2}), file("r", {3})});
    EXPECT_EQ(1, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("larger than volume \"kernel\"")) << refused.err;
    EXPECT_EQ((std::set<std::string>{"d", "r"}), entries());
}

// Progress goes to stderr only when it is a terminal: people see it, scripts don't.
TEST_F(VexilImageTool, ProgressOnlyOnATerminal) {
    const fs::path rootfs = file("big", ImageBuilder::pattern(6u << 20, 3));
    const std::vector<std::string> args = {
        VEXIL_IMAGE_BINARY, "create",       "-o",           path("img"), "--kernel",
        file("k", {1}),     "--devicetree", file("d", {2}), "--rootfs",  rootfs};
    const Outcome quiet = runProcess(args);
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ("", quiet.err);

    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execProgram(args);
    }
    std::string seen;
    char chunk[512];
    ssize_t got;
    while ((got = read(master, chunk, sizeof chunk)) > 0) {
        seen.append(chunk, size_t(got));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string name = "packing block 4 (rootfs) from '" + rootfs.string() + "': ";
    EXPECT_NE(std::string::npos, seen.find("\r" + name + "1024 of 6144 KiB (16%)")) << seen;
    EXPECT_NE(std::string::npos, seen.find("\r" + name + "6144 of 6144 KiB (100%)\r\n")) << seen;
    EXPECT_EQ(std::string::npos, seen.find("block 1 (kernel)")) << seen;
}

// Usage errors (2), refused inputs (1), input and output errors (3): a status and a message of
// their own on stderr, an existing output and the inputs as they were, nothing left behind.
// Help exits 0 with usage on stdout, 3 when that cannot be written.
TEST_F(VexilImageTool, RefusalsAndHelp) {
    const std::string k = file("k", {1}), d = file("d", {2}), r = file("r", {3});
    const std::string old = file("old", {'o', 'l', 'd'}), empty = file("empty", {});
    const std::string bigKernel = file("bk", Bytes(6291457)), bigTree = file("bd", Bytes(131073));
    fs::create_symlink(k, path("link"));
    const fs::path huge = path("huge"); // sparse: only its size is looked at
    std::ofstream{huge};
    fs::resize_file(huge, (uint64_t(1) << 32) - 60 - 4 * 12 - 3);
    const auto making = [&](const std::string& out, const std::string& kernel,
                            const std::string& tree, std::vector<std::string> more = {}) {
        std::vector<std::string> all = {"create",       "-o", out,        "--kernel", kernel,
                                        "--devicetree", tree, "--rootfs", r};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message; // empty for help
    };
    // clang-format off
    const Case cases[] = {
        {{}, 2, "Usage: vexil-image COMMAND"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"create", "-o", old, "--kernel", k, "--devicetree", d}, 2, "missing --rootfs FILE"},
        {making(old, k, d, {"--kernel", k}), 2, "option --kernel given twice"},
        {making(old, k, d, {"--block", "x=" + k}), 2, "--block wants ID=FILE"},
        {making(old, k, d, {"--version", "-1"}), 2, "--version wants a 32-bit number"},
        {making(old, k, d, {"--version", "4294967296"}), 2, "--version wants a 32-bit number"},
        {making(old, k, d, {"--block", "4294967297=" + k}), 2, "--block wants ID=FILE"},
        {making(old, k, d, {"--descr", std::string(32, 'x')}), 2, "--descr is 32 bytes; it holds at most 31"},
        {making(old, k, d, {"--fast"}), 2, "unknown option --fast"},
        {{"keygen"}, 2, "expects -o NAME"},
        {{"keygen", "-o", path("rel.pub")}, 2, "NAME names the secret key; it may not end in \".pub\""},
        {{"sign", "-o", old, k}, 2, "expects -o OUT, --key SECRETKEY and one IMAGE"},
        {{"info"}, 2, "expects exactly one IMAGE"},
        {{"verify", old, old}, 2, "expects exactly one IMAGE"},
        {{"verify", path("nothing")}, 3, "vexil-image verify: cannot open '" + path("nothing").string() + "': No such file or directory\n"},
        {{"info", m_dir}, 3, "vexil-image info: cannot read"},
        {making(old, bigKernel, d), 1, "block 1 (kernel) from '" + bigKernel + "' is larger than volume \"kernel\" (6291457 bytes > 6291456 bytes)"},
        {making(old, k, bigTree), 1, "is larger than volume \"devicetree\" (131073 bytes > 131072 bytes)"},
        {making(old, k, d, {"--block", "3=" + bigTree}), 1, "is larger than volume \"devicetree\""},
        {making(old, k, d, {"--block", "9=" + huge.string()}), 1, "the image would be 4294967296 bytes or more; an image must stay below 4 GiB (4294967296 bytes)"},
        {making(old, empty, d), 1, "block 1 (kernel) from '" + empty + "' is empty"},
        {making("/dev/null", k, d), 3, "'/dev/null' exists and is not a regular file"},
        {making(path("link"), k, d), 3, "'" + path("link").string() + "' exists and is not a regular file"},
        {making(k, k, d), 3, "'" + k + "' is also an input"},
        {making(path("no/such/img"), k, d), 3, "cannot create '" + path("no/such/img").string() + "': No such file or directory"},
        {{"--help"}, 0, ""},
        {{"create", "--help"}, 0, ""},
        {{"info", "-h"}, 0, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        const Outcome outcome = tool(c.args);
        EXPECT_EQ(c.status, outcome.status) << c.message;
        if (c.message.empty()) {
            EXPECT_EQ(0u, outcome.out.find("Usage: vexil-image ")) << outcome.out;
            EXPECT_EQ("", outcome.err);
            continue;
        }
        EXPECT_NE(std::string::npos, outcome.err.find(c.message)) << outcome.err;
        EXPECT_EQ("", outcome.out);
    }
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(bytesOf(k), Bytes{1});
    EXPECT_EQ("old", readWholeFile(old));
    EXPECT_EQ((std::set<std::string>{"k", "d", "r", "old", "empty", "bk", "bd", "link", "huge"}),
              entries());
    EXPECT_EQ(
        0, tool(making(path("img"), empty, file("full", Bytes(131072)), {"--allow-empty"})).status)
        << "an empty kernel when asked, a devicetree that fills its volume";
    const Outcome lost =
        runProcess({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", VEXIL_IMAGE_BINARY});
    EXPECT_EQ(3, lost.status);
    EXPECT_EQ("vexil-image: standard output: No space left on device\n", lost.err);
}

// Outputs get the mode open(O_CREAT) would give them: a new file 0666, or 0600 for a secret
// key, under the caller's umask; a file replaced keeps its permissions.
TEST_F(VexilImageTool, OutputModesAreThoseOfOpen) {
    for (const char* name : {"img", "signed"}) {
        file(name, {});
        fs::permissions(path(name), fs::perms(0604));
    }
    const mode_t saved = umask(027);
    const Outcome created = create("img");
    const Outcome fresh = create("new");
    const Outcome keys = tool({"keygen", "-o", path("key")});
    const Outcome resigned =
        tool({"sign", "-o", path("signed"), path("img"), "--key", path("key")});
    umask(saved);
    for (const Outcome& outcome : {created, fresh, keys, resigned}) {
        ASSERT_EQ(0, outcome.status) << outcome.err;
    }
    const std::pair<const char*, unsigned> modes[] = {
        {"new", 0640}, {"key", 0600}, {"key.pub", 0640}, {"img", 0604}, {"signed", 0604}};
    for (const auto& [name, mode] : modes) {
        EXPECT_EQ(fs::perms(mode), fs::status(path(name)).permissions()) << name;
    }
}

// The image is on the disk before its name is, and the name after: fsync of the hidden file,
// the rename, then fsync of the directory.
TEST_F(VexilImageTool, OutputIsSyncedAroundItsRename) {
    if (runProcess({"/usr/bin/strace", "-o", "/dev/null", "/bin/true"}).status != 0) {
        GTEST_SKIP() << "strace is missing or cannot trace here";
    }
    // -y names each descriptor's file; LeakSanitizer cannot run under ptrace.
    std::vector<std::string> traced = createArgs("img", {});
    traced.insert(traced.begin(), {"/usr/bin/strace", "-y", "--output=" + path("trace").string(),
                                   "--trace=fsync,fdatasync,rename,renameat,renameat2",
                                   "--env=ASAN_OPTIONS=detect_leaks=0", VEXIL_IMAGE_BINARY});
    ASSERT_EQ(0, runProcess(traced).status);
    std::string seen;
    std::istringstream trace(readWholeFile(path("trace")));
    for (std::string line; std::getline(trace, line);) {
        if (line.find('(') == std::string::npos) {
            continue; // "+++ exited with 0 +++"
        }
        const bool hidden = line.find(".img.tmp-") != std::string::npos;
        const bool directory = line.find("<" + m_dir.string() + ">") != std::string::npos;
        seen += line.find("rename") != std::string::npos ? "rename" : "sync";
        seen += hidden ? " hidden file\n" : directory ? " directory\n" : " other\n";
    }
    EXPECT_EQ("sync hidden file\nrename hidden file\nsync directory\n", seen);
}

// Interrupted while it waits for its input, create leaves no hidden file behind.
TEST_F(VexilImageTool, SignalsRemoveTheHiddenFile) {
    const std::string d = file("d", {1}), r = file("r", {2});
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        int pipeFds[2];
        ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[0], STDIN_FILENO);
            execl(VEXIL_IMAGE_BINARY, VEXIL_IMAGE_BINARY, "create", "-o", path("img").c_str(),
                  "--kernel", "/dev/stdin", "--devicetree", d.c_str(), "--rootfs", r.c_str(),
                  nullptr);
            _exit(127);
        }
        close(pipeFds[0]);
        ASSERT_EQ(write(pipeFds[1], "kernel", 6), 6);
        // The hidden file exists once the first payload byte has been copied.
        for (int wait = 0; wait < 10000 && entries().size() < 3; ++wait) {
            usleep(1000);
        }
        EXPECT_EQ(3u, entries().size());
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        close(pipeFds[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
        EXPECT_EQ((std::set<std::string>{"d", "r"}), entries()) << signal;
    }
}

// keygen, create --sign, info, verify against trust stores, and sign, end to end.
TEST_F(VexilImageTool, SignedImagesRoundTrip) {
    ASSERT_EQ(0, tool({"keygen", "-o", path("board")}).status);
    ASSERT_EQ(0, tool({"keygen", "-o", path("other")}).status);
    EXPECT_EQ(3, tool({"keygen", "-o", path("board")}).status) << "never replaces a key";
    fs::create_directories(m_dir / "trusted");
    fs::create_directories(m_dir / "untrusted");
    fs::copy(path("board.pub"), m_dir / "trusted");
    fs::copy(path("other.pub"), m_dir / "untrusted");
    const std::string keyId = readWholeFile(path("board.pub")).substr(21, 16);

    ASSERT_EQ(0, create("signed", {"--sign", path("board")}).status);
    const std::pair<std::vector<std::string>, std::string> shown[] = {
        {{}, "signed:   claims key " + keyId + ", not verified\n"},
        {{}, "        60  1447318339  signed             266  0x"},
        {{"--trusted-keys", m_dir / "trusted"},
         "signed:   by key " + keyId + ", verified by a trusted key\n"},
        {{"--trusted-keys", m_dir / "untrusted"},
         "signed:   claims key " + keyId + ", not verified: the image is signed by key "},
    };
    for (auto [args, line] : shown) {
        args.insert(args.begin(), {"info", path("signed")});
        EXPECT_NE(std::string::npos, tool(args).out.find(line)) << line;
    }
    EXPECT_EQ(1, tool({"verify", path("signed"), "--trusted-keys", m_dir / "untrusted"}).status);

    // Ed25519 signs deterministically: signing the unsigned image gives the same bytes.
    ASSERT_EQ(0, create("plain").status);
    ASSERT_EQ(0,
              tool({"sign", "-o", path("resigned"), path("plain"), "--key", path("board")}).status);
    EXPECT_EQ(bytesOf(path("signed")), bytesOf(path("resigned")));
    ASSERT_EQ(0,
              tool({"sign", "-o", path("again"), path("signed"), "--key", path("other")}).status);
    EXPECT_EQ(0, tool({"verify", path("again"), "--trusted-keys", m_dir / "untrusted"}).status);
    // Never over the key that signs.
    const Bytes key = bytesOf(path("board"));
    EXPECT_EQ(3, tool({"sign", "-o", path("board"), path("plain"), "--key", path("board")}).status);
    EXPECT_EQ(3, create("board", {"--sign", path("board")}).status);
    EXPECT_EQ(key, bytesOf(path("board")));
    file("broken", ImageBuilder().block(2, {}).build());
    EXPECT_EQ(1, tool({"sign", "-o", path("x"), path("broken"), "--key", path("board")}).status);
    EXPECT_EQ(3, tool({"verify", path("signed"), "--trusted-keys", path("none")}).status);
}

} // namespace
