// The invariants one request must keep on whatever bytes another program put on the clipboard:
// read the bytes, convert the image, write the result, read that again. Shared by the fuzz
// targets and by the replay test, so a crasher kept as a regression is judged by the same rules
// that found it.
//
// An input is one mode byte (its value modulo 8 picks the conversion) followed by the bytes the
// reader sees: a packed bitmap for CheckPackedDibRequest, a BMP file for CheckBmpFileRequest,
// a PNG file for CheckPngFileRequest.
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
// A PNG file (png_round_trip_check.cpp, with the PNG codec), which libpng, every check of its
// on, must read as the reader does, or refuse too. When the mode byte's high bit is set, every
// chunk's CRC is made right before reading, so that a fuzzer's changes inside chunks reach the
// reader instead of failing the CRC check.
std::string CheckPngFileRequest(const std::uint8_t *data, std::size_t size);

class CDibImage;
// What a converter's result must keep once written in one format: empty when it held.
using ResultCheck = std::string (*)(const CDibImage &result);
// Converts an accepted image in `mode` (small enough, see above), checks the result, and hands
// it to `checkWritten`.
std::string CheckConversion(const CDibImage &source, int mode, ResultCheck checkWritten);
