// The file clipboard, on Linux.
#include "clipboard/clipboard_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

#include "clipboard/bmp_file.h"
#include "clipboard/png_file.h"

namespace {

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

// ---- Reading ------------------------------------------------------------------------------

// Reads until `size` bytes are in or the input ends. False on an error or an early end.
bool ReadExactly(int fd, std::uint8_t *buffer, std::size_t size) {
  // One call moves at most about 2 GB; keep each well inside that.
  constexpr std::size_t MaxChunk = std::size_t{1} << 30;
  while (size > 0) {
    const ssize_t n = ::read(fd, buffer, std::min(size, MaxChunk));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Passes over `count` bytes: sought past in a regular file, read and dropped from anything else.
bool SkipBytes(int fd, std::uint64_t count) {
  if (count == 0)
    return true;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      count <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
      ::lseek(fd, static_cast<off_t>(count), SEEK_CUR) >= 0)
    return true;
  std::uint8_t scrap[65536];
  while (count > 0) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof scrap));
    if (!ReadExactly(fd, scrap, chunk))
      return false;
    count -= chunk;
  }
  return true;
}

bool Refuse(DibRefusal *why, DibRefusal reason) {
  if (why != nullptr)
    *why = reason;
  return false;
}

// The BMP reader on a descriptor whose first `have` bytes are already in `head`, which holds
// MaxBmpFileHeadSize bytes.
bool ReadBmpStream(int fd, std::uint8_t *head, std::size_t have, CDibImage &image,
                   DibRefusal *why) {
  DibBlockLayout layout;
  for (;;) {
    const DibHeadParse step = ParseBmpFileHead(head, have, UnknownBlockSize, layout, why);
    if (step == DibHeadParse::Refused)
      return false;
    if (step == DibHeadParse::Parsed)
      break;
    // The parse asks only for the file's head, which is bounded.
    if (layout.headSize > MaxBmpFileHeadSize || layout.headSize <= have)
      return Refuse(why, DibRefusal::TooLarge);
    const auto needed = static_cast<std::size_t>(layout.headSize);
    if (!ReadExactly(fd, head + have, needed - have))
      return Refuse(why, DibRefusal::TooShort);
    have = needed;
  }
  if (!SkipBytes(fd, layout.rowsStart - have))
    return Refuse(why, DibRefusal::TooShort);
  if (!CreateDibImage(layout, image, why))
    return false;
  std::uint8_t *rows = DibRowsInPlace(layout, image);
  if (!ReadExactly(fd, rows, static_cast<std::size_t>(layout.rowsSize)))
    return Refuse(why, DibRefusal::TooShort);
  StoreDibRows(layout, rows, image);
  return true;
}

enum class PictureFormat { Unknown, Bmp, Png };

// Reads the input's first bytes into `head` until they show its format, or show that it has
// none we know: an endless stream of anything else is refused after its first bytes.
PictureFormat SniffFormat(int fd, std::uint8_t *head, std::size_t &have) {
  struct Signature {
    const char *bytes;
    std::size_t size;
    PictureFormat format;
  };
  static constexpr Signature Signatures[] = {{"BM", 2, PictureFormat::Bmp},
                                             {"\x89PNG\r\n\x1A\n", 8, PictureFormat::Png}};
  constexpr std::size_t Longest = 8;
  for (;;) {
    bool possible = false;
    for (const Signature &s : Signatures) {
      const std::size_t compared = std::min(have, s.size);
      if (std::memcmp(head, s.bytes, compared) != 0)
        continue;
      if (compared == s.size)
        return s.format;
      possible = true;
    }
    if (!possible)
      return PictureFormat::Unknown;
    const ssize_t n = ::read(fd, head + have, Longest - have);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return PictureFormat::Unknown;
    have += static_cast<std::size_t>(n);
  }
}

