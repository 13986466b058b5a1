// CDibImage: a device-independent bitmap in memory. A 40-byte info header, a colour table of
// up to 256 entries, and pixel rows stored bottom-up, each padded to a multiple of four bytes.
//
// Pixel (x, y), x from the left and y = 0 the top row, lives in stored row (height - 1 - y).
// Within a row: 1 bpp keeps pixel x in bit 7 - x % 8 (leftmost pixel in the high bit), 4 bpp in
// the high nibble for even x and the low nibble for odd x, 8 bpp one byte, 16 bpp two bytes,
// 24 and 32 bpp blue, green, red (and an ignored fourth byte).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitmap/color.h"
#include "bitmap/dib_section.h"

// The BITMAPINFOHEADER layout, field for field.
struct DibInfoHeader {
  std::uint32_t biSize;
  std::int32_t biWidth;
  std::int32_t biHeight;
  std::uint16_t biPlanes;
  std::uint16_t biBitCount;
  std::uint32_t biCompression;
  std::uint32_t biSizeImage;
  std::int32_t biXPelsPerMeter;
  std::int32_t biYPelsPerMeter;
  std::uint32_t biClrUsed;
  std::uint32_t biClrImportant;
};
static_assert(sizeof(DibInfoHeader) == 40);

inline constexpr std::uint32_t DibHeaderSize = 40;
inline constexpr int MaxPaletteEntries = 256;

// Bytes per stored row for a depth and width, or -1 for a depth that has no row layout. The
// arithmetic is 64-bit, so any int width gives the exact value; callers check that it fits.
constexpr std::int64_t DibStride(int bitCount, std::int64_t width) {
  switch (bitCount) {
  case 1: return ((width + 7) / 8 + 3) & ~std::int64_t{3};
  case 4: return ((width + 1) / 2 + 3) & ~std::int64_t{3};
  case 8: return (width + 3) & ~std::int64_t{3};
  case 16: return (2 * width + 3) & ~std::int64_t{3};
  case 24: return (3 * width + 3) & ~std::int64_t{3};
  case 32: return 4 * width;
  default: return -1;
  }
}

// Colour-table entries a header implies: biClrUsed when set, else the full table of an indexed
// depth, else none.
constexpr std::int64_t DibColorCount(int bitCount, std::uint32_t clrUsed) {
  if (clrUsed != 0)
    return clrUsed;
  switch (bitCount) {
  case 1: return 2;
  case 4: return 16;
  case 8: return 256;
  default: return 0;
  }
}

class CRowProgress;

class CDibImage {
public:
  // The image gets its memory device context at once and releases everything when it dies,
  // so an image is released on every path out of the scope that owns it.
  CDibImage();
  ~CDibImage();
  CDibImage(const CDibImage &) = delete;
  CDibImage &operator=(const CDibImage &) = delete;

  // A fresh image of 1, 4, 8 or 24 bits per pixel. Without a table the depth's default is
  // taken (BlackWhitePalette, StandardPalette16, DefaultPalette256, none); a count of 0 means
  // the depth's full table. Without rows every pixel holds index 0.
  bool Create(int width, int height, int bitCount, const RgbQuad *palette = nullptr,
              int paletteCount = 0, const std::uint8_t *bits = nullptr);
  // Builds the image from a header and the colour table it implies, copying m_stride × height
  // bytes of rows when given. Fails for sizes or depths without a row layout, a table of more
  // than 256 entries, or when no section can be made.
  bool CreateFromHeader(const DibInfoHeader &header, const RgbQuad *colorTable,
                        const std::uint8_t *bits);
  // Selects the section into the image's memory device context.
  bool SelectIntoMemoryDc();
  // Frees the context and the section. Safe to call more than once.
  void Release();

  int Width() const { return m_header.biWidth; }
  int Height() const { return m_header.biHeight; }
  int BitCount() const { return m_header.biBitCount; }
  bool HasSection() const { return m_hBitmap != nullptr; }
  std::size_t RowsSize() const {
    return static_cast<std::size_t>(m_stride) * static_cast<std::size_t>(m_header.biHeight);
  }

