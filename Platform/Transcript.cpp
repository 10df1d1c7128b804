#include "Platform/Transcript.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "StringTool/StringTool.h"

namespace Platform {
namespace {

class NoTranscript : public Transcript {
protected:
    void out(const std::string&) override {}
    void err(const std::string&) override {}
};

} // namespace

void Transcript::printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    out(StringTool::vstringf(format, args));
    va_end(args);
}

void Transcript::systemError(const char* what, int error) {
    err(std::string(what) + ": " + strerror(error) + "\n");
}

void Transcript::note(const std::string& line) {
    err(line + "\n");
}

Transcript& Transcript::none() {
    static NoTranscript none;
    return none;
}

void StandardTranscript::out(const std::string& text) {
    fputs(text.c_str(), stdout);
}

void StandardTranscript::err(const std::string& text) {
    fputs(text.c_str(), stderr);
}

} // namespace Platform
