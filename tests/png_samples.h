// PNGs as other programs write them, made with libpng itself: any colour type, bit depth,
// palette, tRNS and interlacing, with extra raw chunks. For the PNG reader's tests and the
// fuzzer's seeds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct PngLayout {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  int colorType = 2; // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGB + alpha
  int bitDepth = 8;
  bool interlaced = false;
  // Every pixel's samples, top row first, as many per pixel as the colour type has channels
  // (palette: the index). Empty: all zero.
  std::vector<std::uint16_t> samples;
  std::vector<std::array<std::uint8_t, 3>> palette; // red, green, blue
  std::vector<std::uint8_t> paletteAlpha;           // tRNS for a palette
  std::optional<std::array<std::uint16_t, 3>> key;  // tRNS colour key (gray: the first)
  // Raw chunks (type, data) written before the pixel data, CRC included.
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> chunks;
  int compressionLevel = 6;
  std::size_t idatSize = 0; // the longest IDAT chunk, 1 or more; 0: libpng's default (8 KiB)
};

std::vector<std::uint8_t> CraftPng(const PngLayout &layout);

// The chunks of a PNG file, for tests that damage one.
struct PngChunk {
  std::size_t offset; // of its length field
  std::uint32_t length;
  std::string type;
};
std::vector<PngChunk> PngChunks(const std::vector<std::uint8_t> &png);

// The layout with samples of a fixed pseudo-random pattern within the depth's range (a
// palette's: within the palette), the same for the same seed.
PngLayout Filled(PngLayout layout, std::uint32_t seed = 1);
// `count` palette entries, all different.
std::vector<std::array<std::uint8_t, 3>> Palette(std::size_t count);
// The file with the first chunk of `type` replaced by `data` (CRC made right), or removed.
std::vector<std::uint8_t> WithChunk(std::vector<std::uint8_t> png, const std::string &type,
                                    const std::optional<std::vector<std::uint8_t>> &data);

// A chunk laid out whole (length, type, data, CRC), to append or splice in.
std::vector<std::uint8_t> RawChunk(const std::string &type, const std::vector<std::uint8_t> &data);
