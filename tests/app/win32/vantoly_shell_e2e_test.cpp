// vantoly.exe and the shell: the home page, the help file and the common controls it asks the
// system for.
#include "vantoly_program.h"

namespace {

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
