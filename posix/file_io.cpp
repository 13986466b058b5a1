#include "posix/file_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

std::ptrdiff_t ReadSome(int fd, std::uint8_t *buffer, std::size_t size) {
  // One call moves at most about 2 GB; keep each well inside that.
  constexpr std::size_t MaxChunk = std::size_t{1} << 30;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, std::min(size, MaxChunk));
    if (n >= 0 || errno != EINTR)
      return n < 0 ? -1 : static_cast<std::ptrdiff_t>(n);
  }
}

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

bool CBufferedWriter::Put(const std::uint8_t *data, std::size_t size) {
  if (m_used + size > sizeof m_buffer && !Flush())
    return false;
  if (size >= sizeof m_buffer)
    return WriteAll(m_fd, data, size);
  std::memcpy(m_buffer + m_used, data, size);
  m_used += size;
  return true;
}

bool CBufferedWriter::Flush() {
  const bool written = WriteAll(m_fd, m_buffer, m_used);
  m_used = 0;
  return written;
}

namespace {

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

constexpr char AclAttribute[] = "system.posix_acl_access";

// The extended attributes of the file at `place` (its ACL among them), read through a
// descriptor where the file can be opened, else through its /proc path.
class AttributeReader {
public:
  explicit AttributeReader(const Place &place)
      : m_file(::openat(place.folder.Get(), place.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)),
        m_path("/proc/self/fd/" + std::to_string(place.folder.Get()) + "/" + place.name) {}

  // The attributes' names; false when they cannot be read.
  bool Names(std::vector<std::string> &names) const {
    std::vector<char> list;
    for (;;) {
      const ssize_t size = List(nullptr, 0);
      if (size < 0)
        return Unsupported();
      list.resize(static_cast<std::size_t>(size));
      const ssize_t got = List(list.data(), list.size());
      if (got >= 0) {
        list.resize(static_cast<std::size_t>(got));
        break;
      }
      if (errno != ERANGE) // ERANGE: the list grew meanwhile
        return false;
    }
    names.clear();
    for (std::size_t at = 0; at < list.size(); at += names.back().size() + 1)
      names.emplace_back(list.data() + at);
    return true;
  }
  bool Value(const std::string &name, std::vector<char> &value) const {
    for (;;) {
      const ssize_t size = Get(name, nullptr, 0);
      if (size < 0)
        return false;
      value.resize(static_cast<std::size_t>(size));
      const ssize_t got = Get(name, value.data(), value.size());
      if (got >= 0) {
        value.resize(static_cast<std::size_t>(got));
        return true;
      }
      if (errno != ERANGE)
        return false;
    }
  }

private:
  ssize_t List(char *list, std::size_t size) const {
    return m_file.Get() >= 0 ? ::flistxattr(m_file.Get(), list, size)
                             : ::llistxattr(m_path.c_str(), list, size);
  }
  ssize_t Get(const std::string &name, char *value, std::size_t size) const {
    return m_file.Get() >= 0 ? ::fgetxattr(m_file.Get(), name.c_str(), value, size)
                             : ::lgetxattr(m_path.c_str(), name.c_str(), value, size);
  }
  // A file system without extended attributes has none to keep.
  static bool Unsupported() { return errno == ENOTSUP; }

  FileDescriptor m_file;
  std::string m_path;
};

// Gives the new file `fd` what the replaced one had, as `cp -a` and `sed -i` keep it: owner
// and group where this process may set them, the mode, the ACL and the other extended
// attributes. Access never ends wider than before: where the owner cannot be kept,
// set-user-ID goes (and set-group-ID where the group cannot); an ACL inherited from the
// folder goes when the replaced file had none; and a replacement whose ACL cannot be kept
// fails, since its group bits would otherwise grant what the ACL's mask held back.
bool KeepMetadata(int fd, const Place &place, const struct stat &replaced) {
  mode_t mode = replaced.st_mode & 07777;
  struct stat made {};
  if (::fstat(fd, &made) != 0)
    return false;
  if (made.st_uid != replaced.st_uid || made.st_gid != replaced.st_gid) {
    if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
      mode &= ~static_cast<mode_t>(S_ISUID);
      if (made.st_gid != replaced.st_gid &&
          ::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0)
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
  }
  const AttributeReader original(place);
  std::vector<std::string> names;
  if (!original.Names(names))
    names.clear(); // unreadable: the mode alone, as before there were attributes
  std::vector<char> acl;
  bool hasAcl = false;
  for (const std::string &name : names) {
    std::vector<char> value;
    if (!original.Value(name, value))
      continue;
    if (name == AclAttribute) {
      acl = std::move(value);
      hasAcl = true;
    } else {
      // Others as far as we may set them (security labels need privileges).
      static_cast<void>(::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0));
    }
  }
  if (!hasAcl && ::fremovexattr(fd, AclAttribute) != 0 && errno != ENODATA && errno != ENOTSUP)
    return false;
  // The mode before the ACL: setting the ACL sets the group bits to its mask.
  return ::fchmod(fd, mode) == 0 &&
         (!hasAcl || ::fsetxattr(fd, AclAttribute, acl.data(), acl.size(), 0) == 0);
}

// Writes the file's bytes into `fd`, gives it what the file it replaces had and flushes it.
bool FillTemporary(int fd, const Place &place, const struct stat *replaced,
                   const FileContentWriter &write) {
  return write(fd) && (replaced == nullptr || KeepMetadata(fd, place, *replaced)) &&
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
    if (!FillTemporary(file.Get(), place, replaced, write))
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
  if (!filled && !FillTemporary(file.Get(), place, replaced, write))
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

bool ReplaceFileAtomically(const std::string &path, const FileContentWriter &write) {
  // The name is looked up twice, by the system and by following its links here, and the two
  // must agree: the system's own links in /proc can name a file that is not where they say.
  // Another process may rename a file over the name between the two looks, which is no error
  // (the last writer wins, as with mv): the lookup is then made again.
  constexpr int MaxLookups = 5;
  for (int lookup = 1;; ++lookup) {
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
    struct stat found {};
    const bool there =
        ::fstatat(place.folder.Get(), place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (there == exists &&
        (!exists || (found.st_dev == target.st_dev && found.st_ino == target.st_ino)))
      return ReplaceAt(place, exists ? &found : nullptr, write);
    if (lookup == MaxLookups)
      return false;
  }
}

bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size) {
  return ReplaceFileAtomically(path, [data, size](int fd) {
    return WriteAll(fd, static_cast<const std::uint8_t *>(data), size);
  });
}
