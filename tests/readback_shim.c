/* Preloaded by the tests of --verify: spoils what the tool reads back from one output, as a
 * card that lost a write would. The output is the READBACK_OUTPUT-th file (from 0) whose cached
 * pages the run drops whole (the read-back's posix_fadvise); of its reads after that, the one
 * that covers byte READBACK_AT gets that byte flipped (READBACK_MODE=flip) or fails with EIO
 * (fail). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static int armed = -1;
static long dropped = 0;

static long long setting(const char* name) {
  const char* text = getenv(name);
  return text ? atoll(text) : -1;
}

static int advise(const char* real, int fd, long long at, long long length, int advice) {
  int (*next)(int, long long, long long, int);
  void* found = dlsym(RTLD_NEXT, real);
  memcpy(&next, &found, sizeof next);
  const int result = next(fd, at, length, advice);
  if (advice == 4 /* POSIX_FADV_DONTNEED */ && at == 0 && length == 0 &&
      dropped++ == setting("READBACK_OUTPUT"))
    armed = fd;
  return result;
}

static ssize_t spoil(const char* real, int fd, void* buffer, size_t count, long long at) {
  ssize_t (*next)(int, void*, size_t, long long);
  void* found = dlsym(RTLD_NEXT, real);
  memcpy(&next, &found, sizeof next);
  const long long spot = setting("READBACK_AT");
  const char* mode = getenv("READBACK_MODE");
  if (fd != armed || spot < at || spot >= at + (long long)count) return next(fd, buffer, count, at);
  if (mode && strcmp(mode, "fail") == 0) {
    errno = EIO;
    return -1;
  }
  const ssize_t n = next(fd, buffer, count, at);
  if (n > spot - at) ((unsigned char*)buffer)[spot - at] ^= 0x5A;
  return n;
}

int posix_fadvise(int fd, off_t at, off_t length, int advice) {
  return advise("posix_fadvise", fd, at, length, advice);
}
int posix_fadvise64(int fd, long long at, long long length, int advice) {
  return advise("posix_fadvise64", fd, at, length, advice);
}
ssize_t pread(int fd, void* buffer, size_t count, off_t at) {
  return spoil("pread", fd, buffer, count, at);
}
ssize_t pread64(int fd, void* buffer, size_t count, long long at) {
  return spoil("pread64", fd, buffer, count, at);
}
