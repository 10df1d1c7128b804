#pragma once

#include <string>

namespace Platform {

// Where a run's progress lines go: the installer binds it to its standard streams, the tools
// to nothing. Lines carry their own line feeds; a failed system call is said as perror says it,
// on the error side.
class Transcript {
public:
    virtual ~Transcript() = default;

    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "what: the C library's text for error".
    void systemError(const char* what, int error);
    // A line on the error side.
    void note(const std::string& line);

    // Takes everything and keeps nothing.
    static Transcript& none();

protected:
    virtual void out(const std::string& text) = 0;
    virtual void err(const std::string& text) = 0;
};

// Progress on standard output, system errors on standard error.
class StandardTranscript : public Transcript {
protected:
    void out(const std::string& text) override;
    void err(const std::string& text) override;
};

} // namespace Platform
