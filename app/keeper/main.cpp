// vantoly-keeper: keeps the dialog's result on the clipboard after the dialog has ended, until
// another program takes the clipboard.
//
// The dialog starts it as soon as it ends with its result on the clipboard, and hands it the
// result's BMP and PNG files (clipboard/x11/x11_keeper.h tells how). From X11 it takes CLIPBOARD
// with the time the dialog took it, so it never takes the clipboard from a program that copied
// since, says so, and then serves image/bmp and image/png as they came: it decodes and encodes
// nothing. Once it serves, it asks the desktop's clipboard manager, if one runs, to take a
// copy. A manager has taken one only once it owns CLIPBOARD, whatever it answered.
//
// Under a Wayland compositor with a data-control protocol (clipboard/wayland/) it also offers
// the result on the Wayland selection, for Wayland programs: the compositor's bridge between
// the two clipboards carries the X11 one only while an X11 window has the focus, and keeps
// nothing once we are gone. From a native Wayland dialog it does that alone: there is no X11
// time to take the clipboard with, and the compositor's bridge carries the Wayland selection
// to X11 programs itself.
//
// It ends when both clipboards are someone else's and every transfer it began is over, or when
// the displays go. Losing the X11 clipboard to the compositor's window manager is no end: that is
// its bridge serving our Wayland offer to X11 programs. Another program's copy on either side
// ends both, so that what the user copied last is what the clipboard holds, as far as each side
// can see it. It holds no lock, writes no files and runs no thread; its memory is the result's
// two files, shared with the dialog until the dialog ends.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "clipboard/wayland/wayland_selection.h"
#include "clipboard/x11/x11_keeper.h"
#include "clipboard/x11/x11_selection.h"
#include "posix/poll_loop.h"

namespace {

using Clock = CPollSource::Clock;
using namespace std::chrono_literals;

// How long the compositor may take to say what is on the Wayland selection (the dialog waits
// meanwhile). One that takes longer is left out.
constexpr auto WaylandConnectTimeout = 500ms;
// After taking the X11 clipboard: how long a compositor's bridge may take to carry it onto the
// Wayland selection. An offer made before the bridge is done can be replaced by the bridge's
// late copy of our own X11 clipboard, which, once the compositor's window manager takes the X11
// clipboard to serve our offer there, leaves neither side with anything (sway). Bridges take
// 1 to 100 ms, or nothing happens at all.
constexpr auto BridgeSettleTimeout = 300ms;
// How long the dialog may take to end once it has handed the result over: it lets transfers
// under way finish for a second.
constexpr auto DialogEndTimeout = 1500ms;
constexpr auto OfferTimeout = 1s;

int Fail(const char *why) {
  std::fprintf(stderr, "vantoly-keeper: %s\n", why);
  return 1;
}

// The server time in `text`, decimal; 0 (the server's current time) when absent.
bool ParseTime(const char *text, xcb_timestamp_t &time) {
  time = XCB_CURRENT_TIME;
  if (text == nullptr)
    return true;
  const char *end = text + std::strlen(text);
  const auto [at, error] = std::from_chars(text, end, time);
  return error == std::errc() && at == end;
}

void Answer(char byte) {
  [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, &byte, 1);
  close(STDOUT_FILENO);
}

// The dialog's result (or ours, bridged back), rather than another program's copy.
bool CarriesResult(const std::vector<std::string> &types) {
  return std::find(types.begin(), types.end(), ResultMarkerType) != types.end();
}

// The dialog that started us: readable once it has ended. A compositor that serves a Wayland
// offer to X11 programs only while an X11 window is active takes the X11 clipboard from us
// when we offer while the dialog's window is still up (KWin), and gives it to no one once the
// window has gone; so we offer once the dialog is gone.
class CDialogEnd : public CPollSource {
public:
  // Only the parent we had from the start: once it has ended, ours is another process.
  CDialogEnd() {
    // Through syscall(): Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.
    if (const pid_t parent = getppid(); parent > 1)
      m_fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
  }
  ~CDialogEnd() override {
    if (m_fd >= 0)
      close(m_fd);
  }
  CDialogEnd(const CDialogEnd &) = delete;
  CDialogEnd &operator=(const CDialogEnd &) = delete;

