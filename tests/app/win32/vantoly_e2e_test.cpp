// vantoly.exe as a user meets it: started as its own process, driven through its windows and
// the real clipboard, its results compared byte for byte.
//
// The expected results come from the command-line front end built natively for the host
// (VANTOLY_E2E_DATA: a folder with sample.bmp and mode0.bmp ... mode7.bmp), which shows that
// the cross-compiled program converts exactly as the native one does. Without that folder the
// cross-built core in this process provides them.
#include "vantoly_program.h"

#include <cstdint>
#include <vector>

#include "codec/bmp_file.h"
#include "codec/packed_dib.h"

namespace {

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

} // namespace
