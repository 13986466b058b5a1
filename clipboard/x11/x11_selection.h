// The X11 CLIPBOARD selection over a connection of our own: read, served, and offered to a
// clipboard manager, all on the caller's thread.
//
// Nothing here blocks on another program, and nothing here starts a thread. The caller polls
// FileDescriptor() for input, calls Dispatch() when it is readable or when NextDeadline() has
// passed, and Dispatch() takes every queued event and moves each transfer one step. Only the X
// server itself is waited for (an atom's name, a property's value), and it answers at once. A
// Qt program drives this from a socket notifier and a timer; the keeper and the dialog's last
// moments drive it through a poll loop (posix/poll_loop.h), beside other connections.
//
// Reading (x11_read.cpp) asks the owner for TARGETS once, lets the caller choose one target by
// name, and takes its value, whole or in INCR pieces, under one deadline that is checked before
// every step and a cap on the bytes taken. An owner that answers slowly, never, or without end
// thus costs at most the deadline and the cap.
//
// Serving (x11_serve.cpp) owns CLIPBOARD and answers TARGETS, TIMESTAMP, MULTIPLE, image/bmp,
// image/png and ResultMarkerType with the bytes it is handed: the PNG may follow the BMP later
// (SetPng), and a request for it meanwhile waits, unanswered but not lost, while every other
// request is answered. Values larger than one request the server takes go out in INCR pieces of
// that size, to any number of requestors at once; a requestor that goes away mid-transfer is
// dropped, one that stops taking pieces is sent the end after a while. One MULTIPLE request is
// served each value once at most, so that naming the BMP a thousand times costs no more than naming
// it once. Every request that reached us while the selection was ours is answered, also once it is
// lost: it came before the notice of the loss.
//
// Saving (x11_save.cpp) asks the clipboard manager, if there is one, to take a copy.
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

#include "posix/poll_loop.h"

using X11Bytes = std::vector<std::uint8_t>;

// A type of our own served beside the pictures, with an empty value: it tells our result from
// any other copy, also where a compositor's bridge has carried our targets onto the Wayland
// selection, which is where the keeper looks for it. Bridges drop target names without a '/'.
inline constexpr char ResultMarkerType[] = "application/x-vantoly-result";

// Bytes to serve, wherever they live (a vector, a mapped file): `data` keeps them alive, and
// every transfer under way holds a copy of it, so they outlast a new result or a lost selection.
struct X11Value {
  std::shared_ptr<const std::uint8_t> data;
  std::size_t size = 0;
  // Takes the vector over.
  static X11Value Of(X11Bytes bytes);
};

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
  Asked,   // the manager has not answered yet (it may never)
  Saved,   // the manager says it took a copy, which proves nothing until it owns CLIPBOARD
  Refused, // the manager answered without taking one
};

enum class X11Owner {
  None,
  Us,
  // The client that manages the windows (it owns WM_Sn): under a Wayland compositor, its bridge
  // carrying the Wayland selection to X11 clients, not another program's copy.
  WindowManager,
  Other,
};

class CX11Selection : public CPollSource {
public:
  // Picks the target to request from the names offered; an empty name requests nothing.
  using TargetChooser = std::function<std::string(const std::vector<std::string> &offered)>;

  // `display` as in DISPLAY; null or empty for $DISPLAY. IsOpen() tells whether it worked.
  explicit CX11Selection(const char *display);
  ~CX11Selection() override;
  CX11Selection(const CX11Selection &) = delete;
  CX11Selection &operator=(const CX11Selection &) = delete;

  // False once the connection is gone (or never was).
  bool IsOpen() const;
  const std::string &DisplayName() const { return m_display; }
  // The connection's socket, to watch for input.
  int FileDescriptor() const;
  // Handles every event queued, and every deadline that has passed.
  void Dispatch() override;
  // When Dispatch() must run next even without input; none when nothing waits.
  std::optional<Clock::time_point> NextDeadline() const override;
  // The socket while the connection is open.
  int PollDescriptor() const override { return IsOpen() ? FileDescriptor() : -1; }
  // Dispatches until `done` holds, the deadline passes or the connection breaks; `done` is
  // checked after every round. True when `done` held.
  bool RunUntil(const std::function<bool()> &done, Clock::time_point deadline);

  // Reading ------------------------------------------------------------------------------------

  // Starts reading CLIPBOARD; `finished` runs (from Dispatch) once the status is final, but not
  // after CancelRead(). A read already running is cancelled first.
  void StartRead(TargetChooser choose, Clock::duration timeout, std::size_t byteCap,
                 std::function<void()> finished);
  // Ends a running read; its status becomes Cancelled and `finished` is not called.
  void CancelRead();
  X11ReadStatus ReadStatus() const;
  const std::string &ReadTarget() const;
  // The bytes of a Done read, until the next read or ReleaseReadData().
  const std::uint8_t *ReadData() const;
  std::size_t ReadSize() const;
  void ReleaseReadData();

  // Serving ------------------------------------------------------------------------------------

