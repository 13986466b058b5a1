// vantoly.exe as a user meets it: started as its own process, driven through its windows and
// the real clipboard, its results compared byte for byte.
//
// The expected results come from the command-line front end built natively for the host
// (VANTOLY_E2E_DATA: a folder with sample.bmp and mode0.bmp ... mode7.bmp), which shows that
// the cross-compiled program converts exactly as the native one does. Without that folder the
// cross-built core in this process provides them.
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
#include "codec/bmp_file.h"
#include "codec/packed_dib.h"
#include "clipboard/win32/win32_clipboard_support.h"
#include "res/resource.h"

namespace {

constexpr DWORD Timeout = 15000;

std::wstring Wide(const char *utf8) {
  std::wstring text(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), static_cast<int>(text.size()));
  text.resize(text.size() - 1);
  return text;
}

// The folder this test program lives in; vantoly.exe is built beside it.
std::wstring OwnFolder() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A folder named in the environment; a host path (/...) is reached through Wine's Z: drive.
std::optional<std::wstring> FolderFromEnvironment(const wchar_t *name) {
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

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring &path) {
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

bool WaitUntil(const std::function<bool()> &condition, DWORD timeout = Timeout) {
  const ULONGLONG end = GetTickCount64() + timeout;
  for (;;) {
    if (condition())
      return true;
    if (GetTickCount64() > end)
      return false;
    PumpMessages(20);
  }
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024];
  const int length = GetWindowTextW(window, text, ARRAYSIZE(text));
  return std::wstring(text, length > 0 ? length : 0);
}

std::wstring ClassName(HWND window) {
  wchar_t name[256];
  const int length = GetClassNameW(window, name, ARRAYSIZE(name));
  return std::wstring(name, length > 0 ? length : 0);
}

// The visible top-level dialogs of a process.
std::vector<HWND> DialogsOf(DWORD processId) {
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
HWND FindOwnedDialog(DWORD processId, HWND owner, const std::wstring &caption) {
  for (HWND window : DialogsOf(processId))
    if (GetWindow(window, GW_OWNER) == owner && WindowText(window) == caption)
      return window;
  return nullptr;
}

// The texts of a window's static controls, in child order.
std::vector<std::wstring> StaticTexts(HWND parent) {
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

bool Contains(const std::vector<std::wstring> &texts, const std::wstring &text) {
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

// The input and the expected result of each mode.
struct Expectations {
  std::vector<std::uint8_t> input; // packed bitmap
  std::vector<std::vector<std::uint8_t>> results;
  bool fromHost = false;
};

Expectations LoadExpectations() {
  Expectations expected;
  if (auto folder = FolderFromEnvironment(L"VANTOLY_E2E_DATA")) {
    auto sample = ReadFileBytes(*folder + L"sample.bmp");
    if (!sample || sample->size() < BmpFileHeaderSize)
      return expected;
    expected.input.assign(sample->begin() + BmpFileHeaderSize, sample->end());
    for (int mode = 0; mode < ConversionModeCount; ++mode) {
      auto result = ReadFileBytes(*folder + L"mode" + std::to_wstring(mode) + L".bmp");
      if (!result || result->size() < BmpFileHeaderSize)
        return {};
      expected.results.emplace_back(result->begin() + BmpFileHeaderSize, result->end());
    }
    expected.fromHost = true;
    return expected;
  }
  // A 24-bit colour ramp, converted by the core built into this test.
  CDibImage image;
  image.Create(37, 23, 24);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      p[0] = static_cast<std::uint8_t>(x * 7);
      p[1] = static_cast<std::uint8_t>(y * 11);
      p[2] = static_cast<std::uint8_t>((x + y) * 4);
    }
  expected.input.resize(PackedDibSize(image));
  WritePackedDib(image, expected.input.data());
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    CDibImage dest;
    ConversionModes[mode].convert(image, dest);
    std::vector<std::uint8_t> result(PackedDibSize(dest));
    WritePackedDib(dest, result.data());
    expected.results.push_back(std::move(result));
  }
  return expected;
}

TEST_F(VantolyProgram, ShowsItsDialogInTheWorkAreasBottomRightCorner) {
  RECT workArea{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0));
  RECT window{};
  ASSERT_TRUE(GetWindowRect(m_hDialog, &window));
  EXPECT_EQ(window.right, workArea.right);
  EXPECT_EQ(window.bottom, workArea.bottom);
  EXPECT_GT(window.right - window.left, 50);
  EXPECT_GT(window.bottom - window.top, 20);
  EXPECT_TRUE(GetWindowLongPtrW(m_hDialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
}

TEST_F(VantolyProgram, ListsTheEightModesWithTheFirstSelected) {
  HWND list = Item(IDC_MODE);
  ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), ConversionModeCount);
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    wchar_t text[256]{};
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(mode), reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), Wide(ConversionModes[mode].text)) << "mode " << mode;
  }
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(WindowText(Item(IDC_CONVERT)), Wide(ConvertButtonText));
  EXPECT_EQ(WindowText(Item(IDCANCEL)), Wide(ExitButtonText));
  EXPECT_TRUE(Contains(StaticTexts(m_hDialog), Wide(ModeLabelText)));
  EXPECT_EQ(FocusedWindow(), Item(IDC_CONVERT)) << "the focus starts on Convert";
}

