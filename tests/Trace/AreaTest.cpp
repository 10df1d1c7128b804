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

TEST(Area, FindsNamesWithoutRegardToCase) {
    const unsigned int index = Area::enumerateArea("CaseArea");
    const uint32_t count = Area::s_nrAreas;
    EXPECT_EQ(Area::enumerateArea("CASEAREA"), index);
    EXPECT_EQ(Area::enumerateArea("casearea"), index);
    EXPECT_EQ(Area::s_areas[index].name, "CaseArea");
    for (const char* junk : {"Junk", "JUNK", "junk"}) {
        EXPECT_EQ(Area::enumerateArea(junk), 0u) << junk;
    }
    EXPECT_EQ(Area::s_nrAreas, count);
}

TEST(Area, NewAreaSendsWarningsAndFatalsEverywhere) {
    const unsigned int index = Area::enumerateArea("MaskArea");
    const uint32_t expected[Area::NrLevels] = {0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    for (int level = 0; level < Area::NrLevels; ++level) {
        EXPECT_EQ(Area::s_areas[index].levelMasks[level], expected[level]) << level;
    }
    ASSERT_NE(Area::s_areas[index].mutex, nullptr);
    EXPECT_NE(Area::s_areas[index].mutex, Area::s_areas[0].mutex);
}

TEST(Area, EmptyNameIsAnArea) {
    const unsigned int index = Area::enumerateArea("");
    EXPECT_NE(index, 0u);
    EXPECT_EQ(Area::s_areas[index].name, "");
    EXPECT_EQ(Area::enumerateArea(""), index);
}

TEST(Area, TwoArgumentFormStoresIndex) {
    unsigned int stored = 0;
    const unsigned int index = Area::enumerateArea("PointerArea", &stored);
    EXPECT_EQ(stored, index);
    EXPECT_EQ(Area::enumerateArea("pointerarea", nullptr), index);
    EXPECT_EQ(Area::s_areas[index].name, "PointerArea");
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
