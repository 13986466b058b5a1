// Modes 6 and 7: Floyd–Steinberg error diffusion to black and white or to a colour table.
//
// One pass, top row to bottom, left to right in every row (never serpentine). Each pixel's
// error goes to the four unprocessed neighbours with the weights 7/16 (right), 3/16 (below
// left), 5/16 (below) and 1/16 (below right); shares that would leave the image are dropped.
// Only two rows of doubles are kept, the row being diffused and the one below (DiffuseRows).
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

// What a row buffer holds per pixel: its brightness, or its red, green and blue.
struct LuminanceRule {
  using Value = double;
  static constexpr int Channels = 1;
  Value operator()(int r, int g, int b) const { return LuminanceOf(r, g, b); }
  static void Store(double *cell, Value v) { cell[0] = v; }
};

struct ChannelRule {
  using Value = ColorValue;
  static constexpr int Channels = 3;
  Value operator()(int r, int g, int b) const { return RgbColor(r, g, b); }
  static void Store(double *cell, Value c) {
    cell[0] = RedOf(c);
    cell[1] = GreenOf(c);
    cell[2] = BlueOf(c);
  }
};

// A row loader over a source whose layout was looked at once. A row outside the source, or a
// source without pixels, reads as white, as GetPixelColor reads it.
template <typename Rule> class RowLoader {
public:
  static constexpr int Channels = Rule::Channels;

  explicit RowLoader(const CDibImage &source) : m_source(source), m_rows(source, Rule{}) {}

  // Pixels from .. to - 1 of row y into their cells of `row`.
  void Load(int y, double *row, int from, int to) const {
    const auto cell = [row](int x) { return row + static_cast<std::size_t>(x) * Channels; };
    if (!m_source.HasSection() || y < 0 || y >= m_source.Height()) {
      const auto white = Rule{}(255, 255, 255);
      for (int x = from; x < to; ++x)
        Rule::Store(cell(x), white);
      return;
    }
    m_rows.Row(y, [&](auto &pixel) {
      for (int x = from; x < to; ++x)
        Rule::Store(cell(x), pixel(x));
    });
  }
  void Load(int y, double *row) const { Load(y, row, 0, m_source.Width()); }

private:
  const CDibImage &m_source;
  const SourceRows<Rule> m_rows;
};

// One row of the diffusion, a pixel at a time: `quantise(x, value, error)` stores pixel x from
// its Channels values and gives its errors. Every buffer cell receives its shares in the order
// the pixels are visited: a cell of this row gets 7/16 from its left neighbour; a cell of the
// next row gets 1/16 from its upper-left pixel, then 5/16 from the one above, then 3/16 from
// the upper-right one. The value of the pixel to the right and the next row's cell below-left,
// which is finished one step later, wait in registers. The last row (HasNext false) passes
// shares only to the right. Step (x) reads this row's cell x + 1, adds to the next row's cells
// x and x + 1, and finishes its cell x - 1.
template <int Channels, bool HasNext, typename Quantise> class RowDiffuser {
public:
  RowDiffuser(const double *current, double *next, int width, Quantise &quantise)
      : m_current(current), m_next(next), m_width(width), m_quantise(quantise) {}

  void Start() {
    for (int c = 0; c < Channels; ++c) {
      m_value[c] = m_current[c];
      m_left[c] = 0.0;
    }
  }

  void Step(int x) {
    double error[Channels];
    m_quantise(x, m_value, error);
    const bool hasRight = x + 1 < m_width;
    const std::size_t at = static_cast<std::size_t>(x) * Channels;
    for (int c = 0; c < Channels; ++c) {
      if (hasRight)
        m_value[c] = m_current[at + Channels + c] + error[c] * WeightRight;
      if (!HasNext)
        continue;
      if (x >= 1)
        m_next[at - Channels + c] = m_left[c] + error[c] * WeightBelowLeft;
      m_left[c] = m_next[at + c] + error[c] * WeightBelow;
      if (hasRight)
        m_next[at + Channels + c] = m_next[at + Channels + c] + error[c] * WeightBelowRight;
    }
  }

  void Finish() {
    if (HasNext)
      for (int c = 0; c < Channels; ++c)
        m_next[static_cast<std::size_t>(m_width - 1) * Channels + c] = m_left[c];
    m_quantise.Finish();
  }

private:
  const double *m_current;
  double *m_next;
  int m_width;
  Quantise &m_quantise;
  double m_value[Channels]{}; // this row, column x, with its left neighbour's share
  double m_left[Channels]{};  // next row, column x - 1, waiting for pixel x's 3/16
};

// Each pixel waits for its left neighbour's error, so a row is one chain of dependent steps.
// Two rows are therefore diffused side by side, the lower one Lag pixels behind, and the
// processor overlaps the two chains. Every cell still gets the same shares in the same order:
// a pixel of the lower row starts only after the three pixels above it have given theirs, and
// the row below the pair is loaded, Chunk cells at a time, into cells of the upper row's
// buffer that the upper row is done with, before any share reaches them.
constexpr int Chunk = 32;
constexpr int Lag = Chunk + 2;

