// Undoing the filters. Each byte adds a prediction from the byte one pixel to the left (a),
// above (b) and above-left (c), so a row is a chain from left to right; what can run in
// parallel is a pixel's bytes. On x86 a pixel of 3 to 8 bytes is therefore undone as one SSE2
// vector (Paeth's arithmetic in 16-bit lanes), as libpng does for 3 and 4; "up" has no chain and
// goes 16 bytes at a time. Pixels of 1 or 2 bytes (low-depth gray and palettes, gray with alpha)
// take the plain loops, which every other machine takes too.
#include "codec/png_rows.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

enum Filter : unsigned { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

unsigned PaethPredictor(unsigned a, unsigned b, unsigned c) {
  const int pa = std::abs(static_cast<int>(b) - static_cast<int>(c));
  const int pb = std::abs(static_cast<int>(a) - static_cast<int>(c));
  const int pc = std::abs(static_cast<int>(a + b) - 2 * static_cast<int>(c));
  if (pa <= pb && pa <= pc)
    return a;
  return pb <= pc ? b : c;
}

// Any distance; `prior` null reads as a row of zeros.
void UnfilterPlain(unsigned filter, std::uint8_t *row, const std::uint8_t *prior, std::size_t size,
                   std::size_t distance) {
  const auto above = [prior](std::size_t i) -> unsigned { return prior ? prior[i] : 0u; };
  switch (filter) {
  case Sub:
    for (std::size_t i = distance; i < size; ++i)
      row[i] = static_cast<std::uint8_t>(row[i] + row[i - distance]);
    break;
  case Up:
    if (prior != nullptr)
      for (std::size_t i = 0; i < size; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
    break;
  case Average:
    for (std::size_t i = 0; i < size; ++i) {
      const unsigned left = i >= distance ? row[i - distance] : 0u;
      row[i] = static_cast<std::uint8_t>(row[i] + ((left + above(i)) >> 1));
    }
    break;
  case Paeth:
    for (std::size_t i = 0; i < size; ++i) {
      const bool first = i < distance;
      row[i] = static_cast<std::uint8_t>(row[i] + PaethPredictor(first ? 0u : row[i - distance],
                                                                 above(i),
                                                                 first ? 0u : above(i - distance)));
    }
    break;
  default: break;
  }
}

#if defined(__SSE2__) && defined(__x86_64__)

// A pixel of N bytes in the low bytes of a vector, and back, through general registers: a copy
// of 3 or 6 bytes through memory would stall each pixel's load behind the last one's store.
template <class T> T LoadBytes(const std::uint8_t *p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
template <class T> void StoreBytes(std::uint8_t *p, T value) {
  std::memcpy(p, &value, sizeof value);
}

template <std::size_t N> __m128i LoadPixel(const std::uint8_t *p) {
  if constexpr (N == 3)
    return _mm_cvtsi32_si128(LoadBytes<std::uint16_t>(p) | p[2] << 16);
  else if constexpr (N == 4)
    return _mm_cvtsi32_si128(LoadBytes<int>(p));
  else if constexpr (N == 6)
    return _mm_cvtsi64_si128(static_cast<long long>(
        LoadBytes<std::uint32_t>(p) | std::uint64_t{LoadBytes<std::uint16_t>(p + 4)} << 32));
  else
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
}
template <std::size_t N> void StorePixel(std::uint8_t *p, __m128i pixel) {
  if constexpr (N == 3) {
    const auto bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(pixel));
    StoreBytes(p, static_cast<std::uint16_t>(bits));
    p[2] = static_cast<std::uint8_t>(bits >> 16);
  } else if constexpr (N == 4) {
    StoreBytes(p, _mm_cvtsi128_si32(pixel));
  } else if constexpr (N == 6) {
    const auto bits = static_cast<std::uint64_t>(_mm_cvtsi128_si64(pixel));
    StoreBytes(p, static_cast<std::uint32_t>(bits));
    StoreBytes(p + 4, static_cast<std::uint16_t>(bits >> 32));
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), pixel);
  }
}

template <std::size_t N> void UnfilterSub(std::uint8_t *row, std::size_t size) {
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + N <= size; i += N) {
    a = _mm_add_epi8(LoadPixel<N>(row + i), a);
    StorePixel<N>(row + i, a);
  }
}

void UnfilterUp(std::uint8_t *row, const std::uint8_t *prior, std::size_t size) {
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prior + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), _mm_add_epi8(x, b));
  }
  for (; i < size; ++i)
    row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
}

template <std::size_t N>
void UnfilterAverage(std::uint8_t *row, const std::uint8_t *prior, std::size_t size) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + N <= size; i += N) {
    const __m128i b = LoadPixel<N>(prior + i);
    // pavgb rounds up; the filter rounds down.
    const __m128i average =
        _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel<N>(row + i), average);
    StorePixel<N>(row + i, a);
  }
}

__m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// Where `mask` is set, `yes`, else `no`.
__m128i Select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

template <std::size_t N>
void UnfilterPaeth(std::uint8_t *row, const std::uint8_t *prior, std::size_t size) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero; // 16-bit lanes
  for (std::size_t i = 0; i + N <= size; i += N) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel<N>(prior + i), zero);
    const __m128i pa = Abs16(_mm_sub_epi16(b, c));
    const __m128i pb = Abs16(_mm_sub_epi16(a, c));
    const __m128i pc = Abs16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
    const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
    const __m128i nearest =
        Select(_mm_cmpeq_epi16(pa, smallest), a, Select(_mm_cmpeq_epi16(pb, smallest), b, c));
    const __m128i x = _mm_add_epi8(LoadPixel<N>(row + i), _mm_packus_epi16(nearest, zero));
    StorePixel<N>(row + i, x);
    a = _mm_unpacklo_epi8(x, zero);
    c = b;
  }
}

template <std::size_t N>
bool UnfilterVector(unsigned filter, std::uint8_t *row, const std::uint8_t *prior,
                    std::size_t size) {
  switch (filter) {
  case Sub: UnfilterSub<N>(row, size); return true;
  case Average: UnfilterAverage<N>(row, prior, size); return true;
  case Paeth: UnfilterPaeth<N>(row, prior, size); return true;
  default: return false;
  }
}

#endif

} // namespace

bool UnfilterPngRow(unsigned filter, std::uint8_t *row, const std::uint8_t *prior, std::size_t size,
                    unsigned distance) {
  if (filter > Paeth)
    return false;
  if (filter == None || (filter == Up && prior == nullptr))
    return true;
#if defined(__SSE2__) && defined(__x86_64__)
  if (filter == Up) {
    UnfilterUp(row, prior, size);
    return true;
  }
  // A pass's first row has nothing above: Paeth then predicts from the left alone.
  if (prior == nullptr && filter == Paeth)
    filter = Sub;
  if (prior != nullptr || filter == Sub) {
    switch (distance) {
    case 3: return UnfilterVector<3>(filter, row, prior, size);
    case 4: return UnfilterVector<4>(filter, row, prior, size);
    case 6: return UnfilterVector<6>(filter, row, prior, size);
    case 8: return UnfilterVector<8>(filter, row, prior, size);
    default: break;
    }
  }
#endif
  UnfilterPlain(filter, row, prior, size, distance);
  return true;
}
