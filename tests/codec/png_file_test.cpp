#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "app/core/conversion_mode.h"
#include "codec/png_file.h"
#include "png_samples.h"
#include "test_images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const CDibImage &image) {
  Bytes png;
  const bool written = WritePng(image, [&](const std::uint8_t *data, std::size_t size) {
    png.insert(png.end(), data, data + size);
    return true;
  });
  EXPECT_TRUE(written);
  return png;
}

// Reads `png` (which must be accepted) and returns its pixels, top row first.
std::vector<ColorValue> Pixels(const Bytes &png) {
  CDibImage image;
  PictureRefusal why;
  EXPECT_TRUE(ReadPngBytes(png.data(), png.size(), image, &why)) << DescribeRefusal(why);
  std::vector<ColorValue> pixels;
  if (!image.HasSection())
    return pixels;
  EXPECT_EQ(image.BitCount(), 24);
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      pixels.push_back(image.GetPixelColor(x, y));
  return pixels;
}

// The oracles, in floating point rather than the reader's integers: 16 bits to 8 to nearest,
// and a channel over white by its alpha, to nearest (neither ever falls on a half).
int Nearest8(int v16) { return static_cast<int>(std::lround(v16 / 257.0)); }
int OverWhite(int c, int a) {
  return static_cast<int>(std::lround((c * a + 255.0 * (255 - a)) / 255.0));
}

} // namespace

// A converter's result at each depth, odd-sized so rows end in a partial byte, written and read
// back: every pixel keeps its colour, and the file is indexed at the result's depth with the
// result's table.
TEST(PngFile, ResultsRoundTripAtEveryDepth) {
  CDibImage source;
  MakeImage24(source, 37, 11, [](int x, int y) { return RgbColor(x * 7, y * 23, (x ^ y) * 5); });
  for (int mode : {0, 1, 2, 3, 5, 7}) {
    CDibImage result;
    ASSERT_TRUE(ConversionModes[mode].convert(source, result));
    const Bytes png = Encode(result);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png[24], result.BitCount()) << mode; // IHDR bit depth
    EXPECT_EQ(png[25], 3) << mode;                 // palette colour type
    const auto chunks = PngChunks(png);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].type, "PLTE");
    EXPECT_EQ(chunks[1].length, 3u * static_cast<std::uint32_t>(result.m_paletteCount)) << mode;
    const std::vector<ColorValue> pixels = Pixels(png);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(result.Width()) * result.Height());
    for (int y = 0, i = 0; y < result.Height(); ++y)
      for (int x = 0; x < result.Width(); ++x, ++i)
        ASSERT_EQ(pixels[i], result.GetPixelColor(x, y))
            << "mode " << mode << " at " << x << "," << y;
  }
}

// PLTE covers every index a pixel uses, even behind a short table, and never more entries
// than the depth can address, even when the table is longer.
TEST(PngFile, PaletteCoversUsedIndicesWithinTheDepth) {
  const RgbQuad three[3] = {{0, 0, 0, 0}, {255, 255, 255, 0}, {0, 0, 255, 0}};
  CDibImage shortTable;
  ASSERT_TRUE(shortTable.Create(3, 1, 8, three, 2));
  shortTable.SetPixelIndex(2, 0, 5);
  Bytes png = Encode(shortTable);
  ASSERT_GE(PngChunks(png).size(), 2u);
  EXPECT_EQ(PngChunks(png)[1].length, 3u * 6);
  EXPECT_EQ(Pixels(png), (std::vector<ColorValue>{0, 0, 0})); // behind the table: black

  CDibImage longTable; // 1 bit per pixel, 3 entries
  ASSERT_TRUE(longTable.Create(2, 1, 1, three, 3));
  longTable.SetPixelIndex(1, 0, 1);
  png = Encode(longTable);
  ASSERT_GE(PngChunks(png).size(), 2u);
  EXPECT_EQ(PngChunks(png)[1].length, 3u * 2);
  EXPECT_EQ(Pixels(png), (std::vector<ColorValue>{0, RgbColor(255, 255, 255)}));
}

