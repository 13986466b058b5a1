// The Windows pixel storage: real DIB sections, selected into memory device contexts.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "bitmap/dib_image.h"

namespace {

DibInfoHeader MakeHeader(int width, int height, int bitCount) {
  DibInfoHeader header{};
  header.biSize = 40;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<std::uint16_t>(bitCount);
  return header;
}

TEST(DibSectionWin32, IsARealSectionOfTheHeadersSize) {
  CDibImage image;
  ASSERT_TRUE(image.Create(13, 7, 4));
  DIBSECTION section{};
  ASSERT_EQ(GetObjectW(reinterpret_cast<HBITMAP>(image.m_hBitmap), sizeof section, &section),
            static_cast<int>(sizeof section));
  EXPECT_EQ(section.dsBm.bmWidth, 13);
  EXPECT_EQ(section.dsBm.bmHeight, 7);
  EXPECT_EQ(section.dsBm.bmBitsPixel, 4);
  EXPECT_EQ(section.dsBm.bmWidthBytes, image.m_stride);
  EXPECT_EQ(section.dsBm.bmBits, image.m_bits);
  EXPECT_EQ(section.dsBmih.biClrUsed, 16u);
}

TEST(DibSectionWin32, NewSectionsAreZeroFilledEvenWhereMemoryIsReused) {
  // Fill and free sections first, so that a new one may well land on the same pages.
  for (int round = 0; round < 4; ++round) {
    CDibImage dirty;
    ASSERT_TRUE(dirty.Create(64, 64, 8));
    std::memset(dirty.m_bits, 0xA5, dirty.RowsSize());
  }
  for (const int bitCount : {1, 4, 8, 24}) {
    CDibImage image;
    ASSERT_TRUE(image.Create(64, 64, bitCount));
    for (std::size_t i = 0; i < image.RowsSize(); ++i)
      ASSERT_EQ(image.m_bits[i], 0) << bitCount << " bpp, byte " << i;
  }
}

TEST(DibSectionWin32, GdiSeesTheImagesColourTableOnceSelected) {
  const RgbQuad table[3] = {{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}};
  CDibImage image;
  ASSERT_TRUE(image.Create(5, 5, 8, table, 3));
  ASSERT_TRUE(image.SelectIntoMemoryDc());
  HDC dc = reinterpret_cast<HDC>(image.m_hMemDC);
  EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), reinterpret_cast<HGDIOBJ>(image.m_hBitmap));
  RGBQUAD seen[3]{};
  ASSERT_EQ(GetDIBColorTable(dc, 0, 3, seen), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[i].rgbBlue, table[i].rgbBlue);
    EXPECT_EQ(seen[i].rgbGreen, table[i].rgbGreen);
    EXPECT_EQ(seen[i].rgbRed, table[i].rgbRed);
  }
}

TEST(DibSectionWin32, ReleaseRestoresAndDeletesTheContextAndTheSection) {
  CDibImage image;
  HDC dc = reinterpret_cast<HDC>(image.m_hMemDC);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(GetObjectType(dc), static_cast<DWORD>(OBJ_MEMDC));
  const HGDIOBJ stock = GetCurrentObject(dc, OBJ_BITMAP);
  EXPECT_EQ(reinterpret_cast<HGDIOBJ>(image.m_hOldBitmap), stock);
  ASSERT_TRUE(image.Create(3, 3, 1));
  ASSERT_TRUE(image.SelectIntoMemoryDc());
  HBITMAP section = reinterpret_cast<HBITMAP>(image.m_hBitmap);
  image.Release();
  EXPECT_EQ(GetObjectType(section), 0u) << "section still alive";
  EXPECT_EQ(GetObjectType(dc), 0u) << "memory DC still alive";
  EXPECT_FALSE(image.HasSection());
  image.Release(); // a second release is harmless
}

TEST(DibSectionWin32, SectionsForEveryDepthTheReaderProduces) {
  for (const int bitCount : {1, 4, 8, 16, 24, 32}) {
    DibInfoHeader header = MakeHeader(3, 2, bitCount);
    const RgbQuad table[256]{};
    CDibImage image;
    EXPECT_TRUE(image.CreateFromHeader(header, table, nullptr)) << bitCount << " bpp";
    EXPECT_TRUE(image.SelectIntoMemoryDc()) << bitCount << " bpp";
  }
}

TEST(DibSectionWin32, NoSectionForADepthWithoutRows) {
  DibInfoHeader header = MakeHeader(3, 2, 2);
  std::uint8_t *bits = nullptr;
  EXPECT_EQ(CreateDibSection(header, bits), nullptr);
  EXPECT_EQ(bits, nullptr);
  MemoryDcHandle dc = CreateMemoryDc();
  EXPECT_FALSE(SelectDibSection(dc, nullptr));
  DeleteMemoryDc(dc);
}

} // namespace
