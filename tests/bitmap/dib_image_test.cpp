#include <gtest/gtest.h>

#include "bitmap/dib_image.h"

TEST(DibImage, StrideByDepth) {
  struct {
    int bitCount, width, stride;
  } cases[] = {{1, 1, 4},  {1, 33, 8},  {4, 3, 4},   {4, 9, 8},  {8, 5, 8},
               {16, 3, 8}, {24, 5, 16}, {24, 4, 12}, {32, 3, 12}};
  for (const auto &c : cases)
    EXPECT_EQ(DibStride(c.bitCount, c.width), c.stride) << c.bitCount << " bpp, width " << c.width;
  EXPECT_EQ(DibStride(2, 10), -1);
}

TEST(DibImage, CreateRefusesBadSizesAndDepths) {
  CDibImage image;
  EXPECT_FALSE(image.Create(10, 10, 16));
  EXPECT_FALSE(image.Create(10, 10, 32));
  EXPECT_FALSE(image.Create(0, 5, 8));
  EXPECT_FALSE(image.Create(5, -1, 8));
  EXPECT_FALSE(image.HasSection());
}

TEST(DibImage, Create8BitTakesTheDefaultTableAndZeroRows) {
  CDibImage image;
  ASSERT_TRUE(image.Create(7, 3, 8));
  EXPECT_EQ(image.m_paletteCount, 256);
  EXPECT_EQ(image.m_header.biClrUsed, 256u);
  EXPECT_EQ(image.m_header.biSize, 40u);
  EXPECT_EQ(image.m_header.biPlanes, 1);
  EXPECT_EQ(image.m_stride, 8);
  EXPECT_EQ(PaletteEntryToColor(image.m_palette[9]), RgbColor(255, 0, 0));
  EXPECT_EQ(PaletteEntryToColor(image.m_palette[16]), 0u);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x)
      EXPECT_EQ(image.GetPixelIndex(x, y), 0);
}

TEST(DibImage, TopRowIsStoredLast) {
  CDibImage image;
  ASSERT_TRUE(image.Create(5, 4, 24));
  EXPECT_EQ(image.PixelAddress(0, 0), image.m_bits + image.m_stride * 3);
  EXPECT_EQ(image.PixelAddress(2, 3), image.m_bits + 6);
  EXPECT_EQ(image.PixelAddress(-1, 0), nullptr);
  EXPECT_EQ(image.PixelAddress(5, 0), nullptr);
  EXPECT_EQ(image.PixelAddress(0, 4), nullptr);
}

TEST(DibImage, PixelsOutsideOrUndecodedReadAsNoColor) {
  CDibImage image;
  ASSERT_TRUE(image.Create(3, 2, 24));
  EXPECT_EQ(image.GetPixelColor(-1, 0), NoColor);
  EXPECT_EQ(image.GetPixelColor(3, 0), NoColor);
  EXPECT_EQ(image.GetPixelIndex(0, 0), -1); // not an indexed depth

  DibInfoHeader header{40, 4, 2, 1, 16, 0, 0, 0, 0, 0, 0};
  CDibImage image16;
  ASSERT_TRUE(image16.CreateFromHeader(header, nullptr, nullptr));
  EXPECT_EQ(image16.m_stride, 8);
  EXPECT_EQ(image16.GetPixelColor(0, 0), NoColor);
  EXPECT_EQ(image16.GetPixelColor(3, 1), NoColor);
}

TEST(DibImage, ColoursOfEveryDepth) {
  CDibImage image;
  ASSERT_TRUE(image.Create(2, 1, 24));
  std::uint8_t *p = image.PixelAddress(1, 0);
  p[0] = 0x11, p[1] = 0x22, p[2] = 0x33;
  EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(0x33, 0x22, 0x11));

  DibInfoHeader header{40, 2, 1, 1, 32, 0, 0, 0, 0, 0, 0};
  const std::uint8_t rows[8] = {1, 2, 3, 0xFF, 4, 5, 6, 0x80};
  CDibImage image32;
  ASSERT_TRUE(image32.CreateFromHeader(header, nullptr, rows));
  EXPECT_EQ(image32.GetPixelColor(1, 0), RgbColor(6, 5, 4)); // fourth byte ignored

  CDibImage image4;
  ASSERT_TRUE(image4.Create(3, 1, 4));
  image4.m_bits[0] = 0x9C;
  EXPECT_EQ(image4.GetPixelColor(0, 0), RgbColor(255, 0, 0)); // 9: red
  EXPECT_EQ(image4.GetPixelColor(1, 0), RgbColor(0, 0, 255)); // 12: blue
}

