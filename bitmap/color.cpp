#include "bitmap/color.h"

#include <bit>

// Written once, used by both tables that start with the standard colours.
#define STANDARD_COLORS_16                                                                         \
  {0x00, 0x00, 0x00, 0},     /* black */                                                           \
      {0x00, 0x00, 0x80, 0}, /* dark red */                                                        \
      {0x00, 0x80, 0x00, 0}, /* dark green */                                                      \
      {0x00, 0x80, 0x80, 0}, /* olive */                                                           \
      {0x80, 0x00, 0x00, 0}, /* navy */                                                            \
      {0x80, 0x00, 0x80, 0}, /* purple */                                                          \
      {0x80, 0x80, 0x00, 0}, /* teal */                                                            \
      {0xC0, 0xC0, 0xC0, 0}, /* silver */                                                          \
      {0x80, 0x80, 0x80, 0}, /* gray */                                                            \
      {0x00, 0x00, 0xFF, 0}, /* red */                                                             \
      {0x00, 0xFF, 0x00, 0}, /* lime */                                                            \
      {0x00, 0xFF, 0xFF, 0}, /* yellow */                                                          \
      {0xFF, 0x00, 0x00, 0}, /* blue */                                                            \
      {0xFF, 0x00, 0xFF, 0}, /* fuchsia */                                                         \
      {0xFF, 0xFF, 0x00, 0}, /* aqua */                                                            \
  {                                                                                                \
    0xFF, 0xFF, 0xFF, 0                                                                            \
  } /* white */

const RgbQuad StandardPalette16[16] = {STANDARD_COLORS_16};
const RgbQuad BlackWhitePalette[2] = {{0x00, 0x00, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0}};
// The 240 entries not listed are zero-initialised: black.
const RgbQuad DefaultPalette256[256] = {STANDARD_COLORS_16};

namespace {

constexpr int BoxesPerAxis = 1 << StandardColorFinder::AxisBits;
constexpr int BoxSize = 1 << StandardColorFinder::BoxBits;
constexpr std::uint16_t AllEntries = 0xFFFF;

int Square(int v) { return v * v; }

int Channel(const RgbQuad &entry, int c) {
  return c == 0 ? entry.rgbRed : c == 1 ? entry.rgbGreen : entry.rgbBlue;
}

// Which entries can be nearest to a colour of a box. Two proofs leave an entry i out, both of
// the form "some entry j is nearer than i to every colour of the box, or as near and lower in
// index, so i never wins the scan":
// 1. The nearest i can be to any colour of the box is farther than the farthest some j can be.
// 2. The difference of two squared distances, d_j - d_i, is linear in the colour (the squares
//    of the colour cancel), so over the box it is largest at one of the eight corners: when j
//    beats i at all eight corners it beats i everywhere in the box.
class CandidateFinder {
public:
  // Per channel, box and entry: the squared distance from the entry's channel value to the
  // nearest and the farthest value of the box. A box's distances are the sums of its three.
  CandidateFinder() {
    for (int c = 0; c < 3; ++c)
      for (int box = 0; box < BoxesPerAxis; ++box)
        for (int i = 0; i < 16; ++i) {
          const int lo = box * BoxSize, hi = lo + BoxSize - 1, v = Channel(StandardPalette16[i], c);
          m_nearest[c][box][i] = Square(v < lo ? lo - v : v > hi ? v - hi : 0);
          m_farthest[c][box][i] = Square(v - lo > hi - v ? v - lo : hi - v);
        }
  }

