#include <gtest/gtest.h>

#include <cstring>

#include "codec/bmp_file.h"
#include "test_images.h"

namespace {

std::uint32_t U32At(const std::vector<std::uint8_t> &bytes, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, &bytes[at], 4);
  return v;
}

DibRefusal Refusal(const std::vector<std::uint8_t> &file) {
  CDibImage image;
  DibRefusal why = DibRefusal::None;
  EXPECT_FALSE(ReadBmpFile(file.data(), file.size(), image, &why));
  return why;
}

const DibLayout FourBit{.width = 2, .bitCount = 4, .rows = {0x9C, 0, 0, 0}};

DibLayout WithTable(DibLayout layout) {
  layout.table.assign(StandardPalette16, StandardPalette16 + 16);
  return layout;
}

} // namespace

TEST(ReadBmpFile, RowsStartAtTheOffsetTheFileGives) {
  for (std::uint32_t gap : {0u, 2u, 100u}) {
    const auto file = BuildBmpFile(WithTable(FourBit), gap);
    CDibImage image;
    ASSERT_TRUE(ReadBmpFile(file.data(), file.size(), image)) << gap;
    EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(255, 0, 0));
    EXPECT_EQ(image.GetPixelColor(1, 0), RgbColor(0, 0, 255));
  }
}

TEST(ReadBmpFile, RefusesBadSignaturesAndOffsets) {
  auto file = BuildBmpFile(WithTable(FourBit));
  file[1] = 'A';
  EXPECT_EQ(Refusal(file), DibRefusal::FileSignature);
  EXPECT_EQ(Refusal({'B', 'M', 0}), DibRefusal::TooShort);

  file = BuildBmpFile(WithTable(FourBit));
  std::uint32_t offBits = 14 + 40 + 60; // inside the colour table
  std::memcpy(&file[10], &offBits, 4);
  EXPECT_EQ(Refusal(file), DibRefusal::RowOffset);
  offBits = 20; // inside the headers
  std::memcpy(&file[10], &offBits, 4);
  EXPECT_EQ(Refusal(file), DibRefusal::RowOffset);
  offBits = static_cast<std::uint32_t>(file.size() - 3); // too few bytes left for the rows
  std::memcpy(&file[10], &offBits, 4);
  EXPECT_EQ(Refusal(file), DibRefusal::TooShort);
  offBits = 0xFFFFFFFF;
  std::memcpy(&file[10], &offBits, 4);
  EXPECT_EQ(Refusal(file), DibRefusal::TooShort);
}

TEST(EncodeBmpFile, FileHeaderThenTheBlock) {
  CDibImage image;
  ASSERT_TRUE(image.Create(10, 3, 4));
  const auto file = EncodeBmpFile(image);
  ASSERT_EQ(file.size(), 14u + 40 + 64 + 24);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(U32At(file, 2), file.size());
  EXPECT_EQ(U32At(file, 6), 0u);
  EXPECT_EQ(U32At(file, 10), 14u + 40 + 64);
  const auto block = PackedBytes(image);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin() + 14));

  CDibImage back;
  ASSERT_TRUE(ReadBmpFile(file.data(), file.size(), back));
  EXPECT_EQ(PackedBytes(back), block);

  CDibImage empty;
  EXPECT_TRUE(EncodeBmpFile(empty).empty());
}
