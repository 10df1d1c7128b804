#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

TEST(Area, GrowthKeepsEveryRecord) {
    struct Snapshot {
        std::string name;
        std::vector<uint32_t> masks;
        Platform::Mutex* mutex;
    };
    for (int round = 0; round < 2; ++round) {
        while (Area::s_nrAreas < Area::s_capacity) {
            Area::enumerateArea(StringTool::stringf("Fill%u", Area::s_nrAreas).c_str());
        }
        const uint32_t full = Area::s_nrAreas;
        std::vector<Snapshot> before;
        for (uint32_t i = 0; i < full; ++i) {
            const Area& area = Area::s_areas[i];
            before.push_back(
                {area.name, {std::begin(area.levelMasks), std::end(area.levelMasks)}, area.mutex});
        }

        EXPECT_EQ(Area::enumerateArea(StringTool::stringf("Grown%u", full).c_str()), full);
        EXPECT_EQ(Area::s_capacity, full + 32);
        EXPECT_EQ(Area::s_nrAreas, full + 1);
        for (uint32_t i = 0; i < full; ++i) {
            const Area& area = Area::s_areas[i];
            EXPECT_EQ(area.name, before[i].name) << i;
            EXPECT_EQ(std::vector<uint32_t>(std::begin(area.levelMasks), std::end(area.levelMasks)),
                      before[i].masks)
                << i;
            EXPECT_EQ(area.mutex, before[i].mutex) << i;
            EXPECT_EQ(Area::enumerateArea(area.name.c_str()), i);
        }
        for (uint32_t i = Area::s_nrAreas; i < Area::s_capacity; ++i) {
            EXPECT_EQ(Area::s_areas[i].name, "") << i;
            EXPECT_EQ(Area::s_areas[i].mutex, nullptr) << i;
        }
    }
}

} // namespace
