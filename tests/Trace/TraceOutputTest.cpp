#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Trace/Trace.h"
#include "support/FdCapture.h"

static unsigned int s_traceArea;

namespace {

const size_t outputsAtStartUp = Trace::g_registeredOutputs.size();

const std::string Yellow = "\x1b[1;33m";
const std::string Reset = "\x1b[m";
const std::string Area27 = "Area_with_27_characters_abc";
const std::string Area32 = "Area_with_32_characters_abcdefgh";
const std::string Area33 = "Area_with_33_characters_abcdefghi";

std::string spaces(size_t count) {
    return std::string(count, ' ');
}

Trace::OutputFunction defaultOutput() {
    if (Trace::g_registeredOutputs.empty()) {
        FdCapture discard;
        Trace::LineInfo{"start", 0, 0, Trace::LevelTrace}.trace("\n");
    }
    return Trace::g_registeredOutputs[0].callback;
}

std::string emit(const char* file, int line, int level, const std::string& area,
                 const std::string& message) {
    const Trace::OutputFunction output = defaultOutput();
    FdCapture capture;
    output(nullptr, file, line, level, area, message);
    return capture.take();
}

// Leaves the console at the start of a line, with a header that no test
// repeats.
void startLine() {
    emit("reset", -100, Trace::LevelTrace, "R", "\n");
}

// The default output is registered at the first statement that passes its mask, and nothing is
// formatted for a statement that does not.
TEST(TraceStatement, TestsMaskBeforeFormattingAndRegistersTheDefaultOutput) {
    EXPECT_EQ(outputsAtStartUp, 0u);
    Trace::Area::enumerateArea("Mac", &s_traceArea);
    const size_t outputs = Trace::g_registeredOutputs.size();
    int formatted = 0;
    Trace::_lastTraceArea = 12345;
    FdCapture quiet;
    VEXIL_TRACE(Trace::LevelInfo, "%d", ++formatted);
    EXPECT_EQ(quiet.take(), "");
    EXPECT_EQ(formatted, 0);
    EXPECT_EQ(Trace::_lastTraceArea, 12345u);
    EXPECT_EQ(Trace::g_registeredOutputs.size(), outputs);

    FdCapture loud;
    VEXIL_TRACE(Trace::LevelWarning, "seen %d\n", ++formatted);
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(Trace::_lastTraceArea, s_traceArea);
    EXPECT_EQ(loud.take().rfind(Yellow + "[Mac]", 0), 0u);
    ASSERT_EQ(Trace::g_registeredOutputs.size(), 1u);
    EXPECT_EQ(Trace::g_registeredOutputs[0].name, "default");
}

// Each sequence starts at the start of a line, after a header no sequence repeats. The header
// is 40 characters wide; a line of the same file and level right after the last has a short one.
// The level sets the letter and the colour.
TEST(DefaultOutput, Sequences) {
    struct Emit {
        const char* file;
        int line;
        int level;
        std::string area;
        std::string message;
        std::string out;
    };
    const std::string ubi = "[Ubi]" + spaces(17) + "volume.cc:381 <W> ";
    // clang-format off
    const std::vector<std::vector<Emit>> sequences = {
        {{"x/very_long_module_name_here.cc", 1234, 3, "Ubi", "m\n", "[Ubi] long_module_name_here.cc:1234 <W> m\r\n"}},
        {{"volume.cc", 10, 3, Area27, "m\n", "[" + Area27 + "] cc:10 <W> m\r\n"}},
        {{"volume.cc", 381, 3, Area32, "m\n", "[" + Area32 + "] :381 <W> m\r\n"}},
        {{"src/ubi/", 381, 3, "Ubi", "m\n", "[Ubi]" + spaces(26) + ":381 <W> m\r\n"}},
        {{"a\\b\\volume.cc", 381, 3, "Ubi", "m\n", ubi + "m\r\n"}},
        {{"volume.cc", 999998, 3, "Ubi", "m\n", "[Ubi]" + spaces(14) + "volume.cc:999998 <W> m\r\n"}},
        {{"volume.cc", -5, 3, "Ubi", "m\n", "[Ubi]" + spaces(18) + "volume.cc:-5 <W> m\r\n"}},
        {{"src/volume.cc", 381, 3, "Ubi", "first\nsecond\n", ubi + "first\r\n[Ubi]" + spaces(35) + "second\r\n"}},
        {{"volume.cc", 381, 3, Area33, "a\nb\n", "[" + Area33 + "] volume.cc:381 <W> a\r\n[" + Area33 + "]" + spaces(19) + "b\r\n"}},
        {{"src/volume.cc", 381, 3, "Ubi", "first\n", ubi + "first\r\n"},
         {"src/volume.cc", 382, 3, "Ubi", "next\nmore\n", "[Ubi]" + spaces(34) + "next\r\n[Ubi]" + spaces(34) + "more\r\n"},
         {"other/volume.cc", 383, 3, "VKT5500", "x\n", "[VKT5500]" + spaces(34) + "x\r\n"},
         {"volume.cc", 385, 3, "Ubi", "y\n", "[Ubi]" + spaces(17) + "volume.cc:385 <W> y\r\n"},
         {"volume.cc", 386, 2, "Ubi", "z\n", "[Ubi]" + spaces(17) + "volume.cc:386 <I> z\r\n"},
         {"volume.c", 387, 2, "Ubi", "w\n", "[Ubi]" + spaces(18) + "volume.c:387 <I> w\r\n"}},
        {{"volume.cc", 381, 3, "Ubi", "no newline", ubi + "no newline"},
         {"mtd.cc", 50, 3, "VKT5500", " more\nnext\n", " more\r\n[VKT5500]" + spaces(31) + "next\r\n"}},
        {{"volume.cc", 381, 3, "Ubi", "", ubi}, {"mtd.cc", 1, 3, "VKT5500", "tail\n", "tail\r\n"}},
        {{"volume.cc", 381, 3, "Ubi", "\n", ubi + "\r\n"}},
        {{"volume.cc", 381, 3, "Ubi", std::string("ab\0cd\nef\0gh\nij\n", 15), ubi + "ab\r\n[Ubi]" + spaces(35) + "ef\r\n[Ubi]" + spaces(35) + "ij\r\n"}},
        {{"volume.cc", 390, 1, "Ubi", "m\n", "[Ubi]" + spaces(17) + "volume.cc:390 <T> m\r\n"},
         {"volume.cc", 392, 4, "Ubi", "m\n", "[Ubi]" + spaces(17) + "volume.cc:392 <F> m\r\n"},
         {"volume.cc", 394, 0, "Ubi", "m\n", "[Ubi]" + spaces(17) + "volume.cc:394 <U> m\r\n"},
         {"volume.cc", 396, 7, "Ubi", "m\n", "[Ubi]" + spaces(17) + "volume.cc:396 <U> m\r\n"},
         {"volume.cc", 398, -1, "Ubi", "m\n", "[Ubi]" + spaces(17) + "volume.cc:398 <U> m\r\n"}},
    };
    // clang-format on
    const std::string colors[] = {Reset, "\x1b[1;32m", Yellow, "\x1b[1;31m"};
    for (const auto& sequence : sequences) {
        startLine();
        for (const Emit& e : sequence) {
            EXPECT_EQ(emit(e.file, e.line, e.level, e.area, e.message),
                      (e.level >= 1 && e.level <= 4 ? colors[e.level - 1] : "\x1b[1;35m") + e.out +
                          Reset)
                << e.file << ":" << e.line << " " << e.area;
        }
    }
}

} // namespace