  bool Ended() const { return m_ended; }
  int PollDescriptor() const override { return m_ended ? -1 : m_fd; }
  void Dispatch() override {
    pollfd ended{m_fd, POLLIN, 0};
    if (m_fd < 0 || poll(&ended, 1, 0) != 0)
      m_ended = true;
  }

private:
  int m_fd = -1;
  bool m_ended = false;
};

// PNG first: Wayland programs take the first picture type offered, and most of them read PNG.
std::vector<WaylandOffer> WaylandOffers(const X11Value &bmp, const X11Value &png) {
  std::vector<WaylandOffer> offers;
  if (png.size > 0)
    offers.push_back({"image/png", png.data, png.size});
  offers.push_back({"image/bmp", bmp.data, bmp.size});
  offers.push_back({ResultMarkerType, nullptr, 0});
  return offers;
}

// From a native Wayland dialog: the Wayland selection alone.
int KeepOnWayland(const X11Value &bmp, const X11Value &png) {
  CWaylandSelection wayland(nullptr, Clock::now() + WaylandConnectTimeout);
  if (wayland.Status() == WaylandStatus::Broken)
    return Fail("the Wayland connection failed");
  if (!wayland.IsReady()) {
    // Nothing to do it with: the compositor keeps what it keeps (mutter, a PNG).
    Answer(KeeperCannot);
    return 0;
  }
  if (!CarriesResult(wayland.SelectionTypes()) ||
      !wayland.Offer(WaylandOffers(bmp, png), Clock::now() + OfferTimeout)) {
    if (!wayland.IsReady())
      return Fail("the Wayland connection failed");
    Answer(KeeperNotOurs);
    return 0;
  }
  Answer(KeeperOwns);
  // Under XWayland another X11 program's copy ends ours too, though the bridge may not carry
  // it over (sway's carries nothing while no X11 window has the focus). Only watched: the X11
  // clipboard is the compositor's to serve.
  CX11Selection x11(nullptr);
  if (std::getenv("DISPLAY") != nullptr)
    x11.WatchOwner([&wayland](X11Owner owner) {
      if (owner == X11Owner::Other)
        wayland.Withdraw();
    });
  RunPollLoop(
      {&x11, &wayland}, [&wayland] { return !wayland.Offering() && !wayland.Transferring(); },
      Clock::time_point::max());
  return 0;
}

// From an X11 dialog: the X11 clipboard, and the Wayland selection where there is one.
int KeepOnX11(const char *display, xcb_timestamp_t time, const X11Value &bmp, const X11Value &png) {
  CDialogEnd dialog;
  // Looked at before the X11 clipboard is taken, so that what the compositor's bridge does with
  // ours is seen. Only the dialog's result there is replaced.
  CWaylandSelection wayland(nullptr, Clock::now() + WaylandConnectTimeout);
  const bool onWayland = wayland.IsReady() && CarriesResult(wayland.SelectionTypes());
  bool bridged = false;
  wayland.SetSelectionHandler([&bridged] { bridged = true; });

  CX11Selection x11(display);
  if (!x11.IsOpen())
    return Fail("cannot open the display");
  if (!x11.Serve(bmp, png, Clock::now() + 5s, time)) {
    if (!x11.IsOpen() || time == XCB_CURRENT_TIME)
      return Fail("could not take the clipboard");
    // Somebody copied after the dialog took the clipboard: theirs is the newer copy.
    Answer(KeeperNotOurs);
    return 0;
  }
  Answer(KeeperOwns);

  if (onWayland) {
    const Clock::time_point taken = Clock::now();
    RunPollLoop(
        {&x11, &wayland}, [&] { return bridged || !wayland.IsReady(); },
        taken + BridgeSettleTimeout);
    RunPollLoop(
        {&x11, &wayland, &dialog}, [&] { return dialog.Ended() || !wayland.IsReady(); },
        taken + DialogEndTimeout);
    // A copy made meanwhile by a Wayland program stays.
    const std::vector<std::string> &types = wayland.SelectionTypes();
    if (types.empty() || CarriesResult(types))
      wayland.Offer(WaylandOffers(bmp, png), Clock::now() + OfferTimeout);
  }
  x11.AskManagerToSave();

  wayland.SetSelectionHandler(nullptr);
  // Another program's copy on either side ends the other side too. The compositor's window
  // manager taking the X11 clipboard to serve our Wayland offer there is no such copy, nor is
  // the compositor's copy of our own X11 clipboard on the Wayland side (it carries the marker),
  // nor a compositor that went away.
  if (wayland.Offering())
    x11.WatchOwner([&wayland](X11Owner owner) {
      if (owner == X11Owner::Other)
        wayland.Withdraw();
    });
  wayland.SetLostHandler([&] {
    if (wayland.IsReady() && !CarriesResult(wayland.SelectionTypes()))
      x11.Relinquish();
  });
  RunPollLoop(
      {&x11, &wayland},
      [&] {
        return !x11.Serving() && !wayland.Offering() && !x11.Transferring() &&
               !wayland.Transferring();
      },
      Clock::time_point::max());
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  // The dialog may be gone before our byte arrives, and a Wayland requestor before its bytes
  // do; neither is a reason to die.
  signal(SIGPIPE, SIG_IGN);
  try {
    const bool waylandOnly = argc == 2 && std::strcmp(argv[1], KeeperWaylandOption) == 0;
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    if (argc > 3 || (!waylandOnly && !ParseTime(argc > 2 ? argv[2] : nullptr, time)))
      return Fail("usage: vantoly-keeper [DISPLAY [TIME] | --wayland] <RESULT");
    X11Value bmp, png;
    if (!MapHandedResult(STDIN_FILENO, bmp, png))
      return Fail("no result on standard input");
    close(STDIN_FILENO);
    return waylandOnly ? KeepOnWayland(bmp, png)
                       : KeepOnX11(argc > 1 ? argv[1] : nullptr, time, bmp, png);
  } catch (const std::bad_alloc &) {
    return Fail("out of memory");
  }
}
