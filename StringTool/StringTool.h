#pragma once

#include <cstdarg>
#include <string>

namespace StringTool {

std::string upper(const std::string& text);
// A JSON string of `text`: quotes, backslashes, control bytes and bytes above 0x7E escaped,
// the latter taken as Latin-1 so that any bytes make valid JSON.
std::string jsonString(const std::string& text);

std::string vstringf(const char* format, va_list arguments) __attribute__((format(printf, 1, 0)));
std::string stringf(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace StringTool
