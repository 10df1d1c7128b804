// Signing: key pairs, and signed descriptions for new and existing images.

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Crc32.h"
#include "common/FwImageParser.h"
#include "common/ImageCheck.h"
#include "common/ImageStream.h"
#include "common/SigningKeys.h"
#include "tools/ImageTool.h"

namespace ImageTool {

namespace {

const char* const keygenHelp =
    "Usage: vexil-image keygen -o NAME\n"
    "\n"
    "Makes an Ed25519 key pair: the secret key in NAME (mode 0600, never printed) and\n"
    "the public key in NAME.pub. A board trusts the key once NAME.pub is in its\n"
    "/etc/vexil/trusted-keys. Neither file may exist yet, and NAME may not end in\n"
    "\".pub\".\n"
    "\n"
    "Exit status: 0 made, 2 usage error, 3 output error.\n";

const char* const signHelp =
    "Usage: vexil-image sign -o OUT IMAGE --key SECRETKEY\n"
    "\n"
    "Writes IMAGE to OUT behind a signed description of its blocks, in place of any\n"
    "description it had. IMAGE must be an image the installer would take, in a file\n"
    "(it is read twice).\n"
    "\n"
    "Exit status: 0 written, 1 IMAGE is not good, 2 usage error, 3 input or output error.\n";

// Reads an image as the installer would, judging it, and lists each block after any leading
// description with the SHA-256 of its payload; copies those blocks to `out` when it is not -1.
class Copier : public FwImage::StreamVisitor {
public:
    Copier(int out, const SigningKeys::TrustStore& store)
        : m_out(out), m_check(FwImage::standardCapacity, store) {}

    void onImageHeader(FwImage::Parser& parser, const uint8_t* raw) override {
        m_check.onImageHeader(parser, raw);
    }
    void onBlockHeader(FwImage::Parser& parser, const uint8_t* raw) override {
        m_check.onBlockHeader(parser, raw);
        const BlockHeader& block = parser.m_blockHeader;
        m_dropping = entries.empty() && !m_seenBlock && block.id == ImageDescription::blockId;
        m_seenBlock = true;
        if (!m_dropping) {
            entries.push_back({block.id, block.size, block.crc, {}});
            copy(raw, sizeof(BlockHeader));
        }
    }
    void onPayload(FwImage::Parser& parser, const uint8_t* data, unsigned size) override {
        m_check.onPayload(parser, data, size);
        if (m_dropping) {
            return;
        }
        m_hash.update(data, size);
        if (parser.m_state != FwImage::Parser::ReadBlockData) {
            entries.back().digest = m_hash.finish();
        }
        copy(data, size);
    }

    const FwImage::ImageCheck& check() const { return m_check; }
    std::vector<ImageDescription::Entry> entries;
    uint64_t blockBytes = 0;
    bool failed = false;

private:
    void copy(const void* data, size_t size) {
        failed = failed || (m_out != -1 && !Platform::writeAll(m_out, data, size));
        blockBytes += size;
    }

    int m_out;
    FwImage::ImageCheck m_check;
    ImageDescription::PayloadHash m_hash;
    bool m_seenBlock = false;
    bool m_dropping = false;
};

bool sameEntries(const std::vector<ImageDescription::Entry>& a,
                 const std::vector<ImageDescription::Entry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ImageDescription::Entry& x, const ImageDescription::Entry& y) {
                          return x.id == y.id && x.size == y.size && x.crc == y.crc &&
                                 x.digest == y.digest;
                      });
}

} // namespace

bool loadSecretKey(const char* command, const std::string& path, SigningKeys::SecretKey& key) {
    std::string bytes;
    std::string reason;
    if (!Platform::readRegularFile(path, SigningKeys::maxKeyFileSize, bytes, reason) ||
        !SigningKeys::parseSecretKey(bytes, key, reason)) {
        fprintf(stderr, "vexil-image %s: '%s': %s\n", command, path.c_str(), reason.c_str());
        return false;
    }
    return true;
}

uint64_t descriptionBlockSize(size_t entries) {
    return sizeof(BlockHeader) + ImageDescription::payloadSize(entries);
}

bool writeSignedStart(int fd, const ImageHeader& header,
                      const std::vector<ImageDescription::Entry>& entries,
                      const SigningKeys::SecretKey& key) {
    uint8_t raw[sizeof(ImageHeader)];
    FwImage::encodeHeader(header, raw);
    const std::vector<uint8_t> payload = ImageDescription::build(raw, entries, key);
    uint8_t block[sizeof(BlockHeader)];
    FwImage::encodeBlockHeader({ImageDescription::blockId, uint32_t(payload.size()),
                                Crc32::calculate(payload.data(), unsigned(payload.size()), 0)},
                               block);
    return Platform::pwriteAll(fd, raw, sizeof raw, 0) &&
           Platform::pwriteAll(fd, block, sizeof block, sizeof raw) &&
           Platform::pwriteAll(fd, payload.data(), payload.size(), sizeof raw + sizeof block);
}

