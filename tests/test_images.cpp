#include "test_images.h"

#include <algorithm>
#include <cstring>

#include "codec/packed_dib.h"

namespace {

void Put32(std::vector<std::uint8_t> &out, std::size_t at, std::uint32_t v) {
  std::memcpy(&out[at], &v, 4);
}

} // namespace

std::vector<std::uint8_t> BuildPackedDib(const DibLayout &layout) {
  const bool masksInside = layout.headerSize >= 52;
  std::vector<std::uint8_t> out(layout.headerSize > 40 ? layout.headerSize : 40, 0);
  DibInfoHeader h{};
  h.biSize = layout.headerSize;
  h.biWidth = layout.width;
  h.biHeight = layout.height;
  h.biPlanes = 1;
  h.biBitCount = layout.bitCount;
  h.biCompression = layout.compression;
  h.biClrUsed = layout.clrUsed;
  std::memcpy(out.data(), &h, sizeof h);
  for (std::size_t i = 0; i < layout.masks.size(); ++i) {
    if (masksInside) {
      Put32(out, 40 + 4 * i, layout.masks[i]);
    } else {
      out.resize(out.size() + 4);
      Put32(out, out.size() - 4, layout.masks[i]);
    }
  }
  for (const RgbQuad &q : layout.table)
    out.insert(out.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed, q.rgbReserved});
  if (layout.rows.empty()) {
    const std::int64_t stride = DibStride(layout.bitCount, layout.width);
    if (stride > 0 && layout.height > 0)
      out.resize(out.size() + static_cast<std::size_t>(stride * layout.height), 0);
  } else {
    out.insert(out.end(), layout.rows.begin(), layout.rows.end());
  }
  return out;
}

std::vector<std::uint8_t> BuildBmpFile(const DibLayout &layout, std::uint32_t gap) {
  std::vector<std::uint8_t> dib = BuildPackedDib(layout);
  const std::size_t rowsSize =
      layout.rows.empty()
          ? static_cast<std::size_t>(DibStride(layout.bitCount, layout.width) * layout.height)
          : layout.rows.size();
  const std::size_t rowsAt = dib.size() - rowsSize;
  dib.insert(dib.begin() + static_cast<std::ptrdiff_t>(rowsAt), gap, 0xEE);
  std::vector<std::uint8_t> file(14 + dib.size(), 0);
  file[0] = 'B';
  file[1] = 'M';
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, static_cast<std::uint32_t>(14 + rowsAt + gap));
  std::copy(dib.begin(), dib.end(), file.begin() + 14);
  return file;
}

void MakeImage24(CDibImage &image, int width, int height,
                 const std::function<ColorValue(int, int)> &color) {
  image.Create(width, height, 24);
  image.SelectIntoMemoryDc();
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const ColorValue c = color(x, y);
      std::uint8_t *p = image.PixelAddress(x, y);
      p[0] = static_cast<std::uint8_t>(BlueOf(c));
      p[1] = static_cast<std::uint8_t>(GreenOf(c));
      p[2] = static_cast<std::uint8_t>(RedOf(c));
    }
}

void MakeSolid24(CDibImage &image, int width, int height, ColorValue color) {
  MakeImage24(image, width, height, [color](int, int) { return color; });
}

std::vector<std::uint8_t> PackedBytes(const CDibImage &image) {
  std::vector<std::uint8_t> out(PackedDibSize(image));
  if (!out.empty())
    WritePackedDib(image, out.data());
  return out;
}

std::vector<int> Indices(const CDibImage &image) {
  std::vector<int> out;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      out.push_back(image.GetPixelIndex(x, y));
  return out;
}

std::uint64_t Fnv1a(const std::vector<std::uint8_t> &bytes) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3u;
  }
  return h;
}
