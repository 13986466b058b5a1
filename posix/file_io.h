// Files through POSIX descriptors: a descriptor that closes itself, read and write loops that
// resume after interruptions and short transfers (reads that another thread may stop),
// buffered output, and the atomic replacement of a file. Failures carry their errno. Nothing
// here knows what the bytes mean.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unistd.h>
#include <utility>

// How a file operation ended: success, or the errno of the call that failed, kept apart from
// errno, which later cleanup (close, unlink) overwrites. It converts to bool, so that a caller
// that wants only whether may test it as before.
class IoResult {
public:
  IoResult() = default; // success
  static IoResult Failed(int error) {
    IoResult result;
    result.m_error = error != 0 ? error : EIO;
    return result;
  }
  // Success, or the errno that the call which just failed has left.
  static IoResult Check(bool succeeded) { return succeeded ? IoResult() : Failed(errno); }
  operator bool() const { return m_error == 0; }
  int Error() const { return m_error; }

private:
  int m_error = 0;
};

// Closes a descriptor on every path out of a scope.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  int Get() const { return m_fd; }
  void Reset(int fd) {
    if (m_fd >= 0)
      ::close(m_fd);
    m_fd = fd;
  }
  int Release() { return std::exchange(m_fd, -1); }
  // Closes now, reporting the error that a delayed write may only show here.
  IoResult Close() {
    const int fd = std::exchange(m_fd, -1);
    return IoResult::Check(fd < 0 || ::close(fd) == 0);
  }

private:
  int m_fd;
};

// Reads what is there, up to `size` bytes: how many (0 at the end), or -1 with errno set.
std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size);

// Ends, from another thread, reads that may wait for ever on a pipe or a terminal: once Stop
// is called, ReadSome with this stop fails with ECANCELED, at once, and a read already
// waiting wakes.
class CReadStop {
public:
  CReadStop();
  CReadStop(const CReadStop &) = delete;
  CReadStop &operator=(const CReadStop &) = delete;
  void Stop();
  bool Stopped() const { return m_stopped.load(); }
  // Readable once stopped: an eventfd, or -1 when none could be made (reads then look for the
  // stop every tenth of a second).
  int Event() const { return m_event.Get(); }

private:
  FileDescriptor m_event;
  std::atomic<bool> m_stopped{false};
};
std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size, const CReadStop &stop);

// Writes all `size` bytes.
IoResult WriteAll(int fd, const std::uint8_t *data, std::size_t size);
// Writes all `size` bytes at `offset` in a regular file, leaving the file's position alone.
IoResult WriteAllAt(int fd, const std::uint8_t *data, std::size_t size, std::uint64_t offset);
// Asks the system to start writing a regular file's bytes at `offset` to its disk now, without
// waiting, so that a later fsync finds less to do. Only a hint: nothing fails.
void StartWriteBack(int fd, std::uint64_t offset, std::size_t size);
// Reads up to `size` bytes at `offset` in a regular file: how many (0 past its end), or -1
// with errno set.
std::ptrdiff_t ReadSomeAt(int fd, std::uint8_t *buffer, std::size_t size, std::uint64_t offset);

// Gathers many small pieces into few writes; large ones go straight through.
class CBufferedWriter {
public:
  explicit CBufferedWriter(int fd) : m_fd(fd) {}
  IoResult Put(const std::uint8_t *data, std::size_t size);
  IoResult Flush();

private:
  int m_fd;
  std::size_t m_used = 0;
  std::uint8_t m_buffer[1 << 16];
};

// Puts all of a file's bytes on the descriptor it is given. A writer that gives up for a
// reason of its own, not the file's, says ECANCELED.
using FileContentWriter = std::function<IoResult(int fd)>;

// Writes a new file at `path` through `write`. A regular file, or none, is replaced atomically:
// the bytes go to a temporary file beside it, which is flushed and renamed over it only when
// complete, so after any failure the file is as it was. A symbolic link is followed to the
// file it names (the link stays), a dangling one names the file to create. A character device,
// FIFO or socket is written directly; a folder or any other kind of file is refused. A
// temporary that a killed run leaves behind is named ".NAME.vantoly-tmp-XXXXXX"; no other
// file is ever deleted. A folder or file that the system keeps from being replaced
// (append-only, immutable) is refused with EPERM before anything is written.
IoResult ReplaceFileAtomically(const std::string &path, const FileContentWriter &write);
IoResult ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size);

// From now on SIGINT, SIGTERM and SIGHUP remove the named temporary of a replacement under way
// before they end the program as their default action does; only SIGKILL (or a crash) can
// then leave one. For a program with no other use for these signals; one ignored from the
// start (nohup) stays ignored. One replacement at a time is looked after.
void RemoveTemporaryOnTermination();
