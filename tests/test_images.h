// Small builders shared by the tests: images of a given content, and packed bitmaps with any
// header a clipboard might carry.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "bitmap/dib_image.h"

// A packed bitmap as another program might lay it out. `headerSize` bytes of header (fields
// past 40 are zero unless `masks` go inside it), masks after a shorter header, table, rows.
struct DibLayout {
  std::uint32_t headerSize = 40;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t bitCount = 24;
  std::uint32_t compression = 0;
  std::uint32_t clrUsed = 0;
  std::vector<std::uint32_t> masks; // red, green, blue
  std::vector<RgbQuad> table;
  std::vector<std::uint8_t> rows; // empty: zero rows of the right size
};
std::vector<std::uint8_t> BuildPackedDib(const DibLayout &layout);

// A BMP file around a packed bitmap, its rows `gap` bytes after the colour table.
std::vector<std::uint8_t> BuildBmpFile(const DibLayout &layout, std::uint32_t gap = 0);

// A 24-bit image whose pixel (x, y) is color(x, y).
void MakeImage24(CDibImage &image, int width, int height,
                 const std::function<ColorValue(int, int)> &color);
void MakeSolid24(CDibImage &image, int width, int height, ColorValue color);
inline ColorValue Gray(int g) { return RgbColor(g, g, g); }

// The packed bitmap the clipboard writer produces for `image`.
std::vector<std::uint8_t> PackedBytes(const CDibImage &image);

// Every pixel's index, top row first.
std::vector<int> Indices(const CDibImage &image);

std::uint64_t Fnv1a(const std::vector<std::uint8_t> &bytes);