bool ReadPicture(int fd, CDibImage &image, DibRefusal *why) {
  std::uint8_t head[MaxBmpFileHeadSize];
  std::size_t have = 0;
  switch (SniffFormat(fd, head, have)) {
  case PictureFormat::Bmp: return ReadBmpStream(fd, head, have, image, why);
  case PictureFormat::Png: {
    // The bytes read to tell the format come first, then the rest as the reader pulls it.
    std::size_t served = 0;
    const auto source = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
      if (served < have) {
        const std::size_t n = std::min(size, have - served);
        std::memcpy(buffer, head + served, n);
        served += n;
        return static_cast<std::ptrdiff_t>(n);
      }
      for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
          return n < 0 ? -1 : static_cast<std::ptrdiff_t>(n);
      }
    };
    return ReadPng(source, image);
  }
  case PictureFormat::Unknown: break;
  }
  return Refuse(why, have < 2 ? DibRefusal::TooShort : DibRefusal::FileSignature);
}

// ---- Writing ------------------------------------------------------------------------------

bool WriteAll(int fd, const std::uint8_t *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the pieces one after another in as few calls as the system allows, resuming after a
// short write.
bool WriteVector(int fd, iovec *pieces, int count) {
  while (count > 0 && pieces->iov_len == 0) {
    ++pieces;
    --count;
  }
  while (count > 0) {
    const ssize_t n = ::writev(fd, pieces, std::min(count, IOV_MAX));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    auto written = static_cast<std::size_t>(n);
    while (count > 0 && written >= pieces->iov_len) {
      written -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<std::uint8_t *>(pieces->iov_base) + written;
      pieces->iov_len -= written;
    }
  }
  return true;
}

// Gathers the encoder's many small pieces into few writes.
class BufferedOutput {
public:
  explicit BufferedOutput(int fd) : m_fd(fd) {}
  bool Put(const std::uint8_t *data, std::size_t size) {
    if (m_used + size > sizeof m_buffer && !Flush())
      return false;
    if (size >= sizeof m_buffer)
      return WriteAll(m_fd, data, size);
    std::memcpy(m_buffer + m_used, data, size);
    m_used += size;
    return true;
  }
  bool Flush() {
    const bool written = WriteAll(m_fd, m_buffer, m_used);
    m_used = 0;
    return written;
  }

private:
  int m_fd;
  std::size_t m_used = 0;
  std::uint8_t m_buffer[1 << 16];
};

bool WritePngFile(int fd, const CDibImage &image) {
  BufferedOutput output(fd);
  return WritePng(image, [&output](const std::uint8_t *data,
                                   std::size_t size) { return output.Put(data, size); }) &&
         output.Flush();
}

bool WriteBmpFile(int fd, const BmpFileParts &parts) {
  iovec pieces[3] = {{const_cast<std::uint8_t *>(parts.fileHeader), BmpFileHeaderSize},
                     {const_cast<void *>(parts.head), parts.headSize},
                     {const_cast<std::uint8_t *>(parts.rows), parts.rowsSize}};
  return WriteVector(fd, pieces, 3);
}

// A path's last name and the folder it lies in. False when the path names a folder by its form
// ("dir/", ".", "..").
bool SplitPath(const std::string &path, std::string &folder, std::string &name) {
  const auto slash = path.find_last_of('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name.empty() && name != "." && name != "..";
}

// A name in an open folder: every file operation below works relative to the folder, so that
// no path longer than the one given is ever formed.
struct Place {
  FileDescriptor folder;
  std::string name;
};

// Opens `folder`, relative to `at` when it is relative.
bool OpenFolder(int at, const std::string &folder, FileDescriptor &out) {
  out.Reset(::openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return out.Get() >= 0;
}

// Follows `path` through symbolic links to the name of the file they lead to, which need not
// exist (a dangling link names the file to create). Relative links are resolved from the
// folder of the link, as the system resolves them.
bool ResolveLinks(const std::string &path, Place &place) {
  std::string folder;
  if (!SplitPath(path, folder, place.name) || !OpenFolder(AT_FDCWD, folder, place.folder))
    return false;
  constexpr int MaxLinks = 40; // the system's own limit
  for (int links = 0;; ++links) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(place.folder.Get(), place.name.c_str(), target, sizeof target);
    if (n < 0)
      return errno == EINVAL || errno == ENOENT; // not a link, or nothing there: the end
    if (links == MaxLinks || static_cast<std::size_t>(n) == sizeof target)
      return false;
    const std::string next(target, static_cast<std::size_t>(n));
    if (!SplitPath(next, folder, place.name))
      return false;
    FileDescriptor nextFolder;
    if (!OpenFolder(next[0] == '/' ? AT_FDCWD : place.folder.Get(), folder, nextFolder))
      return false;
    place.folder.Reset(nextFolder.Release());
  }
}

// ".NAME.vantoly-tmp-XXXXXX": says what it is and whose it was, should a killed run leave it.
std::string TemporaryName(const std::string &name) {
  static constexpr char Letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr std::size_t RandomLetters = 6;
  constexpr std::size_t MaxKept = NAME_MAX - (1 + 13 + RandomLetters);
  std::uint8_t random[RandomLetters];
  if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    // Before the system has entropy any spread will do: a taken name costs another attempt.
    static std::uint64_t counter = 0;
    std::uint64_t mix =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
        (static_cast<std::uint64_t>(::getpid()) << 32) + ++counter;
    for (std::uint8_t &r : random) {
      mix *= 0x9E3779B97F4A7C15u;
      r = static_cast<std::uint8_t>(mix >> 56);
    }
  }
  std::string result(1, '.');
  result.append(name, 0, MaxKept).append(".vantoly-tmp-");
  for (std::uint8_t r : random)
    result += Letters[r % (sizeof Letters - 1)];
  return result;
}

constexpr int MaxNameAttempts = 100;

// Names the finished unnamed file `fd` in the place's folder; the name given, or empty. Fails
// where /proc is not mounted.
std::string NameUnnamedFile(int fd, const Place &place) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < MaxNameAttempts; ++attempt) {
    std::string temporary = TemporaryName(place.name);
    if (::linkat(AT_FDCWD, self.c_str(), place.folder.Get(), temporary.c_str(),
                 AT_SYMLINK_FOLLOW) == 0)
      return temporary;
    if (errno != EEXIST)
      break;
  }
  return {};
}

