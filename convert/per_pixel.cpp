// Modes 0-3: every source pixel maps by itself to the pixel at the same place.
#include "convert/converters.h"
#include "convert/source_rows.h"

namespace {

// 15.9999 and 255.9999 rather than 16 and 256: white (exactly 1.0) must give the top index,
// never the one above it.
constexpr double Gray16Scale = 15.9999;
constexpr double Gray256Scale = 255.9999;
constexpr double MonochromeThreshold = 0.5;

// Colour → index rules. LuminanceOf is Luminance bit for bit (see bitmap/color.h).
struct Gray16Rule {
  using Value = std::uint8_t;
  Value operator()(int r, int g, int b) const {
    return static_cast<Value>(LuminanceOf(r, g, b) * Gray16Scale);
  }
};

struct Gray256Rule {
  using Value = std::uint8_t;
  Value operator()(int r, int g, int b) const {
    return static_cast<Value>(LuminanceOf(r, g, b) * Gray256Scale);
  }
};

// Only white is written; every other pixel keeps index 0 (black) from the zero fill, which is
// what writing 0 gives.
struct MonochromeRule {
  using Value = std::uint8_t;
  Value operator()(int r, int g, int b) const {
    return LuminanceOf(r, g, b) > MonochromeThreshold ? 1 : 0;
  }
};

struct StandardRule {
  using Value = std::uint8_t;
  StandardColorFinder nearest;
  Value operator()(int r, int g, int b) const { return static_cast<Value>(nearest(r, g, b)); }
};

// Any other table the caller names. An index a 4-bit pixel cannot hold is not stored, so the
// pixel keeps its 0.
struct PaletteRule {
  using Value = std::uint8_t;
  const RgbQuad *palette;
  int count;
  Value operator()(int r, int g, int b) const {
    const int index = NearestPaletteIndex(palette, count, RgbColor(r, g, b));
    return static_cast<Value>(index <= 15 ? index : 0);
  }
};

// Packs a row of indices into the destination's row. Every pixel's bits are written at once;
// the destination was zero-filled, so the bits beyond the last pixel stay 0.
template <int BitCount, typename Reader> void PackRow(std::uint8_t *out, int width, Reader &pixel) {
  int x = 0;
  if constexpr (BitCount == 8) {
    for (; x < width; ++x)
      out[x] = pixel(x);
  } else if constexpr (BitCount == 4) {
    for (; x + 1 < width; x += 2)
      *out++ = static_cast<std::uint8_t>(pixel(x) << 4 | pixel(x + 1));
    if (x < width)
      *out = static_cast<std::uint8_t>(pixel(x) << 4);
  } else {
    static_assert(BitCount == 1);
    for (; x + 7 < width; x += 8) {
      unsigned bits = 0;
      for (int k = 0; k < 8; ++k)
        bits = bits << 1 | pixel(x + k);
      *out++ = static_cast<std::uint8_t>(bits);
    }
    if (x < width) {
      unsigned bits = 0;
      for (int k = 0; x + k < width; ++k)
        bits |= static_cast<unsigned>(pixel(x + k)) << (7 - k);
      *out = static_cast<std::uint8_t>(bits);
    }
  }
}

// The skeleton the four share: make the destination, then fill it row by row.
template <int BitCount, typename Rule>
bool ConvertEachRow(const CDibImage &source, CDibImage &dest, const RgbQuad *palette,
                    int paletteCount, const Rule &rule) {
  if (!source.HasSection())
    return false;
  if (!dest.Create(source.Width(), source.Height(), BitCount, palette, paletteCount))
    return false;
  if (!dest.SelectIntoMemoryDc())
    return false;
  const SourceRows<Rule> rows(source, rule);
  const int width = source.Width();
  for (int y = 0; y < source.Height(); ++y) {
    std::uint8_t *out = dest.RowAddress(y);
    if (!rows.Row(y, [out, width](auto &pixel) { PackRow<BitCount>(out, width, pixel); }))
      return false;
    if (!PublishRows(dest, y + 1))
      return false; // not wanted any more: the request has failed elsewhere
  }
  return true;
}

} // namespace

bool ConvertGray16(const CDibImage &source, CDibImage &dest) {
  RgbQuad grayPalette16[16];
  for (int i = 0; i < 16; ++i) {
    const auto level = static_cast<std::uint8_t>(17 * i);
    grayPalette16[i] = {level, level, level, 0};
  }
  return ConvertEachRow<4>(source, dest, grayPalette16, 16, Gray16Rule{});
}

bool ConvertGray256(const CDibImage &source, CDibImage &dest) {
  RgbQuad grayPalette256[256];
  for (int i = 0; i < 256; ++i) {
    const auto level = static_cast<std::uint8_t>(i);
    grayPalette256[i] = {level, level, level, 0};
  }
  return ConvertEachRow<8>(source, dest, grayPalette256, 256, Gray256Rule{});
}

bool ConvertStandard16(const CDibImage &source, CDibImage &dest, const RgbQuad *palette,
                       int count) {
  if (palette == nullptr || count < 1)
    return false;
  if (IsStandardPalette16(palette, count))
    return ConvertEachRow<4>(source, dest, nullptr, 0, StandardRule{});
  return ConvertEachRow<4>(source, dest, nullptr, 0, PaletteRule{palette, count});
}

bool ConvertMonochrome(const CDibImage &source, CDibImage &dest) {
  return ConvertEachRow<1>(source, dest, nullptr, 0, MonochromeRule{});
}
