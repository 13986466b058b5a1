// The converters walk rows with one fast path per source layout, tables and memos; the
// per-pixel loops in reference_converters.cpp are what they must equal, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/core/conversion_mode.h"
#include "bitmap/row_progress.h"
#include "convert/converters.h"
#include "convert/error_diffusion.h"
#include "convert/reference_converters.h"
#include "test_images.h"

namespace {

// Every colour once: pixel (x, y) of a 4096 × 4096 24-bit image is colour y × 4096 + x.
constexpr int Side = 4096;
ColorValue EveryColor(int x, int y) {
  const int v = y * Side + x;
  return RgbColor(v & 0xFF, v >> 8 & 0xFF, v >> 16);
}

void MakeEveryColor(CDibImage &image) {
  DibInfoHeader header{40, Side, Side, 1, 24, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(image.CreateFromHeader(header, nullptr, nullptr));
  for (int y = 0; y < Side; ++y) {
    std::uint8_t *p = image.RowAddress(y);
    for (int x = 0; x < Side; ++x, p += 3) {
      const ColorValue c = EveryColor(x, y);
      p[0] = static_cast<std::uint8_t>(BlueOf(c));
      p[1] = static_cast<std::uint8_t>(GreenOf(c));
      p[2] = static_cast<std::uint8_t>(RedOf(c));
    }
  }
}

// Pixel x of a row of indices at 1, 4 or 8 bits.
int IndexIn(const std::uint8_t *row, int bitCount, int x) {
  switch (bitCount) {
  case 1: return row[x / 8] >> (7 - x % 8) & 1;
  case 4: return x % 2 ? row[x / 2] & 0x0F : row[x / 2] >> 4;
  default: return row[x];
  }
}

} // namespace

// 24-bit only: the 32-bit path is the same reader with another pixel width, and the test below
// compares it on noise and on flat pictures.
TEST(FastConverters, EveryColourGivesWhatTheFormulaGives) {
  CDibImage source, gray16, gray256, standard, mono;
  MakeEveryColor(source);
  ASSERT_TRUE(ConvertGray16(source, gray16));
  ASSERT_TRUE(ConvertGray256(source, gray256));
  ASSERT_TRUE(ConvertStandard16(source, standard, StandardPalette16, 16));
  ASSERT_TRUE(ConvertMonochrome(source, mono));
  int wrong = 0;
  for (int y = 0; y < Side && wrong < 10; ++y) {
    const std::uint8_t *g16 = gray16.RowAddress(y), *g256 = gray256.RowAddress(y),
                       *s16 = standard.RowAddress(y), *m = mono.RowAddress(y);
    for (int x = 0; x < Side; ++x) {
      const ColorValue c = EveryColor(x, y);
      const double l = Luminance(c);
      const int expected[4] = {static_cast<int>(l * 15.9999), static_cast<int>(l * 255.9999),
                               NearestPaletteIndex(StandardPalette16, 16, c), l > 0.5 ? 1 : 0};
      const int got[4] = {IndexIn(g16, 4, x), IndexIn(g256, 8, x), IndexIn(s16, 4, x),
                          IndexIn(m, 1, x)};
      for (int mode = 0; mode < 4; ++mode)
        if (got[mode] != expected[mode] && ++wrong <= 10)
          ADD_FAILURE() << "mode " << mode << ", colour 0x" << std::hex << c << std::dec << ": "
                        << got[mode] << " instead of " << expected[mode];
    }
  }
}

namespace {

// A source of the given depth and size. Indexed sources get a random table of `tableSize`
// entries; flat ones are runs of a few colours, as in screenshots, the others noise.
void MakeSource(CDibImage &image, std::mt19937 &random, int bitCount, int width, int height,
                int tableSize, bool flat) {
  RgbQuad table[256];
  for (RgbQuad &entry : table)
    entry = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
             static_cast<std::uint8_t>(random()), 0};
  DibInfoHeader header{40, width, height, 1, static_cast<std::uint16_t>(bitCount),
                       0,  0,     0,      0, static_cast<std::uint32_t>(tableSize),
                       0};
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(DibStride(bitCount, width)) *
                                 static_cast<std::size_t>(height));
  // Flat: a handful of pixel values in runs; stored bytes repeat with the pixel's width.
  const int bytesPerRun = bitCount >= 8 ? bitCount / 8 : 1;
  std::uint8_t few[3][4];
  for (auto &value : few)
    for (std::uint8_t &b : value)
      b = static_cast<std::uint8_t>(random() % 3 == 0 ? 255 : random());
  for (std::size_t i = 0; i < rows.size();) {
    const int run = flat ? static_cast<int>(random() % 40) + 1 : 1;
    const auto &value = few[random() % 3];
    for (int k = 0; k < run && i < rows.size(); ++k)
      for (int b = 0; b < bytesPerRun && i < rows.size(); ++b, ++i)
        rows[i] = flat ? value[b] : static_cast<std::uint8_t>(random());
  }
  ASSERT_TRUE(image.CreateFromHeader(header, table, rows.data()));
}

