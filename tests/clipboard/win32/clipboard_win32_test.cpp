// The CF_DIB clipboard of the Windows program, against the real (or Wine's) clipboard.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "bitmap/dib_image.h"
#include "codec/packed_dib.h"
#include "clipboard/win32/clipboard_win32.h"
#include "clipboard/win32/win32_clipboard_support.h"

namespace {

// A 24-bit packed bitmap of width × height whose pixel (x, y) is (x, y, x + y) in red, green,
// blue; `tableEntries` colour-table entries (biClrUsed) sit between header and rows.
std::vector<std::uint8_t> MakeBlock24(int width, int height, std::uint32_t tableEntries = 0) {
  const auto stride = static_cast<std::size_t>(DibStride(24, width));
  std::vector<std::uint8_t> block(40 + 4 * tableEntries + stride * height);
  DibInfoHeader header{};
  header.biSize = 40;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biClrUsed = tableEntries;
  std::memcpy(block.data(), &header, sizeof header);
  std::uint8_t *rows = block.data() + 40 + 4 * tableEntries;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t *p = rows + stride * (height - 1 - y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x + y);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x);
    }
  return block;
}

// Windows refuses SetClipboardData only in conditions a test cannot bring about (no memory,
// a broken session), so this program's import of it is pointed at a stand-in that refuses
// the next `count` calls and passes the rest on.
class RefuseSetClipboardData {
public:
  explicit RefuseSetClipboardData(int count) {
    s_refusals = count;
    s_real = &SetClipboardData;
    m_slot = ImportSlot(reinterpret_cast<void *>(s_real));
    if (m_slot != nullptr)
      Patch(reinterpret_cast<void *>(&Refuse));
  }
  ~RefuseSetClipboardData() {
    if (m_slot != nullptr)
      Patch(reinterpret_cast<void *>(s_real));
  }
  RefuseSetClipboardData(const RefuseSetClipboardData &) = delete;
  RefuseSetClipboardData &operator=(const RefuseSetClipboardData &) = delete;
  bool Installed() const { return m_slot != nullptr; }

private:
  using Function = HANDLE(WINAPI *)(UINT, HANDLE);

  static HANDLE WINAPI Refuse(UINT format, HANDLE data) {
    if (s_refusals == 0)
      return s_real(format, data);
    --s_refusals;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  // The import-table slot through which this program calls `function`.
  static void **ImportSlot(void *function) {
    auto *base = reinterpret_cast<std::uint8_t *>(GetModuleHandleW(nullptr));
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll)
      for (auto *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
           slot->u1.Function != 0; ++slot)
        if (reinterpret_cast<void *>(slot->u1.Function) == function)
          return reinterpret_cast<void **>(&slot->u1.Function);
    return nullptr;
  }

  void Patch(void *function) {
    DWORD protection;
    VirtualProtect(m_slot, sizeof *m_slot, PAGE_READWRITE, &protection);
    *m_slot = function;
    VirtualProtect(m_slot, sizeof *m_slot, protection, &protection);
  }

  static inline Function s_real = nullptr;
  static inline int s_refusals = 0;
  void **m_slot = nullptr;
};

class ClipboardWin32 : public ::testing::Test {
protected:
  CTestWindow m_window;
  CWin32Clipboard m_clipboard{m_window.Get()};

  // Nobody may be left holding the clipboard open.
  void ExpectClosed() {
    EXPECT_EQ(GetOpenClipboardWindow(), nullptr);
    EXPECT_TRUE(OpenClipboard(m_window.Get()));
    CloseClipboard();
  }
};

TEST_F(ClipboardWin32, ReadsTheBitmapOnTheClipboard) {
  for (const std::uint32_t table : {0u, 3u}) {
    ASSERT_TRUE(PutClipboardDib(m_window.Get(), MakeBlock24(5, 3, table)));
    CDibImage image;
    ASSERT_TRUE(ReadClipboardDib(m_clipboard, image)) << table << " table entries";
    EXPECT_EQ(image.Width(), 5);
    EXPECT_EQ(image.Height(), 3);
    EXPECT_EQ(image.BitCount(), 24);
    EXPECT_EQ(image.GetPixelColor(4, 2), RgbColor(4, 2, 6)) << table << " table entries";
    ExpectClosed();
  }
}

TEST_F(ClipboardWin32, TextOnlyIsNoBitmapAndStaysOnTheClipboard) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"テキスト"));
  CDibImage image;
  EXPECT_FALSE(ReadClipboardDib(m_clipboard, image));
  EXPECT_FALSE(image.HasSection());
  ExpectClosed();
  EXPECT_EQ(GetClipboardText(m_window.Get()), L"テキスト");
}

