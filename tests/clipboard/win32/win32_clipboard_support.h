// Test helpers around the Windows clipboard: a window to own it, and raw access to its
// CF_DIB and text contents, independent of the code under test.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

// A message-only window: the clipboard keeps data only for an owner window.
class CTestWindow {
public:
  CTestWindow() {
    m_hWnd = CreateWindowExW(0, L"STATIC", L"vantoly test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  }
  ~CTestWindow() {
    if (m_hWnd != nullptr)
      DestroyWindow(m_hWnd);
  }
  CTestWindow(const CTestWindow &) = delete;
  CTestWindow &operator=(const CTestWindow &) = delete;
  HWND Get() const { return m_hWnd; }

private:
  HWND m_hWnd;
};

// Waits up to `milliseconds` while answering this thread's messages. A clipboard owner must
// keep answering: emptying the clipboard sends the owner WM_DESTROYCLIPBOARD and waits for it.
inline void PumpMessages(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end)
      return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

// Opens the clipboard, retrying while another process holds it for a moment.
inline bool OpenClipboardPatiently(HWND owner) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (OpenClipboard(owner))
      return true;
    PumpMessages(20);
  }
  return false;
}

// One format's data, as a program puts it on the clipboard.
struct ClipboardItem {
  UINT format;
  std::vector<std::uint8_t> bytes;
};

// Replaces the clipboard's contents with `items`. False on any failure.
inline bool PutClipboardItems(HWND owner, const std::vector<ClipboardItem> &items) {
  if (!OpenClipboardPatiently(owner))
    return false;
  bool put = EmptyClipboard() != FALSE;
  for (const ClipboardItem &item : items) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, item.bytes.size());
    if (block == nullptr) {
      put = false;
      continue;
    }
    std::memcpy(GlobalLock(block), item.bytes.data(), item.bytes.size());
    GlobalUnlock(block);
    if (SetClipboardData(item.format, block) == nullptr) {
      GlobalFree(block);
      put = false;
    }
  }
  CloseClipboard();
  return put;
}

inline ClipboardItem TextItem(const std::wstring &text) {
  const auto *p = reinterpret_cast<const std::uint8_t *>(text.c_str());
  return {CF_UNICODETEXT, std::vector<std::uint8_t>(p, p + (text.size() + 1) * sizeof(wchar_t))};
}

inline bool PutClipboardDib(HWND owner, const std::vector<std::uint8_t> &block) {
  return PutClipboardItems(owner, {{CF_DIB, block}});
}

inline bool PutClipboardText(HWND owner, const std::wstring &text) {
  return PutClipboardItems(owner, {TextItem(text)});
}

// The block of `format` on the clipboard (GlobalSize bytes), or nothing.
inline std::optional<std::vector<std::uint8_t>> GetClipboardBytes(HWND owner, UINT format) {
  if (!OpenClipboardPatiently(owner))
    return std::nullopt;
  std::optional<std::vector<std::uint8_t>> bytes;
  if (HANDLE block = GetClipboardData(format); block != nullptr) {
    if (const auto *p = static_cast<const std::uint8_t *>(GlobalLock(block)); p != nullptr) {
      bytes.emplace(p, p + GlobalSize(block));
      GlobalUnlock(block);
    }
  }
  CloseClipboard();
  return bytes;
}

inline std::optional<std::wstring> GetClipboardText(HWND owner) {
  auto bytes = GetClipboardBytes(owner, CF_UNICODETEXT);
  if (!bytes)
    return std::nullopt;
  std::wstring text(reinterpret_cast<const wchar_t *>(bytes->data()),
                    bytes->size() / sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  return text;
}
