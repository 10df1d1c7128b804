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
        m_file = mkostemp(path, O_CLOEXEC);
        if (m_file < 0) {
            perror("mkostemp");
            abort();
        }
        unlink(path);
        flush();
        m_saved = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
        dup2(m_file, m_fd);
    }
    ~FdCapture() {
        take();
        close(m_saved);
        close(m_file);
    }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    std::string take() {
        if (m_active) {
            flush();
            dup2(m_saved, m_fd);
            m_active = false;
        }
        std::string bytes(size_t(lseek(m_file, 0, SEEK_END)), '\0');
        return pread(m_file, &bytes[0], bytes.size(), 0) < 0 ? "" : bytes;
    }

private:
    void flush() { fflush(m_fd == STDERR_FILENO ? stderr : stdout); }

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
