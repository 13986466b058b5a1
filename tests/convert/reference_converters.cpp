#include "convert/reference_converters.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace reference {
namespace {

template <typename IndexOf>
bool ConvertEachPixel(const CDibImage &source, CDibImage &dest, int bitCount,
                      const RgbQuad *palette, int paletteCount, IndexOf indexOf) {
  if (!source.HasSection())
    return false;
  if (!dest.Create(source.Width(), source.Height(), bitCount, palette, paletteCount))
    return false;
  if (!dest.SelectIntoMemoryDc())
    return false;
  for (int y = 0; y < source.Height(); ++y)
    for (int x = 0; x < source.Width(); ++x) {
      const int index = indexOf(source.GetPixelColor(x, y));
      if (index >= 0)
        dest.SetPixelIndex(x, y, index);
    }
  return true;
}

RgbQuad GrayEntry(int level) {
  const auto l = static_cast<std::uint8_t>(level);
  return {l, l, l, 0};
}

template <int Channels, typename LoadRow, typename Quantise>
void DiffuseRows(int width, int height, LoadRow loadRow, Quantise quantise) {
  const auto columns = static_cast<std::size_t>(width) * Channels;
  std::vector<double> first(columns);
  std::vector<double> second(columns);
  double *current = first.data();
  double *next = second.data();
  const double weights[4] = {0.4375, 0.1875, 0.3125, 0.0625};
  for (int y = 0; y < height; ++y) {
    if (y == 0)
      loadRow(0, current);
    else
      std::swap(current, next);
    const bool hasNext = y + 1 < height;
    if (hasNext)
      loadRow(y + 1, next);
    for (int x = 0; x < width; ++x) {
      double error[Channels];
      quantise(x, y, current + static_cast<std::size_t>(x) * Channels, error);
      auto add = [&](double *row, int column, double weight) {
        for (int c = 0; c < Channels; ++c) {
          double &v = row[static_cast<std::size_t>(column) * Channels + c];
          v = v + error[c] * weight;
        }
      };
      if (x + 1 < width)
        add(current, x + 1, weights[0]);
      if (!hasNext)
        continue;
      if (x >= 1)
        add(next, x - 1, weights[1]);
      add(next, x, weights[2]);
      if (x + 1 < width)
        add(next, x + 1, weights[3]);
    }
  }
}

int RoundToChannel(double v) {
  const int rounded = v > 0 ? static_cast<int>(v + 0.5) : static_cast<int>(v - 0.5);
  return rounded < 0 ? 0 : rounded > 255 ? 255 : rounded;
}

bool SameSize(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height();
}

} // namespace

bool ConvertGray16(const CDibImage &source, CDibImage &dest) {
  RgbQuad table[16];
  for (int i = 0; i < 16; ++i)
    table[i] = GrayEntry(17 * i);
  return ConvertEachPixel(source, dest, 4, table, 16,
                          [](ColorValue c) { return static_cast<int>(Luminance(c) * 15.9999); });
}

bool ConvertGray256(const CDibImage &source, CDibImage &dest) {
  RgbQuad table[256];
  for (int i = 0; i < 256; ++i)
    table[i] = GrayEntry(i);
  return ConvertEachPixel(source, dest, 8, table, 256,
                          [](ColorValue c) { return static_cast<int>(Luminance(c) * 255.9999); });
}

bool ConvertStandard16(const CDibImage &source, CDibImage &dest, const RgbQuad *palette,
                       int count) {
  if (palette == nullptr || count < 1)
    return false;
  return ConvertEachPixel(source, dest, 4, nullptr, 0, [palette, count](ColorValue c) {
    return NearestPaletteIndex(palette, count, c);
  });
}

bool ConvertMonochrome(const CDibImage &source, CDibImage &dest) {
  return ConvertEachPixel(source, dest, 1, nullptr, 0,
                          [](ColorValue c) { return Luminance(c) > 0.5 ? 1 : -1; });
}

bool ConvertOrderedDither(const CDibImage &source, CDibImage &dest, int scale) {
  static constexpr int Matrix[16] = {4, 12, 6, 14, 10, 0, 8, 2, 7, 15, 5, 13, 9, 3, 11, 1};
  if (!source.HasSection())
    return false;
  const std::int64_t width = static_cast<std::int64_t>(source.Width()) * scale;
  const std::int64_t height = static_cast<std::int64_t>(source.Height()) * scale;
  const auto fits = [](std::int64_t v) { return v > 0 && v <= std::numeric_limits<int>::max(); };
  if (!fits(width) || !fits(height) ||
      !dest.Create(static_cast<int>(width), static_cast<int>(height), 1))
    return false;
  if (!dest.SelectIntoMemoryDc())
    return false;
  for (int y = 0; y < dest.Height(); ++y)
    for (int x = 0; x < dest.Width(); ++x) {
      const double v = Luminance(source.GetPixelColor(x / scale, y / scale)) * 17.0 - 0.5;
      dest.SetPixelIndex(x, y, v > Matrix[4 * (x % 4) + y % 4] ? 1 : 0);
    }
  return true;
}

bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest) {
  if (!source.HasSection() || !dest.HasSection() || dest.BitCount() != 1 || !SameSize(source, dest))
    return false;
  DiffuseRows<1>(
      dest.Width(), dest.Height(),
      [&source](int y, double *row) {
        for (int x = 0; x < source.Width(); ++x)
          row[x] = Luminance(source.GetPixelColor(x, y));
      },
      [&dest](int x, int y, const double *v, double *error) {
        const int b = v[0] > 0.5 ? 1 : 0;
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
      dest.Width(), dest.Height(),
      [&source](int y, double *row) {
        for (int x = 0; x < source.Width(); ++x) {
          const ColorValue c = source.GetPixelColor(x, y);
          row[3 * x] = RedOf(c);
          row[3 * x + 1] = GreenOf(c);
          row[3 * x + 2] = BlueOf(c);
        }
      },
      [&dest](int x, int y, const double *v, double *error) {
        const ColorValue c =
            RgbColor(RoundToChannel(v[0]), RoundToChannel(v[1]), RoundToChannel(v[2]));
        const int i = NearestPaletteIndex(dest.m_palette, dest.m_paletteCount, c);
        dest.SetPixelIndex(x, y, i);
        const RgbQuad &entry = dest.m_palette[i];
        error[0] = v[0] - entry.rgbRed;
        error[1] = v[1] - entry.rgbGreen;
        error[2] = v[2] - entry.rgbBlue;
      });
  return true;
}

} // namespace reference
