// Handing a result over to vantoly-keeper, which serves it on once the dialog has ended: both
// sides of the hand-off.
//
// The dialog starts the keeper (posix/spawn.h) as
//     vantoly-keeper DISPLAY TIME     from X11 (XWayland included)
//     vantoly-keeper --wayland        from native Wayland
// where DISPLAY is the display's name (empty for $DISPLAY) and TIME, in decimal, the server time
// at which the dialog took CLIPBOARD for this result. Both forms also offer the result on the
// Wayland selection of $WAYLAND_DISPLAY where the compositor has a data-control protocol, but
// only while that selection carries ResultMarkerType (x11_selection.h): the dialog's result,
// not a newer copy. Its standard input is a memory file:
//     bytes 0-7    n, the size of the BMP file (unsigned, little-endian)
//     bytes 8-15   m, the size of the PNG file, 0 when there is none
//     bytes 16-    the BMP file's n bytes, then the PNG file's m bytes, and nothing after them
// which the keeper maps rather than read, so the bytes are not copied again. Once it knows, it
// answers on its standard output with one byte and closes it:
//     KeeperOwns      it owns CLIPBOARD, taken at TIME, so the ownership passes from the dialog
//                     to it with no moment between; with --wayland, its offer is the Wayland
//                     selection, in place of the dialog's
//     KeeperNotOurs   somebody copied since (the server refused TIME; with --wayland, the
//                     Wayland selection is another's): nothing is kept
//     KeeperCannot    with --wayland: the compositor gives no program the means to keep it (no
//                     data-control protocol), nor is there any other display to keep it on
// No byte at all means it failed. Its standard error is the dialog's.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "clipboard/x11/x11_selection.h"

inline constexpr char KeeperOwns = '1';
inline constexpr char KeeperNotOurs = '0';
inline constexpr char KeeperCannot = '-';
inline constexpr char KeeperWaylandOption[] = "--wayland";

enum class KeeperAnswer { Waiting, Owns, NotOurs, Cannot, Failed };

// The dialog's side: a keeper started, and its answer awaited in a poll loop.
class CKeeperStart : public CPollSource {
public:
  CKeeperStart() = default;
  ~CKeeperStart() override;
  CKeeperStart(const CKeeperStart &) = delete;
  CKeeperStart &operator=(const CKeeperStart &) = delete;

  // Starts the keeper at `path` with the result (an empty `png`: none), from X11. False when it
  // could not be started; Answer() is then Failed.
  bool Start(const std::string &path, const std::string &display, xcb_timestamp_t time,
             const X11Value &bmp, const X11Value &png);
  // The same from native Wayland.
  bool StartWayland(const std::string &path, const X11Value &bmp, const X11Value &png);
  KeeperAnswer Answer() const { return m_answer; }

  int PollDescriptor() const override { return m_confirm; }
  // Takes the answer once it is there.
  void Dispatch() override;

private:
  bool Launch(const std::string &path, const std::vector<std::string> &arguments,
              const X11Value &bmp, const X11Value &png);
  void Finish(KeeperAnswer answer);

  int m_confirm = -1; // the answer's pipe, read end, until the answer is in
  pid_t m_pid = -1;
  KeeperAnswer m_answer = KeeperAnswer::Waiting;
};

// The keeper's side: the result handed over on descriptor `fd`, mapped. False when the input is
// not laid out as above, or a file does not start as a BMP or PNG file must.
bool MapHandedResult(int fd, X11Value &bmp, X11Value &png);
