#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/core/conversion_mode.h"
#include "app/core/convert_command.h"
#include "clipboard/file/clipboard_file.h"
#include "codec/bmp_file.h"
#include "codec/png_file.h"
#include "png_samples.h"
#include "temp_folder.h"
#include "test_images.h"

using FileClipboard = TempFolderTest;

TEST_F(FileClipboard, ConvertsInPlaceLikeTheClipboard) {
  CDibImage image;
  MakeSolid24(image, 3, 2, Gray(255));
  Write(Path("pic.bmp"), EncodeBmpFile(image));

  CFileClipboard clipboard(Path("pic.bmp"), Path("pic.bmp"));
  CDibImage read;
  ASSERT_TRUE(clipboard.ReadDib(read));
  CDibImage mono;
  ASSERT_TRUE(mono.Create(3, 2, 1));
  ASSERT_TRUE(clipboard.WriteDib(mono));
  const auto expected = EncodeBmpFile(mono);
  EXPECT_EQ(Contents(Path("pic.bmp")), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(Entries(), std::vector<std::string>{"pic.bmp"});

  CFileClipboard missing(Path("none.bmp"), Path("out.bmp"));
  CDibImage none;
  EXPECT_FALSE(missing.ReadDib(none));
  CDibImage empty;
  EXPECT_FALSE(missing.WriteDib(empty));
  EXPECT_EQ(Entries(), std::vector<std::string>{"pic.bmp"});
}

namespace {

bool SameImage(const CDibImage &a, const CDibImage &b) {
  return std::memcmp(&a.m_header, &b.m_header, sizeof a.m_header) == 0 &&
         a.m_paletteCount == b.m_paletteCount &&
         std::memcmp(a.m_palette, b.m_palette, sizeof a.m_palette) == 0 &&
         a.RowsSize() == b.RowsSize() && std::memcmp(a.m_bits, b.m_bits, a.RowsSize()) == 0;
}

// Streams `bytes` through a pipe into ReadPictureFrom, as standard input would.
bool ReadThroughPipe(const std::vector<std::uint8_t> &bytes, CDibImage &image) {
  int ends[2];
  if (::pipe(ends) != 0)
    return false;
  std::thread writer([&bytes, in = ends[1]] {
    // Small pieces, so that the reader meets every boundary a pipe can cut at.
    for (std::size_t at = 0; at < bytes.size(); at += 7)
      if (::write(in, bytes.data() + at, std::min<std::size_t>(7, bytes.size() - at)) < 0)
        break; // the reader has stopped
    ::close(in);
  });
  const bool read = ReadPictureFrom(ends[0], image);
  ::close(ends[0]);
  writer.join();
  return read;
}

} // namespace

// The reader that streams a file into the image goes its own way to the same checks: it must
// agree with ReadBmpFile on every fuzzing seed and kept crasher, and on 16-bit and bit-field
// rows of every small size (decoded in place), from a file and through a pipe.
TEST_F(FileClipboard, StreamingReaderAgreesWithTheWholeFileReader) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::vector<std::uint8_t>> files;
  const std::filesystem::path fuzz = VANTOLY_FUZZ_FOLDER;
  for (const char *folder : {"corpus/bmp_file", "crashers/bmp_file"}) {
    if (!std::filesystem::is_directory(fuzz / folder))
      continue;
    for (const auto &entry : std::filesystem::directory_iterator(fuzz / folder)) {
      const std::string bytes = Contents(entry.path().string());
      if (!bytes.empty()) // a mode byte, then the file
        files.emplace_back(bytes.begin() + 1, bytes.end());
    }
  }
  ASSERT_GE(files.size(), 40u);
  for (std::int32_t width = 1; width <= 5; ++width)
    for (std::int32_t height = 1; height <= 3; ++height)
      for (const auto &[bits, masks] :
           {std::pair<std::uint16_t, std::vector<std::uint32_t>>{16, {}},
            {16, {0xF800, 0x07E0, 0x001F}},
            {32, {0x00FF0000, 0x0000FF00, 0x000000FF}},
            {32, {0x3FF00000, 0x000FFC00, 0x000003FF}}}) {
        DibLayout layout{.width = width,
                         .height = height,
                         .bitCount = bits,
                         .compression = masks.empty() ? 0u : 3u,
                         .masks = masks};
        layout.rows.resize(static_cast<std::size_t>(DibStride(bits, width) * height));
        for (std::size_t i = 0; i < layout.rows.size(); ++i)
          layout.rows[i] = static_cast<std::uint8_t>(i * 89 + 17);
        files.push_back(BuildBmpFile(layout, 3));
      }

  for (const auto &file : files) {
    CDibImage whole;
    const bool accepted = ReadBmpFile(file.data(), file.size(), whole);
    Write(Path("in.bmp"), file);
    const int fd = ::open(Path("in.bmp").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    CDibImage fromFile;
    EXPECT_EQ(ReadPictureFrom(fd, fromFile), accepted) << Fnv1a(file);
    ::close(fd);
    CDibImage fromPipe;
    EXPECT_EQ(ReadThroughPipe(file, fromPipe), accepted) << Fnv1a(file);
    if (accepted) {
      EXPECT_TRUE(SameImage(fromFile, whole)) << Fnv1a(file);
      EXPECT_TRUE(SameImage(fromPipe, whole)) << Fnv1a(file);
    }
  }
}

namespace {

class CSilentFeedback : public CConvertFeedback {
public:
  void ShowMessage(const char *) override {}
  void Beep() override {}
  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}
};

} // namespace

