#include "posix/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "posix/file_io.h"

extern char **environ;

namespace {

// The attributes and file actions of one spawn, released on every path.
struct SpawnSettings {
  SpawnSettings() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings &) = delete;
  SpawnSettings &operator=(const SpawnSettings &) = delete;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

// Descriptors of our own, closed on every path.
struct OwnDescriptors {
  OwnDescriptors() = default;
  ~OwnDescriptors() {
    for (const int fd : fds)
      close(fd);
  }
  OwnDescriptors(const OwnDescriptors &) = delete;
  OwnDescriptors &operator=(const OwnDescriptors &) = delete;
  std::vector<int> fds;
};

} // namespace

bool SpawnDetached(const std::string &path, const std::vector<std::string> &arguments,
                   std::initializer_list<int> descriptors, pid_t &pid) {
  const int count = static_cast<int>(descriptors.size());
  // A descriptor below `count` could be overwritten by an earlier dup2 before its own, or be
  // its own target and keep its close-on-exec flag: such ones are moved above `count` first.
  OwnDescriptors moved;
  std::vector<int> sources;
  for (const int fd : descriptors) {
    if (fd >= 0 && fd < count) {
      const int copy = fcntl(fd, F_DUPFD_CLOEXEC, count);
      if (copy < 0)
        return false;
      moved.fds.push_back(copy);
      sources.push_back(copy);
    } else {
      sources.push_back(fd);
    }
  }
  SpawnSettings settings;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int error = posix_spawnattr_setflags(
      &settings.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  error = error != 0 ? error : posix_spawnattr_setsigmask(&settings.attributes, &none);
  error = error != 0 ? error : posix_spawnattr_setsigdefault(&settings.attributes, &all);
  for (int i = 0; error == 0 && i < count; ++i)
    error = sources[static_cast<std::size_t>(i)] >= 0
                ? posix_spawn_file_actions_adddup2(&settings.actions,
                                                   sources[static_cast<std::size_t>(i)], i)
                : posix_spawn_file_actions_addclose(&settings.actions, i);
  error = error != 0 ? error : posix_spawn_file_actions_addclosefrom_np(&settings.actions, count);
  error = error != 0 ? error : posix_spawn_file_actions_addchdir_np(&settings.actions, "/");
  if (error == 0) {
    std::string program = path;
    std::vector<std::string> copies = arguments;
    std::vector<char *> argv{program.data()};
    for (std::string &argument : copies)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    error = posix_spawn(&pid, path.c_str(), &settings.actions, &settings.attributes, argv.data(),
                        environ);
  }
  errno = error;
  return error == 0;
}

int MemoryFileOf(std::initializer_list<std::span<const std::uint8_t>> parts, const char *name) {
  FileDescriptor file(memfd_create(name, MFD_CLOEXEC));
  if (file.Get() < 0)
    return -1;
  for (const std::span<const std::uint8_t> part : parts)
    if (!WriteAll(file.Get(), part.data(), part.size()))
      return -1;
  if (lseek(file.Get(), 0, SEEK_SET) != 0)
    return -1;
  return file.Release();
}