TEST(PngFile, TrueColourImagesRoundTrip) {
  CDibImage image24;
  MakeImage24(image24, 5, 3, [](int x, int y) { return RgbColor(x * 50, y * 80, 255 - x); });
  const std::vector<ColorValue> expected = Pixels(Encode(image24));
  for (int y = 0, i = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x, ++i)
      EXPECT_EQ(expected[i], image24.GetPixelColor(x, y));

  // 32-bit rows: blue, green, red and a byte that is dropped.
  DibLayout layout{.width = 5, .height = 3, .bitCount = 32};
  for (int y = 2; y >= 0; --y)
    for (int x = 0; x < 5; ++x) {
      const ColorValue c = image24.GetPixelColor(x, y);
      layout.rows.insert(layout.rows.end(), {static_cast<std::uint8_t>(BlueOf(c)),
                                             static_cast<std::uint8_t>(GreenOf(c)),
                                             static_cast<std::uint8_t>(RedOf(c)), 0xAB});
    }
  const Bytes block = BuildPackedDib(layout);
  CDibImage image32;
  ASSERT_TRUE(image32.CreateFromHeader(
      [&] {
        DibInfoHeader h{};
        std::memcpy(&h, block.data(), sizeof h);
        return h;
      }(),
      nullptr, block.data() + 40));
  EXPECT_EQ(Pixels(Encode(image32)), expected);

  // Noise in pairs of equal rows, the second of each going as its difference to the first:
  // the rows are deflated in several blocks and the stream spans several IDAT chunks.
  CDibImage large;
  MakeImage24(large, 640, 360, [](int x, int y) {
    auto v = static_cast<std::uint32_t>(x + (y / 2) * 640) * 2654435761u;
    v ^= v >> 15;
    v *= 2246822519u;
    v ^= v >> 13;
    return RgbColor(static_cast<int>(v >> 24), static_cast<int>(v >> 16 & 255),
                    static_cast<int>(v >> 8 & 255));
  });
  const Bytes png = Encode(large);
  const auto chunks = PngChunks(png);
  EXPECT_GT(std::count_if(chunks.begin(), chunks.end(),
                          [](const PngChunk &chunk) { return chunk.type == "IDAT"; }),
            1);
  const std::vector<ColorValue> pixels = Pixels(png);
  ASSERT_EQ(pixels.size(), std::size_t{640} * 360);
  for (int y = 0, i = 0; y < 360; ++y)
    for (int x = 0; x < 640; ++x, ++i)
      ASSERT_EQ(pixels[i], large.GetPixelColor(x, y)) << x << "," << y;
}

// Every 16-bit value reduces to the nearest 8-bit one, and every 8-bit colour and alpha pair
// flattens onto white to the nearest value.
TEST(PngFile, SixteenBitSamplesAndAlphaFollowTheRoundingRules) {
  PngLayout wide{.width = 256, .height = 256, .colorType = 0, .bitDepth = 16};
  for (int v = 0; v < 65536; ++v)
    wide.samples.push_back(static_cast<std::uint16_t>(v));
  std::vector<ColorValue> pixels = Pixels(CraftPng(wide));
  ASSERT_EQ(pixels.size(), 65536u);
  for (int v = 0; v < 65536; ++v)
    ASSERT_EQ(pixels[v], Gray(Nearest8(v))) << v;

  PngLayout alpha{.width = 256, .height = 256, .colorType = 4, .bitDepth = 8};
  for (int a = 0; a < 256; ++a)
    for (int c = 0; c < 256; ++c)
      alpha.samples.insert(alpha.samples.end(),
                           {static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(a)});
  pixels = Pixels(CraftPng(alpha));
  ASSERT_EQ(pixels.size(), 65536u);
  for (int a = 0, i = 0; a < 256; ++a)
    for (int c = 0; c < 256; ++c, ++i)
      ASSERT_EQ(pixels[i], Gray(OverWhite(c, a))) << c << " at alpha " << a;

  // 16-bit alpha: both the colour and the alpha reduce first, then flatten.
  PngLayout both{.width = 3, .colorType = 6, .bitDepth = 16};
  both.samples = {0x8000, 0xFFFF, 0x0080, 0x8000, // half alpha
                  0x1234, 0x5678, 0x9ABC, 0x0000, // transparent
                  0x0081, 0x7F7F, 0xFFFF, 0xFFFF};
  EXPECT_EQ(Pixels(CraftPng(both)),
            (std::vector<ColorValue>{RgbColor(OverWhite(128, 128), 255, OverWhite(0, 128)),
                                     Gray(255), RgbColor(1, 127, 255)}));
}

