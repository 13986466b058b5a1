#include "clipboard/win32/clipboard_win32.h"

#include <cstdint>

#include "codec/packed_dib.h"

namespace {

// Clipboard viewers and managers open the clipboard for a moment whenever it changes, so a
// failed open is tried again a few times before it counts: about a quarter of a second.
constexpr int OpenAttempts = 10;
constexpr DWORD OpenRetryDelay = 25; // milliseconds

bool OpenClipboardSoon(HWND owner) {
  for (int attempt = 1;; ++attempt) {
    if (OpenClipboard(owner))
      return true;
    if (attempt == OpenAttempts)
      return false;
    Sleep(OpenRetryDelay);
  }
}

// The clipboard stays open only for the life of one of these, whatever path leaves the scope.
class OpenedClipboard {
public:
  explicit OpenedClipboard(HWND owner) : m_bOpen(OpenClipboardSoon(owner)) {}
  ~OpenedClipboard() {
    if (m_bOpen)
      CloseClipboard();
  }
  OpenedClipboard(const OpenedClipboard &) = delete;
  OpenedClipboard &operator=(const OpenedClipboard &) = delete;
  bool IsOpen() const { return m_bOpen; }

private:
  bool m_bOpen;
};

// A locked global memory block, unlocked again on every path.
class LockedBlock {
public:
  explicit LockedBlock(HGLOBAL block) : m_hBlock(block), m_pData(GlobalLock(block)) {}
  ~LockedBlock() {
    if (m_pData != nullptr)
      GlobalUnlock(m_hBlock);
  }
  LockedBlock(const LockedBlock &) = delete;
  LockedBlock &operator=(const LockedBlock &) = delete;
  std::uint8_t *Data() const { return static_cast<std::uint8_t *>(m_pData); }

private:
  HGLOBAL m_hBlock;
  void *m_pData;
};

// A movable block holding `image` as a packed bitmap, or null. The caller owns it.
HGLOBAL NewPackedDibBlock(const CDibImage &image) {
  const std::size_t size = PackedDibSize(image);
  if (size == 0)
    return nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (block == nullptr)
    return nullptr;
  {
    LockedBlock locked(block);
    if (locked.Data() != nullptr) {
      WritePackedDib(image, locked.Data());
      return block;
    }
  }
  GlobalFree(block);
  return nullptr;
}

} // namespace

bool CWin32Clipboard::ReadDib(CDibImage &image) {
  OpenedClipboard clipboard(m_hOwner);
  if (!clipboard.IsOpen())
    return false;
  // The clipboard owns this block: it is only read, never freed.
  HANDLE block = GetClipboardData(CF_DIB);
  if (block == nullptr)
    return false;
  LockedBlock locked(block);
  if (locked.Data() == nullptr)
    return false;
  return ReadPackedDib(locked.Data(), GlobalSize(block), image);
}

bool CWin32Clipboard::WriteDib(const CDibImage &image) { return Write(image, nullptr); }

bool CWin32Clipboard::WriteDibInPlaceOf(const CDibImage &image, const CDibImage &previous) {
  return Write(image, &previous);
}

bool CWin32Clipboard::Write(const CDibImage &image, const CDibImage *previous) {
  // Everything that can fail without harm comes before EmptyClipboard.
  HGLOBAL block = NewPackedDibBlock(image);
  if (block == nullptr)
    return false;
  OpenedClipboard clipboard(m_hOwner);
  if (!clipboard.IsOpen() || !EmptyClipboard()) {
    GlobalFree(block);
    return false;
  }
  // From here on the block belongs to the clipboard, unless it refuses it.
  if (SetClipboardData(CF_DIB, block) != nullptr)
    return true;
  GlobalFree(block);
  // The clipboard is empty now. The picture it held is rebuilt from the request's source only
  // in this rare case, so no copy of the input is kept for it.
  if (previous != nullptr) {
    HGLOBAL restored = NewPackedDibBlock(*previous);
    if (restored != nullptr && SetClipboardData(CF_DIB, restored) == nullptr)
      GlobalFree(restored);
  }
  return false;
}
