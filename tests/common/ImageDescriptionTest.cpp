// The signed description's bytes, pinned against an independent signer, and its decoder
// against damaged inputs.

#include <gtest/gtest.h>

#include <sodium/crypto_hash_sha256.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ImageDescription.h"
#include "common/ImageFormat.h"
#include "support/RfcKey.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes header() {
    Bytes raw(sizeof(ImageHeader), 0);
    memcpy(&raw[0], "VexilImg", 8);
    memcpy(&raw[12], "Dorvyn", 6);
    FwImage::putBigEndian(&raw[20], 1000);
    FwImage::putBigEndian(&raw[24], 0x20261208);
    memcpy(&raw[28], "pinned", 6);
    return raw;
}

std::vector<ImageDescription::Entry> entries() {
    ImageDescription::Entry hello = {1, 5, 0x3610a686, {}};
    ImageDescription::Entry empty = {4, 0, 0, {}};
    crypto_hash_sha256(hello.digest.data(), reinterpret_cast<const uint8_t*>("hello"), 5);
    crypto_hash_sha256(empty.digest.data(), nullptr, 0);
    return {hello, empty};
}

// The layout as the README gives it; the signature made by OpenSSL's Ed25519 over the same bytes.
TEST(ImageDescription, BytesAsDocumented) {
    const Bytes bytes = ImageDescription::build(header().data(), entries(), RfcKey::secretKey());
    Bytes expected = {1};
    const Bytes id = RfcKey::unhex(RfcKey::id);
    const Bytes raw = header();
    expected.insert(expected.end(), id.begin(), id.end());
    expected.insert(expected.end(), raw.begin(), raw.end());
    expected.push_back(2);
    for (const ImageDescription::Entry& entry : entries()) {
        Bytes fields(12);
        FwImage::putBigEndian(&fields[0], entry.id);
        FwImage::putBigEndian(&fields[4], entry.size);
        FwImage::putBigEndian(&fields[8], entry.crc);
        expected.insert(expected.end(), fields.begin(), fields.end());
        expected.insert(expected.end(), entry.digest.begin(), entry.digest.end());
    }
    const Bytes signature =
        RfcKey::unhex("9171b854b64c5e37e83a4b98d8ce41fbf9205e143e15d2a04f4a1e9c561a91e6"
                      "3d3594dcb1be2090f8f72a69dd516f606e0fbbaca0c9d6c30f653799b54e8e06");
    expected.insert(expected.end(), signature.begin(), signature.end());
    EXPECT_EQ(bytes, expected);
}

TEST(ImageDescription, DecodesOnlyWhatItWrote) {
    const SigningKeys::SecretKey a = RfcKey::secretKey();
    SigningKeys::PublicKey publicB;
    SigningKeys::SecretKey b;
    SigningKeys::generateKeyPair(publicB, b);
    const Bytes good = ImageDescription::build(header().data(), entries(), a);
    const auto changed = [&good](size_t at, uint8_t value) {
        Bytes bytes = good;
        bytes[at] = value;
        return bytes;
    };
    const auto sized = [&good](size_t size) {
        Bytes bytes = good;
        bytes.resize(size);
        return bytes;
    };
    Bytes claimsB = changed(1, 0);
    std::copy(publicB.id.begin(), publicB.id.end(), claimsB.begin() + 1);
    const struct {
        const char* name;
        Bytes bytes;
        const char* why;    // nullptr: decodes
        bool signedByA;     // when it decodes
        bool headerMatches; // when it decodes
    } cases[] = {
        // clang-format off
        {"good", good, nullptr, true, true},
        {"empty", {}, "it is 0 bytes", false, false},
        {"one entry short", sized(ImageDescription::payloadSize(1) - 1), "it is 177 bytes", false, false},
        {"over 64 entries", Bytes(ImageDescription::maxPayloadSize + 1), "it is 2951 bytes", false, false},
        {"format 0", changed(0, 0), "unknown format 0", false, false},
        {"format 2", changed(0, 2), "unknown format 2", false, false},
        {"no entries", changed(69, 0), "it lists 0 blocks in 222 bytes", false, false},
        {"more entries than bytes", changed(69, 3), "it lists 3 blocks in 222 bytes", false, false},
        {"a byte more", sized(good.size() + 1), "it lists 2 blocks in 223 bytes", false, false},
        {"header byte changed", changed(9 + 27, 9), nullptr, false, false},
        {"entry byte changed", changed(100, 0), nullptr, false, true},
        {"signature byte changed", changed(good.size() - 1, 0), nullptr, false, true},
        {"claims key B", claimsB, nullptr, false, true},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImageDescription::Description description;
        std::string why;
        const bool decoded = description.decode(c.bytes.data(), c.bytes.size(), why);
        EXPECT_EQ(decoded, c.why == nullptr);
        if (!decoded) {
            EXPECT_EQ(why, c.why);
            EXPECT_FALSE(description.signedBy(RfcKey::publicKey()));
            continue;
        }
        EXPECT_EQ(description.signedBy(RfcKey::publicKey()), c.signedByA);
        EXPECT_FALSE(description.signedBy(publicB));
        EXPECT_EQ(description.describesHeader(header().data()), c.headerMatches);
    }
    ImageDescription::Description description;
    std::string why;
    ASSERT_TRUE(description.decode(good.data(), good.size(), why));
    ASSERT_EQ(description.count(), 2u);
    EXPECT_EQ(description.entry(1).id, 4u);
    EXPECT_EQ(description.entry(0).crc, 0x3610a686u);
    EXPECT_EQ(description.entry(0).digest, entries()[0].digest);
    EXPECT_EQ(description.listedLength(), 60u + 12 + 222 + 12 + 5 + 12 + 0);
}

} // namespace
