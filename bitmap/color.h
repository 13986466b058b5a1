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

// NearestPaletteIndex (StandardPalette16, 16, colour) without a search or a branch.
//
// The standard colours fall into three groups: A, the eight whose channels are each 0 or 128
// (black, the six dark colours, gray); B, the eight whose channels are each 0 or 255 (black,
// the seven bright ones); and silver. Within a group the squared distance is a sum of one term
// per channel, so the nearest member is chosen channel by channel: 128 when the channel is
// above 64 (at 64 both are 64 away and the lower index, 0, wins), 255 from 128 up. In group A
// that choice also gives the lowest index among equally near members: its indices grow with
// the channels at 128 (red 1, green 2, blue 4; all three is gray, 8). So does it in group B
// (red 9, green 10, blue 12 above black's 0 ... white 15), which has no ties.
//
// Per channel value a table holds, for each group, the channel's term of the distance shifted
// left by 5 and, in the low 5 bits, its part of a rank that orders the members as their indices
// do: 2 × (red + 2 green + 4 blue) over the channels at 128 for A (0 ... 14, gray 14), 13 for
// silver (between dark teal, 12, and gray), 16 + 2 × (...) over the channels at 255 for B.
// The three channels' words are added, and the smallest of the three group keys, distance
// first and rank second, is the entry the search would pick: the nearest, ties to the lowest
// index. (B's black, rank 16, never wins a tie: A's choice is then black too, rank 0.) The
// fields cannot carry into each other: A and B stay below 3 × 127² × 32 + 31 < 2^21, silver
// below 3 × 192² × 32 + 13 < 2^22. The tests compare it with the search for every colour.
class StandardColorFinder {
public:
  int operator()(int red, int green, int blue) const { return IndexOfRank(Rank(red, green, blue)); }

  // The nearest entry's rank, 0 ... 31, and its index. The error diffusion looks the entry's
  // colour up by rank: one step less between a pixel and its error.
  static int Rank(int red, int green, int blue) {
    const std::uint64_t sum = Keys.red[static_cast<unsigned>(red)] +
                              Keys.green[static_cast<unsigned>(green)] +
                              Keys.blue[static_cast<unsigned>(blue)];
    const std::uint64_t a = sum & FieldMask, b = sum >> 21 & FieldMask, silver = sum >> 42;
    std::uint64_t best = a < silver ? a : silver;
    best = best < b ? best : b;
    return static_cast<int>(best & 31);
  }
  static int IndexOfRank(int rank) { return Indices[rank]; }
  static constexpr int Ranks = 32;

private:
  static constexpr std::uint64_t FieldMask = (std::uint64_t{1} << 21) - 1;
  struct ChannelKeys {
    std::uint64_t red[256];
    std::uint64_t green[256];
    std::uint64_t blue[256];
  };
  static constexpr ChannelKeys Keys = [] {
    ChannelKeys keys{};
    std::uint64_t *const channels[3] = {keys.red, keys.green, keys.blue};
    for (int c = 0; c < 3; ++c)
      for (std::uint64_t v = 0; v < 256; ++v) {
        const std::uint64_t at128 = v > 64, at255 = v >= 128, first = c == 0;
        const std::uint64_t a = (at128 ? (v - 128) * (v - 128) : v * v) << 5 | at128 << (c + 1);
        const std::uint64_t b =
            (at255 ? (255 - v) * (255 - v) : v * v) << 5 | at255 << (c + 1) | first << 4;
        const std::uint64_t silver = (v > 192 ? v - 192 : 192 - v) * (v > 192 ? v - 192 : 192 - v);
        channels[c][v] = a | b << 21 | (silver << 5 | first * 13) << 42;
      }
    return keys;
  }();
  static constexpr std::uint8_t Indices[Ranks] = {0,  0, 1,  0, 2,  0, 3,  0, 4,  0,  5,
                                                  0,  6, 7,  8, 0,  0, 0,  9, 0,  10, 0,
                                                  11, 0, 12, 0, 13, 0, 14, 0, 15, 0};
};

// A channel value `c` laid over white by its alpha `a` (both 0-255), rounded to nearest:
// c × a / 255 + 255 × (255 − a) / 255. It works on stored, not premultiplied, values; left
// alone, transparent pixels would mostly read as black, and white is what pasting such a
// picture into a paint program shows.
constexpr std::uint8_t FlattenOnWhite(unsigned c, unsigned a) {
  return static_cast<std::uint8_t>((c * a + 255 * (255 - a) + 127) / 255);
}

// True when `palette` holds the 16 standard colours in their order, so StandardColorFinder
// may answer for it.
bool IsStandardPalette16(const RgbQuad *palette, int count);
