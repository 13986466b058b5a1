// vantoly-keeper: keeps a result on the X11 clipboard after the dialog has ended, as long as
// no other program takes the clipboard.
//
// Started by the dialog with the result's BMP file on standard input and the display's name as
// its argument (empty for $DISPLAY). It takes CLIPBOARD, writes one byte to standard output to
// say so, and serves image/bmp and image/png (made when first asked for) until another program
// takes the clipboard or the X server goes away. It holds no lock and writes no files; its
// memory is about the size of the result.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "codec/bmp_file.h"
#include "codec/picture.h"
#include "clipboard/x11/x11_selection.h"

namespace {

// The whole of standard input; false on a read error.
bool ReadInput(X11Bytes &bytes) {
  // A memory file tells its size, so the bytes are held once, not grown into.
  struct stat input {};
  if (fstat(0, &input) == 0 && S_ISREG(input.st_mode) && input.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(input.st_size));
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t count = read(0, buffer, sizeof buffer);
    if (count == 0)
      return true;
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}

X11Bytes MakePng(const X11Bytes &bmp) { return PngFromBmpFile(bmp.data(), bmp.size()); }

} // namespace

int main(int argc, char **argv) {
  // The dialog may be gone before our byte arrives; that is no reason to die.
  signal(SIGPIPE, SIG_IGN);
  try {
    X11Bytes bmp;
    CDibImage check;
    // Only a result that decodes is worth keeping.
    if (!ReadInput(bmp) || !ReadBmpFile(bmp.data(), bmp.size(), check)) {
      std::fputs("vantoly-keeper: no picture on standard input\n", stderr);
      return 1;
    }
    check.Release();
    CX11Selection selection(argc > 1 ? argv[1] : nullptr);
    if (!selection.IsOpen()) {
      std::fputs("vantoly-keeper: cannot open the display\n", stderr);
      return 1;
    }
    if (!selection.Serve(std::move(bmp), MakePng,
                         CX11Selection::Clock::now() + std::chrono::seconds(5))) {
      std::fputs("vantoly-keeper: could not take the clipboard\n", stderr);
      return 1;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(1, &byte, 1);
    close(1);
    // Until the clipboard is someone else's and every transfer begun has ended, or the X server
    // has gone.
    selection.RunUntil([&selection] { return !selection.Serving() && !selection.Transferring(); },
                       CX11Selection::Clock::time_point::max());
  } catch (const std::bad_alloc &) {
    std::fputs("vantoly-keeper: out of memory\n", stderr);
    return 1;
  }
  return 0;
}
