#include "Trace/Area.h"

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"

namespace Trace {

Area* Area::s_areas = nullptr;
uint32_t Area::s_nrAreas = 0;
uint32_t Area::s_capacity = 0;

namespace {

constexpr uint32_t GrowBy = 32;
constexpr uint32_t AllOutputs = 0xFFFFFFFF;

} // namespace

unsigned int Area::enumerateArea(const char* name) {
    const std::string wanted = StringTool::upper(name);
    for (uint32_t i = 0; i < s_nrAreas; ++i) {
        if (StringTool::upper(s_areas[i].name) == wanted) {
            return i;
        }
    }

    if (s_nrAreas == s_capacity) {
        const uint32_t capacity = s_nrAreas + GrowBy;
        Area* grown = new Area[capacity]();
        if (s_areas == nullptr) {
            grown[0].name = "Junk";
            for (uint32_t& mask : grown[0].levelMasks) {
                mask = AllOutputs;
            }
            grown[0].mutex = new Platform::Mutex;
            s_nrAreas = 1;
        } else {
            for (uint32_t i = 0; i < s_nrAreas; ++i) {
                grown[i] = s_areas[i];
            }
            delete[] s_areas;
        }
        s_capacity = capacity;
        s_areas = grown;
    }

    Area& area = s_areas[s_nrAreas];
    area.name = name;
    area.levelMasks[LevelNone] = 0;
    area.levelMasks[LevelTrace] = 0;
    area.levelMasks[LevelInfo] = 0;
    area.levelMasks[LevelWarning] = AllOutputs;
    area.levelMasks[LevelFatal] = AllOutputs;
    area.mutex = new Platform::Mutex;
    return s_nrAreas++;
}

unsigned int Area::enumerateArea(const char* name, unsigned int* area) {
    const unsigned int index = enumerateArea(name);
    if (area != nullptr) {
        *area = index;
    }
    return index;
}

} // namespace Trace
