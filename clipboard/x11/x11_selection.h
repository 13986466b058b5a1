// The X11 CLIPBOARD selection over a connection of our own: read, served, and handed to a
// clipboard manager, all on the caller's thread.
//
// Nothing here blocks on another program. The caller polls FileDescriptor() for input, calls
// Dispatch() when it is readable or when NextDeadline() has passed, and Dispatch() takes every
// queued event and moves each transfer one step. Only the X server itself is waited for (an
// atom's name, a property's value), and it answers at once. A Qt program drives this from a
// socket notifier and a timer; the keeper and the exit step drive it through RunUntil().
//
// Reading asks the owner for TARGETS once, lets the caller choose one target by name, and takes
// its value, whole or in INCR pieces, under one deadline that is checked before every step and
// a cap on the bytes taken. An owner that answers slowly, never, or without end thus costs at
// most the deadline and the cap.
//
// Serving owns CLIPBOARD with a server timestamp and answers TARGETS, TIMESTAMP, MULTIPLE,
// image/bmp and image/png (made through the caller's maker on a thread of its own as soon as
// serving begins, where there is a second core; else on the first request). Values
// larger than one request the server takes go out in INCR pieces of that size, to any number of
// requestors at once; a requestor that goes away mid-transfer is dropped.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

using X11Bytes = std::vector<std::uint8_t>;

enum class X11ReadStatus {
  Idle, // no read started
  Running,
  Done,      // ReadData() holds the owner's answer for ReadTarget()
  NoOwner,   // nobody owns the clipboard, or the owner refused a request
  NoPicture, // the chooser found nothing among the targets offered
  TooLarge,  // the answer passed the byte cap (or the TARGETS list its own)
  TimedOut,  // the owner did not finish within the deadline
  Cancelled, // CancelRead() was called
  Failed,    // the connection broke, or there was no memory for the data
};

enum class X11SaveStatus {
  NoManager, // nobody owns CLIPBOARD_MANAGER, or we do not own CLIPBOARD
  Saved,     // the manager took a copy
  Refused,   // the manager answered without taking one
  TimedOut,  // the manager did not answer in time
};

class CX11Selection {
public:
  using Clock = std::chrono::steady_clock;
  // Picks the target to request from the names offered; an empty name requests nothing.
  using TargetChooser = std::function<std::string(const std::vector<std::string> &offered)>;
  // The PNG for a BMP file; empty when it cannot be made. It runs on a thread of its own, so it
  // may use nothing but its argument.
  using PngMaker = std::function<X11Bytes(const X11Bytes &bmp)>;

  // `display` as in DISPLAY; null or empty for $DISPLAY. IsOpen() tells whether it worked.
  explicit CX11Selection(const char *display);
  ~CX11Selection();
  CX11Selection(const CX11Selection &) = delete;
  CX11Selection &operator=(const CX11Selection &) = delete;

  // False once the connection is gone (or never was).
  bool IsOpen() const;
  const std::string &DisplayName() const { return m_display; }
  // The connection's socket, to watch for input.
  int FileDescriptor() const;
  // Handles every event queued, and every deadline that has passed.
  void Dispatch();
  // When Dispatch() must run next even without input; none when nothing waits.
  std::optional<Clock::time_point> NextDeadline() const;
  // Dispatches until `done` holds, the deadline passes or the connection breaks; `done` is
  // checked after every round. True when `done` held.
  bool RunUntil(const std::function<bool()> &done, Clock::time_point deadline);

  // Starts reading CLIPBOARD; `finished` runs (from Dispatch) once the status is final, but not
  // after CancelRead(). A read already running is cancelled first.
  void StartRead(TargetChooser choose, Clock::duration timeout, std::size_t byteCap,
                 std::function<void()> finished);
  // Ends a running read; its status becomes Cancelled and `finished` is not called.
  void CancelRead();
  X11ReadStatus ReadStatus() const { return m_readStatus; }
  const std::string &ReadTarget() const { return m_readTarget; }
  // The bytes of a Done read, until the next read or ReleaseReadData().
  const std::uint8_t *ReadData() const;
  std::size_t ReadSize() const;
  void ReleaseReadData();

