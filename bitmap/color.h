// Colour values, the constant colour tables and the colour arithmetic every converter shares.
#pragma once

#include <cstdint>

// Red in bits 0-7, green in 8-15, blue in 16-23, 0 above: the layout of a Windows COLORREF.
using ColorValue = std::uint32_t;

// What a pixel reader returns for a pixel it cannot read. Nothing filters it out: its low
// three bytes are 0xFF, so every formula below takes it for white.
inline constexpr ColorValue NoColor = 0xFFFFFFFFu;

// One colour-table entry, laid out as in a packed bitmap: blue, green, red, reserved.
struct RgbQuad {
  std::uint8_t rgbBlue;
  std::uint8_t rgbGreen;
  std::uint8_t rgbRed;
  std::uint8_t rgbReserved;
};
static_assert(sizeof(RgbQuad) == 4);

// The 16 standard colours, in their customary order (0 black ... 7 silver, 8 gray ... 15 white).
extern const RgbQuad StandardPalette16[16];
// 0 black, 1 white.
extern const RgbQuad BlackWhitePalette[2];
// The 16 standard colours followed by 240 blacks; not a gray ramp.
extern const RgbQuad DefaultPalette256[256];

inline constexpr ColorValue RgbColor(int red, int green, int blue) {
  return static_cast<ColorValue>(red) | static_cast<ColorValue>(green) << 8 |
         static_cast<ColorValue>(blue) << 16;
}
inline constexpr int RedOf(ColorValue c) { return static_cast<int>(c & 0xFF); }
inline constexpr int GreenOf(ColorValue c) { return static_cast<int>(c >> 8 & 0xFF); }
inline constexpr int BlueOf(ColorValue c) { return static_cast<int>(c >> 16 & 0xFF); }

inline constexpr ColorValue PaletteEntryToColor(RgbQuad entry) {
  return RgbColor(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
}

// Brightness from 0.0 (black) to 1.0 (white): the BT.601 luma weights 0.587, 0.114 and 0.299,
// each divided by 255. The products are summed green, blue, red, in that order, and every
// operation is rounded to double (no fused multiply-add), so the result is the same bit for
// bit on every compiler and CPU.
inline double Luminance(ColorValue c) {
  return GreenOf(c) * 0.0023019607843137255 + BlueOf(c) * 0.0004470588235294118 +
         RedOf(c) * 0.001172549019607843;
}

// Squared Euclidean distance in RGB space, 0 to 3 × 255².
inline int ColorDistance(ColorValue a, ColorValue b) {
  const int dr = RedOf(a) - RedOf(b);
  const int dg = GreenOf(a) - GreenOf(b);
  const int db = BlueOf(a) - BlueOf(b);
  return dr * dr + dg * dg + db * db;
}

// Index of the entry nearest to c; ties go to the lowest index. count must be at least 1.
inline int NearestPaletteIndex(const RgbQuad *palette, int count, ColorValue c) {
  int best = 0;
  int bestDistance = ColorDistance(PaletteEntryToColor(palette[0]), c);
  for (int i = 1; i < count; ++i) {
    const int distance = ColorDistance(PaletteEntryToColor(palette[i]), c);
    if (distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}
