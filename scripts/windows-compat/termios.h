/* Terminal attributes: no descriptor is a terminal, every call fails. */
#pragma once
#include <errno.h>

typedef unsigned int tcflag_t;
typedef unsigned char cc_t;
#define NCCS 32
struct termios {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_cc[NCCS];
};
#define TCSANOW 0

static inline int tcgetattr(int fd, struct termios *t) { (void)fd; (void)t; errno = ENOTTY; return -1; }
static inline int tcsetattr(int fd, int when, const struct termios *t) {
  (void)fd; (void)when; (void)t; errno = ENOTTY; return -1;
}
static inline void cfmakeraw(struct termios *t) { (void)t; }
