/* mingw-w64's unistd.h plus sysconf(_SC_PAGESIZE), the one query the library makes. */
#pragma once
#include_next <unistd.h>

#ifndef _SC_PAGESIZE
#define _SC_PAGESIZE 30
#endif

static inline long sysconf(int name) { return name == _SC_PAGESIZE ? 4096L : -1L; }
