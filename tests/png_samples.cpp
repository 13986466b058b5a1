#include "png_samples.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <stdexcept>

namespace {

int Channels(int colorType) {
  switch (colorType) {
  case PNG_COLOR_TYPE_RGB: return 3;
  case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
  case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
  default: return 1;
  }
}

void WriteToVector(png_structp png, png_bytep data, std::size_t length) {
  auto &out = *static_cast<std::vector<std::uint8_t> *>(png_get_io_ptr(png));
  out.insert(out.end(), data, data + length);
}

void Flush(png_structp) {}

// libpng writes no IDAT chunk shorter than this but the last; shorter ones are cut here.
constexpr std::size_t MinLibpngIdatSize = 6;

// Plain values only here: libpng leaves by longjmp on an error.
bool Write(png_structp png, png_infop info, const PngLayout &layout, png_bytepp rows,
           const png_color *palette, const png_color_16 *key) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(png, info, layout.width, layout.height, layout.bitDepth, layout.colorType,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!layout.palette.empty())
    png_set_PLTE(png, info, palette, static_cast<int>(layout.palette.size()));
  if (!layout.paletteAlpha.empty() || layout.key)
    png_set_tRNS(png, info, layout.paletteAlpha.data(),
                 static_cast<int>(layout.paletteAlpha.size()), key);
  png_set_compression_level(png, layout.compressionLevel);
  if (layout.idatSize >= MinLibpngIdatSize)
    png_set_compression_buffer_size(png, layout.idatSize);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

std::uint32_t BigEndian32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

std::vector<std::uint8_t> CraftPng(const PngLayout &layout) {
  const int channels = Channels(layout.colorType);
  const std::size_t samplesPerRow = std::size_t{layout.width} * static_cast<std::size_t>(channels);
  const std::size_t bitsPerRow = samplesPerRow * static_cast<std::size_t>(layout.bitDepth);
  std::vector<std::vector<std::uint8_t>> rows(layout.height,
                                              std::vector<std::uint8_t>((bitsPerRow + 7) / 8));
  std::vector<png_bytep> rowPointers;
  for (std::uint32_t y = 0; y < layout.height; ++y) {
    std::vector<std::uint8_t> &row = rows[y];
    for (std::size_t i = 0; i < samplesPerRow && !layout.samples.empty(); ++i) {
      const std::uint16_t v = layout.samples.at(y * samplesPerRow + i);
      if (layout.bitDepth == 16) {
        row[2 * i] = static_cast<std::uint8_t>(v >> 8);
        row[2 * i + 1] = static_cast<std::uint8_t>(v);
      } else if (layout.bitDepth == 8) {
        row[i] = static_cast<std::uint8_t>(v);
      } else {
        const std::size_t bit = i * static_cast<std::size_t>(layout.bitDepth);
        const int shift = 8 - layout.bitDepth - static_cast<int>(bit % 8);
        row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | v << shift);
      }
    }
    rowPointers.push_back(row.data());
  }
  std::vector<png_color> palette;
  for (const auto &entry : layout.palette)
    palette.push_back({entry[0], entry[1], entry[2]});
  png_color_16 key{};
  if (layout.key) {
    key.red = (*layout.key)[0];
    key.green = (*layout.key)[1];
    key.blue = (*layout.key)[2];
    key.gray = (*layout.key)[0];
  }

  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, WriteToVector, Flush);
  const bool written =
      Write(png, info, layout, rowPointers.data(), palette.data(), layout.key ? &key : nullptr);
  png_destroy_write_struct(&png, &info);
  if (!written)
    throw std::runtime_error("libpng refused the layout");

  // The raw chunks go right behind IHDR (signature 8 bytes, IHDR 25).
  std::vector<std::uint8_t> extra;
  for (const auto &[type, data] : layout.chunks) {
    const std::vector<std::uint8_t> chunk = RawChunk(type, data);
    extra.insert(extra.end(), chunk.begin(), chunk.end());
  }
  out.insert(out.begin() + 33, extra.begin(), extra.end());
  if (layout.idatSize == 0 || layout.idatSize >= MinLibpngIdatSize)
    return out;
  std::vector<std::uint8_t> split(out.begin(),
                                  out.begin() + 33 + static_cast<std::ptrdiff_t>(extra.size())),
      data;
  std::vector<PngChunk> chunks = PngChunks(out);
  for (const PngChunk &chunk : chunks)
    if (chunk.type == "IDAT")
      data.insert(data.end(), out.begin() + static_cast<std::ptrdiff_t>(chunk.offset) + 8,
                  out.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8 + chunk.length));
  split.reserve(out.size() + data.size() / layout.idatSize * 12 + 12);
  for (std::size_t at = 0; at < data.size(); at += layout.idatSize) {
    const std::size_t end = std::min(data.size(), at + layout.idatSize);
    const std::vector<std::uint8_t> chunk = RawChunk(
        "IDAT", std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(at),
                                          data.begin() + static_cast<std::ptrdiff_t>(end)));
    split.insert(split.end(), chunk.begin(), chunk.end());
  }
  const std::vector<std::uint8_t> end = RawChunk("IEND", {});
  split.insert(split.end(), end.begin(), end.end());
  return split;
}

