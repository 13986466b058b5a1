// Handing a result over to vantoly-keeper, which serves it on once the dialog has ended: both
// sides of the hand-off.
//
// The dialog starts the keeper (posix/spawn.h) as
//     vantoly-keeper DISPLAY TIME
// where DISPLAY is the display's name (empty for $DISPLAY) and TIME, in decimal, the server time
// at which the dialog took CLIPBOARD for this result. Its standard input is a memory file:
//     bytes 0-7    n, the size of the BMP file (unsigned, little-endian)
//     bytes 8-15   m, the size of the PNG file, 0 when there is none
//     bytes 16-    the BMP file's n bytes, then the PNG file's m bytes, and nothing after them
// which the keeper maps rather than reads, so the bytes are not copied again. Once it knows, it
// answers on its standard output with one byte and closes it: KeeperOwns when it owns CLIPBOARD
// (taken at TIME, the ownership passes from the dialog to it with no moment between), or
// KeeperNotOurs when somebody copied since (the server refused TIME; nothing is kept). No byte
// at all means it failed. Its standard error is the dialog's.
#pragma once

#include <sys/types.h>

#include <string>

#include "clipboard/x11/x11_selection.h"

inline constexpr char KeeperOwns = '1';
inline constexpr char KeeperNotOurs = '0';

enum class KeeperAnswer { Waiting, Owns, NotOurs, Failed };

// The dialog's side: a keeper started, and its answer awaited in a poll loop.
class CKeeperStart : public CPollSource {
public:
  CKeeperStart() = default;
  ~CKeeperStart() override;
  CKeeperStart(const CKeeperStart &) = delete;
  CKeeperStart &operator=(const CKeeperStart &) = delete;

  // Starts the keeper at `path` with the result (an empty `png`: none). False when it could not
  // be started; Answer() is then Failed.
  bool Start(const std::string &path, const std::string &display, xcb_timestamp_t time,
             const X11Value &bmp, const X11Value &png);
  KeeperAnswer Answer() const { return m_answer; }

  int PollDescriptor() const override { return m_confirm; }
  // Takes the answer once it is there.
  void Dispatch() override;

private:
  void Finish(KeeperAnswer answer);

  int m_confirm = -1; // the answer's pipe, read end, until the answer is in
  pid_t m_pid = -1;
  KeeperAnswer m_answer = KeeperAnswer::Waiting;
};

// The keeper's side: the result handed over on descriptor `fd`, mapped. False when the input is
// not laid out as above, or a file does not start as a BMP or PNG file must.
bool MapHandedResult(int fd, X11Value &bmp, X11Value &png);
