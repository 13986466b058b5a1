#include "app/qt/instance_guard.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder only we can write to, so nobody else can take or fake our lock.
bool IsPrivateFolder(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & 077) == 0;
}

} // namespace

std::string CInstanceGuard::LockFolder() {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime))
    return runtime;
  // Per machine, not in the home folder: a home shared over the network must not let a copy on
  // one machine stop the program on another.
  const std::string fallback = "/tmp/vantoly-" + std::to_string(getuid());
  if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST)
    return {};
  return IsPrivateFolder(fallback) ? fallback : std::string();
}

CInstanceGuard::Result CInstanceGuard::Acquire(const char *name) {
  Release();
  const std::string folder = LockFolder();
  if (folder.empty())
    return Result::Unavailable;
  const std::string path = folder + "/" + name + ".lock";
  // Close-on-exec: a browser started from the about box must not inherit the lock and keep it
  // after we have ended.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return Result::Unavailable;
  int locked;
  do
    locked = flock(fd, LOCK_EX | LOCK_NB);
  while (locked != 0 && errno == EINTR);
  if (locked == 0) {
    m_nLockFd = fd;
    return Result::Acquired;
  }
  const bool held = errno == EWOULDBLOCK;
  close(fd);
  return held ? Result::AlreadyRunning : Result::Unavailable;
}

void CInstanceGuard::Release() {
  if (m_nLockFd >= 0) {
    close(m_nLockFd);
    m_nLockFd = -1;
  }
}