std::vector<PngChunk> PngChunks(const std::vector<std::uint8_t> &png) {
  std::vector<PngChunk> chunks;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t length = BigEndian32(&png[at]);
    chunks.push_back({at, length,
                      std::string(png.begin() + static_cast<std::ptrdiff_t>(at) + 4,
                                  png.begin() + static_cast<std::ptrdiff_t>(at) + 8)});
    at += 12 + std::size_t{length};
  }
  return chunks;
}

std::vector<std::uint8_t> RawChunk(const std::string &type, const std::vector<std::uint8_t> &data) {
  std::vector<std::uint8_t> chunk(12 + data.size());
  const auto length = static_cast<std::uint32_t>(data.size());
  for (std::size_t i = 0; i < 4; ++i) {
    chunk[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    chunk[4 + i] = static_cast<std::uint8_t>(type.at(i));
  }
  std::copy(data.begin(), data.end(), chunk.begin() + 8);
  const uLong crc =
      crc32(crc32(0, nullptr, 0), chunk.data() + 4, static_cast<uInt>(data.size() + 4));
  for (std::size_t i = 0; i < 4; ++i)
    chunk[8 + data.size() + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
  return chunk;
}

PngLayout Filled(PngLayout layout, std::uint32_t seed) {
  const std::size_t count = std::size_t{layout.width} * layout.height *
                            static_cast<std::size_t>(Channels(layout.colorType));
  std::uint32_t state = 0x9E3779B9u ^ seed * 7919u;
  const std::uint32_t top = layout.colorType == 3 && !layout.palette.empty()
                                ? static_cast<std::uint32_t>(layout.palette.size())
                                : 1u << layout.bitDepth;
  layout.samples.clear();
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 1664525u + 1013904223u;
    layout.samples.push_back(static_cast<std::uint16_t>((state >> 8) % top));
  }
  return layout;
}

std::vector<std::array<std::uint8_t, 3>> Palette(std::size_t count) {
  std::vector<std::array<std::uint8_t, 3>> palette;
  for (std::size_t i = 0; i < count; ++i)
    palette.push_back({static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i * 11),
                       static_cast<std::uint8_t>(i * i)});
  return palette;
}

std::vector<std::uint8_t> WithChunk(std::vector<std::uint8_t> png, const std::string &type,
                                    const std::optional<std::vector<std::uint8_t>> &data) {
  for (const PngChunk &chunk : PngChunks(png)) {
    if (chunk.type != type)
      continue;
    const auto begin = png.begin() + static_cast<std::ptrdiff_t>(chunk.offset);
    png.erase(begin, begin + 12 + chunk.length);
    if (data) {
      const std::vector<std::uint8_t> raw = RawChunk(type, *data);
      png.insert(png.begin() + static_cast<std::ptrdiff_t>(chunk.offset), raw.begin(), raw.end());
    }
    return png;
  }
  return png;
}
