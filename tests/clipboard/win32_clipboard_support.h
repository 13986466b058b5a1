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

// Replaces the clipboard's contents with one block of `format`. False on any failure.
inline bool PutClipboardBytes(HWND owner, UINT format, const void *data, std::size_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (block == nullptr)
    return false;
  void *p = GlobalLock(block);
  std::memcpy(p, data, size);
  GlobalUnlock(block);
  if (!OpenClipboardPatiently(owner)) {
    GlobalFree(block);
    return false;
  }
  EmptyClipboard();
  const bool put = SetClipboardData(format, block) != nullptr;
  if (!put)
    GlobalFree(block);
  CloseClipboard();
  return put;
}

inline bool PutClipboardDib(HWND owner, const std::vector<std::uint8_t> &block) {
  return PutClipboardBytes(owner, CF_DIB, block.data(), block.size());
}

inline bool PutClipboardText(HWND owner, const std::wstring &text) {
  return PutClipboardBytes(owner, CF_UNICODETEXT, text.c_str(),
                           (text.size() + 1) * sizeof(wchar_t));
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

// Every format on the clipboard, in the clipboard's order.
inline std::vector<UINT> ClipboardFormats(HWND owner) {
  std::vector<UINT> formats;
  if (!OpenClipboardPatiently(owner))
    return formats;
  for (UINT format = EnumClipboardFormats(0); format != 0; format = EnumClipboardFormats(format))
    formats.push_back(format);
  CloseClipboard();
  return formats;
}
