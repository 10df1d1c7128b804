#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include "Platform/Console.h"
#include "Platform/Mutex.h"
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
        EXPECT_EQ(direct.take(), c.bytes) << "pf_setOutputColor " << c.color;
        FdCapture console;
        Console::setOutputColor(c.color);
        EXPECT_EQ(console.take(), c.bytes) << "Console::setOutputColor " << c.color;
    }
}

TEST(PlatformMutex, CreatesRecursiveMutex) {
    // Handles are never destroyed; a static keeps this one reachable.
    static Platform::Mutex mutex;
    ASSERT_NE(mutex.m_handle, nullptr);
    EXPECT_EQ(pf_mutexLock(mutex.m_handle), 0);
    EXPECT_EQ(pf_mutexLock(mutex.m_handle), 0);
    EXPECT_EQ(tryLockFromOtherThread(mutex.m_handle), EBUSY);
    EXPECT_EQ(pf_mutexUnlock(mutex.m_handle), 0);
    EXPECT_EQ(tryLockFromOtherThread(mutex.m_handle), EBUSY);
    EXPECT_EQ(pf_mutexUnlock(mutex.m_handle), 0);
    EXPECT_EQ(tryLockFromOtherThread(mutex.m_handle), 0);
}

TEST(PlatformDeathTest, AbortsWithoutMessage) {
    EXPECT_EXIT(pf_abort(), testing::KilledBySignal(SIGABRT), "^$");
    EXPECT_EXIT(pf_mutexLock(nullptr), testing::KilledBySignal(SIGABRT), "^$");
    EXPECT_EXIT(pf_mutexUnlock(nullptr), testing::KilledBySignal(SIGABRT), "^$");
    static void* const handle = pf_mutexCreate();
    EXPECT_EXIT(pf_mutexUnlock(handle), testing::KilledBySignal(SIGABRT), "^$");
}

TEST(ConsolePrintf, TranslatesLineFeeds) {
    FdCapture capture;
    Console::printf("one %d\ntwo\n", 1);
    Console::printf("crlf\r\n");
    EXPECT_EQ(capture.take(), "one 1\r\ntwo\r\ncrlf\r\r\n");
}

TEST(ConsolePrintf, StopsAtNul) {
    FdCapture capture;
    Console::printf("ab%ccd\n", 0);
    EXPECT_EQ(capture.take(), "ab");
}

TEST(ConsolePrintf, WritesNothingOnFormatterError) {
    FdCapture capture;
    // No conversion of a non-ASCII wide character exists in the C locale.
    Console::printf("before %ls after\n", L"\u00e9");
    EXPECT_EQ(capture.take(), "");
}

TEST(ConsoleWrite, StopsAtLengthOrNul) {
    const struct {
        const char* text;
        unsigned int length;
        std::string bytes;
    } cases[] = {
        {"abc", 2, "ab"}, {"a\0c", 3, "a"}, {"a\n", 2, "a\r\n"}, {"abc", 0, ""}, {"", 5, ""},
    };
    for (const auto& c : cases) {
        FdCapture capture;
        Console::write(c.text, c.length);
        EXPECT_EQ(capture.take(), c.bytes) << c.text << " length " << c.length;
    }
}

TEST(ConsolePutchar, WritesByteUnchanged) {
    FdCapture capture;
    Console::putchar('\n');
    Console::putchar('\xe9');
    EXPECT_EQ(capture.take(), "\n\xe9");
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
