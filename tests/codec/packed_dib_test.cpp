#include <gtest/gtest.h>

#include <cstring>

#include "codec/packed_dib.h"
#include "test_images.h"

namespace {

DibRefusal Refusal(const std::vector<std::uint8_t> &block) {
  CDibImage image;
  DibRefusal why = DibRefusal::None;
  EXPECT_FALSE(ReadPackedDib(block.data(), block.size(), image, &why));
  EXPECT_FALSE(image.HasSection());
  return why;
}

std::vector<std::uint8_t> Le16(std::initializer_list<std::uint16_t> pixels) {
  std::vector<std::uint8_t> out;
  for (std::uint16_t p : pixels)
    out.insert(out.end(), {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8)});
  return out;
}

std::vector<std::uint8_t> Le32(std::initializer_list<std::uint32_t> pixels) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t p : pixels)
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<std::uint8_t>(p >> 8 * i));
  return out;
}

} // namespace

TEST(ReadPackedDib, RowsFollowTheColourTableItImplies) {
  // 24 bpp: no table, or as many entries as biClrUsed says.
  for (std::uint32_t clrUsed : {0u, 3u}) {
    DibLayout layout{
        .width = 2, .bitCount = 24, .clrUsed = clrUsed, .rows = {1, 2, 3, 4, 5, 6, 0, 0}};
    layout.table.resize(clrUsed, RgbQuad{9, 9, 9, 0});
    const auto block = BuildPackedDib(layout);
    EXPECT_EQ(block.size(), 48 + 4 * clrUsed);
    CDibImage image;
    ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image));
    EXPECT_EQ(image.m_paletteCount, static_cast<int>(clrUsed));
    EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(3, 2, 1));
    EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(6, 5, 4));
  }
  // 8 bpp with biClrUsed 0: a full table of 256, rows at 1064.
  DibLayout layout{.width = 1, .bitCount = 8, .rows = {200, 0, 0, 0}};
  layout.table.resize(256, RgbQuad{0, 0, 0, 0});
  layout.table[200] = {0x10, 0x20, 0x30, 0};
  auto block = BuildPackedDib(layout);
  EXPECT_EQ(block.size(), 1068u);
  CDibImage image;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image));
  EXPECT_EQ(image.m_paletteCount, 256);
  EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(0x30, 0x20, 0x10));
}

TEST(ReadPackedDib, LongerHeadersMoveTheTableAndRows) {
  for (std::uint32_t headerSize : {40u, 56u, 108u, 124u}) {
    DibLayout layout{.headerSize = headerSize, .width = 3, .bitCount = 1, .rows = {0xA0, 0, 0, 0}};
    layout.table = {{0, 0, 0xFF, 0}, {0xFF, 0, 0, 0}};
    const auto block = BuildPackedDib(layout);
    CDibImage image;
    ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image)) << headerSize;
    EXPECT_EQ(image.m_header.biSize, 40u);
    EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(0, 0, 0xFF));
    EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(0xFF, 0, 0));
    EXPECT_EQ(image.GetPixelColor(2, 0), RgbColor(0, 0, 0xFF));
  }
}

TEST(ReadPackedDib, SixteenBitPixelsAreDecoded) {
  // Plain 16 bpp is 5-5-5; a 5-bit channel of 1 stretches to (255 + 15) / 31 = 8.
  DibLayout layout{.width = 4, .bitCount = 16, .rows = Le16({0x7FFF, 0x7C00, 0x0001, 0x8000})};
  auto block = BuildPackedDib(layout);
  CDibImage image;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image));
  EXPECT_EQ(image.BitCount(), 32);
  EXPECT_EQ(image.m_header.biCompression, 0u);
  EXPECT_EQ(image.GetPixelColor(0, 0), Gray(255));
  EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(255, 0, 0));
  EXPECT_EQ(image.GetPixelColor(2, 0), RgbColor(0, 0, 8));
  EXPECT_EQ(image.GetPixelColor(3, 0), Gray(0)); // the unused top bit is ignored

  // 5-6-5 bit fields, masks after a 40-byte header; an empty mask gives 0.
  layout = {.width = 3, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}};
  layout.rows = Le16({0xFFFF, 0x0020, 0x0000});
  layout.rows.resize(8, 0);
  block = BuildPackedDib(layout);
  CDibImage image565;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image565));
  EXPECT_EQ(image565.GetPixelColor(0, 0), Gray(255));
  EXPECT_EQ(image565.GetPixelColor(1, 0), RgbColor(0, 4, 0)); // (255 + 31) / 63
  layout.masks = {0xF800, 0, 0x001F};
  block = BuildPackedDib(layout);
  CDibImage noGreen;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), noGreen));
  EXPECT_EQ(noGreen.GetPixelColor(0, 0), RgbColor(255, 0, 255));
}