// vantoly-convert's request on PNG files: in every mode, a PNG of a picture converts into a
// PNG with the pixels, depth and colour table that the BMP of the same picture converts into.
TEST_F(FileClipboard, PngInAndOutGiveWhatBmpGives) {
  CDibImage picture;
  MakeImage24(picture, 37, 19, [](int x, int y) { return RgbColor(x * 7, y * 13, (x ^ y) * 9); });
  Write(Path("in.bmp"), EncodeBmpFile(picture));
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(WritePng(picture, [&png](const std::uint8_t *data, std::size_t size) {
    png.insert(png.end(), data, data + size);
    return true;
  }));
  Write(Path("in.png"), png);
  CSilentFeedback feedback;
  for (int mode = 0; mode < 8; ++mode) {
    CFileClipboard fromBmp(Path("in.bmp"), Path("out.bmp"));
    ASSERT_EQ(RunConvertCommand(mode, fromBmp, feedback), ConvertOutcome::Converted);
    CFileClipboard fromPng(Path("in.png"), Path("out.png"));
    ASSERT_EQ(RunConvertCommand(mode, fromPng, feedback), ConvertOutcome::Converted);

    const std::string bmpFile = Contents(Path("out.bmp"));
    CDibImage expected;
    ASSERT_TRUE(ReadBmpFile(reinterpret_cast<const std::uint8_t *>(bmpFile.data()), bmpFile.size(),
                            expected));
    const std::string pngText = Contents(Path("out.png"));
    const std::vector<std::uint8_t> result(pngText.begin(), pngText.end());
    ASSERT_GT(result.size(), 26u);
    EXPECT_EQ(result[24], expected.BitCount()) << mode; // indexed at the result's depth
    EXPECT_EQ(result[25], 3) << mode;
    std::vector<std::uint8_t> table;
    for (const PngChunk &chunk : PngChunks(result))
      if (chunk.type == "PLTE")
        table.assign(result.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8),
                     result.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8 + chunk.length));
    ASSERT_EQ(table.size(), 3u * static_cast<std::size_t>(expected.m_paletteCount)) << mode;
    for (int i = 0; i < expected.m_paletteCount; ++i) {
      const RgbQuad &entry = expected.m_palette[i];
      EXPECT_EQ(RgbColor(table[3 * i], table[3 * i + 1], table[3 * i + 2]),
                RgbColor(entry.rgbRed, entry.rgbGreen, entry.rgbBlue))
          << "mode " << mode << ", entry " << i;
    }
    CDibImage pixels;
    ASSERT_TRUE(ReadPngBytes(result.data(), result.size(), pixels)) << mode;
    ASSERT_EQ(pixels.Width(), expected.Width());
    ASSERT_EQ(pixels.Height(), expected.Height());
    for (int y = 0; y < expected.Height(); ++y)
      for (int x = 0; x < expected.Width(); ++x)
        ASSERT_EQ(pixels.GetPixelColor(x, y), expected.GetPixelColor(x, y))
            << "mode " << mode << " at " << x << "," << y;
  }
}

// A picture of several pieces is read from the end of its file and written from the end of
// the new one while it is converted: in every mode the file holds exactly what the same
// conversion in memory encodes, whichever step runs ahead.
TEST_F(FileClipboard, BmpGoesThroughInPiecesAsConverted) {
  CDibImage picture;
  MakeImage24(picture, 1031, 777,
              [](int x, int y) { return RgbColor(x * 7 + y, y * 13, (x ^ y) * 9); });
  Write(Path("in.bmp"), EncodeBmpFile(picture));
  CSilentFeedback feedback;
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    CFileClipboard clipboard(Path("in.bmp"), Path("out.bmp"));
    ASSERT_EQ(RunConvertCommand(mode, clipboard, feedback), ConvertOutcome::Converted);
    CDibImage expected;
    ASSERT_TRUE(ConversionModes[mode].convert(picture, expected));
    const std::vector<std::uint8_t> file = EncodeBmpFile(expected);
    EXPECT_EQ(Contents(Path("out.bmp")), std::string(file.begin(), file.end())) << mode;
  }
}
