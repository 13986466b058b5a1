#include "posix/huge_pages.h"

#include <sys/mman.h>

namespace {

// `size` rounded up to whole huge pages; 0 when that overflows.
std::size_t RoundUp(std::size_t size) {
  const std::size_t rounded = (size + HugePageSize - 1) / HugePageSize * HugePageSize;
  return rounded < size ? 0 : rounded;
}

} // namespace

std::uint8_t *MapHugePages(std::size_t size, std::size_t &mapped) {
  mapped = RoundUp(size);
  const std::size_t reserved = mapped + HugePageSize;
  if (mapped == 0 || reserved < mapped)
    return nullptr;
  void *block =
      ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return nullptr;
  // Mapped one huge page larger: keep the aligned part and give back the rest on either side.
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t aligned = (start + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
  if (aligned > start)
    ::munmap(block, aligned - start);
  const std::size_t tail = reserved - (aligned - start) - mapped;
  auto *bits = reinterpret_cast<std::uint8_t *>(aligned);
  if (tail > 0)
    ::munmap(bits + mapped, tail);
  ::madvise(bits, mapped, MADV_HUGEPAGE);
  return bits;
}

std::uint8_t *GrowHugePages(std::uint8_t *block, std::size_t &mapped, std::size_t size) {
  const std::size_t grown = RoundUp(size);
  if (grown == 0)
    return nullptr;
  if (grown <= mapped)
    return block;
  void *moved = ::mremap(block, mapped, grown, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED)
    return nullptr;
  ::madvise(moved, grown, MADV_HUGEPAGE);
  mapped = grown;
  return static_cast<std::uint8_t *>(moved);
}

void UnmapHugePages(std::uint8_t *block, std::size_t mapped) {
  if (block != nullptr)
    ::munmap(block, mapped);
}