  // The first byte of row y (y = 0 the top row), for loops that walk a whole row. Unchecked:
  // y must lie in 0 .. height - 1 and the image must have its section.
  std::uint8_t *RowAddress(int y) const {
    return m_bits + static_cast<std::ptrdiff_t>(m_stride) * (m_header.biHeight - 1 - y);
  }

  // The byte holding pixel (x, y), or null outside the image or for a depth without a layout.
  std::uint8_t *PixelAddress(int x, int y) const {
    if (x < 0 || x >= m_header.biWidth || y < 0 || y >= m_header.biHeight || m_bits == nullptr)
      return nullptr;
    std::uint8_t *row =
        m_bits + static_cast<std::ptrdiff_t>(m_stride) * (m_header.biHeight - 1 - y);
    switch (m_header.biBitCount) {
    case 1: return row + x / 8;
    case 4: return row + x / 2;
    case 8: return row + x;
    case 16: return row + static_cast<std::ptrdiff_t>(2) * x;
    case 24: return row + static_cast<std::ptrdiff_t>(3) * x;
    case 32: return row + static_cast<std::ptrdiff_t>(4) * x;
    default: return nullptr;
    }
  }

  // The colour-table index of an indexed pixel, or -1. It is not compared with the table's size.
  int GetPixelIndex(int x, int y) const {
    const std::uint8_t *p = PixelAddress(x, y);
    if (p == nullptr)
      return -1;
    switch (m_header.biBitCount) {
    case 1: return *p >> (7 - x % 8) & 1;
    case 4: return x % 2 == 0 ? *p >> 4 : *p & 0x0F;
    case 8: return *p;
    default: return -1;
    }
  }

  // The pixel's colour, or NoColor outside the image and for 16-bit pixels, which are not
  // decoded here (the clipboard reader turns 16-bit blocks into 32-bit images).
  ColorValue GetPixelColor(int x, int y) const {
    switch (m_header.biBitCount) {
    case 1:
    case 4:
    case 8: {
      const int index = GetPixelIndex(x, y);
      // Slots behind m_paletteCount are kept zero, so an index beyond it reads as black.
      return index < 0 ? NoColor : PaletteEntryToColor(m_palette[index]);
    }
    case 24:
    case 32: {
      const std::uint8_t *p = PixelAddress(x, y);
      return p == nullptr ? NoColor : RgbColor(p[2], p[1], p[0]);
    }
    default: return NoColor;
    }
  }

  // Stores a colour-table index; an index the depth cannot hold, or a pixel outside the image,
  // changes nothing.
  void SetPixelIndex(int x, int y, int index) {
    std::uint8_t *p = PixelAddress(x, y);
    if (p == nullptr)
      return;
    switch (m_header.biBitCount) {
    case 1: {
      if (index != 0 && index != 1)
        return;
      const auto mask = static_cast<std::uint8_t>(0x80 >> (x % 8));
      *p = static_cast<std::uint8_t>(index == 1 ? *p | mask : *p & ~mask);
      return;
    }
    case 4:
      if (index < 0 || index > 15)
        return;
      *p = static_cast<std::uint8_t>(x % 2 == 0 ? (*p & 0x0F) | index << 4 : (*p & 0xF0) | index);
      return;
    case 8:
      if (index < 0 || index > 255)
        return;
      *p = static_cast<std::uint8_t>(index);
      return;
    default: return;
    }
  }

  // Header and table lie back to back, forming the BITMAPINFO handed to the platform.
  DibInfoHeader m_header{};
  RgbQuad m_palette[MaxPaletteEntries]{};
  std::int32_t m_paletteCount = 0;
  std::int32_t m_stride = 1;
  std::uint8_t *m_bits = nullptr;
  DibSectionHandle m_hBitmap = nullptr;
  MemoryDcHandle m_hMemDC = nullptr;
  DibSectionHandle m_hOldBitmap = nullptr;
  // Set while another thread is still filling the rows (bitmap/row_progress.h); null when
  // every row is final. Create and Release leave it alone.
  CRowProgress *m_rowProgress = nullptr;
};
