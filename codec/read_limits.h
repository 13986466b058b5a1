// The limits every picture read from outside is held to, whatever its format or where it came
// from: the readers refuse a larger one before anything is allocated, and the Convert command
// refuses a result that would pass them, so that whatever is written can be read again.
#pragma once

#include <cstdint>

// The most pixels a picture read from outside may have, whatever its format: 2^28 (sixteen 4K
// screens), and the longest side: 2^20 pixels, twenty times a wide panorama or a long
// scrolled page. The side limit keeps a reader's row buffers small (a PNG row of 16-bit RGBA:
// 8 MiB) and its work per row negligible (a PNG of 2^28 rows of one pixel each would take half
// a minute). Larger ones are refused before anything is allocated or read. Every result a
// conversion makes stays within both, so that whatever is written can be read again.
inline constexpr std::uint64_t MaxReadPixels = std::uint64_t{1} << 28;
inline constexpr std::uint64_t MaxReadSide = std::uint64_t{1} << 20;
// Whether a picture of width × height stays within both limits.
constexpr bool WithinReadLimits(std::uint64_t width, std::uint64_t height) {
  return width <= MaxReadSide && height <= MaxReadSide && width * height <= MaxReadPixels;
}
