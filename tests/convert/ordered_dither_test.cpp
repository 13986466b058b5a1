#include <gtest/gtest.h>

#include <climits>

#include "convert/converters.h"
#include "test_images.h"

namespace {

// Whites among the 16 pixels of the aligned 4 × 4 block at (bx, by).
int WhitesInBlock(const CDibImage &image, int bx, int by) {
  int whites = 0;
  for (int y = by; y < by + 4; ++y)
    for (int x = bx; x < bx + 4; ++x)
      whites += image.GetPixelIndex(x, y);
  return whites;
}

} // namespace

TEST(OrderedDither, GrayFifteenTimesKGivesKWhitesPerBlock) {
  for (int k = 0; k <= 16; ++k) {
    CDibImage source, dest;
    MakeSolid24(source, 8, 8, Gray(15 * k > 255 ? 255 : 15 * k));
    ASSERT_TRUE(ConvertOrderedDither(source, dest, 1));
    for (int by = 0; by < 8; by += 4)
      for (int bx = 0; bx < 8; bx += 4)
        EXPECT_EQ(WhitesInBlock(dest, bx, by), k) << "gray " << 15 * k;
  }
}

TEST(OrderedDither, PositionsTurnWhiteInThresholdOrder) {
  CDibImage source, dest;
  MakeSolid24(source, 4, 4, Gray(15));
  ASSERT_TRUE(ConvertOrderedDither(source, dest, 1));
  EXPECT_EQ(dest.GetPixelIndex(1, 1), 1);
  MakeSolid24(source, 4, 4, Gray(30));
  ASSERT_TRUE(ConvertOrderedDither(source, dest, 1));
  EXPECT_EQ(dest.GetPixelIndex(3, 3), 1);

  // Brightness exactly 0.5: v = 8, so thresholds 0-7 are white and 8 is not.
  MakeSolid24(source, 4, 4, RgbColor(233, 49, 255));
  ASSERT_TRUE(ConvertOrderedDither(source, dest, 1));
  const int thresholds[4][4] = {{4, 10, 7, 9}, {12, 0, 15, 3}, {6, 8, 5, 11}, {14, 2, 13, 1}};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(dest.GetPixelIndex(x, y), thresholds[y][x] < 8 ? 1 : 0) << x << "," << y;
}

TEST(OrderedDither, ExtremesAndUndecodedPixels) {
  CDibImage black, white, zero, sixteen;
  MakeSolid24(black, 5, 3, Gray(7));
  MakeSolid24(white, 5, 3, Gray(233));
  // 0.299 × 4 + 0.587 × 2 + 0.114 × 45 = 7.5: v is exactly 0, which exceeds no threshold.
  MakeSolid24(zero, 5, 3, RgbColor(4, 2, 45));
  DibInfoHeader header{40, 5, 3, 1, 16, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(sixteen.CreateFromHeader(header, nullptr, nullptr));
  const std::pair<const CDibImage *, int> cases[] = {
      {&black, 0}, {&white, 1}, {&zero, 0}, {&sixteen, 1}};
  for (const auto &[source, index] : cases) {
    CDibImage dest;
    ASSERT_TRUE(ConvertOrderedDither(*source, dest, 1));
    EXPECT_EQ(Indices(dest), std::vector<int>(15, index));
  }
}

TEST(OrderedDither, DoubleSizeUsesFourThresholdsPerSourcePixel) {
  CDibImage source, dest;
  MakeSolid24(source, 1, 1, Gray(128));
  ASSERT_TRUE(ConvertOrderedDither(source, dest, 2));
  ASSERT_EQ(dest.Width(), 2);
  ASSERT_EQ(dest.Height(), 2);
  EXPECT_EQ(Indices(dest), (std::vector<int>{1, 0, 0, 1}));

  // Each source pixel owns a 2 × 2 block: a source of black and white columns and rows.
  CDibImage pattern, big;
  MakeImage24(pattern, 3, 5, [](int x, int y) { return Gray((x + y) % 2 ? 255 : 0); });
  ASSERT_TRUE(ConvertOrderedDither(pattern, big, 2));
  EXPECT_EQ(big.Width(), 6);
  EXPECT_EQ(big.Height(), 10);
  EXPECT_EQ(big.m_stride, 4);
  EXPECT_EQ(big.BitCount(), 1);
  EXPECT_EQ(big.m_paletteCount, 2);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 6; ++x)
      EXPECT_EQ(big.GetPixelIndex(x, y), (x / 2 + y / 2) % 2);
}

TEST(OrderedDither, PatternIsAnchoredAtTheTopRow) {
  // Heights 4 and 5 must give the same top rows.
  CDibImage a, b, da, db;
  MakeSolid24(a, 4, 4, Gray(128));
  MakeSolid24(b, 4, 5, Gray(128));
  ASSERT_TRUE(ConvertOrderedDither(a, da, 1));
  ASSERT_TRUE(ConvertOrderedDither(b, db, 1));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(da.GetPixelIndex(x, y), db.GetPixelIndex(x, y));
  EXPECT_EQ(da.GetPixelIndex(0, 0), 1); // threshold 4 < 8.03
}

TEST(OrderedDither, RefusesSizesThatDoNotFit) {
  CDibImage source, empty;
  MakeSolid24(source, 2, 2, Gray(128));
  for (int scale : {0, -1, 0x40000000, INT_MAX}) {
    CDibImage dest;
    EXPECT_FALSE(ConvertOrderedDither(source, dest, scale)) << scale;
    EXPECT_FALSE(dest.HasSection());
  }
  CDibImage dest;
  EXPECT_FALSE(ConvertOrderedDither(empty, dest, 1));
  EXPECT_FALSE(dest.HasSection());
}
