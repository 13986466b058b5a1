// Waiting on several descriptors at once, each with its own deadlines: the loop a program runs
// where no toolkit runs one (the keeper; the dialog's last moments, after its window has gone).
// Any number of connections may take part, each behind the same small interface.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <vector>

class CPollSource {
public:
  using Clock = std::chrono::steady_clock;
  virtual ~CPollSource() = default;
  // The descriptor to watch for input; -1 while there is none (a connection that broke, a pipe
  // read to its end), so that a descriptor that stays readable never spins the loop.
  virtual int PollDescriptor() const = 0;
  // Appends what to wait for: by default PollDescriptor() for input. A source with several
  // descriptors, or one that waits until it may write, appends them all here instead.
  virtual void AppendPollFds(std::vector<pollfd> &fds) const {
    if (const int fd = PollDescriptor(); fd >= 0)
      fds.push_back({fd, POLLIN, 0});
  }
  // Handles whatever has arrived and whatever deadline has passed. Runs every round, input or
  // not, so it must never block: its descriptor is read without waiting.
  virtual void Dispatch() = 0;
  // When Dispatch must run next even without input; none when nothing waits.
  virtual std::optional<Clock::time_point> NextDeadline() const { return std::nullopt; }
};

// Rounds of: every source's Dispatch, then `done` (true ends the loop), then a wait for input
// on any source or for the earliest deadline. False when `deadline` passed first, or when
// waiting failed for another reason than a signal.
bool RunPollLoop(std::initializer_list<CPollSource *> sources, const std::function<bool()> &done,
                 CPollSource::Clock::time_point deadline);