int runKeygen(int argc, char** argv, FILE* out) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    int status = ExitGood;
    if (!startCommand(argc, argv, out, "keygen", keygenHelp, {"-o", "--output"}, {}, options,
                      operands, status)) {
        return status;
    }
    if (options.size() != 1 || !operands.empty() || options[0].value.empty()) {
        return usageError("keygen", "expects -o NAME and nothing else");
    }
    const std::string name = options[0].value;
    const std::string suffix = ".pub";
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return usageError("keygen", "NAME names the secret key; it may not end in \".pub\"");
    }
    for (const std::string& path : {name, name + ".pub"}) {
        struct stat existing;
        if (lstat(path.c_str(), &existing) == 0) {
            fprintf(stderr, "vexil-image keygen: '%s' already exists\n", path.c_str());
            return ExitIoError;
        }
    }
    SigningKeys::PublicKey publicKey;
    SigningKeys::SecretKey secretKey;
    SigningKeys::generateKeyPair(publicKey, secretKey);
    OutputFile secretFile("keygen", name, 0600);
    OutputFile publicFile("keygen", name + ".pub", 0666);
    const std::string secretText = SigningKeys::secretKeyText(secretKey);
    const std::string publicText = SigningKeys::publicKeyText(publicKey);
    if (!secretFile.open() || !publicFile.open()) {
        return ExitIoError;
    }
    if (!Platform::writeAll(secretFile.fd(), secretText.data(), secretText.size())) {
        return secretFile.writeFailed();
    }
    if (!Platform::writeAll(publicFile.fd(), publicText.data(), publicText.size())) {
        return publicFile.writeFailed();
    }
    if (!secretFile.commit(false) || !publicFile.commit(false)) {
        return ExitIoError;
    }
    fprintf(out, "%s: key ID %s, public key in %s.pub\n", name.c_str(),
            SigningKeys::keyIdHex(publicKey.id).c_str(), name.c_str());
    return ExitGood;
}

int runSign(int argc, char** argv, FILE* out) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    int status = ExitGood;
    if (!startCommand(argc, argv, out, "sign", signHelp, {"-o", "--output", "--key"}, {}, options,
                      operands, status)) {
        return status;
    }
    std::string output;
    std::string keyPath;
    for (const Option& option : options) {
        (option.name == "--key" ? keyPath : output) = option.value;
    }
    if (output.empty() || keyPath.empty() || operands.size() != 1) {
        return usageError("sign", "expects -o OUT, --key SECRETKEY and one IMAGE");
    }
    const std::string& path = operands[0];
    SigningKeys::SecretKey key;
    if (!loadSecretKey("sign", keyPath, key)) {
        return ExitIoError;
    }
    FileDescriptor image(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        fprintf(stderr, "vexil-image sign: cannot open '%s': %s\n", path.c_str(), strerror(errno));
        return ExitIoError;
    }
    OutputFile file("sign", output, 0666);
    if (!file.open({image.get()}, {keyPath})) {
        return ExitIoError;
    }
    // First the verdict and the list of blocks, then the copy behind the description.
    const SigningKeys::TrustStore noStore = SigningKeys::TrustStore::none();
    Copier listing(-1, noStore);
    Copier copier(file.fd(), noStore);
    for (Copier* pass : {&listing, &copier}) {
        FwImage::Parser parser;
        FdSource source(image.get());
        if (pass == &copier) {
            const off_t start =
                off_t(sizeof(ImageHeader) + descriptionBlockSize(listing.entries.size()));
            if (lseek(image.get(), 0, SEEK_SET) != 0 ||
                lseek(file.fd(), start, SEEK_SET) != start) {
                fprintf(stderr, "vexil-image sign: cannot read '%s' twice: %s\n", path.c_str(),
                        strerror(errno));
                return ExitIoError;
            }
        }
        const FwImage::StreamEnd end = FwImage::readImage(source, parser, *pass);
        if (end.cause == FwImage::StreamEnd::ReadError) {
            fprintf(stderr, "vexil-image sign: cannot read '%s': %s\n", path.c_str(),
                    strerror(end.error));
            return ExitIoError;
        }
        if (pass->failed) {
            return file.writeFailed();
        }
        std::string rejection;
        if (!pass->check().accepts(parser, rejection)) {
            fprintf(stderr, "vexil-image sign: '%s' is not an image a board would take: %s\n",
                    path.c_str(), rejection.c_str());
            return ExitBadImage;
        }
        if (pass == &listing && listing.entries.size() > ImageDescription::maxEntries) {
            fprintf(stderr,
                    "vexil-image sign: '%s' has %zu blocks; a signed image holds at most "
                    "%zu\n",
                    path.c_str(), listing.entries.size(), ImageDescription::maxEntries);
            return ExitBadImage;
        }
    }
    if (!sameEntries(listing.entries, copier.entries)) {
        fprintf(stderr, "vexil-image sign: '%s' changed while it was read\n", path.c_str());
        return ExitIoError;
    }
    const uint64_t length =
        sizeof(ImageHeader) + descriptionBlockSize(copier.entries.size()) + copier.blockBytes;
    if (length >= FwImage::imageSizeLimit) {
        fprintf(stderr, "vexil-image sign: the signed image would not stay below 4 GiB\n");
        return ExitBadImage;
    }
    ImageHeader header = copier.check().header();
    header.length = uint32_t(length);
    if (!writeSignedStart(file.fd(), header, copier.entries, key)) {
        return file.writeFailed();
    }
    if (!file.commit()) {
        return ExitIoError;
    }
    fprintf(out, "%s: signed, %llu bytes\n", output.c_str(),
            static_cast<unsigned long long>(length));
    return ExitGood;
}

} // namespace ImageTool
