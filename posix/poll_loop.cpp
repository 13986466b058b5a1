#include "posix/poll_loop.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

bool RunPollLoop(std::initializer_list<CPollSource *> sources, const std::function<bool()> &done,
                 CPollSource::Clock::time_point deadline) {
  std::vector<pollfd> watched;
  watched.reserve(sources.size());
  for (;;) {
    for (CPollSource *source : sources)
      source->Dispatch();
    if (done())
      return true;
    const auto now = CPollSource::Clock::now();
    if (now >= deadline)
      return false;
    auto wake = deadline;
    watched.clear();
    for (const CPollSource *source : sources) {
      if (const auto next = source->NextDeadline())
        wake = std::min(wake, *next);
      source->AppendPollFds(watched);
    }
    // Rounded up, so that a deadline a fraction of a millisecond away is not polled for again
    // and again with a timeout of 0.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    const int timeout = wake == CPollSource::Clock::time_point::max()
                            ? -1
                            : static_cast<int>(std::clamp<decltype(left)>(
                                  left, 0, std::numeric_limits<int>::max()));
    if (poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR)
      return false;
  }
}
