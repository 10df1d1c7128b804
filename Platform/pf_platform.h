#pragma once

// Thin operating-system layer: abort, console bytes, colours, recursive mutexes.
// A mutex handle is an opaque pointer; handles are never destroyed.

[[noreturn]] void pf_abort();
int pf_setOutputColor(int color);
int pf_putChar(int ch);
void* pf_mutexCreate();
int pf_mutexLock(void* handle);
int pf_mutexUnlock(void* handle);
