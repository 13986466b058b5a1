// A PNG's samples as the image's pixels. Every sample of up to 8 bits (gray, palette index)
// maps through a table of 256 finished pixels, made once per picture with its scaling, palette,
// transparency and flattening; the other formats are computed per pixel.
#include "codec/png_rows.h"

#include <bit>
#include <cstring>

#include "bitmap/color.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace {

constexpr std::uint32_t White = 0xFFFFFF;

std::uint32_t Pixel(unsigned red, unsigned green, unsigned blue) {
  return blue | green << 8 | red << 16;
}

// 16 bits to 8, rounding to nearest.
unsigned Reduce16(unsigned v) { return (v * 255 + 32767) / 65535; }
unsigned Sample16(const std::uint8_t *p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

void Put3(std::uint8_t *out, std::uint32_t pixel) {
  out[0] = static_cast<std::uint8_t>(pixel);
  out[1] = static_cast<std::uint8_t>(pixel >> 8);
  out[2] = static_cast<std::uint8_t>(pixel >> 16);
}

// Pixels that are contiguous go out 4 bytes at a time but the last.
template <class PixelAt>
void PutAll(std::uint32_t count, std::uint8_t *out, std::size_t step, PixelAt pixelAt) {
  std::uint32_t i = 0;
  if (step == 3 && std::endian::native == std::endian::little)
    for (; i + 1 < count; ++i, out += 3) {
      const std::uint32_t pixel = pixelAt(i);
      std::memcpy(out, &pixel, 4);
    }
  for (; i < count; ++i, out += step)
    Put3(out, pixelAt(i));
}

// 8-bit RGB to blue, green, red: the photo's path, five pixels per shuffle where SSSE3 is.
#if defined(__x86_64__)
__attribute__((target("ssse3"))) std::uint32_t
SwapRgbVector(const std::uint8_t *in, std::uint32_t count, std::uint8_t *out) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  std::uint32_t i = 0;
  // 16 bytes in and out cover 5 pixels and the next one's first byte, stored again after.
  for (; i + 6 <= count; i += 5) {
    const __m128i rgb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 3 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * i), _mm_shuffle_epi8(rgb, order));
  }
  return i;
}
const bool HasSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
#endif

void SwapRgb(const std::uint8_t *in, std::uint32_t count, std::uint8_t *out) {
  std::uint32_t i = 0;
#if defined(__x86_64__)
  if (HasSsse3)
    i = SwapRgbVector(in, count, out);
#endif
  for (; i < count; ++i) {
    out[3 * i] = in[3 * i + 2];
    out[3 * i + 1] = in[3 * i + 1];
    out[3 * i + 2] = in[3 * i];
  }
}

} // namespace

unsigned PngChannels(unsigned colorType) {
  switch (colorType) {
  case 2: return 3;
  case 4: return 2;
  case 6: return 4;
  default: return 1;
  }
}

int PngPasses(const PngHeader &header, PngPass (&passes)[7]) {
  static constexpr std::uint32_t X0[7] = {0, 4, 0, 2, 0, 1, 0}, Dx[7] = {8, 8, 4, 4, 2, 2, 1};
  static constexpr std::uint32_t Y0[7] = {0, 0, 4, 0, 2, 0, 1}, Dy[7] = {8, 8, 8, 4, 4, 2, 2};
  const std::size_t bits = std::size_t{header.bitDepth} * PngChannels(header.colorType);
  int count = 0;
  for (int p = 0; p < (header.interlaced ? 7 : 1); ++p) {
    PngPass pass;
    if (header.interlaced) {
      pass = {.x0 = X0[p], .y0 = Y0[p], .dx = Dx[p], .dy = Dy[p]};
      pass.width = header.width > X0[p] ? (header.width - X0[p] + Dx[p] - 1) / Dx[p] : 0;
      pass.rows = header.height > Y0[p] ? (header.height - Y0[p] + Dy[p] - 1) / Dy[p] : 0;
    } else {
      pass.width = header.width;
      pass.rows = header.height;
    }
    pass.rowBytes = (pass.width * bits + 7) / 8;
    if (pass.width > 0 && pass.rows > 0)
      passes[count++] = pass;
  }
  return count;
}

unsigned PngFilterDistance(const PngHeader &header) {
  const unsigned bits = header.bitDepth * PngChannels(header.colorType);
  return bits < 8 ? 1 : bits / 8;
}

