/* select() for terminal descriptors only: it always fails, as no descriptor
 * is a terminal. Not the Winsock select. */
#pragma once
#include <errno.h>
#include <string.h>
#include <sys/time.h>

typedef struct { unsigned char bits[64]; } fd_set;
#define FD_ZERO(set) memset((set), 0, sizeof *(set))
#define FD_SET(fd, set) ((set)->bits[(unsigned)(fd) / 8 % 64] |= (unsigned char)(1u << ((unsigned)(fd) % 8)))
#define FD_ISSET(fd, set) (((set)->bits[(unsigned)(fd) / 8 % 64] >> ((unsigned)(fd) % 8)) & 1u)

static inline int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t) {
  (void)n; (void)r; (void)w; (void)e; (void)t;
  errno = ENOTTY;
  return -1;
}
