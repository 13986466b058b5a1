#include <gtest/gtest.h>

#include "convert/converters.h"
#include "test_images.h"

namespace {

// A 256 × 1 strip of every pure gray.
void MakeGrayStrip(CDibImage &image) {
  MakeImage24(image, 256, 1, [](int x, int) { return Gray(x); });
}

void MakeSixteenBit(CDibImage &image, int width, int height) {
  DibInfoHeader header{40, width, height, 1, 16, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(image.CreateFromHeader(header, nullptr, nullptr));
}

} // namespace

TEST(PerPixel, GraysMapToTheirLevel) {
  CDibImage source, gray16, gray256;
  MakeGrayStrip(source);
  ASSERT_TRUE(ConvertGray16(source, gray16));
  ASSERT_TRUE(ConvertGray256(source, gray256));
  for (int g = 0; g < 256; ++g) {
    EXPECT_EQ(gray16.GetPixelIndex(g, 0), g / 16) << g;
    EXPECT_EQ(gray256.GetPixelIndex(g, 0), g) << g;
  }
}

TEST(PerPixel, HeadersAndTables) {
  CDibImage source;
  MakeSolid24(source, 3, 2, Gray(0));
  CDibImage gray16, gray256, standard, mono;
  ASSERT_TRUE(ConvertGray16(source, gray16));
  ASSERT_TRUE(ConvertGray256(source, gray256));
  ASSERT_TRUE(ConvertStandard16(source, standard, StandardPalette16, 16));
  ASSERT_TRUE(ConvertMonochrome(source, mono));
  EXPECT_EQ(gray16.BitCount(), 4);
  EXPECT_EQ(gray16.m_header.biClrUsed, 16u);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(PaletteEntryToColor(gray16.m_palette[i]), Gray(17 * i));
  EXPECT_EQ(gray256.BitCount(), 8);
  EXPECT_EQ(gray256.m_header.biClrUsed, 256u);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(PaletteEntryToColor(gray256.m_palette[i]), Gray(i));
  EXPECT_EQ(standard.BitCount(), 4);
  EXPECT_EQ(standard.m_paletteCount, 16);
  EXPECT_EQ(PaletteEntryToColor(standard.m_palette[9]), RgbColor(255, 0, 0));
  EXPECT_EQ(mono.BitCount(), 1);
  EXPECT_EQ(mono.m_header.biClrUsed, 2u);
  EXPECT_EQ(PaletteEntryToColor(mono.m_palette[1]), Gray(255));
  for (const CDibImage *d : {&gray16, &gray256, &standard, &mono}) {
    EXPECT_EQ(d->Width(), 3);
    EXPECT_EQ(d->Height(), 2);
  }
}

TEST(PerPixel, WhiteAndUndecodedPixelsGiveTheTopIndex) {
  CDibImage white, sixteen;
  MakeSolid24(white, 2, 2, Gray(255));
  MakeSixteenBit(sixteen, 2, 2);
  for (const CDibImage *source : {&white, &sixteen}) {
    CDibImage gray16, gray256, standard, mono;
    ASSERT_TRUE(ConvertGray16(*source, gray16));
    ASSERT_TRUE(ConvertGray256(*source, gray256));
    ASSERT_TRUE(ConvertStandard16(*source, standard, StandardPalette16, 16));
    ASSERT_TRUE(ConvertMonochrome(*source, mono));
    EXPECT_EQ(Indices(gray16), std::vector<int>(4, 15));
    EXPECT_EQ(Indices(gray256), std::vector<int>(4, 255));
    EXPECT_EQ(Indices(standard), std::vector<int>(4, 15));
    EXPECT_EQ(Indices(mono), std::vector<int>(4, 1));
  }
}

TEST(PerPixel, MonochromeThresholdIsStrict) {
  CDibImage source, mono;
  const ColorValue colors[] = {Gray(127), Gray(128), RgbColor(233, 49, 255), Gray(0), Gray(255)};
  MakeImage24(source, 5, 1, [&](int x, int) { return colors[x]; });
  ASSERT_TRUE(ConvertMonochrome(source, mono));
  EXPECT_EQ(Indices(mono), (std::vector<int>{0, 1, 0, 0, 1}));

  CDibImage bw, gray256;
  MakeImage24(source, 4, 4, [](int x, int y) { return Gray((x + y) % 2 ? 255 : 0); });
  ASSERT_TRUE(ConvertMonochrome(source, bw));
  ASSERT_TRUE(ConvertGray256(source, gray256));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(bw.GetPixelIndex(x, y), (x + y) % 2);
      EXPECT_EQ(gray256.GetPixelIndex(x, y), (x + y) % 2 ? 255 : 0);
    }
}

TEST(PerPixel, Standard16TiesGoToTheLowestIndex) {
  CDibImage source, standard;
  const ColorValue colors[] = {RgbColor(64, 0, 0), Gray(160), RgbColor(255, 128, 0),
                               RgbColor(250, 5, 5)};
  MakeImage24(source, 4, 1, [&](int x, int) { return colors[x]; });
  ASSERT_TRUE(ConvertStandard16(source, standard, StandardPalette16, 16));
  EXPECT_EQ(Indices(standard), (std::vector<int>{0, 7, 3, 9}));
}

TEST(PerPixel, OddWidthLeavesThePaddingNibbleZero) {
  CDibImage source, gray16;
  MakeSolid24(source, 3, 2, Gray(255));
  ASSERT_TRUE(ConvertGray16(source, gray16));
  for (int y = 0; y < 2; ++y) {
    EXPECT_EQ(gray16.PixelAddress(0, y)[0], 0xFF);
    EXPECT_EQ(gray16.PixelAddress(2, y)[0], 0xF0);
  }
}

TEST(PerPixel, SourceWithoutSectionFailsAndLeavesDestinationAlone) {
  CDibImage empty, d1, d2, d3, d4;
  EXPECT_FALSE(ConvertGray16(empty, d1));
  EXPECT_FALSE(ConvertGray256(empty, d2));
  EXPECT_FALSE(ConvertStandard16(empty, d3, StandardPalette16, 16));
  EXPECT_FALSE(ConvertMonochrome(empty, d4));
  for (const CDibImage *d : {&d1, &d2, &d3, &d4})
    EXPECT_FALSE(d->HasSection());
}
