// The PNG reader against libpng as the oracle, with the fuzz target's checks
// (tests/fuzz/png_round_trip_check.cpp): odd shapes made here must give the same pixels, or be
// refused by both.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "codec/png_file.h"
#include "png_samples.h"
#include "tests/fuzz/round_trip_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The pixel data of a PNG, its IDAT chunks' data in one.
Bytes PixelData(const Bytes &png) {
  Bytes data;
  for (const PngChunk &chunk : PngChunks(png))
    if (chunk.type == "IDAT")
      data.insert(data.end(), png.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8),
                  png.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8 + chunk.length));
  return data;
}

// The PNG with its IDAT chunks replaced by one for each piece.
Bytes WithPixelData(const Bytes &png, const std::vector<Bytes> &pieces) {
  const std::vector<PngChunk> chunks = PngChunks(png);
  Bytes out(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(chunks[1].offset));
  for (const PngChunk &chunk : chunks)
    if (chunk.type != "IDAT" && chunk.type != "IEND" && &chunk != &chunks[0]) {
      const auto at = png.begin() + static_cast<std::ptrdiff_t>(chunk.offset);
      out.insert(out.end(), at, at + 12 + chunk.length);
    }
  for (const Bytes &piece : pieces) {
    const Bytes chunk = RawChunk("IDAT", piece);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  const Bytes end = RawChunk("IEND", {});
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

// `raw` deflated by zlib in `segments` pieces at the given levels and strategies (level 0:
// stored blocks), a window of 2^windowBits, each piece ending in a full flush.
Bytes Deflate(const Bytes &raw, int windowBits, const std::vector<std::pair<int, int>> &segments) {
  z_stream stream{};
  deflateInit2(&stream, segments[0].first, Z_DEFLATED, windowBits, 8, segments[0].second);
  Bytes out(raw.size() * 2 + 1024);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0)
      deflateParams(&stream, segments[i].first, segments[i].second);
    const std::size_t from = raw.size() * i / segments.size();
    stream.next_in = const_cast<std::uint8_t *>(raw.data() + from);
    stream.avail_in = static_cast<uInt>(raw.size() * (i + 1) / segments.size() - from);
    deflate(&stream, i + 1 == segments.size() ? Z_FINISH : Z_FULL_FLUSH);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

Bytes Inflate(const Bytes &stream) {
  Bytes raw(std::size_t{1} << 22);
  uLongf size = raw.size();
  EXPECT_EQ(uncompress(raw.data(), &size, stream.data(), stream.size()), Z_OK);
  raw.resize(size);
  return raw;
}

// The zlib header made to declare a window of 2^(8 + info) bytes.
Bytes WithWindow(Bytes stream, int info) {
  stream[0] = static_cast<std::uint8_t>(info << 4 | 8);
  stream[1] = static_cast<std::uint8_t>(stream[1] & 0xE0);
  stream[1] = static_cast<std::uint8_t>(stream[1] + 31 - (stream[0] * 256 + stream[1]) % 31);
  return stream;
}

// The fuzz target's checks on the file, as it would find it (in a mode of its own, its CRCs as
// they are): libpng and the reader agree (CompareWithLibpng), the reader says the same when the
// file comes a few bytes at a time, and what it reads converts and writes as it should.
void ExpectAgreement(const Bytes &png, const std::string &name) {
  static std::uint8_t mode = 0;
  Bytes input{static_cast<std::uint8_t>(mode++ % 8)};
  input.insert(input.end(), png.begin(), png.end());
  EXPECT_EQ(CheckPngFileRequest(input.data(), input.size()), "") << name;
}

} // namespace

// Every colour type at every depth, plain and at each Adam7 size up to 9 × 9, with and without
// transparency of each kind, valid or not.
TEST(PngDifferential, EveryColourTypeDepthSizeAndTransparency) {
  const std::pair<int, std::vector<int>> types[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  std::uint32_t seed = 0;
  for (const auto &[colorType, depths] : types)
    for (const int depth : depths) {
      const std::string name = std::to_string(colorType) + "/" + std::to_string(depth);
      PngLayout base{.colorType = colorType, .bitDepth = depth};
      if (colorType == 3)
        base.palette = Palette(depth == 1 ? 2 : (std::size_t{1} << depth) - 1);
      for (std::uint32_t width = 1; width <= 9; ++width)
        for (std::uint32_t height = 1; height <= 9; ++height) {
          PngLayout layout = base;
          layout.width = width;
          layout.height = height;
          layout.interlaced = true;
          ExpectAgreement(CraftPng(Filled(layout, ++seed)), name + " interlaced " +
                                                                std::to_string(width) + "x" +
                                                                std::to_string(height));
        }
      PngLayout plain = base;
      plain.width = 13;
      plain.height = 3;
      plain = Filled(plain, ++seed);
      ExpectAgreement(CraftPng(plain), name);
      // Transparency: a key the first pixel matches, one beyond the depth, alphas for part of
      // the palette or all of it, tRNS of a wrong size, twice, or before PLTE.
      Bytes key;
      for (int c = 0; c < (colorType == 2 ? 3 : 1); ++c) {
        key.push_back(static_cast<std::uint8_t>(plain.samples[c] >> 8));
        key.push_back(static_cast<std::uint8_t>(plain.samples[c]));
      }
      std::vector<Bytes> tables = {key,
                                   Bytes{1, 0},
                                   Bytes{1, 0, 0, 0, 0, 0},
                                   Bytes{0, 1, 0},
                                   Bytes(plain.palette.size(), 9),
                                   Bytes(plain.palette.size() + 1, 9),
                                   Bytes(300, 7)};
      for (const Bytes &table : tables) {
        const std::string what = name + " tRNS of " + std::to_string(table.size());
        // Where libpng puts it, behind PLTE (it writes none beside an alpha channel), and
        // before PLTE, once and twice.
        PngLayout keyed = plain;
        keyed.paletteAlpha = {0};
        keyed.key = {{0, 0, 0}};
        if ((colorType & 4) == 0)
          ExpectAgreement(WithChunk(CraftPng(keyed), "tRNS", table), what);
        keyed = plain;
        keyed.chunks = {{"tRNS", table}};
        ExpectAgreement(CraftPng(keyed), what + " first");
        keyed.chunks.push_back({"tRNS", table});
        ExpectAgreement(CraftPng(keyed), what + " twice");
      }
      if (colorType == 3) {
        // A PLTE shorter than the indices used, longer than the depth addresses, and empty.
        for (const std::size_t entries : {std::size_t{1}, std::size_t{256}, std::size_t{0}})
          ExpectAgreement(WithChunk(CraftPng(plain), "PLTE", Bytes(3 * entries, 0x55)),
                          name + " PLTE of " + std::to_string(entries));
      } else {
        PngLayout withPalette = plain;
        withPalette.chunks = {{"PLTE", {1, 2, 3}}};
        ExpectAgreement(CraftPng(withPalette), name + " PLTE");
        withPalette.chunks.insert(withPalette.chunks.begin(), {"tRNS", key});
        ExpectAgreement(CraftPng(withPalette), name + " tRNS before PLTE");
      }
    }
}

// One picture's stream cut into two IDAT chunks at every byte, into chunks of one byte, with
// an empty IDAT after it; stored, fixed and dynamic blocks in one stream; every window size,
// declared truly and falsely (too small for the distances the stream uses).
TEST(PngDifferential, StreamsCutAnywhereBlocksMixedWindowsOfEverySize) {
  const Bytes small = CraftPng(Filled({.width = 5, .height = 4, .colorType = 2}, 7));
  const Bytes stream = PixelData(small);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut)
    ExpectAgreement(WithPixelData(small, {Bytes(stream.begin(), stream.begin() + cut),
                                          Bytes(stream.begin() + cut, stream.end())}),
                    "cut at " + std::to_string(cut));
  std::vector<Bytes> bytes;
  for (const std::uint8_t byte : stream)
    bytes.push_back({byte});
  ExpectAgreement(WithPixelData(small, bytes), "one-byte chunks");
  ExpectAgreement(WithPixelData(small, {stream, {}}), "an empty IDAT after the stream");

  // Rows that repeat 2 KiB apart, and noise: matches reach far back, and some cannot.
  PngLayout layout = Filled({.width = 700, .height = 24, .colorType = 0, .bitDepth = 8}, 3);
  for (std::size_t i = 700 * 3; i < layout.samples.size(); ++i)
    if (i / 700 % 2 == 0)
      layout.samples[i] = layout.samples[i - 700 * 3];
  const Bytes picture = CraftPng(layout);
  const Bytes raw = Inflate(PixelData(picture));
  const std::vector<std::pair<int, int>> mixed = {{0, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},
                                                  {6, Z_DEFAULT_STRATEGY}, {1, Z_HUFFMAN_ONLY},
                                                  {0, Z_DEFAULT_STRATEGY}, {9, Z_RLE}};
  ExpectAgreement(WithPixelData(picture, {Deflate(raw, 15, mixed)}), "blocks mixed");
  for (int windowBits = 9; windowBits <= 15; ++windowBits)
    ExpectAgreement(WithPixelData(picture, {Deflate(raw, windowBits, {{6, Z_DEFAULT_STRATEGY}})}),
                    "window " + std::to_string(windowBits));
  const Bytes wide = Deflate(raw, 15, {{9, Z_DEFAULT_STRATEGY}});
  for (int info = 0; info < 7; ++info)
    for (const std::size_t piece : {std::size_t{1000}, std::size_t{100000}}) {
      std::vector<Bytes> pieces;
      const Bytes lying = WithWindow(wide, info);
      for (std::size_t at = 0; at < lying.size(); at += piece)
        pieces.emplace_back(lying.begin() + static_cast<std::ptrdiff_t>(at),
                            lying.begin() +
                                static_cast<std::ptrdiff_t>(std::min(lying.size(), at + piece)));
      ExpectAgreement(WithPixelData(picture, pieces), "window declared " + std::to_string(info) +
                                                          " in pieces of " + std::to_string(piece));
    }
}

// Every bit of a small picture's stream flipped in turn, the CRC mended so that the damage
// reaches the inflater, interlaced or not.
TEST(PngDifferential, EveryBitOfTheStreamFlipped) {
  for (const bool interlaced : {false, true}) {
    PngLayout layout = Filled({.width = 6, .height = 5, .colorType = 6, .bitDepth = 8}, 11);
    layout.interlaced = interlaced;
    const Bytes png = CraftPng(layout);
    const Bytes stream = PixelData(png);
    for (std::size_t at = 0; at < stream.size(); ++at)
      for (int bit = 0; bit < 8; ++bit) {
        Bytes damaged = stream;
        damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ 1 << bit);
        ExpectAgreement(WithPixelData(png, {damaged}),
                        "byte " + std::to_string(at) + " bit " + std::to_string(bit));
      }
  }
}