// The width of an icon's colour picture, 0 when it cannot be read.
int IconWidth(HICON icon) {
  ICONINFO info{};
  if (icon == nullptr || !GetIconInfo(icon, &info))
    return 0;
  BITMAP color{};
  GetObjectW(info.hbmColor, sizeof color, &color);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return color.bmWidth;
}

TEST(VantolyResources, TheIconHasA32And16PixelPictureOf16Colours) {
  HMODULE exe = LoadLibraryExW((OwnFolder() + L"vantoly.exe").c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr);
  HRSRC group = FindResourceW(exe, MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const auto *dir = static_cast<const std::uint8_t *>(LockResource(LoadResource(exe, group)));
  ASSERT_NE(dir, nullptr);
  // GRPICONDIR: reserved, type 1, count; then 14-byte entries: width, height, colours, ...
  std::vector<std::pair<int, int>> images; // size, colours
  const int count = dir[4] | dir[5] << 8;
  for (int i = 0; i < count; ++i)
    images.emplace_back(dir[6 + 14 * i], dir[6 + 14 * i + 2]);
  EXPECT_EQ(images, (std::vector<std::pair<int, int>>{{32, 16}, {16, 16}}));
  for (const int size : {32, 16}) {
    HICON icon = static_cast<HICON>(
        LoadImageW(exe, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
    EXPECT_EQ(IconWidth(icon), size);
    if (icon != nullptr)
      DestroyIcon(icon);
  }
  FreeLibrary(exe);
}

TEST_F(VantolyProgram, ConvertsTheClipboardBitmapInEveryModeAsTheCoreDoes) {
  const Expectations expected = LoadExpectations();
  ASSERT_EQ(expected.results.size(), static_cast<std::size_t>(ConversionModeCount))
      << "the expected results could not be read";
  if (!expected.fromHost)
    std::puts("VANTOLY_E2E_DATA not set: comparing with this build's own core");
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    // A program copying a picture often offers text too; the result replaces both.
    ASSERT_TRUE(
        PutClipboardItems(m_window.Get(), {{CF_DIB, expected.input}, TextItem(L"picture")}));
    SelectMode(mode);
    PressConvert();
    EXPECT_FALSE(FindOwnedDialog(m_program.Id(), m_hDialog, L"vantoly")) << "a message appeared";
    const auto result = GetClipboardBytes(m_window.Get(), CF_DIB);
    ASSERT_TRUE(result.has_value()) << "no bitmap on the clipboard";
    const std::vector<std::uint8_t> &want = expected.results[mode];
    ASSERT_GE(result->size(), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), result->begin()))
        << "the result differs from the expected bytes";
    EXPECT_FALSE(GetClipboardText(m_window.Get()).has_value()) << "the input's text survived";
  }
}

