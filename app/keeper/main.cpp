// vantoly-keeper: keeps the dialog's result on the X11 clipboard after the dialog has ended,
// until another program takes the clipboard.
//
// The dialog starts it as soon as it ends with its result on the clipboard, and hands it the
// result's BMP and PNG files (clipboard/x11/x11_keeper.h tells how). It takes CLIPBOARD with the
// time the dialog took it, so it never takes the clipboard from a program that copied since,
// says so, and then serves image/bmp and image/png as they came: it decodes and encodes
// nothing. Once it serves, it asks the desktop's clipboard manager, if one runs, to take a
// copy. A manager has taken one only once it owns CLIPBOARD, whatever it answered, so the
// keeper ends when the clipboard is someone else's (the manager's, or that of any program that
// copied) and every transfer it began is over, or when the X server goes. It holds no lock,
// writes no files and runs no thread; its memory is the result's two files, shared with the
// dialog until the dialog ends.
//
// Everything it serves on is a poll source, so that another connection (another window
// system's clipboard) can join the one loop.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>

#include "clipboard/x11/x11_keeper.h"
#include "clipboard/x11/x11_selection.h"
#include "posix/poll_loop.h"

namespace {

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

} // namespace

int main(int argc, char **argv) {
  // The dialog may be gone before our byte arrives; that is no reason to die.
  signal(SIGPIPE, SIG_IGN);
  try {
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    if (argc > 3 || !ParseTime(argc > 2 ? argv[2] : nullptr, time))
      return Fail("usage: vantoly-keeper [DISPLAY [TIME]] <RESULT");
    X11Value bmp, png;
    if (!MapHandedResult(STDIN_FILENO, bmp, png))
      return Fail("no result on standard input");
    close(STDIN_FILENO);
    CX11Selection selection(argc > 1 ? argv[1] : nullptr);
    if (!selection.IsOpen())
      return Fail("cannot open the display");
    if (!selection.Serve(std::move(bmp), std::move(png),
                         CX11Selection::Clock::now() + std::chrono::seconds(5), time)) {
      if (!selection.IsOpen() || time == XCB_CURRENT_TIME)
        return Fail("could not take the clipboard");
      // Somebody copied after the dialog took the clipboard: theirs is the newer copy.
      Answer(KeeperNotOurs);
      return 0;
    }
    Answer(KeeperOwns);
    selection.AskManagerToSave();
    RunPollLoop(
        {&selection},
        [&selection] {
          return !selection.IsOpen() || (!selection.Serving() && !selection.Transferring());
        },
        CX11Selection::Clock::time_point::max());
  } catch (const std::bad_alloc &) {
    return Fail("out of memory");
  }
  return 0;
}
