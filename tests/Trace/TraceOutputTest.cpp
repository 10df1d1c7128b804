#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "StringTool/StringTool.h"
#include "Trace/Trace.h"
#include "support/FdCapture.h"

static unsigned int _traceArea;

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

TEST(TraceDispatch, DefaultOutputIsRegisteredAtFirstPassingStatement) {
    EXPECT_EQ(outputsAtStartUp, 0u);
    FdCapture capture;
    Trace::LineInfo{"dir/junk.cc", 7, 0, Trace::LevelTrace}.trace("via %s\n", "junk");
    const std::string out = capture.take();
    ASSERT_EQ(Trace::g_registeredOutputs.size(), 1u);
    EXPECT_EQ(Trace::g_registeredOutputs[0].name, "default");
    EXPECT_EQ(Trace::g_registeredOutputs[0].userData, nullptr);
    EXPECT_NE(out.find("[Junk]"), std::string::npos) << out;
    EXPECT_NE(out.find("junk.cc:7 <T> via junk\r\n" + Reset), std::string::npos) << out;
}

TEST(TraceStatement, TestsMaskBeforeFormatting) {
    Trace::Area::enumerateArea("Mac", &_traceArea);
    const size_t outputs = Trace::g_registeredOutputs.size();
    int formatted = 0;
    Trace::_lastTraceArea = 12345;
    FdCapture quiet;
    VEXIL_TRACE(Trace::LevelInfo, "%d", ++formatted);
    EXPECT_EQ(quiet.take(), "");
    EXPECT_EQ(formatted, 0);
    EXPECT_EQ(Trace::_lastTraceArea, 12345u);
    EXPECT_EQ(Trace::g_registeredOutputs.size(), outputs);

    startLine();
    FdCapture loud;
    VEXIL_TRACE(Trace::LevelWarning, "seen %d\n", ++formatted);
    const int line = __LINE__ - 1;
    const std::string out = loud.take();
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(Trace::_lastTraceArea, _traceArea);
    EXPECT_EQ(out.rfind(Yellow + "[Mac]", 0), 0u) << out;
    const std::string tail = StringTool::stringf("TraceOutputTest.cpp:%d <W> seen 1\r\n", line);
    EXPECT_NE(out.find(tail + Reset), std::string::npos) << out;
}

TEST(DefaultOutput, HeaderIs40CharactersWide) {
    startLine();
    EXPECT_EQ(emit("src/ubi/volume.cc", 381, 3, "Ubi", "open failed\n"),
              Yellow + "[Ubi]" + spaces(17) + "volume.cc:381 <W> open failed\r\n" + Reset);
}

TEST(DefaultOutput, FileFieldFitsTheHeader) {
    const struct {
        const char* file;
        int line;
        std::string area;
        std::string header;
    } cases[] = {
        {"x/very_long_module_name_here.cc", 1234, "Ubi",
         "[Ubi] long_module_name_here.cc:1234 <W> "},
        {"volume.cc", 10, Area27, "[" + Area27 + "] cc:10 <W> "},
        {"volume.cc", 381, Area32, "[" + Area32 + "] :381 <W> "},
        {"volume.cc", 381, Area33, "[" + Area33 + "] volume.cc:381 <W> "},
        {"src/ubi/", 381, "Ubi", "[Ubi]" + spaces(26) + ":381 <W> "},
        {"a\\b\\volume.cc", 381, "Ubi", "[Ubi]" + spaces(17) + "volume.cc:381 <W> "},
        {"volume.cc", 381, "Ubi", "[Ubi]" + spaces(17) + "volume.cc:381 <W> "},
        {"volume.cc", 999998, "Ubi", "[Ubi]" + spaces(14) + "volume.cc:999998 <W> "},
        {"volume.cc", -5, "Ubi", "[Ubi]" + spaces(18) + "volume.cc:-5 <W> "},
    };
    for (const auto& c : cases) {
        startLine();
        EXPECT_EQ(emit(c.file, c.line, 3, c.area, "m\n"), Yellow + c.header + "m\r\n" + Reset)
            << c.file << " " << c.area;
    }
}

TEST(DefaultOutput, ContinuationLinesAlignWithFirstLine) {
    startLine();
    EXPECT_EQ(emit("src/volume.cc", 381, 3, "Ubi", "first\nsecond\n"),
              Yellow + "[Ubi]" + spaces(17) + "volume.cc:381 <W> first\r\n" + "[Ubi]" + spaces(35) +
                  "second\r\n" + Reset);
    startLine();
    EXPECT_EQ(emit("volume.cc", 381, 3, Area33, "a\nb\n"),
              Yellow + "[" + Area33 + "] volume.cc:381 <W> a\r\n[" + Area33 + "]" + spaces(19) +
                  "b\r\n" + Reset);
}