template <bool BottomHasNext, typename Loader, typename Quantise>
void DiffusePair(const Loader &loader, int y, double *upper, double *lower, int width,
                 Quantise &topQuantise, Quantise &bottomQuantise) {
  constexpr int Channels = Loader::Channels;
  RowDiffuser<Channels, true, Quantise> top(upper, lower, width, topQuantise);
  RowDiffuser<Channels, BottomHasNext, Quantise> bottom(lower, upper, width, bottomQuantise);
  // Row y + 2 goes into `upper`, cells [x + 1, x + 1 + Chunk) just before the lower row's step
  // x first reads one of them (step 0 reads cells 0 and 1); the upper row, at least Lag pixels
  // ahead, has read them all by then.
  const auto bottomStep = [&](int x) {
    if (BottomHasNext && (x == 0 || (x + 1) % Chunk == 0)) {
      const int from = x == 0 ? 0 : x + 1;
      loader.Load(y + 2, upper, from, from + Chunk < width ? from + Chunk : width);
    }
    if (x == 0)
      bottom.Start();
    bottom.Step(x);
  };
  top.Start();
  int k = 0;
  for (; k < width && k < Lag; ++k)
    top.Step(k);
  for (; k < width; ++k) {
    top.Step(k);
    bottomStep(k - Lag);
  }
  top.Finish();
  for (int x = width > Lag ? width - Lag : 0; x < width; ++x)
    bottomStep(x);
  bottom.Finish();
}

// The row pipeline both converters share. Row 0 is loaded first; every other row is loaded
// once, before any pixel above it gives it a share. `quantiseRow(y)` makes row y's quantiser.
template <typename Loader, typename QuantiseRow>
void DiffuseRows(const Loader &loader, int width, int height, QuantiseRow quantiseRow) {
  constexpr int Channels = Loader::Channels;
  const auto columns = static_cast<std::size_t>(width) * Channels;
  std::vector<double> first(columns);
  std::vector<double> second(columns);
  double *upper = first.data();
  double *lower = second.data();
  loader.Load(0, upper);
  for (int y = 0; y < height; y += 2) {
    auto topQuantise = quantiseRow(y);
    if (y + 1 == height) {
      RowDiffuser<Channels, false, decltype(topQuantise)> last(upper, lower, width, topQuantise);
      last.Start();
      for (int x = 0; x < width; ++x)
        last.Step(x);
      last.Finish();
      break;
    }
    loader.Load(y + 1, lower);
    auto bottomQuantise = quantiseRow(y + 1);
    if (y + 2 < height)
      DiffusePair<true>(loader, y, upper, lower, width, topQuantise, bottomQuantise);
    else
      DiffusePair<false>(loader, y, upper, lower, width, topQuantise, bottomQuantise);
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

// Halves away from zero, then clamped to 0..255. Only values above 0 are rounded up by adding
// 0.5 and truncating; a value of 0 or less ends as 0 after clamping whichever way it rounds,
// and so does trunc(v + 0.5) for it, which is 0 or less too.
int RoundToChannel(double v) {
  const int rounded = static_cast<int>(v + 0.5);
  return rounded < 0 ? 0 : rounded > 255 ? 255 : rounded;
}

// DiffuseStandard16 for a destination of BitCount bits per pixel. `nearest` is
// NearestPaletteIndex over the destination's table; errors use that table's bytes.
template <int BitCount, typename Nearest>
void DiffuseColors(const RowLoader<ChannelRule> &rows, CDibImage &dest, const Nearest &nearest) {
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
  DiffuseRows(rows, dest.Width(), dest.Height(), [&](int y) {
    return Quantise{dest.RowAddress(y), nearest, entry};
  });
}

template <typename Nearest>
void DiffuseColorsAnyDepth(const RowLoader<ChannelRule> &rows, CDibImage &dest,
                           const Nearest &nearest) {
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

void LoadRgbRow(const CDibImage &source, int y, double *row) {
  RowLoader<ChannelRule>(source).Load(y, row);
}

void LoadLuminanceRow(const CDibImage &source, int y, double *row) {
  RowLoader<LuminanceRule>(source).Load(y, row);
}

bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.BitCount() != 1 || !SameSize(source, dest))
    return false;
  struct Quantise {
    BitWriter out;
    void operator()(int x, const double *v, double *error) {
      const bool white = v[0] > MonochromeThreshold;
      out.Put(x, white ? 1u : 0u);
      error[0] = v[0] - (white ? 1.0 : 0.0);
    }
    void Finish() { out.Finish(); }
  };
  const RowLoader<LuminanceRule> rows(source);
  DiffuseRows(rows, dest.Width(), dest.Height(),
              [&dest](int y) { return Quantise{BitWriter(dest.RowAddress(y), dest.Width())}; });
  return true;
}

bool DiffuseStandard16(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.m_paletteCount < 1 ||
      !SameSize(source, dest))
    return false;
  const RowLoader<ChannelRule> rows(source);
  if (IsStandardPalette16(dest.m_palette, dest.m_paletteCount))
    DiffuseColorsAnyDepth(rows, dest, StandardColorFinder());
  else
    DiffuseColorsAnyDepth(rows, dest, DestinationTableSearch{dest.m_palette, dest.m_paletteCount});
  return true;
}
