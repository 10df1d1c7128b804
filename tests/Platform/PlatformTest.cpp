#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "Platform/Console.h"
#include "Platform/pf_platform.h"
#include "support/FdCapture.h"

using Platform::Console;

namespace {

int tryLockFromOtherThread(void* handle) {
    int result = -1;
    std::thread([&] {
        result = pthread_mutex_trylock(static_cast<pthread_mutex_t*>(handle));
        if (result == 0) {
            pthread_mutex_unlock(static_cast<pthread_mutex_t*>(handle));
        }
    }).join();
    return result;
}

} // namespace

TEST(PlatformColor, WritesBoldForegroundOrReset) {
    const struct {
        int color;
        const char* bytes;
    } cases[] = {
        {0, "\x1b[1;30m"}, {1, "\x1b[1;31m"}, {3, "\x1b[1;33m"}, {7, "\x1b[1;37m"},
        {-1, "\x1b[m"},    {8, "\x1b[m"},     {-8, "\x1b[m"},
    };
    for (const auto& c : cases) {
        FdCapture direct;
        pf_setOutputColor(c.color);
        EXPECT_EQ(direct.take(), c.bytes) << c.color;
    }
}

TEST(PlatformDeathTest, AbortsWithoutMessage) {
    EXPECT_EXIT(pf_abort(), testing::KilledBySignal(SIGABRT), "^$");
    EXPECT_EXIT(pf_mutexLock(nullptr), testing::KilledBySignal(SIGABRT), "^$");
    EXPECT_EXIT(pf_mutexUnlock(nullptr), testing::KilledBySignal(SIGABRT), "^$");
    static void* const handle = pf_mutexCreate();
    EXPECT_EXIT(pf_mutexUnlock(handle), testing::KilledBySignal(SIGABRT), "^$");
}

// Line feeds go out as CR LF except through putchar; a NUL ends the text, a formatter error
// (no conversion of a non-ASCII wide character in the C locale) leaves it out.
TEST(Console, WritesBytes) {
    struct Case {
        std::function<void()> call;
        std::string bytes;
    };
    // clang-format off
    const Case cases[] = {
        {[] { Console::printf("one %d\ntwo\n", 1); Console::printf("crlf\r\n"); },
         "one 1\r\ntwo\r\ncrlf\r\r\n"},
        {[] { Console::printf("ab%ccd\n", 0); }, "ab"},
        {[] { Console::printf("before %ls after\n", L"\u00e9"); }, ""},
        {[] { Console::write("abc", 2); Console::write("a\0c", 3); Console::write("a\n", 2); },
         "ab" "a" "a\r\n"},
        {[] { Console::write("abc", 0); Console::write("", 5); }, ""},
        {[] { Console::putchar('\n'); Console::putchar('\xe9'); }, "\n\xe9"},
    };
    // clang-format on
    for (const auto& c : cases) {
        FdCapture capture;
        c.call();
        EXPECT_EQ(capture.take(), c.bytes);
    }
}

TEST(ConsoleLock, IsRecursiveAndHeldUntilLastUnlock) {
    Console::lockConsole();
    Console::lockConsole();
    ASSERT_NE(Console::s_consoleOutputMutex, nullptr);
    EXPECT_EQ(tryLockFromOtherThread(Console::s_consoleOutputMutex), EBUSY);
    FdCapture capture;
    Console::printf("inside\n");
    EXPECT_EQ(capture.take(), "inside\r\n");
    Console::unlockConsole();
    EXPECT_EQ(tryLockFromOtherThread(Console::s_consoleOutputMutex), EBUSY);
    Console::unlockConsole();
    EXPECT_EQ(tryLockFromOtherThread(Console::s_consoleOutputMutex), 0);
}
