// The area table and the dispatch of statements to outputs. Every dispatch test registers its sink
// before any statement runs, so the default output stays out of this process.

#include <gtest/gtest.h>

#include <string>

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"
#include "support/FdCapture.h"

using Trace::Area;

namespace {

const bool s_noOutputsAtStartUp = Trace::g_registeredOutputs.empty();

// Junk and Trace come first. Names are found without regard to case, the empty one too; a new
// area sends warnings and fatals everywhere and has a mutex of its own.
TEST(Area, Lookup) {
    EXPECT_TRUE(s_noOutputsAtStartUp);
    EXPECT_EQ(Area::s_areas[0].name, "Junk");
    EXPECT_EQ(Area::enumerateArea("TRACE"), 1u);
    unsigned int stored = 0;
    const unsigned int index = Area::enumerateArea("CaseArea", &stored);
    const uint32_t count = Area::s_nrAreas;
    EXPECT_EQ(stored, index);
    EXPECT_EQ(Area::enumerateArea("CASEAREA", nullptr), index);
    EXPECT_EQ(Area::s_areas[index].name, "CaseArea");
    EXPECT_EQ(Area::enumerateArea("junk"), 0u);
    EXPECT_EQ(Area::s_nrAreas, count);
    const uint32_t expected[Area::NrLevels] = {0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    for (int level = 0; level < Area::NrLevels; ++level) {
        EXPECT_EQ(Area::s_areas[index].levelMasks[level], expected[level]) << level;
    }
    ASSERT_NE(Area::s_areas[index].mutex, nullptr);
    EXPECT_NE(Area::s_areas[index].mutex, Area::s_areas[0].mutex);
    EXPECT_EQ(Area::enumerateArea(""), count) << "made";
    EXPECT_EQ(Area::enumerateArea(""), count) << "found";
}

// The table grows by 32 records at a time; every area keeps its name, index and masks.
TEST(Area, GrowthKeepsEveryRecord) {
    for (int round = 0; round < 2; ++round) {
        while (Area::s_nrAreas < Area::s_capacity) {
            Area::enumerateArea(StringTool::stringf("Fill%u", Area::s_nrAreas).c_str());
            Area::s_areas[Area::s_nrAreas - 1].levelMasks[0] = Area::s_nrAreas;
        }
        const uint32_t full = Area::s_nrAreas;
        EXPECT_EQ(Area::enumerateArea(StringTool::stringf("Grown%u", full).c_str()), full);
        EXPECT_EQ(Area::s_capacity, full + 32);
        for (uint32_t i = 0; i < full; ++i) {
            EXPECT_EQ(Area::enumerateArea(Area::s_areas[i].name.c_str()), i);
            if (Area::s_areas[i].name.rfind("Fill", 0) == 0) {
                EXPECT_EQ(Area::s_areas[i].levelMasks[0], i + 1) << i;
            }
        }
    }
}

struct Received {
    int calls = 0;
    std::string seen; // file:line level area message, of the last call
};

void record(void* userData, const char* file, int line, int level, const std::string& area,
            const std::string& message) {
    Received& received = *static_cast<Received*>(userData);
    ++received.calls;
    received.seen =
        StringTool::stringf("%s:%d %d %s %s", file, line, level, area.c_str(), message.c_str());
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

class TraceDispatch : public testing::Test {
protected:
    void SetUp() override {
        Trace::addOutputFunction("sink", record, &sinkReceived);
        sinkReceived = Received();
    }
};

// A statement reaches the outputs whose bits its area's mask for its level has set; an output
// registered before the first statement keeps the default one out.
TEST_F(TraceDispatch, PassesStatementToOutputsOfItsLevelAndBit) {
    const unsigned int area = Area::enumerateArea("DispatchArea");
    const char* file = "dir/file.cc";
    FdCapture capture;
    Trace::LineInfo{file, 42, area, Trace::LevelWarning}.trace("n=%d %s", 5, "five");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(sinkReceived.seen, "dir/file.cc:42 3 DispatchArea n=5 five");
    Trace::LineInfo{file, 43, area, Trace::LevelInfo}.trace("dropped");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(positionOf("sink"), 0u);

    static Received second;
    Trace::addOutputFunction("second", record, &second);
    Area::s_areas[area].levelMasks[Trace::LevelInfo] = 1u << positionOf("second");
    Trace::LineInfo{file, 44, area, Trace::LevelInfo}.trace("to second");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(second.calls, 1);
}

// A name is registered once, its case counts.
TEST_F(TraceDispatch, RepeatedNameIsIgnored) {
    static Received other;
    other = Received();
    const size_t count = Trace::g_registeredOutputs.size();
    Trace::addOutputFunction("sink", ignore, &other);
    ASSERT_EQ(Trace::g_registeredOutputs.size(), count);
    EXPECT_EQ(Trace::g_registeredOutputs[0].callback, record);
    EXPECT_EQ(Trace::g_registeredOutputs[0].userData, &sinkReceived);
    Trace::addOutputFunction("SINK", record, &other);
    Trace::LineInfo{"f.cc", 1, 0, Trace::LevelFatal}.trace("both");
    EXPECT_EQ(sinkReceived.calls, 1);
    EXPECT_EQ(other.calls, 1);
}

Received lateReceived;

// Registers an output and clears the mask that selected this one, in the middle of a dispatch.
void registerLate(void* userData, const char*, int, int level, const std::string&,
                  const std::string&) {
    Trace::addOutputFunction("late", record, &lateReceived);
    Area::s_areas[*static_cast<unsigned int*>(userData)].levelMasks[level] = 0;
}

// The list may grow, and the mask change, under the walk: the statement reaches the outputs its
// mask selected when it started.
TEST_F(TraceDispatch, OutputsAndMasksChangedDuringDispatch) {
    static unsigned int area = Area::enumerateArea("ChangingArea");
    Area::s_areas[area].levelMasks[Trace::LevelInfo] = 0xFFFFFFFF;
    Trace::addOutputFunction("registrar", registerLate, &area);
    // Enough entries that the list reallocates under the walk.
    for (int i = 0; i < 8; ++i) {
        Trace::addOutputFunction(StringTool::stringf("filler%d", i), ignore, nullptr);
    }
    Trace::LineInfo{"f.cc", 1, area, Trace::LevelInfo}.trace("reaches late");
    EXPECT_EQ(lateReceived.calls, 1);
    EXPECT_EQ(Area::s_areas[area].levelMasks[Trace::LevelInfo], 0u);
}

int limitCalls[64];

void countCall(void* userData, const char*, int, int, const std::string&, const std::string&) {
    ++*static_cast<int*>(userData);
}

// Fills the list to 33 entries: a statement reaches only the first 32. Levels and areas outside
// the table select none: the words around an area's masks are the end of its name (15 bytes, kept
// in the string itself) and the padding and pointer after them; past the last area a record
// that the test sets up.
TEST_F(TraceDispatch, OnlyFirst32OutputsAreReachable) {
    while (Trace::g_registeredOutputs.size() < 33) {
        const size_t position = Trace::g_registeredOutputs.size();
        Trace::addOutputFunction(StringTool::stringf("limit%zu", position), countCall,
                                 &limitCalls[position]);
    }
    Trace::LineInfo{"f.cc", 1, 0, Trace::LevelTrace}.trace("limit");
    const unsigned int area = Area::enumerateArea("OutsideTheTable");
    for (const int level : {-1, int(Area::NrLevels), int(Area::NrLevels) + 1}) {
        Trace::LineInfo{"f.cc", 2, area, level}.trace("outside");
    }
    ASSERT_LT(Area::s_nrAreas, Area::s_capacity);
    Area::s_areas[Area::s_nrAreas].levelMasks[Trace::LevelWarning] = 0xFFFFFFFF;
    Trace::LineInfo{"f.cc", 3, Area::s_nrAreas, Trace::LevelWarning}.trace("outside");
    EXPECT_EQ(sinkReceived.calls, 1);
    for (size_t i = 0; i < Trace::g_registeredOutputs.size(); ++i) {
        if (Trace::g_registeredOutputs[i].callback == countCall) {
            EXPECT_EQ(limitCalls[i], i < 32 ? 1 : 0) << i;
        }
    }
}

} // namespace
