// Signing: key pairs, and signature blocks for new and existing images.

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Crc32.h"
#include "common/FwImageParser.h"
#include "common/ImageCheck.h"
#include "common/ImageSignature.h"
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
    "/etc/vexil/trusted-keys. Neither file may exist yet.\n"
    "\n"
    "Exit status: 0 made, 2 usage error, 3 output error.\n";

const char* const signHelp =
    "Usage: vexil-image sign -o OUT IMAGE --key SECRETKEY\n"
    "\n"
    "Writes IMAGE to OUT with a signature block at its end, in place of any signature\n"
    "block it had. IMAGE must be one the installer would take.\n"
    "\n"
    "Exit status: 0 written, 1 IMAGE is not good, 2 usage error, 3 input or output error.\n";

// Copies the image to the output as it streams past, without any signature block, and
// judges it as the installer would.
class Copier : public FwImage::StreamVisitor {
public:
    Copier(int out, const SigningKeys::TrustStore& store)
        : m_out(out), m_check(FwImage::standardCapacity, store) {}

    void onImageHeader(FwImage::Parser& parser, const uint8_t* raw) override {
        m_check.onImageHeader(parser, raw);
        copy(raw, sizeof(ImageHeader));
    }
    void onBlockHeader(FwImage::Parser& parser, const uint8_t* raw) override {
        m_check.onBlockHeader(parser, raw);
        m_dropping = parser.m_blockHeader.id == ImageSignature::blockId;
        if (!m_dropping) {
            copy(raw, sizeof(BlockHeader));
        }
    }
    void onPayload(FwImage::Parser& parser, const uint8_t* data, unsigned size) override {
        m_check.onPayload(parser, data, size);
        if (!m_dropping) {
            copy(data, size);
        }
    }

    const FwImage::ImageCheck& check() const { return m_check; }
    uint64_t written = 0;
    bool failed = false;

private:
    void copy(const void* data, size_t size) {
        failed = failed || !Platform::writeAll(m_out, data, size);
        written += size;
    }

    int m_out;
    FwImage::ImageCheck m_check;
    bool m_dropping = false;
};

} // namespace

bool loadSecretKey(const char* command, const std::string& path, std::string& text) {
    std::string bytes;
    std::string reason;
    SigningKeys::SecretKey key;
    if (!Platform::readRegularFile(path, SigningKeys::maxKeyFileSize, bytes, reason) ||
        !SigningKeys::parseSecretKey(bytes, key, reason)) {
        fprintf(stderr, "vexil-image %s: '%s': %s\n", command, path.c_str(), reason.c_str());
        return false;
    }
    text = bytes;
    return true;
}

bool appendSignature(int fd, uint64_t imageSize, const std::string& secretKey) {
    SigningKeys::SecretKey key;
    std::string error;
    SigningKeys::parseSecretKey(secretKey, key, error);
    ImageSignature::Hasher hasher;
    std::vector<uint8_t> buffer(FwImage::maxChunkSize);
    for (uint64_t at = 0; at < imageSize;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), imageSize - at));
        const ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(at));
        if (got <= 0) {
            errno = got == 0 ? EIO : errno;
            return false;
        }
        hasher.update(buffer.data(), static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    const ImageSignature::Payload payload = hasher.sign(key);
    BlockHeader header;
    header.id = htobe32(ImageSignature::blockId);
    header.size = htobe32(static_cast<uint32_t>(payload.size()));
    header.crc = htobe32(Crc32::calculate(payload.data(), unsigned(payload.size()), 0));
    return Platform::pwriteAll(fd, &header, sizeof header, static_cast<off_t>(imageSize)) &&
           Platform::pwriteAll(fd, payload.data(), payload.size(),
                               static_cast<off_t>(imageSize + sizeof header));
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
    std::string key;
    if (!loadSecretKey("sign", keyPath, key)) {
        return ExitIoError;
    }
    FileDescriptor image(open(operands[0].c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        fprintf(stderr, "vexil-image sign: cannot open '%s': %s\n", operands[0].c_str(),
                strerror(errno));
        return ExitIoError;
    }
    OutputFile file("sign", output, 0666);
    if (!file.open({image.get()})) {
        return ExitIoError;
    }
    const SigningKeys::TrustStore noStore = SigningKeys::TrustStore::none();
    Copier copier(file.fd(), noStore);
    FwImage::Parser parser;
    FdSource source(image.get());
    const FwImage::StreamEnd end = FwImage::readImage(source, parser, copier);
    if (end.cause == FwImage::StreamEnd::ReadError) {
        fprintf(stderr, "vexil-image sign: cannot read '%s': %s\n", operands[0].c_str(),
                strerror(end.error));
        return ExitIoError;
    }
    if (copier.failed) {
        return file.writeFailed();
    }
    const std::string rejection = copier.check().verdict(parser);
    if (!rejection.empty()) {
        fprintf(stderr, "vexil-image sign: '%s' is not an image a board would take: %s\n",
                operands[0].c_str(), rejection.c_str());
        return ExitBadImage;
    }
    const uint64_t length = copier.written + sizeof(BlockHeader) + ImageSignature::payloadSize;
    if (length >= (uint64_t(1) << 32)) {
        fprintf(stderr, "vexil-image sign: the signed image would not stay below 4 GiB\n");
        return ExitBadImage;
    }
    const uint32_t field = htobe32(static_cast<uint32_t>(length));
    if (!Platform::pwriteAll(file.fd(), &field, sizeof field, offsetof(ImageHeader, length)) ||
        !appendSignature(file.fd(), copier.written, key)) {
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
