// The installer's verdict on images, apart from the flash: slot blocks against their volumes,
// the warnings the tools give, and signed descriptions against a trust store.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>

#include "common/ImageCheck.h"
#include "common/ImageStream.h"
#include "support/MemorySource.h"
#include "support/SignedImage.h"
#include "support/TempDirTest.h"
#include "tests/common/ImageBuilder.h"

namespace {

using Bytes = ImageBuilder::Bytes;

// The verdict and the warnings, one per line.
std::string judge(const Bytes& image, const SigningKeys::TrustStore& store) {
    FwImage::Parser parser;
    FwImage::ImageCheck check(FwImage::standardCapacity, store);
    MemorySource source(image);
    FwImage::readImage(source, parser, check);
    std::string text;
    const bool accepted = check.accepts(parser, text);
    EXPECT_EQ(accepted, text.empty());
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
    // A signed image of the three slots: its description's payload at 72, its blocks behind.
    const size_t kernelAt = signedBlocksAt(3);
    const size_t devicetreeAt = kernelAt + 12 + kernel.size();
    const size_t rootfsAt = devicetreeAt + 12 + devicetree.size();
    const auto good = signedImage(slots(), m_secret);
    const auto edited = [&](const std::function<void(Bytes&)>& edit) {
        return signedImage(slots(), m_secret, edit);
    };
    // Flips bits, so that a random key's bytes can never leave the image unchanged.
    const auto descriptionByte = [&](size_t at, uint8_t flip) {
        return edited([=](Bytes& i) {
            i[72 + at] ^= flip;
            fixCrc(i, 60);
        });
    };
    const auto cut = [](Bytes image, size_t at, size_t length) {
        image.erase(image.begin() + long(at), image.begin() + long(at + length));
        FwImage::putBigEndian(&image[20], uint32_t(image.size()));
        return image;
    };
    Bytes swapped = good;
    std::rotate(swapped.begin() + long(kernelAt), swapped.begin() + long(devicetreeAt),
                swapped.begin() + long(rootfsAt));
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
        {"a backslash in the product", slots().product("\\x1b").build(), none, "the image is for another board (magic 'VexilImg', product '\\x5cx1b')"},
        {"signed, no trust store", good, none, ""},
        {"signed by a trusted key", good, keys, ""},
        {"not signed", unsignedImage, keys, "the image is not signed"},
        {"CRC error in an unsigned image", flipped, keys, "the image is not signed"},
        {"description behind a block", ImageBuilder(slots()).block(ImageDescription::blockId, Bytes(266)).build(), keys, "the image is not signed"},
        {"description's CRC", edited([](Bytes& i) { i[100] ^= 1; }), keys, "block 1447318339 failed its CRC check"},
        {"description 40 bytes", ImageBuilder().block(ImageDescription::blockId, Bytes(40)).block(1, kernel).build(), keys, "the signed description is malformed: it is 40 bytes"},
        {"description of 65 blocks' size", ImageBuilder().block(ImageDescription::blockId, Bytes(ImageDescription::payloadSize(65))).build(), keys, "the signed description is malformed: it is 2994 bytes"},
        {"format 2", descriptionByte(0, 1 ^ 2), keys, "the signed description is malformed: unknown format 2"},
        {"count disagrees with size", descriptionByte(69, 3 ^ 2), keys, "the signed description is malformed: it lists 2 blocks in 266 bytes"},
        {"signed by another key", signedImage(slots(), m_other), keys, "the image is signed by key " + b + ", which the board does not trust"},
        {"key ID changed", descriptionByte(1, 1), keys, "the image is signed by key "},
        {"signature byte changed", descriptionByte(265, 1), keys, "the signature by key " + a + " does not match the image"},
        {"entry changed", descriptionByte(100, 0xee), keys, "the signature by key " + a + " does not match the image"},
        {"header field changed", edited([](Bytes& i) { i[27] ^= 1; }), keys, "the image header is not the one the signed description holds"},
        {"blocks swapped", swapped, keys, "block 3 (devicetree) is not the block the signed description lists next (entry 1: ID 1, 5000 bytes"},
        {"block ID changed", edited([&](Bytes& i) { i[devicetreeAt + 3] = 8; }), keys, "block 8 is not the block the signed description lists next (entry 2: ID 3"},
        {"block CRC changed", edited([&](Bytes& i) { i[rootfsAt + 11] ^= 1; }), keys, "block 4 (rootfs) is not the block the signed description lists next (entry 3"},
        {"last block missing, length fixed", cut(good, rootfsAt, 12 + rootfs.size()), keys, "the image header is not the one the signed description holds"},
        {"last block missing", edited([&](Bytes& i) { i.resize(rootfsAt); }), keys, "the image ended early"},
        {"a block appended", edited([](Bytes& i) { const Bytes more = ImageBuilder().block(7, Bytes(2036)).build(); i.insert(i.end(), more.begin() + 60, more.end()); }), keys, "the image is longer than its declared length"},
        {"a block appended, length fixed", cut(edited([](Bytes& i) { const Bytes more = ImageBuilder().block(7, {1}).build(); i.insert(i.end(), more.begin() + 60, more.end()); }), 0, 0), keys, "the image header is not the one the signed description holds"},
        {"payload changed, same CRC-32", edited([&](Bytes& i) { alterKeepingCrc(i, rootfsAt + 20); }), keys, "block 4 (rootfs) does not match its SHA-256 in the signed description"},
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
