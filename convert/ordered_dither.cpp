// Modes 4 and 5: black and white by a 4 × 4 ordered dither, at the same or twice the size.
#include <cstdint>
#include <limits>

#include "convert/converters.h"
#include "convert/source_rows.h"

namespace {

// Destination pixel (X, Y) compares with entry 4 × (X mod 4) + (Y mod 4): the column picks a
// group of four, the row the entry within it. The grid is anchored at the top-left pixel.
constexpr int DitherMatrix4x4[16] = {4, 12, 6, 14, 10, 0, 8, 2, 7, 15, 5, 13, 9, 3, 11, 1};

constexpr double DitherScale = 17.0;
constexpr double DitherOffset = 0.5;
// A pixel is white when v = Luminance × 17 - 0.5 exceeds its threshold t, one of the integers
// 0-15. Which thresholds v exceeds depends only on how many of the numbers 0, 1, 2, ... lie
// below v: the pixel's level, trunc(v), plus one when v lies above trunc(v) (v ≥ -0.5, so
// trunc(v) ≥ 0). Then white ⇔ t < level, so the colour is reduced to its level once and the
// thresholds are compared as integers.
// Levels run from 0 (black, v = -0.5) to 17 (v above 16), which is as white as 16.
constexpr int Levels = 18;

struct LevelRule {
  using Value = std::uint8_t;
  Value operator()(int r, int g, int b) const {
    const double v = LuminanceOf(r, g, b) * DitherScale - DitherOffset;
    const int below = static_cast<int>(v);
    return static_cast<Value>(below + (v > below ? 1 : 0));
  }
};

// WhiteBits[Y mod 4][level]: bit 0x80 >> (X mod 8) is set when pixel X of a row is white.
struct WhiteBitTable {
  std::uint8_t bits[4][Levels];
};
constexpr WhiteBitTable WhiteBits = [] {
  WhiteBitTable t{};
  for (int phase = 0; phase < 4; ++phase)
    for (int level = 0; level < Levels; ++level)
      for (int x = 0; x < 8; ++x)
        if (DitherMatrix4x4[4 * (x % 4) + phase] < level)
          t.bits[phase][level] = static_cast<std::uint8_t>(t.bits[phase][level] | 0x80 >> x);
  return t;
}();

// One source row becomes Scale destination rows, each source pixel Scale bits of each. Whole
// bytes are written; the destination was zero-filled, so bits beyond the last pixel stay 0.
template <int Scale, typename Reader>
void DitherRow(CDibImage &dest, int y, int width, Reader &pixel) {
  constexpr int PixelsPerByte = 8 / Scale;
  constexpr unsigned FirstBits = (0xFFu << (8 - Scale)) & 0xFFu; // pixel 0's bits in a byte
  std::uint8_t *out[Scale];
  const std::uint8_t *white[Scale];
  for (int r = 0; r < Scale; ++r) {
    out[r] = dest.RowAddress(Scale * y + r);
    white[r] = WhiteBits.bits[(Scale * y + r) % 4];
  }
  // The byte of each destination row that source pixels x .. x + count - 1 fill.
  const auto fill = [&](int x, int count) {
    unsigned bits[Scale] = {};
    for (int k = 0; k < count; ++k) {
      const int level = pixel(x + k);
      for (int r = 0; r < Scale; ++r)
        bits[r] |= white[r][level] & FirstBits >> (Scale * k);
    }
    for (int r = 0; r < Scale; ++r)
      out[r][x / PixelsPerByte] = static_cast<std::uint8_t>(bits[r]);
  };
  int x = 0;
  for (; x + PixelsPerByte <= width; x += PixelsPerByte)
    fill(x, PixelsPerByte);
  if (x < width)
    fill(x, width - x);
}

// Any other scale, pixel by pixel: the caller passes only 1 and 2.
template <typename Reader>
void DitherRowAnyScale(CDibImage &dest, int y, int scale, Reader &pixel) {
  for (int row = scale * y; row < scale * (y + 1); ++row) {
    std::uint8_t *out = dest.RowAddress(row);
    const std::uint8_t *white = WhiteBits.bits[row % 4];
    for (int x = 0; x < dest.Width(); ++x)
      out[x / 8] =
          static_cast<std::uint8_t>(out[x / 8] | (white[pixel(x / scale)] & 0x80 >> x % 8));
  }
}

// scale × size in 64 bits; 0 when the product is not a positive int.
int ScaledDimension(int size, int scale) {
  const std::int64_t scaled = static_cast<std::int64_t>(size) * scale;
  return scaled > 0 && scaled <= std::numeric_limits<int>::max() ? static_cast<int>(scaled) : 0;
}

} // namespace

bool ConvertOrderedDither(const CDibImage &source, CDibImage &dest, int scale) {
  if (!source.HasSection())
    return false;
  const int width = ScaledDimension(source.Width(), scale);
  const int height = ScaledDimension(source.Height(), scale);
  if (!dest.Create(width, height, 1))
    return false;
  if (!dest.SelectIntoMemoryDc())
    return false;
  const LevelRule rule;
  const SourceRows<LevelRule> rows(source, rule);
  for (int y = 0; y < source.Height(); ++y) {
    const bool read = rows.Row(y, [&](auto &pixel) {
      if (scale == 1)
        DitherRow<1>(dest, y, source.Width(), pixel);
      else if (scale == 2)
        DitherRow<2>(dest, y, source.Width(), pixel);
      else
        DitherRowAnyScale(dest, y, scale, pixel);
    });
    if (!read || !PublishRows(dest, scale * (y + 1)))
      return false; // the source failed, or the result is not wanted any more
  }
  return true;
}
