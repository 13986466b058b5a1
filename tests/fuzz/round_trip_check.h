// The invariants one request must keep on whatever bytes another program put on the clipboard:
// read the bytes, convert the image, write the result, read that again. Shared by the fuzz
// targets and by the replay test, so a crasher kept as a regression is judged by the same rules
// that found it.
//
// An input is one mode byte (its value modulo 8 picks the conversion) followed by the bytes the
// reader sees: a packed bitmap for CheckPackedDibRequest, a BMP file for CheckBmpFileRequest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Conversions whose destination would exceed this many pixels are skipped, so that a fuzzer
// spends its time on the reader rather than on converting one large picture.
inline constexpr std::int64_t MaxCheckedDestinationPixels = std::int64_t{1} << 20;

// Empty when every invariant held; otherwise what broke, for a human to read.
std::string CheckPackedDibRequest(const std::uint8_t *data, std::size_t size);
std::string CheckBmpFileRequest(const std::uint8_t *data, std::size_t size);
