#include "bitmap/dib_image.h"

#include <cstddef>
#include <cstring>
#include <limits>

static_assert(offsetof(CDibImage, m_palette) ==
                  offsetof(CDibImage, m_header) + sizeof(DibInfoHeader),
              "the colour table must follow the header as in a BITMAPINFO");

CDibImage::CDibImage() {
  m_hMemDC = CreateMemoryDc();
  m_hOldBitmap = CurrentDibSection(m_hMemDC);
}

CDibImage::~CDibImage() { Release(); }

bool CDibImage::Create(int width, int height, int bitCount, const RgbQuad *palette,
                       int paletteCount, const std::uint8_t *bits) {
  if (width <= 0 || height <= 0)
    return false;
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24)
    return false;
  if (paletteCount < 0 || paletteCount > MaxPaletteEntries)
    return false;
  if (palette == nullptr) {
    switch (bitCount) {
    case 1: palette = BlackWhitePalette; break;
    case 4: palette = StandardPalette16; break;
    case 8: palette = DefaultPalette256; break;
    default: break;
    }
  }
  const int count = paletteCount != 0 ? paletteCount : static_cast<int>(DibColorCount(bitCount, 0));
  if (count > 0 && palette == nullptr)
    return false;

  DibInfoHeader header{};
  header.biSize = DibHeaderSize;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<std::uint16_t>(bitCount);
  header.biCompression = 0;
  header.biClrUsed = static_cast<std::uint32_t>(count);
  return CreateFromHeader(header, palette, bits);
}

bool CDibImage::CreateFromHeader(const DibInfoHeader &header, const RgbQuad *colorTable,
                                 const std::uint8_t *bits) {
  const std::int64_t stride = DibStride(header.biBitCount, header.biWidth);
  const std::int64_t count = DibColorCount(header.biBitCount, header.biClrUsed);
  if (header.biWidth <= 0 || header.biHeight <= 0 || stride <= 0 ||
      stride > std::numeric_limits<std::int32_t>::max() || count > MaxPaletteEntries ||
      (count > 0 && colorTable == nullptr))
    return false;

  // Copy the table before the header: when Create passes our own members, nothing is lost.
  RgbQuad table[MaxPaletteEntries]{};
  if (count > 0)
    std::memcpy(table, colorTable, static_cast<std::size_t>(count) * sizeof(RgbQuad));

  if (m_hBitmap != nullptr) {
    DeleteDibSection(m_hBitmap);
    m_hBitmap = nullptr;
    m_bits = nullptr;
  }
  m_header = header;
  std::memcpy(m_palette, table, sizeof m_palette);
  m_paletteCount = static_cast<std::int32_t>(count);
  m_stride = static_cast<std::int32_t>(stride);

  std::uint8_t *sectionBits = nullptr;
  m_hBitmap = CreateDibSection(m_header, sectionBits);
  if (m_hBitmap == nullptr)
    return false;
  m_bits = sectionBits;
  // A new section is zero-filled already: every pixel holds index 0.
  if (bits != nullptr)
    std::memcpy(m_bits, bits, RowsSize());
  return true;
}

bool CDibImage::SelectIntoMemoryDc() {
  return m_hBitmap != nullptr && SelectDibSection(m_hMemDC, m_hBitmap);
}

void CDibImage::Release() {
  if (m_hMemDC != nullptr) {
    SelectDibSection(m_hMemDC, m_hOldBitmap);
    DeleteMemoryDc(m_hMemDC);
    m_hMemDC = nullptr;
  }
  if (m_hBitmap != nullptr) {
    DeleteDibSection(m_hBitmap);
    m_hBitmap = nullptr;
  }
  m_bits = nullptr;
}
