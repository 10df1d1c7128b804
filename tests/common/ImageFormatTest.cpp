#include <gtest/gtest.h>

#include <cstring>

#include "common/ImageFormat.h"

namespace {

TEST(ImageFormat, FieldTextStopsAtNulOrAtTheFieldsWidth) {
    struct {
        char field[8];
        char after[4];
    } memory;
    memcpy(memory.after, "XYZ", 4);

    memcpy(memory.field, "ab\0cdefg", 8);
    EXPECT_EQ("ab", FwImage::fieldText(memory.field, sizeof memory.field));
    memcpy(memory.field, "Dorvyn\0\0", 8);
    EXPECT_EQ("Dorvyn", FwImage::fieldText(memory.field, sizeof memory.field));
    memcpy(memory.field, "ABCDEFGH", 8);
    EXPECT_EQ("ABCDEFGH", FwImage::fieldText(memory.field, sizeof memory.field));
    EXPECT_EQ("", FwImage::fieldText(memory.field, 0));
}

TEST(ImageFormat, IdentityMustMatchExactlyWithinTheFields) {
    ImageHeader header = {};
    memcpy(header.magic, "VexilImg", 8);
    memcpy(header.product, "Dorvyn", 6);
    EXPECT_TRUE(FwImage::hasExpectedIdentity(header));

    ImageHeader longerMagic = header;
    memcpy(longerMagic.magic, "VexilImgX", 9);
    EXPECT_FALSE(FwImage::hasExpectedIdentity(longerMagic));

    ImageHeader otherCase = header;
    otherCase.product[0] = 'd';
    EXPECT_FALSE(FwImage::hasExpectedIdentity(otherCase));

    // A product that fills its field runs into length; it must not match a prefix.
    ImageHeader fullProduct = header;
    memcpy(fullProduct.product, "DorvynXY", 8);
    EXPECT_FALSE(FwImage::hasExpectedIdentity(fullProduct));
}

} // namespace
