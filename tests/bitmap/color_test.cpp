#include <gtest/gtest.h>

#include "bitmap/color.h"

TEST(Luminance, EndsAndPrimaries) {
  EXPECT_EQ(Luminance(RgbColor(0, 0, 0)), 0.0);
  EXPECT_NEAR(Luminance(RgbColor(255, 255, 255)), 1.0, 1e-12);
  EXPECT_NEAR(Luminance(NoColor), 1.0, 1e-12);
  EXPECT_NEAR(Luminance(0x0000FF), 0.299, 1e-12);
  EXPECT_NEAR(Luminance(0x00FF00), 0.587, 1e-12);
  EXPECT_NEAR(Luminance(0xFF0000), 0.114, 1e-12);
  // Summed green, blue, red in double: this colour lands exactly on 0.5.
  EXPECT_EQ(Luminance(RgbColor(233, 49, 255)), 0.5);
}

TEST(PaletteEntryToColor, MovesRedToTheLowByteAndDropsReserved) {
  EXPECT_EQ(PaletteEntryToColor({0x11, 0x22, 0x33, 0x44}), 0x00112233u);
}

TEST(ColorDistance, SquaredPerChannel) {
  EXPECT_EQ(ColorDistance(RgbColor(0, 0, 0), RgbColor(255, 255, 255)), 3 * 255 * 255);
  EXPECT_EQ(ColorDistance(RgbColor(10, 20, 30), RgbColor(13, 16, 30)), 9 + 16);
}

TEST(NearestPaletteIndex, NoColorIsWhiteAndTiesGoToTheLowestIndex) {
  EXPECT_EQ(NearestPaletteIndex(StandardPalette16, 16, NoColor), 15);
  // 0x40 gray is as far from black as from colours 1-6 and gray 8.
  EXPECT_EQ(NearestPaletteIndex(StandardPalette16, 16, RgbColor(0x40, 0x40, 0x40)), 0);
  EXPECT_EQ(NearestPaletteIndex(StandardPalette16, 16, RgbColor(160, 160, 160)), 7);
  EXPECT_EQ(NearestPaletteIndex(StandardPalette16, 16, RgbColor(255, 128, 0)), 3);
  EXPECT_EQ(NearestPaletteIndex(StandardPalette16, 1, RgbColor(255, 255, 255)), 0);
}

TEST(Palettes, StandardColoursAndTheirPlaceInTheDefault256) {
  EXPECT_EQ(PaletteEntryToColor(StandardPalette16[1]), RgbColor(0x80, 0, 0));
  EXPECT_EQ(PaletteEntryToColor(StandardPalette16[7]), RgbColor(0xC0, 0xC0, 0xC0));
  EXPECT_EQ(PaletteEntryToColor(StandardPalette16[12]), RgbColor(0, 0, 0xFF));
  EXPECT_EQ(PaletteEntryToColor(BlackWhitePalette[1]), RgbColor(255, 255, 255));
  for (int i = 0; i < 256; ++i) {
    const ColorValue expected = i < 16 ? PaletteEntryToColor(StandardPalette16[i]) : 0;
    EXPECT_EQ(PaletteEntryToColor(DefaultPalette256[i]), expected) << i;
  }
}