  // Takes CLIPBOARD and serves `bmp` (a BMP file) and `png` (its PNG; none yet: SetPng brings
  // it). The ownership's time is `time`, a server timestamp from an earlier ownership of the
  // same bytes: the server then refuses us when anyone took the selection since. Without one a
  // fresh timestamp is fetched, waiting for the server (not for other programs) until
  // `deadline`. False, with the clipboard as it was, when the server did not give us the
  // selection.
  bool Serve(X11Value bmp, std::optional<X11Value> png, Clock::time_point deadline,
             xcb_timestamp_t time = XCB_CURRENT_TIME);
  // Hands over the PNG of what is served (empty: it could not be made, and is no longer
  // offered), and answers the requests that waited for it.
  void SetPng(X11Value png);
  // True while we own CLIPBOARD.
  bool Serving() const;
  // The BMP we serve, and its PNG once handed over, while Serving().
  const X11Value *ServedBmp() const;
  const X11Value *ServedPng() const;
  // The server's time of our ownership, while Serving().
  xcb_timestamp_t ServedTime() const;
  // From now on, runs `changed` (from Dispatch) with the new owner whenever CLIPBOARD changes
  // hands, whoever gave it up (XFixes). False when the server cannot tell.
  bool WatchOwner(std::function<void(X11Owner)> changed);
  // True while some requestor is still taking an INCR transfer.
  bool Transferring() const { return !m_transfers.empty(); }
  // Gives CLIPBOARD up if it is still ours, then answers every request that reached us before
  // (waiting for the server's word that none more is on its way): a requestor is never left
  // waiting for an owner that has gone. Requests still waiting for the PNG are refused.
  void Relinquish();
  // Ends every INCR transfer under way at once with its empty last piece: a requestor then
  // holds less than it was promised, but is not left waiting for pieces that never come.
  void EndTransfers();

  // Saving -------------------------------------------------------------------------------------

  // Asks the clipboard manager, if one owns CLIPBOARD_MANAGER, to take a copy of what we serve;
  // it asks us for the values while Dispatch() runs. False when there is no manager or nothing
  // is served. The manager has taken the copy once it owns CLIPBOARD (Serving() turns false);
  // its answer alone proves nothing.
  bool AskManagerToSave();
  // Its answer so far, once asked.
  std::optional<X11SaveStatus> ManagerAnswer() const { return m_saveAnswer; }

private:
  struct Read;
  struct Served;
  struct Transfer;
  struct Atoms {
    xcb_atom_t clipboard, targets, timestamp, multiple, incr, atomPair, integer, atom, bmp, png,
        manager, saveTargets, readProperty, stampProperty, saveProperty, marker, windowManager;
  };

  void Handle(const xcb_generic_event_t *event);
  X11Owner OwnerKind(xcb_window_t owner);
  void CheckDeadlines();

  // Reading (x11_read.cpp).
  void FinishRead(X11ReadStatus status);
  void OnReadNotify(const xcb_selection_notify_event_t &notify);
  void OnReadPiece();
  bool TakeProperty(bool first);
  void ChooseTarget();
  void RunReadFinished();

  // Serving (x11_serve.cpp).
  void OnRequest(const xcb_selection_request_event_t &request);
  void OnSelectionClear(const xcb_selection_clear_event_t &clear);
  bool Answer(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property);
  bool AnswerMultiple(xcb_window_t requestor, xcb_atom_t property);
  bool WaitsForPng(const xcb_selection_request_event_t &request);
  bool Put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type, const X11Value &value);
  void OnRequestorProperty(const xcb_property_notify_event_t &event);
  void EndStalledTransfers(Clock::time_point now);
  void DropRequestor(xcb_window_t window);
  void ReleaseServed();

  // Saving (x11_save.cpp).
  void OnSaveNotify(const xcb_selection_notify_event_t &notify);

  std::string m_display;
  xcb_connection_t *m_c = nullptr;
  xcb_window_t m_window = XCB_NONE;
  xcb_window_t m_root = XCB_NONE;
  std::uint32_t m_clientBits = 0; // the bits of a resource's id that tell its client
  std::size_t m_maxPiece = 0;
  Atoms m_atoms{};
  std::optional<xcb_timestamp_t> m_stamp; // the server's time, once a stamp was asked for
  std::unordered_map<xcb_atom_t, std::string> m_atomNames;

  std::unique_ptr<Read> m_pRead;
  // What we serve (kept past a SelectionClear while requests wait for its PNG), and the
  // transfers under way (which keep their bytes past both).
  std::unique_ptr<Served> m_pServed;
  std::vector<Transfer> m_transfers;
  // WatchOwner's handler, and the first event number of XFixes (0: not watched).
  std::function<void(X11Owner)> m_ownerChanged;
  std::uint8_t m_fixesEvent = 0;
  // The window that asked the manager; it goes once the manager has answered.
  xcb_window_t m_saveWindow = XCB_NONE;
  std::optional<X11SaveStatus> m_saveAnswer;
};
