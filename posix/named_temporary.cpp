#include "posix/named_temporary.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

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

// The named temporary as a signal handler sees it: its folder and name, and where it stands.
// While a call gives it its name or takes it away, the state is Busy, and a signal that comes
// then is left to the thread making the call (Signalled + the signal), which acts on it once
// the call has returned and the name's fate is known. Ending: the handler ends the program.
// One temporary at a time is looked after; a second, made meanwhile, is not.
enum TemporaryState : int { NoName, Busy, Named, Ending, Signalled };
std::atomic<int> g_state{NoName};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
int g_folder = -1;
char g_name[NAME_MAX + 1];

// The signal's default action: from a handler it comes once the handler returns.
void EndWithDefault(int signal) {
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Outside a handler: the end has been decided on another thread, and is a moment away.
[[noreturn]] void AwaitTheEnd() {
  for (;;)
    ::pause();
}

void OnTerminatingSignal(int signal) {
  const int error = errno;
  int state = g_state.load();
  for (bool decided = false; !decided;) {
    switch (state) {
    case NoName:
    case Named:
      if (g_state.compare_exchange_weak(state, Ending)) {
        if (state == Named)
          ::unlinkat(g_folder, g_name, 0);
        EndWithDefault(signal);
        decided = true;
      }
      break;
    case Busy: decided = g_state.compare_exchange_weak(state, Signalled + signal); break;
    default: decided = true; // the end is on its way
    }
  }
  errno = error;
}

} // namespace

void NamedTemporary::BeginNaming(const std::string &temporary) {
  int state = NoName;
  m_tracked = g_state.compare_exchange_strong(state, Busy);
  if (m_tracked) {
    g_folder = m_folder;
    g_name[temporary.copy(g_name, NAME_MAX)] = '\0';
  } else if (state == Ending) {
    AwaitTheEnd();
  }
}

void NamedTemporary::BeginUnnaming() {
  int state = Named;
  if (m_tracked && !g_state.compare_exchange_strong(state, Busy))
    AwaitTheEnd(); // a handler is removing it
}

void NamedTemporary::EndChange(bool named) {
  int state = Busy;
  if (!m_tracked || g_state.compare_exchange_strong(state, named ? Named : NoName)) {
    m_tracked = m_tracked && named;
    return;
  }
  // A terminating signal came during the call: the run ends of it now, without the name.
  if (named)
    ::unlinkat(g_folder, g_name, 0);
  const int signal = state - Signalled;
  EndWithDefault(signal);
  ::_exit(128 + signal);
}

NamedTemporary::~NamedTemporary() {
  if (m_name.empty())
    return;
  BeginUnnaming();
  ::unlinkat(m_folder, m_name.c_str(), 0);
  EndChange(false);
}

int NamedTemporary::Create(const std::string &name) {
  for (int attempt = 0; attempt < MaxNameAttempts; ++attempt) {
    std::string temporary = TemporaryName(name);
    BeginNaming(temporary);
    const int fd = ::openat(m_folder, temporary.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int error = errno;
    EndChange(fd >= 0);
    if (fd >= 0) {
      m_name = std::move(temporary);
      return fd;
    }
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

bool NamedTemporary::NameUnnamed(int fd, const std::string &name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < MaxNameAttempts; ++attempt) {
    std::string temporary = TemporaryName(name);
    BeginNaming(temporary);
    const bool linked =
        ::linkat(AT_FDCWD, self.c_str(), m_folder, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
    const int error = errno;
    EndChange(linked);
    if (linked) {
      m_name = std::move(temporary);
      return true;
    }
    if (error != EEXIST)
      return false;
  }
  return false;
}

IoResult NamedTemporary::RenameTo(const std::string &name) {
  BeginUnnaming();
  const IoResult renamed =
      IoResult::Check(::renameat(m_folder, m_name.c_str(), m_folder, name.c_str()) == 0);
  EndChange(!renamed);
  if (renamed)
    m_name.clear();
  return renamed;
}

void RemoveTemporaryOnTermination() {
  constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  // Calls that another thread makes meanwhile go on as if nothing had happened.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : Signals)
    sigaddset(&action.sa_mask, signal);
  for (const int signal : Signals) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      ::sigaction(signal, &action, nullptr);
  }
}
