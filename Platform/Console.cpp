#include "Platform/Console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

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
    size_t size = 64;
    char* buffer = static_cast<char*>(malloc(size));
    const char* text = format;
    while (buffer != nullptr) {
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = vsnprintf(buffer, size, format, attempt);
        va_end(attempt);
        if (length < 0) {
            buffer[0] = '\0';
        }
        if (length < 0 || static_cast<size_t>(length) < size) {
            text = buffer;
            break;
        }
        free(buffer);
        size = static_cast<size_t>(length) + 1;
        buffer = static_cast<char*>(malloc(size));
    }
    va_end(arguments);

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
