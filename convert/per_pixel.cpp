// Modes 0-3: every source pixel maps by itself to the pixel at the same place.
#include "convert/converters.h"

namespace {

// The skeleton the four share: make the destination, then store one index per pixel.
// `indexOf` returns the index for a colour, or -1 to leave the zero-filled pixel alone.
template <typename IndexOf>
bool ConvertEachPixel(const CDibImage &source, CDibImage &dest, int bitCount,
                      const RgbQuad *palette, int paletteCount, IndexOf indexOf) {
  if (!source.HasSection())
    return false;
  if (!dest.Create(source.Width(), source.Height(), bitCount, palette, paletteCount))
    return false;
  if (!dest.SelectIntoMemoryDc())
    return false;
  for (int y = 0; y < source.Height(); ++y) {
    for (int x = 0; x < source.Width(); ++x) {
      const int index = indexOf(source.GetPixelColor(x, y));
      if (index >= 0)
        dest.SetPixelIndex(x, y, index);
    }
  }
  return true;
}

// 15.9999 and 255.9999 rather than 16 and 256: white (exactly 1.0) must give the top index,
// never the one above it.
constexpr double Gray16Scale = 15.9999;
constexpr double Gray256Scale = 255.9999;
constexpr double MonochromeThreshold = 0.5;

} // namespace

bool ConvertGray16(const CDibImage &source, CDibImage &dest) {
  RgbQuad grayPalette16[16];
  for (int i = 0; i < 16; ++i) {
    const auto level = static_cast<std::uint8_t>(17 * i);
    grayPalette16[i] = {level, level, level, 0};
  }
  return ConvertEachPixel(source, dest, 4, grayPalette16, 16, [](ColorValue c) {
    return static_cast<int>(Luminance(c) * Gray16Scale);
  });
}

bool ConvertGray256(const CDibImage &source, CDibImage &dest) {
  RgbQuad grayPalette256[256];
  for (int i = 0; i < 256; ++i) {
    const auto level = static_cast<std::uint8_t>(i);
    grayPalette256[i] = {level, level, level, 0};
  }
  return ConvertEachPixel(source, dest, 8, grayPalette256, 256, [](ColorValue c) {
    return static_cast<int>(Luminance(c) * Gray256Scale);
  });
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
  // Only white is written; everything else keeps index 0 (black) from the zero fill.
  return ConvertEachPixel(source, dest, 1, nullptr, 0,
                          [](ColorValue c) { return Luminance(c) > MonochromeThreshold ? 1 : -1; });
}