TEST_F(VantolyProgram, PressingConvertTwiceConvertsThePreviousResult) {
  const Expectations expected = LoadExpectations();
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), expected.input));
  SelectMode(3);
  PressConvert();
  const auto first = GetClipboardBytes(m_window.Get(), CF_DIB);
  PressConvert();
  const auto second = GetClipboardBytes(m_window.Get(), CF_DIB);
  ASSERT_TRUE(first && second);
  // A black-and-white result maps back onto the same pixels.
  CDibImage a, b;
  ASSERT_TRUE(ReadPackedDib(first->data(), first->size(), a));
  ASSERT_TRUE(ReadPackedDib(second->data(), second->size(), b));
  ASSERT_EQ(a.BitCount(), 1);
  ASSERT_EQ(b.BitCount(), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(a.m_bits, a.m_bits + a.RowsSize()),
            std::vector<std::uint8_t>(b.m_bits, b.m_bits + b.RowsSize()));
}

TEST_F(VantolyProgram, TextOnlyClipboardGivesTheMessageAndKeepsTheText) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"ただのテキスト"));
  PostMessageW(Item(IDC_CONVERT), BM_CLICK, 0, 0);
  EXPECT_EQ(DismissMessageBox(), Wide(MessageNoClipboardBitmap));
  EXPECT_EQ(GetClipboardText(m_window.Get()), L"ただのテキスト");
  EXPECT_FALSE(GetClipboardBytes(m_window.Get(), CF_DIB).has_value());
  EXPECT_EQ(GetOpenClipboardWindow(), nullptr) << "the clipboard was left open";
}

TEST_F(VantolyProgram, NoSelectedModeGivesTheMessage) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"kept"));
  SelectMode(-1);
  PostMessageW(Item(IDC_CONVERT), BM_CLICK, 0, 0);
  EXPECT_EQ(DismissMessageBox(), Wide(MessageNoModeSelected));
  EXPECT_EQ(GetClipboardText(m_window.Get()), L"kept");
}

TEST_F(VantolyProgram, AShortClipboardBitmapIsRefusedAndKept) {
  std::vector<std::uint8_t> block = LoadExpectations().input;
  block.resize(block.size() / 2);
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), block));
  PostMessageW(Item(IDC_CONVERT), BM_CLICK, 0, 0);
  EXPECT_EQ(DismissMessageBox(), Wide(MessageNoClipboardBitmap));
  const auto kept = GetClipboardBytes(m_window.Get(), CF_DIB);
  ASSERT_TRUE(kept.has_value());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), kept->begin()));
}

TEST_F(VantolyProgram, KeyboardEnterConvertsAltMFocusesTheListEscEnds) {
  const Expectations expected = LoadExpectations();
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), expected.input));
  // Alt+M: the label's mnemonic moves to the list.
  PostMessageW(m_hDialog, WM_SYSCHAR, L'm', 1 << 29);
  EXPECT_TRUE(WaitUntil([&] { return FocusedWindow() == Item(IDC_MODE); }))
      << "Alt+M did not reach the mode list";
  // Enter: the default button, whatever has the focus.
  SelectMode(1);
  const DWORD sequence = GetClipboardSequenceNumber();
  PostMessageW(FocusedWindow() != nullptr ? FocusedWindow() : m_hDialog, WM_KEYDOWN, VK_RETURN, 1);
  // Watched without opening the clipboard, which would race the program's own access.
  EXPECT_TRUE(WaitUntil([&] { return GetClipboardSequenceNumber() != sequence; }))
      << "Enter did not convert";
  const auto result = GetClipboardBytes(m_window.Get(), CF_DIB);
  ASSERT_TRUE(result.has_value());
  ASSERT_GE(result->size(), expected.results[1].size());
  EXPECT_TRUE(std::equal(expected.results[1].begin(), expected.results[1].end(), result->begin()));
  // Esc: the program ends, and its mutex with it.
  PostMessageW(m_hDialog, WM_KEYDOWN, VK_ESCAPE, 1);
  ASSERT_TRUE(m_program.WaitForExit()) << "Esc did not end the program";
  EXPECT_EQ(m_program.ExitCode(), 0u);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"VantolyInstance");
  EXPECT_EQ(mutex, nullptr) << "the instance mutex outlived the program";
  if (mutex != nullptr)
    CloseHandle(mutex);
}

