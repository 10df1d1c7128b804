#include "Platform/pf_platform.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

void pf_abort() {
    // The assertion line that precedes an abort must not die in stdout's buffer.
    fflush(stdout);
    abort();
}

int pf_setOutputColor(int color) {
    putc(0x1B, stdout);
    putc('[', stdout);
    if (static_cast<unsigned int>(color) <= 7) {
        putc('1', stdout);
        putc(';', stdout);
        putc('3', stdout);
        putc('0' + color, stdout);
    }
    return putc('m', stdout);
}

int pf_putChar(int ch) {
    return putc(ch, stdout);
}

void* pf_mutexCreate() {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return nullptr;
    }
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* mutex = new pthread_mutex_t;
    if (pthread_mutex_init(mutex, &attributes) != 0) {
        delete mutex;
        mutex = nullptr;
    }
    pthread_mutexattr_destroy(&attributes);
    return mutex;
}

int pf_mutexLock(void* handle) {
    if (handle == nullptr || pthread_mutex_lock(static_cast<pthread_mutex_t*>(handle)) != 0) {
        abort();
    }
    return 0;
}

int pf_mutexUnlock(void* handle) {
    if (handle == nullptr || pthread_mutex_unlock(static_cast<pthread_mutex_t*>(handle)) != 0) {
        abort();
    }
    return 0;
}
