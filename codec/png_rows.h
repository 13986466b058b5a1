// A PNG's rows once inflated, for the reader: how the header lays them out (Adam7's passes
// included), undoing each row's filter, and turning its samples into the image's pixels by the
// rules png_file.h states.
#pragma once

#include <cstddef>
#include <cstdint>

// The fields of IHDR the rows depend on, already checked.
struct PngHeader {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  unsigned bitDepth = 0;  // 1, 2, 4, 8 or 16
  unsigned colorType = 0; // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGB + alpha
  bool interlaced = false;
};

// Samples per pixel: 1 to 4.
unsigned PngChannels(unsigned colorType);

// One pass of the picture's rows: the whole picture when not interlaced, else one of Adam7's
// seven, each holding every dx-th pixel of every dy-th row from (x0, y0).
struct PngPass {
  std::uint32_t width = 0, rows = 0;
  std::uint32_t x0 = 0, y0 = 0, dx = 1, dy = 1;
  std::size_t rowBytes = 0; // without the filter byte
};

// The passes that hold pixels, in file order (an interlaced picture narrower or shorter than 5
// pixels leaves some empty); returns how many.
int PngPasses(const PngHeader &header, PngPass (&passes)[7]);

// Bytes per complete pixel, at least 1: how far back the filters look.
unsigned PngFilterDistance(const PngHeader &header);

// Undoes the filter of `filter` type (none, sub, up, average, Paeth: 0 to 4) on `row` in place,
// with `prior` the row above already undone, or null for a pass's first row (zeros). False for
// another filter type.
bool UnfilterPngRow(unsigned filter, std::uint8_t *row, const std::uint8_t *prior, std::size_t size,
                    unsigned distance);

// Turns unfiltered rows into 24-bit pixels (blue, green, red), transparency flattened onto white.
class CPngPixels {
public:
  // `palette` holds `entries` red, green, blue triples (a palette picture's, none otherwise);
  // `transparency` is tRNS's data, `transparencySize` bytes of it (none: 0).
  CPngPixels(const PngHeader &header, const std::uint8_t *palette, int entries,
             const std::uint8_t *transparency, std::size_t transparencySize);

  // Stores the row's first `count` pixels at `out`, one every `step` bytes. Where they are
  // contiguous (`step` 3), all but the last may be written with a fourth byte, which the next
  // pixel then overwrites.
  void Store(const std::uint8_t *row, std::uint32_t count, std::uint8_t *out,
             std::size_t step) const;

private:
  enum class Kind { Indexed, Gray16, GrayAlpha8, GrayAlpha16, Rgb8, Rgb16, Rgba8, Rgba16 };
  Kind m_kind = Kind::Indexed;
  unsigned m_bitDepth = 8;
  // Indexed (gray of 1 to 8 bits, palette): each sample's pixel as blue | green << 8 | red << 16.
  std::uint32_t m_colors[256] = {};
  // A colour key: the samples (gray: the first) that make a pixel white.
  bool m_keyed = false;
  std::uint16_t m_key[3] = {};
};
