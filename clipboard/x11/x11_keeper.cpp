#include "clipboard/x11/x11_keeper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "posix/spawn.h"

namespace {

constexpr std::size_t FrameHeadSize = 16;
constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

void PutSize(std::uint8_t *at, std::uint64_t size) {
  for (int i = 0; i < 8; ++i)
    at[i] = static_cast<std::uint8_t>(size >> (8 * i));
}

std::uint64_t GetSize(const std::uint8_t *at) {
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i)
    size = size << 8 | at[i];
  return size;
}

} // namespace

CKeeperStart::~CKeeperStart() { Finish(m_answer); }

bool CKeeperStart::Start(const std::string &path, const std::string &display, xcb_timestamp_t time,
                         const X11Value &bmp, const X11Value &png) {
  return Launch(path, {display, std::to_string(time)}, bmp, png);
}

bool CKeeperStart::StartWayland(const std::string &path, const X11Value &bmp, const X11Value &png) {
  return Launch(path, {KeeperWaylandOption}, bmp, png);
}

bool CKeeperStart::Launch(const std::string &path, const std::vector<std::string> &arguments,
                          const X11Value &bmp, const X11Value &png) {
  std::uint8_t head[FrameHeadSize];
  PutSize(head, bmp.size);
  PutSize(head + 8, png.size);
  const int input = MemoryFileOf({std::span<const std::uint8_t>(head, FrameHeadSize),
                                  std::span<const std::uint8_t>(bmp.data.get(), bmp.size),
                                  std::span<const std::uint8_t>(png.data.get(), png.size)},
                                 "vantoly-result");
  int confirm[2] = {-1, -1};
  if (input < 0 || pipe2(confirm, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (input >= 0)
      close(input);
    Finish(KeeperAnswer::Failed);
    return false;
  }
  const bool started = SpawnDetached(path, arguments, {input, confirm[1], STDERR_FILENO}, m_pid);
  close(input);
  close(confirm[1]);
  m_confirm = confirm[0];
  if (!started) {
    m_pid = -1;
    Finish(KeeperAnswer::Failed);
  }
  return started;
}

void CKeeperStart::Dispatch() {
  if (m_confirm < 0)
    return;
  char byte = 0;
  const ssize_t count = read(m_confirm, &byte, 1);
  if (count < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  Finish(count == 1 && byte == KeeperOwns      ? KeeperAnswer::Owns
         : count == 1 && byte == KeeperNotOurs ? KeeperAnswer::NotOurs
         : count == 1 && byte == KeeperCannot  ? KeeperAnswer::Cannot
                                               : KeeperAnswer::Failed);
}

void CKeeperStart::Finish(KeeperAnswer answer) {
  m_answer = answer;
  if (m_confirm >= 0) {
    close(m_confirm);
    m_confirm = -1;
  }
  // A keeper that has ended already is reaped; one that runs on is left to run, and becomes
  // the init process's child when we end.
  if (m_pid > 0 && answer != KeeperAnswer::Waiting) {
    waitpid(m_pid, nullptr, WNOHANG);
    m_pid = -1;
  }
}

bool MapHandedResult(int fd, X11Value &bmp, X11Value &png) {
  struct stat input {};
  if (fstat(fd, &input) != 0 || !S_ISREG(input.st_mode) ||
      static_cast<std::uint64_t>(input.st_size) < FrameHeadSize)
    return false;
  const auto size = static_cast<std::size_t>(input.st_size);
  void *mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED)
    return false;
  const auto *base = static_cast<const std::uint8_t *>(mapped);
  const std::shared_ptr<const std::uint8_t> mapping(
      base, [size](const std::uint8_t *p) { munmap(const_cast<std::uint8_t *>(p), size); });
  const std::uint64_t bmpSize = GetSize(base), pngSize = GetSize(base + 8);
  const std::uint64_t rest = size - FrameHeadSize;
  if (bmpSize > rest || pngSize != rest - bmpSize || bmpSize < 2 ||
      std::memcmp(base + FrameHeadSize, "BM", 2) != 0 ||
      (pngSize > 0 &&
       (pngSize < sizeof PngSignature ||
        std::memcmp(base + FrameHeadSize + bmpSize, PngSignature, sizeof PngSignature) != 0)))
    return false;
  bmp = {std::shared_ptr<const std::uint8_t>(mapping, base + FrameHeadSize),
         static_cast<std::size_t>(bmpSize)};
  png = {std::shared_ptr<const std::uint8_t>(mapping, base + FrameHeadSize + bmpSize),
         static_cast<std::size_t>(pngSize)};
  return true;
}