using Converter = bool (*)(const CDibImage &, CDibImage &);

// The destination modes 6 and 7 fill, made as the Convert command makes it, or with another
// depth or table for a converter that is given one.
template <Converter Diffuse>
bool DiffuseInto(const CDibImage &source, CDibImage &dest, int bitCount, const RgbQuad *table,
                 int count) {
  dest.Create(source.Width(), source.Height(), bitCount, table, count);
  return Diffuse(source, dest);
}

} // namespace

TEST(FastConverters, EveryLayoutAndSizeGivesThePerPixelBytes) {
  struct Mode {
    const char *name;
    Converter fast, slow;
  };
  const Mode modes[] = {
      {"gray16", ConvertGray16, reference::ConvertGray16},
      {"gray256", ConvertGray256, reference::ConvertGray256},
      {"standard16", ConversionModes[2].convert,
       [](const CDibImage &s, CDibImage &d) {
         return reference::ConvertStandard16(s, d, StandardPalette16, 16);
       }},
      {"standard16 in the first 12 colours",
       [](const CDibImage &s, CDibImage &d) {
         return ConvertStandard16(s, d, StandardPalette16, 12);
       },
       [](const CDibImage &s, CDibImage &d) {
         return reference::ConvertStandard16(s, d, StandardPalette16, 12);
       }},
      {"monochrome", ConvertMonochrome, reference::ConvertMonochrome},
      {"dither", ConversionModes[4].convert,
       [](const CDibImage &s, CDibImage &d) { return reference::ConvertOrderedDither(s, d, 1); }},
      {"dither x2", ConversionModes[5].convert,
       [](const CDibImage &s, CDibImage &d) { return reference::ConvertOrderedDither(s, d, 2); }},
      {"dither x3", [](const CDibImage &s, CDibImage &d) { return ConvertOrderedDither(s, d, 3); },
       [](const CDibImage &s, CDibImage &d) { return reference::ConvertOrderedDither(s, d, 3); }},
      {"diffuse mono",
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<DiffuseMonochrome>(s, d, 1, nullptr, 0);
       },
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<reference::DiffuseMonochrome>(s, d, 1, nullptr, 0);
       }},
      {"diffuse standard16",
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<DiffuseStandard16>(s, d, 4, nullptr, 0);
       },
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<reference::DiffuseStandard16>(s, d, 4, nullptr, 0);
       }},
      // Another table searches that table; depths that cannot hold an index keep the pixel.
      {"diffuse into 8 bpp, 256 colours",
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<DiffuseStandard16>(s, d, 8, nullptr, 0);
       },
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<reference::DiffuseStandard16>(s, d, 8, nullptr, 0);
       }},
      {"diffuse into 1 bpp, 16 colours",
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<DiffuseStandard16>(s, d, 1, StandardPalette16, 16);
       },
       [](const CDibImage &s, CDibImage &d) {
         return DiffuseInto<reference::DiffuseStandard16>(s, d, 1, StandardPalette16, 16);
       }},
  };
  struct Layout {
    int bitCount, tableSize; // tableSize 0: the depth's full table
  };
  // Tables shorter than the indices reach: the indices beyond read as black.
  const Layout layouts[] = {{1, 0},   {1, 1},  {4, 0},  {4, 5}, {8, 0},
                            {8, 100}, {16, 0}, {24, 0}, {32, 0}};
  // The error diffusion runs Lanes rows at a time, each Lag pixels behind the one above (rows
  // narrower than that one at a time), and loads rows Chunk pixels at a time: narrow pictures,
  // wide ones of fewer than Lanes rows, of one band and a row, and of two bands and a row whose
  // width ends one short of a chunk, with all rows under way mid-band.
  using diffusion::Chunk, diffusion::Lag, diffusion::Lanes;
  const int sizes[][2] = {{1, 1},           {1, 5},           {7, 1},
                          {3, 3},           {9, 4},           {Lag / 2, Lanes},
                          {17, 2},          {Lag, Lanes + 1}, {2 * Lag + 1, 6 * Lanes + 5},
                          {200, Lanes / 2}, {301, Lanes - 1}, {8 * Chunk - 1, 2 * Lanes + 1}};
  std::mt19937 random(8);
  for (const Layout &layout : layouts)
    for (const auto &size : sizes)
      for (bool flat : {false, true}) {
        CDibImage source;
        MakeSource(source, random, layout.bitCount, size[0], size[1], layout.tableSize, flat);
        for (const Mode &mode : modes) {
          CDibImage fast, slow;
          ASSERT_TRUE(mode.fast(source, fast));
          ASSERT_TRUE(mode.slow(source, slow));
          ASSERT_EQ(PackedBytes(fast), PackedBytes(slow))
              << mode.name << " of a " << (flat ? "flat " : "noisy ") << size[0] << "x" << size[1]
              << " source at " << layout.bitCount << " bpp, table " << layout.tableSize;
        }
      }
}