TEST_F(ClipboardWin32, RefusesABlockShorterThanItsHeaderAnnounces) {
  std::vector<std::uint8_t> block = MakeBlock24(16, 16);
  block.resize(block.size() - 64); // the top rows are missing
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), block));
  CDibImage image;
  EXPECT_FALSE(ReadClipboardDib(m_clipboard, image));
  ExpectClosed();

  block.resize(20); // not even a header
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), block));
  EXPECT_FALSE(ReadClipboardDib(m_clipboard, image));
  ExpectClosed();
}

TEST_F(ClipboardWin32, WritesOnePackedBitmapInPlaceOfEverything) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"old"));
  CDibImage image;
  ASSERT_TRUE(image.Create(10, 3, 1));
  image.SetPixelIndex(9, 0, 1);
  ASSERT_TRUE(WriteClipboardDib(m_clipboard, image));
  ExpectClosed();

  std::vector<std::uint8_t> expected(PackedDibSize(image));
  ASSERT_EQ(expected.size(), 60u);
  WritePackedDib(image, expected.data());
  const auto written = GetClipboardBytes(m_window.Get(), CF_DIB);
  ASSERT_TRUE(written.has_value());
  ASSERT_GE(written->size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), written->begin()));
  EXPECT_EQ(reinterpret_cast<const DibInfoHeader *>(written->data())->biClrUsed, 2u);
  EXPECT_FALSE(GetClipboardText(m_window.Get()).has_value()) << "the old text survived";
}

TEST_F(ClipboardWin32, WriteThenReadGivesTheSamePixels) {
  CDibImage image;
  ASSERT_TRUE(image.Create(7, 5, 4));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x)
      image.SetPixelIndex(x, y, (x + 3 * y) % 16);
  ASSERT_TRUE(WriteClipboardDib(m_clipboard, image));
  CDibImage back;
  ASSERT_TRUE(ReadClipboardDib(m_clipboard, back));
  ASSERT_EQ(back.BitCount(), 4);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x)
      EXPECT_EQ(back.GetPixelIndex(x, y), (x + 3 * y) % 16) << x << "," << y;
}

TEST_F(ClipboardWin32, NothingHappensWhileAnotherWindowHoldsTheClipboard) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"kept"));
  HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    CTestWindow other;
    const bool open = OpenClipboard(other.Get()) != FALSE;
    SetEvent(opened);
    WaitForSingleObject(done, 10000);
    if (open)
      CloseClipboard();
  });
  WaitForSingleObject(opened, 10000);
  ASSERT_EQ(GetOpenClipboardWindow() != nullptr, true);

  CDibImage image;
  ASSERT_TRUE(image.Create(4, 4, 8));
  EXPECT_FALSE(WriteClipboardDib(m_clipboard, image));
  CDibImage read;
  EXPECT_FALSE(ReadClipboardDib(m_clipboard, read));

  SetEvent(done);
  holder.join();
  CloseHandle(opened);
  CloseHandle(done);
  EXPECT_EQ(GetClipboardText(m_window.Get()), L"kept");
}

TEST_F(ClipboardWin32, APictureRefusedAfterEmptyingGivesThePreviousOneBack) {
  const std::vector<std::uint8_t> input = MakeBlock24(5, 3);
  ASSERT_TRUE(PutClipboardDib(m_window.Get(), input));
  CDibImage source;
  ASSERT_TRUE(ReadClipboardDib(m_clipboard, source));
  CDibImage result;
  ASSERT_TRUE(result.Create(5, 3, 1));

  RefuseSetClipboardData refuse(1);
  ASSERT_TRUE(refuse.Installed());
  EXPECT_FALSE(WriteClipboardDib(m_clipboard, result, &source));
  ExpectClosed();
  const auto kept = GetClipboardBytes(m_window.Get(), CF_DIB);
  ASSERT_TRUE(kept.has_value()) << "the clipboard was left empty";
  ASSERT_GE(kept->size(), input.size());
  EXPECT_TRUE(std::equal(input.begin(), input.end(), kept->begin()));
}

TEST_F(ClipboardWin32, AnImageWithoutSectionIsNotWritten) {
  ASSERT_TRUE(PutClipboardText(m_window.Get(), L"kept"));
  CDibImage empty;
  EXPECT_FALSE(WriteClipboardDib(m_clipboard, empty));
  EXPECT_EQ(GetClipboardText(m_window.Get()), L"kept");
}

} // namespace
