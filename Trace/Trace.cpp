#include "Trace/Trace.h"

#include <cstdarg>

#include "Platform/Console.h"
#include "Platform/pf_platform.h"
#include "StringTool/StringTool.h"

namespace Trace {

std::vector<stOutputFunction> g_registeredOutputs
    __attribute__((init_priority(VEXIL_INIT_PRIORITY_TRACE)));
thread_local unsigned int _lastTraceArea = 0;

} // namespace Trace

static unsigned int s_traceArea;

namespace Trace {

namespace {

struct AreaRegistrar {
    AreaRegistrar() { Area::enumerateArea("Trace", &s_traceArea); }
};

AreaRegistrar _areaRegistrar __attribute__((init_priority(VEXIL_INIT_PRIORITY_TRACE)));

// Only this many outputs fit in an area's mask.
constexpr size_t MaxOutputs = 32;

// Area name, file field and line field share this room, so that messages
// start in column 41; a short header has a fixed fill whatever the area.
constexpr size_t HeaderRoom = 32;
constexpr size_t ShortFormFill = 33;

constexpr int MaxLine = 999998;

struct LevelStyle {
    char letter;
    int color;
};

LevelStyle levelStyle(int level) {
    switch (level) {
    case LevelTrace:
        return {'T', -1};
    case LevelInfo:
        return {'I', 2};
    case LevelWarning:
        return {'W', 3};
    case LevelFatal:
        return {'F', 1};
    default:
        return {'U', 5};
    }
}

void writeText(const std::string& text) {
    Platform::Console::write(text.data(), static_cast<unsigned int>(text.size()));
}

void writeSpaces(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        Platform::Console::putchar(' ');
    }
}

void defaultOutputFunction(void*, const char* file, int line, int level,
                           const std::string& areaName, const std::string& message) {
    const LevelStyle style = levelStyle(level);
    if (line > MaxLine) {
        Platform::Console::printf("assertion '%s' failed (%s) at %s:%d\n", "line<999999",
                                  "line to big!", "Trace/1.14.0/source/Trace", 141);
        pf_abort();
    }

    const std::string lineField = StringTool::stringf(":%d", line);
    const char* baseName = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            baseName = p + 1;
        }
    }
    std::string fileField = baseName;
    size_t fill = 0;
    const size_t used = areaName.size() + lineField.size();
    if (areaName.size() <= HeaderRoom) {
        if (used + fileField.size() <= HeaderRoom) {
            fill = HeaderRoom - used - fileField.size();
        } else if (used < HeaderRoom) {
            fileField.erase(0, fileField.size() - (HeaderRoom - used));
        } else {
            fileField.clear();
        }
    }

    // The console-line memory: whether the console stands at the start of a
    // line, and what the last header said.
    static bool lastCharWasNewline = true;
    static std::string prevFileStringWritten;
    static int prevLineWritten = 0;
    static char prevLevelName = 0;

    Platform::Console::lockConsole();
    Platform::Console::setOutputColor(style.color);

    bool shortForm = line == prevLineWritten + 1 && fileField == prevFileStringWritten &&
                     style.letter == prevLevelName;
    if (shortForm) {
        fill = ShortFormFill;
    }
    prevFileStringWritten = fileField;
    prevLineWritten = line;
    prevLevelName = style.letter;

    size_t start = 0;
    for (;;) {
        if (lastCharWasNewline) {
            Platform::Console::putchar('[');
            writeText(areaName);
            Platform::Console::putchar(']');
            writeSpaces(1 + fill);
            if (!shortForm) {
                writeText(fileField);
                writeText(lineField);
                writeText(StringTool::stringf(" <%c> ", style.letter));
            }
        }
        const size_t end = message.find('\n', start);
        const size_t segmentEnd = end == std::string::npos ? message.size() : end;
        Platform::Console::write(message.data() + start,
                                 static_cast<unsigned int>(segmentEnd - start));
        if (end == std::string::npos) {
            lastCharWasNewline = false;
            break;
        }
        Platform::Console::putchar('\r');
        Platform::Console::putchar('\n');
        lastCharWasNewline = true;
        if (end + 1 == message.size()) {
            break;
        }
        // Continuation lines start their text under the first line's text.
        if (!shortForm) {
            fill += fileField.size() + lineField.size() + 5;
            shortForm = true;
        }
        start = end + 1;
    }

    Platform::Console::setOutputColor(-1);
    Platform::Console::unlockConsole();
}

} // namespace

void LineInfo::trace(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string message = StringTool::vstringf(format, arguments);
    va_end(arguments);

    static bool defaultRegistered = false;
    if (g_registeredOutputs.empty() && !defaultRegistered) {
        addOutputFunction("default", defaultOutputFunction, nullptr);
        defaultRegistered = true;
    }

    // A level or area outside the table selects no output rather than
    // reading past it.
    if (level < 0 || level >= Area::NrLevels || area >= Area::s_nrAreas) {
        return;
    }
    const uint32_t mask = Area::s_areas[area].levelMasks[level];
    // Outputs may register further outputs while being called: re-read the
    // size on every step and hold no reference into the list across a call.
    for (size_t i = 0; i < g_registeredOutputs.size() && i < MaxOutputs; ++i) {
        if ((mask & (uint32_t{1} << i)) == 0) {
            continue;
        }
        const OutputFunction callback = g_registeredOutputs[i].callback;
        void* const userData = g_registeredOutputs[i].userData;
        callback(userData, file, line, level, Area::s_areas[area].name, message);
    }
}

void addOutputFunction(const std::string& name, OutputFunction callback, void* userData) {
    for (const stOutputFunction& output : g_registeredOutputs) {
        if (output.name == name) {
            return;
        }
    }
    g_registeredOutputs.push_back({callback, userData, name});
}

} // namespace Trace
