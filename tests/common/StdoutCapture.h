#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

// Sends file descriptor 1 to a temporary file until text() is called.
class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        m_file = tmpfile();
        dup2(fileno(m_file), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        if (m_file != nullptr) {
            fclose(m_file);
        }
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing and returns everything written since construction.
    std::string text() {
        restore();
        std::string captured;
        if (m_file != nullptr) {
            rewind(m_file);
            char buffer[4096];
            size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, m_file)) > 0) {
                captured.append(buffer, got);
            }
            fclose(m_file);
            m_file = nullptr;
        }
        return captured;
    }

private:
    void restore() {
        if (m_saved >= 0) {
            fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            close(m_saved);
            m_saved = -1;
        }
    }

    int m_saved = -1;
    FILE* m_file = nullptr;
};
