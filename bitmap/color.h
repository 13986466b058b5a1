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
inline constexpr double LuminanceGreen = 0.0023019607843137255;
inline constexpr double LuminanceBlue = 0.0004470588235294118;
inline constexpr double LuminanceRed = 0.001172549019607843;

inline double Luminance(ColorValue c) {
  return GreenOf(c) * LuminanceGreen + BlueOf(c) * LuminanceBlue + RedOf(c) * LuminanceRed;
}

// The three products of Luminance for every byte value. green[g] is the double g × the green
// weight, correctly rounded, which is exactly the product Luminance forms at run time, so
// LuminanceOf gives Luminance bit for bit with two additions and no multiplication.
struct LuminanceProducts {
  double green[256];
  double blue[256];
  double red[256];
};
inline constexpr LuminanceProducts LuminanceTerms = [] {
  LuminanceProducts t{};
  for (int v = 0; v < 256; ++v) {
    t.green[v] = v * LuminanceGreen;
    t.blue[v] = v * LuminanceBlue;
    t.red[v] = v * LuminanceRed;
  }
  return t;
}();

inline double LuminanceOf(int red, int green, int blue) {
  return LuminanceTerms.green[green] + LuminanceTerms.blue[blue] + LuminanceTerms.red[red];
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

// NearestPaletteIndex (StandardPalette16, 16, colour) for many colours in a row.
//
// The colour cube is cut into boxes of 8 × 8 × 8 colours. For every box a table built once
// per process (on first use, in well under a millisecond) keeps the entries that can be
// nearest to some colour in it: usually one, which is then the answer; near a border between
// two entries their short list, which is searched as NearestPaletteIndex searches, in the same
// ascending order with the same strict comparison. An entry is left out of a box's list only
// when another entry is proven at least as near to every colour of the box, and strictly
// nearer where ties would go to the one left out (see color.cpp), so the answer is the same.
class StandardColorFinder {
public:
  StandardColorFinder();

  int operator()(int red, int green, int blue) const {
    const int box = m_table->box[(red >> BoxBits) << (2 * AxisBits) |
                                 (green >> BoxBits) << AxisBits | blue >> BoxBits];
    return box < 16 ? box : Nearest(m_table->candidates[box - 16], red, green, blue);
  }

  static constexpr int BoxBits = 3;            // a box is 8 values wide on each axis
  static constexpr int AxisBits = 8 - BoxBits; // 32 boxes per axis
  static constexpr int Boxes = 1 << (3 * AxisBits);

  // box: the entry that is nearest everywhere in the box, or 16 + k for candidates[k]: a
  // set of entries, bit i for entry i, of which the nearest is searched.
  struct Table {
    std::uint8_t box[Boxes];
    std::uint16_t candidates[256 - 16];
  };

private:
  static int Nearest(unsigned candidates, int red, int green, int blue);

  const Table *m_table;
};

// True when `palette` holds the 16 standard colours in their order, so StandardColorFinder
// may answer for it.
bool IsStandardPalette16(const RgbQuad *palette, int count);
