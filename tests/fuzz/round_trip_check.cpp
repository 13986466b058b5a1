#include "tests/fuzz/round_trip_check.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "app/core/conversion_mode.h"
#include "bitmap/dib_image.h"
#include "codec/bmp_file.h"
#include "codec/packed_dib.h"
#include "codec/picture.h"

namespace {

std::uint32_t U32At(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t I32At(const std::uint8_t *p) { return static_cast<std::int32_t>(U32At(p)); }
std::uint16_t U16At(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::string Num(std::int64_t v) { return std::to_string(v); }

// Where an accepted block keeps its parts, worked out here from the header fields alone, in
// a different way from the reader (strides as whole 32-bit words), so that the two disagree
// when either is wrong.
struct BlockLayout {
  std::int32_t width = 0, height = 0;
  int bitCount = 0;
  bool masked = false; // decoded into 32 bits per pixel
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  std::uint32_t colorUsed = 0;
  std::uint64_t colors = 0;
  std::uint64_t tableOffset = 0;
  std::uint64_t rowsStart = 0;
  std::uint64_t stride = 0;
};

std::uint64_t WordStride(std::uint64_t width, int bitCount) {
  return (width * static_cast<std::uint64_t>(bitCount) + 31) / 32 * 4;
}

// Fills `layout` for the block [block, block + size) whose rows start at `rowsOffset` (or right
// behind the table when negative). Returns what is wrong with a block the reader took.
std::string LayoutOfAcceptedBlock(const std::uint8_t *block, std::size_t size,
                                  std::int64_t rowsOffset, BlockLayout &layout) {
  if (size < 40)
    return "accepted a block of " + Num(static_cast<std::int64_t>(size)) + " bytes";
  const std::uint32_t headerSize = U32At(block);
  if (headerSize < 40 || headerSize > size)
    return "accepted biSize " + Num(headerSize) + " in a block of " + Num(std::int64_t(size));
  layout.width = I32At(block + 4);
  layout.height = I32At(block + 8);
  layout.bitCount = U16At(block + 14);
  const std::uint32_t compression = U32At(block + 16);
  layout.colorUsed = U32At(block + 32);
  if (layout.width <= 0 || layout.height <= 0)
    return "accepted size " + Num(layout.width) + " x " + Num(layout.height);
  switch (layout.bitCount) {
  case 1:
  case 4:
  case 8:
  case 16:
  case 24:
  case 32: break;
  default: return "accepted biBitCount " + Num(layout.bitCount);
  }
  const bool bitFields = compression == 3 && (layout.bitCount == 16 || layout.bitCount == 32);
  if (compression != 0 && !bitFields)
    return "accepted biCompression " + Num(compression) + " at " + Num(layout.bitCount) + " bpp";
  if (layout.colorUsed > 256)
    return "accepted biClrUsed " + Num(layout.colorUsed);
  layout.masked = layout.bitCount == 16 || bitFields;
  layout.tableOffset = headerSize;
  if (bitFields) {
    const std::uint64_t masksAt = headerSize >= 52 ? 40 : headerSize;
    if (masksAt + 12 > size)
      return "accepted bit fields whose masks lie past the block";
    for (int i = 0; i < 3; ++i)
      layout.masks[i] = U32At(block + masksAt + 4 * i);
    if (headerSize < 52)
      layout.tableOffset = headerSize + 12;
  }
  layout.colors = layout.colorUsed != 0  ? layout.colorUsed
                  : layout.bitCount <= 8 ? std::uint64_t{1} << layout.bitCount
                                         : 0;
  const std::uint64_t tableEnd = layout.tableOffset + 4 * layout.colors;
  if (tableEnd > size)
    return "accepted a colour table ending at " + Num(std::int64_t(tableEnd)) + " of " +
           Num(std::int64_t(size));
  layout.rowsStart = tableEnd;
  if (rowsOffset >= 0) {
    if (static_cast<std::uint64_t>(rowsOffset) < tableEnd)
      return "accepted rows at " + Num(rowsOffset) + ", inside the table ending at " +
             Num(std::int64_t(tableEnd));
    layout.rowsStart = static_cast<std::uint64_t>(rowsOffset);
  }
  layout.stride = WordStride(static_cast<std::uint64_t>(layout.width), layout.bitCount);
  // The stride is below 2^36 and the height below 2^31, so the product cannot wrap.
  const std::uint64_t rowsSize = layout.stride * static_cast<std::uint64_t>(layout.height);
  if (layout.rowsStart > size || rowsSize > size - layout.rowsStart)
    return "accepted rows " + Num(std::int64_t(layout.rowsStart)) + " + " +
           Num(std::int64_t(rowsSize)) + " past the block's " + Num(std::int64_t(size)) + " bytes";
  return {};
}

// A bit-field channel scaled to 8 bits: the top 8 bits of a wide channel, a narrow one
// stretched so that its maximum is 255.
std::uint8_t ExpectedChannel(std::uint32_t pixel, std::uint32_t mask) {
  if (mask == 0)
    return 0;
  int shift = 0;
  while ((mask >> shift & 1) == 0)
    ++shift;
  int bits = 0;
  while (bits + shift < 32 && (mask >> (shift + bits)) != 0)
    ++bits;
  const std::uint64_t v = (pixel & mask) >> shift;
  if (bits >= 8)
    return static_cast<std::uint8_t>(v >> (bits - 8));
  const std::uint64_t top = (std::uint64_t{1} << bits) - 1;
  return static_cast<std::uint8_t>((v * 255 + top / 2) / top);
}

// The image the reader built must be exactly what the layout says, and hold nothing else.
std::string CheckImageAgainstBlock(const CDibImage &image, const std::uint8_t *block,
                                   const BlockLayout &layout) {
  if (!image.HasSection() || image.m_bits == nullptr)
    return "accepted, but the image has no section";
  const DibInfoHeader &h = image.m_header;
  const int bitCount = layout.masked ? 32 : layout.bitCount;
  if (h.biSize != 40 || h.biWidth != layout.width || h.biHeight != layout.height ||
      h.biPlanes != 1 || h.biBitCount != bitCount || h.biCompression != 0 || h.biSizeImage != 0 ||
      h.biXPelsPerMeter != 0 || h.biYPelsPerMeter != 0 || h.biClrUsed != layout.colorUsed ||
      h.biClrImportant != 0)
    return "the image's header differs from the block's (" + Num(h.biWidth) + " x " +
           Num(h.biHeight) + " at " + Num(h.biBitCount) + " bpp, biSize " + Num(h.biSize) + ")";
  const std::uint64_t stride = WordStride(static_cast<std::uint64_t>(layout.width), bitCount);
  if (static_cast<std::uint64_t>(image.m_stride) != stride)
    return "stride " + Num(image.m_stride) + ", expected " + Num(std::int64_t(stride));
  if (static_cast<std::uint64_t>(image.m_paletteCount) != layout.colors)
    return "colour count " + Num(image.m_paletteCount) + ", expected " +
           Num(std::int64_t(layout.colors));
  if (std::memcmp(image.m_palette, block + layout.tableOffset, 4 * layout.colors) != 0)
    return "the colour table differs from the block's";
  for (std::uint64_t i = layout.colors; i < MaxPaletteEntries; ++i) {
    const RgbQuad &q = image.m_palette[i];
    if (q.rgbBlue != 0 || q.rgbGreen != 0 || q.rgbRed != 0 || q.rgbReserved != 0)
      return "colour-table slot " + Num(std::int64_t(i)) + " behind the count is not zero";
  }
  const std::uint8_t *rows = block + layout.rowsStart;
  if (!layout.masked) {
    if (std::memcmp(image.m_bits, rows, image.RowsSize()) != 0)
      return "the rows differ from the block's";
    return {};
  }
  const int bytesPerPixel = layout.bitCount / 8;
  for (std::int32_t row = 0; row < layout.height; ++row) {
    const std::uint8_t *in = rows + layout.stride * static_cast<std::uint64_t>(row);
    const std::uint8_t *out = image.m_bits + stride * static_cast<std::uint64_t>(row);
    for (std::int32_t x = 0; x < layout.width; ++x, in += bytesPerPixel, out += 4) {
      const std::uint32_t pixel = bytesPerPixel == 2 ? U16At(in) : U32At(in);
      if (out[0] != ExpectedChannel(pixel, layout.masks[2]) ||
          out[1] != ExpectedChannel(pixel, layout.masks[1]) ||
          out[2] != ExpectedChannel(pixel, layout.masks[0]) || out[3] != 0)
        return "pixel " + Num(x) + " of stored row " + Num(row) + " is decoded wrongly";
    }
  }
  return {};
}

bool SameImage(const CDibImage &a, const CDibImage &b) {
  return std::memcmp(&a.m_header, &b.m_header, sizeof a.m_header) == 0 &&
         a.m_paletteCount == b.m_paletteCount && a.m_stride == b.m_stride &&
         std::memcmp(a.m_palette, b.m_palette, sizeof a.m_palette) == 0 &&
         a.RowsSize() == b.RowsSize() && std::memcmp(a.m_bits, b.m_bits, a.RowsSize()) == 0;
}

// The writer's block for `image`, and that block read back. `exactHeader` asks for the header
// the writer promises for a converter's result (biClrUsed = the colour count).
std::string CheckPackedDibRoundTrip(const CDibImage &image, bool exactHeader,
                                    std::vector<std::uint8_t> &block) {
  const std::size_t size = PackedDibSize(image);
  const std::size_t expected =
      40 + 4 * static_cast<std::size_t>(image.m_paletteCount) + image.RowsSize();
  if (size != expected)
    return "PackedDibSize " + Num(std::int64_t(size)) + ", expected " + Num(std::int64_t(expected));
  block.assign(size, 0xA5);
  WritePackedDib(image, block.data());
  if (exactHeader && (U32At(&block[0]) != 40 || U32At(&block[16]) != 0 || U32At(&block[20]) != 0 ||
                      U32At(&block[24]) != 0 || U32At(&block[28]) != 0 ||
                      U32At(&block[32]) != static_cast<std::uint32_t>(image.m_paletteCount) ||
                      U32At(&block[36]) != 0))
    return "the written header is not the plain one";
  CDibImage again;
  DibRefusal why = DibRefusal::None;
  if (!ReadPackedDib(block.data(), block.size(), again, &why))
    return "the written block is refused (reason " + Num(static_cast<int>(why)) + ")";
  if (!SameImage(image, again))
    return "the written block reads back as a different image";
  return {};
}

std::string CheckBmpFileRoundTrip(const CDibImage &image) {
  std::vector<std::uint8_t> block;
  if (std::string failure = CheckPackedDibRoundTrip(image, true, block); !failure.empty())
    return failure;
  const std::vector<std::uint8_t> file = EncodeBmpFile(image);
  if (file.size() != 14 + block.size() || file[0] != 'B' || file[1] != 'M' ||
      U32At(&file[2]) != static_cast<std::uint32_t>(file.size()) || U32At(&file[6]) != 0 ||
      U32At(&file[10]) != 14 + 40 + 4 * static_cast<std::uint32_t>(image.m_paletteCount) ||
      std::memcmp(file.data() + 14, block.data(), block.size()) != 0)
    return "the written file is not the file header followed by the packed block";
  CDibImage again;
  DibRefusal why = DibRefusal::None;
  if (!ReadBmpFile(file.data(), file.size(), again, &why))
    return "the written file is refused (reason " + Num(static_cast<int>(why)) + ")";
  if (!SameImage(image, again))
    return "the written file reads back as a different image";
  return {};
}

std::string CheckPackedResult(const CDibImage &result) {
  std::vector<std::uint8_t> block;
  return CheckPackedDibRoundTrip(result, true, block);
}

constexpr int ModeBitCount[ConversionModeCount] = {4, 8, 4, 1, 1, 1, 1, 4};
constexpr int ModeColorCount[ConversionModeCount] = {16, 256, 16, 2, 2, 2, 2, 16};

} // namespace

std::string CheckConversion(const CDibImage &source, int mode, ResultCheck checkWritten) {
  const std::int64_t scale = mode == 5 ? 2 : 1;
  const std::int64_t width = source.Width() * scale;
  const std::int64_t height = source.Height() * scale;
  if (width > MaxCheckedDestinationPixels || height > MaxCheckedDestinationPixels ||
      width * height > MaxCheckedDestinationPixels)
    return {};
  // Only a destination dimension that no longer fits an int may fail the conversion.
  const bool fits = width <= std::numeric_limits<std::int32_t>::max() &&
                    height <= std::numeric_limits<std::int32_t>::max();
  CDibImage dest;
  const bool converted = ConversionModes[mode].convert(source, dest);
  if (converted != fits)
    return "mode " + Num(mode) + (converted ? " converted " : " failed on ") + Num(source.Width()) +
           " x " + Num(source.Height());
  if (!converted)
    return {};
  if (!dest.HasSection() || dest.Width() != width || dest.Height() != height ||
      dest.BitCount() != ModeBitCount[mode] || dest.m_paletteCount != ModeColorCount[mode] ||
      dest.m_header.biSize != 40 || dest.m_header.biCompression != 0)
    return "mode " + Num(mode) + " made a " + Num(dest.Width()) + " x " + Num(dest.Height()) +
           " image at " + Num(dest.BitCount()) + " bpp with " + Num(dest.m_paletteCount) +
           " colours";
  return checkWritten(dest);
}

namespace {

std::string CheckRefusal(bool accepted, DibRefusal why, const CDibImage &image) {
  if (accepted)
    return {};
  if (why == DibRefusal::None)
    return "refused without a reason";
  if (image.HasSection())
    return "refused, but the image kept a section";
  return {};
}

std::string CheckRequest(const std::uint8_t *data, std::size_t size, bool asFile) {
  if (size == 0)
    return {};
  const int mode = data[0] % ConversionModeCount;
  const std::uint8_t *bytes = data + 1;
  const std::size_t length = size - 1;
  // The reader must not lean on anything behind the input: give it an exact-size copy, so
  // that an address sanitizer sees every byte read past the end.
  const std::vector<std::uint8_t> input(bytes, bytes + length);

  CDibImage source;
  DibRefusal why = DibRefusal::None;
  const bool accepted = asFile ? ReadBmpFile(input.data(), input.size(), source, &why)
                               : ReadPackedDib(input.data(), input.size(), source, &why);
  if (asFile && length >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
    // As a regular file is read: streamed up to its rows, which are then read from its end.
    std::size_t streamedTo = 0;
    const ByteSource stream = [&](std::uint8_t *buffer, std::size_t count) {
      count = std::min(count, input.size() - streamedTo);
      std::memcpy(buffer, input.data() + streamedTo, count);
      streamedTo += count;
      return static_cast<std::ptrdiff_t>(count);
    };
    const ByteSourceAt anywhere = [&](std::uint8_t *buffer, std::size_t count,
                                      std::uint64_t offset) -> std::ptrdiff_t {
      if (offset >= input.size())
        return 0;
      count = static_cast<std::size_t>(std::min<std::uint64_t>(count, input.size() - offset));
      std::memcpy(buffer, input.data() + offset, count);
      return static_cast<std::ptrdiff_t>(count);
    };
    CDibImage fromEnd;
    if (DecodePictureStream(stream, fromEnd, nullptr, &anywhere) != accepted)
      return "read from its end, the file gets another verdict";
    if (accepted && !SameImage(source, fromEnd))
      return "read from its end, the file reads as a different image";
  }
  if (std::string failure = CheckRefusal(accepted, why, source); !failure.empty() || !accepted)
    return failure;
  if (why != DibRefusal::None)
    return "accepted with a refusal reason";

  BlockLayout layout;
  const std::uint8_t *block = input.data();
  std::size_t blockSize = input.size();
  std::int64_t rowsOffset = -1;
  if (asFile) {
    if (input.size() < 14 || input[0] != 'B' || input[1] != 'M')
      return "accepted a file without the BM file header";
    const std::uint32_t offBits = U32At(&input[10]);
    if (offBits < 14 + 40)
      return "accepted bfOffBits " + Num(offBits);
    block += 14;
    blockSize -= 14;
    rowsOffset = static_cast<std::int64_t>(offBits) - 14;
  }
  if (std::string failure = LayoutOfAcceptedBlock(block, blockSize, rowsOffset, layout);
      !failure.empty())
    return failure;
  if (std::string failure = CheckImageAgainstBlock(source, block, layout); !failure.empty())
    return failure;

  // The source written and read again is the same image; only a converter's result is held to
  // the plain header, since a source may keep biClrUsed 0 for a full table.
  std::vector<std::uint8_t> written;
  if (std::string failure = CheckPackedDibRoundTrip(source, false, written); !failure.empty())
    return "source: " + failure;
  return CheckConversion(source, mode, asFile ? CheckBmpFileRoundTrip : CheckPackedResult);
}

} // namespace

std::string CheckPackedDibRequest(const std::uint8_t *data, std::size_t size) {
  return CheckRequest(data, size, false);
}

std::string CheckBmpFileRequest(const std::uint8_t *data, std::size_t size) {
  return CheckRequest(data, size, true);
}
