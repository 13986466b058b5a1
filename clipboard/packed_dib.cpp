#include "clipboard/packed_dib.h"

#include <bit>
#include <cstring>
#include <limits>

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

bool Refuse(DibRefusal *why, DibRefusal reason) {
  if (why != nullptr)
    *why = reason;
  return false;
}

// One channel of a bit-field pixel: where the mask starts and how many bits it spans.
struct ChannelMask {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit ChannelMask(std::uint32_t m) : mask(m) {
    if (m == 0)
      return;
    shift = std::countr_zero(m);
    bits = std::bit_width(m >> shift);
  }

  // Scales the channel to 8 bits: a wide channel keeps its top 8 bits, a narrow one is
  // stretched so that its maximum becomes 255, rounding to nearest.
  std::uint8_t Decode(std::uint32_t pixel) const {
    if (bits == 0)
      return 0;
    const std::uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8)
      return static_cast<std::uint8_t>(v >> (bits - 8));
    const std::uint32_t top = (1u << bits) - 1;
    return static_cast<std::uint8_t>((v * 255 + top / 2) / top);
  }
};

// Turns 16-bit or bit-field rows into 32-bit rows of blue, green, red, 0.
void DecodeMaskedRows(const std::uint8_t *rows, std::int64_t sourceStride, int bitCount,
                      const std::uint32_t masks[3], CDibImage &image) {
  const ChannelMask red(masks[0]), green(masks[1]), blue(masks[2]);
  const int bytesPerPixel = bitCount / 8;
  for (int row = 0; row < image.Height(); ++row) {
    const std::uint8_t *in = rows + sourceStride * row;
    std::uint8_t *out = image.m_bits + static_cast<std::ptrdiff_t>(image.m_stride) * row;
    for (int x = 0; x < image.Width(); ++x, in += bytesPerPixel, out += 4) {
      const std::uint32_t pixel =
          bytesPerPixel == 2 ? static_cast<std::uint32_t>(in[0] | in[1] << 8) : ReadU32(in);
      out[0] = blue.Decode(pixel);
      out[1] = green.Decode(pixel);
      out[2] = red.Decode(pixel);
      out[3] = 0;
    }
  }
}

// The common reader. `rowsOffset` < 0 means the rows follow the colour table directly.
bool ReadDib(const std::uint8_t *block, std::size_t size, std::int64_t rowsOffset, CDibImage &image,
             DibRefusal *why) {
  const auto blockSize = static_cast<std::uint64_t>(size);
  if (block == nullptr || blockSize < 4)
    return Refuse(why, DibRefusal::TooShort);
  const std::uint32_t headerSize = ReadU32(block);
  if (headerSize < DibHeaderSize)
    return Refuse(why, DibRefusal::HeaderSize);
  if (headerSize > blockSize)
    return Refuse(why, DibRefusal::TooShort);

  DibInfoHeader in;
  std::memcpy(&in, block, sizeof in);
  if (in.biWidth <= 0)
    return Refuse(why, DibRefusal::BadWidth);
  if (in.biHeight < 0)
    return Refuse(why, DibRefusal::TopDown);
  if (in.biHeight == 0)
    return Refuse(why, DibRefusal::BadHeight);
  const int bitCount = in.biBitCount;
  if (DibStride(bitCount, 1) < 0)
    return Refuse(why, DibRefusal::BitCount);
  const bool masked = bitCount == 16 || in.biCompression == CompressionBitFields;
  if (in.biCompression != CompressionNone &&
      !(in.biCompression == CompressionBitFields && (bitCount == 16 || bitCount == 32)))
    return Refuse(why, DibRefusal::Compression);
  if (in.biClrUsed > MaxPaletteEntries)
    return Refuse(why, DibRefusal::ColorCount);

  // Plain 16-bit pixels are 5-5-5; bit fields bring their own masks.
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  std::uint64_t tableOffset = headerSize;
  if (in.biCompression == CompressionBitFields) {
    const std::uint64_t masksOffset =
        headerSize >= BitFieldsHeaderSize ? DibHeaderSize : headerSize;
    if (masksOffset + 12 > blockSize)
      return Refuse(why, DibRefusal::TooShort);
    for (int i = 0; i < 3; ++i)
      masks[i] = ReadU32(block + masksOffset + 4 * i);
    if (headerSize < BitFieldsHeaderSize)
      tableOffset = masksOffset + 12;
  }
  const std::int64_t colorCount = DibColorCount(bitCount, in.biClrUsed);
  const std::uint64_t tableEnd = tableOffset + 4 * static_cast<std::uint64_t>(colorCount);
  if (tableEnd > blockSize)
    return Refuse(why, DibRefusal::TooShort);
  std::uint64_t rowsStart = tableEnd;
  if (rowsOffset >= 0) {
    if (static_cast<std::uint64_t>(rowsOffset) < tableEnd)
      return Refuse(why, DibRefusal::RowOffset);
    rowsStart = static_cast<std::uint64_t>(rowsOffset);
  }

  // Width and height are positive ints, so stride < 2^34 and stride × height < 2^65 could
  // still wrap: bound the stride first, to what CDibImage can hold.
  constexpr std::int64_t MaxStride = std::numeric_limits<std::int32_t>::max();
  const std::int64_t stride = DibStride(bitCount, in.biWidth);
  const std::int64_t imageStride = masked ? DibStride(32, in.biWidth) : stride;
  if (stride > MaxStride || imageStride > MaxStride)
    return Refuse(why, DibRefusal::TooLarge);
  const std::uint64_t rowsSize =
      static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(in.biHeight);
  if (rowsStart > blockSize || rowsSize > blockSize - rowsStart)
    return Refuse(why, DibRefusal::TooShort);

  DibInfoHeader header{};
  header.biSize = DibHeaderSize;
  header.biWidth = in.biWidth;
  header.biHeight = in.biHeight;
  header.biPlanes = 1;
  header.biBitCount = static_cast<std::uint16_t>(masked ? 32 : bitCount);
  header.biCompression = CompressionNone;
  header.biClrUsed = in.biClrUsed;

  // The table may sit at any offset; copy it out rather than point into the block unaligned.
  RgbQuad table[MaxPaletteEntries]{};
  std::memcpy(table, block + tableOffset, static_cast<std::size_t>(colorCount) * sizeof(RgbQuad));
  const std::uint8_t *rows = block + rowsStart;
  if (!image.CreateFromHeader(header, table, masked ? nullptr : rows))
    return Refuse(why, DibRefusal::NoSection);
  if (masked)
    DecodeMaskedRows(rows, stride, bitCount, masks, image);
  if (why != nullptr)
    *why = DibRefusal::None;
  return true;
}

} // namespace

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