// Transparency by table and by key, at low depths and at 16 bits, interlaced or not; gamma,
// chromaticities and a broken colour profile change nothing.
TEST(PngFile, TransparencyFromTablesAndKeysIsFlattenedOntoWhite) {
  PngLayout palette{.width = 4, .colorType = 3, .bitDepth = 2, .samples = {0, 1, 2, 3}};
  palette.palette = {{{200, 100, 0}}, {{10, 20, 30}}, {{255, 0, 0}}, {{0, 0, 255}}};
  palette.paletteAlpha = {0, 128, 255}; // the fourth entry is opaque
  EXPECT_EQ(Pixels(CraftPng(palette)),
            (std::vector<ColorValue>{
                Gray(255), RgbColor(OverWhite(10, 128), OverWhite(20, 128), OverWhite(30, 128)),
                RgbColor(255, 0, 0), RgbColor(0, 0, 255)}));

  // Gray at 2 bits scales by 85; the key is compared before scaling. A key beyond the depth
  // (6 at 2 bits, written raw: libpng writes no such key) matches nothing, not its low bits.
  PngLayout gray{.width = 4, .colorType = 0, .bitDepth = 2, .samples = {0, 1, 2, 3}};
  gray.key = {{2, 0, 0}};
  EXPECT_EQ(Pixels(CraftPng(gray)),
            (std::vector<ColorValue>{Gray(0), Gray(85), Gray(255), Gray(255)}));
  gray.key.reset();
  gray.chunks = {{"tRNS", {0, 6}}};
  EXPECT_EQ(Pixels(CraftPng(gray)),
            (std::vector<ColorValue>{Gray(0), Gray(85), Gray(170), Gray(255)}));
  PngLayout rgbKey{.width = 2, .colorType = 2, .bitDepth = 8, .samples = {1, 2, 3, 4, 5, 6}};
  rgbKey.chunks = {{"tRNS", {0x01, 0x01, 0, 2, 0, 3}}}; // red 257
  EXPECT_EQ(Pixels(CraftPng(rgbKey)),
            (std::vector<ColorValue>{RgbColor(1, 2, 3), RgbColor(4, 5, 6)}));

  // A 16-bit key matches all 16 bits: a pixel that differs in the low byte only stays.
  PngLayout rgb{.width = 3, .colorType = 2, .bitDepth = 16};
  rgb.samples = {0x1200, 0x3400, 0x5600, 0x1201, 0x3400, 0x5600, 0xFFFF, 0, 0};
  rgb.key = {{0x1200, 0x3400, 0x5600}};
  EXPECT_EQ(Pixels(CraftPng(rgb)),
            (std::vector<ColorValue>{Gray(255),
                                     RgbColor(Nearest8(0x1201), Nearest8(0x3400), Nearest8(0x5600)),
                                     RgbColor(255, 0, 0)}));

  // Interlaced: every pass's pixels land in place, whatever the gamma chunks say.
  PngLayout plain{.width = 13, .height = 11, .colorType = 6, .bitDepth = 8};
  std::vector<ColorValue> expected;
  for (std::uint32_t y = 0; y < plain.height; ++y)
    for (std::uint32_t x = 0; x < plain.width; ++x) {
      const int r = static_cast<int>(x * 19), g = static_cast<int>(y * 23),
                b = static_cast<int>((x * y) % 256), a = static_cast<int>((x + y) % 2 ? 255 : 100);
      plain.samples.insert(plain.samples.end(),
                           {static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(g),
                            static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(a)});
      expected.push_back(RgbColor(OverWhite(r, a), OverWhite(g, a), OverWhite(b, a)));
    }
  PngLayout interlaced = plain;
  interlaced.interlaced = true;
  interlaced.chunks = {{"gAMA", {0, 0, 0x27, 0x10}}, // 0.1
                       {"cHRM", Bytes(32, 1)},
                       {"iCCP", {'x', 0, 0, 0xDE, 0xAD}}}; // a profile that does not inflate
  EXPECT_EQ(Pixels(CraftPng(plain)), expected);
  EXPECT_EQ(Pixels(CraftPng(interlaced)), expected);
}

