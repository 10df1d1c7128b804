// The installer's verdict on images, apart from the flash: slot blocks against their volumes,
// the warnings the tools give, and signatures against a trust store.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "common/ImageCheck.h"
#include "common/ImageStream.h"
#include "support/FdCapture.h"
#include "support/MemorySource.h"
#include "support/SignedImage.h"
#include "support/TempDirTest.h"
#include "tests/common/ImageBuilder.h"

namespace {

using Bytes = ImageBuilder::Bytes;

// The verdict and the warnings, one per line.
std::string judge(const Bytes& image, const SigningKeys::TrustStore& store) {
    FdCapture quiet;
    FwImage::Parser parser;
    FwImage::ImageCheck check(FwImage::standardCapacity, store);
    MemorySource source(image);
    FwImage::readImage(source, parser, check);
    std::string text = check.verdict(parser);
    for (const std::string& warning : check.warnings()) {
        text += "\nwarning: " + warning;
    }
    return text;
}

const Bytes kernel = ImageBuilder::pattern(5000, 1);
const Bytes devicetree = ImageBuilder::pattern(300, 2);
const Bytes rootfs = ImageBuilder::pattern(9000, 3);

ImageBuilder slots() {
    return ImageBuilder().block(1, kernel).block(3, devicetree).block(4, rootfs);
}

// Puts a block's CRC right after its payload was changed.
void fixCrc(Bytes& image, size_t header) {
    uint32_t size;
    memcpy(&size, &image[header + 4], 4);
    const Bytes payload(image.begin() + header + 12, image.begin() + header + 12 + be32toh(size));
    const uint32_t crc = htobe32(ImageBuilder::zlibCrc(payload));
    memcpy(&image[header + 8], &crc, 4);
}

class ImageCheckTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        SigningKeys::PublicKey otherPublic;
        SigningKeys::generateKeyPair(m_public, m_secret);
        SigningKeys::generateKeyPair(otherPublic, m_other);
        std::filesystem::create_directory(path("keys"));
        std::ofstream(path("keys") / "a.pub") << SigningKeys::publicKeyText(m_public);
    }

    SigningKeys::PublicKey m_public;
    SigningKeys::SecretKey m_secret;
    SigningKeys::SecretKey m_other;
};

