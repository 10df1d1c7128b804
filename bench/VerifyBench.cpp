// Verification speed: the image parser over a whole signed image, fed as the installer
// feeds it, with and without the signed description's digests, side by side with CRC-32 and
// each candidate digest alone (SHA-256, which the description carries, SHA-512 and BLAKE2b),
// zlib's crc32 and (with --file, where the image is written for it) sha256sum over the same
// bytes. Prints a markdown table; the best of several rounds counts,
// the rounds interleaved so that a busy moment of the machine hits every contender alike.
//
//   vexil-bench-verify [--mib N] [--rounds N] [--file PATH]

#include <endian.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sodium/crypto_generichash_blake2b.h>
#include <sodium/crypto_hash_sha256.h>
#include <sodium/crypto_hash_sha512.h>
#include <zlib.h>

#include "common/BoardLayout.h"
#include "common/Crc32.h"
#include "common/FwImageParser.h"
#include "common/ImageCheck.h"
#include "common/ImageDescription.h"
#include "common/ImageFormat.h"
#include "common/ImageStream.h"
#include "common/SigningKeys.h"
#include "common/TrustStore.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// An image with a signed description by `key`, the three blocks the board takes, full size,
// and one more block without a slot that fills it up to `total` bytes. The payload is
// pseudo-random so that nothing compresses or repeats; its CRCs come from zlib, so a parser
// that disagrees shows up.
std::vector<uint8_t> makeImage(uint32_t total, const SigningKeys::SecretKey& key) {
    const uint32_t description = ImageDescription::payloadSize(4);
    const uint32_t headers = sizeof(ImageHeader) + 5 * sizeof(BlockHeader);
    const uint32_t kernel = FwImage::s_volumes[0].size;
    const uint32_t devicetree = FwImage::s_volumes[1].size;
    const uint32_t rootfs = FwImage::s_volumes[2].size;
    // Whatever does not fit the three volumes goes into a block without a slot.
    const uint32_t rest = total - headers - description - kernel - devicetree - rootfs;
    std::vector<uint8_t> image(total);

    ImageHeader header{};
    memcpy(header.magic, FwImage::imageMagic, strlen(FwImage::imageMagic));
    memcpy(header.product, FwImage::imageProduct, strlen(FwImage::imageProduct));
    header.length = total;
    header.version = 1;
    FwImage::encodeHeader(header, image.data());

    uint64_t state = 0x9E3779B97F4A7C15ull;
    size_t at = sizeof header + sizeof(BlockHeader) + description;
    const std::pair<uint32_t, uint32_t> blocks[] = {{FwImage::s_volumes[0].blockId, kernel},
                                                    {FwImage::s_volumes[1].blockId, devicetree},
                                                    {FwImage::s_volumes[2].blockId, rootfs},
                                                    {2, rest}};
    std::vector<ImageDescription::Entry> entries;
    for (const auto& [id, size] : blocks) {
        uint8_t* block = image.data() + at;
        uint8_t* payload = block + sizeof(BlockHeader);
        for (uint32_t i = 0; i < size; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            payload[i] = uint8_t(state >> 32);
        }
        ImageDescription::Entry entry = {id, size, uint32_t(crc32(0, payload, size)), {}};
        crypto_hash_sha256(entry.digest.data(), payload, size);
        entries.push_back(entry);
        FwImage::encodeBlockHeader({id, size, entry.crc}, block);
        at += sizeof(BlockHeader) + size;
    }
    const std::vector<uint8_t> payload = ImageDescription::build(image.data(), entries, key);
    uint8_t* block = image.data() + sizeof header;
    FwImage::encodeBlockHeader(
        {ImageDescription::blockId, description, uint32_t(crc32(0, payload.data(), description))},
        block);
    memcpy(block + sizeof(BlockHeader), payload.data(), description);
    return image;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

class MemorySource : public FwImage::ByteSource {
public:
    explicit MemorySource(const std::vector<uint8_t>& image) : m_image(image) {}
    long read(void* buffer, unsigned size) override {
        const size_t length = std::min<size_t>(size, m_image.size() - m_at);
        memcpy(buffer, m_image.data() + m_at, length);
        m_at += length;
        return static_cast<long>(length);
    }

private:
    const std::vector<uint8_t>& m_image;
    size_t m_at = 0;
};

struct Ignore : FwImage::StreamVisitor {
    void onImageHeader(FwImage::Parser&, const uint8_t*) override {}
    void onBlockHeader(FwImage::Parser&, const uint8_t*) override {}
    void onPayload(FwImage::Parser&, const uint8_t*, unsigned) override {}
};

// The image as every reader reads it, from memory; judged as the installer judges it when a
// trust store is given.
double timeParser(const std::vector<uint8_t>& image, const SigningKeys::TrustStore* store) {
    FwImage::Parser parser;
    MemorySource source(image);
    Ignore ignore;
    // With a trust store, the installer's own judgement hashes every payload byte.
    std::unique_ptr<FwImage::ImageCheck> check(
        store != nullptr ? new FwImage::ImageCheck(FwImage::standardCapacity, *store) : nullptr);
    FwImage::StreamVisitor& visitor = check ? static_cast<FwImage::StreamVisitor&>(*check) : ignore;
    const auto start = Clock::now();
    FwImage::readImage(source, parser, visitor);
    std::string rejection;
    const bool accepted = !check || check->accepts(parser, rejection);
    const double elapsed = seconds(start);
    if (parser.end() != FwImage::Parser::Ok || parser.m_state != FwImage::Parser::Done) {
        fprintf(stderr, "vexil-bench-verify: the parser rejected the image (status %d)\n",
                int(parser.end()));
        exit(1);
    }
    if (!accepted) {
        fprintf(stderr, "vexil-bench-verify: the check rejected the image: %s\n",
                rejection.c_str());
        exit(1);
    }
    return elapsed;
}

// The whole image in the installer's piece size; `crc` gets the result.
template <typename Checksum>
double timeChunked(const std::vector<uint8_t>& image, Checksum sum, uint32_t& crc) {
    const auto start = Clock::now();
    crc = 0;
    for (size_t at = 0; at < image.size(); at += FwImage::maxChunkSize) {
        const unsigned piece = unsigned(std::min<size_t>(FwImage::maxChunkSize, image.size() - at));
        crc = sum(crc, image.data() + at, piece);
    }
    return seconds(start);
}

double timeSha256sum(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char program[] = "sha256sum";
    std::string file = path;
    char* argv[] = {program, file.data(), nullptr};
    const auto start = Clock::now();
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (error != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        fprintf(stderr, "vexil-bench-verify: sha256sum %s failed\n", path.c_str());
        exit(1);
    }
    return seconds(start);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    Descriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    size_t done = 0;
    while (out.fd >= 0 && done < data.size()) {
        const ssize_t wrote = write(out.fd, data.data() + done, data.size() - done);
        if (wrote <= 0) {
            break;
        }
        done += size_t(wrote);
    }
    if (done != data.size()) {
        fprintf(stderr, "vexil-bench-verify: cannot write %s\n", path.c_str());
        exit(1);
    }
}

struct Contender {
    const char* name;
    double best;
};

} // namespace

