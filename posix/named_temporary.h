// The temporary file that replaces a file once complete, while it has a name in the file's
// folder: made under a name that says what it is, renamed over the file, or removed again on
// every other path out, a terminating signal included (RemoveTemporaryOnTermination).
#pragma once

#include <string>

#include "posix/file_io.h"

class NamedTemporary {
public:
  // In the folder open as `folder`, which outlives the temporary.
  explicit NamedTemporary(int folder) : m_folder(folder) {}
  // A temporary still named is removed.
  ~NamedTemporary();
  NamedTemporary(const NamedTemporary &) = delete;
  NamedTemporary &operator=(const NamedTemporary &) = delete;

  // Opens a new file under a temporary name for `name`: its descriptor, or -1 with errno set.
  int Create(const std::string &name);
  // Gives the finished unnamed (O_TMPFILE) file `fd` a temporary name for `name`, through
  // /proc; false where that fails.
  bool NameUnnamed(int fd, const std::string &name);
  // Renames the temporary over `name`, which is then no longer the temporary's.
  IoResult RenameTo(const std::string &name);

private:
  // Every call that gives the temporary its name or takes it away is bracketed by these, so
  // that a signal handler always knows whether there is a name to remove.
  void BeginNaming(const std::string &temporary);
  void BeginUnnaming();
  void EndChange(bool named);

  int m_folder;
  std::string m_name; // empty while there is none
  bool m_tracked = false;
};
