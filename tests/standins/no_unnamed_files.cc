// Preloaded into a process, makes every file system look to it as one
// without unnamed files: openat() refuses O_TMPFILE with EOPNOTSUPP, as
// such a file system does, and passes every other call on.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

extern "C" int openat(int dir, const char* path, int flags, ...) {
  using Openat = int (*)(int, const char*, int, ...);
  static const Openat next = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
  mode_t mode = 0;
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return next(dir, path, flags, mode);
}
