/* A stand-in for a file system shared between hosts, preloaded into a test
 * interpreter: once armed, the next `count` calls of one kind whose path ends
 * in a given text fail with a given errno (ESTALE, as NFS and FUSE answer for
 * a name that another host has replaced), and it counts the directory
 * listings made meanwhile. Armed through ctypes; nothing happens until then.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char armed_call[16];
static char armed_suffix[4096];
static int armed_left;
static int armed_errno;
static int injected;
static int listings;

void stale_arm(const char* call, const char* suffix, int count, int error) {
  snprintf(armed_call, sizeof armed_call, "%s", call);
  snprintf(armed_suffix, sizeof armed_suffix, "%s", suffix);
  armed_left = count;
  armed_errno = error;
  injected = 0;
  listings = 0;
}

int stale_injected(void) {
  return injected;
}
int stale_listings(void) {
  return listings;
}

static int ends_with(const char* text, const char* suffix) {
  size_t length = strlen(text), tail = strlen(suffix);
  return length >= tail && strcmp(text + length - tail, suffix) == 0;
}

/* Whether this call fails: the errno is set and true returned. */
static int fails(const char* call, const char* path) {
  if (armed_left <= 0 || path == NULL || strcmp(call, armed_call) != 0 ||
      !ends_with(path, armed_suffix)) {
    return 0;
  }
  --armed_left;
  ++injected;
  errno = armed_errno;
  return 1;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

static mode_t mode_of(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

#define OPEN_AT(name)                                                                   \
  int name(int dir_fd, const char* path, int flags, ...) {                              \
    va_list args;                                                                       \
    va_start(args, flags);                                                              \
    mode_t mode = mode_of(flags, args);                                                 \
    va_end(args);                                                                       \
    if (fails("open", path)) return -1;                                                 \
    return REAL(#name, int (*)(int, const char*, int, ...))(dir_fd, path, flags, mode); \
  }
OPEN_AT(openat)
OPEN_AT(openat64)

#define OPEN(name)                                                         \
  int name(const char* path, int flags, ...) {                             \
    va_list args;                                                          \
    va_start(args, flags);                                                 \
    mode_t mode = mode_of(flags, args);                                    \
    va_end(args);                                                          \
    if (fails("open", path)) return -1;                                    \
    return REAL(#name, int (*)(const char*, int, ...))(path, flags, mode); \
  }
OPEN(open)
OPEN(open64)

/* The path `fd` was opened by, into `target`; false if unknown. */
static int path_of(int fd, char* target, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, size - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  return 1;
}

ssize_t read(int fd, void* buffer, size_t size) {
  char target[4096];
  if (armed_left > 0 && strcmp(armed_call, "read") == 0 && path_of(fd, target, sizeof target) &&
      fails("read", target)) {
    return -1;
  }
  return REAL("read", ssize_t(*)(int, void*, size_t))(fd, buffer, size);
}

/* As a server says at the last close that the file is gone: closed all the
 * same. */
int close(int fd) {
  char target[4096];
  int watched =
      armed_left > 0 && strcmp(armed_call, "close") == 0 && path_of(fd, target, sizeof target);
  int result = REAL("close", int (*)(int))(fd);
  if (result == 0 && watched && fails("close", target)) return -1;
  return result;
}

#define FSTAT(name, type)                                               \
  int name(int fd, type* info) {                                        \
    char target[4096];                                                  \
    if (armed_left > 0 && strcmp(armed_call, "fstat") == 0 &&           \
        path_of(fd, target, sizeof target) && fails("fstat", target)) { \
      return -1;                                                        \
    }                                                                   \
    return REAL(#name, int (*)(int, type*))(fd, info);                  \
  }
FSTAT(fstat, struct stat)
FSTAT(fstat64, struct stat64)

#define STAT(name, type)                                         \
  int name(const char* path, type* info) {                       \
    if (fails("stat", path)) return -1;                          \
    return REAL(#name, int (*)(const char*, type*))(path, info); \
  }
STAT(stat, struct stat)
STAT(stat64, struct stat64)
STAT(lstat, struct stat)
STAT(lstat64, struct stat64)

#define STAT_AT(name, type)                                                               \
  int name(int dir_fd, const char* path, type* info, int flags) {                         \
    if (fails("stat", path)) return -1;                                                   \
    return REAL(#name, int (*)(int, const char*, type*, int))(dir_fd, path, info, flags); \
  }
STAT_AT(fstatat, struct stat)
STAT_AT(fstatat64, struct stat64)

DIR* opendir(const char* path) {
  ++listings;
  return REAL("opendir", DIR * (*)(const char*))(path);
}

DIR* fdopendir(int fd) {
  ++listings;
  return REAL("fdopendir", DIR * (*)(int))(fd);
}
