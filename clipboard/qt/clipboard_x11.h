// Reading the X11 CLIPBOARD selection over a connection and a thread of our own.
//
// Qt's X11 clipboard waits for the owner inside the GUI thread, five seconds per request, and
// asks again for every image type it knows: an owner that never answers froze the dialog for
// over a minute. This read asks the owner for its TARGETS once, requests the one target the
// caller chooses from them, and takes the answer (whole, or in INCR pieces), all under one
// deadline, on a thread of its own so the caller's thread keeps painting and taking keys.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class X11ReadStatus {
  Running,
  Done,      // Data() holds the owner's answer for Target()
  NoDisplay, // the display could not be opened
  NoOwner,   // nobody owns the clipboard, or the owner refused a request
  NoPicture, // the chooser found nothing among the targets offered
  TimedOut,  // the owner did not finish within the deadline
  Cancelled, // Cancel() was called
  Failed,    // the connection broke, or there was no memory for the data
};

class CX11SelectionRead {
public:
  // Picks the target to request from the names offered; an empty name requests nothing.
  // Called on the reading thread.
  using TargetChooser = std::function<std::string(const std::vector<std::string> &offered)>;

  // `display` as in DISPLAY; the whole read, connection included, ends within `timeout`.
  CX11SelectionRead(std::string display, TargetChooser choose, std::chrono::milliseconds timeout);
  // Cancels a read still running and waits for its thread.
  ~CX11SelectionRead();
  CX11SelectionRead(const CX11SelectionRead &) = delete;
  CX11SelectionRead &operator=(const CX11SelectionRead &) = delete;

  // Starts reading; `finished` runs on the reading thread once the status is final.
  void Start(std::function<void()> finished);
  // Ends a running read as soon as possible (from any thread); its status becomes Cancelled.
  void Cancel();
  // Waits for the reading thread. Status, target and data are final afterwards.
  void Join();

  X11ReadStatus Status() const;
  const std::string &Target() const { return m_target; }
  const std::uint8_t *Data() const { return m_data; }
  std::size_t Size() const { return m_size; }

private:
  void Run();
  X11ReadStatus Read();

  std::string m_display;
  TargetChooser m_choose;
  std::chrono::steady_clock::time_point m_deadline;
  std::chrono::milliseconds m_timeout;
  int m_cancelFd = -1; // an eventfd the reading thread polls beside the connection
  std::thread m_thread;
  mutable std::mutex m_mutex;
  X11ReadStatus m_status = X11ReadStatus::Running;
  std::function<void()> m_finished;
  // The answer: m_data points into what m_keep holds (an xcb reply, or the block the INCR
  // pieces were gathered in).
  std::shared_ptr<void> m_keep;
  const std::uint8_t *m_data = nullptr;
  std::size_t m_size = 0;
  std::string m_target;
};
