// The file clipboard, on POSIX systems.
#include "clipboard/clipboard_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "clipboard/bmp_file.h"

namespace {

// Closes a descriptor on every path out of a scope.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
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
  // Closes now, reporting the error that a delayed write may only show here.
  bool Close() {
    const int fd = std::exchange(m_fd, -1);
    return fd < 0 || ::close(fd) == 0;
  }

private:
  int m_fd;
};

bool ReadAll(int fd, std::vector<std::uint8_t> &data) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    data.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0)
      return true;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data.insert(data.end(), chunk, chunk + n);
  }
}

bool WriteAll(int fd, const std::uint8_t *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string &path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name in the output's folder for the finished file before it is renamed over the output.
std::string TemporaryName(const std::string &path, int attempt) {
  const std::string folder = FolderOf(path);
  return (folder == "/" ? "" : folder) + "/.vantoly-" + std::to_string(::getpid()) + "-" +
         std::to_string(attempt) + ".tmp";
}

// A process killed between naming its finished file and renaming it over the output leaves
// that file behind, and no order of calls closes the gap. Clear such files of processes that
// are gone; a live process's file, or one whose owner we cannot tell, is left alone.
void RemoveAbandonedTemporaries(const std::string &path) {
  DIR *folder = ::opendir(FolderOf(path).c_str());
  if (folder == nullptr)
    return;
  while (const dirent *entry = ::readdir(folder)) {
    int pid = 0;
    int attempt = 0;
    if (std::sscanf(entry->d_name, ".vantoly-%d-%d.tmp", &pid, &attempt) != 2 || pid <= 0 ||
        pid == ::getpid())
      continue;
    const std::string name =
        ".vantoly-" + std::to_string(pid) + "-" + std::to_string(attempt) + ".tmp";
    if (name != entry->d_name || ::kill(pid, 0) == 0 || errno != ESRCH)
      continue;
    ::unlinkat(::dirfd(folder), entry->d_name, 0);
  }
  ::closedir(folder);
}

} // namespace

bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size) {
  // Keep the mode of a file we replace; a new one gets the usual 0666 less the umask.
  struct stat existing {};
  const bool replacing = ::stat(path.c_str(), &existing) == 0;
  if (replacing && !S_ISREG(existing.st_mode))
    return false;
  RemoveAbandonedTemporaries(path);

  // An unnamed file vanishes by itself if we die while writing it; it gets a name only
  // once it is complete.
  FileDescriptor file(::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  const bool unnamed = file.Get() >= 0;
  std::string temporary;
  for (int attempt = 0; !unnamed && attempt < 100 && file.Get() < 0; ++attempt) {
    temporary = TemporaryName(path, attempt);
    file.Reset(::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (file.Get() < 0 && errno != EEXIST)
      return false;
  }
  if (file.Get() < 0)
    return false;

  bool ok = WriteAll(file.Get(), static_cast<const std::uint8_t *>(data), size) &&
            (!replacing || ::fchmod(file.Get(), existing.st_mode & 07777) == 0) &&
            ::fsync(file.Get()) == 0;
  if (ok && unnamed) {
    const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
    ok = false;
    for (int attempt = 0; attempt < 100 && !ok; ++attempt) {
      temporary = TemporaryName(path, attempt);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0)
        ok = true;
      else if (errno != EEXIST)
        break;
    }
    if (!ok)
      temporary.clear();
  }
  ok = file.Close() && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0)
    return true;
  if (!temporary.empty())
    ::unlink(temporary.c_str());
  return false;
}

CFileClipboard::CFileClipboard(std::string inputPath, std::string outputPath)
    : m_strInputPath(std::move(inputPath)), m_strOutputPath(std::move(outputPath)) {}

bool CFileClipboard::ReadDib(CDibImage &image) {
  std::vector<std::uint8_t> data;
  if (m_strInputPath == "-") {
    if (!ReadAll(STDIN_FILENO, data))
      return false;
  } else {
    FileDescriptor file(::open(m_strInputPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 || !ReadAll(file.Get(), data))
      return false;
  }
  return ReadBmpFile(data.data(), data.size(), image);
}

bool CFileClipboard::WriteDib(const CDibImage &image) {
  const std::vector<std::uint8_t> file = EncodeBmpFile(image);
  if (file.empty())
    return false;
  if (m_strOutputPath == "-")
    return WriteAll(STDOUT_FILENO, file.data(), file.size());
  return ReplaceFileAtomically(m_strOutputPath, file.data(), file.size());
}
