// The eight conversion modes: the list's texts, in list order, each with its converter.
#pragma once

#include <array>

#include "bitmap/dib_image.h"

struct ConversionModeEntry {
  const char *text; // as the mode list shows it (UTF-8)
  // Converts `source` into the freshly constructed `dest`; true when dest holds the result.
  bool (*convert)(const CDibImage &source, CDibImage &dest);
  int scale; // the result's width and height are the source's times this
};

inline constexpr int ConversionModeCount = 8;
extern const std::array<ConversionModeEntry, ConversionModeCount> ConversionModes;
