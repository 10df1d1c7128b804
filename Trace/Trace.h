#pragma once

#include <string>
#include <vector>

#include "Trace/Area.h"

namespace Trace {

enum Level : int {
    LevelNone = 0,
    LevelTrace = 1,
    LevelInfo = 2,
    LevelWarning = 3,
    LevelFatal = 4,
};

using OutputFunction = void (*)(void* userData, const char* file, int line, int level,
                                const std::string& areaName, const std::string& message);

struct stOutputFunction {
    OutputFunction callback;
    void* userData;
    std::string name;
};

extern std::vector<stOutputFunction> g_registeredOutputs;
// Local-exec: the trace module is always linked statically into the
// executable, and GCC's null check of an initial-exec address is wrong once
// the linker relaxes it, which breaks the sanitizer build.
extern thread_local unsigned int _lastTraceArea __attribute__((tls_model("local-exec")));

struct LineInfo {
    const char* file;
    int line;
    unsigned int area;
    int level;

    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void addOutputFunction(const std::string& name, OutputFunction callback, void* userData);

} // namespace Trace

// Static-initialisation order of the modules' area registrations: the trace
// module first, then MTD, then UBI.
#define VEXIL_INIT_PRIORITY_TRACE 1001
#define VEXIL_INIT_PRIORITY_MTD 1002
#define VEXIL_INIT_PRIORITY_UBI 1003

// A trace statement in the calling file's area `s_traceArea`. Keep each use on
// one source line: the line printed is the line of the statement. Nothing is
// formatted when the area's mask for the level is 0.
#define VEXIL_TRACE(level, ...)                                                                    \
    do {                                                                                           \
        const unsigned int vexilTraceArea_ = s_traceArea;                                          \
        if (::Trace::Area::s_areas[vexilTraceArea_].levelMasks[(level)] != 0) {                    \
            ::Trace::_lastTraceArea = vexilTraceArea_;                                             \
            ::Trace::LineInfo vexilLineInfo_{__FILE__, __LINE__, vexilTraceArea_, (level)};        \
            vexilLineInfo_.trace(__VA_ARGS__);                                                     \
        }                                                                                          \
    } while (0)