TEST_F(VantolyProgram, ExitButtonAndCloseBoxEndTheProgram) {
  PostMessageW(Item(IDCANCEL), BM_CLICK, 0, 0);
  ASSERT_TRUE(m_program.WaitForExit()) << "Exit did not end the program";
  EXPECT_EQ(m_program.ExitCode(), 0u);

  CVantolyProcess again;
  ASSERT_TRUE(again.Start());
  HWND dialog = again.WaitForDialog();
  ASSERT_NE(dialog, nullptr) << "no new copy after the first ended";
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  ASSERT_TRUE(again.WaitForExit()) << "the close box did not end the program";
  EXPECT_EQ(again.ExitCode(), 0u);
}

TEST_F(VantolyProgram, ASecondCopyEndsAtOnceAndLeavesTheFirstAlone) {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"VantolyInstance");
  EXPECT_NE(mutex, nullptr) << "the running copy holds no mutex";
  if (mutex != nullptr)
    CloseHandle(mutex);

  CVantolyProcess second;
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(second.WaitForExit(10000)) << "the second copy kept running";
  EXPECT_EQ(second.ExitCode(), 0u);
  EXPECT_TRUE(DialogsOf(second.Id()).empty());
  EXPECT_TRUE(IsWindowVisible(m_hDialog));
  EXPECT_EQ(DialogsOf(m_program.Id()).size(), 1u);
}

TEST_F(VantolyProgram, AboutItemOpensTheVersionBox) {
  // The item is in the system menu. Wine gives no process another's system menu, so there the
  // item is only reached through its command below.
  HMENU systemMenu = GetSystemMenu(m_hDialog, FALSE);
  EXPECT_TRUE(systemMenu != nullptr || RunningUnderWine());
  if (systemMenu != nullptr) {
    wchar_t text[256]{};
    EXPECT_GT(GetMenuStringW(systemMenu, IDM_ABOUTBOX, text, ARRAYSIZE(text), MF_BYCOMMAND), 0);
    EXPECT_EQ(std::wstring(text), Wide(AboutMenuText));
  }

  SelectMode(5);
  PostMessageW(m_hDialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    about = FindOwnedDialog(m_program.Id(), m_hDialog, Wide(AboutCaption));
    return about != nullptr;
  })) << "no version box";
  const std::vector<std::wstring> texts = StaticTexts(about);
  EXPECT_TRUE(Contains(texts, Wide(AboutTitleText)));
  EXPECT_TRUE(Contains(texts, Wide(AboutVersionText)));
  EXPECT_TRUE(Contains(texts, Wide(AboutNoticeText)));
  EXPECT_EQ(WindowText(GetDlgItem(about, IDC_HOMEPAGE)), Wide(HomePageButtonText));
  EXPECT_EQ(WindowText(GetDlgItem(about, IDOK)), Wide(OkButtonText));
  EXPECT_FALSE(IsWindowEnabled(m_hDialog)) << "the version box is not modal";

  // Esc closes the box; the main dialog keeps its mode.
  PostMessageW(about, WM_KEYDOWN, VK_ESCAPE, 1);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); })) << "Esc did not close the box";
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hDialog) != FALSE; }));
  EXPECT_EQ(SendMessageW(Item(IDC_MODE), CB_GETCURSEL, 0, 0), 5);
}

