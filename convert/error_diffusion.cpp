// Modes 6 and 7: Floyd–Steinberg error diffusion to black and white or to a colour table.
//
// One pass, top row to bottom, left to right in every row (never serpentine). Each pixel's
// error goes to the four unprocessed neighbours with the weights 7/16 (right), 3/16 (below
// left), 5/16 (below) and 1/16 (below right), in that order; shares that would leave the
// image are dropped. Only two rows of doubles are kept: the current row and the one below,
// swapped at every row. Each update is old + e × weight with the product and the sum rounded
// to double separately, and values are never clamped in the buffers.
#include <cstddef>
#include <utility>
#include <vector>

#include "convert/converters.h"

namespace {

constexpr double WeightRight = 0.4375;      // 7/16
constexpr double WeightBelowLeft = 0.1875;  // 3/16
constexpr double WeightBelow = 0.3125;      // 5/16
constexpr double WeightBelowRight = 0.0625; // 1/16
constexpr double MonochromeThreshold = 0.5;

// The row pipeline both converters share. `Channels` doubles per column; `loadRow` fills a
// row from the source; `quantise` stores pixel (x, y) from its values and writes its errors.
template <int Channels, typename LoadRow, typename Quantise>
void DiffuseRows(int width, int height, LoadRow loadRow, Quantise quantise) {
  const auto columns = static_cast<std::size_t>(width) * Channels;
  std::vector<double> first(columns);
  std::vector<double> second(columns);
  double *current = first.data();
  double *next = second.data();
  for (int y = 0; y < height; ++y) {
    if (y == 0)
      loadRow(0, current);
    else
      std::swap(current, next);
    const bool hasNext = y + 1 < height;
    // Load the row below before any pixel of this row, so the error lands on fresh values.
    if (hasNext)
      loadRow(y + 1, next);
    for (int x = 0; x < width; ++x) {
      double error[Channels];
      quantise(x, y, current + static_cast<std::size_t>(x) * Channels, error);
      const bool hasRight = x + 1 < width;
      for (int c = 0; c < Channels; ++c) {
        const std::size_t at = static_cast<std::size_t>(x) * Channels + c;
        if (hasRight)
          current[at + Channels] = current[at + Channels] + error[c] * WeightRight;
      }
      if (!hasNext)
        continue;
      // Neighbour by neighbour, and within one neighbour channel by channel.
      if (x >= 1)
        for (int c = 0; c < Channels; ++c) {
          double &v = next[static_cast<std::size_t>(x - 1) * Channels + c];
          v = v + error[c] * WeightBelowLeft;
        }
      for (int c = 0; c < Channels; ++c) {
        double &v = next[static_cast<std::size_t>(x) * Channels + c];
        v = v + error[c] * WeightBelow;
      }
      if (hasRight)
        for (int c = 0; c < Channels; ++c) {
          double &v = next[static_cast<std::size_t>(x + 1) * Channels + c];
          v = v + error[c] * WeightBelowRight;
        }
    }
  }
}

// Halves away from zero (127.5 → 128, -0.5 → -1), then clamped to 0..255.
int RoundToChannel(double v) {
  const int rounded = v > 0 ? static_cast<int>(v + 0.5) : static_cast<int>(v - 0.5);
  return rounded < 0 ? 0 : rounded > 255 ? 255 : rounded;
}

bool SameSize(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height();
}

} // namespace

void LoadRgbRow(const CDibImage &source, int y, double *row) {
  for (int x = 0; x < source.Width(); ++x) {
    const ColorValue c = source.GetPixelColor(x, y);
    double *column = row + static_cast<std::size_t>(x) * 3;
    column[0] = RedOf(c);
    column[1] = GreenOf(c);
    column[2] = BlueOf(c);
  }
}

void LoadLuminanceRow(const CDibImage &source, int y, double *row) {
  for (int x = 0; x < source.Width(); ++x)
    row[x] = Luminance(source.GetPixelColor(x, y));
}

bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.BitCount() != 1 || !SameSize(source, dest))
    return false;
  DiffuseRows<1>(
      dest.Width(), dest.Height(),
      [&source](int y, double *row) { LoadLuminanceRow(source, y, row); },
      [&dest](int x, int y, const double *v, double *error) {
        const int b = v[0] > MonochromeThreshold ? 1 : 0;
        dest.SetPixelIndex(x, y, b);
        error[0] = v[0] - b;
      });
  return true;
}

bool DiffuseStandard16(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.m_paletteCount < 1 ||
      !SameSize(source, dest))
    return false;
  DiffuseRows<3>(
      dest.Width(), dest.Height(), [&source](int y, double *row) { LoadRgbRow(source, y, row); },
      [&dest](int x, int y, const double *v, double *error) {
        const ColorValue c =
            RgbColor(RoundToChannel(v[0]), RoundToChannel(v[1]), RoundToChannel(v[2]));
        const int i = NearestPaletteIndex(dest.m_palette, dest.m_paletteCount, c);
        dest.SetPixelIndex(x, y, i);
        // From the unrounded, unclamped values: what clamping cut off is passed on too.
        const RgbQuad &entry = dest.m_palette[i];
        error[0] = v[0] - entry.rgbRed;
        error[1] = v[1] - entry.rgbGreen;
        error[2] = v[2] - entry.rgbBlue;
      });
  return true;
}
