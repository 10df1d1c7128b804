#include <gtest/gtest.h>

#include <string>

#include "StringTool/StringTool.h"

namespace {

// Texts at and around the first buffer's 512 bytes come out whole, embedded NULs too; a
// formatter error (no conversion of a non-ASCII wide character in the C locale) gives nothing.
TEST(StringToolStringf, Texts) {
    for (const size_t length : {511, 512, 513, 5000}) {
        const std::string text(length - 1, 'a');
        EXPECT_EQ(StringTool::stringf("%s%d", text.c_str(), 7), text + "7") << length;
    }
    EXPECT_EQ(StringTool::stringf("%s", std::string(510, 'b').append("%!").c_str()),
              std::string(510, 'b') + "%!");
    EXPECT_EQ(StringTool::stringf("%c", 0), std::string(1, '\0'));
    EXPECT_EQ(StringTool::stringf("a%cb", 0), std::string("a\0b", 3));
    EXPECT_EQ(StringTool::stringf("%s", ""), "");
    EXPECT_EQ(StringTool::stringf("before %ls after", L"\u00e9"), "");
    const std::string device(700, 'u');
    EXPECT_EQ(StringTool::stringf("/dev/%s_%d", device.c_str(), 12), "/dev/" + device + "_12");
}

TEST(StringToolUpper, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(StringTool::upper("Junk"), "JUNK");
    EXPECT_EQ(StringTool::upper("az_09 AZ{}`@"), "AZ_09 AZ{}`@");
    EXPECT_EQ(StringTool::upper("\x80\xe9\xff"), "\x80\xe9\xff");
    EXPECT_EQ(StringTool::upper(std::string("a\0b", 3)), std::string("A\0B", 3));
    EXPECT_EQ(StringTool::upper(""), "");
}

} // namespace