// Points the shell's "open" of a class (a protocol or a file type) at the recorder, which writes
// each request to a log, so that no browser or help viewer opens. Only in Wine's private prefix.
class CShellRecorder {
public:
  explicit CShellRecorder(const wchar_t *name) : m_log(OwnFolder() + name + L"_requests.txt") {
    DeleteFileW(m_log.c_str());
  }
  bool Register(const std::wstring &classKey) const {
    const std::wstring command =
        L"\"" + OwnFolder() + L"vantoly_url_recorder.exe\" \"" + m_log + L"\" \"%1\"";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, (classKey + L"\\shell\\open\\command").c_str(), 0,
                        nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
      return false;
    const LSTATUS set =
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return set == ERROR_SUCCESS;
  }
  // The requests so far, one per line.
  std::vector<std::string> Requests() const {
    std::vector<std::string> lines;
    const auto bytes = ReadFileBytes(m_log);
    if (!bytes)
      return lines;
    const std::string text(bytes->begin(), bytes->end());
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

private:
  std::wstring m_log;
};

// The home-page button hands the address to the shell. Only under Wine, where the test can
// point https addresses at a recorder instead of a browser: no test opens a real address.
TEST_F(VantolyProgram, HomePageButtonHandsTheAddressToTheShellEachTime) {
  if (!RunningUnderWine())
    GTEST_SKIP() << "needs Wine, where https can be redirected to a recorder";
  const CShellRecorder browser(L"home_page");
  ASSERT_TRUE(browser.Register(L"https"));

  PostMessageW(m_hDialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    about = FindOwnedDialog(m_program.Id(), m_hDialog, Wide(AboutCaption));
    return about != nullptr;
  }));
  const std::string url = HomePageUrl;
  for (int press = 1; press <= 2; ++press) {
    PostMessageW(GetDlgItem(about, IDC_HOMEPAGE), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntil([&] {
      return browser.Requests().size() == static_cast<std::size_t>(press);
    })) << "press "
        << press << " did not reach the shell";
  }
  EXPECT_EQ(browser.Requests(), (std::vector<std::string>{url, url}));
  EXPECT_TRUE(IsWindow(about)) << "the box closed";
  PostMessageW(about, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }));
}

// F1 opens the help file named after the executable when there is one, and nothing otherwise.
TEST_F(VantolyProgram, F1OpensTheHelpFileBesideTheProgramIfThereIsOne) {
  if (!RunningUnderWine())
    GTEST_SKIP() << "needs Wine, where help files can be redirected to a recorder";
  const CShellRecorder viewer(L"help");
  ASSERT_TRUE(viewer.Register(L"VantolyTestHelpFile"));
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L".chm", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const wchar_t progId[] = L"VantolyTestHelpFile";
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(progId), sizeof progId);
  RegCloseKey(key);

  // F1, as the keyboard delivers it to the control with the focus.
  auto pressF1 = [&] {
    HWND target = FocusedWindow() != nullptr ? FocusedWindow() : m_hDialog;
    PostMessageW(target, WM_KEYDOWN, VK_F1, 0x003B0001);
    PostMessageW(target, WM_KEYUP, VK_F1, 0xC03B0001);
  };
  // No help file: nothing happens.
  const std::wstring helpFile = OwnFolder() + L"vantoly.chm";
  DeleteFileW(helpFile.c_str());
  pressF1();
  PumpMessages(300);
  EXPECT_TRUE(viewer.Requests().empty());

  HANDLE file = CreateFileW(helpFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  pressF1();
  EXPECT_TRUE(WaitUntil([&] { return viewer.Requests().size() == 1; }));
  DeleteFileW(helpFile.c_str());
  ASSERT_EQ(viewer.Requests().size(), 1u);
  EXPECT_NE(viewer.Requests()[0].find("vantoly.chm"), std::string::npos) << viewer.Requests()[0];
  EXPECT_TRUE(IsWindowVisible(m_hDialog));
}

// The manifest takes effect: the visual-styles common controls are loaded.
TEST_F(VantolyProgram, LoadsTheVisualStylesCommonControls) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, m_program.Id());
  ASSERT_NE(process, nullptr);
  HMODULE modules[512];
  DWORD bytes = 0;
  ASSERT_TRUE(EnumProcessModulesEx(process, modules, sizeof modules, &bytes, LIST_MODULES_ALL));
  std::wstring comctl;
  for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < ARRAYSIZE(modules); ++i) {
    wchar_t path[MAX_PATH * 2]{};
    GetModuleFileNameExW(process, modules[i], path, ARRAYSIZE(path));
    std::wstring lower = path;
    for (wchar_t &c : lower)
      c = static_cast<wchar_t>(towlower(c));
    if (lower.find(L"comctl32.dll") != std::wstring::npos)
      comctl = lower;
  }
  CloseHandle(process);
  // Version 6 lives in the side-by-side store, the old one in the system folder.
  EXPECT_NE(comctl.find(L"common-controls_6595b64144ccf1df_6."), std::wstring::npos)
      << "comctl32 loaded from " << std::string(comctl.begin(), comctl.end());
}

} // namespace
