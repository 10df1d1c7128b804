#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"
#include "support/FdCapture.h"

namespace {

struct Received {
    int calls = 0;
    const char* file = nullptr;
    int line = 0;
    int level = -1;
    std::string area;
    std::string message;
};

void record(void* userData, const char* file, int line, int level, const std::string& area,
            const std::string& message) {
    Received& received = *static_cast<Received*>(userData);
    ++received.calls;
    received.file = file;
    received.line = line;
    received.level = level;
    received.area = area;
    received.message = message;
}

void ignore(void*, const char*, int, int, const std::string&, const std::string&) {}

Received sinkReceived;

size_t positionOf(const std::string& name) {
    for (size_t i = 0; i < Trace::g_registeredOutputs.size(); ++i) {
        if (Trace::g_registeredOutputs[i].name == name) {
            return i;
        }
    }
    ADD_FAILURE() << "no output " << name;
    return 0;
}

// Every test registers the sink before any statement runs, so the default
// output must stay out of this process.
class TraceDispatch : public testing::Test {
protected:
    void SetUp() override {
        Trace::addOutputFunction("sink", record, &sinkReceived);
        sinkReceived = Received();
    }
};

TEST_F(TraceDispatch, OutputRegisteredFirstKeepsDefaultOut) {
    FdCapture capture;
    Trace::LineInfo{"a/b.cc", 3, 0, Trace::LevelTrace}.trace("quiet\n");
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(positionOf("sink"), 0u);
    for (const Trace::stOutputFunction& output : Trace::g_registeredOutputs) {
        EXPECT_NE(output.name, "default");
    }
}

// A statement reaches the outputs whose bits its area's mask for its level has set.
TEST_F(TraceDispatch, PassesStatementToOutputsOfItsLevelAndBit) {
    const unsigned int area = Trace::Area::enumerateArea("DispatchArea");
    Trace::Area::enumerateArea("DISPATCHAREA");
    const char* file = "dir/file.cc";
    Trace::LineInfo{file, 42, area, Trace::LevelWarning}.trace("n=%d %s", 5, "five");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(sinkReceived.file, file);
    EXPECT_EQ(sinkReceived.line, 42);
    EXPECT_EQ(sinkReceived.level, Trace::LevelWarning);
    EXPECT_EQ(sinkReceived.area, "DispatchArea");
    EXPECT_EQ(sinkReceived.message, "n=5 five");
    Trace::LineInfo{file, 43, area, Trace::LevelInfo}.trace("dropped");
    EXPECT_EQ(sinkReceived.calls, 1);
    // Levels and areas outside the table select nothing; the word past the masks is the
    // area's mutex pointer, which would select outputs at random.
    for (const int level : {-1, int(Trace::Area::NrLevels)}) {
        Trace::LineInfo{file, 44, area, level}.trace("outside");
    }
    Trace::LineInfo{file, 45, Trace::Area::s_nrAreas, Trace::LevelWarning}.trace("outside");
    EXPECT_EQ(sinkReceived.calls, 1);

    static Received second;
    second = Received();
    Trace::addOutputFunction("second", record, &second);
    Trace::Area::s_areas[area].levelMasks[Trace::LevelInfo] = 1u << positionOf("second");
    Trace::LineInfo{file, 44, area, Trace::LevelInfo}.trace("to second");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(second.calls, 1);
}

TEST_F(TraceDispatch, RepeatedNameIsIgnored) {
    static Received other;
    other = Received();
    const size_t count = Trace::g_registeredOutputs.size();
    Trace::addOutputFunction("sink", ignore, &other);
    ASSERT_EQ(Trace::g_registeredOutputs.size(), count);
    EXPECT_EQ(Trace::g_registeredOutputs[0].callback, record);
    EXPECT_EQ(Trace::g_registeredOutputs[0].userData, &sinkReceived);

    Trace::addOutputFunction("SINK", record, &other);
    EXPECT_EQ(Trace::g_registeredOutputs[positionOf("SINK")].userData, &other);
    Trace::LineInfo{"f.cc", 1, 0, Trace::LevelFatal}.trace("both");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(other.calls, 1);
}

Received lateReceived;

void registerLate(void*, const char*, int, int, const std::string&, const std::string&) {
    Trace::addOutputFunction("late", record, &lateReceived);
}

TEST_F(TraceDispatch, OutputRegisteredDuringDispatchIsCalled) {
    lateReceived = Received();
    Trace::addOutputFunction("registrar", registerLate, nullptr);
    // Enough entries that the list reallocates under the walk.
    for (int i = 0; i < 8; ++i) {
        Trace::addOutputFunction(StringTool::stringf("filler%d", i), ignore, nullptr);
    }
    Trace::LineInfo{"f.cc", 1, 0, Trace::LevelTrace}.trace("reaches late");
    EXPECT_EQ(lateReceived.calls, 1);
    EXPECT_EQ(lateReceived.message, "reaches late");
}

void clearMask(void* userData, const char*, int, int level, const std::string&,
               const std::string&) {
    Trace::Area::s_areas[*static_cast<unsigned int*>(userData)].levelMasks[level] = 0;
}

TEST_F(TraceDispatch, MaskIsReadOncePerStatement) {
    static unsigned int area = Trace::Area::enumerateArea("OnceArea");
    static Received after;
    after = Received();
    Trace::addOutputFunction("clearer", clearMask, &area);
    Trace::addOutputFunction("after", record, &after);
    Trace::Area::s_areas[area].levelMasks[Trace::LevelInfo] =
        1u << positionOf("clearer") | 1u << positionOf("after");
    Trace::LineInfo{"f.cc", 1, area, Trace::LevelInfo}.trace("still reaches after");
    EXPECT_EQ(after.calls, 1);
    EXPECT_EQ(Trace::Area::s_areas[area].levelMasks[Trace::LevelInfo], 0u);
}

int limitCalls[64];

void countCall(void* userData, const char*, int, int, const std::string&, const std::string&) {
    ++*static_cast<int*>(userData);
}

// Fills the list to 33 entries, dispatches once and exits 0 when exactly the
// first 32 were called.
void dispatchTo33Outputs() {
    while (Trace::g_registeredOutputs.size() < 33) {
        const size_t position = Trace::g_registeredOutputs.size();
        Trace::addOutputFunction(StringTool::stringf("limit%zu", position), countCall,
                                 &limitCalls[position]);
    }
    Trace::LineInfo{"f.cc", 1, 0, Trace::LevelTrace}.trace("limit");
    bool ok = sinkReceived.calls == 1 && limitCalls[31] == 1 && limitCalls[32] == 0;
    for (size_t i = 0; i < Trace::g_registeredOutputs.size(); ++i) {
        if (Trace::g_registeredOutputs[i].callback == countCall) {
            ok = ok && limitCalls[i] == (i < 32 ? 1 : 0);
        }
    }
    _exit(ok ? 0 : 1);
}

TEST_F(TraceDispatch, OnlyFirst32OutputsAreReachable) {
    EXPECT_EXIT(dispatchTo33Outputs(), testing::ExitedWithCode(0), "");
}

} // namespace
