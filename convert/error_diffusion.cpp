// Modes 6 and 7: Floyd–Steinberg error diffusion to black and white or to a colour table.
//
// One pass, top row to bottom, left to right in every row (never serpentine). Each pixel's
// error goes to the four unprocessed neighbours with the weights 7/16 (right), 3/16 (below
// left), 5/16 (below) and 1/16 (below right); shares that would leave the image are dropped.
// Only two rows of doubles are kept: the current row and the one below, swapped at every row.
// Each update is old + e × weight with the product and the sum rounded to double separately,
// and values are never clamped in the buffers.
#include <cstddef>
#include <utility>
#include <vector>

#include "convert/converters.h"
#include "convert/source_rows.h"

namespace {

constexpr double WeightRight = 0.4375;      // 7/16
constexpr double WeightBelowLeft = 0.1875;  // 3/16
constexpr double WeightBelow = 0.3125;      // 5/16
constexpr double WeightBelowRight = 0.0625; // 1/16
constexpr double MonochromeThreshold = 0.5;

struct LuminanceRule {
  using Value = double;
  Value operator()(int r, int g, int b) const { return LuminanceOf(r, g, b); }
};

struct ChannelRule {
  using Value = ColorValue;
  Value operator()(int r, int g, int b) const { return RgbColor(r, g, b); }
};

// The row loaders over a source whose layout was looked at once. A row outside the source,
// or a source without pixels, reads as white, as GetPixelColor reads it.
class LuminanceRows {
public:
  explicit LuminanceRows(const CDibImage &source) : m_source(source), m_rows(source, {}) {}
  void Load(int y, double *row) const {
    const int width = m_source.Width();
    if (!m_source.HasSection() || y < 0 || y >= m_source.Height()) {
      for (int x = 0; x < width; ++x)
        row[x] = LuminanceOf(255, 255, 255);
      return;
    }
    m_rows.Row(y, [row, width](auto &pixel) {
      for (int x = 0; x < width; ++x)
        row[x] = pixel(x);
    });
  }

private:
  const CDibImage &m_source;
  const SourceRows<LuminanceRule> m_rows;
};

class ChannelRows {
public:
  explicit ChannelRows(const CDibImage &source) : m_source(source), m_rows(source, {}) {}
  void Load(int y, double *row) const {
    const int width = m_source.Width();
    if (!m_source.HasSection() || y < 0 || y >= m_source.Height()) {
      for (int i = 0; i < 3 * width; ++i)
        row[i] = 255.0;
      return;
    }
    m_rows.Row(y, [row, width](auto &pixel) {
      for (int x = 0; x < width; ++x) {
        const ColorValue c = pixel(x);
        row[3 * x] = RedOf(c);
        row[3 * x + 1] = GreenOf(c);
        row[3 * x + 2] = BlueOf(c);
      }
    });
  }

private:
  const CDibImage &m_source;
  const SourceRows<ChannelRule> m_rows;
};

// One row of the diffusion: `quantise(x, value, error)` stores pixel x from its Channels
// values and gives its errors. The running values are kept in registers, and every buffer
// cell still receives its shares one by one in the order the pixels are visited: a cell of
// the next row gets 1/16 from its upper-left pixel, then 5/16 from the one above, then 3/16
// from the upper-right one; a cell of this row gets 7/16 from its left neighbour.
template <int Channels, typename Quantise>
void DiffuseRow(const double *current, double *next, int width, bool hasNext, Quantise &quantise) {
  double value[Channels];     // pixel x, with its left neighbour's share
  double belowLeft[Channels]; // next row, column x - 1, waiting for pixel x's share
  double below[Channels];     // next row, column x, holding pixel x - 1's share
  for (int c = 0; c < Channels; ++c) {
    value[c] = current[c];
    below[c] = hasNext ? next[c] : 0.0;
    belowLeft[c] = 0.0;
  }
  for (int x = 0; x < width; ++x) {
    double error[Channels];
    quantise(x, value, error);
    const bool hasRight = x + 1 < width;
    const std::size_t at = static_cast<std::size_t>(x) * Channels;
    for (int c = 0; c < Channels; ++c) {
      if (hasRight)
        value[c] = current[at + Channels + c] + error[c] * WeightRight;
      if (!hasNext)
        continue;
      if (x >= 1)
        next[at - Channels + c] = belowLeft[c] + error[c] * WeightBelowLeft;
      belowLeft[c] = below[c] + error[c] * WeightBelow;
      if (hasRight)
        below[c] = next[at + Channels + c] + error[c] * WeightBelowRight;
    }
  }
  if (hasNext)
    for (int c = 0; c < Channels; ++c)
      next[static_cast<std::size_t>(width - 1) * Channels + c] = belowLeft[c];
}

// The row pipeline both converters share: load row 0, then at every row swap the buffers and
// load the row below before any pixel of this row gives it a share.
template <int Channels, typename Rows, typename QuantiseRow>
void DiffuseRows(const Rows &rows, int width, int height, QuantiseRow quantiseRow) {
  const auto columns = static_cast<std::size_t>(width) * Channels;
  std::vector<double> first(columns);
  std::vector<double> second(columns);
  double *current = first.data();
  double *next = second.data();
  for (int y = 0; y < height; ++y) {
    if (y == 0)
      rows.Load(0, current);
    else
      std::swap(current, next);
    const bool hasNext = y + 1 < height;
    if (hasNext)
      rows.Load(y + 1, next);
    auto quantise = quantiseRow(y);
    DiffuseRow<Channels>(current, next, width, hasNext, quantise);
    quantise.Finish();
  }
}

// Writes one bit per pixel into a row of a 1-bit image, eight at a time. The bits of the last
// byte that hold no pixel are left as they were.
class BitWriter {
public:
  BitWriter(std::uint8_t *row, int width) : m_row(row), m_width(width) {}
  void Put(int x, unsigned bit) {
    m_bits = m_bits << 1 | bit;
    if ((x & 7) == 7)
      m_row[x >> 3] = static_cast<std::uint8_t>(m_bits);
  }
  void Finish() {
    const int used = m_width & 7;
    if (used == 0)
      return;
    const unsigned mine = (0xFFu << (8 - used)) & 0xFFu;
    std::uint8_t &last = m_row[m_width >> 3];
    last = static_cast<std::uint8_t>((last & ~mine) | (m_bits << (8 - used) & mine));
  }

private:
  std::uint8_t *m_row;
  int m_width;
  unsigned m_bits = 0;
};

// Stores an index as SetPixelIndex does for an image of BitCount bits per pixel: an index the
// depth cannot hold, or a depth without indices (0 here), leaves the pixel as it was.
template <int BitCount> void PutIndex(std::uint8_t *row, int x, int index) {
  if constexpr (BitCount == 1) {
    if (index != 0 && index != 1)
      return;
    const auto mask = static_cast<std::uint8_t>(0x80 >> (x & 7));
    row[x >> 3] = static_cast<std::uint8_t>(index == 1 ? row[x >> 3] | mask : row[x >> 3] & ~mask);
  } else if constexpr (BitCount == 4) {
    if (index < 0 || index > 15)
      return;
    std::uint8_t &pair = row[x >> 1];
    pair = static_cast<std::uint8_t>(x & 1 ? (pair & 0xF0) | index : (pair & 0x0F) | index << 4);
  } else if constexpr (BitCount == 8) {
    if (index >= 0 && index <= 255)
      row[x] = static_cast<std::uint8_t>(index);
  }
}

// Halves away from zero, then clamped to 0..255. A value of 0 or less rounds to 0 or less and
// is clamped to 0, so only positive values are rounded.
int RoundToChannel(double v) {
  if (!(v > 0))
    return 0;
  const int rounded = static_cast<int>(v + 0.5);
  return rounded > 255 ? 255 : rounded;
}

// DiffuseStandard16 for a destination of BitCount bits per pixel. `nearest` is
// NearestPaletteIndex over the destination's table; errors use that table's bytes.
template <int BitCount, typename Nearest>
void DiffuseColors(const ChannelRows &rows, CDibImage &dest, const Nearest &nearest) {
  double entry[MaxPaletteEntries][3];
  for (int i = 0; i < dest.m_paletteCount; ++i) {
    entry[i][0] = dest.m_palette[i].rgbRed;
    entry[i][1] = dest.m_palette[i].rgbGreen;
    entry[i][2] = dest.m_palette[i].rgbBlue;
  }
  struct Quantise {
    std::uint8_t *out;
    const Nearest &nearest;
    const double (*entry)[3];
    void operator()(int x, const double *v, double *error) {
      const int i = nearest(RoundToChannel(v[0]), RoundToChannel(v[1]), RoundToChannel(v[2]));
      PutIndex<BitCount>(out, x, i);
      // From the unrounded, unclamped values: what clamping cut off is passed on too.
      error[0] = v[0] - entry[i][0];
      error[1] = v[1] - entry[i][1];
      error[2] = v[2] - entry[i][2];
    }
    void Finish() {}
  };
  DiffuseRows<3>(rows, dest.Width(), dest.Height(), [&](int y) {
    return Quantise{dest.RowAddress(y), nearest, entry};
  });
}

template <typename Nearest>
void DiffuseColorsAnyDepth(const ChannelRows &rows, CDibImage &dest, const Nearest &nearest) {
  switch (dest.BitCount()) {
  case 1: DiffuseColors<1>(rows, dest, nearest); return;
  case 4: DiffuseColors<4>(rows, dest, nearest); return;
  case 8: DiffuseColors<8>(rows, dest, nearest); return;
  default: DiffuseColors<0>(rows, dest, nearest); return;
  }
}

struct DestinationTableSearch {
  const RgbQuad *palette;
  int count;
  int operator()(int r, int g, int b) const {
    return NearestPaletteIndex(palette, count, RgbColor(r, g, b));
  }
};

bool SameSize(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height();
}

} // namespace

