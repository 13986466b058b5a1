// Large blocks of anonymous memory, 2 MB-aligned and advised for huge pages. Such a block is
// filled once and read once, so its cost is the first touch of each page: fresh anonymous
// memory is zero already, and one fault per 2 MB replaces one per 4 KB. The advice is only
// advice; without transparent huge pages the block still works page by page.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t HugePageSize = std::size_t{2} << 20;

// A zero-filled block of at least `size` bytes, or null; `mapped` receives its real length,
// which UnmapHugePages and GrowHugePages need.
std::uint8_t *MapHugePages(std::size_t size, std::size_t &mapped);
// The block grown to at least `size` bytes, its contents kept without copying (the pages are
// remapped); null when it cannot grow, the old block then still mapped as it was.
std::uint8_t *GrowHugePages(std::uint8_t *block, std::size_t &mapped, std::size_t size);
void UnmapHugePages(std::uint8_t *block, std::size_t mapped);
