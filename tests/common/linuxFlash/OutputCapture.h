#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

// Captures the bytes written to standard output and standard error (printf, perror and the
// console alike) from construction until stop().
class OutputCapture {
public:
    OutputCapture() : m_out(STDOUT_FILENO), m_err(STDERR_FILENO) {}

    void stop() {
        m_out.stop();
        m_err.stop();
    }
    const std::string& out() {
        stop();
        return m_out.text;
    }
    const std::string& err() {
        stop();
        return m_err.text;
    }

private:
    struct Stream {
        explicit Stream(int fd) : fd(fd), file(tmpfile()), saved(-1) {
            fflush(nullptr);
            saved = dup(fd);
            dup2(fileno(file), fd);
        }
        ~Stream() {
            stop();
            fclose(file);
        }
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;

        void stop() {
            if (saved == -1) {
                return;
            }
            fflush(nullptr);
            dup2(saved, fd);
            close(saved);
            saved = -1;
            rewind(file);
            char buffer[4096];
            size_t length;
            while ((length = fread(buffer, 1, sizeof buffer, file)) > 0) {
                text.append(buffer, length);
            }
        }

        int fd;
        FILE* file;
        int saved;
        std::string text;
    };

    Stream m_out;
    Stream m_err;
};