// A source that fails, throws or never ends; reading stops at the last row; a sink that fails
// or throws.
TEST(PngFile, SourcesAndSinksThatFail) {
  const Bytes png =
      CraftPng({.width = 2, .height = 2, .samples = std::vector<std::uint16_t>(12, 7)});
  const auto chunks = PngChunks(png);
  ASSERT_EQ(chunks.back().type, "IEND");

  // Everything up to IEND, then a read error: the pixels are complete, so that is never asked.
  std::size_t at = 0;
  const std::size_t end = chunks.back().offset;
  auto upToIend = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
    if (at >= end)
      return -1;
    const std::size_t count = std::min(size, end - at);
    std::memcpy(buffer, png.data() + at, count);
    at += count;
    return static_cast<std::ptrdiff_t>(count);
  };
  CDibImage image;
  PictureRefusal why;
  why.png = PngRefusal::BadCrc;
  EXPECT_TRUE(ReadPng(upToIend, image, &why));
  EXPECT_EQ(why.png, PngRefusal::None);

  // One byte at a time reads the same; an error half-way is a read error.
  at = 0;
  std::size_t failAt = png.size();
  auto bytewise = [&](std::uint8_t *buffer, std::size_t) -> std::ptrdiff_t {
    if (at == failAt)
      return -1;
    *buffer = png[at++];
    return 1;
  };
  CDibImage again;
  EXPECT_TRUE(ReadPng(bytewise, again));
  EXPECT_EQ(std::memcmp(image.m_bits, again.m_bits, image.RowsSize()), 0);
  at = 0;
  failAt = png.size() / 2;
  CDibImage failed;
  EXPECT_FALSE(ReadPng(bytewise, failed, &why));
  EXPECT_EQ(why.png, PngRefusal::ReadError);
  EXPECT_FALSE(failed.HasSection());

  // A source that throws: the exception comes through and nothing leaks.
  at = 0;
  auto throwing = [&](std::uint8_t *buffer, std::size_t) -> std::ptrdiff_t {
    if (at == png.size() / 2)
      throw std::bad_alloc();
    *buffer = png[at++];
    return 1;
  };
  CDibImage thrown;
  EXPECT_THROW(ReadPng(throwing, thrown), std::bad_alloc);
  EXPECT_FALSE(thrown.HasSection());

  // Signature, IHDR, then zero-length ancillary chunks without end: refused after a bounded
  // number of chunks, not run forever.
  const Bytes empty = RawChunk("teXt", {});
  std::uint64_t pulled = 0;
  auto endless = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
    for (std::size_t i = 0; i < size; ++i, ++pulled)
      buffer[i] = pulled < 33 ? png[pulled] : empty[(pulled - 33) % empty.size()];
    return static_cast<std::ptrdiff_t>(size);
  };
  CDibImage endlessImage;
  EXPECT_FALSE(ReadPng(endless, endlessImage, &why));
  EXPECT_EQ(why.png, PngRefusal::TooLong);
  EXPECT_LE(pulled, std::uint64_t{1} << 20);

  // A sink that refuses after a few bytes, or throws.
  CDibImage result;
  ASSERT_TRUE(result.Create(64, 64, 8));
  std::size_t taken = 0;
  EXPECT_FALSE(WritePng(result, [&](const std::uint8_t *, std::size_t size) {
    taken += size;
    return taken < 40;
  }));
  EXPECT_THROW(
      WritePng(result, [](const std::uint8_t *, std::size_t) -> bool { throw std::bad_alloc(); }),
      std::bad_alloc);
  CDibImage none;
  EXPECT_FALSE(WritePng(none, [](const std::uint8_t *, std::size_t) { return true; }));
}

