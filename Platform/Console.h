#pragma once

namespace Platform {

// The serialised console on standard output. printf and write turn every
// line feed into CR LF; putchar and setOutputColor pass bytes unchanged.
class Console {
public:
    static void printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void lockConsole();
    static void unlockConsole();
    static void write(const char* text, unsigned int length);
    static void putchar(char c);
    static void setOutputColor(int color);

    static void* s_consoleOutputMutex;
};

} // namespace Platform