TEST(DibImage, IndicesBeyondTheTableReadAsBlack) {
  const RgbQuad table[2] = {{0, 0, 0xFF, 0}, {0, 0xFF, 0, 0}};
  CDibImage image;
  ASSERT_TRUE(image.Create(1, 1, 8, table, 2));
  image.m_bits[0] = 200;
  EXPECT_EQ(image.GetPixelIndex(0, 0), 200);
  EXPECT_EQ(image.GetPixelColor(0, 0), 0u);
  // A second creation with a smaller table does not leave old entries behind.
  ASSERT_TRUE(image.Create(1, 1, 8, table, 1));
  image.m_bits[0] = 1;
  EXPECT_EQ(image.GetPixelColor(0, 0), 0u);
}

TEST(DibImage, SetPixelIndexStoresOnlyWhatTheDepthHolds) {
  CDibImage image1;
  ASSERT_TRUE(image1.Create(10, 2, 1));
  image1.SetPixelIndex(3, 0, 2); // not 0 or 1: nothing
  EXPECT_EQ(image1.PixelAddress(3, 0)[0], 0);
  image1.SetPixelIndex(3, 0, 1);
  image1.SetPixelIndex(9, 0, 1);
  EXPECT_EQ(image1.PixelAddress(0, 0)[0], 0x10);
  EXPECT_EQ(image1.PixelAddress(9, 0)[0], 0x40);
  image1.SetPixelIndex(3, 0, 0);
  EXPECT_EQ(image1.PixelAddress(0, 0)[0], 0);

  CDibImage image4;
  ASSERT_TRUE(image4.Create(3, 2, 4));
  image4.PixelAddress(0, 1)[0] = 0xA0;
  image4.SetPixelIndex(1, 1, 9); // low nibble only
  EXPECT_EQ(image4.PixelAddress(0, 1)[0], 0xA9);
  image4.SetPixelIndex(0, 1, 16); // too large: nothing
  image4.SetPixelIndex(0, 1, -1);
  EXPECT_EQ(image4.PixelAddress(0, 1)[0], 0xA9);

  CDibImage image8;
  ASSERT_TRUE(image8.Create(2, 1, 8));
  image8.SetPixelIndex(1, 0, 255);
  image8.SetPixelIndex(0, 0, 256);
  image8.SetPixelIndex(2, 0, 7); // outside
  EXPECT_EQ(image8.m_bits[1], 255);
  EXPECT_EQ(image8.m_bits[0], 0);

  CDibImage image24;
  ASSERT_TRUE(image24.Create(1, 1, 24));
  image24.SetPixelIndex(0, 0, 1);
  EXPECT_EQ(image24.m_bits[0], 0);
}

TEST(DibImage, CreateFromHeaderRefusesWhatItCannotHold) {
  CDibImage image;
  DibInfoHeader header{40, 4, 4, 1, 8, 0, 0, 0, 0, 257, 0};
  RgbQuad table[257]{};
  EXPECT_FALSE(image.CreateFromHeader(header, table, nullptr)); // more than 256 colours
  header.biClrUsed = 0;
  header.biHeight = -4;
  EXPECT_FALSE(image.CreateFromHeader(header, table, nullptr)); // top-down
  header.biHeight = 4;
  header.biBitCount = 2;
  EXPECT_FALSE(image.CreateFromHeader(header, table, nullptr));
  header.biBitCount = 32;
  header.biWidth = 0x20000000; // 4 × width does not fit a stride
  EXPECT_FALSE(image.CreateFromHeader(header, nullptr, nullptr));
  EXPECT_FALSE(image.HasSection());
}

TEST(DibImage, ReleaseIsIdempotentAndEndsSelection) {
  CDibImage image;
  ASSERT_TRUE(image.Create(2, 2, 1));
  EXPECT_TRUE(image.SelectIntoMemoryDc());
  image.Release();
  EXPECT_FALSE(image.HasSection());
  EXPECT_EQ(image.PixelAddress(0, 0), nullptr);
  image.Release();
  EXPECT_FALSE(image.SelectIntoMemoryDc());
}