void LoadRgbRow(const CDibImage &source, int y, double *row) { ChannelRows(source).Load(y, row); }

void LoadLuminanceRow(const CDibImage &source, int y, double *row) {
  LuminanceRows(source).Load(y, row);
}

bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.BitCount() != 1 || !SameSize(source, dest))
    return false;
  struct Quantise {
    BitWriter out;
    void operator()(int x, const double *v, double *error) {
      const int b = v[0] > MonochromeThreshold ? 1 : 0;
      out.Put(x, static_cast<unsigned>(b));
      error[0] = v[0] - b;
    }
    void Finish() { out.Finish(); }
  };
  const LuminanceRows rows(source);
  DiffuseRows<1>(rows, dest.Width(), dest.Height(),
                 [&dest](int y) { return Quantise{BitWriter(dest.RowAddress(y), dest.Width())}; });
  return true;
}

bool DiffuseStandard16(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.m_paletteCount < 1 ||
      !SameSize(source, dest))
    return false;
  const ChannelRows rows(source);
  if (IsStandardPalette16(dest.m_palette, dest.m_paletteCount))
    DiffuseColorsAnyDepth(rows, dest, StandardColorFinder());
  else
    DiffuseColorsAnyDepth(rows, dest, DestinationTableSearch{dest.m_palette, dest.m_paletteCount});
  return true;
}
