#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "app/core/conversion_mode.h"
#include "app/core/convert_command.h"
#include "app/core/texts.h"
#include "bitmap/row_progress.h"
#include "codec/packed_dib.h"
#include "test_images.h"

namespace {

// A clipboard in memory: a packed bitmap, or text only (an empty block). Overlapped, the
// request reads it on a thread of its own.
class CMemoryClipboard : public CClipboard {
public:
  std::vector<std::uint8_t> m_block;
  std::string m_text;
  bool m_bOverlap = false;
  bool m_bThrowOnRead = false;
  bool m_bRefuseWrite = false;
  bool m_bThrowOnWrite = false;
  int m_nWrites = 0;

  bool ReadDib(CDibImage &image) override {
    if (m_bThrowOnRead)
      throw std::bad_alloc();
    return !m_block.empty() && ReadPackedDib(m_block.data(), m_block.size(), image);
  }
  bool WriteDib(const CDibImage &image) override {
    if (m_bThrowOnWrite)
      throw std::bad_alloc();
    if (m_bRefuseWrite || !WaitForComplete(image))
      return false;
    ++m_nWrites;
    m_block = PackedBytes(image);
    m_text.clear();
    return true;
  }
  bool ReadsWhileConverting() const override { return m_bOverlap; }
};

// Records what the user would see and hear, in order.
class CRecordingFeedback : public CConvertFeedback {
public:
  std::vector<std::string> m_events;
  int m_nCursorDepth = 0;

  void ShowMessage(const char *text) override {
    m_events.push_back(std::string(m_nCursorDepth > 0 ? "busy " : "") + text);
  }
  void Beep() override { m_events.push_back("beep"); }
  void BeginWaitCursor() override { ++m_nCursorDepth; }
  void EndWaitCursor() override { --m_nCursorDepth; }
};

std::vector<std::uint8_t> Block24(int width, int height, ColorValue color) {
  CDibImage image;
  MakeSolid24(image, width, height, color);
  return PackedBytes(image);
}

DibInfoHeader HeaderOf(const std::vector<std::uint8_t> &block) {
  DibInfoHeader header;
  std::memcpy(&header, block.data(), sizeof header);
  return header;
}

} // namespace

TEST(ConversionModes, ListTextsInOrder) {
  const char *expected[] = {"グレイ16階調",     "グレイ256階調",         "標準１６色カラー",
                            "モノクロ２値",     "2値ディザ等倍",         "2値ディザ２倍",
                            "モノクロ誤差拡散", "標準16色カラー誤差拡散"};
  for (int mode = 0; mode < ConversionModeCount; ++mode)
    EXPECT_STREQ(ConversionModes[mode].text, expected[mode]);
}

TEST(ConversionModes, EachModeMakesItsDepthAndSize) {
  const struct {
    int bitCount, scale, colors;
  } expected[] = {{4, 1, 16}, {8, 1, 256}, {4, 1, 16}, {1, 1, 2},
                  {1, 1, 2},  {1, 2, 2},   {1, 1, 2},  {4, 1, 16}};
  CDibImage source;
  MakeSolid24(source, 3, 5, RgbColor(10, 200, 30));
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    CDibImage dest;
    ASSERT_TRUE(ConversionModes[mode].convert(source, dest)) << mode;
    EXPECT_EQ(dest.BitCount(), expected[mode].bitCount) << mode;
    EXPECT_EQ(dest.Width(), 3 * expected[mode].scale) << mode;
    EXPECT_EQ(dest.Height(), 5 * expected[mode].scale) << mode;
    EXPECT_EQ(dest.m_paletteCount, expected[mode].colors) << mode;
    EXPECT_EQ(ConversionModes[mode].scale, expected[mode].scale) << mode; // the limits use it
  }
}

TEST(ConvertCommand, ReplacesTheClipboardBitmapAndBeeps) {
  CMemoryClipboard clipboard;
  clipboard.m_block = Block24(3, 5, Gray(200));
  CRecordingFeedback feedback;
  EXPECT_EQ(RunConvertCommand(5, clipboard, feedback), ConvertOutcome::Converted);
  EXPECT_EQ(feedback.m_events, std::vector<std::string>{"beep"});
  EXPECT_EQ(feedback.m_nCursorDepth, 0);
  const DibInfoHeader header = HeaderOf(clipboard.m_block);
  EXPECT_EQ(header.biBitCount, 1);
  EXPECT_EQ(header.biWidth, 6);
  EXPECT_EQ(header.biHeight, 10);
}