TEST_F(ImageCheckTest, Verdicts) {
    const auto none = SigningKeys::TrustStore::load(path("absent"));
    const auto keys = SigningKeys::TrustStore::load(path("keys"));
    ASSERT_EQ(keys.state(), SigningKeys::TrustStore::Loaded);
    const std::string a = SigningKeys::keyIdHex(m_public.id);
    const std::string b = SigningKeys::keyIdHex(m_other.id);
    const size_t rootfsHeader = 60 + 12 + kernel.size() + 12 + devicetree.size();
    const Bytes unsignedImage = slots().build();
    Bytes flipped = unsignedImage;
    flipped.back() ^= 1;
    Bytes endless = ImageBuilder().block(1, kernel).build();
    endless.resize(60 + 12);
    const uint32_t huge = 0xFFFFFFFF;
    memcpy(&endless[64], &huge, 4);
    ImageBuilder zeroBlocks;
    for (int i = 0; i < 5000; ++i) {
        zeroBlocks.block(9, {});
    }
    const auto other = [](const Bytes& payload) {
        return ImageBuilder().block(1, kernel).block(3, payload).block(4, rootfs);
    };
    struct Case {
        const char* name;
        Bytes image;
        const SigningKeys::TrustStore& store;
        std::string verdict;
    };
    // clang-format off
    const Case cases[] = {
        {"good", unsignedImage, none, ""},
        {"no devicetree", ImageBuilder().block(1, kernel).block(4, rootfs).build(), none, "the image has no devicetree block (ID 3)"},
        {"5000 empty blocks without a slot", zeroBlocks.build(), none, "the image has no kernel block (ID 1)"},
        {"kernel larger than its volume", ImageBuilder().block(1, Bytes(6348801)).build(), none, "block 1 (kernel) is 6348801 bytes, more than the 6348800 bytes of kernel_new"},
        {"a size of 0xFFFFFFFF", endless, none, "block 1 (kernel) is 4294967295 bytes, more than the 6348800 bytes of kernel_new"},
        {"devicetree over 128 KiB", other(Bytes(200000)).build(), none, "\nwarning: block 3 (devicetree) is 200000 bytes, more than devicetree's 131072; it fits only because UBI rounds the volume up to 253952"},
        {"repeated and empty kernel", slots().block(1, {}).build(), none, "\nwarning: block 1 (kernel) is empty\nwarning: block 1 (kernel) comes more than once; the last one is installed"},
        {"magic one byte longer", slots().magic("VexilImgX").build(), none, "the image is for another board (magic 'VexilImgX', product 'Dorvyn')"},
        {"product filling its field", slots().product("DorvynXY").build(), none, "the image is for another board (magic 'VexilImg', product 'DorvynXY')"},
        {"product in lower case", slots().product("dorvyn").build(), none, "the image is for another board (magic 'VexilImg', product 'dorvyn')"},
        {"bytes after a NUL in the product", slots().product(std::string("Dorvyn\0X", 8)).build(), none, ""},
        {"control bytes in the product", slots().product("\x1b[2J").build(), none, "the image is for another board (magic 'VexilImg', product '\\x1b[2J')"},
        {"signed, no trust store", signedImage(slots(), m_secret), none, ""},
        {"signed by a trusted key", signedImage(slots(), m_secret), keys, ""},
        {"not signed", unsignedImage, keys, "the image is not signed"},
        {"CRC error before any signature", flipped, keys, "block 4 failed its CRC check"},
        {"signed by another key", signedImage(slots(), m_other), keys, "the image is signed by key " + b + ", which the board does not trust"},
        {"header field changed", signedImage(slots(), m_secret, [](Bytes& i) { i[27] ^= 1; }), keys, "the signature by key " + a + " does not match the image"},
        {"block header changed", signedImage(slots().block(7, {1}), m_secret, [&](Bytes& i) { i[rootfsHeader + 12 + rootfs.size() + 3] = 8; }), keys, "the signature by key " + a + " does not match the image"},
        {"payload changed, CRC made good", signedImage(slots(), m_secret, [&](Bytes& i) { i[rootfsHeader + 20] ^= 1; fixCrc(i, rootfsHeader); }), keys, "the signature by key " + a + " does not match the image"},
        {"signature byte changed", signedImage(slots(), m_secret, [](Bytes& i) { i[i.size() - 1] ^= 1; fixCrc(i, i.size() - 85); }), keys, "the signature by key " + a + " does not match the image"},
        {"key ID changed", signedImage(slots(), m_secret, [](Bytes& i) { i[i.size() - 72] ^= 1; fixCrc(i, i.size() - 85); }), keys, "the image is signed by key "},
        {"signed over another length", signedImage(slots().length(uint32_t(unsignedImage.size())), m_secret, [](Bytes& i) { const uint32_t l = htobe32(uint32_t(i.size())); memcpy(&i[20], &l, 4); }), keys, "the signature by key " + a + " does not match the image"},
        {"two signature blocks", signedImage(ImageBuilder(slots()).block(ImageSignature::blockId, Bytes(73)), m_secret), keys, "a block follows the signature block"},
        {"signature in the middle", ImageBuilder().block(ImageSignature::blockId, Bytes(73)).block(1, kernel).build(), keys, "a block follows the signature block"},
        {"signature block too short", slots().block(ImageSignature::blockId, Bytes(40)).build(), keys, "the signature block is malformed"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judge(c.image, c.store).substr(0, c.verdict.size()), c.verdict);
        if (c.verdict.empty()) {
            EXPECT_EQ(judge(c.image, c.store), "");
        }
    }
}

} // namespace
