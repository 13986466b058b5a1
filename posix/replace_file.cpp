// Replacing a file atomically: following its links, keeping its owner, mode and attributes,
// and a temporary beside it that replaces it only once complete.
#include "posix/file_io.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "posix/named_temporary.h"

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
IoResult OpenFolder(int at, const std::string &folder, FileDescriptor &out) {
  const int fd = ::openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const IoResult opened = IoResult::Check(fd >= 0);
  out.Reset(fd);
  return opened;
}

// Follows `path` through symbolic links to the name of the file they lead to, which need not
// exist (a dangling link names the file to create). Relative links are resolved from the
// folder of the link, as the system resolves them.
IoResult ResolveLinks(const std::string &path, Place &place) {
  std::string folder;
  if (!SplitPath(path, folder, place.name))
    return IoResult::Failed(EISDIR);
  if (const IoResult opened = OpenFolder(AT_FDCWD, folder, place.folder); !opened)
    return opened;
  constexpr int MaxLinks = 40; // the system's own limit
  for (int links = 0;; ++links) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(place.folder.Get(), place.name.c_str(), target, sizeof target);
    if (n < 0) // not a link, or nothing there: the end
      return errno == EINVAL || errno == ENOENT ? IoResult() : IoResult::Failed(errno);
    if (links == MaxLinks)
      return IoResult::Failed(ELOOP);
    if (static_cast<std::size_t>(n) == sizeof target)
      return IoResult::Failed(ENAMETOOLONG);
    const std::string next(target, static_cast<std::size_t>(n));
    if (!SplitPath(next, folder, place.name))
      return IoResult::Failed(EISDIR);
    FileDescriptor nextFolder;
    if (const IoResult opened =
            OpenFolder(next[0] == '/' ? AT_FDCWD : place.folder.Get(), folder, nextFolder);
        !opened)
      return opened;
    place.folder.Reset(nextFolder.Release());
  }
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
IoResult KeepMetadata(int fd, const Place &place, const struct stat &replaced) {
  mode_t mode = replaced.st_mode & 07777;
  struct stat made {};
  if (::fstat(fd, &made) != 0)
    return IoResult::Failed(errno);
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
    return IoResult::Failed(errno);
  // The mode before the ACL: setting the ACL sets the group bits to its mask.
  if (::fchmod(fd, mode) != 0)
    return IoResult::Failed(errno);
  return IoResult::Check(!hasAcl || ::fsetxattr(fd, AclAttribute, acl.data(), acl.size(), 0) == 0);
}

// Writes the file's bytes into `fd`, gives it what the file it replaces had and flushes it.
IoResult FillTemporary(int fd, const Place &place, const struct stat *replaced,
                       const FileContentWriter &write) {
  if (const IoResult written = write(fd); !written)
    return written;
  if (replaced != nullptr)
    if (const IoResult kept = KeepMetadata(fd, place, *replaced); !kept)
      return kept;
  return IoResult::Check(::fsync(fd) == 0);
}

// Whether the system would refuse the rename: an append-only or immutable folder takes a new
// name but gives none up, so that a temporary once named could neither replace the file nor
// be removed again; an append-only or immutable file may not be replaced. Asked before the
// temporary has a name. Where the flags cannot be read (a folder that may not be listed, a
// file system without them) the rename has the last word.
IoResult Replaceable(const Place &place, bool exists) {
  const auto fixed = [](int fd) {
    int flags = 0;
    return fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
  };
  const FileDescriptor folder(
      ::openat(place.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const FileDescriptor file(
      exists ? ::openat(place.folder.Get(), place.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
             : -1);
  return fixed(folder.Get()) || fixed(file.Get()) ? IoResult::Failed(EPERM) : IoResult();
}

// Replaces (or creates) the regular file at `place` atomically. `replaced` is the file there,
// or null when there is none.
IoResult ReplaceAt(const Place &place, const struct stat *replaced,
                   const FileContentWriter &write) {
  if (const IoResult replaceable = Replaceable(place, replaced != nullptr); !replaceable)
    return replaceable;
  NamedTemporary temporary(place.folder.Get());
  // An unnamed file vanishes by itself if we die while writing it; it gets a name only once
  // it is complete. Where it cannot be named (no /proc), the bytes go to a named one instead.
  FileDescriptor file(::openat(place.folder.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (file.Get() >= 0) {
    if (const IoResult filled = FillTemporary(file.Get(), place, replaced, write); !filled)
      return filled;
    if (!temporary.NameUnnamed(file.Get(), place.name))
      file.Reset(-1);
  }
  if (file.Get() < 0) {
    const int fd = temporary.Create(place.name);
    if (fd < 0)
      return IoResult::Failed(errno);
    file.Reset(fd);
    if (const IoResult filled = FillTemporary(fd, place, replaced, write); !filled)
      return filled;
  }
  if (const IoResult closed = file.Close(); !closed)
    return closed;
  return temporary.RenameTo(place.name);
}

// Writes straight into a device, FIFO or socket, which cannot be replaced.
IoResult WriteInto(const std::string &path, const FileContentWriter &write) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0)
    return IoResult::Failed(errno);
  if (const IoResult written = write(file.Get()); !written)
    return written;
  return file.Close();
}

} // namespace

IoResult ReplaceFileAtomically(const std::string &path, const FileContentWriter &write) {
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
      if (S_ISDIR(target.st_mode))
        return IoResult::Failed(EISDIR);
      if (!S_ISREG(target.st_mode))
        return IoResult::Failed(ENOTSUP); // a block device
      exists = true;
    } else if (errno != ENOENT) {
      return IoResult::Failed(errno);
    }
    Place place;
    if (const IoResult resolved = ResolveLinks(path, place); !resolved)
      return resolved;
    struct stat found {};
    const bool there =
        ::fstatat(place.folder.Get(), place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (there == exists &&
        (!exists || (found.st_dev == target.st_dev && found.st_ino == target.st_ino)))
      return ReplaceAt(place, exists ? &found : nullptr, write);
    if (lookup == MaxLookups)
      return IoResult::Failed(EAGAIN);
  }
}

IoResult ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size) {
  return ReplaceFileAtomically(path, [data, size](int fd) {
    return WriteAll(fd, static_cast<const std::uint8_t *>(data), size);
  });
}
