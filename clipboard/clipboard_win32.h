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
  // Replaces every format on the clipboard with one CF_DIB block. On failure the block is
  // freed; when the clipboard could not be opened or emptied it keeps what it held, and when it
  // refuses the block after emptying it is left empty.
  bool WriteDib(const CDibImage &image) override;

private:
  HWND m_hOwner;
};
