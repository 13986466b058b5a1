// vantoly.exe started as its own process and driven through its windows: what the end-to-end
// tests share.
#pragma once

#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "clipboard/win32/win32_clipboard_support.h"
#include "res/resource.h"

inline constexpr DWORD Timeout = 15000;

inline std::wstring Wide(const char *utf8) {
  std::wstring text(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), static_cast<int>(text.size()));
  text.resize(text.size() - 1);
  return text;
}

// The folder this test program lives in; vantoly.exe is built beside it.
inline std::wstring OwnFolder() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

inline bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A folder named in the environment; a host path (/...) is reached through Wine's Z: drive.
inline std::optional<std::wstring> FolderFromEnvironment(const wchar_t *name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
  if (length == 0 || length >= ARRAYSIZE(value))
    return std::nullopt;
  std::wstring folder(value, length);
  if (folder[0] == L'/')
    folder = L"Z:" + folder;
  for (wchar_t &c : folder)
    if (c == L'/')
      c = L'\\';
  if (folder.back() != L'\\')
    folder += L'\\';
  return folder;
}

inline std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring &path) {
  FILE *file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr)
    return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(file);
  return bytes;
}

inline bool WaitUntil(const std::function<bool()> &condition, DWORD timeout = Timeout) {
  const ULONGLONG end = GetTickCount64() + timeout;
  for (;;) {
    if (condition())
      return true;
    if (GetTickCount64() > end)
      return false;
    PumpMessages(20);
  }
}

inline std::wstring WindowText(HWND window) {
  wchar_t text[1024];
  const int length = GetWindowTextW(window, text, ARRAYSIZE(text));
  return std::wstring(text, length > 0 ? length : 0);
}

inline std::wstring ClassName(HWND window) {
  wchar_t name[256];
  const int length = GetClassNameW(window, name, ARRAYSIZE(name));
  return std::wstring(name, length > 0 ? length : 0);
}

// The visible top-level dialogs of a process.
inline std::vector<HWND> DialogsOf(DWORD processId) {
  struct Search {
    DWORD processId;
    std::vector<HWND> found;
  } search{processId, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto *s = reinterpret_cast<Search *>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->processId && IsWindowVisible(window) && ClassName(window) == L"#32770")
          s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The dialog of `processId` owned by `owner` with caption `caption`, or null.
inline HWND FindOwnedDialog(DWORD processId, HWND owner, const std::wstring &caption) {
  for (HWND window : DialogsOf(processId))
    if (GetWindow(window, GW_OWNER) == owner && WindowText(window) == caption)
      return window;
  return nullptr;
}

// The texts of a window's static controls, in child order.
inline std::vector<std::wstring> StaticTexts(HWND parent) {
  std::vector<std::wstring> texts;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM param) -> BOOL {
        if (_wcsicmp(ClassName(child).c_str(), L"Static") == 0)
          reinterpret_cast<std::vector<std::wstring> *>(param)->push_back(WindowText(child));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  return texts;
}

inline bool Contains(const std::vector<std::wstring> &texts, const std::wstring &text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Runs vantoly.exe; ends it (Esc, then by force) when the test has not.
class CVantolyProcess {
public:
  CVantolyProcess() = default;
  ~CVantolyProcess() { Stop(); }
  CVantolyProcess(const CVantolyProcess &) = delete;
  CVantolyProcess &operator=(const CVantolyProcess &) = delete;

  bool Start() {
    const std::wstring exe = OwnFolder() + L"vantoly.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &m_process))
      return false;
    m_bStarted = true;
    return true;
  }

  // Waits until the main dialog is idle, visible and has its controls, and returns it.
  HWND WaitForDialog() {
    WaitForInputIdle(m_process.hProcess, Timeout);
    HWND dialog = nullptr;
    WaitUntil([&] {
      for (HWND window : DialogsOf(m_process.dwProcessId))
        if (WindowText(window) == Wide(AppTitle) && GetDlgItem(window, IDC_MODE) != nullptr &&
            SendMessageW(GetDlgItem(window, IDC_MODE), CB_GETCOUNT, 0, 0) == ConversionModeCount)
          dialog = window;
      return dialog != nullptr;
    });
    return dialog;
  }

  bool WaitForExit(DWORD timeout = Timeout) {
    return WaitForSingleObject(m_process.hProcess, timeout) == WAIT_OBJECT_0;
  }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process.hProcess, &code);
    return code;
  }
  DWORD Id() const { return m_process.dwProcessId; }
  DWORD ThreadId() const { return m_process.dwThreadId; }

  void Stop() {
    if (!m_bStarted)
      return;
    if (!WaitForExit(0)) {
      for (HWND window : DialogsOf(m_process.dwProcessId))
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
      if (!WaitForExit(5000))
        TerminateProcess(m_process.hProcess, 1);
      WaitForExit();
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
    m_bStarted = false;
  }

private:
  PROCESS_INFORMATION m_process{};
  bool m_bStarted = false;
};

class VantolyProgram : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(m_program.Start()) << "cannot start vantoly.exe beside the test";
    m_hDialog = m_program.WaitForDialog();
    ASSERT_NE(m_hDialog, nullptr) << "the main dialog did not appear";
  }

  HWND Item(int id) const { return GetDlgItem(m_hDialog, id); }

  void SelectMode(int mode) {
    SendMessageW(Item(IDC_MODE), CB_SETCURSEL, static_cast<WPARAM>(mode), 0);
  }

  // Presses Convert and returns when the command has finished.
  void PressConvert() {
    DWORD_PTR result = 0;
    ASSERT_NE(SendMessageTimeoutW(Item(IDC_CONVERT), BM_CLICK, 0, 0, SMTO_NORMAL, Timeout, &result),
              0)
        << "Convert did not finish";
  }

  // Waits for the program's message box, checks its caption and icon-less text, dismisses it
  // with OK and returns its text.
  std::wstring DismissMessageBox() {
    HWND box = nullptr;
    EXPECT_TRUE(WaitUntil([&] {
      box = FindOwnedDialog(m_program.Id(), m_hDialog, L"vantoly");
      return box != nullptr;
    })) << "no message box owned by the dialog and captioned with the executable's name";
    if (box == nullptr)
      return {};
    std::wstring message;
    for (const std::wstring &text : StaticTexts(box))
      if (text.size() > message.size())
        message = text;
    EXPECT_FALSE(IsWindowEnabled(m_hDialog)) << "the message box is not modal";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); })) << "the message box stayed";
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hDialog) != FALSE; }));
    return message;
  }

  HWND FocusedWindow() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(m_program.ThreadId(), &info) ? info.hwndFocus : nullptr;
  }

  CTestWindow m_window;
  CVantolyProcess m_program;
  HWND m_hDialog = nullptr;
};