TEST(ReadPackedDib, ThirtyTwoBitFieldsWhereverTheMasksAre) {
  // Screen captures: a 40-byte header, then the masks, then the rows at byte 52.
  const auto rows = Le32({0x00112233, 0xFF445566});
  for (std::uint32_t headerSize : {40u, 52u, 108u, 124u}) {
    DibLayout layout{.headerSize = headerSize,
                     .width = 2,
                     .bitCount = 32,
                     .compression = 3,
                     .masks = {0x00FF0000, 0x0000FF00, 0x000000FF},
                     .rows = rows};
    const auto block = BuildPackedDib(layout);
    CDibImage image;
    ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), image)) << headerSize;
    EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(0x11, 0x22, 0x33)) << headerSize;
    EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(0x44, 0x55, 0x66)) << headerSize;
    EXPECT_EQ(image.m_bits[7], 0); // alpha is not carried over
  }
  // Masks in another order, and 10-bit channels, which keep their top 8 bits.
  DibLayout layout{.width = 2,
                   .bitCount = 32,
                   .compression = 3,
                   .masks = {0x000000FF, 0x0000FF00, 0x00FF0000},
                   .rows = Le32({0x00112233, 0})};
  auto block = BuildPackedDib(layout);
  CDibImage swapped;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), swapped));
  EXPECT_EQ(swapped.GetPixelColor(0, 0), RgbColor(0x33, 0x22, 0x11));
  layout.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
  layout.rows = Le32({0x3FF00000 | (0x200 << 10) | 0x004, 0});
  block = BuildPackedDib(layout);
  CDibImage tenBit;
  ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), tenBit));
  EXPECT_EQ(tenBit.GetPixelColor(0, 0), RgbColor(255, 128, 1));
}

