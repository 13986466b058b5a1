// The clipboard as the Convert command sees it: a source of one bitmap and a sink that
// replaces the clipboard's contents with one. Each platform provides one (the Windows
// clipboard, the Qt clipboard, a BMP file); all of them decode and encode through the
// packed-bitmap codec, so every front end applies the same checks.
#pragma once

#include <functional>

#include "bitmap/dib_image.h"

class CClipboard {
public:
  virtual ~CClipboard() = default;
  // Opens the clipboard, decodes its bitmap into the freshly constructed `image` and closes it
  // again on every path. False when it cannot be opened, holds no bitmap, or the bitmap is
  // refused.
  virtual bool ReadDib(CDibImage &image) = 0;
  // Replaces the clipboard's contents with `image`. False when it could not; the contents are
  // then as they were.
  virtual bool WriteDib(const CDibImage &image) = 0;
  // WriteDib within a request that read `previous` from this clipboard. A clipboard that must
  // drop its contents before it can take new ones puts `previous` back when the new picture is
  // refused after all, so the user never ends up with an empty clipboard. The others replace
  // their contents only on success, so they just write.
  virtual bool WriteDibInPlaceOf(const CDibImage &image, const CDibImage &previous) {
    static_cast<void>(previous);
    return WriteDib(image);
  }
  // A clipboard whose picture comes from another program, which may take its time or never
  // answer, fetches the bytes ahead of ReadDib while the caller's event loop runs: `fetched`
  // runs once they are in, or the fetch has failed (ReadDib then returns false). False when
  // there is nothing to wait for, and ReadDib may be called at once.
  virtual bool BeginFetch(std::function<void()> fetched) {
    static_cast<void>(fetched);
    return false;
  }
  // Gives up a fetch under way, leaving the clipboard as it was; its `fetched` does not run.
  virtual void CancelFetch() {}
  // Whether ReadDib may run on a thread of its own while the image it fills is converted and
  // written (bitmap/row_progress.h), and WriteDib take an image whose rows are still coming:
  // it then writes them as they become final and replaces its contents only once the image is
  // complete. A window system's clipboard belongs to the thread that talks to it, so one says
  // yes only when the bytes are already in hand and ReadDib need not talk to it.
  virtual bool ReadsWhileConverting() const { return false; }
};

// Reads the clipboard's bitmap into `image` and selects it into the image's context.
bool ReadClipboardDib(CClipboard &clipboard, CDibImage &image);
// Puts `image` on the clipboard in place of everything it held. False for an image without a
// section, or when the clipboard did not take it. `previous`, when given, is the picture the
// request read from the clipboard (see CClipboard::WriteDibInPlaceOf).
bool WriteClipboardDib(CClipboard &clipboard, const CDibImage &image,
                       const CDibImage *previous = nullptr);
