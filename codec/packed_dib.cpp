#include "codec/packed_dib.h"

#include <bit>
#include <cstring>
#include <limits>

#include "bitmap/row_progress.h"

static_assert(std::endian::native == std::endian::little,
              "the header is copied as it lies in the block");

namespace {

constexpr std::uint32_t CompressionNone = 0;
constexpr std::uint32_t CompressionBitFields = 3;
constexpr std::uint32_t BitFieldsHeaderSize = 52; // a header that carries its own masks

std::uint32_t ReadU32(const std::uint8_t *p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One channel of a bit-field pixel. Its mask, shifted down to its lowest set bit, spans
// `bits` bits; a wide channel keeps its top 8 bits, a narrow one is stretched so that its
// maximum becomes 255, rounding to nearest, and an empty mask gives 0. Both come down to one
// shift and one table look-up: the shift drops the bits below the top 8 of a wide channel, and
// the table is the identity for a wide channel and the stretch for a narrow one.
struct ChannelMask {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint8_t value[256]{};

  explicit ChannelMask(std::uint32_t m) : mask(m) {
    const int low = m == 0 ? 0 : std::countr_zero(m);
    const int bits = m == 0 ? 0 : std::bit_width(m >> low);
    shift = low + (bits > 8 ? bits - 8 : 0);
    if (bits == 0)
      return;
    const std::uint32_t top = (1u << (bits < 8 ? bits : 8)) - 1;
    for (std::uint32_t v = 0; v <= top; ++v)
      value[v] = static_cast<std::uint8_t>(bits >= 8 ? v : (v * 255 + top / 2) / top);
  }

  std::uint8_t Decode(std::uint32_t pixel) const { return value[(pixel & mask) >> shift]; }
};

// Turns 16-bit or bit-field rows into 32-bit rows of blue, green, red, 0.
//
// The rows may lie in the image's own store, ending where it ends (DibRowsInPlace), and are
// then decoded forward in place. Each pixel is read before its 4 bytes are written, and no
// write reaches a byte not yet read: with width w, source stride s <= 4w and height H, source
// row r starts (H - r)(4w - s) >= 4w - s bytes after image row r, so its pixel x + 1 starts
// at least 4w - s + b(x + 1) bytes into the image row (b = 2 or 4 bytes per source pixel),
// while pixel x's write ends at 4x + 4. For b = 4, s = 4w and the two meet; for b = 2,
// s <= 2w + 2 gives 4x + 4 <= 4w - s + 2x + 2 for every x < w - 1. Image row r ends at
// 4w(r + 1), no later than source row r + 1 starts. Rows first .. end - 1 (counted in the
// store, bottom row first) are decoded.
void DecodeMaskedRows(const std::uint8_t *rows, std::uint64_t sourceStride, int bitCount,
                      const std::uint32_t masks[3], CDibImage &image, std::size_t first,
                      std::size_t end) {
  const std::size_t stride = static_cast<std::size_t>(image.m_stride);
  const auto width = static_cast<std::size_t>(image.Width());
  if (bitCount == 32 && masks[0] == 0x00FF0000 && masks[1] == 0x0000FF00 &&
      masks[2] == 0x000000FF) {
    // What screen captures carry: each channel is a whole byte in place, so the rule above
    // keeps blue, green and red as they are and clears the fourth byte.
    for (std::size_t row = first; row < end; ++row) {
      const std::uint8_t *in = rows + sourceStride * row;
      std::uint8_t *out = image.m_bits + stride * row;
      for (std::size_t x = 0; x < width; ++x) {
        const std::uint32_t pixel = ReadU32(in + 4 * x) & 0x00FFFFFF;
        std::memcpy(out + 4 * x, &pixel, sizeof pixel);
      }
    }
    return;
  }
  const ChannelMask red(masks[0]), green(masks[1]), blue(masks[2]);
  const std::size_t bytesPerPixel = static_cast<std::size_t>(bitCount) / 8;
  for (std::size_t row = first; row < end; ++row) {
    const std::uint8_t *in = rows + sourceStride * row;
    std::uint8_t *out = image.m_bits + stride * row;
    for (std::size_t x = 0; x < width; ++x, in += bytesPerPixel, out += 4) {
      const std::uint32_t pixel =
          bytesPerPixel == 2 ? static_cast<std::uint32_t>(in[0] | in[1] << 8) : ReadU32(in);
      out[0] = blue.Decode(pixel);
      out[1] = green.Decode(pixel);
      out[2] = red.Decode(pixel);
      out[3] = 0;
    }
  }
}

DibHeadParse RefuseHead(DibRefusal *why, DibRefusal reason) {
  Refuse(why, reason);
  return DibHeadParse::Refused;
}

DibHeadParse NeedHead(DibBlockLayout &layout, std::uint64_t size) {
  layout.headSize = size;
  return DibHeadParse::NeedsMore;
}

// The whole block at hand: parse, make the image, store the rows.
bool ReadDib(const std::uint8_t *block, std::size_t size, std::int64_t rowsOffset, CDibImage &image,
             DibRefusal *why) {
  if (block == nullptr)
    return Refuse(why, DibRefusal::TooShort);
  DibBlockLayout layout;
  switch (ParseDibHead(block, size, size, rowsOffset, layout, why)) {
  case DibHeadParse::Parsed: break;
  case DibHeadParse::NeedsMore: return Refuse(why, DibRefusal::TooShort); // cannot happen
  case DibHeadParse::Refused: return false;
  }
  if (!CreateDibImage(layout, image, why))
    return false;
  StoreDibRows(layout, block + layout.rowsStart, image);
  return true;
}

} // namespace

DibHeadParse ParseDibHead(const std::uint8_t *block, std::size_t available, std::uint64_t blockSize,
                          std::int64_t rowsOffset, DibBlockLayout &layout, DibRefusal *why) {
  const auto have = static_cast<std::uint64_t>(available);
  if (blockSize < 4)
    return RefuseHead(why, DibRefusal::TooShort);
  if (have < 4)
    return NeedHead(layout, 4);
  const std::uint32_t headerSize = ReadU32(block);
  if (headerSize < DibHeaderSize)
    return RefuseHead(why, DibRefusal::HeaderSize);
  if (headerSize > blockSize)
    return RefuseHead(why, DibRefusal::TooShort);
  if (headerSize > MaxDibHeaderSize)
    return RefuseHead(why, DibRefusal::HeaderSize);
  if (have < headerSize)
    return NeedHead(layout, headerSize);

  DibInfoHeader in;
  std::memcpy(&in, block, sizeof in);
  if (in.biWidth <= 0)
    return RefuseHead(why, DibRefusal::BadWidth);
  if (in.biHeight < 0)
    return RefuseHead(why, DibRefusal::TopDown);
  if (in.biHeight == 0)
    return RefuseHead(why, DibRefusal::BadHeight);
  const int bitCount = in.biBitCount;
  if (DibStride(bitCount, 1) < 0)
    return RefuseHead(why, DibRefusal::BitCount);
  const bool masked = bitCount == 16 || in.biCompression == CompressionBitFields;
  if (in.biCompression != CompressionNone &&
      !(in.biCompression == CompressionBitFields && (bitCount == 16 || bitCount == 32)))
    return RefuseHead(why, DibRefusal::Compression);
  if (in.biClrUsed > MaxPaletteEntries)
    return RefuseHead(why, DibRefusal::ColorCount);

  // Plain 16-bit pixels are 5-5-5; bit fields bring their own masks.
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  std::uint64_t tableOffset = headerSize;
  if (in.biCompression == CompressionBitFields) {
    const std::uint64_t masksOffset =
        headerSize >= BitFieldsHeaderSize ? DibHeaderSize : headerSize;
    if (masksOffset + 12 > blockSize)
      return RefuseHead(why, DibRefusal::TooShort);
    if (masksOffset + 12 > have)
      return NeedHead(layout, masksOffset + 12);
    for (int i = 0; i < 3; ++i)
      masks[i] = ReadU32(block + masksOffset + 4 * i);
    if (headerSize < BitFieldsHeaderSize)
      tableOffset = masksOffset + 12;
  }
  const std::int64_t colorCount = DibColorCount(bitCount, in.biClrUsed);
  const std::uint64_t tableEnd = tableOffset + 4 * static_cast<std::uint64_t>(colorCount);
  if (tableEnd > blockSize)
    return RefuseHead(why, DibRefusal::TooShort);
  if (tableEnd > have)
    return NeedHead(layout, tableEnd);
  std::uint64_t rowsStart = tableEnd;
  if (rowsOffset >= 0) {
    if (static_cast<std::uint64_t>(rowsOffset) < tableEnd)
      return RefuseHead(why, DibRefusal::RowOffset);
    rowsStart = static_cast<std::uint64_t>(rowsOffset);
  }

  // Width and height are positive ints, so stride < 2^34 and stride × height < 2^65 could
  // still wrap: bound the stride first, to what CDibImage can hold.
  constexpr std::int64_t MaxStride = std::numeric_limits<std::int32_t>::max();
  const std::int64_t stride = DibStride(bitCount, in.biWidth);
  const std::int64_t imageStride = masked ? DibStride(32, in.biWidth) : stride;
  if (stride > MaxStride || imageStride > MaxStride)
    return RefuseHead(why, DibRefusal::TooLarge);
  const std::uint64_t rowsSize =
      static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(in.biHeight);
  if (rowsStart > blockSize || rowsSize > blockSize - rowsStart)
    return RefuseHead(why, DibRefusal::TooShort);
  if (!WithinReadLimits(static_cast<std::uint64_t>(in.biWidth),
                        static_cast<std::uint64_t>(in.biHeight)))
    return RefuseHead(why, DibRefusal::TooLarge);

  layout = DibBlockLayout{};
  DibInfoHeader &header = layout.header;
  header.biSize = DibHeaderSize;
  header.biWidth = in.biWidth;
  header.biHeight = in.biHeight;
  header.biPlanes = 1;
  header.biBitCount = static_cast<std::uint16_t>(masked ? 32 : bitCount);
  header.biCompression = CompressionNone;
  header.biClrUsed = in.biClrUsed;
  // The table may sit at any offset; copy it out rather than point into the block unaligned.
  std::memcpy(layout.table, block + tableOffset,
              static_cast<std::size_t>(colorCount) * sizeof(RgbQuad));
  std::memcpy(layout.masks, masks, sizeof masks);
  layout.bitCount = bitCount;
  layout.masked = masked;
  layout.headSize = tableEnd;
  layout.rowsStart = rowsStart;
  layout.stride = static_cast<std::uint64_t>(stride);
  layout.rowsSize = rowsSize;
  if (why != nullptr)
    *why = DibRefusal::None;
  return DibHeadParse::Parsed;
}

bool CreateDibImage(const DibBlockLayout &layout, CDibImage &image, DibRefusal *why) {
  if (!image.CreateFromHeader(layout.header, layout.table, nullptr))
    return Refuse(why, DibRefusal::NoSection);
  if (!PublishRows(image, 0))
    return Refuse(why, DibRefusal::Unwanted);
  if (why != nullptr)
    *why = DibRefusal::None;
  return true;
}

std::uint8_t *DibRowsInPlace(const DibBlockLayout &layout, CDibImage &image) {
  return image.m_bits + (image.RowsSize() - static_cast<std::size_t>(layout.rowsSize));
}

void StoreDibRows(const DibBlockLayout &layout, const std::uint8_t *rows, CDibImage &image) {
  StoreDibRows(layout, rows, image, 0, static_cast<std::size_t>(image.Height()));
}

void StoreDibRows(const DibBlockLayout &layout, const std::uint8_t *rows, CDibImage &image,
                  std::size_t first, std::size_t end) {
  const auto stride = static_cast<std::size_t>(layout.stride);
  if (layout.masked)
    DecodeMaskedRows(rows, stride, layout.bitCount, layout.masks, image, first, end);
  else if (rows != image.m_bits)
    std::memcpy(image.m_bits + stride * first, rows + stride * first, stride * (end - first));
}

bool DibRowsStoredInPlace(const DibBlockLayout &layout) {
  return !layout.masked || layout.bitCount == 32;
}

bool ReadPackedDib(const std::uint8_t *block, std::size_t size, CDibImage &image, DibRefusal *why) {
  return ReadDib(block, size, -1, image, why);
}

bool ReadPackedDibWithRowsAt(const std::uint8_t *block, std::size_t size, std::uint64_t rowsOffset,
                             CDibImage &image, DibRefusal *why) {
  if (rowsOffset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return Refuse(why, DibRefusal::TooShort);
  return ReadDib(block, size, static_cast<std::int64_t>(rowsOffset), image, why);
}

std::size_t PackedDibSize(const CDibImage &image) {
  if (!image.HasSection())
    return 0;
  return DibHeaderSize + sizeof(RgbQuad) * static_cast<std::size_t>(image.m_paletteCount) +
         image.RowsSize();
}

void WritePackedDib(const CDibImage &image, std::uint8_t *out) {
  std::memcpy(out, &image.m_header, DibHeaderSize);
  out += DibHeaderSize;
  const std::size_t tableSize = sizeof(RgbQuad) * static_cast<std::size_t>(image.m_paletteCount);
  std::memcpy(out, image.m_palette, tableSize);
  std::memcpy(out + tableSize, image.m_bits, image.RowsSize());
}
