// The Windows clipboard's packed bitmap (CF_DIB), opened for one owner window at a time.
#pragma once

#include <windows.h>

#include "clipboard/clipboard.h"

class CWin32Clipboard : public CClipboard {
public:
  // `owner` opens the clipboard and becomes its owner after a write. It must be a window:
  // with none, Windows drops the data a write hands over.
  explicit CWin32Clipboard(HWND owner) : m_hOwner(owner) {}

  // The CF_DIB block, checked against its real length (GlobalSize), so a short or malformed
  // block is refused instead of being read past its end.
  bool ReadDib(CDibImage &image) override;
  // Replaces every format on the clipboard with one CF_DIB block. The block is made and filled
  // before the clipboard is touched; on failure it is freed, and when the clipboard could not
  // be opened or emptied it keeps what it held.
  bool WriteDib(const CDibImage &image) override;
  // Windows can refuse the block only after the clipboard has been emptied: `previous` then
  // goes back on it, packed as a result is, so the user keeps the picture.
  bool WriteDibInPlaceOf(const CDibImage &image, const CDibImage &previous) override;

private:
  bool Write(const CDibImage &image, const CDibImage *previous);

  HWND m_hOwner;
};
