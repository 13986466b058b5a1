// Preloaded into vantoly-convert by the nothing-lost test. VANTOLY_STOP_AT names the point at
// which the process stops itself (SIGSTOP) so that the test can kill it exactly there:
//   write   half-way through writing a regular file (write, writev or pwrite)
//   fsync   when the file is written but not yet flushed or named
//   rename  when the finished file has its temporary name, just before it replaces the output
// VANTOLY_RENAME_DURING_LOOKUP names a file that another process renames over the output while
// vantoly-convert looks the output's name up (at its first look for links), once.
// VANTOLY_NO_TMPFILE makes unnamed files fail to open, as on file systems without them.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

bool StopsAt(const char *point) {
  const char *at = std::getenv("VANTOLY_STOP_AT");
  return at != nullptr && std::strcmp(at, point) == 0;
}

template <typename Function> Function Next(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t write(int fd, const void *data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const void *, size_t)>("write");
  struct stat info {};
  if (StopsAt("write") && size > 1 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const ssize_t written = next(fd, data, size / 2);
    const int error = errno;
    raise(SIGSTOP);
    errno = error;
    return written;
  }
  return next(fd, data, size);
}

extern "C" ssize_t pwrite(int fd, const void *data, size_t size, off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
  struct stat info {};
  if (StopsAt("write") && size > 1 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const ssize_t written = next(fd, data, size / 2, offset);
    const int error = errno;
    raise(SIGSTOP);
    errno = error;
    return written;
  }
  return next(fd, data, size, offset);
}

extern "C" ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset) {
  return pwrite(fd, data, size, offset);
}

extern "C" ssize_t writev(int fd, const struct iovec *pieces, int count) {
  static const auto next = Next<ssize_t (*)(int, const struct iovec *, int)>("writev");
  struct stat info {};
  size_t size = 0;
  for (int i = 0; i < count; ++i)
    size += pieces[i].iov_len;
  if (StopsAt("write") && size > 1 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::vector<struct iovec> half(pieces, pieces + count);
    size_t left = size / 2;
    for (struct iovec &piece : half) {
      piece.iov_len = piece.iov_len < left ? piece.iov_len : left;
      left -= piece.iov_len;
    }
    const ssize_t written = next(fd, half.data(), count);
    const int error = errno;
    raise(SIGSTOP);
    errno = error;
    return written;
  }
  return next(fd, pieces, count);
}

extern "C" int openat(int folder, const char *path, int flags, ...) {
  static const auto next = Next<int (*)(int, const char *, int, ...)>("openat");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  const char *noTmpfile = std::getenv("VANTOLY_NO_TMPFILE");
  if ((flags & O_TMPFILE) == O_TMPFILE && noTmpfile != nullptr && *noTmpfile != '\0') {
    errno = EOPNOTSUPP;
    return -1;
  }
  return next(folder, path, flags, mode);
}

extern "C" int fsync(int fd) {
  static const auto next = Next<int (*)(int)>("fsync");
  if (StopsAt("fsync"))
    raise(SIGSTOP);
  return next(fd);
}

extern "C" int rename(const char *from, const char *to) {
  static const auto next = Next<int (*)(const char *, const char *)>("rename");
  if (StopsAt("rename"))
    raise(SIGSTOP);
  return next(from, to);
}

extern "C" int renameat(int fromFolder, const char *from, int toFolder, const char *to) {
  static const auto next = Next<int (*)(int, const char *, int, const char *)>("renameat");
  if (StopsAt("rename"))
    raise(SIGSTOP);
  return next(fromFolder, from, toFolder, to);
}

extern "C" ssize_t readlinkat(int folder, const char *path, char *buffer, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const char *, char *, size_t)>("readlinkat");
  static bool renamed = false;
  const char *from = std::getenv("VANTOLY_RENAME_DURING_LOOKUP");
  if (from != nullptr && !renamed) {
    renamed = true;
    static const auto renameNext = Next<int (*)(int, const char *, int, const char *)>("renameat");
    renameNext(AT_FDCWD, from, folder, path);
  }
  return next(folder, path, buffer, size);
}