TEST(DefaultOutput, NextLineOfSameFileAndLevelGetsShortHeader) {
    startLine();
    emit("src/volume.cc", 381, 3, "Ubi", "first\n");
    EXPECT_EQ(emit("src/volume.cc", 382, 3, "Ubi", "next\nmore\n"),
              Yellow + "[Ubi]" + spaces(34) + "next\r\n[Ubi]" + spaces(34) + "more\r\n" + Reset);
    EXPECT_EQ(emit("other/volume.cc", 383, 3, "VKT5500", "x\n"),
              Yellow + "[VKT5500]" + spaces(34) + "x\r\n" + Reset);

    EXPECT_EQ(emit("volume.cc", 385, 3, "Ubi", "y\n"),
              Yellow + "[Ubi]" + spaces(17) + "volume.cc:385 <W> y\r\n" + Reset);
    EXPECT_EQ(emit("volume.cc", 386, 2, "Ubi", "z\n"),
              "\x1b[1;32m[Ubi]" + spaces(17) + "volume.cc:386 <I> z\r\n" + Reset);
    EXPECT_EQ(emit("volume.c", 387, 2, "Ubi", "w\n"),
              "\x1b[1;32m[Ubi]" + spaces(18) + "volume.c:387 <I> w\r\n" + Reset);
}

TEST(DefaultOutput, OpenLineIsContinuedByNextMessage) {
    const std::string header = "[Ubi]" + spaces(17) + "volume.cc:381 <W> ";
    startLine();
    EXPECT_EQ(emit("volume.cc", 381, 3, "Ubi", "no newline"),
              Yellow + header + "no newline" + Reset);
    EXPECT_EQ(emit("mtd.cc", 50, 3, "VKT5500", " more\nnext\n"),
              Yellow + " more\r\n[VKT5500]" + spaces(31) + "next\r\n" + Reset);

    startLine();
    EXPECT_EQ(emit("volume.cc", 381, 3, "Ubi", ""), Yellow + header + Reset);
    EXPECT_EQ(emit("mtd.cc", 1, 3, "VKT5500", "tail\n"), Yellow + "tail\r\n" + Reset);

    startLine();
    EXPECT_EQ(emit("volume.cc", 381, 3, "Ubi", "\n"), Yellow + header + "\r\n" + Reset);
}

TEST(DefaultOutput, NulEndsOnlyItsSegment) {
    startLine();
    EXPECT_EQ(emit("volume.cc", 381, 3, "Ubi", std::string("ab\0cd\nef\0gh\nij\n", 15)),
              Yellow + "[Ubi]" + spaces(17) + "volume.cc:381 <W> ab\r\n" + "[Ubi]" + spaces(35) +
                  "ef\r\n" + "[Ubi]" + spaces(35) + "ij\r\n" + Reset);
}

TEST(DefaultOutput, LevelSetsLetterAndColour) {
    const struct {
        int level;
        std::string color;
        char letter;
    } cases[] = {
        {1, Reset, 'T'},         {2, "\x1b[1;32m", 'I'}, {3, Yellow, 'W'},
        {4, "\x1b[1;31m", 'F'},  {0, "\x1b[1;35m", 'U'}, {7, "\x1b[1;35m", 'U'},
        {-1, "\x1b[1;35m", 'U'},
    };
    for (const auto& c : cases) {
        startLine();
        EXPECT_EQ(emit("volume.cc", 381, c.level, "Ubi", "m\n"),
                  c.color + "[Ubi]" + spaces(17) + "volume.cc:381 <" + c.letter + "> m\r\n" + Reset)
            << c.level;
    }
}

TEST(DefaultOutputDeathTest, LineAbove999998EndsProcess) {
    const Trace::OutputFunction output = defaultOutput();
    EXPECT_EXIT(
        {
            fflush(stdout);
            dup2(STDERR_FILENO, STDOUT_FILENO);
            setvbuf(stdout, nullptr, _IONBF, 0);
            output(nullptr, "volume.cc", 999999, 3, "Ubi", "never\n");
        },
        testing::KilledBySignal(SIGABRT),
        "^assertion 'line<999999' failed \\(line to big!\\) at "
        "Trace/1\\.14\\.0/source/Trace:141\r\n$");
}

} // namespace
