// Linked with --wrap=vsnprintf to see the buffer sizes of each formatting pass.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "StringTool/StringTool.h"

namespace {

std::vector<size_t> passSizes;

} // namespace

extern "C" {

int __real_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments);
int __wrap_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    passSizes.push_back(size);
    return __real_vsnprintf(buffer, size, format, arguments);
}
}

namespace {

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    passSizes.clear();
    va_list arguments;
    va_start(arguments, format);
    std::string result = StringTool::vstringf(format, arguments);
    va_end(arguments);
    return result;
}

TEST(StringToolVstringf, GrowsOnceToExactSize) {
    const std::string text511(511, 'a');
    EXPECT_EQ(formatted("%s", text511.c_str()), text511);
    EXPECT_EQ(passSizes, std::vector<size_t>({512}));

    const std::string text512 = std::string(510, 'b') + "%!";
    EXPECT_EQ(formatted("%s", text512.c_str()), text512);
    EXPECT_EQ(passSizes, std::vector<size_t>({512, 513}));

    const std::string text5000(4999, 'c');
    EXPECT_EQ(formatted("%s%d", text5000.c_str(), 7), text5000 + "7");
    EXPECT_EQ(passSizes, std::vector<size_t>({512, 5001}));
}

// Embedded NULs stay; a formatter error (no conversion of a non-ASCII wide character in the C
// locale) gives an empty string.
TEST(StringToolStringf, Texts) {
    EXPECT_EQ(formatted("%c", 0), std::string(1, '\0'));
    EXPECT_EQ(formatted("a%cb", 0), std::string("a\0b", 3));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    EXPECT_EQ(formatted(""), "");
#pragma GCC diagnostic pop
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