TEST(ConvertCommand, EachFailureHasItsMessageAndKeepsTheClipboard) {
  // The steps in turn, and overlapped: a step's exception reaches the request either way.
  for (const bool overlap : {false, true}) {
    CRecordingFeedback feedback;
    CMemoryClipboard clipboard;
    clipboard.m_bOverlap = overlap;
    clipboard.m_block = Block24(2, 2, Gray(0));
    const auto input = clipboard.m_block;

    EXPECT_EQ(RunConvertCommand(-1, clipboard, feedback), ConvertOutcome::NoModeSelected);
    EXPECT_EQ(RunConvertCommand(8, clipboard, feedback), ConvertOutcome::NoModeSelected);
    clipboard.m_bRefuseWrite = true;
    EXPECT_EQ(RunConvertCommand(0, clipboard, feedback), ConvertOutcome::CannotPaste);
    clipboard.m_bRefuseWrite = false;
    clipboard.m_bThrowOnWrite = true;
    EXPECT_EQ(RunConvertCommand(7, clipboard, feedback), ConvertOutcome::OutOfMemory);
    clipboard.m_bThrowOnWrite = false;
    clipboard.m_bThrowOnRead = true;
    EXPECT_EQ(RunConvertCommand(6, clipboard, feedback), ConvertOutcome::OutOfMemory);
    EXPECT_EQ(clipboard.m_block, input);
    EXPECT_EQ(feedback.m_nCursorDepth, 0);
    EXPECT_EQ(feedback.m_events,
              (std::vector<std::string>{MessageNoModeSelected, MessageNoModeSelected,
                                        std::string("busy ") + MessageCannotPaste,
                                        MessageOutOfMemory, MessageOutOfMemory}));
  }

  // Text only, and a bitmap whose header announces a depth we cannot read: the clipboard
  // message, in the diffusion modes too, and the text stays.
  CMemoryClipboard text;
  text.m_text = "hello";
  CMemoryClipboard odd;
  odd.m_block = BuildPackedDib({.width = 2, .height = 2, .bitCount = 2});
  for (CMemoryClipboard *c : {&text, &odd})
    for (int mode : {0, 6, 7}) {
      CRecordingFeedback f;
      EXPECT_EQ(RunConvertCommand(mode, *c, f), ConvertOutcome::NoClipboardBitmap);
      EXPECT_EQ(f.m_events, std::vector<std::string>{MessageNoClipboardBitmap});
      EXPECT_EQ(c->m_nWrites, 0);
    }
  EXPECT_EQ(text.m_text, "hello");
}

TEST(ConvertCommand, ConversionFailureIsReportedUnderTheWaitCursor) {
  // No reader could take back these pictures doubled: a width that no longer fits an int, more
  // pixels than the limit (8193 × 8193), a side beyond it (600000 × 1). Each is refused before
  // converting; a reader that says when it has made the image (as every codec does) is
  // stopped there, before it reads a row, whether on a thread of its own or not. The rows
  // stay unwritten, so the large sections cost no memory.
  class CSizedClipboard : public CMemoryClipboard {
  public:
    std::int32_t m_width = 0, m_height = 0;
    bool m_bPublish = false;
    int m_nRowsRead = 0;
    bool ReadDib(CDibImage &image) override {
      const DibInfoHeader header{40, m_width, m_height, 1, 1, 0, 0, 0, 0, 0, 0};
      if (!image.CreateFromHeader(header, BlackWhitePalette, nullptr) ||
          (m_bPublish && !PublishRows(image, 0)))
        return false;
      ++m_nRowsRead;
      return true;
    }
  } clipboard;
  for (const bool publish : {false, true})
    for (const auto &[width, height] :
         {std::pair{0x40000001, 1}, std::pair{8193, 8193}, std::pair{600000, 1}}) {
      clipboard.m_width = width;
      clipboard.m_height = height;
      clipboard.m_bPublish = clipboard.m_bOverlap = publish;
      clipboard.m_nRowsRead = 0;
      CRecordingFeedback feedback;
      EXPECT_EQ(RunConvertCommand(5, clipboard, feedback), ConvertOutcome::ConversionFailed)
          << width;
      EXPECT_EQ(feedback.m_events,
                std::vector<std::string>{std::string("busy ") + MessageConversionFailed});
      EXPECT_EQ(feedback.m_nCursorDepth, 0);
      EXPECT_EQ(clipboard.m_nWrites, 0);
      EXPECT_EQ(clipboard.m_nRowsRead, publish ? 0 : 1);
    }
}

TEST(ConvertCommand, SixteenBitPicturesKeepTheirGrays) {
  // 5-5-5 gray 16 of 31 → channel 132 → 16-level gray 8.
  CMemoryClipboard clipboard;
  clipboard.m_block = BuildPackedDib({.width = 1, .bitCount = 16, .rows = {0x10, 0x42, 0, 0}});
  CRecordingFeedback feedback;
  ASSERT_EQ(RunConvertCommand(0, clipboard, feedback), ConvertOutcome::Converted);
  CDibImage result;
  ASSERT_TRUE(ReadPackedDib(clipboard.m_block.data(), clipboard.m_block.size(), result));
  EXPECT_EQ(result.GetPixelIndex(0, 0), static_cast<int>(Luminance(Gray(132)) * 15.9999));
  EXPECT_EQ(result.GetPixelIndex(0, 0), 8);
}

TEST(ConvertCommand, SecondThresholdPassGivesTheSamePixels) {
  CMemoryClipboard clipboard;
  CDibImage source;
  MakeImage24(source, 9, 4, [](int x, int y) { return Gray((x * 29 + y * 71) % 256); });
  clipboard.m_block = PackedBytes(source);
  CRecordingFeedback feedback;
  ASSERT_EQ(RunConvertCommand(3, clipboard, feedback), ConvertOutcome::Converted);
  const auto first = clipboard.m_block;
  ASSERT_EQ(RunConvertCommand(3, clipboard, feedback), ConvertOutcome::Converted);
  EXPECT_EQ(clipboard.m_block, first);
}
