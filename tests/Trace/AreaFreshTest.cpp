// Built from the area table's source alone, without the trace module's
// start-up registration, so that the table is still empty here.
#include <gtest/gtest.h>

#include <cstdint>

#include "Trace/Area.h"

using Trace::Area;

TEST(AreaFresh, FirstRegistrationCreatesJunk) {
    ASSERT_EQ(Area::s_areas, nullptr);
    ASSERT_EQ(Area::s_nrAreas, 0u);

    unsigned int index = 99;
    EXPECT_EQ(Area::enumerateArea("Junk", &index), 1u);
    EXPECT_EQ(index, 1u);
    ASSERT_NE(Area::s_areas, nullptr);
    EXPECT_EQ(Area::s_nrAreas, 2u);
    EXPECT_EQ(Area::s_capacity, 32u);

    const Area& junk = Area::s_areas[0];
    EXPECT_EQ(junk.name, "Junk");
    for (uint32_t mask : junk.levelMasks) {
        EXPECT_EQ(mask, 0xFFFFFFFFu);
    }
    ASSERT_NE(junk.mutex, nullptr);
    EXPECT_NE(junk.mutex->m_handle, nullptr);

    const Area& named = Area::s_areas[1];
    EXPECT_EQ(named.name, "Junk");
    const uint32_t expected[Area::NrLevels] = {0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    for (int level = 0; level < Area::NrLevels; ++level) {
        EXPECT_EQ(named.levelMasks[level], expected[level]) << level;
    }
    ASSERT_NE(named.mutex, nullptr);
    EXPECT_NE(named.mutex, junk.mutex);

    for (uint32_t i = Area::s_nrAreas; i < Area::s_capacity; ++i) {
        EXPECT_EQ(Area::s_areas[i].name, "") << i;
        EXPECT_EQ(Area::s_areas[i].mutex, nullptr) << i;
        for (uint32_t mask : Area::s_areas[i].levelMasks) {
            EXPECT_EQ(mask, 0u) << i;
        }
    }

    EXPECT_EQ(Area::enumerateArea("jUNK"), 0u);
    EXPECT_EQ(Area::s_nrAreas, 2u);
}
