#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Sends everything written to one descriptor (standard output or standard
// error) into an unlinked temporary file until take() restores it and returns
// the bytes. The matching stdio stream is flushed at both ends.
class FdCapture {
public:
    explicit FdCapture(int fd = STDOUT_FILENO) : m_fd(fd) {
        char path[] = "/tmp/vexil-capture-XXXXXX";
        m_file = mkstemp(path);
        if (m_file < 0) {
            perror("mkstemp");
            abort();
        }
        unlink(path);
        flush();
        m_saved = dup(m_fd);
        dup2(m_file, m_fd);
    }

    ~FdCapture() {
        restore();
        close(m_saved);
        close(m_file);
    }

    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

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
    void flush() { fflush(m_fd == STDERR_FILENO ? stderr : stdout); }

    void restore() {
        if (m_active) {
            flush();
            dup2(m_saved, m_fd);
            m_active = false;
        }
    }

    int m_fd;
    int m_file = -1;
    int m_saved = -1;
    bool m_active = true;
};

// Standard output and standard error at once.
class OutputCapture {
public:
    std::string out() { return m_out.take(); }
    std::string err() { return m_err.take(); }

private:
    FdCapture m_out{STDOUT_FILENO};
    FdCapture m_err{STDERR_FILENO};
};
