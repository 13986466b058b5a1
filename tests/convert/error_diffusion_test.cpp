#include <gtest/gtest.h>

#include "convert/converters.h"
#include "test_images.h"

namespace {

// The destination the Convert command makes for modes 6 and 7.
bool Diffuse(const CDibImage &source, CDibImage &dest, int bitCount) {
  dest.Create(source.Width(), source.Height(), bitCount);
  return bitCount == 1 ? DiffuseMonochrome(source, dest) : DiffuseStandard16(source, dest);
}

} // namespace

TEST(DiffuseMonochrome, WorkedExamples) {
  struct {
    int width, height, gray;
    std::vector<int> expected;
  } cases[] = {
      {1, 1, 127, {0}},
      {1, 1, 128, {1}},
      {4, 1, 128, {1, 0, 1, 0}},
      {1, 4, 128, {1, 0, 1, 0}},
      {4, 4, 128, {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1}},
      {2, 2, 64, {0, 0, 0, 1}},
  };
  for (const auto &c : cases) {
    CDibImage source, dest;
    MakeSolid24(source, c.width, c.height, Gray(c.gray));
    ASSERT_TRUE(Diffuse(source, dest, 1));
    EXPECT_EQ(Indices(dest), c.expected) << c.width << "x" << c.height << " gray " << c.gray;
  }
}

TEST(DiffuseStandard16, WorkedExamples) {
  // 64 gray: black (a tie with colours 1-6 and gray), then gray, gray; the last pixel reads
  // 34.546875 and rounds to 35, nearer black.
  CDibImage source, dest;
  MakeSolid24(source, 2, 2, Gray(64));
  ASSERT_TRUE(Diffuse(source, dest, 4));
  EXPECT_EQ(Indices(dest), (std::vector<int>{0, 8, 8, 0}));

  // The error comes from the unclamped value: 298.75 looks up as white but passes 43.75 on,
  // which turns the third pixel dark red instead of black.
  const ColorValue row[] = {RgbColor(100, 255, 255), RgbColor(255, 255, 255), RgbColor(50, 0, 0)};
  MakeImage24(source, 3, 1, [&](int x, int) { return row[x]; });
  ASSERT_TRUE(Diffuse(source, dest, 4));
  EXPECT_EQ(Indices(dest), (std::vector<int>{14, 15, 1}));
}

TEST(ErrorDiffusion, UniformAndUndecodedSourcesStayUniform) {
  CDibImage white, black, sixteen;
  MakeSolid24(white, 5, 4, Gray(255));
  MakeSolid24(black, 5, 4, Gray(0));
  DibInfoHeader header{40, 5, 4, 1, 16, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(sixteen.CreateFromHeader(header, nullptr, nullptr));
  for (const auto &[source, mono, colour] :
       {std::tuple{&white, 1, 15}, std::tuple{&black, 0, 0}, std::tuple{&sixteen, 1, 15}}) {
    CDibImage d1, d4;
    ASSERT_TRUE(Diffuse(*source, d1, 1));
    ASSERT_TRUE(Diffuse(*source, d4, 4));
    EXPECT_EQ(Indices(d1), std::vector<int>(20, mono));
    EXPECT_EQ(Indices(d4), std::vector<int>(20, colour));
  }
}

TEST(ErrorDiffusion, ThinImagesPassErrorsOnlyWhereThereIsRoom) {
  // One column: only 5/16 goes down. 0.6 → white, error -0.4 → next reads 0.6 - 0.125 = 0.475.
  CDibImage column, dest;
  const double l = Luminance(Gray(153));
  ASSERT_GT(l, 0.5);
  MakeSolid24(column, 1, 2, Gray(153));
  ASSERT_TRUE(Diffuse(column, dest, 1));
  EXPECT_EQ(Indices(dest), (std::vector<int>{1, l + (l - 1) * 0.3125 > 0.5 ? 1 : 0}));
  // One row: 7/16 to the right.
  CDibImage row;
  MakeSolid24(row, 2, 1, Gray(153));
  ASSERT_TRUE(Diffuse(row, dest, 1));
  EXPECT_EQ(Indices(dest), (std::vector<int>{1, l + (l - 1) * 0.4375 > 0.5 ? 1 : 0}));
}

TEST(ErrorDiffusion, LoadersReadChannelsAndBrightness) {
  CDibImage source;
  MakeImage24(source, 2, 1, [](int x, int) { return x == 0 ? RgbColor(1, 2, 3) : Gray(255); });
  double rgb[6];
  double luma[2];
  LoadRgbRow(source, 0, rgb);
  LoadLuminanceRow(source, 0, luma);
  EXPECT_EQ(rgb[0], 1.0);
  EXPECT_EQ(rgb[1], 2.0);
  EXPECT_EQ(rgb[2], 3.0);
  EXPECT_EQ(rgb[5], 255.0);
  EXPECT_EQ(luma[0], Luminance(RgbColor(1, 2, 3)));

  DibInfoHeader header{40, 1, 1, 1, 16, 0, 0, 0, 0, 0, 0};
  CDibImage sixteen;
  ASSERT_TRUE(sixteen.CreateFromHeader(header, nullptr, nullptr));
  LoadLuminanceRow(sixteen, 0, luma);
  EXPECT_EQ(luma[0], 1.0);
}

TEST(ErrorDiffusion, RefusesDestinationsItCannotFill) {
  CDibImage source, empty;
  MakeSolid24(source, 4, 4, Gray(128));

  CDibImage noSection;
  EXPECT_FALSE(DiffuseMonochrome(source, noSection));
  EXPECT_FALSE(DiffuseStandard16(source, noSection));
  EXPECT_FALSE(DiffuseMonochrome(empty, noSection));

  CDibImage eightBit; // DiffuseMonochrome wants 1 bpp and leaves anything else alone
  ASSERT_TRUE(eightBit.Create(4, 4, 8));
  eightBit.m_bits[0] = 0x5A;
  EXPECT_FALSE(DiffuseMonochrome(source, eightBit));
  EXPECT_EQ(eightBit.m_bits[0], 0x5A);

  CDibImage noTable; // nothing to search
  ASSERT_TRUE(noTable.Create(4, 4, 24));
  EXPECT_FALSE(DiffuseStandard16(source, noTable));

  CDibImage smaller, larger; // sizes must match the source's
  ASSERT_TRUE(smaller.Create(3, 4, 1));
  ASSERT_TRUE(larger.Create(4, 5, 4));
  EXPECT_FALSE(DiffuseMonochrome(source, smaller));
  EXPECT_FALSE(DiffuseStandard16(source, larger));
  EXPECT_EQ(Indices(larger), std::vector<int>(20, 0));
}
