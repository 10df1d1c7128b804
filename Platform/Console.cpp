#include "Platform/Console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Platform/Format.h"
#include "Platform/pf_platform.h"

namespace Platform {

void* Console::s_consoleOutputMutex = nullptr;

namespace {

// Several threads may reach the first use together; the handle must be made
// only once, and a failed creation is retried on the next use.
void* consoleMutex() {
    void* handle = __atomic_load_n(&Console::s_consoleOutputMutex, __ATOMIC_ACQUIRE);
    if (handle == nullptr) {
        static std::mutex creation;
        std::lock_guard<std::mutex> guard(creation);
        handle = __atomic_load_n(&Console::s_consoleOutputMutex, __ATOMIC_ACQUIRE);
        if (handle == nullptr) {
            handle = pf_mutexCreate();
            __atomic_store_n(&Console::s_consoleOutputMutex, handle, __ATOMIC_RELEASE);
        }
    }
    return handle;
}

void putTranslated(char c) {
    if (c == '\n') {
        pf_putChar('\r');
    }
    pf_putChar(c);
}

} // namespace

void Console::printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char* buffer = nullptr;
    const int length = formatInto(
        64,
        [&buffer](size_t size) {
            free(buffer);
            buffer = static_cast<char*>(malloc(size));
            return buffer;
        },
        format, arguments);
    va_end(arguments);
    // Out of memory: the format itself is the best that can still be shown.
    const char* text = length < 0 ? format : buffer;

    void* mutex = consoleMutex();
    if (mutex != nullptr) {
        pf_mutexLock(mutex);
    }
    for (const char* p = text; *p != '\0'; ++p) {
        putTranslated(*p);
    }
    if (mutex != nullptr) {
        pf_mutexUnlock(mutex);
    }
    free(buffer);
}

void Console::lockConsole() {
    void* mutex = consoleMutex();
    if (mutex != nullptr) {
        pf_mutexLock(mutex);
    }
}

void Console::unlockConsole() {
    void* mutex = __atomic_load_n(&s_consoleOutputMutex, __ATOMIC_ACQUIRE);
    if (mutex != nullptr) {
        pf_mutexUnlock(mutex);
    }
}

void Console::write(const char* text, unsigned int length) {
    for (unsigned int i = 0; i < length && text[i] != '\0'; ++i) {
        putTranslated(text[i]);
    }
}

void Console::putchar(char c) {
    pf_putChar(c);
}

void Console::setOutputColor(int color) {
    pf_setOutputColor(color);
}

} // namespace Platform
