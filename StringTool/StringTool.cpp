#include "StringTool/StringTool.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "Platform/Format.h"

namespace StringTool {

std::string upper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string vstringf(const char* format, va_list arguments) {
    std::vector<char> buffer;
    const int length = Platform::formatInto(
        512,
        [&buffer](size_t size) {
            buffer.assign(size, '\0');
            return buffer.data();
        },
        format, arguments);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string stringf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string result = vstringf(format, arguments);
    va_end(arguments);
    return result;
}

} // namespace StringTool
