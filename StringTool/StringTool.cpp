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

std::string jsonString(const std::string& text) {
    std::string result = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            result += char(c);
        } else {
            result += stringf("\\u%04x", c);
        }
    }
    return result + "\"";
}

} // namespace StringTool
