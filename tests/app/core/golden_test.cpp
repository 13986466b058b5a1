// Every mode's exact output for one picture. The digests were taken once; they hold on every
// compiler and CPU because the arithmetic is plain IEEE double with no contraction, so a
// change here means the results changed, not the platform.
#include <gtest/gtest.h>

#include "app/core/conversion_mode.h"
#include "test_images.h"

namespace {

// Ramps in red and green, a wrapping blue, and the extremes in the corners.
ColorValue SamplePixel(int x, int y) {
  if ((x == 0 || x == 36) && (y == 0 || y == 22))
    return x == y ? Gray(0) : Gray(255);
  return RgbColor(x * 255 / 36, y * 255 / 22, (x + y) * 97 % 256);
}

} // namespace

TEST(Golden, EveryModeGivesTheSameBytesEverywhere) {
  const std::uint64_t expected[ConversionModeCount] = {
      0x424a1757322e3828, 0x192c53a1584b9406, 0xfe928ba5635c24ce, 0xf10207c211f80dbd,
      0xa3f0ab19c888a489, 0x4b01b8d3f27b6208, 0x82d311f949bea1de, 0x2ca590818152b8c7,
  };
  CDibImage source;
  MakeImage24(source, 37, 23, SamplePixel);
  for (int mode = 0; mode < ConversionModeCount; ++mode) {
    CDibImage dest;
    ASSERT_TRUE(ConversionModes[mode].convert(source, dest));
    const std::uint64_t digest = Fnv1a(PackedBytes(dest));
    EXPECT_EQ(digest, expected[mode]) << "mode " << mode << ": 0x" << std::hex << digest;
  }
}
