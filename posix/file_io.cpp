#include "posix/file_io.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>

namespace {
// One call moves at most about 2 GB; keep each well inside that.
constexpr std::size_t MaxChunk = std::size_t{1} << 30;
} // namespace

std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, std::min(size, MaxChunk));
    if (n >= 0 || errno != EINTR)
      return n < 0 ? -1 : static_cast<std::ptrdiff_t>(n);
  }
}

CReadStop::CReadStop() : m_event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Never on a standard descriptor that happens to be closed: a read of standard input would
  // then wait on the stop itself.
  if (m_event.Get() >= 0 && m_event.Get() <= STDERR_FILENO)
    m_event.Reset(::fcntl(m_event.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

void CReadStop::Stop() {
  m_stopped.store(true);
  // Only a counter at its limit refuses the write, and that is already readable.
  const std::uint64_t one = 1;
  if (m_event.Get() >= 0 && ::write(m_event.Get(), &one, sizeof one) < 0)
    return;
}

std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size, const CReadStop &stop) {
  // Waits until the descriptor has something to say (a regular file always has) or the stop
  // comes, then reads what is there.
  pollfd waits[2] = {{fd, POLLIN, 0}, {stop.Event(), POLLIN, 0}};
  const bool woken = stop.Event() >= 0;
  for (;;) {
    if (stop.Stopped()) {
      errno = ECANCELED;
      return -1;
    }
    const int ready = ::poll(waits, woken ? 2 : 1, woken ? -1 : 100);
    if (ready < 0 && errno != EINTR)
      break; // poll itself failed (no memory): read, and wait there if need be
    if (ready > 0 && waits[0].revents != 0)
      break;
  }
  return ReadSome(fd, buffer, size);
}

namespace {

// Writes all `size` bytes through `put(data, size, done)`, one write call given how much is
// done, resuming after interruptions and short writes.
template <typename Put> IoResult PutAll(const std::uint8_t *data, std::size_t size, Put put) {
  for (std::uint64_t done = 0; size > 0;) {
    const ssize_t n = put(data, std::min(size, MaxChunk), done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return IoResult::Failed(errno);
    if (n == 0)
      return IoResult::Failed(EIO);
    data += n;
    size -= static_cast<std::size_t>(n);
    done += static_cast<std::uint64_t>(n);
  }
  return {};
}

} // namespace

IoResult WriteAll(int fd, const std::uint8_t *data, std::size_t size) {
  return PutAll(data, size, [fd](const std::uint8_t *piece, std::size_t count, std::uint64_t) {
    return ::write(fd, piece, count);
  });
}

IoResult WriteAllAt(int fd, const std::uint8_t *data, std::size_t size, std::uint64_t offset) {
  return PutAll(data, size,
                [fd, offset](const std::uint8_t *piece, std::size_t count, std::uint64_t done) {
                  return ::pwrite(fd, piece, count, static_cast<off_t>(offset + done));
                });
}

void StartWriteBack(int fd, std::uint64_t offset, std::size_t size) {
  static_cast<void>(::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                                      SYNC_FILE_RANGE_WRITE));
}

std::ptrdiff_t ReadSomeAt(int fd, std::uint8_t *buffer, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, std::min(size, MaxChunk), static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR)
      return n < 0 ? -1 : static_cast<std::ptrdiff_t>(n);
  }
}

IoResult CBufferedWriter::Put(const std::uint8_t *data, std::size_t size) {
  if (m_used + size > sizeof m_buffer) {
    if (const IoResult flushed = Flush(); !flushed)
      return flushed;
  }
  if (size >= sizeof m_buffer)
    return WriteAll(m_fd, data, size);
  std::memcpy(m_buffer + m_used, data, size);
  m_used += size;
  return {};
}

IoResult CBufferedWriter::Flush() {
  const IoResult written = WriteAll(m_fd, m_buffer, m_used);
  m_used = 0;
  return written;
}
