// What the parts of the X11 selection (connection, reading, serving, saving) share, and no one
// else sees.
#pragma once

#include <cstdlib>
#include <memory>

#include "clipboard/x11/x11_selection.h"

namespace x11 {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
// A reply or an event from xcb, which the caller frees.
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

inline std::uint8_t EventType(const xcb_generic_event_t *event) {
  return event->response_type & 0x7f;
}

// Whether server time `a` is not before `b`. The server's clock is 32 bits of milliseconds and
// wraps every 49.7 days, so times are compared by their distance, as the server itself does.
inline bool NotBefore(xcb_timestamp_t a, xcb_timestamp_t b) {
  return static_cast<std::int32_t>(a - b) >= 0;
}

// No owner offers more than a few dozen targets; a longer list is refused rather than spending
// the deadline on naming it. The same bound holds a MULTIPLE request's list of pairs.
inline constexpr std::size_t MaxTargets = 4096;
// A requestor that takes no INCR piece for this long has gone away without a word.
inline constexpr auto StalledTransfer = std::chrono::seconds(10);

} // namespace x11

// The read under way, and its answer (x11_read.cpp).
struct CX11Selection::Read {
  enum class Step { None, Targets, TargetsIncr, Data, DataIncr };
  struct Block;

  Read();
  ~Read();

  Step step = Step::None;
  X11ReadStatus status = X11ReadStatus::Idle;
  TargetChooser choose;
  Clock::time_point deadline;
  std::size_t byteCap = 0;
  std::function<void()> finished;
  bool finishedPending = false; // `finished` runs once this round of dispatching is over
  xcb_atom_t requested = XCB_NONE;
  std::string target;
  std::unique_ptr<Block> block;
};

struct CX11Selection::Served {
  X11Value bmp;
  std::optional<X11Value> png; // none while it is on its way; empty when it cannot be made
  xcb_timestamp_t time = XCB_CURRENT_TIME;
  bool owned = true;
  // Requests that need the PNG (image/png, MULTIPLE), answered once it is handed over.
  std::vector<xcb_selection_request_event_t> waiting;
};

struct CX11Selection::Transfer {
  xcb_window_t requestor;
  xcb_atom_t property;
  xcb_atom_t type;
  X11Value value;
  std::size_t offset = 0;
  bool ended = false; // the empty piece is out; the transfer is over once it is taken
  Clock::time_point lastStep;
};