CPngPixels::CPngPixels(const PngHeader &header, const std::uint8_t *palette, int entries,
                       const std::uint8_t *transparency, std::size_t transparencySize)
    : m_bitDepth(header.bitDepth) {
  const bool wide = header.bitDepth == 16;
  switch (header.colorType) {
  case 0: m_kind = wide ? Kind::Gray16 : Kind::Indexed; break;
  case 2: m_kind = wide ? Kind::Rgb16 : Kind::Rgb8; break;
  case 4: m_kind = wide ? Kind::GrayAlpha16 : Kind::GrayAlpha8; break;
  case 6: m_kind = wide ? Kind::Rgba16 : Kind::Rgba8; break;
  default: m_kind = Kind::Indexed; break;
  }
  // A colour key: gray's one sample or RGB's three. One beyond the bit depth matches nothing.
  if ((header.colorType == 0 && transparencySize == 2) ||
      (header.colorType == 2 && transparencySize == 6)) {
    bool within = true;
    for (std::size_t i = 0; i < transparencySize / 2; ++i) {
      m_key[i] = static_cast<std::uint16_t>(Sample16(transparency + 2 * i));
      within = within && (wide || m_key[i] >> header.bitDepth == 0);
    }
    m_keyed = within;
  }
  if (header.colorType == 0 && !wide) {
    const unsigned top = (1u << header.bitDepth) - 1, scale = 255 / top;
    for (unsigned v = 0; v <= top; ++v)
      m_colors[v] = Pixel(v * scale, v * scale, v * scale);
    if (m_keyed)
      m_colors[m_key[0]] = White;
  } else if (header.colorType == 3) {
    // Indices behind the palette are black, and opaque behind tRNS's alphas.
    for (int i = 0; i < entries; ++i) {
      const std::uint8_t *rgb = palette + 3 * i;
      const unsigned alpha =
          static_cast<std::size_t>(i) < transparencySize ? transparency[i] : 255u;
      m_colors[i] = Pixel(FlattenOnWhite(rgb[0], alpha), FlattenOnWhite(rgb[1], alpha),
                          FlattenOnWhite(rgb[2], alpha));
    }
  }
}

void CPngPixels::Store(const std::uint8_t *in, std::uint32_t count, std::uint8_t *out,
                       std::size_t step) const {
  switch (m_kind) {
  case Kind::Indexed:
    if (m_bitDepth == 8) {
      PutAll(count, out, step, [&](std::uint32_t i) { return m_colors[in[i]]; });
    } else {
      // Packed from the high bits down.
      const unsigned depth = m_bitDepth, mask = (1u << depth) - 1;
      PutAll(count, out, step, [&](std::uint32_t i) {
        const std::size_t bit = std::size_t{i} * depth;
        return m_colors[in[bit / 8] >> (8 - depth - bit % 8) & mask];
      });
    }
    break;
  case Kind::Gray16:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const unsigned v = Sample16(in + 2 * i), gray = Reduce16(v);
      return m_keyed && v == m_key[0] ? White : Pixel(gray, gray, gray);
    });
    break;
  case Kind::GrayAlpha8:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const unsigned gray = FlattenOnWhite(in[2 * i], in[2 * i + 1]);
      return Pixel(gray, gray, gray);
    });
    break;
  case Kind::GrayAlpha16:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const unsigned gray =
          FlattenOnWhite(Reduce16(Sample16(in + 4 * i)), Reduce16(Sample16(in + 4 * i + 2)));
      return Pixel(gray, gray, gray);
    });
    break;
  case Kind::Rgb8:
    if (!m_keyed && step == 3) {
      SwapRgb(in, count, out);
      break;
    }
    PutAll(count, out, step, [&](std::uint32_t i) {
      const std::uint8_t *p = in + 3 * i;
      return m_keyed && p[0] == m_key[0] && p[1] == m_key[1] && p[2] == m_key[2]
                 ? White
                 : Pixel(p[0], p[1], p[2]);
    });
    break;
  case Kind::Rgb16:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const std::uint8_t *p = in + 6 * i;
      const unsigned r = Sample16(p), g = Sample16(p + 2), b = Sample16(p + 4);
      return m_keyed && r == m_key[0] && g == m_key[1] && b == m_key[2]
                 ? White
                 : Pixel(Reduce16(r), Reduce16(g), Reduce16(b));
    });
    break;
  case Kind::Rgba8:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const std::uint8_t *p = in + 4 * i;
      return Pixel(FlattenOnWhite(p[0], p[3]), FlattenOnWhite(p[1], p[3]),
                   FlattenOnWhite(p[2], p[3]));
    });
    break;
  case Kind::Rgba16:
    PutAll(count, out, step, [&](std::uint32_t i) {
      const std::uint8_t *p = in + 8 * i;
      const unsigned alpha = Reduce16(Sample16(p + 6));
      return Pixel(FlattenOnWhite(Reduce16(Sample16(p)), alpha),
                   FlattenOnWhite(Reduce16(Sample16(p + 2)), alpha),
                   FlattenOnWhite(Reduce16(Sample16(p + 4)), alpha));
    });
    break;
  }
}
