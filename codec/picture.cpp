#include "codec/picture.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "bitmap/row_progress.h"
#include "codec/bmp_file.h"
#include "codec/png_file.h"

namespace {

struct Signature {
  const char *bytes;
  std::size_t size;
  PictureFormat format;
};
constexpr Signature Signatures[] = {{"BM", 2, PictureFormat::BmpFile},
                                    {"\x89PNG\r\n\x1A\n", 8, PictureFormat::Png}};
constexpr std::size_t LongestSignature = 8;

// Unknown when the bytes match no signature; BmpFile or Png when they match one whole; and
// `possible` when they are the start of one but too few to tell.
PictureFormat MatchSignature(const std::uint8_t *data, std::size_t size, bool &possible) {
  possible = false;
  for (const Signature &s : Signatures) {
    const std::size_t compared = std::min(size, s.size);
    if (std::memcmp(data, s.bytes, compared) != 0)
      continue;
    if (compared == s.size)
      return s.format;
    possible = true;
  }
  return PictureFormat::Unknown;
}

// Pulls until `size` bytes are in or the input ends. False on an error or an early end.
bool ReadExactly(const ByteSource &source, std::uint8_t *buffer, std::size_t size) {
  while (size > 0) {
    const std::ptrdiff_t n = source(buffer, size);
    if (n <= 0)
      return false;
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The same at `offset`, for a source read out of order.
bool ReadExactlyAt(const ByteSourceAt &source, std::uint8_t *buffer, std::size_t size,
                   std::uint64_t offset) {
  while (size > 0) {
    const std::ptrdiff_t n = source(buffer, size, offset);
    if (n <= 0)
      return false;
    buffer += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// How much of a file the BMP reader and writer take at a time when they go row by row: enough
// that each call is worth its cost, little enough that the next step soon has rows to go on.
constexpr std::uint64_t RowPieceBytes = 1 << 19;

// Rows per piece of that size, at least one.
int RowsPerPiece(std::uint64_t stride) {
  return static_cast<int>(
      std::max<std::uint64_t>(1, RowPieceBytes / std::max<std::uint64_t>(1, stride)));
}

// Reads a bottom-up file's rows from its end, where the top row lies, so that the rows reach
// whoever follows the image top row first, as they arrive, rather than all at the end.
bool ReadBmpRowsFromTop(const ByteSourceAt &source, const DibBlockLayout &layout,
                        std::uint8_t *rows, CDibImage &image, DibRefusal *why) {
  const int height = image.Height();
  const int piece = RowsPerPiece(layout.stride);
  for (int top = 0; top < height;) {
    const int count = std::min(piece, height - top);
    const auto first = static_cast<std::size_t>(height - top - count);
    const std::uint64_t skipped = layout.stride * first;
    if (!ReadExactlyAt(source, rows + skipped, static_cast<std::size_t>(layout.stride) * count,
                       layout.rowsStart + skipped))
      return Refuse(why, DibRefusal::TooShort);
    StoreDibRows(layout, rows, image, first, first + static_cast<std::size_t>(count));
    top += count;
    if (!PublishRows(image, top))
      return Refuse(why, DibRefusal::Unwanted);
  }
  return true;
}

// Passes over `count` bytes (the gap a BMP file may leave before its rows).
bool SkipBytes(const ByteSource &source, std::uint64_t count) {
  std::uint8_t scrap[65536];
  while (count > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof scrap));
    if (!ReadExactly(source, scrap, chunk))
      return false;
    count -= chunk;
  }
  return true;
}

// The BMP reader on a source whose first `have` bytes are already in `head`, which holds
// MaxBmpFileHeadSize bytes, and that may also be read out of order through `at` (or null).
bool ReadBmpStream(const ByteSource &source, const ByteSourceAt *at, std::uint8_t *head,
                   std::size_t have, CDibImage &image, DibRefusal *why) {
  DibBlockLayout layout;
  for (;;) {
    const DibHeadParse step = ParseBmpFileHead(head, have, UnknownBlockSize, layout, why);
    if (step == DibHeadParse::Refused)
      return false;
    if (step == DibHeadParse::Parsed)
      break;
    // The parse asks only for the file's head, which is bounded.
    if (layout.headSize > MaxBmpFileHeadSize || layout.headSize <= have)
      return Refuse(why, DibRefusal::TooLarge);
    const auto needed = static_cast<std::size_t>(layout.headSize);
    if (!ReadExactly(source, head + have, needed - have))
      return Refuse(why, DibRefusal::TooShort);
    have = needed;
  }
  const bool fromTop = at != nullptr && DibRowsStoredInPlace(layout);
  if (!fromTop && !SkipBytes(source, layout.rowsStart - have))
    return Refuse(why, DibRefusal::TooShort);
  if (!CreateDibImage(layout, image, why))
    return false;
  std::uint8_t *rows = DibRowsInPlace(layout, image);
  if (fromTop)
    return ReadBmpRowsFromTop(*at, layout, rows, image, why);
  if (!ReadExactly(source, rows, static_cast<std::size_t>(layout.rowsSize)))
    return Refuse(why, DibRefusal::TooShort);
  StoreDibRows(layout, rows, image);
  return true;
}

} // namespace

PictureFormat SniffPicture(const std::uint8_t *data, std::size_t size) {
  bool possible;
  return data == nullptr ? PictureFormat::Unknown : MatchSignature(data, size, possible);
}

bool DecodePicture(const std::uint8_t *data, std::size_t size, CDibImage &image) {
  switch (SniffPicture(data, size)) {
  case PictureFormat::BmpFile: return ReadBmpFile(data, size, image);
  case PictureFormat::Png: return ReadPngBytes(data, size, image);
  case PictureFormat::Unknown: break;
  }
  return ReadPackedDib(data, size, image);
}

bool DecodePictureStream(const ByteSource &source, CDibImage &image, PictureRefusal *why,
                         const ByteSourceAt *at) {
  PictureRefusal ignored;
  PictureRefusal &refusal = why != nullptr ? *why : ignored;
  refusal = PictureRefusal();
  // The first bytes, read until they show the format or that there is none we know: an
  // endless stream of anything else is refused after a few bytes.
  std::uint8_t head[MaxBmpFileHeadSize];
  std::size_t have = 0;
  PictureFormat format;
  for (;;) {
    bool possible;
    format = MatchSignature(head, have, possible);
    if (format != PictureFormat::Unknown || !possible)
      break;
    const std::ptrdiff_t n = source(head + have, LongestSignature - have);
    if (n <= 0)
      break;
    have += static_cast<std::size_t>(n);
  }
  switch (format) {
  case PictureFormat::BmpFile: return ReadBmpStream(source, at, head, have, image, &refusal.dib);
  case PictureFormat::Png: {
    // The bytes read to tell the format come first, then the rest as the reader pulls it.
    std::size_t served = 0;
    const ByteSource rest = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
      if (served == have)
        return source(buffer, size);
      const std::size_t n = std::min(size, have - served);
      std::memcpy(buffer, head + served, n);
      served += n;
      return static_cast<std::ptrdiff_t>(n);
    };
    return ReadPng(rest, image, &refusal);
  }
  case PictureFormat::Unknown: break;
  }
  refusal.unknownFormat = true;
  return false;
}

bool ImportArgbPicture(int width, int height, const std::function<const std::uint32_t *(int)> &row,
                       CDibImage &image) {
  if (width <= 0 || height <= 0 ||
      !WithinReadLimits(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)))
    return false;
  DibInfoHeader header{};
  header.biSize = DibHeaderSize;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 32;
  if (!image.CreateFromHeader(header, nullptr, nullptr))
    return false;
  for (int y = 0; y < height; ++y) {
    const std::uint32_t *in = row(y);
    std::uint8_t *out = image.PixelAddress(0, y);
    for (int x = 0; x < width; ++x, out += 4) {
      const std::uint32_t argb = in[x];
      const unsigned alpha = argb >> 24;
      out[0] = FlattenOnWhite(argb & 0xFF, alpha);
      out[1] = FlattenOnWhite((argb >> 8) & 0xFF, alpha);
      out[2] = FlattenOnWhite((argb >> 16) & 0xFF, alpha);
      out[3] = 0;
    }
  }
  return true;
}

