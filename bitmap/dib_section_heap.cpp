// Pixel storage for platforms without a graphics interface: a zero-filled heap block, and a
// context that merely remembers which block is selected.
#include <cstdlib>
#include <new>

#include "bitmap/dib_image.h"
#include "bitmap/dib_section.h"

struct DibSection {
  std::uint8_t *bits;
};

struct MemoryDc {
  DibSectionHandle selected;
};

DibSectionHandle CreateDibSection(const DibInfoHeader &header, std::uint8_t *&bits) {
  const std::int64_t stride = DibStride(header.biBitCount, header.biWidth);
  if (stride <= 0 || header.biHeight <= 0)
    return nullptr;
  const auto size =
      static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(header.biHeight);
  if (size > SIZE_MAX)
    return nullptr;
  auto *section = new (std::nothrow) DibSection{};
  if (section == nullptr)
    return nullptr;
  // calloc: the kernel hands out zero pages lazily, so a huge section costs nothing until used.
  section->bits = static_cast<std::uint8_t *>(std::calloc(static_cast<std::size_t>(size), 1));
  if (section->bits == nullptr) {
    delete section;
    return nullptr;
  }
  bits = section->bits;
  return section;
}

void DeleteDibSection(DibSectionHandle section) {
  if (section == nullptr)
    return;
  std::free(section->bits);
  delete section;
}

MemoryDcHandle CreateMemoryDc() { return new (std::nothrow) MemoryDc{nullptr}; }

void DeleteMemoryDc(MemoryDcHandle dc) { delete dc; }

DibSectionHandle CurrentDibSection(MemoryDcHandle dc) {
  return dc != nullptr ? dc->selected : nullptr;
}

bool SelectDibSection(MemoryDcHandle dc, DibSectionHandle section) {
  if (dc == nullptr)
    return false;
  dc->selected = section;
  return true;
}
