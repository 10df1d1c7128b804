#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/SigningKeys.h"
#include "common/TrustStore.h"
#include "support/RfcKey.h"
#include "support/TempDirTest.h"

namespace {

using namespace SigningKeys;
using RfcKey::id;
using RfcKey::publicFile;
using RfcKey::secretFile;

TEST(SigningKeys, KeyFiles) {
    const std::string pkHex = "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf";
    const std::string skHex =
        "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42" + pkHex;
    const std::string pub = "vexil-ed25519-public ", key = pub + id + " ";
    std::string withNul = publicFile;
    withNul[30] = '\0';
    // A seed that does not belong to the public half it carries.
    std::string wrongSeed = secretFile;
    wrongSeed[pub.size() + 17] = 'h';
    const struct {
        const char* name;
        bool secret;
        std::string text;
        const char* error; // nullptr: parses to the key above
    } cases[] = {
        // clang-format off
        {"public key", false, publicFile, nullptr},
        {"no line feed", false, key + RfcKey::publicBase64, nullptr},
        {"secret key", true, secretFile, nullptr},
        {"CR LF", false, key + RfcKey::publicBase64 + "\r\n", "not printable ASCII"},
        {"NUL byte", false, withNul, "not printable ASCII"},
        {"high-bit slash", false, key + "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u\xafU1k6/gZaDRn4r8=", "not printable ASCII"},
        {"two lines", false, publicFile + publicFile, "more than one line"},
        {"blank line after", false, publicFile + "\n", "more than one line"},
        {"empty", false, "", "three words"},
        {"double space", false, pub + id + "  " + RfcKey::publicBase64, "three words"},
        {"trailing space", false, key + RfcKey::publicBase64 + " \n", "three words"},
        {"secret key as public", false, secretFile, "first word is not \"vexil-ed25519-public\""},
        {"public key as secret", true, publicFile, "first word is not \"vexil-ed25519-secret\""},
        {"word prefix only", false, "vexil-ed25519 " + id + " " + RfcKey::publicBase64, "first word"},
        {"key ID not hex", false, pub + "b3f39d3b985a7dbx " + RfcKey::publicBase64, "lowercase hex"},
        {"key ID upper case", false, pub + "B3F39D3B985A7DB0 " + RfcKey::publicBase64, "lowercase hex"},
        {"key ID short", false, pub + "b3f39d3b985a7d " + RfcKey::publicBase64, "lowercase hex"},
        {"wrong key ID", false, pub + "b3f39d3b985a7db1 " + RfcKey::publicBase64, "key ID b3f39d3b985a7db1 does not match the key, whose ID is b3f39d3b985a7db0"},
        {"bad base64", false, key + "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r*=", "not base64"},
        {"no padding", false, key + "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r8", "not base64"},
        {"trailing garbage", false, key + RfcKey::publicBase64 + "AAAA", "not base64"},
        {"31 bytes", false, key + "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4g==", "key is 31 bytes, expected 32"},
        {"no key", false, key, "key is 0 bytes, expected 32"},
        {"36 bytes", false, key + std::string(48, 'A'), "key is 36 bytes"},
        {"stray bits", false, key + "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r9=", "not base64"},
        {"secret of 32 bytes", true, "vexil-ed25519-secret " + id + " " + RfcKey::publicBase64, "key is 32 bytes, expected 64"},
        {"secret with a wrong seed", true, wrongSeed, "does not match its own public half"},
        {"4096 bytes", false, std::string(maxKeyFileSize, 'a'), "three words"},
        {"4097 bytes", false, publicFile + std::string(maxKeyFileSize + 1 - publicFile.size(), ' '), "larger than 4096 bytes"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        PublicKey publicKey;
        SecretKey secretKey;
        const bool parsed = c.secret ? parseSecretKey(c.text, secretKey, error)
                                     : parsePublicKey(c.text, publicKey, error);
        if (c.error != nullptr) {
            EXPECT_FALSE(parsed);
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        ASSERT_TRUE(parsed) << error;
        const std::vector<uint8_t> bytes =
            c.secret ? std::vector<uint8_t>(secretKey.bytes.begin(), secretKey.bytes.end())
                     : std::vector<uint8_t>(publicKey.bytes.begin(), publicKey.bytes.end());
        EXPECT_EQ(RfcKey::unhex(c.secret ? skHex : pkHex), bytes);
        EXPECT_EQ(id, keyIdHex(c.secret ? secretKey.id : publicKey.id));
        EXPECT_EQ(c.secret ? secretFile : publicFile,
                  c.secret ? secretKeyText(secretKey) : publicKeyText(publicKey));
    }
}

class TrustStoreLoad : public TempDirTest {};

// The store etc/vexil/keys and the tree around it, by path from the case's directory: a file's
// text, "<dir>", "<fifo>", or "->TARGET" for a symbolic link. Only a store that is not there under
// real directories means "no store": a link on its path may lead into a file system that failed
// to mount.
TEST_F(TrustStoreLoad, Stores) {
    PublicKey keyB;
    SecretKey secretB;
    generateKeyPair(keyB, secretB);
    const std::string a = publicFile, b = publicKeyText(keyB), k = "etc/vexil/keys";
    const auto Absent = TrustStore::Absent, Loaded = TrustStore::Loaded;
    const auto Refused = TrustStore::Refused;
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> tree;
        TrustStore::State state;
        std::string reason; // from the case's directory on
        const char* keys;   // the keys it finds
    } cases[] = {
        // clang-format off
        {"absent", {{"etc/vexil", "<dir>"}}, Absent, "", ""},
        {"its parent absent", {{"etc", "<dir>"}}, Absent, "", ""},
        {"empty", {{k, "<dir>"}}, Refused, "/etc/vexil/keys: holds no key file", ""},
        {"one key", {{k + "/a", a}}, Loaded, "", "A"},
        {"two keys", {{k + "/a", a}, {k + "/b.pub", b}}, Loaded, "", "AB"},
        {"hidden file ignored", {{k + "/a", a}, {k + "/.b", "junk"}}, Loaded, "", "A"},
        {"hidden directory ignored", {{k + "/a", a}, {k + "/.sub", "<dir>"}}, Loaded, "", "A"},
        {"only a hidden key", {{k + "/.a", a}}, Refused, "/etc/vexil/keys: holds no key file", ""},
        {"link to a key file", {{"etc/vexil/a.pub", a}, {k + "/a", "->../a.pub"}}, Loaded, "", "A"},
        {"malformed key", {{k + "/a", a}, {k + "/b", b + "x"}}, Refused, "/etc/vexil/keys/b: malformed public key file: more than one line", ""},
        {"two bad files, the first by name", {{k + "/c", ""}, {k + "/b", secretFile}}, Refused, "/etc/vexil/keys/b: malformed public key file: first word", ""},
        {"empty key file", {{k + "/a", ""}}, Refused, "/etc/vexil/keys/a: malformed public key file: not three words", ""},
        {"oversized key file", {{k + "/a", a + std::string(5000, ' ')}}, Refused, "/etc/vexil/keys/a: malformed public key file: larger than 4096 bytes", ""},
        {"subdirectory", {{k + "/a", a}, {k + "/sub", "<dir>"}}, Refused, "/etc/vexil/keys/sub: not a regular file", ""},
        {"FIFO", {{k + "/a", a}, {k + "/fifo", "<fifo>"}}, Refused, "/etc/vexil/keys/fifo: not a regular file", ""},
        {"dangling symlink", {{k + "/a", a}, {k + "/gone", "->nowhere"}}, Refused, "/etc/vexil/keys/gone: cannot open: No such file or directory", ""},
        {"store is a file", {{k, a}}, Refused, "/etc/vexil/keys: cannot open directory: Not a directory", ""},
        {"parent a file", {{"etc/vexil", a}}, Refused, "/etc/vexil/keys: cannot open directory: Not a directory", ""},
        {"store a dangling link", {{k, "->nowhere"}}, Refused, "/etc/vexil/keys: a symbolic link on the way to a trust store that is not there", ""},
        {"parent a link, store absent", {{"etc/vexil", "->../data/vexil"}, {"data/vexil", "<dir>"}}, Refused, "/etc/vexil: a symbolic link on the way to a trust store that is not there", ""},
        {"unmounted file system under a linked parent", {{"etc", "->ro/etc"}, {"ro/etc/vexil", "->../../mnt/config/vexil"}, {"mnt/config", "<dir>"}}, Refused, "/etc: a symbolic link on the way", ""},
        {"parent a dangling link", {{"etc/vexil", "->../mnt/config/vexil"}, {"mnt/config", "<dir>"}}, Refused, "/etc/vexil: a symbolic link on the way", ""},
        {"parent a link, store there", {{"etc/vexil", "->../data/vexil"}, {"data/vexil/keys/a", a}}, Loaded, "", "A"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path root = path(c.name);
        for (const auto& [at, what] : c.tree) {
            const std::filesystem::path entry = root / at;
            create_directories(entry.parent_path());
            if (what == "<dir>") {
                create_directories(entry);
            } else if (what == "<fifo>") {
                ASSERT_EQ(0, mkfifo(entry.c_str(), 0600));
            } else if (what.rfind("->", 0) == 0) {
                create_symlink(what.substr(2), entry);
            } else {
                std::ofstream(entry, std::ios::binary) << what;
            }
        }
        const TrustStore trust = TrustStore::load((root / k).string());
        EXPECT_EQ(c.state, trust.state());
        const std::string reason = c.state == Refused ? root.string() + c.reason : "";
        EXPECT_EQ(trust.reason().substr(0, reason.size()), reason);
        EXPECT_EQ(c.state == Refused, !trust.reason().empty());
        EXPECT_EQ(c.keys, std::string(trust.find(RfcKey::publicKey().id) ? "A" : "") +
                              (trust.find(keyB.id) ? "B" : ""));
    }
}

} // namespace
