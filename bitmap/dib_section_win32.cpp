// Pixel storage on Windows: a real DIB section, selected into a memory device context that is
// compatible with the screen. The opaque handles of dib_section.h are the GDI handles themselves.
#include <windows.h>

#include <cstring>

#include "bitmap/dib_image.h"
#include "bitmap/dib_section.h"

static_assert(sizeof(DibInfoHeader) == sizeof(BITMAPINFOHEADER));

namespace {

HBITMAP ToBitmap(DibSectionHandle section) { return reinterpret_cast<HBITMAP>(section); }
DibSectionHandle ToSection(HGDIOBJ bitmap) { return reinterpret_cast<DibSectionHandle>(bitmap); }
HDC ToDc(MemoryDcHandle dc) { return reinterpret_cast<HDC>(dc); }

} // namespace

DibSectionHandle CreateDibSection(const DibInfoHeader &header, std::uint8_t *&bits) {
  const std::int64_t stride = DibStride(header.biBitCount, header.biWidth);
  if (stride <= 0 || header.biHeight <= 0)
    return nullptr;
  // The image keeps its colour table right behind the header, so together they are the
  // BITMAPINFO that GDI reads.
  const auto *info = reinterpret_cast<const BITMAPINFO *>(&header);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr)
    return nullptr;
  void *sectionBits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, info, DIB_RGB_COLORS, &sectionBits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (bitmap == nullptr || sectionBits == nullptr) {
    if (bitmap != nullptr)
      DeleteObject(bitmap);
    return nullptr;
  }
  // Fresh section memory comes zeroed from the system, but that is not promised anywhere, and
  // an image made without rows must read as index 0 everywhere.
  std::memset(sectionBits, 0,
              static_cast<std::size_t>(stride) * static_cast<std::size_t>(header.biHeight));
  bits = static_cast<std::uint8_t *>(sectionBits);
  return ToSection(bitmap);
}

void DeleteDibSection(DibSectionHandle section) {
  if (section != nullptr)
    DeleteObject(ToBitmap(section));
}

MemoryDcHandle CreateMemoryDc() {
  return reinterpret_cast<MemoryDcHandle>(CreateCompatibleDC(nullptr));
}

void DeleteMemoryDc(MemoryDcHandle dc) {
  if (dc != nullptr)
    DeleteDC(ToDc(dc));
}

DibSectionHandle CurrentDibSection(MemoryDcHandle dc) {
  return dc != nullptr ? ToSection(GetCurrentObject(ToDc(dc), OBJ_BITMAP)) : nullptr;
}

bool SelectDibSection(MemoryDcHandle dc, DibSectionHandle section) {
  if (dc == nullptr || section == nullptr)
    return false;
  HGDIOBJ previous = SelectObject(ToDc(dc), ToBitmap(section));
  return previous != nullptr && previous != HGDI_ERROR;
}
