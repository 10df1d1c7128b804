#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
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

TEST_F(TrustStoreLoad, Directories) {
    const PublicKey keyA = RfcKey::publicKey();
    PublicKey keyB;
    SecretKey secretB;
    generateKeyPair(keyB, secretB);
    const std::string fileB = publicKeyText(keyB);
    enum StorePath { Missing, Dir, RegularFile, DanglingLink };
    enum Kind { None, File, Directory, Fifo, Symlink };
    const auto Absent = TrustStore::Absent, Loaded = TrustStore::Loaded;
    const auto Refused = TrustStore::Refused;
    const struct {
        const char* name;
        StorePath path;
        bool withA;        // the store holds key A's file "a"
        const char* entry; // and, unless kind is None, this entry
        Kind kind;
        std::string content; // a file's text or a link's target
        TrustStore::State state;
        const char* reason; // from the store's path on
        const char* keys;   // the keys it finds
    } cases[] = {
        // clang-format off
        {"absent", Missing, false, "", None, "", Absent, "", ""},
        {"empty", Dir, false, "", None, "", Refused, "/store: holds no key file", ""},
        {"one key", Dir, true, "", None, "", Loaded, "", "A"},
        {"two keys", Dir, true, "b.pub", File, fileB, Loaded, "", "AB"},
        {"hidden file ignored", Dir, true, ".b", File, "junk", Loaded, "", "A"},
        {"hidden directory ignored", Dir, true, ".sub", Directory, "", Loaded, "", "A"},
        {"only a hidden key", Dir, false, ".a", File, publicFile, Refused, "/store: holds no key file", ""},
        {"link to a key file", Dir, false, "a", Symlink, "../a.pub", Loaded, "", "A"},
        {"malformed key", Dir, true, "b", File, fileB + "x", Refused, "/store/b: malformed public key file: more than one line", ""},
        {"secret key", Dir, false, "a", File, secretFile, Refused, "/store/a: malformed public key file: first word", ""},
        {"empty key file", Dir, false, "a", File, "", Refused, "/store/a: malformed public key file: not three words", ""},
        {"oversized key file", Dir, false, "a", File, publicFile + std::string(5000, ' '), Refused, "/store/a: malformed public key file: larger than 4096 bytes", ""},
        {"subdirectory", Dir, true, "sub", Directory, "", Refused, "/store/sub: not a regular file", ""},
        {"FIFO", Dir, true, "fifo", Fifo, "", Refused, "/store/fifo: not a regular file", ""},
        {"dangling symlink", Dir, true, "gone", Symlink, "nowhere", Refused, "/store/gone: cannot open: No such file or directory", ""},
        {"store is a file", RegularFile, false, "", None, "", Refused, "/store: cannot open directory: Not a directory", ""},
        {"store is a dangling symlink", DanglingLink, false, "", None, "", Refused, "/store: a symbolic link on the way to a trust store that is not there", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path store = path(c.name) / "store";
        create_directories(store.parent_path());
        std::ofstream(store.parent_path() / "a.pub") << publicFile;
        if (c.path == Dir) {
            create_directory(store);
        } else if (c.path == RegularFile) {
            std::ofstream(store) << publicFile;
        } else if (c.path == DanglingLink) {
            create_symlink("nowhere", store);
        }
        if (c.withA) {
            std::ofstream(store / "a") << publicFile;
        }
        const std::filesystem::path entry = store / c.entry;
        if (c.kind == File) {
            std::ofstream(entry, std::ios::binary) << c.content;
        } else if (c.kind == Directory) {
            create_directory(entry);
        } else if (c.kind == Fifo) {
            ASSERT_EQ(0, mkfifo(entry.c_str(), 0600));
        } else if (c.kind == Symlink) {
            create_symlink(c.content, entry);
        }
        const TrustStore trust = TrustStore::load(store);
        EXPECT_EQ(c.state, trust.state());
        const std::string reason =
            c.state == Refused ? store.parent_path().string() + c.reason : "";
        EXPECT_EQ(trust.reason().substr(0, reason.size()), reason);
        EXPECT_EQ(c.state == Refused, !trust.reason().empty());
        EXPECT_EQ(c.keys,
                  std::string(trust.find(keyA.id) ? "A" : "") + (trust.find(keyB.id) ? "B" : ""));
    }
}

// Only a store that is not there under real directories means "no store": a link on its path
// may lead into a file system that failed to mount.
TEST_F(TrustStoreLoad, PathToAMissingStore) {
    const auto Absent = TrustStore::Absent, Loaded = TrustStore::Loaded;
    const auto Refused = TrustStore::Refused;
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links; // path, target
        std::vector<std::string> directories;
        std::vector<std::string> files;
        TrustStore::State state;
        const char* reason; // from the case's directory on
    } cases[] = {
        // clang-format off
        {"store missing", {}, {"etc/vexil"}, {}, Absent, ""},
        {"its parent missing", {}, {"etc"}, {}, Absent, ""},
        {"parent a link, store missing", {{"etc/vexil", "../data/vexil"}}, {"etc", "data/vexil"}, {}, Refused, "/etc/vexil: a symbolic link on the way to a trust store that is not there"},
        {"unmounted file system under a linked parent", {{"etc", "ro/etc"}, {"ro/etc/vexil", "../../mnt/config/vexil"}}, {"ro/etc", "mnt/config"}, {}, Refused, "/etc: a symbolic link on the way"},
        {"parent a dangling link", {{"etc/vexil", "../mnt/config/vexil"}}, {"etc", "mnt/config"}, {}, Refused, "/etc/vexil: a symbolic link on the way"},
        {"store a dangling link", {{"etc/vexil/trusted-keys", "nowhere"}}, {"etc/vexil"}, {}, Refused, "/etc/vexil/trusted-keys: a symbolic link on the way"},
        {"parent a file", {}, {"etc"}, {"etc/vexil"}, Refused, "/etc/vexil/trusted-keys: cannot open directory: Not a directory"},
        {"parent a link, store there", {{"etc/vexil", "../data/vexil"}}, {"etc", "data/vexil/trusted-keys"}, {"data/vexil/trusted-keys/a"}, Loaded, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path root = path(c.name);
        for (const std::string& directory : c.directories) {
            create_directories(root / directory);
        }
        for (const std::string& file : c.files) {
            std::ofstream(root / file) << publicFile;
        }
        for (const auto& link : c.links) {
            create_directories((root / link.first).parent_path());
            create_symlink(link.second, root / link.first);
        }
        const TrustStore trust = TrustStore::load((root / "etc/vexil/trusted-keys").string());
        EXPECT_EQ(c.state, trust.state());
        EXPECT_EQ(trust.reason().substr(0, root.string().size() + strlen(c.reason)),
                  c.state == Refused ? root.string() + c.reason : "");
    }
}

} // namespace
