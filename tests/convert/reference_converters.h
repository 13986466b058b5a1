// The converters as plain per-pixel loops over the image's accessors: every pixel read with
// GetPixelColor and written with SetPixelIndex, each colour run through Luminance or
// NearestPaletteIndex. Slow and obviously right, they are the oracle the fast converters are
// compared with byte for byte.
#pragma once

#include "bitmap/dib_image.h"

namespace reference {

bool ConvertGray16(const CDibImage &source, CDibImage &dest);
bool ConvertGray256(const CDibImage &source, CDibImage &dest);
bool ConvertStandard16(const CDibImage &source, CDibImage &dest, const RgbQuad *palette, int count);
bool ConvertMonochrome(const CDibImage &source, CDibImage &dest);
bool ConvertOrderedDither(const CDibImage &source, CDibImage &dest, int scale);
bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest);
bool DiffuseStandard16(const CDibImage &source, CDibImage &dest);

} // namespace reference