// The error diffusion's bands side by side on threads: forced to 1, 2 and 3 threads and to more
// threads than rows, on pictures of one-row bands (narrower than Lag), of bands that overlap
// across threads and of bands far enough apart for the one below to sleep (Slack).
TEST(FastConverters, DiffusionOnAnyNumberOfThreadsGivesThePlainBytes) {
  using diffusion::BandLead, diffusion::Chunk, diffusion::Lag, diffusion::Lanes, diffusion::Slack;
  const int sizes[][2] = {{1, 3},
                          {Lag - 1, 4 * Lanes + 3},
                          {Lag, Lanes + 1},
                          {BandLead + Chunk + 3, 3 * Lanes},
                          {BandLead + Slack + 2 * Chunk - 1, 5 * Lanes - 1}};
  std::mt19937 random(21);
  for (const auto &[width, height] : sizes) {
    CDibImage source, mono, colour;
    MakeSource(source, random, 24, width, height, 0, false);
    ASSERT_TRUE(DiffuseInto<reference::DiffuseMonochrome>(source, mono, 1, nullptr, 0));
    ASSERT_TRUE(DiffuseInto<reference::DiffuseStandard16>(source, colour, 4, nullptr, 0));
    for (const int threads : {1, 2, 3, height + 1}) {
      CDibImage d1, d4;
      ASSERT_TRUE(d1.Create(width, height, 1) && d4.Create(width, height, 4));
      ASSERT_TRUE(diffusion::DiffuseMonochrome(source, d1, threads));
      ASSERT_TRUE(diffusion::DiffuseStandard16(source, d4, threads));
      EXPECT_EQ(PackedBytes(d1), PackedBytes(mono)) << width << "x" << height << ", " << threads;
      EXPECT_EQ(PackedBytes(d4), PackedBytes(colour)) << width << "x" << height << ", " << threads;
    }

    // As a request overlaps its steps: the source filled on one thread, every band's thread
    // waiting for its rows, and the result's rows taken on another as they are published,
    // each final by then. A filling that fails halfway stops them all, and the conversion
    // fails.
    const auto stride = DibStride(4, width);
    std::vector<std::uint8_t> expected;
    for (int y = 0; y < height; ++y)
      expected.insert(expected.end(), colour.RowAddress(y), colour.RowAddress(y) + stride);
    for (const bool complete : {true, false}) {
      CDibImage filled, dest;
      CRowProgress filling, published;
      const DibInfoHeader header{40, width, height, 1, 24, 0, 0, 0, 0, 0, 0};
      ASSERT_TRUE(filled.CreateFromHeader(header, nullptr, nullptr) &&
                  dest.Create(width, height, 4));
      filled.m_rowProgress = &filling;
      dest.m_rowProgress = &published;
      std::thread filler([&] {
        for (int y = 0; y < (complete ? height : height / 2); ++y) {
          std::memcpy(filled.RowAddress(y), source.RowAddress(y), DibStride(24, width));
          PublishRows(filled, y + 1);
        }
        filling.End(complete);
      });
      std::vector<std::uint8_t> taken;
      std::thread taker([&] {
        for (int y = 0; y < height && WaitForRows(dest, y + 1); ++y)
          taken.insert(taken.end(), dest.RowAddress(y), dest.RowAddress(y) + stride);
      });
      const bool converted = diffusion::DiffuseStandard16(filled, dest, 3);
      published.End(converted);
      filler.join();
      taker.join();
      EXPECT_EQ(converted, complete);
      if (complete) {
        EXPECT_EQ(taken, expected) << width << "x" << height;
      }
    }
  }
}

// A result that is not wanted any more (the request has failed elsewhere) stops every mode at
// its next published row, not at the end of the picture: the bottom row is never made.
TEST(FastConverters, EveryModeStopsOnceItsResultIsAbandoned) {
  CDibImage source;
  MakeImage24(source, 2 * diffusion::Lag, 4 * diffusion::Lanes,
              [](int, int) -> ColorValue { return 0xFFFFFF; });
  for (const ConversionModeEntry &mode : ConversionModes) {
    CRowProgress unwanted;
    unwanted.Abandon();
    CDibImage dest;
    dest.m_rowProgress = &unwanted;
    EXPECT_FALSE(mode.convert(source, dest)) << mode.text;
    ASSERT_TRUE(dest.HasSection()) << mode.text;
    const std::uint8_t *bottom = dest.RowAddress(dest.Height() - 1);
    EXPECT_EQ(std::vector<std::uint8_t>(bottom, bottom + dest.Width() / 8),
              std::vector<std::uint8_t>(dest.Width() / 8, 0))
        << mode.text;
  }
}