int main(int argc, char* argv[]) {
    unsigned mib = 64;
    unsigned rounds = 5;
    std::string file;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--mib") {
            mib = unsigned(atoi(argv[i + 1]));
        } else if (option == "--rounds") {
            rounds = unsigned(atoi(argv[i + 1]));
        } else if (option == "--file") {
            file = argv[i + 1];
        } else {
            fprintf(stderr, "usage: vexil-bench-verify [--mib N] [--rounds N] [--file PATH]\n");
            return 2;
        }
    }
    if (argc % 2 == 0 || mib < 43 || mib > 4095 || rounds == 0) {
        fprintf(stderr, "usage: vexil-bench-verify [--mib N] [--rounds N] [--file PATH]\n");
        return 2;
    }

    SigningKeys::PublicKey publicKey;
    SigningKeys::SecretKey secretKey;
    SigningKeys::generateKeyPair(publicKey, secretKey);
    const std::vector<uint8_t> image = makeImage(mib << 20, secretKey);
    if (!file.empty()) {
        writeFile(file, image);
    }
    // A trust store of the signing key turns the signature check on.
    const std::string keys = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") +
                             "/vexil-bench-verify." + std::to_string(getpid()) + ".keys";
    mkdir(keys.c_str(), 0700);
    writeFile(keys + "/k.pub", [&] {
        const std::string text = SigningKeys::publicKeyText(publicKey);
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    const SigningKeys::TrustStore store = SigningKeys::TrustStore::load(keys);

    enum { Parser, Signed, Calculate, Sha256, Sha512, Blake2b, Zlib, Bytewise, Sha256sum, Count };
    Contender contenders[Count] = {
        {"parser + CRC-32 (installer's pieces)", 1e9},
        {"parser + CRC-32 + signed description and SHA-256 digests (a board with keys)", 1e9},
        {"Crc32::calculate alone (same pieces)", 1e9},
        {"SHA-256 alone (libsodium, same pieces)", 1e9},
        {"SHA-512 alone (libsodium, same pieces)", 1e9},
        {"BLAKE2b-256 alone (libsodium, same pieces)", 1e9},
        {"zlib crc32 (same pieces)", 1e9},
        {"CRC-32 byte-at-a-time table (reference)", 1e9},
        {"sha256sum (same bytes, from page cache)", 1e9}};
    const auto keepBest = [&](int contender, double elapsed) {
        contenders[contender].best = std::min(contenders[contender].best, elapsed);
    };
    for (unsigned round = 0; round < rounds; ++round) {
        keepBest(Parser, timeParser(image, nullptr));
        keepBest(Signed, timeParser(image, &store));
        uint32_t zlibCrc = 0;
        uint32_t referenceCrc = 0;
        uint32_t calculateCrc = 0;
        uint32_t unused = 0;
        keepBest(Zlib, timeChunked(
                           image,
                           [](uint32_t crc, const uint8_t* p, unsigned n) {
                               return uint32_t(crc32(crc, p, n));
                           },
                           zlibCrc));
        keepBest(Bytewise, timeChunked(
                               image,
                               [](uint32_t crc, const uint8_t* p, unsigned n) {
                                   return Crc32::calculateBytewise(p, n, crc);
                               },
                               referenceCrc));
        keepBest(Calculate, timeChunked(
                                image,
                                [](uint32_t crc, const uint8_t* p, unsigned n) {
                                    return Crc32::calculate(p, n, crc);
                                },
                                calculateCrc));
        crypto_hash_sha256_state sha256;
        crypto_hash_sha512_state sha512;
        crypto_generichash_blake2b_state blake2b;
        crypto_hash_sha256_init(&sha256);
        crypto_hash_sha512_init(&sha512);
        crypto_generichash_blake2b_init(&blake2b, nullptr, 0, 32);
        // Each candidate digest over the same pieces; the checksum slot is unused.
        const auto digest = [&](int contender, auto update) {
            keepBest(contender, timeChunked(
                                    image,
                                    [&update](uint32_t, const uint8_t* p, unsigned n) {
                                        update(p, n);
                                        return 0u;
                                    },
                                    unused));
        };
        digest(Sha256,
               [&](const uint8_t* p, unsigned n) { crypto_hash_sha256_update(&sha256, p, n); });
        digest(Sha512,
               [&](const uint8_t* p, unsigned n) { crypto_hash_sha512_update(&sha512, p, n); });
        digest(Blake2b, [&](const uint8_t* p, unsigned n) {
            crypto_generichash_blake2b_update(&blake2b, p, n);
        });
        if (zlibCrc != referenceCrc || calculateCrc != referenceCrc) {
            fprintf(stderr, "vexil-bench-verify: CRC-32 %08x, zlib says %08x\n", referenceCrc,
                    zlibCrc);
            return 1;
        }
        if (!file.empty()) {
            keepBest(Sha256sum, timeSha256sum(file));
        }
    }
    if (!file.empty()) {
        unlink(file.c_str());
    }
    unlink((keys + "/k.pub").c_str());
    rmdir(keys.c_str());

    const double zlib = contenders[Zlib].best;
    printf("| %u MiB image | ms (best of %u) | MiB/s | time vs zlib crc32 |\n", mib, rounds);
    printf("|---|---:|---:|---:|\n");
    for (const Contender& contender : contenders) {
        if (&contender == &contenders[Sha256sum] && file.empty()) {
            continue;
        }
        printf("| %s | %.1f | %.0f | %.2f |\n", contender.name, contender.best * 1e3,
               mib / contender.best, contender.best / zlib);
    }
    return 0;
}