// Valid files that other readers take: metadata of tens of MiB before the pixels (skipped,
// never kept), and pixel data in one-byte chunks. Any stream is read through a buffer: the
// source is asked a few times per 64 KiB, however small the chunks.
TEST(PngFile, LargeMetadataAndTinyChunksAreReadThroughABuffer) {
  struct Counted {
    const Bytes &png;
    std::size_t at = 0, calls = 0;
    std::ptrdiff_t operator()(std::uint8_t *buffer, std::size_t size) {
      ++calls;
      const std::size_t count = std::min(size, png.size() - at);
      std::memcpy(buffer, png.data() + at, count);
      at += count;
      return static_cast<std::ptrdiff_t>(count);
    }
  };
  PngLayout noise{.width = 1500, .height = 1000, .compressionLevel = 0};
  for (std::uint32_t i = 0; i < 1500 * 1000 * 3; ++i)
    noise.samples.push_back(static_cast<std::uint16_t>(i * 2654435761u >> 24));
  const std::vector<ColorValue> expected = Pixels(CraftPng(noise));
  PngLayout tiny = noise;
  tiny.idatSize = 1;
  const Bytes tinyChunks = CraftPng(tiny);
  EXPECT_GT(tinyChunks.size(), std::size_t{55} << 20);

  PngLayout small{.width = 2, .height = 2, .samples = std::vector<std::uint16_t>(12, 99)};
  const std::vector<ColorValue> smallPixels = Pixels(CraftPng(small));
  PngLayout privateChunk = small, xmp = small;
  privateChunk.chunks = {{"prVt", Bytes(std::size_t{40} << 20, 0x5A)}};
  Bytes packet(std::size_t{12} << 20, 'x');
  std::memcpy(packet.data(), "XML:com.adobe.xmp\0\0\0\0", 22);
  xmp.chunks = {{"iTXt", packet}, {"iTXt", packet}, {"iTXt", packet}};

  for (const auto &[png, pixels] :
       {std::pair{tinyChunks, &expected}, std::pair{CraftPng(privateChunk), &smallPixels},
        std::pair{CraftPng(xmp), &smallPixels}}) {
    Counted source{png};
    CDibImage image;
    PictureRefusal why;
    ASSERT_TRUE(ReadPng(std::ref(source), image, &why)) << DescribeRefusal(why);
    EXPECT_LE(source.calls, png.size() / 4096 + 2);
    ASSERT_EQ(static_cast<std::size_t>(image.Width()) * image.Height(), pixels->size());
    for (int y = 0, i = 0; y < image.Height(); ++y)
      for (int x = 0; x < image.Width(); ++x, ++i)
        ASSERT_EQ(image.GetPixelColor(x, y), (*pixels)[i]) << x << "," << y;
  }
}

// The reader decides on the size from the header alone: a 16385 × 16385 picture of zeros,
// compressed into a few tens of KiB, is refused before any pixel data is pulled, and so is a
// picture within the pixel limit whose side is beyond its own (2^20 + 1 pixels), while one at
// the side limit is read.
TEST(PngFile, OversizedPicturesAreRefusedBeforeTheirPixels) {
  const Bytes bomb = CraftPng(
      {.width = 16385, .height = 16385, .colorType = 0, .bitDepth = 1, .compressionLevel = 9});
  EXPECT_LT(bomb.size(), 100'000u);
  const Bytes wide = CraftPng({.width = (1u << 20) + 1, .colorType = 6, .bitDepth = 16});
  PngLayout tallLayout{.width = 1, .height = (1u << 20) + 1, .colorType = 0, .bitDepth = 1};
  const Bytes tall = CraftPng(tallLayout);
  for (const Bytes *png : {&bomb, &wide, &tall}) {
    // 16 bytes at a time, so that what is pulled shows where reading stopped.
    std::size_t at = 0;
    auto source = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
      const std::size_t count = std::min({size, png->size() - at, std::size_t{16}});
      std::memcpy(buffer, png->data() + at, count);
      at += count;
      return static_cast<std::ptrdiff_t>(count);
    };
    CDibImage image;
    PictureRefusal why;
    EXPECT_FALSE(ReadPng(source, image, &why));
    EXPECT_EQ(why.png, PngRefusal::TooLarge);
    EXPECT_LE(at, PngChunks(*png)[1].offset + 8 + 16); // up to the first IDAT's header
  }
  tallLayout.height = 1u << 20;
  EXPECT_EQ(Pixels(CraftPng(tallLayout)).size(), std::size_t{1} << 20);
  EXPECT_EQ(Pixels(CraftPng({.width = 1u << 20, .colorType = 6, .bitDepth = 16})).size(),
            std::size_t{1} << 20);
}
