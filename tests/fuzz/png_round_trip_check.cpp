// The invariants of one request on a PNG file (see round_trip_check.h): read the file, both
// whole and in small pieces, convert the picture, write the result as a PNG and read that
// again.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/core/conversion_mode.h"
#include "codec/png_file.h"
#include "tests/fuzz/round_trip_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A picture declaring more pixels than this (but no more than the reader takes) is not read:
// a valid one that large takes seconds, which a fuzzer should spend on other inputs.
constexpr std::uint64_t MaxCheckedPixels = std::uint64_t{1} << 22;

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::uint32_t BigEndian32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void PutBigEndian32(std::uint8_t *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Every whole chunk gets the CRC of its type and data.
void RepairCrcs(Bytes &png) {
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint64_t length = BigEndian32(&png[at]);
    if (length > png.size() - at - 12)
      return;
    const uLong crc = crc32(0L, &png[at + 4], static_cast<uInt>(length + 4));
    PutBigEndian32(&png[at + 8 + length], static_cast<std::uint32_t>(crc));
    at += 12 + static_cast<std::size_t>(length);
  }
}

// The size the IHDR chunk declares, read here from the bytes alone.
struct DeclaredSize {
  bool present = false;
  std::uint64_t width = 0, height = 0;
};

DeclaredSize Declared(const Bytes &png) {
  DeclaredSize size;
  if (png.size() >= 24 && HasPngSignature(png.data(), png.size()) &&
      std::memcmp(&png[12], "IHDR", 4) == 0) {
    size.present = true;
    size.width = BigEndian32(&png[16]);
    size.height = BigEndian32(&png[20]);
  }
  return size;
}

bool SamePixels(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height() && a.BitCount() == b.BitCount() &&
         a.RowsSize() == b.RowsSize() && std::memcmp(a.m_bits, b.m_bits, a.RowsSize()) == 0;
}

// The reader's verdict must not depend on how its source splits the input: read it whole,
// then in pieces of 1 to 13 bytes.
std::string ReadBothWays(const Bytes &input, CDibImage &image, PictureRefusal &why,
                         bool &accepted) {
  accepted = ReadPngBytes(input.data(), input.size(), image, &why);
  std::size_t at = 0, piece = 0;
  const ByteSource pieces = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
    const std::size_t count = std::min({size, input.size() - at, piece++ % 13 + 1});
    if (count > 0)
      std::memcpy(buffer, input.data() + at, count);
    at += count;
    return static_cast<std::ptrdiff_t>(count);
  };
  CDibImage again;
  PictureRefusal whyAgain;
  const bool acceptedAgain = ReadPng(pieces, again, &whyAgain);
  if (accepted != acceptedAgain || DescribeRefusal(why) != DescribeRefusal(whyAgain))
    return "read in pieces, the verdict differs (" + DescribeRefusal(why) + ", " +
           DescribeRefusal(whyAgain) + ")";
  if (accepted && !SamePixels(image, again))
    return "read in pieces, the pixels differ";
  return {};
}

std::string CheckVerdict(const Bytes &input, const DeclaredSize &declared, bool accepted,
                         PngRefusal why, const CDibImage &image) {
  if (!accepted) {
    if (why == PngRefusal::None)
      return "refused without a reason";
    if (image.HasSection())
      return "refused, but the image kept a section";
    if (why == PngRefusal::TooLarge &&
        !(declared.present && (declared.width > MaxReadSide || declared.height > MaxReadSide ||
                               declared.width * declared.height > MaxReadPixels)))
      return "refused as too large a picture of " + Num(declared.width) + " x " +
             Num(declared.height);
    if (why == PngRefusal::Signature && HasPngSignature(input.data(), input.size()))
      return "refused the PNG signature";
    return {};
  }
  if (why != PngRefusal::None)
    return "accepted with a refusal reason";
  if (!declared.present)
    return "accepted a file that does not start with the signature and IHDR";
  if (!image.HasSection() || image.m_bits == nullptr ||
      static_cast<std::uint64_t>(image.Width()) != declared.width ||
      static_cast<std::uint64_t>(image.Height()) != declared.height)
    return "accepted as " + Num(static_cast<std::uint64_t>(image.Width())) + " x " +
           Num(static_cast<std::uint64_t>(image.Height())) + ", declared " + Num(declared.width) +
           " x " + Num(declared.height);
  if (declared.width * declared.height > MaxReadPixels || declared.width > MaxReadSide ||
      declared.height > MaxReadSide)
    return "accepted more pixels than the limits";
  const DibInfoHeader &h = image.m_header;
  if (h.biSize != 40 || h.biBitCount != 24 || h.biCompression != 0 || image.m_paletteCount != 0 ||
      static_cast<std::uint64_t>(image.m_stride) != (3 * declared.width + 3) / 4 * 4)
    return "the image is not a plain 24-bit one";
  return {};
}

