// Modes 4 and 5: black and white by a 4 × 4 ordered dither, at the same or twice the size.
#include <cstdint>
#include <limits>

#include "convert/converters.h"

namespace {

// Destination pixel (X, Y) compares with entry 4 × (X mod 4) + (Y mod 4): the column picks a
// group of four, the row the entry within it. The grid is anchored at the top-left pixel.
constexpr int DitherMatrix4x4[16] = {4, 12, 6, 14, 10, 0, 8, 2, 7, 15, 5, 13, 9, 3, 11, 1};

constexpr double DitherScale = 17.0;
constexpr double DitherOffset = 0.5;

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
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // v runs from -0.5 (black) to 16.5 (white), so black exceeds no threshold and white all.
      const double v =
          Luminance(source.GetPixelColor(x / scale, y / scale)) * DitherScale - DitherOffset;
      const int threshold = DitherMatrix4x4[4 * (x % 4) + y % 4];
      dest.SetPixelIndex(x, y, v > threshold ? 1 : 0);
    }
  }
  return true;
}