// A 1 × 4 gray picture whose zlib stream is damaged at its end or in its header: each is
// refused for its own reason, however the stream is cut into chunks (but for data after the
// stream's end, which must share the chunk holding the end to be seen).
TEST(PngFile, DamagedZlibStreamsAreRefusedForTheirOwnReason) {
  const Bytes png =
      CraftPng({.width = 1, .height = 4, .colorType = 0, .samples = {0, 85, 170, 255}});
  const Bytes stream = PixelData(png);
  const auto withEnd = [](Bytes data, std::uint32_t adler) {
    for (int i = 0; i < 4; ++i)
      data[data.size() - 4 + i] = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
    return data;
  };
  const auto withHeader = [&](std::uint8_t cmf, std::uint8_t flg) {
    Bytes data = stream;
    data[0] = cmf;
    data[1] = flg;
    return data;
  };
  const Bytes zeroed = withEnd(stream, 0);
  Bytes flipped = stream;
  flipped.back() ^= 1;
  const Bytes stored = Deflate(Inflate(stream), 15, {{0, Z_DEFAULT_STRATEGY}});
  Bytes extra = stream;
  extra.push_back(0);
  const struct {
    const char *name;
    std::vector<Bytes> pieces;
    const char *refusal;
  } cases[] = {
      {"Adler-32 zeroed", {zeroed}, "PNG: bad Adler-32 in IDAT"},
      {"a bit of the Adler-32 flipped", {flipped}, "PNG: bad Adler-32 in IDAT"},
      {"the zeroed Adler-32 in an IDAT of its own",
       {Bytes(zeroed.begin(), zeroed.end() - 4), Bytes(4, 0)},
       "PNG: bad Adler-32 in IDAT"},
      {"stored blocks only, Adler-32 zeroed", {withEnd(stored, 0)}, "PNG: bad Adler-32 in IDAT"},
      {"a byte after the stream", {extra}, "PNG: too much pixel data in IDAT"},
      {"a window of 64 KiB (88 1C)", {withHeader(0x88, 0x1C)}, "PNG: bad zlib header in IDAT"},
      {"a window of 8 MiB", {withHeader(0xF8, 0x00)}, "PNG: bad zlib header in IDAT"},
  };
  for (const auto &c : cases) {
    std::vector<Bytes> bytes;
    for (const Bytes &piece : c.pieces)
      for (const std::uint8_t byte : piece)
        bytes.push_back({byte});
    if (c.pieces[0] == extra)
      bytes = c.pieces;
    for (const Bytes &damaged : {WithPixelData(png, c.pieces), WithPixelData(png, bytes)}) {
      CDibImage image;
      PictureRefusal why;
      EXPECT_FALSE(ReadPngBytes(damaged.data(), damaged.size(), image, &why)) << c.name;
      EXPECT_EQ(DescribeRefusal(why), c.refusal) << c.name;
    }
  }
}
