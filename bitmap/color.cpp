#include "bitmap/color.h"

// Written once, used by both tables that start with the standard colours.
#define STANDARD_COLORS_16                                                                         \
  {0x00, 0x00, 0x00, 0},     /* black */                                                           \
      {0x00, 0x00, 0x80, 0}, /* dark red */                                                        \
      {0x00, 0x80, 0x00, 0}, /* dark green */                                                      \
      {0x00, 0x80, 0x80, 0}, /* olive */                                                           \
      {0x80, 0x00, 0x00, 0}, /* navy */                                                            \
      {0x80, 0x00, 0x80, 0}, /* purple */                                                          \
      {0x80, 0x80, 0x00, 0}, /* teal */                                                            \
      {0xC0, 0xC0, 0xC0, 0}, /* silver */                                                          \
      {0x80, 0x80, 0x80, 0}, /* gray */                                                            \
      {0x00, 0x00, 0xFF, 0}, /* red */                                                             \
      {0x00, 0xFF, 0x00, 0}, /* lime */                                                            \
      {0x00, 0xFF, 0xFF, 0}, /* yellow */                                                          \
      {0xFF, 0x00, 0x00, 0}, /* blue */                                                            \
      {0xFF, 0x00, 0xFF, 0}, /* fuchsia */                                                         \
      {0xFF, 0xFF, 0x00, 0}, /* aqua */                                                            \
  {                                                                                                \
    0xFF, 0xFF, 0xFF, 0                                                                            \
  } /* white */

const RgbQuad StandardPalette16[16] = {STANDARD_COLORS_16};
const RgbQuad BlackWhitePalette[2] = {{0x00, 0x00, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0}};
// The 240 entries not listed are zero-initialised: black.
const RgbQuad DefaultPalette256[256] = {STANDARD_COLORS_16};

bool IsStandardPalette16(const RgbQuad *palette, int count) {
  if (count != 16)
    return false;
  for (int i = 0; i < 16; ++i)
    if (PaletteEntryToColor(palette[i]) != PaletteEntryToColor(StandardPalette16[i]))
      return false;
  return true;
}
