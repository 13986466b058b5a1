// Writes the PNG fuzzer's seed corpus: small PNGs of every colour type, bit depth, palette,
// transparency and interlacing the reader takes, and one of each kind of damage it must refuse.
// Each file is a mode byte followed by the file; readable seeds set the mode byte's high bit,
// so that the fuzzer's changes inside their chunks keep valid CRCs. The PNGs are made with
// libpng and zlib, whose output may change between their releases, so the corpus is not
// compared with this program's output as the bitmap corpus is. Run again after changing the
// cases:
//
//   vantoly-make-png-corpus tests/fuzz/corpus/png_file
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "png_samples.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

PngLayout PaletteLayout(int bitDepth, std::uint32_t width = 7, std::uint32_t height = 5) {
  PngLayout layout{.width = width, .height = height, .colorType = 3, .bitDepth = bitDepth};
  layout.palette = Palette(bitDepth == 8 ? 200 : std::size_t{1} << bitDepth);
  return Filled(layout, static_cast<std::uint32_t>(bitDepth));
}

std::uint32_t BigEndian32(const Bytes &b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The IHDR fields changed: width, height, bit depth, colour type (CRC made right).
Bytes WithHeader(const Bytes &png, std::uint32_t width, std::uint32_t height, int bitDepth,
                 int colorType) {
  Bytes data(png.begin() + 16, png.begin() + 29);
  for (int i = 0; i < 4; ++i) {
    data[i] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
    data[4 + i] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
  }
  data[8] = static_cast<std::uint8_t>(bitDepth);
  data[9] = static_cast<std::uint8_t>(colorType);
  return WithChunk(png, "IHDR", data);
}

std::size_t ChunkOffset(const Bytes &png, const std::string &type) {
  for (const PngChunk &chunk : PngChunks(png))
    if (chunk.type == type)
      return chunk.offset;
  return png.size();
}

struct Seed {
  std::string name;
  Bytes png;
};

std::vector<Seed> Seeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string &name, Bytes png) { seeds.push_back({name, std::move(png)}); };

  // Every colour type at every depth it allows.
  const struct {
    int colorType;
    const char *name;
    std::vector<int> depths;
  } types[] = {{0, "gray", {1, 2, 4, 8, 16}},
               {2, "rgb", {8, 16}},
               {4, "gray-alpha", {8, 16}},
               {6, "rgba", {8, 16}}};
  for (const auto &type : types)
    for (int depth : type.depths)
      add("ok-" + std::string(type.name) + "-" + std::to_string(depth),
          CraftPng(Filled({.width = 7, .height = 5, .colorType = type.colorType, .bitDepth = depth},
                          static_cast<std::uint32_t>(depth + type.colorType))));
  for (int depth : {1, 2, 4, 8})
    add("ok-palette-" + std::to_string(depth), CraftPng(PaletteLayout(depth)));

  // Transparency by table and by key.
  PngLayout trns = PaletteLayout(4);
  trns.paletteAlpha = {0, 40, 128, 200, 255, 7};
  add("ok-palette-4-trns", CraftPng(trns));
  PngLayout gray2 = Filled({.width = 9, .height = 3, .colorType = 0, .bitDepth = 2});
  gray2.key = {{2, 0, 0}};
  add("ok-gray-2-key", CraftPng(gray2));
  PngLayout gray16 = Filled({.width = 5, .height = 4, .colorType = 0, .bitDepth = 16});
  gray16.key = {{gray16.samples[3], 0, 0}};
  add("ok-gray-16-key", CraftPng(gray16));
  for (int depth : {8, 16}) {
    PngLayout rgb = Filled({.width = 5, .height = 4, .colorType = 2, .bitDepth = depth});
    rgb.key = {{rgb.samples[3], rgb.samples[4], rgb.samples[5]}};
    add("ok-rgb-" + std::to_string(depth) + "-key", CraftPng(rgb));
  }
  // Indices behind a short PLTE read as black.
  add("ok-palette-8-index-behind-plte",
      WithChunk(CraftPng(PaletteLayout(8)), "PLTE", Bytes(3 * 10, 0x80)));

  // Interlaced, including sizes where some passes are empty.
  for (const auto &[name, layout] : std::vector<std::pair<std::string, PngLayout>>{
           {"gray-1", Filled({.width = 9, .height = 9, .colorType = 0, .bitDepth = 1})},
           {"palette-4", PaletteLayout(4, 11, 6)},
           {"rgba-16", Filled({.width = 6, .height = 7, .colorType = 6, .bitDepth = 16})},
           {"rgb-1x1", Filled({.width = 1, .height = 1, .colorType = 2})},
           {"gray-alpha-3x2", Filled({.width = 3, .height = 2, .colorType = 4})}}) {
    PngLayout interlaced = layout;
    interlaced.interlaced = true;
    add("ok-interlaced-" + name, CraftPng(interlaced));
  }

  // Odd shapes, and stored (uncompressed) zlib blocks, whose pixel bytes a fuzzer can reach.
  add("ok-rgb-1x1", CraftPng(Filled({.width = 1, .height = 1, .colorType = 2})));
  add("ok-gray-1-wide-row",
      CraftPng(Filled({.width = 300, .height = 1, .colorType = 0, .bitDepth = 1})));
  add("ok-stored-rgb-8",
      CraftPng(Filled({.width = 6, .height = 4, .colorType = 2, .compressionLevel = 0})));
  add("ok-stored-rgba-8",
      CraftPng(Filled({.width = 5, .height = 3, .colorType = 6, .compressionLevel = 0})));
  PngLayout storedPalette = PaletteLayout(8, 8, 4);
  storedPalette.compressionLevel = 0;
  add("ok-stored-palette-8", CraftPng(storedPalette));

  // Chunks the reader skips, many IDAT chunks, no IEND, and bytes behind IEND.
  PngLayout ancillary = Filled({.width = 4, .height = 3, .colorType = 2});
  ancillary.chunks = {{"gAMA", {0, 0, 0x27, 0x10}},
                      {"cHRM", Bytes(32, 1)},
                      {"sRGB", {0}},
                      {"iCCP", {'x', 0, 0, 0xDE, 0xAD}},
                      {"tEXt", {'T', 'i', 't', 'l', 'e', 0, 'v'}},
                      {"zTXt", {'k', 0, 0, 0x78, 0x9C, 0xFF}},
                      {"pHYs", Bytes(9, 0)},
                      {"vaNt", {1, 2, 3}}};
  add("ok-ancillary-chunks", CraftPng(ancillary));
  PngLayout manyIdat = Filled({.width = 16, .height = 16, .colorType = 6});
  manyIdat.idatSize = 64;
  add("ok-many-idat", CraftPng(manyIdat));
  const Bytes plain = CraftPng(Filled({.width = 5, .height = 5, .colorType = 2}, 99));
  add("ok-no-iend", Bytes(plain.begin(),
                          plain.begin() + static_cast<std::ptrdiff_t>(ChunkOffset(plain, "IEND"))));
  Bytes trailing = plain;
  trailing.insert(trailing.end(), {'t', 'r', 'a', 'i', 'l'});
  add("ok-trailing-bytes", trailing);

  // Each kind of damage once.
  add("bad-empty", {});
  add("bad-signature-bmp", {'B', 'M', 0x3A, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0});
  Bytes damaged = plain;
  damaged[7] = 0; // a line ending translated
  add("bad-signature-damaged", damaged);
  add("bad-truncated-in-signature", Bytes(plain.begin(), plain.begin() + 5));
  add("bad-truncated-in-ihdr", Bytes(plain.begin(), plain.begin() + 20));
  const Bytes palette = CraftPng(PaletteLayout(8));
  add("bad-truncated-before-idat",
      Bytes(palette.begin(),
            palette.begin() + static_cast<std::ptrdiff_t>(ChunkOffset(palette, "IDAT"))));
  const std::size_t idat = ChunkOffset(plain, "IDAT");
  add("bad-truncated-in-idat",
      Bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(idat + 8 + 10)));
  Bytes crc = plain;
  crc[29] ^= 1;
  add("bad-crc-ihdr", crc);
  crc = plain;
  crc[idat + 8 + BigEndian32(plain, idat)] ^= 0x40;
  add("bad-crc-idat", crc);
  PngLayout text = Filled({.width = 3, .height = 2, .colorType = 0});
  text.chunks = {{"tEXt", {'a', 0, 'b'}}};
  crc = CraftPng(text);
  crc[33 + 8 + 3] ^= 0xFF;
  add("bad-crc-ancillary", crc);
  add("bad-too-wide", WithHeader(plain, (1u << 28) + 1, 1, 8, 2));
  add("bad-too-tall", WithHeader(plain, 1, (1u << 28) + 1, 8, 2));
  // A decompression bomb: 16385 × 16385 pixels of zeros in some 30 KiB.
  add("bad-bomb-16385x16385",
      CraftPng(
          {.width = 16385, .height = 16385, .colorType = 0, .bitDepth = 1, .compressionLevel = 9}));
  add("bad-ihdr-rgb-4-bits", WithHeader(plain, 5, 5, 4, 2));
  add("bad-ihdr-width-zero", WithHeader(plain, 0, 5, 8, 2));
  add("bad-ihdr-colour-type-5", WithHeader(plain, 5, 5, 8, 5));
  add("bad-zlib-garbage", WithChunk(plain, "IDAT", Bytes{0x78, 0x01, 0xFF, 0xFE, 0xFD, 0x00}));
  add("bad-too-little-data", WithHeader(plain, 5, 9, 8, 2));
  add("bad-palette-without-plte", WithChunk(palette, "PLTE", std::nullopt));
  add("bad-iend-before-idat", WithChunk(plain, "IDAT", std::nullopt));
  Bytes idatFirst = plain; // the header's 13 bytes called IDAT
  std::copy_n("IDAT", 4, idatFirst.begin() + 12);
  // A chunk libpng would skip, in front of IHDR.
  Bytes textFirst = plain;
  const Bytes skipped = RawChunk("tEXt", {'a', 0, 'b'});
  textFirst.insert(textFirst.begin() + 8, skipped.begin(), skipped.end());
  add("bad-ancillary-before-ihdr", textFirst);
  add("bad-idat-before-ihdr",
      WithChunk(idatFirst, "IDAT", Bytes(idatFirst.begin() + 16, idatFirst.begin() + 29)));
  return seeds;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fputs("usage: vantoly-make-png-corpus FOLDER\n", stderr);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  std::uint8_t mode = 0;
  for (const Seed &seed : Seeds()) {
    // Seeds take the modes in turn, so every converter is reached from the start.
    const auto first = static_cast<char>(seed.name.starts_with("ok-") ? mode | 0x80 : mode);
    std::ofstream out(folder / seed.name, std::ios::binary);
    out.put(first);
    out.write(reinterpret_cast<const char *>(seed.png.data()),
              static_cast<std::streamsize>(seed.png.size()));
    mode = static_cast<std::uint8_t>((mode + 1) % 8);
  }
  return 0;
}
