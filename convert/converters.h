// The converters behind the eight modes. Each takes the source (only read) and a destination
// image, and returns true when the destination holds the result. Pixels are visited from the
// top row down and left to right; thresholds are compared with a strict greater-than; every
// double-to-int conversion truncates toward zero.
#pragma once

#include "bitmap/dib_image.h"

// Per-pixel conversions: the destination is made here, same size as the source.
bool ConvertGray16(const CDibImage &source, CDibImage &dest);  // 4 bpp, 16 grays
bool ConvertGray256(const CDibImage &source, CDibImage &dest); // 8 bpp, 256 grays
// 4 bpp with the standard colours; `palette` and `count` must describe that same table.
bool ConvertStandard16(const CDibImage &source, CDibImage &dest, const RgbQuad *palette, int count);
bool ConvertMonochrome(const CDibImage &source, CDibImage &dest); // 1 bpp, threshold 0.5

// 4 × 4 ordered dither to 1 bpp at `scale` times the source's width and height.
bool ConvertOrderedDither(const CDibImage &source, CDibImage &dest, int scale);

// Error diffusion into a destination the caller has made with the source's size: 1 bpp for
// DiffuseMonochrome, an indexed depth with a colour table for DiffuseStandard16. The row
// buffers may throw std::bad_alloc.
bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest);
bool DiffuseStandard16(const CDibImage &source, CDibImage &dest);

// Row loaders of the error diffusion: `row` holds 3 × width (red, green, blue, 0-255) or
// width (brightness, 0-1) doubles.
void LoadRgbRow(const CDibImage &source, int y, double *row);
void LoadLuminanceRow(const CDibImage &source, int y, double *row);
