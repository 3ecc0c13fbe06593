/* Memory mapping that always fails: callers fall back to reading the file. */
#pragma once
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>

#define PROT_READ 0x1
#define PROT_WRITE 0x2
#define MAP_SHARED 0x01
#define MAP_PRIVATE 0x02
#define MAP_FAILED ((void *)-1)

static inline void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  (void)addr; (void)length; (void)prot; (void)flags; (void)fd; (void)offset;
  errno = ENODEV;
  return MAP_FAILED;
}

static inline int munmap(void *addr, size_t length) {
  (void)addr; (void)length;
  errno = EINVAL;
  return -1;
}