bool EncodePicture(const CDibImage &image, PictureEncoding encoding, const ByteSink &sink) {
  // An image still being converted on another thread: the PNG writer follows its rows, a BMP's
  // go out in one piece once all are there. The bytes are good only if the image is complete.
  const bool written = encoding == PictureEncoding::Png
                           ? WritePng(image, sink)
                           : WaitForRows(image, image.Height()) && WriteBmpFile(image, sink);
  return written && WaitForComplete(image);
}

bool EncodeBmpFileAt(const CDibImage &image, const ByteSinkAt &sink) {
  BmpFileParts parts;
  if (!DescribeBmpFile(image, parts) || !sink(parts.fileHeader, BmpFileHeaderSize, 0) ||
      !sink(static_cast<const std::uint8_t *>(parts.head), parts.headSize, BmpFileHeaderSize))
    return false;
  const std::uint64_t rowsStart = BmpFileHeaderSize + parts.headSize;
  const auto stride = static_cast<std::uint64_t>(image.m_stride);
  const int height = image.Height();
  const int piece = RowsPerPiece(stride);
  CFinalRows final(image);
  for (int top = 0; top < height;) {
    const int count = std::min(piece, height - top);
    if (!final.Wait(top + count - 1))
      return false;
    // The rows are stored bottom row first, as the file holds them: the top rows end it.
    const std::uint64_t skipped = stride * static_cast<std::uint64_t>(height - top - count);
    if (!sink(parts.rows + skipped, static_cast<std::size_t>(stride) * count, rowsStart + skipped))
      return false;
    top += count;
  }
  return WaitForComplete(image);
}

std::vector<std::uint8_t> PngFromBmpFile(const std::uint8_t *bmp, std::size_t size) {
  std::vector<std::uint8_t> png;
  CDibImage result;
  if (!ReadBmpFile(bmp, size, result) ||
      !WritePng(result, [&png](const std::uint8_t *data, std::size_t count) {
        png.insert(png.end(), data, data + count);
        return true;
      }))
    png.clear();
  return png;
}