  // Takes CLIPBOARD and serves `bmp` (a BMP file) and the PNG `makePng` makes from it. Waits
  // for the server (not for other programs) until `deadline`. False, with the clipboard as it
  // was, when the server did not give us the selection.
  bool Serve(X11Bytes bmp, PngMaker makePng, Clock::time_point deadline);
  // True while we own CLIPBOARD.
  bool Serving() const { return m_pServed != nullptr; }
  // The BMP we serve, while Serving().
  const X11Bytes *ServedBmp() const;
  // True while some requestor is still taking an INCR transfer.
  bool Transferring() const { return !m_transfers.empty(); }
  // Runs when another program takes CLIPBOARD from us.
  void SetLostHandler(std::function<void()> lost) { m_lost = std::move(lost); }

  // Asks the clipboard manager, if there is one, to take a copy of what we serve, and waits
  // (serving meanwhile) until it says it has, or until `deadline`.
  X11SaveStatus SaveToManager(Clock::time_point deadline);

private:
  struct Served;
  struct Transfer;
  enum class ReadStep { None, Targets, TargetsIncr, Data, DataIncr };

  xcb_atom_t Intern(const char *name);
  void Handle(const xcb_generic_event_t *event);
  void CheckDeadlines();

  // Reading.
  void FinishRead(X11ReadStatus status);
  void OnReadNotify(const xcb_selection_notify_event_t &notify);
  void OnReadPiece();
  bool TakeProperty(bool first);
  void ChooseTarget();

  // Serving.
  void OnRequest(const xcb_selection_request_event_t &request);
  bool Answer(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property);
  bool AnswerMultiple(xcb_window_t requestor, xcb_atom_t property);
  bool Put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
           std::shared_ptr<const X11Bytes> data);
  void OnRequestorProperty(const xcb_property_notify_event_t &event);
  void DropRequestor(xcb_window_t window);
  std::shared_ptr<const X11Bytes> Png();

  std::string m_display;
  xcb_connection_t *m_c = nullptr;
  xcb_window_t m_window = XCB_NONE;
  std::size_t m_maxPiece = 0;
  struct Atoms {
    xcb_atom_t clipboard, targets, timestamp, multiple, incr, atomPair, integer, atom, bmp, png,
        manager, saveTargets, readProperty, stampProperty, saveProperty;
  } m_atoms{};

  // The read in progress.
  ReadStep m_readStep = ReadStep::None;
  X11ReadStatus m_readStatus = X11ReadStatus::Idle;
  TargetChooser m_choose;
  Clock::time_point m_readDeadline;
  std::size_t m_byteCap = 0;
  std::function<void()> m_finished;
  bool m_readFinishedPending = false;
  xcb_atom_t m_requested = XCB_NONE;
  std::string m_readTarget;
  struct Block;
  std::unique_ptr<Block> m_pBlock;
  std::unordered_map<xcb_atom_t, std::string> m_atomNames;

  // What we serve, and the transfers under way (which keep their data past a SelectionClear).
  std::unique_ptr<Served> m_pServed;
  std::vector<Transfer> m_transfers;
  std::function<void()> m_lost;
  std::optional<xcb_timestamp_t> m_stamp;
  std::optional<X11SaveStatus> m_saveAnswer;
};

// Starts the keeper program at `path` (it takes the display's name as its one argument), hands
// it `bmp` through a memory file on its standard input, and waits until `deadline` for the one
// byte it writes on its standard output once it owns the clipboard. Never forks this process:
// the keeper is a fresh program. True when the keeper confirmed.
bool StartKeeper(const std::string &path, const std::string &display, const X11Bytes &bmp,
                 CX11Selection::Clock::time_point deadline);