// Writes the file's bytes into `fd`, gives it the mode of the file it replaces and flushes it.
bool FillTemporary(int fd, const struct stat *replaced, const FileContentWriter &write) {
  return write(fd) && (replaced == nullptr || ::fchmod(fd, replaced->st_mode & 07777) == 0) &&
         ::fsync(fd) == 0;
}

// A named temporary file, deleted when the scope ends before Keep (a failure, an exception
// from the writer).
class NamedTemporary {
public:
  NamedTemporary(int folder, std::string name) : m_folder(folder), m_name(std::move(name)) {}
  ~NamedTemporary() {
    if (!m_name.empty())
      ::unlinkat(m_folder, m_name.c_str(), 0);
  }
  NamedTemporary(const NamedTemporary &) = delete;
  NamedTemporary &operator=(const NamedTemporary &) = delete;
  const std::string &Name() const { return m_name; }
  void Keep() { m_name.clear(); }

private:
  int m_folder;
  std::string m_name;
};

// Opens a new file under a temporary name in the place's folder; -1 on failure.
int CreateNamedTemporary(const Place &place, std::string &name) {
  for (int attempt = 0; attempt < MaxNameAttempts; ++attempt) {
    name = TemporaryName(place.name);
    const int fd = ::openat(place.folder.Get(), name.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

// Replaces (or creates) the regular file at `place` atomically. `replaced` is the file there,
// or null when there is none.
bool ReplaceAt(const Place &place, const struct stat *replaced, const FileContentWriter &write) {
  const int folder = place.folder.Get();
  std::string name;
  // An unnamed file vanishes by itself if we die while writing it; it gets a name only once
  // it is complete. Where it cannot be named (no /proc), the bytes go to a named one instead.
  FileDescriptor file(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  bool filled = false;
  if (file.Get() >= 0) {
    if (!FillTemporary(file.Get(), replaced, write))
      return false;
    name = NameUnnamedFile(file.Get(), place);
    filled = !name.empty();
    if (!filled)
      file.Reset(-1);
  }
  if (!filled) {
    file.Reset(CreateNamedTemporary(place, name));
    if (file.Get() < 0)
      return false;
  }
  NamedTemporary temporary(folder, name);
  if (!filled && !FillTemporary(file.Get(), replaced, write))
    return false;
  if (!file.Close() || ::renameat(folder, name.c_str(), folder, place.name.c_str()) != 0)
    return false;
  temporary.Keep();
  return true;
}

// Writes straight into a device, FIFO or socket, which cannot be replaced.
bool WriteInto(const std::string &path, const FileContentWriter &write) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  return file.Get() >= 0 && write(file.Get()) && file.Close();
}

} // namespace

bool ReadBmpFrom(int fd, CDibImage &image, DibRefusal *why) {
  std::uint8_t head[MaxBmpFileHeadSize];
  return ReadBmpStream(fd, head, 0, image, why);
}

bool ReplaceFileAtomically(const std::string &path, const FileContentWriter &write) {
  struct stat target {};
  bool exists = false;
  if (::stat(path.c_str(), &target) == 0) {
    if (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode) || S_ISSOCK(target.st_mode))
      return WriteInto(path, write);
    if (!S_ISREG(target.st_mode))
      return false; // a folder, or a block device
    exists = true;
  } else if (errno != ENOENT) {
    return false;
  }
  Place place;
  if (!ResolveLinks(path, place))
    return false;
  // The name the links led to must be the file found above (or still nothing): the system's
  // own links in /proc can name a file that is not where they say.
  struct stat found {};
  const bool there =
      ::fstatat(place.folder.Get(), place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
  if (there != exists ||
      (exists && (found.st_dev != target.st_dev || found.st_ino != target.st_ino)))
    return false;
  return ReplaceAt(place, exists ? &target : nullptr, write);
}

bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size) {
  return ReplaceFileAtomically(path, [data, size](int fd) {
    return WriteAll(fd, static_cast<const std::uint8_t *>(data), size);
  });
}

FileFormat FormatForName(const std::string &path) {
  const std::string extension = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
  return ::strcasecmp(extension.c_str(), ".png") == 0 ? FileFormat::Png : FileFormat::Bmp;
}

CFileClipboard::CFileClipboard(std::string inputPath, std::string outputPath,
                               std::optional<FileFormat> outputFormat)
    : m_strInputPath(std::move(inputPath)), m_strOutputPath(std::move(outputPath)),
      m_outputFormat(outputFormat.value_or(FormatForName(m_strOutputPath))) {}

bool CFileClipboard::ReadDib(CDibImage &image) {
  if (m_strInputPath == "-")
    return ReadPicture(STDIN_FILENO, image, nullptr);
  FileDescriptor file(::open(m_strInputPath.c_str(), O_RDONLY | O_CLOEXEC));
  return file.Get() >= 0 && ReadPicture(file.Get(), image, nullptr);
}

bool CFileClipboard::WriteDib(const CDibImage &image) {
  BmpFileParts parts;
  if (!DescribeBmpFile(image, parts))
    return false;
  const FileContentWriter write = [&](int fd) {
    return m_outputFormat == FileFormat::Png ? WritePngFile(fd, image) : WriteBmpFile(fd, parts);
  };
  if (m_strOutputPath == "-")
    return write(STDOUT_FILENO);
  return ReplaceFileAtomically(m_strOutputPath, write);
}
