#pragma once

#include <cstdint>
#include <string>

#include "Platform/Mutex.h"

namespace Trace {

// One named source of trace statements with a per-level mask of the output
// functions that receive it. Records are addressed by index: the table moves
// when it grows.
class Area {
public:
    static constexpr int NrLevels = 5;

    std::string name;
    uint32_t levelMasks[NrLevels];
    Platform::Mutex* mutex;

    static unsigned int enumerateArea(const char* name);
    static unsigned int enumerateArea(const char* name, unsigned int* area);

    static Area* s_areas;
    static uint32_t s_nrAreas;
    static uint32_t s_capacity;
};

} // namespace Trace