TEST(ReadPackedDib, RefusesEachMalformedKindForItsOwnReason) {
  const auto valid = [] { return DibLayout{.width = 2, .height = 2, .bitCount = 24}; };
  struct Case {
    const char *name;
    std::vector<std::uint8_t> block;
    DibRefusal reason;
  };
  std::vector<Case> cases;
  cases.push_back({"three bytes", {40, 0, 0}, DibRefusal::TooShort});
  cases.push_back({"core header", BuildPackedDib({.headerSize = 12}), DibRefusal::HeaderSize});
  auto truncatedHeader = BuildPackedDib({.headerSize = 124});
  truncatedHeader.resize(100);
  cases.push_back({"header past the end", truncatedHeader, DibRefusal::TooShort});
  auto layout = valid();
  layout.width = 0;
  cases.push_back({"zero width", BuildPackedDib(layout), DibRefusal::BadWidth});
  layout.width = -2;
  cases.push_back({"negative width", BuildPackedDib(layout), DibRefusal::BadWidth});
  layout = valid();
  layout.height = 0;
  cases.push_back({"zero height", BuildPackedDib(layout), DibRefusal::BadHeight});
  layout.height = -2;
  cases.push_back({"top-down", BuildPackedDib(layout), DibRefusal::TopDown});
  for (std::uint16_t bits :
       {std::uint16_t{0}, std::uint16_t{2}, std::uint16_t{48}, std::uint16_t{64}}) {
    layout = valid();
    layout.bitCount = bits;
    cases.push_back({"odd depth", BuildPackedDib(layout), DibRefusal::BitCount});
  }
  for (auto [bits, compression] :
       {std::pair{8, 1}, {4, 2}, {24, 4}, {24, 5}, {32, 6}, {24, 3}, {8, 3}, {32, 99}}) {
    layout = valid();
    layout.bitCount = static_cast<std::uint16_t>(bits);
    layout.compression = static_cast<std::uint32_t>(compression);
    layout.table.resize(static_cast<std::size_t>(DibColorCount(bits, 0)));
    cases.push_back({"compression", BuildPackedDib(layout), DibRefusal::Compression});
  }
  layout = valid();
  layout.bitCount = 8;
  layout.clrUsed = 257;
  layout.table.resize(257);
  cases.push_back({"257 colours", BuildPackedDib(layout), DibRefusal::ColorCount});
  auto shortRows = BuildPackedDib(valid());
  shortRows.pop_back();
  cases.push_back({"rows one byte short", shortRows, DibRefusal::TooShort});
  layout = valid();
  layout.bitCount = 8;
  layout.table.resize(255); // 256 implied
  layout.rows.assign(0, 0);
  auto shortTable = BuildPackedDib(layout);
  shortTable.resize(40 + 255 * 4);
  cases.push_back({"table short", shortTable, DibRefusal::TooShort});
  auto noMasks = BuildPackedDib({.width = 1, .bitCount = 32, .compression = 3});
  noMasks.resize(50);
  cases.push_back({"masks cut off", noMasks, DibRefusal::TooShort});
  // Sizes beyond what an image can hold are refused before any allocation.
  cases.push_back({"stride overflow",
                   BuildPackedDib({.width = 0x20000000, .bitCount = 32, .rows = {0}}),
                   DibRefusal::TooLarge});
  // A side beyond the readers' limit, within the pixel limit and with every row present.
  cases.push_back({"width 2^20 + 1", BuildPackedDib({.width = (1 << 20) + 1, .bitCount = 24}),
                   DibRefusal::TooLarge});
  cases.push_back({"height 2^20 + 1", BuildPackedDib({.height = (1 << 20) + 1, .bitCount = 24}),
                   DibRefusal::TooLarge});
  cases.push_back({"decoded stride overflow",
                   BuildPackedDib({.width = 0x30000000, .bitCount = 16, .rows = {0}}),
                   DibRefusal::TooLarge});
  cases.push_back({"rows beyond the block",
                   BuildPackedDib({.width = 0x7FFFFFF0,
                                   .height = 0x7FFFFFFF,
                                   .bitCount = 8,
                                   .table = std::vector<RgbQuad>(256),
                                   .rows = {0}}),
                   DibRefusal::TooShort});
  for (const Case &c : cases)
    EXPECT_EQ(Refusal(c.block), c.reason) << c.name;
}

TEST(WritePackedDib, LaysOutHeaderTableAndRows) {
  CDibImage image;
  ASSERT_TRUE(image.Create(10, 3, 1));
  image.SetPixelIndex(0, 0, 1);
  const auto block = PackedBytes(image);
  ASSERT_EQ(block.size(), 60u);
  DibInfoHeader header;
  std::memcpy(&header, block.data(), sizeof header);
  EXPECT_EQ(header.biSize, 40u);
  EXPECT_EQ(header.biWidth, 10);
  EXPECT_EQ(header.biHeight, 3);
  EXPECT_EQ(header.biPlanes, 1);
  EXPECT_EQ(header.biBitCount, 1);
  EXPECT_EQ(header.biCompression, 0u);
  EXPECT_EQ(header.biSizeImage, 0u);
  EXPECT_EQ(header.biXPelsPerMeter, 0);
  EXPECT_EQ(header.biClrUsed, 2u);
  EXPECT_EQ(header.biClrImportant, 0u);
  EXPECT_EQ(block[44], 0xFF);     // white entry
  EXPECT_EQ(block[48 + 8], 0x80); // top row stored last, leftmost pixel in the high bit

  CDibImage empty;
  EXPECT_EQ(PackedDibSize(empty), 0u);
}

TEST(WritePackedDib, WhatItWritesReadsBackUnchanged) {
  for (int bitCount : {1, 4, 8, 24}) {
    CDibImage image;
    ASSERT_TRUE(image.Create(5, 3, bitCount));
    for (std::size_t i = 0; i < image.RowsSize(); ++i)
      image.m_bits[i] = static_cast<std::uint8_t>(i * 37);
    const auto block = PackedBytes(image);
    CDibImage back;
    ASSERT_TRUE(ReadPackedDib(block.data(), block.size(), back));
    EXPECT_EQ(PackedBytes(back), block) << bitCount;
  }
}
