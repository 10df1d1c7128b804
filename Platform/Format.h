#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace Platform {

// vsnprintf into a buffer that reserve(size) hands out, or nullptr when it has none. A text
// that does not fit is formatted once more into a buffer of exactly its reported length, each
// attempt from the start of the argument list. Returns the length, or -1 when no buffer came; a
// formatter error gives an empty text.
template <typename Reserve>
int formatInto(size_t size, Reserve&& reserve, const char* format, va_list arguments) {
    for (;;) {
        char* buffer = reserve(size);
        if (buffer == nullptr) {
            return -1;
        }
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = vsnprintf(buffer, size, format, attempt);
        va_end(attempt);
        if (length < 0) {
            buffer[0] = '\0';
            return 0;
        }
        if (static_cast<size_t>(length) < size) {
            return length;
        }
        size = static_cast<size_t>(length) + 1;
    }
}

} // namespace Platform
