#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "StringTool/StringTool.h"
#include "Trace/Area.h"
#include "Trace/Trace.h"

using Trace::Area;

namespace {

TEST(Area, StartUpRegistersTraceAfterJunk) {
    ASSERT_GE(Area::s_nrAreas, 2u);
    EXPECT_EQ(Area::s_areas[0].name, "Junk");
    EXPECT_EQ(Area::s_areas[1].name, "Trace");
    EXPECT_EQ(Area::enumerateArea("TRACE"), 1u);
    EXPECT_TRUE(Trace::g_registeredOutputs.empty());
}

// Names are found without regard to case, the empty one too; a new area sends warnings and
// fatals everywhere and has a mutex of its own.
TEST(Area, Lookup) {
    unsigned int stored = 0;
    const unsigned int index = Area::enumerateArea("CaseArea", &stored);
    const uint32_t count = Area::s_nrAreas;
    EXPECT_EQ(stored, index);
    EXPECT_EQ(Area::enumerateArea("CASEAREA", nullptr), index);
    EXPECT_EQ(Area::enumerateArea("casearea"), index);
    EXPECT_EQ(Area::s_areas[index].name, "CaseArea");
    for (const char* junk : {"Junk", "JUNK", "junk"}) {
        EXPECT_EQ(Area::enumerateArea(junk), 0u) << junk;
    }
    EXPECT_EQ(Area::s_nrAreas, count);
    const uint32_t expected[Area::NrLevels] = {0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    for (int level = 0; level < Area::NrLevels; ++level) {
        EXPECT_EQ(Area::s_areas[index].levelMasks[level], expected[level]) << level;
    }
    ASSERT_NE(Area::s_areas[index].mutex, nullptr);
    EXPECT_NE(Area::s_areas[index].mutex, Area::s_areas[0].mutex);
    const unsigned int empty = Area::enumerateArea("");
    EXPECT_EQ(empty, count);
    EXPECT_EQ(Area::s_areas[empty].name, "");
    EXPECT_EQ(Area::enumerateArea(""), empty);
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

} // namespace
