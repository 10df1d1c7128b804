#include "StringTool/StringTool.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace StringTool {

std::string upper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string vstringf(const char* format, va_list arguments) {
    std::vector<char> buffer(512, '\0');
    for (;;) {
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = vsnprintf(buffer.data(), buffer.size(), format, attempt);
        va_end(attempt);
        if (length < 0) {
            return std::string();
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        buffer.resize(static_cast<size_t>(length) + 1, '\0');
    }
}

std::string stringf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string result = vstringf(format, arguments);
    va_end(arguments);
    return result;
}

} // namespace StringTool
