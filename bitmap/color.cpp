#include "bitmap/color.h"

#include <cstddef>
#include <vector>

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

struct StandardBoxes {
  std::uint8_t entry[BoxesPerAxis * BoxesPerAxis * BoxesPerAxis];
};

// Fills the table by halving: a block of boxes whose eight outer corners agree is filled at
// once (it is convex, see the header), any other block is split into eight, down to single
// boxes, which then straddle a border. Corners are shared by neighbouring blocks, so each is
// searched once. Only blocks near a border are split, so a few ten thousand searches do.
class StandardBoxBuilder {
public:
  explicit StandardBoxBuilder(StandardBoxes &boxes)
      : m_boxes(boxes), m_corners(static_cast<std::size_t>(Points) * Points * Points, Unknown) {}

  void Fill(int r0, int g0, int b0, int size) {
    const int first = Corner(r0, g0, b0);
    bool same = true;
    for (int k = 1; k < 8 && same; ++k)
      same = Corner(r0 + (k & 1) * size, g0 + (k >> 1 & 1) * size, b0 + (k >> 2) * size) == first;
    if (same || size == 1) {
      const auto value = static_cast<std::uint8_t>(same ? first : StandardColorFinder::Straddles);
      for (int r = r0; r < r0 + size; ++r)
        for (int g = g0; g < g0 + size; ++g)
          for (int b = b0; b < b0 + size; ++b)
            m_boxes.entry[(r * BoxesPerAxis + g) * BoxesPerAxis + b] = value;
      return;
    }
    const int half = size / 2;
    for (int k = 0; k < 8; ++k)
      Fill(r0 + (k & 1) * half, g0 + (k >> 1 & 1) * half, b0 + (k >> 2) * half, half);
  }

private:
  static constexpr int Points = BoxesPerAxis + 1;
  static constexpr std::uint8_t Unknown = 0xFF;

  // Corner i of the boxes along an axis is the channel value i × BoxSize; the far side of the
  // last box is 255, its largest colour.
  static int Value(int i) { return i * BoxSize > 255 ? 255 : i * BoxSize; }

  int Corner(int r, int g, int b) {
    std::uint8_t &nearest = m_corners[(static_cast<std::size_t>(r) * Points + g) * Points + b];
    if (nearest == Unknown)
      nearest =
          static_cast<std::uint8_t>(StandardColorFinder::Search(Value(r), Value(g), Value(b)));
    return nearest;
  }

  StandardBoxes &m_boxes;
  std::vector<std::uint8_t> m_corners;
};

const std::uint8_t *StandardBoxTable() {
  // Filled under the guard of the static below, once, even with several threads.
  static StandardBoxes boxes;
  static const bool filled = (StandardBoxBuilder(boxes).Fill(0, 0, 0, BoxesPerAxis), true);
  (void)filled;
  return boxes.entry;
}

} // namespace

StandardColorFinder::StandardColorFinder() : m_boxes(StandardBoxTable()) {}

int StandardColorFinder::Search(int red, int green, int blue) {
  return NearestPaletteIndex(StandardPalette16, 16, RgbColor(red, green, blue));
}

bool IsStandardPalette16(const RgbQuad *palette, int count) {
  if (count != 16)
    return false;
  for (int i = 0; i < 16; ++i)
    if (PaletteEntryToColor(palette[i]) != PaletteEntryToColor(StandardPalette16[i]))
      return false;
  return true;
}
