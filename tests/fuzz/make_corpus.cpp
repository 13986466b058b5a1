// Writes the fuzzers' seed corpus: small bitmaps of every depth and header kind the reader
// takes, and one of each kind it must refuse, as packed bitmaps and as BMP files. Each file is
// a mode byte followed by the bytes the reader sees. The output is committed; run again after
// changing the cases:
//
//   vantoly-make-fuzz-corpus tests/fuzz/corpus
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes &b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(Bytes &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Seed {
  std::string name;
  std::uint32_t headerSize = 40;
  std::int32_t width = 5, height = 3;
  int bitCount = 24;
  std::uint32_t compression = 0;
  std::uint32_t colorUsed = 0;
  std::vector<std::uint32_t> masks; // written behind a 40-byte header or inside a longer one
  std::uint32_t gap = 0;            // BMP files only: bytes between the table and the rows
  std::int64_t rowsDelta = 0;       // added to the rows' length (negative truncates)
  bool packedOnly = false, fileOnly = false;
  bool badSignature = false;     // BMP files only
  std::int64_t offBitsDelta = 0; // BMP files only: added to the honest bfOffBits
};

// The block for a seed: header, masks, table and rows filled with a fixed pseudo-random
// pattern, so every seed has varied pixels and colours.
Bytes Block(const Seed &s, std::size_t &rowsAt) {
  const bool masksOutside = !s.masks.empty() && s.headerSize < 52;
  std::uint64_t colors = s.colorUsed;
  if (colors == 0 && s.bitCount <= 8 && s.bitCount > 0)
    colors = std::uint64_t{1} << s.bitCount;
  if (colors > 256)
    colors = 4; // a refused count: keep the file small, the reader stops at the header
  const std::uint64_t width = s.width > 0 ? static_cast<std::uint64_t>(s.width) : 1;
  const std::uint64_t height = s.height > 0   ? static_cast<std::uint64_t>(s.height)
                               : s.height < 0 ? static_cast<std::uint64_t>(-std::int64_t{s.height})
                                              : 1;
  const int bits = s.bitCount > 0 && s.bitCount <= 32 ? s.bitCount : 8;
  std::uint64_t rows = (width * static_cast<std::uint64_t>(bits) + 31) / 32 * 4 * height;
  if (rows > 4096)
    rows = 64; // an announced size far beyond the block
  const std::size_t tableAt = s.headerSize + (masksOutside ? 12 : 0);
  rowsAt = tableAt + 4 * colors;
  Bytes b(rowsAt + rows, 0);
  PutU32(b, 0, s.headerSize);
  PutU32(b, 4, static_cast<std::uint32_t>(s.width));
  PutU32(b, 8, static_cast<std::uint32_t>(s.height));
  PutU16(b, 12, 1);
  PutU16(b, 14, static_cast<std::uint32_t>(s.bitCount));
  PutU32(b, 16, s.compression);
  PutU32(b, 20, static_cast<std::uint32_t>(rows));
  PutU32(b, 24, 2835);
  PutU32(b, 28, 2835);
  PutU32(b, 32, s.colorUsed);
  for (std::size_t i = 0; i < s.masks.size(); ++i)
    PutU32(b, (masksOutside ? s.headerSize : 40) + 4 * i, s.masks[i]);
  std::uint32_t state = 0x9E3779B9u ^ static_cast<std::uint32_t>(s.name.size() * 7919);
  for (std::size_t i = tableAt; i < b.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    b[i] = static_cast<std::uint8_t>(state >> 24);
  }
  // Truncated or lengthened only now, so a cut may fall anywhere, masks and table included.
  b.resize(static_cast<std::size_t>(static_cast<std::int64_t>(b.size()) + s.rowsDelta), 0x5A);
  return b;
}

constexpr std::size_t BmpOffset = 14;

void Write(const std::filesystem::path &path, std::uint8_t mode, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.put(static_cast<char>(mode));
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<Seed> Seeds() {
  std::vector<Seed> seeds;
  auto add = [&](Seed s) { seeds.push_back(std::move(s)); };
  const std::vector<std::uint32_t> mask555 = {0x7C00, 0x03E0, 0x001F};
  const std::vector<std::uint32_t> mask565 = {0xF800, 0x07E0, 0x001F};
  const std::vector<std::uint32_t> mask888 = {0x00FF0000, 0x0000FF00, 0x000000FF};
  const std::vector<std::uint32_t> maskOdd = {0x3FF00000, 0x000FFC00, 0x00000003};

  // Every depth, with the full table and with a short one, and odd widths.
  for (int bits : {1, 4, 8}) {
    add({.name = "ok-" + std::to_string(bits) + "bpp-full-table",
         .width = 13,
         .height = 3,
         .bitCount = bits});
    add({.name = "ok-" + std::to_string(bits) + "bpp-short-table",
         .width = 7,
         .height = 2,
         .bitCount = bits,
         .colorUsed = 2});
  }
  add({.name = "ok-8bpp-3-colours-1x1", .width = 1, .height = 1, .bitCount = 8, .colorUsed = 3});
  add({.name = "ok-16bpp-plain", .width = 5, .height = 3, .bitCount = 16});
  add({.name = "ok-16bpp-bitfields-565", .bitCount = 16, .compression = 3, .masks = mask565});
  add({.name = "ok-16bpp-bitfields-555",
       .width = 3,
       .bitCount = 16,
       .compression = 3,
       .masks = mask555});
  add({.name = "ok-24bpp", .width = 5, .height = 3, .bitCount = 24});
  add({.name = "ok-24bpp-3-colours", .width = 2, .height = 2, .bitCount = 24, .colorUsed = 3});
  add({.name = "ok-24bpp-1x1", .width = 1, .height = 1, .bitCount = 24});
  add({.name = "ok-32bpp-plain", .width = 4, .height = 3, .bitCount = 32});
  add({.name = "ok-32bpp-bitfields-888", .bitCount = 32, .compression = 3, .masks = mask888});
  add({.name = "ok-32bpp-bitfields-odd",
       .width = 3,
       .bitCount = 32,
       .compression = 3,
       .masks = maskOdd});
  add({.name = "ok-32bpp-bitfields-empty-mask",
       .width = 2,
       .bitCount = 32,
       .compression = 3,
       .masks = {0, 0xFF00, 0xFFFFFFFF}});
  // Longer headers; from 52 bytes on the masks are the header's own fields.
  for (std::uint32_t size : {52u, 56u, 108u, 124u}) {
    const std::string h = std::to_string(size);
    add({.name = "ok-header" + h + "-24bpp", .headerSize = size, .bitCount = 24});
    add({.name = "ok-header" + h + "-8bpp",
         .headerSize = size,
         .width = 6,
         .bitCount = 8,
         .colorUsed = 5});
    add({.name = "ok-header" + h + "-16bpp-bitfields",
         .headerSize = size,
         .bitCount = 16,
         .compression = 3,
         .masks = mask565});
    add({.name = "ok-header" + h + "-32bpp-bitfields",
         .headerSize = size,
         .width = 3,
         .bitCount = 32,
         .compression = 3,
         .masks = mask888});
  }
  // BMP files whose rows start behind a gap.
  add({.name = "ok-gap-24bpp", .bitCount = 24, .gap = 6, .fileOnly = true});
  add({.name = "ok-gap-4bpp",
       .width = 9,
       .bitCount = 4,
       .colorUsed = 16,
       .gap = 2,
       .fileOnly = true});
  add({.name = "ok-gap-16bpp-bitfields",
       .bitCount = 16,
       .compression = 3,
       .masks = mask565,
       .gap = 12,
       .fileOnly = true});
  add({.name = "ok-gap-header124", .headerSize = 124, .bitCount = 32, .gap = 68, .fileOnly = true});
  add({.name = "ok-trailing-bytes", .bitCount = 8, .colorUsed = 4, .rowsDelta = 9});

  // One of each kind the reader refuses.
  add({.name = "bad-too-short-rows", .bitCount = 24, .rowsDelta = -1});
  add({.name = "bad-too-short-table",
       .width = 2,
       .height = 1,
       .bitCount = 8,
       .colorUsed = 0,
       .rowsDelta = -1024});
  add({.name = "bad-too-short-masks",
       .width = 1,
       .height = 1,
       .bitCount = 16,
       .compression = 3,
       .masks = mask565,
       .rowsDelta = -10});
  add({.name = "bad-core-header", .headerSize = 12, .bitCount = 24});
  add({.name = "bad-header-past-block", .headerSize = 4000, .bitCount = 24, .rowsDelta = -3948});
  add({.name = "bad-width-zero", .width = 0, .bitCount = 24});
  add({.name = "bad-width-negative", .width = -5, .bitCount = 24});
  add({.name = "bad-height-zero", .height = 0, .bitCount = 24});
  add({.name = "bad-top-down", .height = -3, .bitCount = 24});
  add({.name = "bad-bitcount-2", .bitCount = 2});
  add({.name = "bad-bitcount-0", .bitCount = 0});
  add({.name = "bad-rle8", .bitCount = 8, .compression = 1});
  add({.name = "bad-rle4", .bitCount = 4, .compression = 2});
  add({.name = "bad-jpeg", .bitCount = 24, .compression = 4});
  add({.name = "bad-png", .bitCount = 24, .compression = 5});
  add({.name = "bad-alpha-bitfields", .bitCount = 32, .compression = 6});
  add({.name = "bad-bitfields-24bpp", .bitCount = 24, .compression = 3, .masks = mask888});
  add({.name = "bad-bitfields-8bpp", .bitCount = 8, .compression = 3, .masks = mask888});
  add({.name = "bad-colour-count-257", .bitCount = 8, .colorUsed = 257});
  add({.name = "bad-too-large", .width = 0x7FFFFFFF, .height = 0x7FFFFFFF, .bitCount = 32});
  add({.name = "bad-rows-beyond-block",
       .width = 0x10000000,
       .height = 4,
       .bitCount = 8,
       .colorUsed = 1});
  add({.name = "bad-signature", .bitCount = 24, .fileOnly = true, .badSignature = true});
  add({.name = "bad-offset-in-table",
       .bitCount = 8,
       .colorUsed = 4,
       .fileOnly = true,
       .offBitsDelta = -4});
  add({.name = "bad-offset-in-header", .bitCount = 24, .fileOnly = true, .offBitsDelta = -20});
  add({.name = "bad-offset-past-file", .bitCount = 24, .fileOnly = true, .offBitsDelta = 4});
  return seeds;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fputs("usage: vantoly-make-fuzz-corpus FOLDER\n", stderr);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  std::filesystem::create_directories(root / "packed_dib");
  std::filesystem::create_directories(root / "bmp_file");
  std::uint8_t mode = 0;
  for (const Seed &s : Seeds()) {
    std::size_t rowsAt = 0;
    const Bytes block = Block(s, rowsAt);
    // Seeds take the modes in turn, so every converter is reached from the start.
    if (!s.fileOnly)
      Write(root / "packed_dib" / s.name, mode, block);
    if (!s.packedOnly) {
      Bytes file(BmpOffset, 0);
      file[0] = s.badSignature ? 'X' : 'B';
      file[1] = 'M';
      const auto split =
          block.begin() + static_cast<std::ptrdiff_t>(std::min(rowsAt, block.size()));
      Bytes rows(split, block.end());
      file.insert(file.end(), block.begin(), split);
      file.insert(file.end(), s.gap, 0xEE);
      const std::size_t offBits = BmpOffset + rowsAt + s.gap;
      file.insert(file.end(), rows.begin(), rows.end());
      PutU32(file, 2, static_cast<std::uint32_t>(file.size()));
      PutU32(file, 10,
             static_cast<std::uint32_t>(static_cast<std::int64_t>(offBits) + s.offBitsDelta));
      Write(root / "bmp_file" / s.name, mode, file);
    }
    mode = static_cast<std::uint8_t>((mode + 1) % 8);
  }
  return 0;
}
