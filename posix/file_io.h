// Files through POSIX descriptors: a descriptor that closes itself, read and write loops that
// resume after interruptions and short transfers, buffered output, and the atomic replacement
// of a file. Nothing here knows what the bytes mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unistd.h>
#include <utility>

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
  bool Close() {
    const int fd = std::exchange(m_fd, -1);
    return fd < 0 || ::close(fd) == 0;
  }

private:
  int m_fd;
};

// Reads what is there, up to `size` bytes: how many (0 at the end), or -1 on an error.
std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size);
// Writes all `size` bytes; false on any failure.
bool WriteAll(int fd, const std::uint8_t *data, std::size_t size);

// Gathers many small pieces into few writes; large ones go straight through.
class CBufferedWriter {
public:
  explicit CBufferedWriter(int fd) : m_fd(fd) {}
  bool Put(const std::uint8_t *data, std::size_t size);
  bool Flush();

private:
  int m_fd;
  std::size_t m_used = 0;
  std::uint8_t m_buffer[1 << 16];
};

// Puts all of a file's bytes on the descriptor it is given; false on any failure.
using FileContentWriter = std::function<bool(int fd)>;

// Writes a new file at `path` through `write`. A regular file, or none, is replaced atomically:
// the bytes go to a temporary file beside it, which is flushed and renamed over it only when
// complete, so after any failure the file is as it was. A symbolic link is followed to the
// file it names (the link stays), a dangling one names the file to create. A character device,
// FIFO or socket is written directly; a folder or any other kind of file is refused. A
// temporary that a killed run leaves behind is named ".NAME.vantoly-tmp-XXXXXX"; no other
// file is ever deleted.
bool ReplaceFileAtomically(const std::string &path, const FileContentWriter &write);
bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size);
