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
#include <sys/mman.h>
#endif

struct DibSection {
  std::uint8_t *bits;
  std::size_t mapped; // bytes mapped for a large section; 0 for one on the heap
};

struct MemoryDc {
  DibSectionHandle selected;
};

namespace {

#if defined(VANTOLY_MAP_LARGE)
// A large section is filled by one read and one pass of a converter, so its cost is the first
// touch of each page. Fresh anonymous memory is zero already; aligned to 2 MB and advised for
// huge pages it takes one fault per 2 MB instead of one per 4 KB.
constexpr std::size_t HugePageSize = std::size_t{2} << 20;

std::uint8_t *MapLarge(std::size_t size, std::size_t &mapped) {
  mapped = (size + HugePageSize - 1) / HugePageSize * HugePageSize;
  if (mapped < size)
    return nullptr; // size near SIZE_MAX
  const std::size_t reserved = mapped + HugePageSize;
  if (reserved < mapped)
    return nullptr;
  void *block =
      ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return nullptr;
  // Keep the 2 MB-aligned part and give back the rest on either side.
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t aligned = (start + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
  if (aligned > start)
    ::munmap(block, aligned - start);
  const std::size_t tail = reserved - (aligned - start) - mapped;
  auto *bits = reinterpret_cast<std::uint8_t *>(aligned);
  if (tail > 0)
    ::munmap(bits + mapped, tail);
  // Only advice: without transparent huge pages the block still works, page by page.
  ::madvise(bits, mapped, MADV_HUGEPAGE);
  return bits;
}
#endif

} // namespace

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
    section->bits = MapLarge(static_cast<std::size_t>(size), section->mapped);
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
    ::munmap(section->bits, section->mapped);
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
