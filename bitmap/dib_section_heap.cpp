// Pixel storage for platforms without a graphics interface: a zero-filled block of memory, and
// a context that merely remembers which block is selected.
#include <cstdlib>
#include <new>

#include "bitmap/dib_image.h"
#include "bitmap/dib_section.h"

// Under the address sanitizer every section stays on the heap, where a read past its end shows.
#if defined(__SANITIZE_ADDRESS__)
#define VANTOLY_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTOLY_HEAP_ONLY 1
#endif
#endif
#if defined(__linux__) && !defined(VANTOLY_HEAP_ONLY)
#define VANTOLY_MAP_LARGE 1
#include "posix/huge_pages.h"
#endif

// A large section is filled by one read and one pass of a converter: on Linux it is mapped in
// huge pages (see posix/huge_pages.h).
struct DibSection {
  std::uint8_t *bits;
  std::size_t mapped; // bytes mapped for a large section; 0 for one on the heap
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
  auto *section = new (std::nothrow) DibSection{nullptr, 0};
  if (section == nullptr)
    return nullptr;
#if defined(VANTOLY_MAP_LARGE)
  if (size >= HugePageSize)
    section->bits = MapHugePages(static_cast<std::size_t>(size), section->mapped);
  else
#endif
    // calloc: the kernel hands out zero pages lazily, so a section costs little until used.
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
#if defined(VANTOLY_MAP_LARGE)
  if (section->mapped != 0)
    UnmapHugePages(section->bits, section->mapped);
  else
#endif
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