  std::uint16_t operator()(const int box[3]) const {
    int nearest[16];
    int farthest[16];
    int bound = 3 * 255 * 255;
    for (int i = 0; i < 16; ++i) {
      nearest[i] = m_nearest[0][box[0]][i] + m_nearest[1][box[1]][i] + m_nearest[2][box[2]][i];
      farthest[i] = m_farthest[0][box[0]][i] + m_farthest[1][box[1]][i] + m_farthest[2][box[2]][i];
      bound = farthest[i] < bound ? farthest[i] : bound;
    }
    unsigned candidates = 0;
    for (int i = 0; i < 16; ++i)
      candidates |= (nearest[i] <= bound ? 1u : 0u) << i;
    if ((candidates & (candidates - 1)) == 0)
      return static_cast<std::uint16_t>(candidates);

    int corner[8][16];
    for (int k = 0; k < 8; ++k) {
      const ColorValue color = RgbColor(box[0] * BoxSize + (k & 1) * (BoxSize - 1),
                                        box[1] * BoxSize + (k >> 1 & 1) * (BoxSize - 1),
                                        box[2] * BoxSize + (k >> 2) * (BoxSize - 1));
      for (int i = 0; i < 16; ++i)
        if (candidates >> i & 1)
          corner[k][i] = ColorDistance(PaletteEntryToColor(StandardPalette16[i]), color);
    }
    unsigned kept = candidates;
    for (int i = 0; i < 16; ++i)
      for (int j = 0; j < 16 && (candidates >> i & 1); ++j) {
        if (j == i || !(candidates >> j & 1))
          continue;
        bool beats = true;
        for (int k = 0; k < 8 && beats; ++k)
          beats = corner[k][j] < corner[k][i] || (corner[k][j] == corner[k][i] && j < i);
        if (beats) {
          kept &= ~(1u << i);
          break;
        }
      }
    return static_cast<std::uint16_t>(kept);
  }

private:
  int m_nearest[3][BoxesPerAxis][16];
  int m_farthest[3][BoxesPerAxis][16];
};

void BuildTable(StandardColorFinder::Table &table) {
  const CandidateFinder candidatesIn;
  int lists = 0;
  for (int box = 0; box < StandardColorFinder::Boxes; ++box) {
    const int axes[3] = {box >> (2 * StandardColorFinder::AxisBits),
                         box >> StandardColorFinder::AxisBits & (BoxesPerAxis - 1),
                         box & (BoxesPerAxis - 1)};
    const std::uint16_t candidates = candidatesIn(axes);
    if ((candidates & (candidates - 1)) == 0) {
      table.box[box] = static_cast<std::uint8_t>(std::countr_zero(candidates));
      continue;
    }
    int k = 0;
    while (k < lists && table.candidates[k] != candidates)
      ++k;
    if (k == lists) {
      // More different lists than the table holds (not so for these colours): search all.
      if (lists == 256 - 16 - 1) {
        table.candidates[k] = AllEntries;
      } else {
        table.candidates[k] = candidates;
        ++lists;
      }
    }
    table.box[box] = static_cast<std::uint8_t>(16 + k);
  }
}

const StandardColorFinder::Table &StandardTable() {
  // Filled under the guard of the static below, once, even with several threads.
  static StandardColorFinder::Table table;
  static const bool built = (BuildTable(table), true);
  (void)built;
  return table;
}

} // namespace

StandardColorFinder::StandardColorFinder() : m_table(&StandardTable()) {}

int StandardColorFinder::Nearest(unsigned candidates, int red, int green, int blue) {
  const ColorValue c = RgbColor(red, green, blue);
  int best = std::countr_zero(candidates);
  int bestDistance = ColorDistance(PaletteEntryToColor(StandardPalette16[best]), c);
  for (candidates &= candidates - 1; candidates != 0; candidates &= candidates - 1) {
    const int i = std::countr_zero(candidates);
    const int distance = ColorDistance(PaletteEntryToColor(StandardPalette16[i]), c);
    if (distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}

bool IsStandardPalette16(const RgbQuad *palette, int count) {
  if (count != 16)
    return false;
  for (int i = 0; i < 16; ++i)
    if (PaletteEntryToColor(palette[i]) != PaletteEntryToColor(StandardPalette16[i]))
      return false;
  return true;
}
