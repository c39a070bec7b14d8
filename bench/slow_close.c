/* LD_PRELOAD shim for the extraction benchmark: every close() of a file descriptor that was
 * opened for writing first sleeps SLOW_CLOSE_MS milliseconds (default 5), as a close does on
 * Windows while an on-access scanner looks at the file just written. Applied alike to every
 * tool measured, so that their figures stay comparable. Descriptors opened read-only, sockets
 * and pipes are closed at once. SLOW_CLOSE_REPORT=1 prints the number of delayed closes at exit.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define MAX_TRACKED_FD 65536

static atomic_uchar writable[MAX_TRACKED_FD];
static atomic_long delayed;
static long delay_ns = -1;

static void mark(int fd, int flags) {
  if (fd >= 0 && fd < MAX_TRACKED_FD) atomic_store(&writable[fd], (flags & O_ACCMODE) != O_RDONLY);
}

static long delay(void) {
  if (delay_ns < 0) {
    const char *text = getenv("SLOW_CLOSE_MS");
    delay_ns = (text != NULL ? atol(text) : 5) * 1000000L;
  }
  return delay_ns;
}

static void report(void) {
  const char *text = getenv("SLOW_CLOSE_REPORT");
  if (text != NULL && text[0] == '1') fprintf(stderr, "slow_close: %ld closes delayed\n", atomic_load(&delayed));
}

__attribute__((constructor)) static void start(void) { atexit(report); }

#define FORWARD_OPEN(name, proto, call_args)                                       \
  int name proto {                                                                  \
    static int(*real) proto;                                                        \
    mode_t mode = 0;                                                                \
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {                                          \
      va_list args;                                                                 \
      va_start(args, flags);                                                        \
      mode = va_arg(args, mode_t);                                                  \
      va_end(args);                                                                 \
    }                                                                               \
    if (real == NULL) real = (int(*) proto)dlsym(RTLD_NEXT, #name);                 \
    const int fd = real call_args;                                                  \
    mark(fd, flags);                                                                \
    return fd;                                                                      \
  }

FORWARD_OPEN(open, (const char *path, int flags, ...), (path, flags, mode))
FORWARD_OPEN(open64, (const char *path, int flags, ...), (path, flags, mode))
FORWARD_OPEN(openat, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))
FORWARD_OPEN(openat64, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))

int creat(const char *path, mode_t mode) { return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char *path, mode_t mode) { return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }

int close(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd < MAX_TRACKED_FD && atomic_exchange(&writable[fd], 0)) {
    const long ns = delay();
    if (ns > 0) {
      struct timespec pause = {ns / 1000000000L, ns % 1000000000L};
      while (nanosleep(&pause, &pause) != 0) {
      }
    }
    atomic_fetch_add(&delayed, 1);
  }
  return real(fd);
}
