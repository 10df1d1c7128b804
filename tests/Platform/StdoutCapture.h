#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Sends everything written to the standard output descriptor into an
// unlinked temporary file until take() restores it and returns the bytes.
class StdoutCapture {
public:
    StdoutCapture() {
        char path[] = "/tmp/vexil-stdout-XXXXXX";
        m_file = mkstemp(path);
        if (m_file < 0) {
            perror("mkstemp");
            abort();
        }
        unlink(path);
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_file, STDOUT_FILENO);
    }

    ~StdoutCapture() {
        restore();
        close(m_saved);
        close(m_file);
    }

    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string take() {
        restore();
        std::string bytes;
        char chunk[4096];
        off_t offset = 0;
        ssize_t count;
        while ((count = pread(m_file, chunk, sizeof chunk, offset)) > 0) {
            bytes.append(chunk, static_cast<size_t>(count));
            offset += count;
        }
        return bytes;
    }

private:
    void restore() {
        if (m_active) {
            fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            m_active = false;
        }
    }

    int m_file = -1;
    int m_saved = -1;
    bool m_active = true;
};
