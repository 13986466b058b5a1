#include "app/core/conversion_mode.h"

#include "convert/converters.h"

namespace {

// The error-diffusion converters fill a destination made here. Whether Create succeeded is
// not checked: the converters refuse a destination without a section.
template <int BitCount, bool (*Diffuse)(const CDibImage &, CDibImage &)>
bool DiffuseIntoNewImage(const CDibImage &source, CDibImage &dest) {
  if (dest.Create(source.Width(), source.Height(), BitCount))
    dest.SelectIntoMemoryDc();
  return Diffuse(source, dest);
}

} // namespace

// The texts mix full-width (１６, ２) and ASCII digits (16, 2) on purpose: that is how the
// list has always read.
const std::array<ConversionModeEntry, ConversionModeCount> ConversionModes = {{
    {"グレイ16階調", ConvertGray16, 1},
    {"グレイ256階調", ConvertGray256, 1},
    {"標準１６色カラー",
     [](const CDibImage &s, CDibImage &d) {
       return ConvertStandard16(s, d, StandardPalette16, 16);
     },
     1},
    {"モノクロ２値", ConvertMonochrome, 1},
    {"2値ディザ等倍",
     [](const CDibImage &s, CDibImage &d) { return ConvertOrderedDither(s, d, 1); }, 1},
    {"2値ディザ２倍",
     [](const CDibImage &s, CDibImage &d) { return ConvertOrderedDither(s, d, 2); }, 2},
    {"モノクロ誤差拡散", DiffuseIntoNewImage<1, DiffuseMonochrome>, 1},
    {"標準16色カラー誤差拡散", DiffuseIntoNewImage<4, DiffuseStandard16>, 1},
}};