// `image` written as a PNG: indexed at its depth with its table as PLTE (grown to the highest
// index used, never past the depth), else RGB; and read back with the same colours.
std::string CheckPngRoundTrip(const CDibImage &image) {
  Bytes png;
  if (!WritePng(image, [&](const std::uint8_t *data, std::size_t size) {
        png.insert(png.end(), data, data + size);
        return true;
      }))
    return "the image could not be written as a PNG";
  const DeclaredSize declared = Declared(png);
  const int bitCount = image.BitCount();
  const bool indexed = bitCount <= 8;
  if (!declared.present || declared.width != static_cast<std::uint64_t>(image.Width()) ||
      declared.height != static_cast<std::uint64_t>(image.Height()) ||
      png[24] != (indexed ? bitCount : 8) || png[25] != (indexed ? 3 : 2) || png[28] != 0)
    return "the written IHDR does not describe the image";
  if (indexed) {
    const std::uint32_t length = png.size() >= 41 ? BigEndian32(&png[33]) : 0;
    if (png.size() < 45 + std::size_t{length} || std::memcmp(&png[37], "PLTE", 4) != 0)
      return "no PLTE behind IHDR";
    const int limit = 1 << bitCount;
    int used = std::min(image.m_paletteCount, limit);
    for (int y = 0; y < image.Height(); ++y)
      for (int x = 0; x < image.Width(); ++x)
        used = std::max(used, image.GetPixelIndex(x, y) + 1);
    if (length != 3 * static_cast<std::uint32_t>(used))
      return "PLTE holds " + Num(length / 3) + " entries, expected " + Num(used);
    for (int i = 0; i < used; ++i) {
      const RgbQuad &q = image.m_palette[i];
      if (png[41 + 3 * i] != q.rgbRed || png[42 + 3 * i] != q.rgbGreen ||
          png[43 + 3 * i] != q.rgbBlue)
        return "PLTE entry " + Num(i) + " differs from the table";
    }
  }
  CDibImage again;
  PictureRefusal why;
  if (!ReadPngBytes(png.data(), png.size(), again, &why))
    return "the written PNG is refused (" + DescribeRefusal(why) + ")";
  if (again.Width() != image.Width() || again.Height() != image.Height())
    return "the written PNG reads back at another size";
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      if (again.GetPixelColor(x, y) != image.GetPixelColor(x, y))
        return "the written PNG reads back with pixel " + Num(x) + ", " + Num(y) + " changed";
  return {};
}

} // namespace

std::string CheckPngFileRequest(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return {};
  const int mode = data[0] % ConversionModeCount;
  // An exact-size copy, so that an address sanitizer sees every byte read past the end.
  Bytes input(data + 1, data + size);
  if (data[0] & 0x80)
    RepairCrcs(input);
  const DeclaredSize declared = Declared(input);
  if (declared.present && declared.width * declared.height > MaxCheckedPixels &&
      declared.width <= MaxReadSide && declared.height <= MaxReadSide &&
      declared.width * declared.height <= MaxReadPixels)
    return {};

  CDibImage source;
  PictureRefusal why;
  bool accepted = false;
  if (std::string failure = ReadBothWays(input, source, why, accepted); !failure.empty())
    return failure;
  if (std::string failure = CheckVerdict(input, declared, accepted, why.png, source);
      !failure.empty() || !accepted)
    return failure;
  if (std::uint64_t{static_cast<std::uint32_t>(source.Width())} *
          static_cast<std::uint32_t>(source.Height()) <=
      MaxCheckedDestinationPixels)
    if (std::string failure = CheckPngRoundTrip(source); !failure.empty())
      return "source: " + failure;
  return CheckConversion(source, mode, CheckPngRoundTrip);
}
