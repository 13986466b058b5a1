// One running copy per user session: an exclusive flock on a file in the user's runtime folder.
// The kernel drops the lock when the process ends, however it ends, so a crash never leaves a
// stale marker behind.
#pragma once

#include <string>

class CInstanceGuard {
public:
  enum class Result {
    Acquired,       // we are the only copy
    AlreadyRunning, // another copy holds the lock
    Unavailable,    // no lock file could be made; we run unguarded rather than not at all
  };

  CInstanceGuard() = default;
  ~CInstanceGuard() { Release(); }
  CInstanceGuard(const CInstanceGuard &) = delete;
  CInstanceGuard &operator=(const CInstanceGuard &) = delete;

  // Takes the lock named `name` in LockFolder().
  Result Acquire(const char *name);
  void Release();

  // $XDG_RUNTIME_DIR when it names a usable folder, else /tmp/vantoly-UID made private to the
  // user; empty when neither can be had.
  static std::string LockFolder();

private:
  int m_nLockFd = -1;
};
