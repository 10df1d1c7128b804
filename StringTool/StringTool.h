#pragma once

#include <cstdarg>
#include <string>

namespace StringTool {

std::string upper(const std::string& text);
std::string vstringf(const char* format, va_list arguments) __attribute__((format(printf, 1, 0)));
std::string stringf(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace StringTool
