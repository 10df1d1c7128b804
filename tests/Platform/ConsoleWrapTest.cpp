// Linked with --wrap for malloc and the mutex functions, so that the tests
// can count the console's allocations and lock calls and make them fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Console.h"
#include "Platform/pf_platform.h"
#include "support/FdCapture.h"

using Platform::Console;

namespace {

struct Wrapped {
    bool recordMallocs = false;
    int failMallocNumber = 0;
    std::vector<size_t> mallocSizes;
    bool failMutexCreate = false;
    std::atomic<int> creates{0};
    std::atomic<int> locks{0};
    std::atomic<int> unlocks{0};
};

Wrapped wrapped;
// Keeps every console mutex reachable after a test forgets it; a plain array
// outlives the static destructors that run before the leak check.
void* createdHandles[64];
std::atomic<int> nrCreatedHandles{0};

} // namespace

extern "C" {

void* __real_malloc(size_t size);
void* __wrap_malloc(size_t size) {
    // Linked statically, the vector's own allocation comes back through here.
    static thread_local bool recording = false;
    if (wrapped.recordMallocs && !recording) {
        recording = true;
        wrapped.mallocSizes.push_back(size);
        recording = false;
        if (static_cast<int>(wrapped.mallocSizes.size()) == wrapped.failMallocNumber) {
            return nullptr;
        }
    }
    return __real_malloc(size);
}

void* __real__Z14pf_mutexCreatev();
void* __wrap__Z14pf_mutexCreatev() {
    ++wrapped.creates;
    if (wrapped.failMutexCreate) {
        return nullptr;
    }
    void* handle = __real__Z14pf_mutexCreatev();
    createdHandles[nrCreatedHandles++ % 64] = handle;
    return handle;
}

int __real__Z12pf_mutexLockPv(void* handle);
int __wrap__Z12pf_mutexLockPv(void* handle) {
    ++wrapped.locks;
    return __real__Z12pf_mutexLockPv(handle);
}

int __real__Z14pf_mutexUnlockPv(void* handle);
int __wrap__Z14pf_mutexUnlockPv(void* handle) {
    ++wrapped.unlocks;
    return __real__Z14pf_mutexUnlockPv(handle);
}
}

namespace {

class ConsoleWrap : public testing::Test {
protected:
    void SetUp() override {
        Console::s_consoleOutputMutex = nullptr;
        wrapped.failMutexCreate = false;
        wrapped.creates = 0;
        wrapped.locks = 0;
        wrapped.unlocks = 0;
    }

    // Runs printf with the allocations recorded and the given one failing.
    std::string printfRecorded(int failMallocNumber, const char* format, const char* argument) {
        wrapped.mallocSizes.clear();
        wrapped.failMallocNumber = failMallocNumber;
        // The console's mutex comes from operator new, which reaches the wrapped
        // malloc only when libstdc++ is linked in statically: make it beforehand.
        const int locks = wrapped.locks;
        const int unlocks = wrapped.unlocks;
        Console::lockConsole();
        Console::unlockConsole();
        wrapped.locks = locks;
        wrapped.unlocks = unlocks;
        FdCapture capture;
        wrapped.recordMallocs = true;
        Console::printf(format, argument);
        wrapped.recordMallocs = false;
        return capture.take();
    }
};

// The buffer grows once, to the exact size; when memory runs out the format itself is written.
TEST_F(ConsoleWrap, PrintfAllocations) {
    const std::string a62(62, 'a'), b63(63, 'b'), c300(300, 'c'), d100(100, 'd');
    const struct {
        int failMalloc;
        const char* format;
        const std::string& argument;
        std::string bytes;
        std::vector<size_t> sizes;
    } cases[] = {
        {0, "%s\n", a62, a62 + "\r\n", {64}},
        {0, "%s\n", b63, b63 + "\r\n", {64, 65}},
        {0, "%s", c300, c300, {64, 301}},
        {1, "value %s\n", a62, "value %s\r\n", {64}},
        {2, "long %s\n", d100, "long %s\r\n", {64, 107}},
    };
    for (const auto& c : cases) {
        wrapped.locks = wrapped.unlocks = 0;
        EXPECT_EQ(printfRecorded(c.failMalloc, c.format, c.argument.c_str()), c.bytes);
        EXPECT_EQ(wrapped.mallocSizes, c.sizes);
        EXPECT_EQ(wrapped.locks, 1);
        EXPECT_EQ(wrapped.unlocks, 1);
    }
}

// One mutex, made at first use, once however many threads reach it together; until it can be
// made the console works unlocked.
TEST_F(ConsoleWrap, MutexIsMadeOnceAtFirstUse) {
    Console::unlockConsole();
    EXPECT_EQ(Console::s_consoleOutputMutex, nullptr);
    EXPECT_EQ(wrapped.creates, 0);
    wrapped.failMutexCreate = true;
    FdCapture capture;
    Console::printf("%s", "");
    Console::printf("a\n");
    Console::lockConsole();
    Console::unlockConsole();
    EXPECT_EQ(capture.take(), "a\r\n");
    EXPECT_EQ(Console::s_consoleOutputMutex, nullptr);
    EXPECT_EQ(wrapped.creates, 3);
    EXPECT_EQ(wrapped.locks + wrapped.unlocks, 0);

    wrapped.failMutexCreate = false;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&go] {
            while (!go) {
            }
            Console::lockConsole();
            Console::unlockConsole();
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_NE(Console::s_consoleOutputMutex, nullptr);
    EXPECT_EQ(wrapped.creates, 4);
    EXPECT_EQ(wrapped.locks, 8);
    EXPECT_EQ(wrapped.unlocks, 8);
}

} // namespace
